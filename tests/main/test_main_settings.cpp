// The toolbar's settings menus and switches: what a choice does to the running monitors and to
// later ones, what survives a restart, the hint, logging and alerting switches, the friendly
// names dialog, the web page and the About window, and the keyboard walk over the toolbar.
#include "About.h"
#include "main_window_fixture.h"
#include "uFrmFriendlyNames.h"
#include "uMonitorListModel.h"
#include "uZephraTools.h"
#include "zsHint.h"
#include "zsImageButton.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStyle>
#include <QToolTip>

#include <functional>

#include <sys/stat.h>

namespace {

// The entries after the title and the separator.
QList<QAction*> ValueEntries(const QMenu* Menu) {
    return Menu->actions().mid(2);
}

QAction* EntryOf(const QMenu* Menu, const QString& Caption) {
    for (QAction* Entry : ValueEntries(Menu)) {
        if (Entry->text() == Caption) {
            return Entry;
        }
    }
    ADD_FAILURE() << "no entry " << Caption.toStdString();
    return nullptr;
}

QStringList CheckedCaptions(const QMenu* Menu) {
    QStringList Checked;
    for (const QAction* Entry : ValueEntries(Menu)) {
        if (Entry->isChecked()) {
            Checked.append(Entry->text());
        }
    }
    return Checked;
}

// A hint pops up only when it is switched on and has a text.
bool HintPopsUp(const QWidget* Control) {
    return !Control->toolTip().isEmpty();
}

class SettingsTest : public MainWindowTest {
protected:
    // Opens with the friendly names dialog attached, as the program does.
    TfrmMain& OpenWithDialogs() {
        return Open([this](TfrmMain& M) { M.SetDialogs(&FriendlyNames, nullptr); });
    }

    // The main window runs the dialog through this: the test's Edit plays the user.
    void AnswerFriendlyNames(TfrmMain& M, std::function<void(TFrmFriendlyNames&)> Edit) {
        M.SetModalRunner([Edit = std::move(Edit)](QDialog& Dialog) {
            auto& Names = static_cast<TFrmFriendlyNames&>(Dialog);
            Names.show();
            Edit(Names);
            Names.hide();
            return Names.result();
        });
    }

    TFrmFriendlyNames FriendlyNames{nullptr};
};

TEST_F(SettingsTest, EachMenuHasATitleASeparatorAndOneRadioGroup) {
    TfrmMain& M = Open();
    struct TCase {
        QMenu* Menu;
        TzsImageButton* Button;
        QString Title;
        std::vector<const char*> Captions;
        QList<int> Values;
        QString CheckedAtStart;
        int Shown; // entries shown; the rest are hidden
    };
    const TCase Cases[] = {
        {Control<QMenu>(M, "menSpan"),
         Control<TzsImageButton>(M, "btnSpan"),
         QStringLiteral("Chart Span"),
         {"1min", "5min", "10min", "30min", "1hr", "2hr", "4hr", "8hr"},
         {60, 300, 600, 1800, 3600, 7200, 14400, 28800},
         QStringLiteral("1min"),
         8},
        {Control<QMenu>(M, "menRange"),
         Control<TzsImageButton>(M, "btnRange"),
         QStringLiteral("Chart Range"),
         {"Auto", "10ms", "50ms", "100ms", "500ms", "1000ms", "5000ms"},
         {-1, 10, 50, 100, 500, 1000, 5000},
         QStringLiteral("Auto"),
         7},
        {Control<QMenu>(M, "menFreq"),
         Control<TzsImageButton>(M, "btnFreq"),
         QStringLiteral("Ping Frequency"),
         {"1 Sec", "5 Sec", "10 Sec", "30 Sec", "1 Min"},
         {1000, 5000, 10000, 30000, 60000},
         QStringLiteral("1 Sec"),
         5},
        {Control<QMenu>(M, "menTimeOutMS"),
         Control<TzsImageButton>(M, "btnTimeOutMS"),
         QStringLiteral("Ping Timeout (ms)"),
         {"50 (ms)", "100 (ms)", "200 (ms)", "500 (ms)", "1000 (ms)", "2000 (ms)", "5000 (ms)",
          "10000 (ms)"},
         {50, 100, 200, 500, 1000, 2000, 5000, 10000},
         QStringLiteral("5000 (ms)"),
         8},
        {Control<QMenu>(M, "menPayloadSize"),
         Control<TzsImageButton>(M, "btnPayloadSize"),
         QStringLiteral("Payload Size"),
         {"0 Bytes", "16 Bytes", "64 Bytes", "256 Bytes", "1 Kilobytes", "4 Kilobytes",
          "16 Kilobytes", "32 Kilobytes"},
         {0, 16, 64, 256, 1024, 4096, 16384, 32768},
         QStringLiteral("16 Bytes"),
         4},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Title.toStdString());
        const QList<QAction*> All = C.Menu->actions();
        ASSERT_EQ(All.size(), qsizetype(C.Captions.size()) + 2);
        EXPECT_EQ(All[0]->text(), C.Title);
        EXPECT_FALSE(All[0]->isEnabled());
        EXPECT_FALSE(All[0]->icon().isNull());
        EXPECT_TRUE(All[1]->isSeparator());
        const QList<QAction*> Entries = ValueEntries(C.Menu);
        for (int I = 0; I < Entries.size(); ++I) {
            EXPECT_EQ(Entries[I]->text(), QString::fromLatin1(C.Captions[I]));
            EXPECT_EQ(Entries[I]->data().toInt(), C.Values[I]);
            EXPECT_TRUE(Entries[I]->isCheckable());
            EXPECT_EQ(Entries[I]->isVisible(), I < C.Shown);
            ASSERT_NE(Entries[I]->actionGroup(), nullptr);
            EXPECT_EQ(Entries[I]->actionGroup(), Entries[0]->actionGroup());
        }
        EXPECT_TRUE(Entries[0]->actionGroup()->isExclusive());
        EXPECT_EQ(CheckedCaptions(C.Menu), QStringList{C.CheckedAtStart});
        EXPECT_EQ(C.Button->contextMenuPolicy(), Qt::CustomContextMenu);
    }

    const QList<QAction*> Config = Control<QMenu>(M, "menSettings")->actions();
    ASSERT_EQ(Config.size(), 4);
    EXPECT_EQ(Config[0]->text(), QStringLiteral("Configuration"));
    EXPECT_FALSE(Config[0]->isEnabled());
    EXPECT_TRUE(Config[1]->isSeparator());
    EXPECT_EQ(Config[2], Control<QAction>(M, "ExportSettings1"));
    EXPECT_EQ(Config[2]->text(), QStringLiteral("Export Configuration"));
    EXPECT_EQ(Config[3]->text(), QStringLiteral("Import Configuration"));
    EXPECT_FALSE(Config[2]->isCheckable());
    EXPECT_FALSE(Config[3]->isCheckable());
}

TEST_F(SettingsTest, AChoiceReachesEveryMonitorAndTheOnesStartedLater) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    M.Core().AddMonitor(QStringLiteral("b"));
    struct TCase {
        QMenu* Menu;
        QString Caption;
        int Value;
        std::int32_t TMonitorSettings::*Field;
        std::function<int(const TPingerSession&)> OfMonitor;
    };
    const TCase Cases[] = {
        {Control<QMenu>(M, "menSpan"), QStringLiteral("5min"), 300, &TMonitorSettings::Span,
         &TPingerSession::Span},
        {Control<QMenu>(M, "menRange"), QStringLiteral("100ms"), 100, &TMonitorSettings::Range,
         &TPingerSession::Range},
        // Auto is the value -1, not a missing one.
        {Control<QMenu>(M, "menRange"), QStringLiteral("Auto"), -1, &TMonitorSettings::Range,
         &TPingerSession::Range},
        {Control<QMenu>(M, "menFreq"), QStringLiteral("30 Sec"), 30000,
         &TMonitorSettings::Frequency, &TPingerSession::Frequency},
        {Control<QMenu>(M, "menTimeOutMS"), QStringLiteral("200 (ms)"), 200,
         &TMonitorSettings::TimeOutMS, &TPingerSession::TimeOutMS},
        // A hidden entry still works when it is triggered.
        {Control<QMenu>(M, "menPayloadSize"), QStringLiteral("1 Kilobytes"), 1024,
         &TMonitorSettings::PayloadSize, &TPingerSession::PayloadSize},
        {Control<QMenu>(M, "menPayloadSize"), QStringLiteral("0 Bytes"), 0,
         &TMonitorSettings::PayloadSize, &TPingerSession::PayloadSize},
    };
    int Later = 0;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Caption.toStdString());
        QAction* Entry = EntryOf(C.Menu, C.Caption);
        ASSERT_NE(Entry, nullptr);
        Entry->trigger();
        EXPECT_EQ(M.Hub().Settings().*C.Field, C.Value);
        for (int I = 0; I < M.Hub().Count(); ++I) {
            EXPECT_EQ(C.OfMonitor(*M.Hub().Monitor(I)), C.Value) << M.Hub().Monitor(I)->Target();
        }
        EXPECT_EQ(CheckedCaptions(C.Menu), QStringList{C.Caption});
        const QString Target = QStringLiteral("later%1").arg(++Later);
        M.Core().AddMonitor(Target);
        EXPECT_EQ(C.OfMonitor(*M.Hub().Find(Target)), C.Value);
    }
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(SettingsTest, EveryStartBeginsFromTheDefaultSettings) {
    TfrmMain& M = Open();
    EntryOf(Control<QMenu>(M, "menSpan"), QStringLiteral("5min"))->trigger();
    EntryOf(Control<QMenu>(M, "menFreq"), QStringLiteral("5 Sec"))->trigger();
    ASSERT_EQ(M.Hub().Settings().Span, 300);

    TfrmMain& Again = Restart();
    EXPECT_EQ(Again.Hub().Settings().Span, 60);
    EXPECT_EQ(Again.Hub().Settings().Frequency, 1000);
    EXPECT_EQ(CheckedCaptions(Control<QMenu>(Again, "menSpan")),
              QStringList{QStringLiteral("1min")});
    EXPECT_EQ(CheckedCaptions(Control<QMenu>(Again, "menFreq")),
              QStringList{QStringLiteral("1 Sec")});
    Again.Core().AddMonitor(QStringLiteral("gw"));
    EXPECT_EQ(Again.Hub().Monitor(0)->Span(), 60);
    EXPECT_FALSE(ConfigText().contains("300"));
}

TEST_F(SettingsTest, MenusShowOnAClickAndOnARightClick) {
    TfrmMain& M = Open();
    QTest::mouseClick(Control<TzsImageButton>(M, "btnSpan"), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(Control<QMenu>(M, "menSpan")->isVisible());
    Control<QMenu>(M, "menSpan")->hide();

    QContextMenuEvent RightClick(QContextMenuEvent::Mouse, QPoint(4, 6),
                                 Control<TzsImageButton>(M, "btnRange")->mapToGlobal(QPoint(4, 6)));
    QApplication::sendEvent(Control<TzsImageButton>(M, "btnRange"), &RightClick);
    EXPECT_TRUE(Control<QMenu>(M, "menRange")->isVisible());
    EXPECT_EQ(Control<QMenu>(M, "menRange")->pos(),
              Control<TzsImageButton>(M, "btnRange")->mapToGlobal(QPoint(4, 6)));
    Control<QMenu>(M, "menRange")->hide();

    // A disabled toolbar shows no menu.
    M.Core().EnableControls(false);
    QApplication::sendEvent(Control<TzsImageButton>(M, "btnFreq"), &RightClick);
    EXPECT_FALSE(Control<QMenu>(M, "menFreq")->isVisible());
}

TEST_F(SettingsTest, HintsSwitchCoversTheListedControlsAndNewGraphs) {
    TfrmMain& M = OpenWithDialogs();
    M.Core().AddMonitor(QStringLiteral("a"));
    M.Core().AddMonitor(QStringLiteral("b")); // a tile: its graph has a hint
    const QList<QWidget*> Followers = {Control<TzsImageButton>(M, "btnSettings"),
                                       Control<TzsImageButton>(M, "btnNewPinger"),
                                       Control<TzsImageButton>(M, "btnCloseAll"),
                                       Control<TzsImageButton>(M, "btnAddGroup"),
                                       Control<TzsImageButton>(M, "btnDeleteGroup"),
                                       Control<TzsImageButton>(M, "btnZephraSoftware"),
                                       Control<TzsImageButton>(M, "btnSpan"),
                                       Control<TzsImageButton>(M, "btnRange"),
                                       Control<TzsImageButton>(M, "btnFreq"),
                                       Control<TzsImageButton>(M, "btnLogging"),
                                       Control<TzsImageButton>(M, "btnFriendlyNames"),
                                       Control<TzsImageButton>(M, "btnPayloadSize"),
                                       Control<TzsImageButton>(M, "btnTimeOutMS"),
                                       Control<QLineEdit>(M, "cbTarget"),
                                       Control<QComboBox>(M, "cbGroups"),
                                       Control<QLabel>(M, "lbZephraSoftware"),
                                       FriendlyNames.cbFriendlyName,
                                       FriendlyNames.cbHostNameIP,
                                       FriendlyNames.btnAdd,
                                       FriendlyNames.btnDelete,
                                       FriendlyNames.btnOK,
                                       FriendlyNames.btnCancel};
    const QList<QWidget*> Independent = {
        Control<TzsImageButton>(M, "btnAbout"), Control<TzsImageButton>(M, "btnToggleView"),
        Control<TzsImageButton>(M, "btnAlerting"), Control<TzsImageButton>(M, "btnHints")};

    ASSERT_TRUE(M.Hub().Settings().Hints);
    ClickButton(M, "btnHints");
    EXPECT_FALSE(M.Hub().Settings().Hints);
    EXPECT_EQ(Control<TzsImageButton>(M, "btnHints")->ImageIndex(), TSharedImageLists::HintsOff);
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnHints")),
              QStringLiteral("Hints are disabled.\r\nClick to turn on."));
    for (QWidget* W : Followers) {
        EXPECT_FALSE(HintPopsUp(W)) << W->objectName().toStdString();
    }
    for (QWidget* W : Independent) {
        EXPECT_TRUE(TzsHint::Shown(W)) << W->objectName().toStdString();
    }
    EXPECT_FALSE(HintPopsUp(FindMonitor(M, QStringLiteral("b"))->Image32));
    M.Core().AddMonitor(QStringLiteral("c"));
    EXPECT_FALSE(HintPopsUp(FindMonitor(M, QStringLiteral("c"))->Image32));

    QTest::mouseClick(Control<TzsImageButton>(M, "btnHints"), Qt::LeftButton);
    EXPECT_TRUE(M.Hub().Settings().Hints);
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnHints")),
              QStringLiteral("Hints are enabled.\r\nClick to turn off."));
    for (QWidget* W : Followers) {
        EXPECT_TRUE(TzsHint::Shown(W)) << W->objectName().toStdString();
    }
    for (const char* T : {"b", "c"}) {
        EXPECT_EQ(FindMonitor(M, QString::fromLatin1(T))->Image32->toolTip(),
                  QStringLiteral("Left Click to move to main panel."));
    }
}

TEST_F(SettingsTest, TheNextStartHasHintsOnlyIfTheWindowClosedWithThem) {
    TfrmMain& M = Open();
    ClickButton(M, "btnHints");
    TfrmMain& Off = Restart();
    EXPECT_FALSE(Off.Hub().Settings().Hints);
    EXPECT_TRUE(ConfigText().contains("HintsEnable=0\r\n"));
    // Hints switched off show no hint on a new graph either.
    Off.Core().AddMonitor(QStringLiteral("gw"));
    EXPECT_FALSE(HintPopsUp(MonitorAt(Off, 0)->Image32));
    ClickButton(Off, "btnHints");
    EXPECT_TRUE(Restart().Hub().Settings().Hints);
    EXPECT_TRUE(ConfigText().contains("HintsEnable=1\r\n"));
}

TEST_F(SettingsTest, HintBoxesAreWhiteWithBlueTextAndKeepTheirTiming) {
    TfrmMain& M = Open();
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipBase), QColor(Qt::white));
    EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipText), QColor(Qt::blue));
    // Styled controls ask their style sheet's style, which falls back to the application's.
    for (QWidget* W : std::initializer_list<QWidget*>{Control<TzsImageButton>(M, "btnSpan"),
                                                      Control<QComboBox>(M, "cbGroups"),
                                                      Control<QLabel>(M, "lbZephraSoftware")}) {
        EXPECT_EQ(W->toolTipDuration(), 6000);
        EXPECT_EQ(W->style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay, nullptr, W), 500);
        EXPECT_EQ(W->style()->styleHint(QStyle::SH_ToolTip_FallAsleepDelay, nullptr, W), 0);
    }
    // A second window does not stack another style on the first.
    const QStyle* Style = QApplication::style();
    Restart();
    EXPECT_EQ(QApplication::style(), Style);
}

TEST_F(SettingsTest, LoggingSwitchReachesEveryMonitorAndStatesItselfInItsHint) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    M.Core().AddMonitor(QStringLiteral("b"));
    EXPECT_FALSE(M.Hub().Settings().Logging);
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnLogging")->isHidden());
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnLogging")),
              QStringLiteral("Data logging is disabled.\r\nClick to turn on."));

    ClickButton(M, "btnLogging");
    EXPECT_TRUE(M.Hub().Settings().Logging);
    EXPECT_EQ(Control<TzsImageButton>(M, "btnLogging")->ImageIndex(), TSharedImageLists::LoggingOn);
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnLogging")),
              QStringLiteral("Data logging is enabled.\r\nClick to turn off."));
    EXPECT_TRUE(M.Hub().Monitor(0)->LogEnabled());
    EXPECT_TRUE(M.Hub().Monitor(1)->LogEnabled());

    M.Hub().SetLogging(false);
    EXPECT_FALSE(M.Hub().Monitor(0)->LogEnabled());
    EXPECT_FALSE(M.Hub().Monitor(1)->LogEnabled());
    EXPECT_EQ(Control<TzsImageButton>(M, "btnLogging")->ImageIndex(),
              TSharedImageLists::LoggingOff);
}

TEST_F(SettingsTest, AlertingSwitchFlipsItselfShowsNoBoxAndLeavesTheMonitorsAlone) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnAlerting")->isHidden());
    EXPECT_FALSE(M.Hub().Settings().Alerting);
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnAlerting")),
              QStringLiteral("Alerting is disabled.\r\nClick to turn on."));

    ClickButton(M, "btnAlerting");
    EXPECT_TRUE(M.Hub().Settings().Alerting);
    EXPECT_EQ(Control<TzsImageButton>(M, "btnAlerting")->ImageIndex(),
              TSharedImageLists::AlertingOn);
    EXPECT_EQ(TzsHint::Text(Control<TzsImageButton>(M, "btnAlerting")),
              QStringLiteral("Alerting is enabled.\r\nClick to turn off."));
    EXPECT_TRUE(TzsMessageBox::TakeShown().empty());
    const TfrmPinger* Mon = MonitorAt(M, 0);
    EXPECT_FALSE(Mon->Session().LogEnabled());
    EXPECT_EQ(Mon->Session().Span(), 60);
    EXPECT_FALSE(M.Hub().Settings().Logging);

    ClickButton(M, "btnAlerting");
    EXPECT_FALSE(M.Hub().Settings().Alerting);
    EXPECT_TRUE(TzsMessageBox::TakeShown().empty());
}

class FriendlyNamesTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        WriteConfig("[COMMON]\r\nDefaultGroup=A\r\n[GROUPS]\r\n0=A\r\n[A]\r\n0=gw\r\n1=nas\r\n"
                    "[FRIENDLYNAMES]\r\n0=GW~Gateway\r\n");
    }
    // Adds a row in the dialog as the user would, then ends it with Button.
    static void AddRowAndEnd(TFrmFriendlyNames& Names, const QString& Host, const QString& Name,
                             TzsImageButton* Button) {
        QTest::keyClicks(Names.cbHostNameIP, Host);
        QTest::keyClicks(Names.cbFriendlyName, Name);
        QTest::mouseClick(Names.btnAdd, Qt::LeftButton);
        QTest::mouseClick(Button, Qt::LeftButton);
    }
    QStringList DisplayNames() const {
        QStringList Names;
        for (int I = 0; I < Main->Hub().Count(); ++I) {
            Names.append(QString::fromStdString(Main->Hub().Monitor(I)->DisplayName()));
        }
        return Names;
    }
};

TEST_F(FriendlyNamesTest, CancellingStoresNothingAndRenamesNoRunningMonitor) {
    TfrmMain& M = OpenWithDialogs();
    ASSERT_EQ(DisplayNames(), (QStringList{QStringLiteral("Gateway"), QStringLiteral("nas")}));
    const QByteArray Before = ConfigText();
    AnswerFriendlyNames(M, [](TFrmFriendlyNames& Names) {
        // The dialog opens on the stored table.
        EXPECT_EQ(Names.GetNamesText(), QStringLiteral("GW~Gateway\r\n"));
        AddRowAndEnd(Names, QStringLiteral("nas"), QStringLiteral("Storage"), Names.btnCancel);
    });
    ClickButton(M, "btnFriendlyNames");
    EXPECT_EQ(ConfigText(), Before);
    EXPECT_EQ(DisplayNames(), (QStringList{QStringLiteral("Gateway"), QStringLiteral("nas")}));
    // A monitor started after the cancel takes its name from the edited table, which is the
    // program's table until the next opening reads the stored one.
    FindMonitor(M, QStringLiteral("nas"))->close();
    M.Core().AddMonitor(QStringLiteral("nas"));
    EXPECT_EQ(M.Hub().Find(QStringLiteral("nas"))->DisplayName(), "Storage");
    EXPECT_EQ(ConfigText(), Before);
}

TEST_F(FriendlyNamesTest, OkStoresTheTableAndRenamesTheRunningMonitors) {
    TfrmMain& M = OpenWithDialogs();
    ClickButton(M, "btnToggleView");
    AnswerFriendlyNames(M, [](TFrmFriendlyNames& Names) {
        AddRowAndEnd(Names, QStringLiteral("NAS"), QStringLiteral("Storage"), Names.btnOK);
    });
    ClickButton(M, "btnFriendlyNames");
    EXPECT_TRUE(ConfigText().contains("[FRIENDLYNAMES]\r\n0=GW~Gateway\r\n1=NAS~Storage\r\n"));
    EXPECT_EQ(DisplayNames(), (QStringList{QStringLiteral("Gateway"), QStringLiteral("Storage")}));
    // The list shows the new name without waiting for the next result.
    QStringList Rows;
    for (int I = 0; I < M.ListModel()->rowCount(); ++I) {
        Rows.append(M.ListModel()->RowAt(I).Caption);
    }
    Rows.sort();
    EXPECT_EQ(Rows, (QStringList{QStringLiteral("Gateway"), QStringLiteral("Storage")}));
}

TEST_F(SettingsTest, WebPageOpensFromTheButtonTheNameAndTheDialog) {
    TfrmMain& M = OpenWithDialogs();
    QStringList Opened;
    const TWebAddressOpener Before =
        SetWebAddressOpener([&Opened](const QString& Address) { Opened.append(Address); });
    QTest::mouseClick(Control<TzsImageButton>(M, "btnZephraSoftware"), Qt::LeftButton);
    QTest::mouseClick(Control<QLabel>(M, "lbZephraSoftware"), Qt::LeftButton);
    QTest::mouseClick(FriendlyNames.btnZephraSoftware, Qt::LeftButton);
    SetWebAddressOpener(Before);
    EXPECT_EQ(Opened, QStringList(3, ZephraSoftwareWebAddress()));
}

TEST_F(SettingsTest, AboutButtonShowsTheAboutWindowWithoutWaitingForIt) {
    TfrmMain& M = Open();
    TfrmAbout About(&M.ImageLists(), M.windowTitle(),
                    Homes.Root() + QStringLiteral("/no-history.txt"));
    M.SetAboutWindow(&About);
    QTest::mouseClick(Control<TzsImageButton>(M, "btnAbout"), Qt::LeftButton);
    EXPECT_TRUE(About.isVisible());
    EXPECT_FALSE(About.isModal());
    // The main window goes on working while it is open.
    M.Core().AddMonitor(QStringLiteral("gw"));
    EXPECT_EQ(M.Hub().Count(), 1);
    About.hide();
}

TEST_F(SettingsTest, TabWalksTheToolbarFromLeftToRight) {
    TfrmMain& M = Open();
    M.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&M));
    Control<TzsImageButton>(M, "btnHints")->setFocus(Qt::TabFocusReason);
    const QList<QWidget*> Expected = {Control<TzsImageButton>(M, "btnHints"),
                                      Control<TzsImageButton>(M, "btnSettings"),
                                      Control<TzsImageButton>(M, "btnAbout"),
                                      Control<TzsImageButton>(M, "btnToggleView"),
                                      Control<TzsImageButton>(M, "btnSpan"),
                                      Control<TzsImageButton>(M, "btnRange"),
                                      Control<TzsImageButton>(M, "btnFreq"),
                                      Control<TzsImageButton>(M, "btnTimeOutMS"),
                                      Control<TzsImageButton>(M, "btnPayloadSize"),
                                      Control<TzsImageButton>(M, "btnFriendlyNames"),
                                      Control<TzsImageButton>(M, "btnAlerting"),
                                      Control<TzsImageButton>(M, "btnLogging"),
                                      Control<QLineEdit>(M, "cbTarget"),
                                      Control<TzsImageButton>(M, "btnNewPinger"),
                                      Control<QComboBox>(M, "cbGroups"),
                                      Control<TzsImageButton>(M, "btnAddGroup"),
                                      Control<TzsImageButton>(M, "btnDeleteGroup"),
                                      Control<TzsImageButton>(M, "btnZephraSoftware")};
    QList<QWidget*> Walked;
    for (qsizetype I = 0; I < Expected.size(); ++I) {
        Walked.append(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(Walked, Expected);

    // Enter on a focused menu button shows its menu.
    Control<TzsImageButton>(M, "btnSpan")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Control<TzsImageButton>(M, "btnSpan"), Qt::Key_Return);
    EXPECT_TRUE(Control<QMenu>(M, "menSpan")->isVisible());
    Control<QMenu>(M, "menSpan")->hide();
}

} // namespace

namespace {

// Errors of a handler that a real click runs are shown from inside the handler: nothing is
// thrown through Qt's event delivery (the test's application object has no general error
// handler, so an escaping exception fails the test), and the window goes on working.
TEST_F(SettingsTest, ErrorsOfAClickedControlAreShownFromItsHandler) {
    TfrmMain& M = OpenWithDialogs();
    AnswerFriendlyNames(M, [](TFrmFriendlyNames& Names) { Names.btnOKClick(); });
    // config.ini becomes something that cannot be read or written as a file.
    ASSERT_TRUE(QFile::remove(ConfigFileName()));
    ASSERT_EQ(mkfifo(QFile::encodeName(ConfigFileName()).constData(), 0600), 0);
    TzsMessageBox::TakeShown();

    QTest::mouseClick(Control<TzsImageButton>(M, "btnFriendlyNames"), Qt::LeftButton);
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Error);
    EXPECT_TRUE(Shown[0].Text.contains(QStringLiteral("config.ini")))
        << Shown[0].Text.toStdString();

    // Still answering: a target typed and added starts its monitor.
    QTest::keyClicks(Control<QLineEdit>(M, "cbTarget"), QStringLiteral("127.0.0.1"));
    QTest::mouseClick(Control<TzsImageButton>(M, "btnNewPinger"), Qt::LeftButton);
    EXPECT_NE(FindMonitor(M, QStringLiteral("127.0.0.1")), nullptr);
}

} // namespace

// Alerts in the main window: the switch and the thresholds in config.ini, notifications for
// changes of the monitors' states (through a recording notifier), the "Degraded" mark of a
// monitor, the tray icon's state and tooltip, and the Alerts dialog.
#include "main_window_fixture.h"
#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uAlertTray.h"
#include "uFrmAlerts.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QSpinBox>
#include <QSystemTrayIcon>

#include <functional>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

class TRecordingNotifier : public TAlertNotifier {
public:
    void Notify(const TAlertNotice& Notice) override { Notices.push_back(Notice); }
    void Close(const QString&) override {}
    std::vector<TAlertNotice> Notices;
};

class AlertsTest : public MainWindowTest {
protected:
    TfrmMain& OpenWithRecorder(const std::function<void(TfrmMain&)>& Prepare = {}) {
        TfrmMain& M = Open([&](TfrmMain& W) {
            W.Core().SetAlertNotifier(&Recorder);
            if (Prepare) {
                Prepare(W);
            }
        });
        return M;
    }
    // '1' a reply in 5 ms, '0' a timeout.
    void FeedSequence(const QString& Target, const std::string& Results) {
        for (const char R : Results) {
            Feed(Target, R == '1' ? 5 : -1);
        }
    }
    TRecordingNotifier Recorder;
};

} // namespace

TEST_F(AlertsTest, SwitchIsOffAtFirstAndIsStoredInItsOwnSection) {
    TfrmMain& M = OpenWithRecorder();
    EXPECT_FALSE(M.Hub().Settings().Alerting);
    EXPECT_FALSE(ConfigText().contains("[ALERTS]"));
    ClickButton(M, "btnAlerting");
    EXPECT_TRUE(ConfigText().contains("[ALERTS]\r\nEnabled=1\r\n"));

    TfrmMain& Again = Restart([&](TfrmMain& W) { W.Core().SetAlertNotifier(&Recorder); });
    EXPECT_TRUE(Again.Hub().Settings().Alerting);
    EXPECT_EQ(Control<TzsImageButton>(Again, "btnAlerting")->ImageIndex(),
              TSharedImageLists::AlertingOn);
    ClickButton(Again, "btnAlerting");
    EXPECT_TRUE(ConfigText().contains("[ALERTS]\r\nEnabled=0\r\n"));
    // The sections of the file stay as they were.
    EXPECT_TRUE(ConfigText().contains("[COMMON]"));
    EXPECT_TRUE(ConfigText().contains("[GROUPS]"));
}

TEST_F(AlertsTest, OneNotificationWhenAHostGoesDownAndOneWhenItComesBack) {
    TfrmMain& M = OpenWithRecorder();
    M.Core().AddMonitor(QStringLiteral("gw"));
    ClickButton(M, "btnAlerting");

    // A full window of replies, then a lost one: quiet.
    FeedSequence(QStringLiteral("gw"), std::string(20, '1'));
    FeedSequence(QStringLiteral("gw"), "11011");
    EXPECT_TRUE(Recorder.Notices.empty());
    FeedSequence(QStringLiteral("gw"), "00000"); // three in a row, and more
    ASSERT_EQ(Recorder.Notices.size(), 1u);
    const TAlertNotice Down = Recorder.Notices[0];
    EXPECT_EQ(Down.Title, QStringLiteral("gw"));
    EXPECT_EQ(Down.State, TAlertState::Down);
    EXPECT_TRUE(Down.Body.startsWith(
        QStringLiteral("Down \u00B7 Request timed out \u00B7 127.0.0.1 \u00B7 ")))
        << Down.Body.toStdString();
    EXPECT_TRUE(Down.Body.endsWith(QStringLiteral("12:00:00"))) << Down.Body.toStdString();
    EXPECT_FALSE(Down.Sound);

    FeedSequence(QStringLiteral("gw"), "1"); // M=2: not yet
    EXPECT_EQ(Recorder.Notices.size(), 1u);
    FeedSequence(QStringLiteral("gw"), "1111");
    ASSERT_EQ(Recorder.Notices.size(), 2u);
    EXPECT_EQ(Recorder.Notices[1].State, TAlertState::Up);
    EXPECT_TRUE(Recorder.Notices[1].Body.startsWith(
        QStringLiteral("Up \u00B7 round trip 5 ms \u00B7 127.0.0.1 \u00B7 ")))
        << Recorder.Notices[1].Body.toStdString();
    // Both under the monitor's key: the Up takes the Down's place on screen.
    EXPECT_FALSE(Down.Key.isEmpty());
    EXPECT_EQ(Recorder.Notices[1].Key, Down.Key);
}

TEST_F(AlertsTest, WithTheSwitchOffStatesAreFollowedButNothingIsNotified) {
    TfrmMain& M = OpenWithRecorder();
    M.Core().AddMonitor(QStringLiteral("a"));
    M.Core().AddMonitor(QStringLiteral("b"));
    FeedSequence(QStringLiteral("a"), "11");
    FeedSequence(QStringLiteral("b"), std::string(20, '1'));
    FeedSequence(QStringLiteral("b"), "000");
    EXPECT_TRUE(Recorder.Notices.empty());
    ASSERT_NE(M.Tray(), nullptr);
    EXPECT_EQ(M.Tray()->ShownState(), TAlertState::Down);
    EXPECT_EQ(M.Tray()->ToolTip(), QStringLiteral("Vantorel\nb: Down"));
    // Turning alerting on raises nothing for a state that already holds.
    ClickButton(M, "btnAlerting");
    FeedSequence(QStringLiteral("b"), "0");
    EXPECT_TRUE(Recorder.Notices.empty());

    // The monitor that is down goes: the tray shows the rest.
    FindMonitor(M, QStringLiteral("b"))->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(M.Tray()->ShownState(), TAlertState::Up);
    EXPECT_EQ(M.Tray()->ToolTip(), QStringLiteral("Vantorel\nAll hosts are up."));
    EXPECT_EQ(M.Core().Alerts().MonitorCount(), 1);
}

TEST_F(AlertsTest, TrayPictureFollowsTheWorstState) {
    TfrmMain& M = OpenWithRecorder();
    ASSERT_NE(M.Tray(), nullptr);
    EXPECT_EQ(M.Tray()->ShownState(), TAlertState::Unknown);
    const auto Centre = [&] {
        const QImage Image = M.Tray()->Picture().pixmap(32, 32).toImage();
        return Image.pixel(Image.width() / 2, Image.height() / 2) | 0xFF000000;
    };
    EXPECT_EQ(Centre(), AlertColourUnknown);
    M.Core().AddMonitor(QStringLiteral("a"));
    FeedSequence(QStringLiteral("a"), std::string(20, '1'));
    EXPECT_EQ(Centre(), AlertColourUp);
    FeedSequence(QStringLiteral("a"), "000");
    EXPECT_EQ(Centre(), AlertColourDown);
}

TEST_F(AlertsTest, DegradedMonitorSaysSoInItsStatusLine) {
    WriteConfig("[ALERTS]\r\nWindow=4\r\nLossPercent=20\r\n");
    TfrmMain& M = OpenWithRecorder();
    M.Core().AddMonitor(QStringLiteral("a"));
    ClickButton(M, "btnAlerting");
    TfrmPinger* Mon = FindMonitor(M, QStringLiteral("a"));
    FeedSequence(QStringLiteral("a"), "11101"); // 25 % of the last four
    EXPECT_TRUE(Mon->Session().Degraded());
    EXPECT_FALSE(Mon->lbDegraded->isHidden());
    EXPECT_EQ(Mon->lbDegraded->text(), QStringLiteral("Degraded"));
    EXPECT_GE(Mon->lbStatus->x(), Mon->lbDegraded->x() + Mon->lbDegraded->width());
    EXPECT_EQ(M.Tray()->ShownState(), TAlertState::Degraded);
    EXPECT_EQ(M.Tray()->ToolTip(), QStringLiteral("Vantorel\na: Degraded (25 % loss)"));
    ASSERT_EQ(Recorder.Notices.size(), 1u);
    EXPECT_EQ(Recorder.Notices[0].State, TAlertState::Degraded);
    EXPECT_TRUE(Recorder.Notices[0].Body.startsWith(QStringLiteral("Degraded \u00B7 25 % loss")))
        << Recorder.Notices[0].Body.toStdString();

    // Clear once the window has held no loss for four results.
    FeedSequence(QStringLiteral("a"), "11111");
    EXPECT_TRUE(Mon->Session().Degraded());
    FeedSequence(QStringLiteral("a"), "1");
    EXPECT_FALSE(Mon->Session().Degraded());
    EXPECT_TRUE(Mon->lbDegraded->isHidden());
    ASSERT_EQ(Recorder.Notices.size(), 2u);
    EXPECT_EQ(Recorder.Notices[1].State, TAlertState::Up);
}

// The sound box is seen in both states: an outline of the panel's green when unchecked, filled
// when checked, on the dark panel.
TEST_F(AlertsTest, SoundBoxIsDrawnVisiblyInBothStates) {
    TfrmMain& M = OpenWithRecorder([&](TfrmMain& W) {
        W.SetModalRunner([&](QDialog& D) {
            auto& Dialog = static_cast<TfrmAlerts&>(D);
            const auto GreenInBox = [&](bool Checked) {
                Dialog.chkSound->setChecked(Checked);
                const QRect Box(Dialog.chkSound->mapTo(&Dialog, QPoint(0, 0)),
                                QSize(18, Dialog.chkSound->height()));
                const QImage Image = Dialog.grab(Box).toImage();
                Image.save(QStringLiteral("test-output/alerts-sound-box-%1.png")
                               .arg(Checked ? QStringLiteral("on") : QStringLiteral("off")));
                int Green = 0;
                for (int Y = 0; Y < Image.height(); ++Y) {
                    for (int X = 0; X < Image.width(); ++X) {
                        const QColor C = Image.pixelColor(X, Y);
                        Green += C.green() > 200 && C.red() < 170 && C.blue() < 120;
                    }
                }
                return Green;
            };
            const int Off = GreenInBox(false);
            const int On = GreenInBox(true);
            EXPECT_GE(Off, 30) << "the unchecked box's outline";
            EXPECT_GE(On, Off + 50) << "the checked box is filled";
            return int(QDialog::Rejected);
        });
    });
    QDir().mkpath(QStringLiteral("test-output"));
    Control<QAction>(M, "AlertSettings1")->trigger();
}

// The title of the alerting switch's menu shows the switch as it is when the menu opens.
TEST_F(AlertsTest, MenuTitleShowsTheSwitchsState) {
    TfrmMain& M = OpenWithRecorder();
    QMenu* Menu = Control<QMenu>(M, "menAlerting");
    ASSERT_NE(Menu, nullptr);
    const auto Title = [&] {
        emit Menu->aboutToShow();
        return Menu->actions().front()->icon().pixmap(24, 24).toImage();
    };
    const auto Button = [&] { return Control<TzsImageButton>(M, "btnAlerting")->ImageIndex(); };
    ASSERT_EQ(Button(), TSharedImageLists::AlertingOff);
    const QImage Off = Title();
    ClickButton(M, "btnAlerting");
    ASSERT_EQ(Button(), TSharedImageLists::AlertingOn);
    const QImage On = Title();
    EXPECT_NE(On, Off);
    ClickButton(M, "btnAlerting");
    EXPECT_EQ(Title(), Off);
}

TEST_F(AlertsTest, DialogStoresTheThresholdsOnOkOnly) {
    int Answer = QDialog::Rejected;
    TfrmMain& M = OpenWithRecorder([&](TfrmMain& W) {
        W.SetModalRunner([&](QDialog& D) {
            auto& Dialog = static_cast<TfrmAlerts&>(D);
            EXPECT_EQ(Dialog.seFailThreshold->value(), 3);
            EXPECT_EQ(Dialog.seRecoverThreshold->value(), 2);
            EXPECT_EQ(Dialog.seWindow->value(), 20);
            EXPECT_EQ(Dialog.seLossPercent->value(), 10);
            EXPECT_EQ(Dialog.seLatencyMs->text(), QStringLiteral("off"));
            EXPECT_FALSE(Dialog.chkSound->isChecked());
            EXPECT_EQ(Dialog.seFailThreshold->maximum(), 10);
            EXPECT_EQ(Dialog.seFailThreshold->minimum(), 1);
            Dialog.seFailThreshold->setValue(1);
            Dialog.seRecoverThreshold->setValue(10);
            Dialog.seWindow->setValue(50);
            Dialog.seLossPercent->setValue(25);
            Dialog.seLatencyMs->setValue(150);
            Dialog.chkSound->setChecked(true);
            return Answer;
        });
    });
    // The switch's menu leads to the dialog.
    ASSERT_NE(Control<QMenu>(M, "menAlerting"), nullptr);
    EXPECT_TRUE(Control<QMenu>(M, "menAlerting")
                    ->actions()
                    .contains(Control<QAction>(M, "AlertSettings1")));

    const QByteArray Before = ConfigText();
    Control<QAction>(M, "AlertSettings1")->trigger();
    EXPECT_EQ(ConfigText(), Before);
    EXPECT_EQ(M.Core().Alerts().Settings(), TAlertSettings());

    Answer = QDialog::Accepted;
    Control<QAction>(M, "AlertSettings1")->trigger();
    EXPECT_TRUE(
        ConfigText().contains("[ALERTS]\r\nFailThreshold=1\r\nRecoverThreshold=10\r\n"
                              "Window=50\r\nLossPercent=25\r\nLatencyMs=150\r\nSound=1\r\n"))
        << ConfigText().toStdString();
    // The new thresholds apply at once: after a full window, one failure is enough now.
    M.Core().AddMonitor(QStringLiteral("a"));
    ClickButton(M, "btnAlerting");
    FeedSequence(QStringLiteral("a"), std::string(50, '1'));
    FeedSequence(QStringLiteral("a"), "0");
    ASSERT_EQ(Recorder.Notices.size(), 1u);
    EXPECT_TRUE(Recorder.Notices[0].Sound);

    TfrmMain& Again = Restart([&](TfrmMain& W) { W.Core().SetAlertNotifier(&Recorder); });
    TAlertSettings Expected;
    Expected.FailThreshold = 1;
    Expected.RecoverThreshold = 10;
    Expected.Window = 50;
    Expected.LossPercent = 25;
    Expected.LatencyMs = 150;
    Expected.Sound = true;
    EXPECT_EQ(Again.Core().Alerts().Settings(), Expected);
}

TEST_F(AlertsTest, StoredValuesOutOfRangeOrNotNumbersAreMended) {
    WriteConfig("[ALERTS]\r\nFailThreshold=0\r\nRecoverThreshold=abc\r\nWindow=99999999999\r\n"
                "LossPercent=-3\r\nLatencyMs=7\r\nSound=x\r\nFuture=keep me\r\n");
    TfrmMain& M = OpenWithRecorder();
    TAlertSettings Expected;
    Expected.FailThreshold = 1;
    Expected.RecoverThreshold = 2;
    Expected.Window = TAlertSettings::MaxWindow;
    Expected.LossPercent = 0;
    Expected.LatencyMs = 7;
    EXPECT_EQ(M.Core().Alerts().Settings(), Expected);
    // A write keeps the key this version does not know.
    ClickButton(M, "btnAlerting");
    EXPECT_TRUE(ConfigText().contains("Future=keep me\r\n"));
}

TEST(AlertTray, PictureAndToolTip) {
    for (const TAlertState S :
         {TAlertState::Unknown, TAlertState::Up, TAlertState::Degraded, TAlertState::Down}) {
        for (const int Size : {16, 22, 64}) {
            const QImage Image = AlertTrayImage(S, Size);
            ASSERT_EQ(Image.size(), QSize(Size, Size));
            EXPECT_EQ(Image.pixel(Size / 2, Size / 2) | 0xFF000000, AlertColour(S));
            EXPECT_EQ(qAlpha(Image.pixel(0, 0)), 0); // the corners stay clear
        }
    }
    EXPECT_EQ(AlertTrayToolTip(TAlertState::Unknown, {}),
              QStringLiteral("Vantorel\nNo results yet."));
    EXPECT_EQ(AlertTrayToolTip(TAlertState::Down,
                               {QStringLiteral("x: Down"), QStringLiteral("y: Degraded")}),
              QStringLiteral("Vantorel\nx: Down\ny: Degraded"));
}

TEST_F(AlertsTest, TrayMenuShowsTheWindowAndQuitClosesIt) {
    TfrmMain& M = OpenWithRecorder();
    ASSERT_NE(M.Tray(), nullptr);
    const QList<QAction*> Entries = M.Tray()->Menu()->actions();
    ASSERT_EQ(Entries.size(), 2);
    EXPECT_EQ(Entries[0]->text(), QStringLiteral("Show"));
    EXPECT_EQ(Entries[1]->text(), QStringLiteral("Quit"));

    M.hide();
    Entries[0]->trigger();
    EXPECT_TRUE(M.isVisible());
    EXPECT_FALSE(M.isMinimized());

    M.Core().AddMonitor(QStringLiteral("a"));
    Entries[1]->trigger();
    // Quitting is closing the window: the open group is saved as the close button saves it.
    QTRY_VERIFY(!M.isVisible());
    EXPECT_TRUE(ConfigText().contains("[Default Group]\r\n0=a\r\n")) << ConfigText().toStdString();
}

TEST_F(AlertsTest, AFileThatCannotBeWrittenIsToldAndTheChoiceHoldsForThisRun) {
    TfrmMain& M = OpenWithRecorder([&](TfrmMain& W) {
        W.SetModalRunner([&](QDialog& D) {
            static_cast<TfrmAlerts&>(D).seFailThreshold->setValue(5);
            return int(QDialog::Accepted);
        });
    });
    TzsMessageBox::TakeShown();
    const QByteArray Before = ConfigText();
    const std::string File = QFile::encodeName(ConfigFileName()).toStdString();
    ASSERT_EQ(::chmod(File.c_str(), 0444), 0);
    const std::pair<const char*, std::function<void()>> Actions[] = {
        {"alerting switch", [&] { ClickButton(M, "btnAlerting"); }},
        {"Alerts dialog", [&] { Control<QAction>(M, "AlertSettings1")->trigger(); }},
    };
    for (const auto& [Name, Act] : Actions) {
        SCOPED_TRACE(Name);
        Act();
        const auto Shown = TzsMessageBox::TakeShown();
        ASSERT_EQ(Shown.size(), 1);
        EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Error);
        EXPECT_TRUE(
            Shown[0].Text.contains(QStringLiteral("Unable to write to ") + ConfigFileName()))
            << Shown[0].Text.toStdString();
    }
    EXPECT_EQ(ConfigText(), Before);
    EXPECT_TRUE(M.Hub().Settings().Alerting);
    EXPECT_EQ(M.Core().Alerts().Settings().FailThreshold, 5);
}

TEST_F(AlertsTest, AFailureCutOffByASleepOfTheMachineRaisesNothing) {
    WriteConfig("[ALERTS]\r\nEnabled=1\r\nFailThreshold=1\r\nRecoverThreshold=1\r\n");
    TfrmMain& M = OpenWithRecorder();
    M.Core().AddMonitor(QStringLiteral("gw"));
    TfrmPinger* Mon = FindMonitor(M, QStringLiteral("gw"));
    FeedSequence(QStringLiteral("gw"), std::string(20, '1'));
    TPingEvent Cut = MakeResult(*Clock, 0, -1, PING_STATUS_REQ_TIMED_OUT, "gw", "127.0.0.1");
    Cut.SleptMs = 60000;
    Mon->Session().PingDone(Cut);
    EXPECT_TRUE(Recorder.Notices.empty());
    EXPECT_EQ(M.Core().Alerts().State(Mon->Session()), TAlertState::Up);
    // A failure with the machine awake is one.
    FeedSequence(QStringLiteral("gw"), "0");
    ASSERT_EQ(Recorder.Notices.size(), 1u);
    EXPECT_EQ(Recorder.Notices[0].State, TAlertState::Down);
}

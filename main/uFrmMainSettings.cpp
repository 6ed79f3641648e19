// The main window's toolbar settings and switches: the five settings menus that apply to every
// monitor, the hints, logging and alerting switches, the friendly names dialog, the web page,
// the About window, and the configuration menu with the export and import of config.ini.
#include "uFrmMain.h"

#include "About.h"
#include "uAlertSettingsFile.h"
#include "uFrmFriendlyNames.h"
#include "uFrmPinger.h"
#include "uStartup.h"
#include "uZephraTools.h"
#include "zsFileDialog.h"
#include "zsHint.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QActionGroup>
#include <QComboBox>
#include <QCursor>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include <utility>
#include <vector>

namespace {

struct TMenuEntry {
    const char* Caption;
    std::int32_t Value;
    bool Hidden = false;
};

// Turns a left-button release over a control into a call, for controls that have no click of
// their own (the maker's name in the toolbar).
class TClickFilter : public QObject {
public:
    TClickFilter(QWidget* Control, std::function<void()> OnClick)
        : QObject(Control), FOnClick(std::move(OnClick)) {
        Control->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::MouseButtonRelease) {
            auto* Mouse = static_cast<QMouseEvent*>(Event);
            auto* Control = static_cast<QWidget*>(Watched);
            if (Mouse->button() == Qt::LeftButton &&
                Control->rect().contains(Mouse->position().toPoint())) {
                FOnClick();
                return true;
            }
        }
        return QObject::eventFilter(Watched, Event);
    }

private:
    std::function<void()> FOnClick;
};

TzsFileDialog::TOptions ConfigFileDialog(TzsFileDialog::TKind Kind) {
    return {Kind, QStringLiteral(".ini"), QStringLiteral("Vantorel.ini"),
            QStringLiteral("ini File|*.ini")};
}

} // namespace

// --- menus -----------------------------------------------------------------------------------

QMenu* TfrmMain::MakeButtonMenu(TzsImageButton* Button, const QString& Title) {
    auto* Menu = new QMenu(this);
    QIcon Picture;
    for (const QIcon::Mode Mode : {QIcon::Normal, QIcon::Disabled}) {
        Picture.addPixmap(FImages.ImgStandard24.Pixmap(Button->ImageIndex(), 1.0), Mode);
        Picture.addPixmap(FImages.ImgStandard24.Pixmap(Button->ImageIndex(), 2.0), Mode);
    }
    QAction* TitleEntry = Menu->addAction(Picture, Title);
    TitleEntry->setEnabled(false);
    Menu->addSeparator();
    // A right-click on the button shows the same menu.
    Button->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Button, &QWidget::customContextMenuRequested, this,
            [Menu, Button](const QPoint& At) { Menu->popup(Button->mapToGlobal(At)); });
    return Menu;
}

void TfrmMain::BuildSettingsMenus() {
    using THandler = void (TfrmMain::*)(QAction*);
    const auto AddValues = [this](QMenu* Menu, const std::vector<TMenuEntry>& Entries,
                                  std::int32_t Checked, THandler Handler) {
        auto* Group = new QActionGroup(Menu);
        Group->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
        for (const TMenuEntry& E : Entries) {
            QAction* Entry = Menu->addAction(QString::fromLatin1(E.Caption));
            Entry->setCheckable(true);
            Entry->setData(E.Value);
            Entry->setChecked(E.Value == Checked);
            Entry->setVisible(!E.Hidden);
            Group->addAction(Entry);
            connect(Entry, &QAction::triggered, this,
                    ShowingErrors([this, Entry, Handler] { (this->*Handler)(Entry); }));
        }
    };

    menSpan = MakeButtonMenu(btnSpan, QStringLiteral("Chart Span"));
    AddValues(menSpan,
              {{"1min", 60},
               {"5min", 300},
               {"10min", 600},
               {"30min", 1800},
               {"1hr", 3600},
               {"2hr", 7200},
               {"4hr", 14400},
               {"8hr", 28800}},
              Span(), &TfrmMain::SetSpanClick);
    menRange = MakeButtonMenu(btnRange, QStringLiteral("Chart Range"));
    AddValues(menRange,
              {{"Auto", -1},
               {"10ms", 10},
               {"50ms", 50},
               {"100ms", 100},
               {"500ms", 500},
               {"1000ms", 1000},
               {"5000ms", 5000}},
              Range(), &TfrmMain::SetRangeClick);
    menFreq = MakeButtonMenu(btnFreq, QStringLiteral("Ping Frequency"));
    AddValues(
        menFreq,
        {{"1 Sec", 1000}, {"5 Sec", 5000}, {"10 Sec", 10000}, {"30 Sec", 30000}, {"1 Min", 60000}},
        Frequency(), &TfrmMain::SetFrequencyClick);
    menTimeOutMS = MakeButtonMenu(btnTimeOutMS, QStringLiteral("Ping Timeout (ms)"));
    AddValues(menTimeOutMS,
              {{"50 (ms)", 50},
               {"100 (ms)", 100},
               {"200 (ms)", 200},
               {"500 (ms)", 500},
               {"1000 (ms)", 1000},
               {"2000 (ms)", 2000},
               {"5000 (ms)", 5000},
               {"10000 (ms)", 10000}},
              TimeOutMS(), &TfrmMain::TimeOutMSClick);
    menPayloadSize = MakeButtonMenu(btnPayloadSize, QStringLiteral("Payload Size"));
    AddValues(menPayloadSize,
              {{"0 Bytes", 0},
               {"16 Bytes", 16},
               {"64 Bytes", 64},
               {"256 Bytes", 256},
               {"1 Kilobytes", 1024, true},
               {"4 Kilobytes", 4096, true},
               {"16 Kilobytes", 16384, true},
               {"32 Kilobytes", 32768, true}},
              PayloadSize(), &TfrmMain::PayloadSizeClick);

    menSettings = MakeButtonMenu(btnSettings, QStringLiteral("Configuration"));
    ExportSettings1 = menSettings->addAction(QStringLiteral("Export Configuration"));
    ImportSettings1 = menSettings->addAction(QStringLiteral("Import Configuration"));
    connect(ExportSettings1, &QAction::triggered, this,
            ShowingErrors([this] { ExportSettings1Click(); }));
    connect(ImportSettings1, &QAction::triggered, this,
            ShowingErrors([this] { ImportSettings1Click(); }));

    connect(btnSpan, &TzsImageButton::clicked, this, ShowingErrors([this] { btnSpanClick(); }));
    connect(btnRange, &TzsImageButton::clicked, this, ShowingErrors([this] { btnRangeClick(); }));
    connect(btnFreq, &TzsImageButton::clicked, this, ShowingErrors([this] { btnFreqClick(); }));
    connect(btnTimeOutMS, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnTimeOutMSClick(); }));
    connect(btnPayloadSize, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnPayloadSizeClick(); }));
    connect(btnSettings, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnSettingsClick(); }));
    connect(btnHints, &TzsImageButton::clicked, this, ShowingErrors([this] { btnHintsClick(); }));
    connect(btnLogging, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnLoggingClick(); }));
    connect(btnAlerting, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnAlertingClick(); }));
    connect(btnFriendlyNames, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnFriendlyNamesClick(); }));
    connect(btnAbout, &TzsImageButton::clicked, this, ShowingErrors([this] { btnAboutClick(); }));
    connect(btnZephraSoftware, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnZephraSoftwareClick(); }));
    new TClickFilter(lbZephraSoftware, ShowingErrors([this] { btnZephraSoftwareClick(); }));
    lbZephraSoftware->setCursor(Qt::PointingHandCursor);

    // Tab walks the toolbar from left to right; hidden buttons drop out of the walk by
    // themselves.
    QWidget* Previous = nullptr;
    for (const TToolbarItem& Item : FToolbar) {
        if (!(Item.Flags & TToolbarItem::Tab)) {
            continue;
        }
        if (auto* Button = qobject_cast<TzsImageButton*>(Item.Control)) {
            Button->SetTabStop(true);
        }
        if (Previous) {
            setTabOrder(Previous, Item.Control);
        }
        Previous = Item.Control;
    }
}

void TfrmMain::ShowButtonMenu(QMenu* Menu, TzsImageButton* Button) {
    // A click with the mouse shows the menu at the pointer; Enter on the focused button, with
    // the pointer elsewhere, shows it under the button.
    const QPoint Pointer = QCursor::pos();
    const QRect Place(Button->mapToGlobal(QPoint(0, 0)), Button->size());
    Menu->popup(Place.contains(Pointer) ? Pointer : Place.bottomLeft());
}

void TfrmMain::btnSpanClick() {
    ShowButtonMenu(menSpan, btnSpan);
}

void TfrmMain::btnRangeClick() {
    ShowButtonMenu(menRange, btnRange);
}

void TfrmMain::btnFreqClick() {
    ShowButtonMenu(menFreq, btnFreq);
}

void TfrmMain::btnTimeOutMSClick() {
    ShowButtonMenu(menTimeOutMS, btnTimeOutMS);
}

void TfrmMain::btnPayloadSizeClick() {
    ShowButtonMenu(menPayloadSize, btnPayloadSize);
}

void TfrmMain::btnSettingsClick() {
    ShowButtonMenu(menSettings, btnSettings);
}

// --- common settings -------------------------------------------------------------------------

void TfrmMain::SetSpanClick(QAction* Entry) {
    Hub().SetSpan(Entry->data().toInt());
}

void TfrmMain::SetRangeClick(QAction* Entry) {
    Hub().SetRange(Entry->data().toInt());
}

void TfrmMain::SetFrequencyClick(QAction* Entry) {
    Hub().SetFrequency(Entry->data().toInt());
}

void TfrmMain::TimeOutMSClick(QAction* Entry) {
    Hub().SetTimeOutMS(Entry->data().toInt());
}

void TfrmMain::PayloadSizeClick(QAction* Entry) {
    Hub().SetPayloadSize(Entry->data().toInt());
}

void TfrmMain::ShowSettings() {
    const TMonitorSettings& S = Settings();
    for (const auto& [Menu, Value] :
         {std::pair{menSpan, S.Span}, std::pair{menRange, S.Range}, std::pair{menFreq, S.Frequency},
          std::pair{menTimeOutMS, S.TimeOutMS}, std::pair{menPayloadSize, S.PayloadSize}}) {
        if (!Menu) {
            continue;
        }
        for (QAction* Entry : Menu->actions()) {
            if (Entry->isCheckable() && Entry->data().toInt() == Value) {
                Entry->setChecked(true);
            }
        }
    }
    using L = TSharedImageLists;
    btnLogging->SetImageIndex(S.Logging ? L::LoggingOn : L::LoggingOff);
    TzsHint::Set(btnLogging,
                 S.Logging ? QStringLiteral("Data logging is enabled.\r\nClick to turn off.")
                           : QStringLiteral("Data logging is disabled.\r\nClick to turn on."));
    btnAlerting->SetImageIndex(S.Alerting ? L::AlertingOn : L::AlertingOff);
    TzsHint::Set(btnAlerting, S.Alerting
                                  ? QStringLiteral("Alerting is enabled.\r\nClick to turn off.")
                                  : QStringLiteral("Alerting is disabled.\r\nClick to turn on."));
    btnHints->SetImageIndex(S.Hints ? L::HintsOn : L::HintsOff);
    TzsHint::Set(btnHints, S.Hints ? QStringLiteral("Hints are enabled.\r\nClick to turn off.")
                                   : QStringLiteral("Hints are disabled.\r\nClick to turn on."));
    if (FShownHints == S.Hints) {
        return;
    }
    FShownHints = S.Hints;
    for (TfrmPinger* Mon : std::as_const(FViews)) {
        TzsHint::SetShow(Mon->Image32, S.Hints);
    }
    for (const TToolbarItem& Item : FToolbar) {
        if (Item.Flags & TToolbarItem::Hint) {
            TzsHint::SetShow(Item.Control, S.Hints);
        }
    }
    if (FFriendlyNames) {
        FFriendlyNames->SetHintsEnabled(S.Hints);
    }
}

// --- friendly names, web page, About -----------------------------------------------------------

bool TfrmMain::EditFriendlyNames(QString& Text) {
    if (!FFriendlyNames) {
        return false;
    }
    FFriendlyNames->SetNamesText(Text);
    const int Result = FModalRunner ? FModalRunner(*FFriendlyNames) : FFriendlyNames->exec();
    Text = FFriendlyNames->GetNamesText();
    return Result == QDialog::Accepted;
}

void TfrmMain::btnZephraSoftwareClick() {
    OpenWebAddress(ZephraSoftwareWebAddress());
}

void TfrmMain::SetAboutWindow(TfrmAbout* About) {
    FAbout = About;
}

void TfrmMain::btnAboutClick() {
    if (FAbout) {
        FAbout->ShowAbout();
    }
}

// --- what the core asks of a person -------------------------------------------------------------

QString TfrmMain::ChooseConfigFile(bool Save) {
    return TzsFileDialog::Execute(
        this, ConfigFileDialog(Save ? TzsFileDialog::TKind::Save : TzsFileDialog::TKind::Open));
}

void TfrmMain::Tell(TMessage Kind, const QString& Text) {
    switch (Kind) {
    case TMessage::Warning:
        TzsMessageBox::Warning(this, Text);
        break;
    case TMessage::Error:
        TzsMessageBox::Error(this, Text);
        break;
    case TMessage::Information:
        TzsMessageBox::Information(this, Text);
        break;
    case TMessage::Plain:
        TzsMessageBox::Plain(this, Text);
        break;
    }
}

bool TfrmMain::Confirm(const QString& Text, TButtons Buttons) {
    if (Buttons == TButtons::OkCancel) {
        return TzsMessageBox::Confirmation(this, Text, QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
    }
    return TzsMessageBox::Confirmation(this, Text,
                                       QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ==
           QMessageBox::Yes;
}

void TfrmMain::ShowError(const std::exception& Error) {
    ShowException(Error);
}

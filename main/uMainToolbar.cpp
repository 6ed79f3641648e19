#include "uMainToolbar.h"

#include "uStartup.h"
#include "uVantorelCore.h"
#include "uZephraTools.h"
#include "zsHint.h"
#include "zsImageButton.h"
#include "zsImageList.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>

namespace {

struct TMenuEntry {
    const char* Caption;
    std::int32_t Value;
    bool Hidden = false;
};

// Turns a left-button release over a control into a call, for controls that have no click of
// their own (the maker's name).
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

} // namespace

TMainToolbar::TMainToolbar(TVantorelCore& Core, const TSharedImageLists& Images, QWidget* Parent)
    : QWidget(Parent), FCore(Core), FImages(Images) {
    setObjectName(QStringLiteral("PanelToolbar"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral(
        "#PanelToolbar { background: rgb(40,40,40); border-bottom: 1px solid rgb(20,20,20); }"
        "QLabel { background: transparent; }"
        "QLineEdit, QComboBox { color: black; }"));
    setFixedHeight(Height);

    const auto Label = [this](QLabel*& Member, const char* Name, const QString& Text) {
        Member = new QLabel(Text, this);
        Member->setObjectName(QString::fromLatin1(Name));
        return Member;
    };
    // The two boxes keep their widths while the toolbar has room; in a narrow window they give
    // up width first, so that no control covers another.
    const auto Box = [](auto* Control, const char* Name, int Width) {
        Control->setObjectName(QString::fromLatin1(Name));
        Control->setMaximumWidth(Width);
        Control->setMinimumWidth(MinBoxWidth);
        Control->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        return Control;
    };
    cbTarget = Box(new QLineEdit(this), "cbTarget", 121);
    cbGroups = Box(new QComboBox(this), "cbGroups", 129);
    cbGroups->setEditable(false);
    TzsHint::Set(cbGroups,
                 QStringLiteral("Select a group to open and/or change the targets in the group."));
    const QString WebPageHint = QStringLiteral("Visit Zephra Software (") +
                                ZephraSoftwareWebAddress() + QStringLiteral(")");

    using L = TSharedImageLists;
    using T = TItem;
    FItems = {
        {btnHints = MakeButton("btnHints", L::HintsOn, {}), 0, T::Busy | T::Tab},
        {btnSettings = MakeButton("btnSettings", L::Configuration, QStringLiteral("Configuration")),
         0, T::Busy | T::Tab | T::Hint},
        {btnAbout = MakeButton("btnAbout", L::About, QStringLiteral("About Vantorel")), 0,
         T::Busy | T::Tab},
        {btnToggleView = MakeButton("btnToggleView", L::ToggleView, QStringLiteral("Toggle View")),
         32, T::Busy | T::Tab},
        {btnSpan = MakeButton("btnSpan", L::ChartSpan, QStringLiteral("Chart Span")), 8,
         T::Busy | T::Tab | T::Hint},
        {btnRange = MakeButton("btnRange", L::ChartRange, QStringLiteral("Chart Range")), 0,
         T::Busy | T::Tab | T::Hint},
        {btnFreq = MakeButton("btnFreq", L::PingFrequency, QStringLiteral("Ping Frequency")), 0,
         T::Busy | T::Tab | T::Hint},
        {btnTimeOutMS = MakeButton("btnTimeOutMS", L::PingTimeout, QStringLiteral("Ping Timeout")),
         0, T::Busy | T::Tab | T::Hint},
        {btnPayloadSize =
             MakeButton("btnPayloadSize", L::PayloadSize, QStringLiteral("Ping Payload Size")),
         0, T::Busy | T::Tab | T::Hint},
        {btnFriendlyNames =
             MakeButton("btnFriendlyNames", L::FriendlyNames, QStringLiteral("Friendly Name List")),
         8, T::Busy | T::Tab | T::Hint},
        {btnAlerting = MakeButton("btnAlerting", L::AlertingOff, {}), 0, T::Tab},
        {btnLogging = MakeButton("btnLogging", L::LoggingOff, {}), 0, T::Busy | T::Tab | T::Hint},
        {btnCloseAll = MakeButton("btnCloseAll", L::CloseAll, QStringLiteral("Close all monitors")),
         0, T::Busy | T::Tab | T::Hint},
        {Label(lbTarget, "lbTarget", QStringLiteral("Target")), 16, T::Busy, QColor(129, 254, 75)},
        {cbTarget, 4, T::Busy | T::Tab | T::Hint},
        {btnNewPinger = MakeButton("btnNewPinger", L::NewMonitor,
                                   QStringLiteral("Type a host name or IP address in the "
                                                  "\"Target\" box and click to start a new ping "
                                                  "monitor.")),
         4, T::Busy | T::Tab | T::Hint},
        {Label(lbGroups, "lbGroups", QStringLiteral("Groups")), 16, T::Busy, QColor(82, 252, 248)},
        {cbGroups, 4, T::Busy | T::Tab | T::Hint},
        {btnAddGroup =
             MakeButton("btnAddGroup", L::NewGroup, QStringLiteral("Create a new group.")),
         4, T::Busy | T::Tab | T::Hint},
        {btnDeleteGroup = MakeButton("btnDeleteGroup", L::DeleteGroup,
                                     QStringLiteral("Delete the displayed group.")),
         0, T::Busy | T::Tab | T::Hint},
        {Label(lbZephraSoftware, "lbZephraSoftware", QStringLiteral("Zephra Software")), T::Stretch,
         T::Hint},
        {btnZephraSoftware = MakeButton("btnZephraSoftware", L::WebPage, WebPageHint), 4,
         T::Tab | T::Hint},
    };
    btnCloseAll->hide();
    lbZephraSoftware->setStyleSheet(
        QStringLiteral("color: rgb(220,0,0); font-weight: bold; background: transparent;"));
    lbZephraSoftware->setCursor(Qt::PointingHandCursor);
    TzsHint::Set(lbZephraSoftware, WebPageHint);

    auto* Row = new QHBoxLayout(this);
    Row->setContentsMargins(4, 4, 4, 4);
    Row->setSpacing(0);
    QWidget* Previous = nullptr;
    for (const TItem& Item : FItems) {
        if (Item.SpaceBefore == T::Stretch) {
            Row->addStretch(1);
        } else if (Item.SpaceBefore > 0) {
            Row->addSpacing(Item.SpaceBefore);
        }
        // The boxes take room before the free space does, up to their own widths.
        Row->addWidget(Item.Control,
                       Item.Control == cbTarget || Item.Control == cbGroups ? 100 : 0);
        // Tab walks the toolbar from left to right; hidden buttons drop out by themselves.
        if (Item.Flags & T::Tab) {
            if (auto* Button = qobject_cast<TzsImageButton*>(Item.Control)) {
                Button->SetTabStop(true);
            }
            if (Previous) {
                setTabOrder(Previous, Item.Control);
            }
            Previous = Item.Control;
        }
    }
    BuildMenus();
    ConnectCommands();

    connect(&FCore.Hub(), &TMonitorHub::SettingsChanged, this, &TMainToolbar::ShowSettings);
    connect(&FCore, &TVantorelCore::ControlsEnabledChanged, this,
            &TMainToolbar::ShowControlsEnabled);
    connect(&FCore.Groups(), &TGroupCatalogue::NamesChanged, this, &TMainToolbar::ShowGroups);
    connect(&FCore.Groups(), &TGroupCatalogue::CurrentChanged, this, &TMainToolbar::ShowGroups);
    ShowSettings();
    ShowGroups();
    ShowControlsEnabled(FCore.ControlsEnabled());
}

TzsImageButton* TMainToolbar::MakeButton(const char* Name, int ImageIndex, const QString& Hint) {
    auto* Button = new TzsImageButton(this);
    Button->setObjectName(QString::fromLatin1(Name));
    Button->setFixedSize(24, 32);
    Button->SetMouseLeaveImageList(&FImages.ImgStandard24);
    Button->SetMouseEnterImageList(&FImages.imgHot24);
    Button->SetDisabledImageList(&FImages.ImgDisabled24);
    Button->SetImageIndex(ImageIndex);
    Button->SetCenter(true);
    TzsHint::Set(Button, Hint);
    return Button;
}

QMenu* TMainToolbar::MakeButtonMenu(TzsImageButton* Button, const char* Name,
                                    const QString& Title) {
    auto* Menu = new QMenu(this);
    Menu->setObjectName(QString::fromLatin1(Name));
    // The title shows the button's picture as it is when the menu opens: a switch's menu shows
    // the switch's current state.
    const auto Picture = [this, Button] {
        QIcon Icon;
        for (const QIcon::Mode Mode : {QIcon::Normal, QIcon::Disabled}) {
            Icon.addPixmap(FImages.ImgStandard24.Pixmap(Button->ImageIndex(), 1.0), Mode);
            Icon.addPixmap(FImages.ImgStandard24.Pixmap(Button->ImageIndex(), 2.0), Mode);
        }
        return Icon;
    };
    QAction* TitleEntry = Menu->addAction(Picture(), Title);
    TitleEntry->setEnabled(false);
    connect(Menu, &QMenu::aboutToShow, TitleEntry,
            [TitleEntry, Picture] { TitleEntry->setIcon(Picture()); });
    Menu->addSeparator();
    // A right-click on the button shows the same menu.
    Button->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Button, &QWidget::customContextMenuRequested, this,
            [Menu, Button](const QPoint& At) { Menu->popup(Button->mapToGlobal(At)); });
    return Menu;
}

void TMainToolbar::BuildMenus() {
    using TSetter = void (TMonitorHub::*)(std::int32_t);
    // A value menu of one of the settings every monitor takes: its entries are one radio group,
    // and a choice is the hub's setting (the check follows the hub).
    const auto Values = [this](TzsImageButton* Button, const char* Name, const QString& Title,
                               const std::vector<TMenuEntry>& Entries, TSetter Set) {
        QMenu* Menu = MakeButtonMenu(Button, Name, Title);
        auto* Group = new QActionGroup(Menu);
        Group->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
        for (const TMenuEntry& E : Entries) {
            QAction* Entry = Menu->addAction(QString::fromLatin1(E.Caption));
            Entry->setCheckable(true);
            Entry->setData(E.Value);
            Entry->setVisible(!E.Hidden);
            Group->addAction(Entry);
            connect(Entry, &QAction::triggered, this,
                    ShowingErrors([this, Set, Value = E.Value] { (FCore.Hub().*Set)(Value); }));
        }
        connect(Button, &TzsImageButton::clicked, this,
                ShowingErrors([this, Menu, Button] { ShowButtonMenu(Menu, Button); }));
        return Menu;
    };
    menSpan = Values(btnSpan, "menSpan", QStringLiteral("Chart Span"),
                     {{"1min", 60},
                      {"5min", 300},
                      {"10min", 600},
                      {"30min", 1800},
                      {"1hr", 3600},
                      {"2hr", 7200},
                      {"4hr", 14400},
                      {"8hr", 28800}},
                     &TMonitorHub::SetSpan);
    menRange = Values(btnRange, "menRange", QStringLiteral("Chart Range"),
                      {{"Auto", -1},
                       {"10ms", 10},
                       {"50ms", 50},
                       {"100ms", 100},
                       {"500ms", 500},
                       {"1000ms", 1000},
                       {"5000ms", 5000}},
                      &TMonitorHub::SetRange);
    menFreq = Values(
        btnFreq, "menFreq", QStringLiteral("Ping Frequency"),
        {{"1 Sec", 1000}, {"5 Sec", 5000}, {"10 Sec", 10000}, {"30 Sec", 30000}, {"1 Min", 60000}},
        &TMonitorHub::SetFrequency);
    menTimeOutMS = Values(btnTimeOutMS, "menTimeOutMS", QStringLiteral("Ping Timeout (ms)"),
                          {{"50 (ms)", 50},
                           {"100 (ms)", 100},
                           {"200 (ms)", 200},
                           {"500 (ms)", 500},
                           {"1000 (ms)", 1000},
                           {"2000 (ms)", 2000},
                           {"5000 (ms)", 5000},
                           {"10000 (ms)", 10000}},
                          &TMonitorHub::SetTimeOutMS);
    menPayloadSize = Values(btnPayloadSize, "menPayloadSize", QStringLiteral("Payload Size"),
                            {{"0 Bytes", 0},
                             {"16 Bytes", 16},
                             {"64 Bytes", 64},
                             {"256 Bytes", 256},
                             {"1 Kilobytes", 1024, true},
                             {"4 Kilobytes", 4096, true},
                             {"16 Kilobytes", 16384, true},
                             {"32 Kilobytes", 32768, true}},
                            &TMonitorHub::SetPayloadSize);

    menSettings = MakeButtonMenu(btnSettings, "menSettings", QStringLiteral("Configuration"));
    QAction* Export = menSettings->addAction(QStringLiteral("Export Configuration"));
    Export->setObjectName(QStringLiteral("ExportSettings1"));
    connect(Export, &QAction::triggered, this,
            ShowingErrors([this] { FCore.ExportConfiguration(); }));
    QAction* Import = menSettings->addAction(QStringLiteral("Import Configuration"));
    Import->setObjectName(QStringLiteral("ImportSettings1"));
    connect(Import, &QAction::triggered, this,
            ShowingErrors([this] { FCore.ImportConfiguration(); }));
    connect(btnSettings, &TzsImageButton::clicked, this,
            ShowingErrors([this] { ShowButtonMenu(menSettings, btnSettings); }));

    menAlerting = MakeButtonMenu(btnAlerting, "menAlerting", QStringLiteral("Alerting"));
    QAction* AlertSettings = menAlerting->addAction(QStringLiteral("Alert Settings..."));
    AlertSettings->setObjectName(QStringLiteral("AlertSettings1"));
    connect(AlertSettings, &QAction::triggered, this, &TMainToolbar::AlertSettingsClicked);
}

void TMainToolbar::ConnectCommands() {
    const auto OnClick = [this](TzsImageButton* Button, auto Command) {
        connect(Button, &TzsImageButton::clicked, this, ShowingErrors(std::move(Command)));
    };
    OnClick(btnHints, [this] { FCore.SetHintsEnabled(!FCore.Hub().Settings().Hints); });
    OnClick(btnLogging, [this] { FCore.ToggleLogging(); });
    OnClick(btnAlerting, [this] { FCore.ToggleAlerting(); });
    OnClick(btnToggleView, [this] { FCore.ToggleView(); });
    OnClick(btnFriendlyNames, [this] { FCore.EditFriendlyNames(); });
    OnClick(btnCloseAll, [this] { FCore.CloseAllClicked(); });
    OnClick(btnAddGroup, [this] { FCore.AddGroupClicked(); });
    OnClick(btnDeleteGroup, [this] { FCore.DeleteGroupClicked(); });
    OnClick(btnNewPinger, [this] { AddTarget(); });
    OnClick(btnAbout, [this] { emit AboutClicked(); });
    OnClick(btnZephraSoftware, [this] { emit WebPageClicked(); });
    new TClickFilter(lbZephraSoftware, [this] { emit WebPageClicked(); });
    connect(cbTarget, &QLineEdit::returnPressed, this, ShowingErrors([this] { AddTarget(); }));
    connect(cbGroups, &QComboBox::activated, this,
            ShowingErrors([this](int Index) { GroupChosen(Index); }));
}

void TMainToolbar::ShowButtonMenu(QMenu* Menu, TzsImageButton* Button) {
    // A click with the mouse shows the menu at the pointer; Enter on the focused button, with
    // the pointer elsewhere, shows it under the button.
    const QPoint Pointer = QCursor::pos();
    const QRect Place(Button->mapToGlobal(QPoint(0, 0)), Button->size());
    Menu->popup(Place.contains(Pointer) ? Pointer : Place.bottomLeft());
}

void TMainToolbar::AddTarget() {
    // The box keeps the target, selected: the next one typed replaces it, Enter repeats it.
    const QString Target = cbTarget->text();
    cbTarget->selectAll();
    FCore.AddTarget(Target);
}

// The box's selection is the person's choice, read as input; what is open the core decides,
// and the box shows it again afterwards (also when the opening failed).
void TMainToolbar::GroupChosen(int Index) {
    const QString Chosen = FCore.Groups().Names().value(Index);
    try {
        FCore.SelectGroup(Chosen);
    } catch (...) {
        ShowGroups();
        throw;
    }
    ShowGroups();
}

void TMainToolbar::ShowGroups() {
    const TGroupCatalogue& Groups = FCore.Groups();
    const QSignalBlocker Quiet(cbGroups);
    cbGroups->clear();
    cbGroups->addItems(Groups.Names());
    // Nothing is selected while no group of the box is open.
    cbGroups->setCurrentIndex(int(Groups.Names().indexOf(Groups.Current())));
}

void TMainToolbar::ShowSettings() {
    const TMonitorSettings& S = FCore.Hub().Settings();
    for (const auto& [Menu, Value] :
         {std::pair{menSpan, S.Span}, std::pair{menRange, S.Range}, std::pair{menFreq, S.Frequency},
          std::pair{menTimeOutMS, S.TimeOutMS}, std::pair{menPayloadSize, S.PayloadSize}}) {
        for (QAction* Entry : Menu->actions()) {
            if (Entry->isCheckable() && Entry->data().toInt() == Value) {
                Entry->setChecked(true);
            }
        }
    }
    using L = TSharedImageLists;
    const auto Switch = [](TzsImageButton* Button, bool On, int OnImage, int OffImage,
                           const char* What) {
        Button->SetImageIndex(On ? OnImage : OffImage);
        TzsHint::Set(Button, QString::fromLatin1(What) +
                                 (On ? QStringLiteral(" enabled.\r\nClick to turn off.")
                                     : QStringLiteral(" disabled.\r\nClick to turn on.")));
    };
    Switch(btnLogging, S.Logging, L::LoggingOn, L::LoggingOff, "Data logging is");
    Switch(btnAlerting, S.Alerting, L::AlertingOn, L::AlertingOff, "Alerting is");
    Switch(btnHints, S.Hints, L::HintsOn, L::HintsOff, "Hints are");
    if (std::exchange(FShownHints, int(S.Hints)) == int(S.Hints)) {
        return;
    }
    for (const TItem& Item : FItems) {
        if (Item.Flags & TItem::Hint) {
            TzsHint::SetShow(Item.Control, S.Hints);
        }
    }
}

void TMainToolbar::ShowControlsEnabled(bool Enabled) {
    const QColor Grey(160, 160, 164);
    const auto Paint = [](QWidget* W, QPalette::ColorRole Role, QColor C) {
        QPalette P = W->palette();
        P.setColor(Role, C);
        W->setPalette(P);
    };
    const QColor BoxColour = Enabled ? QApplication::palette().color(QPalette::Base) : Grey;
    for (const TItem& Item : FItems) {
        if (!(Item.Flags & TItem::Busy)) {
            continue;
        }
        if (auto* Button = qobject_cast<TzsImageButton*>(Item.Control)) {
            Button->SetDisabled(!Enabled);
        } else if (qobject_cast<QLabel*>(Item.Control)) {
            Paint(Item.Control, QPalette::WindowText, Enabled ? Item.Colour : Grey);
        } else {
            Item.Control->setEnabled(Enabled);
            Paint(Item.Control, QPalette::Base, BoxColour);
            if (qobject_cast<QComboBox*>(Item.Control)) {
                Paint(Item.Control, QPalette::Button, BoxColour);
            }
        }
    }
    // Disabled, the Target box gave the focus away to a control that stays enabled (the web-page
    // button, where Enter would open the maker's page): it gets it back.
    if (Enabled) {
        QWidget* Focus = window()->focusWidget();
        const bool Astray =
            !Focus || std::any_of(FItems.begin(), FItems.end(), [Focus](const TItem& Item) {
                return Item.Control == Focus && !(Item.Flags & TItem::Busy);
            });
        if (Astray && cbTarget->isVisibleTo(window())) {
            cbTarget->setFocus(Qt::OtherFocusReason);
        }
    }
}

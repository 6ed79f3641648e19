// The main window's layout and life cycle.
#include "uFrmMain.h"

#include "ZRegistry.h"
#include "uAlertCenter.h"
#include "uAlertTray.h"
#include "uFrmFriendlyNames.h"
#include "uFrmNewGroup.h"
#include "uFrmPinger.h"
#include "uMonitorListModel.h"
#include "uStartup.h"
#include "uZephraTools.h"
#include "zsFileVer.h"
#include "zsHint.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"
#include "zsSystemFolders.h"
#include "zsWorkerThread.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

namespace {

// The credit after the version in the window caption.
const QString CaptionCredit = QStringLiteral("Network monitor for Linux");

QPixmap SizeGripPicture() {
    QPixmap Picture(16, 16);
    Picture.fill(Qt::transparent);
    QPainter P(&Picture);
    for (int Row = 0; Row < 3; ++Row) {
        for (int Col = 2 - Row; Col < 3; ++Col) {
            P.fillRect(5 + Col * 4, 5 + Row * 4, 2, 2, QColor(150, 150, 150));
        }
    }
    return Picture;
}

} // namespace

TResizePanel::TResizePanel(QWidget* Parent) : QWidget(Parent) {}

void TResizePanel::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (OnResize) {
        OnResize();
    }
}

QPoint TfrmMain::CentredPlace(QSize Window, const QRect& Area) {
    return {Area.x() + std::max(0, (Area.width() - Window.width()) / 2),
            Area.y() + std::max(0, (Area.height() - Window.height()) / 2)};
}

TfrmMain::TfrmMain(TVantorelCore& Core, QWidget* Parent)
    : QWidget(Parent), FFrame(this), FCore(&Core) {
    Init();
}

TfrmMain::TfrmMain(TRegistryStore* Registry, QWidget* Parent)
    : QWidget(Parent), FFrame(this), FOwnCore(std::make_unique<TVantorelCore>(Registry)),
      FCore(FOwnCore.get()) {
    Init();
}

void TfrmMain::Init() {
    setObjectName(QStringLiteral("frmMain"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral("#frmMain { background: rgb(24,24,24); }"));
    setWindowIcon(QIcon(QPixmap::fromImage(VantorelIconImage(64))));
    setMinimumSize(MinWidth, MinHeight);
    resize(DesignWidth, DesignHeight);
    if (!parentWidget()) {
        if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
            move(CentredPlace(size(), Screen->availableGeometry()));
        }
    }
    TBorderlessFrame::SetMainWindow(this);

    BuildHeader();
    BuildToolbar();
    BuildBody();
    BuildBottom();
    BuildAlerts();
    // The controls not named where they are made are named as their members, so that tests
    // can find them.
    for (const auto& [Object, Name] : std::initializer_list<std::pair<QObject*, const char*>>{
             {pnlIcon, "pnlIcon"},
             {zsImageButton1, "zsImageButton1"},
             {lbHeader, "lbHeader"},
             {btnClose, "btnClose"},
             {btnMaximize, "btnMaximize"},
             {btnRestore, "btnRestore"},
             {btnMinimize, "btnMinimize"},
             {menSpan, "menSpan"},
             {menRange, "menRange"},
             {menFreq, "menFreq"},
             {menTimeOutMS, "menTimeOutMS"},
             {menPayloadSize, "menPayloadSize"},
             {menSettings, "menSettings"},
             {menAlerting, "menAlerting"},
             {AlertSettings1, "AlertSettings1"},
             {ExportSettings1, "ExportSettings1"},
             {ImportSettings1, "ImportSettings1"},
             {PanelBody, "PanelBody"},
             {ProgressBar, "ProgressBar"},
             {imgSizeGrip, "imgSizeGrip"}}) {
        Object->setObjectName(QString::fromLatin1(Name));
    }
    TzsHint::ApplyApplicationStyle();
    TMonitorHub* Hub = &FCore->Hub();
    connect(Hub, &TMonitorHub::MonitorAdded, this, &TfrmMain::MonitorAdded);
    connect(Hub, &TMonitorHub::MonitorRemoved, this, &TfrmMain::MonitorRemoved);
    connect(Hub, &TMonitorHub::MainPanelChanged, this, [this] {
        ArrangeMonitors();
        SelectMainPanelRow();
    });
    connect(Hub, &TMonitorHub::SettingsChanged, this, &TfrmMain::ShowSettings);
    // Bulk work lays out once per slice instead of once per monitor.
    connect(Hub, &TMonitorHub::BusyChanged, this, [this](bool Busy) { HoldLayout(Busy); });
    connect(FCore, &TVantorelCore::SliceEnded, this, [this](TMonitorHub::TWork Work) {
        if (Work == TMonitorHub::TWork::Loading) {
            HoldLayout(false);
            HoldLayout(true);
        }
    });
    connect(FCore, &TVantorelCore::ProgressBegin, this, &TfrmMain::ShowProgressBegin);
    connect(FCore, &TVantorelCore::ProgressStep, ProgressBar, &QProgressBar::setValue);
    connect(FCore, &TVantorelCore::ProgressEnd, ProgressBar, &QWidget::hide);
    connect(FCore, &TVantorelCore::ControlsEnabledChanged, this, &TfrmMain::ShowControlsEnabled);
    connect(FCore, &TVantorelCore::ListViewChanged, this, &TfrmMain::ShowListView);
    connect(&FCore->Groups(), &TGroupCatalogue::NamesChanged, this, &TfrmMain::ShowGroups);
    connect(&FCore->Groups(), &TGroupCatalogue::CurrentChanged, this, &TfrmMain::ShowGroups);
    connect(FCore, &TVantorelCore::Closed, this, &TfrmMain::CoreClosed);
    FCore->SetPrompter(this);
    ShowSettings();
    if (FCore->ListView()) {
        ShowListView(true);
    }
    ShowGroups();

    // The caption comes first, so that a window whose set-up fails still has its title.
    try {
        const QString Caption = QStringLiteral("Vantorel : ") +
                                GetFileVersionText(QStringLiteral("/proc/self/exe")) +
                                QStringLiteral(" - ") + CaptionCredit;
        setWindowTitle(Caption);
        lbHeader->setText(Caption);
    } catch (const std::exception& E) {
        ShowException(E);
        EnableControls(false);
        EnableWindowButtons();
        return;
    }
    FFrame.FHeaderDrag.Clear();
    FFrame.FGripDrag.Clear();
    if (!FCore->Created() && !FCore->Create()) {
        // The window stays without its controls and keeps its frame's buttons, so that it can
        // be closed.
        EnableWindowButtons();
    }
    ShowControlsEnabled(FCore->ControlsEnabled());
}

TfrmMain::~TfrmMain() {
    // The monitor windows let their sessions go before the core stops the monitors.
    FCore->disconnect(this);
    FCore->Hub().disconnect(this);
    FCore->Groups().disconnect(this);
    FCore->SetPrompter(nullptr);
    for (TfrmPinger* Mon : std::as_const(FViews)) {
        Mon->Detach();
    }
    FViews.clear();
    FTray.reset();
    FOwnCore.reset();
}

void TfrmMain::SetDialogs(TFrmFriendlyNames* FriendlyNames, TfrmNewGroup* NewGroup) {
    FFriendlyNames = FriendlyNames;
    FNewGroup = NewGroup;
    if (FFriendlyNames) {
        FFriendlyNames->OnZephraSoftwareClick = [this] { btnZephraSoftwareClick(); };
    }
    if (FNewGroup) {
        FNewGroup->SetGroupNamesSource([this] { return FCore->Groups().Names(); });
    }
}

TzsImageButton* TfrmMain::MakeToolButton(int ImageIndex, const QString& Hint) {
    auto* Button = new TzsImageButton(PanelToolbar);
    Button->setFixedSize(24, 32);
    Button->SetMouseLeaveImageList(&FImages.ImgStandard24);
    Button->SetMouseEnterImageList(&FImages.imgHot24);
    Button->SetDisabledImageList(&FImages.ImgDisabled24);
    Button->SetImageIndex(ImageIndex);
    Button->SetCenter(true);
    TzsHint::Set(Button, Hint);
    return Button;
}

void TfrmMain::BuildHeader() {
    PanelHeader = new QWidget(this);
    PanelHeader->setObjectName(QStringLiteral("PanelHeader"));
    PanelHeader->setAttribute(Qt::WA_StyledBackground);
    PanelHeader->setStyleSheet(QStringLiteral(
        "#PanelHeader { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
        "stop:0 rgb(58,58,58), stop:1 rgb(32,32,32)); border-bottom: 1px solid rgb(20,20,20); }"));
    PanelHeader->setFixedHeight(HeaderHeight);
    auto* Row = new QHBoxLayout(PanelHeader);
    Row->setContentsMargins(0, 0, 0, 0);
    Row->setSpacing(0);

    pnlIcon = new QWidget(PanelHeader);
    pnlIcon->setFixedSize(32, 28);
    zsImageButton1 = new TzsImageButton(pnlIcon);
    zsImageButton1->setGeometry(8, 6, 16, 16);
    zsImageButton1->SetDisabledImageList(&FImages.ImgWindows16Dis);
    zsImageButton1->SetImageIndex(TSharedImageLists::WindowIcon);
    zsImageButton1->SetDisabled(true);
    Row->addWidget(pnlIcon);

    lbHeader = new QLabel(PanelHeader);
    lbHeader->setStyleSheet(QStringLiteral(
        "color: white; font-weight: bold; font-size: 12px; background: transparent;"));
    Row->addWidget(lbHeader, 1);

    const auto WindowButton = [this, Row](int Index) {
        auto* Panel = new QWidget(PanelHeader);
        Panel->setFixedSize(28, 34);
        auto* Button = new TzsImageButton(Panel);
        Button->setGeometry(2, 2, 24, 30);
        Button->SetMouseLeaveImageList(&FImages.ImgWindows16);
        Button->SetMouseEnterImageList(&FImages.ImageWindows16Hot);
        Button->SetDisabledImageList(&FImages.ImgWindows16Dis);
        Button->SetImageIndex(Index);
        Button->SetCenter(true);
        Row->addWidget(Panel);
        return Button;
    };
    btnMinimize = WindowButton(TSharedImageLists::WinMinimize);
    btnMaximize = WindowButton(TSharedImageLists::WinMaximize);
    // The restore button shares the maximise button's place.
    btnRestore = new TzsImageButton(btnMaximize->parentWidget());
    btnRestore->setGeometry(btnMaximize->geometry());
    btnRestore->SetMouseLeaveImageList(&FImages.ImgWindows16);
    btnRestore->SetMouseEnterImageList(&FImages.ImageWindows16Hot);
    btnRestore->SetDisabledImageList(&FImages.ImgWindows16Dis);
    btnRestore->SetImageIndex(TSharedImageLists::WinRestore);
    btnRestore->SetCenter(true);
    btnRestore->hide();
    btnClose = WindowButton(TSharedImageLists::WinClose);

    FFrame.AddDragPart(PanelHeader);
    FFrame.AddDragPart(lbHeader);
    FFrame.AddDragPart(pnlIcon);
    FFrame.SetMaximizeButtons(btnMaximize, btnRestore);
    FFrame.SetDoubleClick([] { return true; });
    connect(btnClose, &TzsImageButton::clicked, this, &QWidget::close);
    connect(btnMaximize, &TzsImageButton::clicked, &FFrame, &TBorderlessFrame::btnMaximizeClick);
    connect(btnRestore, &TzsImageButton::clicked, &FFrame, &TBorderlessFrame::btnRestoreClick);
    connect(btnMinimize, &TzsImageButton::clicked, &FFrame, &TBorderlessFrame::btnMinimizeClick);
}

void TfrmMain::BuildToolbar() {
    PanelToolbar = new QWidget(this);
    PanelToolbar->setObjectName(QStringLiteral("PanelToolbar"));
    PanelToolbar->setAttribute(Qt::WA_StyledBackground);
    PanelToolbar->setStyleSheet(QStringLiteral(
        "#PanelToolbar { background: rgb(40,40,40); border-bottom: 1px solid rgb(20,20,20); }"
        "QLabel { background: transparent; }"
        "QLineEdit, QComboBox { color: black; }"));
    PanelToolbar->setFixedHeight(ToolbarHeight);
    auto* Row = new QHBoxLayout(PanelToolbar);
    Row->setContentsMargins(4, 4, 4, 4);
    Row->setSpacing(0);

    using L = TSharedImageLists;
    const auto Button = [this](TzsImageButton*& Member, const char* Name, int Image,
                               const QString& Hint) {
        Member = MakeToolButton(Image, Hint);
        Member->setObjectName(QString::fromLatin1(Name));
        return Member;
    };
    const auto Label = [this](QLabel*& Member, const char* Name, const QString& Text) {
        Member = new QLabel(Text, PanelToolbar);
        Member->setObjectName(QString::fromLatin1(Name));
        return Member;
    };
    cbTarget = new QLineEdit(PanelToolbar);
    cbTarget->setObjectName(QStringLiteral("cbTarget"));
    // The two boxes keep their widths while the toolbar has room; in a narrow window they give
    // up width first, so that no control covers another.
    cbTarget->setMaximumWidth(121);
    cbTarget->setMinimumWidth(MinBoxWidth);
    cbTarget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    cbGroups = new QComboBox(PanelToolbar);
    cbGroups->setObjectName(QStringLiteral("cbGroups"));
    cbGroups->setMaximumWidth(129);
    cbGroups->setMinimumWidth(MinBoxWidth);
    cbGroups->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    cbGroups->setEditable(false);
    TzsHint::Set(cbGroups,
                 QStringLiteral("Select a group to open and/or change the targets in the group."));
    const QString WebPageHint = QStringLiteral("Visit Zephra Software (") +
                                ZephraSoftwareWebAddress() + QStringLiteral(")");

    // The toolbar from left to right. Every control is declared here once; the layout, the tab
    // walk, EnableControls and the hints switch read this table.
    using T = TToolbarItem;
    FToolbar = {
        {Button(btnHints, "btnHints", L::HintsOn, {}), 0, T::Busy | T::Tab},
        {Button(btnSettings, "btnSettings", L::Configuration, QStringLiteral("Configuration")), 0,
         T::Busy | T::Tab | T::Hint},
        {Button(btnAbout, "btnAbout", L::About, QStringLiteral("About Vantorel")), 0,
         T::Busy | T::Tab},
        {Button(btnToggleView, "btnToggleView", L::ToggleView, QStringLiteral("Toggle View")), 32,
         T::Busy | T::Tab},
        {Button(btnSpan, "btnSpan", L::ChartSpan, QStringLiteral("Chart Span")), 8,
         T::Busy | T::Tab | T::Hint},
        {Button(btnRange, "btnRange", L::ChartRange, QStringLiteral("Chart Range")), 0,
         T::Busy | T::Tab | T::Hint},
        {Button(btnFreq, "btnFreq", L::PingFrequency, QStringLiteral("Ping Frequency")), 0,
         T::Busy | T::Tab | T::Hint},
        {Button(btnTimeOutMS, "btnTimeOutMS", L::PingTimeout, QStringLiteral("Ping Timeout")), 0,
         T::Busy | T::Tab | T::Hint},
        {Button(btnPayloadSize, "btnPayloadSize", L::PayloadSize,
                QStringLiteral("Ping Payload Size")),
         0, T::Busy | T::Tab | T::Hint},
        {Button(btnFriendlyNames, "btnFriendlyNames", L::FriendlyNames,
                QStringLiteral("Friendly Name List")),
         8, T::Busy | T::Tab | T::Hint},
        {Button(btnAlerting, "btnAlerting", L::AlertingOff, {}), 0, T::Tab},
        {Button(btnLogging, "btnLogging", L::LoggingOff, {}), 0, T::Busy | T::Tab | T::Hint},
        {Button(btnCloseAll, "btnCloseAll", L::CloseAll, QStringLiteral("Close all monitors")), 0,
         T::Busy | T::Tab | T::Hint},
        {Label(lbTarget, "lbTarget", QStringLiteral("Target")), 16, T::Busy, QColor(129, 254, 75)},
        {cbTarget, 4, T::Busy | T::Tab | T::Hint},
        {Button(btnNewPinger, "btnNewPinger", L::NewMonitor,
                QStringLiteral("Type a host name or IP address in the \"Target\" box and "
                               "click to start a new ping monitor.")),
         4, T::Busy | T::Tab | T::Hint},
        {Label(lbGroups, "lbGroups", QStringLiteral("Groups")), 16, T::Busy, QColor(82, 252, 248)},
        {cbGroups, 4, T::Busy | T::Tab | T::Hint},
        {Button(btnAddGroup, "btnAddGroup", L::NewGroup, QStringLiteral("Create a new group.")), 4,
         T::Busy | T::Tab | T::Hint},
        {Button(btnDeleteGroup, "btnDeleteGroup", L::DeleteGroup,
                QStringLiteral("Delete the displayed group.")),
         0, T::Busy | T::Tab | T::Hint},
        {Label(lbZephraSoftware, "lbZephraSoftware", QStringLiteral("Zephra Software")), T::Stretch,
         T::Hint},
        {Button(btnZephraSoftware, "btnZephraSoftware", L::WebPage, WebPageHint), 4,
         T::Tab | T::Hint},
    };
    btnCloseAll->hide();
    lbZephraSoftware->setStyleSheet(
        QStringLiteral("color: rgb(220,0,0); font-weight: bold; background: transparent;"));
    TzsHint::Set(lbZephraSoftware, WebPageHint);

    for (const TToolbarItem& Item : FToolbar) {
        if (Item.SpaceBefore == T::Stretch) {
            Row->addStretch(1);
        } else if (Item.SpaceBefore > 0) {
            Row->addSpacing(Item.SpaceBefore);
        }
        // The boxes take room before the free space does, up to their own widths.
        Row->addWidget(Item.Control,
                       Item.Control == cbTarget || Item.Control == cbGroups ? 100 : 0);
    }

    connect(btnNewPinger, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnNewPingerClick(); }));
    connect(cbTarget, &QLineEdit::returnPressed, this,
            ShowingErrors([this] { btnNewPingerClick(); }));
    connect(btnCloseAll, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnCloseAllClick(); }));
    connect(btnToggleView, &TzsImageButton::clicked, this, ShowingErrors([this] { ToggleView(); }));
    connect(btnAddGroup, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnAddGroupClick(); }));
    connect(btnDeleteGroup, &TzsImageButton::clicked, this,
            ShowingErrors([this] { btnDeleteGroupClick(); }));
    connect(cbGroups, &QComboBox::activated, this, ShowingErrors([this] { cbGroupsSelect(); }));
    BuildSettingsMenus();
}

void TfrmMain::BuildBody() {
    PanelBody = new TResizePanel(this);
    PanelBody->OnResize = [this] { LayoutBody(); };

    PanelList = new QWidget(PanelBody);
    PanelList->setObjectName(QStringLiteral("PanelList"));
    PanelList->setAttribute(Qt::WA_StyledBackground);
    PanelList->setStyleSheet(QStringLiteral("#PanelList { background: rgb(41,41,41); }"));
    auto* ListBox = new QHBoxLayout(PanelList);
    ListBox->setContentsMargins(3, 3, 3, 3);
    FListModel = new TMonitorListModel(this);
    FListModel->Watch(FCore->Hub());
    lvPingers = new QTreeView(PanelList);
    lvPingers->setObjectName(QStringLiteral("lvPingers"));
    lvPingers->setModel(FListModel);
    lvPingers->setRootIsDecorated(false);
    lvPingers->setItemsExpandable(false);
    lvPingers->setUniformRowHeights(true);
    lvPingers->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvPingers->setSelectionMode(QAbstractItemView::SingleSelection);
    lvPingers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvPingers->setFrameShape(QFrame::NoFrame);
    lvPingers->setSortingEnabled(false);
    lvPingers->setFont(GraphFont());
    lvPingers->setStyleSheet(QStringLiteral(
        "QTreeView { background: rgb(40,40,40); color: white; border: 0px; }"
        "QTreeView::item:selected, QTreeView::item:selected:!active { background: rgb(0,90,160); "
        "color: white; }"
        // The header's own background fills the area right of the last column.
        "QHeaderView { background: rgb(56,56,56); border: 0px; }"
        "QHeaderView::section { background: rgb(56,56,56); color: white; border: 0px; "
        "border-right: 1px solid rgb(30,30,30); padding: 2px 2px; }"
        "QScrollBar { background: rgb(48,48,48); }"));
    QHeaderView* Header = lvPingers->header();
    Header->setFont(GraphFont());
    Header->setSectionsClickable(true);
    Header->setSectionsMovable(false);
    Header->setStretchLastSection(false);
    // The header shows the list's sort column and direction; the list sorts itself, so the
    // indicator only follows it.
    Header->setSortIndicatorShown(true);
    ShowSortIndicator();
    for (int C = 0; C < MonitorListColumnCount; ++C) {
        lvPingers->setColumnWidth(C, TMonitorListModel::ColumnWidth(C));
    }
    ListBox->addWidget(lvPingers);
    connect(Header, &QHeaderView::sectionClicked, this,
            ShowingErrors([this](int Column) { lvPingersColumnClick(Column); }));
    lvPingers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvPingers, &QWidget::customContextMenuRequested, this,
            ShowingErrors([this](const QPoint& At) {
                const QModelIndex Row = lvPingers->indexAt(At);
                if (TfrmPinger* Monitor =
                        Row.isValid() ? ViewOf(FListModel->MonitorAt(Row.row())) : nullptr) {
                    ShowMonitorMenu(Monitor, lvPingers->viewport()->mapToGlobal(At));
                }
            }));
    connect(lvPingers->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            ShowingErrors([this] {
                const QModelIndexList Rows = lvPingers->selectionModel()->selectedRows();
                lvPingersSelectItem(
                    Rows.isEmpty() ? nullptr : ViewOf(FListModel->MonitorAt(Rows.first().row())));
            }));
    PanelList->hide();

    Splitter = new QWidget(PanelBody);
    Splitter->setObjectName(QStringLiteral("Splitter"));
    Splitter->setAttribute(Qt::WA_StyledBackground);
    Splitter->setStyleSheet(QStringLiteral("#Splitter { background: rgb(68,68,68); }"));
    Splitter->setCursor(Qt::SplitHCursor);
    Splitter->installEventFilter(this);

    PanelRight = new TResizePanel(PanelBody);
    PanelRight->setObjectName(QStringLiteral("PanelRight"));
    PanelRight->setAttribute(Qt::WA_StyledBackground);
    PanelRight->setStyleSheet(QStringLiteral("#PanelRight { background: rgb(24,24,24); }"));
    PanelRight->OnResize = [this] { ArrangeMonitors(); };

    PanelLeft = new TResizePanel(PanelBody);
    PanelLeft->setObjectName(QStringLiteral("PanelLeft"));
    PanelLeft->setAttribute(Qt::WA_StyledBackground);
    PanelLeft->setStyleSheet(QStringLiteral("#PanelLeft { background: rgb(24,24,24); }"));
    PanelLeft->OnResize = [this] { FitMainPanelMonitor(); };
}

void TfrmMain::BuildBottom() {
    PanelBottom = new QWidget(this);
    PanelBottom->setObjectName(QStringLiteral("PanelBottom"));
    PanelBottom->setAttribute(Qt::WA_StyledBackground);
    PanelBottom->setStyleSheet(QStringLiteral("#PanelBottom { background: rgb(40,40,40); }"));
    PanelBottom->setFixedHeight(BottomHeight);
    auto* Row = new QHBoxLayout(PanelBottom);
    Row->setContentsMargins(0, 0, 0, 0);
    Row->setSpacing(0);
    ProgressBar = new QProgressBar(PanelBottom);
    ProgressBar->setTextVisible(true);
    ProgressBar->setAlignment(Qt::AlignCenter);
    ProgressBar->hide();
    Row->addWidget(ProgressBar, 1);
    imgSizeGrip = new QLabel(PanelBottom);
    imgSizeGrip->setFixedSize(16, 16);
    imgSizeGrip->setPixmap(SizeGripPicture());
    imgSizeGrip->setCursor(Qt::SizeFDiagCursor);
    Row->addWidget(imgSizeGrip, 0, Qt::AlignRight | Qt::AlignBottom);
    FFrame.SetSizeGrip(imgSizeGrip);
    FFrame.OnGripReleased = [this] { ArrangeMonitors(); };

    auto* Column = new QVBoxLayout(this);
    Column->setContentsMargins(0, 0, 0, 0);
    Column->setSpacing(0);
    Column->addWidget(PanelHeader);
    Column->addWidget(PanelToolbar);
    Column->addWidget(PanelBody, 1);
    Column->addWidget(PanelBottom);
}

void TfrmMain::LayoutBody() {
    const int Height = PanelBody->height();
    const int Width = PanelBody->width();
    int X = 0;
    if (FCore->ListView()) {
        const int ListWidth = std::min(FListWidth, std::max(0, Width - SplitterWidth));
        PanelList->setGeometry(X, 0, ListWidth, Height);
        X += ListWidth;
    }
    if (Splitter->isVisibleTo(PanelBody)) {
        Splitter->setGeometry(X, 0, SplitterWidth, Height);
        X += SplitterWidth;
    }
    if (PanelRight->isVisibleTo(PanelBody)) {
        PanelRight->setGeometry(X, 0, PanelRight->width(), Height);
        X += PanelRight->width();
    }
    PanelLeft->setGeometry(X, 0, std::max(0, Width - X), Height);
    ShowTilesInView();
}

void TfrmMain::SplitterMoved(int ListWidth) {
    // The list keeps a little width: the splitter never snaps it shut.
    FListWidth = std::clamp(ListWidth, 30, std::max(30, PanelBody->width() - SplitterWidth));
    LayoutBody();
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == Splitter && FCore->ListView()) {
        if (Event->type() == QEvent::MouseMove) {
            auto* Mouse = static_cast<QMouseEvent*>(Event);
            if (Mouse->buttons() & Qt::LeftButton) {
                SplitterMoved(PanelBody->mapFromGlobal(Mouse->globalPosition().toPoint()).x() -
                              SplitterWidth / 2);
                return true;
            }
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfrmMain::ShowProgress(const QString& Caption, int Maximum, int Position, QColor Bar) {
    ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { background: rgb(30,30,30); color: white; border: 0px; "
                       "text-align: center; }"
                       "QProgressBar::chunk { background: %1; }")
            .arg(Bar.name()));
    ProgressBar->setFormat(Caption);
    ProgressBar->setRange(0, std::max(0, Maximum));
    ProgressBar->setValue(Position);
    ProgressBar->show();
}

void TfrmMain::HandlePendingMessages() {
    QCoreApplication::processEvents();
}

void TfrmMain::ShowControlsEnabled(bool Enabled) {
    for (TzsImageButton* Button : WindowButtons()) {
        Button->SetDisabled(!Enabled);
    }
    const QColor Grey(160, 160, 164);
    const auto Paint = [](QWidget* W, QPalette::ColorRole Role, QColor C) {
        QPalette P = W->palette();
        P.setColor(Role, C);
        W->setPalette(P);
    };
    const QColor Box = Enabled ? QApplication::palette().color(QPalette::Base) : Grey;
    for (const TToolbarItem& Item : FToolbar) {
        if (!(Item.Flags & TToolbarItem::Busy)) {
            continue;
        }
        if (auto* Button = qobject_cast<TzsImageButton*>(Item.Control)) {
            Button->SetDisabled(!Enabled);
        } else if (qobject_cast<QLabel*>(Item.Control)) {
            Paint(Item.Control, QPalette::WindowText, Enabled ? Item.Colour : Grey);
        } else {
            Item.Control->setEnabled(Enabled);
            Paint(Item.Control, QPalette::Base, Box);
            if (qobject_cast<QComboBox*>(Item.Control)) {
                Paint(Item.Control, QPalette::Button, Box);
            }
        }
    }
    // Disabled, the Target box gave the focus away to a control that stays enabled (the web-page
    // button, where Enter would open the maker's page): it gets it back.
    if (Enabled) {
        QWidget* Focus = focusWidget();
        const bool Astray =
            !Focus ||
            std::any_of(FToolbar.begin(), FToolbar.end(), [Focus](const TToolbarItem& Item) {
                return Item.Control == Focus && !(Item.Flags & TToolbarItem::Busy);
            });
        if (Astray && cbTarget->isVisibleTo(this)) {
            cbTarget->setFocus(Qt::OtherFocusReason);
        }
    }
    HandlePendingMessages();
}

std::array<TzsImageButton*, 4> TfrmMain::WindowButtons() const {
    return {btnClose, btnMaximize, btnMinimize, btnRestore};
}

void TfrmMain::EnableWindowButtons() {
    for (TzsImageButton* Button : WindowButtons()) {
        Button->SetDisabled(false);
    }
}

// --- life cycle ------------------------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    LayoutBody();
}

void TfrmMain::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::ActivationChange && isActiveWindow()) {
        FormActivate();
    }
}

void TfrmMain::FormActivate() {
    if (!FCore->Activate()) {
        // The carry-over failed: no group opens in this run, and the controls stay disabled but
        // for the frame's buttons.
        EnableWindowButtons();
    }
}

// A close the core did on its own (deferred past bulk work, or asked by a signal) closes the
// window too.
void TfrmMain::CoreClosed() {
    if (FClosing || !isVisible()) {
        return;
    }
    FCoreClosed = true;
    close();
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
    // The core saves and closes every monitor, then tells Closed; while bulk work runs it waits
    // for its end and the window stays meanwhile.
    if (!std::exchange(FCoreClosed, false)) {
        FClosing = true;
        const bool Closed = FCore->RequestClose();
        FClosing = false;
        if (!Closed) {
            Event->ignore();
            return;
        }
    }
    QWidget::closeEvent(Event);
}

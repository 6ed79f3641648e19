// The main window's layout and life cycle.
#include "uFrmMain.h"

#include "About.h"
#include "ZRegistry.h"
#include "uAlertCenter.h"
#include "uAlertTray.h"
#include "uFrmAlerts.h"
#include "uFrmFriendlyNames.h"
#include "uFrmNewGroup.h"
#include "uFrmPinger.h"
#include "uMainToolbar.h"
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
#include <QScrollBar>
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
    PanelToolbar = new TMainToolbar(*FCore, FImages, this);
    connect(PanelToolbar, &TMainToolbar::AboutClicked, this, [this] {
        if (FAbout) {
            FAbout->ShowAbout();
        }
    });
    connect(PanelToolbar, &TMainToolbar::WebPageClicked, this,
            [] { OpenWebAddress(ZephraSoftwareWebAddress()); });
    connect(PanelToolbar, &TMainToolbar::AlertSettingsClicked, this,
            ShowingErrors([this] { ShowAlertSettings(); }));
    BuildBody();
    BuildBottom();
    BuildTray();
    // The controls not named where they are made are named as their members, so that tests
    // can find them.
    for (const auto& [Object, Name] :
         std::initializer_list<std::pair<QObject*, const char*>>{{pnlIcon, "pnlIcon"},
                                                                 {zsImageButton1, "zsImageButton1"},
                                                                 {lbHeader, "lbHeader"},
                                                                 {btnClose, "btnClose"},
                                                                 {btnMaximize, "btnMaximize"},
                                                                 {btnRestore, "btnRestore"},
                                                                 {btnMinimize, "btnMinimize"},
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
    connect(Hub, &TMonitorHub::SettingsChanged, this, &TfrmMain::ShowHints);
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
    connect(FCore, &TVantorelCore::Closed, this, &TfrmMain::CoreClosed);
    FCore->SetPrompter(this);
    ShowHints();
    if (FCore->ListView()) {
        ShowListView(true);
    }

    // The caption comes first, so that a window whose set-up fails still has its title.
    try {
        const QString Caption = QStringLiteral("Vantorel : ") +
                                GetFileVersionText(QStringLiteral("/proc/self/exe")) +
                                QStringLiteral(" - ") + CaptionCredit;
        setWindowTitle(Caption);
        lbHeader->setText(Caption);
    } catch (const std::exception& E) {
        ShowException(E);
        FCore->EnableControls(false);
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
        FFriendlyNames->OnZephraSoftwareClick = [] { OpenWebAddress(ZephraSoftwareWebAddress()); };
    }
    if (FNewGroup) {
        FNewGroup->SetGroupNamesSource([this] { return FCore->Groups().Names(); });
    }
}

void TfrmMain::SetAboutWindow(TfrmAbout* About) {
    FAbout = About;
}

// The tray icon of the worst alert state: a click or its Show brings the window forward, its
// Quit closes the window as the close button does (the open group is saved).
void TfrmMain::BuildTray() {
    FTray = std::make_unique<TAlertTray>(&FCore->Alerts());
    connect(FTray.get(), &TAlertTray::ShowRequested, this, [this] {
        if (isMinimized()) {
            setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        }
        show();
        raise();
        activateWindow();
    });
    connect(FTray.get(), &TAlertTray::QuitRequested, this, &QWidget::close);
}

int TfrmMain::RunModal(QDialog& Dialog) {
    return FModalRunner ? FModalRunner(Dialog) : Dialog.exec();
}

void TfrmMain::ShowAlertSettings() {
    TfrmAlerts Dialog(&FImages, this);
    Dialog.SetSettings(FCore->Alerts().Settings());
    if (RunModal(Dialog) == QDialog::Accepted) {
        FCore->SetAlertSettings(Dialog.Settings());
    }
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
    connect(Header, &QHeaderView::sectionClicked, this, ShowingErrors([this](int Column) {
                FListModel->ColumnClick(Column);
                ShowSortIndicator();
            }));
    lvPingers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvPingers, &QWidget::customContextMenuRequested, this,
            ShowingErrors([this](const QPoint& At) {
                const QModelIndex Row = lvPingers->indexAt(At);
                if (TPingerSession* Monitor =
                        Row.isValid() ? FListModel->MonitorAt(Row.row()) : nullptr) {
                    ShowMonitorMenu(Monitor, lvPingers->viewport()->mapToGlobal(At));
                }
            }));
    connect(lvPingers->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            ShowingErrors([this] {
                const QModelIndexList Rows = lvPingers->selectionModel()->selectedRows();
                RowSelected(Rows.isEmpty() ? nullptr : FListModel->MonitorAt(Rows.first().row()));
            }));
    PanelList->hide();

    Splitter = new QWidget(PanelBody);
    Splitter->setObjectName(QStringLiteral("Splitter"));
    Splitter->setAttribute(Qt::WA_StyledBackground);
    Splitter->setStyleSheet(QStringLiteral("#Splitter { background: rgb(68,68,68); }"));
    Splitter->setCursor(Qt::SplitHCursor);
    Splitter->installEventFilter(this);

    TileArea = new TTileScroller(PanelBody);
    TileArea->setObjectName(QStringLiteral("TileArea"));
    TileArea->setStyleSheet(QStringLiteral(
        "#TileArea, #TileArea > QWidget { background: rgb(24,24,24); }"
        "QScrollBar:horizontal { background: rgb(40,40,40); height: 12px; margin: 0; }"
        "QScrollBar::handle:horizontal { background: rgb(96,96,96); min-width: 24px; "
        "border-radius: 3px; margin: 2px; }"
        "QScrollBar::handle:horizontal:hover { background: rgb(128,128,128); }"
        "QScrollBar::add-line, QScrollBar::sub-line { width: 0; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"));
    PanelRight = new TResizePanel;
    PanelRight->setObjectName(QStringLiteral("PanelRight"));
    PanelRight->setAttribute(Qt::WA_StyledBackground);
    PanelRight->setStyleSheet(QStringLiteral("#PanelRight { background: rgb(24,24,24); }"));
    PanelRight->OnResize = [this] { ArrangeMonitors(); };
    TileArea->setWidget(PanelRight);
    connect(TileArea->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { ShowTilesInView(); });

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
    if (TileArea->isVisibleTo(PanelBody)) {
        // Tile columns wider than the room beside the main panel's minimum scroll, the scroll
        // bar taking its height from the tiles.
        const int Room = std::max(0, Width - X - MainPanelMinWidth);
        const bool Scrolls = PanelRight->width() > Room;
        TileArea->setHorizontalScrollBarPolicy(Scrolls ? Qt::ScrollBarAlwaysOn
                                                       : Qt::ScrollBarAlwaysOff);
        const int ViewWidth = Scrolls ? Room : PanelRight->width();
        TileArea->setGeometry(X, 0, ViewWidth, Height);
        X += ViewWidth;
        const int TilesHeight = std::max(
            0, Height - (Scrolls ? TileArea->horizontalScrollBar()->sizeHint().height() : 0));
        if (PanelRight->height() != TilesHeight) {
            PanelRight->resize(PanelRight->width(), TilesHeight);
        }
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

void TfrmMain::ShowControlsEnabled(bool Enabled) {
    for (TzsImageButton* Button : {btnClose, btnMaximize, btnMinimize, btnRestore}) {
        Button->SetDisabled(!Enabled);
    }
    // Handled at once, so that the change shows (the toolbar has shown it already).
    QCoreApplication::processEvents();
}

void TfrmMain::EnableWindowButtons() {
    for (TzsImageButton* Button : {btnClose, btnMaximize, btnMinimize, btnRestore}) {
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

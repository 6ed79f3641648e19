// TfrmMain is the program's main window: a borderless window with a header, a toolbar, the
// body holding the monitors (one large in the main panel, the others as tiles beside it, or a
// sortable list next to the main panel) and a bottom strip with the progress bar and the size
// grip. It owns the configuration store, the image lists every window's buttons use, and the
// monitor hub (TMonitorHub), which holds the running monitors, their settings and the open group;
// the window shows each of the hub's monitors in a monitor window (TfrmPinger) and turns the
// user's actions into the hub's operations.
//
//   TfrmMain Main;                          // creation sets up folders, config file and worker
//   Main.show();                            // the first activation opens the default group
//   Main.AddMonitor(QStringLiteral("localhost"));
//
// The class is one window split by concern over several files: layout and life cycle
// (uFrmMain.cpp), the monitor collection and tiles (uFrmMainMonitors.cpp), the list view
// (uFrmMainList.cpp), the groups (uFrmMainGroups.cpp) and the toolbar's settings, switches and
// menus with the configuration's export and import (uFrmMainSettings.cpp). Monitor windows are
// child widgets of the main or tile panel; the hub's MonitorAdded and MonitorRemoved make and
// let go of them.
#pragma once

#include "uConfigStore.h"
#include "uMonitorCollection.h"
#include "uMonitorHub.h"
#include "uMonitorSettings.h"
#include "uVantorelCore.h"
#include "zsBorderlessFrame.h"
#include "zsImageList.h"

#include <QColor>
#include <QHash>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QComboBox;
class QProgressBar;
class QTreeView;
class TfrmHistory;
class TfrmPath;
class TfrmPinger;
class TFrmFriendlyNames;
class TfrmAbout;
class TfrmNewGroup;
class TfrmAlerts;
class TAlertCenter;
class TAlertNotifier;
class TAlertTray;
class TDesktopNotifier;
class TMonitorListModel;
class TRegistryStore;
class TzsImageButton;
class TzsWorkerThread;
class TPingerSession;

// A panel that reports its resizes to its owner.
class TResizePanel : public QWidget {
    Q_OBJECT

public:
    explicit TResizePanel(QWidget* Parent = nullptr);
    std::function<void()> OnResize;

protected:
    void resizeEvent(QResizeEvent* Event) override;
};

class TfrmMain : public QWidget, private IVantorelPrompter {
    Q_OBJECT

public:
    static constexpr int DesignWidth = 1050;
    static constexpr int DesignHeight = 700;
    static constexpr int MinWidth = 833;
    static constexpr int MinHeight = 560;
    static constexpr int HeaderHeight = 36;
    static constexpr int ToolbarHeight = 40;
    static constexpr int BottomHeight = 18;
    static constexpr int ListPanelWidth = 545;
    static constexpr int SplitterWidth = 6;
    static constexpr int MinBoxWidth = 64; // the Target and groups boxes at the narrowest

    // A window showing Core (not owned; it must outlive the window).
    explicit TfrmMain(TVantorelCore& Core, QWidget* Parent = nullptr);
    // A window with a core of its own. Registry: what the legacy carry-over reads.
    explicit TfrmMain(TRegistryStore* Registry = nullptr, QWidget* Parent = nullptr);
    // Where a window of size Window stands centred in Area (the screen less its panels); a
    // window larger than the area keeps its top left corner inside it. The main window opens
    // there, so that it is centred also where the desktop leaves placement to the program.
    static QPoint CentredPlace(QSize Window, const QRect& Area);
    ~TfrmMain() override;

    TVantorelCore& Core() const { return *FCore; }
    TMonitorHub& Hub() const { return FCore->Hub(); }
    const TSharedImageLists& ImageLists() const { return FImages; }
    TBorderlessFrame& Frame() { return FFrame; }
    // The window showing a monitor of the hub; null for none.
    TfrmPinger* ViewOf(const TPingerSession* Session) const {
        return Session ? FViews.value(Session) : nullptr;
    }

    // --- seams -------------------------------------------------------------------------------
    // Makes each new monitor's session (tests hand in sessions with a fake clock and echo).
    void SetMonitorFactory(TMonitorHub::TSessionFactory Factory) {
        Hub().SetSessionFactory(std::move(Factory));
    }
    // Asks for a new group's name; the default shows the new group dialog.
    using TGroupNamePrompt = std::function<std::optional<QString>()>;
    void SetGroupNamePrompt(TGroupNamePrompt Prompt) { FGroupNamePrompt = std::move(Prompt); }
    // The dialogs the program creates after this window (they use its image lists).
    void SetDialogs(TFrmFriendlyNames* FriendlyNames, TfrmNewGroup* NewGroup);
    // The About window, shown without being modal by btnAbout.
    void SetAboutWindow(TfrmAbout* About);
    // Runs a modal dialog and returns its result; the default is QDialog::exec. Tests answer
    // the friendly names dialog through it without a modal loop.
    using TModalRunner = std::function<int(QDialog&)>;
    void SetModalRunner(TModalRunner Runner) { FModalRunner = std::move(Runner); }
    // Where alert notifications go; the default is the desktop's notification service.
    void SetAlertNotifier(TAlertNotifier* Notifier) { FCore->SetAlertNotifier(Notifier); }
    // Test seam: receives the monitor menu instead of its being shown.
    void SetMonitorMenuHandler(std::function<void(QMenu&)> Handler) {
        FOnMonitorMenu = std::move(Handler);
    }

    TConfigStore* Config() const { return FCore->Config(); }
    TzsWorkerThread* Worker() const { return Hub().Worker(); }
    const QString& LogFolder() const { return Hub().LogFolder(); }
    TAlertCenter& Alerts() const { return FCore->Alerts(); }
    TAlertTray* Tray() const { return FTray.get(); }
    TMonitorListModel* ListModel() const { return FListModel; }

    // --- life cycle --------------------------------------------------------------------------
    // The first activation: the core reads the configuration and opens the default group.
    void FormActivate();
    void FormClose() { FCore->RequestClose(); }
    bool Created() const { return FCore->Created(); }

    // --- what the window shows ----------------------------------------------------------------
    int MonitorCount() const { return Hub().Count(); }
    // The monitor windows, in target order.
    TfrmPinger* Monitor(int Index) const { return ViewOf(Hub().Monitor(Index)); }
    TfrmPinger* FindMonitor(const QString& Target) const { return ViewOf(Hub().Find(Target)); }
    QStringList MonitorTargets() const { return Hub().Targets(); }
    TfrmPinger* MainPanelMonitor() const { return ViewOf(Hub().MainPanelMonitor()); }
    bool ListViewShown() const { return FCore->ListView(); }
    // The entries of the groups box and the open group, as the core holds them.
    QStringList GroupBoxItems() const { return FCore->Groups().Names(); }
    const QString& CurrentGroup() const { return FCore->Groups().Current(); }
    QString ShownGroup() const { return CurrentGroup(); }
    const TMonitorSettings& Settings() const { return Hub().Settings(); }
    std::int32_t Span() const { return Settings().Span; }
    std::int32_t Range() const { return Settings().Range; }
    std::int32_t Frequency() const { return Settings().Frequency; }
    std::int32_t TimeOutMS() const { return Settings().TimeOutMS; }
    std::int32_t PayloadSize() const { return Settings().PayloadSize; }
    bool HintsEnabled() const { return Settings().Hints; }
    bool LoggingEnabled() const { return Settings().Logging; }
    bool AlertingEnabled() const { return Settings().Alerting; }

    // --- the user's commands, as the controls run them -----------------------------------------
    void AddMonitor(const QString& Target) { FCore->AddMonitor(Target); }
    void MonitorGraphMouseDown(TfrmPinger* Monitor, Qt::MouseButton Button);
    TfrmHistory* ShowHistory(TfrmPinger* Monitor);
    // The path window of the monitor's address, probing while it is open.
    TfrmPath* ShowPath(TfrmPinger* Monitor);
    void CloseAllMonitors() { FCore->CloseAllMonitors(); }
    void EnableControls(bool Enabled) { FCore->EnableControls(Enabled); }
    void btnNewPingerClick();
    void btnCloseAllClick() { FCore->CloseAllClicked(); }
    void lvPingersColumnClick(int Column);
    void ToggleView() { FCore->ToggleView(); }
    void OpenGroup(const QString& Name) { FCore->OpenGroup(Name); }
    void cbGroupsSelect();
    void btnAddGroupClick() { FCore->AddGroupClicked(); }
    void btnDeleteGroupClick() { FCore->DeleteGroupClicked(); }
    void SetHintsEnabled(bool On) { FCore->SetHintsEnabled(On); }
    void btnHintsClick() { SetHintsEnabled(!HintsEnabled()); }
    void SetLogging(bool On) { Hub().SetLogging(On); }
    void btnLoggingClick() { FCore->ToggleLogging(); }
    void SetAlerting(bool On) { Hub().SetAlerting(On); }
    void btnAlertingClick() { FCore->ToggleAlerting(); }
    void btnFriendlyNamesClick() { FCore->EditFriendlyNames(); }
    void ExportSettings1Click() { FCore->ExportConfiguration(); }
    void ImportSettings1Click() { FCore->ImportConfiguration(); }

protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    // The controls: private, found by object name (each is named as its member) where a test
    // needs one.
    // Header strip.
    QWidget* PanelHeader = nullptr;
    QWidget* pnlIcon = nullptr;
    TzsImageButton* zsImageButton1 = nullptr;
    QLabel* lbHeader = nullptr;
    TzsImageButton* btnClose = nullptr;
    TzsImageButton* btnMaximize = nullptr;
    TzsImageButton* btnRestore = nullptr;
    TzsImageButton* btnMinimize = nullptr;
    // Toolbar.
    QWidget* PanelToolbar = nullptr;
    TzsImageButton* btnHints = nullptr;
    TzsImageButton* btnSettings = nullptr;
    TzsImageButton* btnAbout = nullptr;
    TzsImageButton* btnToggleView = nullptr;
    TzsImageButton* btnSpan = nullptr;
    TzsImageButton* btnRange = nullptr;
    TzsImageButton* btnFreq = nullptr;
    TzsImageButton* btnTimeOutMS = nullptr;
    TzsImageButton* btnPayloadSize = nullptr;
    TzsImageButton* btnFriendlyNames = nullptr;
    TzsImageButton* btnAlerting = nullptr;
    TzsImageButton* btnLogging = nullptr;
    TzsImageButton* btnCloseAll = nullptr;
    QLabel* lbTarget = nullptr;
    QLineEdit* cbTarget = nullptr;
    TzsImageButton* btnNewPinger = nullptr;
    QLabel* lbGroups = nullptr;
    QComboBox* cbGroups = nullptr;
    TzsImageButton* btnAddGroup = nullptr;
    TzsImageButton* btnDeleteGroup = nullptr;
    QLabel* lbZephraSoftware = nullptr;
    TzsImageButton* btnZephraSoftware = nullptr;
    // The toolbar's menus: a disabled title entry, a separator, then the entries.
    QMenu* menSpan = nullptr;
    QMenu* menRange = nullptr;
    QMenu* menFreq = nullptr;
    QMenu* menTimeOutMS = nullptr;
    QMenu* menPayloadSize = nullptr;
    QMenu* menSettings = nullptr;
    QMenu* menAlerting = nullptr;
    QAction* AlertSettings1 = nullptr;
    QAction* ExportSettings1 = nullptr;
    QAction* ImportSettings1 = nullptr;
    // Body.
    TResizePanel* PanelBody = nullptr;
    QWidget* PanelList = nullptr;
    QTreeView* lvPingers = nullptr;
    QWidget* Splitter = nullptr;
    TResizePanel* PanelRight = nullptr;
    TResizePanel* PanelLeft = nullptr;
    // Bottom strip.
    QWidget* PanelBottom = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QLabel* imgSizeGrip = nullptr;

    // A control of the toolbar, in the table BuildToolbar declares.
    struct TToolbarItem {
        enum : unsigned {
            Busy = 1, // greyed while the window is busy (EnableControls)
            Tab = 2,  // in the tab walk
            Hint = 4, // its hint shows only while hints are switched on
        };
        static constexpr int Stretch = -1; // SpaceBefore: the free room of the row

        QWidget* Control;
        int SpaceBefore; // pixels left of it, or Stretch
        unsigned Flags;
        QColor Colour = {}; // a label's text while not busy
    };
    std::vector<TToolbarItem> FToolbar;
    std::array<TzsImageButton*, 4> WindowButtons() const;

    void BuildHeader();
    void BuildToolbar();
    void BuildBody();
    void BuildBottom();
    TzsImageButton* MakeToolButton(int ImageIndex, const QString& Hint);
    void BuildSettingsMenus();
    QMenu* MakeButtonMenu(TzsImageButton* Button, const QString& Title);
    void ShowButtonMenu(QMenu* Menu, TzsImageButton* Button);
    void BuildAlerts();
    // The switches' icons and hints, the hints' visibility and the menus' checks show the hub's
    // settings.
    void ShowSettings();
    // After an error that leaves the controls disabled: the window can still be moved,
    // minimised and closed.
    void EnableWindowButtons();
    void ShowControlsEnabled(bool Enabled);
    void ShowGroups();
    void ShowProgressBegin(TMonitorHub::TWork Work, int Count);
    void CoreClosed();
    void MoveToMainPanel(TfrmPinger* Monitor);
    void ArrangeMonitors();
    void ShowMonitorMenu(TfrmPinger* Monitor, const QPoint& At);
    void lvPingersSelectItem(TfrmPinger* Monitor); // null: no row selected
    void SetAllDrawEnabled(bool Enabled);
    void btnSpanClick();
    void btnRangeClick();
    void btnFreqClick();
    void btnTimeOutMSClick();
    void btnPayloadSizeClick();
    void btnSettingsClick();
    void btnZephraSoftwareClick();
    void btnAboutClick();
    void AlertSettingsClick();
    void SetSpanClick(QAction* Entry);
    void SetRangeClick(QAction* Entry);
    void SetFrequencyClick(QAction* Entry);
    void TimeOutMSClick(QAction* Entry);
    void PayloadSizeClick(QAction* Entry);
    void Init();

    // What the core asks of a person.
    void Tell(TMessage Kind, const QString& Text) override;
    bool Confirm(const QString& Text, TButtons Buttons) override;
    void ShowError(const std::exception& Error) override;
    QString ChooseConfigFile(bool Save) override;
    std::optional<QString> AskGroupName(const QStringList& Existing) override;
    bool EditFriendlyNames(QString& Text) override;
    void LayoutBody();
    void FitMainPanelMonitor();
    void ShowProgress(const QString& Caption, int Maximum, int Position, QColor Bar);
    void HandlePendingMessages();
    void HoldLayout(bool Hold);
    void ShowTilesInView();
    void SplitterMoved(int ListWidth);
    void ShowListView(bool Shown);
    void ShowSortIndicator();
    // In the list view the selected row is the main-panel monitor's.
    void SelectMainPanelRow();
    // What the hub tells the window.
    void MonitorAdded(TPingerSession* Session);
    void MonitorRemoved(TPingerSession* Session);

    TSharedImageLists FImages;
    TBorderlessFrame FFrame;
    TMonitorListModel* FListModel = nullptr;
    std::function<void(QMenu&)> FOnMonitorMenu;
    TGroupNamePrompt FGroupNamePrompt;
    QPointer<TFrmFriendlyNames> FFriendlyNames;
    QPointer<TfrmNewGroup> FNewGroup;
    QPointer<TfrmAbout> FAbout;
    TModalRunner FModalRunner;
    std::unique_ptr<TVantorelCore> FOwnCore;
    TVantorelCore* FCore;
    int FListWidth = ListPanelWidth;
    bool FArranging = false;
    // While monitors are opened or closed in bulk, the tiles are laid out and the list sorted
    // once per slice of work instead of once per monitor.
    bool FLayoutHeld = false;
    bool FArrangePending = false;
    // The hints last applied to every control, so that a change of another setting costs no
    // walk over the monitors.
    std::optional<bool> FShownHints;
    std::unique_ptr<TAlertTray> FTray;
    QHash<const TPingerSession*, TfrmPinger*> FViews;
    // The core has closed: the window's close goes through.
    bool FCoreClosed = false;
    bool FClosing = false; // the window's own close runs the core's
};

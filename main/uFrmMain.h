// TfrmMain is the program's main window, a view of the application core (TVantorelCore): a
// borderless window with a header, the toolbar (TMainToolbar), the body holding the monitors (one
// large in the main panel, the others as tiles beside it, or a sortable list next to the main
// panel) and a bottom strip with the progress bar and the size grip. It lays out the hub's
// monitors and shows those in sight in monitor windows (TfrmPinger), shows the core's progress and
// busy state, and answers what the core asks of a person (IVantorelPrompter) with message boxes and
// dialogs. It holds no program state: the core decides, the window shows.
//
//   TVantorelCore Core;
//   TfrmMain Main(Core);                    // the core's creation: folders, config file, worker
//   Main.show();                            // the first activation opens the default group
//
// Split by concern: layout and life cycle (uFrmMain.cpp), the monitor windows and tiles
// (uFrmMainMonitors.cpp), the list view (uFrmMainList.cpp), and the answers to the core's
// questions (uFrmMainPrompter.cpp). Monitor windows are child widgets of the main or tile panel,
// made for the main-panel monitor and the tiles in the scrolled view and let go when they leave
// it; a monitor without a window is its session alone, which draws nothing.
#pragma once

#include "uBodyPanels.h"
#include "uMonitorHub.h"
#include "uVantorelCore.h"
#include "zsBorderlessFrame.h"
#include "zsImageList.h"

#include <QHash>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QDialog;
class QLabel;
class QMenu;
class QProgressBar;
class QTreeView;
class TfrmPinger;
class TFrmFriendlyNames;
class TfrmAbout;
class TfrmNewGroup;
class TAlertTray;
class TMonitorListModel;
class TMainToolbar;
class TRegistryStore;
class TzsImageButton;
class TPingerSession;

class TfrmMain : public QWidget, private IVantorelPrompter {
    Q_OBJECT

public:
    static constexpr int DesignWidth = 1050;
    static constexpr int DesignHeight = 700;
    static constexpr int MinWidth = 833;
    static constexpr int MinHeight = 560;
    static constexpr int HeaderHeight = 36;
    static constexpr int BottomHeight = 18;
    static constexpr int ListPanelWidth = 545;
    static constexpr int SplitterWidth = 6;
    static constexpr int MainPanelMinWidth = 320; // beside tiles that scroll

    // A window showing Core (not owned; it must outlive the window).
    explicit TfrmMain(TVantorelCore& Core, QWidget* Parent = nullptr);
    // A window with a core of its own. Registry: what the legacy carry-over reads.
    explicit TfrmMain(TRegistryStore* Registry = nullptr, QWidget* Parent = nullptr);
    ~TfrmMain() override;
    // Where a window of size Window stands centred in Area (the screen less its panels); a
    // window larger than the area keeps its top left corner inside it. The main window opens
    // there, so that it is centred also where the desktop leaves placement to the program.
    static QPoint CentredPlace(QSize Window, const QRect& Area);

    TVantorelCore& Core() const { return *FCore; }
    TMonitorHub& Hub() const { return FCore->Hub(); }
    const TSharedImageLists& ImageLists() const { return FImages; }
    // The window showing a monitor of the hub; null for none: only the main-panel monitor and
    // the tiles in the scrolled view have one.
    TfrmPinger* ViewOf(const TPingerSession* Session) const {
        return Session ? FViews.value(Session) : nullptr;
    }
    TMonitorListModel* ListModel() const { return FListModel; }
    TAlertTray* Tray() const { return FTray.get(); }

    // The dialogs the program creates after this window (they use its image lists).
    void SetDialogs(TFrmFriendlyNames* FriendlyNames, TfrmNewGroup* NewGroup);
    // The About window, shown without being modal by the toolbar's About button.
    void SetAboutWindow(TfrmAbout* About);
    // Runs a modal dialog and returns its result; the default is QDialog::exec. Tests answer
    // the dialogs through it without a modal loop.
    using TModalRunner = std::function<int(QDialog&)>;
    void SetModalRunner(TModalRunner Runner) { FModalRunner = std::move(Runner); }
    // Receives a monitor's menu instead of its being shown (tests pick its entries).
    void SetMonitorMenuHandler(std::function<void(QMenu&)> Handler) {
        FOnMonitorMenu = std::move(Handler);
    }

    // The first activation: the core reads the configuration and opens the default group.
    void FormActivate();

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
    TMainToolbar* PanelToolbar = nullptr;
    // Body.
    TResizePanel* PanelBody = nullptr;
    QWidget* PanelList = nullptr;
    QTreeView* lvPingers = nullptr;
    QWidget* Splitter = nullptr;
    TTileScroller* TileArea = nullptr; // holds PanelRight, the tiles' parent
    TResizePanel* PanelRight = nullptr;
    TResizePanel* PanelLeft = nullptr;
    // Bottom strip.
    QWidget* PanelBottom = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QLabel* imgSizeGrip = nullptr;

    void Init();
    void BuildHeader();
    void BuildBody();
    void BuildList();
    void BuildBottom();
    void BuildTray();
    int RunModal(QDialog& Dialog);
    void ShowAlertSettings();
    // After an error that leaves the controls disabled: the window can still be moved,
    // minimised and closed.
    void EnableWindowButtons();
    void ShowControlsEnabled(bool Enabled);
    // The graphs' hints follow the hints switch.
    void ShowHints();
    void ShowProgressBegin(TMonitorHub::TWork Work, int Count);
    void CoreClosed();
    void LayoutBody();
    void SplitterMoved(int ListWidth);
    void HoldLayout(bool Hold);
    // What the hub tells the window.
    void MonitorAdded(TPingerSession* Session);
    void MonitorRemoved(TPingerSession* Session);
    // A window for a monitor in Panel, and letting it go (the session then draws nothing).
    TfrmPinger* MakeView(TPingerSession* Session, QWidget* Panel);
    void ReleaseView(TPingerSession* Session);
    void ArrangeMonitors();
    void FitMainPanelMonitor();
    void ShowTilesInView();
    void MoveToMainPanel(TPingerSession* Monitor);
    void MonitorGraphMouseDown(TPingerSession* Monitor, Qt::MouseButton Button);
    // A monitor's menu (right button on its graph or its list row): its history and its path.
    void ShowMonitorMenu(TPingerSession* Monitor, const QPoint& At);
    void ShowHistory(const TPingerSession& Monitor);
    void ShowPath(const TPingerSession& Monitor);
    // The list view.
    void ShowListView(bool Shown);
    void ShowSortIndicator();
    // In the list view the selected row is the main-panel monitor's.
    void SelectMainPanelRow();
    void RowSelected(TPingerSession* Monitor); // null: no row selected
    void SetAllDrawEnabled(bool Enabled);

    // What the core asks of a person.
    void Tell(TMessage Kind, const QString& Text) override;
    bool Confirm(const QString& Text, TButtons Buttons) override;
    void ShowError(const std::exception& Error) override;
    QString ChooseConfigFile(bool Save) override;
    std::optional<QString> AskGroupName(const QStringList& Existing) override;
    bool EditFriendlyNames(QString& Text) override;

    TSharedImageLists FImages;
    TBorderlessFrame FFrame;
    std::unique_ptr<TVantorelCore> FOwnCore;
    TVantorelCore* FCore;
    TMonitorListModel* FListModel = nullptr;
    std::function<void(QMenu&)> FOnMonitorMenu;
    QPointer<TFrmFriendlyNames> FFriendlyNames;
    QPointer<TfrmNewGroup> FNewGroup;
    QPointer<TfrmAbout> FAbout;
    TModalRunner FModalRunner;
    std::unique_ptr<TAlertTray> FTray;
    QHash<const TPingerSession*, TfrmPinger*> FViews; // the monitors that have a window
    TTileLayout FTiles;                               // where the tiles go, as last laid out
    int FListWidth = ListPanelWidth;
    bool FArranging = false;
    // While monitors are opened or closed in bulk, the tiles are laid out and the list sorted
    // once per slice of work instead of once per monitor.
    bool FLayoutHeld = false;
    bool FArrangePending = false;
    // The hints last applied to the graphs, so that a change of another setting walks none.
    std::optional<bool> FShownHints;
    // The core has closed: the window's close goes through.
    bool FCoreClosed = false;
    bool FClosing = false; // the window's own close runs the core's
};

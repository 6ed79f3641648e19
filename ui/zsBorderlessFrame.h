// The borderless window frame shared by the main window, the About window and the dialogs:
// header drag, size grip, double-click maximise/restore, the maximise/restore button pair,
// whole-application minimise, the window manager's requests, and centring over the main window.
//
//   class TfrmAbout : public QWidget {
//       TBorderlessFrame FFrame{this};            // makes the window frameless
//       ...
//       FFrame.AddDragPart(PanelHeader);          // press/move/release on it drags the window
//       FFrame.AddDragPart(lbHeader);             // or FFrame.AddInertPart(lbHeader)
//       FFrame.SetMaximizeButtons(btnMaximize, btnRestore);
//       FFrame.SetDoubleClick([this] { return btnMinimize->isVisibleTo(this); });
//       connect(btnClose, &TzsImageButton::clicked, this, &QWidget::close);
//       connect(btnMaximize, &TzsImageButton::clicked, &FFrame,
//       &TBorderlessFrame::btnMaximizeClick);
//   };
//   TBorderlessFrame::SetMainWindow(mainWindow);  // once, by the main window
//   FFrame.CenterOnMainWindow();                  // in a dialog, before each showing
//
// The drag arithmetic and the centring are free functions so that they can be checked without
// a window manager. On Wayland, where a client cannot place its own window, a header or grip
// press hands the move or resize to the compositor instead.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>

#include <cstdint>
#include <functional>
#include <optional>

class QWidget;
class QMouseEvent;
class QTimer;

// One drag in progress. All four fields zero means no drag; there is no separate flag.
// Header drag: pointer x/y at the press, window left/top. Size grip: pointer x/y, width/height.
struct TFrameDrag {
    std::int32_t StartX = 0;
    std::int32_t StartY = 0;
    std::int32_t StartA = 0;
    std::int32_t StartB = 0;

    bool Idle() const { return StartX == 0 && StartY == 0 && StartA == 0 && StartB == 0; }
    void Clear() { *this = TFrameDrag{}; }
    bool operator==(const TFrameDrag&) const = default;
};

// Press: records Pointer and Start (left/top or width/height) unless Blocked or not the left
// button. Returns whether anything was recorded.
bool FrameDragPress(TFrameDrag& Drag, bool Blocked, Qt::MouseButton Button, QPoint Pointer,
                    QPoint Start);
// Move: the new left/top (or width/height), or nothing while blocked or idle.
std::optional<QPoint> FrameDragMove(const TFrameDrag& Drag, bool Blocked, QPoint Pointer);
// Release (any button): clears the record unless blocked.
void FrameDragRelease(TFrameDrag& Drag, bool Blocked);

// Top-left for a dialog of DialogSize centred over MainFrame (integer halves truncated toward
// zero), then moved as little as needed to lie fully inside Screen. A dialog larger than the
// screen keeps its top-left corner (and so its header) on the screen.
QPoint CenteredOnMainWindow(const QRect& MainFrame, QSize DialogSize, const QRect& Screen);

// System command words as the window manager's requests are translated.
constexpr std::uint32_t SC_MINIMIZE = 0xF020;
constexpr std::uint32_t SC_MAXIMIZE = 0xF030;
constexpr std::uint32_t SC_RESTORE = 0xF120;

class TBorderlessFrame : public QObject {
    Q_OBJECT

public:
    explicit TBorderlessFrame(QWidget* Window);
    ~TBorderlessFrame() override;

    QWidget* Window() const { return FWindow; }

    // The window the system commands act on and dialogs centre over. Cleared on its own when
    // that window is destroyed.
    static void SetMainWindow(QWidget* Main);
    static QWidget* MainWindow();

    // Mouse on Part drags the window (left button) and double-clicks are offered to it.
    void AddDragPart(QWidget* Part);
    // Mouse on Part does nothing at all: a caption inside the header that must not drag.
    void AddInertPart(QWidget* Part);
    // A grip that resizes the window; the window's minimum size bounds it.
    void SetSizeGrip(QWidget* Grip);
    // The two buttons that share one place; the maximise button is the one seen at start.
    void SetMaximizeButtons(QWidget* Maximize, QWidget* Restore);
    // Whether a header double-click toggles maximised/normal; without a test double-clicks
    // are not handled at all.
    void SetDoubleClick(std::function<bool()> Allowed) { FDoubleClickAllowed = std::move(Allowed); }

    // Runs after a grip drag ends (the main window re-tiles its monitors).
    std::function<void()> OnGripReleased;

    TFrameDrag FHeaderDrag;
    TFrameDrag FGripDrag;

    // Dragging is blocked while the window is maximised.
    bool Blocked() const;

    void PanelHeaderMouseDown(Qt::MouseButton Button, QPoint GlobalPos);
    void PanelHeaderMouseMove(QPoint GlobalPos);
    void PanelHeaderMouseUp();
    void PanelHeaderDblClick();
    void imgSizeGripMouseDown(Qt::MouseButton Button, QPoint GlobalPos);
    void imgSizeGripMouseMove(QPoint GlobalPos);
    void imgSizeGripMouseUp();

    void btnMaximizeClick();
    void btnRestoreClick();
    // The main window minimises the whole application; any other window only itself.
    void btnMinimizeClick();

    // A system command word; true when handled here, false for the default handling (which
    // for a request the window manager already carried out means letting it stand).
    bool SystemCommand(std::uint32_t Command);

    // How long the platform's state reports may trail a change before it is judged.
    static constexpr int StateSettleMs = 20;

    // Minimise every visible window of the application, and bring them back as they were.
    static void MinimizeApplication();
    static void RestoreApplication();

    void CenterOnMainWindow();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void SetState(QWidget* Target, Qt::WindowStates State);
    void WindowManagerChangedState(Qt::WindowStates Old, Qt::WindowStates New);
    void CheckWindowManagerState();
    bool HandleDragPartEvent(QEvent* Event);
    bool HandleGripEvent(QEvent* Event);

    QWidget* FWindow;
    QPointer<QWidget> FGrip;
    QPointer<QWidget> FMaximize;
    QPointer<QWidget> FRestore;
    std::function<bool()> FDoubleClickAllowed;
    QTimer* FStateCheck = nullptr;
};

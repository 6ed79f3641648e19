#include "zsBorderlessFrame.h"

#include "zsImageList.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include <vector>

namespace {

constexpr char PartProperty[] = "vantorelFramePart";
enum TPartKind : int { DragPart = 1, InertPart = 2 };

QPointer<QWidget>& MainWindowRef() {
    static QPointer<QWidget> Main;
    return Main;
}

// Window states this program changes itself arrive as state-change events too: at once from
// the toolkit, and again later when the platform reports the change back, possibly after newer
// requests. Reacting to those echoes would make windows bounce between states for ever, so a
// change counts as the window manager's request only when, once the reports have settled, the
// window is in another state than the one this program last asked for or accepted.
int& ApplyingState() {
    static int Depth = 0;
    return Depth;
}

constexpr Qt::WindowStates StateMask =
    Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;

QHash<const QWidget*, Qt::WindowStates>& KnownStates() {
    static QHash<const QWidget*, Qt::WindowStates> States;
    return States;
}

void ApplyState(QWidget* Target, Qt::WindowStates State) {
    KnownStates()[Target] = State & StateMask;
    ++ApplyingState();
    Target->setWindowState(State);
    --ApplyingState();
}

struct TMinimizedWindow {
    QPointer<QWidget> Window;
    Qt::WindowStates Before;
};
std::vector<TMinimizedWindow>& MinimizedByUs() {
    static std::vector<TMinimizedWindow> Windows;
    return Windows;
}

bool OnWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

bool FrameDragPress(TFrameDrag& Drag, bool Blocked, Qt::MouseButton Button, QPoint Pointer,
                    QPoint Start) {
    if (Blocked || Button != Qt::LeftButton) {
        return false;
    }
    Drag.StartX = Pointer.x();
    Drag.StartY = Pointer.y();
    Drag.StartA = Start.x();
    Drag.StartB = Start.y();
    return true;
}

std::optional<QPoint> FrameDragMove(const TFrameDrag& Drag, bool Blocked, QPoint Pointer) {
    if (Blocked || Drag.Idle()) {
        return std::nullopt;
    }
    return QPoint(Drag.StartA + Pointer.x() - Drag.StartX, Drag.StartB + Pointer.y() - Drag.StartY);
}

void FrameDragRelease(TFrameDrag& Drag, bool Blocked) {
    if (!Blocked) {
        Drag.Clear();
    }
}

QPoint CenteredOnMainWindow(const QRect& MainFrame, QSize DialogSize, const QRect& Screen) {
    int Top = MainFrame.top() + MainFrame.height() / 2 - DialogSize.height() / 2;
    int Left = MainFrame.left() + MainFrame.width() / 2 - DialogSize.width() / 2;
    const int ScreenRight = Screen.left() + Screen.width();
    const int ScreenBottom = Screen.top() + Screen.height();
    if (Left + DialogSize.width() > ScreenRight) {
        Left = ScreenRight - DialogSize.width();
    }
    if (Left < Screen.left()) {
        Left = Screen.left();
    }
    if (Top + DialogSize.height() > ScreenBottom) {
        Top = ScreenBottom - DialogSize.height();
    }
    if (Top < Screen.top()) {
        Top = Screen.top();
    }
    return {Left, Top};
}

TBorderlessFrame::TBorderlessFrame(QWidget* Window) : QObject(Window), FWindow(Window) {
    FWindow->setWindowFlag(Qt::FramelessWindowHint, true);
    if (FWindow->windowIcon().cacheKey() == QApplication::windowIcon().cacheKey()) {
        QIcon Icon;
        for (int Size : {16, 24, 32, 48, 64, 128}) {
            Icon.addPixmap(QPixmap::fromImage(VantorelIconImage(Size)));
        }
        FWindow->setWindowIcon(Icon);
    }
    KnownStates()[FWindow] = FWindow->windowState() & StateMask;
    FStateCheck = new QTimer(this);
    FStateCheck->setSingleShot(true);
    FStateCheck->setInterval(StateSettleMs);
    connect(FStateCheck, &QTimer::timeout, this, &TBorderlessFrame::CheckWindowManagerState);
    FWindow->installEventFilter(this);
}

TBorderlessFrame::~TBorderlessFrame() {
    KnownStates().remove(FWindow);
}

void TBorderlessFrame::CheckWindowManagerState() {
    const Qt::WindowStates Now = FWindow->windowState() & StateMask;
    const Qt::WindowStates Known = KnownStates().value(FWindow, Now);
    if (Now == Known) {
        return;
    }
    KnownStates()[FWindow] = Now;
    WindowManagerChangedState(Known, Now);
}

void TBorderlessFrame::SetMainWindow(QWidget* Main) {
    MainWindowRef() = Main;
}

QWidget* TBorderlessFrame::MainWindow() {
    return MainWindowRef().data();
}

void TBorderlessFrame::AddDragPart(QWidget* Part) {
    Part->setProperty(PartProperty, int(DragPart));
    Part->installEventFilter(this);
}

void TBorderlessFrame::AddInertPart(QWidget* Part) {
    Part->setProperty(PartProperty, int(InertPart));
    Part->installEventFilter(this);
}

void TBorderlessFrame::SetSizeGrip(QWidget* Grip) {
    FGrip = Grip;
    Grip->setCursor(Qt::SizeFDiagCursor);
    Grip->installEventFilter(this);
}

void TBorderlessFrame::SetMaximizeButtons(QWidget* Maximize, QWidget* Restore) {
    FMaximize = Maximize;
    FRestore = Restore;
    Maximize->setVisible(true);
    Restore->setVisible(false);
}

bool TBorderlessFrame::Blocked() const {
    return FWindow->isMaximized();
}

void TBorderlessFrame::PanelHeaderMouseDown(Qt::MouseButton Button, QPoint GlobalPos) {
    if (!FrameDragPress(FHeaderDrag, Blocked(), Button, GlobalPos, FWindow->pos())) {
        return;
    }
    if (OnWayland() && FWindow->windowHandle() && FWindow->windowHandle()->startSystemMove()) {
        // The compositor owns the move now and we get no release for it.
        FHeaderDrag.Clear();
    }
}

void TBorderlessFrame::PanelHeaderMouseMove(QPoint GlobalPos) {
    if (const auto Pos = FrameDragMove(FHeaderDrag, Blocked(), GlobalPos)) {
        FWindow->move(*Pos);
    }
}

void TBorderlessFrame::PanelHeaderMouseUp() {
    FrameDragRelease(FHeaderDrag, Blocked());
}

void TBorderlessFrame::PanelHeaderDblClick() {
    if (!FDoubleClickAllowed || !FDoubleClickAllowed()) {
        return;
    }
    const Qt::WindowStates State = FWindow->windowState();
    if (State & Qt::WindowMinimized) {
        return;
    }
    if (State & Qt::WindowMaximized) {
        btnRestoreClick();
    } else {
        btnMaximizeClick();
    }
}

void TBorderlessFrame::imgSizeGripMouseDown(Qt::MouseButton Button, QPoint GlobalPos) {
    const QPoint Size(FWindow->width(), FWindow->height());
    if (!FrameDragPress(FGripDrag, Blocked(), Button, GlobalPos, Size)) {
        return;
    }
    if (OnWayland() && FWindow->windowHandle() &&
        FWindow->windowHandle()->startSystemResize(Qt::RightEdge | Qt::BottomEdge)) {
        FGripDrag.Clear();
    }
}

void TBorderlessFrame::imgSizeGripMouseMove(QPoint GlobalPos) {
    if (const auto Size = FrameDragMove(FGripDrag, Blocked(), GlobalPos)) {
        const QSize Min = FWindow->minimumSize();
        FWindow->resize(qMax(Size->x(), Min.width()), qMax(Size->y(), Min.height()));
    }
}

void TBorderlessFrame::imgSizeGripMouseUp() {
    if (Blocked()) {
        return;
    }
    FGripDrag.Clear();
    if (OnGripReleased) {
        OnGripReleased();
    }
}

void TBorderlessFrame::SetState(QWidget* Target, Qt::WindowStates State) {
    ApplyState(Target, State);
}

void TBorderlessFrame::btnMaximizeClick() {
    SetState(FWindow, Qt::WindowMaximized);
    if (FMaximize) {
        FMaximize->hide();
    }
    if (FRestore) {
        FRestore->show();
    }
}

void TBorderlessFrame::btnRestoreClick() {
    SetState(FWindow, Qt::WindowNoState);
    if (FRestore) {
        FRestore->hide();
    }
    if (FMaximize) {
        FMaximize->show();
    }
}

void TBorderlessFrame::btnMinimizeClick() {
    QWidget* Main = MainWindow();
    if (!Main || Main == FWindow) {
        SystemCommand(SC_MINIMIZE);
    } else {
        SetState(FWindow, FWindow->windowState() | Qt::WindowMinimized);
    }
}

bool TBorderlessFrame::SystemCommand(std::uint32_t Command) {
    QWidget* Main = MainWindow() ? MainWindow() : FWindow;
    switch (Command) {
    case SC_MINIMIZE:
        MinimizeApplication();
        SetState(Main, Main->windowState() | Qt::WindowMinimized);
        return true;
    case SC_MAXIMIZE:
        SetState(Main, (Main->windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
        return true;
    case SC_RESTORE:
        RestoreApplication();
        return true;
    default:
        return false;
    }
}

void TBorderlessFrame::MinimizeApplication() {
    for (QWidget* W : QApplication::topLevelWidgets()) {
        if (!W->isVisible() || W->isMinimized() || !W->isWindow() || W->windowType() == Qt::Popup ||
            W->windowType() == Qt::ToolTip) {
            continue;
        }
        MinimizedByUs().push_back({W, W->windowState()});
        ApplyState(W, W->windowState() | Qt::WindowMinimized);
    }
}

void TBorderlessFrame::RestoreApplication() {
    std::vector<TMinimizedWindow> Windows;
    Windows.swap(MinimizedByUs());
    for (const TMinimizedWindow& M : Windows) {
        if (M.Window && M.Window->isMinimized()) {
            ApplyState(M.Window, M.Before & ~Qt::WindowMinimized);
            M.Window->show();
        }
    }
}

void TBorderlessFrame::CenterOnMainWindow() {
    QWidget* Main = MainWindow();
    if (!Main || Main == FWindow) {
        return;
    }
    const QRect MainFrame = Main->frameGeometry();
    QScreen* Screen = QGuiApplication::screenAt(MainFrame.center());
    if (!Screen) {
        Screen = Main->screen();
    }
    const QRect Area = Screen ? Screen->availableGeometry() : QRect();
    const QSize Size = FWindow->frameGeometry().size();
    FWindow->move(
        Area.isValid()
            ? CenteredOnMainWindow(MainFrame, Size, Area)
            : CenteredOnMainWindow(MainFrame, Size, QRect(-1000000, -1000000, 2000000, 2000000)));
}

void TBorderlessFrame::WindowManagerChangedState(Qt::WindowStates Old, Qt::WindowStates New) {
    const bool WasMin = Old & Qt::WindowMinimized, IsMin = New & Qt::WindowMinimized;
    const bool WasMax = Old & Qt::WindowMaximized, IsMax = New & Qt::WindowMaximized;
    if (IsMin && !WasMin) {
        // The window manager took this window down already; it still comes back with the rest.
        MinimizedByUs().push_back({FWindow, Old});
        SystemCommand(SC_MINIMIZE);
    } else if (WasMin && !IsMin) {
        SystemCommand(SC_RESTORE);
    } else if (IsMax && !WasMax) {
        SystemCommand(SC_MAXIMIZE);
        if (MainWindow() && MainWindow() != FWindow) {
            // The request maximises the main window, not this one.
            SetState(FWindow, Old);
        }
    }
    // Anything else (a window manager taking a window out of maximised) keeps its default
    // handling: the change stands.
}

bool TBorderlessFrame::HandleDragPartEvent(QEvent* Event) {
    auto* Mouse = static_cast<QMouseEvent*>(Event);
    const QPoint Global = Mouse->globalPosition().toPoint();
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
        PanelHeaderMouseDown(Mouse->button(), Global);
        return true;
    case QEvent::MouseMove:
        // A record left behind by a release while maximised must not make the window follow
        // a pointer that merely passes over the header later.
        if (Mouse->buttons() & Qt::LeftButton) {
            PanelHeaderMouseMove(Global);
        }
        return true;
    case QEvent::MouseButtonRelease:
        PanelHeaderMouseUp();
        return true;
    case QEvent::MouseButtonDblClick:
        // The second press of a double-click; the toolkit still reports the press itself.
        PanelHeaderMouseDown(Mouse->button(), Global);
        if (Mouse->button() == Qt::LeftButton) {
            PanelHeaderDblClick();
        }
        return true;
    default:
        return false;
    }
}

bool TBorderlessFrame::HandleGripEvent(QEvent* Event) {
    auto* Mouse = static_cast<QMouseEvent*>(Event);
    const QPoint Global = Mouse->globalPosition().toPoint();
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        imgSizeGripMouseDown(Mouse->button(), Global);
        return true;
    case QEvent::MouseMove:
        if (Mouse->buttons() & Qt::LeftButton) {
            imgSizeGripMouseMove(Global);
        }
        return true;
    case QEvent::MouseButtonRelease:
        imgSizeGripMouseUp();
        return true;
    default:
        return false;
    }
}

bool TBorderlessFrame::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == FWindow && Event->type() == QEvent::WindowStateChange) {
        if (ApplyingState() == 0) {
            FStateCheck->start();
        }
        return false;
    }
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        break;
    default:
        return false;
    }
    if (Watched == FGrip) {
        return HandleGripEvent(Event);
    }
    const int Kind = Watched->property(PartProperty).toInt();
    if (Kind == DragPart) {
        return HandleDragPartEvent(Event);
    }
    return Kind == InertPart;
}

#include "zsBorderlessFrame.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(FrameDrag, RecordFollowsTheZeroMeansIdleRule) {
    TFrameDrag D;
    EXPECT_TRUE(D.Idle());

    // Secondary and middle presses and presses while blocked record nothing.
    for (Qt::MouseButton B : {Qt::RightButton, Qt::MiddleButton}) {
        EXPECT_FALSE(FrameDragPress(D, false, B, {300, 200}, {100, 50}));
    }
    EXPECT_FALSE(FrameDragPress(D, true, Qt::LeftButton, {300, 200}, {100, 50}));
    EXPECT_TRUE(D.Idle());
    EXPECT_FALSE(FrameDragMove(D, false, {310, 220}));

    ASSERT_TRUE(FrameDragPress(D, false, Qt::LeftButton, {300, 200}, {100, 50}));
    EXPECT_EQ(D, (TFrameDrag{300, 200, 100, 50}));
    EXPECT_EQ(FrameDragMove(D, false, {310, 180}), QPoint(110, 30));
    EXPECT_EQ(FrameDragMove(D, false, {0, 0}), QPoint(-200, -150));
    EXPECT_FALSE(FrameDragMove(D, true, {310, 180})) << "maximised windows do not move";

    FrameDragRelease(D, true); // released while blocked: the record stays
    EXPECT_EQ(D, (TFrameDrag{300, 200, 100, 50}));
    FrameDragRelease(D, false);
    EXPECT_TRUE(D.Idle());

    // A press at the screen origin with the window at the origin looks like no drag at all.
    EXPECT_TRUE(FrameDragPress(D, false, Qt::LeftButton, {0, 0}, {0, 0}));
    EXPECT_TRUE(D.Idle());
    EXPECT_FALSE(FrameDragMove(D, false, {40, 40}));
}

TEST(CenterOnMainWindow, CentresWithTruncatedHalvesAndKeepsTheDialogOnScreen) {
    const QRect Screen(0, 0, 1920, 1080);
    struct Case {
        const char* Name;
        QRect Main;
        QSize Dialog;
        QRect Area;
        QPoint Expected;
    };
    const Case Cases[] = {
        {"plain", {100, 50, 1050, 700}, {453, 357}, Screen, {100 + 525 - 226, 50 + 350 - 178}},
        {"odd sizes", {0, 0, 277, 163}, {276, 163}, Screen, {138 - 138, 81 - 81}},
        {"odd main", {10, 10, 101, 101}, {51, 51}, Screen, {10 + 50 - 25, 10 + 50 - 25}},
        {"off the right", {1700, 100, 400, 400}, {300, 200}, Screen, {1620, 200}},
        {"off the bottom", {100, 1000, 400, 400}, {300, 200}, Screen, {150, 880}},
        {"off the left and top", {-300, -300, 200, 200}, {300, 200}, Screen, {0, 0}},
        {"second display",
         {2000, 100, 600, 400},
         {276, 163},
         {1920, 0, 1280, 1024},
         {2000 + 300 - 138, 100 + 200 - 81}},
        {"dialog wider and taller than the display",
         {0, 0, 800, 600},
         {1000, 700},
         {0, 0, 800, 600},
         {0, 0}},
        {"negative halves truncate toward zero",
         {-11, -11, 11, 11},
         {3, 3},
         {-100, -100, 200, 200},
         {-11 + 5 - 1, -11 + 5 - 1}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(CenteredOnMainWindow(C.Main, C.Dialog, C.Area), C.Expected);
    }
}

// Mouse events with explicit screen positions: while a window follows the pointer its local
// coordinates shift, so a test drives the screen position as a user's hand would.
void Mouse(QWidget* W, QEvent::Type Type, QPoint Global, Qt::MouseButton Button,
           Qt::MouseButtons Held) {
    const QPointF Local = W->mapFromGlobal(QPointF(Global));
    QMouseEvent E(Type, Local, Local, QPointF(Global), Button, Held, Qt::NoModifier);
    QApplication::sendEvent(W, &E);
}
void Press(QWidget* W, QPoint G, Qt::MouseButton B = Qt::LeftButton) {
    Mouse(W, QEvent::MouseButtonPress, G, B, B);
}
void MoveHeld(QWidget* W, QPoint G) {
    Mouse(W, QEvent::MouseMove, G, Qt::NoButton, Qt::LeftButton);
}
void Hover(QWidget* W, QPoint G) {
    Mouse(W, QEvent::MouseMove, G, Qt::NoButton, Qt::NoButton);
}
void Release(QWidget* W, QPoint G, Qt::MouseButton B = Qt::LeftButton) {
    Mouse(W, QEvent::MouseButtonRelease, G, B, Qt::NoButton);
}
void DoubleClick(QWidget* W, QPoint G) {
    Press(W, G);
    Release(W, G);
    Mouse(W, QEvent::MouseButtonDblClick, G, Qt::LeftButton, Qt::LeftButton);
    Release(W, G);
}

// Window-manager requests are simulated through the platform window; the offscreen platform
// carries them out itself, a bare X server without a window manager would not.
bool PlatformCarriesOutStateRequests() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// A window laid out as the main window's header: a drag panel with a caption that drags too,
// a caption that must not, a size grip and the maximise/restore pair.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        Window = std::make_unique<QWidget>();
        Frame = new TBorderlessFrame(Window.get());
        Header = new QWidget(Window.get());
        Header->setGeometry(0, 0, 400, 36);
        Caption = new QLabel(QStringLiteral("Vantorel"), Header);
        Caption->setGeometry(40, 4, 100, 28);
        Inert = new QLabel(QStringLiteral("Add Group"), Header);
        Inert->setGeometry(150, 4, 100, 28);
        Max = new QWidget(Header);
        Restore = new QWidget(Header);
        Grip = new QWidget(Window.get());
        Grip->setGeometry(384, 284, 16, 16);
        Frame->AddDragPart(Header);
        Frame->AddDragPart(Caption);
        Frame->AddInertPart(Inert);
        Frame->SetSizeGrip(Grip);
        Frame->SetMaximizeButtons(Max, Restore);
        Frame->SetDoubleClick([] { return true; });
        TBorderlessFrame::SetMainWindow(Window.get());
        Window->setGeometry(100, 80, 400, 300);
        Window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
    }
    void TearDown() override { TBorderlessFrame::SetMainWindow(nullptr); }

    void ExpectMaxButtonShowing(bool Showing) {
        EXPECT_EQ(Max->isVisibleTo(Window.get()), Showing);
        EXPECT_EQ(Restore->isVisibleTo(Window.get()), !Showing);
    }

    std::unique_ptr<QWidget> Window;
    TBorderlessFrame* Frame = nullptr;
    QWidget* Header = nullptr;
    QLabel* Caption = nullptr;
    QLabel* Inert = nullptr;
    QWidget* Max = nullptr;
    QWidget* Restore = nullptr;
    QWidget* Grip = nullptr;
};

TEST_F(FrameTest, HeaderAndItsCaptionDragTheWindowWithTheLeftButtonOnly) {
    EXPECT_TRUE(Window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(Frame->FHeaderDrag.Idle());

    Press(Header, {150, 90});
    EXPECT_EQ(Frame->FHeaderDrag, (TFrameDrag{150, 90, 100, 80}));
    MoveHeld(Header, {170, 70});
    EXPECT_EQ(Window->pos(), QPoint(120, 60));
    MoveHeld(Header, {100, 100});
    EXPECT_EQ(Window->pos(), QPoint(50, 90));
    Release(Header, {100, 100});
    EXPECT_TRUE(Frame->FHeaderDrag.Idle());
    Hover(Header, {300, 300}); // after a completed drag, passing over moves nothing
    EXPECT_EQ(Window->pos(), QPoint(50, 90));

    // The caption label is part of the header.
    Press(Caption, {120, 100});
    MoveHeld(Caption, {130, 110});
    Release(Caption, {130, 110});
    EXPECT_EQ(Window->pos(), QPoint(60, 100));

    // A secondary press starts no drag, and its release still clears the record.
    Frame->FHeaderDrag = {1, 2, 3, 4};
    Press(Header, {150, 120}, Qt::RightButton);
    EXPECT_EQ(Frame->FHeaderDrag, (TFrameDrag{1, 2, 3, 4}));
    Release(Header, {150, 120}, Qt::RightButton);
    EXPECT_TRUE(Frame->FHeaderDrag.Idle());
    MoveHeld(Header, {250, 220});
    EXPECT_EQ(Window->pos(), QPoint(60, 100));

    // The caption that is not a drag part swallows the press: the window stays put.
    Press(Inert, {220, 110});
    MoveHeld(Inert, {260, 160});
    Release(Inert, {260, 160});
    EXPECT_TRUE(Frame->FHeaderDrag.Idle());
    EXPECT_EQ(Window->pos(), QPoint(60, 100));
}

TEST_F(FrameTest, MaximisedWindowIsNotDraggedAndKeepsItsRecordUntilRestored) {
    Press(Header, {150, 90});
    Frame->btnMaximizeClick();
    ASSERT_TRUE(Window->isMaximized());
    const QPoint MaxPos = Window->pos();
    MoveHeld(Header, {300, 300});
    EXPECT_EQ(Window->pos(), MaxPos);
    Release(Header, {300, 300});
    EXPECT_FALSE(Frame->FHeaderDrag.Idle()) << "released while maximised: record kept";

    Frame->btnRestoreClick();
    ASSERT_FALSE(Window->isMaximized());
    const QPoint Restored = Window->pos();
    Hover(Header, {400, 400}); // the stale record does not make the window follow a hover
    EXPECT_EQ(Window->pos(), Restored);
}

TEST_F(FrameTest, GripResizesDownToTheMinimumAndReportsTheRelease) {
    Window->setMinimumSize(833, 560);
    Window->resize(1050, 700);
    int Released = 0;
    Frame->OnGripReleased = [&] { ++Released; };
    const QPoint At = Grip->mapToGlobal(QPoint(8, 8));

    Press(Grip, At, Qt::RightButton);
    EXPECT_TRUE(Frame->FGripDrag.Idle());
    Release(Grip, At, Qt::RightButton);

    Press(Grip, At);
    EXPECT_EQ(Frame->FGripDrag, (TFrameDrag{At.x(), At.y(), 1050, 700}));
    MoveHeld(Grip, At + QPoint(-100, -50));
    EXPECT_EQ(Window->size(), QSize(950, 650)) << "follows the pointer while held";
    MoveHeld(Grip, At + QPoint(-400, -300));
    EXPECT_EQ(Window->size(), QSize(833, 560));
    MoveHeld(Grip, At + QPoint(-400, 30));
    EXPECT_EQ(Window->size(), QSize(833, 730));
    MoveHeld(Grip, At + QPoint(10, 20));
    EXPECT_EQ(Window->size(), QSize(1060, 720));
    EXPECT_EQ(Released, 1) << "the secondary-button release also ends a (non-)drag";
    Release(Grip, At + QPoint(10, 20));
    EXPECT_EQ(Released, 2);
    EXPECT_TRUE(Frame->FGripDrag.Idle());
    EXPECT_EQ(Grip->cursor().shape(), Qt::SizeFDiagCursor);
}

TEST_F(FrameTest, DoubleClickAndButtonsToggleMaximisedAndSwapThePair) {
    ExpectMaxButtonShowing(true);
    DoubleClick(Header, {150, 90});
    EXPECT_TRUE(Window->isMaximized());
    ExpectMaxButtonShowing(false);
    DoubleClick(Header, {150, 10});
    EXPECT_FALSE(Window->isMaximized());
    ExpectMaxButtonShowing(true);

    // Windows whose double-click is off (or not handled) ignore it.
    for (bool Handled : {true, false}) {
        SCOPED_TRACE(Handled);
        Frame->SetDoubleClick(Handled ? std::function<bool()>([] { return false; }) : nullptr);
        DoubleClick(Header, Window->mapToGlobal(QPoint(200, 10)));
        EXPECT_FALSE(Window->isMaximized());
        ExpectMaxButtonShowing(true);
    }

    // Minimised: a double-click does nothing.
    Frame->SetDoubleClick([] { return true; });
    Window->setWindowState(Qt::WindowMinimized);
    Frame->PanelHeaderDblClick();
    EXPECT_TRUE(Window->isMinimized());
    EXPECT_FALSE(Window->isMaximized());
}

TEST_F(FrameTest, SystemCommandsCompareTheWholeWord) {
    struct Case {
        std::uint32_t Command;
        bool Handled;
    };
    const Case Cases[] = {{SC_MINIMIZE, true},       {SC_MINIMIZE | 1, false},
                          {SC_MAXIMIZE, true},       {SC_MAXIMIZE | 2, false},
                          {SC_RESTORE, true},        {SC_RESTORE | 0xF, false},
                          {0xF060 /*close*/, false}, {0xF010 /*move*/, false}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << std::hex << C.Command);
        EXPECT_EQ(Frame->SystemCommand(C.Command), C.Handled);
        Window->setWindowState(Qt::WindowNoState);
    }
}

TEST_F(FrameTest, WindowManagerMaximiseLeavesTheMaximiseButtonShowing) {
    if (!PlatformCarriesOutStateRequests()) {
        GTEST_SKIP() << "needs a platform that carries out window state requests";
    }
    Window->windowHandle()->setWindowStates(Qt::WindowMaximized);
    QTest::qWait(4 * TBorderlessFrame::StateSettleMs);
    ASSERT_TRUE(Window->isMaximized());
    ExpectMaxButtonShowing(true);

    Frame->btnMaximizeClick(); // stays maximised, then swaps the pair
    EXPECT_TRUE(Window->isMaximized());
    ExpectMaxButtonShowing(false);
}

TEST_F(FrameTest, MinimiseAndRestoreActOnTheWholeApplication) {
    if (!PlatformCarriesOutStateRequests()) {
        GTEST_SKIP() << "needs a platform that carries out window state requests";
    }
    QWidget Dialog;
    TBorderlessFrame DialogFrame(&Dialog);
    Dialog.setGeometry(10, 10, 200, 100);
    Dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    Frame->btnMaximizeClick();

    // The main window's minimise button takes every window down.
    Frame->btnMinimizeClick();
    EXPECT_TRUE(Window->isMinimized());
    EXPECT_TRUE(Dialog.isMinimized());
    EXPECT_TRUE(DialogFrame.SystemCommand(SC_RESTORE));
    EXPECT_FALSE(Dialog.isMinimized());
    EXPECT_TRUE(Window->isMaximized()) << "comes back as it was";
    EXPECT_FALSE(Window->isMinimized());

    // A dialog's own minimise affects only the dialog.
    DialogFrame.btnMinimizeClick();
    EXPECT_TRUE(Dialog.isMinimized());
    EXPECT_FALSE(Window->isMinimized());
    Dialog.windowHandle()->setWindowStates(Qt::WindowNoState); // brought back by the user
    QTest::qWait(4 * TBorderlessFrame::StateSettleMs);
    EXPECT_FALSE(Dialog.isMinimized());

    // The window manager minimising the dialog stands for the minimise command.
    Dialog.windowHandle()->setWindowStates(Qt::WindowMinimized);
    // The frame acts once the state has settled: on a busy machine that takes longer.
    QTest::qWaitFor([&] { return Window->isMinimized(); }, 5000);
    EXPECT_TRUE(Window->isMinimized());
    EXPECT_TRUE(Dialog.isMinimized());
    TBorderlessFrame::RestoreApplication();
    EXPECT_FALSE(Dialog.isMinimized()) << "the window the request came from comes back too";
    EXPECT_FALSE(Window->isMinimized());

    // The window manager maximising a dialog maximises the main window instead.
    Frame->btnRestoreClick();
    Dialog.windowHandle()->setWindowStates(Qt::WindowMaximized);
    QTest::qWaitFor([&] { return Window->isMaximized() && !Dialog.isMaximized(); }, 5000);
    EXPECT_TRUE(Window->isMaximized());
    EXPECT_FALSE(Dialog.isMaximized());
}

TEST_F(FrameTest, CenterOnMainWindowPlacesADialogOverTheMainWindow) {
    const QRect Screen = Window->screen()->availableGeometry();
    QWidget Dialog;
    TBorderlessFrame DialogFrame(&Dialog);
    Dialog.resize(276, 163);
    Window->setGeometry(Screen.left() + 40, Screen.top() + 30, 500, 400);
    DialogFrame.CenterOnMainWindow();
    EXPECT_EQ(Dialog.pos(), QPoint(Screen.left() + 40 + 250 - 138, Screen.top() + 30 + 200 - 81));

    Window->move(Screen.right() - 100, Screen.top() + 30); // mostly off the right edge
    DialogFrame.CenterOnMainWindow();
    EXPECT_EQ(Dialog.frameGeometry().right(), Screen.right());
}

} // namespace

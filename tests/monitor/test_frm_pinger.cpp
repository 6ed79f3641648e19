// The monitor window: controls and their look, caption and indicator, closing, opacity, small
// sizes, and a rendering of a window with canned results (monitor-window.png in the test-output
// folder).
#include "icmp_dll.h"
#include "monitor_test_support.h"
#include "uFrmPinger.h"
#include "uUiInvoker.h"
#include "zsImageButton.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// A window whose loop never reaches it: results are fed by hand. Windows whose loop runs get
// the real clock (the loop then just sleeps through its period until it is stopped); those fed
// by hand get a fake one.
TfrmPinger* NewWindow(const std::shared_ptr<TClock>& Clock) {
    auto* W = new TfrmPinger(Clock);
    W->Session().SetEchoFunction([](const std::string&, const std::string&, TReplyBuffer&,
                                    std::int32_t, std::string&) { throw EPingError("offline"); });
    W->Session().SetSyncInvoker([](const std::function<void()>&) {});
    return W;
}

void FlushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QColor TextColor(const QLabel* L) {
    return L->palette().color(QPalette::WindowText);
}

class FrmPingerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Window = NewWindow(Clock);
        Window->Session().SetTimeOutMS(5000);
    }
    void TearDown() override {
        delete Window.data();
        FlushDeletes();
    }

    void Feed(int RoundTrip, TPingStatus Status = PING_STATUS_REQ_TIMED_OUT) {
        Clock->Advance(1000);
        Window->Session().PingDone(MakeResult(*Clock, 0, RoundTrip, Status));
    }

    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    QPointer<TfrmPinger> Window;
};

TEST_F(FrmPingerTest, CreatedWindowHasTheDesignLayoutAndLook) {
    EXPECT_EQ(Window->size(), QSize(250, 180));
    struct Placement {
        const char* Name;
        QWidget* Control;
        QRect Expected;
    };
    const Placement Controls[] = {
        {"PanelTop", Window->PanelTop, {0, 0, 250, 18}},
        {"zsbImgPing", Window->zsbImgPing, {2, 1, 16, 16}},
        {"zsibClose", Window->zsibClose, {233, 1, 16, 16}},
        {"lbHeader", Window->lbHeader, {19, 1, 213, 16}},
        {"Image32", Window->Image32, {0, 18, 250, 144}},
        {"pnlBottom", Window->pnlBottom, {0, 162, 250, 18}},
    };
    for (const Placement& P : Controls) {
        SCOPED_TRACE(P.Name);
        EXPECT_EQ(P.Control->geometry(), P.Expected);
    }
    EXPECT_EQ(Window->lbHeader->text(), QStringLiteral("Monitor"));
    EXPECT_EQ(Window->lbHeader->alignment(), Qt::AlignCenter);
    EXPECT_TRUE(Window->lbHeader->font().bold());
    EXPECT_EQ(TextColor(Window->lbHeader), QColor(255, 192, 0)) << "no result yet: off line";
    EXPECT_EQ(Window->lbUpTime->text(), QStringLiteral("Uptime: 0.0%"));
    EXPECT_EQ(TextColor(Window->lbUpTime), QColor(176, 192, 0));
    EXPECT_TRUE(Window->lbStatus->text().isEmpty());
    EXPECT_TRUE(Window->lbStatus->alignment() & Qt::AlignRight);

    EXPECT_TRUE(Window->zsbImgPing->Disabled());
    EXPECT_EQ(Window->zsbImgPing->ClickMovement(), 0);
    EXPECT_FALSE(Window->zsibClose->Disabled());
    EXPECT_EQ(Window->zsibClose->ClickMovement(), 1);
    EXPECT_EQ(Window->zsibClose->ImageIndex(), 0);
    EXPECT_EQ(Window->zsbImgPing->ImageIndex(), 1);

    // The graph area shows the composed raster, unscaled, at its own size.
    EXPECT_EQ(Window->Image32->Image().size(), QSize(250, 144));
    EXPECT_EQ(Window->Session().Graph().PlotRect().Right, 235);
    EXPECT_EQ(Window->Session().Graph().PlotRect().Bottom, 114);

    const QImage Header = Window->PanelTop->grab().toImage();
    EXPECT_EQ(QColor(Header.pixel(100, 0)), QColor(58, 58, 58)) << "border";
    // The gradient fills the rows inside the border, from its start colour to its end colour.
    EXPECT_EQ(QColor(Header.pixel(100, 17)), QColor(58, 58, 58)) << "border";
    EXPECT_EQ(QColor(Header.pixel(100, 1)), QColor(40, 40, 40)) << "gradient starts light";
    EXPECT_EQ(QColor(Header.pixel(100, 16)), QColor(12, 12, 12)) << "and ends dark";
    for (int Y = 2; Y <= 16; ++Y)
        EXPECT_LE(qRed(Header.pixel(21, Y)), qRed(Header.pixel(21, Y - 1))) << Y;
    EXPECT_EQ(QColor(Window->pnlBottom->grab().toImage().pixel(200, 9)).rgb(),
              QColor(13, 13, 13).rgb());
}

TEST(FrmPinger, CaptionFollowsTheDisplayName) {
    std::unique_ptr<TfrmPinger> Window(NewWindow(nullptr));
    struct Step {
        const char* Name;
        std::function<void(TfrmPinger&)> Do;
        const char* Caption;
    };
    const Step Steps[] = {
        {"started without a friendly name",
         [](TfrmPinger& W) { W.Session().BeginMonitor("localhost", ""); }, "localhost"},
        {"friendly name of blanks", [](TfrmPinger& W) { W.Session().SetFriendlyName(" \t "); },
         "localhost"},
        {"friendly name kept with its blanks",
         [](TfrmPinger& W) { W.Session().SetFriendlyName(" Gw "); }, " Gw "},
        {"stopped", [](TfrmPinger& W) { W.Session().StopMonitor(); }, "Ping Monitor"},
        {"started with a friendly name",
         [](TfrmPinger& W) { W.Session().BeginMonitor("127.0.0.1", "Loopback"); }, "Loopback"},
    };
    for (const Step& S : Steps) {
        SCOPED_TRACE(S.Name);
        S.Do(*Window);
        EXPECT_EQ(Window->lbHeader->text(), QString::fromUtf8(S.Caption));
    }
}

TEST_F(FrmPingerTest, IndicatorLightsWhileARequestIsOutAndResultsColourTheTexts) {
    Window->Session().BeforePing();
    EXPECT_FALSE(Window->zsbImgPing->Disabled());
    Feed(23);
    EXPECT_TRUE(Window->zsbImgPing->Disabled());
    EXPECT_EQ(Window->lbStatus->text(), QStringLiteral("Round trip : 23 ms"));
    EXPECT_EQ(TextColor(Window->lbStatus), QColor(0, 192, 0));
    EXPECT_EQ(TextColor(Window->lbHeader), QColor(0, 192, 0));
    EXPECT_EQ(Window->lbUpTime->text(), QStringLiteral("Uptime: 100.0%"));

    Window->Session().BeforePing();
    Feed(-1, PING_STATUS_REQ_TIMED_OUT);
    EXPECT_TRUE(Window->zsbImgPing->Disabled());
    EXPECT_EQ(Window->lbStatus->text(), QStringLiteral("REQ_TIMED_OUT"));
    EXPECT_EQ(TextColor(Window->lbStatus), QColor(208, 32, 0));
    EXPECT_EQ(TextColor(Window->lbHeader), QColor(208, 32, 0));
    EXPECT_EQ(Window->lbUpTime->text(), QStringLiteral("Uptime: 50.0%"));

    // A full redraw without a result colours the caption by the on-line state.
    Window->Session().SetSpan(300);
    EXPECT_EQ(TextColor(Window->lbHeader), QColor(255, 192, 0));

    // A monitor that is not drawing leaves its indicator alone.
    Window->Session().SetDrawEnabled(false);
    Window->Session().BeforePing();
    EXPECT_TRUE(Window->zsbImgPing->Disabled());
}

TEST(FrmPinger, EscAndTheCloseButtonCloseOnceAndDifferInOneEvent) {
    struct Case {
        const char* Name;
        bool ByButton;
        int ClicksOrKeys;
        int CloseClicked;
    };
    const Case Cases[] = {{"Esc", false, 1, 0},
                          {"close button", true, 1, 1},
                          {"close button clicked twice", true, 2, 1},
                          {"Esc twice", false, 2, 0}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        QPointer<TfrmPinger> W = NewWindow(nullptr);
        W->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(W.data()));
        W->Session().BeginMonitor("localhost", "");
        ASSERT_NE(W->Session().LoopThread(), nullptr);
        QStringList Events;
        W->OnMonitorClosed = [&](TfrmPinger& S) {
            Events << QStringLiteral("closed:") + QString::fromStdString(S.Session().Target());
        };
        W->OnCloseClicked = [&](TfrmPinger& S) {
            // Still alive: the notifications may use the window.
            Events << QStringLiteral("clicked:") + S.lbHeader->text();
        };
        for (int i = 0; i < C.ClicksOrKeys; ++i) {
            if (C.ByButton) {
                QTest::mouseClick(W->zsibClose, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
            } else if (W) {
                QTest::keyClick(W.data(), Qt::Key_Escape);
            }
        }
        QStringList Expected{QStringLiteral("closed:")}; // stopped before the event
        if (C.CloseClicked) {
            Expected << QStringLiteral("clicked:Ping Monitor");
        }
        EXPECT_EQ(Events, Expected);
        ASSERT_TRUE(W) << "freed only after the close handling has returned";
        EXPECT_EQ(W->Session().LoopThread(), nullptr);
        EXPECT_FALSE(W->isVisible());
        FlushDeletes();
        EXPECT_FALSE(W);
    }
}

// Embedded in a panel that goes first, the monitor still stops and reports its close once, while
// it is whole; a monitor already closed reports nothing more.
TEST(FrmPinger, AMonitorWhosePanelGoesFirstReportsItsCloseOnce) {
    for (const bool ClosedFirst : {false, true}) {
        SCOPED_TRACE(ClosedFirst ? "closed, then the panel went" : "the panel went");
        auto* Panel = new QWidget;
        QPointer<TfrmPinger> W = NewWindow(nullptr);
        W->setParent(Panel);
        W->Session().BeginMonitor("localhost", "");
        Panel->show();
        int Closed = 0;
        bool Stopped = false;
        QString Caption;
        W->OnMonitorClosed = [&](TfrmPinger& S) {
            ++Closed;
            Stopped = S.Session().LoopThread() == nullptr && S.Session().Target().empty();
            Caption = S.lbHeader->text();
        };
        if (ClosedFirst) {
            W->close();
            ASSERT_TRUE(W); // its deferred delete has not run
        }
        delete Panel;
        EXPECT_FALSE(W);
        EXPECT_EQ(Closed, 1);
        EXPECT_TRUE(Stopped);
        EXPECT_EQ(Caption, QStringLiteral("Ping Monitor"));
        FlushDeletes();
    }
}

TEST_F(FrmPingerTest, CtrlMakesTheWindowTranslucentUntilReleasedOrReactivated) {
    Window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window.data()));
    EXPECT_FALSE(Window->AlphaBlend());
    EXPECT_EQ(Window->AlphaBlendValue(), 255);

    QTest::keyPress(Window.data(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_TRUE(Window->AlphaBlend());
    EXPECT_EQ(Window->AlphaBlendValue(), 50);
    EXPECT_NEAR(Window->windowOpacity(), 50 / 255.0, 0.01);
    QTest::keyRelease(Window.data(), Qt::Key_Control, Qt::NoModifier);
    EXPECT_FALSE(Window->AlphaBlend());
    EXPECT_EQ(Window->AlphaBlendValue(), 255);
    EXPECT_DOUBLE_EQ(Window->windowOpacity(), 1.0);

    for (QEvent::Type Activation : {QEvent::WindowActivate, QEvent::WindowDeactivate}) {
        QTest::keyPress(Window.data(), Qt::Key_Control, Qt::ControlModifier);
        ASSERT_TRUE(Window->AlphaBlend());
        QEvent Change(QEvent::ActivationChange);
        QApplication::sendEvent(Window.data(), &Change);
        EXPECT_FALSE(Window->AlphaBlend()) << Activation;
        QTest::keyRelease(Window.data(), Qt::Key_Control, Qt::NoModifier);
    }

    // Embedded in a panel there is no window opacity: the monitor is drawn see-through.
    QWidget Panel;
    Window->setParent(&Panel);
    QTest::keyPress(Window.data(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(Window->AlphaBlendValue(), 50);
    EXPECT_NE(Window->graphicsEffect(), nullptr);
    QTest::keyRelease(Window.data(), Qt::Key_Control, Qt::NoModifier);
    EXPECT_EQ(Window->graphicsEffect(), nullptr);
    Window->setParent(nullptr);
}

TEST_F(FrmPingerTest, ResizingRedrawsAndSmallWindowsKeepHeaderAndStatusLine) {
    struct Case {
        QSize Size;
        int GraphHeight;
        QSize Plot;
    };
    const Case Cases[] = {{{400, 300}, 264, {335, 216}}, {{66, 85}, 49, {1, 1}},
                          {{65, 84}, 48, {0, 0}},        {{60, 50}, 14, {0, 0}},
                          {{40, 30}, 0, {0, 0}},         {{250, 180}, 144, {185, 96}}};
    Feed(10);
    QWidget Panel; // embedded, as the main window keeps it, so no window-system minimum applies
    Window->setParent(&Panel);
    Panel.show();
    Window->show();
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Size.width() << "x" << C.Size.height());
        Window->resize(C.Size);
        EXPECT_EQ(Window->Image32->height(), C.GraphHeight);
        EXPECT_EQ(QSize(Window->Session().ComposedBitmap().Width(),
                        Window->Session().ComposedBitmap().Height()),
                  QSize(C.Size.width(), C.GraphHeight));
        EXPECT_EQ(QSize(Window->Session().Graph().Plot().Width(),
                        Window->Session().Graph().Plot().Height()),
                  C.Plot);
        EXPECT_EQ(Window->PanelTop->geometry(), QRect(0, 0, C.Size.width(), 18));
        EXPECT_EQ(Window->pnlBottom->geometry(),
                  QRect(0, qMax(18, C.Size.height() - 18), C.Size.width(), 18));
        EXPECT_EQ(Window->zsibClose->x(), C.Size.width() - 17);
        EXPECT_EQ(Window->lbUpTime->text(), QStringLiteral("Uptime: 100.0%"));
    }
}

TEST_F(FrmPingerTest, GraphPressReachesTheOwnersHandlerAndFocusesTheMonitor) {
    Window->show();
    QApplication::setActiveWindow(Window.data());
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.data()));
    std::vector<std::pair<Qt::MouseButton, QPoint>> Presses;
    Window->Image32->OnMouseDown = [&](Qt::MouseButton B, Qt::KeyboardModifiers, QPoint At) {
        Presses.emplace_back(B, At);
    };
    QTest::mouseClick(Window->Image32, Qt::LeftButton, Qt::NoModifier, QPoint(30, 40));
    QTest::mouseClick(Window->Image32, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
    ASSERT_EQ(Presses.size(), 2u);
    EXPECT_EQ(Presses[0], std::make_pair(Qt::LeftButton, QPoint(30, 40)));
    EXPECT_EQ(Presses[1], std::make_pair(Qt::RightButton, QPoint(5, 6)));
    EXPECT_TRUE(Window->hasFocus()) << "so that Esc and Ctrl reach it";
}

TEST(FrmPingerPicture, WritesAMonitorWindowWithCannedResults) {
    auto Clock = std::make_shared<FakeClock>();
    std::unique_ptr<TfrmPinger> W(NewWindow(Clock));
    W->Session().BeginMonitor("localhost", "Loopback");
    W->Session().SetTimeOutMS(5000);
    W->Session().SetSpan(60);
    W->Session().SetRange(-1);
    W->resize(480, 300);
    // A minute of round trips: a steady line, a spike, a run of failures, then a recovery.
    for (int i = 0; i < 64; ++i) {
        Clock->Advance(1000);
        int RoundTrip = 8 + (i * 7) % 5;
        if (i == 20) {
            RoundTrip = 21;
        }
        if (i >= 36 && i < 42) {
            RoundTrip = -1;
        }
        W->Session().BeforePing();
        W->Session().PingDone(
            MakeResult(*Clock, 0, RoundTrip, PING_STATUS_REQ_TIMED_OUT, "localhost", "127.0.0.1"));
    }
    W->Session().BeforePing(); // a request is out: the indicator is lit
    W->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(W.get()));

    const QImage Shot = W->grab().toImage();
    EXPECT_EQ(Shot.size(), QSize(480, 300));
    EXPECT_EQ(W->lbHeader->text(), QStringLiteral("Loopback"));
    EXPECT_TRUE(W->lbStatus->text().startsWith(QStringLiteral("Round trip : ")));
    // The graph area is the composed raster pixel for pixel.
    const QImage Graph = Shot.copy(0, 18, 480, 264).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(Graph, W->Session().ComposedBitmap().Image().convertToFormat(QImage::Format_RGB32));

    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    ASSERT_TRUE(Shot.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/monitor-window.png")));
    W->resize(240, 170); // a tile beside the main panel
    ASSERT_TRUE(
        W->grab().toImage().save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/monitor-tile.png")));
}

} // namespace

// In a hidden panel (the tiles while the list view shows) a monitor keeps no picture and draws
// none, but its statistics and status line follow; once the panel shows, its graph is what it
// would have been had it been in sight all along.
TEST_F(FrmPingerTest, AMonitorOutOfSightDrawsNothingUntilShown) {
    QWidget Panel;
    Panel.resize(300, 200);
    Window->setParent(&Panel);
    Window->setGeometry(0, 0, 250, 180);
    Window->show(); // into a panel that is not shown
    Feed(20);
    Feed(30);
    EXPECT_EQ(Window->Session().Graph().Plot().Width(), 0);
    EXPECT_EQ(Window->Session().Graph().Background().Width(), 0);
    EXPECT_EQ(Window->lbStatus->text(), QStringLiteral("Round trip : 30 ms"));
    Window->Session().BeforePing(); // the indicator waits until it can be seen
    EXPECT_TRUE(Window->zsbImgPing->Disabled());

    Panel.show();
    ASSERT_TRUE(Window->isVisible());
    EXPECT_FALSE(Window->zsbImgPing->Disabled()); // a request is out
    EXPECT_EQ(Window->Session().Graph().Background().Width(), 250);

    QPointer<TfrmPinger> Seen = NewWindow(Clock);
    Seen->Session().SetTimeOutMS(5000);
    for (const TPingEventObj& S : {Window->Session().Samples()[1], Window->Session().Samples()[0]})
        Seen->Session().PingDone(S.Event());
    Seen->Session().RefreshDisplay();
    EXPECT_EQ(Window->Session().ComposedBitmap().Image(), Seen->Session().ComposedBitmap().Image());
    Feed(25); // in sight, the result puts the indicator out at once
    EXPECT_TRUE(Window->zsbImgPing->Disabled());

    Panel.hide(); // out of sight again: the rasters go
    EXPECT_EQ(Window->Session().Graph().Plot().Width(), 0);
    Window->setParent(nullptr);
    delete Seen.data();
}

namespace {

// An echo service whose requests wait for a permit each; Open() lets every one through (the
// loop may outlive the test's window and must end by itself).
class TGatedEcho {
public:
    TPingLoopThread::TEchoFunction Function() {
        return [State = FState](const std::string&, const std::string&, TReplyBuffer& Reply,
                                std::int32_t, std::string& Address) {
            std::unique_lock<std::mutex> Guard(State->Lock);
            ++State->Waiting;
            State->Cond.wait_for(Guard, std::chrono::seconds(20),
                                 [&] { return State->Open || State->Permits > 0; });
            --State->Waiting;
            if (!State->Open && State->Permits > 0) {
                --State->Permits;
            }
            ICMP_ECHO_REPLY R{};
            R.Status = IP_SUCCESS;
            R.RoundTripTime = 1;
            std::memcpy(Reply.data(), &R, sizeof R);
            Address = "127.0.0.1";
        };
    }
    void Permit(int Count) {
        std::lock_guard<std::mutex> Guard(FState->Lock);
        FState->Permits += Count;
        FState->Cond.notify_all();
    }
    void Open() {
        std::lock_guard<std::mutex> Guard(FState->Lock);
        FState->Open = true;
        FState->Cond.notify_all();
    }
    bool RequestWaiting() const {
        std::lock_guard<std::mutex> Guard(FState->Lock);
        return FState->Waiting > 0 && FState->Permits == 0;
    }

private:
    struct TState {
        std::mutex Lock;
        std::condition_variable Cond;
        int Permits = 0;
        int Waiting = 0;
        bool Open = false;
    };
    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

} // namespace

// A monitor nobody sees (its panel hidden, as the tiles are while the list view shows) or that
// does not draw has no use for the before-ping step: its loop hands the UI thread only the
// results. Seen and drawing again, the indicator is lit at once for the request already out,
// and the next requests are announced as before.
TEST(FrmPinger, AMonitorOutOfSightOrNotDrawingCostsTheUiThreadOneHandOverARequest) {
    struct Case {
        const char* Name;
        bool HiddenPanel; // else in sight with drawing switched off
    };
    for (const Case C : {Case{"panel hidden", true}, Case{"not drawing", false}}) {
        SCOPED_TRACE(C.Name);
        TGatedEcho Echo;
        auto HandOvers = std::make_shared<std::atomic<int>>(0);
        auto Invoker = std::make_shared<TUiInvoker>();
        QWidget Panel;
        Panel.resize(300, 200);
        QPointer<TfrmPinger> W = new TfrmPinger();
        W->setParent(&Panel);
        W->setGeometry(0, 0, 250, 180);
        W->show();
        if (!C.HiddenPanel) {
            Panel.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&Panel));
            W->Session().SetDrawEnabled(false);
        }
        W->Session().SetEchoFunction(Echo.Function());
        W->Session().SetSyncInvoker(
            [Inner = Invoker->Invoker(), HandOvers](const std::function<void()>& Fn) {
                ++*HandOvers;
                Inner(Fn);
            });
        W->Session().SetFrequency(0);
        W->Session().BeginMonitor("localhost", "");
        Echo.Permit(2);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return W->Session().Samples().size() == 2 && Echo.RequestWaiting(); }));
        EXPECT_EQ(HandOvers->load(), 2) << "the results alone";
        EXPECT_TRUE(W->zsbImgPing->Disabled());

        if (C.HiddenPanel) {
            Panel.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&Panel));
        } else {
            W->Session().SetDrawEnabled(true);
        }
        EXPECT_FALSE(W->zsbImgPing->Disabled()) << "the third request is out";
        Echo.Permit(1);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return W->Session().Samples().size() == 3 && Echo.RequestWaiting(); }));
        EXPECT_EQ(HandOvers->load(), 4) << "the third result, then the fourth request announced";
        EXPECT_FALSE(W->zsbImgPing->Disabled());

        W->Session().StopMonitor();
        Echo.Open();
        delete W.data();
        FlushDeletes();
    }
}

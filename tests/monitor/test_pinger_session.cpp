// The monitor session: start and stop, the timeout rule, pruning, names, settings handed to
// the loop thread, and the update event under the monitor lock.
#include "icmp_dll.h"
#include "monitor_test_support.h"
#include "uUiInvoker.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// A session whose window hooks count what they were told.
class TCountingSession : public TPingerSession {
public:
    using TPingerSession::TPingerSession;
    int Indicator = 0, Header = 0, StatusLine = 0, Graph = 0;

protected:
    void PingIndicatorChanged() override { ++Indicator; }
    void HeaderChanged() override { ++Header; }
    void StatusLineChanged() override { ++StatusLine; }
    void GraphChanged() override { ++Graph; }
};

template <class Pred>
bool ProcessEventsUntil(Pred Done, int TimeoutMs = 10000) {
    QElapsedTimer Timer;
    Timer.start();
    while (!Done()) {
        if (Timer.elapsed() > TimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

class SessionTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    THeldLoops Held;
    TCountingSession S{Clock};
    void SetUp() override {
        Held.Hold(S);
        S.SetTimeOutMS(5000);
    }
};

} // namespace

TEST_F(SessionTest, BeforeTheFirstResultTheMonitorReportsInitializing) {
    const TPingEvent E = S.LastEvent();
    EXPECT_EQ(E.Status, PING_STATUS_INITIALIZING);
    EXPECT_EQ(StatusName(E.Status), "INITIALIZING");
    EXPECT_EQ(E.IPAddress, "0.0.0.0");
    EXPECT_FALSE(E.Success);
    EXPECT_EQ(E.RoundTrip, -1);
    EXPECT_EQ(E.Time, Clock->Now());
    EXPECT_EQ(S.HeaderText(), QStringLiteral("Monitor"));
    EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 0.0%"));
    EXPECT_TRUE(S.StatusText().isEmpty());
    EXPECT_FALSE(S.OnLine());
    EXPECT_EQ(S.LoopThread(), nullptr);

    S.BeginMonitor("localhost", "");
    EXPECT_EQ(S.LastEvent().Status, PING_STATUS_INITIALIZING);
    EXPECT_EQ(S.Max(), 0);
    EXPECT_EQ(S.Min(), 16777215); // the start of the loop refreshes the statistics
}

TEST_F(SessionTest, ARepliesSlowerThanTheTimeoutFailsInTheGraphOnly) {
    const struct {
        int RoundTrip;
        bool SampleSuccess;
        const char* Status;
    } Cases[] = {{120, false, "REQ_TIMED_OUT"}, {100, true, "Round trip : 100 ms"}};
    S.BeginMonitor("localhost", "");
    S.SetTimeOutMS(100);
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.RoundTrip);
        const auto Before = S.LogStats();
        S.PingDone(MakeResult(*Clock, 0, C.RoundTrip));
        const TPingEventObj& Sample = S.Samples()[0];
        EXPECT_EQ(Sample.Success, C.SampleSuccess);
        EXPECT_EQ(Sample.Status, C.SampleSuccess ? 0 : 9);
        EXPECT_EQ(Sample.RoundTrip, C.RoundTrip);
        EXPECT_EQ(S.OnLine(), C.SampleSuccess);
        EXPECT_EQ(S.StatusText(), QString::fromLatin1(C.Status));
        // The last result and the log interval keep the reply as it came.
        EXPECT_TRUE(S.LastEvent().Success);
        EXPECT_EQ(S.LastEvent().RoundTrip, C.RoundTrip);
        EXPECT_EQ(S.LogStats().TripSum - Before.TripSum, C.RoundTrip);
        EXPECT_EQ(S.LogStats().UptimeSum - Before.UptimeSum, 100);
    }
}

TEST_F(SessionTest, PruningRunsAtEachSixHundredthSampleAndDropsWhat482MinutesOld) {
    S.SetDrawEnabled(false);
    S.PingDone(MakeResult(*Clock, 482 * 60, 5));         // goes
    S.PingDone(MakeResult(*Clock, 482 * 60 - 0.001, 5)); // 481 whole minutes: stays
    S.PingDone(MakeResult(*Clock, 600 * 60, 5));         // out of order and older: goes
    for (int I = 0; I < 596; ++I)
        S.PingDone(MakeResult(*Clock, 0, 5));
    ASSERT_EQ(S.Samples().size(), 599u); // no pruning yet
    S.PingDone(MakeResult(*Clock, 0, 5));
    ASSERT_EQ(S.Samples().size(), 598u);
    EXPECT_NEAR(S.Samples()[597].Time, Clock->Now() - (482 * 60 - 0.001) / 86400.0, 1e-9);
}

TEST_F(SessionTest, FriendlyNamesAndTheCaption) {
    S.BeginMonitor("host", "");
    EXPECT_EQ(S.DisplayName(), "host");
    EXPECT_EQ(S.HeaderText(), QStringLiteral("host"));
    const struct {
        const char* Name;
        const char* Shown;
    } Cases[] = {{"  ", "host"}, {"\t\r\n ", "host"}, {" web ", " web "}, {"", "host"}, {"x", "x"}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        S.SetFriendlyName(C.Name);
        EXPECT_EQ(S.DisplayName(), C.Shown);
        EXPECT_EQ(S.HeaderText(), QString::fromLatin1(C.Shown));
    }
    TCountingSession Named(Clock);
    Held.Hold(Named);
    Named.BeginMonitor("host", "Gateway");
    EXPECT_EQ(Named.HeaderText(), QStringLiteral("Gateway"));
}

TEST_F(SessionTest, StartingARunningMonitorResetsButKeepsTheLoopAndItsTarget) {
    S.BeginMonitor("first", "");
    TPingLoopThread* Loop = S.LoopThread();
    ASSERT_NE(Loop, nullptr);
    S.PingDone(MakeResult(*Clock, 0, 30));
    Clock->Advance(5000);
    S.StartPingLoop("second");
    EXPECT_EQ(S.LoopThread(), Loop);
    EXPECT_EQ(Loop->Target(), "first");
    EXPECT_EQ(S.Target(), "second");
    const TPingLogAvg T = S.LogStats();
    EXPECT_EQ(T.SampleCount, 0);
    EXPECT_EQ(T.Host, "second");
    EXPECT_EQ(T.StartTime, Clock->Now());
    EXPECT_TRUE(S.AddressText().empty());
    EXPECT_EQ(S.Max(), 30); // the samples stay and the refresh recomputes
}

TEST_F(SessionTest, StopMonitorClearsAndCanBeRepeated) {
    S.BeginMonitor("localhost", "");
    S.PingDone(MakeResult(*Clock, 0, 30));
    const int Graphs = S.Graph;
    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE(Round);
        S.StopMonitor();
        EXPECT_EQ(S.LoopThread(), nullptr);
        EXPECT_TRUE(S.Samples().empty());
        EXPECT_TRUE(S.Target().empty());
        EXPECT_TRUE(S.AddressText().empty());
        EXPECT_EQ(S.HeaderText(), QStringLiteral("Ping Monitor"));
        EXPECT_EQ(S.Graph, Graphs + Round + 1);
        // What the main window's list shows stays.
        EXPECT_TRUE(S.OnLine());
        EXPECT_EQ(S.LastEvent().RoundTrip, 30);
        EXPECT_EQ(S.DisplayName(), "localhost");
        EXPECT_EQ(S.LogStats().SampleCount, 1);
    }
}

TEST(SessionPayloadTest, PayloadRunsFromBangToTildeAndStartsAgain) {
    std::string Want;
    for (char C = '!'; C <= '~'; ++C)
        Want += C;
    Want += '!';
    EXPECT_EQ(TPingerSession::MakePayload(95), Want);
    EXPECT_EQ(TPingerSession::MakePayload(1), "!");
    EXPECT_EQ(TPingerSession::MakePayload(0), "");
    EXPECT_EQ(TPingerSession::MakePayload(-3), "");
}

TEST_F(SessionTest, SettingsAreKeptAndReachTheRunningLoop) {
    // A loop started before any timeout is set waits 3000 ms for a reply.
    S.SetTimeOutMS(0);
    S.BeginMonitor("localhost", "");
    EXPECT_EQ(S.LoopThread()->Frequency(), 1000);
    EXPECT_EQ(S.LoopThread()->TimeOut(), 3000);
    EXPECT_EQ(S.LoopThread()->Payload(), "");
    S.StopMonitor();

    // Settings made while stopped are kept and taken by the next loop.
    S.SetFrequency(250);
    S.SetTimeOutMS(700);
    S.SetPayloadSize(3);
    S.BeginMonitor("localhost", "");
    TPingLoopThread* Loop = S.LoopThread();
    EXPECT_EQ(Loop->Frequency(), 250);
    EXPECT_EQ(Loop->TimeOut(), 700);
    EXPECT_EQ(Loop->Payload(), "!\"#");

    S.SetFrequency(2000);
    S.SetTimeOutMS(900);
    S.SetPayloadSize(95);
    EXPECT_EQ(Loop->Frequency(), 2000);
    EXPECT_EQ(Loop->TimeOut(), 900);
    EXPECT_EQ(Loop->Payload(), TPingerSession::MakePayload(95));
    EXPECT_EQ(S.Frequency(), 2000);
    EXPECT_EQ(S.TimeOutMS(), 900);
    EXPECT_EQ(S.PayloadSize(), 95);
}

TEST_F(SessionTest, RangeReportsTheSettingAndDisplayRangeThePickInUse) {
    S.BeginMonitor("localhost", "");
    S.PingDone(MakeResult(*Clock, 0, 11));
    EXPECT_EQ(S.Range(), -1);
    EXPECT_EQ(S.DisplayRange(), 25);
    S.SetRange(100);
    EXPECT_EQ(S.Range(), 100);
    EXPECT_EQ(S.DisplayRange(), 100);
    S.PingDone(MakeResult(*Clock, 0, 300)); // a fixed range stays put
    EXPECT_EQ(S.DisplayRange(), 100);
    S.SetRange(TPingerSession::AutoRange);
    EXPECT_EQ(S.DisplayRange(), 500);
}

TEST_F(SessionTest, ThePingIndicatorFollowsTheRequestWhileDrawing) {
    S.BeforePing();
    EXPECT_TRUE(S.PingIndicatorEnabled());
    S.PingDone(MakeResult(*Clock, 0, -1));
    EXPECT_FALSE(S.PingIndicatorEnabled());
    EXPECT_EQ(S.Indicator, 2);

    S.SetDrawEnabled(false);
    const int Graphs = S.Graph;
    S.BeforePing();
    S.PingDone(MakeResult(*Clock, 0, 40));
    EXPECT_EQ(S.Indicator, 2);
    EXPECT_EQ(S.Graph, Graphs); // statistics only
    EXPECT_EQ(S.Max(), 40);
}

TEST_F(SessionTest, TheUpdateEventRunsUnderTheMonitorLockAndAFailingHandlerReachesTheCaller) {
    S.BeginMonitor("localhost", "");
    S.SetTimeOutMS(1000);
    int Calls = 0;
    bool LockedElsewhere = true;
    S.OnMonitorUpdated = [&](TPingerSession& Sender) {
        ++Calls;
        EXPECT_EQ(&Sender, &S);
        // The handler reads through the accessors that take the same lock.
        EXPECT_EQ(Sender.TimeOutMS(), 1000);
        EXPECT_EQ(Sender.LastEvent().RoundTrip, 12);
        std::thread([&] {
            LockedElsewhere = !Sender.StatsLock().try_lock();
            if (!LockedElsewhere)
                Sender.StatsLock().unlock();
        }).join();
    };
    S.PingDone(MakeResult(*Clock, 0, 12));
    EXPECT_EQ(Calls, 1);
    EXPECT_TRUE(LockedElsewhere);

    S.OnMonitorUpdated = [](TPingerSession&) { throw std::runtime_error("handler failed"); };
    // Not hidden: the loop that delivered the result reports the failure.
    EXPECT_THROW(S.PingDone(MakeResult(*Clock, 0, 12)), std::runtime_error);
    EXPECT_EQ(S.Samples().size(), 2u);
    // The lock was released on the way out.
    std::thread([&] {
        EXPECT_TRUE(S.StatsLock().try_lock());
        S.StatsLock().unlock();
    }).join();
}

// The real loop thread with an echo service that answers from memory.
TEST(SessionLoopTest, ResultsArriveThroughTheLoopAndClosingWhileItWaitsIsSafe) {
    // Loops of earlier tests end on their own after their monitors went; let them.
    QElapsedTimer Settle;
    Settle.start();
    while (TPingLoopThread::RunningCount() > 0 && Settle.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int Running = TPingLoopThread::RunningCount();
    auto Clock = std::make_shared<FakeClock>();
    Clock->SetAutoAdvance(true);
    std::string SeenPayload;
    std::int32_t SeenTimeOut = 0;
    std::mutex SeenLock;
    {
        TPingerSession S(Clock);
        S.SetEchoFunction([&](const std::string& Target, const std::string& Payload,
                              TReplyBuffer& Reply, std::int32_t TimeOut, std::string& Address) {
            {
                std::lock_guard<std::mutex> Guard(SeenLock);
                SeenPayload = Payload;
                SeenTimeOut = TimeOut;
            }
            ICMP_ECHO_REPLY R{};
            R.Status = IP_SUCCESS;
            R.RoundTripTime = 7;
            std::memcpy(Reply.data(), &R, sizeof R);
            Address = Target == "localhost" ? "127.0.0.1" : "";
        });
        S.SetTimeOutMS(5000);
        int Updates = 0;
        S.OnMonitorUpdated = [&](TPingerSession&) { ++Updates; };
        S.BeginMonitor("localhost", "");
        // The first request waits for the UI thread, so these settings already apply to it.
        S.SetTimeOutMS(4000);
        S.SetPayloadSize(16);
        ASSERT_TRUE(ProcessEventsUntil([&] { return Updates >= 3; }));
        EXPECT_EQ(S.Samples()[0].RoundTrip, 7);
        EXPECT_EQ(S.Samples()[0].IPAddress(), "127.0.0.1");
        EXPECT_EQ(S.AddressText(), "127.0.0.1");
        EXPECT_TRUE(S.LastEvent().Success);
        {
            std::lock_guard<std::mutex> Guard(SeenLock);
            EXPECT_EQ(SeenPayload, TPingerSession::MakePayload(16));
            EXPECT_EQ(SeenTimeOut, 4000);
        }
        // Let the loop block on its next hand-over, then close without serving it.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    QElapsedTimer Timer;
    Timer.start();
    while (TPingLoopThread::RunningCount() > Running && Timer.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(TPingLoopThread::RunningCount(), Running);
}

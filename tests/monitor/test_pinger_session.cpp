// The monitor session: start and stop, the timeout rule, pruning, names, settings handed to
// the loop thread, and the update event under the monitor lock.
#include "icmp_dll.h"
#include "monitor_test_support.h"
#include "uUiInvoker.h"
#include "zsWorkerThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

namespace {

// A session whose view counts what it was told.
class TCountingSession : public TPingerSession, private TPingerSessionView {
public:
    explicit TCountingSession(std::shared_ptr<TClock> Clock) : TPingerSession(std::move(Clock)) {
        SetView(this);
    }
    int Indicator = 0, Header = 0, StatusLine = 0, Graph = 0;

private:
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

TEST_F(SessionTest, TheUpdateEventRunsWithTheLockReleasedAndAFailingHandlerReachesTheCaller) {
    S.BeginMonitor("localhost", "");
    S.SetTimeOutMS(1000);
    int Calls = 0;
    bool LockedElsewhere = true;
    S.OnMonitorUpdated = [&](TPingerSession& Sender) {
        ++Calls;
        EXPECT_EQ(&Sender, &S);
        // The snapshot the views read holds the result with its statistics.
        const TMonitorSnapshot& Shot = Sender.Snapshot();
        EXPECT_EQ(Shot.DisplayName, "localhost");
        EXPECT_EQ(Shot.LastEvent.RoundTrip, 12);
        EXPECT_EQ(Shot.Min, 12);
        EXPECT_EQ(Shot.Max, 12);
        EXPECT_DOUBLE_EQ(Shot.Uptime, 100);
        std::thread([&] {
            LockedElsewhere = !Sender.StatsLock().try_lock();
            if (!LockedElsewhere)
                Sender.StatsLock().unlock();
        }).join();
    };
    S.PingDone(MakeResult(*Clock, 0, 12));
    EXPECT_EQ(Calls, 1);
    EXPECT_FALSE(LockedElsewhere);

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

// The snapshot follows the name and the degraded mark at once, not only the next result.
TEST_F(SessionTest, TheSnapshotFollowsNameAndDegradedMark) {
    S.BeginMonitor("10.0.0.1", "Router");
    EXPECT_EQ(S.Snapshot().DisplayName, "Router");
    EXPECT_EQ(S.Snapshot().LastEvent.Status, PING_STATUS_INITIALIZING);
    S.SetFriendlyName(" ");
    EXPECT_EQ(S.Snapshot().DisplayName, "10.0.0.1");
    S.SetDegraded(true);
    EXPECT_TRUE(S.Snapshot().Degraded);
    S.StopMonitor();
    EXPECT_FALSE(S.Snapshot().Degraded);
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

namespace {
// Holds the worker until the test lets it go.
struct TWorkerGate {
    std::promise<void> Open;
    std::shared_future<void> Opened = Open.get_future().share();
    std::promise<void> Entered;
    void Run(TzsWorkerThread&) {
        Entered.set_value();
        Opened.wait();
    }
};

std::vector<TPingLogRecord> ReadLog(const std::filesystem::path& File) {
    std::ifstream In(File, std::ios::binary);
    const std::vector<std::uint8_t> B(std::istreambuf_iterator<char>(In), {});
    std::vector<TPingLogRecord> Out;
    for (std::size_t I = 0; I + PING_LOG_RECORD_SIZE <= B.size(); I += PING_LOG_RECORD_SIZE)
        Out.push_back(DecodePingLogRecord(B.data() + I));
    return Out;
}
} // namespace

// Ten minutes of replies, a one-hour suspend that cuts off the next request, ten more minutes:
// the loop reads the sleep off the clocks and the monitor counts and draws only the awake time.
TEST(SessionSuspendTest, AnHourAsleepIsAGapNotAnHourOfFailures) {
    QElapsedTimer Settle;
    Settle.start();
    while (TPingLoopThread::RunningCount() > 0 && Settle.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    constexpr int Before = 600, After = 600; // results on each side of the sleep
    constexpr std::int64_t Hour = 3600000;
    const std::filesystem::path Dir =
        std::filesystem::path(VANTOREL_TEST_OUTPUT_DIR) / "suspend-log";
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);

    auto Clock = std::make_shared<FakeClock>();
    Clock->SetAutoAdvance(true);
    const TDateTime Start = Clock->Now();
    auto Stalled = std::make_shared<TWorkerGate>(); // the echo after the last result hangs here
    TzsWorkerThread Worker;
    auto Held = std::make_shared<TWorkerGate>(); // log jobs wait until everything has arrived
    Worker.AddJob(TThreadJob::Bind<TWorkerGate, &TWorkerGate::Run>(Held));
    Held->Entered.get_future().wait();
    {
        TPingerSession S(Clock);
        auto Calls = std::make_shared<std::atomic<int>>(0);
        S.SetEchoFunction([Clock, Calls, Stalled](const std::string&, const std::string&,
                                                  TReplyBuffer& Reply, std::int32_t,
                                                  std::string& Address) {
            const int Call = (*Calls)++;
            if (Call == Before + 1 + After) {
                Stalled->Opened.wait();
            }
            ICMP_ECHO_REPLY R{};
            R.Status = IP_SUCCESS;
            R.RoundTripTime = Call < Before ? 20 : 40;
            if (Call == Before) {
                Clock->Suspend(Hour); // the request is lost to the sleep
                R.Status = IP_REQ_TIMED_OUT;
            }
            std::memcpy(Reply.data(), &R, sizeof R);
            Address = "127.0.0.1";
        });
        S.SetTimeOutMS(5000);
        S.SetSpan(7200);
        S.SetRange(100);
        S.SetLogWorker(&Worker);
        S.SetLogFolder(Dir.string());
        S.SetLogEnabled(true);
        int Updates = 0;
        S.OnMonitorUpdated = [&](TPingerSession&) { ++Updates; };
        S.BeginMonitor("localhost", "");
        ASSERT_TRUE(ProcessEventsUntil([&] { return Updates == Before + 1 + After; }, 60000));

        // The statistics: the cut-off request is no failure, the round trips are those awake.
        EXPECT_EQ(S.Uptime(), 100.0);
        EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 100.0%"));
        EXPECT_EQ(S.Min(), 20);
        EXPECT_EQ(S.Max(), 40);
        EXPECT_EQ(S.Avg(), 30.0);
        ASSERT_EQ(S.Samples().size(), std::size_t(Before + 1 + After));
        EXPECT_EQ(S.Samples()[After].Status, PING_STATUS_REQ_TIMED_OUT);
        EXPECT_TRUE(S.Samples()[After].AfterGap);
        EXPECT_EQ(S.StatusText(), QStringLiteral("Round trip : 40 ms"));

        // The graph: columns by age as the rules place them; between the oldest point after the
        // sleep and the newest before it nothing of the polyline is drawn.
        const TRaster& Plot = S.Graph().Plot();
        ASSERT_EQ(Plot.Width(), 185);
        ASSERT_EQ(Plot.Height(), 96);
        const TDateTime Newest = S.Samples()[0].Time;
        auto Column = [&](std::size_t K) {
            const double Age = (Newest - S.Samples()[K].Time) * FakeClock::MsPerDay / 1000.0;
            return 184 - int(std::nearbyint(Age * 185.0 / 7200.0));
        };
        const int AwakeLeft = Column(After - 1);   // the first result after the sleep
        const int AsleepRight = Column(After + 1); // the last before it
        EXPECT_EQ(AwakeLeft, 169);
        EXPECT_EQ(AsleepRight, 76);
        const int Row20 = 95 - 19, Row40 = 95 - 38; // 96 / 100 * ms, rounded
        EXPECT_EQ(Plot.Pixel(176, Row40), 0xFF20FF10u);
        EXPECT_EQ(Plot.Pixel(70, Row20), 0xFF20FF10u);
        int Drawn = 0;
        for (int X = AsleepRight + 1; X < AwakeLeft; ++X) {
            for (int Y = 0; Y < Plot.Height(); ++Y) {
                const TRasterColor C = Plot.Pixel(X, Y);
                if ((C == 0xFF20FF10u || C == 0xFFFF4010u || C == 0xFFA0FF00u) && ++Drawn <= 5)
                    ADD_FAILURE() << "polyline at (" << X << ", " << Y << ")";
            }
        }
        EXPECT_EQ(Drawn, 0);
    }
    Stalled->Open.set_value();

    // The log: the interval before the sleep ends with it, the next starts after it; neither
    // counts the cut-off request.
    Held->Open.set_value();
    auto Done = std::make_shared<TWorkerGate>();
    Worker.AddJob(TThreadJob::Bind<TWorkerGate, &TWorkerGate::Run>(Done));
    Done->Entered.get_future().wait();
    Done->Open.set_value();
    const auto Records = ReadLog(Dir / "localhost.pin");
    ASSERT_EQ(Records.size(), 2u);
    EXPECT_EQ(Records[0].UptimePct, 100);
    EXPECT_EQ(Records[0].AvgTrip, 20);
    EXPECT_NEAR((Records[0].MeanTime - Start) * 86400.0, (Before - 1) / 2.0, 0.001);
    EXPECT_EQ(Records[1].UptimePct, 100);
    EXPECT_EQ(Records[1].AvgTrip, 40);
    EXPECT_NEAR((Records[1].MeanTime - Start) * 86400.0, Before + 3600 + (After + 1) / 2.0, 0.001);
    std::filesystem::remove_all(Dir);
}

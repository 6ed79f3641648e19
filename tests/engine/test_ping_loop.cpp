#include "FakeClock.h"
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "zsPingErrors.h"
#include "zsPingLoopThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t M0 = 1000000; // FakeClock's first MonoMs()

void SetReply(TReplyBuffer& Reply, std::uint32_t Status, std::uint32_t RoundTrip) {
    ICMP_ECHO_REPLY Record{};
    std::memcpy(&Record, Reply.data(), sizeof Record);
    Record.Status = Status;
    Record.RoundTripTime = RoundTrip;
    std::memcpy(Reply.data(), &Record, sizeof Record);
}

// What one echo request saw when it was made.
struct TEchoCall {
    std::string Target, Payload, AddressIn;
    std::int32_t TimeOut = 0;
    std::int64_t MonoMs = 0;
    TReplyBuffer ReplyIn{};
};

// A scripted echo service. Behave(CallIndex, Reply, Address) plays the request's outcome; by
// default every request succeeds from 127.0.0.1 in 7 ms.
class TFakeEcho {
public:
    using TBehaviour = std::function<void(int Call, TReplyBuffer& Reply, std::string& Address)>;

    explicit TFakeEcho(std::shared_ptr<FakeClock> Clock) : FClock(std::move(Clock)) {}

    TBehaviour Behave = [](int, TReplyBuffer& Reply, std::string& Address) {
        Address = "127.0.0.1";
        SetReply(Reply, IP_SUCCESS, 7);
    };

    static TPingLoopThread::TEchoFunction Function(std::shared_ptr<TFakeEcho> Echo) {
        return [Echo](const std::string& Target, const std::string& Payload, TReplyBuffer& Reply,
                      std::int32_t TimeOut, std::string& Address) {
            int Index;
            {
                std::lock_guard<std::mutex> Guard(Echo->FLock);
                Index = static_cast<int>(Echo->FCalls.size());
                Echo->FCalls.push_back(
                    {Target, Payload, Address, TimeOut, Echo->FClock->MonoMs(), Reply});
            }
            Echo->Behave(Index, Reply, Address);
        };
    }

    std::vector<TEchoCall> Calls() {
        std::lock_guard<std::mutex> Guard(FLock);
        return FCalls;
    }

private:
    std::shared_ptr<FakeClock> FClock;
    std::mutex FLock;
    std::vector<TEchoCall> FCalls;
};

// Everything the callbacks saw, in order.
class TRecorder {
public:
    void Before(const std::string& Target) {
        std::lock_guard<std::mutex> Guard(FLock);
        FLog.push_back("before " + Target);
        FThreads.push_back(std::this_thread::get_id());
    }
    void After(const TPingEvent& Event) {
        std::lock_guard<std::mutex> Guard(FLock);
        FLog.push_back("after " + std::to_string(Event.Status));
        FEvents.push_back(Event);
        FThreads.push_back(std::this_thread::get_id());
        FCond.notify_all();
    }
    bool WaitForEvents(std::size_t Count) {
        std::unique_lock<std::mutex> Guard(FLock);
        return FCond.wait_for(Guard, 10s, [&] { return FEvents.size() >= Count; });
    }
    std::vector<TPingEvent> Events() {
        std::lock_guard<std::mutex> Guard(FLock);
        return FEvents;
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> Guard(FLock);
        return FLog;
    }
    std::vector<std::thread::id> Threads() {
        std::lock_guard<std::mutex> Guard(FLock);
        return FThreads;
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    std::vector<std::string> FLog;
    std::vector<TPingEvent> FEvents;
    std::vector<std::thread::id> FThreads;
};

// Stands in for the user-interface thread: runs handed-over functions one at a time on a
// thread of its own, carries their exceptions back, and can be held so that work queues up.
class TUiThread {
public:
    TUiThread() : FThread([this] { Serve(); }) {}
    ~TUiThread() {
        {
            std::lock_guard<std::mutex> Guard(FLock);
            FQuit = true;
            FHeld = false;
        }
        FCond.notify_all();
        FThread.join();
    }

    // Holds the UI thread alive for as long as a loop holds the invoker, so that a test that
    // fails early cannot leave a loop calling into a freed one.
    static TPingLoopThread::TSyncInvoker Invoker(std::shared_ptr<TUiThread> Ui) {
        return [Ui](const std::function<void()>& Fn) { Ui->Run(Fn); };
    }
    // Queues the function without waiting; the loop waits for it later.
    static TPingLoopThread::TPostInvoker Poster(std::shared_ptr<TUiThread> Ui) {
        return [Ui](std::function<void()> Fn) {
            auto Call = std::make_shared<TPosted>(Ui, std::move(Fn));
            std::lock_guard<std::mutex> Guard(Ui->FLock);
            Ui->FQueue.push_back(&Call->Task);
            Ui->FCond.notify_all();
            return std::shared_ptr<TPingLoopThread::TPostedCall>(Call);
        };
    }

    void Hold() {
        std::lock_guard<std::mutex> Guard(FLock);
        FHeld = true;
    }
    void Release() {
        std::lock_guard<std::mutex> Guard(FLock);
        FHeld = false;
        FCond.notify_all();
    }
    // Waits until the thread is held with work waiting for it.
    bool WaitHeldWithWork() {
        std::unique_lock<std::mutex> Guard(FLock);
        return FCond.wait_for(Guard, 10s, [&] { return FHeld && !FQueue.empty(); });
    }
    std::thread::id Id() const { return FThread.get_id(); }

private:
    void Run(const std::function<void()>& Fn) {
        TTask Task;
        Task.Fn = &Fn;
        std::unique_lock<std::mutex> Guard(FLock);
        FQueue.push_back(&Task);
        FCond.notify_all();
        FCond.wait(Guard, [&] { return Task.Done; });
        if (Task.Error) {
            std::rethrow_exception(Task.Error);
        }
    }

    void Serve() {
        std::unique_lock<std::mutex> Guard(FLock);
        for (;;) {
            FCond.wait(Guard, [&] { return (!FHeld && !FQueue.empty()) || FQuit; });
            if (FQueue.empty()) {
                return;
            }
            TTask* Task = FQueue.front();
            FQueue.pop_front();
            Guard.unlock();
            try {
                (*Task->Fn)();
            } catch (...) {
                Task->Error = std::current_exception();
            }
            Guard.lock();
            Task->Done = true;
            FCond.notify_all();
        }
    }

    struct TTask {
        const std::function<void()>* Fn = nullptr;
        std::exception_ptr Error;
        bool Done = false;
    };
    struct TPosted : TPingLoopThread::TPostedCall {
        TPosted(std::shared_ptr<TUiThread> U, std::function<void()> F)
            : Ui(std::move(U)), Fn(std::move(F)) {
            Task.Fn = &Fn;
        }
        void Wait() override {
            std::unique_lock<std::mutex> Guard(Ui->FLock);
            Ui->FCond.wait(Guard, [&] { return Task.Done; });
        }
        std::shared_ptr<TUiThread> Ui;
        std::function<void()> Fn;
        TTask Task;
    };

    std::mutex FLock;
    std::condition_variable FCond;
    std::deque<TTask*> FQueue;
    bool FHeld = false;
    bool FQuit = false;
    std::thread FThread;
};

bool WaitUntil(const std::function<bool()>& Condition) {
    const auto GiveUp = std::chrono::steady_clock::now() + 10s;
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > GiveUp) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

double MsBetween(TDateTime A, TDateTime B) {
    return (B - A) * FakeClock::MsPerDay;
}

class PingLoop : public ::testing::Test {
protected:
    void TearDown() override {
        Loop.reset();
        // Callbacks and the echo hold test objects: every loop must be gone before the next test.
        EXPECT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }))
            << TPingLoopThread::RunningCount() << " loop threads still running";
    }

    // A suspended loop wired to the fake clock, the fake echo and the recorder.
    TPingLoopThread& MakeLoop(std::int32_t Frequency,
                              TPingLoopThread::TSyncInvoker Invoker = nullptr) {
        Loop = std::make_unique<TPingLoopThread>(Clock, TFakeEcho::Function(Echo));
        Loop->SetTarget("localhost");
        Loop->SetFrequency(Frequency);
        Loop->SetTimeOut(5000);
        Loop->SetPayload(std::string(16, 'A'));
        Loop->SetOnBeforePing([R = Recorder](const std::string& T) { R->Before(T); });
        Loop->SetOnAfterPing([R = Recorder](TPingEvent& E) { R->After(E); });
        if (Invoker) {
            Loop->SetSyncInvoker(std::move(Invoker));
        }
        return *Loop;
    }

    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    std::shared_ptr<TFakeEcho> Echo = std::make_shared<TFakeEcho>(Clock);
    std::shared_ptr<TRecorder> Recorder = std::make_shared<TRecorder>();
    std::unique_ptr<TPingLoopThread> Loop;
};

} // namespace

// The first request goes out at once, the next ones a period after the previous start, and
// failed resolutions keep the same pace.
TEST_F(PingLoop, FirstRequestAtOnceThenOnePerPeriod) {
    struct Case {
        const char* Name;
        bool Resolves;
    };
    for (const Case C : {Case{"reply", true}, Case{"name does not resolve", false}}) {
        SCOPED_TRACE(C.Name);
        TearDown();
        Clock = std::make_shared<FakeClock>();
        Clock->SetAutoAdvance(true);
        Echo = std::make_shared<TFakeEcho>(Clock);
        Recorder = std::make_shared<TRecorder>();
        if (!C.Resolves) {
            Echo->Behave = [](int, TReplyBuffer&, std::string& Address) {
                Address.clear();
                throw EPingError("IP Address could not be resolved");
            };
        }
        MakeLoop(1000).Resume();
        ASSERT_TRUE(Recorder->WaitForEvents(3));
        Loop->Terminate();

        const std::vector<TEchoCall> Calls = Echo->Calls();
        const std::vector<TPingEvent> Events = Recorder->Events();
        for (int I = 0; I < 3; ++I) {
            SCOPED_TRACE(I);
            EXPECT_EQ(Calls[I].MonoMs, M0 + 1000 * I);
            EXPECT_EQ(Calls[I].Target, "localhost");
            EXPECT_EQ(Calls[I].Payload, std::string(16, 'A'));
            EXPECT_EQ(Calls[I].TimeOut, 5000);
            EXPECT_NEAR(MsBetween(FakeClock().Now(), Events[I].Time), 1000 * I, 0.01);
            EXPECT_EQ(Events[I].Target, "localhost");
            EXPECT_EQ(Events[I].Success, C.Resolves);
            EXPECT_EQ(Events[I].Status, C.Resolves ? 0 : 18);
            EXPECT_EQ(Events[I].RoundTrip, C.Resolves ? 7 : -1);
            EXPECT_EQ(Events[I].IPAddress, C.Resolves ? "127.0.0.1" : "");
        }
        const std::vector<std::string> Log = Recorder->Log();
        const std::vector<std::string> Expected = {
            "before localhost", C.Resolves ? "after 0" : "after 18", "before localhost"};
        EXPECT_EQ(std::vector<std::string>(Log.begin(), Log.begin() + 3), Expected);
    }
}

TEST_F(PingLoop, FrequencyZeroNeverWaits) {
    MakeLoop(0).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(50));
    Loop->Terminate();
    EXPECT_EQ(Clock->WaitCalls(), 0);
    EXPECT_EQ(Clock->MonoMs(), M0);
}

TEST_F(PingLoop, MapsEachOutcomeToOneEvent) {
    struct Case {
        const char* Name;
        TFakeEcho::TBehaviour Behave;
        bool Success;
        int Status;
        int RoundTrip;
        const char* IPAddress;
    };
    auto Reply = [](std::uint32_t Status) {
        return [Status](int, TReplyBuffer& Reply, std::string& Address) {
            Address = "127.0.0.9";
            SetReply(Reply, Status, 12);
        };
    };
    const Case Cases[] = {
        {"success", Reply(IP_SUCCESS), true, 0, 12, "127.0.0.9"},
        {"timed out", Reply(IP_REQ_TIMED_OUT), false, 9, -1, "127.0.0.9"},
        {"status outside the table", Reply(IP_DEST_PROT_UNREACHABLE), false, 19, -1, "127.0.0.9"},
        {"status far outside the table", Reply(0xFFFFFFFFu), false, 19, -1, "127.0.0.9"},
        {"resolution fails",
         [](int, TReplyBuffer&, std::string& Address) {
             Address.clear();
             throw EPingError("IP Address could not be resolved");
         },
         false, 18, -1, ""},
        {"any other error while making the request",
         [](int, TReplyBuffer&, std::string& Address) {
             Address = "127.0.0.9";
             throw std::bad_alloc();
         },
         false, 18, -1, "127.0.0.9"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TearDown();
        Recorder = std::make_shared<TRecorder>();
        Echo->Behave = C.Behave;
        MakeLoop(60000).Resume();
        ASSERT_TRUE(Recorder->WaitForEvents(1));
        Loop->Terminate();
        const TPingEvent E = Recorder->Events().at(0);
        EXPECT_EQ(E.Success, C.Success);
        EXPECT_EQ(E.Status, C.Status);
        EXPECT_EQ(E.RoundTrip, C.RoundTrip);
        EXPECT_EQ(E.IPAddress, C.IPAddress);
        EXPECT_EQ(E.Target, "localhost");
        EXPECT_NEAR(MsBetween(Clock->Now(), E.Time), 0, 0.01);
    }
}

// The address text and the reply buffer belong to the loop and carry over between requests:
// a request that fails without touching the address reports the previous one.
TEST_F(PingLoop, AddressTextAndReplyBufferCarryOver) {
    Echo->Behave = [](int Call, TReplyBuffer& Reply, std::string& Address) {
        if (Call == 1) {
            throw EPingError(
                "Function call inet_addr failed.  The IP address is probably invalid.");
        }
        Address = "127.0.0.5";
        SetReply(Reply, IP_SUCCESS, 3 + Call);
    };
    MakeLoop(0).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(3));
    Loop->Terminate();

    const std::vector<TPingEvent> Events = Recorder->Events();
    EXPECT_EQ(Events[1].Status, 18);
    EXPECT_EQ(Events[1].IPAddress, "127.0.0.5");
    EXPECT_EQ(Events[2].Status, 0);
    EXPECT_EQ(Events[2].RoundTrip, 5);

    const std::vector<TEchoCall> Calls = Echo->Calls();
    EXPECT_EQ(Calls[0].AddressIn, "");
    EXPECT_EQ(Calls[1].AddressIn, "127.0.0.5");
    EXPECT_EQ(Calls[2].AddressIn, "127.0.0.5");
    TReplyBuffer AfterFirst{};
    SetReply(AfterFirst, IP_SUCCESS, 3);
    EXPECT_EQ(Calls[2].ReplyIn, AfterFirst);
}

// A shorter period set during a long wait applies to that wait, measured from the last start.
TEST_F(PingLoop, FrequencyChangeAppliesToTheWaitInProgress) {
    MakeLoop(60000).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(1));
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 60000));

    Clock->Advance(400);
    Loop->SetFrequency(1000);
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 1000));
    Clock->Advance(599);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Echo->Calls().size(), 1u) << "the request went out before the period had passed";
    Clock->Advance(1);
    ASSERT_TRUE(Recorder->WaitForEvents(2));
    EXPECT_EQ(Echo->Calls().at(1).MonoMs, M0 + 1000);

    // A period already over when it is set ends the wait at once.
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 2000));
    Clock->Advance(300);
    Loop->SetFrequency(200);
    ASSERT_TRUE(Recorder->WaitForEvents(3));
    EXPECT_EQ(Echo->Calls().at(2).MonoMs, M0 + 1300);
    Loop->Terminate();
}

TEST_F(PingLoop, PayloadAndTimeOutChangesApplyToTheNextRequest) {
    MakeLoop(1000).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(1));
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 1000));
    Loop->SetPayload("xyz");
    Loop->SetTimeOut(250);
    EXPECT_EQ(Loop->Payload(), "xyz");
    EXPECT_EQ(Loop->TimeOut(), 250);
    Clock->Advance(1000);
    ASSERT_TRUE(Recorder->WaitForEvents(2));
    Loop->Terminate();

    const std::vector<TEchoCall> Calls = Echo->Calls();
    EXPECT_EQ(Calls[0].Payload, std::string(16, 'A'));
    EXPECT_EQ(Calls[0].TimeOut, 5000);
    EXPECT_EQ(Calls[1].Payload, "xyz");
    EXPECT_EQ(Calls[1].TimeOut, 250);
}

// With the before-ping step unwanted, a request costs the user-interface thread one hand-over
// (the result) instead of two; wanted again, the next request is announced as before. The
// period and the results are the same either way, and the request counts as outstanding from
// the before-ping step until its result is handed over, whether that step ran or not.
TEST_F(PingLoop, UnwantedBeforePingIsNotHandedOver) {
    auto Ui = std::make_shared<TUiThread>();
    auto HandOvers = std::make_shared<std::atomic<int>>(0);
    MakeLoop(1000, [Ui, HandOvers](const std::function<void()>& Fn) {
        ++*HandOvers;
        TUiThread::Invoker(Ui)(Fn);
    });
    auto OutstandingSeen = std::make_shared<std::vector<std::string>>(); // on the loop's turns
    const TPingLoopThread* Handle = Loop.get();
    const auto Seen = [Handle, OutstandingSeen](const char* Where) {
        OutstandingSeen->push_back(Where + std::string(Handle->RequestOutstanding() ? "+" : "-"));
    };
    Echo->Behave = [Seen](int, TReplyBuffer& Reply, std::string& Address) {
        Seen("echo");
        Address = "127.0.0.1";
        SetReply(Reply, IP_SUCCESS, 7);
    };
    Loop->SetOnBeforePing([R = Recorder, Seen](const std::string& T) {
        Seen("before");
        R->Before(T);
    });
    Loop->SetOnAfterPing([R = Recorder, Seen](TPingEvent& E) {
        Seen("after");
        R->After(E);
    });
    EXPECT_FALSE(Loop->RequestOutstanding());
    Loop->SetBeforePingWanted(false);
    Loop->Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(1));
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 1000));
    EXPECT_FALSE(Loop->RequestOutstanding());
    EXPECT_EQ(HandOvers->load(), 1);
    Clock->Advance(1000);
    ASSERT_TRUE(Recorder->WaitForEvents(2));
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 2000));
    EXPECT_EQ(HandOvers->load(), 2);

    Loop->SetBeforePingWanted(true);
    Clock->Advance(1000);
    ASSERT_TRUE(Recorder->WaitForEvents(3));
    Loop->Terminate();
    EXPECT_EQ(HandOvers->load(), 4);
    const std::vector<std::string> Expected = {"after 0", "after 0", "before localhost", "after 0"};
    EXPECT_EQ(Recorder->Log(), Expected);
    const std::vector<TEchoCall> Calls = Echo->Calls();
    ASSERT_EQ(Calls.size(), 3u);
    for (int I = 0; I < 3; ++I) {
        EXPECT_EQ(Calls[std::size_t(I)].MonoMs, M0 + 1000 * I);
    }
    for (std::thread::id Id : Recorder->Threads()) {
        EXPECT_EQ(Id, Ui->Id());
    }
    ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
    const std::vector<std::string> Outstanding = {"echo+",   "after-", "echo+", "after-",
                                                  "before+", "echo+",  "after-"};
    EXPECT_EQ(*OutstandingSeen, Outstanding);
}

// A posted result does not hold the loop: it goes on to wait for its period while the UI thread
// is busy. The next request waits until the callback has returned, and starts a period after
// the one before, as with a hand-over that waits.
TEST_F(PingLoop, APostedResultLetsTheLoopWaitAndTheNextRequestWaitsForTheCallback) {
    auto Ui = std::make_shared<TUiThread>();
    MakeLoop(1000, TUiThread::Invoker(Ui));
    Loop->SetPostInvoker(TUiThread::Poster(Ui));
    Loop->SetBeforePingWanted(false);
    Ui->Hold();
    Loop->Resume();
    ASSERT_TRUE(Clock->WaitForWaiter(M0 + 1000)) << "the loop waits for the UI thread";
    EXPECT_TRUE(Recorder->Events().empty());
    EXPECT_TRUE(Loop->RequestOutstanding()) << "until the result is delivered";

    Clock->Advance(1000);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Echo->Calls().size(), 1u) << "the next request went out before the callback ran";
    Ui->Release();
    ASSERT_TRUE(Recorder->WaitForEvents(2));
    Loop->Terminate();
    ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
    const std::vector<TEchoCall> Calls = Echo->Calls();
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[1].MonoMs, M0 + 1000);
    const std::vector<std::string> Expected = {"after 0", "after 0"};
    EXPECT_EQ(Recorder->Log(), Expected);
    for (std::thread::id Id : Recorder->Threads()) {
        EXPECT_EQ(Id, Ui->Id());
    }
}

// The owner rewrites the settings while requests run back to back; every request must see a
// whole payload that was set at some point.
TEST_F(PingLoop, SettingsWrittenWhileRunningAreNeverTorn) {
    const std::vector<std::string> Payloads = {"", std::string(32768, 'x'), std::string(16, 'A')};
    std::atomic<int> Torn{0};
    Echo->Behave = [](int, TReplyBuffer& Reply, std::string& Address) {
        Address = "127.0.0.1";
        SetReply(Reply, IP_SUCCESS, 1);
    };
    MakeLoop(0).Resume();
    const auto GiveUp = std::chrono::steady_clock::now() + 10s;
    for (int I = 0; Echo->Calls().size() < 500 && std::chrono::steady_clock::now() < GiveUp; ++I) {
        Loop->SetPayload(Payloads[I % Payloads.size()]);
        Loop->SetTimeOut(I);
        Loop->SetFrequency(0);
    }
    Loop->Terminate();
    ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
    for (const TEchoCall& Call : Echo->Calls()) {
        bool Known = false;
        for (const std::string& P : Payloads) {
            Known = Known || Call.Payload == P;
        }
        Torn += Known ? 0 : 1;
    }
    EXPECT_EQ(Torn, 0);
    EXPECT_GE(Echo->Calls().size(), 500u);
}

// A failing callback is reported as status 19 through the after-ping callback, with or without
// the hand-over to the user-interface thread, and the loop keeps its pace.
TEST_F(PingLoop, CallbackErrorsBecomeStatus19AndTheLoopGoesOn) {
    struct Case {
        const char* Name;
        bool BeforeThrows;
        bool ThroughUi;
        std::vector<int> Statuses;
        std::vector<std::int64_t> EchoStarts;
        bool Posted = false; // results posted to the UI thread without waiting
    };
    const Case Cases[] = {
        {"after-ping fails", false, false, {0, 19, 0}, {M0, M0 + 1000}},
        {"after-ping fails on the UI thread", false, true, {0, 19, 0}, {M0, M0 + 1000}},
        {"after-ping fails, posted", false, true, {0, 19, 0}, {M0, M0 + 1000}, true},
        // No request was made for the failed iteration; the period counts from its beginning.
        {"before-ping fails", true, false, {19, 0, 0}, {M0 + 1000, M0 + 2000}},
        {"before-ping fails on the UI thread", true, true, {19, 0, 0}, {M0 + 1000, M0 + 2000}},
        {"before-ping fails, results posted", true, true, {19, 0, 0}, {M0 + 1000, M0 + 2000}, true},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TearDown();
        Clock = std::make_shared<FakeClock>();
        Clock->SetAutoAdvance(true);
        Echo = std::make_shared<TFakeEcho>(Clock);
        auto Ui = std::make_shared<TUiThread>();
        auto Events = std::make_shared<TRecorder>();
        MakeLoop(1000, C.ThroughUi ? TUiThread::Invoker(Ui) : nullptr);
        if (C.Posted) {
            Loop->SetPostInvoker(TUiThread::Poster(Ui));
        }
        auto Failed = std::make_shared<std::atomic<bool>>(false);
        if (C.BeforeThrows) {
            Loop->SetOnBeforePing([Failed](const std::string&) {
                if (!Failed->exchange(true)) {
                    throw EPingError("before");
                }
            });
        }
        Loop->SetOnAfterPing([Failed, Events, C](TPingEvent& E) {
            Events->After(E);
            if (!C.BeforeThrows && !Failed->exchange(true)) {
                throw std::runtime_error("after");
            }
        });
        Loop->Resume();
        ASSERT_TRUE(Events->WaitForEvents(3));
        Loop->Terminate();
        ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));

        const std::vector<TPingEvent> Got = Events->Events();
        for (std::size_t I = 0; I < C.Statuses.size(); ++I) {
            SCOPED_TRACE(I);
            EXPECT_EQ(Got[I].Status, C.Statuses[I]);
            EXPECT_EQ(Got[I].Success, C.Statuses[I] == 0);
            EXPECT_EQ(Got[I].RoundTrip, C.Statuses[I] == 0 ? 7 : -1);
            EXPECT_EQ(Got[I].Target, "localhost");
        }
        const std::size_t Failure = C.BeforeThrows ? 0 : 1;
        EXPECT_EQ(Got[Failure].IPAddress, C.BeforeThrows ? "" : "127.0.0.1");
        const std::vector<TEchoCall> Calls = Echo->Calls();
        ASSERT_GE(Calls.size(), 2u);
        EXPECT_EQ(Calls[0].MonoMs, C.EchoStarts[0]);
        EXPECT_EQ(Calls[1].MonoMs, C.EchoStarts[1]);
        if (C.ThroughUi) {
            for (std::thread::id Id : Events->Threads()) {
                EXPECT_EQ(Id, Ui->Id());
            }
        }
    }
}

// The stop request is checked again where the callback runs: a callback already handed to the
// user-interface thread when the stop comes does not run.
TEST_F(PingLoop, NothingRunsAfterTheStopEvenIfAlreadyHandedOver) {
    struct Case {
        const char* Name;
        bool HoldBeforeFirstCallback; // else held inside the first request
        std::size_t Echoes;
        std::vector<std::string> Log;
        bool Posted = false;
    };
    const Case Cases[] = {
        {"before-ping queued", true, 0, {}},
        {"after-ping queued", false, 1, {"before localhost"}},
        {"after-ping posted", false, 1, {"before localhost"}, true},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TearDown();
        Recorder = std::make_shared<TRecorder>();
        Echo = std::make_shared<TFakeEcho>(Clock);
        auto Ui = std::make_shared<TUiThread>();
        if (C.HoldBeforeFirstCallback) {
            Ui->Hold();
        } else {
            Echo->Behave = [Ui](int, TReplyBuffer& Reply, std::string&) {
                Ui->Hold();
                SetReply(Reply, IP_SUCCESS, 1);
            };
        }
        MakeLoop(0, TUiThread::Invoker(Ui));
        if (C.Posted) {
            Loop->SetPostInvoker(TUiThread::Poster(Ui));
        }
        Loop->Resume();
        ASSERT_TRUE(Ui->WaitHeldWithWork());
        Loop.reset();
        Ui->Release();
        ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
        EXPECT_EQ(Recorder->Log(), C.Log);
        EXPECT_EQ(Echo->Calls().size(), C.Echoes);
    }
}

// Dropping the handle during a blocking request returns at once; the request's result is not
// delivered and the loop frees its state when the request ends.
TEST_F(PingLoop, StopDuringABlockingRequestDeliversNothing) {
    // Shared with the echo, which the loop may still be running if the test fails early; the
    // request gives up after ten seconds for the same reason.
    struct TBlock {
        std::mutex Lock;
        std::condition_variable Cond;
        bool Entered = false, Open = false;
    };
    auto Block = std::make_shared<TBlock>();
    Echo->Behave = [Block](int, TReplyBuffer& Reply, std::string&) {
        std::unique_lock<std::mutex> Guard(Block->Lock);
        Block->Entered = true;
        Block->Cond.notify_all();
        Block->Cond.wait_for(Guard, 10s, [&] { return Block->Open; });
        SetReply(Reply, IP_SUCCESS, 1);
    };
    auto Token = std::make_shared<int>(0);
    std::weak_ptr<int> Watch = Token;
    MakeLoop(1000);
    Loop->SetOnAfterPing([R = Recorder, Token](TPingEvent& E) { R->After(E); });
    Token.reset();
    Loop->Resume();
    {
        std::unique_lock<std::mutex> Guard(Block->Lock);
        ASSERT_TRUE(Block->Cond.wait_for(Guard, 10s, [&] { return Block->Entered; }));
    }
    auto Dropped = std::async(std::launch::async, [&] { Loop.reset(); });
    const bool Returned = Dropped.wait_for(10s) == std::future_status::ready;
    EXPECT_EQ(TPingLoopThread::RunningCount(), 1) << "the loop ended inside its request";
    {
        std::lock_guard<std::mutex> Guard(Block->Lock);
        Block->Open = true;
        Block->Cond.notify_all();
    }
    ASSERT_TRUE(Returned) << "dropping the handle waited for the request";
    ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
    EXPECT_TRUE(Recorder->Events().empty());
    EXPECT_TRUE(Watch.expired()) << "the ended loop still holds its callbacks";
}

// On the real clock the wait is a sleep that a stop or a new period must cut short.
TEST_F(PingLoop, RealWaitWakesForANewPeriodAndForTheStop) {
    Loop = std::make_unique<TPingLoopThread>(nullptr, TFakeEcho::Function(Echo));
    Loop->SetFrequency(600000);
    Loop->SetOnAfterPing([R = Recorder](TPingEvent& E) { R->After(E); });
    Loop->Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(1));
    Loop->SetFrequency(1);
    ASSERT_TRUE(Recorder->WaitForEvents(2));
    Loop->SetFrequency(600000);
    std::this_thread::sleep_for(20ms); // most likely inside the long wait by now
    Loop.reset();
    EXPECT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
}

// Nothing runs before Resume(), so what the loop is given first never races its thread; a loop
// that is never resumed, or stopped first, never starts.
// Each result says how long the machine slept since the previous one, wherever the sleep fell:
// during the request or during the wait before it.
TEST_F(PingLoop, EachResultCarriesTheTimeSleptSinceThePreviousOne) {
    Clock->SetAutoAdvance(true);
    Echo->Behave = [C = Clock](int Call, TReplyBuffer& Reply, std::string& Address) {
        if (Call == 1) {
            C->Suspend(3600000);
        } else if (Call == 3) {
            C->Suspend(250);
        }
        Address = "127.0.0.1";
        SetReply(Reply, IP_SUCCESS, 7);
    };
    // The hand-over before the fifth request sleeps too: that is the wait's side of it.
    auto Handed = std::make_shared<std::atomic<int>>(0);
    MakeLoop(1000, [C = Clock, Handed](const std::function<void()>& Fn) {
        if (++*Handed == 9) {
            C->Suspend(90000);
        }
        Fn();
    }).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(6));
    Loop->Terminate();
    const std::vector<TPingEvent> Events = Recorder->Events();
    const std::int64_t Expected[] = {0, 3600000, 0, 250, 90000, 0};
    for (int I = 0; I < 6; ++I) {
        SCOPED_TRACE(I);
        EXPECT_EQ(Events[I].SleptMs, Expected[I]);
    }
    // The wall clock went on during the sleeps, the period did not.
    EXPECT_NEAR(MsBetween(Events[0].Time, Events[5].Time), 5000 + 3600000 + 250 + 90000, 0.01);
    EXPECT_EQ(Echo->Calls()[5].MonoMs, M0 + 5000);
}

TEST(PingLoopHandle, NothingRunsBeforeResume) {
    auto Calls = std::make_shared<std::atomic<int>>(0);
    const TPingLoopThread::TEchoFunction Echo = [Calls](const std::string&, const std::string&,
                                                        TReplyBuffer&, std::int32_t,
                                                        std::string&) { ++*Calls; };
    {
        TPingLoopThread Loop(std::make_shared<FakeClock>(), Echo);
        EXPECT_TRUE(Loop.Synchronized);
        EXPECT_FALSE(Loop.Terminated());
        Loop.SetTarget("localhost");
        Loop.SetFrequency(0);
        EXPECT_EQ(TPingLoopThread::RunningCount(), 0);
        Loop.Terminate();
        Loop.Resume(); // after a stop: no thread
        EXPECT_TRUE(Loop.Terminated());
        EXPECT_EQ(TPingLoopThread::RunningCount(), 0);
    }
    EXPECT_EQ(*Calls, 0);
}

// What the thread reads without a lock is fixed once it runs; the settings meant to change while
// it runs still do.
TEST_F(PingLoop, StartSettingsAreFixedOnceRunning) {
    MakeLoop(60000).Resume();
    ASSERT_TRUE(Recorder->WaitForEvents(1));
    EXPECT_THROW(Loop->SetTarget("elsewhere"), std::logic_error);
    EXPECT_THROW(Loop->SetOnBeforePing(nullptr), std::logic_error);
    EXPECT_THROW(Loop->SetOnAfterPing(nullptr), std::logic_error);
    EXPECT_THROW(Loop->SetSyncInvoker(nullptr), std::logic_error);
    EXPECT_EQ(Loop->Target(), "localhost");
    Loop->SetFrequency(30000);
    Loop->SetTimeOut(250);
    Loop->SetPayload("xyz");
    EXPECT_EQ(Loop->Frequency(), 30000);
    EXPECT_EQ(Loop->TimeOut(), 250);
    EXPECT_EQ(Loop->Payload(), "xyz");
    Loop->Terminate();
}

namespace {

// Sets TZ for one scope and puts the old value back.
class TScopedTimeZone {
public:
    explicit TScopedTimeZone(const char* Zone) {
        if (const char* Old = std::getenv("TZ")) {
            FOld = Old;
            FHadOld = true;
        }
        setenv("TZ", Zone, 1);
        tzset();
    }
    ~TScopedTimeZone() {
        if (FHadOld) {
            setenv("TZ", FOld.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string FOld;
    bool FHadOld = false;
};

} // namespace

TEST(Clock, DateTimeCountsDaysSince18991230WithTheOffsetOfThatInstant) {
    constexpr std::int64_t Day = 86400000;
    constexpr std::int64_t Summer = 1783000000000; // 2026-07-02, daylight saving time in Europe
    constexpr std::int64_t Winter = 1767225600000; // 2026-01-01 00:00 UTC
    struct Case {
        const char* Zone;
        std::int64_t UnixMs;
        bool Local;
        double Days;
    };
    const Case Cases[] = {
        {"UTC0", 0, true, 25569.0},
        {"UTC0", Day + Day / 2, true, 25570.5},
        {"UTC0", -1, true, 25569.0 - 1.0 / Day},
        {"XXX-02:00", 0, true, 25569.0 + 2.0 / 24},
        {"XXX-02:00", 0, false, 25569.0},
        {"XXX+05:30", Winter, true, 25569.0 + (Winter - 5.5 * 3600000) / Day},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Winter, true, 25569.0 + (Winter + 3600000.0) / Day},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Summer, true, 25569.0 + (Summer + 7200000.0) / Day},
        // Before the epoch the offset still comes from the instant itself.
        {"XXX-02:00", -Day * 365 - 1, true, 25569.0 - 365 - 1.0 / Day + 2.0 / 24},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::string(C.Zone) + " " + std::to_string(C.UnixMs));
        TScopedTimeZone Zone(C.Zone);
        EXPECT_NEAR(DateTimeFromUnixMs(C.UnixMs, C.Local), C.Days, 1e-9);
    }
}

TEST(Clock, SystemClockNeverEndsAWaitEarly) {
    const std::shared_ptr<TClock> Clock = SystemClock();
    EXPECT_EQ(Clock, SystemClock());
    const auto UnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_NEAR(Clock->Now(), DateTimeFromUnixMs(UnixMs), 5000.0 / FakeClock::MsPerDay);

    std::mutex Lock;
    std::condition_variable Cond;
    std::unique_lock<std::mutex> Guard(Lock);
    for (int Ms : {0, 1, 3, 7}) {
        SCOPED_TRACE(Ms);
        const std::int64_t Deadline = Clock->MonoMs() + Ms;
        Clock->WaitUntil(Guard, Cond, Deadline, [] { return false; });
        EXPECT_GE(Clock->MonoMs(), Deadline);
    }
    const std::int64_t Far = Clock->MonoMs() + 600000;
    Clock->WaitUntil(Guard, Cond, Far, [] { return true; }); // returns at once
    EXPECT_LT(Clock->MonoMs(), Far);
}

TEST(Clock, TheSystemBootClockRunsWithTheMonotonicOneWhileAwake) {
    const std::shared_ptr<TClock> Clock = SystemClock();
    const std::int64_t Mono0 = Clock->MonoMs();
    const std::int64_t Boot0 = Clock->BootMs();
    std::this_thread::sleep_for(20ms);
    const std::int64_t Boot1 = Clock->BootMs();
    const std::int64_t Mono1 = Clock->MonoMs();
    // The boot-time clock counts the monotonic one's time and every suspend besides.
    EXPECT_GE(Boot0 + 1, Mono0);
    EXPECT_GE(Boot1 - Boot0, 20);
    // Whole milliseconds on both sides: a truncation each, no sleep in between.
    EXPECT_LE(std::llabs((Boot1 - Boot0) - (Mono1 - Mono0)), 2);
}

// ---- Many loops on one scheduler ----

namespace {

// Results handed over at once, on the thread that has them.
class TRanCall : public TPingLoopThread::TPostedCall {
public:
    void Wait() override {}
};
TPingLoopThread::TPostInvoker InlinePoster() {
    return [](std::function<void()> Fn) -> std::shared_ptr<TPingLoopThread::TPostedCall> {
        Fn();
        return std::make_shared<TRanCall>();
    };
}

// An asynchronous echo that answers every request at once from the address asked, in 3 ms,
// unless the address is held: then its answer waits until Release().
class TFakeAsyncEcho {
public:
    explicit TFakeAsyncEcho(std::shared_ptr<FakeClock> Clock) : FClock(std::move(Clock)) {}

    static TEchoScheduler::TAsyncEcho Function(std::shared_ptr<TFakeAsyncEcho> Echo) {
        return [Echo](std::uint32_t Destination, const std::string&, std::int32_t,
                      TIcmpAsyncDone Done) {
            TIcmpAsyncResult Result;
            Result.Status = IP_SUCCESS;
            Result.RoundTripTime = 3;
            Result.Address = Destination;
            {
                std::lock_guard<std::mutex> Guard(Echo->FLock);
                Echo->FStarts[Destination].push_back(Echo->FClock->MonoMs());
                if (Destination == Echo->FHeld) {
                    Echo->FWaiting.push_back([Done, Result] { Done(Result); });
                    return;
                }
            }
            Done(Result);
        };
    }
    void Hold(std::uint32_t Destination) {
        std::lock_guard<std::mutex> Guard(FLock);
        FHeld = Destination;
    }
    void Release() {
        std::vector<std::function<void()>> Waiting;
        {
            std::lock_guard<std::mutex> Guard(FLock);
            FHeld = 0;
            Waiting.swap(FWaiting);
        }
        for (auto& Answer : Waiting) {
            Answer();
        }
    }
    std::vector<std::int64_t> Starts(std::uint32_t Destination) {
        std::lock_guard<std::mutex> Guard(FLock);
        return FStarts[Destination];
    }

private:
    std::shared_ptr<FakeClock> FClock;
    std::mutex FLock;
    std::map<std::uint32_t, std::vector<std::int64_t>> FStarts;
    std::uint32_t FHeld = 0;
    std::vector<std::function<void()>> FWaiting;
};

std::uint32_t Ipv4(const std::string& Text) {
    std::string Dotted;
    std::uint32_t Address = 0;
    EXPECT_TRUE(ReadIpv4Literal(Text, Dotted, Address)) << Text;
    return Address;
}

class PingScheduler : public ::testing::Test {
protected:
    void TearDown() override {
        Loops.clear();
        EXPECT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }))
            << TPingLoopThread::RunningCount() << " loops still running";
    }

    // A loop on the scheduler with its own recorder, not yet resumed.
    TPingLoopThread& Add(const std::string& Target, std::int32_t Frequency,
                         TPingLoopThread::TPostInvoker Poster = InlinePoster()) {
        auto Loop = std::make_unique<TPingLoopThread>(Scheduler);
        auto Recorder = std::make_shared<TRecorder>();
        Loop->SetTarget(Target);
        Loop->SetFrequency(Frequency);
        Loop->SetTimeOut(1000);
        Loop->SetPayload("data");
        Loop->SetOnAfterPing([Recorder](TPingEvent& E) { Recorder->After(E); });
        Loop->SetPostInvoker(std::move(Poster));
        Recorders.push_back(Recorder);
        Loops.push_back(std::move(Loop));
        return *Loops.back();
    }
    // Resumes every loop and waits until each has made its first request.
    void ResumeAll() {
        for (auto& Loop : Loops) {
            Loop->Resume();
        }
        ASSERT_TRUE(WaitUntil([&] {
            std::size_t Started = Blocking->Calls().size();
            for (const auto& Loop : Loops) {
                std::string Dotted;
                std::uint32_t Address = 0;
                if (ReadIpv4Literal(Loop->Target(), Dotted, Address)) {
                    Started += Async->Starts(Address).empty() ? 0 : 1;
                }
            }
            return Started == Loops.size();
        }));
    }
    // Moves virtual time on in steps of 100 ms until each recorder has Count results. Each step
    // waits until the scheduler has done what was due and sleeps again (it is the clock's only
    // waiter), so no request starts late.
    bool RunUntil(const std::vector<std::size_t>& Which, std::size_t Count) {
        for (int Step = 0; Step < 2000; ++Step) {
            if (!WaitUntil([&] {
                    return Clock->Waiting() == 1 && Clock->LastDeadline() > Clock->MonoMs();
                })) {
                return false;
            }
            bool All = true;
            for (std::size_t I : Which) {
                All = All && Recorders[I]->Events().size() >= Count;
            }
            if (All) {
                return true;
            }
            Clock->Advance(100);
        }
        return false;
    }

    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    std::shared_ptr<TFakeAsyncEcho> Async = std::make_shared<TFakeAsyncEcho>(Clock);
    std::shared_ptr<TFakeEcho> Blocking = std::make_shared<TFakeEcho>(Clock);
    std::shared_ptr<TEchoScheduler> Scheduler = std::make_shared<TEchoScheduler>(
        Clock, TFakeAsyncEcho::Function(Async), TFakeEcho::Function(Blocking), 0);
    std::vector<std::unique_ptr<TPingLoopThread>> Loops;
    std::vector<std::shared_ptr<TRecorder>> Recorders;
};

} // namespace

// Loops of different periods on one thread: each request starts one period after the loop's
// previous one, and each result is the loop's own, mapped as a blocking request's would be.
TEST_F(PingScheduler, EachLoopKeepsItsOwnPeriod) {
    const std::vector<std::int32_t> Periods = {300, 500, 700, 1000, 1300, 2000};
    std::vector<std::size_t> All;
    // Fewer than a burst: all go out at the first moment.
    for (std::size_t I = 0; I < 30; ++I) {
        Add("127.0.1." + std::to_string(I + 1), Periods[I % Periods.size()]);
        All.push_back(I);
    }
    ResumeAll();
    ASSERT_TRUE(RunUntil(All, 4));
    for (std::size_t I = 0; I < Loops.size(); ++I) {
        SCOPED_TRACE(I);
        const std::string Target = Loops[I]->Target();
        const std::vector<std::int64_t> Starts = Async->Starts(Ipv4(Target));
        ASSERT_GE(Starts.size(), 4u);
        EXPECT_EQ(Starts[0], M0);
        for (std::size_t K = 1; K < 4; ++K) {
            EXPECT_EQ(Starts[K] - Starts[K - 1], Periods[I % Periods.size()]);
        }
        const TPingEvent E = Recorders[I]->Events()[0];
        EXPECT_TRUE(E.Success);
        EXPECT_EQ(E.Status, 0);
        EXPECT_EQ(E.RoundTrip, 3);
        EXPECT_EQ(E.Target, Target);
        EXPECT_EQ(E.IPAddress, Target);
    }
}

// A loop whose result the user-interface thread does not take, and one whose request blocks
// (a name, which goes to a pool thread), hold up neither each other nor the rest. The held loop
// makes no new request until its result has been taken, then goes on.
TEST_F(PingScheduler, ASlowCallbackOrRequestDelaysNoOtherLoop) {
    auto Ui = std::make_shared<TUiThread>();
    Ui->Hold();
    Add("127.0.2.1", 1000, TUiThread::Poster(Ui));
    Add("slow.name", 1000);
    Add("127.0.2.3", 1000);
    Add("127.0.2.4", 500);
    std::promise<void> Unblock;
    std::shared_future<void> Unblocked = Unblock.get_future().share();
    Blocking->Behave = [Unblocked](int, TReplyBuffer& Reply, std::string& Address) {
        Unblocked.wait();
        Address = "127.0.0.9";
        SetReply(Reply, IP_SUCCESS, 4);
    };
    ResumeAll();
    ASSERT_TRUE(RunUntil({2, 3}, 6));
    EXPECT_EQ(Async->Starts(Ipv4("127.0.2.1")).size(), 1u); // waits for its first result's call
    EXPECT_EQ(Blocking->Calls().size(), 1u);                // still in its first request
    EXPECT_TRUE(Recorders[0]->Events().empty());
    EXPECT_TRUE(Recorders[1]->Events().empty());

    Ui->Release();
    Unblock.set_value();
    ASSERT_TRUE(RunUntil({0, 1}, 3));
    EXPECT_EQ(Recorders[1]->Events()[0].IPAddress, "127.0.0.9");
    EXPECT_EQ(Recorders[1]->Events()[0].RoundTrip, 4);
    Loops.clear(); // before the UI thread goes
}

// Stopping one loop ends it wherever it is (waiting for its period, its request out, its result
// not yet taken; the last two once they are over): nothing of it runs afterwards, and the others
// go on.
TEST_F(PingScheduler, TerminateOfOneLoopWhileOthersRun) {
    enum class TWhere { Waiting, RequestOut, ResultNotTaken };
    for (const TWhere Where : {TWhere::Waiting, TWhere::RequestOut, TWhere::ResultNotTaken}) {
        SCOPED_TRACE(int(Where));
        TearDown();
        Recorders.clear();
        const std::string Net = "127.0." + std::to_string(30 + int(Where)) + ".";
        auto Ui = std::make_shared<TUiThread>();
        Add(Net + "1", 1000,
            Where == TWhere::ResultNotTaken ? TUiThread::Poster(Ui) : InlinePoster());
        Add(Net + "2", 1000);
        Add(Net + "3", 300);
        if (Where == TWhere::RequestOut) {
            Async->Hold(Ipv4(Net + "1"));
        }
        if (Where == TWhere::ResultNotTaken) {
            Ui->Hold();
        }
        ResumeAll();
        ASSERT_TRUE(RunUntil({1, 2}, 2));
        Loops[0]->Terminate();
        if (Where == TWhere::Waiting) {
            EXPECT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 2; }));
        } else {
            EXPECT_EQ(TPingLoopThread::RunningCount(), 3);
            Ui->Release();
            Async->Release();
            EXPECT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 2; }));
        }
        const std::size_t Results = Recorders[0]->Events().size();
        const std::size_t Starts = Async->Starts(Ipv4(Net + "1")).size();
        EXPECT_EQ(Results, Where == TWhere::Waiting ? 2u : 0u);
        EXPECT_EQ(Starts, Where == TWhere::Waiting ? 2u : 1u);
        ASSERT_TRUE(RunUntil({1, 2}, Recorders[2]->Events().size() + 3));
        EXPECT_EQ(Recorders[0]->Events().size(), Results);
        EXPECT_EQ(Async->Starts(Ipv4(Net + "1")).size(), Starts);
        Loops.clear();
    }
}

// A crowd of loops due at the same moment on the real echo service: the requests go out in
// paced bursts and every reply comes back, none lost to a full receive buffer.
TEST(PingSchedulerLoopback, ABurstOfRepliesIsNotLost) {
    int ModesRun = 0;
    for (const TIcmpMode Mode : {TIcmpMode::Datagram, TIcmpMode::Helper}) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        const auto Scheduler =
            std::make_shared<TEchoScheduler>(nullptr, TEchoScheduler::IcmpEcho(), nullptr, 0);
        constexpr int Count = 1500;
        std::atomic<int> Replies{0}, Failures{0};
        std::vector<std::unique_ptr<TPingLoopThread>> Loops;
        for (int I = 0; I < Count; ++I) {
            auto Loop = std::make_unique<TPingLoopThread>(Scheduler);
            Loop->SetTarget("127.0." + std::to_string(10 + I / 250) + "." +
                            std::to_string(I % 250 + 1));
            Loop->SetFrequency(600000); // one request each
            Loop->SetTimeOut(5000);
            Loop->SetPayload(std::string(56, 'x'));
            Loop->SetOnAfterPing([&](TPingEvent& E) { ++(E.Success ? Replies : Failures); });
            Loop->SetPostInvoker(InlinePoster());
            Loops.push_back(std::move(Loop));
        }
        // Due at once: the first loops go out while the rest are still being started.
        for (auto& Loop : Loops) {
            Loop->Resume();
        }
        EXPECT_TRUE(WaitUntil([&] { return Replies + Failures == Count; }));
        EXPECT_EQ(Replies.load(), Count);
        EXPECT_EQ(Failures.load(), 0);
        Loops.clear();
        ASSERT_TRUE(WaitUntil([] { return TPingLoopThread::RunningCount() == 0; }));
    }
    IcmpServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMP socket kind can be opened here";
}

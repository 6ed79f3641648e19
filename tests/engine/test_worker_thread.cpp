#include "zsWorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A job object that runs any function, so tests can say what a job does inline.
struct TFnJob {
    std::function<void()> Fn;
    void Run(TzsWorkerThread&) { Fn(); }
};

TThreadJob MakeJob(std::function<void()> Fn) {
    return TThreadJob::Bind<TFnJob, &TFnJob::Run>(std::make_shared<TFnJob>(TFnJob{std::move(Fn)}));
}

// Holds the worker inside one job until Open(), so that the ring can be filled meanwhile. A
// gate never opened lets go after ten seconds, so that a failed test still ends. Like everything
// a worker's jobs use, it is declared before the worker: the worker goes first and waits for its
// running job.
class TGate {
public:
    TThreadJob Job() {
        return MakeJob([this] { Block(); });
    }
    void Block() {
        std::unique_lock<std::mutex> Guard(FLock);
        FEntered = true;
        FCond.notify_all();
        FCond.wait_for(Guard, 10s, [this] { return FOpen; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> Guard(FLock);
        return FCond.wait_for(Guard, 10s, [this] { return FEntered; });
    }
    void Open() {
        std::lock_guard<std::mutex> Guard(FLock);
        FOpen = true;
        FCond.notify_all();
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FEntered = false;
    bool FOpen = false;
};

// Records the order jobs ran in and lets the test wait for a number of them.
class TLog {
public:
    TThreadJob Job(int Id) {
        return MakeJob([this, Id] {
            std::lock_guard<std::mutex> Guard(FLock);
            FIds.push_back(Id);
            FCond.notify_all();
        });
    }
    bool WaitFor(std::size_t Count) {
        std::unique_lock<std::mutex> Guard(FLock);
        return FCond.wait_for(Guard, 10s, [&] { return FIds.size() >= Count; });
    }
    std::vector<int> Ids() {
        std::lock_guard<std::mutex> Guard(FLock);
        return FIds;
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    std::vector<int> FIds;
};

std::vector<int> Range(int From, int To) {
    std::vector<int> R;
    for (int I = From; I < To; ++I) {
        R.push_back(I);
    }
    return R;
}

} // namespace

TEST(WorkerThread, FirstJobGoesIntoSlotZeroAndRuns) {
    TLog Log;
    TzsWorkerThread Worker;
    EXPECT_EQ(Worker.ReadIndex(), -1);
    EXPECT_EQ(Worker.WriteIndex(), -1);
    Worker.AddJob(Log.Job(7));
    EXPECT_EQ(Worker.WriteIndex(), 0);
    ASSERT_TRUE(Log.WaitFor(1));
    EXPECT_EQ(Log.Ids(), std::vector<int>{7});
    EXPECT_EQ(Worker.ReadIndex(), 0);
}

TEST(WorkerThread, FullRingRefusesOneMoreAndKeepsOrderAcrossTheWrap) {
    TGate Gate;
    TLog Log;
    TzsWorkerThread Worker;
    Worker.AddJob(Gate.Job()); // slot 0, taken at once: the ring is empty again
    ASSERT_TRUE(Gate.WaitEntered());

    for (int I = 0; I < TzsWorkerThread::QueueSize; ++I) {
        Worker.AddJob(Log.Job(I)); // slots 1..2047, then 0
    }
    EXPECT_EQ(Worker.WriteIndex(), 0);
    try {
        Worker.AddJob(Log.Job(-1));
        ADD_FAILURE() << "the 2049th job was accepted";
    } catch (const EPingError& E) {
        EXPECT_STREQ(E.what(), "The thread work queue is full.");
    }
    EXPECT_EQ(Worker.WriteIndex(), 0);

    Gate.Open();
    ASSERT_TRUE(Log.WaitFor(TzsWorkerThread::QueueSize));
    for (int I = TzsWorkerThread::QueueSize; I < TzsWorkerThread::QueueSize + 10; ++I) {
        Worker.AddJob(Log.Job(I));
    }
    ASSERT_TRUE(Log.WaitFor(TzsWorkerThread::QueueSize + 10));
    EXPECT_EQ(Log.Ids(), Range(0, TzsWorkerThread::QueueSize + 10));
}

TEST(WorkerThread, ClearJobsDropsPendingJobsAndTheNextOneRuns) {
    TGate Gate;
    TLog Log;
    TzsWorkerThread Worker;
    auto Pending = std::make_shared<TFnJob>();
    std::weak_ptr<TFnJob> PendingObject = Pending;
    Worker.AddJob(Gate.Job());
    ASSERT_TRUE(Gate.WaitEntered());
    for (int I = 0; I < 10; ++I) {
        Worker.AddJob(Log.Job(I));
    }
    Worker.AddJob(TThreadJob::Bind<TFnJob, &TFnJob::Run>(std::move(Pending)));

    Worker.ClearJobs();
    EXPECT_TRUE(PendingObject.expired()) << "a cleared job still holds its object";
    Worker.AddJob(Log.Job(100));
    Gate.Open();
    ASSERT_TRUE(Log.WaitFor(1));
    EXPECT_EQ(Log.Ids(), std::vector<int>{100});
}

TEST(WorkerThread, AFailingJobIsFollowedByTheNext) {
    TLog Log;
    TzsWorkerThread Worker;
    Worker.AddJob(MakeJob([] { throw EPingError("disk full"); }));
    Worker.AddJob(MakeJob([] { throw 42; }));
    Worker.AddJob(Log.Job(1));
    ASSERT_TRUE(Log.WaitFor(1));
    EXPECT_EQ(Log.Ids(), std::vector<int>{1});
}

TEST(WorkerThread, StopFinishesTheRunningJobAndRunsNoOther) {
    TGate Gate;
    std::atomic<bool> RunningJobFinished{false};
    std::atomic<int> OthersRun{0};
    auto PendingObject = std::make_shared<TFnJob>(TFnJob{[&] { ++OthersRun; }});
    std::weak_ptr<TFnJob> Pending = PendingObject;
    auto Worker = std::make_unique<TzsWorkerThread>();

    Worker->AddJob(MakeJob([&] {
        Gate.Block();
        RunningJobFinished = true;
    }));
    ASSERT_TRUE(Gate.WaitEntered());
    for (int I = 0; I < 5; ++I) {
        Worker->AddJob(MakeJob([&] { ++OthersRun; }));
    }
    Worker->AddJob(TThreadJob::Bind<TFnJob, &TFnJob::Run>(std::move(PendingObject)));

    auto Destroyed = std::async(std::launch::async, [&] { Worker.reset(); });
    EXPECT_EQ(Destroyed.wait_for(50ms), std::future_status::timeout)
        << "destruction did not wait for the running job";
    Gate.Open();
    ASSERT_EQ(Destroyed.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(RunningJobFinished);
    EXPECT_EQ(OthersRun, 0);
    EXPECT_TRUE(Pending.expired()) << "a pending job outlived the worker";
}

TEST(WorkerThread, AJobAddedAfterTheStopNeverRuns) {
    std::atomic<int> Runs{0};
    {
        TzsWorkerThread Worker;
        Worker.Terminate();
        EXPECT_NO_THROW(Worker.AddJob(MakeJob([&] { ++Runs; })));
        EXPECT_EQ(Worker.WriteIndex(), -1);
        EXPECT_FALSE(Worker.NextJob());
    }
    EXPECT_EQ(Runs, 0);
}

// Producers add jobs in bursts with pauses, so the worker keeps racing between finding the ring
// empty and going to sleep. A lost wake-up leaves jobs behind and the final wait fails.
TEST(WorkerThread, NoJobIsSleptThroughUnderRacingProducers) {
    constexpr int Producers = 2;
    constexpr int JobsPerProducer = 50000;
    std::atomic<int> Done{0};
    std::mutex Lock;
    std::condition_variable AllDone;
    // Declared after what its jobs use, so it is destroyed first: its destructor waits for the
    // last job, which may still be notifying AllDone when the test's wait has returned.
    TzsWorkerThread Worker;

    auto Produce = [&](unsigned Seed) {
        std::mt19937 Random(Seed);
        int Added = 0;
        const auto GiveUp = std::chrono::steady_clock::now() + 60s;
        while (Added < JobsPerProducer && std::chrono::steady_clock::now() < GiveUp) {
            const int Burst = std::uniform_int_distribution<int>(1, 40)(Random);
            for (int I = 0; I < Burst && Added < JobsPerProducer; ++I) {
                try {
                    Worker.AddJob(MakeJob([&] {
                        if (++Done == Producers * JobsPerProducer) {
                            std::lock_guard<std::mutex> Guard(Lock);
                            AllDone.notify_all();
                        }
                    }));
                    ++Added;
                } catch (const EPingError&) {
                    std::this_thread::yield(); // ring full: let the worker catch up
                }
            }
            if (Random() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(Random() % 50));
            }
        }
    };
    std::vector<std::thread> Threads;
    for (int P = 0; P < Producers; ++P) {
        Threads.emplace_back(Produce, 1234u + P);
    }
    for (std::thread& T : Threads) {
        T.join();
    }
    std::unique_lock<std::mutex> Guard(Lock);
    EXPECT_TRUE(AllDone.wait_for(Guard, 60s, [&] { return Done == Producers * JobsPerProducer; }))
        << Done << " of " << Producers * JobsPerProducer << " jobs ran";
}

// The hand-over of loop callbacks to the UI thread.
#include "uUiInvoker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {
void ProcessEventsUntil(const std::atomic<bool>& Done) {
    QElapsedTimer Timer;
    Timer.start();
    while (!Done.load() && Timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}
} // namespace

TEST(UiInvokerTest, RunsOnTheUiThreadAndCarriesExceptionsBack) {
    TUiInvoker Invoker;
    const auto Invoke = Invoker.Invoker();
    QThread* Ui = QThread::currentThread();

    // Called on the UI thread itself it runs at once.
    bool Direct = false;
    Invoke([&] { Direct = true; });
    EXPECT_TRUE(Direct);

    std::atomic<bool> Done{false};
    QThread* RanOn = nullptr;
    std::string Error;
    std::thread Loop([&] {
        Invoke([&] { RanOn = QThread::currentThread(); });
        try {
            Invoke([] { throw std::runtime_error("callback failed"); });
        } catch (const std::runtime_error& E) {
            Error = E.what();
        }
        Done = true;
    });
    ProcessEventsUntil(Done);
    Loop.join();
    EXPECT_EQ(RanOn, Ui);
    EXPECT_EQ(Error, "callback failed");
}

TEST(UiInvokerTest, DestroyingTheInvokerReleasesAWaitingCallerWithoutRunningIt) {
    auto Invoker = std::make_unique<TUiInvoker>();
    const auto Invoke = Invoker->Invoker();
    std::atomic<bool> Ran{false};
    std::atomic<bool> Returned{false};
    std::atomic<bool> Calling{false};
    std::thread Loop([&] {
        Calling = true;
        Invoke([&] { Ran = true; });
        Returned = true;
    });
    while (!Calling.load())
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // most likely waiting by now
    Invoker.reset();
    Loop.join();
    EXPECT_TRUE(Returned);
    EXPECT_FALSE(Ran);

    // Later calls return at once; nothing is left for the event loop either.
    std::thread([&] { Invoke([&] { Ran = true; }); }).join();
    QCoreApplication::processEvents();
    EXPECT_FALSE(Ran);
}

// A posted call returns to its caller at once and runs on the UI thread; waiting for it
// afterwards returns once it ran, whether the caller came before or after it did. A call still
// queued when the invoker goes never runs, and waiting for it returns.
TEST(UiInvokerTest, PostedCallsRunLaterAndCanBeWaitedFor) {
    auto Invoker = std::make_unique<TUiInvoker>();
    const auto Post = Invoker->Poster();
    QThread* Ui = QThread::currentThread();

    std::atomic<int> Runs{0};
    QThread* RanOn = nullptr;
    std::atomic<bool> Posted{false}, Done{false};
    std::thread Loop([&] {
        auto First = Post([&] {
            RanOn = QThread::currentThread();
            ++Runs;
        });
        Posted = true;
        First->Wait(); // before it ran: asleep until the UI thread gets to it
        auto Second = Post([&] { ++Runs; });
        while (Runs.load() < 2)
            std::this_thread::yield();
        Second->Wait(); // after it ran: returns at once
        Done = true;
    });
    while (!Posted.load())
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // most likely asleep by now
    ProcessEventsUntil(Done);
    Loop.join();
    EXPECT_EQ(Runs.load(), 2);
    EXPECT_EQ(RanOn, Ui);

    // On the UI thread itself it runs before Post returns.
    bool Direct = false;
    Post([&] { Direct = true; })->Wait();
    EXPECT_TRUE(Direct);

    std::shared_ptr<TPingLoopThread::TPostedCall> Queued;
    std::thread([&] { Queued = Post([&] { ++Runs; }); }).join();
    Invoker.reset();
    Queued->Wait();
    std::thread([&] { Post([&] { ++Runs; })->Wait(); }).join(); // after the invoker went
    QCoreApplication::processEvents();
    EXPECT_EQ(Runs.load(), 2);
}

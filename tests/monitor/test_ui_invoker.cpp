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

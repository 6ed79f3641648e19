// The signal watcher: a signal raised in the process arrives in the event loop as one Received,
// never inside the handler; each signal delivered is told once, and the handlers that were
// there before come back when the watcher goes.
#include "zsSignalWatcher.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>

#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

TEST(SignalWatcher, EachSignalArrivesOnceInTheEventLoop) {
    for (const int Signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(Signal);
        TzsSignalWatcher Watcher;
        QSignalSpy Received(&Watcher, &TzsSignalWatcher::Received);
        ASSERT_EQ(::raise(Signal), 0);
        // Not from inside the handler: only once the loop runs.
        EXPECT_EQ(Received.count(), 0);
        ASSERT_TRUE(Received.wait(5000));
        QCoreApplication::processEvents();
        ASSERT_EQ(Received.count(), 1);
        EXPECT_EQ(Received.at(0).at(0).toInt(), Signal);
    }
}

TEST(SignalWatcher, ASignalToAnotherThreadAndTwoInARowAreAllTold) {
    TzsSignalWatcher Watcher;
    QSignalSpy Received(&Watcher, &TzsSignalWatcher::Received);
    // Delivered on a thread that is not the loop's, as a process signal may be.
    std::thread Other([] { ::pthread_kill(::pthread_self(), SIGHUP); });
    Other.join();
    ::raise(SIGTERM);
    ::raise(SIGTERM);
    while (Received.count() < 3 && Received.wait(5000)) {
    }
    QCoreApplication::processEvents();
    ASSERT_EQ(Received.count(), 3);
    EXPECT_EQ(Received.at(0).at(0).toInt(), SIGHUP);
    EXPECT_EQ(Received.at(1).at(0).toInt(), SIGTERM);
    EXPECT_EQ(Received.at(2).at(0).toInt(), SIGTERM);
}

int Caught = 0;
extern "C" void CatchForTest(int Signal) {
    Caught = Signal;
}

TEST(SignalWatcher, TheEarlierHandlerComesBackAndASecondWatcherIsRefused) {
    struct sigaction Own {};
    Own.sa_handler = CatchForTest;
    sigemptyset(&Own.sa_mask);
    struct sigaction Before {};
    ASSERT_EQ(::sigaction(SIGHUP, &Own, &Before), 0);
    {
        TzsSignalWatcher Watcher;
        EXPECT_THROW(TzsSignalWatcher Second, std::runtime_error);
        QSignalSpy Received(&Watcher, &TzsSignalWatcher::Received);
        ::raise(SIGHUP);
        ASSERT_TRUE(Received.wait(5000));
        EXPECT_EQ(Caught, 0);
    }
    ::raise(SIGHUP);
    EXPECT_EQ(Caught, SIGHUP);
    ::sigaction(SIGHUP, &Before, nullptr);
}

} // namespace

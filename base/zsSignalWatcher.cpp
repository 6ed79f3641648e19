#include "zsSignalWatcher.h"

#include <QPointer>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// The pipe's writing end, for the handler; -1 while no watcher lives.
std::atomic<int> WriteFd{-1};

extern "C" void PassOn(int Signal) {
    const int SavedErrno = errno;
    const int Fd = WriteFd.load(std::memory_order_relaxed);
    if (Fd >= 0) {
        const unsigned char Byte = static_cast<unsigned char>(Signal);
        // A full pipe already holds signals enough to close the program: this one may go.
        (void)!::write(Fd, &Byte, 1);
    }
    errno = SavedErrno;
}

} // namespace

TzsSignalWatcher::TzsSignalWatcher(std::initializer_list<int> Signals, QObject* Parent)
    : QObject(Parent) {
    int Fds[2];
    if (::pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("Cannot make the pipe that catches signals");
    }
    int Expected = -1;
    if (!WriteFd.compare_exchange_strong(Expected, Fds[1])) {
        ::close(Fds[0]);
        ::close(Fds[1]);
        throw std::runtime_error("Signals are watched already");
    }
    FReadFd = Fds[0];
    FNotifier = new QSocketNotifier(FReadFd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TzsSignalWatcher::ReadPipe);
    for (const int Signal : Signals) {
        struct sigaction Action {};
        Action.sa_handler = PassOn;
        sigemptyset(&Action.sa_mask);
        Action.sa_flags = SA_RESTART;
        TSaved Saved{Signal, {}};
        if (::sigaction(Signal, &Action, &Saved.Action) == 0) {
            FSaved.push_back(Saved);
        }
    }
}

TzsSignalWatcher::~TzsSignalWatcher() {
    for (auto It = FSaved.rbegin(); It != FSaved.rend(); ++It) {
        ::sigaction(It->Signal, &It->Action, nullptr);
    }
    const int Fd = WriteFd.exchange(-1);
    delete FNotifier;
    ::close(FReadFd);
    ::close(Fd);
}

void TzsSignalWatcher::ReadPipe() {
    unsigned char Bytes[64];
    ssize_t Got = 0;
    do {
        Got = ::read(FReadFd, Bytes, sizeof Bytes);
    } while (Got < 0 && errno == EINTR);
    // A receiver may end the watcher: nothing of it is touched after that.
    const QPointer<TzsSignalWatcher> Self(this);
    for (ssize_t I = 0; I < Got && Self; ++I) {
        emit Received(Bytes[I]);
    }
}

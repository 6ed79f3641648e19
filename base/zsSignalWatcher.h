// Turns the process signals that ask a program to end (SIGTERM from kill or a service manager,
// SIGINT from a terminal's Ctrl+C, SIGHUP when the terminal or session goes) into a Qt signal
// in the event loop, so that the program can close the way it closes for the user: save, then
// exit 0.
//
// The handler itself only writes the signal's number into a pipe (async-signal-safe); the
// pipe's reading end is watched by a QSocketNotifier on the thread that made the watcher, which
// emits Received once per signal delivered. One watcher at a time; its end restores the
// handlers that were there before.
//
//   TzsSignalWatcher Signals;
//   QObject::connect(&Signals, &TzsSignalWatcher::Received, &Window, &QWidget::close);
#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

class TzsSignalWatcher : public QObject {
    Q_OBJECT

public:
    // Catches Signals from now on. Raises std::runtime_error when another watcher lives or the
    // pipe cannot be made.
    explicit TzsSignalWatcher(std::initializer_list<int> Signals = {SIGTERM, SIGINT, SIGHUP},
                              QObject* Parent = nullptr);
    ~TzsSignalWatcher() override;

    TzsSignalWatcher(const TzsSignalWatcher&) = delete;
    TzsSignalWatcher& operator=(const TzsSignalWatcher&) = delete;

signals:
    // A signal arrived; emitted in the event loop of the watcher's thread.
    void Received(int Signal);

private:
    void ReadPipe();

    struct TSaved {
        int Signal;
        struct sigaction Action;
    };
    std::vector<TSaved> FSaved;
    int FReadFd = -1;
    QSocketNotifier* FNotifier = nullptr;
};

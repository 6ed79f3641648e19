#include "uProbeCommandLine.h"

#include "uHeadlessProbe.h"
#include "uMonitorHub.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

std::string TakeProbeOptions(int& Argc, char** Argv, TProbeOptions& Options) {
    int Kept = 1;
    bool GroupGiven = false;
    for (int I = 1; I < Argc; ++I) {
        const char* A = Argv[I];
        const bool IsGroup = std::strcmp(A, "--group") == 0;
        const bool IsListen = std::strcmp(A, "--metrics-listen") == 0;
        if (std::strcmp(A, "--headless") == 0) {
            Options.Headless = true;
        } else if (IsGroup || IsListen) {
            if (I + 1 >= Argc) {
                return std::string("option '") + A + "' needs a value";
            }
            const QString Value = QString::fromLocal8Bit(Argv[++I]);
            if (IsGroup) {
                if (Value.trimmed().isEmpty()) {
                    return "option '--group' needs a group name";
                }
                Options.Group = Value;
                GroupGiven = true;
            } else {
                if (Value.trimmed().isEmpty()) {
                    return "option '--metrics-listen' needs ADDRESS:PORT";
                }
                Options.MetricsListen = Value;
            }
        } else {
            Argv[Kept++] = Argv[I];
        }
    }
    Argv[Kept] = nullptr;
    Argc = Kept;
    if (GroupGiven && !Options.Headless) {
        return "--group goes with --headless (the main window opens groups itself)";
    }
    if (Options.Headless && Argc > 1) {
        return std::string("unknown option '") + Argv[1] + "' with --headless";
    }
    return {};
}

namespace {

// SIGTERM, SIGINT and SIGHUP arrive as data on a descriptor the event loop watches: nothing
// runs inside a signal handler.
class TTerminationSignals {
public:
    TTerminationSignals() {
        sigemptyset(&FSet);
        for (int S : {SIGTERM, SIGINT, SIGHUP}) {
            sigaddset(&FSet, S);
        }
        pthread_sigmask(SIG_BLOCK, &FSet, nullptr);
        FFd = signalfd(-1, &FSet, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~TTerminationSignals() {
        if (FFd >= 0) {
            close(FFd);
        }
    }
    int Fd() const { return FFd; }
    void Drain() const {
        signalfd_siginfo Info;
        while (read(FFd, &Info, sizeof Info) == ssize_t(sizeof Info)) {
        }
    }

private:
    sigset_t FSet;
    int FFd = -1;
};

} // namespace

int RunHeadless(int Argc, char** Argv, const TProbeOptions& Options) {
    // Blocked before any thread starts, so that every thread leaves the signals to the loop.
    TTerminationSignals Signals;
    // Monitors measure their texts with fonts, which need a GUI application: the offscreen
    // platform gives one without touching any display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(Argc, Argv);
    TVantorelProbe Probe({Options.Group, Options.MetricsListen});
    bool CloseRequested = false;
    QSocketNotifier Notifier(Signals.Fd(), QSocketNotifier::Read);
    QObject::connect(&Notifier, &QSocketNotifier::activated, &App, [&] {
        Signals.Drain();
        CloseRequested = true;
        if (Probe.Hub().Busy()) {
            Probe.Hub().StopOpening(); // the close follows when the opening has stopped
        } else {
            QCoreApplication::exit(0);
        }
    });
    try {
        Probe.Start();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "vantorel: %s\n", E.what());
        return 1;
    }
    if (!CloseRequested) {
        QCoreApplication::exec();
    }
    try {
        Probe.Close();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "vantorel: %s\n", E.what());
        return 1;
    }
    return 0;
}

#include "uProbeCommandLine.h"

#include "uHeadlessProbe.h"
#include "uMonitorHub.h"
#include "zsSignalWatcher.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <stdexcept>

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

int RunHeadless(int Argc, char** Argv, const TProbeOptions& Options) {
    // Monitors measure their texts with fonts, which need a GUI application: the offscreen
    // platform gives one without touching any display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(Argc, Argv);
    TVantorelProbe Probe({Options.Group, Options.MetricsListen});
    bool CloseRequested = false;
    TzsSignalWatcher Signals;
    QObject::connect(&Signals, &TzsSignalWatcher::Received, &App, [&] {
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

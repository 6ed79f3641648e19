// Vantorel program entry: no capability kept, then the application object, the windows in their
// order, the event loop until the main window closes, and the windows' destruction in reverse
// order. Raw ICMP goes through the ICMP helper (vantorel-icmp), which alone may hold
// cap_net_raw.
#include "About.h"
#include "icmp_dll.h"
#include "uConfigStore.h"
#include "uEndRequests.h"
#include "uFrmFriendlyNames.h"
#include "uFrmMain.h"
#include "uFrmNewGroup.h"
#include "uHeadlessProbe.h"
#include "uHistoryCommandLine.h"
#include "uMetricsEndpoint.h"
#include "uPathCommandLine.h"
#include "uPingPermission.h"
#include "uProbeCommandLine.h"
#include "uStartup.h"
#include "zsImageList.h"
#include "zsMessageBox.h"
#include "zsPrivileges.h"
#include "zsSecureStart.h"

#include <cfenv>
#include <cstdio>
#include <initializer_list>
#include <iostream>

#ifdef VANTOREL_SANITIZED
// A program that was started with a capability runs non-dumpable and cannot read its own
// /proc/self/environ, where the sanitizers look for their options, so a sanitized build carries
// the leak suppressions of the test run (tests/lsan.supp) itself: leaks inside system libraries.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif

namespace {

// Whatever capability the process was started with (by root, or from a program file that still
// carries one) goes before any plugin or library the environment names can load; the ICMP
// helper Vantorel starts later still gains its own file's. Under a secure start what the caller
// may say about where code loads from is taken away too. The empty string, or why the program
// must not start.
std::string StartLeastPrivileged(bool Secure, int Argc, char** Argv) {
    const TCapabilityDrop Drop =
        RunThenDropCapabilities([] {}, SystemCapabilityCalls(), TDropKind::LetProgramsGain);
    if (!Drop.Ok)
        return Drop.Problem;
    return LockPluginSources(Secure, Argc, Argv);
}

} // namespace

int main(int argc, char** argv) {
    // Floating-point faults give infinities and NaNs, never a trap.
    fedisableexcept(FE_ALL_EXCEPT);
    // The path report runs without a display, and like the window without any capability: its
    // hop-limited requests go through a datagram socket or the ICMP helper.
    if (IsPathRequest(argc, argv)) {
        const TCapabilityDrop Drop =
            RunThenDropCapabilities([] {}, SystemCapabilityCalls(), TDropKind::LetProgramsGain);
        if (!Drop.Ok) {
            std::fputs(Drop.Problem.c_str(), stderr);
            return 1;
        }
        return RunPathCommandLine(argc, argv, std::cout, std::cerr);
    }
    // The options that need no window (--help, --version, --export-log) run without any
    // capability and without a display.
    if (IsCommandLineRequest(argc, argv)) {
        const TCapabilityDrop Drop = RunThenDropCapabilities([] {});
        if (!Drop.Ok) {
            std::fputs(Drop.Problem.c_str(), stderr);
            return 1;
        }
        return RunCommandLine(argc, argv, std::cout, std::cerr);
    }

    TProbeOptions Probe;
    if (const std::string Problem = TakeProbeOptions(argc, argv, Probe); !Problem.empty()) {
        std::fprintf(stderr, "vantorel: %s\nTry 'vantorel --help' for more information.\n",
                     Problem.c_str());
        return 2;
    }

    const bool Secure = StartedSecure();
    if (const std::string Problem = StartLeastPrivileged(Secure, argc, argv); !Problem.empty()) {
        std::fputs(Problem.c_str(), stderr);
        return 1;
    }
    if (Probe.Headless) {
        return RunHeadless(argc, argv, Probe);
    }

    TVantorelApplication App(argc, argv);
    if (Secure) {
        // Qt has chosen its plugin folders by now: a Qt that chose differently ends the run.
        if (const std::string Problem = CheckPluginFolders(); !Problem.empty()) {
            std::fputs(Problem.c_str(), stderr);
            return 1;
        }
    }
    InitVantorelResources();
    {
        // Created hidden, main window first; destroyed in reverse order at the end of this
        // block, so the main window, whose image lists the others use, goes last.
        TfrmMain Main;
        TFrmFriendlyNames FriendlyNames(&Main.ImageLists());
        TfrmNewGroup NewGroup(&Main.ImageLists());
        TfrmAbout About(&Main.ImageLists(), Main.windowTitle());
        Main.SetDialogs(&FriendlyNames, &NewGroup);
        Main.SetAboutWindow(&About);
        // Closing the main window ends the program even while one of these is open.
        for (QWidget* Window : std::initializer_list<QWidget*>{&FriendlyNames, &NewGroup, &About}) {
            Window->setAttribute(Qt::WA_QuitOnClose, false);
        }

        // Without any ICMP socket the user learns why and how to allow it, once, before the
        // main window opens the default group.
        ShowPingPermissionProblem(&Main);

        // Shown and activated as the first window of a program is; the first activation reads
        // the configuration and opens the default group.
        // Metrics for Prometheus when the command line or config.ini asks for them.
        std::unique_ptr<TMetricsEndpoint> Metrics;
        if (Main.Core().Config()) {
            try {
                const QString Listen = Probe.MetricsListen.isEmpty()
                                           ? Main.Core().Config()->ReadMetricsListen()
                                           : Probe.MetricsListen;
                Metrics = StartMetricsEndpoint(
                    Main.Hub(), Main.Core().Alerts(), Listen, [](const QString& Warning) {
                        std::fprintf(stderr, "vantorel: %s\n", Warning.toUtf8().constData());
                    });
            } catch (const std::exception& E) {
                TzsMessageBox::Plain(&Main, QString::fromUtf8(E.what()));
            }
        }

        // Asked to end from outside (kill, logout, Ctrl+C), the program closes as by its close
        // button: it saves and exits with 0.
        TzsSignalWatcher Signals;
        CloseOnSignals(Signals, Main);
        SaveOnLogout(App, Main.Core());

        Main.show();
        Main.activateWindow();
        QApplication::exec();
    }
    return 0;
}

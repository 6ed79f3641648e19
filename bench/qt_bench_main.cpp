// What the main window costs with many monitors pinging loopback for real:
// - WindowMemory: the heap of one monitor window at tile size, and its rasters.
// - History8h: resident memory with 100 loopback monitors after eight hours of results.
// - OpenGroup/<targets>: opening a stored group of 200, 1,000 or 5,000 loopback targets, then
//   closing the window with its close button. Reports the time until every monitor has its
//   first result, the longest stretch in which the UI thread handled no event while the group
//   opens (how long the window stops answering at worst), the resident memory after opening (and
//   what the opening added, per monitor), and the close: from the button until the window is
//   gone with every monitor stopped, and until the window object is freed. Run one size per
//   process (--benchmark_filter=OpenGroup/targets:5000/) for resident figures of its own: in one
//   run the allocator keeps what the earlier sizes gave back.
// - CloseWhileOpening/5000: the close button pressed while 5,000 targets are still opening.
// - UiShare/<monitors>/<view>: the UI thread's share of one core over 10 s with monitors at a
//   1 s period, in tiles (view 0) and in the list view (view 1); one monitor is the baseline.
//
// Needs ICMP echo rights (root, CAP_NET_RAW or ping_group_range); only 127.0.0.0/8 is pinged.
#include "icmp_dll.h"
#include "uFrmMain.h"
#include "uFrmPinger.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <ctime>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

double ThreadCpuSeconds() {
    timespec T{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return double(T.tv_sec) + double(T.tv_nsec) / 1e9;
}

// Loopback addresses 127.0.1.1, 127.0.1.2, ...
QString LoopbackTarget(int I) {
    return QStringLiteral("127.0.%1.%2").arg(1 + I / 250).arg(1 + I % 250);
}

// A private XDG home holding a config.ini with the group "Bench" of Count targets, opened at
// start when Open is true.
class TBenchHome {
public:
    TBenchHome(int Count, bool Open) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FDir.path() + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(FDir.path() + QStringLiteral("/data")));
        const QString Folder = FDir.path() + QStringLiteral("/config/Zephra Software/Vantorel");
        QDir().mkpath(Folder);
        QByteArray Text = "[COMMON]\r\nHintsEnable=1\r\nListViewEnable=0\r\nDefaultGroup=";
        Text += Open ? "Bench" : "";
        Text += "\r\n[GROUPS]\r\n0=Bench\r\n[Bench]\r\n";
        for (int I = 0; I < Count; ++I) {
            Text += QByteArray::number(I) + '=' + LoopbackTarget(I).toLatin1() + "\r\n";
        }
        QFile File(Folder + QStringLiteral("/config.ini"));
        File.open(QIODevice::WriteOnly);
        File.write(Text);
    }

private:
    QTemporaryDir FDir;
};

// An event that posts itself again each time it is handled: the longest time between two of
// them is the longest stretch in which the UI thread handled no event at all.
class TBeat : public QObject {
public:
    void Start() {
        FRunning = true;
        FTimer.start();
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    }
    void Stop() { FRunning = false; }
    double LongestGapMs() const { return double(FLongest) / 1e6; }
    // When the longest stretch ended, in ms after Start().
    double LongestGapEndMs() const { return double(FLongestEnd) / 1e6; }

protected:
    bool event(QEvent* Event) override {
        if (Event->type() != QEvent::User) {
            return QObject::event(Event);
        }
        const qint64 Now = FTimer.nsecsElapsed();
        if (Now - FLast > FLongest) {
            FLongest = Now - FLast;
            FLongestEnd = Now;
        }
        FLast = Now;
        if (FRunning) {
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        }
        return true;
    }

private:
    QElapsedTimer FTimer;
    qint64 FLast = 0;
    qint64 FLongest = 0;
    qint64 FLongestEnd = 0;
    bool FRunning = false;
};

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const std::string& Field) {
    std::ifstream In("/proc/self/status");
    std::string Line;
    while (std::getline(In, Line)) {
        if (Line.compare(0, Field.size() + 1, Field + ":") == 0) {
            return std::atol(Line.c_str() + Field.size() + 1);
        }
    }
    return -1;
}

bool AllHaveResults(const TfrmMain& Main) {
    for (int I = 0; I < Main.Hub().Count(); ++I) {
        if (Main.Hub().Monitor(I)->LastEvent().Status == PING_STATUS_INITIALIZING) {
            return false;
        }
    }
    return true;
}

// Runs the event loop until Done() or the deadline; Done is asked every 20 ms, so the loop
// sleeps in between like the program's own.
void RunUntil(const std::function<bool()>& Done, int TimeoutMs) {
    QEventLoop Loop;
    QTimer Poll;
    QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
        if (Done()) {
            Loop.quit();
        }
    });
    Poll.start(20);
    QTimer::singleShot(TimeoutMs, &Loop, &QEventLoop::quit);
    if (!Done()) {
        Loop.exec();
    }
}

void CloseMain(TfrmMain& Main) {
    Main.Core().CloseAllMonitors();
    QCoreApplication::processEvents();
}

bool CheckIcmp(benchmark::State& State) {
    const TIcmpProbeResult Probe = ProbeIcmp();
    if (!Probe.Works) {
        State.SkipWithError(Probe.Problem.c_str());
    }
    return Probe.Works;
}

void OpenGroup(benchmark::State& State) {
    if (!CheckIcmp(State)) {
        return;
    }
    const int Count = int(State.range(0));
    for (auto _ : State) {
        TBenchHome Home(Count, false);
        auto Main = std::make_unique<TfrmMain>();
        Main->show();
        Main->FormActivate(); // opens no group
        QCoreApplication::processEvents();
        const double RssBefore = double(StatusKiB("VmRSS")) / 1024.0;

        QElapsedTimer Clock;
        Clock.start();
        TBeat Beat;
        Beat.Start();
        Main->Core().SelectGroup(Main->Core().Groups().Names().value(0));
        const double Opened = double(Clock.elapsed());
        RunUntil([&] { return AllHaveResults(*Main); }, 60000);
        const double AllFirst = double(Clock.elapsed());
        Beat.Stop();
        State.SetIterationTime(AllFirst / 1000.0);
        const double Rss = double(StatusKiB("VmRSS")) / 1024.0;
        State.counters["monitors"] = Main->Hub().Count();
        State.counters["open_ms"] = Opened;
        State.counters["all_first_results_ms"] = AllHaveResults(*Main) ? AllFirst : -1;
        State.counters["longest_ui_gap_ms"] = Beat.LongestGapMs();
        State.counters["longest_ui_gap_end_ms"] = Beat.LongestGapEndMs();
        State.counters["rss_MiB"] = Rss;
        State.counters["rss_added_KiB_per_monitor"] = (Rss - RssBefore) * 1024.0 / Count;

        // The close button: the group is saved and every monitor closed, then the window goes.
        QElapsedTimer Closing;
        Closing.start();
        QTimer::singleShot(0, Main.get(), [&] { Main->close(); });
        RunUntil([&] { return !Main->isVisible() && Main->Hub().Count() == 0; }, 60000);
        State.counters["close_ms"] = Main->isVisible() ? -1 : double(Closing.elapsed());
        Main.reset();
        State.counters["close_and_free_ms"] = double(Closing.elapsed());
    }
}
BENCHMARK(OpenGroup)
    ->Arg(200)
    ->Arg(1000)
    ->Arg(5000)
    ->ArgName("targets")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The window's close button pressed while a group of 5,000 loopback targets is still opening:
// the time from the close to the window gone with every monitor stopped, and how many monitors
// had started.
void CloseWhileOpening(benchmark::State& State) {
    if (!CheckIcmp(State)) {
        return;
    }
    const int Count = int(State.range(0));
    for (auto _ : State) {
        TBenchHome Home(Count, false);
        TfrmMain Main;
        Main.show();
        Main.FormActivate();
        QCoreApplication::processEvents();
        QElapsedTimer Clock;
        int Started = -1;
        QTimer::singleShot(1000, &Main, [&] {
            Started = Main.Hub().Count();
            Clock.start();
            Main.close();
        });
        Main.Core().SelectGroup(Main.Core().Groups().Names().value(0));
        RunUntil([&] { return Clock.isValid() && !Main.isVisible() && Main.Hub().Count() == 0; },
                 60000);
        const double Closed = Clock.isValid() ? double(Clock.elapsed()) : -1;
        State.SetIterationTime(Closed / 1000.0);
        State.counters["started_at_close"] = Started;
        State.counters["close_ms"] = Main.isVisible() ? -1 : Closed;
    }
}
BENCHMARK(CloseWhileOpening)
    ->Arg(5000)
    ->ArgName("targets")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void UiShare(benchmark::State& State) {
    if (!CheckIcmp(State)) {
        return;
    }
    const int Count = int(State.range(0));
    const bool ListView = State.range(1) != 0;
    for (auto _ : State) {
        TBenchHome Home(Count, true);
        TfrmMain Main;
        Main.show();
        Main.FormActivate();
        if (ListView) {
            Main.Core().ToggleView();
        }
        // Settle: every monitor has results and its loop is in step.
        RunUntil([&] { return AllHaveResults(Main); }, 10000);
        RunUntil([] { return false; }, 2000);
        const double Cpu0 = ThreadCpuSeconds();
        QElapsedTimer Wall;
        Wall.start();
        RunUntil([] { return false; }, 10000);
        const double Seconds = double(Wall.elapsed()) / 1000.0;
        const double Cpu = ThreadCpuSeconds() - Cpu0;
        State.SetIterationTime(Seconds);
        State.counters["monitors"] = Main.Hub().Count();
        State.counters["ui_thread_core_pct"] = 100.0 * Cpu / Seconds;
        CloseMain(Main);
    }
}
BENCHMARK(UiShare)
    ->Args({1, 0})
    ->Args({200, 0})
    ->Args({1, 1})
    ->Args({200, 1})
    ->ArgNames({"monitors", "list"})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Heap of one monitor window at tile size (240 x 202), shown and painted, without history: the
// allocator's figures before and after a hundred of them, and the rasters among them.
void WindowMemory(benchmark::State& State) {
    constexpr int Count = 100;
    for (auto _ : State) {
        QWidget Panel;
        Panel.resize(240 * 10, 202 * 10);
        Panel.show();
        QCoreApplication::processEvents();
        malloc_trim(0);
        const struct mallinfo2 Before = mallinfo2();
        std::vector<TfrmPinger*> Windows;
        for (int I = 0; I < Count; ++I) {
            auto* W = new TfrmPinger();
            W->setParent(&Panel);
            W->setGeometry((I / 10) * 240, (I % 10) * 202, 240, 202);
            W->show();
            Windows.push_back(W);
        }
        QCoreApplication::processEvents();
        const struct mallinfo2 After = mallinfo2();
        qsizetype Rasters = 0;
        for (const TfrmPinger* W : Windows) {
            Rasters += W->Session().Graph().RasterBytes();
        }
        const double Heap =
            double((After.uordblks + After.hblkhd) - (Before.uordblks + Before.hblkhd));
        State.counters["heap_KiB_per_window"] = Heap / Count / 1024.0;
        State.counters["rasters_KiB_per_window"] = double(Rasters) / Count / 1024.0;
        for (TfrmPinger* W : Windows) {
            W->OnMonitorClosed = nullptr;
            delete W;
        }
    }
}
BENCHMARK(WindowMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// A hundred loopback monitors in tiles after eight hours of one-second results: the history is
// fed through each monitor's result handling with times over the last eight hours (the loops
// keep pinging meanwhile), then the process's resident memory is read.
void History8h(benchmark::State& State) {
    if (!CheckIcmp(State)) {
        return;
    }
    constexpr int Count = 100;
    constexpr int EightHours = 28800;
    for (auto _ : State) {
        TBenchHome Home(Count, true);
        TfrmMain Main;
        Main.show();
        Main.FormActivate();
        RunUntil([&] { return AllHaveResults(Main); }, 10000);
        const double Start = double(StatusKiB("VmRSS")) / 1024.0;
        const TDateTime Now = SystemClock()->Now();
        for (int M = 0; M < Main.Hub().Count(); ++M) {
            TPingerSession* Mon = Main.Hub().Monitor(M);
            const TPingEvent Last = Mon->LastEvent();
            const auto Updated = std::exchange(Mon->OnMonitorUpdated, nullptr);
            Mon->SetDrawEnabled(false);
            for (int I = EightHours; I > 0; --I) {
                TPingEvent E = Last;
                E.Time = Now - I / 86400.0;
                E.RoundTrip = I % 7;
                Mon->PingDone(E);
            }
            Mon->SetDrawEnabled(true);
            Mon->OnMonitorUpdated = Updated;
            QCoreApplication::processEvents();
        }
        RunUntil([] { return false; }, 3000);
        State.counters["monitors"] = Main.Hub().Count();
        State.counters["samples_per_monitor"] = double(Main.Hub().Monitor(0)->Samples().size());
        State.counters["rss_start_MiB"] = Start;
        State.counters["rss_8h_MiB"] = double(StatusKiB("VmRSS")) / 1024.0;
        CloseMain(Main);
    }
}
BENCHMARK(History8h)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication App(argc, argv);
    TzsMessageBox::SetTestMode(true); // a benchmark never waits on a message box
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

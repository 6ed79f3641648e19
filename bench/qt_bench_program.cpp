// What the whole program costs as a user runs it: the real program file, started with a private
// home whose config.ini opens one group of N loopback targets (default settings: 1 s period, tiles
// or the list view), under its own Xvfb when one is installed (else Qt's offscreen platform).
// After a warm-up its CPU (all threads, from the scheduler's statistics) is measured over a
// stretch, with its resident memory at the start of the stretch and at its peak; then fping runs
// over the same hosts (`fping -l -p 1000 -q HOSTS`) for the same warm-up and stretch, and its
// figures are reported beside the program's. The X server's CPU over the program's stretch is
// reported too (the program's drawing costs it), and the load average before each stretch.
//
//   qt_bench_program --benchmark_filter='Program/100/0'    # 100 tiles
//   VANTOREL_BENCH_WARMUP=10 VANTOREL_BENCH_SECONDS=30 qt_bench_program
//   VANTOREL_BENCH_PROGRAM=/path/to/other/vantorel qt_bench_program    # another build
//
// Needs ICMP echo rights for the program and fping (root, CAP_NET_RAW or ping_group_range);
// only 127.0.0.0/8 is pinged.
#include "loop_bench_support.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef VANTOREL_PROGRAM
#error "VANTOREL_PROGRAM names the program file to start"
#endif

namespace {

using namespace loopbench;
namespace fs = std::filesystem;

int EnvSeconds(const char* Name, int Default) {
    const char* Value = std::getenv(Name);
    return Value && std::atoi(Value) > 0 ? std::atoi(Value) : Default;
}

// Loopback addresses 127.0.1.1, 127.0.1.2, ...
std::string LoopbackTarget(int I) {
    return "127.0." + std::to_string(1 + I / 250) + "." + std::to_string(1 + I % 250);
}

double Load1() {
    std::ifstream In("/proc/loadavg");
    double L = -1;
    In >> L;
    return L;
}

// CPU time of every thread of a process so far, in seconds (the scheduler's statistics, in
// nanoseconds; threads that ended are no longer counted, so measure while they run).
double ProcessCpuSeconds(pid_t Pid) {
    const std::string Tasks = "/proc/" + std::to_string(Pid) + "/task";
    DIR* Dir = ::opendir(Tasks.c_str());
    if (!Dir) {
        return -1;
    }
    double Ns = 0;
    while (const dirent* Entry = ::readdir(Dir)) {
        if (Entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream In(Tasks + "/" + Entry->d_name + "/schedstat");
        double Run = 0;
        if (In >> Run) {
            Ns += Run;
        }
    }
    ::closedir(Dir);
    return Ns / 1e9;
}

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), or -1.
long ProcessKiB(pid_t Pid, const std::string& Field) {
    std::ifstream In("/proc/" + std::to_string(Pid) + "/status");
    std::string Line;
    while (std::getline(In, Line)) {
        if (Line.compare(0, Field.size() + 1, Field + ":") == 0) {
            return std::atol(Line.c_str() + Field.size() + 1);
        }
    }
    return -1;
}

void Stop(pid_t& Pid) {
    if (Pid > 0) {
        ::kill(Pid, SIGKILL);
        ::waitpid(Pid, nullptr, 0);
        Pid = -1;
    }
}

// An X server of our own on a free display, listening on no TCP port.
class TXServer {
public:
    bool Start() {
        const std::string Program = FindProgram("Xvfb");
        int Pipe[2];
        if (Program.empty() || ::pipe(Pipe) != 0) {
            return false;
        }
        FPid = ::fork();
        if (FPid == 0) {
            ::close(Pipe[0]);
            const int Null = ::open("/dev/null", O_RDWR);
            ::dup2(Null, STDIN_FILENO);
            ::dup2(Null, STDOUT_FILENO);
            ::dup2(Null, STDERR_FILENO);
            const std::string Fd = std::to_string(Pipe[1]);
            ::execl(Program.c_str(), Program.c_str(), "-displayfd", Fd.c_str(), "-nolisten", "tcp",
                    "-screen", "0", "1600x1000x24", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(Pipe[1]);
        char Buffer[32] = {};
        std::size_t Got = 0;
        while (Got < sizeof Buffer - 1) {
            const ssize_t N = ::read(Pipe[0], Buffer + Got, sizeof Buffer - 1 - Got);
            if (N <= 0 || std::memchr(Buffer, '\n', Got + std::size_t(N))) {
                Got += N > 0 ? std::size_t(N) : 0;
                break;
            }
            Got += std::size_t(N);
        }
        ::close(Pipe[0]);
        if (Got == 0) {
            Stop(FPid);
            return false;
        }
        Display = ":" + std::string(Buffer, std::strcspn(Buffer, "\n"));
        return true;
    }
    ~TXServer() { Stop(FPid); }
    pid_t Pid() const { return FPid; }
    std::string Display;

private:
    pid_t FPid = -1;
};

// A private home with a config.ini that opens the group "Bench" of Count loopback targets.
class THome {
public:
    THome(int Count, bool ListView) {
        char Template[] = "/tmp/vantorel-bench-XXXXXX";
        Root = ::mkdtemp(Template);
        const fs::path Folder = fs::path(Root) / "config" / "Zephra Software" / "Vantorel";
        fs::create_directories(Folder);
        fs::create_directories(fs::path(Root) / "data");
        std::ofstream Out(Folder / "config.ini", std::ios::binary);
        Out << "[COMMON]\r\nHintsEnable=1\r\nListViewEnable=" << (ListView ? 1 : 0)
            << "\r\nDefaultGroup=Bench\r\n[GROUPS]\r\n0=Bench\r\n[Bench]\r\n";
        for (int I = 0; I < Count; ++I) {
            Out << I << '=' << LoopbackTarget(I) << "\r\n";
        }
    }
    ~THome() {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    std::string Root;
};

struct TFigures {
    double CpuPct = -1;     // of one core
    double RssMiB = -1;     // at the start of the stretch
    double PeakMiB = -1;    // VmHWM at its end
    double XServerPct = -1; // the X server's CPU over the same stretch
    double Load1 = -1;      // load average before the stretch
};

// Warm-up, then the stretch; the process keeps running until the caller stops it.
TFigures Measure(pid_t Pid, pid_t XServer, int WarmUp, int Stretch) {
    TFigures F;
    std::this_thread::sleep_for(std::chrono::seconds(WarmUp));
    F.Load1 = Load1();
    F.RssMiB = double(ProcessKiB(Pid, "VmRSS")) / 1024.0;
    const double Cpu0 = ProcessCpuSeconds(Pid);
    const double X0 = XServer > 0 ? ProcessCpuSeconds(XServer) : -1;
    const auto T0 = TSteady::now();
    std::this_thread::sleep_for(std::chrono::seconds(Stretch));
    const double Wall = std::chrono::duration<double>(TSteady::now() - T0).count();
    // A thread that ended during the stretch takes its time out of the sum: never report less
    // than nothing (the idle program's few short-lived threads).
    F.CpuPct = std::max(0.0, 100.0 * (ProcessCpuSeconds(Pid) - Cpu0) / Wall);
    if (XServer > 0) {
        F.XServerPct = 100.0 * (ProcessCpuSeconds(XServer) - X0) / Wall;
    }
    F.PeakMiB = double(ProcessKiB(Pid, "VmHWM")) / 1024.0;
    return F;
}

void Program(benchmark::State& State) {
    const int Count = int(State.range(0));
    const bool ListView = State.range(1) != 0;
    const int WarmUp = EnvSeconds("VANTOREL_BENCH_WARMUP", 10);
    const int Stretch = EnvSeconds("VANTOREL_BENCH_SECONDS", 30);
    std::vector<std::string> Hosts;
    for (int I = 0; I < Count; ++I) {
        Hosts.push_back(LoopbackTarget(I));
    }
    for (auto _ : State) {
        TXServer X;
        const bool HaveX = X.Start();
        THome Home(Count, ListView);
        ::setenv("HOME", Home.Root.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (Home.Root + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (Home.Root + "/data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", Home.Root.c_str(), 1);
        if (HaveX) {
            ::setenv("DISPLAY", X.Display.c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        } else {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }
        const char* Other = std::getenv("VANTOREL_BENCH_PROGRAM"); // another build to compare
        pid_t Pid = Spawn({Other && *Other ? Other : VANTOREL_PROGRAM});
        const TFigures Mine = Measure(Pid, HaveX ? X.Pid() : -1, WarmUp, Stretch);
        Stop(Pid);
        State.SetIterationTime(Stretch);
        State.counters["x11"] = HaveX ? 1 : 0;
        State.counters["cpu_pct"] = Mine.CpuPct;
        State.counters["rss_MiB"] = Mine.RssMiB;
        State.counters["peak_MiB"] = Mine.PeakMiB;
        State.counters["load1"] = Mine.Load1;
        if (HaveX) {
            State.counters["xserver_cpu_pct"] = Mine.XServerPct;
        }
        if (Count == 0) {
            continue;
        }
        const std::string Fping = FindProgram("fping");
        if (Fping.empty()) {
            State.counters["fping_cpu_pct"] = -1;
            continue;
        }
        std::vector<std::string> Args = {Fping, "-l", "-p", "1000", "-q"};
        Args.insert(Args.end(), Hosts.begin(), Hosts.end());
        pid_t FpingPid = Spawn(Args);
        const TFigures Theirs = Measure(FpingPid, -1, WarmUp, Stretch);
        Stop(FpingPid);
        State.counters["fping_cpu_pct"] = Theirs.CpuPct;
        State.counters["fping_rss_MiB"] = Theirs.RssMiB;
        State.counters["fping_load1"] = Theirs.Load1;
        State.counters["cpu_ratio_to_fping"] =
            Theirs.CpuPct > 0 ? Mine.CpuPct / Theirs.CpuPct : 0.0;
    }
}
BENCHMARK(Program)
    ->ArgNames({"monitors", "list"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({100, 0})
    ->Args({1, 1})
    ->Args({10, 1})
    ->Args({100, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

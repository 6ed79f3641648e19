// What the headless probe costs beside fping, and what a scrape of its metrics costs.
//
// Probe/N/Busy: the real program file with --headless and a private home whose config.ini opens
// one group of N loopback targets (1 s period); after a warm-up, its CPU (all threads, from the
// scheduler's statistics), voluntary context switches (wake-ups) and resident memory over a
// stretch; then `fping -l -p 1000 -q` over the same hosts for the same stretch. The two alternate
// for several rounds and the medians are reported. With Busy 1 a child process keeps one core
// busy the whole time. The load average is reported beside.
//
// Scrape/N: one scrape of N monitors' metrics, in-process: the registry's collection and the
// text exposition (the work the exposer's thread does per scrape), as CPU time.
//
//   qt_bench_probe --benchmark_filter='Probe/1000/0'
//   VANTOREL_BENCH_WARMUP=10 VANTOREL_BENCH_SECONDS=20 VANTOREL_BENCH_ROUNDS=3 qt_bench_probe
//
// Needs ICMP echo rights for the program and fping (root, or ping_group_range); only
// 127.0.0.0/8 is pinged.
#include "loop_bench_support.h"
#include "uMetricsEndpoint.h"

#include <benchmark/benchmark.h>
#include <prometheus/text_serializer.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

int Env(const char* Name, int Default) {
    const char* Value = std::getenv(Name);
    return Value && std::atoi(Value) > 0 ? std::atoi(Value) : Default;
}

std::string Target(int I) {
    return "127.0." + std::to_string(1 + I / 250) + "." + std::to_string(1 + I % 250);
}

// Sums of every thread's figures of a process: CPU seconds (schedstat) and voluntary context
// switches.
struct TTaskSums {
    double Cpu = 0;
    double Wakeups = 0;
};
TTaskSums Sums(pid_t Pid) {
    TTaskSums S;
    const std::string Tasks = "/proc/" + std::to_string(Pid) + "/task";
    DIR* Dir = ::opendir(Tasks.c_str());
    if (!Dir) {
        return S;
    }
    while (const dirent* Entry = ::readdir(Dir)) {
        if (Entry->d_name[0] == '.') {
            continue;
        }
        const std::string Task = Tasks + "/" + Entry->d_name;
        std::ifstream Stat(Task + "/schedstat");
        double Ns = 0;
        if (Stat >> Ns) {
            S.Cpu += Ns / 1e9;
        }
        std::ifstream Status(Task + "/status");
        for (std::string Line; std::getline(Status, Line);) {
            if (Line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                S.Wakeups += std::atof(Line.c_str() + 24);
            }
        }
    }
    ::closedir(Dir);
    return S;
}

double PeakMiB(pid_t Pid) {
    std::ifstream In("/proc/" + std::to_string(Pid) + "/status");
    for (std::string Line; std::getline(In, Line);) {
        if (Line.rfind("VmHWM:", 0) == 0) {
            return std::atof(Line.c_str() + 6) / 1024.0;
        }
    }
    return -1;
}

double Load1() {
    std::ifstream In("/proc/loadavg");
    double L = -1;
    In >> L;
    return L;
}

pid_t Start(const std::vector<std::string>& Args, const std::vector<std::string>& Environment) {
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        const int Null = ::open("/dev/null", O_RDWR);
        ::dup2(Null, STDIN_FILENO);
        ::dup2(Null, STDOUT_FILENO);
        ::dup2(Null, STDERR_FILENO);
        std::vector<char*> Argv, Envp;
        for (const std::string& A : Args) {
            Argv.push_back(const_cast<char*>(A.c_str()));
        }
        for (const std::string& E : Environment) {
            Envp.push_back(const_cast<char*>(E.c_str()));
        }
        Argv.push_back(nullptr);
        Envp.push_back(nullptr);
        ::execve(Argv[0], Argv.data(), Envp.data());
        ::_exit(127);
    }
    return Pid;
}

void Stop(pid_t Pid, int Signal = SIGKILL) {
    if (Pid > 0) {
        ::kill(Pid, Signal);
        ::waitpid(Pid, nullptr, 0);
    }
}

struct TStretch {
    double CpuPct = 0, WakeupsPerEcho = 0, PeakMiB = 0, Load1 = 0;
};

TStretch Measure(pid_t Pid, int Count, int WarmUp, int Seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(WarmUp));
    TStretch R;
    R.Load1 = Load1();
    const TTaskSums A = Sums(Pid);
    const auto T0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(Seconds));
    const TTaskSums B = Sums(Pid);
    const double Wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
    R.CpuPct = std::max(0.0, 100.0 * (B.Cpu - A.Cpu) / Wall);
    R.WakeupsPerEcho = (B.Wakeups - A.Wakeups) / (Wall * Count);
    R.PeakMiB = PeakMiB(Pid);
    return R;
}

double Median(std::vector<double> V) {
    std::sort(V.begin(), V.end());
    return V.empty() ? -1 : V[V.size() / 2];
}

void Probe(benchmark::State& State) {
    const int Count = int(State.range(0));
    const bool Busy = State.range(1) != 0;
    const int WarmUp = Env("VANTOREL_BENCH_WARMUP", 10);
    const int Seconds = Env("VANTOREL_BENCH_SECONDS", 20);
    const int Rounds = Env("VANTOREL_BENCH_ROUNDS", 3);
    const std::string Fping = FindProgram("fping");
    if (Fping.empty()) {
        State.SkipWithError("fping is not installed");
        return;
    }
    char Template[] = "/tmp/vantorel-probe-bench-XXXXXX";
    const fs::path Root = ::mkdtemp(Template);
    const fs::path Folder = Root / "config" / "Zephra Software" / "Vantorel";
    fs::create_directories(Folder);
    {
        std::ofstream Out(Folder / "config.ini", std::ios::binary);
        Out << "[COMMON]\r\nDefaultGroup=Bench\r\n[GROUPS]\r\n0=Bench\r\n[Bench]\r\n";
        for (int I = 0; I < Count; ++I) {
            Out << I << '=' << Target(I) << "\r\n";
        }
    }
    std::vector<std::string> FpingArgs = {Fping, "-l", "-p", "1000", "-q"};
    for (int I = 0; I < Count; ++I) {
        FpingArgs.push_back(Target(I));
    }
    const std::vector<std::string> Environment = {
        "HOME=" + Root.string(), "XDG_CONFIG_HOME=" + (Root / "config").string(),
        "XDG_DATA_HOME=" + (Root / "data").string(), "XDG_RUNTIME_DIR=" + Root.string(),
        "PATH=/usr/bin:/bin"};

    pid_t Spinner = -1;
    if (Busy) {
        Spinner = ::fork();
        if (Spinner == 0) {
            for (unsigned long I = 0;; ++I) {
                benchmark::DoNotOptimize(I);
            }
        }
    }
    std::vector<double> ProgramCpu, FpingCpu, ProgramWake, FpingWake, ProgramPeak, FpingPeak, Loads;
    for (auto _ : State) {
        for (int Round = 0; Round < Rounds; ++Round) {
            const pid_t Program = Start({VANTOREL_PROGRAM, "--headless"}, Environment);
            const TStretch P = Measure(Program, Count, WarmUp, Seconds);
            Stop(Program, SIGTERM);
            const pid_t F = Start(FpingArgs, Environment);
            const TStretch Q = Measure(F, Count, WarmUp, Seconds);
            Stop(F);
            ProgramCpu.push_back(P.CpuPct);
            FpingCpu.push_back(Q.CpuPct);
            ProgramWake.push_back(P.WakeupsPerEcho);
            FpingWake.push_back(Q.WakeupsPerEcho);
            ProgramPeak.push_back(P.PeakMiB);
            FpingPeak.push_back(Q.PeakMiB);
            Loads.push_back(P.Load1);
            Loads.push_back(Q.Load1);
        }
    }
    Stop(Spinner);
    std::error_code Ignored;
    fs::remove_all(Root, Ignored);

    State.counters["probe_cpu_pct"] = Median(ProgramCpu);
    State.counters["fping_cpu_pct"] = Median(FpingCpu);
    State.counters["cpu_ratio"] = Median(ProgramCpu) / std::max(1e-9, Median(FpingCpu));
    State.counters["probe_wakeups_per_echo"] = Median(ProgramWake);
    State.counters["fping_wakeups_per_echo"] = Median(FpingWake);
    State.counters["probe_peak_MiB"] = Median(ProgramPeak);
    State.counters["fping_peak_MiB"] = Median(FpingPeak);
    State.counters["load1"] = Median(Loads);
}
BENCHMARK(Probe)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

double ThreadCpuMs() {
    timespec T{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
    return double(T.tv_sec) * 1e3 + double(T.tv_nsec) / 1e6;
}

// Filled as a day of results would leave it: every bucket, two failure kinds per target.
void Scrape(benchmark::State& State) {
    const int Count = int(State.range(0));
    TMetricsRegistry Registry;
    std::vector<int> Keys(std::size_t(Count), 0);
    for (int I = 0; I < Count; ++I) {
        Registry.Add(&Keys[std::size_t(I)],
                     {Target(I), "host " + std::to_string(I), Target(I), "Bench"});
        for (int R = 0; R < 40; ++R) {
            Registry.Result(&Keys[std::size_t(I)], R % 10 != 0, 0.05 * R * R,
                            R % 20 ? "REQ_TIMED_OUT" : "DEST_HOST_UNREACHABLE");
        }
        Registry.SetUptime(&Keys[std::size_t(I)], 90);
        Registry.SetAlertState(&Keys[std::size_t(I)], TAlertState::Up);
    }
    const prometheus::TextSerializer Serializer;
    std::size_t Bytes = 0;
    double CpuMs = 0;
    for (auto _ : State) {
        const double C0 = ThreadCpuMs();
        const std::string Text = Serializer.Serialize(Registry.Collect());
        CpuMs += ThreadCpuMs() - C0;
        Bytes = Text.size();
        benchmark::DoNotOptimize(Text.data());
    }
    State.counters["cpu_ms_per_scrape"] = CpuMs / double(State.iterations());
    State.counters["exposition_KiB"] = double(Bytes) / 1024.0;
}
BENCHMARK(Scrape)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void Collect(benchmark::State& State) {
    TMetricsRegistry Registry;
    std::vector<int> Keys(1000, 0);
    for (int I = 0; I < 1000; ++I) {
        Registry.Add(&Keys[std::size_t(I)], {Target(I), "host", Target(I), "Bench"});
        Registry.Result(&Keys[std::size_t(I)], false, 0, "REQ_TIMED_OUT");
    }
    for (auto _ : State) {
        benchmark::DoNotOptimize(Registry.Collect());
    }
}
BENCHMARK(Collect)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

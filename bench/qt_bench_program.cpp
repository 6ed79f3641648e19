// What the whole program costs as a user runs it: the real program file, started with a private
// home whose config.ini opens one group of N loopback targets (default settings: 1 s period, tiles
// or the list view), under its own Xvfb when one is installed (else Qt's offscreen platform).
// After a warm-up its CPU (all threads, from the scheduler's statistics), voluntary context
// switches (wake-ups) and resident memory are measured over a stretch; then fping runs over the
// same hosts (`fping -l -p 1000 -q`, as the probe benchmark starts it) for the same warm-up and
// stretch. The two alternate for several rounds and the medians are reported. With Busy 1 a
// child process keeps one core busy the whole time, as another program of the user's would.
// The X server's CPU over the program's stretches (the program's drawing costs it) and the load
// average are reported beside.
//
//   qt_bench_program --benchmark_filter='monitors:100/list:0/busy:0'    # 100 tiles, quiet
//   VANTOREL_BENCH_WARMUP=10 VANTOREL_BENCH_SECONDS=20 VANTOREL_BENCH_ROUNDS=5 qt_bench_program
//   VANTOREL_BENCH_PROGRAM=/path/to/other/vantorel qt_bench_program    # another build
//
// Needs ICMP echo rights for the program and fping (root, CAP_NET_RAW or ping_group_range);
// only 127.0.0.0/8 is pinged.
#include "loop_bench_support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef VANTOREL_PROGRAM
#error "VANTOREL_PROGRAM names the program file to start"
#endif

namespace {

using namespace loopbench;

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

void Program(benchmark::State& State) {
    const int Count = int(State.range(0));
    const bool ListView = State.range(1) != 0;
    const bool Busy = State.range(2) != 0;
    const int WarmUp = EnvInt("VANTOREL_BENCH_WARMUP", 10);
    const int Seconds = EnvInt("VANTOREL_BENCH_SECONDS", 20);
    const int Rounds = EnvInt("VANTOREL_BENCH_ROUNDS", 5);
    const std::string Fping = Count > 0 ? FindProgram("fping") : std::string();
    std::vector<std::string> Hosts;
    for (int I = 0; I < Count; ++I) {
        Hosts.push_back(LoopbackTarget(I));
    }
    TXServer X;
    const bool HaveX = X.Start();
    const TBenchHome Home(Hosts, std::string("HintsEnable=1\r\nListViewEnable=") +
                                     (ListView ? "1" : "0") + "\r\n");
    std::vector<std::string> Environment = Home.Environment();
    if (HaveX) {
        Environment.push_back("DISPLAY=" + X.Display);
        Environment.push_back("QT_QPA_PLATFORM=xcb");
    } else {
        Environment.push_back("QT_QPA_PLATFORM=offscreen");
    }
    const char* Other = std::getenv("VANTOREL_BENCH_PROGRAM"); // another build to compare
    const std::string File = Other && *Other ? Other : VANTOREL_PROGRAM;

    pid_t Spinner = Busy ? StartSpinner() : -1;
    std::vector<double> Cpu, Wake, Resident, Peak, XCpu, FpingCpu, FpingWake, FpingPeak, Loads;
    const double Echoes = std::max(1, Count);
    for (auto _ : State) {
        for (int Round = 0; Round < Rounds; ++Round) {
            pid_t Pid = Spawn({File}, -1, Environment);
            const TStretch Mine = MeasureStretch(Pid, WarmUp, Seconds, HaveX ? X.Pid() : -1);
            Stop(Pid);
            Cpu.push_back(Mine.CpuPct);
            Wake.push_back(Mine.Wakeups / (Mine.Seconds * Echoes));
            Resident.push_back(Mine.RssMiB);
            Peak.push_back(Mine.PeakMiB);
            XCpu.push_back(Mine.OtherCpuPct);
            Loads.push_back(Mine.Load1);
            if (Fping.empty()) {
                continue;
            }
            pid_t F = Spawn(FpingLoopArgs(Fping, Hosts), -1, Environment);
            const TStretch Theirs = MeasureStretch(F, WarmUp, Seconds);
            Stop(F);
            FpingCpu.push_back(Theirs.CpuPct);
            FpingWake.push_back(Theirs.Wakeups / (Theirs.Seconds * Echoes));
            FpingPeak.push_back(Theirs.PeakMiB);
            Loads.push_back(Theirs.Load1);
        }
        State.SetIterationTime(double(Rounds) * Seconds * (Fping.empty() ? 1 : 2));
    }
    Stop(Spinner);

    State.counters["x11"] = HaveX ? 1 : 0;
    State.counters["cpu_pct"] = Median(Cpu);
    State.counters["wakeups_per_echo"] = Median(Wake);
    State.counters["rss_MiB"] = Median(Resident);
    State.counters["peak_MiB"] = Median(Peak);
    State.counters["load1"] = Median(Loads);
    if (HaveX) {
        State.counters["xserver_cpu_pct"] = Median(XCpu);
    }
    if (Count > 0 && Fping.empty()) {
        State.counters["fping_cpu_pct"] = -1;
    } else if (Count > 0) {
        State.counters["fping_cpu_pct"] = Median(FpingCpu);
        State.counters["fping_wakeups_per_echo"] = Median(FpingWake);
        State.counters["fping_peak_MiB"] = Median(FpingPeak);
        State.counters["cpu_ratio_to_fping"] =
            Median(FpingCpu) > 0 ? Median(Cpu) / Median(FpingCpu) : 0.0;
    }
}
BENCHMARK(Program)
    ->ArgNames({"monitors", "list", "busy"})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({10, 0, 0})
    ->Args({100, 0, 0})
    ->Args({100, 0, 1})
    ->Args({1, 1, 0})
    ->Args({10, 1, 0})
    ->Args({100, 1, 0})
    ->Args({100, 1, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

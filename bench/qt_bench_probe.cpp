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

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#ifndef VANTOREL_PROGRAM
#error "VANTOREL_PROGRAM names the program file to start"
#endif

namespace {

using namespace loopbench;

void Probe(benchmark::State& State) {
    const int Count = int(State.range(0));
    const bool Busy = State.range(1) != 0;
    const int WarmUp = EnvInt("VANTOREL_BENCH_WARMUP", 10);
    const int Seconds = EnvInt("VANTOREL_BENCH_SECONDS", 20);
    const int Rounds = EnvInt("VANTOREL_BENCH_ROUNDS", 3);
    const std::string Fping = FindProgram("fping");
    if (Fping.empty()) {
        State.SkipWithError("fping is not installed");
        return;
    }
    std::vector<std::string> Hosts;
    for (int I = 0; I < Count; ++I) {
        Hosts.push_back(LoopbackTarget(I));
    }
    const TBenchHome Home(Hosts);
    const std::vector<std::string> Environment = Home.Environment();

    pid_t Spinner = Busy ? StartSpinner() : -1;
    std::vector<double> ProgramCpu, FpingCpu, ProgramWake, FpingWake, ProgramPeak, FpingPeak, Loads;
    for (auto _ : State) {
        for (int Round = 0; Round < Rounds; ++Round) {
            pid_t Program = Spawn({VANTOREL_PROGRAM, "--headless"}, -1, Environment);
            const TStretch P = MeasureStretch(Program, WarmUp, Seconds);
            Stop(Program, SIGTERM);
            pid_t F = Spawn(FpingLoopArgs(Fping, Hosts), -1, Environment);
            const TStretch Q = MeasureStretch(F, WarmUp, Seconds);
            Stop(F);
            ProgramCpu.push_back(P.CpuPct);
            FpingCpu.push_back(Q.CpuPct);
            ProgramWake.push_back(P.Wakeups / (P.Seconds * Count));
            FpingWake.push_back(Q.Wakeups / (Q.Seconds * Count));
            ProgramPeak.push_back(P.PeakMiB);
            FpingPeak.push_back(Q.PeakMiB);
            Loads.push_back(P.Load1);
            Loads.push_back(Q.Load1);
        }
    }
    Stop(Spinner);

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
                     {LoopbackTarget(I), "host " + std::to_string(I), LoopbackTarget(I), "Bench"});
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
        Registry.Add(&Keys[std::size_t(I)],
                     {LoopbackTarget(I), "host", LoopbackTarget(I), "Bench"});
        Registry.Result(&Keys[std::size_t(I)], false, 0, "REQ_TIMED_OUT");
    }
    for (auto _ : State) {
        benchmark::DoNotOptimize(Registry.Collect());
    }
}
BENCHMARK(Collect)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// 1,000 ping loops at a 1000 ms period against loopback addresses (127.0.x.y), with fping
// pinging the same addresses for the same time in the same run as the baseline.
//
//   bench_loop_schedule [--benchmark_filter=...]
//   fake_echo:1  the request is replaced by one that answers at once: the loops' own share of
//                memory and CPU, without the echo service (fping is not run beside it)
//   mode:        the echo service's socket kind: 0 whichever it picks, 1 raw, 2 datagram (as
//                root the ping group range is widened just long enough to open the socket),
//                3 through the ICMP helper of the build tree (helper_... counters: its CPU,
//                peak resident memory and wake-ups; ..._with_helper: both processes' CPU
//                against fping's)
//   wakeups, fping_wakeups                             voluntary context switches over the run
//   counters: err_p50_ms / err_p99_ms / err_max_ms    start-to-start period error
//             thread_cpu_us_per_period                 a loop thread's CPU per period
//             cpu_pct_of_core, peak_rss_mib            this process over the run
//             loop_threads_cpu_pct_of_core             the loop threads' part of it
//             fping_cpu_pct_of_core, fping_peak_rss_mib, cpu_ratio_to_fping, rss_ratio_to_fping
//                                                      when fping is installed
//             steady_cpu_pct_of_core, steady_fping_cpu_pct_of_core, steady_cpu_ratio_to_fping
//                                                      the same once every loop runs, up to the
//                                                      stop (without thread starts and ends)
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "loop_bench_support.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace loopbench;

void BM_LoopSchedule(benchmark::State& State) {
    TLoopRun Run;
    const int Loops = int(State.range(0));
    Run.PeriodMs = int(State.range(1));
    Run.RunFor = std::chrono::seconds(State.range(2));
    Run.FakeEcho = State.range(3) != 0;
    for (int I = 0; I < Loops; ++I)
        Run.Targets.push_back("127.0." + std::to_string(I / 250) + "." +
                              std::to_string(I % 250 + 1));
    std::vector<std::size_t> All(Run.Targets.size());
    for (std::size_t I = 0; I < All.size(); ++I)
        All[I] = I;

    const TIcmpMode Mode = State.range(4) == 1   ? TIcmpMode::Raw
                           : State.range(4) == 2 ? TIcmpMode::Datagram
                           : State.range(4) == 3 ? TIcmpMode::Helper
                                                 : TIcmpMode::Auto;
    std::string Why;
    if (!Run.FakeEcho && !UseIcmpMode(Mode, Why)) {
        for (auto _ : State) {
        }
        State.SetLabel("skipped: " + Why);
        return;
    }

    for (auto _ : State) {
        TLoopResult Result;
        RunLoops(Run, !Run.FakeEcho, Result);
        ReportProcess(State, Result);
        ReportGroup(State, Result, All, Run.PeriodMs, "");
        std::string Label = Run.FakeEcho ? "fake echo" : IcmpServiceActiveMode();
        if (Result.FpingMissing)
            Label += ", fping not installed";
        State.SetLabel(Label);
    }
    IcmpServiceSetMode(TIcmpMode::Auto);
}

BENCHMARK(BM_LoopSchedule)
    ->Args({1000, 1000, 20, 1, 0})
    ->Args({1000, 1000, 20, 0, 0})
    ->Args({1000, 1000, 20, 0, 2})
    ->Args({1000, 1000, 20, 0, 3})
    ->ArgNames({"loops", "period_ms", "seconds", "fake_echo", "mode"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

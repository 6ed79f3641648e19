// 1,000 ping loops at a 1000 ms period on 1,000 IPv6 addresses, with fping -6 over the same
// addresses for the same time in the same run as the baseline. The addresses are a documentation
// prefix routed to loopback inside a network namespace of the benchmark's own, so every one of
// them answers and no request can leave the namespace.
//
//   bench_loop_ipv6        (needs root, the ip tool and fping; otherwise the run is skipped)
//   counters: answer_err_p50_ms / answer_err_p99_ms / answer_err_max_ms   period error
//             cpu_pct_of_core, peak_rss_mib, fping_cpu_pct_of_core, fping_peak_rss_mib,
//             cpu_ratio_to_fping, rss_ratio_to_fping, and steady_... as in bench_loop_schedule
//
// The namespace is anonymous: made with unshare() and held only by a descriptor of this process,
// so it vanishes when the benchmark lets go of it, and with the process however it ends.
#include "icmp_dll.h"
#include "loop_bench_support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace loopbench;

constexpr int Targets = 1000;

std::string Address(int I) {
    char Text[40];
    std::snprintf(Text, sizeof Text, "2001:db8:1::%x", unsigned(I + 1));
    return Text;
}

// A namespace this thread moves into, with the prefix routed to its loopback. On destruction the
// thread goes back to where it was and the namespace is let go.
class TNamespace {
public:
    explicit TNamespace(const std::string& Ip) {
        FOriginal = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (FOriginal < 0 || ::unshare(CLONE_NEWNET) != 0) {
            Problem = "cannot make a network namespace";
            return;
        }
        Fd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (Fd < 0) {
            Problem = "cannot hold the namespace";
            return;
        }
        const std::vector<std::string> Steps[] = {
            {Ip, "link", "set", "lo", "up"},
            {Ip, "-6", "route", "add", "local", "2001:db8:1::/64", "dev", "lo"},
        };
        for (const auto& Step : Steps) {
            if (!RunProgram(Step, Fd)) {
                Problem = "\"" + Step[1] + " " + Step[2] + " ...\" failed";
                return;
            }
        }
    }
    ~TNamespace() {
        if (FOriginal >= 0)
            ::setns(FOriginal, CLONE_NEWNET);
        for (const int F : {Fd, FOriginal})
            if (F >= 0)
                ::close(F);
    }
    TNamespace(const TNamespace&) = delete;
    TNamespace& operator=(const TNamespace&) = delete;

    std::string Problem;
    int Fd = -1;

private:
    int FOriginal = -1;
};

void BM_LoopScheduleIpv6(benchmark::State& State) {
    const std::string Skip = WhyNoNamespaces({"ip", "fping"});
    if (!Skip.empty()) {
        SkipRun(State, Skip);
        return;
    }
    const std::string Ip = FindProgram("ip");

    TLoopRun Run;
    Run.RunFor = std::chrono::seconds(State.range(0));
    Run.Ipv6 = true;
    std::vector<std::size_t> All;
    for (int I = 0; I < Targets; ++I) {
        All.push_back(Run.Targets.size());
        Run.Targets.push_back(Address(I));
    }

    // The service's receiver thread starts here, outside the namespace.
    if (const TIcmpHandle Handle = Icmp6CreateFile(); Handle != INVALID_HANDLE_VALUE)
        IcmpCloseHandle(Handle);
    for (auto _ : State) {
        TLoopResult Result;
        {
            TNamespace Namespace(Ip);
            if (!Namespace.Problem.empty()) {
                State.SkipWithError(Namespace.Problem.c_str());
                break;
            }
            // The ICMPv6 socket opened from here on belongs to the namespace.
            if (!Icmp6ServiceSetMode(TIcmpMode::Auto)) {
                State.SkipWithError("no ICMPv6 socket can be opened in the namespace");
                break;
            }
            Run.NetNsFd = Namespace.Fd;
            RunLoops(Run, true, Result);
            State.SetLabel(Icmp6ServiceActiveMode());
        }
        Icmp6ServiceSetMode(TIcmpMode::Auto);
        ReportProcess(State, Result);
        ReportGroup(State, Result, All, Run.PeriodMs, "answer_");
    }
}

BENCHMARK(BM_LoopScheduleIpv6)
    ->Arg(20)
    ->ArgNames({"seconds"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

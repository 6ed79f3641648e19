// 1,000 ping loops at a 1000 ms period against a small network of namespaces, closer to a real
// network than loopback: 900 addresses answer from a peer namespace at the far end of a veth
// link, and 100 more are routed there but dropped without a word, so their requests time out
// at the 1000 ms timeout. fping pings the same addresses from the same namespace for the same
// time in the same run as the baseline.
//
//   bench_loop_netns        (needs root, the ip tool and fping; otherwise the run is skipped)
//   counters: answer_err_p50_ms / answer_err_p99_ms / answer_err_max_ms   period error of the
//             answering loops (timeout_... for the others)
//             answer_thread_cpu_us_per_period, timeout_thread_cpu_us_per_period and their ratio
//             cpu_pct_of_core, peak_rss_mib, fping_cpu_pct_of_core, fping_peak_rss_mib,
//             cpu_ratio_to_fping, rss_ratio_to_fping, and steady_... as in bench_loop_schedule
//
// Both namespaces are anonymous: made with unshare() and held only by descriptors of this
// process, never bound to a name under /run/netns. They and the veth pair between them vanish
// when the benchmark lets go of them, and with the process however it ends, so nothing can be
// left behind. The loops and fping run in the near namespace, whose only link is the veth pair:
// no request can reach any other network.
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

constexpr int Answering = 900;
constexpr int Silent = 100;

// 198.18.0.0/15 is set aside for benchmark networks: the link is 198.18.0.0/30, the answering
// addresses 198.19.0.0/22 and the silent ones 198.19.4.0/24.
std::string AnsweringAddress(int I) {
    return "198.19." + std::to_string(I / 250) + "." + std::to_string(I % 250 + 1);
}
std::string SilentAddress(int I) {
    return "198.19.4." + std::to_string(I + 1);
}

// What a program run inside the namespace NetNsFd prints.
std::string Output(const std::vector<std::string>& Args, int NetNsFd) {
    std::string Text;
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0)
        return Text;
    std::vector<char*> Argv;
    for (const std::string& A : Args)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ::dup2(Pipe[1], STDOUT_FILENO);
        if (NetNsFd >= 0 && ::setns(NetNsFd, CLONE_NEWNET) != 0)
            ::_exit(126);
        ::execv(Argv[0], Argv.data());
        ::_exit(127);
    }
    ::close(Pipe[1]);
    char Chunk[256];
    ssize_t Length;
    while ((Length = ::read(Pipe[0], Chunk, sizeof Chunk)) > 0)
        Text.append(Chunk, std::size_t(Length));
    ::close(Pipe[0]);
    int Status = 0;
    if (Pid > 0)
        ::waitpid(Pid, &Status, 0);
    return Text;
}

// The near namespace (this thread moves into it) and the peer, joined by a veth pair. On
// destruction the thread goes back to where it was and both namespaces are let go.
class TNamespacePair {
public:
    explicit TNamespacePair(const std::string& Ip) {
        FOriginal = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (FOriginal < 0 || ::unshare(CLONE_NEWNET) != 0) {
            Problem = "cannot make a network namespace";
            return;
        }
        Peer = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (Peer < 0 || ::setns(FOriginal, CLONE_NEWNET) != 0 || ::unshare(CLONE_NEWNET) != 0) {
            Problem = "cannot make a second network namespace";
            return;
        }
        Near = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (Near < 0) {
            Problem = "cannot hold the near namespace";
            return;
        }
        // ip opens the peer namespace through this process's descriptor.
        const std::string PeerPath =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(Peer);
        struct TStep {
            int Namespace;
            std::vector<std::string> Args;
        };
        const TStep Steps[] = {
            {Near, {Ip, "link", "set", "lo", "up"}},
            {Near,
             {Ip, "link", "add", "vtl", "type", "veth", "peer", "name", "vtp", "netns", PeerPath}},
            {Near, {Ip, "addr", "add", "198.18.0.1/30", "dev", "vtl"}},
            {Near, {Ip, "link", "set", "vtl", "up"}},
            {Near, {Ip, "route", "add", "198.19.0.0/16", "via", "198.18.0.2", "dev", "vtl"}},
            {Peer, {Ip, "link", "set", "lo", "up"}},
            {Peer, {Ip, "addr", "add", "198.18.0.2/30", "dev", "vtp"}},
            {Peer, {Ip, "link", "set", "vtp", "up"}},
            // Every address of the block is the peer's own, and it answers echo requests to
            // each of them.
            {Peer, {Ip, "route", "add", "local", "198.19.0.0/22", "dev", "lo"}},
            // Dropped without an ICMP error, so requests to them time out.
            {Peer, {Ip, "route", "add", "blackhole", "198.19.4.0/24"}},
        };
        for (const TStep& Step : Steps) {
            if (!RunProgram(Step.Args, Step.Namespace)) {
                Problem = "\"";
                for (const std::string& A : Step.Args)
                    Problem += A + " ";
                Problem.back() = '"';
                Problem += " failed";
                return;
            }
        }
        for (const std::string& Address : {AnsweringAddress(0), SilentAddress(0)}) {
            const std::string Route = Output({Ip, "-o", "route", "get", Address}, Near);
            if (Route.find(" dev vtl ") == std::string::npos) {
                Problem = "the route to " + Address + " does not leave through the veth link";
                return;
            }
        }
    }

    ~TNamespacePair() {
        if (FOriginal >= 0)
            ::setns(FOriginal, CLONE_NEWNET);
        for (const int Fd : {Near, Peer, FOriginal})
            if (Fd >= 0)
                ::close(Fd);
    }
    TNamespacePair(const TNamespacePair&) = delete;
    TNamespacePair& operator=(const TNamespacePair&) = delete;

    std::string Problem; // empty when both namespaces and the link stand
    int Near = -1;
    int Peer = -1;

private:
    int FOriginal = -1;
};

void BM_LoopScheduleNetns(benchmark::State& State) {
    const std::string Skip = WhyNoNamespaces({"ip", "fping"});
    if (!Skip.empty()) {
        SkipRun(State, Skip);
        return;
    }
    const std::string Ip = FindProgram("ip");

    TLoopRun Run;
    Run.RunFor = std::chrono::seconds(State.range(0));
    std::vector<std::size_t> AnsweringLoops, SilentLoops;
    // Interleaved, as a real list of hosts would have them.
    for (int I = 0, A = 0, S = 0; I < Answering + Silent; ++I) {
        if (I % 10 == 9 && S < Silent) {
            SilentLoops.push_back(Run.Targets.size());
            Run.Targets.push_back(SilentAddress(S++));
        } else {
            AnsweringLoops.push_back(Run.Targets.size());
            Run.Targets.push_back(AnsweringAddress(A++));
        }
    }

    // The service's receiver thread starts here, outside the namespaces, so that it does not
    // keep the near one alive after the run.
    ProbeIcmp();
    for (auto _ : State) {
        TLoopResult Result;
        {
            TNamespacePair Namespaces(Ip);
            if (!Namespaces.Problem.empty()) {
                State.SkipWithError(Namespaces.Problem.c_str());
                break;
            }
            // Sockets opened from here on belong to the near namespace.
            if (!IcmpServiceSetMode(TIcmpMode::Auto)) {
                State.SkipWithError("no ICMP socket can be opened in the namespace");
                break;
            }
            Run.NetNsFd = Namespaces.Near;
            RunLoops(Run, true, Result);
            State.SetLabel(IcmpServiceActiveMode());
        }
        // Back in the original namespace: the next sockets open there, and the namespace
        // sockets close, letting the namespaces go.
        IcmpServiceSetMode(TIcmpMode::Auto);
        ReportProcess(State, Result);
        ReportGroup(State, Result, AnsweringLoops, Run.PeriodMs, "answer_");
        ReportGroup(State, Result, SilentLoops, Run.PeriodMs, "timeout_");
        const double Answer = State.counters["answer_thread_cpu_us_per_period"];
        const double Timeout = State.counters["timeout_thread_cpu_us_per_period"];
        State.counters["timeout_to_answer_cpu"] = Answer > 0 ? Timeout / Answer : 0.0;
    }
}

BENCHMARK(BM_LoopScheduleNetns)
    ->Arg(20)
    ->ArgNames({"seconds"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

// What following a path costs, beside monitoring its hops one by one and beside mtr, on a chain of
// network namespaces made here:
//
//   client -- r1 -- r2 -- ... -- r14 -- target        15 hops, link k is 198.18.k.0/24
//
// Every router forwards and answers every expired request (no ICMP rate limit); hop k answers
// from 198.18.k.2, the target is 198.18.15.2. In the client namespace, one after another in each
// round (the order turns from round to round):
//
//   path      vantorel --path 198.18.15.2 --interval 1 --count N --format csv
//   monitors  vantorel --headless with a group of the 15 hop addresses (default period 1 s)
//   mtr       mtr -r -n -i 1 -c N 198.18.15.2
//
// Each runs a warm-up (its start, and the path's first rounds that look for the end of the path)
// and then a stretch, over which its process tree is measured: CPU (all threads, the scheduler's
// statistics), voluntary context switches (wake-ups) per probe sent (packets out of the client's
// only link), peak resident memory (summed over the tree), probes per second and the share of
// them answered. The path and mtr then run to their end, and their reports must show the 15
// hops. The medians of the rounds are reported, and the medians of each round's ratios (path
// to mtr, path to monitors) with the load average. Busy 1: a child process keeps one core busy.
//
// The path is measured as the program a user runs: the command line uses the same prober as the
// path window, without the window's drawing.
//
//   qt_bench_path                                   # quiet and busy, 5 rounds each
//   VANTOREL_BENCH_WARMUP=5 VANTOREL_BENCH_SECONDS=20 VANTOREL_BENCH_ROUNDS=5 qt_bench_path
//
// Needs root (namespaces), ip and mtr; otherwise the run is skipped with the reason. The
// namespaces are anonymous: made with unshare() and held only by descriptors of this process and
// by the programs it starts in them (which die with it), so they vanish however the benchmark
// ends. Their only links are the chain's: no packet can leave them.
#include "loop_bench_support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

constexpr int Hops = 15;

std::string LinkAddress(int Link, int Side) {
    return "198.18." + std::to_string(Link) + "." + std::to_string(Side);
}
const std::string Target = LinkAddress(Hops, 2);

bool WriteSysctl(const std::string& Name, const std::string& Value) {
    std::ofstream Out("/proc/sys/net/" + Name);
    Out << Value;
    Out.flush();
    return bool(Out);
}

// The namespaces of the chain: Namespaces[0] the client, 1 to 14 the routers, 15 the target. Link
// k joins Namespaces[k - 1] (its "a<k>" side, 198.18.k.1) and Namespaces[k] ("b<k>", 198.18.k.2).
class TChain {
public:
    explicit TChain(const std::string& Ip) {
        FOriginal = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (FOriginal < 0) {
            Problem = "cannot hold this thread's network namespace";
            return;
        }
        for (int I = 0; I <= Hops; ++I) {
            if (::unshare(CLONE_NEWNET) != 0) {
                Problem = "cannot make a network namespace";
                return;
            }
            Namespaces.push_back(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
            if (Namespaces.back() < 0) {
                Problem = "cannot hold a network namespace";
                return;
            }
            // This thread is in the new namespace: its settings are the ones written here.
            // Routers answer every expired request, whatever the kernel's own rate limit.
            bool Set = WriteSysctl("ipv4/ip_forward", "1") &&
                       WriteSysctl("ipv4/icmp_ratelimit", "0") &&
                       WriteSysctl("ipv4/conf/all/rp_filter", "0") &&
                       WriteSysctl("ipv4/conf/default/rp_filter", "0");
            // The client's programs get datagram ICMP sockets, as on a desktop whose ping
            // group range is open.
            if (I == 0)
                Set = Set && WriteSysctl("ipv4/ping_group_range", "0 2147483647");
            if (!Set) {
                Problem = "cannot set up a namespace's network settings";
                return;
            }
        }
        if (::setns(FOriginal, CLONE_NEWNET) != 0) {
            Problem = "cannot return to the original network namespace";
            return;
        }
        struct TStep {
            int Namespace;
            std::vector<std::string> Args;
        };
        std::vector<TStep> Steps;
        for (int I = 0; I <= Hops; ++I)
            Steps.push_back({I, {Ip, "link", "set", "lo", "up"}});
        const std::string Self = "/proc/" + std::to_string(::getpid()) + "/fd/";
        for (int K = 1; K <= Hops; ++K) {
            const std::string A = "a" + std::to_string(K), B = "b" + std::to_string(K);
            const std::string Peer = Self + std::to_string(Namespaces[std::size_t(K)]);
            Steps.push_back(
                {K - 1, {Ip, "link", "add", A, "type", "veth", "peer", "name", B, "netns", Peer}});
            Steps.push_back({K - 1, {Ip, "addr", "add", LinkAddress(K, 1) + "/24", "dev", A}});
            Steps.push_back({K - 1, {Ip, "link", "set", A, "up"}});
            Steps.push_back({K, {Ip, "addr", "add", LinkAddress(K, 2) + "/24", "dev", B}});
            Steps.push_back({K, {Ip, "link", "set", B, "up"}});
        }
        // Onwards: all of 198.18.0.0/15 through the next router. Back: only the client's link,
        // where every request comes from.
        for (int I = 0; I < Hops; ++I)
            Steps.push_back(
                {I, {Ip, "route", "add", "198.18.0.0/15", "via", LinkAddress(I + 1, 2)}});
        for (int I = 2; I <= Hops; ++I)
            Steps.push_back({I, {Ip, "route", "add", "198.18.1.0/24", "via", LinkAddress(I, 1)}});
        for (const TStep& Step : Steps) {
            if (!RunProgram(Step.Args, Namespaces[std::size_t(Step.Namespace)])) {
                std::string Command;
                for (const std::string& A : Step.Args)
                    Command += (Command.empty() ? "" : " ") + A;
                Problem = "\"" + Command + "\" failed";
                return;
            }
        }
        // The target answers across the whole chain (this also settles every neighbour entry).
        const std::string Ping = FindProgram("ping");
        if (!Ping.empty() && !RunProgram({Ping, "-c", "1", "-W", "3", Target}, Namespaces.front()))
            Problem = "the target does not answer through the chain";
    }

    ~TChain() {
        if (FOriginal >= 0)
            ::setns(FOriginal, CLONE_NEWNET);
        for (const int Fd : Namespaces)
            if (Fd >= 0)
                ::close(Fd);
        if (FOriginal >= 0)
            ::close(FOriginal);
    }
    TChain(const TChain&) = delete;
    TChain& operator=(const TChain&) = delete;

    int Client() const { return Namespaces.front(); }

    std::string Problem; // empty when the chain stands
    std::vector<int> Namespaces;

private:
    int FOriginal = -1;
};

// Packets sent and received on the client's link "a1", as the network namespace of Pid (a
// process in the client's) counts them.
struct TLinkCounts {
    double Sent = -1, Received = -1;
};
TLinkCounts ClientLink(pid_t Pid) {
    std::ifstream In("/proc/" + std::to_string(Pid) + "/net/dev");
    TLinkCounts C;
    for (std::string Line; std::getline(In, Line);) {
        const std::size_t Name = Line.find_first_not_of(' ');
        if (Name == std::string::npos || Line.compare(Name, 3, "a1:") != 0)
            continue;
        // Received: bytes packets errs drop fifo frame compressed multicast; then sent: bytes
        // packets ...
        std::istringstream Fields(Line.substr(Name + 3));
        double Value[10] = {};
        for (double& V : Value)
            Fields >> V;
        C.Received = Value[1];
        C.Sent = Value[9];
    }
    return C;
}

// Of a report: the numbers of its hop lines, and the last hop's address. The path's CSV lines
// start "<hop>,<address>,"; mtr's report lines "<hop>.|-- <address> ".
struct THopsSeen {
    int Count = 0;
    std::string LastAddress;
};
THopsSeen HopsInReport(const std::string& File, bool Mtr) {
    std::ifstream In(File);
    THopsSeen Seen;
    for (std::string Line; std::getline(In, Line);) {
        std::istringstream Words(Line);
        std::string First, Address;
        if (Mtr) {
            if (!(Words >> First >> Address) || First.size() < 5 ||
                First.compare(First.size() - 4, 4, ".|--") != 0)
                continue;
        } else {
            const std::size_t Comma = Line.find(',');
            const std::size_t Second = Line.find(',', Comma + 1);
            if (Comma == std::string::npos || Second == std::string::npos || Line[0] < '0' ||
                Line[0] > '9')
                continue;
            Address = Line.substr(Comma + 1, Second - Comma - 1);
        }
        ++Seen.Count;
        Seen.LastAddress = Address;
    }
    return Seen;
}

// One program's stretch, and what the figures need beside it.
struct TRun {
    TStretch Stretch;
    double ProbesPerSecond = 0;
    double WakeupsPerProbe = 0;
    double AnsweredPct = 0;
    THopsSeen Hops;    // of the report, for the path and mtr
    bool Ended = true; // it ended within its time (the path and mtr)
};

// Starts Args in the client namespace; with a report (the path and mtr) it waits for the end of
// its rounds and reads the report, otherwise it stops it after the stretch.
TRun RunOne(const std::vector<std::string>& Args, const TChain& Chain,
            const std::vector<std::string>& Environment, const std::string& ReportFile, bool Mtr,
            int WarmUp, int Seconds) {
    TRun Run;
    const bool HasReport = !ReportFile.empty();
    pid_t Pid = Spawn(Args, Chain.Client(), Environment, ReportFile);
    std::vector<double> Received;
    Run.Stretch = MeasureStretch(Pid, WarmUp, Seconds, -1, [Pid, &Received] {
        const TLinkCounts Counts = ClientLink(Pid);
        Received.push_back(Counts.Received);
        return Counts.Sent;
    });
    const double Sent = Run.Stretch.Counted;
    if (Sent > 0 && Received.size() == 2) {
        Run.ProbesPerSecond = Sent / Run.Stretch.Seconds;
        Run.WakeupsPerProbe = Run.Stretch.Wakeups / Sent;
        Run.AnsweredPct = 100.0 * (Received[1] - Received[0]) / Sent;
    }
    if (!HasReport) {
        Stop(Pid, SIGTERM);
        return Run;
    }
    // A few rounds are left, and the path's report waits up to 3 s for host names.
    const auto Deadline = TSteady::now() + std::chrono::seconds(20);
    int Status = 0;
    while (::waitpid(Pid, &Status, WNOHANG) == 0) {
        if (TSteady::now() > Deadline) {
            Run.Ended = false;
            Stop(Pid);
            return Run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Run.Ended = WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
    Run.Hops = HopsInReport(ReportFile, Mtr);
    return Run;
}

enum TKind { KindPath, KindMonitors, KindMtr, KindCount };
const char* const KindNames[KindCount] = {"path", "monitors", "mtr"};

void Path(benchmark::State& State) {
    const bool Busy = State.range(0) != 0;
    const int WarmUp = EnvInt("VANTOREL_BENCH_WARMUP", 5);
    const int Seconds = EnvInt("VANTOREL_BENCH_SECONDS", 15);
    const int Rounds = EnvInt("VANTOREL_BENCH_ROUNDS", 5);
    const std::string Skip = WhyNoNamespaces({"ip", "mtr"});
    if (!Skip.empty()) {
        SkipRun(State, Skip);
        return;
    }
    const std::string Ip = FindProgram("ip");
    const std::string Mtr = FindProgram("mtr");

    std::vector<std::string> HopAddresses;
    for (int K = 1; K <= Hops; ++K)
        HopAddresses.push_back(LinkAddress(K, 2));
    const TBenchHome Home(HopAddresses);
    const std::vector<std::string> Environment = Home.Environment();
    // The path and mtr end a few rounds after the stretch, with their reports.
    const std::string RoundCount = std::to_string(WarmUp + Seconds + 2);
    const std::vector<std::string> Args[KindCount] = {
        {VANTOREL_PROGRAM, "--path", Target, "--interval", "1", "--count", RoundCount, "--format",
         "csv"},
        {VANTOREL_PROGRAM, "--headless"},
        {Mtr, "-r", "-n", "-i", "1", "-c", RoundCount, Target},
    };

    std::vector<double> Cpu[KindCount], Wakeups[KindCount], Peak[KindCount], Rate[KindCount],
        Answered[KindCount];
    std::vector<double> CpuToMtr, CpuToMonitors, WakeupsToMtr, WakeupsToMonitors, PeakToMtr,
        PeakToMonitors, Loads;
    int FewestHops[KindCount] = {Hops, Hops, Hops};
    std::string Wrong;
    for (auto _ : State) {
        const TChain Chain(Ip);
        if (!Chain.Problem.empty()) {
            Wrong = Chain.Problem;
            break;
        }
        pid_t Spinner = Busy ? StartSpinner() : -1;
        for (int Round = 0; Round < Rounds; ++Round) {
            TRun Runs[KindCount];
            for (int Step = 0; Step < KindCount; ++Step) {
                const int Kind = (Round + Step) % KindCount;
                const std::string Report =
                    Kind == KindMonitors ? "" : Home.Root + "/" + KindNames[Kind] + ".txt";
                Runs[Kind] = RunOne(Args[Kind], Chain, Environment, Report, Kind == KindMtr, WarmUp,
                                    Seconds);
                Loads.push_back(Runs[Kind].Stretch.Load1);
            }
            for (int Kind = 0; Kind < KindCount; ++Kind) {
                const TRun& R = Runs[Kind];
                Cpu[Kind].push_back(R.Stretch.CpuPct);
                Wakeups[Kind].push_back(R.WakeupsPerProbe);
                Peak[Kind].push_back(R.Stretch.PeakMiB);
                Rate[Kind].push_back(R.ProbesPerSecond);
                Answered[Kind].push_back(R.AnsweredPct);
                if (Kind == KindMonitors)
                    continue;
                FewestHops[Kind] = std::min(FewestHops[Kind], R.Hops.Count);
                if (!R.Ended)
                    Wrong = std::string(KindNames[Kind]) + " did not end well";
                else if (R.Hops.Count != Hops || R.Hops.LastAddress != Target)
                    Wrong = std::string(KindNames[Kind]) + " reported " +
                            std::to_string(R.Hops.Count) + " hops ending at '" +
                            R.Hops.LastAddress + "'";
            }
            const auto Ratio = [](double A, double B) { return B > 0 ? A / B : 0.0; };
            const TRun &P = Runs[KindPath], &M = Runs[KindMonitors], &T = Runs[KindMtr];
            CpuToMtr.push_back(Ratio(P.Stretch.CpuPct, T.Stretch.CpuPct));
            CpuToMonitors.push_back(Ratio(P.Stretch.CpuPct, M.Stretch.CpuPct));
            WakeupsToMtr.push_back(Ratio(P.WakeupsPerProbe, T.WakeupsPerProbe));
            WakeupsToMonitors.push_back(Ratio(P.WakeupsPerProbe, M.WakeupsPerProbe));
            PeakToMtr.push_back(Ratio(P.Stretch.PeakMiB, T.Stretch.PeakMiB));
            PeakToMonitors.push_back(Ratio(P.Stretch.PeakMiB, M.Stretch.PeakMiB));
        }
        Stop(Spinner);
    }
    for (int Kind = 0; Kind < KindCount; ++Kind) {
        const std::string Name = KindNames[Kind];
        State.counters[Name + "_cpu_pct"] = Median(Cpu[Kind]);
        State.counters[Name + "_wakeups_per_probe"] = Median(Wakeups[Kind]);
        State.counters[Name + "_peak_MiB"] = Median(Peak[Kind]);
        State.counters[Name + "_probes_per_s"] = Median(Rate[Kind]);
        State.counters[Name + "_answered_pct"] = Median(Answered[Kind]);
        if (Kind != KindMonitors)
            State.counters[Name + "_hops"] = FewestHops[Kind];
    }
    State.counters["cpu_path_to_mtr"] = Median(CpuToMtr);
    State.counters["cpu_path_to_monitors"] = Median(CpuToMonitors);
    State.counters["wakeups_path_to_mtr"] = Median(WakeupsToMtr);
    State.counters["wakeups_path_to_monitors"] = Median(WakeupsToMonitors);
    State.counters["peak_path_to_mtr"] = Median(PeakToMtr);
    State.counters["peak_path_to_monitors"] = Median(PeakToMonitors);
    State.counters["load1"] = Median(Loads);
    if (!Wrong.empty())
        State.SkipWithError(Wrong.c_str());
}
BENCHMARK(Path)->ArgNames({"busy"})->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(
    benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

// What the loop benchmarks share: 1,000 ping loops driven for a fixed time with their period,
// CPU and resident memory measured, and fping run beside them over the same addresses as the
// baseline (its CPU and peak resident memory taken from wait4).
//
//   TLoopRun Run;
//   Run.Targets = {...};                              // one loop per target
//   TLoopResult Result;
//   RunLoops(Run, /*WithFping=*/true, Result);
//   ReportProcess(State, Result);                     // CPU and memory, fping's beside them
//   ReportGroup(State, Result, Members, Run.PeriodMs, "answer_");   // periods of some loops
//
// And what the benchmarks of whole programs share: a private home whose config.ini opens one
// group of hosts, programs started in it (in a network namespace, with their output in a file),
// the CPU, wake-ups and memory of a process tree over a stretch, and a process keeping one core
// busy.
//
//   TBenchHome Home(Hosts);
//   pid_t Pid = Spawn({Program, "--headless"}, -1, Home.Environment());
//   const TStretch S = MeasureStretch(Pid, /*WarmUp=*/10, /*Seconds=*/20);
//   Stop(Pid, SIGTERM);
#pragma once

#include "zsPingLoopThread.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace loopbench {

using TSteady = std::chrono::steady_clock;

inline double Seconds(const timeval& T) {
    return double(T.tv_sec) + double(T.tv_usec) / 1e6;
}

inline double ProcessCpuSeconds() {
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

// A number field of /proc/<Process>/status ("VmHWM" in KiB, "voluntary_ctxt_switches"), or -1.
// Process: a pid, "self" or a thread's "<pid>/task/<tid>".
inline long StatusField(const std::string& Process, const std::string& Field) {
    std::ifstream In("/proc/" + Process + "/status");
    std::string Line;
    while (std::getline(In, Line)) {
        if (Line.compare(0, Field.size() + 1, Field + ":") == 0)
            return std::atol(Line.c_str() + Field.size() + 1);
    }
    return -1;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
inline long StatusKiB(const std::string& Field) {
    return StatusField("self", Field);
}

inline long VoluntarySwitches() {
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_nvcsw;
}

// The ICMP helpers this process started (vantorel-icmp), which pay for its raw ICMP.
inline std::vector<pid_t> IcmpHelpers() {
    std::vector<pid_t> Pids;
    const std::string Parent = std::to_string(::getpid());
    for (const auto& Entry : std::filesystem::directory_iterator("/proc")) {
        const std::string Name = Entry.path().filename().string();
        if (Name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream Status(Entry.path() / "status");
        std::string Line, Comm, PPid;
        while (std::getline(Status, Line)) {
            if (Line.starts_with("Name:"))
                Comm = Line.substr(Line.find_first_not_of(" \t", 5));
            else if (Line.starts_with("PPid:"))
                PPid = Line.substr(Line.find_first_not_of(" \t", 5));
        }
        if (Comm == "vantorel-icmp" && PPid == Parent)
            Pids.push_back(pid_t(std::stol(Name)));
    }
    return Pids;
}

// Of the helpers in Pids: CPU seconds so far, and the sums of a /proc/<pid>/status field.
inline double HelpersCpuSeconds(const std::vector<pid_t>& Pids) {
    double Sum = 0;
    for (const pid_t Pid : Pids) {
        std::ifstream In("/proc/" + std::to_string(Pid) + "/schedstat");
        double Ns = 0;
        if (In >> Ns)
            Sum += Ns / 1e9;
    }
    return Sum;
}
inline long HelpersStatus(const std::vector<pid_t>& Pids, const std::string& Field) {
    long Sum = 0;
    for (const pid_t Pid : Pids)
        Sum += std::max(0L, StatusField(std::to_string(Pid), Field));
    return Sum;
}

// Starts a new peak for VmHWM, so that a run is not charged for an earlier one.
inline bool ResetPeakResident() {
    std::ofstream Out("/proc/self/clear_refs");
    Out << "5";
    Out.flush();
    return bool(Out);
}

// The full path of Name on PATH, or "" when it is not installed.
inline std::string FindProgram(const std::string& Name) {
    const char* Path = std::getenv("PATH");
    std::string Dirs = Path ? Path : "/usr/bin:/bin";
    Dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    std::size_t Start = 0;
    while (Start <= Dirs.size()) {
        const std::size_t End = std::min(Dirs.find(':', Start), Dirs.size());
        const std::string Candidate = Dirs.substr(Start, End - Start) + "/" + Name;
        if (End > Start && ::access(Candidate.c_str(), X_OK) == 0)
            return Candidate;
        Start = End + 1;
    }
    return "";
}

// Why a benchmark that makes network namespaces cannot run here, "" when it can: it needs root
// and the programs Tools on PATH.
inline std::string WhyNoNamespaces(const std::vector<std::string>& Tools) {
    if (::geteuid() != 0)
        return "skipped: needs root to make network namespaces";
    for (const std::string& Tool : Tools)
        if (FindProgram(Tool).empty())
            return "skipped: " + Tool + " is not installed";
    return "";
}

// Runs no iteration's work and says why.
inline void SkipRun(benchmark::State& State, const std::string& Why) {
    for (auto _ : State) {
    }
    State.SetLabel(Why);
}

// Starts Args[0] with its output discarded, inside the network namespace NetNsFd when that is
// not -1, with only Environment ("NAME=value" each) when that is not empty, and its standard
// output written to OutputFile when that is given. Returns the child's pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& Args, int NetNsFd = -1,
                   const std::vector<std::string>& Environment = {},
                   const std::string& OutputFile = "") {
    std::vector<char*> Argv, Envp;
    for (const std::string& A : Args)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    for (const std::string& E : Environment)
        Envp.push_back(const_cast<char*>(E.c_str()));
    Envp.push_back(nullptr);
    const pid_t Parent = ::getpid();
    const pid_t Pid = ::fork();
    if (Pid != 0)
        return Pid;
    // Child: only async-signal-safe calls until exec. It ends with the benchmark, however that
    // ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != Parent)
        ::_exit(124);
    const int Null = ::open("/dev/null", O_RDWR);
    if (Null >= 0) {
        ::dup2(Null, STDIN_FILENO);
        ::dup2(Null, STDOUT_FILENO);
        ::dup2(Null, STDERR_FILENO);
    }
    if (!OutputFile.empty()) {
        const int Out = ::open(OutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (Out < 0)
            ::_exit(125);
        ::dup2(Out, STDOUT_FILENO);
    }
    if (NetNsFd >= 0 && ::setns(NetNsFd, CLONE_NEWNET) != 0)
        ::_exit(126);
    if (Environment.empty())
        ::execv(Argv[0], Argv.data());
    else
        ::execve(Argv[0], Argv.data(), Envp.data());
    ::_exit(127);
}

// Ends a child (if it runs) and reaps it.
inline void Stop(pid_t& Pid, int Signal = SIGKILL) {
    if (Pid > 0) {
        ::kill(Pid, Signal);
        ::waitpid(Pid, nullptr, 0);
        Pid = -1;
    }
}

// A child process that keeps one core busy until it is stopped.
inline pid_t StartSpinner() {
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (unsigned long I = 0;; ++I)
            benchmark::DoNotOptimize(I);
    }
    return Pid;
}

// fping pinging Hosts every second until it is stopped, printing nothing. Its -i (the least
// time between two requests to any hosts, 10 ms unless given) would otherwise cap it at 100
// requests a second: over 1,000 hosts it pinged each one every 10 s instead of every second.
// Half a millisecond leaves room for 2,000 hosts; below 1 ms fping wants root.
inline std::vector<std::string> FpingLoopArgs(const std::string& Fping,
                                              const std::vector<std::string>& Hosts) {
    const char* Interval = ::geteuid() == 0 ? "0.5" : "1";
    std::vector<std::string> Args = {Fping, "-l", "-p", "1000", "-i", Interval, "-q"};
    Args.insert(Args.end(), Hosts.begin(), Hosts.end());
    return Args;
}

// A whole number from the environment, or Default when it is unset or not above 0.
inline int EnvInt(const char* Name, int Default) {
    const char* Value = std::getenv(Name);
    return Value && std::atoi(Value) > 0 ? std::atoi(Value) : Default;
}

// Loopback addresses 127.0.1.1, 127.0.1.2, ...
inline std::string LoopbackTarget(int I) {
    return "127.0." + std::to_string(1 + I / 250) + "." + std::to_string(1 + I % 250);
}

inline double Load1() {
    std::ifstream In("/proc/loadavg");
    double L = -1;
    In >> L;
    return L;
}

inline double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values.empty() ? -1 : Values[Values.size() / 2];
}

// A private home whose config.ini opens the group "Bench" of Hosts with default settings (more
// keys of [COMMON] in Common, "Key=Value\r\n" each); removed with the object.
class TBenchHome {
public:
    explicit TBenchHome(const std::vector<std::string>& Hosts, const std::string& Common = "") {
        char Template[] = "/tmp/vantorel-bench-XXXXXX";
        const char* Made = ::mkdtemp(Template);
        Root = Made ? Made : "";
        if (Root.empty())
            return;
        const std::filesystem::path Folder =
            std::filesystem::path(Root) / "config" / "Zephra Software" / "Vantorel";
        std::filesystem::create_directories(Folder);
        std::filesystem::create_directories(std::filesystem::path(Root) / "data");
        std::ofstream Out(Folder / "config.ini", std::ios::binary);
        Out << "[COMMON]\r\n"
            << Common << "DefaultGroup=Bench\r\n[GROUPS]\r\n0=Bench\r\n[Bench]\r\n";
        for (std::size_t I = 0; I < Hosts.size(); ++I)
            Out << I << '=' << Hosts[I] << "\r\n";
    }
    ~TBenchHome() {
        std::error_code Ignored;
        if (!Root.empty())
            std::filesystem::remove_all(Root, Ignored);
    }
    TBenchHome(const TBenchHome&) = delete;
    TBenchHome& operator=(const TBenchHome&) = delete;

    // The environment of a program that should use this home and nothing of the caller's.
    std::vector<std::string> Environment() const {
        return {"HOME=" + Root, "XDG_CONFIG_HOME=" + Root + "/config",
                "XDG_DATA_HOME=" + Root + "/data", "XDG_RUNTIME_DIR=" + Root, "PATH=/usr/bin:/bin"};
    }

    std::string Root; // empty when it could not be made
};

// Pid and the processes below it (its children, theirs, ...), from /proc.
inline std::vector<pid_t> ProcessTree(pid_t Pid) {
    std::vector<std::pair<pid_t, pid_t>> Parents; // (pid, parent)
    for (const auto& Entry : std::filesystem::directory_iterator("/proc")) {
        const std::string Name = Entry.path().filename().string();
        if (Name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const long Parent = StatusField(Name, "PPid");
        if (Parent > 0)
            Parents.emplace_back(pid_t(std::stol(Name)), pid_t(Parent));
    }
    std::vector<pid_t> Tree = {Pid};
    for (std::size_t I = 0; I < Tree.size(); ++I)
        for (const auto& [Child, Parent] : Parents)
            if (Parent == Tree[I])
                Tree.push_back(Child);
    return Tree;
}

// What the threads of a process tree have used so far: CPU (the scheduler's statistics) and
// voluntary context switches; threads that ended no longer count, so measure while they run.
// And its resident memory now and at its peak, summed over its processes.
struct TUsage {
    double CpuSeconds = 0;
    double Wakeups = 0;
    long RssKiB = 0;
    long PeakKiB = 0;
    TSteady::time_point At = TSteady::now();
};

inline TUsage TreeUsage(pid_t Pid) {
    TUsage U;
    for (const pid_t Process : ProcessTree(Pid)) {
        const std::string Tasks = "/proc/" + std::to_string(Process) + "/task";
        DIR* Dir = ::opendir(Tasks.c_str());
        if (!Dir)
            continue;
        while (const dirent* Entry = ::readdir(Dir)) {
            if (Entry->d_name[0] == '.')
                continue;
            const std::string Task = std::to_string(Process) + "/task/" + Entry->d_name;
            std::ifstream Stat("/proc/" + Task + "/schedstat");
            double Ns = 0;
            if (Stat >> Ns)
                U.CpuSeconds += Ns / 1e9;
            U.Wakeups += double(std::max(0L, StatusField(Task, "voluntary_ctxt_switches")));
        }
        ::closedir(Dir);
        U.RssKiB += std::max(0L, StatusField(std::to_string(Process), "VmRSS"));
        U.PeakKiB += std::max(0L, StatusField(std::to_string(Process), "VmHWM"));
    }
    U.At = TSteady::now();
    return U;
}

// A process tree over a stretch.
struct TStretch {
    double Seconds = 0;
    double CpuPct = -1;      // of one core
    double Wakeups = 0;      // voluntary context switches
    double RssMiB = -1;      // at the start of the stretch
    double PeakMiB = -1;     // at its end
    double Load1 = -1;       // load average before it
    double OtherCpuPct = -1; // of the other process tree, when one was given
    double Counted = 0;      // how much the counter grew, when one was given
};

// Waits WarmUp seconds, then measures the tree of Pid over Seconds; the tree of Other (an X
// server), when it is above 0, over the same stretch; and Counter, when one is given, is read at
// both ends. The processes keep running.
inline TStretch MeasureStretch(pid_t Pid, int WarmUp, int Seconds, pid_t Other = -1,
                               const std::function<double()>& Counter = {}) {
    std::this_thread::sleep_for(std::chrono::seconds(WarmUp));
    TStretch S;
    S.Load1 = Load1();
    const double Count0 = Counter ? Counter() : 0;
    const TUsage Other0 = Other > 0 ? TreeUsage(Other) : TUsage{};
    const TUsage A = TreeUsage(Pid);
    std::this_thread::sleep_for(std::chrono::seconds(Seconds));
    const TUsage B = TreeUsage(Pid);
    const TUsage Other1 = Other > 0 ? TreeUsage(Other) : TUsage{};
    S.Counted = Counter ? Counter() - Count0 : 0;
    S.Seconds = std::chrono::duration<double>(B.At - A.At).count();
    // A thread that ended during the stretch takes its time out of the sum: never report less
    // than nothing.
    S.CpuPct = std::max(0.0, 100.0 * (B.CpuSeconds - A.CpuSeconds) / S.Seconds);
    S.Wakeups = std::max(0.0, B.Wakeups - A.Wakeups);
    S.RssMiB = double(A.RssKiB) / 1024.0;
    S.PeakMiB = double(B.PeakKiB) / 1024.0;
    if (Other > 0)
        S.OtherCpuPct = std::max(0.0, 100.0 * (Other1.CpuSeconds - Other0.CpuSeconds) / S.Seconds);
    return S;
}

// Runs a program to its end; true when it exited with 0.
inline bool RunProgram(const std::vector<std::string>& Args, int NetNsFd = -1) {
    const pid_t Pid = Spawn(Args, NetNsFd);
    int Status = 0;
    return Pid > 0 && ::waitpid(Pid, &Status, 0) == Pid && WIFEXITED(Status) &&
           WEXITSTATUS(Status) == 0;
}

// fping over the loops' addresses, in count mode: the same scheduling as its loop mode
// (-l), but its quiet switch also silences the per-reply lines, which -l keeps printing in
// fping 5.1. Its -i spreads the first round of requests; RunLoops starts the loops as far apart.
class TFping {
public:
    static constexpr double IntervalMs = 0.5;

    bool Start(const std::string& Program, const std::vector<std::string>& Hosts, int PeriodMs,
               int TimeOutMs, int PayloadBytes, int Periods, int NetNsFd, bool Ipv6 = false) {
        std::vector<std::string> Args = {
            Program, "-q",  "-c", std::to_string(Periods),   "-p", std::to_string(PeriodMs),
            "-i",    "0.5", "-t", std::to_string(TimeOutMs), "-b", std::to_string(PayloadBytes)};
        if (Ipv6)
            Args.push_back("-6");
        Args.insert(Args.end(), Hosts.begin(), Hosts.end());
        FStart = TSteady::now();
        FPid = Spawn(Args, NetNsFd);
        return FPid > 0;
    }

    // fping's CPU time so far (its scheduler statistics, in nanoseconds), or -1.
    double CpuSecondsSoFar() const {
        std::ifstream In("/proc/" + std::to_string(FPid) + "/schedstat");
        double Ns = -1;
        return FPid > 0 && (In >> Ns) ? Ns / 1e9 : -1;
    }

    // Ends fping (if it is still running) and takes its usage.
    void Stop() {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM);
        int Status = 0;
        rusage Usage{};
        if (::wait4(FPid, &Status, 0, &Usage) == FPid) {
            WallSeconds = std::chrono::duration<double>(TSteady::now() - FStart).count();
            CpuSeconds = Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
            PeakKiB = Usage.ru_maxrss;
            Wakeups = Usage.ru_nvcsw;
            Ran = true;
        }
        FPid = -1;
    }

    ~TFping() { Stop(); }

    bool Ran = false;
    double CpuSeconds = 0, WallSeconds = 0;
    long PeakKiB = 0;
    long Wakeups = 0; // voluntary context switches

private:
    pid_t FPid = -1;
    TSteady::time_point FStart;
};

inline std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TSteady::now().time_since_epoch())
        .count();
}

inline std::int64_t CpuClockNs(clockid_t Clock) {
    timespec T{};
    ::clock_gettime(Clock, &T);
    return std::int64_t(T.tv_sec) * 1000000000 + T.tv_nsec;
}

// What one loop saw: the start-to-start time of every period in microseconds, and its thread's
// CPU clock, read once at its first request (by the loop) and once at the end of the run (by
// the benchmark, while the loop still runs), so that measuring costs no system call per period.
// The loop writes everything but CpuAtEndNs, and only before it has ended.
struct TLoopRecord {
    std::vector<std::int32_t> PeriodUs;
    std::int64_t LastStartNs = 0;
    std::atomic<bool> HasCpuClock{false};
    clockid_t CpuClock{};
    std::int64_t CpuAtFirstNs = 0;
    std::int64_t CpuAtEndNs = 0;
    std::size_t PeriodsAtEnd = 0;
    std::atomic<std::size_t> Periods{0};
    std::atomic<int> Successes{0};
    std::atomic<int> TimedOut{0};
    std::atomic<int> OtherFailures{0};
};

struct TLoopRun {
    std::vector<std::string> Targets;
    int PeriodMs = 1000;
    int TimeOutMs = 1000;
    std::chrono::seconds RunFor{20};
    int PayloadBytes = 16;
    bool FakeEcho = false;   // an echo that answers at once, without the echo service
    int NetNsFd = -1;        // where fping runs; -1: this thread's namespace
    bool Ipv6 = false;       // the targets are IPv6 addresses (fping -6)
    bool OwnThreads = false; // each loop on a thread of its own, not on one scheduler
};

struct TLoopResult {
    std::vector<std::shared_ptr<TLoopRecord>> Records;
    double CpuSeconds = 0;
    double WallSeconds = 0;
    double LoopCpuSeconds = 0; // of the loop threads from their first request to the end
    double LoopSeconds = 0;    // the time that covers, averaged over the loops
    // Both processes once every loop has run a full period, up to the stop: the steady state,
    // without the start and end of a thousand threads.
    double SteadyCpuSeconds = 0;
    double SteadyFpingCpuSeconds = -1;
    double SteadyWallSeconds = 0;
    long PeakKiB = 0;
    long Wakeups = 0; // voluntary context switches of this process over the run
    TFping Fping;
    bool FpingMissing = false;
    // The ICMP helpers of this process, when the echo service sends through them: their CPU
    // over the run and in the steady state, peak resident memory and wake-ups.
    bool Helper = false;
    double HelperCpuSeconds = 0, SteadyHelperCpuSeconds = 0;
    long HelperPeakKiB = 0, HelperWakeups = 0;
};

// A posted call that has run already: the benchmark's results are handed over at once.
struct TRanCall : TPingLoopThread::TPostedCall {
    void Wait() override {}
};

// A request starts: the period since the loop's previous one, and (on a loop thread of its own)
// the thread's CPU clock at the first.
inline void NoteStart(TLoopRecord& Record, bool OwnThread) {
    const std::int64_t Now = SteadyNs();
    if (Record.LastStartNs != 0) {
        Record.PeriodUs.push_back(std::int32_t((Now - Record.LastStartNs) / 1000));
        ++Record.Periods;
    } else if (OwnThread && ::pthread_getcpuclockid(::pthread_self(), &Record.CpuClock) == 0) {
        Record.CpuAtFirstNs = CpuClockNs(Record.CpuClock);
        Record.HasCpuClock = true;
    }
    Record.LastStartNs = Now;
}

// Starts one loop per target, spaced as fping spaces its first requests, lets them run, stops
// them and waits until every loop has ended. The loops run as the program runs them: on one
// scheduler (its thread's CPU is not told apart per loop), their results posted; with OwnThreads
// each on a thread of its own instead.
inline void RunLoops(const TLoopRun& Run, bool WithFping, TLoopResult& Result) {
    const std::size_t Count = Run.Targets.size();
    const auto Periods = std::size_t(Run.RunFor / std::chrono::milliseconds(Run.PeriodMs));
    const bool Fake = Run.FakeEcho;
    const bool OwnThreads = Run.OwnThreads;
    // The scheduler's requests, recorded by the loop they belong to (each target is another).
    auto ByAddress = std::make_shared<std::unordered_map<std::uint32_t, TLoopRecord*>>();
    auto ByTarget = std::make_shared<std::unordered_map<std::string, TLoopRecord*>>();
    const TEchoScheduler::TAsyncEcho Icmp = TEchoScheduler::IcmpEcho();
    auto Async = [ByAddress, Fake, Icmp](std::uint32_t Destination, const std::string& Payload,
                                         std::int32_t TimeOut, TIcmpAsyncDone Done) {
        if (const auto It = ByAddress->find(Destination); It != ByAddress->end())
            NoteStart(*It->second, false);
        if (Fake) {
            Done(TIcmpAsyncResult{}); // IP_SUCCESS in 0 ms
            return;
        }
        Icmp(Destination, Payload, TimeOut, std::move(Done));
    };
    auto Blocking = [ByTarget, Fake](const std::string& Target, const std::string& Payload,
                                     TReplyBuffer& Reply, std::int32_t TimeOut,
                                     std::string& Address) {
        if (const auto It = ByTarget->find(Target); It != ByTarget->end())
            NoteStart(*It->second, false);
        if (Fake) {
            Address = Target;
            Reply.fill(0);
            return;
        }
        SendEcho(Target, Payload, Reply, TimeOut, Address);
    };
    const auto Scheduler = std::make_shared<TEchoScheduler>(nullptr, Async, Blocking, 2);
    std::vector<std::unique_ptr<TPingLoopThread>> Loops;
    for (std::size_t I = 0; I < Count; ++I) {
        auto Record = std::make_shared<TLoopRecord>();
        Record->PeriodUs.reserve(Periods + 4);
        Result.Records.push_back(Record);
        std::string Address;
        std::uint32_t Destination = 0;
        if (ReadIpv4Literal(Run.Targets[I], Address, Destination))
            (*ByAddress)[Destination] = Record.get();
        (*ByTarget)[Run.Targets[I]] = Record.get();
        auto Echo = [Record, Fake](const std::string& Target, const std::string& Payload,
                                   TReplyBuffer& Reply, std::int32_t TimeOut,
                                   std::string& Address) {
            NoteStart(*Record, true);
            if (Fake) {
                Address = Target;
                Reply.fill(0); // IP_SUCCESS in 0 ms
                return;
            }
            SendEcho(Target, Payload, Reply, TimeOut, Address);
        };
        auto Loop = OwnThreads ? std::make_unique<TPingLoopThread>(nullptr, Echo)
                               : std::make_unique<TPingLoopThread>(Scheduler);
        if (!OwnThreads)
            Loop->SetPostInvoker(
                [](std::function<void()> Fn) -> std::shared_ptr<TPingLoopThread::TPostedCall> {
                    Fn();
                    return std::make_shared<TRanCall>();
                });
        Loop->SetTarget(Run.Targets[I]);
        Loop->SetFrequency(Run.PeriodMs);
        Loop->SetTimeOut(Run.TimeOutMs);
        Loop->SetPayload(std::string(std::size_t(Run.PayloadBytes), 'A'));
        Loop->SetOnAfterPing([Record](TPingEvent& E) {
            if (E.Success)
                ++Record->Successes;
            else if (E.Status == PING_STATUS_REQ_TIMED_OUT)
                ++Record->TimedOut;
            else
                ++Record->OtherFailures;
        });
        Loops.push_back(std::move(Loop));
    }

    const std::string FpingProgram = WithFping ? FindProgram("fping") : "";
    Result.FpingMissing = WithFping && FpingProgram.empty();
    ResetPeakResident();
    const double Cpu0 = ProcessCpuSeconds();
    const long Wakeups0 = VoluntarySwitches();
    // The helpers started with the service, before the run.
    const std::vector<pid_t> HelpersAtStart = IcmpHelpers();
    const double Helper0 = HelpersCpuSeconds(HelpersAtStart);
    const long HelperWakeups0 = HelpersStatus(HelpersAtStart, "voluntary_ctxt_switches");
    const auto Wall0 = TSteady::now();
    if (!FpingProgram.empty())
        Result.Fping.Start(FpingProgram, Run.Targets, Run.PeriodMs, Run.TimeOutMs, Run.PayloadBytes,
                           int(Periods) + 2, Run.NetNsFd, Run.Ipv6);
    const auto Spacing = std::chrono::duration<double, std::milli>(TFping::IntervalMs);
    for (std::size_t I = 0; I < Count; ++I) {
        std::this_thread::sleep_until(
            Wall0 + std::chrono::duration_cast<TSteady::duration>(Spacing * double(I)));
        Loops[I]->Resume();
    }
    // Every loop has started and run one period by then.
    const auto SteadyFrom =
        Wall0 + Spacing * double(Count) + 2 * std::chrono::milliseconds(Run.PeriodMs);
    std::this_thread::sleep_until(std::chrono::time_point_cast<TSteady::duration>(SteadyFrom));
    const double SteadyCpu0 = ProcessCpuSeconds();
    const double SteadyFping0 = Result.Fping.CpuSecondsSoFar();
    const std::vector<pid_t> Helpers = IcmpHelpers();
    const double SteadyHelper0 = HelpersCpuSeconds(Helpers);
    const auto SteadyWall0 = TSteady::now();
    std::this_thread::sleep_until(Wall0 + Run.RunFor);
    Result.SteadyCpuSeconds = ProcessCpuSeconds() - SteadyCpu0;
    Result.SteadyHelperCpuSeconds = HelpersCpuSeconds(Helpers) - SteadyHelper0;
    const double SteadyFping1 = Result.Fping.CpuSecondsSoFar();
    if (SteadyFping0 >= 0 && SteadyFping1 >= 0)
        Result.SteadyFpingCpuSeconds = SteadyFping1 - SteadyFping0;
    Result.SteadyWallSeconds = std::chrono::duration<double>(TSteady::now() - SteadyWall0).count();
    double LoopNs = 0;
    for (const auto& Record : Result.Records) {
        if (Record->HasCpuClock) {
            Record->PeriodsAtEnd = Record->Periods;
            Record->CpuAtEndNs = CpuClockNs(Record->CpuClock);
            Result.LoopCpuSeconds += double(Record->CpuAtEndNs - Record->CpuAtFirstNs) / 1e9;
            LoopNs += double(Record->PeriodsAtEnd) * Run.PeriodMs * 1e6;
        }
    }
    Result.LoopSeconds = Result.Records.empty() ? 0 : LoopNs / 1e9 / double(Count);
    Result.Fping.Stop();
    Loops.clear(); // stop requests
    while (TPingLoopThread::RunningCount() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Result.CpuSeconds = ProcessCpuSeconds() - Cpu0;
    Result.Wakeups = VoluntarySwitches() - Wakeups0;
    Result.Helper = !Helpers.empty();
    Result.HelperCpuSeconds = HelpersCpuSeconds(Helpers) - Helper0;
    Result.HelperPeakKiB = HelpersStatus(Helpers, "VmHWM");
    Result.HelperWakeups = HelpersStatus(Helpers, "voluntary_ctxt_switches") - HelperWakeups0;
    Result.WallSeconds = std::chrono::duration<double>(TSteady::now() - Wall0).count();
    Result.PeakKiB = StatusKiB("VmHWM");
}

// p50, p99 and max of a list, in place.
struct TSpread {
    double P50 = 0, P99 = 0, Max = 0;
    std::size_t Count = 0;
};

inline TSpread Spread(std::vector<double>& Values) {
    TSpread S;
    S.Count = Values.size();
    if (Values.empty())
        return S;
    std::sort(Values.begin(), Values.end());
    auto At = [&](double Share) {
        return Values[std::min(Values.size() - 1, std::size_t(Share * double(Values.size())))];
    };
    S.P50 = At(0.50);
    S.P99 = At(0.99);
    S.Max = Values.back();
    return S;
}

// Period error (|start-to-start - period|) and CPU per period of the loops in one group, as
// counters named Prefix + "err_p50_ms" and so on.
inline void ReportGroup(benchmark::State& State, const TLoopResult& Result,
                        const std::vector<std::size_t>& Members, int PeriodMs,
                        const std::string& Prefix) {
    std::vector<double> ErrorsMs;
    long Successes = 0, TimedOut = 0, Other = 0;
    double CpuNs = 0, CpuPeriods = 0;
    for (const std::size_t I : Members) {
        const TLoopRecord& R = *Result.Records[I];
        for (const std::int32_t P : R.PeriodUs)
            ErrorsMs.push_back(std::abs(double(P) / 1000.0 - PeriodMs));
        if (R.HasCpuClock && R.PeriodsAtEnd > 0) {
            CpuNs += double(R.CpuAtEndNs - R.CpuAtFirstNs);
            CpuPeriods += double(R.PeriodsAtEnd);
        }
        Successes += R.Successes;
        TimedOut += R.TimedOut;
        Other += R.OtherFailures;
    }
    const double CpuMean = CpuPeriods > 0 ? CpuNs / CpuPeriods / 1000.0 : 0.0;
    const TSpread Errors = Spread(ErrorsMs);
    State.counters[Prefix + "periods"] = double(Errors.Count);
    State.counters[Prefix + "err_p50_ms"] = Errors.P50;
    State.counters[Prefix + "err_p99_ms"] = Errors.P99;
    State.counters[Prefix + "err_max_ms"] = Errors.Max;
    State.counters[Prefix + "thread_cpu_us_per_period"] = CpuMean;
    State.counters[Prefix + "replies"] = double(Successes);
    State.counters[Prefix + "timeouts"] = double(TimedOut);
    State.counters[Prefix + "other_failures"] = double(Other);
}

// Process-wide figures, and fping's beside them when it ran.
inline void ReportProcess(benchmark::State& State, const TLoopResult& Result) {
    const double CpuPct = 100.0 * Result.CpuSeconds / Result.WallSeconds;
    const double PeakMiB = double(Result.PeakKiB) / 1024.0;
    State.counters["cpu_pct_of_core"] = CpuPct;
    // The loop threads' own part; the rest is the echo service's receiver thread, thread
    // starts and ends, and the benchmark's main thread.
    if (Result.LoopSeconds > 0)
        State.counters["loop_threads_cpu_pct_of_core"] =
            100.0 * Result.LoopCpuSeconds / Result.LoopSeconds;
    State.counters["peak_rss_mib"] = PeakMiB;
    const double SteadyPct = 100.0 * Result.SteadyCpuSeconds / Result.SteadyWallSeconds;
    State.counters["steady_cpu_pct_of_core"] = SteadyPct;
    State.counters["wakeups"] = double(Result.Wakeups);
    // With the helper, the program's figures and the helper's together are what compares.
    double HelperPct = 0, SteadyHelperPct = 0;
    if (Result.Helper) {
        HelperPct = 100.0 * Result.HelperCpuSeconds / Result.WallSeconds;
        SteadyHelperPct = 100.0 * Result.SteadyHelperCpuSeconds / Result.SteadyWallSeconds;
        State.counters["helper_cpu_pct_of_core"] = HelperPct;
        State.counters["steady_helper_cpu_pct_of_core"] = SteadyHelperPct;
        State.counters["helper_peak_rss_mib"] = double(Result.HelperPeakKiB) / 1024.0;
        State.counters["helper_wakeups"] = double(Result.HelperWakeups);
    }
    if (Result.SteadyFpingCpuSeconds >= 0) {
        const double FpingPct = 100.0 * Result.SteadyFpingCpuSeconds / Result.SteadyWallSeconds;
        State.counters["steady_fping_cpu_pct_of_core"] = FpingPct;
        State.counters["steady_cpu_ratio_to_fping"] = FpingPct > 0 ? SteadyPct / FpingPct : 0.0;
        if (Result.Helper)
            State.counters["steady_cpu_ratio_to_fping_with_helper"] =
                FpingPct > 0 ? (SteadyPct + SteadyHelperPct) / FpingPct : 0.0;
    }
    if (Result.Fping.Ran) {
        const double FpingPct = 100.0 * Result.Fping.CpuSeconds / Result.Fping.WallSeconds;
        const double FpingMiB = double(Result.Fping.PeakKiB) / 1024.0;
        State.counters["fping_cpu_pct_of_core"] = FpingPct;
        State.counters["fping_peak_rss_mib"] = FpingMiB;
        State.counters["cpu_ratio_to_fping"] = FpingPct > 0 ? CpuPct / FpingPct : 0.0;
        State.counters["rss_ratio_to_fping"] = FpingMiB > 0 ? PeakMiB / FpingMiB : 0.0;
        State.counters["fping_wakeups"] = double(Result.Fping.Wakeups);
        if (Result.Helper)
            State.counters["cpu_ratio_to_fping_with_helper"] =
                FpingPct > 0 ? (CpuPct + HelperPct) / FpingPct : 0.0;
    }
}

} // namespace loopbench

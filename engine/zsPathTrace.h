// The path to a host, hop by hop: echo requests with a growing hop limit find the routers on
// the way (each answers "time exceeded" from its own address), and statistics per hop show
// where packets are lost.
//
//   TPathTracker tracker;                        // plain data: rounds in, statistics out
//   std::vector<TPathProbeAnswer> round(tracker.HopsToProbe());
//   ... round[h - 1] = answer of the request with hop limit h ...
//   tracker.AddRound(round, nowMs);
//   for (const TPathHop& hop : tracker.Snapshot().Hops) use(hop.LossPercent, hop.LimitsReplies);
//
//   TPathProber prober(target, 1000, 1000, SystemClock(), TPathProber::TEcho());  // the service
//   prober.SetOnRound([](const TPathSnapshot& s) { ... });   // on a prober thread
//   prober.Start();
//
// Limits: at most MaxPathHops (30) hops; a timeline keeps the last TimelineSize (600) rounds of
// every hop. One round probes every hop once, and a prober costs no more than one monitor per
// probed hop. The hops' requests of a round all leave at its start, so the processor wakes once a
// round rather than once a hop (each router still sees one expiring request a round). With the
// process's IPv4 echo service one pacing thread sends them all without waiting, and the answers
// come back through the service's receiver; with a blocking echo (IPv6, tests) every hop has a
// thread that sends one request per period and waits at most one period for its answer, and
// the hops' threads wake together.
//
// The rules, applied after every round:
// - Where the path ends: the first hop whose answer is an echo reply or "unreachable". Answers
//   of higher hop limits in that round do not count (they come from the same end). Once the end
//   is known only the hops up to it are probed; the hop that was the end answering "time
//   exceeded" makes the next round probe all MaxPathHops again.
// - Loss of a hop: the requests of its hop limit that got no answer, out of those sent.
//   Answering: an echo reply, time exceeded, or unreachable. Times are whole milliseconds as the
//   echo service measures them; the standard deviation is that of a sample (n - 1), 0 below two.
// - Several addresses at one hop (load balancing) are all kept, each with its count of answers.
// - A change of path: a hop that has answered WarmUpAnswers (3) times before answers from an
//   address it never answered from, or the end of the path, found at one hop in WarmUpAnswers
//   rounds, moves to another hop. The round is marked on every hop's timeline and counted.
// - A hop limits its replies (routers rate-limit the "time exceeded" they send, while passing
//   traffic on at full rate) when its loss does not continue to the hops after it: take, among
//   the hops after it that were sent at least MinSamples (5) requests and answered one, the one
//   with the lowest loss, Lj out of nj sent; the hop, Lh out of nh sent (nh >= MinSamples), limits
//   its replies when Lh - Lj >= 5 points and Lh - Lj > 3 * sqrt(p (1 - p) (1/nh + 1/nj)) with
//   p the loss of both together (lost_h + lost_j) / (nh + nj): more loss than chance makes
//   between two hops that lose the same. Its loss on the way (ContinuingLossPercent) is then Lj;
//   otherwise it is its own loss.
#pragma once

#include "zsClock.h"
#include "zsPingStatus.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr int MaxPathHops = 30;

// An IPv4 or IPv6 address; empty (Family 0) for "nobody answered".
struct TPathAddress {
    int Family = 0; // AF_INET, AF_INET6 or 0
    std::array<std::uint8_t, 16> Bytes{};
    std::uint32_t ScopeId = 0;

    static TPathAddress V4(std::uint32_t NetworkOrder);
    static TPathAddress V6(const std::uint8_t (&Address)[16], std::uint32_t ScopeId = 0);
    // A literal address ("192.0.2.1", "2001:db8::1"); empty when Text is none.
    static TPathAddress Parse(const std::string& Text);
    std::string Text() const; // "" when empty
    explicit operator bool() const { return Family != 0; }
    bool operator==(const TPathAddress&) const = default;
};

// What became of one request with a hop limit.
struct TPathProbeAnswer {
    std::int32_t IPStatus = IP_REQ_TIMED_OUT; // the echo service's outcome
    TPathAddress From;                        // the host that answered; empty when none did
    std::uint32_t RoundTripMs = 0;
};

// Answered: an echo reply, time exceeded or unreachable came from a host.
bool PathProbeAnswered(const TPathProbeAnswer& Answer);
// The path ends at this answer: an echo reply or unreachable.
bool PathProbeEndsPath(const TPathProbeAnswer& Answer);

struct TPathSample {
    std::int64_t TimeMs = 0;     // the round's time
    std::int32_t RoundTrip = -1; // ms; -1 when lost
    int AddressIndex = -1;       // into TPathHop::Addresses; -1 when lost
    bool PathChanged = false;    // the path changed in this round
};

struct TPathHopAddress {
    TPathAddress Address;
    std::uint64_t Answers = 0;
};

struct TPathHop {
    int Hop = 0;                            // 1 for the first router
    std::vector<TPathHopAddress> Addresses; // in the order first seen
    int LastAddressIndex = -1;
    std::uint64_t Sent = 0;
    std::uint64_t Received = 0;
    double LossPercent = 0;
    bool HasTimes = false; // Received > 0
    double LastMs = 0, AverageMs = 0, BestMs = 0, WorstMs = 0, StDevMs = 0;
    TPingStatus LastStatus = PING_STATUS_INITIALIZING;
    bool LimitsReplies = false;
    double ContinuingLossPercent = 0;
    // With LimitsReplies: the later hop whose loss stays below, and its loss.
    int ComparedHop = 0;
    double ComparedLossPercent = 0;
    std::vector<TPathSample> Timeline; // oldest first
};

struct TPathSnapshot {
    std::vector<TPathHop> Hops;
    bool DestinationReached = false; // the end of the path is known
    std::uint64_t Rounds = 0;
    std::uint64_t PathChanges = 0;
    std::int64_t LastChangeMs = -1;
};

class TPathTracker {
public:
    static constexpr std::size_t TimelineSize = 600;
    static constexpr std::uint64_t WarmUpAnswers = 3;
    static constexpr std::uint64_t MinSamples = 5;

    explicit TPathTracker(int MaxHops = MaxPathHops);

    // How many hop limits (1..n) the next round should probe.
    int HopsToProbe() const;
    // One round's answers, Answers[h - 1] for hop limit h, taken at NowMs.
    void AddRound(const std::vector<TPathProbeAnswer>& Answers, std::int64_t NowMs);
    TPathSnapshot Snapshot() const;

private:
    struct THopState {
        std::vector<TPathHopAddress> Addresses;
        int LastAddressIndex = -1;
        std::uint64_t Sent = 0, Received = 0;
        double Last = 0, Best = 0, Worst = 0, Mean = 0, M2 = 0;
        TPingStatus LastStatus = PING_STATUS_INITIALIZING;
        std::deque<TPathSample> Timeline;
    };
    int FMaxHops;
    std::vector<THopState> FHops; // FHops[h - 1]
    int FEnd = 0;                 // hop where the path ends, 0 while unknown
    std::uint64_t FEndSeen = 0;   // rounds that found the end at FEnd
    int FHighestAnswered = 0;
    std::uint64_t FRounds = 0;
    std::uint64_t FChanges = 0;
    std::int64_t FLastChangeMs = -1;
};

// Sends one echo request with a hop limit through the process's echo service (IPv4 or IPv6 by
// Target's family) and waits up to TimeoutMs.
TPathProbeAnswer SendHopProbe(const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs);

// Sends one IPv4 echo request with a hop limit without waiting: Done gets its answer exactly
// once, before this returns (refused, or answered by the time the send returned) or later on
// the echo service's receiver thread. Done must be quick and must not block.
using THopProbeDone = std::function<void(const TPathProbeAnswer& Answer)>;
void SendHopProbeAsync(const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs,
                       THopProbeDone Done);

class TPathProber {
public:
    using TEcho = std::function<TPathProbeAnswer(const TPathAddress& Target, int HopLimit,
                                                 std::uint32_t TimeoutMs)>;
    // Sends without waiting, as SendHopProbeAsync does.
    using TAsyncEcho = std::function<void(const TPathAddress& Target, int HopLimit,
                                          std::uint32_t TimeoutMs, THopProbeDone Done)>;
    using TOnRound = std::function<void(const TPathSnapshot& Snapshot)>;

    // Rounds every PeriodMs; a request waits min(TimeoutMs, PeriodMs) for its answer.
    // MaxRounds 0: until stopped. An empty Echo is the process's echo service: SendHopProbeAsync
    // for an IPv4 target, SendHopProbe for an IPv6 one.
    TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                std::shared_ptr<TClock> Clock, TEcho Echo, std::uint64_t MaxRounds = 0,
                int MaxHops = MaxPathHops);
    // One pacing thread sends each round's requests through AsyncEcho.
    TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                std::shared_ptr<TClock> Clock, TAsyncEcho AsyncEcho, std::uint64_t MaxRounds = 0,
                int MaxHops = MaxPathHops);
    ~TPathProber(); // stops and joins the threads
    TPathProber(const TPathProber&) = delete;
    TPathProber& operator=(const TPathProber&) = delete;

    // Called on a prober thread after every round, in round order. Set before Start().
    void SetOnRound(TOnRound OnRound) { FOnRound = std::move(OnRound); }
    void Start();
    void Stop();
    TPathSnapshot Snapshot() const;
    // Blocks until MaxRounds rounds are complete (or Stop()).
    void WaitUntilDone();

private:
    TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                std::shared_ptr<TClock> Clock, TEcho Echo, TAsyncEcho AsyncEcho,
                std::uint64_t MaxRounds, int MaxHops);
    struct TRound {
        int Hops = 0;
        int Pending = 0;
        std::int64_t StartMs = 0;
        std::vector<TPathProbeAnswer> Answers;
    };
    void HopLoop(int Hop);
    void PaceLoop();
    void Answered(std::uint64_t R, int Hop, const TPathProbeAnswer& Answer);
    // Under FLock: the hops round R probes, fixed when first asked.
    TRound& RoundFor(std::uint64_t R);
    void FinishRounds(std::unique_lock<std::mutex>& Guard);

    const TPathAddress FTarget;
    const std::int64_t FPeriodMs;
    const std::uint32_t FTimeoutMs;
    const std::shared_ptr<TClock> FClock;
    TEcho FEcho;
    TAsyncEcho FAsyncEcho;
    const std::uint64_t FMaxRounds;
    const int FMaxHops;
    TOnRound FOnRound;

    mutable std::mutex FLock;
    std::condition_variable FWake; // a round finished
    std::condition_variable FIdle; // hops beyond the path's end: a round needs more hops
    int FLastRoundHops = 0;
    std::vector<std::unique_ptr<std::condition_variable>> FHopWake;
    // The pacing thread's: a round's start, a round complete, the last request answered.
    std::condition_variable FPaceWake;
    int FOutstanding = 0; // requests sent without waiting, not answered yet
    bool FStopping = false;
    std::int64_t FStartMs = 0;
    TPathTracker FTracker;
    std::map<std::uint64_t, TRound> FRounds;
    std::uint64_t FNextToFinish = 0;
    std::vector<std::thread> FThreads;
};

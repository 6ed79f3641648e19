#include "zsPathTrace.h"

#include "icmp_dll.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

// ---- addresses ----

TPathAddress TPathAddress::V4(std::uint32_t NetworkOrder) {
    TPathAddress A;
    A.Family = AF_INET;
    std::memcpy(A.Bytes.data(), &NetworkOrder, 4);
    return A;
}

TPathAddress TPathAddress::V6(const std::uint8_t (&Address)[16], std::uint32_t ScopeId) {
    TPathAddress A;
    A.Family = AF_INET6;
    std::memcpy(A.Bytes.data(), Address, 16);
    A.ScopeId = ScopeId;
    return A;
}

TPathAddress TPathAddress::Parse(const std::string& Text) {
    TPathAddress A;
    std::string Plain = Text;
    if (Plain.size() >= 2 && Plain.front() == '[' && Plain.back() == ']')
        Plain = Plain.substr(1, Plain.size() - 2);
    std::string Zone;
    if (const auto Percent = Plain.find('%'); Percent != std::string::npos) {
        Zone = Plain.substr(Percent + 1);
        Plain.resize(Percent);
    }
    if (Zone.empty() && ::inet_pton(AF_INET, Plain.c_str(), A.Bytes.data()) == 1) {
        A.Family = AF_INET;
    } else if (::inet_pton(AF_INET6, Plain.c_str(), A.Bytes.data()) == 1) {
        A.Family = AF_INET6;
        if (!Zone.empty()) {
            A.ScopeId = ::if_nametoindex(Zone.c_str());
            if (A.ScopeId == 0)
                A.ScopeId = std::uint32_t(std::strtoul(Zone.c_str(), nullptr, 10));
        }
    } else {
        A = TPathAddress{};
    }
    return A;
}

std::string TPathAddress::Text() const {
    char Buffer[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
    if (Family == 0 || !::inet_ntop(Family, Bytes.data(), Buffer, sizeof Buffer))
        return {};
    std::string Result = Buffer;
    if (Family == AF_INET6 && ScopeId != 0) {
        char Name[IF_NAMESIZE] = {};
        Result += '%';
        Result += ::if_indextoname(ScopeId, Name) ? std::string(Name) : std::to_string(ScopeId);
    }
    return Result;
}

bool PathProbeAnswered(const TPathProbeAnswer& Answer) {
    if (!Answer.From)
        return false;
    switch (Answer.IPStatus) {
    case IP_SUCCESS:
    case IP_TTL_EXPIRED_TRANSIT:
    case IP_DEST_NET_UNREACHABLE:
    case IP_DEST_HOST_UNREACHABLE:
    case IP_DEST_PROT_UNREACHABLE:
    case IP_DEST_PORT_UNREACHABLE:
        return true;
    default:
        return false;
    }
}

bool PathProbeEndsPath(const TPathProbeAnswer& Answer) {
    return PathProbeAnswered(Answer) && Answer.IPStatus != IP_TTL_EXPIRED_TRANSIT;
}

// ---- statistics ----

TPathTracker::TPathTracker(int MaxHops) : FMaxHops(std::clamp(MaxHops, 1, 255)) {}

int TPathTracker::HopsToProbe() const {
    return FEnd > 0 ? FEnd : FMaxHops;
}

void TPathTracker::AddRound(const std::vector<TPathProbeAnswer>& Answers, std::int64_t NowMs) {
    const int Probed = std::min<int>(int(Answers.size()), FMaxHops);
    int End = 0;
    for (int H = 1; H <= Probed && End == 0; ++H)
        if (PathProbeEndsPath(Answers[std::size_t(H - 1)]))
            End = H;
    const int Counted = End > 0 ? End : Probed;
    if (int(FHops.size()) < Counted)
        FHops.resize(std::size_t(Counted));

    bool Changed = false;
    // The end found in the rounds so far moves only once it has been seen WarmUpAnswers times:
    // while the path is being found, a lost answer of the last hop lets the next hop's request
    // find the end one hop too far.
    const bool EndSettled = FEndSeen >= WarmUpAnswers;
    if (End > 0) {
        if (FEnd > 0 && End != FEnd) {
            Changed = EndSettled;
            FEndSeen = 0;
        }
        ++FEndSeen;
        FEnd = End;
        // Hops past the end are no part of the path (any more).
        if (int(FHops.size()) > End)
            FHops.resize(std::size_t(End));
        FHighestAnswered = std::min(FHighestAnswered, End);
    } else if (FEnd > 0 && FEnd <= Probed &&
               Answers[std::size_t(FEnd - 1)].IPStatus == IP_TTL_EXPIRED_TRANSIT &&
               PathProbeAnswered(Answers[std::size_t(FEnd - 1)])) {
        // The old end passes requests on now: the path got longer; look for its end again.
        FEnd = 0;
        Changed = EndSettled;
        FEndSeen = 0;
    }

    std::vector<int> Indexes(std::size_t(Counted), -1);
    for (int H = 1; H <= Counted; ++H) {
        THopState& Hop = FHops[std::size_t(H - 1)];
        const TPathProbeAnswer& Answer = Answers[std::size_t(H - 1)];
        ++Hop.Sent;
        Hop.LastStatus = StatusFromIPStatus(Answer.IPStatus);
        if (!PathProbeAnswered(Answer))
            continue;
        const auto Known = std::ranges::find_if(
            Hop.Addresses, [&](const TPathHopAddress& A) { return A.Address == Answer.From; });
        int Index;
        if (Known == Hop.Addresses.end()) {
            if (Hop.Received >= WarmUpAnswers)
                Changed = true;
            Hop.Addresses.push_back({Answer.From, 0});
            Index = int(Hop.Addresses.size()) - 1;
        } else {
            Index = int(Known - Hop.Addresses.begin());
        }
        ++Hop.Addresses[std::size_t(Index)].Answers;
        Hop.LastAddressIndex = Index;
        Indexes[std::size_t(H - 1)] = Index;
        const double Ms = Answer.RoundTripMs;
        ++Hop.Received;
        Hop.Last = Ms;
        if (Hop.Received == 1) {
            Hop.Best = Hop.Worst = Ms;
        } else {
            Hop.Best = std::min(Hop.Best, Ms);
            Hop.Worst = std::max(Hop.Worst, Ms);
        }
        // Welford's running mean and sum of squared deviations.
        const double Delta = Ms - Hop.Mean;
        Hop.Mean += Delta / double(Hop.Received);
        Hop.M2 += Delta * (Ms - Hop.Mean);
        FHighestAnswered = std::max(FHighestAnswered, H);
    }
    if (Changed) {
        ++FChanges;
        FLastChangeMs = NowMs;
    }
    for (int H = 1; H <= Counted; ++H) {
        THopState& Hop = FHops[std::size_t(H - 1)];
        const int Index = Indexes[std::size_t(H - 1)];
        TPathSample Sample;
        Sample.TimeMs = NowMs;
        Sample.AddressIndex = Index;
        Sample.RoundTrip = Index >= 0 ? std::int32_t(Answers[std::size_t(H - 1)].RoundTripMs) : -1;
        Sample.PathChanged = Changed;
        Hop.Timeline.push_back(Sample);
        if (Hop.Timeline.size() > TimelineSize)
            Hop.Timeline.pop_front();
    }
    ++FRounds;
}

TPathSnapshot TPathTracker::Snapshot() const {
    TPathSnapshot S;
    S.Rounds = FRounds;
    S.PathChanges = FChanges;
    S.LastChangeMs = FLastChangeMs;
    S.DestinationReached = FEnd > 0;
    // Up to the end of the path; while it is unknown, up to the highest hop that ever answered
    // and one more, which shows where the answers stop.
    int Shown = FEnd > 0 ? FEnd : std::min(FHighestAnswered + 1, FMaxHops);
    Shown = std::min<int>(Shown, int(FHops.size()));
    for (int H = 1; H <= Shown; ++H) {
        const THopState& State = FHops[std::size_t(H - 1)];
        TPathHop Hop;
        Hop.Hop = H;
        Hop.Addresses = State.Addresses;
        Hop.LastAddressIndex = State.LastAddressIndex;
        Hop.Sent = State.Sent;
        Hop.Received = State.Received;
        Hop.LossPercent =
            State.Sent > 0 ? 100.0 * double(State.Sent - State.Received) / double(State.Sent) : 0;
        Hop.HasTimes = State.Received > 0;
        if (Hop.HasTimes) {
            Hop.LastMs = State.Last;
            Hop.AverageMs = State.Mean;
            Hop.BestMs = State.Best;
            Hop.WorstMs = State.Worst;
            Hop.StDevMs =
                State.Received > 1 ? std::sqrt(State.M2 / double(State.Received - 1)) : 0.0;
        }
        Hop.LastStatus = State.LastStatus;
        Hop.ContinuingLossPercent = Hop.LossPercent;
        Hop.Timeline.assign(State.Timeline.begin(), State.Timeline.end());
        S.Hops.push_back(std::move(Hop));
    }
    // Loss that does not continue to the hops after it.
    for (std::size_t I = 0; I < S.Hops.size(); ++I) {
        TPathHop& Hop = S.Hops[I];
        if (Hop.Sent < MinSamples)
            continue;
        const TPathHop* Lowest = nullptr;
        for (std::size_t J = I + 1; J < S.Hops.size(); ++J) {
            const TPathHop& Later = S.Hops[J];
            if (Later.Sent < MinSamples || Later.Received == 0)
                continue;
            if (!Lowest || Later.LossPercent < Lowest->LossPercent)
                Lowest = &Later;
        }
        if (!Lowest)
            continue;
        const double Nh = double(Hop.Sent), Nj = double(Lowest->Sent);
        const double Lh = Hop.LossPercent / 100, Lj = Lowest->LossPercent / 100;
        const double Lost = double(Hop.Sent - Hop.Received + Lowest->Sent - Lowest->Received);
        const double P = Lost / (Nh + Nj);
        const double Spread = 3 * std::sqrt(P * (1 - P) * (1 / Nh + 1 / Nj));
        if (Lh - Lj >= 0.05 && Lh - Lj > Spread) {
            Hop.LimitsReplies = true;
            Hop.ContinuingLossPercent = Lowest->LossPercent;
            Hop.ComparedHop = Lowest->Hop;
            Hop.ComparedLossPercent = Lowest->LossPercent;
        }
    }
    return S;
}

// ---- the echo service ----

namespace {

// The same size as a monitor's requests of the default payload.
const std::uint8_t HopProbePayload[32] = {'V', 'a', 'n', 't', 'o', 'r', 'e', 'l'};

} // namespace

TPathProbeAnswer SendHopProbe(const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs) {
    TPathProbeAnswer Answer;
    Answer.IPStatus = IP_GENERAL_FAILURE;
    const auto& Payload = HopProbePayload;
    IP_OPTION_INFORMATION Options{};
    Options.Ttl = std::uint8_t(std::clamp(HopLimit, 1, 255));
    if (Target.Family == AF_INET) {
        const TIcmpHandle Handle = IcmpCreateFile();
        if (Handle == INVALID_HANDLE_VALUE)
            return Answer;
        std::uint8_t Reply[sizeof(ICMP_ECHO_REPLY) + sizeof Payload];
        std::uint32_t Destination;
        std::memcpy(&Destination, Target.Bytes.data(), 4);
        IcmpSendEcho(Handle, Destination, Payload, sizeof Payload, &Options, Reply, sizeof Reply,
                     TimeoutMs);
        IcmpCloseHandle(Handle);
        ICMP_ECHO_REPLY Record;
        std::memcpy(&Record, Reply, sizeof Record);
        Answer.IPStatus = std::int32_t(Record.Status);
        Answer.RoundTripMs = Record.RoundTripTime;
        if (Record.Address != 0)
            Answer.From = TPathAddress::V4(Record.Address);
    } else if (Target.Family == AF_INET6) {
        const TIcmpHandle Handle = Icmp6CreateFile();
        if (Handle == INVALID_HANDLE_VALUE)
            return Answer;
        sockaddr_in6 Destination{};
        Destination.sin6_family = AF_INET6;
        std::memcpy(&Destination.sin6_addr, Target.Bytes.data(), 16);
        Destination.sin6_scope_id = Target.ScopeId;
        std::uint8_t Reply[sizeof(ICMPV6_ECHO_REPLY) + sizeof Payload];
        Icmp6SendEcho2(Handle, Destination, Payload, sizeof Payload, &Options, Reply, sizeof Reply,
                       TimeoutMs);
        IcmpCloseHandle(Handle);
        ICMPV6_ECHO_REPLY Record;
        std::memcpy(&Record, Reply, sizeof Record);
        Answer.IPStatus = std::int32_t(Record.Status);
        Answer.RoundTripMs = Record.RoundTripTime;
        std::uint8_t Bytes[16];
        std::memcpy(Bytes, Record.Address.sin6_addr, 16);
        static const std::uint8_t Zero[16] = {};
        if (std::memcmp(Bytes, Zero, 16) != 0)
            Answer.From = TPathAddress::V6(Bytes, Record.Address.sin6_scope_id);
    }
    return Answer;
}

void SendHopProbeAsync(const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs,
                       THopProbeDone Done) {
    if (Target.Family != AF_INET) {
        TPathProbeAnswer Answer;
        Answer.IPStatus = IP_GENERAL_FAILURE;
        Done(Answer);
        return;
    }
    std::uint32_t Destination;
    std::memcpy(&Destination, Target.Bytes.data(), 4);
    IcmpSendEchoAsync(Destination, HopProbePayload, sizeof HopProbePayload, TimeoutMs,
                      std::uint8_t(std::clamp(HopLimit, 1, 255)),
                      [Done = std::move(Done)](const TIcmpAsyncResult& Result) {
                          TPathProbeAnswer Answer;
                          Answer.IPStatus =
                              Result.Opened ? std::int32_t(Result.Status) : IP_GENERAL_FAILURE;
                          Answer.RoundTripMs = Result.RoundTripTime;
                          if (Result.Address != 0)
                              Answer.From = TPathAddress::V4(Result.Address);
                          Done(Answer);
                      });
}

// ---- the prober ----

TPathProber::TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                         std::shared_ptr<TClock> Clock, TEcho Echo, std::uint64_t MaxRounds,
                         int MaxHops)
    : TPathProber(Target, PeriodMs, TimeoutMs, std::move(Clock), std::move(Echo), nullptr,
                  MaxRounds, MaxHops) {}

TPathProber::TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                         std::shared_ptr<TClock> Clock, TAsyncEcho AsyncEcho,
                         std::uint64_t MaxRounds, int MaxHops)
    : TPathProber(Target, PeriodMs, TimeoutMs, std::move(Clock), nullptr, std::move(AsyncEcho),
                  MaxRounds, MaxHops) {}

TPathProber::TPathProber(TPathAddress Target, std::int64_t PeriodMs, std::uint32_t TimeoutMs,
                         std::shared_ptr<TClock> Clock, TEcho Echo, TAsyncEcho AsyncEcho,
                         std::uint64_t MaxRounds, int MaxHops)
    : FTarget(Target), FPeriodMs(std::max<std::int64_t>(PeriodMs, 1)),
      FTimeoutMs(std::uint32_t(std::min<std::int64_t>(TimeoutMs, FPeriodMs))),
      FClock(Clock ? std::move(Clock) : SystemClock()), FEcho(std::move(Echo)),
      FAsyncEcho(std::move(AsyncEcho)), FMaxRounds(MaxRounds),
      FMaxHops(std::clamp(MaxHops, 1, 255)), FTracker(FMaxHops) {
    if (!FEcho && !FAsyncEcho) {
        if (FTarget.Family == AF_INET)
            FAsyncEcho = SendHopProbeAsync;
        else
            FEcho = SendHopProbe;
    }
    for (int H = 0; H < FMaxHops; ++H)
        FHopWake.push_back(std::make_unique<std::condition_variable>());
}

TPathProber::~TPathProber() {
    Stop();
}

void TPathProber::Start() {
    std::lock_guard Guard(FLock);
    if (!FThreads.empty() || FStopping)
        return;
    FStartMs = FClock->MonoMs();
    if (FAsyncEcho) {
        FThreads.emplace_back([this] { PaceLoop(); });
        return;
    }
    for (int H = 1; H <= FMaxHops; ++H)
        FThreads.emplace_back([this, H] { HopLoop(H); });
}

void TPathProber::Stop() {
    {
        std::lock_guard Guard(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    FIdle.notify_all();
    FPaceWake.notify_all();
    for (auto& Wake : FHopWake)
        Wake->notify_all();
    for (std::thread& Thread : FThreads)
        if (Thread.joinable())
            Thread.join();
}

TPathSnapshot TPathProber::Snapshot() const {
    std::lock_guard Guard(FLock);
    return FTracker.Snapshot();
}

void TPathProber::WaitUntilDone() {
    std::unique_lock Guard(FLock);
    FWake.wait(Guard, [&] { return FStopping || (FMaxRounds && FNextToFinish >= FMaxRounds); });
}

TPathProber::TRound& TPathProber::RoundFor(std::uint64_t R) {
    auto It = FRounds.find(R);
    if (It == FRounds.end()) {
        TRound Round;
        Round.Hops = FTracker.HopsToProbe();
        Round.Pending = Round.Hops;
        Round.StartMs = FStartMs + std::int64_t(R) * FPeriodMs;
        Round.Answers.resize(std::size_t(Round.Hops));
        const bool Longer = Round.Hops > FLastRoundHops;
        FLastRoundHops = Round.Hops;
        It = FRounds.emplace(R, std::move(Round)).first;
        // Hops past the end of the path wait for a round that needs them.
        if (Longer)
            FIdle.notify_all();
    }
    return It->second;
}

void TPathProber::FinishRounds(std::unique_lock<std::mutex>& Guard) {
    (void)Guard;
    bool Finished = false;
    for (auto It = FRounds.find(FNextToFinish); It != FRounds.end() && It->second.Pending == 0;
         It = FRounds.find(FNextToFinish)) {
        FTracker.AddRound(It->second.Answers, It->second.StartMs);
        FRounds.erase(It);
        ++FNextToFinish;
        Finished = true;
        if (FOnRound)
            FOnRound(FTracker.Snapshot());
    }
    if (Finished)
        FWake.notify_all();
    if (FMaxRounds && FNextToFinish >= FMaxRounds)
        FIdle.notify_all();
}

void TPathProber::HopLoop(int Hop) {
    std::condition_variable& Wake = *FHopWake[std::size_t(Hop - 1)];
    std::unique_lock Guard(FLock);
    std::uint64_t R = 0;
    while (!FStopping && (FMaxRounds == 0 || R < FMaxRounds)) {
        // Never more than two rounds open: a hop whose clock raced ahead (a test clock) waits
        // for the others. On the system clock the round before last is always over by then.
        FWake.wait(Guard, [&] { return FStopping || R <= FNextToFinish + 1; });
        // Every hop of a round sends at the round's start: one sleep a round, and the hops'
        // wake-ups come together, so the processor wakes once for all of them instead of once
        // for each. Each router still sees one expiring request a round.
        const std::int64_t RoundStart = FStartMs + std::int64_t(R) * FPeriodMs;
        FClock->WaitUntil(Guard, Wake, RoundStart, [&] { return FStopping; });
        if (FStopping)
            return;
        const bool Needed = R >= FNextToFinish && RoundFor(R).Hops >= Hop;
        if (!Needed) {
            // Past the end of the path: sleep, with no wake-up per period, until a round needs
            // this hop.
            auto Next = FRounds.end();
            FIdle.wait(Guard, [&] {
                if (FStopping || (FMaxRounds && FNextToFinish >= FMaxRounds))
                    return true;
                Next = std::ranges::find_if(FRounds.upper_bound(R), FRounds.end(),
                                            [&](const auto& E) { return E.second.Hops >= Hop; });
                return Next != FRounds.end();
            });
            if (FStopping || Next == FRounds.end())
                return;
            R = Next->first;
            continue;
        }
        Guard.unlock();
        const TPathProbeAnswer Answer = FEcho(FTarget, Hop, FTimeoutMs);
        Guard.lock();
        TRound& Round = FRounds.at(R); // still waits for this hop's answer
        Round.Answers[std::size_t(Hop - 1)] = Answer;
        --Round.Pending;
        FinishRounds(Guard);
        ++R;
    }
}

void TPathProber::PaceLoop() {
    std::unique_lock Guard(FLock);
    const auto Complete = [&] {
        const auto It = FRounds.find(FNextToFinish);
        return It != FRounds.end() && It->second.Pending == 0;
    };
    std::uint64_t R = 0; // the next round to send
    while (!FStopping) {
        // Rounds are told on this thread, not on the thread that brought their last answer.
        FinishRounds(Guard);
        const bool AllSent = FMaxRounds && R >= FMaxRounds;
        if (AllSent && FNextToFinish >= R)
            break;
        // Never more than two rounds open: a clock that raced ahead (a test clock) waits for
        // the answers. On the system clock the round before last is always over by then.
        const bool MayOpen = !AllSent && R <= FNextToFinish + 1;
        const std::int64_t RoundStart = FStartMs + std::int64_t(R) * FPeriodMs;
        if (!MayOpen) {
            FPaceWake.wait(Guard, [&] { return FStopping || Complete(); });
            continue;
        }
        if (FClock->MonoMs() < RoundStart) {
            FClock->WaitUntil(Guard, FPaceWake, RoundStart,
                              [&] { return FStopping || Complete(); });
            continue;
        }
        const int Hops = RoundFor(R).Hops;
        const std::uint64_t Round = R++;
        FOutstanding += Hops;
        Guard.unlock();
        // An answer may come before its send returns: Answered takes the lock itself.
        for (int H = 1; H <= Hops; ++H)
            FAsyncEcho(FTarget, H, FTimeoutMs, [this, Round, H](const TPathProbeAnswer& Answer) {
                Answered(Round, H, Answer);
            });
        Guard.lock();
    }
    // The requests still out call back into this prober: it stays until every one has.
    FPaceWake.wait(Guard, [&] { return FOutstanding == 0; });
}

void TPathProber::Answered(std::uint64_t R, int Hop, const TPathProbeAnswer& Answer) {
    std::lock_guard Guard(FLock);
    TRound& Round = FRounds.at(R); // still waits for this hop's answer
    Round.Answers[std::size_t(Hop - 1)] = Answer;
    --Round.Pending;
    --FOutstanding;
    if (FOutstanding == 0 || (Round.Pending == 0 && R == FNextToFinish))
        FPaceWake.notify_all();
}

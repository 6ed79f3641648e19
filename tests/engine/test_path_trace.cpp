// Hop probing: the statistics and rules of the path tracker fed with rounds written by hand, the
// prober's threads on a fake network whose answers come back out of order, the matching of
// "time exceeded" answers to their requests, and one real request with a hop limit on loopback.
#include "FakeClock.h"
#include "icmp_dll.h"
#include "icmp_dll_common.h"
#include "zsPathTrace.h"
#include "zsPingHelper.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

TPathAddress Addr(const char* Text) {
    return TPathAddress::Parse(Text);
}

TPathProbeAnswer Expired(const char* Router, std::uint32_t Ms = 1) {
    return {IP_TTL_EXPIRED_TRANSIT, Addr(Router), Ms};
}
TPathProbeAnswer Reply(const char* Target, std::uint32_t Ms = 1) {
    return {IP_SUCCESS, Addr(Target), Ms};
}
TPathProbeAnswer Lost() {
    return {IP_REQ_TIMED_OUT, {}, 0};
}

const char* const Routers[] = {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"};

// Hops answering as a table says: Lost[h] of Rounds requests of hop h + 1 get no answer (the
// last ones, so that the first round finds the end of the path); the last hop is the
// destination.
TPathSnapshot RunLosses(const std::vector<int>& LostPerHop, int Rounds) {
    TPathTracker Tracker;
    const int Hops = int(LostPerHop.size());
    for (int R = 0; R < Rounds; ++R) {
        std::vector<TPathProbeAnswer> Round;
        for (int H = 0; H < Hops; ++H) {
            const bool Lose = R >= Rounds - LostPerHop[std::size_t(H)];
            Round.push_back(Lose            ? Lost()
                            : H == Hops - 1 ? Reply(Routers[H])
                                            : Expired(Routers[H]));
        }
        Tracker.AddRound(Round, 1000 * R);
    }
    return Tracker.Snapshot();
}

} // namespace

TEST(PathTracker, HopThatLimitsItsReplies) {
    struct Case {
        const char* Name;
        std::vector<int> Lost;
        int Rounds;
        std::vector<bool> Limits;
        std::vector<double> Continuing; // percent, per hop
    };
    const Case Cases[] = {
        {"no loss", {0, 0, 0}, 20, {false, false, false}, {0, 0, 0}},
        {"loss at hop 2 continues to the end", {0, 6, 6}, 20, {false, false, false}, {0, 30, 30}},
        {"hop 2 answers half, the end all", {0, 10, 0}, 20, {false, true, false}, {0, 0, 0}},
        {"a silent router", {20, 0, 0}, 20, {true, false, false}, {0, 0, 0}},
        {"one lost answer is chance", {0, 1, 0}, 20, {false, false, false}, {0, 5, 0}},
        {"40 against 30 points in 20 rounds is chance",
         {0, 8, 6},
         20,
         {false, false, false},
         {0, 40, 30}},
        {"40 against 15 points in 100 rounds is not",
         {0, 40, 15},
         100,
         {false, true, false},
         {0, 15, 15}},
        {"too few rounds to tell", {0, 4, 0}, 4, {false, false, false}, {0, 100, 0}},
        {"the lowest later hop counts",
         {0, 10, 0, 5},
         20,
         {false, true, false, false},
         {0, 0, 0, 25}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const TPathSnapshot S = RunLosses(C.Lost, C.Rounds);
        ASSERT_EQ(S.Hops.size(), C.Lost.size());
        for (std::size_t H = 0; H < S.Hops.size(); ++H) {
            SCOPED_TRACE("hop " + std::to_string(H + 1));
            EXPECT_DOUBLE_EQ(S.Hops[H].LossPercent, 100.0 * C.Lost[H] / C.Rounds);
            EXPECT_EQ(S.Hops[H].LimitsReplies, C.Limits[H]);
            EXPECT_DOUBLE_EQ(S.Hops[H].ContinuingLossPercent, C.Continuing[H]);
        }
    }
    // The destination never answers: nothing later to compare hop 2's loss with.
    TPathTracker Tracker;
    for (int R = 0; R < 20; ++R)
        Tracker.AddRound({Expired(Routers[0]), R % 2 ? Lost() : Expired(Routers[1]), Lost()}, R);
    const TPathSnapshot S = Tracker.Snapshot();
    ASSERT_EQ(S.Hops.size(), 3U);
    EXPECT_FALSE(S.DestinationReached);
    EXPECT_FALSE(S.Hops[1].LimitsReplies);
    EXPECT_DOUBLE_EQ(S.Hops[1].LossPercent, 50);
    // With LimitsReplies the hop it was compared with is named.
    const TPathSnapshot Limited = RunLosses({0, 10, 0, 5}, 20);
    EXPECT_EQ(Limited.Hops[1].ComparedHop, 3);
    EXPECT_DOUBLE_EQ(Limited.Hops[1].ComparedLossPercent, 0);
}

TEST(PathTracker, StatisticsOfAHop) {
    TPathTracker Tracker;
    const std::vector<std::uint32_t> Times = {10, 20, 30, 0, 40}; // 0: lost
    for (std::size_t R = 0; R < Times.size(); ++R)
        Tracker.AddRound({Times[R] ? Expired("192.0.2.1", Times[R]) : Lost(), Reply("192.0.2.9")},
                         std::int64_t(R) * 1000);
    const TPathSnapshot S = Tracker.Snapshot();
    ASSERT_EQ(S.Hops.size(), 2U);
    const TPathHop& H = S.Hops[0];
    EXPECT_EQ(H.Hop, 1);
    EXPECT_EQ(H.Sent, 5U);
    EXPECT_EQ(H.Received, 4U);
    EXPECT_DOUBLE_EQ(H.LossPercent, 20);
    EXPECT_DOUBLE_EQ(H.LastMs, 40);
    EXPECT_DOUBLE_EQ(H.AverageMs, 25);
    EXPECT_DOUBLE_EQ(H.BestMs, 10);
    EXPECT_DOUBLE_EQ(H.WorstMs, 40);
    // Deviations -15, -5, 5, 15 from 25; sample standard deviation over n - 1 = 3.
    EXPECT_NEAR(H.StDevMs, std::sqrt(500.0 / 3), 1e-9);
    EXPECT_EQ(H.LastStatus, StatusFromIPStatus(IP_TTL_EXPIRED_TRANSIT));
    ASSERT_EQ(H.Timeline.size(), 5U);
    EXPECT_EQ(H.Timeline[3].RoundTrip, -1);
    EXPECT_EQ(H.Timeline[3].AddressIndex, -1);
    EXPECT_EQ(H.Timeline[4].RoundTrip, 40);
    EXPECT_EQ(H.Timeline[4].TimeMs, 4000);
    EXPECT_TRUE(S.DestinationReached);
    EXPECT_EQ(S.Rounds, 5U);
    EXPECT_EQ(S.PathChanges, 0U);

    // One answer: no spread yet.
    TPathTracker One;
    One.AddRound({Reply("192.0.2.9", 7)}, 0);
    EXPECT_DOUBLE_EQ(One.Snapshot().Hops[0].StDevMs, 0);
    EXPECT_DOUBLE_EQ(One.Snapshot().Hops[0].BestMs, 7);
}

TEST(PathTracker, EndOfThePath) {
    TPathTracker Tracker(30);
    EXPECT_EQ(Tracker.HopsToProbe(), 30); // unknown: all of them
    std::vector<TPathProbeAnswer> Round(30, Reply("192.0.2.9"));
    Round[0] = Expired(Routers[0]);
    Round[1] = Expired(Routers[1]);
    // Beyond the end the destination answers again; those answers do not count.
    Tracker.AddRound(Round, 0);
    EXPECT_EQ(Tracker.HopsToProbe(), 3);
    TPathSnapshot S = Tracker.Snapshot();
    ASSERT_EQ(S.Hops.size(), 3U);
    EXPECT_EQ(S.Hops[2].Addresses[0].Address.Text(), "192.0.2.9");

    // The destination's answer lost: the end stays where it was.
    Tracker.AddRound({Expired(Routers[0]), Expired(Routers[1]), Lost()}, 1000);
    EXPECT_EQ(Tracker.HopsToProbe(), 3);
    EXPECT_DOUBLE_EQ(Tracker.Snapshot().Hops[2].LossPercent, 50);

    // While the path is being found, the last hop's answer lost lets the next request find the
    // end one hop too far; the end moving back is no change of path.
    TPathTracker Finding;
    Finding.AddRound(
        {Expired(Routers[0]), Expired(Routers[1]), Lost(), Reply("192.0.2.9"), Reply("192.0.2.9")},
        0);
    EXPECT_EQ(Finding.HopsToProbe(), 4);
    Finding.AddRound({Expired(Routers[0]), Expired(Routers[1]), Reply("192.0.2.9"), Lost()}, 1);
    EXPECT_EQ(Finding.HopsToProbe(), 3);
    EXPECT_EQ(Finding.Snapshot().PathChanges, 0U);
    EXPECT_EQ(Finding.Snapshot().Hops.size(), 3U);

    // "Unreachable" ends the path too, from whoever sends it.
    TPathTracker Unreachable;
    Unreachable.AddRound(
        {Expired(Routers[0]), {IP_DEST_HOST_UNREACHABLE, Addr(Routers[1]), 3}, Lost(), Lost()}, 0);
    EXPECT_EQ(Unreachable.HopsToProbe(), 2);
    EXPECT_TRUE(Unreachable.Snapshot().DestinationReached);

    // Nobody answers beyond hop 2: hops up to one past the last answer are shown.
    TPathTracker Silent(10);
    std::vector<TPathProbeAnswer> Quiet(10, Lost());
    Quiet[0] = Expired(Routers[0]);
    Quiet[1] = Expired(Routers[1]);
    Silent.AddRound(Quiet, 0);
    EXPECT_EQ(Silent.HopsToProbe(), 10);
    EXPECT_EQ(Silent.Snapshot().Hops.size(), 3U);
    EXPECT_FALSE(Silent.Snapshot().DestinationReached);
}

TEST(PathTracker, SeveralAddressesAtAHopAndAChangeOfPath) {
    TPathTracker Tracker;
    // Hop 2 balances between two routers from the start: both kept, no change.
    for (int R = 0; R < 6; ++R)
        Tracker.AddRound(
            {Expired(Routers[0]), Expired(R % 2 ? "192.0.2.22" : Routers[1]), Reply("192.0.2.9")},
            R * 1000);
    TPathSnapshot S = Tracker.Snapshot();
    ASSERT_EQ(S.Hops[1].Addresses.size(), 2U);
    EXPECT_EQ(S.Hops[1].Addresses[0].Address.Text(), "192.0.2.2");
    EXPECT_EQ(S.Hops[1].Addresses[0].Answers, 3U);
    EXPECT_EQ(S.Hops[1].Addresses[1].Address.Text(), "192.0.2.22");
    EXPECT_EQ(S.Hops[1].Addresses[1].Answers, 3U);
    EXPECT_EQ(S.Hops[1].LastAddressIndex, 1);
    EXPECT_EQ(S.PathChanges, 0U);

    // A router never seen at hop 2 after the hop settled: a change, marked on every hop's
    // timeline in that round and in none other.
    Tracker.AddRound({Expired(Routers[0]), Expired("192.0.2.33"), Reply("192.0.2.9")}, 6000);
    Tracker.AddRound({Expired(Routers[0]), Expired("192.0.2.33"), Reply("192.0.2.9")}, 7000);
    S = Tracker.Snapshot();
    EXPECT_EQ(S.PathChanges, 1U);
    EXPECT_EQ(S.LastChangeMs, 6000);
    for (const TPathHop& Hop : S.Hops) {
        ASSERT_EQ(Hop.Timeline.size(), 8U);
        for (std::size_t I = 0; I < Hop.Timeline.size(); ++I)
            EXPECT_EQ(Hop.Timeline[I].PathChanged, I == 6) << "hop " << Hop.Hop << " round " << I;
    }
    EXPECT_EQ(S.Hops[1].Addresses.size(), 3U);

    // The destination one hop closer: a change too, and hop 3 is gone.
    Tracker.AddRound({Expired(Routers[0]), Reply("192.0.2.9"), Lost()}, 8000);
    S = Tracker.Snapshot();
    EXPECT_EQ(S.PathChanges, 2U);
    EXPECT_EQ(S.Hops.size(), 2U);
    EXPECT_EQ(Tracker.HopsToProbe(), 2);
    // Longer again, once the new end has held: the old end passes requests on, so the next
    // round looks for the end.
    for (int R = 0; R < 2; ++R)
        Tracker.AddRound({Expired(Routers[0]), Reply("192.0.2.9")}, 8100 + R);
    EXPECT_EQ(Tracker.Snapshot().PathChanges, 2U);
    Tracker.AddRound({Expired(Routers[0]), Expired("192.0.2.33")}, 9000);
    EXPECT_EQ(Tracker.HopsToProbe(), MaxPathHops);
    EXPECT_EQ(Tracker.Snapshot().PathChanges, 3U);
}

TEST(PathTracker, TimelineIsBounded) {
    TPathTracker Tracker;
    for (std::size_t R = 0; R < TPathTracker::TimelineSize + 50; ++R)
        Tracker.AddRound({Reply("192.0.2.9", std::uint32_t(R % 7))}, std::int64_t(R));
    const TPathSnapshot S = Tracker.Snapshot();
    ASSERT_EQ(S.Hops[0].Timeline.size(), TPathTracker::TimelineSize);
    EXPECT_EQ(S.Hops[0].Timeline.front().TimeMs, 50);
    EXPECT_EQ(S.Hops[0].Sent, TPathTracker::TimelineSize + 50);
}

TEST(PathAddress, TextAndParse) {
    EXPECT_EQ(Addr("192.0.2.1").Text(), "192.0.2.1");
    EXPECT_EQ(Addr("[2001:db8::1]").Text(), "2001:db8::1");
    EXPECT_EQ(Addr("2001:db8::1").Family, AF_INET6);
    EXPECT_FALSE(Addr("no such host"));
    EXPECT_FALSE(Addr(""));
    EXPECT_EQ(Addr("fe80::1%1").ScopeId, 1U);
    EXPECT_EQ(TPathAddress().Text(), "");
}

// A fake network of three hops behind the prober: each request is answered after a delay that
// makes the later hops' answers arrive first, and the prober must still put every answer at its
// own hop and round.
TEST(PathProber, AnswersOutOfOrderLandAtTheirHopAndRound) {
    auto Clock = std::make_shared<FakeClock>();
    Clock->SetAutoAdvance(true);
    std::mutex Lock;
    std::map<int, int> ProbesPerHop;
    auto Echo = [&](const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs) {
        EXPECT_EQ(Target.Text(), "192.0.2.9");
        EXPECT_EQ(TimeoutMs, 200U);
        {
            std::lock_guard Guard(Lock);
            ++ProbesPerHop[HopLimit];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(HopLimit <= 3 ? 4 - HopLimit : 0));
        TPathProbeAnswer Answer;
        if (HopLimit >= 3)
            Answer = Reply("192.0.2.9", 30);
        else
            Answer = Expired(Routers[HopLimit - 1], std::uint32_t(10 * HopLimit));
        return Answer;
    };
    TPathProber Prober(Addr("192.0.2.9"), 1000, 200, Clock, Echo, 12, 8);
    std::vector<std::uint64_t> Seen;
    Prober.SetOnRound([&](const TPathSnapshot& S) { Seen.push_back(S.Rounds); });
    Prober.Start();
    Prober.WaitUntilDone();
    const TPathSnapshot S = Prober.Snapshot();
    Prober.Stop();
    EXPECT_EQ(S.Rounds, 12U);
    ASSERT_EQ(S.Hops.size(), 3U);
    for (int H = 1; H <= 3; ++H) {
        const TPathHop& Hop = S.Hops[std::size_t(H - 1)];
        SCOPED_TRACE("hop " + std::to_string(H));
        EXPECT_EQ(Hop.Sent, 12U);
        EXPECT_EQ(Hop.Received, 12U);
        ASSERT_EQ(Hop.Addresses.size(), 1U);
        EXPECT_EQ(Hop.Addresses[0].Address.Text(), H == 3 ? "192.0.2.9" : Routers[H - 1]);
        EXPECT_DOUBLE_EQ(Hop.AverageMs, H == 3 ? 30 : 10 * H);
        for (std::size_t I = 0; I < Hop.Timeline.size(); ++I)
            EXPECT_EQ(Hop.Timeline[I].TimeMs, 1000000 + 1000 * std::int64_t(I));
    }
    EXPECT_EQ(S.PathChanges, 0U);
    // Rounds reported in order, each once.
    ASSERT_EQ(Seen.size(), 12U);
    for (std::size_t I = 0; I < Seen.size(); ++I)
        EXPECT_EQ(Seen[I], I + 1);
    // All 8 hop limits only while the end was unknown; then the 3 of the path, once a round.
    EXPECT_EQ(ProbesPerHop[1], 12);
    EXPECT_EQ(ProbesPerHop[3], 12);
    EXPECT_LE(ProbesPerHop[4], 2);
    EXPECT_GE(ProbesPerHop[4], 1);
}

// A hop's thread sleeps once a round, straight to its time to send: every sleep is a wake-up of
// one thread per hop and round, which a long path pays for all day.
TEST(PathProber, OneSleepPerHopAndRound) {
    auto Clock = std::make_shared<FakeClock>();
    Clock->SetAutoAdvance(true);
    auto Echo = [](const TPathAddress&, int HopLimit, std::uint32_t) {
        return HopLimit == 3 ? Reply("192.0.2.9") : Expired(Routers[HopLimit - 1]);
    };
    constexpr int Rounds = 12, Hops = 3;
    TPathProber Prober(Addr("192.0.2.9"), 1000, 1000, Clock, Echo, Rounds, Hops);
    Prober.Start();
    Prober.WaitUntilDone();
    Prober.Stop();
    EXPECT_EQ(Prober.Snapshot().Rounds, std::uint64_t(Rounds));
    EXPECT_LE(Clock->WaitCalls(), Rounds * Hops + Hops);
}

// The hops' requests of a round all leave at its start, on a clock that stands still there:
// their threads wake together, once a round, instead of one after another through the period.
TEST(PathProber, EveryHopOfARoundSendsAtItsStart) {
    auto Clock = std::make_shared<FakeClock>();
    std::mutex Lock;
    std::condition_variable Sent;
    std::vector<std::pair<int, std::int64_t>> Sends; // hop limit, time
    auto Echo = [&](const TPathAddress&, int HopLimit, std::uint32_t) {
        {
            std::lock_guard Guard(Lock);
            Sends.emplace_back(HopLimit, Clock->MonoMs());
        }
        Sent.notify_all();
        return HopLimit == 4 ? Reply("192.0.2.9") : Expired(Routers[HopLimit - 1]);
    };
    constexpr int Hops = 4;
    TPathProber Prober(Addr("192.0.2.9"), 1000, 1000, Clock, Echo, 2, Hops);
    Prober.Start();
    const auto SentBy = [&](std::size_t Count) {
        std::unique_lock Guard(Lock);
        return Sent.wait_for(Guard, std::chrono::seconds(10),
                             [&] { return Sends.size() >= Count; });
    };
    // Round 0 starts when the prober does, round 1 a period later.
    ASSERT_TRUE(SentBy(Hops)) << "the clock stands at the first round's start";
    Clock->Advance(1000);
    ASSERT_TRUE(SentBy(2 * Hops)) << "the clock stands at the second round's start";
    Prober.WaitUntilDone();
    Prober.Stop();
    std::lock_guard Guard(Lock);
    ASSERT_EQ(Sends.size(), std::size_t(2 * Hops));
    std::map<std::int64_t, std::vector<int>> HopsAt;
    for (const auto& [Hop, At] : Sends)
        HopsAt[At].push_back(Hop);
    for (auto& [At, Sending] : HopsAt)
        std::ranges::sort(Sending);
    const std::map<std::int64_t, std::vector<int>> Expected = {{1000000, {1, 2, 3, 4}},
                                                               {1001000, {1, 2, 3, 4}}};
    EXPECT_EQ(HopsAt, Expected);
}

TEST(PathProber, StopsPromptlyWhileHopsWait) {
    auto Echo = [](const TPathAddress&, int HopLimit, std::uint32_t) {
        return HopLimit == 1 ? Reply("192.0.2.9") : Lost();
    };
    auto Clock = std::make_shared<FakeClock>();
    TPathProber Prober(Addr("192.0.2.9"), 1000, 1000, Clock, Echo);
    std::mutex Lock;
    std::condition_variable Done;
    bool FirstRound = false;
    Prober.SetOnRound([&](const TPathSnapshot&) {
        std::lock_guard Guard(Lock);
        FirstRound = true;
        Done.notify_all();
    });
    Prober.Start();
    {
        std::unique_lock Guard(Lock);
        ASSERT_TRUE(Done.wait_for(Guard, std::chrono::seconds(10), [&] { return FirstRound; }));
    }
    const auto Before = std::chrono::steady_clock::now();
    Prober.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - Before, std::chrono::seconds(2));
    // Every hop waits for the next round's start, on a clock that does not move.
    EXPECT_EQ(Prober.Snapshot().Rounds, 1U);
}

// One pacing thread sends every round's requests without waiting, at the round's start; the
// answers come back on other threads, later hops first, some before their send returns. Each
// still lands at its own hop and round, and the rounds are told in order.
TEST(PathProber, PacedAnswersLandAtTheirHopAndRound) {
    auto Clock = std::make_shared<FakeClock>();
    Clock->SetAutoAdvance(true);
    std::mutex Lock;
    std::map<int, int> ProbesPerHop;
    std::set<std::thread::id> Senders;
    std::set<std::int64_t> SendTimes;
    std::vector<std::thread> Network;
    auto Answer = [](int HopLimit) {
        return HopLimit >= 3 ? Reply("192.0.2.9", 30)
                             : Expired(Routers[HopLimit - 1], std::uint32_t(10 * HopLimit));
    };
    auto Echo = [&](const TPathAddress& Target, int HopLimit, std::uint32_t TimeoutMs,
                    THopProbeDone Done) {
        EXPECT_EQ(Target.Text(), "192.0.2.9");
        EXPECT_EQ(TimeoutMs, 200U);
        {
            std::lock_guard Guard(Lock);
            ++ProbesPerHop[HopLimit];
            Senders.insert(std::this_thread::get_id());
            SendTimes.insert(Clock->MonoMs());
        }
        if (HopLimit == 1) {
            Done(Answer(HopLimit)); // answered by the time the send returns
            return;
        }
        std::lock_guard Guard(Lock);
        Network.emplace_back([HopLimit, Done = std::move(Done), Answer] {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(HopLimit <= 3 ? 4 - HopLimit : 0));
            Done(Answer(HopLimit));
        });
    };
    std::vector<std::uint64_t> Seen;
    {
        TPathProber Prober(Addr("192.0.2.9"), 1000, 200, Clock, TPathProber::TAsyncEcho(Echo), 12,
                           8);
        Prober.SetOnRound([&](const TPathSnapshot& S) { Seen.push_back(S.Rounds); });
        Prober.Start();
        Prober.WaitUntilDone();
        const TPathSnapshot S = Prober.Snapshot();
        Prober.Stop();
        EXPECT_EQ(S.Rounds, 12U);
        ASSERT_EQ(S.Hops.size(), 3U);
        for (int H = 1; H <= 3; ++H) {
            const TPathHop& Hop = S.Hops[std::size_t(H - 1)];
            SCOPED_TRACE("hop " + std::to_string(H));
            EXPECT_EQ(Hop.Sent, 12U);
            EXPECT_EQ(Hop.Received, 12U);
            ASSERT_EQ(Hop.Addresses.size(), 1U);
            EXPECT_EQ(Hop.Addresses[0].Address.Text(), H == 3 ? "192.0.2.9" : Routers[H - 1]);
            EXPECT_DOUBLE_EQ(Hop.AverageMs, H == 3 ? 30 : 10 * H);
            for (std::size_t I = 0; I < Hop.Timeline.size(); ++I)
                EXPECT_EQ(Hop.Timeline[I].TimeMs, 1000000 + 1000 * std::int64_t(I));
        }
    }
    for (std::thread& T : Network)
        T.join();
    ASSERT_EQ(Seen.size(), 12U);
    for (std::size_t I = 0; I < Seen.size(); ++I)
        EXPECT_EQ(Seen[I], I + 1);
    EXPECT_EQ(ProbesPerHop[1], 12);
    EXPECT_EQ(ProbesPerHop[3], 12);
    EXPECT_LE(ProbesPerHop[4], 2);
    EXPECT_GE(ProbesPerHop[4], 1);
    // One thread sent them all, each round's at its start.
    EXPECT_EQ(Senders.size(), 1U);
    for (const std::int64_t At : SendTimes)
        EXPECT_EQ((At - 1000000) % 1000, 0) << At;
}

// Requests still out call back into the prober: stopping it waits for their answers (which the
// echo service gives within the time out), so none reaches a prober that is gone.
TEST(PathProber, StopWaitsForRequestsStillOut) {
    auto Clock = std::make_shared<FakeClock>();
    std::mutex Lock;
    std::vector<THopProbeDone> Out;
    auto Echo = [&](const TPathAddress&, int, std::uint32_t, THopProbeDone Done) {
        std::lock_guard Guard(Lock);
        Out.push_back(std::move(Done));
    };
    auto Prober = std::make_unique<TPathProber>(Addr("192.0.2.9"), 1000, 1000, Clock,
                                                TPathProber::TAsyncEcho(Echo), 0, 4);
    Prober->Start();
    const auto Sent = [&] {
        std::lock_guard Guard(Lock);
        return Out.size();
    };
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Sent() < 4 && std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(Sent(), 4U);
    std::atomic<bool> Stopped{false};
    std::thread Stopper([&] {
        Prober.reset();
        Stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Stopped.load());
    std::vector<THopProbeDone> Answers;
    {
        std::lock_guard Guard(Lock);
        Answers.swap(Out);
    }
    for (THopProbeDone& Done : Answers)
        Done(Lost());
    Stopper.join();
    EXPECT_TRUE(Stopped.load());
}

// The hops of a round send at once, on one socket, and on a chain of routers each one's "time
// exceeded" comes back while another hop's send is under way; every answer leaves its error
// pending on the socket, which fails the next send there once. A send that meets such errors
// one after another still goes out. A UDP socket connected to a loopback port where nothing
// listens stands in: each of its packets brings back a "port unreachable" that leaves the
// same pending error.
TEST(PathProbe, SendsAtOnceGetPastOtherRequestsPendingErrors) {
    const int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(Fd, 0);
    sockaddr_in Nobody{};
    Nobody.sin_family = AF_INET;
    Nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof Nobody;
    // A port that was just free: bound, looked up, closed.
    {
        const int Probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(Probe, reinterpret_cast<sockaddr*>(&Nobody), sizeof Nobody), 0);
        ASSERT_EQ(::getsockname(Probe, reinterpret_cast<sockaddr*>(&Nobody), &Length), 0);
        ::close(Probe);
    }
    ASSERT_EQ(::connect(Fd, reinterpret_cast<sockaddr*>(&Nobody), sizeof Nobody), 0);
    constexpr int Threads = 4, Sends = 2000;
    std::atomic<int> Failed{0};
    std::vector<std::thread> Senders;
    for (int T = 0; T < Threads; ++T) {
        Senders.emplace_back([&] {
            const std::uint8_t Packet[8] = {};
            for (int I = 0; I < Sends; ++I)
                if (EchoService::SendPacket(Fd, Packet, nullptr, 0, 0) < 0)
                    Failed.fetch_add(1);
        });
    }
    for (std::thread& Sender : Senders)
        Sender.join();
    ::close(Fd);
    EXPECT_EQ(Failed.load(), 0);
}

// Time-exceeded answers to three requests of one identifier, fed in reverse order and once more:
// each request ends with its own router, duplicates complete nothing.
TEST(PathMatching, TimeExceededAnswersOutOfOrder) {
    const std::uint32_t Target = inet_addr("192.0.2.9");
    TEchoMatcher Matcher;
    TEchoMatcher::TRequest Requests[3];
    for (int I = 0; I < 3; ++I) {
        Requests[I].Destination = Target;
        ASSERT_TRUE(Matcher.Add(0x4242, std::uint16_t(100 + I), &Requests[I]));
    }
    for (int Pass = 0; Pass < 2; ++Pass) {
        for (int I = 2; I >= 0; --I) {
            TIcmpMessage Message;
            Message.Kind = TIcmpMessage::Error;
            Message.Identifier = 0x4242;
            Message.Sequence = std::uint16_t(100 + I);
            Message.Source = inet_addr(Routers[I]);
            Message.Destination = Target;
            Message.Type = ICMP_TYPE_TIME_EXCEEDED;
            Message.Code = 0;
            TEchoMatcher::TRequest* Done = Matcher.Deliver(Message);
            EXPECT_EQ(Done, Pass == 0 ? &Requests[I] : nullptr);
        }
    }
    for (int I = 0; I < 3; ++I) {
        EXPECT_TRUE(Requests[I].Done);
        EXPECT_EQ(Requests[I].IPStatus, IP_TTL_EXPIRED_TRANSIT);
        EXPECT_EQ(Requests[I].Source, inet_addr(Routers[I]));
    }
    // Another identifier's answer, or one quoting another destination, completes nothing.
    TEchoMatcher::TRequest Other;
    Other.Destination = Target;
    ASSERT_TRUE(Matcher.Add(0x4242, 7, &Other));
    TIcmpMessage Foreign;
    Foreign.Kind = TIcmpMessage::Error;
    Foreign.Identifier = 0x4243;
    Foreign.Sequence = 7;
    Foreign.Source = inet_addr(Routers[0]);
    Foreign.Destination = Target;
    Foreign.Type = ICMP_TYPE_TIME_EXCEEDED;
    EXPECT_EQ(Matcher.Deliver(Foreign), nullptr);
    Foreign.Identifier = 0x4242;
    Foreign.Destination = inet_addr("192.0.2.8");
    EXPECT_EQ(Matcher.Deliver(Foreign), nullptr);
    EXPECT_FALSE(Other.Done);
}

// A request with a hop limit of 1 through the real service: loopback is no hop away, so the
// echo reply comes back, over whichever socket kind this process may open.
TEST(PathProbe, HopLimitedRequestOnLoopback) {
    if (IcmpCreateFile() == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no ICMP socket allowed here";
    const TPathProbeAnswer V4 = SendHopProbe(Addr("127.0.0.1"), 1, 1000);
    EXPECT_EQ(V4.IPStatus, IP_SUCCESS);
    EXPECT_EQ(V4.From.Text(), "127.0.0.1");
    if (Icmp6CreateFile() != INVALID_HANDLE_VALUE) {
        const TPathProbeAnswer V6 = SendHopProbe(Addr("::1"), 1, 1000);
        EXPECT_EQ(V6.IPStatus, IP_SUCCESS);
        EXPECT_EQ(V6.From.Text(), "::1");
    }
    EXPECT_EQ(SendHopProbe(TPathAddress(), 1, 10).IPStatus, IP_GENERAL_FAILURE);
}

// An answer already queued when the send returns (loopback here, and every router's "time
// exceeded" on a chain of network namespaces) is read by the requesting thread itself, as a
// monitor's is: the request puts that thread to sleep no time, and wakes no receiver for it.
TEST(PathProbe, AnswerQueuedAtTheSendCostsNoSleep) {
    if (IcmpCreateFile() == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no ICMP socket allowed here";
    const auto Sleeps = [] {
        rusage Usage{};
        ::getrusage(RUSAGE_THREAD, &Usage);
        return Usage.ru_nvcsw;
    };
    int Families = 0;
    for (const char* Target : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(Target);
        const bool V6 = Addr(Target).Family == AF_INET6;
        if (V6) {
            const TIcmpHandle Handle = Icmp6CreateFile();
            if (Handle == INVALID_HANDLE_VALUE)
                continue;
            IcmpCloseHandle(Handle);
        }
        // The ICMP helper is another process: its answers are never there at once.
        if ((V6 ? Icmp6ServiceActiveMode() : IcmpServiceActiveMode()) == "helper")
            continue;
        ++Families;
        ASSERT_EQ(SendHopProbe(Addr(Target), 1, 1000).IPStatus, IP_SUCCESS);
        const long Before = Sleeps();
        for (int I = 0; I < 10; ++I)
            EXPECT_EQ(SendHopProbe(Addr(Target), 1 + I % 3, 1000).IPStatus, IP_SUCCESS);
        // A stray sleep is allowed; waiting for the receiver would be one per request.
        EXPECT_LE(Sleeps() - Before, 2);
    }
    if (Families == 0)
        GTEST_SKIP() << "only the ICMP helper sends here";
}

// The alert state machine, checked against sequences of results whose outcome follows from the
// rules by hand: each case lists the changes that must be reported and the result that makes
// each one.
#include "uAlertRules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using S = TAlertState;

struct TExpected {
    int At; // index of the result that makes the change
    S From;
    S To;
    TAlertReason Reason = TAlertReason::None;
};

struct TCase {
    const char* Name;
    TAlertSettings Settings;
    // '1' a reply in 10 ms, 's' a reply in 300 ms, '0' a failure.
    std::string Results;
    std::vector<TExpected> Changes;
    S Final;
};

TAlertSettings With(int N, int M, int K = 20, int P = 10, int L = 0) {
    TAlertSettings Settings;
    Settings.FailThreshold = N;
    Settings.RecoverThreshold = M;
    Settings.Window = K;
    Settings.LossPercent = P;
    Settings.LatencyMs = L;
    return Settings;
}

std::string Repeat(const std::string& Part, int Times) {
    std::string Text;
    for (int I = 0; I < Times; ++I) {
        Text += Part;
    }
    return Text;
}

const std::string Clean = Repeat("1", 20); // a full window of replies at K = 20

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> All = {
        {"flapping stays quiet at N=3", With(3, 2), "1010101", {}, S::Up},
        {"three failures after a full clean window raise Down once",
         With(3, 2),
         Clean + "000000",
         {{22, S::Up, S::Down}},
         S::Down},
        {"two failures are not enough", With(3, 2), Clean + "10011", {}, S::Up},
        {"a short history asks the run to fill the window",
         With(3, 2, 10, 10),
         "1111100000",
         {{9, S::Up, S::Down}},
         S::Down},
        {"four failures after five replies are loss at K = 10",
         With(3, 2, 10, 10),
         "111110000" + Repeat("1", 8),
         {{9, S::Up, S::Degraded, TAlertReason::Loss}},
         S::Degraded},
        {"a host that never answered is Down once the window could have filled",
         With(3, 2),
         Repeat("0", 20),
         {{19, S::Unknown, S::Down}},
         S::Down},
        {"the first reply is quiet", With(3, 2), "1", {}, S::Up},
        {"recovery needs M consecutive replies",
         With(3, 2),
         Clean + "000101" + "1",
         {{22, S::Up, S::Down}, {26, S::Down, S::Up}},
         S::Up},
        {"two replies in three, one failure at a time, flap",
         With(3, 2),
         Repeat("110", 10),
         {{19, S::Up, S::Degraded, TAlertReason::Flapping}},
         S::Degraded},
        {"alternation flaps",
         With(3, 2),
         Repeat("10", 15),
         {{20, S::Up, S::Degraded, TAlertReason::Flapping}},
         S::Degraded},
        {"loss of exactly P is not above P",
         With(3, 2, 10, 10),
         Repeat("111111111"
                "0",
                3),
         {},
         S::Up},
        {"average round trip above L",
         With(3, 2, 5, 10, 100),
         "11111ssss",
         {{6, S::Up, S::Degraded, TAlertReason::RoundTrip}},
         S::Degraded},
        {"latency off by default", With(3, 2, 5, 10, 0), "11111ssss", {}, S::Up},
        {"Degraded clears once the window stays clear for K results",
         With(3, 2, 4, 10),
         "11110" + Repeat("1", 7),
         {{5, S::Up, S::Degraded, TAlertReason::Loss}, {11, S::Degraded, S::Up}},
         S::Up},
        {"a window clear by the start thresholds but not the stop ones keeps Degraded",
         With(3, 2, 10, 10),
         Repeat("1", 10) + "0101" +
             Repeat("111111111"
                    "0",
                    4),
         {{13, S::Up, S::Degraded, TAlertReason::Loss}},
         S::Degraded},
        {"a lossy host needs K failures for Down and is Degraded again after it",
         With(3, 2, 10, 10),
         Repeat("1", 10) + "0101" + Repeat("0", 10) + "11",
         {{13, S::Up, S::Degraded, TAlertReason::Loss},
          {23, S::Degraded, S::Down},
          {25, S::Down, S::Degraded, TAlertReason::Loss}},
         S::Degraded},
        {"an outage is not counted again as loss after it",
         With(3, 2),
         Clean + "000" + "11" + Repeat("1", 25),
         {{22, S::Up, S::Down}, {24, S::Down, S::Up}},
         S::Up},
        {"thresholds of 1 follow every result",
         With(1, 1, 1),
         "1010",
         {{1, S::Up, S::Down}, {2, S::Down, S::Up}, {3, S::Up, S::Down}},
         S::Down},
        {"thresholds of 10",
         With(10, 10),
         Clean + Repeat("0", 10) + Repeat("1", 10),
         {{29, S::Up, S::Down}, {39, S::Down, S::Up}},
         S::Up},
        {"nine failures at N=10 are loss, not Down",
         With(10, 10, 20, 50),
         Clean + Repeat("0", 9) + "1",
         {},
         S::Up},
    };
    return All;
}

} // namespace

TEST(AlertRules, SequencesOfResults) {
    for (const TCase& C : Cases()) {
        SCOPED_TRACE(C.Name);
        TAlertTracker Tracker(C.Settings);
        EXPECT_EQ(Tracker.State(), S::Unknown);
        std::vector<TExpected> Seen;
        for (int I = 0; I < int(C.Results.size()); ++I) {
            const char R = C.Results[std::size_t(I)];
            const auto Change = Tracker.Add(R != '0', R == 's' ? 300 : (R == '1' ? 10 : -1));
            if (Change) {
                Seen.push_back({I, Change->From, Change->To, Change->Reason});
            }
        }
        ASSERT_EQ(Seen.size(), C.Changes.size());
        for (std::size_t I = 0; I < Seen.size(); ++I) {
            EXPECT_EQ(Seen[I].At, C.Changes[I].At) << "change " << I;
            EXPECT_EQ(Seen[I].From, C.Changes[I].From) << "change " << I;
            EXPECT_EQ(Seen[I].To, C.Changes[I].To) << "change " << I;
            EXPECT_EQ(Seen[I].Reason, C.Changes[I].Reason) << "change " << I;
        }
        EXPECT_EQ(Tracker.State(), C.Final);
    }
}

TEST(AlertRules, WindowFiguresFollowTheLastKResults) {
    TAlertTracker Tracker(With(3, 2, 4, 100));
    for (const int Rtt : {10, 20, 30, 40, 50}) {
        Tracker.Add(true, Rtt);
    }
    EXPECT_EQ(Tracker.WindowCount(), 4);
    EXPECT_DOUBLE_EQ(Tracker.AverageRoundTrip(), 35.0); // 20, 30, 40, 50
    Tracker.Add(false, -1);
    EXPECT_EQ(Tracker.WindowCount(), 4); // a run of failures joins when a reply ends it
    EXPECT_EQ(Tracker.FailRun(), 1);
    Tracker.Add(true, 60);
    EXPECT_DOUBLE_EQ(Tracker.LossPercent(), 25.0);
    EXPECT_DOUBLE_EQ(Tracker.AverageRoundTrip(), 50.0); // 40, 50, 60
}

TEST(AlertRules, ResetStartsQuietAgain) {
    TAlertTracker Tracker(With(1, 1, 1));
    Tracker.Add(true, 1);
    ASSERT_TRUE(Tracker.Add(false, -1));
    Tracker.Reset();
    EXPECT_EQ(Tracker.State(), S::Unknown);
    EXPECT_FALSE(Tracker.Add(true, 1)); // a fresh start is no recovery
    EXPECT_EQ(Tracker.State(), S::Up);
}

TEST(AlertRules, NewSettingsKeepTheStateAndCountAfresh) {
    TAlertTracker Tracker(With(3, 2));
    for (const char R : Clean + "00") {
        Tracker.Add(R == '1', 5);
    }
    Tracker.SetSettings(With(3, 2));
    EXPECT_EQ(Tracker.State(), S::Up);
    EXPECT_EQ(Tracker.WindowCount(), 20); // the same window size keeps its results
    EXPECT_FALSE(Tracker.Add(false, -1)); // the two failures before are forgotten
    EXPECT_FALSE(Tracker.Add(false, -1));
    EXPECT_TRUE(Tracker.Add(false, -1));
    EXPECT_EQ(Tracker.State(), S::Down);

    Tracker.SetSettings(With(3, 2, 10));
    EXPECT_EQ(Tracker.WindowCount(), 0); // another size starts it again
    EXPECT_EQ(Tracker.State(), S::Down);
}

TEST(AlertRules, SettingsAreMovedIntoTheirRanges) {
    struct TRow {
        TAlertSettings In;
        TAlertSettings Out;
    };
    const TRow Rows[] = {
        {With(0, 0, 0, -1, -5), With(1, 1, 1, 0, 0)},
        {With(11, 99, 5000, 150, 100000), With(10, 10, 1000, 100, 60000)},
        {With(3, 2, 20, 10, 250), With(3, 2, 20, 10, 250)},
    };
    for (const TRow& Row : Rows) {
        EXPECT_EQ(Row.In.Clamped(), Row.Out);
    }
}

TEST(AlertRules, SeverityOrdersTheStates) {
    EXPECT_LT(AlertSeverity(S::Unknown), AlertSeverity(S::Up));
    EXPECT_LT(AlertSeverity(S::Up), AlertSeverity(S::Degraded));
    EXPECT_LT(AlertSeverity(S::Degraded), AlertSeverity(S::Down));
    EXPECT_STREQ(AlertStateName(S::Degraded), "Degraded");
}

TEST(AlertRules, ReasonsInWords) {
    EXPECT_EQ(AlertReasonText(TAlertReason::Loss, 30, 12), "30 % loss");
    EXPECT_EQ(AlertReasonText(TAlertReason::RoundTrip, 30, 312), "average round trip 312 ms");
    EXPECT_EQ(AlertReasonText(TAlertReason::Flapping, 50, 1), "flapping");
    EXPECT_EQ(AlertReasonText(TAlertReason::None, 0, 0), "");
}

// Flapping weighs the changes between reply and failure over the last 21 results, the newest
// most (1.2) and the oldest least (0.8).
TEST(AlertRules, FlappingWeighsRecentChangesMore) {
    const auto Flap = [](const std::string& Results) {
        TAlertTracker Tracker;
        for (const char R : Results) {
            Tracker.Add(R == '1', 5);
        }
        return Tracker.FlapPercent();
    };
    EXPECT_DOUBLE_EQ(Flap(Repeat("10", 15)), 100.0);
    EXPECT_DOUBLE_EQ(Flap(Repeat("1", 30)), 0.0);
    // One change among the last 20: newest weighs 114 of 1900, oldest 76.
    EXPECT_DOUBLE_EQ(Flap(Repeat("1", 20) + "0"), 100.0 * 114 / 1900);
    EXPECT_DOUBLE_EQ(Flap("0" + Repeat("1", 20)), 100.0 * 76 / 1900);
    EXPECT_DOUBLE_EQ(Flap("0" + Repeat("1", 40)), 0.0); // older than 21 results: forgotten
}

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

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> All = {
        {"flapping stays quiet at N=3", With(3, 2), "1010101", {}, S::Up},
        {"three failures raise Down once", With(3, 2), "1000000", {{3, S::Up, S::Down}}, S::Down},
        {"two failures are not enough", With(3, 2), "1001001", {}, S::Up},
        {"a host that never answered is Down after N",
         With(3, 2),
         "00000",
         {{2, S::Unknown, S::Down}},
         S::Down},
        {"the first reply is quiet", With(3, 2), "1", {}, S::Up},
        {"recovery needs M consecutive replies",
         With(3, 2),
         "1000101"
         "1",
         {{3, S::Up, S::Down}, {7, S::Down, S::Up}},
         S::Up},
        {"33 % loss is Degraded once the window is full",
         With(3, 2),
         Repeat("110", 10),
         {{19, S::Up, S::Degraded}},
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
         {{6, S::Up, S::Degraded}},
         S::Degraded},
        {"latency off by default", With(3, 2, 5, 10, 0), "11111ssss", {}, S::Up},
        {"Degraded clears after M clear results",
         With(3, 2, 4, 10),
         "11110"
         "1111"
         "1",
         {{4, S::Up, S::Degraded}, {9, S::Degraded, S::Up}},
         S::Up},
        {"Degraded host going dark is Down",
         With(3, 2, 4, 10),
         "11110"
         "00",
         {{4, S::Up, S::Degraded}, {6, S::Degraded, S::Down}},
         S::Down},
        {"an outage is not counted again as loss after it",
         With(3, 2),
         Repeat("1", 20) + "000" + "11" + Repeat("1", 25),
         {{22, S::Up, S::Down}, {24, S::Down, S::Up}},
         S::Up},
        {"thresholds of 1 follow every result",
         With(1, 1),
         "1010",
         {{1, S::Up, S::Down}, {2, S::Down, S::Up}, {3, S::Up, S::Down}},
         S::Down},
        {"thresholds of 10",
         With(10, 10),
         "1" + Repeat("0", 10) + Repeat("1", 10),
         {{10, S::Up, S::Down}, {20, S::Down, S::Up}},
         S::Up},
        {"nine failures at N=10 are quiet", With(10, 10), "1" + Repeat("0", 9) + "1", {}, S::Up},
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
                Seen.push_back({I, Change->From, Change->To});
            }
        }
        ASSERT_EQ(Seen.size(), C.Changes.size());
        for (std::size_t I = 0; I < Seen.size(); ++I) {
            EXPECT_EQ(Seen[I].At, C.Changes[I].At) << "change " << I;
            EXPECT_EQ(Seen[I].From, C.Changes[I].From) << "change " << I;
            EXPECT_EQ(Seen[I].To, C.Changes[I].To) << "change " << I;
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
    EXPECT_DOUBLE_EQ(Tracker.LossPercent(), 25.0);
    EXPECT_DOUBLE_EQ(Tracker.AverageRoundTrip(), 40.0); // 30, 40, 50
}

TEST(AlertRules, ResetStartsQuietAgain) {
    TAlertTracker Tracker(With(1, 1));
    Tracker.Add(true, 1);
    ASSERT_TRUE(Tracker.Add(false, -1));
    Tracker.Reset();
    EXPECT_EQ(Tracker.State(), S::Unknown);
    EXPECT_FALSE(Tracker.Add(true, 1)); // a fresh start is no recovery
    EXPECT_EQ(Tracker.State(), S::Up);
}

TEST(AlertRules, NewSettingsKeepTheStateAndCountAfresh) {
    TAlertTracker Tracker(With(3, 2));
    for (const char R : std::string("100")) {
        Tracker.Add(R == '1', 5);
    }
    Tracker.SetSettings(With(3, 2));
    EXPECT_EQ(Tracker.State(), S::Up);
    EXPECT_FALSE(Tracker.Add(false, -1)); // the two failures before are forgotten
    EXPECT_EQ(Tracker.State(), S::Up);
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

// The compact sample list: what goes in comes out (within its stated limits), newest first,
// across runs of texts, removals and clock jumps.
#include "uPingSamples.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr TDateTime Noon = 46085.5;

TPingEvent Event(double SecondsAfterNoon, std::int32_t RoundTrip, TPingStatus Status = 0,
                 const std::string& Address = "127.0.0.1") {
    TPingEvent E;
    E.Time = Noon + SecondsAfterNoon / 86400.0;
    E.Success = Status == 0;
    E.RoundTrip = RoundTrip;
    E.Status = Status;
    E.Target = "localhost";
    E.IPAddress = Address;
    return E;
}

} // namespace

TEST(PingSamplesTest, KeepsEveryFieldOfAResultNewestFirst) {
    const struct {
        double Seconds;
        std::int32_t RoundTrip;
        TPingStatus Status;
        bool Success;
    } Cases[] = {
        {0, 0, 0, true},          {1, -1, 9, false},    {2.5, 4194303, 0, true},
        {3, -4194304, 19, false}, {-7200, 17, 0, true}, // older than the first, still fine
        {0.001, 255, 255, false},
    };
    TPingSamples Samples;
    for (const auto& C : Cases) {
        TPingEvent E = Event(C.Seconds, C.RoundTrip, C.Status);
        E.Success = C.Success;
        Samples.PushFront(E);
    }
    ASSERT_EQ(Samples.size(), std::size(Cases));
    for (std::size_t I = 0; I < std::size(Cases); ++I) {
        const auto& C = Cases[std::size(Cases) - 1 - I];
        SCOPED_TRACE(I);
        const TPingEventObj S = Samples[I];
        EXPECT_NEAR(S.Time, Noon + C.Seconds / 86400.0, 1e-11);
        EXPECT_EQ(S.RoundTrip, C.RoundTrip);
        EXPECT_EQ(S.Status, C.Status);
        EXPECT_EQ(S.Success, C.Success);
        EXPECT_EQ(S.Target(), "localhost");
        EXPECT_EQ(S.IPAddress(), "127.0.0.1");
    }
    // Millisecond offsets are exact.
    EXPECT_EQ(Samples[0].Ms - Samples[1].Ms, 7200001);
}

TEST(PingSamplesTest, RoundTripsBeyondSeventyMinutesAreHeldAtTheLimit) {
    TPingSamples Samples;
    Samples.PushFront(Event(0, 5000000));
    Samples.PushFront(Event(1, -5000000));
    EXPECT_EQ(Samples[1].RoundTrip, TPingSamples::MaxRoundTrip);
    EXPECT_EQ(Samples[0].RoundTrip, TPingSamples::MinRoundTrip);
}

TEST(PingSamplesTest, TheNewestResultCanBeFailedKeepingItsRoundTrip) {
    TPingSamples Samples;
    Samples.PushFront(Event(0, 120));
    Samples.SetFrontResult(false, 9);
    EXPECT_FALSE(Samples[0].Success);
    EXPECT_EQ(Samples[0].Status, 9);
    EXPECT_EQ(Samples[0].RoundTrip, 120);
}

// Texts change with the address; every sample keeps its own after removals anywhere.
TEST(PingSamplesTest, TextsFollowTheirSamplesThroughRemovals) {
    TPingSamples Samples;
    const char* Addresses[] = {"a", "a", "b", "b", "b", "a", "c", "c"}; // oldest first
    for (int I = 0; I < 8; ++I)
        Samples.PushFront(Event(I, I, 0, Addresses[I]));
    // Remove the odd round trips: 7, 5, 3, 1.
    EXPECT_EQ(Samples.RemoveIf([](const TPingEventObj& S) { return S.RoundTrip % 2 == 1; }), 4u);
    std::vector<std::string> Kept;
    for (const TPingEventObj& S : Samples)
        Kept.push_back(std::to_string(S.RoundTrip) + S.IPAddress());
    EXPECT_EQ(Kept, (std::vector<std::string>{"6c", "4b", "2b", "0a"}));
    Samples.PushFront(Event(9, 9, 0, "c"));
    EXPECT_EQ(Samples[0].IPAddress(), "c");
    EXPECT_EQ(Samples[1].IPAddress(), "c");
    Samples.Clear();
    EXPECT_TRUE(Samples.empty());
    Samples.PushFront(Event(0, 1, 0, "d"));
    EXPECT_EQ(Samples[0].IPAddress(), "d");
}

// A clock set a year ahead: the new sample is exact, the old ones stay far in the past.
TEST(PingSamplesTest, AClockJumpBeyondTheOffsetRangeKeepsOrderAndAge) {
    TPingSamples Samples;
    Samples.PushFront(Event(0, 1));
    Samples.PushFront(Event(1, 2));
    const double Year = 365.0 * 86400;
    Samples.PushFront(Event(Year, 3));
    EXPECT_NEAR(Samples[0].Time, Noon + Year / 86400.0, 1e-9);
    EXPECT_EQ(Samples[0].RoundTrip, 3);
    EXPECT_EQ(Samples[2].RoundTrip, 1);
    for (std::size_t I = 1; I < 3; ++I) {
        EXPECT_LT(Samples[I].Time, Samples[0].Time - 24.0); // more than 24 days older
        EXPECT_GT(MillisecondsBetween(Samples[I].Time, Samples[0].Time) / 60000, 481);
    }
}

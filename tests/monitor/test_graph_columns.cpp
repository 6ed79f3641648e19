// Long spans are drawn from summaries of the samples in each column and the statistics are
// read from summaries of runs of samples. Both must give what the sample-by-sample rules give:
// a graph refreshed result after result is compared pixel for pixel with a fresh graph that
// draws every sample, and the statistics with a walk over every sample written from the rules.
#include "monitor_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// The statistics as the rules walk them: every sample up to the first success older than the
// span, then over failures up to and including the next success; failures right after a gap
// count as nothing.
TGraphStats WalkStats(const TPingSamples& Samples, std::int32_t Span, TDateTime Now) {
    const TDateTime SpanStart = Now - Span / 86400.0;
    TGraphStats Stats;
    long long Sum = 0, Good = 0, Seen = 0;
    bool Beyond = false;
    for (std::size_t K = 0; K < Samples.size(); ++K) {
        const TPingEventObj S = Samples[K];
        if (!S.Success) {
            Seen += S.AfterGap ? 0 : 1;
            continue;
        }
        ++Seen;
        ++Good;
        Sum += S.RoundTrip;
        Stats.Max = std::max(Stats.Max, S.RoundTrip);
        Stats.Min = std::min(Stats.Min, S.RoundTrip);
        if (Beyond)
            break;
        Beyond = S.Time < SpanStart;
    }
    if (Good > 0)
        Stats.Avg = double(Sum) / double(Good);
    if (Seen > 0)
        Stats.Uptime = double(Good) / double(Seen) * 100;
    return Stats;
}

void ExpectSameStats(const TGraphStats& Got, const TGraphStats& Want, const char* Where) {
    EXPECT_EQ(Got.Max, Want.Max) << Where;
    EXPECT_EQ(Got.Min, Want.Min) << Where;
    EXPECT_EQ(Got.Avg, Want.Avg) << Where;
    EXPECT_EQ(Got.Uptime, Want.Uptime) << Where;
}

// Pixel for pixel over the device pixels; reports the first few differences.
void ExpectSamePicture(const TRaster& Got, const TRaster& Want, const std::string& Where) {
    ASSERT_EQ(Got.Image().size(), Want.Image().size()) << Where;
    int Wrong = 0;
    for (int Y = 0; Y < Want.Image().height(); ++Y) {
        for (int X = 0; X < Want.Image().width(); ++X) {
            if (Got.DevicePixel(X, Y) != Want.DevicePixel(X, Y) && ++Wrong <= 5) {
                ADD_FAILURE() << Where << ": device pixel (" << X << ", " << Y << ") is 0x"
                              << std::hex << Got.DevicePixel(X, Y) << ", full draw 0x"
                              << Want.DevicePixel(X, Y);
            }
        }
    }
    EXPECT_EQ(Wrong, 0) << Where;
}

struct TCase {
    const char* Name;
    int Scale;
    int Width, Height;
    std::int32_t Span;
    int FailEvery;   // one failure in this many results (0: none)
    int GapEvery;    // a sleep of the machine every this many results (0: none)
    int OverEvery;   // a round trip above every range in this many results (0: none)
    int JitterMs;    // results arrive up to this much late
    int ClockBackAt; // the clock is set back by a minute before this result (0: never)
};

class GraphColumns : public ::testing::TestWithParam<TCase> {};

// Results are added one at a time and the graph refreshed after each as the monitor does it
// (partially, with a full redraw whenever the range changes); at checkpoints the picture is
// compared with a fresh graph drawing every sample. The range is switched between fixed values
// and automatic along the way, the graph is resized and its span changed, replies too slow for
// the timeout are failed after they were recorded, and the oldest samples are removed now and
// then. For a stretch of consecutive results every refresh is compared, and everything that
// changed on the picture must lie in the rectangle the graph reports as changed (all that the
// window repaints).
TEST_P(GraphColumns, RefreshedPictureEqualsFullSampleBySampleDraw) {
    const TCase C = GetParam();
    std::mt19937 Random(20261211u + unsigned(C.Span) + unsigned(C.Scale));
    FakeClock Clock;
    TPingSamples Samples;
    TPingerGraph Graph;
    int Width = C.Width, Height = C.Height;
    std::int32_t Span = C.Span;
    Graph.SetSize(Width, Height);
    Graph.SetDevicePixelRatio(C.Scale);
    const std::int32_t Ranges[] = {TPingerGraph::AutoRange, 100, 50, TPingerGraph::AutoRange, 250};
    const int Results = 5000;
    const int Checkpoints = 5;
    const int ResizeAt = 3100, SpanAt = 3900;
    auto Stretch = [&](int I) {
        return (I > 2400 && I <= 2460) || (I > ResizeAt && I <= ResizeAt + 30) ||
               (I > SpanAt && I <= SpanAt + 30);
    };
    std::int32_t Range = Ranges[0];
    Graph.Refresh({&Samples, Span, Range, false, "", Clock.Now()}, true, nullptr);
    for (int I = 1; I <= Results; ++I) {
        Clock.Advance(C.JitterMs > 0 ? 1000 + int(Random() % unsigned(C.JitterMs)) : 1000);
        if (C.ClockBackAt > 0 && I == C.ClockBackAt) {
            Clock.ShiftWallClock(-60000);
        }
        const bool Fails = C.FailEvery > 0 && Random() % unsigned(C.FailEvery) == 0;
        const bool Over = C.OverEvery > 0 && Random() % unsigned(C.OverEvery) == 0;
        const int Trip = Over ? 6000 : 20 + int(Random() % 40) + (I / 997 % 3) * 30;
        TPingEventObj Sample = Samples.PushFront(MakeResult(Clock, 0, Fails ? -1 : Trip));
        if (C.FailEvery > 0 && !Fails && Random() % unsigned(C.FailEvery) == 0) {
            Samples.SetFrontResult(false, PING_STATUS_REQ_TIMED_OUT); // slower than the timeout
            Sample = Samples[0];
        }
        if (C.GapEvery > 0 && I % C.GapEvery == 0) {
            Samples.MarkFrontAfterGap();
        }
        if (I % 600 == 0 || I % 7 == 0) { // a minute and a half, or the oldest alone
            const TDateTime Oldest = Samples[Samples.size() - 1].Time;
            const TDateTime Until = Oldest + (I % 600 == 0 ? 90 / 86400.0 : 0);
            Samples.RemoveIf([&](const TPingEventObj& S) { return S.Time <= Until; });
        }
        const bool Checkpoint = I % (Results / Checkpoints) == 0;
        bool Full = false;
        if (Checkpoint) {
            Range = Ranges[(I / (Results / Checkpoints)) % std::size(Ranges)];
            Full = true;
        }
        if (I == ResizeAt) {
            Width += 7;
            Height += 3;
            Graph.SetSize(Width, Height);
            Full = true;
        }
        if (I == SpanAt) {
            Span = Span == 60 ? 300 : Span / 2;
            Full = true;
        }
        const TPingerGraph::TInput In{&Samples, Span, Range, !Fails, "127.0.0.1", Clock.Now()};
        const bool Compared = Checkpoint || I % 777 == 0 || Stretch(I);
        const TRaster Before = Compared ? Graph.Composed() : TRaster();
        Graph.Refresh(In, Full, &Sample);
        if (!Compared) {
            continue;
        }
        TPingerGraph Fresh;
        Fresh.SetDrawByColumns(false);
        Fresh.SetSize(Width, Height);
        Fresh.SetDevicePixelRatio(C.Scale);
        Fresh.Refresh(In, true, &Sample);
        const std::string Where = std::string(C.Name) + " after " + std::to_string(I) +
                                  " results, range " + std::to_string(Graph.DisplayRange());
        ExpectSameStats(Graph.Stats(), WalkStats(Samples, Span, Clock.Now()), Where.c_str());
        ExpectSamePicture(Graph.Composed(), Fresh.Composed(), Where);
        if (Before.Image().size() != Graph.Composed().Image().size()) {
            EXPECT_EQ(Graph.LastChange(), TPingerGraph::TChange::Whole) << Where;
            continue;
        }
        const QRect Changed = Graph.ChangedRect();
        const QRect Device(Changed.topLeft() * C.Scale, Changed.size() * C.Scale);
        int Outside = 0;
        for (int Y = 0; Y < Before.Image().height(); ++Y) {
            for (int X = 0; X < Before.Image().width(); ++X) {
                if (Before.DevicePixel(X, Y) != Graph.Composed().DevicePixel(X, Y) &&
                    !Device.contains(X, Y) && ++Outside <= 3) {
                    ADD_FAILURE() << Where << ": device pixel (" << X << ", " << Y
                                  << ") changed outside the changed rectangle";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spans, GraphColumns,
    ::testing::Values(
        TCase{"8h tile", 1, 240, 152, 28800, 0, 0, 0, 0, 0},
        TCase{"8h tile scale 2", 2, 240, 152, 28800, 0, 0, 0, 0, 0},
        TCase{"8h panel, failures, gaps, over range", 1, 800, 560, 28800, 40, 2500, 300, 0, 0},
        TCase{"2h, failures and gaps at scale 2", 2, 300, 200, 7200, 15, 900, 0, 0, 0},
        TCase{"1h, late results", 1, 240, 152, 3600, 60, 0, 500, 700, 0},
        TCase{"4h, clock set back", 1, 240, 152, 14400, 50, 0, 0, 300, 3000},
        TCase{"1 min", 2, 240, 152, 60, 10, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<TCase>& Info) {
        std::string Name = Info.param.Name;
        for (char& Ch : Name)
            if (!std::isalnum(static_cast<unsigned char>(Ch)))
                Ch = '_';
        return Name;
    });

// The summaries follow every change of the list: a changed newest result, a gap mark, and the
// removal of old samples.
TEST(SampleSummaries, FollowChangesOfTheList) {
    FakeClock Clock;
    TPingSamples Samples;
    std::mt19937 Random(7);
    auto Check = [&](const char* Where) {
        for (const std::int32_t Span : {60, 3600, 28800}) {
            ExpectSameStats(TPingerGraph::ComputeStats(Samples, Span, Clock.Now()),
                            WalkStats(Samples, Span, Clock.Now()), Where);
        }
        for (std::size_t First : {std::size_t(0), std::size_t(17), Samples.size() / 3}) {
            const std::size_t Last = Samples.size() - 1 - First / 2;
            TSampleRun Want;
            for (std::size_t K = First; K <= Last; ++K) {
                const TPingEventObj S = Samples[K];
                Want.Seen += (S.Success || !S.AfterGap) ? 1 : 0;
                Want.Plain = Want.Plain && S.Success && !S.AfterGap;
                if (S.Success) {
                    ++Want.Good;
                    Want.Sum += S.RoundTrip;
                    Want.MinTrip = std::min(Want.MinTrip, S.RoundTrip);
                    Want.MaxTrip = std::max(Want.MaxTrip, S.RoundTrip);
                }
            }
            const TSampleRun Got = Samples.Summary(First, Last);
            EXPECT_EQ(Got.Good, Want.Good) << Where;
            EXPECT_EQ(Got.Seen, Want.Seen) << Where;
            EXPECT_EQ(Got.Sum, Want.Sum) << Where;
            EXPECT_EQ(Got.MinTrip, Want.MinTrip) << Where;
            EXPECT_EQ(Got.MaxTrip, Want.MaxTrip) << Where;
            EXPECT_EQ(Got.Plain, Want.Plain) << Where;
        }
    };
    for (int I = 0; I < 9000; ++I) {
        Clock.Advance(1000);
        Samples.PushFront(MakeResult(Clock, 0, Random() % 7 == 0 ? -1 : int(Random() % 90)));
        if (I % 1000 == 999) {
            Samples.SetFrontResult(false, PING_STATUS_REQ_TIMED_OUT); // a reply too slow
            Samples.MarkFrontAfterGap();
        }
    }
    Check("after filling");
    Samples.RemoveIf([&](const TPingEventObj& S) {
        return MillisecondsBetween(S.Time, Clock.Now()) > 5000 * 1000LL;
    });
    Check("after removing the oldest");
    Samples.RemoveIf([&](const TPingEventObj& S) { return S.RoundTrip == 42; });
    Check("after removing from the middle");
    EXPECT_TRUE(Samples.Ordered());
    Clock.ShiftWallClock(-30000);
    Samples.PushFront(MakeResult(Clock, 0, 5));
    EXPECT_FALSE(Samples.Ordered());
    Check("after the clock went back");
    Samples.Clear();
    EXPECT_TRUE(Samples.Ordered());
    EXPECT_EQ(TPingerGraph::ComputeStats(Samples, 60, Clock.Now()).Min, TGraphStats::MinNone);
}

} // namespace

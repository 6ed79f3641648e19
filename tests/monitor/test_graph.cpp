// The graph renderer, checked pixel by pixel against the geometry computed here from the
// drawing rules: a 165 x 148 graph area gives a 100 x 100 plot raster, and with span 100 s and
// range 100 ms one pixel is one second across and one millisecond up.
#include "monitor_test_support.h"
#include "zsFonts.h"

#include <QFontDatabase>
#include <QFontInfo>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <initializer_list>
#include <vector>

namespace {

constexpr TRasterColor FillOnLine = 0xFF000000;
constexpr TRasterColor FillOffLine = 0xFF080000;
constexpr TRasterColor BorderOnLine = 0xFF006000;
constexpr TRasterColor BorderOffLine = 0xFFC00000;
constexpr TRasterColor Frame = 0xFF406080;
constexpr TRasterColor MinLine = 0x000080FF;
constexpr TRasterColor MaxLine = 0xFFB00000;
constexpr TRasterColor AvgLine = 0xFFA0A000;
constexpr TRasterColor Green = 0xFF20FF10;
constexpr TRasterColor Red = 0xFFFF4010;
constexpr TRasterColor OverRange = 0xFFA0FF00;

int Round(double V) {
    return static_cast<int>(std::nearbyint(V));
}

// A picture of the plot raster as the rules say it should be.
struct TPicture {
    int W, H;
    std::vector<TRasterColor> Px;
    TPicture(int W_, int H_, TRasterColor Fill) : W(W_), H(H_), Px(size_t(W_ * H_), Fill) {}
    void Put(int X, int Y, TRasterColor C) {
        if (X >= 0 && Y >= 0 && X < W && Y < H)
            Px[size_t(Y * W + X)] = C;
    }
    void Row(int Y, TRasterColor C) {
        for (int X = 0; X < W; ++X)
            Put(X, Y, C);
    }
    void Column(int X, TRasterColor C) {
        for (int Y = 0; Y < H; ++Y)
            Put(X, Y, C);
    }
    // A 45-degree or axis-aligned segment, end point left out.
    void Segment(int X0, int Y0, int X1, int Y1, TRasterColor C) {
        const int N = std::max(std::abs(X1 - X0), std::abs(Y1 - Y0));
        const int SX = (X1 > X0) - (X1 < X0), SY = (Y1 > Y0) - (Y1 < Y0);
        for (int I = 0; I < N; ++I)
            Put(X0 + SX * I, Y0 + SY * I, C);
    }
    // The background's share of the plot: fill, four value grid rows, D - 1 time grid columns.
    static TPicture Background(int W, int H, TRasterColor Fill, int Divisions) {
        TPicture P(W, H, Fill);
        for (int I = 1; I <= 4; ++I)
            P.Row(Round(I * (H / 5.0)), Frame);
        for (int J = 1; J < Divisions; ++J)
            P.Column(Round(J * (double(W) / Divisions)), Frame);
        return P;
    }
};

// Compares the columns [X0, X1) of every row.
void ExpectPlot(const TRaster& Got, const TPicture& Want, int X0 = 0, int X1 = -1) {
    ASSERT_EQ(Got.Width(), Want.W);
    ASSERT_EQ(Got.Height(), Want.H);
    if (X1 < 0)
        X1 = Want.W;
    int Wrong = 0;
    for (int Y = 0; Y < Want.H; ++Y) {
        for (int X = X0; X < X1; ++X) {
            const TRasterColor G = Got.Pixel(X, Y), E = Want.Px[size_t(Y * Want.W + X)];
            if (G != E && ++Wrong <= 8) {
                ADD_FAILURE() << "pixel (" << X << ", " << Y << "): got " << std::hex << G
                              << ", want " << E;
            }
        }
    }
    EXPECT_EQ(Wrong, 0);
}

class GraphTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TPingerSession S{Clock};

    void SetUp() override {
        S.SetTimeOutMS(1000000);
        S.SetGraphAreaSize(165, 148);
        S.SetSpan(100);
        S.SetRange(100);
    }
    // Newest first, as the samples list holds them.
    void Feed(std::initializer_list<TAgedResult> NewestFirst) {
        std::vector<TAgedResult> All(NewestFirst);
        for (auto It = All.rbegin(); It != All.rend(); ++It) {
            TPingEvent E = MakeResult(*Clock, It->AgeSeconds, It->RoundTrip);
            E.SleptMs = It->SleptMs;
            S.PingDone(E);
        }
    }
    TPicture Background() {
        return TPicture::Background(100, 100, S.OnLine() ? FillOnLine : FillOffLine, 6);
    }
};

} // namespace

TEST_F(GraphTest, NoSamplesDrawOnlyTheHighAndAverageLinesOnTheBottomRow) {
    ASSERT_EQ(S.Graph().Plot().Width(), 100);
    EXPECT_EQ(S.Max(), 0);
    EXPECT_EQ(S.Min(), 16777215);
    TPicture Want = Background();
    Want.Row(99, AvgLine); // the high line lies under it
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 0.0%"));
    EXPECT_TRUE(S.StatusText().isEmpty());
}

TEST_F(GraphTest, OneSampleDrawsNoSegment) {
    Feed({{0, 30}});
    TPicture Want = Background();
    Want.Row(69, AvgLine);
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.StatusText(), QStringLiteral("Round trip : 30 ms"));
    EXPECT_EQ(S.StatusColor(), 0x0000C000u);
    EXPECT_EQ(S.HeaderColor(), 0x0000C000u); // the result's colour, after the redraw

    S.RefreshDisplay();
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.ComposedBitmap().Pixel(0, 0), BorderOnLine);
    EXPECT_EQ(S.HeaderColor(), 0x00FFFFFFu); // a full redraw without a result: by the state
    EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 100.0%"));
}

TEST_F(GraphTest, SwitchingDrawingBackOnBringsGraphAndStatusLineUpToDate) {
    S.SetDrawEnabled(false);
    Feed({{0, 30}});
    TPicture Want = TPicture::Background(100, 100, FillOffLine, 6);
    Want.Row(99, AvgLine); // drawn before the result
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_TRUE(S.StatusText().isEmpty());
    EXPECT_EQ(S.Avg(), 30); // the statistics still follow

    S.SetDrawEnabled(true);
    Want = TPicture::Background(100, 100, FillOnLine, 6);
    Want.Row(69, AvgLine);
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.ComposedBitmap().Pixel(0, 0), BorderOnLine);
    EXPECT_EQ(S.StatusText(), QStringLiteral("Round trip : 30 ms"));
    EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 100.0%"));
}

TEST_F(GraphTest, ARoundTripEqualToTheRangeIsDrawnOnTheTopRowInTheOverRangeColour) {
    Feed({{0, 100}, {10, 100}});
    S.RefreshDisplay();
    TPicture Want = Background(); // all three statistic lines lie one row above the raster
    Want.Segment(99, 0, 89, 0, OverRange);
    ExpectPlot(S.Graph().Plot(), Want);
}

TEST_F(GraphTest, FailuresBetweenTwoSuccessesAreBridgedByOneRedSegment) {
    Feed({{0, 20}, {1, -1}, {2, -1}, {3, 20}});
    S.RefreshDisplay();
    TPicture Want = Background();
    Want.Row(79, AvgLine);
    Want.Segment(99, 79, 96, 79, Red);
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.UpTimeText(), QStringLiteral("Uptime: 50.0%"));
}

TEST_F(GraphTest, FailedNewestAndOldestSamplesSitAtTheRoundedAverage) {
    Feed({{0, -1}, {10, 30}, {30, 50}, {40, -1}});
    EXPECT_EQ(S.StatusText(), QStringLiteral("REQ_TIMED_OUT"));
    EXPECT_EQ(S.StatusColor(), 0x000020D0u);
    S.RefreshDisplay();
    ASSERT_DOUBLE_EQ(S.Avg(), 40);
    TPicture Want = Background();
    Want.Row(69, MinLine);
    Want.Row(49, MaxLine);
    Want.Row(59, AvgLine);
    Want.Segment(99, 59, 89, 69, Red);   // from the failed newest into the first success
    Want.Segment(89, 69, 69, 49, Green); // success into success
    Want.Segment(69, 49, 59, 59, Red);   // into the failed oldest
    ExpectPlot(S.Graph().Plot(), Want);
    EXPECT_EQ(S.Graph().Plot().Pixel(0, 69), MinLine); // written with its alpha byte of 0
    EXPECT_EQ(S.ComposedBitmap().Pixel(0, 0), BorderOffLine);
    EXPECT_EQ(S.ComposedBitmap().Pixel(55, 50), FillOffLine);
}

// The machine slept between 70 s and 30 s ago: nothing joins the two sides, and the request
// the sleep cut off is neither drawn nor counted as a failure. A short sleep (under a second)
// is no gap.
TEST_F(GraphTest, NothingIsDrawnAcrossASleepOfTheMachine) {
    struct Case {
        const char* Name;
        std::vector<TAgedResult> NewestFirst;
        std::vector<std::array<int, 5>> Segments; // x0, y0, x1, y1, colour index
        int AvgRow;
        const char* Uptime;
    };
    const TRasterColor Colours[] = {Green, Red};
    const Case Cases[] = {
        {"results on both sides",
         {{0, 40}, {10, 40}, {20, 40}, {30, -1, 40000}, {70, 20}, {80, 20}, {90, 20}},
         {{99, 59, 89, 59, 0}, {89, 59, 79, 59, 0}, {29, 79, 19, 79, 0}, {19, 79, 9, 79, 0}},
         69,
         "Uptime: 100.0%"},
        {"a success first after the sleep",
         {{0, 40}, {30, 40, 40000}, {70, 20}, {80, 20}},
         {{99, 59, 69, 59, 0}, {29, 79, 19, 79, 0}},
         69,
         "Uptime: 100.0%"},
        {"nothing yet but the cut-off request",
         {{0, -1, 3600000}, {40, 20}, {50, 20}},
         {{59, 79, 49, 79, 0}},
         79,
         "Uptime: 100.0%"},
        {"failures on the older side end there",
         {{0, 40}, {30, -1, 40000}, {70, -1}, {75, -1}, {80, 20}, {90, 20}},
         {{19, 79, 9, 79, 0}},
         72,
         "Uptime: 60.0%"},
        {"a pause under a second is no gap",
         {{0, 20}, {30, -1, 999}, {70, 20}},
         {{99, 79, 29, 79, 1}},
         79,
         "Uptime: 66.7%"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        S.StopMonitor(); // forgets the samples
        for (auto It = C.NewestFirst.rbegin(); It != C.NewestFirst.rend(); ++It) {
            TPingEvent E = MakeResult(*Clock, It->AgeSeconds, It->RoundTrip);
            E.SleptMs = It->SleptMs;
            S.PingDone(E);
        }
        S.RefreshDisplay();
        TPicture Want = Background();
        Want.Row(79, MinLine);
        Want.Row(S.Max() == 40 ? 59 : 79, MaxLine);
        Want.Row(C.AvgRow, AvgLine);
        for (const auto& G : C.Segments)
            Want.Segment(G[0], G[1], G[2], G[3], Colours[G[4]]);
        ExpectPlot(S.Graph().Plot(), Want);
        EXPECT_EQ(S.UpTimeText(), QString::fromLatin1(C.Uptime));
    }
}

TEST_F(GraphTest, TheLowHighAndAverageLinesSpanTheWholePlotWidth) {
    Feed({{0, 10}, {5, 60}, {10, 20}});
    S.RefreshDisplay();
    TPicture Want = Background();
    Want.Row(89, MinLine);
    Want.Row(39, MaxLine);
    Want.Row(69, AvgLine);
    ExpectPlot(S.Graph().Plot(), Want, 0, 89); // the polyline lies right of column 88
}

TEST_F(GraphTest, ASampleOneSpanOlderLandsLeftOfThePlotAndEndsTheWalk) {
    Feed({{0, 50}, {100, 50}, {150, 10}});
    S.RefreshDisplay();
    // The statistics walk counts the first success older than the span start and the next one,
    // so the average takes in the 10 ms sample: (50 + 50 + 10) / 3.
    ASSERT_NEAR(S.Avg(), 110.0 / 3, 1e-9);
    TPicture Want = Background();
    Want.Row(89, MinLine);
    Want.Row(49, MaxLine);
    Want.Row(99 - Round(110.0 / 3), AvgLine);
    Want.Segment(99, 49, -1, 49, Green);
    ExpectPlot(S.Graph().Plot(), Want);
}

TEST_F(GraphTest, TheDesignGeometryPlacesFrameAndGridLinesByTheRules) {
    S.SetGraphAreaSize(250, 144);
    S.SetSpan(60);
    S.RefreshDisplay();
    EXPECT_EQ(S.Graph().PlotRect().Left, 50);
    EXPECT_EQ(S.Graph().PlotRect().Top, 18);
    EXPECT_EQ(S.Graph().PlotRect().Right, 235);
    EXPECT_EQ(S.Graph().PlotRect().Bottom, 114);
    EXPECT_EQ(S.Graph().Plot().Width(), 185);
    EXPECT_EQ(S.Graph().Plot().Height(), 96);
    const TRaster& C = S.ComposedBitmap();
    ASSERT_EQ(C.Width(), 250);
    ASSERT_EQ(C.Height(), 144);
    for (int X = 0; X < 250; ++X) {
        SCOPED_TRACE(X);
        ASSERT_EQ(C.Pixel(X, 0), BorderOffLine);
        ASSERT_EQ(C.Pixel(X, 143), BorderOffLine);
    }
    for (int Y = 0; Y < 144; ++Y) {
        SCOPED_TRACE(Y);
        ASSERT_EQ(C.Pixel(0, Y), BorderOffLine);
        ASSERT_EQ(C.Pixel(249, Y), BorderOffLine);
    }
    // The frame, one pixel outside the plot area.
    for (int X = 49; X <= 235; ++X) {
        SCOPED_TRACE(X);
        ASSERT_EQ(C.Pixel(X, 17), Frame);
        ASSERT_EQ(C.Pixel(X, 114), Frame);
    }
    for (int Y = 17; Y <= 114; ++Y) {
        SCOPED_TRACE(Y);
        ASSERT_EQ(C.Pixel(49, Y), Frame);
        ASSERT_EQ(C.Pixel(235, Y), Frame);
    }
    // Value grid rows at 18 + Round(i * 96 / 5); time grid columns at 50 + Round(j * 185 / 6),
    // where 92.5 rounds to 92.
    for (const int Y : {37, 56, 76, 95})
        for (int X = 50; X < 235; ++X)
            ASSERT_EQ(C.Pixel(X, Y), Frame) << X << ", " << Y;
    for (const int X : {81, 112, 142, 173, 204})
        for (int Y = 18; Y < 113; ++Y)
            ASSERT_EQ(C.Pixel(X, Y), Frame) << X << ", " << Y;
    EXPECT_EQ(C.Pixel(143, 50), FillOffLine);
    EXPECT_EQ(C.Pixel(100, 113), AvgLine); // no samples: the average on the bottom plot row
}

TEST_F(GraphTest, GraphAreasTooSmallForAPlotDrawNoPlot) {
    const struct {
        int W, H, PlotW, PlotH;
    } Cases[] = {{0, 0, 0, 0}, {60, 40, 0, 0}, {65, 48, 0, 0}, {66, 49, 1, 1}, {65, 200, 0, 152}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.W << " x " << C.H);
        S.SetGraphAreaSize(C.W, C.H);
        S.RefreshDisplay();
        Feed({{0, 20}, {1, 30}});
        EXPECT_EQ(S.ComposedBitmap().Width(), C.W);
        EXPECT_EQ(S.ComposedBitmap().Height(), C.H);
        EXPECT_EQ(S.Graph().Plot().Width(), C.PlotW);
        EXPECT_EQ(S.Graph().Plot().Height(), C.PlotH);
    }
}

TEST_F(GraphTest, ZeroRangeOrSpanDrawsTheStatisticLinesButNoPolyline) {
    Feed({{0, 20}, {10, 20}});
    for (const auto& [Span, Range] : {std::pair{0, 100}, std::pair{100, 0}}) {
        SCOPED_TRACE(testing::Message() << Span << " / " << Range);
        S.SetSpan(Span);
        S.SetRange(Range);
        // With span 0 the lines sit on row 79; with range 0 every row is off the raster.
        TPicture Want = TPicture::Background(100, 100, FillOnLine, 6);
        if (Range != 0)
            Want.Row(79, AvgLine);
        ExpectPlot(S.Graph().Plot(), Want);
    }
}

TEST(GraphLabelsTest, AxisLabelsForEverySpanAndARange) {
    const struct {
        int Span;
        const char* Labels;
    } Cases[] = {
        {60, "60s 50s 40s 30s 20s 10s 0s"},
        {300, "5m 4m 3m 2m 1m 0m"},
        {600, "10m 8m 6m 4m 2m 0m"},
        {1800, "30m 25m 20m 15m 10m 5m 0m"},
        {3600, "60m 50m 40m 30m 20m 10m 0m"},
        {7200, "120m 90m 60m 30m 0m"},
        {14400, "4h 3h 2h 1h 0h"},
        {28800, "8h 7h 6h 5h 4h 3h 2h 1h 0h"},
        {100, "100s 84s 68s 52s 36s 20s 4s"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Span);
        EXPECT_EQ(TPingerGraph::TimeAxisLabels(C.Span).join(QLatin1Char(' ')),
                  QString::fromLatin1(C.Labels));
    }
    EXPECT_EQ(TPingerGraph::ValueAxisLabels(250).join(QLatin1Char(' ')),
              QStringLiteral("250ms 200ms 150ms 100ms 50ms 0ms"));
    EXPECT_EQ(TPingerGraph::UnitSuffix(0), QStringLiteral("ms"));
    EXPECT_EQ(TPingerGraph::UnitSuffix(3), QStringLiteral("h"));
}

// "5000ms" is the widest value label; with the design font's metrics it ends 6 pixels left of
// the plot area and starts clear of the outer border. A wider font may not push it over.
TEST(GraphLabelsTest, LabelsKeepClearOfTheOuterBorderAtTheWidestRange) {
    TPingerSession S(std::make_shared<FakeClock>());
    S.SetRange(5000);
    for (const int Span : {60, 7200, 28800}) {
        SCOPED_TRACE(Span);
        S.SetSpan(Span);
        const TRaster& C = S.ComposedBitmap();
        ASSERT_EQ(C.Width(), 250);
        const int W = C.Width(), H = C.Height();
        // The border ring, then the ring inside it: border colour, then fill, all round.
        for (int Ring = 0; Ring < 2; ++Ring) {
            const TRasterColor Want = Ring == 0 ? BorderOffLine : FillOffLine;
            for (int X = Ring; X < W - Ring; ++X) {
                ASSERT_EQ(C.Pixel(X, Ring), Want) << X;
                ASSERT_EQ(C.Pixel(X, H - 1 - Ring), Want) << X;
            }
            for (int Y = Ring; Y < H - Ring; ++Y) {
                ASSERT_EQ(C.Pixel(Ring, Y), Want) << Y;
                ASSERT_EQ(C.Pixel(W - 1 - Ring, Y), Want) << Y;
            }
        }
        // The labels are there: the top one ("5000ms") inks the strip left of the frame.
        int Inked = 0;
        for (int Y = 10; Y < 26; ++Y)
            for (int X = 2; X < 49; ++X)
                Inked += C.Pixel(X, Y) != FillOffLine;
        EXPECT_GT(Inked, 20);
    }
}

// The design font, else the first installed of its fallbacks.
TEST(GraphFontTest, SegoeUiOrTheNearestInstalledFallback) {
    const QStringList Installed = QFontDatabase::families();
    QString Want;
    for (const QString& Family : DesignFontFamilies(QStringLiteral("Segoe UI")))
        if (Want.isEmpty() && Installed.contains(Family))
            Want = Family;
    if (Want.isEmpty())
        GTEST_SKIP() << "none of the fonts is installed";
    EXPECT_EQ(QFontInfo(GraphFont()).family(), Want);
    EXPECT_EQ(GraphFont().pointSize(), 8);
}

TEST(GraphAutoRangeTest, TheFirstStepAtOrAboveTheHighestRoundTrip) {
    const struct {
        int Max, Range;
    } Cases[] = {{0, 5},     {5, 5},     {10, 10},     {11, 25},
                 {250, 250}, {251, 500}, {5000, 5000}, {5001, 5000}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Max);
        EXPECT_EQ(TPingerGraph::ChooseAutoRange(C.Max), C.Range);
    }
}

class StatsTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TPingerSession S{Clock};
    void SetUp() override {
        S.SetTimeOutMS(1000000);
        S.SetDrawEnabled(false);
    }
};

TEST_F(StatsTest, ATargetFailingForLongerThanTheSpanKeepsItsLastTwoOldRoundTrips) {
    S.SetSpan(60);
    const int Failures = 7200; // two hours, one a second
    S.PingDone(MakeResult(*Clock, Failures + 3, 40));
    S.PingDone(MakeResult(*Clock, Failures + 2, 20));
    S.PingDone(MakeResult(*Clock, Failures + 1, 10));
    for (int Age = Failures; Age > 0; --Age)
        S.PingDone(MakeResult(*Clock, Age - 1, -1));
    EXPECT_DOUBLE_EQ(S.Uptime(), 2.0 / (Failures + 2) * 100);
    EXPECT_EQ(S.Min(), 10);
    EXPECT_EQ(S.Max(), 20);
    EXPECT_DOUBLE_EQ(S.Avg(), 15);
}

TEST_F(StatsTest, UptimeWithinTheSpanAndNoSuccessAtAll) {
    S.SetSpan(60);
    S.PingDone(MakeResult(*Clock, 3, -1));
    EXPECT_EQ(S.Min(), 16777215);
    EXPECT_EQ(S.Max(), 0);
    EXPECT_EQ(S.Avg(), 0);
    EXPECT_EQ(S.Uptime(), 0);
    S.PingDone(MakeResult(*Clock, 2, 7));
    S.PingDone(MakeResult(*Clock, 1, 12));
    S.PingDone(MakeResult(*Clock, 0, -1));
    EXPECT_DOUBLE_EQ(S.Uptime(), 50);
    EXPECT_EQ(S.Min(), 7);
    EXPECT_EQ(S.Max(), 12);
    EXPECT_DOUBLE_EQ(S.Avg(), 9.5);
}

// With a fixed range a result redraws only the plot, keeping the background (fill, border and
// the address text above the plot) as the last full redraw left it, unless the result changes
// the on-line state: the background then shows the new state and the result's address.
TEST_F(GraphTest, WithAFixedRangeAChangeOfOnLineStateAloneRedrawsTheBackground) {
    // The address text is the only thing drawn in the strip above the plot frame, clear of the
    // value labels to its left; its pixels there, as drawn for one address and fill.
    auto Strip = [](const TRaster& Bg) {
        std::vector<TRasterColor> Px;
        for (int Y = 1; Y < 16; ++Y)
            for (int X = 50; X < Bg.Width() - 15; ++X)
                Px.push_back(Bg.Pixel(X, Y));
        return Px;
    };
    auto AddressStrip = [&] { return Strip(S.Graph().Background()); };
    auto StripOf = [&](const std::string& Address, bool OnLine) {
        TPingerSession Other{Clock};
        Other.SetGraphAreaSize(165, 148);
        Other.SetSpan(100);
        Other.SetRange(-1); // every result redraws in full: an oracle for the background
        Other.SetTimeOutMS(1000000);
        Other.PingDone(MakeResult(*Clock, 0, OnLine ? 20 : -1, PING_STATUS_REQ_TIMED_OUT,
                                  "localhost", Address));
        return Strip(Other.Graph().Background());
    };
    const std::vector<TRasterColor> Blank(AddressStrip().size(), FillOffLine);
    ASSERT_EQ(AddressStrip(), Blank); // started: off line, no address yet
    ASSERT_NE(StripOf("127.0.0.1", true), StripOf("127.0.0.2", true));

    const struct {
        int RoundTrip; // < 0: failed
        const char* Address;
        bool OnLine;       // the background's state afterwards
        const char* Shown; // the address drawn above the plot afterwards
    } Steps[] = {
        {20, "127.0.0.1", true, "127.0.0.1"},  // first answer: on line, address shown
        {25, "127.0.0.2", true, "127.0.0.1"},  // same state: background kept
        {-1, "127.0.0.3", false, "127.0.0.3"}, // off line
        {-1, "127.0.0.2", false, "127.0.0.3"}, // same state: kept
        {30, "127.0.0.2", true, "127.0.0.2"},  // back on line
    };
    for (const auto& Step : Steps) {
        SCOPED_TRACE(testing::Message() << Step.RoundTrip << " from " << Step.Address);
        S.PingDone(MakeResult(*Clock, 0, Step.RoundTrip, PING_STATUS_REQ_TIMED_OUT, "localhost",
                              Step.Address));
        EXPECT_EQ(S.OnLine(), Step.OnLine);
        const TRaster& C = S.ComposedBitmap();
        EXPECT_EQ(C.Pixel(0, 0), Step.OnLine ? BorderOnLine : BorderOffLine);
        EXPECT_EQ(C.Pixel(C.Width() - 1, C.Height() - 1),
                  Step.OnLine ? BorderOnLine : BorderOffLine);
        EXPECT_EQ(C.Pixel(1, 1), Step.OnLine ? FillOnLine : FillOffLine);
        EXPECT_EQ(AddressStrip(), StripOf(Step.Shown, Step.OnLine));
        // The caption takes the result's colour, whether or not the background was redrawn.
        EXPECT_EQ(S.HeaderColor(), Step.RoundTrip >= 0 ? 0x0000C000u : 0x000020D0u);
    }

    // Automatic range: every result redraws in full.
    S.SetRange(-1);
    S.PingDone(MakeResult(*Clock, 0, 30, PING_STATUS_SUCCESS, "localhost", "127.0.0.1"));
    EXPECT_EQ(AddressStrip(), StripOf("127.0.0.1", true));
}

namespace {

// The graph area's background drawn by the rules, step by step and in their order: fill and
// border by the on-line state, the address text, the plot frame, then each value label with its
// grid row and each time label with its grid column.
TRaster BackgroundByTheRules(int W, int H, std::int32_t Range, std::int32_t Span, bool OnLine,
                             const QString& Address) {
    TRaster Bg;
    Bg.SetSize(W, H);
    Bg.Clear(0xFF000000);
    Bg.FillRect(0, 0, W, H, OnLine ? FillOnLine : FillOffLine);
    Bg.FrameRect(0, 0, W, H, OnLine ? BorderOnLine : BorderOffLine);
    Bg.SetFont(GraphFont());
    Bg.SetTextColor(0x00FFC000);
    Bg.TextOut(W / 2 - Bg.TextWidth(Address) / 2, 16 - Bg.TextHeight(Address), Address);
    const int L = 50, T = 18, R = W - 15, B = H - 30;
    Bg.FrameRect(49, 17, W - 14, H - 29, Frame);
    Bg.SetTextColor(0x00FFFFFF);
    const QStringList Values = TPingerGraph::ValueAxisLabels(Range);
    for (int I = 0; I <= 5; ++I) {
        const int Y = Round(I * (double(B - T) / 5)) + T;
        const QString& Text = Values[I];
        Bg.TextOut(std::max(L - Bg.TextWidth(Text) - 6, 2), Y - Bg.TextHeight(Text) / 2, Text);
        if (I >= 1 && I <= 4)
            Bg.GridLine(L, Y, R, Y, Frame);
    }
    const QStringList Times = TPingerGraph::TimeAxisLabels(Span);
    const int D = int(Times.size()) - 1;
    for (int J = 0; J <= D; ++J) {
        const int X = Round(J * (double(R - L) / D)) + L;
        Bg.TextOut(X - Bg.TextWidth(Times[J]) / 2, B + 6, Times[J]);
        if (J > 0 && J < D)
            Bg.GridLine(X, T, X, B, Frame);
    }
    return Bg;
}

int PixelsApart(const TRaster& A, const TRaster& B) {
    if (A.Width() != B.Width() || A.Height() != B.Height())
        return -1;
    int Apart = 0;
    for (int Y = 0; Y < A.Height(); ++Y)
        for (int X = 0; X < A.Width(); ++X)
            Apart += A.Pixel(X, Y) != B.Pixel(X, Y);
    return Apart;
}

} // namespace

// However the background is put together (shared with graphs alike, or kept from the last
// redraw), its pixels are those of drawing it whole by the rules: with and without an address
// text, on and off line, with the address clear of the labels and running into them, and in
// areas too small for a plot.
TEST(GraphBackgroundTest, EveryWayOfBuildingItGivesThePixelsOfTheRules) {
    const struct {
        int W, H;
        std::int32_t Range, Span;
        const char* Address;
    } Cases[] = {
        {250, 144, 5, 60, "127.0.0.1"},
        {240, 134, 5000, 28800, "192.168.100.200"},
        {800, 560, 250, 7200, ""},
        {120, 80, 1000, 300, "255.255.255.255"},           // the address reaches the top label
        {90, 100, 5000, 60, "a-rather-long-host-address"}, // wider than the area
        {60, 40, 10, 60, "127.0.0.1"},                     // no plot area
        {250, 30, 5, 60, "10.1.2.3"},
        {250, 144, 5, 60, "2001:db8::1"},                       // IPv6 addresses as any text
        {240, 134, 250, 300, "fe80::1234:5678:9abc:def0%eth0"}, // with a zone, wider than most
    };
    for (const auto& C : Cases) {
        for (const bool OnLine : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << C.W << " x " << C.H << " range " << C.Range << " span " << C.Span
                         << " \"" << C.Address << "\" " << (OnLine ? "on" : "off") << " line");
            auto Clock = std::make_shared<FakeClock>();
            TPingerSession S(Clock);
            S.SetTimeOutMS(5000);
            S.SetGraphAreaSize(C.W, C.H);
            S.SetSpan(C.Span);
            S.SetRange(C.Range);
            // The address arrives with a result; the range stays fixed, so a full refresh
            // brings it to the background.
            TPingEvent E = MakeResult(*Clock, 0, OnLine ? 1 : -1);
            E.IPAddress = C.Address;
            S.PingDone(E);
            S.RefreshDisplay();
            const TRaster Want = BackgroundByTheRules(C.W, C.H, C.Range, C.Span, OnLine,
                                                      QString::fromLatin1(C.Address));
            EXPECT_EQ(PixelsApart(S.Graph().Background(), Want), 0);
            // Again, now that everything is cached.
            S.RefreshDisplay();
            EXPECT_EQ(PixelsApart(S.Graph().Background(), Want), 0);
            TRaster Composed = Want;
            Composed.Draw(50, 18, S.Graph().Plot());
            EXPECT_EQ(PixelsApart(S.ComposedBitmap(), Composed), 0);
        }
    }
}

// A result that leaves range, size, address and on-line state as they were changes only the
// plot, also with the automatic range (every refresh full); a new range redraws the whole.
TEST_F(GraphTest, AFullRefreshWithTheSameInputsChangesOnlyThePlot) {
    S.SetRange(-1);
    Feed({{2, 20}});
    EXPECT_EQ(S.Graph().LastChange(), TPingerGraph::TChange::Whole); // now on line
    Feed({{1, 21}});
    EXPECT_EQ(S.Graph().LastChange(), TPingerGraph::TChange::Plot);
    Feed({{0, 30}}); // range 25 -> 50
    EXPECT_EQ(S.Graph().LastChange(), TPingerGraph::TChange::Whole);
    EXPECT_EQ(S.DisplayRange(), 50);
}

// Out of sight the graph keeps no rasters but its statistics and texts; shown again it draws
// what it would have drawn had it stayed in sight.
TEST_F(GraphTest, AHiddenGraphLetsItsRastersGoAndDrawsWholeWhenShown) {
    Feed({{3, 20}});
    S.SetGraphShown(false);
    Feed({{0, 20}, {1, 30}, {2, 40}});
    EXPECT_EQ(S.Graph().Plot().Width(), 0);
    EXPECT_EQ(S.Graph().Background().Width(), 0);
    EXPECT_EQ(S.StatusText(), QStringLiteral("Round trip : 20 ms"));
    EXPECT_DOUBLE_EQ(S.Avg(), 27.5);

    S.SetGraphShown(true);
    S.RefreshDisplay();
    TPingerSession Seen{Clock};
    Seen.SetTimeOutMS(1000000);
    Seen.SetGraphAreaSize(165, 148);
    Seen.SetSpan(100);
    Seen.SetRange(100);
    for (const TAgedResult R : {TAgedResult{3, 20}, {2, 40}, {1, 30}, {0, 20}}) // oldest first
        Seen.PingDone(MakeResult(*Clock, R.AgeSeconds, R.RoundTrip));
    Seen.RefreshDisplay();
    EXPECT_EQ(PixelsApart(S.ComposedBitmap(), Seen.ComposedBitmap()), 0);
}

// The hand-made raster operations: half-open rectangles, inclusive grid and statistic lines,
// Bresenham with the end point left out, clipping, and round-half-even.
#include "zsRaster.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <utility>

namespace {

constexpr TRasterColor Bg = 0xFF000000;
constexpr TRasterColor Ink = 0xFF20FF10;

using TPixels = std::set<std::pair<int, int>>;

// Every pixel of R that differs from Bg.
TPixels Inked(const TRaster& R) {
    TPixels Out;
    for (int Y = 0; Y < R.Height(); ++Y) {
        for (int X = 0; X < R.Width(); ++X) {
            if (R.Pixel(X, Y) != Bg) {
                Out.insert({X, Y});
            }
        }
    }
    return Out;
}

TRaster Blank(int W, int H) {
    TRaster R;
    R.SetSize(W, H);
    R.Clear(Bg);
    return R;
}

} // namespace

TEST(RasterTest, RoundHalfEvenAndOutOfRangeValues) {
    const struct {
        double In;
        int Out;
    } Cases[] = {{2.5, 2},          {3.5, 4},
                 {-2.5, -2},        {0.5, 0},
                 {1.5, 2},          {2.4, 2},
                 {-0.6, -1},        {1e300, INT_MAX},
                 {-1e300, INT_MIN}, {16.0, 16},
                 {NAN, INT_MIN},    {-0.5, 0},
                 {-1.5, -2},        {1e15 + 0.5, INT_MAX},
                 {123456.5, 123456}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.In);
        EXPECT_EQ(RoundHalfEven(C.In), C.Out);
    }
}

TEST(RasterTest, RectanglesAreHalfOpenAndFramesFollowTheirEdges) {
    TRaster R = Blank(10, 8);
    R.FillRect(2, 1, 5, 3, Ink);
    TPixels Want;
    for (int Y = 1; Y < 3; ++Y)
        for (int X = 2; X < 5; ++X)
            Want.insert({X, Y});
    EXPECT_EQ(Inked(R), Want);

    R = Blank(10, 8);
    R.FrameRect(1, 1, 6, 5, Ink); // rows 1 and 4, columns 1 and 5
    Want.clear();
    for (int X = 1; X <= 5; ++X) {
        Want.insert({X, 1});
        Want.insert({X, 4});
    }
    for (int Y = 2; Y <= 3; ++Y) {
        Want.insert({1, Y});
        Want.insert({5, Y});
    }
    EXPECT_EQ(Inked(R), Want);

    // A frame larger than the raster keeps only its visible rows and columns.
    R = Blank(4, 4);
    R.FrameRect(-1, -1, 3, 3, Ink);
    EXPECT_EQ(Inked(R), (TPixels{{0, 2}, {1, 2}, {2, 2}, {2, 0}, {2, 1}}));
}

TEST(RasterTest, GridAndStatLinesCoverBothEndsAndClip) {
    TRaster R = Blank(6, 5);
    R.GridLine(1, 2, 4, 2, Ink);
    R.GridLine(5, 0, 5, 9, Ink);
    R.StatLine(-3, 4, 1, Ink);
    R.StatLine(0, 7, 5, Ink); // off the raster
    EXPECT_EQ(Inked(R), (TPixels{{1, 2},
                                 {2, 2},
                                 {3, 2},
                                 {4, 2},
                                 {5, 0},
                                 {5, 1},
                                 {5, 2},
                                 {5, 3},
                                 {5, 4},
                                 {0, 4},
                                 {1, 4}}));
}

TEST(RasterTest, LinesLeaveOutTheirEndPoint) {
    const struct {
        const char* Name;
        int X0, Y0, X1, Y1;
        TPixels Want;
    } Cases[] = {
        {"horizontal left", 4, 1, 1, 1, {{4, 1}, {3, 1}, {2, 1}}},
        {"vertical down", 2, 0, 2, 3, {{2, 0}, {2, 1}, {2, 2}}},
        {"diagonal", 0, 0, 3, 3, {{0, 0}, {1, 1}, {2, 2}}},
        {"diagonal up left", 5, 5, 2, 2, {{5, 5}, {4, 4}, {3, 3}}},
        {"single point", 3, 3, 3, 3, {}},
        {"shallow", 0, 0, 4, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TRaster R = Blank(8, 8);
        R.SetPen(Ink);
        R.MoveTo(C.X0, C.Y0);
        R.LineTo(C.X1, C.Y1);
        EXPECT_EQ(Inked(R), C.Want);
    }
}

TEST(RasterTest, LinesFromFarOutsideAreClippedAndThePenMoves) {
    TRaster R = Blank(5, 5);
    R.SetPen(Ink);
    R.MoveTo(4, 2);
    R.LineTo(-2000000000, 2); // must not walk two billion steps
    R.LineTo(-2000000000, -2000000000);
    // A diagonal on x + y = 3 that starts and ends two billion pixels away.
    R.MoveTo(2000000003, -2000000000);
    R.LineTo(-1999999997, 2000000000);
    EXPECT_EQ(Inked(R),
              (TPixels{{0, 2}, {1, 2}, {2, 2}, {3, 2}, {4, 2}, {3, 0}, {2, 1}, {1, 2}, {0, 3}}));
}

TEST(RasterTest, SizesClampAtZeroAndTheSameSizeKeepsPixels) {
    TRaster R;
    R.SetSize(-4, 3);
    EXPECT_EQ(R.Width(), 0);
    EXPECT_EQ(R.Height(), 3);
    R.FillRect(0, 0, 10, 10, Ink); // nothing to draw, nothing to crash
    R.SetSize(3, 3);
    R.Clear(Ink);
    R.SetSize(3, 3);
    EXPECT_EQ(R.Pixel(1, 1), Ink);
    EXPECT_EQ(R.Image().format(), QImage::Format_ARGB32);
}

TEST(RasterTest, CopyAndDrawClipToBothRasters) {
    TRaster Src = Blank(4, 4);
    Src.FillRect(1, 1, 3, 3, Ink); // a 2x2 block at (1,1)
    TRaster Part = Blank(3, 3);
    Part.CopyFrom(Src, 1, 1);
    EXPECT_EQ(Inked(Part), (TPixels{{0, 0}, {1, 0}, {0, 1}, {1, 1}}));

    TRaster Dst = Blank(5, 5);
    Dst.Draw(3, -1, Src); // source rows 1..2 land on rows 0..1, columns 4 only
    EXPECT_EQ(Inked(Dst), (TPixels{{4, 0}, {4, 1}}));
}

TEST(RasterTest, ClippedLinesMatchAStepByStepWalkOfTheWholeLine) {
    // The line code starts at the first step inside the raster and steps incrementally; a walk
    // over every step of the unclipped line must give the same pixels.
    std::uint32_t Seed = 12345;
    auto Next = [&](int Lo, int Hi) {
        Seed = Seed * 1664525u + 1013904223u;
        return Lo + int((Seed >> 8) % std::uint32_t(Hi - Lo + 1));
    };
    for (int N = 0; N < 2000; ++N) {
        const int X0 = Next(-60, 80), Y0 = Next(-60, 80), X1 = Next(-60, 80), Y1 = Next(-60, 80);
        SCOPED_TRACE(testing::Message() << X0 << "," << Y0 << " -> " << X1 << "," << Y1);
        TRaster R = Blank(20, 15);
        R.SetPen(Ink);
        R.MoveTo(X0, Y0);
        R.LineTo(X1, Y1);
        TPixels Want;
        const int DX = std::abs(X1 - X0), DY = std::abs(Y1 - Y0);
        const int SX = X1 >= X0 ? 1 : -1, SY = Y1 >= Y0 ? 1 : -1;
        const int Major = std::max(DX, DY), Minor = std::min(DX, DY);
        for (int I = 0; I < Major; ++I) {
            const int Off = (2 * I * Minor + Major) / (2 * Major);
            const int X = DX >= DY ? X0 + SX * I : X0 + SX * Off;
            const int Y = DX >= DY ? Y0 + SY * Off : Y0 + SY * I;
            if (X >= 0 && Y >= 0 && X < 20 && Y < 15)
                Want.insert({X, Y});
        }
        ASSERT_EQ(Inked(R), Want);
    }
}

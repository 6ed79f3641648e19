// The monitor graph on a screen of two device pixels per logical pixel (QT_SCALE_FACTOR=2 under
// the offscreen platform): the rasters hold twice the pixels each way, the pixel rules still
// work in logical pixels, so every line is two device pixels wide with no colour in between,
// and the texts, drawn at the device resolution, sit where they sit at scale 1. Both pictures
// go to the test-output folder (graph-scale-1.png, graph-scale-2.png).
#include "icmp_dll.h"
#include "monitor_test_support.h"
#include "uFrmPinger.h"

#include <QDir>
#include <QGuiApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace {

// Before the test main makes the application: the screen then has two device pixels per
// logical pixel however the binary is started.
const bool ScaledScreen = [] { return setenv("QT_SCALE_FACTOR", "2", 0) == 0; }();

constexpr TRasterColor FillOnLine = 0xFF000000;
constexpr TRasterColor BorderOnLine = 0xFF006000;
constexpr TRasterColor Frame = 0xFF406080;

// Results with segments of every kind: flat, diagonal, into failures, above the range.
void FeedCanned(TPingerSession& S, FakeClock& Clock) {
    const TAgedResult NewestFirst[] = {{0, 20},   {5, 35},  {10, -1}, {15, 40},
                                       {20, 100}, {30, 10}, {40, 45}, {50, 30}};
    for (auto It = std::rbegin(NewestFirst); It != std::rend(NewestFirst); ++It)
        S.PingDone(MakeResult(Clock, It->AgeSeconds, It->RoundTrip));
}

struct TPair {
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TPingerSession One{Clock};
    TPingerSession Two{Clock};
    TPair() {
        for (auto [S, Ratio] : {std::pair{&One, 1.0}, std::pair{&Two, 2.0}}) {
            S->SetTimeOutMS(5000);
            S->SetSpan(60);
            S->SetRange(50);
            S->SetGraphAreaSize(250, 144, Ratio);
            FeedCanned(*S, *Clock);
            S->RefreshDisplay();
        }
    }
};

// Text is whatever is neither fill, border nor frame in the background.
bool IsText(TRasterColor C) {
    return C != FillOnLine && C != BorderOnLine && C != Frame;
}

QRect Bounds(const std::vector<QPoint>& Points) {
    QRect R;
    for (const QPoint& P : Points)
        R |= QRect(P, QSize(1, 1));
    return R;
}

} // namespace

TEST(GraphHiDpiTest, TheScreenHasTwoDevicePixelsPerLogicalPixel) {
    ASSERT_TRUE(ScaledScreen);
    EXPECT_EQ(qApp->devicePixelRatio(), 2.0);
}

// Whole device pixels per logical pixel: the nearest to the screen's ratio, at least one.
TEST(GraphHiDpiTest, TheRastersTakeTheNearestWholeScale) {
    const std::pair<qreal, int> Cases[] = {{1.0, 1}, {1.25, 1}, {1.5, 2},         {1.75, 2},
                                           {2.0, 2}, {2.25, 2}, {3.0, 3},         {0.5, 1},
                                           {0.0, 1}, {-2.0, 1}, {std::nan(""), 1}};
    for (const auto& [Ratio, Scale] : Cases) {
        SCOPED_TRACE(Ratio);
        EXPECT_EQ(TPingerGraph::ScaleFor(Ratio), Scale);
    }
}

// The plot holds no text: at scale 2 it is the scale-1 plot with every pixel made a 2 x 2
// square, exactly, so a one-pixel line is two device pixels wide and no blend of colours
// appears anywhere.
TEST(GraphHiDpiTest, ThePlotIsTheScaleOnePlotWithEveryPixelTwoByTwo) {
    TPair P;
    const TRaster& One = P.One.Graph().Plot();
    const TRaster& Two = P.Two.Graph().Plot();
    ASSERT_EQ(One.Width(), 185);
    ASSERT_EQ(One.Height(), 96);
    EXPECT_EQ(Two.Width(), 185); // logical
    EXPECT_EQ(Two.Scale(), 2);
    ASSERT_EQ(Two.Image().size(), QSize(370, 192));
    EXPECT_EQ(Two.Image().devicePixelRatio(), 2.0);
    int Wrong = 0;
    std::set<TRasterColor> Colours1, Colours2;
    for (int Y = 0; Y < 192; ++Y) {
        for (int X = 0; X < 370; ++X) {
            const TRasterColor Want = One.Pixel(X / 2, Y / 2);
            const TRasterColor Got = Two.DevicePixel(X, Y);
            Colours1.insert(Want);
            Colours2.insert(Got);
            if (Got != Want && ++Wrong <= 8)
                ADD_FAILURE() << "device pixel (" << X << ", " << Y << "): " << std::hex << Got
                              << " instead of " << Want;
        }
    }
    EXPECT_EQ(Wrong, 0);
    EXPECT_EQ(Colours2, Colours1);
    // The polyline, the statistic lines and the grid are all there to compare.
    for (const TRasterColor C : {0xFF20FF10u, 0xFFFF4010u, 0xFFA0FF00u, 0x000080FFu, Frame})
        EXPECT_TRUE(Colours1.count(C)) << std::hex << C;
    // The average line's rows (the high line lies above the range and is not drawn).
    const int AvgRow = 95 - int(std::nearbyint(96.0 / 50 * P.One.Avg()));
    for (int X = 0; X < 370; ++X) {
        if (One.Pixel(X / 2, AvgRow) != 0xFFA0A000u)
            continue; // the polyline crosses it here
        EXPECT_EQ(Two.DevicePixel(X, 2 * AvgRow), 0xFFA0A000u);
        EXPECT_EQ(Two.DevicePixel(X, 2 * AvgRow + 1), 0xFFA0A000u);
    }
}

// The background: every pixel away from the texts is the scale-1 pixel's square; the texts,
// drawn at the device resolution, cover the same places as at scale 1 (each group of labels
// within a device pixel of twice its scale-1 bounds), and are no blown-up copy.
TEST(GraphHiDpiTest, TheBackgroundScalesAndItsTextsSitWhereTheySatAtScaleOne) {
    TPair P;
    const TRaster& One = P.One.Graph().Background();
    const TRaster& Two = P.Two.Graph().Background();
    ASSERT_EQ(One.Width(), 250);
    ASSERT_EQ(Two.Image().size(), QSize(500, 288));

    // Scale-1 text pixels, widened by one pixel each way: the room the glyphs may take.
    auto NearText1 = [&](int X, int Y) {
        for (int DY = -1; DY <= 1; ++DY)
            for (int DX = -1; DX <= 1; ++DX) {
                const int XX = X + DX, YY = Y + DY;
                if (XX >= 0 && YY >= 0 && XX < 250 && YY < 144 && IsText(One.Pixel(XX, YY)))
                    return true;
            }
        return false;
    };
    int Wrong = 0;
    for (int Y = 0; Y < 288; ++Y) {
        for (int X = 0; X < 500; ++X) {
            if (NearText1(X / 2, Y / 2))
                continue;
            const TRasterColor Want = One.Pixel(X / 2, Y / 2);
            const TRasterColor Got = Two.DevicePixel(X, Y);
            if (Got != Want && ++Wrong <= 8)
                ADD_FAILURE() << "device pixel (" << X << ", " << Y << "): " << std::hex << Got
                              << " instead of " << Want;
        }
    }
    EXPECT_EQ(Wrong, 0);

    // The texts by group: the address above the plot, the value labels left of it, the time
    // labels below it.
    const TPlotRect Plot = P.One.Graph().PlotRect();
    const QRect Groups[] = {QRect(1, 1, 248, Plot.Top - 2),
                            QRect(1, Plot.Top - 8, Plot.Left - 2, Plot.Height() + 16),
                            QRect(1, Plot.Bottom + 1, 248, 144 - Plot.Bottom - 2)};
    bool Refined = false;
    for (const QRect& G : Groups) {
        std::vector<QPoint> Text1, Text2;
        for (int Y = G.top(); Y <= G.bottom(); ++Y)
            for (int X = G.left(); X <= G.right(); ++X)
                if (IsText(One.Pixel(X, Y)))
                    Text1.push_back({X, Y});
        for (int Y = 2 * G.top(); Y <= 2 * G.bottom() + 1; ++Y)
            for (int X = 2 * G.left(); X <= 2 * G.right() + 1; ++X)
                if (IsText(Two.DevicePixel(X, Y)))
                    Text2.push_back({X, Y});
        ASSERT_FALSE(Text1.empty());
        ASSERT_FALSE(Text2.empty());
        const QRect B1 = Bounds(Text1), B2 = Bounds(Text2);
        SCOPED_TRACE(testing::Message() << "scale 1 (" << B1.x() << ", " << B1.y() << ", "
                                        << B1.width() << " x " << B1.height() << ")");
        EXPECT_NEAR(B2.left(), 2 * B1.left(), 2);
        EXPECT_NEAR(B2.top(), 2 * B1.top(), 2);
        EXPECT_NEAR(B2.right(), 2 * B1.right() + 1, 2);
        EXPECT_NEAR(B2.bottom(), 2 * B1.bottom() + 1, 2);
        // Drawn at the device resolution: some 2 x 2 square of the text is not of one colour.
        for (const QPoint& Q : Text2) {
            const int X = Q.x() & ~1, Y = Q.y() & ~1;
            const TRasterColor C = Two.DevicePixel(X, Y);
            if (Two.DevicePixel(X + 1, Y) != C || Two.DevicePixel(X, Y + 1) != C ||
                Two.DevicePixel(X + 1, Y + 1) != C) {
                Refined = true;
                break;
            }
        }
    }
    EXPECT_TRUE(Refined);

    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    // As the screen shows them: opaque (the low line's alpha byte is 0).
    EXPECT_TRUE(P.One.ComposedBitmap()
                    .Image()
                    .convertToFormat(QImage::Format_RGB32)
                    .save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/graph-scale-1.png")));
    EXPECT_TRUE(P.Two.ComposedBitmap()
                    .Image()
                    .convertToFormat(QImage::Format_RGB32)
                    .save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/graph-scale-2.png")));
}

// The window draws its graph at the screen's device pixels and shows it pixel for pixel.
TEST(GraphHiDpiTest, TheMonitorWindowShowsTheGraphAtDevicePixels) {
    auto Clock = std::make_shared<FakeClock>();
    auto W = std::make_unique<TfrmPinger>(Clock);
    W->Session().SetEchoFunction([](const std::string&, const std::string&, TReplyBuffer&,
                                    std::int32_t, std::string&) { throw EPingError("offline"); });
    W->Session().SetSyncInvoker([](const std::function<void()>&) {});
    W->Session().BeginMonitor("localhost", "");
    W->Session().SetTimeOutMS(5000);
    W->Session().SetSpan(60);
    W->Session().SetRange(50);
    W->resize(300, 200);
    FeedCanned(W->Session(), *Clock);
    W->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(W.get()));
    EXPECT_EQ(W->Session().Graph().Scale(), 2);
    const QImage Composed =
        W->Session().ComposedBitmap().Image().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(Composed.size(), 2 * W->Image32->size());

    const QPixmap Shot = W->Image32->grab();
    EXPECT_EQ(Shot.devicePixelRatio(), 2.0);
    EXPECT_EQ(Shot.toImage().convertToFormat(QImage::Format_RGB32), Composed);
}

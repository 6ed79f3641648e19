// The history graph on a screen of 1.5 device pixels per logical pixel (QT_SCALE_FACTOR=1.5
// under the offscreen platform): the window's picture holds the device pixels, one column of
// summaries per device pixel, drawn with lines of whole device pixels and no blended colours,
// so it is shown pixel for pixel instead of as a blurred enlargement; it shows what the
// picture at scale 1 shows at the same places, with text drawn at the device resolution. Both
// pictures go to the test-output folder (history-scale-1.png, history-scale-1.5.png).
#include "uFrmHistory.h"
#include "zsPingLog.h"

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>

namespace {

// Before the test main makes the application.
const bool ScaledScreen = [] { return setenv("QT_SCALE_FACTOR", "1.5", 0) == 0; }();

constexpr std::int64_t Now = 1714564800; // noon, 1 May 2024, UTC

const QRgb Black = qRgb(0, 0, 0);
const QRgb Grid = qRgb(0x40, 0x60, 0x80);
const QRgb Trip = qRgb(0x20, 0xFF, 0x10);
const QRgb TripRange = qRgb(0x10, 0x46, 0x0B);
const QRgb Failure = qRgb(0xFF, 0x40, 0x10);
const QRgb Uptime = qRgb(0x20, 0xA0, 0x10);

// A day of five-minute records with a two-hour outage and an hour at half uptime.
std::string WriteDay(const QTemporaryDir& Dir) {
    std::string Bytes;
    std::int32_t Number = 0;
    for (std::int64_t At = Now - 86400 + 150; At < Now; At += 300) {
        const std::int64_t Ago = Now - At;
        const bool Out = Ago < 10 * 3600 && Ago > 8 * 3600;
        TPingLogRecord Record;
        Record.RecNo = Number++;
        Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
        Record.MeanTime = 25569.0 + double(At) / 86400.0;
        Record.AvgTrip = Out ? -1.0f : float(20 + (At / 300) % 17);
        Record.UptimePct = Out ? 0.0f : (Ago < 4 * 3600 && Ago > 3 * 3600 ? 50.0f : 100.0f);
        const auto Encoded = EncodePingLogRecord(Record);
        Bytes.append(reinterpret_cast<const char*>(Encoded.data()), Encoded.size());
    }
    const std::string Path = Dir.path().toStdString() + "/router.pin";
    std::ofstream(Path, std::ios::binary) << Bytes;
    return Path;
}

class HistoryHiDpiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override {
        ::unsetenv("TZ");
        ::tzset();
    }
    QTemporaryDir Dir;
};

TEST_F(HistoryHiDpiTest, TheScreenHasOneAndAHalfDevicePixelsPerLogicalPixel) {
    ASSERT_TRUE(ScaledScreen);
    EXPECT_EQ(qApp->devicePixelRatio(), 1.5);
}

TEST_F(HistoryHiDpiTest, ThePictureIsDrawnAtDevicePixelsAndShowsWhatScaleOneShows) {
    const std::string Path = WriteDay(Dir);
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now; });
    Window.resize(700, 360);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Window.WaitForReading());
    const QImage& Two = Window.Picture();
    ASSERT_EQ(Two.devicePixelRatio(), 1.5);
    const QLabel* View = Window.findChild<QLabel*>(QStringLiteral("imgHistory"));
    ASSERT_NE(View, nullptr);
    EXPECT_EQ(Two.size(),
              QSize(int(std::lround(View->width() * 1.5)), int(std::lround(View->height() * 1.5))));
    // One column per device pixel of the plot.
    THistoryGraph Scaled;
    Scaled.SetLayout(View->size(), 1.5);
    EXPECT_EQ(int(Window.Shown().View.Columns().size()), Scaled.Columns());

    // The same view at scale 1, from the same log.
    THistoryGraph Plain;
    Plain.SetLayout(View->size(), 1.0);
    THistoryView OneView(Window.Shown().View.Range(), Plain.Columns());
    TPingLogHistory History;
    History.ReadFrom(Path);
    for (const THistoryRecord& Record : History.Records()) {
        OneView.Add(Record);
    }
    const QImage One = Plain.Render(OneView, THistorySpan::Day);
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    One.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/history-scale-1.png"));
    Two.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/history-scale-1.5.png"));

    // Inside the plot and the band only the graph's own colours: nothing blended, nothing
    // blurred.
    const std::set<QRgb> Palette{Black, Grid, Trip, TripRange, Failure, Uptime};
    for (const QRect& Area : {Scaled.Plot(), Scaled.Band()}) {
        int Foreign = 0;
        for (int Y = Area.top(); Y <= Area.bottom(); ++Y) {
            for (int X = Area.left(); X <= Area.right(); ++X) {
                const QRgb Pixel = Two.pixel(X, Y) | 0xFF000000u;
                if (!Palette.count(Pixel) && ++Foreign <= 5) {
                    ADD_FAILURE() << "device pixel (" << X << ", " << Y << ") " << std::hex
                                  << Pixel;
                }
            }
        }
        EXPECT_EQ(Foreign, 0);
    }

    // The uptime band tells the same at the same places: each device column's colour is that
    // of the scale-1 column under it (one column of slack where they change).
    const int Y1 = Plain.Band().bottom() - 3;
    const int Y2 = Scaled.Band().bottom() - 4;
    int Differ = 0, Red = 0;
    for (int X = Scaled.Plot().left() + 2; X < Scaled.Plot().right() - 2; ++X) {
        const QRgb Here = Two.pixel(X, Y2);
        Red += Here == Failure ? 1 : 0;
        const int Logical = int(X / 1.5);
        bool Matches = false;
        for (int D = -1; D <= 1; ++D) {
            Matches = Matches || (One.pixel(Logical + D, Y1) | 0xFF000000u) == Here;
        }
        Differ += Matches ? 0 : 1;
    }
    EXPECT_EQ(Differ, 0);
    EXPECT_GT(Red, 50); // two hours of a day's 900 device columns

    // The grid's time lines at 1.5 times their scale-1 places, each a whole device pixel or
    // two wide.
    const auto GridColumns = [](const QImage& I, const QRect& Plot) {
        std::vector<int> Found;
        for (int X = Plot.left() + 2; X < Plot.right() - 2; ++X) {
            if ((I.pixel(X, Plot.top() + Plot.height() / 3) | 0xFF000000u) == Grid &&
                (Found.empty() || Found.back() < X - 3)) {
                Found.push_back(X);
            }
        }
        return Found;
    };
    const std::vector<int> Lines1 = GridColumns(One, Plain.Plot());
    const std::vector<int> Lines2 = GridColumns(Two, Scaled.Plot());
    ASSERT_EQ(Lines1.size(), Lines2.size());
    ASSERT_GE(Lines1.size(), 3u);
    for (std::size_t I = 0; I < Lines1.size(); ++I) {
        EXPECT_NEAR(Lines2[I], Lines1[I] * 1.5, 2.0) << I;
    }

    // Text at the device resolution: the labels under the band are 1.5 times as tall, not a
    // copy of the scale-1 glyphs.
    const auto TextHeight = [](const QImage& I, const QRect& Band) {
        int Top = I.height(), Bottom = -1;
        for (int Y = Band.bottom() + 1; Y < I.height(); ++Y) {
            for (int X = Band.left(); X < Band.right(); ++X) {
                if (qRed(I.pixel(X, Y)) > 0x80 && qBlue(I.pixel(X, Y)) > 0x80) {
                    Top = std::min(Top, Y);
                    Bottom = std::max(Bottom, Y);
                }
            }
        }
        return Bottom - Top + 1;
    };
    const int Height1 = TextHeight(One, Plain.Band());
    const int Height2 = TextHeight(Two, Scaled.Band());
    EXPECT_GT(Height1, 4);
    EXPECT_NEAR(Height2, Height1 * 1.5, 2.0);
}

} // namespace

// The history window: a week of five-minute records with a six-hour outage, drawn offscreen
// (build/test-output/history-week.png), read back by its pixels, its hover texts, its spans,
// the records it takes in while open and the CSV of what it shows.
#include "uFrmHistory.h"
#include "zsFileDialog.h"
#include "zsMessageBox.h"
#include "zsPingLog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace {

// Noon, 1 May 2024, UTC: the window's clock in these tests.
constexpr std::int64_t Now = 1714564800;

class HistoryWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        TzsFileDialog::SetTestMode(true);
        TzsMessageBox::SetTestMode(true);
    }
    void TearDown() override {
        TzsFileDialog::SetTestMode(false);
        TzsMessageBox::SetTestMode(false);
        ::unsetenv("TZ");
        ::tzset();
    }

    // Records every five minutes of the week before Now: 20 to 40 ms, except an outage from
    // three days ago for six hours (every ping failed) and the hour after it at 50 % uptime.
    std::string WriteWeek(std::int64_t Until = Now) {
        std::string Bytes;
        std::int32_t Number = 0;
        for (std::int64_t At = Now - 7 * 86400 + 150; At <= Until; At += 300) {
            const std::int64_t Ago = Now - At;
            const bool Out = Ago <= 3 * 86400 && Ago > 3 * 86400 - 6 * 3600;
            const bool Half = Ago <= 3 * 86400 - 6 * 3600 && Ago > 3 * 86400 - 7 * 3600;
            TPingLogRecord Record;
            Record.RecNo = Number++;
            Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
            Record.MeanTime = 25569.0 + double(At) / 86400.0;
            Record.AvgTrip = Out ? -1.0f : float(20 + (At / 300) % 21);
            Record.UptimePct = Out ? 0.0f : (Half ? 50.0f : 100.0f);
            const auto Encoded = EncodePingLogRecord(Record);
            Bytes.append(reinterpret_cast<const char*>(Encoded.data()), Encoded.size());
        }
        const std::string Path = Dir.path().toStdString() + "/router.pin";
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
        return Path;
    }

    QTemporaryDir Dir;
};

TEST_F(HistoryWindowTest, AWeekWithAnOutageIsDrawnAndDescribed) {
    const std::string Path = WriteWeek();
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now; });
    Window.resize(900, 420);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    Window.SetSpan(THistorySpan::Week);
    const QImage& Picture = Window.Picture();
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    Picture.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/history-week.png"));
    EXPECT_EQ(Window.StatusText(), QStringLiteral("2016 records"));

    // Columns: the week spans the plot from left to right.
    const int Left = THistoryGraph::LeftMargin;
    const int Width = Picture.width() - Left - THistoryGraph::RightMargin;
    const auto Column = [&](double DaysAgo) {
        return Left + int((7 - DaysAgo) / 7 * (Width - 1) + 0.5);
    };
    const int BandY = Picture.height() - THistoryGraph::BottomMargin - 4;
    const QRgb Green = qRgb(0x20, 0xA0, 0x10);
    const QRgb Red = qRgb(0xFF, 0x40, 0x10);
    // The uptime band: green before, red through the outage, green after.
    EXPECT_EQ(Picture.pixel(Column(5), BandY), Green);
    EXPECT_EQ(Picture.pixel(Column(2.9), BandY), Red);
    EXPECT_EQ(Picture.pixel(Column(2.9), BandY - 15), Red);
    EXPECT_EQ(Picture.pixel(Column(1), BandY), Green);
    // The round-trip line has something in a normal column and nothing in the outage's.
    const auto HasTrip = [&](int X) {
        for (int Y = THistoryGraph::TopMargin + 1; Y < BandY - 40; ++Y) {
            const QRgb Pixel = Picture.pixel(X, Y);
            if (qGreen(Pixel) > 0xC0 && qRed(Pixel) < 0x80) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(HasTrip(Column(5)));
    EXPECT_FALSE(HasTrip(Column(2.9)));

    const QString Outage = Window.TextAt(Column(2.9));
    EXPECT_TRUE(Outage.contains(QStringLiteral("no reply"))) << Outage.toStdString();
    EXPECT_TRUE(Outage.contains(QStringLiteral("Uptime: 0 %"))) << Outage.toStdString();
    EXPECT_TRUE(Window.TextAt(Column(5)).contains(QStringLiteral("Uptime: 100 %")));
    EXPECT_TRUE(Window.TextAt(2).isEmpty());
}

TEST_F(HistoryWindowTest, SpansFollowingAndExport) {
    const std::string Path = WriteWeek(Now - 3600);
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now; });
    Window.resize(700, 360);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    const std::size_t Before = Window.History().Records().size();

    // Records appended while the window is open are taken in.
    WriteWeek();
    Window.Refresh();
    EXPECT_EQ(Window.History().Records().size(), Before + 12);

    // The buttons choose the span; the export writes what is shown.
    QTest::mouseClick(Window.findChild<QPushButton*>(QStringLiteral("btnSpanDay")), Qt::LeftButton);
    EXPECT_EQ(Window.Span(), THistorySpan::Day);
    const QString Out = Dir.path() + QStringLiteral("/day.csv");
    TzsFileDialog::SetNextFileName(Out);
    ASSERT_TRUE(Window.ExportShown());
    std::ifstream Csv(Out.toStdString(), std::ios::binary);
    std::string Line;
    int Rows = -1;
    while (std::getline(Csv, Line)) {
        ++Rows;
    }
    EXPECT_EQ(Rows, 288); // a day of five-minute records
    QTest::mouseClick(Window.findChild<QPushButton*>(QStringLiteral("btnSpanAll")), Qt::LeftButton);
    EXPECT_EQ(Window.Span(), THistorySpan::All);

    // A damaged file says so and keeps what is sound.
    std::ofstream(Path, std::ios::binary | std::ios::app) << std::string(30, '\0');
    Window.Refresh();
    EXPECT_TRUE(Window.StatusText().contains(QStringLiteral("damaged")))
        << Window.StatusText().toStdString();
    EXPECT_EQ(Window.History().Records().size(), Before + 12);
}

} // namespace

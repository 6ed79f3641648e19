// The history window: a week of five-minute records with a six-hour outage, drawn offscreen
// (build/test-output/history-week.png), read back by its pixels, its hover texts, its spans,
// the records it takes in while open and the CSV of what it shows.
#include "damaged_logs.h"
#include "uFrmHistory.h"
#include "uHistoryCommandLine.h"
#include "zsFileDialog.h"
#include "zsMessageBox.h"
#include "zsPingLog.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

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
    ASSERT_TRUE(Window.WaitForReading());
    const QImage& Picture = Window.Picture();
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    Picture.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/history-week.png"));
    EXPECT_EQ(Window.StatusText(), QStringLiteral("2016 records."));

    // Columns: the week spans the plot from left to right, ending now.
    const int Left = THistoryGraph::LeftMargin;
    const int Width = Picture.width() - Left - THistoryGraph::RightMargin;
    const auto Column = [&](double DaysAgo) { return Left + int((7 - DaysAgo) / 7 * Width); };
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
    EXPECT_TRUE(Outage.contains(QStringLiteral("Worst uptime: 0 %"))) << Outage.toStdString();
    EXPECT_TRUE(Window.TextAt(Column(5)).contains(QStringLiteral("Worst uptime: 100 %")));
    EXPECT_TRUE(Window.TextAt(2).isEmpty());
}

TEST_F(HistoryWindowTest, SpansFollowingAndExport) {
    const std::string Path = WriteWeek(Now - 3600);
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now; });
    Window.resize(700, 360);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Window.WaitForReading());
    const std::uint64_t Before = Window.Shown().Records;

    // Records appended while the window is open are taken in.
    WriteWeek();
    Window.Refresh();
    ASSERT_TRUE(Window.WaitForReading());
    EXPECT_EQ(Window.Shown().Records, Before + 12);

    // The buttons choose the span; the export writes what is shown and says where.
    QTest::mouseClick(Window.findChild<QPushButton*>(QStringLiteral("btnSpanDay")), Qt::LeftButton);
    EXPECT_EQ(Window.Span(), THistorySpan::Day);
    ASSERT_TRUE(Window.WaitForReading());
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
    EXPECT_TRUE(Window.StatusText().contains(QStringLiteral("288 records written to ") + Out))
        << Window.StatusText().toStdString();
    QTest::mouseClick(Window.findChild<QPushButton*>(QStringLiteral("btnSpanAll")), Qt::LeftButton);
    EXPECT_EQ(Window.Span(), THistorySpan::All);

    // A damaged file says so and keeps what is sound.
    std::ofstream(Path, std::ios::binary | std::ios::app) << std::string(30, '\0');
    Window.Refresh();
    ASSERT_TRUE(Window.WaitForReading());
    EXPECT_TRUE(Window.StatusText().contains(QStringLiteral("damaged")))
        << Window.StatusText().toStdString();
    EXPECT_EQ(Window.Shown().Records, Before + 12);
}

// Each kind of damaged value, and all of them in one log spanning the years 1900 to 9999, in
// every span: the record is skipped and the status line says how many were.
TEST_F(HistoryWindowTest, DamagedValuesAreSkippedAndSaidInEverySpan) {
    const std::string Path = Dir.path().toStdString() + "/damaged.pin";
    const auto Check = [&](const std::string& Bytes, std::uint64_t Skipped) {
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
        TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Damaged"));
        Window.SetNow([] { return Now; });
        Window.resize(500, 300);
        for (const THistorySpan Span :
             {THistorySpan::Day, THistorySpan::Week, THistorySpan::Month, THistorySpan::All}) {
            Window.SetSpan(Span);
            ASSERT_TRUE(Window.WaitForReading());
            EXPECT_EQ(Window.Shown().Skipped, Skipped);
            EXPECT_EQ(Window.StatusText().contains(QStringLiteral("skipped")), Skipped > 0)
                << Window.StatusText().toStdString();
            EXPECT_FALSE(Window.Picture().isNull());
            for (int X = 0; X < 500; X += 7) {
                (void)Window.TextAt(X);
            }
        }
    };
    for (const damaged_logs::TValues& Case : damaged_logs::Cases()) {
        SCOPED_TRACE(Case.Name);
        Check(damaged_logs::LogOf(Case), Case.Skipped ? 1 : 0);
    }
    std::uint64_t Skipped = 0;
    for (const damaged_logs::TValues& Case : damaged_logs::Cases()) {
        Skipped += Case.Skipped ? 1 : 0;
    }
    Check(damaged_logs::AllInOne(), Skipped);
}

// The read-out describes the whole pixel column under the pointer: at every column it names the
// worst uptime the band draws there, so beside a failure it never says all was well.
TEST_F(HistoryWindowTest, TheReadOutDescribesEveryColumnAsDrawn) {
    const std::string Path = WriteWeek();
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now; });
    Window.resize(700, 360);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    Window.SetSpan(THistorySpan::Week);
    ASSERT_TRUE(Window.WaitForReading());
    const QImage& Picture = Window.Picture();
    const int BandY = Picture.height() - THistoryGraph::BottomMargin - 3;
    const QRgb Red = qRgb(0xFF, 0x40, 0x10);
    int Failures = 0;
    for (int X = THistoryGraph::LeftMargin + 1;
         X < Picture.width() - THistoryGraph::RightMargin - 1; ++X) {
        SCOPED_TRACE(X);
        const QString Text = Window.TextAt(X);
        const bool Failed = Picture.pixel(X, BandY) == Red;
        Failures += Failed ? 1 : 0;
        EXPECT_EQ(Text.contains(QStringLiteral("Worst uptime: 0 %")), Failed) << Text.toStdString();
        EXPECT_TRUE(Text.contains(QStringLiteral(" records\n")) ||
                    Text.contains(QStringLiteral("1 record\n")))
            << Text.toStdString();
    }
    EXPECT_GT(Failures, 10);
}

// A log that ended before the span that ends now is shown up to its last record, and the
// status line says so; the grid's labels fall on whole hours and days.
TEST_F(HistoryWindowTest, ALogThatEndedEarlierIsShownToItsEndOnWholeHoursAndDays) {
    const std::string Path = WriteWeek();
    TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Router"));
    Window.SetNow([] { return Now + 40 * 86400 + 1234; });
    Window.resize(700, 360);
    for (const THistorySpan Span : {THistorySpan::Day, THistorySpan::Week, THistorySpan::Month}) {
        Window.SetSpan(Span);
        ASSERT_TRUE(Window.WaitForReading());
        const THistoryRange& Range = Window.Shown().View.Range();
        EXPECT_TRUE(Range.EndsAtLastRecord);
        EXPECT_GE(Range.To, Window.Shown().Log.Last);
        EXPECT_LT(Range.To - Window.Shown().Log.Last, 86400);
        EXPECT_GT(Window.Shown().View.Records(), 0u);
        EXPECT_TRUE(Window.StatusText().contains(
            QStringLiteral("The log ends at 2024-05-01 11:57; the span shown ends there.")))
            << Window.StatusText().toStdString();
    }
    THistoryRange Week;
    Week.From = Now - 7 * 86400 + 1234;
    Week.To = Now + 1234;
    THistoryRange Day{Now - 86400 - 600, Now - 600, false};
    THistoryRange Years{Now - 30 * 365 * 86400LL, Now, false};
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    struct TCase {
        THistoryRange Range;
        int MaxTicks;
        const char* Format; // what every label's local time must be
        QStringList Labels;
    };
    const TCase Cases[] = {
        {Day, 8, "mm:ss", {}},
        {Week, 8, "HH:mm:ss", {}},
        {Years, 8, "MM-dd HH:mm:ss", {}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Format);
        const auto Ticks = THistoryGraph::Ticks(Case.Range, Case.MaxTicks);
        EXPECT_GE(Ticks.size(), 3u);
        EXPECT_LE(Ticks.size(), std::size_t(Case.MaxTicks) + 1);
        for (const THistoryGraph::TTick& Tick : Ticks) {
            const QString Whole =
                QDateTime::fromSecsSinceEpoch(Tick.At).toString(QString::fromLatin1(Case.Format));
            EXPECT_TRUE(Whole == QStringLiteral("00:00") || Whole == QStringLiteral("00:00:00") ||
                        Whole == QStringLiteral("01-01 00:00:00"))
                << Whole.toStdString() << " " << Tick.Label.toStdString();
            EXPECT_GE(Tick.At, Case.Range.From);
            EXPECT_LT(Tick.At, Case.Range.To);
        }
    }
    EXPECT_EQ(THistoryGraph::Ticks(Week, 8).front().Label, QStringLiteral("Thu 25"));
    EXPECT_EQ(THistoryGraph::Ticks(Day, 8).front().Label, QStringLiteral("15:00"));
}

// The CSV is the same, byte for byte, under a language whose decimal mark is a comma (a
// German locale made for the test), from the window and from the command line.
TEST_F(HistoryWindowTest, CsvUnderADecimalCommaLocaleIsTheSameAsInTheCLocale) {
    std::string Bytes;
    double At = damaged_logs::May2024;
    for (const auto& [Trip, Uptime] : std::vector<std::pair<double, double>>{
             {10.5, 100}, {92.2673721, 92.2673721}, {0.333, 33.333}, {-1, 0}, {7, 99.5}}) {
        damaged_logs::Put(Bytes, At, Trip, Uptime);
        At += 5.0 / 1440;
    }
    const std::string Path = Dir.path().toStdString() + "/fractions.pin";
    std::ofstream(Path, std::ios::binary) << Bytes;
    const QString Locales = Dir.path() + QStringLiteral("/locales");
    ASSERT_TRUE(QDir().mkpath(Locales));
    const std::string Make = "localedef -c -i de_DE -f UTF-8 '" + Locales.toStdString() +
                             "/de_DE.UTF-8' >/dev/null 2>&1";
    std::system(Make.c_str());
    ASSERT_TRUE(QFileInfo::exists(Locales + QStringLiteral("/de_DE.UTF-8/LC_NUMERIC")))
        << "localedef (Debian package locales) made no locale";

    const auto Export = [&](const QString& Name) {
        std::string Argv0 = "vantorel", Option = "--export-log", File = Path;
        char* Argv[] = {Argv0.data(), Option.data(), File.data(), nullptr};
        std::ostringstream Out, Err;
        EXPECT_EQ(RunCommandLine(3, Argv, Out, Err), 0) << Err.str();
        TfrmHistory Window(QString::fromStdString(Path), QStringLiteral("Fractions"));
        Window.SetNow([] { return Now; });
        Window.SetSpan(THistorySpan::All);
        EXPECT_TRUE(Window.WaitForReading());
        const QString Csv = Dir.path() + QLatin1Char('/') + Name;
        TzsFileDialog::SetNextFileName(Csv);
        EXPECT_TRUE(Window.ExportShown());
        std::ifstream Written(Csv.toStdString(), std::ios::binary);
        const std::string FromWindow(std::istreambuf_iterator<char>(Written), {});
        EXPECT_EQ(FromWindow, Out.str());
        return Out.str();
    };
    const std::string C = Export(QStringLiteral("c.csv"));
    ::setenv("LOCPATH", Locales.toLocal8Bit().constData(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    char Probe[16];
    std::snprintf(Probe, sizeof Probe, "%.1f", 10.5);
    const std::string Comma = Probe;
    const std::string German = Export(QStringLiteral("de.csv"));
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(Comma, "10,5");
    EXPECT_EQ(German, C);
    EXPECT_EQ(C, "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n"
                 "2024-05-01T10:00:00+00:00,2024-05-01T10:00:00Z,10.5,100\r\n"
                 "2024-05-01T10:05:00+00:00,2024-05-01T10:05:00Z,92.267,92.27\r\n"
                 "2024-05-01T10:10:00+00:00,2024-05-01T10:10:00Z,0.333,33.33\r\n"
                 "2024-05-01T10:15:00+00:00,2024-05-01T10:15:00Z,,0\r\n"
                 "2024-05-01T10:20:00+00:00,2024-05-01T10:20:00Z,7,99.5\r\n");
}

} // namespace

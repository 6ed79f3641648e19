// Reading log files back and exporting them: the record bytes as the monitor writes them, files
// damaged in each way the reader must survive, the local-time rules across daylight-saving
// changes, and the command line's answers. Time zones are POSIX rules set in TZ, so no time
// zone database is needed.
#include "damaged_logs.h"
#include "program_run.h"
#include "uHistoryCommandLine.h"
#include "uPingLogHistory.h"
#include "zsPingLog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Central European time: +01:00, and +02:00 from the last Sunday of March, 02:00, to the last
// Sunday of October, 03:00.
constexpr const char* Berlin = "CET-1CEST,M3.5.0,M10.5.0/3";

class TTimeZone {
public:
    explicit TTimeZone(const char* Rule) {
        if (const char* Old = std::getenv("TZ")) {
            FOld = Old;
            FHadOld = true;
        }
        ::setenv("TZ", Rule, 1);
        ::tzset();
    }
    ~TTimeZone() {
        FHadOld ? ::setenv("TZ", FOld.c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string FOld;
    bool FHadOld = false;
};

// A wall-clock reading as the monitor stores it: local days since 1899-12-30.
double LocalDays(int Year, int Month, int Day, int Hour, int Minute, int Second = 0) {
    std::tm Parts{};
    Parts.tm_year = Year - 1900;
    Parts.tm_mon = Month - 1;
    Parts.tm_mday = Day;
    Parts.tm_hour = Hour;
    Parts.tm_min = Minute;
    Parts.tm_sec = Second;
    return 25569.0 + double(timegm(&Parts)) / 86400.0;
}

struct TRecord {
    double Time;
    float Trip;
    float Uptime;
};

std::string Bytes(const std::vector<TRecord>& Records) {
    std::string Out;
    std::int32_t Number = 0;
    for (const TRecord& R : Records) {
        TPingLogRecord Record;
        Record.RecNo = Number++;
        Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
        Record.MeanTime = R.Time;
        Record.AvgTrip = R.Trip;
        Record.UptimePct = R.Uptime;
        const auto Encoded = EncodePingLogRecord(Record);
        Out.append(reinterpret_cast<const char*>(Encoded.data()), Encoded.size());
    }
    return Out;
}

class HistoryTest : public ::testing::Test {
protected:
    std::string Path(const std::string& Name) const {
        return Dir.path().toStdString() + "/" + Name;
    }
    std::string Put(const std::string& Name, const std::string& Content) const {
        std::ofstream(Path(Name), std::ios::binary) << Content;
        return Path(Name);
    }
    void Append(const std::string& Name, const std::string& Content) const {
        std::ofstream(Path(Name), std::ios::binary | std::ios::app) << Content;
    }
    QTemporaryDir Dir;
};

TEST_F(HistoryTest, TheBytesOfTwoRecordsReadAsWritten) {
    const TTimeZone Zone("UTC0");
    // 2024-01-15 12:00, 7 ms at 67 %, then five minutes later an interval that failed.
    const std::array<unsigned char, 48> Seed{
        0x00, 0x00, 0x00, 0x00, 0xf0, 0xf0, 0xf0, 0xf0, 0x00, 0x00, 0x00, 0x00,
        0x50, 0x1f, 0xe6, 0x40, 0x00, 0x00, 0xe0, 0x40, 0x00, 0x00, 0x86, 0x42,
        0x01, 0x00, 0x00, 0x00, 0xf0, 0xf0, 0xf0, 0xf0, 0x1c, 0xc7, 0x71, 0x1c,
        0x50, 0x1f, 0xe6, 0x40, 0x00, 0x00, 0x80, 0xbf, 0x00, 0x00, 0x00, 0x00};
    TPingLogHistory History;
    EXPECT_TRUE(History.ReadFrom(Put("seed.pin", std::string(Seed.begin(), Seed.end()))));
    ASSERT_EQ(History.Records().size(), 2u);
    EXPECT_EQ(History.Problem(), TPingLogHistory::TProblem::None);
    const THistoryRecord& First = History.Records()[0];
    EXPECT_EQ(First.RecNo, 0);
    EXPECT_EQ(IsoUtcTime(First.UnixSeconds), "2024-01-15T12:00:00Z");
    EXPECT_EQ(First.AvgTrip, 7.0f);
    EXPECT_EQ(First.UptimePct, 67.0f);
    EXPECT_FALSE(First.Failed());
    const THistoryRecord& Second = History.Records()[1];
    EXPECT_EQ(Second.RecNo, 1);
    EXPECT_EQ(Second.UnixSeconds - First.UnixSeconds, 300);
    EXPECT_TRUE(Second.Failed());
    // Nothing new: nothing read again.
    EXPECT_FALSE(History.ReadFrom(Path("seed.pin")));
    EXPECT_EQ(History.Records().size(), 2u);
}

TEST_F(HistoryTest, DamagedFilesAreReadUpToWhatIsSoundAndSaySo) {
    const TTimeZone Zone("UTC0");
    const double T = LocalDays(2024, 5, 1, 10, 0);
    const std::string Three =
        Bytes({{T, 10, 100}, {T + 300 / 86400.0, 11, 100}, {T + 600 / 86400.0, 12, 100}});
    std::string BadMarker = Three;
    BadMarker[24 + 5] = 0x00;
    std::string Backwards = Bytes({{T, 10, 100}, {T - 3 / 24.0, 11, 100}, {T, 12, 100}});
    using TProblem = TPingLogHistory::TProblem;
    struct TCase {
        const char* Name;
        std::string Content;
        std::size_t Records;
        TProblem Problem;
        const char* Text;
    };
    const TCase Cases[] = {
        {"empty", "", 0, TProblem::None, ""},
        {"whole", Three, 3, TProblem::None, ""},
        {"torn tail", Three + std::string(10, '\x01'), 3, TProblem::TornTail, "incomplete"},
        {"bad marker", BadMarker, 1, TProblem::BadMarker, "Read up to record 2, which is damaged"},
        {"out of order", Backwards, 1, TProblem::OutOfOrder, "record 2, which is out of order"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const std::string File = Put(std::string(Case.Name) + ".pin", Case.Content);
        struct stat Before {};
        ASSERT_EQ(::stat(File.c_str(), &Before), 0);
        TPingLogHistory History;
        History.ReadFrom(File);
        EXPECT_EQ(History.Records().size(), Case.Records);
        EXPECT_EQ(History.Problem(), Case.Problem);
        EXPECT_NE(History.ProblemText().find(Case.Text), std::string::npos)
            << History.ProblemText();
        // The reader never writes.
        struct stat After {};
        ASSERT_EQ(::stat(File.c_str(), &After), 0);
        EXPECT_EQ(After.st_size, Before.st_size);
        EXPECT_EQ(After.st_mtim.tv_nsec, Before.st_mtim.tv_nsec);
    }
    TPingLogHistory Missing;
    Missing.ReadFrom(Path("none.pin"));
    EXPECT_EQ(Missing.Problem(), TProblem::Missing);
    TPingLogHistory Folder;
    Folder.ReadFrom(Dir.path().toStdString());
    EXPECT_EQ(Folder.Problem(), TProblem::Unreadable);
}

TEST_F(HistoryTest, AFileThatGrowsIsFollowedAndATornRecordReadOnceWhole) {
    const TTimeZone Zone("UTC0");
    const double T = LocalDays(2024, 5, 1, 10, 0);
    const std::string Record2 = Bytes({{T, 1, 100}, {T + 300 / 86400.0, 2, 100}}).substr(24);
    TPingLogHistory History;
    History.ReadFrom(Put("grow.pin", Bytes({{T, 1, 100}})));
    ASSERT_EQ(History.Records().size(), 1u);
    Append("grow.pin", Record2.substr(0, 10));
    EXPECT_FALSE(History.ReadFrom(Path("grow.pin")));
    EXPECT_EQ(History.Problem(), TPingLogHistory::TProblem::TornTail);
    Append("grow.pin", Record2.substr(10));
    EXPECT_TRUE(History.ReadFrom(Path("grow.pin")));
    EXPECT_EQ(History.Records().size(), 2u);
    EXPECT_EQ(History.Problem(), TPingLogHistory::TProblem::None);
    // Replaced by a shorter file: read from its start.
    Put("grow.pin", Bytes({{T + 1, 5, 50}}));
    EXPECT_TRUE(History.ReadFrom(Path("grow.pin")));
    ASSERT_EQ(History.Records().size(), 1u);
    EXPECT_EQ(History.Records()[0].AvgTrip, 5.0f);
}

TEST_F(HistoryTest, AYearOfRecordsReadsWhole) {
    const TTimeZone Zone(Berlin);
    // Every five minutes of 2024 as a monitor's clock reads them.
    std::vector<TRecord> Year;
    const std::time_t Start = 1704067350; // 2024-01-01T00:02:30Z
    for (int I = 0; I < 105120; ++I) {
        const std::time_t At = Start + std::time_t(I) * 300;
        std::tm Local{};
        localtime_r(&At, &Local);
        Year.push_back({LocalDays(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday,
                                  Local.tm_hour, Local.tm_min, Local.tm_sec),
                        float(I % 40), float(100 - I % 3)});
    }
    TPingLogHistory History;
    History.ReadFrom(Put("year.pin", Bytes(Year)));
    // Local readings repeat in October's extra hour and skip in March's missing one; neither
    // is taken for damage.
    EXPECT_EQ(History.Problem(), TPingLogHistory::TProblem::None) << History.ProblemText();
    ASSERT_EQ(History.Records().size(), 105120u);
    for (std::size_t I = 1; I < History.Records().size(); ++I) {
        ASSERT_EQ(History.Records()[I].UnixSeconds - History.Records()[I - 1].UnixSeconds, 300)
            << I;
    }
}

TEST_F(HistoryTest, CsvAcrossBothDaylightSavingChangesIsExact) {
    const TTimeZone Zone(Berlin);
    const std::string File = Put("dst.pin", Bytes({
                                                {LocalDays(2024, 3, 31, 1, 55), 12, 100},
                                                {LocalDays(2024, 3, 31, 3, 5), -1, 0},
                                                {LocalDays(2024, 10, 27, 2, 30), 7, 67},
                                                {LocalDays(2024, 10, 27, 2, 55), 8, 100},
                                                // The hour again, after the clocks went back.
                                                {LocalDays(2024, 10, 27, 2, 20), 9, 100},
                                                {LocalDays(2024, 10, 27, 3, 10), 10.5f, 99},
                                            }));
    TPingLogHistory History;
    History.ReadFrom(File);
    std::ostringstream Csv;
    WriteHistoryCsv(Csv, History.Records());
    EXPECT_EQ(Csv.str(), "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n"
                         "2024-03-31T01:55:00+01:00,2024-03-31T00:55:00Z,12,100\r\n"
                         "2024-03-31T03:05:00+02:00,2024-03-31T01:05:00Z,,0\r\n"
                         "2024-10-27T02:30:00+02:00,2024-10-27T00:30:00Z,7,67\r\n"
                         "2024-10-27T02:55:00+02:00,2024-10-27T00:55:00Z,8,100\r\n"
                         "2024-10-27T02:20:00+01:00,2024-10-27T01:20:00Z,9,100\r\n"
                         "2024-10-27T03:10:00+01:00,2024-10-27T02:10:00Z,10.5,99\r\n");
    // A span in local time; a bare date as the end means its whole day.
    std::int64_t From = 0, To = 0;
    ASSERT_TRUE(ParseHistoryDate("2024-10-27T02:40", false, From));
    ASSERT_TRUE(ParseHistoryDate("2024-10-27", true, To));
    std::ostringstream Part;
    WriteHistoryCsv(Part, History.Records(), From, To);
    EXPECT_EQ(Part.str(), "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n"
                          "2024-10-27T02:55:00+02:00,2024-10-27T00:55:00Z,8,100\r\n"
                          "2024-10-27T02:20:00+01:00,2024-10-27T01:20:00Z,9,100\r\n"
                          "2024-10-27T03:10:00+01:00,2024-10-27T02:10:00Z,10.5,99\r\n");
}

TEST(HistoryDates, OnlyRealDatesInTheThreeFormsAreTaken) {
    const TTimeZone Zone("UTC0");
    struct TCase {
        const char* Text;
        bool Valid;
        const char* Utc;
    };
    const TCase Cases[] = {
        {"2024-02-29", true, "2024-02-29T00:00:00Z"},
        {"2024-02-29T13:45", true, "2024-02-29T13:45:00Z"},
        {"2024-02-29 13:45:10", true, "2024-02-29T13:45:10Z"},
        {"2023-02-29", false, ""},
        {"2024-13-01", false, ""},
        {"2024-01-01T24:00", false, ""},
        {"2024-1-1", false, ""},
        {"yesterday", false, ""},
        {"", false, ""},
        {"+024-01-01", false, ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        std::int64_t At = 0;
        EXPECT_EQ(ParseHistoryDate(Case.Text, false, At), Case.Valid);
        if (Case.Valid) {
            EXPECT_EQ(IsoUtcTime(At), Case.Utc);
        }
    }
    std::int64_t End = 0;
    ASSERT_TRUE(ParseHistoryDate("2024-02-29", true, End));
    EXPECT_EQ(IsoUtcTime(End), "2024-02-29T23:59:59Z");
}

struct TRun {
    int Code;
    std::string Out;
    std::string Err;
};

TRun RunVantorel(std::vector<std::string> Arguments) {
    Arguments.insert(Arguments.begin(), "vantorel");
    std::vector<char*> Argv;
    for (std::string& Argument : Arguments) {
        Argv.push_back(Argument.data());
    }
    Argv.push_back(nullptr);
    std::ostringstream Out, Err;
    EXPECT_TRUE(IsCommandLineRequest(int(Arguments.size()), Argv.data()));
    const int Code = RunCommandLine(int(Arguments.size()), Argv.data(), Out, Err);
    return {Code, Out.str(), Err.str()};
}

TEST_F(HistoryTest, TheCommandLineAnswersWithExitCodesAndMessages) {
    const TTimeZone Zone("UTC0");
    const double T = LocalDays(2024, 5, 1, 10, 0);
    const std::string Log = Put("host.pin", Bytes({{T, 3, 100}, {T + 1, 4, 100}}));
    const std::string Torn = Put("torn.pin", Bytes({{T, 3, 100}}) + "abc");
    std::string Damaged = Bytes({{T, 3, 100}, {T + 1, 4, 100}});
    Damaged[28] = 0;
    const std::string Bad = Put("bad.pin", Damaged);
    const std::string Header = "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n";
    const std::string Row1 = "2024-05-01T10:00:00+00:00,2024-05-01T10:00:00Z,3,100\r\n";
    const std::string Row2 = "2024-05-02T10:00:00+00:00,2024-05-02T10:00:00Z,4,100\r\n";
    struct TCase {
        std::vector<std::string> Arguments;
        int Code;
        std::string Out;
        const char* Err;
    };
    const TCase Cases[] = {
        {{"--export-log", Log}, 0, Header + Row1 + Row2, ""},
        {{"--export-log", Log, "--from", "2024-05-02"}, 0, Header + Row2, ""},
        {{"--export-log", Log, "--to", "2024-05-01"}, 0, Header + Row1, ""},
        {{"--export-log", Torn}, 0, Header + Row1, "incomplete"},
        {{"--export-log", Bad}, 1, Header + Row1, "damaged"},
        {{"--export-log", Path("missing.pin")}, 1, "", "cannot read"},
        {{"--export-log", Dir.path().toStdString()}, 1, "", "Is a directory"},
        {{"--export-log", Log, "--from", "2024-02-30"}, 2, "", "is not a date"},
        {{"--export-log", Log, "--to"}, 2, "", "needs a value"},
        {{"--export-log", Log, "--frobnicate"}, 2, "", "unknown option"},
        {{"--version"}, 0, "Vantorel " VANTOREL_VERSION_TEXT "\n", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Arguments.back());
        const TRun Result = RunVantorel(Case.Arguments);
        EXPECT_EQ(Result.Code, Case.Code);
        EXPECT_EQ(Result.Out, Case.Out);
        EXPECT_NE(Result.Err.find(Case.Err), std::string::npos) << Result.Err;
        if (*Case.Err == 0) {
            EXPECT_EQ(Result.Err, "");
        }
    }
    const TRun Help = RunVantorel({"--help"});
    EXPECT_EQ(Help.Code, 0);
    EXPECT_NE(Help.Out.find("--export-log FILE.pin [--from DATE] [--to DATE] [-o OUT.csv]"),
              std::string::npos);

    // To a file: written whole; a folder that cannot take it is reported.
    EXPECT_EQ(RunVantorel({"--export-log", Log, "-o", Path("out.csv")}).Code, 0);
    std::ifstream Written(Path("out.csv"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Written), {}), Header + Row1 + Row2);
    const TRun NoFolder = RunVantorel({"--export-log", Log, "-o", Path("none/out.csv")});
    EXPECT_EQ(NoFolder.Code, 1);
    EXPECT_NE(NoFolder.Err.find("cannot write"), std::string::npos);
}

// Each kind of value out of range is skipped, counted and said on the error output, with the
// exit code of a log read only in part; the values at the edges of what a monitor writes pass.
TEST_F(HistoryTest, RecordsWithValuesOutOfRangeAreSkippedAndCounted) {
    const TTimeZone Zone("UTC0");
    const auto Rows = [](const std::string& Csv) {
        std::size_t Lines = 0;
        for (std::size_t At = Csv.find("\r\n"); At != std::string::npos;
             At = Csv.find("\r\n", At + 1)) {
            ++Lines;
        }
        return Lines - 1;
    };
    for (const damaged_logs::TValues& Case : damaged_logs::Cases()) {
        SCOPED_TRACE(Case.Name);
        const TRun Result =
            RunVantorel({"--export-log", Put("case.pin", damaged_logs::LogOf(Case))});
        EXPECT_EQ(Rows(Result.Out), Case.Skipped ? 2u : 3u) << Result.Out;
        EXPECT_EQ(Result.Code, Case.Skipped ? 1 : 0);
        if (Case.Skipped) {
            EXPECT_NE(Result.Err.find("1 record was skipped"), std::string::npos) << Result.Err;
        } else {
            EXPECT_EQ(Result.Err, "");
        }
        for (const char* Noise : {"inf", "nan", "e+", "e-", ",-0,"}) {
            EXPECT_EQ(Result.Out.find(Noise), std::string::npos) << Noise << " in " << Result.Out;
        }
        TPingLogHistory History;
        History.ReadFrom(Path("case.pin"));
        EXPECT_EQ(History.Skipped(), Case.Skipped ? 1u : 0u);
        EXPECT_EQ(History.Problem(), TPingLogHistory::TProblem::None);
    }
    int Skipped = 0;
    for (const damaged_logs::TValues& Case : damaged_logs::Cases()) {
        Skipped += Case.Skipped ? 1 : 0;
    }
    const TRun All = RunVantorel({"--export-log", Put("all.pin", damaged_logs::AllInOne())});
    EXPECT_EQ(All.Code, 1);
    EXPECT_NE(All.Err.find(std::to_string(Skipped) + " records were skipped"), std::string::npos)
        << All.Err;
    EXPECT_NE(All.Out.find("\r\n1900-01-01T00:00:00+00:00,1900-01-01T00:00:00Z,5,100\r\n"),
              std::string::npos);
    EXPECT_NE(All.Out.find("\r\n9999-12-31T23:45:36+00:00,9999-12-31T23:45:36Z,7,100\r\n"),
              std::string::npos);
    EXPECT_NE(All.Out.find(",10000,100\r\n"), std::string::npos);
    EXPECT_NE(All.Out.find(",-1,33\r\n"), std::string::npos);
    EXPECT_NE(All.Out.find(",,0\r\n"), std::string::npos);
}

// Numbers are rounded (round trip 3 decimals, uptime 2) and never carry float noise.
TEST(HistoryCsv, NumbersAreRoundedWithoutNoise) {
    struct TCase {
        double Value;
        int Decimals;
        const char* Text;
    };
    const TCase Cases[] = {
        {92.2673721, 2, "92.27"},
        {92.2673721, 3, "92.267"},
        {12, 3, "12"},
        {10.5, 3, "10.5"},
        {0.1f, 3, "0.1"},
        {-1, 3, "-1"},
        {-0.0001, 3, "0"},
        {100, 2, "100"},
        {99.999, 2, "100"},
        {0, 2, "0"},
        {10000, 3, "10000"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        std::string Out;
        THistoryCsv::Number(Case.Value, Case.Decimals, Out);
        EXPECT_EQ(Out, Case.Text);
    }
}

// Every number is the correctly rounded decimal of its value, trailing zeros dropped: checked
// against std::to_chars for values as logs hold them (floats) and for halves of the last place,
// where the rounding is decided.
TEST(HistoryCsv, NumbersAreCorrectlyRounded) {
    const auto Expected = [](double Value, int Decimals) {
        char Text[400];
        char* End =
            std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::fixed, Decimals).ptr;
        if (Decimals > 0) {
            while (End[-1] == '0') {
                --End;
            }
            if (End[-1] == '.') {
                --End;
            }
        }
        const std::string Shown(Text, End);
        return Shown == "-0" ? std::string("0") : Shown;
    };
    std::mt19937 Random(25);
    std::vector<double> Values;
    std::uniform_real_distribution<float> Trip(0, 70000), Uptime(0, 100);
    for (int I = 0; I < 200000; ++I) {
        Values.push_back(Trip(Random));
        Values.push_back(Uptime(Random));
    }
    for (int Half = 1; Half < 400000; Half += 2) {
        Values.push_back(Half / 2000.0);
        Values.push_back(float(Half / 2000.0));
        Values.push_back(Half / 200.0);
        Values.push_back(float(Half / 200.0));
        Values.push_back(std::nextafter(Half / 2000.0, 0.0));
        Values.push_back(std::nextafter(Half / 2000.0, 1e9));
    }
    for (const double Value : Values) {
        for (const int Decimals : {2, 3}) {
            std::string Out;
            THistoryCsv::Number(Value, Decimals, Out);
            ASSERT_EQ(Out, Expected(Value, Decimals)) << Value << " to " << Decimals;
        }
    }
}

#ifdef VANTOREL_PROGRAM
TEST_F(HistoryTest, TheProgramExportsWithoutADisplay) {
    const TTimeZone Zone("UTC0");
    const std::string Log = Put("host.pin", Bytes({{LocalDays(2024, 5, 1, 10, 0), 3, 100}}));
    const std::string Command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TZ=UTC0 '" +
                                std::string(VANTOREL_PROGRAM) + "' --export-log '" + Log +
                                "' -o '" + Path("out.csv") + "' 2>'" + Path("err.txt") + "'";
    const int Status = std::system(Command.c_str());
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    std::ifstream Written(Path("out.csv"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Written), {}),
              "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n"
              "2024-05-01T10:00:00+00:00,2024-05-01T10:00:00Z,3,100\r\n");
    const int Missing = std::system(("env -u DISPLAY '" + std::string(VANTOREL_PROGRAM) +
                                     "' --export-log '" + Path("none.pin") + "' 2>/dev/null")
                                        .c_str());
    EXPECT_EQ(WEXITSTATUS(Missing), 1);
}

// The command line's mistakes and the outputs it must not write, as the real program answers
// them without a display: the exit code, a line on the error output, and nothing touched.
TEST_F(HistoryTest, TheProgramRefusesWrongCommandLinesAndOutputsThatAreNotItsFile) {
    const TTimeZone Zone("UTC0");
    const std::string Log = Put("host.pin", Bytes({{LocalDays(2024, 5, 1, 10, 0), 3, 100}}));
    const std::string Csv = "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n"
                            "2024-05-01T10:00:00+00:00,2024-05-01T10:00:00Z,3,100\r\n";
    ASSERT_EQ(::mkdir(Path("sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(Log.c_str(), Path("link-to-log.pin").c_str()), 0);
    ASSERT_EQ(::link(Log.c_str(), Path("hard-link.pin").c_str()), 0);
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    // A device node of the test's own where it may make one; /dev/null, which no one else may
    // replace, elsewhere.
    const bool Root = ::geteuid() == 0;
    const std::string Device =
        Root && ::mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? Path("null")
                                                                                  : "/dev/null";
    const std::string Out = Path("out.csv");
    struct TCase {
        std::vector<std::string> Arguments;
        int Code;
        const char* Err;
    };
    const TCase Cases[] = {
        {{"--from", "2024-05-01"}, 2, "--from, --to and -o go with --export-log"},
        {{"--to", "2024-05-01"}, 2, "--from, --to and -o go with --export-log"},
        {{"-o", Out}, 2, "--from, --to and -o go with --export-log"},
        {{"--from", "2024-05-01", "--to", "2024-05-02", "-o", Out}, 2, "go with --export-log"},
        {{"--export-log", Log, "--from", "2024-05-02", "--to", "2024-05-01"},
         2,
         "--from is after --to"},
        {{"--export-log", Log, "--from", "2024-05-01T10:00:01", "--to", "2024-05-01T10:00"},
         2,
         "--from is after --to"},
        {{"--export-log", Log, "-o", Log}, 2, "names the log file itself"},
        {{"--export-log", Log, "-o", Path("sub/../host.pin")}, 2, "names the log file itself"},
        {{"--export-log", Log, "-o", Path("link-to-log.pin")}, 2, "names the log file itself"},
        {{"--export-log", Log, "-o", Path("hard-link.pin")}, 2, "names the log file itself"},
        {{"--export-log", Path("link-to-log.pin"), "-o", Log}, 2, "names the log file itself"},
        {{"--export-log", Log, "-o", Path("sub")}, 1, "it is a folder"},
        {{"--export-log", Log, "-o", Path("fifo")}, 1, "it is a pipe (FIFO)"},
        {{"--export-log", Log, "-o", Device}, 1, "it is a device"},
        {{"--export-log", Log, "--frobnicate"}, 2, "unknown option '--frobnicate'"},
        {{"--export-log", Log, "--to"}, 2, "option '--to' needs a value"},
    };
    const auto Kind = [](const std::string& Name) {
        struct stat Info {};
        return ::lstat(Name.c_str(), &Info) == 0 ? Info.st_mode & S_IFMT : 0;
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Arguments.back());
        const program_run::TResult Result =
            program_run::Run(VANTOREL_PROGRAM, Case.Arguments, Path("sub"), {"TZ=UTC0"});
        EXPECT_EQ(Result.Code, Case.Code) << Result.Err;
        EXPECT_EQ(Result.Err.rfind("vantorel: ", 0), 0u) << Result.Err;
        EXPECT_NE(Result.Err.find(Case.Err), std::string::npos) << Result.Err;
        EXPECT_EQ(Result.Out, "");
        // Nothing written, nothing replaced.
        EXPECT_EQ(Kind(Out), 0u);
        std::ifstream Still(Log, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Still), {}).size(), 24u);
        EXPECT_EQ(Kind(Log), unsigned(S_IFREG));
        EXPECT_EQ(Kind(Path("link-to-log.pin")), unsigned(S_IFLNK));
        EXPECT_EQ(Kind(Path("fifo")), unsigned(S_IFIFO));
        EXPECT_EQ(Kind(Device), unsigned(S_IFCHR));
        EXPECT_EQ(Kind(Path("sub")), unsigned(S_IFDIR));
    }

    // The standard output: "-o -" or no -o; a failed write there is an error.
    for (const std::vector<std::string>& Arguments :
         {std::vector<std::string>{"--export-log", Log},
          std::vector<std::string>{"--export-log", Log, "-o", "-"}}) {
        const program_run::TResult Result =
            program_run::Run(VANTOREL_PROGRAM, Arguments, Path("sub"), {"TZ=UTC0"});
        EXPECT_EQ(Result.Code, 0) << Result.Err;
        EXPECT_EQ(Result.Out, Csv);
        EXPECT_EQ(Result.Err, "");
        const program_run::TResult Full =
            program_run::Run(VANTOREL_PROGRAM, Arguments, Path("sub"), {"TZ=UTC0"}, "/dev/full");
        EXPECT_EQ(Full.Code, 1);
        EXPECT_NE(Full.Err.find("vantorel: cannot write to the standard output: No space left"),
                  std::string::npos)
            << Full.Err;
    }

    // A symbolic link is written through: the link stays, its target (made when missing)
    // holds the CSV.
    ASSERT_EQ(::symlink("target.csv", Path("link.csv").c_str()), 0);
    const program_run::TResult Linked = program_run::Run(
        VANTOREL_PROGRAM, {"--export-log", Log, "-o", Path("link.csv")}, Path("sub"), {"TZ=UTC0"});
    EXPECT_EQ(Linked.Code, 0) << Linked.Err;
    EXPECT_EQ(Kind(Path("link.csv")), unsigned(S_IFLNK));
    std::ifstream Target(Path("target.csv"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Target), {}), Csv);
}

// The export streams: a log of 400,000 records (9.6 MB, 30 MB of CSV) costs the program a few
// MiB beyond what it needs to start, not the size of the records or of the CSV.
TEST_F(HistoryTest, TheProgramStreamsALongLog) {
    const TTimeZone Zone("UTC0");
    std::string Log;
    Log.reserve(400000 * PING_LOG_RECORD_SIZE);
    for (int I = 0; I < 400000; ++I) {
        damaged_logs::Put(Log, damaged_logs::May2024 + I / 288.0, 10 + I % 90 + 0.25 * (I % 4),
                          I % 50 == 0 ? 92.2673721 : 100);
    }
    const std::string File = Put("long.pin", Log);
    Log.clear();
    Log.shrink_to_fit();
    const program_run::TResult Start =
        program_run::Run(VANTOREL_PROGRAM, {"--version"}, Path(""), {"TZ=UTC0"});
    ASSERT_EQ(Start.Code, 0);
    const program_run::TResult Export = program_run::Run(
        VANTOREL_PROGRAM, {"--export-log", File, "-o", Path("long.csv")}, Path(""), {"TZ=UTC0"});
    ASSERT_EQ(Export.Code, 0) << Export.Err;
    std::ifstream Csv(Path("long.csv"), std::ios::binary);
    std::string Line;
    std::size_t Rows = 0;
    std::string Last;
    while (std::getline(Csv, Line)) {
        ++Rows;
        Last = Line;
    }
    EXPECT_EQ(Rows, 400001u);
    EXPECT_EQ(Last, "2028-02-19T07:15:00+00:00,2028-02-19T07:15:00Z,49.75,100\r");
    EXPECT_LT(Export.MaxRssKiB - Start.MaxRssKiB, 12 * 1024)
        << "started in " << Start.MaxRssKiB << " KiB, exported in " << Export.MaxRssKiB;
}

// An export killed while it writes leaves its temporary file beside the target and the target
// as it was; the next export that writes in that folder removes it.
TEST_F(HistoryTest, TemporariesOfAKilledExportAreRemovedByTheNextExport) {
    const TTimeZone Zone("UTC0");
    std::string Log;
    for (int I = 0; I < 1000000; ++I) {
        damaged_logs::Put(Log, damaged_logs::May2024 + I / 288.0, 10 + I % 90, 100);
    }
    const std::string File = Put("big.pin", Log);
    Log = std::string();
    ASSERT_EQ(::mkdir(Path("out").c_str(), 0700), 0);
    const std::string Out = Path("out/big.csv");
    Put("out/big.csv", "the previous export\r\n");
    const auto Temporaries = [&] {
        std::vector<std::string> Found;
        QDir Folder(QString::fromStdString(Path("out")));
        for (const QString& Name : Folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            if (Name.contains(QStringLiteral(".vantorel-tmp-"))) {
                Found.push_back(Name.toStdString());
            }
        }
        return Found;
    };
    int Killed = 0;
    for (int Round = 0; Round < 3; ++Round) {
        const std::vector<std::string> Before = Temporaries();
        std::string Program = VANTOREL_PROGRAM, Option = "--export-log", In = File, O = "-o",
                    Target = Out;
        char* Argv[] = {Program.data(), Option.data(), In.data(), O.data(), Target.data(), nullptr};
        pid_t Child = 0;
        ASSERT_EQ(posix_spawn(&Child, Program.c_str(), nullptr, nullptr, Argv, environ), 0);
        // Killed once its own temporary holds part of the CSV.
        for (int Wait = 0; Wait < 20000; ++Wait) {
            bool Writing = false;
            for (const std::string& Name : Temporaries()) {
                struct stat Info {};
                Writing = Writing ||
                          (std::find(Before.begin(), Before.end(), Name) == Before.end() &&
                           ::stat((Path("out/") + Name).c_str(), &Info) == 0 && Info.st_size > 0);
            }
            int Ended = 0;
            if (Writing || ::waitpid(Child, &Ended, WNOHANG) == Child) {
                Child = Writing ? Child : -1;
                break;
            }
            ::usleep(500);
        }
        ASSERT_GT(Child, 0) << "the export ended before it could be killed";
        ::kill(Child, SIGKILL);
        int Status = 0;
        ::waitpid(Child, &Status, 0);
        Killed += WIFSIGNALED(Status) ? 1 : 0;
        // Its temporary stays (the one of the export killed before it is gone) and the
        // previous CSV is untouched.
        EXPECT_EQ(Temporaries().size(), 1u);
        std::ifstream Previous(Out, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Previous), {}),
                  "the previous export\r\n");
    }
    ASSERT_EQ(Killed, 3) << "the export ended before it could be killed";
    // The next export there, to another name, clears it and writes whole.
    const program_run::TResult Next = program_run::Run(
        VANTOREL_PROGRAM,
        {"--export-log", Put("small.pin", Bytes({{LocalDays(2024, 5, 1, 10, 0), 3, 100}})), "-o",
         Path("out/small.csv")},
        Path(""), {"TZ=UTC0"});
    EXPECT_EQ(Next.Code, 0) << Next.Err;
    EXPECT_TRUE(Temporaries().empty());
    std::ifstream Previous(Out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(Previous), {}), "the previous export\r\n");
}
#endif

} // namespace

// Reading log files back and exporting them: the record bytes as the monitor writes them, files
// damaged in each way the reader must survive, the local-time rules across daylight-saving
// changes, and the command line's answers. Time zones are POSIX rules set in TZ, so no time
// zone database is needed.
#include "uHistoryCommandLine.h"
#include "uPingLogHistory.h"
#include "zsPingLog.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <array>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
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
#endif

} // namespace

// The path report's three forms, from a run written by hand: the columns and their order, every
// number with a decimal point and no grouping whatever the locale, several addresses at a hop,
// a hop that never answered, and a hop that only limits its replies.
#include "uPathCommandLine.h"

#include <gtest/gtest.h>

#include <locale>
#include <sstream>

namespace {

TPathProbeAnswer Expired(const char* Router, std::uint32_t Ms) {
    return {IP_TTL_EXPIRED_TRANSIT, TPathAddress::Parse(Router), Ms};
}

// 1500 rounds: hop 1 balances between two routers, hop 2 answers every other round only, hop 3
// (the destination) always.
TPathReport HandMadeRun() {
    TPathTracker Tracker;
    for (int R = 0; R < 1500; ++R)
        Tracker.AddRound({Expired(R % 2 ? "192.0.2.11" : "192.0.2.1", 2),
                          R % 2 ? TPathProbeAnswer{} : Expired("192.0.2.2", 4),
                          {IP_SUCCESS, TPathAddress::Parse("192.0.2.9"), 6}},
                         R * 1000);
    TPathReport Report;
    Report.Target = "far.example";
    Report.Address = "192.0.2.9";
    Report.IntervalSeconds = 1;
    Report.Snapshot = Tracker.Snapshot();
    Report.Rounds = Report.Snapshot.Rounds;
    return Report;
}

std::string Named(const TPathAddress& A) {
    return A.Text() == "192.0.2.1" ? "gw.example" : "";
}

// A locale that writes 1234.5 as "1.234,5".
struct TCommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

class PathReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        Saved = std::locale::global(std::locale(std::locale::classic(), new TCommaDecimal));
    }
    void TearDown() override { std::locale::global(Saved); }
    std::locale Saved;
};

} // namespace

TEST_F(PathReportTest, Csv) {
    const std::string Csv = FormatPathReport(HandMadeRun(), TPathFormat::Csv, Named);
    EXPECT_EQ(Csv, "hop,address,name,sent,loss_percent,last_ms,avg_ms,best_ms,worst_ms,stdev_ms\r\n"
                   "1,192.0.2.1 192.0.2.11,gw.example ,1500,0.0,2.0,2.0,2.0,2.0,0.0\r\n"
                   "2,192.0.2.2,,1500,50.0,4.0,4.0,4.0,4.0,0.0\r\n"
                   "3,192.0.2.9,,1500,0.0,6.0,6.0,6.0,6.0,0.0\r\n");
    EXPECT_EQ(std::string(PathCsvHeader),
              "hop,address,name,sent,loss_percent,last_ms,avg_ms,best_ms,worst_ms,stdev_ms");
}

TEST_F(PathReportTest, TextShowsEveryAddressAndTheHopThatLimitsItsReplies) {
    TPathReport Report = HandMadeRun();
    const std::string Text = FormatPathReport(Report, TPathFormat::Text, Named);
    EXPECT_NE(Text.find("Path to far.example (192.0.2.9): 1500 rounds, one every 1.00 s\n"),
              std::string::npos)
        << Text;
    EXPECT_NE(Text.find("  1  gw.example (192.0.2.1)"), std::string::npos) << Text;
    EXPECT_NE(Text.find("\n     192.0.2.11\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("limits its replies: 50.0% unanswered here, 0.0% lost at hop 3"),
              std::string::npos)
        << Text;
    EXPECT_EQ(Text.find("The path changed"), std::string::npos);
    EXPECT_EQ(Text.find("1.500"), std::string::npos) << Text;
    EXPECT_EQ(Text.find("0,0"), std::string::npos) << Text;

    // A hop that never answered, and a destination that never did.
    TPathTracker Silent;
    for (int R = 0; R < 3; ++R)
        Silent.AddRound({Expired("192.0.2.1", 1), {}, {}}, R);
    Report.Snapshot = Silent.Snapshot();
    const std::string Quiet = FormatPathReport(Report, TPathFormat::Text, Named);
    EXPECT_NE(Quiet.find("  2  ???"), std::string::npos) << Quiet;
    EXPECT_NE(Quiet.find("100.0"), std::string::npos) << Quiet;
    EXPECT_NE(Quiet.find("The destination did not answer."), std::string::npos) << Quiet;
}

TEST_F(PathReportTest, Json) {
    const std::string Json = FormatPathReport(HandMadeRun(), TPathFormat::Json, Named);
    EXPECT_EQ(Json.rfind("{\"target\":\"far.example\",\"address\":\"192.0.2.9\",\"rounds\":1500,"
                         "\"interval_s\":1.000,\"destination_reached\":true,\"path_changes\":0,",
                         0),
              0U)
        << Json;
    EXPECT_NE(Json.find("{\"hop\":1,\"addresses\":[{\"address\":\"192.0.2.1\",\"name\":"
                        "\"gw.example\",\"answers\":750},{\"address\":\"192.0.2.11\",\"name\":"
                        "\"\",\"answers\":750}],\"sent\":1500,\"received\":1500,"
                        "\"loss_percent\":0.0,\"last_ms\":2.0,"),
              std::string::npos)
        << Json;
    EXPECT_NE(Json.find("\"hop\":2,"), std::string::npos);
    EXPECT_NE(Json.find("\"limits_replies\":true,\"loss_on_the_way_percent\":0.0}"),
              std::string::npos)
        << Json;

    TPathReport Empty = HandMadeRun();
    Empty.Target = "a\"b\\c";
    TPathTracker Silent;
    Silent.AddRound({{}}, 0);
    Empty.Snapshot = Silent.Snapshot();
    const std::string Quiet = FormatPathReport(Empty, TPathFormat::Json, Named);
    EXPECT_NE(Quiet.find("\"target\":\"a\\\"b\\\\c\""), std::string::npos) << Quiet;
    EXPECT_NE(Quiet.find("\"last_ms\":null"), std::string::npos) << Quiet;
}

// Wrong command lines exit with 2 before anything is sent; an unresolvable host with 1.
TEST(PathCommandLine, Errors) {
    struct Case {
        std::vector<const char*> Arguments;
        int Exit;
        const char* Message;
    };
    const Case Cases[] = {
        {{"--path"}, 2, "option '--path' needs a value"},
        {{"--path", ""}, 2, "--path needs a host"},
        {{"--path", "localhost", "--count", "0"}, 2, "'0' is not a count of rounds"},
        {{"--path", "localhost", "--count", "3x"}, 2, "'3x' is not a count"},
        {{"--path", "localhost", "--interval", "0.01"}, 2, "'0.01' is not an interval"},
        {{"--path", "localhost", "--interval", "1,5"}, 2, "'1,5' is not an interval"},
        {{"--path", "localhost", "--format", "xml"}, 2, "'xml' is not a format"},
        {{"--path", "localhost", "--fast"}, 2, "unknown option '--fast'"},
        {{"--path", "no such host", "--count", "1"}, 1, "cannot resolve no such host"},
        {{"--path", "bad..name"}, 1, "cannot resolve bad..name"},
    };
    for (const Case& C : Cases) {
        std::vector<char*> Argv{const_cast<char*>("vantorel")};
        for (const char* A : C.Arguments)
            Argv.push_back(const_cast<char*>(A));
        SCOPED_TRACE(C.Message);
        ASSERT_TRUE(IsPathRequest(int(Argv.size()), Argv.data()));
        std::ostringstream Out, Err;
        EXPECT_EQ(RunPathCommandLine(int(Argv.size()), Argv.data(), Out, Err), C.Exit);
        EXPECT_NE(Err.str().find(C.Message), std::string::npos) << Err.str();
        EXPECT_EQ(Out.str(), "");
    }
    char* Help[] = {const_cast<char*>("vantorel"), const_cast<char*>("--path"),
                    const_cast<char*>("x"), const_cast<char*>("--help")};
    std::ostringstream Out, Err;
    EXPECT_EQ(RunPathCommandLine(4, Help, Out, Err), 0);
    EXPECT_NE(Out.str().find("Usage: vantorel --path HOST"), std::string::npos);
}

// Four rounds to loopback through the real echo service: one hop, the destination.
TEST(PathCommandLine, LoopbackCsv) {
    char* Argv[] = {const_cast<char*>("vantorel"),  const_cast<char*>("--path"),
                    const_cast<char*>("127.0.0.1"), const_cast<char*>("--count"),
                    const_cast<char*>("4"),         const_cast<char*>("--interval"),
                    const_cast<char*>("0.05"),      const_cast<char*>("--format"),
                    const_cast<char*>("csv")};
    std::ostringstream Out, Err;
    const int Exit = RunPathCommandLine(9, Argv, Out, Err);
    if (Exit == 1 && Err.str().find("cannot send ping requests") != std::string::npos)
        GTEST_SKIP() << "no ICMP socket allowed here";
    ASSERT_EQ(Exit, 0) << Err.str();
    // 127.0.0.1 is named by the hosts file, without any query.
    EXPECT_EQ(Out.str().substr(0, Out.str().find("\r\n") + 2), std::string(PathCsvHeader) + "\r\n");
    EXPECT_NE(Out.str().find("\r\n1,127.0.0.1,"), std::string::npos) << Out.str();
    EXPECT_NE(Out.str().find(",4,0.0,"), std::string::npos) << Out.str();
}

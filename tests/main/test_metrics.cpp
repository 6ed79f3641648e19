// The metrics endpoint: what a scrape over loopback returns for the hub's monitors (labels,
// counters, the round-trip histogram, alert states, a monitor that goes), where it listens, and
// a port that is taken.
#include "../monitor/monitor_test_support.h"
#include "uMetricsEndpoint.h"
#include "uMonitorHub.h"
#include "uPingerSession.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

namespace {

constexpr TPingStatus HostUnreachable = 3; // "DEST_HOST_UNREACHABLE"

// The body of GET /metrics from 127.0.0.1:Port.
std::string Scrape(int Port) {
    const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(Fd, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(std::uint16_t(Port));
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        close(Fd);
        ADD_FAILURE() << "cannot connect to port " << Port;
        return {};
    }
    const std::string Request =
        "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(write(Fd, Request.data(), Request.size()), ssize_t(Request.size()));
    std::string Response;
    char Buffer[65536];
    for (ssize_t N; (N = read(Fd, Buffer, sizeof Buffer)) > 0;) {
        Response.append(Buffer, std::size_t(N));
    }
    close(Fd);
    const std::size_t Body = Response.find("\r\n\r\n");
    EXPECT_NE(Body, std::string::npos) << Response;
    EXPECT_EQ(Response.rfind("HTTP/1.1 200", 0), 0u) << Response.substr(0, 80);
    return Body == std::string::npos ? std::string() : Response.substr(Body + 4);
}

// The value of the one line that starts with Series (name and labels as exposed).
std::string Value(const std::string& Text, const std::string& Series) {
    std::size_t Pos = 0;
    while ((Pos = Text.find(Series + " ", Pos)) != std::string::npos) {
        if (Pos == 0 || Text[Pos - 1] == '\n') {
            const std::size_t End = Text.find('\n', Pos);
            return Text.substr(Pos + Series.size() + 1, End - Pos - Series.size() - 1);
        }
        ++Pos;
    }
    return "<absent>";
}

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Hub.SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        Endpoint = std::make_unique<TMetricsEndpoint>(Hub);
        Endpoint->Listen(TMetricsEndpoint::ParseListen(QStringLiteral("0")));
        ASSERT_GT(Endpoint->Port(), 0);
    }
    void TearDown() override { Endpoint.reset(); }

    void Result(const char* Target, int RoundTrip, TPingStatus Status = PING_STATUS_REQ_TIMED_OUT,
                const char* Address = "127.0.0.1") {
        TPingerSession* S = Hub.Find(QString::fromUtf8(Target));
        ASSERT_NE(S, nullptr) << Target;
        S->PingDone(MakeResult(*Clock, 0, RoundTrip, Status, Target, Address));
    }

    THeldLoops Loops;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TMonitorHub Hub;
    std::unique_ptr<TMetricsEndpoint> Endpoint;
};

const std::string LocalLabels =
    R"({address="127.0.0.1",group="",name="localhost",target="localhost"})";

TEST_F(MetricsTest, AScrapeShowsEachMonitorsCountersHistogramAndState) {
    ASSERT_EQ(Hub.Add(QStringLiteral("localhost")), TMonitorHub::TAddResult::Added);
    Result("localhost", 3);
    Result("localhost", 0);
    Result("localhost", 1200);
    Result("localhost", -1, PING_STATUS_REQ_TIMED_OUT);
    Result("localhost", -1, HostUnreachable);
    Result("localhost", -1, PING_STATUS_REQ_TIMED_OUT);

    const std::string Text = Scrape(Endpoint->Port());
    for (const char* Help :
         {"# TYPE vantorel_up gauge", "# TYPE vantorel_round_trip_seconds histogram",
          "# TYPE vantorel_echo_requests_total counter", "# TYPE vantorel_alert_state gauge",
          "# TYPE vantorel_uptime_ratio gauge", "# TYPE process_cpu_seconds_total counter",
          "# TYPE process_resident_memory_bytes gauge", "# HELP vantorel_up "}) {
        EXPECT_NE(Text.find(Help), std::string::npos) << Help;
    }
    EXPECT_EQ(Value(Text, "vantorel_up" + LocalLabels), "0");
    EXPECT_EQ(Value(Text, "vantorel_echo_requests_total" + LocalLabels), "6");
    EXPECT_EQ(Value(Text, "vantorel_echo_replies_total" + LocalLabels), "3");
    const std::string Failures = "vantorel_echo_failures_total" + LocalLabels;
    EXPECT_EQ(Value(Text, Failures.substr(0, Failures.size() - 1) + R"(,status="REQ_TIMED_OUT"})"),
              "2");
    EXPECT_EQ(Value(Text, Failures.substr(0, Failures.size() - 1) +
                              R"(,status="DEST_HOST_UNREACHABLE"})"),
              "1");
    // Buckets are cumulative, bounds in seconds; 0 ms lands in the first, 1.2 s below 2.5 s.
    const std::string Bucket = R"(vantorel_round_trip_seconds_bucket{address="127.0.0.1",group="",)"
                               R"(name="localhost",target="localhost",le=")";
    EXPECT_EQ(Value(Text, Bucket + "0.0001\"}"), "1");
    EXPECT_EQ(Value(Text, Bucket + "0.0025\"}"), "1");
    EXPECT_EQ(Value(Text, Bucket + "0.005\"}"), "2");
    EXPECT_EQ(Value(Text, Bucket + "1\"}"), "2");
    EXPECT_EQ(Value(Text, Bucket + "2.5\"}"), "3");
    EXPECT_EQ(Value(Text, Bucket + "+Inf\"}"), "3");
    EXPECT_EQ(Value(Text, "vantorel_round_trip_seconds_count" + LocalLabels), "3");
    EXPECT_EQ(Value(Text, "vantorel_round_trip_seconds_sum" + LocalLabels), "1.203");
    EXPECT_EQ(Value(Text, "vantorel_uptime_ratio" + LocalLabels), "0.5");
    const std::string State =
        "vantorel_alert_state" + LocalLabels.substr(0, LocalLabels.size() - 1);
    EXPECT_EQ(Value(Text, State + R"(,state="unknown"})"), "1");
    EXPECT_EQ(Value(Text, State + R"(,state="down"})"), "0");

    Result("localhost", 7);
    EXPECT_EQ(Value(Scrape(Endpoint->Port()), "vantorel_up" + LocalLabels), "1");
}

TEST_F(MetricsTest, AlertStatesNamesAndGoneMonitorsFollowTheHub) {
    TAlertState Down = TAlertState::Down;
    Endpoint->SetAlertStateSource([&](const TPingerSession&) { return Down; });
    Hub.SetFriendlyNames(QStringLiteral("localhost~Loop back"));
    ASSERT_EQ(Hub.Add(QStringLiteral("localhost")), TMonitorHub::TAddResult::Added);
    ASSERT_EQ(Hub.Add(QStringLiteral("no such host")), TMonitorHub::TAddResult::Added);
    Result("localhost", 2);
    Result("no such host", -1, PING_STATUS_CANNOT_RESOLVE, "");

    std::string Text = Scrape(Endpoint->Port());
    const std::string Named =
        R"({address="127.0.0.1",group="",name="Loop back",target="localhost")";
    EXPECT_EQ(Value(Text, "vantorel_alert_state" + Named + R"(,state="down"})"), "1");
    EXPECT_EQ(Value(Text, "vantorel_up" + Named + "}"), "1");
    const std::string Unresolved =
        R"({address="",group="",name="no such host",target="no such host"})";
    EXPECT_EQ(Value(Text, "vantorel_up" + Unresolved), "0");

    Down = TAlertState::Degraded;
    Endpoint->RefreshAlertStates();
    Text = Scrape(Endpoint->Port());
    EXPECT_EQ(Value(Text, "vantorel_alert_state" + Named + R"(,state="down"})"), "0");
    EXPECT_EQ(Value(Text, "vantorel_alert_state" + Named + R"(,state="degraded"})"), "1");

    Hub.Close(Hub.Find(QStringLiteral("no such host")));
    Text = Scrape(Endpoint->Port());
    EXPECT_EQ(Text.find("no such host"), std::string::npos) << "a closed monitor disappears";
    EXPECT_NE(Text.find("Loop back"), std::string::npos);
}

TEST_F(MetricsTest, NumbersIgnoreTheLocale) {
    // A decimal-comma locale, built for the test: the C library's formatting must not leak.
    QTemporaryDir Locales;
    ASSERT_TRUE(Locales.isValid());
    const std::string Folder = Locales.path().toStdString();
    ASSERT_EQ(std::system(
                  ("localedef -i de_DE -f UTF-8 '" + Folder + "/de_DE.UTF-8' 2>/dev/null").c_str()),
              0);
    setenv("LOCPATH", Folder.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    ASSERT_EQ(Hub.Add(QStringLiteral("localhost")), TMonitorHub::TAddResult::Added);
    Result("localhost", 1);
    Result("localhost", -1);
    Result("localhost", -1);
    Result("localhost", -1);
    const std::string Text = Scrape(Endpoint->Port());
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(Value(Text, "vantorel_uptime_ratio" + LocalLabels), "0.25");
    EXPECT_EQ(Value(Text, "vantorel_round_trip_seconds_sum" + LocalLabels), "0.001");
}

TEST_F(MetricsTest, APortInUseIsAClearError) {
    TMonitorHub Other;
    TMetricsEndpoint Second(Other);
    const std::string Where = "127.0.0.1:" + std::to_string(Endpoint->Port());
    try {
        Second.Listen(TMetricsEndpoint::ParseListen(QString::fromStdString(Where)));
        FAIL() << "listened twice on " << Where;
    } catch (const std::runtime_error& E) {
        EXPECT_NE(std::string(E.what()).find(Where), std::string::npos) << E.what();
        EXPECT_NE(std::string(E.what()).find("in use"), std::string::npos) << E.what();
    }
    EXPECT_FALSE(Second.Listening());
}

TEST(MetricsListen, AddressesAndPorts) {
    struct TCase {
        const char* Text;
        const char* Bind; // nullptr: refused
        bool Loopback;
    };
    const TCase Cases[] = {
        {"9464", "127.0.0.1:9464", true},
        {" 9464 ", "127.0.0.1:9464", true},
        {"127.0.0.1:9100", "127.0.0.1:9100", true},
        {"0.0.0.0:9464", "0.0.0.0:9464", false},
        {"192.0.2.7:80", "192.0.2.7:80", false},
        {"[::1]:9464", "[::1]:9464", true},
        {"[::]:9464", "[::]:9464", false},
        {"::1:9464", nullptr, false},
        {"localhost:9464", nullptr, false},
        {"9464x", nullptr, false},
        {"70000", nullptr, false},
        {"-1", nullptr, false},
        {"", nullptr, false},
        {"127.0.0.1:", nullptr, false},
        {"[::1]9464", nullptr, false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Text);
        if (!C.Bind) {
            EXPECT_THROW(TMetricsEndpoint::ParseListen(QString::fromUtf8(C.Text)),
                         std::invalid_argument);
            continue;
        }
        const auto L = TMetricsEndpoint::ParseListen(QString::fromUtf8(C.Text));
        EXPECT_EQ(L.BindText(), C.Bind);
        EXPECT_EQ(L.Loopback, C.Loopback);
    }
}

} // namespace

// The alert center watching the monitor hub, with no window: results of the hub's monitors
// raise notices once per change, the alerting switch is the hub's, a new name reaches the
// summary, and a monitor that goes is forgotten. The table of link patterns (outage, steady
// loss, flapping, slow round trips) runs through real monitors on the fake clock, and so does
// the summary of many hosts changing at once.
#include "../monitor/monitor_test_support.h"
#include "uAlertCenter.h"
#include "uHubAlerts.h"
#include "uMonitorHub.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

class TRecordingNotifier : public TAlertNotifier {
public:
    void Notify(const TAlertNotice& Notice) override { Notices.push_back(Notice); }
    void Close(const QString& Key) override { Closed.push_back(Key); }
    std::vector<TAlertNotice> Notices;
    std::vector<QString> Closed;
};

const std::string Clean(20, '1'); // a full window of replies at the default K

class AlertCenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        Hub.SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        Alerts.SetNotifier(&Recorder);
        Alerts.SetClock(Clock);
        WatchHubAlerts(Hub, Alerts);
    }
    TPingerSession& Add(const char* Target) {
        EXPECT_EQ(Hub.Add(QString::fromUtf8(Target)), TMonitorHub::TAddResult::Added);
        return *Hub.Find(QString::fromUtf8(Target));
    }
    // '1' a reply in 5 ms, '0' a time-out, as the monitor's loop hands them over.
    void Feed(TPingerSession& Monitor, const std::string& Results) {
        for (const char R : Results) {
            Monitor.PingDone(MakeResult(*Clock, 0, R == '1' ? 5 : -1, PING_STATUS_REQ_TIMED_OUT,
                                        Monitor.Target(), "127.0.0.1"));
        }
    }

    // Declared first: parked loops are released only after every monitor has gone.
    THeldLoops Loops;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TMonitorHub Hub;
    TRecordingNotifier Recorder;
    TAlertCenter Alerts;
};

} // namespace

TEST_F(AlertCenterTest, ResultsOfTheHubsMonitorsRaiseOneNoticePerChange) {
    TPingerSession& Gw = Add("gw");
    TPingerSession& Nas = Add("nas");
    Feed(Gw, Clean);
    Feed(Nas, Clean);
    EXPECT_EQ(Alerts.WorstState(), TAlertState::Up);

    // Off by default, as the hub's switch is: states are followed, nothing is told.
    EXPECT_FALSE(Alerts.Enabled());
    Feed(Nas, "000");
    EXPECT_EQ(Alerts.State(Nas), TAlertState::Down);
    EXPECT_TRUE(Recorder.Notices.empty());

    Hub.SetAlerting(true);
    EXPECT_TRUE(Alerts.Enabled());
    Feed(Gw, "101100000");
    ASSERT_EQ(Recorder.Notices.size(), 1u);
    EXPECT_EQ(Recorder.Notices[0].Title, QStringLiteral("gw"));
    EXPECT_EQ(Recorder.Notices[0].State, TAlertState::Down);
    Feed(Nas, "11");
    ASSERT_EQ(Recorder.Notices.size(), 2u);
    EXPECT_EQ(Recorder.Notices[1].Title, QStringLiteral("nas"));
    EXPECT_EQ(Recorder.Notices[1].State, TAlertState::Up);

    Hub.SetAlerting(false);
    Feed(Gw, "11");
    EXPECT_EQ(Recorder.Notices.size(), 2u);
    EXPECT_EQ(Alerts.State(Gw), TAlertState::Up);
}

TEST_F(AlertCenterTest, ANewNameReachesTheSummaryAndAMonitorThatGoesIsForgotten) {
    TPingerSession& Gw = Add("gw");
    TPingerSession& Nas = Add("nas");
    Feed(Gw, Clean + "000");
    Feed(Nas, "1");
    EXPECT_EQ(Alerts.TroubleList(), QStringList{QStringLiteral("gw: Down")});

    QSignalSpy Summary(&Alerts, &TAlertCenter::SummaryChanged);
    Hub.SetFriendlyNames(QStringLiteral("gw~Gateway\r\n"));
    Hub.ApplyFriendlyNames();
    EXPECT_EQ(Summary.count(), 1);
    EXPECT_EQ(Alerts.TroubleList(), QStringList{QStringLiteral("Gateway: Down")});

    Hub.Close(&Gw);
    EXPECT_EQ(Alerts.MonitorCount(), 1);
    EXPECT_EQ(Alerts.WorstState(), TAlertState::Up);
    EXPECT_TRUE(Alerts.TroubleList().isEmpty());
    Hub.Close(&Nas);
    EXPECT_EQ(Alerts.WorstState(), TAlertState::Unknown);
}

namespace {

// One result a second: its round trip in ms, or -1 for no reply.
using TPattern = std::vector<int>;

TPattern Replies(int Seconds, int RoundTrip = 5) {
    return TPattern(std::size_t(Seconds), RoundTrip);
}
TPattern NoReplies(int Seconds) {
    return TPattern(std::size_t(Seconds), -1);
}
TPattern RandomLoss(int Seconds, int Percent, std::mt19937& Random) {
    TPattern P;
    for (int I = 0; I < Seconds; ++I) {
        P.push_back(int(Random() % 100) < Percent ? -1 : 5);
    }
    return P;
}
TPattern Alternating(int Seconds) {
    TPattern P;
    for (int I = 0; I < Seconds; ++I) {
        P.push_back(I % 2 == 0 ? 5 : -1);
    }
    return P;
}
TPattern LostEvery(int Seconds, int Every) {
    TPattern P;
    for (int I = 1; I <= Seconds; ++I) {
        P.push_back(I % Every == 0 ? -1 : 5);
    }
    return P;
}
TPattern operator+(TPattern A, const TPattern& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// "Down", "Up", or "Degraded" with what the notice gives as the reason: "loss", "round trip" or
// "flapping".
QString Outcome(const TAlertNotice& Notice) {
    const QStringList Parts = Notice.Body.split(QStringLiteral(" \u00B7 "));
    if (Notice.State != TAlertState::Degraded) {
        return Parts.value(0);
    }
    const QString Why = Parts.value(1);
    return QStringLiteral("Degraded ") +
           (Why.endsWith(QStringLiteral("% loss"))            ? QStringLiteral("(loss)")
            : Why.startsWith(QStringLiteral("average round")) ? QStringLiteral("(round trip)")
            : Why == QStringLiteral("flapping")               ? QStringLiteral("(flapping)")
                                                              : QStringLiteral("(?) ") + Why);
}

} // namespace

// Outage, lossy link, flapping and slow round trips told apart with the default thresholds (N 3,
// M 2, K 20, P 10 %; L set only where a row says so). Each random row runs with several seeds.
TEST_F(AlertCenterTest, TellsAnOutageFromALossyLink) {
    struct TRow {
        const char* Name;
        int LatencyMs;
        std::function<TPattern(std::mt19937&)> Pattern;
        // The notices in order; "Degraded" alone accepts either loss or flapping.
        std::vector<QString> Expected;
        int LastChangeAfter = 0; // the last notice comes after this many results
    };
    const auto Degraded = QStringLiteral("Degraded");
    const std::vector<TRow> Rows = {
        {"clean outage",
         0,
         [](std::mt19937&) { return Replies(60) + NoReplies(60) + Replies(60); },
         {QStringLiteral("Down"), QStringLiteral("Up")},
         120},
        {"ten minutes of 30 % loss, then clean",
         0,
         [](std::mt19937& R) { return RandomLoss(600, 30, R) + Replies(120); },
         {Degraded, QStringLiteral("Up")},
         600},
        {"five minutes of alternation, then clean",
         0,
         [](std::mt19937&) { return Alternating(300) + Replies(120); },
         {QStringLiteral("Degraded (flapping)"), QStringLiteral("Up")},
         300},
        {"an outage on a lossy link",
         0,
         [](std::mt19937& R) {
             return RandomLoss(300, 30, R) + NoReplies(60) + RandomLoss(300, 30, R);
         },
         {Degraded, QStringLiteral("Down"), Degraded},
         360},
        {"two minutes of slow round trips",
         100,
         [](std::mt19937&) { return Replies(60, 20) + Replies(120, 300) + Replies(120, 20); },
         {QStringLiteral("Degraded (round trip)"), QStringLiteral("Up")},
         180},
        {"one lost reply every 15 s", 0, [](std::mt19937&) { return LostEvery(900, 15); }, {}, 0},
    };
    Hub.SetAlerting(true);
    for (const TRow& Row : Rows) {
        for (const unsigned Seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
            SCOPED_TRACE(std::string(Row.Name) + ", seed " + std::to_string(Seed));
            TAlertSettings Settings;
            Settings.LatencyMs = Row.LatencyMs;
            Alerts.SetSettings(Settings);
            Recorder.Notices.clear();
            std::mt19937 Random(Seed);
            const TPattern Pattern = Row.Pattern(Random);
            TPingerSession& Host = Add("host");
            std::vector<int> ChangedAt;
            for (std::size_t I = 0; I < Pattern.size(); ++I) {
                Clock->Advance(1000);
                Host.PingDone(MakeResult(*Clock, 0, Pattern[I], PING_STATUS_REQ_TIMED_OUT, "host",
                                         "10.0.0.1"));
                if (ChangedAt.size() < Recorder.Notices.size()) {
                    ChangedAt.push_back(int(I));
                }
                // The monitor's status line follows the same state.
                ASSERT_EQ(Host.Degraded(), Alerts.State(Host) == TAlertState::Degraded) << I;
            }
            std::vector<QString> Seen;
            for (const TAlertNotice& Notice : Recorder.Notices) {
                const QString O = Outcome(Notice);
                Seen.push_back(O);
            }
            ASSERT_EQ(Seen.size(), Row.Expected.size())
                << QStringList(QList<QString>(Seen.begin(), Seen.end()))
                       .join(QStringLiteral(", "))
                       .toStdString();
            for (std::size_t I = 0; I < Seen.size(); ++I) {
                EXPECT_TRUE(Seen[I] == Row.Expected[I] ||
                            (Row.Expected[I] == Degraded && Seen[I].startsWith(Degraded) &&
                             !Seen[I].contains(QStringLiteral("(?)"))))
                    << I << ": " << Seen[I].toStdString();
            }
            if (!ChangedAt.empty()) {
                EXPECT_GE(ChangedAt.back(), Row.LastChangeAfter);
            }
            EXPECT_EQ(Alerts.State(Host),
                      Row.Expected.empty() ? TAlertState::Up : Recorder.Notices.back().State);
            Hub.Close(&Host);
            Clock->Advance(10000); // the next row's changes are no burst with this one's
        }
    }
}

// More than five hosts changing within two seconds: one summary notice stands for them (their
// own notices are closed), updated as more join; the tray's list still names each. After a pause
// each host speaks for itself again.
TEST_F(AlertCenterTest, ManyHostsChangingAtOnceGiveOneSummary) {
    Hub.SetAlerting(true);
    std::vector<TPingerSession*> Hosts;
    const char* Names[] = {"h01", "h02", "h03", "h04", "h05", "h06",
                           "h07", "h08", "h09", "h10", "h11", "h12"};
    for (const char* Name : Names) {
        Hosts.push_back(&Add(Name));
    }
    for (TPingerSession* H : Hosts) {
        Feed(*H, Clean);
    }
    // Five go down, 300 ms apart: each has its own notice.
    for (int I = 0; I < 5; ++I) {
        Clock->Advance(300);
        Feed(*Hosts[std::size_t(I)], "000");
    }
    ASSERT_EQ(Recorder.Notices.size(), 5u);
    EXPECT_EQ(Recorder.Notices[4].Title, QStringLiteral("h05"));
    EXPECT_TRUE(Recorder.Closed.empty());
    // The sixth within two seconds of the others: a summary instead, the five closed.
    Clock->Advance(300);
    Feed(*Hosts[5], "000");
    ASSERT_EQ(Recorder.Notices.size(), 6u);
    const TAlertNotice& Summary = Recorder.Notices.back();
    EXPECT_EQ(Summary.Key, TAlertCenter::SummaryKey);
    EXPECT_EQ(Summary.State, TAlertState::Down);
    EXPECT_TRUE(Summary.Body.startsWith(QStringLiteral("6 hosts down: h01, h02, h03, \u2026")))
        << Summary.Body.toStdString();
    EXPECT_EQ(Recorder.Closed.size(), 6u);
    for (int I = 0; I < 5; ++I) {
        EXPECT_EQ(Recorder.Closed[std::size_t(I)], Recorder.Notices[std::size_t(I)].Key);
    }
    // The rest join the chain, each within two seconds of the one before: the summary grows.
    for (std::size_t I = 6; I < Hosts.size(); ++I) {
        Clock->Advance(1500);
        Feed(*Hosts[I], "000");
        EXPECT_EQ(Recorder.Notices.back().Key, TAlertCenter::SummaryKey);
    }
    EXPECT_EQ(Recorder.Notices.size(), 12u);
    EXPECT_TRUE(Recorder.Notices.back().Body.startsWith(QStringLiteral("12 hosts down: ")));
    EXPECT_EQ(Alerts.TroubleList().size(), 12);
    EXPECT_EQ(Alerts.TroubleList().front(), QStringLiteral("h01: Down"));

    // All come back together: the summary turns to say so.
    Clock->Advance(1000);
    for (TPingerSession* H : Hosts) {
        Feed(*H, "11");
    }
    EXPECT_EQ(Recorder.Notices.size(), 24u);
    EXPECT_TRUE(Recorder.Notices.back().Body.startsWith(QStringLiteral("12 hosts up: ")))
        << Recorder.Notices.back().Body.toStdString();
    EXPECT_EQ(Recorder.Notices.back().State, TAlertState::Up);
    EXPECT_TRUE(Alerts.TroubleList().isEmpty());
    for (TPingerSession* H : Hosts) {
        Feed(*H, Clean); // a full window again, for short outages to count
    }
    EXPECT_EQ(Recorder.Notices.size(), 24u);

    // A pause, then one host alone: its own notice.
    Clock->Advance(2001);
    Feed(*Hosts[0], "000");
    EXPECT_EQ(Recorder.Notices.back().Title, QStringLiteral("h01"));
    EXPECT_EQ(Recorder.Notices.back().Key, TAlertCenter::NoticeKey(*Hosts[0]));

    // Mixed states: the worst first.
    Clock->Advance(5000);
    for (std::size_t I = 1; I < 7; ++I) {
        Feed(*Hosts[I], I < 3 ? "000" : "1");
    }
    Feed(*Hosts[0], "11");
    for (std::size_t I = 7; I < 12; ++I) {
        Feed(*Hosts[I], "000");
    }
    EXPECT_TRUE(
        Recorder.Notices.back().Body.startsWith(QStringLiteral("7 hosts down, 1 up: h02, ")))
        << Recorder.Notices.back().Body.toStdString();
}

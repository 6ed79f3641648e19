// The alert center watching the monitor hub, with no window: results of the hub's monitors
// raise notices once per change, the alerting switch is the hub's, a new name reaches the
// summary, and a monitor that goes is forgotten.
#include "../monitor/monitor_test_support.h"
#include "uAlertCenter.h"
#include "uHubAlerts.h"
#include "uMonitorHub.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class TRecordingNotifier : public TAlertNotifier {
public:
    void Notify(const TAlertNotice& Notice) override { Notices.push_back(Notice); }
    std::vector<TAlertNotice> Notices;
};

class AlertCenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        Hub.SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        Alerts.SetNotifier(&Recorder);
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
    Feed(Gw, "1");
    Feed(Nas, "1");
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
    Feed(Gw, "1000");
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

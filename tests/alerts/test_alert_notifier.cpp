// Desktop notifications over a real message bus: a private dbus-daemon of the test's own, and a
// notification service that the test registers on it. The service lives on the test's thread,
// so it can only answer while the test's event loop runs: a notifier that waited for the answer
// on the caller's thread would never see one.
#include "uAlertNotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>

namespace {

// org.freedesktop.Notifications as far as the notifier uses it: records each call; answers at
// once, or holds every call unanswered when Hang is set.
class TFakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct TCall {
        QString AppName;
        QString Summary;
        QString Body;
        QVariantMap Hints;
        int Timeout = 0;
        uint ReplacesId = 0;
        uint Id = 0; // the id answered
    };
    std::vector<TCall> Calls;
    std::vector<uint> Closed;
    bool Hang = false;
    std::vector<QDBusMessage> Held;

public slots:
    Q_SCRIPTABLE uint Notify(const QString& AppName, uint ReplacesId, const QString& Icon,
                             const QString& Summary, const QString& Body,
                             const QStringList& Actions, const QVariantMap& Hints, int Timeout,
                             const QDBusMessage& Message) {
        Q_UNUSED(Icon);
        Q_UNUSED(Actions);
        // As a notification server does: a notice that replaces another keeps its id.
        const uint Id = ReplacesId != 0 ? ReplacesId : ++FLastId;
        Calls.push_back({AppName, Summary, Body, Hints, Timeout, ReplacesId, Id});
        if (Hang) {
            Message.setDelayedReply(true);
            Held.push_back(Message);
        }
        return Id;
    }
    Q_SCRIPTABLE void CloseNotification(uint Id) { Closed.push_back(Id); }

private:
    uint FLastId = 100;
};

class AlertNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString Daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (Daemon.isEmpty()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        ASSERT_TRUE(FDir.isValid());
        // The bus ends with the test process, also when that is killed or aborts.
        FBus.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        FBus.start(Daemon,
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address"),
                    QStringLiteral("--address=unix:path=") + FDir.path() + QStringLiteral("/bus")});
        ASSERT_TRUE(FBus.waitForStarted(10000));
        while (!FBus.canReadLine()) {
            ASSERT_TRUE(FBus.waitForReadyRead(10000)) << "no address from dbus-daemon";
        }
        Address = QString::fromUtf8(FBus.readLine()).trimmed();
        ASSERT_FALSE(Address.isEmpty());
    }
    void TearDown() override {
        if (FServiceName.size()) {
            QDBusConnection::disconnectFromBus(FServiceName);
        }
        if (FBus.state() != QProcess::NotRunning) {
            FBus.kill();
            FBus.waitForFinished(10000);
        }
    }
    // Registers Service on the bus under the well-known name.
    void Register(TFakeNotificationService& Service) {
        FServiceName = QStringLiteral("fake-notification-service");
        QDBusConnection Bus = QDBusConnection::connectToBus(Address, FServiceName);
        ASSERT_TRUE(Bus.isConnected());
        ASSERT_TRUE(Bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &Service,
                                       QDBusConnection::ExportScriptableSlots));
        ASSERT_TRUE(Bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    static TAlertNotice Notice(TAlertState State, bool Sound, const QString& Key = {}) {
        return {QStringLiteral("Lab <router>"),
                AlertNoticeBody(State, QStringLiteral("Request timed out"),
                                QStringLiteral("10.0.0.1"), QStringLiteral("14:02:11")),
                State, Sound, Key};
    }

    QString Address;

private:
    QTemporaryDir FDir;
    QProcess FBus;
    QString FServiceName;
};

} // namespace

TEST_F(AlertNotifierTest, NoticeReachesTheServiceWithoutWaitingForIt) {
    TFakeNotificationService Service;
    Register(Service);
    TDesktopNotifier Notifier(Address);
    std::vector<TAlertNotice> Fallen;
    Notifier.SetFallback([&](const TAlertNotice& N) { Fallen.push_back(N); });
    QSignalSpy Done(&Notifier, &TDesktopNotifier::NoticeDone);

    Notifier.Notify(Notice(TAlertState::Down, true));
    // The service answers on this thread: it cannot have been called yet.
    EXPECT_TRUE(Service.Calls.empty());
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 1, 10000);
    EXPECT_TRUE(Done.at(0).at(0).toBool());
    ASSERT_EQ(Service.Calls.size(), 1u);
    const auto& Call = Service.Calls[0];
    EXPECT_EQ(Call.AppName, QStringLiteral("Vantorel"));
    EXPECT_EQ(Call.Summary, QStringLiteral("Lab <router>"));
    EXPECT_EQ(Call.Body,
              QStringLiteral("Down \u00B7 Request timed out \u00B7 10.0.0.1 \u00B7 14:02:11"));
    EXPECT_EQ(Call.Hints.value(QStringLiteral("urgency")).toInt(), 2);
    EXPECT_EQ(Call.Hints.value(QStringLiteral("sound-name")).toString(),
              QStringLiteral("dialog-warning"));
    EXPECT_FALSE(Call.Hints.contains(QStringLiteral("suppress-sound")));
    EXPECT_EQ(Notifier.Delivered(), 1);
    EXPECT_TRUE(Fallen.empty());

    // Without a sound the notice asks the service for silence; an Up notice is not urgent.
    Notifier.Notify(Notice(TAlertState::Up, false));
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 2, 10000);
    ASSERT_EQ(Service.Calls.size(), 2u);
    EXPECT_EQ(Service.Calls[1].Hints.value(QStringLiteral("urgency")).toInt(), 1);
    EXPECT_TRUE(Service.Calls[1].Hints.value(QStringLiteral("suppress-sound")).toBool());
    EXPECT_FALSE(Service.Calls[1].Hints.contains(QStringLiteral("sound-name")));
    EXPECT_TRUE(Fallen.empty());
}

// One notice per key on screen: each notice of a key goes out with the id the service gave the
// one before (sent only once that id is known, however fast they follow), so the Up takes the
// Down's place; other keys are left alone, and a key closed leaves the screen.
TEST_F(AlertNotifierTest, ANoticeReplacesTheOneBeforeUnderItsKey) {
    TFakeNotificationService Service;
    Register(Service);
    TDesktopNotifier Notifier(Address);
    QSignalSpy Done(&Notifier, &TDesktopNotifier::NoticeDone);

    Notifier.Notify(Notice(TAlertState::Down, false, QStringLiteral("gw")));
    Notifier.Notify(Notice(TAlertState::Degraded, false, QStringLiteral("gw")));
    Notifier.Notify(Notice(TAlertState::Down, false, QStringLiteral("nas")));
    Notifier.Notify(Notice(TAlertState::Up, false, QStringLiteral("gw")));
    Notifier.Notify(Notice(TAlertState::Down, false)); // no key: a notice of its own
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 5, 10000);
    ASSERT_EQ(Service.Calls.size(), 5u);
    // gw's three notices in their order: the first new, each later one replacing it.
    std::vector<const TFakeNotificationService::TCall*> Gw;
    for (const auto& Call : Service.Calls) {
        if (Call.Id == Service.Calls[0].Id) {
            Gw.push_back(&Call);
        }
    }
    ASSERT_EQ(Gw.size(), 3u);
    EXPECT_EQ(Gw[0]->ReplacesId, 0u);
    EXPECT_TRUE(Gw[0]->Body.startsWith(QStringLiteral("Down")));
    EXPECT_EQ(Gw[1]->ReplacesId, Gw[0]->Id);
    EXPECT_TRUE(Gw[1]->Body.startsWith(QStringLiteral("Degraded")));
    EXPECT_EQ(Gw[2]->ReplacesId, Gw[0]->Id);
    EXPECT_TRUE(Gw[2]->Body.startsWith(QStringLiteral("Up")));
    // nas and the notice without a key each got an id of their own.
    std::set<uint> Ids;
    for (const auto& Call : Service.Calls) {
        Ids.insert(Call.Id);
    }
    EXPECT_EQ(Ids.size(), 3u);
    EXPECT_EQ(Notifier.Delivered(), 5);

    // Closing gw takes its notice away; a later notice of gw is a new one.
    Notifier.Close(QStringLiteral("gw"));
    Notifier.Close(QStringLiteral("never shown"));
    QTRY_COMPARE_WITH_TIMEOUT(Service.Closed.size(), 1u, 10000);
    EXPECT_EQ(Service.Closed[0], Gw[0]->Id);
    Notifier.Notify(Notice(TAlertState::Down, false, QStringLiteral("gw")));
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 6, 10000);
    EXPECT_EQ(Service.Calls.back().ReplacesId, 0u);
    EXPECT_EQ(Service.Closed.size(), 1u);
}

TEST_F(AlertNotifierTest, WithoutAServiceTheNoticeFallsBack) {
    struct TRow {
        const char* Name;
        bool Bus; // a bus without the service, or no bus at all
    };
    for (const TRow Row : {TRow{"no service", true}, TRow{"no bus", false}}) {
        SCOPED_TRACE(Row.Name);
        TDesktopNotifier Notifier(Row.Bus ? Address : QStringLiteral("unix:path=/nonexistent/bus"));
        std::vector<TAlertNotice> Fallen;
        Notifier.SetFallback([&](const TAlertNotice& N) { Fallen.push_back(N); });
        QSignalSpy Done(&Notifier, &TDesktopNotifier::NoticeDone);
        Notifier.Notify(Notice(TAlertState::Down, true));
        QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 1, 10000);
        EXPECT_FALSE(Done.at(0).at(0).toBool());
        ASSERT_EQ(Fallen.size(), 1u);
        EXPECT_EQ(Fallen[0].Title, QStringLiteral("Lab <router>"));
        EXPECT_TRUE(Fallen[0].Sound);
        EXPECT_EQ(Notifier.Undelivered(), 1);
    }
}

TEST_F(AlertNotifierTest, AServiceThatNeverAnswersEndsInTheFallbackAndBoundsTheQueue) {
    TFakeNotificationService Service;
    Service.Hang = true;
    Register(Service);
    TDesktopNotifier Notifier(Address, 300);
    int Fallen = 0;
    Notifier.SetFallback([&](const TAlertNotice&) { ++Fallen; });
    QSignalSpy Done(&Notifier, &TDesktopNotifier::NoticeDone);

    Notifier.Notify(Notice(TAlertState::Down, false));
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), 1, 10000);
    EXPECT_EQ(Service.Calls.size(), 1u);
    EXPECT_FALSE(Done.at(0).at(0).toBool());
    EXPECT_EQ(Fallen, 1);

    // More notices than may wait: those beyond the limit fall back at once, in the caller.
    Done.clear();
    const int Extra = 3;
    for (int I = 0; I < TDesktopNotifier::MaxPending + Extra; ++I) {
        Notifier.Notify(Notice(TAlertState::Down, false));
    }
    EXPECT_EQ(Fallen, 1 + Extra);
    QTRY_COMPARE_WITH_TIMEOUT(Done.count(), TDesktopNotifier::MaxPending + Extra, 20000);
    EXPECT_EQ(Fallen, 1 + TDesktopNotifier::MaxPending + Extra);
    EXPECT_EQ(Notifier.Delivered(), 0);
}

#include "test_alert_notifier.moc"

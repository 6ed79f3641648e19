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
    };
    std::vector<TCall> Calls;
    bool Hang = false;
    std::vector<QDBusMessage> Held;

public slots:
    Q_SCRIPTABLE uint Notify(const QString& AppName, uint ReplacesId, const QString& Icon,
                             const QString& Summary, const QString& Body,
                             const QStringList& Actions, const QVariantMap& Hints, int Timeout,
                             const QDBusMessage& Message) {
        Q_UNUSED(ReplacesId);
        Q_UNUSED(Icon);
        Q_UNUSED(Actions);
        Calls.push_back({AppName, Summary, Body, Hints, Timeout});
        if (Hang) {
            Message.setDelayedReply(true);
            Held.push_back(Message);
        }
        return uint(Calls.size());
    }
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
    static TAlertNotice Notice(TAlertState State, bool Sound) {
        return {QStringLiteral("Lab <router>"),
                AlertNoticeBody(State, QStringLiteral("10.0.0.1"), QStringLiteral("REQ_TIMED_OUT"),
                                QStringLiteral("14:02:11")),
                State, Sound};
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
              QStringLiteral("Down \u00B7 10.0.0.1 \u00B7 REQ_TIMED_OUT \u00B7 14:02:11"));
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

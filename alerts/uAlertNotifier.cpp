#include "uAlertNotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QHash>
#include <QThread>
#include <QVariantMap>

#include <deque>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

QString AlertNoticeBody(TAlertState State, const QString& Why, const QString& Address,
                        const QString& Time) {
    QStringList Parts{QString::fromLatin1(AlertStateName(State))};
    for (const QString& Part : {Why, Address, Time}) {
        if (!Part.isEmpty()) {
            Parts << Part;
        }
    }
    return Parts.join(QStringLiteral(" \u00B7 "));
}

// Lives on the notifier's thread: owns the bus connection and the calls in flight.
class TDBusNotifySender : public QObject {
    Q_OBJECT

public:
    TDBusNotifySender(QString BusAddress, int CallTimeoutMs)
        : FBusAddress(std::move(BusAddress)), FCallTimeoutMs(CallTimeoutMs) {}
    ~TDBusNotifySender() override {
        if (!FBusAddress.isEmpty() && FConnected) {
            QDBusConnection::disconnectFromBus(ConnectionName());
        }
    }

    void Send(const TAlertNotice& Notice) {
        if (Notice.Key.isEmpty()) {
            Call(Notice, 0, {});
            return;
        }
        TKey& Key = FKeys[Notice.Key];
        if (Key.Busy) {
            Key.Waiting.push_back({false, Notice});
        } else {
            Call(Notice, Key.Id, Notice.Key);
        }
    }

    void Close(const QString& KeyName) {
        const auto It = FKeys.find(KeyName);
        if (It == FKeys.end()) {
            return;
        }
        if (It->Busy) {
            It->Waiting.push_back({true, {}});
            return;
        }
        CloseNow(It.value());
    }

signals:
    void Done(const TAlertNotice& Notice, bool Delivered);

private:
    struct TItem {
        bool Close = false;
        TAlertNotice Notice;
    };
    // What is known of one key's notice: its id while shown, and the calls that wait for the
    // one in flight.
    struct TKey {
        uint Id = 0;
        bool Busy = false;
        std::deque<TItem> Waiting;
    };

    void CloseNow(TKey& Key) {
        if (Key.Id == 0) {
            return;
        }
        QDBusConnection Bus = Connection();
        if (Bus.isConnected()) {
            QDBusMessage Call = QDBusMessage::createMethodCall(Service, Path, Interface,
                                                               QStringLiteral("CloseNotification"));
            Call << Key.Id;
            Bus.call(Call, QDBus::NoBlock);
        }
        Key.Id = 0;
    }

    // The next call waiting for KeyName's notice, once the one before it is answered.
    void Next(const QString& KeyName) {
        TKey& Key = FKeys[KeyName];
        Key.Busy = false;
        while (!Key.Waiting.empty()) {
            TItem Item = std::move(Key.Waiting.front());
            Key.Waiting.pop_front();
            if (Item.Close) {
                CloseNow(Key);
                continue;
            }
            Call(Item.Notice, Key.Id, KeyName);
            return;
        }
    }

    void Call(const TAlertNotice& Notice, uint ReplacesId, const QString& KeyName) {
        QDBusConnection Bus = Connection();
        if (!Bus.isConnected()) {
            emit Done(Notice, false);
            return;
        }
        QDBusMessage Call =
            QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
        QVariantMap Hints;
        const bool Down = Notice.State == TAlertState::Down;
        Hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(Down ? 2 : 1));
        Hints.insert(QStringLiteral("category"), Notice.State == TAlertState::Up
                                                     ? QStringLiteral("network.connected")
                                                     : QStringLiteral("network.disconnected"));
        Hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vantorel"));
        if (Notice.Sound) {
            Hints.insert(QStringLiteral("sound-name"), Down ? QStringLiteral("dialog-warning")
                                                            : QStringLiteral("dialog-information"));
        } else {
            Hints.insert(QStringLiteral("suppress-sound"), true);
        }
        Call << QStringLiteral("Vantorel") << ReplacesId << QString() << Notice.Title
             << Notice.Body.toHtmlEscaped() << QStringList() << Hints << int(-1);
        if (!KeyName.isEmpty()) {
            FKeys[KeyName].Busy = true;
        }
        auto* Watcher = new QDBusPendingCallWatcher(Bus.asyncCall(Call, FCallTimeoutMs), this);
        connect(Watcher, &QDBusPendingCallWatcher::finished, this,
                [this, Notice, KeyName](QDBusPendingCallWatcher* W) {
                    const QDBusPendingReply<uint> Reply = *W;
                    W->deleteLater();
                    if (!KeyName.isEmpty() && !Reply.isError()) {
                        FKeys[KeyName].Id = Reply.value();
                    }
                    emit Done(Notice, !Reply.isError());
                    if (!KeyName.isEmpty()) {
                        Next(KeyName);
                    }
                });
    }

    QString ConnectionName() const {
        return QStringLiteral("vantorel-alerts-%1").arg(quintptr(this), 0, 16);
    }
    QDBusConnection Connection() {
        if (FBusAddress.isEmpty()) {
            return QDBusConnection::sessionBus();
        }
        FConnected = true;
        return QDBusConnection::connectToBus(FBusAddress, ConnectionName());
    }

    QString FBusAddress;
    int FCallTimeoutMs;
    bool FConnected = false;
    QHash<QString, TKey> FKeys;
};

TDesktopNotifier::TDesktopNotifier(const QString& BusAddress, int CallTimeoutMs, QObject* Parent)
    : QObject(Parent), FFallback([](const TAlertNotice& Notice) {
          if (Notice.Sound) {
              QApplication::beep();
          }
      }) {
    qRegisterMetaType<TAlertNotice>("TAlertNotice");
    FThread = new QThread;
    FThread->setObjectName(QStringLiteral("Alert notifications"));
    FSender = new TDBusNotifySender(BusAddress, CallTimeoutMs);
    FSender->moveToThread(FThread);
    connect(FThread, &QThread::finished, FSender, &QObject::deleteLater);
    connect(
        FSender, &TDBusNotifySender::Done, this,
        [this](const TAlertNotice& Notice, bool Delivered) {
            FPending.fetch_sub(1);
            Finished(Notice, Delivered);
        },
        Qt::QueuedConnection);
    FThread->start();
}

TDesktopNotifier::~TDesktopNotifier() {
    FThread->quit();
    // A bus that hangs in the middle of a connection must not hang the program's exit: the
    // thread is then left to the end of the process.
    if (FThread->wait(QDeadlineTimer(2000))) {
        delete FThread;
    }
}

void TDesktopNotifier::Notify(const TAlertNotice& Notice) {
    if (FPending.fetch_add(1) >= MaxPending) {
        FPending.fetch_sub(1);
        Finished(Notice, false);
        return;
    }
    TDBusNotifySender* Sender = FSender;
    QMetaObject::invokeMethod(
        Sender, [Sender, Notice] { Sender->Send(Notice); }, Qt::QueuedConnection);
}

void TDesktopNotifier::Close(const QString& Key) {
    TDBusNotifySender* Sender = FSender;
    QMetaObject::invokeMethod(
        Sender, [Sender, Key] { Sender->Close(Key); }, Qt::QueuedConnection);
}

void TDesktopNotifier::Finished(const TAlertNotice& Notice, bool Delivered) {
    (Delivered ? FDelivered : FUndelivered).fetch_add(1);
    if (!Delivered && FFallback) {
        FFallback(Notice);
    }
    emit NoticeDone(Delivered);
}

#include "uAlertNotifier.moc"

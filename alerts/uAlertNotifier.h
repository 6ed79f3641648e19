// Desktop notifications for alert changes. TAlertNotifier is the seam: the alert center hands
// it a finished notice and returns at once; tests plug in a recorder.
//
//   TDesktopNotifier Notifier;               // the freedesktop service on the session bus
//   Notifier.Notify({"router", "Down · Request timed out · 10.0.0.1 · 14:02:11", ..., "gw"});
//   Notifier.Close("gw");                    // the notice of key "gw" leaves the screen
//
// One notice per key at a time: a notice replaces the one shown before under its key (the id the
// service returned for it goes back as replaces_id), so an Up takes the place of its Down. Calls
// for one key go out one after the other, each once the previous one has its id.
//
// TDesktopNotifier talks to org.freedesktop.Notifications from a thread of its own with
// asynchronous calls, so a bus that is slow, hung or missing never holds up the caller (the
// user-interface thread, on which the ping loops wait). A notice that cannot be delivered (no
// bus, no service, an error reply or no reply within the call's time-out) ends in the fallback, a
// plain beep when the notice asks for a sound. At most MaxPending notices wait for the bus;
// more are counted as undelivered instead of piling up.
#pragma once

#include "uAlertRules.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

struct TAlertNotice {
    QString Title; // the monitor's display name
    QString Body;  // state, why, address, time
    TAlertState State = TAlertState::Unknown;
    bool Sound = false;
    QString Key; // the notice replaces the one shown under the same key; empty: a notice alone
};

// "Down · Request timed out · 10.0.0.1 · 14:02:11": the body of a notice; empty parts are left
// out.
QString AlertNoticeBody(TAlertState State, const QString& Why, const QString& Address,
                        const QString& Time);

class TAlertNotifier {
public:
    virtual ~TAlertNotifier() = default;
    // Must return promptly: it runs on the user-interface thread, inside a monitor's result.
    virtual void Notify(const TAlertNotice& Notice) = 0;
    // The notice shown under Key, if any, leaves the screen.
    virtual void Close(const QString& Key) = 0;
};

class TDBusNotifySender;
class QThread;

class TDesktopNotifier : public QObject, public TAlertNotifier {
    Q_OBJECT

public:
    static constexpr int DefaultCallTimeoutMs = 10000;
    static constexpr int MaxPending = 32;

    // BusAddress: the bus to use; empty for the session bus. CallTimeoutMs: how long a call may
    // wait for the service's answer. Fallback runs on this object's thread for each notice that
    // could not be delivered; the default beeps when the notice asks for a sound.
    explicit TDesktopNotifier(const QString& BusAddress = {},
                              int CallTimeoutMs = DefaultCallTimeoutMs, QObject* Parent = nullptr);
    ~TDesktopNotifier() override;

    void Notify(const TAlertNotice& Notice) override;
    void Close(const QString& Key) override;

    using TFallback = std::function<void(const TAlertNotice&)>;
    void SetFallback(TFallback Fallback) { FFallback = std::move(Fallback); }

    // Counts, for tests and diagnostics.
    int Delivered() const { return FDelivered.load(); }
    int Undelivered() const { return FUndelivered.load(); }

signals:
    // After each notice: delivered to the service, or handed to the fallback.
    void NoticeDone(bool Delivered);

private:
    void Finished(const TAlertNotice& Notice, bool Delivered);

    QThread* FThread = nullptr;
    TDBusNotifySender* FSender = nullptr;
    TFallback FFallback;
    std::atomic<int> FPending{0};
    std::atomic<int> FDelivered{0};
    std::atomic<int> FUndelivered{0};
};

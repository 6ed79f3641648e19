// TAlertCenter keeps the alert state of every running monitor and tells the desktop when one
// changes. Widget-free and independent of who runs the monitors: its owner hands it each
// monitor's results on the user-interface thread (it reads them from the monitor's own samples;
// there is no second ping path), the monitors' new names and going, and the alerting switch.
// The tray and the window read the summary.
//
//   TAlertCenter Alerts;
//   Alerts.SetNotifier(&Notifier);
//   Alerts.SetSettings(ReadAlertSettings(Store.Config()));
//   Alerts.SetEnabled(Alerting);
//   Alerts.ResultArrived(Monitor);   // for each result, from the owner's wiring
//
// The state is tracked while alerting is off too, so the tray and the "Degraded" mark stay
// right and turning alerting on raises nothing for states that already hold; only the
// notifications wait for the switch.
//
// Each monitor has one notice on screen at a time (its key): a change replaces the one before.
// When more than BurstHosts monitors change within BurstMs of each other, one summary notice
// ("12 hosts down: a, b, c, …") takes the place of theirs until the changes pause for BurstMs;
// the tray's list still names each of them.
#pragma once

#include "uAlertNotifier.h"
#include "uAlertRules.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

class TClock;
class TPingerSession;
struct TPingEventObj;

class TAlertCenter : public QObject {
    Q_OBJECT

public:
    static constexpr int BurstHosts = 5;
    static constexpr std::int64_t BurstMs = 2000;
    // The key of the summary notice.
    static const QString SummaryKey;

    explicit TAlertCenter(QObject* Parent = nullptr);
    ~TAlertCenter() override;

    // The clock that times the changes for the summary; the system's by default.
    void SetClock(std::shared_ptr<TClock> Clock);

    void SetNotifier(TAlertNotifier* Notifier) { FNotifier = Notifier; } // not owned
    bool Enabled() const { return FEnabled; }
    // Every monitor counts afresh under the new thresholds; its state holds.
    void SetSettings(const TAlertSettings& Settings);
    const TAlertSettings& Settings() const { return FSettings; }

    // The alerting switch: notifications are sent only while it is on.
    void SetEnabled(bool On) { FEnabled = On; }
    // The monitor's newest sample was just recorded. A failure right after a sleep of the
    // machine is passed over.
    void ResultArrived(TPingerSession& Monitor);
    // The monitor is going; it is forgotten (and never dereferenced again).
    void MonitorRemoved(const TPingerSession& Monitor);
    // The monitor shows another name; the summary says it.
    void MonitorRenamed(const TPingerSession& Monitor);

    TAlertState State(const TPingerSession& Monitor) const;
    // The worst state over all monitors; Unknown when there are none or none has a result.
    TAlertState WorstState() const;
    // "name: Down" for every monitor that is down, "name: Degraded (why)" for every one that is
    // degraded, the down ones first, each part sorted by name.
    QStringList TroubleList() const;
    int MonitorCount() const { return int(FEntries.size()); }
    // The key of Monitor's notices.
    static QString NoticeKey(const TPingerSession& Monitor);

signals:
    // The worst state or the trouble list may have changed.
    void SummaryChanged();

private:
    struct TEntry {
        TAlertTracker Tracker;
        std::string Target;
        QString Name;
        QString Key;
        TAlertChange Last; // the last change, with its reason
    };
    struct TRecent {
        std::int64_t Ms = 0;
        QString Key;
        QString Name;
        TAlertState State = TAlertState::Unknown;
    };

    void Notify(const TEntry& Entry, const TPingEventObj& Sample, const TAlertChange& Change);
    void NotifySummary(const QString& Time);

    std::shared_ptr<TClock> FClock;
    std::deque<TRecent> FRecent; // the changes told in the last BurstMs
    std::vector<TRecent> FBurst; // while summarising: each host's latest change
    std::int64_t FLastChangeMs = 0;
    TAlertSettings FSettings;
    TAlertNotifier* FNotifier = nullptr;
    bool FEnabled = false;
    std::unordered_map<const TPingerSession*, TEntry> FEntries;
};

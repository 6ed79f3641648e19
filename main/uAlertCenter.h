// TAlertCenter keeps the alert state of every running monitor and tells the desktop when one
// changes. Widget-free: the owner feeds it each monitor's results, on the user-interface thread,
// from the monitor's own samples (there is no second ping path), and tells it when a monitor
// goes. The tray and the window read the summary.
//
//   TAlertCenter Alerts;
//   Alerts.SetNotifier(&Notifier);
//   Alerts.SetSettings(Store.ReadAlertSettings());
//   Alerts.SetEnabled(Store.ReadAlertingEnable());
//   Monitor.OnMonitorUpdated = [&](TPingerSession& M) { Alerts.ResultArrived(M); };
//   ... Alerts.MonitorRemoved(Monitor) when it closes.
//
// The state is tracked while alerting is off too, so the tray and the "Degraded" mark stay
// right and turning alerting on raises nothing for states that already hold; only the
// notifications wait for the switch.
#pragma once

#include "uAlertNotifier.h"
#include "uAlertRules.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <unordered_map>

class TPingerSession;
struct TPingEventObj;

class TAlertCenter : public QObject {
    Q_OBJECT

public:
    explicit TAlertCenter(QObject* Parent = nullptr);

    void SetNotifier(TAlertNotifier* Notifier) { FNotifier = Notifier; } // not owned
    void SetEnabled(bool On) { FEnabled = On; }
    bool Enabled() const { return FEnabled; }
    // Every monitor counts afresh under the new thresholds; its state holds.
    void SetSettings(const TAlertSettings& Settings);
    const TAlertSettings& Settings() const { return FSettings; }

    // The monitor's newest sample was just recorded. A failure right after a sleep of the
    // machine is passed over.
    void ResultArrived(TPingerSession& Monitor);
    // The monitor is going; it is forgotten (and never dereferenced again).
    void MonitorRemoved(const TPingerSession& Monitor);

    TAlertState State(const TPingerSession& Monitor) const;
    // The worst state over all monitors; Unknown when there are none or none has a result.
    TAlertState WorstState() const;
    // "name: Down" for every monitor that is down or degraded, the down ones first, each part
    // sorted by name.
    QStringList TroubleList() const;
    int MonitorCount() const { return int(FEntries.size()); }

signals:
    // The worst state or the trouble list may have changed.
    void SummaryChanged();

private:
    void Notify(const QString& Name, const TPingEventObj& Sample, TAlertState To);

    struct TEntry {
        TAlertTracker Tracker;
        std::string Target;
        QString Name;
    };

    TAlertSettings FSettings;
    TAlertNotifier* FNotifier = nullptr;
    bool FEnabled = false;
    std::unordered_map<const TPingerSession*, TEntry> FEntries;
};

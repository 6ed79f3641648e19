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

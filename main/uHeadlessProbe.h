// The program without a window: the monitors of a group from the same configuration as the
// main window, their logs, their alerts and, when asked for, the metrics endpoint; for a
// server, a branch office or a lab rack where no desktop runs.
//
//   TVantorelProbe Probe(Options);
//   Probe.Start();                 // throws with a message fit for a user
//   ... event loop; a termination signal calls Probe.Close() and ends it
//
// Alerts go to the desktop's notification service when the session bus has one; otherwise
// each change is one line on the standard error, with the priority prefix the journal reads.
#pragma once

#include <QObject>
#include <QString>

#include <cstdio>
#include <functional>
#include <memory>

class TAlertCenter;
class TConfigStore;
class TDesktopNotifier;
class TMetricsEndpoint;
class TMonitorHub;
class TRegistryStore;
struct TAlertNotice;

class TVantorelProbe : public QObject {
    Q_OBJECT

public:
    struct TOptions {
        QString Group;         // empty: the default group
        QString MetricsListen; // empty: as config.ini's [METRICS] Listen says (off when absent)
    };

    explicit TVantorelProbe(const TOptions& Options, TRegistryStore* Registry = nullptr,
                            QObject* Parent = nullptr);
    ~TVantorelProbe() override;

    // Reads the configuration, opens the group and starts serving metrics. Throws
    // std::runtime_error with what went wrong (a group that does not exist, a metrics address
    // that cannot be used).
    void Start();
    // Saves what a close of the main window saves and stops every monitor. Once.
    void Close();

    TMonitorHub& Hub() const { return *FHub; }
    TAlertCenter& Alerts() const { return *FAlerts; }
    TMetricsEndpoint* Metrics() const { return FMetrics.get(); }
    // Where warnings and alert lines go (the standard error by default).
    void SetLog(std::function<void(const QString& Line)> Log) { FLog = std::move(Log); }

private:
    void StartMetrics();
    void AlertLine(const TAlertNotice& Notice);

    TOptions FOptions;
    std::unique_ptr<TRegistryStore> FOwnRegistry;
    TRegistryStore* FRegistry;
    std::unique_ptr<TConfigStore> FConfig;
    std::unique_ptr<TMonitorHub> FHub;
    std::unique_ptr<TAlertCenter> FAlerts;
    std::unique_ptr<TDesktopNotifier> FNotifier;
    std::unique_ptr<TMetricsEndpoint> FMetrics;
    std::function<void(const QString&)> FLog;
    bool FStarted = false;
    bool FClosed = false;
};

// The metrics endpoint of Hub at Listen ("PORT", "ADDRESS:PORT" or "[IPV6]:PORT"), with the alert
// states of Alerts; null when Listen is blank. Warn hears, once, that the address is not a
// loopback one. Throws std::runtime_error with a message fit for a user when Listen is not an
// address or the endpoint cannot listen there.
std::unique_ptr<TMetricsEndpoint>
StartMetricsEndpoint(TMonitorHub& Hub, TAlertCenter& Alerts, const QString& Listen,
                     const std::function<void(const QString&)>& Warn);

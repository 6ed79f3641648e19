// The program without a window: the application core (TVantorelCore) as the main window would
// run it, on the monitors of a group from the same configuration, with their logs, their alerts
// and, when asked for, the metrics endpoint; for a server, a branch office or a lab rack where no
// desktop runs. Nobody is there to answer: what the core would ask a person is declined, its
// messages are log lines, and an error while starting or closing ends the run.
//
//   TVantorelProbe Probe(Options);
//   Probe.Start();                 // throws with a message fit for a user
//   ... event loop; a termination signal calls Probe.Close() and ends it
//
// Alerts go to the desktop's notification service when the session bus has one; otherwise
// each change is one line on the standard error, with the priority prefix the journal reads.
#pragma once

#include "uVantorelCore.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

class TAlertCenter;
class TDesktopNotifier;
class TMetricsEndpoint;
class TMonitorHub;
class TRegistryStore;
struct TAlertNotice;

class TVantorelProbe : public QObject, private IVantorelPrompter {
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

    TVantorelCore& Core() { return FCore; }
    TMonitorHub& Hub() const { return FCore.Hub(); }
    TAlertCenter& Alerts() const { return FCore.Alerts(); }
    TMetricsEndpoint* Metrics() const { return FMetrics.get(); }
    // Where warnings and alert lines go (the standard error by default).
    void SetLog(std::function<void(const QString& Line)> Log) { FLog = std::move(Log); }

private:
    void StartMetrics();
    void AlertLine(const TAlertNotice& Notice);
    // Throws what the core told as an error since the last call.
    void ThrowErrors();

    void Tell(TMessage Kind, const QString& Text) override;
    bool Confirm(const QString&, TButtons) override { return false; }
    void ShowError(const std::exception& Error) override;
    QString ChooseConfigFile(bool) override { return {}; }
    std::optional<QString> AskGroupName(const QStringList&) override { return std::nullopt; }
    bool EditFriendlyNames(QString&) override { return false; }

    TOptions FOptions;
    TVantorelCore FCore;
    std::unique_ptr<TDesktopNotifier> FNotifier;
    std::unique_ptr<TMetricsEndpoint> FMetrics;
    std::function<void(const QString&)> FLog;
    QStringList FErrors;
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

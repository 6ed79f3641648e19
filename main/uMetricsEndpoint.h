// The metrics endpoint: every running monitor's state in Prometheus's text format, served over
// HTTP by prometheus-cpp's pull exposer, for a Prometheus server to scrape.
//
//   TMetricsEndpoint Metrics(Hub);
//   Metrics.SetAlertStateSource([&](const TPingerSession& S) { return Alerts.State(S); });
//   Metrics.Listen(TMetricsEndpoint::ParseListen(QStringLiteral("9464")));   // 127.0.0.1:9464
//
// Series are labelled by target (as typed), name (the display name), address and group; a
// monitor that goes takes its series with it. Results arrive on the user-interface thread, a
// scrape runs on the exposer's own thread: the figures sit behind one mutex, and a scrape copies
// nothing but what it writes. Nothing here follows the user's locale.
#pragma once

#include "uAlertRules.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
}
class TMonitorHub;
class TPingerSession;

// The figures of every monitor, kept for the exposition. Thread-safe: updates from the UI thread,
// Collect from the exposer's.
class TMetricsRegistry : public prometheus::Collectable {
public:
    // Upper bounds of the round-trip histogram, in seconds: 100 us to 5 s.
    static constexpr std::array<double, 15> Buckets = {0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                       0.005,  0.01,    0.025,  0.05,  0.1,
                                                       0.25,   0.5,     1.0,    2.5,   5.0};

    struct TLabels {
        std::string Target, Name, Address, Group;
    };

    // Key identifies one monitor for as long as it runs.
    void Add(const void* Key, const TLabels& Labels);
    void Remove(const void* Key);
    void SetLabels(const void* Key, const TLabels& Labels);
    // One finished request: answered with RoundTripMs, or failed with the status in words.
    void Result(const void* Key, bool Answered, double RoundTripMs, const std::string& Status);
    void SetUptime(const void* Key, double Percent);
    void SetAlertState(const void* Key, TAlertState State);

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    struct TTarget {
        TLabels Labels;
        std::uint64_t Order = 0; // exposition order: as added
        bool Up = false;
        std::uint64_t Requests = 0, Replies = 0;
        std::map<std::string, std::uint64_t> Failures; // by status
        std::array<std::uint64_t, Buckets.size()> BucketCounts{};
        double RoundTripSum = 0;
        double Uptime = 0; // 0..1
        TAlertState Alert = TAlertState::Unknown;
    };

    mutable std::mutex FLock;
    std::map<const void*, TTarget> FTargets;
    std::uint64_t FNextOrder = 0;
};

class TMetricsEndpoint : public QObject {
    Q_OBJECT

public:
    // Where to listen: "PORT" (loopback), "ADDRESS:PORT" or "[IPV6]:PORT".
    struct TListen {
        std::string Host; // numeric address
        int Port = 0;
        bool Loopback = true;
        std::string BindText() const; // as the exposer takes it
    };
    // Throws std::invalid_argument with a message fit for a user.
    static TListen ParseListen(const QString& Text);

    explicit TMetricsEndpoint(TMonitorHub& Hub, QObject* Parent = nullptr);
    ~TMetricsEndpoint() override;

    // Where each monitor's alert state comes from (Unknown without it).
    void SetAlertStateSource(std::function<TAlertState(const TPingerSession&)> Source);
    // Every monitor's alert state read afresh (the alert center's summary changed).
    void RefreshAlertStates();

    // Starts serving /metrics. Throws std::runtime_error naming the address when it cannot
    // listen there (the port in use, an address that is not this machine's).
    void Listen(const TListen& Where);
    bool Listening() const { return FExposer != nullptr; }
    int Port() const; // the port actually bound (0 asked for: the kernel's choice)

    const std::shared_ptr<TMetricsRegistry>& Registry() const { return FRegistry; }

private:
    TMetricsRegistry::TLabels LabelsOf(const TPingerSession& Monitor) const;
    void Added(TPingerSession* Monitor);
    void Updated(TPingerSession* Monitor);

    TMonitorHub& FHub;
    std::function<TAlertState(const TPingerSession&)> FAlertState;
    std::shared_ptr<TMetricsRegistry> FRegistry;
    std::shared_ptr<prometheus::Collectable> FProcess;
    std::unique_ptr<prometheus::Exposer> FExposer;
};

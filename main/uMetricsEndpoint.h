// The metrics endpoint: every running monitor's state in Prometheus's text format, served over
// HTTP by civetweb (the HTTP library Prometheus's C++ client builds its exposer on), for a
// Prometheus server to scrape.
//
//   TMetricsEndpoint Metrics(Hub);
//   Metrics.SetAlertStateSource([&](const TPingerSession& S) { return Alerts.State(S); });
//   Metrics.Listen(TMetricsEndpoint::ParseListen(QStringLiteral("9464")));   // 127.0.0.1:9464
//
// Series are labelled by target (as typed), name (the display name), address and group; a
// monitor that goes takes its series with it. Results arrive on the user-interface thread, a
// scrape runs on the server's own thread: the figures sit behind one mutex, and a scrape writes
// the text straight from them (each monitor's labels are written out once, when they change).
// A scraper that accepts gzip gets the text compressed at zlib's fastest level: at 1,000
// monitors the text is 3 MB, and the default level alone took longer than the rest of a scrape.
// Nothing here follows the user's locale.
#pragma once

#include "uAlertRules.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CivetServer;
class TMonitorHub;
class TPingerSession;

// The figures of every monitor, kept for the exposition. Thread-safe: updates from the UI thread,
// Write from the server's.
class TMetricsRegistry {
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

    // Appends every monitor's families in the text exposition format, monitors in the order
    // they were added.
    void Write(std::string& Out) const;

private:
    struct TTarget {
        TLabels Labels;
        std::string LabelText;   // the labels as the exposition writes them, without braces
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

// The process's own CPU time and memory in the text exposition format, under the names
// Prometheus's client libraries use for them.
void WriteProcessMetrics(std::string& Out);

// What one scrape answers: the monitors' and the process's metrics, gzip-compressed when Gzip
// (plain text if compression fails).
std::string MetricsResponseBody(const TMetricsRegistry& Registry, bool Gzip,
                                bool* Compressed = nullptr);

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
    bool Listening() const { return FServer != nullptr; }
    int Port() const; // the port actually bound (0 asked for: the kernel's choice)

    const std::shared_ptr<TMetricsRegistry>& Registry() const { return FRegistry; }

private:
    class THandler;

    TMetricsRegistry::TLabels LabelsOf(const TPingerSession& Monitor) const;
    void Added(TPingerSession* Monitor);
    void Updated(TPingerSession* Monitor);

    TMonitorHub& FHub;
    std::function<TAlertState(const TPingerSession&)> FAlertState;
    std::shared_ptr<TMetricsRegistry> FRegistry;
    std::unique_ptr<THandler> FHandler;
    std::unique_ptr<CivetServer> FServer; // stopped before the handler and registry go
};

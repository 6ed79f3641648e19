#include "uMetricsEndpoint.h"

#include "uMonitorHub.h"
#include "uPingerSession.h"
#include "zsPingStatus.h"

#include <prometheus/exposer.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <unistd.h>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

std::vector<ClientMetric::Label> LabelList(const TMetricsRegistry::TLabels& L) {
    return {{"address", L.Address}, {"group", L.Group}, {"name", L.Name}, {"target", L.Target}};
}

MetricFamily Family(const char* Name, const char* Help, MetricType Type) {
    MetricFamily F;
    F.name = Name;
    F.help = Help;
    F.type = Type;
    return F;
}

ClientMetric Gauge(std::vector<ClientMetric::Label> Labels, double Value) {
    ClientMetric M;
    M.label = std::move(Labels);
    M.gauge.value = Value;
    return M;
}

ClientMetric Counter(std::vector<ClientMetric::Label> Labels, double Value) {
    ClientMetric M;
    M.label = std::move(Labels);
    M.counter.value = Value;
    return M;
}

// The process's own CPU time and memory, read at each scrape, under the names Prometheus's
// client libraries use for them.
class TProcessCollector : public prometheus::Collectable {
public:
    std::vector<MetricFamily> Collect() const override {
        std::vector<MetricFamily> Out;
        const long Tick = sysconf(_SC_CLK_TCK);
        const long Page = sysconf(_SC_PAGESIZE);
        std::ifstream Stat("/proc/self/stat");
        std::string Line;
        if (std::getline(Stat, Line)) {
            // The command name is in parentheses and may hold blanks: fields count from its end.
            const std::size_t Close = Line.rfind(')');
            std::vector<std::string> F;
            std::size_t Pos = Close == std::string::npos ? Line.size() : Close + 2;
            while (Pos < Line.size()) {
                const std::size_t End = std::min(Line.find(' ', Pos), Line.size());
                F.push_back(Line.substr(Pos, End - Pos));
                Pos = End + 1;
            }
            // F[0] is field 3 (state): utime is field 14, stime 15, vsize 23, rss 24.
            if (F.size() > 21 && Tick > 0) {
                const double Cpu = (std::stod(F[11]) + std::stod(F[12])) / double(Tick);
                MetricFamily C =
                    Family("process_cpu_seconds_total",
                           "Total user and system CPU time spent in seconds.", MetricType::Counter);
                C.metric.push_back(Counter({}, Cpu));
                Out.push_back(std::move(C));
                MetricFamily R = Family("process_resident_memory_bytes",
                                        "Resident memory size in bytes.", MetricType::Gauge);
                R.metric.push_back(Gauge({}, std::stod(F[21]) * double(Page)));
                Out.push_back(std::move(R));
                MetricFamily V = Family("process_virtual_memory_bytes",
                                        "Virtual memory size in bytes.", MetricType::Gauge);
                V.metric.push_back(Gauge({}, std::stod(F[20])));
                Out.push_back(std::move(V));
            }
        }
        return Out;
    }
};

} // namespace

// --- the registry ------------------------------------------------------------------------------

void TMetricsRegistry::Add(const void* Key, const TLabels& Labels) {
    std::lock_guard Guard(FLock);
    TTarget& T = FTargets[Key];
    T = TTarget{};
    T.Labels = Labels;
    T.Order = FNextOrder++;
}

void TMetricsRegistry::Remove(const void* Key) {
    std::lock_guard Guard(FLock);
    FTargets.erase(Key);
}

void TMetricsRegistry::SetLabels(const void* Key, const TLabels& Labels) {
    std::lock_guard Guard(FLock);
    if (auto It = FTargets.find(Key); It != FTargets.end()) {
        It->second.Labels = Labels;
    }
}

void TMetricsRegistry::Result(const void* Key, bool Answered, double RoundTripMs,
                              const std::string& Status) {
    std::lock_guard Guard(FLock);
    auto It = FTargets.find(Key);
    if (It == FTargets.end()) {
        return;
    }
    TTarget& T = It->second;
    ++T.Requests;
    T.Up = Answered;
    if (!Answered) {
        ++T.Failures[Status];
        return;
    }
    ++T.Replies;
    const double Seconds = std::max(0.0, RoundTripMs) / 1000.0;
    T.RoundTripSum += Seconds;
    for (std::size_t I = 0; I < Buckets.size(); ++I) {
        if (Seconds <= Buckets[I]) {
            ++T.BucketCounts[I];
            break;
        }
    }
}

void TMetricsRegistry::SetUptime(const void* Key, double Percent) {
    std::lock_guard Guard(FLock);
    if (auto It = FTargets.find(Key); It != FTargets.end()) {
        It->second.Uptime = std::clamp(Percent / 100.0, 0.0, 1.0);
    }
}

void TMetricsRegistry::SetAlertState(const void* Key, TAlertState State) {
    std::lock_guard Guard(FLock);
    if (auto It = FTargets.find(Key); It != FTargets.end()) {
        It->second.Alert = State;
    }
}

std::vector<MetricFamily> TMetricsRegistry::Collect() const {
    std::lock_guard Guard(FLock);
    std::vector<const TTarget*> Order;
    Order.reserve(FTargets.size());
    for (const auto& [Key, T] : FTargets) {
        Order.push_back(&T);
    }
    std::sort(Order.begin(), Order.end(),
              [](const TTarget* A, const TTarget* B) { return A->Order < B->Order; });

    MetricFamily Up =
        Family("vantorel_up", "1 when the last echo request was answered.", MetricType::Gauge);
    MetricFamily Rtt = Family("vantorel_round_trip_seconds",
                              "Round trips of answered echo requests.", MetricType::Histogram);
    MetricFamily Requests =
        Family("vantorel_echo_requests_total", "Echo requests finished.", MetricType::Counter);
    MetricFamily Replies =
        Family("vantorel_echo_replies_total", "Echo requests answered.", MetricType::Counter);
    MetricFamily Failures = Family("vantorel_echo_failures_total",
                                   "Echo requests that failed, by status.", MetricType::Counter);
    MetricFamily Alert =
        Family("vantorel_alert_state", "The monitor's alert state: 1 for the current one.",
               MetricType::Gauge);
    MetricFamily Uptime =
        Family("vantorel_uptime_ratio",
               "Share of answered requests over the graph's span (0 to 1).", MetricType::Gauge);

    static constexpr std::array<std::pair<TAlertState, const char*>, 4> States = {
        {{TAlertState::Up, "up"},
         {TAlertState::Degraded, "degraded"},
         {TAlertState::Down, "down"},
         {TAlertState::Unknown, "unknown"}}};

    for (const TTarget* T : Order) {
        const auto Labels = LabelList(T->Labels);
        Up.metric.push_back(Gauge(Labels, T->Up ? 1 : 0));

        ClientMetric H;
        H.label = Labels;
        std::uint64_t Cumulative = 0;
        for (std::size_t I = 0; I < Buckets.size(); ++I) {
            Cumulative += T->BucketCounts[I];
            H.histogram.bucket.push_back({Cumulative, Buckets[I]});
        }
        H.histogram.sample_count = T->Replies;
        H.histogram.sample_sum = T->RoundTripSum;
        Rtt.metric.push_back(std::move(H));

        Requests.metric.push_back(Counter(Labels, double(T->Requests)));
        Replies.metric.push_back(Counter(Labels, double(T->Replies)));
        for (const auto& [Status, Count] : T->Failures) {
            auto L = Labels;
            L.push_back({"status", Status});
            Failures.metric.push_back(Counter(std::move(L), double(Count)));
        }
        for (const auto& [State, Name] : States) {
            auto L = Labels;
            L.push_back({"state", Name});
            Alert.metric.push_back(Gauge(std::move(L), T->Alert == State ? 1 : 0));
        }
        Uptime.metric.push_back(Gauge(Labels, T->Uptime));
    }
    std::vector<MetricFamily> Out;
    for (MetricFamily* F : {&Up, &Rtt, &Requests, &Replies, &Failures, &Alert, &Uptime}) {
        Out.push_back(std::move(*F));
    }
    return Out;
}

// --- the endpoint ------------------------------------------------------------------------------

std::string TMetricsEndpoint::TListen::BindText() const {
    return (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" +
           std::to_string(Port);
}

TMetricsEndpoint::TListen TMetricsEndpoint::ParseListen(const QString& Text) {
    const QString T = Text.trimmed();
    QString HostText, PortText;
    if (T.startsWith(QLatin1Char('['))) {
        const qsizetype Close = T.indexOf(QLatin1Char(']'));
        if (Close < 0 || T.mid(Close + 1, 1) != QLatin1String(":")) {
            throw std::invalid_argument("'" + T.toStdString() +
                                        "' is not an address and port ([ADDRESS]:PORT)");
        }
        HostText = T.mid(1, Close - 1);
        PortText = T.mid(Close + 2);
    } else if (const qsizetype Colon = T.lastIndexOf(QLatin1Char(':')); Colon >= 0) {
        HostText = T.left(Colon);
        PortText = T.mid(Colon + 1);
        if (HostText.contains(QLatin1Char(':'))) {
            throw std::invalid_argument("'" + T.toStdString() +
                                        "': write an IPv6 address in brackets, [ADDRESS]:PORT");
        }
    } else {
        PortText = T;
    }
    bool Ok = false;
    const int Port = PortText.toInt(&Ok);
    if (!Ok || Port < 0 || Port > 65535 || PortText.isEmpty()) {
        throw std::invalid_argument("'" + T.toStdString() + "' has no valid port (0 to 65535)");
    }
    TListen L;
    L.Port = Port;
    if (HostText.isEmpty()) {
        L.Host = "127.0.0.1";
        return L;
    }
    // Numeric only: a name would need a lookup, and which address it binds would be a guess.
    const std::string Host = HostText.toStdString();
    char Canonical[INET6_ADDRSTRLEN] = {};
    in_addr V4{};
    in6_addr V6{};
    if (inet_pton(AF_INET, Host.c_str(), &V4) == 1) {
        inet_ntop(AF_INET, &V4, Canonical, sizeof Canonical);
        L.Loopback = (ntohl(V4.s_addr) >> 24) == 127;
    } else if (inet_pton(AF_INET6, Host.c_str(), &V6) == 1) {
        inet_ntop(AF_INET6, &V6, Canonical, sizeof Canonical);
        L.Loopback =
            IN6_IS_ADDR_LOOPBACK(&V6) || (IN6_IS_ADDR_V4MAPPED(&V6) && V6.s6_addr[12] == 127);
    } else {
        throw std::invalid_argument("'" + Host + "' is not a numeric IPv4 or IPv6 address");
    }
    L.Host = Canonical;
    return L;
}

TMetricsEndpoint::TMetricsEndpoint(TMonitorHub& Hub, QObject* Parent)
    : QObject(Parent), FHub(Hub), FRegistry(std::make_shared<TMetricsRegistry>()),
      FProcess(std::make_shared<TProcessCollector>()) {
    for (int I = 0; I < Hub.Count(); ++I) {
        Added(Hub.Monitor(I));
    }
    connect(&Hub, &TMonitorHub::MonitorAdded, this, &TMetricsEndpoint::Added);
    connect(&Hub, &TMonitorHub::MonitorUpdated, this, &TMetricsEndpoint::Updated);
    connect(&Hub, &TMonitorHub::MonitorRenamed, this,
            [this](TPingerSession* Monitor) { FRegistry->SetLabels(Monitor, LabelsOf(*Monitor)); });
    connect(&Hub, &TMonitorHub::MonitorRemoved, this,
            [this](TPingerSession* Monitor) { FRegistry->Remove(Monitor); });
}

TMetricsEndpoint::~TMetricsEndpoint() = default;

void TMetricsEndpoint::SetAlertStateSource(
    std::function<TAlertState(const TPingerSession&)> Source) {
    FAlertState = std::move(Source);
    RefreshAlertStates();
}

void TMetricsEndpoint::RefreshAlertStates() {
    if (!FAlertState) {
        return;
    }
    for (int I = 0; I < FHub.Count(); ++I) {
        const TPingerSession* Monitor = FHub.Monitor(I);
        FRegistry->SetAlertState(Monitor, FAlertState(*Monitor));
    }
}

TMetricsRegistry::TLabels TMetricsEndpoint::LabelsOf(const TPingerSession& Monitor) const {
    return {Monitor.Target(), Monitor.DisplayName(), Monitor.AddressText(),
            FHub.CurrentGroup().toStdString()};
}

void TMetricsEndpoint::Added(TPingerSession* Monitor) {
    FRegistry->Add(Monitor, LabelsOf(*Monitor));
}

void TMetricsEndpoint::Updated(TPingerSession* Monitor) {
    if (Monitor->Samples().empty()) {
        return;
    }
    const TPingEvent E = Monitor->LastEvent();
    FRegistry->SetLabels(Monitor, LabelsOf(*Monitor));
    // A request that a sleep of the machine cut off says nothing about the host.
    const TPingEventObj& Sample = Monitor->Samples()[0];
    if (Sample.Success || !Sample.AfterGap) {
        FRegistry->Result(Monitor, E.Success, E.RoundTrip, E.Success ? "" : StatusName(E.Status));
    }
    FRegistry->SetUptime(Monitor, Monitor->Uptime());
    if (FAlertState) {
        FRegistry->SetAlertState(Monitor, FAlertState(*Monitor));
    }
}

void TMetricsEndpoint::Listen(const TListen& Where) {
    try {
        // One serving thread is plenty for a scrape every few seconds.
        auto Exposer = std::make_unique<prometheus::Exposer>(Where.BindText(), 1);
        Exposer->RegisterCollectable(FRegistry);
        Exposer->RegisterCollectable(FProcess);
        FExposer = std::move(Exposer);
    } catch (const std::exception&) {
        throw std::runtime_error("Cannot serve metrics on " + Where.BindText() +
                                 ": the port is in use or the address is not one of this "
                                 "machine's.");
    }
}

int TMetricsEndpoint::Port() const {
    if (!FExposer) {
        return 0;
    }
    const std::vector<int> Ports = FExposer->GetListeningPorts();
    return Ports.empty() ? 0 : Ports.front();
}

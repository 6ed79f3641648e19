#include "uMetricsEndpoint.h"

#include "uMonitorHub.h"
#include "uPingerSession.h"
#include "zsPingStatus.h"

#include <CivetServer.h>
#include <zlib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

// A number as Prometheus reads it: 16 significant digits, never in the user's locale.
void AppendNumber(std::string& Out, double Value) {
    if (std::isnan(Value)) {
        Out += "NaN";
    } else if (std::isinf(Value)) {
        Out += Value < 0 ? "-Inf" : "+Inf";
    } else {
        char Text[32];
        const auto End =
            std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::general, 16).ptr;
        Out.append(Text, End);
    }
}

void AppendCount(std::string& Out, std::uint64_t Value) {
    char Text[24];
    const auto End = std::to_chars(Text, Text + sizeof Text, Value).ptr;
    Out.append(Text, End);
}

// A label value between its quotes: backslash, double quote and line feed escaped.
void AppendLabelValue(std::string& Out, std::string_view Value) {
    for (const char C : Value) {
        if (C == '\\') {
            Out += "\\\\";
        } else if (C == '"') {
            Out += "\\\"";
        } else if (C == '\n') {
            Out += "\\n";
        } else {
            Out += C;
        }
    }
}

void AppendLabel(std::string& Out, std::string_view Name, std::string_view Value) {
    Out += Name;
    Out += "=\"";
    AppendLabelValue(Out, Value);
    Out += '"';
}

std::string LabelText(const TMetricsRegistry::TLabels& L) {
    std::string Out;
    AppendLabel(Out, "address", L.Address);
    Out += ',';
    AppendLabel(Out, "group", L.Group);
    Out += ',';
    AppendLabel(Out, "name", L.Name);
    Out += ',';
    AppendLabel(Out, "target", L.Target);
    return Out;
}

void AppendFamily(std::string& Out, std::string_view Name, std::string_view Help,
                  std::string_view Type) {
    Out += "# HELP ";
    Out += Name;
    Out += ' ';
    Out += Help;
    Out += "\n# TYPE ";
    Out += Name;
    Out += ' ';
    Out += Type;
    Out += '\n';
}

// "Name{Labels Extra} " of one series; its value and the line's end follow.
void AppendSeries(std::string& Out, std::string_view Name, const std::string& Labels,
                  std::string_view Extra = {}) {
    Out += Name;
    Out += '{';
    Out += Labels;
    Out += Extra;
    Out += "} ";
}

// The histogram's bucket labels, ",le=\"0.0001\"" to ",le=\"+Inf\"".
const std::vector<std::string>& BucketLabels() {
    static const std::vector<std::string> Labels = [] {
        std::vector<std::string> L;
        for (const double Bound : TMetricsRegistry::Buckets) {
            std::string Text = ",le=\"";
            AppendNumber(Text, Bound);
            L.push_back(Text + '"');
        }
        L.push_back(",le=\"+Inf\"");
        return L;
    }();
    return Labels;
}

std::string GzipText(const std::string& Text) {
    z_stream Stream{};
    // 16 above the window bits: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&Stream, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return {};
    }
    std::string Out(deflateBound(&Stream, uLong(Text.size())), '\0');
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Text.data()));
    Stream.avail_in = uInt(Text.size());
    Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
    Stream.avail_out = uInt(Out.size());
    const int Result = deflate(&Stream, Z_FINISH);
    Out.resize(Stream.total_out);
    deflateEnd(&Stream);
    return Result == Z_STREAM_END ? Out : std::string();
}

} // namespace

void WriteProcessMetrics(std::string& Out) {
    const long Tick = sysconf(_SC_CLK_TCK);
    const long Page = sysconf(_SC_PAGESIZE);
    std::ifstream Stat("/proc/self/stat");
    std::string Line;
    if (!std::getline(Stat, Line)) {
        return;
    }
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
    if (F.size() <= 21 || Tick <= 0) {
        return;
    }
    AppendFamily(Out, "process_cpu_seconds_total",
                 "Total user and system CPU time spent in seconds.", "counter");
    Out += "process_cpu_seconds_total ";
    AppendNumber(Out, (std::stod(F[11]) + std::stod(F[12])) / double(Tick));
    Out += '\n';
    AppendFamily(Out, "process_resident_memory_bytes", "Resident memory size in bytes.", "gauge");
    Out += "process_resident_memory_bytes ";
    AppendNumber(Out, std::stod(F[21]) * double(Page));
    Out += '\n';
    AppendFamily(Out, "process_virtual_memory_bytes", "Virtual memory size in bytes.", "gauge");
    Out += "process_virtual_memory_bytes ";
    AppendNumber(Out, std::stod(F[20]));
    Out += '\n';
}

std::string MetricsResponseBody(const TMetricsRegistry& Registry, bool Gzip, bool* Compressed) {
    std::string Text;
    Registry.Write(Text);
    WriteProcessMetrics(Text);
    std::string Packed = Gzip ? GzipText(Text) : std::string();
    if (Compressed) {
        *Compressed = !Packed.empty();
    }
    return Packed.empty() ? Text : Packed;
}

// --- the registry ------------------------------------------------------------------------------

void TMetricsRegistry::Add(const void* Key, const TLabels& Labels) {
    std::lock_guard Guard(FLock);
    TTarget& T = FTargets[Key];
    T = TTarget{};
    T.Labels = Labels;
    T.LabelText = LabelText(Labels);
    T.Order = FNextOrder++;
}

void TMetricsRegistry::Remove(const void* Key) {
    std::lock_guard Guard(FLock);
    FTargets.erase(Key);
}

void TMetricsRegistry::SetLabels(const void* Key, const TLabels& Labels) {
    std::lock_guard Guard(FLock);
    if (auto It = FTargets.find(Key); It != FTargets.end()) {
        TLabels& Now = It->second.Labels;
        // Called after every result: the text is written again only when a label changed.
        if (Now.Target != Labels.Target || Now.Name != Labels.Name ||
            Now.Address != Labels.Address || Now.Group != Labels.Group) {
            Now = Labels;
            It->second.LabelText = LabelText(Labels);
        }
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

void TMetricsRegistry::Write(std::string& Out) const {
    std::lock_guard Guard(FLock);
    std::vector<const TTarget*> Order;
    Order.reserve(FTargets.size());
    for (const auto& [Key, T] : FTargets) {
        Order.push_back(&T);
    }
    std::sort(Order.begin(), Order.end(),
              [](const TTarget* A, const TTarget* B) { return A->Order < B->Order; });
    // About 3 KB a monitor.
    Out.reserve(Out.size() + 4096 * (Order.size() + 1));

    AppendFamily(Out, "vantorel_up", "1 when the last echo request was answered.", "gauge");
    for (const TTarget* T : Order) {
        AppendSeries(Out, "vantorel_up", T->LabelText);
        Out += T->Up ? "1\n" : "0\n";
    }

    AppendFamily(Out, "vantorel_round_trip_seconds", "Round trips of answered echo requests.",
                 "histogram");
    const std::vector<std::string>& Bounds = BucketLabels();
    for (const TTarget* T : Order) {
        AppendSeries(Out, "vantorel_round_trip_seconds_count", T->LabelText);
        AppendCount(Out, T->Replies);
        Out += '\n';
        AppendSeries(Out, "vantorel_round_trip_seconds_sum", T->LabelText);
        AppendNumber(Out, T->RoundTripSum);
        Out += '\n';
        std::uint64_t Cumulative = 0;
        for (std::size_t I = 0; I < Buckets.size(); ++I) {
            Cumulative += T->BucketCounts[I];
            AppendSeries(Out, "vantorel_round_trip_seconds_bucket", T->LabelText, Bounds[I]);
            AppendCount(Out, Cumulative);
            Out += '\n';
        }
        AppendSeries(Out, "vantorel_round_trip_seconds_bucket", T->LabelText, Bounds.back());
        AppendCount(Out, T->Replies);
        Out += '\n';
    }

    AppendFamily(Out, "vantorel_echo_requests_total", "Echo requests finished.", "counter");
    for (const TTarget* T : Order) {
        AppendSeries(Out, "vantorel_echo_requests_total", T->LabelText);
        AppendCount(Out, T->Requests);
        Out += '\n';
    }
    AppendFamily(Out, "vantorel_echo_replies_total", "Echo requests answered.", "counter");
    for (const TTarget* T : Order) {
        AppendSeries(Out, "vantorel_echo_replies_total", T->LabelText);
        AppendCount(Out, T->Replies);
        Out += '\n';
    }
    AppendFamily(Out, "vantorel_echo_failures_total", "Echo requests that failed, by status.",
                 "counter");
    std::string Extra;
    for (const TTarget* T : Order) {
        for (const auto& [Status, Count] : T->Failures) {
            Extra.clear();
            Extra += ',';
            AppendLabel(Extra, "status", Status);
            AppendSeries(Out, "vantorel_echo_failures_total", T->LabelText, Extra);
            AppendCount(Out, Count);
            Out += '\n';
        }
    }

    static constexpr std::array<std::pair<TAlertState, std::string_view>, 4> States = {
        {{TAlertState::Up, ",state=\"up\""},
         {TAlertState::Degraded, ",state=\"degraded\""},
         {TAlertState::Down, ",state=\"down\""},
         {TAlertState::Unknown, ",state=\"unknown\""}}};
    AppendFamily(Out, "vantorel_alert_state", "The monitor's alert state: 1 for the current one.",
                 "gauge");
    for (const TTarget* T : Order) {
        for (const auto& [State, Label] : States) {
            AppendSeries(Out, "vantorel_alert_state", T->LabelText, Label);
            Out += T->Alert == State ? "1\n" : "0\n";
        }
    }

    AppendFamily(Out, "vantorel_uptime_ratio",
                 "Share of answered requests over the graph's span (0 to 1).", "gauge");
    for (const TTarget* T : Order) {
        AppendSeries(Out, "vantorel_uptime_ratio", T->LabelText);
        AppendNumber(Out, T->Uptime);
        Out += '\n';
    }
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
    : QObject(Parent), FHub(Hub), FRegistry(std::make_shared<TMetricsRegistry>()) {
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

// GET /metrics on the server's thread.
class TMetricsEndpoint::THandler : public CivetHandler {
public:
    explicit THandler(std::shared_ptr<TMetricsRegistry> Registry)
        : FRegistry(std::move(Registry)) {}

    bool handleGet(CivetServer*, mg_connection* Connection) override {
        const char* Accepted = mg_get_header(Connection, "Accept-Encoding");
        bool Compressed = false;
        const std::string Body =
            MetricsResponseBody(*FRegistry, Accepted && std::strstr(Accepted, "gzip"), &Compressed);
        mg_printf(Connection,
                  "HTTP/1.1 200 OK\r\n"
                  "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                  "%s"
                  "Content-Length: %zu\r\n\r\n",
                  Compressed ? "Content-Encoding: gzip\r\n" : "", Body.size());
        mg_write(Connection, Body.data(), Body.size());
        return true;
    }

private:
    std::shared_ptr<TMetricsRegistry> FRegistry;
};

TMetricsEndpoint::~TMetricsEndpoint() {
    FServer.reset(); // its threads end here, before the handler goes
}

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
        const std::vector<std::string> Options = {"listening_ports", Where.BindText(),
                                                  "num_threads", "1"};
        auto Handler = std::make_unique<THandler>(FRegistry);
        auto Server = std::make_unique<CivetServer>(Options);
        Server->addHandler("/metrics", Handler.get());
        FHandler = std::move(Handler);
        FServer = std::move(Server);
    } catch (const std::exception&) {
        throw std::runtime_error("Cannot serve metrics on " + Where.BindText() +
                                 ": the port is in use or the address is not one of this "
                                 "machine's.");
    }
}

int TMetricsEndpoint::Port() const {
    if (!FServer) {
        return 0;
    }
    const std::vector<int> Ports = FServer->getListeningPorts();
    return Ports.empty() ? 0 : Ports.front();
}

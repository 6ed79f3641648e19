// What alert evaluation costs per result, on the UI thread, beside the result handling it rides
// on (qt_bench_monitor's BM_PingDone):
// - BM_AlertTracker/<K>: the state machine alone, one result, with a window of K results; the
//   pattern loses one ping in sixteen (below the loss limit), so the state holds, as it does for
//   nearly every result of a real monitor.
// - BM_AlertTrackerFlapping: thresholds of 1, every result a change of state.
// - BM_AlertCenter/<monitors>: the alert center's whole step for one monitor's result (finding
//   the monitor, its name, the rules, the Degraded mark) among that many monitors, alerting on.
#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uPingerSession.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

// Time that moves only when the benchmark moves it.
class FakeClock final : public TClock {
public:
    TDateTime Now() const override { return 46085.5 + double(FMs) / 86400000.0; }
    std::int64_t MonoMs() const override { return FMs; }
    void WaitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, std::int64_t,
                   const std::function<bool()>&) override {}
    void Advance(std::int64_t Ms) { FMs += Ms; }

private:
    std::int64_t FMs = 0;
};

class TCountingNotifier : public TAlertNotifier {
public:
    void Notify(const TAlertNotice&) override { ++Count; }
    void Close(const QString&) override {}
    int Count = 0;
};

void BM_AlertTracker(benchmark::State& State) {
    TAlertSettings Settings;
    Settings.Window = int(State.range(0));
    Settings.LatencyMs = 200;
    TAlertTracker Tracker(Settings);
    unsigned I = 0;
    int Changes = 0;
    for (auto _ : State) {
        const bool Success = (I++ & 15u) != 0;
        Changes += Tracker.Add(Success, std::int32_t(20 + I % 60)) ? 1 : 0;
    }
    benchmark::DoNotOptimize(Changes);
    State.counters["changes"] = Changes;
}
BENCHMARK(BM_AlertTracker)->Arg(20)->Arg(1000)->Unit(benchmark::kNanosecond);

void BM_AlertTrackerFlapping(benchmark::State& State) {
    TAlertSettings Settings;
    Settings.FailThreshold = 1;
    Settings.RecoverThreshold = 1;
    TAlertTracker Tracker(Settings);
    unsigned I = 0;
    int Changes = 0;
    for (auto _ : State) {
        Changes += Tracker.Add((I++ & 1u) != 0, 20) ? 1 : 0;
    }
    benchmark::DoNotOptimize(Changes);
    State.counters["changes"] = Changes;
}
BENCHMARK(BM_AlertTrackerFlapping)->Unit(benchmark::kNanosecond);

void BM_AlertCenter(benchmark::State& State) {
    const int Count = int(State.range(0));
    auto Clock = std::make_shared<FakeClock>();
    std::vector<std::unique_ptr<TPingerSession>> Sessions;
    TAlertCenter Alerts;
    TCountingNotifier Notifier;
    Alerts.SetNotifier(&Notifier);
    Alerts.SetEnabled(true);
    for (int I = 0; I < Count; ++I) {
        auto S = std::make_unique<TPingerSession>(Clock);
        S->SetDrawEnabled(false);
        S->SetTimeOutMS(5000);
        TPingEvent E;
        E.Time = Clock->Now();
        E.Success = true;
        E.RoundTrip = 20;
        E.Status = PING_STATUS_SUCCESS;
        E.Target = "host-" + std::to_string(I) + ".example.lan";
        E.IPAddress = "192.168.1." + std::to_string(I % 250);
        S->SetFriendlyName(E.Target); // the name a notice would carry
        S->PingDone(E);
        Alerts.ResultArrived(*S);
        Sessions.push_back(std::move(S));
    }
    std::size_t I = 0;
    for (auto _ : State) {
        Alerts.ResultArrived(*Sessions[I]);
        I = I + 1 == Sessions.size() ? 0 : I + 1;
    }
    benchmark::DoNotOptimize(Alerts.WorstState());
    State.counters["notices"] = Notifier.Count;
}
BENCHMARK(BM_AlertCenter)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kNanosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication App(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

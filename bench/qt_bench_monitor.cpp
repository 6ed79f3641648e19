// What a monitor costs: the UI-thread time of one result (PingDone with its graph refresh and the
// plot drawn as the window paints it) with eight hours of one-second samples, at the 1-minute
// and the 8-hour span, at tile and main-panel sizes; and the memory such a monitor holds.
//
// Memory is counted by the allocator: every operator new/delete of the process goes through
// the counters below (usable sizes, so the count is what malloc really hands out); the rasters,
// which QImage allocates with malloc directly, are added from their own sizes.
#include "uPingerSession.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <malloc.h>
#include <new>

namespace {
std::atomic<long long> GLiveBytes{0};
} // namespace

void* operator new(std::size_t Size) {
    void* P = std::malloc(Size ? Size : 1);
    if (!P) {
        throw std::bad_alloc();
    }
    GLiveBytes += static_cast<long long>(malloc_usable_size(P));
    return P;
}
void* operator new[](std::size_t Size) {
    return ::operator new(Size);
}
void operator delete(void* P) noexcept {
    if (P) {
        GLiveBytes -= static_cast<long long>(malloc_usable_size(P));
        std::free(P);
    }
}
void operator delete[](void* P) noexcept {
    ::operator delete(P);
}
void operator delete(void* P, std::size_t) noexcept {
    ::operator delete(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    ::operator delete(P);
}

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

constexpr int EightHours = 28800;
const std::string Target25 = "abcdefghijklmnopqrstuvwxy"; // 25 characters
const std::string Address = "192.168.100.200";

TPingEvent Result(const TClock& Clock, int RoundTrip) {
    TPingEvent E;
    E.Time = Clock.Now();
    E.Success = true;
    E.RoundTrip = RoundTrip;
    E.Status = PING_STATUS_SUCCESS;
    E.Target = Target25;
    E.IPAddress = Address;
    return E;
}

// Eight hours of one-second results, varied so that the polyline has real segments.
void Fill(TPingerSession& S, FakeClock& Clock) {
    S.SetDrawEnabled(false);
    const std::int32_t Span = S.Span();
    S.SetSpan(60); // keeps the statistics walk short while filling
    for (int I = 0; I < EightHours; ++I) {
        Clock.Advance(1000);
        S.PingDone(Result(Clock, 20 + (I * 7919) % 60));
    }
    S.SetSpan(Span);
    S.SetDrawEnabled(true);
}

void BM_PingDone(benchmark::State& State) {
    const int W = int(State.range(0)), H = int(State.range(1));
    auto Clock = std::make_shared<FakeClock>();
    TPingerSession S(Clock);
    S.SetTimeOutMS(5000);
    S.SetGraphAreaSize(W, H);
    S.SetRange(-1);
    Fill(S, *Clock);
    S.SetSpan(std::int32_t(State.range(2)));
    int I = 0;
    for (auto _ : State) {
        Clock->Advance(1000);
        S.PingDone(Result(*Clock, 20 + (I++ * 7919) % 60));
        benchmark::DoNotOptimize(S.Graph().Plot().Pixel(0, 0)); // as the window paints it
    }
    benchmark::DoNotOptimize(S.ComposedBitmap().Pixel(0, 0));
    State.counters["samples"] = double(S.Samples().size());
}
BENCHMARK(BM_PingDone)
    ->ArgNames({"w", "h", "span"})
    ->Args({240, 152, 60})
    ->Args({240, 152, EightHours})
    ->Args({800, 560, 60})
    ->Args({800, 560, EightHours})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);

// A sample as a plain list of full results would keep it: its own copies of both texts.
struct TBaselineSample {
    TPingEvent Event;
};

void BM_MonitorMemory(benchmark::State& State) {
    for (auto _ : State) {
        auto Clock = std::make_shared<FakeClock>();
        const long long Start = GLiveBytes.load();
        auto S = std::make_unique<TPingerSession>(Clock);
        S->SetTimeOutMS(5000);
        S->SetGraphAreaSize(240, 152);
        const long long Empty = GLiveBytes.load();
        Fill(*S, *Clock);
        S->RefreshDisplay();
        const long long Full = GLiveBytes.load();
        const long long Rasters = S->Graph().RasterBytes();

        const long long BaseStart = GLiveBytes.load();
        {
            std::deque<TBaselineSample> Baseline;
            for (int I = 0; I < EightHours; ++I) {
                Baseline.push_front(TBaselineSample{Result(*Clock, 20)});
            }
            State.counters["baseline_samples_MiB"] =
                double(GLiveBytes.load() - BaseStart) / (1024.0 * 1024.0);
        }
        State.counters["monitor_MiB"] = double(Full - Start + Rasters) / (1024.0 * 1024.0);
        State.counters["samples_MiB"] = double(Full - Empty) / (1024.0 * 1024.0);
        State.counters["rasters_MiB"] = double(Rasters) / (1024.0 * 1024.0);
        State.counters["bytes_per_sample"] = double(Full - Empty) / EightHours;
        State.counters["baseline_bytes_per_sample"] =
            State.counters["baseline_samples_MiB"] * 1024.0 * 1024.0 / EightHours;
    }
}
BENCHMARK(BM_MonitorMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication App(argc, argv); // fonts for the graph's text
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

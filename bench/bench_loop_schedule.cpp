// How closely 1,000 loop threads keep a 1000 ms period while pinging loopback addresses, and
// what the process spends doing it. Every request goes to 127.0.x.y.
//
//   bench_loop_schedule [--benchmark_filter=...]
//   no_echo:1 replaces the request with one that returns at once (the loop's own cost)
//   counters: err_p50_ms / err_p99_ms / err_max_ms  start-to-start period error
//             cpu_pct_of_core                        process CPU over the run, one core = 100
#include "zsPingLoopThread.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    auto Seconds = [](const timeval& T) { return T.tv_sec + T.tv_usec / 1e6; };
    return Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
}

// Request start times of one loop, written only by its own thread.
struct TStarts {
    std::vector<std::int64_t> Ns;
    std::atomic<int> Replies{0};
    std::atomic<int> Failures{0};
};

void BM_LoopSchedule(benchmark::State& State) {
    const int Loops = static_cast<int>(State.range(0));
    const int PeriodMs = static_cast<int>(State.range(1));
    const auto RunFor = std::chrono::seconds(State.range(2));
    // 0: real echo requests to loopback; 1: an echo that returns at once, to show the loop's
    // own share of the cost.
    const bool NoEcho = State.range(3) != 0;

    for (auto _ : State) {
        std::vector<std::shared_ptr<TStarts>> Starts;
        std::vector<std::unique_ptr<TPingLoopThread>> Threads;
        for (int I = 0; I < Loops; ++I) {
            auto Record = std::make_shared<TStarts>();
            Record->Ns.reserve(RunFor / std::chrono::milliseconds(PeriodMs) + 8);
            Starts.push_back(Record);
            auto Echo = [Record, NoEcho](const std::string& Target, const std::string& Payload,
                                         TReplyBuffer& Reply, std::int32_t TimeOut,
                                         std::string& Address) {
                Record->Ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         Clock::now().time_since_epoch())
                                         .count());
                if (NoEcho) {
                    Address = Target;
                    Reply.fill(0); // IP_SUCCESS, 0 ms
                    return;
                }
                SendEcho(Target, Payload, Reply, TimeOut, Address);
            };
            auto Loop = std::make_unique<TPingLoopThread>(true, nullptr, Echo);
            Loop->SetTarget("127.0." + std::to_string(I / 250) + "." + std::to_string(I % 250 + 1));
            Loop->SetFrequency(PeriodMs);
            Loop->SetTimeOut(1000);
            Loop->SetPayload(std::string(16, 'A'));
            Loop->SetOnAfterPing(
                [Record](TPingEvent& E) { ++(E.Success ? Record->Replies : Record->Failures); });
            Threads.push_back(std::move(Loop));
        }

        const double Cpu0 = CpuSeconds();
        const auto Wall0 = Clock::now();
        for (auto& Loop : Threads) {
            Loop->Resume();
        }
        std::this_thread::sleep_for(RunFor);
        Threads.clear(); // stop requests
        while (TPingLoopThread::RunningCount() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const double Cpu = CpuSeconds() - Cpu0;
        const double Wall = std::chrono::duration<double>(Clock::now() - Wall0).count();

        std::vector<double> ErrorsMs;
        long Replies = 0, Failures = 0;
        for (const auto& Record : Starts) {
            for (std::size_t K = 1; K < Record->Ns.size(); ++K) {
                const double PeriodNs = static_cast<double>(Record->Ns[K] - Record->Ns[K - 1]);
                ErrorsMs.push_back(std::abs(PeriodNs / 1e6 - PeriodMs));
            }
            Replies += Record->Replies;
            Failures += Record->Failures;
        }
        std::sort(ErrorsMs.begin(), ErrorsMs.end());
        auto At = [&](double Share) {
            return ErrorsMs.empty()
                       ? 0.0
                       : ErrorsMs[std::min(ErrorsMs.size() - 1,
                                           static_cast<std::size_t>(Share * ErrorsMs.size()))];
        };
        State.counters["periods"] = static_cast<double>(ErrorsMs.size());
        State.counters["err_p50_ms"] = At(0.50);
        State.counters["err_p99_ms"] = At(0.99);
        State.counters["err_max_ms"] = ErrorsMs.empty() ? 0.0 : ErrorsMs.back();
        State.counters["cpu_pct_of_core"] = 100.0 * Cpu / Wall;
        State.counters["replies"] = static_cast<double>(Replies);
        State.counters["failures"] = static_cast<double>(Failures);
    }
}

BENCHMARK(BM_LoopSchedule)
    ->Args({1000, 1000, 20, 0})
    ->Args({1000, 1000, 20, 1})
    ->ArgNames({"loops", "period_ms", "seconds", "no_echo"})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

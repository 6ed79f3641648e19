// A TClock for tests: virtual time that moves only when the test (or, in auto-advance mode, a
// waiting thread) moves it, so hours of pinging run in milliseconds and periods come out exact.
//
//   auto clock = std::make_shared<FakeClock>();
//   clock->SetAutoAdvance(true);     // every wait jumps straight to its deadline
//   ...
//   clock->SetAutoAdvance(false);    // waits block until the test calls Advance()
//   ASSERT_TRUE(clock->WaitForWaiter(start + 1000));
//   clock->Advance(1000);
#pragma once

#include "zsClock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

class FakeClock final : public TClock {
public:
    static constexpr double MsPerDay = 86400000.0;

    // Starts at 2026-03-04 12:00:00 local time, MonoMs() 1,000,000.
    explicit FakeClock(TDateTime Start = 46085.5, std::int64_t MonoStart = 1000000)
        : FStart(Start), FMonoStart(MonoStart), FMono(MonoStart) {}

    TDateTime Now() const override {
        return FStart +
               static_cast<double>(FMono.load() - FMonoStart + FWallShift.load()) / MsPerDay;
    }

    std::int64_t MonoMs() const override { return FMono.load(); }

    // MonoMs() plus the time spent in Suspend().
    std::int64_t BootMs() const override { return FMono.load() + FSlept.load(); }

    // Moves both the wall clock and the monotonic clock forward.
    void Advance(std::int64_t Ms) { FMono.fetch_add(Ms); }

    // Moves only the wall clock, like a user changing the system time.
    void ShiftWallClock(std::int64_t Ms) { FWallShift.fetch_add(Ms); }

    // The machine sleeps for Ms: the wall clock and BootMs() move on, MonoMs() stands still.
    void Suspend(std::int64_t Ms) {
        FSlept.fetch_add(Ms);
        FWallShift.fetch_add(Ms);
    }

    // Auto-advance: a wait that would block jumps virtual time to its deadline instead.
    void SetAutoAdvance(bool On) { FAutoAdvance.store(On); }

    void WaitUntil(std::unique_lock<std::mutex>& Lock, std::condition_variable& Cond,
                   std::int64_t DeadlineMs, const std::function<bool()>& Wake) override {
        FWaitCalls.fetch_add(1);
        FLastDeadline.store(DeadlineMs);
        FWaiting.fetch_add(1);
        while (!Wake() && FMono.load() < DeadlineMs) {
            if (FAutoAdvance.load()) {
                std::int64_t Now = FMono.load();
                while (Now < DeadlineMs && !FMono.compare_exchange_weak(Now, DeadlineMs)) {
                }
                break;
            }
            // Advance() cannot reach the caller's condition variable safely, so the wait
            // looks at virtual time again every millisecond of real time.
            Cond.wait_for(Lock, std::chrono::milliseconds(1));
        }
        FWaiting.fetch_sub(1);
    }

    // Number of WaitUntil calls so far, and the deadline of the latest one.
    int WaitCalls() const { return FWaitCalls.load(); }
    std::int64_t LastDeadline() const { return FLastDeadline.load(); }
    int Waiting() const { return FWaiting.load(); }

    // Blocks (up to RealTimeout) until some thread waits for exactly DeadlineMs.
    bool WaitForWaiter(std::int64_t DeadlineMs,
                       std::chrono::milliseconds RealTimeout = std::chrono::seconds(10)) const {
        const auto Until = std::chrono::steady_clock::now() + RealTimeout;
        while (!(FWaiting.load() > 0 && FLastDeadline.load() == DeadlineMs)) {
            if (std::chrono::steady_clock::now() > Until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

private:
    const TDateTime FStart;
    const std::int64_t FMonoStart;
    std::atomic<std::int64_t> FMono;
    std::atomic<std::int64_t> FWallShift{0};
    std::atomic<std::int64_t> FSlept{0};
    std::atomic<bool> FAutoAdvance{false};
    std::atomic<int> FWaitCalls{0};
    std::atomic<std::int64_t> FLastDeadline{0};
    std::atomic<int> FWaiting{0};
};

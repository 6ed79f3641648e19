// Time sources for the engine and the monitor. Production code uses SystemClock(); tests plug in
// a clock of their own so that hours of pinging run in milliseconds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// Local date-time: days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

TDateTime DateTimeFromUnixMs(std::int64_t UnixMs, bool Local = true);

class TClock {
public:
    virtual ~TClock() = default;

    // The current local date-time.
    virtual TDateTime Now() const = 0;

    // Milliseconds on a monotonic scale, for periods and deadlines. It stands still while the
    // machine is suspended.
    virtual std::int64_t MonoMs() const = 0;

    // Milliseconds on a scale that goes on counting while the machine is suspended. Over any
    // stretch, its advance minus MonoMs()'s is the time the machine slept. Clocks that never
    // sleep leave it as MonoMs().
    virtual std::int64_t BootMs() const { return MonoMs(); }

    // Blocks on Cond (Lock held by the caller) until Wake() is true or MonoMs() reaches
    // DeadlineMs. Whoever makes Wake() true notifies Cond.
    virtual void WaitUntil(std::unique_lock<std::mutex>& Lock, std::condition_variable& Cond,
                           std::int64_t DeadlineMs, const std::function<bool()>& Wake) = 0;

    // Blocks until Word no longer holds Seen or MonoMs() reaches DeadlineMs; it may return
    // early too, so callers look again. Whoever changes Word calls WakeWaiters(Word) afterwards.
    // The system clock sleeps on the word itself, one system call per wait with no lock to take
    // back afterwards. The default goes through WaitUntil with a local lock and a predicate on
    // Word, which suits clocks whose WaitUntil looks at Wake() again by itself (the test clocks
    // do, every millisecond).
    virtual void WaitForChange(const std::atomic<std::uint32_t>& Word, std::uint32_t Seen,
                               std::int64_t DeadlineMs);

    // Ends every WaitForChange on Word of the system clock.
    static void WakeWaiters(const std::atomic<std::uint32_t>& Word);
};

// The process's real clock (local time, steady_clock, and CLOCK_BOOTTIME for BootMs()).
std::shared_ptr<TClock> SystemClock();

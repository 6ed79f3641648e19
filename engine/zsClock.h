// Time sources for the engine and the monitor. Production code uses SystemClock(); tests plug in
// a clock of their own so that hours of pinging run in milliseconds.
#pragma once

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

    // Milliseconds on a monotonic scale, for periods and deadlines.
    virtual std::int64_t MonoMs() const = 0;

    // Blocks on Cond (Lock held by the caller) until Wake() is true or MonoMs() reaches
    // DeadlineMs. Whoever makes Wake() true notifies Cond.
    virtual void WaitUntil(std::unique_lock<std::mutex>& Lock, std::condition_variable& Cond,
                           std::int64_t DeadlineMs, const std::function<bool()>& Wake) = 0;
};

// The process's real clock (local time, steady_clock).
std::shared_ptr<TClock> SystemClock();

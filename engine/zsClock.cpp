#include "zsClock.h"

#include "zsFutex.h"

#include <ctime>

namespace {

constexpr double UnixEpochDays = 25569.0; // 1970-01-01 counted from 1899-12-30
constexpr double MsPerDay = 86400000.0;

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
    std::int64_t Q = A / B;
    if ((A % B != 0) && ((A < 0) != (B < 0))) {
        --Q;
    }
    return Q;
}

class TSystemClock final : public TClock {
public:
    TDateTime Now() const override {
        const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        return DateTimeFromUnixMs(Ms);
    }

    std::int64_t MonoMs() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    std::int64_t BootMs() const override {
        timespec Time{};
        if (clock_gettime(CLOCK_BOOTTIME, &Time) != 0) {
            return MonoMs(); // a kernel without it: no sleep is ever seen
        }
        return std::int64_t(Time.tv_sec) * 1000 + Time.tv_nsec / 1000000;
    }

    void WaitUntil(std::unique_lock<std::mutex>& Lock, std::condition_variable& Cond,
                   std::int64_t DeadlineMs, const std::function<bool()>& Wake) override {
        // MonoMs() truncates the same steady clock, so this deadline is never early.
        const std::chrono::steady_clock::time_point Deadline{
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(DeadlineMs))};
        Cond.wait_until(Lock, Deadline, Wake);
    }

    void WaitForChange(const std::atomic<std::uint32_t>& Word, std::uint32_t Seen,
                       std::int64_t DeadlineMs) override {
        // MonoMs() counts the same steady clock in whole milliseconds.
        FutexWaitUntil(
            Word, Seen,
            std::chrono::steady_clock::time_point(std::chrono::milliseconds(DeadlineMs)));
    }
};

} // namespace

void TClock::WaitForChange(const std::atomic<std::uint32_t>& Word, std::uint32_t Seen,
                           std::int64_t DeadlineMs) {
    std::mutex Lock;
    std::condition_variable Cond;
    std::unique_lock<std::mutex> Guard(Lock);
    WaitUntil(Guard, Cond, DeadlineMs, [&Word, Seen] { return Word.load() != Seen; });
}

void TClock::WakeWaiters(const std::atomic<std::uint32_t>& Word) {
    FutexWakeAll(Word);
}

TDateTime DateTimeFromUnixMs(std::int64_t UnixMs, bool Local) {
    std::int64_t OffsetMs = 0;
    if (Local) {
        const std::time_t Seconds = static_cast<std::time_t>(FloorDiv(UnixMs, 1000));
        std::tm Parts{};
        if (localtime_r(&Seconds, &Parts) != nullptr) {
            OffsetMs = static_cast<std::int64_t>(Parts.tm_gmtoff) * 1000;
        }
    }
    return static_cast<double>(UnixMs + OffsetMs) / MsPerDay + UnixEpochDays;
}

std::shared_ptr<TClock> SystemClock() {
    // Never destroyed: detached loop threads may still read the clock while the process exits.
    static const auto* const Clock = new std::shared_ptr<TClock>(std::make_shared<TSystemClock>());
    return *Clock;
}

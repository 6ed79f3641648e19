// Sleeping on a 32-bit atomic with a deadline, and waking its sleepers: one system call each,
// where a condition variable also takes its mutex back after the wait (and that mutex's unlock
// then makes a wake-up call of its own). The wait may return early; callers look again.
//
//   std::atomic<std::uint32_t> Word{0};
//   while (Word.load() == 0 && steady_clock::now() < Deadline)
//       FutexWaitUntil(Word, 0, Deadline);            // sleeper
//   Word.store(1); FutexWakeAll(Word);                // waker
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// Sleeps while Word holds Seen, until Deadline at the latest. steady_clock is CLOCK_MONOTONIC,
// which is what the absolute deadline is measured on.
inline void FutexWaitUntil(const std::atomic<std::uint32_t>& Word, std::uint32_t Seen,
                           std::chrono::steady_clock::time_point Deadline) {
    const auto Ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Deadline.time_since_epoch()).count();
    if (Ns <= 0)
        return;
    const timespec Until{static_cast<time_t>(Ns / 1000000000), static_cast<long>(Ns % 1000000000)};
    ::syscall(SYS_futex, &Word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, Seen, &Until, nullptr,
              FUTEX_BITSET_MATCH_ANY);
}

inline void FutexWakeAll(const std::atomic<std::uint32_t>& Word) {
    ::syscall(SYS_futex, &Word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr, nullptr, 0);
}

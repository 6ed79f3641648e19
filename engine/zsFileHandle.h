// An open POSIX file descriptor with one owner: closed when the holder goes, unless it was
// handed on with Release or closed on purpose with Close (whose result a writer must check,
// since a failed close can mean lost data).
//
//   TzsFileHandle File(::open(Path, O_RDONLY | O_CLOEXEC));
//   if (!File.Valid()) { /* errno says why */ }
//   ::read(File.Get(), Buffer, Size);
//   if (File.Close() != 0) { /* the data may not have reached the file */ }
#pragma once

#include <unistd.h>
#include <utility>

class TzsFileHandle {
public:
    TzsFileHandle() noexcept = default;
    explicit TzsFileHandle(int Fd) noexcept : FFd(Fd) {}
    ~TzsFileHandle() { Reset(); }

    TzsFileHandle(TzsFileHandle&& Other) noexcept : FFd(Other.Release()) {}
    TzsFileHandle& operator=(TzsFileHandle&& Other) noexcept {
        if (this != &Other) {
            Reset(Other.Release());
        }
        return *this;
    }
    TzsFileHandle(const TzsFileHandle&) = delete;
    TzsFileHandle& operator=(const TzsFileHandle&) = delete;

    int Get() const noexcept { return FFd; }
    bool Valid() const noexcept { return FFd >= 0; }

    // Closes the descriptor held so far (its result is not wanted here) and holds Fd instead.
    void Reset(int Fd = -1) noexcept {
        const int Old = std::exchange(FFd, Fd);
        if (Old >= 0) {
            ::close(Old);
        }
    }

    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(FFd, -1); }

    // Closes now and returns close's result: 0, or -1 with errno set. The descriptor is gone
    // either way (Linux never leaves it open after a failed close), so it is not retried.
    int Close() noexcept {
        const int Fd = Release();
        return Fd >= 0 ? ::close(Fd) : 0;
    }

private:
    int FFd = -1;
};

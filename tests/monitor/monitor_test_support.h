// Helpers shared by the monitor tests: hand-built echo results on a fake clock.
#pragma once

#include "FakeClock.h"
#include "uPingerSession.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

// A result whose Time lies AgeSeconds before the clock's current time; RoundTrip < 0 makes a
// failure with Status.
inline TPingEvent MakeResult(const TClock& Clock, double AgeSeconds, int RoundTrip,
                             TPingStatus Status = PING_STATUS_REQ_TIMED_OUT,
                             const std::string& Target = "localhost",
                             const std::string& Address = "127.0.0.1") {
    TPingEvent E;
    E.Time = Clock.Now() - AgeSeconds / 86400.0;
    E.Success = RoundTrip >= 0;
    E.RoundTrip = E.Success ? RoundTrip : -1;
    E.Status = E.Success ? PING_STATUS_SUCCESS : Status;
    E.Target = Target;
    E.IPAddress = Address;
    return E;
}

struct TAgedResult {
    double AgeSeconds;
    int RoundTrip;            // < 0: failed
    std::int64_t SleptMs = 0; // the machine slept this long since the previous result
};

// Parks a session's loop thread in its first hand-over to the UI thread until this object goes,
// so tests that feed results by hand see none from the loop, and the loop neither spins nor
// waits on the test's clock. Declare it before the sessions it holds: it must outlive them.
class THeldLoops {
public:
    THeldLoops() : FState(std::make_shared<TState>()) {}
    ~THeldLoops() {
        {
            std::lock_guard<std::mutex> Guard(FState->Lock);
            FState->Open = true;
        }
        FState->Cond.notify_all();
    }
    void Hold(TPingerSession& S) const {
        S.SetEchoFunction([](const std::string&, const std::string&, TReplyBuffer&, std::int32_t,
                             std::string&) { throw EPingError("offline"); });
        S.SetSyncInvoker([State = FState](const std::function<void()>&) {
            std::unique_lock<std::mutex> Guard(State->Lock);
            State->Cond.wait(Guard, [&] { return State->Open; });
        });
    }

private:
    struct TState {
        std::mutex Lock;
        std::condition_variable Cond;
        bool Open = false;
    };
    std::shared_ptr<TState> FState;
};

// Helpers shared by the monitor tests: hand-built echo results on a fake clock.
#pragma once

#include "FakeClock.h"
#include "uPingerSession.h"

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
    int RoundTrip; // < 0: failed
};

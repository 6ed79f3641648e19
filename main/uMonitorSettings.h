// The settings the main window gives every monitor, and its three switches, as plain data with
// their defaults written once here.
//
//   TMonitorSettings Settings;          // the defaults a new window starts with
//   Settings.Span = 300;
//   Settings.ApplyTo(Session);          // a new monitor takes the five values
#pragma once

#include "uPingerSession.h"

#include <cstdint>

struct TMonitorSettings {
    std::int32_t Span = 60;        // seconds the graph shows
    std::int32_t Range = -1;       // graph range in ms; -1 picks it from the highest round trip
    std::int32_t Frequency = 1000; // ms between pings
    std::int32_t TimeOutMS = 5000; // replies slower than this count as failed
    std::int32_t PayloadSize = 16; // bytes of an echo request's payload
    bool Logging = false;          // switched on the monitors running when it is switched
    bool Alerting = false;
    bool Hints = true;

    // Gives Session the five values, in the order a new monitor has always taken them.
    void ApplyTo(TPingerSession& Session) const {
        Session.SetFrequency(Frequency);
        Session.SetSpan(Span);
        Session.SetRange(Range);
        Session.SetTimeOutMS(TimeOutMS);
        Session.SetPayloadSize(PayloadSize);
    }
};

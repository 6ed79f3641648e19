// Log records with values out of range, one of each kind, for the reader, the command line and
// the window: each must be skipped and counted, and nothing may misbehave on the way (the
// suites run under the undefined-behaviour sanitizer with float-to-integer overflow checks).
#pragma once

#include "zsPingLog.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace damaged_logs {

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct TValues {
    const char* Name;
    double Time; // days since 1899-12-30; 0 for a time inside the case's good records
    double Trip;
    double Uptime;
    bool Skipped;
};

// 2024-05-01 10:00 UTC as days since 1899-12-30.
constexpr double May2024 = 45413.0 + 10.0 / 24;

inline const std::vector<TValues>& Cases() {
    static const std::vector<TValues> All = {
        // Times.
        {"time NaN", NaN, 5, 100, true},
        {"time +inf", Inf, 5, 100, true},
        {"time -inf", -Inf, 5, 100, true},
        {"time 1.2e10", 1.2e10, 5, 100, true},
        {"time 1e12", 1e12, 5, 100, true},
        {"time 1e300", 1e300, 5, 100, true},
        {"time year -17", -700000, 5, 100, true},
        {"time 1899-12-31", 1.5, 5, 100, true},
        {"time 10000-01-01", 2958466, 5, 100, true},
        {"time 1900-01-01", 2, 5, 100, false},
        {"time 9999-12-31", 2958465.99, 5, 100, false},
        // Round trips.
        {"trip -2", 0, -2, 100, true},
        {"trip -0.5", 0, -0.5, 100, true},
        {"trip +inf", 0, Inf, 100, true},
        {"trip -inf", 0, -Inf, 100, true},
        {"trip NaN", 0, NaN, 100, true},
        {"trip 3e9", 0, 3e9, 100, true},
        {"trip 1e30", 0, 1e30, 100, true},
        {"trip 10000.5", 0, 10000.5, 100, true},
        {"trip 10000", 0, 10000, 100, false},
        {"trip 0", 0, 0, 100, false},
        {"trip -1 (failure mark) at 33 %", 0, -1, 33, false},
        // Uptimes.
        {"uptime 150", 0, 5, 150, true},
        {"uptime -5", 0, 5, -5, true},
        {"uptime NaN", 0, 5, NaN, true},
        {"uptime +inf", 0, 5, Inf, true},
        {"uptime 100.01", 0, 5, 100.01, true},
        {"uptime 0", 0, -1, 0, false},
    };
    return All;
}

inline void Put(std::string& Out, double Time, double Trip, double Uptime) {
    TPingLogRecord Record;
    Record.RecNo = std::int32_t(Out.size() / PING_LOG_RECORD_SIZE);
    Record.Marker = {0xF0, 0xF0, 0xF0, 0xF0};
    Record.MeanTime = Time;
    Record.AvgTrip = float(Trip);
    Record.UptimePct = float(Uptime);
    const auto Bytes = EncodePingLogRecord(Record);
    Out.append(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
}

// A good record, the case's record, and a good record ten minutes later; a time that is taken
// goes where it keeps the records in order.
inline std::string LogOf(const TValues& Case) {
    std::string Out;
    const double Minute = 1.0 / 1440;
    const bool First = !Case.Skipped && Case.Time != 0 && Case.Time < May2024;
    const bool Last = !Case.Skipped && Case.Time != 0 && Case.Time > May2024;
    if (First) {
        Put(Out, Case.Time, Case.Trip, Case.Uptime);
    }
    Put(Out, May2024, 10, 100);
    if (!First && !Last) {
        Put(Out, Case.Time == 0 ? May2024 + 5 * Minute : Case.Time, Case.Trip, Case.Uptime);
    }
    Put(Out, May2024 + 10 * Minute, 20, 100);
    if (Last) {
        Put(Out, Case.Time, Case.Trip, Case.Uptime);
    }
    return Out;
}

// Every case in one log, in an order the reader accepts: the far times first and last.
inline std::string AllInOne() {
    std::string Out;
    const double Minute = 1.0 / 1440;
    Put(Out, 2, 5, 100);
    double At = May2024;
    for (const TValues& Case : Cases()) {
        if (Case.Time == 0) {
            Put(Out, At, Case.Trip, Case.Uptime);
            At += 5 * Minute;
        } else if (Case.Skipped) {
            Put(Out, Case.Time, Case.Trip, Case.Uptime);
        }
    }
    Put(Out, 2958465.99, 7, 100);
    return Out;
}

} // namespace damaged_logs

// The alert state of one monitor, decided from its results with hysteresis so that a flapping
// host does not raise an alert on every lost echo. Plain data: no Qt, no clock, no windows; the
// caller feeds each result in the order the monitor recorded it.
//
//   TAlertTracker Tracker(Settings);
//   if (const auto Change = Tracker.Add(Sample.Success, Sample.RoundTrip)) notify(*Change);
//   paint(Tracker.State());
//
// The rules:
//   - Unknown until the first result.
//   - Up -> Down after FailThreshold (N) consecutive failures; Down -> Up after
//     RecoverThreshold (M) consecutive successes. A host that never answered is Down after N
//     failures as well.
//   - Up -> Degraded when the last Window (K) results lose more than LossPercent (P) or the
//     average round trip of their successes exceeds LatencyMs (L, 0 = off). Back to Up after M
//     consecutive results with both clear. Degraded is judged only on a full window of results
//     taken while the host was reachable: the results of an outage are reported once, as Down,
//     and are not counted again as loss after it.
//   - A change is reported on the result that makes it, never while a state holds; the first
//     success of a monitor (Unknown -> Up) is quiet, since nothing went wrong.
//
// Limits: each result costs O(1) (a ring of K results with running sums); K is at most
// TAlertSettings::MaxWindow.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

enum class TAlertState : std::uint8_t { Unknown, Up, Degraded, Down };

// How bad a state is, for the worst state over many monitors: Unknown < Up < Degraded < Down.
int AlertSeverity(TAlertState State);
// "Unknown", "Up", "Degraded", "Down".
const char* AlertStateName(TAlertState State);

struct TAlertSettings {
    static constexpr int MinThreshold = 1;
    static constexpr int MaxThreshold = 10;
    static constexpr int MinWindow = 1;
    static constexpr int MaxWindow = 1000;
    static constexpr int MaxLatencyMs = 60000;

    int FailThreshold = 3;    // N: consecutive failures for Down
    int RecoverThreshold = 2; // M: consecutive successes for Up
    int Window = 20;          // K: results judged for Degraded
    int LossPercent = 10;     // P: Degraded above this loss (0..100)
    int LatencyMs = 0;        // L: Degraded above this average round trip; 0 = off
    bool Sound = false;       // notifications ask for a sound (a beep without a service)

    // Every value moved into its range.
    TAlertSettings Clamped() const;
    bool operator==(const TAlertSettings&) const = default;
};

struct TAlertChange {
    TAlertState From = TAlertState::Unknown;
    TAlertState To = TAlertState::Unknown;
};

class TAlertTracker {
public:
    explicit TAlertTracker(const TAlertSettings& Settings = {});

    // Takes new settings; the state holds, the counts and the window start again.
    void SetSettings(const TAlertSettings& Settings);
    const TAlertSettings& Settings() const { return FSettings; }

    // One result; RoundTrip is ignored for a failure. Returns the change it makes, if any.
    std::optional<TAlertChange> Add(bool Success, std::int32_t RoundTrip);
    // Back to Unknown with nothing counted (the monitor started afresh).
    void Reset();

    TAlertState State() const { return FState; }
    // Over the current window (which may not be full yet).
    int WindowCount() const { return FCount; }
    double LossPercent() const;
    double AverageRoundTrip() const; // of the successes; 0 when there are none

private:
    void ClearWindow();
    void Push(bool Success, std::int32_t RoundTrip);
    bool DegradedNow() const; // a full window that breaks a limit

    struct TEntry {
        std::int32_t RoundTrip = 0;
        bool Success = false;
    };

    TAlertSettings FSettings;
    TAlertState FState = TAlertState::Unknown;
    int FFailRun = 0;  // consecutive failures up to now
    int FOkRun = 0;    // consecutive successes up to now
    int FClearRun = 0; // consecutive results with a clear window, while Degraded
    // The ring of the last K results.
    std::vector<TEntry> FRing;
    int FNext = 0;
    int FCount = 0;
    int FFailures = 0;
    std::int64_t FRoundTripSum = 0;
};

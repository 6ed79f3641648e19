// The alert state of one monitor, decided from its results so that an outage is told from a
// lossy or flapping link: a link that loses some replies is Degraded, not a storm of Down and
// Up. Plain data: no Qt, no clock, no windows; the caller feeds each result in the order the
// monitor recorded it.
//
//   TAlertTracker Tracker(Settings);
//   if (const auto Change = Tracker.Add(Sample.Success, Sample.RoundTrip)) notify(*Change);
//   paint(Tracker.State());
//
// The rules (N, M, K, P and L are the settings below):
//   - Unknown until the first reply (or until a host that never answered is Down).
//   - The window holds the last K results. A run of failures joins the window only when a reply
//     ends it; a run that becomes an outage never does (an outage is said once, as Down, and is
//     not counted again as loss after it).
//   - Down after a run of failures that a lossy link would hardly make: N failures in a row
//     after a full window of K results with at most P % loss; K failures in a row while the link
//     is lossy (the window holds more than P % loss, or the host is Degraded); and while the
//     window is not full yet (a monitor that just started, or a host that just came back), as
//     many as fill it, at least N. A run that ends earlier is loss, not an outage.
//   - Down -> after M replies in a row: Up, or Degraded again when the host was Degraded before
//     the outage (for the same reason).
//   - Up -> Degraded on a full window whose loss is above P, or whose average round trip is
//     above L (L = 0: off), or whose results flap: the weighted share of changes between reply
//     and failure over the last FlapHistory results reaches FlapStartPercent (changes weigh
//     from 0.8 for the oldest to 1.2 for the newest, as classic monitors weigh state changes).
//   - Degraded -> Up once the window has stayed clear by the lower stop thresholds (loss at most
//     P / 2, average at most L, flapping at most FlapStopPercent) for K results in a row. The
//     separate start and stop thresholds and the hold keep a steady lossy link Degraded.
//   - A change is reported on the result that makes it, never while a state holds; the first
//     reply of a monitor (Unknown -> Up) is quiet, since nothing went wrong.
//
// Limits: each result costs O(1) (a ring of K results with running sums, a fixed history of
// FlapHistory bits); K is at most TAlertSettings::MaxWindow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class TAlertState : std::uint8_t { Unknown, Up, Degraded, Down };

// Why a host is Degraded.
enum class TAlertReason : std::uint8_t { None, Loss, RoundTrip, Flapping };

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
    // Flapping: results weighed, and the start and stop shares of changes between them.
    static constexpr int FlapHistory = 21;
    static constexpr int FlapStartPercent = 60;
    static constexpr int FlapStopPercent = 25;

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
    // For a change to Degraded: why, with the window's figures when it was decided.
    TAlertReason Reason = TAlertReason::None;
    int LossPercent = 0;      // rounded
    int AverageRoundTrip = 0; // ms, rounded; of the window's replies
};

// Why, in words: "30 % loss", "average round trip 312 ms", "flapping"; empty for no reason.
std::string AlertReasonText(TAlertReason Reason, int LossPercent, int AverageRoundTrip);

class TAlertTracker {
public:
    explicit TAlertTracker(const TAlertSettings& Settings = {});

    // Takes new settings; the state holds and the runs count afresh. The window's results are
    // kept when its size is unchanged, else it starts again.
    void SetSettings(const TAlertSettings& Settings);
    const TAlertSettings& Settings() const { return FSettings; }

    // One result; RoundTrip is ignored for a failure. Returns the change it makes, if any.
    std::optional<TAlertChange> Add(bool Success, std::int32_t RoundTrip);
    // Back to Unknown with nothing counted (the monitor started afresh).
    void Reset();

    TAlertState State() const { return FState; }
    // Why the host is Degraded (None in the other states).
    TAlertReason Reason() const { return FReason; }
    // Over the current window (which may not be full yet).
    int WindowCount() const { return FCount; }
    double LossPercent() const;
    double AverageRoundTrip() const; // of the successes; 0 when there are none
    // The weighted share of changes over the last FlapHistory results, 0..100.
    double FlapPercent() const;
    // Failures in a row up to now.
    int FailRun() const { return FFailRun; }

private:
    void ClearWindow();
    void Push(bool Success, std::int32_t RoundTrip);
    void PushFailureRun();
    int DownRun() const;              // failures in a row that make Down now
    TAlertReason DegradedNow() const; // the start thresholds, on a full window
    bool ClearNow() const;            // the stop thresholds, on a full window
    int FlapWeight() const;           // FlapPercent() x FlapWeightTotal / 100
    int FlapTransitions() const;      // changes the history can hold now
    TAlertChange Change(TAlertState From) const;

    struct TEntry {
        std::int32_t RoundTrip = 0;
        bool Success = false;
    };

    TAlertSettings FSettings;
    TAlertState FState = TAlertState::Unknown;
    TAlertReason FReason = TAlertReason::None;
    TAlertReason FReasonBeforeDown = TAlertReason::None; // None: the host was Up
    int FWhyLoss = 0; // the window's figures when the host became Degraded
    int FWhyRoundTrip = 0;
    int FFailRun = 0;  // consecutive failures up to now, not yet in the window
    int FOkRun = 0;    // consecutive successes up to now
    int FClearRun = 0; // consecutive results with a clear window, while Degraded
    // The ring of the last K results.
    std::vector<TEntry> FRing;
    int FNext = 0;
    int FCount = 0;
    int FFailures = 0;
    std::int64_t FRoundTripSum = 0;
    // The last FlapHistory results, newest in bit 0 (1 = reply), and how many there are.
    std::uint32_t FFlapBits = 0;
    int FFlapCount = 0;
};

#include "uAlertRules.h"

#include <algorithm>
#include <cmath>

namespace {

// The j-th newest change weighs 114 - 2j: 114 for the newest down
// to 76 for the 20th, 0.8 to 1.2 of their mean of 95.
constexpr int MinFlapTransitions = 10; // fewer say nothing about flapping
constexpr std::uint32_t FlapMask = (1u << TAlertSettings::FlapHistory) - 1;

constexpr int FlapStepWeight(int J) {
    return 114 - 2 * J;
}

constexpr int FlapWeightUpTo(int Transitions) {
    int Sum = 0;
    for (int J = 0; J < Transitions; ++J) {
        Sum += FlapStepWeight(J);
    }
    return Sum;
}

} // namespace

int AlertSeverity(TAlertState State) {
    return static_cast<int>(State);
}

const char* AlertStateName(TAlertState State) {
    switch (State) {
    case TAlertState::Up:
        return "Up";
    case TAlertState::Degraded:
        return "Degraded";
    case TAlertState::Down:
        return "Down";
    case TAlertState::Unknown:
        break;
    }
    return "Unknown";
}

std::string AlertReasonText(TAlertReason Reason, int LossPercent, int AverageRoundTrip) {
    switch (Reason) {
    case TAlertReason::Loss:
        return std::to_string(LossPercent) + " % loss";
    case TAlertReason::RoundTrip:
        return "average round trip " + std::to_string(AverageRoundTrip) + " ms";
    case TAlertReason::Flapping:
        return "flapping";
    case TAlertReason::None:
        break;
    }
    return {};
}

TAlertSettings TAlertSettings::Clamped() const {
    TAlertSettings S = *this;
    S.FailThreshold = std::clamp(S.FailThreshold, MinThreshold, MaxThreshold);
    S.RecoverThreshold = std::clamp(S.RecoverThreshold, MinThreshold, MaxThreshold);
    S.Window = std::clamp(S.Window, MinWindow, MaxWindow);
    S.LossPercent = std::clamp(S.LossPercent, 0, 100);
    S.LatencyMs = std::clamp(S.LatencyMs, 0, MaxLatencyMs);
    return S;
}

TAlertTracker::TAlertTracker(const TAlertSettings& Settings) {
    SetSettings(Settings);
}

void TAlertTracker::SetSettings(const TAlertSettings& Settings) {
    const int OldWindow = int(FRing.size());
    FSettings = Settings.Clamped();
    if (OldWindow != FSettings.Window) {
        FRing.assign(std::size_t(FSettings.Window), TEntry{});
        ClearWindow();
    }
    FFailRun = FOkRun = FClearRun = 0;
}

void TAlertTracker::Reset() {
    FState = TAlertState::Unknown;
    FReason = FReasonBeforeDown = TAlertReason::None;
    FFailRun = FOkRun = FClearRun = 0;
    FFlapBits = 0;
    FFlapCount = 0;
    ClearWindow();
}

void TAlertTracker::ClearWindow() {
    FNext = 0;
    FCount = 0;
    FFailures = 0;
    FRoundTripSum = 0;
}

void TAlertTracker::Push(bool Success, std::int32_t RoundTrip) {
    const std::int32_t Rtt = Success ? std::max<std::int32_t>(RoundTrip, 0) : 0;
    TEntry& Slot = FRing[std::size_t(FNext)];
    if (FCount == FSettings.Window) {
        FFailures -= Slot.Success ? 0 : 1;
        FRoundTripSum -= Slot.RoundTrip;
    } else {
        ++FCount;
    }
    Slot = {Rtt, Success};
    FFailures += Success ? 0 : 1;
    FRoundTripSum += Rtt;
    FNext = FNext + 1 == FSettings.Window ? 0 : FNext + 1;
}

void TAlertTracker::PushFailureRun() {
    // Only the last K of a long run can still be in the window.
    for (int I = std::min(FFailRun, FSettings.Window); I > 0; --I) {
        Push(false, 0);
    }
    FFailRun = 0;
}

double TAlertTracker::LossPercent() const {
    return FCount == 0 ? 0.0 : 100.0 * FFailures / FCount;
}

double TAlertTracker::AverageRoundTrip() const {
    const int Successes = FCount - FFailures;
    return Successes == 0 ? 0.0 : double(FRoundTripSum) / Successes;
}

int TAlertTracker::FlapTransitions() const {
    return std::max(0, std::min(FFlapCount, TAlertSettings::FlapHistory) - 1);
}

int TAlertTracker::FlapWeight() const {
    const int Transitions = FlapTransitions();
    int Sum = 0;
    for (int J = 0; J < Transitions; ++J) {
        if (((FFlapBits >> J) ^ (FFlapBits >> (J + 1))) & 1u) {
            Sum += FlapStepWeight(J);
        }
    }
    return Sum;
}

double TAlertTracker::FlapPercent() const {
    const int Transitions = FlapTransitions();
    return Transitions == 0 ? 0.0 : 100.0 * FlapWeight() / FlapWeightUpTo(Transitions);
}

int TAlertTracker::DownRun() const {
    const int N = FSettings.FailThreshold;
    const int K = FSettings.Window;
    const bool Lossy = std::int64_t(FFailures) * 100 > std::int64_t(FSettings.LossPercent) * FCount;
    if (FState == TAlertState::Degraded || Lossy) {
        return std::max(N, K);
    }
    return std::max(N, K - FCount);
}

TAlertReason TAlertTracker::DegradedNow() const {
    if (FCount < FSettings.Window) {
        return TAlertReason::None;
    }
    const int Transitions = FlapTransitions();
    if (Transitions >= MinFlapTransitions &&
        FlapWeight() * 100 >= TAlertSettings::FlapStartPercent * FlapWeightUpTo(Transitions)) {
        return TAlertReason::Flapping;
    }
    // Whole numbers only: "more than P percent" is failures * 100 > P * count.
    if (std::int64_t(FFailures) * 100 > std::int64_t(FSettings.LossPercent) * FCount) {
        return TAlertReason::Loss;
    }
    const int Successes = FCount - FFailures;
    if (FSettings.LatencyMs > 0 && Successes > 0 &&
        FRoundTripSum > std::int64_t(FSettings.LatencyMs) * Successes) {
        return TAlertReason::RoundTrip;
    }
    return TAlertReason::None;
}

bool TAlertTracker::ClearNow() const {
    if (FCount < FSettings.Window) {
        return false;
    }
    const int Transitions = FlapTransitions();
    if (Transitions >= MinFlapTransitions &&
        FlapWeight() * 100 > TAlertSettings::FlapStopPercent * FlapWeightUpTo(Transitions)) {
        return false;
    }
    // Loss at most P / 2.
    if (std::int64_t(FFailures) * 200 > std::int64_t(FSettings.LossPercent) * FCount) {
        return false;
    }
    const int Successes = FCount - FFailures;
    return FSettings.LatencyMs == 0 || Successes == 0 ||
           FRoundTripSum <= std::int64_t(FSettings.LatencyMs) * Successes;
}

TAlertChange TAlertTracker::Change(TAlertState From) const {
    if (FState == TAlertState::Degraded) {
        return {From, FState, FReason, FWhyLoss, FWhyRoundTrip};
    }
    return {From, FState, TAlertReason::None, 0, 0};
}

std::optional<TAlertChange> TAlertTracker::Add(bool Success, std::int32_t RoundTrip) {
    const TAlertState From = FState;
    FFlapBits = ((FFlapBits << 1) | (Success ? 1u : 0u)) & FlapMask;
    FFlapCount = std::min(FFlapCount + 1, TAlertSettings::FlapHistory);
    if (!Success) {
        ++FFailRun;
        FOkRun = 0;
    } else {
        ++FOkRun;
    }

    if (FState == TAlertState::Down) {
        if (Success) {
            FFailRun = 0;
            if (FOkRun >= FSettings.RecoverThreshold) {
                // The window starts again with this reply; a host that was Degraded before the
                // outage stays so until its window shows otherwise.
                Push(true, RoundTrip);
                FReason = FReasonBeforeDown;
                FState = FReason == TAlertReason::None ? TAlertState::Up : TAlertState::Degraded;
                FClearRun = 0;
            }
        }
    } else if (!Success) {
        if (FFailRun >= DownRun()) {
            FReasonBeforeDown = FState == TAlertState::Degraded ? FReason : TAlertReason::None;
            FState = TAlertState::Down;
            FReason = TAlertReason::None;
            FClearRun = 0;
            ClearWindow(); // the outage's results never join it
        }
    } else {
        const int Failures = FFailRun;
        PushFailureRun();
        Push(true, RoundTrip);
        if (FState == TAlertState::Unknown) {
            FState = TAlertState::Up;
        }
        if (FState == TAlertState::Up) {
            if (const TAlertReason Why = DegradedNow(); Why != TAlertReason::None) {
                FState = TAlertState::Degraded;
                FReason = Why;
                FWhyLoss = int(std::lround(LossPercent()));
                FWhyRoundTrip = int(std::lround(AverageRoundTrip()));
                FClearRun = 0;
            }
        } else if (!ClearNow()) {
            FClearRun = 0;
        } else if ((FClearRun += 1 + Failures) >= FSettings.Window) {
            FState = TAlertState::Up;
            FReason = TAlertReason::None;
            FClearRun = 0;
        }
    }

    if (FState == From || (From == TAlertState::Unknown && FState == TAlertState::Up)) {
        return std::nullopt;
    }
    return Change(From);
}

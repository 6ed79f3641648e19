#include "uAlertRules.h"

#include <algorithm>

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
    FSettings = Settings.Clamped();
    FRing.assign(std::size_t(FSettings.Window), TEntry{});
    FFailRun = FOkRun = FClearRun = 0;
    ClearWindow();
}

void TAlertTracker::Reset() {
    FState = TAlertState::Unknown;
    FFailRun = FOkRun = FClearRun = 0;
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

double TAlertTracker::LossPercent() const {
    return FCount == 0 ? 0.0 : 100.0 * FFailures / FCount;
}

double TAlertTracker::AverageRoundTrip() const {
    const int Successes = FCount - FFailures;
    return Successes == 0 ? 0.0 : double(FRoundTripSum) / Successes;
}

bool TAlertTracker::DegradedNow() const {
    if (FCount < FSettings.Window) {
        return false;
    }
    // Whole numbers only: "more than P percent" is failures * 100 > P * count.
    if (std::int64_t(FFailures) * 100 > std::int64_t(FSettings.LossPercent) * FCount) {
        return true;
    }
    const int Successes = FCount - FFailures;
    return FSettings.LatencyMs > 0 && Successes > 0 &&
           FRoundTripSum > std::int64_t(FSettings.LatencyMs) * Successes;
}

std::optional<TAlertChange> TAlertTracker::Add(bool Success, std::int32_t RoundTrip) {
    const TAlertState From = FState;
    if (Success) {
        ++FOkRun;
        FFailRun = 0;
    } else {
        ++FFailRun;
        FOkRun = 0;
    }
    switch (FState) {
    case TAlertState::Unknown:
        if (Success) {
            FState = TAlertState::Up;
            Push(Success, RoundTrip);
        } else if (FFailRun >= FSettings.FailThreshold) {
            FState = TAlertState::Down;
            ClearWindow();
        } else {
            Push(Success, RoundTrip);
        }
        break;
    case TAlertState::Up:
    case TAlertState::Degraded:
        if (!Success && FFailRun >= FSettings.FailThreshold) {
            FState = TAlertState::Down;
            FClearRun = 0;
            ClearWindow();
            break;
        }
        Push(Success, RoundTrip);
        if (DegradedNow()) {
            FState = TAlertState::Degraded;
            FClearRun = 0;
        } else if (FState == TAlertState::Degraded && ++FClearRun >= FSettings.RecoverThreshold) {
            FState = TAlertState::Up;
            FClearRun = 0;
        }
        break;
    case TAlertState::Down:
        if (Success && FOkRun >= FSettings.RecoverThreshold) {
            FState = TAlertState::Up;
            ClearWindow();
        }
        break;
    }
    if (FState == From || (From == TAlertState::Unknown && FState == TAlertState::Up)) {
        return std::nullopt;
    }
    return TAlertChange{From, FState};
}

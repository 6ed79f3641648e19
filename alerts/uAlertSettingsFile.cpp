#include "uAlertSettingsFile.h"

#include "zsIniFile.h"

#include <algorithm>

namespace {

constexpr const char* Section = "ALERTS";

} // namespace

bool ReadAlertingEnable(const TzsIniFile& File) {
    return File.ReadBool(Section, "Enabled", false);
}

void WriteAlertingEnable(TzsIniFile& File, bool Value) {
    File.WriteBool(Section, "Enabled", Value);
}

TAlertSettings ReadAlertSettings(const TzsIniFile& File) {
    TAlertSettings S;
    // A missing or non-numeric value gives the default; a number far out of range its limit.
    const auto Read = [&](const char* Key, int Default) {
        return static_cast<int>(
            std::clamp<long>(File.ReadInteger(Section, Key, Default), -1000000, 1000000));
    };
    S.FailThreshold = Read("FailThreshold", S.FailThreshold);
    S.RecoverThreshold = Read("RecoverThreshold", S.RecoverThreshold);
    S.Window = Read("Window", S.Window);
    S.LossPercent = Read("LossPercent", S.LossPercent);
    S.LatencyMs = Read("LatencyMs", S.LatencyMs);
    S.Sound = File.ReadBool(Section, "Sound", S.Sound);
    return S.Clamped();
}

void WriteAlertSettings(TzsIniFile& File, const TAlertSettings& Settings) {
    const TAlertSettings S = Settings.Clamped();
    // Key by key, so that the switch and keys this version does not know stay as they are.
    File.WriteInteger(Section, "FailThreshold", S.FailThreshold);
    File.WriteInteger(Section, "RecoverThreshold", S.RecoverThreshold);
    File.WriteInteger(Section, "Window", S.Window);
    File.WriteInteger(Section, "LossPercent", S.LossPercent);
    File.WriteInteger(Section, "LatencyMs", S.LatencyMs);
    File.WriteBool(Section, "Sound", S.Sound);
}

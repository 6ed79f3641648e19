#include "uAlertSettingsFile.h"

#include "zsIniFile.h"

#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char* Section = "ALERTS";

// Key's number moved into Min..Max by its value, whatever its size or form (2147483648, 1e23,
// -7.5); Default when it is missing or no number.
int ReadNumberInRange(const TzsIniFile& File, const char* Key, int Default, int Min, int Max) {
    const std::string Text = File.ReadString(Section, Key);
    std::string_view Digits = Text;
    while (!Digits.empty() && (Digits.front() == ' ' || Digits.front() == '\t')) {
        Digits.remove_prefix(1);
    }
    if (!Digits.empty() && Digits.front() == '+') {
        Digits.remove_prefix(1);
    }
    if (Digits.empty()) {
        return Default;
    }
    const char* Begin = Digits.data();
    const char* Stop = Begin + Digits.size();
    long long Whole = 0;
    if (const auto [End, Error] = std::from_chars(Begin, Stop, Whole);
        End == Stop && Error == std::errc()) {
        return int(std::clamp<long long>(Whole, Min, Max));
    }
    double Value = 0;
    const auto [End, Error] = std::from_chars(Begin, Stop, Value);
    if (End != Stop || std::isnan(Value) ||
        (Error != std::errc() && Error != std::errc::result_out_of_range)) {
        return Default;
    }
    if (Error == std::errc::result_out_of_range) {
        // Beyond a double's range (the value is left unset): huge unless its exponent is
        // negative, and then the limit of its sign; tiny is 0.
        const std::size_t E = Digits.find_first_of("eE");
        const bool Huge =
            E == std::string_view::npos || E + 1 >= Digits.size() || Digits[E + 1] != '-';
        return Huge ? (Digits.front() == '-' ? Min : Max) : std::clamp(0, Min, Max);
    }
    if (std::isinf(Value)) {
        return Default; // "inf" is no number a user meant
    }
    if (Value <= double(Min)) {
        return Min;
    }
    if (Value >= double(Max)) {
        return Max;
    }
    return int(std::lround(Value));
}

} // namespace

bool ReadAlertingEnable(const TzsIniFile& File) {
    return File.ReadBool(Section, "Enabled", false);
}

void WriteAlertingEnable(TzsIniFile& File, bool Value) {
    File.WriteBool(Section, "Enabled", Value);
}

TAlertSettings ReadAlertSettings(const TzsIniFile& File) {
    TAlertSettings S;
    // A missing or non-numeric value gives the default; any number out of range its limit.
    using A = TAlertSettings;
    S.FailThreshold =
        ReadNumberInRange(File, "FailThreshold", S.FailThreshold, A::MinThreshold, A::MaxThreshold);
    S.RecoverThreshold = ReadNumberInRange(File, "RecoverThreshold", S.RecoverThreshold,
                                           A::MinThreshold, A::MaxThreshold);
    S.Window = ReadNumberInRange(File, "Window", S.Window, A::MinWindow, A::MaxWindow);
    S.LossPercent = ReadNumberInRange(File, "LossPercent", S.LossPercent, 0, 100);
    S.LatencyMs = ReadNumberInRange(File, "LatencyMs", S.LatencyMs, 0, A::MaxLatencyMs);
    S.Sound = File.ReadBool(Section, "Sound", S.Sound);
    return S.Clamped();
}

void WriteAlertSettings(TzsIniFile& File, const TAlertSettings& Settings) {
    const TAlertSettings S = Settings.Clamped();
    // All keys in one rewrite of the file: the section as it is, with these keys set (the
    // switch and keys this version does not know stay as they are).
    std::vector<TzsIniFile::TKeyValue> Entries = File.ReadSectionValues(Section);
    const std::pair<const char*, std::string> Values[] = {
        {"FailThreshold", std::to_string(S.FailThreshold)},
        {"RecoverThreshold", std::to_string(S.RecoverThreshold)},
        {"Window", std::to_string(S.Window)},
        {"LossPercent", std::to_string(S.LossPercent)},
        {"LatencyMs", std::to_string(S.LatencyMs)},
        {"Sound", S.Sound ? "1" : "0"}};
    for (const auto& KeyValue : Values) {
        const char* const Key = KeyValue.first;
        const std::string& Value = KeyValue.second;
        const auto Same = [Key](const TzsIniFile::TKeyValue& E) {
            return QString::fromStdString(E.first).compare(QLatin1String(Key),
                                                           Qt::CaseInsensitive) == 0;
        };
        const auto It = std::find_if(Entries.begin(), Entries.end(), Same);
        if (It == Entries.end()) {
            Entries.emplace_back(Key, Value);
        } else {
            It->second = Value;
        }
    }
    File.ReplaceSection(Section, Entries);
}

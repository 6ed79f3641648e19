// The alerts' own section of the configuration file, [ALERTS]: the alerting switch and the
// thresholds. Readers that do not know the section keep it as it is. The thresholds are written
// in one rewrite of the file (all keys at once, keys this version does not know kept), so a
// save killed at any moment leaves the old set or the new one.
//
//   TzsIniFile& File = Store.Config();
//   Alerts.SetSettings(ReadAlertSettings(File));
//   WriteAlertingEnable(File, true);
#pragma once

#include "uAlertRules.h"

class TzsIniFile;

// The alerting switch; off when absent.
bool ReadAlertingEnable(const TzsIniFile& File);
void WriteAlertingEnable(TzsIniFile& File, bool Value);
// The thresholds; a missing or non-numeric value gives its default, a number out of range is
// moved into it by its value whatever its size or form (2147483648, 1e23 and 1e400 alike).
TAlertSettings ReadAlertSettings(const TzsIniFile& File);
void WriteAlertSettings(TzsIniFile& File, const TAlertSettings& Settings);

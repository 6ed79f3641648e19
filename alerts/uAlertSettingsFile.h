// The alerts' own section of the configuration file, [ALERTS]: the alerting switch and the
// thresholds. Readers that do not know the section keep it as it is; each value is written key
// by key, so keys this version does not know stay too.
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
// The thresholds; a missing or non-numeric value gives its default, one out of range is moved
// into it.
TAlertSettings ReadAlertSettings(const TzsIniFile& File);
void WriteAlertSettings(TzsIniFile& File, const TAlertSettings& Settings);

// The options of the program that are neither Qt's nor the command-line tools': the headless
// probe and the metrics endpoint.
//
//   TProbeOptions Options;
//   if (const std::string Problem = TakeProbeOptions(argc, argv, Options); !Problem.empty()) ...
//   if (Options.Headless) return RunHeadless(Options);
#pragma once

#include <QString>

#include <string>

struct TProbeOptions {
    bool Headless = false;
    QString Group;         // --group NAME (headless only)
    QString MetricsListen; // --metrics-listen ADDRESS:PORT
};

// Takes the probe's options out of Argv (Qt never sees them). Returns the usage error, or an
// empty string.
std::string TakeProbeOptions(int& Argc, char** Argv, TProbeOptions& Options);

// Runs the headless probe until a termination signal: 0 after a close, 1 when it cannot start
// (its reason on the standard error).
int RunHeadless(int Argc, char** Argv, const TProbeOptions& Options);

// The path report from the command line, without a window:
//
//   vantorel --path HOST [--count N] [--interval SECONDS] [--format text|csv|json]
//
//   if (IsPathRequest(argc, argv))
//       return RunPathCommandLine(argc, argv, std::cout, std::cerr);
//
// Probes the path to HOST for N rounds (10 by default), one every SECONDS (1 by default), then
// prints one line per hop. Exit codes: 0 done; 1 HOST cannot be resolved or no ICMP socket may
// be opened; 2 a wrong command line. Numbers are written with a decimal point whatever the
// locale.
#pragma once

#include "zsPathTrace.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

bool IsPathRequest(int Argc, char** Argv);

int RunPathCommandLine(int Argc, char** Argv, std::ostream& Out, std::ostream& Err);

enum class TPathFormat { Text, Csv, Json };

// What the report says of a run. Name gives a hop address's host name ("" for none).
struct TPathReport {
    std::string Target;  // as given
    std::string Address; // what it resolved to
    std::uint64_t Rounds = 0;
    double IntervalSeconds = 1;
    TPathSnapshot Snapshot;
};

std::string FormatPathReport(const TPathReport& Report, TPathFormat Format,
                             const std::function<std::string(const TPathAddress&)>& Name);

// The columns of the CSV report.
extern const char* const PathCsvHeader;

// The command line that needs no window: --help, --version and the CSV export of a log file.
//
//   if (IsCommandLineRequest(argc, argv))
//       return RunCommandLine(argc, argv, std::cout, std::cerr);   // no display needed
//
// Exit codes: 0 done; 1 the log file could not be read, was read only in part (it is damaged:
// the sound part is written) or the CSV could not be written; 2 the command line is wrong
// (an unknown option, a missing value, a date that is none).
#pragma once

#include <ostream>

// True when the command line holds one of the options below, so no window is wanted.
bool IsCommandLineRequest(int Argc, char** Argv);

int RunCommandLine(int Argc, char** Argv, std::ostream& Out, std::ostream& Err);

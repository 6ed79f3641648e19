// The command line that needs no window: --help, --version and the CSV export of a log file.
//
//   if (IsCommandLineRequest(argc, argv))
//       return RunCommandLine(argc, argv, std::cout, std::cerr);   // no display needed
//
// The CSV is written as the log is read, a megabyte at a time, so a log of any size exports in
// a few MiB of memory; to a file (replaced whole once written; a FIFO, device or folder is
// refused, a symbolic link is written through to its target), else to Out.
//
// Exit codes: 0 done; 1 the log file could not be read, was read only in part (it is damaged:
// the sound part is written; records with values out of range were skipped) or the CSV could
// not be written (also to the standard output); 2 the command line is wrong (an unknown
// option, a missing value, a date that is none, --from after --to, --from, --to or -o
// without --export-log, -o naming the log file itself).
#pragma once

#include <ostream>

// True when the command line holds one of the options above (also --from, --to or -o alone,
// which are then refused), so no window is wanted.
bool IsCommandLineRequest(int Argc, char** Argv);

int RunCommandLine(int Argc, char** Argv, std::ostream& Out, std::ostream& Err);

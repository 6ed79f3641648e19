#include "uHistoryCommandLine.h"

#include "uHistoryExport.h"
#include "uPingLogHistory.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#ifndef VANTOREL_VERSION_TEXT
#define VANTOREL_VERSION_TEXT "0"
#endif

namespace {

const char* const Usage =
    "Usage: vantorel [Qt options] [--metrics-listen ADDRESS:PORT]\n"
    "       vantorel --headless [--group NAME] [--metrics-listen ADDRESS:PORT]\n"
    "       vantorel --export-log FILE.pin [--from DATE] [--to DATE] [-o OUT.csv]\n"
    "       vantorel --path HOST [--count N] [--interval SECONDS] [--format text|csv|json]\n"
    "       vantorel --help | --version\n"
    "\n"
    "Vantorel pings a set of hosts at a fixed period and shows each one live. Without the\n"
    "options below it opens its main window.\n"
    "\n"
    "  --headless             run the monitors of the default group without any window or\n"
    "                         display, until SIGTERM, SIGINT or SIGHUP\n"
    "  --group NAME           with --headless: open the group NAME instead\n"
    "  --metrics-listen ADDRESS:PORT\n"
    "                         serve metrics for Prometheus there (a port alone: on\n"
    "                         127.0.0.1); overrides [METRICS] Listen of config.ini\n"
    "  --export-log FILE.pin  write the records of a monitor's log file as CSV, without a\n"
    "                         window: local time with its offset, UTC, mean round trip in ms\n"
    "                         (empty when every ping of the interval failed) and uptime in %\n"
    "  --from DATE            only records at or after DATE\n"
    "  --to DATE              only records at or before DATE (a bare date: to its end)\n"
    "  -o OUT.csv             write the CSV to OUT.csv (replaced whole once written) instead\n"
    "                         of the standard output; '-o -' is the standard output\n"
    "  --path HOST            probe the path to HOST hop by hop and print loss and round\n"
    "                         trips per hop, without a window ('vantorel --path HOST --help')\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "DATE is local time: YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS.\n"
    "Log files are written while logging is on, one per target, in\n"
    "$XDG_DATA_HOME/Zephra Software/Vantorel (by default ~/.local/share/...).\n"
    "Records whose time, round trip or uptime is out of range are skipped and counted.\n"
    "Exit status: 0 done, 1 the log file could not be read whole or the CSV not written,\n"
    "2 a wrong command line.\n";

bool Is(const char* Argument, const char* Option) {
    return std::strcmp(Argument, Option) == 0;
}

struct TExport {
    std::string LogFile;
    std::string Output; // empty or "-": the standard output
    std::int64_t From = INT64_MIN;
    std::int64_t To = INT64_MAX;
    bool ToStandardOutput() const { return Output.empty() || Output == "-"; }
};

int UsageError(std::ostream& Err, const std::string& Message) {
    Err << "vantorel: " << Message << "\nTry 'vantorel --help' for more information.\n";
    return 2;
}

int Export(const TExport& Job, std::ostream& Out, std::ostream& Err) {
    if (!Job.ToStandardOutput()) {
        if (SameFile(Job.LogFile, Job.Output)) {
            return UsageError(Err, "'-o " + Job.Output + "' names the log file itself");
        }
        if (const std::string Why = RefusedCsvFile(Job.Output); !Why.empty()) {
            Err << "vantorel: cannot write " << Job.Output << ": " << Why << '\n';
            return 1;
        }
    }
    std::unique_ptr<TCsvOutput> Output;
    if (Job.ToStandardOutput()) {
        Output = std::make_unique<TStreamOutput>(Out);
    } else {
        Output = OpenCsvFile(Job.Output);
    }
    TCsvExport Csv(*Output, Job.From, Job.To);
    TPingLogReader Reader;
    Reader.ReadFrom(Job.LogFile, Csv);
    using TProblem = TPingLogReader::TProblem;
    const TProblem Problem = Reader.Problem();
    if (Problem == TProblem::Missing || Problem == TProblem::Unreadable) {
        Err << "vantorel: cannot read " << Job.LogFile << ": "
            << (Problem == TProblem::Missing ? std::strerror(ENOENT) : Reader.ProblemText())
            << '\n';
        return 1;
    }
    if (!Csv.Finish()) {
        Err << "vantorel: cannot write "
            << (Job.ToStandardOutput() ? std::string("to the standard output") : Job.Output) << ": "
            << Output->Why() << '\n';
        return 1;
    }
    int Code = 0;
    if (!Reader.SkippedText().empty()) {
        Err << "vantorel: " << Job.LogFile << ": " << Reader.SkippedText() << '\n';
        Code = 1;
    }
    if (Problem == TProblem::TornTail) {
        // A record being written as the export reads: the whole ones are all there is.
        Err << "vantorel: " << Job.LogFile << ": " << Reader.ProblemText() << '\n';
    } else if (Problem != TProblem::None) {
        Err << "vantorel: " << Job.LogFile << ": " << Reader.ProblemText() << '\n';
        Code = 1;
    }
    return Code;
}

} // namespace

bool IsCommandLineRequest(int Argc, char** Argv) {
    for (int I = 1; I < Argc; ++I) {
        for (const char* Option :
             {"--export-log", "--help", "-h", "--version", "--from", "--to", "-o"}) {
            if (Is(Argv[I], Option)) {
                return true;
            }
        }
    }
    return false;
}

int RunCommandLine(int Argc, char** Argv, std::ostream& Out, std::ostream& Err) {
    TExport Job;
    bool Exporting = false;
    for (int I = 1; I < Argc; ++I) {
        const char* Argument = Argv[I];
        if (Is(Argument, "--help") || Is(Argument, "-h")) {
            Out << Usage;
            return 0;
        }
        if (Is(Argument, "--version")) {
            Out << "Vantorel " << VANTOREL_VERSION_TEXT << '\n';
            return 0;
        }
        const bool TakesValue = Is(Argument, "--export-log") || Is(Argument, "--from") ||
                                Is(Argument, "--to") || Is(Argument, "-o");
        if (!TakesValue) {
            return UsageError(Err, std::string("unknown option '") + Argument + "'");
        }
        if (I + 1 >= Argc) {
            return UsageError(Err, std::string("option '") + Argument + "' needs a value");
        }
        const std::string Value = Argv[++I];
        if (Is(Argument, "--export-log")) {
            Job.LogFile = Value;
            Exporting = true;
        } else if (Is(Argument, "-o")) {
            Job.Output = Value;
        } else if (!ParseHistoryDate(Value, Is(Argument, "--to"),
                                     Is(Argument, "--to") ? Job.To : Job.From)) {
            return UsageError(Err, "'" + Value +
                                       "' is not a date (YYYY-MM-DD, YYYY-MM-DDTHH:MM or "
                                       "YYYY-MM-DDTHH:MM:SS)");
        }
    }
    if (!Exporting) {
        return UsageError(Err, "--from, --to and -o go with --export-log");
    }
    if (Job.From > Job.To) {
        return UsageError(Err, "--from is after --to");
    }
    return Export(Job, Out, Err);
}

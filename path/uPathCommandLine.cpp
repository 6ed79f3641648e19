#include "uPathCommandLine.h"

#include "icmp_dll.h"
#include "ping_funcs.h"
#include "zsReverseNames.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <locale>
#include <sstream>

#include <sys/socket.h>

const char* const PathCsvHeader =
    "hop,address,name,sent,loss_percent,last_ms,avg_ms,best_ms,worst_ms,stdev_ms";

namespace {

const char* const PathUsage =
    "Usage: vantorel --path HOST [--count N] [--interval SECONDS] [--format text|csv|json]\n"
    "\n"
    "Probes the path to HOST hop by hop, without a window, for N rounds (10 by default), one\n"
    "round every SECONDS (1 by default, at least 0.05), and prints per hop: its address and\n"
    "name, the requests sent, the share lost in %, and the last, average, best and worst\n"
    "round trip and its standard deviation in ms. A hop whose loss does not continue to the\n"
    "hops after it only limits the replies it sends; the text and JSON reports say so.\n"
    "Exit status: 0 done, 1 HOST cannot be resolved or no ICMP socket may be opened,\n"
    "2 a wrong command line.\n";

bool Is(const char* Argument, const char* Option) {
    return std::strcmp(Argument, Option) == 0;
}

int UsageError(std::ostream& Err, const std::string& Message) {
    Err << "vantorel: " << Message << "\nTry 'vantorel --path HOST --help' for more information.\n";
    return 2;
}

std::string Fixed(double Value, int Digits = 1) {
    char Buffer[64];
    const auto Result =
        std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::fixed, Digits);
    return std::string(Buffer, Result.ptr);
}

std::string CsvField(const std::string& Text) {
    if (Text.find_first_of(",\"\r\n") == std::string::npos)
        return Text;
    std::string Quoted = "\"";
    for (const char C : Text) {
        if (C == '"')
            Quoted += '"';
        Quoted += C;
    }
    return Quoted + "\"";
}

std::string JsonString(const std::string& Text) {
    std::string Out = "\"";
    for (const char C : Text) {
        const auto U = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += C;
        } else if (U < 0x20) {
            char Escape[8];
            std::snprintf(Escape, sizeof Escape, "\\u%04x", unsigned(U));
            Out += Escape;
        } else {
            Out += C;
        }
    }
    return Out + "\"";
}

std::string Padded(std::string Text, std::size_t Width, bool Right) {
    if (Text.size() >= Width)
        return Text;
    const std::string Fill(Width - Text.size(), ' ');
    return Right ? Fill + Text : Text + Fill;
}

std::string Times(const TPathHop& Hop, double TPathHop::*Field) {
    return Hop.HasTimes ? Fixed(Hop.*Field) : std::string();
}

std::string LimitsNote(const TPathHop& Hop) {
    return "limits its replies: " + Fixed(Hop.LossPercent) + "% unanswered here, " +
           Fixed(Hop.ComparedLossPercent) + "% lost at hop " + std::to_string(Hop.ComparedHop);
}

std::string FormatText(const TPathReport& Report,
                       const std::function<std::string(const TPathAddress&)>& Name) {
    std::ostringstream Out;
    Out.imbue(std::locale::classic()); // numbers for machines: no grouping, whatever the locale
    Out << "Path to " << Report.Target;
    if (Report.Address != Report.Target)
        Out << " (" << Report.Address << ")";
    Out << ": " << Report.Snapshot.Rounds << " rounds, one every "
        << Fixed(Report.IntervalSeconds, 2) << " s\n";
    Out << "Hop  " << Padded("Address", 44, false) << Padded("Loss%", 7, true)
        << Padded("Snt", 6, true) << Padded("Last", 8, true) << Padded("Avg", 8, true)
        << Padded("Best", 8, true) << Padded("Wrst", 8, true) << Padded("StDev", 8, true) << '\n';
    for (const TPathHop& Hop : Report.Snapshot.Hops) {
        std::vector<std::string> Labels;
        for (const TPathHopAddress& A : Hop.Addresses) {
            const std::string N = Name(A.Address);
            Labels.push_back(N.empty() ? A.Address.Text() : N + " (" + A.Address.Text() + ")");
        }
        if (Labels.empty())
            Labels.push_back("???");
        auto Dash = [&](double TPathHop::*Field) {
            return Hop.HasTimes ? Fixed(Hop.*Field) : std::string("-");
        };
        Out << Padded(std::to_string(Hop.Hop), 3, true) << "  " << Padded(Labels[0], 44, false)
            << Padded(Fixed(Hop.LossPercent), 7, true) << Padded(std::to_string(Hop.Sent), 6, true)
            << Padded(Dash(&TPathHop::LastMs), 8, true)
            << Padded(Dash(&TPathHop::AverageMs), 8, true)
            << Padded(Dash(&TPathHop::BestMs), 8, true) << Padded(Dash(&TPathHop::WorstMs), 8, true)
            << Padded(Dash(&TPathHop::StDevMs), 8, true);
        if (Hop.LimitsReplies)
            Out << "  " << LimitsNote(Hop);
        Out << '\n';
        for (std::size_t I = 1; I < Labels.size(); ++I)
            Out << "     " << Labels[I] << '\n';
    }
    if (!Report.Snapshot.DestinationReached)
        Out << "The destination did not answer.\n";
    if (Report.Snapshot.PathChanges > 0)
        Out << "The path changed " << Report.Snapshot.PathChanges
            << (Report.Snapshot.PathChanges == 1 ? " time" : " times") << " during the run.\n";
    return Out.str();
}

std::string FormatCsv(const TPathReport& Report,
                      const std::function<std::string(const TPathAddress&)>& Name) {
    std::ostringstream Out;
    Out.imbue(std::locale::classic()); // numbers for machines: no grouping, whatever the locale
    Out << PathCsvHeader << "\r\n";
    for (const TPathHop& Hop : Report.Snapshot.Hops) {
        // Several addresses at one hop: all of them, and their names, in the order first seen.
        std::string Addresses, Names;
        for (std::size_t I = 0; I < Hop.Addresses.size(); ++I) {
            if (I > 0) {
                Addresses += ' ';
                Names += ' ';
            }
            Addresses += Hop.Addresses[I].Address.Text();
            Names += Name(Hop.Addresses[I].Address);
        }
        Out << Hop.Hop << ',' << CsvField(Addresses) << ',' << CsvField(Names) << ',' << Hop.Sent
            << ',' << Fixed(Hop.LossPercent) << ',' << Times(Hop, &TPathHop::LastMs) << ','
            << Times(Hop, &TPathHop::AverageMs) << ',' << Times(Hop, &TPathHop::BestMs) << ','
            << Times(Hop, &TPathHop::WorstMs) << ',' << Times(Hop, &TPathHop::StDevMs) << "\r\n";
    }
    return Out.str();
}

std::string FormatJson(const TPathReport& Report,
                       const std::function<std::string(const TPathAddress&)>& Name) {
    std::ostringstream Out;
    Out.imbue(std::locale::classic()); // numbers for machines: no grouping, whatever the locale
    const TPathSnapshot& S = Report.Snapshot;
    Out << "{\"target\":" << JsonString(Report.Target)
        << ",\"address\":" << JsonString(Report.Address) << ",\"rounds\":" << S.Rounds
        << ",\"interval_s\":" << Fixed(Report.IntervalSeconds, 3)
        << ",\"destination_reached\":" << (S.DestinationReached ? "true" : "false")
        << ",\"path_changes\":" << S.PathChanges << ",\"hops\":[";
    for (std::size_t H = 0; H < S.Hops.size(); ++H) {
        const TPathHop& Hop = S.Hops[H];
        auto Ms = [&](double TPathHop::*Field) {
            return Hop.HasTimes ? Fixed(Hop.*Field) : std::string("null");
        };
        Out << (H ? "," : "") << "{\"hop\":" << Hop.Hop << ",\"addresses\":[";
        for (std::size_t I = 0; I < Hop.Addresses.size(); ++I)
            Out << (I ? "," : "") << "{\"address\":" << JsonString(Hop.Addresses[I].Address.Text())
                << ",\"name\":" << JsonString(Name(Hop.Addresses[I].Address))
                << ",\"answers\":" << Hop.Addresses[I].Answers << "}";
        Out << "],\"sent\":" << Hop.Sent << ",\"received\":" << Hop.Received
            << ",\"loss_percent\":" << Fixed(Hop.LossPercent)
            << ",\"last_ms\":" << Ms(&TPathHop::LastMs)
            << ",\"avg_ms\":" << Ms(&TPathHop::AverageMs)
            << ",\"best_ms\":" << Ms(&TPathHop::BestMs)
            << ",\"worst_ms\":" << Ms(&TPathHop::WorstMs)
            << ",\"stdev_ms\":" << Ms(&TPathHop::StDevMs)
            << ",\"limits_replies\":" << (Hop.LimitsReplies ? "true" : "false")
            << ",\"loss_on_the_way_percent\":" << Fixed(Hop.ContinuingLossPercent) << "}";
    }
    Out << "]}\n";
    return Out.str();
}

struct TPathJob {
    std::string Host;
    std::uint64_t Count = 10;
    double Interval = 1;
    TPathFormat Format = TPathFormat::Text;
};

bool ParseCount(const std::string& Text, std::uint64_t& Count) {
    const char* End = Text.data() + Text.size();
    const auto Result = std::from_chars(Text.data(), End, Count);
    return Result.ec == std::errc() && Result.ptr == End && Count >= 1 && Count <= 1000000;
}

bool ParseInterval(const std::string& Text, double& Seconds) {
    const char* End = Text.data() + Text.size();
    const auto Result = std::from_chars(Text.data(), End, Seconds, std::chars_format::fixed);
    return Result.ec == std::errc() && Result.ptr == End && std::isfinite(Seconds) &&
           Seconds >= 0.05 && Seconds <= 3600;
}

} // namespace

std::string FormatPathReport(const TPathReport& Report, TPathFormat Format,
                             const std::function<std::string(const TPathAddress&)>& Name) {
    switch (Format) {
    case TPathFormat::Csv:
        return FormatCsv(Report, Name);
    case TPathFormat::Json:
        return FormatJson(Report, Name);
    case TPathFormat::Text:
        break;
    }
    return FormatText(Report, Name);
}

bool IsPathRequest(int Argc, char** Argv) {
    for (int I = 1; I < Argc; ++I)
        if (Is(Argv[I], "--path"))
            return true;
    return false;
}

int RunPathCommandLine(int Argc, char** Argv, std::ostream& Out, std::ostream& Err) {
    TPathJob Job;
    bool HostGiven = false;
    for (int I = 1; I < Argc; ++I) {
        const char* Argument = Argv[I];
        if (Is(Argument, "--help") || Is(Argument, "-h")) {
            Out << PathUsage;
            return 0;
        }
        const bool TakesValue = Is(Argument, "--path") || Is(Argument, "--count") ||
                                Is(Argument, "--interval") || Is(Argument, "--format");
        if (!TakesValue)
            return UsageError(Err, std::string("unknown option '") + Argument + "'");
        if (I + 1 >= Argc)
            return UsageError(Err, std::string("option '") + Argument + "' needs a value");
        const std::string Value = Argv[++I];
        if (Is(Argument, "--path")) {
            Job.Host = Value;
            HostGiven = true;
        } else if (Is(Argument, "--count")) {
            if (!ParseCount(Value, Job.Count))
                return UsageError(Err, "'" + Value + "' is not a count of rounds (1 to 1000000)");
        } else if (Is(Argument, "--interval")) {
            if (!ParseInterval(Value, Job.Interval))
                return UsageError(Err,
                                  "'" + Value + "' is not an interval in seconds (0.05 to 3600)");
        } else if (Value == "text") {
            Job.Format = TPathFormat::Text;
        } else if (Value == "csv") {
            Job.Format = TPathFormat::Csv;
        } else if (Value == "json") {
            Job.Format = TPathFormat::Json;
        } else {
            return UsageError(Err, "'" + Value + "' is not a format (text, csv or json)");
        }
    }
    if (!HostGiven || Job.Host.empty())
        return UsageError(Err, "--path needs a host");

    std::string Address, Why;
    if (!ResolveHost(Job.Host, Address, Why)) {
        Err << "vantorel: cannot resolve " << Job.Host << ": " << Why << '\n';
        return 1;
    }
    const TPathAddress Target = TPathAddress::Parse(Address);
    if (!Target) {
        Err << "vantorel: cannot resolve " << Job.Host << ": " << Address << " is no address\n";
        return 1;
    }
    const TIcmpHandle Handle = Target.Family == AF_INET6 ? Icmp6CreateFile() : IcmpCreateFile();
    if (Handle == INVALID_HANDLE_VALUE) {
        Err << ProbeIcmp().Problem << '\n';
        return 1;
    }
    IcmpCloseHandle(Handle);

    const auto PeriodMs = std::int64_t(std::llround(Job.Interval * 1000));
    TReverseNames Names;
    TPathProber Prober(Target, PeriodMs, std::uint32_t(PeriodMs), SystemClock(),
                       TPathProber::TEcho(), Job.Count);
    // Names are looked up while the rounds run, each address once.
    Prober.SetOnRound([&Names](const TPathSnapshot& Snapshot) {
        for (const TPathHop& Hop : Snapshot.Hops)
            for (const TPathHopAddress& A : Hop.Addresses)
                Names.Name(A.Address);
    });
    Prober.Start();
    Prober.WaitUntilDone();
    Prober.Stop();

    TPathReport Report;
    Report.Target = Job.Host;
    Report.Address = Address;
    Report.IntervalSeconds = Job.Interval;
    Report.Snapshot = Prober.Snapshot();
    Report.Rounds = Report.Snapshot.Rounds;
    // A name server that does not answer costs at most a few seconds; those names stay empty.
    Names.WaitAll(std::chrono::seconds(3));
    Out << FormatPathReport(Report, Job.Format,
                            [&Names](const TPathAddress& A) { return Names.Name(A); });
    Out.flush();
    return 0;
}

#include "uPingLogHistory.h"

#include "zsPingLog.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr double UnixEpochDays = 25569.0;
constexpr std::int64_t SecondsPerDay = 86400;

// The local wall-clock seconds of Unix instant T since 1970-01-01 00:00, and so its offset.
bool LocalFields(std::int64_t T, std::tm& Parts) {
    const std::time_t Seconds = static_cast<std::time_t>(T);
    return localtime_r(&Seconds, &Parts) != nullptr;
}

// The wall-clock fields of "local seconds since 1970" (read as if they were UTC).
std::tm WallFields(std::int64_t LocalSeconds) {
    std::tm Parts{};
    const std::time_t Seconds = static_cast<std::time_t>(LocalSeconds);
    gmtime_r(&Seconds, &Parts);
    return Parts;
}

// The UTC offset in force at instant T.
long OffsetAt(std::int64_t T) {
    std::tm Parts{};
    return LocalFields(T, Parts) ? Parts.tm_gmtoff : 0;
}

// The instants whose local wall-clock reading is LocalSeconds: none in a skipped hour, two in
// a repeated one. Each offset in force a day either side is tried (zones change theirs at
// most once a day); localtime_r alone, since mktime reads the zone's rules again each call.
int InstantsOfWallTime(std::int64_t LocalSeconds, std::array<std::int64_t, 2>& Found) {
    int Count = 0;
    for (const long Offset :
         {OffsetAt(LocalSeconds - SecondsPerDay), OffsetAt(LocalSeconds + SecondsPerDay)}) {
        const std::int64_t T = LocalSeconds - Offset;
        if (OffsetAt(T) != Offset || (Count == 1 && Found[0] == T)) {
            continue;
        }
        Found[std::size_t(Count++)] = T;
    }
    if (Count == 2 && Found[1] < Found[0]) {
        std::swap(Found[0], Found[1]);
    }
    return Count;
}

void AppendTwoDigits(std::string& Out, int Value) {
    Out += char('0' + Value / 10);
    Out += char('0' + Value % 10);
}

std::string IsoFields(const std::tm& Parts) {
    char Text[64];
    std::snprintf(Text, sizeof Text, "%04d-%02d-%02dT%02d:%02d:%02d", Parts.tm_year + 1900,
                  Parts.tm_mon + 1, Parts.tm_mday, Parts.tm_hour, Parts.tm_min, Parts.tm_sec);
    return Text;
}

std::string Number(float Value) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.9g", double(Value));
    return Text;
}

} // namespace

std::int64_t LocalDateTimeToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds) {
    const double Seconds = std::nearbyint((LocalDays - UnixEpochDays) * double(SecondsPerDay));
    // Far outside any calendar a record can mean: kept as UTC rather than overflowing.
    if (!(std::fabs(Seconds) < 1e15)) {
        OffsetSeconds = 0;
        return 0;
    }
    const std::int64_t Local = std::int64_t(Seconds);
    std::array<std::int64_t, 2> Found{};
    const int Count = InstantsOfWallTime(Local, Found);
    std::int64_t Instant;
    if (Count == 0) {
        // A reading inside a skipped hour (the mean of times on both sides of the change):
        // the offset from before the change.
        std::tm Before{};
        Instant = LocalFields(Local - 3 * 3600, Before) ? Local - Before.tm_gmtoff : Local;
    } else if (Count == 2 && Found[0] < NotBefore) {
        Instant = Found[1];
    } else {
        Instant = Found[0];
    }
    std::tm Parts{};
    OffsetSeconds = LocalFields(Instant, Parts) ? int(Parts.tm_gmtoff) : 0;
    return Instant;
}

std::string IsoLocalTime(std::int64_t UnixSeconds, int OffsetSeconds) {
    std::string Text = IsoFields(WallFields(UnixSeconds + OffsetSeconds));
    const int Magnitude = OffsetSeconds < 0 ? -OffsetSeconds : OffsetSeconds;
    Text += OffsetSeconds < 0 ? '-' : '+';
    AppendTwoDigits(Text, Magnitude / 3600);
    Text += ':';
    AppendTwoDigits(Text, Magnitude / 60 % 60);
    return Text;
}

std::string IsoUtcTime(std::int64_t UnixSeconds) {
    return IsoFields(WallFields(UnixSeconds)) + 'Z';
}

bool ParseHistoryDate(const std::string& Text, bool EndOfDay, std::int64_t& UnixSeconds) {
    // Digits where the pattern has 9, the pattern's own characters elsewhere; T or a blank
    // between date and time.
    static const char* const Patterns[] = {"9999-99-99", "9999-99-99T99:99", "9999-99-99T99:99:99"};
    bool Matches = false;
    for (const char* Pattern : Patterns) {
        if (Text.size() != std::strlen(Pattern)) {
            continue;
        }
        Matches = true;
        for (std::size_t I = 0; I < Text.size() && Matches; ++I) {
            const char C = Text[I];
            Matches = Pattern[I] == '9'   ? (C >= '0' && C <= '9')
                      : Pattern[I] == 'T' ? (C == 'T' || C == ' ')
                                          : C == Pattern[I];
        }
        if (Matches) {
            break;
        }
    }
    if (!Matches) {
        return false;
    }
    const auto Field = [&](std::size_t At, std::size_t Length) {
        return At + Length <= Text.size() ? std::stoi(Text.substr(At, Length)) : 0;
    };
    const bool DateOnly = Text.size() == 10;
    const int Year = Field(0, 4), Month = Field(5, 2), Day = Field(8, 2);
    const int Hour = Field(11, 2), Minute = Field(14, 2), Second = Field(17, 2);
    if (Month < 1 || Month > 12 || Day < 1 || Day > 31 || Hour > 23 || Minute > 59 || Second > 59 ||
        Hour < 0 || Minute < 0 || Second < 0 || Year < 1) {
        return false;
    }
    std::tm Parts{};
    Parts.tm_year = Year - 1900;
    Parts.tm_mon = Month - 1;
    Parts.tm_mday = Day;
    Parts.tm_hour = DateOnly && EndOfDay ? 23 : Hour;
    Parts.tm_min = DateOnly && EndOfDay ? 59 : Minute;
    Parts.tm_sec = DateOnly && EndOfDay ? 59 : Second;
    // 31 February and its kind are no date: timegm would roll them over.
    std::tm Check = Parts;
    const std::time_t Wall = timegm(&Check);
    if (Check.tm_mday != Day || Check.tm_mon != Month - 1) {
        return false;
    }
    std::array<std::int64_t, 2> Found{};
    const int Count = InstantsOfWallTime(std::int64_t(Wall), Found);
    if (Count == 0) {
        int Offset = 0;
        UnixSeconds =
            LocalDateTimeToUnix(double(Wall) / SecondsPerDay + UnixEpochDays, INT64_MIN, Offset);
        return true;
    }
    // A repeated hour: a start takes its first pass, an end its second, so both are covered.
    UnixSeconds = EndOfDay && Count == 2 ? Found[1] : Found[0];
    return true;
}

void WriteHistoryCsv(std::ostream& Out, const std::vector<THistoryRecord>& Records,
                     std::int64_t From, std::int64_t To) {
    Out << "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n";
    for (const THistoryRecord& Record : Records) {
        if (Record.UnixSeconds < From || Record.UnixSeconds > To) {
            continue;
        }
        Out << IsoLocalTime(Record.UnixSeconds, Record.UtcOffsetSeconds) << ','
            << IsoUtcTime(Record.UnixSeconds) << ','
            << (Record.Failed() ? std::string() : Number(Record.AvgTrip)) << ','
            << Number(Record.UptimePct) << "\r\n";
    }
}

bool TPingLogHistory::ReadFrom(const std::string& FileName) {
    if (FileName != FFileName) {
        *this = TPingLogHistory();
        FFileName = FileName;
    }
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0) {
        const bool Had = !FRecords.empty();
        FProblem = errno == ENOENT ? TProblem::Missing : TProblem::Unreadable;
        FProblemError = errno;
        FRecords.clear();
        FSoundBytes = 0;
        FStopped = false;
        return Had;
    }
    struct stat Info {};
    if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        FProblemError = S_ISDIR(Info.st_mode) ? EISDIR : EINVAL;
        ::close(Fd);
        FProblem = TProblem::Unreadable;
        FRecords.clear();
        FSoundBytes = 0;
        return false;
    }
    bool Changed = false;
    const std::uint64_t Size = std::uint64_t(Info.st_size);
    if (Size < FSoundBytes || (FProblem == TProblem::Missing || FProblem == TProblem::Unreadable)) {
        // Shorter than what was read: another file now, read from its start.
        Changed = !FRecords.empty() || Size < FSoundBytes;
        FRecords.clear();
        FSoundBytes = 0;
        FStopped = false;
        FProblem = TProblem::None;
    }
    if (FStopped) {
        ::close(Fd);
        return Changed;
    }
    FProblem = TProblem::None;
    std::int64_t Previous = FRecords.empty() ? INT64_MIN : FRecords.back().UnixSeconds;
    double PreviousLocal = FRecords.empty() ? -1e300 : FRecords.back().MeanTime;
    std::vector<std::uint8_t> Buffer(PING_LOG_RECORD_SIZE * 4096);
    std::uint64_t Offset = FSoundBytes;
    while (Offset + PING_LOG_RECORD_SIZE <= Size) {
        const std::size_t Want = std::size_t(std::min<std::uint64_t>(
            Buffer.size(), (Size - Offset) / PING_LOG_RECORD_SIZE * PING_LOG_RECORD_SIZE));
        const ssize_t Got = ::pread(Fd, Buffer.data(), Want, off_t(Offset));
        if (Got < ssize_t(PING_LOG_RECORD_SIZE)) {
            break;
        }
        for (std::size_t At = 0; At + PING_LOG_RECORD_SIZE <= std::size_t(Got);
             At += PING_LOG_RECORD_SIZE) {
            const std::uint8_t* Bytes = Buffer.data() + At;
            for (int I = 4; I < 8; ++I) {
                if (Bytes[I] != PING_LOG_MARKER_BYTE) {
                    FProblem = TProblem::BadMarker;
                }
            }
            const TPingLogRecord Raw = DecodePingLogRecord(Bytes);
            THistoryRecord Record;
            if (FProblem == TProblem::None) {
                Record.RecNo = Raw.RecNo;
                Record.MeanTime = Raw.MeanTime;
                Record.AvgTrip = Raw.AvgTrip;
                Record.UptimePct = Raw.UptimePct;
                // Local readings go back only where a change from daylight-saving time
                // repeats an hour (or a mean falls into the hour it skips): by less than two
                // hours, whatever the zone's rules.
                if (!std::isfinite(Raw.MeanTime) || Raw.MeanTime < PreviousLocal - 2.0 / 24) {
                    FProblem = TProblem::OutOfOrder;
                } else {
                    Record.UnixSeconds =
                        LocalDateTimeToUnix(Raw.MeanTime, Previous, Record.UtcOffsetSeconds);
                }
            }
            if (FProblem != TProblem::None) {
                FStopped = true;
                ::close(Fd);
                return true;
            }
            FRecords.push_back(Record);
            Previous = Record.UnixSeconds;
            PreviousLocal = Record.MeanTime;
            FSoundBytes += PING_LOG_RECORD_SIZE;
            Changed = true;
        }
        Offset = FSoundBytes;
    }
    if (FSoundBytes < Size && Size - FSoundBytes < PING_LOG_RECORD_SIZE) {
        FProblem = TProblem::TornTail;
    }
    ::close(Fd);
    return Changed;
}

std::string TPingLogHistory::ProblemText() const {
    const std::string Record = "record " + std::to_string(FRecords.size() + 1);
    switch (FProblem) {
    case TProblem::None:
        return {};
    case TProblem::Missing:
        return "There is no log file for this target yet.";
    case TProblem::Unreadable:
        return "The log file cannot be read (" + std::string(std::strerror(FProblemError)) + ").";
    case TProblem::TornTail:
        return "The last record is incomplete; it is read once it is whole.";
    case TProblem::BadMarker:
        return "Read up to " + Record + ", which is damaged (its marker is wrong).";
    case TProblem::OutOfOrder:
        return "Read up to " + Record + ", which is out of order (earlier than the one before).";
    }
    return {};
}

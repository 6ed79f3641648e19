#include "uPingLogHistory.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr double UnixEpochDays = 25569.0;
constexpr std::int64_t SecondsPerDay = 86400;
constexpr std::size_t ChunkRecords = 4096;

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
    return A >= 0 ? A / B : -((-A + B - 1) / B);
}

// The UTC offset in force at instant T, from the C library.
long LibraryOffsetAt(std::int64_t T) {
    std::tm Parts{};
    const std::time_t Seconds = static_cast<std::time_t>(T);
    return localtime_r(&Seconds, &Parts) != nullptr ? Parts.tm_gmtoff : 0;
}

// Year, month and day of a count of days since 1970-01-01 (proleptic Gregorian calendar).
void CivilFromDays(std::int64_t Days, std::int64_t& Year, unsigned& Month, unsigned& Day) {
    Days += 719468;
    const std::int64_t Era = (Days >= 0 ? Days : Days - 146096) / 146097;
    const unsigned OfEra = unsigned(Days - Era * 146097);
    const unsigned YearOfEra = (OfEra - OfEra / 1460 + OfEra / 36524 - OfEra / 146096) / 365;
    const unsigned OfYear = OfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
    const unsigned Shifted = (5 * OfYear + 2) / 153;
    Day = OfYear - (153 * Shifted + 2) / 5 + 1;
    Month = Shifted < 10 ? Shifted + 3 : Shifted - 9;
    Year = std::int64_t(YearOfEra) + Era * 400 + (Month <= 2 ? 1 : 0);
}

char* PutTwo(char* P, unsigned Value) {
    *P++ = char('0' + Value / 10 % 10);
    *P++ = char('0' + Value % 10);
    return P;
}

// "YYYY-MM-DDTHH:MM:SS" of wall-clock seconds since 1970-01-01 00:00.
char* PutDateTime(char* P, std::int64_t Seconds) {
    const std::int64_t Days = FloorDiv(Seconds, SecondsPerDay);
    const unsigned OfDay = unsigned(Seconds - Days * SecondsPerDay);
    // An export writes hundreds of rows per day, each with two times: the calendar date of the
    // last two days is kept.
    struct TDate {
        std::int64_t Days = INT64_MIN;
        std::int64_t Year = 0;
        unsigned Month = 0, Day = 0;
    };
    thread_local TDate Recent[2];
    TDate* Date = Recent[0].Days == Days ? &Recent[0] : &Recent[1];
    if (Date->Days != Days) {
        Recent[1] = Recent[0];
        Date = &Recent[0];
        Date->Days = Days;
        CivilFromDays(Days, Date->Year, Date->Month, Date->Day);
    }
    const std::int64_t Year = Date->Year;
    const unsigned Month = Date->Month, Day = Date->Day;
    if (Year >= 0 && Year <= 9999) {
        P = PutTwo(P, unsigned(Year / 100));
        P = PutTwo(P, unsigned(Year % 100));
    } else {
        P = std::to_chars(P, P + 24, Year).ptr;
    }
    *P++ = '-';
    P = PutTwo(P, Month);
    *P++ = '-';
    P = PutTwo(P, Day);
    *P++ = 'T';
    P = PutTwo(P, OfDay / 3600);
    *P++ = ':';
    P = PutTwo(P, OfDay / 60 % 60);
    *P++ = ':';
    return PutTwo(P, OfDay % 60);
}

char* PutOffset(char* P, int OffsetSeconds) {
    const unsigned Magnitude = unsigned(OffsetSeconds < 0 ? -OffsetSeconds : OffsetSeconds);
    *P++ = OffsetSeconds < 0 ? '-' : '+';
    P = PutTwo(P, Magnitude / 3600);
    *P++ = ':';
    return PutTwo(P, Magnitude / 60 % 60);
}

enum class TScanEnd { Done, BadMarker, OutOfOrder, Cancelled, ReadFailed };

// Reads the records from At.Offset up to End (whole records) into Sink, advancing At past each
// sound or skipped one; stops at the first that breaks the file's rules, at a cancel between
// chunks or at a read error.
TScanEnd Scan(int Fd, TPingLogPosition& At, std::uint64_t End, std::uint64_t Total,
              TLocalTimeRules& Rules, THistorySink& Sink, std::uint64_t& Taken,
              std::uint64_t& Skipped) {
    std::vector<std::uint8_t> Buffer(PING_LOG_RECORD_SIZE * ChunkRecords);
    std::vector<THistoryRecord> Chunk;
    Chunk.reserve(ChunkRecords);
    TScanEnd Result = TScanEnd::Done;
    while (At.Offset + PING_LOG_RECORD_SIZE <= End && Result == TScanEnd::Done) {
        if (Sink.Cancelled()) {
            return TScanEnd::Cancelled;
        }
        const std::size_t Want = std::size_t(std::min<std::uint64_t>(
            Buffer.size(), (End - At.Offset) / PING_LOG_RECORD_SIZE * PING_LOG_RECORD_SIZE));
        const ssize_t Got = ::pread(Fd, Buffer.data(), Want, off_t(At.Offset));
        if (Got < ssize_t(PING_LOG_RECORD_SIZE)) {
            return TScanEnd::ReadFailed;
        }
        Chunk.clear();
        for (std::size_t Start = 0; Start + PING_LOG_RECORD_SIZE <= std::size_t(Got);
             Start += PING_LOG_RECORD_SIZE) {
            const std::uint8_t* Bytes = Buffer.data() + Start;
            if (std::memcmp(Bytes + 4, "\xF0\xF0\xF0\xF0", 4) != 0) {
                Result = TScanEnd::BadMarker;
                break;
            }
            const TPingLogRecord Raw = DecodePingLogRecord(Bytes);
            if (CheckHistoryRecord(Raw) != THistoryFault::None) {
                ++Skipped;
                At.Offset += PING_LOG_RECORD_SIZE;
                continue;
            }
            // Local readings go back only where a change from daylight-saving time repeats an
            // hour (or a mean falls into the hour it skips): by less than two hours, whatever
            // the zone's rules.
            if (Raw.MeanTime < At.PreviousLocal - 2.0 / 24) {
                Result = TScanEnd::OutOfOrder;
                break;
            }
            THistoryRecord& Record = Chunk.emplace_back();
            Record.RecNo = Raw.RecNo;
            Record.MeanTime = Raw.MeanTime;
            Record.AvgTrip = Raw.AvgTrip;
            Record.UptimePct = Raw.UptimePct;
            Record.UnixSeconds = Rules.ToUnix(Raw.MeanTime, At.Previous, Record.UtcOffsetSeconds);
            At.Previous = Record.UnixSeconds;
            At.PreviousLocal = Raw.MeanTime;
            At.Offset += PING_LOG_RECORD_SIZE;
        }
        if (!Chunk.empty()) {
            Sink.Take(Chunk.data(), Chunk.size());
            Taken += Chunk.size();
        }
        Sink.Progress(At.Offset, Total);
    }
    return Result;
}

} // namespace

THistoryFault CheckHistoryRecord(const TPingLogRecord& Raw) {
    if (!(Raw.MeanTime >= FirstHistoryDay && Raw.MeanTime < EndHistoryDay)) {
        return THistoryFault::Time;
    }
    if (!(Raw.AvgTrip == -1.0f || (Raw.AvgTrip >= 0 && Raw.AvgTrip <= MaxHistoryRoundTripMs))) {
        return THistoryFault::RoundTrip;
    }
    if (!(Raw.UptimePct >= 0 && Raw.UptimePct <= 100)) {
        return THistoryFault::Uptime;
    }
    return THistoryFault::None;
}

long TLocalTimeRules::OffsetAt(std::int64_t T) {
    const std::int64_t Q = FloorDiv(T, Quarter);
    TSlot& Slot = FSlots[std::size_t(Q & 15)];
    if (Slot.Quarter != Q) {
        const std::int64_t First = Q * Quarter;
        const std::int64_t Last = First + Quarter - 1;
        Slot.Quarter = Q;
        Slot.Before = LibraryOffsetAt(First);
        Slot.After = LibraryOffsetAt(Last);
        Slot.ChangeAt = INT64_MAX;
        if (Slot.After != Slot.Before) {
            std::int64_t Low = First, High = Last;
            while (High - Low > 1) {
                const std::int64_t Middle = Low + (High - Low) / 2;
                (LibraryOffsetAt(Middle) == Slot.Before ? Low : High) = Middle;
            }
            Slot.ChangeAt = High;
        }
    }
    return T < Slot.ChangeAt ? Slot.Before : Slot.After;
}

// Each offset in force a day either side is tried (zones change theirs at most once a day).
int TLocalTimeRules::InstantsOfWallTime(std::int64_t LocalSeconds,
                                        std::array<std::int64_t, 2>& Found) {
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

std::int64_t TLocalTimeRules::ToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds) {
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
        Instant = Local - OffsetAt(Local - 3 * 3600);
    } else if (Count == 2 && Found[0] < NotBefore) {
        Instant = Found[1];
    } else {
        Instant = Found[0];
    }
    OffsetSeconds = int(OffsetAt(Instant));
    return Instant;
}

std::int64_t LocalDateTimeToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds) {
    TLocalTimeRules Rules;
    return Rules.ToUnix(LocalDays, NotBefore, OffsetSeconds);
}

std::string IsoLocalTime(std::int64_t UnixSeconds, int OffsetSeconds) {
    char Text[64];
    char* P = PutDateTime(Text, UnixSeconds + OffsetSeconds);
    P = PutOffset(P, OffsetSeconds);
    return std::string(Text, P);
}

std::string IsoUtcTime(std::int64_t UnixSeconds) {
    char Text[64];
    char* P = PutDateTime(Text, UnixSeconds);
    *P++ = 'Z';
    return std::string(Text, P);
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
    TLocalTimeRules Rules;
    std::array<std::int64_t, 2> Found{};
    const int Count = Rules.InstantsOfWallTime(std::int64_t(Wall), Found);
    if (Count == 0) {
        int Offset = 0;
        UnixSeconds = Rules.ToUnix(double(Wall) / SecondsPerDay + UnixEpochDays, INT64_MIN, Offset);
        return true;
    }
    // A repeated hour: a start takes its first pass, an end its second, so both are covered.
    UnixSeconds = EndOfDay && Count == 2 ? Found[1] : Found[0];
    return true;
}

namespace THistoryCsv {

const char* const Header = "Local time,UTC,Mean round trip (ms),Uptime (%)\r\n";

void Number(double Value, int Decimals, std::string& Out) {
    // The values of a log (round trips, uptimes) from a whole number of units of the last
    // place: the product's error (below 1e-7 of a unit under 1e9 units) cannot move it across
    // a rounding boundary unless it lies within 1e-6 of one, and those take the exact path.
    static constexpr std::uint32_t Scales[] = {1, 10, 100, 1000};
    if (Decimals >= 0 && Decimals <= 3 && Value >= 0 && Value < 1e6) {
        const std::uint32_t Scale = Scales[Decimals];
        const double Scaled = Value * Scale;
        const double Whole = std::floor(Scaled);
        const double Fraction = Scaled - Whole;
        if (std::fabs(Fraction - 0.5) > 1e-6) {
            const std::uint64_t Units = std::uint64_t(Whole) + (Fraction > 0.5 ? 1 : 0);
            char Text[32];
            char* P = std::to_chars(Text, Text + sizeof Text, Units / Scale).ptr;
            std::uint32_t Rest = std::uint32_t(Units % Scale);
            if (Rest != 0) {
                *P++ = '.';
                for (std::uint32_t Place = Scale / 10; Rest != 0; Place /= 10) {
                    *P++ = char('0' + Rest / Place);
                    Rest %= Place;
                }
            }
            Out.append(Text, P);
            return;
        }
    }
    char Text[400];
    const auto [End, Error] =
        std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::fixed, Decimals);
    if (Error != std::errc()) {
        Out.append(Text, std::to_chars(Text, Text + sizeof Text, Value).ptr);
        return;
    }
    char* Last = End;
    if (std::memchr(Text, '.', std::size_t(Last - Text)) != nullptr) {
        while (Last[-1] == '0') {
            --Last;
        }
        if (Last[-1] == '.') {
            --Last;
        }
    }
    const std::string_view Shown(Text, std::size_t(Last - Text));
    Out.append(Shown == "-0" ? std::string_view("0") : Shown);
}

void Row(const THistoryRecord& Record, std::string& Out) {
    char Text[96];
    char* P = PutDateTime(Text, Record.UnixSeconds + Record.UtcOffsetSeconds);
    P = PutOffset(P, Record.UtcOffsetSeconds);
    *P++ = ',';
    P = PutDateTime(P, Record.UnixSeconds);
    *P++ = 'Z';
    *P++ = ',';
    Out.append(Text, P);
    if (!Record.Failed()) {
        Number(Record.AvgTrip, 3, Out);
    }
    Out += ',';
    Number(Record.UptimePct, 2, Out);
    Out += "\r\n";
}

} // namespace THistoryCsv

void WriteHistoryCsv(std::ostream& Out, const std::vector<THistoryRecord>& Records,
                     std::int64_t From, std::int64_t To) {
    std::string Text = THistoryCsv::Header;
    for (const THistoryRecord& Record : Records) {
        if (Record.UnixSeconds >= From && Record.UnixSeconds <= To) {
            THistoryCsv::Row(Record, Text);
        }
    }
    Out.write(Text.data(), std::streamsize(Text.size()));
}

void TPingLogReader::Forget(THistorySink& Sink) {
    const bool Had = FRecords > 0 || FSkipped > 0;
    FAt = TPingLogPosition();
    FRecords = 0;
    FSkipped = 0;
    FStopped = false;
    if (Had) {
        Sink.Restart();
    }
}

bool TPingLogReader::ReadFrom(const std::string& FileName, THistorySink& Sink) {
    if (FileName != FFileName) {
        Forget(Sink);
        FProblem = TProblem::None;
        FFileName = FileName;
    }
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0) {
        const bool Had = FRecords > 0;
        FProblem = errno == ENOENT ? TProblem::Missing : TProblem::Unreadable;
        FProblemError = errno;
        Forget(Sink);
        return Had;
    }
    struct stat Info {};
    if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        FProblemError = S_ISDIR(Info.st_mode) ? EISDIR : EINVAL;
        ::close(Fd);
        const bool Had = FRecords > 0;
        FProblem = TProblem::Unreadable;
        Forget(Sink);
        return Had;
    }
    bool Changed = false;
    const std::uint64_t Size = std::uint64_t(Info.st_size);
    if (Size < FAt.Offset || FProblem == TProblem::Missing || FProblem == TProblem::Unreadable) {
        // Shorter than what was read: another file now, read from its start.
        Changed = FRecords > 0 || Size < FAt.Offset;
        Forget(Sink);
        FProblem = TProblem::None;
    }
    if (FStopped) {
        ::close(Fd);
        return Changed;
    }
    FProblem = TProblem::None;
    const std::uint64_t Before = FRecords;
    const std::uint64_t End =
        FAt.Offset + (Size - FAt.Offset) / PING_LOG_RECORD_SIZE * PING_LOG_RECORD_SIZE;
    switch (Scan(Fd, FAt, End, Size, FRules, Sink, FRecords, FSkipped)) {
    case TScanEnd::BadMarker:
        FProblem = TProblem::BadMarker;
        FStopped = true;
        break;
    case TScanEnd::OutOfOrder:
        FProblem = TProblem::OutOfOrder;
        FStopped = true;
        break;
    case TScanEnd::ReadFailed:
    case TScanEnd::Cancelled:
    case TScanEnd::Done:
        if (FAt.Offset < Size && Size - FAt.Offset < PING_LOG_RECORD_SIZE) {
            FProblem = TProblem::TornTail;
        }
        break;
    }
    ::close(Fd);
    return Changed || FRecords != Before || FStopped;
}

bool TPingLogReader::ReadRange(const std::string& FileName, TPingLogPosition From,
                               std::uint64_t End, TLocalTimeRules& Rules, THistorySink& Sink) {
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0) {
        return false;
    }
    std::uint64_t Taken = 0, Skipped = 0;
    const TScanEnd Result = Scan(Fd, From, End, End, Rules, Sink, Taken, Skipped);
    ::close(Fd);
    return Result == TScanEnd::Done || Result == TScanEnd::Cancelled;
}

std::string TPingLogReader::ProblemText() const {
    const std::string Record = "record " + std::to_string(FAt.Offset / PING_LOG_RECORD_SIZE + 1);
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

std::string TPingLogReader::SkippedText() const {
    if (FSkipped == 0) {
        return {};
    }
    return std::to_string(FSkipped) + (FSkipped == 1 ? " record was" : " records were") +
           " skipped: a time, round trip or uptime out of range.";
}

// Reading a monitor's log file back: the 24-byte records, up to what is sound, with their
// times as instants, and the CSV export of them. Never writes a log file.
//
//   TPingLogReader Reader;                       // streams: a sink takes the records in chunks
//   Reader.ReadFrom("/…/Vantorel/router.pin", Sink);   // again later: only what was appended
//   if (Reader.Problem() != TPingLogReader::TProblem::None) show(Reader.ProblemText());
//   TPingLogHistory History;                     // the same, keeping every record in memory
//   History.ReadFrom(Path);  for (const THistoryRecord& R : History.Records()) …;
//   THistoryCsv::Row(R, Line);                   // one CSV line, the same in every locale
//
// Soundness: records are read in file order while each has the marker F0 F0 F0 F0 and its
// local time lies after the one before it (less than two hours back is taken for a change of
// daylight-saving time); the first that breaks a rule ends the reading there (what
// follows it cannot be trusted), and so does a torn last record (a write in progress, or one
// cut short): the torn record is read once it is whole. A record whose own values cannot be
// what a monitor writes (a time that is not finite or lies outside the years 1900 to 9999, a
// round trip that is not finite, negative other than the failure mark -1 or longer than the
// longest time-out, an uptime outside 0 to 100) is skipped and counted, and the reading goes
// on. A record's time is the mean local wall-clock time of its interval (days since
// 1899-12-30); it becomes an instant with the time zone rules of the reading process, and in
// the hour that a change from daylight-saving time repeats, the earliest reading that does not
// go back before the previous record is taken. The reader holds one 96 KiB buffer whatever the
// file's size; the offsets of the zone are looked up once per six hours of records, so a
// gigabyte of records (44.7 million) reads in seconds.
#pragma once

#include "zsPingLog.h"

#include <array>
#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct THistoryRecord {
    std::int32_t RecNo = 0;
    double MeanTime = 0;          // local days since 1899-12-30, as stored
    std::int64_t UnixSeconds = 0; // the instant of MeanTime, to the nearest second
    int UtcOffsetSeconds = 0;     // local time minus UTC at that instant
    float AvgTrip = 0;            // mean round trip in ms; -1 when every sample failed
    float UptimePct = 0;
    bool Failed() const { return UptimePct <= 0; }
};

// The longest time-out a monitor can be given (ms): no mean round trip lies above it.
constexpr float MaxHistoryRoundTripMs = 10000;
// Days since 1899-12-30 of 1900-01-01 and of 10000-01-01: the times a record may hold.
constexpr double FirstHistoryDay = 2;
constexpr double EndHistoryDay = 2958466;

// Why a record cannot be shown, or None. A record failing more than one rule is counted once.
enum class THistoryFault { None, Time, RoundTrip, Uptime };
THistoryFault CheckHistoryRecord(const TPingLogRecord& Raw);

// The local time rules of the process, with the offsets it has looked up kept per six hours
// (a zone changes its offset at most once in that time), so that converting millions of
// records costs a few calls into the C library. Reads the zone as it was when created.
class TLocalTimeRules {
public:
    // Local time minus UTC at instant T, in seconds.
    long OffsetAt(std::int64_t T);
    // The instants whose local wall-clock reading (seconds since 1970-01-01 00:00 local) is
    // LocalSeconds, earliest first: none in a skipped hour, two in a repeated one.
    int InstantsOfWallTime(std::int64_t LocalSeconds, std::array<std::int64_t, 2>& Found);
    // Local wall-clock days since 1899-12-30 to an instant, as described above; NotBefore is
    // the previous record's instant (or INT64_MIN). Sets OffsetSeconds to the UTC offset then.
    std::int64_t ToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds);

private:
    static constexpr std::int64_t Quarter = 6 * 3600;
    struct TSlot {
        std::int64_t Quarter = INT64_MIN;
        long Before = 0;
        std::int64_t ChangeAt = INT64_MAX; // the first second of the offset After
        long After = 0;
    };
    std::array<TSlot, 16> FSlots;
};

// Receives the records of a reading, in file order. Each chunk holds up to 4,096 records.
class THistorySink {
public:
    virtual ~THistorySink() = default;
    // The file became shorter than what was read (replaced or cut): what was taken is void and
    // the reading starts over.
    virtual void Restart() {}
    virtual void Take(const THistoryRecord* Records, std::size_t Count) = 0;
    // Asked between chunks; true ends the reading where it is (it resumes there next time).
    virtual bool Cancelled() { return false; }
    // Bytes of the file read so far and in all.
    virtual void Progress(std::uint64_t /*Done*/, std::uint64_t /*Total*/) {}
};

// Where a reading stands: the next record's offset and what the ordering rule compares with.
struct TPingLogPosition {
    std::uint64_t Offset = 0;
    std::int64_t Previous = INT64_MIN;
    double PreviousLocal = -1e300;
};

class TPingLogReader {
public:
    enum class TProblem {
        None,
        Missing,    // the file does not exist (yet)
        Unreadable, // it exists but cannot be read (not a regular file, no permission, …)
        TornTail,   // the last record is incomplete
        BadMarker,  // a record without the marker
        OutOfOrder, // a record earlier than the one before it
    };

    // Reads what the file holds beyond what was read before and hands it to Sink; a file
    // that became shorter than what was read (replaced, or cut) is read again from its start
    // after Sink.Restart(). Returns true when records were taken or the reading started over.
    bool ReadFrom(const std::string& FileName, THistorySink& Sink);

    // The records between two positions of a reading already made (From.Offset up to End), as
    // they were read then; false when the file cannot be read there any more.
    static bool ReadRange(const std::string& FileName, TPingLogPosition From, std::uint64_t End,
                          TLocalTimeRules& Rules, THistorySink& Sink);

    TProblem Problem() const { return FProblem; }
    // For the user: what stopped the reading and where; empty when nothing did.
    std::string ProblemText() const;
    // Records read as sound and taken, and records skipped for values out of range.
    std::uint64_t Records() const { return FRecords; }
    std::uint64_t Skipped() const { return FSkipped; }
    // For the user: how many records were skipped; empty when none was.
    std::string SkippedText() const;
    // Bytes of the file that were read as sound (taken or skipped) records.
    std::uint64_t SoundBytes() const { return FAt.Offset; }
    const TPingLogPosition& Position() const { return FAt; }
    TLocalTimeRules& Rules() { return FRules; }

private:
    void Forget(THistorySink& Sink);

    std::string FFileName;
    TPingLogPosition FAt;
    std::uint64_t FRecords = 0;
    std::uint64_t FSkipped = 0;
    TProblem FProblem = TProblem::None;
    int FProblemError = 0;
    // A problem other than a torn tail stops the reading for good (until the file shrinks).
    bool FStopped = false;
    TLocalTimeRules FRules;
};

// A reading kept whole in memory: for logs of a size that fits (tests, small tools).
class TPingLogHistory : private THistorySink {
public:
    using TProblem = TPingLogReader::TProblem;

    bool ReadFrom(const std::string& FileName) { return FReader.ReadFrom(FileName, *this); }
    const std::vector<THistoryRecord>& Records() const { return FRecords; }
    TProblem Problem() const { return FReader.Problem(); }
    std::string ProblemText() const { return FReader.ProblemText(); }
    std::uint64_t Skipped() const { return FReader.Skipped(); }
    std::uint64_t SoundBytes() const { return FReader.SoundBytes(); }

private:
    void Restart() override { FRecords.clear(); }
    void Take(const THistoryRecord* Records, std::size_t Count) override {
        FRecords.insert(FRecords.end(), Records, Records + Count);
    }

    TPingLogReader FReader;
    std::vector<THistoryRecord> FRecords;
};

// Local wall-clock days since 1899-12-30 to an instant (TLocalTimeRules::ToUnix, for one).
std::int64_t LocalDateTimeToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds);

// "2024-03-31T02:30:00+02:00" and "2024-03-31T00:30:00Z".
std::string IsoLocalTime(std::int64_t UnixSeconds, int OffsetSeconds);
std::string IsoUtcTime(std::int64_t UnixSeconds);

// A date or date-time of the command line, local time: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or
// "YYYY-MM-DDTHH:MM:SS" (a blank may stand for the T). EndOfDay makes a bare date mean the
// last second of that day. False when Text is none of these or names no real date.
bool ParseHistoryDate(const std::string& Text, bool EndOfDay, std::int64_t& UnixSeconds);

// The CSV of records: a header line, then per record local time with offset, UTC, mean round
// trip in ms (empty for a failed interval) and uptime in percent, with CR LF line ends.
// Numbers are written with a decimal point whatever the locale, the round trip to 3 decimals
// and the uptime to 2, without trailing zeros (12, 10.5, 92.27).
namespace THistoryCsv {
extern const char* const Header;
// Appends the record's line to Out.
void Row(const THistoryRecord& Record, std::string& Out);
// Appends Value rounded to Decimals places, shortest form.
void Number(double Value, int Decimals, std::string& Out);
} // namespace THistoryCsv

// The records from From to To (instants, inclusive) as CSV into Out.
void WriteHistoryCsv(std::ostream& Out, const std::vector<THistoryRecord>& Records,
                     std::int64_t From = INT64_MIN, std::int64_t To = INT64_MAX);

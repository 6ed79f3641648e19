// Reading a monitor's log file back: the 24-byte records, up to what is sound, with their
// times as instants, and the CSV export of a span of them. Never writes a log file.
//
//   TPingLogHistory History;
//   History.ReadFrom("/…/Vantorel/router.pin");  // again later: only what was appended is read
//   for (const THistoryRecord& R : History.Records()) …;
//   if (History.Problem() != TPingLogHistory::TProblem::None) show(History.ProblemText());
//   WriteHistoryCsv(std::cout, History.Records(), From, To);
//
// Soundness: records are read in file order while each has the marker F0 F0 F0 F0 and its
// local time lies after the one before it (less than two hours back is taken for a change of
// daylight-saving time); the first that breaks a rule ends the reading there (what
// follows it cannot be trusted), and so does a torn last record (a write in progress, or one
// cut short): the torn record is read once it is whole. A record's time is the mean local
// wall-clock time of its interval (days since 1899-12-30); it becomes an instant with the
// time zone rules of the reading process, and in the hour that a change from daylight-saving
// time repeats, the earliest reading that does not go back before the previous record is
// taken. 105,120 records (a year of five-minute intervals) read in a few milliseconds.
#pragma once

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

class TPingLogHistory {
public:
    enum class TProblem {
        None,
        Missing,    // the file does not exist (yet)
        Unreadable, // it exists but cannot be read (not a regular file, no permission, …)
        TornTail,   // the last record is incomplete
        BadMarker,  // a record without the marker
        OutOfOrder, // a record earlier than the one before it
    };

    // Reads what the file holds beyond what was read before; a file that became shorter than
    // what was read (replaced, or cut) is read again from its start. Returns true when records
    // were added or the reading started over.
    bool ReadFrom(const std::string& FileName);

    const std::vector<THistoryRecord>& Records() const { return FRecords; }
    TProblem Problem() const { return FProblem; }
    // For the user: what stopped the reading and where; empty when nothing did.
    std::string ProblemText() const;
    // Bytes of the file that were read as sound records.
    std::uint64_t SoundBytes() const { return FSoundBytes; }

private:
    std::string FFileName;
    std::vector<THistoryRecord> FRecords;
    std::uint64_t FSoundBytes = 0;
    TProblem FProblem = TProblem::None;
    int FProblemError = 0;
    // A problem other than a torn tail stops the reading for good (until the file shrinks).
    bool FStopped = false;
};

// Local wall-clock days since 1899-12-30 to an instant, as described above; NotBefore is the
// previous record's instant (or INT64_MIN). Sets OffsetSeconds to the UTC offset then.
std::int64_t LocalDateTimeToUnix(double LocalDays, std::int64_t NotBefore, int& OffsetSeconds);

// "2024-03-31T02:30:00+02:00" and "2024-03-31T00:30:00Z".
std::string IsoLocalTime(std::int64_t UnixSeconds, int OffsetSeconds);
std::string IsoUtcTime(std::int64_t UnixSeconds);

// A date or date-time of the command line, local time: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or
// "YYYY-MM-DDTHH:MM:SS" (a blank may stand for the T). EndOfDay makes a bare date mean the
// last second of that day. False when Text is none of these or names no real date.
bool ParseHistoryDate(const std::string& Text, bool EndOfDay, std::int64_t& UnixSeconds);

// The records from From to To (instants, inclusive) as CSV with a header line and CR LF line
// ends: local time with offset, UTC, mean round trip in ms (empty for a failed interval) and
// uptime in percent.
void WriteHistoryCsv(std::ostream& Out, const std::vector<THistoryRecord>& Records,
                     std::int64_t From = INT64_MIN, std::int64_t To = INT64_MAX);

// The ping log: one 24-byte little-endian record per log interval, appended to "<target>.pin"
// in the log folder by a job on the shared worker thread.
//
//   TPingLogRecord rec;                       // MeanTime, AvgTrip, UptimePct filled by the caller
//   AppendPingLogRecord(rec, folder + "/host.pin");   // fills RecNo and Marker, raises on error
//
// TPingLogState is the part of a monitor that a queued log job needs (the interval totals, the
// lock guarding them, the target and the folder). Jobs share ownership of it, so a job still
// queued or running when its monitor is freed writes its record and touches nothing freed.
#pragma once

#include "zsClock.h"
#include "zsPingLoopThread.h"
#include "zsWorkerThread.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Totals of the current log interval. The counters are 64-bit: with logging off the interval
// never closes, and 32 bits of summed round trips run out within days.
struct TPingLogAvg {
    std::string Host; // Target at the last reset; names the log file
    TDateTime StartTime = 0;
    double TimeSum = 0;
    std::int64_t TripSum = 0; // successful round trips, minus 1 per failed sample
    std::int64_t SampleCount = 0;
    std::int64_t UptimeSum = 0; // 100 per successful sample
};

struct TPingLogRecord {
    std::int32_t RecNo = 0;
    std::array<std::uint8_t, 4> Marker{};
    double MeanTime = 0;
    float AvgTrip = 0;
    float UptimePct = 0;
};

constexpr std::size_t PING_LOG_RECORD_SIZE = 24;
constexpr std::uint8_t PING_LOG_MARKER_BYTE = 0xF0;

std::array<std::uint8_t, PING_LOG_RECORD_SIZE> EncodePingLogRecord(const TPingLogRecord& Record);
TPingLogRecord DecodePingLogRecord(const std::uint8_t* Bytes);

// The record for an interval's totals, or nothing when the interval holds no sample.
std::optional<TPingLogRecord> PingLogRecordFromTotals(const TPingLogAvg& Totals);

// True when Name can be a plain file name inside the log folder: not empty, not "." or "..",
// and free of '/' and NUL.
bool IsPingLogName(const std::string& Name);

// Appends Record (RecNo and Marker are set here) to FileName: numbered after the last whole
// record, 1 for an existing empty file, 0 for a new file; a short tail is overwritten. Raises
// std::system_error on any failure; a file that exists but cannot be opened or read is left as
// it is. A symbolic link in the file's place is not followed.
void AppendPingLogRecord(TPingLogRecord& Record, const std::string& FileName);

class TPingLogState {
public:
    explicit TPingLogState(std::shared_ptr<TClock> Clock);

    // The monitor lock: guards the totals, Target and LogFolder here and the monitor's last
    // result and timeout. Recursive because the monitor holds it while the main window's
    // update handler runs, and that handler reads those fields through their own accessors.
    std::recursive_mutex StatsLock;

    // Under StatsLock, unless said otherwise.
    TPingLogAvg Stats;
    std::string Target;
    std::string LogFolder;

    // Intervals closed early (the machine slept), oldest first, waiting to be written.
    std::vector<TPingLogAvg> Closed;

    // Starts a new interval now, named after Target. Takes StatsLock.
    void ResetStats();
    // Ends the current interval now: its totals, when it holds a sample, wait in Closed for the
    // next write, and a new interval starts. Returns whether one waits. Takes StatsLock.
    bool CloseInterval();
    // Appends the records of the closed intervals, then turns the current totals into a
    // record, starts a new interval and appends that record. Worker thread; raises what the
    // append raises (after trying every record).
    void WriteLogRecord();
    // Appends the records of the closed intervals only.
    void WriteClosedRecords();
    // The worker's entry points: the due record, or the closed intervals alone.
    void Run(TzsWorkerThread& Worker);
    void RunClosed(TzsWorkerThread& Worker);

    const std::shared_ptr<TClock>& Clock() const { return FClock; }

private:
    void WriteCurrentRecord();

    std::shared_ptr<TClock> FClock;
};

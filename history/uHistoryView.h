// What the history graph shows of a log: the span (a day, a week, a month or all of it) as a
// time range, cut into one summary per pixel column. The summaries are all a view keeps of
// the records, so its memory is that of the picture whatever the log's size, and summaries of
// the same column merge, so records appended later are added to the columns they fall in. A
// record counts in each column that the five minutes it stands for touch.
//
//   THistoryRange Range = HistoryRange(THistorySpan::Week, Log, Now);
//   THistoryView View(Range, PlotWidthInDevicePixels);
//   View.Add(Record);                            // for every record of the log
//   const THistoryColumn& C = View.Columns()[X]; // C.Records, C.UptimeMin, C.MeanTrip()
#pragma once

#include "uPingLogHistory.h"

#include <cstdint>
#include <vector>

enum class THistorySpan { Day, Week, Month, All };

// Where a log's records begin and end, as far as it has been read.
struct THistoryExtent {
    bool Any = false;
    std::int64_t First = 0;
    std::int64_t Last = 0;
    void Add(std::int64_t At) {
        First = Any ? std::min(First, At) : At;
        Last = Any ? std::max(Last, At) : At;
        Any = true;
    }
};

// From (inclusive) to To (exclusive), instants.
struct THistoryRange {
    std::int64_t From = 0;
    std::int64_t To = 1;
    // A day, week or month that ends at the log's last record because the log ended before
    // the span that ends now.
    bool EndsAtLastRecord = false;
    bool operator==(const THistoryRange&) const = default;
};

// The range a span shows. A day, a week and a month end now, or at the last record when the
// log ended before that span begins, and the end is rounded up to a whole hour (a day), six
// hours (a week) or a day (a month), so that the columns stay where they are as time goes by.
// All runs from the first record to a little beyond the last (a fiftieth of the whole, at
// least five minutes, rounded up to the hour): an hour at least, the last day when there is
// no record.
THistoryRange HistoryRange(THistorySpan Span, const THistoryExtent& Log, std::int64_t Now);

struct THistoryColumn {
    std::uint32_t Records = 0;
    std::uint32_t Failed = 0; // records of intervals in which every ping failed
    std::uint32_t Trips = 0;  // records with a mean round trip
    float TripMin = 0;
    float TripMax = 0;
    double TripSum = 0;
    float UptimeMin = 0;
    void Add(const THistoryRecord& Record);
    double MeanTrip() const { return Trips > 0 ? TripSum / Trips : 0; }
};

class THistoryView {
public:
    THistoryView() = default;
    THistoryView(const THistoryRange& Range, int Columns);

    const THistoryRange& Range() const { return FRange; }
    const std::vector<THistoryColumn>& Columns() const { return FColumns; }
    // The column an instant falls in, -1 outside the range.
    int ColumnOf(std::int64_t At) const;
    // The first instant of column X (X = the column count gives To).
    std::int64_t StartOf(int X) const;
    // Adds a record to the columns of the five minutes around its time (the log interval it
    // stands for), where they lie in the range.
    void Add(const THistoryRecord& Record);
    // Records whose time lies in the range.
    std::uint64_t Records() const { return FRecords; }
    static constexpr std::int64_t HalfInterval = 150;

private:
    THistoryRange FRange;
    std::vector<THistoryColumn> FColumns;
    std::uint64_t FRecords = 0;
};

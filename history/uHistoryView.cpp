#include "uHistoryView.h"

#include <algorithm>

namespace {

constexpr std::int64_t Hour = 3600;
constexpr std::int64_t Day = 24 * Hour;

std::int64_t CeilTo(std::int64_t At, std::int64_t Unit) {
    const std::int64_t Floor = At >= 0 ? At / Unit * Unit : -((-At + Unit - 1) / Unit) * Unit;
    return Floor == At ? At : Floor + Unit;
}

} // namespace

THistoryRange HistoryRange(THistorySpan Span, const THistoryExtent& Log, std::int64_t Now) {
    THistoryRange Range;
    if (Span == THistorySpan::All) {
        if (!Log.Any) {
            Range.To = CeilTo(Now, Hour);
            Range.From = Range.To - Day;
            return Range;
        }
        const std::int64_t Margin = std::max<std::int64_t>(300, (Log.Last - Log.First) / 50);
        Range.From = Log.First;
        Range.To = std::max(CeilTo(Log.Last + 1 + Margin, Hour), Log.First + Hour);
        return Range;
    }
    const std::int64_t Length = Span == THistorySpan::Day    ? Day
                                : Span == THistorySpan::Week ? 7 * Day
                                                             : 30 * Day;
    const std::int64_t Unit = Span == THistorySpan::Day    ? Hour
                              : Span == THistorySpan::Week ? 6 * Hour
                                                           : Day;
    std::int64_t End = Now;
    if (Log.Any && Log.Last < Now - Length) {
        End = Log.Last + 1;
        Range.EndsAtLastRecord = true;
    }
    Range.To = CeilTo(End, Unit);
    Range.From = Range.To - Length;
    return Range;
}

void THistoryColumn::Add(const THistoryRecord& Record) {
    UptimeMin = Records == 0 ? Record.UptimePct : std::min(UptimeMin, Record.UptimePct);
    ++Records;
    if (Record.Failed()) {
        ++Failed;
        return;
    }
    const float Trip = std::max(0.0f, Record.AvgTrip);
    TripMin = Trips == 0 ? Trip : std::min(TripMin, Trip);
    TripMax = Trips == 0 ? Trip : std::max(TripMax, Trip);
    TripSum += Trip;
    ++Trips;
}

THistoryView::THistoryView(const THistoryRange& Range, int Columns)
    : FRange(Range), FColumns(std::size_t(std::max(Columns, 1))) {
    FRange.To = std::max(FRange.To, FRange.From + 1);
}

int THistoryView::ColumnOf(std::int64_t At) const {
    if (At < FRange.From || At >= FRange.To) {
        return -1;
    }
    // Both factors are below 2^40 for any time a record may hold, and the column count small.
    const std::int64_t Count = std::int64_t(FColumns.size());
    return int((At - FRange.From) * Count / (FRange.To - FRange.From));
}

std::int64_t THistoryView::StartOf(int X) const {
    const std::int64_t Count = std::int64_t(FColumns.size());
    const std::int64_t Length = FRange.To - FRange.From;
    // The first instant whose column is X: ceil(X * Length / Count).
    return FRange.From + (std::int64_t(X) * Length + Count - 1) / Count;
}

void THistoryView::Add(const THistoryRecord& Record) {
    // A record stands for the five minutes around its time: it counts in every column they
    // touch, so a span of narrow columns shows the records' intervals without gaps between.
    const std::int64_t Start = std::max(Record.UnixSeconds - HalfInterval, FRange.From);
    const std::int64_t End = std::min(Record.UnixSeconds + HalfInterval - 1, FRange.To - 1);
    if (Start > End) {
        return;
    }
    for (int X = ColumnOf(Start), Last = ColumnOf(End); X <= Last; ++X) {
        FColumns[std::size_t(X)].Add(Record);
    }
    if (ColumnOf(Record.UnixSeconds) >= 0) {
        ++FRecords;
    }
}

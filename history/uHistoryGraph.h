// The history graph: a log file's records over a day, a week, a month or all of them, drawn in
// the live graph's style (black background, blue-grey grid, white labels in the graph font).
// The upper plot is the mean round trip of each interval, gathered per pixel column: a faint
// bar from the lowest to the highest mean in the column and a line through the column's
// average; an interval in which every ping failed is a red tick at the plot's foot. Below it, a
// band shows uptime: green up to the column's lowest uptime, red above. The renderer only turns
// records into a picture; the window shows it.
//
//   THistoryGraph Graph;
//   QImage Picture = Graph.Render(History.Records(), {800, 400}, THistorySpan::Week, Now);
//   int Index = Graph.RecordAt(History.Records(), MouseX);   // for the hover text
//
// Cost: one pass over the records in the span, then one per pixel column; a year of five-minute
// records (105,120) draws in a few milliseconds.
#pragma once

#include "uPingLogHistory.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

enum class THistorySpan { Day, Week, Month, All };

class THistoryGraph {
public:
    static constexpr int LeftMargin = 48;
    static constexpr int RightMargin = 10;
    static constexpr int TopMargin = 10;
    static constexpr int BottomMargin = 20;
    static constexpr int BandHeight = 24;
    static constexpr int BandGap = 6;

    // Span ends at Now (or at the last record for All) and reaches back its length.
    QImage Render(const std::vector<THistoryRecord>& Records, QSize Size, THistorySpan Span,
                  std::int64_t Now);

    // What the last picture shows.
    std::int64_t From() const { return FFrom; }
    std::int64_t To() const { return FTo; }
    QRect Plot() const { return FPlot; }
    QRect Band() const { return FBand; }
    int MaxTrip() const { return FMaxTrip; }

    // The record drawn nearest to column X of the last picture, or -1 when none is near.
    int RecordAt(const std::vector<THistoryRecord>& Records, int X) const;
    // The hover text for a record: its local time, mean round trip and uptime.
    static QString Describe(const THistoryRecord& Record);
    // The first instant of a span that ends at End.
    static std::int64_t SpanStart(THistorySpan Span, std::int64_t End);

    // Pixel column of an instant, and the instant of a column.
    int ColumnOf(std::int64_t At) const;
    std::int64_t InstantOf(int X) const;

private:
    std::int64_t FFrom = 0;
    std::int64_t FTo = 1;
    QRect FPlot;
    QRect FBand;
    int FMaxTrip = 10;
};

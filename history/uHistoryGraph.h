// The history graph: a view of a log (THistoryView: one summary per pixel column) drawn in the
// live graph's style (black background, blue-grey grid, white labels in the graph font). The
// upper plot is the mean round trip of each column: a faint bar from the lowest to the highest
// mean in the column and a line through the column's average (joined across columns less than
// a quarter of an hour apart); an interval in which every ping failed is a red tick at the
// plot's foot. Below it, a band shows uptime: green up to the column's lowest uptime, red
// above. The grid's time lines fall on whole hours, days, months or years of local time, as
// the span's length allows, each with its label. The renderer only turns a view into a
// picture; the window shows it.
//
// The picture is made at the screen's device pixels: at a ratio of 1.5 a window of 800 x 400
// gets a picture of 1200 x 600 with that ratio, one column per device pixel, lines of whole
// device pixels (the ratio rounded) and text at the device resolution, so it is shown pixel
// for pixel without being scaled.
//
//   THistoryGraph Graph;
//   Graph.SetLayout({800, 400}, 1.5);            // logical size, device pixel ratio
//   THistoryView View(Range, Graph.Columns());   // one column per device pixel of the plot
//   QImage Picture = Graph.Render(View, THistorySpan::Week);
//   QString Text = Graph.Describe(View, Graph.ColumnAt(MouseX));   // the hover text
#pragma once

#include "uHistoryView.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

class THistoryGraph {
public:
    // Logical pixels; multiplied by the ratio (and rounded) in the picture.
    static constexpr int LeftMargin = 48;
    static constexpr int RightMargin = 10;
    static constexpr int TopMargin = 10;
    static constexpr int BottomMargin = 20;
    static constexpr int BandHeight = 24;
    static constexpr int BandGap = 6;

    // A picture of Size logical pixels at Ratio device pixels per logical pixel.
    void SetLayout(QSize Size, double Ratio);
    double Ratio() const { return FRatio; }
    // Device pixels.
    QSize PictureSize() const { return FPicture; }
    QRect Plot() const { return FPlot; }
    QRect Band() const { return FBand; }
    int Columns() const { return FPlot.width(); }

    QImage Render(const THistoryView& View, THistorySpan Span);
    // The scale's top of the last picture (ms).
    int MaxTrip() const { return FMaxTrip; }

    // The column under logical x coordinate X, or -1 outside the plot.
    int ColumnAt(int X) const;
    // The hover text of a column: its time, the records in it, the worst uptime and the mean
    // round trip; empty for a column outside the view.
    static QString Describe(const THistoryView& View, int Column);

    struct TTick {
        std::int64_t At;
        QString Label;
    };
    // The grid's time lines in Range: whole hours, days, months or years of local time, as many
    // as fit at MaxTicks.
    static std::vector<TTick> Ticks(const THistoryRange& Range, int MaxTicks);

private:
    int Scaled(int Logical) const;

    double FRatio = 1;
    QSize FPicture{200, 140};
    QRect FPlot;
    QRect FBand;
    int FMaxTrip = 10;
};

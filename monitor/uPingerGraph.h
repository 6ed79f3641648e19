// TPingerGraph draws a monitor's graph: given the samples and the settings (span, range, size,
// on-line state, address text, the time now) it computes the statistics over the span, picks
// the automatic range, and produces the rasters and the texts of the status line. It keeps no
// samples of its own and knows no window; the session feeds it and the window shows
// Composed().
//
//   TPingerGraph g;
//   g.SetSize(250, 144);
//   g.Refresh({&samples, 60, TPingerGraph::AutoRange, online, address, clock.Now()}, true,
//   nullptr); show(g.Composed().Image()); status(g.UpTimeText(), g.StatusText(), g.StatusColor());
//
// A full refresh brings the background (fill, border, address text, frame, grid, labels) up to
// date; a partial one reuses it and rebuilds only the plot. With the automatic range every
// refresh is full, since the range may change with each sample, and a change of the on-line
// state makes any refresh full, since the fill and border show it. The background is a picture
// of its inputs alone, so a full refresh whose inputs are those of the last one keeps it as
// drawn, and graphs alike share the part without the address text.
#pragma once

#include "uPingSamples.h"
#include "zsRaster.h"

#include <QFont>
#include <QPainter>
#include <QRect>
#include <QString>
#include <QStringList>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Text colours of the header and status line (0x00BBGGRR).
constexpr TColor clHeaderOnLine = 0x00FFFFFF;
constexpr TColor clHeaderOffLine = 0x0000C0FF;
constexpr TColor clResultSuccess = 0x0000C000;
constexpr TColor clResultFailure = 0x000020D0;
constexpr TColor clAddressText = 0x00FFC000;
constexpr TColor clAxisLabel = 0x00FFFFFF;

// The font of the graph's texts and of the status line: "Segoe UI" 8 points, or the installed
// family with the nearest metrics.
QFont GraphFont();

// Right and bottom exclusive.
struct TPlotRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
};

// Where things sit in a graph area of W x H pixels.
struct TGraphGeometry {
    // The plot area's distance from each edge of the graph area.
    static constexpr int MarginLeft = 50;
    static constexpr int MarginTop = 18;
    static constexpr int MarginRight = 15;
    static constexpr int MarginBottom = 30;
    // Row on which the address text ends, above the plot frame.
    static constexpr int AddressBottom = 16;
    // Space between an axis label and the plot area.
    static constexpr int LabelGap = 6;
    // Leftmost column of a value label: a label too wide for its place is moved right so that
    // it never covers the outer border in column 0 and keeps one column of fill beside it.
    static constexpr int LabelMinLeft = 2;

    static TPlotRect PlotRect(int W, int H) {
        return {MarginLeft, MarginTop, W - MarginRight, H - MarginBottom};
    }
    // The plot frame, one pixel outside the plot area on every side.
    static TPlotRect FrameRect(const TPlotRect& Plot) {
        return {Plot.Left - 1, Plot.Top - 1, Plot.Right + 1, Plot.Bottom + 1};
    }
};

// Statistics over the span.
struct TGraphStats {
    static constexpr std::int32_t MinNone = 16777215; // Min when no success was counted

    std::int32_t Max = 0;
    std::int32_t Min = MinNone;
    double Avg = 0;
    double Uptime = 0; // percent
};

class TPingerGraph {
public:
    static constexpr std::int32_t AutoRange = -1;

    struct TInput {
        const TPingSamples* Samples = nullptr; // newest first
        std::int32_t Span = 60;                // seconds
        std::int32_t Range = AutoRange;        // ms, or AutoRange
        bool OnLine = false;
        std::string AddressText;
        TDateTime Now = 0;
    };

    // What a refresh changed in the picture: nothing, columns of the plot (ChangedRect()), or
    // the whole graph area.
    enum class TChange { None, Plot, Whole };

    // Size of the graph area; takes effect at the next full refresh. Negative sizes count as 0.
    void SetSize(int Width, int Height);
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Device pixels per logical pixel of the screen the graph is shown on. The rasters hold the
    // nearest whole number of device pixels per logical pixel (at least 1); takes effect at the
    // next full refresh.
    void SetDevicePixelRatio(qreal Ratio);
    int Scale() const { return FScale; }
    // The rasters' device pixels per logical pixel for a screen's ratio.
    static int ScaleFor(qreal Ratio);

    // Off: the rasters are let go and refreshes keep only the statistics and texts up to date
    // (for a graph nobody sees); the next refresh after switching back on draws it whole.
    void SetShown(bool Shown);
    bool Shown() const { return FShown; }

    // Recomputes the statistics and redraws: in full when Full, the range is automatic or the
    // on-line state differs from the one the background shows. A Sample (the newest, just
    // recorded) sets the status text and colour. Returns whether the background was redrawn
    // (the header colour then follows the on-line state).
    bool Refresh(const TInput& In, bool Full, const TPingEventObj* Sample);
    // What the last refresh changed in the picture, and where (logical pixels of the graph area;
    // empty when nothing changed).
    TChange LastChange() const { return FLastChange; }
    QRect ChangedRect() const;
    // The statistics alone, for a monitor that is not drawing.
    void UpdateStats(const TPingSamples& Samples, std::int32_t Span, TDateTime Now);

    const TGraphStats& Stats() const { return FStats; }
    // The range of the last full redraw: the automatic pick or the fixed setting.
    std::int32_t DisplayRange() const { return FDisplayRange; }

    // The picture is held in layers: the background without the address text (shared by every
    // graph of the same size, range, span and on-line state), the rows that carry the address
    // text, and the plot raster. Paint() lays them out; Background() and Composed() put them
    // together on demand.
    const TRaster& Background() const;
    const TRaster& Plot() const { return FPlot; }
    const TRaster& Composed() const;
    const TPlotRect& PlotRect() const { return FPlotRect; }
    // Bytes of raster this graph holds on its own (what it shares with other graphs is not
    // counted).
    qsizetype RasterBytes() const;
    // Draws the graph area's picture with its top-left at (0, 0), clipped to Clip.
    void Paint(QPainter& Painter, const QRect& Clip) const;

    const QString& UpTimeText() const { return FUpTimeText; }
    const QString& StatusText() const { return FStatusText; }
    TColor StatusColor() const { return FStatusColor; }
    // The caption's colour: by the last sample, or by the on-line state after a full redraw.
    TColor HeaderColor() const { return FHeaderColor; }

    // Off: the polyline is drawn sample by sample even where whole runs of samples in one column
    // could be drawn as one line (the picture is the same; tests compare the two).
    void SetDrawByColumns(bool On) { FDrawByColumns = On; }

    static TGraphStats ComputeStats(const TPingSamples& Samples, std::int32_t Span, TDateTime Now);
    static std::int32_t ChooseAutoRange(std::int32_t Max);
    static QString UnitSuffix(int Unit);
    // Axis labels, top to bottom and left to right.
    static QStringList ValueAxisLabels(std::int32_t Range);
    static QStringList TimeAxisLabels(std::int32_t Span);

    // What decides the background besides the address text.
    struct TLayerKey {
        int Width = -1, Height = -1;
        std::int32_t Range = 0, Span = 0;
        bool OnLine = false;
        int Scale = 1;
        bool operator==(const TLayerKey&) const = default;
    };

private:
    // One step of the polyline, in the order drawn: a line from (X0, Y0) to (X1, Y1) without its
    // end point, or a vertical run in column X0 over rows Y0 to Y1.
    struct TStroke {
        int X0, Y0, X1, Y1;
        TRasterColor Color;
        bool Line;
    };
    // What the polyline leaves in one column of the plot over the background and statistic
    // lines: nothing, one colour over rows Top..Bottom, or anything else (Mixed, compared by
    // drawing it again).
    struct TColumnLook {
        enum TKind : std::uint8_t { Empty, LinesOnly, Run, Mixed };
        TKind Kind = Empty;
        int Top = 0, Bottom = 0; // LinesOnly: the rows its lines reach so far
        TRasterColor Color = 0;
        int FirstStroke = 0, LastStroke = 0; // the strokes that touch the column
        bool SameLook(const TColumnLook& Other) const {
            return Kind == Other.Kind && Top == Other.Top && Bottom == Other.Bottom &&
                   Color == Other.Color;
        }
    };

    // Samples in one column of a long span (by their positions from the oldest), followed from
    // refresh to refresh: the lowest and highest round trip with how often each is there at
    // least, and the samples that are not plain successes.
    struct TColumnRun {
        std::size_t Lo = 1, Hi = 0; // Lo > Hi: nothing known
        std::int32_t Min = INT32_MAX, Max = INT32_MIN;
        std::uint32_t MinCount = 0, MaxCount = 0;
        std::uint32_t Odd = 0;
    };
    struct TAgeTable;

    void BuildBackground(const TLayerKey& Key, const std::string& AddressText);
    // Brings the plot raster up to date with the samples, drawing again only the columns whose
    // look changed while the raster holds the last refresh's picture over the same layer.
    void DrawPlot(const TPingSamples& Samples, std::int32_t Span);
    void CollectStrokes(const TPingSamples& Samples, std::int32_t Span, int Wp, int Hp);
    // Appends a stroke and brings the looks of the columns it touches up to date.
    void AddStroke(const TStroke& S);
    void DrawStrokes(std::size_t From, std::size_t To);
    // Lowest and highest round trip of samples First..Last (newest-first indices) in column X,
    // and whether all are plain successes.
    TSampleRun ColumnRun(const TPingSamples& Samples, long long X, std::size_t First,
                         std::size_t Last);
    void DrawStatLines(TRaster& Plot) const;
    void ShowSample(const TPingEventObj& Sample);
    void ReleaseRasters();

    int FWidth = 0;
    int FHeight = 0;
    int FScale = 1;
    bool FShown = true;
    bool FDrawByColumns = true;
    TGraphStats FStats;
    std::int32_t FDisplayRange = 5;
    bool FBackgroundOnLine = false; // the state the background was last drawn for
    TChange FLastChange = TChange::None;

    // The background of the last full redraw: what it was drawn for, the layer (shared with
    // other graphs, or a graph's own when the address text overlaps what is drawn after it),
    // and the top rows with the address text (null without one).
    bool FHasBackground = false;
    TLayerKey FBackgroundKey;
    std::string FBackgroundAddress;
    TRaster FLayer;
    TRaster FAddressRows;
    TRaster FPlot;
    TPlotRect FPlotRect;
    mutable TRaster FBackground; // put together on demand
    mutable bool FBackgroundStale = true;
    mutable TRaster FComposed; // put together on demand
    mutable bool FComposedStale = true;

    // The plot as last drawn: its strokes, what each column shows and the statistic lines' rows.
    // Valid while FPlotDrawn.
    bool FPlotDrawn = false;
    std::vector<TStroke> FStrokes; // the first FStrokeCount hold the last refresh's
    std::size_t FStrokeCount = 0;
    std::size_t FRunStrokes = SIZE_MAX; // columns drawn as runs at the last refresh
    std::vector<TColumnLook> FLooks, FNewLooks;
    long long FStatRows[3] = {0, 0, 0};
    int FChangedLeft = 0, FChangedRight = 0; // plot columns the last refresh drew again
    std::shared_ptr<const TAgeTable> FAges;
    std::vector<TColumnRun> FColumnRuns;
    std::vector<std::size_t> FColumnEnds; // by columns from the right: the last sample's index
    std::uint64_t FRunsRevision = 0;

    QString FUpTimeText;
    QString FStatusText;
    TColor FStatusColor = clResultSuccess;
    TColor FHeaderColor = clHeaderOnLine;
};

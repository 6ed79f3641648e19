#include "uPingerGraph.h"

#include "zsFonts.h"
#include "zsPingStatus.h"

#include <QLocale>

#include <memory>
#include <vector>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr TRasterColor GraphClear = 0xFF000000;
constexpr TRasterColor FillOnLine = 0xFF000000;
constexpr TRasterColor FillOffLine = 0xFF080000;
constexpr TRasterColor BorderOnLine = 0xFF006000;
constexpr TRasterColor BorderOffLine = 0xFFC00000;
constexpr TRasterColor FrameColor = 0xFF406080;
constexpr TRasterColor MinLineColor = 0x000080FF; // alpha 0: written, not blended
constexpr TRasterColor MaxLineColor = 0xFFB00000;
constexpr TRasterColor AvgLineColor = 0xFFA0A000;
constexpr TRasterColor SuccessPen = 0xFF20FF10;
constexpr TRasterColor FailurePen = 0xFFFF4010;
constexpr TRasterColor OverRangePen = 0xFFA0FF00;

constexpr int ValueDivisions = 5;

struct TTimeAxis {
    int Divisions;
    int Unit;
    int Divisor;
};

TTimeAxis TimeAxisFor(std::int32_t Span) {
    switch (Span) {
    case 60:
        return {6, 1, 1};
    case 300:
    case 600:
        return {5, 2, 60};
    case 1800:
    case 3600:
        return {6, 2, 60};
    case 7200:
        return {4, 2, 60};
    case 14400:
        return {4, 3, 3600};
    case 28800:
        return {8, 3, 3600};
    default:
        return {6, 1, 1};
    }
}

int ClampToInt(long long Value) {
    return static_cast<int>(std::clamp<long long>(Value, INT_MIN, INT_MAX));
}

// Plot raster row of a value: 0 on the bottom row, Range one row above the raster.
long long ValueRow(int PlotHeight, std::int32_t Range, double Value) {
    return (long long)PlotHeight - 1 - RoundHalfEven(double(PlotHeight) / Range * Value);
}

} // namespace

QFont GraphFont() {
    QFont Font = DesignFont(QStringLiteral("Segoe UI"));
    Font.setPointSize(8);
    return Font;
}

QString TPingerGraph::UnitSuffix(int Unit) {
    switch (Unit) {
    case 0:
        return QStringLiteral("ms");
    case 1:
        return QStringLiteral("s");
    case 2:
        return QStringLiteral("m");
    case 3:
        return QStringLiteral("h");
    default:
        return QString();
    }
}

QStringList TPingerGraph::ValueAxisLabels(std::int32_t Range) {
    QStringList Labels;
    for (int I = 0; I <= ValueDivisions; ++I) {
        const long long Value = (long long)Range - I * (long long)(Range / ValueDivisions);
        Labels << QString::number(Value) + UnitSuffix(0);
    }
    return Labels;
}

QStringList TPingerGraph::TimeAxisLabels(std::int32_t Span) {
    const TTimeAxis Axis = TimeAxisFor(Span);
    QStringList Labels;
    for (int J = 0; J <= Axis.Divisions; ++J) {
        const long long Value =
            Span / Axis.Divisor - ((Span / Axis.Divisions) * (long long)J) / Axis.Divisor;
        Labels << QString::number(Value) + UnitSuffix(Axis.Unit);
    }
    return Labels;
}

std::int32_t TPingerGraph::ChooseAutoRange(std::int32_t Max) {
    static constexpr std::int32_t Steps[] = {5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000};
    for (const std::int32_t Step : Steps) {
        if (Step >= Max) {
            return Step;
        }
    }
    return 5000;
}

void TPingerGraph::SetSize(int Width, int Height) {
    FWidth = std::max(0, Width);
    FHeight = std::max(0, Height);
}

int TPingerGraph::ScaleFor(qreal Ratio) {
    // Whole device pixels per logical one keep every line and block edge on a device pixel; a
    // ratio in between (1.25, 1.75) is met by the display scaling the nearest.
    return Ratio > 1.0 && Ratio < 64.0 ? std::max(1, int(std::lround(Ratio))) : 1;
}

void TPingerGraph::SetDevicePixelRatio(qreal Ratio) {
    FScale = ScaleFor(Ratio);
}

namespace {

// The walk over every sample, for samples whose times do not fall steadily from the newest.
TGraphStats StatsByWalk(const TPingSamples& Samples, TDateTime SpanStart) {
    TGraphStats Stats;
    long long Sum = 0;
    long long Good = 0;
    long long Seen = 0;
    bool Beyond = false;
    for (const TPingEventObj& S : Samples) {
        if (!S.Success) {
            // A request the machine's sleep cut off says nothing about the target.
            if (!S.AfterGap) {
                ++Seen;
            }
            continue;
        }
        ++Seen;
        Stats.Max = std::max(Stats.Max, S.RoundTrip);
        Stats.Min = std::min(Stats.Min, S.RoundTrip);
        ++Good;
        Sum += S.RoundTrip;
        if (Beyond) {
            break;
        }
        if (S.Time < SpanStart) {
            Beyond = true;
        }
    }
    if (Good > 0) {
        Stats.Avg = double(Sum) / double(Good);
    }
    if (Seen > 0) {
        Stats.Uptime = double(Good) / double(Seen) * 100;
    }
    return Stats;
}

} // namespace

TGraphStats TPingerGraph::ComputeStats(const TPingSamples& Samples, std::int32_t Span,
                                       TDateTime Now) {
    const TDateTime SpanStart = Now - Span / 86400.0;
    // Counts through the first success older than the span, then over failures up to and
    // including the next success: a target that has been failing for longer than the span still
    // shows the last round trips it had.
    if (!Samples.Ordered() || Samples.empty()) {
        return StatsByWalk(Samples, SpanStart);
    }
    // Times fall with the index: the first sample older than the span is found by halving, the
    // two successes that end the walk from there, and the counts come from the summaries.
    const std::size_t N = Samples.size();
    std::size_t Lo = 0, Hi = N; // the first index whose time is before SpanStart
    while (Lo < Hi) {
        const std::size_t Mid = Lo + (Hi - Lo) / 2;
        if (Samples.TimeAt(Mid) < SpanStart) {
            Hi = Mid;
        } else {
            Lo = Mid + 1;
        }
    }
    const std::size_t FirstBeyond = Samples.NextSuccess(Lo);
    const std::size_t End = FirstBeyond < N ? Samples.NextSuccess(FirstBeyond + 1) : N;
    const TSampleRun Run = Samples.Summary(0, std::min(End, N - 1));
    TGraphStats Stats;
    if (Run.Good > 0) {
        Stats.Max = std::max(Stats.Max, Run.MaxTrip);
        Stats.Min = std::min(Stats.Min, Run.MinTrip);
        Stats.Avg = double(Run.Sum) / double(Run.Good);
    }
    if (Run.Seen > 0) {
        Stats.Uptime = double(Run.Good) / double(Run.Seen) * 100;
    }
    return Stats;
}

void TPingerGraph::UpdateStats(const TPingSamples& Samples, std::int32_t Span, TDateTime Now) {
    FStats = ComputeStats(Samples, Span, Now);
}

namespace {

// The background without the address text: fill and border, plot frame, axis labels and grid,
// in that order, and where the labels went.
struct TLayer {
    TPingerGraph::TLayerKey Key;
    TRaster Raster;
    std::vector<QRect> LabelRects;
};

void DrawFill(TRaster& Bg, bool OnLine) {
    const TRasterColor Fill = OnLine ? FillOnLine : FillOffLine;
    const TRasterColor Border = OnLine ? BorderOnLine : BorderOffLine;
    Bg.FillRect(0, 0, Bg.Width(), Bg.Height(), Fill);
    Bg.FrameRect(0, 0, Bg.Width(), Bg.Height(), Border);
}

struct TAddressPlace {
    QString Text;
    int X = 0, Y = 0;
};

TAddressPlace PlaceAddress(TRaster& Bg, const std::string& AddressText) {
    TAddressPlace P;
    P.Text = QString::fromLocal8Bit(AddressText);
    Bg.SetFont(GraphFont());
    Bg.SetTextColor(clAddressText);
    P.X = Bg.Width() / 2 - Bg.TextWidth(P.Text) / 2;
    P.Y = TGraphGeometry::AddressBottom - Bg.TextHeight(P.Text);
    return P;
}

// The plot frame, the value axis and the time axis with their grid lines. LabelRects receives
// where each label may have touched.
void DrawAxes(TRaster& Bg, const TPlotRect& Plot, std::int32_t Range, std::int32_t Span,
              std::vector<QRect>* LabelRects) {
    using G = TGraphGeometry;
    const int L = Plot.Left, T = Plot.Top, R = Plot.Right, B = Plot.Bottom;
    const TPlotRect Frame = G::FrameRect(Plot);
    Bg.FrameRect(Frame.Left, Frame.Top, Frame.Right, Frame.Bottom, FrameColor);

    Bg.SetFont(GraphFont());
    Bg.SetTextColor(clAxisLabel);
    auto Label = [&](int X, int Y, const QString& Text) {
        Bg.TextOut(X, Y, Text);
        if (LabelRects) {
            LabelRects->push_back(Bg.TextRect(X, Y, Text));
        }
    };
    const double ValueStep = double(B - T) / ValueDivisions;
    const QStringList ValueLabels = TPingerGraph::ValueAxisLabels(Range);
    for (int I = 0; I <= ValueDivisions; ++I) {
        const int Y = RoundHalfEven(I * ValueStep) + T;
        const QString& Text = ValueLabels[I];
        const int X = std::max(L - Bg.TextWidth(Text) - G::LabelGap, G::LabelMinLeft);
        Label(X, Y - Bg.TextHeight(Text) / 2, Text);
        if (I >= 1 && I < ValueDivisions) {
            Bg.GridLine(L, Y, R, Y, FrameColor);
        }
    }

    const TTimeAxis Axis = TimeAxisFor(Span);
    const double TimeStep = double(R - L) / Axis.Divisions;
    const QStringList TimeLabels = TPingerGraph::TimeAxisLabels(Span);
    for (int J = 0; J <= Axis.Divisions; ++J) {
        const int X = RoundHalfEven(J * TimeStep) + L;
        const QString& Text = TimeLabels[J];
        Label(X - Bg.TextWidth(Text) / 2, B + G::LabelGap, Text);
        if (J > 0 && J < Axis.Divisions) {
            Bg.GridLine(X, T, X, B, FrameColor);
        }
    }
}

// The layers drawn lately, most recent first: graphs of the same size, range, span and on-line
// state (a page of tiles) share one and draw their labels once. Per thread, as the rasters'
// text drawing wants. A layer no graph holds any more is kept only while such layers stay
// small, so that the sizes a window passes through while it is laid out are not kept.
const TLayer& SharedLayer(const TPingerGraph::TLayerKey& Key) {
    constexpr std::size_t KeptUnused = 8;
    constexpr qsizetype KeptUnusedBytes = 1024 * 1024;
    thread_local std::vector<std::shared_ptr<const TLayer>> Layers;
    for (std::size_t I = 0; I < Layers.size(); ++I) {
        if (Layers[I]->Key == Key) {
            std::rotate(Layers.begin(), Layers.begin() + std::ptrdiff_t(I),
                        Layers.begin() + std::ptrdiff_t(I) + 1);
            return *Layers.front();
        }
    }
    std::size_t Unused = 0;
    qsizetype UnusedBytes = 0;
    std::erase_if(Layers, [&](const std::shared_ptr<const TLayer>& L) {
        const QImage& Image = L->Raster.Image();
        if (!Image.isDetached()) {
            return false; // a graph shows it
        }
        ++Unused;
        UnusedBytes += Image.sizeInBytes();
        return Unused > KeptUnused || UnusedBytes > KeptUnusedBytes;
    });
    auto Layer = std::make_shared<TLayer>();
    Layer->Key = Key;
    TRaster& Bg = Layer->Raster;
    Bg.SetScale(Key.Scale);
    Bg.SetSize(Key.Width, Key.Height);
    Bg.Clear(GraphClear);
    DrawFill(Bg, Key.OnLine);
    DrawAxes(Bg, TGraphGeometry::PlotRect(Bg.Width(), Bg.Height()), Key.Range, Key.Span,
             &Layer->LabelRects);
    Layers.insert(Layers.begin(), std::move(Layer));
    return *Layers.front();
}

// Rows at the top that hold the address text: everything drawn after it lies below them or
// beside it.
constexpr int AddressRowCount = TGraphGeometry::MarginTop - 1;

} // namespace

void TPingerGraph::SetShown(bool Shown) {
    if (Shown == FShown) {
        return;
    }
    FShown = Shown;
    if (!Shown) {
        ReleaseRasters();
    }
}

void TPingerGraph::ReleaseRasters() {
    FHasBackground = false;
    FPlotDrawn = false;
    std::vector<TStroke>().swap(FStrokes);
    FStrokeCount = 0;
    std::vector<TColumnLook>().swap(FLooks);
    std::vector<TColumnLook>().swap(FNewLooks);
    std::vector<TColumnRun>().swap(FColumnRuns);
    std::vector<std::size_t>().swap(FColumnEnds);
    FAges.reset();
    FLayer = TRaster();
    FAddressRows = TRaster();
    FPlot = TRaster();
    FBackground = TRaster();
    FComposed = TRaster();
    FBackgroundStale = true;
    FComposedStale = true;
}

// The address text is drawn before the frame and the labels. Drawn afterwards onto the shared
// layer it gives the same pixels wherever the two touch no common pixel, which is the rule for
// every graph area tall enough for a plot; otherwise the graph draws its own in order.
void TPingerGraph::BuildBackground(const TLayerKey& Key, const std::string& AddressText) {
    FHasBackground = true;
    FPlotDrawn = false; // the plot is drawn over the new layer afresh
    FBackgroundKey = Key;
    FBackgroundAddress = AddressText;
    FBackgroundStale = true;
    FComposedStale = true;
    const TLayer& Shared = SharedLayer(Key);
    FLayer = Shared.Raster;
    FAddressRows = TRaster();
    if (AddressText.empty()) {
        return;
    }
    TRaster Rows;
    Rows.SetScale(Key.Scale);
    Rows.SetSize(Key.Width, std::min(Key.Height, AddressRowCount));
    Rows.CopyFrom(Shared.Raster, 0, 0);
    const TAddressPlace Address = PlaceAddress(Rows, AddressText);
    const QRect Touched = Rows.TextRect(Address.X, Address.Y, Address.Text);
    bool Apart = Key.Height >= TGraphGeometry::MarginTop + TGraphGeometry::MarginBottom + 1 &&
                 Touched.bottom() < AddressRowCount;
    for (const QRect& Label : Shared.LabelRects) {
        Apart = Apart && !Label.intersects(Touched);
    }
    if (Apart) {
        Rows.TextOut(Address.X, Address.Y, Address.Text);
        FAddressRows = std::move(Rows);
        return;
    }
    TRaster Own;
    Own.SetScale(Key.Scale);
    Own.SetSize(Key.Width, Key.Height);
    Own.Clear(GraphClear);
    DrawFill(Own, Key.OnLine);
    const TAddressPlace InOrder = PlaceAddress(Own, AddressText);
    Own.TextOut(InOrder.X, InOrder.Y, InOrder.Text);
    DrawAxes(Own, TGraphGeometry::PlotRect(Own.Width(), Own.Height()), Key.Range, Key.Span,
             nullptr);
    FLayer = std::move(Own);
}

bool TPingerGraph::Refresh(const TInput& In, bool Full, const TPingEventObj* Sample) {
    static const TPingSamples NoSamples;
    const TPingSamples& Samples = In.Samples ? *In.Samples : NoSamples;
    UpdateStats(Samples, In.Span, In.Now);
    const bool Auto = In.Range == AutoRange;
    // The frame and fill show the on-line state, so a change of it redraws the background even
    // when the range is fixed.
    const bool Redraw = Full || Auto || In.OnLine != FBackgroundOnLine;
    FLastChange = TChange::None;
    if (Redraw) {
        FBackgroundOnLine = In.OnLine;
        FDisplayRange = Auto ? ChooseAutoRange(FStats.Max) : In.Range;
        FHeaderColor = In.OnLine ? clHeaderOnLine : clHeaderOffLine;
        FPlotRect = TGraphGeometry::PlotRect(FWidth, FHeight);
    }
    if (FShown) {
        // A graph shown again draws its background afresh even for a partial refresh.
        if (Redraw || !FHasBackground) {
            const TLayerKey Key{FWidth, FHeight, FDisplayRange, In.Span, In.OnLine, FScale};
            if (!FHasBackground || !(Key == FBackgroundKey) ||
                In.AddressText != FBackgroundAddress) {
                FPlotRect = TGraphGeometry::PlotRect(FWidth, FHeight);
                BuildBackground(Key, In.AddressText);
                FLastChange = TChange::Whole;
            }
        }
        if (FPlot.Scale() != FLayer.Scale() || FPlot.Width() != FPlotRect.Width() ||
            FPlot.Height() != FPlotRect.Height()) {
            FPlotDrawn = false; // a raster of another size starts blank
        }
        FPlot.SetScale(FLayer.Scale());
        FPlot.SetSize(FPlotRect.Width(), FPlotRect.Height());
        DrawPlot(Samples, In.Span);
        if (FChangedLeft < FChangedRight) {
            FComposedStale = true;
            if (FLastChange == TChange::None) {
                FLastChange = TChange::Plot;
            }
        }
    }

    FUpTimeText = QStringLiteral("Uptime: ") + QLocale().toString(FStats.Uptime, 'f', 1) +
                  QStringLiteral("%");
    if (Sample) {
        ShowSample(*Sample);
    }
    return Redraw;
}

void TPingerGraph::ShowSample(const TPingEventObj& Sample) {
    if (Sample.Success) {
        FStatusText = QStringLiteral("Round trip : ") + QString::number(Sample.RoundTrip) +
                      QStringLiteral(" ms");
        FStatusColor = clResultSuccess;
    } else {
        FStatusText = QString::fromStdString(StatusName(Sample.Status));
        FStatusColor = clResultFailure;
    }
    FHeaderColor = FStatusColor;
}

QRect TPingerGraph::ChangedRect() const {
    switch (FLastChange) {
    case TChange::None:
        return QRect();
    case TChange::Plot:
        return QRect(FPlotRect.Left + FChangedLeft, FPlotRect.Top, FChangedRight - FChangedLeft,
                     FPlotRect.Height());
    case TChange::Whole:
        break;
    }
    return QRect(0, 0, FWidth, FHeight);
}

const TRaster& TPingerGraph::Background() const {
    if (FAddressRows.Width() == 0 || FAddressRows.Height() == 0) {
        return FLayer;
    }
    if (FBackgroundStale) {
        FBackground = FLayer;
        FBackground.Draw(0, 0, FAddressRows);
        FBackgroundStale = false;
    }
    return FBackground;
}

const TRaster& TPingerGraph::Composed() const {
    if (FComposedStale) {
        const TRaster& Bg = Background();
        FComposed.SetScale(Bg.Scale());
        FComposed.SetSize(Bg.Width(), Bg.Height());
        FComposed.Draw(0, 0, Bg);
        FComposed.Draw(FPlotRect.Left, FPlotRect.Top, FPlot);
        FComposedStale = false;
    }
    return FComposed;
}

qsizetype TPingerGraph::RasterBytes() const {
    auto Own = [](const TRaster& R) {
        return R.Image().isDetached() ? R.Image().sizeInBytes() : qsizetype(0);
    };
    return Own(FLayer) + Own(FAddressRows) + Own(FPlot) + Own(FBackground) + Own(FComposed);
}

void TPingerGraph::Paint(QPainter& Painter, const QRect& Clip) const {
    // The display ignores the alpha byte (the low statistic line is written with alpha 0): view
    // the same pixels as opaque RGB without copying them.
    auto Opaque = [](const TRaster& R) {
        const QImage& I = R.Image();
        QImage View(I.constBits(), I.width(), I.height(), I.bytesPerLine(), QImage::Format_RGB32);
        View.setDevicePixelRatio(I.devicePixelRatio());
        return View;
    };
    // Logical rectangles of the graph area onto device pixels of a raster: at the screen's own
    // ratio the picture is copied pixel for pixel.
    auto Draw = [&Painter, &Opaque](const QRect& Target, const TRaster& R, const QRect& Source) {
        const int S = R.Scale();
        Painter.drawImage(
            QRectF(Target), Opaque(R),
            QRectF(Source.x() * S, Source.y() * S, Source.width() * S, Source.height() * S));
    };
    const QRect Area(0, 0, FLayer.Width(), FLayer.Height());
    const QRect Todo = Clip & Area;
    if (Todo.isEmpty()) {
        return;
    }
    Painter.save();
    Painter.setClipRect(Todo);
    const QRect PlotArea =
        QRect(FPlotRect.Left, FPlotRect.Top, FPlot.Width(), FPlot.Height()) & Area;
    if (!PlotArea.contains(Todo)) {
        Draw(Todo, FLayer, Todo);
        if (FAddressRows.Width() > 0 && FAddressRows.Height() > 0) {
            const QRect Rows = Todo & QRect(0, 0, FAddressRows.Width(), FAddressRows.Height());
            if (!Rows.isEmpty()) {
                Draw(Rows, FAddressRows, Rows);
            }
        }
    }
    const QRect PlotTodo = Todo & PlotArea;
    if (!PlotTodo.isEmpty()) {
        Draw(PlotTodo, FPlot, PlotTodo.translated(-FPlotRect.Left, -FPlotRect.Top));
    }
    Painter.restore();
}

void TPingerGraph::DrawStatLines(TRaster& Plot) const {
    const int Wp = Plot.Width();
    const int Hp = Plot.Height();
    // A row off the raster (including one computed from a zero range) clips to nothing.
    auto Line = [&](double Value, TRasterColor Color) {
        const long long Y = ValueRow(Hp, FDisplayRange, Value);
        if (Y >= 0 && Y < Hp) {
            Plot.StatLine(0, int(Y), Wp, Color);
        }
    };
    Line(FStats.Min, MinLineColor);
    Line(FStats.Max, MaxLineColor);
    Line(FStats.Avg, AvgLineColor);
}

// For each column counted from the right edge, the greatest age (whole milliseconds behind the
// newest sample) that the time axis puts in that column or further right: looking a sample's
// column up is then a comparison of integers. Ages round to columns monotonically, so the
// table follows the column rule exactly. Shared by graphs of the same plot width and span.
struct TPingerGraph::TAgeTable {
    int Width = 0;
    std::int32_t Span = 0;
    std::vector<std::int64_t> MaxAge; // by columns from the right edge
};

namespace {

long long AgeToColumnsFromRight(std::int64_t AgeMs, double ColumnsPerSecond) {
    return RoundHalfEven(double(AgeMs) / 1000.0 * ColumnsPerSecond);
}

} // namespace

TSampleRun TPingerGraph::ColumnRun(const TPingSamples& Samples, long long X, std::size_t First,
                                   std::size_t Last) {
    const std::size_t N = Samples.size();
    const std::size_t Lo = N - 1 - Last, Hi = N - 1 - First;
    if (X < 0 || X >= (long long)FColumnRuns.size()) {
        return Samples.Summary(First, Last);
    }
    TColumnRun& C = FColumnRuns[std::size_t(X)];
    auto Success = [&](std::size_t Position) { return Samples.SuccessAt(N - 1 - Position); };
    auto Trip = [&](std::size_t Position) { return Samples.RoundTripAt(N - 1 - Position); };
    auto Plain = [&](std::size_t Position) {
        return Samples.SuccessAt(N - 1 - Position) && !Samples.AfterGapAt(N - 1 - Position);
    };
    // The columns' samples move towards the newest a few at a time: the ones that left are taken
    // out and the ones that came are added, unless the lowest or highest round trip left.
    constexpr std::size_t MostMoved = 64;
    bool Kept = C.Lo <= C.Hi && Lo >= C.Lo && Hi >= C.Hi && Lo <= C.Hi + 1 &&
                (Lo - C.Lo) + (Hi - C.Hi) <= MostMoved;
    for (std::size_t P = C.Lo; Kept && P < Lo; ++P) {
        if (!Plain(P)) {
            --C.Odd;
        }
        if (Success(P)) {
            const std::int32_t V = Trip(P);
            if ((V == C.Min && --C.MinCount == 0) || (V == C.Max && --C.MaxCount == 0)) {
                Kept = false;
            }
        }
    }
    if (Kept) {
        for (std::size_t P = C.Hi + 1; P <= Hi; ++P) {
            if (!Plain(P)) {
                ++C.Odd;
            }
            if (Success(P)) {
                const std::int32_t V = Trip(P);
                if (V < C.Min) {
                    C.Min = V;
                    C.MinCount = 1;
                } else if (V == C.Min) {
                    ++C.MinCount;
                }
                if (V > C.Max) {
                    C.Max = V;
                    C.MaxCount = 1;
                } else if (V == C.Max) {
                    ++C.MaxCount;
                }
            }
        }
        C.Lo = Lo;
        C.Hi = Hi;
        TSampleRun Run;
        Run.MinTrip = C.Min;
        Run.MaxTrip = C.Max;
        Run.Plain = C.Odd == 0;
        return Run;
    }
    const TSampleRun Run = Samples.Summary(First, Last);
    C = TColumnRun();
    if (Run.Plain) {
        // Counts of one are lower bounds: a later removal of the value only asks the summaries
        // again.
        C.Lo = Lo;
        C.Hi = Hi;
        C.Min = Run.MinTrip;
        C.Max = Run.MaxTrip;
        C.MinCount = C.MaxCount = 1;
    }
    return Run;
}

// A column's look is the strokes that touch it, in order. A vertical run of one colour decides
// it when every line drawn there before it stays within its rows (the run covers them) and every
// line drawn there after it has its colour and stays within its rows too (nothing shows).
inline void TPingerGraph::AddStroke(const TStroke& S) {
    if (FStrokeCount == FStrokes.size()) {
        FStrokes.resize(std::max<std::size_t>(64, FStrokes.size() * 2));
    }
    const int I = int(FStrokeCount);
    FStrokes[FStrokeCount++] = S;
    const int Wp = int(FNewLooks.size());
    const int Top = std::min(S.Y0, S.Y1), Bottom = std::max(S.Y0, S.Y1);
    const int From = std::max(std::min(S.X0, S.X1), 0);
    const int To = std::min(std::max(S.X0, S.X1), Wp - 1);
    for (int X = From; X <= To; ++X) {
        TColumnLook& L = FNewLooks[std::size_t(X)];
        if (L.Kind == TColumnLook::Empty) {
            L.FirstStroke = I;
        }
        L.LastStroke = I;
        switch (L.Kind) {
        case TColumnLook::Empty:
            L.Kind = S.Line ? TColumnLook::LinesOnly : TColumnLook::Run;
            L.Top = Top;
            L.Bottom = Bottom;
            L.Color = S.Color;
            break;
        case TColumnLook::LinesOnly:
            if (S.Line) {
                L.Top = std::min(L.Top, Top);
                L.Bottom = std::max(L.Bottom, Bottom);
            } else {
                const bool Covered = L.Top >= Top && L.Bottom <= Bottom;
                L.Kind = Covered ? TColumnLook::Run : TColumnLook::Mixed;
                L.Top = Top;
                L.Bottom = Bottom;
                L.Color = S.Color;
            }
            break;
        case TColumnLook::Run:
            if (!(S.Line && Top >= L.Top && Bottom <= L.Bottom && S.Color == L.Color &&
                  (S.Color >> 24) == 0xFF)) {
                L.Kind = TColumnLook::Mixed;
            }
            break;
        case TColumnLook::Mixed:
            break;
        }
    }
}

void TPingerGraph::CollectStrokes(const TPingSamples& Samples, std::int32_t Span, int Wp, int Hp) {
    FStrokeCount = 0;
    // Looks pay off only where columns are drawn as runs: with none at the last refresh (a short
    // span) they are not kept, and every refresh draws the plot whole.
    const bool Track = Wp > 0 && FRunStrokes >= (std::size_t(Wp) + 7) / 8;
    FRunStrokes = 0;
    FNewLooks.assign(Track ? std::size_t(Wp) : 0, TColumnLook());
    if (Span == 0 || FDisplayRange == 0 || Samples.empty()) {
        return;
    }
    const std::size_t N = Samples.size();
    const std::int64_t NewestMs = Samples.MsAt(0);
    const double ColumnsPerSecond = double(Wp) / Span;
    auto Column = [&](std::int64_t Ms) {
        const double Age = double(std::llabs(Ms - NewestMs)) / 1000.0;
        return (long long)Wp - 1 - RoundHalfEven(Age * ColumnsPerSecond);
    };
    const double RowsPerMs = double(Hp) / FDisplayRange; // as ValueRow computes it
    auto Row = [&](double Value) { return (long long)Hp - 1 - RoundHalfEven(RowsPerMs * Value); };
    // The rows of whole round trips up to the range, for the many points of a long span.
    const std::vector<int>* TripRows = nullptr;
    auto TripRow = [&](std::int32_t Trip) {
        return TripRows && Trip >= 0 && std::size_t(Trip) < TripRows->size()
                   ? (long long)(*TripRows)[std::size_t(Trip)]
                   : Row(Trip);
    };
    TRasterColor Pen = SuccessPen;
    int PenX = 0, PenY = 0;
    auto MoveTo = [&](long long X, long long Y) {
        PenX = ClampToInt(X);
        PenY = ClampToInt(Y);
    };
    auto LineTo = [&](long long X, long long Y) {
        const int X1 = ClampToInt(X), Y1 = ClampToInt(Y);
        if (X1 != PenX || Y1 != PenY) { // a line of no length draws nothing
            AddStroke({PenX, PenY, X1, Y1, Pen, true});
        }
        PenX = X1;
        PenY = Y1;
    };
    // With times falling steadily, the samples of one column follow each other, and a run of
    // them that are all plain successes below the range draws only green vertical segments in
    // that column: the pixels between the run's lowest and highest point. The segment out of
    // the run's last point covers that point afterwards, whatever its colour, so the run is drawn
    // as one line when such a segment follows.
    const bool ByColumns = FDrawByColumns && Samples.Ordered() && Wp > 0;
    if (ByColumns) {
        if (!FAges || FAges->Width != Wp || FAges->Span != Span) {
            thread_local std::vector<std::shared_ptr<const TAgeTable>> Tables;
            auto Found = std::find_if(Tables.begin(), Tables.end(), [&](const auto& T) {
                return T->Width == Wp && T->Span == Span;
            });
            if (Found != Tables.end()) {
                FAges = *Found;
            } else {
                auto Table = std::make_shared<TAgeTable>();
                Table->Width = Wp;
                Table->Span = Span;
                Table->MaxAge.resize(std::size_t(Wp));
                for (int K = 0; K < Wp; ++K) {
                    // The greatest age that rounds to K columns or fewer.
                    std::int64_t Lo = 0,
                                 Hi = std::int64_t(1000.0 * (K + 1) / ColumnsPerSecond) + 1000;
                    while (AgeToColumnsFromRight(Hi, ColumnsPerSecond) <= K && Hi < (1LL << 60)) {
                        Hi *= 2;
                    }
                    while (Hi - Lo > 1) {
                        const std::int64_t Mid = Lo + (Hi - Lo) / 2;
                        (AgeToColumnsFromRight(Mid, ColumnsPerSecond) <= K ? Lo : Hi) = Mid;
                    }
                    Table->MaxAge[std::size_t(K)] = Lo;
                }
                constexpr std::size_t KeptTables = 4;
                if (Tables.size() >= KeptTables) {
                    Tables.pop_back();
                }
                Tables.insert(Tables.begin(), Table);
                FAges = std::move(Table);
            }
        }
        struct TRowTable {
            int Height;
            std::int32_t Range;
            std::vector<int> Rows;
        };
        thread_local std::vector<std::shared_ptr<const TRowTable>> RowTables;
        auto Found = std::find_if(RowTables.begin(), RowTables.end(), [&](const auto& T) {
            return T->Height == Hp && T->Range == FDisplayRange;
        });
        if (Found == RowTables.end() && FDisplayRange > 0 && FDisplayRange <= 100000) {
            auto Table = std::make_shared<TRowTable>();
            Table->Height = Hp;
            Table->Range = FDisplayRange;
            Table->Rows.resize(std::size_t(FDisplayRange) + 1);
            for (std::size_t V = 0; V < Table->Rows.size(); ++V) {
                Table->Rows[V] = ClampToInt(Row(double(V)));
            }
            constexpr std::size_t KeptTables = 4;
            if (RowTables.size() >= KeptTables) {
                RowTables.pop_back();
            }
            RowTables.insert(RowTables.begin(), std::move(Table));
            Found = RowTables.begin();
        }
        if (Found != RowTables.end()) {
            TripRows = &(*Found)->Rows; // the list holds it through this walk
        }
        FColumnEnds.resize(std::size_t(Wp));
        // The walk reads the samples at the columns' ends one after another, each read waiting
        // for the last; fetched ahead all at once, they arrive together.
        for (const std::size_t End : FColumnEnds) {
            if (Track && End + 1 < N) {
                Samples.Prefetch(End + 1);
            }
        }
        if (FColumnRuns.size() != std::size_t(Wp) || FRunsRevision != Samples.Revision()) {
            FColumnRuns.assign(std::size_t(Wp), TColumnRun());
            FRunsRevision = Samples.Revision();
        }
    }
    std::size_t RunGuess = 1;          // length of the last run, where the next one is looked for
    long long NoRunColumn = LLONG_MIN; // a column whose run held something else
    auto LastInColumn = [&](std::size_t First, long long X) {
        const std::int64_t MaxAge = FAges->MaxAge[std::size_t(Wp - 1 - X)];
        auto In = [&](std::size_t I) { return NewestMs - Samples.MsAt(I) <= MaxAge; };
        // Results come at a steady pace, so a column's last sample usually keeps its index
        // (counted from the newest) from one refresh to the next: that index is tried first.
        std::size_t& Kept = FColumnEnds[std::size_t(Wp - 1 - X)];
        if (Kept > First && Kept < N && In(Kept) && (Kept + 1 == N || !In(Kept + 1))) {
            return Kept;
        }
        std::size_t Lo = First, Hi = N; // In(Lo); Hi == N or !In(Hi)
        std::size_t Step = RunGuess;
        while (true) {
            const std::size_t P = Lo + Step;
            if (P >= N) {
                break;
            }
            if (!In(P)) {
                if (P - 1 > Lo && In(P - 1)) {
                    return P - 1; // one short of the last run, as columns alternate
                }
                Hi = P;
                break;
            }
            Lo = P;
            if (P + 1 >= N || !In(P + 1)) {
                return P;
            }
            Step *= 2;
        }
        while (Hi - Lo > 1) {
            const std::size_t Mid = Lo + (Hi - Lo) / 2;
            (In(Mid) ? Lo : Hi) = Mid;
        }
        return Lo;
    };
    bool Pending = false;
    long long LastX = LLONG_MIN; // column of the last point placed
    // Across a gap (the machine slept) the pen is lifted: the next older point starts afresh.
    bool PenUp = true;
    for (std::size_t K = 0; K < N; ++K) {
        const bool Success = Samples.SuccessAt(K);
        const bool AfterGap = Samples.AfterGapAt(K);
        const std::int32_t RoundTrip = Samples.RoundTripAt(K);
        if (AfterGap && !Success) {
            PenUp = true; // the request the sleep cut off gets no point
            Pending = false;
            continue;
        }
        double Value;
        if (Success) {
            Value = RoundTrip;
            if (Pending) {
                Pending = false; // the segment into the first success after failures stays red
            } else {
                Pen = SuccessPen;
            }
        } else {
            Pen = FailurePen;
            Pending = true;
            // Failures between the newest and the oldest sample get no point of their own.
            if (K > 0 && K < N - 1) {
                continue;
            }
            Value = RoundHalfEven(FStats.Avg);
        }
        long long Y = Success ? TripRow(RoundTrip) : Row(Value);
        long long X;
        const std::int64_t Age = NewestMs - Samples.MsAt(K);
        if (ByColumns && LastX - 1 >= 0 && LastX - 1 < Wp &&
            Age <= FAges->MaxAge[std::size_t(Wp - LastX)] &&
            (LastX == Wp || Age > FAges->MaxAge[std::size_t(Wp - LastX - 1)])) {
            X = LastX - 1; // the column left of the last point, as the table has it
        } else {
            X = Column(Samples.MsAt(K));
        }
        LastX = X;
        const bool Over = Y < 0;
        if (Over) {
            Y = 0;
            Pen = OverRangePen;
        }
        if (PenUp) {
            MoveTo(X, Y);
            PenUp = false;
        } else {
            LineTo(X, Y);
        }
        if (X < 0) {
            break;
        }
        if (AfterGap) {
            PenUp = true;
            Pending = false;
            continue;
        }
        if (!ByColumns || !Success || Over || X == NoRunColumn || K + 2 >= N) {
            continue;
        }
        const std::size_t Last = LastInColumn(K, X);
        FColumnEnds[std::size_t(Wp - 1 - X)] = Last;
        if (Last == K || Last + 1 >= N || !Samples.SuccessAt(Last + 1)) {
            continue;
        }
        const TSampleRun Run = ColumnRun(Samples, X, K + 1, Last);
        if (!Run.Plain || TripRow(Run.MaxTrip) < 0) {
            NoRunColumn = X;
            continue;
        }
        RunGuess = Last - K;
        const long long Top = TripRow(std::max(Run.MaxTrip, RoundTrip));
        const long long Bottom = TripRow(std::min(Run.MinTrip, RoundTrip));
        AddStroke(
            {ClampToInt(X), ClampToInt(Top), ClampToInt(X), ClampToInt(Bottom), SuccessPen, false});
        ++FRunStrokes;
        Pen = SuccessPen;
        MoveTo(X, TripRow(Samples.RoundTripAt(Last)));
        K = Last;
    }
}

void TPingerGraph::DrawStrokes(std::size_t From, std::size_t To) {
    for (std::size_t I = From; I < To; ++I) {
        const TStroke& S = FStrokes[I];
        if (S.Line) {
            FPlot.SetPen(S.Color);
            FPlot.MoveTo(S.X0, S.Y0);
            FPlot.LineTo(S.X1, S.Y1);
        } else {
            FPlot.GridLine(S.X0, S.Y0, S.X1, S.Y1, S.Color);
        }
    }
}

void TPingerGraph::DrawPlot(const TPingSamples& Samples, std::int32_t Span) {
    const int Wp = FPlot.Width(), Hp = FPlot.Height();
    CollectStrokes(Samples, Span, Wp, Hp);
    for (TColumnLook& L : FNewLooks) {
        if (L.Kind == TColumnLook::LinesOnly) {
            L.Kind = TColumnLook::Mixed; // lines alone: compared by drawing them again
        }
    }
    long long Rows[3] = {ValueRow(Hp, FDisplayRange, FStats.Min),
                         ValueRow(Hp, FDisplayRange, FStats.Max),
                         ValueRow(Hp, FDisplayRange, FStats.Avg)};
    const bool SameLines = std::equal(std::begin(Rows), std::end(Rows), std::begin(FStatRows));
    const bool Again = FPlotDrawn && SameLines && Wp > 0 && FLooks.size() == std::size_t(Wp) &&
                       FNewLooks.size() == std::size_t(Wp);
    std::copy(std::begin(Rows), std::end(Rows), std::begin(FStatRows));
    FPlotDrawn = true;
    if (!Again) {
        FPlot.CopyFrom(FLayer, FPlotRect.Left, FPlotRect.Top);
        DrawStatLines(FPlot);
        DrawStrokes(0, FStrokeCount);
        FChangedLeft = 0;
        FChangedRight = Wp;
        FLooks.swap(FNewLooks);
        return;
    }
    // Only the columns whose look changed, or that are not one plain run, are drawn again: the
    // background and statistic lines of those columns, then every stroke that touches them,
    // clipped to them. Nearby stretches are drawn as one.
    constexpr int Joined = 8;
    FChangedLeft = Wp;
    FChangedRight = 0;
    auto Dirty = [&](int X) {
        const TColumnLook& Old = FLooks[std::size_t(X)];
        const TColumnLook& New = FNewLooks[std::size_t(X)];
        return Old.Kind == TColumnLook::Mixed || New.Kind == TColumnLook::Mixed ||
               !Old.SameLook(New);
    };
    auto Redraw = [&](int Left, int Right) { // columns Left..Right - 1
        int First = INT_MAX, Last = -1;
        for (int X = Left; X < Right; ++X) {
            const TColumnLook& L = FNewLooks[std::size_t(X)];
            if (L.Kind != TColumnLook::Empty) {
                First = std::min(First, L.FirstStroke);
                Last = std::max(Last, L.LastStroke);
            }
        }
        FPlot.SetClipColumns(Left, Right);
        FPlot.CopyFrom(FLayer, FPlotRect.Left, FPlotRect.Top);
        DrawStatLines(FPlot);
        if (Last >= First) {
            DrawStrokes(std::size_t(First), std::size_t(Last) + 1);
        }
        FPlot.ResetClip();
        FChangedLeft = std::min(FChangedLeft, Left);
        FChangedRight = std::max(FChangedRight, Right);
    };
    int Start = -1, End = -1; // the stretch being gathered, columns Start..End - 1
    for (int X = 0; X < Wp; ++X) {
        if (!Dirty(X)) {
            continue;
        }
        if (Start >= 0 && X - End >= Joined) {
            Redraw(Start, End);
            Start = -1;
        }
        if (Start < 0) {
            Start = X;
        }
        End = X + 1;
    }
    if (Start >= 0) {
        Redraw(Start, End);
    }
    FLooks.swap(FNewLooks);
}

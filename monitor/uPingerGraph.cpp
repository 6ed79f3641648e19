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
        FPlot.SetScale(FLayer.Scale());
        FPlot.SetSize(FPlotRect.Width(), FPlotRect.Height());
        FPlot.CopyFrom(FLayer, FPlotRect.Left, FPlotRect.Top);
        DrawSamples(FPlot, Samples, In.Span);
        FComposedStale = true;
        if (FLastChange == TChange::None) {
            FLastChange = TChange::Plot;
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

void TPingerGraph::DrawSamples(TRaster& Plot, const TPingSamples& Samples,
                               std::int32_t Span) const {
    DrawStatLines(Plot);
    if (Span == 0 || FDisplayRange == 0 || Samples.empty()) {
        return;
    }
    const int Wp = Plot.Width();
    const int Hp = Plot.Height();
    const std::size_t N = Samples.size();
    const std::int64_t NewestMs = Samples.MsAt(0);
    const double ColumnsPerSecond = double(Wp) / Span;
    auto Column = [&](std::int64_t Ms) {
        const double Age = double(std::llabs(Ms - NewestMs)) / 1000.0;
        return (long long)Wp - 1 - RoundHalfEven(Age * ColumnsPerSecond);
    };
    // With times falling steadily, the samples of one column follow each other, and a run of
    // them that are all plain successes below the range draws only green vertical segments in
    // that column: the pixels between the run's lowest and highest point. The segment out of
    // the run's last point covers that point afterwards, whatever its colour, so the run is drawn
    // as one line when such a segment follows.
    const bool ByColumns = FDrawByColumns && Samples.Ordered();
    std::size_t RunGuess = 1;          // length of the last run, where the next one is looked for
    long long NoRunColumn = LLONG_MIN; // a column whose run held something else
    auto LastInColumn = [&](std::size_t First, long long X) {
        auto In = [&](std::size_t I) { return Column(Samples.MsAt(I)) >= X; };
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
    // Across a gap (the machine slept) the pen is lifted: the next older point starts afresh.
    bool PenUp = true;
    for (std::size_t K = 0; K < N; ++K) {
        const TPingEventObj S = Samples[K];
        if (S.AfterGap && !S.Success) {
            PenUp = true; // the request the sleep cut off gets no point
            Pending = false;
            continue;
        }
        double Value;
        if (S.Success) {
            Value = S.RoundTrip;
            if (Pending) {
                Pending = false; // the segment into the first success after failures stays red
            } else {
                Plot.SetPen(SuccessPen);
            }
        } else {
            Plot.SetPen(FailurePen);
            Pending = true;
            // Failures between the newest and the oldest sample get no point of their own.
            if (K > 0 && K < N - 1) {
                continue;
            }
            Value = RoundHalfEven(FStats.Avg);
        }
        long long Y = ValueRow(Hp, FDisplayRange, Value);
        const long long X = Column(S.Ms);
        const bool Over = Y < 0;
        if (Over) {
            Y = 0;
            Plot.SetPen(OverRangePen);
        }
        if (PenUp) {
            Plot.MoveTo(ClampToInt(X), ClampToInt(Y));
            PenUp = false;
        } else {
            Plot.LineTo(ClampToInt(X), ClampToInt(Y));
        }
        if (X < 0) {
            break;
        }
        if (S.AfterGap) {
            PenUp = true;
            Pending = false;
            continue;
        }
        if (!ByColumns || !S.Success || Over || X == NoRunColumn || K + 2 >= N) {
            continue;
        }
        const std::size_t Last = LastInColumn(K, X);
        if (Last == K || Last + 1 >= N || !Samples.SuccessAt(Last + 1)) {
            continue;
        }
        const TSampleRun Run = Samples.Summary(K + 1, Last);
        if (!Run.Plain || ValueRow(Hp, FDisplayRange, Run.MaxTrip) < 0) {
            NoRunColumn = X;
            continue;
        }
        RunGuess = Last - K;
        const long long Top = ValueRow(Hp, FDisplayRange, std::max(Run.MaxTrip, S.RoundTrip));
        const long long Bottom = ValueRow(Hp, FDisplayRange, std::min(Run.MinTrip, S.RoundTrip));
        Plot.GridLine(ClampToInt(X), ClampToInt(Top), ClampToInt(X), ClampToInt(Bottom),
                      SuccessPen);
        Plot.SetPen(SuccessPen);
        Plot.MoveTo(ClampToInt(X),
                    ClampToInt(ValueRow(Hp, FDisplayRange, Samples.RoundTripAt(Last))));
        K = Last;
    }
}

#include "uPingerGraph.h"

#include "zsFonts.h"
#include "zsPingStatus.h"

#include <QLocale>

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

TGraphStats TPingerGraph::ComputeStats(const TPingSamples& Samples, std::int32_t Span,
                                       TDateTime Now) {
    const TDateTime SpanStart = Now - Span / 86400.0;
    TGraphStats Stats;
    long long Sum = 0;
    long long Good = 0;
    long long Seen = 0;
    bool Beyond = false;
    // Counts through the first success older than the span, then over failures up to and
    // including the next success: a target that has been failing for longer than the span still
    // shows the last round trips it had.
    for (const TPingEventObj& S : Samples) {
        ++Seen;
        if (!S.Success) {
            continue;
        }
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

void TPingerGraph::UpdateStats(const TPingSamples& Samples, std::int32_t Span, TDateTime Now) {
    FStats = ComputeStats(Samples, Span, Now);
}

bool TPingerGraph::Refresh(const TInput& In, bool Full, const TPingEventObj* Sample) {
    static const TPingSamples NoSamples;
    const TPingSamples& Samples = In.Samples ? *In.Samples : NoSamples;
    UpdateStats(Samples, In.Span, In.Now);
    const bool Auto = In.Range == AutoRange;
    const bool Redraw = Full || Auto;
    if (Redraw) {
        FDisplayRange = Auto ? ChooseAutoRange(FStats.Max) : In.Range;
        FBackground.SetSize(FWidth, FHeight);
        FComposed.SetSize(FWidth, FHeight);
        FBackground.Clear(GraphClear);
        FPlotRect = TGraphGeometry::PlotRect(FBackground.Width(), FBackground.Height());
        DrawGraph(In);
    }
    FPlot.SetSize(FPlotRect.Width(), FPlotRect.Height());
    FPlot.CopyFrom(FBackground, FPlotRect.Left, FPlotRect.Top);
    DrawSamples(FPlot, Samples, In.Span);
    FComposed.Draw(0, 0, FBackground);
    FComposed.Draw(FPlotRect.Left, FPlotRect.Top, FPlot);

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

void TPingerGraph::DrawGraph(const TInput& In) {
    using G = TGraphGeometry;
    TRaster& Bg = FBackground;
    const int W = Bg.Width();
    const int H = Bg.Height();
    const int L = FPlotRect.Left, T = FPlotRect.Top, R = FPlotRect.Right, B = FPlotRect.Bottom;

    TRasterColor Fill, Border;
    if (In.OnLine) {
        Fill = FillOnLine;
        Border = BorderOnLine;
        FHeaderColor = clHeaderOnLine;
    } else {
        Fill = FillOffLine;
        Border = BorderOffLine;
        FHeaderColor = clHeaderOffLine;
    }
    Bg.FillRect(0, 0, W, H, Fill);
    Bg.FrameRect(0, 0, W, H, Border);

    Bg.SetFont(GraphFont());
    Bg.SetTextColor(clAddressText);
    const QString Address = QString::fromLocal8Bit(In.AddressText);
    Bg.TextOut(W / 2 - Bg.TextWidth(Address) / 2, G::AddressBottom - Bg.TextHeight(Address),
               Address);

    const TPlotRect Frame = G::FrameRect(FPlotRect);
    Bg.FrameRect(Frame.Left, Frame.Top, Frame.Right, Frame.Bottom, FrameColor);

    Bg.SetTextColor(clAxisLabel);
    const double ValueStep = double(B - T) / ValueDivisions;
    const QStringList ValueLabels = ValueAxisLabels(FDisplayRange);
    for (int I = 0; I <= ValueDivisions; ++I) {
        const int Y = RoundHalfEven(I * ValueStep) + T;
        const QString& Label = ValueLabels[I];
        const int X = std::max(L - Bg.TextWidth(Label) - G::LabelGap, G::LabelMinLeft);
        Bg.TextOut(X, Y - Bg.TextHeight(Label) / 2, Label);
        if (I >= 1 && I < ValueDivisions) {
            Bg.GridLine(L, Y, R, Y, FrameColor);
        }
    }

    const TTimeAxis Axis = TimeAxisFor(In.Span);
    const double TimeStep = double(R - L) / Axis.Divisions;
    const QStringList TimeLabels = TimeAxisLabels(In.Span);
    for (int J = 0; J <= Axis.Divisions; ++J) {
        const int X = RoundHalfEven(J * TimeStep) + L;
        const QString& Label = TimeLabels[J];
        Bg.TextOut(X - Bg.TextWidth(Label) / 2, B + G::LabelGap, Label);
        if (J > 0 && J < Axis.Divisions) {
            Bg.GridLine(X, T, X, B, FrameColor);
        }
    }
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
    const TDateTime Newest = Samples[0].Time;
    const double ColumnsPerSecond = double(Wp) / Span;
    bool Pending = false;
    std::size_t K = 0;
    for (auto It = Samples.begin(); It != Samples.end(); ++It, ++K) {
        const TPingEventObj& S = *It;
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
        const double Age = std::fabs(S.Time - Newest) * 86400.0;
        const long long X = (long long)Wp - 1 - RoundHalfEven(Age * ColumnsPerSecond);
        if (Y < 0) {
            Y = 0;
            Plot.SetPen(OverRangePen);
        }
        if (K == 0) {
            Plot.MoveTo(ClampToInt(X), ClampToInt(Y));
        } else {
            Plot.LineTo(ClampToInt(X), ClampToInt(Y));
        }
        if (X < 0) {
            break;
        }
    }
}

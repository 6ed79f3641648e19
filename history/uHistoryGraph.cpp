#include "uHistoryGraph.h"

#include "uPingerGraph.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace {

const QColor Background(0, 0, 0);
const QColor GridColor(0x40, 0x60, 0x80);
const QColor LabelColor(255, 255, 255);
const QColor TripColor(0x20, 0xFF, 0x10);
const QColor TripRangeColor(0x10, 0x46, 0x0B); // the trip colour at 27 % over black
const QColor FailureColor(0xFF, 0x40, 0x10);
const QColor UptimeColor(0x20, 0xA0, 0x10);

constexpr int ValueDivisions = 5;
// Columns closer than this in time are joined by the round-trip line.
constexpr std::int64_t JoinSeconds = 15 * 60;

// A round scale top at or above Value: 1, 2 or 5 times a power of ten, at least 10 ms.
int NiceTop(double Value) {
    static constexpr double Factors[] = {2.0, 2.5, 2.0};
    double Step = 10;
    for (int I = 0; Step < Value && Step < 1e6; ++I) {
        Step *= Factors[I % 3];
    }
    return int(Step);
}

enum class TUnit { Hour, Day, Month, Year };
struct TStep {
    TUnit Unit;
    int Count;
    std::int64_t Seconds; // about
};
constexpr std::int64_t H = 3600, D = 86400;
constexpr TStep Steps[] = {
    {TUnit::Hour, 1, H},
    {TUnit::Hour, 2, 2 * H},
    {TUnit::Hour, 3, 3 * H},
    {TUnit::Hour, 4, 4 * H},
    {TUnit::Hour, 6, 6 * H},
    {TUnit::Hour, 12, 12 * H},
    {TUnit::Day, 1, D},
    {TUnit::Day, 2, 2 * D},
    {TUnit::Day, 7, 7 * D},
    {TUnit::Day, 14, 14 * D},
    {TUnit::Month, 1, 30 * D},
    {TUnit::Month, 2, 61 * D},
    {TUnit::Month, 3, 91 * D},
    {TUnit::Month, 6, 182 * D},
    {TUnit::Year, 1, 365 * D},
    {TUnit::Year, 2, 730 * D},
    {TUnit::Year, 5, 1826 * D},
    {TUnit::Year, 10, 3652 * D},
    {TUnit::Year, 20, 7305 * D},
    {TUnit::Year, 50, 18262 * D},
    {TUnit::Year, 100, 36525 * D},
    {TUnit::Year, 200, 73050 * D},
    {TUnit::Year, 500, 182621 * D},
    {TUnit::Year, 1000, 365242 * D},
};

QString LabelOf(const QDateTime& At, const TStep& Step) {
    switch (Step.Unit) {
    case TUnit::Hour:
        return At.toString(QStringLiteral("HH:mm"));
    case TUnit::Day:
        return At.toString(Step.Count <= 2 ? QStringLiteral("ddd d") : QStringLiteral("d MMM"));
    case TUnit::Month:
        return At.toString(QStringLiteral("MMM yy"));
    case TUnit::Year:
        break;
    }
    return At.toString(QStringLiteral("yyyy"));
}

} // namespace

int THistoryGraph::Scaled(int Logical) const {
    return int(std::lround(Logical * FRatio));
}

void THistoryGraph::SetLayout(QSize Size, double Ratio) {
    FRatio = std::isfinite(Ratio) && Ratio >= 1 && Ratio <= 16 ? Ratio : 1;
    const QSize Logical = Size.expandedTo({LeftMargin + RightMargin + 20, 120});
    FPicture = QSize(Scaled(Logical.width()), Scaled(Logical.height()));
    const int Left = Scaled(LeftMargin);
    FPlot = QRect(Left, Scaled(TopMargin), FPicture.width() - Left - Scaled(RightMargin),
                  FPicture.height() - Scaled(TopMargin) - Scaled(BottomMargin) -
                      Scaled(BandHeight) - Scaled(BandGap));
    FBand = QRect(Left, FPlot.bottom() + 1 + Scaled(BandGap), FPlot.width(), Scaled(BandHeight));
}

int THistoryGraph::ColumnAt(int X) const {
    const int Device = int(std::floor((X + 0.5) * FRatio));
    return Device < FPlot.left() || Device > FPlot.right() ? -1 : Device - FPlot.left();
}

std::vector<THistoryGraph::TTick> THistoryGraph::Ticks(const THistoryRange& Range, int MaxTicks) {
    const std::int64_t Length = Range.To - Range.From;
    const TStep* Step = &Steps[std::size(Steps) - 1];
    for (const TStep& Candidate : Steps) {
        if (Length / Candidate.Seconds <= MaxTicks) {
            Step = &Candidate;
            break;
        }
    }
    std::vector<TTick> Ticks;
    const auto Take = [&](const QDateTime& At) {
        const std::int64_t T = At.toSecsSinceEpoch();
        if (At.isValid() && T >= Range.From && T < Range.To &&
            (Ticks.empty() || Ticks.back().At < T)) {
            Ticks.push_back({T, LabelOf(At, *Step)});
        }
    };
    const QDate First = QDateTime::fromSecsSinceEpoch(Range.From).date();
    const QDate Last = QDateTime::fromSecsSinceEpoch(Range.To).date();
    switch (Step->Unit) {
    case TUnit::Hour:
        for (QDate Day = First.addDays(-1); Day <= Last; Day = Day.addDays(1)) {
            for (int Hour = 0; Hour < 24; Hour += Step->Count) {
                Take(QDateTime(Day, QTime(Hour, 0)));
            }
        }
        break;
    case TUnit::Day:
        // Weeks begin on Mondays (Julian day numbers divisible by 7).
        for (QDate Day = First; Day <= Last; Day = Day.addDays(1)) {
            if (Day.toJulianDay() % Step->Count == 0) {
                Take(QDateTime(Day, QTime(0, 0)));
            }
        }
        break;
    case TUnit::Month:
        for (int M = First.year() * 12 + First.month() - 1; M <= Last.year() * 12 + Last.month();
             ++M) {
            if (M % Step->Count == 0) {
                Take(QDateTime(QDate(M / 12, M % 12 + 1, 1), QTime(0, 0)));
            }
        }
        break;
    case TUnit::Year:
        for (int Y = First.year(); Y <= Last.year(); ++Y) {
            if (Y % Step->Count == 0) {
                Take(QDateTime(QDate(Y, 1, 1), QTime(0, 0)));
            }
        }
        break;
    }
    return Ticks;
}

QImage THistoryGraph::Render(const THistoryView& View, THistorySpan) {
    QImage Picture(FPicture, QImage::Format_ARGB32);
    Picture.fill(Background);
    const std::vector<THistoryColumn>& Columns = View.Columns();
    const int Count = std::min<int>(FPlot.width(), int(Columns.size()));

    double Highest = 0;
    for (int X = 0; X < Count; ++X) {
        if (Columns[std::size_t(X)].Trips > 0) {
            Highest = std::max(Highest, double(Columns[std::size_t(X)].TripMax));
        }
    }
    FMaxTrip = NiceTop(Highest);

    // Lines are whole device pixels: the ratio rounded.
    const int Line = std::max(1, int(std::lround(FRatio)));
    QPainter Painter(&Picture);
    QFont Font = GraphFont();
    Font.setPointSizeF(Font.pointSizeF() * FRatio);
    Painter.setFont(Font);
    const QFontMetrics Metrics(Painter.font());
    const auto HLine = [&](int X1, int X2, int Y, const QColor& C) {
        Painter.fillRect(QRect(X1, Y, X2 - X1 + 1, Line), C);
    };
    const auto VLine = [&](int X, int Y1, int Y2, const QColor& C) {
        if (Y2 < Y1) {
            std::swap(Y1, Y2);
        }
        Painter.fillRect(QRect(X, Y1, 1, Y2 - Y1 + 1), C);
    };
    const auto Frame = [&](const QRect& R) {
        HLine(R.left(), R.right(), R.top(), GridColor);
        HLine(R.left(), R.right(), R.bottom() - Line + 1, GridColor);
        Painter.fillRect(QRect(R.left(), R.top(), Line, R.height()), GridColor);
        Painter.fillRect(QRect(R.right() - Line + 1, R.top(), Line, R.height()), GridColor);
    };

    // Grid and labels.
    Frame(FPlot);
    Frame(FBand);
    for (int I = 1; I < ValueDivisions; ++I) {
        const int Y = FPlot.bottom() - I * (FPlot.height() - 1) / ValueDivisions;
        HLine(FPlot.left(), FPlot.right(), Y, GridColor);
    }
    const int LabelRoom = Scaled(LeftMargin) - Scaled(4);
    Painter.setPen(LabelColor);
    for (int I = 0; I <= ValueDivisions; ++I) {
        const int Y = FPlot.bottom() - I * (FPlot.height() - 1) / ValueDivisions;
        const QString Text = QString::number(FMaxTrip * I / ValueDivisions) + QStringLiteral("ms");
        Painter.drawText(QRect(0, Y - Metrics.height() / 2, LabelRoom, Metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, Text);
    }
    Painter.drawText(QRect(0, FBand.top(), LabelRoom, FBand.height()),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("up %"));
    const int MaxTicks = std::max(2, FPlot.width() / Scaled(90));
    for (const TTick& Tick : Ticks(View.Range(), MaxTicks)) {
        const int X = FPlot.left() + View.ColumnOf(Tick.At);
        Painter.fillRect(QRect(X, FPlot.top(), Line, FPlot.height()), GridColor);
        Painter.fillRect(QRect(X, FBand.top(), Line, FBand.height()), GridColor);
        const int Width = Metrics.horizontalAdvance(Tick.Label);
        const int Left = std::clamp(X - Width / 2, 0, std::max(0, Picture.width() - Width));
        Painter.setPen(LabelColor);
        Painter.drawText(Left, FBand.bottom() + Scaled(2) + Metrics.ascent(), Tick.Label);
    }

    // Round trips, the uptime band and the failures, one device column each.
    const auto YOf = [&](double Trip) {
        const double Part = std::clamp(Trip / FMaxTrip, 0.0, 1.0);
        return FPlot.bottom() - Line - int(std::lround(Part * (FPlot.height() - 2 * Line - 1)));
    };
    const std::int64_t ColumnSeconds =
        std::max<std::int64_t>(1, (View.Range().To - View.Range().From) / std::max(1, Count));
    QPen TripPen(TripColor);
    TripPen.setWidth(Line);
    TripPen.setCapStyle(Qt::SquareCap);
    QPoint Previous(-1, -1);
    int PreviousX = -1;
    const int Full = FBand.height() - 2 * Line;
    for (int X = 0; X < Count; ++X) {
        const THistoryColumn& Column = Columns[std::size_t(X)];
        if (Column.Records == 0) {
            continue;
        }
        const int Px = FPlot.left() + X;
        const int Up =
            int(std::lround(Full * std::clamp(double(Column.UptimeMin), 0.0, 100.0) / 100.0));
        const int Foot = FBand.bottom() - Line; // the band's lowest row inside its frame
        if (Up > 0) {
            VLine(Px, Foot, Foot - Up + 1, UptimeColor);
        }
        if (Up < Full) {
            VLine(Px, FBand.top() + Line, Foot - Up, FailureColor);
        }
        if (Column.Failed > 0) {
            VLine(Px, FPlot.bottom() - Line, FPlot.bottom() - Line - Scaled(5), FailureColor);
        }
        if (Column.Trips == 0) {
            continue;
        }
        if (Column.TripMax > Column.TripMin) {
            VLine(Px, YOf(Column.TripMin), YOf(Column.TripMax), TripRangeColor);
        }
        const QPoint Here(Px, YOf(Column.MeanTrip()));
        const bool Join =
            PreviousX >= 0 &&
            (X - PreviousX == 1 || std::int64_t(X - PreviousX) * ColumnSeconds <= JoinSeconds);
        Painter.setPen(TripPen);
        if (Join) {
            Painter.drawLine(Previous, Here);
        } else {
            Painter.drawPoint(Here);
        }
        Previous = Here;
        PreviousX = X;
    }
    Painter.end();
    Picture.setDevicePixelRatio(FRatio);
    return Picture;
}

QString THistoryGraph::Describe(const THistoryView& View, int Column) {
    if (Column < 0 || Column >= int(View.Columns().size())) {
        return {};
    }
    const QDateTime From = QDateTime::fromSecsSinceEpoch(View.StartOf(Column));
    const QDateTime To = QDateTime::fromSecsSinceEpoch(View.StartOf(Column + 1) - 1);
    QString Text = From.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" to ") +
                   To.toString(From.date() == To.date() ? QStringLiteral("HH:mm:ss")
                                                        : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const THistoryColumn& C = View.Columns()[std::size_t(Column)];
    if (C.Records == 0) {
        return Text + QStringLiteral("\nNo record");
    }
    std::string Uptime, Trip;
    THistoryCsv::Number(C.UptimeMin, 2, Uptime);
    if (C.Trips > 0) {
        THistoryCsv::Number(C.MeanTrip(), 3, Trip);
        Trip += " ms";
    } else {
        Trip = "no reply";
    }
    Text += C.Records == 1 ? QStringLiteral("\n1 record")
                           : QStringLiteral("\n%1 records").arg(C.Records);
    return Text + QStringLiteral("\nWorst uptime: %1 %\nMean round trip: %2")
                      .arg(QString::fromStdString(Uptime), QString::fromStdString(Trip));
}

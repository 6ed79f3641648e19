#include "uHistoryGraph.h"

#include "uPingerGraph.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

const QColor Background(0, 0, 0);
const QColor GridColor(0x40, 0x60, 0x80);
const QColor LabelColor(255, 255, 255);
const QColor TripColor(0x20, 0xFF, 0x10);
const QColor TripRangeColor(0x20, 0xFF, 0x10, 70);
const QColor FailureColor(0xFF, 0x40, 0x10);
const QColor UptimeColor(0x20, 0xA0, 0x10);

constexpr int ValueDivisions = 5;
constexpr int TimeDivisions = 6;

// A round scale top at or above Value: 1, 2 or 5 times a power of ten, at least 10 ms.
int NiceTop(double Value) {
    static constexpr double Factors[] = {2.0, 2.5, 2.0};
    double Step = 10;
    for (int I = 0; Step < Value; ++I) {
        Step *= Factors[I % 3];
    }
    return int(Step);
}

struct TColumn {
    double TripMin = 1e300;
    double TripMax = -1e300;
    double TripSum = 0;
    int Trips = 0;
    bool AnyFailed = false;
    double UptimeMin = 101;
    bool Any = false;
};

QString TimeLabel(std::int64_t At, THistorySpan Span) {
    const QDateTime Local = QDateTime::fromSecsSinceEpoch(At);
    switch (Span) {
    case THistorySpan::Day:
        return Local.toString(QStringLiteral("HH:mm"));
    case THistorySpan::Week:
        return Local.toString(QStringLiteral("ddd HH:mm"));
    case THistorySpan::Month:
        return Local.toString(QStringLiteral("d MMM"));
    case THistorySpan::All:
        break;
    }
    return Local.toString(QStringLiteral("d MMM yy"));
}

} // namespace

std::int64_t THistoryGraph::SpanStart(THistorySpan Span, std::int64_t End) {
    switch (Span) {
    case THistorySpan::Day:
        return End - 86400;
    case THistorySpan::Week:
        return End - 7 * 86400;
    case THistorySpan::Month:
        return End - 30 * 86400;
    case THistorySpan::All:
        break;
    }
    return INT64_MIN;
}

int THistoryGraph::ColumnOf(std::int64_t At) const {
    const double Part = double(At - FFrom) / double(std::max<std::int64_t>(1, FTo - FFrom));
    return FPlot.left() + int(std::floor(Part * (FPlot.width() - 1) + 0.5));
}

std::int64_t THistoryGraph::InstantOf(int X) const {
    const double Part = double(X - FPlot.left()) / double(std::max(1, FPlot.width() - 1));
    return FFrom + std::int64_t(std::llround(Part * double(FTo - FFrom)));
}

QImage THistoryGraph::Render(const std::vector<THistoryRecord>& Records, QSize Size,
                             THistorySpan Span, std::int64_t Now) {
    QImage Picture(Size.expandedTo({LeftMargin + RightMargin + 20, 120}), QImage::Format_ARGB32);
    Picture.fill(Background);
    FPlot = QRect(LeftMargin, TopMargin, Picture.width() - LeftMargin - RightMargin,
                  Picture.height() - TopMargin - BottomMargin - BandHeight - BandGap);
    FBand = QRect(LeftMargin, FPlot.bottom() + 1 + BandGap, FPlot.width(), BandHeight);

    // The span: All runs from the first record to the last, the others end now.
    if (Span == THistorySpan::All && !Records.empty()) {
        FFrom = Records.front().UnixSeconds;
        FTo = std::max(Records.back().UnixSeconds, FFrom + 3600);
    } else {
        // No record yet: All shows the last day.
        FTo = Now;
        FFrom = SpanStart(Span == THistorySpan::All ? THistorySpan::Day : Span, FTo);
    }
    const auto First = std::lower_bound(
        Records.begin(), Records.end(), FFrom,
        [](const THistoryRecord& R, std::int64_t At) { return R.UnixSeconds < At; });

    std::vector<TColumn> Columns(std::size_t(FPlot.width()));
    double Highest = 0;
    for (auto It = First; It != Records.end() && It->UnixSeconds <= FTo; ++It) {
        const int X = ColumnOf(It->UnixSeconds) - FPlot.left();
        if (X < 0 || X >= FPlot.width()) {
            continue;
        }
        TColumn& Column = Columns[std::size_t(X)];
        Column.Any = true;
        Column.UptimeMin = std::min(Column.UptimeMin, double(It->UptimePct));
        if (It->Failed()) {
            Column.AnyFailed = true;
            continue;
        }
        const double Trip = std::max(0.0, double(It->AvgTrip));
        Column.TripMin = std::min(Column.TripMin, Trip);
        Column.TripMax = std::max(Column.TripMax, Trip);
        Column.TripSum += Trip;
        ++Column.Trips;
        Highest = std::max(Highest, Trip);
    }
    FMaxTrip = NiceTop(Highest);

    QPainter Painter(&Picture);
    Painter.setFont(GraphFont());
    const QFontMetrics Metrics(Painter.font());

    // Grid and labels.
    Painter.setPen(GridColor);
    Painter.drawRect(FPlot.adjusted(0, 0, -1, -1));
    Painter.drawRect(FBand.adjusted(0, 0, -1, -1));
    for (int I = 1; I < ValueDivisions; ++I) {
        const int Y = FPlot.bottom() - I * (FPlot.height() - 1) / ValueDivisions;
        Painter.drawLine(FPlot.left(), Y, FPlot.right(), Y);
    }
    for (int I = 1; I < TimeDivisions; ++I) {
        const int X = FPlot.left() + I * (FPlot.width() - 1) / TimeDivisions;
        Painter.drawLine(X, FPlot.top(), X, FPlot.bottom());
        Painter.drawLine(X, FBand.top(), X, FBand.bottom());
    }
    Painter.setPen(LabelColor);
    for (int I = 0; I <= ValueDivisions; ++I) {
        const int Y = FPlot.bottom() - I * (FPlot.height() - 1) / ValueDivisions;
        const QString Text = QString::number(FMaxTrip * I / ValueDivisions) + QStringLiteral("ms");
        Painter.drawText(QRect(0, Y - Metrics.height() / 2, LeftMargin - 4, Metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, Text);
    }
    Painter.drawText(QRect(0, FBand.top(), LeftMargin - 4, FBand.height()),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("up %"));
    for (int I = 0; I <= TimeDivisions; ++I) {
        const int X = FPlot.left() + I * (FPlot.width() - 1) / TimeDivisions;
        const QString Text = TimeLabel(InstantOf(X), Span);
        const int Width = Metrics.horizontalAdvance(Text);
        const int Left = std::clamp(X - Width / 2, 0, Picture.width() - Width);
        Painter.drawText(Left, FBand.bottom() + 2 + Metrics.ascent(), Text);
    }

    // Round trips, the uptime band and the failures.
    const auto YOf = [&](double Trip) {
        const double Part = std::min(1.0, Trip / FMaxTrip);
        return FPlot.bottom() - 1 - int(std::lround(Part * (FPlot.height() - 3)));
    };
    QPoint Previous(-1, -1);
    for (int X = 0; X < FPlot.width(); ++X) {
        const TColumn& Column = Columns[std::size_t(X)];
        if (!Column.Any) {
            Previous = QPoint(-1, -1);
            continue;
        }
        const int Px = FPlot.left() + X;
        const int Full = FBand.height() - 2;
        const int Up = int(std::lround(Full * std::clamp(Column.UptimeMin, 0.0, 100.0) / 100));
        Painter.setPen(UptimeColor);
        if (Up > 0) {
            Painter.drawLine(Px, FBand.bottom() - 1, Px, FBand.bottom() - Up);
        }
        if (Up < Full) {
            Painter.setPen(FailureColor);
            Painter.drawLine(Px, FBand.top() + 1, Px, FBand.bottom() - 1 - Up);
        }
        if (Column.AnyFailed) {
            Painter.setPen(FailureColor);
            Painter.drawLine(Px, FPlot.bottom() - 1, Px, FPlot.bottom() - 6);
        }
        if (Column.Trips == 0) {
            Previous = QPoint(-1, -1);
            continue;
        }
        if (Column.TripMax > Column.TripMin) {
            Painter.setPen(TripRangeColor);
            Painter.drawLine(Px, YOf(Column.TripMin), Px, YOf(Column.TripMax));
        }
        const QPoint Here(Px, YOf(Column.TripSum / Column.Trips));
        Painter.setPen(TripColor);
        if (Previous.x() >= 0) {
            Painter.drawLine(Previous, Here);
        } else {
            Painter.drawPoint(Here);
        }
        Previous = Here;
    }
    return Picture;
}

int THistoryGraph::RecordAt(const std::vector<THistoryRecord>& Records, int X) const {
    if (Records.empty() || X < FPlot.left() || X > FPlot.right()) {
        return -1;
    }
    const std::int64_t At = InstantOf(X);
    const auto It = std::lower_bound(
        Records.begin(), Records.end(), At,
        [](const THistoryRecord& R, std::int64_t Time) { return R.UnixSeconds < Time; });
    int Best = -1;
    for (auto Candidate : {It, It == Records.begin() ? It : It - 1}) {
        if (Candidate == Records.end()) {
            continue;
        }
        const int Index = int(Candidate - Records.begin());
        if (Best < 0 || std::llabs(Candidate->UnixSeconds - At) <
                            std::llabs(Records[std::size_t(Best)].UnixSeconds - At)) {
            Best = Index;
        }
    }
    // Near: within three columns of the pointer.
    if (Best >= 0 && std::abs(ColumnOf(Records[std::size_t(Best)].UnixSeconds) - X) > 3) {
        return -1;
    }
    return Best;
}

QString THistoryGraph::Describe(const THistoryRecord& Record) {
    const QString When = QDateTime::fromSecsSinceEpoch(Record.UnixSeconds)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString Trip = Record.Failed()
                             ? QStringLiteral("no reply")
                             : QStringLiteral("%1 ms").arg(double(Record.AvgTrip), 0, 'g', 6);
    return QStringLiteral("%1\nMean round trip: %2\nUptime: %3 %")
        .arg(When, Trip)
        .arg(double(Record.UptimePct), 0, 'g', 6);
}

#include "uFrmPath.h"

#include "uPingerGraph.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <thread>

namespace {

// The monitor graphs' colours (0xAARRGGBB).
constexpr QRgb Fill = 0xFF000000;
constexpr QRgb Frame = 0xFF406080;
constexpr QRgb Success = 0xFF20FF10;
constexpr QRgb Failure = 0xFFFF4010;
constexpr QRgb Unanswered = 0xFF808080; // a hop that limits its replies: no loss
constexpr QRgb Changed = 0xFF00C0FF;    // the address text's colour

QString Ms(const TPathHop& Hop, double TPathHop::*Field) {
    return Hop.HasTimes ? QString::number(Hop.*Field, 'f', 1) : QStringLiteral("-");
}

// Paints the timeline image kept in the cell.
class TTimelineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override {
        const QImage Image = Index.data(Qt::UserRole).value<QImage>();
        if (Image.isNull())
            return;
        const QRect Cell = Option.rect.adjusted(2, 2, -2, -2);
        const QRect Target(Cell.left(), Cell.top() + (Cell.height() - Image.height()) / 2,
                           std::min(Image.width(), Cell.width()), Image.height());
        Painter->drawImage(
            Target, Image,
            QRect(Image.width() - Target.width(), 0, Target.width(), Image.height()));
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {TfrmPath::TimelineWidth + 4, TfrmPath::TimelineHeight + 4};
    }
};

} // namespace

QImage DrawPathTimeline(const TPathHop& Hop, int Width, int Height) {
    QImage Image(std::max(Width, 3), std::max(Height, 3), QImage::Format_ARGB32);
    Image.fill(Fill);
    const int W = Image.width(), H = Image.height();
    for (int X = 0; X < W; ++X) {
        Image.setPixel(X, 0, Frame);
        Image.setPixel(X, H - 1, Frame);
    }
    for (int Y = 0; Y < H; ++Y) {
        Image.setPixel(0, Y, Frame);
        Image.setPixel(W - 1, Y, Frame);
    }
    const int Inner = H - 2;
    const double Top = std::max(1.0, Hop.WorstMs);
    // One column a round, the newest at the right edge.
    int X = W - 2;
    for (auto It = Hop.Timeline.rbegin(); It != Hop.Timeline.rend() && X >= 1; ++It, --X) {
        if (It->PathChanged) {
            for (int Y = 1; Y <= Inner; ++Y)
                Image.setPixel(X, Y, Changed);
            continue;
        }
        if (It->RoundTrip < 0) {
            const QRgb Mark = Hop.LimitsReplies ? Unanswered : Failure;
            for (int Y = std::max(1, Inner - 4); Y <= Inner; ++Y)
                Image.setPixel(X, Y, Mark);
            continue;
        }
        // At least one pixel, so an answer of 0 ms shows.
        const int Bar = std::clamp(int(It->RoundTrip / Top * (Inner - 1)) + 1, 1, Inner);
        for (int Y = Inner - Bar + 1; Y <= Inner; ++Y)
            Image.setPixel(X, Y, Success);
    }
    return Image;
}

struct TfrmPath::TMailbox {
    std::mutex Lock;
    bool Closed = false;
};

TfrmPath::TfrmPath(const TPathAddress& Target, const QString& Title, int PeriodMs, int TimeoutMs,
                   QWidget* Parent, TPathProber::TEcho Echo, TReverseNames::TLookup Lookup)
    : QWidget(Parent, Qt::Window), FTarget(Target), FMailbox(std::make_shared<TMailbox>()),
      FNames(std::make_unique<TReverseNames>(std::move(Lookup))) {
    setObjectName(QStringLiteral("frmPath"));
    setWindowTitle(QStringLiteral("Vantorel : Path to %1").arg(Title));
    resize(900, 360);
    auto* Layout = new QVBoxLayout(this);
    FTable = new QTableWidget(0, ColumnCount, this);
    FTable->setObjectName(QStringLiteral("tblHops"));
    FTable->setHorizontalHeaderLabels({QStringLiteral("Hop"), QStringLiteral("Address"),
                                       QStringLiteral("Loss %"), QStringLiteral("Sent"),
                                       QStringLiteral("Last"), QStringLiteral("Average"),
                                       QStringLiteral("Best"), QStringLiteral("Worst"),
                                       QStringLiteral("StDev"), QStringLiteral("Timeline")});
    FTable->verticalHeader()->hide();
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setItemDelegateForColumn(colTimeline, new TTimelineDelegate(FTable));
    FTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    FTable->horizontalHeader()->setSectionResizeMode(colTimeline, QHeaderView::Stretch);
    FTable->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Layout->addWidget(FTable);
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("lbPathStatus"));
    Layout->addWidget(FStatus);

    if (!FTarget) {
        FStatus->setText(QStringLiteral("The monitor has no address yet: there is no path to "
                                        "show."));
        return;
    }
    FStatus->setText(
        QStringLiteral("Probing the path to %1...").arg(QString::fromStdString(FTarget.Text())));
    const QPointer<TfrmPath> Self(this);
    std::shared_ptr<TMailbox> Mailbox = FMailbox;
    FNames->SetOnFound([Self, Mailbox] {
        std::lock_guard Guard(Mailbox->Lock);
        if (!Mailbox->Closed)
            QMetaObject::invokeMethod(
                Self.data(), [Self] { Self->ShowNames(); }, Qt::QueuedConnection);
    });
    FProber = std::make_unique<TPathProber>(FTarget, std::max(PeriodMs, 50),
                                            std::uint32_t(std::max(TimeoutMs, 1)), SystemClock(),
                                            std::move(Echo));
    // On a prober thread: the snapshot travels to the window's thread by value. The window's
    // destructor closes the mailbox first, so no call reaches a window that is gone.
    FProber->SetOnRound([Self, Mailbox](const TPathSnapshot& Snapshot) {
        std::lock_guard Guard(Mailbox->Lock);
        if (!Mailbox->Closed)
            QMetaObject::invokeMethod(
                Self.data(), [Self, Snapshot] { Self->ShowSnapshot(Snapshot); },
                Qt::QueuedConnection);
    });
    FProber->Start();
}

TfrmPath::~TfrmPath() {
    {
        std::lock_guard Guard(FMailbox->Lock);
        FMailbox->Closed = true;
    }
    if (FProber) {
        // Stopping waits for requests still under way (up to a timeout): not on this thread.
        std::thread([Prober = std::move(FProber)]() mutable { Prober.reset(); }).detach();
    }
}

QString TfrmPath::StatusText() const {
    return FStatus->text();
}

QImage TfrmPath::Timeline(int Hop) const {
    return Hop >= 1 && Hop <= int(FTimelines.size()) ? FTimelines[std::size_t(Hop - 1)] : QImage();
}

void TfrmPath::ShowNames() {
    ShowSnapshot(FSnapshot);
}

void TfrmPath::ShowSnapshot(const TPathSnapshot& Snapshot) {
    FSnapshot = Snapshot;
    FTable->setRowCount(int(Snapshot.Hops.size()));
    FTimelines.clear();
    auto Set = [&](int Row, int Column, const QString& Text, const QString& Tip = {}) {
        QTableWidgetItem* Item = FTable->item(Row, Column);
        if (!Item) {
            Item = new QTableWidgetItem;
            if (Column != colAddress)
                Item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            FTable->setItem(Row, Column, Item);
        }
        if (Item->text() != Text)
            Item->setText(Text);
        Item->setToolTip(Tip);
        return Item;
    };
    for (int Row = 0; Row < int(Snapshot.Hops.size()); ++Row) {
        const TPathHop& Hop = Snapshot.Hops[std::size_t(Row)];
        Set(Row, colHop, QString::number(Hop.Hop));
        // Several addresses at one hop (load balancing): one line each, in the order first seen.
        QStringList Lines, Tips;
        for (const TPathHopAddress& A : Hop.Addresses) {
            const QString Address = QString::fromStdString(A.Address.Text());
            const QString Name = QString::fromStdString(FNames->Name(A.Address));
            Lines.append(Name.isEmpty() ? Address : QStringLiteral("%1 (%2)").arg(Name, Address));
            Tips.append(QStringLiteral("%1: %2 of %3 answers")
                            .arg(Address)
                            .arg(A.Answers)
                            .arg(Hop.Received));
        }
        Set(Row, colAddress,
            Lines.isEmpty() ? QStringLiteral("???") : Lines.join(QLatin1Char('\n')),
            Lines.size() > 1 ? QStringLiteral("Several routers answer at this hop (load "
                                              "balancing):\n") +
                                   Tips.join(QLatin1Char('\n'))
                             : Tips.join(QLatin1Char('\n')));
        if (Hop.LimitsReplies) {
            QTableWidgetItem* Item = Set(
                Row, colLoss, QStringLiteral("limits its replies"),
                QStringLiteral("%1% of the requests that ran out at this hop got no answer, but "
                               "hop %2 beyond it loses only %3%: the router limits the replies it "
                               "sends, while the traffic through it passes on. Its loss on the "
                               "way is %4%.")
                    .arg(QString::number(Hop.LossPercent, 'f', 1))
                    .arg(Hop.ComparedHop)
                    .arg(QString::number(Hop.ComparedLossPercent, 'f', 1))
                    .arg(QString::number(Hop.ContinuingLossPercent, 'f', 1)));
            Item->setForeground(QColor(128, 128, 128));
        } else {
            QTableWidgetItem* Item = Set(Row, colLoss, QString::number(Hop.LossPercent, 'f', 1));
            Item->setForeground(Hop.LossPercent > 0 ? QColor(208, 32, 0) : QColor(0, 160, 0));
        }
        Set(Row, colSent, QString::number(Hop.Sent));
        Set(Row, colLast, Ms(Hop, &TPathHop::LastMs));
        Set(Row, colAverage, Ms(Hop, &TPathHop::AverageMs));
        Set(Row, colBest, Ms(Hop, &TPathHop::BestMs));
        Set(Row, colWorst, Ms(Hop, &TPathHop::WorstMs));
        Set(Row, colStDev, Ms(Hop, &TPathHop::StDevMs));
        FTimelines.push_back(DrawPathTimeline(Hop, TimelineWidth, TimelineHeight));
        QTableWidgetItem* Timeline = Set(Row, colTimeline, QString());
        Timeline->setData(Qt::UserRole, FTimelines.back());
    }
    QString Status = QStringLiteral("%1 rounds to %2")
                         .arg(Snapshot.Rounds)
                         .arg(QString::fromStdString(FTarget.Text()));
    if (!Snapshot.DestinationReached)
        Status += QStringLiteral("; the destination has not answered");
    if (Snapshot.PathChanges > 0)
        Status +=
            QStringLiteral("; the path changed %1 %2, last at %3 (marked in the timelines)")
                .arg(Snapshot.PathChanges)
                .arg(Snapshot.PathChanges == 1 ? QStringLiteral("time") : QStringLiteral("times"))
                .arg(QDateTime::currentDateTime()
                         .addMSecs(Snapshot.LastChangeMs - SystemClock()->MonoMs())
                         .toString(QStringLiteral("HH:mm:ss")));
    FStatus->setText(Status + QLatin1Char('.'));
}

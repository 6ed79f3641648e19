#include "uMonitorListModel.h"

#include "uMonitorHub.h"
#include "uPingerSession.h"

#include "zsNetworkConversions.h"
#include "zsPingStatus.h"
#include "zsRound.h"

#include <QAbstractEventDispatcher>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cstring>
#include <utility>

#include <arpa/inet.h>

namespace {

constexpr std::uint32_t NotAvailableKey = 65535;
// A loop that never waits (a flood of results) still shows the rows this often.
constexpr qint64 LongestUntoldMs = 100;

QString Ms(long long Value) {
    return QString::number(Value) + QStringLiteral("(ms)");
}

// 16 x 16: a red square with a white arrow down (offline) or a green one with an arrow up.
QIcon RowImage(bool Up) {
    QPixmap Picture(16, 16);
    Picture.fill(Qt::transparent);
    QPainter P(&Picture);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    P.setBrush(Up ? QColor(0, 160, 0) : QColor(200, 0, 0));
    P.drawRoundedRect(QRectF(1, 1, 14, 14), 2, 2);
    P.setBrush(Qt::white);
    const QPolygonF Arrow =
        Up ? QPolygonF({QPointF(8, 3), QPointF(13, 9), QPointF(10, 9), QPointF(10, 13),
                        QPointF(6, 13), QPointF(6, 9), QPointF(3, 9)})
           : QPolygonF({QPointF(8, 13), QPointF(13, 7), QPointF(10, 7), QPointF(10, 3),
                        QPointF(6, 3), QPointF(6, 7), QPointF(3, 7)});
    P.drawPolygon(Arrow);
    P.end();
    return QIcon(Picture);
}

} // namespace

TMonitorRow MakeMonitorRow(const TMonitorSnapshot& Snapshot) {
    return MakeMonitorRow(Snapshot.DisplayName, Snapshot.LastEvent, Snapshot.Uptime, Snapshot.Min,
                          Snapshot.Max, Snapshot.Avg);
}

TMonitorRow MakeMonitorRow(const std::string& DisplayName, const TPingEvent& Last, double Uptime,
                           std::int32_t Min, std::int32_t Max, double Avg) {
    TMonitorRow Row;
    Row.Success = Last.Success;
    Row.Caption = QString::fromStdString(DisplayName);
    Row.Target = QString::fromStdString(Last.Target);
    Row.SubItems[0] = QString::fromStdString(Last.IPAddress);
    Row.Keys[0] = NetToHostLong(AddrFromText(Last.IPAddress));
    // Every text gives the key 0xFFFFFFFF but that one address.
    if (Row.Keys[0] == 0xFFFFFFFFu && Last.IPAddress != "255.255.255.255") {
        const std::string Bare = Last.IPAddress.substr(0, Last.IPAddress.find('%'));
        in6_addr Ipv6{};
        const bool IsIpv6 = ::inet_pton(AF_INET6, Bare.c_str(), &Ipv6) == 1;
        Row.AddressRank = IsIpv6 ? 1 : 2;
        if (IsIpv6)
            std::memcpy(Row.Address6.data(), &Ipv6, sizeof Ipv6);
    }
    Row.SubItems[1] = QString::fromStdString(StatusName(Last.Status));
    const long long UptimeRounded = RoundHalfEven(Uptime);
    Row.SubItems[2] = QString::number(UptimeRounded) + QLatin1Char('%');
    Row.Keys[2] = static_cast<std::uint32_t>(UptimeRounded);
    Row.SubItems[3] = Last.RoundTrip >= 0 ? Ms(Last.RoundTrip) : QStringLiteral("N/A");
    Row.Keys[3] = static_cast<std::uint32_t>(Last.RoundTrip);
    if (Uptime > 0) {
        const long long AvgRounded = RoundHalfEven(Avg);
        Row.SubItems[4] = Ms(Min);
        Row.Keys[4] = static_cast<std::uint32_t>(Min);
        Row.SubItems[5] = Ms(Max);
        Row.Keys[5] = static_cast<std::uint32_t>(Max);
        Row.SubItems[6] = Ms(AvgRounded);
        Row.Keys[6] = static_cast<std::uint32_t>(AvgRounded);
    } else {
        for (int I = 4; I <= 6; ++I) {
            Row.SubItems[std::size_t(I)] = QStringLiteral("N/A");
            Row.Keys[std::size_t(I)] = NotAvailableKey;
        }
    }
    return Row;
}

int CompareListText(const QString& A, const QString& B) {
    const auto Fold = [](char16_t C) -> char16_t {
        return C >= u'a' && C <= u'z' ? char16_t(C - (u'a' - u'A')) : C;
    };
    const qsizetype N = std::min(A.size(), B.size());
    for (qsizetype I = 0; I < N; ++I) {
        const char16_t CA = Fold(A[I].unicode());
        const char16_t CB = Fold(B[I].unicode());
        if (CA != CB) {
            return CA < CB ? -1 : 1;
        }
    }
    return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

int lvPingersCompare(const TMonitorRow& Row1, const TMonitorRow& Row2, int SortColumn,
                     bool SortDescending) {
    int Result;
    if (SortColumn == 0) {
        Result = CompareListText(Row1.Caption, Row2.Caption);
    } else if (SortColumn == 1 && Row1.AddressRank != Row2.AddressRank) {
        // Ranks apart even where the keys agree (255.255.255.255 and a text that is no
        // address both have the key 0xFFFFFFFF), so that the order stays a strict one.
        Result = Row1.AddressRank < Row2.AddressRank ? -1 : 1;
    } else if (SortColumn == 1 && Row1.AddressRank == 1) {
        if (Row1.Address6 != Row2.Address6)
            Result = Row1.Address6 < Row2.Address6 ? -1 : 1;
        else
            Result = CompareListText(Row1.SubItems[0], Row2.SubItems[0]); // the zones
    } else if (SortColumn == 2) {
        Result = CompareListText(Row1.SubItems[1], Row2.SubItems[1]);
    } else if (SortColumn > 0 && SortColumn < MonitorListColumnCount) {
        const std::uint32_t K1 = Row1.Keys[std::size_t(SortColumn - 1)];
        const std::uint32_t K2 = Row2.Keys[std::size_t(SortColumn - 1)];
        Result = K1 < K2 ? -1 : (K1 > K2 ? 1 : 0);
    } else {
        Result = 0;
    }
    return SortDescending ? -Result : Result;
}

TMonitorListModel::TMonitorListModel(QObject* Parent) : QAbstractTableModel(Parent) {
    FImages[0] = RowImage(false);
    FImages[1] = RowImage(true);
    if (QAbstractEventDispatcher* Loop = QAbstractEventDispatcher::instance(thread())) {
        connect(Loop, &QAbstractEventDispatcher::aboutToBlock, this,
                &TMonitorListModel::FlushChanges);
        FFlushedByLoop = true;
    }
}

void TMonitorListModel::RowChanged(int Index) {
    if (FChangedFirst < 0) {
        FChangedFirst = FChangedLast = Index;
        FChangedSince.start();
    } else {
        FChangedFirst = std::min(FChangedFirst, Index);
        FChangedLast = std::max(FChangedLast, Index);
    }
    if (!FFlushedByLoop || FChangedSince.elapsed() >= LongestUntoldMs) {
        FlushChanges();
    }
}

void TMonitorListModel::FlushChanges() {
    if (FChangedFirst < 0) {
        return;
    }
    const int First = std::exchange(FChangedFirst, -1);
    const int Last = std::exchange(FChangedLast, -1);
    emit dataChanged(index(First, 0), index(Last, MonitorListColumnCount - 1));
}

int TMonitorListModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TMonitorListModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : MonitorListColumnCount;
}

QString TMonitorListModel::ColumnCaption(int Column) {
    static const char* const Captions[MonitorListColumnCount] = {
        "Host Name", "IP Address", "Ping Status", "Uptime",
        "Trip(ms)",  "Low(ms)",    "High(ms)",    "Avg(ms)"};
    return Column >= 0 && Column < MonitorListColumnCount ? QString::fromLatin1(Captions[Column])
                                                          : QString();
}

int TMonitorListModel::ColumnWidth(int Column) {
    static const int Widths[MonitorListColumnCount] = {100, 70, 90, 50, 50, 55, 60, 55};
    return Column >= 0 && Column < MonitorListColumnCount ? Widths[Column] : 0;
}

Qt::Alignment TMonitorListModel::ColumnAlignment(int Column) {
    const bool Left = Column == 0 || Column == 2;
    return (Left ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter;
}

QVariant TMonitorListModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= rowCount() || Index.column() >= MonitorListColumnCount) {
        return {};
    }
    const TMonitorRow& Row = FRows[std::size_t(Index.row())].Row;
    switch (Role) {
    case Qt::DisplayRole:
        return Index.column() == 0 ? Row.Caption : Row.SubItems[std::size_t(Index.column() - 1)];
    case Qt::DecorationRole:
        return Index.column() == 0 ? QVariant(FImages[Row.Success ? 1 : 0]) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(ColumnAlignment(Index.column()));
    case Qt::ToolTipRole:
        // The cells are cut to their columns' widths; the tooltip has the name whole.
        return MonitorToolTip(Row.Caption, Row.Target, Row.SubItems[0]);
    default:
        return {};
    }
}

QVariant TMonitorListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal) {
        return {};
    }
    if (Role == Qt::DisplayRole) {
        return ColumnCaption(Section);
    }
    if (Role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(ColumnAlignment(Section));
    }
    return {};
}

void TMonitorListModel::Watch(const TMonitorHub& Hub) {
    const auto Refresh = [this](TPingerSession* Monitor) {
        UpdateRow(Monitor, MakeMonitorRow(Monitor->Snapshot()));
    };
    connect(&Hub, &TMonitorHub::MonitorAdded, this, Refresh);
    connect(&Hub, &TMonitorHub::MonitorUpdated, this, Refresh);
    connect(&Hub, &TMonitorHub::MonitorRenamed, this, Refresh);
    connect(&Hub, &TMonitorHub::MonitorRemoved, this,
            [this](TPingerSession* Monitor) { RemoveRow(Monitor); });
    for (int I = 0; I < Hub.Count(); ++I) {
        Refresh(Hub.Monitor(I));
    }
}

int TMonitorListModel::RowOf(const TPingerSession* Monitor) const {
    if (FRowOfStale) {
        FRowOf.clear();
        FRowOf.reserve(qsizetype(FRows.size()));
        for (std::size_t I = 0; I < FRows.size(); ++I) {
            FRowOf.insert(FRows[I].Monitor, static_cast<int>(I));
        }
        FRowOfStale = false;
    }
    return FRowOf.value(Monitor, -1);
}

void TMonitorListModel::HoldSorting(bool Hold) {
    FSortingHeld = Hold;
    if (!Hold && std::exchange(FSortPending, false)) {
        Resort();
    }
}

TPingerSession* TMonitorListModel::MonitorAt(int Row) const {
    return Row >= 0 && Row < rowCount() ? FRows[std::size_t(Row)].Monitor : nullptr;
}

int TMonitorListModel::UpdateRow(TPingerSession* Monitor, const TMonitorRow& Row) {
    int Index = RowOf(Monitor);
    bool Resorting;
    if (Index < 0) {
        FlushChanges(); // told by the rows they were
        Index = rowCount();
        beginInsertRows(QModelIndex(), Index, Index);
        FRows.push_back(TEntry{Monitor, Row});
        if (!FRowOfStale) {
            FRowOf.insert(Monitor, Index);
        }
        endInsertRows();
        Resorting = true; // a new row receives its first caption
    } else {
        TMonitorRow& Old = FRows[std::size_t(Index)].Row;
        // A result that changes nothing in the row (the common case) costs the view nothing.
        if (Old.Success == Row.Success && Old.Caption == Row.Caption && Old.Target == Row.Target &&
            Old.SubItems == Row.SubItems && Old.Keys == Row.Keys) {
            return Index;
        }
        Resorting = Old.Caption != Row.Caption;
        Old = Row;
        RowChanged(Index);
    }
    if (Resorting && FSortingHeld) {
        FSortPending = true;
    } else if (Resorting) {
        Resort();
        Index = RowOf(Monitor);
    }
    return Index;
}

void TMonitorListModel::RemoveRow(const TPingerSession* Monitor) {
    const int Index = RowOf(Monitor);
    if (Index < 0) {
        return;
    }
    FlushChanges();
    beginRemoveRows(QModelIndex(), Index, Index);
    FRows.erase(FRows.begin() + Index);
    FRowOfStale = true;
    endRemoveRows();
}

void TMonitorListModel::ColumnClick(int Column) {
    if (Column == FSortColumn) {
        FSortDescending = !FSortDescending;
    } else {
        FSortColumn = Column;
        FSortDescending = false;
    }
    Resort();
}

void TMonitorListModel::Resort() {
    std::vector<std::size_t> Order(FRows.size());
    for (std::size_t I = 0; I < Order.size(); ++I) {
        Order[I] = I;
    }
    std::stable_sort(Order.begin(), Order.end(), [this](std::size_t A, std::size_t B) {
        return lvPingersCompare(FRows[A].Row, FRows[B].Row, FSortColumn, FSortDescending) < 0;
    });
    if (std::is_sorted(Order.begin(), Order.end())) {
        return;
    }
    FlushChanges();
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<TEntry> Sorted;
    Sorted.reserve(FRows.size());
    std::vector<int> NewRowOf(FRows.size());
    for (std::size_t I = 0; I < Order.size(); ++I) {
        NewRowOf[Order[I]] = static_cast<int>(I);
        Sorted.push_back(std::move(FRows[Order[I]]));
    }
    FRows = std::move(Sorted);
    FRowOfStale = true;
    const QModelIndexList Old = persistentIndexList();
    QModelIndexList New;
    New.reserve(Old.size());
    for (const QModelIndex& I : Old) {
        New.append(index(NewRowOf[std::size_t(I.row())], I.column()));
    }
    changePersistentIndexList(Old, New);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

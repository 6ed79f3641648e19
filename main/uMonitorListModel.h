// The list view's rows: one per monitor, with the cell texts and sort keys computed from the
// monitor's last result and statistics, kept in display order by the list's own sort rules.
//
//   TMonitorListModel Model;
//   Model.Watch(Hub);                  // a row per monitor of the hub, refreshed on its results
//   view->setModel(&Model);
//
// Rows are keyed by the monitor's session and made from its snapshot (TMonitorSnapshot): the
// model reads no window and takes no monitor lock.
// A refresh rewrites one row and never moves it; the rows are sorted again only when the sort
// column or direction changes and when a row's caption changes (a new row's first caption
// included). Rows that compare equal keep their order. The view hears of refreshed rows once
// per pass of the event loop, before it waits: one dataChanged over the rows changed since.
#pragma once

#include "zsPingLoopThread.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

class TMonitorHub;
class TPingerSession;
struct TMonitorSnapshot;

constexpr int MonitorListColumnCount = 8;

// One row's contents: the caption (column 0) and the seven sub-items with their keys.
struct TMonitorRow {
    bool Success = false; // row image: up arrow when true
    QString Caption;
    QString Target; // what the last result pinged (none before the first)
    std::array<QString, MonitorListColumnCount - 1> SubItems;
    std::array<std::uint32_t, MonitorListColumnCount - 1> Keys{};
    // The address column's order beyond Keys[0]: IPv4 addresses (by Keys[0]), then IPv6 ones
    // (by Address6, then by zone text), then texts that are no address.
    std::uint8_t AddressRank = 0;
    std::array<std::uint8_t, 16> Address6{};
};

// The row of a monitor whose last result and statistics are these.
TMonitorRow MakeMonitorRow(const std::string& DisplayName, const TPingEvent& Last, double Uptime,
                           std::int32_t Min, std::int32_t Max, double Avg);
TMonitorRow MakeMonitorRow(const TMonitorSnapshot& Snapshot);

// The list's comparison: captions or status texts compared with a-z folded to A-Z only, the
// address column IPv4 before IPv6, each in numeric order, the other columns by their keys as
// unsigned numbers; negated when descending.
int lvPingersCompare(const TMonitorRow& Row1, const TMonitorRow& Row2, int SortColumn,
                     bool SortDescending);
int CompareListText(const QString& A, const QString& B);

class TMonitorListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit TMonitorListModel(QObject* Parent = nullptr);

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

    static QString ColumnCaption(int Column);
    static int ColumnWidth(int Column);
    static Qt::Alignment ColumnAlignment(int Column);

    // Keeps a row for every monitor of Hub from now on: added, refreshed on each result and new
    // name, removed when the monitor goes. Hub must outlive the model or be destroyed first.
    void Watch(const TMonitorHub& Hub);
    // Adds the monitor's row or refreshes it in place (re-sorting only when its caption changed
    // or, before the first header click, when it is new). Returns the row's index afterwards.
    int UpdateRow(TPingerSession* Monitor, const TMonitorRow& Row);
    void RemoveRow(const TPingerSession* Monitor);
    int RowOf(const TPingerSession* Monitor) const;
    TPingerSession* MonitorAt(int Row) const;
    const TMonitorRow& RowAt(int Row) const { return FRows[std::size_t(Row)].Row; }

    // While held, the re-sorting that new rows and new captions call for waits; releasing the
    // hold sorts once (opening or closing many monitors sorts once instead of per row).
    void HoldSorting(bool Hold);

    // Tells the view of the rows refreshed since it was last told (the event loop does this
    // before it waits, so results handled in one pass repaint the list once).
    void FlushChanges();

    // A header click: the same column flips the direction, another sorts ascending by it.
    void ColumnClick(int Column);
    int SortColumn() const { return FSortColumn; }
    bool SortDescending() const { return FSortDescending; }

private:
    struct TEntry {
        TPingerSession* Monitor;
        TMonitorRow Row;
    };
    void Resort();
    void RowChanged(int Index);

    std::vector<TEntry> FRows;
    // Row of each monitor, made afresh after rows were removed or moved.
    mutable QHash<const TPingerSession*, int> FRowOf;
    mutable bool FRowOfStale = false;
    bool FSortingHeld = false;
    bool FSortPending = false;
    int FSortColumn = 0;
    bool FSortDescending = false;
    QIcon FImages[2]; // 0 offline, 1 online
    // Rows refreshed but not yet told to the view, and since when.
    int FChangedFirst = -1;
    int FChangedLast = -1;
    QElapsedTimer FChangedSince;
    bool FFlushedByLoop = false; // the event loop flushes before it waits
};

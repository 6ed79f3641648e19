// The main window's running monitors, kept in one list sorted by target, and the arithmetic of
// the tile panel. Both are plain data so that their rules can be checked without windows.
//
//   TMonitorList Monitors;
//   if (Monitors.IndexOf(Target) < 0) Monitors.Add(Target, Monitor);   // sorted on insert
//   const TTileLayout L = TileLayout(Monitors.Count(), PanelRight->height());
//   PanelRight->setFixedWidth(L.PanelWidth);
#pragma once

#include <QCollator>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <vector>

class TPingerSession;

// Targets exactly as typed, each with its monitor, sorted without regard to letter case
// in the user's locale. The list itself accepts equal targets; the main window never adds one.
class TMonitorList {
public:
    TMonitorList();

    int Count() const { return static_cast<int>(FItems.size()); }
    const QString& Target(int Index) const { return FItems[std::size_t(Index)].Target; }
    TPingerSession* Monitor(int Index) const { return FItems[std::size_t(Index)].Monitor; }

    // Inserts at the place the sort order gives (after equal targets) and returns that index.
    int Add(const QString& Target, TPingerSession* Monitor);
    // The first entry whose target compares equal to Target, or -1.
    int IndexOf(const QString& Target) const;
    int IndexOfMonitor(const TPingerSession* Monitor) const;
    void Delete(int Index);
    QStringList Targets() const;

    // <0, 0 or >0 as A sorts before, with or after B.
    int Compare(const QString& A, const QString& B) const;

private:
    struct TItem {
        QString Target;
        TPingerSession* Monitor;
    };
    QCollator FCollator;
    std::vector<TItem> FItems;
};

// Where the tiles of Count monitors go in a tile panel of PanelHeight pixels: one monitor sits in
// the main panel, the others fill columns of 240-pixel tiles from top to bottom.
struct TTileLayout {
    static constexpr int TileWidth = 240;
    static constexpr int MinTileHeight = 170;

    int Rows = 0;
    int Columns = 0;
    int PanelWidth = 0; // the tile panel's client width
    int TileHeight = 0;
    std::vector<QPoint> Places; // top-left of each tile in order (main-panel monitor skipped)
};

TTileLayout TileLayout(int Count, int PanelHeight);

#include "uMonitorCollection.h"

#include <QLocale>

#include <algorithm>

TMonitorList::TMonitorList() : FCollator(QLocale()) {
    FCollator.setCaseSensitivity(Qt::CaseInsensitive);
}

int TMonitorList::Compare(const QString& A, const QString& B) const {
    return FCollator.compare(A, B);
}

int TMonitorList::Add(const QString& Target, TPingerSession* Monitor) {
    const auto Place = std::upper_bound(
        FItems.begin(), FItems.end(), Target,
        [this](const QString& T, const TItem& I) { return Compare(T, I.Target) < 0; });
    const auto Index = Place - FItems.begin();
    FItems.insert(Place, TItem{Target, Monitor});
    return static_cast<int>(Index);
}

int TMonitorList::IndexOf(const QString& Target) const {
    const auto Place = std::lower_bound(
        FItems.begin(), FItems.end(), Target,
        [this](const TItem& I, const QString& T) { return Compare(I.Target, T) < 0; });
    if (Place != FItems.end() && Compare(Place->Target, Target) == 0) {
        return static_cast<int>(Place - FItems.begin());
    }
    return -1;
}

int TMonitorList::IndexOfMonitor(const TPingerSession* Monitor) const {
    for (std::size_t I = 0; I < FItems.size(); ++I) {
        if (FItems[I].Monitor == Monitor) {
            return static_cast<int>(I);
        }
    }
    return -1;
}

void TMonitorList::Delete(int Index) {
    if (Index >= 0 && Index < Count()) {
        FItems.erase(FItems.begin() + Index);
    }
}

QStringList TMonitorList::Targets() const {
    QStringList List;
    List.reserve(Count());
    for (const TItem& I : FItems) {
        List.append(I.Target);
    }
    return List;
}

TTileLayout TileLayout(int Count, int PanelHeight) {
    TTileLayout L;
    if (Count < 2) {
        return L;
    }
    // The window's minimum size leaves room for two rows; a smaller panel still gets one.
    L.Rows = std::max(1, PanelHeight / TTileLayout::MinTileHeight);
    L.Columns = (Count - 1 + L.Rows - 1) / L.Rows;
    L.PanelWidth = L.Columns * TTileLayout::TileWidth;
    L.TileHeight = PanelHeight / L.Rows;
    int Y = 0;
    int Column = 0;
    for (int I = 0; I < Count - 1; ++I) {
        if (PanelHeight < Y + L.TileHeight) {
            Y = 0;
            ++Column;
        }
        L.Places.emplace_back(Column * TTileLayout::TileWidth, Y);
        Y += L.TileHeight;
    }
    return L;
}

// The main window's list view: its sorting, what selecting a row does, and showing the list or
// the tiles as the core's switch says.
#include "uFrmMain.h"

#include "uFrmPinger.h"
#include "uMonitorListModel.h"

#include <QHeaderView>
#include <QTreeView>

void TfrmMain::ShowSortIndicator() {
    lvPingers->header()->setSortIndicator(FListModel->SortColumn(), FListModel->SortDescending()
                                                                        ? Qt::DescendingOrder
                                                                        : Qt::AscendingOrder);
}

void TfrmMain::SelectMainPanelRow() {
    TPingerSession* Main = Hub().MainPanelMonitor();
    if (!Main || !FCore->ListView()) {
        return;
    }
    const int Row = FListModel->RowOf(Main);
    const QModelIndexList Selected = lvPingers->selectionModel()->selectedRows();
    if (Row >= 0 && (Selected.size() != 1 || Selected.first().row() != Row)) {
        lvPingers->setCurrentIndex(FListModel->index(Row, 0));
    }
}

void TfrmMain::RowSelected(TPingerSession* Monitor) {
    SetAllDrawEnabled(false);
    if (Monitor && Hub().IndexOf(Monitor) >= 0) {
        MoveToMainPanel(Monitor);
        Monitor->SetDrawEnabled(true);
    }
}

void TfrmMain::SetAllDrawEnabled(bool Enabled) {
    for (int I = 0; I < Hub().Count(); ++I) {
        Hub().Monitor(I)->SetDrawEnabled(Enabled);
    }
}

void TfrmMain::ShowListView(bool Shown) {
    if (!Shown) {
        TileArea->show();
        Splitter->hide();
        PanelList->hide();
        LayoutBody();
        SetAllDrawEnabled(true);
    } else {
        PanelList->show();
        TileArea->hide();
        Splitter->show();
        LayoutBody();
        SetAllDrawEnabled(false);
        if (FListModel->rowCount() > 0) {
            lvPingers->setCurrentIndex(FListModel->index(0, 0));
        }
    }
}

// The main window's list view: one row per monitor, its sorting, and the switch between the
// list and the tiles.
#include "uFrmMain.h"

#include "uFrmPinger.h"
#include "uMonitorListModel.h"

#include <QTreeView>

void TfrmMain::UpdateMonitorRow(TfrmPinger* Monitor) {
    TMonitorRow Row;
    {
        std::lock_guard<std::recursive_mutex> Guard(Monitor->StatsLock());
        Row = MakeMonitorRow(Monitor->DisplayName(), Monitor->LastEvent(), Monitor->Uptime(),
                             Monitor->Min(), Monitor->Max(), Monitor->Avg());
    }
    FListModel->UpdateRow(Monitor, Row);
}

void TfrmMain::lvPingersColumnClick(int Column) {
    FListModel->ColumnClick(Column);
}

void TfrmMain::lvPingersSelectItem(TfrmPinger* Monitor) {
    SetAllDrawEnabled(false);
    if (Monitor) {
        MoveToMainPanel(Monitor);
        Monitor->SetDrawEnabled(true);
    }
}

void TfrmMain::SetAllDrawEnabled(bool Enabled) {
    for (int I = 0; I < FMonitors.Count(); ++I) {
        FMonitors.Monitor(I)->SetDrawEnabled(Enabled);
    }
}

bool TfrmMain::ListViewShown() const {
    return PanelList->isVisibleTo(const_cast<TfrmMain*>(this));
}

void TfrmMain::ToggleView() {
    if (ListViewShown()) {
        PanelRight->show();
        Splitter->hide();
        PanelList->hide();
        LayoutBody();
        SetAllDrawEnabled(true);
    } else {
        PanelList->show();
        PanelRight->hide();
        Splitter->show();
        LayoutBody();
        SetAllDrawEnabled(false);
        if (FListModel->rowCount() > 0) {
            lvPingers->setCurrentIndex(FListModel->index(0, 0));
        }
    }
    if (FConfig) {
        FConfig->WriteListViewEnable(ListViewShown());
    }
}

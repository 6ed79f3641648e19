// The main window's monitor collection: adding, docking and tiling, closing.
#include "uFrmMain.h"

#include "uAlertCenter.h"
#include "uFrmFriendlyNames.h"
#include "uFrmHistory.h"
#include "uFrmPinger.h"
#include "uMonitorListModel.h"
#include "uStartup.h"
#include "zsHint.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"
#include "zsWorkerThread.h"

#include <QCursor>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>

#include <utility>

#include <algorithm>

namespace {

const QString GraphHint = QStringLiteral("Left Click to move to main panel.");

bool IsBlank(const QString& Text) {
    for (const QChar C : Text) {
        if (!C.isSpace()) {
            return false;
        }
    }
    return true;
}

// What config.ini cannot hold in a target: a line break would split the group's entry, a NUL
// would cut it short.
bool HasUnstorableCharacter(const QString& Text) {
    return std::any_of(Text.begin(), Text.end(),
                       [](QChar C) { return C == u'\n' || C == u'\r' || C == u'\0'; });
}

} // namespace

TfrmPinger* TfrmMain::FindMonitor(const QString& Target) const {
    const int Index = FMonitors.IndexOf(Target);
    return Index < 0 ? nullptr : FMonitors.Monitor(Index);
}

TfrmPinger* TfrmMain::MainPanelMonitor() const {
    for (int I = 0; I < FMonitors.Count(); ++I) {
        if (FMonitors.Monitor(I)->Tag == 1) {
            return FMonitors.Monitor(I);
        }
    }
    return nullptr;
}

void TfrmMain::AddMonitor(const QString& Target) {
    if (IsBlank(Target)) {
        return;
    }
    if (FMonitors.IndexOf(Target) >= 0) {
        TzsMessageBox::Warning(this,
                               QStringLiteral("The specified target is already being monitored."));
        return;
    }
    TfrmPinger* Mon = FMonitorFactory ? FMonitorFactory() : new TfrmPinger();
    // Nothing to draw until the layout shows it: a tile beyond the window's edge never does.
    Mon->SetGraphShown(false);
    // Each hook shows what it throws from inside itself: it runs within the monitor's events.
    Mon->Image32->OnMouseDown =
        ShowingErrors([this, Mon](Qt::MouseButton Button, Qt::KeyboardModifiers, QPoint) {
            MonitorGraphMouseDown(Mon, Button);
        });
    TzsHint::Set(Mon->Image32, GraphHint);
    TzsHint::SetShow(Mon->Image32, HintsEnabled());
    Mon->OnMonitorClosed =
        ShowingErrors([this](TPingerSession& S) { MonitorClosed(static_cast<TfrmPinger*>(&S)); });
    Mon->OnCloseClicked = ShowingErrors(
        [this](TPingerSession& S) { MonitorCloseClicked(static_cast<TfrmPinger*>(&S)); });
    Mon->OnMonitorUpdated =
        ShowingErrors([this](TPingerSession& S) { MonitorUpdated(static_cast<TfrmPinger*>(&S)); });
    Mon->SetLogWorker(FWorker.get());
    Mon->SetLogFolder(FLogFolder.toStdString());
    Mon->SetLogEnabled(LoggingEnabled());
    const QString Friendly = FFriendlyNames ? FFriendlyNames->FindFriendlyName(Target) : QString();
    Mon->BeginMonitor(Target.toStdString(), Friendly.toStdString());
    FSettings.ApplyTo(*Mon);
    UpdateMonitorRow(Mon);
    FMonitors.Add(Target, Mon);
    // A monitor starts as a tile; the first one takes the main panel. While monitors are added
    // in bulk, the layout shows the new ones once it has placed them.
    Mon->setParent(PanelRight);
    if (!FLayoutHeld) {
        Mon->show();
    }
    ArrangeMonitors();
}

// Tiles whose column starts beyond the right edge of the body can never be seen (the window
// does not scroll): they are hidden, so they draw nothing and hold no picture, until a wider
// window or a new layout brings them into view.
void TfrmMain::ShowTilesInView() {
    if (!PanelRight->isVisibleTo(this)) {
        return;
    }
    const int ViewRight = PanelBody->width() - PanelRight->x();
    for (int I = 0; I < FMonitors.Count(); ++I) {
        TfrmPinger* Mon = FMonitors.Monitor(I);
        if (Mon->parentWidget() == PanelRight) {
            Mon->setVisible(Mon->x() < ViewRight);
        }
    }
}

void TfrmMain::HoldLayout(bool Hold) {
    FLayoutHeld = Hold;
    FListModel->HoldSorting(Hold);
    if (!Hold && std::exchange(FArrangePending, false)) {
        ArrangeMonitors();
    }
}

void TfrmMain::ArrangeMonitors() {
    const int Count = FMonitors.Count();
    if (Count == 0 || FArranging) {
        return;
    }
    if (FLayoutHeld) {
        if (Count == 1) {
            FMonitors.Monitor(0)->Tag = 1; // the first monitor takes the main panel
        }
        FArrangePending = true;
        return;
    }
    FArranging = true;
    const auto Dock = [](TfrmPinger* Mon, QWidget* Panel) {
        if (Mon->parentWidget() != Panel) {
            Mon->setParent(Panel);
            Mon->show();
        }
    };
    if (Count == 1) {
        PanelRight->resize(0, PanelRight->height());
        LayoutBody();
        TfrmPinger* Mon = FMonitors.Monitor(0);
        Mon->Tag = 1;
        Dock(Mon, PanelLeft);
        if (Mon->geometry() != PanelLeft->rect()) {
            Mon->setGeometry(PanelLeft->rect());
            Mon->update();
        }
        FArranging = false;
        return;
    }
    const TTileLayout L = TileLayout(Count, PanelRight->height());
    if (PanelRight->width() != L.PanelWidth) {
        PanelRight->resize(L.PanelWidth, PanelRight->height());
        LayoutBody();
    }
    // A monitor that keeps its panel and place keeps its picture: repainting it would draw the
    // same pixels, and with thousands of monitors laid out once per slice of an opening group
    // it would repaint every visible tile each time.
    const auto Place = [](TfrmPinger* Mon, const QRect& Rect) {
        if (Mon->geometry() == Rect) {
            return;
        }
        Mon->setGeometry(Rect);
        Mon->update();
    };
    const auto Hint = [](TfrmPinger* Mon, const QString& Text) {
        if (TzsHint::Text(Mon->Image32) != Text) {
            TzsHint::Set(Mon->Image32, Text);
        }
    };
    std::size_t Tile = 0;
    for (int I = 0; I < Count; ++I) {
        TfrmPinger* Mon = FMonitors.Monitor(I);
        if (Mon->Tag == 1) {
            Hint(Mon, QString());
            Dock(Mon, PanelLeft);
            Place(Mon, PanelLeft->rect());
        } else {
            Hint(Mon, GraphHint);
            Dock(Mon, PanelRight);
            const QPoint At = Tile < L.Places.size() ? L.Places[Tile] : QPoint();
            ++Tile;
            Place(Mon, QRect(At.x(), At.y(), TTileLayout::TileWidth, L.TileHeight));
        }
    }
    ShowTilesInView();
    FArranging = false;
}

void TfrmMain::FitMainPanelMonitor() {
    if (TfrmPinger* Mon = MainPanelMonitor(); Mon && Mon->parentWidget() == PanelLeft) {
        Mon->setGeometry(PanelLeft->rect());
    }
}

void TfrmMain::MoveToMainPanel(TfrmPinger* Monitor) {
    for (int I = 0; I < FMonitors.Count(); ++I) {
        FMonitors.Monitor(I)->Tag = 0;
    }
    Monitor->Tag = 1;
    ArrangeMonitors();
}

void TfrmMain::MonitorGraphMouseDown(TfrmPinger* Monitor, Qt::MouseButton Button) {
    if (Button == Qt::LeftButton) {
        MoveToMainPanel(Monitor);
    } else if (Button == Qt::RightButton) {
        ShowMonitorMenu(Monitor, QCursor::pos());
    }
}

void TfrmMain::ShowMonitorMenu(TfrmPinger* Monitor, const QPoint& At) {
    QMenu Menu(this);
    Menu.setObjectName(QStringLiteral("mnuMonitor"));
    const QPointer<TfrmPinger> Target(Monitor);
    Menu.addAction(QStringLiteral("&History..."), this, ShowingErrors([this, Target] {
                       if (Target) {
                           ShowHistory(Target);
                       }
                   }));
    FOnMonitorMenu ? FOnMonitorMenu(Menu) : (void)Menu.exec(At);
}

TfrmHistory* TfrmMain::ShowHistory(TfrmPinger* Monitor) {
    const QString Target = QString::fromStdString(Monitor->Target());
    if (FLogFolder.isEmpty()) {
        TzsMessageBox::Information(this, QStringLiteral("There is no folder for log files."));
        return nullptr;
    }
    auto* History = new TfrmHistory(FLogFolder + QLatin1Char('/') + Target + QStringLiteral(".pin"),
                                    QString::fromStdString(Monitor->DisplayName()), this);
    History->setAttribute(Qt::WA_DeleteOnClose);
    History->setAttribute(Qt::WA_QuitOnClose, false);
    History->show();
    History->activateWindow();
    return History;
}

void TfrmMain::MonitorClosed(TfrmPinger* Monitor) {
    const bool WasMain = Monitor->Tag == 1;
    FAlerts->MonitorRemoved(*Monitor);
    FListModel->RemoveRow(Monitor);
    FMonitors.Delete(FMonitors.IndexOfMonitor(Monitor));
    if (WasMain && FMonitors.Count() > 0) {
        FMonitors.Monitor(0)->Tag = 1;
    }
    ArrangeMonitors();
}

void TfrmMain::MonitorCloseClicked(TfrmPinger*) {
    SaveGroup(ShownGroup());
}

void TfrmMain::MonitorUpdated(TfrmPinger* Monitor) {
    FAlerts->ResultArrived(*Monitor);
    UpdateMonitorRow(Monitor);
}

void TfrmMain::CloseAllMonitors() {
    const TBusy Busy(*this);
    if (FWorker) {
        FWorker->ClearJobs();
    }
    const int Count = FMonitors.Count();
    ShowProgress(QStringLiteral("Closing Monitors..."), Count, Count, QColor(144, 0, 0));
    HoldLayout(true);
    try {
        for (int I = Count - 1; I >= 0; --I) {
            HandlePendingMessages();
            // Messages handled meanwhile may have closed monitors already.
            if (I < FMonitors.Count()) {
                FMonitors.Monitor(I)->close();
            }
            ProgressBar->setValue(I);
        }
    } catch (...) {
        HoldLayout(false);
        throw;
    }
    HoldLayout(false);
    ProgressBar->hide();
}

void TfrmMain::btnNewPingerClick() {
    // Refused only where it is typed: a target read from config.ini stays as it is stored.
    if (HasUnstorableCharacter(cbTarget->text())) {
        TzsMessageBox::Warning(this, QStringLiteral("The target cannot contain line breaks."));
        return;
    }
    AddMonitor(cbTarget->text());
    SaveGroup(ShownGroup());
}

void TfrmMain::btnCloseAllClick() {
    if (TzsMessageBox::Confirmation(this, QStringLiteral("Close all monitors?"),
                                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) !=
        QMessageBox::Yes) {
        return;
    }
    EnableControls(false);
    CloseAllMonitors();
    EnableControls(true);
}

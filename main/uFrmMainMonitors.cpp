// The main window's monitor windows: made and let go as the hub adds and removes monitors,
// docked and tiled, their hints, menu, history and path, and the progress of bulk work.
#include "uFrmMain.h"

#include "uFrmFriendlyNames.h"
#include "uFrmHistory.h"
#include "uFrmPath.h"
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
#include <QScrollBar>

#include <utility>

#include <algorithm>

namespace {

const QString GraphHint = QStringLiteral("Left Click to move to main panel.");

} // namespace

void TfrmMain::MonitorAdded(TPingerSession* Session) {
    auto* Mon = new TfrmPinger(*Session);
    // Each hook shows what it throws from inside itself: it runs within the monitor's events.
    Mon->Image32->OnMouseDown =
        ShowingErrors([this, Mon](Qt::MouseButton Button, Qt::KeyboardModifiers, QPoint) {
            MonitorGraphMouseDown(Mon, Button);
        });
    TzsHint::Set(Mon->Image32, GraphHint);
    TzsHint::SetShow(Mon->Image32, Hub().Settings().Hints);
    // The close button or Esc: the hub stops the monitor and MonitorRemoved lets the window go.
    Mon->OnMonitorClosed = ShowingErrors([this](TfrmPinger& W) {
        if (W.HasSession()) {
            FCore->Hub().Close(&W.Session());
        }
    });
    Mon->OnCloseClicked = ShowingErrors([this](TfrmPinger&) { FCore->MonitorCloseClicked(); });
    FViews.insert(Session, Mon);
    // A monitor starts as a tile; the first one takes the main panel. While monitors are added
    // in bulk, the layout shows the new ones once it has placed them.
    Mon->setParent(PanelRight);
    if (!FLayoutHeld) {
        Mon->show();
    }
    ArrangeMonitors();
}

void TfrmMain::ShowHints() {
    const bool Hints = Hub().Settings().Hints;
    if (std::exchange(FShownHints, Hints) == Hints) {
        return;
    }
    for (TfrmPinger* Mon : std::as_const(FViews)) {
        TzsHint::SetShow(Mon->Image32, Hints);
    }
    if (FFriendlyNames) {
        FFriendlyNames->SetHintsEnabled(Hints);
    }
}

void TfrmMain::MonitorRemoved(TPingerSession* Session) {
    TfrmPinger* Mon = FViews.take(Session);
    if (!Mon) {
        return;
    }
    Mon->Detach();
    Mon->hide();
    Mon->deleteLater();
    ArrangeMonitors();
}

// Tiles whose column starts beyond the right edge of the body can never be seen (the window
// does not scroll): they are hidden, so they draw nothing and hold no picture, until a wider
// window or a new layout brings them into view.
void TfrmMain::ShowTilesInView() {
    if (!PanelRight->isVisibleTo(this)) {
        return;
    }
    // Only the tiles in the scrolled view are shown: a hidden tile keeps no picture.
    const int ViewLeft = TileArea->horizontalScrollBar()->value();
    const int ViewRight = ViewLeft + TileArea->viewport()->width();
    for (int I = 0; I < Hub().Count(); ++I) {
        TfrmPinger* Mon = ViewOf(Hub().Monitor(I));
        if (Mon && Mon->parentWidget() == PanelRight) {
            Mon->setVisible(Mon->x() < ViewRight && Mon->x() + Mon->width() > ViewLeft);
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
    // Every monitor of the hub has its window here, but for a moment while it is being added.
    const int Count = int(FViews.size());
    if (Count == 0 || FArranging) {
        return;
    }
    if (FLayoutHeld) {
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
        TfrmPinger* Mon = ViewOf(Hub().MainPanelMonitor());
        if (!Mon) {
            FArranging = false;
            return;
        }
        Dock(Mon, PanelLeft);
        if (Mon->geometry() != PanelLeft->rect()) {
            Mon->setGeometry(PanelLeft->rect());
            Mon->update();
        }
        FArranging = false;
        return;
    }
    TTileLayout L = TileLayout(Count, PanelRight->height());
    // Laying out the body may give the panel a scroll bar, and so fewer rows: once more then.
    for (int Pass = 0; Pass < 2 && PanelRight->width() != L.PanelWidth; ++Pass) {
        PanelRight->resize(L.PanelWidth, PanelRight->height());
        LayoutBody();
        L = TileLayout(Count, PanelRight->height());
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
    TfrmPinger* Main = ViewOf(Hub().MainPanelMonitor());
    for (int I = 0; I < Hub().Count(); ++I) {
        TfrmPinger* Mon = ViewOf(Hub().Monitor(I));
        if (!Mon) {
            continue;
        }
        if (Mon == Main) {
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
    if (TfrmPinger* Mon = ViewOf(Hub().MainPanelMonitor());
        Mon && Mon->parentWidget() == PanelLeft) {
        Mon->setGeometry(PanelLeft->rect());
    }
}

void TfrmMain::MoveToMainPanel(TfrmPinger* Monitor) {
    if (Monitor && Monitor->HasSession()) {
        Hub().MoveToMainPanel(&Monitor->Session());
    }
}

void TfrmMain::MonitorGraphMouseDown(TfrmPinger* Monitor, Qt::MouseButton Button) {
    if (Button == Qt::LeftButton) {
        MoveToMainPanel(Monitor);
        // Moved to another panel it lost the focus; it takes it, so that Esc closes it.
        if (ViewOf(Hub().MainPanelMonitor()) == Monitor) {
            Monitor->setFocus(Qt::MouseFocusReason);
        }
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
    Menu.addAction(QStringLiteral("&Path..."), this, ShowingErrors([this, Target] {
                       if (Target) {
                           ShowPath(Target);
                       }
                   }));
    FOnMonitorMenu ? FOnMonitorMenu(Menu) : (void)Menu.exec(At);
}

void TfrmMain::ShowHistory(TfrmPinger* Monitor) {
    if (!Monitor->HasSession()) {
        return;
    }
    const QString Target = QString::fromStdString(Monitor->Session().Target());
    if (Hub().LogFolder().isEmpty()) {
        TzsMessageBox::Information(this, QStringLiteral("There is no folder for log files."));
        return;
    }
    auto* History =
        new TfrmHistory(Hub().LogFolder() + QLatin1Char('/') + Target + QStringLiteral(".pin"),
                        QString::fromStdString(Monitor->Session().DisplayName()), this);
    History->setAttribute(Qt::WA_DeleteOnClose);
    History->setAttribute(Qt::WA_QuitOnClose, false);
    History->show();
    History->activateWindow();
}

void TfrmMain::ShowPath(TfrmPinger* Monitor) {
    if (!Monitor->HasSession()) {
        return;
    }
    const TPingerSession& Session = Monitor->Session();
    // The address the monitor last reached; nothing is resolved here.
    auto* Path = new TfrmPath(TPathAddress::Parse(Session.AddressText()),
                              QString::fromStdString(Session.DisplayName()), Session.Frequency(),
                              Session.TimeOutMS(), this);
    Path->setAttribute(Qt::WA_DeleteOnClose);
    Path->setAttribute(Qt::WA_QuitOnClose, false);
    Path->show();
    Path->activateWindow();
}

void TfrmMain::ShowProgressBegin(TMonitorHub::TWork Work, int Count) {
    const bool Closing = Work == TMonitorHub::TWork::Closing;
    ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { background: rgb(30,30,30); color: white; border: 0px; "
                       "text-align: center; }"
                       "QProgressBar::chunk { background: %1; }")
            .arg((Closing ? QColor(144, 0, 0) : QColor(0, 112, 0)).name()));
    ProgressBar->setFormat(Closing ? QStringLiteral("Closing Monitors...")
                                   : QStringLiteral("Loading Monitors..."));
    ProgressBar->setRange(0, std::max(0, Count));
    ProgressBar->setValue(Closing ? Count : 0);
    ProgressBar->show();
}

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

#include <optional>
#include <utility>

#include <algorithm>

namespace {

const QString GraphHint = QStringLiteral("Left Click to move to main panel.");

} // namespace

void TfrmMain::MonitorAdded(TPingerSession* Session) {
    // Drawn only once a window shows it: most monitors of a large group sit in tiles out of
    // view, which have no window.
    Session->SetGraphShown(false);
    ArrangeMonitors();
}

TfrmPinger* TfrmMain::MakeView(TPingerSession* Session, QWidget* Panel) {
    auto* Mon = new TfrmPinger(*Session, Panel);
    // Each hook shows what it throws from inside itself: it runs within the monitor's events.
    Mon->Image32->OnMouseDown =
        ShowingErrors([this, Mon](Qt::MouseButton Button, Qt::KeyboardModifiers, QPoint) {
            if (Mon->HasSession()) {
                MonitorGraphMouseDown(&Mon->Session(), Button);
            }
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
    return Mon;
}

void TfrmMain::ReleaseView(TPingerSession* Session) {
    TfrmPinger* Mon = FViews.take(Session);
    if (!Mon) {
        return;
    }
    // Out of sight the session keeps no picture and asks for no redraw before each ping.
    Session->SetGraphShown(false);
    Mon->Detach();
    Mon->hide();
    Mon->deleteLater();
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
    ReleaseView(Session);
    ArrangeMonitors();
}

void TfrmMain::HoldLayout(bool Hold) {
    FLayoutHeld = Hold;
    FListModel->HoldSorting(Hold);
    if (!Hold && std::exchange(FArrangePending, false)) {
        ArrangeMonitors();
    }
}

void TfrmMain::ArrangeMonitors() {
    if (FArranging) {
        return;
    }
    if (FLayoutHeld) {
        FArrangePending = true;
        return;
    }
    const int Count = Hub().Count();
    if (Count == 0) {
        return;
    }
    FArranging = true;
    if (Count == 1) {
        FTiles = TTileLayout();
        PanelRight->resize(0, PanelRight->height());
        LayoutBody();
    } else {
        TTileLayout L = TileLayout(Count, PanelRight->height());
        // Laying out the body may give the panel a scroll bar, and so fewer rows: once more
        // then.
        for (int Pass = 0; Pass < 2 && PanelRight->width() != L.PanelWidth; ++Pass) {
            PanelRight->resize(L.PanelWidth, PanelRight->height());
            LayoutBody();
            L = TileLayout(Count, PanelRight->height());
        }
        FTiles = std::move(L);
    }
    FArranging = false;
    ShowTilesInView();
}

// Windows go to the main-panel monitor and to the tiles in the scrolled view, nowhere else: a
// tile out of view (scrolled away, or every tile while the list is shown) is its session alone,
// which draws nothing, and gets a window again when it comes into view. A group of thousands
// thus costs the windows of the few tiles that fit on the screen.
void TfrmMain::ShowTilesInView() {
    if (FArranging) {
        return;
    }
    if (FLayoutHeld) {
        FArrangePending = true;
        return;
    }
    const bool TilesShown = PanelRight->isVisibleTo(this);
    const int ViewLeft = TileArea->horizontalScrollBar()->value();
    const int ViewRight = ViewLeft + TileArea->viewport()->width();
    // A monitor that keeps its panel and place keeps its picture: repainting it would draw the
    // same pixels, and with thousands of monitors laid out once per slice of an opening group
    // it would repaint every visible tile each time.
    // Hint: the graph's hint in that place; none leaves the hint as it is.
    const auto Show = [this](TPingerSession* Session, QWidget* Panel, const QRect& Rect,
                             const std::optional<QString>& Hint) {
        TfrmPinger* Mon = ViewOf(Session);
        if (!Mon) {
            Mon = MakeView(Session, Panel);
        } else if (Mon->parentWidget() != Panel) {
            Mon->setParent(Panel);
        }
        if (Mon->geometry() != Rect) {
            Mon->setGeometry(Rect);
            Mon->update();
        }
        if (Hint && TzsHint::Text(Mon->Image32) != *Hint) {
            TzsHint::Set(Mon->Image32, *Hint);
        }
        if (!Mon->isVisibleTo(Panel)) {
            Mon->show();
        }
    };
    TPingerSession* Main = Hub().MainPanelMonitor();
    std::size_t Tile = 0;
    for (int I = 0; I < Hub().Count(); ++I) {
        TPingerSession* Session = Hub().Monitor(I);
        if (Session == Main) {
            // Alone, it keeps the hint it was made with.
            Show(Session, PanelLeft, PanelLeft->rect(),
                 Hub().Count() == 1 ? std::nullopt : std::optional<QString>(QString()));
            continue;
        }
        const QPoint At = Tile < FTiles.Places.size() ? FTiles.Places[Tile] : QPoint();
        ++Tile;
        const QRect Rect(At.x(), At.y(), TTileLayout::TileWidth, FTiles.TileHeight);
        if (TilesShown && Rect.left() < ViewRight && Rect.right() >= ViewLeft) {
            Show(Session, PanelRight, Rect, GraphHint);
        } else {
            ReleaseView(Session);
        }
    }
}

void TfrmMain::FitMainPanelMonitor() {
    if (TfrmPinger* Mon = ViewOf(Hub().MainPanelMonitor());
        Mon && Mon->parentWidget() == PanelLeft) {
        Mon->setGeometry(PanelLeft->rect());
    }
}

void TfrmMain::MoveToMainPanel(TPingerSession* Monitor) {
    if (Monitor && Hub().IndexOf(Monitor) >= 0) {
        Hub().MoveToMainPanel(Monitor);
    }
}

void TfrmMain::MonitorGraphMouseDown(TPingerSession* Monitor, Qt::MouseButton Button) {
    if (Button == Qt::LeftButton) {
        MoveToMainPanel(Monitor);
        // Moved to another panel it lost the focus; it takes it, so that Esc closes it.
        if (TfrmPinger* Mon = ViewOf(Monitor); Mon && Hub().MainPanelMonitor() == Monitor) {
            Mon->setFocus(Qt::MouseFocusReason);
        }
    } else if (Button == Qt::RightButton) {
        ShowMonitorMenu(Monitor, QCursor::pos());
    }
}

void TfrmMain::ShowMonitorMenu(TPingerSession* Monitor, const QPoint& At) {
    QMenu Menu(this);
    Menu.setObjectName(QStringLiteral("mnuMonitor"));
    // The monitor may have gone while the menu was open: then its entries do nothing.
    Menu.addAction(QStringLiteral("&History..."), this, ShowingErrors([this, Monitor] {
                       if (Hub().IndexOf(Monitor) >= 0) {
                           ShowHistory(*Monitor);
                       }
                   }));
    Menu.addAction(QStringLiteral("&Path..."), this, ShowingErrors([this, Monitor] {
                       if (Hub().IndexOf(Monitor) >= 0) {
                           ShowPath(*Monitor);
                       }
                   }));
    FOnMonitorMenu ? FOnMonitorMenu(Menu) : (void)Menu.exec(At);
}

void TfrmMain::ShowHistory(const TPingerSession& Monitor) {
    const QString Target = QString::fromStdString(Monitor.Target());
    if (Hub().LogFolder().isEmpty()) {
        TzsMessageBox::Information(this, QStringLiteral("There is no folder for log files."));
        return;
    }
    auto* History =
        new TfrmHistory(Hub().LogFolder() + QLatin1Char('/') + Target + QStringLiteral(".pin"),
                        QString::fromStdString(Monitor.DisplayName()), this);
    History->setAttribute(Qt::WA_DeleteOnClose);
    History->setAttribute(Qt::WA_QuitOnClose, false);
    History->show();
    History->activateWindow();
}

void TfrmMain::ShowPath(const TPingerSession& Session) {
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

#include "uAlertTray.h"

#include "uAlertCenter.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <utility>

QRgb AlertColour(TAlertState State) {
    switch (State) {
    case TAlertState::Up:
        return AlertColourUp;
    case TAlertState::Degraded:
        return AlertColourDegraded;
    case TAlertState::Down:
        return AlertColourDown;
    case TAlertState::Unknown:
        break;
    }
    return AlertColourUnknown;
}

QImage AlertTrayImage(TAlertState State, int Size) {
    QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::transparent);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    const qreal Rim = qMax<qreal>(1.0, Size / 16.0);
    P.setPen(QPen(QColor(0, 0, 0, 160), Rim));
    P.setBrush(QColor::fromRgb(AlertColour(State)));
    const qreal Inset = Size / 16.0 + Rim / 2;
    P.drawEllipse(QRectF(Inset, Inset, Size - 2 * Inset, Size - 2 * Inset));
    return Image;
}

QString AlertTrayToolTip(TAlertState Worst, const QStringList& Trouble) {
    QStringList Lines{QStringLiteral("Vantorel")};
    if (!Trouble.isEmpty()) {
        Lines += Trouble;
    } else if (Worst == TAlertState::Up) {
        Lines << QStringLiteral("All hosts are up.");
    } else {
        Lines << QStringLiteral("No results yet.");
    }
    return Lines.join(u'\n');
}

TAlertTray::TAlertTray(TAlertCenter* Alerts, QObject* Parent) : QObject(Parent), FAlerts(Alerts) {
    FMenu = new QMenu;
    FMenu->addAction(QStringLiteral("Show"), this, &TAlertTray::ShowRequested);
    FMenu->addAction(QStringLiteral("Quit"), this, &TAlertTray::QuitRequested);
    const QString Platform = QGuiApplication::platformName();
    if (Platform != QLatin1String("offscreen") && Platform != QLatin1String("minimal")) {
        FIcon = new QSystemTrayIcon(this);
        FIcon->setContextMenu(FMenu);
    }
    connect(FAlerts, &TAlertCenter::SummaryChanged, this, &TAlertTray::RefreshSoon);
    Refresh();
    if (!FIcon) {
        return;
    }
    connect(FIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason Reason) {
                if (Reason == QSystemTrayIcon::Trigger || Reason == QSystemTrayIcon::DoubleClick) {
                    emit ShowRequested();
                }
            });
    // On X11 an icon shown before a tray exists appears once one does. Elsewhere (Wayland) Qt
    // shows icons only through a D-Bus tray that is there at start: without one the icon stays
    // hidden, since showing it would look for an X11 tray the platform does not have.
    if (Platform == QLatin1String("xcb") || QSystemTrayIcon::isSystemTrayAvailable()) {
        FIcon->show();
    }
}

TAlertTray::~TAlertTray() {
    delete FIcon;
    delete FMenu;
}

void TAlertTray::RefreshSoon() {
    if (!std::exchange(FRefreshDue, true)) {
        QTimer::singleShot(0, this, [this] { Settle(); });
    }
}

void TAlertTray::Refresh() {
    FRefreshDue = false;
    const TAlertState Worst = FAlerts->WorstState();
    if (!FHasPicture || Worst != FShown) {
        QIcon Icon;
        for (const int Size : {16, 22, 24, 32, 48, 64}) {
            Icon.addPixmap(QPixmap::fromImage(AlertTrayImage(Worst, Size)));
        }
        FPicture = Icon;
        if (FIcon) {
            FIcon->setIcon(Icon);
        }
        FShown = Worst;
        FHasPicture = true;
    }
    FToolTip = AlertTrayToolTip(Worst, FAlerts->TroubleList());
    if (FIcon) {
        FIcon->setToolTip(FToolTip);
    }
}

QString TAlertTray::ToolTip() const {
    Settle();
    return FToolTip;
}

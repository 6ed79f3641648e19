// The tray icon: a dot in the colour of the worst alert state over all monitors (green up,
// amber degraded, red down, grey when nothing is known), a tooltip naming the hosts that are
// down or degraded, and a menu with Show and Quit. Shown where the desktop has a system tray;
// the picture itself is a plain function of the state so that it can be checked without one.
// The tray only asks: a click or Show asks for the window, Quit for the end of the program;
// whoever owns the window acts.
//
//   TAlertTray Tray(Alerts);   // follows Alerts.SummaryChanged
//   connect(&Tray, &TAlertTray::ShowRequested, &Main, [&] { BringForward(Main); });
//   connect(&Tray, &TAlertTray::QuitRequested, &Main, &QWidget::close);
//   QImage Dot = AlertTrayImage(TAlertState::Down, 22);
#pragma once

#include "uAlertRules.h"

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QRgb>
#include <QString>
#include <QStringList>

class QMenu;
class QSystemTrayIcon;
class TAlertCenter;

// Colours of the dot.
constexpr QRgb AlertColourUp = 0xFF20B030;
constexpr QRgb AlertColourDegraded = 0xFFFFB000;
constexpr QRgb AlertColourDown = 0xFFE01818;
constexpr QRgb AlertColourUnknown = 0xFF909090;

QRgb AlertColour(TAlertState State);
// A Size x Size picture: a filled dot with a dark rim on a transparent ground.
QImage AlertTrayImage(TAlertState State, int Size);
// The tooltip: "Vantorel" and then one line per host in trouble, or a line saying all is well.
QString AlertTrayToolTip(TAlertState Worst, const QStringList& Trouble);

class TAlertTray : public QObject {
    Q_OBJECT

public:
    explicit TAlertTray(TAlertCenter* Alerts, QObject* Parent = nullptr);
    ~TAlertTray() override;

    // Shows the alert center's summary now. A change of the summary is shown once the events
    // pending have been handled, so that thousands of monitors opening or closing in one go cost
    // one refresh, not one each; what the tray shows is read as of the latest summary.
    void Refresh();

    // Null where the platform has no tray at all (offscreen).
    QSystemTrayIcon* Icon() const { return FIcon; }
    const QIcon& Picture() const {
        Settle();
        return FPicture;
    }
    TAlertState ShownState() const {
        Settle();
        return FShown;
    }
    QString ToolTip() const;
    QMenu* Menu() const { return FMenu; }

signals:
    // A click on the icon or Show: the window is wanted in front.
    void ShowRequested();
    // Quit: the program is to close as its close button closes it.
    void QuitRequested();

private:
    void RefreshSoon();
    // A refresh still due is done at once.
    void Settle() const {
        if (FRefreshDue) {
            const_cast<TAlertTray*>(this)->Refresh();
        }
    }

    TAlertCenter* FAlerts;
    QMenu* FMenu = nullptr;
    QSystemTrayIcon* FIcon = nullptr;
    QIcon FPicture;
    QString FToolTip;
    TAlertState FShown = TAlertState::Unknown;
    bool FHasPicture = false;
    bool FRefreshDue = false;
};

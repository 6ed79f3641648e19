// The main window's alerts: the Alerts dialog on the alerting switch's menu and the tray icon of
// the worst state. The alert center itself is widget-free (uAlertCenter.h).
#include "uFrmMain.h"

#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uAlertSettingsFile.h"
#include "uAlertTray.h"
#include "uFrmAlerts.h"
#include "uHubAlerts.h"
#include "uStartup.h"

#include <QAction>
#include <QMenu>

void TfrmMain::BuildAlerts() {
    FTray = std::make_unique<TAlertTray>(&FCore->Alerts());
    connect(FTray.get(), &TAlertTray::ShowRequested, this, [this] {
        // Out of hiding or minimising, on top and active.
        if (isMinimized()) {
            setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        }
        show();
        raise();
        activateWindow();
    });
    // Quitting is the close button's close: the open group is saved.
    connect(FTray.get(), &TAlertTray::QuitRequested, this, &QWidget::close);

    menAlerting = MakeButtonMenu(btnAlerting, QStringLiteral("Alerting"));
    AlertSettings1 = menAlerting->addAction(QStringLiteral("Alert Settings..."));
    connect(AlertSettings1, &QAction::triggered, this,
            ShowingErrors([this] { AlertSettingsClick(); }));
}

void TfrmMain::AlertSettingsClick() {
    TfrmAlerts Dialog(&FImages, this);
    Dialog.SetSettings(Alerts().Settings());
    const int Result = FModalRunner ? FModalRunner(Dialog) : Dialog.exec();
    if (Result == QDialog::Accepted) {
        FCore->SetAlertSettings(Dialog.Settings());
    }
}

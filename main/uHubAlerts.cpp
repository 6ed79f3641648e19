#include "uHubAlerts.h"

#include "uAlertCenter.h"
#include "uMonitorHub.h"

void WatchHubAlerts(const TMonitorHub& Hub, TAlertCenter& Alerts) {
    QObject::connect(&Hub, &TMonitorHub::MonitorUpdated, &Alerts,
                     [&Alerts](TPingerSession* Monitor) { Alerts.ResultArrived(*Monitor); });
    QObject::connect(&Hub, &TMonitorHub::MonitorRenamed, &Alerts,
                     [&Alerts](TPingerSession* Monitor) { Alerts.MonitorRenamed(*Monitor); });
    QObject::connect(&Hub, &TMonitorHub::MonitorRemoved, &Alerts,
                     [&Alerts](TPingerSession* Monitor) { Alerts.MonitorRemoved(*Monitor); });
    QObject::connect(&Hub, &TMonitorHub::SettingsChanged, &Alerts,
                     [&Alerts, &Hub] { Alerts.SetEnabled(Hub.Settings().Alerting); });
    Alerts.SetEnabled(Hub.Settings().Alerting);
}

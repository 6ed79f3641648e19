// Wires the alert center to the monitor hub: the hub's monitors' results, new names and going,
// and its alerting switch reach the alert center from now on (the switch at once too). The
// alert center knows nothing of the hub; the connections end when either object goes.
//
//   TAlertCenter Alerts;
//   WatchHubAlerts(Hub, Alerts);
#pragma once

class TAlertCenter;
class TMonitorHub;

void WatchHubAlerts(const TMonitorHub& Hub, TAlertCenter& Alerts);

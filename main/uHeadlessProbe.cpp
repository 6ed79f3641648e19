#include "uHeadlessProbe.h"

#include "ZRegistry.h"
#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uAlertSettingsFile.h"
#include "uConfigStore.h"
#include "uHubAlerts.h"
#include "uMetricsEndpoint.h"
#include "uMonitorHub.h"
#include "uPingerSession.h"
#include "uZephraTools.h"

#include <QCoreApplication>
#include <QDir>

#include <stdexcept>

TVantorelProbe::TVantorelProbe(const TOptions& Options, TRegistryStore* Registry, QObject* Parent)
    : QObject(Parent), FOptions(Options), FRegistry(Registry),
      FHub(std::make_unique<TMonitorHub>()), FAlerts(std::make_unique<TAlertCenter>()),
      FLog([](const QString& Line) {
          std::fputs((Line + QLatin1Char('\n')).toUtf8().constData(), stderr);
          std::fflush(stderr);
      }) {
    if (!FRegistry) {
        FOwnRegistry = std::make_unique<TLinuxRegistryStore>();
        FRegistry = FOwnRegistry.get();
    }
}

TVantorelProbe::~TVantorelProbe() {
    // The endpoint and the alerts watch the hub: they go first, then the monitors.
    FMetrics.reset();
    FAlerts.reset();
    FHub.reset();
}

void TVantorelProbe::Start() {
    FConfig = std::make_unique<TConfigStore>(*FRegistry);
    FHub->SetConfig(FConfig.get());
    FConfig->PrepareConfigFolder();
    FConfig->OpenConfig();
    if (!FConfig->ConfigFileExists()) {
        FConfig->ImportLegacyConfiguration();
    }
    FHub->StartWorker();
    const QString DataFolder = GetUserAppDataFolder();
    if (!DataFolder.isEmpty()) {
        FHub->SetLogFolder(DataFolder + QStringLiteral("/Zephra Software/Vantorel"));
        QDir().mkpath(FHub->LogFolder());
    }

    // Nothing is drawn without a window.
    connect(FHub.get(), &TMonitorHub::MonitorAdded, this, [](TPingerSession* Monitor) {
        Monitor->SetGraphShown(false);
        Monitor->SetDrawEnabled(false);
    });

    FNotifier = std::make_unique<TDesktopNotifier>();
    FNotifier->SetFallback([this](const TAlertNotice& Notice) { AlertLine(Notice); });
    FAlerts->SetNotifier(FNotifier.get());
    WatchHubAlerts(*FHub, *FAlerts);
    FAlerts->SetSettings(ReadAlertSettings(FConfig->Config()));
    FHub->SetAlerting(ReadAlertingEnable(FConfig->Config()));
    FHub->SetLogging(FConfig->ReadLoggingEnable());
    FHub->SetFriendlyNames(FConfig->ReadFriendlyNames());

    // Metrics first, so that a port in use ends the run before any monitor starts.
    StartMetrics();

    QStringList Groups;
    FConfig->LoadGroupList(Groups);
    const QString Wanted = FOptions.Group.isEmpty() ? FConfig->ReadDefaultGroup() : FOptions.Group;
    QString Group;
    for (const QString& Name : std::as_const(Groups)) {
        if (Name.compare(Wanted, Qt::CaseInsensitive) == 0) {
            Group = Name;
            break;
        }
    }
    if (Group.isEmpty()) {
        if (!FOptions.Group.isEmpty()) {
            throw std::runtime_error("There is no group named \"" + Wanted.toStdString() + "\".");
        }
        FLog(QStringLiteral("<4>vantorel: the default group \"") + Wanted +
             QStringLiteral("\" does not exist; no monitor runs"));
        FStarted = true;
        return;
    }
    TMonitorHub::TProgress Progress;
    Progress.Pause = [] { QCoreApplication::processEvents(); };
    Progress.Refused = [this](const QString& Target, TMonitorHub::TAddResult) {
        FLog(QStringLiteral("<4>vantorel: the stored target \"") + Target +
             QStringLiteral("\" does not start (a duplicate or not a host name)"));
    };
    FStarted = true;
    FHub->OpenGroup(Group, Progress);
}

void TVantorelProbe::StartMetrics() {
    const QString Listen =
        FOptions.MetricsListen.isEmpty() ? FConfig->ReadMetricsListen() : FOptions.MetricsListen;
    FMetrics = StartMetricsEndpoint(*FHub, *FAlerts, Listen, [this](const QString& Warning) {
        FLog(QStringLiteral("<4>vantorel: ") + Warning);
    });
}

void TVantorelProbe::Close() {
    if (std::exchange(FClosed, true) || !FStarted) {
        return;
    }
    // What a close of the main window saves; the default group changes only when no other
    // group was asked for, so a probe of one group leaves the desktop's choice alone.
    FConfig->WriteHintsEnable(FConfig->ReadHintsEnable());
    if (FOptions.Group.isEmpty() && !FHub->CurrentGroup().isEmpty()) {
        FConfig->WriteDefaultGroup(FHub->CurrentGroup());
    }
    if (!FHub->GroupIncomplete()) {
        FHub->SaveGroup(FHub->CurrentGroup());
    }
    FHub->CloseAll();
}

void TVantorelProbe::AlertLine(const TAlertNotice& Notice) {
    // Journal priorities: 3 error, 4 warning, 5 notice.
    const char* Priority = Notice.State == TAlertState::Down       ? "<3>"
                           : Notice.State == TAlertState::Degraded ? "<4>"
                                                                   : "<5>";
    FLog(QString::fromLatin1(Priority) + Notice.Title + QStringLiteral(": ") + Notice.Body);
}

std::unique_ptr<TMetricsEndpoint>
StartMetricsEndpoint(TMonitorHub& Hub, TAlertCenter& Alerts, const QString& Listen,
                     const std::function<void(const QString&)>& Warn) {
    if (Listen.trimmed().isEmpty()) {
        return nullptr;
    }
    TMetricsEndpoint::TListen Where;
    try {
        Where = TMetricsEndpoint::ParseListen(Listen);
    } catch (const std::invalid_argument& E) {
        throw std::runtime_error(std::string("Metrics: ") + E.what());
    }
    auto Metrics = std::make_unique<TMetricsEndpoint>(Hub);
    Metrics->SetAlertStateSource(
        [&Alerts](const TPingerSession& Monitor) { return Alerts.State(Monitor); });
    QObject::connect(&Alerts, &TAlertCenter::SummaryChanged, Metrics.get(),
                     &TMetricsEndpoint::RefreshAlertStates);
    Metrics->Listen(Where);
    if (!Where.Loopback && Warn) {
        Warn(QStringLiteral("metrics are served on ") + QString::fromStdString(Where.BindText()) +
             QStringLiteral(", an address other machines may reach"));
    }
    return Metrics;
}

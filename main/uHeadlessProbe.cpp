#include "uHeadlessProbe.h"

#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uConfigStore.h"
#include "uMetricsEndpoint.h"
#include "uMonitorHub.h"
#include "uPingerSession.h"

#include <QCoreApplication>

#include <stdexcept>

TVantorelProbe::TVantorelProbe(const TOptions& Options, TRegistryStore* Registry, QObject* Parent)
    : QObject(Parent), FOptions(Options), FCore(Registry), FLog([](const QString& Line) {
          std::fputs((Line + QLatin1Char('\n')).toUtf8().constData(), stderr);
          std::fflush(stderr);
      }) {
    FCore.SetPrompter(this);
    FCore.SetStartGroup(Options.Group);
    // Nothing is drawn without a window.
    connect(&FCore.Hub(), &TMonitorHub::MonitorAdded, this, [](TPingerSession* Monitor) {
        Monitor->SetGraphShown(false);
        Monitor->SetDrawEnabled(false);
    });
    FNotifier = std::make_unique<TDesktopNotifier>();
    FNotifier->SetFallback([this](const TAlertNotice& Notice) { AlertLine(Notice); });
    FCore.SetAlertNotifier(FNotifier.get());
}

TVantorelProbe::~TVantorelProbe() {
    // The endpoint watches the hub and goes first; the core outlives what it points to here.
    FMetrics.reset();
    FCore.SetAlertNotifier(nullptr);
    FCore.SetPrompter(nullptr);
}

void TVantorelProbe::Tell(TMessage Kind, const QString& Text) {
    if (Kind == TMessage::Error) {
        FErrors << Text;
    } else {
        FLog(QStringLiteral("<4>vantorel: ") + Text);
    }
}

void TVantorelProbe::ShowError(const std::exception& Error) {
    FErrors << QString::fromUtf8(Error.what());
}

void TVantorelProbe::ThrowErrors() {
    if (!FErrors.isEmpty()) {
        const QString Text = FErrors.join(QLatin1Char(' '));
        FErrors.clear();
        throw std::runtime_error(Text.toStdString());
    }
}

// The core's creation and first activation as the main window runs them, with the metrics
// started in between, so that a port in use ends the run before any monitor starts.
void TVantorelProbe::Start() {
    FCore.Create();
    ThrowErrors();
    StartMetrics();
    FStarted = true;
    FCore.Activate();
    ThrowErrors();
    if (FCore.Groups().Current().isEmpty()) {
        FLog(QStringLiteral("<4>vantorel: the default group \"") +
             FCore.Config()->ReadDefaultGroup() +
             QStringLiteral("\" does not exist; no monitor runs"));
    }
}

void TVantorelProbe::StartMetrics() {
    const QString Listen = FOptions.MetricsListen.isEmpty() ? FCore.Config()->ReadMetricsListen()
                                                            : FOptions.MetricsListen;
    FMetrics = StartMetricsEndpoint(Hub(), Alerts(), Listen, [this](const QString& Warning) {
        FLog(QStringLiteral("<4>vantorel: ") + Warning);
    });
}

// What a close of the main window saves (a probe of one group leaves the stored default group
// alone), then every monitor stops.
void TVantorelProbe::Close() {
    if (std::exchange(FClosed, true) || !FStarted) {
        return;
    }
    FCore.RequestClose();
    ThrowErrors();
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

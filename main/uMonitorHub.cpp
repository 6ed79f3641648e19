#include "uMonitorHub.h"

#include <utility>

#include "uConfigStore.h"
#include "uPingerSession.h"
#include "zsWorkerThread.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

bool IsBlank(const QString& Text) {
    return std::all_of(Text.begin(), Text.end(), [](QChar C) { return C.isSpace(); });
}

// What config.ini cannot hold in a target: a line break would split the group's entry, a NUL
// would cut it short.
bool HasUnstorableCharacter(const QString& Text) {
    return std::any_of(Text.begin(), Text.end(),
                       [](QChar C) { return C == u'\n' || C == u'\r' || C == u'\0'; });
}

// The other spelling of the same address literal: an IPv6 address is written bare or in
// brackets ("::1", "[::1]"), and the echo service reads both alike. Empty for any other target.
QString OtherAddressSpelling(const QString& Target) {
    if (Target.size() >= 2 && Target.front() == u'[' && Target.back() == u']') {
        const QString Bare = Target.mid(1, Target.size() - 2);
        return Bare.contains(u':') ? Bare : QString();
    }
    return Target.contains(u':') ? u'[' + Target + u']' : QString();
}

} // namespace

TMonitorHub::TMonitorHub(QObject* Parent) : QObject(Parent) {}

TMonitorHub::~TMonitorHub() {
    // The sessions go before the worker their queued log records run on.
    FMainPanel = nullptr;
    FMonitors = TMonitorList();
    FOwned.clear();
    FWorker.reset();
}

void TMonitorHub::StartWorker() {
    if (!FWorker) {
        FWorker = std::make_unique<TzsWorkerThread>();
    }
}

TPingerSession* TMonitorHub::Find(const QString& Target) const {
    const int Index = FMonitors.IndexOf(Target);
    return Index < 0 ? nullptr : FMonitors.Monitor(Index);
}

TMonitorHub::TAddResult TMonitorHub::Add(const QString& Target) {
    if (HasUnstorableCharacter(Target)) {
        return TAddResult::ControlCharacter;
    }
    if (IsBlank(Target)) {
        return TAddResult::Blank;
    }
    if (const QString Other = OtherAddressSpelling(Target);
        FMonitors.IndexOf(Target) >= 0 || (!Other.isEmpty() && FMonitors.IndexOf(Other) >= 0)) {
        return TAddResult::Duplicate;
    }
    std::unique_ptr<TPingerSession> Owned =
        FSessionFactory ? FSessionFactory() : std::make_unique<TPingerSession>();
    TPingerSession* Mon = Owned.get();
    // Nothing to draw until a view shows it: a tile beyond the window's edge never does.
    Mon->SetGraphShown(false);
    Mon->OnMonitorUpdated = [this](TPingerSession& S) { emit MonitorUpdated(&S); };
    Mon->SetLogWorker(FWorker.get());
    Mon->SetLogFolder(FLogFolder.toStdString());
    Mon->SetLogEnabled(FSettings.Logging);
    Mon->BeginMonitor(Target.toStdString(), FriendlyName(Target).toStdString());
    FSettings.ApplyTo(*Mon);
    FOwned.emplace(Mon, std::move(Owned));
    FMonitors.Add(Target, Mon);
    emit MonitorAdded(Mon);
    if (!FMainPanel) {
        SetMainPanel(Mon);
    }
    return TAddResult::Added;
}

void TMonitorHub::SetMainPanel(TPingerSession* Monitor) {
    if (FMainPanel != Monitor) {
        FMainPanel = Monitor;
        emit MainPanelChanged(Monitor);
    }
}

void TMonitorHub::MoveToMainPanel(TPingerSession* Monitor) {
    // While a removal is told, the panel is already promised to the first in target order: a
    // view following the removal (a list selecting the next row) moves nothing.
    if (Monitor && !FTellingRemoval && IndexOf(Monitor) >= 0) {
        SetMainPanel(Monitor);
    }
}

void TMonitorHub::Close(TPingerSession* Monitor) {
    const int Index = IndexOf(Monitor);
    if (Index < 0) {
        return;
    }
    Monitor->StopMonitor();
    FMonitors.Delete(Index);
    const auto Owned = FOwned.extract(Monitor);
    // The main panel never shows a monitor that has gone: the first in target order takes it
    // before anyone hears of the removal.
    const bool WasMain = FMainPanel == Monitor;
    TPingerSession* const HandedTo = FMonitors.Count() > 0 ? FMonitors.Monitor(0) : nullptr;
    if (WasMain) {
        FMainPanel = HandedTo;
    }
    {
        const bool Outer = std::exchange(FTellingRemoval, true);
        try {
            emit MonitorRemoved(Monitor);
        } catch (...) {
            FTellingRemoval = Outer;
            throw;
        }
        FTellingRemoval = Outer;
    }
    if (WasMain) {
        emit MainPanelChanged(HandedTo);
    }
}

void TMonitorHub::CloseAll(const TProgress& Progress) {
    const TBusy Busy(*this);
    if (FWorker) {
        FWorker->ClearJobs();
    }
    const int Count = FMonitors.Count();
    if (Progress.Begin) {
        Progress.Begin(TWork::Closing, Count);
    }
    // Events are handled before the first monitor and then once a slice: handling them before
    // each of thousands of monitors made closing a large group take seconds.
    QElapsedTimer Slice;
    for (int I = Count - 1; I >= 0; --I) {
        if (!Slice.isValid() || Slice.elapsed() >= FSliceMs) {
            if (Progress.Pause) {
                Progress.Pause();
            }
            Slice.start();
        }
        // Events handled meanwhile may have closed monitors already.
        if (I < FMonitors.Count()) {
            Close(FMonitors.Monitor(I));
        }
        if (Progress.Step) {
            Progress.Step(I);
        }
    }
}

void TMonitorHub::OpenGroup(const QString& Name, const TProgress& Progress) {
    const TBusy Busy(*this);
    CloseAll(Progress);
    const QStringList Targets = FConfig ? FConfig->LoadGroupTargets(Name) : QStringList();
    if (Progress.Begin) {
        Progress.Begin(TWork::Loading, int(Targets.size()));
    }
    FGroupIncomplete = false;
    QElapsedTimer Slice;
    Slice.start();
    for (int I = 0; I < Targets.size(); ++I) {
        if (Slice.elapsed() >= FSliceMs) {
            if (Progress.Pause) {
                Progress.Pause();
            }
            Slice.restart();
        }
        if (FStopOpening) {
            FGroupIncomplete = true;
            break;
        }
        if (Progress.Step) {
            Progress.Step(I + 1);
        }
        const TAddResult Result = Add(Targets[I]);
        if (Result != TAddResult::Added && Progress.Refused) {
            Progress.Refused(Targets[I], Result);
        }
    }
    FCurrentGroup = Name;
}

void TMonitorHub::SaveGroup(const QString& Name) const {
    // No group open means nothing to write: an empty name would make a "[]" section.
    if (!FConfig || Name.trimmed().isEmpty()) {
        return;
    }
    FConfig->SaveGroup(Name, FMonitors.Targets());
}

template <class TApply>
void TMonitorHub::ApplyToAll(TApply Apply) {
    for (int I = 0; I < FMonitors.Count(); ++I) {
        Apply(*FMonitors.Monitor(I));
    }
    emit SettingsChanged();
}

void TMonitorHub::SetSpan(std::int32_t Seconds) {
    FSettings.Span = Seconds;
    ApplyToAll([Seconds](TPingerSession& S) { S.SetSpan(Seconds); });
}

void TMonitorHub::SetRange(std::int32_t Ms) {
    FSettings.Range = Ms;
    ApplyToAll([Ms](TPingerSession& S) { S.SetRange(Ms); });
}

void TMonitorHub::SetFrequency(std::int32_t Ms) {
    FSettings.Frequency = Ms;
    ApplyToAll([Ms](TPingerSession& S) { S.SetFrequency(Ms); });
}

void TMonitorHub::SetTimeOutMS(std::int32_t Ms) {
    FSettings.TimeOutMS = Ms;
    ApplyToAll([Ms](TPingerSession& S) { S.SetTimeOutMS(Ms); });
}

void TMonitorHub::SetPayloadSize(std::int32_t Bytes) {
    FSettings.PayloadSize = Bytes;
    ApplyToAll([Bytes](TPingerSession& S) { S.SetPayloadSize(Bytes); });
}

void TMonitorHub::SetLogging(bool On) {
    FSettings.Logging = On;
    ApplyToAll([On](TPingerSession& S) { S.SetLogEnabled(On); });
}

void TMonitorHub::SetAlerting(bool On) {
    FSettings.Alerting = On;
    emit SettingsChanged();
}

void TMonitorHub::SetHints(bool On) {
    FSettings.Hints = On;
    emit SettingsChanged();
}

void TMonitorHub::SetFriendlyNames(const QString& Text) {
    FFriendlyNames.clear();
    for (const QString& Line : FriendlyNameLines(Text)) {
        FFriendlyNames.push_back(SplitFriendlyNameLine(Line));
    }
}

QString TMonitorHub::FriendlyName(const QString& Target) const {
    for (const TFriendlyNameRow& Row : FFriendlyNames) {
        if (Row.Host.compare(Target, Qt::CaseInsensitive) == 0) {
            return Row.Name;
        }
    }
    return QString();
}

void TMonitorHub::ApplyFriendlyNames() {
    for (int I = 0; I < FMonitors.Count(); ++I) {
        TPingerSession* Mon = FMonitors.Monitor(I);
        Mon->SetFriendlyName(FriendlyName(QString::fromStdString(Mon->Target())).toStdString());
        emit MonitorRenamed(Mon);
    }
}

TMonitorHub::TBusy::TBusy(TMonitorHub& Hub) : FHub(Hub) {
    if (FHub.FBusyDepth++ == 0) {
        emit FHub.BusyChanged(true);
    }
}

TMonitorHub::TBusy::~TBusy() {
    if (--FHub.FBusyDepth == 0) {
        FHub.FStopOpening = false;
        emit FHub.BusyChanged(false);
    }
}

#include "uVantorelCore.h"

#include "ZRegistry.h"
#include "uAlertCenter.h"
#include "uAlertNotifier.h"
#include "uAlertSettingsFile.h"
#include "uConfigStore.h"
#include "uHubAlerts.h"
#include "uPingerSession.h"
#include "uZephraTools.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <utility>

namespace {

using TMessage = IVantorelPrompter::TMessage;
using TButtons = IVantorelPrompter::TButtons;

} // namespace

// --- group catalogue -------------------------------------------------------------------------

void TGroupCatalogue::SetNames(const QStringList& Names) {
    FNames = TConfigStore::SortedGroupNames(Names);
    emit NamesChanged();
}

QString TGroupCatalogue::Find(const QString& Name) const {
    for (const QString& Entry : FNames) {
        if (Entry.compare(Name, Qt::CaseInsensitive) == 0) {
            return Entry;
        }
    }
    return QString();
}

void TGroupCatalogue::Add(const QString& Name) {
    QStringList Names = FNames;
    Names.append(Name);
    SetNames(Names);
}

bool TGroupCatalogue::Remove(const QString& Name) {
    for (qsizetype I = 0; I < FNames.size(); ++I) {
        if (FNames[I].compare(Name, Qt::CaseInsensitive) == 0) {
            FNames.removeAt(I);
            emit NamesChanged();
            return true;
        }
    }
    return false;
}

void TGroupCatalogue::CurrentMayHaveChanged() {
    if (FShownCurrent != Current()) {
        FShownCurrent = Current();
        emit CurrentChanged();
    }
}

// --- the core ----------------------------------------------------------------------------------

TVantorelCore::TVantorelCore(TRegistryStore* Registry, QObject* Parent)
    : QObject(Parent), FRegistry(Registry), FHub(std::make_unique<TMonitorHub>()),
      FDesktopNotifier(std::make_unique<TDesktopNotifier>()),
      FAlerts(std::make_unique<TAlertCenter>()) {
    if (!FRegistry) {
        FOwnRegistry = std::make_unique<TLinuxRegistryStore>();
        FRegistry = FOwnRegistry.get();
    }
    FAlerts->SetNotifier(FDesktopNotifier.get());
    WatchHubAlerts(*FHub, *FAlerts);
    connect(FHub.get(), &TMonitorHub::BusyChanged, this, [this](bool Busy) {
        if (!Busy && FCloseDeferred) {
            QTimer::singleShot(0, this, [this] {
                if (std::exchange(FCloseDeferred, false)) {
                    CloseNow();
                }
            });
        }
    });
}

TVantorelCore::~TVantorelCore() {
    // The monitors go while the alerts still watch and the worker still runs.
    FHub.reset();
}

void TVantorelCore::SetPrompter(IVantorelPrompter* Prompter) {
    FPrompter = Prompter;
}

void TVantorelCore::SetAlertNotifier(TAlertNotifier* Notifier) {
    FAlerts->SetNotifier(Notifier ? Notifier : FDesktopNotifier.get());
}

void TVantorelCore::Tell(TMessage Kind, const QString& Text) {
    if (FPrompter) {
        FPrompter->Tell(Kind, Text);
    } else {
        qWarning("%s", qUtf8Printable(Text));
    }
}

bool TVantorelCore::Confirm(const QString& Text, TButtons Buttons) {
    return FPrompter && FPrompter->Confirm(Text, Buttons);
}

void TVantorelCore::ShowError(const std::exception& Error) {
    if (FPrompter) {
        FPrompter->ShowError(Error);
    } else {
        qWarning("%s", Error.what());
    }
}

void TVantorelCore::EnableControls(bool Enabled) {
    FControlsEnabled = Enabled;
    emit ControlsEnabledChanged(Enabled);
}

// --- life cycle ------------------------------------------------------------------------------

bool TVantorelCore::Create() {
    FCreated = false;
    try {
        FConfig = std::make_unique<TConfigStore>(*FRegistry);
        FHub->SetConfig(FConfig.get());
        FConfig->PrepareConfigFolder();
        FConfig->OpenConfig();
        EnableControls(false);
        FActivated = false;
        FHub->StartWorker();
        // Without a data folder there is no log folder: never one below the file system's root.
        const QString DataFolder = GetUserAppDataFolder();
        FHub->SetLogFolder(DataFolder.isEmpty()
                               ? QString()
                               : DataFolder + QStringLiteral("/Zephra Software/Vantorel"));
        if (!FHub->LogFolder().isEmpty()) {
            QDir().mkpath(FHub->LogFolder());
        }
        FCreated = true;
    } catch (const std::exception& E) {
        // The rest of the set-up has not run, and the activation and the close assume it:
        // nothing is loaded or saved in this run.
        ShowError(E);
        EnableControls(false);
    }
    return FCreated;
}

bool TVantorelCore::Activate() {
    if (FActivated) {
        return true;
    }
    FActivated = true;
    if (!FCreated) {
        return false;
    }
    try {
        if (!FConfig->ConfigFileExists()) {
            FConfig->ImportLegacyConfiguration();
        }
    } catch (const std::exception& E) {
        // What the carry-over wrote stays; no group opens in this run.
        ShowError(E);
        return false;
    }
    ApplyConfiguration();
    EnableControls(true);
    return true;
}

void TVantorelCore::ApplyConfiguration() {
    const TMonitorHub::TBusy Busy(*FHub);
    EnableControls(false);
    LoadSettings();
    FConfigApplied = true;
    try {
        const QString Wanted = FStartGroup.isEmpty() ? FConfig->ReadDefaultGroup() : FStartGroup;
        if (const QString Group = FGroups.Find(Wanted); !Group.isEmpty()) {
            OpenGroup(Group);
        } else if (!FStartGroup.isEmpty()) {
            Tell(TMessage::Error,
                 QStringLiteral("There is no group named \"") + Wanted + QStringLiteral("\"."));
        }
    } catch (const std::exception& E) {
        // The program stays usable: the user can open a group by hand.
        ShowError(E);
    }
    EnableControls(true);
}

void TVantorelCore::LoadSettings() {
    try {
        SetHintsEnabled(FConfig->ReadHintsEnable());
        FHub->SetLogging(FConfig->ReadLoggingEnable());
        FAlerts->SetSettings(ReadAlertSettings(FConfig->Config()));
        FHub->SetAlerting(ReadAlertingEnable(FConfig->Config()));
        // A stored value that changes the view is written back as the view now shown (any
        // number but 0 reads as the list and is stored as 1).
        if (FConfig->ReadListViewEnable() != FListView) {
            ToggleView();
        }
        QStringList Names;
        FConfig->LoadGroupList(Names);
        FGroups.SetNames(Names);
        FHub->SetFriendlyNames(FConfig->ReadFriendlyNames());
    } catch (const std::exception& E) {
        Tell(TMessage::Plain, QString::fromUtf8(E.what()));
    }
}

void TVantorelCore::SaveOnClose() {
    FConfig->WriteHintsEnable(FHub->Settings().Hints);
    if (FStartGroup.isEmpty()) {
        FConfig->WriteDefaultGroup(FGroups.Current());
    }
    if (!FGroups.Incomplete()) {
        SaveGroup(FGroups.Current());
    }
}

void TVantorelCore::SaveSession() {
    if (!FConfigApplied) {
        return;
    }
    try {
        if (FHub->Busy()) {
            FConfig->WriteHintsEnable(FHub->Settings().Hints);
        } else {
            SaveOnClose();
        }
    } catch (const std::exception& E) {
        qWarning("%s", E.what());
    }
}

bool TVantorelCore::RequestClose() {
    if (FHub->Busy()) {
        // Bulk work lets events run between its steps: the close waits for its end.
        FCloseDeferred = true;
        FHub->StopOpening();
        return false;
    }
    CloseNow();
    return true;
}

void TVantorelCore::CloseNow() {
    EnableControls(false);
    // Saved once per applied configuration: a second close would find no monitors and empty
    // the open group, and a run that never loaded its configuration would overwrite it.
    if (std::exchange(FConfigApplied, false)) {
        try {
            SaveOnClose();
        } catch (const std::exception& E) {
            ShowError(E);
        }
    }
    CloseAllMonitors();
    // Every write of the store reached the disk when it returned: there is nothing to flush.
    emit Closed();
}

// --- monitors --------------------------------------------------------------------------------

void TVantorelCore::TellRefused(TMonitorHub::TAddResult Result) {
    switch (Result) {
    case TMonitorHub::TAddResult::Added:
    case TMonitorHub::TAddResult::Blank:
        break;
    case TMonitorHub::TAddResult::ControlCharacter:
        Tell(TMessage::Warning, QStringLiteral("The target cannot contain line breaks."));
        break;
    case TMonitorHub::TAddResult::Duplicate:
        Tell(TMessage::Warning, QStringLiteral("The specified target is already being monitored."));
        break;
    }
}

TMonitorHub::TProgress TVantorelCore::Progress() {
    TMonitorHub::TProgress P;
    P.Begin = [this](TMonitorHub::TWork Work, int Count) {
        FWork = Work;
        emit ProgressBegin(Work, Count);
    };
    P.Step = [this](int Position) { emit ProgressStep(Position); };
    P.Pause = [this] {
        emit SliceEnded(FWork);
        QCoreApplication::processEvents();
    };
    // A warning about one target shows the monitors started before it in their places.
    P.Refused = [this](const QString&, TMonitorHub::TAddResult Result) {
        emit SliceEnded(FWork);
        TellRefused(Result);
    };
    return P;
}

void TVantorelCore::SaveGroup(const QString& Name) {
    FHub->SaveGroup(Name);
}

void TVantorelCore::AddMonitor(const QString& Target) {
    TellRefused(FHub->Add(Target));
}

void TVantorelCore::AddTarget(const QString& Target) {
    const TMonitorHub::TAddResult Result = FHub->Add(Target);
    TellRefused(Result);
    // Saved even when nothing started; a target config.ini cannot hold changes nothing.
    if (Result != TMonitorHub::TAddResult::ControlCharacter) {
        SaveGroup(FGroups.Current());
    }
}

void TVantorelCore::MonitorCloseClicked() {
    SaveGroup(FGroups.Current());
}

void TVantorelCore::CloseAllMonitors() {
    try {
        FHub->CloseAll(Progress());
    } catch (...) {
        emit ProgressEnd();
        throw;
    }
    emit ProgressEnd();
}

void TVantorelCore::CloseAllClicked() {
    if (!Confirm(QStringLiteral("Close all monitors?"), TButtons::YesNoCancel)) {
        return;
    }
    EnableControls(false);
    try {
        CloseAllMonitors();
    } catch (...) {
        EnableControls(true);
        throw;
    }
    EnableControls(true);
}

// --- groups ------------------------------------------------------------------------------------

// The hub adds the monitors in slices of 15 ms with events handled between them, so a group of
// thousands opens without a pause of the views and in time linear in its size. A close that
// arrives meanwhile ends the opening at the next slice.
void TVantorelCore::OpenGroup(const QString& Name) {
    EnableControls(false);
    try {
        FHub->OpenGroup(Name, Progress());
        FGroups.CurrentMayHaveChanged();
    } catch (...) {
        emit ProgressEnd();
        EnableControls(true);
        throw;
    }
    emit ProgressEnd();
    EnableControls(true);
}

void TVantorelCore::SelectGroup(const QString& Name) {
    if (Name != FGroups.Current() && !Name.trimmed().isEmpty()) {
        OpenGroup(Name);
    }
}

void TVantorelCore::CreateGroup(const QString& Name) {
    SaveGroup(FGroups.Current());
    FConfig->AddGroupName(Name);
    FGroups.Add(Name);
    SelectGroup(Name);
}

void TVantorelCore::AddGroupClicked() {
    const std::optional<QString> Name =
        FPrompter ? FPrompter->AskGroupName(FGroups.Names()) : std::nullopt;
    if (!Name) {
        return;
    }
    try {
        CreateGroup(*Name);
    } catch (const std::exception& E) {
        Tell(TMessage::Error, QString::fromUtf8(E.what()));
    }
}

void TVantorelCore::DeleteGroup(const QString& Name) {
    if (FGroups.Remove(Name)) {
        FConfig->RemoveGroup(Name);
    }
}

void TVantorelCore::DeleteGroupClicked() {
    if (FGroups.Names().size() <= 1) {
        Tell(TMessage::Warning, QStringLiteral("There must be atleast one group.  Please create a "
                                               "new group before delting this one."));
        return;
    }
    const QString Shown = FGroups.Current();
    if (!Confirm(QStringLiteral("Are you sure you want to delete the \"") + Shown +
                     QStringLiteral("\" group?"),
                 TButtons::YesNoCancel)) {
        return;
    }
    CloseAllMonitors();
    DeleteGroup(Shown);
    SelectGroup(FGroups.Names().value(0));
}

// --- switches ----------------------------------------------------------------------------------

void TVantorelCore::SetHintsEnabled(bool On) {
    FHub->SetHints(On);
}

void TVantorelCore::ToggleLogging() {
    FHub->SetLogging(!FHub->Settings().Logging);
    // Kept at once, so that only a file whose user used the switch holds it.
    if (FConfig) {
        try {
            FConfig->WriteLoggingEnable(FHub->Settings().Logging);
        } catch (const std::exception& Error) {
            ShowError(Error);
        }
    }
}

void TVantorelCore::ToggleAlerting() {
    FHub->SetAlerting(!FHub->Settings().Alerting);
    // Kept at once, as the logging switch is.
    if (FConfig) {
        try {
            WriteAlertingEnable(FConfig->Config(), FHub->Settings().Alerting);
        } catch (const std::exception& Error) {
            ShowError(Error);
        }
    }
}

void TVantorelCore::SetListView(bool Shown) {
    if (FListView != Shown) {
        FListView = Shown;
        emit ListViewChanged(Shown);
    }
}

void TVantorelCore::ToggleView() {
    SetListView(!FListView);
    if (FConfig) {
        FConfig->WriteListViewEnable(FListView);
    }
}

void TVantorelCore::SetAlertSettings(const TAlertSettings& Settings) {
    FAlerts->SetSettings(Settings);
    if (FConfig) {
        try {
            WriteAlertSettings(FConfig->Config(), FAlerts->Settings());
        } catch (const std::exception& Error) {
            ShowError(Error);
        }
    }
}

// --- friendly names ------------------------------------------------------------------------------

void TVantorelCore::EditFriendlyNames() {
    if (!FPrompter || !FConfig) {
        return;
    }
    // The stored table, afresh: edits an earlier cancelled opening left are discarded here.
    QString Names = FConfig->ReadFriendlyNames();
    FHub->SetFriendlyNames(Names);
    const bool Confirmed = FPrompter->EditFriendlyNames(Names);
    // The edited table is the program's table also when cancelled: monitors started before the
    // next opening take their names from it. Only a confirmed edit is stored and renames.
    FHub->SetFriendlyNames(Names);
    if (!Confirmed) {
        return;
    }
    FConfig->WriteFriendlyNames(Names);
    FHub->ApplyFriendlyNames();
}

// --- configuration exchange ----------------------------------------------------------------------

void TVantorelCore::ExportConfiguration() {
    if (!FConfig || !FPrompter) {
        return;
    }
    const QString FileName = FPrompter->ChooseConfigFile(true);
    if (!FileName.isEmpty()) {
        // A copy that cannot be made is told (the caller shows what this throws).
        FConfig->ExportConfigFile(FileName);
    }
}

void TVantorelCore::ImportConfiguration() {
    if (!FConfig || !FPrompter) {
        return;
    }
    const QString FileName = FPrompter->ChooseConfigFile(false);
    if (FileName.isEmpty()) {
        return;
    }
    if (const QString Problem = TConfigStore::ImportProblem(FileName); !Problem.isEmpty()) {
        // Said as the general error handler says it: a full stop after a last letter.
        Tell(TMessage::Error,
             Problem.isEmpty() || Problem.back() <= u'.' ? Problem : Problem + u'.');
        return;
    }
    if (!Confirm(QStringLiteral("The current configuration will be overwritten with the imported "
                                "settings.  Continue?"),
                 TButtons::OkCancel)) {
        return;
    }
    const TMonitorHub::TBusy Busy(*FHub);
    EnableControls(false);
    CloseAllMonitors();
    // No group is open now; the one open before belongs to the old configuration and must not
    // be written into the new one at the close.
    FHub->ForgetCurrentGroup();
    FGroups.CurrentMayHaveChanged();
    // A failed copy leaves the old file, which is then applied again; the user learns why.
    try {
        FConfig->ImportConfigFile(FileName);
    } catch (const std::exception& Error) {
        ShowError(Error);
        FConfig->OpenConfig();
    }
    ApplyConfiguration();
}

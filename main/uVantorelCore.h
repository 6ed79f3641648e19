// TVantorelCore is the program without its window: the configuration store, the monitor hub with
// its one friendly-name table, the group catalogue, the alert center and its notifier, the worker
// and the log folder, and the life cycle's steps in their order (create, first activation, apply
// the configuration, close), with the groups, the friendly names and the configuration's export
// and import. Qt Core only (and Qt D-Bus through the notifier): views show what it holds and turn
// a person's actions into its operations; what needs a person it asks through IVantorelPrompter.
//
//   TVantorelCore Core;
//   Core.SetPrompter(&Window);      // confirmations, file names, message boxes
//   Core.Create();                  // folders, config.ini, worker, log folder
//   Core.Activate();                // carry-over, configuration, default group
//   Core.AddTarget(QStringLiteral("localhost"));
//   Core.RequestClose();            // saves, closes every monitor, then Closed()
//
// Everything runs on the UI thread. Bulk work (opening a group, closing all) lets events run
// between slices; a close asked for meanwhile waits until the hub is idle, so the open group is
// never saved with a part of its targets.
#pragma once

#include "uAlertRules.h"
#include "uMonitorHub.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <exception>
#include <memory>
#include <optional>

class TAlertCenter;
class TAlertNotifier;
class TConfigStore;
class TDesktopNotifier;
class TRegistryStore;

// What the core asks of a person. The window answers with message boxes and dialogs; tests
// answer from a script.
class IVantorelPrompter {
public:
    enum class TMessage { Warning, Error, Information, Plain };
    enum class TButtons { OkCancel, YesNoCancel };

    // A message box with an OK button.
    virtual void Tell(TMessage Kind, const QString& Text) = 0;
    // A confirmation: true for OK or Yes.
    virtual bool Confirm(const QString& Text, TButtons Buttons) = 0;
    // The general error handler.
    virtual void ShowError(const std::exception& Error) = 0;
    // The export's save dialog or the import's open dialog; empty when cancelled.
    virtual QString ChooseConfigFile(bool Save) = 0;
    // The new group dialog: a name that is neither blank nor in Existing, or nothing.
    virtual std::optional<QString> AskGroupName(const QStringList& Existing) = 0;
    // The friendly names dialog on the table's text form; Text holds the table as the dialog
    // left it, also when cancelled. True when confirmed.
    virtual bool EditFriendlyNames(QString& Text) = 0;

protected:
    ~IVantorelPrompter() = default;
};

// The group names in the store's order (case-insensitive, no duplicates), and the open group with
// whether it opened whole, which the hub that opened it holds.
class TGroupCatalogue : public QObject {
    Q_OBJECT

public:
    explicit TGroupCatalogue(const TMonitorHub& Hub) : FHub(Hub) {}
    const QStringList& Names() const { return FNames; }
    void SetNames(const QStringList& Names);
    // The entry that equals Name without regard to case; empty when none.
    QString Find(const QString& Name) const;
    void Add(const QString& Name);
    bool Remove(const QString& Name); // case-insensitive; false when not an entry
    // The group last opened; empty until one opened.
    const QString& Current() const { return FHub.CurrentGroup(); }
    // A close cut its opening short: its stored targets are more than the running monitors.
    bool Incomplete() const { return FHub.GroupIncomplete(); }
    // The hub opened or forgot a group: views show it.
    void CurrentMayHaveChanged();

signals:
    void NamesChanged();
    void CurrentChanged();

private:
    const TMonitorHub& FHub;
    QStringList FNames;
    QString FShownCurrent; // what views were last told
};

class TVantorelCore : public QObject {
    Q_OBJECT

public:
    // Registry: what the legacy carry-over reads (none on Linux unless a test supplies one).
    explicit TVantorelCore(TRegistryStore* Registry = nullptr, QObject* Parent = nullptr);
    ~TVantorelCore() override;

    // Not owned; null: nobody answers (every question is declined, messages go to the log).
    void SetPrompter(IVantorelPrompter* Prompter);
    // Where alert notifications go; null: the desktop's notification service.
    void SetAlertNotifier(TAlertNotifier* Notifier);
    // A run for one group (the headless probe's choice): the first activation opens it instead
    // of the stored default group, and the close leaves the stored default group alone. A name
    // that is no group is told as an error, and no group opens.
    void SetStartGroup(const QString& Name) { FStartGroup = Name; }

    TMonitorHub& Hub() const { return *FHub; }
    TGroupCatalogue& Groups() { return FGroups; }
    const TGroupCatalogue& Groups() const { return FGroups; }
    TAlertCenter& Alerts() const { return *FAlerts; }
    TConfigStore* Config() const { return FConfig.get(); }

    // --- life cycle --------------------------------------------------------------------------
    // The configuration folder and file, the worker and the log folder. False when an error
    // stopped it (shown): nothing is then loaded or saved in this run.
    bool Create();
    bool Created() const { return FCreated; }
    // The first activation: the legacy carry-over when there is no config.ini, the
    // configuration applied, the default group opened. Later calls do nothing. False when the
    // carry-over failed: the controls then stay disabled.
    bool Activate();
    void ApplyConfiguration();
    void LoadSettings();
    void SaveOnClose();
    // What a close saves, without closing (a session manager's logout asks for it before it ends
    // the program). While bulk work runs only the hints switch is written: the open group is
    // then the close's to save. Failures go to the log, since nobody may be there to answer.
    void SaveSession();
    // The close: saves the switches and the open group once, closes every monitor and tells
    // Closed. While bulk work runs, the close waits for its end (and ends an opening at its next
    // slice). Returns whether it closed now.
    bool RequestClose();
    bool CloseDeferred() const { return FCloseDeferred; }

    // --- controls ----------------------------------------------------------------------------
    // Whether the views' controls take input; the life cycle and bulk work turn it off.
    bool ControlsEnabled() const { return FControlsEnabled; }
    void EnableControls(bool Enabled);

    // --- monitors ----------------------------------------------------------------------------
    // Starts a monitor of Target; a refused one is told (a blank target silently).
    void AddMonitor(const QString& Target);
    // A target from the Target box: started (or refused with its message), then the open group
    // saved.
    void AddTarget(const QString& Target);
    // After a monitor was closed by its own close button (and left the hub): the open group is
    // saved without it.
    void MonitorCloseClicked();
    void CloseAllMonitors();
    // The close-all command: asks first.
    void CloseAllClicked();

    // --- groups ------------------------------------------------------------------------------
    void OpenGroup(const QString& Name);
    // A name chosen in a groups box: opened unless blank or already open.
    void SelectGroup(const QString& Name);
    void CreateGroup(const QString& Name);
    // The new group command: asks for the name.
    void AddGroupClicked();
    void DeleteGroup(const QString& Name);
    // The delete command on the open group: refuses the last, asks, deletes, opens the first.
    void DeleteGroupClicked();

    // --- switches ----------------------------------------------------------------------------
    void SetHintsEnabled(bool On);
    // The logging and alerting switches flip and are kept in config.ini at once.
    void ToggleLogging();
    void ToggleAlerting();
    bool ListView() const { return FListView; }
    // Switches between the list and the tiles and keeps the choice in config.ini.
    void ToggleView();
    void SetAlertSettings(const TAlertSettings& Settings);

    // --- friendly names ----------------------------------------------------------------------
    // The dialog on the stored table; on OK the table is stored and every monitor renamed. A
    // cancelled edit stays in the table (not stored) until the next opening or configuration.
    void EditFriendlyNames();

    // --- configuration exchange ----------------------------------------------------------------
    void ExportConfiguration();
    void ImportConfiguration();

signals:
    void ControlsEnabledChanged(bool Enabled);
    void ListViewChanged(bool Shown);
    // Bulk work: a progress bar's caption and colour follow Work.
    void ProgressBegin(TMonitorHub::TWork Work, int Count);
    void ProgressStep(int Position);
    void ProgressEnd();
    // A slice of bulk work ended; events run right after.
    void SliceEnded(TMonitorHub::TWork Work);
    // The close is done: the views may go.
    void Closed();

private:
    TMonitorHub::TProgress Progress();
    void TellRefused(TMonitorHub::TAddResult Result);
    void Tell(IVantorelPrompter::TMessage Kind, const QString& Text);
    bool Confirm(const QString& Text, IVantorelPrompter::TButtons Buttons);
    void ShowError(const std::exception& Error);
    void SetListView(bool Shown);
    void SaveGroup(const QString& Name);
    void CloseNow();

    std::unique_ptr<TRegistryStore> FOwnRegistry;
    TRegistryStore* FRegistry;
    IVantorelPrompter* FPrompter = nullptr;
    std::unique_ptr<TConfigStore> FConfig;
    // Declared after the store, so the monitors go before it; the alerts watch the hub.
    std::unique_ptr<TMonitorHub> FHub;
    std::unique_ptr<TDesktopNotifier> FDesktopNotifier;
    std::unique_ptr<TAlertCenter> FAlerts;
    TGroupCatalogue FGroups{*FHub};
    TMonitorHub::TWork FWork = TMonitorHub::TWork::Closing;
    bool FCreated = false;
    bool FActivated = false;
    bool FControlsEnabled = true;
    bool FListView = false;
    // The configuration has been applied and not yet saved by a close: only then does closing
    // write the switches and the open group back.
    bool FConfigApplied = false;
    bool FCloseDeferred = false;
    QString FStartGroup;
};

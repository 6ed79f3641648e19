// TMonitorHub holds the program's running monitors without any window: the sessions in target
// order, which of them is in the main panel, the worker thread that writes their logs, the log
// folder, the settings every monitor gets, the friendly-name table and the open group. The main
// window shows what it holds and turns the user's actions into its operations; other parts (the
// list, alerts, a tray) watch it through its signals.
//
//   TMonitorHub Hub;
//   Hub.SetConfig(&Store);                  // groups are read from and saved to the store
//   Hub.StartWorker(); Hub.SetLogFolder(Folder);
//   QObject::connect(&Hub, &TMonitorHub::MonitorAdded, ShowMonitor);
//   if (Hub.Add(QStringLiteral("localhost")) == TMonitorHub::TAddResult::Duplicate) ...
//   Hub.SetSpan(300);                       // every monitor now and every later one
//   Hub.OpenGroup(QStringLiteral("Servers"), Progress);
//
// Rules kept here: a target runs once (compared as the list sorts, without regard to case); a
// blank target and one holding a line break or NUL never start; while there are monitors exactly
// one of them is in the main panel (the first added, and after it goes the first in target
// order); bulk work (opening a group, closing all) marks the hub busy and lets its caller handle
// events between steps, and StopOpening ends an opening early, leaving the group marked
// incomplete so that its stored targets are not overwritten with the part that opened.
// Everything runs on the UI thread; sessions call back only there.
#pragma once

#include "uMonitorCollection.h"
#include "uMonitorSettings.h"
#include "zsTextRules.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class TConfigStore;
class TPingerSession;
class TzsWorkerThread;

class TMonitorHub : public QObject {
    Q_OBJECT

public:
    enum class TAddResult { Added, Blank, ControlCharacter, Duplicate };
    enum class TWork { Closing, Loading };
    // What bulk work reports to its caller. Each member may be empty.
    struct TProgress {
        std::function<void(TWork Work, int Count)> Begin; // work on Count monitors starts
        std::function<void(int Position)> Step;           // position of the work done so far
        std::function<void()> Pause;                      // a slice ended: let events run
        // A stored target that did not start (duplicate, blank or unstorable).
        std::function<void(const QString& Target, TAddResult Result)> Refused;
    };
    using TSessionFactory = std::function<std::unique_ptr<TPingerSession>()>;

    // Group opening adds, and closing all closes, monitors in slices of this many milliseconds
    // (0: a pause before every monitor).
    static constexpr int DefaultSliceMs = 15;

    explicit TMonitorHub(QObject* Parent = nullptr);
    ~TMonitorHub() override;

    // --- set-up ------------------------------------------------------------------------------
    // Makes each new session (tests hand in sessions with a fake clock and echo).
    void SetSessionFactory(TSessionFactory Factory) { FSessionFactory = std::move(Factory); }
    void SetConfig(TConfigStore* Config) { FConfig = Config; } // not owned; null: no groups
    void StartWorker();
    TzsWorkerThread* Worker() const { return FWorker.get(); }
    void SetLogFolder(const QString& Folder) { FLogFolder = Folder; } // for later monitors
    const QString& LogFolder() const { return FLogFolder; }
    void SetSliceMs(int Ms) { FSliceMs = Ms; }

    // --- the collection ----------------------------------------------------------------------
    // Starts a monitor of Target, exactly as given, with the current settings.
    TAddResult Add(const QString& Target);
    // Stops the monitor and lets it go: observers hear MonitorRemoved while it is still whole.
    // A monitor not in the hub is ignored.
    void Close(TPingerSession* Monitor);
    // Closes every monitor, the last in target order first, calling Pause before the first and
    // then once a slice.
    void CloseAll(const TProgress& Progress = {});
    int Count() const { return FMonitors.Count(); }
    TPingerSession* Monitor(int Index) const { return FMonitors.Monitor(Index); }
    int IndexOf(const TPingerSession* Monitor) const { return FMonitors.IndexOfMonitor(Monitor); }
    TPingerSession* Find(const QString& Target) const;
    QStringList Targets() const { return FMonitors.Targets(); }
    // The monitor in the main panel; null only when there is none.
    TPingerSession* MainPanelMonitor() const { return FMainPanel; }
    void MoveToMainPanel(TPingerSession* Monitor);

    // --- groups ------------------------------------------------------------------------------
    // Closes every monitor, then starts the group's stored targets in slices with Pause between
    // them; the group is the open one afterwards, also when StopOpening cut it short.
    void OpenGroup(const QString& Name, const TProgress& Progress = {});
    // Ends an opening under way before its next monitor (a close of the window meanwhile).
    // Holds until the hub is idle again.
    void StopOpening() { FStopOpening = true; }
    bool GroupIncomplete() const { return FGroupIncomplete; }
    const QString& CurrentGroup() const { return FCurrentGroup; }
    // No group is open (a configuration was replaced).
    void ForgetCurrentGroup() { FCurrentGroup.clear(); }
    // Writes the running monitors' targets as the group's; a blank name writes nothing.
    void SaveGroup(const QString& Name) const;

    // --- settings ----------------------------------------------------------------------------
    const TMonitorSettings& Settings() const { return FSettings; }
    // Each goes to every running monitor and to every later one.
    void SetSpan(std::int32_t Seconds);
    void SetRange(std::int32_t Ms);
    void SetFrequency(std::int32_t Ms);
    void SetTimeOutMS(std::int32_t Ms);
    void SetPayloadSize(std::int32_t Bytes);
    void SetLogging(bool On);
    void SetAlerting(bool On);
    void SetHints(bool On);

    // --- friendly names ----------------------------------------------------------------------
    // The table later monitors read their names from (lines of host "~" name).
    void SetFriendlyNames(const QString& Text);
    // The name of the first row whose host equals Target without regard to case; empty if none.
    QString FriendlyName(const QString& Target) const;
    // Every running monitor takes the name the table holds for its target.
    void ApplyFriendlyNames();

    // --- busy --------------------------------------------------------------------------------
    bool Busy() const { return FBusyDepth > 0; }
    // Marks the hub busy for its lifetime; BusyChanged fires at the outermost.
    class TBusy {
    public:
        explicit TBusy(TMonitorHub& Hub);
        ~TBusy();
        TBusy(const TBusy&) = delete;
        TBusy& operator=(const TBusy&) = delete;

    private:
        TMonitorHub& FHub;
    };

signals:
    void MonitorAdded(TPingerSession* Monitor);
    // Out of the collection and stopped, still whole; it is freed right after.
    void MonitorRemoved(TPingerSession* Monitor);
    // A new result: Monitor->Snapshot() holds it (on the UI thread, no monitor lock held).
    void MonitorUpdated(TPingerSession* Monitor);
    // A new display name from the friendly-name table.
    void MonitorRenamed(TPingerSession* Monitor);
    void MainPanelChanged(TPingerSession* Monitor); // null: no monitor left
    void SettingsChanged();
    void BusyChanged(bool Busy);

private:
    void SetMainPanel(TPingerSession* Monitor);
    template <class TApply>
    void ApplyToAll(TApply Apply);

    TSessionFactory FSessionFactory;
    TConfigStore* FConfig = nullptr;
    std::unique_ptr<TzsWorkerThread> FWorker;
    QString FLogFolder;
    TMonitorSettings FSettings;
    std::vector<TFriendlyNameRow> FFriendlyNames;
    QString FCurrentGroup;
    bool FGroupIncomplete = false;
    bool FStopOpening = false;
    int FBusyDepth = 0;
    int FSliceMs = DefaultSliceMs;

    TMonitorList FMonitors; // target order
    std::unordered_map<const TPingerSession*, std::unique_ptr<TPingerSession>> FOwned;
    TPingerSession* FMainPanel = nullptr;
    bool FTellingRemoval = false; // MonitorRemoved is being emitted
};

// TPingerSession is the non-visual core of a monitor window: it runs the target's ping loop,
// keeps the samples and settings, decides when a log record is due, and feeds the graph
// renderer (TPingerGraph), whose picture and status texts the window only shows.
//
//   TPingerSession s;                        // on the UI thread
//   s.OnMonitorUpdated = [](TPingerSession& m) { refreshRow(m.Snapshot()); };
//   s.SetLogWorker(&worker); s.SetLogFolder(folder);
//   s.BeginMonitor("localhost", "");
//   s.SetSpan(300); s.SetRange(-1); s.SetTimeOutMS(5000); s.SetPayloadSize(16);
//   ... s.ComposedBitmap().Image() is the graph; s.StatusText(), s.UpTimeText() the status line
//
// Its state is read through accessors and changed only through the setters, each of which does
// the whole job: it stores the value, hands it to the running loop and redraws what depends on
// it. The window that shows a session registers itself as its view (SetView) and repaints what
// the *Changed() calls name. Time comes from the injected clock, so tests drive hours of samples in
// milliseconds.
#pragma once

#include "uPingSamples.h"
#include "uPingerGraph.h"
#include "zsPingLog.h"
#include "zsPingLoopThread.h"
#include "zsRaster.h"

#include <QFont>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class TUiInvoker;
class TzsWorkerThread;

// What a session tells the window that shows it, each after the matching outputs changed.
class TPingerSessionView {
public:
    virtual void HeaderChanged() {}
    virtual void StatusLineChanged() {}
    virtual void GraphChanged() {}
    virtual void PingIndicatorChanged() {}
    virtual void DegradedChanged() {}
    // Whether anyone can see the graph now; a session without a view draws as if seen.
    virtual bool GraphVisible() const { return true; }

protected:
    ~TPingerSessionView() = default;
};

// What views of a monitor show besides its graph (the list's row, a probe's figures): taken
// under the monitor lock after each result and read by the views on the UI thread once the lock
// is released, so that no view ever holds the lock the log writer takes.
struct TMonitorSnapshot {
    std::string DisplayName;
    TPingEvent LastEvent;
    double Uptime = 0;
    std::int32_t Min = 0;
    std::int32_t Max = 0;
    double Avg = 0;
    bool Degraded = false;
};

// A monitor's whole name and what it pings, one per line, for a tooltip: the name, the target
// when the name is another (a friendly name), and the address once known and not the target.
QString MonitorToolTip(const QString& Name, const QString& Target, const QString& Address);

class TPingerSession {
public:
    using TMonitorEvent = std::function<void(TPingerSession& Sender)>;

    static constexpr std::int32_t MinNone = TGraphStats::MinNone; // Min with no success counted
    static constexpr std::int32_t AutoRange = TPingerGraph::AutoRange; // the Range that picks it

    explicit TPingerSession(std::shared_ptr<TClock> Clock = nullptr);
    virtual ~TPingerSession();
    TPingerSession(const TPingerSession&) = delete;
    TPingerSession& operator=(const TPingerSession&) = delete;

    // --- life cycle of the ping loop ---------------------------------------------------------
    // DisplayName becomes FriendlyName (the target when empty), then StartPingLoop(Target).
    void BeginMonitor(const std::string& Target, const std::string& FriendlyName);
    // Resets the statistics and the log interval and redraws; starts a loop unless one runs
    // (a running loop keeps the target it was started with).
    void StartPingLoop(const std::string& Target);
    // Stops the loop (without waiting for it) and forgets the samples and the target.
    void StopMonitor();
    // The loop's callbacks, on the UI thread. A full log queue costs PingDone only the queueing
    // (the record stays due and the next result queues it); any other fault reaches the caller,
    // the loop, which reports it as a failed result.
    void BeforePing();
    void PingDone(const TPingEvent& Event);

    // --- settings ----------------------------------------------------------------------------
    // A new loop starts with the frequency and payload set here (1000 ms and 0 bytes until
    // set) and with the timeout set here, or 3000 ms while none is.
    void SetFrequency(std::int32_t Ms);
    std::int32_t Frequency() const { return FFrequency; }
    void SetSpan(std::int32_t Seconds);
    std::int32_t Span() const { return FSpan; }
    void SetRange(std::int32_t Ms); // AutoRange (-1): picked from the highest round trip
    std::int32_t Range() const { return FRange; }
    // The range the graph is drawn with: the automatic pick or the fixed setting.
    std::int32_t DisplayRange() const { return FGraph.DisplayRange(); }
    void SetTimeOutMS(std::int32_t Ms); // replies slower than this count as failed in the graph
    std::int32_t TimeOutMS() const;
    void SetPayloadSize(std::int32_t Bytes);
    std::int32_t PayloadSize() const { return FPayloadSize; }
    static std::string MakePayload(std::int32_t Count);
    // Blanks and control characters alone make no name: the target is shown instead.
    void SetFriendlyName(const std::string& Name);
    // Off: results update the statistics only. Switched back on, the graph catches up at once.
    void SetDrawEnabled(bool Enabled);
    bool DrawEnabled() const { return FDrawEnabled; }
    // Marks the monitor's results as degraded (lossy or slow while the host answers); the
    // window says so in its status line. The alerts decide it; a new start clears it.
    void SetDegraded(bool On);
    bool Degraded() const { return FDegraded; }
    // Size of the graph area in the window, in logical pixels, and the device pixels per
    // logical pixel of its screen (the graph is drawn at device pixels); redraws in full.
    void SetGraphAreaSize(int Width, int Height, qreal DevicePixelRatio = 1.0);
    // Off while the window is out of sight: the graph's rasters are let go and results update
    // only the statistics and the status texts. Back on, the next refresh draws it whole.
    void SetGraphShown(bool Shown);

    // --- log ---------------------------------------------------------------------------------
    void SetLogEnabled(bool Enabled) { FLogEnabled = Enabled; }
    bool LogEnabled() const { return FLogEnabled; }
    void SetLogWorker(TzsWorkerThread* Worker) { FLogWorker = Worker; } // not owned
    TzsWorkerThread* LogWorker() const { return FLogWorker; }
    void SetLogFolder(const std::string& Folder);
    std::string LogFolder() const;
    void SetLogInterval(std::int32_t Seconds) { FLogInterval = Seconds; }
    std::int32_t LogInterval() const { return FLogInterval; }
    // Writes the current interval's record and starts a new interval; what a queued job runs,
    // on the worker thread.
    void WriteLogRecord();

    // --- results -----------------------------------------------------------------------------
    const std::string& Target() const { return FTarget; } // empty while stopped
    const std::string& DisplayName() const { return FDisplayName; }
    bool OnLine() const { return FOnLine; }
    TPingEvent LastEvent() const; // as delivered; under StatsLock
    const std::string& AddressText() const { return FAddressText; }
    // Statistics over the span.
    double Uptime() const { return FGraph.Stats().Uptime; }
    std::int32_t Min() const { return FGraph.Stats().Min; }
    std::int32_t Max() const { return FGraph.Stats().Max; }
    double Avg() const { return FGraph.Stats().Avg; }
    const TPingSamples& Samples() const { return FSamples; }
    TPingLogAvg LogStats() const; // a copy taken under StatsLock
    // The monitor lock: guards the last result, the timeout and the log totals. Never held
    // while OnMonitorUpdated runs.
    std::recursive_mutex& StatsLock() const { return FLog->StatsLock; }
    // What views show, as of the last result, name or alert change (UI thread).
    const TMonitorSnapshot& Snapshot() const { return FSnapshot; }
    TPingLoopThread* LoopThread() const { return FLoopThread.get(); }

    // --- what the window shows -------------------------------------------------------------
    const QString& HeaderText() const { return FHeaderText; }
    TColor HeaderColor() const { return FGraph.HeaderColor(); }
    const QString& StatusText() const { return FGraph.StatusText(); }
    TColor StatusColor() const { return FGraph.StatusColor(); }
    const QFont& StatusFont() const { return FStatusFont; }
    const QString& UpTimeText() const { return FGraph.UpTimeText(); }
    bool PingIndicatorEnabled() const { return FPingIndicatorEnabled; }
    const TRaster& ComposedBitmap() const { return FGraph.Composed(); } // the graph area's picture
    const TPingerGraph& Graph() const { return FGraph; }
    // Redraws everything from the samples (the window shown or exposed again).
    void RefreshDisplay() { RefreshDisplay(true, nullptr); }

    // --- view and events ----------------------------------------------------------------------
    // The window showing this session (not owned; null: none). It is told of every change from
    // now on and is asked whether the graph is seen.
    void SetView(TPingerSessionView* View);
    TPingerSessionView* View() const { return FView; }
    // After each result, once its log record is queued and the lock released; Snapshot() holds
    // the result.
    TMonitorEvent OnMonitorUpdated;

    // --- test seams: used by loops started afterwards -----------------------------------------
    void SetEchoFunction(TPingLoopThread::TEchoFunction Echo) { FEchoFunction = std::move(Echo); }
    void SetSyncInvoker(TPingLoopThread::TSyncInvoker Invoker) {
        FSyncInvoker = std::move(Invoker);
    }

private:
    TDateTime Now() const { return FClock->Now(); }
    // What the view is told.
    void HeaderChanged() {
        if (FView) {
            FView->HeaderChanged();
        }
    }
    void StatusLineChanged() {
        if (FView) {
            FView->StatusLineChanged();
        }
    }
    void GraphChanged() {
        if (FView) {
            FView->GraphChanged();
        }
    }
    void PingIndicatorChanged() {
        if (FView) {
            FView->PingIndicatorChanged();
        }
    }
    void DegradedChanged() {
        if (FView) {
            FView->DegradedChanged();
        }
    }
    bool GraphVisible() const { return !FView || FView->GraphVisible(); }

    // PingDone's steps.
    bool StoreResult(const TPingEvent& Event);
    TPingEventObj RecordSample(const TPingEvent& Event, bool Success, bool AfterSleep);
    void RefreshAfterResult(const TPingEventObj& Sample);
    void PruneIfDue();
    struct TLogStep {
        bool Closed = false; // a sleep closed the interval: its record waits to be written
        bool Due = false;    // the current interval's record is due
    };
    TLogStep CountInLogInterval(const TPingEvent& Event, bool AfterSleep);

    void SetTarget(const std::string& Target);
    void ShowHeader(const QString& Text);
    void SetPingIndicator(bool Enabled);
    void ResetStats();
    void ClearSamples();
    void PruneSamples();
    void QueueLogWrite();
    void UpdateBeforePingWanted();
    void QueueClosedLogWrite();
    void TakeSnapshot();

    // Has the graph redrawn (in full, or only the plot when the range is fixed) and tells the
    // window what changed.
    void RefreshDisplay(bool Full, const TPingEventObj* Sample);
    void ComputeStats();

    std::shared_ptr<TClock> FClock;
    std::shared_ptr<TPingLogState> FLog; // shared with queued log jobs
    std::unique_ptr<TUiInvoker> FInvoker;
    std::unique_ptr<TPingLoopThread> FLoopThread;
    TPingLoopThread::TEchoFunction FEchoFunction;
    TPingLoopThread::TSyncInvoker FSyncInvoker;
    TPingSamples FSamples;
    TPingerSessionView* FView = nullptr;

    // Settings.
    std::int32_t FFrequency = 1000;
    std::int32_t FSpan = 60;
    std::int32_t FRange = AutoRange;
    std::int32_t FPayloadSize = 0;
    bool FDrawEnabled = true;
    bool FLogEnabled = false;
    TzsWorkerThread* FLogWorker = nullptr;
    std::int32_t FLogInterval = 300; // seconds

    // Results.
    std::string FTarget;
    std::string FDisplayName;
    std::string FAddressText;
    bool FOnLine = false;
    // Under StatsLock.
    TPingEvent FLastEvent;
    std::int32_t FTimeOutMS = 0;

    // Window outputs.
    TPingerGraph FGraph; // the statistics, the rasters and the status line's texts
    QString FHeaderText = QStringLiteral("Monitor");
    QFont FStatusFont;
    bool FPingIndicatorEnabled = false;
    bool FGraphShown = true;
    bool FDegraded = false;
    bool FBeforePingWanted = true; // what the loop was told
    TMonitorSnapshot FSnapshot;
};

// TPingerSession is the non-visual core of a monitor window: it runs the target's ping loop,
// keeps the samples, statistics and settings, decides when a log record is due, and renders the
// graph and the texts of the header and status line, which the window only shows.
//
//   TPingerSession s;                        // on the UI thread
//   s.OnMonitorUpdated = [](TPingerSession& m) { refreshRow(m); };
//   s.LogWorker = &worker; s.SetLogFolder(folder);
//   s.BeginMonitor("localhost", "");
//   s.SetSpan(300); s.SetRange(-1); s.SetTimeOutMS(5000); s.SetPayloadSize(16);
//   ... s.ComposedBitmap.Image() is the graph; s.StatusText, s.UpTimeText the status line
//
// The window inherits it and overrides the *Changed() hooks to repaint what changed. Time comes
// from the injected clock, so tests drive hours of samples in milliseconds.
#pragma once

#include "uPingSamples.h"
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

// Text colours of the header and status line (0x00BBGGRR).
constexpr TColor clHeaderOnLine = 0x00FFFFFF;
constexpr TColor clHeaderOffLine = 0x0000C0FF;
constexpr TColor clResultSuccess = 0x0000C000;
constexpr TColor clResultFailure = 0x000020D0;
constexpr TColor clAddressText = 0x00FFC000;
constexpr TColor clAxisLabel = 0x00FFFFFF;

// The font of the graph's texts and of the status line: "Segoe UI" 8 points, or the nearest
// installed sans-serif.
QFont GraphFont();

// Right and bottom exclusive.
struct TPlotRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

class TPingerSession {
public:
    using TMonitorEvent = std::function<void(TPingerSession& Sender)>;

    static constexpr std::int32_t MinNone = 16777215; // Min when no success was counted

    explicit TPingerSession(std::shared_ptr<TClock> Clock = nullptr);
    virtual ~TPingerSession();
    TPingerSession(const TPingerSession&) = delete;
    TPingerSession& operator=(const TPingerSession&) = delete;

    // --- life cycle of the ping loop ---------------------------------------------------------
    void BeginMonitor(const std::string& Target, const std::string& FriendlyName);
    void StartPingLoop(const std::string& Target);
    void StopMonitor();
    void ResetStats();
    void ClearSamples();
    void PruneSamples();
    // The loop's callbacks.
    void BeforePing();
    void PingDone(const TPingEvent& Event);

    // --- settings ----------------------------------------------------------------------------
    void SetFrequency(std::int32_t Ms);
    void SetSpan(std::int32_t Seconds);
    void SetRange(std::int32_t Ms); // -1: automatic
    std::int32_t TimeOutMS() const;
    void SetTimeOutMS(std::int32_t Ms);
    void SetPayloadSize(std::int32_t Bytes);
    static std::string MakePayload(std::int32_t Count);
    void SetFriendlyName(const std::string& Name);

    // --- state shared with the main window and the log worker ---------------------------------
    bool OnLine() const { return FOnLine; }
    const std::string& Target() const { return FTarget; }
    TPingEvent LastEvent() const;
    TPingLogAvg LogStats() const;
    std::recursive_mutex& StatsLock() const { return FLog->StatsLock; }
    std::string LogFolder() const;
    void SetLogFolder(const std::string& Folder);
    TPingLoopThread* LoopThread() const { return FLoopThread.get(); }
    const TPingSamples& Samples() const { return FSamples; }

    // --- log ---------------------------------------------------------------------------------
    void QueueLogWrite();
    void WriteLogRecord(); // what the queued job runs, on the worker thread

    // --- graph -------------------------------------------------------------------------------
    void RefreshDisplay(bool Full, const TPingEventObj* Sample);
    void ComputeStats();
    void ChooseAutoRange();
    void DrawGraph();
    void DrawStatLines(TRaster& Plot);
    void DrawSamples(TRaster& Plot);
    static QString UnitSuffix(int Unit);
    // Axis labels, top to bottom and left to right.
    static QStringList ValueAxisLabels(std::int32_t Range);
    static QStringList TimeAxisLabels(std::int32_t Span);
    // Size of the graph area in the window; takes effect at the next full refresh.
    void SetGraphAreaSize(int Width, int Height);

    std::int32_t LogInterval = 300; // seconds
    std::string AddressText;
    bool DrawEnabled = true;
    std::string DisplayName;
    TMonitorEvent OnMonitorClosed;
    TMonitorEvent OnMonitorUpdated;
    TMonitorEvent OnCloseClicked;
    std::int32_t Max = 0;
    std::int32_t Min = MinNone;
    double Avg = 0;
    double Uptime = 0;
    std::int32_t PayloadSize = 0;
    bool AutoRange = true;
    std::int32_t Range = -1;
    std::int32_t Span = 60;
    TzsWorkerThread* LogWorker = nullptr; // not owned
    bool LogEnabled = false;

    // Rasters and the plot area within the background (half-open).
    TRaster BackgroundBitmap;
    TRaster PlotBitmap;
    TRaster ComposedBitmap;
    TPlotRect PlotRect;
    int GraphWidth = 250;
    int GraphHeight = 144;

    // What the window shows: header caption, status line and ping indicator.
    QString HeaderText = QStringLiteral("Monitor");
    TColor HeaderColor = clHeaderOnLine;
    QString StatusText;
    TColor StatusColor = clResultSuccess;
    QFont StatusFont;
    QString UpTimeText;
    bool PingIndicatorEnabled = false;

    // Test seams: the echo request and the hand-over to the UI thread of new loop threads.
    TPingLoopThread::TEchoFunction EchoFunction;
    TPingLoopThread::TSyncInvoker SyncInvoker;

protected:
    // Called after the matching outputs changed; the window repaints there.
    virtual void HeaderChanged() {}
    virtual void StatusLineChanged() {}
    virtual void GraphChanged() {}
    virtual void PingIndicatorChanged() {}

    TDateTime Now() const { return FClock->Now(); }

private:
    void SetTarget(const std::string& Target);
    void ShowHeader(const QString& Text);

    std::shared_ptr<TClock> FClock;
    std::shared_ptr<TPingLogState> FLog; // shared with queued log jobs
    std::unique_ptr<TUiInvoker> FInvoker;
    std::unique_ptr<TPingLoopThread> FLoopThread;
    TPingSamples FSamples;
    std::string FTarget;
    bool FOnLine = false;
    // Under StatsLock.
    TPingEvent FLastEvent;
    std::int32_t FTimeOutMS = 0;
};

#include "uPingerSession.h"

#include "uUiInvoker.h"
#include "zsWorkerThread.h"

namespace {
constexpr std::int32_t LoopStartTimeOut = 3000; // ms, while the monitor has no timeout set
constexpr std::size_t PruneEvery = 600;         // samples
constexpr std::int64_t KeepMinutes = 481;       // older samples go at a pruning
// A result after the machine slept at least this long follows a gap; shorter pauses of the
// machine pass for a slow period.
constexpr std::int64_t MinSleepMs = 1000;
} // namespace

TPingerSession::TPingerSession(std::shared_ptr<TClock> Clock)
    : FClock(Clock ? std::move(Clock) : SystemClock()),
      FLog(std::make_shared<TPingLogState>(FClock)), FInvoker(std::make_unique<TUiInvoker>()) {
    FLastEvent.Time = Now();
    FLastEvent.Success = false;
    FLastEvent.RoundTrip = -1;
    FLastEvent.Status = PING_STATUS_INITIALIZING;
    FLastEvent.IPAddress = "0.0.0.0";
    FStatusFont = GraphFont();
    FGraph.SetSize(250, 144); // the design size, until the window sets its own
    ResetStats();
    RefreshDisplay(true, nullptr);
    TakeSnapshot();
}

TPingerSession::~TPingerSession() {
    // The loop thread is only told to stop: it never calls back after that, and a call it is
    // waiting on is released when the invoker goes. Queued log jobs keep the log state alive.
    FLoopThread.reset();
    ClearSamples();
}

void TPingerSession::SetTarget(const std::string& Target) {
    FTarget = Target;
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    FLog->Target = Target;
}

void TPingerSession::ShowHeader(const QString& Text) {
    FHeaderText = Text;
    HeaderChanged();
}

void TPingerSession::SetPingIndicator(bool Enabled) {
    FPingIndicatorEnabled = Enabled;
    PingIndicatorChanged();
}

void TPingerSession::BeginMonitor(const std::string& Target, const std::string& FriendlyName) {
    FDisplayName = FriendlyName.empty() ? Target : FriendlyName;
    StartPingLoop(Target);
}

void TPingerSession::StartPingLoop(const std::string& Target) {
    FAddressText.clear();
    SetTarget(Target);
    ShowHeader(QString::fromLocal8Bit(FDisplayName));
    ResetStats();
    SetDegraded(false);
    RefreshDisplay(true, nullptr);
    TakeSnapshot();
    if (FLoopThread) {
        return;
    }
    auto Loop = std::make_unique<TPingLoopThread>(FClock, FEchoFunction);
    Loop->SetTarget(Target);
    Loop->SetFrequency(FFrequency);
    Loop->SetTimeOut(TimeOutMS() > 0 ? TimeOutMS() : LoopStartTimeOut);
    Loop->SetPayload(MakePayload(FPayloadSize));
    Loop->SetOnAfterPing([this](TPingEvent& Event) { PingDone(Event); });
    Loop->SetOnBeforePing([this](const std::string&) { BeforePing(); });
    if (FSyncInvoker) {
        Loop->SetSyncInvoker(FSyncInvoker);
    } else {
        Loop->SetSyncInvoker(FInvoker->Invoker());
        Loop->SetPostInvoker(FInvoker->Poster());
    }
    FBeforePingWanted = FDrawEnabled && FGraphShown && GraphVisible();
    Loop->SetBeforePingWanted(FBeforePingWanted);
    Loop->Resume();
    FLoopThread = std::move(Loop);
}

void TPingerSession::SetDegraded(bool On) {
    if (FDegraded != On) {
        FDegraded = On;
        FSnapshot.Degraded = On;
        DegradedChanged();
    }
}

// BeforePing only lights the indicator, which nobody sees while the monitor does not draw or
// is out of sight: the loop then spares the UI thread that hand-over. Wanted again, the
// indicator shows whether a request is out, as the skipped steps would have left it.
void TPingerSession::UpdateBeforePingWanted() {
    const bool Wanted = FDrawEnabled && FGraphShown && GraphVisible();
    if (Wanted == FBeforePingWanted) {
        return;
    }
    FBeforePingWanted = Wanted;
    if (FLoopThread) {
        FLoopThread->SetBeforePingWanted(Wanted);
    }
    if (Wanted && FLoopThread) {
        const bool Out = FLoopThread->RequestOutstanding();
        if (Out != FPingIndicatorEnabled) {
            SetPingIndicator(Out);
        }
    }
}

void TPingerSession::StopMonitor() {
    if (FLoopThread) {
        FLoopThread->Terminate();
    }
    FLoopThread.reset();
    ClearSamples();
    SetTarget(std::string());
    ShowHeader(QStringLiteral("Ping Monitor"));
    SetDegraded(false);
    FAddressText.clear();
    RefreshDisplay(true, nullptr);
    TakeSnapshot();
}

void TPingerSession::ResetStats() {
    FLog->ResetStats();
}

void TPingerSession::ClearSamples() {
    FSamples.Clear();
}

void TPingerSession::PruneSamples() {
    const TDateTime NowTime = Now();
    FSamples.RemoveIf([NowTime](const TPingEventObj& S) {
        return MillisecondsBetween(S.Time, NowTime) / 60000 > KeepMinutes;
    });
}

void TPingerSession::BeforePing() {
    if (FDrawEnabled) {
        SetPingIndicator(true);
    }
}

// Errors other than a full log queue reach the caller (the loop reports them as a failed
// result). The views hear of the result last, with the lock released and the log record queued:
// a view that waits (a message box) holds up neither the log writer nor the record.
void TPingerSession::PingDone(const TPingEvent& Event) {
    const TPingEvent E = Event;
    if (FDrawEnabled) {
        SetPingIndicator(false); // the request is no longer outstanding
    }
    const bool Success = StoreResult(E);
    const bool AfterSleep = E.SleptMs >= MinSleepMs;
    const TPingEventObj Sample = RecordSample(E, Success, AfterSleep);
    RefreshAfterResult(Sample);
    PruneIfDue();
    const TLogStep Log = CountInLogInterval(E, AfterSleep);
    if (Log.Closed) {
        QueueClosedLogWrite();
    }
    if (Log.Due) {
        QueueLogWrite();
    }
    if (OnMonitorUpdated) {
        OnMonitorUpdated(*this);
    }
}

// LastEvent keeps the result as delivered. Returns whether its sample counts as a success: a
// reply slower than the timeout fails in the graph only.
bool TPingerSession::StoreResult(const TPingEvent& E) {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    FLastEvent = E;
    return E.Success && E.RoundTrip <= FTimeOutMS;
}

// The new sample goes to the front; the on-line state and the address follow it. A sample
// failed by the timeout keeps its measured round trip. After a sleep of the machine the sample
// opens a gap: the graph joins nothing across it, and a failure that the sleep caused counts
// as none.
TPingEventObj TPingerSession::RecordSample(const TPingEvent& E, bool Success, bool AfterSleep) {
    FOnLine = Success;
    FAddressText = E.IPAddress;
    FSamples.PushFront(E);
    if (E.Success && !Success) {
        FSamples.SetFrontResult(false, PING_STATUS_REQ_TIMED_OUT);
    }
    if (AfterSleep) {
        FSamples.MarkFrontAfterGap();
    }
    return FSamples[0];
}

// Not drawing, only the statistics (the list view reads them) are brought up to date.
void TPingerSession::RefreshAfterResult(const TPingEventObj& Sample) {
    if (FDrawEnabled) {
        RefreshDisplay(false, &Sample);
    } else {
        ComputeStats();
    }
}

void TPingerSession::PruneIfDue() {
    if (FSamples.size() % PruneEvery == 0) {
        PruneSamples();
    }
}

// Adds the result as delivered to the log interval and takes the views' snapshot in the same
// hold of the lock, so the two agree. While logging, a sleep of the
// machine closes the interval: its record holds the awake time before the sleep, and the result
// after it opens the next one. A failure that the sleep caused is not counted.
TPingerSession::TLogStep TPingerSession::CountInLogInterval(const TPingEvent& E, bool AfterSleep) {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    TLogStep Step;
    if (AfterSleep && FLogEnabled) {
        Step.Closed = FLog->CloseInterval();
    }
    TPingLogAvg& Stats = FLog->Stats;
    if (E.Success) {
        ++Stats.SampleCount;
        Stats.TimeSum += E.Time;
        Stats.TripSum += E.RoundTrip;
        Stats.UptimeSum += 100;
    } else if (!AfterSleep) {
        ++Stats.SampleCount;
        Stats.TimeSum += E.Time;
        Stats.TripSum -= 1;
    }
    Step.Due = MillisecondsBetween(Stats.StartTime, Now()) / 1000 >= FLogInterval;
    TakeSnapshot();
    return Step;
}

void TPingerSession::SetFrequency(std::int32_t Ms) {
    FFrequency = Ms;
    if (FLoopThread) {
        FLoopThread->SetFrequency(Ms);
    }
}

void TPingerSession::SetSpan(std::int32_t Seconds) {
    FSpan = Seconds;
    RefreshDisplay(true, nullptr);
}

void TPingerSession::SetRange(std::int32_t Ms) {
    FRange = Ms;
    RefreshDisplay(true, nullptr);
}

std::int32_t TPingerSession::TimeOutMS() const {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    return FTimeOutMS;
}

void TPingerSession::SetTimeOutMS(std::int32_t Ms) {
    {
        std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
        FTimeOutMS = Ms;
    }
    if (FLoopThread) {
        FLoopThread->SetTimeOut(Ms);
    }
}

void TPingerSession::SetPayloadSize(std::int32_t Bytes) {
    FPayloadSize = Bytes;
    if (FLoopThread) {
        FLoopThread->SetPayload(MakePayload(Bytes));
    }
}

std::string TPingerSession::MakePayload(std::int32_t Count) {
    std::string Payload;
    if (Count <= 0) {
        return Payload;
    }
    Payload.resize(std::size_t(Count));
    for (std::int32_t I = 0; I < Count; ++I) {
        Payload[std::size_t(I)] = static_cast<char>(33 + I % 94);
    }
    return Payload;
}

void TPingerSession::SetFriendlyName(const std::string& Name) {
    bool Blank = true;
    for (const char C : Name) {
        if (static_cast<unsigned char>(C) > ' ') {
            Blank = false;
            break;
        }
    }
    FDisplayName = Blank ? FTarget : Name;
    FSnapshot.DisplayName = FDisplayName;
    ShowHeader(QString::fromLocal8Bit(FDisplayName));
}

void TPingerSession::SetDrawEnabled(bool Enabled) {
    const bool CatchUp = Enabled && !FDrawEnabled;
    FDrawEnabled = Enabled;
    UpdateBeforePingWanted();
    if (CatchUp) {
        // The graph and the status line as they would be had drawing never stopped.
        if (FSamples.empty()) {
            RefreshDisplay(true, nullptr);
        } else {
            const TPingEventObj Newest = FSamples[0];
            RefreshDisplay(true, &Newest);
        }
    }
}

TPingEvent TPingerSession::LastEvent() const {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    return FLastEvent;
}

void TPingerSession::TakeSnapshot() {
    const TGraphStats& Stats = FGraph.Stats();
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    FSnapshot = {FDisplayName, FLastEvent, Stats.Uptime, Stats.Min,
                 Stats.Max,    Stats.Avg,  FDegraded};
}

TPingLogAvg TPingerSession::LogStats() const {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    return FLog->Stats;
}

std::string TPingerSession::LogFolder() const {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    return FLog->LogFolder;
}

void TPingerSession::SetLogFolder(const std::string& Folder) {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    FLog->LogFolder = Folder;
}

void TPingerSession::QueueLogWrite() {
    if (!FLogEnabled || !FLogWorker) {
        return;
    }
    try {
        FLogWorker->AddJob(TThreadJob::Bind<TPingLogState, &TPingLogState::Run>(FLog));
    } catch (const EPingError&) {
        // A full queue: the interval stays due, so the next result queues the record again.
    }
}

void TPingerSession::QueueClosedLogWrite() {
    if (!FLogWorker) {
        return;
    }
    try {
        FLogWorker->AddJob(TThreadJob::Bind<TPingLogState, &TPingLogState::RunClosed>(FLog));
    } catch (const EPingError&) {
        // A full queue: the closed interval waits for the next job that writes the log.
    }
}

void TPingerSession::WriteLogRecord() {
    FLog->WriteLogRecord();
}

void TPingerSession::SetGraphAreaSize(int Width, int Height, qreal DevicePixelRatio) {
    FGraph.SetSize(Width, Height);
    FGraph.SetDevicePixelRatio(DevicePixelRatio);
    RefreshDisplay(true, nullptr);
}

void TPingerSession::ComputeStats() {
    FGraph.UpdateStats(FSamples, FSpan, Now());
}

void TPingerSession::SetView(TPingerSessionView* View) {
    FView = View;
    UpdateBeforePingWanted();
}

void TPingerSession::SetGraphShown(bool Shown) {
    FGraphShown = Shown;
    FGraph.SetShown(Shown && GraphVisible());
    UpdateBeforePingWanted();
}

void TPingerSession::RefreshDisplay(bool Full, const TPingEventObj* Sample) {
    FGraph.SetShown(FGraphShown && GraphVisible());
    const TPingerGraph::TInput In{&FSamples, FSpan, FRange, FOnLine, FAddressText, Now()};
    const bool Redrawn = FGraph.Refresh(In, Full, Sample);
    if (Redrawn || Sample) {
        HeaderChanged();
    }
    StatusLineChanged();
    GraphChanged();
}

QString MonitorToolTip(const QString& Name, const QString& Target, const QString& Address) {
    QStringList Lines{Name};
    if (!Target.isEmpty() && Target != Name) {
        Lines.append(Target);
    }
    if (!Address.isEmpty() && Address != QLatin1String("0.0.0.0") && Address != Target) {
        Lines.append(Address);
    }
    return Lines.join(u'\n');
}

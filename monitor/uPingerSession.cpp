#include "uPingerSession.h"

#include "uUiInvoker.h"
#include "zsWorkerThread.h"

#include <cctype>

TPingerSession::TPingerSession(std::shared_ptr<TClock> Clock)
    : FClock(Clock ? std::move(Clock) : SystemClock()),
      FLog(std::make_shared<TPingLogState>(FClock)), FInvoker(std::make_unique<TUiInvoker>()) {
    FLastEvent.Time = Now();
    FLastEvent.Success = false;
    FLastEvent.RoundTrip = -1;
    FLastEvent.Status = PING_STATUS_INITIALIZING;
    FLastEvent.IPAddress = "0.0.0.0";
    StatusFont = GraphFont();
    ResetStats();
    RefreshDisplay(true, nullptr);
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
    HeaderText = Text;
    HeaderChanged();
}

void TPingerSession::BeginMonitor(const std::string& Target, const std::string& FriendlyName) {
    DisplayName = FriendlyName.empty() ? Target : FriendlyName;
    StartPingLoop(Target);
}

void TPingerSession::StartPingLoop(const std::string& Target) {
    AddressText.clear();
    SetTarget(Target);
    ShowHeader(QString::fromLocal8Bit(DisplayName));
    Max = 0;
    Min = 0;
    Avg = 0;
    Uptime = 0;
    ResetStats();
    RefreshDisplay(true, nullptr);
    if (FLoopThread) {
        return;
    }
    auto Loop = std::make_unique<TPingLoopThread>(true, FClock, EchoFunction);
    Loop->SetTarget(Target);
    Loop->SetFrequency(1000);
    Loop->SetTimeOut(3000);
    Loop->SetPayload(MakePayload(PayloadSize));
    Loop->SetOnAfterPing([this](TPingEvent& Event) { PingDone(Event); });
    Loop->SetOnBeforePing([this](const std::string&) { BeforePing(); });
    Loop->SetSyncInvoker(SyncInvoker ? SyncInvoker : FInvoker->Invoker());
    Loop->Resume();
    FLoopThread = std::move(Loop);
}

void TPingerSession::StopMonitor() {
    if (FLoopThread) {
        FLoopThread->Terminate();
    }
    FLoopThread.reset();
    ClearSamples();
    SetTarget(std::string());
    ShowHeader(QStringLiteral("Ping Monitor"));
    AddressText.clear();
    RefreshDisplay(true, nullptr);
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
        return MillisecondsBetween(S.Time, NowTime) / 60000 > 481;
    });
}

void TPingerSession::BeforePing() {
    if (DrawEnabled) {
        PingIndicatorEnabled = true;
        PingIndicatorChanged();
    }
}

void TPingerSession::PingDone(const TPingEvent& Event) {
    // A result whose handling fails is dropped without a word; the next one is handled afresh.
    try {
        const TPingEvent E = Event;
        if (DrawEnabled) {
            PingIndicatorEnabled = false;
            PingIndicatorChanged();
        }
        bool Success = E.Success;
        TPingStatus Status = E.Status;
        {
            std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
            FLastEvent = E;
            // Too slow counts as failed in the graph only: the last result and the log keep the
            // reply as it came.
            if (Success && FTimeOutMS < E.RoundTrip) {
                Success = false;
                Status = PING_STATUS_REQ_TIMED_OUT;
            }
        }
        FOnLine = Success;
        AddressText = E.IPAddress;
        TPingEventObj& S = FSamples.PushFront(E);
        S.Success = Success;
        S.Status = Status;
        if (DrawEnabled) {
            RefreshDisplay(false, &S);
        } else {
            ComputeStats();
        }
        if (FSamples.size() % 600 == 0) {
            PruneSamples();
        }
        bool Due;
        {
            std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
            TPingLogAvg& Stats = FLog->Stats;
            ++Stats.SampleCount;
            Stats.TimeSum += E.Time;
            if (E.Success) {
                Stats.TripSum += E.RoundTrip;
                Stats.UptimeSum += 100;
            } else {
                Stats.TripSum -= 1;
            }
            Due = MillisecondsBetween(Stats.StartTime, Now()) / 1000 >= LogInterval;
            if (OnMonitorUpdated) {
                OnMonitorUpdated(*this);
            }
        }
        if (Due) {
            QueueLogWrite();
        }
    } catch (...) {
    }
}

void TPingerSession::SetFrequency(std::int32_t Ms) {
    if (FLoopThread) {
        FLoopThread->SetFrequency(Ms);
    }
}

void TPingerSession::SetSpan(std::int32_t Seconds) {
    Span = Seconds;
    RefreshDisplay(true, nullptr);
}

void TPingerSession::SetRange(std::int32_t Ms) {
    Range = Ms;
    AutoRange = Ms == -1;
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
    PayloadSize = Bytes;
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
    // Blanks and control characters alone make no name.
    bool Blank = true;
    for (const char C : Name) {
        if (static_cast<unsigned char>(C) > ' ') {
            Blank = false;
            break;
        }
    }
    DisplayName = Blank ? FTarget : Name;
    ShowHeader(QString::fromLocal8Bit(DisplayName));
}

TPingEvent TPingerSession::LastEvent() const {
    std::lock_guard<std::recursive_mutex> Guard(FLog->StatsLock);
    return FLastEvent;
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
    if (LogEnabled && LogWorker) {
        LogWorker->AddJob(TThreadJob::Bind<TPingLogState, &TPingLogState::Run>(FLog));
    }
}

void TPingerSession::WriteLogRecord() {
    FLog->WriteLogRecord();
}

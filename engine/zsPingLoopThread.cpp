#include "zsPingLoopThread.h"

#include "zsPingErrors.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

std::atomic<int> GRunningCount{0};

} // namespace

// Everything the loop needs lives here, shared by the owner's handle and the loop thread, so
// that whichever of the two finishes last frees it.
struct TPingLoopThread::TState {
    std::shared_ptr<TClock> Clock;
    TEchoFunction Echo;

    // Set before Resume(); the thread start publishes them to the loop.
    std::string Target;
    TBeforePing OnBeforePing;
    TAfterPing OnAfterPing;
    TSyncInvoker Invoker;
    bool Synchronized = true;

    std::atomic<bool> Stop{false};
    bool Started = false;

    // Lock guards the settings below and pairs with Wake for the wait between requests.
    std::mutex Lock;
    std::condition_variable Wake;
    std::int32_t Frequency = 0;
    std::uint64_t FrequencyChanges = 0;
    std::int32_t TimeOut = 0;
    std::string Payload;

    // Loop-thread only.
    TPingEvent PingEvent;
    TReplyBuffer Reply{}; // reused without clearing
    std::string Address;  // whatever the last echo left in it

    void Run();
    void Iterate(std::int64_t& StartMs);
    void Call(const std::function<void()>& Fn);
    void WaitForPeriod(std::int64_t StartMs);
};

void TPingLoopThread::TState::Call(const std::function<void()>& Fn) {
    if (Synchronized && Invoker) {
        Invoker(Fn);
    } else {
        Fn();
    }
}

void TPingLoopThread::TState::Iterate(std::int64_t& StartMs) {
    // A failing before-ping callback leaves no start time of its own; measuring from here keeps
    // the period instead of spinning.
    StartMs = Clock->MonoMs();
    try {
        Call([this] {
            // Checked where the callback runs, so a stop made there meanwhile is honoured.
            if (!Stop.load() && OnBeforePing) {
                OnBeforePing(Target);
            }
        });

        if (Stop.load()) {
            return; // nobody would see the result: spare the blocking request
        }

        StartMs = Clock->MonoMs();
        PingEvent.Target = Target;

        std::string RequestPayload;
        std::int32_t RequestTimeOut;
        {
            std::lock_guard<std::mutex> Guard(Lock);
            RequestPayload = Payload;
            RequestTimeOut = TimeOut;
        }
        try {
            Echo(Target, RequestPayload, Reply, RequestTimeOut, Address);
            PingEvent.Status = StatusFromIPStatus(static_cast<std::int32_t>(ReplyStatus(Reply)));
        } catch (...) {
            PingEvent.Status = PING_STATUS_CANNOT_RESOLVE;
        }
        PingEvent.Time = Clock->Now();
        PingEvent.Success = PingEvent.Status == PING_STATUS_SUCCESS;
        PingEvent.IPAddress = Address;
        PingEvent.RoundTrip =
            PingEvent.Success ? static_cast<std::int32_t>(ReplyRoundTripTime(Reply)) : -1;

        Call([this] {
            if (!Stop.load() && OnAfterPing) {
                OnAfterPing(PingEvent);
            }
        });
    } catch (...) {
        PingEvent.Target = Target;
        PingEvent.Success = false;
        PingEvent.IPAddress = Address;
        PingEvent.Status = PING_STATUS_UNKNOWN_ERROR;
        PingEvent.RoundTrip = -1;
        PingEvent.Time = Clock->Now();
        try {
            Call([this] {
                if (!Stop.load() && OnAfterPing) {
                    OnAfterPing(PingEvent);
                }
            });
        } catch (...) {
            // The owner has been told of the failure as far as it can be; keep pinging.
        }
    }
}

void TPingLoopThread::TState::WaitForPeriod(std::int64_t StartMs) {
    std::unique_lock<std::mutex> Guard(Lock);
    while (!Stop.load()) {
        // Frequency is read afresh on every pass, so a change shortens or lengthens the wait
        // already in progress.
        const std::int64_t Deadline = StartMs + Frequency;
        if (Clock->MonoMs() >= Deadline) {
            return;
        }
        const std::uint64_t Seen = FrequencyChanges;
        Clock->WaitUntil(Guard, Wake, Deadline,
                         [this, Seen] { return Stop.load() || FrequencyChanges != Seen; });
    }
}

void TPingLoopThread::TState::Run() {
    std::int64_t StartMs = 0;
    while (!Stop.load()) {
        Iterate(StartMs);
        WaitForPeriod(StartMs);
    }
}

TPingLoopThread::TPingLoopThread(bool CreateSuspended, std::shared_ptr<TClock> Clock,
                                 TEchoFunction Echo)
    : FState(std::make_shared<TState>()) {
    FState->Clock = Clock ? std::move(Clock) : SystemClock();
    FState->Echo = Echo ? std::move(Echo) : TEchoFunction(&SendEcho);
    if (!CreateSuspended) {
        Resume();
    }
}

TPingLoopThread::~TPingLoopThread() {
    Terminate();
}

void TPingLoopThread::SetTarget(const std::string& Target) {
    FState->Target = Target;
}
void TPingLoopThread::SetOnBeforePing(TBeforePing Callback) {
    FState->OnBeforePing = std::move(Callback);
}
void TPingLoopThread::SetOnAfterPing(TAfterPing Callback) {
    FState->OnAfterPing = std::move(Callback);
}
void TPingLoopThread::SetSyncInvoker(TSyncInvoker Invoker) {
    FState->Invoker = std::move(Invoker);
}

void TPingLoopThread::SetFrequency(std::int32_t Ms) {
    {
        std::lock_guard<std::mutex> Guard(FState->Lock);
        FState->Frequency = Ms;
        ++FState->FrequencyChanges;
    }
    FState->Wake.notify_all();
}

void TPingLoopThread::SetTimeOut(std::int32_t Ms) {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    FState->TimeOut = Ms;
}

void TPingLoopThread::SetPayload(const std::string& Payload) {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    FState->Payload = Payload;
}

std::int32_t TPingLoopThread::Frequency() const {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->Frequency;
}

std::int32_t TPingLoopThread::TimeOut() const {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->TimeOut;
}

std::string TPingLoopThread::Payload() const {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    return FState->Payload;
}

std::string TPingLoopThread::Target() const {
    return FState->Target;
}

void TPingLoopThread::Resume() {
    if (FState->Started || FState->Stop.load()) {
        return;
    }
    FState->Started = true;
    FState->Synchronized = Synchronized;
    ++GRunningCount;
    try {
        std::thread([State = FState]() mutable {
            State->Run();
            State.reset(); // the callbacks and whatever they hold go before the count drops
            --GRunningCount;
        }).detach();
    } catch (const std::system_error& E) {
        --GRunningCount;
        FState->Started = false;
        throw EPingError(std::string("The ping thread could not be started: ") + E.what());
    }
}

void TPingLoopThread::Terminate() {
    // The flag goes up before the lock is taken, so a waiter that polls it (a test clock)
    // leaves its wait even while this thread is still queued for the lock. Taking the lock
    // afterwards keeps a loop between its stop check and its wait from missing the wake-up.
    FState->Stop.store(true);
    { std::lock_guard<std::mutex> Guard(FState->Lock); }
    FState->Wake.notify_all();
}

bool TPingLoopThread::Terminated() const {
    return FState->Stop.load();
}

int TPingLoopThread::RunningCount() {
    return GRunningCount.load();
}

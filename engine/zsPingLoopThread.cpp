#include "zsPingLoopThread.h"

#include "zsPingErrors.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>

#include <pthread.h>

namespace {

std::atomic<int> GRunningCount{0};

// A loop thread needs little stack: the loop itself, the echo request and the resolver (NSS
// modules included); its callbacks normally run on the user-interface thread. Only the pages a
// thread touches are resident, but a small mapping keeps a thousand loops from reserving
// gigabytes and is never backed by huge pages. The sanitizers keep the default size: their
// instrumentation needs far more room.
#ifdef VANTOREL_SANITIZED
constexpr std::size_t LoopStackSize = 0;
#else
constexpr std::size_t LoopStackSize = 256 * 1024;
#endif

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
    TPostInvoker Poster;
    bool Synchronized = true;

    std::atomic<bool> Stop{false};
    std::atomic<bool> BeforePingWanted{true};
    std::atomic<bool> Outstanding{false};
    bool Started = false; // owner-side only

    // The wait between requests sleeps on Changes; the stop request and every new Frequency
    // bump it and wake the sleeper.
    std::atomic<std::int32_t> Frequency{0};
    std::atomic<std::uint32_t> Changes{0};

    // Lock guards the request settings.
    std::mutex Lock;
    std::int32_t TimeOut = 0;
    std::string Payload;

    // Loop-thread only.
    TPingEvent PingEvent;
    TReplyBuffer Reply{}; // reused without clearing
    std::string Address;  // whatever the last echo left in it
    // Both clocks as read at the previous result, for the time slept since.
    bool Stamped = false;
    std::int64_t StampMono = 0;
    std::int64_t StampBoot = 0;
    // The result handed over last without waiting; PingEvent is the callback's until it ran.
    std::shared_ptr<TPostedCall> Posted;

    void Run();
    void Iterate(std::int64_t& StartMs);
    void Call(const std::function<void()>& Fn);
    void Deliver();
    void DeliverPosted();
    void Failed();
    void JoinPosted();
    void WaitForPeriod(std::int64_t StartMs);
    void StampResult();
    void Changed();
    static void* ThreadMain(void* Arg);
};

void TPingLoopThread::TState::Call(const std::function<void()>& Fn) {
    if (Synchronized && Invoker) {
        Invoker(Fn);
    } else {
        Fn();
    }
}

// The result's time, and how long the machine slept since the previous result: a suspend stops
// the monotonic clock but not the boot-time clock.
void TPingLoopThread::TState::StampResult() {
    PingEvent.Time = Clock->Now();
    const std::int64_t Mono = Clock->MonoMs();
    const std::int64_t Boot = Clock->BootMs();
    PingEvent.SleptMs =
        Stamped ? std::max<std::int64_t>(0, (Boot - StampBoot) - (Mono - StampMono)) : 0;
    Stamped = true;
    StampMono = Mono;
    StampBoot = Boot;
}

void TPingLoopThread::TState::JoinPosted() {
    if (Posted) {
        Posted->Wait();
        Posted.reset();
    }
}

void TPingLoopThread::TState::Iterate(std::int64_t& StartMs) {
    JoinPosted();
    // A failing before-ping callback leaves no start time of its own; measuring from here keeps
    // the period instead of spinning.
    StartMs = Clock->MonoMs();
    Outstanding.store(true);
    try {
        if (OnBeforePing && BeforePingWanted.load(std::memory_order_relaxed)) {
            Call([this] {
                // Checked where the callback runs, so a stop made there meanwhile is honoured.
                if (!Stop.load() && OnBeforePing) {
                    OnBeforePing(Target);
                }
            });
        }

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
        StampResult();
        PingEvent.Success = PingEvent.Status == PING_STATUS_SUCCESS;
        PingEvent.IPAddress = Address;
        PingEvent.RoundTrip =
            PingEvent.Success ? static_cast<std::int32_t>(ReplyRoundTripTime(Reply)) : -1;

        if (Synchronized && Poster) {
            Posted = Poster([this] { DeliverPosted(); });
        } else {
            Call([this] { Deliver(); });
        }
    } catch (...) {
        Failed();
        try {
            Call([this] { Deliver(); });
        } catch (...) {
            // The owner has been told of the failure as far as it can be; keep pinging.
        }
    }
}

// The after-ping step, where the callback runs.
void TPingLoopThread::TState::Deliver() {
    if (!Stop.load()) {
        Outstanding.store(false);
        if (OnAfterPing) {
            OnAfterPing(PingEvent);
        }
    }
}

// Step 11's result, for a failure anywhere in the iteration.
void TPingLoopThread::TState::Failed() {
    PingEvent.Target = Target;
    PingEvent.Success = false;
    PingEvent.IPAddress = Address;
    PingEvent.Status = PING_STATUS_UNKNOWN_ERROR;
    PingEvent.RoundTrip = -1;
    StampResult();
}

// A posted result, on the user-interface thread. The loop thread waits for this call before it
// touches PingEvent or Address again, so they are this thread's meanwhile.
void TPingLoopThread::TState::DeliverPosted() {
    try {
        Deliver();
    } catch (...) {
        Failed();
        try {
            Deliver();
        } catch (...) {
            // As on the loop thread: the owner has been told as far as it can be.
        }
    }
}

void TPingLoopThread::TState::WaitForPeriod(std::int64_t StartMs) {
    for (;;) {
        // Seen is taken before the stop flag and the period are looked at: a change made after
        // that is a different Changes value, and the wait returns at once.
        const std::uint32_t Seen = Changes.load();
        if (Stop.load()) {
            return;
        }
        // Frequency is read afresh on every pass, so a change shortens or lengthens the wait
        // already in progress.
        const std::int64_t Deadline = StartMs + Frequency.load();
        if (Clock->MonoMs() >= Deadline) {
            return;
        }
        Clock->WaitForChange(Changes, Seen, Deadline);
    }
}

void TPingLoopThread::TState::Changed() {
    Changes.fetch_add(1);
    TClock::WakeWaiters(Changes);
}

void* TPingLoopThread::TState::ThreadMain(void* Arg) {
    std::shared_ptr<TState> State = std::move(*static_cast<std::shared_ptr<TState>*>(Arg));
    delete static_cast<std::shared_ptr<TState>*>(Arg);
    State->Run();
    State.reset(); // the callbacks and whatever they hold go before the count drops
    --GRunningCount;
    return nullptr;
}

void TPingLoopThread::TState::Run() {
    std::int64_t StartMs = 0;
    while (!Stop.load()) {
        Iterate(StartMs);
        WaitForPeriod(StartMs);
    }
    JoinPosted(); // the call uses this state
}

TPingLoopThread::TPingLoopThread(std::shared_ptr<TClock> Clock, TEchoFunction Echo)
    : FState(std::make_shared<TState>()) {
    FState->Clock = Clock ? std::move(Clock) : SystemClock();
    FState->Echo = Echo ? std::move(Echo) : TEchoFunction(&SendEcho);
}

TPingLoopThread::~TPingLoopThread() {
    Terminate();
}

void TPingLoopThread::CheckNotStarted() const {
    if (FState->Started) {
        throw std::logic_error("The ping loop is already running: set this before Resume().");
    }
}

void TPingLoopThread::SetTarget(const std::string& Target) {
    CheckNotStarted();
    FState->Target = Target;
}
void TPingLoopThread::SetOnBeforePing(TBeforePing Callback) {
    CheckNotStarted();
    FState->OnBeforePing = std::move(Callback);
}
void TPingLoopThread::SetOnAfterPing(TAfterPing Callback) {
    CheckNotStarted();
    FState->OnAfterPing = std::move(Callback);
}
void TPingLoopThread::SetSyncInvoker(TSyncInvoker Invoker) {
    CheckNotStarted();
    FState->Invoker = std::move(Invoker);
}

void TPingLoopThread::SetPostInvoker(TPostInvoker Invoker) {
    CheckNotStarted();
    FState->Poster = std::move(Invoker);
}

void TPingLoopThread::SetFrequency(std::int32_t Ms) {
    FState->Frequency.store(Ms);
    FState->Changed();
}

void TPingLoopThread::SetTimeOut(std::int32_t Ms) {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    FState->TimeOut = Ms;
}

void TPingLoopThread::SetPayload(const std::string& Payload) {
    std::lock_guard<std::mutex> Guard(FState->Lock);
    FState->Payload = Payload;
}

void TPingLoopThread::SetBeforePingWanted(bool Wanted) {
    FState->BeforePingWanted.store(Wanted, std::memory_order_relaxed);
}

bool TPingLoopThread::RequestOutstanding() const {
    return FState->Outstanding.load();
}

std::int32_t TPingLoopThread::Frequency() const {
    return FState->Frequency.load();
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
    // Nobody joins the thread: it ends by itself once the stop flag is up.
    pthread_attr_t Attributes;
    pthread_attr_init(&Attributes);
    pthread_attr_setdetachstate(&Attributes, PTHREAD_CREATE_DETACHED);
    if (LoopStackSize != 0) {
        pthread_attr_setstacksize(&Attributes, LoopStackSize);
    }
    auto* Handed = new std::shared_ptr<TState>(FState);
    pthread_t Thread;
    const int Error = pthread_create(&Thread, &Attributes, &TState::ThreadMain, Handed);
    pthread_attr_destroy(&Attributes);
    if (Error != 0) {
        delete Handed;
        --GRunningCount;
        FState->Started = false;
        throw EPingError(std::string("The ping thread could not be started: ") +
                         std::strerror(Error));
    }
}

void TPingLoopThread::Terminate() {
    FState->Stop.store(true);
    FState->Changed();
}

bool TPingLoopThread::Terminated() const {
    return FState->Stop.load();
}

int TPingLoopThread::RunningCount() {
    return GRunningCount.load();
}

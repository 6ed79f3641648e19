#include "zsPingLoopThread.h"

#include "zsPingErrors.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <unordered_map>
#include <vector>

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

// Starts Main(Arg) on a detached thread with the loops' small stack; the error number, or 0.
int StartDetached(void* (*Main)(void*), void* Arg) {
    pthread_attr_t Attributes;
    pthread_attr_init(&Attributes);
    pthread_attr_setdetachstate(&Attributes, PTHREAD_CREATE_DETACHED);
    if (LoopStackSize != 0) {
        pthread_attr_setstacksize(&Attributes, LoopStackSize);
    }
    pthread_t Thread;
    const int Error = pthread_create(&Thread, &Attributes, Main, Arg);
    pthread_attr_destroy(&Attributes);
    return Error;
}

// Runs jobs that may block, each on a thread of the pool that is free, or on a new one when none
// is: one job that blocks for long holds up no other. A thread left without work for a while
// ends.
class TBlockingPool {
public:
    void Run(std::function<void()> Job) {
        std::unique_lock Guard(FShared->Lock);
        FShared->Jobs.push_back(std::move(Job));
        if (FShared->Idle > 0) {
            FShared->Wake.notify_one();
            return;
        }
        ++FShared->Threads;
        Guard.unlock();
        auto* Handed = new std::shared_ptr<TShared>(FShared);
        if (StartDetached(&Main, Handed) != 0) {
            delete Handed;
            // Out of threads: the job runs here, blocking its caller, rather than never.
            std::function<void()> Mine;
            {
                std::lock_guard Again(FShared->Lock);
                --FShared->Threads;
                Mine = std::move(FShared->Jobs.back());
                FShared->Jobs.pop_back();
            }
            Mine();
        }
    }

private:
    static constexpr auto IdleEnd = std::chrono::seconds(30);
    struct TShared {
        std::mutex Lock;
        std::condition_variable Wake;
        std::deque<std::function<void()>> Jobs;
        int Idle = 0;
        int Threads = 0;
    };
    static void* Main(void* Arg) {
        std::shared_ptr<TShared> Shared = std::move(*static_cast<std::shared_ptr<TShared>*>(Arg));
        delete static_cast<std::shared_ptr<TShared>*>(Arg);
        std::unique_lock Guard(Shared->Lock);
        for (;;) {
            if (Shared->Jobs.empty()) {
                ++Shared->Idle;
                const bool Woken =
                    Shared->Wake.wait_for(Guard, IdleEnd, [&] { return !Shared->Jobs.empty(); });
                --Shared->Idle;
                if (!Woken) {
                    --Shared->Threads;
                    return nullptr;
                }
            }
            std::function<void()> Job = std::move(Shared->Jobs.front());
            Shared->Jobs.pop_front();
            Guard.unlock();
            Job();
            Job = nullptr; // what it holds goes before the thread waits again
            Guard.lock();
        }
    }
    std::shared_ptr<TShared> FShared = std::make_shared<TShared>();
};

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

    // On a scheduler (else on a thread of its own, from Resume()).
    std::shared_ptr<TEchoScheduler::TImpl> Scheduler;
    // Under the scheduler's lock.
    std::uint64_t Id = 0;
    std::int64_t DueMs = 0;
    std::uint64_t Generation = 0; // of its latest entry in the scheduler's queue
    bool Queued = false;          // waiting in the queue for DueMs
    bool Parked = false;          // came due while its posted result had not run yet
    bool BeforeOut = false;       // its posted before-ping step has not run yet
    // Handed from one step of the loop to the next (the scheduler's lock, or the request's
    // completion, orders them).
    std::int64_t PeriodStartMs = 0;
    bool SkipRequest = false; // the before-ping step failed: no request this period
    std::uint32_t RoundTripMs = 0;
    std::shared_ptr<TPostedCall> BeforePosted;
    // A posted call of the loop is out: set before posting, cleared once the call has run or
    // been dropped (when the function handed over is destroyed).
    std::atomic<bool> PostedOut{false};
    std::atomic<bool> Ended{false};

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

struct TEchoScheduler::TImpl : std::enable_shared_from_this<TEchoScheduler::TImpl> {
    using TState = TPingLoopThread::TState;
    using TStep = void (TImpl::*)(const std::shared_ptr<TState>&);

    std::shared_ptr<TClock> Clock;
    TAsyncEcho Async;
    TPingLoopThread::TEchoFunction Blocking;
    std::int32_t GrainMs = 0;
    TBlockingPool Pool;

    struct TEntry {
        std::int64_t DueMs;
        std::uint64_t Id;
        std::uint64_t Generation;
        bool operator>(const TEntry& Other) const { return DueMs > Other.DueMs; }
    };
    // Under Lock.
    std::mutex Lock;
    std::priority_queue<TEntry, std::vector<TEntry>, std::greater<>> Queue;
    std::unordered_map<std::uint64_t, std::shared_ptr<TState>> Members; // loops not yet ended
    std::vector<std::shared_ptr<TState>> ReadyToSend; // their before-ping step has run
    std::vector<std::shared_ptr<TState>> StopRequests;
    std::uint64_t NextId = 0;
    bool Running = false; // the thread runs; it ends when no loop is left
    // The thread's wait ends then at the latest; the lowest value while it is awake, when it
    // looks at the queue again anyway.
    std::int64_t SleepsUntil = std::numeric_limits<std::int64_t>::min();
    std::atomic<std::uint32_t> Changes{0};

    void Enqueue(TState& S, std::int64_t DueMs);
    void Wake(std::int64_t DueMs);

    void Add(const std::shared_ptr<TState>& State);
    void Stopped(const std::shared_ptr<TState>& State);
    void FrequencyChanged(const std::shared_ptr<TState>& State);
    static void* ThreadMain(void* Arg);
    void Run();
    void HandleStop(const std::shared_ptr<TState>& State);
    void Begin(const std::shared_ptr<TState>& State, std::int64_t DueMs, std::int64_t Now);
    void Send(const std::shared_ptr<TState>& State);
    void Completed(const std::shared_ptr<TState>& State);
    void BeforeOver(const std::shared_ptr<TState>& State);
    void PostedOver(const std::shared_ptr<TState>& State);
    void End(const std::shared_ptr<TState>& State);
    void Finish(const std::shared_ptr<TState>& State);
    std::shared_ptr<TPingLoopThread::TPostedCall> Post(const std::shared_ptr<TState>& State,
                                                       std::function<void()> Fn, TStep Over);
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
    // The system clock and the default echo: the shared scheduler can run it.
    if ((!Clock || Clock == SystemClock()) && !Echo) {
        FState->Scheduler = TEchoScheduler::Shared()->Impl();
    }
    FState->Clock = Clock ? std::move(Clock) : SystemClock();
    FState->Echo = Echo ? std::move(Echo) : TEchoFunction(&SendEcho);
}

TPingLoopThread::TPingLoopThread(const std::shared_ptr<TEchoScheduler>& Scheduler)
    : FState(std::make_shared<TState>()) {
    FState->Scheduler = Scheduler->Impl();
    FState->Clock = FState->Scheduler->Clock;
    FState->Echo = FState->Scheduler->Blocking;
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
    if (FState->Started && FState->Scheduler) {
        FState->Scheduler->FrequencyChanged(FState);
    }
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
    // A scheduler hands results over by posting them only: its thread never waits for a
    // callback. A loop whose callbacks are to run synchronously gets a thread of its own.
    if (FState->Scheduler && !(FState->Synchronized && FState->Poster)) {
        FState->Scheduler.reset();
    }
    if (FState->Scheduler) {
        try {
            FState->Scheduler->Add(FState);
        } catch (...) {
            --GRunningCount;
            FState->Started = false;
            throw;
        }
        return;
    }
    // Nobody joins the thread: it ends by itself once the stop flag is up.
    auto* Handed = new std::shared_ptr<TState>(FState);
    const int Error = StartDetached(&TState::ThreadMain, Handed);
    if (Error != 0) {
        delete Handed;
        --GRunningCount;
        FState->Started = false;
        throw EPingError(std::string("The ping thread could not be started: ") +
                         std::strerror(Error));
    }
}

void TPingLoopThread::Terminate() {
    const bool Before = FState->Stop.exchange(true);
    FState->Changed();
    if (!Before && FState->Started && FState->Scheduler) {
        FState->Scheduler->Stopped(FState);
    }
}

bool TPingLoopThread::Terminated() const {
    return FState->Stop.load();
}

int TPingLoopThread::RunningCount() {
    return GRunningCount.load();
}

// ---- TEchoScheduler ----

namespace {

// How early a request of the shared scheduler may go out to share a wake-up with its neighbours.
constexpr std::int32_t SharedGrainMs = 2;

// Tells the scheduler that a posted call of a loop is over: at the end of the call, or when the
// function handed over is destroyed without having run, whichever comes first.
struct TPostedNotice {
    std::shared_ptr<TEchoScheduler::TImpl> Scheduler;
    std::shared_ptr<TPingLoopThread::TState> State;
    TEchoScheduler::TImpl::TStep Over = nullptr;
    std::atomic<bool> Fired{false};
    void Fire() {
        if (!Fired.exchange(true)) {
            (Scheduler.get()->*Over)(State);
        }
    }
    ~TPostedNotice() { Fire(); }
};

} // namespace

TEchoScheduler::TEchoScheduler(std::shared_ptr<TClock> Clock, TAsyncEcho Async,
                               TPingLoopThread::TEchoFunction Blocking, std::int32_t GrainMs)
    : FImpl(std::make_shared<TImpl>()) {
    FImpl->Clock = Clock ? std::move(Clock) : SystemClock();
    FImpl->Async = std::move(Async);
    FImpl->Blocking = Blocking ? std::move(Blocking) : TPingLoopThread::TEchoFunction(&SendEcho);
    FImpl->GrainMs = std::max(0, GrainMs);
}

TEchoScheduler::TAsyncEcho TEchoScheduler::IcmpEcho() {
    return [](std::uint32_t Destination, const std::string& Payload, std::int32_t TimeOut,
              TIcmpAsyncDone Done) {
        // A negative timeout would become a wait of weeks in the service's unsigned milliseconds.
        IcmpSendEchoAsync(Destination,
                          {reinterpret_cast<const std::uint8_t*>(Payload.data()), Payload.size()},
                          std::uint32_t(PING_REPLY_BUFFER_SIZE - sizeof(ICMP_ECHO_REPLY)),
                          std::uint32_t(std::max(TimeOut, 0)), 0, std::move(Done));
    };
}

const std::shared_ptr<TEchoScheduler>& TEchoScheduler::Shared() {
    // Never destroyed: loops may still run while static destructors do.
    static const auto* const Scheduler = new std::shared_ptr<TEchoScheduler>(
        std::make_shared<TEchoScheduler>(SystemClock(), IcmpEcho(), nullptr, SharedGrainMs));
    return *Scheduler;
}

void TEchoScheduler::TImpl::Wake(std::int64_t DueMs) {
    if (DueMs < SleepsUntil) {
        SleepsUntil = DueMs;
        Changes.fetch_add(1);
        TClock::WakeWaiters(Changes);
    }
}

void TEchoScheduler::TImpl::Enqueue(TState& S, std::int64_t DueMs) {
    if (S.Stop.load()) {
        // Stopped meanwhile, after the stop request looked for it in the queue: it ends now.
        DueMs = std::min(DueMs, Clock->MonoMs());
    }
    S.DueMs = DueMs;
    S.Queued = true;
    Queue.push({DueMs, S.Id, ++S.Generation});
    Wake(DueMs);
}

void TEchoScheduler::TImpl::Add(const std::shared_ptr<TState>& State) {
    std::lock_guard Guard(Lock);
    State->Id = ++NextId;
    Members[State->Id] = State;
    if (!Running) {
        auto* Handed = new std::shared_ptr<TImpl>(shared_from_this());
        const int Error = StartDetached(&ThreadMain, Handed);
        if (Error != 0) {
            delete Handed;
            Members.erase(State->Id);
            throw EPingError(std::string("The ping thread could not be started: ") +
                             std::strerror(Error));
        }
        Running = true;
    }
    Enqueue(*State, Clock->MonoMs());
}

void TEchoScheduler::TImpl::Stopped(const std::shared_ptr<TState>& State) {
    std::lock_guard Guard(Lock);
    StopRequests.push_back(State);
    Wake(std::numeric_limits<std::int64_t>::min() + 1);
}

void TEchoScheduler::TImpl::FrequencyChanged(const std::shared_ptr<TState>& State) {
    std::lock_guard Guard(Lock);
    // A wait in progress is measured afresh from its period's start.
    if (State->Queued) {
        Enqueue(*State, State->PeriodStartMs + State->Frequency.load());
    }
}

void* TEchoScheduler::TImpl::ThreadMain(void* Arg) {
    std::shared_ptr<TImpl> Self = std::move(*static_cast<std::shared_ptr<TImpl>*>(Arg));
    delete static_cast<std::shared_ptr<TImpl>*>(Arg);
    Self->Run();
    return nullptr;
}

void TEchoScheduler::TImpl::Run() {
    std::vector<std::pair<std::shared_ptr<TState>, std::int64_t>> Due;
    std::vector<std::shared_ptr<TState>> Ready, Stops;
    std::unique_lock Guard(Lock);
    for (;;) {
        const std::int64_t Now = Clock->MonoMs();
        while (!Queue.empty() && Queue.top().DueMs <= Now + GrainMs && int(Due.size()) < Burst) {
            const TEntry Entry = Queue.top();
            Queue.pop();
            const auto It = Members.find(Entry.Id);
            if (It == Members.end() || It->second->Generation != Entry.Generation ||
                !It->second->Queued) {
                continue; // superseded, or the loop has ended
            }
            It->second->Queued = false;
            Due.emplace_back(It->second, Entry.DueMs);
        }
        Ready.swap(ReadyToSend);
        Stops.swap(StopRequests);
        const bool Full = int(Due.size()) == Burst;
        if (Due.empty() && Ready.empty() && Stops.empty()) {
            if (Members.empty()) {
                Running = false;
                return;
            }
            // Entries of loops that ended or moved may wake it early; it looks again then.
            const std::int64_t WakeAt = Queue.empty() ? Now + 3600 * 1000 : Queue.top().DueMs;
            SleepsUntil = WakeAt;
            const std::uint32_t Seen = Changes.load();
            Guard.unlock();
            Clock->WaitForChange(Changes, Seen, WakeAt);
            Guard.lock();
            SleepsUntil = std::numeric_limits<std::int64_t>::min();
            continue;
        }
        Guard.unlock();
        for (const auto& State : Stops) {
            HandleStop(State);
        }
        for (const auto& [State, DueMs] : Due) {
            Begin(State, DueMs, Now);
        }
        for (const auto& State : Ready) {
            Send(State);
        }
        // The loops' references go outside the lock.
        Due.clear();
        Ready.clear();
        Stops.clear();
        if (Full) {
            // More are due: what they send in return is read before the next burst goes out.
            Clock->WaitForChange(Changes, Changes.load(), Now + 1);
        }
        Guard.lock();
    }
}

// On the scheduler's thread: a stopped loop ends as soon as nothing of it is out.
void TEchoScheduler::TImpl::HandleStop(const std::shared_ptr<TState>& State) {
    TState& S = *State;
    bool Idle = false;
    bool BeforeOut = false;
    {
        std::lock_guard Guard(Lock);
        if (S.Queued || S.Parked) {
            S.Queued = false;
            S.Parked = false;
            ++S.Generation;
            Idle = true;
        }
        BeforeOut = S.BeforeOut;
    }
    if (Idle) {
        End(State);
    } else if (BeforeOut && S.BeforePosted) {
        // Its before-ping step may never run now that its owner is going: once the call is
        // over either way, the loop goes on to its end.
        Pool.Run([Self = shared_from_this(), State, Call = S.BeforePosted] {
            Call->Wait();
            Self->BeforeOver(State);
        });
    }
    // Else its request is out, and its completion ends it.
}

void TEchoScheduler::TImpl::Begin(const std::shared_ptr<TState>& State, std::int64_t DueMs,
                                  std::int64_t Now) {
    TState& S = *State;
    if (S.Stop.load()) {
        End(State);
        return;
    }
    if (S.PostedOut.load()) {
        std::lock_guard Guard(Lock);
        if (S.PostedOut.load()) {
            // Its previous result has not been handed over yet: it goes on once it has.
            S.Parked = true;
            S.DueMs = DueMs;
            return;
        }
    }
    if (S.Posted) {
        S.Posted->Wait(); // over already: it only lets go of the call
        S.Posted.reset();
    }
    // The period runs from when it was due, unless the loop is late for it.
    S.PeriodStartMs = Now - DueMs > GrainMs ? Now : DueMs;
    S.SkipRequest = false;
    S.Outstanding.store(true);
    if (S.OnBeforePing && S.BeforePingWanted.load(std::memory_order_relaxed)) {
        {
            std::lock_guard Guard(Lock);
            S.BeforeOut = true;
        }
        S.BeforePosted = Post(
            State,
            [State] {
                TState& L = *State;
                // Checked where the callback runs, so a stop made there meanwhile is honoured.
                if (L.Stop.load() || !L.OnBeforePing) {
                    return;
                }
                try {
                    L.OnBeforePing(L.Target);
                } catch (...) {
                    L.SkipRequest = true;
                    L.Failed();
                    try {
                        L.Deliver();
                    } catch (...) {
                        // The owner has been told of the failure as far as it can be.
                    }
                }
            },
            &TImpl::BeforeOver);
        return;
    }
    Send(State);
}

void TEchoScheduler::TImpl::BeforeOver(const std::shared_ptr<TState>& State) {
    std::lock_guard Guard(Lock);
    if (!State->BeforeOut) {
        return;
    }
    State->BeforeOut = false;
    ReadyToSend.push_back(State);
    Wake(std::numeric_limits<std::int64_t>::min() + 1);
}

void TEchoScheduler::TImpl::Send(const std::shared_ptr<TState>& State) {
    TState& S = *State;
    if (S.BeforePosted) {
        // Its before-ping step has run: the request starts now.
        S.BeforePosted->Wait();
        S.BeforePosted.reset();
        S.PeriodStartMs = Clock->MonoMs();
    }
    if (S.Stop.load()) {
        End(State); // nobody would see the result: spare the request
        return;
    }
    if (S.SkipRequest) {
        std::lock_guard Guard(Lock);
        Enqueue(S, S.PeriodStartMs + S.Frequency.load());
        return;
    }
    S.PingEvent.Target = S.Target;
    std::string Payload;
    std::int32_t TimeOut;
    {
        std::lock_guard<std::mutex> Guard(S.Lock);
        Payload = S.Payload;
        TimeOut = S.TimeOut;
    }
    std::string Address;
    std::uint32_t Destination = 0;
    if (Async && ReadIpv4Literal(S.Target, Address, Destination)) {
        S.Address = std::move(Address);
        Async(Destination, Payload, TimeOut,
              [Self = shared_from_this(), State](const TIcmpAsyncResult& Result) {
                  TState& L = *State;
                  // Without a socket the request could not be made, as when SendEcho fails.
                  L.PingEvent.Status = Result.Opened
                                           ? StatusFromIPStatus(std::int32_t(Result.Status))
                                           : PING_STATUS_CANNOT_RESOLVE;
                  L.RoundTripMs = Result.RoundTripTime;
                  Self->Completed(State);
              });
        return;
    }
    // A name to resolve, an IPv6 target or an echo that blocks: on a thread of the pool.
    Pool.Run([Self = shared_from_this(), State, Payload = std::move(Payload), TimeOut] {
        TState& L = *State;
        try {
            L.Echo(L.Target, Payload, L.Reply, TimeOut, L.Address);
            L.PingEvent.Status =
                StatusFromIPStatus(static_cast<std::int32_t>(ReplyStatus(L.Reply)));
            L.RoundTripMs = ReplyRoundTripTime(L.Reply);
        } catch (...) {
            L.PingEvent.Status = PING_STATUS_CANNOT_RESOLVE;
        }
        Self->Completed(State);
    });
}

// On whichever thread completed the request.
void TEchoScheduler::TImpl::Completed(const std::shared_ptr<TState>& State) {
    TState& S = *State;
    S.StampResult();
    S.PingEvent.Success = S.PingEvent.Status == PING_STATUS_SUCCESS;
    S.PingEvent.IPAddress = S.Address;
    S.PingEvent.RoundTrip = S.PingEvent.Success ? static_cast<std::int32_t>(S.RoundTripMs) : -1;
    if (S.Stop.load()) {
        End(State);
        return;
    }
    // Raised before the loop is queued again, so that it waits for this call when it comes due
    // before the call has run.
    S.PostedOut.store(true);
    S.Posted = Post(
        State, [State] { State->DeliverPosted(); }, &TImpl::PostedOver);
    std::lock_guard Guard(Lock);
    Enqueue(S, S.PeriodStartMs + S.Frequency.load());
}

void TEchoScheduler::TImpl::PostedOver(const std::shared_ptr<TState>& State) {
    State->PostedOut.store(false);
    std::lock_guard Guard(Lock);
    if (State->Parked) {
        State->Parked = false;
        Enqueue(*State, State->DueMs);
    }
}

std::shared_ptr<TPingLoopThread::TPostedCall>
TEchoScheduler::TImpl::Post(const std::shared_ptr<TState>& State, std::function<void()> Fn,
                            TStep Over) {
    auto Notice = std::make_shared<TPostedNotice>();
    Notice->Scheduler = shared_from_this();
    Notice->State = State;
    Notice->Over = Over;
    try {
        return State->Poster([Notice, Fn = std::move(Fn)] {
            struct TFire {
                TPostedNotice& Notice;
                ~TFire() { Notice.Fire(); }
            } Fire{*Notice};
            Fn();
        });
    } catch (...) {
        // Not handed over: the notice goes with the function, and the loop goes on.
        return nullptr;
    }
}

// A stopped loop whose steps are all over ends here; one whose result is still waiting to be
// handed over ends once that call is over.
void TEchoScheduler::TImpl::End(const std::shared_ptr<TState>& State) {
    TState& S = *State;
    if (S.PostedOut.load() && S.Posted) {
        Pool.Run([Self = shared_from_this(), State, Call = S.Posted] {
            Call->Wait();
            Self->Finish(State);
        });
        return;
    }
    if (S.Posted) {
        S.Posted->Wait();
        S.Posted.reset();
    }
    Finish(State);
}

void TEchoScheduler::TImpl::Finish(const std::shared_ptr<TState>& State) {
    if (State->Ended.exchange(true)) {
        return;
    }
    {
        std::lock_guard Guard(Lock);
        State->Queued = false;
        ++State->Generation;
        Members.erase(State->Id);
        // The thread may be waiting with no loop left to wait for.
        Wake(std::numeric_limits<std::int64_t>::min() + 1);
    }
    --GRunningCount;
}

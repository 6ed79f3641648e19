// TPingLoopThread pings one target at a fixed period and hands every result to its owner.
//
//   auto loop = std::make_unique<TPingLoopThread>();           // nothing runs yet
//   loop->SetTarget("localhost");
//   loop->SetFrequency(1000); loop->SetTimeOut(5000); loop->SetPayload(std::string(16, 'A'));
//   loop->SetSyncInvoker(invoker);                              // runs callbacks on the UI thread
//   loop->SetOnAfterPing([](TPingEvent& e) { ... });
//   loop->Resume();                                             // the loop starts here
//   ...
//   loop.reset();                    // stop request; the thread ends and frees its state itself
//
// The object is the owner's handle. The loop itself runs elsewhere and shares only its own
// state with the handle, so the owner never waits for a blocking echo request: dropping the
// handle (or Terminate()) sets the stop flag, and no callback runs after that.
//
// Where the loop runs: a loop that posts its results (SetPostInvoker, Synchronized) and uses
// the system clock and the default echo runs on the process's shared TEchoScheduler, one thread
// for every such loop; so does a loop made on a scheduler of its own (tests). Any other loop has
// a detached thread of its own that blocks in each request.
#pragma once

#include "icmp_dll.h"
#include "ping_funcs.h"
#include "zsClock.h"
#include "zsPingStatus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct TPingEvent {
    TDateTime Time = 0;          // when the result was complete
    bool Success = false;        // Status == 0
    std::int32_t RoundTrip = -1; // ms when Success, otherwise -1
    TPingStatus Status = 0;
    std::string Target;
    std::string IPAddress; // resolved address, dotted IPv4 or IPv6; empty after a failed resolution
    // How long the machine was suspended since the loop's previous result (0 for the first):
    // what the boot-time clock gained on the monotonic one in between.
    std::int64_t SleptMs = 0;
};

class TPingLoopThread {
public:
    using TBeforePing = std::function<void(const std::string& Target)>;
    using TAfterPing = std::function<void(TPingEvent& Event)>;
    // Runs Fn on the user-interface thread and returns once it has run; an exception thrown by
    // Fn is carried back to the caller. The default runs Fn directly on the calling thread.
    using TSyncInvoker = std::function<void(const std::function<void()>& Fn)>;
    // A call handed to the user-interface thread without waiting: Wait() returns once it has
    // run, or once it is certain never to run.
    class TPostedCall {
    public:
        virtual ~TPostedCall() = default;
        virtual void Wait() = 0;
    };
    // Hands Fn to the user-interface thread and returns at once; Fn keeps its exceptions.
    using TPostInvoker = std::function<std::shared_ptr<TPostedCall>(std::function<void()> Fn)>;
    // The echo request; SendEcho unless a test supplies another.
    using TEchoFunction =
        std::function<void(const std::string& Target, const std::string& Payload,
                           TReplyBuffer& Reply, std::int32_t TimeOut, std::string& Address)>;

    // A loop never runs before Resume(): its target, period and callbacks are set first, while
    // no thread can read them.
    explicit TPingLoopThread(std::shared_ptr<TClock> Clock = nullptr, TEchoFunction Echo = nullptr);
    // A loop on Scheduler, with its clock and echo functions, once it has a post invoker.
    explicit TPingLoopThread(const std::shared_ptr<class TEchoScheduler>& Scheduler);
    ~TPingLoopThread(); // same as Terminate()
    TPingLoopThread(const TPingLoopThread&) = delete;
    TPingLoopThread& operator=(const TPingLoopThread&) = delete;

    // Set before Resume(); afterwards they raise std::logic_error, as the thread reads them
    // without a lock.
    void SetTarget(const std::string& Target);
    void SetOnBeforePing(TBeforePing Callback);
    void SetOnAfterPing(TAfterPing Callback);
    void SetSyncInvoker(TSyncInvoker Invoker);
    // With one (and Synchronized), results are posted instead: the loop goes on to its wait at
    // once, and its next iteration begins only after the callback has returned, so the order
    // of effects is that of the synchronous hand-over without its wake-up. A callback that
    // fails is followed at once, on the user-interface thread, by the status 19 result.
    void SetPostInvoker(TPostInvoker Invoker);
    bool Synchronized = true; // run both callbacks through the invoker; read by Resume()

    // May be written while the loop runs; each takes effect at its next read (Frequency also
    // during a wait already in progress).
    void SetFrequency(std::int32_t Ms);
    void SetTimeOut(std::int32_t Ms);
    void SetPayload(const std::string& Payload);
    // Off: the before-ping step passes over the callback without handing it to the
    // user-interface thread, sparing that thread a wake-up per request. The owner turns it off
    // while its callback would do nothing; on by default, read at each step.
    void SetBeforePingWanted(bool Wanted);
    // A request is on its way or its result not yet delivered: raised on the loop thread where
    // the before-ping step begins, lowered where the after-ping callback runs, just before it.
    // An owner that stopped wanting the before-ping step learns from it what that step missed.
    bool RequestOutstanding() const;
    std::int32_t Frequency() const;
    std::int32_t TimeOut() const;
    std::string Payload() const;
    std::string Target() const;

    void Resume();    // starts the loop (once; never after Terminate())
    void Terminate(); // stop request: returns at once, no callback runs afterwards
    bool Terminated() const;

    // Loops that have not ended yet, process-wide (for orderly shutdown and tests): a loop ends
    // once it is stopped and nothing of it is left running or waiting to run.
    static int RunningCount();

    struct TState;

private:
    void CheckNotStarted() const;

    std::shared_ptr<TState> FState;
};

// Runs many ping loops on one thread. When a loop's period comes round it takes the loop's
// before-ping step (posted, and the request goes out once it has run) and its request, and the
// result is posted as it comes in. Requests to IPv4 addresses go out without waiting
// (IcmpSendEchoAsync, whose answers come in batches on the echo service's threads); whatever
// may block (a name to resolve, an IPv6 target, an echo function given by a test) runs on a pool
// thread instead, a new one whenever none is free, so that one slow request or callback never
// holds up another loop. Limits: at most Burst requests go out per pass, then the thread reads
// what has come back before the next pass a millisecond later, so a crowd of loops due at once
// cannot flood the socket's receive buffer; a request may go out up to GrainMs before its time,
// to share a wake-up with its neighbours, and each period is still kept from when it was due.
class TEchoScheduler {
public:
    // A request without waiting: returns at once, Done runs once with the outcome (on any
    // thread, possibly before it returns).
    using TAsyncEcho = std::function<void(std::uint32_t Destination, const std::string& Payload,
                                          std::int32_t TimeOut, TIcmpAsyncDone Done)>;
    static constexpr int Burst = 32;

    // Async null: every request goes the blocking way, through Blocking (SendEcho when null).
    TEchoScheduler(std::shared_ptr<TClock> Clock, TAsyncEcho Async,
                   TPingLoopThread::TEchoFunction Blocking, std::int32_t GrainMs);
    // The process's scheduler: the system clock, IcmpEcho() and SendEcho.
    static const std::shared_ptr<TEchoScheduler>& Shared();
    // IcmpSendEchoAsync with the room of a TReplyBuffer for the echoed data, as SendEcho has.
    static TAsyncEcho IcmpEcho();

    struct TImpl;
    const std::shared_ptr<TImpl>& Impl() const { return FImpl; }

private:
    std::shared_ptr<TImpl> FImpl;
};

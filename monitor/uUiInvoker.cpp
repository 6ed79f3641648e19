#include "uUiInvoker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include "zsFutex.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>

namespace {

// One hand-over. The event that carries the call to the UI thread completes it when it is
// destroyed, whether it ran or was discarded with its receiver. Done is 0 while the call is
// pending, 2 while pending with a thread asleep on it, 1 once complete: the UI thread makes a
// wake-up call only for a sleeper, and a loop thread that comes for a posted result after it
// ran (the usual case) makes no system call at all.
struct TCall final : TPingLoopThread::TPostedCall {
    std::function<void()> Owned; // a posted call's function; a waiting caller keeps its own
    std::atomic<const std::function<void()>*> Fn{nullptr};
    std::exception_ptr Error; // written before Done is raised
    std::atomic<std::uint32_t> Done{0};

    void Wait() override {
        std::uint32_t Seen = 0;
        if (!Done.compare_exchange_strong(Seen, 2, std::memory_order_acquire) && Seen == 1) {
            return;
        }
        while (Done.load(std::memory_order_acquire) != 1) {
            FutexWaitUntil(Done, 2, std::chrono::steady_clock::now() + std::chrono::hours(1));
        }
    }
    void Complete() {
        if (Done.exchange(1, std::memory_order_acq_rel) == 2) {
            FutexWakeAll(Done);
        }
    }
};

const QEvent::Type CallEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TCallEvent : public QEvent {
public:
    explicit TCallEvent(std::shared_ptr<TCall> Call)
        : QEvent(CallEventType), FCall(std::move(Call)) {}
    ~TCallEvent() override {
        // The event holds the call, so Done outlives the wake-up call even when the waiter
        // returns at once.
        FCall->Complete();
    }

    void Run() {
        // Acquiring the function orders this thread after the loop thread's preparation of the
        // call (and of whatever the callback reads) in a way the thread sanitizer sees.
        const std::function<void()>* Fn = FCall->Fn.load(std::memory_order_acquire);
        try {
            (*Fn)();
        } catch (...) {
            FCall->Error = std::current_exception();
        }
    }

private:
    std::shared_ptr<TCall> FCall;
};

class TInvokerContext : public QObject {
public:
    explicit TInvokerContext(std::mutex& PostLock) : FPostLock(PostLock) {}

    bool event(QEvent* Event) override {
        {
            // Every call event was made and posted under this lock. Taking it here orders the
            // loop thread's writes before this thread's reads in a way that tools see, which
            // the event queue's own (uninstrumented) locking does not show.
            std::lock_guard<std::mutex> Guard(FPostLock);
        }
        if (Event->type() == CallEventType) {
            static_cast<TCallEvent*>(Event)->Run();
            return true;
        }
        return QObject::event(Event);
    }

private:
    std::mutex& FPostLock;
};

} // namespace

struct TUiInvoker::TShared {
    std::mutex Lock;
    QObject* Context = nullptr; // null once the invoker is gone
    QThread* UiThread = nullptr;

    // Posting under Lock: the destructor clears Context under the same lock before the context
    // object goes, so every event posted here is either delivered or discarded (and thereby
    // completed) by Qt when the context is destroyed. Without a context the call is complete.
    void Post(const std::shared_ptr<TCall>& Call) {
        std::lock_guard<std::mutex> Guard(Lock);
        if (!Context) {
            Call->Complete();
            return;
        }
        QCoreApplication::postEvent(Context, new TCallEvent(Call));
    }

    void Invoke(const std::function<void()>& Fn) {
        if (QThread::currentThread() == UiThread) {
            Fn();
            return;
        }
        auto Call = std::make_shared<TCall>();
        Call->Fn.store(&Fn, std::memory_order_release);
        Post(Call);
        Call->Wait();
        // Taken out, so that this thread holds the last reference to the exception.
        std::exception_ptr Error = std::move(Call->Error);
        if (Error) {
            std::rethrow_exception(Error);
        }
    }
};

TUiInvoker::TUiInvoker()
    : FShared(std::make_shared<TShared>()),
      FContext(std::make_unique<TInvokerContext>(FShared->Lock)) {
    FShared->Context = FContext.get();
    FShared->UiThread = FContext->thread();
}

TUiInvoker::~TUiInvoker() {
    {
        std::lock_guard<std::mutex> Guard(FShared->Lock);
        FShared->Context = nullptr;
    }
    FContext.reset(); // discards pending calls, which releases their waiting loop threads
}

TPingLoopThread::TSyncInvoker TUiInvoker::Invoker() const {
    return [Shared = FShared](const std::function<void()>& Fn) { Shared->Invoke(Fn); };
}

TPingLoopThread::TPostInvoker TUiInvoker::Poster() const {
    return [Shared = FShared](std::function<void()> Fn) {
        auto Call = std::make_shared<TCall>();
        Call->Owned = std::move(Fn);
        Call->Fn.store(&Call->Owned, std::memory_order_release);
        if (QThread::currentThread() == Shared->UiThread) {
            Call->Owned();
            Call->Complete();
        } else {
            Shared->Post(Call);
        }
        return std::shared_ptr<TPingLoopThread::TPostedCall>(std::move(Call));
    };
}

#include "uUiInvoker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <exception>
#include <mutex>

namespace {

// One hand-over. The loop thread waits on Done; the event that carries the call to the UI
// thread sets it when it is destroyed, whether it ran or was discarded with its receiver.
struct TCall {
    std::mutex Lock;
    std::condition_variable Cond;
    const std::function<void()>* Fn = nullptr;
    std::exception_ptr Error;
    bool Done = false;
};

const QEvent::Type CallEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TCallEvent : public QEvent {
public:
    explicit TCallEvent(std::shared_ptr<TCall> Call)
        : QEvent(CallEventType), FCall(std::move(Call)) {}
    ~TCallEvent() override {
        {
            std::lock_guard<std::mutex> Guard(FCall->Lock);
            FCall->Done = true;
        }
        FCall->Cond.notify_all();
    }

    void Run() {
        const std::function<void()>* Fn;
        {
            // Taking the lock orders this thread after the loop thread's preparation of the
            // call (and of whatever the callback reads) in a way the thread sanitizer sees.
            std::lock_guard<std::mutex> Guard(FCall->Lock);
            Fn = FCall->Fn;
        }
        std::exception_ptr Error;
        try {
            (*Fn)();
        } catch (...) {
            Error = std::current_exception();
        }
        std::lock_guard<std::mutex> Guard(FCall->Lock);
        FCall->Error = std::move(Error);
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

    void Invoke(const std::function<void()>& Fn) {
        if (QThread::currentThread() == UiThread) {
            Fn();
            return;
        }
        auto Call = std::make_shared<TCall>();
        Call->Fn = &Fn;
        {
            // Posting under Lock: the destructor clears Context under the same lock before the
            // context object goes, so every event posted here is either delivered or discarded
            // (and thereby completed) by Qt when the context is destroyed.
            std::lock_guard<std::mutex> Guard(Lock);
            if (!Context) {
                return;
            }
            QCoreApplication::postEvent(Context, new TCallEvent(Call));
        }
        std::exception_ptr Error;
        {
            std::unique_lock<std::mutex> Guard(Call->Lock);
            Call->Cond.wait(Guard, [&] { return Call->Done; });
            // Taken out, so that this thread holds the last reference to the exception.
            Error = std::move(Call->Error);
        }
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

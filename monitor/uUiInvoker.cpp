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
        FCall->Error = Error;
    }

private:
    std::shared_ptr<TCall> FCall;
};

class TInvokerContext : public QObject {
public:
    bool event(QEvent* Event) override {
        if (Event->type() == CallEventType) {
            static_cast<TCallEvent*>(Event)->Run();
            return true;
        }
        return QObject::event(Event);
    }
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
        std::unique_lock<std::mutex> Guard(Call->Lock);
        Call->Cond.wait(Guard, [&] { return Call->Done; });
        if (Call->Error) {
            std::rethrow_exception(Call->Error);
        }
    }
};

TUiInvoker::TUiInvoker()
    : FShared(std::make_shared<TShared>()), FContext(std::make_unique<TInvokerContext>()) {
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

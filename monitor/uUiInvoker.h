// TUiInvoker hands a ping loop's callbacks to the user-interface thread and blocks the loop
// thread until they have run, carrying an exception back; or posts a result without waiting,
// for the loop to wait for it later.
//
//   TUiInvoker invoker;                      // made on the UI thread
//   loop->SetSyncInvoker(invoker.Invoker());
//   loop->SetPostInvoker(invoker.Poster());
//
// The invoker function may outlive this object (the loop thread keeps it): once the object is
// gone, a call that is waiting returns without running and later calls return at once, so a
// loop thread never blocks forever on a freed monitor. Called on the UI thread itself, the
// function runs directly.
#pragma once

#include "zsPingLoopThread.h"

#include <memory>

class QObject;

class TUiInvoker {
public:
    TUiInvoker();
    ~TUiInvoker();
    TUiInvoker(const TUiInvoker&) = delete;
    TUiInvoker& operator=(const TUiInvoker&) = delete;

    TPingLoopThread::TSyncInvoker Invoker() const;
    // Posts without waiting; the call's Wait() returns once it ran or was discarded with this
    // object. Exceptions stay with the function. Called on the UI thread, it runs at once.
    TPingLoopThread::TPostInvoker Poster() const;

    struct TShared;

private:
    std::shared_ptr<TShared> FShared;
    std::unique_ptr<QObject> FContext;
};

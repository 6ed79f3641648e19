// TUiInvoker hands a ping loop's callbacks to the user-interface thread and blocks the loop
// thread until they have run, carrying an exception back.
//
//   TUiInvoker invoker;                      // made on the UI thread
//   loop->SetSyncInvoker(invoker.Invoker());
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

    struct TShared;

private:
    std::shared_ptr<TShared> FShared;
    std::unique_ptr<QObject> FContext;
};

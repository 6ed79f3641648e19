// TzsWorkerThread runs queued jobs one at a time on a thread of its own, in the order added.
//
//   TzsWorkerThread worker;
//   worker.AddJob(TThreadJob::Bind<TLogJob, &TLogJob::Run>(job));   // job: shared_ptr<TLogJob>
//
// The queue is a fixed ring of 2048 slots: AddJob never allocates and raises
// "The thread work queue is full." when the ring is full. Destruction stops the thread and
// waits for a running job; pending jobs are dropped.
#pragma once

#include "zsPingErrors.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class TzsWorkerThread;

// A method bound to its object. The job shares ownership of the object, so a job still queued
// or running never reaches a freed object.
struct TThreadJob {
    void (*Code)(void* Object, TzsWorkerThread& Worker) = nullptr;
    std::shared_ptr<void> Object;

    explicit operator bool() const { return Code != nullptr; }

    template <class T, void (T::*Method)(TzsWorkerThread&)>
    static TThreadJob Bind(std::shared_ptr<T> Obj) {
        TThreadJob Job;
        Job.Code = [](void* O, TzsWorkerThread& W) { (static_cast<T*>(O)->*Method)(W); };
        Job.Object = std::move(Obj);
        return Job;
    }
};

class TzsWorkerThread {
public:
    static constexpr int QueueSize = 2048;

    TzsWorkerThread(); // created asleep
    ~TzsWorkerThread();
    TzsWorkerThread(const TzsWorkerThread&) = delete;
    TzsWorkerThread& operator=(const TzsWorkerThread&) = delete;

    void AddJob(TThreadJob Job); // raises EPingError("The thread work queue is full.")
    TThreadJob NextJob();
    void ClearJobs();
    void Terminate(); // stop request; pending jobs will not run

    std::int32_t ReadIndex() const;
    std::int32_t WriteIndex() const;

private:
    void Execute();

    mutable std::mutex QueueLock;
    std::condition_variable FWake;
    std::int32_t FReadIndex = -1;
    std::int32_t FWriteIndex = -1;
    std::array<TThreadJob, QueueSize> Jobs;
    bool FTerminated = false;
    std::thread FThread;
};

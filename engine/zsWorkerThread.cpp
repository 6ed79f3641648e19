#include "zsWorkerThread.h"

#include <utility>
#include <vector>

namespace {

std::int32_t NextSlot(std::int32_t Index) {
    return (Index + 1) % TzsWorkerThread::QueueSize;
}

} // namespace

TzsWorkerThread::TzsWorkerThread() : FThread([this] { Execute(); }) {}

TzsWorkerThread::~TzsWorkerThread() {
    Terminate();
    if (FThread.joinable()) {
        FThread.join();
    }
    // Pending jobs release their objects with the ring, after the thread has gone.
}

void TzsWorkerThread::AddJob(TThreadJob Job) {
    bool Full = false;
    {
        std::lock_guard<std::mutex> Guard(QueueLock);
        if (FTerminated) {
            return;
        }
        const std::int32_t Slot = NextSlot(FWriteIndex);
        if (Jobs[Slot]) {
            Full = true;
        } else {
            Jobs[Slot] = std::move(Job);
            FWriteIndex = Slot;
        }
    }
    // Woken also when full, so that a worker asleep by mistake still drains the ring.
    FWake.notify_one();
    if (Full) {
        throw EPingError("The thread work queue is full.");
    }
}

TThreadJob TzsWorkerThread::NextJob() {
    std::lock_guard<std::mutex> Guard(QueueLock);
    if (FTerminated) {
        return {};
    }
    const std::int32_t Slot = NextSlot(FReadIndex);
    if (!Jobs[Slot]) {
        return {};
    }
    FReadIndex = Slot;
    return std::exchange(Jobs[Slot], TThreadJob{});
}

void TzsWorkerThread::ClearJobs() {
    // The jobs' objects are released after the lock: their destructors may take locks too.
    std::vector<TThreadJob> Dropped;
    Dropped.reserve(QueueSize);
    std::lock_guard<std::mutex> Guard(QueueLock);
    for (TThreadJob& Job : Jobs) {
        if (Job) {
            Dropped.push_back(std::exchange(Job, TThreadJob{}));
        }
    }
    // Without this the worker would keep looking at an emptied slot while new jobs go in after
    // WriteIndex, and they would never run.
    FReadIndex = FWriteIndex;
}

void TzsWorkerThread::Terminate() {
    {
        std::lock_guard<std::mutex> Guard(QueueLock);
        FTerminated = true;
    }
    FWake.notify_all();
}

std::int32_t TzsWorkerThread::ReadIndex() const {
    std::lock_guard<std::mutex> Guard(QueueLock);
    return FReadIndex;
}

std::int32_t TzsWorkerThread::WriteIndex() const {
    std::lock_guard<std::mutex> Guard(QueueLock);
    return FWriteIndex;
}

void TzsWorkerThread::Execute() {
    for (;;) {
        while (TThreadJob Job = NextJob()) {
            try {
                Job.Code(Job.Object.get(), *this);
            } catch (...) {
                // A failing job must not stop the jobs queued behind it.
            }
        }
        std::unique_lock<std::mutex> Guard(QueueLock);
        // Checked under the lock that AddJob fills the ring with, so no job added after the
        // last NextJob can be slept through.
        FWake.wait(Guard, [this] { return FTerminated || bool(Jobs[NextSlot(FReadIndex)]); });
        if (FTerminated) {
            return;
        }
    }
}

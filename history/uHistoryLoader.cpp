#include "uHistoryLoader.h"

#include <algorithm>
#include <chrono>

// Takes the records of the reading in order: the index of their runs, the log's extent, and
// the view's columns for those that fall in the view already made.
class THistoryLoader::TIndexSink : public THistorySink {
public:
    explicit TIndexSink(THistoryLoader& Owner) : FOwner(Owner) {}
    void Restart() override {
        FOwner.FBlocks.clear();
        FOwner.FLog = THistoryExtent();
        FOwner.FViewValid = false;
        FRestarted = true;
    }
    void Take(const THistoryRecord* Records, std::size_t Count) override {
        TBlock Block;
        Block.Start = FStart;
        Block.End = FOwner.FReader.Position().Offset;
        Block.Earliest = Records[0].UnixSeconds;
        Block.Latest = Records[0].UnixSeconds;
        for (std::size_t I = 0; I < Count; ++I) {
            Block.Earliest = std::min(Block.Earliest, Records[I].UnixSeconds);
            Block.Latest = std::max(Block.Latest, Records[I].UnixSeconds);
            FOwner.FLog.Add(Records[I].UnixSeconds);
            if (FOwner.FViewValid) {
                FOwner.FView.Add(Records[I]);
            }
        }
        FOwner.FBlocks.push_back(Block);
        FTaken += Count;
    }
    bool Cancelled() override { return FOwner.Superseded(); }
    void Progress(std::uint64_t Done, std::uint64_t Total) override {
        const int Percent = Total > 0 ? int(Done * 100 / Total) : 100;
        if (Percent != FPercent && FOwner.FProgress) {
            FPercent = Percent;
            FOwner.FProgress(Percent);
        }
    }
    // Where the next chunk begins: the reading's position before it.
    void Mark() { FStart = FOwner.FReader.Position(); }

    bool FRestarted = false;
    std::uint64_t FTaken = 0;

private:
    THistoryLoader& FOwner;
    TPingLogPosition FStart;
    int FPercent = -1;
};

class THistoryLoader::TViewSink : public THistorySink {
public:
    TViewSink(THistoryLoader& Owner, THistoryView& View) : FOwner(Owner), FView(View) {}
    void Take(const THistoryRecord* Records, std::size_t Count) override {
        for (std::size_t I = 0; I < Count; ++I) {
            FView.Add(Records[I]);
        }
    }
    bool Cancelled() override { return FOwner.Superseded(); }

private:
    THistoryLoader& FOwner;
    THistoryView& FView;
};

THistoryLoader::THistoryLoader(std::string FileName, TDeliver Deliver, TProgress Progress)
    : FFileName(std::move(FileName)), FDeliver(std::move(Deliver)), FProgress(std::move(Progress)),
      FThread([this] { Run(); }) {}

THistoryLoader::~THistoryLoader() {
    {
        std::lock_guard<std::mutex> Hold(FLock);
        FStop = true;
    }
    FWake.notify_all();
    FThread.join();
}

void THistoryLoader::Request(THistorySpan Span, int Columns, std::int64_t Now) {
    {
        std::lock_guard<std::mutex> Hold(FLock);
        FWanted = {Span, std::max(Columns, 1), Now};
        FPending = true;
    }
    FWake.notify_all();
}

bool THistoryLoader::WaitIdle(int TimeoutMs) {
    std::unique_lock<std::mutex> Hold(FLock);
    return FWake.wait_for(Hold, std::chrono::milliseconds(TimeoutMs),
                          [this] { return !FPending && !FBusy; });
}

// A request for another span or width ends the work in hand; one for the same view (the
// follow timer's, or a new time) waits for it, so following a file never restarts a reading.
bool THistoryLoader::Superseded() {
    std::lock_guard<std::mutex> Hold(FLock);
    return FStop ||
           (FPending && (FWanted.Span != FServing.Span || FWanted.Columns != FServing.Columns));
}

void THistoryLoader::Run() {
    std::unique_lock<std::mutex> Hold(FLock);
    for (;;) {
        FWake.wait(Hold, [this] { return FStop || FPending; });
        if (FStop) {
            return;
        }
        const TWanted Wanted = FWanted;
        FServing = Wanted;
        FPending = false;
        FBusy = true;
        Hold.unlock();
        Serve(Wanted);
        Hold.lock();
        FBusy = false;
        FWake.notify_all();
    }
}

void THistoryLoader::Serve(const TWanted& Wanted) {
    // Whatever the file holds beyond what was read, in chunks, each indexed where it begins.
    TIndexSink Index(*this);
    struct TMarking : THistorySink {
        TIndexSink& Inner;
        explicit TMarking(TIndexSink& I) : Inner(I) {}
        void Restart() override {
            Inner.Restart();
            Inner.Mark();
        }
        void Take(const THistoryRecord* R, std::size_t N) override {
            Inner.Take(R, N);
            Inner.Mark();
        }
        bool Cancelled() override { return Inner.Cancelled(); }
        void Progress(std::uint64_t D, std::uint64_t T) override { Inner.Progress(D, T); }
    } Marking(Index);
    Index.Mark();
    const TPingLogReader::TProblem ProblemBefore = FReader.Problem();
    FReader.ReadFrom(FFileName, Marking);
    if (Superseded()) {
        return; // the next request goes on from where this reading stopped
    }

    const THistoryRange Range = HistoryRange(Wanted.Span, FLog, Wanted.Now);
    const bool SameView =
        FViewValid && FView.Range() == Range && int(FView.Columns().size()) == Wanted.Columns;
    if (!SameView) {
        THistoryView View(Range, Wanted.Columns);
        TViewSink Sink(*this, View);
        TLocalTimeRules& Rules = FReader.Rules();
        int Percent = -1;
        for (std::size_t I = 0; I < FBlocks.size(); ++I) {
            const TBlock& Block = FBlocks[I];
            if (Block.Latest < Range.From || Block.Earliest >= Range.To) {
                continue;
            }
            TPingLogReader::ReadRange(FFileName, Block.Start, Block.End, Rules, Sink);
            if (Superseded()) {
                return;
            }
            if (FProgress && int(I * 100 / FBlocks.size()) != Percent) {
                Percent = int(I * 100 / FBlocks.size());
                FProgress(Percent);
            }
        }
        FView = std::move(View);
        FViewValid = true;
    }
    const bool Changed = !FDelivered || !SameView || Index.FTaken > 0 || Index.FRestarted ||
                         FReader.Problem() != ProblemBefore ||
                         FReader.Problem() != FDeliveredProblem ||
                         FReader.Skipped() != FDeliveredSkipped || FViewSpan != Wanted.Span;
    if (!Changed) {
        return;
    }
    THistorySnapshot Snapshot;
    Snapshot.Span = Wanted.Span;
    Snapshot.View = FView;
    Snapshot.Log = FLog;
    Snapshot.Records = FReader.Records();
    Snapshot.Skipped = FReader.Skipped();
    Snapshot.Problem = FReader.Problem();
    Snapshot.ProblemText = FReader.ProblemText();
    Snapshot.SkippedText = FReader.SkippedText();
    FDelivered = true;
    FDeliveredProblem = Snapshot.Problem;
    FDeliveredSkipped = Snapshot.Skipped;
    FViewSpan = Wanted.Span;
    if (FProgress) {
        FProgress(100);
    }
    FDeliver(std::move(Snapshot));
}

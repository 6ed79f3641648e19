// Reads a log file for the history window on a thread of its own, so the window stays
// responsive whatever the file's size: one job at a time, the newest request replacing any
// that waits, and a running one given up when one for another span or width comes.
//
//   THistoryLoader Loader(Path, [](THistorySnapshot S) { post S to the window },
//                         [](int Percent) { post the progress });
//   Loader.Request(THistorySpan::Week, PlotWidthInDevicePixels, Now);   // again to follow
//
// Limits: the loader keeps of the file the reading's position, an index of where each run of
// 4,096 records lies and which times it covers (48 bytes per 96 KiB of log), and the view it
// last made; a gigabyte of log costs well under a megabyte. The first reading goes through the
// whole file once (checking it and building the index); a view then reads only the runs of
// records that overlap its range, and records appended later are read once and added to the
// view they fall in. The callbacks run on the loader's thread; the destructor stops it and
// waits for it (at most one chunk of 4,096 records).
#pragma once

#include "uHistoryView.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct THistorySnapshot {
    THistorySpan Span = THistorySpan::Day;
    THistoryView View;
    THistoryExtent Log;
    std::uint64_t Records = 0;
    std::uint64_t Skipped = 0;
    TPingLogReader::TProblem Problem = TPingLogReader::TProblem::None;
    std::string ProblemText;
    std::string SkippedText;
};

class THistoryLoader {
public:
    using TDeliver = std::function<void(THistorySnapshot)>;
    using TProgress = std::function<void(int Percent)>;

    THistoryLoader(std::string FileName, TDeliver Deliver, TProgress Progress);
    ~THistoryLoader();
    THistoryLoader(const THistoryLoader&) = delete;
    THistoryLoader& operator=(const THistoryLoader&) = delete;

    // Reads what is new in the file and makes the view of Span over Columns columns at Now;
    // delivers a snapshot when anything it shows changed (always after the first request).
    void Request(THistorySpan Span, int Columns, std::int64_t Now);
    // Test seam: true once no request waits or runs (false after TimeoutMs).
    bool WaitIdle(int TimeoutMs);

private:
    struct TWanted {
        THistorySpan Span = THistorySpan::Day;
        int Columns = 1;
        std::int64_t Now = 0;
    };
    struct TBlock {
        TPingLogPosition Start;
        std::uint64_t End = 0;
        std::int64_t Earliest = 0;
        std::int64_t Latest = 0;
    };
    class TIndexSink;
    class TViewSink;

    void Run();
    // On the loader's thread.
    void Serve(const TWanted& Wanted);
    bool Superseded();

    const std::string FFileName;
    const TDeliver FDeliver;
    const TProgress FProgress;

    std::mutex FLock;
    std::condition_variable FWake;
    bool FStop = false;
    bool FPending = false;
    bool FBusy = false;
    TWanted FWanted;
    TWanted FServing; // the request in hand

    // The loader thread's own.
    TPingLogReader FReader;
    std::vector<TBlock> FBlocks;
    THistoryExtent FLog;
    THistoryView FView;
    bool FViewValid = false;
    THistorySpan FViewSpan = THistorySpan::Day;
    bool FDelivered = false;
    TPingLogReader::TProblem FDeliveredProblem = TPingLogReader::TProblem::None;
    std::uint64_t FDeliveredSkipped = 0;

    std::thread FThread; // last: starts when everything above is ready
};

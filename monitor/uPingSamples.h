// The samples of one monitor, newest first (index 0 is the newest), kept compact: a monitor
// holds up to about eight hours of one-second results, so a sample is stored in 8 bytes (its time
// as a millisecond offset, its round trip, status and success), and the target and address texts
// once per run of samples that share them.
//
//   TPingSamples samples;
//   samples.PushFront(event);            // becomes samples[0]
//   if (samples[0].Success) use(samples[0].RoundTrip);
//   TPingEvent e = samples[0].Event();   // full copy with its texts
//
// Beside the samples the list keeps summaries of runs of them (counts, sums, lowest and highest
// round trip) in three levels of blocks of 16, 256 and 4,096, so that the statistics over a span
// and the graph's columns of an eight-hour span are read from a few hundred summaries instead of
// every sample. A new sample updates one summary per level; a removal rebuilds them.
//
// Limits: times keep whole milliseconds (the clocks deliver no finer ones); a round trip is kept
// within +/-4,194,303 ms (about 70 minutes, far beyond any timeout offered) and a status within
// 0..255. Samples more than about 24 days older than the newest keep an offset clamped at that
// distance, which still places them beyond every span and pruning age.
#pragma once

#include "zsClock.h"
#include "zsPingLoopThread.h"

#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

// Absolute difference of two date-times in whole milliseconds. Date-times are fractions of days,
// so the difference is rounded to the millisecond before any truncation to seconds or minutes:
// 482 minutes apart must not come out as 481 for want of the last bit.
std::int64_t MillisecondsBetween(TDateTime A, TDateTime B);

struct TSampleTexts {
    std::string Target;
    std::string IPAddress;
};

// One sample as read from the list: the fields of a TPingEvent. Its texts belong to the list and
// stay valid until the list changes.
struct TPingEventObj {
    TDateTime Time = 0;
    std::int64_t Ms = 0; // Time on the list's own millisecond scale: differences are exact
    std::int32_t RoundTrip = -1;
    TPingStatus Status = 0;
    bool Success = false;
    // The machine slept between the next older sample and this one: nothing joins the two.
    bool AfterGap = false;
    const TSampleTexts* Texts = nullptr;

    const std::string& Target() const;
    const std::string& IPAddress() const;
    TPingEvent Event() const;
};

// What a run of samples holds.
struct TSampleRun {
    std::int32_t MinTrip = INT32_MAX; // over the successes
    std::int32_t MaxTrip = INT32_MIN;
    std::uint32_t Good = 0; // successes
    std::uint32_t Seen = 0; // samples other than failures right after a gap
    std::int64_t Sum = 0;   // round trips of the successes
    bool Plain = true;      // every sample a success with no gap before it
};

class TPingSamples {
    struct TPacked {
        std::int32_t OffsetMs; // from FBase
        std::uint32_t Word;    // round trip (signed, bits 9..31), success (bit 8), status
    };
    static_assert(sizeof(TPacked) == 8);

public:
    static constexpr std::int32_t MaxRoundTrip = (1 << 22) - 1;
    static constexpr std::int32_t MinRoundTrip = -(1 << 22);

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = TPingEventObj;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = TPingEventObj;

        const_iterator() = default;
        const_iterator(const TPingSamples* List, std::size_t Index) : FList(List), FIndex(Index) {}
        TPingEventObj operator*() const { return (*FList)[FIndex]; }
        const_iterator& operator++() {
            ++FIndex;
            return *this;
        }
        bool operator==(const const_iterator& Other) const { return FIndex == Other.FIndex; }
        bool operator!=(const const_iterator& Other) const { return FIndex != Other.FIndex; }

    private:
        const TPingSamples* FList = nullptr;
        std::size_t FIndex = 0;
    };

    std::size_t size() const { return FItems.size(); }
    bool empty() const { return FItems.empty(); }
    TPingEventObj operator[](std::size_t Index) const;
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, FItems.size()}; }

    // The newest sample's time is never earlier than the one before it: times fall from the
    // newest to the oldest, so a time or a column can be looked up by halving.
    bool Ordered() const { return FOrdered; }
    // Parts of sample Index without building it.
    std::int64_t MsAt(std::size_t Index) const { return FItems[Index].OffsetMs; }
    TDateTime TimeAt(std::size_t Index) const;
    bool SuccessAt(std::size_t Index) const { return (FItems[Index].Word & 0x100u) != 0; }
    std::int32_t RoundTripAt(std::size_t Index) const {
        return static_cast<std::int32_t>(FItems[Index].Word) >> 9;
    }
    // The samples First..Last (newest-first indices, both included, First <= Last < size()).
    TSampleRun Summary(std::size_t First, std::size_t Last) const;
    // The first success at index From or older; size() when there is none.
    std::size_t NextSuccess(std::size_t From) const;
    bool AfterGapAt(std::size_t Index) const;
    // Asks the processor to fetch sample Index ahead of a read.
    void Prefetch(std::size_t Index) const { __builtin_prefetch(&FItems[Index]); }
    // Changes with every change of the list other than a sample added at the front: whoever
    // keeps figures about samples by their position from the oldest (which a new sample leaves
    // alone) knows them stale when this moved. No two lists, copies included, ever share a value.
    std::uint64_t Revision() const { return FRevision.Value; }

    // Inserts a sample holding a copy of Event at the front and returns it as stored.
    TPingEventObj PushFront(const TPingEvent& Event);
    // Changes the newest sample's result (the timeout rule fails a slow reply in the graph).
    void SetFrontResult(bool Success, TPingStatus Status);
    // Marks the newest sample as the first after a gap (a sleep of the machine).
    void MarkFrontAfterGap();
    void Clear();
    // Removes every sample for which Remove is true, keeping the order of the others. A removed
    // sample takes its gap mark with it.
    std::size_t RemoveIf(const std::function<bool(const TPingEventObj&)>& Remove);

private:
    struct TTextRun {
        std::size_t From; // position counted from the oldest sample (0)
        std::shared_ptr<const TSampleTexts> Texts;
    };

    static std::uint32_t Pack(std::int32_t RoundTrip, bool Success, TPingStatus Status);
    std::int32_t OffsetOf(TDateTime Time) const;
    void Rebase(TDateTime Base);
    const TSampleTexts* TextsAt(std::size_t Index) const;
    // Summaries, by position counted from the oldest sample.
    static constexpr std::size_t LevelCount = 3;
    static constexpr std::size_t LevelShift[LevelCount] = {4, 8, 12}; // blocks of 16, 256, 4096
    void AddToSummaries(std::size_t Position);
    void RebuildSummaries();
    void RecomputeNewestSummaries();
    void AddSample(TSampleRun& Run, std::size_t Position) const;
    void AddSamples(TSampleRun& Run, std::size_t From, std::size_t End) const;

    std::deque<TPacked> FItems; // newest first
    TDateTime FBase = 0;
    std::vector<TTextRun> FRuns;    // ascending From; the first starts at 0
    std::vector<std::size_t> FGaps; // positions (from the oldest) of samples after a gap, ascending
    std::vector<TSampleRun> FLevels[LevelCount];
    bool FOrdered = true;
    // A copy is a list of its own: it gets a revision of its own.
    struct TRevision {
        std::uint64_t Value = Next();
        TRevision() = default;
        TRevision(const TRevision&) : Value(Next()) {}
        TRevision& operator=(const TRevision&) {
            Value = Next();
            return *this;
        }
        void Bump() { Value = Next(); }
        static std::uint64_t Next();
    };
    TRevision FRevision;
};

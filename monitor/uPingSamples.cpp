#include "uPingSamples.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>

namespace {

constexpr double MsPerDay = 86400000.0;

const TSampleTexts& EmptyTexts() {
    static const TSampleTexts Empty;
    return Empty;
}

// Milliseconds from Base to Time, when they fit the 32-bit offset.
bool OffsetFits(TDateTime Time, TDateTime Base, std::int32_t& Offset) {
    const double Ms = std::nearbyint((Time - Base) * MsPerDay);
    if (!(Ms >= double(INT32_MIN) && Ms <= double(INT32_MAX))) { // also NaN
        return false;
    }
    Offset = static_cast<std::int32_t>(Ms);
    return true;
}

} // namespace

std::uint64_t TPingSamples::TRevision::Next() {
    static std::atomic<std::uint64_t> Last{0};
    return Last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::int64_t MillisecondsBetween(TDateTime A, TDateTime B) {
    const double Ms = std::fabs(A - B) * MsPerDay;
    // Beyond any real span (and NaN): treat as infinitely far apart instead of converting an
    // out-of-range value.
    if (!(Ms < 9.0e18)) {
        return INT64_MAX;
    }
    return std::llround(Ms);
}

const std::string& TPingEventObj::Target() const {
    return Texts ? Texts->Target : EmptyTexts().Target;
}

const std::string& TPingEventObj::IPAddress() const {
    return Texts ? Texts->IPAddress : EmptyTexts().IPAddress;
}

TPingEvent TPingEventObj::Event() const {
    TPingEvent E;
    E.Time = Time;
    E.Success = Success;
    E.RoundTrip = RoundTrip;
    E.Status = Status;
    E.Target = Target();
    E.IPAddress = IPAddress();
    return E;
}

std::uint32_t TPingSamples::Pack(std::int32_t RoundTrip, bool Success, TPingStatus Status) {
    const std::int32_t Trip = std::clamp(RoundTrip, MinRoundTrip, MaxRoundTrip);
    return (static_cast<std::uint32_t>(Trip) << 9) | (Success ? 0x100u : 0u) |
           static_cast<std::uint32_t>(Status);
}

TPingEventObj TPingSamples::operator[](std::size_t Index) const {
    const TPacked& P = FItems[Index];
    TPingEventObj S;
    S.Ms = P.OffsetMs;
    S.Time = FBase + double(P.OffsetMs) / MsPerDay;
    S.RoundTrip = static_cast<std::int32_t>(P.Word) >> 9; // arithmetic: keeps the sign
    S.Success = (P.Word & 0x100u) != 0;
    S.Status = static_cast<TPingStatus>(P.Word & 0xFFu);
    S.Texts = TextsAt(Index);
    S.AfterGap = AfterGapAt(Index);
    return S;
}

TDateTime TPingSamples::TimeAt(std::size_t Index) const {
    return FBase + double(FItems[Index].OffsetMs) / MsPerDay;
}

namespace {

void Merge(TSampleRun& Into, const TSampleRun& Part) {
    Into.MinTrip = std::min(Into.MinTrip, Part.MinTrip);
    Into.MaxTrip = std::max(Into.MaxTrip, Part.MaxTrip);
    Into.Good += Part.Good;
    Into.Seen += Part.Seen;
    Into.Sum += Part.Sum;
    Into.Plain = Into.Plain && Part.Plain;
}

} // namespace

void TPingSamples::AddSample(TSampleRun& Run, std::size_t Position) const {
    const std::size_t Index = FItems.size() - 1 - Position;
    const TPacked& P = FItems[Index];
    const bool Gap = AfterGapAt(Index);
    if ((P.Word & 0x100u) != 0) {
        const std::int32_t Trip = static_cast<std::int32_t>(P.Word) >> 9;
        Run.MinTrip = std::min(Run.MinTrip, Trip);
        Run.MaxTrip = std::max(Run.MaxTrip, Trip);
        ++Run.Good;
        ++Run.Seen;
        Run.Sum += Trip;
        Run.Plain = Run.Plain && !Gap;
    } else {
        Run.Seen += Gap ? 0 : 1;
        Run.Plain = false;
    }
}

void TPingSamples::AddToSummaries(std::size_t Position) {
    for (std::size_t L = 0; L < LevelCount; ++L) {
        const std::size_t Block = Position >> LevelShift[L];
        if (FLevels[L].size() <= Block) {
            FLevels[L].resize(Block + 1);
        }
        AddSample(FLevels[L][Block], Position);
    }
}

// The newest sample changed: the blocks holding it are summed afresh from the level below.
void TPingSamples::RecomputeNewestSummaries() {
    if (FItems.empty()) {
        return;
    }
    const std::size_t Newest = FItems.size() - 1;
    for (std::size_t L = 0; L < LevelCount; ++L) {
        const std::size_t Block = Newest >> LevelShift[L];
        TSampleRun Run;
        if (L == 0) {
            for (std::size_t P = Block << LevelShift[0]; P <= Newest; ++P) {
                AddSample(Run, P);
            }
        } else {
            const std::size_t Per = LevelShift[L] - LevelShift[L - 1];
            for (std::size_t B = Block << Per; B < FLevels[L - 1].size(); ++B) {
                Merge(Run, FLevels[L - 1][B]);
            }
        }
        FLevels[L][Block] = Run;
    }
}

void TPingSamples::RebuildSummaries() {
    for (auto& Level : FLevels) {
        std::vector<TSampleRun>().swap(Level);
    }
    FOrdered = true;
    for (std::size_t Position = 0; Position < FItems.size(); ++Position) {
        AddToSummaries(Position);
        const std::size_t Index = FItems.size() - 1 - Position;
        if (Position > 0 && FItems[Index].OffsetMs < FItems[Index + 1].OffsetMs) {
            FOrdered = false;
        }
    }
}

// Samples at positions From up to End (excluded), one by one.
void TPingSamples::AddSamples(TSampleRun& Run, std::size_t From, std::size_t End) const {
    if (From >= End) {
        return;
    }
    if (!FGaps.empty()) {
        for (std::size_t P = From; P < End; ++P) {
            AddSample(Run, P);
        }
        return;
    }
    // No gap marks: a plain pass over the packed samples (the order does not matter).
    const std::size_t N = FItems.size();
    auto It = FItems.begin() + std::ptrdiff_t(N - End);
    for (std::size_t I = From; I < End; ++I, ++It) {
        const std::uint32_t Word = It->Word;
        if ((Word & 0x100u) != 0) {
            const std::int32_t Trip = static_cast<std::int32_t>(Word) >> 9;
            Run.MinTrip = std::min(Run.MinTrip, Trip);
            Run.MaxTrip = std::max(Run.MaxTrip, Trip);
            ++Run.Good;
            Run.Sum += Trip;
        } else {
            Run.Plain = false;
        }
    }
    Run.Seen += std::uint32_t(End - From);
}

TSampleRun TPingSamples::Summary(std::size_t First, std::size_t Last) const {
    TSampleRun Run;
    const std::size_t Lo = FItems.size() - 1 - Last, Hi = FItems.size() - 1 - First;
    constexpr std::size_t Leaf = std::size_t(1) << LevelShift[0];
    // Up to the first whole block, the whole blocks from the highest level that fits, the rest.
    std::size_t P = std::min((Lo + Leaf - 1) & ~(Leaf - 1), Hi + 1);
    AddSamples(Run, Lo, P);
    while (P + Leaf - 1 <= Hi) {
        for (std::size_t L = LevelCount; L-- > 0;) {
            const std::size_t Size = std::size_t(1) << LevelShift[L];
            if ((P & (Size - 1)) == 0 && P + Size - 1 <= Hi) {
                Merge(Run, FLevels[L][P >> LevelShift[L]]);
                P += Size;
                break;
            }
        }
    }
    AddSamples(Run, P, Hi + 1);
    return Run;
}

std::size_t TPingSamples::NextSuccess(std::size_t From) const {
    const std::size_t N = FItems.size();
    const std::size_t Block = std::size_t(1) << LevelShift[0];
    std::size_t I = From;
    while (I < N) {
        if (SuccessAt(I)) {
            return I;
        }
        // A whole block of failures ahead (positions fall as the index grows) is passed at once.
        const std::size_t Position = N - 1 - I;
        if ((Position & (Block - 1)) == Block - 1 &&
            FLevels[0][Position >> LevelShift[0]].Good == 0) {
            I += Block;
        } else {
            ++I;
        }
    }
    return N;
}

bool TPingSamples::AfterGapAt(std::size_t Index) const {
    // Gaps are rare (one per sleep of the machine): nearly always nothing to look through.
    return !FGaps.empty() &&
           std::binary_search(FGaps.begin(), FGaps.end(), FItems.size() - 1 - Index);
}

void TPingSamples::MarkFrontAfterGap() {
    if (!FItems.empty() && (FGaps.empty() || FGaps.back() != FItems.size() - 1)) {
        FRevision.Bump();
        FGaps.push_back(FItems.size() - 1);
        RecomputeNewestSummaries();
    }
}

const TSampleTexts* TPingSamples::TextsAt(std::size_t Index) const {
    if (FRuns.empty()) {
        return nullptr;
    }
    const std::size_t Position = FItems.size() - 1 - Index;
    // The last run that starts at or before Position; there is nearly always only one.
    auto It = std::upper_bound(FRuns.begin(), FRuns.end(), Position,
                               [](std::size_t P, const TTextRun& Run) { return P < Run.From; });
    return It == FRuns.begin() ? nullptr : std::prev(It)->Texts.get();
}

// Offsets are measured from the newest sample's time after a jump too far for them (a clock set
// years ahead); samples too far from it keep the farthest offset on their side.
void TPingSamples::Rebase(TDateTime Base) {
    FRevision.Bump();
    for (TPacked& P : FItems) {
        const TDateTime Time = FBase + double(P.OffsetMs) / MsPerDay;
        std::int32_t Offset;
        if (!OffsetFits(Time, Base, Offset)) {
            Offset = Time < Base ? INT32_MIN : INT32_MAX;
        }
        P.OffsetMs = Offset;
    }
    FBase = Base;
}

TPingEventObj TPingSamples::PushFront(const TPingEvent& Event) {
    if (FItems.empty()) {
        FBase = Event.Time;
    }
    std::int32_t Offset;
    if (!OffsetFits(Event.Time, FBase, Offset)) {
        Rebase(Event.Time);
        Offset = 0;
    }
    FItems.push_front(TPacked{Offset, Pack(Event.RoundTrip, Event.Success, Event.Status)});
    if (FItems.size() > 1 && FItems[0].OffsetMs < FItems[1].OffsetMs) {
        FOrdered = false; // the clock went back
    }
    AddToSummaries(FItems.size() - 1);
    // A monitor's results almost always repeat the texts of the one before.
    const TSampleTexts* Last = FRuns.empty() ? nullptr : FRuns.back().Texts.get();
    if (!Last || Last->Target != Event.Target || Last->IPAddress != Event.IPAddress) {
        FRuns.push_back(TTextRun{
            FItems.size() - 1,
            std::make_shared<const TSampleTexts>(TSampleTexts{Event.Target, Event.IPAddress})});
    }
    return (*this)[0];
}

void TPingSamples::SetFrontResult(bool Success, TPingStatus Status) {
    if (FItems.empty()) {
        return;
    }
    FRevision.Bump();
    TPacked& P = FItems.front();
    P.Word = Pack(static_cast<std::int32_t>(P.Word) >> 9, Success, Status);
    RecomputeNewestSummaries();
}

void TPingSamples::Clear() {
    FRevision.Bump();
    // Swapping with empty containers hands the memory back, which clear() does not promise.
    std::deque<TPacked>().swap(FItems);
    std::vector<TTextRun>().swap(FRuns);
    std::vector<std::size_t>().swap(FGaps);
    for (auto& Level : FLevels) {
        std::vector<TSampleRun>().swap(Level);
    }
    FOrdered = true;
}

std::size_t TPingSamples::RemoveIf(const std::function<bool(const TPingEventObj&)>& Remove) {
    // Oldest first, so that the kept samples' positions and their text runs come out in order.
    std::deque<TPacked> Kept;
    std::vector<TTextRun> Runs;
    std::vector<std::size_t> Gaps;
    std::size_t RunIndex = 0;
    for (std::size_t Position = 0; Position < FItems.size(); ++Position) {
        const std::size_t Index = FItems.size() - 1 - Position;
        while (RunIndex + 1 < FRuns.size() && FRuns[RunIndex + 1].From <= Position) {
            ++RunIndex;
        }
        if (Remove((*this)[Index])) {
            continue;
        }
        if (RunIndex < FRuns.size() &&
            (Runs.empty() || Runs.back().Texts != FRuns[RunIndex].Texts)) {
            Runs.push_back(TTextRun{Kept.size(), FRuns[RunIndex].Texts});
        }
        if (AfterGapAt(Index)) {
            Gaps.push_back(Kept.size());
        }
        Kept.push_front(FItems[Index]);
    }
    const std::size_t Removed = FItems.size() - Kept.size();
    FItems.swap(Kept);
    FRuns.swap(Runs);
    FGaps.swap(Gaps);
    if (Removed > 0) {
        FRevision.Bump();
        RebuildSummaries();
    }
    return Removed;
}

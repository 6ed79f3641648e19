#include "uPingSamples.h"

#include <algorithm>
#include <cmath>

std::int64_t MillisecondsBetween(TDateTime A, TDateTime B) {
    const double Ms = std::fabs(A - B) * 86400000.0;
    // Beyond any real span (and NaN): treat as infinitely far apart instead of converting an
    // out-of-range value.
    if (!(Ms < 9.0e18)) {
        return INT64_MAX;
    }
    return std::llround(Ms);
}

namespace {
const TSampleTexts& EmptyTexts() {
    static const TSampleTexts Empty;
    return Empty;
}
} // namespace

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

TPingEventObj& TPingSamples::PushFront(const TPingEvent& Event) {
    TPingEventObj S;
    S.Time = Event.Time;
    S.RoundTrip = Event.RoundTrip;
    S.Status = Event.Status;
    S.Success = Event.Success;
    // A monitor's results almost always repeat the texts of the one before.
    if (!FItems.empty() && FItems.front().Texts && FItems.front().Texts->Target == Event.Target &&
        FItems.front().Texts->IPAddress == Event.IPAddress) {
        S.Texts = FItems.front().Texts;
    } else {
        S.Texts = std::make_shared<const TSampleTexts>(TSampleTexts{Event.Target, Event.IPAddress});
    }
    FItems.push_front(std::move(S));
    return FItems.front();
}

void TPingSamples::Clear() {
    // Swapping with an empty deque hands the memory back, which clear() does not promise.
    std::deque<TPingEventObj>().swap(FItems);
}

std::size_t TPingSamples::RemoveIf(const std::function<bool(const TPingEventObj&)>& Remove) {
    const auto Kept = std::remove_if(FItems.begin(), FItems.end(), Remove);
    const auto Removed = static_cast<std::size_t>(FItems.end() - Kept);
    FItems.erase(Kept, FItems.end());
    return Removed;
}

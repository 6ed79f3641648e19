// The samples of one monitor, newest first (index 0 is the newest), kept compact: a monitor
// holds up to about eight hours of one-second results, so a sample stores its target and address
// texts once per run of equal texts instead of once per sample.
//
//   TPingSamples samples;
//   samples.PushFront(event);            // becomes samples[0]
//   if (samples[0].Success) use(samples[0].RoundTrip);
//   TPingEvent e = samples[0].Event();   // full copy with its texts
#pragma once

#include "zsClock.h"
#include "zsPingLoopThread.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

// Absolute difference of two date-times in whole milliseconds. Date-times are fractions of days,
// so the difference is rounded to the millisecond before any truncation to seconds or minutes:
// 482 minutes apart must not come out as 481 for want of the last bit.
std::int64_t MillisecondsBetween(TDateTime A, TDateTime B);

struct TSampleTexts {
    std::string Target;
    std::string IPAddress;
};

// One sample: the fields of a TPingEvent, with the texts shared between samples.
struct TPingEventObj {
    TDateTime Time = 0;
    std::shared_ptr<const TSampleTexts> Texts;
    std::int32_t RoundTrip = -1;
    TPingStatus Status = 0;
    bool Success = false;

    const std::string& Target() const;
    const std::string& IPAddress() const;
    TPingEvent Event() const;
};

class TPingSamples {
public:
    std::size_t size() const { return FItems.size(); }
    bool empty() const { return FItems.empty(); }
    const TPingEventObj& operator[](std::size_t Index) const { return FItems[Index]; }
    TPingEventObj& operator[](std::size_t Index) { return FItems[Index]; }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

    // Inserts a sample holding a copy of Event at the front and returns it.
    TPingEventObj& PushFront(const TPingEvent& Event);
    void Clear();
    // Removes every sample for which Remove is true, keeping the order of the others.
    std::size_t RemoveIf(const std::function<bool(const TPingEventObj&)>& Remove);

private:
    std::deque<TPingEventObj> FItems;
};

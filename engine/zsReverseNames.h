// Host names of addresses, looked up in the background so that nobody waits for a slow name
// server: the first ask starts the lookup and returns "", later asks return the name once found.
//
//   TReverseNames names;                          // getnameinfo, at most 4 lookups at a time
//   names.SetOnFound([] { /* on a lookup thread */ });
//   std::string n = names.Name(address);          // "" while unknown or when it has none
//
// Destruction returns at once: lookups still under way finish on their own threads and their
// results are dropped. Names come from the system's resolver (the hosts file, then DNS), so a
// test hands in a lookup of its own wherever an address could lead to a query on the network.
#pragma once

#include "zsPathTrace.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class TReverseNames {
public:
    using TLookup = std::function<std::string(const TPathAddress& Address)>;

    explicit TReverseNames(TLookup Lookup = nullptr, int MaxParallel = 4);
    ~TReverseNames();
    TReverseNames(const TReverseNames&) = delete;
    TReverseNames& operator=(const TReverseNames&) = delete;

    // Called on a lookup thread after each lookup that found a name; set before the first Name.
    void SetOnFound(std::function<void()> OnFound);
    std::string Name(const TPathAddress& Address);
    // Waits up to Timeout for every lookup asked for so far; false when some are still going.
    bool WaitAll(std::chrono::milliseconds Timeout);

    // The system's lookup: getnameinfo with a name required.
    static std::string SystemLookup(const TPathAddress& Address);

    // Shared with the lookup threads, which may outlive the object.
    struct TState;

private:
    std::shared_ptr<TState> FState;
};

#include "zsReverseNames.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

struct TReverseNames::TState {
    TLookup Lookup;
    int MaxParallel = 4;
    std::mutex Lock;
    std::condition_variable Idle;
    std::function<void()> OnFound;
    std::map<std::string, std::optional<std::string>> Names; // by address text
    std::deque<TPathAddress> Queue;
    int Running = 0;
    bool Closed = false;
};

namespace {

void Work(std::shared_ptr<TReverseNames::TState> State);

} // namespace

TReverseNames::TReverseNames(TLookup Lookup, int MaxParallel) : FState(std::make_shared<TState>()) {
    FState->Lookup = Lookup ? std::move(Lookup) : &TReverseNames::SystemLookup;
    FState->MaxParallel = std::max(1, MaxParallel);
}

TReverseNames::~TReverseNames() {
    std::lock_guard Guard(FState->Lock);
    FState->Closed = true;
    FState->OnFound = nullptr;
    FState->Queue.clear();
}

void TReverseNames::SetOnFound(std::function<void()> OnFound) {
    std::lock_guard Guard(FState->Lock);
    FState->OnFound = std::move(OnFound);
}

std::string TReverseNames::Name(const TPathAddress& Address) {
    if (!Address)
        return {};
    const std::string Key = Address.Text();
    std::lock_guard Guard(FState->Lock);
    const auto It = FState->Names.find(Key);
    if (It != FState->Names.end())
        return It->second.value_or(std::string());
    FState->Names.emplace(Key, std::nullopt);
    FState->Queue.push_back(Address);
    if (FState->Running < FState->MaxParallel) {
        try {
            std::thread(Work, FState).detach();
            ++FState->Running;
        } catch (const std::system_error&) {
            // Out of threads: a running lookup takes the queue on.
            if (FState->Running == 0)
                FState->Queue.clear();
        }
    }
    return {};
}

bool TReverseNames::WaitAll(std::chrono::milliseconds Timeout) {
    std::unique_lock Guard(FState->Lock);
    return FState->Idle.wait_for(Guard, Timeout,
                                 [&] { return FState->Running == 0 && FState->Queue.empty(); });
}

std::string TReverseNames::SystemLookup(const TPathAddress& Address) {
    sockaddr_storage Storage{};
    socklen_t Length = 0;
    if (Address.Family == AF_INET) {
        auto* In = reinterpret_cast<sockaddr_in*>(&Storage);
        In->sin_family = AF_INET;
        std::memcpy(&In->sin_addr, Address.Bytes.data(), 4);
        Length = sizeof(sockaddr_in);
    } else if (Address.Family == AF_INET6) {
        auto* In6 = reinterpret_cast<sockaddr_in6*>(&Storage);
        In6->sin6_family = AF_INET6;
        std::memcpy(&In6->sin6_addr, Address.Bytes.data(), 16);
        In6->sin6_scope_id = Address.ScopeId;
        Length = sizeof(sockaddr_in6);
    } else {
        return {};
    }
    char Host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&Storage), Length, Host, sizeof Host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return {};
    return Host;
}

namespace {

void Work(std::shared_ptr<TReverseNames::TState> State) {
    std::unique_lock Guard(State->Lock);
    while (!State->Queue.empty() && !State->Closed) {
        const TPathAddress Address = State->Queue.front();
        State->Queue.pop_front();
        Guard.unlock();
        const std::string Name = State->Lookup(Address);
        Guard.lock();
        State->Names[Address.Text()] = Name;
        if (!Name.empty() && State->OnFound)
            State->OnFound();
    }
    --State->Running;
    State->Idle.notify_all();
}

} // namespace

#include "ping_funcs.h"

#include "icmp_dll.h"
#include "zsNetworkConversions.h"
#include "zsPingErrors.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

const char* const NotResolvedText = "IP Address could not be resolved";

// Names no resolver can answer from local data. Handing them on could put a query for garbage
// on the network, so they fail here.
bool CannotBeAHostName(const std::string& Target) {
    // 253 characters of labels and dots, plus the dot of a fully qualified name.
    constexpr std::size_t LongestName = 254;
    return Target.empty() || Target.size() > LongestName || std::ranges::any_of(Target, [](char C) {
               const auto U = static_cast<unsigned char>(C);
               return U < 0x20 || U == 0x7F;
           });
}

// Only digits, hex digits, the hex prefix and dots: text that inet_aton may take as a whole.
bool HasNumericForm(const std::string& Target) {
    return std::ranges::all_of(Target, [](char C) {
        return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F') ||
               C == 'x' || C == 'X' || C == '.';
    });
}

std::string DottedText(std::uint32_t NetworkOrder) {
    const auto* Bytes = reinterpret_cast<const unsigned char*>(&NetworkOrder);
    std::string Text;
    for (int I = 0; I < 4; ++I)
        Text += std::to_string(unsigned(Bytes[I])) + ".";
    Text.pop_back();
    return Text;
}

std::uint32_t ReadField(const TReplyBuffer& Reply, std::size_t Offset) {
    std::uint32_t Value;
    std::memcpy(&Value, Reply.data() + Offset, sizeof Value);
    return Value;
}

struct THandleGuard {
    TIcmpHandle Handle;
    ~THandleGuard() { IcmpCloseHandle(Handle); }
};

} // namespace

std::uint32_t ReplyStatus(const TReplyBuffer& Reply) {
    return ReadField(Reply, offsetof(ICMP_ECHO_REPLY, Status));
}

std::uint32_t ReplyRoundTripTime(const TReplyBuffer& Reply) {
    return ReadField(Reply, offsetof(ICMP_ECHO_REPLY, RoundTripTime));
}

bool ResolveHost(const std::string& Target, std::string& Address, std::string& ErrorText) {
    Address.clear();
    try {
        if (CannotBeAHostName(Target)) {
            ErrorText = NotResolvedText;
            return false;
        }
        // An address in one of the numbers-and-dots forms is what getaddrinfo would return
        // without consulting anyone; reading it here spares every request to a literal address
        // the resolver's deep stack.
        in_addr Numeric{};
        if (HasNumericForm(Target) && ::inet_aton(Target.c_str(), &Numeric) != 0) {
            Address = DottedText(Numeric.s_addr);
            return true;
        }
        addrinfo Hints{};
        Hints.ai_family = AF_INET;
        Hints.ai_socktype = SOCK_DGRAM; // one entry per address instead of one per socket type
        addrinfo* Found = nullptr;
        if (::getaddrinfo(Target.c_str(), nullptr, &Hints, &Found) != 0 || !Found) {
            ErrorText = NotResolvedText;
            return false;
        }
        const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> Owner(Found, ::freeaddrinfo);
        const auto* First = reinterpret_cast<const sockaddr_in*>(Found->ai_addr);
        Address = DottedText(First->sin_addr.s_addr);
        return true;
    } catch (...) {
        Address.clear();
        ErrorText = "Not Resolved";
        return false;
    }
}

void SendEcho(const std::string& Target, const std::string& Payload, TReplyBuffer& Reply,
              std::int32_t TimeOut, std::string& Address) {
    std::string Resolved;
    std::string ErrorText;
    if (!ResolveHost(Target, Resolved, ErrorText)) {
        Address.clear();
        throw EPingError(ErrorText);
    }
    const std::uint32_t Destination = AddrFromText(Resolved);
    if (Destination == 0xFFFFFFFFu)
        throw EPingError("Function call inet_addr failed.  The IP address is probably invalid.");
    Address = Resolved;
    const TIcmpHandle Handle = IcmpCreateFile();
    if (Handle == INVALID_HANDLE_VALUE)
        throw EPingError("Function call IcmpCreateFile failed.");
    THandleGuard Guard{Handle};
    // A negative timeout would become a wait of weeks in the service's unsigned milliseconds.
    IcmpSendEcho(Handle, Destination, Payload.data(), std::uint32_t(Payload.size()), nullptr,
                 Reply.data(), std::uint32_t(Reply.size()), std::uint32_t(std::max(TimeOut, 0)));
}

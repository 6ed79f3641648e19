#include "ping_funcs.h"

#include "icmp_dll.h"
#include "zsNetworkConversions.h"
#include "zsPingErrors.h"
#include "zsPingStatus.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
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

// An IPv6 literal, bracketed or not, with or without a zone ("fe80::1%eth0"), read without
// asking anyone. The zone must name an interface of this host (or be its number).
bool ParseIpv6Literal(const std::string& Target, sockaddr_in6& Address) {
    std::string Text = Target;
    if (Text.size() >= 2 && Text.front() == '[' && Text.back() == ']')
        Text = Text.substr(1, Text.size() - 2);
    if (Text.find(':') == std::string::npos)
        return false;
    addrinfo Hints{};
    Hints.ai_family = AF_INET6;
    Hints.ai_socktype = SOCK_DGRAM;
    Hints.ai_flags = AI_NUMERICHOST;
    addrinfo* Found = nullptr;
    if (::getaddrinfo(Text.c_str(), nullptr, &Hints, &Found) != 0 || !Found)
        return false;
    std::memcpy(&Address, Found->ai_addr, sizeof Address);
    ::freeaddrinfo(Found);
    return true;
}

// The address as text: compressed hex groups, and the zone by its interface's name (or number
// when the interface is gone).
std::string Ipv6Text(const sockaddr_in6& Address) {
    char Text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &Address.sin6_addr, Text, sizeof Text);
    std::string Result = Text;
    if (Address.sin6_scope_id != 0) {
        char Name[IF_NAMESIZE] = {};
        Result += "%";
        Result += ::if_indextoname(Address.sin6_scope_id, Name)
                      ? std::string(Name)
                      : std::to_string(Address.sin6_scope_id);
    }
    return Result;
}

struct THandleGuard {
    TIcmpHandle Handle;
    ~THandleGuard() { IcmpCloseHandle(Handle); }
};

// The IPv6 request, its outcome written as the IPv4 record the callers read (Status and
// RoundTripTime; the replying address is the resolved one).
void SendEcho6(const sockaddr_in6& Destination, const std::string& Payload, TReplyBuffer& Reply,
               std::int32_t TimeOut) {
    const TIcmpHandle Handle = Icmp6CreateFile();
    if (Handle == INVALID_HANDLE_VALUE)
        throw EPingError("Function call IcmpCreateFile failed.");
    THandleGuard Guard{Handle};
    std::vector<std::uint8_t> Buffer(sizeof(ICMPV6_ECHO_REPLY) + Payload.size() + 8);
    Icmp6SendEcho2(Handle, Destination, Payload.data(), std::uint32_t(Payload.size()), nullptr,
                   Buffer.data(), std::uint32_t(Buffer.size()),
                   std::uint32_t(std::max(TimeOut, 0)));
    ICMPV6_ECHO_REPLY Record6;
    std::memcpy(&Record6, Buffer.data(), sizeof Record6);
    ICMP_ECHO_REPLY Record{};
    Record.Status = Record6.Status;
    Record.RoundTripTime = Record6.RoundTripTime;
    const std::size_t Echoed = Record6.Status == IP_SUCCESS ? Payload.size() : 0;
    if (Echoed > Reply.size() - sizeof Record) {
        Record.Status = IP_BUF_TOO_SMALL; // as the IPv4 path with the same buffer
    } else {
        Record.DataSize = std::uint16_t(Echoed);
        Record.Data = sizeof Record;
        std::memcpy(Reply.data() + sizeof Record, Payload.data(), Echoed);
    }
    std::memcpy(Reply.data(), &Record, sizeof Record);
}

} // namespace

std::uint32_t ReplyStatus(const TReplyBuffer& Reply) {
    return ReadField(Reply, offsetof(ICMP_ECHO_REPLY, Status));
}

std::uint32_t ReplyRoundTripTime(const TReplyBuffer& Reply) {
    return ReadField(Reply, offsetof(ICMP_ECHO_REPLY, RoundTripTime));
}

bool ReadIpv4Literal(const std::string& Target, std::string& Address, std::uint32_t& Destination) {
    in_addr Numeric{};
    if (CannotBeAHostName(Target) || !HasNumericForm(Target) ||
        ::inet_aton(Target.c_str(), &Numeric) == 0 || Numeric.s_addr == 0xFFFFFFFFu)
        return false;
    Address = DottedText(Numeric.s_addr);
    Destination = Numeric.s_addr;
    return true;
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
        sockaddr_in6 Ipv6{};
        if (ParseIpv6Literal(Target, Ipv6)) {
            Address = Ipv6Text(Ipv6);
            return true;
        }
        // Text with a colon or bracket that is no IPv6 literal names no host either.
        if (Target.find_first_of(":[]%") != std::string::npos) {
            ErrorText = NotResolvedText;
            return false;
        }
        // A name: its IPv4 address when it has one, so that every name pings as it always
        // did, else its IPv6 address.
        addrinfo Hints{};
        Hints.ai_family = AF_INET;
        Hints.ai_socktype = SOCK_DGRAM; // one entry per address instead of one per socket type
        addrinfo* Found = nullptr;
        if (::getaddrinfo(Target.c_str(), nullptr, &Hints, &Found) == 0 && Found) {
            const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> Owner(Found, ::freeaddrinfo);
            const auto* First = reinterpret_cast<const sockaddr_in*>(Found->ai_addr);
            Address = DottedText(First->sin_addr.s_addr);
            return true;
        }
        Hints.ai_family = AF_INET6;
        Found = nullptr;
        if (::getaddrinfo(Target.c_str(), nullptr, &Hints, &Found) == 0 && Found) {
            const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> Owner(Found, ::freeaddrinfo);
            Address = Ipv6Text(*reinterpret_cast<const sockaddr_in6*>(Found->ai_addr));
            return true;
        }
        ErrorText = NotResolvedText;
        return false;
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
    sockaddr_in6 Ipv6{};
    if (ParseIpv6Literal(Resolved, Ipv6)) {
        Address = Resolved;
        SendEcho6(Ipv6, Payload, Reply, TimeOut);
        return;
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

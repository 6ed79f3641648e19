// The messages between Vantorel and its ICMP helper (vantorel-icmp), which holds the raw ICMP
// socket of one address family and sends echo requests it builds itself. Both ends share one
// machine, so numbers are in host byte order; addresses are in network byte order, as they
// travel. One message per datagram of a SOCK_SEQPACKET socket pair:
//
//   request (Vantorel -> helper), 40 bytes and the payload:
//     0 version (1)   1 kind (1: echo)   2 family (4 or 6)   3 hop limit (1..255)
//     4 identifier (16)   6 sequence (16)   8 time-out in ms (32)   12 payload size (32)
//     16 scope id (32, IPv6 link-local only)   20 address (16 bytes; IPv4 in the first 4)
//     36 reserved (32, zero)   40 payload
//   response (helper -> Vantorel), 48 bytes and the packet:
//     0 version (1)   1 kind (THelperResponse::TKind)   2 family   3 reserved (zero)
//     4 identifier   6 sequence   8 errno (32)   12 scope id (32)
//     16 kernel receive time, CLOCK_REALTIME ns (64, 0 when unknown)   24 source address (16)
//     40 packet size (32)   44 reserved (32)   48 the packet as the raw socket read it
//
// The helper ends the connection at the first request ParseHelperRequest refuses; it answers
// only what answers a request it sent and is still waiting (THelperPending).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

constexpr std::uint8_t HelperProtocolVersion = 1;
constexpr std::size_t HelperRequestHeaderSize = 40;
constexpr std::size_t HelperResponseHeaderSize = 48;
// The largest echo data of each family: 65535 less the IPv4 and ICMP headers, and 65535 less
// the ICMPv6 header (IPv6's payload length does not count its own header).
constexpr std::size_t HelperMaxPayload4 = 65507;
constexpr std::size_t HelperMaxPayload6 = 65527;
constexpr std::size_t HelperMaxRequestSize = HelperRequestHeaderSize + HelperMaxPayload6;
// Room for the largest response: a whole IPv4 packet (its header included) or ICMPv6 message.
constexpr std::size_t HelperMaxResponseSize = HelperResponseHeaderSize + 65535;
// The hop limit an ordinary echo request goes with (Linux's default TTL).
constexpr std::uint8_t HelperDefaultHopLimit = 64;

struct THelperRequest {
    int Family = 4; // 4 or 6
    std::uint8_t HopLimit = HelperDefaultHopLimit;
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
    std::uint32_t TimeoutMs = 0;
    std::uint32_t ScopeId = 0;
    std::array<std::uint8_t, 16> Address{}; // IPv4: the first 4 bytes, the rest zero
    std::span<const std::uint8_t> Payload;
};

// Whether an echo request may go to Address: never to the unspecified address, a broadcast
// (255.255.255.255; the kernel refuses subnet broadcasts to a socket without SO_BROADCAST) or
// a multicast group, nor to an IPv4-mapped IPv6 address.
bool HelperDestinationAllowed(int Family, const std::array<std::uint8_t, 16>& Address);

// The request in Message, or nullopt when it is not one the helper of Family serves: a wrong
// length, version, kind or family, a hop limit of 0, a payload over the family's limit or of
// another size than the message carries, reserved bytes set, a destination refused above, or a
// scope id on an IPv4 or a non-link-local IPv6 address. Payload points into Message.
std::optional<THelperRequest> ParseHelperRequest(std::span<const std::uint8_t> Message, int Family);
std::vector<std::uint8_t> BuildHelperRequest(const THelperRequest& Request);

struct THelperResponse {
    enum TKind : std::uint8_t {
        Ready = 1,       // the helper holds its socket and no capability: requests may come
        StartFailed = 2, // it could not open its socket (Errno says why) and ends
        Answer = 3,      // Packet answers the request (Identifier, Sequence)
        SendFailed = 4,  // the kernel refused to send that request (Errno)
    };
    TKind Kind = Ready;
    int Family = 4;
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
    std::int32_t Errno = 0;
    std::uint32_t ScopeId = 0;
    std::int64_t ReceivedRealNs = 0;
    std::array<std::uint8_t, 16> Source{};
    std::span<const std::uint8_t> Packet;
};

std::optional<THelperResponse> ParseHelperResponse(std::span<const std::uint8_t> Message);
std::vector<std::uint8_t> BuildHelperResponse(const THelperResponse& Response);

// The echo request the helper sends for Request, ICMP header and payload: type 8 (IPv4, with
// its checksum) or 128 (IPv6: the kernel fills in the checksum), code 0.
std::vector<std::uint8_t> BuildHelperEchoPacket(const THelperRequest& Request);

// Which request a packet from the raw socket answers: an echo reply, or an ICMP error quoting
// one of the helper's echo requests. About is the address the request went to (a reply's
// source, an error's quoted destination). IPv4 packets start with the IP header and their
// checksums are checked; ICMPv6 ones start at the ICMPv6 header (From is their sender).
struct THelperAnswerKey {
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
    std::array<std::uint8_t, 16> About{};
};
std::optional<THelperAnswerKey> HelperAnswerKey(int Family, std::span<const std::uint8_t> Packet,
                                                const std::array<std::uint8_t, 16>& From);

// The requests the helper has sent and not yet seen answered, by (identifier, sequence), each
// with its destination and the time (ms of a monotonic clock) after which an answer is no longer
// passed on. At most Capacity at once; an expired one makes room.
class THelperPending {
public:
    explicit THelperPending(std::size_t Capacity) : FCapacity(Capacity) {}
    // False when the table is full of requests still waiting. A request under a key in use
    // replaces the earlier one.
    bool Add(std::uint16_t Identifier, std::uint16_t Sequence,
             const std::array<std::uint8_t, 16>& Destination, std::int64_t ExpiresMs,
             std::int64_t NowMs);
    // Whether Key answers a waiting request (then it waits no more).
    bool Take(const THelperAnswerKey& Key, std::int64_t NowMs);
    void Remove(std::uint16_t Identifier, std::uint16_t Sequence);
    std::size_t Size() const { return FEntries.size(); }

private:
    struct TEntry {
        std::array<std::uint8_t, 16> Destination;
        std::int64_t ExpiresMs;
    };
    static std::uint32_t Key(std::uint16_t Identifier, std::uint16_t Sequence) {
        return (std::uint32_t(Identifier) << 16) | Sequence;
    }
    void DropExpired(std::int64_t NowMs);
    std::size_t FCapacity;
    std::unordered_map<std::uint32_t, TEntry> FEntries;
};

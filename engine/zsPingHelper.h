// The packet side of the echo service, kept free of sockets, threads and clocks so that crafted
// and fuzzed packets can be fed straight in:
//
//   TIcmpMessage m;
//   if (ParseIcmpPacket(bytes, /*WithIpHeader=*/true, /*VerifyChecksum=*/true, m)) {
//       TEchoMatcher::TRequest* done = matcher.Deliver(m);   // null: foreign, duplicate, stray
//   }
//
// TSequencePool hands out the sequence numbers of one identifier and keeps a used number out of
// circulation until late replies to it can no longer arrive; like the matcher it takes "now" as
// a parameter instead of reading a clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

constexpr std::uint8_t ICMP_TYPE_ECHO_REPLY = 0;
constexpr std::uint8_t ICMP_TYPE_DEST_UNREACH = 3;
constexpr std::uint8_t ICMP_TYPE_SOURCE_QUENCH = 4;
constexpr std::uint8_t ICMP_TYPE_REDIRECT = 5;
constexpr std::uint8_t ICMP_TYPE_ECHO_REQUEST = 8;
constexpr std::uint8_t ICMP_TYPE_TIME_EXCEEDED = 11;
constexpr std::uint8_t ICMP_TYPE_PARAM_PROBLEM = 12;

constexpr std::size_t ICMP_HEADER_SIZE = 8;
// The largest echo data an IPv4 packet can carry: 65535 - 20 (IP header) - 8 (ICMP header).
constexpr std::size_t ICMP_MAX_ECHO_DATA = 65507;

// RFC 1071 Internet checksum, already complemented; an odd last byte is padded with zero.
std::uint16_t IcmpChecksum(std::span<const std::uint8_t> Bytes);

// An echo request header (type 8) followed by Payload, checksum filled in.
std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t Identifier, std::uint16_t Sequence,
                                           std::span<const std::uint8_t> Payload);

// What one received packet says about one of our echo requests. Addresses are in network byte
// order, as they travel.
struct TIcmpMessage {
    enum TKind { EchoReply, Error };
    TKind Kind = EchoReply;
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
    std::uint32_t Source = 0;      // the replying host, or the host that reported the error
    std::uint32_t Destination = 0; // errors: where the quoted request was going (0 if unknown)
    std::uint8_t Type = 0;         // errors: ICMP type and code of the error message
    std::uint8_t Code = 0;
    std::uint8_t Ttl = 0; // of the received packet, 0 when unknown
    std::uint8_t Tos = 0;
    std::span<const std::uint8_t> Data; // replies: the echoed data (points into the packet)
};

// Parses a packet from an ICMP socket. WithIpHeader: raw sockets deliver the IPv4 header first;
// datagram sockets start at the ICMP header and give the source separately in Source. Returns
// false for anything that is neither an echo reply nor an error quoting one of our echo
// requests: truncated, malformed, a bad checksum (when VerifyChecksum), other ICMP types.
bool ParseIcmpPacket(std::span<const std::uint8_t> Packet, bool WithIpHeader, bool VerifyChecksum,
                     std::uint32_t Source, TIcmpMessage& Message);

// An error a datagram socket queued (IP_RECVERR): Quoted is the start of our own request as
// the kernel kept it, Destination where it was going, Offender the reporting host.
bool ParseQueuedIcmpError(std::span<const std::uint8_t> Quoted, std::uint32_t Destination,
                          std::uint8_t Type, std::uint8_t Code, std::uint32_t Offender,
                          TIcmpMessage& Message);

// The IP_STATUS an ICMP error stands for, or nullopt for messages that do not end a request
// (redirects and the like: keep waiting).
std::optional<std::int32_t> IPStatusFromIcmpError(std::uint8_t Type, std::uint8_t Code);

// The IP_STATUS for a failed sendto.
std::int32_t IPStatusFromSendErrno(int Errno);

// The requests waiting for an answer, keyed by (identifier, sequence). Deliver() checks that a
// message really answers the request it names (source, quoted destination, echoed data) and
// completes it once; later copies find nothing and are ignored.
class TEchoMatcher {
public:
    struct TRequest {
        std::uint32_t Destination = 0;
        std::span<const std::uint8_t> Payload; // owned by the caller while it waits
        // Filled by Deliver:
        bool Done = false;
        std::int32_t IPStatus = 0;
        std::uint32_t Source = 0;
        std::uint8_t Ttl = 0;
        std::uint8_t Tos = 0;
        std::size_t DataSize = 0;
    };

    // False when the key is already taken.
    bool Add(std::uint16_t Identifier, std::uint16_t Sequence, TRequest* Request);
    void Remove(std::uint16_t Identifier, std::uint16_t Sequence);
    // The request waiting under the key, which then waits no more; null when none does. For an
    // outcome that names its request without quoting it (a send the ICMP helper could not make).
    TRequest* Take(std::uint16_t Identifier, std::uint16_t Sequence);
    // The request Message completed, or null when it answers none.
    TRequest* Deliver(const TIcmpMessage& Message);
    std::size_t Size() const { return FPending.size(); }
    // Hands every waiting request to F and forgets them all.
    template <class Fn>
    void Clear(Fn&& F) {
        for (auto& Entry : FPending)
            F(Entry.second);
        FPending.clear();
    }

private:
    static std::uint32_t Key(std::uint16_t Identifier, std::uint16_t Sequence) {
        return (std::uint32_t(Identifier) << 16) | Sequence;
    }
    std::unordered_map<std::uint32_t, TRequest*> FPending;
};

// The 65,536 sequence numbers of one identifier. Times are milliseconds of any monotonic clock.
class TSequencePool {
public:
    TSequencePool();
    // A number that is neither in flight nor quarantined, or nullopt when all are.
    std::optional<std::uint16_t> Acquire(std::int64_t NowMs);
    // The request using Sequence is over; the number may return at ReusableAtMs.
    void Release(std::uint16_t Sequence, std::int64_t ReusableAtMs);

private:
    static constexpr std::int64_t InFlight = INT64_MAX;
    std::vector<std::int64_t> FReusableAt;
    std::uint16_t FNext = 0;
    std::int64_t FFullUntil = 0; // after a fruitless scan, no number frees up before this
};

#include "zsIcmpHelperProtocol.h"

#include "zsPingHelper.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint8_t KindEcho = 1;
constexpr std::uint8_t Icmp6EchoRequest = 128;
constexpr std::uint8_t Icmp6EchoReply = 129;
constexpr std::size_t Ip6HeaderSize = 40;

template <class T>
T Get(std::span<const std::uint8_t> B, std::size_t At) {
    T Value;
    std::memcpy(&Value, B.data() + At, sizeof Value);
    return Value;
}

template <class T>
void Put(std::vector<std::uint8_t>& B, std::size_t At, T Value) {
    std::memcpy(B.data() + At, &Value, sizeof Value);
}

std::uint16_t Big16(const std::uint8_t* P) {
    return std::uint16_t((P[0] << 8) | P[1]);
}

bool AllZero(std::span<const std::uint8_t> B) {
    return std::ranges::all_of(B, [](std::uint8_t Byte) { return Byte == 0; });
}

bool IsLinkLocal6(const std::array<std::uint8_t, 16>& A) {
    return A[0] == 0xFE && (A[1] & 0xC0) == 0x80;
}

} // namespace

bool HelperDestinationAllowed(int Family, const std::array<std::uint8_t, 16>& A) {
    if (Family == 4) {
        const std::span<const std::uint8_t> V4(A.data(), 4);
        if (!AllZero(std::span(A).subspan(4)) || AllZero(V4))
            return false;
        if (std::ranges::all_of(V4, [](std::uint8_t Byte) { return Byte == 0xFF; }))
            return false;
        return (A[0] & 0xF0) != 0xE0; // 224.0.0.0/4: multicast
    }
    if (Family != 6 || AllZero(A) || A[0] == 0xFF)
        return false;
    // ::ffff:a.b.c.d would be an IPv4 destination, which an ICMPv6 socket cannot reach.
    const bool Mapped = AllZero(std::span(A).first(10)) && A[10] == 0xFF && A[11] == 0xFF;
    return !Mapped;
}

std::optional<THelperRequest> ParseHelperRequest(std::span<const std::uint8_t> Message,
                                                 int Family) {
    if (Message.size() < HelperRequestHeaderSize || Message.size() > HelperMaxRequestSize)
        return std::nullopt;
    if (Message[0] != HelperProtocolVersion || Message[1] != KindEcho)
        return std::nullopt;
    THelperRequest Request;
    Request.Family = Message[2];
    if (Request.Family != Family || (Family != 4 && Family != 6))
        return std::nullopt;
    Request.HopLimit = Message[3];
    if (Request.HopLimit == 0)
        return std::nullopt;
    Request.Identifier = Get<std::uint16_t>(Message, 4);
    Request.Sequence = Get<std::uint16_t>(Message, 6);
    Request.TimeoutMs = Get<std::uint32_t>(Message, 8);
    const std::uint32_t PayloadSize = Get<std::uint32_t>(Message, 12);
    Request.ScopeId = Get<std::uint32_t>(Message, 16);
    std::memcpy(Request.Address.data(), Message.data() + 20, 16);
    if (Get<std::uint32_t>(Message, 36) != 0)
        return std::nullopt;
    const std::size_t MaxPayload = Family == 4 ? HelperMaxPayload4 : HelperMaxPayload6;
    if (PayloadSize > MaxPayload || Message.size() - HelperRequestHeaderSize != PayloadSize)
        return std::nullopt;
    if (!HelperDestinationAllowed(Family, Request.Address))
        return std::nullopt;
    if (Request.ScopeId != 0 && (Family == 4 || !IsLinkLocal6(Request.Address)))
        return std::nullopt;
    Request.Payload = Message.subspan(HelperRequestHeaderSize);
    return Request;
}

std::vector<std::uint8_t> BuildHelperRequest(const THelperRequest& Request) {
    std::vector<std::uint8_t> B(HelperRequestHeaderSize + Request.Payload.size());
    B[0] = HelperProtocolVersion;
    B[1] = KindEcho;
    B[2] = std::uint8_t(Request.Family);
    B[3] = Request.HopLimit;
    Put(B, 4, Request.Identifier);
    Put(B, 6, Request.Sequence);
    Put(B, 8, Request.TimeoutMs);
    Put(B, 12, std::uint32_t(Request.Payload.size()));
    Put(B, 16, Request.ScopeId);
    std::memcpy(B.data() + 20, Request.Address.data(), 16);
    std::ranges::copy(Request.Payload, B.begin() + HelperRequestHeaderSize);
    return B;
}

std::optional<THelperResponse> ParseHelperResponse(std::span<const std::uint8_t> Message) {
    if (Message.size() < HelperResponseHeaderSize || Message[0] != HelperProtocolVersion)
        return std::nullopt;
    THelperResponse Response;
    if (Message[1] < THelperResponse::Ready || Message[1] > THelperResponse::SendFailed)
        return std::nullopt;
    Response.Kind = THelperResponse::TKind(Message[1]);
    Response.Family = Message[2];
    Response.Identifier = Get<std::uint16_t>(Message, 4);
    Response.Sequence = Get<std::uint16_t>(Message, 6);
    Response.Errno = Get<std::int32_t>(Message, 8);
    Response.ScopeId = Get<std::uint32_t>(Message, 12);
    Response.ReceivedRealNs = Get<std::int64_t>(Message, 16);
    std::memcpy(Response.Source.data(), Message.data() + 24, 16);
    const std::uint32_t PacketSize = Get<std::uint32_t>(Message, 40);
    if (Message.size() - HelperResponseHeaderSize != PacketSize)
        return std::nullopt;
    Response.Packet = Message.subspan(HelperResponseHeaderSize);
    return Response;
}

std::vector<std::uint8_t> BuildHelperResponse(const THelperResponse& Response) {
    std::vector<std::uint8_t> B(HelperResponseHeaderSize + Response.Packet.size());
    B[0] = HelperProtocolVersion;
    B[1] = Response.Kind;
    B[2] = std::uint8_t(Response.Family);
    Put(B, 4, Response.Identifier);
    Put(B, 6, Response.Sequence);
    Put(B, 8, Response.Errno);
    Put(B, 12, Response.ScopeId);
    Put(B, 16, Response.ReceivedRealNs);
    std::memcpy(B.data() + 24, Response.Source.data(), 16);
    Put(B, 40, std::uint32_t(Response.Packet.size()));
    std::ranges::copy(Response.Packet, B.begin() + HelperResponseHeaderSize);
    return B;
}

std::vector<std::uint8_t> BuildHelperEchoPacket(const THelperRequest& Request) {
    if (Request.Family == 4)
        return BuildEchoRequest(Request.Identifier, Request.Sequence, Request.Payload);
    std::vector<std::uint8_t> Packet(ICMP_HEADER_SIZE + Request.Payload.size());
    Packet[0] = Icmp6EchoRequest;
    Packet[4] = std::uint8_t(Request.Identifier >> 8);
    Packet[5] = std::uint8_t(Request.Identifier);
    Packet[6] = std::uint8_t(Request.Sequence >> 8);
    Packet[7] = std::uint8_t(Request.Sequence);
    std::ranges::copy(Request.Payload, Packet.begin() + ICMP_HEADER_SIZE);
    return Packet;
}

std::optional<THelperAnswerKey> HelperAnswerKey(int Family, std::span<const std::uint8_t> Packet,
                                                const std::array<std::uint8_t, 16>& From) {
    THelperAnswerKey Key;
    if (Family == 4) {
        std::uint32_t Source;
        std::memcpy(&Source, From.data(), 4);
        TIcmpMessage Message;
        if (!ParseIcmpPacket(Packet, true, true, Source, Message))
            return std::nullopt;
        Key.Identifier = Message.Identifier;
        Key.Sequence = Message.Sequence;
        const std::uint32_t About =
            Message.Kind == TIcmpMessage::EchoReply ? Message.Source : Message.Destination;
        std::memcpy(Key.About.data(), &About, 4);
        return Key;
    }
    if (Family != 6 || Packet.size() < ICMP_HEADER_SIZE)
        return std::nullopt;
    const std::uint8_t* P = Packet.data();
    if (P[0] == Icmp6EchoReply && P[1] == 0) {
        Key.Identifier = Big16(P + 4);
        Key.Sequence = Big16(P + 6);
        Key.About = From;
        return Key;
    }
    // Destination unreachable, packet too big, time exceeded, parameter problem: the IPv6
    // header of our request follows, then its echo header.
    if (P[0] < 1 || P[0] > 4 || Packet.size() < ICMP_HEADER_SIZE + Ip6HeaderSize + ICMP_HEADER_SIZE)
        return std::nullopt;
    const std::uint8_t* Inner = P + ICMP_HEADER_SIZE;
    const std::uint8_t* InnerIcmp = Inner + Ip6HeaderSize;
    if ((Inner[0] >> 4) != 6 || Inner[6] != 58 || InnerIcmp[0] != Icmp6EchoRequest ||
        InnerIcmp[1] != 0)
        return std::nullopt;
    Key.Identifier = Big16(InnerIcmp + 4);
    Key.Sequence = Big16(InnerIcmp + 6);
    std::memcpy(Key.About.data(), Inner + 24, 16);
    return Key;
}

void THelperPending::DropExpired(std::int64_t NowMs) {
    std::erase_if(FEntries, [NowMs](const auto& Entry) { return Entry.second.ExpiresMs < NowMs; });
}

bool THelperPending::Add(std::uint16_t Identifier, std::uint16_t Sequence,
                         const std::array<std::uint8_t, 16>& Destination, std::int64_t ExpiresMs,
                         std::int64_t NowMs) {
    const std::uint32_t K = Key(Identifier, Sequence);
    if (FEntries.size() >= FCapacity && !FEntries.contains(K)) {
        DropExpired(NowMs);
        if (FEntries.size() >= FCapacity)
            return false;
    }
    FEntries[K] = TEntry{Destination, ExpiresMs};
    return true;
}

bool THelperPending::Take(const THelperAnswerKey& Answer, std::int64_t NowMs) {
    const auto It = FEntries.find(Key(Answer.Identifier, Answer.Sequence));
    if (It == FEntries.end())
        return false;
    if (It->second.ExpiresMs < NowMs) {
        FEntries.erase(It);
        return false;
    }
    if (It->second.Destination != Answer.About)
        return false;
    FEntries.erase(It);
    return true;
}

void THelperPending::Remove(std::uint16_t Identifier, std::uint16_t Sequence) {
    FEntries.erase(Key(Identifier, Sequence));
}

#include "zsPingHelper.h"

#include "zsPingStatus.h"

#include <algorithm>
#include <cerrno>

namespace {

std::uint16_t Get16(std::span<const std::uint8_t> B, std::size_t At) {
    return std::uint16_t((B[At] << 8) | B[At + 1]);
}

// Addresses stay in network byte order: the bytes are copied as they are.
std::uint32_t GetAddress(std::span<const std::uint8_t> B, std::size_t At) {
    std::uint32_t A = 0;
    auto* P = reinterpret_cast<std::uint8_t*>(&A);
    std::copy_n(B.begin() + At, 4, P);
    return A;
}

bool IsErrorType(std::uint8_t Type) {
    return Type == ICMP_TYPE_DEST_UNREACH || Type == ICMP_TYPE_SOURCE_QUENCH ||
           Type == ICMP_TYPE_REDIRECT || Type == ICMP_TYPE_TIME_EXCEEDED ||
           Type == ICMP_TYPE_PARAM_PROBLEM;
}

// The echo request an error quotes: its header must be one we could have sent.
bool ReadQuotedEcho(std::span<const std::uint8_t> Icmp, TIcmpMessage& Message) {
    if (Icmp.size() < ICMP_HEADER_SIZE || Icmp[0] != ICMP_TYPE_ECHO_REQUEST || Icmp[1] != 0)
        return false;
    Message.Identifier = Get16(Icmp, 4);
    Message.Sequence = Get16(Icmp, 6);
    return true;
}

// Checks an IPv4 header at the start of B and returns its length, or 0 when it is unusable.
std::size_t IpHeaderLength(std::span<const std::uint8_t> B) {
    if (B.size() < 20 || (B[0] >> 4) != 4)
        return 0;
    const std::size_t Length = std::size_t(B[0] & 0x0F) * 4;
    if (Length < 20 || Length > B.size() || B[9] != 1 /* ICMP */)
        return 0;
    return Length;
}

} // namespace

std::uint16_t IcmpChecksum(std::span<const std::uint8_t> Bytes) {
    std::uint32_t Sum = 0;
    std::size_t I = 0;
    for (; I + 1 < Bytes.size(); I += 2)
        Sum += std::uint32_t(Bytes[I] << 8 | Bytes[I + 1]);
    if (I < Bytes.size())
        Sum += std::uint32_t(Bytes[I]) << 8;
    while (Sum >> 16)
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    return std::uint16_t(~Sum);
}

std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t Identifier, std::uint16_t Sequence,
                                           std::span<const std::uint8_t> Payload) {
    std::vector<std::uint8_t> Packet(ICMP_HEADER_SIZE + Payload.size());
    Packet[0] = ICMP_TYPE_ECHO_REQUEST;
    Packet[4] = std::uint8_t(Identifier >> 8);
    Packet[5] = std::uint8_t(Identifier);
    Packet[6] = std::uint8_t(Sequence >> 8);
    Packet[7] = std::uint8_t(Sequence);
    std::copy(Payload.begin(), Payload.end(), Packet.begin() + ICMP_HEADER_SIZE);
    const std::uint16_t Sum = IcmpChecksum(Packet);
    Packet[2] = std::uint8_t(Sum >> 8);
    Packet[3] = std::uint8_t(Sum);
    return Packet;
}

bool ParseIcmpPacket(std::span<const std::uint8_t> Packet, bool WithIpHeader, bool VerifyChecksum,
                     std::uint32_t Source, TIcmpMessage& Message) {
    Message = TIcmpMessage{};
    Message.Source = Source;
    std::span<const std::uint8_t> Icmp = Packet;
    if (WithIpHeader) {
        const std::size_t HeaderLength = IpHeaderLength(Packet);
        if (HeaderLength == 0)
            return false;
        const std::size_t TotalLength = Get16(Packet, 2);
        // Bytes beyond the stated length are link padding; fewer mean a truncated packet.
        if (TotalLength < HeaderLength || TotalLength > Packet.size())
            return false;
        Message.Source = GetAddress(Packet, 12);
        Message.Tos = Packet[1];
        Message.Ttl = Packet[8];
        Icmp = Packet.subspan(HeaderLength, TotalLength - HeaderLength);
    }
    if (Icmp.size() < ICMP_HEADER_SIZE)
        return false;
    if (VerifyChecksum && IcmpChecksum(Icmp) != 0)
        return false;
    const std::uint8_t Type = Icmp[0];
    if (Type == ICMP_TYPE_ECHO_REPLY) {
        Message.Kind = TIcmpMessage::EchoReply;
        Message.Identifier = Get16(Icmp, 4);
        Message.Sequence = Get16(Icmp, 6);
        Message.Data = Icmp.subspan(ICMP_HEADER_SIZE);
        return true;
    }
    if (!IsErrorType(Type))
        return false;
    // Error: 8 bytes of ICMP header, then the offending packet from its IP header (options
    // included) followed by at least the 8 bytes of our echo header.
    const std::span<const std::uint8_t> Inner = Icmp.subspan(ICMP_HEADER_SIZE);
    const std::size_t InnerHeaderLength = IpHeaderLength(Inner);
    if (InnerHeaderLength == 0 || Inner.size() < InnerHeaderLength + ICMP_HEADER_SIZE)
        return false;
    Message.Kind = TIcmpMessage::Error;
    Message.Type = Type;
    Message.Code = Icmp[1];
    Message.Destination = GetAddress(Inner, 16);
    return ReadQuotedEcho(Inner.subspan(InnerHeaderLength), Message);
}

bool ParseQueuedIcmpError(std::span<const std::uint8_t> Quoted, std::uint32_t Destination,
                          std::uint8_t Type, std::uint8_t Code, std::uint32_t Offender,
                          TIcmpMessage& Message) {
    Message = TIcmpMessage{};
    Message.Kind = TIcmpMessage::Error;
    Message.Type = Type;
    Message.Code = Code;
    Message.Source = Offender;
    Message.Destination = Destination;
    return ReadQuotedEcho(Quoted, Message);
}

std::optional<std::int32_t> IPStatusFromIcmpError(std::uint8_t Type, std::uint8_t Code) {
    switch (Type) {
    case ICMP_TYPE_DEST_UNREACH:
        switch (Code) {
        case 0:  // network
        case 6:  // network unknown
        case 9:  // network administratively prohibited
        case 11: // network unreachable for TOS
            return IP_DEST_NET_UNREACHABLE;
        case 2:
            return IP_DEST_PROT_UNREACHABLE;
        case 3:
            return IP_DEST_PORT_UNREACHABLE;
        case 4:
            return IP_PACKET_TOO_BIG; // fragmentation needed
        case 5:
            return IP_BAD_ROUTE; // source route failed
        default:                 // host unreachable, unknown, prohibited, and codes defined later
            return IP_DEST_HOST_UNREACHABLE;
        }
    case ICMP_TYPE_TIME_EXCEEDED:
        return Code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case ICMP_TYPE_PARAM_PROBLEM:
        return IP_PARAM_PROBLEM;
    case ICMP_TYPE_SOURCE_QUENCH:
        return IP_SOURCE_QUENCH;
    default:
        return std::nullopt;
    }
}

std::int32_t IPStatusFromSendErrno(int Errno) {
    switch (Errno) {
    case ENETUNREACH:
        return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH:
        return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE:
        return IP_PACKET_TOO_BIG;
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
        return IP_NO_RESOURCES;
    default:
        return IP_GENERAL_FAILURE;
    }
}

bool TEchoMatcher::Add(std::uint16_t Identifier, std::uint16_t Sequence, TRequest* Request) {
    return FPending.emplace(Key(Identifier, Sequence), Request).second;
}

void TEchoMatcher::Remove(std::uint16_t Identifier, std::uint16_t Sequence) {
    FPending.erase(Key(Identifier, Sequence));
}

TEchoMatcher::TRequest* TEchoMatcher::Take(std::uint16_t Identifier, std::uint16_t Sequence) {
    const auto It = FPending.find(Key(Identifier, Sequence));
    if (It == FPending.end())
        return nullptr;
    TRequest* Request = It->second;
    FPending.erase(It);
    return Request;
}

TEchoMatcher::TRequest* TEchoMatcher::Deliver(const TIcmpMessage& Message) {
    const auto It = FPending.find(Key(Message.Identifier, Message.Sequence));
    if (It == FPending.end())
        return nullptr;
    TRequest* Request = It->second;
    if (Message.Kind == TIcmpMessage::EchoReply) {
        // A reply must come from the host we asked and carry our data back unchanged; anything
        // else is someone else's packet that happens to share identifier and sequence.
        if (Message.Source != Request->Destination ||
            !std::ranges::equal(Message.Data, Request->Payload))
            return nullptr;
        Request->IPStatus = 0;
        Request->DataSize = Message.Data.size();
    } else {
        const std::optional<std::int32_t> Status =
            IPStatusFromIcmpError(Message.Type, Message.Code);
        if (!Status || Message.Destination != Request->Destination)
            return nullptr;
        Request->IPStatus = *Status;
        Request->DataSize = 0;
    }
    Request->Source = Message.Source;
    Request->Ttl = Message.Ttl;
    Request->Tos = Message.Tos;
    Request->Done = true;
    FPending.erase(It);
    return Request;
}

TSequencePool::TSequencePool() : FReusableAt(65536, 0) {}

std::optional<std::uint16_t> TSequencePool::Acquire(std::int64_t NowMs) {
    if (NowMs < FFullUntil)
        return std::nullopt;
    std::int64_t Earliest = InFlight;
    for (std::size_t Step = 0; Step < FReusableAt.size(); ++Step) {
        const std::uint16_t Sequence = std::uint16_t(FNext + Step);
        std::int64_t& ReusableAt = FReusableAt[Sequence];
        if (ReusableAt <= NowMs) {
            ReusableAt = InFlight;
            FNext = std::uint16_t(Sequence + 1);
            return Sequence;
        }
        Earliest = std::min(Earliest, ReusableAt);
    }
    FFullUntil = Earliest;
    return std::nullopt;
}

void TSequencePool::Release(std::uint16_t Sequence, std::int64_t ReusableAtMs) {
    FReusableAt[Sequence] = ReusableAtMs;
    FFullUntil = std::min(FFullUntil, ReusableAtMs);
}

#include "zsPingHelper.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

std::uint32_t Ip(const char* Text) {
    return ::inet_addr(Text);
}

const std::uint32_t Target = Ip("127.0.0.9");
const std::uint32_t Router = Ip("127.0.0.77");
const std::uint16_t OurId = 0x1234;
const std::uint16_t OurSeq = 0x0107;
const std::string Data = "payload bytes \x80\xFF!";

TBytes DataBytes() {
    return TBytes(Data.begin(), Data.end());
}

void Put16(TBytes& B, std::size_t At, std::uint16_t V) {
    B[At] = std::uint8_t(V >> 8);
    B[At + 1] = std::uint8_t(V);
}

void PutAddress(TBytes& B, std::size_t At, std::uint32_t A) {
    std::memcpy(B.data() + At, &A, 4);
}

// An IPv4 header with OptionBytes of options (a multiple of 4) in front of Body.
TBytes WithIpHeader(std::uint32_t From, std::uint32_t To, const TBytes& Body,
                    std::size_t OptionBytes = 0, std::uint8_t Protocol = 1) {
    TBytes P(20 + OptionBytes, 0);
    P[0] = std::uint8_t(0x40 | ((20 + OptionBytes) / 4));
    P[1] = 0x10; // TOS
    P[8] = 57;   // TTL
    P[9] = Protocol;
    PutAddress(P, 12, From);
    PutAddress(P, 16, To);
    for (std::size_t I = 20; I < P.size(); ++I)
        P[I] = 1; // NOP options
    P.insert(P.end(), Body.begin(), Body.end());
    Put16(P, 2, std::uint16_t(P.size()));
    return P;
}

TBytes Icmp(std::uint8_t Type, std::uint8_t Code, std::uint16_t Id, std::uint16_t Seq,
            const TBytes& Body) {
    TBytes M = BuildEchoRequest(Id, Seq, Body);
    M[0] = Type;
    M[1] = Code;
    M[2] = M[3] = 0;
    Put16(M, 2, IcmpChecksum(M));
    return M;
}

TBytes Reply(std::uint32_t From = Target, std::uint16_t Id = OurId, std::uint16_t Seq = OurSeq,
             const TBytes& Body = DataBytes()) {
    return WithIpHeader(From, Ip("127.0.0.1"), Icmp(ICMP_TYPE_ECHO_REPLY, 0, Id, Seq, Body));
}

// An ICMP error from Router quoting an echo request to QuotedTo.
TBytes Error(std::uint8_t Type, std::uint8_t Code, std::uint32_t QuotedTo = Target,
             std::uint16_t Id = OurId, std::uint16_t Seq = OurSeq, std::size_t InnerOptions = 0,
             std::uint8_t QuotedType = ICMP_TYPE_ECHO_REQUEST) {
    TBytes Quoted = WithIpHeader(Ip("127.0.0.1"), QuotedTo,
                                 Icmp(QuotedType, 0, Id, Seq, DataBytes()), InnerOptions);
    Quoted.resize(Quoted.size() - Data.size()); // the least a router quotes: IP + 8 bytes
    TBytes Outer = Icmp(Type, Code, 0, 0, {});
    Outer.resize(4); // errors carry 4 unused bytes, not an identifier and sequence
    Outer.insert(Outer.end(), 4, 0);
    Outer.insert(Outer.end(), Quoted.begin(), Quoted.end());
    Outer[2] = Outer[3] = 0;
    Put16(Outer, 2, IcmpChecksum(Outer));
    return WithIpHeader(Router, Ip("127.0.0.1"), Outer);
}

// Outcome of feeding a raw packet to a matcher waiting for our one request:
// -1 not parsed, -2 parsed but answers nothing, otherwise the IP_STATUS.
int Feed(TEchoMatcher& Matcher, const TBytes& Packet, TEchoMatcher::TRequest*& Done) {
    TIcmpMessage Message;
    Done = nullptr;
    if (!ParseIcmpPacket(Packet, true, true, 0, Message))
        return -1;
    Done = Matcher.Deliver(Message);
    return Done ? Done->IPStatus : -2;
}

} // namespace

TEST(EchoParser, CraftedRawPackets) {
    TBytes BadChecksum = Reply();
    BadChecksum.back() ^= 0x01;
    TBytes Truncated = Reply();
    Truncated.pop_back();
    TBytes Padded = Reply();
    Padded.insert(Padded.end(), 6, 0xEE);
    TBytes OtherData = DataBytes();
    OtherData[3] ^= 0x20;
    TBytes ShortData = DataBytes();
    ShortData.pop_back();
    TBytes Ipv6 = Reply();
    Ipv6[0] = 0x65;
    TBytes ShortHeaderLength = Reply();
    ShortHeaderLength[0] = 0x44;
    TBytes TotalBelowHeader = Reply();
    Put16(TotalBelowHeader, 2, 12);
    TBytes ErrorCutShort = Error(ICMP_TYPE_DEST_UNREACH, 1);
    ErrorCutShort.resize(ErrorCutShort.size() - 4);
    Put16(ErrorCutShort, 2, std::uint16_t(ErrorCutShort.size()));
    {
        // Keep the outer checksum right so that only the missing bytes are at fault.
        ErrorCutShort[22] = ErrorCutShort[23] = 0;
        Put16(ErrorCutShort, 22, IcmpChecksum(std::span(ErrorCutShort).subspan(20)));
    }

    struct Case {
        const char* Name;
        TBytes Packet;
        int Expected;
    };
    const Case Cases[] = {
        {"reply", Reply(), 0},
        {"reply behind IP options",
         WithIpHeader(Target, Ip("127.0.0.1"), Icmp(0, 0, OurId, OurSeq, DataBytes()), 8), 0},
        {"reply with link padding", Padded, 0},
        {"truncated", Truncated, -1},
        {"IP header alone", WithIpHeader(Target, Ip("127.0.0.1"), {}), -1},
        {"bad checksum", BadChecksum, -1},
        {"not IPv4", Ipv6, -1},
        {"header length below 20", ShortHeaderLength, -1},
        {"total length below header", TotalBelowHeader, -1},
        {"not ICMP", WithIpHeader(Target, Ip("127.0.0.1"), Icmp(0, 0, OurId, OurSeq, {}), 0, 17),
         -1},
        {"our own request seen on a raw socket",
         WithIpHeader(Ip("127.0.0.1"), Target, Icmp(8, 0, OurId, OurSeq, DataBytes())), -1},
        {"foreign identifier", Reply(Target, OurId + 1), -2},
        {"other sequence", Reply(Target, OurId, OurSeq + 1), -2},
        {"reply from another host", Reply(Ip("127.0.0.10")), -2},
        {"echoed data differs", Reply(Target, OurId, OurSeq, OtherData), -2},
        {"echoed data cut short", Reply(Target, OurId, OurSeq, ShortData), -2},
        {"host unreachable", Error(ICMP_TYPE_DEST_UNREACH, 1), 11003},
        {"net unreachable, quoted header with IP options",
         Error(ICMP_TYPE_DEST_UNREACH, 0, Target, OurId, OurSeq, 12), 11002},
        {"time exceeded in transit", Error(ICMP_TYPE_TIME_EXCEEDED, 0), 11013},
        {"parameter problem", Error(ICMP_TYPE_PARAM_PROBLEM, 0), 11015},
        {"source quench", Error(ICMP_TYPE_SOURCE_QUENCH, 0), 11016},
        {"redirect is no answer", Error(ICMP_TYPE_REDIRECT, 1), -2},
        {"error quoting another request",
         Error(ICMP_TYPE_DEST_UNREACH, 1, Target, OurId, OurSeq + 5), -2},
        {"error quoting another destination", Error(ICMP_TYPE_DEST_UNREACH, 1, Ip("127.0.0.10")),
         -2},
        {"error quoting a reply, not a request",
         Error(ICMP_TYPE_DEST_UNREACH, 1, Target, OurId, OurSeq, 0, ICMP_TYPE_ECHO_REPLY), -1},
        {"error cut inside the quoted echo header", ErrorCutShort, -1},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TEchoMatcher Matcher;
        TEchoMatcher::TRequest Request;
        Request.Destination = Target;
        const TBytes Payload = DataBytes();
        Request.Payload = Payload;
        ASSERT_TRUE(Matcher.Add(OurId, OurSeq, &Request));
        TEchoMatcher::TRequest* Done = nullptr;
        EXPECT_EQ(Feed(Matcher, C.Packet, Done), C.Expected);
        EXPECT_EQ(Done != nullptr, C.Expected >= 0);
        EXPECT_EQ(Request.Done, C.Expected >= 0);
        EXPECT_EQ(Matcher.Size(), C.Expected >= 0 ? 0U : 1U);
        if (C.Expected == 0) {
            EXPECT_EQ(Request.DataSize, Data.size());
            EXPECT_EQ(Request.Source, Target);
            EXPECT_EQ(Request.Ttl, 57);
            EXPECT_EQ(Request.Tos, 0x10);
        } else if (C.Expected > 0) {
            EXPECT_EQ(Request.Source, Router);
        }
    }
}

TEST(EchoParser, ADuplicateReplyCompletesNothing) {
    TEchoMatcher Matcher;
    TEchoMatcher::TRequest First, Second;
    const TBytes Payload = DataBytes();
    First.Destination = Second.Destination = Target;
    First.Payload = Second.Payload = Payload;
    ASSERT_TRUE(Matcher.Add(OurId, OurSeq, &First));
    EXPECT_FALSE(Matcher.Add(OurId, OurSeq, &Second)); // one key, one request
    ASSERT_TRUE(Matcher.Add(OurId, OurSeq + 1, &Second));

    TEchoMatcher::TRequest* Done = nullptr;
    EXPECT_EQ(Feed(Matcher, Reply(), Done), 0);
    EXPECT_EQ(Done, &First);
    EXPECT_EQ(Feed(Matcher, Reply(), Done), -2);
    EXPECT_EQ(Feed(Matcher, Error(ICMP_TYPE_DEST_UNREACH, 1), Done), -2);
    EXPECT_FALSE(Second.Done);
    Matcher.Remove(OurId, OurSeq + 1); // a caller that timed out
    EXPECT_EQ(Feed(Matcher, Reply(Target, OurId, OurSeq + 1), Done), -2);
    EXPECT_EQ(Matcher.Size(), 0U);
}

TEST(EchoParser, DatagramSocketPackets) {
    // Datagram sockets deliver from the ICMP header on; the kernel has checked the checksum,
    // and the sender comes separately.
    const TBytes Body = Icmp(ICMP_TYPE_ECHO_REPLY, 0, OurId, OurSeq, DataBytes());
    TIcmpMessage Message;
    ASSERT_TRUE(ParseIcmpPacket(Body, false, false, Target, Message));
    EXPECT_EQ(Message.Kind, TIcmpMessage::EchoReply);
    EXPECT_EQ(Message.Source, Target);
    EXPECT_EQ(Message.Identifier, OurId);
    EXPECT_EQ(Message.Sequence, OurSeq);
    EXPECT_EQ(std::string(Message.Data.begin(), Message.Data.end()), Data);
    EXPECT_FALSE(ParseIcmpPacket(std::span(Body).first(7), false, false, Target, Message));

    // A queued error hands back the start of our own request.
    const TBytes Quoted = BuildEchoRequest(OurId, OurSeq, DataBytes());
    ASSERT_TRUE(ParseQueuedIcmpError(Quoted, Target, ICMP_TYPE_DEST_UNREACH, 1, Router, Message));
    EXPECT_EQ(Message.Kind, TIcmpMessage::Error);
    EXPECT_EQ(Message.Destination, Target);
    EXPECT_EQ(Message.Source, Router);
    EXPECT_EQ(Message.Sequence, OurSeq);
    EXPECT_FALSE(ParseQueuedIcmpError(std::span(Quoted).first(7), Target, 3, 1, Router, Message));
    TBytes NotARequest = Quoted;
    NotARequest[0] = ICMP_TYPE_ECHO_REPLY;
    EXPECT_FALSE(ParseQueuedIcmpError(NotARequest, Target, 3, 1, Router, Message));
}

TEST(EchoParser, Checksum) {
    // RFC 1071's worked example, an odd length, and high bytes that must not sign-extend.
    EXPECT_EQ(IcmpChecksum(TBytes{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}), 0x220D);
    EXPECT_EQ(IcmpChecksum(TBytes{0x80}), 0x7FFF);
    EXPECT_EQ(IcmpChecksum(TBytes{0xFF, 0xFF, 0xFF}), 0x00FF);
    EXPECT_EQ(IcmpChecksum(TBytes{}), 0xFFFF);
    const TBytes Request = BuildEchoRequest(0xBEEF, 0xFFFF, DataBytes());
    EXPECT_EQ(IcmpChecksum(Request), 0);
    EXPECT_EQ(Request.size(), 8 + Data.size());
}

TEST(EchoParser, IcmpErrorsAndSendErrorsMapToIPStatus) {
    struct Case {
        std::uint8_t Type, Code;
        int Expected; // -1: not an answer
    };
    const Case Cases[] = {
        {3, 0, 11002},  {3, 1, 11003},  {3, 2, 11004},  {3, 3, 11005},  {3, 4, 11009},
        {3, 5, 11012},  {3, 6, 11002},  {3, 7, 11003},  {3, 8, 11003},  {3, 9, 11002},
        {3, 10, 11003}, {3, 11, 11002}, {3, 12, 11003}, {3, 13, 11003}, {3, 14, 11003},
        {3, 15, 11003}, {11, 0, 11013}, {11, 1, 11014}, {12, 0, 11015}, {12, 2, 11015},
        {4, 0, 11016},  {5, 0, -1},     {5, 1, -1},     {0, 0, -1},     {8, 0, -1},
        {9, 0, -1},     {13, 0, -1},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::to_string(C.Type) + "/" + std::to_string(C.Code));
        EXPECT_EQ(IPStatusFromIcmpError(C.Type, C.Code).value_or(-1), C.Expected);
    }
    const std::pair<int, int> Errnos[] = {
        {ENETUNREACH, 11002}, {EHOSTUNREACH, 11003}, {EMSGSIZE, 11009}, {ENOBUFS, 11006},
        {ENOMEM, 11006},      {EAGAIN, 11006},       {EACCES, 11050},   {EINVAL, 11050},
    };
    for (const auto& [Errno, Expected] : Errnos) {
        SCOPED_TRACE(Errno);
        EXPECT_EQ(IPStatusFromSendErrno(Errno), Expected);
    }
}

TEST(EchoParser, SequenceNumbersWaitOutTheirQuarantine) {
    TSequencePool Pool;
    std::set<std::uint16_t> Seen;
    for (int I = 0; I < 65536; ++I) {
        const auto Sequence = Pool.Acquire(100);
        ASSERT_TRUE(Sequence);
        Seen.insert(*Sequence);
    }
    EXPECT_EQ(Seen.size(), 65536U);
    EXPECT_FALSE(Pool.Acquire(100)); // all in flight

    Pool.Release(42, 5000);
    Pool.Release(7, 3000);
    EXPECT_FALSE(Pool.Acquire(2999));
    EXPECT_EQ(Pool.Acquire(3000), std::optional<std::uint16_t>(7));
    EXPECT_FALSE(Pool.Acquire(4999));
    EXPECT_EQ(Pool.Acquire(6000), std::optional<std::uint16_t>(42));
    EXPECT_FALSE(Pool.Acquire(1'000'000)); // nothing else was released
}

// What both echo services share, without sockets: round trips from the kernel's receive times,
// and the reply record rules of the two send calls, fed by a fake service.
#include "icmp_dll_common.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

using namespace EchoService;
using namespace std::chrono_literals;

// The kernel's receive time counts while it lies between the send and the read (give or take a
// millisecond); else the wall clock was set meanwhile and the read time counts. Whole
// milliseconds, truncated.
TEST(EchoCommon, RoundTripFromReceiveTimes) {
    const TSteady::time_point Sent = TSteady::time_point(1h);
    const std::int64_t SentRealNs = 1'000'000'000'000;
    struct Case {
        const char* Name;
        std::chrono::nanoseconds Read; // after Sent
        std::int64_t KernelNs;         // after SentRealNs; 0 for no receive time
        bool KernelGiven;
        std::uint32_t Ms;
    };
    const Case Cases[] = {
        {"no receive time: the read", 7'900'000ns, 0, false, 7},
        {"receive time before the read", 30ms, 2'400'000, true, 2},
        {"receive time at the send", 5ms, 0, true, 0},
        {"receive time a little after the read", 5ms, 5'900'000, true, 5},
        {"receive time long after the read: clock set forward", 5ms, 9'000'000'000, true, 5},
        {"receive time before the send: clock set back", 12ms, -3'000'000'000, true, 12},
        {"read before the send", -4ms, 0, false, 0},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::int64_t ReceivedRealNs = C.KernelGiven ? SentRealNs + C.KernelNs : 0;
        EXPECT_EQ(RoundTripMs(Sent, SentRealNs, Sent + C.Read, ReceivedRealNs), C.Ms);
    }
}

namespace {

// Stands in for a service: which handles are open, and what the request comes to.
struct TFakeService {
    bool IsHandle(TIcmpHandle Handle) const { return Handle == OpenHandle; }
    TIcmpHandle OpenHandle = 7;
};

struct TOutcome {
    std::uint32_t Replies = 0;
    bool Sent = false;
    std::vector<std::uint8_t> Buffer;
};

// One call of each record type through SendEchoInto, into a buffer of ReplySize bytes inside a
// larger one filled with 0xCD.
template <class TRecord, class TSource>
TOutcome Call(TFakeService& Service, TIcmpHandle Handle, bool DestinationAllowed, const void* Data,
              std::uint32_t Size, std::uint32_t ReplySize, const TEchoResult<TSource>& Result) {
    TOutcome Out;
    Out.Buffer.assign(ReplySize + 64, 0xCD);
    Out.Replies = SendEchoInto<TRecord>(
        Service, Handle, DestinationAllowed, 100, Data, Size,
        ReplySize == 0 ? nullptr : Out.Buffer.data(), ReplySize,
        [&](std::span<const std::uint8_t> Payload) {
            Out.Sent = true;
            EXPECT_EQ(Payload.size(), Size);
            return Result;
        },
        [](TRecord& Record, const TEchoResult<TSource>& R) {
            if constexpr (std::is_same_v<TRecord, ICMP_ECHO_REPLY>) {
                Record.Address = R.Source;
                Record.Options.Ttl = R.Ttl;
            } else {
                std::memcpy(Record.Address.sin6_addr, &R.Source.sin6_addr, 16);
            }
        });
    return Out;
}

template <class TRecord>
TRecord RecordIn(const TOutcome& Out) {
    TRecord Record;
    std::memcpy(&Record, Out.Buffer.data(), sizeof Record);
    return Record;
}

// The same table for both record types: what the call refuses before sending, in which order,
// and how each outcome fills the record and the data behind it.
template <class TRecord, class TSource>
void CheckRecordRules(const TSource& Replier, const TSource& Nobody) {
    constexpr std::uint32_t Room = sizeof(TRecord) + 16;
    constexpr std::uint32_t StatusEnd = offsetof(TRecord, RoundTripTime) + 4;
    const char Data[] = "0123456789";
    auto Answer = [&](std::int32_t Status, std::size_t DataSize) {
        TEchoResult<TSource> R;
        R.Replied = Status != IP_REQ_TIMED_OUT;
        R.IPStatus = Status;
        R.RoundTripTime = R.Replied ? 3 : 0;
        R.Source = R.Replied ? Replier : Nobody;
        R.Ttl = 64;
        R.DataSize = DataSize;
        return R;
    };
    struct Case {
        const char* Name;
        TIcmpHandle Handle;
        bool DestinationAllowed;
        const void* Data;
        std::uint32_t Size;
        std::uint32_t ReplySize;
        TEchoResult<TSource> Result;
        // Expected:
        bool Sent;
        std::uint32_t Replies;
        bool StatusWritten;
        std::int32_t Status;
        bool SourceWritten;
    };
    const Case Cases[] = {
        {"echo reply", 7, true, Data, 10, Room, Answer(IP_SUCCESS, 10), true, 1, true, IP_SUCCESS,
         true},
        {"no reply buffer", 7, true, Data, 10, 0, Answer(IP_SUCCESS, 10), false, 0, false, 0,
         false},
        {"no room for the status", 7, true, Data, 10, StatusEnd - 1, Answer(IP_SUCCESS, 10), false,
         0, false, 0, false},
        {"closed handle, no room for the record either", 8, true, Data, 10, StatusEnd,
         Answer(IP_SUCCESS, 10), false, 0, true,
         StatusEnd < sizeof(TRecord) ? IP_BUF_TOO_SMALL : IP_GENERAL_FAILURE, false},
        {"closed handle before missing data", 8, true, nullptr, 10, Room, Answer(IP_SUCCESS, 10),
         false, 0, true, IP_GENERAL_FAILURE, false},
        {"missing data before too much", 7, true, nullptr, 101, Room, Answer(IP_SUCCESS, 10), false,
         0, true, IP_BAD_REQ, false},
        {"no data at all is fine", 7, true, nullptr, 0, Room, Answer(IP_SUCCESS, 0), true, 1, true,
         IP_SUCCESS, true},
        {"too much data before a refused destination", 7, false, Data, 101, Room,
         Answer(IP_SUCCESS, 10), false, 0, true, IP_PACKET_TOO_BIG, false},
        {"refused destination", 7, false, Data, 10, Room, Answer(IP_SUCCESS, 10), false, 0, true,
         IP_BAD_DESTINATION, false},
        {"timed out", 7, true, Data, 10, Room, Answer(IP_REQ_TIMED_OUT, 0), true, 0, true,
         IP_REQ_TIMED_OUT, false},
        {"an error names who reported it", 7, true, Data, 10, Room,
         Answer(IP_DEST_HOST_UNREACHABLE, 0), true, 0, true, IP_DEST_HOST_UNREACHABLE, true},
        {"the echoed data does not fit", 7, true, Data, 10, sizeof(TRecord) + 9,
         Answer(IP_SUCCESS, 10), true, 0, true, IP_BUF_TOO_SMALL, true},
        {"the echoed data just fits", 7, true, Data, 10, sizeof(TRecord) + 10,
         Answer(IP_SUCCESS, 10), true, 1, true, IP_SUCCESS, true},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TFakeService Service;
        const TOutcome Out = Call<TRecord>(Service, C.Handle, C.DestinationAllowed, C.Data, C.Size,
                                           C.ReplySize, C.Result);
        EXPECT_EQ(Out.Sent, C.Sent);
        EXPECT_EQ(Out.Replies, C.Replies);
        for (std::size_t I = C.ReplySize; I < Out.Buffer.size(); ++I)
            ASSERT_EQ(Out.Buffer[I], 0xCD) << "written past the reply buffer at " << I;
        if (!C.StatusWritten) {
            for (std::size_t I = 0; I < C.ReplySize; ++I)
                ASSERT_EQ(Out.Buffer[I], 0xCD) << "written at " << I;
            continue;
        }
        const TRecord Record = RecordIn<TRecord>(Out);
        EXPECT_EQ(std::uint32_t(Record.Status), std::uint32_t(C.Status));
        EXPECT_EQ(std::uint32_t(Record.RoundTripTime), C.SourceWritten ? 3U : 0U);
        if (C.ReplySize < sizeof(TRecord))
            continue;
        if constexpr (std::is_same_v<TRecord, ICMP_ECHO_REPLY>) {
            EXPECT_EQ(Record.Address, C.SourceWritten ? Replier : 0U);
            EXPECT_EQ(Record.DataSize, C.Replies == 1 ? C.Size : 0U);
            EXPECT_EQ(Record.Data, C.Replies == 1 ? sizeof(TRecord) : 0U);
        } else {
            EXPECT_EQ(std::memcmp(Record.Address.sin6_addr, &Replier.sin6_addr, 16) == 0,
                      C.SourceWritten);
        }
        if (C.Replies == 1 && C.Size > 0) {
            EXPECT_EQ(std::memcmp(Out.Buffer.data() + sizeof(TRecord), C.Data, C.Size), 0);
        } else if (C.Replies == 0 && C.ReplySize > sizeof(TRecord)) {
            EXPECT_EQ(Out.Buffer[sizeof(TRecord)], 0xCD) << "data behind a record without reply";
        }
    }
}

} // namespace

TEST(EchoCommon, IPv4RecordRules) {
    CheckRecordRules<ICMP_ECHO_REPLY>(std::uint32_t(0x0100007F), std::uint32_t(0));
}

TEST(EchoCommon, IPv6RecordRules) {
    sockaddr_in6 Replier{};
    Replier.sin6_family = AF_INET6;
    Replier.sin6_addr.s6_addr[15] = 1;
    CheckRecordRules<ICMPV6_ECHO_REPLY>(Replier, sockaddr_in6{});
}

// What the IPv4 and the IPv6 echo service (icmp_dll.cpp, icmp_dll6.cpp) have in common, for
// their use only: the one instance and its handles, the socket options both set, the kernel's
// receive times and the round trips made of them, and the rules of the reply record both send
// calls write.
//
//   class TMyService : public EchoService::TServiceBase<TMyService> {
//       friend class EchoService::TServiceBase<TMyService>;
//       TMyService() : TServiceBase(FirstHandle) {}
//       bool EnsureOpen();   // under FLock: a socket of the kind FMode allows is open
//       void CloseAll();     // under FLock: sockets closed, waiting requests ended
//   };
//   TMyService::Instance().SetMode(TIcmpMode::Raw);
#pragma once

#include "icmp_dll.h"
#include "zsIcmpTransport.h"
#include "zsPingHelper.h"
#include "zsPingStatus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <unordered_set>

#include <linux/errqueue.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace EchoService {

using TSteady = std::chrono::steady_clock;

// A sequence number stays out of use this long after its request's timeout, so a late reply to
// an old request cannot complete a new one.
constexpr std::int64_t SequenceGraceMs = 1000;
// How long a send may wait for room in a full socket buffer before it counts as no resources.
constexpr int SendTimeoutMs = 1000;
// Room for the ancillary data of one packet (receive time, hop limit and traffic class, or an
// extended error with its offender's address).
constexpr std::size_t ControlSize = 512;
// The receiver's eventfd in its epoll set.
constexpr std::uint64_t WakeTag = ~std::uint64_t(0);

std::int64_t NowMs(TSteady::time_point T);
std::int64_t RealNowNs();

// The kernel's receive time of a packet, from its SO_TIMESTAMPNS data, or 0.
std::int64_t ReceiveTimeNs(msghdr& Header);

// Measured from just before the send to the kernel's receive time when it gave one: that is
// the round trip on the wire, however long the reply then waited to be read. The read time
// stands in when the wall clock was set between the two.
std::uint32_t RoundTripMs(TSteady::time_point Sent, std::int64_t SentRealNs,
                          TSteady::time_point Received, std::int64_t ReceivedRealNs);

// A new ICMP (Family AF_INET) or ICMPv6 (AF_INET6) socket of the datagram or raw kind with the
// options both services want: a receive buffer with room for bursts of replies from hundreds of
// callers, a bounded wait for room to send, and kernel receive times. -1 with errno set when
// the kind may not be opened.
int OpenIcmpSocket(int Family, bool Raw);

// Readies a datagram socket: it keeps the ICMP errors for its requests (a datagram socket drops
// them silently otherwise) and is bound, so the kernel assigns its echo identifier, which
// Identifier receives. False with errno set when any step fails.
bool BindDatagramSocket(int Fd, int Family, std::uint16_t& Identifier);

// sendto, again when a signal interrupted it, and again (a few times at most) while it fails
// with what may be the pending error another request's ICMP answer left on the socket; errno as
// the last attempt left it. A HopLimit other than 0
// goes with this one packet (IP_TTL for an AF_INET socket, IPV6_HOPLIMIT for an AF_INET6 one,
// as ancillary data): the socket's own setting, which other callers' requests use at the same
// time, is left alone.
ssize_t SendPacket(int Fd, std::span<const std::uint8_t> Packet, const sockaddr* To,
                   socklen_t ToLength, std::uint8_t HopLimit = 0);

// Puts Fd into the epoll set to report its next packet or error once (adding or re-arming a
// socket that already holds one reports it at once, so nothing that came while nobody watched
// is missed). InEpoll says whether it is in the set already and becomes true; false when epoll
// refused.
bool WatchOnce(int Epoll, int Fd, bool& InEpoll);

// Reads the socket's error queue until it is empty. Prepare readies a header for one read and
// returns it (the kernel shortens the lengths in it, so afresh each time); for each extended
// error of Level and Type, OnError(Error, Offender, Header, Length, Received) with the error
// record, the address of the host that reported it, the header of the read, the length of the
// quoted packet, and when it was read.
template <class TPrepare, class TOnError>
void ReadErrorQueue(int Fd, int Level, int Type, TPrepare&& Prepare, TOnError&& OnError) {
    for (;;) {
        msghdr& Header = Prepare();
        const ssize_t Length = ::recvmsg(Fd, &Header, MSG_ERRQUEUE | MSG_DONTWAIT);
        const TSteady::time_point Received = TSteady::now();
        if (Length < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C)) {
            if (C->cmsg_level != Level || C->cmsg_type != Type)
                continue;
            auto* Error = reinterpret_cast<sock_extended_err*>(CMSG_DATA(C));
            sock_extended_err Copy;
            std::memcpy(&Copy, Error, sizeof Copy);
            OnError(Copy, SO_EE_OFFENDER(Error), Header, std::size_t(Length), Received);
        }
    }
}

// The handles of one service: cheap tokens, numbered from First. They have a lock of their own:
// every request looks its handle up, and that need not queue behind the readers of replies.
class THandleTable {
public:
    explicit THandleTable(TIcmpHandle First) : FNext(First) {}
    TIcmpHandle Open() {
        std::lock_guard Guard(FLock);
        const TIcmpHandle Handle = FNext++;
        FHandles.insert(Handle);
        return Handle;
    }
    bool Close(TIcmpHandle Handle) {
        std::lock_guard Guard(FLock);
        return FHandles.erase(Handle) == 1;
    }
    bool Contains(TIcmpHandle Handle) {
        std::lock_guard Guard(FLock);
        return FHandles.contains(Handle);
    }

private:
    std::mutex FLock;
    std::unordered_set<TIcmpHandle> FHandles;
    TIcmpHandle FNext;
};

// The one instance of a service, its handles and its socket kind. TDerived provides, called
// with FLock held: EnsureOpen() (a socket of a kind FMode allows is open; sets FActiveMode) and
// CloseAll() (its sockets are closed and the requests still waiting end with
// IP_GENERAL_FAILURE).
template <class TDerived>
class TServiceBase {
public:
    // Deliberately never destroyed: ping loop threads are detached and may still be inside a
    // request while static destructors run at exit.
    static TDerived& Instance() {
        static TDerived* Service = new TDerived;
        return *Service;
    }

    bool CloseHandle(TIcmpHandle Handle) { return FHandles.Close(Handle); }
    bool IsHandle(TIcmpHandle Handle) { return FHandles.Contains(Handle); }

    bool SetMode(TIcmpMode Mode) {
        std::lock_guard Guard(FLock);
        ForgetIcmpHelperFailures();
        FMode = Mode;
        Self().CloseAll();
        return Self().EnsureOpen();
    }

    std::string ActiveMode() {
        std::lock_guard Guard(FLock);
        return FActiveMode;
    }

protected:
    explicit TServiceBase(TIcmpHandle FirstHandle) : FHandles(FirstHandle) {}
    TDerived& Self() { return static_cast<TDerived&>(*this); }

    std::mutex FLock;
    TIcmpMode FMode = TIcmpMode::Auto;
    std::string FActiveMode; // "datagram", "raw" or "" while nothing is open
    THandleTable FHandles;
};

// How one request ended, as a service's Send returns it. TSource is the form of an address of
// the service's family.
template <class TSource>
struct TEchoResult {
    bool Replied = false; // an echo reply or an ICMP error arrived
    std::int32_t IPStatus = IP_GENERAL_FAILURE;
    std::uint32_t RoundTripTime = 0;
    TSource Source{};
    std::uint8_t Ttl = 0; // IPv4 only
    std::uint8_t Tos = 0;
    std::size_t DataSize = 0;
};

// The result of a request that is over: timed out when nobody answered it in time, else what
// the answer said. TWaiter has Done, IPStatus, Source, DataSize, Received and ReceivedRealNs,
// and Ttl and Tos where its family reports them.
template <class TSource, class TWaiter>
void Conclude(TEchoResult<TSource>& Result, const TWaiter& Waiter, TSteady::time_point Sent,
              std::int64_t SentRealNs) {
    if (!Waiter.Done) {
        Result.IPStatus = IP_REQ_TIMED_OUT;
        return;
    }
    Result.Replied = Waiter.IPStatus != IP_GENERAL_FAILURE;
    Result.IPStatus = Waiter.IPStatus;
    Result.RoundTripTime = RoundTripMs(Sent, SentRealNs, Waiter.Received, Waiter.ReceivedRealNs);
    Result.Source = Waiter.Source;
    if constexpr (requires { Waiter.Ttl; }) {
        Result.Ttl = Waiter.Ttl;
        Result.Tos = Waiter.Tos;
    }
    Result.DataSize = Waiter.DataSize;
}

// One request through a send call and into its reply record (TRecord: ICMP_ECHO_REPLY or
// ICMPV6_ECHO_REPLY; the echoed data follows it in the reply buffer). Returns the number of
// records written: 1 for an echo reply, 0 otherwise. Status and RoundTripTime are written on
// every path where ReplySize leaves room for them. The request is refused, in this order, when
// the buffer has no room for the record, the handle is not open, the data is missing or longer
// than MaxData, or the destination is not one an echo request may go to. Send(Payload) makes
// the request and returns its TEchoResult; SetSource(Record, Result) writes the replying host
// into the record.
template <class TRecord, class TService, class TSend, class TSetSource>
std::uint32_t SendEchoInto(TService& Service, TIcmpHandle Handle, bool DestinationAllowed,
                           std::size_t MaxData, const void* RequestData, std::uint32_t RequestSize,
                           void* ReplyBuffer, std::uint32_t ReplySize, TSend&& Send,
                           TSetSource&& SetSource) {
    constexpr std::size_t StatusEnd = offsetof(TRecord, RoundTripTime) + 4;
    if (!ReplyBuffer || ReplySize < StatusEnd)
        return 0;
    TRecord Record{};
    auto Finish = [&](std::uint32_t Replies) {
        std::memcpy(ReplyBuffer, &Record, std::min<std::size_t>(ReplySize, sizeof(TRecord)));
        return Replies;
    };
    if (ReplySize < sizeof(TRecord)) {
        Record.Status = IP_BUF_TOO_SMALL;
        return Finish(0);
    }
    if (!Service.IsHandle(Handle)) {
        Record.Status = IP_GENERAL_FAILURE;
        return Finish(0);
    }
    if (RequestSize > 0 && !RequestData) {
        Record.Status = IP_BAD_REQ;
        return Finish(0);
    }
    if (RequestSize > MaxData) {
        Record.Status = IP_PACKET_TOO_BIG; // no packet of the family can carry it
        return Finish(0);
    }
    if (!DestinationAllowed) {
        Record.Status = IP_BAD_DESTINATION;
        return Finish(0);
    }
    const std::span<const std::uint8_t> Payload(static_cast<const std::uint8_t*>(RequestData),
                                                RequestSize);
    const auto Result = Send(Payload);
    Record.Status = std::uint32_t(Result.IPStatus);
    if (!Result.Replied)
        return Finish(0);
    SetSource(Record, Result);
    Record.RoundTripTime = Result.RoundTripTime;
    if (Result.IPStatus != IP_SUCCESS)
        return Finish(0);
    if (Result.DataSize > ReplySize - sizeof(TRecord)) {
        // The echo came back but its data does not fit behind the record.
        Record.Status = IP_BUF_TOO_SMALL;
        return Finish(0);
    }
    // The echoed data was checked to equal the request's.
    if constexpr (requires { Record.Data; }) {
        Record.DataSize = std::uint16_t(Result.DataSize);
        Record.Data = sizeof(TRecord);
    }
    if (Result.DataSize > 0)
        std::memcpy(static_cast<std::uint8_t*>(ReplyBuffer) + sizeof(TRecord), RequestData,
                    Result.DataSize);
    return Finish(1);
}

} // namespace EchoService

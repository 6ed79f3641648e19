// The IPv6 echo service. One ICMPv6 socket serves the whole process: a datagram socket when the
// ping group range allows it, else one raw socket (whose options, the ICMPv6 type filter among
// them, are all set when it opens, since they may not be changed later). One receiver thread
// reads it; each request waits on its own condition for the answer matched by its sequence.
#include "icmp_dll.h"

#include "icmp_dll_common.h"
#include "zsIcmpTransport.h"
#include "zsPingHelper.h"
#include "zsPingStatus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

bool Icmp6CloseHandle(TIcmpHandle IcmpHandle);

using namespace EchoService;

namespace {

constexpr std::uint8_t ICMP6_DEST_UNREACH = 1;
constexpr std::uint8_t ICMP6_PACKET_TOO_BIG = 2;
constexpr std::uint8_t ICMP6_TIME_EXCEEDED = 3;
constexpr std::uint8_t ICMP6_PARAM_PROBLEM = 4;
constexpr std::uint8_t ICMP6_ECHO_REQUEST = 128;
constexpr std::uint8_t ICMP6_ECHO_REPLY = 129;
// Level and option of the ICMPv6 type filter (<netinet/icmp6.h> clashes with <linux/icmp.h>).
constexpr int SolIcmpV6 = 58;
constexpr int Icmp6FilterOption = 1;
constexpr std::uint8_t SoEeOriginIcmp6 = 3;
constexpr std::size_t Ip6HeaderSize = 40;
constexpr std::size_t Icmp6HeaderSize = 8;
// The largest echo data an IPv6 packet without jumbo option carries: 65535 - 8.
constexpr std::size_t MaxEchoData = 65527;
// Room for the largest ICMPv6 message, and for the ICMP helper's response that carries one.
constexpr std::size_t ReceiveBufferSize = HelperMaxResponseSize + 512;
// Handles of this service are numbered apart from those of the IPv4 one.
constexpr TIcmpHandle FirstHandle = TIcmpHandle(1) << 40;

std::uint16_t Read16(const std::uint8_t* P) {
    return std::uint16_t((P[0] << 8) | P[1]);
}

bool SameAddress(const in6_addr& A, const in6_addr& B) {
    return std::memcmp(&A, &B, sizeof A) == 0;
}

// A header for one read into Io, the sender's address into From and ancillary data into
// Control.
msghdr ReadHeader(sockaddr_in6& From, iovec& Io, std::span<char> Control) {
    From = sockaddr_in6{};
    msghdr Header{};
    Header.msg_name = &From;
    Header.msg_namelen = sizeof From;
    Header.msg_iov = &Io;
    Header.msg_iovlen = 1;
    Header.msg_control = Control.data();
    Header.msg_controllen = Control.size();
    return Header;
}

// The socket, closed when its last user lets go of it (the service, a caller in the middle of a
// request, the receiver in the middle of a read).
// A connection to the ICMP helper ends the helper too.
struct TOwnedFd {
    int Fd;
    pid_t HelperPid;
    explicit TOwnedFd(int F, pid_t Pid = -1) : Fd(F), HelperPid(Pid) {}
    ~TOwnedFd() { EndIcmpHelper(Fd, HelperPid); }
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;
};

struct TWaiter6 {
    in6_addr Destination{};
    std::span<const std::uint8_t> Payload;
    std::condition_variable Answered;
    bool Done = false;
    std::int32_t IPStatus = IP_GENERAL_FAILURE;
    sockaddr_in6 Source{};
    std::size_t DataSize = 0;
    TSteady::time_point Received;
    std::int64_t ReceivedRealNs = 0;
    int SendErrno = 0; // the ICMP helper could not send the request
};

using TEcho6Result = EchoService::TEchoResult<sockaddr_in6>;

class TIcmp6Service : public TServiceBase<TIcmp6Service> {
public:
    TIcmpHandle CreateHandle() {
        {
            std::lock_guard Guard(FLock);
            if (!EnsureOpen() || !StartReceiver())
                return INVALID_HANDLE_VALUE;
        }
        return FHandles.Open();
    }

    TEcho6Result Send(const sockaddr_in6& Destination, std::span<const std::uint8_t> Payload,
                      std::uint32_t TimeoutMs, std::uint8_t HopLimit);

private:
    friend class TServiceBase<TIcmp6Service>;
    TIcmp6Service() : TServiceBase(FirstHandle) {}
    bool EnsureOpen();
    int OpenSocket(TIcmpTransport Transport);
    void CloseAll();
    bool StartReceiver();
    void Receive();
    void Arm();
    bool ReadPackets(int Fd, bool Raw, bool Helper, const TWaiter6* Own);
    void LetGoIfEnded(const std::shared_ptr<TOwnedFd>& Socket);
    bool ReadErrors(int Fd, const TWaiter6* Own);
    const TWaiter6* Deliver(std::uint16_t Identifier, std::uint16_t Sequence,
                            const sockaddr_in6& From, const in6_addr* QuotedDestination,
                            std::optional<std::int32_t> ErrorStatus,
                            std::span<const std::uint8_t> Data, TSteady::time_point Received,
                            std::int64_t ReceivedRealNs);

    int FFd = -1;
    std::shared_ptr<TOwnedFd> FSocket; // owns FFd
    // The receiver watches the socket (epoll one-shot) only while callers wait: a caller first
    // reads the socket itself right after sending, where on loopback its answer already is.
    int FWaiters = 0;
    bool FInEpoll = false;
    bool FArmed = false;
    int FEpoll = -1;
    // Whoever reads packets holds this, for the one read buffer: the receiver waits for it, a
    // caller that finds it taken waits for its answer instead (the receiver then reads it).
    std::mutex FReadLock;
    std::unique_ptr<std::uint8_t[]> FBuffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(ReceiveBufferSize);
    bool FRaw = false;    // packets come from a raw socket, or through the helper
    bool FHelper = false; // the socket is the connection to the ICMP helper
    pid_t FHelperPid = -1;
    // The helper has gone: set by whoever reads the end of the connection.
    std::atomic<bool> FEnded{false};
    std::uint16_t FIdentifier = 0;
    TSequencePool FPool;
    std::unordered_map<std::uint16_t, TWaiter6*> FPending;
    int FWakeFd = -1;
    bool FReceiverStarted = false;
    std::mt19937 FRandom{std::random_device{}()};
};

int TIcmp6Service::OpenSocket(TIcmpTransport Transport) {
    if (Transport == TIcmpTransport::Helper) {
        const int Fd = StartIcmpHelper(AF_INET6, FHelperPid);
        if (Fd >= 0)
            FIdentifier = std::uint16_t(FRandom());
        return Fd;
    }
    const bool Raw = Transport == TIcmpTransport::Raw;
    const int Fd = OpenIcmpSocket(AF_INET6, Raw);
    if (Fd < 0)
        return -1;
    if (Raw) {
        // A raw ICMPv6 socket sees every ICMPv6 packet of the host, neighbour discovery
        // included: pass only echo replies and the errors that can quote a request. (The kernel
        // always fills in and checks the checksum of ICMPv6 on raw sockets; IPV6_CHECKSUM is
        // neither needed nor allowed for them.)
        std::uint32_t Filter[8];
        std::fill(std::begin(Filter), std::end(Filter), 0xFFFFFFFFu); // a set bit blocks
        for (const std::uint8_t Type : {ICMP6_ECHO_REPLY, ICMP6_DEST_UNREACH, ICMP6_PACKET_TOO_BIG,
                                        ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROBLEM})
            Filter[Type >> 5] &= ~(1u << (Type & 31));
        if (::setsockopt(Fd, SolIcmpV6, Icmp6FilterOption, Filter, sizeof Filter) != 0) {
            ::close(Fd);
            return -1;
        }
        FIdentifier = std::uint16_t(FRandom());
    } else if (!BindDatagramSocket(Fd, AF_INET6, FIdentifier)) {
        ::close(Fd);
        return -1;
    }
    return Fd;
}

bool TIcmp6Service::EnsureOpen() {
    if (FFd >= 0)
        return true;
    // As the IPv4 service: datagram, then the helper, then a raw socket of the process's own.
    const auto Allows = [this](TIcmpMode Mode) {
        return FMode == TIcmpMode::Auto || FMode == Mode;
    };
    FHelperPid = -1;
    if (Allows(TIcmpMode::Datagram) && (FFd = OpenSocket(TIcmpTransport::Datagram)) >= 0) {
        FRaw = FHelper = false;
        FActiveMode = "datagram";
    } else if (Allows(TIcmpMode::Helper) && (FFd = OpenSocket(TIcmpTransport::Helper)) >= 0) {
        FRaw = FHelper = true;
        FActiveMode = "helper";
    } else if (Allows(TIcmpMode::Raw) && (FFd = OpenSocket(TIcmpTransport::Raw)) >= 0) {
        FRaw = true;
        FHelper = false;
        FActiveMode = "raw";
    } else {
        FActiveMode.clear();
        return false;
    }
    FPool = TSequencePool();
    FEnded = false;
    FSocket = std::make_shared<TOwnedFd>(FFd, FHelper ? FHelperPid : -1);
    FInEpoll = FArmed = false;
    return true;
}

void TIcmp6Service::CloseAll() {
    // Whoever still uses the socket keeps it open until done; closing it takes it out of the
    // receiver's epoll set.
    FSocket.reset();
    FFd = -1;
    FInEpoll = FArmed = false;
    FActiveMode.clear();
    for (auto& [Sequence, Waiter] : FPending) {
        Waiter->Done = true;
        Waiter->IPStatus = IP_GENERAL_FAILURE;
        Waiter->Received = TSteady::now();
        Waiter->Answered.notify_one();
    }
    FPending.clear();
}

bool TIcmp6Service::StartReceiver() {
    if (FReceiverStarted)
        return true;
    if (FEpoll < 0)
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (FWakeFd < 0) {
        FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FEpoll >= 0 && FWakeFd >= 0) {
            epoll_event Event{};
            Event.events = EPOLLIN;
            Event.data.u64 = WakeTag;
            ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &Event);
        }
    }
    if (FEpoll < 0 || FWakeFd < 0)
        return false;
    try {
        std::thread([this] { Receive(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    FReceiverStarted = true;
    return true;
}

void TIcmp6Service::Receive() {
    std::array<epoll_event, 8> Events;
    for (;;) {
        const int Count = ::epoll_wait(FEpoll, Events.data(), int(Events.size()), -1);
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int I = 0; I < Count; ++I) {
            if (Events[I].data.u64 == WakeTag) {
                std::uint64_t Value = 0;
                [[maybe_unused]] auto Ignored = ::read(FWakeFd, &Value, sizeof Value);
                continue;
            }
            std::shared_ptr<TOwnedFd> Socket;
            bool Raw;
            bool Helper;
            {
                std::lock_guard Guard(FLock);
                if (!FSocket || FSocket->Fd != int(Events[I].data.u64))
                    continue; // a socket closed meanwhile
                Socket = FSocket;
                Raw = FRaw;
                Helper = FHelper;
            }
            if (!Raw)
                ReadErrors(Socket->Fd, nullptr);
            {
                std::lock_guard Reading(FReadLock);
                ReadPackets(Socket->Fd, Raw, Helper, nullptr);
            }
            LetGoIfEnded(Socket);
            std::lock_guard Guard(FLock);
            if (FSocket == Socket) {
                FArmed = false; // the one-shot event is spent
                if (FWaiters > 0)
                    Arm();
            }
        }
    }
}

// Under the lock.
void TIcmp6Service::Arm() {
    if (FArmed || !FSocket || FEpoll < 0)
        return;
    if (WatchOnce(FEpoll, FSocket->Fd, FInEpoll))
        FArmed = true;
}

// A helper that has gone takes the service's socket with it: the requests waiting end, and the
// next one starts a helper afresh.
void TIcmp6Service::LetGoIfEnded(const std::shared_ptr<TOwnedFd>& Socket) {
    if (!FEnded.load())
        return;
    std::lock_guard Guard(FLock);
    if (FSocket == Socket)
        CloseAll();
}

// Reads until the socket is empty, or until Own's answer is in (then true). The helper's
// responses carry what its raw socket read, or a send it could not make.
bool TIcmp6Service::ReadPackets(int Fd, bool Raw, bool Helper, const TWaiter6* Own) {
    // The caller holds FReadLock: FBuffer is the service's one read buffer.
    std::uint8_t* const Buffer = FBuffer.get();
    alignas(cmsghdr) char Control[ControlSize];
    for (;;) {
        sockaddr_in6 From;
        iovec Io{Buffer, ReceiveBufferSize};
        msghdr Header = ReadHeader(From, Io, Control);
        ssize_t Length = ::recvmsg(Fd, &Header, MSG_DONTWAIT);
        const TSteady::time_point Received = TSteady::now();
        if (Length < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            if (Helper) {
                FEnded = true;
                return false;
            }
            // A queued error fails the next ordinary read once with its errno.
            if (ReadErrors(Fd, Own))
                return true;
            continue;
        }
        std::int64_t RealNs = 0;
        const std::uint8_t* P = Buffer;
        if (Helper) {
            const auto Response = Length > 0
                                      ? ParseHelperResponse(std::span(Buffer, std::size_t(Length)))
                                      : std::nullopt;
            if (!Response || Response->Family != 6) {
                FEnded = true; // the end of the connection, or not the helper this service started
                return false;
            }
            if (Response->Kind == THelperResponse::SendFailed) {
                std::lock_guard Guard(FLock);
                const auto It = FPending.find(Response->Sequence);
                if (Response->Identifier != FIdentifier || It == FPending.end())
                    continue;
                TWaiter6& Waiter = *It->second;
                Waiter.SendErrno = Response->Errno ? Response->Errno : EIO;
                Waiter.IPStatus = IPStatusFromSendErrno(Waiter.SendErrno);
                Waiter.Received = Received;
                Waiter.Done = true;
                FPending.erase(It);
                Waiter.Answered.notify_one();
                if (&Waiter == Own)
                    return true;
                continue;
            }
            if (Response->Kind != THelperResponse::Answer)
                continue;
            From = sockaddr_in6{};
            From.sin6_family = AF_INET6;
            std::memcpy(&From.sin6_addr, Response->Source.data(), 16);
            From.sin6_scope_id = Response->ScopeId;
            RealNs = Response->ReceivedRealNs;
            P = Response->Packet.data();
            Length = ssize_t(Response->Packet.size());
        } else {
            RealNs = ReceiveTimeNs(Header);
        }
        if ((Header.msg_flags & MSG_TRUNC) || std::size_t(Length) < Icmp6HeaderSize)
            continue;
        const std::span<const std::uint8_t> Packet(P, std::size_t(Length));
        if (P[0] == ICMP6_ECHO_REPLY && P[1] == 0) {
            if (Deliver(Read16(P + 4), Read16(P + 6), From, nullptr, std::nullopt,
                        Packet.subspan(Icmp6HeaderSize), Received, RealNs) == Own &&
                Own)
                return true;
            continue;
        }
        // Raw sockets: an error quoting our request (IPv6 header, then the echo request's
        // header; a request carries no extension headers).
        if (!Raw || P[0] < ICMP6_DEST_UNREACH || P[0] > ICMP6_PARAM_PROBLEM)
            continue;
        if (std::size_t(Length) < Icmp6HeaderSize + Ip6HeaderSize + Icmp6HeaderSize)
            continue;
        const std::uint8_t* Inner = P + Icmp6HeaderSize;
        const std::uint8_t* InnerIcmp = Inner + Ip6HeaderSize;
        if ((Inner[0] >> 4) != 6 || Inner[6] != IPPROTO_ICMPV6 ||
            InnerIcmp[0] != ICMP6_ECHO_REQUEST)
            continue;
        in6_addr Quoted;
        std::memcpy(&Quoted, Inner + 24, sizeof Quoted);
        if (Deliver(Read16(InnerIcmp + 4), Read16(InnerIcmp + 6), From, &Quoted,
                    IPStatusFromIcmp6Error(P[0], P[1]), {}, Received, RealNs) == Own &&
            Own)
            return true;
    }
}

// Reads the error queue; true when one of the errors ended Own.
bool TIcmp6Service::ReadErrors(int Fd, const TWaiter6* Own) {
    bool Answered = false;
    std::uint8_t Quoted[64];
    alignas(cmsghdr) char Control[ControlSize];
    sockaddr_in6 Destination;
    iovec Io;
    msghdr Header;
    auto Prepare = [&]() -> msghdr& {
        Io = {Quoted, sizeof Quoted};
        Header = ReadHeader(Destination, Io, Control);
        return Header;
    };
    ReadErrorQueue(
        Fd, SOL_IPV6, IPV6_RECVERR, Prepare,
        [&](const sock_extended_err& Error, const sockaddr* Reporter, msghdr& Read,
            std::size_t Length, TSteady::time_point Received) {
            if (Length < Icmp6HeaderSize || Quoted[0] != ICMP6_ECHO_REQUEST)
                return;
            std::optional<std::int32_t> Status;
            sockaddr_in6 Offender{};
            if (Error.ee_origin == SoEeOriginIcmp6) {
                Status = IPStatusFromIcmp6Error(Error.ee_type, Error.ee_code);
                std::memcpy(&Offender, Reporter, sizeof Offender);
            } else if (Error.ee_origin == SO_EE_ORIGIN_LOCAL && Error.ee_errno == EMSGSIZE) {
                Status = IP_PACKET_TOO_BIG; // the local path MTU refused the request
                Offender = Destination;
            } else {
                return;
            }
            if (Status &&
                Deliver(Read16(Quoted + 4), Read16(Quoted + 6), Offender, &Destination.sin6_addr,
                        Status, {}, Received, ReceiveTimeNs(Read)) == Own &&
                Own)
                Answered = true;
        });
    return Answered;
}

// The request the message completed, or null. The pointer is only compared once the lock is let
// go: the waiter may be gone by then.
const TWaiter6* TIcmp6Service::Deliver(std::uint16_t Identifier, std::uint16_t Sequence,
                                       const sockaddr_in6& From, const in6_addr* QuotedDestination,
                                       std::optional<std::int32_t> ErrorStatus,
                                       std::span<const std::uint8_t> Data,
                                       TSteady::time_point Received, std::int64_t ReceivedRealNs) {
    std::lock_guard Guard(FLock);
    if (Identifier != FIdentifier)
        return nullptr;
    const auto It = FPending.find(Sequence);
    if (It == FPending.end())
        return nullptr;
    TWaiter6& Waiter = *It->second;
    if (QuotedDestination) {
        // An error: it must quote a request to this request's destination.
        if (!ErrorStatus || !SameAddress(*QuotedDestination, Waiter.Destination))
            return nullptr;
        Waiter.IPStatus = *ErrorStatus;
        Waiter.DataSize = 0;
    } else {
        // A reply: from the destination, with the data sent.
        if (!SameAddress(From.sin6_addr, Waiter.Destination) ||
            !std::ranges::equal(Data, Waiter.Payload))
            return nullptr;
        Waiter.IPStatus = IP_SUCCESS;
        Waiter.DataSize = Data.size();
    }
    Waiter.Source = From;
    Waiter.Received = Received;
    Waiter.ReceivedRealNs = ReceivedRealNs;
    Waiter.Done = true;
    FPending.erase(It);
    Waiter.Answered.notify_one();
    return &Waiter;
}

TEcho6Result TIcmp6Service::Send(const sockaddr_in6& Destination,
                                 std::span<const std::uint8_t> Payload, std::uint32_t TimeoutMs,
                                 std::uint8_t HopLimit) {
    TEcho6Result Result;
    TWaiter6 Waiter;
    Waiter.Destination = Destination.sin6_addr;
    Waiter.Payload = Payload;
    std::unique_lock Guard(FLock);
    if (!EnsureOpen() || !StartReceiver())
        return Result;
    const std::shared_ptr<TOwnedFd> Socket = FSocket;
    const int Fd = FFd;
    const bool Raw = FRaw;
    const bool Helper = FHelper;
    std::array<std::uint8_t, 16> Address;
    std::memcpy(Address.data(), &Destination.sin6_addr, 16);
    if (Helper && !HelperDestinationAllowed(6, Address)) {
        Result.IPStatus = IP_BAD_DESTINATION; // the helper sends to no such address
        return Result;
    }
    const std::uint16_t Identifier = FIdentifier;
    const auto Free = FPool.Acquire(NowMs(TSteady::now()));
    if (!Free) {
        Result.IPStatus = IP_NO_RESOURCES;
        return Result;
    }
    const std::uint16_t Sequence = *Free;
    // Registered before sending: on loopback the reply can beat sendto's return.
    FPending[Sequence] = &Waiter;
    // The kernel fills in the checksum of ICMPv6 (it covers the pseudo-header), and on datagram
    // sockets the identifier too.
    std::vector<std::uint8_t> Packet(Icmp6HeaderSize + Payload.size());
    Packet[0] = ICMP6_ECHO_REQUEST;
    Packet[4] = std::uint8_t(Identifier >> 8);
    Packet[5] = std::uint8_t(Identifier);
    Packet[6] = std::uint8_t(Sequence >> 8);
    Packet[7] = std::uint8_t(Sequence);
    std::ranges::copy(Payload, Packet.begin() + Icmp6HeaderSize);
    sockaddr_in6 To = Destination;
    To.sin6_port = 0;
    const TSteady::time_point Sent = TSteady::now();
    const std::int64_t SentRealNs = RealNowNs();
    const TSteady::time_point Deadline = Sent + std::chrono::milliseconds(TimeoutMs);
    // Socket keeps the descriptor open; a switch of mode meanwhile ends the request
    // (CloseAll completes it).
    Guard.unlock();
    ssize_t Written;
    if (Helper) {
        THelperRequest Request;
        Request.Family = 6;
        Request.Identifier = Identifier;
        Request.Sequence = Sequence;
        Request.TimeoutMs = TimeoutMs;
        Request.HopLimit = HopLimit != 0 ? HopLimit : HelperDefaultHopLimit;
        // A zone means something for link-local addresses only.
        Request.ScopeId = IN6_IS_ADDR_LINKLOCAL(&To.sin6_addr) ? To.sin6_scope_id : 0;
        Request.Address = Address;
        Request.Payload = Payload;
        Written = SendThroughHelper(Fd, Request) ? 0 : -1;
        if (Written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            FEnded = true; // the helper has gone
    } else {
        Written =
            SendPacket(Fd, Packet, reinterpret_cast<const sockaddr*>(&To), sizeof To, HopLimit);
    }
    const int SendErrno = errno;
    // On loopback the answer is queued by now, and so is a router's "time exceeded" on a chain of
    // network namespaces: read it here rather than have the receiver wake the caller.
    if (Written >= 0 && FReadLock.try_lock()) {
        ReadPackets(Fd, Raw, Helper, &Waiter);
        FReadLock.unlock();
    }
    LetGoIfEnded(Socket);
    Guard.lock();
    if (Written < 0 || Waiter.SendErrno != 0) {
        if (!Waiter.Done)
            FPending.erase(Sequence);
        FPool.Release(Sequence, NowMs(TSteady::now()) + SequenceGraceMs);
        Result.IPStatus = Waiter.Done ? Waiter.IPStatus : IPStatusFromSendErrno(SendErrno);
        return Result;
    }
    if (!Waiter.Done) {
        ++FWaiters;
        Arm();
        Waiter.Answered.wait_until(Guard, Deadline, [&] { return Waiter.Done; });
        --FWaiters;
    }
    if (!Waiter.Done)
        FPending.erase(Sequence);
    if (Waiter.SendErrno != 0) {
        // The helper could not send it: as when a send of this process's own fails.
        Result.IPStatus = Waiter.IPStatus;
        if (Fd == FFd)
            FPool.Release(Sequence, NowMs(TSteady::now()) + SequenceGraceMs);
        return Result;
    }
    Conclude(Result, Waiter, Sent, SentRealNs);
    if (Fd == FFd)
        FPool.Release(Sequence, std::max(NowMs(TSteady::now()), NowMs(Deadline)) + SequenceGraceMs);
    return Result;
}

} // namespace

// Each ICMPv6 error as the IPv4 error it corresponds to:
//   destination unreachable 1/0 no route             -> IP_DEST_NET_UNREACHABLE  (IPv4 3/0)
//                           1/1 administratively prohibited,
//                           1/5 source address failed policy,
//                           1/6 reject route          -> IP_DEST_HOST_UNREACHABLE (IPv4 3/13)
//                           1/2 beyond scope of source -> IP_DEST_NET_UNREACHABLE
//                           1/3 address unreachable   -> IP_DEST_HOST_UNREACHABLE (IPv4 3/1)
//                           1/4 port unreachable      -> IP_DEST_PORT_UNREACHABLE (IPv4 3/3)
//                           other codes               -> IP_DEST_HOST_UNREACHABLE
//   packet too big          2                         -> IP_PACKET_TOO_BIG (IPv4 3/4)
//   time exceeded           3/0 hop limit             -> IP_TTL_EXPIRED_TRANSIT (IPv4 11/0)
//                           3/1 reassembly            -> IP_TTL_EXPIRED_REASSEM (IPv4 11/1)
//   parameter problem       4                         -> IP_PARAM_PROBLEM (IPv4 12)
// Other types end no request.
std::optional<std::int32_t> IPStatusFromIcmp6Error(std::uint8_t Type, std::uint8_t Code) {
    switch (Type) {
    case ICMP6_DEST_UNREACH:
        switch (Code) {
        case 0:
        case 2:
            return IPStatusFromIcmpError(ICMP_TYPE_DEST_UNREACH, 0);
        case 4:
            return IPStatusFromIcmpError(ICMP_TYPE_DEST_UNREACH, 3);
        case 3:
            return IPStatusFromIcmpError(ICMP_TYPE_DEST_UNREACH, 1);
        default:
            return IPStatusFromIcmpError(ICMP_TYPE_DEST_UNREACH, 13);
        }
    case ICMP6_PACKET_TOO_BIG:
        return IPStatusFromIcmpError(ICMP_TYPE_DEST_UNREACH, 4);
    case ICMP6_TIME_EXCEEDED:
        return IPStatusFromIcmpError(ICMP_TYPE_TIME_EXCEEDED, Code == 1 ? 1 : 0);
    case ICMP6_PARAM_PROBLEM:
        return IPStatusFromIcmpError(ICMP_TYPE_PARAM_PROBLEM, 0);
    default:
        return std::nullopt;
    }
}

TIcmpHandle Icmp6CreateFile() {
    return TIcmp6Service::Instance().CreateHandle();
}

std::uint32_t Icmp6SendEcho2(TIcmpHandle IcmpHandle, const sockaddr_in6& DestinationAddress,
                             const void* RequestData, std::uint32_t RequestSize,
                             const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                             std::uint32_t ReplySize, std::uint32_t Timeout) {
    TIcmp6Service& Service = TIcmp6Service::Instance();
    const std::uint8_t HopLimit = RequestOptions ? RequestOptions->Ttl : 0;
    return SendEchoInto<ICMPV6_ECHO_REPLY>(
        Service, IcmpHandle,
        DestinationAddress.sin6_family == AF_INET6 &&
            !IN6_IS_ADDR_UNSPECIFIED(&DestinationAddress.sin6_addr) &&
            !IN6_IS_ADDR_MULTICAST(&DestinationAddress.sin6_addr),
        MaxEchoData, RequestData, RequestSize, ReplyBuffer, ReplySize,
        [&](std::span<const std::uint8_t> Payload) {
            return Service.Send(DestinationAddress, Payload, Timeout, HopLimit);
        },
        [](ICMPV6_ECHO_REPLY& Record, const TEcho6Result& Result) {
            Record.Address.sin6_port = Result.Source.sin6_port;
            Record.Address.sin6_flowinfo = Result.Source.sin6_flowinfo;
            std::memcpy(Record.Address.sin6_addr, &Result.Source.sin6_addr, 16);
            Record.Address.sin6_scope_id = Result.Source.sin6_scope_id;
        });
}

bool Icmp6CloseHandle(TIcmpHandle IcmpHandle) {
    return TIcmp6Service::Instance().CloseHandle(IcmpHandle);
}

bool Icmp6ServiceSetMode(TIcmpMode Mode) {
    return TIcmp6Service::Instance().SetMode(Mode);
}

std::string Icmp6ServiceActiveMode() {
    return TIcmp6Service::Instance().ActiveMode();
}

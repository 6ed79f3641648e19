#include "icmp_dll.h"

#include "zsPingHelper.h"
#include "zsPingStatus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using TSteady = std::chrono::steady_clock;

// A sequence number stays out of use this long after its request's timeout, so a late reply to
// an old request cannot complete a new one.
constexpr std::int64_t SequenceGraceMs = 1000;
// Each channel has 65,536 sequence numbers; beyond this many channels a request gets
// IP_NO_RESOURCES instead of yet another socket.
constexpr std::size_t MaxChannels = 64;
// How long a send may wait for room in a full socket buffer before it counts as no resources.
constexpr int SendTimeoutMs = 1000;
// Room for the largest IPv4 packet.
constexpr std::size_t ReceiveBufferSize = 65536;
// The receiver's eventfd is woken when the watch list changes and, with this set, at exit.
constexpr std::uint64_t WakeTag = ~std::uint64_t(0);
std::atomic<bool> ServiceExiting{false};

std::int64_t NowMs(TSteady::time_point T) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(T.time_since_epoch()).count();
}

struct TSocket {
    int Fd = -1;
    bool Raw = false;
    // Whoever reads the socket holds this: the receiver thread, or a caller right after sending
    // (on loopback the reply is usually queued by then, and reading it on the spot saves two
    // thread switches). Nobody waits for it: a thread that finds it taken raises MoreToRead
    // instead, and the holder reads again before it leaves.
    std::atomic<bool> Reading{false};
    std::atomic<bool> MoreToRead{false};
    explicit TSocket(int F, bool R) : Fd(F), Raw(R) {}
    ~TSocket() { ::close(Fd); }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
};

// One identifier and its sequence numbers. Datagram channels each own a socket (the kernel
// assigns the identifier); raw channels share the one raw socket and pick their identifiers.
struct TChannel {
    std::shared_ptr<TSocket> Socket;
    std::uint16_t Identifier = 0;
    TSequencePool Pool;
};

// A caller waiting in IcmpSendEcho; lives on its stack.
struct TWaiter : TEchoMatcher::TRequest {
    std::condition_variable Wake;
    TSteady::time_point Received;
};

struct TEchoResult {
    bool Replied = false; // an echo reply or an ICMP error arrived
    std::int32_t IPStatus = IP_GENERAL_FAILURE;
    std::uint32_t RoundTripTime = 0;
    std::uint32_t Source = 0;
    std::uint8_t Ttl = 0;
    std::uint8_t Tos = 0;
    std::size_t DataSize = 0;
};

// The buffers of one recvmsg call: the sender's address, room for ControlSize bytes of
// ancillary data, and Buffer for the packet. Made afresh for every call, since recvmsg
// shortens the lengths in Header; not copyable, as Header points into the object itself.
template <std::size_t ControlSize>
struct TReceiveBuffers {
    sockaddr_in From{};
    alignas(cmsghdr) std::array<char, ControlSize> Control;
    iovec Io;
    msghdr Header{};

    explicit TReceiveBuffers(std::vector<std::uint8_t>& Buffer) : Io{Buffer.data(), Buffer.size()} {
        Header.msg_name = &From;
        Header.msg_namelen = sizeof From;
        Header.msg_iov = &Io;
        Header.msg_iovlen = 1;
        Header.msg_control = Control.data();
        Header.msg_controllen = Control.size();
    }
    TReceiveBuffers(const TReceiveBuffers&) = delete;
    TReceiveBuffers& operator=(const TReceiveBuffers&) = delete;
};

class TIcmpService {
public:
    // Deliberately never destroyed: ping loop threads are detached and may still be inside
    // IcmpSendEcho while static destructors run at exit.
    static TIcmpService& Instance() {
        static TIcmpService* Service = new TIcmpService;
        return *Service;
    }

    TIcmpHandle CreateHandle() {
        std::lock_guard Guard(FLock);
        if (!EnsureOpen())
            return INVALID_HANDLE_VALUE;
        const TIcmpHandle Handle = FNextHandle++;
        FHandles.insert(Handle);
        return Handle;
    }

    bool CloseHandle(TIcmpHandle Handle) {
        std::lock_guard Guard(FLock);
        return FHandles.erase(Handle) == 1;
    }

    bool IsHandle(TIcmpHandle Handle) {
        std::lock_guard Guard(FLock);
        return FHandles.contains(Handle);
    }

    bool SetMode(TIcmpMode Mode) {
        std::lock_guard Guard(FLock);
        FMode = Mode;
        CloseAll();
        return EnsureOpen();
    }

    std::string ActiveMode() {
        std::lock_guard Guard(FLock);
        return FActiveMode;
    }

    // Opens a socket if none is open; for the start-up probe.
    bool Probe(std::string& Mode, int& DatagramErrno, int& RawErrno) {
        std::lock_guard Guard(FLock);
        const bool Works = EnsureOpen();
        Mode = FActiveMode;
        DatagramErrno = FDatagramErrno;
        RawErrno = FRawErrno;
        return Works;
    }

    TEchoResult Send(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                     std::uint32_t TimeoutMs);

private:
    TIcmpService() = default;

    bool EnsureOpen();
    std::shared_ptr<TChannel> OpenChannel();
    std::shared_ptr<TSocket> OpenSocket(bool Raw);
    void CloseAll();
    bool StartReceiver();
    void Receive();
    void Drain(TSocket& Socket, std::vector<std::uint8_t>& Buffer);
    void ReadPackets(TSocket& Socket, std::vector<std::uint8_t>& Buffer);
    void ReadErrors(TSocket& Socket, std::vector<std::uint8_t>& Buffer);
    void Deliver(const TIcmpMessage& Message, TSteady::time_point Received);

    std::mutex FLock;
    TIcmpMode FMode = TIcmpMode::Auto;
    std::string FActiveMode; // "datagram", "raw" or "" while nothing is open
    std::vector<std::shared_ptr<TChannel>> FChannels;
    std::shared_ptr<TSocket> FRawSocket;
    std::unordered_map<int, std::shared_ptr<TSocket>> FWatched; // by descriptor, for epoll
    std::atomic<std::uint64_t> FWatchedVersion{0};
    TEchoMatcher FMatcher;
    std::unordered_set<TIcmpHandle> FHandles;
    TIcmpHandle FNextHandle = 1;
    int FDatagramErrno = 0;
    int FRawErrno = 0;
    int FEpoll = -1;
    int FWakeFd = -1;
    bool FReceiverStarted = false;
    std::mt19937 FRandom{std::random_device{}()};
};

std::shared_ptr<TSocket> TIcmpService::OpenSocket(bool Raw) {
    const int Fd = ::socket(AF_INET, (Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Fd < 0) {
        (Raw ? FRawErrno : FDatagramErrno) = errno;
        return nullptr;
    }
    auto Socket = std::make_shared<TSocket>(Fd, Raw);
    const int On = 1;
    // Room for bursts of replies from hundreds of callers.
    const int ReceiveBuffer = 4 << 20;
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    const timeval SendTimeout{SendTimeoutMs / 1000, (SendTimeoutMs % 1000) * 1000};
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &SendTimeout, sizeof SendTimeout);
    if (Raw) {
        // A raw socket sees every ICMP packet of the host; keep only what can answer a request.
        icmp_filter Filter{};
        Filter.data =
            ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) | (1U << ICMP_SOURCE_QUENCH) |
              (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
        if (::setsockopt(Fd, SOL_RAW, ICMP_FILTER, &Filter, sizeof Filter) != 0) {
            FRawErrno = errno;
            return nullptr;
        }
    } else {
        // Without IP_RECVERR a datagram socket silently drops the ICMP errors for its requests.
        sockaddr_in Local{};
        Local.sin_family = AF_INET;
        socklen_t Length = sizeof Local;
        if (::setsockopt(Fd, SOL_IP, IP_RECVERR, &On, sizeof On) != 0 ||
            ::bind(Fd, reinterpret_cast<sockaddr*>(&Local), sizeof Local) != 0 ||
            ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Length) != 0) {
            FDatagramErrno = errno;
            return nullptr;
        }
        ::setsockopt(Fd, SOL_IP, IP_RECVTTL, &On, sizeof On);
        ::setsockopt(Fd, SOL_IP, IP_RECVTOS, &On, sizeof On);
    }
    if (!StartReceiver())
        return nullptr;
    epoll_event Event{};
    // Edge-triggered: a packet already being read by a caller must not keep waking the
    // receiver; Drain's hand-over makes sure nothing is left behind.
    Event.events = EPOLLIN | EPOLLERR | EPOLLET;
    Event.data.u64 = std::uint64_t(Fd);
    if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, Fd, &Event) != 0)
        return nullptr;
    FWatched[Fd] = Socket;
    ++FWatchedVersion;
    return Socket;
}

std::shared_ptr<TChannel> TIcmpService::OpenChannel() {
    auto Channel = std::make_shared<TChannel>();
    if (FActiveMode == "datagram") {
        Channel->Socket = OpenSocket(false);
        if (!Channel->Socket)
            return nullptr;
        sockaddr_in Local{};
        socklen_t Length = sizeof Local;
        ::getsockname(Channel->Socket->Fd, reinterpret_cast<sockaddr*>(&Local), &Length);
        Channel->Identifier = ntohs(Local.sin_port);
    } else {
        if (!FRawSocket)
            FRawSocket = OpenSocket(true);
        if (!FRawSocket)
            return nullptr;
        Channel->Socket = FRawSocket;
        // Random identifiers make a clash with another pinger on the host unlikely; the echoed
        // data check catches the rest.
        bool Taken = true;
        while (Taken) {
            Channel->Identifier = std::uint16_t(FRandom());
            Taken = std::ranges::any_of(FChannels, [&](const auto& Other) {
                return Other->Identifier == Channel->Identifier;
            });
        }
    }
    FChannels.push_back(Channel);
    return Channel;
}

bool TIcmpService::EnsureOpen() {
    if (!FChannels.empty())
        return true;
    if (FMode != TIcmpMode::Raw) {
        FActiveMode = "datagram";
        if (OpenChannel())
            return true;
    }
    if (FMode != TIcmpMode::Datagram) {
        FActiveMode = "raw";
        if (OpenChannel())
            return true;
    }
    FActiveMode.clear();
    return false;
}

void TIcmpService::CloseAll() {
    for (auto& [Fd, Socket] : FWatched)
        ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, Fd, nullptr);
    // The receiver may still hold a socket for a moment; it closes when the last holder lets go.
    FWatched.clear();
    ++FWatchedVersion;
    if (FWakeFd >= 0) {
        // The receiver's copy of the watch list holds the old sockets open until it looks again.
        const std::uint64_t One = 1;
        [[maybe_unused]] auto Ignored = ::write(FWakeFd, &One, sizeof One);
    }
    FChannels.clear();
    FRawSocket.reset();
    FActiveMode.clear();
    FMatcher.Clear([](TEchoMatcher::TRequest* Request) {
        auto* Waiter = static_cast<TWaiter*>(Request);
        Waiter->Done = true;
        Waiter->IPStatus = IP_GENERAL_FAILURE;
        Waiter->Received = TSteady::now();
        Waiter->Wake.notify_one();
    });
}

bool TIcmpService::StartReceiver() {
    if (FReceiverStarted)
        return true;
    if (FEpoll < 0)
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (FWakeFd < 0)
        FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FEpoll < 0 || FWakeFd < 0)
        return false;
    epoll_event Event{};
    Event.events = EPOLLIN;
    Event.data.u64 = WakeTag;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &Event);
    // Nobody joins this thread: at exit it is woken and leaves, and the process does not wait.
    try {
        std::thread([this] { Receive(); }).detach();
    } catch (const std::system_error&) {
        return false; // out of threads: no handle, as when no socket opens
    }
    FReceiverStarted = true;
    static const int WakeFd = FWakeFd;
    std::atexit([] {
        ServiceExiting.store(true);
        const std::uint64_t One = 1;
        [[maybe_unused]] auto Ignored = ::write(WakeFd, &One, sizeof One);
    });
    return true;
}

void TIcmpService::Receive() {
    std::vector<std::uint8_t> Buffer(ReceiveBufferSize);
    std::unordered_map<int, std::shared_ptr<TSocket>> Watched;
    std::uint64_t Version = ~std::uint64_t(0);
    std::array<epoll_event, 32> Events;
    for (;;) {
        const int Count = ::epoll_wait(FEpoll, Events.data(), int(Events.size()), -1);
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int I = 0; I < Count; ++I) {
            if (Events[I].data.u64 == WakeTag) {
                std::uint64_t Count = 0;
                [[maybe_unused]] auto Ignored = ::read(FWakeFd, &Count, sizeof Count);
                if (ServiceExiting.load())
                    return;
                continue; // the watch list changed
            }
            // A private copy of the watch list spares the shared lock on every packet.
            if (Version != FWatchedVersion.load()) {
                std::lock_guard Guard(FLock);
                Watched = FWatched;
                Version = FWatchedVersion.load();
            }
            const auto It = Watched.find(int(Events[I].data.u64));
            if (It != Watched.end())
                Drain(*It->second, Buffer);
        }
        // Let go of sockets the service has closed.
        if (Version != FWatchedVersion.load()) {
            std::lock_guard Guard(FLock);
            Watched = FWatched;
            Version = FWatchedVersion.load();
        }
    }
}

void TIcmpService::Drain(TSocket& Socket, std::vector<std::uint8_t>& Buffer) {
    // All seq_cst: a reader that lets go of the socket and then finds MoreToRead clear cannot
    // miss a raise by a thread that found the socket taken.
    Socket.MoreToRead.store(true);
    while (Socket.MoreToRead.load()) {
        if (Socket.Reading.exchange(true))
            return; // the holder sees MoreToRead once it has let go
        struct TRelease {
            std::atomic<bool>& Flag;
            ~TRelease() { Flag.store(false); }
        } Release{Socket.Reading};
        Socket.MoreToRead.store(false);
        if (!Socket.Raw)
            ReadErrors(Socket, Buffer);
        ReadPackets(Socket, Buffer);
    }
}

void TIcmpService::ReadPackets(TSocket& Socket, std::vector<std::uint8_t>& Buffer) {
    for (;;) {
        TReceiveBuffers<256> Receive(Buffer);
        msghdr& Header = Receive.Header;
        const ssize_t Length = ::recvmsg(Socket.Fd, &Header, MSG_DONTWAIT);
        const TSteady::time_point Received = TSteady::now();
        if (Length < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            // A queued ICMP error makes the next ordinary read fail once with its errno.
            if (!Socket.Raw)
                ReadErrors(Socket, Buffer);
            continue;
        }
        if (Header.msg_flags & MSG_TRUNC)
            continue;
        TIcmpMessage Message;
        const std::span<const std::uint8_t> Packet(Buffer.data(), std::size_t(Length));
        // The kernel verifies ICMP checksums before a datagram socket sees the packet, but a raw
        // socket gets it first.
        if (!ParseIcmpPacket(Packet, Socket.Raw, Socket.Raw, Receive.From.sin_addr.s_addr, Message))
            continue;
        if (!Socket.Raw) {
            for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C)) {
                if (C->cmsg_level != SOL_IP)
                    continue;
                if (C->cmsg_type == IP_TTL) {
                    int Ttl = 0;
                    std::memcpy(&Ttl, CMSG_DATA(C), sizeof Ttl);
                    Message.Ttl = std::uint8_t(Ttl);
                } else if (C->cmsg_type == IP_TOS) {
                    Message.Tos = *reinterpret_cast<const std::uint8_t*>(CMSG_DATA(C));
                }
            }
        }
        Deliver(Message, Received);
    }
}

void TIcmpService::ReadErrors(TSocket& Socket, std::vector<std::uint8_t>& Buffer) {
    for (;;) {
        TReceiveBuffers<512> Receive(Buffer);
        msghdr& Header = Receive.Header;
        const ssize_t Length = ::recvmsg(Socket.Fd, &Header, MSG_ERRQUEUE | MSG_DONTWAIT);
        const TSteady::time_point Received = TSteady::now();
        if (Length < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C)) {
            if (C->cmsg_level != SOL_IP || C->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err Error;
            std::memcpy(&Error, CMSG_DATA(C), sizeof Error);
            std::uint8_t Type = Error.ee_type;
            std::uint8_t Code = Error.ee_code;
            std::uint32_t Offender = 0;
            if (Error.ee_origin == SO_EE_ORIGIN_ICMP) {
                sockaddr_in From;
                std::memcpy(&From,
                            SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(C))),
                            sizeof From);
                Offender = From.sin_addr.s_addr;
            } else if (Error.ee_origin == SO_EE_ORIGIN_LOCAL && Error.ee_errno == EMSGSIZE) {
                // The local path MTU refused the request: what a "fragmentation needed" says.
                Type = ICMP_TYPE_DEST_UNREACH;
                Code = 4;
            } else {
                continue;
            }
            TIcmpMessage Message;
            if (ParseQueuedIcmpError(
                    std::span<const std::uint8_t>(Buffer.data(), std::size_t(Length)),
                    Receive.From.sin_addr.s_addr, Type, Code, Offender, Message))
                Deliver(Message, Received);
        }
    }
}

void TIcmpService::Deliver(const TIcmpMessage& Message, TSteady::time_point Received) {
    std::lock_guard Guard(FLock);
    auto* Waiter = static_cast<TWaiter*>(FMatcher.Deliver(Message));
    if (!Waiter)
        return;
    Waiter->Received = Received;
    // Notified under the lock: once it is released the waiter may return and free itself.
    Waiter->Wake.notify_one();
}

TEchoResult TIcmpService::Send(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                               std::uint32_t TimeoutMs) {
    TEchoResult Result;
    TWaiter Waiter;
    Waiter.Destination = Destination;
    Waiter.Payload = Payload;
    std::shared_ptr<TChannel> Channel;
    std::uint16_t Sequence = 0;
    {
        std::lock_guard Guard(FLock);
        if (!EnsureOpen())
            return Result;
        const std::int64_t Now = NowMs(TSteady::now());
        for (const auto& Candidate : FChannels) {
            if (const auto Free = Candidate->Pool.Acquire(Now)) {
                Channel = Candidate;
                Sequence = *Free;
                break;
            }
        }
        if (!Channel && FChannels.size() < MaxChannels) {
            Channel = OpenChannel();
            if (Channel)
                Sequence = Channel->Pool.Acquire(Now).value_or(0);
        }
        if (!Channel) {
            Result.IPStatus = IP_NO_RESOURCES;
            return Result;
        }
        // Registered before sending: on loopback the reply can beat sendto's return.
        FMatcher.Add(Channel->Identifier, Sequence, &Waiter);
    }

    const std::vector<std::uint8_t> Packet =
        BuildEchoRequest(Channel->Identifier, Sequence, Payload);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = Destination;
    const TSteady::time_point Sent = TSteady::now();
    ssize_t Written;
    do {
        Written = ::sendto(Channel->Socket->Fd, Packet.data(), Packet.size(), 0,
                           reinterpret_cast<const sockaddr*>(&To), sizeof To);
    } while (Written < 0 && errno == EINTR);
    const int SendErrno = errno;
    if (Written >= 0) {
        thread_local std::vector<std::uint8_t> Buffer(ReceiveBufferSize);
        Drain(*Channel->Socket, Buffer);
    }

    std::unique_lock Guard(FLock);
    if (Written < 0) {
        FMatcher.Remove(Channel->Identifier, Sequence);
        Channel->Pool.Release(Sequence, NowMs(TSteady::now()) + SequenceGraceMs);
        // The service may have been switched over meanwhile and already ended the request.
        Result.IPStatus = Waiter.Done ? Waiter.IPStatus : IPStatusFromSendErrno(SendErrno);
        return Result;
    }
    const TSteady::time_point Deadline = Sent + std::chrono::milliseconds(TimeoutMs);
    Waiter.Wake.wait_until(Guard, Deadline, [&] { return Waiter.Done; });
    if (!Waiter.Done) {
        FMatcher.Remove(Channel->Identifier, Sequence);
        Result.IPStatus = IP_REQ_TIMED_OUT;
    } else {
        Result.Replied = Waiter.IPStatus != IP_GENERAL_FAILURE;
        Result.IPStatus = Waiter.IPStatus;
        Result.RoundTripTime = std::uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(Waiter.Received - Sent).count());
        Result.Source = Waiter.Source;
        Result.Ttl = Waiter.Ttl;
        Result.Tos = Waiter.Tos;
        Result.DataSize = Waiter.DataSize;
    }
    Channel->Pool.Release(Sequence,
                          std::max(NowMs(TSteady::now()), NowMs(Deadline)) + SequenceGraceMs);
    return Result;
}

std::string ProgramPath() {
    std::array<char, 4096> Path{};
    const ssize_t Length = ::readlink("/proc/self/exe", Path.data(), Path.size() - 1);
    return Length > 0 ? std::string(Path.data(), std::size_t(Length)) : std::string("vantorel");
}

} // namespace

TIcmpHandle IcmpCreateFile() {
    return TIcmpService::Instance().CreateHandle();
}

std::uint32_t IcmpSendEcho(TIcmpHandle IcmpHandle, std::uint32_t DestinationAddress,
                           const void* RequestData, std::uint32_t RequestSize,
                           const IP_OPTION_INFORMATION* /*RequestOptions*/, void* ReplyBuffer,
                           std::uint32_t ReplySize, std::uint32_t Timeout) {
    constexpr std::size_t StatusEnd = offsetof(ICMP_ECHO_REPLY, RoundTripTime) + 4;
    if (!ReplyBuffer || ReplySize < StatusEnd)
        return 0;
    ICMP_ECHO_REPLY Record{};
    auto Finish = [&](std::uint32_t Replies) {
        std::memcpy(ReplyBuffer, &Record,
                    std::min<std::size_t>(ReplySize, sizeof(ICMP_ECHO_REPLY)));
        return Replies;
    };
    if (ReplySize < sizeof(ICMP_ECHO_REPLY)) {
        Record.Status = IP_BUF_TOO_SMALL;
        return Finish(0);
    }
    TIcmpService& Service = TIcmpService::Instance();
    if (!Service.IsHandle(IcmpHandle)) {
        Record.Status = IP_GENERAL_FAILURE;
        return Finish(0);
    }
    if (RequestSize > 0 && !RequestData) {
        Record.Status = IP_BAD_REQ;
        return Finish(0);
    }
    if (RequestSize > ICMP_MAX_ECHO_DATA) {
        Record.Status = IP_PACKET_TOO_BIG; // no IPv4 packet can carry it
        return Finish(0);
    }
    if (DestinationAddress == INADDR_ANY || DestinationAddress == INADDR_BROADCAST) {
        Record.Status = IP_BAD_DESTINATION;
        return Finish(0);
    }
    const std::span<const std::uint8_t> Payload(static_cast<const std::uint8_t*>(RequestData),
                                                RequestSize);
    const TEchoResult Result = Service.Send(DestinationAddress, Payload, Timeout);
    Record.Status = std::uint32_t(Result.IPStatus);
    if (!Result.Replied)
        return Finish(0);
    Record.Address = Result.Source;
    Record.RoundTripTime = Result.RoundTripTime;
    Record.Options.Ttl = Result.Ttl;
    Record.Options.Tos = Result.Tos;
    if (Result.IPStatus != 0)
        return Finish(0);
    if (Result.DataSize > ReplySize - sizeof(ICMP_ECHO_REPLY)) {
        // The echo came back but its data does not fit behind the record.
        Record.Status = IP_BUF_TOO_SMALL;
        return Finish(0);
    }
    // The echoed data was checked to equal the request's.
    Record.DataSize = std::uint16_t(Result.DataSize);
    Record.Data = sizeof(ICMP_ECHO_REPLY);
    if (Result.DataSize > 0)
        std::memcpy(static_cast<std::uint8_t*>(ReplyBuffer) + sizeof(ICMP_ECHO_REPLY), RequestData,
                    Result.DataSize);
    return Finish(1);
}

bool IcmpCloseHandle(TIcmpHandle IcmpHandle) {
    return TIcmpService::Instance().CloseHandle(IcmpHandle);
}

bool IcmpServiceSetMode(TIcmpMode Mode) {
    return TIcmpService::Instance().SetMode(Mode);
}

std::string IcmpServiceActiveMode() {
    return TIcmpService::Instance().ActiveMode();
}

TIcmpProbeResult ProbeIcmp() {
    TIcmpProbeResult Result;
    int DatagramErrno = 0;
    int RawErrno = 0;
    Result.Works = TIcmpService::Instance().Probe(Result.Mode, DatagramErrno, RawErrno);
    if (Result.Works)
        return Result;
    Result.Mode.clear();
    Result.Problem =
        "Vantorel cannot send ping requests: this system allows it neither an unprivileged ICMP "
        "socket (" +
        std::string(std::strerror(DatagramErrno)) + ") nor a raw ICMP socket (" +
        std::strerror(RawErrno) +
        "). Every monitor will show \"Cannot Resolve IP Address\" until one of them is "
        "allowed.\n\nEither put one of your groups into the kernel's ping group range, for all "
        "users:\n    sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n(add the same "
        "line to a file in /etc/sysctl.d/ to keep it after a restart), or let this program "
        "open raw sockets:\n    sudo setcap cap_net_raw+ep " +
        ProgramPath() + "\nand start Vantorel again.";
    return Result;
}

#include "icmp_dll.h"

#include "icmp_dll_common.h"
#include "zsFutex.h"
#include "zsIcmpTransport.h"
#include "zsPingHelper.h"
#include "zsPingStatus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
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
#include <sys/wait.h>
#include <unistd.h>

using namespace EchoService;

namespace {

// Each channel has 65,536 sequence numbers; beyond this many channels a request gets
// IP_NO_RESOURCES instead of yet another socket.
constexpr std::size_t MaxChannels = 64;
// Room for the largest IPv4 packet, and for the ICMP helper's response that carries one.
constexpr std::size_t ReceiveBufferSize = HelperMaxResponseSize;
// Packets read with one system call: on a raw socket other programs' echo replies come in too,
// and a caller usually finds one or two of them queued before its own.
constexpr std::size_t ReadBatch = 8;
// After a wake-up for a socket the receiver thread leaves the socket unwatched this long before
// it looks again, so that under a steady stream of packets it wakes at most this often; callers
// read most packets themselves meanwhile. Round trips come from the kernel's receive times, so a
// reply read later than it arrived still reports its true round trip.
constexpr auto RewatchDelay = std::chrono::milliseconds(20);
// Set at exit, when the receiver's eventfd is woken for it to leave (as it is woken too when the
// watch list changes).
std::atomic<bool> ServiceExiting{false};

struct TSocket {
    int Fd = -1;
    bool Raw = false;    // packets come with their IP header: a raw socket's, or the helper's
    bool Helper = false; // the connection to the ICMP helper
    pid_t HelperPid = -1;
    // The helper has gone (its end is closed): the service lets go of the connection.
    std::atomic<bool> Ended{false};
    std::uint16_t Identifier = 0; // a datagram socket's, which the kernel assigned
    // Whoever reads the socket holds this: the receiver thread, or a caller right after sending
    // (on loopback the reply is usually queued by then, and reading it on the spot saves two
    // thread switches). Nobody waits for it: a thread that finds it taken raises MoreToRead
    // instead, and the holder reads again before it leaves.
    std::atomic<bool> Reading{false};
    std::atomic<bool> MoreToRead{false};
    // Raised with MoreToRead by a thread that wants the error queue read too.
    std::atomic<bool> ErrorsToRead{false};
    // Packets read so far, by anyone: tells the receiver whether the socket is busy.
    std::atomic<std::uint64_t> PacketsRead{0};
    // The read buffers belong to the socket and serve whoever holds Reading, so no thread keeps
    // any of its own: room for ReadBatch packets of the largest size, each with its sender and
    // ancillary data. The packet room is left uninitialised: only the pages packets fill are
    // ever touched.
    std::unique_ptr<std::uint8_t[]> Packets =
        std::make_unique_for_overwrite<std::uint8_t[]>(ReadBatch * ReceiveBufferSize);
    alignas(cmsghdr) std::array<char, ReadBatch * ControlSize> Control;
    std::array<sockaddr_in, ReadBatch> From;
    std::array<iovec, ReadBatch> Io;
    std::array<mmsghdr, ReadBatch> Messages;
    // Under the service lock. The receiver thread watches the socket only while callers wait
    // on it past their own read after sending: a reply that comes at once is read by its
    // caller, and then nobody needs waking for it. Watched: an event is due for the next
    // packet (epoll one-shot). Deferred: the receiver has just looked and looks again after
    // RewatchDelay.
    int Waiters = 0;
    bool InEpoll = false;
    bool Watched = false;
    bool Deferred = false;
    bool Closed = false;

    explicit TSocket(int F, bool R) : Fd(F), Raw(R) {}
    TSocket(int F, pid_t Pid) : Fd(F), Raw(true), Helper(true), HelperPid(Pid) {}
    ~TSocket() {
        if (Helper)
            EndIcmpHelper(Fd, HelperPid);
        else
            ::close(Fd);
    }

    // Sets the headers of the first Count buffers up for a read, afresh every time: the kernel
    // shortens the lengths in them.
    void PrepareRead(std::size_t Count) {
        for (std::size_t I = 0; I < Count; ++I) {
            Io[I] = {Packets.get() + I * ReceiveBufferSize, ReceiveBufferSize};
            msghdr& Header = Messages[I].msg_hdr;
            Header = msghdr{};
            Header.msg_name = &From[I];
            Header.msg_namelen = sizeof From[I];
            Header.msg_iov = &Io[I];
            Header.msg_iovlen = 1;
            Header.msg_control = Control.data() + I * ControlSize;
            Header.msg_controllen = ControlSize;
            Messages[I].msg_len = 0;
        }
    }
    std::span<const std::uint8_t> Packet(std::size_t I, std::size_t Length) const {
        return {Packets.get() + I * ReceiveBufferSize, Length};
    }
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

// A caller waiting in IcmpSendEcho; lives on its stack. Whoever completes it does so under the
// service lock, then raises Signal and wakes it; the waiter takes the lock again before it
// returns, so Signal is never touched after the waiter is gone.
struct TWaiter : TEchoMatcher::TRequest {
    std::atomic<std::uint32_t> Signal{0};
    bool Sleeping = false; // under the service lock
    TSteady::time_point Received;
    std::int64_t ReceivedRealNs = 0; // the kernel's receive time, 0 when it gave none
    int SendErrno = 0;               // the ICMP helper could not send the request
    bool Async = false;              // a TAsyncWaiter: nobody sleeps on it
};

// A request made without waiting. It belongs to its sender until the send is over (Launched),
// then to the service, which runs Done once it is complete and deletes it.
struct TAsyncWaiter : TWaiter {
    std::vector<std::uint8_t> Data; // the payload, which the echoed data is checked against
    TIcmpAsyncDone Finish;
    std::shared_ptr<TChannel> Channel;
    std::uint16_t Sequence = 0;
    std::uint64_t Route = 0;
    std::uint64_t Serial = 0;
    std::uint32_t DataRoom = 0;
    TSteady::time_point Sent;
    TSteady::time_point Deadline;
    std::int64_t SentRealNs = 0;
    std::int64_t SendReturnedRealNs = 0;
    // Under the service lock.
    bool Launched = false;
    bool Watching = false; // counted in its socket's Waiters, its deadline with the receiver
};

using TIcmpResult = EchoService::TEchoResult<std::uint32_t>;

class TIcmpService : public TServiceBase<TIcmpService> {
public:
    TIcmpHandle CreateHandle() {
        // Every request makes a handle; once the service stands, that takes no service lock.
        if (!FReady.load()) {
            std::lock_guard Guard(FLock);
            if (!EnsureOpen() || !StartReceiver())
                return INVALID_HANDLE_VALUE;
            FReady = true;
        }
        return FHandles.Open();
    }

    // Opens a socket if none is open; for the start-up probe.
    bool Probe(std::string& Mode, int& DatagramErrno, int& HelperErrno) {
        std::lock_guard Guard(FLock);
        const bool Works = EnsureOpen();
        Mode = FActiveMode;
        DatagramErrno = FDatagramErrno;
        HelperErrno = FHelperErrno;
        return Works;
    }

    // HopLimit 0 sends with the system's default time to live.
    TIcmpResult Send(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                     std::uint32_t TimeoutMs, std::uint8_t HopLimit);
    void SendAsync(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                   std::uint32_t DataRoom, std::uint32_t TimeoutMs, std::uint8_t HopLimit,
                   TIcmpAsyncDone Done);

private:
    friend class TServiceBase<TIcmpService>;
    TIcmpService() : TServiceBase(1) {}

    bool EnsureOpen();
    std::shared_ptr<TChannel> OpenChannel();
    std::shared_ptr<TSocket> OpenSocket(TIcmpTransport Transport);
    void CloseAll();
    bool StartReceiver();
    void Receive();
    void Watch(TSocket& Socket);
    bool Drain(TSocket& Socket, bool WithErrors, const TWaiter* Own = nullptr);
    bool ReadPackets(TSocket& Socket, const TWaiter* Own);
    void ReadErrors(TSocket& Socket, const TWaiter* Own);
    TWaiter* Deliver(const TIcmpMessage& Message, TSteady::time_point Received,
                     std::int64_t ReceivedRealNs, const TWaiter* Own);
    TWaiter* DeliverSendFailure(std::uint16_t Identifier, std::uint16_t Sequence, int Errno,
                                const TWaiter* Own);
    bool ReadHelperResponse(TSocket& Socket, std::span<const std::uint8_t> Message,
                            TSteady::time_point Received, const TWaiter* Own);
    void LetGoIfEnded(const std::shared_ptr<TSocket>& Socket);
    void Complete(TWaiter& Waiter, const TWaiter* Own);
    int Register(TWaiter& Waiter, std::uint32_t Destination, std::uint8_t HopLimit,
                 std::shared_ptr<TChannel>& Channel, std::uint16_t& Sequence, bool& ReadAtOnce);
    ssize_t SendRequest(const TChannel& Channel, std::uint16_t Sequence, std::uint32_t Destination,
                        std::span<const std::uint8_t> Payload, std::uint32_t TimeoutMs,
                        std::uint8_t HopLimit);
    void RunFinished();
    void FinishAsync(std::unique_ptr<TAsyncWaiter> Waiter);
    void ExpireAsync(TSteady::time_point Now);
    void Wait(TSocket& Socket, TWaiter& Waiter, TSteady::time_point Deadline,
              std::unique_lock<std::mutex>& Guard);
    void NoteAnswerTime(std::uint64_t Route, bool AnsweredAtOnce);

    std::vector<std::shared_ptr<TChannel>> FChannels;
    std::shared_ptr<TSocket> FRawSocket;
    std::unordered_map<int, std::shared_ptr<TSocket>> FWatched; // by descriptor, for epoll
    std::atomic<std::uint64_t> FWatchedVersion{0};
    TEchoMatcher FMatcher;
    // Destinations, each with a hop limit (0 for the system's default), whose last request was
    // not answered by the time its send returned (a timeout, or a round trip on a real network).
    // Their callers skip the read right after sending, which would only find the socket empty,
    // and wait at once. A request with a hop limit is answered by the router where the limit
    // runs out, so each hop limit of a destination learns apart: on a chain of network
    // namespaces every router's "time exceeded" is queued before the send returns, on a real
    // network none is.
    std::unordered_set<std::uint64_t> FLateDestinations;
    int FDatagramErrno = 0;
    int FRawErrno = 0;
    int FHelperErrno = 0;
    int FEpoll = -1;
    int FWakeFd = -1;
    bool FReceiverStarted = false;
    // Sockets are open and the receiver runs; cleared by CloseAll.
    std::atomic<bool> FReady{false};
    std::mt19937 FRandom{std::random_device{}()};
    // Requests made without waiting that are complete, their Done still to run; the count lets
    // readers look without the lock.
    std::vector<TAsyncWaiter*> FFinished;
    std::atomic<std::size_t> FFinishedCount{0};
    // Those not answered by the end of their send, by serial, with their deadlines in order: the
    // receiver ends them when their time is up. It sleeps until FReceiverWakesAt at most, and a
    // deadline before that wakes it.
    std::unordered_map<std::uint64_t, TAsyncWaiter*> FAsync;
    std::set<std::pair<TSteady::time_point, std::uint64_t>> FDeadlines;
    std::uint64_t FNextSerial = 0;
    TSteady::time_point FReceiverWakesAt = TSteady::time_point::max();
};

std::shared_ptr<TSocket> TIcmpService::OpenSocket(TIcmpTransport Transport) {
    const bool Raw = Transport == TIcmpTransport::Raw;
    std::shared_ptr<TSocket> Socket;
    if (Transport == TIcmpTransport::Helper) {
        pid_t Pid;
        const int Fd = StartIcmpHelper(AF_INET, Pid);
        if (Fd < 0) {
            FHelperErrno = errno;
            return nullptr;
        }
        Socket = std::make_shared<TSocket>(Fd, Pid);
    } else {
        const int Fd = OpenIcmpSocket(AF_INET, Raw);
        if (Fd < 0) {
            (Raw ? FRawErrno : FDatagramErrno) = errno;
            return nullptr;
        }
        Socket = std::make_shared<TSocket>(Fd, Raw);
    }
    const int Fd = Socket->Fd;
    if (Socket->Helper) {
        // The helper has set its raw socket's filter itself.
    } else if (Raw) {
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
        if (!BindDatagramSocket(Fd, AF_INET, Socket->Identifier)) {
            FDatagramErrno = errno;
            return nullptr;
        }
        const int On = 1;
        ::setsockopt(Fd, SOL_IP, IP_RECVTTL, &On, sizeof On);
        ::setsockopt(Fd, SOL_IP, IP_RECVTOS, &On, sizeof On);
    }
    if (!StartReceiver())
        return nullptr;
    // Watch() puts it into the receiver's epoll set once a caller has to wait on it.
    FWatched[Fd] = Socket;
    ++FWatchedVersion;
    return Socket;
}

std::shared_ptr<TChannel> TIcmpService::OpenChannel() {
    auto Channel = std::make_shared<TChannel>();
    if (FActiveMode == "datagram") {
        Channel->Socket = OpenSocket(TIcmpTransport::Datagram);
        if (!Channel->Socket)
            return nullptr;
        Channel->Identifier = Channel->Socket->Identifier;
    } else {
        if (!FRawSocket)
            FRawSocket =
                OpenSocket(FActiveMode == "helper" ? TIcmpTransport::Helper : TIcmpTransport::Raw);
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
    // Auto: datagram sockets where the ping group range allows them, else the ICMP helper,
    // else a raw socket of this process's own (which only a test run by root gets: Vantorel
    // gives up every capability at start).
    if (FMode == TIcmpMode::Auto || FMode == TIcmpMode::Datagram) {
        FActiveMode = "datagram";
        if (OpenChannel())
            return true;
    }
    if (FMode == TIcmpMode::Auto || FMode == TIcmpMode::Helper) {
        FActiveMode = "helper";
        if (OpenChannel())
            return true;
    }
    if (FMode == TIcmpMode::Auto || FMode == TIcmpMode::Raw) {
        FActiveMode = "raw";
        if (OpenChannel())
            return true;
    }
    FActiveMode.clear();
    return false;
}

void TIcmpService::CloseAll() {
    for (auto& [Fd, Socket] : FWatched) {
        if (Socket->InEpoll)
            ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, Fd, nullptr);
        Socket->InEpoll = Socket->Watched = false;
        Socket->Closed = true;
    }
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
    FReady = false;
    FMatcher.Clear([this](TEchoMatcher::TRequest* Request) {
        auto* Waiter = static_cast<TWaiter*>(Request);
        Waiter->Done = true;
        Waiter->IPStatus = IP_GENERAL_FAILURE;
        Waiter->Received = TSteady::now();
        Complete(*Waiter, nullptr);
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
    std::unordered_map<int, std::shared_ptr<TSocket>> Watched;
    std::uint64_t Version = ~std::uint64_t(0);
    std::array<epoll_event, 32> Events;
    // Sockets to look at again once their delay is over, earliest first, with their count of
    // packets read when the delay began.
    struct TLater {
        TSteady::time_point At;
        std::shared_ptr<TSocket> Socket;
        std::uint64_t PacketsRead;
    };
    std::deque<TLater> Later;
    for (;;) {
        int Timeout = -1;
        {
            std::lock_guard Guard(FLock);
            TSteady::time_point WakeAt = TSteady::time_point::max();
            if (!Later.empty())
                WakeAt = Later.front().At;
            if (!FDeadlines.empty())
                WakeAt = std::min(WakeAt, FDeadlines.begin()->first);
            FReceiverWakesAt = WakeAt;
            if (WakeAt != TSteady::time_point::max()) {
                const auto Left =
                    std::chrono::ceil<std::chrono::milliseconds>(WakeAt - TSteady::now());
                Timeout = int(std::clamp<std::int64_t>(Left.count(), 0, 24 * 3600 * 1000));
            }
        }
        const int Count = ::epoll_wait(FEpoll, Events.data(), int(Events.size()), Timeout);
        if (Count < 0 && errno != EINTR)
            return;
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
            if (It == Watched.end())
                continue;
            TSocket& Socket = *It->second;
            Drain(Socket, true);
            LetGoIfEnded(It->second);
            std::lock_guard Guard(FLock);
            Socket.Watched = false; // the one-shot event is spent
            if (Socket.Waiters > 0 && !Socket.Closed) {
                Socket.Deferred = true;
                Later.push_back({TSteady::now() + RewatchDelay, It->second, Socket.PacketsRead});
            }
        }
        const TSteady::time_point Now = TSteady::now();
        while (!Later.empty() && Later.front().At <= Now) {
            const TLater Due = std::move(Later.front());
            Later.pop_front();
            TSocket& Socket = *Due.Socket;
            // Packets came meanwhile: read what callers left and look again after the delay,
            // instead of having epoll wake this thread for the next packet right away. A quiet
            // socket is watched again, so that its next packet is read at once.
            const bool Busy = Socket.PacketsRead != Due.PacketsRead;
            if (Busy) {
                Drain(Socket, true);
                LetGoIfEnded(Due.Socket);
            }
            std::lock_guard Guard(FLock);
            if (Busy && Socket.Waiters > 0 && !Socket.Closed) {
                Later.push_back({TSteady::now() + RewatchDelay, Due.Socket, Socket.PacketsRead});
                continue;
            }
            Socket.Deferred = false;
            if (Socket.Waiters > 0)
                Watch(Socket);
        }
        // Requests whose time is up: an answer may wait in a socket the receiver is not
        // watching just now, so the sockets are read first.
        const TSteady::time_point ExpireAt = TSteady::now();
        bool Expiring = false;
        {
            std::lock_guard Guard(FLock);
            Expiring = !FDeadlines.empty() && FDeadlines.begin()->first <= ExpireAt;
        }
        if (Expiring) {
            for (auto& Entry : Watched)
                Drain(*Entry.second, true);
            ExpireAsync(ExpireAt);
        }
        RunFinished();
        // Let go of sockets the service has closed.
        if (Version != FWatchedVersion.load()) {
            std::lock_guard Guard(FLock);
            Watched = FWatched;
            Version = FWatchedVersion.load();
        }
    }
}

void TIcmpService::Watch(TSocket& Socket) {
    if (Socket.Watched || Socket.Closed)
        return;
    // One-shot: after one wake-up the receiver decides when to watch again.
    if (WatchOnce(FEpoll, Socket.Fd, Socket.InEpoll))
        Socket.Watched = true;
}

bool TIcmpService::Drain(TSocket& Socket, bool WithErrors, const TWaiter* Own) {
    // All seq_cst: a reader that lets go of the socket and then finds MoreToRead clear cannot
    // miss a raise by a thread that found the socket taken.
    if (WithErrors)
        Socket.ErrorsToRead.store(true);
    Socket.MoreToRead.store(true);
    bool Read = false;
    while (Socket.MoreToRead.load()) {
        if (Socket.Reading.exchange(true))
            return Read; // the holder sees MoreToRead once it has let go
        Read = true;
        struct TRelease {
            std::atomic<bool>& Flag;
            ~TRelease() { Flag.store(false); }
        } Release{Socket.Reading};
        Socket.MoreToRead.store(false);
        // A caller reading right after its send skips the error queue: an ICMP error also sets
        // the socket's pending error, which fails the next ordinary read, and ReadPackets then
        // reads the queue.
        if (Socket.ErrorsToRead.exchange(false) && !Socket.Raw)
            ReadErrors(Socket, Own);
        if (ReadPackets(Socket, Own))
            Own = nullptr;
    }
    if (FFinishedCount.load() != 0)
        RunFinished();
    return Read;
}

// Reads until the socket is empty or, when Own is given, until Own's answer is in. Whatever is
// left behind is found in time all the same: a caller still to read after its send reads it;
// a caller that starts waiting has the receiver watch the socket, and watching reports what is
// already queued; the receiver watches again after its delay while callers wait; and a waiter
// whose time is up while the receiver is not watching reads the socket itself. Returns whether
// Own was answered.
bool TIcmpService::ReadPackets(TSocket& Socket, const TWaiter* Own) {
    for (;;) {
        Socket.PrepareRead(ReadBatch);
        const int Count =
            ::recvmmsg(Socket.Fd, Socket.Messages.data(), ReadBatch, MSG_DONTWAIT, nullptr);
        const TSteady::time_point Received = TSteady::now();
        if (Count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            if (errno == EINTR)
                continue;
            if (Socket.Helper) {
                Socket.Ended = true; // the helper's end failed: it has gone
                return false;
            }
            // A queued ICMP error makes the next ordinary read fail once with its errno.
            if (!Socket.Raw)
                ReadErrors(Socket, Own);
            continue;
        }
        Socket.PacketsRead.fetch_add(std::uint64_t(Count), std::memory_order_relaxed);
        bool Answered = false;
        for (int I = 0; I < Count; ++I) {
            msghdr& Header = Socket.Messages[I].msg_hdr;
            if (Header.msg_flags & MSG_TRUNC)
                continue;
            TIcmpMessage Message;
            const std::span<const std::uint8_t> Packet =
                Socket.Packet(std::size_t(I), Socket.Messages[I].msg_len);
            if (Socket.Helper) {
                if (Packet.empty()) {
                    Socket.Ended = true; // end of the connection: the helper has gone
                    return Answered;
                }
                Answered = ReadHelperResponse(Socket, Packet, Received, Own) || Answered;
                continue;
            }
            // The kernel verifies ICMP checksums before a datagram socket sees the packet, but a
            // raw socket gets it first.
            if (!ParseIcmpPacket(Packet, Socket.Raw, Socket.Raw, Socket.From[I].sin_addr.s_addr,
                                 Message))
                continue;
            if (!Socket.Raw) {
                // A raw socket has them from the IP header.
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
            const TWaiter* Completed = Deliver(Message, Received, ReceiveTimeNs(Header), Own);
            Answered = Answered || (Own && Completed == Own);
        }
        if (Answered)
            return true;
        // Fewer than asked for: the socket was empty after them. (An ICMP error that stopped the
        // read early stays pending; its message is in the error queue, which a watched socket
        // reports and the receiver and waiters read.)
        if (std::size_t(Count) < ReadBatch)
            return false;
    }
}

void TIcmpService::ReadErrors(TSocket& Socket, const TWaiter* Own) {
    auto Prepare = [&Socket]() -> msghdr& {
        Socket.PrepareRead(1);
        return Socket.Messages[0].msg_hdr;
    };
    ReadErrorQueue(
        Socket.Fd, SOL_IP, IP_RECVERR, Prepare,
        [&](const sock_extended_err& Error, const sockaddr* Offender, msghdr& Header,
            std::size_t Length, TSteady::time_point Received) {
            std::uint8_t Type = Error.ee_type;
            std::uint8_t Code = Error.ee_code;
            std::uint32_t OffenderAddress = 0;
            if (Error.ee_origin == SO_EE_ORIGIN_ICMP) {
                sockaddr_in From;
                std::memcpy(&From, Offender, sizeof From);
                OffenderAddress = From.sin_addr.s_addr;
            } else if (Error.ee_origin == SO_EE_ORIGIN_LOCAL && Error.ee_errno == EMSGSIZE) {
                // The local path MTU refused the request: what a "fragmentation
                // needed" says.
                Type = ICMP_TYPE_DEST_UNREACH;
                Code = 4;
            } else {
                return;
            }
            TIcmpMessage Message;
            if (ParseQueuedIcmpError(Socket.Packet(0, Length), Socket.From[0].sin_addr.s_addr, Type,
                                     Code, OffenderAddress, Message))
                Deliver(Message, Received, ReceiveTimeNs(Header), Own);
        });
}

// One response of the helper: an answer, which goes the way of a raw socket's packet, or a send
// that failed. Whether it ended Own.
bool TIcmpService::ReadHelperResponse(TSocket& Socket, std::span<const std::uint8_t> Message,
                                      TSteady::time_point Received, const TWaiter* Own) {
    const auto Response = ParseHelperResponse(Message);
    if (!Response || Response->Family != 4) {
        Socket.Ended = true; // not the helper this service started: let go of it
        return false;
    }
    const TWaiter* Completed = nullptr;
    if (Response->Kind == THelperResponse::SendFailed) {
        Completed =
            DeliverSendFailure(Response->Identifier, Response->Sequence, Response->Errno, Own);
    } else if (Response->Kind == THelperResponse::Answer) {
        std::uint32_t Source;
        std::memcpy(&Source, Response->Source.data(), sizeof Source);
        TIcmpMessage Parsed;
        if (ParseIcmpPacket(Response->Packet, true, true, Source, Parsed))
            Completed = Deliver(Parsed, Received, Response->ReceivedRealNs, Own);
    }
    return Own && Completed == Own;
}

TWaiter* TIcmpService::DeliverSendFailure(std::uint16_t Identifier, std::uint16_t Sequence,
                                          int Errno, const TWaiter* Own) {
    std::lock_guard Guard(FLock);
    auto* Waiter = static_cast<TWaiter*>(FMatcher.Take(Identifier, Sequence));
    if (!Waiter)
        return nullptr;
    Waiter->Done = true;
    Waiter->SendErrno = Errno ? Errno : EIO;
    Waiter->IPStatus = IPStatusFromSendErrno(Waiter->SendErrno);
    Waiter->Received = TSteady::now();
    Complete(*Waiter, Own);
    return Waiter;
}

// A helper that has gone takes the service's sockets with it: the requests waiting end, and the
// next one starts a helper afresh.
void TIcmpService::LetGoIfEnded(const std::shared_ptr<TSocket>& Socket) {
    if (!Socket->Ended.load())
        return;
    std::lock_guard Guard(FLock);
    if (FRawSocket == Socket)
        CloseAll();
}

TWaiter* TIcmpService::Deliver(const TIcmpMessage& Message, TSteady::time_point Received,
                               std::int64_t ReceivedRealNs, const TWaiter* Own) {
    std::lock_guard Guard(FLock);
    auto* Waiter = static_cast<TWaiter*>(FMatcher.Deliver(Message));
    if (!Waiter)
        return nullptr;
    Waiter->Received = Received;
    Waiter->ReceivedRealNs = ReceivedRealNs;
    Complete(*Waiter, Own);
    // Once the lock is released the waiter may return and free itself: the pointer returned is
    // only compared, never followed.
    return Waiter;
}

void TIcmpService::Complete(TWaiter& Waiter, const TWaiter* Own) {
    if (Waiter.Async) {
        // Its sender finishes it when the send is not over yet; else whoever reads next.
        auto& Async = static_cast<TAsyncWaiter&>(Waiter);
        if (!Async.Launched)
            return;
        if (Async.Watching) {
            Async.Watching = false;
            --Async.Channel->Socket->Waiters;
            FDeadlines.erase({Async.Deadline, Async.Serial});
            FAsync.erase(Async.Serial);
        }
        FFinished.push_back(&Async);
        FFinishedCount.store(FFinished.size());
        return;
    }
    // Under the service lock, so the waiter is still there. Only a sleeping waiter needs the
    // wake-up call; one that has not let go of the lock yet finds Signal raised, and a reader
    // that completes its own request is not asleep.
    Waiter.Signal.store(1);
    if (Waiter.Sleeping && &Waiter != Own)
        FutexWakeAll(Waiter.Signal);
}

// Called with the lock held and the request not yet answered; returns with the lock held.
void TIcmpService::Wait(TSocket& Socket, TWaiter& Waiter, TSteady::time_point Deadline,
                        std::unique_lock<std::mutex>& Guard) {
    ++Socket.Waiters;
    if (!Socket.Deferred)
        Watch(Socket);
    Waiter.Sleeping = true;
    Guard.unlock();
    while (Waiter.Signal.load() == 0 && TSteady::now() < Deadline)
        FutexWaitUntil(Waiter.Signal, 0, Deadline);
    Guard.lock();
    if (!Waiter.Done && Socket.Deferred) {
        // The receiver is between two looks at the socket, and the answer may be queued there:
        // read it before giving up. A reader already at work reads it for us instead; it gets
        // a moment to hand it over.
        Guard.unlock();
        if (!Drain(Socket, true, &Waiter))
            FutexWaitUntil(Waiter.Signal, 0, TSteady::now() + std::chrono::milliseconds(1));
        Guard.lock();
    }
    Waiter.Sleeping = false;
    --Socket.Waiters;
}

void TIcmpService::NoteAnswerTime(std::uint64_t Route, bool AnsweredAtOnce) {
    // Bounded: past the limit the list starts afresh, which costs each destination one read
    // after sending to learn again.
    constexpr std::size_t MaxLateDestinations = 65536;
    if (AnsweredAtOnce) {
        FLateDestinations.erase(Route);
    } else {
        if (FLateDestinations.size() >= MaxLateDestinations)
            FLateDestinations.clear();
        FLateDestinations.insert(Route);
    }
}

// Under the service lock: a channel and a sequence number for the request, and Waiter registered
// under them. 0, or the IP_STATUS that refuses the request; -1 when no socket can be opened.
int TIcmpService::Register(TWaiter& Waiter, std::uint32_t Destination, std::uint8_t HopLimit,
                           std::shared_ptr<TChannel>& Channel, std::uint16_t& Sequence,
                           bool& ReadAtOnce) {
    if (!EnsureOpen())
        return -1;
    std::array<std::uint8_t, 16> Address{};
    std::memcpy(Address.data(), &Destination, sizeof Destination);
    if (FActiveMode == "helper" && !HelperDestinationAllowed(4, Address))
        return IP_BAD_DESTINATION; // the helper sends to no such address
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
    if (!Channel)
        return IP_NO_RESOURCES;
    // Registered before sending: on loopback the reply can beat sendto's return.
    FMatcher.Add(Channel->Identifier, Sequence, &Waiter);
    ReadAtOnce = !FLateDestinations.contains(std::uint64_t(HopLimit) << 32 | Destination);
    return 0;
}

// The request on the wire, or to the helper; negative with errno set when that failed.
ssize_t TIcmpService::SendRequest(const TChannel& Channel, std::uint16_t Sequence,
                                  std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                                  std::uint32_t TimeoutMs, std::uint8_t HopLimit) {
    if (Channel.Socket->Helper) {
        THelperRequest Request;
        Request.Family = 4;
        Request.Identifier = Channel.Identifier;
        Request.Sequence = Sequence;
        Request.TimeoutMs = TimeoutMs;
        Request.HopLimit = HopLimit != 0 ? HopLimit : HelperDefaultHopLimit;
        std::memcpy(Request.Address.data(), &Destination, sizeof Destination);
        Request.Payload = Payload;
        return SendThroughHelper(Channel.Socket->Fd, Request) ? 0 : -1;
    }
    const std::vector<std::uint8_t> Packet =
        BuildEchoRequest(Channel.Identifier, Sequence, Payload);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = Destination;
    return SendPacket(Channel.Socket->Fd, Packet, reinterpret_cast<const sockaddr*>(&To), sizeof To,
                      HopLimit);
}

TIcmpResult TIcmpService::Send(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                               std::uint32_t TimeoutMs, std::uint8_t HopLimit) {
    TIcmpResult Result;
    TWaiter Waiter;
    Waiter.Destination = Destination;
    Waiter.Payload = Payload;
    std::shared_ptr<TChannel> Channel;
    std::uint16_t Sequence = 0;
    bool ReadAtOnce = true;
    const std::uint64_t Route = std::uint64_t(HopLimit) << 32 | Destination;
    {
        std::lock_guard Guard(FLock);
        const int Refused = Register(Waiter, Destination, HopLimit, Channel, Sequence, ReadAtOnce);
        if (Refused != 0) {
            if (Refused > 0)
                Result.IPStatus = Refused;
            return Result;
        }
    }

    const TSteady::time_point Sent = TSteady::now();
    const std::int64_t SentRealNs = RealNowNs();
    const ssize_t Written =
        SendRequest(*Channel, Sequence, Destination, Payload, TimeoutMs, HopLimit);
    const int SendErrno = errno;
    const std::int64_t SendReturnedRealNs = RealNowNs();
    if (Written >= 0 && ReadAtOnce)
        Drain(*Channel->Socket, false, &Waiter);
    if (Channel->Socket->Helper && Written < 0 && SendErrno != EAGAIN && SendErrno != EWOULDBLOCK)
        Channel->Socket->Ended = true; // the helper has gone
    LetGoIfEnded(Channel->Socket);

    std::unique_lock Guard(FLock);
    if (Written < 0 || Waiter.SendErrno != 0) {
        FMatcher.Remove(Channel->Identifier, Sequence);
        Channel->Pool.Release(Sequence, NowMs(TSteady::now()) + SequenceGraceMs);
        // The service may have been switched over meanwhile and already ended the request.
        Result.IPStatus = Waiter.Done ? Waiter.IPStatus : IPStatusFromSendErrno(SendErrno);
        return Result;
    }
    const TSteady::time_point Deadline = Sent + std::chrono::milliseconds(TimeoutMs);
    bool AnsweredAtOnce = Waiter.Done;
    if (!Waiter.Done) {
        Wait(*Channel->Socket, Waiter, Deadline, Guard);
        // Read later, but already there when the send returned.
        AnsweredAtOnce = Waiter.Done && Waiter.ReceivedRealNs != 0 &&
                         Waiter.ReceivedRealNs <= SendReturnedRealNs;
    }
    NoteAnswerTime(Route, AnsweredAtOnce);
    if (!Waiter.Done)
        FMatcher.Remove(Channel->Identifier, Sequence);
    if (Waiter.SendErrno != 0) {
        // The helper could not send it: as when a send of this process's own fails.
        Result.IPStatus = Waiter.IPStatus;
        Channel->Pool.Release(Sequence, NowMs(TSteady::now()) + SequenceGraceMs);
        return Result;
    }
    Conclude(Result, Waiter, Sent, SentRealNs);
    Channel->Pool.Release(Sequence,
                          std::max(NowMs(TSteady::now()), NowMs(Deadline)) + SequenceGraceMs);
    return Result;
}

// The record's status and round trip for a result, as SendEchoInto writes them.
TIcmpAsyncResult AsyncResult(const TIcmpResult& Result, std::uint32_t DataRoom) {
    TIcmpAsyncResult Out;
    Out.Status = std::uint32_t(Result.IPStatus);
    if (!Result.Replied)
        return Out;
    Out.Address = Result.Source;
    Out.RoundTripTime = Result.RoundTripTime;
    if (Result.IPStatus == IP_SUCCESS && Result.DataSize > DataRoom)
        Out.Status = IP_BUF_TOO_SMALL; // the echo came back but its data does not fit
    return Out;
}

void TIcmpService::SendAsync(std::uint32_t Destination, std::span<const std::uint8_t> Payload,
                             std::uint32_t DataRoom, std::uint32_t TimeoutMs, std::uint8_t HopLimit,
                             TIcmpAsyncDone Done) {
    auto Waiter = std::make_unique<TAsyncWaiter>();
    Waiter->Async = true;
    Waiter->Data.assign(Payload.begin(), Payload.end());
    Waiter->Destination = Destination;
    Waiter->Payload = Waiter->Data;
    Waiter->DataRoom = DataRoom;
    Waiter->Route = std::uint64_t(HopLimit) << 32 | Destination;
    Waiter->Finish = std::move(Done);
    bool ReadAtOnce = true;
    {
        std::unique_lock Guard(FLock);
        const int Refused =
            Register(*Waiter, Destination, HopLimit, Waiter->Channel, Waiter->Sequence, ReadAtOnce);
        if (Refused != 0) {
            Guard.unlock();
            TIcmpAsyncResult Result;
            Result.Opened = Refused > 0;
            Result.Status = Refused > 0 ? std::uint32_t(Refused) : IP_GENERAL_FAILURE;
            Waiter->Finish(Result);
            return;
        }
    }
    TChannel& Channel = *Waiter->Channel;
    Waiter->Sent = TSteady::now();
    Waiter->SentRealNs = RealNowNs();
    Waiter->Deadline = Waiter->Sent + std::chrono::milliseconds(TimeoutMs);
    const ssize_t Written =
        SendRequest(Channel, Waiter->Sequence, Destination, Waiter->Data, TimeoutMs, HopLimit);
    const int SendErrno = errno;
    Waiter->SendReturnedRealNs = RealNowNs();
    if (Written >= 0 && ReadAtOnce)
        Drain(*Channel.Socket, false, Waiter.get());
    if (Channel.Socket->Helper && Written < 0 && SendErrno != EAGAIN && SendErrno != EWOULDBLOCK)
        Channel.Socket->Ended = true; // the helper has gone
    LetGoIfEnded(Channel.Socket);

    std::unique_lock Guard(FLock);
    if (Written < 0 && !Waiter->Done) {
        FMatcher.Remove(Channel.Identifier, Waiter->Sequence);
        Waiter->Done = true;
        Waiter->SendErrno = SendErrno ? SendErrno : EIO;
        Waiter->IPStatus = IPStatusFromSendErrno(SendErrno);
    }
    Waiter->Launched = true;
    if (Waiter->Done) {
        Guard.unlock();
        FinishAsync(std::move(Waiter));
        return;
    }
    // From here on the service owns it: the receiver watches its socket and its deadline.
    TAsyncWaiter* Owned = Waiter.release();
    Owned->Serial = ++FNextSerial;
    Owned->Watching = true;
    FAsync[Owned->Serial] = Owned;
    FDeadlines.insert({Owned->Deadline, Owned->Serial});
    TSocket& Socket = *Channel.Socket;
    ++Socket.Waiters;
    if (!Socket.Deferred)
        Watch(Socket);
    if (Owned->Deadline < FReceiverWakesAt) {
        FReceiverWakesAt = Owned->Deadline;
        const std::uint64_t One = 1;
        [[maybe_unused]] auto Ignored = ::write(FWakeFd, &One, sizeof One);
    }
}

// Ends the requests made without waiting whose time is up.
void TIcmpService::ExpireAsync(TSteady::time_point Now) {
    std::lock_guard Guard(FLock);
    while (!FDeadlines.empty() && FDeadlines.begin()->first <= Now) {
        const auto It = FAsync.find(FDeadlines.begin()->second);
        if (It == FAsync.end()) {
            FDeadlines.erase(FDeadlines.begin());
            continue;
        }
        TAsyncWaiter& Waiter = *It->second;
        FMatcher.Remove(Waiter.Channel->Identifier, Waiter.Sequence);
        Complete(Waiter, nullptr); // not Done: it timed out
    }
}

void TIcmpService::RunFinished() {
    std::vector<TAsyncWaiter*> Finished;
    {
        std::lock_guard Guard(FLock);
        Finished.swap(FFinished);
        FFinishedCount.store(0);
    }
    for (TAsyncWaiter* Waiter : Finished)
        FinishAsync(std::unique_ptr<TAsyncWaiter>(Waiter));
}

// The outcome of a request made without waiting, handed to its Done outside the lock.
void TIcmpService::FinishAsync(std::unique_ptr<TAsyncWaiter> Waiter) {
    TIcmpResult Result;
    {
        std::lock_guard Guard(FLock);
        TChannel& Channel = *Waiter->Channel;
        const std::int64_t Now = NowMs(TSteady::now());
        if (Waiter->SendErrno != 0) {
            Result.IPStatus = Waiter->IPStatus;
            Channel.Pool.Release(Waiter->Sequence, Now + SequenceGraceMs);
        } else {
            NoteAnswerTime(Waiter->Route, Waiter->Done && Waiter->ReceivedRealNs != 0 &&
                                              Waiter->ReceivedRealNs <= Waiter->SendReturnedRealNs);
            Conclude(Result, *Waiter, Waiter->Sent, Waiter->SentRealNs);
            Channel.Pool.Release(Waiter->Sequence,
                                 std::max(Now, NowMs(Waiter->Deadline)) + SequenceGraceMs);
        }
    }
    Waiter->Finish(AsyncResult(Result, Waiter->DataRoom));
}

} // namespace

TIcmpHandle IcmpCreateFile() {
    return TIcmpService::Instance().CreateHandle();
}

std::uint32_t IcmpSendEcho(TIcmpHandle IcmpHandle, std::uint32_t DestinationAddress,
                           const void* RequestData, std::uint32_t RequestSize,
                           const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                           std::uint32_t ReplySize, std::uint32_t Timeout) {
    TIcmpService& Service = TIcmpService::Instance();
    const std::uint8_t HopLimit = RequestOptions ? RequestOptions->Ttl : 0;
    return SendEchoInto<ICMP_ECHO_REPLY>(
        Service, IcmpHandle,
        DestinationAddress != INADDR_ANY && DestinationAddress != INADDR_BROADCAST,
        ICMP_MAX_ECHO_DATA, RequestData, RequestSize, ReplyBuffer, ReplySize,
        [&](std::span<const std::uint8_t> Payload) {
            return Service.Send(DestinationAddress, Payload, Timeout, HopLimit);
        },
        [](ICMP_ECHO_REPLY& Record, const TIcmpResult& Result) {
            Record.Address = Result.Source;
            Record.Options.Ttl = Result.Ttl;
            Record.Options.Tos = Result.Tos;
        });
}

void IcmpSendEchoAsync(std::uint32_t DestinationAddress, std::span<const std::uint8_t> RequestData,
                       std::uint32_t ReplyDataRoom, std::uint32_t Timeout, std::uint8_t HopLimit,
                       TIcmpAsyncDone Done) {
    if (RequestData.size() > ICMP_MAX_ECHO_DATA || DestinationAddress == INADDR_ANY ||
        DestinationAddress == INADDR_BROADCAST) {
        TIcmpAsyncResult Result;
        Result.Status =
            RequestData.size() > ICMP_MAX_ECHO_DATA ? IP_PACKET_TOO_BIG : IP_BAD_DESTINATION;
        Done(Result);
        return;
    }
    TIcmpService::Instance().SendAsync(DestinationAddress, RequestData, ReplyDataRoom, Timeout,
                                       HopLimit, std::move(Done));
}

bool Icmp6CloseHandle(TIcmpHandle IcmpHandle);

bool IcmpCloseHandle(TIcmpHandle IcmpHandle) {
    return TIcmpService::Instance().CloseHandle(IcmpHandle) || Icmp6CloseHandle(IcmpHandle);
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
    int HelperErrno = 0;
    Result.Works = TIcmpService::Instance().Probe(Result.Mode, DatagramErrno, HelperErrno);
    if (Result.Works)
        return Result;
    Result.Mode.clear();
    // The helper to give the capability to: the one found, else where Vantorel looks first.
    std::string Helper = FindIcmpHelper();
    std::string HelperProblem;
    if (Helper.empty()) {
        Helper = IcmpHelperPlaces().front();
        const std::vector<std::string> Places = IcmpHelperPlaces();
        const std::string& Installed = Places[Places.size() > 1 ? 1 : 0];
        HelperProblem = "there is no vantorel-icmp that root owns in a folder only root can "
                        "change, beside the program or in " +
                        Installed.substr(0, Installed.rfind('/'));
    } else {
        HelperProblem = std::strerror(HelperErrno);
    }
    Result.Problem =
        "Vantorel cannot send ping requests: this system allows it neither an unprivileged ICMP "
        "socket (" +
        std::string(std::strerror(DatagramErrno)) + ") nor its ICMP helper (" + HelperProblem +
        "). Every monitor will show \"Cannot Resolve IP Address\" until one of them is "
        "allowed.\n\nEither put one of your groups into the kernel's ping group range, for all "
        "users:\n    sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n(add the same "
        "line to a file in /etc/sysctl.d/ to keep it after a restart), or let the ICMP helper "
        "open raw sockets (it sends echo requests only, and Vantorel itself gets no "
        "privilege):\n    sudo setcap cap_net_raw+ep " +
        Helper +
        "\nand start Vantorel again. Either one allows IPv6 targets as well: the kernel's "
        "ping group range covers unprivileged ICMPv6 sockets too.";
    return Result;
}

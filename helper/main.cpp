// vantorel-icmp: the one part of Vantorel that may hold CAP_NET_RAW (from its file). Vantorel
// starts it with one end of a SOCK_SEQPACKET socket pair as descriptor 3 and the address family
// ("4" or "6") as its argument:
//
//   1. everything but descriptors 0 to 3 is closed, and the raw ICMP (or ICMPv6) socket opened
//      with its options, the type filter among them, while the capability is there;
//   2. every capability goes, for good (bounding set too when root started it), no-new-privileges
//      goes on, and a seccomp allow-list leaves only reading, writing, sending, receiving,
//      polling, the clock, memory and exit: no open, no execve, no socket, no setsockopt;
//   3. it says Ready (or StartFailed with the reason and ends), then serves requests: each must
//      pass ParseHelperRequest, else the connection ends there and nothing more is sent. It
//      builds every echo request itself (type 8 or 128, code 0, no IP options, the kernel
//      chooses the source), and passes on only what answers one of its own requests still
//      waiting, with the kernel's receive time;
//   4. it ends when Vantorel closes its end (Vantorel's exit closes it too).
//
// Built without Qt, against the C library and libseccomp only (the C++ runtime is linked in),
// and it loads nothing at run time.
#include "zsIcmpHelperProtocol.h"
#include "zsPrivileges.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include <linux/close_range.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int Connection = 3;
// Requests waiting for an answer at once: 64 identifiers' worth of a busy second each.
constexpr std::size_t PendingCapacity = 65536;
// An answer later than its request's time-out by this much is no longer passed on.
constexpr std::int64_t GraceMs = 1000;
// A time-out beyond this keeps its request waiting this long only.
constexpr std::int64_t LongestWaitMs = 24LL * 3600 * 1000;
constexpr int SolIcmpV6 = 58;
constexpr int Icmp6FilterOption = 1;
constexpr std::size_t ControlSize = 256;

int Family = 0;
int Raw = -1;
int OpenErrno = 0;

std::int64_t NowMs() {
    timespec T{};
    ::clock_gettime(CLOCK_MONOTONIC, &T);
    return std::int64_t(T.tv_sec) * 1000 + T.tv_nsec / 1000000;
}

void OpenRawSocket() {
    Raw = ::socket(Family == 6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC,
                   Family == 6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
    if (Raw < 0) {
        OpenErrno = errno;
        return;
    }
    const int On = 1;
    const int ReceiveBuffer = 4 << 20;
    ::setsockopt(Raw, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    ::setsockopt(Raw, SOL_SOCKET, SO_TIMESTAMPNS, &On, sizeof On);
    // A full send buffer holds a request up this long before it counts as no resources.
    const timeval SendTimeout{1, 0};
    ::setsockopt(Raw, SOL_SOCKET, SO_SNDTIMEO, &SendTimeout, sizeof SendTimeout);
    int Filtered;
    if (Family == 4) {
        // A set bit drops that type: only replies and the errors that can quote a request.
        icmp_filter Filter{~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) |
                             (1u << ICMP_SOURCE_QUENCH) | (1u << ICMP_TIME_EXCEEDED) |
                             (1u << ICMP_PARAMETERPROB))};
        Filtered = ::setsockopt(Raw, SOL_RAW, ICMP_FILTER, &Filter, sizeof Filter);
    } else {
        std::uint32_t Filter[8];
        for (auto& Word : Filter)
            Word = 0xFFFFFFFFu;
        for (const int Type : {1, 2, 3, 4, 129})
            Filter[Type >> 5] &= ~(1u << (Type & 31));
        Filtered = ::setsockopt(Raw, SolIcmpV6, Icmp6FilterOption, Filter, sizeof Filter);
    }
    if (Filtered != 0) {
        OpenErrno = errno;
        ::close(Raw);
        Raw = -1;
    }
}

// The system calls the serving loop needs, and nothing that could open, start or widen
// anything: memory may be mapped but never executable.
bool LockSystemCalls() {
    const std::unique_ptr<void, void (*)(scmp_filter_ctx)> Filter(
        seccomp_init(SCMP_ACT_KILL_PROCESS), seccomp_release);
    if (!Filter)
        return false;
    for (const int Call :
         {SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(recvmsg), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg),
          SCMP_SYS(sendto), SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(clock_gettime), SCMP_SYS(brk),
          SCMP_SYS(munmap), SCMP_SYS(madvise), SCMP_SYS(rt_sigreturn), SCMP_SYS(restart_syscall),
          SCMP_SYS(exit), SCMP_SYS(exit_group)}) {
        if (seccomp_rule_add(Filter.get(), SCMP_ACT_ALLOW, Call, 0) != 0)
            return false;
    }
    for (const int Call : {SCMP_SYS(mmap), SCMP_SYS(mremap)}) {
        const scmp_arg_cmp NotExecutable = Call == SCMP_SYS(mmap)
                                               ? SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)
                                               : SCMP_A3(SCMP_CMP_MASKED_EQ, 0, 0);
        if (seccomp_rule_add(Filter.get(), SCMP_ACT_ALLOW, Call, 1, NotExecutable) != 0)
            return false;
    }
    return seccomp_load(Filter.get()) == 0;
}

bool Respond(const THelperResponse& Response) {
    const std::vector<std::uint8_t> Message = BuildHelperResponse(Response);
    ssize_t Sent;
    do {
        Sent = ::send(Connection, Message.data(), Message.size(), MSG_NOSIGNAL);
    } while (Sent < 0 && errno == EINTR);
    return Sent == ssize_t(Message.size());
}

// Sends one echo request; false when the connection must end.
bool Serve(const THelperRequest& Request, THelperPending& Pending) {
    const std::int64_t Now = NowMs();
    THelperResponse Failed;
    Failed.Kind = THelperResponse::SendFailed;
    Failed.Family = Family;
    Failed.Identifier = Request.Identifier;
    Failed.Sequence = Request.Sequence;
    const std::int64_t Wait = std::min<std::int64_t>(Request.TimeoutMs, LongestWaitMs);
    if (!Pending.Add(Request.Identifier, Request.Sequence, Request.Address, Now + Wait + GraceMs,
                     Now)) {
        Failed.Errno = ENOBUFS;
        return Respond(Failed);
    }
    const std::vector<std::uint8_t> Packet = BuildHelperEchoPacket(Request);
    sockaddr_storage To{};
    socklen_t ToLength;
    alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(int))] = {};
    msghdr Header{};
    iovec Io{const_cast<std::uint8_t*>(Packet.data()), Packet.size()};
    Header.msg_iov = &Io;
    Header.msg_iovlen = 1;
    Header.msg_control = Control;
    Header.msg_controllen = sizeof Control;
    cmsghdr* HopLimit = CMSG_FIRSTHDR(&Header);
    HopLimit->cmsg_len = CMSG_LEN(sizeof(int));
    const int Hops = Request.HopLimit;
    std::memcpy(CMSG_DATA(HopLimit), &Hops, sizeof Hops);
    if (Family == 4) {
        auto& To4 = reinterpret_cast<sockaddr_in&>(To);
        To4.sin_family = AF_INET;
        std::memcpy(&To4.sin_addr, Request.Address.data(), 4);
        ToLength = sizeof To4;
        HopLimit->cmsg_level = SOL_IP;
        HopLimit->cmsg_type = IP_TTL;
    } else {
        auto& To6 = reinterpret_cast<sockaddr_in6&>(To);
        To6.sin6_family = AF_INET6;
        std::memcpy(&To6.sin6_addr, Request.Address.data(), 16);
        To6.sin6_scope_id = Request.ScopeId;
        ToLength = sizeof To6;
        HopLimit->cmsg_level = SOL_IPV6;
        HopLimit->cmsg_type = IPV6_HOPLIMIT;
    }
    Header.msg_name = &To;
    Header.msg_namelen = ToLength;
    ssize_t Sent;
    do {
        Sent = ::sendmsg(Raw, &Header, 0);
    } while (Sent < 0 && errno == EINTR);
    if (Sent >= 0)
        return true;
    Failed.Errno = errno;
    Pending.Remove(Request.Identifier, Request.Sequence);
    return Respond(Failed);
}

// Reads every request queued; false when the connection ends (closed, or a request refused).
bool ReadRequests(THelperPending& Pending) {
    // One byte more than the largest request: a longer message shows as truncated.
    static std::uint8_t Buffer[HelperMaxRequestSize + 1];
    for (;;) {
        iovec Io{Buffer, sizeof Buffer};
        msghdr Header{};
        Header.msg_iov = &Io;
        Header.msg_iovlen = 1;
        const ssize_t Length = ::recvmsg(Connection, &Header, MSG_DONTWAIT);
        if (Length < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (Length == 0 || (Header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
            return false;
        const auto Request =
            ParseHelperRequest(std::span<const std::uint8_t>(Buffer, std::size_t(Length)), Family);
        if (!Request || !Serve(*Request, Pending))
            return false;
    }
}

// Passes on what answers a waiting request; false when the connection has ended.
bool ReadAnswers(THelperPending& Pending) {
    static std::uint8_t Buffer[65536];
    alignas(cmsghdr) char Control[ControlSize];
    for (;;) {
        sockaddr_storage From{};
        iovec Io{Buffer, sizeof Buffer};
        msghdr Header{};
        Header.msg_name = &From;
        Header.msg_namelen = sizeof From;
        Header.msg_iov = &Io;
        Header.msg_iovlen = 1;
        Header.msg_control = Control;
        Header.msg_controllen = sizeof Control;
        const ssize_t Length = ::recvmsg(Raw, &Header, MSG_DONTWAIT);
        if (Length < 0) {
            if (errno == EINTR)
                continue;
            return true; // empty, or an error that the next packet will not repeat
        }
        if (Header.msg_flags & MSG_TRUNC)
            continue;
        THelperResponse Answer;
        Answer.Kind = THelperResponse::Answer;
        Answer.Family = Family;
        if (Family == 4) {
            std::memcpy(Answer.Source.data(), &reinterpret_cast<sockaddr_in&>(From).sin_addr, 4);
        } else {
            const auto& From6 = reinterpret_cast<sockaddr_in6&>(From);
            std::memcpy(Answer.Source.data(), &From6.sin6_addr, 16);
            Answer.ScopeId = From6.sin6_scope_id;
        }
        const std::span<const std::uint8_t> Packet(Buffer, std::size_t(Length));
        const auto Key = HelperAnswerKey(Family, Packet, Answer.Source);
        if (!Key || !Pending.Take(*Key, NowMs()))
            continue; // not an answer to a request of ours that still waits
        for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C)) {
            if (C->cmsg_level == SOL_SOCKET && C->cmsg_type == SCM_TIMESTAMPNS) {
                timespec T;
                std::memcpy(&T, CMSG_DATA(C), sizeof T);
                Answer.ReceivedRealNs = std::int64_t(T.tv_sec) * 1000000000 + T.tv_nsec;
            }
        }
        Answer.Identifier = Key->Identifier;
        Answer.Sequence = Key->Sequence;
        Answer.Packet = Packet;
        if (!Respond(Answer))
            return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    // Nothing Vantorel's process had open comes along but the connection.
    if (::syscall(SYS_close_range, Connection + 1, ~0U, 0) != 0) {
        for (int Fd = Connection + 1; Fd < 1024; ++Fd)
            ::close(Fd);
    }
    int Type = 0;
    socklen_t TypeLength = sizeof Type;
    if (argc != 2 || (std::strcmp(argv[1], "4") != 0 && std::strcmp(argv[1], "6") != 0) ||
        ::getsockopt(Connection, SOL_SOCKET, SO_TYPE, &Type, &TypeLength) != 0 ||
        Type != SOCK_SEQPACKET) {
        static const char Usage[] = "vantorel-icmp: Vantorel's ICMP helper, started by Vantorel "
                                    "only (a socket pair as descriptor 3; 4 or 6)\n";
        [[maybe_unused]] auto Ignored = ::write(2, Usage, sizeof Usage - 1);
        return 2;
    }
    Family = argv[1][0] - '0';

    const TCapabilityDrop Drop = RunThenDropCapabilities(OpenRawSocket);
    THelperResponse Started;
    Started.Family = Family;
    if (!Drop.Ok || Raw < 0 || !LockSystemCalls()) {
        Started.Kind = THelperResponse::StartFailed;
        Started.Errno = Raw < 0 ? (OpenErrno ? OpenErrno : EPERM) : EPERM;
        Respond(Started);
        return 1;
    }
    if (!Respond(Started))
        return 0;

    THelperPending Pending(PendingCapacity);
    pollfd Watched[2] = {{Connection, POLLIN, 0}, {Raw, POLLIN, 0}};
    for (;;) {
        // The raw socket sees every echo reply of the host, other programs' too. It is watched
        // only while a request of Vantorel's waits, so that another pinger's traffic does not
        // wake the helper meanwhile; what came in the while is read before the next requests go
        // out, which keeps room in the socket's buffer for their answers.
        Watched[1].revents = 0;
        if (::poll(Watched, Pending.Size() > 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if ((Watched[1].revents & (POLLIN | POLLERR)) && !ReadAnswers(Pending))
            return 0;
        if (Watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (Pending.Size() == 0 && !ReadAnswers(Pending))
                return 0;
            if (!ReadRequests(Pending))
                return 0;
            if (Watched[0].revents & (POLLHUP | POLLERR))
                return 0;
            // Answers that came while the requests went out (on loopback, all of them) are
            // passed on now, which spares a wake-up for them.
            if (!ReadAnswers(Pending))
                return 0;
        }
    }
}

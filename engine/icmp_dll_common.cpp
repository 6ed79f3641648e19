#include "icmp_dll_common.h"

#include <ctime>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace EchoService {

std::int64_t NowMs(TSteady::time_point T) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(T.time_since_epoch()).count();
}

std::int64_t RealNowNs() {
    timespec T{};
    ::clock_gettime(CLOCK_REALTIME, &T);
    return std::int64_t(T.tv_sec) * 1000000000 + T.tv_nsec;
}

std::int64_t ReceiveTimeNs(msghdr& Header) {
    for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C)) {
        if (C->cmsg_level == SOL_SOCKET && C->cmsg_type == SCM_TIMESTAMPNS) {
            timespec T;
            std::memcpy(&T, CMSG_DATA(C), sizeof T);
            return std::int64_t(T.tv_sec) * 1000000000 + T.tv_nsec;
        }
    }
    return 0;
}

std::uint32_t RoundTripMs(TSteady::time_point Sent, std::int64_t SentRealNs,
                          TSteady::time_point Received, std::int64_t ReceivedRealNs) {
    const std::int64_t ReadNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Received - Sent).count();
    std::int64_t Ns = ReadNs;
    if (ReceivedRealNs != 0) {
        const std::int64_t WireNs = ReceivedRealNs - SentRealNs;
        if (WireNs >= 0 && WireNs <= ReadNs + 1000000)
            Ns = WireNs;
    }
    return std::uint32_t(std::max<std::int64_t>(Ns, 0) / 1000000);
}

int OpenIcmpSocket(int Family, bool Raw) {
    const int Fd = ::socket(Family, (Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC,
                            Family == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
    if (Fd < 0)
        return -1;
    const int On = 1;
    const int ReceiveBuffer = 4 << 20;
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    const timeval SendTimeout{SendTimeoutMs / 1000, (SendTimeoutMs % 1000) * 1000};
    ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &SendTimeout, sizeof SendTimeout);
    ::setsockopt(Fd, SOL_SOCKET, SO_TIMESTAMPNS, &On, sizeof On);
    return Fd;
}

bool BindDatagramSocket(int Fd, int Family, std::uint16_t& Identifier) {
    const int On = 1;
    sockaddr_storage Local{};
    Local.ss_family = sa_family_t(Family);
    socklen_t Length = Family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    const bool Bound =
        (Family == AF_INET6 ? ::setsockopt(Fd, SOL_IPV6, IPV6_RECVERR, &On, sizeof On)
                            : ::setsockopt(Fd, SOL_IP, IP_RECVERR, &On, sizeof On)) == 0 &&
        ::bind(Fd, reinterpret_cast<sockaddr*>(&Local), Length) == 0 &&
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Length) == 0;
    if (!Bound)
        return false;
    // The port of an ICMP datagram socket is its echo identifier.
    if (Family == AF_INET6) {
        sockaddr_in6 Address;
        std::memcpy(&Address, &Local, sizeof Address);
        Identifier = ntohs(Address.sin6_port);
    } else {
        sockaddr_in Address;
        std::memcpy(&Address, &Local, sizeof Address);
        Identifier = ntohs(Address.sin_port);
    }
    return true;
}

namespace {

ssize_t SendOnce(int Fd, std::span<const std::uint8_t> Packet, const sockaddr* To,
                 socklen_t ToLength, std::uint8_t HopLimit) {
    ssize_t Written;
    if (HopLimit == 0) {
        do {
            Written = ::sendto(Fd, Packet.data(), Packet.size(), 0, To, ToLength);
        } while (Written < 0 && errno == EINTR);
        return Written;
    }
    iovec Io{const_cast<std::uint8_t*>(Packet.data()), Packet.size()};
    alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(int))] = {};
    msghdr Header{};
    Header.msg_name = const_cast<sockaddr*>(To);
    Header.msg_namelen = ToLength;
    Header.msg_iov = &Io;
    Header.msg_iovlen = 1;
    Header.msg_control = Control;
    Header.msg_controllen = sizeof Control;
    cmsghdr* C = CMSG_FIRSTHDR(&Header);
    const bool V6 = To->sa_family == AF_INET6;
    C->cmsg_level = V6 ? SOL_IPV6 : SOL_IP;
    C->cmsg_type = V6 ? IPV6_HOPLIMIT : IP_TTL;
    C->cmsg_len = CMSG_LEN(sizeof(int));
    const int Limit = HopLimit;
    std::memcpy(CMSG_DATA(C), &Limit, sizeof Limit);
    do {
        Written = ::sendmsg(Fd, &Header, 0);
    } while (Written < 0 && errno == EINTR);
    return Written;
}

} // namespace

ssize_t SendPacket(int Fd, std::span<const std::uint8_t> Packet, const sockaddr* To,
                   socklen_t ToLength, std::uint8_t HopLimit) {
    // An ICMP error that answered an earlier request on this socket (another caller's "time
    // exceeded" or "unreachable") leaves the socket's pending error set, and the kernel fails
    // the next send with it, and clears it. The answer itself waits in the error queue for its
    // own caller; this request was never sent, so it goes again. Requests sent at the same
    // moment (the hops of a path) may leave one such error after another while this one tries:
    // each retry costs one call. A fault of this request's own (no route) fails every time and
    // is reported.
    constexpr int Attempts = 8;
    ssize_t Written = -1;
    for (int Attempt = 0; Attempt < Attempts; ++Attempt) {
        Written = SendOnce(Fd, Packet, To, ToLength, HopLimit);
        if (Written >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ||
            errno == ENOMEM)
            break;
    }
    return Written;
}

bool WatchOnce(int Epoll, int Fd, bool& InEpoll) {
    epoll_event Event{};
    Event.events = EPOLLIN | EPOLLERR | EPOLLONESHOT;
    Event.data.u64 = std::uint64_t(Fd);
    if (::epoll_ctl(Epoll, InEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, Fd, &Event) != 0)
        return false;
    InEpoll = true;
    return true;
}

} // namespace EchoService

// What code an attacker gets loaded into Vantorel tries with ICMP, noted in the file
// VANTOREL_PROBE_MARKER names: a line "loaded in <pid> from <library>", then one line per attempt,
// "<attempt> <errno>" (0: it worked), once at load and once more ("later ...") a few seconds on,
// when the program pings through its ICMP helper:
//   capabilities  any capability in the thread's effective or permitted set (EPERM: none)
//   raw-socket    socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)
//   hdrincl       IP_HDRINCL on each ICMP socket of the process (or on the one just opened)
//   retopts       sendmsg of a forged port unreachable with a Record Route option (IP_RETOPTS)
//   pktinfo       sendmsg of an echo request from 127.6.6.6 (IP_PKTINFO)
// and "helper-hostile <fd>" for each socket-pair connection it finds, down which it sends an
// echo request for the limited broadcast address with hop limit 0: the helper must end the
// connection without sending anything.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Each module that includes this has its own copy (no symbol of one binds to another's).
namespace ProbeAttacks {
namespace {

inline int Outcome(bool Worked) {
    return Worked ? 0 : (errno ? errno : EPERM);
}

inline bool HoldsCapabilities() {
    std::FILE* Status = std::fopen("/proc/thread-self/status", "r");
    if (!Status)
        return false;
    char Line[256];
    bool Any = false;
    while (std::fgets(Line, sizeof Line, Status)) {
        if (std::strncmp(Line, "CapEff:", 7) == 0 || std::strncmp(Line, "CapPrm:", 7) == 0)
            Any = Any || std::strtoull(Line + 7, nullptr, 16) != 0;
    }
    std::fclose(Status);
    return Any;
}

inline int SendWith(int Fd, int Type, const void* Data, std::size_t Size, const char* To,
                    const std::uint8_t* Icmp, std::size_t IcmpSize) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    ::inet_pton(AF_INET, To, &Address.sin_addr);
    iovec Io{const_cast<std::uint8_t*>(Icmp), IcmpSize};
    alignas(cmsghdr) char Control[CMSG_SPACE(64)] = {};
    msghdr Header{};
    Header.msg_name = &Address;
    Header.msg_namelen = sizeof Address;
    Header.msg_iov = &Io;
    Header.msg_iovlen = 1;
    Header.msg_control = Control;
    Header.msg_controllen = CMSG_SPACE(Size);
    cmsghdr* C = CMSG_FIRSTHDR(&Header);
    C->cmsg_level = SOL_IP;
    C->cmsg_type = Type;
    C->cmsg_len = CMSG_LEN(Size);
    std::memcpy(CMSG_DATA(C), Data, Size);
    errno = 0;
    return Outcome(::sendmsg(Fd, &Header, 0) >= 0);
}

inline void Attack(std::FILE* File, const char* When) {
    errno = 0;
    std::fprintf(File, "%scapabilities %d\n", When, HoldsCapabilities() ? 0 : EPERM);
    errno = 0;
    const int Raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    std::fprintf(File, "%sraw-socket %d\n", When, Outcome(Raw >= 0));
    std::vector<int> Targets;
    if (Raw >= 0)
        Targets.push_back(Raw);
    for (int Fd = 0; Fd < 1024; ++Fd) {
        int Type = 0, Protocol = 0, Domain = 0;
        socklen_t Length = sizeof Type;
        if (Fd == Raw || ::getsockopt(Fd, SOL_SOCKET, SO_TYPE, &Type, &Length) != 0)
            continue;
        Length = sizeof Protocol;
        ::getsockopt(Fd, SOL_SOCKET, SO_PROTOCOL, &Protocol, &Length);
        Length = sizeof Domain;
        ::getsockopt(Fd, SOL_SOCKET, SO_DOMAIN, &Domain, &Length);
        if ((Domain == AF_INET || Domain == AF_INET6) &&
            (Protocol == IPPROTO_ICMP || Protocol == IPPROTO_ICMPV6))
            Targets.push_back(Fd);
        if (Domain == AF_UNIX && Type == SOCK_SEQPACKET) {
            // An echo request for 255.255.255.255 with hop limit 0, in the helper's own form.
            std::uint8_t Request[40] = {1, 1, 4, 0};
            std::memset(Request + 20, 0xFF, 4);
            ::send(Fd, Request, sizeof Request, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::fprintf(File, "%shelper-hostile %d\n", When, Fd);
        }
    }
    if (Targets.empty())
        Targets.push_back(-1); // nothing to reach: each attempt fails on no socket at all
    for (const int Fd : Targets) {
        const int On = 1;
        errno = 0;
        std::fprintf(File, "%shdrincl %d\n", When,
                     Outcome(::setsockopt(Fd, SOL_IP, IP_HDRINCL, &On, sizeof On) == 0));
        // A port unreachable (type 3 code 3) with Record Route, and an echo request from a
        // source of its choosing.
        const std::uint8_t Unreachable[8] = {3, 3, 0xFC, 0xFC, 0, 0, 0, 0};
        const std::uint8_t RecordRoute[8] = {7, 7, 4, 0, 0, 0, 0, 1};
        std::fprintf(File, "%sretopts %d\n", When,
                     SendWith(Fd, IP_RETOPTS, RecordRoute, sizeof RecordRoute, "127.0.0.1",
                              Unreachable, sizeof Unreachable));
        const std::uint8_t Echo[8] = {8, 0, 0xF7, 0xFE, 0, 1, 0, 0};
        in_pktinfo From{};
        ::inet_pton(AF_INET, "127.6.6.6", &From.ipi_spec_dst);
        std::fprintf(File, "%spktinfo %d\n", When,
                     SendWith(Fd, IP_PKTINFO, &From, sizeof From, "127.0.0.1", Echo, sizeof Echo));
    }
    if (Raw >= 0)
        ::close(Raw);
}

inline void Note(const std::string& Library, const char* When) {
    const char* Marker = std::getenv("VANTOREL_PROBE_MARKER");
    if (!Marker)
        return;
    std::FILE* File = std::fopen(Marker, "a");
    if (!File)
        return;
    if (!*When)
        std::fprintf(File, "loaded in %d from %s\n", int(::getpid()), Library.c_str());
    Attack(File, When);
    std::fclose(File);
}

// At load, and again once the program pings. Own is any address inside the calling module,
// which stays loaded for the second round.
inline void Run(const void* Own) {
    Dl_info Info{};
    if (::dladdr(Own, &Info) == 0 || !Info.dli_fname)
        return;
    const std::string Library = Info.dli_fname;
    ::dlopen(Library.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    Note(Library, "");
    std::thread([Library] {
        ::sleep(8);
        Note(Library, "later ");
    }).detach();
}

} // namespace
} // namespace ProbeAttacks

// The socket lock: after it, no thread of the process (one started before it, one started after
// it, as code a library or plugin loads would) can widen what a raw ICMP socket sends or sees,
// while the options the echo service tunes its sockets with stay allowed. Each case runs in a
// child process, since the filter cannot be taken off again.
#include "zsSocketLock.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <thread>

#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct TOption {
    const char* Name;
    int Family;
    int Protocol;
    int Level;
    int Option;
    bool Refused;
};

constexpr int SolIcmpV6 = 58;
constexpr int Icmp6Filter = 1;

constexpr TOption Options[] = {
    {"IP_HDRINCL", AF_INET, IPPROTO_ICMP, SOL_IP, IP_HDRINCL, true},
    {"IP_OPTIONS", AF_INET, IPPROTO_ICMP, SOL_IP, IP_OPTIONS, true},
    {"ICMP_FILTER", AF_INET, IPPROTO_ICMP, SOL_RAW, ICMP_FILTER, true},
    {"IPV6_HDRINCL", AF_INET6, IPPROTO_ICMPV6, SOL_IPV6, IPV6_HDRINCL, true},
    {"ICMP6_FILTER", AF_INET6, IPPROTO_ICMPV6, SolIcmpV6, Icmp6Filter, true},
    {"SO_RCVBUF", AF_INET, IPPROTO_ICMP, SOL_SOCKET, SO_RCVBUF, false},
    {"IP_RECVERR", AF_INET, IPPROTO_ICMP, SOL_IP, IP_RECVERR, false},
    {"IP_TTL", AF_INET, IPPROTO_ICMP, SOL_IP, IP_TTL, false},
    // The hop limit of path probes.
    {"IPV6_UNICAST_HOPS", AF_INET6, IPPROTO_ICMPV6, SOL_IPV6, IPV6_UNICAST_HOPS, false},
};

// 0, or the errno of setsockopt for Option on a fresh raw socket of its family, with an
// argument that the kernel takes for each of them (an empty option list, a zeroed filter).
int TrySetOption(const TOption& Option) {
    const int Fd = ::socket(Option.Family, SOCK_RAW | SOCK_CLOEXEC, Option.Protocol);
    if (Fd < 0)
        return -errno;
    std::array<std::uint32_t, 8> Value{};
    const bool HopLimit = (Option.Level == SOL_IP && Option.Option == IP_TTL) ||
                          (Option.Level == SOL_IPV6 && Option.Option == IPV6_UNICAST_HOPS);
    Value[0] = HopLimit ? 64 : (Option.Option == SO_RCVBUF ? 65536 : 0);
    const socklen_t Length = Option.Option == IP_OPTIONS                              ? 0
                             : (Option.Level == SolIcmpV6 || Option.Level == SOL_RAW) ? 32
                                                                                      : sizeof(int);
    const int Result = ::setsockopt(Fd, Option.Level, Option.Option, Value.data(),
                                    Option.Level == SOL_RAW ? 4 : Length);
    const int Error = Result == 0 ? 0 : errno;
    ::close(Fd);
    return Error;
}

// Runs Body in a child process and returns its exit code (-1 when it did not exit normally).
template <typename TBody>
int InChild(TBody&& Body) {
    const pid_t Child = ::fork();
    if (Child == 0)
        ::_exit(Body());
    int Status = 0;
    if (Child < 0 || ::waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status))
        return -1;
    return WEXITSTATUS(Status);
}

class SocketLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for raw sockets";
    }
};

TEST_F(SocketLockTest, WideningOptionsAreRefusedOnEveryThreadAndTuningOnesStay) {
    for (const TOption& Option : Options) {
        SCOPED_TRACE(Option.Name);
        // Unlocked, the kernel takes every one of them from a process that may open raw sockets.
        EXPECT_EQ(InChild([&] { return TrySetOption(Option); }), 0);

        const int Locked = InChild([&] {
            // A thread that exists before the lock and one that starts after it.
            int Before = -1;
            int After = -1;
            bool Go = false;
            std::thread Earlier([&] {
                while (!__atomic_load_n(&Go, __ATOMIC_ACQUIRE))
                    ::usleep(1000);
                Before = TrySetOption(Option);
            });
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !LockSocketOptions().empty()) {
                __atomic_store_n(&Go, true, __ATOMIC_RELEASE);
                Earlier.join();
                return 100;
            }
            __atomic_store_n(&Go, true, __ATOMIC_RELEASE);
            Earlier.join();
            std::thread([&] { After = TrySetOption(Option); }).join();
            const int Here = TrySetOption(Option);
            if (Before != Here || After != Here)
                return 101;
            return Here == EPERM ? 1 : (Here == 0 ? 0 : 102);
        });
        EXPECT_EQ(Locked, Option.Refused ? 1 : 0)
            << "100: the lock failed, 101: threads differ, 102: another error";
    }
}

} // namespace

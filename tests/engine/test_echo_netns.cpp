// Outcomes loopback cannot produce, through a veth link into a network namespace the test makes
// and removes. Requests go only to addresses on that link, checked against the routing table
// before anything is sent.
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "zsPingStatus.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string Shell(const std::string& Command, int* Status = nullptr) {
    std::string Output;
    if (FILE* Pipe = ::popen((Command + " 2>&1").c_str(), "r")) {
        char Chunk[256];
        while (std::fgets(Chunk, sizeof Chunk, Pipe))
            Output += Chunk;
        const int Result = ::pclose(Pipe);
        if (Status)
            *Status = Result;
    } else if (Status) {
        *Status = -1;
    }
    return Output;
}

std::string Dotted(std::uint32_t HostOrder) {
    return std::to_string(HostOrder >> 24) + "." + std::to_string((HostOrder >> 16) & 255) + "." +
           std::to_string((HostOrder >> 8) & 255) + "." + std::to_string(HostOrder & 255);
}

// A namespace joined to this host by a veth pair on a /29 of 198.18.0.0/15 (set aside for
// benchmark networks), chosen by process id so parallel runs do not overlap. The far side holds
// one address and ignores echo requests; another address on the link belongs to nobody.
class TTestNamespace {
public:
    TTestNamespace() {
        const std::string Id = std::to_string(::getpid());
        FNamespace = "vtecho" + Id;
        FHostLink = "vth" + Id;
        const std::string FarLink = "vtn" + Id;
        const std::uint32_t Base = (198U << 24) | (18U << 16) | ((::getpid() % 16384U) * 8);
        HostAddress = Dotted(Base + 1);
        FarAddress = Dotted(Base + 2);
        SilentAddress = Dotted(Base + 5);
        const std::string InNs = "ip netns exec " + FNamespace + " ";
        const std::string Neigh = "/proc/sys/net/ipv4/neigh/" + FHostLink + "/";
        const std::string Steps[] = {
            "ip netns add " + FNamespace,
            "ip link add " + FHostLink + " type veth peer name " + FarLink + " netns " + FNamespace,
            "ip addr add " + HostAddress + "/29 dev " + FHostLink,
            // A neighbour that never answers is given up after one probe of 100 ms.
            "echo 1 > " + Neigh + "mcast_solicit",
            "echo 1 > " + Neigh + "ucast_solicit",
            "echo 100 > " + Neigh + "retrans_time_ms",
            "ip link set " + FHostLink + " up",
            InNs + "ip addr add " + FarAddress + "/29 dev " + FarLink,
            InNs + "ip link set " + FarLink + " up",
            InNs + "sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all'",
        };
        for (const std::string& Step : Steps) {
            int Status = 0;
            const std::string Output = Shell(Step, &Status);
            if (Status != 0) {
                Problem = "\"" + Step + "\" failed: " + Output;
                return;
            }
        }
    }
    ~TTestNamespace() {
        // Removing the namespace takes the far end of the pair, and with it the near end.
        Shell("ip netns del " + FNamespace);
        Shell("ip link del " + FHostLink);
    }
    TTestNamespace(const TTestNamespace&) = delete;
    TTestNamespace& operator=(const TTestNamespace&) = delete;

    // Whether the far side answers echo requests (it starts ignoring them).
    bool SetFarAnswers(bool Answers) {
        int Status = 0;
        Shell("ip netns exec " + FNamespace + " sh -c 'echo " + (Answers ? "0" : "1") +
                  " > /proc/sys/net/ipv4/icmp_echo_ignore_all'",
              &Status);
        return Status == 0;
    }

    // True when packets to Address leave through our own link and nowhere else.
    bool RoutedThroughOurLink(const std::string& Address) const {
        const std::string Route = Shell("ip -o route get " + Address);
        return Route.find(" dev " + FHostLink + " ") != std::string::npos &&
               Route.find(" via ") == std::string::npos;
    }

    std::string Problem; // empty when the namespace stands
    std::string HostAddress, FarAddress, SilentAddress;

private:
    std::string FNamespace, FHostLink;
};

} // namespace

// Both outcomes in one test, so that only one process at a time changes the ping group range.
TEST(EchoNamespace, TimeoutAndUnreachableNeighbour) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    if (Shell("command -v ip").empty())
        GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    TTestNamespace Namespace;
    ASSERT_EQ(Namespace.Problem, "");
    ASSERT_TRUE(Namespace.RoutedThroughOurLink(Namespace.FarAddress));
    ASSERT_TRUE(Namespace.RoutedThroughOurLink(Namespace.SilentAddress));

    int ModesRun = 0;
    for (const TIcmpMode Mode : {TIcmpMode::Raw, TIcmpMode::Datagram, TIcmpMode::Helper}) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        const TIcmpHandle Handle = IcmpCreateFile();
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        struct Case {
            const std::string& Address;
            std::uint32_t Timeout;
            std::uint32_t Status;
        };
        const Case Cases[] = {
            {Namespace.FarAddress, 300, 11010},     // there, but it ignores echo requests
            {Namespace.SilentAddress, 5000, 11003}, // nobody answers the neighbour lookup
        };
        for (const Case& C : Cases) {
            SCOPED_TRACE(C.Address);
            std::uint8_t Buffer[284];
            const auto Start = std::chrono::steady_clock::now();
            const std::uint32_t Replies =
                IcmpSendEcho(Handle, ::inet_addr(C.Address.c_str()), "probe", 5, nullptr, Buffer,
                             sizeof Buffer, C.Timeout);
            const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - Start)
                                     .count();
            ICMP_ECHO_REPLY Record;
            std::memcpy(&Record, Buffer, sizeof Record);
            EXPECT_EQ(Replies, 0U);
            EXPECT_EQ(Record.Status, C.Status);
            if (C.Status == 11010) {
                EXPECT_GE(Elapsed, C.Timeout);
                EXPECT_LT(Elapsed, C.Timeout + 2000);
            } else {
                EXPECT_LT(Elapsed, C.Timeout);
                EXPECT_NE(Record.Address, 0U); // the host that reported it
            }
        }
        EXPECT_TRUE(IcmpCloseHandle(Handle));
    }
    IcmpServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMP socket kind can be opened here";
}

// A destination that timed out has its later requests wait for the receiver thread instead of
// reading the socket right after sending. When it answers again, the answer must still come
// through, with its data and a round trip within the timeout.
TEST(EchoNamespace, AnswerAfterATimeoutComesThrough) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    if (Shell("command -v ip").empty())
        GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    TTestNamespace Namespace;
    ASSERT_EQ(Namespace.Problem, "");
    ASSERT_TRUE(Namespace.RoutedThroughOurLink(Namespace.FarAddress));
    const std::uint32_t Far = ::inet_addr(Namespace.FarAddress.c_str());

    int ModesRun = 0;
    for (const TIcmpMode Mode : {TIcmpMode::Raw, TIcmpMode::Datagram, TIcmpMode::Helper}) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        const TIcmpHandle Handle = IcmpCreateFile();
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(Namespace.SetFarAnswers(false));
        const char Data[] = "late answer";
        std::uint8_t Buffer[284];
        EXPECT_EQ(IcmpSendEcho(Handle, Far, Data, sizeof Data, nullptr, Buffer, sizeof Buffer, 200),
                  0U);
        ICMP_ECHO_REPLY Record;
        std::memcpy(&Record, Buffer, sizeof Record);
        EXPECT_EQ(Record.Status, std::uint32_t(IP_REQ_TIMED_OUT));

        ASSERT_TRUE(Namespace.SetFarAnswers(true));
        for (int Request = 0; Request < 3; ++Request) {
            SCOPED_TRACE(Request);
            std::memset(Buffer, 0, sizeof Buffer);
            EXPECT_EQ(
                IcmpSendEcho(Handle, Far, Data, sizeof Data, nullptr, Buffer, sizeof Buffer, 5000),
                1U);
            std::memcpy(&Record, Buffer, sizeof Record);
            EXPECT_EQ(Record.Status, std::uint32_t(IP_SUCCESS));
            EXPECT_EQ(Record.Address, Far);
            EXPECT_LE(Record.RoundTripTime, 5000U);
            EXPECT_EQ(Record.DataSize, sizeof Data);
            EXPECT_EQ(std::memcmp(Buffer + sizeof Record, Data, sizeof Data), 0);
        }
        EXPECT_TRUE(IcmpCloseHandle(Handle));
    }
    IcmpServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMP socket kind can be opened here";
}

// Requests made without waiting end as the blocking ones do: a silent host times out after the
// timeout, an unreachable neighbour is reported by the host that gave up on it, and an answer
// comes through once the host answers again. Many of them are out at the same time.
TEST(EchoNamespace, RequestsWithoutWaitingTimeOutAndComeThrough) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    if (Shell("command -v ip").empty())
        GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    TTestNamespace Namespace;
    ASSERT_EQ(Namespace.Problem, "");
    ASSERT_TRUE(Namespace.RoutedThroughOurLink(Namespace.FarAddress));
    ASSERT_TRUE(Namespace.RoutedThroughOurLink(Namespace.SilentAddress));
    const std::uint32_t Far = ::inet_addr(Namespace.FarAddress.c_str());
    const std::uint32_t Silent = ::inet_addr(Namespace.SilentAddress.c_str());

    struct TOutcome {
        std::mutex Lock;
        std::condition_variable Cond;
        std::vector<std::pair<TIcmpAsyncResult, std::int64_t>> Results; // with the ms taken
    };
    const std::string Data = "without waiting";
    const std::span<const std::uint8_t> Payload(reinterpret_cast<const std::uint8_t*>(Data.data()),
                                                Data.size());
    auto SendMany = [&](std::uint32_t To, int Count, std::uint32_t Timeout) {
        auto Outcome = std::make_shared<TOutcome>();
        const auto Start = std::chrono::steady_clock::now();
        for (int I = 0; I < Count; ++I)
            IcmpSendEchoAsync(
                To, Payload, 256, Timeout, 0, [Outcome, Start](const TIcmpAsyncResult& Result) {
                    const auto Taken = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - Start)
                                           .count();
                    std::lock_guard Guard(Outcome->Lock);
                    Outcome->Results.emplace_back(Result, Taken);
                    Outcome->Cond.notify_all();
                });
        std::unique_lock Guard(Outcome->Lock);
        EXPECT_TRUE(Outcome->Cond.wait_for(Guard, std::chrono::seconds(15), [&] {
            return Outcome->Results.size() == std::size_t(Count);
        }));
        return Outcome->Results;
    };

    int ModesRun = 0;
    for (const TIcmpMode Mode : {TIcmpMode::Raw, TIcmpMode::Datagram, TIcmpMode::Helper}) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        ASSERT_TRUE(Namespace.SetFarAnswers(false));
        for (const auto& [Result, Ms] : SendMany(Far, 20, 300)) {
            EXPECT_EQ(Result.Status, std::uint32_t(IP_REQ_TIMED_OUT));
            EXPECT_GE(Ms, 300);
            EXPECT_LT(Ms, 2300);
        }
        for (const auto& [Result, Ms] : SendMany(Silent, 5, 5000)) {
            EXPECT_EQ(Result.Status, std::uint32_t(IP_DEST_HOST_UNREACHABLE));
            EXPECT_LT(Ms, 5000);
            EXPECT_NE(Result.Address, 0U);
        }
        ASSERT_TRUE(Namespace.SetFarAnswers(true));
        for (const auto& [Result, Ms] : SendMany(Far, 20, 5000)) {
            EXPECT_EQ(Result.Status, std::uint32_t(IP_SUCCESS));
            EXPECT_EQ(Result.Address, Far);
            EXPECT_LE(Result.RoundTripTime, 5000U);
        }
    }
    IcmpServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMP socket kind can be opened here";
}

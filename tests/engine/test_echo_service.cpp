// The echo service on real sockets. Every request goes to 127.0.0.0/8, or stays inside a network
// namespace of the test's own.
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "ping_funcs.h"
#include "zsPingErrors.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <latch>
#include <thread>
#include <vector>

namespace {

std::vector<std::uint8_t> Pattern(std::size_t Size, std::uint8_t Seed) {
    std::vector<std::uint8_t> Bytes(Size);
    for (std::size_t I = 0; I < Size; ++I)
        Bytes[I] = std::uint8_t(Seed + I * 7);
    return Bytes;
}

ICMP_ECHO_REPLY RecordOf(const std::uint8_t* Buffer) {
    ICMP_ECHO_REPLY Record;
    std::memcpy(&Record, Buffer, sizeof Record);
    return Record;
}

class EchoService : public testing::TestWithParam<TIcmpMode> {
protected:
    void SetUp() override {
        std::string Why;
        if (!UseIcmpMode(GetParam(), Why))
            GTEST_SKIP() << Why;
        ASSERT_EQ(IcmpServiceActiveMode(), IcmpModeName(GetParam()));
        FHandle = IcmpCreateFile();
        ASSERT_NE(FHandle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (FHandle != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(IcmpCloseHandle(FHandle));
        }
        IcmpServiceSetMode(TIcmpMode::Auto);
    }
    TIcmpHandle FHandle = INVALID_HANDLE_VALUE;
};

} // namespace

TEST_P(EchoService, PayloadSizes) {
    struct Case {
        std::size_t Size;
        std::uint32_t Status;
    };
    // Beyond 256 bytes the echo does not fit behind the record; beyond 65507 no packet holds it.
    const Case Cases[] = {{0, 0},         {16, 0},        {256, 0},      {257, 11001},
                          {32768, 11001}, {65507, 11001}, {65508, 11009}};
    const std::uint32_t Loopback = ::inet_addr("127.0.0.1");
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Size);
        const std::vector<std::uint8_t> Payload = Pattern(C.Size, std::uint8_t(C.Size));
        // The service may use the 284 bytes it is given, and not one more.
        std::vector<std::uint8_t> Buffer(PING_REPLY_BUFFER_SIZE + 64, 0xCD);
        const std::uint32_t Replies =
            IcmpSendEcho(FHandle, Loopback, Payload.data(), std::uint32_t(Payload.size()), nullptr,
                         Buffer.data(), PING_REPLY_BUFFER_SIZE, 2000);
        const ICMP_ECHO_REPLY Record = RecordOf(Buffer.data());
        EXPECT_EQ(Record.Status, C.Status);
        EXPECT_EQ(Replies, C.Status == 0 ? 1U : 0U);
        for (std::size_t I = PING_REPLY_BUFFER_SIZE; I < Buffer.size(); ++I)
            ASSERT_EQ(Buffer[I], 0xCD) << "written past the reply buffer at " << I;
        if (C.Status == 0) {
            EXPECT_EQ(Record.Address, Loopback);
            EXPECT_LT(Record.RoundTripTime, 2000U);
            EXPECT_EQ(Record.DataSize, C.Size);
            EXPECT_EQ(Record.Data, sizeof(ICMP_ECHO_REPLY));
            EXPECT_GT(Record.Options.Ttl, 0);
            EXPECT_TRUE(std::equal(Payload.begin(), Payload.end(),
                                   Buffer.begin() + sizeof(ICMP_ECHO_REPLY)));
        }
    }
}

TEST_P(EchoService, SendEchoToLocalhost) {
    TReplyBuffer Reply;
    Reply.fill(0xEE);
    std::string Address;
    SendEcho("localhost", std::string(16, 'A'), Reply, 2000, Address);
    EXPECT_EQ(Address, "127.0.0.1");
    EXPECT_EQ(ReplyStatus(Reply), 0U);
    EXPECT_LT(ReplyRoundTripTime(Reply), 2000U);
}

TEST_P(EchoService, ConcurrentCallersEachGetTheirOwnReply) {
    constexpr int Callers = 200;
    std::latch Start(Callers);
    std::vector<std::uint32_t> Status(Callers, 99999), Source(Callers), Targets(Callers);
    std::vector<int> DataMatches(Callers, 0);
    std::vector<std::thread> Threads;
    for (int I = 0; I < Callers; ++I) {
        Targets[I] = htonl((127U << 24) | (std::uint32_t(I / 200 + 1) << 8) | (I % 200 + 1));
        Threads.emplace_back([&, I] {
            // Same size, different bytes: a reply handed to the wrong caller shows.
            const std::vector<std::uint8_t> Payload = Pattern(32, std::uint8_t(I));
            std::uint8_t Buffer[PING_REPLY_BUFFER_SIZE];
            Start.arrive_and_wait();
            IcmpSendEcho(FHandle, Targets[I], Payload.data(), 32, nullptr, Buffer, sizeof Buffer,
                         5000);
            const ICMP_ECHO_REPLY Record = RecordOf(Buffer);
            Status[I] = Record.Status;
            Source[I] = Record.Address;
            DataMatches[I] = Record.DataSize == 32 &&
                             std::memcmp(Buffer + sizeof Record, Payload.data(), 32) == 0;
        });
    }
    for (auto& T : Threads)
        T.join();
    for (int I = 0; I < Callers; ++I) {
        SCOPED_TRACE(I);
        EXPECT_EQ(Status[I], 0U);
        EXPECT_EQ(Source[I], Targets[I]);
        EXPECT_TRUE(DataMatches[I]);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, EchoService,
                         testing::Values(TIcmpMode::Raw, TIcmpMode::Datagram, TIcmpMode::Helper),
                         [](const auto& Info) { return std::string(IcmpModeName(Info.param)); });

TEST(EchoServiceCalls, HandlesAndArgumentsThatCannotBeSent) {
    const TIcmpHandle Handle = IcmpCreateFile();
    if (Handle == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no ICMP socket can be opened here";
    const std::uint32_t Loopback = ::inet_addr("127.0.0.1");
    const char Data[] = "12345";
    struct Case {
        const char* Name;
        TIcmpHandle Handle;
        std::uint32_t Destination;
        const void* RequestData;
        std::uint32_t ReplySize;
        std::uint32_t Status;
    };
    const TIcmpHandle Closed = IcmpCreateFile();
    ASSERT_TRUE(IcmpCloseHandle(Closed));
    EXPECT_FALSE(IcmpCloseHandle(Closed));
    const Case Cases[] = {
        {"working request", Handle, Loopback, Data, 284, 0},
        {"closed handle", Closed, Loopback, Data, 284, 11050},
        {"never opened handle", 0x7FFFFF, Loopback, Data, 284, 11050},
        {"reply buffer smaller than a record", Handle, Loopback, Data, 20, 11001},
        {"reply buffer without room for the data", Handle, Loopback, Data, 30, 11001},
        {"missing request data", Handle, Loopback, nullptr, 284, 11011},
        {"destination 0.0.0.0", Handle, 0, Data, 284, 11018},
        {"limited broadcast", Handle, 0xFFFFFFFF, Data, 284, 11018},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::uint8_t> Buffer(300, 0xCD);
        IcmpSendEcho(C.Handle, C.Destination, C.RequestData, 5, nullptr, Buffer.data(), C.ReplySize,
                     2000);
        std::uint32_t Status;
        std::memcpy(&Status, Buffer.data() + 4, 4);
        EXPECT_EQ(Status, C.Status);
        for (std::size_t I = C.ReplySize; I < Buffer.size(); ++I)
            ASSERT_EQ(Buffer[I], 0xCD) << "written past the reply buffer at " << I;
    }
    EXPECT_EQ(IcmpSendEcho(Handle, Loopback, Data, 5, nullptr, nullptr, 284, 100), 0U);
    EXPECT_TRUE(IcmpCloseHandle(Handle));
}

TEST(EchoServiceCalls, NoSocketPermittedMeansNoHandleAndAHelpfulProbe) {
    // As root raw sockets always open, so the service is pinned to datagram sockets while the
    // ping group range refuses them.
    TPingGroupRangeLock Lock;
    if (IcmpServiceSetMode(TIcmpMode::Datagram)) {
        IcmpServiceSetMode(TIcmpMode::Auto);
        GTEST_SKIP() << "datagram ICMP sockets are permitted here, so no failure can be arranged";
    }
    EXPECT_EQ(IcmpCreateFile(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(IcmpServiceActiveMode(), "");

    TReplyBuffer Reply{};
    std::string Address;
    try {
        SendEcho("127.0.0.1", "x", Reply, 100, Address);
        ADD_FAILURE() << "no error raised";
    } catch (const EPingError& E) {
        EXPECT_STREQ(E.what(), "Function call IcmpCreateFile failed.");
    }
    EXPECT_EQ(Address, "127.0.0.1");

    const TIcmpProbeResult Probe = ProbeIcmp();
    EXPECT_FALSE(Probe.Works);
    EXPECT_EQ(Probe.Mode, "");
    EXPECT_NE(Probe.Problem.find("net.ipv4.ping_group_range"), std::string::npos);
    EXPECT_NE(Probe.Problem.find("setcap cap_net_raw+ep "), std::string::npos);
    EXPECT_NE(Probe.Problem.find("IPv6 targets as well"), std::string::npos);

    if (IcmpServiceSetMode(TIcmpMode::Auto)) {
        const TIcmpProbeResult Working = ProbeIcmp();
        EXPECT_TRUE(Working.Works);
        EXPECT_EQ(Working.Mode, IcmpServiceActiveMode());
        EXPECT_EQ(Working.Problem, "");
    }
}

namespace {

// In a network namespace of its own, with loopback up and echo answers switched off, a request
// to 127.0.0.1 stays outstanding for its whole timeout.
bool IsolateWithSilentLoopback() {
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq Request{};
    std::strcpy(Request.ifr_name, "lo");
    Request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const bool Up = Fd >= 0 && ::ioctl(Fd, SIOCSIFFLAGS, &Request) == 0;
    ::close(Fd);
    std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << "1\n";
    return Up;
}

} // namespace

TEST(EchoServiceExit, ProcessExitsWhileARequestIsOutstanding) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace of its own";
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ::alarm(20); // a hang at exit ends in SIGALRM instead of blocking the suite
            if (!IsolateWithSilentLoopback())
                std::_Exit(3);
            const TIcmpHandle Handle = IcmpCreateFile();
            if (Handle == INVALID_HANDLE_VALUE)
                std::_Exit(4);
            std::latch Sending(1);
            std::thread([&Sending, Handle] {
                std::uint8_t Buffer[PING_REPLY_BUFFER_SIZE];
                Sending.count_down();
                IcmpSendEcho(Handle, ::inet_addr("127.0.0.1"), "x", 1, nullptr, Buffer,
                             sizeof Buffer, 600000);
                std::_Exit(5); // must not come back: nobody answers within ten minutes
            }).detach();
            Sending.wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

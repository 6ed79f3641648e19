// The IPv6 echo service and the IPv6 side of the resolver: on ::1, through a veth link into
// network namespaces the test makes and removes (requests go only to addresses on that link
// and behind it, checked against the routing table before anything is sent), and names from a
// hosts file of the test's own, in a child process whose namespaces no lookup can leave.
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "ping_funcs.h"
#include "zsPingErrors.h"
#include "zsPingLoopThread.h"
#include "zsPingStatus.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip6.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <thread>
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

sockaddr_in6 Ipv6(const std::string& Text) {
    sockaddr_in6 Address{};
    Address.sin6_family = AF_INET6;
    EXPECT_EQ(::inet_pton(AF_INET6, Text.c_str(), &Address.sin6_addr), 1) << Text;
    return Address;
}

std::string Text(const IPV6_ADDRESS_EX& Address) {
    char Buffer[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, Address.sin6_addr, Buffer, sizeof Buffer);
    return Buffer;
}

struct TOutcome {
    std::uint32_t Replies = 0;
    ICMPV6_ECHO_REPLY Record{};
    // The record's packed fields, copied out so that checks can bind to them.
    std::uint32_t Status = 0;
    std::uint32_t RoundTripTime = 0;
    std::string Data;
    long long ElapsedMs = 0;
};

TOutcome Echo(TIcmpHandle Handle, const sockaddr_in6& To, const std::string& Payload,
              std::uint32_t Timeout) {
    std::vector<std::uint8_t> Buffer(sizeof(ICMPV6_ECHO_REPLY) + Payload.size() + 8);
    TOutcome Outcome;
    const auto Start = std::chrono::steady_clock::now();
    Outcome.Replies = Icmp6SendEcho2(Handle, To, Payload.data(), std::uint32_t(Payload.size()),
                                     nullptr, Buffer.data(), std::uint32_t(Buffer.size()), Timeout);
    Outcome.ElapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - Start)
                            .count();
    std::memcpy(&Outcome.Record, Buffer.data(), sizeof Outcome.Record);
    Outcome.Status = Outcome.Record.Status;
    Outcome.RoundTripTime = Outcome.Record.RoundTripTime;
    if (Outcome.Replies == 1)
        Outcome.Data.assign(reinterpret_cast<const char*>(Buffer.data()) +
                                sizeof(ICMPV6_ECHO_REPLY),
                            Payload.size());
    return Outcome;
}

const TIcmpMode Modes[] = {TIcmpMode::Raw, TIcmpMode::Datagram, TIcmpMode::Helper};

} // namespace

// Each ICMPv6 error ends a request with the IP_STATUS of its IPv4 counterpart.
TEST(Echo6Errors, MapToTheirIpv4Counterparts) {
    struct Case {
        std::uint8_t Type, Code;
        std::optional<std::int32_t> Status;
    };
    const Case Cases[] = {
        {1, 0, IP_DEST_NET_UNREACHABLE},  {1, 1, IP_DEST_HOST_UNREACHABLE},
        {1, 2, IP_DEST_NET_UNREACHABLE},  {1, 3, IP_DEST_HOST_UNREACHABLE},
        {1, 4, IP_DEST_PORT_UNREACHABLE}, {1, 5, IP_DEST_HOST_UNREACHABLE},
        {1, 6, IP_DEST_HOST_UNREACHABLE}, {1, 200, IP_DEST_HOST_UNREACHABLE},
        {2, 0, IP_PACKET_TOO_BIG},        {3, 0, IP_TTL_EXPIRED_TRANSIT},
        {3, 1, IP_TTL_EXPIRED_REASSEM},   {4, 0, IP_PARAM_PROBLEM},
        {4, 2, IP_PARAM_PROBLEM},         {128, 0, std::nullopt},
        {129, 0, std::nullopt},           {135, 0, std::nullopt},
        {137, 0, std::nullopt},           {0, 0, std::nullopt},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::to_string(C.Type) + "/" + std::to_string(C.Code));
        EXPECT_EQ(IPStatusFromIcmp6Error(C.Type, C.Code), C.Status);
    }
}

// Literal forms, zones, and names: IPv4 first, so a name with both families pings as before.
TEST(Resolve6, LiteralsZonesAndNames) {
    struct Case {
        std::string Target;
        const char* Address; // null: not resolved
    };
    const Case Cases[] = {
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"2001:DB8::0001", "2001:db8::1"},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1"},
        {"fe80::1%lo", "fe80::1%lo"},
        {"[fe80::1%lo]", "fe80::1%lo"},
        {"fe80::1%1", "fe80::1%lo"}, // lo is interface 1
        {"fe80::1%no-such-if", nullptr},
        {"::1%lo", nullptr}, // a zone belongs to link-local addresses only
        {"[::1", nullptr},
        {"::1]", nullptr},
        {"[127.0.0.1]", nullptr},
        {":::", nullptr},
        {"1::2::3", nullptr},
        {"::1 ", nullptr},
        {"[]", nullptr},
        {"localhost", "127.0.0.1"}, // has ::1 as well: IPv4 first
        {"127.0.0.1", "127.0.0.1"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Target);
        std::string Address = "stale";
        std::string Error = "untouched";
        const bool Resolved = ResolveHost(C.Target, Address, Error);
        EXPECT_EQ(Resolved, C.Address != nullptr) << Address;
        if (C.Address) {
            EXPECT_EQ(Address, C.Address);
            EXPECT_EQ(Error, "untouched");
        } else {
            EXPECT_EQ(Address, "");
            EXPECT_EQ(Error, "IP Address could not be resolved");
        }
    }
}

namespace {

// Set in the child process that resolves names from the test's own hosts file: the folder that
// holds the file.
constexpr const char* PrivateHostsVariable = "VANTOREL_TEST_PRIVATE_HOSTS";
// The child's network namespace holds SixOnlyAddress on its loopback link.
const std::string SixOnlyAddress = "2001:db8:5::1";
const std::string PrivateHosts = "127.0.0.1 localhost\n"
                                 "2001:db8:5::1 vantorel-six-only\n"
                                 "127.0.0.2 vantorel-both\n"
                                 "2001:db8:5::1 vantorel-both\n"
                                 "::1 vantorel-loopback\n";
const std::string FilesOnly = "hosts: files\n";
constexpr const char* NameCacheFolder = "/var/run/nscd";
constexpr const char* NameCacheSocket = "/var/run/nscd/socket";

std::string FileText(const std::string& Path) {
    std::ifstream File(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

bool WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File << Text;
    return bool(File.flush());
}

// The child's part: the system's name service configuration and hosts file are the test's own
// here, and the network namespace holds nothing but its loopback link.
void ResolveFromPrivateHosts() {
    // Nothing is looked up unless lookups can only read the hosts file: the C library asks a
    // name service cache daemon first when its socket is there, and that one would use the
    // system's configuration.
    ASSERT_EQ(FileText("/etc/nsswitch.conf"), FilesOnly);
    ASSERT_EQ(FileText("/etc/hosts"), PrivateHosts);
    ASSERT_NE(::access(NameCacheSocket, F_OK), 0);
    for (const std::string& Step : {std::string("ip link set lo up"),
                                    "ip -6 addr add " + SixOnlyAddress + "/128 dev lo nodad"}) {
        int Status = 0;
        const std::string Output = Shell(Step, &Status);
        ASSERT_EQ(Status, 0) << Step << ": " << Output;
    }
    struct Case {
        std::string Target;
        const char* Address; // null: not resolved
    };
    const Case Cases[] = {
        {"vantorel-six-only", SixOnlyAddress.c_str()},
        {"VANTOREL-SIX-ONLY", SixOnlyAddress.c_str()},
        {"vantorel-both", "127.0.0.2"}, // IPv4 first
        // Asked for an IPv4 address, the C library reads a hosts line of ::1 as 127.0.0.1.
        {"vantorel-loopback", "127.0.0.1"},
        {"localhost", "127.0.0.1"},
        {"vantorel-nowhere", nullptr},
        {"[vantorel-six-only]", nullptr}, // brackets hold literals only
        {"vantorel-six-only%lo", nullptr},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Target);
        std::string Address = "stale";
        std::string Error = "untouched";
        EXPECT_EQ(ResolveHost(C.Target, Address, Error), C.Address != nullptr);
        EXPECT_EQ(Address, C.Address ? C.Address : "");
        EXPECT_EQ(Error, C.Address ? "untouched" : "IP Address could not be resolved");
    }

    // The name pings over IPv6, alone and in a ping loop.
    TReplyBuffer Reply{};
    std::string Address;
    SendEcho("vantorel-six-only", "by name", Reply, 2000, Address);
    EXPECT_EQ(ReplyStatus(Reply), 0U);
    EXPECT_EQ(Address, SixOnlyAddress);
    auto First = std::make_shared<std::promise<TPingEvent>>();
    auto Once = std::make_shared<std::once_flag>();
    TPingLoopThread Loop;
    Loop.SetTarget("vantorel-six-only");
    Loop.SetFrequency(100);
    Loop.SetTimeOut(2000);
    Loop.SetOnAfterPing(
        [First, Once](TPingEvent& E) { std::call_once(*Once, [&] { First->set_value(E); }); });
    Loop.Resume();
    auto Future = First->get_future();
    ASSERT_EQ(Future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const TPingEvent E = Future.get();
    EXPECT_EQ(E.Status, PING_STATUS_SUCCESS);
    EXPECT_EQ(E.IPAddress, SixOnlyAddress);
}

} // namespace

// A name with only an IPv6 address resolves to it and pings over IPv6; a name with both keeps
// its IPv4 address. Asking for the IPv4 address of a name the hosts file holds only as IPv6
// would fall through to DNS on this system, so the lookups run in a child process of their own
// mount namespace, where a hosts file and a configuration that reads nothing else are bound
// over the system's, and of its own network namespace, which nothing can leave: this test runs
// the test binary again there, with only this test.
TEST(Resolve6, NamesFromAPrivateHostsFile) {
    if (std::getenv(PrivateHostsVariable)) {
        ResolveFromPrivateHosts();
        return;
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: names are resolved from a test hosts file only in a private "
                        "mount and network namespace, so that no lookup can reach DNS";
    char Folder[] = "/tmp/vantorel-hosts-XXXXXX";
    ASSERT_NE(::mkdtemp(Folder), nullptr) << std::strerror(errno);
    const std::string Hosts = std::string(Folder) + "/hosts";
    const std::string Switch = std::string(Folder) + "/nsswitch.conf";
    ASSERT_TRUE(WriteFile(Hosts, PrivateHosts));
    ASSERT_TRUE(WriteFile(Switch, FilesOnly));

    // Everything the child needs is made before the fork: after it, only system calls.
    const std::string Program = "/proc/self/exe";
    const std::string Filter = "--gtest_filter=Resolve6.NamesFromAPrivateHostsFile";
    std::vector<std::string> Environment;
    for (char** Entry = environ; *Entry; ++Entry)
        Environment.emplace_back(*Entry);
    Environment.push_back(std::string(PrivateHostsVariable) + "=" + Folder);
    std::vector<char*> Argv = {const_cast<char*>(Program.c_str()),
                               const_cast<char*>(Filter.c_str()), nullptr};
    std::vector<char*> Envp;
    for (std::string& Entry : Environment)
        Envp.push_back(Entry.data());
    Envp.push_back(nullptr);

    // Exit codes of the child's steps before it runs the test.
    enum { NoNamespaces = 101, NoPrivateMounts, NoHostsFile, NoSwitchFile, NoCacheHidden, NoExec };
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0) << std::strerror(errno);
    if (Child == 0) {
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            ::_exit(NoNamespaces);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(NoPrivateMounts);
        if (::mount(Hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(NoHostsFile);
        if (::mount(Switch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(NoSwitchFile);
        if (::mount("none", NameCacheFolder, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
                0 &&
            errno != ENOENT)
            ::_exit(NoCacheHidden);
        ::execve(Program.c_str(), Argv.data(), Envp.data());
        ::_exit(NoExec);
    }
    int Status = 0;
    while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
    }
    ::unlink(Hosts.c_str());
    ::unlink(Switch.c_str());
    ::rmdir(Folder);
    ASSERT_TRUE(WIFEXITED(Status)) << "the child ended with status " << Status;
    const char* Steps[] = {"unshare (mount and network namespace)",
                           "making / private",
                           "binding the hosts file",
                           "binding nsswitch.conf",
                           "hiding the name service cache",
                           "running the test"};
    const int Code = WEXITSTATUS(Status);
    EXPECT_EQ(Code, 0) << (Code >= NoNamespaces && Code <= NoExec
                               ? std::string(Steps[Code - NoNamespaces]) + " failed"
                               : std::string("the test failed in the child (see its output)"));
}

// Replies on ::1 in each socket kind: status, round trip, replying address, echoed data of
// several sizes, and the reply buffer rules.
TEST(Echo6Loopback, RepliesInEachMode) {
    int ModesRun = 0;
    for (const TIcmpMode Mode : Modes) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why, &Icmp6ServiceSetMode)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        EXPECT_EQ(Icmp6ServiceActiveMode(), IcmpModeName(Mode));
        const TIcmpHandle Handle = Icmp6CreateFile();
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        for (const std::size_t Size : {0u, 1u, 32u, 1500u, 65000u}) {
            SCOPED_TRACE(Size);
            std::string Payload(Size, '\0');
            for (std::size_t I = 0; I < Size; ++I)
                Payload[I] = char('a' + I % 26);
            const TOutcome Out = Echo(Handle, Ipv6("::1"), Payload, 2000);
            EXPECT_EQ(Out.Replies, 1U);
            EXPECT_EQ(Out.Status, 0U);
            EXPECT_EQ(Text(Out.Record.Address), "::1");
            EXPECT_EQ(Out.Data, Payload);
            EXPECT_LT(Out.RoundTripTime, 1000U);
        }
        // Too small for the echoed data behind the record; too small for the record itself.
        std::uint8_t Small[sizeof(ICMPV6_ECHO_REPLY) + 4];
        EXPECT_EQ(Icmp6SendEcho2(Handle, Ipv6("::1"), "0123456789", 10, nullptr, Small,
                                 sizeof Small, 1000),
                  0U);
        ICMPV6_ECHO_REPLY Record;
        std::memcpy(&Record, Small, sizeof Record);
        EXPECT_EQ(std::uint32_t(Record.Status), std::uint32_t(IP_BUF_TOO_SMALL));
        // Destinations no echo request may go to, and a handle that is not open.
        EXPECT_EQ(Echo(Handle, Ipv6("::"), "x", 100).Status, std::uint32_t(IP_BAD_DESTINATION));
        EXPECT_EQ(Echo(Handle, Ipv6("ff02::1"), "x", 100).Status,
                  std::uint32_t(IP_BAD_DESTINATION));
        EXPECT_TRUE(IcmpCloseHandle(Handle));
        EXPECT_FALSE(IcmpCloseHandle(Handle));
        EXPECT_EQ(Echo(Handle, Ipv6("::1"), "x", 100).Status, std::uint32_t(IP_GENERAL_FAILURE));
    }
    Icmp6ServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMPv6 socket kind can be opened here";
}

// Many callers at once on the one socket: each gets the reply to its own request (its own
// data back), none a neighbour's.
TEST(Echo6Loopback, ConcurrentCallersEachGetTheirOwnReply) {
    int ModesRun = 0;
    for (const TIcmpMode Mode : Modes) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why, &Icmp6ServiceSetMode))
            continue;
        ++ModesRun;
        constexpr int Threads = 24;
        constexpr int Requests = 40;
        std::atomic<int> Wrong{0};
        std::vector<std::thread> Callers;
        for (int T = 0; T < Threads; ++T) {
            Callers.emplace_back([T, &Wrong] {
                const TIcmpHandle Handle = Icmp6CreateFile();
                for (int R = 0; R < Requests; ++R) {
                    const std::string Payload =
                        "caller " + std::to_string(T) + " request " + std::to_string(R);
                    const TOutcome Out = Echo(Handle, Ipv6("::1"), Payload, 3000);
                    if (Out.Replies != 1 || Out.Status != 0 || Out.Data != Payload)
                        ++Wrong;
                }
                IcmpCloseHandle(Handle);
            });
        }
        for (auto& Caller : Callers)
            Caller.join();
        EXPECT_EQ(Wrong.load(), 0);
    }
    Icmp6ServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMPv6 socket kind can be opened here";
}

// SendEcho takes every literal form to ::1 over IPv6 and names the address it pinged.
TEST(Echo6Loopback, SendEchoToLiteralForms) {
    std::string Why;
    if (!UseIcmpMode(TIcmpMode::Auto, Why, &Icmp6ServiceSetMode))
        GTEST_SKIP() << Why;
    for (const std::string Target : {"::1", "[::1]", "0::1"}) {
        SCOPED_TRACE(Target);
        TReplyBuffer Reply{};
        std::string Address;
        std::string Error;
        EXPECT_TRUE(ResolveHost(Target, Address, Error)) << Error;
        SendEcho(Target, "payload", Reply, 2000, Address);
        EXPECT_EQ(ReplyStatus(Reply), 0U);
        EXPECT_LT(ReplyRoundTripTime(Reply), 1000U);
        EXPECT_EQ(Address, "::1");
    }
    TReplyBuffer Reply{};
    std::string Address = "stale";
    EXPECT_THROW(SendEcho("fe80::1%no-such-if", "x", Reply, 100, Address), EPingError);
    EXPECT_EQ(Address, "");
}

// A ping loop on the real service shows a live result for an IPv6 literal, and a name with both
// families keeps its IPv4 address.
TEST(Echo6Loopback, PingLoopsOnIpv6AndOnLocalhost) {
    std::string Why;
    if (!UseIcmpMode(TIcmpMode::Auto, Why, &Icmp6ServiceSetMode))
        GTEST_SKIP() << Why;
    struct Case {
        const char* Target;
        const char* Address;
    };
    for (const Case C :
         {Case{"::1", "::1"}, Case{"[::1]", "::1"}, Case{"localhost", "127.0.0.1"}}) {
        SCOPED_TRACE(C.Target);
        auto First = std::make_shared<std::promise<TPingEvent>>();
        auto Once = std::make_shared<std::once_flag>();
        TPingLoopThread Loop;
        Loop.SetTarget(C.Target);
        Loop.SetFrequency(100);
        Loop.SetTimeOut(2000);
        Loop.SetPayload(std::string(16, 'A'));
        Loop.SetOnAfterPing(
            [First, Once](TPingEvent& E) { std::call_once(*Once, [&] { First->set_value(E); }); });
        Loop.Resume();
        auto Future = First->get_future();
        ASSERT_EQ(Future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        const TPingEvent E = Future.get();
        EXPECT_TRUE(E.Success);
        EXPECT_EQ(E.Status, PING_STATUS_SUCCESS);
        EXPECT_EQ(E.IPAddress, C.Address);
    }
}

namespace {

// Answers every echo request that comes over one link of a namespace to one address with a
// parameter problem quoting the request as it came over the wire, as a host does that cannot
// parse what it was sent. The kernel of that namespace is told to ignore echo requests, so this
// is the only answer. Its sockets are opened inside the namespace (a socket stays in the
// namespace it was made in); the thread that reads them runs in this process's own.
class TParameterProblemResponder {
public:
    static constexpr std::uint8_t Code = 1;     // unrecognised next header
    static constexpr std::uint32_t Pointer = 6; // the next header field of the IPv6 header

    // Problem says what failed; empty when the responder runs.
    TParameterProblemResponder(const std::string& Namespace, const std::string& Link,
                               const std::string& Address) {
        if (::inet_pton(AF_INET6, Address.c_str(), &FAddress) != 1) {
            Problem = "not an IPv6 address: " + Address;
            return;
        }
        const int Own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int Target = ::open(("/run/netns/" + Namespace).c_str(), O_RDONLY | O_CLOEXEC);
        if (Own < 0 || Target < 0 || ::setns(Target, CLONE_NEWNET) != 0) {
            Problem = std::string("cannot enter the namespace: ") + std::strerror(errno);
        } else {
            OpenSockets(Link);
            if (::setns(Own, CLONE_NEWNET) != 0)
                std::abort(); // the rest of the test must not run in the namespace
        }
        if (Own >= 0)
            ::close(Own);
        if (Target >= 0)
            ::close(Target);
        FStop = ::eventfd(0, EFD_CLOEXEC);
        if (Problem.empty() && FStop < 0)
            Problem = std::string("eventfd: ") + std::strerror(errno);
        if (Problem.empty())
            FThread = std::thread([this] { Run(); });
    }
    ~TParameterProblemResponder() {
        if (FThread.joinable()) {
            const std::uint64_t One = 1;
            [[maybe_unused]] auto Ignored = ::write(FStop, &One, sizeof One);
            FThread.join();
        }
        for (const int Fd : {FCapture, FSender, FStop})
            if (Fd >= 0)
                ::close(Fd);
    }
    TParameterProblemResponder(const TParameterProblemResponder&) = delete;
    TParameterProblemResponder& operator=(const TParameterProblemResponder&) = delete;

    std::string Problem;
    int Answered() const { return FAnswered.load(); }

private:
    void OpenSockets(const std::string& Link) {
        // Every IPv6 packet that comes in over the link, from its IPv6 header on.
        FCapture = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IPV6));
        sockaddr_ll Bound{};
        Bound.sll_family = AF_PACKET;
        Bound.sll_protocol = htons(ETH_P_IPV6);
        Bound.sll_ifindex = int(::if_nametoindex(Link.c_str()));
        if (FCapture < 0 || Bound.sll_ifindex == 0 ||
            ::bind(FCapture, reinterpret_cast<sockaddr*>(&Bound), sizeof Bound) != 0) {
            Problem = std::string("packet socket on " + Link + ": ") + std::strerror(errno);
            return;
        }
        // Sends the errors from the address itself; reads nothing (every type filtered out).
        FSender = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
        icmp6_filter Filter;
        ICMP6_FILTER_SETBLOCKALL(&Filter);
        sockaddr_in6 From{};
        From.sin6_family = AF_INET6;
        From.sin6_addr = FAddress;
        if (FSender < 0 ||
            ::setsockopt(FSender, IPPROTO_ICMPV6, ICMP6_FILTER, &Filter, sizeof Filter) != 0 ||
            ::bind(FSender, reinterpret_cast<sockaddr*>(&From), sizeof From) != 0)
            Problem = std::string("raw ICMPv6 socket: ") + std::strerror(errno);
    }

    void Run() {
        std::vector<std::uint8_t> Packet(65536);
        for (;;) {
            pollfd Watch[2] = {{FCapture, POLLIN, 0}, {FStop, POLLIN, 0}};
            if (::poll(Watch, 2, -1) < 0 && errno != EINTR)
                return;
            if (Watch[1].revents)
                return;
            if (!(Watch[0].revents & POLLIN))
                continue;
            sockaddr_ll Link{};
            socklen_t LinkLength = sizeof Link;
            const ssize_t Length = ::recvfrom(FCapture, Packet.data(), Packet.size(), MSG_DONTWAIT,
                                              reinterpret_cast<sockaddr*>(&Link), &LinkLength);
            if (Length < 0 || Link.sll_pkttype == PACKET_OUTGOING)
                continue;
            const std::span<const std::uint8_t> Request(Packet.data(), std::size_t(Length));
            if (IsEchoRequestToUs(Request))
                Answer(Request);
        }
    }

    bool IsEchoRequestToUs(std::span<const std::uint8_t> P) const {
        return P.size() >= sizeof(ip6_hdr) + sizeof(icmp6_hdr) && (P[0] >> 4) == 6 &&
               P[6] == IPPROTO_ICMPV6 && P[40] == ICMP6_ECHO_REQUEST &&
               std::memcmp(P.data() + offsetof(ip6_hdr, ip6_dst), &FAddress, 16) == 0;
    }

    void Answer(std::span<const std::uint8_t> Request) {
        // As much of the request as fits into the minimum IPv6 MTU; the kernel fills in the
        // checksum.
        const std::size_t Quoted = std::min<std::size_t>(Request.size(), 1280 - 40 - 8);
        std::vector<std::uint8_t> Error(sizeof(icmp6_hdr) + Quoted);
        Error[0] = ICMP6_PARAM_PROB;
        Error[1] = Code;
        for (int I = 0; I < 4; ++I)
            Error[4 + I] = std::uint8_t(Pointer >> (24 - 8 * I));
        std::memcpy(Error.data() + sizeof(icmp6_hdr), Request.data(), Quoted);
        sockaddr_in6 To{};
        To.sin6_family = AF_INET6;
        std::memcpy(&To.sin6_addr, Request.data() + offsetof(ip6_hdr, ip6_src), 16);
        if (::sendto(FSender, Error.data(), Error.size(), 0, reinterpret_cast<sockaddr*>(&To),
                     sizeof To) == ssize_t(Error.size()))
            ++FAnswered;
    }

    in6_addr FAddress{};
    int FCapture = -1;
    int FSender = -1;
    int FStop = -1;
    std::atomic<int> FAnswered{0};
    std::thread FThread;
};

// A namespace joined to this host by a veth pair carrying a /64 of 2001:db8::/32 chosen by
// process id. The far side holds one address (it answers or ignores echo requests as told),
// another address on the link belongs to nobody, and behind the far side lie two prefixes it
// routes as "unreachable" and "prohibit", and one through a link too narrow for big requests.
// Behind it too, over a second link, lies a second namespace: a router whose own address
// answers echo requests with a parameter problem, and one prefix the two route to each other, so
// that requests to it go round between them until their hop limit runs out.
class TTestNamespace6 {
public:
    TTestNamespace6() {
        const std::string Id = std::to_string(::getpid());
        char Hex[8];
        std::snprintf(Hex, sizeof Hex, "%x", unsigned(::getpid()) & 0xFFFF);
        const std::string Prefix = std::string("2001:db8:") + Hex;
        FNamespace = "vt6echo" + Id;
        FLoopNamespace = "vt6loop" + Id;
        FHostLink = "v6h" + Id;
        const std::string FarLink = "v6n" + Id;
        const std::string NearLoopLink = "v6a" + Id;
        const std::string FarLoopLink = "v6b" + Id;
        HostAddress = Prefix + "::1";
        FarAddress = Prefix + "::2";
        SilentAddress = Prefix + "::5";
        UnreachableAddress = Prefix + ":1::1";
        ProhibitedAddress = Prefix + ":2::1";
        NarrowAddress = Prefix + ":3::";
        LoopingAddress = Prefix + ":4::1";
        const std::string FarLoopAddress = Prefix + ":6::1";
        RouterAddress = Prefix + ":6::2";
        const std::string InNs = "ip netns exec " + FNamespace + " ";
        const std::string InLoop = "ip netns exec " + FLoopNamespace + " ";
        const std::string Neigh = "/proc/sys/net/ipv6/neigh/" + FHostLink + "/";
        const std::string Steps[] = {
            "ip netns add " + FNamespace,
            "ip netns add " + FLoopNamespace,
            "ip link add " + FHostLink + " type veth peer name " + FarLink + " netns " + FNamespace,
            // The link-local addresses the kernel would make need no duplicate detection either.
            "sysctl -qw net.ipv6.conf." + FHostLink + ".accept_dad=0",
            InNs + "sysctl -qw net.ipv6.conf." + FarLink + ".accept_dad=0",
            "ip -6 addr add " + HostAddress + "/64 dev " + FHostLink + " nodad",
            // A neighbour that never answers is given up after one probe of 100 ms.
            "echo 1 > " + Neigh + "mcast_solicit",
            "echo 1 > " + Neigh + "ucast_solicit",
            "echo 100 > " + Neigh + "retrans_time_ms",
            // Requests leave with a hop limit of 64 whatever the host's default, so the one of
            // the two routers that sees it run out is known.
            "sysctl -qw net.ipv6.conf." + FHostLink + ".hop_limit=64",
            "ip link set " + FHostLink + " up",
            "ip -6 route add " + Prefix + ":1::/64 via " + FarAddress + " dev " + FHostLink,
            "ip -6 route add " + Prefix + ":2::/64 via " + FarAddress + " dev " + FHostLink,
            "ip -6 route add " + Prefix + ":3::/64 via " + FarAddress + " dev " + FHostLink,
            "ip -6 route add " + Prefix + ":4::/64 via " + FarAddress + " dev " + FHostLink,
            "ip -6 route add " + Prefix + ":6::/64 via " + FarAddress + " dev " + FHostLink,
            InNs + "ip link set lo up",
            InNs + "ip -6 addr add " + FarAddress + "/64 dev " + FarLink + " nodad",
            InNs + "ip -6 addr add " + FarLinkLocal + "/64 dev " + FarLink + " nodad",
            InNs + "ip link set " + FarLink + " up",
            InNs + "sysctl -qw net.ipv6.conf.all.forwarding=1",
            InNs + "sysctl -qw net.ipv6.icmp.ratelimit=0",
            InNs + "ip -6 route add unreachable " + Prefix + ":1::/64",
            InNs + "ip -6 route add prohibit " + Prefix + ":2::/64",
            // Forwarded back towards this host over a path that takes no more than 1280 bytes.
            InNs + "ip -6 route add " + Prefix + ":3::/64 via " + HostAddress + " mtu 1280",
            // The second router, whose kernel forwards but answers no echo request itself.
            InNs + "ip link add " + NearLoopLink + " type veth peer name " + FarLoopLink +
                " netns " + FLoopNamespace,
            InNs + "sysctl -qw net.ipv6.conf." + NearLoopLink + ".accept_dad=0",
            InLoop + "sysctl -qw net.ipv6.conf." + FarLoopLink + ".accept_dad=0",
            InNs + "ip -6 addr add " + FarLoopAddress + "/64 dev " + NearLoopLink + " nodad",
            InNs + "ip link set " + NearLoopLink + " up",
            InLoop + "ip link set lo up",
            InLoop + "ip -6 addr add " + RouterAddress + "/64 dev " + FarLoopLink + " nodad",
            InLoop + "ip link set " + FarLoopLink + " up",
            InLoop + "sysctl -qw net.ipv6.conf.all.forwarding=1",
            InLoop + "sysctl -qw net.ipv6.icmp.ratelimit=0",
            InLoop + "sysctl -qw net.ipv6.icmp.echo_ignore_all=1",
            // The loop: each of the two sends the prefix to the other.
            InNs + "ip -6 route add " + Prefix + ":4::/64 via " + RouterAddress,
            InLoop + "ip -6 route add default via " + FarLoopAddress,
        };
        for (const std::string& Step : Steps) {
            int Status = 0;
            const std::string Output = Shell(Step, &Status);
            if (Status != 0) {
                Problem = "\"" + Step + "\" failed: " + Output;
                return;
            }
        }
        FResponder = std::make_unique<TParameterProblemResponder>(FLoopNamespace, FarLoopLink,
                                                                  RouterAddress);
        Problem = FResponder->Problem;
    }
    ~TTestNamespace6() {
        FResponder.reset();
        Shell("ip netns del " + FLoopNamespace);
        Shell("ip netns del " + FNamespace);
        Shell("ip link del " + FHostLink);
    }
    TTestNamespace6(const TTestNamespace6&) = delete;
    TTestNamespace6& operator=(const TTestNamespace6&) = delete;

    bool SetFarAnswers(bool Answers) {
        int Status = 0;
        Shell("ip netns exec " + FNamespace +
                  " sysctl -qw net.ipv6.icmp.echo_ignore_all=" + (Answers ? "0" : "1"),
              &Status);
        return Status == 0;
    }

    // True when packets to Address leave through our own link and nowhere else.
    bool RoutedThroughOurLink(const std::string& Address) const {
        const std::string Route = Shell("ip -6 -o route get " + Address);
        return Route.find(" dev " + FHostLink + " ") != std::string::npos;
    }

    int ParameterProblemsSent() const { return FResponder ? FResponder->Answered() : 0; }

    std::string Problem;
    std::string FarLinkLocal = "fe80::2";
    std::string HostLink() const { return FHostLink; }
    std::string HostAddress, FarAddress, SilentAddress, UnreachableAddress, ProhibitedAddress,
        NarrowAddress, LoopingAddress, RouterAddress;

private:
    std::string FNamespace, FLoopNamespace, FHostLink;
    std::unique_ptr<TParameterProblemResponder> FResponder;
};

} // namespace

// Replies, a time-out, and each ICMPv6 error the link can be made to produce, in each socket
// kind.
TEST(Echo6Namespace, RepliesTimeoutsAndErrors) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    if (Shell("command -v ip").empty())
        GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    TTestNamespace6 Namespace;
    ASSERT_EQ(Namespace.Problem, "");
    for (const std::string& Address :
         {Namespace.FarAddress, Namespace.SilentAddress, Namespace.UnreachableAddress,
          Namespace.ProhibitedAddress, Namespace.NarrowAddress + "1", Namespace.LoopingAddress,
          Namespace.RouterAddress})
        ASSERT_TRUE(Namespace.RoutedThroughOurLink(Address)) << Address;

    int ModesRun = 0;
    for (const TIcmpMode Mode : Modes) {
        SCOPED_TRACE(IcmpModeName(Mode));
        std::string Why;
        if (!UseIcmpMode(Mode, Why, &Icmp6ServiceSetMode)) {
            std::cout << "[ SKIPPED  ] " << IcmpModeName(Mode) << " mode: " << Why << "\n";
            continue;
        }
        ++ModesRun;
        const TIcmpHandle Handle = Icmp6CreateFile();
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        struct Case {
            std::string Address;
            bool FarAnswers;
            std::size_t Size;
            std::uint32_t Timeout;
            std::uint32_t Status;
            std::string Reporter; // who answered or reported the error
        };
        const Case Cases[] = {
            {Namespace.FarAddress, true, 32, 2000, IP_SUCCESS, Namespace.FarAddress},
            {Namespace.FarAddress, false, 32, 300, IP_REQ_TIMED_OUT, ""},
            {Namespace.SilentAddress, true, 32, 5000, IP_DEST_HOST_UNREACHABLE,
             Namespace.HostAddress},
            {Namespace.UnreachableAddress, true, 32, 2000, IP_DEST_NET_UNREACHABLE,
             Namespace.FarAddress},
            {Namespace.ProhibitedAddress, true, 32, 2000, IP_DEST_HOST_UNREACHABLE,
             Namespace.FarAddress},
            // The request goes round between the two routers until its hop limit runs out: at the
            // second one, where it comes in with the last of the 64 it left with.
            {Namespace.LoopingAddress, true, 32, 2000, IP_TTL_EXPIRED_TRANSIT,
             Namespace.RouterAddress},
            {Namespace.RouterAddress, true, 32, 2000, IP_PARAM_PROBLEM, Namespace.RouterAddress},
            // An address of its own per mode: once the path's MTU is known, requests to it are
            // sent in fragments.
            {Namespace.NarrowAddress + std::to_string(ModesRun), true, 1400, 2000,
             IP_PACKET_TOO_BIG, ""},
        };
        for (const Case& C : Cases) {
            SCOPED_TRACE(C.Address);
            ASSERT_TRUE(Namespace.SetFarAnswers(C.FarAnswers));
            const TOutcome Out = Echo(Handle, Ipv6(C.Address), std::string(C.Size, 'v'), C.Timeout);
            EXPECT_EQ(Out.Status, C.Status);
            EXPECT_EQ(Out.Replies, C.Status == IP_SUCCESS ? 1U : 0U);
            if (C.Status == IP_REQ_TIMED_OUT) {
                EXPECT_GE(Out.ElapsedMs, C.Timeout);
                EXPECT_LT(Out.ElapsedMs, C.Timeout + 2000);
            } else {
                EXPECT_LT(Out.ElapsedMs, C.Timeout);
                if (!C.Reporter.empty()) {
                    EXPECT_EQ(Text(Out.Record.Address), C.Reporter);
                }
            }
        }
        EXPECT_TRUE(IcmpCloseHandle(Handle));
        EXPECT_EQ(Namespace.ParameterProblemsSent(), ModesRun);

        // The far side's link-local address, through the zone of our end of the link.
        ASSERT_TRUE(Namespace.SetFarAnswers(true));
        const std::string Zoned = Namespace.FarLinkLocal + "%" + Namespace.HostLink();
        for (const std::string& Target : {Zoned, "[" + Zoned + "]"}) {
            SCOPED_TRACE(Target);
            TReplyBuffer Reply{};
            std::string Address;
            SendEcho(Target, "zoned", Reply, 2000, Address);
            EXPECT_EQ(ReplyStatus(Reply), 0U);
            EXPECT_EQ(Address, Zoned);
        }
    }
    Icmp6ServiceSetMode(TIcmpMode::Auto);
    if (ModesRun == 0)
        GTEST_SKIP() << "no ICMPv6 socket kind can be opened here";
}

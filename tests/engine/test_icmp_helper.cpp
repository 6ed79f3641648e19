// The ICMP helper: its request rules as a table, its table of waiting requests, and the real
// helper program started as the engine starts it. Hostile requests go to a helper inside a
// network namespace of its own with only loopback, where a raw socket of the test watches every
// ICMP packet; nothing is ever sent anywhere else.
#include "icmp_dll.h"
#include "icmp_test_mode.h"
#include "zsIcmpHelperProtocol.h"
#include "zsIcmpTransport.h"
#include "zsPingHelper.h"
#include "zsPingStatus.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::array<std::uint8_t, 16> V4(const char* Text) {
    std::array<std::uint8_t, 16> A{};
    ::inet_pton(AF_INET, Text, A.data());
    return A;
}

std::array<std::uint8_t, 16> V6(const char* Text) {
    std::array<std::uint8_t, 16> A{};
    ::inet_pton(AF_INET6, Text, A.data());
    return A;
}

const std::vector<std::uint8_t> Payload16(16, 0x5A);

THelperRequest LoopbackRequest(std::uint16_t Identifier = 0x4242) {
    THelperRequest Request;
    Request.Family = 4;
    Request.Identifier = Identifier;
    Request.Sequence = 7;
    Request.TimeoutMs = 1000;
    Request.Address = V4("127.0.0.1");
    Request.Payload = Payload16;
    return Request;
}

template <class T>
void Poke(std::vector<std::uint8_t>& Message, std::size_t At, T Value) {
    std::memcpy(Message.data() + At, &Value, sizeof Value);
}

// Requests the helper of IPv4 must refuse, each made from a good one by one change.
struct THostile {
    const char* Name;
    std::vector<std::uint8_t> Message;
};

std::vector<THostile> HostileRequests() {
    const std::vector<std::uint8_t> Good = BuildHelperRequest(LoopbackRequest());
    auto Changed = [&](const std::function<void(std::vector<std::uint8_t>&)>& Change) {
        std::vector<std::uint8_t> M = Good;
        Change(M);
        return M;
    };
    auto To = [&](const char* Address) {
        THelperRequest R = LoopbackRequest();
        R.Address = V4(Address);
        return BuildHelperRequest(R);
    };
    std::vector<std::uint8_t> OverLimit(HelperMaxPayload4 + 1, 1);
    THelperRequest Big = LoopbackRequest();
    Big.Payload = OverLimit;
    return {
        {"empty", {}},
        {"short: header less one byte", {Good.begin(), Good.begin() + HelperRequestHeaderSize - 1}},
        {"short: payload cut", {Good.begin(), Good.end() - 1}},
        {"long: a byte past the payload", Changed([](auto& M) { M.push_back(0); })},
        {"wrong version 0", Changed([](auto& M) { M[0] = 0; })},
        {"wrong version 2", Changed([](auto& M) { M[0] = 2; })},
        {"unknown kind", Changed([](auto& M) { M[1] = 2; })},
        {"IPv6 to the IPv4 helper", Changed([](auto& M) { M[2] = 6; })},
        {"family 5", Changed([](auto& M) { M[2] = 5; })},
        {"hop limit 0", Changed([](auto& M) { M[3] = 0; })},
        {"payload size over the limit", BuildHelperRequest(Big)},
        {"payload size field larger than the payload",
         Changed([](auto& M) { Poke<std::uint32_t>(M, 12, 17); })},
        {"payload size field huge", Changed([](auto& M) { Poke<std::uint32_t>(M, 12, ~0U); })},
        {"reserved bytes set", Changed([](auto& M) { M[39] = 1; })},
        {"scope id on IPv4", Changed([](auto& M) { Poke<std::uint32_t>(M, 16, 1); })},
        {"bytes after the IPv4 address", Changed([](auto& M) { M[20 + 15] = 1; })},
        {"destination 0.0.0.0", To("0.0.0.0")},
        {"limited broadcast", To("255.255.255.255")},
        {"multicast 224.0.0.1", To("224.0.0.1")},
        {"multicast 239.255.255.250", To("239.255.255.250")},
    };
}

} // namespace

TEST(HelperProtocol, RequestsAndResponsesReadBackAsWritten) {
    THelperRequest Six;
    Six.Family = 6;
    Six.HopLimit = 3;
    Six.Identifier = 0xBEEF;
    Six.Sequence = 0xFFFF;
    Six.TimeoutMs = 0xFFFFFFFF;
    Six.ScopeId = 2;
    Six.Address = V6("fe80::1");
    Six.Payload = Payload16;
    const std::vector<std::uint8_t> Message = BuildHelperRequest(Six);
    const auto Read = ParseHelperRequest(Message, 6);
    ASSERT_TRUE(Read);
    EXPECT_EQ(Read->HopLimit, 3);
    EXPECT_EQ(Read->Identifier, 0xBEEF);
    EXPECT_EQ(Read->Sequence, 0xFFFF);
    EXPECT_EQ(Read->TimeoutMs, 0xFFFFFFFFu);
    EXPECT_EQ(Read->ScopeId, 2u);
    EXPECT_EQ(Read->Address, Six.Address);
    EXPECT_TRUE(std::ranges::equal(Read->Payload, Payload16));
    EXPECT_FALSE(ParseHelperRequest(Message, 4)) << "an IPv4 helper takes no IPv6 request";

    // The largest payloads of each family pass, empty ones too.
    for (const int Family : {4, 6}) {
        THelperRequest Largest = Family == 4 ? LoopbackRequest() : Six;
        const std::vector<std::uint8_t> Data(Family == 4 ? HelperMaxPayload4 : HelperMaxPayload6);
        Largest.Payload = Data;
        EXPECT_TRUE(ParseHelperRequest(BuildHelperRequest(Largest), Family)) << Family;
        Largest.Payload = {};
        EXPECT_TRUE(ParseHelperRequest(BuildHelperRequest(Largest), Family)) << Family;
    }

    THelperResponse Answer;
    Answer.Kind = THelperResponse::Answer;
    Answer.Family = 6;
    Answer.Identifier = 1;
    Answer.Sequence = 2;
    Answer.Errno = 3;
    Answer.ScopeId = 4;
    Answer.ReceivedRealNs = 1234567890123;
    Answer.Source = V6("::1");
    Answer.Packet = Payload16;
    const std::vector<std::uint8_t> Out = BuildHelperResponse(Answer);
    const auto Back = ParseHelperResponse(Out);
    ASSERT_TRUE(Back);
    EXPECT_EQ(Back->Kind, THelperResponse::Answer);
    EXPECT_EQ(Back->ReceivedRealNs, 1234567890123);
    EXPECT_EQ(Back->Source, Answer.Source);
    EXPECT_TRUE(std::ranges::equal(Back->Packet, Payload16));
    std::vector<std::uint8_t> Cut(Out.begin(), Out.end() - 1);
    EXPECT_FALSE(ParseHelperResponse(Cut));
}

TEST(HelperProtocol, MalformedAndHostileRequestsAreRefused) {
    EXPECT_TRUE(ParseHelperRequest(BuildHelperRequest(LoopbackRequest()), 4));
    for (const THostile& H : HostileRequests()) {
        SCOPED_TRACE(H.Name);
        EXPECT_FALSE(ParseHelperRequest(H.Message, 4));
    }
    // IPv6 destinations it may not send to (text only: nothing is sent here).
    struct TCase {
        const char* Address;
        std::uint32_t ScopeId;
        bool Allowed;
    };
    const TCase Cases[] = {
        {"::1", 0, true},
        {"2001:db8::1", 0, true},
        {"fe80::1", 3, true},
        {"::", 0, false},
        {"ff02::1", 0, false},
        {"ff05::1:3", 0, false},
        {"::ffff:127.0.0.1", 0, false},
        {"2001:db8::1", 3, false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Address);
        THelperRequest R = LoopbackRequest();
        R.Family = 6;
        R.Address = V6(C.Address);
        R.ScopeId = C.ScopeId;
        EXPECT_EQ(ParseHelperRequest(BuildHelperRequest(R), 6).has_value(), C.Allowed);
    }
}

TEST(HelperPending, PassesOnOneAnswerPerWaitingRequestFromItsDestination) {
    THelperPending Pending(2);
    const auto Here = V4("127.0.0.1");
    const auto There = V4("127.0.0.2");
    ASSERT_TRUE(Pending.Add(1, 1, Here, 1000, 0));
    ASSERT_TRUE(Pending.Add(1, 2, Here, 5000, 0));
    EXPECT_FALSE(Pending.Add(1, 3, Here, 5000, 10)) << "full of waiting requests";
    EXPECT_FALSE(Pending.Take({1, 2, There}, 10)) << "an answer about another address";
    EXPECT_TRUE(Pending.Take({1, 2, Here}, 10));
    EXPECT_FALSE(Pending.Take({1, 2, Here}, 10)) << "a duplicate";
    EXPECT_FALSE(Pending.Take({1, 1, Here}, 1001)) << "after its time";
    ASSERT_TRUE(Pending.Add(1, 4, Here, 5000, 10));
    ASSERT_TRUE(Pending.Add(1, 5, Here, 5000, 2000)) << "an expired request makes room";
    EXPECT_FALSE(Pending.Add(1, 6, Here, 5000, 2000));
    Pending.Remove(1, 4);
    EXPECT_TRUE(Pending.Add(1, 6, Here, 5000, 2000));
}

#ifdef VANTOREL_ICMP_HELPER

namespace {

// Runs Body in a child process inside a network namespace of its own with loopback up; the
// child's verdict comes back as text ("" when all held).
std::string InOwnNetworkNamespace(const std::function<std::string()>& Body) {
    int Pipe[2];
    if (::pipe(Pipe) != 0)
        return "no pipe";
    const pid_t Child = ::fork();
    if (Child == 0) {
        ::close(Pipe[0]);
        std::string Verdict;
        if (::unshare(CLONE_NEWNET) != 0) {
            Verdict = "unshare: " + std::string(std::strerror(errno));
        } else {
            const int Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq Loopback{};
            std::strcpy(Loopback.ifr_name, "lo");
            Loopback.ifr_flags = IFF_UP;
            if (Fd < 0 || ::ioctl(Fd, SIOCSIFFLAGS, &Loopback) != 0)
                Verdict = "loopback stays down";
            else
                Verdict = Body();
            ::close(Fd);
        }
        [[maybe_unused]] auto Written = ::write(Pipe[1], Verdict.data(), Verdict.size());
        ::_exit(0);
    }
    ::close(Pipe[1]);
    std::string Verdict;
    char Chunk[256];
    ssize_t Length;
    while ((Length = ::read(Pipe[0], Chunk, sizeof Chunk)) > 0)
        Verdict.append(Chunk, std::size_t(Length));
    ::close(Pipe[0]);
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    if (!WIFEXITED(Status))
        return "the child process died";
    return Verdict;
}

// Echo requests seen on the namespace's loopback since the watch opened: (IP header length,
// identifier, code, time to live).
struct TSeenRequest {
    std::size_t HeaderLength;
    std::uint16_t Identifier;
    std::uint8_t Code;
    std::uint8_t Ttl;
};
std::vector<TSeenRequest> EchoRequestsSeen(int Watch) {
    std::vector<TSeenRequest> Seen;
    std::uint8_t Packet[70000];
    for (;;) {
        const ssize_t Length = ::recv(Watch, Packet, sizeof Packet, MSG_DONTWAIT);
        if (Length < 28)
            return Seen;
        const std::size_t Ihl = std::size_t(Packet[0] & 15) * 4;
        if (std::size_t(Length) >= Ihl + 8 && Packet[Ihl] == 8)
            Seen.push_back({Ihl, std::uint16_t(Packet[Ihl + 4] << 8 | Packet[Ihl + 5]),
                            Packet[Ihl + 1], Packet[8]});
    }
}

// The next message from the helper: its bytes, or nothing when the connection ended or nothing
// came within the time.
std::optional<std::vector<std::uint8_t>> NextMessage(int Fd, bool& Ended) {
    Ended = false;
    pollfd Wait{Fd, POLLIN, 0};
    if (::poll(&Wait, 1, 3000) <= 0)
        return std::nullopt;
    std::vector<std::uint8_t> Message(HelperMaxResponseSize);
    const ssize_t Length = ::recv(Fd, Message.data(), Message.size(), 0);
    if (Length <= 0) {
        Ended = true;
        return std::nullopt;
    }
    Message.resize(std::size_t(Length));
    return Message;
}

} // namespace

TEST(IcmpHelper, HostileRequestsEndTheConnectionAndNothingIsSent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace and the helper's raw socket";
    SetIcmpHelperForTests(VANTOREL_ICMP_HELPER);
    const std::string Verdict = InOwnNetworkNamespace([]() -> std::string {
        const int Watch = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (Watch < 0)
            return "no raw socket to watch with";
        std::ostringstream Problems;
        std::uint16_t Identifier = 0x4300;
        for (THostile& H : HostileRequests()) {
            pid_t Pid;
            const int Fd = StartIcmpHelper(AF_INET, Pid);
            if (Fd < 0)
                return "the helper did not start: " + std::string(std::strerror(errno));
            // Each with an identifier of its own, so a packet seen names its request.
            if (H.Message.size() >= 6)
                Poke<std::uint16_t>(H.Message, 4, ++Identifier);
            if (::send(Fd, H.Message.data(), H.Message.size(), MSG_NOSIGNAL) < 0 && errno != EPIPE)
                Problems << H.Name << ": not sent to the helper; ";
            bool Ended = false;
            if (NextMessage(Fd, Ended) || !Ended)
                Problems << H.Name << ": the connection did not end at once; ";
            EndIcmpHelper(Fd, Pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!EchoRequestsSeen(Watch).empty())
                Problems << H.Name << ": an echo request went out; ";
        }

        // The same helper answers a good request, with a packet it built: type 8, code 0, a
        // bare IP header, and the request's hop limit.
        pid_t Pid;
        const int Fd = StartIcmpHelper(AF_INET, Pid);
        if (Fd < 0)
            return "the helper did not start";
        THelperRequest Good = LoopbackRequest(0x4444);
        Good.HopLimit = 3;
        if (!SendThroughHelper(Fd, Good))
            return "the good request was not taken";
        bool Ended = false;
        const auto Message = NextMessage(Fd, Ended);
        const auto Response = Message ? ParseHelperResponse(*Message) : std::nullopt;
        if (!Response || Response->Kind != THelperResponse::Answer ||
            Response->Identifier != 0x4444 || Response->Sequence != 7 ||
            Response->ReceivedRealNs == 0)
            Problems << "no answer to the good request; ";
        else if (Response->Packet.size() != 20 + 8 + 16 || Response->Packet[20] != 0)
            Problems << "the answer is not the echo reply as read; ";
        const auto Seen = EchoRequestsSeen(Watch);
        if (Seen.size() != 1 || Seen[0].HeaderLength != 20 || Seen[0].Identifier != 0x4444 ||
            Seen[0].Code != 0 || Seen[0].Ttl != 3)
            Problems << "not exactly one well-formed echo request on the wire; ";
        EndIcmpHelper(Fd, Pid);
        ::close(Watch);
        return Problems.str();
    });
    SetIcmpHelperForTests("");
    EXPECT_EQ(Verdict, "");
}

TEST(IcmpHelper, HoldsNoCapabilityUnderItsFilterAndEndsWithItsConnection) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for the helper's raw socket";
    SetIcmpHelperForTests(VANTOREL_ICMP_HELPER);
    pid_t Pid;
    const int Fd = StartIcmpHelper(AF_INET6, Pid);
    SetIcmpHelperForTests("");
    ASSERT_GE(Fd, 0) << std::strerror(errno);
    std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
    std::string Line;
    int Checked = 0;
    while (std::getline(Status, Line)) {
        for (const char* Key : {"CapInh:", "CapPrm:", "CapEff:", "CapBnd:", "CapAmb:"}) {
            if (Line.starts_with(Key)) {
                EXPECT_EQ(Line, std::string(Key) + "\t0000000000000000");
                ++Checked;
            }
        }
        if (Line.starts_with("NoNewPrivs:")) {
            EXPECT_EQ(Line, "NoNewPrivs:\t1");
            ++Checked;
        }
        if (Line.starts_with("Seccomp:")) {
            EXPECT_EQ(Line, "Seccomp:\t2");
            ++Checked;
        }
    }
    EXPECT_EQ(Checked, 7);
    // Its descriptors: the standard three, the connection and its raw socket.
    int Descriptors = 0;
    for (int D = 0; D < 1024; ++D)
        Descriptors +=
            ::access(("/proc/" + std::to_string(Pid) + "/fd/" + std::to_string(D)).c_str(), F_OK) ==
            0;
    EXPECT_LE(Descriptors, 5);

    ::close(Fd);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pid_t Ended = 0;
    while (Ended == 0 && std::chrono::steady_clock::now() < Deadline) {
        Ended = ::waitpid(Pid, nullptr, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Ended, Pid) << "the helper outlived its connection";
}

TEST(IcmpHelper, EngineRefusesWhatTheHelperWouldNotSendAndCarriesOn) {
    std::string Why;
    if (!UseIcmpMode(TIcmpMode::Helper, Why))
        GTEST_SKIP() << Why;
    const TIcmpHandle Handle = IcmpCreateFile();
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    std::uint8_t Reply[284];
    const char Data[] = "abc";
    // Multicast is never sent (text only: refused before anything leaves).
    IcmpSendEcho(Handle, ::inet_addr("224.0.0.1"), Data, 3, nullptr, Reply, sizeof Reply, 500);
    std::uint32_t Status;
    std::memcpy(&Status, Reply + 4, 4);
    EXPECT_EQ(Status, std::uint32_t(IP_BAD_DESTINATION));
    EXPECT_EQ(
        IcmpSendEcho(Handle, ::inet_addr("127.0.0.1"), Data, 3, nullptr, Reply, sizeof Reply, 2000),
        1u);
    EXPECT_EQ(IcmpServiceActiveMode(), "helper");
    IcmpCloseHandle(Handle);
    IcmpServiceSetMode(TIcmpMode::Auto);
}

#endif

TEST(IcmpHelper, TrustsOnlyRootOnlyFilesAndFolders) {
    EXPECT_TRUE(IsRootOnly("/bin/sh") || ::access("/bin/sh", F_OK) != 0);
    EXPECT_FALSE(IsRootOnly("/tmp")) << "a folder is no helper";
    EXPECT_FALSE(IsRootOnly("/no/such/file"));
    // A file below /tmp, which everyone may write to, is never trusted whoever owns it.
    char Name[] = "/tmp/vantorel-helper-XXXXXX";
    const int Fd = ::mkstemp(Name);
    ASSERT_GE(Fd, 0);
    ::fchmod(Fd, 0755);
    ::close(Fd);
    EXPECT_FALSE(IsRootOnly(Name));
    ::unlink(Name);
    const auto Places = IcmpHelperPlaces();
    // Beside the program (the test binary here), then below its prefix, then where it was
    // built to be installed.
    ASSERT_GE(Places.size(), 2u);
    EXPECT_EQ(Places[0].substr(0, Places[0].rfind('/')),
              std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
    EXPECT_TRUE(Places[1].ends_with("/libexec/vantorel/vantorel-icmp")) << Places[1];
    for (const std::string& Place : Places)
        EXPECT_TRUE(Place.ends_with("/vantorel-icmp")) << Place;
}

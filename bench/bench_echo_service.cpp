// Echo throughput on loopback: the shared echo service against a socket opened, used and closed
// for every request (what a naive per-call implementation would do). Each caller pings its own
// 127.0.x.y address. Counters: echoes_per_s (all callers together), cpu_us_per_echo (process
// CPU time, receiver thread included), lost (requests without a reply within a second).
#include "icmp_dll.h"
#include "zsPingHelper.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t PayloadSize = 16;
constexpr int TimeoutMs = 1000;

std::uint32_t CallerAddress(int Thread) {
    return htonl((127U << 24) | (std::uint32_t(Thread / 250) << 8) |
                 std::uint32_t(Thread % 250 + 1));
}

double ProcessCpuSeconds() {
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    return double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// Measures the process CPU time across the timed loop; thread 0 reports for everyone (the start
// and stop of the loop are barriers for all threads).
struct TCpuMeter {
    double Start = 0;
    void Begin(const benchmark::State& State) {
        if (State.thread_index() == 0)
            Start = ProcessCpuSeconds();
    }
    void End(benchmark::State& State, const std::atomic<long>& Lost) {
        if (State.thread_index() != 0)
            return;
        const double Echoes = double(State.iterations()) * State.threads();
        State.counters["cpu_us_per_echo"] = (ProcessCpuSeconds() - Start) * 1e6 / Echoes;
        State.counters["echoes_per_s"] = benchmark::Counter(Echoes, benchmark::Counter::kIsRate);
        State.counters["lost"] = double(Lost.load());
    }
};

TCpuMeter ServiceMeter;
std::atomic<long> ServiceLost{0};

void BM_EchoService(benchmark::State& State) {
    if (State.thread_index() == 0)
        ServiceLost = 0;
    const TIcmpHandle Handle = IcmpCreateFile();
    if (Handle == INVALID_HANDLE_VALUE) {
        State.SkipWithError("no ICMP socket can be opened");
        return;
    }
    const std::vector<std::uint8_t> Payload(PayloadSize, std::uint8_t(State.thread_index()));
    const std::uint32_t Target = CallerAddress(State.thread_index());
    std::uint8_t Buffer[284];
    ServiceMeter.Begin(State);
    for (auto _ : State) {
        IcmpSendEcho(Handle, Target, Payload.data(), PayloadSize, nullptr, Buffer, sizeof Buffer,
                     TimeoutMs);
        ICMP_ECHO_REPLY Record;
        std::memcpy(&Record, Buffer, sizeof Record);
        if (Record.Status != 0)
            ++ServiceLost;
    }
    ServiceMeter.End(State, ServiceLost);
    if (State.thread_index() == 0)
        State.SetLabel(IcmpServiceActiveMode());
    IcmpCloseHandle(Handle);
}

// One socket for one request: the kind the service uses, opened, filtered, sent on, read until
// our reply arrives, and closed.
bool EchoOnFreshSocket(bool Raw, std::uint32_t Target, std::uint16_t Identifier,
                       std::uint16_t Sequence, const std::vector<std::uint8_t>& Payload) {
    const int Fd = ::socket(AF_INET, (Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Fd < 0)
        return false;
    if (Raw) {
        icmp_filter Filter{~(1U << ICMP_ECHOREPLY)};
        ::setsockopt(Fd, SOL_RAW, ICMP_FILTER, &Filter, sizeof Filter);
    }
    const std::vector<std::uint8_t> Packet = BuildEchoRequest(Identifier, Sequence, Payload);
    sockaddr_in To{};
    To.sin_family = AF_INET;
    To.sin_addr.s_addr = Target;
    bool Answered = false;
    if (::sendto(Fd, Packet.data(), Packet.size(), 0, reinterpret_cast<sockaddr*>(&To),
                 sizeof To) == ssize_t(Packet.size())) {
        const auto Deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        std::uint8_t Buffer[1024];
        while (!Answered) {
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now());
            pollfd Poll{Fd, POLLIN, 0};
            if (Left.count() <= 0 || ::poll(&Poll, 1, int(Left.count())) <= 0)
                break;
            sockaddr_in From{};
            socklen_t FromLength = sizeof From;
            const ssize_t Length = ::recvfrom(Fd, Buffer, sizeof Buffer, MSG_DONTWAIT,
                                              reinterpret_cast<sockaddr*>(&From), &FromLength);
            TIcmpMessage Message;
            if (Length > 0 && ParseIcmpPacket(std::span(Buffer, std::size_t(Length)), Raw, Raw,
                                              From.sin_addr.s_addr, Message))
                Answered = Message.Kind == TIcmpMessage::EchoReply && Message.Source == Target &&
                           Message.Sequence == Sequence &&
                           (!Raw || Message.Identifier == Identifier);
        }
    }
    ::close(Fd);
    return Answered;
}

TCpuMeter BaselineMeter;
std::atomic<long> BaselineLost{0};

void BM_SocketPerRequest(benchmark::State& State) {
    if (State.thread_index() == 0)
        BaselineLost = 0;
    // Same socket kind as the service, so that the comparison is fair.
    const TIcmpHandle Probe = IcmpCreateFile();
    if (Probe == INVALID_HANDLE_VALUE) {
        State.SkipWithError("no ICMP socket can be opened");
        return;
    }
    IcmpCloseHandle(Probe);
    const bool Raw = IcmpServiceActiveMode() == "raw";
    const std::vector<std::uint8_t> Payload(PayloadSize, std::uint8_t(State.thread_index()));
    const std::uint32_t Target = CallerAddress(State.thread_index());
    const std::uint16_t Identifier = std::uint16_t(0x5000 + State.thread_index());
    std::uint16_t Sequence = 0;
    BaselineMeter.Begin(State);
    for (auto _ : State) {
        if (!EchoOnFreshSocket(Raw, Target, Identifier, Sequence++, Payload))
            ++BaselineLost;
    }
    BaselineMeter.End(State, BaselineLost);
    if (State.thread_index() == 0)
        State.SetLabel(Raw ? "raw" : "datagram");
}

} // namespace

BENCHMARK(BM_EchoService)->Threads(1)->Threads(16)->Threads(256)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SocketPerRequest)->Threads(1)->Threads(16)->Threads(256)->UseRealTime()->MinTime(1.0);

BENCHMARK_MAIN();

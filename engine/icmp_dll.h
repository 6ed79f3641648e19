// The process-wide ICMP echo service, with the calls and the reply record of the classic
// icmp.dll interface:
//
//   TIcmpHandle h = IcmpCreateFile();                 // INVALID_HANDLE_VALUE: no ICMP socket
//   std::uint8_t reply[284];
//   IcmpSendEcho(h, inet_addr("127.0.0.1"), data, size, nullptr, reply, sizeof reply, 1000);
//   auto* r = reinterpret_cast<ICMP_ECHO_REPLY*>(reply);  // r->Status, r->RoundTripTime
//   IcmpCloseHandle(h);
//
// Handles are cheap tokens: one set of sockets and one receiver thread serve every caller, and
// replies are matched to the waiting caller by (identifier, sequence). A caller reads the socket
// itself right after sending (on loopback the answer is there by then); the receiver thread
// watches the socket only while callers wait. Round trips run from the send to the kernel's
// receive time of the answer, so they do not include how long the answer waited to be read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

using TIcmpHandle = std::intptr_t;
constexpr TIcmpHandle INVALID_HANDLE_VALUE = -1;

// Options of a request or a reply, 8 bytes as in the 32-bit layout. OptionsData would be a
// pointer there. Of a request's options only Ttl counts: a value other than 0 is the hop limit
// of that one request (IPv4 time to live, IPv6 hop limit), and a router where it runs out
// answers with IP_TTL_EXPIRED_TRANSIT and its own address in the reply record; 0 sends with
// the system's default. A reply reports the Ttl and Tos of the packet received, where the
// socket gives them.
struct IP_OPTION_INFORMATION {
    std::uint8_t Ttl;
    std::uint8_t Tos;
    std::uint8_t Flags;
    std::uint8_t OptionsSize;
    std::uint32_t OptionsData;
};

// One reply record, 28 bytes. Address is in network byte order. Data would be a pointer to the
// echoed data in the 32-bit layout; here it holds the data's byte offset from the start of the
// reply buffer (the data follows the record).
struct ICMP_ECHO_REPLY {
    std::uint32_t Address;
    std::uint32_t Status;
    std::uint32_t RoundTripTime;
    std::uint16_t DataSize;
    std::uint16_t Reserved;
    std::uint32_t Data;
    IP_OPTION_INFORMATION Options;
};
static_assert(sizeof(ICMP_ECHO_REPLY) == 28);

// Opens a handle; INVALID_HANDLE_VALUE when neither kind of ICMP socket can be opened.
TIcmpHandle IcmpCreateFile();

// Sends one echo request and blocks until the answer or Timeout milliseconds. Returns the
// number of reply records written (1 for an echo reply, 0 otherwise). Status and RoundTripTime
// of the first record are written on every path where ReplySize leaves room for them: the
// IP_STATUS of the outcome (11010 when nothing came back in time, 11001 when the echoed data
// does not fit behind the record, 11050 for a bad handle or a failure of the service).
std::uint32_t IcmpSendEcho(TIcmpHandle IcmpHandle, std::uint32_t DestinationAddress,
                           const void* RequestData, std::uint32_t RequestSize,
                           const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                           std::uint32_t ReplySize, std::uint32_t Timeout);

// The outcome of a request made with IcmpSendEchoAsync: what the first reply record of
// IcmpSendEcho would hold.
struct TIcmpAsyncResult {
    bool Opened = true; // false when no ICMP socket could be opened (IcmpCreateFile would fail)
    std::uint32_t Status = 0; // the IP_STATUS
    std::uint32_t RoundTripTime = 0;
    std::uint32_t Address = 0; // the replying host, network byte order, when one replied
};
using TIcmpAsyncDone = std::function<void(const TIcmpAsyncResult&)>;

// Sends one echo request without waiting for its outcome, for a caller that keeps many requests
// out at once from one thread. Done runs exactly once: before this returns when the request is
// refused or its answer was queued by the time the send returned (usual on loopback), else on
// the service's receiver thread, or on a thread reading the socket for a request of its own.
// Done must be quick and must not block: other answers wait meanwhile. ReplyDataRoom is the
// room behind the record for the echoed data (11001 when the echo does not fit); HopLimit as an
// IP_OPTION_INFORMATION's Ttl.
void IcmpSendEchoAsync(std::uint32_t DestinationAddress, std::span<const std::uint8_t> RequestData,
                       std::uint32_t ReplyDataRoom, std::uint32_t Timeout, std::uint8_t HopLimit,
                       TIcmpAsyncDone Done);

// False for a handle that is not open.
bool IcmpCloseHandle(TIcmpHandle IcmpHandle);

// How the service sends. Auto prefers unprivileged datagram sockets, then the ICMP helper
// (vantorel-icmp, zsIcmpTransport.h), then a raw socket of the process's own (which needs
// CAP_NET_RAW, and Vantorel holds none).
enum class TIcmpMode { Auto, Datagram, Raw, Helper };

// Switches the service to Mode (closing its current sockets) and opens a socket of that kind
// right away; false when that is not permitted. Meant for tests and start-up, while no request
// is outstanding; requests still waiting end with 11050.
bool IcmpServiceSetMode(TIcmpMode Mode);

// The way in use: "datagram", "helper", "raw", or "" before the first socket was opened.
std::string IcmpServiceActiveMode();

// Whether this process can send echo requests, checked once at start-up. Problem is a text for
// the user saying why not and how to allow it; empty when Works.
struct TIcmpProbeResult {
    bool Works = false;
    std::string Mode; // "datagram", "helper" or "raw" when Works
    std::string Problem;
};
TIcmpProbeResult ProbeIcmp();

// ---- IPv6 ----
//
// The IPv6 twin of the service: Icmp6CreateFile / Icmp6SendEcho2 / IcmpCloseHandle, with one
// ICMPv6 socket for the whole process (datagram preferred, raw as fallback), one receiver
// thread, replies matched by (identifier, sequence) and round trips from the kernel's receive
// time. ICMPv6 errors end a request with the IP_STATUS of their IPv4 counterpart (see
// IPStatusFromIcmp6Error).

struct sockaddr_in6;

// The replying host as in the 32-bit layout: port, flow info, the address as eight 16-bit words
// in network byte order, and the scope (zone) id.
#pragma pack(push, 1)
struct IPV6_ADDRESS_EX {
    std::uint16_t sin6_port;
    std::uint32_t sin6_flowinfo;
    std::uint16_t sin6_addr[8];
    std::uint32_t sin6_scope_id;
};
#pragma pack(pop)
static_assert(sizeof(IPV6_ADDRESS_EX) == 26);

// One IPv6 reply record, 36 bytes; the echoed data follows it in the reply buffer.
#pragma pack(push, 1)
struct ICMPV6_ECHO_REPLY {
    IPV6_ADDRESS_EX Address;
    std::uint32_t Status;
    std::uint32_t RoundTripTime;
};
#pragma pack(pop)
static_assert(sizeof(ICMPV6_ECHO_REPLY) == 34);

// Opens an IPv6 handle; INVALID_HANDLE_VALUE when neither kind of ICMPv6 socket can be opened.
// IcmpCloseHandle closes it.
TIcmpHandle Icmp6CreateFile();

// As IcmpSendEcho, to an IPv6 destination (its scope id names the zone of a link-local one).
std::uint32_t Icmp6SendEcho2(TIcmpHandle IcmpHandle, const sockaddr_in6& DestinationAddress,
                             const void* RequestData, std::uint32_t RequestSize,
                             const IP_OPTION_INFORMATION* RequestOptions, void* ReplyBuffer,
                             std::uint32_t ReplySize, std::uint32_t Timeout);

// As IcmpServiceSetMode and IcmpServiceActiveMode, for the ICMPv6 socket.
bool Icmp6ServiceSetMode(TIcmpMode Mode);
std::string Icmp6ServiceActiveMode();

// The IP_STATUS an ICMPv6 error stands for, or nullopt for types that end no request.
std::optional<std::int32_t> IPStatusFromIcmp6Error(std::uint8_t Type, std::uint8_t Code);

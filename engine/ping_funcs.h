// One echo request to one target, and the resolver it uses. Every call stands alone: the target
// is resolved afresh and an echo handle is opened and closed around the request.
//
//   TReplyBuffer reply;
//   std::string address;
//   SendEcho("localhost", payload, reply, 5000, address);   // raises EPingError on failure
//   if (ReplyStatus(reply) == IP_SUCCESS) use(ReplyRoundTripTime(reply), address);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Room for one 28-byte echo reply record and 256 bytes of echoed data, whatever the payload.
constexpr std::size_t PING_REPLY_BUFFER_SIZE = 284;
using TReplyBuffer = std::array<std::uint8_t, PING_REPLY_BUFFER_SIZE>;

// Status and RoundTripTime of the first reply record in the buffer.
std::uint32_t ReplyStatus(const TReplyBuffer& Reply);
std::uint32_t ReplyRoundTripTime(const TReplyBuffer& Reply);

// Resolves Target to dotted IPv4 text, or to IPv6 text ("::1", "fe80::1%eth0") for an IPv6
// literal (bracketed or not) and for a name with no IPv4 address. On failure Address is empty and
// ErrorText holds the reason ("IP Address could not be resolved" for a name that does not exist).
bool ResolveHost(const std::string& Target, std::string& Address, std::string& ErrorText);

// Target in the numbers-and-dots form of an IPv4 address, read without asking anyone: Address
// gets its dotted text and Destination the address in network byte order. False for anything
// else, and for 255.255.255.255, which no echo request goes to.
bool ReadIpv4Literal(const std::string& Target, std::string& Address, std::uint32_t& Destination);

// Sends one echo request carrying Payload and blocks until the reply or the timeout. Raises
// EPingError when the request cannot be made; the outcome is left in the first reply record.
void SendEcho(const std::string& Target, const std::string& Payload, TReplyBuffer& Reply,
              std::int32_t TimeOut, std::string& Address);

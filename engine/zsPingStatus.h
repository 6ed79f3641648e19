// Ping status codes: the one-byte outcome of an echo request, mapped from the echo service's
// IP_STATUS numbering, plus three codes of our own (18, 19, 20).
//
//   uint8_t code = StatusFromIPStatus(reply.Status);   // 11010 -> 9
//   std::string text = StatusName(code);               // "REQ_TIMED_OUT"
//   std::string words = StatusWords(code);             // "Request timed out"
#pragma once

#include <cstdint>
#include <string>

using TPingStatus = std::uint8_t;

constexpr TPingStatus PING_STATUS_SUCCESS = 0;
constexpr TPingStatus PING_STATUS_REQ_TIMED_OUT = 9;
constexpr TPingStatus PING_STATUS_CANNOT_RESOLVE = 18; // the request could not be made
constexpr TPingStatus PING_STATUS_UNKNOWN_ERROR = 19;  // any other failure
constexpr TPingStatus PING_STATUS_INITIALIZING = 20;   // no result yet

// IP_STATUS values of the echo service.
constexpr std::int32_t IP_SUCCESS = 0;
constexpr std::int32_t IP_BUF_TOO_SMALL = 11001;
constexpr std::int32_t IP_DEST_NET_UNREACHABLE = 11002;
constexpr std::int32_t IP_DEST_HOST_UNREACHABLE = 11003;
constexpr std::int32_t IP_DEST_PROT_UNREACHABLE = 11004;
constexpr std::int32_t IP_DEST_PORT_UNREACHABLE = 11005;
constexpr std::int32_t IP_NO_RESOURCES = 11006;
constexpr std::int32_t IP_BAD_OPTION = 11007;
constexpr std::int32_t IP_HW_ERROR = 11008;
constexpr std::int32_t IP_PACKET_TOO_BIG = 11009;
constexpr std::int32_t IP_REQ_TIMED_OUT = 11010;
constexpr std::int32_t IP_BAD_REQ = 11011;
constexpr std::int32_t IP_BAD_ROUTE = 11012;
constexpr std::int32_t IP_TTL_EXPIRED_TRANSIT = 11013;
constexpr std::int32_t IP_TTL_EXPIRED_REASSEM = 11014;
constexpr std::int32_t IP_PARAM_PROBLEM = 11015;
constexpr std::int32_t IP_SOURCE_QUENCH = 11016;
constexpr std::int32_t IP_OPTION_TOO_BIG = 11017;
constexpr std::int32_t IP_BAD_DESTINATION = 11018;
constexpr std::int32_t IP_GENERAL_FAILURE = 11050;

// 0 to 17 for the listed IP_STATUS values, 19 for every other value.
TPingStatus StatusFromIPStatus(std::int32_t IPStatus);

// The code's name; every code outside 0..18 and 20 is "UNKNOWN_ERROR".
std::string StatusName(int Code);
// The code in words, for people: "Request timed out", "Destination host unreachable"; every
// code outside 0..20 is "Unknown error".
std::string StatusWords(int Code);

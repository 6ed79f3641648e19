// Locks what the process's ICMP sockets may be made to do once they are set up: a seccomp filter
// refuses (EPERM) the socket options that would widen what a raw socket sends or sees, for every
// thread of the process, present and future, and for every program it starts.
//
//   const TCapabilityDrop Drop = RunThenDropCapabilities([] { IcmpOpenEarly(); });
//   if (Drop.HeldAny) {
//       const std::string Problem = LockSocketOptions();   // after the sockets' own setup
//       if (!Problem.empty()) { std::fputs(Problem.c_str(), stderr); return 1; }
//   }
//
// Refused: IP_HDRINCL and IPV6_HDRINCL (packets with any header, any protocol, any source),
// IP_OPTIONS (source routes and other options on every packet), ICMP_FILTER and ICMP6_FILTER
// (all ICMP on the host readable), IPV6_CHECKSUM (a raw ICMPv6 socket sending any checksum),
// IP_TRANSPARENT and IPV6_TRANSPARENT (foreign source addresses). The sockets set all of these,
// where they need them, before the lock goes on.
//
// Turns no-new-privileges on where the capability drop has not already done so. Other system calls
// and the options that only narrow or tune a socket (buffer sizes, time stamps, error queues) stay
// allowed. The filter cannot look into sendmsg's control messages: per-packet IP options
// (IP_RETOPTS) there are not refused.
#pragma once

#include <string>

// Installs the filter on every thread (TSYNC); the empty string, or what went wrong, for the
// standard error stream.
std::string LockSocketOptions();

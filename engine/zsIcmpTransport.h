// How an echo service's requests leave the process: its own ICMP socket, datagram (where the
// kernel's ping group range allows it) or raw (where this process holds CAP_NET_RAW, which
// Vantorel never does), or a connection to the ICMP helper, vantorel-icmp, which holds a raw
// socket and sends only echo requests it builds itself (zsIcmpHelperProtocol.h).
//
//   pid_t Pid;
//   const int Fd = StartIcmpHelper(AF_INET, Pid);     // -1: errno says why
//   SendThroughHelper(Fd, Request);                    // answers come back as helper responses
//   EndIcmpHelper(Fd, Pid);
//
// Vantorel starts only a helper it can trust: a regular file that root owns and no one else may
// change, in a folder chain up to / of which root owns every folder and no one else may change
// any. It looks beside its own program file first, then in the libexec folder of the prefix the
// program lies under (<prefix>/libexec/vantorel), then in the one it was built for.
#pragma once

#include "zsIcmpHelperProtocol.h"

#include <string>
#include <vector>

#include <sys/types.h>

enum class TIcmpTransport { Datagram, Raw, Helper };

// Whether root alone can change Path and each folder above it.
bool IsRootOnly(const std::string& Path);

// Where the helper is looked for, in order.
std::vector<std::string> IcmpHelperPlaces();

// The first of IcmpHelperPlaces that exists and IsRootOnly, or "" when none does.
std::string FindIcmpHelper();

// Makes StartIcmpHelper start Path, trusted as it is, instead of searching; "" searches again.
// For tests, whose build tree is no root-only folder.
void SetIcmpHelperForTests(const std::string& Path);

// Starts the helper for Family (AF_INET or AF_INET6) and waits until it says it is ready. The
// connection (close-on-exec, blocking) and the helper's process id in Pid; or -1 with errno:
// ENOENT (no helper to trust), the helper's own reason (EPERM: its file grants no capability),
// or ETIMEDOUT / ECHILD when it never answered. After a failure the same errno comes back at
// once for 30 seconds, without a new try.
int StartIcmpHelper(int Family, pid_t& Pid);

// The next StartIcmpHelper tries again at once (when a service is switched over).
void ForgetIcmpHelperFailures();

// Closes the connection, which ends the helper, and collects the ended process.
void EndIcmpHelper(int Fd, pid_t Pid);

// Sends one request; false with errno set (EPIPE: the helper has gone).
bool SendThroughHelper(int Fd, const THelperRequest& Request);

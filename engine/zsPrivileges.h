// Least privilege for a program file that carries a capability (`setcap cap_net_raw+ep` on the
// ICMP helper): the one job the capability is for runs first, with CAP_NET_RAW as the only
// effective capability, and then the process gives up every capability at once, before any
// other code runs.
//
//   int main(int argc, char** argv) {
//       const TCapabilityDrop Drop = RunThenDropCapabilities(OpenRawSocket);
//       if (!Drop.Ok) { std::fputs(Drop.Problem.c_str(), stderr); return 1; }
//
// Vantorel itself keeps no capability either (it may have been started by root, or from a file
// that still carries one), but leaves the way open for the helper it starts:
//
//   RunThenDropCapabilities([] {}, SystemCapabilityCalls(), TDropKind::LetProgramsGain);
//
// Capabilities belong to threads, so this must run while the process has one thread only, and
// the job must not start any: a thread started earlier would keep what it had. That is checked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct TCapabilitySets {
    std::uint64_t Effective = 0;
    std::uint64_t Permitted = 0;
    std::uint64_t Inheritable = 0;
    bool Empty() const { return Effective == 0 && Permitted == 0 && Inheritable == 0; }
};

// The calling thread's capability sets; all zero when they cannot be read.
TCapabilitySets CurrentCapabilities();

struct TCapabilityDrop {
    // The process started with some capability, so it has been dropped.
    bool HeldAny = false;
    // No capability is left (true as well when none was held).
    bool Ok = true;
    // What went wrong, for the standard error stream, when not Ok.
    std::string Problem;
};

// The two system calls the drop is made of, replaceable so that tests can make them fail. Each
// returns false with errno set when the kernel refuses.
struct TCapabilityCalls {
    bool (*Get)(TCapabilitySets& Sets);
    bool (*Set)(const TCapabilitySets& Sets);
};
TCapabilityCalls SystemCapabilityCalls();

// Runs Privileged, then drops every capability when the process holds any: the bounding set
// (when CAP_SETPCAP allows it), the ambient set, the effective, permitted and inheritable sets
// in one call, keep-capabilities off, and no-new-privileges on, so that nothing run later
// (a program started from this one included) can gain a capability again. A process without
// capabilities only runs Privileged. When the sets cannot be read, nothing runs and the result is
// not Ok: any failure to learn or change the capabilities stops the program. An exception from
// Privileged propagates after the drop.
TCapabilityDrop RunThenDropCapabilities(const std::function<void()>& Privileged);
//
// LetProgramsGain leaves the bounding set and no-new-privileges alone: the process and its
// threads hold no capability, but a program it starts still gains what that program's file
// grants (the ICMP helper's cap_net_raw).
enum class TDropKind { ForGood, LetProgramsGain };
TCapabilityDrop RunThenDropCapabilities(const std::function<void()>& Privileged,
                                        const TCapabilityCalls& Calls,
                                        TDropKind Kind = TDropKind::ForGood);

// Puts the echo service into one socket kind for a test. Datagram sockets need the process's
// group inside net.ipv4.ping_group_range; as root the range is widened just long enough to open
// the socket (a socket once open keeps working) and then restored. A file lock keeps parallel
// test processes from restoring each other's value.
#pragma once

#include "icmp_dll.h"
#include "zsIcmpTransport.h"

#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

inline const char* IcmpModeName(TIcmpMode Mode) {
    return Mode == TIcmpMode::Raw        ? "raw"
           : Mode == TIcmpMode::Datagram ? "datagram"
           : Mode == TIcmpMode::Helper   ? "helper"
                                         : "auto";
}

// Holds the ping group range still for other test processes while it lives.
class TPingGroupRangeLock {
public:
    TPingGroupRangeLock()
        : FFd(::open("/tmp/vantorel-ping-group-range.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600)) {
        if (FFd >= 0 && ::flock(FFd, LOCK_EX) != 0) {
            ::close(FFd);
            FFd = -1;
        }
    }
    ~TPingGroupRangeLock() {
        if (FFd >= 0)
            ::close(FFd); // releases the lock
    }
    TPingGroupRangeLock(const TPingGroupRangeLock&) = delete;
    TPingGroupRangeLock& operator=(const TPingGroupRangeLock&) = delete;
    bool Held() const { return FFd >= 0; }

private:
    int FFd;
};

// True when the service (SetMode: IcmpServiceSetMode, or Icmp6ServiceSetMode for the ICMPv6
// one, which obeys the same ping group range) now uses Mode; otherwise Why says what stood in
// the way.
inline bool UseIcmpMode(TIcmpMode Mode, std::string& Why,
                        bool (*SetMode)(TIcmpMode) = &IcmpServiceSetMode) {
    TPingGroupRangeLock Lock;
    if (Mode == TIcmpMode::Helper) {
#ifdef VANTOREL_ICMP_HELPER
        // The helper of the build tree, which lies in no root-only folder.
        SetIcmpHelperForTests(VANTOREL_ICMP_HELPER);
        const bool Started = SetMode(Mode);
        SetIcmpHelperForTests("");
        if (!Started)
            Why = "the ICMP helper cannot open its raw socket here (needs root, or cap_net_raw "
                  "on " VANTOREL_ICMP_HELPER ")";
        return Started;
#else
        Why = "no ICMP helper in this build";
        return false;
#endif
    }
    if (SetMode(Mode))
        return true;
    if (Mode != TIcmpMode::Datagram || ::geteuid() != 0 || !Lock.Held()) {
        Why = std::string("cannot open a ") + IcmpModeName(Mode) +
              " ICMP socket here (needs CAP_NET_RAW, or a group in net.ipv4.ping_group_range)";
        return false;
    }
    const char* RangePath = "/proc/sys/net/ipv4/ping_group_range";
    std::string Saved;
    {
        std::ifstream In(RangePath);
        std::getline(In, Saved);
    }
    {
        std::ofstream Out(RangePath);
        Out << "0 2147483647\n";
    }
    const bool Opened = SetMode(Mode);
    {
        std::ofstream Out(RangePath);
        Out << Saved << "\n";
    }
    if (!Opened)
        Why = "datagram ICMP sockets are refused even with a widened ping group range";
    return Opened;
}

// Vantorel program entry. The main window is not assembled yet: the program says so, reports
// whether this process may send echo requests, and exits.
#include "icmp_dll.h"

#include <cstdio>

int main() {
    std::printf("Vantorel " VANTOREL_VERSION_TEXT ": the libraries are built, but the desktop "
                "program is not assembled yet (the main window is still to come).\n");
    const TIcmpProbeResult Probe = ProbeIcmp();
    if (Probe.Works) {
        std::printf("ICMP echo requests work here (%s sockets).\n", Probe.Mode.c_str());
    } else {
        std::printf("%s\n", Probe.Problem.c_str());
    }
    return 0;
}

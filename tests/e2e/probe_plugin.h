// A plugin as an attacker would plant it: the moment it is loaded, before Qt asks it for
// anything, it notes so in the file VANTOREL_PROBE_MARKER names, together with what happened when
// it tried to turn on header inclusion on each raw socket the process holds (0: it could).
// Built twice, as a platform theme and as a platform plugin, both with the key "vantorelprobe".
#pragma once

#include <QObject>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

__attribute__((constructor)) void ProbeLoaded() {
    const char* Marker = std::getenv("VANTOREL_PROBE_MARKER");
    if (!Marker)
        return;
    std::FILE* File = std::fopen(Marker, "a");
    if (!File)
        return;
    std::fprintf(File, "loaded in %d\n", int(::getpid()));
    for (int Fd = 0; Fd < 1024; ++Fd) {
        int Type = 0;
        socklen_t Length = sizeof Type;
        if (::getsockopt(Fd, SOL_SOCKET, SO_TYPE, &Type, &Length) != 0 || Type != SOCK_RAW)
            continue;
        const int On = 1;
        const int Error = ::setsockopt(Fd, SOL_IP, IP_HDRINCL, &On, sizeof On) == 0 ? 0 : errno;
        std::fprintf(File, "raw socket %d IP_HDRINCL %d\n", Fd, Error);
    }
    std::fclose(File);
}

} // namespace

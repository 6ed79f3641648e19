#include "zsSocketLock.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <linux/icmp.h>
#include <netinet/in.h>
#include <seccomp.h>

namespace {

// ICMPv6's filter option and level, without <netinet/icmp6.h>'s clash with <linux/icmp.h>.
constexpr int SolIcmpV6 = 58;
constexpr int Icmp6Filter = 1;

struct TRefused {
    int Level;
    int Option;
};

constexpr TRefused Refused[] = {
    {SOL_IP, IP_HDRINCL},      {SOL_IP, IP_OPTIONS},     {SOL_IP, IP_TRANSPARENT},
    {SOL_RAW, ICMP_FILTER},    {SOL_IPV6, IPV6_HDRINCL}, {SOL_IPV6, IPV6_TRANSPARENT},
    {SOL_IPV6, IPV6_CHECKSUM}, {SolIcmpV6, Icmp6Filter},
};

std::string Failure(const char* What, int Error) {
    return std::string("Vantorel: cannot lock its ICMP socket's options: ") + What + " (" +
           std::strerror(Error) + ").\n";
}

} // namespace

std::string LockSocketOptions() {
    const std::unique_ptr<void, void (*)(scmp_filter_ctx)> Filter(seccomp_init(SCMP_ACT_ALLOW),
                                                                  seccomp_release);
    if (!Filter)
        return Failure("no filter", ENOMEM);
    // Every thread, not only the caller: a thread of a library started earlier is covered too.
    int Error = seccomp_attr_set(Filter.get(), SCMP_FLTATR_CTL_TSYNC, 1);
    if (Error != 0)
        return Failure("threads cannot share the filter", -Error);
    for (const TRefused& Rule : Refused) {
        // Level and option are ints: only their low 32 bits count.
        Error = seccomp_rule_add(Filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setsockopt), 2,
                                 SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffU, unsigned(Rule.Level)),
                                 SCMP_A2(SCMP_CMP_MASKED_EQ, 0xffffffffU, unsigned(Rule.Option)));
        if (Error != 0)
            return Failure("a rule was refused", -Error);
    }
    Error = seccomp_load(Filter.get());
    if (Error != 0)
        return Failure("the kernel refused the filter", -Error);
    return {};
}

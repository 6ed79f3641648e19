#include "zsPrivileges.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using TCapData = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

bool SystemGetCapabilities(TCapabilitySets& Sets) {
    __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
    TCapData Data{};
    if (::syscall(SYS_capget, &Header, Data) != 0)
        return false;
    const auto Join = [&](auto Member) {
        return std::uint64_t(Data[0].*Member) | (std::uint64_t(Data[1].*Member) << 32);
    };
    Sets.Effective = Join(&__user_cap_data_struct::effective);
    Sets.Permitted = Join(&__user_cap_data_struct::permitted);
    Sets.Inheritable = Join(&__user_cap_data_struct::inheritable);
    return true;
}

// One call sets all three: the kernel applies them together or not at all.
bool SystemSetCapabilities(const TCapabilitySets& Sets) {
    __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
    TCapData Data{};
    for (int Half = 0; Half < 2; ++Half) {
        Data[Half].effective = std::uint32_t(Sets.Effective >> (32 * Half));
        Data[Half].permitted = std::uint32_t(Sets.Permitted >> (32 * Half));
        Data[Half].inheritable = std::uint32_t(Sets.Inheritable >> (32 * Half));
    }
    return ::syscall(SYS_capset, &Header, Data) == 0;
}

constexpr std::uint64_t Bit(int Capability) {
    return std::uint64_t(1) << Capability;
}

// Threads of this process, or -1 when /proc cannot tell.
int ThreadCount() {
    DIR* Tasks = ::opendir("/proc/self/task");
    if (!Tasks)
        return -1;
    int Count = 0;
    while (const dirent* Entry = ::readdir(Tasks)) {
        if (Entry->d_name[0] != '.')
            ++Count;
    }
    ::closedir(Tasks);
    return Count;
}

std::string Failure(const std::string& What) {
    return "Vantorel: " + What + "; it does not run with capabilities it cannot give up.\n";
}

std::string Failure(const char* What, int Error) {
    return Failure(std::string(What) + " (" + std::strerror(Error) + ")");
}

// Clears the bounding set while CAP_SETPCAP is still there to allow it. Without CAP_SETPCAP it
// stays: no-new-privileges then keeps a later program from gaining what it still lists.
void DropBoundingSet(const TCapabilityCalls& Calls, const TCapabilitySets& Held) {
    if (!(Held.Permitted & Bit(CAP_SETPCAP)))
        return;
    TCapabilitySets WithSetPcap = Held;
    WithSetPcap.Effective |= Bit(CAP_SETPCAP);
    if (!Calls.Set(WithSetPcap))
        return;
    // Capabilities newer than this header are found by asking until the kernel says none.
    for (int Capability = 0; ::prctl(PR_CAPBSET_READ, Capability, 0, 0, 0) >= 0; ++Capability)
        ::prctl(PR_CAPBSET_DROP, Capability, 0, 0, 0);
}

} // namespace

TCapabilityCalls SystemCapabilityCalls() {
    return {SystemGetCapabilities, SystemSetCapabilities};
}

TCapabilitySets CurrentCapabilities() {
    TCapabilitySets Sets;
    if (!SystemGetCapabilities(Sets))
        Sets = {};
    return Sets;
}

TCapabilityDrop RunThenDropCapabilities(const std::function<void()>& Privileged) {
    return RunThenDropCapabilities(Privileged, SystemCapabilityCalls());
}

TCapabilityDrop RunThenDropCapabilities(const std::function<void()>& Privileged,
                                        const TCapabilityCalls& Calls, TDropKind Kind) {
    TCapabilityDrop Result;
    TCapabilitySets Held;
    // A process that cannot learn what it holds might hold CAP_NET_RAW in every thread it is
    // about to start: it runs nothing, privileged or not.
    if (!Calls.Get(Held)) {
        Result.Ok = false;
        Result.Problem = Failure("cannot read its capabilities", errno);
        return Result;
    }
    if (Held.Empty()) {
        Privileged();
        return Result;
    }
    Result.HeldAny = true;

    // The job gets CAP_NET_RAW alone, and gets it when the file granted it only as permitted.
    TCapabilitySets ForJob = Held;
    ForJob.Effective = Held.Permitted & Bit(CAP_NET_RAW);
    Calls.Set(ForJob); // lowering cannot fail; a refused raise only makes the job fail

    const auto Drop = [&] {
        if (Kind == TDropKind::ForGood)
            DropBoundingSet(Calls, Held);
        // Below 4.3 kernels there is no ambient set (EINVAL): nothing to clear.
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
            Result.Ok = false;
            Result.Problem = Failure("cannot clear its ambient capabilities", errno);
        }
        ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
        if (!Calls.Set(TCapabilitySets{})) {
            Result.Ok = false;
            Result.Problem = Failure("cannot drop its capabilities", errno);
            return;
        }
        if (Kind == TDropKind::ForGood && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
            Result.Ok = false;
            Result.Problem = Failure("cannot forbid new privileges", errno);
            return;
        }
        TCapabilitySets Left;
        if (!Calls.Get(Left)) {
            Result.Ok = false;
            Result.Problem = Failure("cannot read its capabilities after dropping them", errno);
            return;
        }
        if (!Left.Empty()) {
            Result.Ok = false;
            Result.Problem = Failure(std::string("still holds capabilities after dropping them"));
            return;
        }
        // Another thread would have kept its own copy of the sets.
        const int Threads = ThreadCount();
        if (Threads < 0) {
            Result.Ok = false;
            Result.Problem = Failure("cannot list its threads in /proc", errno);
        } else if (Threads > 1) {
            Result.Ok = false;
            Result.Problem = Failure(std::to_string(Threads - 1) +
                                     " other thread(s) started before the capabilities were "
                                     "dropped kept them");
        }
    };
    try {
        Privileged();
    } catch (...) {
        Drop();
        throw;
    }
    Drop();
    return Result;
}

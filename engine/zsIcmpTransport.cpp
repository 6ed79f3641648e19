#include "zsIcmpTransport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VANTOREL_LIBEXEC_DIR
#define VANTOREL_LIBEXEC_DIR "/usr/local/libexec/vantorel"
#endif
#ifndef VANTOREL_LIBEXEC_RELATIVE
#define VANTOREL_LIBEXEC_RELATIVE "libexec"
#endif

namespace {

int StartHelperAt(const std::string& Helper, int Family, pid_t& Pid);

constexpr const char* HelperName = "vantorel-icmp";
// How long a starting helper may take to open its socket and say so.
constexpr int StartTimeoutMs = 5000;

// After a helper could not start, the next start is tried this much later only: every request
// would start one otherwise.
constexpr auto RetryDelay = std::chrono::seconds(30);

std::mutex TestHelperLock; // guards TestHelper and the failures
std::string TestHelper;
struct TFailure {
    std::chrono::steady_clock::time_point At;
    int Errno = 0;
};
TFailure Failures[2]; // IPv4, IPv6

bool RootOnlyEntry(const struct stat& Info) {
    return Info.st_uid == 0 && (Info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string ProgramFolder() {
    std::array<char, 4096> Path{};
    const ssize_t Length = ::readlink("/proc/self/exe", Path.data(), Path.size() - 1);
    if (Length <= 0)
        return {};
    std::string Program(Path.data(), std::size_t(Length));
    return Program.substr(0, Program.rfind('/'));
}

} // namespace

bool IsRootOnly(const std::string& Path) {
    char* Real = ::realpath(Path.c_str(), nullptr);
    if (!Real)
        return false;
    std::string Name(Real);
    std::free(Real);
    struct stat Info;
    if (::stat(Name.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode) || !RootOnlyEntry(Info))
        return false;
    // Every folder up to the root: whoever may change one may swap what lies below it.
    for (std::size_t Slash = Name.rfind('/');; Slash = Name.rfind('/', Slash - 1)) {
        const std::string Folder = Slash == 0 ? std::string("/") : Name.substr(0, Slash);
        if (::stat(Folder.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode) || !RootOnlyEntry(Info))
            return false;
        if (Slash == 0)
            return true;
    }
}

std::vector<std::string> IcmpHelperPlaces() {
    std::vector<std::string> Places;
    if (const std::string Folder = ProgramFolder(); !Folder.empty()) {
        Places.push_back(Folder + "/" + HelperName);
        // The libexec folder of the prefix the program was installed under (/usr/bin/vantorel:
        // /usr/libexec/vantorel), whatever prefix it was built for.
        const std::string Prefix = Folder.substr(0, Folder.rfind('/'));
        Places.push_back(Prefix + "/" VANTOREL_LIBEXEC_RELATIVE "/vantorel/" + HelperName);
    }
    const std::string Built = std::string(VANTOREL_LIBEXEC_DIR) + "/" + HelperName;
    if (std::find(Places.begin(), Places.end(), Built) == Places.end())
        Places.push_back(Built);
    return Places;
}

std::string FindIcmpHelper() {
    for (const std::string& Place : IcmpHelperPlaces()) {
        if (IsRootOnly(Place))
            return Place;
    }
    return {};
}

void SetIcmpHelperForTests(const std::string& Path) {
    std::lock_guard Guard(TestHelperLock);
    TestHelper = Path;
    Failures[0] = Failures[1] = TFailure{};
}

void ForgetIcmpHelperFailures() {
    std::lock_guard Guard(TestHelperLock);
    Failures[0] = Failures[1] = TFailure{};
}

int StartIcmpHelper(int Family, pid_t& Pid) {
    Pid = -1;
    std::string Helper;
    TFailure& Failure = Failures[Family == AF_INET6 ? 1 : 0];
    {
        std::lock_guard Guard(TestHelperLock);
        if (Failure.Errno != 0 && std::chrono::steady_clock::now() < Failure.At + RetryDelay) {
            errno = Failure.Errno;
            return -1;
        }
        Helper = TestHelper;
    }
    const int Fd = Helper.empty() ? StartHelperAt(FindIcmpHelper(), Family, Pid)
                                  : StartHelperAt(Helper, Family, Pid);
    const int Why = errno;
    std::lock_guard Guard(TestHelperLock);
    Failure = Fd < 0 ? TFailure{std::chrono::steady_clock::now(), Why} : TFailure{};
    errno = Why;
    return Fd;
}

namespace {

int StartHelperAt(const std::string& Helper, int Family, pid_t& Pid) {
    if (Helper.empty()) {
        errno = ENOENT;
        return -1;
    }
    int Ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, Ends) != 0)
        return -1;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    // dup2 onto descriptor 3 clears close-on-exec there (also when the end is 3 already).
    posix_spawn_file_actions_adddup2(&Actions, Ends[1], 3);
    char Name[] = "vantorel-icmp";
    char Which[] = {Family == AF_INET6 ? '6' : '4', '\0'};
    char* Argv[] = {Name, Which, nullptr};
    char* Environment[] = {nullptr};
    const int Spawned = ::posix_spawn(&Pid, Helper.c_str(), &Actions, nullptr, Argv, Environment);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Ends[1]);
    if (Spawned != 0) {
        ::close(Ends[0]);
        Pid = -1;
        errno = Spawned;
        return -1;
    }
    // Its first word: ready, or why not.
    pollfd Wait{Ends[0], POLLIN, 0};
    int Ready;
    do {
        Ready = ::poll(&Wait, 1, StartTimeoutMs);
    } while (Ready < 0 && errno == EINTR);
    std::array<std::uint8_t, HelperResponseHeaderSize> First{};
    const ssize_t Length =
        Ready > 0 ? ::recv(Ends[0], First.data(), First.size(), MSG_DONTWAIT) : -1;
    const auto Response = Length > 0
                              ? ParseHelperResponse(std::span(First.data(), std::size_t(Length)))
                              : std::nullopt;
    if (Response && Response->Kind == THelperResponse::Ready) {
        // A helper that falls behind holds a request up this long before it fails.
        const timeval SendTimeout{1, 0};
        ::setsockopt(Ends[0], SOL_SOCKET, SO_SNDTIMEO, &SendTimeout, sizeof SendTimeout);
        return Ends[0];
    }
    const int Why = Response && Response->Kind == THelperResponse::StartFailed && Response->Errno
                        ? Response->Errno
                        : (Ready == 0 ? ETIMEDOUT : ECHILD);
    if (Ready == 0)
        ::kill(Pid, SIGKILL);
    EndIcmpHelper(Ends[0], Pid);
    Pid = -1;
    errno = Why;
    return -1;
}

} // namespace

void EndIcmpHelper(int Fd, pid_t Pid) {
    if (Fd >= 0)
        ::close(Fd);
    if (Pid > 0) {
        while (::waitpid(Pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool SendThroughHelper(int Fd, const THelperRequest& Request) {
    const std::vector<std::uint8_t> Message = BuildHelperRequest(Request);
    ssize_t Sent;
    do {
        Sent = ::send(Fd, Message.data(), Message.size(), MSG_NOSIGNAL);
    } while (Sent < 0 && errno == EINTR);
    return Sent == ssize_t(Message.size());
}

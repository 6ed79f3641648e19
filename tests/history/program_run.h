// Runs the real program file without any display (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM
// removed from its environment): its exit code, what it wrote to each output, and its peak
// resident memory.
#pragma once

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace program_run {

struct TResult {
    int Code = -1; // the exit code, or 128 + the signal that ended it
    std::string Out;
    std::string Err;
    long MaxRssKiB = 0;
};

// Out names the file the standard output goes to (empty: a file of the test's, read back).
inline TResult Run(const std::string& Program, const std::vector<std::string>& Arguments,
                   const std::string& Folder, const std::vector<std::string>& Environment = {},
                   const std::string& Out = {}) {
    std::vector<std::string> Args{Program};
    Args.insert(Args.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> Argv;
    for (std::string& A : Args) {
        Argv.push_back(A.data());
    }
    Argv.push_back(nullptr);
    std::vector<std::string> Env;
    for (char** E = environ; *E != nullptr; ++E) {
        const std::string Entry = *E;
        bool Drop = false;
        for (const char* Name : {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}) {
            Drop = Drop || Entry.rfind(Name, 0) == 0;
        }
        if (!Drop) {
            Env.push_back(Entry);
        }
    }
    Env.insert(Env.end(), Environment.begin(), Environment.end());
    std::vector<char*> Envp;
    for (std::string& E : Env) {
        Envp.push_back(E.data());
    }
    Envp.push_back(nullptr);

    const std::string OutFile = Out.empty() ? Folder + "/run-out.txt" : Out;
    const std::string ErrFile = Folder + "/run-err.txt";
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&Actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    TResult Result;
    pid_t Child = 0;
    const int Spawned =
        posix_spawn(&Child, Program.c_str(), &Actions, nullptr, Argv.data(), Envp.data());
    posix_spawn_file_actions_destroy(&Actions);
    if (Spawned != 0) {
        Result.Err = std::strerror(Spawned);
        return Result;
    }
    int Status = 0;
    rusage Usage{};
    while (wait4(Child, &Status, 0, &Usage) < 0 && errno == EINTR) {
    }
    Result.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    Result.MaxRssKiB = Usage.ru_maxrss;
    const auto Read = [](const std::string& Name) {
        std::ifstream File(Name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(File), {});
    };
    if (Out.empty()) {
        Result.Out = Read(OutFile);
    }
    Result.Err = Read(ErrFile);
    return Result;
}

} // namespace program_run

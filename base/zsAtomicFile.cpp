#include "zsAtomicFile.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view TemporaryMark = ".vantorel-tmp-";
constexpr std::size_t RandomLength = 6;
constexpr int MaxLinkHops = 40; // as the kernel allows

std::string ErrnoText(int Code) {
    const char* Text = ::strerrordesc_np(Code);
    return Text ? Text : "error " + std::to_string(Code);
}

std::string ParentFolder(const std::string& Path) {
    const auto Slash = Path.rfind('/');
    if (Slash == std::string::npos) {
        return ".";
    }
    return Slash == 0 ? std::string("/") : Path.substr(0, Slash);
}

std::string BaseName(const std::string& Path) {
    const auto Slash = Path.rfind('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

bool IsRandomCharacter(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9');
}

std::string RandomSuffix() {
    static constexpr std::string_view Alphabet =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::array<unsigned char, RandomLength> Bytes{};
    if (::getrandom(Bytes.data(), Bytes.size(), 0) != static_cast<ssize_t>(Bytes.size())) {
        std::random_device Device;
        for (unsigned char& B : Bytes) {
            B = static_cast<unsigned char>(Device());
        }
    }
    std::string Suffix;
    for (const unsigned char B : Bytes) {
        Suffix += Alphabet[B % Alphabet.size()];
    }
    return Suffix;
}

// Closes Fd, retrying nothing (Linux never leaves it open after a failed close).
void CloseQuietly(int& Fd) {
    if (Fd >= 0) {
        ::close(Fd);
        Fd = -1;
    }
}

} // namespace

EAtomicFileError::EAtomicFileError(const std::string& FileName, const std::string& Reason,
                                   int ErrorCode)
    : std::runtime_error("Unable to write to " + FileName + ": " + Reason), FFileName(FileName),
      FReason(Reason), FErrorCode(ErrorCode) {}

bool TzsAtomicFile::IsTemporaryName(std::string_view Name) {
    // "." + at least one character of the target's name + the mark + the random part.
    if (Name.size() < 2 + TemporaryMark.size() + RandomLength || Name.front() != '.') {
        return false;
    }
    const std::string_view Random = Name.substr(Name.size() - RandomLength);
    const std::string_view Before = Name.substr(0, Name.size() - RandomLength);
    if (Before.substr(Before.size() - TemporaryMark.size()) != TemporaryMark) {
        return false;
    }
    for (const char C : Random) {
        if (!IsRandomCharacter(C)) {
            return false;
        }
    }
    return true;
}

int TzsAtomicFile::RemoveLeftTemporaries(const std::string& Folder) {
    DIR* Listing = ::opendir(Folder.c_str());
    if (!Listing) {
        return 0;
    }
    const int DirFd = ::dirfd(Listing);
    std::vector<std::string> Names;
    while (const dirent* Entry = ::readdir(Listing)) {
        if (IsTemporaryName(Entry->d_name)) {
            Names.emplace_back(Entry->d_name);
        }
    }
    int Removed = 0;
    for (const std::string& Name : Names) {
        const int Fd = ::openat(DirFd, Name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (Fd < 0) {
            continue;
        }
        struct stat Opened {};
        struct stat Named {};
        // A live writer holds the lock; one that is gone released it with its last descriptor.
        // The name must still be the file locked (not one made since under the same name).
        if (::fstat(Fd, &Opened) == 0 && S_ISREG(Opened.st_mode) &&
            ::flock(Fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(DirFd, Name.c_str(), &Named, AT_SYMLINK_NOFOLLOW) == 0 &&
            Named.st_dev == Opened.st_dev && Named.st_ino == Opened.st_ino &&
            ::unlinkat(DirFd, Name.c_str(), 0) == 0) {
            ++Removed;
        }
        ::close(Fd);
    }
    ::closedir(Listing);
    return Removed;
}

TzsAtomicFile::TzsAtomicFile(const std::string& FileName) : FFileName(FileName) {
    if (FileName.empty()) {
        throw EAtomicFileError(FileName, "no file name given", ENOENT);
    }
    // Follow links to the file they end at, each relative one from its own folder.
    std::string Path = FileName;
    struct stat Info {};
    bool Exists = false;
    for (int Hop = 0;; ++Hop) {
        if (::lstat(Path.c_str(), &Info) != 0) {
            if (errno != ENOENT) {
                throw EAtomicFileError(FileName, ErrnoText(errno), errno);
            }
            break;
        }
        if (!S_ISLNK(Info.st_mode)) {
            Exists = true;
            break;
        }
        if (Hop == MaxLinkHops) {
            throw EAtomicFileError(FileName, ErrnoText(ELOOP), ELOOP);
        }
        std::string Link(static_cast<std::size_t>(Info.st_size > 0 ? Info.st_size : 255) + 1, '\0');
        const ssize_t Length = ::readlink(Path.c_str(), Link.data(), Link.size());
        if (Length < 0) {
            throw EAtomicFileError(FileName, ErrnoText(errno), errno);
        }
        if (static_cast<std::size_t>(Length) >= Link.size()) {
            continue; // the link changed under us: read it again
        }
        Link.resize(static_cast<std::size_t>(Length));
        Path = (!Link.empty() && Link.front() == '/') ? Link : ParentFolder(Path) + "/" + Link;
    }
    if (Exists) {
        if (S_ISDIR(Info.st_mode)) {
            throw EAtomicFileError(FileName, ErrnoText(EISDIR), EISDIR);
        }
        if (!S_ISREG(Info.st_mode)) {
            throw EAtomicFileError(FileName, "not a regular file", EINVAL);
        }
        // Write permission is checked on the mode bits, since the superuser passes any access()
        // test: a file its owner made read-only is kept.
        if ((Info.st_mode & S_IWUSR) == 0 ||
            (::geteuid() != 0 && ::faccessat(AT_FDCWD, Path.c_str(), W_OK, AT_EACCESS) != 0)) {
            throw EAtomicFileError(FileName, ErrnoText(EACCES), EACCES);
        }
    }
    FTarget = Path;
    FFolder = ParentFolder(Path);
    RemoveLeftTemporaries(FFolder);

    // A name at the file system's limit leaves no room for the mark: its start stands for it.
    const std::string Prefix =
        FFolder + "/." + BaseName(Path).substr(0, 200) + std::string(TemporaryMark);
    for (int Attempt = 0; Attempt < 100 && FFd < 0; ++Attempt) {
        FTemporary = Prefix + RandomSuffix();
        FFd = ::open(FTemporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
        if (FFd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            const int Error = errno;
            FTemporary.clear();
            throw EAtomicFileError(FileName, ErrnoText(Error), Error);
        }
        // Lock it before anyone may take it for a leftover; one that a cleaner removed in
        // between is given up for a new name.
        struct stat Made {};
        if (::flock(FFd, LOCK_EX) != 0 || ::fstat(FFd, &Made) != 0 || Made.st_nlink == 0) {
            CloseQuietly(FFd);
            ::unlink(FTemporary.c_str());
        }
    }
    if (FFd < 0) {
        FTemporary.clear();
        throw EAtomicFileError(FileName, ErrnoText(EEXIST), EEXIST);
    }
    FLockFd = ::fcntl(FFd, F_DUPFD_CLOEXEC, 0);
    if (FLockFd < 0) {
        Fail(errno);
    }
    if (Exists) {
        // Keep the old file's permissions; a failure here is not worth losing the write.
        (void)::fchmod(FFd, Info.st_mode & 07777);
    }
    FBuffer.reserve(BufferSize);
}

TzsAtomicFile::~TzsAtomicFile() {
    Abort();
}

void TzsAtomicFile::Abort() noexcept {
    CloseQuietly(FFd);
    if (!FTemporary.empty()) {
        ::unlink(FTemporary.c_str());
        FTemporary.clear();
    }
    CloseQuietly(FLockFd);
    FBuffer.clear();
}

void TzsAtomicFile::Fail(int ErrorCode, std::string Reason) {
    Abort();
    throw EAtomicFileError(FFileName, Reason.empty() ? ErrnoText(ErrorCode) : Reason, ErrorCode);
}

void TzsAtomicFile::Write(std::string_view Bytes) {
    if (FFd < 0) {
        throw EAtomicFileError(FFileName, "the write was already ended", EBADF);
    }
    if (FBuffer.size() + Bytes.size() > BufferSize) {
        Flush();
    }
    if (Bytes.size() >= BufferSize) {
        WriteOut(Bytes);
    } else {
        FBuffer.append(Bytes);
    }
}

void TzsAtomicFile::Flush() {
    WriteOut(FBuffer);
    FBuffer.clear();
}

void TzsAtomicFile::WriteOut(std::string_view Bytes) {
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t Put = ::write(FFd, Bytes.data() + Done, Bytes.size() - Done);
        if (Put < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(errno);
        }
        if (Put == 0) {
            Fail(EIO, "the file system took no more bytes");
        }
        Done += static_cast<std::size_t>(Put);
    }
}

void TzsAtomicFile::Commit() {
    if (FFd < 0) {
        throw EAtomicFileError(FFileName, "the write was already ended", EBADF);
    }
    Flush();
    if (::fsync(FFd) != 0) {
        Fail(errno);
    }
    // Closed here, so that its result is seen before the rename; the duplicate keeps the lock.
    const int Fd = std::exchange(FFd, -1);
    if (::close(Fd) != 0) {
        Fail(errno);
    }
    const bool Replaced = FReplace ? FReplace(FTemporary, FTarget)
                                   : ::rename(FTemporary.c_str(), FTarget.c_str()) == 0;
    if (!Replaced) {
        Fail(errno);
    }
    FTemporary.clear();
    CloseQuietly(FLockFd);
    const int Folder = ::open(FFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Folder >= 0) {
        (void)::fsync(Folder);
        ::close(Folder);
    }
}

void WriteFileAtomically(const std::string& FileName, std::string_view Content) {
    TzsAtomicFile File(FileName);
    File.Write(Content);
    File.Commit();
}

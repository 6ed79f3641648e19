#include "zsFileVer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t MagicSize = 16;
constexpr std::size_t WordsSize = 16;
constexpr std::size_t StampSize = MagicSize + WordsSize;

// The four numbers of the project version, parsed where the compiler can see them.
constexpr std::array<std::uint32_t, 4> ParseVersion(std::string_view Text) {
    std::array<std::uint32_t, 4> Parts{};
    std::size_t Index = 0;
    for (char C : Text) {
        if (C == '.') {
            if (++Index == Parts.size()) {
                break;
            }
        } else if (C >= '0' && C <= '9') {
            Parts[Index] = Parts[Index] * 10 + static_cast<std::uint32_t>(C - '0');
        }
    }
    return Parts;
}

constexpr auto Version = ParseVersion(VANTOREL_VERSION_TEXT);
constexpr std::uint32_t VersionMS = (Version[0] & 0xffff) << 16 | (Version[1] & 0xffff);
constexpr std::uint32_t VersionLS = (Version[2] & 0xffff) << 16 | (Version[3] & 0xffff);

constexpr void PutWord(std::array<unsigned char, StampSize>& Stamp, std::size_t At,
                       std::uint32_t Word) {
    for (std::size_t I = 0; I < 4; ++I) {
        Stamp[At + I] = static_cast<unsigned char>(Word >> (8 * I));
    }
}

consteval std::array<unsigned char, StampSize> BuildStamp(std::uint32_t MS, std::uint32_t LS) {
    // The magic holds bytes that text never does, so a stamp is not found by chance.
    std::array<unsigned char, StampSize> Stamp{0x7f, 'V', 'N', 'T', 'R',  'L',  0x01, 0xfe,
                                               'F',  'V', 'E', 'R', 0x00, 0x9c, 0x5a, 0xa5};
    PutWord(Stamp, 16, MS);
    PutWord(Stamp, 20, LS);
    PutWord(Stamp, 24, ~MS);
    PutWord(Stamp, 28, ~LS);
    return Stamp;
}

// The stamp of this build. The magic is read from here at run time rather than written out a
// second time, so the program file holds it exactly once.
[[gnu::used, gnu::section(".vantorel_version")]] const std::array<unsigned char, StampSize>
    ProgramStamp = BuildStamp(VersionMS, VersionLS);

std::uint32_t GetWord(const unsigned char* At) {
    std::uint32_t Word = 0;
    for (std::size_t I = 0; I < 4; ++I) {
        Word |= static_cast<std::uint32_t>(At[I]) << (8 * I);
    }
    return Word;
}

[[noreturn]] void Raise(const QString& Message) {
    throw EFileVersionError(Message.toStdString());
}

} // namespace

QByteArray MakeFileVersionStamp(std::uint32_t MS, std::uint32_t LS) {
    std::array<unsigned char, StampSize> Stamp{};
    std::copy_n(ProgramStamp.begin(), MagicSize, Stamp.begin());
    PutWord(Stamp, 16, MS);
    PutWord(Stamp, 20, LS);
    PutWord(Stamp, 24, ~MS);
    PutWord(Stamp, 28, ~LS);
    return QByteArray(reinterpret_cast<const char*>(Stamp.data()), StampSize);
}

QString GetFileVersionText(const QString& FileName) {
    const QByteArray Path = FileName.toLocal8Bit();
    const int Fd = ::open(Path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0) {
        Raise(QStringLiteral("Cannot read the version of \"%1\": %2")
                  .arg(FileName, QString::fromLocal8Bit(std::strerror(errno))));
    }
    const std::boyer_moore_horspool_searcher Searcher(ProgramStamp.begin(),
                                                      ProgramStamp.begin() + MagicSize);
    std::vector<unsigned char> Window;
    std::vector<unsigned char> Chunk(1 << 20);
    std::optional<std::pair<std::uint32_t, std::uint32_t>> Found;
    int ReadError = 0;
    while (!Found) {
        const ssize_t Got = ::read(Fd, Chunk.data(), Chunk.size());
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        if (Got < 0) {
            ReadError = errno;
            break;
        }
        if (Got == 0) {
            break;
        }
        Window.insert(Window.end(), Chunk.begin(), Chunk.begin() + Got);
        auto From = Window.begin();
        for (;;) {
            const auto At = std::search(From, Window.end(), Searcher);
            if (At == Window.end() || Window.end() - At < static_cast<std::ptrdiff_t>(StampSize)) {
                break;
            }
            const unsigned char* Words = &*At + MagicSize;
            const std::uint32_t MS = GetWord(Words);
            const std::uint32_t LS = GetWord(Words + 4);
            if (GetWord(Words + 8) == ~MS && GetWord(Words + 12) == ~LS) {
                Found.emplace(MS, LS);
                break;
            }
            From = At + 1;
        }
        // Keep enough of the tail for a stamp that straddles the next read.
        if (Window.size() > StampSize - 1) {
            Window.erase(Window.begin(), Window.end() - static_cast<std::ptrdiff_t>(StampSize - 1));
        }
    }
    ::close(Fd);
    if (ReadError != 0) {
        Raise(QStringLiteral("Cannot read the version of \"%1\": %2")
                  .arg(FileName, QString::fromLocal8Bit(std::strerror(ReadError))));
    }
    if (!Found) {
        Raise(QStringLiteral("\"%1\" carries no version information.").arg(FileName));
    }
    return QStringLiteral("%1.%2.%3.%4")
        .arg(Found->first >> 16)
        .arg(Found->first & 0xffff)
        .arg(Found->second >> 16)
        .arg(Found->second & 0xffff);
}

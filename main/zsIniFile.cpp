#include "zsIniFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view Blanks = " \t";

std::string_view Trim(std::string_view S) {
    const auto First = S.find_first_not_of(Blanks);
    if (First == std::string_view::npos) {
        return {};
    }
    const auto Last = S.find_last_not_of(Blanks);
    return S.substr(First, Last - First + 1);
}

bool IsQuote(char C) {
    return C == '"' || C == '\'';
}

std::string_view Unquote(std::string_view S) {
    if (S.size() >= 2 && IsQuote(S.front()) && S.back() == S.front()) {
        return S.substr(1, S.size() - 2);
    }
    return S;
}

// Quotes a value whose blanks or quotes the reader would otherwise strip, so that it reads
// back exactly as written.
std::string Quoted(std::string_view Value) {
    const bool EdgeBlank =
        !Value.empty() && (Blanks.find(Value.front()) != std::string_view::npos ||
                           Blanks.find(Value.back()) != std::string_view::npos);
    const bool LooksQuoted =
        Value.size() >= 2 && IsQuote(Value.front()) && Value.back() == Value.front();
    if (EdgeBlank || LooksQuoted) {
        return "\"" + std::string(Value) + "\"";
    }
    return std::string(Value);
}

bool HasLineBreak(std::string_view S) {
    return S.find_first_of("\r\n") != std::string_view::npos;
}

std::string AsciiLower(std::string_view S) {
    std::string Result(S);
    for (char& C : Result) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return Result;
}

std::string ErrnoText(int Error) {
    return std::strerror(Error);
}

class TFd {
public:
    explicit TFd(int Fd) : FFd(Fd) {}
    ~TFd() {
        if (FFd >= 0) {
            ::close(FFd);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

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

} // namespace

TzsIniFile::TzsIniFile(std::string FileName, TFold Fold)
    : FFileName(std::move(FileName)), FFold(std::move(Fold)) {}

std::string TzsIniFile::Fold(std::string_view Name) const {
    return FFold ? FFold(Name) : AsciiLower(Name);
}

std::vector<TzsIniFile::TLine> TzsIniFile::Parse(std::string_view Content) {
    std::vector<TLine> Lines;
    bool InSection = false;
    while (!Content.empty()) {
        const auto End = Content.find('\n');
        std::string_view Raw = Content.substr(0, End);
        Content = End == std::string_view::npos ? std::string_view{} : Content.substr(End + 1);
        TLine Line;
        if (End != std::string_view::npos) {
            Line.Ending = "\n";
        }
        if (!Raw.empty() && Raw.back() == '\r') {
            Raw.remove_suffix(1);
            Line.Ending.insert(0, "\r");
        }
        Line.Text = std::string(Raw);
        const std::string_view Trimmed = Trim(Raw);
        if (!Trimmed.empty() && Trimmed.front() == '[') {
            const auto Close = Trimmed.find(']');
            if (Close != std::string_view::npos) {
                Line.Kind = TLine::TKind::Section;
                Line.Name = std::string(Trimmed.substr(1, Close - 1));
                InSection = true;
            }
        } else if (InSection && !Trimmed.empty() && Trimmed.front() != ';') {
            const auto Equal = Trimmed.find('=');
            if (Equal != std::string_view::npos) {
                const std::string_view Key = Trim(Trimmed.substr(0, Equal));
                if (!Key.empty()) {
                    Line.Kind = TLine::TKind::Entry;
                    Line.Name = std::string(Key);
                    Line.Value = std::string(Unquote(Trim(Trimmed.substr(Equal + 1))));
                }
            }
        }
        Lines.push_back(std::move(Line));
    }
    return Lines;
}

std::optional<std::string> TzsIniFile::Load(const std::string& Path) const {
    // Non-blocking, so that a FIFO put in place of the file cannot freeze the program.
    TFd Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (Fd.Get() < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw EIniFileError("Unable to read " + Path + ": " + ErrnoText(errno));
    }
    struct stat Info {};
    if (::fstat(Fd.Get(), &Info) != 0) {
        throw EIniFileError("Unable to read " + Path + ": " + ErrnoText(errno));
    }
    if (!S_ISREG(Info.st_mode)) {
        throw EIniFileError("Unable to read " + Path + ": it is not a regular file");
    }
    if (static_cast<std::uintmax_t>(Info.st_size) > MaxFileSize) {
        throw EIniFileError("Unable to read " + Path + ": the file is larger than " +
                            std::to_string(MaxFileSize / (1024 * 1024)) + " MB");
    }
    std::string Content;
    char Buffer[65536];
    for (;;) {
        const ssize_t Got = ::read(Fd.Get(), Buffer, sizeof Buffer);
        if (Got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw EIniFileError("Unable to read " + Path + ": " + ErrnoText(errno));
        }
        if (Got == 0) {
            break;
        }
        Content.append(Buffer, static_cast<std::size_t>(Got));
        // The file may grow while it is read.
        if (Content.size() > MaxFileSize) {
            throw EIniFileError("Unable to read " + Path + ": the file is larger than " +
                                std::to_string(MaxFileSize / (1024 * 1024)) + " MB");
        }
    }
    return Content;
}

std::vector<TzsIniFile::TLine> TzsIniFile::LoadLines() const {
    const auto Content = Load(FFileName);
    return Content ? Parse(*Content) : std::vector<TLine>{};
}

std::vector<TzsIniFile::TLine> TzsIniFile::FirstSectionEntries(std::string_view Section) const {
    const std::string WantSection = Fold(Section);
    std::vector<TLine> Entries;
    bool InWanted = false;
    for (TLine& Line : LoadLines()) {
        if (Line.Kind == TLine::TKind::Section) {
            // Only the first section of a name counts, as with the classic functions.
            if (InWanted) {
                break;
            }
            InWanted = Fold(Line.Name) == WantSection;
        } else if (InWanted && Line.Kind == TLine::TKind::Entry) {
            Entries.push_back(std::move(Line));
        }
    }
    return Entries;
}

std::string TzsIniFile::ReadString(std::string_view Section, std::string_view Key,
                                   std::string_view Default) const {
    const std::string WantKey = Fold(Trim(Key));
    for (TLine& Line : FirstSectionEntries(Section)) {
        if (Fold(Line.Name) == WantKey) {
            return std::move(Line.Value);
        }
    }
    return std::string(Default);
}

long TzsIniFile::ReadInteger(std::string_view Section, std::string_view Key, long Default) const {
    const std::string Text = ReadString(Section, Key);
    std::string_view Digits = Text;
    if (!Digits.empty() && Digits.front() == '+') {
        Digits.remove_prefix(1);
    }
    long Value = 0;
    const auto [End, Error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value);
    if (Digits.empty() || Error != std::errc() || End != Digits.data() + Digits.size()) {
        return Default;
    }
    return Value;
}

bool TzsIniFile::ReadBool(std::string_view Section, std::string_view Key, bool Default) const {
    return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

std::vector<TzsIniFile::TKeyValue> TzsIniFile::ReadSectionValues(std::string_view Section) const {
    std::vector<TKeyValue> Result;
    std::vector<std::string> Seen;
    for (TLine& Line : FirstSectionEntries(Section)) {
        std::string Folded = Fold(Line.Name);
        if (std::find(Seen.begin(), Seen.end(), Folded) == Seen.end()) {
            Seen.push_back(std::move(Folded));
            Result.emplace_back(std::move(Line.Name), std::move(Line.Value));
        }
    }
    return Result;
}

std::vector<std::string> TzsIniFile::ReadSection(std::string_view Section) const {
    std::vector<std::string> Keys;
    for (auto& [Key, Value] : ReadSectionValues(Section)) {
        Keys.push_back(std::move(Key));
    }
    return Keys;
}

bool TzsIniFile::SectionExists(std::string_view Section) const {
    return !ReadSectionValues(Section).empty();
}

bool TzsIniFile::IsStorableSectionName(std::string_view Name) {
    if (Name.find_first_of("[]") != std::string_view::npos) {
        return false;
    }
    return std::none_of(Name.begin(), Name.end(),
                        [](char C) { return static_cast<unsigned char>(C) < 0x20 || C == 0x7f; });
}

bool TzsIniFile::IsStorableKey(std::string_view Key) {
    const std::string_view Trimmed = Trim(Key);
    return !Trimmed.empty() && Trimmed.front() != '[' && Trimmed.front() != ';' &&
           Key.find('=') == std::string_view::npos && !HasLineBreak(Key) &&
           Key.find('\0') == std::string_view::npos;
}

bool TzsIniFile::IsStorableValue(std::string_view Value) {
    return !HasLineBreak(Value) && Value.find('\0') == std::string_view::npos;
}

void TzsIniFile::WriteFailed(std::string_view Reason) const {
    std::string Message = "Unable to write to " + FFileName;
    if (!Reason.empty()) {
        Message += ": ";
        Message += Reason;
    }
    throw EIniFileError(Message);
}

void TzsIniFile::Modify(const std::function<void(std::vector<TLine>&)>& Change) {
    std::optional<std::string> Old;
    try {
        Old = Load(FFileName);
    } catch (const EIniFileError& Error) {
        // Writing back what could not be read would lose the rest of the file.
        WriteFailed(Error.what());
    }
    std::vector<TLine> Lines = Old ? Parse(*Old) : std::vector<TLine>{};
    Change(Lines);
    // Lines keep the ends they had, so that a write changes nothing but the entries it
    // touches; new lines end with CR LF.
    std::string Content;
    for (const TLine& Line : Lines) {
        Content += Line.Text;
        // A last line without a line feed gets one, or whatever follows would join it.
        const bool EndsLine = !Line.Ending.empty() && Line.Ending.back() == '\n';
        Content += EndsLine ? std::string_view(Line.Ending) : std::string_view("\r\n");
    }
    if ((Old && *Old == Content) || (!Old && Content.empty())) {
        return;
    }
    Store(FFileName, Content);
}

bool TzsIniFile::ReplaceFile(const std::string& TempName, const std::string& Target) {
    return ::rename(TempName.c_str(), Target.c_str()) == 0;
}

void TzsIniFile::Store(const std::string& FileName, const std::string& Content) {
    // Write through a link to the file it points at, so that a linked config stays linked.
    std::string Target = FileName;
    struct stat LinkInfo {};
    if (::lstat(FileName.c_str(), &LinkInfo) == 0 && S_ISLNK(LinkInfo.st_mode)) {
        if (char* Real = ::realpath(FileName.c_str(), nullptr)) {
            Target = Real;
            std::free(Real);
        }
    }
    struct stat OldInfo {};
    const bool HadOld = ::stat(Target.c_str(), &OldInfo) == 0;

    static std::atomic<unsigned> Counter{0};
    const std::string Folder = ParentFolder(Target);
    std::string TempName;
    int RawFd = -1;
    for (int Attempt = 0; Attempt < 100 && RawFd < 0; ++Attempt) {
        TempName = Folder + "/." + BaseName(Target) + ".tmp-" + std::to_string(::getpid()) + "-" +
                   std::to_string(Counter.fetch_add(1));
        RawFd = ::open(TempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (RawFd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (RawFd < 0) {
        WriteFailed();
    }
    TFd Fd(RawFd);
    auto Fail = [&] {
        ::unlink(TempName.c_str());
        WriteFailed();
    };
    if (HadOld) {
        // Keep the old file's permissions; a failure here is not worth losing the write.
        (void)::fchmod(Fd.Get(), OldInfo.st_mode & 07777);
    }
    std::size_t Done = 0;
    while (Done < Content.size()) {
        const ssize_t Put = ::write(Fd.Get(), Content.data() + Done, Content.size() - Done);
        if (Put < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail();
        }
        Done += static_cast<std::size_t>(Put);
    }
    if (::fsync(Fd.Get()) != 0 || ::close(Fd.Release()) != 0) {
        Fail();
    }
    if (!ReplaceFile(TempName, Target)) {
        Fail();
    }
    TFd Dir(::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Dir.Get() >= 0) {
        (void)::fsync(Dir.Get());
    }
}

void TzsIniFile::WriteString(std::string_view Section, std::string_view Key,
                             std::string_view Value) {
    if (!IsStorableSectionName(Section) || !IsStorableKey(Key) || !IsStorableValue(Value)) {
        WriteFailed("the name or value holds a character that cannot be stored");
    }
    const std::string WantSection = Fold(Section);
    const std::string WantKey = Fold(Trim(Key));
    const std::string NewText = std::string(Trim(Key)) + "=" + Quoted(Value);
    Modify([&](std::vector<TLine>& Lines) {
        std::optional<std::size_t> SectionAt;
        std::optional<std::size_t> InsertAt;
        for (std::size_t I = 0; I < Lines.size(); ++I) {
            TLine& Line = Lines[I];
            if (Line.Kind == TLine::TKind::Section) {
                if (SectionAt) {
                    break;
                }
                if (Fold(Line.Name) == WantSection) {
                    SectionAt = I;
                    InsertAt = I + 1;
                }
            } else if (SectionAt && Line.Kind == TLine::TKind::Entry) {
                if (Fold(Line.Name) == WantKey) {
                    Line.Text = NewText;
                    return;
                }
                InsertAt = I + 1;
            }
        }
        TLine Entry;
        Entry.Kind = TLine::TKind::Entry;
        Entry.Text = NewText;
        if (InsertAt) {
            Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(*InsertAt), Entry);
            return;
        }
        TLine Header;
        Header.Kind = TLine::TKind::Section;
        Header.Text = "[" + std::string(Section) + "]";
        Lines.push_back(std::move(Header));
        Lines.push_back(std::move(Entry));
    });
}

void TzsIniFile::WriteInteger(std::string_view Section, std::string_view Key, long Value) {
    WriteString(Section, Key, std::to_string(Value));
}

void TzsIniFile::WriteBool(std::string_view Section, std::string_view Key, bool Value) {
    WriteString(Section, Key, Value ? "1" : "0");
}

void TzsIniFile::ReplaceSection(std::string_view Section, const std::vector<TKeyValue>& Entries) {
    const bool Storable = IsStorableSectionName(Section) &&
                          std::all_of(Entries.begin(), Entries.end(), [](const TKeyValue& Entry) {
                              return IsStorableKey(Entry.first) && IsStorableValue(Entry.second);
                          });
    if (!Storable) {
        WriteFailed("the name or value holds a character that cannot be stored");
    }
    const std::string WantSection = Fold(Section);
    Modify([&](std::vector<TLine>& Lines) {
        // The new entries take the place of the first section of that name, so that a file
        // keeps its order from one write to the next; later ones are dropped.
        std::vector<TLine> Kept;
        Kept.reserve(Lines.size() + Entries.size() + 1);
        bool Dropping = false;
        bool Placed = false;
        auto Place = [&] {
            Placed = true;
            if (Entries.empty()) {
                return;
            }
            TLine Header;
            Header.Kind = TLine::TKind::Section;
            Header.Text = "[" + std::string(Section) + "]";
            Kept.push_back(std::move(Header));
            for (const auto& [Key, Value] : Entries) {
                TLine Entry;
                Entry.Kind = TLine::TKind::Entry;
                Entry.Text = std::string(Trim(Key)) + "=" + Quoted(Value);
                Kept.push_back(std::move(Entry));
            }
        };
        for (TLine& Line : Lines) {
            if (Line.Kind == TLine::TKind::Section) {
                Dropping = Fold(Line.Name) == WantSection;
                if (Dropping && !Placed) {
                    Place();
                }
            }
            if (!Dropping) {
                Kept.push_back(std::move(Line));
            }
        }
        if (!Placed) {
            Place();
        }
        Lines = std::move(Kept);
    });
}

void TzsIniFile::EraseSection(std::string_view Section) {
    ReplaceSection(Section, {});
}

#include "zsIniFile.h"

#include "zsAtomicFile.h"
#include "zsFileHandle.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

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

constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

// The characters Windows-1252 puts at 0x80-0x9F; its five unused bytes keep their own number.
constexpr char16_t Windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& Out, char32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

// Prefix of the temporary files of a save of Target, followed by "<pid>-<number>".
std::string TemporaryPrefix(const std::string& Target) {
    return "." + BaseName(Target) + ".tmp-";
}

// The writer's process id from a temporary file's name, or 0 when the name is not one of ours.
pid_t TemporaryWriter(std::string_view Name, std::string_view Prefix) {
    if (Name.substr(0, Prefix.size()) != Prefix) {
        return 0;
    }
    Name.remove_prefix(Prefix.size());
    const auto Dash = Name.find('-');
    if (Dash == std::string_view::npos || Dash == 0 || Dash + 1 == Name.size()) {
        return 0;
    }
    const std::string_view Counter = Name.substr(Dash + 1);
    if (Counter.find_first_not_of("0123456789") != std::string_view::npos) {
        return 0;
    }
    pid_t Pid = 0;
    const auto [End, Error] = std::from_chars(Name.data(), Name.data() + Dash, Pid);
    if (Error != std::errc() || End != Name.data() + Dash || Pid <= 0) {
        return 0;
    }
    return Pid;
}

double SecondsOf(const timespec& T) {
    return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

// How long the process has been running, or a negative number when that cannot be told.
double ProcessAgeSeconds(pid_t Pid) {
    std::ifstream Stat("/proc/" + std::to_string(Pid) + "/stat");
    std::string Line;
    if (!std::getline(Stat, Line)) {
        return -1;
    }
    // The command name in brackets may hold blanks and brackets; the fields after the last
    // closing bracket start with the third, and the start time is the 22nd.
    const auto Close = Line.rfind(')');
    if (Close == std::string::npos) {
        return -1;
    }
    std::string_view Rest = std::string_view(Line).substr(Close + 1);
    for (int Field = 3; Field < 22; ++Field) {
        Rest = Trim(Rest);
        const auto Blank = Rest.find(' ');
        if (Blank == std::string_view::npos) {
            return -1;
        }
        Rest.remove_prefix(Blank);
    }
    Rest = Trim(Rest);
    unsigned long long Ticks = 0;
    if (std::from_chars(Rest.data(), Rest.data() + Rest.size(), Ticks).ec != std::errc()) {
        return -1;
    }
    const long TicksPerSecond = ::sysconf(_SC_CLK_TCK);
    timespec SinceBoot{};
    if (TicksPerSecond <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &SinceBoot) != 0) {
        return -1;
    }
    return SecondsOf(SinceBoot) - static_cast<double>(Ticks) / static_cast<double>(TicksPerSecond);
}

// False only when the writer of a temporary file last written FileAge seconds ago is surely
// gone. A process id can be taken again by a later process, which then cannot be the writer.
bool WriterMayBeAlive(pid_t Pid, double FileAge) {
    if (::kill(Pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    const double ProcessAge = ProcessAgeSeconds(Pid);
    // The start time is known to within a clock tick or so; the margin keeps a doubtful case
    // on the safe side.
    return ProcessAge < 0 || ProcessAge + 2.0 >= FileAge;
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

bool TzsIniFile::IsValidUtf8(std::string_view Bytes) {
    std::size_t I = 0;
    while (I < Bytes.size()) {
        const auto Lead = static_cast<unsigned char>(Bytes[I]);
        if (Lead < 0x80) {
            ++I;
            continue;
        }
        std::size_t Length = 0;
        // The allowed range of the second byte excludes overlong forms, UTF-16 surrogates and
        // code points above U+10FFFF.
        unsigned char Low = 0x80;
        unsigned char High = 0xBF;
        if (Lead >= 0xC2 && Lead <= 0xDF) {
            Length = 2;
        } else if (Lead >= 0xE0 && Lead <= 0xEF) {
            Length = 3;
            Low = Lead == 0xE0 ? 0xA0 : 0x80;
            High = Lead == 0xED ? 0x9F : 0xBF;
        } else if (Lead >= 0xF0 && Lead <= 0xF4) {
            Length = 4;
            Low = Lead == 0xF0 ? 0x90 : 0x80;
            High = Lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (Bytes.size() - I < Length) {
            return false;
        }
        const auto Second = static_cast<unsigned char>(Bytes[I + 1]);
        if (Second < Low || Second > High) {
            return false;
        }
        for (std::size_t K = 2; K < Length; ++K) {
            const auto Next = static_cast<unsigned char>(Bytes[I + K]);
            if (Next < 0x80 || Next > 0xBF) {
                return false;
            }
        }
        I += Length;
    }
    return true;
}

std::string TzsIniFile::Windows1252ToUtf8(std::string_view Bytes) {
    std::string Text;
    Text.reserve(Bytes.size() + Bytes.size() / 4);
    for (const char Byte : Bytes) {
        const auto B = static_cast<unsigned char>(Byte);
        AppendUtf8(Text, B >= 0x80 && B <= 0x9F ? Windows1252High[B - 0x80] : char32_t(B));
    }
    return Text;
}

TzsIniFile::TDecoded TzsIniFile::Decode(std::string_view Bytes) {
    TDecoded Result;
    if (Bytes.substr(0, Utf8Mark.size()) == Utf8Mark) {
        Result.ByteOrderMark = true;
        Bytes.remove_prefix(Utf8Mark.size());
    }
    // One rule for the whole file, so that a group's name in GROUPS and its section header
    // always read alike.
    if (IsValidUtf8(Bytes)) {
        Result.Text = std::string(Bytes);
    } else {
        Result.Legacy = true;
        Result.Text = Windows1252ToUtf8(Bytes);
    }
    return Result;
}

std::optional<std::string> TzsIniFile::Load(const std::string& Path) const {
    // Non-blocking, so that a FIFO put in place of the file cannot freeze the program.
    TzsFileHandle Fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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
    return Content ? Parse(Decode(*Content).Text) : std::vector<TLine>{};
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
    // Whole numbers (0 off, any other on) and the words true/false and yes/no in any case.
    std::string Text(Trim(ReadString(Section, Key)));
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char C) { return char(std::tolower(C)); });
    if (Text == "true" || Text == "yes") {
        return true;
    }
    if (Text == "false" || Text == "no") {
        return false;
    }
    return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

std::vector<TzsIniFile::TKeyValue> TzsIniFile::ReadSectionValues(std::string_view Section) const {
    // The first of the keys that fold alike counts; a set keeps that linear for long lists.
    std::vector<TKeyValue> Result;
    std::unordered_set<std::string> Seen;
    for (TLine& Line : FirstSectionEntries(Section)) {
        if (Seen.insert(Fold(Line.Name)).second) {
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
    return IsValidUtf8(Name) && std::none_of(Name.begin(), Name.end(), [](char C) {
               return static_cast<unsigned char>(C) < 0x20 || C == 0x7f;
           });
}

bool TzsIniFile::IsStorableKey(std::string_view Key) {
    const std::string_view Trimmed = Trim(Key);
    return !Trimmed.empty() && Trimmed.front() != '[' && Trimmed.front() != ';' &&
           Key.find('=') == std::string_view::npos && !HasLineBreak(Key) &&
           Key.find('\0') == std::string_view::npos && IsValidUtf8(Key);
}

bool TzsIniFile::IsStorableValue(std::string_view Value) {
    return !HasLineBreak(Value) && Value.find('\0') == std::string_view::npos && IsValidUtf8(Value);
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
    const TDecoded Text = Old ? Decode(*Old) : TDecoded{};
    std::vector<TLine> Lines = Parse(Text.Text);
    Change(Lines);
    // Lines keep the ends they had, so that a write changes nothing but the entries it
    // touches; new lines end with CR LF. The whole file is written as UTF-8, a file read as
    // Windows-1252 included, and keeps its byte-order mark.
    std::string Content;
    if (Text.ByteOrderMark) {
        Content = Utf8Mark;
    }
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

void TzsIniFile::ReplaceWithCopyOf(const std::string& Source) {
    const std::optional<std::string> Content = Load(Source);
    if (!Content) {
        throw EIniFileError("Unable to read " + Source + ": " + ErrnoText(ENOENT));
    }
    Store(FFileName, *Content);
}

void TzsIniFile::CopyTo(const std::string& Destination) const {
    const std::optional<std::string> Content = Load(FFileName);
    if (!Content) {
        throw EIniFileError("Unable to read " + FFileName + ": " + ErrnoText(ENOENT));
    }
    WriteFileAtomically(Destination, *Content);
}

bool TzsIniFile::ReplaceFile(const std::string& TempName, const std::string& Target) {
    return ::rename(TempName.c_str(), Target.c_str()) == 0;
}

void TzsIniFile::Store(const std::string& FileName, const std::string& Content) {
    // Through a link to the file it points at, so that a linked config stays linked; a file
    // whose owner took away the write permission is kept, as the classic functions keep it.
    try {
        TzsAtomicFile File(FileName);
        // Temporaries of the earlier naming, left by saves that were killed.
        RemoveStaleTemporaryFiles(File.Target());
        File.SetReplaceStep([this](const std::string& Temporary, const std::string& Target) {
            return ReplaceFile(Temporary, Target);
        });
        File.Write(Content);
        File.Commit();
    } catch (const EAtomicFileError&) {
        WriteFailed();
    }
}

void TzsIniFile::RemoveStaleTemporaryFiles(const std::string& Target, std::chrono::seconds MinAge) {
    const std::string Prefix = TemporaryPrefix(Target);
    DIR* Listing = ::opendir(ParentFolder(Target).c_str());
    if (!Listing) {
        return;
    }
    timespec Now{};
    ::clock_gettime(CLOCK_REALTIME, &Now);
    const pid_t Self = ::getpid();
    std::vector<std::string> Stale;
    while (const dirent* Entry = ::readdir(Listing)) {
        const std::string_view Name = Entry->d_name;
        const pid_t Writer = TemporaryWriter(Name, Prefix);
        if (Writer == 0 || Writer == Self) {
            continue;
        }
        struct stat Info {};
        if (::fstatat(::dirfd(Listing), Entry->d_name, &Info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(Info.st_mode)) {
            continue;
        }
        const double Age = SecondsOf(Now) - SecondsOf(Info.st_mtim);
        if (Age >= static_cast<double>(MinAge.count()) && !WriterMayBeAlive(Writer, Age)) {
            Stale.emplace_back(Name);
        }
    }
    for (const std::string& Name : Stale) {
        (void)::unlinkat(::dirfd(Listing), Name.c_str(), 0);
    }
    ::closedir(Listing);
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

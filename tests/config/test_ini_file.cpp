// The INI reader and writer behind config.ini: matching and trimming rules, writes that keep
// what they do not touch, and failures that leave the old file as it was.
#include "TempConfigHome.h"
#include "zsIniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iconv.h>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::string Path(const char* Name = "config.ini") const {
        return QFile::encodeName(Dir.path()).toStdString() + "/" + Name;
    }
    void Put(const std::string& Content) {
        ASSERT_TRUE(
            WriteWholeFile(QString::fromStdString(Path()), QByteArray::fromStdString(Content)));
    }
    std::string Text() const { return ReadWholeFile(QString::fromStdString(Path())).toStdString(); }
    std::size_t FilesInFolder() const {
        return static_cast<std::size_t>(
            QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size());
    }

    QTemporaryDir Dir;
};

TEST_F(IniFileTest, ReadingFollowsTheProfileRules) {
    Put("top=before any section\r\n"
        "[Common]\r\n"
        "  Spaced Key  =   spaced value  \r\n"
        "Double=\"  quoted  \"\r\n"
        "Single='x'\r\n"
        "Lonely=\"half\r\n"
        "Mixed=\"a'\r\n"
        "Equals=a=b\r\n"
        "; note=comment\r\n"
        "plain line\r\n"
        "Empty=\r\n"
        "Dup=first\r\n"
        "dup=second\r\n"
        "[other]\n"
        "k=lf only\n"
        "[COMMON]\r\n"
        "Late=from a second section of the same name\r\n");
    const TzsIniFile Ini(Path());
    struct TCase {
        const char* Section;
        const char* Key;
        const char* Expected;
    } Cases[] = {
        {"COMMON", "spaced key", "spaced value"},
        {"common", "DOUBLE", "  quoted  "},
        {"Common", "Single", "x"},
        {"Common", "Lonely", "\"half"},
        {"Common", "Mixed", "\"a'"},
        {"Common", "Equals", "a=b"},
        {"Common", "; note", "<default>"},
        {"Common", "plain line", "<default>"},
        {"Common", "Empty", ""},
        {"Common", "Dup", "first"},
        {"Other", "K", "lf only"},
        {"Common", "Late", "<default>"},
        {"Common", "top", "<default>"},
        {"Missing", "k", "<default>"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Section) + "/" + Case.Key);
        EXPECT_EQ(Ini.ReadString(Case.Section, Case.Key, "<default>"), Case.Expected);
    }
    EXPECT_TRUE(Ini.SectionExists("other"));
    EXPECT_EQ(Ini.ReadSection("COMMON"),
              (std::vector<std::string>{"Spaced Key", "Double", "Single", "Lonely", "Mixed",
                                        "Equals", "Empty", "Dup"}));
}

TEST_F(IniFileTest, IntegersAndBooleansFallBackToTheDefault) {
    Put("[S]\r\nOne=1\r\nZero=0\r\nNeg=-7\r\nPlus=+3\r\nWord=yes\r\nTail=12abc\r\nHuge="
        "99999999999999999999999\r\nBlank=\r\n");
    const TzsIniFile Ini(Path());
    struct TCase {
        const char* Key;
        long Expected;
    } Cases[] = {{"One", 1},   {"Zero", 0},  {"Neg", -7},   {"Plus", 3},    {"Word", 42},
                 {"Tail", 42}, {"Huge", 42}, {"Blank", 42}, {"Missing", 42}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Key);
        EXPECT_EQ(Ini.ReadInteger("S", Case.Key, 42), Case.Expected);
    }
    EXPECT_TRUE(Ini.ReadBool("S", "Neg", false));
    EXPECT_FALSE(Ini.ReadBool("S", "Zero", true));
    // Words: yes and true are on, in any case; other text gives the default.
    EXPECT_TRUE(Ini.ReadBool("S", "Word", false));
    EXPECT_TRUE(Ini.ReadBool("S", "Tail", true));
    EXPECT_FALSE(Ini.ReadBool("S", "Tail", false));
}

TEST_F(IniFileTest, WritesChangeOnlyWhatTheyTouch) {
    TzsIniFile Ini(Path());
    Ini.EraseSection("Nothing");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Path()))) << "an erase creates no file";

    Put("; kept comment\n[A]\nx=1\n\ngarbage line\n[B]\ny=2\n");
    Ini.WriteString("a", "X", "one");  // in place, keeping the line end found
    Ini.WriteString("A", "z", "new");  // after the section's last entry
    Ini.WriteString("C", "w", "tail"); // a new section at the end
    Ini.WriteBool("B", "flag", false);
    EXPECT_EQ(Text(), "; kept comment\n[A]\nX=one\nz=new\r\n\ngarbage line\n[B]\ny=2\nflag=0\r\n"
                      "[C]\r\nw=tail\r\n");

    Ini.ReplaceSection("a", {{"0", "p"}, {"1", "q"}});
    EXPECT_EQ(Text(), "; kept comment\n[a]\r\n0=p\r\n1=q\r\n[B]\ny=2\nflag=0\r\n[C]\r\nw=tail\r\n");
    Ini.EraseSection("B");
    Ini.EraseSection("c");
    EXPECT_EQ(Text(), "; kept comment\n[a]\r\n0=p\r\n1=q\r\n");
    EXPECT_EQ(FilesInFolder(), 1u) << "no temporary file is left behind";
}

TEST_F(IniFileTest, LastLineWithoutLineFeedIsNotJoinedToWhatFollows) {
    struct TCase {
        const char* Content;
        const char* Expected;
    } Cases[] = {
        {"[A]\r\nx=1", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"[A]\r\nx=1\r", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"[A]\nx=1\n[un", "[A]\nx=1\n[un\r\n[B]\r\nk=v\r\n"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Content);
        Put(Case.Content);
        TzsIniFile Ini(Path());
        Ini.WriteString("B", "k", "v");
        EXPECT_EQ(Text(), Case.Expected);
        EXPECT_EQ(Ini.ReadString("A", "x"), "1");
    }
}

TEST_F(IniFileTest, EraseRemovesEverySectionOfTheName) {
    Put("[G]\r\n0=old\r\n[X]\r\nk=v\r\n[g]\r\n0=older\r\n");
    TzsIniFile Ini(Path());
    Ini.ReplaceSection("G", {{"0", "new"}});
    EXPECT_EQ(Text(), "[G]\r\n0=new\r\n[X]\r\nk=v\r\n");
    EXPECT_EQ(Ini.ReadString("g", "0"), "new");
}

TEST_F(IniFileTest, ValuesReadBackExactlyAsWritten) {
    TzsIniFile Ini(Path());
    const char* Values[] = {" leading", "trailing ", "  both  ",           "\"quoted\"",
                            "'single'", "\"",        "a \"middle\" quote", "tab\tinside",
                            "=x=",      ""};
    for (const char* Value : Values) {
        SCOPED_TRACE(Value);
        Ini.WriteString("S", "k", Value);
        EXPECT_EQ(Ini.ReadString("S", "k", "<default>"), Value);
    }
}

TEST_F(IniFileTest, RefusesWhatWouldBreakTheFileAndKeepsItAsItWas) {
    Put("[S]\r\nk=v\r\n");
    TzsIniFile Ini(Path());
    const std::string Unchanged = Text();
    struct TCase {
        std::string Section, Key, Value;
    } Cases[] = {
        {"S", "k", "two\r\nlines"},
        {"S", "k", "lf\nonly"},
        {"S", "k", std::string("n\0l", 3)},
        {"a]b", "k", "v"},
        {"a\nb", "k", "v"},
        {"[x", "k", "v"},
        {"S", "k=j", "v"},
        {"S", "[k", "v"},
        {"S", " ", "v"},
        {"S", ";k", "v"},
        // Not UTF-8: the whole file would read as Windows-1252 from then on.
        {"S", "k", "B\xFCro"},
        {"B\xFCro", "k", "v"},
        {"S", "k\xE9", "v"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Section + "/" + Case.Key);
        try {
            Ini.WriteString(Case.Section, Case.Key, Case.Value);
            ADD_FAILURE() << "accepted";
        } catch (const EIniFileError& Error) {
            EXPECT_EQ(std::string(Error.what()).rfind("Unable to write to " + Path() + ": ", 0), 0u)
                << Error.what();
        }
        EXPECT_THROW(Ini.ReplaceSection(Case.Section, {{Case.Key, Case.Value}}), EIniFileError);
        EXPECT_EQ(Text(), Unchanged);
    }
}

TEST_F(IniFileTest, WriteIntoAReadOnlyFolderFailsAndKeepsTheOldFile) {
    Put("[S]\r\nk=old\r\n");
    TzsIniFile Ini(Path());
    TReadOnlyFolder ReadOnly(QFile::encodeName(Dir.path()).toStdString());
    if (!ReadOnly.Ok()) {
        GTEST_SKIP() << "this file system cannot make a folder read-only";
    }
    try {
        Ini.WriteString("S", "k", "new");
        FAIL() << "the write succeeded";
    } catch (const EIniFileError& Error) {
        EXPECT_EQ(std::string(Error.what()), "Unable to write to " + Path());
    }
    EXPECT_EQ(Text(), "[S]\r\nk=old\r\n");
    EXPECT_EQ(Ini.ReadString("S", "k"), "old");
}

class TFailingRename : public TzsIniFile {
public:
    using TzsIniFile::TzsIniFile;
    std::string SeenTemp;

protected:
    bool ReplaceFile(const std::string& TempName, const std::string&) override {
        SeenTemp = TempName;
        errno = EIO;
        return false;
    }
};

TEST_F(IniFileTest, FailureBetweenTemporaryFileAndRenameKeepsTheOldFile) {
    Put("[S]\r\nk=old\r\n");
    TFailingRename Ini(Path());
    try {
        Ini.WriteString("S", "k", "new");
        FAIL() << "the write succeeded";
    } catch (const EIniFileError& Error) {
        EXPECT_EQ(std::string(Error.what()), "Unable to write to " + Path());
    }
    EXPECT_EQ(Text(), "[S]\r\nk=old\r\n");
    ASSERT_FALSE(Ini.SeenTemp.empty());
    EXPECT_FALSE(std::filesystem::exists(Ini.SeenTemp)) << "the temporary file is removed";
    EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(IniFileTest, KeepsThePermissionsAndTheLinkOfTheOldFile) {
    Put("[S]\r\nk=old\r\n");
    ASSERT_EQ(::chmod(Path().c_str(), 0640), 0);
    std::filesystem::create_symlink(Path(), Path("linked.ini"));
    TzsIniFile Ini(Path("linked.ini"));
    Ini.WriteString("S", "k", "new");
    EXPECT_TRUE(std::filesystem::is_symlink(Path("linked.ini")));
    EXPECT_EQ(Text(), "[S]\r\nk=new\r\n");
    struct stat Info {};
    ASSERT_EQ(::stat(Path().c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 0777, 0640u);
}

TEST_F(IniFileTest, UnreadableFilesRaiseAndAreNeverOverwritten) {
    struct TCase {
        const char* Name;
        std::function<void(const std::string&)> Make;
    } Cases[] = {
        {"huge",
         [](const std::string& P) {
             std::filesystem::resize_file(P, TzsIniFile::MaxFileSize + 1);
         }},
        {"folder",
         [](const std::string& P) {
             std::filesystem::remove(P);
             std::filesystem::create_directory(P);
             std::ofstream(P + "/inside") << "x";
         }},
        {"fifo",
         [](const std::string& P) {
             std::filesystem::remove(P);
             ASSERT_EQ(::mkfifo(P.c_str(), 0600), 0);
         }},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Put("[S]\r\nk=v\r\n");
        Case.Make(Path());
        const auto Before = std::filesystem::status(Path()).type();
        const auto SizeBefore =
            Before == std::filesystem::file_type::regular ? std::filesystem::file_size(Path()) : 0;
        TzsIniFile Ini(Path());
        try {
            (void)Ini.ReadString("S", "k");
            ADD_FAILURE() << "read succeeded";
        } catch (const EIniFileError& Error) {
            EXPECT_EQ(std::string(Error.what()).rfind("Unable to read " + Path() + ": ", 0), 0u);
        }
        try {
            Ini.WriteString("S", "k", "w");
            ADD_FAILURE() << "write succeeded";
        } catch (const EIniFileError& Error) {
            EXPECT_EQ(std::string(Error.what()).rfind("Unable to write to " + Path() + ": ", 0),
                      0u);
        }
        EXPECT_EQ(std::filesystem::status(Path()).type(), Before);
        if (Before == std::filesystem::file_type::regular) {
            EXPECT_EQ(std::filesystem::file_size(Path()), SizeBefore);
        }
        std::filesystem::remove_all(Path());
    }
}

TEST_F(IniFileTest, BinaryContentSurvivesAWrite) {
    std::string Binary;
    for (int I = 0; I < 4096; ++I) {
        Binary += static_cast<char>((I * 7919) & 0xff);
    }
    Binary += "\n";
    Put(Binary);
    TzsIniFile Ini(Path());
    EXPECT_EQ(Ini.ReadString("S", "k", "d"), "d");
    Ini.WriteString("S", "k", "v");
    // Bytes that are not UTF-8 are kept as the Windows-1252 characters they stand for, one
    // distinct character per byte (see EveryByteHasItsOwnWindows1252Character).
    EXPECT_EQ(Text(), TzsIniFile::Windows1252ToUtf8(Binary) + "[S]\r\nk=v\r\n");
}

// A byte as the system's converter reads it in Windows-1252, or nothing for the bytes that
// code page leaves unused.
std::optional<std::string> SystemWindows1252(unsigned char Byte) {
    iconv_t Converter = ::iconv_open("UTF-8", "WINDOWS-1252");
    if (Converter == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    char In[1] = {static_cast<char>(Byte)};
    char Out[8] = {};
    char* InPos = In;
    char* OutPos = Out;
    std::size_t InLeft = 1;
    std::size_t OutLeft = sizeof Out;
    const std::size_t Done = ::iconv(Converter, &InPos, &InLeft, &OutPos, &OutLeft);
    ::iconv_close(Converter);
    if (Done == static_cast<std::size_t>(-1)) {
        return std::nullopt;
    }
    return std::string(Out, OutPos);
}

TEST_F(IniFileTest, EveryByteHasItsOwnWindows1252Character) {
    const std::set<unsigned char> Unused = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    std::set<std::string> Seen;
    for (int Byte = 0x80; Byte <= 0xFF; ++Byte) {
        SCOPED_TRACE(Byte);
        const auto B = static_cast<unsigned char>(Byte);
        // Read through a file, the way config.ini is read.
        Put("[S]\r\nk=" + std::string(1, static_cast<char>(B)) + "\r\n");
        const std::string Read = TzsIniFile(Path()).ReadString("S", "k");
        EXPECT_EQ(Read, TzsIniFile::Windows1252ToUtf8(std::string(1, static_cast<char>(B))));
        if (Unused.count(B) != 0) {
            // The C1 control of the same number.
            EXPECT_EQ(Read, (std::string{'\xC2', static_cast<char>(B)}));
        } else if (const auto Expected = SystemWindows1252(B)) {
            EXPECT_EQ(Read, *Expected);
        } else {
            ADD_FAILURE() << "the system has no Windows-1252 converter";
        }
        EXPECT_TRUE(Seen.insert(Read).second) << "two bytes read as the same character";
    }
    EXPECT_EQ(TzsIniFile::Windows1252ToUtf8("\x80uro B\xFCro Caf\xE9"),
              "\xE2\x82\xACuro B\xC3\xBCro Caf\xC3\xA9");
}

TEST_F(IniFileTest, OnlyWellFormedUtf8IsReadAsUtf8) {
    struct TCase {
        const char* Name;
        std::string Value;
        bool Utf8;
    } Cases[] = {
        {"ascii", "plain", true},
        {"two bytes", "Caf\xC3\xA9", true},
        {"three bytes", "\xE2\x82\xAC", true},
        {"four bytes", "\xF0\x9F\x98\x80", true},
        {"largest code point", "\xF4\x8F\xBF\xBF", true},
        {"latin-1 byte", "B\xFCro", false},
        {"lone continuation", "\x80", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"cut at the end", "ok\xE2\x82", false},
        {"cut before ascii", "\xE2\x82x", false},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(TzsIniFile::IsValidUtf8(Case.Value), Case.Utf8);
        Put("[S]\r\nk=" + Case.Value + "\r\n");
        EXPECT_EQ(TzsIniFile(Path()).ReadString("S", "k"),
                  Case.Utf8 ? Case.Value : TzsIniFile::Windows1252ToUtf8(Case.Value));
    }
}

TEST_F(IniFileTest, Windows1252FileFindsItsSectionsAndBecomesUtf8AtTheFirstWrite) {
    // Written on Windows: group "B\xFCro", group "Caf\xE9", group "\x80uro" and names alike.
    const std::string Legacy = "; Gr\xFC\xDF"
                               "e\r\n"
                               "[GROUPS]\r\n0=B\xFCro\r\n1=Caf\xE9\r\n2=\x80uro\r\n"
                               "[B\xFCro]\r\n0=h\xF6st\r\n"
                               "[caf\xC9]\r\n0=caf\xE9.lan\r\n"
                               "[\x80URO]\r\nPr\xE9"
                               "fix=\x80-gw\r\n";
    Put(Legacy);
    TzsIniFile Ini(Path());
    // Names match without regard to case in the default (ASCII) folding, so "caf\xC9" only
    // matches itself here; the store's folding is tested with the store.
    EXPECT_EQ(Ini.ReadString("GROUPS", "0"), "B\xC3\xBCro");
    EXPECT_EQ(Ini.ReadString("B\xC3\xBCro", "0"), "h\xC3\xB6st");
    EXPECT_EQ(Ini.ReadString("caf\xC3\x89", "0"), "caf\xC3\xA9.lan");
    EXPECT_EQ(Ini.ReadString("\xE2\x82\xACuro", "pr\xC3\xA9"
                                                "fix"),
              "\xE2\x82\xAC-gw");

    Ini.WriteString("B\xC3\xBCro", "1", "n\xC3\xA9w");
    const std::string Written = Text();
    EXPECT_TRUE(TzsIniFile::IsValidUtf8(Written));
    EXPECT_EQ(Written, "; Gr\xC3\xBC\xC3\x9F"
                       "e\r\n"
                       "[GROUPS]\r\n0=B\xC3\xBCro\r\n1=Caf\xC3\xA9\r\n2=\xE2\x82\xACuro\r\n"
                       "[B\xC3\xBCro]\r\n0=h\xC3\xB6st\r\n1=n\xC3\xA9w\r\n"
                       "[caf\xC3\x89]\r\n0=caf\xC3\xA9.lan\r\n"
                       "[\xE2\x82\xACURO]\r\nPr\xC3\xA9"
                       "fix=\xE2\x82\xAC-gw\r\n");
    EXPECT_EQ(FilesInFolder(), 1u) << "written through a renamed temporary file";
    EXPECT_EQ(Ini.ReadString("b\xC3\xBCro", "1"), "n\xC3\xA9w");
    EXPECT_EQ(Ini.ReadString("B\xC3\xBCro", "0"), "h\xC3\xB6st");
}

TEST_F(IniFileTest, ByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
    const std::string Mark = "\xEF\xBB\xBF";
    struct TCase {
        const char* Name;
        std::string Content;
        std::string Written;
    } Cases[] = {
        {"utf-8", Mark + "[COMMON]\r\nHintsEnable=1\r\nName=B\xC3\xBCro\r\n",
         Mark + "[COMMON]\r\nHintsEnable=0\r\nName=B\xC3\xBCro\r\n"},
        {"not utf-8 after the mark", Mark + "[COMMON]\r\nHintsEnable=1\r\nName=B\xFCro\r\n",
         Mark + "[COMMON]\r\nHintsEnable=0\r\nName=B\xC3\xBCro\r\n"},
        {"mark only", Mark, Mark + "[COMMON]\r\nHintsEnable=0\r\n"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Put(Case.Content);
        TzsIniFile Ini(Path());
        EXPECT_EQ(Ini.SectionExists("COMMON"), Case.Content.size() > Mark.size());
        Ini.WriteString("COMMON", "HintsEnable", "0");
        EXPECT_EQ(Text(), Case.Written);
        EXPECT_EQ(Ini.ReadSection("COMMON").front(), "HintsEnable");
    }
    // A new file gets no mark.
    std::filesystem::remove(Path());
    TzsIniFile(Path()).WriteString("COMMON", "HintsEnable", "1");
    EXPECT_EQ(Text(), "[COMMON]\r\nHintsEnable=1\r\n");
}

TEST_F(IniFileTest, ReadOnlyFileIsRefusedAndKept) {
    struct TCase {
        const char* Name;
        mode_t Mode;
        bool Refused;
    } Cases[] = {
        {"read-only for all", 0444, true},
        {"owner took write away", 0464, true},
        {"no permission at all", 0000, true},
        {"owner may write", 0600, false},
    };
    std::filesystem::create_symlink(Path(), Path("linked.ini"));
    for (const TCase& Case : Cases) {
        for (const char* Name : {"config.ini", "linked.ini"}) {
            SCOPED_TRACE(std::string(Case.Name) + " through " + Name);
            Put("[S]\r\nk=old\r\n");
            ASSERT_EQ(::chmod(Path().c_str(), Case.Mode), 0);
            TzsIniFile Ini(Path(Name));
            if (!Case.Refused) {
                Ini.WriteString("S", "k", "new");
                EXPECT_EQ(Text(), "[S]\r\nk=new\r\n");
                continue;
            }
            const std::function<void()> Writes[] = {
                [&] { Ini.WriteString("S", "k", "new"); },
                [&] {
                    Ini.ReplaceSection("S", {{"0", "x"}});
                },
                [&] { Ini.EraseSection("S"); },
            };
            for (const auto& Write : Writes) {
                try {
                    Write();
                    ADD_FAILURE() << "the write succeeded";
                } catch (const EIniFileError& Error) {
                    EXPECT_EQ(std::string(Error.what()), "Unable to write to " + Path(Name));
                }
            }
            struct stat Info {};
            ASSERT_EQ(::stat(Path().c_str(), &Info), 0);
            EXPECT_EQ(Info.st_mode & 07777, Case.Mode);
            ASSERT_EQ(::chmod(Path().c_str(), 0600), 0);
            EXPECT_EQ(Text(), "[S]\r\nk=old\r\n");
            EXPECT_TRUE(std::filesystem::is_symlink(Path("linked.ini")));
        }
    }
    EXPECT_EQ(FilesInFolder(), 2u) << "no temporary file is left behind";
}

} // namespace

namespace {

// The id of a child process that has already ended.
pid_t EndedProcessId() {
    const pid_t Child = ::fork();
    if (Child == 0) {
        ::_exit(0);
    }
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    return Child;
}

// A child process that lives until the holder goes.
class TLiveChild {
public:
    TLiveChild() : FPid(::fork()) {
        if (FPid == 0) {
            for (;;) {
                ::pause();
            }
        }
    }
    ~TLiveChild() {
        ::kill(FPid, SIGKILL);
        int Status = 0;
        ::waitpid(FPid, &Status, 0);
    }
    TLiveChild(const TLiveChild&) = delete;
    TLiveChild& operator=(const TLiveChild&) = delete;
    pid_t Pid() const { return FPid; }

private:
    pid_t FPid;
};

void Age(const std::string& FilePath, int Seconds) {
    timespec Now{};
    ::clock_gettime(CLOCK_REALTIME, &Now);
    const timespec Times[2] = {{Now.tv_sec - Seconds, 0}, {Now.tv_sec - Seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, FilePath.c_str(), Times, 0), 0);
}

// Dies the way a killed save dies: after its temporary file is complete, before the rename.
class TKilledBeforeRename : public TzsIniFile {
public:
    using TzsIniFile::TzsIniFile;

protected:
    bool ReplaceFile(const std::string&, const std::string&) override {
        ::raise(SIGKILL);
        return false;
    }
};

} // namespace

TEST_F(IniFileTest, TemporaryFilesOfGoneWritersAreRemovedAndLiveOnesKept) {
    Put("[S]\r\nk=v\r\n");
    TLiveChild Live;
    const pid_t Ended = EndedProcessId();
    const auto Temp = [&](pid_t Pid, const char* Number) {
        return Path((".config.ini.tmp-" + std::to_string(Pid) + "-" + Number).c_str());
    };
    struct TCase {
        const char* Name;
        std::string File;
        int AgeSeconds;
        bool Removed;
    } Cases[] = {
        {"writer ended", Temp(Ended, "0"), 0, true},
        {"writer alive", Temp(Live.Pid(), "0"), 0, false},
        {"id taken by a later process", Temp(Live.Pid(), "1"), 3600, true},
        {"this process", Temp(::getpid(), "0"), 3600, false},
        {"no process id", Path(".config.ini.tmp-x-0"), 3600, false},
        {"no number", Temp(Ended, ""), 3600, false},
        {"another file's", Path((".other.ini.tmp-" + std::to_string(Ended) + "-0").c_str()), 3600,
         false},
        {"not hidden", Path(("config.ini.tmp-" + std::to_string(Ended) + "-0").c_str()), 3600,
         false},
    };
    for (const TCase& Case : Cases) {
        std::ofstream(Case.File) << "[S]\r\nk=partial";
        Age(Case.File, Case.AgeSeconds);
    }
    std::filesystem::create_directory(Temp(Ended, "9"));

    TzsIniFile::RemoveStaleTemporaryFiles(Path(), std::chrono::seconds(0));
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(std::filesystem::exists(Case.File), !Case.Removed);
    }
    EXPECT_TRUE(std::filesystem::is_directory(Temp(Ended, "9")));
    EXPECT_EQ(Text(), "[S]\r\nk=v\r\n");

    // A write removes them itself, but only once they are old enough that no writer in another
    // process-id space can still be at work on them.
    std::ofstream(Temp(Ended, "2")) << "x";
    Age(Temp(Ended, "2"), 10);
    std::ofstream(Temp(Ended, "3")) << "x";
    Age(Temp(Ended, "3"), 600);
    TzsIniFile(Path()).WriteString("S", "k", "w");
    EXPECT_TRUE(std::filesystem::exists(Temp(Ended, "2")));
    EXPECT_FALSE(std::filesystem::exists(Temp(Ended, "3")));
    EXPECT_EQ(Text(), "[S]\r\nk=w\r\n");
}

TEST_F(IniFileTest, SaveKilledBeforeItsRenameLeavesAFileThatALaterSaveRemoves) {
    // An import, which copies another file over the whole configuration, dies the same way.
    QTemporaryDir Elsewhere;
    const std::string Imported = Elsewhere.path().toStdString() + "/import.ini";
    ASSERT_TRUE(WriteWholeFile(QString::fromStdString(Imported), "[S]\r\nk=imported\r\n"));
    struct TCase {
        const char* Name;
        std::function<void(TzsIniFile&)> Save;
    };
    const TCase Cases[] = {
        {"write", [](TzsIniFile& Ini) { Ini.WriteString("S", "k", "new"); }},
        {"import", [&](TzsIniFile& Ini) { Ini.ReplaceWithCopyOf(Imported); }},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Put("[S]\r\nk=old\r\n");
        const pid_t Child = ::fork();
        if (Child == 0) {
            try {
                TKilledBeforeRename Ini(Path());
                Case.Save(Ini);
            } catch (...) {
            }
            ::_exit(1);
        }
        int Status = 0;
        ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
        ASSERT_TRUE(WIFSIGNALED(Status));
        EXPECT_EQ(Text(), "[S]\r\nk=old\r\n");
        std::vector<std::string> Left;
        for (const auto& Entry : std::filesystem::directory_iterator(Dir.path().toStdString())) {
            if (Entry.path().filename() != "config.ini") {
                Left.push_back(Entry.path().string());
            }
        }
        ASSERT_EQ(Left.size(), 1u);
        EXPECT_EQ(std::filesystem::path(Left[0]).filename().string().rfind(
                      ".config.ini.vantorel-tmp-", 0),
                  0u);

        // Its writer is gone (its lock went with it): the next save removes it at once.
        TzsIniFile Ini(Path());
        Ini.WriteString("S", "k", "newer");
        EXPECT_FALSE(std::filesystem::exists(Left[0]));
        EXPECT_EQ(Text(), "[S]\r\nk=newer\r\n");
        EXPECT_EQ(FilesInFolder(), 1u);
    }
    // A finished import is the imported file, byte for byte.
    TzsIniFile Ini(Path());
    Ini.ReplaceWithCopyOf(Imported);
    EXPECT_EQ(Text(), "[S]\r\nk=imported\r\n");
    EXPECT_THROW(Ini.ReplaceWithCopyOf(Imported + ".missing"), EIniFileError);
    EXPECT_EQ(Text(), "[S]\r\nk=imported\r\n");
}

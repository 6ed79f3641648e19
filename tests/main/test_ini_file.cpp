// The INI reader and writer behind config.ini: matching and trimming rules, writes that keep
// what they do not touch, and failures that leave the old file as it was.
#include "TempConfigHome.h"
#include "zsIniFile.h"

#include <QDir>
#include <QFile>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

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
    EXPECT_TRUE(Ini.ReadBool("S", "Word", true));
    EXPECT_FALSE(Ini.ReadBool("S", "Word", false));
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
        {"S", "k", "two\r\nlines"}, {"S", "k", "lf\nonly"}, {"S", "k", std::string("n\0l", 3)},
        {"a]b", "k", "v"},          {"a\nb", "k", "v"},     {"[x", "k", "v"},
        {"S", "k=j", "v"},          {"S", "[k", "v"},       {"S", " ", "v"},
        {"S", ";k", "v"},
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
    EXPECT_EQ(Text(), Binary + "[S]\r\nk=v\r\n");
}

} // namespace

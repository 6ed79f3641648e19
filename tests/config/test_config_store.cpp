// The configuration store on a config.ini in a temporary XDG configuration home: the file's
// text after each kind of write, the group list rules, import checks and the legacy carry-over.
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"

#include <QDir>
#include <QFile>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const std::string QrtKey = "Software\\Zephra Software\\QRT";
const std::string GroupsKey = "Software\\Zephra Software\\QRT\\Groups";

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store.PrepareConfigFolder();
        Store.OpenConfig();
    }
    QByteArray Text() const { return ReadWholeFile(Store.FConfigFileName); }
    void Put(const QByteArray& Content) {
        ASSERT_TRUE(WriteWholeFile(Store.FConfigFileName, Content));
    }
    QStringList Groups() const {
        QStringList List;
        Store.LoadGroupList(List);
        return List;
    }

    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    TConfigStore Store{Registry};
};

TEST_F(ConfigStoreTest, ConfigFolderLiesInTheXdgConfigHome) {
    EXPECT_EQ(Store.FConfigFolder,
              Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel/"));
    EXPECT_EQ(Store.FConfigFileName, Store.FConfigFolder + QStringLiteral("config.ini"));
    EXPECT_TRUE(QFileInfo(Store.FConfigFolder).isDir());
    EXPECT_FALSE(Store.ConfigFileExists());
    Store.WriteHintsEnable(false);
    EXPECT_TRUE(Store.ConfigFileExists());
}

TEST(ConfigStoreFolderTest, FolderThatCannotBeCreatedRaisesWithThePath) {
    TTempXdgHomes Homes;
    // A file where the configuration home should be: creating folders below it fails, even
    // for root.
    ASSERT_TRUE(WriteWholeFile(Homes.ConfigHome(), "not a folder"));
    TMemoryRegistryStore Registry;
    TConfigStore Store(Registry);
    try {
        Store.PrepareConfigFolder();
        FAIL() << "no error";
    } catch (const EConfigError& Error) {
        EXPECT_EQ(
            QString::fromStdString(Error.what()),
            QStringLiteral("Could not create application folder \"%1/Zephra Software/Vantorel/\"")
                .arg(Homes.ConfigHome()));
    }
}

TEST_F(ConfigStoreTest, FirstStartWithoutLegacyKeysWritesTheDefaults) {
    Store.ImportLegacyConfiguration();
    EXPECT_EQ(Text(), "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n"
                      "[GROUPS]\r\n0=Default Group\r\n");
    EXPECT_TRUE(Registry.KeyExists(QrtKey));
    EXPECT_TRUE(Registry.KeyExists(GroupsKey));
    EXPECT_TRUE(Registry.ValueNames(QrtKey).empty());
    EXPECT_TRUE(Registry.ValueNames(GroupsKey).empty());
}

TEST_F(ConfigStoreTest, LinuxRegistryBehavesAsOneWithoutLegacyKeys) {
    TLinuxRegistryStore Linux;
    TConfigStore LinuxStore(Linux);
    LinuxStore.PrepareConfigFolder();
    LinuxStore.OpenConfig();
    LinuxStore.ImportLegacyConfiguration();
    EXPECT_EQ(Text(), "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n"
                      "[GROUPS]\r\n0=Default Group\r\n");
    EXPECT_TRUE(Linux.KeyExists(GroupsKey));
}

TEST_F(ConfigStoreTest, LegacyLayoutIsCarriedOver) {
    Registry.SetValue(QrtKey, "FriendlyNames", RegSz("10.0.0.1~Router\r\ngw~Gateway"));
    Registry.SetValue(QrtKey, "HintsEnable", RegDword(0));
    Registry.SetValue(QrtKey, "DefaultGroup", RegSz("servers"));
    Registry.SetValue(GroupsKey, "Servers", RegMultiSz({"10.0.0.1", "gw", " spaced "}));
    Registry.SetValue(GroupsKey, "alpha", RegMultiSz({}));
    Registry.SetValue(GroupsKey, "Bad]Name", RegMultiSz({"a\r\nb"}));
    Registry.SetValue(GroupsKey, "Common", RegMultiSz({"x"}));
    Store.ImportLegacyConfiguration();
    EXPECT_EQ(Text(), "[FRIENDLYNAMES]\r\n0=10.0.0.1~Router\r\n1=gw~Gateway\r\n"
                      "[COMMON]\r\nHintsEnable=0\r\nDefaultGroup=servers\r\n"
                      "[GROUPS]\r\n0=alpha\r\n1=Bad_Name\r\n2=Common_\r\n3=Servers\r\n"
                      "[Bad_Name]\r\n0=a  b\r\n"
                      "[Common_]\r\n0=x\r\n"
                      "[Servers]\r\n0=10.0.0.1\r\n1=gw\r\n2=\" spaced \"\r\n");
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("SERVERS")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw"),
                           QStringLiteral(" spaced ")}));
    EXPECT_FALSE(Store.ReadHintsEnable());
}

TEST_F(ConfigStoreTest, LegacyErrorsAreAbsorbedOrStopTheCarryOver) {
    // Friendly names and hints of the wrong type are absorbed.
    Registry.SetValue(QrtKey, "FriendlyNames", RegDword(1));
    Registry.SetValue(QrtKey, "HintsEnable", RegSz("0"));
    Registry.SetValue(QrtKey, "DefaultGroup", RegDword(3));
    Registry.SetValue(GroupsKey, "A", RegMultiSz({"a"}));
    try {
        Store.ImportLegacyConfiguration();
        FAIL() << "no error";
    } catch (const ERegistryException& Error) {
        EXPECT_STREQ(Error.what(), "Invalid data type for 'DefaultGroup'");
    }
    EXPECT_EQ(Text(), "[COMMON]\r\nHintsEnable=1\r\n");
    EXPECT_TRUE(Store.ConfigFileExists()) << "so the carry-over is not tried again";
}

TEST_F(ConfigStoreTest, LegacyGroupErrorsKeepTheGroupsBeforeThem) {
    Registry.SetValue(GroupsKey, "A", RegMultiSz({"a1"}));
    Registry.SetValue(GroupsKey, "Big", {REG_MULTI_SZ, std::string(102401, 'x')});
    Registry.SetValue(GroupsKey, "C", RegMultiSz({"c1"}));
    try {
        Store.ImportLegacyConfiguration();
        FAIL() << "no error";
    } catch (const ERegistryException& Error) {
        EXPECT_STREQ(Error.what(), "Failed to get data for 'Big'");
    }
    EXPECT_EQ(Text(), "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n"
                      "[GROUPS]\r\n0=A\r\n[A]\r\n0=a1\r\n");

    TMemoryRegistryStore Other;
    Other.SetValue(GroupsKey, "B", RegSz("not a list"));
    TConfigStore OtherStore(Other);
    OtherStore.PrepareConfigFolder();
    OtherStore.OpenConfig();
    EXPECT_THROW(OtherStore.ImportLegacyConfiguration(), ERegistryException);
}

TEST(ZRegistryTest, ReadMultiStringWalksTheData) {
    using namespace std::string_literals;
    struct TCase {
        const char* Name;
        std::string Data;
        std::vector<std::string> Expected;
    } Cases[] = {
        {"single NUL", "\0"s, {}},
        {"empty data", ""s, {}},
        {"NUL NUL", "\0\0"s, {""}},
        {"two strings", "a\0b\0\0"s, {"a", "b"}},
        {"stops at double NUL", "a\0\0b\0\0"s, {"a"}},
        {"empty string inside", "a\0\0"s, {"a"}},
        {"no final NUL", "a\0bc"s, {"a", "bc"}},
        {"one string without list end", "abc\0"s, {"abc"}},
        {"exactly the buffer", std::string(102399, 'x') + "\0"s, {std::string(102399, 'x')}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TMemoryRegistryStore Store;
        Store.SetValue("K", "v", {REG_MULTI_SZ, Case.Data});
        TZRegistry Reg(Store);
        ASSERT_TRUE(Reg.OpenKeyReadOnly("k"));
        std::vector<std::string> List{"stale"};
        EXPECT_TRUE(Reg.ReadMultiString("V", List));
        EXPECT_EQ(List, Case.Expected);
    }
}

TEST(ZRegistryTest, ReadMultiStringErrors) {
    TMemoryRegistryStore Store;
    Store.SetValue("K", "big", {REG_MULTI_SZ, std::string(102401, 'x')});
    Store.SetValue("K", "text", RegSz("x"));
    Store.SetValue("K", "number", RegDword(1));
    TZRegistry Reg(Store);
    ASSERT_TRUE(Reg.OpenKey("K", false));
    struct TCase {
        const char* Name;
        const char* Message;
    } Cases[] = {{"big", "Failed to get data for 'big'"},
                 {"missing", "Failed to get data for 'missing'"},
                 {"text", "Invalid data type for 'text'"},
                 {"number", "Invalid data type for 'number'"}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<std::string> List{"stale"};
        try {
            Reg.ReadMultiString(Case.Name, List);
            ADD_FAILURE() << "no error";
        } catch (const ERegistryException& Error) {
            EXPECT_STREQ(Error.what(), Case.Message);
        }
        EXPECT_TRUE(List.empty());
    }
    EXPECT_FALSE(Reg.OpenKey("Absent", false));
    EXPECT_FALSE(Store.KeyExists("Absent"));
    EXPECT_TRUE(Reg.OpenKey("Absent\\Child", true));
    EXPECT_TRUE(Store.KeyExists("absent"));
}

TEST_F(ConfigStoreTest, NumberedListStopsAtTheFirstGap) {
    Put("[GROUPS]\r\n1=B\r\n0=A\r\n3=D\r\n");
    EXPECT_EQ(Groups(), (QStringList{QStringLiteral("A"), QStringLiteral("B")}));
    Put("[GROUPS]\r\n1=B\r\n");
    EXPECT_EQ(Groups(), QStringList{QStringLiteral("Default Group")});
    EXPECT_EQ(Text(), "[GROUPS]\r\n1=B\r\n") << "the stand-in name is not written";
}

TEST_F(ConfigStoreTest, GroupNamesAreSortedWithoutDuplicatesOrBlanks) {
    for (const char* Name : {"b", "A", "a", "  ", ""}) {
        Store.AddGroupName(QString::fromUtf8(Name));
    }
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=A\r\n1=b\r\n");

    Put("[GROUPS]\r\n0=C\r\n1=  \r\n2=a\r\n");
    Store.AddGroupName(QStringLiteral("B"));
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=a\r\n1=B\r\n2=C\r\n");
}

TEST_F(ConfigStoreTest, SavingUnderAnotherLetterCaseKeepsTheStoredSpelling) {
    Store.SaveGroup(QStringLiteral("Servers"), {QStringLiteral("a")});
    Store.SaveGroup(QStringLiteral("SERVERS"), {QStringLiteral("b"), QStringLiteral("c")});
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=Servers\r\n[SERVERS]\r\n0=b\r\n1=c\r\n");
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("servers")),
              (QStringList{QStringLiteral("b"), QStringLiteral("c")}));
}

TEST_F(ConfigStoreTest, GroupSectionsFollowSaveAndRemove) {
    Store.SaveGroup(QStringLiteral("A"), {QStringLiteral("10.0.0.1"), QStringLiteral("gw")});
    Store.SaveGroup(QStringLiteral("X"), {QStringLiteral("x")});
    Store.SaveGroup(QStringLiteral("A"), {});
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=A\r\n1=X\r\n[X]\r\n0=x\r\n");
    EXPECT_TRUE(Store.LoadGroupTargets(QStringLiteral("A")).isEmpty());
    EXPECT_TRUE(Store.LoadGroupTargets(QStringLiteral("  ")).isEmpty());

    Store.RemoveGroup(QStringLiteral("x"));
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=A\r\n");
    Put("[GROUPS]\r\n0=B\r\n1=a\r\n[Z]\r\n0=z\r\n");
    Store.RemoveGroup(QStringLiteral("Z"));
    EXPECT_EQ(Text(), "[GROUPS]\r\n0=a\r\n1=B\r\n[Z]\r\n0=z\r\n")
        << "a name not in GROUPS keeps its section, and GROUPS is rewritten";
}

TEST_F(ConfigStoreTest, GroupNamesAndTargetsWithBlanksRoundTrip) {
    Store.SaveGroup(QStringLiteral(" A "), {QStringLiteral(" t "), QStringLiteral("u")});
    Store.SaveGroup(QStringLiteral("A"), {QStringLiteral("v")});
    Store.WriteDefaultGroup(QStringLiteral(" A "));
    EXPECT_EQ(Groups(), (QStringList{QStringLiteral(" A "), QStringLiteral("A")}));
    EXPECT_EQ(Store.ReadDefaultGroup(), QStringLiteral(" A "));
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral(" A ")),
              (QStringList{QStringLiteral(" t "), QStringLiteral("u")}));
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("A")), QStringList{QStringLiteral("v")});
}

// "=" ends a key, not a value or a section's name: a group named with it reads back whole.
TEST_F(ConfigStoreTest, AGroupNameWithAnEqualsSignRoundTrips) {
    Store.AddGroupName(QStringLiteral("a=b"));
    Store.SaveGroup(QStringLiteral("a=b"), {QStringLiteral("t=u")});
    Store.WriteDefaultGroup(QStringLiteral("a=b"));
    EXPECT_TRUE(Text().contains("\r\n[a=b]\r\n0=t=u\r\n")) << Text().toStdString();
    EXPECT_TRUE(Text().contains("[GROUPS]\r\n0=a=b\r\n")) << Text().toStdString();
    EXPECT_EQ(Groups(), QStringList{QStringLiteral("a=b")});
    EXPECT_EQ(Store.ReadDefaultGroup(), QStringLiteral("a=b"));
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("a=b")), QStringList{QStringLiteral("t=u")});
}

TEST_F(ConfigStoreTest, NamesThatWouldBreakTheFileAreRefused) {
    Store.SaveGroup(QStringLiteral("A"), {QStringLiteral("a")});
    const QByteArray Before = Text();
    for (const char* Name :
         {"a]b", "[a", "two\nlines", "tab\there", "COMMON", "groups", "FriendlyNames"}) {
        SCOPED_TRACE(Name);
        EXPECT_THROW(Store.SaveGroup(QString::fromUtf8(Name), {QStringLiteral("t")}), EConfigError);
        EXPECT_THROW(Store.AddGroupName(QString::fromUtf8(Name)), EConfigError);
        EXPECT_EQ(Text(), Before);
    }
    EXPECT_THROW(Store.WriteDefaultGroup(QStringLiteral("x\ny")), EIniFileError);
    EXPECT_EQ(Text(), Before);
}

TEST_F(ConfigStoreTest, AnEntryThatCannotBeStoredIsNamedAndEverythingElseIsSaved) {
    const auto Message = [](const std::function<void()>& Save) {
        try {
            Save();
        } catch (const EIniFileError& Error) {
            return std::string(Error.what());
        }
        return std::string("no error");
    };
    // A target holding a line break: the others are saved, the message names it.
    const std::string Targets = Message([&] {
        Store.SaveGroup(QStringLiteral("A"),
                        {QStringLiteral("t1"), QStringLiteral("x\r\ny"), QStringLiteral("t2")});
    });
    EXPECT_NE(Targets.find("\"x\\x0d\\x0ay\" in [A] holds a character that cannot be stored"),
              std::string::npos)
        << Targets;
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("A")),
              (QStringList{QStringLiteral("t1"), QStringLiteral("t2")}));

    // A group name with a NUL, read from the file, used to fail every save of every group.
    QByteArray WithNul("[GROUPS]\r\n0=ok\r\n1=bad");
    WithNul.append('\0');
    WithNul.append("name\r\n");
    Put(WithNul);
    const std::string Groups = Message([&] {
        Store.SaveGroup(QStringLiteral("Open"), {QStringLiteral("h1"), QStringLiteral("h2")});
    });
    EXPECT_NE(Groups.find("\"bad\\x00name\" in [GROUPS]"), std::string::npos) << Groups;
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("Open")),
              (QStringList{QStringLiteral("h1"), QStringLiteral("h2")}));
    QStringList Names;
    Store.LoadGroupList(Names);
    EXPECT_EQ(Names, (QStringList{QStringLiteral("ok"), QStringLiteral("Open")}));
    // The next save finds nothing left to complain about.
    EXPECT_EQ(Message([&] { Store.SaveGroup(QStringLiteral("Open"), {QStringLiteral("h1")}); }),
              "no error");
}

TEST_F(ConfigStoreTest, SwitchesAndDefaultGroupHaveTheirDefaults) {
    EXPECT_TRUE(Store.ReadHintsEnable());
    EXPECT_FALSE(Store.ReadListViewEnable());
    EXPECT_EQ(Store.ReadDefaultGroup(), QStringLiteral("Default Group"));
    Put("[common]\r\nHintsEnable=off\r\nListViewEnable=2\r\n");
    EXPECT_TRUE(Store.ReadHintsEnable());
    EXPECT_TRUE(Store.ReadListViewEnable());

    Store.WriteHintsEnable(false);
    Store.WriteListViewEnable(false);
    Store.WriteDefaultGroup(QString());
    EXPECT_EQ(Text(), "[common]\r\nHintsEnable=0\r\nListViewEnable=0\r\nDefaultGroup=\r\n");
    EXPECT_EQ(Store.ReadDefaultGroup(), QString()) << "a stored empty name is not the default";
}

TEST_F(ConfigStoreTest, FriendlyNamesRoundTrip) {
    Store.WriteFriendlyNames(QStringLiteral("10.0.0.1~Router\r\ngw~Gateway\r\n"));
    EXPECT_EQ(Text(), "[FRIENDLYNAMES]\r\n0=10.0.0.1~Router\r\n1=gw~Gateway\r\n");
    EXPECT_EQ(Store.ReadFriendlyNames(), QStringLiteral("10.0.0.1~Router\r\ngw~Gateway\r\n"));
    // IPv6 hosts keep their colons, brackets and zone in the file.
    const QString Ipv6 = QStringLiteral("fe80::1%eth0~Link\r\n[::1]~Self\r\n");
    Store.WriteFriendlyNames(Ipv6);
    EXPECT_EQ(Text(), "[FRIENDLYNAMES]\r\n0=fe80::1%eth0~Link\r\n1=[::1]~Self\r\n");
    EXPECT_EQ(Store.ReadFriendlyNames(), Ipv6);

    struct TCase {
        const char* Text;
        const char* Expected;
    } Cases[] = {
        {"a~1\nb~2", "a~1\r\nb~2\r\n"},
        {"a~1\rb~2\r", "a~1\r\nb~2\r\n"},
        {"a~1\r\n\r\n\nb~2", "a~1\r\n\r\n\r\nb~2\r\n"},
        {"\r\n", "\r\n"},
        {" spaced ~ name ", " spaced ~ name \r\n"},
        {"", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        Store.WriteFriendlyNames(QString::fromUtf8(Case.Text));
        EXPECT_EQ(Store.ReadFriendlyNames(), QString::fromUtf8(Case.Expected));
    }
    EXPECT_EQ(Text(), "") << "no lines leave no section";
}

TEST_F(ConfigStoreTest, ImportFilesNeedACommonKey) {
    const QString Dir = Homes.Root();
    struct TCase {
        const char* Name;
        QByteArray Content;
        bool Valid;
    } Cases[] = {
        {"header only", "[COMMON]\r\n[GROUPS]\r\n0=A\r\n", false},
        {"hints only", "[COMMON]\r\nHintsEnable=1\r\n", true},
        {"lower case", "[common]\nfoo=\n", true},
        {"no common", "[GROUPS]\r\n0=A\r\n", false},
        {"empty", "", false},
        {"binary", QByteArray("\0\xff[COMMON\0]\x01=\x02", 12), false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const QString Path = Dir + QStringLiteral("/import.ini");
        ASSERT_TRUE(WriteWholeFile(Path, Case.Content));
        EXPECT_EQ(TConfigStore::IsValidConfigFile(Path), Case.Valid);
    }
    EXPECT_FALSE(TConfigStore::IsValidConfigFile(Dir + QStringLiteral("/missing.ini")));
    EXPECT_FALSE(TConfigStore::IsValidConfigFile(Dir));
    const QString Huge = Dir + QStringLiteral("/huge.ini");
    ASSERT_TRUE(WriteWholeFile(Huge, "[COMMON]\r\nHintsEnable=1\r\n"));
    std::filesystem::resize_file(QFile::encodeName(Huge).toStdString(),
                                 TzsIniFile::MaxFileSize + 1);
    EXPECT_FALSE(TConfigStore::IsValidConfigFile(Huge));
}

TEST_F(ConfigStoreTest, FolderInPlaceOfTheFileIsNoConfigurationAndIsNotReplaced) {
    ASSERT_TRUE(QDir().mkpath(Store.FConfigFileName + QStringLiteral("/inside")));
    EXPECT_FALSE(Store.ConfigFileExists());
    try {
        Store.ImportLegacyConfiguration();
        FAIL() << "no error";
    } catch (const EIniFileError& Error) {
        EXPECT_EQ(QString::fromStdString(Error.what())
                      .startsWith(QStringLiteral("Unable to write to ") + Store.FConfigFileName),
                  true)
            << Error.what();
    }
    EXPECT_TRUE(QFileInfo(Store.FConfigFileName + QStringLiteral("/inside")).isDir());
    EXPECT_THROW(Store.ReadHintsEnable(), EIniFileError);
}

TEST_F(ConfigStoreTest, Windows1252FileKeepsEveryNameWithItsSectionThroughAWrite) {
    // Written on Windows in its 8-bit code page: 0xFC is "\u00FC", 0xE9 "\u00E9", 0x80 "\u20AC".
    Put("[COMMON]\r\nHintsEnable=0\r\nDefaultGroup=B\xFCro\r\n"
        "[GROUPS]\r\n0=B\xFCro\r\n1=Caf\xE9\r\n2=\x80 Kasse\r\n"
        "[B\xFCro]\r\n0=dr\xFC"
        "cker.lan\r\n1=10.0.0.1\r\n"
        "[CAF\xC9]\r\n0=caf\xE9\r\n"
        "[\x80 Kasse]\r\n0=kasse-\x80\r\n"
        "[FRIENDLYNAMES]\r\n0=dr\xFC"
        "cker.lan~Dr\xFC"
        "cker B\xFCro\r\n1=10.0.0.1~\x80 Kasse "
        "\xE9t\xE9\r\n");
    const QString Buero = QStringLiteral("B\u00FCro");
    const QString Cafe = QStringLiteral("Caf\u00E9");
    const QString Kasse = QStringLiteral("\u20AC Kasse");
    const QString Names = QStringLiteral("dr\u00FCcker.lan~Dr\u00FCcker B\u00FCro\r\n"
                                         "10.0.0.1~\u20AC Kasse \u00E9t\u00E9\r\n");
    const auto ExpectEverythingIntact = [&] {
        EXPECT_EQ(Store.ReadDefaultGroup(), Buero);
        EXPECT_FALSE(Store.ReadHintsEnable());
        EXPECT_EQ(Groups().size(), 3);
        EXPECT_TRUE(Groups().contains(Buero) && Groups().contains(Cafe) && Groups().contains(Kasse))
            << Groups().join(u'|').toStdString();
        EXPECT_EQ(Store.LoadGroupTargets(Buero),
                  (QStringList{QStringLiteral("dr\u00FCcker.lan"), QStringLiteral("10.0.0.1")}));
        // The section header's letter case differs; names still fold alike.
        EXPECT_EQ(Store.LoadGroupTargets(Cafe), QStringList{QStringLiteral("caf\u00E9")});
        EXPECT_EQ(Store.LoadGroupTargets(Kasse), QStringList{QStringLiteral("kasse-\u20AC")});
        EXPECT_EQ(Store.ReadFriendlyNames(), Names);
    };
    ExpectEverythingIntact();

    // The first write turns the whole file into UTF-8, sections it does not touch included.
    Store.WriteListViewEnable(true);
    const QByteArray Written = Text();
    EXPECT_TRUE(TzsIniFile::IsValidUtf8(Written.toStdString()));
    EXPECT_FALSE(Written.contains('\xFC') || Written.contains('\xE9') || Written.contains('\x80'))
        << "no byte of the old code page is left";
    EXPECT_TRUE(Written.contains("[B\xC3\xBCro]\r\n0=dr\xC3\xBC"
                                 "cker.lan\r\n"));
    ExpectEverythingIntact();
    EXPECT_TRUE(Store.ReadListViewEnable());

    Store.SaveGroup(Buero, {QStringLiteral("neu")});
    Store.WriteFriendlyNames(Store.ReadFriendlyNames());
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("B\u00DCRO")),
              QStringList{QStringLiteral("neu")});
    EXPECT_EQ(Store.ReadFriendlyNames(), Names);
    EXPECT_EQ(Text().count("[B\xC3\xBCro]"), 1) << "the group's section is rewritten, not doubled";
    EXPECT_EQ(QDir(Store.FConfigFolder).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(ConfigStoreTest, ByteOrderMarkKeepsTheFirstSectionAndIsKept) {
    const QByteArray Mark("\xEF\xBB\xBF");
    Put(Mark + "[COMMON]\r\nHintsEnable=0\r\nDefaultGroup=Servers\r\n");
    EXPECT_TRUE(TConfigStore::IsValidConfigFile(Store.FConfigFileName));
    EXPECT_FALSE(Store.ReadHintsEnable());
    EXPECT_EQ(Store.ReadDefaultGroup(), QStringLiteral("Servers"));
    Store.WriteHintsEnable(true);
    Store.WriteDefaultGroup(QStringLiteral("Lab"));
    EXPECT_EQ(Text(), Mark + "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Lab\r\n");
}

TEST_F(ConfigStoreTest, ReadOnlyConfigFileIsRefusedAndKept) {
    Store.WriteHintsEnable(true);
    const QByteArray Before = Text();
    const std::string File = QFile::encodeName(Store.FConfigFileName).toStdString();
    ASSERT_EQ(::chmod(File.c_str(), 0444), 0);
    try {
        Store.SaveGroup(QStringLiteral("A"), {QStringLiteral("a")});
        FAIL() << "no error";
    } catch (const EIniFileError& Error) {
        EXPECT_EQ(QString::fromStdString(Error.what()),
                  QStringLiteral("Unable to write to ") + Store.FConfigFileName);
    }
    EXPECT_THROW(Store.WriteFriendlyNames(QStringLiteral("a~b")), EIniFileError);
    EXPECT_EQ(Text(), Before);
    EXPECT_EQ(QFileInfo(Store.FConfigFileName).permissions() & QFileDevice::WriteOwner, 0);
    EXPECT_TRUE(Store.ReadHintsEnable()) << "reading still works";
}

TEST_F(ConfigStoreTest, NamesOfUnicodeBlanksAreBlank) {
    Store.SaveGroup(QStringLiteral("A"), {QStringLiteral("a")});
    const QByteArray Before = Text();
    for (const QString& Name :
         {QStringLiteral("\u3000"), QStringLiteral("\u00A0\u00A0"), QStringLiteral(" \u3000\t"),
          QStringLiteral("\u2003\u202F\u205F")}) {
        SCOPED_TRACE(Name.toStdString());
        Store.AddGroupName(Name);
        EXPECT_EQ(Text(), Before) << "a blank name is never entered into GROUPS";
        EXPECT_TRUE(Store.LoadGroupTargets(Name).isEmpty());
    }
    Put("[GROUPS]\r\n0=\xE3\x80\x80\r\n1=\xC2\xA0\r\n");
    EXPECT_EQ(Groups(), QStringList{QStringLiteral("Default Group")});
}

TEST(ConfigStoreFolderTest, RelativeXdgConfigHomeIsIgnored) {
    TTempXdgHomes Homes;
    const QByteArray OldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(Homes.Root()));
    qputenv("XDG_CONFIG_HOME", "relative/config");
    TMemoryRegistryStore Registry;
    TConfigStore Store(Registry);
    Store.PrepareConfigFolder();
    qputenv("HOME", OldHome);
    EXPECT_EQ(Store.FConfigFolder,
              Homes.Root() + QStringLiteral("/.config/Zephra Software/Vantorel/"));
    EXPECT_TRUE(QFileInfo(Store.FConfigFolder).isDir());
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("relative")))
        << "nothing below the current folder";
}

} // namespace

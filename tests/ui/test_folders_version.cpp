// Folder lookups on the XDG homes and the version stamp read back from program files.
#include "TempConfigHome.h"
#include "uZephraTools.h"
#include "zsFileVer.h"
#include "zsSystemFolders.h"

#include <gtest/gtest.h>

namespace {

TEST(SystemFoldersTest, ConfigurationAndLogsLieInDifferentXdgHomes) {
    TTempXdgHomes Homes;
    EXPECT_EQ(GetAppDataFolder(), Homes.ConfigHome());
    EXPECT_EQ(GetShellFolderVersion5(CSIDL_APPDATA), Homes.ConfigHome());
    EXPECT_EQ(GetUserAppDataFolder(), Homes.DataHome());
    EXPECT_EQ(GetSpecialFolderPath(0x1234), QString());
}

// Sets an environment variable for its lifetime.
class TEnvironment {
public:
    TEnvironment(const char* Name, const QByteArray& Value)
        : FName(Name), FOld(qgetenv(Name)), FHad(qEnvironmentVariableIsSet(Name)) {
        qputenv(Name, Value);
    }
    ~TEnvironment() { FHad ? qputenv(FName, FOld) : qunsetenv(FName); }
    TEnvironment(const TEnvironment&) = delete;
    TEnvironment& operator=(const TEnvironment&) = delete;

private:
    const char* FName;
    QByteArray FOld;
    bool FHad;
};

TEST(SystemFoldersTest, RelativeXdgHomesAreIgnored) {
    TTempXdgHomes Homes;
    TEnvironment Home("HOME", QFile::encodeName(Homes.Root()));
    struct TCase {
        const char* Config;
        const char* Data;
    } Cases[] = {{"relative/config", "relative/data"}, {"./c", "../d"}, {"~/c", "~/d"}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Config);
        TEnvironment Config("XDG_CONFIG_HOME", Case.Config);
        TEnvironment Data("XDG_DATA_HOME", Case.Data);
        EXPECT_EQ(GetAppDataFolder(), Homes.Root() + QStringLiteral("/.config"));
        EXPECT_EQ(GetUserAppDataFolder(), Homes.Root() + QStringLiteral("/.local/share"));
    }
    // An empty variable counts as unset.
    TEnvironment Config("XDG_CONFIG_HOME", "");
    TEnvironment Data("XDG_DATA_HOME", "");
    EXPECT_EQ(XdgHomeFolder(TXdgHome::Config), Homes.Root() + QStringLiteral("/.config"));
    EXPECT_EQ(XdgHomeFolder(TXdgHome::Data), Homes.Root() + QStringLiteral("/.local/share"));
}

TEST(SystemFoldersTest, FailedLookupNamesTheFolderId) {
    // The real lookup refuses an id it does not know.
    try {
        GetShellFolderVersion5(0xbeef);
        FAIL() << "no error";
    } catch (const EFolderError& Error) {
        EXPECT_EQ(QString::fromStdString(Error.what()).section(QStringLiteral("\r\n"), 0, 0),
                  QStringLiteral("GetShellFolderVersion5 : Cannot not retrieve system folder "
                                 "0x0000BEEF"));
    }

    const auto Previous = SetShellFolderQuery([](int, QString&) { return 0x80004005L; });
    try {
        GetAppDataFolder();
        ADD_FAILURE() << "no error";
    } catch (const EFolderError& Error) {
        const QString Message = QString::fromStdString(Error.what());
        EXPECT_TRUE(Message.startsWith(QStringLiteral(
            "GetShellFolderVersion5 : Cannot not retrieve system folder 0x0000001A\r\n \"")))
            << Error.what();
        EXPECT_TRUE(Message.endsWith(u'"')) << Error.what();
    }
    SetShellFolderQuery(Previous);
}

class FileVersionTest : public ::testing::Test {
protected:
    QString Write(const char* Name, const QByteArray& Content) {
        const QString Path = Dir.path() + u'/' + QString::fromUtf8(Name);
        EXPECT_TRUE(WriteWholeFile(Path, Content));
        return Path;
    }
    QTemporaryDir Dir;
};

TEST_F(FileVersionTest, RunningProgramCarriesTheProjectVersion) {
    QStringList Expected = QStringLiteral(VANTOREL_VERSION_TEXT).split(u'.');
    while (Expected.size() < 4) {
        Expected.append(QStringLiteral("0"));
    }
    EXPECT_EQ(GetFileVersionText(QStringLiteral("/proc/self/exe")), Expected.join(u'.'));
}

TEST_F(FileVersionTest, StampIsFoundAnywhereInAFile) {
    const QByteArray Stamp = MakeFileVersionStamp(0x00010002, 0x00030004);
    struct TCase {
        const char* Name;
        QByteArray Content;
    } Cases[] = {
        {"alone", Stamp},
        {"among other bytes", QByteArray(1000, 'x') + Stamp + QByteArray(1000, '\0')},
        // The file is read in 1 MiB pieces.
        {"across a read boundary", QByteArray((1 << 20) - 10, 'y') + Stamp},
        {"after a broken copy", Stamp.left(20) + QByteArray(12, '\0') + Stamp},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(GetFileVersionText(Write("stamped", Case.Content)), QStringLiteral("1.2.3.4"));
    }
    EXPECT_EQ(GetFileVersionText(Write("max", MakeFileVersionStamp(0xffffffff, 0x0000ffff))),
              QStringLiteral("65535.65535.0.65535"));
}

TEST_F(FileVersionTest, FileWithoutAStampRaises) {
    QByteArray Broken = MakeFileVersionStamp(0x00010002, 0x00030004);
    Broken[Broken.size() - 1] = static_cast<char>(Broken[Broken.size() - 1] ^ 1);
    struct TCase {
        const char* Name;
        QString Path;
        const char* MessageStart;
    } Cases[] = {
        {"no stamp", Write("plain", QByteArray(5000, 'z')), "\""},
        {"empty", Write("empty", QByteArray()), "\""},
        {"broken stamp", Write("broken", Broken), "\""},
        {"cut stamp", Write("cut", MakeFileVersionStamp(1, 2).left(30)), "\""},
        {"missing file", Dir.path() + QStringLiteral("/missing"), "Cannot read the version of"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        try {
            GetFileVersionText(Case.Path);
            ADD_FAILURE() << "no error";
        } catch (const EFileVersionError& Error) {
            EXPECT_TRUE(QString::fromStdString(Error.what())
                            .startsWith(QString::fromUtf8(Case.MessageStart)))
                << Error.what();
            EXPECT_TRUE(QString::fromStdString(Error.what()).contains(Case.Path)) << Error.what();
        }
    }
}

} // namespace

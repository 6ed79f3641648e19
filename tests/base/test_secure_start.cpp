// A start under the secure-execution flag: which plugin folders are trusted, which options are
// refused and which variables go. The application object exists already here, so the real
// ordering (before it) is left to the end-to-end test of a program file with a capability.
#include "zsSecureStart.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(SecureStart, OnlyFoldersRootAloneCanChangeAreTrusted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make folders of other owners";
    // Below a folder whose folders up to / are root's and closed: the build tree may lie below
    // one that is not (a clone in /tmp).
    QString Base;
    for (const char* Parent : {"/run", "/var/lib", "/opt", "/"}) {
        if (FolderOnlyRootChanges(QString::fromLatin1(Parent))) {
            QByteArray Template = QByteArray(Parent).append("/vantorel-secure-start-XXXXXX");
            Template.replace("//", "/");
            ASSERT_NE(::mkdtemp(Template.data()), nullptr) << Template.constData();
            Base = QFile::decodeName(Template);
            break;
        }
    }
    ASSERT_FALSE(Base.isEmpty()) << "no folder closed to all but root";
    const auto RemoveBase = qScopeGuard([&Base] { QDir(Base).removeRecursively(); });
    ASSERT_EQ(::chmod(QFile::encodeName(Base).constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(Base + QStringLiteral("/closed/inner")));
    ASSERT_TRUE(QDir().mkpath(Base + QStringLiteral("/users")));
    ASSERT_TRUE(QDir().mkpath(Base + QStringLiteral("/group-writable/inner")));
    ASSERT_TRUE(QDir().mkpath(Base + QStringLiteral("/sticky/inner")));
    const auto Native = [&](const char* Relative) {
        return QFile::encodeName(Base + QLatin1Char('/') + QLatin1String(Relative));
    };
    ASSERT_EQ(::chmod(Native("closed").constData(), 0755), 0);
    ASSERT_EQ(::chmod(Native("closed/inner").constData(), 0755), 0);
    ASSERT_EQ(::chown(Native("users").constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(Native("group-writable").constData(), 0775), 0);
    ASSERT_EQ(::chmod(Native("sticky").constData(), 01777), 0);

    struct TCase {
        QString Folder;
        bool Trusted;
    };
    const TCase Cases[] = {
        {QLibraryInfo::path(QLibraryInfo::PluginsPath), true},
        {Base + QStringLiteral("/closed/inner"), true},
        {Base + QStringLiteral("/users"), false},
        // A folder of root's is not closed when one above it is open to others.
        {Base + QStringLiteral("/group-writable/inner"), false},
        {Base + QStringLiteral("/sticky/inner"), false},
        {Base + QStringLiteral("/missing"), false},
        {QStringLiteral("relative/folder"), false},
        {QString(), false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Folder.toStdString());
        EXPECT_EQ(FolderOnlyRootChanges(Case.Folder), Case.Trusted);
    }
    EXPECT_EQ(TrustedPluginFolders(Base + QStringLiteral("/closed/inner"),
                                   Base + QStringLiteral("/users")),
              QStringList{Base + QStringLiteral("/closed/inner")});
}

std::string Lock(bool Secure, std::vector<std::string> Arguments) {
    Arguments.insert(Arguments.begin(), "vantorel");
    std::vector<char*> Argv;
    for (std::string& Argument : Arguments)
        Argv.push_back(Argument.data());
    Argv.push_back(nullptr);
    return LockPluginSources(Secure, int(Arguments.size()), Argv.data());
}

TEST(SecureStart, OptionsThatNamePluginsAreRefusedAndTheProgramsOwnStay) {
    const QStringList Before = QCoreApplication::libraryPaths();
    struct TCase {
        std::vector<std::string> Arguments;
        bool Refused;
    };
    const TCase Cases[] = {
        {{"-platformpluginpath", "/tmp/x"}, true},
        {{"--platformpluginpath", "/tmp/x"}, true},
        {{"-platformpluginpath=/tmp/x"}, true},
        {{"-plugin", "evdevmouse"}, true},
        {{"--plugin=evdevmouse"}, true},
        {{"-platform", "xcb"}, false},
        {{"--export-log", "x.pin", "-o", "x.csv"}, false},
        {{"-pluginsomething"}, false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Arguments.front());
        const std::string Problem = Lock(true, Case.Arguments);
        EXPECT_EQ(Problem.find("is not allowed") != std::string::npos, Case.Refused) << Problem;
        // Without the flag nothing is refused.
        EXPECT_EQ(Lock(false, Case.Arguments), "");
    }
    QCoreApplication::setLibraryPaths(Before);
}

TEST(SecureStart, TheVariablesGoAndThePluginFoldersAreFixed) {
    const QStringList Before = QCoreApplication::libraryPaths();
    const QStringList Variables = UnsafeLoadVariables();
    for (const char* Name : {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "GTK_PATH"})
        ASSERT_TRUE(Variables.contains(QLatin1String(Name))) << Name;
    for (const QString& Variable : Variables)
        ::setenv(Variable.toLatin1().constData(), "/tmp", 1);
    ::setenv("QT_QPA_PLATFORMTHEME", "gtk3", 1);

    EXPECT_EQ(Lock(false, {}), "");
    EXPECT_STREQ(std::getenv("QT_PLUGIN_PATH"), "/tmp"); // an ordinary start changes nothing

    EXPECT_EQ(Lock(true, {}), "");
    for (const QString& Variable : Variables)
        EXPECT_EQ(std::getenv(Variable.toLatin1().constData()), nullptr) << Variable.toStdString();
    // Choosing among installed plugins stays the user's.
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORMTHEME"), "gtk3");
    for (const QString& Folder : QCoreApplication::libraryPaths())
        EXPECT_TRUE(FolderOnlyRootChanges(Folder)) << Folder.toStdString();
    EXPECT_TRUE(
        QCoreApplication::libraryPaths().contains(QLibraryInfo::path(QLibraryInfo::PluginsPath)));
    EXPECT_EQ(CheckPluginFolders(), "");

    ::unsetenv("QT_QPA_PLATFORMTHEME");
    QCoreApplication::setLibraryPaths(Before);
}

} // namespace

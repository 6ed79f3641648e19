#include "zsSecureStart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>

#include <cstdlib>
#include <cstring>

#include <sys/auxv.h>
#include <sys/stat.h>

bool StartedSecure() {
    return ::getauxval(AT_SECURE) != 0;
}

QStringList UnsafeLoadVariables() {
    return {
        // Qt: plugin folders, a platform plugin folder, generic plugins, QML modules.
        QStringLiteral("QT_PLUGIN_PATH"),
        QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"),
        QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
        QStringLiteral("QML_IMPORT_PATH"),
        QStringLiteral("QML2_IMPORT_PATH"),
        // Libraries a platform or theme plugin brings along: GTK and GIO modules, GL, EGL and
        // Vulkan drivers, VA drivers, GBM back ends.
        QStringLiteral("GTK_PATH"),
        QStringLiteral("GTK_MODULES"),
        QStringLiteral("GTK3_MODULES"),
        QStringLiteral("GIO_EXTRA_MODULES"),
        QStringLiteral("GIO_MODULE_DIR"),
        QStringLiteral("LIBGL_DRIVERS_PATH"),
        QStringLiteral("__EGL_VENDOR_LIBRARY_DIRS"),
        QStringLiteral("__EGL_VENDOR_LIBRARY_FILENAMES"),
        QStringLiteral("__EGL_EXTERNAL_PLATFORM_CONFIG_DIRS"),
        QStringLiteral("__EGL_EXTERNAL_PLATFORM_CONFIG_FILENAMES"),
        QStringLiteral("__GLX_VENDOR_LIBRARY_NAME"),
        QStringLiteral("VK_ICD_FILENAMES"),
        QStringLiteral("VK_DRIVER_FILES"),
        QStringLiteral("VK_LAYER_PATH"),
        QStringLiteral("LIBVA_DRIVERS_PATH"),
        QStringLiteral("GBM_BACKENDS_PATH"),
    };
}

bool FolderOnlyRootChanges(const QString& Folder) {
    if (Folder.isEmpty() || !QDir::isAbsolutePath(Folder))
        return false;
    QString Path = QFileInfo(Folder).canonicalFilePath();
    if (Path.isEmpty())
        return false;
    for (;;) {
        struct stat Status {};
        if (::stat(QFile::encodeName(Path).constData(), &Status) != 0 || !S_ISDIR(Status.st_mode) ||
            Status.st_uid != 0 || (Status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return false;
        if (Path == QLatin1String("/"))
            return true;
        Path = QFileInfo(Path).path();
    }
}

QStringList TrustedPluginFolders(const QString& Installed, const QString& ProgramFolder) {
    QStringList Folders;
    for (const QString& Folder : {Installed, ProgramFolder}) {
        if (FolderOnlyRootChanges(Folder)) {
            const QString Canonical = QFileInfo(Folder).canonicalFilePath();
            if (!Folders.contains(Canonical))
                Folders.append(Canonical);
        }
    }
    return Folders;
}

namespace {

// Qt takes its options with one dash or two.
bool IsRefusedOption(const char* Argument) {
    static const char* const Refused[] = {"platformpluginpath", "plugin"};
    const char* Name = Argument;
    if (Name[0] != '-')
        return false;
    Name += Name[1] == '-' ? 2 : 1;
    for (const char* Option : Refused) {
        const std::size_t Length = std::strlen(Option);
        if (std::strncmp(Name, Option, Length) == 0 && (Name[Length] == 0 || Name[Length] == '='))
            return true;
    }
    return false;
}

QString ProgramFolder() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

} // namespace

std::string LockPluginSources(bool Secure, int Argc, char** Argv) {
    if (!Secure)
        return {};
    for (int Index = 1; Index < Argc; ++Index) {
        if (IsRefusedOption(Argv[Index])) {
            return std::string("Vantorel: the option ") + Argv[Index] +
                   " is not allowed: this program file has capabilities, so it loads plugins "
                   "only from the folders root owns.\n";
        }
    }
    const QString Program = ProgramFolder();
    // Qt adds the program's folder to its plugin folders when the application object is made,
    // on top of what was set before, and takes away again only what it had found by itself
    // before: so the folder is made one of those first (through the variable, read once here)
    // and the fixed list then leaves it out.
    ::setenv("QT_PLUGIN_PATH", QFile::encodeName(Program).constData(), 1);
    QCoreApplication::libraryPaths();
    for (const QString& Variable : UnsafeLoadVariables())
        ::unsetenv(Variable.toLatin1().constData());
    QCoreApplication::setLibraryPaths(
        TrustedPluginFolders(QLibraryInfo::path(QLibraryInfo::PluginsPath), Program));
    return {};
}

std::string CheckPluginFolders() {
    for (const QString& Folder : QCoreApplication::libraryPaths()) {
        if (!FolderOnlyRootChanges(Folder)) {
            return "Vantorel: this program file has capabilities, and Qt would load plugins from " +
                   Folder.toStdString() + ", which others than root can change.\n";
        }
    }
    return {};
}

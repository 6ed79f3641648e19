#include "zsSystemFolders.h"

#include <QDir>
#include <QStandardPaths>

namespace {

// Result codes in the classic shell's form, so that messages name them the same way.
constexpr long E_INVALIDARG = static_cast<long>(0x80070057L);
constexpr long E_PATH_NOT_FOUND = static_cast<long>(0x80070003L);

long RealShellFolderQuery(int FolderId, QString& Path) {
    if (FolderId != CSIDL_APPDATA) {
        return E_INVALIDARG;
    }
    Path = XdgHomeFolder(TXdgHome::Config);
    return Path.isEmpty() ? E_PATH_NOT_FOUND : 0;
}

TShellFolderQuery& InstalledQuery() {
    static TShellFolderQuery Query;
    return Query;
}

QString ResultText(long Result) {
    switch (Result) {
    case E_INVALIDARG:
        return QStringLiteral("No system folder is known for this id.");
    case E_PATH_NOT_FOUND:
        return QStringLiteral("The folder's location cannot be determined (is HOME set?).");
    default:
        return QStringLiteral("Error 0x%1.")
            .arg(static_cast<unsigned long>(Result) & 0xffffffffUL, 8, 16, QLatin1Char('0'));
    }
}

} // namespace

TShellFolderQuery SetShellFolderQuery(TShellFolderQuery Query) {
    return std::exchange(InstalledQuery(), std::move(Query));
}

QString GetShellFolderVersion5(int FolderId) {
    QString Path;
    const auto& Query = InstalledQuery();
    const long Result = Query ? Query(FolderId, Path) : RealShellFolderQuery(FolderId, Path);
    if (Result != 0) {
        const QString Id =
            QStringLiteral("%1").arg(static_cast<unsigned>(FolderId), 8, 16, QLatin1Char('0'));
        const QString Message =
            QStringLiteral(
                "GetShellFolderVersion5 : Cannot not retrieve system folder 0x%1\r\n \"%2\"")
                .arg(Id.toUpper(), ResultText(Result));
        throw EFolderError(Message.toStdString());
    }
    return Path;
}

QString GetAppDataFolder() {
    return GetShellFolderVersion5(CSIDL_APPDATA);
}

QString XdgHomeFolder(TXdgHome Home) {
    const bool Config = Home == TXdgHome::Config;
    const QString Set = qEnvironmentVariable(Config ? "XDG_CONFIG_HOME" : "XDG_DATA_HOME");
    QString Path;
    if (!Set.isEmpty() && !QDir::isAbsolutePath(Set)) {
        // The platform lookup would take the relative path as it is.
        Path = QDir::homePath() +
               (Config ? QStringLiteral("/.config") : QStringLiteral("/.local/share"));
    } else {
        Path = QStandardPaths::writableLocation(Config ? QStandardPaths::GenericConfigLocation
                                                       : QStandardPaths::GenericDataLocation);
    }
    return QDir::isAbsolutePath(Path) ? Path : QString();
}

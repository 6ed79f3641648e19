#include "uZephraTools.h"

#include "zsSystemFolders.h"

#include <QStandardPaths>

QString GetSpecialFolderPath(int FolderId) {
    if (FolderId != CSIDL_APPDATA) {
        return {};
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString GetUserAppDataFolder() {
    return GetSpecialFolderPath(CSIDL_APPDATA);
}

QString ZephraSoftwareWebAddress() {
    return QStringLiteral("https://zephra-software.example/");
}

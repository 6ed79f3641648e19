#include "uZephraTools.h"

#include "zsSystemFolders.h"

#include <QDesktopServices>
#include <QUrl>

#include <utility>

namespace {

TWebAddressOpener& WebAddressOpener() {
    static TWebAddressOpener Opener;
    return Opener;
}

} // namespace

QString GetSpecialFolderPath(int FolderId) {
    if (FolderId != CSIDL_APPDATA) {
        return {};
    }
    return XdgHomeFolder(TXdgHome::Data);
}

QString GetUserAppDataFolder() {
    return GetSpecialFolderPath(CSIDL_APPDATA);
}

QString ZephraSoftwareWebAddress() {
    return QStringLiteral("https://zephra-software.example/");
}

QString VantorelWebAddress() {
    return QStringLiteral("https://zephra-software.example/vantorel/");
}

void OpenWebAddress(const QString& Address) {
    if (const TWebAddressOpener& Opener = WebAddressOpener()) {
        Opener(Address);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromUserInput(Address));
}

TWebAddressOpener SetWebAddressOpener(TWebAddressOpener Opener) {
    return std::exchange(WebAddressOpener(), std::move(Opener));
}

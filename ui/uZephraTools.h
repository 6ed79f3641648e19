// The current user's application-data folder that log files go into. On Linux this is the XDG
// data home ($XDG_DATA_HOME, by default ~/.local/share), a different place from the
// configuration folder.
#pragma once

#include <QString>

#include <functional>

// The folder with that id, or an empty text when it is unknown. Nothing is created.
QString GetSpecialFolderPath(int FolderId);

// GetSpecialFolderPath(CSIDL_APPDATA).
QString GetUserAppDataFolder();

// The maker's web page, opened by the web-page buttons.
QString ZephraSoftwareWebAddress();

// The product's own web page, shown in the About window.
QString VantorelWebAddress();

// Hands a web address to the user's browser; the result is not looked at.
void OpenWebAddress(const QString& Address);

// Test seam: replaces what OpenWebAddress does, so that tests open nothing. An empty function
// restores the browser. Returns the opener that was installed before.
using TWebAddressOpener = std::function<void(const QString& Address)>;
TWebAddressOpener SetWebAddressOpener(TWebAddressOpener Opener);

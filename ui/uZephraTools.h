// The current user's application-data folder that log files go into. On Linux this is the XDG
// data home ($XDG_DATA_HOME, by default ~/.local/share), a different place from the
// configuration folder.
#pragma once

#include <QString>

// The folder with that id, or an empty text when it is unknown. Nothing is created.
QString GetSpecialFolderPath(int FolderId);

// GetSpecialFolderPath(CSIDL_APPDATA).
QString GetUserAppDataFolder();

// The maker's web page, opened by the web-page buttons.
QString ZephraSoftwareWebAddress();

// The per-user application-data folder that the configuration lives in. On Linux this is the
// XDG configuration home ($XDG_CONFIG_HOME, by default ~/.config).
#pragma once

#include <QString>
#include <functional>
#include <stdexcept>

class EFolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Folder ids of the classic shell folder lookup that the program asks for.
constexpr int CSIDL_APPDATA = 0x1a;

// The folder with that id. Raises EFolderError naming the id when it cannot be found.
QString GetShellFolderVersion5(int FolderId);

// GetShellFolderVersion5(CSIDL_APPDATA): where the configuration folder goes.
QString GetAppDataFolder();

// The per-user XDG base folders: $XDG_CONFIG_HOME (by default ~/.config) and $XDG_DATA_HOME
// (by default ~/.local/share). A relative path in either variable is invalid under the XDG
// rules and is ignored, so that nothing lands below the folder the program was started in.
// Empty when no absolute folder can be found (no usable home folder).
enum class TXdgHome { Config, Data };
QString XdgHomeFolder(TXdgHome Home);

// The platform lookup behind GetShellFolderVersion5: fills Path and returns 0, or returns a
// non-zero result code. Tests replace it to make the lookup fail; pass an empty function to
// restore the real one. Returns the lookup that was installed before.
using TShellFolderQuery = std::function<long(int FolderId, QString& Path)>;
TShellFolderQuery SetShellFolderQuery(TShellFolderQuery Query);

// What a program file with a capability lets its caller choose at start: nothing about where code
// is loaded from. Under the secure-execution flag (the kernel sets it for a program file with
// capabilities, as for a set-user-ID one) this runs before the application object exists:
//   - the environment variables that add folders of plugins or modules are removed,
//   - the command-line options that do the same (-platformpluginpath, -plugin) are refused,
//   - Qt's plugin folders become its installed one and, only when it is owned by root and open
//     to no one else, the program's own folder; a plugin named by its key alone (a platform, a
//     theme, a style) then loads only from folders root owns.
// The program's own options stay; so do the variables that only choose among installed plugins.
//
//   int main(int argc, char** argv) {
//       const std::string Problem = LockPluginSources(StartedSecure(), argc, argv);
//       if (!Problem.empty()) { std::fputs(Problem.c_str(), stderr); return 2; }
//       QApplication App(argc, argv);
#pragma once

#include <QStringList>

#include <string>

// The kernel's secure-execution flag for this process (AT_SECURE).
bool StartedSecure();

// The variables LockPluginSources removes.
QStringList UnsafeLoadVariables();

// A folder that only root can change: it and every folder above it belong to root and none is
// writable by its group or by others (a sticky folder such as /tmp does not count as closed).
bool FolderOnlyRootChanges(const QString& Folder);

// The plugin folders a secure start keeps: Installed (Qt's own) and ProgramFolder, each only
// when root alone can change it.
QStringList TrustedPluginFolders(const QString& Installed, const QString& ProgramFolder);

// Does nothing unless Secure. Otherwise cleans the environment and fixes Qt's plugin folders as
// described above; returns what to tell the user when the command line asks for something that
// is refused (the start should then end), or the empty string.
std::string LockPluginSources(bool Secure, int Argc, char** Argv);

// Once the application object exists: the empty string when every plugin folder Qt searches is
// one root alone can change, or what to tell the user.
std::string CheckPluginFolders();

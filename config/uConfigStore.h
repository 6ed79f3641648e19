// The configuration store of the main window: everything that survives from one run to the
// next, kept in config.ini. Every operation reads from the file or writes through to it at
// once, so the file on disk is always current. On the first start without config.ini the
// legacy registry layout is carried over.
//
//   TConfigStore Store(Registry);
//   Store.PrepareConfigFolder();
//   Store.OpenConfig();
//   if (!Store.ConfigFileExists()) Store.ImportLegacyConfiguration();
//   Store.LoadGroupTargets(Store.ReadDefaultGroup());
#pragma once

#include "zsIniFile.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <stdexcept>

class TRegistryStore;

// A store operation that was refused before touching the file.
class EConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TConfigStore {
public:
    // The registry the legacy carry-over reads; it must outlive the store.
    explicit TConfigStore(TRegistryStore& Registry);

    // Sets FConfigFolder and FConfigFileName and creates the folder with its parents. Raises
    // "Could not create application folder \"…\"" when that fails.
    void PrepareConfigFolder();
    // Opens FConfig on FConfigFileName; the file is created by the first write.
    void OpenConfig();
    bool ConfigFileExists() const;

    // The numbered list of a section: keys "0", "1", … up to the first missing number.
    static void ReadNumberedList(const TzsIniFile& File, const QString& Section, QStringList& List);
    // Replaces the section with the entries under consecutive numbers from "0".
    void WriteNumberedList(const QString& Section, const QStringList& List);

    void AddGroupName(const QString& Name);
    void SaveGroup(const QString& Name, const QStringList& Targets);
    void RemoveGroup(const QString& Name);
    // The group's targets as stored; none for a blank name.
    QStringList LoadGroupTargets(const QString& Name) const;
    // Fills Groups with the stored group names, or "Default Group" when there are none.
    void LoadGroupList(QStringList& Groups) const;

    bool ReadHintsEnable() const;
    void WriteHintsEnable(bool Value);
    // The logging switch, in a section of Vantorel's own ([LOGGING] Enabled); off when absent.
    bool ReadLoggingEnable() const;
    void WriteLoggingEnable(bool Value);
    // Where the metrics endpoint listens ([METRICS] Listen); empty when it is off.
    QString ReadMetricsListen() const;
    bool ReadListViewEnable() const;
    void WriteListViewEnable(bool Value);
    QString ReadDefaultGroup() const;
    void WriteDefaultGroup(const QString& Name);
    // The friendly-name lines as one text, each line ending with CR LF.
    QString ReadFriendlyNames() const;
    // Replaces the friendly names with the lines of Text (split at CR, LF or CR LF).
    void WriteFriendlyNames(const QString& Text);

    // True when the file holds a configuration: its COMMON section has at least one key.
    static bool IsValidConfigFile(const QString& Path);
    // Why the file at Path cannot be imported, or the empty string: one too large to read is
    // told so, as config.ini itself would be; anything else that is no configuration gets the
    // general message.
    static QString ImportProblem(const QString& Path);
    // Makes config.ini a copy of the file at Path, atomically, and reads it from then on.
    // Raises EIniFileError when it cannot be read or written.
    void ImportConfigFile(const QString& Path);

    // Writes a copy of config.ini to the file at Path, atomically. Raises an error that names
    // the file and the reason when config.ini cannot be read or the copy cannot be written.
    void ExportConfigFile(const QString& Path) const;

    void ImportLegacyConfiguration();

    // The stored group names, sorted without regard to case in the user's locale, each name
    // once; blank names are dropped.
    static QStringList SortedGroupNames(const QStringList& Names);

    // The INI file with the store's matching rules (Unicode case folding of names).
    static std::unique_ptr<TzsIniFile> MakeIniFile(const QString& FileName);

    // The open file, for the sections that other parts of the program keep there themselves
    // (the alerts' [ALERTS]). Raises EConfigError when no file is open.
    TzsIniFile& Config() const;

    QString FConfigFolder;   // ends with "/"
    QString FConfigFileName; // FConfigFolder + "config.ini"

private:
    QStringList ReadGroupNames() const;
    void WriteGroupNames(const QStringList& Names);

    TRegistryStore& FRegistry;
    std::unique_ptr<TzsIniFile> FConfig;
};

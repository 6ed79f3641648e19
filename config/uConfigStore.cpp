#include "uConfigStore.h"

#include "ZRegistry.h"
#include "zsSystemFolders.h"
#include "zsTextRules.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <exception>
#include <unordered_map>

namespace {

const QString DefaultGroupName = QStringLiteral("Default Group");
const char* const LegacyKey = "Software\\Zephra Software\\QRT";
const char* const LegacyGroupsKey = "Software\\Zephra Software\\QRT\\Groups";

std::string Utf8(const QString& Text) {
    return Text.toStdString();
}
QString FromUtf8(const std::string& Text) {
    return QString::fromStdString(Text);
}

// Replaces what cannot be part of a section name, so that a legacy group is carried over under
// a name the file can hold instead of being lost.
QString StorableGroupName(const QString& Name) {
    QString Storable = WithoutControls(Name);
    for (QChar& C : Storable) {
        if (C == u'[' || C == u']') {
            C = u'_';
        }
    }
    // What is left to object to is a fixed section's name, which a suffix sets apart.
    if (!UnstorableGroupNameReason(Storable).isEmpty()) {
        Storable += u'_';
    }
    return Storable;
}

} // namespace

TConfigStore::TConfigStore(TRegistryStore& Registry) : FRegistry(Registry) {}

std::unique_ptr<TzsIniFile> TConfigStore::MakeIniFile(const QString& FileName) {
    return std::make_unique<TzsIniFile>(
        QFile::encodeName(FileName).toStdString(), [](std::string_view Name) {
            const QByteArrayView Bytes(Name.data(), static_cast<qsizetype>(Name.size()));
            const QString Text = QString::fromUtf8(Bytes);
            // Bytes that are not UTF-8 would all fold to the same replacement character and
            // make different names match; they are compared as they are.
            if (Text.toUtf8() != Bytes) {
                return std::string(Name);
            }
            return Text.toCaseFolded().toStdString();
        });
}

TzsIniFile& TConfigStore::Config() const {
    if (!FConfig) {
        throw EConfigError("The configuration file is not open.");
    }
    return *FConfig;
}

void TConfigStore::PrepareConfigFolder() {
    FConfigFolder = GetAppDataFolder() + QStringLiteral("/Zephra Software/Vantorel/");
    FConfigFileName = FConfigFolder + QStringLiteral("config.ini");
    if (!QFileInfo(FConfigFolder).isDir() && !QDir().mkpath(FConfigFolder)) {
        throw EConfigError(QStringLiteral("Could not create application folder \"%1\"")
                               .arg(FConfigFolder)
                               .toStdString());
    }
}

void TConfigStore::OpenConfig() {
    FConfig = MakeIniFile(FConfigFileName);
}

bool TConfigStore::ConfigFileExists() const {
    // A folder or other non-file in its place is no configuration file.
    const QFileInfo Info(FConfigFileName);
    return Info.exists() && !Info.isDir();
}

void TConfigStore::ReadNumberedList(const TzsIniFile& File, const QString& Section,
                                    QStringList& List) {
    List.clear();
    std::unordered_map<std::string, std::string> Entries;
    for (auto& [Key, Value] : File.ReadSectionValues(Utf8(Section))) {
        Entries.emplace(std::move(Key), std::move(Value));
    }
    for (std::size_t Number = 0;; ++Number) {
        const auto Found = Entries.find(std::to_string(Number));
        if (Found == Entries.end()) {
            break;
        }
        List.append(FromUtf8(Found->second));
    }
}

void TConfigStore::WriteNumberedList(const QString& Section, const QStringList& List) {
    // Every entry that can be stored is written; one that cannot (a NUL read from the file,
    // say) is named afterwards instead of keeping the whole list from being saved.
    std::vector<TzsIniFile::TKeyValue> Entries;
    Entries.reserve(static_cast<std::size_t>(List.size()));
    QStringList Unstorable;
    for (const QString& Item : List) {
        std::string Value = Utf8(Item);
        if (TzsIniFile::IsStorableValue(Value)) {
            Entries.emplace_back(std::to_string(Entries.size()), std::move(Value));
        } else {
            Unstorable.append(Item);
        }
    }
    Config().ReplaceSection(Utf8(Section), Entries);
    if (!Unstorable.isEmpty()) {
        QStringList Shown;
        for (const QString& Item : Unstorable) {
            QString Visible;
            for (const QChar C : Item) {
                Visible += C.category() == QChar::Other_Control
                               ? QStringLiteral("\\x%1").arg(C.unicode(), 2, 16, QLatin1Char('0'))
                               : QString(C);
            }
            Shown.append(QStringLiteral("\"%1\"").arg(Visible));
        }
        throw EIniFileError("Unable to write to " + Config().FileName() + ": " +
                            Shown.join(QStringLiteral(", ")).toStdString() + " in [" +
                            Utf8(Section) + "] holds a character that cannot be stored");
    }
}

QStringList TConfigStore::SortedGroupNames(const QStringList& Names) {
    // The first of the names that differ only in letter case stays.
    struct TEntry {
        QString Name;
        QCollatorSortKey Key;
    };
    QCollator Collator;
    Collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<TEntry> Entries;
    Entries.reserve(static_cast<std::size_t>(Names.size()));
    QSet<QString> Seen;
    Seen.reserve(Names.size());
    for (const QString& Name : Names) {
        const QString Folded = Name.toCaseFolded();
        if (IsBlankText(Name) || Seen.contains(Folded)) {
            continue;
        }
        Seen.insert(Folded);
        // Collation backends without ICU leave letter case in sort keys: the folded name has
        // none to leave.
        Entries.push_back({Name, Collator.sortKey(Folded)});
    }
    // Names the collator ranks equal keep a fixed order, so the file does not churn. Sort keys
    // make each comparison a plain one, so 100,000 names sort in a moment.
    std::sort(Entries.begin(), Entries.end(), [](const TEntry& A, const TEntry& B) {
        if (const int ByLocale = A.Key.compare(B.Key); ByLocale != 0) {
            return ByLocale < 0;
        }
        if (const int ByCase = A.Name.compare(B.Name, Qt::CaseInsensitive); ByCase != 0) {
            return ByCase < 0;
        }
        return A.Name < B.Name;
    });
    QStringList Sorted;
    Sorted.reserve(static_cast<qsizetype>(Entries.size()));
    for (TEntry& Entry : Entries) {
        Sorted.append(std::move(Entry.Name));
    }
    return Sorted;
}

QStringList TConfigStore::ReadGroupNames() const {
    QStringList Names;
    ReadNumberedList(Config(), QStringLiteral("GROUPS"), Names);
    return SortedGroupNames(Names);
}

void TConfigStore::WriteGroupNames(const QStringList& Names) {
    WriteNumberedList(QStringLiteral("GROUPS"), SortedGroupNames(Names));
}

void TConfigStore::AddGroupName(const QString& Name) {
    // A blank name is dropped below, whatever blanks it is made of: the same rule that makes
    // the new group dialog ask for a name.
    if (const QString Reason = UnstorableGroupNameReason(Name);
        !Reason.isEmpty() && !IsBlankText(Name)) {
        throw EConfigError(Reason.toStdString());
    }
    QStringList Names = ReadGroupNames();
    Names.append(Name);
    WriteGroupNames(Names);
}

void TConfigStore::SaveGroup(const QString& Name, const QStringList& Targets) {
    // An entry of GROUPS that cannot be stored does not keep the group's targets from being
    // saved; the error naming it comes afterwards.
    std::exception_ptr Deferred;
    try {
        AddGroupName(Name);
    } catch (const EIniFileError&) {
        Deferred = std::current_exception();
    }
    WriteNumberedList(Name, Targets);
    if (Deferred) {
        std::rethrow_exception(Deferred);
    }
}

void TConfigStore::RemoveGroup(const QString& Name) {
    QStringList Names = ReadGroupNames();
    const auto Found = std::find_if(Names.begin(), Names.end(), [&](const QString& Other) {
        return Other.compare(Name, Qt::CaseInsensitive) == 0;
    });
    if (Found != Names.end()) {
        try {
            Config().EraseSection(Utf8(Name));
        } catch (const EIniFileError&) {
            // An erase that fails leaves an orphaned section, which nothing reads.
        }
        Names.erase(Found);
    }
    WriteGroupNames(Names);
}

QStringList TConfigStore::LoadGroupTargets(const QString& Name) const {
    QStringList Targets;
    if (!IsBlankText(Name)) {
        ReadNumberedList(Config(), Name, Targets);
    }
    return Targets;
}

void TConfigStore::LoadGroupList(QStringList& Groups) const {
    Groups = ReadGroupNames();
    if (Groups.isEmpty()) {
        Groups.append(DefaultGroupName);
    }
}

bool TConfigStore::ReadHintsEnable() const {
    return Config().ReadBool("COMMON", "HintsEnable", true);
}

void TConfigStore::WriteHintsEnable(bool Value) {
    Config().WriteBool("COMMON", "HintsEnable", Value);
}

bool TConfigStore::ReadLoggingEnable() const {
    return Config().ReadBool("LOGGING", "Enabled", false);
}

void TConfigStore::WriteLoggingEnable(bool Value) {
    Config().WriteBool("LOGGING", "Enabled", Value);
}

QString TConfigStore::ReadMetricsListen() const {
    return QString::fromStdString(Config().ReadString("METRICS", "Listen", "")).trimmed();
}

bool TConfigStore::ReadListViewEnable() const {
    return Config().ReadBool("COMMON", "ListViewEnable", false);
}

void TConfigStore::WriteListViewEnable(bool Value) {
    Config().WriteBool("COMMON", "ListViewEnable", Value);
}

QString TConfigStore::ReadDefaultGroup() const {
    return FromUtf8(Config().ReadString("COMMON", "DefaultGroup", Utf8(DefaultGroupName)));
}

void TConfigStore::WriteDefaultGroup(const QString& Name) {
    Config().WriteString("COMMON", "DefaultGroup", Utf8(Name));
}

QString TConfigStore::ReadFriendlyNames() const {
    QStringList Lines;
    ReadNumberedList(Config(), QStringLiteral("FRIENDLYNAMES"), Lines);
    return FriendlyNamesText(Lines);
}

void TConfigStore::WriteFriendlyNames(const QString& Text) {
    WriteNumberedList(QStringLiteral("FRIENDLYNAMES"), FriendlyNameLines(Text));
}

bool TConfigStore::IsValidConfigFile(const QString& Path) {
    try {
        return MakeIniFile(Path)->SectionExists("COMMON");
    } catch (const std::exception&) {
        return false;
    }
}

QString TConfigStore::ImportProblem(const QString& Path) {
    try {
        if (MakeIniFile(Path)->SectionExists("COMMON")) {
            return {};
        }
    } catch (const EIniFileError& Error) {
        if (QFileInfo(Path).size() > qint64(TzsIniFile::MaxFileSize)) {
            return QString::fromUtf8(Error.what());
        }
    }
    return QStringLiteral("The file does not contain valid configuration information.");
}

void TConfigStore::ImportConfigFile(const QString& Path) {
    Config().ReplaceWithCopyOf(QFile::encodeName(Path).toStdString());
    OpenConfig();
}

void TConfigStore::ExportConfigFile(const QString& Path) const {
    Config().CopyTo(QFile::encodeName(Path).toStdString());
}

void TConfigStore::ImportLegacyConfiguration() {
    QString FriendlyNames;
    try {
        TZRegistry Reg(FRegistry);
        if (Reg.OpenKey(LegacyKey, true) && Reg.ValueExists("FriendlyNames")) {
            FriendlyNames = FromUtf8(Reg.ReadString("FriendlyNames"));
        }
    } catch (const ERegistryException&) {
        FriendlyNames.clear();
    }
    WriteFriendlyNames(FriendlyNames);

    bool Hints = true;
    try {
        TZRegistry Reg(FRegistry);
        if (Reg.OpenKey(LegacyKey, true) && Reg.ValueExists("HintsEnable")) {
            Hints = Reg.ReadBool("HintsEnable");
        }
    } catch (const ERegistryException&) {
        Hints = true;
    }
    WriteHintsEnable(Hints);

    QString DefaultGroup;
    {
        TZRegistry Reg(FRegistry);
        if (Reg.OpenKey(LegacyKey, true)) {
            DefaultGroup = FromUtf8(Reg.ReadString("DefaultGroup"));
        }
    }
    DefaultGroup = DefaultGroup.isEmpty() ? DefaultGroupName : StorableGroupName(DefaultGroup);
    WriteDefaultGroup(DefaultGroup);

    QStringList Names;
    {
        TZRegistry Reg(FRegistry);
        if (Reg.OpenKey(LegacyGroupsKey, true)) {
            for (const std::string& Name : Reg.GetValueNames()) {
                Names.append(FromUtf8(Name));
            }
        }
    }
    QCollator Collator;
    Collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(Names.begin(), Names.end(), [&](const QString& A, const QString& B) {
        return Collator.compare(A, B) < 0;
    });
    if (Names.isEmpty()) {
        Names.append(DefaultGroupName);
    }

    for (const QString& Name : Names) {
        TZRegistry Reg(FRegistry);
        QStringList GroupTargets;
        if (Reg.KeyExists(LegacyGroupsKey) && Reg.OpenKeyReadOnly(LegacyGroupsKey)) {
            if (Reg.ValueExists(Utf8(Name))) {
                std::vector<std::string> Targets;
                Reg.ReadMultiString(Utf8(Name), Targets);
                for (const std::string& Target : Targets) {
                    // A line break would split the entry in the file.
                    GroupTargets.append(FromUtf8(Target).replace(u'\r', u' ').replace(u'\n', u' '));
                }
            }
        }
        SaveGroup(StorableGroupName(Name), GroupTargets);
    }
}

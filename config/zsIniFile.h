// The INI file behind config.ini, with the rules of the classic private-profile functions:
// sections and keys match without regard to case, blanks around keys and values are dropped
// on reading, a pair of enclosing quotes is dropped, and lines the reader does not understand
// are kept as they are. Every write rewrites the whole file through a temporary file that is
// renamed over the old one, so the file on disk is always complete and current.
//
// The text is UTF-8. A file that is not valid UTF-8 was written in a Windows 8-bit code page and
// is read as Windows-1252; its next write turns the whole file into UTF-8. A UTF-8 byte-order
// mark at the start is skipped on reading and kept on writing. A file whose owner took away
// the write permission is refused like one that cannot be written, and so is anything but a
// regular file (a link is written through to the file it points at).
//
//   TzsIniFile Ini("/home/me/.config/app/config.ini");
//   Ini.WriteString("COMMON", "DefaultGroup", "Servers");
//   std::string Group = Ini.ReadString("COMMON", "DefaultGroup", "Default Group");
//
// The file is read afresh for every operation, so a file copied over it is seen at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Raised for a file that exists but cannot be read in full, and for a write that fails.
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TzsIniFile {
public:
    using TKeyValue = std::pair<std::string, std::string>;
    // Folds a section or key name for case-insensitive matching.
    using TFold = std::function<std::string(std::string_view)>;

    // A file larger than this is refused rather than read: a config file never grows this big,
    // and reading it only to write a half of it back would lose the rest.
    static constexpr std::uintmax_t MaxFileSize = 16u * 1024u * 1024u;

    explicit TzsIniFile(std::string FileName, TFold Fold = {});
    virtual ~TzsIniFile() = default;

    const std::string& FileName() const { return FFileName; }

    // The value of Key in Section, or Default when either is missing. A missing file reads as
    // empty; a file that exists but cannot be read raises EIniFileError.
    std::string ReadString(std::string_view Section, std::string_view Key,
                           std::string_view Default = {}) const;
    // A missing or non-numeric value gives Default.
    long ReadInteger(std::string_view Section, std::string_view Key, long Default) const;
    bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;

    // The keys of a section, in file order, first occurrence of each.
    std::vector<std::string> ReadSection(std::string_view Section) const;
    // Keys and values of a section in one read (first occurrence of each key).
    std::vector<TKeyValue> ReadSectionValues(std::string_view Section) const;
    bool SectionExists(std::string_view Section) const;

    void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    void WriteInteger(std::string_view Section, std::string_view Key, long Value);
    void WriteBool(std::string_view Section, std::string_view Key, bool Value);
    // Removes every section of that name with its lines.
    void EraseSection(std::string_view Section);
    // Erases the section and writes Entries into it in one rewrite of the file; with no entries
    // the section is simply gone.
    void ReplaceSection(std::string_view Section, const std::vector<TKeyValue>& Entries);

    // Replaces the whole file with the bytes of the file at Source, through the same atomic
    // write as every other change (so a killed copy leaves only a temporary file that a later
    // write removes). Raises EIniFileError when Source cannot be read (missing, not a regular
    // file, larger than MaxFileSize) or the file cannot be written.
    void ReplaceWithCopyOf(const std::string& Source);

    // Writes a copy of the file's bytes to Destination through the atomic file writer. Raises
    // EIniFileError when the file cannot be read (missing, not a regular file, larger than
    // MaxFileSize) and EAtomicFileError, which names Destination and the reason, when the copy
    // cannot be written; Destination is then left as it was.
    void CopyTo(const std::string& Destination) const;

    // Names and values that cannot be stored without breaking the file's structure, or that
    // are not UTF-8 and would turn the whole file into something else at the next read.
    static bool IsStorableSectionName(std::string_view Name);
    static bool IsStorableKey(std::string_view Key);
    static bool IsStorableValue(std::string_view Value);

    // The file's lines as the reader sees them; exposed for the fuzz target and tests.
    struct TLine {
        enum class TKind { Other, Section, Entry };
        TKind Kind = TKind::Other;
        std::string Text;   // the raw line without its line end
        std::string Ending; // the line end as found ("\r\n", "\n"; empty for a last line)
        std::string Name;   // section name or key
        std::string Value;
    };
    static std::vector<TLine> Parse(std::string_view Content);

    // The file's bytes as the UTF-8 text that Parse is given.
    struct TDecoded {
        std::string Text;           // UTF-8, without the byte-order mark
        bool ByteOrderMark = false; // the bytes began with the UTF-8 mark
        bool Legacy = false;        // not valid UTF-8: read as Windows-1252
    };
    static TDecoded Decode(std::string_view Bytes);
    static bool IsValidUtf8(std::string_view Bytes);
    // Every byte becomes one character: 0x80-0x9F as Windows-1252 has them (its five unused
    // bytes as the C1 control of the same number), the rest as Latin-1. Nothing is lost, so the
    // original bytes can always be told from the result.
    static std::string Windows1252ToUtf8(std::string_view Bytes);

    // Every write goes through the atomic file writer (zsAtomicFile.h), which removes what its
    // own killed writers left. Saves of earlier versions named their temporary files
    // ".<name>.tmp-<pid>-<number>"; each write also removes those beside Target: files at least
    // MinAge old whose writer is gone (no process has its id any more, or the one that has it
    // started after the file was last written). A file that a live writer may still be working
    // on is never touched.
    static constexpr std::chrono::seconds StaleTemporaryAge{60};
    static void RemoveStaleTemporaryFiles(const std::string& Target,
                                          std::chrono::seconds MinAge = StaleTemporaryAge);

protected:
    // The last step of a write: puts the finished temporary file in place of the target.
    // Returns false with errno set on failure. Tests override it to fail at this point.
    virtual bool ReplaceFile(const std::string& TempName, const std::string& Target);

private:
    std::string Fold(std::string_view Name) const;
    // The file's bytes, or nullopt when it does not exist; raises when it cannot be read.
    std::optional<std::string> Load(const std::string& Path) const;
    std::vector<TLine> LoadLines() const;
    // The entry lines of the first section named Section, in file order; later sections of the
    // same name are not read.
    std::vector<TLine> FirstSectionEntries(std::string_view Section) const;
    // Applies Change to the file's lines and writes the result back.
    void Modify(const std::function<void(std::vector<TLine>&)>& Change);
    void Store(const std::string& Target, const std::string& Content);
    [[noreturn]] void WriteFailed(std::string_view Reason = {}) const;

    std::string FFileName;
    TFold FFold;
};

// Writes a whole file atomically: the file named is either left as it was or holds all of the
// new bytes, also when the program is killed or the disk fills up half way. Every file the
// program writes goes through here.
//
// The bytes go into a temporary file in the target's own folder, named
// ".<name>.vantorel-tmp-XXXXXX" (six random letters and digits, created with O_EXCL, so no one
// can guess or plant it); the temporary is flushed to the disk (fsync), renamed over the target
// and the folder is flushed too. The target keeps its permission bits.
//
// Only a regular file is ever replaced. A symbolic link is followed to its final target, which
// is written in its own folder (so a linked file stays linked; a dangling link gets its target
// created); a link to anything else, a FIFO, a device, a socket or a folder is refused, and so
// is a file without write permission. Every failure raises EAtomicFileError naming the file and
// the reason, and leaves the target untouched and no temporary file behind.
//
// A writer that is killed leaves its temporary file. Each writer holds a lock on its temporary
// (flock) for as long as it lives, and every new write first removes the temporaries of this
// pattern in its folder whose lock is free: their writer is gone. Nothing else is touched.
//
//   WriteFileAtomically("/home/me/.config/app/config.ini", Text);
//
//   TzsAtomicFile File("/home/me/export.csv");   // streaming: any size, written in chunks
//   File.Write("Time,RTT\r\n");
//   File.Write(Line);
//   File.Commit();       // without it (an exception, an early return) the target stays as it was
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

// A write that failed: what() is "Unable to write to <file name>: <reason>".
class EAtomicFileError : public std::runtime_error {
public:
    EAtomicFileError(const std::string& FileName, const std::string& Reason, int ErrorCode = 0);

    const std::string& FileName() const noexcept { return FFileName; }
    // Why, as a phrase ("No space left on device", "not a regular file").
    const std::string& Reason() const noexcept { return FReason; }
    // The errno of the failing call, or 0 when the refusal was the writer's own.
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    std::string FFileName;
    std::string FReason;
    int FErrorCode;
};

class TzsAtomicFile {
public:
    // Finds the file to replace (following links), removes leftover temporaries in its folder
    // and creates the temporary file. Raises EAtomicFileError when the target may not be
    // replaced or the temporary cannot be created.
    explicit TzsAtomicFile(const std::string& FileName);
    // Abort() unless committed.
    ~TzsAtomicFile();

    TzsAtomicFile(const TzsAtomicFile&) = delete;
    TzsAtomicFile& operator=(const TzsAtomicFile&) = delete;

    // Appends Bytes; they are buffered and written in large pieces. Raises EAtomicFileError
    // (after removing the temporary) when a write fails; the object is then finished.
    void Write(std::string_view Bytes);
    // Writes what is buffered, flushes it to the disk, puts the temporary in place of the target
    // and flushes the folder. Raises EAtomicFileError (after removing the temporary, with the
    // target untouched) when any step up to the rename fails. The folder's flush after the
    // rename is best effort: the new file is in place by then.
    void Commit();
    // Removes the temporary file; the target stays as it was. Safe to call more than once.
    void Abort() noexcept;

    // The name given, and the regular file that the commit replaces (the final target of a
    // link; the same name otherwise).
    const std::string& FileName() const noexcept { return FFileName; }
    const std::string& Target() const noexcept { return FTarget; }
    // The temporary file, while there is one; empty after the commit or abort.
    const std::string& TemporaryName() const noexcept { return FTemporary; }

    // The step that puts the temporary in place of the target: rename(2) unless replaced.
    // It returns false with errno set on failure. Tests replace it to fail or to be killed
    // between the written temporary and the rename.
    using TReplaceStep =
        std::function<bool(const std::string& Temporary, const std::string& Target)>;
    void SetReplaceStep(TReplaceStep Step) { FReplace = std::move(Step); }

    // True for a name of this writer's temporary files: ".<name>.vantorel-tmp-" and six letters
    // or digits.
    static bool IsTemporaryName(std::string_view Name);
    // Removes the temporary files in Folder whose writer is gone (their lock is free). Returns
    // how many were removed.
    static int RemoveLeftTemporaries(const std::string& Folder);

    // Bytes kept before they are written.
    static constexpr std::size_t BufferSize = 64 * 1024;

private:
    void Flush();
    void WriteOut(std::string_view Bytes);
    [[noreturn]] void Fail(int ErrorCode, std::string Reason = {});

    std::string FFileName;
    std::string FTarget;
    std::string FFolder;
    std::string FTemporary;
    int FFd = -1;     // the temporary, open for writing
    int FLockFd = -1; // a duplicate that keeps the lock until the rename is done
    std::string FBuffer;
    TReplaceStep FReplace;
};

// Replaces the file FileName with Content in one atomic write, as TzsAtomicFile does.
void WriteFileAtomically(const std::string& FileName, std::string_view Content);

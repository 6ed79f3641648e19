#include "uHistoryExport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <sys/stat.h>

namespace {

constexpr std::size_t FlushBytes = 1 << 20;

} // namespace

bool TStreamOutput::Write(std::string_view Text) {
    errno = 0;
    FOut.write(Text.data(), std::streamsize(Text.size()));
    return Check();
}

bool TStreamOutput::Finish() {
    errno = 0;
    FOut.flush();
    return Check();
}

bool TStreamOutput::Check() {
    if (FOut.good()) {
        return true;
    }
    if (FWhy.empty()) {
        FWhy = errno != 0 ? std::strerror(errno) : "the write failed";
    }
    return false;
}

namespace {

// Written to a temporary file beside the file's final target (a symbolic link is followed), and
// renamed over it once whole; a failure removes the temporary and leaves the target as it was.
class TRenamedCsvOutput : public TCsvOutput {
public:
    explicit TRenamedCsvOutput(const std::string& Path) {
        std::error_code Error;
        const std::filesystem::path Name(Path);
        std::filesystem::path Target = Name;
        // A link, also one to a file not made yet, is followed to its final target.
        for (int Hops = 0;
             std::filesystem::is_symlink(std::filesystem::symlink_status(Target, Error)); ++Hops) {
            const std::filesystem::path Next = std::filesystem::read_symlink(Target, Error);
            if (Error || Hops == 40) {
                FWhy = Error ? Error.message() : "too many levels of symbolic links";
                return;
            }
            Target = Next.is_absolute() ? Next : Target.parent_path() / Next;
        }
        FTarget = Target.string();
        FTemporary = FTarget + ".tmp-" + std::to_string(::getpid());
        FFile.open(FTemporary, std::ios::binary | std::ios::trunc);
        Check();
    }
    ~TRenamedCsvOutput() override {
        if (!FTemporary.empty()) {
            std::remove(FTemporary.c_str());
        }
    }
    bool Write(std::string_view Text) override {
        if (FWhy.empty()) {
            FFile.write(Text.data(), std::streamsize(Text.size()));
        }
        return Check();
    }
    bool Finish() override {
        if (!FWhy.empty()) {
            return false;
        }
        FFile.close();
        if (!Check()) {
            return false;
        }
        if (std::rename(FTemporary.c_str(), FTarget.c_str()) != 0) {
            FWhy = std::strerror(errno);
            return false;
        }
        FTemporary.clear();
        return true;
    }
    std::string Why() const override { return FWhy; }

private:
    bool Check() {
        if (FWhy.empty() && !FFile) {
            FWhy = errno != 0 ? std::strerror(errno) : "the write failed";
        }
        return FWhy.empty();
    }
    std::string FTarget;
    std::string FTemporary;
    std::ofstream FFile;
    std::string FWhy;
};

} // namespace

std::unique_ptr<TCsvOutput> OpenCsvFile(const std::string& Path) {
    return std::make_unique<TRenamedCsvOutput>(Path);
}

std::string RefusedCsvFile(const std::string& Path) {
    struct stat Info {};
    if (::stat(Path.c_str(), &Info) != 0) {
        return {};
    }
    if (S_ISDIR(Info.st_mode)) {
        return "it is a folder";
    }
    if (S_ISFIFO(Info.st_mode)) {
        return "it is a pipe (FIFO), not a regular file";
    }
    if (S_ISCHR(Info.st_mode) || S_ISBLK(Info.st_mode)) {
        return "it is a device, not a regular file";
    }
    if (!S_ISREG(Info.st_mode)) {
        return "it is not a regular file";
    }
    return {};
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat First {
    }, Second{};
    return ::stat(A.c_str(), &First) == 0 && ::stat(B.c_str(), &Second) == 0 &&
           First.st_dev == Second.st_dev && First.st_ino == Second.st_ino;
}

TCsvExport::TCsvExport(TCsvOutput& Output, std::int64_t From, std::int64_t To)
    : FOutput(Output), FFrom(From), FTo(To) {
    FText.reserve(FlushBytes + 4096);
    FText = THistoryCsv::Header;
}

void TCsvExport::Take(const THistoryRecord* Records, std::size_t Count) {
    for (std::size_t I = 0; I < Count; ++I) {
        if (Records[I].UnixSeconds >= FFrom && Records[I].UnixSeconds <= FTo) {
            THistoryCsv::Row(Records[I], FText);
            ++FRows;
        }
    }
    if (FText.size() >= FlushBytes) {
        Flush();
    }
}

bool TCsvExport::Finish() {
    Flush();
    FFailed = FFailed || !FOutput.Finish();
    return !FFailed;
}

void TCsvExport::Flush() {
    if (!FFailed && !FText.empty()) {
        FFailed = !FOutput.Write(FText);
    }
    FText.clear();
}

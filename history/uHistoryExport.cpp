#include "uHistoryExport.h"

#include "zsAtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The atomic writer as a CSV output: its failures become the reason Why() gives.
class TAtomicCsvOutput : public TCsvOutput {
public:
    explicit TAtomicCsvOutput(const std::string& Path) {
        try {
            FFile = std::make_unique<TzsAtomicFile>(Path);
        } catch (const EAtomicFileError& Error) {
            FWhy = Error.Reason();
        }
    }
    bool Write(std::string_view Text) override {
        return Try([&] { FFile->Write(Text); });
    }
    bool Finish() override {
        const bool Done = Try([&] { FFile->Commit(); });
        FFile.reset();
        return Done;
    }
    std::string Why() const override { return FWhy; }

private:
    template <class F>
    bool Try(F Step) {
        if (!FFile) {
            return false;
        }
        try {
            Step();
            return true;
        } catch (const EAtomicFileError& Error) {
            FWhy = Error.Reason();
            FFile.reset();
            return false;
        }
    }
    std::unique_ptr<TzsAtomicFile> FFile;
    std::string FWhy;
};

} // namespace

std::unique_ptr<TCsvOutput> OpenCsvFile(const std::string& Path) {
    return std::make_unique<TAtomicCsvOutput>(Path);
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

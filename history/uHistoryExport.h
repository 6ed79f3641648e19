// The CSV export of a log, shared by the command line and the history window: the records
// of a span written as they are read, a megabyte at a time, to the standard output or through
// the atomic writer (TzsAtomicFile) to a file, so a log of any size exports in a few MiB of
// memory and a file is either replaced whole or left as it was.
//
//   std::unique_ptr<TCsvOutput> Out = OpenCsvFile("/tmp/router.csv");
//   TCsvExport Csv(*Out, From, To);
//   TPingLogReader Reader;
//   Reader.ReadFrom(LogFile, Csv);
//   if (!Csv.Finish()) report(Out->Why());
#pragma once

#include "uPingLogHistory.h"

#include <climits>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

// Where the CSV goes, a chunk at a time.
class TCsvOutput {
public:
    virtual ~TCsvOutput() = default;
    virtual bool Write(std::string_view Text) = 0;
    // Everything written is where it belongs; false when it is not (Why says why).
    virtual bool Finish() = 0;
    virtual std::string Why() const = 0;
};

// To a stream (the standard output): a failed or short write is reported, not lost.
class TStreamOutput : public TCsvOutput {
public:
    explicit TStreamOutput(std::ostream& Out) : FOut(Out) {}
    bool Write(std::string_view Text) override;
    bool Finish() override;
    std::string Why() const override { return FWhy; }

private:
    bool Check();
    std::ostream& FOut;
    std::string FWhy;
};

// To a file through the atomic writer: nothing replaces Path until Finish succeeds; a FIFO,
// device or folder is refused, a symbolic link is written through to its target, and the
// temporaries of exports killed earlier in that folder are removed.
std::unique_ptr<TCsvOutput> OpenCsvFile(const std::string& Path);

// Why Path cannot take a CSV (a folder, a FIFO, a device: anything but a regular file, a
// symbolic link counting as its target); empty when it can, or does not exist yet.
std::string RefusedCsvFile(const std::string& Path);
// True when both paths name the same existing file, by whatever path (device and inode).
bool SameFile(const std::string& A, const std::string& B);

// The records of the span (instants, inclusive) as CSV to Output, as they are read.
class TCsvExport : public THistorySink {
public:
    TCsvExport(TCsvOutput& Output, std::int64_t From = INT64_MIN, std::int64_t To = INT64_MAX);
    void Take(const THistoryRecord* Records, std::size_t Count) override;
    // A failed write ends the reading.
    bool Cancelled() override { return FFailed; }
    // Writes what is left and finishes the output; false when any write failed.
    bool Finish();
    std::uint64_t Rows() const { return FRows; }

private:
    void Flush();
    TCsvOutput& FOutput;
    std::int64_t FFrom, FTo;
    std::string FText;
    std::uint64_t FRows = 0;
    bool FFailed = false;
};

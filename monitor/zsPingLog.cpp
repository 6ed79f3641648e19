#include "zsPingLog.h"

#include "zsFileHandle.h"
#include "zsRound.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

template <class T>
void PutLE(std::uint8_t* Out, T Bits) {
    for (std::size_t I = 0; I < sizeof(T); ++I) {
        Out[I] = static_cast<std::uint8_t>(Bits >> (8 * I));
    }
}

template <class T>
T GetLE(const std::uint8_t* In) {
    T Bits = 0;
    for (std::size_t I = 0; I < sizeof(T); ++I) {
        Bits |= static_cast<T>(In[I]) << (8 * I);
    }
    return Bits;
}

[[noreturn]] void RaiseErrno(const std::string& What) {
    throw std::system_error(errno, std::generic_category(), What);
}

} // namespace

std::array<std::uint8_t, PING_LOG_RECORD_SIZE> EncodePingLogRecord(const TPingLogRecord& Record) {
    std::array<std::uint8_t, PING_LOG_RECORD_SIZE> Out{};
    PutLE(Out.data(), static_cast<std::uint32_t>(Record.RecNo));
    std::memcpy(Out.data() + 4, Record.Marker.data(), 4);
    std::uint64_t TimeBits;
    std::memcpy(&TimeBits, &Record.MeanTime, sizeof TimeBits);
    PutLE(Out.data() + 8, TimeBits);
    std::uint32_t TripBits, UptimeBits;
    std::memcpy(&TripBits, &Record.AvgTrip, sizeof TripBits);
    std::memcpy(&UptimeBits, &Record.UptimePct, sizeof UptimeBits);
    PutLE(Out.data() + 16, TripBits);
    PutLE(Out.data() + 20, UptimeBits);
    return Out;
}

TPingLogRecord DecodePingLogRecord(const std::uint8_t* Bytes) {
    TPingLogRecord Record;
    Record.RecNo = static_cast<std::int32_t>(GetLE<std::uint32_t>(Bytes));
    std::memcpy(Record.Marker.data(), Bytes + 4, 4);
    const std::uint64_t TimeBits = GetLE<std::uint64_t>(Bytes + 8);
    std::memcpy(&Record.MeanTime, &TimeBits, sizeof TimeBits);
    const std::uint32_t TripBits = GetLE<std::uint32_t>(Bytes + 16);
    const std::uint32_t UptimeBits = GetLE<std::uint32_t>(Bytes + 20);
    std::memcpy(&Record.AvgTrip, &TripBits, sizeof TripBits);
    std::memcpy(&Record.UptimePct, &UptimeBits, sizeof UptimeBits);
    return Record;
}

std::optional<TPingLogRecord> PingLogRecordFromTotals(const TPingLogAvg& Totals) {
    if (Totals.SampleCount == 0) {
        return std::nullopt;
    }
    TPingLogRecord Record;
    const double Count = Totals.SampleCount;
    Record.MeanTime = Totals.TimeSum / Count;
    Record.AvgTrip = static_cast<float>(RoundHalfEven(Totals.TripSum / Count));
    Record.UptimePct = static_cast<float>(RoundHalfEven(Totals.UptimeSum / Count));
    return Record;
}

bool IsPingLogName(const std::string& Name) {
    return !Name.empty() && Name != "." && Name != ".." &&
           Name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

void AppendPingLogRecord(TPingLogRecord& Record, const std::string& FileName) {
    Record.Marker.fill(PING_LOG_MARKER_BYTE);

    off_t Whole = 0;
    TzsFileHandle File(::open(FileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (File.Get() >= 0) {
        struct stat Info {};
        if (::fstat(File.Get(), &Info) != 0) {
            RaiseErrno("Cannot read " + FileName);
        }
        if (!S_ISREG(Info.st_mode)) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    FileName + " is not a log file");
        }
        Whole = Info.st_size / off_t(PING_LOG_RECORD_SIZE);
        if (Whole > 0) {
            std::uint8_t Last[PING_LOG_RECORD_SIZE];
            const ssize_t Got =
                ::pread(File.Get(), Last, sizeof Last, (Whole - 1) * off_t(PING_LOG_RECORD_SIZE));
            if (Got != ssize_t(sizeof Last)) {
                if (Got >= 0) {
                    errno = EIO;
                }
                RaiseErrno("Cannot read " + FileName);
            }
            // Unsigned arithmetic: a file ending at the largest number wraps instead of
            // overflowing.
            Record.RecNo = static_cast<std::int32_t>(
                static_cast<std::uint32_t>(DecodePingLogRecord(Last).RecNo) + 1u);
        } else {
            Record.RecNo = 1;
        }
    } else if (errno == ENOENT) {
        File.Reset(
            ::open(FileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (File.Get() < 0) {
            RaiseErrno("Cannot create " + FileName);
        }
        Record.RecNo = 0;
    } else {
        RaiseErrno("Cannot open " + FileName);
    }

    const auto Bytes = EncodePingLogRecord(Record);
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t Put = ::pwrite(File.Get(), Bytes.data() + Done, Bytes.size() - Done,
                                     Whole * off_t(PING_LOG_RECORD_SIZE) + off_t(Done));
        if (Put < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseErrno("Cannot write " + FileName);
        }
        Done += std::size_t(Put);
    }
    if (File.Close() != 0) {
        RaiseErrno("Cannot close " + FileName);
    }
}

TPingLogState::TPingLogState(std::shared_ptr<TClock> Clock) : FClock(std::move(Clock)) {}

void TPingLogState::ResetStats() {
    const TDateTime Now = FClock->Now();
    std::lock_guard<std::recursive_mutex> Guard(StatsLock);
    Stats.Host = Target;
    Stats.StartTime = Now;
    Stats.TimeSum = 0;
    Stats.TripSum = 0;
    Stats.SampleCount = 0;
    Stats.UptimeSum = 0;
}

bool TPingLogState::CloseInterval() {
    std::lock_guard<std::recursive_mutex> Guard(StatsLock);
    const bool Kept = Stats.SampleCount > 0;
    if (Kept) {
        Closed.push_back(Stats);
    }
    ResetStats();
    return Kept;
}

void TPingLogState::WriteClosedRecords() {
    std::string Folder;
    std::string Target;
    std::vector<TPingLogAvg> Intervals;
    {
        std::lock_guard<std::recursive_mutex> Guard(StatsLock);
        if (LogFolder.empty() || Closed.empty()) {
            return;
        }
        Folder = LogFolder;
        Target = this->Target;
        Intervals.swap(Closed);
    }
    std::exception_ptr First;
    for (const TPingLogAvg& Interval : Intervals) {
        const std::string Name = Interval.Host.empty() ? Target : Interval.Host;
        std::optional<TPingLogRecord> Record = PingLogRecordFromTotals(Interval);
        if (!Record || !IsPingLogName(Name)) {
            continue;
        }
        try {
            AppendPingLogRecord(*Record, Folder + "/" + Name + ".pin");
        } catch (...) {
            if (!First) {
                First = std::current_exception();
            }
        }
    }
    if (First) {
        std::rethrow_exception(First);
    }
}

void TPingLogState::WriteLogRecord() {
    // The intervals a sleep closed come first, so that the file keeps the order of time.
    std::exception_ptr ClosedError;
    try {
        WriteClosedRecords();
    } catch (...) {
        ClosedError = std::current_exception();
    }
    WriteCurrentRecord();
    if (ClosedError) {
        std::rethrow_exception(ClosedError);
    }
}

void TPingLogState::WriteCurrentRecord() {
    std::string Folder;
    std::string Name;
    std::optional<TPingLogRecord> Record;
    {
        std::lock_guard<std::recursive_mutex> Guard(StatsLock);
        if (LogFolder.empty()) {
            return;
        }
        Folder = LogFolder;
        Name = Stats.Host;
        try {
            Record = PingLogRecordFromTotals(Stats);
        } catch (...) {
            Record.reset();
        }
    }
    ResetStats();
    if (Name.empty()) {
        std::lock_guard<std::recursive_mutex> Guard(StatsLock);
        Name = Target;
    }
    // A target that is no plain file name would put the file elsewhere, or nowhere sensible.
    if (!Record || !IsPingLogName(Name)) {
        return;
    }
    AppendPingLogRecord(*Record, Folder + "/" + Name + ".pin");
}

void TPingLogState::Run(TzsWorkerThread&) {
    WriteLogRecord();
}

void TPingLogState::RunClosed(TzsWorkerThread&) {
    WriteClosedRecords();
}

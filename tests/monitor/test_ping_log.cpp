// The ping log: the 24-byte record, its numbering, the interval totals a record is made from,
// and the folder and file-name guards.
#include "monitor_test_support.h"
#include "zsWorkerThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes ReadAll(const fs::path& File) {
    std::ifstream In(File, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(In), {});
}

void WriteAll(const fs::path& File, const TBytes& Bytes) {
    std::ofstream Out(File, std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Bytes.data()), std::streamsize(Bytes.size()));
}

TBytes RecordBytes(std::int32_t RecNo, double Time, float Trip, float Up) {
    TPingLogRecord R;
    R.RecNo = RecNo;
    R.Marker.fill(0xF0);
    R.MeanTime = Time;
    R.AvgTrip = Trip;
    R.UptimePct = Up;
    const auto A = EncodePingLogRecord(R);
    return TBytes(A.begin(), A.end());
}

std::vector<TPingLogRecord> Records(const fs::path& File) {
    const TBytes B = ReadAll(File);
    std::vector<TPingLogRecord> Out;
    for (std::size_t I = 0; I + 24 <= B.size(); I += 24)
        Out.push_back(DecodePingLogRecord(B.data() + I));
    return Out;
}

class PingLogTest : public ::testing::Test {
protected:
    fs::path Dir;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    THeldLoops Held;

    void SetUp() override {
        Dir = fs::path(VANTOREL_TEST_OUTPUT_DIR) /
              ("pinglog-" +
               std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    // A started monitor whose loop is held, so that only the results fed here count.
    std::unique_ptr<TPingerSession> Monitor(const std::string& Target) {
        auto S = std::make_unique<TPingerSession>(Clock);
        Held.Hold(*S);
        S->SetTimeOutMS(5000);
        S->SetLogFolder(Dir.string());
        S->BeginMonitor(Target, "");
        return S;
    }
};

} // namespace

TEST_F(PingLogTest, ARecordIsTwentyFourLittleEndianBytes) {
    TPingLogRecord R;
    R.RecNo = 12345; // replaced: a new file starts at 0
    R.MeanTime = 46085.5;
    R.AvgTrip = 7;
    R.UptimePct = 67;
    AppendPingLogRecord(R, (Dir / "h.pin").string());
    const TBytes Want = {0x00, 0x00, 0x00, 0x00, 0xF0, 0xF0, 0xF0, 0xF0, 0x00, 0x00, 0x00, 0x00,
                         0xB0, 0x80, 0xE6, 0x40, 0x00, 0x00, 0xE0, 0x40, 0x00, 0x00, 0x86, 0x42};
    EXPECT_EQ(ReadAll(Dir / "h.pin"), Want);

    R.AvgTrip = -1;
    AppendPingLogRecord(R, (Dir / "h.pin").string());
    const TBytes Both = ReadAll(Dir / "h.pin");
    ASSERT_EQ(Both.size(), 48u);
    EXPECT_EQ(TBytes(Both.begin() + 24, Both.begin() + 28), (TBytes{1, 0, 0, 0}));
    EXPECT_EQ(TBytes(Both.begin() + 40, Both.begin() + 44), (TBytes{0x00, 0x00, 0x80, 0xBF}));
}

TEST_F(PingLogTest, RecordsAreNumberedAfterTheLastWholeRecord) {
    const fs::path F = Dir / "n.pin";
    TPingLogRecord R;

    // An existing empty file starts at 1.
    WriteAll(F, {});
    AppendPingLogRecord(R, F.string());
    EXPECT_EQ(R.RecNo, 1);

    // Numbering follows the last whole record, whatever the earlier ones say; a short tail
    // is overwritten.
    TBytes Old = RecordBytes(5, 1, 2, 3);
    const TBytes Second = RecordBytes(9, 4, 5, 6);
    Old.insert(Old.end(), Second.begin(), Second.end());
    TBytes WithTail = Old;
    WithTail.insert(WithTail.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    WriteAll(F, WithTail);
    R.MeanTime = 46085.25;
    AppendPingLogRecord(R, F.string());
    EXPECT_EQ(R.RecNo, 10);
    const TBytes After = ReadAll(F);
    ASSERT_EQ(After.size(), 72u);
    EXPECT_EQ(TBytes(After.begin(), After.begin() + 48), Old);
    EXPECT_EQ(TBytes(After.begin() + 48, After.end()), RecordBytes(10, 46085.25, 0, 0));
}

TEST_F(PingLogTest, TotalsTurnIntoRoundedMeans) {
    const struct {
        const char* Name;
        std::int64_t Trip, Count, Up;
        float AvgTrip, UptimePct;
    } Cases[] = {
        {"10 ms, 11 ms and a failure", 20, 3, 200, 7, 67},
        {"all failed", -4, 4, 0, -1, 0},
        {"all succeeded", 40, 4, 400, 10, 100},
        {"half goes down to even", 5, 2, 100, 2, 50},
        {"half goes up to even", 7, 2, 100, 4, 50},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TPingLogAvg T;
        T.TimeSum = 3.0 * C.Count;
        T.TripSum = C.Trip;
        T.SampleCount = C.Count;
        T.UptimeSum = C.Up;
        const auto R = PingLogRecordFromTotals(T);
        ASSERT_TRUE(R);
        EXPECT_EQ(R->AvgTrip, C.AvgTrip);
        EXPECT_EQ(R->UptimePct, C.UptimePct);
        EXPECT_EQ(R->MeanTime, 3.0);
    }
    EXPECT_FALSE(PingLogRecordFromTotals(TPingLogAvg{}));
}

TEST_F(PingLogTest, WriteLogRecordAppendsTheIntervalAndStartsANewOne) {
    auto S = Monitor("localhost");
    const TDateTime Start = Clock->Now();
    S->SetTimeOutMS(10); // the slow reply below still counts as a success in the log
    S->PingDone(MakeResult(*Clock, 0, 10));
    Clock->Advance(1000);
    S->PingDone(MakeResult(*Clock, 0, 11));
    Clock->Advance(1000);
    S->PingDone(MakeResult(*Clock, 0, -1));
    const TPingLogAvg T = S->LogStats();
    EXPECT_EQ(T.Host, "localhost");
    EXPECT_EQ(T.StartTime, Start);
    EXPECT_EQ(T.TripSum, 20);
    EXPECT_EQ(T.SampleCount, 3);
    EXPECT_EQ(T.UptimeSum, 200);

    S->WriteLogRecord();
    const auto Recs = Records(Dir / "localhost.pin");
    ASSERT_EQ(Recs.size(), 1u);
    EXPECT_EQ(Recs[0].RecNo, 0);
    EXPECT_EQ(Recs[0].AvgTrip, 7);
    EXPECT_EQ(Recs[0].UptimePct, 67);
    EXPECT_DOUBLE_EQ(Recs[0].MeanTime, Start + 1000 / 86400000.0);
    EXPECT_EQ(S->LogStats().SampleCount, 0);
    EXPECT_EQ(S->LogStats().StartTime, Clock->Now());

    // An interval without samples writes nothing.
    S->WriteLogRecord();
    EXPECT_EQ(Records(Dir / "localhost.pin").size(), 1u);
}

TEST_F(PingLogTest, AnEmptyFolderWritesNothingAndKeepsTheInterval) {
    auto S = Monitor("localhost");
    S->SetLogFolder("");
    S->PingDone(MakeResult(*Clock, 0, 10));
    S->WriteLogRecord();
    EXPECT_EQ(S->LogStats().SampleCount, 1);
    EXPECT_TRUE(fs::is_empty(Dir));
}

TEST_F(PingLogTest, AFolderThatCannotTakeTheFileFailsWithoutAFile) {
    WriteAll(Dir / "plainfile", {1});
    for (const fs::path& Folder : {Dir / "missing", Dir / "plainfile"}) {
        SCOPED_TRACE(Folder.string());
        auto S = Monitor("localhost");
        S->SetLogFolder(Folder.string());
        S->PingDone(MakeResult(*Clock, 0, 10));
        EXPECT_THROW(S->WriteLogRecord(), std::system_error);
        EXPECT_EQ(S->LogStats().SampleCount, 0); // the interval was reset before the append
    }
    EXPECT_FALSE(fs::exists(Dir / "missing"));
    EXPECT_EQ(ReadAll(Dir / "plainfile"), TBytes{1});
}

TEST_F(PingLogTest, AnExistingLogThatCannotBeOpenedKeepsWhatItHolds) {
    // A directory in the file's place, and a link to a file elsewhere.
    fs::create_directory(Dir / "dir.pin");
    const fs::path Outside = Dir.parent_path() / "pinglog-outside.bin";
    WriteAll(Outside, RecordBytes(3, 1, 2, 3));
    fs::create_symlink(Outside, Dir / "link.pin");
    for (const char* Name : {"dir.pin", "link.pin"}) {
        SCOPED_TRACE(Name);
        TPingLogRecord R;
        EXPECT_THROW(AppendPingLogRecord(R, (Dir / Name).string()), std::system_error);
    }
    EXPECT_TRUE(fs::is_directory(Dir / "dir.pin"));
    EXPECT_EQ(ReadAll(Outside), RecordBytes(3, 1, 2, 3));
    fs::remove(Outside);
}

TEST_F(PingLogTest, TargetsThatAreNoPlainFileNameWriteNoLog) {
    fs::create_directory(Dir / "a");
    for (const char* Target : {"a/b", ".", "..", "../escape", "/tmp/abs"}) {
        SCOPED_TRACE(Target);
        auto S = Monitor(Target);
        S->PingDone(MakeResult(*Clock, 0, 10));
        EXPECT_NO_THROW(S->WriteLogRecord());
    }
    EXPECT_TRUE(fs::is_empty(Dir / "a"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
    EXPECT_FALSE(fs::exists(Dir.parent_path() / "escape.pin"));
    EXPECT_FALSE(IsPingLogName(std::string("a\0b", 3)));
    EXPECT_TRUE(IsPingLogName("..."));
}

// IPv6 targets as typed are plain file names: colons, brackets and a zone stay in the name and
// the file lands in the log folder.
TEST_F(PingLogTest, Ipv6TargetsLogUnderTheirOwnName) {
    const char* Targets[] = {"::1", "[::1]", "fe80::1%eth0", "2001:db8::1"};
    for (const char* Target : Targets) {
        SCOPED_TRACE(Target);
        auto S = Monitor(Target);
        S->PingDone(MakeResult(*Clock, 0, 10));
        S->WriteLogRecord();
        EXPECT_EQ(Records(Dir / (std::string(Target) + ".pin")).size(), 1u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()),
              std::ssize(Targets));
}

namespace {
// Holds the worker until the test lets it go.
struct TGate {
    std::promise<void> Open;
    std::shared_future<void> Opened = Open.get_future().share();
    std::promise<void> Entered;
    void Run(TzsWorkerThread&) {
        Entered.set_value();
        Opened.wait();
    }
};
} // namespace

TEST_F(PingLogTest, AQueuedJobOutlivesItsClosedMonitorAndStillWritesTheRecord) {
    TzsWorkerThread Worker;
    auto Gate = std::make_shared<TGate>();
    Worker.AddJob(TThreadJob::Bind<TGate, &TGate::Run>(Gate));
    Gate->Entered.get_future().wait();
    {
        auto S = Monitor("localhost");
        S->SetLogWorker(&Worker);
        S->SetLogEnabled(true);
        S->PingDone(MakeResult(*Clock, 0, 10));
        Clock->Advance(300 * 1000); // the interval is due from here on
        S->PingDone(MakeResult(*Clock, 0, 20));
        S->PingDone(MakeResult(*Clock, 0, -1)); // queues a second job for the same interval
    }                                           // the monitor is gone while both jobs wait
    Gate->Open.set_value();
    const fs::path F = Dir / "localhost.pin";
    for (int I = 0; I < 5000 && Records(F).empty(); ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto Recs = Records(F);
    ASSERT_EQ(Recs.size(), 1u);     // the second job found an empty interval
    EXPECT_EQ(Recs[0].AvgTrip, 10); // (10 + 20 - 1) / 3 = 9.67
    EXPECT_EQ(Recs[0].UptimePct, 67);
}

// A view that waits inside its handling of a result (a message box, a slow observer) holds up
// neither the monitor's lock nor its log: the record the result made due is queued before the
// view hears of it, and the worker writes it while the view still waits.
TEST_F(PingLogTest, AnObserverThatWaitsHoldsUpNeitherTheLockNorTheLogWrite) {
    TzsWorkerThread Worker;
    auto S = Monitor("localhost");
    S->SetLogWorker(&Worker);
    S->SetLogEnabled(true);
    const fs::path F = Dir / "localhost.pin";
    bool LockFree = false;
    bool WrittenMeanwhile = false;
    int Updates = 0;
    S->OnMonitorUpdated = [&](TPingerSession& Sender) {
        ++Updates;
        std::thread([&] {
            LockFree = Sender.StatsLock().try_lock();
            if (LockFree)
                Sender.StatsLock().unlock();
        }).join();
        // The view's snapshot is whole without the lock.
        EXPECT_EQ(Sender.Snapshot().LastEvent.RoundTrip, 20);
        for (int I = 0; I < 3000 && !WrittenMeanwhile; ++I) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            WrittenMeanwhile = Records(F).size() == 1;
        }
    };
    const auto Announce = std::exchange(S->OnMonitorUpdated, nullptr);
    S->PingDone(MakeResult(*Clock, 0, 10));
    Clock->Advance(300 * 1000); // the interval is due with the next result
    S->OnMonitorUpdated = Announce;
    S->PingDone(MakeResult(*Clock, 0, 20));
    EXPECT_EQ(Updates, 1);
    EXPECT_TRUE(LockFree);
    EXPECT_TRUE(WrittenMeanwhile);
    const auto Recs = Records(F);
    ASSERT_EQ(Recs.size(), 1u);
    EXPECT_EQ(Recs[0].AvgTrip, 15);
}

namespace {
struct TNoJob {
    void Run(TzsWorkerThread&) {}
};
// Queues Job, waiting while the queue is full.
void AddWhenRoom(TzsWorkerThread& Worker, const TThreadJob& Job) {
    for (;;) {
        try {
            Worker.AddJob(Job);
            return;
        } catch (const EPingError&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}
} // namespace

// A full queue costs only the queueing: the result is handled to the end, and since the
// interval stays due the next result queues the record again.
TEST_F(PingLogTest, AFullWorkerQueueIsRiddenOutAndTheNextResultQueuesTheRecord) {
    TzsWorkerThread Worker;
    auto Gate = std::make_shared<TGate>();
    Worker.AddJob(TThreadJob::Bind<TGate, &TGate::Run>(Gate));
    Gate->Entered.get_future().wait();
    auto Nothing = std::make_shared<TNoJob>();
    EXPECT_THROW(for (;;) Worker.AddJob(TThreadJob::Bind<TNoJob, &TNoJob::Run>(Nothing)),
                 EPingError);

    auto S = Monitor("localhost");
    S->SetLogWorker(&Worker);
    S->SetLogEnabled(true);
    int Updates = 0;
    S->OnMonitorUpdated = [&](TPingerSession&) { ++Updates; };
    Clock->Advance(300 * 1000);
    EXPECT_NO_THROW(S->PingDone(MakeResult(*Clock, 0, 10)));
    EXPECT_EQ(Updates, 1);
    EXPECT_EQ(S->Samples().size(), 1u);
    EXPECT_EQ(S->LogStats().SampleCount, 1);

    Gate->Open.set_value();
    auto Drained = std::make_shared<TGate>();
    AddWhenRoom(Worker, TThreadJob::Bind<TGate, &TGate::Run>(Drained));
    Drained->Entered.get_future().wait();
    Drained->Open.set_value();
    EXPECT_FALSE(fs::exists(Dir / "localhost.pin"));

    S->PingDone(MakeResult(*Clock, 0, 20));
    auto Written = std::make_shared<TGate>();
    Worker.AddJob(TThreadJob::Bind<TGate, &TGate::Run>(Written));
    Written->Entered.get_future().wait();
    Written->Open.set_value();
    const auto Recs = Records(Dir / "localhost.pin");
    ASSERT_EQ(Recs.size(), 1u);
    EXPECT_EQ(Recs[0].AvgTrip, 15); // both results of the interval
}

TEST_F(PingLogTest, ARecordIsDueOnceTheIntervalHasRunItsWholeSeconds) {
    TzsWorkerThread Worker;
    auto S = Monitor("localhost");
    S->SetLogWorker(&Worker);
    S->SetLogEnabled(true);
    auto Gate = std::make_shared<TGate>();
    for (int Second = 0; Second < 299; ++Second) {
        S->PingDone(MakeResult(*Clock, 0, 5));
        Clock->Advance(1000);
    }
    Clock->Advance(999);
    S->PingDone(MakeResult(*Clock, 0, 5)); // 299.999 s: not yet due
    Worker.AddJob(TThreadJob::Bind<TGate, &TGate::Run>(Gate));
    Gate->Entered.get_future().wait();
    Gate->Open.set_value();
    EXPECT_FALSE(fs::exists(Dir / "localhost.pin"));
    EXPECT_EQ(S->LogStats().SampleCount, 300);

    Clock->Advance(1);
    S->PingDone(MakeResult(*Clock, 0, 5));
    auto Gate2 = std::make_shared<TGate>();
    Worker.AddJob(TThreadJob::Bind<TGate, &TGate::Run>(Gate2));
    Gate2->Entered.get_future().wait();
    Gate2->Open.set_value();
    ASSERT_EQ(Records(Dir / "localhost.pin").size(), 1u);
    EXPECT_EQ(S->LogStats().SampleCount, 0);

    // With logging off nothing is queued and the interval keeps growing.
    S->SetLogEnabled(false);
    Clock->Advance(600 * 1000);
    S->PingDone(MakeResult(*Clock, 0, 5));
    EXPECT_EQ(S->LogStats().SampleCount, 1);
}

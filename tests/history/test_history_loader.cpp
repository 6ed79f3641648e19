// The history loader's thread: requests that come faster than it reads replace each other and
// the last one is what is delivered; records appended later are taken in, and nothing is
// delivered when nothing changed; the loader ends promptly in the middle of a long reading.
// Needs no Qt, so it also runs under the thread sanitizer on its own.
#include "damaged_logs.h"
#include "uHistoryLoader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Noon, 1 May 2024, UTC.
constexpr std::int64_t Now = 1714564800;

class HistoryLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        char Template[] = "/tmp/vantorel-loader-XXXXXX";
        Folder = ::mkdtemp(Template);
        File = Folder + "/host.pin";
    }
    void TearDown() override {
        std::remove(File.c_str());
        ::rmdir(Folder.c_str());
    }
    // Records every five minutes for Days days before Now.
    void Write(int Days, bool Append = false) {
        std::string Bytes;
        const double Start = damaged_logs::May2024 + 2.0 / 24 - Days;
        for (int I = 0; I < Days * 288; ++I) {
            damaged_logs::Put(Bytes, Start + (I + 0.5) / 288, 10 + I % 30, 100);
        }
        std::ofstream(File, std::ios::binary | (Append ? std::ios::app : std::ios::trunc)) << Bytes;
    }
    struct TSeen {
        std::mutex Lock;
        std::vector<THistorySnapshot> Snapshots;
        std::size_t Count() {
            std::lock_guard<std::mutex> Hold(Lock);
            return Snapshots.size();
        }
        THistorySnapshot Last() {
            std::lock_guard<std::mutex> Hold(Lock);
            return Snapshots.back();
        }
    };
    THistoryLoader::TDeliver Into(TSeen& Seen) {
        return [&Seen](THistorySnapshot S) {
            std::lock_guard<std::mutex> Hold(Seen.Lock);
            Seen.Snapshots.push_back(std::move(S));
        };
    }
    std::string Folder, File;
};

TEST_F(HistoryLoaderTest, TheLastRequestIsDeliveredAndAppendedRecordsAreTakenIn) {
    Write(40);
    TSeen Seen;
    THistoryLoader Loader(File, Into(Seen), nullptr);
    for (int I = 0; I < 50; ++I) {
        Loader.Request(THistorySpan(I % 4), 100 + I, Now);
    }
    Loader.Request(THistorySpan::Week, 700, Now);
    ASSERT_TRUE(Loader.WaitIdle(20000));
    ASSERT_GE(Seen.Count(), 1u);
    THistorySnapshot Last = Seen.Last();
    EXPECT_EQ(Last.Span, THistorySpan::Week);
    EXPECT_EQ(Last.View.Columns().size(), 700u);
    EXPECT_EQ(Last.Records, 40u * 288);
    EXPECT_EQ(Last.View.Records(), 7u * 288);
    EXPECT_EQ(Last.View.Range().To, Now + 6 * 3600 * ((Now % 21600) != 0));

    // Nothing new: nothing delivered.
    const std::size_t Before = Seen.Count();
    Loader.Request(THistorySpan::Week, 700, Now);
    ASSERT_TRUE(Loader.WaitIdle(20000));
    EXPECT_EQ(Seen.Count(), Before);

    // A day more appended: read once and added to the view.
    std::string More;
    for (int I = 0; I < 12; ++I) {
        damaged_logs::Put(More, damaged_logs::May2024 + 2.0 / 24 + (I + 0.5) / 288, 50, 100);
    }
    std::ofstream(File, std::ios::binary | std::ios::app) << More;
    Loader.Request(THistorySpan::Week, 700, Now + 3600);
    ASSERT_TRUE(Loader.WaitIdle(20000));
    ASSERT_EQ(Seen.Count(), Before + 1);
    Last = Seen.Last();
    EXPECT_EQ(Last.Records, 40u * 288 + 12);
    EXPECT_EQ(Last.Log.Last, Now + 3450);
}

TEST_F(HistoryLoaderTest, ItEndsPromptlyInTheMiddleOfALongReading) {
    Write(4000); // 1.15 million records
    TSeen Seen;
    const auto Begin = std::chrono::steady_clock::now();
    {
        THistoryLoader Loader(File, Into(Seen), [](int) {});
        Loader.Request(THistorySpan::All, 800, Now);
        ::usleep(20000);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - Begin, std::chrono::seconds(5));
}

} // namespace

// The path window on a fake network: rows per hop, several addresses at a hop, names arriving
// later, a hop that limits its replies shown as such with its reason, a change of path marked in
// the timelines, the timeline's pixels, and closing while requests are still out.
#include "uFrmPath.h"

#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

TPathAddress Addr(const char* Text) {
    return TPathAddress::Parse(Text);
}

QString Cell(const TfrmPath& W, int Row, int Column) {
    const QTableWidgetItem* Item = W.Table()->item(Row, Column);
    return Item ? Item->text() : QString();
}

// Three hops: hop 1 balances between two routers, hop 2 answers one request in three, hop 3 is
// the destination; from round Switch on, hop 2 is another router.
struct TFakeNetwork {
    std::atomic<int> Hop2Probes{0};
    int Switch = 1 << 30;
    TPathProbeAnswer operator()(const TPathAddress&, int HopLimit, std::uint32_t) {
        if (HopLimit == 1) {
            static std::atomic<int> Turn{0};
            return {IP_TTL_EXPIRED_TRANSIT, Addr(Turn++ % 2 ? "192.0.2.11" : "192.0.2.1"), 1};
        }
        if (HopLimit == 2) {
            const int N = Hop2Probes++;
            if (N >= Switch)
                return {IP_TTL_EXPIRED_TRANSIT, Addr("192.0.2.33"), 2};
            if (N % 3 != 0)
                return {};
            return {IP_TTL_EXPIRED_TRANSIT, Addr("192.0.2.2"), 2};
        }
        return {IP_SUCCESS, Addr("192.0.2.9"), 3};
    }
};

} // namespace

TEST(PathWindow, HopsAddressesNamesAndAHopThatLimitsItsReplies) {
    auto Network = std::make_shared<TFakeNetwork>();
    std::atomic<int> Lookups{0};
    TfrmPath W(
        Addr("192.0.2.9"), QStringLiteral("far"), 20, 20, nullptr,
        [Network](const TPathAddress& T, int H, std::uint32_t Ms) { return (*Network)(T, H, Ms); },
        [&Lookups](const TPathAddress& A) {
            ++Lookups;
            return A.Text() == "192.0.2.1" ? std::string("gw.test") : std::string();
        });
    W.show();
    EXPECT_EQ(W.windowTitle(), QStringLiteral("Vantorel : Path to far"));
    QTRY_VERIFY_WITH_TIMEOUT(W.Shown().Rounds >= 30, 10000);
    ASSERT_EQ(W.Table()->rowCount(), 3);
    EXPECT_EQ(Cell(W, 0, TfrmPath::colHop), QStringLiteral("1"));
    // Both routers of hop 1, one line each, the named one with its name once it is found.
    QTRY_COMPARE_WITH_TIMEOUT(Cell(W, 0, TfrmPath::colAddress),
                              QStringLiteral("gw.test (192.0.2.1)\n192.0.2.11"), 5000);
    EXPECT_TRUE(W.Table()
                    ->item(0, TfrmPath::colAddress)
                    ->toolTip()
                    .contains(QStringLiteral("Several routers")));
    EXPECT_EQ(Cell(W, 0, TfrmPath::colLoss), QStringLiteral("0.0"));
    // Hop 2 loses two thirds of its answers, the destination none: it limits its replies.
    EXPECT_EQ(Cell(W, 1, TfrmPath::colLoss), QStringLiteral("limits its replies"));
    const QString Why = W.Table()->item(1, TfrmPath::colLoss)->toolTip();
    EXPECT_TRUE(Why.contains(QStringLiteral("limits the replies it sends"))) << Why.toStdString();
    EXPECT_TRUE(Why.contains(QStringLiteral("hop 3 beyond it loses only 0.0%")))
        << Why.toStdString();
    EXPECT_EQ(Cell(W, 2, TfrmPath::colAddress), QStringLiteral("192.0.2.9"));
    EXPECT_EQ(Cell(W, 2, TfrmPath::colLoss), QStringLiteral("0.0"));
    EXPECT_EQ(Cell(W, 2, TfrmPath::colAverage), QStringLiteral("3.0"));
    EXPECT_EQ(Cell(W, 2, TfrmPath::colStDev), QStringLiteral("0.0"));
    EXPECT_EQ(Cell(W, 2, TfrmPath::colSent), QString::number(W.Shown().Hops[2].Sent));
    // Each address looked up once.
    EXPECT_LE(Lookups.load(), 4);

    // Hop 2's lost requests are drawn grey (no loss), the destination's bars green.
    const QImage Hop2 = W.Timeline(2);
    ASSERT_EQ(Hop2.size(), QSize(TfrmPath::TimelineWidth, TfrmPath::TimelineHeight));
    int Grey = 0, Red = 0;
    for (int X = 1; X < Hop2.width() - 1; ++X) {
        Grey += Hop2.pixel(X, Hop2.height() - 2) == 0xFF808080;
        Red += Hop2.pixel(X, Hop2.height() - 2) == 0xFFFF4010;
    }
    EXPECT_GT(Grey, 10);
    EXPECT_EQ(Red, 0);
    EXPECT_EQ(W.Timeline(3).pixel(TfrmPath::TimelineWidth - 2, TfrmPath::TimelineHeight - 2),
              0xFF20FF10);
    EXPECT_EQ(W.Timeline(3).pixel(0, 0), 0xFF406080);
    // For anyone to look at.
    W.grab().save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/path-window.png"));
}

TEST(PathWindow, AChangeOfPathIsMarked) {
    auto Network = std::make_shared<TFakeNetwork>();
    Network->Switch = 12;
    TfrmPath W(
        Addr("192.0.2.9"), QStringLiteral("far"), 20, 20, nullptr,
        [Network](const TPathAddress& T, int H, std::uint32_t Ms) { return (*Network)(T, H, Ms); },
        [](const TPathAddress&) { return std::string(); });
    W.show();
    QTRY_VERIFY_WITH_TIMEOUT(W.Shown().PathChanges >= 1 && W.Shown().Rounds >= 20, 10000);
    EXPECT_TRUE(W.StatusText().contains(QStringLiteral("the path changed 1 time")))
        << W.StatusText().toStdString();
    // One column of the change colour in every hop's timeline, across its height.
    for (int Hop = 1; Hop <= 3; ++Hop) {
        const QImage Image = W.Timeline(Hop);
        int Columns = 0;
        for (int X = 1; X < Image.width() - 1; ++X)
            Columns +=
                Image.pixel(X, 1) == 0xFF00C0FF && Image.pixel(X, Image.height() - 2) == 0xFF00C0FF;
        EXPECT_EQ(Columns, 1) << "hop " << Hop;
    }
    EXPECT_TRUE(Cell(W, 1, TfrmPath::colAddress).contains(QStringLiteral("192.0.2.33")));
}

TEST(PathWindow, ClosingDoesNotWaitForRequestsUnderWay) {
    std::atomic<bool> Sending{false};
    auto* W = new TfrmPath(
        Addr("192.0.2.9"), QStringLiteral("slow"), 1000, 1000, nullptr,
        [&Sending](const TPathAddress&, int, std::uint32_t) {
            Sending = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            return TPathProbeAnswer{};
        },
        [](const TPathAddress&) { return std::string(); });
    W->show();
    QTRY_VERIFY_WITH_TIMEOUT(Sending.load(), 5000);
    const auto Before = std::chrono::steady_clock::now();
    delete W;
    EXPECT_LT(std::chrono::steady_clock::now() - Before, std::chrono::milliseconds(300));
    // The prober lets go on its own thread; give it time before the echo function's captures go.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

TEST(PathWindow, NoAddressNoProbing) {
    std::atomic<int> Sent{0};
    TfrmPath W(TPathAddress(), QStringLiteral("nowhere"), 20, 20, nullptr,
               [&Sent](const TPathAddress&, int, std::uint32_t) {
                   ++Sent;
                   return TPathProbeAnswer{};
               });
    W.show();
    QTest::qWait(100);
    EXPECT_EQ(Sent.load(), 0);
    EXPECT_EQ(W.Table()->rowCount(), 0);
    EXPECT_TRUE(W.StatusText().contains(QStringLiteral("no address yet")));
}

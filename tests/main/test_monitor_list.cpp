// The list view: cell texts and keys of a row, the sort order, and the switch between the
// list and the tiles.
#include "main_window_fixture.h"
#include "uMonitorListModel.h"
#include "zsImageButton.h"

#include <QEventLoop>
#include <QHeaderView>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeView>

namespace {

TPingEvent Result(int RoundTrip, const std::string& Address = "127.0.0.1",
                  TPingStatus Status = PING_STATUS_SUCCESS) {
    TPingEvent E;
    E.Success = RoundTrip >= 0;
    E.RoundTrip = RoundTrip;
    E.Status = E.Success ? PING_STATUS_SUCCESS : Status;
    E.IPAddress = Address;
    return E;
}

TEST(MonitorRowTest, CellsOfANewAndOfARunningMonitor) {
    TPingEvent Initial = Result(-1, "0.0.0.0", PING_STATUS_INITIALIZING);
    const TMonitorRow New = MakeMonitorRow("gw", Initial, 0, TPingerSession::MinNone, 0, 0);
    EXPECT_FALSE(New.Success);
    EXPECT_EQ(New.Caption, QStringLiteral("gw"));
    EXPECT_EQ(New.SubItems, (std::array<QString, 7>{
                                QStringLiteral("0.0.0.0"), QStringLiteral("INITIALIZING"),
                                QStringLiteral("0%"), QStringLiteral("N/A"), QStringLiteral("N/A"),
                                QStringLiteral("N/A"), QStringLiteral("N/A")}));
    EXPECT_EQ(New.Keys, (std::array<std::uint32_t, 7>{0, 0, 0, 4294967295u, 65535, 65535, 65535}));

    const TMonitorRow Up = MakeMonitorRow("gw", Result(23, "10.0.0.2"), 99.6, 3, 40, 12.5);
    EXPECT_TRUE(Up.Success);
    EXPECT_EQ(Up.SubItems,
              (std::array<QString, 7>{QStringLiteral("10.0.0.2"), QStringLiteral("SUCCESS"),
                                      QStringLiteral("100%"), QStringLiteral("23(ms)"),
                                      QStringLiteral("3(ms)"), QStringLiteral("40(ms)"),
                                      QStringLiteral("12(ms)")}));
    EXPECT_EQ(Up.Keys, (std::array<std::uint32_t, 7>{0x0A000002u, 0, 100, 23, 3, 40, 12}));
    // An address that is not dotted sorts last.
    EXPECT_EQ(MakeMonitorRow("x", Result(-1, ""), 0, 0, 0, 0).Keys[0], 4294967295u);
}

TEST(MonitorRowTest, CompareFollowsEachColumnsKeyBothWays) {
    const std::vector<TMonitorRow> Rows = {
        MakeMonitorRow("beta", Result(5, "10.0.0.2"), 50, 5, 9, 7),
        MakeMonitorRow("Alpha", Result(-1, "9.255.255.255", PING_STATUS_REQ_TIMED_OUT), 0, 0, 0, 0),
        MakeMonitorRow("_gw", Result(40, "0.0.0.0"), 100, 40, 40, 40),
        MakeMonitorRow("host", Result(-1, "", PING_STATUS_CANNOT_RESOLVE), 0, 0, 0, 0),
    };
    struct TCase {
        int Column;
        std::vector<int> Ascending, Descending; // indexes into Rows; equal keys keep their order
    };
    // "_" (0x5F) sorts after the letters folded to upper case (0x41-0x5A).
    const std::vector<TCase> Cases = {
        {0, {1, 0, 3, 2}, {2, 3, 0, 1}}, {1, {2, 1, 0, 3}, {3, 0, 1, 2}},
        {3, {1, 3, 0, 2}, {2, 0, 1, 3}}, {4, {0, 2, 1, 3}, {1, 3, 2, 0}},
        {5, {0, 2, 1, 3}, {1, 3, 2, 0}}, {6, {0, 2, 1, 3}, {1, 3, 2, 0}},
        {7, {0, 2, 1, 3}, {1, 3, 2, 0}},
    };
    for (const TCase& C : Cases) {
        for (const bool Descending : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "column " << C.Column << " desc " << Descending);
            std::vector<int> Order = {0, 1, 2, 3};
            std::stable_sort(Order.begin(), Order.end(), [&](int A, int B) {
                return lvPingersCompare(Rows[std::size_t(A)], Rows[std::size_t(B)], C.Column,
                                        Descending) < 0;
            });
            EXPECT_EQ(Order, Descending ? C.Descending : C.Ascending);
        }
    }
    // Status texts compare as texts.
    EXPECT_LT(lvPingersCompare(Rows[3], Rows[1], 2, false), 0); // "Cannot…" < "REQ_…"
    // Only a-z fold: a letter with an accent keeps its code.
    EXPECT_EQ(CompareListText(QStringLiteral("abc"), QStringLiteral("ABC")), 0);
    EXPECT_GT(CompareListText(QStringLiteral("\u00e9"), QStringLiteral("Z")), 0);
    EXPECT_LT(CompareListText(QStringLiteral("ab"), QStringLiteral("abc")), 0);
}

// Mixed families by address: IPv4 first in numeric order, then IPv6 in numeric order (a zone
// after the same address without one), then texts that are no address; reversed descending.
TEST(MonitorRowTest, AddressesSortIpv4BeforeIpv6EachNumerically) {
    const char* Addresses[] = {
        "",
        "2001:db8::10",
        "10.0.0.2",
        "fe80::1%eth1",
        "::1",
        "255.255.255.255",
        "9.1.1.1",
        "2001:db8::9",
        "::ffff:1.2.3.4",
        "fe80::1",
        "fe80::1%eth0",
        "0.0.0.0",
    };
    const std::vector<std::string> Ascending = {
        "0.0.0.0", "9.1.1.1",        "10.0.0.2",     "255.255.255.255",
        "::1",     "::ffff:1.2.3.4", "2001:db8::9",  "2001:db8::10",
        "fe80::1", "fe80::1%eth0",   "fe80::1%eth1", "",
    };
    std::vector<TMonitorRow> Rows;
    for (const char* Address : Addresses)
        Rows.push_back(MakeMonitorRow("h", Result(1, Address), 100, 1, 1, 1));
    for (const bool Descending : {false, true}) {
        SCOPED_TRACE(Descending);
        std::vector<TMonitorRow> Sorted = Rows;
        std::stable_sort(Sorted.begin(), Sorted.end(), [&](const auto& A, const auto& B) {
            return lvPingersCompare(A, B, 1, Descending) < 0;
        });
        std::vector<std::string> Order;
        for (const TMonitorRow& Row : Sorted)
            Order.push_back(Row.SubItems[0].toStdString());
        std::vector<std::string> Want = Ascending;
        if (Descending)
            std::reverse(Want.begin(), Want.end());
        EXPECT_EQ(Order, Want);
    }
    // IPv4 keys stay what they were.
    EXPECT_EQ(MakeMonitorRow("x", Result(1, "::1"), 0, 0, 0, 0).Keys[0], 4294967295u);
}

TEST_F(MainWindowTest, ListSortsOnHeaderClicksAndCaptionChangesOnly) {
    TfrmMain& M = Open();
    for (const char* T : {"b", "c", "a"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    TMonitorListModel& L = *M.ListModel();
    const auto Captions = [&L] {
        QStringList C;
        for (int I = 0; I < L.rowCount(); ++I) {
            C.append(L.RowAt(I).Caption);
        }
        return C.join(QLatin1Char(','));
    };
    EXPECT_EQ(Captions(), QStringLiteral("a,b,c"));
    ClickColumn(M, 0);
    EXPECT_EQ(Captions(), QStringLiteral("c,b,a"));
    ClickColumn(M, 4); // "Trip(ms)" ascending: N/A (-1) after every round trip
    Feed(QStringLiteral("a"), 30);
    Feed(QStringLiteral("c"), 10);
    EXPECT_EQ(Captions(), QStringLiteral("c,b,a")); // new figures do not move rows
    ClickColumn(M, 4);
    ClickColumn(M, 4);
    EXPECT_EQ(Captions(), QStringLiteral("c,a,b"));
    // A new row sorts in at once.
    M.Core().AddMonitor(QStringLiteral("d"));
    Feed(QStringLiteral("d"), 20);
    EXPECT_EQ(Captions(), QStringLiteral("c,a,b,d"));
    EXPECT_EQ(L.RowAt(3).SubItems[3], QStringLiteral("20(ms)"));
}

// A result that leaves every cell of the row as it was tells the view nothing, so the list
// repaints no row for it; one that changes a cell does.
TEST_F(MainWindowTest, AResultThatChangesNoCellLeavesTheRowAlone) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    Feed(QStringLiteral("a"), 30);
    M.ListModel()->FlushChanges();
    QSignalSpy Changed(M.ListModel(), &QAbstractItemModel::dataChanged);
    Feed(QStringLiteral("a"), 30);
    M.ListModel()->FlushChanges();
    EXPECT_EQ(Changed.count(), 0);
    Feed(QStringLiteral("a"), 31);
    M.ListModel()->FlushChanges();
    EXPECT_EQ(Changed.count(), 1);
    EXPECT_EQ(M.ListModel()->RowAt(0).SubItems[3], QStringLiteral("31(ms)"));
}

// Results handled in one pass of the event loop reach the view as one change over the rows
// they touched, when the loop is about to wait; a row added or removed meanwhile first tells
// the view of the changes made under the old row numbers.
TEST_F(MainWindowTest, RowsRefreshedInOnePassReachTheViewOnceWhenTheLoopWaits) {
    TfrmMain& M = Open();
    for (const char* T : {"a", "b", "c", "d"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
        Feed(QString::fromLatin1(T), 10);
    }
    M.ListModel()->FlushChanges();
    const auto OnePass = [] {
        QEventLoop Loop;
        QTimer::singleShot(0, &Loop, &QEventLoop::quit);
        Loop.exec();
    };
    QSignalSpy Changed(M.ListModel(), &QAbstractItemModel::dataChanged);
    Feed(QStringLiteral("b"), 11);
    Feed(QStringLiteral("d"), 12);
    Feed(QStringLiteral("b"), 13);
    EXPECT_EQ(Changed.count(), 0) << "told before the pass ended";
    OnePass();
    ASSERT_EQ(Changed.count(), 1);
    EXPECT_EQ(Changed[0][0].toModelIndex(), M.ListModel()->index(1, 0));
    EXPECT_EQ(Changed[0][1].toModelIndex(), M.ListModel()->index(3, MonitorListColumnCount - 1));
    EXPECT_EQ(
        Control<QTreeView>(M, "lvPingers")->model()->data(M.ListModel()->index(1, 4)).toString(),
        QStringLiteral("13(ms)"));
    OnePass();
    EXPECT_EQ(Changed.count(), 1) << "nothing more to tell";

    Feed(QStringLiteral("c"), 14);
    QSignalSpy Removed(M.ListModel(), &QAbstractItemModel::rowsAboutToBeRemoved);
    QList<int> ChangedBeforeRemoval;
    QObject::connect(M.ListModel(), &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&] { ChangedBeforeRemoval.append(int(Changed.count())); });
    FindMonitor(M, QStringLiteral("a"))->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(Removed.count(), 1);
    EXPECT_EQ(ChangedBeforeRemoval, QList<int>{2});
    EXPECT_EQ(Changed[1][0].toModelIndex().row(), 2); // "c" before "a" went
}

TEST_F(MainWindowTest, ListViewSelectsTheTopRowAndOnlyItDraws) {
    TfrmMain& M = Open();
    for (const char* T : {"b", "a", "c"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    ClickButton(M, "btnToggleView");
    EXPECT_TRUE(M.Core().ListView());
    EXPECT_FALSE(Control<TResizePanel>(M, "PanelRight")->isVisible());
    EXPECT_TRUE(Control<QWidget>(M, "Splitter")->isVisible());
    EXPECT_TRUE(ConfigText().contains("ListViewEnable=1") ||
                ConfigText().contains("ListViewEnable=true") ||
                ConfigText().contains("ListViewEnable=TRUE"));
    TPingerSession* A = M.Hub().Find(QStringLiteral("a"));
    EXPECT_EQ(M.Hub().MainPanelMonitor(), A);
    // The main panel's monitor alone has a window; the rows are the sessions themselves.
    for (int I = 0; I < M.Hub().Count(); ++I) {
        EXPECT_EQ(M.Hub().Monitor(I)->DrawEnabled(), M.Hub().Monitor(I) == A);
        EXPECT_EQ(MonitorAt(M, I) != nullptr, M.Hub().Monitor(I) == A);
    }
    // Choosing another row moves it into the main panel.
    Control<QTreeView>(M, "lvPingers")->setCurrentIndex(M.ListModel()->index(2, 0));
    TPingerSession* C = M.Hub().Find(QStringLiteral("c"));
    EXPECT_EQ(M.Hub().MainPanelMonitor(), C);
    ASSERT_NE(MainPanelMonitor(M), nullptr);
    EXPECT_EQ(&MainPanelMonitor(M)->Session(), C);
    EXPECT_TRUE(C->DrawEnabled());
    EXPECT_FALSE(A->DrawEnabled());
    EXPECT_EQ(FindMonitor(M, QStringLiteral("a")), nullptr);

    ClickButton(M, "btnToggleView");
    EXPECT_FALSE(M.Core().ListView());
    EXPECT_TRUE(Control<TResizePanel>(M, "PanelRight")->isVisible());
    EXPECT_FALSE(Control<QWidget>(M, "Splitter")->isVisible());
    for (int I = 0; I < M.Hub().Count(); ++I) {
        EXPECT_TRUE(M.Hub().Monitor(I)->DrawEnabled());
        ASSERT_NE(MonitorAt(M, I), nullptr);
        EXPECT_TRUE(MonitorAt(M, I)->isVisible());
    }
}

// In the list view, closing the selected row's monitor when it is not the first in target order
// hands the main panel to the first in target order, whose row is then the selected one. One
// monitor is there afterwards, the only one drawing, and back in the tiles every other running
// monitor is a tile.
TEST_F(MainWindowTest, ClosingTheSelectedRowsMonitorLeavesOneMonitorInTheMainPanel) {
    TfrmMain& M = Open();
    for (const char* T : {"a", "b", "c", "d"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    ClickButton(M, "btnToggleView");
    Control<QTreeView>(M, "lvPingers")->setCurrentIndex(M.ListModel()->index(2, 0));
    TfrmPinger* C = FindMonitor(M, QStringLiteral("c"));
    ASSERT_EQ(MainPanelMonitor(M), C);
    QTest::mouseClick(C->zsibClose, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(M.Hub().Count(), 3);
    TPingerSession* A = M.Hub().Find(QStringLiteral("a"));
    EXPECT_EQ(M.Hub().MainPanelMonitor(), A) << "the first in target order, not the next row";
    ASSERT_NE(MainPanelMonitor(M), nullptr);
    EXPECT_EQ(&MainPanelMonitor(M)->Session(), A);
    const QModelIndexList Selected =
        Control<QTreeView>(M, "lvPingers")->selectionModel()->selectedRows();
    ASSERT_EQ(Selected.size(), 1);
    EXPECT_EQ(M.ListModel()->MonitorAt(Selected.first().row()), A);
    for (int I = 0; I < M.Hub().Count(); ++I) {
        EXPECT_EQ(M.Hub().Monitor(I)->DrawEnabled(), M.Hub().Monitor(I) == A) << I;
    }

    ClickButton(M, "btnToggleView");
    int InMainPanel = 0;
    int Tiles = 0;
    for (int I = 0; I < M.Hub().Count(); ++I) {
        TfrmPinger* Mon = MonitorAt(M, I);
        SCOPED_TRACE(I);
        ASSERT_NE(Mon, nullptr);
        if (Mon->parentWidget() == Control<TResizePanel>(M, "PanelLeft")) {
            ++InMainPanel;
            EXPECT_EQ(Mon, MainPanelMonitor(M));
            EXPECT_EQ(Mon->geometry(), Control<TResizePanel>(M, "PanelLeft")->rect());
        } else if (Mon->parentWidget() == Control<TResizePanel>(M, "PanelRight")) {
            ++Tiles;
        }
        EXPECT_TRUE(Mon->isVisible());
    }
    EXPECT_EQ(InMainPanel, 1);
    EXPECT_EQ(Tiles, 2);
}

// The header's area right of the last column is as dark as the rest of the list, however far
// the splitter widens the list.
TEST_F(MainWindowTest, TheListHeaderIsDarkRightOfTheLastColumn) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    ClickButton(M, "btnToggleView");
    QHeaderView* Header = Control<QTreeView>(M, "lvPingers")->header();
    const int LastRight = Header->sectionViewportPosition(MonitorListColumnCount - 1) +
                          Header->sectionSize(MonitorListColumnCount - 1);
    ASSERT_LT(LastRight + 4, Header->width());
    const auto PixelRightOfLast = [&](int Offset) {
        return QColor(Header->grab().toImage().pixel(LastRight + Offset, Header->height() / 2));
    };
    EXPECT_EQ(PixelRightOfLast(4), QColor(56, 56, 56));
    // The splitter dragged 250 pixels to the right.
    const QPointF At(2, 2);
    QMouseEvent Drag(QEvent::MouseMove, At,
                     Control<QWidget>(M, "Splitter")->mapToGlobal(At) + QPointF(250, 0),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Control<QWidget>(M, "Splitter"), &Drag);
    ASSERT_GT(Header->width(), LastRight + 200);
    EXPECT_EQ(PixelRightOfLast(200), QColor(56, 56, 56));
}

} // namespace

namespace {

// The stored choice of the list view is read; a file whose user never used the switch keeps
// its bytes.
TEST_F(MainWindowTest, TheStoredListViewIsShownWithoutRewritingTheFile) {
    const QByteArray Stored = "[COMMON]\r\nListViewEnable=1\r\nDefaultGroup=G\r\n"
                              "[GROUPS]\r\n0=G\r\n[G]\r\n0=a\r\n";
    WriteConfig(Stored);
    TfrmMain& M = Open();
    EXPECT_TRUE(M.Core().ListView());
    EXPECT_EQ(ConfigText(), Stored);
}

// Any number but 0 reads as the list view; showing it at start writes the switch back as 1. A
// value that is no number reads as the graph view, which is already shown: nothing is written.
TEST_F(MainWindowTest, AStoredListViewOfAnotherValueIsWrittenBackWhenItShowsTheList) {
    struct TCase {
        QByteArray Stored;
        bool ListShown;
        QByteArray Written;
    } Cases[] = {
        {"2", true, "1"},  {"-1", true, "1"},   {" 7 ", true, "1"},
        {"0", false, "0"}, {"no", false, "no"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Stored.toStdString());
        WriteConfig("[COMMON]\r\nListViewEnable=" + Case.Stored + "\r\n");
        TfrmMain& M = Open();
        EXPECT_EQ(M.Core().ListView(), Case.ListShown);
        EXPECT_TRUE(ConfigText().contains("\r\nListViewEnable=" + Case.Written + "\r\n"))
            << ConfigText().toStdString();
        Main.reset();
    }
}

} // namespace

// Pictures of the main window with canned results, written to the test-output folder for
// anyone to look at: five monitors as tiles, and the same monitors in the list view.
#include "main_window_fixture.h"
#include "uMonitorListModel.h"

#include <QDir>
#include <QLineEdit>

namespace {

// A minute of results, one a second; Lost marks every n-th as timed out (0: none).
void FeedMinute(TfrmMain& M, FakeClock& Clock, const QString& Target, int Base, int Swing, int Lost,
                const std::string& Address) {
    TfrmPinger* Mon = FindMonitor(M, Target);
    ASSERT_NE(Mon, nullptr);
    for (int Age = 59; Age >= 0; --Age) {
        const bool Failed = Lost > 0 && Age % Lost == 0;
        const int Trip = Base + (Age * 7 + Base) % (Swing + 1);
        Mon->Session().PingDone(MakeResult(Clock, Age, Failed ? -1 : Trip,
                                           PING_STATUS_REQ_TIMED_OUT, Target.toStdString(),
                                           Address));
    }
}

TEST_F(MainWindowTest, PicturesOfTheTilesAndTheListView) {
    TfrmMain& M = Open();
    struct TCanned {
        const char* Target;
        int Base, Swing, Lost;
        const char* Address;
    };
    const TCanned Canned[] = {{"gateway", 1, 3, 0, "10.0.0.1"},
                              {"fileserver", 12, 20, 17, "10.0.0.20"},
                              {"printer", 4, 2, 0, "10.0.0.31"},
                              {"vpn.example.com", 80, 60, 9, "192.0.2.10"},
                              {"localhost", 0, 1, 0, "127.0.0.1"}};
    for (const TCanned& C : Canned) {
        Control<QLineEdit>(M, "cbTarget")->setText(QString::fromLatin1(C.Target));
        ClickButton(M, "btnNewPinger");
        FeedMinute(M, *Clock, QString::fromLatin1(C.Target), C.Base, C.Swing, C.Lost, C.Address);
    }
    ASSERT_EQ(M.Hub().Count(), 5);
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    const QImage Tiles = M.grab().toImage();
    EXPECT_EQ(Tiles.size(), QSize(TfrmMain::DesignWidth, TfrmMain::DesignHeight));
    ASSERT_TRUE(Tiles.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/main-window-tiles.png")));

    ClickButton(M, "btnToggleView");
    const QImage List = M.grab().toImage();
    ASSERT_TRUE(List.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/main-window-list.png")));
    // The list shows every monitor; the top row's monitor fills the main panel.
    EXPECT_EQ(M.ListModel()->rowCount(), 5);
    EXPECT_EQ(M.Hub().MainPanelMonitor(), M.ListModel()->MonitorAt(0));
}

} // namespace

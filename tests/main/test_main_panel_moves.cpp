// A monitor moving between the main window's panels keeps what it shows: the status line of a
// failing host stays red whichever panel it is moved to, and by whatever way.
#include "main_window_fixture.h"
#include "uMonitorListModel.h"

#include <QImage>

namespace {

struct TInk {
    int Red = 0;   // pixels of the failure colour
    int Green = 0; // pixels of the success colour
};

// Counts the text pixels of the status line drawn in either result colour (the text is
// anti-aliased: a pixel counts when its colour leans clearly to one of them).
TInk StatusInk(TfrmPinger* Mon) {
    QApplication::processEvents();
    const QImage Image = Mon->grab(Mon->pnlBottom->geometry())
                             .toImage()
                             .copy(Mon->lbStatus->geometry())
                             .convertToFormat(QImage::Format_RGB32);
    TInk Ink;
    for (int Y = 0; Y < Image.height(); ++Y) {
        for (int X = 0; X < Image.width(); ++X) {
            const QColor C = Image.pixelColor(X, Y);
            if (C.red() > 100 && C.green() < C.red() / 2 && C.blue() < 60) {
                ++Ink.Red;
            } else if (C.green() > 100 && C.red() < C.green() / 2 && C.blue() < 60) {
                ++Ink.Green;
            }
        }
    }
    return Ink;
}

TEST_F(MainWindowTest, AFailingHostsStatusStaysRedAcrossEveryPanelChange) {
    TfrmMain& M = Open();
    for (const char* Target : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        M.Core().AddMonitor(QString::fromLatin1(Target));
    }
    // The windows are looked up afresh after each change: a tile has one only while in view.
    const auto Failing = [&] { return FindMonitor(M, QStringLiteral("127.0.0.1")); };
    const auto Other = [&] { return FindMonitor(M, QStringLiteral("127.0.0.2")); };
    ASSERT_EQ(MainPanelMonitor(M), Failing());
    // It answered once (green), then stopped answering.
    Feed(QStringLiteral("127.0.0.1"), 3);
    Feed(QStringLiteral("127.0.0.1"), -1);
    ASSERT_GT(StatusInk(Failing()).Red, 0);

    const auto ExpectRed = [&](const char* Step) {
        SCOPED_TRACE(Step);
        for (int Result = 0; Result < 2; ++Result) {
            const TInk Ink = StatusInk(Failing());
            EXPECT_GT(Ink.Red, 0) << (Result ? "after a further failure" : "at once");
            EXPECT_EQ(Ink.Green, 0) << (Result ? "after a further failure" : "at once");
            Feed(QStringLiteral("127.0.0.1"), -1);
        }
    };
    GraphMouseDown(Other(), Qt::LeftButton);
    ASSERT_EQ(Failing()->parentWidget(), Control<QWidget>(M, "PanelRight"));
    ExpectRed("main panel to tile");

    GraphMouseDown(Failing(), Qt::LeftButton);
    ASSERT_EQ(Failing()->parentWidget(), Control<QWidget>(M, "PanelLeft"));
    ExpectRed("tile to main panel");

    GraphMouseDown(Other(), Qt::LeftButton);
    ClickButton(M, "btnToggleView");
    ASSERT_TRUE(M.Core().ListView());
    auto* List = Control<QTreeView>(M, "lvPingers");
    const int Row = M.ListModel()->RowOf(M.Hub().Find(QStringLiteral("127.0.0.1")));
    ASSERT_GE(Row, 0);
    List->setCurrentIndex(M.ListModel()->index(Row, 0));
    ASSERT_NE(Failing(), nullptr);
    ASSERT_EQ(MainPanelMonitor(M), Failing());
    ExpectRed("list row selected");

    ClickButton(M, "btnToggleView");
    GraphMouseDown(Other(), Qt::LeftButton);
    ASSERT_EQ(Failing()->parentWidget(), Control<QWidget>(M, "PanelRight"));
    Other()->close();
    QApplication::processEvents();
    ASSERT_EQ(MainPanelMonitor(M), Failing());
    ExpectRed("main-panel monitor closed");
}

} // namespace

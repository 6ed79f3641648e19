// Logging and history from the main window: the logging switch is shown, kept across runs and
// given to every monitor, also those added later; a monitor's menu, from its graph and from its
// list row, opens the history window of its log file.
#include "main_window_fixture.h"
#include "uFrmHistory.h"
#include "uFrmPath.h"
#include "zsImageButton.h"

#include <QAction>
#include <QMenu>
#include <QTreeView>

namespace {

TEST_F(MainWindowTest, TheLoggingSwitchIsShownKeptAndGivenToEveryMonitor) {
    TfrmMain& M = Open();
    EXPECT_TRUE(Control<TzsImageButton>(M, "btnLogging")->isVisible());
    M.Core().AddMonitor(QStringLiteral("a"));
    EXPECT_FALSE(M.Hub().Find(QStringLiteral("a"))->LogEnabled());
    // Until the switch is used the file holds nothing of it.
    EXPECT_FALSE(ConfigText().contains("[LOGGING]"));

    QTest::mouseClick(Control<TzsImageButton>(M, "btnLogging"), Qt::LeftButton);
    EXPECT_TRUE(M.Hub().Settings().Logging);
    EXPECT_TRUE(M.Hub().Find(QStringLiteral("a"))->LogEnabled());
    M.Core().AddMonitor(QStringLiteral("b"));
    EXPECT_TRUE(M.Hub().Find(QStringLiteral("b"))->LogEnabled());
    EXPECT_TRUE(ConfigText().contains("[LOGGING]\r\nEnabled=1\r\n"));

    // The next start has it on, and the group's monitors log from the first result.
    TfrmMain& Again = Restart();
    EXPECT_TRUE(Again.Hub().Settings().Logging);
    ASSERT_EQ(Again.Hub().Count(), 2);
    EXPECT_TRUE(Again.Hub().Find(QStringLiteral("a"))->LogEnabled());
    QTest::mouseClick(Control<TzsImageButton>(Again, "btnLogging"), Qt::LeftButton);
    EXPECT_FALSE(Again.Hub().Find(QStringLiteral("b"))->LogEnabled());
    EXPECT_TRUE(ConfigText().contains("[LOGGING]\r\nEnabled=0\r\n"));
}

TEST_F(MainWindowTest, AMonitorsMenuOpensItsHistoryFromTheGraphAndTheList) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("a"));
    M.Core().AddMonitor(QStringLiteral("b"));
    QStringList Offered;
    QAction* History = nullptr;
    M.SetMonitorMenuHandler([&](QMenu& Menu) {
        for (QAction* Action : Menu.actions()) {
            Offered.append(Action->text());
        }
        History = Menu.actions().value(0);
        ASSERT_NE(History, nullptr);
        History->trigger();
    });
    const auto OpenHistories = [] {
        QList<TfrmHistory*> Found;
        for (QWidget* Window : QApplication::topLevelWidgets()) {
            if (auto* History = qobject_cast<TfrmHistory*>(Window);
                History && History->isVisible()) {
                Found.append(History);
            }
        }
        return Found;
    };

    TfrmPinger* B = FindMonitor(M, QStringLiteral("b"));
    QTest::mouseClick(B->Image32, Qt::RightButton, {}, QPoint(20, 20));
    EXPECT_EQ(Offered, (QStringList{QStringLiteral("&History..."), QStringLiteral("&Path...")}));
    ASSERT_EQ(OpenHistories().size(), 1);
    EXPECT_EQ(OpenHistories()[0]->windowTitle(), QStringLiteral("Vantorel : History of b"));
    EXPECT_TRUE(OpenHistories()[0]->StatusText().contains(QStringLiteral("no log file")));
    OpenHistories()[0]->close();
    QApplication::processEvents();

    // The list view's row menu.
    ClickButton(M, "btnToggleView");
    auto* List = M.findChild<QTreeView*>(QStringLiteral("lvPingers"));
    ASSERT_NE(List, nullptr);
    const QRect Row = List->visualRect(List->model()->index(0, 0));
    emit List->customContextMenuRequested(Row.center());
    ASSERT_EQ(OpenHistories().size(), 1);
    EXPECT_EQ(OpenHistories()[0]->windowTitle(), QStringLiteral("Vantorel : History of a"));
    OpenHistories()[0]->close();
}

// "Path..." beside "History...": the path window of the monitor, which probes only an address
// the monitor has reached (these test monitors have none, so nothing is sent).
TEST_F(MainWindowTest, AMonitorsMenuOpensItsPath) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("b"));
    M.SetMonitorMenuHandler([&](QMenu& Menu) {
        ASSERT_EQ(Menu.actions().size(), 2);
        Menu.actions()[1]->trigger();
    });
    TfrmPinger* B = FindMonitor(M, QStringLiteral("b"));
    QTest::mouseClick(B->Image32, Qt::RightButton, {}, QPoint(20, 20));
    TfrmPath* Path = nullptr;
    for (QWidget* Window : QApplication::topLevelWidgets())
        if (auto* Found = qobject_cast<TfrmPath*>(Window); Found && Found->isVisible())
            Path = Found;
    ASSERT_NE(Path, nullptr);
    EXPECT_EQ(Path->windowTitle(), QStringLiteral("Vantorel : Path to b"));
    EXPECT_TRUE(Path->StatusText().contains(QStringLiteral("no address yet")));
    Path->close();
}

} // namespace

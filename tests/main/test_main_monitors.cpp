// The main window's monitor collection: which targets start, where the monitors sit, and what
// closing them does to the stored group.
#include "main_window_fixture.h"
#include "uMonitorCollection.h"
#include "uMonitorListModel.h"
#include "zsHint.h"
#include "zsImageButton.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

namespace {

QStringList Shown() {
    QStringList Texts;
    for (const auto& S : TzsMessageBox::TakeShown()) {
        Texts.append(S.Text);
    }
    return Texts;
}

TEST(TileLayoutTest, TilesFillColumnsTopToBottom) {
    const TTileLayout L = TileLayout(5, 606);
    EXPECT_EQ(L.Rows, 3);
    EXPECT_EQ(L.TileHeight, 202);
    EXPECT_EQ(L.Columns, 2);
    EXPECT_EQ(L.PanelWidth, 480);
    EXPECT_EQ(L.Places, (std::vector<QPoint>{{0, 0}, {0, 202}, {0, 404}, {240, 0}}));

    EXPECT_EQ(TileLayout(1, 606).PanelWidth, 0);
    EXPECT_EQ(TileLayout(2, 466).Rows, 2);
    // More tiles than fit: the panel grows a column per Rows tiles.
    EXPECT_EQ(TileLayout(40, 466).PanelWidth, 20 * 240);
    // A panel lower than one tile still lays out one row instead of dividing by zero.
    EXPECT_EQ(TileLayout(3, 100).Rows, 1);
}

TEST(MonitorListTest, SortedWithoutRegardToCaseAndKeyedByExactText) {
    TMonitorList List;
    List.Add(QStringLiteral("gw"), nullptr);
    List.Add(QStringLiteral("Alpha"), nullptr);
    List.Add(QStringLiteral("beta"), nullptr);
    EXPECT_EQ(List.Targets(),
              (QStringList{QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("gw")}));
    EXPECT_EQ(List.IndexOf(QStringLiteral("GW")), 2);
    EXPECT_EQ(List.IndexOf(QStringLiteral(" gw")), -1);
}

TEST_F(MainWindowTest, TargetsStartOnceInAnyLetterCaseAndUntrimmed) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("Router"));
    M.Core().AddMonitor(QStringLiteral("rOUTER"));
    EXPECT_EQ(Shown(),
              QStringList{QStringLiteral("The specified target is already being monitored.")});
    M.Core().AddMonitor(QStringLiteral("   "));
    M.Core().AddMonitor(QString());
    EXPECT_TRUE(Shown().isEmpty());
    M.Core().AddMonitor(QStringLiteral(" Router"));
    EXPECT_EQ(M.Hub().Targets(),
              (QStringList{QStringLiteral(" Router"), QStringLiteral("Router")}));
    // An IPv6 address bare and in brackets is one target.
    M.Core().AddMonitor(QStringLiteral("::1"));
    M.Core().AddMonitor(QStringLiteral("[::1]"));
    EXPECT_EQ(Shown(),
              QStringList{QStringLiteral("The specified target is already being monitored.")});
    EXPECT_EQ(M.Hub().Count(), 3);
    EXPECT_EQ(M.Hub().Find(QStringLiteral(" Router"))->Target(), " Router");
}

TEST_F(MainWindowTest, OnlyWhatCannotBeStoredIsRefusedAndOnlyWhereItIsTyped) {
    // A tab is stored like any other character; the group's entry in the file keeps it.
    WriteConfig("[COMMON]\r\nDefaultGroup=G\r\n[GROUPS]\r\n0=G\r\n"
                "[G]\r\n0=a\tb\r\n1=c\x01d\r\n2=e\r\n");
    TfrmMain& M = Open();
    EXPECT_TRUE(Shown().isEmpty());
    EXPECT_EQ(M.Hub().Count(), 3);
    // Typed: a line break would split the entry, a NUL would cut it short.
    for (const QString& Typed : {QStringLiteral("x\ny"), QStringLiteral("x\ry"),
                                 QStringLiteral("x") + QChar(0) + QStringLiteral("y")}) {
        Control<QLineEdit>(M, "cbTarget")->setText(Typed);
        ClickButton(M, "btnNewPinger");
        EXPECT_EQ(Shown(), QStringList{QStringLiteral("The target cannot contain line breaks.")});
    }
    Control<QLineEdit>(M, "cbTarget")->setText(QStringLiteral("f\tg"));
    ClickButton(M, "btnNewPinger");
    EXPECT_TRUE(Shown().isEmpty());
    EXPECT_EQ(M.Hub().Count(), 4);
    Restart();
    EXPECT_TRUE(ConfigText().contains("[G]\r\n0=a\tb\r\n1=c\x01d\r\n2=e\r\n3=f\tg\r\n"))
        << ConfigText().toStdString();
}

TEST_F(MainWindowTest, NewMonitorGetsTheCommonSettingsAndARow) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("localhost"));
    TfrmPinger* Mon = FindMonitor(M, QStringLiteral("localhost"));
    ASSERT_NE(Mon, nullptr);
    EXPECT_EQ(Mon->Session().Span(), 60);
    EXPECT_EQ(Mon->Session().Range(), -1);
    EXPECT_EQ(Mon->Session().Frequency(), 1000);
    EXPECT_EQ(Mon->Session().TimeOutMS(), 5000);
    EXPECT_EQ(Mon->Session().PayloadSize(), 16);
    EXPECT_EQ(Mon->Session().LogWorker(), M.Hub().Worker());
    EXPECT_EQ(QString::fromStdString(Mon->Session().LogFolder()), M.Hub().LogFolder());
    ASSERT_EQ(M.ListModel()->rowCount(), 1);
    EXPECT_EQ(M.ListModel()->RowAt(0).SubItems[1], QStringLiteral("INITIALIZING"));
    // Alone in the main panel it keeps the hint it was made with.
    EXPECT_EQ(TzsHint::Text(Mon->Image32), QStringLiteral("Left Click to move to main panel."));
}

TEST_F(MainWindowTest, OneMonitorFillsTheMainPanel) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("gw"));
    TfrmPinger* Mon = MonitorAt(M, 0);
    EXPECT_EQ(MainPanelMonitor(M), Mon);
    EXPECT_EQ(Mon->parentWidget(), Control<TResizePanel>(M, "PanelLeft"));
    EXPECT_EQ(Mon->geometry(), Control<TResizePanel>(M, "PanelLeft")->rect());
    EXPECT_EQ(Control<TResizePanel>(M, "PanelRight")->width(), 0);
    EXPECT_EQ(Control<TResizePanel>(M, "PanelLeft")->width(),
              Control<TResizePanel>(M, "PanelBody")->width() - TfrmMain::SplitterWidth);
}

TEST_F(MainWindowTest, FiveMonitorsTileBesideTheMainPanel) {
    TfrmMain& M = Open();
    ASSERT_EQ(Control<TResizePanel>(M, "PanelRight")->height(),
              606); // the design size leaves a 606-pixel body
    for (const char* T : {"e", "d", "c", "b", "a"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    // The first monitor added keeps the main panel; the others tile in target order.
    TfrmPinger* Main = FindMonitor(M, QStringLiteral("e"));
    EXPECT_EQ(MainPanelMonitor(M), Main);
    EXPECT_EQ(Main->parentWidget(), Control<TResizePanel>(M, "PanelLeft"));
    EXPECT_EQ(Control<TResizePanel>(M, "PanelRight")->width(), 480);
    const std::vector<std::pair<const char*, QRect>> Tiles = {{"a", {0, 0, 240, 202}},
                                                              {"b", {0, 202, 240, 202}},
                                                              {"c", {0, 404, 240, 202}},
                                                              {"d", {240, 0, 240, 202}}};
    for (const auto& [T, Rect] : Tiles) {
        SCOPED_TRACE(T);
        TfrmPinger* Mon = FindMonitor(M, QString::fromLatin1(T));
        EXPECT_EQ(Mon->parentWidget(), Control<TResizePanel>(M, "PanelRight"));
        EXPECT_EQ(Mon->geometry(), Rect);
        EXPECT_EQ(TzsHint::Text(Mon->Image32), QStringLiteral("Left Click to move to main panel."));
    }
    EXPECT_EQ(Control<TResizePanel>(M, "PanelLeft")->x(),
              Control<QWidget>(M, "TileArea")->x() + 480);
}

// More tile columns than there is room for: the tile panel scrolls sideways (bar and wheel), the
// main panel keeps a useful width, and only the tiles in the scrolled view have a window and a
// picture; the others are their sessions alone until they come into view.
TEST_F(MainWindowTest, TilesScrollBesideAMainPanelOfUsefulWidth) {
    TfrmMain& M = Open();          // the design size
    for (int I = 0; I < 17; ++I) { // 16 tiles: 6 columns of 3, 1440 pixels
        M.Core().AddMonitor(QStringLiteral("t%1").arg(I, 2, 10, QLatin1Char('0')));
    }
    auto* Area = Control<QScrollArea>(M, "TileArea");
    auto* Tiles = Control<TResizePanel>(M, "PanelRight");
    auto* MainPanel = Control<TResizePanel>(M, "PanelLeft");
    QScrollBar* Bar = Area->horizontalScrollBar();
    ASSERT_EQ(Tiles->width(), 6 * TTileLayout::TileWidth);
    EXPECT_EQ(MainPanel->width(), TfrmMain::MainPanelMinWidth);
    EXPECT_EQ(MainPanel->x(), Area->x() + Area->width());
    EXPECT_EQ(MainPanel->x() + MainPanel->width(), Control<QWidget>(M, "PanelBody")->width());
    ASSERT_TRUE(Bar->isVisible());
    // The bar takes its height from the tiles, which keep their rows.
    EXPECT_EQ(Tiles->height() + Bar->height(), MainPanel->height());
    EXPECT_EQ(FindMonitor(M, QStringLiteral("t01"))->height(), Tiles->height() / 3);

    // Tile I (in target order, after the main panel's t00) stands in column I / 3.
    const auto InView = [&](int Tile) {
        const int Left = (Tile / 3) * TTileLayout::TileWidth;
        return Left < Bar->value() + Area->viewport()->width() &&
               Left + TTileLayout::TileWidth > Bar->value();
    };
    const auto Check = [&] {
        int Shown = 0;
        for (int I = 1; I < M.Hub().Count(); ++I) {
            TPingerSession* Session = M.Hub().Monitor(I);
            SCOPED_TRACE(Session->Target());
            TfrmPinger* Mon = MonitorAt(M, I);
            EXPECT_EQ(Mon != nullptr, InView(I - 1));
            EXPECT_EQ(Session->Graph().Plot().Width() > 0, InView(I - 1));
            if (Mon) {
                EXPECT_EQ(Mon->parentWidget(), Tiles);
                EXPECT_TRUE(Mon->isVisible());
                EXPECT_EQ(Mon->pos(), QPoint(((I - 1) / 3) * TTileLayout::TileWidth,
                                             ((I - 1) % 3) * Mon->height()));
                ++Shown;
            }
        }
        return Shown;
    };
    EXPECT_EQ(Check(), 12); // four columns, the fourth in part
    EXPECT_EQ(FindMonitor(M, QStringLiteral("t16")), nullptr);

    // The wheel turned towards the user brings the last column into view (a tile leaves the
    // wheel to the panel, which the end-to-end case shows with a real pointer).
    for (int Notch = 0; Notch < 6; ++Notch) {
        const QPointF At(20, 20);
        QWheelEvent Wheel(At, Area->viewport()->mapToGlobal(At), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(Area->viewport(), &Wheel);
    }
    EXPECT_EQ(Bar->value(), Bar->maximum());
    ASSERT_NE(FindMonitor(M, QStringLiteral("t16")), nullptr);
    EXPECT_TRUE(FindMonitor(M, QStringLiteral("t16"))->isVisible());
    EXPECT_EQ(FindMonitor(M, QStringLiteral("t01")), nullptr);
    EXPECT_EQ(Check(), 10); // the last four columns, the first of them in part, the last of one

    // A tile that comes into view shows what its session holds: the results it had meanwhile.
    Feed(QStringLiteral("t01"), 7);
    Bar->setValue(0);
    TfrmPinger* First = FindMonitor(M, QStringLiteral("t01"));
    ASSERT_NE(First, nullptr);
    EXPECT_FALSE(M.Hub().Find(QStringLiteral("t01"))->StatusText().isEmpty());
    EXPECT_EQ(First->lbStatus->text(), M.Hub().Find(QStringLiteral("t01"))->StatusText());
    EXPECT_EQ(First->Session().Samples().size(), 1U);
    EXPECT_EQ(Check(), 12);

    // A window wide enough for every column needs no scrolling: the main panel takes the rest.
    M.resize(2600, M.height());
    EXPECT_FALSE(Bar->isVisible());
    EXPECT_EQ(Tiles->height(), MainPanel->height());
    EXPECT_EQ(Area->width(), Tiles->width());
    EXPECT_GT(MainPanel->width(), TfrmMain::MainPanelMinWidth);
    EXPECT_EQ(Check(), 16);
}

TEST_F(MainWindowTest, ClickingATileSwapsItIntoTheMainPanel) {
    TfrmMain& M = Open();
    for (const char* T : {"a", "b", "c"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    TfrmPinger* C = FindMonitor(M, QStringLiteral("c"));
    // The right button offers the monitor's menu and moves nothing.
    int Menus = 0;
    M.SetMonitorMenuHandler([&](QMenu&) { ++Menus; });
    QTest::mouseClick(C->Image32, Qt::RightButton, {}, QPoint(20, 20));
    EXPECT_EQ(Menus, 1);
    EXPECT_NE(MainPanelMonitor(M), C);
    QTest::mouseClick(C->Image32, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(MainPanelMonitor(M), C);
    EXPECT_EQ(C->parentWidget(), Control<TResizePanel>(M, "PanelLeft"));
    TfrmPinger* A = FindMonitor(M, QStringLiteral("a"));
    EXPECT_NE(MainPanelMonitor(M), A);
    EXPECT_EQ(A->parentWidget(), Control<TResizePanel>(M, "PanelRight"));
    EXPECT_EQ(A->pos(), QPoint(0, 0));
    EXPECT_EQ(FindMonitor(M, QStringLiteral("b"))->y(), A->height());
}

TEST_F(MainWindowTest, ClosingTheMainPanelMonitorHandsItToTheFirstInTargetOrder) {
    TfrmMain& M = Open();
    for (const char* T : {"m", "z", "b"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    // Closing a tile leaves the main panel alone.
    FindMonitor(M, QStringLiteral("z"))->close();
    EXPECT_EQ(MainPanelMonitor(M), FindMonitor(M, QStringLiteral("m")));
    M.Core().AddMonitor(QStringLiteral("z"));
    FindMonitor(M, QStringLiteral("m"))->close();
    EXPECT_EQ(M.Hub().Targets(), (QStringList{QStringLiteral("b"), QStringLiteral("z")}));
    EXPECT_EQ(MainPanelMonitor(M), FindMonitor(M, QStringLiteral("b")));
    EXPECT_EQ(M.ListModel()->rowCount(), 2);
}

TEST_F(MainWindowTest, CloseButtonDropsTheTargetFromTheGroupButCloseAllDoesNot) {
    TfrmMain& M = Open();
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(0); // "Default Group"
    ChooseShownGroup(M);
    for (const char* T : {"10.0.0.1", "gw", "nas"}) {
        Control<QLineEdit>(M, "cbTarget")->setText(QString::fromLatin1(T));
        QTest::keyClick(Control<QLineEdit>(M, "cbTarget"), Qt::Key_Return);
    }
    EXPECT_EQ(Control<QLineEdit>(M, "cbTarget")->text(),
              QStringLiteral("nas")); // the box keeps its text
    EXPECT_TRUE(ConfigText().contains("[Default Group]\r\n0=10.0.0.1\r\n1=gw\r\n2=nas\r\n"));

    QTest::mouseClick(FindMonitor(M, QStringLiteral("gw"))->zsibClose, Qt::LeftButton);
    EXPECT_TRUE(ConfigText().contains("[Default Group]\r\n0=10.0.0.1\r\n1=nas\r\n"));

    TzsMessageBox::SetNextAnswer(QMessageBox::No);
    ClickButton(M, "btnCloseAll");
    EXPECT_EQ(M.Hub().Count(), 2);
    TzsMessageBox::SetNextAnswer(QMessageBox::Yes);
    ClickButton(M, "btnCloseAll");
    EXPECT_EQ(M.Hub().Count(), 0);
    EXPECT_EQ(M.ListModel()->rowCount(), 0);
    EXPECT_FALSE(Control<QProgressBar>(M, "ProgressBar")->isVisible());
    EXPECT_TRUE(ConfigText().contains("[Default Group]\r\n0=10.0.0.1\r\n1=nas\r\n"));
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
}

TEST_F(MainWindowTest, NoGroupShownWritesNoSection) {
    TfrmMain& M = Open();
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(-1);
    Control<QLineEdit>(M, "cbTarget")->setText(QStringLiteral("gw"));
    ClickButton(M, "btnNewPinger");
    EXPECT_EQ(M.Hub().Count(), 1);
    EXPECT_FALSE(ConfigText().contains("[]"));
}

TEST_F(MainWindowTest, ControlsGreyOutWhileBusy) {
    TfrmMain& M = Open();
    M.Core().EnableControls(false);
    EXPECT_TRUE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    EXPECT_TRUE(Control<TzsImageButton>(M, "btnClose")->Disabled());
    EXPECT_FALSE(Control<QLineEdit>(M, "cbTarget")->isEnabled());
    EXPECT_EQ(Control<QLabel>(M, "lbTarget")->palette().color(QPalette::WindowText),
              QColor(160, 160, 164));
    M.Core().EnableControls(true);
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    EXPECT_TRUE(Control<QComboBox>(M, "cbGroups")->isEnabled());
    EXPECT_EQ(Control<QLabel>(M, "lbGroups")->palette().color(QPalette::WindowText),
              QColor(82, 252, 248));
    EXPECT_EQ(Control<QLabel>(M, "lbTarget")->palette().color(QPalette::WindowText),
              QColor(129, 254, 75));
}

} // namespace

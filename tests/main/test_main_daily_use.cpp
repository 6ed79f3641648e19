// The main window in daily use: long names readable in the tiles and the list, the list's header
// showing how it is sorted, the Target box ready for the next host, the focus where the hand is,
// a toolbar whose controls all fit at the narrowest window, and an opening group on screen when
// it warns.
#include "main_window_fixture.h"
#include "uMainToolbar.h"
#include "uMonitorListModel.h"

#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QToolTip>

namespace {

// The tooltip a widget shows when the pointer rests on it.
QString ToolTipOf(QWidget* W) {
    QToolTip::hideText();
    const QPoint At = W->rect().center();
    QHelpEvent Help(QEvent::ToolTip, At, W->mapToGlobal(At));
    QApplication::sendEvent(W, &Help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

TEST_F(MainWindowTest, LongNamesAreElidedInTilesAndListAndWholeInTheirTooltips) {
    const QString Long = QStringLiteral("no such host with a name far too long for any tile");
    const QString Friendly = QStringLiteral("A friendly name that is much wider than a tile is");
    TfrmMain& M = Open();
    M.Hub().SetFriendlyNames(QStringLiteral("127.0.0.2~") + Friendly + QStringLiteral("\r\n"));
    for (const QString& Target : {QStringLiteral("127.0.0.1"), Long, QStringLiteral("127.0.0.2"),
                                  QStringLiteral("127.0.0.3")}) {
        M.Core().AddMonitor(Target);
    }
    Feed(QStringLiteral("127.0.0.2"), 4, "127.0.0.2");

    struct TCase {
        QString Target;
        QString Name;
        QString ToolTip;
    } Cases[] = {
        {Long, Long, Long},
        {QStringLiteral("127.0.0.2"), Friendly, Friendly + QStringLiteral("\n127.0.0.2")},
        {QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.3")},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Target.toStdString());
        TfrmPinger* Tile = FindMonitor(M, Case.Target);
        ASSERT_EQ(Tile->parentWidget(), Control<QWidget>(M, "PanelRight"));
        QLabel* Header = Tile->lbHeader;
        const bool Fits = Header->fontMetrics().horizontalAdvance(Case.Name) <= Header->width();
        EXPECT_EQ(Fits, Case.Name.size() < 20);
        if (Fits) {
            EXPECT_EQ(Header->text(), Case.Name);
        } else {
            // The start of the name, then "…", inside the header.
            EXPECT_TRUE(Header->text().endsWith(QChar(0x2026))) << Header->text().toStdString();
            EXPECT_TRUE(Case.Name.startsWith(Header->text().chopped(1)));
            EXPECT_GT(Header->text().size(), 10);
        }
        EXPECT_LE(Header->fontMetrics().horizontalAdvance(Header->text()), Header->width());
        EXPECT_EQ(Header->alignment(), Qt::AlignCenter);
        EXPECT_EQ(ToolTipOf(Header), Case.ToolTip);

        const int Row = M.ListModel()->RowOf(&Tile->Session());
        ASSERT_GE(Row, 0);
        for (int Column : {0, 2}) {
            EXPECT_EQ(M.ListModel()->index(Row, Column).data(Qt::ToolTipRole).toString(),
                      Case.ToolTip);
        }
    }
    // A tile made wider shows the whole name again.
    TfrmPinger* Main = FindMonitor(M, QStringLiteral("127.0.0.1"));
    M.Hub().MoveToMainPanel(M.Hub().Find(Long));
    EXPECT_EQ(FindMonitor(M, Long)->lbHeader->text(), Long);
    EXPECT_EQ(Main->lbHeader->text(), QStringLiteral("127.0.0.1"));
    QToolTip::hideText();
}

TEST_F(MainWindowTest, TheListHeaderShowsTheSortColumnAndDirection) {
    TfrmMain& M = Open();
    M.Core().AddMonitor(QStringLiteral("127.0.0.1"));
    M.Core().AddMonitor(QStringLiteral("127.0.0.2"));
    ClickButton(M, "btnToggleView");
    QHeaderView* Header = Control<QTreeView>(M, "lvPingers")->header();
    ASSERT_TRUE(Header->isVisible());
    EXPECT_TRUE(Header->isSortIndicatorShown());
    const auto Indicator = [Header] {
        return std::pair(Header->sortIndicatorSection(), Header->sortIndicatorOrder());
    };
    EXPECT_EQ(Indicator(), std::pair(0, Qt::AscendingOrder)) << "by Host Name at start";
    const auto Click = [Header](int Column) {
        const QPoint At(Header->sectionViewportPosition(Column) + Header->sectionSize(Column) / 2,
                        Header->height() / 2);
        QTest::mouseClick(Header->viewport(), Qt::LeftButton, Qt::NoModifier, At);
    };
    struct TStep {
        int Clicked;
        int Column;
        Qt::SortOrder Order;
    } Steps[] = {
        {0, 0, Qt::DescendingOrder}, {3, 3, Qt::AscendingOrder}, {3, 3, Qt::DescendingOrder},
        {5, 5, Qt::AscendingOrder},  {0, 0, Qt::AscendingOrder},
    };
    for (const TStep& Step : Steps) {
        SCOPED_TRACE(Step.Clicked);
        Click(Step.Clicked);
        EXPECT_EQ(Indicator(), std::pair(Step.Column, Step.Order));
        EXPECT_EQ(M.ListModel()->SortColumn(), Step.Column);
        EXPECT_EQ(M.ListModel()->SortDescending(), Step.Order == Qt::DescendingOrder);
    }
}

TEST_F(MainWindowTest, TheTargetBoxKeepsTheTargetSelectedSoTheNextOneReplacesIt) {
    TfrmMain& M = Open();
    auto* Target = Control<QLineEdit>(M, "cbTarget");
    Target->setFocus();
    for (const QString& Typed : {QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")}) {
        QTest::keyClicks(Target, Typed);
        QTest::keyClick(Target, Qt::Key_Return);
        EXPECT_EQ(Target->text(), Typed);
        EXPECT_EQ(Target->selectedText(), Typed);
    }
    EXPECT_EQ(M.Hub().Targets(),
              (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")}));
    // Enter alone repeats the target: here, one already running.
    TzsMessageBox::TakeShown();
    QTest::keyClick(Target, Qt::Key_Return);
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_EQ(Shown.first().Text,
              QStringLiteral("The specified target is already being monitored."));
    EXPECT_EQ(M.Hub().Count(), 2);
}

TEST_F(MainWindowTest, AClickedTileTakesTheFocusAndTheTargetBoxGetsItBackAfterABusyPhase) {
    TfrmMain& M = Open();
    M.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&M));
    for (const char* T : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        M.Core().AddMonitor(QString::fromLatin1(T));
    }
    auto* Target = Control<QLineEdit>(M, "cbTarget");
    Target->setFocus();
    TfrmPinger* Tile = FindMonitor(M, QStringLiteral("127.0.0.3"));
    ASSERT_EQ(Tile->parentWidget(), Control<QWidget>(M, "PanelRight"));
    QTest::mouseClick(Tile->Image32, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    ASSERT_EQ(MainPanelMonitor(M), Tile);
    EXPECT_TRUE(Tile->hasFocus());
    // So Esc closes it at once; the main panel goes to the first in target order.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(M.Hub().Targets(),
              (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")}));

    // A busy phase takes the focus from the Target box and gives it back.
    Target->setFocus();
    M.Core().EnableControls(false);
    EXPECT_FALSE(Target->hasFocus());
    M.Core().EnableControls(true);
    EXPECT_TRUE(Target->hasFocus());
    EXPECT_FALSE(Control<QWidget>(M, "btnZephraSoftware")->hasFocus());
}

// At the narrowest window every shown control of the toolbar stands apart from the others and
// inside the toolbar, the brand whole; the two boxes gave up width. At the design width they
// have their own.
TEST_F(MainWindowTest, NoToolbarControlsOverlapAtTheNarrowestWindow) {
    TfrmMain& M = Open();
    auto* Toolbar = Control<QWidget>(M, "PanelToolbar");
    auto* Target = Control<QLineEdit>(M, "cbTarget");
    auto* Groups = Control<QComboBox>(M, "cbGroups");
    EXPECT_EQ(Target->width(), 121);
    EXPECT_EQ(Groups->width(), 129);

    M.resize(TfrmMain::MinWidth, TfrmMain::MinHeight);
    QApplication::processEvents();
    ASSERT_EQ(M.width(), 833);
    std::vector<QWidget*> Shown;
    for (QWidget* W : Toolbar->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (W->isVisibleTo(Toolbar)) {
            Shown.push_back(W);
        }
    }
    EXPECT_GE(Shown.size(), 20u);
    for (std::size_t I = 0; I < Shown.size(); ++I) {
        SCOPED_TRACE(Shown[I]->objectName().toStdString());
        EXPECT_TRUE(Toolbar->rect().contains(Shown[I]->geometry()));
        if (Shown[I] != Target && Shown[I] != Groups) {
            EXPECT_GE(Shown[I]->width(), Shown[I]->minimumSizeHint().width()) << "cut";
        }
        for (std::size_t J = I + 1; J < Shown.size(); ++J) {
            EXPECT_FALSE(Shown[I]->geometry().intersects(Shown[J]->geometry()))
                << "and " << Shown[J]->objectName().toStdString();
        }
    }
    auto* Brand = Control<QLabel>(M, "lbZephraSoftware");
    EXPECT_GE(Brand->width(), Brand->sizeHint().width());
    EXPECT_LT(Target->width() + Groups->width(), 121 + 129);
    EXPECT_GE(Target->width(), TMainToolbar::MinBoxWidth);
    EXPECT_GE(Groups->width(), TMainToolbar::MinBoxWidth);
}

// A warning while a group opens finds the monitors started before it laid out: one in the main
// panel, the others as tiles, all shown, and the list sorted.
TEST_F(MainWindowTest, AnOpeningGroupShowsWhatHasStartedBeforeItWarns) {
    WriteConfig("[COMMON]\r\nDefaultGroup=G\r\n[GROUPS]\r\n0=G\r\n"
                "[G]\r\n0=b\r\n1=a\r\n2=c\r\n3=B\r\n4=d\r\n");
    int Boxes = 0;
    TzsMessageBox::SetOnShown([&](const TzsMessageBox::TShown& Box) {
        ++Boxes;
        EXPECT_EQ(Box.Text, QStringLiteral("The specified target is already being monitored."));
        TfrmMain& M = *Main;
        EXPECT_EQ(M.Hub().Targets(),
                  (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
        auto* MainPanel = Control<QWidget>(M, "PanelLeft");
        auto* Tiles = Control<QWidget>(M, "PanelRight");
        for (int I = 0; I < M.Hub().Count(); ++I) {
            TfrmPinger* Mon = MonitorAt(M, I);
            SCOPED_TRACE(M.Hub().Targets()[I].toStdString());
            EXPECT_TRUE(Mon->isVisible());
            if (Mon == MainPanelMonitor(M)) {
                EXPECT_EQ(Mon->parentWidget(), MainPanel);
                EXPECT_EQ(Mon->geometry(), MainPanel->rect());
            } else {
                EXPECT_EQ(Mon->parentWidget(), Tiles);
                EXPECT_TRUE(Tiles->rect().contains(Mon->geometry()));
            }
        }
        EXPECT_GT(MainPanel->width(), 0);
        // The list is sorted by Host Name already.
        ASSERT_EQ(M.ListModel()->rowCount(), 3);
        for (int Row = 0; Row < 3; ++Row) {
            EXPECT_EQ(M.ListModel()->index(Row, 0).data().toString(), QString(QChar(u'a' + Row)));
        }
    });
    TfrmMain& M = Open();
    EXPECT_EQ(Boxes, 1);
    EXPECT_EQ(M.Hub().Count(), 4);
}

} // namespace

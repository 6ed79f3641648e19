// The main window in daily use: long names readable in the tiles and the list, and the list's
// header showing how it is sorted.
#include "main_window_fixture.h"
#include "uMonitorListModel.h"

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
        M.AddMonitor(Target);
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
        TfrmPinger* Tile = M.FindMonitor(Case.Target);
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
    TfrmPinger* Main = M.FindMonitor(QStringLiteral("127.0.0.1"));
    M.MoveToMainPanel(M.FindMonitor(Long));
    EXPECT_EQ(M.FindMonitor(Long)->lbHeader->text(), Long);
    EXPECT_EQ(Main->lbHeader->text(), QStringLiteral("127.0.0.1"));
    QToolTip::hideText();
}

TEST_F(MainWindowTest, TheListHeaderShowsTheSortColumnAndDirection) {
    TfrmMain& M = Open();
    M.AddMonitor(QStringLiteral("127.0.0.1"));
    M.AddMonitor(QStringLiteral("127.0.0.2"));
    M.ToggleView();
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

} // namespace

// The About window: the release history tree built from VersionHistory.txt, the caption it
// copies, its links and keys, and a rendering (about.png in the test-output folder).
#include "About.h"
#include "uZephraTools.h"
#include "zsImageButton.h"
#include "zsImageList.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>

namespace {

// The tree as text: one line per node, indented two blanks per level.
void DumpItem(const QTreeWidgetItem* Item, int Level, QStringList& Out) {
    Out.append(QString(2 * Level, u' ') + Item->text(0));
    for (int I = 0; I < Item->childCount(); ++I) {
        DumpItem(Item->child(I), Level + 1, Out);
    }
}

QString Dump(const QTreeWidget& Tree) {
    QStringList Out;
    for (int I = 0; I < Tree.topLevelItemCount(); ++I) {
        DumpItem(Tree.topLevelItem(I), 0, Out);
    }
    return Out.join(u'\n');
}

QString SourceHistoryFile() {
    return QFileInfo(QStringLiteral(__FILE__))
        .absoluteDir()
        .filePath(QStringLiteral("../../resources/VersionHistory.txt"));
}

class AboutTest : public ::testing::Test {
protected:
    AboutTest() {
        TzsMessageBox::SetTestMode(true);
        PreviousOpener = SetWebAddressOpener([this](const QString& A) { Opened.append(A); });
    }
    ~AboutTest() override {
        SetWebAddressOpener(PreviousOpener);
        TzsMessageBox::SetTestMode(false);
        TBorderlessFrame::SetMainWindow(nullptr);
    }

    QString WriteHistory(const QByteArray& Text) {
        const QString Path = Dir.filePath(QStringLiteral("VersionHistory.txt"));
        QFile File(Path);
        EXPECT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
        File.write(Text);
        return Path;
    }
    std::unique_ptr<TfrmAbout> Make(const QString& HistoryFile) {
        return std::make_unique<TfrmAbout>(nullptr, QStringLiteral("Vantorel : 9.8.7.6 - credit"),
                                           HistoryFile);
    }
    // The window as the user first sees it: the history is read at the first showing.
    std::unique_ptr<TfrmAbout> Shown(const QString& HistoryFile) {
        auto About = Make(HistoryFile);
        About->ShowAbout();
        return About;
    }
    QString TreeOf(const QByteArray& Text) {
        return Dump(*Shown(WriteHistory(Text))->VersionTreeView);
    }

    QTemporaryDir Dir;
    QStringList Opened;
    TWebAddressOpener PreviousOpener;
};

TEST_F(AboutTest, TagLinesBuildTheTree) {
    struct TCase {
        const char* Name;
        const char* File;
        const char* Tree;
    } Cases[] = {
        {"the worked example",
         "<Ver> 3.1\r\n<Date> June 2005\r\n<Enh> Faster start\r\n<Sub> groups open in parallel\r\n"
         "<Fix> Crash on exit\r\n",
         "Version : 3.1 - June 2005\n  Enhancements\n    Faster start\n      groups open in "
         "parallel\n  Fixes\n    Crash on exit"},
        {"tags in any letter case, every occurrence removed",
         "<VER>2\n<date>May\n<eNH>a <ENH>b\n<wip> w\n<NOTE>n\n<issue>i\n<fIx>f\n<sUb>s",
         "Version : 2 - May\n  Enhancements\n    a b\n  Work in Progress\n    w\n  Notes\n    n\n"
         "  Known Issues\n    i\n  Fixes\n    f\n      s"},
        {"<Fix> and <Enh> on one line are an enhancement that keeps <Fix>",
         "<Ver>1\n<Fix> <Enh> one\n<Enh>two <fix>",
         "Version : 1\n  Enhancements\n    <Fix>  one\n    two <fix>"},
        {"two dates extend one caption", "<Ver>1\n<Date>a\n<Date>b", "Version : 1 - a - b"},
        {"each version has its own sections", "<Ver>1\n<Issue>old\n<Fix>x\n<Ver>2\n<Issue>new",
         "Version : 1\n  Known Issues\n    old\n  Fixes\n    x\nVersion : 2\n  Known Issues\n"
         "    new"},
        {"<Sub> before any item is a top-level node; after <Ver> it joins the previous item",
         "<Sub>lonely\n<Ver>1\n<Note>n\n<Ver>2\n<Sub>late\n<Sub>later",
         "lonely\nVersion : 1\n  Notes\n    n\n      late\n      later\nVersion : 2"},
        {"sections before the first version are top-level and shared",
         "<Note>a\n<Fix>f\n<Note>b\n<Ver>1\n<Note>c",
         "Notes\n  a\n  b\nFixes\n  f\nVersion : 1\n  Notes\n    c"},
        {"a <Date> before any version ends the loading",
         "<Note>kept\n<Date>1999\n<Ver>1\n<Note>lost", "Notes\n  kept"},
        {"untagged and blank lines are comments; a bare tag gives an empty item",
         "History\n\n  <Ver>  1  \nfree text\n\t<Enh>\t\n<Enh> x",
         "Version : 1\n  Enhancements\n"
         "    \n    x"},
        {"CR, LF and CR LF end lines; NUL ends the text",
         "<Ver>1\r<Note>a\n<Note>b\r\n<Note>c\r\n\r<Note>d",
         "Version : 1\n  Notes\n    a\n    b\n"
         "    c\n    d"},
        {"the tag is found anywhere in the line", "x <Ver> y\nz<Enh>",
         "Version : x  y\n  "
         "Enhancements\n    z"},
        {"an empty file", "", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(TreeOf(QByteArray(Case.File)), QString::fromUtf8(Case.Tree));
    }
    EXPECT_EQ(TreeOf(QByteArray("<Ver>1\n<Note>a\0<Note>b", 22)),
              QStringLiteral("Version : 1\n  Notes\n    a"));
    // Text that is not UTF-8 is taken byte for byte as Latin-1; UTF-8 as UTF-8.
    EXPECT_EQ(TreeOf("<Ver>Caf\xe9"), QStringLiteral("Version : Caf\u00e9"));
    EXPECT_EQ(TreeOf("\xef\xbb\xbf<Ver>Caf\xc3\xa9"), QStringLiteral("Version : Caf\u00e9"));
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(AboutTest, MissingOrUnreadableHistoryGivesAnEmptyTreeAndNoMessage) {
    const auto About = Shown(Dir.filePath(QStringLiteral("VersionHistory.txt")));
    EXPECT_EQ(About->VersionTreeView->topLevelItemCount(), 0);
    const auto OnAFolder = Shown(Dir.path());
    EXPECT_EQ(OnAFolder->VersionTreeView->topLevelItemCount(), 0);
    // A pipe is not read at all: opening it would wait for a writer that never comes.
    const QString Pipe = Dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(mkfifo(QFile::encodeName(Pipe).constData(), 0600), 0);
    const auto OnAPipe = Shown(Pipe);
    EXPECT_EQ(OnAPipe->VersionTreeView->topLevelItemCount(), 0);
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
    EXPECT_EQ(About->lbCaption->text(), QStringLiteral("Vantorel : 9.8.7.6 - credit"));
}

TEST_F(AboutTest, TheFileIsReadAtTheFirstShowingOnly) {
    const QString Path = WriteHistory("<Ver>1");
    const auto About = Make(Path);
    EXPECT_EQ(About->VersionTreeView->topLevelItemCount(), 0) << "nothing is read at start-up";
    WriteHistory("<Ver>2");
    About->ShowAbout();
    EXPECT_EQ(Dump(*About->VersionTreeView), QStringLiteral("Version : 2"));
    WriteHistory("<Ver>3");
    About->close();
    About->ShowAbout();
    EXPECT_EQ(Dump(*About->VersionTreeView), QStringLiteral("Version : 2"));
}

TEST_F(AboutTest, ReadingStopsAtTheLimitOnALineEnd) {
    struct TCase {
        const char* Name;
        QByteArray File;
        qint64 Limit;
        QByteArray Read;
        bool Cut;
    };
    const TCase Cases[] = {
        {"shorter than the limit", "<Ver>1\n<Ver>2", 20, "<Ver>1\n<Ver>2", false},
        {"exactly the limit", "<Ver>1\n<Ver>2", 13, "<Ver>1\n<Ver>2", false},
        {"one byte over: the broken last line goes", "<Ver>1\n<Ver>2", 12, "<Ver>1\n", true},
        {"a line end at the limit is kept", "<Ver>1\n<Ver>2", 7, "<Ver>1\n", true},
        {"CR LF split by the limit keeps the CR", "<Ver>1\r\n<Ver>2", 7, "<Ver>1\r", true},
        {"no line end within the limit: nothing", "<Ver>12345", 4, "", true},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        bool Cut = !Case.Cut;
        EXPECT_EQ(ReadVersionHistoryText(WriteHistory(Case.File), Case.Limit, Cut), Case.Read);
        EXPECT_EQ(Cut, Case.Cut);
    }
}

TEST_F(AboutTest, AHugeHistoryShowsItsFirstPartAndSaysItIsCut) {
    QByteArray Text;
    for (int Version = 1; Text.size() <= VersionHistoryReadLimit; ++Version) {
        Text += "<Ver>" + QByteArray::number(Version) + "\r\n<Date>1 May\r\n<Enh>item\r\n";
    }
    const auto About = Shown(WriteHistory(Text));
    const QTreeWidget& Tree = *About->VersionTreeView;
    // The tree is that of the file's whole lines within the limit, then the note.
    const QByteArray Kept = Text.left(Text.lastIndexOf('\n', VersionHistoryReadLimit - 1) + 1);
    EXPECT_EQ(Dump(Tree), TreeOf(Kept) + u'\n' + VersionHistoryCutNote());
}

TEST_F(AboutTest, ShippedHistoryStartsWithThisVersionAndEveryVersionIsDated) {
    const auto About = Shown(SourceHistoryFile());
    const QTreeWidget& Tree = *About->VersionTreeView;
    ASSERT_GT(Tree.topLevelItemCount(), 1);
    EXPECT_TRUE(Tree.topLevelItem(0)->text(0).startsWith(
        QStringLiteral("Version : " VANTOREL_VERSION_TEXT " - ")))
        << Tree.topLevelItem(0)->text(0).toStdString();
    static const QRegularExpression Dated(QStringLiteral("^Version : [0-9.]+ - .+$"));
    for (int I = 0; I < Tree.topLevelItemCount(); ++I) {
        const QTreeWidgetItem* Version = Tree.topLevelItem(I);
        SCOPED_TRACE(Version->text(0).toStdString());
        EXPECT_TRUE(Dated.match(Version->text(0)).hasMatch());
        EXPECT_GT(Version->childCount(), 0);
        EXPECT_FALSE(Version->isExpanded());
    }
}

TEST_F(AboutTest, HistoryIsFoundBesideTheProgramOrInItsInstalledDataFolder) {
    const QString Bin = Dir.filePath(QStringLiteral("prefix/bin"));
    const QString Data = Dir.filePath(QStringLiteral("prefix/share/vantorel"));
    ASSERT_TRUE(QDir().mkpath(Bin) && QDir().mkpath(Data));
    const QString Beside = Bin + QStringLiteral("/VersionHistory.txt");
    const QString Installed = Data + QStringLiteral("/VersionHistory.txt");

    EXPECT_EQ(VersionHistoryFile(Bin), Beside) << "neither: the place beside the program";
    QFile(Installed).open(QIODevice::WriteOnly);
    EXPECT_EQ(QFileInfo(VersionHistoryFile(Bin)).canonicalFilePath(),
              QFileInfo(Installed).canonicalFilePath());
    QFile(Beside).open(QIODevice::WriteOnly);
    EXPECT_EQ(VersionHistoryFile(Bin), Beside);
}

TEST_F(AboutTest, WindowShapeAndCaptions) {
    const auto About = Shown(WriteHistory("<Ver>1\n<Note>n"));
    EXPECT_EQ(About->windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(About->lbHeader->text(), QStringLiteral("About"));
    EXPECT_EQ(About->size(), QSize(544, 540));
    EXPECT_EQ(About->minimumSize(), QSize(544, 540));
    EXPECT_TRUE(About->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(About->isModal());
    EXPECT_EQ(About->lbProductName->text(), QStringLiteral("Vantorel"));
    EXPECT_EQ(About->lblPurchase->text(), ZephraSoftwareWebAddress());
    EXPECT_EQ(About->lblProductLink->text(), VantorelWebAddress());
    EXPECT_FALSE(About->VersionTreeView->topLevelItem(0)->isExpanded());
    EXPECT_EQ(About->VersionTreeView->indentation(), 19);
}

TEST_F(AboutTest, LinksAreDrawnInTheirColours) {
    const auto About = Shown(QString());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(About.get()));
    // The text's colour at full strength, as its underline is drawn; no pixel of any other.
    const auto Inks = [&About](QLabel* Link) {
        const QImage Shot =
            About->grab(QRect(Link->mapTo(About.get(), QPoint()), Link->size())).toImage();
        QSet<QRgb> Seen;
        for (int Y = 0; Y < Shot.height(); ++Y) {
            for (int X = 0; X < Shot.width(); ++X) {
                Seen.insert(Shot.pixel(X, Y));
            }
        }
        return Seen;
    };
    const QSet<QRgb> Purchase = Inks(About->lblPurchase);
    EXPECT_TRUE(Purchase.contains(qRgb(0, 0, 255)));
    EXPECT_FALSE(Purchase.contains(qRgb(0, 0, 0))) << "drawn in the band's black";
    const QSet<QRgb> Product = Inks(About->lblProductLink);
    EXPECT_TRUE(Product.contains(qRgb(255, 255, 255)));
}

TEST_F(AboutTest, LinksOpenTheirOwnTextByMouseOrKeyboard) {
    const auto About = Make(QString());
    About->ShowAbout();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(About.get()));
    QTest::mouseClick(About->lblPurchase, Qt::LeftButton, {}, About->lblPurchase->rect().center());
    QTest::mouseClick(About->lblProductLink, Qt::LeftButton);
    QTest::mouseClick(About->lblProductLink, Qt::RightButton);
    About->lblProductLink->setFocus();
    QTest::keyClick(About->lblProductLink, Qt::Key_Return);
    EXPECT_EQ(Opened, (QStringList{ZephraSoftwareWebAddress(), VantorelWebAddress(),
                                   VantorelWebAddress()}));
    EXPECT_TRUE(About->isVisible()) << "opening a link leaves the window open";
}

TEST_F(AboutTest, EscEnterTheCloseButtonAndAnotherProgramWindowHideIt) {
    const auto About = Make(QString());
    QWidget Other;
    Other.resize(100, 100);
    Other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Other));
    const auto Open = [&] {
        About->ShowAbout();
        return QTest::qWaitForWindowActive(About.get());
    };

    ASSERT_TRUE(Open());
    QTest::keyClick(About.get(), Qt::Key_Escape);
    EXPECT_FALSE(About->isVisible());
    ASSERT_TRUE(Open());
    QTest::keyClick(About->VersionTreeView, Qt::Key_Enter);
    EXPECT_FALSE(About->isVisible());
    ASSERT_TRUE(Open());
    QTest::mouseClick(About->btnClose, Qt::LeftButton);
    EXPECT_FALSE(About->isVisible());

    ASSERT_TRUE(Open());
    // Focus leaving the program (no window of it active) keeps the window open.
    emit qGuiApp->focusWindowChanged(nullptr);
    EXPECT_TRUE(About->isVisible());
    Other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Other));
    EXPECT_FALSE(About->isVisible());
}

TEST_F(AboutTest, FirstShowingCentresOverTheMainWindowLaterOnesStay) {
    QWidget Main;
    Main.setGeometry(100, 80, 1050, 700);
    Main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Main));
    TBorderlessFrame::SetMainWindow(&Main);
    const auto About = Make(QString());
    About->ShowAbout();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(About.get()));
    const QRect Screen = Main.screen()->availableGeometry();
    EXPECT_EQ(About->pos(), CenteredOnMainWindow(Main.frameGeometry(), About->frameSize(), Screen));
    About->close();
    About->move(5, 6);
    About->ShowAbout();
    EXPECT_EQ(About->pos(), QPoint(5, 6));
}

TEST_F(AboutTest, RenderingForALookByEye) {
    TSharedImageLists Lists;
    TfrmAbout About(&Lists,
                    QStringLiteral("Vantorel : " VANTOREL_VERSION_TEXT " - Zephra Software"),
                    SourceHistoryFile());
    About.ShowAbout();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&About));
    QTreeWidget& Tree = *About.VersionTreeView;
    ASSERT_GT(Tree.topLevelItemCount(), 0);
    Tree.expandItem(Tree.topLevelItem(0));
    for (int I = 0; I < Tree.topLevelItem(0)->childCount(); ++I) {
        Tree.expandItem(Tree.topLevelItem(0)->child(I));
    }
    QApplication::processEvents();
    const QImage Shot = About.grab().toImage();
    QDir().mkpath(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR));
    ASSERT_TRUE(Shot.save(QStringLiteral(VANTOREL_TEST_OUTPUT_DIR "/about.png")));
    // The bands in their colours: red top and bottom, light grey middle band.
    EXPECT_EQ(Shot.pixel(540, 60), qRgb(155, 0, 0));
    EXPECT_EQ(Shot.pixel(300, 28 + 137 + 3), qRgb(239, 239, 239));
    EXPECT_EQ(Shot.pixel(5, 535), qRgb(155, 0, 0));
}

} // namespace

// Groups in the main window: opening, switching, creating and deleting, checked against
// config.ini.
#include "main_window_fixture.h"
#include "uFrmNewGroup.h"
#include "zsImageButton.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QThread>

namespace {

class GroupsTest : public MainWindowTest {
protected:
    // Stores groups A (10.0.0.1, gw) and X (nas) with A as the default group, then opens.
    TfrmMain& OpenWithGroups() {
        const QString Folder = Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel");
        EXPECT_TRUE(QDir().mkpath(Folder));
        EXPECT_TRUE(WriteWholeFile(Folder + QStringLiteral("/config.ini"),
                                   "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=a\r\n"
                                   "[GROUPS]\r\n0=A\r\n1=X\r\n"
                                   "[A]\r\n0=10.0.0.1\r\n1=gw\r\n"
                                   "[X]\r\n0=nas\r\n"));
        return Open();
    }
    QStringList Items() const { return BoxItems(*Main); }
};

TEST_F(GroupsTest, FirstStartHoldsTheDefaultGroupWhichIsStoredWhenSaved) {
    TfrmMain& M = Open();
    EXPECT_EQ(Items(), QStringList{QStringLiteral("Default Group")});
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("Default Group"));
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("Default Group"));
    Control<QLineEdit>(M, "cbTarget")->setText(QStringLiteral("localhost"));
    ClickButton(M, "btnNewPinger");
    EXPECT_TRUE(ConfigText().contains("[GROUPS]\r\n0=Default Group\r\n"));
    EXPECT_TRUE(ConfigText().contains("[Default Group]\r\n0=localhost\r\n"));
}

TEST_F(GroupsTest, DefaultGroupOpensWithProgressAndSwitchingBackRestartsItsTargets) {
    TfrmMain& M = OpenWithGroups();
    // The stored name matches without regard to case; the box's spelling is opened.
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("A"));
    EXPECT_EQ(M.Hub().Targets(), (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw")}));
    EXPECT_EQ(Control<QProgressBar>(M, "ProgressBar")->maximum(), 2);
    EXPECT_EQ(Control<QProgressBar>(M, "ProgressBar")->value(), 2);
    EXPECT_FALSE(Control<QProgressBar>(M, "ProgressBar")->isVisible());

    // Choosing the open group again does nothing.
    TfrmPinger* Gw = FindMonitor(M, QStringLiteral("gw"));
    ChooseShownGroup(M);
    EXPECT_EQ(FindMonitor(M, QStringLiteral("gw")), Gw);

    Control<QLineEdit>(M, "cbTarget")->setText(QStringLiteral("printer"));
    ClickButton(M, "btnNewPinger");
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(1);
    ChooseShownGroup(M);
    EXPECT_EQ(M.Hub().Targets(), QStringList{QStringLiteral("nas")});
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(0);
    ChooseShownGroup(M);
    EXPECT_EQ(M.Hub().Targets(), (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw"),
                                              QStringLiteral("printer")}));
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(GroupsTest, RepeatedStoredTargetsStartOnceWithAWarningEach) {
    const QString Folder = Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel");
    ASSERT_TRUE(QDir().mkpath(Folder));
    ASSERT_TRUE(WriteWholeFile(Folder + QStringLiteral("/config.ini"),
                               "[COMMON]\r\nDefaultGroup=A\r\n[GROUPS]\r\n0=A\r\n"
                               "[A]\r\n0=gw\r\n1=GW\r\n2=gw\r\n3= \r\n"));
    TfrmMain& M = Open();
    EXPECT_EQ(M.Hub().Targets(), QStringList{QStringLiteral("gw")});
    EXPECT_EQ(TzsMessageBox::TakeShown().size(), 2);
}

TEST_F(GroupsTest, CreatingAGroupStoresTheOpenOneAndOpensTheNewEmptyGroup) {
    TfrmMain& M = OpenWithGroups();
    TfrmNewGroup NewGroup(&M.ImageLists());
    M.SetDialogs(nullptr, &NewGroup);
    // The dialog answers with the name typed, or is cancelled.
    std::optional<QString> Answer = QStringLiteral("N");
    M.SetModalRunner([&](QDialog&) {
        NewGroup.cbNewGroup->setText(Answer.value_or(QString()));
        return Answer ? QDialog::Accepted : QDialog::Rejected;
    });
    M.Core().AddMonitor(QStringLiteral("extra")); // not yet stored with A
    ClickButton(M, "btnAddGroup");
    EXPECT_EQ(Items(),
              (QStringList{QStringLiteral("A"), QStringLiteral("N"), QStringLiteral("X")}));
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("N"));
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("N"));
    EXPECT_EQ(M.Hub().Count(), 0);
    const QByteArray Text = ConfigText();
    EXPECT_TRUE(Text.contains("[A]\r\n0=10.0.0.1\r\n1=extra\r\n2=gw\r\n"));
    EXPECT_TRUE(Text.contains("[GROUPS]\r\n0=A\r\n1=N\r\n2=X\r\n"));
    EXPECT_FALSE(Text.contains("[N]"));

    // A cancelled dialog creates nothing.
    Answer.reset();
    ClickButton(M, "btnAddGroup");
    EXPECT_EQ(Items().size(), 3);
}

TEST_F(GroupsTest, DeletingAGroupNeedsAnotherAndAYes) {
    TfrmMain& M = OpenWithGroups();
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(1);
    ChooseShownGroup(M);
    ASSERT_EQ(M.Core().Groups().Current(), QStringLiteral("X"));

    for (const auto Answer : {QMessageBox::No, QMessageBox::Cancel}) {
        TzsMessageBox::SetNextAnswer(Answer);
        ClickButton(M, "btnDeleteGroup");
        EXPECT_EQ(Items().size(), 2);
        EXPECT_EQ(M.Hub().Targets(), QStringList{QStringLiteral("nas")});
    }
    const auto Asked = TzsMessageBox::TakeShown();
    ASSERT_EQ(Asked.size(), 2);
    EXPECT_EQ(Asked[0].Text, QStringLiteral("Are you sure you want to delete the \"X\" group?"));

    TzsMessageBox::SetNextAnswer(QMessageBox::Yes);
    ClickButton(M, "btnDeleteGroup");
    EXPECT_EQ(Items(), QStringList{QStringLiteral("A")});
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("A"));
    EXPECT_EQ(M.Hub().Targets(), (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw")}));
    const QByteArray Text = ConfigText();
    EXPECT_FALSE(Text.contains("[X]"));
    EXPECT_TRUE(Text.contains("[GROUPS]\r\n0=A\r\n["));

    TzsMessageBox::TakeShown();
    ClickButton(M, "btnDeleteGroup");
    const auto Refused = TzsMessageBox::TakeShown();
    ASSERT_EQ(Refused.size(), 1);
    EXPECT_EQ(Refused[0].Text, QStringLiteral("There must be atleast one group.  Please create a "
                                              "new group before delting this one."));
    EXPECT_EQ(Items(), QStringList{QStringLiteral("A")});
}

} // namespace

namespace {

// A close that arrives while a large group opens ends the opening within a slice of work: the
// window saves and goes without starting the rest, and the group's stored targets stay whole.
TEST_F(GroupsTest, ClosingTheWindowWhileAGroupOpensEndsTheOpeningAndKeepsTheGroup) {
    constexpr int Count = 400;
    const QString Folder = Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel");
    ASSERT_TRUE(QDir().mkpath(Folder));
    QByteArray Text = "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=X\r\n"
                      "[GROUPS]\r\n0=A\r\n1=X\r\n[X]\r\n0=nas\r\n[A]\r\n";
    QByteArray Stored;
    for (int I = 0; I < Count; ++I) {
        Stored += QByteArray::number(I) + "=host" + QByteArray::number(1000 + I) + "\r\n";
    }
    ASSERT_TRUE(WriteWholeFile(Folder + QStringLiteral("/config.ini"), Text + Stored));
    TfrmMain& M = Open();
    ASSERT_EQ(M.Core().Groups().Current(), QStringLiteral("X"));
    // The close arrives once A's first monitor has started; each monitor takes a moment, so
    // the opening runs over many slices.
    int Started = 0;
    M.Hub().SetSessionFactory([this, &M, &Started] {
        if (Started++ == 0) {
            QMetaObject::invokeMethod(&M, &QWidget::close, Qt::QueuedConnection);
        }
        QThread::usleep(500);
        auto Mon = std::make_unique<TPingerSession>(Clock);
        Loops.Hold(*Mon);
        return Mon;
    });
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(0);
    ChooseShownGroup(M);
    QTRY_VERIFY(!M.isVisible());
    EXPECT_LT(Started, Count / 2);
    EXPECT_EQ(M.Hub().Count(), 0);
    // Neither group was saved with a half-loaded list; A is opened again at the next start.
    const QByteArray Saved = ConfigText();
    EXPECT_TRUE(Saved.contains("[A]\r\n" + Stored)) << Saved.toStdString();
    EXPECT_TRUE(Saved.contains("[X]\r\n0=nas\r\n")) << Saved.toStdString();
    EXPECT_TRUE(Saved.contains("DefaultGroup=A"));
}

} // namespace

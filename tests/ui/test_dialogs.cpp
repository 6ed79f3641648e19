// The friendly names and new group dialogs driven by keyboard and mouse under the offscreen
// platform; message boxes are answered through the message box seam.
#include "uFrmFriendlyNames.h"
#include "uFrmNewGroup.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using TRows = std::vector<std::pair<std::string, std::string>>;

class MessageBoxSeam : public ::testing::Test {
protected:
    MessageBoxSeam() { TzsMessageBox::SetTestMode(true); }
    ~MessageBoxSeam() override { TzsMessageBox::SetTestMode(false); }

    // The texts of the boxes shown since the last call.
    static QStringList Shown() {
        QStringList Texts;
        for (const auto& Box : TzsMessageBox::TakeShown()) {
            Texts.append(Box.Text);
        }
        return Texts;
    }
};

class FriendlyNamesTest : public MessageBoxSeam {
protected:
    TRows Rows() const {
        TRows Result;
        for (int I = 0; I < Dialog.lvNames->topLevelItemCount(); ++I) {
            const auto* Row = Dialog.lvNames->topLevelItem(I);
            Result.emplace_back(Row->text(0).toStdString(), Row->text(1).toStdString());
        }
        return Result;
    }
    void Open() {
        Dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    }
    void Type(QLineEdit* Box, const QString& Text) {
        Box->selectAll();
        QTest::keyClick(Box, Qt::Key_Backspace);
        QTest::keyClicks(Box, Text);
    }
    void ClickRow(int Index) {
        const QRect Cell = Dialog.lvNames->visualItemRect(Dialog.lvNames->topLevelItem(Index));
        QTest::mouseClick(Dialog.lvNames->viewport(), Qt::LeftButton, {}, Cell.center());
    }

    TFrmFriendlyNames Dialog{nullptr};
};

TEST_F(FriendlyNamesTest, TextFormRoundTrip) {
    struct TCase {
        const char* Text;
        TRows Rows;
        const char* Back;
    } Cases[] = {
        {"10.0.0.1~Router\r\ngw~Gateway\r\n",
         {{"10.0.0.1", "Router"}, {"gw", "Gateway"}},
         "10.0.0.1~Router\r\ngw~Gateway\r\n"},
        {"no tilde\n\nh~n~x\r h ~ n ",
         {{"", "no tilde"}, {"", ""}, {"h", "n~x"}, {" h ", " n "}},
         "~no tilde\r\n~\r\nh~n~x\r\n h ~ n \r\n"},
        {"", {}, ""},
        // IPv6 hosts: colons, brackets and a zone stay in the host.
        {"fe80::1%eth0~Link\r\n[2001:db8::1]~Web\r\n",
         {{"fe80::1%eth0", "Link"}, {"[2001:db8::1]", "Web"}},
         "fe80::1%eth0~Link\r\n[2001:db8::1]~Web\r\n"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Text);
        Dialog.SetNamesText(QString::fromUtf8(Case.Text));
        EXPECT_EQ(Rows(), Case.Rows);
        EXPECT_EQ(Dialog.GetNamesText(), QString::fromUtf8(Case.Back));
    }
}

TEST_F(FriendlyNamesTest, LookupTakesTheFirstWholeMatchIgnoringCase) {
    Dialog.SetNamesText(QStringLiteral(
        "GW~First\r\ngw~Second\r\ngateway~Third\r\n~Nameless\r\nFE80::A%eth0~Link\r\n"));
    struct TCase {
        const char* Host;
        const char* Name;
    } Cases[] = {{"gW", "First"},          {"GATEWAY", "Third"}, {"g", ""},
                 {"gateway ", ""},         {"gatewayx", ""},     {"", "Nameless"},
                 {"fe80::a%eth0", "Link"}, {"fe80::a", ""}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Host);
        EXPECT_EQ(Dialog.FindFriendlyName(QString::fromUtf8(Case.Host)),
                  QString::fromUtf8(Case.Name));
    }
}

TEST_F(FriendlyNamesTest, AddIsEnabledOnlyWithAHostAndAName) {
    Open();
    EXPECT_TRUE(Dialog.btnAdd->Disabled());
    EXPECT_TRUE(Dialog.btnDelete->Disabled());
    struct TCase {
        const char* Host;
        const char* Name;
        bool Disabled;
    } Cases[] = {{"", "", true},        {"host", "", true},   {"", "name", true},
                 {"   ", "name", true}, {"host", "  ", true}, {" host ", " name ", false},
                 {"h", "n", false}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Host) + "|" + Case.Name);
        Type(Dialog.cbHostNameIP, QString::fromUtf8(Case.Host));
        Type(Dialog.cbFriendlyName, QString::fromUtf8(Case.Name));
        EXPECT_EQ(Dialog.btnAdd->Disabled(), Case.Disabled);
    }
    // Text set by code counts as well, control characters trim like blanks.
    Dialog.cbHostNameIP->setText(QStringLiteral("\t\x01"));
    EXPECT_TRUE(Dialog.btnAdd->Disabled());

    // Enter with Add disabled adds nothing.
    QTest::keyClick(Dialog.cbHostNameIP, Qt::Key_Return);
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(Dialog.isVisible());
}

TEST_F(FriendlyNamesTest, EnterAddsTrimmedRowsAndUpdatesAfterAQuestion) {
    Dialog.SetNamesText(QStringLiteral("Router~Old\r\n"));
    Open();
    Type(Dialog.cbHostNameIP, QStringLiteral("  gw "));
    Type(Dialog.cbFriendlyName, QStringLiteral(" Gateway  "));
    QTest::keyClick(Dialog.cbFriendlyName, Qt::Key_Return);
    EXPECT_EQ(Rows(), (TRows{{"Router", "Old"}, {"gw", "Gateway"}}));
    EXPECT_TRUE(Shown().isEmpty());
    EXPECT_EQ(Dialog.cbHostNameIP->text(), QStringLiteral("  gw ")) << "the boxes keep their text";
    EXPECT_TRUE(Dialog.isVisible());

    Type(Dialog.cbHostNameIP, QStringLiteral(" ROUTER "));
    Type(Dialog.cbFriendlyName, QStringLiteral("New"));
    TzsMessageBox::SetNextAnswer(QMessageBox::No);
    QTest::keyClick(Dialog.cbHostNameIP, Qt::Key_Enter);
    EXPECT_EQ(Shown(), QStringList{QStringLiteral("Update Router?")});
    EXPECT_EQ(Rows(), (TRows{{"Router", "Old"}, {"gw", "Gateway"}}));

    TzsMessageBox::SetNextAnswer(QMessageBox::Yes);
    QTest::mouseClick(Dialog.btnAdd, Qt::LeftButton);
    EXPECT_EQ(Shown(), QStringList{QStringLiteral("Update Router?")});
    EXPECT_EQ(Rows(), (TRows{{"ROUTER", "New"}, {"gw", "Gateway"}}));
}

TEST_F(FriendlyNamesTest, LineBreaksNeverReachTheTable) {
    Open();
    Dialog.cbHostNameIP->setText(QStringLiteral("two\nlines"));
    Dialog.cbFriendlyName->setText(QStringLiteral("a\r\nname\twith tab"));
    Dialog.btnAddClick();
    EXPECT_EQ(Dialog.GetNamesText().count(QStringLiteral("\r\n")), 1);
    EXPECT_EQ(Dialog.GetNamesText().count(u'\n'), 1);
    EXPECT_FALSE(Dialog.GetNamesText().contains(u'\t'));
}

TEST_F(FriendlyNamesTest, SelectingAndDeletingRows) {
    Dialog.SetNamesText(QStringLiteral("a~A\r\nb~B\r\nc~C\r\n"));
    Open();
    ClickRow(1);
    EXPECT_EQ(Dialog.cbHostNameIP->text(), QStringLiteral("b"));
    EXPECT_EQ(Dialog.cbFriendlyName->text(), QStringLiteral("B"));
    EXPECT_FALSE(Dialog.btnAdd->Disabled());
    EXPECT_FALSE(Dialog.btnDelete->Disabled());

    // The keyboard moves the selection too.
    QTest::keyClick(Dialog.lvNames, Qt::Key_Down);
    EXPECT_EQ(Dialog.cbHostNameIP->text(), QStringLiteral("c"));

    TzsMessageBox::SetNextAnswer(QMessageBox::No);
    QTest::mouseClick(Dialog.btnDelete, Qt::LeftButton);
    EXPECT_EQ(Shown(), QStringList{QStringLiteral("Delete c?")});
    EXPECT_EQ(Rows().size(), 3u);

    TzsMessageBox::SetNextAnswer(QMessageBox::Yes);
    QTest::mouseClick(Dialog.btnDelete, Qt::LeftButton);
    EXPECT_EQ(Shown(), QStringList{QStringLiteral("Delete c?")});
    EXPECT_EQ(Rows(), (TRows{{"a", "A"}, {"b", "B"}}));
    EXPECT_FALSE(Dialog.btnDelete->Disabled()) << "Delete stays enabled";
    EXPECT_EQ(Dialog.cbHostNameIP->text(), QStringLiteral("c")) << "the boxes keep their text";

    // Nothing is selected any more, so a second click neither asks nor deletes.
    QTest::mouseClick(Dialog.btnDelete, Qt::LeftButton);
    EXPECT_TRUE(Shown().isEmpty());
    EXPECT_EQ(Rows().size(), 2u);

    // A click below the rows selects nothing and disables Delete.
    QTest::mouseClick(Dialog.lvNames->viewport(), Qt::LeftButton, {},
                      QPoint(10, Dialog.lvNames->viewport()->height() - 5));
    EXPECT_TRUE(Dialog.btnDelete->Disabled());
}

TEST_F(FriendlyNamesTest, ShowingEmptiesTheBoxesAndEndsWithOkOrCancel) {
    Dialog.SetNamesText(QStringLiteral("a~A\r\n"));
    Open();
    ClickRow(0);
    ASSERT_FALSE(Dialog.btnDelete->Disabled());
    QTest::mouseClick(Dialog.btnCancel, Qt::LeftButton);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);

    Open();
    EXPECT_TRUE(Dialog.cbHostNameIP->text().isEmpty());
    EXPECT_TRUE(Dialog.cbFriendlyName->text().isEmpty());
    EXPECT_TRUE(Dialog.btnAdd->Disabled());
    EXPECT_TRUE(Dialog.lvNames->selectedItems().isEmpty());
    EXPECT_FALSE(Dialog.btnDelete->Disabled()) << "Delete keeps the state it had";
    QTest::mouseClick(Dialog.btnOK, Qt::LeftButton);
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);

    Open();
    QTest::mouseClick(Dialog.btnClose, Qt::LeftButton);
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
}

TEST_F(FriendlyNamesTest, HintsFollowTheSwitchExceptTheWebPageButton) {
    Dialog.SetHintsEnabled(false);
    for (QWidget* Control :
         {static_cast<QWidget*>(Dialog.cbHostNameIP), static_cast<QWidget*>(Dialog.cbFriendlyName),
          static_cast<QWidget*>(Dialog.btnDelete), static_cast<QWidget*>(Dialog.btnOK),
          static_cast<QWidget*>(Dialog.btnCancel)}) {
        EXPECT_TRUE(Control->toolTip().isEmpty());
    }
    EXPECT_TRUE(
        Dialog.btnZephraSoftware->toolTip().startsWith(QStringLiteral("Visit Zephra Software (")));
    Dialog.SetHintsEnabled(true);
    EXPECT_EQ(Dialog.cbHostNameIP->toolTip(),
              QStringLiteral("Enter an IP address or DNS name here"));
    EXPECT_EQ(Dialog.btnCancel->toolTip(), QStringLiteral("Exit without saving"));
}

class NewGroupTest : public MessageBoxSeam {
protected:
    NewGroupTest() {
        Dialog.SetGroupNamesSource([] {
            return QStringList{QStringLiteral("Default Group"), QStringLiteral("Servers")};
        });
    }
    void Open() {
        Dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
    }

    TfrmNewGroup Dialog{nullptr};
};

TEST_F(NewGroupTest, RefusesTakenBlankAndUnstorableNames) {
    struct TCase {
        const char* Typed;
        const char* Warning; // empty: accepted
    } Cases[] = {
        {"servers", "The group name already exists."},
        {"DEFAULT GROUP", "The group name already exists."},
        {"", "Please enter a group name."},
        {"    ", "Please enter a group name."},
        {"a]b", "A group name cannot contain [ or ], nor a line break or another control "
                "character."},
        {"[x", "A group name cannot contain [ or ], nor a line break or another control "
               "character."},
        {"Common", "The name COMMON is reserved. Please choose another group name."},
        {"groups", "The name GROUPS is reserved. Please choose another group name."},
        {"FRIENDLYnames", "The name FRIENDLYNAMES is reserved. Please choose another group name."},
        {"Alerts", "The name ALERTS is reserved. Please choose another group name."},
        {"logging", "The name LOGGING is reserved. Please choose another group name."},
        {"Metrics", "The name METRICS is reserved. Please choose another group name."},
        {" Servers ", ""},
        {"Lab", ""},
        {"k=v", ""},
        {"=", ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Typed);
        Open();
        QTest::keyClicks(Dialog.cbNewGroup, QString::fromUtf8(Case.Typed));
        QTest::keyClick(Dialog.cbNewGroup, Qt::Key_Return);
        const QString Warning = QString::fromUtf8(Case.Warning);
        if (Warning.isEmpty()) {
            EXPECT_TRUE(Shown().isEmpty());
            EXPECT_FALSE(Dialog.isVisible());
            EXPECT_EQ(Dialog.result(), QDialog::Accepted);
        } else {
            EXPECT_EQ(Shown(), QStringList{Warning});
            EXPECT_TRUE(Dialog.isVisible());
        }
        EXPECT_EQ(Dialog.cbNewGroup->text(), QString::fromUtf8(Case.Typed))
            << "the name is kept as typed and Enter adds no character";
        Dialog.hide();
    }
}

TEST_F(NewGroupTest, ControlCharactersAreRefused) {
    Open();
    Dialog.cbNewGroup->setText(QStringLiteral("two\nlines"));
    QTest::mouseClick(Dialog.btnAddGroup, Qt::LeftButton);
    ASSERT_EQ(Shown().size(), 1);
    EXPECT_TRUE(Dialog.isVisible());
}

TEST_F(NewGroupTest, NamesOfUnicodeBlanksAreRefusedLikeSpaces) {
    for (const QString& Name :
         {QStringLiteral("\u3000"), QStringLiteral("\u00A0"), QStringLiteral("\u3000 \u00A0\t"),
          QStringLiteral("\u2002\u2009\u205F")}) {
        SCOPED_TRACE(Name.toStdString());
        Open();
        Dialog.cbNewGroup->setText(Name);
        QTest::keyClick(Dialog.cbNewGroup, Qt::Key_Return);
        EXPECT_EQ(Shown(), QStringList{QStringLiteral("Please enter a group name.")});
        EXPECT_TRUE(Dialog.isVisible());
        Dialog.hide();
    }
    Open();
    Dialog.cbNewGroup->setText(QStringLiteral("\u3000Lab"));
    QTest::keyClick(Dialog.cbNewGroup, Qt::Key_Return);
    EXPECT_TRUE(Shown().isEmpty());
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
}

TEST_F(NewGroupTest, OnlyTheButtonsEndTheDialog) {
    Open();
    QTest::keyClicks(Dialog.cbNewGroup, QStringLiteral("Lab"));
    QTest::keyClick(Dialog.cbNewGroup, Qt::Key_Escape);
    QTest::keyClick(&Dialog, Qt::Key_Escape);
    EXPECT_TRUE(Dialog.isVisible());
    QTest::mouseClick(Dialog.btnCancel, Qt::LeftButton);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(Shown().isEmpty());

    Open();
    EXPECT_TRUE(Dialog.cbNewGroup->text().isEmpty()) << "showing empties the box";
}

} // namespace

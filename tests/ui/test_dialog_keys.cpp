// Keyboard use of the friendly names and new group dialogs: Enter answers the default button,
// Esc cancels where nothing else is said, and Tab reaches the picture buttons.
#include "uFrmFriendlyNames.h"
#include "uFrmNewGroup.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class DialogKeysTest : public ::testing::Test {
protected:
    DialogKeysTest() { TzsMessageBox::SetTestMode(true); }
    ~DialogKeysTest() override { TzsMessageBox::SetTestMode(false); }

    static void Open(QDialog& Dialog) {
        Dialog.show();
        Dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Dialog));
    }
    // Presses Key where the keyboard focus is, as the user's key would arrive.
    static void Press(Qt::Key Key) {
        QWidget* Focus = QApplication::focusWidget();
        ASSERT_NE(Focus, nullptr);
        QTest::keyClick(Focus, Key);
    }
};

class FriendlyNamesKeysTest : public DialogKeysTest {
protected:
    TFrmFriendlyNames Dialog{nullptr};
};

TEST_F(FriendlyNamesKeysTest, EnterOutsideTheBoxesIsOkAndEscCancels) {
    Dialog.SetNamesText(QStringLiteral("a~A\r\n"));
    Open(Dialog);
    Dialog.lvNames->setFocus();
    Press(Qt::Key_Return);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);

    Open(Dialog);
    ASSERT_TRUE(Dialog.cbHostNameIP->hasFocus());
    Press(Qt::Key_Escape);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);

    // In a box Enter belongs to Add: with something to add it adds and the dialog stays.
    Open(Dialog);
    QTest::keyClicks(Dialog.cbHostNameIP, QStringLiteral("b"));
    QTest::keyClicks(Dialog.cbFriendlyName, QStringLiteral("B"));
    Press(Qt::Key_Enter);
    EXPECT_TRUE(Dialog.isVisible());
    EXPECT_EQ(Dialog.GetNamesText(), QStringLiteral("a~A\r\nb~B\r\n"));
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(FriendlyNamesKeysTest, TabWalksTheControlsInReadingOrderPastDisabledButtons) {
    Dialog.SetNamesText(QStringLiteral("a~A\r\n"));
    Open(Dialog);
    const auto Walk = [](int Steps) {
        QList<QWidget*> Seen;
        for (int I = 0; I < Steps; ++I) {
            Press(Qt::Key_Tab);
            Seen.append(QApplication::focusWidget());
        }
        return Seen;
    };
    // Add and Delete start disabled, so Tab passes them by.
    EXPECT_EQ(Walk(5), (QList<QWidget*>{Dialog.cbFriendlyName, Dialog.btnZephraSoftware,
                                        Dialog.lvNames, Dialog.btnOK, Dialog.btnCancel}));

    Dialog.cbHostNameIP->setFocus();
    QTest::keyClicks(Dialog.cbHostNameIP, QStringLiteral("h"));
    QTest::keyClicks(Dialog.cbFriendlyName, QStringLiteral("n"));
    Dialog.cbHostNameIP->setFocus();
    EXPECT_EQ(Walk(2), (QList<QWidget*>{Dialog.cbFriendlyName, Dialog.btnAdd}));

    // A focused button answers Enter and Space itself: Add adds, Cancel cancels.
    Press(Qt::Key_Return);
    EXPECT_TRUE(Dialog.isVisible());
    EXPECT_EQ(Dialog.FindFriendlyName(QStringLiteral("h")), QStringLiteral("n"));
    Dialog.btnCancel->setFocus();
    Press(Qt::Key_Space);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
}

class NewGroupKeysTest : public DialogKeysTest {
protected:
    TfrmNewGroup Dialog{nullptr};
};

TEST_F(NewGroupKeysTest, TabReachesBothButtonsWhichAnswerTheKeyboard) {
    Open(Dialog);
    ASSERT_TRUE(Dialog.cbNewGroup->hasFocus());
    QTest::keyClicks(Dialog.cbNewGroup, QStringLiteral("Lab"));
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Dialog.btnAddGroup);
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Dialog.btnCancel);
    // Esc still closes nothing: only the two buttons end this dialog.
    Press(Qt::Key_Escape);
    EXPECT_TRUE(Dialog.isVisible());
    Press(Qt::Key_Return);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);

    Open(Dialog);
    Dialog.btnAddGroup->setFocus();
    Press(Qt::Key_Space); // an empty name is refused as from the mouse
    EXPECT_EQ(TzsMessageBox::TakeShown().size(), 1);
    EXPECT_TRUE(Dialog.isVisible());
    Dialog.cbNewGroup->setText(QStringLiteral("Lab"));
    Dialog.btnAddGroup->setFocus();
    Press(Qt::Key_Enter);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
}

} // namespace

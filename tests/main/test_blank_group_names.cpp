// One rule for group names in the new group dialog and in the store: what the dialog refuses
// as blank the store drops, what the dialog refuses as unstorable the store refuses with the
// same text, and what the dialog accepts the store keeps.
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uFrmNewGroup.h"
#include "zsMessageBox.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class GroupNameRuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        TzsMessageBox::SetTestMode(true);
        Store.PrepareConfigFolder();
        Store.OpenConfig();
    }
    void TearDown() override { TzsMessageBox::SetTestMode(false); }

    // The dialog's answer to a name typed into it: empty when it was accepted.
    QString DialogVerdict(const QString& Name) {
        Dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
        Dialog.cbNewGroup->setText(Name);
        QTest::keyClick(Dialog.cbNewGroup, Qt::Key_Return);
        const auto Shown = TzsMessageBox::TakeShown();
        Dialog.hide();
        return Shown.empty() ? QString() : Shown.front().Text;
    }

    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    TConfigStore Store{Registry};
    TfrmNewGroup Dialog{nullptr};
};

TEST_F(GroupNameRuleTest, DialogAndStoreJudgeNamesAlike) {
    const QString Blank = QStringLiteral("Please enter a group name.");
    const QString Unstorable = QStringLiteral(
        "A group name cannot contain [ or ], nor a line break or another control character.");
    struct TCase {
        QString Name;
        QString Verdict; // the dialog's message; empty when accepted
    } Cases[] = {
        {QString(), Blank},
        {QStringLiteral("   "), Blank},
        {QStringLiteral("\u3000"), Blank},                   // ideographic space
        {QStringLiteral("\u00A0\u00A0"), Blank},             // no-break spaces
        {QStringLiteral(" \u3000\t\u00A0"), Blank},          // mixed, with a control character
        {QStringLiteral("\u2028"), Blank},                   // line separator
        {QStringLiteral("\u0085\u2003\u202F\u205F"), Blank}, // next line and other spaces
        {QStringLiteral("\u3000Lab\u3000"), QString()},
        {QStringLiteral("\u00A0x"), QString()},
        {QStringLiteral("k=v"), QString()},
        {QStringLiteral("a\u2028b"), Unstorable},
        {QStringLiteral("\u3000[x]"), Unstorable},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name.toStdString());
        EXPECT_EQ(DialogVerdict(Case.Name), Case.Verdict);

        Store.WriteNumberedList(QStringLiteral("GROUPS"), {});
        if (Case.Verdict == Unstorable) {
            try {
                Store.SaveGroup(Case.Name, {QStringLiteral("t")});
                ADD_FAILURE() << "the store took it";
            } catch (const EConfigError& Error) {
                EXPECT_EQ(QString::fromStdString(Error.what()), Unstorable);
            }
            continue;
        }
        Store.AddGroupName(Case.Name);
        QStringList Groups;
        Store.LoadGroupList(Groups);
        const QStringList Expected = Case.Verdict.isEmpty()
                                         ? QStringList{Case.Name}
                                         : QStringList{QStringLiteral("Default Group")};
        EXPECT_EQ(Groups, Expected);
    }
}

} // namespace

// The friendly names dialog together with the store, opened the way the main window opens it:
// the table is read afresh from config.ini each time, and only OK writes it back.
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uFrmFriendlyNames.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class FriendlyNamesFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TzsMessageBox::SetTestMode(true);
        Store.PrepareConfigFolder();
        Store.OpenConfig();
        Store.WriteFriendlyNames(QStringLiteral("10.0.0.1~Router\r\ngw~Gateway\r\n"));
    }
    void TearDown() override { TzsMessageBox::SetTestMode(false); }

    // Opens the dialog on the stored table, adds a row and ends with the given button.
    int EditAndEnd(TzsImageButton* Button) {
        Dialog.SetNamesText(Store.ReadFriendlyNames());
        Dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&Dialog));
        QTest::keyClicks(Dialog.cbHostNameIP, QStringLiteral("nas"));
        QTest::keyClicks(Dialog.cbFriendlyName, QStringLiteral("Storage"));
        QTest::keyClick(Dialog.cbFriendlyName, Qt::Key_Return);
        QTest::mouseClick(Button, Qt::LeftButton);
        if (Dialog.result() == QDialog::Accepted) {
            Store.WriteFriendlyNames(Dialog.GetNamesText());
        }
        return Dialog.result();
    }

    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    TConfigStore Store{Registry};
    TFrmFriendlyNames Dialog{nullptr};
};

TEST_F(FriendlyNamesFlowTest, CancelLeavesTheStoredTableAsItWas) {
    const QByteArray Before = ReadWholeFile(Store.FConfigFileName);
    EXPECT_EQ(EditAndEnd(Dialog.btnCancel), QDialog::Rejected);
    EXPECT_EQ(ReadWholeFile(Store.FConfigFileName), Before);
    // Until the next opening the table keeps the cancelled edit; reopening shows the stored one.
    EXPECT_EQ(Dialog.FindFriendlyName(QStringLiteral("NAS")), QStringLiteral("Storage"));
    Dialog.SetNamesText(Store.ReadFriendlyNames());
    EXPECT_EQ(Dialog.FindFriendlyName(QStringLiteral("NAS")), QString());
    EXPECT_EQ(Dialog.GetNamesText(), QStringLiteral("10.0.0.1~Router\r\ngw~Gateway\r\n"));
}

TEST_F(FriendlyNamesFlowTest, OkStoresTheTable) {
    EXPECT_EQ(EditAndEnd(Dialog.btnOK), QDialog::Accepted);
    EXPECT_EQ(ReadWholeFile(Store.FConfigFileName),
              "[FRIENDLYNAMES]\r\n0=10.0.0.1~Router\r\n1=gw~Gateway\r\n2=nas~Storage\r\n");
}

} // namespace

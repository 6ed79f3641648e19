// The main window's life: the first start, what closing saves, errors while it is created and
// first activated, and the export and import of the configuration file.
#include "main_window_fixture.h"
#include "uConfigStore.h"
#include "uFrmFriendlyNames.h"
#include "uStartup.h"
#include "zsFileVer.h"
#include "zsImageButton.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>

#include <filesystem>

#include <sys/stat.h>

namespace {

const QByteArray TwoGroups = "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=A\r\n"
                             "[GROUPS]\r\n0=A\r\n1=B\r\n[A]\r\n0=gw\r\n[B]\r\n0=nas\r\n";

class LifeCycleTest : public MainWindowTest {
protected:
    QString ImportFile(const QByteArray& Text) {
        const QString Path = Homes.Root() + QStringLiteral("/import.ini");
        EXPECT_TRUE(WriteWholeFile(Path, Text));
        return Path;
    }
};

TEST_F(LifeCycleTest, FirstStartWritesTheBareConfiguration) {
    TfrmMain& M = Open();
    EXPECT_EQ(ConfigText(), "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n"
                            "[GROUPS]\r\n0=Default Group\r\n");
    EXPECT_TRUE(M.Hub().Settings().Hints);
    EXPECT_FALSE(M.Core().ListView());
    EXPECT_EQ(BoxItems(M), QStringList{QStringLiteral("Default Group")});
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("Default Group"));
    EXPECT_EQ(M.Hub().Count(), 0);
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    EXPECT_TRUE(Registry.KeyExists("Software\\Zephra Software\\QRT\\Groups"));
    const QString Caption = QStringLiteral("Vantorel : ") +
                            GetFileVersionText(QStringLiteral("/proc/self/exe")) +
                            QStringLiteral(" - ");
    EXPECT_TRUE(M.windowTitle().startsWith(Caption)) << M.windowTitle().toStdString();
    EXPECT_EQ(Control<QLabel>(M, "lbHeader")->text(), M.windowTitle());
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(LifeCycleTest, AnUnknownDefaultGroupOpensNothingAndIsForgottenAtClose) {
    WriteConfig("[COMMON]\r\nDefaultGroup=Gone\r\n[GROUPS]\r\n0=A\r\n[A]\r\n0=gw\r\n");
    TfrmMain& M = Open();
    EXPECT_EQ(Control<QComboBox>(M, "cbGroups")->currentIndex(), -1);
    EXPECT_EQ(M.Hub().Count(), 0);
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());

    TfrmMain& Again = Restart();
    EXPECT_TRUE(ConfigText().contains("DefaultGroup=\r\n"));
    EXPECT_TRUE(ConfigText().contains("[A]\r\n0=gw\r\n"));
    EXPECT_EQ(Control<QComboBox>(Again, "cbGroups")->currentIndex(), -1);
    EXPECT_EQ(Again.Hub().Count(), 0);
}

TEST_F(LifeCycleTest, ClosingSavesTheOpenGroupThenClosesItsMonitors) {
    WriteConfig(TwoGroups);
    TfrmMain& M = Open();
    Control<QComboBox>(M, "cbGroups")->setCurrentIndex(1);
    ChooseShownGroup(M);
    M.Core().AddMonitor(QStringLiteral("10.0.0.1")); // not stored until the close
    ASSERT_EQ(M.Hub().Count(), 2);
    ClickButton(M, "btnHints");

    QTest::mouseClick(Control<TzsImageButton>(M, "btnClose"), Qt::LeftButton);
    EXPECT_FALSE(M.isVisible());
    EXPECT_EQ(M.Hub().Count(), 0);
    EXPECT_EQ(ConfigText(), "[COMMON]\r\nHintsEnable=0\r\nDefaultGroup=B\r\n"
                            "[GROUPS]\r\n0=A\r\n1=B\r\n[A]\r\n0=gw\r\n"
                            "[B]\r\n0=10.0.0.1\r\n1=nas\r\n");
    // Closing again finds no monitors; it must not store that as the group's targets.
    M.close();
    M.Core().RequestClose();
    EXPECT_TRUE(ConfigText().contains("[B]\r\n0=10.0.0.1\r\n1=nas\r\n"));
}

TEST_F(LifeCycleTest, ImportWithoutGroupsOpensTheDefaultGroupOnlyWhenNamed) {
    struct TCase {
        const char* DefaultLine;
        bool Opens;
    };
    for (const TCase& C :
         {TCase{"", true}, TCase{"DefaultGroup=Default Group\r\n", true},
          TCase{"DefaultGroup=default group\r\n", true}, TCase{"DefaultGroup=A\r\n", false}}) {
        SCOPED_TRACE(C.DefaultLine);
        WriteConfig(TwoGroups);
        TfrmMain& M = Open();
        ASSERT_EQ(M.Hub().Targets(), QStringList{QStringLiteral("gw")});
        const QByteArray Imported = QByteArray("[COMMON]\r\nHintsEnable=0\r\n") + C.DefaultLine;
        TzsFileDialog::SetNextFileName(ImportFile(Imported));
        TzsMessageBox::SetNextAnswer(QMessageBox::Ok);
        Control<QAction>(M, "ImportSettings1")->trigger();

        EXPECT_EQ(M.Hub().Count(), 0);
        EXPECT_EQ(BoxItems(M), QStringList{QStringLiteral("Default Group")});
        EXPECT_EQ(M.Core().Groups().Current(),
                  C.Opens ? QStringLiteral("Default Group") : QString());
        EXPECT_FALSE(M.Hub().Settings().Hints);
        EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
        EXPECT_EQ(ConfigText(), Imported);
        const auto Asked = TzsFileDialog::TakeAsked();
        ASSERT_EQ(Asked.size(), 1);
        EXPECT_EQ(Asked[0].Kind, TzsFileDialog::TKind::Open);
        EXPECT_EQ(Asked[0].DefaultExt, QStringLiteral(".ini"));
        EXPECT_EQ(Asked[0].FileName, QStringLiteral("Vantorel.ini"));
        EXPECT_EQ(Asked[0].Filter, QStringLiteral("ini File|*.ini"));
        const auto Shown = TzsMessageBox::TakeShown();
        ASSERT_EQ(Shown.size(), 1);
        EXPECT_EQ(Shown[0].Text, QStringLiteral("The current configuration will be overwritten "
                                                "with the imported settings.  Continue?"));
        EXPECT_EQ(Shown[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);

        // The group open before the import belongs to the old file: closing does not carry it
        // into the new one.
        M.close();
        EXPECT_FALSE(ConfigText().contains("=A\r\n")) << ConfigText().toStdString();
        EXPECT_EQ(ConfigText().contains("[GROUPS]\r\n0=Default Group\r\n"), C.Opens);
        Main.reset();
        QFile::remove(ConfigFileName());
    }
}

TEST_F(LifeCycleTest, ImportAppliesEverySettingOfTheFile) {
    TFrmFriendlyNames FriendlyNames(nullptr);
    WriteConfig(TwoGroups);
    TfrmMain& M = Open([&](TfrmMain& W) { W.SetDialogs(&FriendlyNames, nullptr); });
    TzsFileDialog::SetNextFileName(
        ImportFile("[COMMON]\r\nHintsEnable=0\r\nListViewEnable=1\r\nDefaultGroup=d\r\n"
                   "[GROUPS]\r\n0=C\r\n1=D\r\n[D]\r\n0=gw\r\n1=printer\r\n"
                   "[FRIENDLYNAMES]\r\n0=printer~Printer\r\n"));
    TzsMessageBox::SetNextAnswer(QMessageBox::Ok);
    TriggerAction(M, "ImportSettings1");
    EXPECT_FALSE(M.Hub().Settings().Hints);
    EXPECT_TRUE(M.Core().ListView());
    EXPECT_EQ(BoxItems(M), (QStringList{QStringLiteral("C"), QStringLiteral("D")}));
    EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("D"));
    EXPECT_EQ(M.Hub().Targets(), (QStringList{QStringLiteral("gw"), QStringLiteral("printer")}));
    EXPECT_EQ(M.Hub().Find(QStringLiteral("printer"))->DisplayName(), "Printer");
    // Later monitors read the imported table.
    EXPECT_EQ(M.Hub().FriendlyName(QStringLiteral("PRINTER")), QStringLiteral("Printer"));
}

TEST_F(LifeCycleTest, AnImportTooLargeToReadIsToldSoAndChangesNothing) {
    WriteConfig(TwoGroups);
    TfrmMain& M = Open();
    const QString Huge = ImportFile(TwoGroups);
    std::filesystem::resize_file(QFile::encodeName(Huge).toStdString(),
                                 TzsIniFile::MaxFileSize + 1);
    TzsFileDialog::SetNextFileName(Huge);
    TriggerAction(M, "ImportSettings1");
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Text,
              QStringLiteral("Unable to read %1: the file is larger than 16 MB.").arg(Huge));
    EXPECT_EQ(ConfigText(), TwoGroups);
    EXPECT_EQ(M.Hub().Targets(), QStringList{QStringLiteral("gw")});
}

TEST_F(LifeCycleTest, CancellingAnyStepOfAnExchangeChangesNothing) {
    WriteConfig(TwoGroups);
    TfrmMain& M = Open();
    TfrmPinger* Running = FindMonitor(M, QStringLiteral("gw"));
    ASSERT_NE(Running, nullptr);
    const QByteArray Before = ConfigText();
    const QString Valid = ImportFile("[COMMON]\r\nHintsEnable=0\r\n");
    const QString Invalid = Homes.Root() + QStringLiteral("/invalid.ini");
    ASSERT_TRUE(WriteWholeFile(Invalid, "[COMMON]\r\n[GROUPS]\r\n0=X\r\n"));

    struct TCase {
        const char* Name;
        std::function<void()> Act;
        QStringList Boxes;
    };
    const TCase Cases[] = {
        {"export dialog cancelled", [&] { Control<QAction>(M, "ExportSettings1")->trigger(); }, {}},
        {"import dialog cancelled", [&] { Control<QAction>(M, "ImportSettings1")->trigger(); }, {}},
        {"invalid file",
         [&] {
             TzsFileDialog::SetNextFileName(Invalid);
             TriggerAction(M, "ImportSettings1");
         },
         {QStringLiteral("The file does not contain valid configuration information.")}},
        {"missing file",
         [&] {
             TzsFileDialog::SetNextFileName(Homes.Root() + QStringLiteral("/none.ini"));
             TriggerAction(M, "ImportSettings1");
         },
         {QStringLiteral("The file does not contain valid configuration information.")}},
        {"confirmation cancelled",
         [&] {
             TzsFileDialog::SetNextFileName(Valid);
             TzsMessageBox::SetNextAnswer(QMessageBox::Cancel);
             TriggerAction(M, "ImportSettings1");
         },
         {QStringLiteral("The current configuration will be overwritten with the imported "
                         "settings.  Continue?")}},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        C.Act();
        QStringList Boxes;
        for (const auto& S : TzsMessageBox::TakeShown()) {
            Boxes.append(S.Text);
        }
        EXPECT_EQ(Boxes, C.Boxes);
        EXPECT_EQ(TzsFileDialog::TakeAsked().size(), 1);
        EXPECT_EQ(ConfigText(), Before);
        EXPECT_EQ(FindMonitor(M, QStringLiteral("gw")), Running);
        EXPECT_EQ(M.Core().Groups().Current(), QStringLiteral("A"));
        EXPECT_TRUE(M.Hub().Settings().Hints);
        EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    }
    EXPECT_EQ(QDir(Homes.Root()).entryList(QDir::Files),
              (QStringList{QStringLiteral("import.ini"), QStringLiteral("invalid.ini")}));
}

TEST_F(LifeCycleTest, ExportCopiesTheFileAsItIsOnDisk) {
    WriteConfig(TwoGroups);
    TfrmMain& M = Open();
    const QString Target = Homes.Root() + QStringLiteral("/saved.ini");
    ASSERT_TRUE(WriteWholeFile(Target, "an older, longer file that the export replaces whole"));
    TzsFileDialog::SetNextFileName(Target);
    TriggerAction(M, "ExportSettings1");
    EXPECT_EQ(ReadWholeFile(Target), TwoGroups);
    // A name without an extension gets the default one.
    TzsFileDialog::SetNextFileName(Homes.Root() + QStringLiteral("/plain"));
    TriggerAction(M, "ExportSettings1");
    EXPECT_EQ(ReadWholeFile(Homes.Root() + QStringLiteral("/plain.ini")), TwoGroups);
    const auto Asked = TzsFileDialog::TakeAsked();
    ASSERT_EQ(Asked.size(), 2);
    EXPECT_EQ(Asked[0].Kind, TzsFileDialog::TKind::Save);
    EXPECT_EQ(Asked[0].FileName, QStringLiteral("Vantorel.ini"));
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

// An export that cannot be written is told in the error box, with the file and the reason, and
// leaves what stood at the name as it was.
TEST_F(LifeCycleTest, ExportThatCannotBeWrittenIsTold) {
    WriteConfig(TwoGroups);
    TfrmMain& M = Open();
    const QString Pipe = Homes.Root() + QStringLiteral("/pipe.ini");
    ASSERT_EQ(::mkfifo(QFile::encodeName(Pipe).constData(), 0600), 0);
    const QString Kept = Homes.Root() + QStringLiteral("/kept.ini");
    ASSERT_TRUE(WriteWholeFile(Kept, "kept"));
    ASSERT_TRUE(QFile::setPermissions(Kept, QFileDevice::ReadOwner));
    const struct {
        const char* Name;
        QString File;
        QString Reason;
    } Cases[] = {
        {"FIFO", Pipe, QStringLiteral("not a regular file")},
        {"folder that does not exist", Homes.Root() + QStringLiteral("/none/saved.ini"),
         QStringLiteral("No such file or directory")},
        {"read-only file", Kept, QStringLiteral("Permission denied")},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TzsFileDialog::SetNextFileName(Case.File);
        Control<QAction>(M, "ExportSettings1")->trigger();
        const auto Shown = TzsMessageBox::TakeShown();
        ASSERT_EQ(Shown.size(), 1);
        EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Error);
        EXPECT_EQ(Shown[0].Text,
                  ErrorMessageText(
                      QStringLiteral("Unable to write to %1: %2").arg(Case.File, Case.Reason)));
    }
    EXPECT_TRUE(QFileInfo(Pipe).isReadable() && !QFileInfo(Pipe).isFile());
    EXPECT_EQ(ReadWholeFile(Kept), "kept");
    EXPECT_EQ(QDir(Homes.Root()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              (QStringList{QStringLiteral("kept.ini"), QStringLiteral("pipe.ini")}));
    TzsFileDialog::TakeAsked();
}

TEST(FileDialogTest, ClassicSettingsBecomeTheDialogsOwn) {
    QFileDialog Save;
    Save.setOption(QFileDialog::DontUseNativeDialog);
    TzsFileDialog::Configure(Save,
                             {TzsFileDialog::TKind::Save, QStringLiteral(".ini"),
                              QStringLiteral("Vantorel.ini"), QStringLiteral("ini File|*.ini")});
    EXPECT_EQ(Save.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_TRUE(Save.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(Save.defaultSuffix(), QStringLiteral("ini"));
    EXPECT_EQ(Save.nameFilters(), QStringList{QStringLiteral("ini File (*.ini)")});
    ASSERT_EQ(Save.selectedFiles().size(), 1);
    EXPECT_EQ(QFileInfo(Save.selectedFiles()[0]).fileName(), QStringLiteral("Vantorel.ini"));

    QFileDialog Open;
    TzsFileDialog::Configure(Open,
                             {TzsFileDialog::TKind::Open, QStringLiteral(".ini"),
                              QStringLiteral("Vantorel.ini"), QStringLiteral("ini File|*.ini")});
    EXPECT_EQ(Open.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(Open.fileMode(), QFileDialog::ExistingFile);

    EXPECT_EQ(TzsFileDialog::NameFilters(QStringLiteral("Text|*.txt;*.log|All|*")),
              (QStringList{QStringLiteral("Text (*.txt *.log)"), QStringLiteral("All (*)")}));
    EXPECT_EQ(TzsFileDialog::WithDefaultExt(QStringLiteral("/x/a.cfg"), QStringLiteral(".ini")),
              QStringLiteral("/x/a.cfg"));
    EXPECT_EQ(TzsFileDialog::WithDefaultExt(QStringLiteral("/x/a"), QStringLiteral(".ini")),
              QStringLiteral("/x/a.ini"));
}

TEST_F(LifeCycleTest, AnErrorWhileCreatingLeavesAWindowThatOnlyCloses) {
    // A file where the configuration folder's parent should be: the folder cannot be made.
    ASSERT_TRUE(WriteWholeFile(Homes.ConfigHome(), "not a folder"));
    TfrmMain& M = Open();
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Error);
    EXPECT_EQ(Shown[0].Text, ErrorMessageText(QStringLiteral("Could not create application folder "
                                                             "\"%1/Zephra Software/Vantorel/\"")
                                                  .arg(Homes.ConfigHome())));
    EXPECT_FALSE(M.Core().Created());
    // The window and task-bar titles keep the caption.
    EXPECT_TRUE(M.windowTitle().startsWith(QStringLiteral("Vantorel : ")))
        << M.windowTitle().toStdString();
    EXPECT_EQ(Control<QLabel>(M, "lbHeader")->text(), M.windowTitle());
    EXPECT_TRUE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    EXPECT_FALSE(Control<QLineEdit>(M, "cbTarget")->isEnabled());
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnClose")->Disabled());
    EXPECT_EQ(Control<QComboBox>(M, "cbGroups")->count(), 0);
    QTest::mouseClick(Control<TzsImageButton>(M, "btnClose"), Qt::LeftButton);
    EXPECT_FALSE(M.isVisible());
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

TEST_F(LifeCycleTest, AFailedCarryOverLeavesTheWindowIdleAndItsFileAsWritten) {
    // A default group stored as a number cannot be read as a name: the carry-over stops there.
    Registry.SetValue("Software\\Zephra Software\\QRT", "DefaultGroup", RegDword(7));
    TfrmMain& M = Open();
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Error);
    EXPECT_TRUE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnClose")->Disabled());
    EXPECT_EQ(Control<QComboBox>(M, "cbGroups")->count(), 0);
    const QByteArray Written = ConfigText();
    EXPECT_EQ(Written, "[COMMON]\r\nHintsEnable=1\r\n");
    // Later activations do not try again, and closing writes nothing over it.
    M.FormActivate();
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
    M.close();
    EXPECT_EQ(ConfigText(), Written);

    // The next start finds the file and opens the default group.
    TfrmMain& Again = Open();
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
    EXPECT_EQ(Again.Core().Groups().Current(), QStringLiteral("Default Group"));
    EXPECT_FALSE(Control<TzsImageButton>(Again, "btnNewPinger")->Disabled());
}

TEST_F(LifeCycleTest, AnUnreadableFileIsReportedAndTheWindowStaysUsable) {
    // Larger than any configuration: every read of it is refused.
    WriteConfig(QByteArray("[COMMON]\r\nHintsEnable=0\r\n") +
                QByteArray(int(TzsIniFile::MaxFileSize) + 1, ';'));
    TfrmMain& M = Open();
    const auto Shown = TzsMessageBox::TakeShown();
    ASSERT_EQ(Shown.size(), 2);
    // Loading the settings stops at its first error, in a plain box; the default group is not
    // found; the window works on.
    EXPECT_EQ(Shown[0].Kind, TzsMessageBox::TKind::Plain);
    EXPECT_EQ(TzsMessageBox::IconOf(Shown[0].Kind), QMessageBox::NoIcon);
    EXPECT_EQ(Shown[1].Kind, TzsMessageBox::TKind::Error);
    EXPECT_TRUE(M.Hub().Settings().Hints);
    EXPECT_EQ(Control<QComboBox>(M, "cbGroups")->count(), 0);
    EXPECT_FALSE(Control<TzsImageButton>(M, "btnNewPinger")->Disabled());
    M.Core().AddMonitor(QStringLiteral("gw"));
    EXPECT_EQ(M.Hub().Count(), 1);
}

} // namespace

TEST(MainWindowPlace, CentredOnTheScreenAreaWithTheTopLeftKeptInside) {
    struct TCase {
        QSize Window;
        QRect Area;
        QPoint Expected;
    } const Cases[] = {
        {{1050, 700}, {0, 0, 1280, 800}, {115, 50}},
        {{1050, 700}, {0, 30, 1280, 770}, {115, 65}},      // a panel along the top
        {{1050, 700}, {1280, 0, 1920, 1080}, {1715, 190}}, // a second screen to the right
        {{1050, 700}, {0, 0, 800, 600}, {0, 0}},           // larger than the screen
        {{1050, 700}, {0, 0, 1051, 701}, {0, 0}},
    };
    for (const TCase& C : Cases) {
        EXPECT_EQ(TfrmMain::CentredPlace(C.Window, C.Area), C.Expected)
            << C.Area.width() << "x" << C.Area.height();
    }
}

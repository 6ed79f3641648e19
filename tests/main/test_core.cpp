// The application core without any window: the life cycle's order and what it stores, the
// groups, the friendly-name table with a cancelled edit, the configuration's export and import,
// and a close that arrives while a group opens. A scripted prompter stands for the person.
#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uVantorelCore.h"
#include "zsSignalWatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <optional>
#include <signal.h>
#include <unistd.h>
#include <utility>

namespace {

using TMessage = IVantorelPrompter::TMessage;
using TButtons = IVantorelPrompter::TButtons;

// Answers every question from the script and writes down what it was told and asked.
class TScriptedPrompter final : public IVantorelPrompter {
public:
    QStringList Told;  // "kind:text"
    QStringList Asked; // the confirmations' texts
    bool Answer = true;
    QString File;
    std::optional<QString> GroupName;
    std::function<bool(QString&)> Edit = [](QString&) { return false; };

    void Tell(TMessage Kind, const QString& Text) override {
        static const char* const Kinds[] = {"warning", "error", "information", "plain"};
        Told << QString::fromLatin1(Kinds[int(Kind)]) + u':' + Text;
    }
    bool Confirm(const QString& Text, TButtons) override {
        Asked << Text;
        return Answer;
    }
    void ShowError(const std::exception& Error) override {
        Told << QStringLiteral("general:") + QString::fromUtf8(Error.what());
    }
    QString ChooseConfigFile(bool) override { return File; }
    std::optional<QString> AskGroupName(const QStringList&) override { return GroupName; }
    bool EditFriendlyNames(QString& Text) override { return Edit(Text); }
};

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }

    // A run of the program on the same home: created and activated as the window does.
    void Start() {
        Core = std::make_unique<TVantorelCore>(&Registry);
        Core->SetPrompter(&Prompter);
        Core->Hub().SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        ASSERT_TRUE(Core->Create());
    }
    void Restart() {
        Core->RequestClose();
        Core.reset();
        Start();
        Core->Activate();
    }
    QString ConfigFileName() const {
        return Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel/config.ini");
    }
    void WriteConfig(const QByteArray& Text) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(ConfigFileName()).path()));
        ASSERT_TRUE(WriteWholeFile(ConfigFileName(), Text));
    }
    TConfigStore& Store() const { return *Core->Config(); }
    QString Name(const char* Target) const {
        return QString::fromStdString(Core->Hub().Find(QString::fromLatin1(Target))->DisplayName());
    }

    // Declared first: parked loops are released only after every monitor has gone.
    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TScriptedPrompter Prompter;
    std::unique_ptr<TVantorelCore> Core;
};

// The first start with nothing stored carries over an empty legacy layout, applies it and opens
// "Default Group"; the controls are off from creation to the end of the activation.
TEST_F(CoreTest, TheFirstStartWritesTheDefaultsAndOpensTheDefaultGroup) {
    QStringList Order;
    QObject::connect(Core.get(), &TVantorelCore::ControlsEnabledChanged, [&](bool On) {
        Order << (On ? QStringLiteral("on") : QStringLiteral("off"));
    });
    QObject::connect(&Core->Groups(), &TGroupCatalogue::CurrentChanged,
                     [&] { Order << QStringLiteral("open:") + Core->Groups().Current(); });
    EXPECT_FALSE(Core->ControlsEnabled()) << "off from creation";
    EXPECT_TRUE(Core->Activate());
    EXPECT_EQ(Order, (QStringList{QStringLiteral("off"), QStringLiteral("off"),
                                  QStringLiteral("open:Default Group"), QStringLiteral("on"),
                                  QStringLiteral("on"), QStringLiteral("on")}));
    EXPECT_EQ(Core->Groups().Names(), QStringList{QStringLiteral("Default Group")});
    EXPECT_TRUE(Core->Hub().Settings().Hints);
    EXPECT_FALSE(Core->ListView());
    EXPECT_EQ(ReadWholeFile(ConfigFileName()),
              "[COMMON]\r\nHintsEnable=1\r\nDefaultGroup=Default Group\r\n"
              "[GROUPS]\r\n0=Default Group\r\n");
    Order.clear();
    EXPECT_TRUE(Core->Activate()) << "later activations change nothing";
    EXPECT_TRUE(Order.isEmpty());
    EXPECT_TRUE(Prompter.Told.isEmpty()) << Prompter.Told.join(u'|').toStdString();
}

// A close saves the hints switch, the open group and its targets, then closes every monitor;
// the next start opens that group with those targets.
TEST_F(CoreTest, AClosedRunIsOpenedAgainByTheNext) {
    Core->Activate();
    Core->AddTarget(QStringLiteral("gw"));
    Core->AddTarget(QStringLiteral("10.0.0.1"));
    Core->SetHintsEnabled(false);
    QSignalSpy Closed(Core.get(), &TVantorelCore::Closed);
    EXPECT_TRUE(Core->RequestClose());
    EXPECT_EQ(Closed.count(), 1);
    EXPECT_EQ(Core->Hub().Count(), 0);
    EXPECT_EQ(Store().ReadDefaultGroup(), QStringLiteral("Default Group"));
    EXPECT_EQ(Store().LoadGroupTargets(QStringLiteral("Default Group")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw")}));
    Restart();
    EXPECT_FALSE(Core->Hub().Settings().Hints);
    EXPECT_EQ(Core->Hub().Targets(),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("gw")}));
}

TEST_F(CoreTest, AStoredDefaultGroupThatIsNoGroupOpensNothingAndClosingForgetsIt) {
    WriteConfig("[COMMON]\r\nDefaultGroup=Gone\r\n[GROUPS]\r\n0=A\r\n[A]\r\n0=gw\r\n");
    Core->Activate();
    EXPECT_EQ(Core->Groups().Current(), QString());
    EXPECT_EQ(Core->Hub().Count(), 0);
    Core->RequestClose();
    EXPECT_EQ(Store().ReadDefaultGroup(), QString());
}

// Creating a group stores the open one first; deleting asks, refuses the last group, and opens
// the first remaining one.
TEST_F(CoreTest, GroupsAreCreatedAndDeletedThroughTheCatalogue) {
    WriteConfig("[COMMON]\r\nDefaultGroup=A\r\n[GROUPS]\r\n0=A\r\n[A]\r\n0=gw\r\n");
    Core->Activate();
    Core->AddMonitor(QStringLiteral("nas")); // not saved by itself
    Prompter.GroupName = QStringLiteral("x");
    Core->AddGroupClicked();
    EXPECT_EQ(Store().LoadGroupTargets(QStringLiteral("A")),
              (QStringList{QStringLiteral("gw"), QStringLiteral("nas")}));
    EXPECT_EQ(Core->Groups().Names(), (QStringList{QStringLiteral("A"), QStringLiteral("x")}));
    EXPECT_EQ(Core->Groups().Current(), QStringLiteral("x"));
    EXPECT_EQ(Core->Hub().Count(), 0);

    Core->SelectGroup(QStringLiteral("x")); // already open: nothing happens
    EXPECT_EQ(Core->Hub().Count(), 0);

    Prompter.Answer = false;
    Core->DeleteGroupClicked();
    EXPECT_EQ(Prompter.Asked,
              QStringList{QStringLiteral("Are you sure you want to delete the \"x\" group?")});
    EXPECT_EQ(Core->Groups().Names().size(), 2);
    Prompter.Answer = true;
    Core->DeleteGroupClicked();
    EXPECT_EQ(Core->Groups().Names(), QStringList{QStringLiteral("A")});
    EXPECT_EQ(Core->Groups().Current(), QStringLiteral("A"));
    EXPECT_EQ(Core->Hub().Targets(), (QStringList{QStringLiteral("gw"), QStringLiteral("nas")}));
    QStringList Stored;
    Store().LoadGroupList(Stored);
    EXPECT_EQ(Stored, QStringList{QStringLiteral("A")});

    Core->DeleteGroupClicked();
    EXPECT_EQ(Prompter.Told.last(),
              QStringLiteral("warning:There must be atleast one group.  Please create a new "
                             "group before delting this one."));
    EXPECT_EQ(Core->Groups().Names(), QStringList{QStringLiteral("A")});
}

// A target from the Target box saves the open group (also when it was refused as running), a
// monitor closed by its own button leaves it; closing all does not touch it.
TEST_F(CoreTest, TheOpenGroupFollowsTheTargetBoxAndTheMonitorsCloseButton) {
    Core->Activate();
    Core->AddTarget(QStringLiteral("a"));
    Core->AddTarget(QStringLiteral("b"));
    Core->AddTarget(QStringLiteral("A"));
    EXPECT_EQ(Prompter.Told.last(),
              QStringLiteral("warning:The specified target is already being monitored."));
    const QString Group = QStringLiteral("Default Group");
    EXPECT_EQ(Store().LoadGroupTargets(Group),
              (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    Core->Hub().Close(Core->Hub().Find(QStringLiteral("a")));
    Core->MonitorCloseClicked();
    EXPECT_EQ(Store().LoadGroupTargets(Group), QStringList{QStringLiteral("b")});
    Prompter.Answer = true;
    Core->CloseAllClicked();
    EXPECT_EQ(Prompter.Asked.last(), QStringLiteral("Close all monitors?"));
    EXPECT_EQ(Core->Hub().Count(), 0);
    EXPECT_EQ(Store().LoadGroupTargets(Group), QStringList{QStringLiteral("b")});
}

// One table: a cancelled edit is not stored and renames no running monitor, but a monitor
// started before the next opening takes its name from the edited table; the next opening
// reads the stored table afresh.
TEST_F(CoreTest, AMonitorStartedAfterACancelledEditTakesItsNameFromTheEditedTable) {
    WriteConfig("[FRIENDLYNAMES]\r\n0=gw~Gateway\r\n1=nas~Storage\r\n");
    Core->Activate();
    Core->AddMonitor(QStringLiteral("gw"));
    EXPECT_EQ(Name("gw"), QStringLiteral("Gateway"));
    const QByteArray Before = ReadWholeFile(ConfigFileName());

    QString Opened;
    Prompter.Edit = [&](QString& Text) {
        Opened = Text;
        Text = QStringLiteral("gw~Edited\r\nnas~Disk\r\n");
        return false; // cancelled
    };
    Core->EditFriendlyNames();
    EXPECT_EQ(Opened, QStringLiteral("gw~Gateway\r\nnas~Storage\r\n"));
    EXPECT_EQ(ReadWholeFile(ConfigFileName()), Before);
    EXPECT_EQ(Name("gw"), QStringLiteral("Gateway")) << "running monitors keep their names";
    Core->AddMonitor(QStringLiteral("NAS"));
    EXPECT_EQ(Name("NAS"), QStringLiteral("Disk")) << "the edited table names a new monitor";

    // The next opening starts from the stored table; confirmed, it is stored and renames.
    Prompter.Edit = [&](QString& Text) {
        Opened = Text;
        Text = QStringLiteral("gw~Router\r\n");
        return true;
    };
    Core->EditFriendlyNames();
    EXPECT_EQ(Opened, QStringLiteral("gw~Gateway\r\nnas~Storage\r\n"));
    EXPECT_EQ(Store().ReadFriendlyNames(), QStringLiteral("gw~Router\r\n"));
    EXPECT_EQ(Name("gw"), QStringLiteral("Router"));
    EXPECT_EQ(Name("NAS"), QStringLiteral("NAS"));
}

TEST_F(CoreTest, ExportCopiesTheFileAndImportAppliesAValidOneAfterAsking) {
    WriteConfig("[COMMON]\r\nDefaultGroup=A\r\n[GROUPS]\r\n0=A\r\n[A]\r\n0=gw\r\n");
    Core->Activate();
    const QString Copy = Homes.Root() + QStringLiteral("/copy.ini");
    Prompter.File = Copy;
    Core->ExportConfiguration();
    EXPECT_EQ(ReadWholeFile(Copy), ReadWholeFile(ConfigFileName()));

    const QString Invalid = Homes.Root() + QStringLiteral("/invalid.ini");
    ASSERT_TRUE(WriteWholeFile(Invalid, "[COMMON]\r\n"));
    Prompter.File = Invalid;
    Core->ImportConfiguration();
    EXPECT_EQ(Prompter.Told.last(),
              QStringLiteral("error:The file does not contain valid configuration information."));
    EXPECT_TRUE(Prompter.Asked.isEmpty());

    const QString Other = Homes.Root() + QStringLiteral("/other.ini");
    ASSERT_TRUE(WriteWholeFile(Other, "[COMMON]\r\nHintsEnable=0\r\n"));
    Prompter.File = Other;
    Prompter.Answer = false;
    Core->ImportConfiguration();
    EXPECT_EQ(Core->Hub().Targets(), QStringList{QStringLiteral("gw")}) << "cancelled";
    Prompter.Answer = true;
    Core->ImportConfiguration();
    EXPECT_EQ(Prompter.Asked.last(), QStringLiteral("The current configuration will be overwritten "
                                                    "with the imported settings.  Continue?"));
    EXPECT_EQ(ReadWholeFile(ConfigFileName()).left(30), ReadWholeFile(Other).left(30));
    EXPECT_FALSE(Core->Hub().Settings().Hints);
    EXPECT_EQ(Core->Groups().Names(), QStringList{QStringLiteral("Default Group")});
    EXPECT_EQ(Core->Groups().Current(), QStringLiteral("Default Group"));
    EXPECT_EQ(Core->Hub().Count(), 0);
    EXPECT_TRUE(Core->ControlsEnabled());
}

// A close that arrives while a group opens ends the opening at its next slice and closes once the
// hub is idle; the group keeps every stored target. The close comes as the close button asks it,
// or as SIGTERM or SIGHUP sent to the process, which the signal watcher turns into the same
// request in the event loop.
class CoreCloseDuringOpeningTest : public CoreTest, public ::testing::WithParamInterface<int> {};

TEST_P(CoreCloseDuringOpeningTest, SavesTheGroupComplete) {
    const int Signal = GetParam();
    QByteArray Text = "[COMMON]\r\nDefaultGroup=A\r\n[GROUPS]\r\n0=A\r\n[A]\r\n";
    QStringList Stored;
    for (int I = 0; I < 40; ++I) {
        Text += QByteArray::number(I) + "=host" + QByteArray::number(I) + "\r\n";
        Stored << QStringLiteral("host%1").arg(I);
    }
    WriteConfig(Text);
    Core->Hub().SetSliceMs(0);
    QSignalSpy Closed(Core.get(), &TVantorelCore::Closed);
    TzsSignalWatcher Signals;
    bool Deferred = false;
    QObject::connect(&Signals, &TzsSignalWatcher::Received,
                     [&] { Deferred = !Core->RequestClose(); });
    bool Asked = false;
    QObject::connect(Core.get(), &TVantorelCore::SliceEnded, [&] {
        if (Core->Hub().Count() >= 10 && !std::exchange(Asked, true)) {
            // A signal is handled by the events that run at the end of this slice.
            Signal ? (void)::kill(::getpid(), Signal) : (void)(Deferred = !Core->RequestClose());
        }
    });
    Core->Activate();
    EXPECT_TRUE(Asked);
    EXPECT_TRUE(Deferred) << "the close waited for the opening";
    EXPECT_LT(Core->Hub().Count(), 40) << "the opening ended early";
    EXPECT_TRUE(Core->Groups().Incomplete());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Closed.count() == 1; }, 5000));
    EXPECT_EQ(Core->Hub().Count(), 0);
    EXPECT_EQ(Store().LoadGroupTargets(QStringLiteral("A")), Stored);
    EXPECT_EQ(Store().ReadDefaultGroup(), QStringLiteral("A"));
    EXPECT_FALSE(Core->ControlsEnabled());
}

INSTANTIATE_TEST_SUITE_P(Requests, CoreCloseDuringOpeningTest,
                         ::testing::Values(0, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& Info) {
                             return std::string(Info.param == 0         ? "CloseButton"
                                                : Info.param == SIGTERM ? "Sigterm"
                                                                        : "Sighup");
                         });

} // namespace

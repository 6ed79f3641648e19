// The monitor hub without any window: which targets start, which monitor is in the main panel,
// closing one and closing all, opening a group in slices with a stop arriving meanwhile, the
// settings every monitor gets, and friendly names.
#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uMonitorHub.h"
#include "uMonitorListModel.h"
#include "uPingerSession.h"
#include "zsWorkerThread.h"

#include <QHash>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using TAdd = TMonitorHub::TAddResult;

QStringList Strings(std::initializer_list<const char*> Items) {
    QStringList List;
    for (const char* Item : Items) {
        List << QString::fromUtf8(Item);
    }
    return List;
}

class MonitorHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store.PrepareConfigFolder();
        Store.OpenConfig();
        Hub.SetConfig(&Store);
        Hub.SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        // Every signal, in order, as "what:target" (the target the monitor was started with: a
        // stopped monitor has none).
        const auto Name = [this](TPingerSession* S) {
            return S ? Targets.value(S) : QStringLiteral("-");
        };
        QObject::connect(&Hub, &TMonitorHub::MonitorAdded, [this, Name](TPingerSession* S) {
            Targets.insert(S, QString::fromStdString(S->Target()));
            Log << QStringLiteral("added:") + Name(S);
        });
        QObject::connect(&Hub, &TMonitorHub::MonitorRemoved, [this, Name](TPingerSession* S) {
            // Observers hear of it while the monitor is whole and already out of the collection,
            // with another monitor (or none) in the main panel.
            EXPECT_EQ(Hub.IndexOf(S), -1);
            EXPECT_NE(Hub.MainPanelMonitor(), S);
            EXPECT_EQ(S->LoopThread(), nullptr) << "stopped first";
            Log << QStringLiteral("removed:") + Name(S);
        });
        QObject::connect(&Hub, &TMonitorHub::MainPanelChanged, [this, Name](TPingerSession* S) {
            Log << QStringLiteral("main:") + Name(S);
        });
        QObject::connect(&Hub, &TMonitorHub::BusyChanged, [this](bool Busy) {
            Log << (Busy ? QStringLiteral("busy") : QStringLiteral("idle"));
        });
    }

    QStringList TakeLog() { return std::exchange(Log, {}); }
    TPingerSession* Find(const char* Target) const { return Hub.Find(QString::fromUtf8(Target)); }
    void AddAll(std::initializer_list<const char*> Targets) {
        for (const char* T : Targets) {
            ASSERT_EQ(Hub.Add(QString::fromUtf8(T)), TAdd::Added) << T;
        }
    }

    // Declared first: parked loops are released only after every monitor has gone.
    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    TConfigStore Store{Registry};
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    TMonitorHub Hub;
    QStringList Log;
    QHash<const TPingerSession*, QString> Targets;
};

TEST_F(MonitorHubTest, ATargetStartsOnceAndOnlyWhenItCanBeStored) {
    struct TCase {
        const char* Name;
        QString Target;
        TAdd Result;
    };
    const TCase Cases[] = {
        {"new", QStringLiteral("Router"), TAdd::Added},
        {"same in another case", QStringLiteral("rOUTER"), TAdd::Duplicate},
        {"empty", QString(), TAdd::Blank},
        {"blanks", QStringLiteral(" \t "), TAdd::Blank},
        {"line feed", QStringLiteral("a\nb"), TAdd::ControlCharacter},
        {"carriage return", QStringLiteral("a\rb"), TAdd::ControlCharacter},
        {"NUL", QStringLiteral("a") + QChar(0) + QStringLiteral("b"), TAdd::ControlCharacter},
        {"a line break alone is no blank", QStringLiteral("\n"), TAdd::ControlCharacter},
        {"untrimmed is another target", QStringLiteral(" Router"), TAdd::Added},
        {"a tab is stored like any character", QStringLiteral("a\tb"), TAdd::Added},
        {"IPv6 literal", QStringLiteral("::1"), TAdd::Added},
        {"the same literal in brackets", QStringLiteral("[::1]"), TAdd::Duplicate},
        {"bracketed first", QStringLiteral("[fe80::2]"), TAdd::Added},
        {"then bare, in another case", QStringLiteral("FE80::2"), TAdd::Duplicate},
        {"brackets around no IPv6 literal are part of the name", QStringLiteral("[Router]"),
         TAdd::Added},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Hub.Add(C.Target), C.Result);
    }
    EXPECT_EQ(Hub.Targets(), (QStringList{QStringLiteral(" Router"), QStringLiteral("::1"),
                                          QStringLiteral("[fe80::2]"), QStringLiteral("[Router]"),
                                          QStringLiteral("a\tb"), QStringLiteral("Router")}));
    EXPECT_EQ(TakeLog(),
              (QStringList{QStringLiteral("added:Router"), QStringLiteral("main:Router"),
                           QStringLiteral("added: Router"), QStringLiteral("added:a\tb"),
                           QStringLiteral("added:::1"), QStringLiteral("added:[fe80::2]"),
                           QStringLiteral("added:[Router]")}));
    EXPECT_EQ(Find(" Router")->Target(), " Router");
    EXPECT_EQ(Hub.Find(QStringLiteral("ROUTER")), Find("Router"));
}

TEST_F(MonitorHubTest, ANewMonitorIsStartedWithTheHubsWorkerFolderAndSettings) {
    Hub.StartWorker();
    Hub.SetLogFolder(QStringLiteral("/tmp/logs"));
    AddAll({"localhost"});
    TPingerSession* S = Find("localhost");
    EXPECT_EQ(S->Span(), 60);
    EXPECT_EQ(S->Range(), -1);
    EXPECT_EQ(S->Frequency(), 1000);
    EXPECT_EQ(S->TimeOutMS(), 5000);
    EXPECT_EQ(S->PayloadSize(), 16);
    EXPECT_FALSE(S->LogEnabled());
    EXPECT_EQ(S->LogWorker(), Hub.Worker());
    EXPECT_NE(Hub.Worker(), nullptr);
    EXPECT_EQ(S->LogFolder(), "/tmp/logs");
    EXPECT_NE(S->LoopThread(), nullptr);
    // Nothing is drawn until a view shows the monitor.
    EXPECT_EQ(S->Graph().Plot().Width(), 0);
}

// One monitor is in the main panel whenever there is one: the first added; after it goes, the
// first in target order. A tile that goes leaves the main panel alone.
TEST_F(MonitorHubTest, ExactlyOneMonitorIsInTheMainPanel) {
    AddAll({"m", "z", "b"});
    EXPECT_EQ(Hub.MainPanelMonitor(), Find("m"));
    TakeLog();
    Hub.Close(Find("z"));
    EXPECT_EQ(TakeLog(), QStringList{QStringLiteral("removed:z")});
    EXPECT_EQ(Hub.MainPanelMonitor(), Find("m"));

    AddAll({"z"});
    Hub.MoveToMainPanel(Find("z"));
    Hub.MoveToMainPanel(Find("z")); // already there: nothing to tell
    TakeLog();
    Hub.Close(Find("z"));
    EXPECT_EQ(TakeLog(), (QStringList{QStringLiteral("removed:z"), QStringLiteral("main:b")}));
    EXPECT_EQ(Hub.Targets(), (QStringList{QStringLiteral("b"), QStringLiteral("m")}));

    // A monitor that is not (or no longer) in the hub is ignored.
    Hub.MoveToMainPanel(nullptr);
    TPingerSession Stranger(Clock);
    Hub.MoveToMainPanel(&Stranger);
    Hub.Close(&Stranger);
    EXPECT_EQ(Hub.MainPanelMonitor(), Find("b"));

    Hub.Close(Find("b"));
    Hub.Close(Find("m"));
    EXPECT_EQ(Hub.MainPanelMonitor(), nullptr);
    EXPECT_EQ(TakeLog(), (QStringList{QStringLiteral("removed:b"), QStringLiteral("main:m"),
                                      QStringLiteral("removed:m"), QStringLiteral("main:-")}));
    EXPECT_TRUE(TakeLog().isEmpty());
}

// The list view selects the next row when the selected one goes and asks to move it into the
// main panel while the removal is told; the panel goes to the first in target order all the
// same, told once.
TEST_F(MonitorHubTest, AMoveIntoTheMainPanelWhileARemovalIsToldIsIgnored) {
    AddAll({"a", "b", "c", "d"});
    Hub.MoveToMainPanel(Find("c"));
    const auto Selection = QObject::connect(&Hub, &TMonitorHub::MonitorRemoved,
                                            [this] { Hub.MoveToMainPanel(Find("d")); });
    TakeLog();
    Hub.Close(Find("c"));
    QObject::disconnect(Selection);
    EXPECT_EQ(Hub.MainPanelMonitor(), Find("a"));
    EXPECT_EQ(TakeLog(), (QStringList{QStringLiteral("removed:c"), QStringLiteral("main:a")}));
    // Afterwards a move is taken again.
    Hub.MoveToMainPanel(Find("d"));
    EXPECT_EQ(Hub.MainPanelMonitor(), Find("d"));
}

TEST_F(MonitorHubTest, CloseAllGoesFromTheLastTargetWithAPauseBeforeEach) {
    AddAll({"a", "b", "c"});
    TakeLog();
    Hub.SetSliceMs(0); // a pause before every monitor
    TMonitorHub::TProgress P;
    P.Begin = [this](TMonitorHub::TWork Work, int Count) {
        EXPECT_EQ(Work, TMonitorHub::TWork::Closing);
        Log << QStringLiteral("begin:%1").arg(Count);
    };
    P.Step = [this](int Position) { Log << QStringLiteral("step:%1").arg(Position); };
    // An event handled in a pause closes a monitor before its turn.
    int Pauses = 0;
    P.Pause = [&] {
        EXPECT_TRUE(Hub.Busy());
        if (++Pauses == 2) {
            Hub.Close(Find("a"));
        }
    };
    Hub.CloseAll(P);
    EXPECT_EQ(Pauses, 3);
    EXPECT_EQ(Hub.Count(), 0);
    EXPECT_FALSE(Hub.Busy());
    EXPECT_EQ(TakeLog(), (Strings({"busy", "begin:3", "removed:c", "step:2", "removed:a", "main:b",
                                   "step:1", "removed:b", "main:-", "step:0", "idle"})));
}

// Events are handled before the first monitor and then once a slice of closing, not before each
// monitor.
TEST_F(MonitorHubTest, CloseAllPausesOnceASlice) {
    AddAll({"a", "b", "c", "d"});
    int Pauses = 0;
    int ClosedAtFirstPause = -1;
    TMonitorHub::TProgress P;
    P.Pause = [&] {
        if (++Pauses == 1) {
            ClosedAtFirstPause = 4 - Hub.Count();
        }
    };
    Hub.SetSliceMs(60000);
    Hub.CloseAll(P);
    EXPECT_EQ(Hub.Count(), 0);
    EXPECT_EQ(Pauses, 1);
    EXPECT_EQ(ClosedAtFirstPause, 0);
}

class MonitorHubGroupTest : public MonitorHubTest {
protected:
    void SetUp() override {
        MonitorHubTest::SetUp();
        Store.AddGroupName(QStringLiteral("A"));
        Store.SaveGroup(QStringLiteral("A"), Stored);
        Hub.SetSliceMs(0); // a pause before every monitor
    }
    const QStringList Stored = Strings({"e", "d", "c", "b", "a"});
};

TEST_F(MonitorHubGroupTest, OpeningAGroupReplacesTheMonitorsAndReportsItsProgress) {
    Store.AddGroupName(QStringLiteral("B"));
    Store.SaveGroup(QStringLiteral("B"), Strings({"x", "x", " ", "y"}));
    AddAll({"old"});
    TakeLog();
    QStringList Refused;
    QList<int> Steps;
    TMonitorHub::TProgress P;
    P.Begin = [this](TMonitorHub::TWork Work, int Count) {
        Log << QStringLiteral("%1:%2")
                   .arg(Work == TMonitorHub::TWork::Closing ? QStringLiteral("closing")
                                                            : QStringLiteral("loading"))
                   .arg(Count);
    };
    P.Step = [&](int Position) { Steps << Position; };
    P.Refused = [&](const QString& Target, TAdd Result) {
        Refused << Target + QStringLiteral(":") + QString::number(int(Result));
    };
    Hub.OpenGroup(QStringLiteral("B"), P);
    EXPECT_EQ(Hub.Targets(), (Strings({"x", "y"})));
    EXPECT_EQ(Hub.CurrentGroup(), QStringLiteral("B"));
    EXPECT_FALSE(Hub.GroupIncomplete());
    EXPECT_EQ(Refused, (QStringList{QStringLiteral("x:%1").arg(int(TAdd::Duplicate)),
                                    QStringLiteral(" :%1").arg(int(TAdd::Blank))}));
    EXPECT_EQ(Steps, (QList<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(TakeLog(), (Strings({"busy", "closing:1", "removed:old", "main:-", "loading:4",
                                   "added:x", "main:x", "added:y", "idle"})));
}

// A close of the window arrives while a group opens: the opening ends before its next monitor,
// the group is open but marked incomplete, and the stop holds only until the hub is idle.
TEST_F(MonitorHubGroupTest, AStopArrivingWhileAGroupOpensEndsItIncomplete) {
    TMonitorHub::TProgress P;
    int Pauses = 0;
    P.Pause = [&] {
        if (++Pauses == 3) {
            EXPECT_TRUE(Hub.Busy());
            Hub.StopOpening();
        }
    };
    Hub.OpenGroup(QStringLiteral("A"), P);
    EXPECT_EQ(Hub.Targets(), (Strings({"d", "e"})));
    EXPECT_EQ(Hub.CurrentGroup(), QStringLiteral("A"));
    EXPECT_TRUE(Hub.GroupIncomplete());
    EXPECT_FALSE(Hub.Busy());
    // What the store holds is left alone by whoever saves only complete groups.
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("A")), Stored);

    Hub.OpenGroup(QStringLiteral("A"), {});
    EXPECT_EQ(Hub.Count(), 5);
    EXPECT_FALSE(Hub.GroupIncomplete());
}

TEST_F(MonitorHubGroupTest, ABlankNameSavesNothingAndAGroupIsSavedInTargetOrder) {
    AddAll({"gw", "Alpha"});
    Hub.SaveGroup(QStringLiteral("  "));
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("  ")), QStringList());
    Hub.SaveGroup(QStringLiteral("A"));
    EXPECT_EQ(Store.LoadGroupTargets(QStringLiteral("A")), (Strings({"Alpha", "gw"})));
}

TEST_F(MonitorHubTest, ASettingGoesToEveryMonitorAndToLaterOnes) {
    struct TCase {
        const char* Name;
        std::function<void(TMonitorHub&)> Set;
        std::function<std::int32_t(const TPingerSession&)> Of;
        std::function<std::int32_t(const TMonitorSettings&)> Kept;
        std::int32_t Value;
    };
    const TCase Cases[] = {
        {"span", [](TMonitorHub& H) { H.SetSpan(300); }, &TPingerSession::Span,
         [](const TMonitorSettings& S) { return S.Span; }, 300},
        {"range", [](TMonitorHub& H) { H.SetRange(100); }, &TPingerSession::Range,
         [](const TMonitorSettings& S) { return S.Range; }, 100},
        {"frequency", [](TMonitorHub& H) { H.SetFrequency(30000); }, &TPingerSession::Frequency,
         [](const TMonitorSettings& S) { return S.Frequency; }, 30000},
        {"timeout", [](TMonitorHub& H) { H.SetTimeOutMS(200); }, &TPingerSession::TimeOutMS,
         [](const TMonitorSettings& S) { return S.TimeOutMS; }, 200},
        {"payload", [](TMonitorHub& H) { H.SetPayloadSize(0); }, &TPingerSession::PayloadSize,
         [](const TMonitorSettings& S) { return S.PayloadSize; }, 0},
        {"logging", [](TMonitorHub& H) { H.SetLogging(true); },
         [](const TPingerSession& S) { return std::int32_t(S.LogEnabled()); },
         [](const TMonitorSettings& S) { return std::int32_t(S.Logging); }, 1},
    };
    AddAll({"a", "b"});
    int Changes = 0;
    QObject::connect(&Hub, &TMonitorHub::SettingsChanged, [&] { ++Changes; });
    int Later = 0;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        C.Set(Hub);
        EXPECT_EQ(C.Kept(Hub.Settings()), C.Value);
        for (int I = 0; I < Hub.Count(); ++I) {
            EXPECT_EQ(C.Of(*Hub.Monitor(I)), C.Value) << Hub.Monitor(I)->Target();
        }
        const QString Target = QStringLiteral("later%1").arg(++Later);
        ASSERT_EQ(Hub.Add(Target), TAdd::Added);
        EXPECT_EQ(C.Of(*Hub.Find(Target)), C.Value);
    }
    EXPECT_EQ(Changes, int(std::size(Cases)));
    // The switches only the window reads are kept and told too.
    Hub.SetHints(false);
    Hub.SetAlerting(true);
    EXPECT_FALSE(Hub.Settings().Hints);
    EXPECT_TRUE(Hub.Settings().Alerting);
    EXPECT_EQ(Changes, int(std::size(Cases)) + 2);
}

TEST_F(MonitorHubTest, FriendlyNamesNameNewMonitorsAndRenameRunningOnes) {
    Hub.SetFriendlyNames(QStringLiteral("gw~Gateway\r\nNAS~Storage\r\nnas~Second\r\n~Nameless"));
    AddAll({"GW", "nas", "x"});
    EXPECT_EQ(Find("GW")->DisplayName(), "Gateway");
    EXPECT_EQ(Find("nas")->DisplayName(), "Storage"); // the first matching row
    EXPECT_EQ(Find("x")->DisplayName(), "x");

    QStringList Updated;
    QObject::connect(&Hub, &TMonitorHub::MonitorRenamed, [&](TPingerSession* S) {
        Updated << QString::fromStdString(S->DisplayName());
    });
    QObject::connect(&Hub, &TMonitorHub::MonitorUpdated,
                     [](TPingerSession*) { ADD_FAILURE() << "a rename is no result"; });
    Hub.SetFriendlyNames(QStringLiteral("x~Ex\r\n"));
    EXPECT_TRUE(Updated.isEmpty()) << "a new table alone renames nothing";
    Hub.ApplyFriendlyNames();
    EXPECT_EQ(Updated, (Strings({"GW", "nas", "Ex"})));
}

TEST_F(MonitorHubTest, AResultIsToldAsAnUpdateOfItsMonitor) {
    AddAll({"a", "b"});
    QList<TPingerSession*> Updated;
    QObject::connect(&Hub, &TMonitorHub::MonitorUpdated, [&](TPingerSession* S) { Updated << S; });
    Find("b")->PingDone(MakeResult(*Clock, 0, 12, PING_STATUS_REQ_TIMED_OUT, "b"));
    EXPECT_EQ(Updated, QList<TPingerSession*>{Find("b")});
}

// The list's rows follow the hub alone, keyed by session, from each session's snapshot: no window
// stands between them.
TEST_F(MonitorHubTest, TheListModelWatchesTheHubItself) {
    AddAll({"b"});
    TMonitorListModel Model;
    Model.Watch(Hub); // rows for the monitors already running
    AddAll({"a"});
    ASSERT_EQ(Model.rowCount(), 2);
    EXPECT_EQ(Model.MonitorAt(0), Find("a"));
    EXPECT_EQ(Model.RowAt(0).SubItems[1], QStringLiteral("INITIALIZING"));
    Find("b")->PingDone(MakeResult(*Clock, 0, 23, PING_STATUS_SUCCESS, "b"));
    EXPECT_EQ(Model.RowAt(Model.RowOf(Find("b"))).SubItems[3], QStringLiteral("23(ms)"));
    Hub.SetFriendlyNames(QStringLiteral("b~0ne\r\n"));
    Hub.ApplyFriendlyNames();
    EXPECT_EQ(Model.MonitorAt(0), Find("b")) << "a new caption sorts";
    EXPECT_EQ(Model.RowAt(0).Caption, QStringLiteral("0ne"));
    Hub.Close(Find("b"));
    ASSERT_EQ(Model.rowCount(), 1);
    EXPECT_EQ(Model.MonitorAt(0), Find("a"));
}

} // namespace

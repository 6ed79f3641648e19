// How the program ends when asked from outside: a session manager's logout first asks for the
// program's data, and the core saves what a close saves without closing anything.
#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uEndRequests.h"
#include "uVantorelCore.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSessionManager>
#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(EndRequestsTest, ALogoutSavesTheSwitchesAndTheOpenGroupAndKeepsRunning) {
    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    const QString ConfigFile =
        Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel/config.ini");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(ConfigFile).path()));
    ASSERT_TRUE(WriteWholeFile(ConfigFile, "[COMMON]\r\nDefaultGroup=Lab\r\n[GROUPS]\r\n0=Lab\r\n"
                                           "[Lab]\r\n0=gw\r\n"));
    auto Clock = std::make_shared<FakeClock>();
    TVantorelCore Core(&Registry);
    Core.Hub().SetSessionFactory([&] {
        auto S = std::make_unique<TPingerSession>(Clock);
        Loops.Hold(*S);
        return S;
    });
    ASSERT_TRUE(Core.Create());
    ASSERT_TRUE(Core.Activate());
    ASSERT_EQ(Core.Hub().Count(), 1);
    // Changed since the file was read: only a save writes these.
    Core.SetHintsEnabled(false);
    Core.Hub().Add(QStringLiteral("db"));

    SaveOnLogout(*qGuiApp, Core);
    // The session manager that asks cannot be made outside Qt; the handler never touches it.
    alignas(QSessionManager) std::byte Manager[sizeof(QSessionManager)] = {};
    emit qGuiApp->commitDataRequest(*reinterpret_cast<QSessionManager*>(Manager));

    EXPECT_EQ(ReadWholeFile(ConfigFile), "[COMMON]\r\nDefaultGroup=Lab\r\nHintsEnable=0\r\n"
                                         "[GROUPS]\r\n0=Lab\r\n[Lab]\r\n0=db\r\n1=gw\r\n");
    EXPECT_EQ(Core.Hub().Count(), 2) << "the monitors keep running";
    EXPECT_TRUE(Core.RequestClose());
    EXPECT_EQ(Core.Hub().Count(), 0);
}

} // namespace

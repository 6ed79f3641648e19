// The headless probe runs the application core as the window does: the default group or the one
// asked for, what a close saves, and errors that end the run instead of waiting for a person.
#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uConfigStore.h"
#include "uHeadlessProbe.h"
#include "uMonitorHub.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class HeadlessProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString File = ConfigFileName();
        ASSERT_TRUE(QDir().mkpath(QFileInfo(File).path()));
        ASSERT_TRUE(WriteWholeFile(File, "[COMMON]\r\nDefaultGroup=A\r\nHintsEnable=0\r\n"
                                         "[GROUPS]\r\n0=A\r\n1=B\r\n"
                                         "[A]\r\n0=a1\r\n[B]\r\n0=b2\r\n1=b1\r\n"));
    }
    std::unique_ptr<TVantorelProbe> Make(const QString& Group) {
        auto Probe =
            std::make_unique<TVantorelProbe>(TVantorelProbe::TOptions{Group, {}}, &Registry);
        Probe->SetLog([this](const QString& Line) { Log << Line; });
        Probe->Hub().SetSessionFactory([this] {
            auto S = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*S);
            return S;
        });
        return Probe;
    }
    QString ConfigFileName() const {
        return Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel/config.ini");
    }

    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    QStringList Log;
};

// A probe of one group opens it and saves it at the close, leaving the desktop's default group
// and its switches as they were.
TEST_F(HeadlessProbeTest, AGroupAskedForOpensAndTheStoredDefaultStays) {
    auto Probe = Make(QStringLiteral("b"));
    Probe->Start();
    EXPECT_EQ(Probe->Hub().Targets(), (QStringList{QStringLiteral("b1"), QStringLiteral("b2")}));
    EXPECT_EQ(Probe->Core().Groups().Current(), QStringLiteral("B"));
    Probe->Close();
    EXPECT_EQ(Probe->Hub().Count(), 0);
    EXPECT_EQ(ReadWholeFile(ConfigFileName()), "[COMMON]\r\nDefaultGroup=A\r\nHintsEnable=0\r\n"
                                               "[GROUPS]\r\n0=A\r\n1=B\r\n"
                                               "[A]\r\n0=a1\r\n[B]\r\n0=b1\r\n1=b2\r\n");
    EXPECT_TRUE(Log.isEmpty()) << Log.join(u'|').toStdString();
}

TEST_F(HeadlessProbeTest, WithoutAGroupTheDefaultOpens) {
    auto Probe = Make({});
    Probe->Start();
    EXPECT_EQ(Probe->Hub().Targets(), QStringList{QStringLiteral("a1")});
    Probe->Close();
    EXPECT_EQ(Probe->Hub().Count(), 0);
}

TEST_F(HeadlessProbeTest, AGroupThatDoesNotExistEndsTheRunWithNoMonitor) {
    auto Probe = Make(QStringLiteral("Z"));
    try {
        Probe->Start();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& E) {
        EXPECT_STREQ(E.what(), "There is no group named \"Z\".");
    }
    EXPECT_EQ(Probe->Hub().Count(), 0);
}

} // namespace

// A main window for tests: a temporary XDG home, message boxes answered by the test, and
// monitors whose ping loops are parked, so results arrive only when a test hands them in.
#pragma once

#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uFrmMain.h"
#include "uFrmPinger.h"
#include "zsMessageBox.h"

#include <QDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { TzsMessageBox::SetTestMode(true); }
    void TearDown() override {
        Main.reset();
        TzsMessageBox::TakeShown();
        TzsMessageBox::SetTestMode(false);
    }

    // Creates the window (its creation handler runs), shows it at its design size and runs
    // the first activation.
    TfrmMain& Open() {
        Main = std::make_unique<TfrmMain>(&Registry);
        Main->SetMonitorFactory([this] {
            auto* Mon = new TfrmPinger(Clock);
            Loops.Hold(*Mon);
            return Mon;
        });
        Main->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
        Main->FormActivate();
        return *Main;
    }

    // Hands the monitor of Target a result, as its loop would.
    void Feed(const QString& Target, int RoundTrip, const std::string& Address = "127.0.0.1") {
        TfrmPinger* Mon = Main->FindMonitor(Target);
        ASSERT_NE(Mon, nullptr) << Target.toStdString();
        Mon->PingDone(MakeResult(*Clock, 0, RoundTrip, PING_STATUS_REQ_TIMED_OUT,
                                 Target.toStdString(), Address));
    }

    QByteArray ConfigText() const { return ReadWholeFile(Main->Config()->FConfigFileName); }

    // Declared first: parked loops are released only after every monitor has gone.
    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    std::unique_ptr<TfrmMain> Main;
};

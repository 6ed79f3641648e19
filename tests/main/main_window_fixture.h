// A main window for tests: a temporary XDG home, message boxes and file dialogs answered by the
// test, and monitors whose ping loops are parked, so results arrive only when a test hands them
// in.
#pragma once

#include "../monitor/monitor_test_support.h"
#include "TempConfigHome.h"
#include "ZRegistry.h"
#include "uFrmMain.h"
#include "uFrmPinger.h"
#include "zsFileDialog.h"
#include "zsImageButton.h"
#include "zsMessageBox.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

// A control of the main window, found by its object name (the name of its member).
template <class T>
T* Control(const TfrmMain& M, const char* Name) {
    T* Found = M.findChild<T*>(QString::fromLatin1(Name));
    EXPECT_NE(Found, nullptr) << Name;
    return Found;
}

// What the window shows of the hub's monitors.
inline TfrmPinger* FindMonitor(const TfrmMain& M, const QString& Target) {
    return M.ViewOf(M.Hub().Find(Target));
}
inline TfrmPinger* MonitorAt(const TfrmMain& M, int Index) {
    return M.ViewOf(M.Hub().Monitor(Index));
}
inline TfrmPinger* MainPanelMonitor(const TfrmMain& M) {
    return M.ViewOf(M.Hub().MainPanelMonitor());
}
// The entries of the groups box.
inline QStringList BoxItems(const TfrmMain& M) {
    QStringList Items;
    if (auto* Box = Control<QComboBox>(M, "cbGroups")) {
        for (int I = 0; I < Box->count(); ++I) {
            Items << Box->itemText(I);
        }
    }
    return Items;
}

// The person's actions, as the controls deliver them.
inline void ClickButton(const TfrmMain& M, const char* Name) {
    if (auto* Button = Control<TzsImageButton>(M, Name)) {
        emit Button->clicked();
    }
}
inline void TriggerAction(const TfrmMain& M, const char* Name) {
    if (auto* Action = Control<QAction>(M, Name)) {
        Action->trigger();
    }
}
// The entry selected in the groups box, chosen.
inline void ChooseShownGroup(const TfrmMain& M) {
    if (auto* Box = Control<QComboBox>(M, "cbGroups")) {
        emit Box->activated(Box->currentIndex());
    }
}
inline void ClickColumn(const TfrmMain& M, int Column) {
    if (auto* List = Control<QTreeView>(M, "lvPingers")) {
        emit List->header()->sectionClicked(Column);
    }
}
inline void GraphMouseDown(TfrmPinger* Monitor, Qt::MouseButton Button) {
    Monitor->Image32->OnMouseDown(Button, {}, {});
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TzsMessageBox::SetTestMode(true);
        TzsFileDialog::SetTestMode(true);
    }
    void TearDown() override {
        Main.reset();
        TzsMessageBox::TakeShown();
        TzsMessageBox::SetTestMode(false);
        TzsFileDialog::SetTestMode(false);
    }

    // Creates the window (its creation handler runs), lets Prepare set it up (its dialogs, say),
    // shows it at its design size and runs the first activation.
    TfrmMain& Open(const std::function<void(TfrmMain&)>& Prepare = {}) {
        Main = std::make_unique<TfrmMain>(&Registry);
        Main->Hub().SetSessionFactory([this] {
            auto Mon = std::make_unique<TPingerSession>(Clock);
            Loops.Hold(*Mon);
            return Mon;
        });
        if (Prepare) {
            Prepare(*Main);
        }
        Main->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
        Main->FormActivate();
        return *Main;
    }

    // Hands the monitor of Target a result, as its loop would.
    void Feed(const QString& Target, int RoundTrip, const std::string& Address = "127.0.0.1") {
        TPingerSession* Mon = Main->Hub().Find(Target);
        ASSERT_NE(Mon, nullptr) << Target.toStdString();
        Mon->PingDone(MakeResult(*Clock, 0, RoundTrip, PING_STATUS_REQ_TIMED_OUT,
                                 Target.toStdString(), Address));
    }

    // Closes the window as its close button does, then starts the program again on the same
    // home.
    TfrmMain& Restart(const std::function<void(TfrmMain&)>& Prepare = {}) {
        Main->close();
        Main.reset();
        return Open(Prepare);
    }

    QString ConfigFileName() const {
        return Homes.ConfigHome() + QStringLiteral("/Zephra Software/Vantorel/config.ini");
    }
    QByteArray ConfigText() const { return ReadWholeFile(ConfigFileName()); }
    // Writes config.ini before the window opens.
    void WriteConfig(const QByteArray& Text) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(ConfigFileName()).path()));
        ASSERT_TRUE(WriteWholeFile(ConfigFileName(), Text));
    }

    // Declared first: parked loops are released only after every monitor has gone.
    THeldLoops Loops;
    TTempXdgHomes Homes;
    TMemoryRegistryStore Registry;
    std::shared_ptr<FakeClock> Clock = std::make_shared<FakeClock>();
    std::unique_ptr<TfrmMain> Main;
};

// The [ALERTS] section of a config.ini in a temporary folder: values in every stored form, and
// saves killed at any moment.
#include "uAlertSettingsFile.h"
#include "zsIniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <string>

#include <unistd.h>

namespace {

class AlertSettingsFileTest : public ::testing::Test {
protected:
    QByteArray Text() const {
        QFile F(QString::fromStdString(Path));
        return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
    }
    void Put(const QByteArray& Content) {
        QFile F(QString::fromStdString(Path));
        ASSERT_TRUE(F.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(F.write(Content), Content.size());
    }

    QTemporaryDir Dir;
    std::string Path = Dir.filePath(QStringLiteral("config.ini")).toStdString();
    TzsIniFile File{Path};
};

// Values are read alike whatever their form: a number of any size or notation is moved into its
// range by its value, and a switch is on for 1, true or yes in any case.
TEST_F(AlertSettingsFileTest, ValuesAreReadAlikeWhateverTheirForm) {
    struct TRow {
        const char* Text;
        int FailThreshold;
        bool Sound;
        bool Enabled;
    };
    const TRow Rows[] = {
        {"FailThreshold=1e23\r\nSound=yes\r\nEnabled=YES\r\n", 10, true, true},
        {"FailThreshold=2147483648\r\nSound=true\r\nEnabled=True\r\n", 10, true, true},
        {"FailThreshold=99999999999999999999999\r\nSound=1\r\nEnabled=1\r\n", 10, true, true},
        {"FailThreshold=1e400\r\nSound=2\r\nEnabled= yes \r\n", 10, true, true},
        {"FailThreshold=-1e23\r\nSound=no\r\nEnabled=FALSE\r\n", 1, false, false},
        {"FailThreshold=1e-400\r\n", 1, false, false},
        {"FailThreshold=-2147483649\r\nSound=0\r\nEnabled=No\r\n", 1, false, false},
        {"FailThreshold=4.6\r\nSound=maybe\r\nEnabled=\r\n", 5, false, false},
        {"FailThreshold=+7\r\n", 7, false, false},
        {"FailThreshold=nan\r\n", 3, false, false},
        {"FailThreshold=inf\r\n", 3, false, false},
        {"FailThreshold=3x\r\n", 3, false, false},
    };
    for (const TRow& Row : Rows) {
        SCOPED_TRACE(Row.Text);
        Put(QByteArray("[ALERTS]\r\n") + Row.Text);
        const TAlertSettings S = ReadAlertSettings(File);
        EXPECT_EQ(S.FailThreshold, Row.FailThreshold);
        EXPECT_EQ(S.Sound, Row.Sound);
        EXPECT_EQ(ReadAlertingEnable(File), Row.Enabled);
    }
}

// A save of the alert settings is one rewrite of config.ini: a save killed at any moment leaves
// the whole old set or the whole new one, never a mixture, and the switch, keys this version
// does not know and other sections stay.
TEST_F(AlertSettingsFileTest, SaveKilledAnywhereLeavesOneWholeSet) {
    TAlertSettings A;
    TAlertSettings B;
    B.FailThreshold = 7;
    B.RecoverThreshold = 9;
    B.Window = 300;
    B.LossPercent = 55;
    B.LatencyMs = 250;
    B.Sound = true;
    Put("[COMMON]\r\nHintsEnable=1\r\n[ALERTS]\r\nEnabled=1\r\nFuture=keep\r\n");
    WriteAlertSettings(File, A);
    for (int Round = 0; Round < 60; ++Round) {
        const pid_t Child = ::fork();
        ASSERT_GE(Child, 0);
        if (Child == 0) {
            for (int I = 0;; ++I) {
                try {
                    WriteAlertSettings(File, I % 2 == 0 ? B : A);
                } catch (...) {
                }
            }
        }
        ::usleep(useconds_t(500 + (Round * 7919) % 20000));
        ::kill(Child, SIGKILL);
        int Status = 0;
        ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
        const TAlertSettings Read = ReadAlertSettings(File);
        EXPECT_TRUE(Read == A || Read == B) << "round " << Round << ":\n" << Text().toStdString();
        EXPECT_TRUE(ReadAlertingEnable(File));
        EXPECT_TRUE(Text().contains("Future=keep\r\n"));
        EXPECT_TRUE(Text().startsWith("[COMMON]\r\nHintsEnable=1\r\n"));
    }
}

} // namespace

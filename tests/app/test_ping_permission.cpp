// The start-up message when no ICMP socket can be opened: shown once with the probe's advice,
// and not at all when pinging works.
#include "uPingPermission.h"
#include "zsMessageBox.h"

#include <gtest/gtest.h>

namespace {

class PingPermissionTest : public ::testing::Test {
protected:
    PingPermissionTest() { TzsMessageBox::SetTestMode(true); }
    ~PingPermissionTest() override { TzsMessageBox::SetTestMode(false); }
};

TEST_F(PingPermissionTest, RefusedSocketsGiveOneWarningWithTheAdvice) {
    int Probes = 0;
    const bool Shown = ShowPingPermissionProblem(nullptr, [&] {
        ++Probes;
        return TIcmpProbeResult{
            false, "", "Allow it:\n    sudo setcap cap_net_raw+ep /opt/Büro/vantorel-icmp"};
    });
    EXPECT_TRUE(Shown);
    EXPECT_EQ(Probes, 1);
    const auto Boxes = TzsMessageBox::TakeShown();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes.first().Kind, TzsMessageBox::TKind::Warning);
    EXPECT_EQ(Boxes.first().Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(Boxes.first().Text,
              QStringLiteral("Allow it:\n    sudo setcap cap_net_raw+ep /opt/Büro/vantorel-icmp"));
}

TEST_F(PingPermissionTest, NothingIsShownWhenASocketOpens) {
    for (const char* Mode : {"datagram", "raw"}) {
        SCOPED_TRACE(Mode);
        EXPECT_FALSE(ShowPingPermissionProblem(nullptr, [&] {
            return TIcmpProbeResult{true, Mode, ""};
        }));
        EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
    }
}

} // namespace

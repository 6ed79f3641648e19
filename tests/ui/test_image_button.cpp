#include "zsImageButton.h"
#include "zsImageList.h"

#include <QApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {

// Three lists of plain-coloured pictures: the colour of the shown picture tells which list and
// which index the button took it from.
TzsImageList SolidList(std::initializer_list<QRgb> Colours) {
    TzsImageList List(8, 8);
    for (QRgb C : Colours) {
        QImage A(8, 8, QImage::Format_ARGB32_Premultiplied);
        A.fill(C);
        QImage B(16, 16, QImage::Format_ARGB32_Premultiplied);
        B.fill(C);
        List.Add(A, B);
    }
    return List;
}

constexpr QRgb Normal0 = 0xFF100000, Normal1 = 0xFF110000;
constexpr QRgb Hot0 = 0xFF001000, Hot1 = 0xFF001100;
constexpr QRgb Dis0 = 0xFF000010, Dis1 = 0xFF000011;
constexpr QRgb Design = 0xFF777777;

class ImageButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host = std::make_unique<QWidget>();
        Host->setGeometry(100, 100, 200, 200);
        Button = new TzsImageButton(Host.get());
        QPixmap Picture(8, 8);
        Picture.fill(QColor::fromRgba(Design));
        Button->SetPicture(Picture);
        Button->setGeometry(20, 30, 24, 24);
        // An earlier test may have left the pointer where the button now appears.
        QCursor::setPos(0, 0);
        Host->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Host.get()));
    }

    void AttachLists() {
        Button->SetMouseLeaveImageList(&NormalList);
        Button->SetMouseEnterImageList(&HotList);
        Button->SetDisabledImageList(&DisList);
    }

    QRgb Shown() const {
        const QImage Image = Button->PictureImage();
        return Image.isNull() ? 0 : Image.pixel(0, 0);
    }

    void Enter() {
        QEnterEvent E(QPointF(2, 2), QPointF(2, 2), Button->mapToGlobal(QPointF(2, 2)));
        QApplication::sendEvent(Button, &E);
    }
    void Leave() {
        QEvent E(QEvent::Leave);
        QApplication::sendEvent(Button, &E);
    }
    QPoint Inside() const { return Button->mapToGlobal(QPoint(5, 5)); }
    QPoint Outside() const { return Host->mapToGlobal(QPoint(150, 150)); }

    TzsImageList NormalList = SolidList({Normal0, Normal1});
    TzsImageList HotList = SolidList({Hot0, Hot1});
    TzsImageList DisList = SolidList({Dis0, Dis1});
    std::unique_ptr<QWidget> Host;
    TzsImageButton* Button = nullptr;
};

TEST(ImageButton, StartsAsANormalUnfocusable48PixelButton) {
    TzsImageButton B;
    EXPECT_EQ(B.size(), QSize(48, 48));
    EXPECT_EQ(B.ClickMovement(), 1);
    EXPECT_FALSE(B.Disabled());
    EXPECT_EQ(B.State(), ibsMouseLeave);
    EXPECT_EQ(B.focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(B.CurrentImageList(), nullptr);
}

TEST_F(ImageButtonTest, PictureFollowsPointerAndDisabledState) {
    EXPECT_EQ(Shown(), Design) << "design picture stays until a list supplies one";
    AttachLists();
    EXPECT_EQ(Shown(), Normal0);

    Enter();
    EXPECT_EQ(Button->State(), ibsMouseEnter);
    EXPECT_EQ(Shown(), Hot0);
    Button->SetImageIndex(1); // fetched from the pointer-over list at once
    EXPECT_EQ(Shown(), Hot1);
    Leave();
    EXPECT_EQ(Button->State(), ibsMouseLeave);
    EXPECT_EQ(Shown(), Normal1);

    Button->SetDisabled(true);
    EXPECT_FALSE(Button->isEnabled());
    EXPECT_EQ(Shown(), Dis1);
    for (int i = 0; i < 2; ++i) { // both notifications just re-show the disabled picture
        Enter();
        EXPECT_EQ(Button->State(), ibsDisabled);
        EXPECT_EQ(Shown(), Dis1);
        Leave();
        EXPECT_EQ(Button->State(), ibsDisabled);
    }

    // Enabled while the pointer rests on it: normal look until the pointer leaves and enters.
    Enter();
    Button->SetDisabled(false);
    EXPECT_TRUE(Button->isEnabled());
    EXPECT_EQ(Button->State(), ibsMouseLeave);
    EXPECT_EQ(Shown(), Normal1);
    Leave();
    Enter();
    EXPECT_EQ(Shown(), Hot1);
}

TEST_F(ImageButtonTest, MissingListsKeepThePictureAndUnknownIndexShowsNothing) {
    Button->SetMouseLeaveImageList(&NormalList);
    Enter(); // no pointer-over list: the normal picture stays
    EXPECT_EQ(Button->State(), ibsMouseEnter);
    EXPECT_EQ(Button->CurrentImageList(), nullptr);
    EXPECT_EQ(Shown(), Normal0);
    Button->SetDisabled(true); // no disabled list either
    EXPECT_EQ(Shown(), Normal0);
    Button->SetDisabled(false);

    Button->SetImageIndex(7);
    EXPECT_TRUE(Button->PictureImage().isNull());
    Button->SetImageIndex(-1);
    EXPECT_TRUE(Button->PictureImage().isNull());
    Button->SetImageIndex(1);
    EXPECT_EQ(Shown(), Normal1);

    TzsImageButton Icon(Host.get()); // a header icon with no lists shows its design picture
    QPixmap P(4, 4);
    P.fill(QColor::fromRgba(Design));
    Icon.SetPicture(P);
    Icon.SetDisabled(true);
    Icon.SetImageIndex(3);
    EXPECT_EQ(Icon.PictureImage().pixel(0, 0), Design);
}

TEST_F(ImageButtonTest, EveryMouseButtonShiftsWhilePressedButOnlyTheLeftClicks) {
    AttachLists();
    struct Case {
        Qt::MouseButton Button;
        int Movement;
        int Clicks;
    };
    const Case Cases[] = {{Qt::LeftButton, 1, 1},
                          {Qt::RightButton, 1, 0},
                          {Qt::MiddleButton, 1, 0},
                          {Qt::LeftButton, 0, 1},
                          {Qt::RightButton, 3, 0}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << "button " << C.Button << " movement " << C.Movement);
        Button->SetClickMovement(C.Movement);
        int Clicks = 0;
        QPoint PosInHandler;
        auto Conn = QObject::connect(Button, &TzsImageButton::clicked, Host.get(), [&] {
            ++Clicks;
            PosInHandler = Button->pos();
        });
        QCursor::setPos(Inside());
        QTest::mousePress(Button, C.Button, Qt::NoModifier, QPoint(5, 5));
        EXPECT_EQ(Button->pos(), QPoint(20 + C.Movement, 30 + C.Movement));
        QTest::mouseRelease(Button, C.Button, Qt::NoModifier, QPoint(5, 5));
        EXPECT_EQ(Button->pos(), QPoint(20, 30));
        EXPECT_EQ(Clicks, C.Clicks);
        if (C.Clicks) { // the click handler runs while the button is still shifted
            EXPECT_EQ(PosInHandler, QPoint(20 + C.Movement, 30 + C.Movement));
        }
        QObject::disconnect(Conn);
    }
}

TEST_F(ImageButtonTest, ReleaseAwayReturnsToNormalLookAndReleaseOverKeepsHot) {
    AttachLists();
    QCursor::setPos(Inside());
    Enter();
    int Clicks = 0;
    QObject::connect(Button, &TzsImageButton::clicked, Host.get(), [&] { ++Clicks; });

    QTest::mousePress(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseRelease(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Clicks, 1);
    EXPECT_EQ(Button->State(), ibsMouseEnter);
    EXPECT_EQ(Shown(), Hot0);

    QTest::mousePress(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCursor::setPos(Outside());
    Enter(); // whatever the platform reported while dragging, the release decides
    QTest::mouseRelease(Button, Qt::LeftButton, Qt::NoModifier, QPoint(130, 120));
    EXPECT_EQ(Clicks, 1) << "released outside the button: no click";
    EXPECT_EQ(Button->State(), ibsMouseLeave);
    EXPECT_EQ(Shown(), Normal0);
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
}

TEST_F(ImageButtonTest, ClickHandlerThatHidesOrDisablesTheButtonLeavesItConsistent) {
    AttachLists();
    QCursor::setPos(Inside());

    // Hides itself: back to the normal look and its place.
    Enter();
    auto Conn =
        QObject::connect(Button, &TzsImageButton::clicked, Host.get(), [&] { Button->hide(); });
    QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Button->State(), ibsMouseLeave);
    EXPECT_EQ(Shown(), Normal0);
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
    QObject::disconnect(Conn);
    Button->show();

    // Disables itself (as a close button does): it keeps the disabled look and cannot be
    // clicked again.
    int Clicks = 0;
    Enter();
    QObject::connect(Button, &TzsImageButton::clicked, Host.get(), [&] {
        ++Clicks;
        Button->SetDisabled(true);
    });
    QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Clicks, 1);
    EXPECT_EQ(Button->State(), ibsDisabled);
    EXPECT_EQ(Shown(), Dis0);
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
}

TEST_F(ImageButtonTest, DisablingWhilePressedPutsTheButtonBack) {
    QTest::mousePress(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Button->pos(), QPoint(21, 31));
    Button->SetDisabled(true); // the release will not reach a disabled widget
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
    QTest::mouseRelease(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
}

// A button made a tab stop: Tab reaches it, a frame shows the focus, Enter clicks, Space
// presses and clicks on release; a mouse click still leaves the focus where it was.
class ImageButtonKeyboardTest : public ImageButtonTest {
protected:
    void SetUp() override {
        ImageButtonTest::SetUp();
        Box = new QLineEdit(Host.get());
        Box->setGeometry(20, 100, 100, 22);
        Box->show();
        Host->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Host.get()));
        QObject::connect(Button, &TzsImageButton::clicked, Host.get(), [this] {
            ++Clicks;
            PosInHandler = Button->pos();
        });
        Button->SetTabStop(true);
        QWidget::setTabOrder(Box, Button);
        Box->setFocus();
    }
    // The button's corner pixel as drawn on screen: the focus frame runs along the edge.
    QRgb Corner() const { return Button->grab().toImage().pixel(0, 0); }

    QLineEdit* Box = nullptr;
    int Clicks = 0;
    QPoint PosInHandler;
};

TEST_F(ImageButtonKeyboardTest, TabReachesTheButtonAndAFrameShowsTheFocus) {
    EXPECT_EQ(Button->focusPolicy(), Qt::TabFocus);
    EXPECT_EQ(Corner(), Design);
    QTest::keyClick(Box, Qt::Key_Tab);
    ASSERT_TRUE(Button->hasFocus());
    EXPECT_EQ(Corner(), Button->palette().color(QPalette::Highlight).rgba());
    EXPECT_EQ(Button->grab().toImage().pixel(4, 4), Design) << "the picture itself stays";

    // A mouse click does not take the focus from a text box.
    Box->setFocus();
    QTest::mouseClick(Button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(Clicks, 1);
    EXPECT_TRUE(Box->hasFocus());
    EXPECT_EQ(Corner(), Design);

    // Switched off again, Tab passes it by.
    Button->setFocus();
    Button->SetTabStop(false);
    EXPECT_FALSE(Button->hasFocus());
    Box->setFocus();
    QTest::keyClick(Box, Qt::Key_Tab);
    EXPECT_FALSE(Button->hasFocus());
}

TEST_F(ImageButtonKeyboardTest, EnterClicksAndSpaceClicksOnReleaseWhileShifted) {
    Button->setFocus();
    QTest::keyClick(Button, Qt::Key_Return);
    QTest::keyClick(Button, Qt::Key_Enter);
    EXPECT_EQ(Clicks, 2);
    EXPECT_EQ(Button->pos(), QPoint(20, 30));

    QTest::keyPress(Button, Qt::Key_Space);
    EXPECT_EQ(Button->pos(), QPoint(21, 31));
    // Held down, the key repeats its press.
    QKeyEvent Repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
    QApplication::sendEvent(Button, &Repeat);
    EXPECT_EQ(Clicks, 2);
    EXPECT_EQ(Button->pos(), QPoint(21, 31));
    QTest::keyRelease(Button, Qt::Key_Space);
    EXPECT_EQ(Clicks, 3);
    EXPECT_EQ(PosInHandler, QPoint(21, 31));
    EXPECT_EQ(Button->pos(), QPoint(20, 30));

    // Focus lost while Space is held: back in place and no click.
    QTest::keyPress(Button, Qt::Key_Space);
    Box->setFocus();
    EXPECT_EQ(Button->pos(), QPoint(20, 30));
    QTest::keyRelease(Button, Qt::Key_Space);
    EXPECT_EQ(Clicks, 3);

    // A disabled button cannot hold the focus, so it cannot be clicked from the keyboard.
    Button->setFocus();
    Button->SetDisabled(true);
    EXPECT_FALSE(Button->hasFocus());
}

} // namespace

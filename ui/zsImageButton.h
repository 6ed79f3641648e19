// TzsImageButton: the picture button behind every clickable image (toolbar, dialog buttons,
// window buttons). It shows one picture from up to three image lists (normal, pointer over,
// disabled), shifts by ClickMovement pixels while pressed, and reports clicks through
// clicked(). It has no caption and takes no focus unless made a tab stop (SetTabStop), so that
// a click on it never pulls the focus out of a text box.
//
//   auto* btn = new TzsImageButton(header);
//   btn->setGeometry(0, 0, 24, 24);
//   btn->SetMouseLeaveImageList(&lists.ImgWindows16);
//   btn->SetMouseEnterImageList(&lists.ImageWindows16Hot);
//   btn->SetDisabledImageList(&lists.ImgWindows16Dis);
//   btn->SetImageIndex(TSharedImageLists::WinClose);
//   connect(btn, &TzsImageButton::clicked, this, &MyWindow::btnCloseClick);
//   btn->SetDisabled(true);   // never setEnabled() directly
//
// The lists are not owned and must outlive the button.
#pragma once

#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <vector>

class TzsImageList;

enum TImageButtonState : std::uint8_t { ibsMouseEnter = 0, ibsMouseLeave = 1, ibsDisabled = 2 };

class TzsImageButton : public QWidget {
    Q_OBJECT

public:
    explicit TzsImageButton(QWidget* Owner = nullptr);
    ~TzsImageButton() override;

    TImageButtonState State() const { return FState; }

    int ImageIndex() const { return FImageIndex; }
    void SetImageIndex(int Value);

    const TzsImageList* MouseLeaveImageList() const { return FMouseLeaveImageList; }
    const TzsImageList* MouseEnterImageList() const { return FMouseEnterImageList; }
    const TzsImageList* DisabledImageList() const { return FDisabledImageList; }
    void SetMouseLeaveImageList(const TzsImageList* Value);
    void SetMouseEnterImageList(const TzsImageList* Value);
    void SetDisabledImageList(const TzsImageList* Value);

    bool Disabled() const { return FDisabled; }
    void SetDisabled(bool Value);

    int ClickMovement() const { return FClickMovement; }
    void SetClickMovement(int Value) { FClickMovement = Value; }

    // Lets Tab move the keyboard focus onto the button. A focused button shows a frame in the
    // palette's highlight colour; Enter clicks it, and Space presses it (shifted like a mouse
    // press) and clicks on release. Off by default.
    bool TabStop() const { return focusPolicy() == Qt::TabFocus; }
    void SetTabStop(bool Value);

    // Draw the picture centred in the button instead of at its top-left corner.
    bool Center() const { return FCenter; }
    void SetCenter(bool Value);

    // The list FState maps to; null when that list is not set.
    const TzsImageList* CurrentImageList() const;

    // Shows picture Index of List; a null List leaves the picture as it is, an index the list
    // does not hold gives an empty picture.
    void UpdateImage(const TzsImageList* List, int Index);

    // The picture shown until a list supplies one (and for good when there is no list).
    void SetPicture(const QPixmap& Picture);
    // The picture on screen at 1x (empty when there is none); for windows and tests that need
    // to know what is shown.
    QImage PictureImage() const;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* Event) override;
    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    void ButtonMouseDown();
    void ButtonMouseUp();
    void UndoAllPressOffsets();
    void UndoLastPressOffset();

    TImageButtonState FState = ibsMouseLeave;
    int FImageIndex = 0;
    const TzsImageList* FMouseLeaveImageList = nullptr;
    const TzsImageList* FDisabledImageList = nullptr;
    const TzsImageList* FMouseEnterImageList = nullptr;
    bool FDisabled = false;
    int FClickMovement = 1;
    bool FCenter = false;
    bool FLeftPressed = false;
    bool FSpacePressed = false;
    // The offsets applied by presses that have not been released yet, so a release undoes
    // exactly what its press did even if ClickMovement changed in between.
    std::vector<int> FPressOffsets;
    QPixmap FPicture1x;
    QPixmap FPicture2x;
};

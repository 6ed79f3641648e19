#include "zsImageButton.h"

#include "zsImageList.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

TzsImageButton::TzsImageButton(QWidget* Owner) : QWidget(Owner) {
    setFocusPolicy(Qt::NoFocus);
    resize(48, 48);
}

TzsImageButton::~TzsImageButton() = default;

void TzsImageButton::SetImageIndex(int Value) {
    FImageIndex = Value;
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::SetMouseLeaveImageList(const TzsImageList* Value) {
    FMouseLeaveImageList = Value;
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::SetMouseEnterImageList(const TzsImageList* Value) {
    FMouseEnterImageList = Value;
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::SetDisabledImageList(const TzsImageList* Value) {
    FDisabledImageList = Value;
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::SetDisabled(bool Value) {
    FDisabled = Value;
    setEnabled(!Value);
    FState = Value ? ibsDisabled : ibsMouseLeave;
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::SetCenter(bool Value) {
    FCenter = Value;
    update();
}

const TzsImageList* TzsImageButton::CurrentImageList() const {
    switch (FState) {
    case ibsMouseEnter:
        return FMouseEnterImageList;
    case ibsMouseLeave:
        return FMouseLeaveImageList;
    case ibsDisabled:
        return FDisabledImageList;
    }
    return nullptr;
}

void TzsImageButton::UpdateImage(const TzsImageList* List, int Index) {
    if (!List) {
        return;
    }
    FPicture1x = List->Pixmap(Index, 1.0);
    FPicture2x = List->Pixmap(Index, 2.0);
    update();
}

void TzsImageButton::SetPicture(const QPixmap& Picture) {
    FPicture1x = Picture;
    FPicture2x = QPixmap();
    update();
}

QImage TzsImageButton::PictureImage() const {
    return FPicture1x.toImage();
}

void TzsImageButton::paintEvent(QPaintEvent*) {
    const QPixmap& Picture =
        devicePixelRatioF() > 1.0 && !FPicture2x.isNull() ? FPicture2x : FPicture1x;
    if (Picture.isNull()) {
        return;
    }
    QPainter Painter(this);
    const QSizeF Size = Picture.deviceIndependentSize();
    QPointF At(0, 0);
    if (FCenter) {
        At = QPointF((width() - Size.width()) / 2.0, (height() - Size.height()) / 2.0);
    }
    Painter.drawPixmap(At.toPoint(), Picture);
}

void TzsImageButton::enterEvent(QEnterEvent* Event) {
    QWidget::enterEvent(Event);
    if (!FDisabled) {
        FState = ibsMouseEnter;
    }
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::leaveEvent(QEvent* Event) {
    QWidget::leaveEvent(Event);
    if (!FDisabled) {
        FState = ibsMouseLeave;
    }
    UpdateImage(CurrentImageList(), FImageIndex);
}

void TzsImageButton::mousePressEvent(QMouseEvent* Event) {
    Event->accept();
    if (Event->button() == Qt::LeftButton) {
        FLeftPressed = true;
    }
    ButtonMouseDown();
}

void TzsImageButton::mouseReleaseEvent(QMouseEvent* Event) {
    Event->accept();
    const bool WasLeft = Event->button() == Qt::LeftButton && FLeftPressed;
    if (Event->button() == Qt::LeftButton) {
        FLeftPressed = false;
    }
    // The click handler runs while the button is still shifted, as with any toolkit button
    // whose click fires before its mouse-up; it may close the window or hide the button.
    QPointer<TzsImageButton> Self(this);
    if (WasLeft && rect().contains(Event->position().toPoint())) {
        emit clicked();
    }
    if (Self) {
        ButtonMouseUp();
    }
}

void TzsImageButton::ButtonMouseDown() {
    FPressOffsets.push_back(FClickMovement);
    move(x() + FClickMovement, y() + FClickMovement);
}

void TzsImageButton::ButtonMouseUp() {
    if (!FPressOffsets.empty()) {
        const int Offset = FPressOffsets.back();
        FPressOffsets.pop_back();
        move(x() - Offset, y() - Offset);
    }
    QWidget* Under = QApplication::widgetAt(QCursor::pos());
    const bool OverThis = Under == this && isEnabled() && isVisible();
    // A button that disabled itself in its click handler keeps its disabled look; only an
    // enabled button goes back to normal when released away from it.
    if (!OverThis && !FDisabled) {
        FState = ibsMouseLeave;
        UpdateImage(CurrentImageList(), FImageIndex);
    }
}

void TzsImageButton::UndoAllPressOffsets() {
    FLeftPressed = false;
    while (!FPressOffsets.empty()) {
        const int Offset = FPressOffsets.back();
        FPressOffsets.pop_back();
        move(x() - Offset, y() - Offset);
    }
}

void TzsImageButton::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    // A disabled or hidden widget gets no release, so a press still held would leave the
    // button shifted for good.
    if (Event->type() == QEvent::EnabledChange && !isEnabled()) {
        UndoAllPressOffsets();
    }
}

void TzsImageButton::hideEvent(QHideEvent* Event) {
    QWidget::hideEvent(Event);
    UndoAllPressOffsets();
}

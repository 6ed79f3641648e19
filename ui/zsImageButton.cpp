#include "zsImageButton.h"

#include "zsImageList.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
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

void TzsImageButton::SetTabStop(bool Value) {
    setFocusPolicy(Value ? Qt::TabFocus : Qt::NoFocus);
    if (!Value && hasFocus()) {
        clearFocus();
    }
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
    if (Picture.isNull() && !hasFocus()) {
        return;
    }
    QPainter Painter(this);
    if (!Picture.isNull()) {
        const QSizeF Size = Picture.deviceIndependentSize();
        QPointF At(0, 0);
        if (FCenter) {
            At = QPointF((width() - Size.width()) / 2.0, (height() - Size.height()) / 2.0);
        }
        Painter.drawPixmap(At.toPoint(), Picture);
    }
    if (hasFocus()) {
        Painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
        Painter.setBrush(Qt::NoBrush);
        Painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
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
    UndoLastPressOffset();
    QWidget* Under = QApplication::widgetAt(QCursor::pos());
    const bool OverThis = Under == this && isEnabled() && isVisible();
    // A button that disabled itself in its click handler keeps its disabled look; only an
    // enabled button goes back to normal when released away from it.
    if (!OverThis && !FDisabled) {
        FState = ibsMouseLeave;
        UpdateImage(CurrentImageList(), FImageIndex);
    }
}

void TzsImageButton::UndoLastPressOffset() {
    if (!FPressOffsets.empty()) {
        const int Offset = FPressOffsets.back();
        FPressOffsets.pop_back();
        move(x() - Offset, y() - Offset);
    }
}

void TzsImageButton::UndoAllPressOffsets() {
    FLeftPressed = false;
    FSpacePressed = false;
    while (!FPressOffsets.empty()) {
        UndoLastPressOffset();
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

void TzsImageButton::keyPressEvent(QKeyEvent* Event) {
    switch (Event->key()) {
    case Qt::Key_Space:
        if (!Event->isAutoRepeat() && !FSpacePressed) {
            FSpacePressed = true;
            ButtonMouseDown();
        }
        Event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Event->accept();
        if (!Event->isAutoRepeat()) {
            emit clicked();
        }
        return;
    default:
        QWidget::keyPressEvent(Event);
    }
}

void TzsImageButton::keyReleaseEvent(QKeyEvent* Event) {
    if (Event->key() != Qt::Key_Space) {
        QWidget::keyReleaseEvent(Event);
        return;
    }
    Event->accept();
    if (Event->isAutoRepeat() || !FSpacePressed) {
        return;
    }
    FSpacePressed = false;
    // As with the mouse, the click handler runs while the button is still shifted.
    QPointer<TzsImageButton> Self(this);
    emit clicked();
    if (Self) {
        UndoLastPressOffset();
    }
}

void TzsImageButton::focusInEvent(QFocusEvent* Event) {
    QWidget::focusInEvent(Event);
    update();
}

void TzsImageButton::focusOutEvent(QFocusEvent* Event) {
    QWidget::focusOutEvent(Event);
    // Space released elsewhere never reaches this button.
    if (FSpacePressed) {
        FSpacePressed = false;
        UndoLastPressOffset();
    }
    update();
}

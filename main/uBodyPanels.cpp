#include "uBodyPanels.h"

#include "uMonitorCollection.h"

#include <QScrollBar>
#include <QWheelEvent>

#include <cstdlib>

TResizePanel::TResizePanel(QWidget* Parent) : QWidget(Parent) {}

void TResizePanel::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (OnResize) {
        OnResize();
    }
}

TTileScroller::TTileScroller(QWidget* Parent) : QScrollArea(Parent) {
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::NoFocus);
    horizontalScrollBar()->setSingleStep(TTileLayout::TileWidth / 4);
    horizontalScrollBar()->setPageStep(TTileLayout::TileWidth);
}

void TTileScroller::wheelEvent(QWheelEvent* Event) {
    QScrollBar* Bar = horizontalScrollBar();
    if (Bar->maximum() == 0) {
        Event->ignore();
        return;
    }
    // Either direction of the wheel scrolls sideways; a touchpad's pixels are taken as they are.
    const QPoint Pixels = Event->pixelDelta();
    const QPoint Angle = Event->angleDelta();
    const auto Larger = [](QPoint P) { return std::abs(P.x()) > std::abs(P.y()) ? P.x() : P.y(); };
    const int Step =
        !Pixels.isNull() ? Larger(Pixels) : Larger(Angle) * TTileLayout::TileWidth / 120;
    Bar->setValue(Bar->value() - Step);
    Event->accept();
}

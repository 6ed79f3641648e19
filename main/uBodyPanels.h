// The panels of the main window's body: one that reports its resizes, and the tile panel's
// sideways-scrolling view.
#pragma once

#include <QScrollArea>
#include <QWidget>

#include <functional>

class QResizeEvent;
class QWheelEvent;

// A panel that reports its resizes to its owner.
class TResizePanel : public QWidget {
    Q_OBJECT

public:
    explicit TResizePanel(QWidget* Parent = nullptr);
    std::function<void()> OnResize;

protected:
    void resizeEvent(QResizeEvent* Event) override;
};

// The tile panel's view: scrolls sideways when the tile columns are wider than the room beside
// the main panel; the wheel scrolls it by a column a notch.
class TTileScroller : public QScrollArea {
    Q_OBJECT

public:
    explicit TTileScroller(QWidget* Parent = nullptr);

protected:
    void wheelEvent(QWheelEvent* Event) override;
};

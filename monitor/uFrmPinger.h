// TfrmPinger is the monitor window: an 18-pixel header with the ping indicator, the caption and
// a close button, the graph area showing the session's composed raster, and a status line with
// the uptime and the last result. It is the window face of TPingerSession, which owns the ping
// loop, the samples and the drawing.
//
//   auto* mon = new TfrmPinger();
//   mon->OnMonitorClosed = [&](TPingerSession& s) { forget(static_cast<TfrmPinger&>(s)); };
//   mon->OnCloseClicked = ...;  mon->OnMonitorUpdated = ...;
//   mon->Image32->OnMouseDown = [&](Qt::MouseButton b, Qt::KeyboardModifiers, QPoint) { ... };
//   mon->SetLogWorker(&worker); mon->SetLogFolder(folder);
//   mon->BeginMonitor("localhost", "");
//   mon->show(); mon->setParent(panel); mon->setGeometry(...); mon->show();
//
// Lifetime. The close handling (stop the loop, then OnMonitorClosed) runs exactly once, on
// whichever comes first:
//   - close() (the close button, Esc, or the owner): the handler runs with the window whole,
//     and the window frees itself later (deleteLater), after close() has returned. Do not
//     delete it in the handler; forget it.
//   - destruction without close(): a parent panel destroyed first takes its child monitors with
//     it, or the owner deletes one. The destructor then runs the close handling itself, so the
//     owner still hears of it, with the window still whole; the handler must only forget it.
//     An owner that is itself being torn down clears the handlers (or closes its monitors)
//     before its panels go.
// OnCloseClicked follows OnMonitorClosed only for the close button.
#pragma once

#include "uPingerSession.h"
#include "zsImageList.h"

#include <QWidget>

#include <functional>

class QLabel;
class TzsImageButton;

// The graph area: shows a graph's picture at its top-left corner, unscaled. It paints straight
// from the graph's rasters, so a refresh costs no copy of the picture.
class TImage32 : public QWidget {
    Q_OBJECT

public:
    explicit TImage32(QWidget* Parent = nullptr);

    void SetSource(const TPingerGraph* Graph);
    QImage Image() const; // the picture shown

    // What the owner wants done on a press (the main window swaps monitors with it).
    std::function<void(Qt::MouseButton, Qt::KeyboardModifiers, QPoint)> OnMouseDown;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;

private:
    const TPingerGraph* FSource = nullptr;
};

// A panel filled with a vertical gradient and framed by a one-pixel border.
class TGradientPanel : public QWidget {
    Q_OBJECT

public:
    TGradientPanel(QColor From, QColor To, QColor Border, QWidget* Parent = nullptr);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QColor FFrom;
    QColor FTo;
    QColor FBorder;
};

class TfrmPinger : public QWidget, public TPingerSession {
    Q_OBJECT

public:
    static constexpr int HeaderHeight = 18;
    static constexpr int StatusHeight = 18;
    static constexpr int TranslucentOpacity = 50; // of 255, while Ctrl is held

    explicit TfrmPinger(std::shared_ptr<TClock> Clock = nullptr, QWidget* Parent = nullptr);
    ~TfrmPinger() override;

    // 1 marks the monitor shown in the main window's main panel, 0 a tile.
    int Tag = 0;

    // The opacity the window asks for: translucency on or off, and its value (0..255).
    bool AlphaBlend() const { return FAlphaBlend; }
    int AlphaBlendValue() const { return FAlphaBlendValue; }

    void zsibCloseClick();

    TGradientPanel* PanelTop = nullptr;
    TzsImageButton* zsbImgPing = nullptr;
    QLabel* lbHeader = nullptr;
    TzsImageButton* zsibClose = nullptr;
    TImage32* Image32 = nullptr;
    QWidget* pnlBottom = nullptr;
    QLabel* lbUpTime = nullptr;
    QLabel* lbStatus = nullptr;
    QLabel* lbDegraded = nullptr; // "Degraded" in amber, between the uptime and the status

protected:
    void HeaderChanged() override;
    void StatusLineChanged() override;
    void GraphChanged() override;
    void PingIndicatorChanged() override;
    bool GraphVisible() const override;
    void DegradedChanged() override;

    void showEvent(QShowEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void FormCreate();
    void LayoutControls();
    void LayoutStatusLine();
    void SetOpacity(bool Translucent);

    // What the status line and the caption last showed, so that a result that changes nothing
    // there costs no relayout.
    QString FShownUpTime;
    QString FShownStatus;
    TColor FShownStatusColor = 0xFFFFFFFF;
    TColor FShownHeaderColor = 0xFFFFFFFF;
    bool FAlphaBlend = false;
    int FAlphaBlendValue = 255;
    void CloseHandling();

    bool FClosing = false;      // closeEvent has begun
    bool FCloseHandled = false; // stopped and OnMonitorClosed fired
};

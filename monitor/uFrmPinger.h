// TfrmPinger is the monitor window: an 18-pixel header with the ping indicator, the caption and
// a close button, the graph area showing the session's composed raster, and a status line with
// the uptime and the last result. It shows a TPingerSession, which owns the ping loop, the
// samples and the drawing: a session of its own, or one its owner keeps.
//
//   auto* mon = new TfrmPinger(Session);    // shows a session the owner keeps
//   mon->OnMonitorClosed = [&](TfrmPinger& w) { owner.Close(w.Session()); };
//   mon->Image32->OnMouseDown = [&](Qt::MouseButton b, Qt::KeyboardModifiers, QPoint) { ... };
//   mon->setParent(panel); mon->setGeometry(...); mon->show();
//
// Closing the window (close button, Esc, close()) runs its close handling once: a session of its
// own is stopped, then OnMonitorClosed fires with the window whole, and the window frees itself
// later (deleteLater). A window showing someone else's session leaves stopping it to the owner,
// which lets the window go with Detach() (it then shows nothing and never touches the session).
#pragma once

#include "uPingerSession.h"
#include "zsImageList.h"

#include <QWidget>

#include <functional>
#include <memory>

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

class TfrmPinger : public QWidget, private TPingerSessionView {
    Q_OBJECT

public:
    static constexpr int HeaderHeight = 18;
    static constexpr int StatusHeight = 18;
    static constexpr int TranslucentOpacity = 50; // of 255, while Ctrl is held

    using TWindowEvent = std::function<void(TfrmPinger& Sender)>;

    // A window with a session of its own, stopped when the window closes or is destroyed.
    explicit TfrmPinger(std::shared_ptr<TClock> Clock = nullptr, QWidget* Parent = nullptr);
    // A window showing Session, which the caller keeps until it has called Detach().
    explicit TfrmPinger(TPingerSession& Session, QWidget* Parent = nullptr);
    ~TfrmPinger() override;

    // The session shown; only while it has one (not after Detach).
    TPingerSession& Session() const { return *FSession; }
    bool HasSession() const { return FSession != nullptr; }
    // Stops showing the session; what the window does afterwards never reaches it. Closing the
    // window after this fires nothing.
    void Detach();

    TWindowEvent OnMonitorClosed; // by the close handling
    TWindowEvent OnCloseClicked;  // after the close button closed the window

    // The opacity the window asks for: translucency on or off, and its value (0..255).
    bool AlphaBlend() const { return FAlphaBlend; }
    int AlphaBlendValue() const { return FAlphaBlendValue; }

    void zsibCloseClick();

    // What the header's tooltip shows: the whole caption with the target and address.
    QString HeaderToolTip() const;

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
    void showEvent(QShowEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void HeaderChanged() override;
    void StatusLineChanged() override;
    void GraphChanged() override;
    void PingIndicatorChanged() override;
    bool GraphVisible() const override;
    void DegradedChanged() override;

    void FormCreate();
    void LayoutControls();
    void LayoutStatusLine();
    void SetOpacity(bool Translucent);
    void ShowTextColours();
    void ShowHeaderText();

    // What the status line last showed, so that a result that changes nothing there costs no
    // relayout.
    QString FShownUpTime;
    QString FShownStatus;
    QString FHeaderText = QStringLiteral("Monitor"); // the caption whole
    bool FAlphaBlend = false;
    int FAlphaBlendValue = 255;
    void CloseHandling();

    std::unique_ptr<TPingerSession> FOwnSession;
    TPingerSession* FSession = nullptr;
    bool FClosing = false;      // closeEvent has begun
    bool FCloseHandled = false; // stopped and OnMonitorClosed fired
};

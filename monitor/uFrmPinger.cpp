#include "uFrmPinger.h"

#include "zsImageButton.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QToolTip>

#include <cmath>

namespace {

QFont HeaderFont() {
    QFont Font(QStringLiteral("Tahoma"));
    Font.setStyleHint(QFont::SansSerif);
    Font.setPointSize(8);
    Font.setBold(true);
    return Font;
}

// Sets the colour only when the label shows another: a label given its own colour again would
// still be laid out and repainted.
void SetTextColor(QLabel* Label, const QColor& Color) {
    if (Label->palette().color(QPalette::WindowText) == Color) {
        return;
    }
    QPalette P = Label->palette();
    P.setColor(QPalette::WindowText, Color);
    Label->setPalette(P);
}

constexpr TColor clUpTime = 0x0000C0B0;
const QColor DegradedColour(255, 176, 0);

// ImgStandard16, ImgHot16 and ImgDis16: the same pictures for every monitor window, rendered
// once and let go with the application object (their pixmaps need it).
const TPingerImageLists& PingerImages() {
    static TPingerImageLists* Lists = nullptr;
    if (!Lists) {
        Lists = new TPingerImageLists();
        qAddPostRoutine([] {
            delete Lists;
            Lists = nullptr;
        });
    }
    return *Lists;
}

} // namespace

TImage32::TImage32(QWidget* Parent) : QWidget(Parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TImage32::SetSource(const TPingerGraph* Graph) {
    FSource = Graph;
    update();
}

QImage TImage32::Image() const {
    return FSource ? FSource->Composed().Image() : QImage();
}

void TImage32::paintEvent(QPaintEvent* Event) {
    QPainter Painter(this);
    // The rasters are sized to this area on every full redraw; anything they do not cover (for
    // a moment during a resize) stays black like the graph's own fill.
    const QRect Covered =
        FSource ? QRect(0, 0, FSource->Background().Width(), FSource->Background().Height())
                : QRect();
    if (!Covered.contains(Event->rect())) {
        Painter.fillRect(Event->rect(), Qt::black);
    }
    if (FSource) {
        FSource->Paint(Painter, Event->rect());
    }
}

void TImage32::mousePressEvent(QMouseEvent* Event) {
    // The owner's handler may move this monitor to another panel; the press then goes on to the
    // monitor window, which takes the keyboard focus.
    QPointer<TImage32> Self(this);
    if (OnMouseDown) {
        OnMouseDown(Event->button(), Event->modifiers(), Event->position().toPoint());
    }
    if (Self) {
        QWidget::mousePressEvent(Event);
    }
}

TGradientPanel::TGradientPanel(QColor From, QColor To, QColor Border, QWidget* Parent)
    : QWidget(Parent), FFrom(From), FTo(To), FBorder(Border) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TGradientPanel::paintEvent(QPaintEvent*) {
    QPainter Painter(this);
    // Top to bottom over the rows inside the border, in 256 colour steps: the first row has the
    // start colour and the last row the end colour.
    const int First = 1;
    const int Last = height() - 2;
    for (int y = First; y <= Last; ++y) {
        const int Step = Last > First ? (y - First) * 255 / (Last - First) : 255;
        auto Mix = [Step](int A, int B) { return A + int(std::lround((B - A) * Step / 255.0)); };
        Painter.fillRect(0, y, width(), 1,
                         QColor(Mix(FFrom.red(), FTo.red()), Mix(FFrom.green(), FTo.green()),
                                Mix(FFrom.blue(), FTo.blue())));
    }
    Painter.setPen(FBorder);
    Painter.drawRect(0, 0, width() - 1, height() - 1);
}

TfrmPinger::TfrmPinger(std::shared_ptr<TClock> Clock, QWidget* Parent)
    : QWidget(Parent), FOwnSession(std::make_unique<TPingerSession>(std::move(Clock))),
      FSession(FOwnSession.get()) {
    FormCreate();
}

TfrmPinger::TfrmPinger(TPingerSession& Session, QWidget* Parent)
    : QWidget(Parent), FSession(&Session) {
    FormCreate();
}

// A monitor destroyed without being closed (its parent panel went first, or it was deleted
// outright) still stops and tells its owner, once, while it is whole.
TfrmPinger::~TfrmPinger() {
    if (!FCloseHandled) {
        try {
            CloseHandling();
        } catch (const std::exception& E) {
            qWarning("Monitor closing: %s", E.what()); // nothing may leave a destructor
        }
    }
    Detach();
}

void TfrmPinger::Detach() {
    if (!FSession) {
        return;
    }
    FCloseHandled = true;
    Image32->SetSource(nullptr);
    FSession->SetView(nullptr);
    FSession = nullptr;
}

void TfrmPinger::CloseHandling() {
    FCloseHandled = true;
    if (FOwnSession) {
        FOwnSession->StopMonitor();
    }
    if (OnMonitorClosed) {
        OnMonitorClosed(*this);
    }
}

void TfrmPinger::FormCreate() {
    setFocusPolicy(Qt::StrongFocus);
    QPalette P = palette();
    P.setColor(QPalette::Window, Qt::black);
    setPalette(P);
    setAutoFillBackground(true);

    PanelTop = new TGradientPanel(QColor(40, 40, 40), QColor(12, 12, 12), QColor(58, 58, 58), this);

    zsbImgPing = new TzsImageButton(PanelTop);
    zsbImgPing->resize(16, 16);
    zsbImgPing->SetClickMovement(0);
    zsbImgPing->SetMouseLeaveImageList(&PingerImages().ImgStandard16);
    zsbImgPing->SetMouseEnterImageList(&PingerImages().ImgHot16);
    zsbImgPing->SetDisabledImageList(&PingerImages().ImgDis16);
    zsbImgPing->SetImageIndex(TPingerImageLists::PingIndicator);

    lbHeader = new QLabel(QStringLiteral("Monitor"), PanelTop);
    lbHeader->setAlignment(Qt::AlignCenter);
    lbHeader->setFont(HeaderFont());
    SetTextColor(lbHeader, Qt::white);

    zsibClose = new TzsImageButton(PanelTop);
    zsibClose->resize(16, 16);
    zsibClose->SetClickMovement(1);
    zsibClose->SetMouseLeaveImageList(&PingerImages().ImgStandard16);
    zsibClose->SetMouseEnterImageList(&PingerImages().ImgHot16);
    zsibClose->SetDisabledImageList(&PingerImages().ImgDis16);
    zsibClose->SetImageIndex(TPingerImageLists::Close);
    connect(zsibClose, &TzsImageButton::clicked, this, &TfrmPinger::zsibCloseClick);

    Image32 = new TImage32(this);
    Image32->SetSource(&FSession->Graph());

    pnlBottom = new QWidget(this);
    QPalette Bottom = pnlBottom->palette();
    Bottom.setColor(QPalette::Window, QColor(13, 13, 13));
    pnlBottom->setPalette(Bottom);
    pnlBottom->setAutoFillBackground(true);

    lbUpTime = new QLabel(pnlBottom);
    lbUpTime->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lbUpTime->setFont(GraphFont());
    SetTextColor(lbUpTime, QColorFromTColor(clUpTime));

    lbStatus = new QLabel(pnlBottom);
    lbStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbStatus->setFont(GraphFont());

    lbDegraded = new QLabel(QStringLiteral("Degraded"), pnlBottom);
    lbDegraded->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QFont DegradedFont = GraphFont();
    DegradedFont.setBold(true);
    lbDegraded->setFont(DegradedFont);
    SetTextColor(lbDegraded, DegradedColour);
    lbDegraded->setVisible(FSession && FSession->Degraded());

    zsbImgPing->SetDisabled(true);
    lbStatus->clear();
    lbUpTime->clear();

    // A style sheet gives a widget it polishes back its earlier palette when the widget moves
    // to a panel under another one: the labels then take their colours again.
    for (QLabel* Label : {lbHeader, lbUpTime, lbStatus, lbDegraded}) {
        Label->installEventFilter(this);
    }

    resize(250, 180);
    LayoutControls();
    FSession->SetView(this);
    FSession->SetGraphAreaSize(Image32->width(), Image32->height(), devicePixelRatioF());
    HeaderChanged();
    PingIndicatorChanged();
}

void TfrmPinger::LayoutControls() {
    const int W = width();
    const int H = height();
    PanelTop->setGeometry(0, 0, W, HeaderHeight);
    zsbImgPing->move(2, 1);
    zsibClose->move(W - 1 - zsibClose->width(), 1);
    const int CaptionLeft = 2 + zsbImgPing->width() + 1;
    const int CaptionRight = zsibClose->x() - 1;
    lbHeader->setGeometry(CaptionLeft, 1, qMax(0, CaptionRight - CaptionLeft), HeaderHeight - 2);
    ShowHeaderText();
    // A window too low for all three keeps the header and the status line; the graph area
    // shrinks to nothing first.
    const int BottomTop = qMax(HeaderHeight, H - StatusHeight);
    pnlBottom->setGeometry(0, BottomTop, W, StatusHeight);
    Image32->setGeometry(0, HeaderHeight, W, qMax(0, BottomTop - HeaderHeight));
    LayoutStatusLine();
}

void TfrmPinger::LayoutStatusLine() {
    const int W = pnlBottom->width();
    const int UpTimeWidth = lbUpTime->text().isEmpty() ? 0 : lbUpTime->sizeHint().width();
    lbUpTime->setGeometry(3, 1, UpTimeWidth, StatusHeight - 2);
    int StatusLeft = 3 + UpTimeWidth + 4;
    if (lbDegraded && FSession && FSession->Degraded()) {
        const int DegradedWidth = lbDegraded->sizeHint().width();
        lbDegraded->setGeometry(StatusLeft, 1, DegradedWidth, StatusHeight - 2);
        StatusLeft += DegradedWidth + 4;
    }
    lbStatus->setGeometry(StatusLeft, 1, qMax(0, W - 3 - StatusLeft), StatusHeight - 2);
}

void TfrmPinger::HeaderChanged() {
    if (!lbHeader || !FSession) {
        return;
    }
    FHeaderText = FSession->HeaderText();
    ShowHeaderText();
    SetTextColor(lbHeader, QColorFromTColor(FSession->HeaderColor()));
}

// A caption wider than the header ends in "…" (the tooltip has it whole); one that fits stays
// centred.
void TfrmPinger::ShowHeaderText() {
    const QString Shown =
        lbHeader->fontMetrics().elidedText(FHeaderText, Qt::ElideRight, lbHeader->width());
    if (lbHeader->text() != Shown) {
        lbHeader->setText(Shown);
    }
}

QString TfrmPinger::HeaderToolTip() const {
    if (!FSession || FSession->Target().empty()) {
        return FHeaderText;
    }
    return MonitorToolTip(QString::fromStdString(FSession->DisplayName()),
                          QString::fromStdString(FSession->Target()),
                          QString::fromStdString(FSession->AddressText()));
}

void TfrmPinger::ShowTextColours() {
    if (FSession) {
        SetTextColor(lbHeader, QColorFromTColor(FSession->HeaderColor()));
        SetTextColor(lbStatus, QColorFromTColor(FSession->StatusColor()));
    }
    SetTextColor(lbUpTime, QColorFromTColor(clUpTime));
    SetTextColor(lbDegraded, DegradedColour);
}

bool TfrmPinger::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == lbHeader && Event->type() == QEvent::ToolTip) {
        QToolTip::showText(static_cast<QHelpEvent*>(Event)->globalPos(), HeaderToolTip(), lbHeader);
        return true;
    }
    if (Event->type() == QEvent::PaletteChange && (Watched == lbHeader || Watched == lbUpTime ||
                                                   Watched == lbStatus || Watched == lbDegraded)) {
        ShowTextColours();
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfrmPinger::StatusLineChanged() {
    if (!lbStatus || !FSession) {
        return;
    }
    const TPingerSession& S = *FSession;
    // The font is the status line's own at every change (see S.StatusFont()); a label given its
    // own font again changes nothing.
    if (lbStatus->font() != S.StatusFont()) {
        lbStatus->setFont(S.StatusFont());
    }
    SetTextColor(lbStatus, QColorFromTColor(S.StatusColor()));
    if (S.UpTimeText() == FShownUpTime && S.StatusText() == FShownStatus) {
        return;
    }
    FShownUpTime = S.UpTimeText();
    FShownStatus = S.StatusText();
    lbUpTime->setText(FShownUpTime);
    lbStatus->setText(FShownStatus);
    LayoutStatusLine();
}

void TfrmPinger::GraphChanged() {
    if (!Image32 || !FSession) {
        return;
    }
    const TPingerGraph& Graph = FSession->Graph();
    switch (Graph.LastChange()) {
    case TPingerGraph::TChange::None:
        break;
    case TPingerGraph::TChange::Plot:
        Image32->update(Graph.ChangedRect());
        break;
    case TPingerGraph::TChange::Whole:
        Image32->update();
        break;
    }
}

void TfrmPinger::DegradedChanged() {
    if (lbDegraded) {
        lbDegraded->setVisible(FSession && FSession->Degraded());
        LayoutStatusLine();
    }
}

// Out of sight the indicator waits: it would change twice a result for nobody. Shown, it shows
// the session's state again.
void TfrmPinger::PingIndicatorChanged() {
    if (zsbImgPing && FSession && GraphVisible() &&
        zsbImgPing->Disabled() == FSession->PingIndicatorEnabled()) {
        zsbImgPing->SetDisabled(!FSession->PingIndicatorEnabled());
    }
}

// Out of sight: hidden itself or in a hidden panel (the tiles while the list view is shown). A
// window never shown nor hidden yet draws as usual, so that it is ready when it is shown.
bool TfrmPinger::GraphVisible() const {
    return isVisible() || !testAttribute(Qt::WA_WState_ExplicitShowHide);
}

void TfrmPinger::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (FSession) {
        FSession->SetGraphShown(true);
        if (FSession->Graph().Scale() != TPingerGraph::ScaleFor(devicePixelRatioF())) {
            FSession->SetGraphAreaSize(Image32->width(), Image32->height(), devicePixelRatioF());
        }
        FSession->RefreshDisplay();
    }
    PingIndicatorChanged();
}

// A monitor out of sight (its panel hidden for the list view) keeps no picture; showing it
// draws it again from the samples.
void TfrmPinger::hideEvent(QHideEvent* Event) {
    QWidget::hideEvent(Event);
    if (FSession) {
        FSession->SetGraphShown(false);
    }
}

void TfrmPinger::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    LayoutControls();
    if (FSession) {
        FSession->SetGraphAreaSize(Image32->width(), Image32->height(), devicePixelRatioF());
    }
    // Painted with the next pass of the event loop: painting at once costs a walk over every
    // sibling, and the tile panel re-arranging thousands of monitors would pay it per monitor.
    update();
}

void TfrmPinger::SetOpacity(bool Translucent) {
    FAlphaBlend = Translucent;
    FAlphaBlendValue = Translucent ? TranslucentOpacity : 255;
    const qreal Opacity = FAlphaBlendValue / 255.0;
    if (isWindow()) {
        setGraphicsEffect(nullptr);
        setWindowOpacity(Opacity);
    } else if (Translucent) {
        // Embedded in the main window there is no window opacity to ask for; draw the
        // monitor see-through instead.
        auto* Effect = new QGraphicsOpacityEffect(this);
        Effect->setOpacity(Opacity);
        setGraphicsEffect(Effect);
    } else {
        setGraphicsEffect(nullptr);
    }
}

// Moved to a screen of another scale: the graph is drawn again at that screen's device pixels.
bool TfrmPinger::event(QEvent* Event) {
    const bool Done = QWidget::event(Event);
    if (Event->type() == QEvent::ScreenChangeInternal
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
        || Event->type() == QEvent::DevicePixelRatioChange
#endif
    ) {
        if (FSession && FSession->Graph().Scale() != TPingerGraph::ScaleFor(devicePixelRatioF())) {
            FSession->SetGraphAreaSize(Image32->width(), Image32->height(), devicePixelRatioF());
            update();
        }
    }
    return Done;
}

void TfrmPinger::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::ActivationChange) {
        SetOpacity(false); // FormActivate and FormDeactivate
    }
}

void TfrmPinger::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Control) {
        if (!FAlphaBlend) {
            SetOpacity(true);
        }
        return;
    }
    if (Event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(Event);
}

void TfrmPinger::keyReleaseEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Control && !Event->isAutoRepeat()) {
        SetOpacity(false);
        return;
    }
    QWidget::keyReleaseEvent(Event);
}

void TfrmPinger::zsibCloseClick() {
    zsibClose->SetDisabled(true);
    close();
    if (OnCloseClicked) {
        OnCloseClicked(*this);
    }
}

void TfrmPinger::closeEvent(QCloseEvent* Event) {
    Event->accept();
    if (FClosing) {
        return;
    }
    FClosing = true;
    // Results already handed to this window are taken in before the monitor stops. Whatever
    // runs meanwhile may destroy the window (its panel going first); the destructor has then
    // done the close handling.
    QPointer<TfrmPinger> Self(this);
    QCoreApplication::processEvents();
    if (!Self || FCloseHandled) {
        return;
    }
    CloseHandling();
    // Freed once the close handling, and whoever called close(), have returned.
    deleteLater();
}

#include "uFrmAlerts.h"

#include "zsDialogShell.h"
#include "zsImageButton.h"
#include "zsImageList.h"

#include <QCheckBox>
#include <QLabel>
#include <QSpinBox>

namespace {

constexpr int DialogWidth = 340;
constexpr int RowHeight = 28;
constexpr int Rows = 6;
constexpr int MiddleTop = DialogHeaderHeight;
constexpr int MiddleHeight = 16 + Rows * RowHeight + 8;
constexpr int BottomHeight = 35;
constexpr int DialogHeight = MiddleTop + MiddleHeight + BottomHeight;
constexpr int LabelWidth = 230;

} // namespace

TfrmAlerts::TfrmAlerts(const TSharedImageLists* Lists, QWidget* Parent)
    : QDialog(Parent), FFrame(this) {
    const TzsDialogHeader Header =
        BuildDialogShell(*this, FFrame, Lists,
                         {QStringLiteral("frmAlerts"), QStringLiteral("Alerts"),
                          QSize(DialogWidth, DialogHeight), 200});
    lbHeader = Header.Caption;

    auto* Middle = new QWidget(this);
    Middle->setObjectName(QStringLiteral("PanelMiddle"));
    Middle->setGeometry(0, MiddleTop, DialogWidth, MiddleHeight);
    // The check box's square is drawn here too, in the panel's green, so that it shows on the
    // dark panel whether checked (filled) or not (an outline).
    Middle->setStyleSheet(QStringLiteral(
        "#PanelMiddle { background: rgb(45,45,45); } QLabel, QCheckBox { color: rgb(129,254,75); "
        "background: transparent; } QCheckBox::indicator { width: 12px; height: 12px; "
        "border: 1px solid rgb(129,254,75); background: rgb(45,45,45); } "
        "QCheckBox::indicator:checked { background: rgb(129,254,75); "
        "border: 1px solid rgb(129,254,75); } QCheckBox::indicator:focus { "
        "border: 1px solid rgb(255,255,255); }"));
    Middle->setAttribute(Qt::WA_StyledBackground);

    int Row = 0;
    const auto AddSpin = [&](const QString& Caption, int Min, int Max, const QString& Suffix) {
        const int Top = 16 + Row++ * RowHeight;
        auto* Label = new QLabel(Caption, Middle);
        Label->setGeometry(16, Top, LabelWidth, 22);
        auto* Spin = new QSpinBox(Middle);
        Spin->setRange(Min, Max);
        Spin->setSuffix(Suffix);
        Spin->setGeometry(16 + LabelWidth + 4, Top, DialogWidth - 36 - LabelWidth, 22);
        Label->setBuddy(Spin);
        return Spin;
    };
    seFailThreshold = AddSpin(QStringLiteral("&Down after failed pings:"),
                              TAlertSettings::MinThreshold, TAlertSettings::MaxThreshold, {});
    seRecoverThreshold = AddSpin(QStringLiteral("&Up again after replies:"),
                                 TAlertSettings::MinThreshold, TAlertSettings::MaxThreshold, {});
    seWindow = AddSpin(QStringLiteral("Degraded: judge the last &results:"),
                       TAlertSettings::MinWindow, TAlertSettings::MaxWindow, {});
    seLossPercent =
        AddSpin(QStringLiteral("Degraded when &loss is above:"), 0, 100, QStringLiteral(" %"));
    seLatencyMs = AddSpin(QStringLiteral("Degraded when &average is above:"), 0,
                          TAlertSettings::MaxLatencyMs, QStringLiteral(" ms"));
    seLatencyMs->setSpecialValueText(QStringLiteral("off"));
    chkSound = new QCheckBox(QStringLiteral("Play a &sound with each notification"), Middle);
    chkSound->setGeometry(16, 16 + Row * RowHeight, DialogWidth - 32, 22);

    const int BottomTop = MiddleTop + MiddleHeight;
    btnCancel = MakeDialogButton(this, Lists, TSharedImageLists::Cancel,
                                 QRect(DialogWidth - 32, BottomTop + 5, 24, 24));
    btnOK = MakeDialogButton(this, Lists, TSharedImageLists::OK,
                             QRect(DialogWidth - 64, BottomTop + 5, 24, 24));
    btnOK->SetTabStop(true);
    btnCancel->SetTabStop(true);
    setTabOrder(seFailThreshold, seRecoverThreshold);
    setTabOrder(seRecoverThreshold, seWindow);
    setTabOrder(seWindow, seLossPercent);
    setTabOrder(seLossPercent, seLatencyMs);
    setTabOrder(seLatencyMs, chkSound);
    setTabOrder(chkSound, btnOK);
    setTabOrder(btnOK, btnCancel);
    connect(btnOK, &TzsImageButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(btnCancel, &TzsImageButton::clicked, this, [this] { done(QDialog::Rejected); });
    SetSettings(TAlertSettings());
}

void TfrmAlerts::SetSettings(const TAlertSettings& Settings) {
    const TAlertSettings S = Settings.Clamped();
    seFailThreshold->setValue(S.FailThreshold);
    seRecoverThreshold->setValue(S.RecoverThreshold);
    seWindow->setValue(S.Window);
    seLossPercent->setValue(S.LossPercent);
    seLatencyMs->setValue(S.LatencyMs);
    chkSound->setChecked(S.Sound);
}

TAlertSettings TfrmAlerts::Settings() const {
    TAlertSettings S;
    S.FailThreshold = seFailThreshold->value();
    S.RecoverThreshold = seRecoverThreshold->value();
    S.Window = seWindow->value();
    S.LossPercent = seLossPercent->value();
    S.LatencyMs = seLatencyMs->value();
    S.Sound = chkSound->isChecked();
    return S.Clamped();
}

void TfrmAlerts::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    FFrame.CenterOnMainWindow();
    seFailThreshold->setFocus();
}

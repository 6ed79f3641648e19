// The Alerts dialog: the thresholds of the alert state (N failures for Down, M successes for
// Up, K results and P % loss or L ms average round trip for Degraded) and whether notifications
// ask for a sound. It only edits a TAlertSettings; the main window stores and applies it.
//
//   TfrmAlerts Dialog(&Images, this);
//   Dialog.SetSettings(Alerts.Settings());
//   if (Dialog.exec() == QDialog::Accepted) apply(Dialog.Settings());
#pragma once

#include "uAlertRules.h"
#include "zsBorderlessFrame.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QSpinBox;
class TzsImageButton;
struct TSharedImageLists;

class TfrmAlerts : public QDialog {
    Q_OBJECT

public:
    explicit TfrmAlerts(const TSharedImageLists* Lists, QWidget* Parent = nullptr);

    void SetSettings(const TAlertSettings& Settings);
    TAlertSettings Settings() const;

    QLabel* lbHeader = nullptr;
    QSpinBox* seFailThreshold = nullptr;
    QSpinBox* seRecoverThreshold = nullptr;
    QSpinBox* seWindow = nullptr;
    QSpinBox* seLossPercent = nullptr;
    QSpinBox* seLatencyMs = nullptr;
    QCheckBox* chkSound = nullptr;
    TzsImageButton* btnOK = nullptr;
    TzsImageButton* btnCancel = nullptr;

protected:
    void showEvent(QShowEvent* Event) override;

private:
    TBorderlessFrame FFrame;
};

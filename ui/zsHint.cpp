#include "zsHint.h"

#include <QApplication>
#include <QPalette>
#include <QToolTip>
#include <QVariant>
#include <QWidget>

namespace {

constexpr const char* HintProperty = "zsHintText";
constexpr const char* HiddenProperty = "zsHintHidden";

void Refresh(QWidget* Control) {
    Control->setToolTip(TzsHint::Shown(Control) ? TzsHint::Text(Control) : QString());
    Control->setToolTipDuration(TzsHint::HintHidePause);
}

} // namespace

namespace TzsHint {

void Set(QWidget* Control, const QString& Text) {
    if (!Control) {
        return;
    }
    Control->setProperty(HintProperty, Text);
    Refresh(Control);
}

QString Text(const QWidget* Control) {
    return Control ? Control->property(HintProperty).toString() : QString();
}

void SetShow(QWidget* Control, bool Show) {
    if (!Control) {
        return;
    }
    Control->setProperty(HiddenProperty, !Show);
    Refresh(Control);
}

bool Shown(const QWidget* Control) {
    return Control && !Control->property(HiddenProperty).toBool();
}

void ApplyApplicationStyle() {
    QPalette Palette = QToolTip::palette();
    Palette.setColor(QPalette::ToolTipBase, Qt::white);
    Palette.setColor(QPalette::ToolTipText, Qt::blue);
    QToolTip::setPalette(Palette);
}

} // namespace TzsHint

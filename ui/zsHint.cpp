#include "zsHint.h"

#include <QApplication>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QToolTip>
#include <QVariant>
#include <QWidget>

namespace {

constexpr const char* HintProperty = "zsHintText";
constexpr const char* HiddenProperty = "zsHintHidden";

// The application's style with the hint timing. Qt asks the style how long the pointer rests
// before a tooltip shows (wake-up) and for how long after one showed the next one comes at
// once (fall-asleep); without that grace period every hint keeps the same pause.
class THintTimingStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint Hint, const QStyleOption* Option, const QWidget* Widget,
                  QStyleHintReturn* Return) const override {
        switch (Hint) {
        case SH_ToolTip_WakeUpDelay:
            return TzsHint::HintPause;
        case SH_ToolTip_FallAsleepDelay:
            return 0;
        default:
            return QProxyStyle::styleHint(Hint, Option, Widget, Return);
        }
    }
};

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
    if (!dynamic_cast<THintTimingStyle*>(QApplication::style())) {
        // A fresh instance of the current style as the base: the application deletes the old
        // one when it takes the new style.
        QApplication::setStyle(
            new THintTimingStyle(QStyleFactory::create(QApplication::style()->name())));
    }
    QPalette Palette = QToolTip::palette();
    Palette.setColor(QPalette::ToolTipBase, Qt::white);
    Palette.setColor(QPalette::ToolTipText, Qt::blue);
    QToolTip::setPalette(Palette);
}

} // namespace TzsHint

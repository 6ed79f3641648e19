// Hints: the pop-up help text of a control, kept apart from whether it is shown, so that the
// hints switch can turn every hint off and on again without losing its text.
//
//   TzsHint::Set(btnSpan, QStringLiteral("Chart Span"));
//   TzsHint::SetShow(btnSpan, HintsOn);     // the tooltip appears only while shown
//   TzsHint::Text(btnSpan);                 // "Chart Span", shown or not
#pragma once

#include <QString>

class QWidget;

namespace TzsHint {

// The control's hint text; it is shown when the control's hint is switched on.
void Set(QWidget* Control, const QString& Text);
QString Text(const QWidget* Control);

// Whether the hint pops up (a new control shows its hint).
void SetShow(QWidget* Control, bool Show);
bool Shown(const QWidget* Control);

// Hint boxes of the whole application: white with blue text; each control's hint stays
// HintHidePause ms, and a hint appears HintPause ms after the pointer came to rest on its
// control, also when another hint was showing a moment ago. Safe to call more than once.
void ApplyApplicationStyle();
constexpr int HintHidePause = 6000;
constexpr int HintPause = 500;

} // namespace TzsHint

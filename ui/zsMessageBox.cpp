#include "zsMessageBox.h"

#include <QQueue>

namespace {

struct TTestState {
    bool On = false;
    QQueue<QMessageBox::StandardButton> Answers;
    QList<TzsMessageBox::TShown> Shown;
    std::function<void(const TzsMessageBox::TShown&)> OnShown;
};

TTestState& Test() {
    static TTestState State;
    return State;
}

} // namespace

QMessageBox::Icon TzsMessageBox::IconOf(TKind Kind) {
    switch (Kind) {
    case TzsMessageBox::TKind::Warning:
        return QMessageBox::Warning;
    case TzsMessageBox::TKind::Error:
        return QMessageBox::Critical;
    case TzsMessageBox::TKind::Information:
        return QMessageBox::Information;
    case TzsMessageBox::TKind::Confirmation:
        return QMessageBox::Question;
    case TzsMessageBox::TKind::Plain:
        return QMessageBox::NoIcon;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton TzsMessageBox::Show(QWidget* Parent, TKind Kind, const QString& Text,
                                                QMessageBox::StandardButtons Buttons,
                                                QMessageBox::StandardButton DefaultButton) {
    TTestState& State = Test();
    if (State.On) {
        State.Shown.append({Kind, Text, Buttons});
        if (State.OnShown) {
            State.OnShown(State.Shown.last());
        }
        return State.Answers.isEmpty() ? QMessageBox::NoButton : State.Answers.dequeue();
    }
    QMessageBox Box(IconOf(Kind), QStringLiteral("Vantorel"), Text, Buttons, Parent);
    if (DefaultButton != QMessageBox::NoButton) {
        Box.setDefaultButton(DefaultButton);
    }
    return static_cast<QMessageBox::StandardButton>(Box.exec());
}

void TzsMessageBox::SetTestMode(bool On) {
    TTestState& State = Test();
    State.On = On;
    State.Answers.clear();
    State.Shown.clear();
    State.OnShown = nullptr;
}

void TzsMessageBox::SetOnShown(std::function<void(const TShown&)> OnShown) {
    Test().OnShown = std::move(OnShown);
}

void TzsMessageBox::SetNextAnswer(QMessageBox::StandardButton Answer) {
    Test().Answers.enqueue(Answer);
}

QList<TzsMessageBox::TShown> TzsMessageBox::TakeShown() {
    return std::exchange(Test().Shown, {});
}

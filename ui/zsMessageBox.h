// The program's message boxes: the title "Vantorel" and five kinds (warning, error,
// information, confirmation, and a plain box without an icon). Every message box of the program
// goes through here, so that tests can answer them without a modal loop:
//
//   TzsMessageBox::SetTestMode(true);
//   TzsMessageBox::SetNextAnswer(QMessageBox::Yes);
//   Dialog.btnDeleteClick();                  // asks "Delete …?", gets Yes, shows nothing
//   auto Shown = TzsMessageBox::TakeShown();  // what would have been shown
#pragma once

#include <QList>
#include <QMessageBox>

#include <QString>
#include <functional>

class TzsMessageBox {
public:
    enum class TKind { Warning, Error, Information, Confirmation, Plain };

    struct TShown {
        TKind Kind;
        QString Text;
        QMessageBox::StandardButtons Buttons;
    };

    static QMessageBox::StandardButton
    Show(QWidget* Parent, TKind Kind, const QString& Text,
         QMessageBox::StandardButtons Buttons = QMessageBox::Ok,
         QMessageBox::StandardButton DefaultButton = QMessageBox::NoButton);

    static QMessageBox::StandardButton Warning(QWidget* Parent, const QString& Text) {
        return Show(Parent, TKind::Warning, Text);
    }
    static QMessageBox::StandardButton Error(QWidget* Parent, const QString& Text) {
        return Show(Parent, TKind::Error, Text);
    }
    static QMessageBox::StandardButton Information(QWidget* Parent, const QString& Text) {
        return Show(Parent, TKind::Information, Text);
    }
    static QMessageBox::StandardButton Plain(QWidget* Parent, const QString& Text) {
        return Show(Parent, TKind::Plain, Text);
    }
    static QMessageBox::StandardButton
    Confirmation(QWidget* Parent, const QString& Text,
                 QMessageBox::StandardButtons Buttons = QMessageBox::Yes | QMessageBox::No) {
        return Show(Parent, TKind::Confirmation, Text, Buttons);
    }

    // The icon a box of the kind shows.
    static QMessageBox::Icon IconOf(TKind Kind);

    // Test seam. In test mode no box is ever shown: each one takes the next queued answer
    // (NoButton when none is queued) and is recorded for TakeShown.
    static void SetTestMode(bool On);
    static void SetNextAnswer(QMessageBox::StandardButton Answer);
    static QList<TShown> TakeShown();
    // Runs as each box would show, in test mode (what is on screen at that moment).
    static void SetOnShown(std::function<void(const TShown&)> OnShown);
};

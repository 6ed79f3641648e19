// What the core asks of a person, answered by the main window: message boxes, the configuration
// file dialogs, the new group dialog and the friendly names dialog.
#include "uFrmMain.h"

#include "uFrmFriendlyNames.h"
#include "uFrmNewGroup.h"
#include "uStartup.h"
#include "zsFileDialog.h"
#include "zsMessageBox.h"

#include <QLineEdit>

QString TfrmMain::ChooseConfigFile(bool Save) {
    return TzsFileDialog::Execute(this,
                                  {Save ? TzsFileDialog::TKind::Save : TzsFileDialog::TKind::Open,
                                   QStringLiteral(".ini"), QStringLiteral("Vantorel.ini"),
                                   QStringLiteral("ini File|*.ini")});
}

void TfrmMain::Tell(TMessage Kind, const QString& Text) {
    switch (Kind) {
    case TMessage::Warning:
        TzsMessageBox::Warning(this, Text);
        break;
    case TMessage::Error:
        TzsMessageBox::Error(this, Text);
        break;
    case TMessage::Information:
        TzsMessageBox::Information(this, Text);
        break;
    case TMessage::Plain:
        TzsMessageBox::Plain(this, Text);
        break;
    }
}

bool TfrmMain::Confirm(const QString& Text, TButtons Buttons) {
    if (Buttons == TButtons::OkCancel) {
        return TzsMessageBox::Confirmation(this, Text, QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
    }
    return TzsMessageBox::Confirmation(this, Text,
                                       QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ==
           QMessageBox::Yes;
}

void TfrmMain::ShowError(const std::exception& Error) {
    ShowException(Error);
}

// The dialog offers only a name that is neither blank nor a group already.
std::optional<QString> TfrmMain::AskGroupName(const QStringList&) {
    if (FNewGroup && RunModal(*FNewGroup) == QDialog::Accepted) {
        return FNewGroup->cbNewGroup->text();
    }
    return std::nullopt;
}

// The dialog edits the table's text form; what it left is handed back also when cancelled.
bool TfrmMain::EditFriendlyNames(QString& Text) {
    if (!FFriendlyNames) {
        return false;
    }
    FFriendlyNames->SetNamesText(Text);
    const int Result = RunModal(*FFriendlyNames);
    Text = FFriendlyNames->GetNamesText();
    return Result == QDialog::Accepted;
}

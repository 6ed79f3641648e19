// The program's open and save dialogs for whole files, described the classic way (a default
// extension, a file name, a filter such as "ini File|*.ini"). Every file dialog of the program
// goes through here, so that tests can answer them without a modal loop:
//
//   TzsFileDialog::SetTestMode(true);
//   TzsFileDialog::SetNextFileName(Path);       // an empty name answers Cancel
//   Main.ExportSettings1Click();                 // asks for a file, gets Path
//   auto Asked = TzsFileDialog::TakeAsked();     // which dialogs would have been shown
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QFileDialog;
class QWidget;

class TzsFileDialog {
public:
    enum class TKind { Open, Save };

    struct TOptions {
        TKind Kind = TKind::Open;
        QString DefaultExt; // ".ini" or "ini": appended to a chosen name that has none
        QString FileName;   // proposed name
        QString Filter;     // "description|pattern|…", patterns joined by ";"
    };

    // Shows the dialog modally; the chosen file, or an empty text when the user cancelled.
    // A save dialog never questions an existing file.
    static QString Execute(QWidget* Parent, const TOptions& Options);

    // What Execute sets on the dialog before showing it.
    static void Configure(QFileDialog& Dialog, const TOptions& Options);
    // "ini File|*.ini|All|*.a;*.b" -> {"ini File (*.ini)", "All (*.a *.b)"}.
    static QStringList NameFilters(const QString& Filter);
    // Path with the default extension appended when its file name has no extension and no
    // file of that name exists.
    static QString WithDefaultExt(const QString& Path, const QString& DefaultExt);

    // Test seam. In test mode no dialog is ever shown: each one is recorded for TakeAsked and
    // takes the next queued file name (passed through WithDefaultExt), or cancels when none
    // is queued.
    static void SetTestMode(bool On);
    static void SetNextFileName(const QString& FileName);
    static QList<TOptions> TakeAsked();
};

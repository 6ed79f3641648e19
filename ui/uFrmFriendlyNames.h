// The friendly names dialog. Its list is the program's one table of (host, friendly name)
// rows: every lookup of a friendly name goes to it, whether the dialog is open or hidden. The
// main window loads the table from the configuration with SetNamesText before each opening
// and stores GetNamesText when the dialog ends with OK.
//
//   FrmFriendlyNames.SetNamesText(Store.ReadFriendlyNames());
//   if (FrmFriendlyNames.exec() == QDialog::Accepted)
//   Store.WriteFriendlyNames(FrmFriendlyNames.GetNamesText()); QString Shown =
//   FrmFriendlyNames.FindFriendlyName(Target);
#pragma once

#include "zsBorderlessFrame.h"

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;
class TzsImageButton;
struct TSharedImageLists;

class TFrmFriendlyNames : public QDialog {
    Q_OBJECT

public:
    // Lists may be null (the buttons then show no picture); they must outlive the dialog.
    explicit TFrmFriendlyNames(const TSharedImageLists* Lists, QWidget* Parent = nullptr);

    // Replaces all rows by those of the text form: one row per line, host and name split at
    // the line's first "~" (a line without one gives an empty host).
    void SetNamesText(const QString& Text);
    // Every row as host, "~", name and CR LF.
    QString GetNamesText() const;
    // The name of the first row whose host equals Host without regard to case; empty if none.
    QString FindFriendlyName(const QString& Host) const;

    // Hints of the boxes and buttons follow the main window's hints switch.
    void SetHintsEnabled(bool Enabled);

    // The main window's action for the maker's web page.
    std::function<void()> OnZephraSoftwareClick;

    TBorderlessFrame& Frame() { return FFrame; }

    void btnAddClick();
    void btnDeleteClick();
    void btnOKClick();
    void btnCancelClick();

    QWidget* PanelHeader;
    TzsImageButton* zsImageButton1;
    QLabel* lbHeader;
    TzsImageButton* btnClose;
    QLabel* lbHostNameIP;
    QLineEdit* cbHostNameIP;
    QLabel* lbTarget;
    QLineEdit* cbFriendlyName;
    TzsImageButton* btnAdd;
    TzsImageButton* btnDelete;
    TzsImageButton* btnZephraSoftware;
    QTreeWidget* lvNames;
    TzsImageButton* btnOK;
    TzsImageButton* btnCancel;

protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void UpdateAddButton();
    void SelectionChanged();
    QTreeWidgetItem* FindRow(const QString& Host) const;

    TBorderlessFrame FFrame;
};

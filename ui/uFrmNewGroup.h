// The new group dialog: asks for the name of a new group and refuses one that is blank,
// already taken, or that config.ini cannot hold. It only validates; the main window creates
// the group from the box's text exactly as typed.
//
//   FrmNewGroup.SetGroupNamesSource([this] { return GroupBoxItems(); });
//   if (FrmNewGroup.exec() == QDialog::Accepted) CreateGroup(FrmNewGroup.cbNewGroup->text());
#pragma once

#include "zsBorderlessFrame.h"

#include <QDialog>
#include <QStringList>
#include <functional>

class QLabel;
class QLineEdit;
class TzsImageButton;
struct TSharedImageLists;

class TfrmNewGroup : public QDialog {
    Q_OBJECT

public:
    // Lists may be null (the buttons then show no picture); they must outlive the dialog.
    explicit TfrmNewGroup(const TSharedImageLists* Lists, QWidget* Parent = nullptr);

    // The existing group names: the items of the main window's groups box.
    void SetGroupNamesSource(std::function<QStringList()> Source) {
        FGroupNames = std::move(Source);
    }

    TBorderlessFrame& Frame() { return FFrame; }

    void btnAddGroupClick();
    void btnCloseAllClick();

    QWidget* PanelHeader;
    TzsImageButton* zsImageButton2;
    QLabel* lbHeader;
    QLabel* lbHint;
    QLineEdit* cbNewGroup;
    TzsImageButton* btnAddGroup;
    TzsImageButton* btnCancel;

protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    std::function<QStringList()> FGroupNames;
    TBorderlessFrame FFrame;
};

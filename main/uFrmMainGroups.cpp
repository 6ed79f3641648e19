// The main window's groups box: it shows the core's group names with the open group selected;
// a choice in it asks the core to open that group.
#include "uFrmMain.h"

#include "uFrmNewGroup.h"

#include <QComboBox>
#include <QLineEdit>

void TfrmMain::ShowGroups() {
    const TGroupCatalogue& Groups = FCore->Groups();
    const QSignalBlocker Quiet(cbGroups);
    cbGroups->clear();
    cbGroups->addItems(Groups.Names());
    // Nothing is selected while no group of the box is open.
    cbGroups->setCurrentIndex(int(Groups.Names().indexOf(Groups.Current())));
}

// The box's selection is the user's choice, read as input; what is open the core decides, and
// the box shows it again afterwards (also when the opening failed).
void TfrmMain::cbGroupsSelect() {
    const QString Chosen = FCore->Groups().Names().value(cbGroups->currentIndex());
    try {
        FCore->SelectGroup(Chosen);
    } catch (...) {
        ShowGroups();
        throw;
    }
    ShowGroups();
}

std::optional<QString> TfrmMain::AskGroupName(const QStringList&) {
    if (FGroupNamePrompt) {
        return FGroupNamePrompt();
    }
    if (FNewGroup && FNewGroup->exec() == QDialog::Accepted) {
        return FNewGroup->cbNewGroup->text();
    }
    return std::nullopt;
}

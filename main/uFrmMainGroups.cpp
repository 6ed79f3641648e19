// The main window's groups: opening, creating and deleting them, and keeping a group's stored
// targets in step with the running monitors.
#include "uFrmMain.h"

#include "uFrmNewGroup.h"
#include "zsMessageBox.h"
#include "zsTextRules.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>

QString TfrmMain::ShownGroup() const {
    return cbGroups->currentIndex() < 0 ? QString() : cbGroups->currentText();
}

QStringList TfrmMain::GroupBoxItems() const {
    QStringList Items;
    for (int I = 0; I < cbGroups->count(); ++I) {
        Items.append(cbGroups->itemText(I));
    }
    return Items;
}

void TfrmMain::SaveGroup(const QString& Name) {
    FHub->SaveGroup(Name);
}

void TfrmMain::LoadGroupList() {
    QStringList Groups;
    FConfig->LoadGroupList(Groups);
    cbGroups->clear();
    cbGroups->addItems(TConfigStore::SortedGroupNames(Groups));
    cbGroups->setCurrentIndex(-1);
}

// The hub adds the monitors in slices of 15 ms; between them the window lays out the new ones
// and handles its messages, so a group of thousands opens without a pause of the window and in
// time linear in its size. A close of the window that arrives meanwhile ends the opening at the
// next slice.
void TfrmMain::OpenGroup(const QString& Name) {
    EnableControls(false);
    HoldLayout(true);
    try {
        FHub->OpenGroup(Name, Progress());
    } catch (...) {
        HoldLayout(false);
        ProgressBar->hide();
        EnableControls(true);
        throw;
    }
    HoldLayout(false);
    ProgressBar->hide();
    EnableControls(true);
}

void TfrmMain::cbGroupsSelect() {
    const QString Shown = ShownGroup();
    if (Shown != CurrentGroup() && !Shown.trimmed().isEmpty()) {
        OpenGroup(Shown);
    }
}

void TfrmMain::btnAddGroupClick() {
    std::optional<QString> Name;
    if (FGroupNamePrompt) {
        Name = FGroupNamePrompt();
    } else if (FNewGroup && FNewGroup->exec() == QDialog::Accepted) {
        Name = FNewGroup->cbNewGroup->text();
    }
    if (!Name) {
        return;
    }
    try {
        CreateGroup(*Name);
    } catch (const std::exception& E) {
        TzsMessageBox::Error(this, QString::fromStdString(E.what()));
    }
}

void TfrmMain::CreateGroup(const QString& Name) {
    SaveGroup(CurrentGroup());
    FConfig->AddGroupName(Name);
    // The box stays sorted without regard to case.
    QStringList Items = GroupBoxItems();
    Items.append(Name);
    const int Place = std::max<int>(0, TConfigStore::SortedGroupNames(Items).indexOf(Name));
    cbGroups->insertItem(Place, Name);
    cbGroups->setCurrentIndex(Place);
    cbGroupsSelect();
}

void TfrmMain::btnDeleteGroupClick() {
    if (cbGroups->count() <= 1) {
        TzsMessageBox::Warning(this, QStringLiteral("There must be atleast one group.  Please "
                                                    "create a new group before delting this one."));
        return;
    }
    const QString Shown = ShownGroup();
    if (TzsMessageBox::Confirmation(this,
                                    QStringLiteral("Are you sure you want to delete the \"") +
                                        Shown + QStringLiteral("\" group?"),
                                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) !=
        QMessageBox::Yes) {
        return;
    }
    CloseAllMonitors();
    DeleteGroup(Shown);
    cbGroups->setCurrentIndex(cbGroups->count() > 0 ? 0 : -1);
    cbGroupsSelect();
}

void TfrmMain::DeleteGroup(const QString& Name) {
    for (int I = 0; I < cbGroups->count(); ++I) {
        if (cbGroups->itemText(I).compare(Name, Qt::CaseInsensitive) == 0) {
            cbGroups->removeItem(I);
            FConfig->RemoveGroup(Name);
            return;
        }
    }
}

#include "uFrmNewGroup.h"

#include "zsDialogShell.h"
#include "zsImageButton.h"
#include "zsImageList.h"
#include "zsMessageBox.h"
#include "zsTextRules.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>

namespace {

constexpr int DialogWidth = 276;
constexpr int DialogHeight = 163;
constexpr int HeaderHeight = DialogHeaderHeight;
constexpr int MiddleHeight = 100;
constexpr int BottomHeight = 35;

} // namespace

TfrmNewGroup::TfrmNewGroup(const TSharedImageLists* Lists, QWidget* Parent)
    : QDialog(Parent), FFrame(this) {
    const TzsDialogHeader Header =
        BuildDialogShell(*this, FFrame, Lists,
                         {QStringLiteral("frmNewGroup"), QStringLiteral("Add Group"),
                          QSize(DialogWidth, DialogHeight), 200});
    PanelHeader = Header.Panel;
    zsImageButton2 = Header.WindowIcon;
    lbHeader = Header.Caption;

    auto* Middle = new QWidget(this);
    Middle->setObjectName(QStringLiteral("PanelMiddle"));
    Middle->setGeometry(0, HeaderHeight, DialogWidth, MiddleHeight);
    Middle->setStyleSheet(QStringLiteral("#PanelMiddle { background: rgb(45,45,45); }"));
    Middle->setAttribute(Qt::WA_StyledBackground);
    lbHint = new QLabel(QStringLiteral("Group Name"), Middle);
    lbHint->setGeometry(16, 28, DialogWidth - 32, 16);
    lbHint->setStyleSheet(QStringLiteral("color: rgb(129,254,75); background: transparent;"));
    cbNewGroup = new QLineEdit(Middle);
    cbNewGroup->setGeometry(16, 48, 242, 22);
    cbNewGroup->installEventFilter(this);

    const int BottomTop = HeaderHeight + MiddleHeight;
    btnCancel = MakeDialogButton(this, Lists, TSharedImageLists::Cancel,
                                 QRect(DialogWidth - 32, BottomTop + 5, 24, 24));
    btnAddGroup = MakeDialogButton(this, Lists, TSharedImageLists::OK,
                                   QRect(DialogWidth - 64, BottomTop + 5, 24, 24));
    Q_ASSERT(BottomTop + BottomHeight == DialogHeight);

    // Tab reaches the two buttons, so they can be pressed from the keyboard too.
    btnAddGroup->SetTabStop(true);
    btnCancel->SetTabStop(true);
    setTabOrder(cbNewGroup, btnAddGroup);
    setTabOrder(btnAddGroup, btnCancel);

    connect(btnAddGroup, &TzsImageButton::clicked, this, &TfrmNewGroup::btnAddGroupClick);
    connect(btnCancel, &TzsImageButton::clicked, this, &TfrmNewGroup::btnCloseAllClick);
}

void TfrmNewGroup::btnAddGroupClick() {
    const QString Name = cbNewGroup->text();
    const QStringList Existing = FGroupNames ? FGroupNames() : QStringList();
    const bool Taken = std::any_of(Existing.begin(), Existing.end(), [&](const QString& Group) {
        return Group.compare(Name, Qt::CaseInsensitive) == 0;
    });
    if (Taken) {
        TzsMessageBox::Warning(this, QStringLiteral("The group name already exists."));
        return;
    }
    if (IsBlankText(Name)) {
        TzsMessageBox::Warning(this, QStringLiteral("Please enter a group name."));
        return;
    }
    if (const QString Reason = UnstorableGroupNameReason(Name); !Reason.isEmpty()) {
        TzsMessageBox::Warning(this, Reason);
        return;
    }
    done(QDialog::Accepted);
}

void TfrmNewGroup::btnCloseAllClick() {
    done(QDialog::Rejected);
}

void TfrmNewGroup::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    cbNewGroup->clear();
    FFrame.CenterOnMainWindow();
    cbNewGroup->setFocus();
}

void TfrmNewGroup::keyPressEvent(QKeyEvent* Event) {
    // No key closes this dialog: only its two buttons end it.
    if (Event->key() == Qt::Key_Escape) {
        Event->accept();
        return;
    }
    QDialog::keyPressEvent(Event);
}

bool TfrmNewGroup::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == cbNewGroup && Event->type() == QEvent::KeyPress) {
        const int Key = static_cast<QKeyEvent*>(Event)->key();
        if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
            btnAddGroupClick();
            return true;
        }
    }
    return QDialog::eventFilter(Watched, Event);
}

#include "uFrmFriendlyNames.h"

#include "uZephraTools.h"
#include "zsDialogShell.h"
#include "zsImageButton.h"
#include "zsImageList.h"
#include "zsMessageBox.h"
#include "zsTextRules.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

namespace {

constexpr int TopBandHeight = 62;
constexpr int BottomBandHeight = 38;
constexpr int DialogWidth = 453;
constexpr int DialogHeight = 357;

QLabel* MakeLabel(QWidget* Parent, const QString& Text, const char* Colour, const QRect& Geometry) {
    auto* Label = new QLabel(Text, Parent);
    Label->setGeometry(Geometry);
    Label->setStyleSheet(
        QStringLiteral("color: %1; background: transparent;").arg(QString::fromLatin1(Colour)));
    return Label;
}

QString HostOf(const QTreeWidgetItem* Row) {
    return Row->text(0);
}
QString NameOf(const QTreeWidgetItem* Row) {
    return Row->text(1);
}

// What the boxes hold, made fit for one line of the stored table.
QString Entered(const QLineEdit* Box) {
    return WithoutControls(TrimBlanks(Box->text()));
}

} // namespace

TFrmFriendlyNames::TFrmFriendlyNames(const TSharedImageLists* Lists, QWidget* Parent)
    : QDialog(Parent), FFrame(this) {
    const TzsDialogHeader Header =
        BuildDialogShell(*this, FFrame, Lists,
                         {QStringLiteral("FrmFriendlyNames"), QStringLiteral("Friendly Names"),
                          QSize(DialogWidth, DialogHeight), 300});
    PanelHeader = Header.Panel;
    zsImageButton1 = Header.WindowIcon;
    lbHeader = Header.Caption;

    btnClose = new TzsImageButton(PanelHeader);
    btnClose->setGeometry(DialogWidth - 26, 2, 24, 24);
    if (Lists) {
        btnClose->SetMouseLeaveImageList(&Lists->ImgWindows16);
        btnClose->SetMouseEnterImageList(&Lists->ImageWindows16Hot);
        btnClose->SetDisabledImageList(&Lists->ImgWindows16Dis);
    }
    btnClose->SetImageIndex(TSharedImageLists::WinClose);

    const int Top = DialogHeaderHeight;
    lbHostNameIP = MakeLabel(this, QStringLiteral("IP Addess or DNS Name"), "rgb(82,252,248)",
                             QRect(8, Top + 8, 170, 16));
    cbHostNameIP = new QLineEdit(this);
    cbHostNameIP->setGeometry(8, Top + 28, 170, 22);
    lbTarget = MakeLabel(this, QStringLiteral("Friendly Name"), "rgb(129,254,75)",
                         QRect(186, Top + 8, 150, 16));
    cbFriendlyName = new QLineEdit(this);
    cbFriendlyName->setGeometry(186, Top + 28, 150, 22);
    btnAdd =
        MakeDialogButton(this, Lists, TSharedImageLists::NewMonitor, QRect(342, Top + 27, 24, 24));
    btnDelete =
        MakeDialogButton(this, Lists, TSharedImageLists::CloseAll, QRect(370, Top + 27, 24, 24));
    btnZephraSoftware = MakeDialogButton(this, Lists, TSharedImageLists::WebPage,
                                         QRect(DialogWidth - 32, Top + 27, 24, 24));
    btnZephraSoftware->setToolTip(
        QStringLiteral("Visit Zephra Software (%1)").arg(ZephraSoftwareWebAddress()));
    btnAdd->SetDisabled(true);
    btnDelete->SetDisabled(true);

    const int ListTop = Top + TopBandHeight + 8;
    lvNames = new QTreeWidget(this);
    lvNames->setGeometry(8, ListTop, DialogWidth - 16,
                         DialogHeight - BottomBandHeight - ListTop - 8);
    lvNames->setColumnCount(2);
    lvNames->setHeaderLabels(
        {QStringLiteral("Host Name or IP Address"), QStringLiteral("Friendly Name")});
    lvNames->setColumnWidth(0, 200);
    lvNames->setColumnWidth(1, 200);
    lvNames->setRootIsDecorated(false);
    lvNames->setItemsExpandable(false);
    lvNames->setSortingEnabled(false);
    lvNames->setSelectionMode(QAbstractItemView::SingleSelection);
    lvNames->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvNames->setStyleSheet(
        QStringLiteral("QTreeWidget { background: rgb(75,75,75); color: white; }"));

    const int BottomTop = DialogHeight - BottomBandHeight;
    btnCancel = MakeDialogButton(this, Lists, TSharedImageLists::Cancel,
                                 QRect(DialogWidth - 32, BottomTop + 7, 24, 24));
    btnOK = MakeDialogButton(this, Lists, TSharedImageLists::OK,
                             QRect(DialogWidth - 64, BottomTop + 7, 24, 24));

    connect(cbHostNameIP, &QLineEdit::textChanged, this, &TFrmFriendlyNames::UpdateAddButton);
    connect(cbFriendlyName, &QLineEdit::textChanged, this, &TFrmFriendlyNames::UpdateAddButton);
    connect(btnAdd, &TzsImageButton::clicked, this, &TFrmFriendlyNames::btnAddClick);
    connect(btnDelete, &TzsImageButton::clicked, this, &TFrmFriendlyNames::btnDeleteClick);
    connect(btnOK, &TzsImageButton::clicked, this, &TFrmFriendlyNames::btnOKClick);
    connect(btnCancel, &TzsImageButton::clicked, this, &TFrmFriendlyNames::btnCancelClick);
    connect(btnClose, &TzsImageButton::clicked, this, &TFrmFriendlyNames::btnCancelClick);
    connect(btnZephraSoftware, &TzsImageButton::clicked, this, [this] {
        if (OnZephraSoftwareClick) {
            OnZephraSoftwareClick();
        }
    });
    // Tab reaches the picture buttons too, in the order they are read.
    for (TzsImageButton* Button : {btnAdd, btnDelete, btnZephraSoftware, btnOK, btnCancel}) {
        Button->SetTabStop(true);
    }
    QWidget* const Order[] = {cbHostNameIP,      cbFriendlyName, btnAdd, btnDelete,
                              btnZephraSoftware, lvNames,        btnOK,  btnCancel};
    for (std::size_t I = 1; I < std::size(Order); ++I) {
        setTabOrder(Order[I - 1], Order[I]);
    }
    cbHostNameIP->installEventFilter(this);
    cbFriendlyName->installEventFilter(this);
    lvNames->installEventFilter(this);
    lvNames->viewport()->installEventFilter(this);

    SetHintsEnabled(true);
}

void TFrmFriendlyNames::SetHintsEnabled(bool Enabled) {
    const auto Hint = [Enabled](const char* Text) {
        return Enabled ? QString::fromUtf8(Text) : QString();
    };
    cbHostNameIP->setToolTip(Hint("Enter an IP address or DNS name here"));
    cbFriendlyName->setToolTip(Hint("Enter a Friendly here"));
    btnDelete->setToolTip(Hint("Delete selected friendly name"));
    btnOK->setToolTip(Hint("Save and Close"));
    btnCancel->setToolTip(Hint("Exit without saving"));
}

void TFrmFriendlyNames::SetNamesText(const QString& Text) {
    lvNames->clear();
    const QStringList Lines = FriendlyNameLines(Text);
    QList<QTreeWidgetItem*> Rows;
    Rows.reserve(Lines.size());
    for (const QString& Line : Lines) {
        const TFriendlyNameRow Row = SplitFriendlyNameLine(Line);
        Rows.append(new QTreeWidgetItem(QStringList{Row.Host, Row.Name}));
    }
    lvNames->addTopLevelItems(Rows);
}

QString TFrmFriendlyNames::GetNamesText() const {
    QStringList Lines;
    Lines.reserve(lvNames->topLevelItemCount());
    for (int I = 0; I < lvNames->topLevelItemCount(); ++I) {
        const QTreeWidgetItem* Row = lvNames->topLevelItem(I);
        Lines.append(JoinFriendlyNameLine({HostOf(Row), NameOf(Row)}));
    }
    return FriendlyNamesText(Lines);
}

QTreeWidgetItem* TFrmFriendlyNames::FindRow(const QString& Host) const {
    for (int I = 0; I < lvNames->topLevelItemCount(); ++I) {
        QTreeWidgetItem* Row = lvNames->topLevelItem(I);
        if (HostOf(Row).compare(Host, Qt::CaseInsensitive) == 0) {
            return Row;
        }
    }
    return nullptr;
}

QString TFrmFriendlyNames::FindFriendlyName(const QString& Host) const {
    const QTreeWidgetItem* Row = FindRow(Host);
    return Row ? NameOf(Row) : QString();
}

void TFrmFriendlyNames::UpdateAddButton() {
    btnAdd->SetDisabled(TrimBlanks(cbFriendlyName->text()).isEmpty() ||
                        TrimBlanks(cbHostNameIP->text()).isEmpty());
}

void TFrmFriendlyNames::btnAddClick() {
    const QString Host = Entered(cbHostNameIP);
    const QString Name = Entered(cbFriendlyName);
    // The boxes can be filled by code while Add is disabled; a blank row is never added.
    if (Host.isEmpty() || Name.isEmpty()) {
        return;
    }
    if (QTreeWidgetItem* Row = FindRow(Host)) {
        const auto Answer = TzsMessageBox::Confirmation(
            this, QStringLiteral("Update ") + HostOf(Row) + QStringLiteral("?"));
        if (Answer == QMessageBox::Yes) {
            Row->setText(0, Host);
            Row->setText(1, Name);
        }
        return;
    }
    lvNames->addTopLevelItem(new QTreeWidgetItem(QStringList{Host, Name}));
}

void TFrmFriendlyNames::SelectionChanged() {
    const QList<QTreeWidgetItem*> Selected = lvNames->selectedItems();
    if (Selected.isEmpty()) {
        btnDelete->SetDisabled(true);
        return;
    }
    cbHostNameIP->setText(HostOf(Selected.first()));
    cbFriendlyName->setText(NameOf(Selected.first()));
    UpdateAddButton();
    btnDelete->SetDisabled(false);
}

void TFrmFriendlyNames::btnDeleteClick() {
    const QList<QTreeWidgetItem*> Selected = lvNames->selectedItems();
    if (Selected.isEmpty()) {
        return;
    }
    QTreeWidgetItem* Row = Selected.first();
    const auto Answer = TzsMessageBox::Confirmation(this, QStringLiteral("Delete ") + HostOf(Row) +
                                                              QStringLiteral("?"));
    if (Answer == QMessageBox::Yes) {
        delete Row;
        // The view would otherwise select a neighbour, and the next Delete would remove it
        // without the user having chosen it.
        lvNames->clearSelection();
        lvNames->setCurrentItem(nullptr);
    }
}

void TFrmFriendlyNames::btnOKClick() {
    done(QDialog::Accepted);
}

void TFrmFriendlyNames::btnCancelClick() {
    done(QDialog::Rejected);
}

void TFrmFriendlyNames::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    FFrame.CenterOnMainWindow();
    cbHostNameIP->clear();
    cbFriendlyName->clear();
    UpdateAddButton();
    lvNames->clearSelection();
    lvNames->setCurrentItem(nullptr);
    cbHostNameIP->setFocus();
}

void TFrmFriendlyNames::keyPressEvent(QKeyEvent* Event) {
    // Enter in a box adds (see eventFilter) and a focused button clicks itself; anywhere else
    // Enter answers the default button, OK. Esc cancels, as the base class does.
    if (Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) {
        Event->accept();
        btnOKClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

bool TFrmFriendlyNames::eventFilter(QObject* Watched, QEvent* Event) {
    if ((Watched == cbHostNameIP || Watched == cbFriendlyName) &&
        Event->type() == QEvent::KeyPress) {
        const int Key = static_cast<QKeyEvent*>(Event)->key();
        if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
            if (!btnAdd->Disabled()) {
                btnAddClick();
            }
            return true;
        }
    }
    if ((Watched == lvNames && Event->type() == QEvent::KeyRelease) ||
        (Watched == lvNames->viewport() && Event->type() == QEvent::MouseButtonRelease)) {
        // The press before this release has already changed the selection.
        SelectionChanged();
    }
    return QDialog::eventFilter(Watched, Event);
}

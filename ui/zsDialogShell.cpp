#include "zsDialogShell.h"

#include "zsBorderlessFrame.h"
#include "zsImageButton.h"
#include "zsImageList.h"

#include <QDialog>
#include <QIcon>
#include <QLabel>

TzsDialogHeader BuildDialogShell(QDialog& Dialog, TBorderlessFrame& Frame,
                                 const TSharedImageLists* Lists, const TzsDialogShape& Shape) {
    Dialog.setObjectName(Shape.ObjectName);
    Dialog.setWindowTitle(Shape.Caption);
    Dialog.setModal(true);
    Dialog.setFixedSize(Shape.Size);
    // Called from the dialog's own constructor, so the class name is the dialog's, not QDialog.
    Dialog.setStyleSheet(QStringLiteral("%1 { background: rgb(56,56,56); }"
                                        "QLineEdit { background: rgb(75,75,75); color: white; "
                                        "border: 1px solid rgb(100,100,100); }")
                             .arg(QString::fromLatin1(Dialog.metaObject()->className())));
    if (Lists) {
        Dialog.setWindowIcon(QIcon(Lists->ImgWindows16Dis.Pixmap(TSharedImageLists::WindowIcon)));
    }

    TzsDialogHeader Header{};
    Header.Panel = new QWidget(&Dialog);
    Header.Panel->setObjectName(QStringLiteral("PanelHeader"));
    Header.Panel->setGeometry(0, 0, Shape.Size.width(), DialogHeaderHeight);
    Header.Panel->setStyleSheet(QStringLiteral("#PanelHeader { background: rgb(40,40,40); }"));
    Header.Panel->setAttribute(Qt::WA_StyledBackground);

    Header.WindowIcon = new TzsImageButton(Header.Panel);
    Header.WindowIcon->setGeometry(2, 2, 24, 24);
    if (Lists) {
        Header.WindowIcon->SetDisabledImageList(&Lists->ImgWindows16Dis);
    }
    Header.WindowIcon->SetImageIndex(TSharedImageLists::WindowIcon);
    Header.WindowIcon->SetDisabled(true);

    Header.Caption = new QLabel(Shape.Caption, Header.Panel);
    Header.Caption->setGeometry(32, 0, Shape.CaptionWidth, DialogHeaderHeight);
    Header.Caption->setStyleSheet(QStringLiteral(
        "color: white; font-weight: bold; font-size: 12px; background: transparent;"));

    Frame.AddDragPart(Header.Panel);
    Frame.AddInertPart(Header.Caption);
    return Header;
}

TzsImageButton* MakeDialogButton(QWidget* Parent, const TSharedImageLists* Lists, int Index,
                                 const QRect& Geometry) {
    auto* Button = new TzsImageButton(Parent);
    Button->setGeometry(Geometry);
    if (Lists) {
        Button->SetMouseLeaveImageList(&Lists->ImgStandard24);
        Button->SetMouseEnterImageList(&Lists->imgHot24);
        Button->SetDisabledImageList(&Lists->ImgDisabled24);
    }
    Button->SetImageIndex(Index);
    return Button;
}

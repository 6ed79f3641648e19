// The frame every small dialog of the program shares: the dark body, the header panel with the
// greyed window picture and the bold caption, and the header as the drag handle of the
// borderless frame. Each dialog keeps its own fields; this only builds the common widgets.
//
//   const TzsDialogHeader Header = BuildDialogShell(*this, FFrame, Lists,
//       {QStringLiteral("frmNewGroup"), QStringLiteral("Add Group"), QSize(276, 163), 200});
//   PanelHeader = Header.Panel;
//   zsImageButton2 = Header.WindowIcon;
//   lbHeader = Header.Caption;
#pragma once

#include <QRect>
#include <QSize>
#include <QString>

class QDialog;
class QLabel;
class QWidget;
class TBorderlessFrame;
class TzsImageButton;
struct TSharedImageLists;

// Height of the header panel at the top of every dialog.
inline constexpr int DialogHeaderHeight = 28;

struct TzsDialogShape {
    QString ObjectName;
    QString Caption; // both the window title and the header text
    QSize Size;      // the dialog's fixed size; the header spans its width
    int CaptionWidth;
};

struct TzsDialogHeader {
    QWidget* Panel;
    TzsImageButton* WindowIcon;
    QLabel* Caption;
};

// Sets Dialog's name, title, modality, fixed size, style sheet and window icon, and builds its
// header. Lists may be null (no pictures). The header drags the window; the caption is inert.
TzsDialogHeader BuildDialogShell(QDialog& Dialog, TBorderlessFrame& Frame,
                                 const TSharedImageLists* Lists, const TzsDialogShape& Shape);

// A 24-pixel button of the standard image lists showing picture Index.
TzsImageButton* MakeDialogButton(QWidget* Parent, const TSharedImageLists* Lists, int Index,
                                 const QRect& Geometry);

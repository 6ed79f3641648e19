// The About window: the product's name and picture, the main window's caption (which carries
// the version), links to the maker's and the product's web pages, and the release history read
// from VersionHistory.txt as a tree. It is created once at start-up, after the main window,
// and shown without being modal. The history is read when the window is first shown, never at
// start-up, and only its first VersionHistoryReadLimit bytes: a larger file is cut at a line end
// and the tree ends with a note saying so.
//
//   auto* About = new TfrmAbout(&Lists, MainWindow->windowTitle());
//   connect(btnAbout, &TzsImageButton::clicked, About, &TfrmAbout::ShowAbout);
//
// VersionHistory.txt is a line-oriented tag language: a line's kind is the first of <Ver>,
// <Date>, <Note>, <Enh>, <Fix>, <WIP>, <Issue>, <Sub> it contains (any letter case); lines
// without a tag are comments.
//
//   <Ver> 1.0.0.1            Version : 1.0.0.1 - 10 December 2026
//   <Date> 10 December 2026    Enhancements
//   <Enh> Groups of targets      Groups of targets
//   <Sub> open at start-up         open at start-up
#pragma once

#include "zsBorderlessFrame.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QByteArray;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;
class TzsImageButton;
struct TSharedImageLists;

// The history file's text as lines: 8-bit text (UTF-8, or Latin-1 when it is not valid UTF-8)
// that ends at a NUL character, lines ending at CR LF, LF or CR.
QStringList VersionHistoryLines(const QByteArray& Text);

// The tree the tag lines describe, as top-level items the caller takes over. A <Date> line
// before the first <Ver> line ends the loading: the items made until then are returned.
QList<QTreeWidgetItem*> VersionHistoryTree(const QStringList& Lines);

// The most of VersionHistory.txt that is read: 4 MiB, a few thousand releases' worth.
inline constexpr qint64 VersionHistoryReadLimit = qint64(4) << 20;

// The last node of a tree read from a file cut at VersionHistoryReadLimit.
QString VersionHistoryCutNote();

// Reads at most Limit bytes of the regular file Path (anything else, and a file that cannot be
// read, gives nothing) and cuts a longer file after its last line end within Limit; Cut tells
// whether it was cut.
QByteArray ReadVersionHistoryText(const QString& Path, qint64 Limit, bool& Cut);

// Where the running program finds its history: VersionHistory.txt in ProgramFolder (the
// build tree and a self-contained copy), else in the installed data folder that lies beside
// the installed program's folder (share/vantorel for bin/).
QString VersionHistoryFile(const QString& ProgramFolder);
// VersionHistoryFile for the folder of the running program.
QString DefaultVersionHistoryFile();

class TfrmAbout : public QDialog {
    Q_OBJECT

public:
    // Lists may be null (no pictures on the window buttons) and must outlive the window.
    // MainCaption is the main window's caption at this moment; HistoryFile is read once, at
    // the first showing.
    TfrmAbout(const TSharedImageLists* Lists, const QString& MainCaption,
              const QString& HistoryFile = DefaultVersionHistoryFile(), QWidget* Parent = nullptr);
    ~TfrmAbout() override;

    // Shows the window and brings it to the front; the first showing centres it over the main
    // window, later ones leave it where it was.
    void ShowAbout();

    TBorderlessFrame& Frame() { return FFrame; }

    void btnCloseClick();
    // Hands the label's own text to the browser (OpenWebAddress).
    void lblPurchaseClick();
    void lblProductLinkClick();

    QWidget* PanelHeader;
    TzsImageButton* zsImageButton1;
    QLabel* lbHeader;
    TzsImageButton* btnClose;
    QLabel* Image1;
    QLabel* lbProductName;
    QLabel* lbCaption;
    QLabel* lbReleaseInformation;
    QLabel* lblPurchase;
    QTreeWidget* VersionTreeView;
    QLabel* lblProductLink;

protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void LoadVersionHistory();
    void OpenLink(const QLabel* Link);
    void FocusWindowChanged(QWindow* Window);

    TBorderlessFrame FFrame;
    QString FHistoryFile;
    bool FHistoryLoaded = false;
    bool FPlaced = false;
};

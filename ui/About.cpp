#include "About.h"

#include "uZephraTools.h"
#include "zsDialogShell.h"
#include "zsFonts.h"
#include "zsImageButton.h"
#include "zsImageList.h"
#include "zsTextRules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStringDecoder>
#include <QTreeWidget>
#include <QWindow>

#include <array>

namespace {

constexpr int WindowWidth = 544;
constexpr int WindowHeight = 540;
constexpr int TopBandHeight = 137;
constexpr int MiddleBandHeight = 41;
constexpr int BottomBandHeight = 40;

// The tags in the order they are tried; the first one a line holds decides its kind.
enum TLineKind : int { lkVer, lkDate, lkNote, lkEnh, lkFix, lkWIP, lkIssue, lkSub };
constexpr std::array<QLatin1StringView, 8> Tags = {
    QLatin1StringView("<Ver>"),   QLatin1StringView("<Date>"), QLatin1StringView("<Note>"),
    QLatin1StringView("<Enh>"),   QLatin1StringView("<Fix>"),  QLatin1StringView("<WIP>"),
    QLatin1StringView("<Issue>"), QLatin1StringView("<Sub>")};
// Section captions of the item kinds, lkNote to lkIssue.
constexpr std::array<QLatin1StringView, 5> SectionCaptions = {
    QLatin1StringView("Notes"), QLatin1StringView("Enhancements"), QLatin1StringView("Fixes"),
    QLatin1StringView("Work in Progress"), QLatin1StringView("Known Issues")};

QFont AboutFont(int PixelSize, QFont::Weight Weight = QFont::Normal, bool Italic = false) {
    QFont Font = DesignFont(QStringLiteral("Segoe UI"));
    Font.setPixelSize(PixelSize);
    Font.setWeight(Weight);
    Font.setItalic(Italic);
    return Font;
}

QLabel* MakeLabel(QWidget* Parent, const QString& ObjectName, const QString& Text,
                  const QRect& Geometry, const QFont& Font, Qt::Alignment Alignment) {
    auto* Label = new QLabel(Parent);
    Label->setObjectName(ObjectName);
    Label->setTextFormat(Qt::PlainText);
    Label->setText(Text);
    Label->setGeometry(Geometry);
    Label->setFont(Font);
    Label->setAlignment(Alignment);
    return Label;
}

// The product picture: the program's icon, as large as fits, centred in Size.
QPixmap ProductPicture(QSize Size) {
    const int Side = qMin(Size.width(), Size.height());
    QImage Picture(Size, QImage::Format_ARGB32_Premultiplied);
    Picture.fill(Qt::transparent);
    QPainter Painter(&Picture);
    Painter.drawImage((Size.width() - Side) / 2, (Size.height() - Side) / 2,
                      VantorelIconImage(Side));
    Painter.end();
    return QPixmap::fromImage(Picture);
}

} // namespace

QStringList VersionHistoryLines(const QByteArray& Text) {
    QByteArray Bytes = Text;
    if (const qsizetype Nul = Bytes.indexOf('\0'); Nul >= 0) {
        Bytes.truncate(Nul);
    }
    QStringDecoder Utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString Decoded = Utf8.decode(Bytes);
    if (Utf8.hasError()) {
        Decoded = QString::fromLatin1(Bytes);
    }
    QStringList Lines;
    qsizetype Start = 0;
    for (qsizetype I = 0; I < Decoded.size(); ++I) {
        const QChar C = Decoded[I];
        if (C != u'\r' && C != u'\n') {
            continue;
        }
        Lines.append(Decoded.mid(Start, I - Start));
        if (C == u'\r' && I + 1 < Decoded.size() && Decoded[I + 1] == u'\n') {
            ++I;
        }
        Start = I + 1;
    }
    if (Start < Decoded.size()) {
        Lines.append(Decoded.mid(Start));
    }
    return Lines;
}

QList<QTreeWidgetItem*> VersionHistoryTree(const QStringList& Lines) {
    QList<QTreeWidgetItem*> TopLevel;
    const auto AddNode = [&TopLevel](QTreeWidgetItem* Parent, const QString& Caption) {
        auto* Node = new QTreeWidgetItem(QStringList{Caption});
        if (Parent) {
            Parent->addChild(Node);
        } else {
            TopLevel.append(Node);
        }
        return Node;
    };

    QTreeWidgetItem* Version = nullptr;
    std::array<QTreeWidgetItem*, SectionCaptions.size()> Sections{};
    // Survives a new <Ver> line: a <Sub> right after one still extends the previous item.
    QTreeWidgetItem* LastItem = nullptr;
    for (const QString& RawLine : Lines) {
        const QString Line = TrimBlanks(RawLine);
        int Kind = -1;
        for (int K = 0; K < int(Tags.size()); ++K) {
            if (Line.contains(Tags[K], Qt::CaseInsensitive)) {
                Kind = K;
                break;
            }
        }
        if (Kind < 0) {
            continue;
        }
        QString Text = Line;
        Text = TrimBlanks(Text.remove(Tags[Kind], Qt::CaseInsensitive));
        switch (Kind) {
        case lkVer:
            Version = AddNode(nullptr, QStringLiteral("Version : ") + Text);
            Sections.fill(nullptr);
            break;
        case lkDate:
            if (!Version) {
                // Nothing to put the date on: the rest of the file is not read.
                return TopLevel;
            }
            Version->setText(0, Version->text(0) + QStringLiteral(" - ") + Text);
            break;
        case lkSub:
            AddNode(LastItem, Text);
            break;
        default: {
            QTreeWidgetItem*& Section = Sections[Kind - lkNote];
            if (!Section) {
                Section = AddNode(Version, SectionCaptions[Kind - lkNote]);
            }
            LastItem = AddNode(Section, Text);
            break;
        }
        }
    }
    return TopLevel;
}

QString VersionHistoryCutNote() {
    return QStringLiteral("(The history goes on: only its first %1 MiB are shown.)")
        .arg(VersionHistoryReadLimit >> 20);
}

QByteArray ReadVersionHistoryText(const QString& Path, qint64 Limit, bool& Cut) {
    Cut = false;
    // Only a regular file: opening a pipe or a device could wait for ever.
    if (Path.isEmpty() || !QFileInfo(Path).isFile()) {
        return {};
    }
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray Text = File.read(Limit + 1);
    if (Text.size() <= Limit) {
        return Text;
    }
    Cut = true;
    Text.truncate(Limit);
    // Keep whole lines: up to the last line end within the limit (a CR LF pair split by the
    // limit loses its LF, which reads the same).
    const qsizetype LineEnd = qMax(Text.lastIndexOf('\n'), Text.lastIndexOf('\r'));
    Text.truncate(LineEnd < 0 ? 0 : LineEnd + 1);
    return Text;
}

QString VersionHistoryFile(const QString& ProgramFolder) {
    const QString FileName = QStringLiteral("VersionHistory.txt");
    const QDir Folder(ProgramFolder);
    const QString Beside = Folder.filePath(FileName);
    if (QFileInfo::exists(Beside)) {
        return Beside;
    }
#ifdef VANTOREL_DATA_FROM_BIN
    const QString Installed =
        QDir::cleanPath(Folder.filePath(QStringLiteral(VANTOREL_DATA_FROM_BIN "/") + FileName));
    if (QFileInfo::exists(Installed)) {
        return Installed;
    }
#endif
    return Beside;
}

QString DefaultVersionHistoryFile() {
    return VersionHistoryFile(QCoreApplication::applicationDirPath());
}

TfrmAbout::TfrmAbout(const TSharedImageLists* Lists, const QString& MainCaption,
                     const QString& HistoryFile, QWidget* Parent)
    : QDialog(Parent), FFrame(this), FHistoryFile(HistoryFile) {
    const TzsDialogHeader Header =
        BuildDialogShell(*this, FFrame, Lists,
                         {QStringLiteral("frmAbout"), QStringLiteral("About"),
                          QSize(WindowWidth, WindowHeight), 300});
    setModal(false);
    PanelHeader = Header.Panel;
    zsImageButton1 = Header.WindowIcon;
    lbHeader = Header.Caption;
    // Unlike the dialogs, the whole header including its caption moves this window.
    FFrame.AddDragPart(lbHeader);

    btnClose = new TzsImageButton(PanelHeader);
    btnClose->setGeometry(WindowWidth - 26, 2, 24, 24);
    if (Lists) {
        btnClose->SetMouseLeaveImageList(&Lists->ImgWindows16);
        btnClose->SetMouseEnterImageList(&Lists->ImageWindows16Hot);
        btnClose->SetDisabledImageList(&Lists->ImgWindows16Dis);
    }
    btnClose->SetImageIndex(TSharedImageLists::WinClose);

    // The shell's dark sheet is replaced. Qt only drops the rules it cached for the old sheet
    // when the window has been polished, so polish it first.
    ensurePolished();
    setStyleSheet(QStringLiteral(
        "TfrmAbout { background: rgb(155,0,0); }"
        "QLabel { color: white; background: transparent; }"
        "#PanelRelease { background: rgb(239,239,239); }"
        "#PanelRelease QLabel { color: black; }"
        "#lblPurchase, #lblProductLink { border: 1px solid transparent; }"
        // Two names outrank the band's rule for all its labels above.
        "#PanelRelease #lblPurchase { color: rgb(0,0,255); }"
        "#lblPurchase:focus, #lblProductLink:focus { border: 1px dotted palette(highlight); }"
        "QTreeWidget { background: white; color: black; border: none; }"));

    const int Top = DialogHeaderHeight;
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(10, Top + 10, 105, 117);
    Image1->setPixmap(ProductPicture(Image1->size()));

    const int TextLeft = 125;
    const int TextWidth = WindowWidth - TextLeft - 10;
    lbProductName = MakeLabel(this, QStringLiteral("lbProductName"), QStringLiteral("Vantorel"),
                              QRect(TextLeft, Top + 10, TextWidth, 90),
                              AboutFont(35, QFont::Bold, true), Qt::AlignCenter);
    lbCaption = MakeLabel(this, QStringLiteral("lbCaption"), MainCaption,
                          QRect(TextLeft, Top + TopBandHeight - 26, TextWidth, 20), AboutFont(12),
                          Qt::AlignRight | Qt::AlignVCenter);

    const int MiddleTop = Top + TopBandHeight;
    auto* PanelRelease = new QWidget(this);
    PanelRelease->setObjectName(QStringLiteral("PanelRelease"));
    PanelRelease->setAttribute(Qt::WA_StyledBackground);
    PanelRelease->setGeometry(0, MiddleTop, WindowWidth, MiddleBandHeight);
    lbReleaseInformation = MakeLabel(
        PanelRelease, QStringLiteral("lbReleaseInformation"), QStringLiteral("Release Information"),
        QRect(10, 0, 200, MiddleBandHeight), AboutFont(16), Qt::AlignLeft | Qt::AlignVCenter);
    QFont LinkFont = AboutFont(12);
    LinkFont.setUnderline(true);
    lblPurchase = MakeLabel(PanelRelease, QStringLiteral("lblPurchase"), ZephraSoftwareWebAddress(),
                            QRect(210, 0, WindowWidth - 210 - 10, MiddleBandHeight), LinkFont,
                            Qt::AlignRight | Qt::AlignVCenter);

    const int TreeTop = MiddleTop + MiddleBandHeight;
    const int BottomTop = WindowHeight - BottomBandHeight;
    VersionTreeView = new QTreeWidget(this);
    VersionTreeView->setObjectName(QStringLiteral("VersionTreeView"));
    VersionTreeView->setGeometry(0, TreeTop, WindowWidth, BottomTop - TreeTop);
    VersionTreeView->setHeaderHidden(true);
    VersionTreeView->setColumnCount(1);
    VersionTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    VersionTreeView->setIndentation(19);
    VersionTreeView->setFrameShape(QFrame::NoFrame);
    VersionTreeView->setFont(AboutFont(12));
    // Long lines scroll sideways instead of being cut short.
    VersionTreeView->header()->setStretchLastSection(false);
    VersionTreeView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    lblProductLink = MakeLabel(this, QStringLiteral("lblProductLink"), VantorelWebAddress(),
                               QRect(10, BottomTop, WindowWidth - 20, BottomBandHeight), LinkFont,
                               Qt::AlignRight | Qt::AlignVCenter);

    for (QLabel* Link : {lblPurchase, lblProductLink}) {
        // Only the address itself is the link: the label hugs its text at the right end.
        const QRect Band = Link->geometry();
        const int Width = qMin(Link->sizeHint().width(), Band.width());
        Link->setGeometry(Band.right() + 1 - Width, Band.top(), Width, Band.height());
        Link->setCursor(Qt::PointingHandCursor);
        Link->setFocusPolicy(Qt::TabFocus);
        Link->installEventFilter(this);
    }
    connect(btnClose, &TzsImageButton::clicked, this, &TfrmAbout::btnCloseClick);
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &TfrmAbout::FocusWindowChanged);

    // FormCreate: the drag record starts clear, the caption is the main window's as it is now,
    // and the window never gets smaller than it starts. The history waits for the first showing.
    FFrame.FHeaderDrag.Clear();
    setMinimumSize(size());
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

TfrmAbout::~TfrmAbout() = default;

void TfrmAbout::LoadVersionHistory() {
    FHistoryLoaded = true;
    VersionTreeView->clear();
    // A missing or unreadable file leaves the tree empty and says nothing.
    bool Cut = false;
    const QByteArray Text = ReadVersionHistoryText(FHistoryFile, VersionHistoryReadLimit, Cut);
    VersionTreeView->setUpdatesEnabled(false);
    VersionTreeView->addTopLevelItems(VersionHistoryTree(VersionHistoryLines(Text)));
    if (Cut) {
        VersionTreeView->addTopLevelItem(new QTreeWidgetItem(QStringList{VersionHistoryCutNote()}));
    }
    VersionTreeView->collapseAll();
    VersionTreeView->setUpdatesEnabled(true);
}

void TfrmAbout::ShowAbout() {
    if (!FHistoryLoaded) {
        LoadVersionHistory();
    }
    show();
    raise();
    activateWindow();
}

void TfrmAbout::btnCloseClick() {
    close();
}

void TfrmAbout::lblPurchaseClick() {
    OpenLink(lblPurchase);
}

void TfrmAbout::lblProductLinkClick() {
    OpenLink(lblProductLink);
}

void TfrmAbout::OpenLink(const QLabel* Link) {
    OpenWebAddress(Link->text());
}

void TfrmAbout::FocusWindowChanged(QWindow* Window) {
    // Another window of this program became active; switching to another program (no focus
    // window here) leaves the About window open.
    if (isVisible() && Window && Window != windowHandle()) {
        close();
    }
}

void TfrmAbout::showEvent(QShowEvent* Event) {
    if (!FHistoryLoaded) {
        LoadVersionHistory();
    }
    QDialog::showEvent(Event);
    if (!FPlaced) {
        FPlaced = true;
        FFrame.CenterOnMainWindow();
    }
    VersionTreeView->setFocus();
}

void TfrmAbout::keyPressEvent(QKeyEvent* Event) {
    // The close button is the window's only button, so Enter answers it as Esc does.
    if (Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) {
        Event->accept();
        btnCloseClick();
        return;
    }
    QDialog::keyPressEvent(Event);
}

bool TfrmAbout::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched != lblPurchase && Watched != lblProductLink) {
        return QDialog::eventFilter(Watched, Event);
    }
    auto* Link = static_cast<QLabel*>(Watched);
    if (Event->type() == QEvent::MouseButtonRelease) {
        const auto* Mouse = static_cast<QMouseEvent*>(Event);
        if (Mouse->button() == Qt::LeftButton &&
            Link->rect().contains(Mouse->position().toPoint())) {
            OpenLink(Link);
            return true;
        }
    } else if (Event->type() == QEvent::KeyPress) {
        const int Key = static_cast<QKeyEvent*>(Event)->key();
        if (Key == Qt::Key_Return || Key == Qt::Key_Enter || Key == Qt::Key_Space) {
            OpenLink(Link);
            return true;
        }
    }
    return QDialog::eventFilter(Watched, Event);
}

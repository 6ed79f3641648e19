// Picture lists for image buttons: every picture is kept at 1x and 2x so it stays crisp on
// high-density screens, and the pointer-over and disabled looks are derived from the normal one.
//
//   TSharedImageLists lists;                       // owned by the main window for the whole run
//   btn->SetMouseLeaveImageList(&lists.ImgStandard24);
//   btn->SetMouseEnterImageList(&lists.imgHot24);
//   btn->SetDisabledImageList(&lists.ImgDisabled24);
//   btn->SetImageIndex(TSharedImageLists::OK);
#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <vector>

enum class TImageLook { Normal, Hot, Disabled };

class TzsImageList {
public:
    TzsImageList(int Width, int Height);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    int Count() const { return static_cast<int>(FImages.size()); }

    // Renders an SVG (a resource path such as ":/icons/vantorel.svg") at the list's size.
    // An empty path adds an empty picture, which keeps the indexes of later pictures in place.
    void AddSvg(const QString& Path);
    void Add(const QImage& Image1x, const QImage& Image2x);

    // The picture for a screen of the given pixel ratio; a null pixmap for an index the list
    // does not hold. Made once per picture (with an application object running).
    QPixmap Pixmap(int Index, qreal DevicePixelRatio = 1.0) const;
    QImage Image(int Index, int Scale = 1) const;

    // A list of the same pictures in the pointer-over or disabled look.
    TzsImageList Derived(TImageLook Look) const;

    static QImage DeriveLook(const QImage& Source, TImageLook Look);

private:
    struct TEntry {
        QImage X1;
        QImage X2;
        // Made on first use and shared with every button that shows them, so that switching
        // a button's look copies no picture.
        mutable QPixmap Pixmap1x;
        mutable QPixmap Pixmap2x;
    };
    int FWidth;
    int FHeight;
    std::vector<TEntry> FImages;
};

// The lists every window's buttons refer to. The main window owns one instance; buttons only
// point at it, so it must outlive them.
struct TSharedImageLists {
    // Indexes into the three 24-pixel toolbar and dialog lists (4 to 7 are unused).
    enum : int {
        NewMonitor = 0, // also the dialogs' Add
        CloseAll = 1,   // also the dialogs' Delete
        NewGroup = 2,
        DeleteGroup = 3,
        WebPage = 8,
        HintsOn = 9,
        HintsOff = 10,
        ChartSpan = 11,
        ChartRange = 12,
        PingFrequency = 13,
        LoggingOn = 14,
        LoggingOff = 15,
        FriendlyNames = 16,
        AlertingOn = 17,
        AlertingOff = 18,
        PayloadSize = 19,
        OK = 20,
        Cancel = 21,
        PingTimeout = 22,
        Configuration = 23,
        ToggleView = 24,
        About = 25,
        StandardCount = 26
    };
    // Indexes into the window-button lists; WindowIcon exists only in the disabled list.
    enum : int { WinClose = 0, WinMaximize = 1, WinMinimize = 2, WinRestore = 3, WindowIcon = 4 };

    TSharedImageLists();

    TzsImageList ImgStandard24;
    TzsImageList imgHot24;
    TzsImageList ImgDisabled24;
    TzsImageList ImgWindows16;
    TzsImageList ImageWindows16Hot;
    TzsImageList ImgWindows16Dis;

    // Resource paths of the 26 toolbar pictures in index order (empty for unused indexes).
    static QStringList StandardPaths();
};

// The monitor window's own 16-pixel lists: 0 close button, 1 ping indicator.
struct TPingerImageLists {
    enum : int { Close = 0, PingIndicator = 1 };

    TPingerImageLists();

    TzsImageList ImgStandard16;
    TzsImageList ImgHot16;
    TzsImageList ImgDis16;
};

// The program's icon rendered square at Size pixels, for the window icon of every window.
QImage VantorelIconImage(int Size);

// Registers the compiled-in pictures; the library is static, so its resources are not
// registered on their own. Safe to call more than once.
void InitVantorelResources();

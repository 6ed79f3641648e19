// TMainToolbar is the main window's toolbar, a view of the core like the window: from left to
// right the hints switch, the configuration menu, About, the list/tiles switch, the five
// settings menus that apply to every monitor, Friendly Names, the alerting and logging switches,
// close-all, the Target box with its button, the groups box with its two buttons, and the maker's
// name and web page. Its table declares each control once, with its space before it and whether
// it greys out while the core is busy, takes part in the tab walk and shows its hint only while
// hints are on; the layout, the tab walk, the busy state and the hints switch all read it.
//
// Every control turns the person's action into the core's operation. The switches' pictures and
// hints, the menus' checks and the groups box show what the core holds, and are shown again
// whenever it changes; nothing is read back from them. What the toolbar cannot do itself (the
// About window, the web page, the Alerts dialog) it asks its window for through its signals.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
struct TSharedImageLists;
class TVantorelCore;
class TzsImageButton;

class TMainToolbar : public QWidget {
    Q_OBJECT

public:
    static constexpr int Height = 40;
    static constexpr int MinBoxWidth = 64; // the Target and groups boxes at the narrowest

    TMainToolbar(TVantorelCore& Core, const TSharedImageLists& Images, QWidget* Parent);

signals:
    void AboutClicked();
    void WebPageClicked();
    void AlertSettingsClicked();

private:
    // A control of the toolbar, in the table the constructor declares.
    struct TItem {
        enum : unsigned {
            Busy = 1, // greyed while the core's controls are off
            Tab = 2,  // in the tab walk
            Hint = 4, // its hint shows only while hints are switched on
        };
        static constexpr int Stretch = -1; // SpaceBefore: the free room of the row

        QWidget* Control;
        int SpaceBefore; // pixels left of it, or Stretch
        unsigned Flags;
        QColor Colour = {}; // a label's text while not busy
    };

    TzsImageButton* MakeButton(const char* Name, int ImageIndex, const QString& Hint);
    QMenu* MakeButtonMenu(TzsImageButton* Button, const char* Name, const QString& Title);
    void BuildMenus();
    void ConnectCommands();
    void ShowButtonMenu(QMenu* Menu, TzsImageButton* Button);
    void ShowSettings();
    void ShowControlsEnabled(bool Enabled);
    void ShowGroups();
    void GroupChosen(int Index);
    void AddTarget();

    TVantorelCore& FCore;
    const TSharedImageLists& FImages;
    std::vector<TItem> FItems;
    // The hints last applied, so that a change of another setting walks no controls.
    int FShownHints = -1;

    TzsImageButton* btnHints = nullptr;
    TzsImageButton* btnSettings = nullptr;
    TzsImageButton* btnAbout = nullptr;
    TzsImageButton* btnToggleView = nullptr;
    TzsImageButton* btnSpan = nullptr;
    TzsImageButton* btnRange = nullptr;
    TzsImageButton* btnFreq = nullptr;
    TzsImageButton* btnTimeOutMS = nullptr;
    TzsImageButton* btnPayloadSize = nullptr;
    TzsImageButton* btnFriendlyNames = nullptr;
    TzsImageButton* btnAlerting = nullptr;
    TzsImageButton* btnLogging = nullptr;
    TzsImageButton* btnCloseAll = nullptr;
    QLabel* lbTarget = nullptr;
    QLineEdit* cbTarget = nullptr;
    TzsImageButton* btnNewPinger = nullptr;
    QLabel* lbGroups = nullptr;
    QComboBox* cbGroups = nullptr;
    TzsImageButton* btnAddGroup = nullptr;
    TzsImageButton* btnDeleteGroup = nullptr;
    QLabel* lbZephraSoftware = nullptr;
    TzsImageButton* btnZephraSoftware = nullptr;
    // The menus: a disabled title entry, a separator, then the entries.
    QMenu* menSpan = nullptr;
    QMenu* menRange = nullptr;
    QMenu* menFreq = nullptr;
    QMenu* menTimeOutMS = nullptr;
    QMenu* menPayloadSize = nullptr;
    QMenu* menSettings = nullptr;
    QMenu* menAlerting = nullptr;
};

// Vantorel program entry: the application object with its title, the main window and the
// dialogs it uses, then the event loop until the main window closes.
#include "uFrmFriendlyNames.h"
#include "uFrmMain.h"
#include "uFrmNewGroup.h"
#include "zsImageList.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication App(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantorel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantorel"));
    InitVantorelResources();

    TfrmMain Main;
    TFrmFriendlyNames FriendlyNames(&Main.ImageLists());
    TfrmNewGroup NewGroup(&Main.ImageLists());
    Main.SetDialogs(&FriendlyNames, &NewGroup);
    Main.show();
    const int Result = QApplication::exec();
    return Result;
}

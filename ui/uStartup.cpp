#include "uStartup.h"

#include "zsMessageBox.h"

QString ErrorMessageText(const QString& Message) {
    if (!Message.isEmpty() && Message.back() > u'.') {
        return Message + u'.';
    }
    return Message;
}

void ShowErrorMessage(const QString& Message) {
    TzsMessageBox::Error(QApplication::activeWindow(), ErrorMessageText(Message));
}

void ShowException(const std::exception& Error) {
    ShowErrorMessage(QString::fromUtf8(Error.what()));
}

TVantorelApplication::TVantorelApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {
    setApplicationName(QString::fromLatin1(ApplicationTitle));
    // Ties the windows to vantorel.desktop, whose name and icon the desktop shows for them.
    setDesktopFileName(QStringLiteral("vantorel"));
}

bool TVantorelApplication::notify(QObject* Receiver, QEvent* Event) {
    return DeliverShowingErrors([&] { return QApplication::notify(Receiver, Event); });
}

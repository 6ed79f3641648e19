// How the program ends when it is asked to from outside rather than by its close button.
// SIGTERM, SIGINT and SIGHUP (kill, a service manager's stop, Ctrl+C, a terminal that goes)
// close the main window the way its close button does: it saves, and the program exits with 0;
// while a group opens or monitors close, the close waits for that as the close button's does.
// A dialog waiting for an answer is cancelled first, so that the handler that opened it ends
// before the window closes.
//
// A session manager's logout first asks the program to commit its data: the core saves what a
// close saves, and the close that may follow saves again.
//
//   TzsSignalWatcher Signals;
//   CloseOnSignals(Signals, Main);
//   SaveOnLogout(App, Main.Core());
#pragma once

#include "uVantorelCore.h"
#include "zsSignalWatcher.h"

#include <QApplication>
#include <QDialog>
#include <QSessionManager>
#include <QTimer>
#include <QWidget>

// Closes Main as its close button does, after cancelling the modal dialogs in front of it (a
// few at most, so that one that refuses to go cannot hold the close up).
inline void CloseOnRequest(QWidget& Main, int DialogsLeft = 8) {
    auto* Dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (Dialog && DialogsLeft > 0) {
        Dialog->reject();
        // Once the dialog's own loop has returned to its caller.
        QTimer::singleShot(0, &Main,
                           [&Main, DialogsLeft] { CloseOnRequest(Main, DialogsLeft - 1); });
        return;
    }
    Main.close();
}

inline void CloseOnSignals(const TzsSignalWatcher& Signals, QWidget& Main) {
    QObject::connect(&Signals, &TzsSignalWatcher::Received, &Main,
                     [&Main] { CloseOnRequest(Main); });
}

inline void SaveOnLogout(QGuiApplication& App, TVantorelCore& Core) {
    // Direct: the session manager waits for the data while the handler runs.
    QObject::connect(
        &App, &QGuiApplication::commitDataRequest, &Core,
        [&Core](QSessionManager&) { Core.SaveSession(); }, Qt::DirectConnection);
}

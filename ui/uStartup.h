// The application object and its general error handler: an error that no one handled where it
// arose (an exception out of an event handler or a window's creation) is shown in a message box
// titled "Vantorel" with the error icon and an OK button.
//
//   TVantorelApplication App(argc, argv);   // title "Vantorel", errors in events are shown
//   try {
//       Main.FormCreate();
//   } catch (const std::exception& E) {
//       ShowException(E);                    // and the window is created all the same
//   }
#pragma once

#include <QApplication>
#include <QString>

#include <concepts>
#include <exception>
#include <utility>

// The application title: the taskbar entry, the error box's title, the start of the main
// window's caption.
inline constexpr char ApplicationTitle[] = "Vantorel";

// Message as the error handler shows it: a full stop is appended when the last character sorts
// above "." (so after a letter or digit, not after ".", ",", "!" or a blank).
QString ErrorMessageText(const QString& Message);

// Shows Message in the program's error box, titled with the application title.
void ShowErrorMessage(const QString& Message);
// Shows the exception's message (UTF-8) in the program's error box.
void ShowException(const std::exception& Error);

// Runs Deliver and returns its result; whatever it throws is shown through the general error
// handler instead (an exception of no standard type as "Unknown error."), and gives false.
template <typename TDeliver>
bool DeliverShowingErrors(TDeliver&& Deliver) {
    try {
        return Deliver();
    } catch (const std::exception& Error) {
        ShowException(Error);
    } catch (...) {
        ShowErrorMessage(QStringLiteral("Unknown error"));
    }
    return false;
}

// A handler that shows what it throws through the general error handler from inside itself,
// for connecting to a signal or an event hook: an exception must never unwind through Qt's
// event delivery (Qt is not exception safe: a mouse event's copy, for one, would leak). The
// arguments are passed on.
//
//   connect(btnFriendlyNames, &TzsImageButton::clicked, this,
//           ShowingErrors([this] { btnFriendlyNamesClick(); }));
template <typename THandler>
class TShowingErrors {
public:
    explicit TShowingErrors(THandler Handler) : FHandler(std::move(Handler)) {}

    // Callable only with what the handler takes, so that a signal's surplus arguments are
    // dropped as for any slot.
    template <typename... TArgs>
    requires std::invocable<const THandler&, TArgs...>
    void operator()(TArgs&&... Args) const {
        DeliverShowingErrors([&] {
            FHandler(std::forward<TArgs>(Args)...);
            return true;
        });
    }

private:
    THandler FHandler;
};

template <typename THandler>
TShowingErrors<THandler> ShowingErrors(THandler Handler) {
    return TShowingErrors<THandler>(std::move(Handler));
}

class TVantorelApplication : public QApplication {
    Q_OBJECT

public:
    // Sets the application's name, its display name and the desktop entry it belongs to.
    TVantorelApplication(int& Argc, char** Argv);

    // Every event goes through here: an exception that still escapes a handler reaches the
    // general error handler instead of ending the program, and the event counts as not
    // handled. A last resort: handlers catch their own (ShowingErrors).
    bool notify(QObject* Receiver, QEvent* Event) override;
};

// The general error handler: the full-stop rule, the error box it shows, and errors thrown
// while an event is delivered.
#include "uStartup.h"
#include "zsMessageBox.h"

#include <QApplication>
#include <QEvent>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class ErrorHandlerTest : public ::testing::Test {
protected:
    ErrorHandlerTest() { TzsMessageBox::SetTestMode(true); }
    ~ErrorHandlerTest() override { TzsMessageBox::SetTestMode(false); }

    // The one box shown since the last call, as an error box with an OK button.
    static QString OnlyErrorShown() {
        const auto Shown = TzsMessageBox::TakeShown();
        if (Shown.size() != 1) {
            ADD_FAILURE() << Shown.size() << " boxes shown";
            return {};
        }
        EXPECT_EQ(Shown.first().Kind, TzsMessageBox::TKind::Error);
        EXPECT_EQ(Shown.first().Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        return Shown.first().Text;
    }
};

TEST(ErrorMessageText, FullStopAfterACharacterThatSortsAboveTheStop) {
    struct TCase {
        const char* Message;
        const char* Shown;
    } Cases[] = {
        {"Cannot open the file", "Cannot open the file."}, // a letter
        {"Already done.", "Already done."},                // the stop itself
        {"a, b,", "a, b,"},                                // ',' sorts below '.'
        {"trailing blank ", "trailing blank "},            // so does a blank
        {"Hurray!", "Hurray!"},
        {"code 0", "code 0."}, // '0' sorts above '.'
        {"path/", "path/."},   // and '/' right after it
        {"what?", "what?."},
        {"", ""},
        {"line\r\n", "line\r\n"}, // control characters sort low
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Message);
        EXPECT_EQ(ErrorMessageText(QString::fromUtf8(Case.Message)), QString::fromUtf8(Case.Shown));
    }
    EXPECT_EQ(ErrorMessageText(QStringLiteral("Caf\u00e9")), QStringLiteral("Caf\u00e9."));
}

TEST_F(ErrorHandlerTest, ExceptionMessagesAreShownInTheErrorBox) {
    ShowException(std::runtime_error("Unable to write to /tmp/x/config.ini"));
    EXPECT_EQ(OnlyErrorShown(), QStringLiteral("Unable to write to /tmp/x/config.ini."));
    ShowException(std::runtime_error("Caf\xc3\xa9 closed."));
    EXPECT_EQ(OnlyErrorShown(), QStringLiteral("Caf\u00e9 closed."));
    ShowErrorMessage(QString());
    EXPECT_EQ(OnlyErrorShown(), QString());
}

// An object whose event handler fails the way a window's handler can.
class TThrowingObject : public QObject {
public:
    bool Throw = true;
    bool NonStandard = false;
    bool event(QEvent* Event) override {
        if (Event->type() != QEvent::User) {
            return QObject::event(Event);
        }
        if (NonStandard) {
            throw 42;
        }
        if (Throw) {
            throw std::invalid_argument("Invalid configuration file");
        }
        return true;
    }
};

TEST_F(ErrorHandlerTest, AnErrorFromAnEventHandlerIsShownAndTheEventCountsAsUnhandled) {
    TThrowingObject Receiver;
    QEvent Event(QEvent::User);
    const auto Deliver = [&] {
        return DeliverShowingErrors([&] { return qApp->QApplication::notify(&Receiver, &Event); });
    };
    EXPECT_FALSE(Deliver());
    EXPECT_EQ(OnlyErrorShown(), QStringLiteral("Invalid configuration file."));

    Receiver.NonStandard = true;
    EXPECT_FALSE(Deliver());
    EXPECT_EQ(OnlyErrorShown(), QStringLiteral("Unknown error."));

    Receiver.NonStandard = false;
    Receiver.Throw = false;
    EXPECT_TRUE(Deliver());
    EXPECT_TRUE(TzsMessageBox::TakeShown().isEmpty());
}

} // namespace

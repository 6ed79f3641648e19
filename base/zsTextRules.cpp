#include "zsTextRules.h"

#include <QRegularExpression>
#include <algorithm>

namespace {

bool IsControl(QChar C) {
    return C.category() == QChar::Other_Control;
}

} // namespace

bool IsBlankChar(QChar C) {
    return C.unicode() <= 0x20 || C.isSpace() || IsControl(C);
}

QString TrimBlanks(const QString& Text) {
    qsizetype First = 0;
    qsizetype Last = Text.size();
    while (First < Last && IsBlankChar(Text[First])) {
        ++First;
    }
    while (Last > First && IsBlankChar(Text[Last - 1])) {
        --Last;
    }
    return Text.mid(First, Last - First);
}

bool IsBlankText(const QString& Text) {
    return std::all_of(Text.begin(), Text.end(), IsBlankChar);
}

QString WithoutControls(QString Text) {
    for (QChar& C : Text) {
        // Unicode's own line and paragraph separators end a line too.
        if (IsControl(C) || C == QChar::LineSeparator || C == QChar::ParagraphSeparator) {
            C = u' ';
        }
    }
    return Text;
}

QString UnstorableGroupNameReason(const QString& Name) {
    for (QChar C : Name) {
        if (C == u'[' || C == u']' || IsControl(C) || C == QChar::LineSeparator ||
            C == QChar::ParagraphSeparator) {
            return QStringLiteral("A group name cannot contain [ or ], nor a line break or another "
                                  "control character.");
        }
    }
    static const QStringList Reserved = {
        QStringLiteral("COMMON"), QStringLiteral("GROUPS"),  QStringLiteral("FRIENDLYNAMES"),
        QStringLiteral("ALERTS"), QStringLiteral("LOGGING"), QStringLiteral("METRICS")};
    for (const QString& Fixed : Reserved) {
        if (Name.compare(Fixed, Qt::CaseInsensitive) == 0) {
            return QStringLiteral("The name %1 is reserved. Please choose another group name.")
                .arg(Fixed);
        }
    }
    return {};
}

QStringList FriendlyNameLines(const QString& Text) {
    static const QRegularExpression LineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList Lines = Text.split(LineBreak);
    if (!Lines.isEmpty() && Lines.last().isEmpty()) {
        Lines.removeLast();
    }
    return Lines;
}

QString FriendlyNamesText(const QStringList& Lines) {
    QString Text;
    for (const QString& Line : Lines) {
        Text += Line + QStringLiteral("\r\n");
    }
    return Text;
}

TFriendlyNameRow SplitFriendlyNameLine(const QString& Line) {
    const qsizetype Tilde = Line.indexOf(u'~');
    if (Tilde < 0) {
        return {QString(), Line};
    }
    return {Line.left(Tilde), Line.mid(Tilde + 1)};
}

QString JoinFriendlyNameLine(const TFriendlyNameRow& Row) {
    return Row.Host + u'~' + Row.Name;
}

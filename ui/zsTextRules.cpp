#include "zsTextRules.h"

#include <QStringList>

namespace {

bool IsBlankOrControl(QChar C) {
    return C.unicode() <= 0x20 || C.category() == QChar::Other_Control;
}

bool IsControl(QChar C) {
    return C.category() == QChar::Other_Control;
}

} // namespace

QString TrimBlanks(const QString& Text) {
    qsizetype First = 0;
    qsizetype Last = Text.size();
    while (First < Last && IsBlankOrControl(Text[First])) {
        ++First;
    }
    while (Last > First && IsBlankOrControl(Text[Last - 1])) {
        --Last;
    }
    return Text.mid(First, Last - First);
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
        if (C == u'[' || C == u']' || C == u'=' || IsControl(C) || C == QChar::LineSeparator ||
            C == QChar::ParagraphSeparator) {
            return QStringLiteral(
                "A group name cannot contain [, ] or =, nor a line break or another control "
                "character.");
        }
    }
    static const QStringList Reserved = {QStringLiteral("COMMON"), QStringLiteral("GROUPS"),
                                         QStringLiteral("FRIENDLYNAMES")};
    for (const QString& Fixed : Reserved) {
        if (Name.compare(Fixed, Qt::CaseInsensitive) == 0) {
            return QStringLiteral("The name %1 is reserved. Please choose another group name.")
                .arg(Fixed);
        }
    }
    return {};
}

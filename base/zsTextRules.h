// Text rules shared by the dialogs and the configuration store: what counts as blank, which
// group names config.ini can hold, and the text form of the friendly names.
#pragma once

#include <QString>
#include <QStringList>

// Blanks are every Unicode space (U+0020, U+00A0, U+3000, ...) and every control character.
// The one rule for blank names: the new group dialog refuses what the store would drop.
bool IsBlankChar(QChar C);

// Removes leading and trailing blanks.
QString TrimBlanks(const QString& Text);

// True when the text is empty or holds nothing but blanks.
bool IsBlankText(const QString& Text);

// Replaces every control character (line breaks, tabs, …) by a blank: what a single-line entry
// may hold without breaking the line it is stored on.
QString WithoutControls(QString Text);

// Why a name cannot be stored as a group (its section in config.ini would break the file or
// share a fixed section), or an empty text when it can. Blank names are not judged here.
QString UnstorableGroupNameReason(const QString& Name);

// The friendly names as one text: lines of a host, "~" and a name, each line ending with CR LF.
// The store keeps the lines as they are; the friendly names dialog splits each into its row.
//
//   for (const QString& Line : FriendlyNameLines(Text)) Rows.append(SplitFriendlyNameLine(Line));
//   Text = FriendlyNamesText(Lines);

// The lines of a text, split at CR, LF or CR LF. A line break at the end closes the last line
// and starts no empty one; empty lines elsewhere are kept.
QStringList FriendlyNameLines(const QString& Text);
// Every line followed by CR LF.
QString FriendlyNamesText(const QStringList& Lines);

struct TFriendlyNameRow {
    QString Host;
    QString Name;
};
// Splits a line at its first "~"; a line without one is all name. Nothing is trimmed.
TFriendlyNameRow SplitFriendlyNameLine(const QString& Line);
QString JoinFriendlyNameLine(const TFriendlyNameRow& Row);

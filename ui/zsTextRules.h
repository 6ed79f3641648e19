// Text rules shared by the dialogs and the configuration store: trimming as the dialogs do it,
// and which group names config.ini can hold.
#pragma once

#include <QString>

// Removes leading and trailing blanks and control characters.
QString TrimBlanks(const QString& Text);

// Replaces every control character (line breaks, tabs, …) by a blank: what a single-line entry
// may hold without breaking the line it is stored on.
QString WithoutControls(QString Text);

// Why a name cannot be stored as a group (its section in config.ini would break the file or
// share a fixed section), or an empty text when it can. Blank names are not judged here.
QString UnstorableGroupNameReason(const QString& Name);

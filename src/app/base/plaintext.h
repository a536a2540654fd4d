#pragma once

// Names that come from another computer or from disk (computers, drives, shares, files,
// programs) are data, shown exactly as they are. Labels take them with Qt::PlainText and QML
// texts with Text.PlainText; these two cover the places that have no such switch. Any thread.

#include <QString>

// Qt shows a tooltip that looks like markup as rich text, pictures it names included (a name
// with an <img> would make this program fetch an address). The tooltip for `text`: rich text
// that shows it literally, blanks and line breaks kept; empty for an empty text.
QString plainToolTip(const QString &text);

// Menu entries, tabs and buttons read '&' as the mark of a shortcut key; `text` for them,
// every '&' shown as itself.
QString plainMenuText(const QString &text);

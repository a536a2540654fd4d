#pragma once

// The process-wide action objects of the application's commands ("filer.cut", ...), one per
// command id, shared by every file browser, the panes and the main window's menus: the ones
// the main window published, else made here on first use from the command table (text and
// shortcuts), published in turn, living as long as the application object. GUI thread only.

#include <QString>

class QAction;

namespace FilerActions {

// The one action of a command id; an id the table does not know gets a bare action that
// the window may give a text later. Never null once a QApplication exists.
QAction *action(const QString &id);

// Command ids of actions the window adds beside the table.
inline QString clearMarkedId() { return QStringLiteral("filer.clear-marked"); }
inline QString showNodeViewId() { return QStringLiteral("view.show-nodeview"); }

} // namespace FilerActions

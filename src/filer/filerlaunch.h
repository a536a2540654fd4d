#pragma once

// The desktop's side of a file browser on Linux: the properties sheet and "show in the file
// manager" through the file manager's D-Bus service (org.freedesktop.FileManager1,
// ShowItemProperties and ShowItems), "show" falling back to opening the parent folder with
// xdg-open when no file manager answers; and running a program named by a menu entry on the
// selected files. Programs themselves are chosen and started by the application launcher.
// GUI thread only; nothing here waits for the desktop.

#include <QString>
#include <QStringList>

class QObject;

#include <functional>

namespace filerlaunch {

// How programs are started detached (program, arguments) -> started. Tests put a recorder in
// place; the default is QProcess::startDetached.
using DetachedStarter = std::function<bool(const QString &program, const QStringList &arguments)>;
void setDetachedStarter(DetachedStarter starter);
bool startDetached(const QString &program, const QStringList &arguments);

// The D-Bus service and object asked first; tests point them at nothing to see the fallback.
void setFileManagerService(const QString &service);

// Shows the desktop's properties of a local file or folder; when no file manager shows them,
// `unanswered` runs later on `context`'s thread (not at all once `context` is gone).
void showProperties(const QString &localPath, QObject *context, const std::function<void()> &unanswered);
// Shows a local file or folder selected in the desktop's file manager.
void revealItem(const QString &localPath);

// Runs a menu entry's command on local files: a program given by an absolute path or found
// on PATH starts detached with the files as arguments. Anything else is refused (false).
bool runCommand(const QString &command, const QStringList &files);
// Asks the desktop (xdg-mime) whether some application is its default for the local file's
// type; `done` runs later on `context`'s thread, not at all once `context` is gone.
void askDefaultOpener(const QString &localPath, QObject *context, std::function<void(bool found)> done);
// Tests answer the question themselves (local path -> found); empty asks xdg-mime.
using OpenerQuery = std::function<bool(const QString &localPath)>;
void setDefaultOpenerQuery(OpenerQuery query);

} // namespace filerlaunch

#pragma once

// The icon a file of this computer shows for itself, in two halves: `loadFileIcon` reads the
// file on a pool thread (file reads and the MIME database only, no icon look-ups, which are
// not safe off the GUI thread) and says where its icon is; `fileIconFrom` turns that into an
// icon on the GUI thread.
//
// Where the icon comes from: a ".desktop" file shows the icon its entry names; a folder with
// a ".directory" file the icon that names; an executable or AppImage the desktop theme's icon
// named after the program ("firefox", "krita"), when the theme has one; every file its MIME
// type's theme icon.

#include <QIcon>
#include <QMetaType>
#include <QString>
#include <QStringList>

struct VfsFileIconSource
{
    QString file;           // an icon file the entry names (an absolute path)
    QStringList themeNames; // names of the desktop theme's icons, the first one present wins
    bool ownIcon = false;   // the file names its icon itself: never shared by its suffix
};
Q_DECLARE_METATYPE(VfsFileIconSource)

VfsFileIconSource loadFileIcon(const QString &path);

// GUI thread. Null when nothing of the source exists.
QIcon fileIconFrom(const VfsFileIconSource &source);

// Whether a name's icon is its own rather than its suffix's: folders, names without a
// suffix (most programs), ".desktop" files and AppImages.
bool hasOwnIcon(const QString &name, bool directory);

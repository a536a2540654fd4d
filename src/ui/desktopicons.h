#pragma once

// The desktop's icons on Linux, in one place: file-type icons from the MIME database and
// the freedesktop icon theme, application icons named by .desktop files, and the shell's
// picture of a path (a cached freedesktop thumbnail, else the type icon).
//
// Thread-safe: everything here works on QImage and QIcon look-ups and keeps no state of its
// own, so the image pipeline's pool threads may call shellItemImage.

#include <QIcon>
#include <QImage>
#include <QSize>
#include <QString>

namespace desktopicons {

// Makes the icon theme usable where the desktop names none (bare X servers, tests): the
// installed "Adwaita" theme is consulted after the desktop's own. Call once, GUI thread.
void setupIconTheme();

// The MIME type name for a file name (by its name only; the file need not exist).
QString mimeTypeForFileName(const QString &fileName);

// The desktop theme's icon of a MIME type (its own icon, then its generic one); null when
// the theme has neither.
QIcon themeIconForMimeType(const QString &mimeType);

// The program's own icon resource (a name under ":/icons/") that stands in for a MIME type
// when the theme has no icon for it: "folder.svg" for folders, "file-image.svg" for images,
// and so on; "file.svg" for everything else.
QString fallbackIconResource(const QString &mimeType);

// The icon of an application from the location its .desktop file names (an icon name of
// the theme or an absolute file path, percent-encoded or not); the theme's
// "application-x-executable" when there is none.
QIcon applicationIcon(const QString &location);

enum ShellImageFlag { IconOnly = 1, ThumbnailOnly = 2 };

// The desktop's picture of a local path at up to `size`: with ThumbnailOnly a cached
// freedesktop thumbnail that is up to date with the file (else a null image); with
// IconOnly the type icon; with neither, the thumbnail when there is one, else the icon.
QImage shellItemImage(const QString &path, const QSize &size, int flags);

} // namespace desktopicons

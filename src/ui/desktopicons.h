#pragma once

// The desktop's icons on Linux, in one place: file-type icons from the MIME database and
// the freedesktop icon theme, and application icons named by .desktop files. GUI thread.

#include <QIcon>
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

} // namespace desktopicons

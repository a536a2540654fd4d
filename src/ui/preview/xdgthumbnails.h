#pragma once

// The desktop's own thumbnails: the freedesktop thumbnail cache under
// $XDG_CACHE_HOME/thumbnails/{normal,large,x-large,xx-large}, each file named by the MD5 of
// the file's URI. A thumbnail is only taken when its "Thumb::MTime" equals the file's
// modification time (and its "Thumb::URI", when present, names the file): an outdated one
// would show the file as it was.

#include <QImage>
#include <QString>

// The cached thumbnail of a local file from the first folder whose size reaches `edge`;
// null when none is current.
QImage loadDesktopThumbnail(const QString &path, int edge);

// Where the thumbnail of `path` in the folder of that size ("normal", "large", ...) lives.
QString desktopThumbnailPath(const QString &path, const QString &sizeFolder);

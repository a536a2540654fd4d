#pragma once

// Icons of the drive and file models come from the application's theme images, which live
// above this library. The window installs a loader at start-up; until then (and in tests)
// every look-up answers a null pixmap and the models fall back to the desktop theme.

#include <QPixmap>
#include <QSize>
#include <QString>

#include <functional>

using VfsThemePixmapLoader = std::function<QPixmap(const QString &id, const QSize &size)>;

// Install once, on the GUI thread, before any model asks.
void setVfsThemePixmapLoader(VfsThemePixmapLoader loader);

// The theme image of an id such as "icon/drive-disk.svg" at a size; null when no loader is
// installed or the id is unknown.
QPixmap vfsThemePixmap(const QString &id, const QSize &size);

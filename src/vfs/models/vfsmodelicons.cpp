#include "vfs/models/vfsmodelicons.h"

namespace {
VfsThemePixmapLoader &loaderSlot()
{
    static VfsThemePixmapLoader loader;
    return loader;
}
}

void setVfsThemePixmapLoader(VfsThemePixmapLoader loader)
{
    loaderSlot() = std::move(loader);
}

QPixmap vfsThemePixmap(const QString &id, const QSize &size)
{
    const VfsThemePixmapLoader &loader = loaderSlot();
    if (!loader)
        return QPixmap();
    return loader(id, size);
}

#include "vfs/models/vfsmodelicons.h"

#include "app/base/log.h"
#include "vfs/models/vfsmodel.h"

#include <QSet>
#include <QMimeDatabase>
#include <QMutex>
#include <QPainter>
#include <QTimer>

namespace {

VfsThemePixmapLoader &loaderSlot()
{
    static VfsThemePixmapLoader loader;
    return loader;
}

QMutex g_thumbnailMutex;
VfsThumbnailLoader &thumbnailSlot()
{
    static VfsThumbnailLoader loader;
    return loader;
}

VfsThumbnailLoader thumbnailLoader()
{
    QMutexLocker lock(&g_thumbnailMutex);
    return thumbnailSlot();
}

QString suffixOf(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return QString();
    return name.mid(dot + 1).toLower();
}

// Small pictures go into the row's icon as squares, so thumbnails line up in every view.
QPixmap squared(const QImage &image)
{
    if (image.width() == image.height())
        return QPixmap::fromImage(image);
    const int side = std::max(image.width(), image.height());
    QImage canvas(side, side, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.drawImage((side - image.width()) / 2, (side - image.height()) / 2, image);
    painter.end();
    return QPixmap::fromImage(canvas);
}

} // namespace

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

void setVfsThumbnailLoader(VfsThumbnailLoader loader)
{
    QMutexLocker lock(&g_thumbnailMutex);
    thumbnailSlot() = std::move(loader);
}

QIcon vfsMimeIconForName(const QString &fileName)
{
    static const QMimeDatabase mimes;
    const QMimeType mime = mimes.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    if (!mime.isValid() || mime.isDefault())
        return QIcon();
    QIcon icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
    if (!icon.isNull())
        return icon;
    const QPixmap pixmap = vfsThemePixmap(QStringLiteral("mime/") + mime.name(), QSize(256, 256));
    if (!pixmap.isNull())
        icon.addPixmap(pixmap);
    return icon;
}

// --- VfsModelPreviews --------------------------------------------------------------------

VfsModelPreviews *VfsModelPreviews::attach(VfsModel *model)
{
    if (!model)
        return nullptr;
    if (auto *existing = model->findChild<VfsModelPreviews *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new VfsModelPreviews(model);
}

const std::vector<QSize> &VfsModelPreviews::thumbnailBounds()
{
    static const std::vector<QSize> bounds = {{20, 20}, {24, 24}, {32, 32}, {48, 48}, {256, 256}};
    return bounds;
}

VfsModelPreviews::VfsModelPreviews(VfsModel *model)
    : QObject(model), m_model(model)
{
    connect(model, &VfsModel::noPreviewCached, this, &VfsModelPreviews::onNoPreviewCached);
    connect(model, &QAbstractItemModel::rowsInserted, this, &VfsModelPreviews::onRowsInserted);
    connect(model, &QAbstractItemModel::dataChanged, this, &VfsModelPreviews::onDataChanged);
    connect(&m_watcher, &QFutureWatcher<VfsThumbnailResult>::finished, this,
            &VfsModelPreviews::onPreviewFutureFinished);
}

VfsEntry *VfsModelPreviews::entryAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != m_model)
        return nullptr;
    return static_cast<VfsEntry *>(index.internalPointer());
}

void VfsModelPreviews::schedule(int ms)
{
    if (m_timerArmed)
        return;
    m_timerArmed = true;
    QTimer::singleShot(ms, this, [this] {
        m_timerArmed = false;
        onPreviewTimerFired();
    });
}

void VfsModelPreviews::onNoPreviewCached(const QModelIndex &index)
{
    // The model's own handler may run before or after this one (it connects when its peer is
    // set): a previewable entry is queued either way.
    VfsEntry *entry = entryAt(index);
    if (!entry || !entry->parent || (entry->previewState != 1 && entry->previewState != 2)
        || m_model->hasCachedPreview(entry) || !thumbnailLoader())
        return;
    entry->previewState = 2;
    const QPersistentModelIndex key(index.siblingAtColumn(0));
    for (const QPersistentModelIndex &queued : m_queue) {
        if (queued == key)
            return;
    }
    m_queue.push_back(key);
    schedule(10);
}

void VfsModelPreviews::onPreviewTimerFired()
{
    if (m_loading || m_watcher.isRunning())
        return;
    while (!m_queue.empty()) {
        const QPersistentModelIndex index = m_queue.front();
        m_queue.pop_front();
        VfsEntry *entry = entryAt(index);
        // Rows that went are invalid; entries of folders no view shows wait to be asked again.
        if (!entry || !entry->parent)
            continue;
        if (entry->parent->useCount == 0) {
            if (entry->previewState == 2)
                entry->previewState = 1;
            continue;
        }
        if (entry->previewState != 2)
            continue;
        const VfsThumbnailLoader loader = thumbnailLoader();
        if (!loader)
            return;
        VfsThumbnailRequest request;
        request.peerUuid = m_model->peer() ? m_model->peer()->uuid() : QString();
        request.path = m_model->fullPath(entry);
        request.bounds = thumbnailBounds();
        request.mtime = entry->mtime.isValid() ? entry->mtime.toMSecsSinceEpoch() : 0;
        entry->previewState = 3;
        m_loading = true;
        m_current = index;
        m_currentPath = request.path;
        m_watcher.setFuture(loader(request));
        return;
    }
}

void VfsModelPreviews::onPreviewFutureFinished()
{
    m_loading = false;
    const QPersistentModelIndex index = m_current;
    m_current = QPersistentModelIndex();
    const VfsThumbnailResult result = m_watcher.future().resultCount() > 0 ? m_watcher.result()
                                                                          : VfsThumbnailResult();
    VfsEntry *entry = entryAt(index);
    // The row may have gone, or become another file, while the load ran.
    if (entry && entry->parent && entry->previewState == 3 && m_model->fullPath(entry) == m_currentPath) {
        if (result.images.empty()) {
            // Stays at "loading" so views don't ask again and again; a change of the file
            // makes it previewable again.
            logPrintf(LogVfs1, "no preview: %s", qUtf8Printable(m_currentPath));
        } else {
            store(entry, index, result);
        }
    }
    if (!m_queue.empty())
        schedule(0);
}

void VfsModelPreviews::store(VfsEntry *entry, const QModelIndex &index, const VfsThumbnailResult &result)
{
    entry->previewState = 1;
    QVector<int> roles{Qt::DecorationRole};
    // A fresh icon: pictures of an earlier state of the file must not linger in it.
    QIcon thumbnail;
    for (const QImage &image : result.images) {
        if (!image.isNull() && image.width() <= 64 && image.height() <= 64)
            thumbnail.addPixmap(squared(image));
    }
    entry->thumbnail = thumbnail;
    size_t chosen = 0;
    for (size_t i = 1; i < result.images.size(); ++i) {
        const QImage &c = result.images[chosen];
        const QImage &n = result.images[i];
        if (result.width > 0 && result.height > 0 && n.width() > c.width() && n.height() > c.height()
            && c.width() < result.width && c.height() < result.height)
            chosen = i;
    }
    const QImage &image = result.images[chosen];
    m_model->storePreview(entry, image);
    if (!m_model->hasCachedPreview(entry))
        logPrintf(LogVfs1, "failed to cache preview image: %lld bytes %s",
                  static_cast<long long>(image.sizeInBytes()), qUtf8Printable(entry->name));
    if (image.width() != entry->previewWidth || image.height() != entry->previewHeight) {
        entry->previewWidth = image.width();
        entry->previewHeight = image.height();
        roles << Qt::SizeHintRole;
    }
    const QModelIndex column0 = index.siblingAtColumn(0);
    Q_EMIT m_model->dataChanged(column0, column0, roles);
    Q_EMIT m_model->layoutAboutToBeChanged();
    Q_EMIT m_model->layoutChanged();
}

void VfsModelPreviews::onRowsInserted(const QModelIndex &parent, int first, int last)
{
    QMap<QString, QIcon> &icons = VfsModel::iconCache();
    const qint64 generic = icons.value(QStringLiteral("x-file")).cacheKey();
    // A suffix without an icon is asked once: the MIME look-up matches every glob
    // pattern of the database, which a folder of 100,000 such files felt for seconds.
    static QSet<QString> withoutIcon;
    // Neighbouring rows mostly share a suffix: its answer serves them without a look-up.
    QString lastSuffix;
    QIcon lastIcon;
    int changedFirst = -1, changedLast = -1;
    for (int row = first; row <= last; ++row) {
        VfsEntry *entry = entryAt(m_model->index(row, 0, parent));
        if (!entry || entry->type != VfsModel::FileType || entry->icon.cacheKey() != generic)
            continue;
        const QString suffix = suffixOf(entry->name);
        if (suffix.isEmpty())
            continue;
        if (suffix != lastSuffix || lastSuffix.isEmpty()) {
            lastSuffix = suffix;
            lastIcon = QIcon();
            auto it = icons.constFind(suffix);
            if (it == icons.constEnd() && withoutIcon.contains(suffix))
                continue;
            lastIcon = it != icons.constEnd() ? it.value() : vfsMimeIconForName(entry->name);
            if (lastIcon.isNull()) {
                withoutIcon.insert(suffix);
                continue;
            }
            if (it == icons.constEnd())
                icons.insert(suffix, lastIcon);
        } else if (lastIcon.isNull()) {
            continue;
        }
        entry->icon = lastIcon;
        changedFirst = changedFirst < 0 ? row : changedFirst;
        changedLast = row;
    }
    if (changedFirst >= 0)
        Q_EMIT m_model->dataChanged(m_model->index(changedFirst, 0, parent),
                                    m_model->index(changedLast, 0, parent), {Qt::DecorationRole});
}

void VfsModelPreviews::onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                     const QVector<int> &roles)
{
    if (!roles.contains(VfsModel::MTimeRole) || !topLeft.isValid())
        return;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const QModelIndex index = m_model->index(row, 0, topLeft.parent());
        VfsEntry *entry = entryAt(index);
        if (!entry || entry->previewState == 0)
            continue;
        // The file changed: its old thumbnail goes, and a failed load may be tried again.
        entry->thumbnail = QIcon();
        if (entry->previewState == 3 && !(m_loading && QModelIndex(m_current) == index))
            entry->previewState = 1;
        if (entry->previewState == 1 && !m_model->hasCachedPreview(entry))
            Q_EMIT m_model->noPreviewCached(index);
    }
}

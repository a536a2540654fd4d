#pragma once

// Icons and thumbnails of the file model. Both come from layers above this library (the
// window's theme images and its image pipeline), so the window installs two hooks at start-up;
// until then (and in tests that install none) the models fall back to the desktop theme and
// show no thumbnails.
//
// VfsModelPreviews drives one model's thumbnails: it answers the model's `noPreviewCached`,
// loads one file at a time through the installed loader (on a pool) and hands the pictures
// back to the model on the GUI thread. It also gives new rows their file type's icon, once per
// suffix for the whole process.

#include <QFuture>
#include <QFutureWatcher>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPersistentModelIndex>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <deque>
#include <functional>
#include <vector>

class VfsModel;
struct VfsEntry;

using VfsThemePixmapLoader = std::function<QPixmap(const QString &id, const QSize &size)>;

// Install once, on the GUI thread, before any model asks.
void setVfsThemePixmapLoader(VfsThemePixmapLoader loader);

// The theme image of an id such as "icon/drive-disk.svg" at a size; null when no loader is
// installed or the id is unknown.
QPixmap vfsThemePixmap(const QString &id, const QSize &size);

struct VfsThumbnailRequest
{
    QString peerUuid;
    QString path;
    std::vector<QSize> bounds;
    qint64 mtime = 0; // ms since the epoch
};

struct VfsThumbnailResult
{
    QString path;
    int width = -1;   // the source picture's size, -1 when unknown
    int height = -1;
    std::vector<QImage> images;
};

// Starts one load on a worker and returns its future at once.
using VfsThumbnailLoader = std::function<QFuture<VfsThumbnailResult>(const VfsThumbnailRequest &)>;
void setVfsThumbnailLoader(VfsThumbnailLoader loader);

// The icon of a file type by name suffix (the theme's MIME icon); null when the theme has none.
QIcon vfsMimeIconForName(const QString &fileName);

class VfsModelPreviews : public QObject
{
    Q_OBJECT
public:
    // The model's own helper, made on the first call and owned by the model.
    static VfsModelPreviews *attach(VfsModel *model);

    static const std::vector<QSize> &thumbnailBounds();

    bool isLoading() const { return m_loading; }
    int queuedCount() const { return int(m_queue.size()); }

private Q_SLOTS:
    void onNoPreviewCached(const QModelIndex &index);
    void onPreviewTimerFired();
    void onPreviewFutureFinished();
    void onRowsInserted(const QModelIndex &parent, int first, int last);
    void onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles);

private:
    explicit VfsModelPreviews(VfsModel *model);
    VfsEntry *entryAt(const QModelIndex &index) const;
    void schedule(int ms);
    void store(VfsEntry *entry, const QModelIndex &index, const VfsThumbnailResult &result);

    VfsModel *m_model;
    std::deque<QPersistentModelIndex> m_queue;
    QPersistentModelIndex m_current;
    QString m_currentPath;
    bool m_loading = false;
    bool m_timerArmed = false;
    QFutureWatcher<VfsThumbnailResult> m_watcher;
};

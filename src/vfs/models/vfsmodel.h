#pragma once

// The item model of one peer's file system, one per peer, on the GUI thread.
//
// The model is lazy: a tree of VfsEntry nodes grows as views ask for rows. Each folder is
// filled from one FSO listing of the peer (the client on "ioThread" reports back through
// queued signals); a finished listing is merged into the existing rows in batches, one per
// firing of the check timer, so that big folders never block the event loop: kMergeBatch
// records at first, then as many as the folder already holds, at most kMaxMergeBatch. Views
// lay out all of a folder's rows again after each batch, so batches that grow with the folder
// keep that work in proportion to the rows rather than to their square. Rows are never sorted or moved: they keep the order of their first
// listing, change in place, vanish in the sweep after a complete listing, and new ones are
// appended. Top-level rows are the shares row, the peer's drives (mirrored from its
// VfsDriveModel, added and removed in step with it) and network host rows.

#include "peers/ipeer.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/models/vfsfileicon.h"

#include <QAbstractItemModel>
#include <QCache>
#include <QDateTime>
#include <QFutureWatcher>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <list>
#include <functional>
#include <memory>
#include <vector>

class VfsDriveModel;

struct VfsModelListJob;
struct VfsModelDrivesJob;

// One node of the tree; owned by its parent's `children` (the root by the model).
struct VfsEntry
{
    VfsEntry *parent = nullptr;
    std::vector<VfsEntry *> children;
    bool expanded = false;
    bool fetched = false;     // a listing of this folder completed at least once
    bool hidden = false;
    int fetching = 0;         // nonzero while a listing of this folder is out
    bool changedWhileListed = false; // a change was told while a listing was out
    QDateTime fetchTime;      // when the last listing completed
    QString name;             // as shown; for drive rows the drive's display name
    QString path;             // top-level rows only: drive path or "%shares"
    int type = 0;             // VfsModel::VfsEntryType, effective
    quint32 stamp = 0;       // listing pass in which the entry was last seen
    quint64 size = 0;
    quint64 childSize = 0;
    QIcon icon;
    int previewWidth = -1;
    int previewHeight = -1;
    int previewState = 0;     // 0 none possible, 1 previewable, 2 queued, 3 loading
    QIcon thumbnail;
    QString mime;
    QDateTime atime, ctime, mtime; // UTC

    QString linkTarget;
    int origType = 0;         // VfsModel::VfsEntryType as listed
    int useCount = 0;         // retainPath calls not yet matched by releasePath
    int flags = 0;            // VfsModel::EntryFlags
    quint32 info = 0;         // VfsModel::InfoFlags
    quint64 fileId = 0;
    quint32 linkCount = 0;
    quint64 driveTag = 0;
    QString sizeString;       // made from `size` when first shown while sizeStringDue
    bool sizeStringDue = false;
    QString mtimeString;      // made when first shown

    // Bookkeeping of the model.
    VfsModelListJob *listJob = nullptr; // the listing out for this folder, if any
    bool pooled = false;
    bool iconQueued = false;
    std::list<VfsEntry *>::iterator iconSlot; // in the icon queue, while queued

    void reset();
};

// A single-shot timer the model arms and tests can drive by hand.
class VfsModelTimer : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    virtual int interval() const = 0;
Q_SIGNALS:
    void timeout();
};

using VfsModelTimerFactory = std::function<VfsModelTimer *(QObject *parent)>;

class VfsModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum VfsEntryType { NoType = 0, DriveType, DirectoryType, FileType, SymlinkType, ShareType };
    Q_ENUM(VfsEntryType)

    enum EntryFlags { CopyMarkFlag = 1, DropTargetFlag = 2 };
    Q_ENUM(EntryFlags)

    enum InfoFlags : quint32 {
        ReadUser = 0x4000, WriteUser = 0x2000, ExecUser = 0x1000,
        ReadOwner = 0x400, WriteOwner = 0x200, ExecOwner = 0x100,
        ReadGroup = 0x40, WriteGroup = 0x20, ExecGroup = 0x10,
        ReadOther = 4, WriteOther = 2, ExecOther = 1,
    };
    Q_ENUM(InfoFlags)

    enum Columns {
        NameColumn = 0, AccessColumn, TypeColumn, PathColumn, SizeColumn, ATimeColumn,
        CTimeColumn, MTimeStringColumn, MTimeColumn, MimeColumn, FlagsColumn, RefColumn,
        HiddenColumn, InfoColumn, ColumnCount
    };
    Q_ENUM(Columns)

    enum Roles {
        NameRole = Qt::UserRole + 1, // 257
        AccessRole, PathRole, PathListRole, DisplayPathListRole, SizeRole, SizeStringRole,
        TypeStringRole, TypeRole, OrigTypeRole, ATimeRole, CTimeRole, MTimeStringRole,
        MTimeRole, IconRole, MimeRole, HiddenRole, FlagsRole, PreviewRole, InfoRole,
        ChildSizeRole, IdRole // 278
    };
    Q_ENUM(Roles)

    // The job status the model gives a finished listing while it merges it.
    static constexpr quint32 JobMerging = 5;
    static constexpr int kMergeBatch = 300;
    static constexpr int kMaxMergeBatch = 20000;

    explicit VfsModel(QObject *parent = nullptr);
    ~VfsModel() override;

    // Before setPeer: how timers are made and what "now" is (ms since the epoch).
    void setTimerFactory(VfsModelTimerFactory factory);
    void setClock(std::function<qint64()> clock);

    // Binds the model to its peer; only the first call counts.
    void setPeer(IPeer *peer);
    IPeer *peer() const;
    // The client's listing, drive and change signals to this model, queued.
    void connectClient(VfsClient *client);

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    Q_INVOKABLE bool canFetchMore(const QModelIndex &parent) const override;
    Q_INVOKABLE void fetchMore(const QModelIndex &parent) override;

    // Paths
    QChar pathSeparator() const;
    static QString normalizePath(const QString &path, QChar separator);
    Q_INVOKABLE QModelIndex indexForPath(const QString &path) const;
    VfsEntry *findEntry(const QString &path) const;
    QString fullPath(const VfsEntry *entry) const;
    QStringList pathList(const VfsEntry *entry, bool linkTargets) const;
    QModelIndex indexOf(const VfsEntry *entry, int column = 0) const;
    QString resolvePath(const QString &path, bool watch);
    QString cachedResolvePath(const QString &path);
    QString resolvingPath() const { return m_resolve.target; }

    Q_INVOKABLE void expanded(const QModelIndex &index);
    Q_INVOKABLE void collapsed(const QModelIndex &index);
    VfsEntry *retainPath(const QString &path);
    VfsEntry *releasePath(const QString &path);
    void watchEntry(const QString &path, quint64 fileId);
    void unwatchEntry(const QString &path, quint64 fileId);

    // Introspection for the browser and for tests.
    const VfsEntry *rootEntry() const { return &m_root; }
    int pendingListingCount() const { return static_cast<int>(m_pending.size()); }
    int pooledEntryCount() const { return static_cast<int>(m_pool.size()); }
    quint32 listingPass() const { return m_pass; }
    VfsModelTimer *checkTimer() const { return m_checkTimer; }
    VfsModelTimer *resolveTimer() const { return m_resolveTimer; }
    bool hasCachedPreview(const VfsEntry *entry) const;
    bool isIconQueued(const VfsEntry *entry) const { return entry->iconQueued; }
    int queuedIconCount() const { return static_cast<int>(m_iconQueue.size()); }
    VfsModelTimer *iconTimer() const { return m_iconTimer; }
    // Stores a loaded preview for an entry (the preview loader's hand-back).
    void storePreview(VfsEntry *entry, const QImage &image);
    static QMap<QString, QIcon> &iconCache();
    static quint64 driveTagFor(const QString &path);

public Q_SLOTS:
    void onListDirectoryUpdate(VfsListDirectoryJob *job);
    void onListDrivesJobUpdate(VfsListDrivesJob *job);
    void onDirectoryChanged(const QString &path);
    void onCheckTimerFired();
    void onResolvePathTimerFired();
    void onPeerLinkStateChanged();
    void onUpdatedDrives();
    void requestPreview(const QModelIndex &index);
    // Local files' own icons, one file at a time on the pool.
    void processIconQueue();
    void onIconFutureFinished();

Q_SIGNALS:
    void pathResolved(int status, QString path);
    void renameRequest(QModelIndex index, QString name);
    void foundWatchItem(QString path, qulonglong fileId, QString watchPath);
    void noPreviewCached(QModelIndex index);
    // The peer's access rules for this computer changed; listings may be out of date.
    void accessChanged();

private:
    struct ResolveState
    {
        QString target;
        bool watch = false;
        qint64 startMs = 0;
        QString listedFor;   // the folder on the way listed for this target

        QStringList watchQueue;
        QStringList plainQueue;
    };

    VfsEntry *entryOf(const QModelIndex &index) const;
    int rowOf(const VfsEntry *entry) const;
    int linkState() const;
    VfsClient *client() const;
    qint64 now() const { return m_clock(); }
    bool isTopLevel(const VfsEntry *entry) const { return entry->parent == &m_root; }
    QString component(const VfsEntry *entry, bool linkTargets) const;
    static QString joinPath(const QString &parentPath, const QString &component, QChar separator);
    VfsEntry *findIn(const VfsEntry *parent, const QString &parentPath, const QString &path,
                     QChar separator) const;
    VfsEntry *topLevelRowFor(const QString &path) const;
    QVariant foregroundFor(const VfsEntry *entry, int column) const;

    bool startDriveListing(bool honourInterval);
    void startListing(VfsEntry *entry);
    void finishListing(VfsModelListJob *job);
    void mergeBatch(VfsModelListJob *job, int &budget);
    void withdrawListing(VfsEntry *entry);
    void recycleJob(VfsModelListJob *job);
    VfsEntry *newEntry();
    void recycle(VfsEntry *entry);
    void removeChildren(VfsEntry *entry);
    void applyTypeAndIcon(VfsEntry *entry, const VfsDirectoryEntry &record);
    void queueIcon(VfsEntry *entry);
    void dropQueuedIcon(VfsEntry *entry);
    QString mtimeText(const QDateTime &mtime) const;
    const QString &mtimeStringOf(VfsEntry *entry) const;
    const QString &sizeStringOf(VfsEntry *entry) const;
    static void markSizeStringDue(VfsEntry *entry);
    void resolveNextPath();
    void clearResolveTarget();

    QPointer<IPeer> m_peer;
    QPointer<VfsDriveModel> m_driveModel;
    bool m_peerSet = false;
    VfsEntry m_root;
    QStringList m_columnTitles;
    QChar m_separator;
    quint32 m_pass = 0;
    std::vector<VfsModelListJob *> m_pending;
    std::vector<VfsModelListJob *> m_freeJobs;
    VfsModelDrivesJob *m_drivesJob = nullptr;
    qint64 m_drivesListedMs = -1; // when the last drive listing started
    qint64 m_drivesAnsweredMs = -1; // when the peer last answered one
    VfsModelTimer *m_checkTimer = nullptr;
    VfsModelTimer *m_resolveTimer = nullptr;
    ResolveState m_resolve;
    QString m_dateFormat;
    QString m_timeFormat;
    std::vector<VfsEntry *> m_pool;
    QHash<quint64, QString> m_watches;
    std::list<VfsEntry *> m_iconQueue; // a list, so that recycling leaves it in O(1)
    VfsModelTimer *m_iconTimer = nullptr;
    bool m_iconLoading = false;
    VfsEntry *m_iconEntry = nullptr; // the entry whose icon is loading; null when it went
    QFutureWatcher<VfsFileIconSource> *m_iconWatcher = nullptr;
    QCache<const VfsEntry *, QImage> m_previews;
    VfsModelTimerFactory m_timerFactory;
    std::function<qint64()> m_clock;
    // The icon and MIME type of the last file suffix a listing met.
    struct LastFileType
    {
        bool valid = false;
        QString suffix;
        int cacheSize = 0;
        QIcon icon;
        QString mime;
        bool shared = false; // the icon came from the table of suffixes
        bool iconless = false; // a file of the suffix was read and showed no icon
        int iconlessCount = 0;
    } m_lastType;
    // Suffixes a file of which was read for its icon and had none: their other files keep
    // the shared file icon without being read, as a found icon serves the whole suffix.
    QSet<QString> m_iconlessSuffixes;
};

Q_DECLARE_METATYPE(VfsModel *)

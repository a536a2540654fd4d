#include "vfs/models/vfsmodel.h"

#include "app/base/datasize.h"
#include "app/base/log.h"
#include "app/base/plaintext.h"
#include "db/dto.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodelicons.h"
#include "vfs/models/vfsrowindex.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QMutexLocker>
#include <QPalette>
#include <QSet>
#include <QSize>
#include <QTimer>

#include <algorithm>

// --- jobs owned by the model -------------------------------------------------------------

struct VfsModelListJob : VfsListDirectoryJob
{
    VfsEntry *entry = nullptr; // the folder being listed
    quint32 pass = 0;         // listing pass that stamps the rows it sees
    size_t cursor = 0;         // next record to merge
    quint64 sizeSum = 0;
    // Rows of the folder by name and link target, built when the merge starts, so that a
    // big folder merges in linear time.
    VfsRowIndex rowIndex;
    bool indexed = false;
};

struct VfsModelDrivesJob : VfsListDrivesJob
{
    bool busy = false;
};

namespace {

constexpr quint32 kExecUser = VfsModel::ExecUser;
constexpr quint32 kWriteUser = VfsModel::WriteUser;
constexpr qint64 kDriveListingInterval = 20000;
constexpr qint64 kRelistInterval = 4000;
constexpr qint64 kResolveTimeout = 10000;
constexpr qint64 kResolveDriveRetry = 30000;
constexpr size_t kPoolLimit = 16384;

// Listing record types as the client delivers them.
constexpr quint8 kRecordFile = 1;
constexpr quint8 kRecordDirectory = 2;
constexpr quint8 kRecordSymlink = 3;
constexpr quint8 kRecordShare = 8;

const char *const kPreviewExtensions[] = {
    ".jpg", ".jpeg", ".png", ".svg", ".bmp", ".ico", ".gif", ".pbm", ".ARW", ".CR2", ".NEF",
    ".NRW", ".RAW", ".RW2", ".DNG", ".ai", ".eps", ".ps", ".psd", ".psb", ".webp", ".icns",
    ".xcf", ".kra", ".ora",
};

char lowerAscii(ushort c)
{
    return char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// Whether the name holds one of the preview extensions anywhere, in any letter case. Every
// extension starts with a dot, so only the places after a dot need a look: a big folder
// makes this test once per row, and most names have one dot or none. The extensions are
// short ASCII words: the few letters after a dot are lowered once and compared bytewise.
bool isPreviewable(const QString &name)
{
    constexpr int kLongest = 4; // letters of the longest extension
    const QChar *chars = name.constData();
    const int size = name.size();
    for (int dot = name.indexOf(QLatin1Char('.')); dot >= 0; dot = name.indexOf(QLatin1Char('.'), dot + 1)) {
        char lowered[kLongest];
        int have = 0;
        for (int i = dot + 1; i < size && have < kLongest && chars[i].unicode() < 0x80; ++i)
            lowered[have++] = lowerAscii(chars[i].unicode());
        for (const char *ext : kPreviewExtensions) {
            const char *letters = ext + 1;
            int i = 0;
            while (letters[i] != 0 && i < have && lowered[i] == lowerAscii(ushort(letters[i])))
                ++i;
            if (letters[i] == 0)
                return true;
        }
    }
    return false;
}

// Text after the last dot; none for a name whose only dot leads or a name ending in a dot.
QStringView suffixViewOf(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return QStringView();
    return QStringView(name).mid(dot + 1);
}

QString suffixOf(const QString &name)
{
    return suffixViewOf(name).toString();
}

int origTypeOf(const VfsDirectoryEntry &record)
{
    switch (record.type) {
    case kRecordDirectory: return VfsModel::DirectoryType;
    case kRecordSymlink: return VfsModel::SymlinkType;
    case kRecordShare: return VfsModel::ShareType;
    default: return VfsModel::FileType;
    }
}

// Times are kept in UTC: the same instants as local times, but without a time-zone look-up
// per entry, which costs more than the rest of the merge on big folders. Local time is only
// worked out for the text of the modification column, when a view first asks for it.
QDateTime timeFromMs(qint64 ms)
{
    return ms != 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC) : QDateTime();
}

QString sizeText(quint64 size)
{
    return formatDataSize(size, 1);
}

QString typeText(int type)
{
    switch (type) {
    case VfsModel::NoType: return QStringLiteral("NoType");
    case VfsModel::DriveType: return QStringLiteral("Drive");
    case VfsModel::DirectoryType: return QStringLiteral("Directory");
    case VfsModel::FileType: return QStringLiteral("File");
    default: return QString();
    }
}

bool isFolderType(int type)
{
    return type == VfsModel::DriveType || type == VfsModel::DirectoryType;
}

bool hasDriveLetter(const QString &path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':');
}

QIcon sharedIcon(const QString &key)
{
    QMap<QString, QIcon> &cache = VfsModel::iconCache();
    auto it = cache.constFind(key);
    if (it != cache.constEnd())
        return it.value();
    QIcon icon;
    if (key == QLatin1String("x-directory")) {
        icon = QIcon::fromTheme(QStringLiteral("folder"));
    } else if (key == QLatin1String("x-file")) {
        icon = QIcon::fromTheme(QStringLiteral("text-x-generic"));
    } else if (key == QLatin1String("read-only")) {
        const QPixmap pixmap = vfsThemePixmap(QStringLiteral("icon/read-only.svg"), QSize(16, 16));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    } else {
        return QIcon();
    }
    cache.insert(key, icon);
    return icon;
}

class QtModelTimer : public VfsModelTimer
{
public:
    explicit QtModelTimer(QObject *parent)
        : VfsModelTimer(parent)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &VfsModelTimer::timeout);
    }
    void start(int ms) override { m_timer.start(ms); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    int interval() const override { return m_timer.interval(); }

private:
    QTimer m_timer;
};

} // namespace

// --- VfsEntry ----------------------------------------------------------------------------

void VfsEntry::reset()
{
    *this = VfsEntry();
}

// --- construction and binding ------------------------------------------------------------

VfsModel::VfsModel(QObject *parent)
    : QAbstractItemModel(parent)
    , m_previews(400000000)
    , m_timerFactory([](QObject *p) -> VfsModelTimer * { return new QtModelTimer(p); })
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    qRegisterMetaType<VfsListDirectoryJob *>();
    qRegisterMetaType<VfsListDrivesJob *>();

    // Widen the narrow formats so that columns of dates and times line up.
    QString date = QLocale().dateFormat(QLocale::NarrowFormat);
    if (date.endsWith(QLatin1String("yy")) && !date.endsWith(QLatin1String("yyyy")))
        date.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    if (date.contains(QLatin1Char('M')) && !date.contains(QLatin1String("MM")))
        date.replace(QLatin1String("M"), QLatin1String("MM"));
    if (date.contains(QLatin1Char('d')) && !date.contains(QLatin1String("dd")))
        date.replace(QLatin1String("d"), QLatin1String("dd"));
    QString time = QLocale().timeFormat(QLocale::ShortFormat);
    if (time.contains(QLatin1Char('h')) && !time.contains(QLatin1String("hh")))
        time.replace(QLatin1String("h"), QLatin1String("hh"));
    m_dateFormat = date;
    m_timeFormat = time;
}

VfsModel::~VfsModel()
{
    // Withdraw what the client still holds before the records go away.
    for (VfsModelListJob *job : m_pending) {
        if (job->release)
            job->release(job);
        delete job;
    }
    for (VfsModelListJob *job : m_freeJobs)
        delete job;
    if (m_drivesJob) {
        bool outstanding;
        {
            QMutexLocker lock(&m_drivesJob->mutex);
            outstanding = m_drivesJob->busy;
        }
        if (outstanding && m_drivesJob->release) {
            m_drivesJob->release(m_drivesJob);
            outstanding = false;
        }
        // A drive listing the client may still write to is left behind rather than freed.
        if (!outstanding)
            delete m_drivesJob;
    }
    std::function<void(VfsEntry *)> destroy = [&destroy](VfsEntry *entry) {
        for (VfsEntry *child : entry->children) {
            destroy(child);
            delete child;
        }
        entry->children.clear();
    };
    destroy(&m_root);
    for (VfsEntry *entry : m_pool)
        delete entry;
}

void VfsModel::setTimerFactory(VfsModelTimerFactory factory)
{
    m_timerFactory = std::move(factory);
}

void VfsModel::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

IPeer *VfsModel::peer() const
{
    return m_peer.data();
}

void VfsModel::setPeer(IPeer *peer)
{
    // A second binding would add a second shares row and a second set of connections.
    if (m_peerSet || !peer)
        return;
    m_peerSet = true;
    m_peer = peer;
    m_driveModel = qobject_cast<VfsDriveModel *>(peer->vfsDriveModel());
    m_separator = QChar();
    m_root.info = kExecUser;

    delete m_drivesJob;
    m_drivesJob = new VfsModelDrivesJob;
    m_drivesJob->label = peer->uuid();

    m_columnTitles = QStringList{
        qtTrId("column-name"), QString(), tr("Type"), tr("Path"), qtTrId("column-size"),
        tr("Access"), tr("Created"), qtTrId("column-modified"), qtTrId("column-modified"),
        tr("Mime"), tr("Flags"), tr("Reference"), tr("Hidden"),
    };

    m_checkTimer = m_timerFactory(this);
    connect(m_checkTimer, &VfsModelTimer::timeout, this, &VfsModel::onCheckTimerFired);
    m_resolveTimer = m_timerFactory(this);
    m_iconTimer = m_timerFactory(this);
    connect(m_iconTimer, &VfsModelTimer::timeout, this, &VfsModel::processIconQueue);
    m_iconWatcher = new QFutureWatcher<VfsFileIconSource>(this);
    connect(m_iconWatcher, &QFutureWatcher<VfsFileIconSource>::finished, this, &VfsModel::onIconFutureFinished);
    connect(m_resolveTimer, &VfsModelTimer::timeout, this, &VfsModel::onResolvePathTimerFired);

    if (m_driveModel) {
        connect(m_driveModel, &QAbstractItemModel::rowsInserted, this, &VfsModel::onUpdatedDrives);
        connect(m_driveModel, &QAbstractItemModel::rowsRemoved, this, &VfsModel::onUpdatedDrives);
    }
    connect(peer, &IPeer::linkStateChanged, this, &VfsModel::onPeerLinkStateChanged);
    connect(this, &VfsModel::noPreviewCached, this, &VfsModel::requestPreview);

    auto *shares = newEntry();
    shares->parent = &m_root;
    shares->name = qtTrId("place-shares");
    shares->path = QStringLiteral("%shares");
    shares->linkTarget = QStringLiteral("%shares");
    shares->type = DirectoryType;
    shares->origType = ShareType;
    shares->info = kExecUser;
    shares->icon = QIcon::fromTheme(QStringLiteral("drive-harddisk"));
    shares->mime = QStringLiteral("application/vnd.nusk.drive");
    shares->driveTag = driveTagFor(shares->path);
    beginInsertRows(QModelIndex(), 0, 0);
    m_root.children.insert(m_root.children.begin(), shares);
    endInsertRows();

    if (QCoreApplication *app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            m_resolve.watchQueue.clear();
            m_resolve.plainQueue.clear();
            if (m_resolveTimer)
                m_resolveTimer->stop();
            // No new icon loads: the program waits for the pool's work before it ends.
            while (!m_iconQueue.empty())
                dropQueuedIcon(m_iconQueue.front());
            m_iconTimer->stop();
        });
    }

    // Drives the drive model already knows would otherwise wait for its next change.
    if (m_driveModel && m_driveModel->rowCount() > 0)
        onUpdatedDrives();
}

void VfsModel::connectClient(VfsClient *client)
{
    if (!client)
        return;
    connect(client, &VfsClient::listDirectoryUpdate, this, &VfsModel::onListDirectoryUpdate,
            Qt::QueuedConnection);
    connect(client, &VfsClient::listDrivesUpdate, this, &VfsModel::onListDrivesJobUpdate,
            Qt::QueuedConnection);
    connect(client, &VfsClient::directoryChanged, this, &VfsModel::onDirectoryChanged,
            Qt::QueuedConnection);
}

int VfsModel::linkState() const
{
    return m_peer ? m_peer->linkState() : IPeer::LinkDown;
}

VfsClient *VfsModel::client() const
{
    return m_peer ? m_peer->vfsClient() : nullptr;
}

QMap<QString, QIcon> &VfsModel::iconCache()
{
    static QMap<QString, QIcon> cache;
    return cache;
}

quint64 VfsModel::driveTagFor(const QString &path)
{
    const quint32 high = static_cast<quint32>(qHash(path, 0) << 16);
    return static_cast<quint64>(high) << 32;
}

// --- tree access -------------------------------------------------------------------------

VfsEntry *VfsModel::entryOf(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<VfsEntry *>(index.internalPointer()) : nullptr;
}

int VfsModel::rowOf(const VfsEntry *entry) const
{
    if (!entry || !entry->parent)
        return -1;
    const auto &siblings = entry->parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), entry);
    return it == siblings.end() ? -1 : static_cast<int>(it - siblings.begin());
}

QModelIndex VfsModel::indexOf(const VfsEntry *entry, int column) const
{
    const int row = rowOf(entry);
    if (row < 0)
        return QModelIndex();
    return createIndex(row, column, const_cast<VfsEntry *>(entry));
}

QModelIndex VfsModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column < 0 || column >= ColumnCount || row < 0)
        return QModelIndex();
    if (parent.isValid() && parent.column() != 0)
        return QModelIndex();
    const VfsEntry *entry = parent.isValid() ? entryOf(parent) : &m_root;
    if (!entry || row >= static_cast<int>(entry->children.size()))
        return QModelIndex();
    return createIndex(row, column, entry->children[static_cast<size_t>(row)]);
}

QModelIndex VfsModel::parent(const QModelIndex &index) const
{
    const VfsEntry *entry = entryOf(index);
    if (!entry || !entry->parent || entry->parent == &m_root)
        return QModelIndex();
    const VfsEntry *parentEntry = entry->parent;
    const int row = rowOf(parentEntry);
    return createIndex(row < 0 ? 0 : row, 0, const_cast<VfsEntry *>(parentEntry));
}

int VfsModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return static_cast<int>(m_root.children.size());
    if (parent.column() != 0)
        return 0;
    const VfsEntry *entry = entryOf(parent);
    if (!entry || !isFolderType(entry->type))
        return 0;
    return static_cast<int>(entry->children.size());
}

int VfsModel::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return ColumnCount;
}

bool VfsModel::hasChildren(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return !m_root.children.empty();
    if (parent.column() != 0)
        return false;
    const VfsEntry *entry = entryOf(parent);
    if (!entry || !isFolderType(entry->type))
        return false;
    if (!entry->fetched)
        return true;
    return !entry->children.empty();
}

Qt::ItemFlags VfsModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractItemModel::flags(index);
    if (index.isValid())
        f |= Qt::ItemIsEditable | Qt::ItemIsDragEnabled;
    return f;
}

QVariant VfsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::SizeHintRole && section == AccessColumn)
        return QSize(22, -1);
    if (role == Qt::DisplayRole && section >= 0 && section < m_columnTitles.size())
        return m_columnTitles.at(section);
    return QVariant();
}

QHash<int, QByteArray> VfsModel::roleNames() const
{
    return {
        {NameRole, "name"}, {AccessRole, "access"}, {PathRole, "path"},
        {PathListRole, "pathList"}, {DisplayPathListRole, "displayPathList"},
        {SizeRole, "size"}, {SizeStringRole, "sizeString"}, {TypeStringRole, "typeString"},
        {TypeRole, "type"}, {OrigTypeRole, "origType"}, {ATimeRole, "atime"},
        {CTimeRole, "ctime"}, {MTimeStringRole, "mtimeString"}, {MTimeRole, "mtime"},
        {IconRole, "icon"}, {MimeRole, "mime"}, {HiddenRole, "hidden"}, {FlagsRole, "flags"},
        {PreviewRole, "preview"}, {InfoRole, "info"}, {ChildSizeRole, "childSize"},
    };
}

// --- data --------------------------------------------------------------------------------

QVariant VfsModel::foregroundFor(const VfsEntry *entry, int column) const
{
    if (column != NameColumn || linkState() != IPeer::LinkUp)
        return QGuiApplication::palette().brush(QPalette::Inactive, QPalette::Mid).color();
    if (isTopLevel(entry))
        return QVariant();
    const qint64 age = entry->mtime.isValid() ? (now() - entry->mtime.toMSecsSinceEpoch()) / 1000 : 0;
    static const struct { qint64 below; const char *colour; } ages[] = {
        {300, "#0baf00"}, {600, "#2ba200"}, {28800, "#269004"}, {86400, "#4a8439"},
        {172800, "#42850c"}, {259200, "#4e7a0a"}, {604800, "#656005"},
    };
    for (const auto &step : ages) {
        if (age < step.below)
            return QColor(QLatin1String(step.colour));
    }
    return QGuiApplication::palette().color(QPalette::Text);
}

QVariant VfsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid()) {
        if (role == MimeRole)
            return QStringLiteral("application/x-directory");
        if (role == FlagsRole)
            return 0;
        return QVariant();
    }
    VfsEntry *entry = entryOf(index);
    if (!entry)
        return QVariant();
    const int column = index.column();

    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case NameColumn: return entry->name;
        case TypeColumn: return typeText(entry->type);
        case PathColumn: return entry->path.isEmpty() ? fullPath(entry) : entry->path;
        case SizeColumn:
            return isFolderType(entry->type) ? qtTrId("item-type-folder") : sizeStringOf(entry);
        case ATimeColumn: return entry->atime;
        case CTimeColumn: return entry->ctime;
        case MTimeStringColumn: return mtimeStringOf(entry);
        case MTimeColumn: return entry->mtime;
        case MimeColumn: return entry->mime;
        case FlagsColumn: return entry->flags;
        case RefColumn: return entry->linkTarget;
        case HiddenColumn: return entry->hidden;
        case InfoColumn: return entry->info;
        default: return QVariant();
        }
    case Qt::DecorationRole:
        if (column == NameColumn) {
            if (!entry->thumbnail.isNull())
                return entry->thumbnail;
            if (entry->previewState == 1 && !m_previews.contains(entry))
                emit const_cast<VfsModel *>(this)->noPreviewCached(index.siblingAtColumn(0));
            if (!entry->icon.isNull())
                return entry->icon;
            const QString suffix = suffixOf(entry->name).toLower();
            if (!suffix.isEmpty() && iconCache().contains(suffix))
                return iconCache().value(suffix);
            return QVariant();
        }
        if (column == AccessColumn && !(entry->info & kWriteUser))
            return sharedIcon(QStringLiteral("read-only"));
        return QVariant();
    case Qt::EditRole:
        return column == NameColumn ? QVariant(entry->name) : QVariant();
    case Qt::ToolTipRole:
        if (sizeStringOf(entry).isEmpty())
            return plainToolTip(entry->name);
        return plainToolTip(entry->name + QStringLiteral("\n%1: %2").arg(qtTrId("column-size"), entry->sizeString));
    case Qt::FontRole:
        if ((column == SizeColumn && entry->type != DirectoryType) || column == MTimeStringColumn
            || column == MTimeColumn) {
            QFont font = QGuiApplication::font();
            font.setStyleHint(QFont::TypeWriter, QFont::PreferAntialias);
            return font;
        }
        return QGuiApplication::font();
    case Qt::TextAlignmentRole:
        if (column == SizeColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        if (column == MTimeStringColumn || column == MTimeColumn)
            return int(Qt::AlignHCenter | Qt::AlignVCenter);
        return QVariant();
    case Qt::BackgroundRole:
        if (entry->flags & DropTargetFlag)
            return QGuiApplication::palette().brush(QPalette::Midlight);
        return QVariant();
    case Qt::ForegroundRole:
        return foregroundFor(entry, column);
    case Qt::SizeHintRole:
        if (column == AccessColumn)
            return (entry->info & kWriteUser) ? QSize(-1, -1) : QSize(22, 22);
        if (column == SizeColumn) {
            const QFontMetrics metrics(QGuiApplication::font());
            return QSize(metrics.horizontalAdvance(QStringLiteral("0000 Bytes")), 22);
        }
        return QVariant();
    case NameRole:
        if (isTopLevel(entry) && entry->type == DriveType && entry->path == QLatin1String("/"))
            return QStringLiteral("%1 %2").arg(sizeText(entry->size), entry->name);
        return entry->name;
    case PathRole: return fullPath(entry);
    case PathListRole: return pathList(entry, true);
    case DisplayPathListRole: return pathList(entry, false);
    case SizeRole: return QVariant::fromValue<quint64>(entry->size);
    case SizeStringRole:
        return isFolderType(entry->type) ? qtTrId("item-type-folder") : sizeStringOf(entry);
    case TypeStringRole: return typeText(entry->type);
    case TypeRole: return entry->type;
    case OrigTypeRole: return entry->origType;
    case ATimeRole: return entry->atime;
    case CTimeRole: return entry->ctime;
    case MTimeStringRole: return mtimeStringOf(entry);
    case MTimeRole: return entry->mtime;
    case IconRole:
        if (entry->type == FileType)
            return QStringLiteral("image://theme/file/") + entry->name;
        if (entry->type == DirectoryType)
            return QStringLiteral("image://theme/mime/application/x-directory");
        if (entry->type == DriveType)
            return QStringLiteral("image://theme/icon/drive-disk.svg");
        return QVariant();
    case MimeRole: return entry->mime;
    case HiddenRole: return entry->hidden;
    case FlagsRole: return entry->flags;
    case PreviewRole:
        if (const QImage *image = m_previews.object(entry))
            return *image;
        if (entry->previewState == 1)
            emit const_cast<VfsModel *>(this)->noPreviewCached(index.siblingAtColumn(0));
        return QVariant();
    case InfoRole: return entry->info;
    case ChildSizeRole: return QVariant::fromValue<quint64>(entry->childSize);
    case IdRole: return QVariant::fromValue<quint64>(entry->fileId);
    default: return QVariant();
    }
}

bool VfsModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    VfsEntry *entry = entryOf(index);
    if (!entry)
        return false;
    if (role == Qt::EditRole && index.column() == NameColumn) {
        const QString name = value.toString();
        // The rename happens on the peer; the row follows from the next listing.
        if (name != entry->name)
            emit renameRequest(index, name);
        return false;
    }
    if (role == FlagsRole) {
        bool ok = false;
        const int flags = value.toInt(&ok);
        if (!ok || flags == entry->flags)
            return false;
        entry->flags = flags;
        emit dataChanged(this->index(index.row(), 0, index.parent()),
                         this->index(index.row(), ColumnCount - 1, index.parent()), {});
        return true;
    }
    return false;
}

// --- paths -------------------------------------------------------------------------------

QChar VfsModel::pathSeparator() const
{
    return m_separator.isNull() ? QLatin1Char('/') : m_separator;
}

QString VfsModel::normalizePath(const QString &path, QChar separator)
{
    if (separator.isNull() || path.contains(separator))
        return path;
    const QChar other = separator == QLatin1Char('/') ? QLatin1Char('\\') : QLatin1Char('/');
    return path.split(other).join(separator);
}

QString VfsModel::component(const VfsEntry *entry, bool linkTargets) const
{
    if (linkTargets && entry->origType == ShareType)
        return entry->linkTarget;
    if (isTopLevel(entry) && !entry->path.isEmpty())
        return entry->path;
    return entry->name;
}

QString VfsModel::joinPath(const QString &parentPath, const QString &component, QChar separator)
{
    if (parentPath.isEmpty())
        return component;
    if (parentPath.size() == 1 && parentPath.at(0) == separator)
        return parentPath + component;
    return parentPath + separator + component;
}

QStringList VfsModel::pathList(const VfsEntry *entry, bool linkTargets) const
{
    QStringList parts;
    for (const VfsEntry *e = entry; e && e != &m_root; e = e->parent)
        parts.prepend(component(e, linkTargets));
    return parts;
}

QString VfsModel::fullPath(const VfsEntry *entry) const
{
    const QChar separator = pathSeparator();
    QString path;
    for (const QString &part : pathList(entry, true))
        path = joinPath(path, part, separator);
    return path;
}

VfsEntry *VfsModel::findIn(const VfsEntry *parent, const QString &parentPath, const QString &path,
                           QChar separator) const
{
    for (VfsEntry *child : parent->children) {
        const QString childPath = joinPath(parentPath, component(child, true), separator);
        if (childPath == path)
            return child;
        // Descend only across a separator: "/media/usb" does not hold "/media/usb2".
        if (path.startsWith(childPath)
            && (childPath.endsWith(separator) || path.at(childPath.size()) == separator)) {
            if (VfsEntry *found = findIn(child, childPath, path, separator))
                return found;
        }
    }
    return nullptr;
}

VfsEntry *VfsModel::findEntry(const QString &path) const
{
    if (path.isEmpty())
        return nullptr;
    return findIn(&m_root, QString(), path, pathSeparator());
}

QModelIndex VfsModel::indexForPath(const QString &path) const
{
    return indexOf(findEntry(normalizePath(path, pathSeparator())));
}

VfsEntry *VfsModel::topLevelRowFor(const QString &path) const
{
    VfsEntry *best = nullptr;
    for (VfsEntry *row : m_root.children) {
        if (!VfsDriveModel::pathHolds(row->path, path))
            continue;
        if (!best || row->path.size() > best->path.size())
            best = row;
    }
    return best;
}

// --- views' marks ------------------------------------------------------------------------

void VfsModel::expanded(const QModelIndex &index)
{
    VfsEntry *entry = entryOf(index);
    if (entry && isFolderType(entry->type)) {
        entry->expanded = true;
        logPrintf(LogVfs1, "expanded %s", qUtf8Printable(entry->name));
    }
}

void VfsModel::collapsed(const QModelIndex &index)
{
    VfsEntry *entry = entryOf(index);
    if (entry && isFolderType(entry->type)) {
        entry->expanded = false;
        logPrintf(LogVfs1, "collapsed %s", qUtf8Printable(entry->name));
    }
}

VfsEntry *VfsModel::retainPath(const QString &path)
{
    VfsEntry *entry = findEntry(path);
    if (entry)
        ++entry->useCount;
    return entry;
}

VfsEntry *VfsModel::releasePath(const QString &path)
{
    VfsEntry *entry = findEntry(path);
    // The folder a view retained may have gone and come back as a new entry meanwhile; its
    // count must not drop below zero, or previews would stay off once it is shown again.
    if (entry && entry->useCount > 0)
        --entry->useCount;
    return entry;
}

void VfsModel::watchEntry(const QString &path, quint64 fileId)
{
    const VfsEntry *row = topLevelRowFor(path);
    if (!row)
        return;
    if (fileId == 0) {
        logPrintf(LogVfs1, "skip watch %s, invalid fileId: %llu", qUtf8Printable(path),
                  static_cast<unsigned long long>(fileId));
        return;
    }
    const quint64 key = fileId | row->driveTag;
    auto it = m_watches.find(key);
    if (it == m_watches.end()) {
        m_watches.insert(key, path);
        logPrintf(LogVfs1, "start watching %s, fileId: %llu", qUtf8Printable(path),
                  static_cast<unsigned long long>(fileId));
    } else if (it.value() != path) {
        it.value() = path;
        logPrintf(LogVfs1, "changed watch path %s, fileId: %llu", qUtf8Printable(path),
                  static_cast<unsigned long long>(fileId));
    }
}

void VfsModel::unwatchEntry(const QString &path, quint64 fileId)
{
    const VfsEntry *row = topLevelRowFor(path);
    if (!row || fileId == 0)
        return;
    const quint64 key = fileId | row->driveTag;
    auto it = m_watches.find(key);
    if (it != m_watches.end() && it.value() == path) {
        m_watches.erase(it);
        logPrintf(LogVfs1, "stop watching %s, fileId: %llu", qUtf8Printable(path),
                  static_cast<unsigned long long>(fileId));
    }
}

// --- previews (the loading itself belongs to the image pipeline) --------------------------

bool VfsModel::hasCachedPreview(const VfsEntry *entry) const
{
    return m_previews.contains(entry);
}

void VfsModel::storePreview(VfsEntry *entry, const QImage &image)
{
    if (!entry || image.isNull())
        return;
    logPrintf(LogVfs1, "cached preview image: %lld bytes %s", static_cast<long long>(image.sizeInBytes()),
              qUtf8Printable(entry->name));
    m_previews.insert(entry, new QImage(image), static_cast<int>(std::min<qint64>(
                                                    image.sizeInBytes(), 400000000)));
}

void VfsModel::requestPreview(const QModelIndex &index)
{
    VfsEntry *entry = entryOf(index);
    if (!entry || !entry->parent || entry->previewState != 1 || m_previews.contains(entry))
        return;
    // Queued by VfsModelPreviews, which loads one picture at a time.
    logPrintf(LogVfs1, "request preview: %s", qUtf8Printable(entry->name));
    entry->previewState = 2;
}

// --- entries and their pool --------------------------------------------------------------

VfsEntry *VfsModel::newEntry()
{
    if (!m_pool.empty()) {
        VfsEntry *entry = m_pool.back();
        m_pool.pop_back();
        entry->pooled = false;
        return entry;
    }
    return new VfsEntry;
}

void VfsModel::recycle(VfsEntry *entry)
{
    for (VfsEntry *child : entry->children)
        recycle(child);
    entry->children.clear();
    // Nothing may refer to the entry once it is back in the pool: a listing still out for
    // it would merge into whatever the entry becomes next, a queued preview would load for
    // the wrong file and a cached image would show on it.
    withdrawListing(entry);
    dropQueuedIcon(entry);
    m_previews.remove(entry);
    const bool wasPooled = entry->pooled;
    entry->reset();
    if (wasPooled)
        return;
    // The pool serves the next listings; a huge folder that went does not keep all its
    // entries for the rest of the session.
    if (m_pool.size() >= kPoolLimit) {
        delete entry;
        return;
    }
    entry->pooled = true;
    m_pool.push_back(entry);
}

void VfsModel::removeChildren(VfsEntry *entry)
{
    if (entry->children.empty())
        return;
    const QModelIndex parentIndex = indexOf(entry);
    beginRemoveRows(parentIndex, 0, static_cast<int>(entry->children.size()) - 1);
    std::vector<VfsEntry *> children;
    children.swap(entry->children);
    for (VfsEntry *child : children)
        recycle(child);
    endRemoveRows();
}

void VfsModel::withdrawListing(VfsEntry *entry)
{
    VfsModelListJob *job = entry->listJob;
    if (!job)
        return;
    auto it = std::find(m_pending.begin(), m_pending.end(), job);
    if (it != m_pending.end())
        m_pending.erase(it);
    if (job->release)
        job->release(job);
    entry->fetching = 0;
    recycleJob(job);
}

void VfsModel::recycleJob(VfsModelListJob *job)
{
    if (job->entry && job->entry->listJob == job)
        job->entry->listJob = nullptr;
    job->entry = nullptr;
    job->entries.clear();
    job->entries.shrink_to_fit();
    job->cursor = 0;
    job->sizeSum = 0;
    job->rowIndex.clear();
    job->indexed = false;
    m_freeJobs.push_back(job);
}

QString VfsModel::mtimeText(const QDateTime &mtime) const
{
    if (!mtime.isValid())
        return QString();
    const QDateTime local = mtime.toLocalTime();
    const QLocale locale;
    return QStringLiteral("%1  %2").arg(locale.toString(local.date(), m_dateFormat),
                                         locale.toString(local.time(), m_timeFormat));
}

const QString &VfsModel::mtimeStringOf(VfsEntry *entry) const
{
    if (entry->mtimeString.isEmpty() && entry->mtime.isValid())
        entry->mtimeString = mtimeText(entry->mtime);
    return entry->mtimeString;
}

// Formatting a size costs more than the rest of a row's merge; most rows of a big folder are
// never shown, so the text waits for the first look.
const QString &VfsModel::sizeStringOf(VfsEntry *entry) const
{
    if (entry->sizeStringDue) {
        entry->sizeString = sizeText(entry->size);
        entry->sizeStringDue = false;
    }
    return entry->sizeString;
}

void VfsModel::markSizeStringDue(VfsEntry *entry)
{
    entry->sizeString.clear();
    entry->sizeStringDue = true;
}

// Type, size, MIME type and icon of an entry as a listing record gives them.
void VfsModel::applyTypeAndIcon(VfsEntry *entry, const VfsDirectoryEntry &record)
{
    entry->origType = origTypeOf(record);
    const quint8 effective = record.linkTargetType != 0 ? record.linkTargetType : record.type;
    if (effective == kRecordDirectory) {
        entry->type = DirectoryType;
        entry->size = 0;
        entry->previewState = 0;
        entry->mime = QStringLiteral("application/x-directory");
        entry->icon = sharedIcon(QStringLiteral("x-directory"));
        queueIcon(entry);
    } else {
        entry->type = FileType;
        entry->size = record.size;
        if (entry->previewState == 0 && isPreviewable(entry->name))
            entry->previewState = 1;
        // Neighbouring rows mostly share a suffix: the last one's icon is used again until
        // the suffix or the icon cache changes.
        const QStringView suffix = suffixViewOf(entry->name);
        QMap<QString, QIcon> &cache = iconCache();
        if (!m_lastType.valid || m_lastType.cacheSize != cache.size()
            || m_lastType.iconlessCount != m_iconlessSuffixes.size() || suffix != m_lastType.suffix) {
            const QString key = suffix.toString().toLower();
            QIcon icon;
            if (!key.isEmpty())
                icon = cache.value(key);
            m_lastType.shared = !icon.isNull();
            if (icon.isNull())
                icon = sharedIcon(QStringLiteral("x-file"));
            m_lastType.suffix = suffix.toString();
            m_lastType.icon = icon;
            m_lastType.mime = icon.name();
            m_lastType.cacheSize = cache.size();
            m_lastType.iconless = !key.isEmpty() && m_iconlessSuffixes.contains(key);
            m_lastType.iconlessCount = m_iconlessSuffixes.size();
            m_lastType.valid = true;
        }
        entry->icon = m_lastType.icon;
        entry->mime = m_lastType.mime;
        if ((!m_lastType.shared && !m_lastType.iconless) || hasOwnIcon(entry->name, false))
            queueIcon(entry);
    }
    markSizeStringDue(entry);
}

// --- listing -----------------------------------------------------------------------------

bool VfsModel::canFetchMore(const QModelIndex &parent) const
{
    if (linkState() != IPeer::LinkUp)
        return false;
    if (!parent.isValid()) {
        return m_root.children.size() == 1
               && (m_drivesListedMs < 0 || now() - m_drivesListedMs >= kDriveListingInterval);
    }
    const VfsEntry *entry = entryOf(parent);
    if (!entry || parent.column() != 0)
        return false;
    if (!isFolderType(entry->type) && entry->type != ShareType)
        return false;
    if (entry->fetching)
        return false;
    if (entry->fetchTime.isValid()
        && now() - entry->fetchTime.toMSecsSinceEpoch() < kRelistInterval)
        return false;
    return entry->info & kExecUser;
}

void VfsModel::fetchMore(const QModelIndex &parent)
{
    if (!parent.isValid()) {
        logPrintf(LogVfs1, "fetchMore (%d,%d) %p", -1, -1, static_cast<void *>(&m_root));
        m_root.fetched = m_root.children.size() >= 2;
        startDriveListing(true);
        return;
    }
    VfsEntry *entry = entryOf(parent);
    if (!entry || parent.column() != 0)
        return;
    logPrintf(LogVfs1, "fetchMore (%d,%d) %p", parent.row(), parent.column(),
              static_cast<void *>(entry));
    if (entry->type == DriveType || entry->type == DirectoryType)
        startListing(entry);
}

bool VfsModel::startDriveListing(bool honourInterval)
{
    if (!m_drivesJob)
        return false;
    if (honourInterval && m_drivesListedMs >= 0 && now() - m_drivesListedMs < kDriveListingInterval)
        return false;
    VfsClient *vfs = client();
    {
        QMutexLocker lock(&m_drivesJob->mutex);
        if (m_drivesJob->busy || linkState() != IPeer::LinkUp || !vfs)
            return false;
        m_drivesListedMs = now();
        m_drivesJob->busy = true;
        m_root.fetchTime = QDateTime::fromMSecsSinceEpoch(now());
    }
    vfs->listDrives(m_drivesJob);
    return true;
}

void VfsModel::startListing(VfsEntry *entry)
{
    if (entry->fetching) {
        logPrintf(LogVfs1, "already busy fetching %s", qUtf8Printable(entry->name));
        return;
    }
    VfsClient *vfs = client();
    if (!vfs)
        return;

    VfsModelListJob *job;
    if (!m_freeJobs.empty()) {
        job = m_freeJobs.back();
        m_freeJobs.pop_back();
    } else {
        job = new VfsModelListJob;
    }
    entry->fetching = 1;
    entry->listJob = job;
    {
        QMutexLocker lock(&job->mutex);
        job->entry = entry;
        job->sizeSum = 0;
        job->cursor = 0;
        job->entries.clear();
        job->status = 0;
        job->jobStatus = JobIdle;
        job->watch = true;
        job->path = fullPath(entry);
        job->pass = ++m_pass;
        if (!m_resolve.target.isEmpty() && m_resolve.target.startsWith(job->path))
            job->watch = m_resolve.watch;
        if (entry->type == DriveType && job->path.endsWith(QLatin1Char(':')))
            job->path += pathSeparator();
    }
    logPrintf(LogVfs1, "start fetch %s, watch: %u", qUtf8Printable(job->path), unsigned(job->watch));
    m_pending.push_back(job);
    vfs->listDirectory(job);
}

void VfsModel::onListDirectoryUpdate(VfsListDirectoryJob *announced)
{
    auto it = std::find_if(m_pending.begin(), m_pending.end(),
                           [announced](VfsModelListJob *job) { return job == announced; });
    if (it == m_pending.end())
        return;
    VfsModelListJob *job = *it;
    quint32 status;
    {
        QMutexLocker lock(&job->mutex);
        // An announcement of this record's previous use (it was withdrawn and taken again
        // while the announcement was on its way) may arrive while the client still works
        // on the current request: until the client lets go, the record is not ours to read,
        // and its own announcement follows.
        if (job->request)
            return;
        status = job->jobStatus;
        if (status == JobFinished)
            job->jobStatus = JobMerging;
    }
    if (status == JobFinished) {
        m_checkTimer->start(0);
    } else if (status == JobError) {
        // The rows already shown stay; the folder stays unfetched so it can be listed again.
        logPrintf(LogVfs1, "finished list dir job: %s", qUtf8Printable(job->path));
        m_pending.erase(it);
        if (job->entry) {
            job->entry->fetching = 0;
            // No listing follows a failed one by itself (the link may be down); the next
            // change or visit lists the folder as it is then.
            job->entry->changedWhileListed = false;
        }
        recycleJob(job);
    }
}

void VfsModel::onCheckTimerFired()
{
    int budget = kMergeBatch;
    bool more = false;
    for (size_t i = 0; i < m_pending.size(); ++i) {
        VfsModelListJob *job = m_pending[i];
        {
            QMutexLocker lock(&job->mutex);
            if (job->jobStatus != JobMerging)
                continue;
        }
        if (m_separator.isNull() && !job->separator.isNull())
            m_separator = job->separator;

        if (job->cursor < job->entries.size()) {
            if (budget <= 0) {
                more = true;
                continue;
            }
            mergeBatch(job, budget);
            more = true;
            continue;
        }
        finishListing(job);
        m_checkTimer->start(0);
        return;
    }
    if (more)
        m_checkTimer->start(0);
}

void VfsModel::mergeBatch(VfsModelListJob *job, int &budget)
{
    VfsEntry *dir = job->entry;
    const QModelIndex parentIndex = indexOf(dir);
    const int firstNewRow = static_cast<int>(dir->children.size());
    budget = std::max(budget, std::min(firstNewRow, kMaxMergeBatch));
    if (!job->indexed) {
        job->rowIndex.clear();
        job->rowIndex.reserve(dir->children.size() + job->entries.size());
        for (size_t row = 0; row < dir->children.size(); ++row) {
            const VfsEntry *child = dir->children[row];
            job->rowIndex.insert(VfsRowIndex::hashOf(child->name, child->linkTarget), static_cast<int>(row));
        }
        job->indexed = true;
    }
    const bool previewsWanted = dir->useCount > 0;
    std::vector<VfsEntry *> added;
    const auto rowEntry = [&](int row) {
        return row < firstNewRow ? dir->children[static_cast<size_t>(row)]
                                 : added[static_cast<size_t>(row - firstNewRow)];
    };

    while (budget > 0 && job->cursor < job->entries.size()) {
        --budget;
        const VfsDirectoryEntry &record = job->entries[job->cursor++];

        VfsEntry *child = nullptr;
        const uint hash = VfsRowIndex::hashOf(record.name, record.linkTarget);
        int row = job->rowIndex.find(hash, [&](int candidate) {
            const VfsEntry *e = rowEntry(candidate);
            return e->name == record.name && e->linkTarget == record.linkTarget;
        });
        if (row >= 0) {
            child = rowEntry(row);
        } else if (dir->children.size() == 1 && added.empty()
                   && dir->children.front()->type == NoType) {
            row = 0;
            child = dir->children.front();
        }

        if (child && row < firstNewRow) {
            child->stamp = job->pass;
            QVector<int> roles;
            const quint32 info = record.mode;
            if (child->info != info) {
                child->info = info;
                roles << InfoRole;
            }
            child->fileId = record.fileIndex;
            child->linkCount = record.linkCount;
            const bool hidden = record.hidden != 0;
            if (child->hidden != hidden) {
                child->hidden = hidden;
                roles << HiddenRole;
            }
            // A file replaced by a folder of the same name (or the other way round) changes
            // type, MIME type and icon in place; a former folder's rows go with it.
            const int oldType = child->type;
            const int oldOrigType = child->origType;
            const quint64 oldSize = child->size;
            const quint8 effective =
                record.linkTargetType != 0 ? record.linkTargetType : record.type;
            const int newType = effective == kRecordDirectory ? int(DirectoryType) : int(FileType);
            if (newType != oldType || origTypeOf(record) != oldOrigType) {
                if (oldType == DirectoryType && newType != DirectoryType) {
                    // Its rows go while it still reads as a folder.
                    removeChildren(child);
                    withdrawListing(child);
                    child->fetched = false;
                    child->fetchTime = QDateTime();
                    child->childSize = 0;
                }
                const QString oldMime = child->mime;
                applyTypeAndIcon(child, record);
                if (child->type != oldType)
                    roles << TypeRole << Qt::DecorationRole;
                if (child->origType != oldOrigType)
                    roles << OrigTypeRole;
                if (child->mime != oldMime)
                    roles << MimeRole;
            } else if (newType == FileType && child->size != record.size) {
                // Same kind as before: icon and MIME type stay, only the size may move.
                child->size = record.size;
                markSizeStringDue(child);
            }
            if (child->size != oldSize)
                roles << SizeRole;
            const QDateTime atime = timeFromMs(record.accessTime);
            if (child->atime != atime) {
                child->atime = atime;
                roles << ATimeRole;
            }
            const QDateTime ctime = timeFromMs(record.birthTime);
            if (child->ctime != ctime) {
                child->ctime = ctime;
                roles << CTimeRole;
            }
            if (record.modifyTime != 0) {
                const QDateTime mtime = timeFromMs(record.modifyTime);
                if (child->mtime != mtime) {
                    child->mtime = mtime;
                    child->mtimeString.clear();
                    roles << MTimeRole << MTimeStringRole;
                    if (previewsWanted && child->previewState != 0
                        && m_previews.remove(child)) {
                        emit noPreviewCached(createIndex(row, 0, child));
                    }
                }
            }
            if (!roles.isEmpty())
                emit dataChanged(createIndex(row, 0, child),
                                 createIndex(row, ColumnCount - 1, child), roles);
        } else if (!child) {
            child = newEntry();
            child->parent = dir;
            child->name = record.name;
            child->stamp = job->pass;
            child->hidden = record.hidden != 0;
            child->info = record.mode;
            child->fileId = record.fileIndex;
            child->linkCount = record.linkCount;
            child->atime = timeFromMs(record.accessTime);
            child->ctime = timeFromMs(record.birthTime);
            child->mtime = timeFromMs(record.modifyTime);
            child->linkTarget = record.linkTarget;
            applyTypeAndIcon(child, record);
            job->rowIndex.insert(hash, firstNewRow + static_cast<int>(added.size()));
            added.push_back(child);
        } else {
            // The same name twice in one listing: the first record made the row.
            child->stamp = job->pass;
        }
        job->sizeSum += child->size;
    }

    if (job->cursor >= job->entries.size()) {
        job->entries.clear();
        job->entries.shrink_to_fit();
        job->cursor = 0;
    }

    if (!added.empty()) {
        beginInsertRows(parentIndex, firstNewRow, firstNewRow + static_cast<int>(added.size()) - 1);
        dir->children.insert(dir->children.end(), added.begin(), added.end());
        endInsertRows();
    }
}

void VfsModel::finishListing(VfsModelListJob *job)
{
    VfsEntry *dir = job->entry;
    const auto pendingIt = std::find(m_pending.begin(), m_pending.end(), job);
    if (pendingIt != m_pending.end())
        m_pending.erase(pendingIt);

    if (dir && dir->fetching) {
        const QModelIndex dirIndex = indexOf(dir);
        dir->fetched = true;
        dir->fetching = 0;
        dir->fetchTime = QDateTime::fromMSecsSinceEpoch(now());
        if (job->sizeSum != dir->childSize) {
            dir->childSize = job->sizeSum;
            logPrintf(LogVfs1, "data changed %s, childSize: %llu", qUtf8Printable(dir->name),
                      static_cast<unsigned long long>(dir->childSize));
            emit dataChanged(dirIndex, index(dirIndex.row(), ColumnCount - 1, dirIndex.parent()),
                             {ChildSizeRole});
        }

        quint64 tag = 0;
        for (const VfsEntry *e = dir; e && !tag; e = e->parent)
            tag = e->driveTag;

        // Followed directories that are still here, under their current path.
        if (!m_watches.isEmpty()) {
            for (size_t row = 0; row < dir->children.size(); ++row) {
                VfsEntry *child = dir->children[row];
                if (child->stamp != job->pass)
                    continue;
                auto watch = m_watches.constFind(child->fileId | tag);
                if (watch == m_watches.constEnd())
                    continue;
                logPrintf(LogVfs1, "found watch item %s, fileId: %llu",
                          qUtf8Printable(child->name),
                          static_cast<unsigned long long>(child->fileId));
                emit foundWatchItem(fullPath(child), child->fileId, watch.value());
            }
        }

        // Sweep: whatever this pass did not stamp has gone from the folder. Runs of vanished
        // rows go in one removal each, from the bottom up, so that a big folder that lost
        // many rows does not shift its survivors once per lost row.
        for (size_t end = dir->children.size(); end > 0;) {
            if (dir->children[end - 1]->stamp == job->pass) {
                --end;
                continue;
            }
            size_t first = end - 1;
            while (first > 0 && dir->children[first - 1]->stamp != job->pass)
                --first;
            std::vector<VfsEntry *> gone(dir->children.begin() + static_cast<std::ptrdiff_t>(first),
                                         dir->children.begin() + static_cast<std::ptrdiff_t>(end));
            beginRemoveRows(dirIndex, static_cast<int>(first), static_cast<int>(end) - 1);
            dir->children.erase(dir->children.begin() + static_cast<std::ptrdiff_t>(first),
                                dir->children.begin() + static_cast<std::ptrdiff_t>(end));
            for (VfsEntry *child : gone) {
                logPrintf(LogVfs1, "remove entry %s", qUtf8Printable(child->name));
                recycle(child);
            }
            endRemoveRows();
            end = first;
        }
        logPrintf(LogVfs1, "mark entry %s fetched", qUtf8Printable(dir->name));
    }
    logPrintf(LogVfs1, "finished list dir job: %s", qUtf8Printable(job->path));
    recycleJob(job);
    if (dir && dir->changedWhileListed && !dir->fetching) {
        dir->changedWhileListed = false;
        startListing(dir);
    }
}

// --- drives ------------------------------------------------------------------------------

void VfsModel::onListDrivesJobUpdate(VfsListDrivesJob *announced)
{
    if (!m_drivesJob || announced != m_drivesJob)
        return;
    std::vector<VfsDrive> drives;
    bool hand = false;
    bool whole = false;
    {
        QMutexLocker lock(&m_drivesJob->mutex);
        logPrintf(LogVfs1, "onListDrivesJobUpdate status: %d", int(m_drivesJob->jobStatus));
        if (m_drivesJob->jobStatus != JobError && m_drivesJob->jobStatus != JobFinished)
            return;
        hand = !m_drivesJob->drives.empty() || m_drivesJob->jobStatus == JobFinished;
        whole = m_drivesJob->jobStatus == JobFinished;
        drives.swap(m_drivesJob->drives);
        m_drivesJob->jobStatus = JobIdle;
        m_drivesJob->busy = false;
    }
    if (hand && m_driveModel)
        m_driveModel->updateDrives(std::move(drives));
    if (whole)
        m_drivesAnsweredMs = now();
}

void VfsModel::onUpdatedDrives()
{
    if (!m_driveModel)
        return;
    const int driveRows = m_driveModel->rowCount();

    // Rows of drives the drive model no longer lists go too, so both models show the same.
    QSet<QString> livePaths;
    for (int row = 0; row < driveRows; ++row)
        livePaths.insert(m_driveModel->getPathForRow(row));
    for (size_t row = 0; row < m_root.children.size();) {
        VfsEntry *entry = m_root.children[row];
        if (entry->type != DriveType || livePaths.contains(entry->path)) {
            ++row;
            continue;
        }
        const int r = static_cast<int>(row);
        beginRemoveRows(QModelIndex(), r, r);
        m_root.children.erase(m_root.children.begin() + r);
        recycle(entry);
        endRemoveRows();
    }

    for (int driveRow = 0; driveRow < driveRows; ++driveRow) {
        const QModelIndex di = m_driveModel->index(driveRow, 0);
        const QString path = di.data(VfsDriveModel::PathRole).toString();
        QString name = di.data(VfsDriveModel::NameRole).toString();
        const QString type = di.data(VfsDriveModel::TypeRole).toString();
        const quint64 total = di.data(VfsDriveModel::BytesTotalRole).toULongLong();

        if (m_separator.isNull()) {
            m_separator = path.size() == 2 && path.at(1) == QLatin1Char(':') ? QLatin1Char('\\')
                                                                              : QLatin1Char('/');
        }
        const bool exists = std::any_of(m_root.children.begin(), m_root.children.end(),
                                        [&path](const VfsEntry *e) { return e->path == path; });
        if (exists)
            continue;

        int insertAt = static_cast<int>(m_root.children.size());
        if (hasDriveLetter(path)) {
            for (size_t row = 0; row < m_root.children.size(); ++row) {
                const QString &other = m_root.children[row]->path;
                if (hasDriveLetter(other) && other.at(0) > path.at(0)) {
                    insertAt = static_cast<int>(row);
                    break;
                }
            }
        }

        const bool network = type == QLatin1String("smb");
        if (path.size() == 2 && path.at(1) == QLatin1Char(':')) {
            if (network) {
                const QStringList parts = name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
                if (!parts.isEmpty())
                    name = QStringLiteral("%1 (\\\\%2) (%3)").arg(parts.last(), parts.first(), path);
            } else {
                name = tr("Local Disk (%1)").arg(path);
            }
        }

        VfsEntry *entry = newEntry();
        entry->parent = &m_root;
        entry->name = name;
        entry->path = path;
        entry->size = total;
        entry->sizeString = sizeText(total);
        entry->type = DriveType;
        entry->origType = DriveType;
        entry->info = 0x7000;
        entry->driveTag = driveTagFor(path);
        entry->icon = QIcon::fromTheme(network ? QStringLiteral("network-server")
                                               : QStringLiteral("drive-harddisk"));
        entry->mime = network ? QStringLiteral("application/vnd.nusk.network")
                              : QStringLiteral("application/vnd.nusk.drive");
        beginInsertRows(QModelIndex(), insertAt, insertAt);
        m_root.children.insert(m_root.children.begin() + insertAt, entry);
        endInsertRows();
    }
}

// --- change notifications and the link ----------------------------------------------------

void VfsModel::onDirectoryChanged(const QString &path)
{
    if (path == QLatin1String("%drives")) {
        startDriveListing(false);
        return;
    }
    const QModelIndex index = indexForPath(path);
    VfsEntry *entry = entryOf(index);
    // The listing out may have been made before the change: the folder is listed once more
    // when it is in, or the change would never show.
    if (entry && entry->fetching)
        entry->changedWhileListed = true;
    else if (index.isValid())
        fetchMore(index);
    // The other computer changed what this one may do: what is shown below its shares was
    // listed under the old rules.
    if (path == QLatin1String("%shares"))
        Q_EMIT accessChanged();
}

void VfsModel::onPeerLinkStateChanged()
{
    const int state = linkState();
    if (state != IPeer::LinkUp && state != IPeer::LinkDown)
        return;
    logPrintf(LogVfs1, "layout to be changed:%d %s", state,
              m_peer ? qUtf8Printable(m_peer->uuid()) : "");
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

// --- path resolution ---------------------------------------------------------------------

QString VfsModel::cachedResolvePath(const QString &path)
{
    const QString normalized = normalizePath(path, pathSeparator());
    if (!m_resolve.target.isEmpty()) {
        if (normalized != m_resolve.target && !m_resolve.plainQueue.contains(normalized))
            m_resolve.plainQueue.append(normalized);
        return normalized;
    }
    return resolvePath(normalized, false);
}

QString VfsModel::resolvePath(const QString &path, bool watch)
{
    const QString normalized = normalizePath(path, pathSeparator());
    if (normalized == m_resolve.target)
        return normalized;
    if (!m_resolve.target.isEmpty()) {
        // The interrupted target is taken up again right after the new one.
        QStringList &queue = m_resolve.watch ? m_resolve.watchQueue : m_resolve.plainQueue;
        if (!queue.contains(normalized)) {
            queue.removeAll(m_resolve.target);
            queue.prepend(m_resolve.target);
        }
    }
    m_resolve.target = normalized;
    m_resolve.watch = watch;
    m_resolve.listedFor.clear();
    m_resolve.startMs = now();
    if (m_resolveTimer)
        m_resolveTimer->start(0);
    return normalized;
}

void VfsModel::clearResolveTarget()
{
    m_resolve.target.clear();
    m_resolve.watch = false;
    m_resolve.listedFor.clear();
}

void VfsModel::resolveNextPath()
{
    if (!m_resolve.watchQueue.isEmpty()) {
        resolvePath(m_resolve.watchQueue.takeFirst(), true);
    } else if (!m_resolve.plainQueue.isEmpty()) {
        resolvePath(m_resolve.plainQueue.takeFirst(), false);
    }
}

void VfsModel::onResolvePathTimerFired()
{
    const QString target = m_resolve.target;
    if (target.isEmpty())
        return;
    auto fail = [this, &target] {
        clearResolveTarget();
        emit pathResolved(1, target);
        resolveNextPath();
    };

    if (now() - m_resolve.startMs > kResolveTimeout) {
        fail();
        return;
    }
    if (linkState() != IPeer::LinkUp) {
        m_resolveTimer->start(100);
        return;
    }
    if (!target.startsWith(QLatin1String("%shares"))) {
        const bool noDrives = !m_driveModel || m_driveModel->rowCount() == 0;
        if (noDrives && (m_drivesListedMs < 0 || now() - m_drivesListedMs > kResolveDriveRetry)) {
            fetchMore(QModelIndex());
            m_resolveTimer->start(100);
            return;
        }
    }

    QChar separator = m_separator;
    if (separator.isNull()) {
        if (target.contains(QLatin1Char('/')))
            separator = QLatin1Char('/');
        else if (target.contains(QLatin1Char('\\')))
            separator = QLatin1Char('\\');
    }

    QString candidate = target;
    QModelIndex found = indexForPath(candidate);
    while (!found.isValid() && !separator.isNull()) {
        const int cut = candidate.lastIndexOf(separator);
        if (cut < 0)
            break;
        if (separator == QLatin1Char('\\') && cut == 1 && candidate.startsWith(QLatin1String("\\\\"))) {
            // "\\host": a network host becomes a top-level row of its own.
            VfsEntry *host = newEntry();
            host->parent = &m_root;
            host->name = candidate.mid(2);
            host->linkTarget = candidate;
            host->info |= 0x5000;
            host->origType = ShareType;
            host->type = DirectoryType;
            const int row = static_cast<int>(m_root.children.size());
            beginInsertRows(QModelIndex(), row, row);
            m_root.children.push_back(host);
            endInsertRows();
            found = indexForPath(candidate);
            break;
        }
        const QString shorter = candidate.left(cut == 0 ? 1 : cut);
        if (shorter == candidate)
            break;
        candidate = shorter;
        found = indexForPath(candidate);
    }

    if (!found.isValid()) {
        // Drives not known yet: the path may lie on one of them. Once another computer has
        // answered the listing asked for above (none, when it shares only folders), it lies
        // on none. This computer always has drives: an answer without any only says that
        // they are still being read.
        const bool drivesAnswered = m_peer && !m_peer->isLocal() && m_drivesAnsweredMs >= 0
                                 && m_drivesAnsweredMs >= m_drivesListedMs;
        if (m_root.children.size() <= 1 && !drivesAnswered)
            m_resolveTimer->start(50);
        else
            fail();
        return;
    }
    VfsEntry *entry = entryOf(found);
    if (candidate == target) {
        const int status = (entry->info & kExecUser) ? 0 : 1;
        clearResolveTarget();
        emit pathResolved(status, target);
        if (!entry->fetching && canFetchMore(found))
            fetchMore(found);
        resolveNextPath();
        return;
    }
    if (entry->fetching) {
        m_resolveTimer->start(20);
    } else if (m_resolve.listedFor != candidate && isFolderType(entry->type) && (entry->info & kExecUser)) {
        // Listed for this lookup even when it was listed a moment ago: that listing may
        // predate the name looked for.
        m_resolve.listedFor = candidate;
        startListing(entry);
        m_resolveTimer->start(20);
    } else {
        // The folder's own listing shows that the next name is not there, or the folder
        // cannot be listed: waiting would not bring it.
        fail();
    }
}

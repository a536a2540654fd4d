#include "vfs/models/vfsdrivemodel.h"

#include "app/base/log.h"
#include "vfs/fso/vfsmessage.h"
#include "vfs/models/vfsmodelicons.h"

#include <QMetaObject>
#include <QMutexLocker>

namespace {

bool isDriveLetterPath(const QString &path)
{
    return path.size() == 2 && path.at(1) == QLatin1Char(':');
}

bool hasDriveLetter(const QString &path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':');
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

} // namespace

VfsDriveModel::VfsDriveModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int VfsDriveModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(m_drives.size());
}

int VfsDriveModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return ColumnCount;
}

QHash<int, QByteArray> VfsDriveModel::roleNames() const
{
    return {
        {NameRole, "vfsDriveName"},
        {DisplayNameRole, "vfsDriveDisplayName"},
        {ShortNameRole, "vfsDriveShortName"},
        {IconRole, "vfsDriveIcon"},
        {IconNameRole, "vfsDriveIconName"},
        {PathRole, "vfsDrivePath"},
        {TypeRole, "vfsDriveType"},
        {PlugTypeRole, "vfsDrivePlugType"},
        {StateRole, "vfsDriveState"},
        {BytesAvailableRole, "vfsDriveBytesAvailable"},
        {BytesTotalRole, "vfsDriveBytesTotal"},
    };
}

QString VfsDriveModel::typeText(std::uint8_t type)
{
    switch (type) {
    case 0: return QStringLiteral("disk");
    case 1: return QStringLiteral("hotplug");
    case 2: return QStringLiteral("smb");
    case 3: return QStringLiteral("share");
    default: return QStringLiteral("unknown");
    }
}

QString VfsDriveModel::plugTypeText(std::uint8_t plugType)
{
    switch (plugType) {
    case 0: return QStringLiteral("general");
    case 1: return QStringLiteral("sata");
    case 2: return QStringLiteral("firewire");
    case 3: return QStringLiteral("usb");
    case 4: return QStringLiteral("usb3");
    case 5: return QStringLiteral("mmc");
    default: return QStringLiteral("unknown");
    }
}

QString VfsDriveModel::iconName(const VfsDrive &drive)
{
    // A network share is a network share whatever bus it hangs off, so that test comes first.
    if (drive.type == 2 || drive.plugType == 6)
        return QStringLiteral("icon/drive-smb.svg");
    if (drive.type == 1)
        return QStringLiteral("icon/drive-hotplug.svg");
    return QStringLiteral("icon/drive-disk.svg");
}

QString VfsDriveModel::displayName(const VfsDrive &drive)
{
    const QString &path = drive.path;
    const QString &name = drive.name;
    if (isDriveLetterPath(path)) {
        if (drive.type == 2) {
            const QStringList parts = name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
            if (parts.isEmpty())
                return path;
            return QStringLiteral("%1 (\\\\%2) (%3)").arg(parts.last(), parts.first(), path);
        }
        if (name.isEmpty())
            return vfstext::message("drive-local-disk", "Local Disk (%1)").arg(path);
        return QStringLiteral("%1 (%2)").arg(name, path);
    }
    const bool nameHasSlash = name.contains(QLatin1Char('/'));
    if (name.size() > 1 && !nameHasSlash)
        return name;
    if (path == QLatin1String("/"))
        return vfstext::message("drive-main-hd", "Main HD");
    if (!nameHasSlash)
        return name;
    return vfstext::message("drive-volume-gb", "%1 GB Volume").arg(drive.bytesTotal / 1000000000ULL);
}

QString VfsDriveModel::shortName(const VfsDrive &drive, int row)
{
    const QString &path = drive.path;
    const QString &name = drive.name;
    if (isDriveLetterPath(path))
        return path.left(1);
    const bool nameHasSlash = name.contains(QLatin1Char('/'));
    if (name.size() > 1 && !nameHasSlash)
        return name;
    if (path == QLatin1String("/"))
        return QStringLiteral("HD");
    if (!nameHasSlash)
        return name;
    return QStringLiteral("HD%1").arg(row);
}

QIcon VfsDriveModel::iconFor(const VfsDrive &drive) const
{
    QIcon icon;
    const QString id = iconName(drive);
    for (int side : {16, 24, 32, 48}) {
        const QPixmap pixmap = vfsThemePixmap(id, QSize(side, side));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("drive-harddisk"));
    return icon;
}

QVariant VfsDriveModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return QVariant();
    const VfsDrive &drive = m_drives[static_cast<size_t>(index.row())];

    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case 0: return drive.name;
        case 1: return displayName(drive);
        case 2: return shortName(drive, index.row());
        case 3: return typeText(drive.type);
        case 4: return drive.path;
        default: return QVariant();
        }
    }
    if (role == Qt::DecorationRole)
        return index.column() == 2 ? QVariant(iconFor(drive)) : QVariant();

    switch (role) {
    case NameRole: return drive.name;
    case DisplayNameRole: return displayName(drive);
    case ShortNameRole: return shortName(drive, index.row());
    case IconRole: return iconFor(drive);
    case IconNameRole: return iconName(drive);
    case PathRole: return drive.path;
    case TypeRole: return typeText(drive.type);
    case PlugTypeRole: return plugTypeText(drive.plugType);
    case BytesAvailableRole: return QVariant::fromValue<quint64>(drive.bytesAvailable);
    case BytesTotalRole: return QVariant::fromValue<quint64>(drive.bytesTotal);
    default: return QVariant();
    }
}

QString VfsDriveModel::getPathForRow(int row) const
{
    if (row < 0 || row >= rowCount())
        return QString();
    return m_drives[static_cast<size_t>(row)].path;
}

bool VfsDriveModel::pathHolds(const QString &drivePath, const QString &path)
{
    if (drivePath.isEmpty() || !path.startsWith(drivePath))
        return false;
    if (path.size() == drivePath.size())
        return true;
    return isSeparator(drivePath.back()) || isSeparator(path.at(drivePath.size()));
}

VfsDrive VfsDriveModel::driveForPath(const QString &path) const
{
    const VfsDrive *best = nullptr;
    for (const VfsDrive &drive : m_drives) {
        if (!pathHolds(drive.path, path))
            continue;
        if (!best || drive.path.size() > best->path.size())
            best = &drive;
    }
    return best ? *best : VfsDrive();
}

QModelIndex VfsDriveModel::indexForPath(const QString &path) const
{
    for (size_t row = 0; row < m_drives.size(); ++row) {
        if (m_drives[row].path == path)
            return index(static_cast<int>(row), 0);
    }
    return QModelIndex();
}

void VfsDriveModel::updateDrives(std::vector<VfsDrive> drives)
{
    QMutexLocker lock(&m_mutex);
    m_queue.insert(m_queue.end(), std::make_move_iterator(drives.begin()),
                   std::make_move_iterator(drives.end()));
    QMetaObject::invokeMethod(this, "processUpdatedDrivesQueue", Qt::QueuedConnection);
}

void VfsDriveModel::processUpdatedDrivesQueue()
{
    // Take the queue and merge without the lock: row signals reach receivers that may
    // queue another listing from within them.
    std::vector<VfsDrive> queue;
    {
        QMutexLocker lock(&m_mutex);
        queue.swap(m_queue);
    }
    if (queue.empty())
        return;

    for (const VfsDrive &queued : queue) {
        if (queued.type == 3)
            continue;

        int found = -1;
        int insertRow = -1;
        for (size_t row = 0; row < m_drives.size(); ++row) {
            const VfsDrive &listed = m_drives[row];
            if (listed.path == queued.path) {
                found = static_cast<int>(row);
                break;
            }
            if (insertRow < 0 && hasDriveLetter(listed.path) && hasDriveLetter(queued.path)
                && listed.path.at(0) > queued.path.at(0)) {
                insertRow = static_cast<int>(row);
            }
        }

        if (found >= 0) {
            VfsDrive &listed = m_drives[static_cast<size_t>(found)];
            listed.trId = queued.trId;
            if (listed != queued) {
                listed = queued;
                logPrintf(LogVmdl, "update drive %s in model", qUtf8Printable(queued.path));
                emit dataChanged(index(found, 0), index(found, ColumnCount - 1), {});
            }
            continue;
        }

        int row;
        if (queued.path == QLatin1String("/")) {
            row = 0;
        } else {
            if (queued.bytesTotal == 0)
                continue;
            row = insertRow >= 0 ? insertRow : static_cast<int>(m_drives.size());
        }
        beginInsertRows(QModelIndex(), row, row);
        m_drives.insert(m_drives.begin() + row, queued);
        logPrintf(LogVmdl, "add drive name: %s, path: %s to model index = %d",
                  qUtf8Printable(queued.name), qUtf8Printable(queued.path), row);
        endInsertRows();
    }

    // Several listings may have queued up before this pass; only the newest one tells
    // which drives still exist, so the drives of older listings must not keep stale rows
    // alive nor make the newest one's drives look stale.
    const std::uint16_t newest = queue.back().trId;

    for (size_t row = 0; row < m_drives.size();) {
        if (m_drives[row].trId == newest) {
            ++row;
            continue;
        }
        const int r = static_cast<int>(row);
        beginRemoveRows(QModelIndex(), r, r);
        logPrintf(LogVmdl, "remove drive name: %s, path: %s to model index = %d",
                  qUtf8Printable(m_drives[row].name), qUtf8Printable(m_drives[row].path), r);
        m_drives.erase(m_drives.begin() + r);
        endRemoveRows();
    }
}

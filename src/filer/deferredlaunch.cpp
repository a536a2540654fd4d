#include "filer/deferredlaunch.h"

#include "app/base/log.h"
#include "db/dto.h"
#include "vfs/models/vfsmodel.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <unistd.h>

namespace {

qint64 msOf(const QVariant &value)
{
    const QDateTime time = value.toDateTime();
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

// "name (2).ext" for the second file of one name in a launch.
QString numberedName(const QString &name, int n)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return QStringLiteral("%1 (%2)").arg(name).arg(n);
    return QStringLiteral("%1 (%2)%3").arg(name.left(dot)).arg(n).arg(name.mid(dot));
}

} // namespace

DeferredLaunches::DeferredLaunches(const QString &base)
    : m_base(base)
{
}

DeferredLaunches::~DeferredLaunches() = default;

QString DeferredLaunches::root()
{
    if (!m_root) {
        const QString base = m_base.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::TempLocation) : m_base;
        // QTemporaryDir makes the folder with mode 0700 under an unpredictable name.
        m_root = std::make_unique<QTemporaryDir>(base + QStringLiteral("/nusk-%1-XXXXXX").arg(::getuid()));
        if (!m_root->isValid()) {
            logPrintf(LogErr1, "cannot make the launch folder below %s", qUtf8Printable(base));
            m_root.reset();
            return QString();
        }
    }
    return m_root->path();
}

QString DeferredLaunches::newLaunchFolder()
{
    const QString parent = root();
    if (parent.isEmpty())
        return QString();
    QTemporaryDir folder(parent + QStringLiteral("/launch-XXXXXX"));
    if (!folder.isValid())
        return QString();
    folder.setAutoRemove(false);   // removed with the root
    return folder.path();
}

bool DeferredLaunches::add(int appId, const QString &peerUuid, const std::vector<QString> &paths,
                           const VfsModel *model, VfsCopyDto *request)
{
    if (!model || paths.empty())
        return false;
    DeferredLaunch launch;
    launch.appId = appId;
    launch.request.uuid = QUuid::createUuid().toString();
    launch.request.srcPeerUuid = peerUuid;
    launch.request.dstPeerUuid = nullUuidString();
    launch.request.deleteSource = false;
    launch.request.replaceCurrent = true;
    launch.request.replaceAll = true;

    std::vector<VfsCopyItem> items;
    std::vector<QString> names;
    for (const QString &path : paths) {
        const QModelIndex index = model->indexForPath(path);
        if (!index.isValid())
            return false;   // one unknown path: nothing is copied at all
        VfsCopyItem item;
        item.path = index.data(VfsModel::PathRole).toString();
        item.size = index.data(VfsModel::SizeRole).toULongLong();
        item.type = index.data(VfsModel::TypeRole).toInt();
        item.atime = msOf(index.data(VfsModel::ATimeRole));
        item.ctime = msOf(index.data(VfsModel::CTimeRole));
        item.mtime = msOf(index.data(VfsModel::MTimeRole));
        QString name = index.data(VfsModel::NameRole).toString();
        // A name from the other computer is one path component here, never a way out.
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
            || name.contains(QLatin1Char('/')) || name.contains(QChar(0)))
            return false;
        logPrintf(LogNfo1, "defer copy: %s %llu %d", qUtf8Printable(item.path),
                  static_cast<unsigned long long>(item.size), item.type);
        items.push_back(item);
        names.push_back(name);
    }
    if (items.empty())
        return false;

    const QString folder = newLaunchFolder();
    if (folder.isEmpty())
        return false;
    launch.request.dstPath = folder;
    QSet<QString> taken;
    for (size_t i = 0; i < items.size(); ++i) {
        QString chosen = names[i];
        for (int n = 2; taken.contains(chosen); ++n)
            chosen = numberedName(names[i], n);
        taken.insert(chosen);
        if (chosen != names[i]) {
            items[i].renameFrom = folder + QLatin1Char('/') + names[i];
            items[i].renameTo = folder + QLatin1Char('/') + chosen;
        }
        launch.localPaths.push_back(folder + QLatin1Char('/') + chosen);
    }
    launch.request.items = items;
    if (request)
        *request = launch.request;
    m_pending.push_back(std::move(launch));
    return true;
}

bool DeferredLaunches::take(const QString &requestUuid, DeferredLaunch *launch)
{
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->request.uuid == requestUuid) {
            if (launch)
                *launch = std::move(*it);
            m_pending.erase(it);
            return true;
        }
    }
    return false;
}

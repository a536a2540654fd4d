#include "vfs/server/vfsaccess.h"

#include "vfs/fso/fsoprotocol.h"

#include <QFile>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vfsaccess {

namespace {

const QLatin1String kShares("%shares");
const QLatin1String kDrives("%drives");

QString joinPath(const QString &dir, const QString &name)
{
    if (dir.endsWith(QLatin1Char('/')))
        return dir + name;
    return dir + QLatin1Char('/') + name;
}

QString lastName(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

// The real path of one existing path, as realpath(3) tells it; false (errno set) when it
// does not resolve. The kernel walks the path once and the descriptor tells where it ended:
// realpath(3) looks at every part of the path with a system call of its own, on every
// request of a peer.
bool systemRealPath(const QString &path, QString *real)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_PATH | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const bool told = descriptorPath(fd, real);
    ::close(fd);
    if (!told)
        errno = ENOENT;
    return told;
}

} // namespace

QString sharesRoot()
{
    return kShares;
}

QString drivesRoot()
{
    return kDrives;
}

bool cleanPath(const QString &path, QString *cleaned)
{
    if (path.isEmpty() || path.at(0) != QLatin1Char('/') || path.contains(QChar(0)))
        return false;
    if (path.size() == 1) {
        *cleaned = path;
        return true;
    }
    QString p = path;
    if (p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const QStringList parts = p.mid(1).split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    *cleaned = p;
    return true;
}

bool cleanWirePath(const std::string &bytes, QString *cleaned)
{
    if (bytes.find('\0') != std::string::npos)
        return false;
    return cleanPath(QString::fromUtf8(bytes.data(), int(bytes.size())), cleaned);
}

bool isSharesPath(const QString &path)
{
    return path.startsWith(kShares)
           && (path.size() == kShares.size() || path.at(kShares.size()) == QLatin1Char('/'));
}

bool isSameOrBelow(const QString &base, const QString &path)
{
    if (base.isEmpty() || path.isEmpty())
        return false;
    if (base == path)
        return true;
    if (base == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path.size() > base.size() && path.startsWith(base)
           && path.at(base.size()) == QLatin1Char('/');
}

QString parentPath(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

int findAclEntry(const std::vector<PeerAclDto> &entries, const QString &path, bool exactOnly)
{
    std::vector<QString> selectors;
    selectors.reserve(entries.size());
    for (const PeerAclDto &entry : entries) {
        QString cleaned;
        selectors.push_back(cleanPath(entry.selector, &cleaned) ? cleaned : QString());
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!selectors[i].isEmpty() && selectors[i] == path)
            return int(i);
    }
    if (exactOnly)
        return -1;
    int best = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!(entries[i].flags & AclSubPaths) || selectors[i].isEmpty())
            continue;
        if (!isSameOrBelow(selectors[i], path))
            continue;
        if (best < 0 || selectors[i].size() > selectors[size_t(best)].size())
            best = int(i);
    }
    return best;
}

bool resolveRealPath(const QString &path, bool followLast, QString *real)
{
    if (path.isEmpty() || path.at(0) != QLatin1Char('/'))
        return false;
    if (path == QLatin1String("/")) {
        *real = path;
        return true;
    }
    if (!followLast) {
        QString parent;
        if (!resolveRealPath(parentPath(path), true, &parent))
            return false;
        *real = joinPath(parent, lastName(path));
        return true;
    }
    if (systemRealPath(path, real))
        return true;
    if (errno != ENOENT)
        return false;
    // Either the path does not exist yet (then its parent decides), or it is a link that
    // points nowhere: creating through such a link would land wherever it points, so it
    // does not resolve.
    struct stat st;
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &st) == 0 || errno != ENOENT)
        return false;
    QString parent;
    if (!resolveRealPath(parentPath(path), true, &parent))
        return false;
    *real = joinPath(parent, lastName(path));
    return true;
}

bool descriptorPath(int fd, QString *real)
{
    if (fd < 0)
        return false;
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    QByteArray buffer(PATH_MAX + 1, Qt::Uninitialized);
    const ssize_t n = ::readlink(link.constData(), buffer.data(), std::size_t(buffer.size()));
    if (n <= 0 || n >= buffer.size())
        return false;
    buffer.truncate(int(n));
    // An unlinked file or directory reads as "<path> (deleted)"; nothing to compare then.
    if (buffer.at(0) != '/' || buffer.endsWith(" (deleted)"))
        return false;
    *real = QFile::decodeName(buffer);
    return true;
}

QByteArray anchoredPath(int dirFd, const QByteArray &name)
{
    return "/proc/self/fd/" + QByteArray::number(dirFd) + '/' + name;
}

int openParentDirectory(const QString &path, QByteArray *name)
{
    if (path.isEmpty() || path == QLatin1String("/") || path.at(0) != QLatin1Char('/')) {
        errno = EINVAL;
        return -1;
    }
    *name = QFile::encodeName(lastName(path));
    const QByteArray parent = QFile::encodeName(parentPath(path));
    int fd;
    do {
        fd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

VfsAccessRules::VfsAccessRules(bool isLocal, std::vector<PeerAclDto> entries)
    : m_local(isLocal), m_entries(std::move(entries))
{
}

MappedPath VfsAccessRules::mapRequestPath(const std::string &bytes) const
{
    MappedPath mapped;
    if (bytes.find('\0') != std::string::npos) {
        mapped.status = FSO_STATUS_INVALID_PARAMETER;
        return mapped;
    }
    return mapRequestPath(QString::fromUtf8(bytes.data(), int(bytes.size())));
}

MappedPath VfsAccessRules::mapRequestPath(const QString &path) const
{
    MappedPath mapped;
    if (!isSharesPath(path)) {
        if (!cleanPath(path, &mapped.requested))
            mapped.status = FSO_STATUS_INVALID_PARAMETER;
        else
            mapped.local = mapped.requested;
        return mapped;
    }
    // "%shares/..." is cleaned as if "%shares" were the first part of an absolute path.
    QString cleaned;
    if (!cleanPath(QLatin1Char('/') + path, &cleaned)) {
        mapped.status = FSO_STATUS_INVALID_PARAMETER;
        return mapped;
    }
    mapped.requested = cleaned.mid(1);
    QStringList parts = mapped.requested.split(QLatin1Char('/'));
    parts.removeFirst();
    if (parts.isEmpty()) {
        mapped.sharesRoot = true;
        return mapped;
    }
    const QString uuid = parts.takeFirst();
    for (const PeerAclDto &entry : m_entries) {
        if (entry.uuid != uuid)
            continue;
        QString selector;
        if (!cleanPath(entry.selector, &selector))
            break;
        mapped.local = selector;
        for (const QString &part : parts)
            mapped.local = joinPath(mapped.local, part);
        return mapped;
    }
    mapped.status = FSO_STATUS_NOT_FOUND;
    return mapped;
}

std::uint8_t VfsAccessRules::check(const QString &localPath, std::uint32_t required,
                                   LinkMode mode, bool exactOnly, int *entryIndex) const
{
    if (entryIndex)
        *entryIndex = -1;
    if (m_local)
        return FSO_STATUS_SUCCESS;
    const int index = findAclEntry(m_entries, localPath, exactOnly);
    if (entryIndex)
        *entryIndex = index;
    if (index < 0)
        return FSO_STATUS_NOT_PERMITTED;
    const PeerAclDto &entry = m_entries[size_t(index)];
    if ((entry.flags & required) != required)
        return FSO_STATUS_NOT_PERMITTED;
    QString selector, realSelector, realPath;
    if (!cleanPath(entry.selector, &selector) || !systemRealPath(selector, &realSelector))
        return FSO_STATUS_NOT_PERMITTED;
    if (!resolveRealPath(localPath, mode == LinkMode::FollowLast, &realPath))
        return FSO_STATUS_NOT_PERMITTED;
    return isSameOrBelow(realSelector, realPath) ? FSO_STATUS_SUCCESS : FSO_STATUS_NOT_PERMITTED;
}

bool VfsAccessRules::insideEntry(const QString &localPath, const QString &real) const
{
    if (m_local)
        return true;
    const int index = findAclEntry(m_entries, localPath, false);
    if (index < 0)
        return false;
    QString selector, realSelector;
    if (!cleanPath(m_entries[size_t(index)].selector, &selector) || !systemRealPath(selector, &realSelector))
        return false;
    return isSameOrBelow(realSelector, real);
}

bool VfsAccessRules::descriptorInside(const QString &localPath, int fd) const
{
    if (m_local)
        return true;
    QString real;
    return descriptorPath(fd, &real) && insideEntry(localPath, real);
}

bool VfsAccessRules::entryInside(const QString &localPath, int dirFd, const QByteArray &name) const
{
    if (m_local)
        return true;
    QString real;
    if (!descriptorPath(dirFd, &real))
        return false;
    return insideEntry(localPath, joinPath(real, QFile::decodeName(name)));
}

bool VfsAccessRules::holdsShareRoot(const QString &localPath) const
{
    if (m_local)
        return false;
    QString real;
    const bool haveReal = resolveRealPath(localPath, false, &real);
    for (const PeerAclDto &entry : m_entries) {
        QString selector;
        if (!cleanPath(entry.selector, &selector))
            continue;
        if (isSameOrBelow(localPath, selector))
            return true;
        QString realSelector;
        if (haveReal && systemRealPath(selector, &realSelector) && isSameOrBelow(real, realSelector))
            return true;
    }
    return false;
}

bool VfsAccessRules::modeProtected(int fd) const
{
    if (m_local)
        return false;
    struct stat file;
    if (::fstat(fd, &file) != 0)
        return true; // cannot tell
    auto isTheFile = [&file](const QString &path) {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_dev == file.st_dev
               && st.st_ino == file.st_ino;
    };
    QStringList roots = PublishedShares::roots();
    for (const PeerAclDto &entry : m_entries) {
        QString selector;
        if (cleanPath(entry.selector, &selector) && !roots.contains(selector))
            roots.append(selector);
    }
    QSet<QString> foldersSeen;
    for (const QString &root : qAsConst(roots)) {
        if (isTheFile(root))
            return true;
        // The folders holding a root are those its real path passes through.
        QString real;
        if (!S_ISDIR(file.st_mode) || !systemRealPath(root, &real))
            continue;
        for (QString folder = real; folder != QLatin1String("/");) {
            folder = parentPath(folder);
            if (foldersSeen.contains(folder))
                break; // and all above it
            foldersSeen.insert(folder);
            if (isTheFile(folder))
                return true;
        }
    }
    return false;
}

bool VfsAccessRules::mayNotify(const QString &path) const
{
    if (m_local)
        return true;
    if (path == kShares || path == kDrives)
        return true;
    const MappedPath mapped = mapRequestPath(path);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return false;
    return findAclEntry(m_entries, mapped.local, false) >= 0;
}

QStringList VfsAccessRules::sharePathsOf(const QString &localPath) const
{
    QStringList paths;
    QString local;
    // The same coverage as a change told by the folder's own path.
    if (m_local || !cleanPath(localPath, &local) || findAclEntry(m_entries, local, false) < 0)
        return paths;
    for (const PeerAclDto &entry : m_entries) {
        QString selector;
        if ((entry.flags & AclDrive) || !cleanPath(entry.selector, &selector) || !isSameOrBelow(selector, local))
            continue;
        QString path = kShares + QLatin1Char('/') + entry.uuid;
        if (local != selector)
            path += selector == QLatin1String("/") ? local : local.mid(selector.size());
        // Only a name that leads back to this very folder (an odd uuid could lead elsewhere).
        const MappedPath mapped = mapRequestPath(path);
        if (mapped.status == FSO_STATUS_SUCCESS && mapped.local == local && !paths.contains(path))
            paths.append(path);
    }
    return paths;
}

namespace {

struct Publications
{
    std::mutex mutex;
    std::map<const PublishedShares *, QStringList> roots;
};

Publications &publications()
{
    static Publications all;
    return all;
}

} // namespace

PublishedShares::~PublishedShares()
{
    Publications &all = publications();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.roots.erase(this);
}

void PublishedShares::publish(const std::vector<PeerAclDto> &entries)
{
    QStringList roots;
    for (const PeerAclDto &entry : entries) {
        QString selector;
        if (cleanPath(entry.selector, &selector))
            roots.append(selector);
    }
    Publications &all = publications();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.roots[this] = roots;
}

QStringList PublishedShares::roots()
{
    QStringList roots;
    Publications &all = publications();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (const auto &published : all.roots)
        roots += published.second;
    roots.removeDuplicates();
    return roots;
}

} // namespace vfsaccess

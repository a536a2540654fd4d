#include "vfs/server/drives.h"

#include "app/base/log.h"
#include "com/termstream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

std::size_t driveRecordWireSize(const DriveCache &drive)
{
    const std::size_t u8Item = 2;  // tag + byte
    const std::size_t u64Item = 9; // tag + 8 bytes
    auto stringItem = [](const QByteArray &s) {
        return 1 + com::TermStreamWriter::lebSize(static_cast<std::uint32_t>(s.size()))
               + static_cast<std::size_t>(s.size());
    };
    return 4 * u8Item + 2 * u64Item + stringItem(drive.path) + stringItem(drive.name);
}

namespace drives {

namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// udev names its /dev/disk/by-* links with "\xHH" escapes for unsafe bytes.
QByteArray unescapeUdevName(const QByteArray &name)
{
    QByteArray out;
    out.reserve(name.size());
    for (int i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            const int hi = hexValue(name[i + 2]);
            const int lo = hexValue(name[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out.append(char(hi * 16 + lo));
                i += 3;
                continue;
            }
        }
        out.append(name[i]);
    }
    return out;
}

// Mount points and roots are raw bytes; the wire wants UTF-8. Valid UTF-8 stays as it is,
// anything else is read in the locale's file-name encoding.
QByteArray toUtf8Name(const QByteArray &raw)
{
    const QString decoded = QString::fromUtf8(raw);
    if (decoded.toUtf8() == raw)
        return raw;
    return QFile::decodeName(raw).toUtf8();
}

// Component-wise prefix test: "/a" holds "/a" and "/a/b" but not "/ab".
bool pathHolds(const QByteArray &dir, const QByteArray &path)
{
    if (dir == "/")
        return path.startsWith('/');
    if (!path.startsWith(dir))
        return false;
    return path.size() == dir.size() || path[dir.size()] == '/';
}

// System mount areas that never hold a user's drive; removable media mounted by udisks
// under /run/media stay visible.
bool isSystemMountPoint(const QByteArray &mountPoint)
{
    if (pathHolds("/run/media", mountPoint))
        return false;
    static const char *const hidden[] = {"/proc", "/sys", "/dev", "/run", "/snap"};
    for (const char *dir : hidden) {
        if (pathHolds(dir, mountPoint))
            return true;
    }
    return false;
}

bool splitDevice(const QByteArray &field, std::uint32_t *major, std::uint32_t *minor)
{
    const int colon = field.indexOf(':');
    if (colon <= 0)
        return false;
    bool okMajor = false;
    bool okMinor = false;
    *major = field.left(colon).toUInt(&okMajor);
    *minor = field.mid(colon + 1).toUInt(&okMinor);
    return okMajor && okMinor;
}

} // namespace

QByteArray unescapeMountField(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1])
            && isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8
                              + (field[i + 3] - '0');
            if (value > 0 && value < 256) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

std::vector<MountEntry> parseMountInfo(const QByteArray &text)
{
    std::vector<MountEntry> mounts;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        // Fields are separated by exactly one space (the kernel escapes any inside them), and
        // a field may be empty (a mount made with an empty source): collapsing runs of
        // spaces would shift the fields after it.
        const QList<QByteArray> fields = line.split(' ');
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        const int separator = fields.indexOf("-", 6);
        if (separator < 6 || separator + 2 >= fields.size())
            continue;
        MountEntry m;
        bool okId = false;
        bool okParent = false;
        m.mountId = fields[0].toInt(&okId);
        m.parentId = fields[1].toInt(&okParent);
        if (!okId || !okParent || !splitDevice(fields[2], &m.major, &m.minor))
            continue;
        m.root = unescapeMountField(fields[3]);
        m.mountPoint = unescapeMountField(fields[4]);
        m.fsType = unescapeMountField(fields[separator + 1]);
        m.source = unescapeMountField(fields[separator + 2]);
        if (!m.mountPoint.startsWith('/') || m.fsType.isEmpty())
            continue;
        mounts.push_back(m);
    }
    return mounts;
}

bool isPseudoFileSystem(const QByteArray &fsType)
{
    static const char *const pseudo[] = {
        "autofs",      "binfmt_misc",     "bpf",         "cgroup",      "cgroup2",
        "configfs",    "debugfs",         "devfs",       "devpts",      "devtmpfs",
        "efivarfs",    "fusectl",         "hugetlbfs",   "mqueue",      "nfsd",
        "nsfs",        "overlay",         "aufs",        "proc",        "pstore",
        "ramfs",       "rpc_pipefs",      "securityfs",  "selinuxfs",   "squashfs",
        "sysfs",       "tmpfs",           "tracefs",     "fuse.gvfsd-fuse",
        "fuse.portal", "fuse.lxcfs",      "fuse.snapfuse", "zonefs",
    };
    for (const char *name : pseudo) {
        if (fsType == name)
            return true;
    }
    return false;
}

bool isNetworkFileSystem(const QByteArray &fsType)
{
    static const char *const network[] = {
        "nfs",        "nfs4",          "cifs",          "smb3",        "smbfs",
        "ncpfs",      "afs",           "ceph",          "9p",          "glusterfs",
        "lustre",     "gpfs",          "sshfs",         "fuse.sshfs",  "fuse.glusterfs",
        "fuse.rclone", "fuse.s3fs",    "fuse.davfs",    "davfs",       "fuse.curlftpfs",
        "fuse.cephfs",
    };
    for (const char *name : network) {
        if (fsType == name)
            return true;
    }
    return false;
}

bool isOpticalFileSystem(const QByteArray &fsType)
{
    return fsType == "iso9660" || fsType == "udf";
}

MountEntry mountOfPath(const std::vector<MountEntry> &mounts, const QByteArray &path)
{
    MountEntry best;
    for (const MountEntry &m : mounts) {
        // Later entries with the same mount point cover earlier ones, hence ">=".
        if (pathHolds(m.mountPoint, path) && m.mountPoint.size() >= best.mountPoint.size())
            best = m;
    }
    return best;
}

std::vector<DriveCache> drivesFromMountInfo(const QByteArray &mountInfo, const DriveSystem &system)
{
    const std::vector<MountEntry> all = parseMountInfo(mountInfo);

    // Several mounts at one place: the one on top is the one no other mount there sits on
    // (a mount propagated in later may be tucked beneath an existing one); where the
    // parent links tell nothing, the later in the table is on top.
    QHash<QByteArray, QVector<int>> atPoint;
    for (int i = 0; i < int(all.size()); ++i)
        atPoint[all[std::size_t(i)].mountPoint].append(i);
    std::vector<bool> hidden(all.size(), false);
    for (auto it = atPoint.cbegin(); it != atPoint.cend(); ++it) {
        const QVector<int> &group = it.value();
        if (group.size() < 2)
            continue;
        int top = -1;
        for (int i : group) {
            const bool below = std::any_of(group.begin(), group.end(), [&](int j) {
                return j != i && all[std::size_t(j)].parentId == all[std::size_t(i)].mountId;
            });
            if (!below)
                top = i; // the last such in table order
        }
        if (top < 0)
            top = group.last();
        for (int i : group)
            hidden[std::size_t(i)] = i != top;
    }
    // Mounts inside a hidden one are unreachable as well.
    QHash<int, int> byId;
    for (int i = int(all.size()) - 1; i >= 0; --i)
        byId.insert(all[std::size_t(i)].mountId, i);
    std::vector<MountEntry> visible;
    for (std::size_t i = 0; i < all.size(); ++i) {
        bool unreachable = hidden[i];
        std::size_t current = i;
        // Bounded, as a malformed table may hold parent cycles.
        for (std::size_t steps = 0; !unreachable && steps < all.size(); ++steps) {
            const auto p = byId.constFind(all[current].parentId);
            if (p == byId.cend())
                break;
            const std::size_t parent = std::size_t(p.value());
            // A mount sitting on a hidden one at the same place is the one on top.
            unreachable = hidden[parent] && all[parent].mountPoint != all[current].mountPoint;
            current = parent;
        }
        if (!unreachable)
            visible.push_back(all[i]);
    }

    const MountEntry homeMount = mountOfPath(visible, system.homeDirectory());

    std::vector<const MountEntry *> ordered;
    for (const MountEntry &m : visible) {
        if (m.mountPoint == "/")
            ordered.insert(ordered.begin(), &m);
    }
    for (const MountEntry &m : visible) {
        if (m.mountPoint != "/" && m.mountId == homeMount.mountId && homeMount.mountId >= 0)
            ordered.push_back(&m);
    }
    for (const MountEntry &m : visible) {
        if (m.mountPoint != "/" && !(m.mountId == homeMount.mountId && homeMount.mountId >= 0))
            ordered.push_back(&m);
    }

    std::vector<const MountEntry *> kept;
    for (const MountEntry *m : ordered) {
        const bool isRoot = m->mountPoint == "/";
        if (!isRoot) {
            if (isPseudoFileSystem(m->fsType) || isSystemMountPoint(m->mountPoint))
                continue;
            // A bind mount shows a part of a file system that an earlier drive already shows.
            const bool duplicate = std::any_of(kept.begin(), kept.end(), [m](const MountEntry *k) {
                return k->major == m->major && k->minor == m->minor && pathHolds(k->root, m->root);
            });
            if (duplicate || !system.isDirectory(m->mountPoint))
                continue;
        }
        kept.push_back(m);
    }

    std::vector<DriveCache> result;
    result.reserve(kept.size());
    for (const MountEntry *m : kept) {
        DriveCache d;
        d.path = toUtf8Name(m->mountPoint);
        std::uint64_t total = 0;
        std::uint64_t available = 0;
        if (system.space(m->mountPoint, &total, &available)) {
            d.bytesTotal = total;
            d.bytesAvailable = available;
        }
        if (isNetworkFileSystem(m->fsType)) {
            d.type = DriveTypeNetwork;
            d.name = toUtf8Name(m->source);
        } else {
            d.type = (isOpticalFileSystem(m->fsType) || system.isRemovable(*m)) ? DriveTypeRemovable
                                                                               : DriveTypeFixed;
            d.name = toUtf8Name(system.label(*m));
        }
        logPrintf(LogVfs1, "VOL: %s (%s) type = %d, %llu/%llu", d.path.constData(),
                  d.name.constData(), int(d.type),
                  static_cast<unsigned long long>(d.bytesAvailable >> 20),
                  static_cast<unsigned long long>(d.bytesTotal >> 20));
        result.push_back(d);
    }
    return result;
}

// ---------------------------------------------------------------------------------------

namespace {

// The block device behind a mount; 0 when there is none (network and pseudo file systems,
// and btrfs, whose mountinfo numbers are anonymous, unless the source names the device).
dev_t blockDeviceOf(const MountEntry &m)
{
    if (m.source.startsWith("/dev/")) {
        struct stat st;
        if (::stat(m.source.constData(), &st) == 0 && S_ISBLK(st.st_mode))
            return st.st_rdev;
    }
    if (m.major != 0)
        return makedev(m.major, m.minor);
    return 0;
}

QByteArray readSmallFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(64).trimmed();
}

} // namespace

DriveSystem::~DriveSystem() = default;

namespace {

// How long a drive read waits for one mount to answer stat and statvfs.
constexpr int kProbeTimeoutMs = 2000;

// Never destroyed: a probe thread stuck in a dead mount may still reach it at exit.
struct BoundedRegistry
{
    std::mutex mutex;
    std::set<QByteArray> busy;
};

BoundedRegistry &boundedRegistry()
{
    static BoundedRegistry *registry = new BoundedRegistry;
    return *registry;
}

} // namespace

BoundedResult runBounded(const QByteArray &key, std::function<void()> work, int timeoutMs)
{
    BoundedRegistry &registry = boundedRegistry();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.busy.insert(key).second)
            return BoundedResult::Busy;
    }
    struct State
    {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    try {
        std::thread([state, key, work = std::move(work)] {
            work();
            {
                BoundedRegistry &r = boundedRegistry();
                std::lock_guard<std::mutex> lock(r.mutex);
                r.busy.erase(key);
            }
            std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            state->finished.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.busy.erase(key);
        return BoundedResult::TimedOut;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    const bool done = state->finished.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                [&state] { return state->done; });
    return done ? BoundedResult::Done : BoundedResult::TimedOut;
}

const DriveSystem::MountProbe &DriveSystem::probe(const QByteArray &mountPoint) const
{
    const auto known = m_probes.constFind(mountPoint);
    if (known != m_probes.cend())
        return known.value();
    // A hard network mount whose server is gone blocks stat and statvfs for good; the
    // drive is then listed with unknown sizes instead of holding up the whole list.
    auto answer = std::make_shared<MountProbe>();
    const BoundedResult result = runBounded(mountPoint, [answer, mountPoint] {
        struct stat st;
        answer->statOk = ::stat(mountPoint.constData(), &st) == 0;
        answer->isDirectory = answer->statOk && S_ISDIR(st.st_mode);
        struct statvfs vfs;
        std::memset(&vfs, 0, sizeof vfs);
        if (answer->statOk && ::statvfs(mountPoint.constData(), &vfs) == 0) {
            const std::uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
            answer->total = static_cast<std::uint64_t>(vfs.f_blocks) * unit;
            answer->available = static_cast<std::uint64_t>(vfs.f_bavail) * unit;
            answer->spaceOk = true;
        }
    }, kProbeTimeoutMs);
    MountProbe probe;
    if (result == BoundedResult::Done) {
        probe = *answer;
        probe.answered = true;
    } else {
        logPrintf(LogVfs1, "VOL: %s does not answer", mountPoint.constData());
    }
    return m_probes.insert(mountPoint, probe).value();
}

bool DriveSystem::space(const QByteArray &mountPoint, std::uint64_t *total,
                        std::uint64_t *available) const
{
    const MountProbe &p = probe(mountPoint);
    if (!p.spaceOk)
        return false;
    *total = p.total;
    *available = p.available;
    return true;
}

bool DriveSystem::isDirectory(const QByteArray &mountPoint) const
{
    // A mount that does not answer is still a drive, only one of unknown size.
    const MountProbe &p = probe(mountPoint);
    return !p.answered || p.isDirectory;
}

bool DriveSystem::isRemovable(const MountEntry &mount) const
{
    const dev_t dev = blockDeviceOf(mount);
    if (dev == 0)
        return false;
    const QString link = QStringLiteral("/sys/dev/block/%1:%2").arg(major(dev)).arg(minor(dev));
    QString device = QFileInfo(link).canonicalFilePath();
    if (device.isEmpty())
        return false;
    // A partition's flag lives on its disk.
    if (QFileInfo::exists(device + QStringLiteral("/partition")))
        device = QFileInfo(device).path();
    if (readSmallFile(device + QStringLiteral("/removable")) == "1")
        return true;
    // Many USB disks call themselves fixed; hanging off a USB bus makes them pluggable all the same.
    return device.contains(QStringLiteral("/usb"));
}

QByteArray DriveSystem::label(const MountEntry &mount) const
{
    const dev_t dev = blockDeviceOf(mount);
    if (dev == 0)
        return QByteArray();
    if (!m_labelsRead) {
        m_labelsRead = true;
        const QDir dir(QStringLiteral("/dev/disk/by-label"));
        const QStringList names = dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            struct stat st;
            const QByteArray link = QFile::encodeName(dir.filePath(name));
            if (::stat(link.constData(), &st) == 0 && S_ISBLK(st.st_mode))
                m_labels.insert(static_cast<quint64>(st.st_rdev), unescapeUdevName(QFile::encodeName(name)));
        }
    }
    return m_labels.value(static_cast<quint64>(dev));
}

QByteArray DriveSystem::homeDirectory() const
{
    return QFile::encodeName(QDir::homePath());
}

std::vector<DriveCache> readLocalDrives()
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly)) {
        logPrintf(LogErr1, "cannot read the mount table");
        return {};
    }
    const QByteArray text = file.readAll();
    DriveSystem system;
    return drivesFromMountInfo(text, system);
}

} // namespace drives

#include "vfs/server/vfsflushes.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/server/vfsjoblane.h"
#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsserverjobs.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Descriptors one flush on the pool takes on: the fsyncs of one SYNC go many at a time, a
// few such flushes side by side.
constexpr std::size_t kPartSize = 32;
// Flushes of one peer running at once; the flushes of all peers together leave a thread of
// the pool to everything else (VfsLaneGroup).
constexpr int kParallelFlushes = 4;

VfsLaneGroup &flushGroup()
{
    static VfsLaneGroup group;
    return group;
}

std::atomic<vfsflush::Trust> g_trust{vfsflush::Trust::ByType};

// File systems whose syncfs writes out every file's data and reports a write-back error of
// any of them. Nothing else is trusted to: FUSE passes it to no program at all, network file
// systems may not reach the server.
bool writtenOutBySyncfs(unsigned long type)
{
    switch (type) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0xF2F52010: // f2fs
    case 0x01021994: // tmpfs: nothing to write out
    case 0x858458F6: // ramfs
        return true;
    default:
        return false;
    }
}

int duplicate(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool fsyncOk(int fd)
{
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    // EINVAL: an object without anything to write out.
    return result == 0 || errno == EINVAL;
}

} // namespace

namespace vfsflush {

bool syncfsWritesOut(int fd)
{
    switch (g_trust.load()) {
    case Trust::Everywhere: return true;
    case Trust::Nowhere: return false;
    case Trust::ByType: break;
    }
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 && writtenOutBySyncfs((unsigned long)fs.f_type);
}

Identity identify(int fd)
{
    Identity identity;
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return identity;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.known = true;
    identity.ownFlush = !syncfsWritesOut(fd);
    return identity;
}

void setTrustForTests(Trust trust)
{
    g_trust = trust;
}

} // namespace vfsflush

// One flush on the pool: syncfs of a file system, fsync of descriptors, and whether the
// files whose write-back failed still have a name. It owns every descriptor it holds.
struct VfsFlushPart : VfsServerJob
{
    struct Entry
    {
        dev_t device = 0;
        ino_t inode = 0;
        int fd = -1;
    };

    ~VfsFlushPart() override
    {
        if (syncfsFd >= 0)
            ::close(syncfsFd);
        for (const Entry &e : entries)
            if (e.fd >= 0)
                ::close(e.fd);
        for (const Entry &e : checks)
            if (e.fd >= 0)
                ::close(e.fd);
    }

    void run() override
    {
        if (syncfsFd >= 0)
            syncfsFailed = !vfsserverfs::syncFileSystemOf(syncfsFd);
        failed.assign(entries.size(), false);
        for (std::size_t i = 0; i < entries.size(); ++i)
            failed[i] = !fsyncOk(entries[i].fd);
        gone.assign(checks.size(), false);
        for (std::size_t i = 0; i < checks.size(); ++i) {
            struct stat st;
            // A network or FUSE file system may no longer know a file that was removed.
            const bool told = ::fstat(checks[i].fd, &st) == 0;
            gone[i] = told ? st.st_nlink == 0 : errno == ESTALE || errno == ENOENT;
        }
        state = VfsServerJobReplyReady;
    }

    std::uint64_t serial = 0;
    dev_t device = 0;              // of syncfsFd
    int syncfsFd = -1;
    std::vector<Entry> entries;    // fsynced
    std::vector<Entry> checks;     // files whose write-back failed before
    // results
    bool syncfsFailed = false;
    std::vector<bool> failed;      // per entry
    std::vector<bool> gone;        // per check: no name leads to it any more
};

VfsFlushes::VfsFlushes(QObject *owner, VfsJobRunner &runner, std::function<void(std::vector<unsigned char> &&)> send,
                       std::function<void()> roomAgain)
    : m_lane(new VfsJobLane(runner, kParallelFlushes, flushGroup())), m_send(std::move(send)),
      m_roomAgain(std::move(roomAgain))
{
    m_clock.start();
    // A child of the server, so it goes to the server's thread with it.
    m_idle.setParent(owner);
    m_idle.setSingleShot(true);
    QObject::connect(&m_idle, &QTimer::timeout, owner, [this] { flushIdle(); });
}

VfsFlushes::~VfsFlushes()
{
    m_idle.stop();
    m_idle.setParent(nullptr);
    for (const Kept &k : m_kept)
        ::close(k.fd);
    for (const Failed &f : m_failed)
        ::close(f.fd);
    for (const auto &volume : m_volumes)
        if (volume.second.fd >= 0)
            ::close(volume.second.fd);
}

void VfsFlushes::beforeWrite(int dirFd)
{
    struct stat st;
    if (dirFd < 0 || ::fstat(dirFd, &st) != 0)
        return;
    // Written again: not idle.
    const auto known = m_volumes.find(st.st_dev);
    if (known != m_volumes.end()) {
        known->second.since = m_clock.elapsed();
        return;
    }
    Volume volume;
    volume.ownFlush = !vfsflush::syncfsWritesOut(dirFd);
    if (!volume.ownFlush)
        volume.fd = duplicate(dirFd);
    volume.since = m_clock.elapsed();
    m_volumes[st.st_dev] = volume;
    armIdle();
}

void VfsFlushes::setIdleTime(int ms)
{
    m_idleMs = std::max(1, ms);
}

void VfsFlushes::armIdle()
{
    if (!m_idle.isActive())
        m_idle.start(m_idleMs);
}

void VfsFlushes::flushIdle()
{
    const qint64 now = m_clock.elapsed();
    auto idle = [&](qint64 since) { return now - since >= m_idleMs; };
    std::vector<Kept> due;
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        if (it->writer.expired() && idle(it->since)) {
            due.push_back(std::move(*it));
            it = m_kept.erase(it);
        } else {
            ++it;
        }
    }
    startParts(std::move(due), {}, -1);
    for (auto it = m_volumes.begin(); it != m_volumes.end();) {
        if (!idle(it->second.since)) {
            ++it;
            continue;
        }
        if (it->second.fd >= 0)
            startParts({}, {}, it->second.fd);
        it = m_volumes.erase(it);
    }
    if (!m_kept.empty() || !m_volumes.empty())
        m_idle.start(m_idleMs);
}

void VfsFlushes::keepFile(int fd, const vfsflush::Identity &identity, const std::weak_ptr<VfsOpenFile> &writer)
{
    keep(fd, identity, writer);
}

void VfsFlushes::keepFolder(int dirFd, const vfsflush::Identity &identity)
{
    keep(dirFd, identity, {});
}

void VfsFlushes::keep(int fd, const vfsflush::Identity &identity, const std::weak_ptr<VfsOpenFile> &writer)
{
    // A file that could not even be looked at lies on a file system that is gone, whose
    // writes failed.
    if (fd < 0 || !identity.known || !identity.ownFlush)
        return;
    for (Kept &k : m_kept) {
        if (k.device == identity.device && k.inode == identity.inode) {
            if (!writer.expired())
                k.writer = writer;
            k.since = m_clock.elapsed();
            return;
        }
    }
    Kept k;
    k.fd = duplicate(fd);
    if (k.fd < 0) {
        // Nothing to flush it through later: the file system counts as failed.
        logPrintf(LogVsrv, "no descriptor to flush a written file: %s", std::strerror(errno));
        m_failedVolumes.insert(identity.device);
        return;
    }
    k.device = identity.device;
    k.inode = identity.inode;
    k.writer = writer;
    k.since = m_clock.elapsed();
    m_kept.push_back(std::move(k));
    armIdle();
    flushEarlyIfDue();
}

std::size_t VfsFlushes::eligibleCount() const
{
    return std::size_t(std::count_if(m_kept.begin(), m_kept.end(), [](const Kept &k) { return k.writer.expired(); }));
}

std::size_t VfsFlushes::inFlight() const
{
    std::size_t n = 0;
    for (const auto &part : m_running)
        n += part->entries.size();
    return n;
}

bool VfsFlushes::full()
{
    if (eligibleCount() + inFlight() < kMaxKept)
        return false;
    m_saidFull = true;
    return true;
}

void VfsFlushes::flushEarlyIfDue()
{
    if (eligibleCount() < kFlushEarlyAt)
        return;
    std::vector<Kept> early;
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        if (it->writer.expired()) {
            early.push_back(std::move(*it));
            it = m_kept.erase(it);
        } else {
            ++it;
        }
    }
    startParts(std::move(early), {}, -1);
}

void VfsFlushes::sync(std::uint16_t trId, int dirFd)
{
    struct stat st;
    if (m_waiting.size() >= kMaxWaitingSyncs || ::fstat(dirFd, &st) != 0) {
        ::close(dirFd);
        std::vector<unsigned char> reply;
        fsoreply::status(reply, FSO_SYNC_REPLY, trId, FSO_STATUS_IO_ERROR);
        m_send(std::move(reply));
        return;
    }
    const dev_t device = st.st_dev;
    // Through the descriptor kept since the first write, which any error since was reported
    // to; without writes since the last flush, through the folder.
    int syncfsFd = -1;
    const auto volume = m_volumes.find(device);
    const int kept = volume != m_volumes.end() ? volume->second.fd : -1;
    if (volume != m_volumes.end())
        m_volumes.erase(volume);
    if (vfsflush::syncfsWritesOut(dirFd)) {
        syncfsFd = kept >= 0 ? kept : dirFd;
        if (syncfsFd != dirFd)
            ::close(dirFd);
    } else {
        ::close(dirFd);
        if (kept >= 0)
            ::close(kept);
    }
    // Each file of the file system the peer keeps; one still open may be written again, so it
    // stays kept and a copy of its descriptor is flushed.
    std::vector<Kept> flushed;
    for (auto it = m_kept.begin(); it != m_kept.end();) {
        if (it->device != device) {
            ++it;
        } else if (it->writer.expired()) {
            flushed.push_back(std::move(*it));
            it = m_kept.erase(it);
        } else {
            Kept copy = *it;
            copy.fd = duplicate(it->fd);
            if (copy.fd >= 0)
                flushed.push_back(std::move(copy));
            else
                m_failedVolumes.insert(device);
            ++it;
        }
    }
    std::vector<Failed> checks;
    for (const Failed &f : m_failed) {
        if (f.device != device)
            continue;
        Failed check = f;
        check.fd = duplicate(f.fd);
        if (check.fd >= 0)
            checks.push_back(check);
    }
    startParts(std::move(flushed), std::move(checks), syncfsFd);
    m_waiting.push_back({trId, device, m_nextSerial - 1});
    answerReadySyncs();
}

void VfsFlushes::startParts(std::vector<Kept> entries, std::vector<Failed> checks, int syncfsFd)
{
    std::size_t at = 0;
    bool first = true;
    while (first || at < entries.size()) {
        std::unique_ptr<VfsFlushPart> part(new VfsFlushPart);
        part->serial = m_nextSerial++;
        if (first) {
            part->syncfsFd = syncfsFd;
            for (const Failed &f : checks)
                part->checks.push_back({f.device, f.inode, f.fd});
            if (syncfsFd >= 0) {
                struct stat st;
                part->device = ::fstat(syncfsFd, &st) == 0 ? st.st_dev : 0;
            }
        }
        first = false;
        const std::size_t end = std::min(entries.size(), at + kPartSize);
        for (; at < end; ++at)
            part->entries.push_back({entries[at].device, entries[at].inode, entries[at].fd});
        if (part->syncfsFd < 0 && part->entries.empty() && part->checks.empty()) {
            // Nothing to do: no flush, and no serial to wait for.
            --m_nextSerial;
            return;
        }
        VfsFlushPart *raw = part.get();
        raw->ended = [this, raw] { partEnded(raw); };
        raw->state = VfsServerJobRunning;
        m_running.push_back(std::move(part));
        m_lane->add(raw);
    }
}

void VfsFlushes::partEnded(VfsFlushPart *part)
{
    const auto it = std::find_if(m_running.begin(), m_running.end(), [part](const auto &p) { return p.get() == part; });
    if (it == m_running.end())
        return;
    std::unique_ptr<VfsFlushPart> owned = std::move(*it);
    m_running.erase(it);
    if (part->syncfsFailed) {
        logPrintf(LogVsrv, "a file system reported a write-back error to its flush");
        m_failedVolumes.insert(part->device);
    }
    for (std::size_t i = 0; i < part->entries.size(); ++i) {
        if (!part->failed[i])
            continue;
        VfsFlushPart::Entry &e = part->entries[i];
        noteFailure({e.device, e.inode, e.fd, {}});
        e.fd = -1; // kept as failed, or closed there
    }
    for (std::size_t i = 0; i < part->checks.size(); ++i) {
        if (!part->gone[i])
            continue;
        const VfsFlushPart::Entry &c = part->checks[i];
        const auto failed = std::find_if(m_failed.begin(), m_failed.end(), [&c](const Failed &f) {
            return f.device == c.device && f.inode == c.inode;
        });
        if (failed != m_failed.end()) {
            ::close(failed->fd);
            m_failed.erase(failed);
        }
    }
    owned.reset();
    answerReadySyncs();
    if (m_saidFull && !full()) {
        m_saidFull = false;
        m_roomAgain();
    }
}

void VfsFlushes::noteFailure(const Kept &entry)
{
    logPrintf(LogVsrv, "write-back of a written file failed");
    const bool known = std::any_of(m_failed.begin(), m_failed.end(), [&entry](const Failed &f) {
        return f.device == entry.device && f.inode == entry.inode;
    });
    if (known || m_failed.size() >= kMaxFailed) {
        // Past the bound the failure is the file system's: every later SYNC there fails.
        if (!known)
            m_failedVolumes.insert(entry.device);
        ::close(entry.fd);
        return;
    }
    m_failed.push_back({entry.device, entry.inode, entry.fd});
}

bool VfsFlushes::failedOn(dev_t device) const
{
    return m_failedVolumes.count(device) > 0
           || std::any_of(m_failed.begin(), m_failed.end(), [device](const Failed &f) { return f.device == device; });
}

void VfsFlushes::answerReadySyncs()
{
    std::uint64_t oldestRunning = ~std::uint64_t(0);
    for (const auto &part : m_running)
        oldestRunning = std::min(oldestRunning, part->serial);
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->last >= oldestRunning) {
            ++it;
            continue;
        }
        std::vector<unsigned char> reply;
        fsoreply::status(reply, FSO_SYNC_REPLY, it->trId, failedOn(it->device) ? FSO_STATUS_IO_ERROR : FSO_STATUS_SUCCESS);
        m_send(std::move(reply));
        it = m_waiting.erase(it);
    }
}

#include "vfs/server/versionguard.h"

#include "app/base/log.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/setaside.h"
#include "vfs/server/versionlinger.h"

#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace versionguard {

namespace {

// The kernel tells the holder of a lease that someone wants the file by a signal. SIGIO, the
// default, ends a program that does not handle it; SIGURG is ignored unless handled. The
// lease is asked about instead (F_GETLEASE), so the signal itself is never needed.
constexpr int kLeaseBreakSignal = SIGURG;

// How long a delete waits after the unlink for a program that reached the file meanwhile to
// let go of it. An in-place save takes milliseconds; of a program that keeps the file open
// longer, what it wrote by then is named again, and what it writes later has no name.
constexpr std::chrono::milliseconds kWriterWait(5000);

std::chrono::milliseconds g_writerWait = kWriterWait;
long g_fileSystemTypeForTests = 0;
std::function<void(Step)> g_stepHook;

void step(Step at)
{
    if (g_stepHook)
        g_stepHook(at);
}

void waitingForWriters()
{
    step(Step::WaitingForWriters);
}

bool leaseBreakSignalIgnored()
{
    struct sigaction current;
    return ::sigaction(kLeaseBreakSignal, nullptr, &current) == 0
           && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) && !(current.sa_flags & SA_SIGINFO);
}

// Whether this thread may lease a file of `owner`: its own, or any with CAP_LEASE.
bool mayLease(uid_t owner)
{
    if (owner == ::geteuid())
        return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return ::syscall(SYS_capget, &header, data) == 0
           && (data[CAP_LEASE / 32].effective & (1U << (CAP_LEASE % 32))) != 0;
}

std::int64_t nanoseconds(const timespec &t)
{
    return std::int64_t(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// File systems whose files are served by another machine or program (network shares, FUSE):
// `fd` is any descriptor on it. The kernel leases none of their files, and the EAGAIN it
// refuses with would read as a local writer: every versioned delete there would answer that
// the file changed.
bool servedElsewhere(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    const long type = g_fileSystemTypeForTests ? g_fileSystemTypeForTests : long(fs.f_type);
    switch (static_cast<unsigned long>(type) & 0xFFFFFFFFUL) {
    case 0x6969:     // NFS
    case 0x517B:     // SMB
    case 0xFF534D42: // CIFS
    case 0xFE534D42: // SMB2
    case 0x65735546: // FUSE (also fuseblk)
    case 0x01021997: // 9P
    case 0x00C36400: // Ceph
    case 0x5346414F: // AFS
    case 0x6B414653: // kAFS
    case 0x73757245: // Coda
    case 0x564C:     // NCP
        return true;
    default:
        return false;
    }
}

enum class Lease { Taken, Writer, Unavailable };

// A read lease on the regular file open for reading as `fd`. Its own file system is asked
// again: a file mounted over the name may live on another one than its folder.
Lease takeReadLease(int fd)
{
    if (servedElsewhere(fd))
        return Lease::Unavailable;
    if (::fcntl(fd, F_SETSIG, kLeaseBreakSignal) == 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        return Lease::Taken;
    return errno == EAGAIN ? Lease::Writer : Lease::Unavailable;
}

bool copyBytes(int from, int to)
{
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer + done, std::size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

// The new file open as `fd`, complete, named `name` of `dirFd`, or numbered beside it when a
// newer file took that name meanwhile; made without a name (`hidden` empty) it is linked,
// else renamed from `hidden`. The name it got, empty when none.
QByteArray nameNewFile(int dirFd, const QByteArray &name, int fd, const QByteArray &hidden)
{
    if (!hidden.isEmpty())
        return setaside::putBack(dirFd, hidden, dirFd, name);
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const QByteArray candidate = setaside::numberedName(name, attempt, NAME_MAX);
        if (::linkat(AT_FDCWD, self.constData(), dirFd, candidate.constData(), AT_SYMLINK_FOLLOW) == 0)
            return candidate;
        if (errno != EEXIST)
            break;
    }
    return QByteArray();
}

} // namespace

// The copy carries no name until it is complete, so no half of it ever looks like the file.
QByteArray nameAgain(int dirFd, const QByteArray &name, int heldFd)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(heldFd);
    const int from = ::open(self.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (from < 0 || ::fstat(from, &st) != 0) {
        if (from >= 0)
            ::close(from);
        return QByteArray();
    }
    QByteArray hidden;
    int to = ::openat(dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    if (to < 0 && errno != ENOSPC && errno != EDQUOT) {
        // A file system without unnamed files: a private name until it is complete.
        hidden = ".nusk-keeping-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        to = ::openat(dirFd, hidden.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    QByteArray named;
    const bool complete = to >= 0 && copyBytes(from, to);
    if (complete) {
        // Mode and times as the file had them: wanted, not a condition (a file system that
        // keeps no modes refuses them, and the bytes are what matters).
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(to, st.st_mode & 0777) != 0 || ::futimens(to, times) != 0)
            logPrintf(LogVsrv, "%s is kept without its mode or times: %s", name.constData(), std::strerror(errno));
        named = nameNewFile(dirFd, name, to, hidden);
    }
    const int error = errno;
    // A complete copy that found no name stays under the private one (logged by putBack).
    if (!complete && !hidden.isEmpty() && to >= 0)
        ::unlinkat(dirFd, hidden.constData(), 0);
    if (to >= 0)
        ::close(to);
    ::close(from);
    errno = error;
    return named;
}

HeldVersion::HeldVersion(int dirFd, const QByteArray &name, const Version &version)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        m_status = errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
        return;
    }
    // Opened (for reading) only to be leased. Anything else is held by its path alone: a link
    // or a pipe, as opening it could follow it or wake the program at its other end; and a
    // file no lease will be taken on, whose open would cost a request on a network or FUSE
    // file system and would start breaking another program's lease.
    const bool local = S_ISREG(st.st_mode) && !servedElsewhere(dirFd);
    if (local && leaseBreakSignalIgnored() && mayLease(st.st_uid)) {
        m_fd = ::openat(dirFd, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        // Non-blocking: the open would wait for a lease another program holds to write.
        if (m_fd < 0 && errno == EWOULDBLOCK) {
            m_status = FSO_STATUS_CHANGED;
            return;
        }
        const Lease lease = m_fd < 0 ? Lease::Unavailable : takeReadLease(m_fd);
        if (lease == Lease::Writer) {
            m_status = FSO_STATUS_CHANGED;
            return;
        }
        m_leased = lease == Lease::Taken;
    }
    if (m_fd < 0)
        m_fd = ::openat(dirFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    // Watched from before the look below, so that nothing done after it goes unseen.
    if (m_fd >= 0 && local && !m_leased)
        m_watch.start(m_fd);
    // Looked at once the lease or the watch is there: whatever writes after this look breaks
    // the one or shows in the other. A name swapped meanwhile shows another inode.
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        m_status = errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
        return;
    }
    // A file rewritten since the caller looked (whatever its times say) has another change time.
    // A folder is never the version, whatever its stamp: its change time says nothing of what
    // it holds.
    if (S_ISDIR(st.st_mode) || nanoseconds(st.st_ctim) != version.changeNs || st.st_ino != version.inode) {
        m_status = FSO_STATUS_CHANGED;
        return;
    }
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_size = st.st_size;
    m_modifyNs = nanoseconds(st.st_mtim);
}

HeldVersion::~HeldVersion()
{
    if (m_fd < 0)
        return;
    // Let go explicitly: a child forked meanwhile shares the descriptor, and with it the lease.
    if (m_leased)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    ::close(m_fd);
}

bool HeldVersion::isIntact(int dirFd, const QByteArray &name) const
{
    struct stat now;
    if (m_status != 0 || ::fstatat(dirFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (now.st_dev != m_device || now.st_ino != m_inode || now.st_size != m_size
        || nanoseconds(now.st_mtim) != m_modifyNs)
        return false;
    // A lease being broken reads as going to F_UNLCK: a writer waits to open the file.
    if (m_leased)
        return ::fcntl(m_fd, F_GETLEASE) == F_RDLCK;
    // Unleased, an opener may be a writer that has not written yet.
    const VersionWatch::Use use = m_watch.look();
    return !use.reached() && !use.attributes;
}

std::uint8_t HeldVersion::keepWhatReachedIt(int dirFd, const QByteArray &name)
{
    step(Step::Unlinked);
    // A writer that looked the name up before it was moved aside and reached the lease after
    // the last look waits for it: let go, it opens the file that has no name now. The watch
    // comes first, so that its open is seen.
    const bool writerWaits = m_leased && ::fcntl(m_fd, F_GETLEASE) != F_RDLCK;
    if (writerWaits) {
        m_watch.start(m_fd);
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
        m_leased = false;
    }
    // Readers that came and went leave nothing to keep. The unlink's own change of the number
    // of names shows as a change of attributes, which says nothing of the bytes.
    const VersionWatch::Use use = m_watch.settle(writerWaits, std::chrono::steady_clock::now() + g_writerWait,
                                                 waitingForWriters);
    if (!writerWaits && !use.written && !use.writerClosed && !use.overflowed && use.opens <= use.closes)
        return FSO_STATUS_SUCCESS;
    const QByteArray now = nameAgain(dirFd, name, m_fd);
    if (now.isEmpty()) {
        logPrintf(LogVsrv, "%s was written while it was deleted and could not be kept: %s", name.constData(),
                  std::strerror(errno));
        return FSO_STATUS_IO_ERROR;
    }
    logPrintf(LogVsrv, "%s was written while it was deleted: kept as %s", name.constData(), now.constData());
    return FSO_STATUS_CHANGED;
}

LingeringFiles::Kept HeldVersion::linger(setaside::SetAside &aside)
{
    // Only what is leased or watched: of anything else no later write would be seen.
    if (m_status != 0 || (!m_leased && !m_watch.watching()))
        return LingeringFiles::Kept::No;
    step(Step::HandingOver);
    return LingeringFiles::keep(m_fd, m_leased, m_watch.watching() ? &m_watch : nullptr, aside);
}

std::uint8_t unlinkVersion(int dirFd, const QByteArray &name, const Version &version)
{
    HeldVersion held(dirFd, name, version);
    if (held.status() != FSO_STATUS_SUCCESS)
        return held.status();
    // Put back, if at all, while the version is still held: a writer waiting on the lease
    // opens the file only once it has its name again.
    setaside::SetAside aside;
    if (!aside.take(dirFd, name))
        return errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
    if (!held.isIntact(aside.folder(), aside.name())) {
        // Saved over or into after the check: the newer version keeps its name.
        aside.putBack();
        return FSO_STATUS_CHANGED;
    }
    // A program that has had the file open since before the check (where it is watched, not
    // leased), or that reaches it only once the lease is gone, is unseen until it acts, and
    // may write it yet: the file lingers a moment under the name it has now, watched, and
    // gets its name back when written (versionlinger.h).
    switch (held.linger(aside)) {
    case LingeringFiles::Kept::Lingering:
        return FSO_STATUS_SUCCESS;
    case LingeringFiles::Kept::Reached:
        aside.putBack();
        return FSO_STATUS_CHANGED;
    case LingeringFiles::Kept::No:
        break;
    }
    if (!aside.remove()) {
        aside.putBack();
        return FSO_STATUS_IO_ERROR;
    }
    // A program that looked the name up before it was moved, and reached the file only after
    // the look above, has it still: the kernel finds a file by its name before it breaks a
    // lease or tells a watch.
    return held.keepWhatReachedIt(dirFd, name);
}

void setFileSystemTypeForTests(long type)
{
    g_fileSystemTypeForTests = type;
}

void setStepHookForTests(std::function<void(Step)> hook)
{
    g_stepHook = std::move(hook);
}

void setWriterWaitForTests(std::chrono::milliseconds wait)
{
    g_writerWait = wait.count() < 0 ? kWriterWait : wait;
}

} // namespace versionguard

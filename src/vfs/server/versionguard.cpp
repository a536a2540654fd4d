#include "vfs/server/versionguard.h"

#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/setaside.h"

#include <cerrno>
#include <csignal>
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

long g_fileSystemTypeForTests = 0;

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

} // namespace

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
    // Looked at once the lease is there: whatever writes after this look breaks it. A name
    // swapped meanwhile shows another inode.
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
    return !m_leased || ::fcntl(m_fd, F_GETLEASE) == F_RDLCK;
}

std::uint8_t unlinkVersion(int dirFd, const QByteArray &name, const Version &version)
{
    const HeldVersion held(dirFd, name, version);
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
    // A writer that looked the name up before it was moved, and reaches the lease only after
    // the look above, opens the file once it is unlinked: a window of a few system calls that
    // a lease cannot close, as the kernel finds a file by its name before it breaks a lease.
    if (!aside.remove()) {
        aside.putBack();
        return FSO_STATUS_IO_ERROR;
    }
    return FSO_STATUS_SUCCESS;
}

void setFileSystemTypeForTests(long type)
{
    g_fileSystemTypeForTests = type;
}

} // namespace versionguard

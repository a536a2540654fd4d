#include "vfs/server/vfsopenfiles.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

VfsOpenFile::~VfsOpenFile()
{
    if (fd >= 0)
        ::close(fd);
}

std::uint16_t VfsOpenFileTable::add(const VfsOpenFilePtr &file)
{
    if (isFull() || !file)
        return 0;
    // At most 256 handles are taken, so a free number turns up within 257 steps.
    std::uint16_t candidate = m_lastHandle;
    for (;;) {
        candidate = candidate == 0xFFFF ? 1 : std::uint16_t(candidate + 1);
        if (!find(candidate))
            break;
    }
    m_lastHandle = candidate;
    file->handle = candidate;
    m_files.push_back(file);
    return candidate;
}

VfsOpenFilePtr VfsOpenFileTable::find(std::uint16_t handle) const
{
    if (handle == 0)
        return nullptr;
    for (const VfsOpenFilePtr &file : m_files) {
        if (file->handle == handle)
            return file;
    }
    return nullptr;
}

VfsOpenFilePtr VfsOpenFileTable::take(std::uint16_t handle)
{
    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
        if ((*it)->handle == handle) {
            VfsOpenFilePtr file = *it;
            m_files.erase(it);
            return file;
        }
    }
    return nullptr;
}

bool VfsOpenFileTable::remove(const VfsOpenFilePtr &file)
{
    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
        if (*it == file) {
            m_files.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<VfsOpenFilePtr> VfsOpenFileTable::takeAll()
{
    std::vector<VfsOpenFilePtr> all;
    all.swap(m_files);
    return all;
}

namespace vfsfiles {

namespace {

struct Claims
{
    std::mutex mutex;
    std::map<std::pair<dev_t, ino_t>, const void *> holders;
};

Claims &claims()
{
    static Claims all;
    return all;
}

} // namespace

std::unique_ptr<WriteClaim> WriteClaim::take(dev_t device, ino_t inode, const void *server)
{
    Claims &all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    if (!all.holders.emplace(std::make_pair(device, inode), server).second)
        return nullptr;
    return std::unique_ptr<WriteClaim>(new WriteClaim(device, inode));
}

const void *WriteClaim::holder(dev_t device, ino_t inode)
{
    Claims &all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    const auto it = all.holders.find(std::make_pair(device, inode));
    return it == all.holders.end() ? nullptr : it->second;
}

WriteClaim::~WriteClaim()
{
    Claims &all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.holders.erase(std::make_pair(m_device, m_inode));
}

namespace {

int openAt(int dirFd, const char *name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dirFd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

OpenResult openRegularFileAt(int dirFd, const QByteArray &name, bool read, bool write, bool exclusive,
                             bool mayCreate, bool followDanglingLink, int *fd, bool *created, int *error)
{
    *fd = -1;
    *created = false;
    *error = 0;
    if (name.isEmpty() || name.contains('/') || name == "." || name == "..") {
        *error = EINVAL;
        return OpenResult::Failed;
    }
    struct stat st;
    const bool exists = ::fstatat(dirFd, name.constData(), &st, 0) == 0;
    const int statError = errno;
    if (exists && exclusive)
        return OpenResult::Exists;
    if (exists && !S_ISREG(st.st_mode))
        return OpenResult::NotRegular;
    if (!exists && !write) {
        *error = statError;
        return statError == ENOENT ? OpenResult::NotFound : OpenResult::Failed;
    }

    // O_NONBLOCK keeps a FIFO that turned up since the stat above from blocking; the fstat
    // below refuses it.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (read && write)
        flags |= O_RDWR;
    else if (write)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    constexpr mode_t kCreateMode = 0644;
    int descriptor = exclusive ? -1 : openAt(dirFd, name.constData(), flags);
    if (descriptor < 0 && (exclusive || errno == ENOENT) && write) {
        if (!mayCreate) {
            *error = EACCES;
            return OpenResult::Failed;
        }
        // O_EXCL never follows a link: what is made is a new file right here.
        descriptor = openAt(dirFd, name.constData(), flags | O_CREAT | O_EXCL, kCreateMode);
        if (descriptor >= 0)
            *created = true;
        else if (errno == EEXIST && !exclusive && followDanglingLink)
            descriptor = openAt(dirFd, name.constData(), flags | O_CREAT, kCreateMode);
    }
    if (descriptor < 0) {
        *error = errno;
        if (errno == EEXIST)
            return exclusive ? OpenResult::Exists : OpenResult::Failed;
        if (errno == ENOENT && !write)
            return OpenResult::NotFound;
        return OpenResult::Failed;
    }
    if (::fstat(descriptor, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(descriptor);
        return OpenResult::NotRegular;
    }
    const int current = ::fcntl(descriptor, F_GETFL);
    if (current >= 0)
        ::fcntl(descriptor, F_SETFL, current & ~O_NONBLOCK);
    *fd = descriptor;
    return OpenResult::Opened;
}

int closeOpenFile(VfsOpenFile &file, bool applyTimes)
{
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.fd < 0)
        return 0;
    int result = 0;
    if (applyTimes && (file.accessTime > 0 || file.modifyTime > 0))
        result = vfsfiles::applyFileTimes(file.fd, file.accessTime, file.modifyTime);
    // Wanted, not a condition: a file system that keeps no modes (FAT) refuses it.
    if (applyTimes && file.permissions >= 0)
        vfsfiles::applyPermissions(file.fd, file.permissions);
    const bool closed = ::close(file.fd) == 0;
    file.fd = -1;
    file.writeClaim.reset();
    return closed ? result : kCloseFailed;
}

long long freeSpace(int fd)
{
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0)
        return -1;
    return (long long)vfs.f_bavail * (long long)vfs.f_frsize;
}

namespace {

timespec toTimespec(std::int64_t ms)
{
    timespec ts;
    if (ms <= 0) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    ts.tv_sec = time_t(ms / 1000);
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    return ts;
}

} // namespace

int applyFileTimes(const QString &path, std::int64_t accessTime, std::int64_t modifyTime)
{
    if (path.isEmpty())
        return -1;
    const timespec times[2] = {toTimespec(accessTime), toTimespec(modifyTime)};
    const QByteArray native = QFile::encodeName(path);
    return ::utimensat(AT_FDCWD, native.constData(), times, 0) == 0 ? 0 : -2;
}

int applyFileTimes(int fd, std::int64_t accessTime, std::int64_t modifyTime)
{
    const timespec times[2] = {toTimespec(accessTime), toTimespec(modifyTime)};
    return ::futimens(fd, times) == 0 ? 0 : -2;
}

unsigned userUmask()
{
    // Read for every file a copy makes: plain calls, three of them, rather than a QFile's
    // dozen.
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 022;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer) - 1);
    ::close(fd);
    if (n <= 0)
        return 022;
    buffer[n] = '\0';
    const char *line = std::strstr(buffer, "\nUmask:");
    if (!line)
        return 022;
    char *end = nullptr;
    const unsigned long mask = std::strtoul(line + 7, &end, 8);
    return end != line + 7 ? unsigned(mask) & 0777 : 022;
}

namespace {

mode_t copiedMode(int bits)
{
    return mode_t(bits & 0777 & ~userUmask());
}

} // namespace

int applyPermissions(int fd, int bits)
{
    return ::fchmod(fd, copiedMode(bits)) == 0 ? 0 : -1;
}

int applyPermissions(const QString &path, int bits)
{
    return ::chmod(QFile::encodeName(path).constData(), copiedMode(bits)) == 0 ? 0 : -1;
}

long long readFully(int fd, void *buffer, std::size_t size, std::uint64_t offset)
{
    std::size_t done = 0;
    auto *out = static_cast<unsigned char *>(buffer);
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return (long long)done;
}

std::size_t writeCounted(int fd, const void *buffer, std::size_t size, std::uint64_t offset, int *error)
{
    std::size_t done = 0;
    *error = 0;
    const auto *in = static_cast<const unsigned char *>(buffer);
    while (done < size) {
        const ssize_t n = ::pwrite(fd, in + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += std::size_t(n);
    }
    return done;
}

long long writeFully(int fd, const void *buffer, std::size_t size, std::uint64_t offset)
{
    std::size_t done = 0;
    const auto *in = static_cast<const unsigned char *>(buffer);
    while (done < size) {
        const ssize_t n = ::pwrite(fd, in + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return -1;
        done += std::size_t(n);
    }
    return (long long)done;
}

} // namespace vfsfiles

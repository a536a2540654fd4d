#include "vfs/vfsopenfiles.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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

OpenResult openRegularFile(const QString &path, bool read, bool write, bool exclusive,
                           int *fd, int *error)
{
    *fd = -1;
    *error = 0;
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    const bool exists = ::stat(native.constData(), &st) == 0;
    if (exists && exclusive)
        return OpenResult::Exists;
    if (exists && !S_ISREG(st.st_mode))
        return OpenResult::NotRegular;
    if (!exists && !write) {
        *error = errno;
        return errno == ENOENT ? OpenResult::NotFound : OpenResult::Failed;
    }

    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (read && write)
        flags |= O_RDWR | O_CREAT;
    else if (write)
        flags |= O_WRONLY | O_CREAT;
    else
        flags |= O_RDONLY;
    if (write && exclusive)
        flags |= O_EXCL;
    // The path may have changed since the stat above; O_NONBLOCK keeps a FIFO that turned
    // up meanwhile from blocking, and the fstat below refuses it.
    int descriptor;
    do {
        descriptor = ::open(native.constData(), flags, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        *error = errno;
        if (errno == EEXIST)
            return OpenResult::Exists;
        if (errno == ENOENT && !write)
            return OpenResult::NotFound;
        return OpenResult::Failed;
    }
    if (::fstat(descriptor, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(descriptor);
        return OpenResult::NotRegular;
    }
    // A write-only open empties the file, like opening it for writing always has; only
    // after the check above, so nothing but a regular file is ever truncated.
    if (write && !read && ::ftruncate(descriptor, 0) != 0) {
        *error = errno;
        ::close(descriptor);
        return OpenResult::Failed;
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
    ::close(file.fd);
    file.fd = -1;
    return result;
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

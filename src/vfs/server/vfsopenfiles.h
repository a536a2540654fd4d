#pragma once

// The files one peer holds open on this computer, and the small file-system helpers the
// server uses around them.
//
// The table is changed only on the server's thread. A worker on the thread pool never
// looks a handle up: the server resolves it and hands the worker shared ownership of the
// record, so a CLOSE_FILE that overtakes a queued READ_FILE leaves the worker a closed
// record (fd -1) instead of a freed one. The record's mutex guards its descriptor, its
// idle clock and its kept times; workers hold it only for one block at a time.

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

namespace vfsfiles {

// A file open for writing through a file server of this program. While one open holds it, no
// other open for writing gets it, whichever peer asks: a second copy into the same hidden
// file would cut it and write into it while the first one writes. Released when destroyed.
// Any thread.
class WriteClaim
{
public:
    // Null when an open holds the file already. `server` names the file server that opens it.
    static std::unique_ptr<WriteClaim> take(dev_t device, ino_t inode, const void *server);
    // The file server whose open holds the file; null when none does.
    static const void *holder(dev_t device, ino_t inode);
    ~WriteClaim();
    WriteClaim(const WriteClaim &) = delete;
    WriteClaim &operator=(const WriteClaim &) = delete;

    dev_t device() const { return m_device; }
    ino_t inode() const { return m_inode; }

private:
    WriteClaim(dev_t device, ino_t inode) : m_device(device), m_inode(inode) {}
    dev_t m_device;
    ino_t m_inode;
};

} // namespace vfsfiles

struct VfsOpenFile
{
    std::mutex mutex;
    int fd = -1;              // -1 once closed
    std::uint16_t handle = 0;
    bool readable = false;
    bool writable = false;
    QString path;             // local path it was opened with
    QElapsedTimer idle;       // restarted by every read, write and hash
    // Times applied when the file closes, ms since the epoch; 0 when none.
    std::int64_t accessTime = 0;
    std::int64_t birthTime = 0;   // kept but never applied: birth times are not changed
    std::int64_t modifyTime = 0;
    // Permission bits applied when the file closes (masked by the umask); -1 when none.
    int permissions = -1;
    // Held from the open for writing until the close.
    std::unique_ptr<vfsfiles::WriteClaim> writeClaim;
    // Requests of the server running on the file right now; server thread only. One at a
    // time, so no pool thread ever waits on another one's lock.
    int runningJobs = 0;
    // The pool thread running this file's blocks back to back, while it takes more; server
    // thread only (the strand itself is shared with that pool thread).
    std::shared_ptr<struct VfsJobStrand> strand;

    ~VfsOpenFile();
};

using VfsOpenFilePtr = std::shared_ptr<VfsOpenFile>;

class VfsOpenFileTable
{
public:
    static constexpr int kMaxFiles = 256;

    bool isFull() const { return int(m_files.size()) >= kMaxFiles; }
    int size() const { return int(m_files.size()); }

    // Gives the file the next handle number that no open file holds (1..65535, wrapping
    // past 65535 to 1) and appends it. 0 when the table is full.
    std::uint16_t add(const VfsOpenFilePtr &file);
    VfsOpenFilePtr find(std::uint16_t handle) const;
    // Removes and returns the record of a handle (null when none).
    VfsOpenFilePtr take(std::uint16_t handle);
    // Removes exactly this record, if it is still in the table.
    bool remove(const VfsOpenFilePtr &file);
    const std::vector<VfsOpenFilePtr> &files() const { return m_files; }
    std::vector<VfsOpenFilePtr> takeAll();

    std::uint16_t lastHandle() const { return m_lastHandle; }
    void setLastHandle(std::uint16_t handle) { m_lastHandle = handle; }

private:
    std::vector<VfsOpenFilePtr> m_files;
    std::uint16_t m_lastHandle = 0;
};

namespace vfsfiles {

// Result of opening a file for a handle.
enum class OpenResult {
    Opened,
    NotFound,     // read-only open of a missing file
    Exists,       // exclusive creation of an existing path
    NotRegular,   // a directory, FIFO, socket or device: never opened for a handle
    Failed,
};

// Opens the regular file `name` of the directory open as `dirFd` (following a link in its
// place). Nothing but a regular file is ever opened: a FIFO would block the caller, a
// device would be read or written raw. `exclusive` fails on any existing entry. A write
// open of a missing file creates it (mode 0644 before the umask, never world-writable)
// only when `mayCreate`, with O_EXCL so the new entry is the file made here and no link
// that turned up in its place; a link that points nowhere is followed only with
// `followDanglingLink`. Nothing is truncated here: the caller empties or cuts the file once
// it has checked what it opened. *created tells whether the file was made.
OpenResult openRegularFileAt(int dirFd, const QByteArray &name, bool read, bool write, bool exclusive,
                             bool mayCreate, bool followDanglingLink, int *fd, bool *created, int *error);

// Closes the record: applies its kept access and modification times first (when
// applyTimes: a real close) and then closes the descriptor. Waits for a worker that holds
// the record. Returns 0; kCloseFailed when the close reported an error, which for a written
// file means its data may not have been kept (NFS and FUSE report a failed write-back there);
// else the applyFileTimes error when the times could not be set.
// Nothing is flushed here: a copy asks for its whole destination at once (FSO_SYNC) before
// its sources may go, which costs one flush where syncfs writes out the file system.
constexpr int kCloseFailed = -4;
int closeOpenFile(VfsOpenFile &file, bool applyTimes);

// Free bytes of the volume holding an open file for an unprivileged writer; -1 when
// unknown.
long long freeSpace(int fd);

// Sets access and modification times (ms since the epoch; 0 leaves one unchanged) of a
// path. 0, -1 empty path, -2 setting the times failed.
int applyFileTimes(const QString &path, std::int64_t accessTime, std::int64_t modifyTime);
int applyFileTimes(int fd, std::int64_t accessTime, std::int64_t modifyTime);

// The umask of this program's user, read without changing it (umask() can only be read by
// setting it, for every thread at once). 022 when it can't be read.
unsigned userUmask();
// Gives a file or folder `bits` of the rwx permissions less the umask, as a copy made by
// `cp` without -p: set-id and sticky bits are never carried over. 0, or -1 when chmod
// failed (a file system that keeps no modes); callers go on without.
int applyPermissions(int fd, int bits);
int applyPermissions(const QString &path, int bits);

// pread/pwrite that retry on EINTR and short transfers; -1 on error, else the count.
long long readFully(int fd, void *buffer, std::size_t size, std::uint64_t offset);
long long writeFully(int fd, const void *buffer, std::size_t size, std::uint64_t offset);
// writeFully that tells how much reached the file before an error (*error: errno, or 0).
std::size_t writeCounted(int fd, const void *buffer, std::size_t size, std::uint64_t offset, int *error);

} // namespace vfsfiles

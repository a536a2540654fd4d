#pragma once

// What a SYNC of one peer puts on disk, and the write-back errors it reports.
//
// A SYNC of a folder covers every file the peer wrote on that folder's file system (opened
// for writing, put, renamed into place, given its times) and every file it opened there for
// reading, before the SYNC came; it answers FSO_STATUS_SUCCESS only once they are on the
// disk and no write-back error of them went unreported.
//
// Where syncfs is known to write out a file system's data (a short list of local file
// systems by statfs type), a flush is one syncfs, through a descriptor of that file system
// opened before the peer's first write there since its last flush: an error that happens
// after a descriptor was opened is reported to it. Everywhere else (FUSE, network and
// unknown file systems) syncfs may reach none of the data: each file and each folder the
// peer wrote or opened there is kept as a descriptor and fsynced on its own, many at a time
// on the pool.
//
// An error, once found, is never taken away by a later flush: a file whose write-back failed
// fails every later SYNC of the peer on its file system for as long as a name leads to the
// file; an error syncfs reports, which names no file, fails every later SYNC on its file
// system for as long as the server lives. Answers wait for every flush started before them,
// so two SYNCs never overtake each other's errors.
//
// Bounds per peer: kMaxKept descriptors of files and folders no longer open (those of open
// files come on top, at most one per open file), kMaxFailed files whose write-back failed
// (beyond that the file system itself counts as failed), kMaxWaitingSyncs SYNCs waiting
// (more are answered FSO_STATUS_IO_ERROR at once). From kFlushEarlyAt kept descriptors on,
// they are fsynced early on the pool, their errors kept; while kMaxKept are kept or being
// flushed, new files of the peer wait to be opened (full()). What no SYNC asked for within
// the idle time (a copy cancelled or failed) is flushed then too and let go: a kept
// descriptor would keep a disk from being unmounted. Only the files whose write-back failed
// stay open, to tell when they are gone.
//
// Lives on the server's thread, with everything it keeps; a flush on the pool owns the
// descriptors it was handed.

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sys/types.h>
#include <vector>

class VfsJobRunner;
class VfsJobLane;
struct VfsOpenFile;
struct VfsFlushPart;

namespace vfsflush {

// What a file or folder is, for the flushes: found on the pool, where a look at a FUSE file
// system may wait for its program.
struct Identity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
    // Whether it must be flushed on its own: syncfs is not known to write out its file system.
    bool ownFlush = false;
};
Identity identify(int fd);

// Whether syncfs is known to write out the data of the file system holding `fd`.
bool syncfsWritesOut(int fd);

// How file systems are told apart: by their type (what the server does), or all as if
// syncfs wrote out each of them, or none: for tests and for measuring one way against the
// other. Process-wide.
enum class Trust { ByType, Everywhere, Nowhere };
void setTrustForTests(Trust trust);

} // namespace vfsflush

class VfsFlushes
{
public:
    static constexpr std::size_t kMaxKept = 256;
    static constexpr std::size_t kFlushEarlyAt = 64;
    static constexpr std::size_t kMaxFailed = 32;
    static constexpr std::size_t kMaxWaitingSyncs = 16;
    static constexpr int kIdleMs = 30000;

    // Flushes run on the pool through `runner`; a SYNC's reply goes to `send`; `roomAgain`
    // is called once files may be opened again after full() said no. `owner`: the server,
    // whose thread the idle flushes run on.
    VfsFlushes(QObject *owner, VfsJobRunner &runner, std::function<void(std::vector<unsigned char> &&)> send,
               std::function<void()> roomAgain);
    // The runner's work must have returned (VfsJobRunner::waitForAll).
    ~VfsFlushes();
    VfsFlushes(const VfsFlushes &) = delete;
    VfsFlushes &operator=(const VfsFlushes &) = delete;

    // Before the peer writes below the open folder `dirFd`: keeps a descriptor of its file
    // system from now until its next flush.
    void beforeWrite(int dirFd);
    // A file the peer opened (for reading or writing) or made, open as `fd`, with what the pool
    // found out about it; `writer` is its open-file record while it may still be written.
    void keepFile(int fd, const vfsflush::Identity &identity, const std::weak_ptr<VfsOpenFile> &writer = {});
    // A folder the peer made a name in, or renamed or removed one.
    void keepFolder(int dirFd, const vfsflush::Identity &identity);
    // SYNC of the checked folder `dirFd` (taken): answered once its file system is flushed.
    void sync(std::uint16_t trId, int dirFd);
    // Whether new files of the peer wait: kMaxKept descriptors are kept or being flushed.
    // Once it said so, roomAgain is called when they need not wait any more.
    bool full();

    // How long what no SYNC asks for is kept (kIdleMs); for the tests.
    void setIdleTime(int ms);

private:
    struct Kept
    {
        dev_t device = 0;
        ino_t inode = 0;
        int fd = -1;
        std::weak_ptr<VfsOpenFile> writer;
        qint64 since = 0;     // m_clock when it was kept
    };
    struct Failed
    {
        dev_t device = 0;
        ino_t inode = 0;
        int fd = -1;
    };
    struct Volume
    {
        int fd = -1;          // opened before the first write since the last flush; -1 when none
        bool ownFlush = false; // each file flushed on its own there
        qint64 since = 0;
    };
    struct WaitingSync
    {
        std::uint16_t trId = 0;
        dev_t device = 0;
        std::uint64_t last = 0; // the last flush it waits for
    };

    void keep(int fd, const vfsflush::Identity &identity, const std::weak_ptr<VfsOpenFile> &writer);
    void flushEarlyIfDue();
    // What no SYNC asked for within the idle time is flushed and let go.
    void flushIdle();
    void armIdle();
    // Hands `entries` (taken) to flushes of up to kPartSize each; `checks` go with the first.
    void startParts(std::vector<Kept> entries, std::vector<Failed> checks, int syncfsFd);
    void noteFailure(const Kept &entry);
    void partEnded(VfsFlushPart *part);
    void answerReadySyncs();
    bool failedOn(dev_t device) const;
    std::size_t inFlight() const;
    std::size_t eligibleCount() const;

    QElapsedTimer m_clock;
    QTimer m_idle;
    int m_idleMs = kIdleMs;

    std::unique_ptr<VfsJobLane> m_lane;
    std::function<void(std::vector<unsigned char> &&)> m_send;
    std::function<void()> m_roomAgain;

    std::vector<Kept> m_kept;      // files and folders, oldest first
    std::vector<Failed> m_failed;
    std::set<dev_t> m_failedVolumes;
    std::map<dev_t, Volume> m_volumes;
    std::vector<WaitingSync> m_waiting;
    std::vector<std::unique_ptr<VfsFlushPart>> m_running;
    std::uint64_t m_nextSerial = 1;
    bool m_saidFull = false;
};

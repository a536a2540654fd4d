#pragma once

// The work of the file server that runs on the global thread pool: directory listing
// pages, opens, reads, writes and hashes of files, deletes, moves and syncs.
//
// A job record is filled on the server's thread, runs once on the pool (run() writes only
// into the record and builds the complete reply), and is read back on the server's thread
// in its `ended` (VfsJobRunner). Records are reused, so their buffers are allocated once.

#include "com/termstream.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/vfsaccess.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/server/vfsflushes.h"
#include "vfs/server/vfsopenfiles.h"
#include "vfs/server/versionguard.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace vfsserverfs {

// What the source of a MOVE must be. A file this peer has open for writing under the source's
// path must still be the one the name leads to (a copy renames its hidden file while it holds
// it); any other file must not be held for writing through another file server.
struct MoveSource
{
    const void *server = nullptr;   // the file server asking
    bool open = false;              // the peer holds the source open for writing as:
    dev_t device = 0;
    ino_t inode = 0;
};
// FSO_STATUS_SUCCESS, or FSO_STATUS_CHANGED when `name` of `dirFd` is not what `source` says.
std::uint8_t checkMoveSource(int dirFd, const QByteArray &name, const MoveSource &source);

} // namespace vfsserverfs

enum VfsServerJobState : std::uint32_t {
    VfsServerJobIdle = 0,
    VfsServerJobRunning = 1,
    VfsServerJobWaiting = 2,    // a listing waiting for its next page request
    VfsServerJobReplyReady = 3,
    VfsServerJobDone = 4,
};

// A HASH_FILE block may not be larger than this; a peer otherwise chooses how much memory
// and time one request costs.
constexpr std::uint32_t kVfsMaxHashBlockSize = 1u << 20;
// Bytes one HASH_FILE request may have read (blocks times block size): a copy asks for
// 64 blocks of 64,400 bytes; a request for gigabytes would hold a pool thread for minutes.
constexpr std::uint64_t kVfsMaxHashBytes = std::uint64_t(64) << 20;

struct VfsServerJob
{
    virtual ~VfsServerJob();
    virtual void run() = 0;

    std::uint16_t trId = 0;
    // Atomic, and the last thing a worker writes: the server reads it before anything else
    // of the record, which orders every other write of the worker before that read.
    std::atomic<std::uint32_t> state{VfsServerJobIdle};
    std::vector<unsigned char> reply;   // complete reply message, empty when none is sent
    // The server's end of the job, on its thread once run() returned; set with the record.
    std::function<void()> ended;
    // Set when the server goes away or the peer's link drops: long jobs stop at the next
    // block. The server hands each run the token of the link it was asked on.
    const std::atomic<bool> *cancelled = nullptr;
    std::shared_ptr<std::atomic<bool>> cancelToken;
    // Server thread only: false for a job run on the pool thread of a later one of its chain,
    // whose end frees the peer's slot for them all.
    bool holdsSlot = true;

protected:
    bool isCancelled() const { return cancelled && cancelled->load(std::memory_order_relaxed); }
};

// One listing: made by LIST_DIRECTORY, one run per QUERY_LIST_DIRECTORY page.
struct QueryListDirectoryJob : VfsServerJob
{
    struct Item
    {
        QString path;        // absolute local path; empty for an entry of the listed folder
        QString name;        // name to send
        int shareEntry = -1; // index of the access entry for a share entry of "%shares"
        bool leftOut = false; // sent only as left out (FSO_ENTRY_LEFT_OUT), under `name`
    };

    ~QueryListDirectoryJob() override;
    void run() override;
    void reset();
    // Closes the listed folder (a finished listing keeps nothing open).
    void closeDirectory();
    // Gives back the memory of a finished listing's entries; the record is kept for reuse.
    void dropEntries();

    // request
    std::uint32_t index = 0;
    std::uint32_t flags = 0;
    std::uint32_t granted = 0;     // attribute bits the pages carry
    QString localPath;             // the directory; empty for "%shares" itself
    bool sharesRoot = false;
    vfsaccess::VfsAccessRules rules;
    int wait = 0;                  // ticks left before an unasked listing is dropped

    // result
    std::vector<Item> items;       // made for index 0, kept for later pages
    // Position in `items` where the page for a given index starts. Entries that vanished
    // are skipped without being counted, so an index alone would not find the place.
    std::map<std::uint32_t, std::size_t> pageStarts;
    std::uint8_t pageStatus = 0;
    std::uint16_t pageCount = 0;
    // The listed folder, open from index 0 on: entries are looked at by name inside it, so
    // the folder's path being pointed elsewhere between pages changes nothing.
    int dirFd = -1;
    bool refused = false;          // the folder turned out to lie outside the share
    std::uint8_t readFailure = 0;  // page status when the folder could not be opened

private:
    // A page's entries are encoded in runs side by side on the pool, since nearly all of its
    // time goes into the file-system calls of its entries; the runs are consecutive. What
    // runs past the page's end is dropped: each page looks at its entries when it is asked.
    struct EncodedRun
    {
        std::size_t first = 0;                // position in `items` of the run's first entry
        std::size_t count = 0;
        std::vector<unsigned char> bytes;
        std::vector<std::uint32_t> offsets;   // per entry: start in `bytes`
        std::vector<std::int32_t> sizes;      // per entry: bytes, -1 when it is skipped
    };

    void buildItems();
    bool encodeItem(const Item &item, com::TermStreamWriter &writer) const;
    bool writeLeftOut(const Item &item, com::TermStreamWriter &writer) const;
    QString pathOf(const Item &item) const;
    void encodeRun(EncodedRun &run) const;
    void encodeRuns(std::size_t position, std::size_t count);

    std::vector<EncodedRun> runs;
    // Bytes and number of the entries encoded so far: how many the rest of a page will take.
    std::uint64_t encodedBytes = 0;
    std::uint64_t encodedEntries = 0;
};

struct ReadFileJob : VfsServerJob
{
    void run() override;

    std::uint8_t flags = 0;
    std::uint16_t handle = 0;
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    VfsOpenFilePtr file;           // resolved by the server; null when not open
    std::uint8_t status = 0;
    std::vector<unsigned char> data;
};

struct WriteFileJob : VfsServerJob
{
    void run() override;

    std::uint8_t flags = 0;
    std::uint16_t handle = 0;
    std::uint64_t offset = 0;
    // The block: dataSize bytes at dataAt; `data` may be the whole message it came in.
    std::vector<unsigned char> data;
    std::size_t dataAt = 0;
    std::uint32_t dataSize = 0;
    VfsOpenFilePtr file;
    std::uint8_t status = 0;
    std::uint32_t written = 0;
};

struct HashFileJob : VfsServerJob
{
    void run() override;

    std::uint8_t flags = 0;
    std::uint16_t handle = 0;
    std::uint16_t blockCount = 0;
    std::uint32_t blockSize = 0;
    std::uint64_t offset = 0;
    VfsOpenFilePtr file;
    std::uint8_t status = 0;
    std::uint16_t digestCount = 0;
    std::vector<unsigned char> digests;
};

// CLOSE_FILE of a written file: setting its times and closing it may wait on the disk, which
// the server's thread must not.
struct CloseFileJob : VfsServerJob
{
    void run() override;

    VfsOpenFilePtr file;
    std::uint16_t handle = 0;
    std::uint8_t status = 0;
};

// OPEN_FILE of a file: opening, making and cutting a file wait on the disk. The folder
// was opened and the access checked on the server's thread; the name is opened inside it
// and checked again for where it really leads.
struct OpenFileJob : VfsServerJob
{
    ~OpenFileJob() override;
    void run() override;
    void closeDescriptors();

    // request
    int parentDir = -1;             // owned
    QByteArray name;
    QString localPath;
    vfsaccess::VfsAccessRules rules;
    bool isLocal = false;
    bool read = false;
    bool write = false;
    bool exclusive = false;
    VfsOpenFilePtr file;            // none yet; the scheduler's slot for it
    std::uint64_t truncateTo = ~std::uint64_t(0); // cut a longer file to this size
    std::uint32_t openFlags = 0;    // for the log
    std::int64_t accessTime = 0;    // kept for the close
    std::int64_t birthTime = 0;
    std::int64_t modifyTime = 0;
    int permissions = -1;
    const void *server = nullptr;   // the file server asking, for the claim of a written file
    // result
    int fd = -1;                    // owned until the server takes it
    std::uint8_t status = 0;
    bool created = false;
    std::unique_ptr<vfsfiles::WriteClaim> claim; // opened for writing: taken by the server
    vfsflush::Identity identity;    // of the file
    vfsflush::Identity folder;      // of parentDir
};

// A request on a whole file by name inside a folder that was opened and checked on the
// server's thread.
struct WholeFileJob : VfsServerJob
{
    ~WholeFileJob() override;
    void closeDescriptors();

    int parentDir = -1;             // owned
    QByteArray name;
    vfsaccess::VfsAccessRules rules;
    VfsOpenFilePtr file;            // none; the scheduler's slot for it
    std::uint8_t status = 0;        // result
    // The file read or made, open where it must be flushed on its own, for the SYNC that follows.
    int flushFd = -1;
    vfsflush::Identity flushIdentity;
    void keepForFlush(int fd);
    void dropForFlush();
};

// GET_FILE: a small file opened, read and closed at once; what the name leads to is checked
// again once open.
struct GetFileJob : WholeFileJob
{
    void run() override;

    // request
    QString localPath;
    bool isLocal = false;
    std::uint32_t size = 0;         // at most this much, at most FSO_MAX_DATA
    // result
    std::vector<unsigned char> data; // kept from one request to the next
};

// PUT_FILE: a new file made whole, given its times and permissions, and only then given its
// real name (`name`), never over an existing one: made without a name and linked, or, where the
// file system can't, made under a hidden name of the folder and renamed. Whatever fails, no
// name of it is left.
struct PutFileJob : WholeFileJob
{
    void run() override;

    // request
    QString localPath;              // local path of the real name, for the access checks
    QByteArray hiddenName;
    QString hiddenPath;             // local path of the hidden name, for the access check
    std::vector<unsigned char> data;
    std::int64_t accessTime = 0;    // ms since the epoch; 0 leaves it
    std::int64_t modifyTime = 0;
    int permissions = -1;
    // result: what the folder is, for the SYNC that follows
    vfsflush::Identity folder;

private:
    bool putUnnamed();
    void putHidden();
    // Whether the folder is still inside the share: a local program may move it out while
    // the file is being made.
    bool folderInside() const { return rules.entryInside(localPath, parentDir, name); }
    // The real name, made just now, goes again when the folder turned out to lie outside the
    // share (or the file could not be completed), if the name is still that file's.
    void unname(const struct stat &made);
};


// DELETE_FILE, the whole request: the access checks walk the path, and the last close of a
// removed file waits until its blocks are freed (and, on a file system mounted to discard
// them, until the disk has), so none of it runs on the server's thread. As for the other
// requests the path is checked, its folder opened and checked by what it really is, and the
// name removed inside that folder.
struct DeleteFileJob : VfsServerJob
{
    void run() override;

    // request
    std::uint32_t flags = 0;        // FSO_DELETE_*
    QString localPath;
    std::string requestPath;        // the reply echoes it
    QString notifyPath;             // announced on success
    // The one version of a file it may take; none given: whatever the name holds.
    versionguard::Version version;
    vfsaccess::VfsAccessRules rules;
    // Runs in the peer's lane for deletes that may take minutes; elsewhere a folder to be
    // removed with all it holds is not removed but handed on there (needsLongLane).
    bool inLongLane = false;
    // result
    std::uint8_t status = 0;
    bool needsLongLane = false;     // no reply built: to be run again in that lane

private:
    std::uint8_t check() const;
    std::uint8_t removeAt(int dirFd, const QByteArray &name);
    std::uint8_t removeVersionAt(int dirFd, const QByteArray &name) const;
};

// MOVE: a rename waits for the folders' locks, and a move across file systems may take
// minutes; neither may hold up every other request of the peer.
struct FileOperationJob : VfsServerJob
{
    ~FileOperationJob() override;
    void run() override;
    void closeDescriptors();

    QString source;                 // local path
    std::uint32_t moveFlags = 0;    // FSO_MOVE_*
    bool samePath = false;          // the request named one path twice
    vfsserverfs::MoveSource expected; // what the source must be
    // The directories holding source and destination, opened and checked on the server's
    // thread; the job works by name inside them, so renaming a folder on the way to them
    // while the job waits for a pool thread changes nothing. Owned; -1 when none.
    int sourceDir = -1;
    QByteArray sourceName;
    int destinationDir = -1;
    QByteArray destinationName;
    std::uint8_t status = 0;
    // Moved: what both folders are, for the SYNC that follows.
    vfsflush::Identity sourceFolder;
    vfsflush::Identity destinationFolder;
};

namespace vfsserverfs {

// Whether a directory is the root of a mounted file system ("/" included).
bool isMountPoint(const QString &path);

// Removes a directory tree without following symbolic links and without entering another
// file system (a mount inside the tree makes it fail). False on any failure.
bool removeTree(const QString &path, const std::atomic<bool> *cancelled);
// The same for the directory `name` inside the directory open as `parentFd`; `path` is
// its name for comparing with the mount table.
bool removeTreeAt(int parentFd, const QByteArray &name, const QByteArray &path, const std::atomic<bool> *cancelled);

// Copies a file, a symbolic link or a directory tree to a path that does not exist yet
// (links are copied as links, special files fail). A failure removes what it made.
bool copyTree(const QString &source, const QString &destination, const std::atomic<bool> *cancelled);

// Moves `sourceName` of the directory open as `sourceDir` to `destinationName` of the
// directory open as `destinationDir` on another file system: copies it next to the
// destination, renames the copy into place (replacing what rename(2) may replace) and
// removes from the source what it copied, as it copied it. FSO status: FSO_STATUS_IO_ERROR
// also when something added, grown or rewritten meanwhile stays at the source.
std::uint8_t moveAcross(int sourceDir, const QByteArray &sourceName, int destinationDir,
                        const QByteArray &destinationName, const QByteArray &sourcePath,
                        const std::atomic<bool> *cancelled);

// A MOVE inside checked folders: `sourceName` of `sourceDir` becomes `destinationName` of
// `destinationDir` (-1: that folder could not be opened). Never onto another name of the same
// file (`samePath`: the request named one path twice), not over an existing item with
// FSO_MOVE_NO_REPLACE, not to another file system with FSO_MOVE_SAME_VOLUME, else across
// file systems by moveAcross (unless `copyAcross` is false: then FSO_STATUS_IO_ERROR). FSO
// status.
std::uint8_t moveAt(int sourceDir, const QByteArray &sourceName, int destinationDir,
                    const QByteArray &destinationName, std::uint32_t flags, bool samePath, bool copyAcross,
                    const QByteArray &sourcePath, const std::atomic<bool> *cancelled);

// Writes out everything of the file system holding the open folder `dirFd` (syncfs); false
// when the disk reports an error. Counted for the tests (syncCount).
bool syncFileSystemOf(int dirFd);
quint64 syncCount();

// mkdir -p below the existing directory open as `baseFd`: makes each of `parts` in turn
// (mode 0755 before the umask) and never follows a link in place of a part it made or
// found; false when a part exists as something else or cannot be made. `madeIn` is told
// each folder, open, that a part was made in.
bool makePathAt(int baseFd, const QStringList &parts, const std::function<void(int dirFd)> &madeIn = {});

// Tests turn the unnamed way of PutFileJob off to see the hidden-name way work.
void setUnnamedNewFilesForTests(bool allowed);
// Tests hold a folder's removal with all it holds: the hook runs on the deleting thread
// before the removal starts.
void setTreeRemovalHookForTests(std::function<void()> hook);
// Tests change a tree while a move across file systems copies it: the hook runs on the
// copying thread after each file's copy, with the file's name.
void setCopyAcrossHookForTests(std::function<void(const QByteArray &name)> hook);


} // namespace vfsserverfs


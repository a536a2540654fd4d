#pragma once

// The abstract client of one peer's file system, and its request records.
//
// A caller fills a record, hands it to one of the ten request operations and waits for its
// answer: the record's own `done` callback when the caller set one (only this requester
// hears of it), else the update signal of that kind carrying the record's pointer (every
// receiver gets every record of that kind and compares the pointer with its own). Until the
// answer the client borrows the record; afterwards it never touches it again.
//
// An owner that goes away while its record is still outstanding calls the record's
// `release` (when set) first: it removes the record from the client's queue, so the record
// is never written to or announced afterwards. Don't call `release` while holding the
// record's own mutex. Calling it for a record that was already announced does nothing.

#include "vfs/fso/vfsdrive.h"
#include "vfs/fso/vfsfenucommand.h"

#include <QChar>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// The client's own bookkeeping of one record (defined by the client implementation).
struct VfsClientRequest;

enum VfsRequestStatus : quint32 {
    JobIdle = 0,     // queued, not yet sent
    JobRunning = 1,  // request sent, no reply yet
    JobError = 3,    // not encodable, error status of a listing, or no reply in time
    JobFinished = 4, // the reply (for a listing: the last page) arrived
};

// Whether a record's request is over: answered, or failed for good.
inline bool vfsRequestEnded(quint32 jobStatus)
{
    return jobStatus == JobFinished || jobStatus == JobError;
}

// Common head of every record. `release` is set by the client when the record is queued;
// `done`, when the requester sets it, is called on the client's thread with no lock held.
template <typename Job>
struct VfsRequestRecord
{
    std::function<void(Job *)> release;
    std::function<void(Job *)> done;
    quint32 jobStatus = JobIdle;
    VfsClientRequest *request = nullptr;
};

struct VfsListDirectoryJob : VfsRequestRecord<VfsListDirectoryJob>
{
    QString path;                    // in
    bool watch = false;              // in: ask the server to watch the directory
    quint32 attributes = FSO_ATTR_ALL; // in: FSO_ATTR_* asked for; the server may grant less
    QChar separator = QLatin1Char('/'); // out: "\" or "/"
    quint64 volumeSerial = 0;        // out
    QMutex mutex;                    // guards the record against its owner
    quint8 status = 0;               // out
    std::vector<VfsDirectoryEntry> entries; // out, appended page by page
    // out: stand-in names of the entries the server could not hand over (FSO_ENTRY_LEFT_OUT);
    // they are never among `entries`. Emptied when the listing starts.
    std::vector<QString> leftOut;
};

struct VfsListDrivesJob : VfsRequestRecord<VfsListDrivesJob>
{
    QString label;                   // in, only logged
    QMutex mutex;
    quint8 status = 0;               // out (1 while queued)
    std::vector<VfsDrive> drives;    // out
};

struct VfsMoveJob : VfsRequestRecord<VfsMoveJob>
{
    QMutex mutex;
    quint32 flags = 0;               // in: FSO_MOVE_*
    QString source;                  // in
    QString destination;             // in
    quint8 status = 0;               // out
};

struct VfsOpenFileJob : VfsRequestRecord<VfsOpenFileJob>
{
    quint32 flags = 0;               // in: FSO_OPEN_*; the client may add 0x10
    qint64 accessTime = 0;           // in, ms since the epoch; 0 or less = none
    qint64 creationTime = 0;         // in, never offered to the server
    qint64 modificationTime = 0;     // in
    quint64 size = 0;                // in: size to truncate to (with FSO_OPEN_TRUNCATE)
    QString path;                    // in
    // in: permission bits (07777) set with the times, or for a write when it closes; the
    // server masks them with its user's umask. -1: none; a server that predates them keeps
    // the mode it created the file with.
    int permissions = -1;
    quint8 status = 0;               // out
    quint16 handle = 0;              // out
};

struct VfsCloseFileJob : VfsRequestRecord<VfsCloseFileJob>
{
    quint32 flags = 0;               // in (0)
    quint16 handle = 0;              // in; out: the echoed handle
    quint8 status = 0;               // out
};

struct VfsReadFileJob : VfsRequestRecord<VfsReadFileJob>
{
    quint8 flags = 0;                // in: FSO_READ_*
    quint16 handle = 0;              // in
    quint64 offset = 0;              // in
    quint32 size = 0;                // in, at most 64400
    quint8 status = 0;               // out
    quint32 receivedSize = 0;        // out; 0 when the reply's block was oversized
    std::vector<quint8> data;        // out: receivedSize bytes
};

struct VfsWriteFileJob : VfsRequestRecord<VfsWriteFileJob>
{
    quint8 flags = 0;                // in: FSO_WRITE_*
    quint16 handle = 0;              // in
    quint64 offset = 0;              // in
    quint32 size = 0;                // in, 1 to 64400
    std::vector<quint8> data;        // in: at least size bytes
    quint8 status = 0;               // out
    quint32 written = 0;             // out
};

struct VfsDeleteFileJob : VfsRequestRecord<VfsDeleteFileJob>
{
    quint32 flags = 0;               // in: FSO_DELETE_*
    QString path;                    // in
    // in: the change stamp of the only version of the file that may go (0: any); another
    // one answers FSO_STATUS_CHANGED and stays.
    qint64 expectChangeNs = 0;
    quint64 expectInode = 0;
    quint8 status = 0;               // out
    QString failedPath;              // out: the reply's path when the status is not 0
};

struct VfsHashFileJob : VfsRequestRecord<VfsHashFileJob>
{
    quint8 flags = 0;                // in: FSO_HASH_SHA1
    quint16 handle = 0;              // in
    quint16 blockCount = 0;          // in
    quint32 blockSize = 0;           // in
    quint64 offset = 0;              // in
    quint8 status = 0;               // out
    quint8 replyFlags = 0;           // out
    quint16 digestCount = 0;         // out: n
    quint32 digestBytes = 0;         // out: 20 * n
    std::vector<quint8> digests;     // out
};

struct VfsMakeDirectoryJob : VfsRequestRecord<VfsMakeDirectoryJob>
{
    quint32 flags = 0;               // in: FSO_MKDIR_*
    QString path;                    // in
    quint8 status = 0;               // out
    quint32 detail = 0;              // out: FSO_MKDIR_DETAIL_*
};

// One flush of the file system holding a folder. JobError with FSO_STATUS_TIMEOUT also when
// the peer does not know the request (it drops it unanswered).
struct VfsSyncJob : VfsRequestRecord<VfsSyncJob>
{
    QString path;                    // in: a folder on the file system to flush
    quint8 status = 0;               // out
};

// One new file made whole at once (FSO_PUT_FILE): built under `hiddenPath`, given its times
// and permissions and renamed to `path`, which it never replaces. Ask it only of a client
// whose canPutFile() says so.
struct VfsPutFileJob : VfsRequestRecord<VfsPutFileJob>
{
    qint64 accessTime = 0;           // in, ms since the epoch; 0 or less = none
    qint64 modificationTime = 0;     // in
    int permissions = -1;            // in: 07777 bits less the server's umask; -1 none
    QString path;                    // in: the real name
    QString hiddenPath;              // in: a name in the same folder
    std::vector<quint8> data;        // in: the whole file, 1 to 64400 bytes
    quint8 status = 0;               // out: FSO_STATUS_EXISTS when either name was taken
};

// One small file read whole at once (FSO_GET_FILE): opened, read and closed. Ask it only of
// a client whose canPutFile() says so (the same peers know both).
struct VfsGetFileJob : VfsRequestRecord<VfsGetFileJob>
{
    QString path;                    // in
    quint32 size = 0;                // in: at most this much, 1 to 64400
    quint8 status = 0;               // out: FSO_STATUS_END_OF_FILE when `data` is the whole file
    std::vector<quint8> data;        // out: what was read, at most `size` bytes
};

class VfsClient : public QObject
{
    Q_OBJECT
public:
    explicit VfsClient(QObject *parent = nullptr) : QObject(parent) {}
    ~VfsClient() override = default;

    virtual void listDirectory(VfsListDirectoryJob *job) = 0;
    virtual void listDrives(VfsListDrivesJob *job) = 0;
    virtual void move(VfsMoveJob *job) = 0;
    virtual void openFile(VfsOpenFileJob *job) = 0;
    virtual void closeFile(VfsCloseFileJob *job) = 0;
    virtual void readFile(VfsReadFileJob *job) = 0;
    virtual void writeFile(VfsWriteFileJob *job) = 0;
    virtual void deleteFile(VfsDeleteFileJob *job) = 0;
    virtual void hashFile(VfsHashFileJob *job) = 0;
    virtual void makeDirectory(VfsMakeDirectoryJob *job) = 0;
    // A client that cannot ask it answers at once as a peer that does not know it would.
    virtual void syncFileSystem(VfsSyncJob *job);
    // Whether the peer makes a small file in one request (putFile).
    virtual bool canPutFile() const { return false; }
    // A client that cannot ask it answers at once with FSO_STATUS_INVALID_PARAMETER.
    virtual void putFile(VfsPutFileJob *job);
    // As putFile.
    virtual void getFile(VfsGetFileJob *job);

Q_SIGNALS:
    void listDirectoryUpdate(VfsListDirectoryJob *job);
    void listDrivesUpdate(VfsListDrivesJob *job);
    void moveUpdate(VfsMoveJob *job);
    void openFileUpdate(VfsOpenFileJob *job);
    void closeFileUpdate(VfsCloseFileJob *job);
    void readFileUpdate(VfsReadFileJob *job);
    void writeFileUpdate(VfsWriteFileJob *job);
    void deleteFileUpdate(VfsDeleteFileJob *job);
    void hashFileUpdate(VfsHashFileJob *job);
    void makeDirectoryUpdate(VfsMakeDirectoryJob *job);
    void syncFileSystemUpdate(VfsSyncJob *job);
    void putFileUpdate(VfsPutFileJob *job);
    void getFileUpdate(VfsGetFileJob *job);
    void directoryChanged(QString path);
};

Q_DECLARE_METATYPE(VfsListDirectoryJob *)
Q_DECLARE_METATYPE(VfsListDrivesJob *)
Q_DECLARE_METATYPE(VfsMoveJob *)
Q_DECLARE_METATYPE(VfsOpenFileJob *)
Q_DECLARE_METATYPE(VfsCloseFileJob *)
Q_DECLARE_METATYPE(VfsReadFileJob *)
Q_DECLARE_METATYPE(VfsWriteFileJob *)
Q_DECLARE_METATYPE(VfsDeleteFileJob *)
Q_DECLARE_METATYPE(VfsHashFileJob *)
Q_DECLARE_METATYPE(VfsMakeDirectoryJob *)
Q_DECLARE_METATYPE(VfsSyncJob *)
Q_DECLARE_METATYPE(VfsPutFileJob *)
Q_DECLARE_METATYPE(VfsGetFileJob *)

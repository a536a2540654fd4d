#include "vfs/fso/vfsclientnusk.h"

#include "app/base/log.h"
#include "vfs/fso/vfsfenucommandparser.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <tuple>
#include <type_traits>

struct VfsClientRequest
{
    QElapsedTimer clock;
    int sendState = 0; // 0 unsent, 1 sent, 2 answered or failed
    quint16 trId = 0;
    // listing
    quint8 step = FSO_LIST_DIRECTORY;
    quint32 flags = 0;
    FsoAttributes asked;
    quint32 pageIndex = 0;
    FsoAttributes granted;
    // drives
    quint8 code = 0;
    quint16 index = 0;
    quint16 reserved = 0;
    // open file, make directory
    FsoAttributes attributes;
};

// One queue per kind of record, all in one table: adding a request kind adds its type here
// and its encode/prepare/process functions; every walk over the queues goes through forEach.
template <typename... Jobs>
struct RequestQueueTable
{
    std::tuple<std::vector<Jobs *>...> queues;

    template <typename Job> std::vector<Job *> &of() { return std::get<std::vector<Job *>>(queues); }
    template <typename F> void forEach(F &&f)
    {
        std::apply([&](auto &...q) { (f(q), ...); }, queues);
    }
    template <typename F> void forEach(F &&f) const
    {
        std::apply([&](const auto &...q) { (f(q), ...); }, queues);
    }
};

using RequestQueues = RequestQueueTable<VfsListDirectoryJob, VfsListDrivesJob, VfsMoveJob, VfsOpenFileJob,
                                        VfsCloseFileJob, VfsReadFileJob, VfsWriteFileJob, VfsDeleteFileJob,
                                        VfsHashFileJob, VfsMakeDirectoryJob, VfsSyncJob, VfsPutFileJob,
                                        VfsGetFileJob>;

struct VfsClientNusk::Private
{
    QMutex mutex;
    ushort version = FSO_PROTOCOL_VERSION;
    int requestTimeoutMs = FSO_TIMEOUT_MS;
    int transferTimeoutMs = FSO_TRANSFER_TIMEOUT_MS;
    std::size_t maxListingEntries = FSO_MAX_LISTING_ENTRIES;
    quint16 counter = 0;
    QElapsedTimer rxClock;
    FsoTransmitter transmitter;
    bool linkReady = true;

    RequestQueues queues;

    template <typename Job> std::vector<Job *> &queue() { return queues.of<Job>(); }
    bool allEmpty() const
    {
        bool empty = true;
        queues.forEach([&](const auto &q) { empty = empty && q.empty(); });
        return empty;
    }
    void dropAll()
    {
        queues.forEach([this](auto &q) { dropQueue(q); });
    }

    template <typename Job> void withdraw(Job *job);
    template <typename Job> void dropQueue(std::vector<Job *> &q);
};

namespace {

// Only the listing, drive and move records carry a mutex of their own.
QMutex *recordMutex(VfsListDirectoryJob *job) { return &job->mutex; }
QMutex *recordMutex(VfsListDrivesJob *job) { return &job->mutex; }
QMutex *recordMutex(VfsMoveJob *job) { return &job->mutex; }
template <typename Job> QMutex *recordMutex(Job *) { return nullptr; }

class RecordLock
{
public:
    explicit RecordLock(QMutex *m) : m_m(m) { if (m_m) m_m->lock(); }
    ~RecordLock() { if (m_m) m_m->unlock(); }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;
private:
    QMutex *m_m;
};

// Close, read and write records count as complete once their request is answered; the
// others once their status says so.
bool sendStateCompletes(const VfsCloseFileJob *) { return true; }
bool sendStateCompletes(const VfsReadFileJob *) { return true; }
bool sendStateCompletes(const VfsWriteFileJob *) { return true; }
template <typename Job> bool sendStateCompletes(const Job *) { return false; }

template <typename Job> bool isComplete(const Job *job)
{
    if (job->jobStatus == JobError || job->jobStatus == JobFinished)
        return true;
    return sendStateCompletes(job) && job->request && job->request->sendState == 2;
}

template <typename Job> void finishOnCleanup(Job *job)
{
    if (sendStateCompletes(job) && job->jobStatus != JobError)
        job->jobStatus = JobFinished;
}

bool isTransfer(const VfsReadFileJob *) { return true; }
bool isTransfer(const VfsWriteFileJob *) { return true; }
bool isTransfer(const VfsPutFileJob *) { return true; }
bool isTransfer(const VfsGetFileJob *) { return true; }
template <typename Job> bool isTransfer(const Job *) { return false; }
// A flush of a file system may take as long as writing out what it holds.
bool waitsLong(const VfsSyncJob *) { return true; }
template <typename Job> bool waitsLong(const Job *job) { return isTransfer(job); }

bool sentAtOnce(const VfsHashFileJob *) { return true; }
template <typename Job> bool sentAtOnce(const Job *job) { return isTransfer(job); }

void encodeFailed(VfsOpenFileJob *job) { job->status = FSO_STATUS_IO_ERROR; }
void encodeFailed(VfsPutFileJob *job) { job->status = FSO_STATUS_INVALID_PARAMETER; }
void encodeFailed(VfsGetFileJob *job) { job->status = FSO_STATUS_INVALID_PARAMETER; }
template <typename Job> void encodeFailed(Job *) {}

const char *kindName(const VfsListDirectoryJob *) { return "list directory"; }
const char *kindName(const VfsListDrivesJob *) { return "list drives"; }
const char *kindName(const VfsMoveJob *) { return "move"; }
const char *kindName(const VfsOpenFileJob *) { return "open file"; }
const char *kindName(const VfsCloseFileJob *) { return "close file"; }
const char *kindName(const VfsReadFileJob *) { return "read file"; }
const char *kindName(const VfsWriteFileJob *) { return "write file"; }
const char *kindName(const VfsDeleteFileJob *) { return "delete file"; }
const char *kindName(const VfsHashFileJob *) { return "hash file"; }
const char *kindName(const VfsMakeDirectoryJob *) { return "make directory"; }
const char *kindName(const VfsSyncJob *) { return "sync"; }
const char *kindName(const VfsPutFileJob *) { return "put file"; }
const char *kindName(const VfsGetFileJob *) { return "get file"; }

std::string utf8(const QString &s)
{
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

VfsFenuCommand requestCommand(std::uint8_t code, quint16 trId)
{
    VfsFenuCommand c;
    c.msgClass = FSO_CLASS_REQUEST;
    c.code = code;
    c.trId = trId;
    return c;
}

// --- encoding, one per kind ----------------------------------------------------------------

bool encode(const VfsClientNusk::Private &, VfsListDirectoryJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    if (req->step == FSO_QUERY_LIST_DIRECTORY) {
        VfsFenuCommand c = requestCommand(FSO_QUERY_LIST_DIRECTORY, req->trId);
        c.index = req->pageIndex;
        return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
    }
    VfsFenuCommand c = requestCommand(FSO_LIST_DIRECTORY, req->trId);
    c.flags = req->flags;
    c.attributes = req->asked;
    c.path = utf8(job->path);
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsListDrivesJob *, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(req->code, req->trId);
    c.flags = req->flags;
    c.index = req->index;
    c.reserved = req->reserved;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsMoveJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    if (job->source.isEmpty() || job->destination.isEmpty())
        return false;
    VfsFenuCommand c = requestCommand(FSO_MOVE, req->trId);
    c.flags = job->flags;
    c.path = utf8(job->source);
    c.destination = utf8(job->destination);
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &d, VfsOpenFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    if (job->path.isEmpty())
        return false;
    VfsFenuCommand c = requestCommand(FSO_OPEN_FILE, req->trId);
    c.flags = job->flags;
    c.attributes = req->attributes;
    c.accessTime = job->accessTime;
    c.modifyTime = job->modificationTime;
    c.size = job->size;
    c.path = utf8(job->path);
    c.permissions = job->permissions;
    return encodeFsoMessage(c, d.version, out);
}

bool encode(const VfsClientNusk::Private &, VfsCloseFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(FSO_CLOSE_FILE, req->trId);
    c.flags = job->flags;
    c.handle = job->handle;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsReadFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(FSO_READ_FILE, req->trId);
    c.flags = job->flags;
    c.handle = job->handle;
    c.offset = job->offset;
    c.dataSize = job->size;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsWriteFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    if (job->size == 0 || job->size > FSO_MAX_DATA || job->size > job->data.size())
        return false;
    VfsFenuCommand c = requestCommand(FSO_WRITE_FILE, req->trId);
    c.flags = job->flags;
    c.handle = job->handle;
    c.offset = job->offset;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out, job->data.data(), job->size);
}

bool encode(const VfsClientNusk::Private &, VfsDeleteFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(FSO_DELETE_FILE, req->trId);
    c.flags = job->flags;
    c.path = utf8(job->path);
    c.expectChangeNs = job->expectChangeNs;
    c.expectInode = job->expectInode;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsHashFileJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(FSO_HASH_FILE, req->trId);
    c.flags = job->flags;
    c.handle = job->handle;
    c.blockCount = job->blockCount;
    c.dataSize = job->blockSize;
    c.offset = job->offset;
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsMakeDirectoryJob *job, VfsClientRequest *req,
            std::vector<std::uint8_t> &out)
{
    VfsFenuCommand c = requestCommand(FSO_MAKE_DIRECTORY, req->trId);
    c.flags = job->flags;
    c.attributes = req->attributes;
    c.path = utf8(job->path);
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

bool encode(const VfsClientNusk::Private &, VfsSyncJob *job, VfsClientRequest *req, std::vector<std::uint8_t> &out)
{
    if (job->path.isEmpty())
        return false;
    VfsFenuCommand c = requestCommand(FSO_SYNC, req->trId);
    c.path = utf8(job->path);
    return encodeFsoMessage(c, FSO_PROTOCOL_VERSION, out);
}

// Never to a peer that predates the request: it would drop it unanswered.
bool encode(const VfsClientNusk::Private &d, VfsPutFileJob *job, VfsClientRequest *req, std::vector<std::uint8_t> &out)
{
    if (d.version < FSO_PROTOCOL_VERSION_PUT_FILE || job->path.isEmpty() || job->hiddenPath.isEmpty()
        || job->data.empty() || job->data.size() > FSO_MAX_DATA)
        return false;
    VfsFenuCommand c = requestCommand(FSO_PUT_FILE, req->trId);
    c.accessTime = std::max<qint64>(0, job->accessTime);
    c.modifyTime = std::max<qint64>(0, job->modificationTime);
    c.path = utf8(job->path);
    c.destination = utf8(job->hiddenPath);
    c.permissions = job->permissions;
    c.data = job->data;
    return encodeFsoMessage(c, d.version, out);
}

bool encode(const VfsClientNusk::Private &d, VfsGetFileJob *job, VfsClientRequest *req, std::vector<std::uint8_t> &out)
{
    if (d.version < FSO_PROTOCOL_VERSION_PUT_FILE || job->path.isEmpty() || job->size == 0 || job->size > FSO_MAX_DATA)
        return false;
    VfsFenuCommand c = requestCommand(FSO_GET_FILE, req->trId);
    c.path = utf8(job->path);
    c.dataSize = job->size;
    return encodeFsoMessage(c, d.version, out);
}

// --- preparation when queued ---------------------------------------------------------------

void prepare(VfsClientNusk::Private &, VfsListDirectoryJob *job, VfsClientRequest *req)
{
    req->step = FSO_LIST_DIRECTORY;
    req->flags = FSO_LISTDIR_HIDDEN | FSO_LISTDIR_BACKSLASH | FSO_LISTDIR_VOLUME_SERIAL; // 0x19
    if (job->watch && job->path != QLatin1String("/"))
        req->flags |= FSO_LISTDIR_WATCH;
    req->pageIndex = 0;
    req->asked.set(job->attributes);
    req->granted.clear();
}

void prepare(VfsClientNusk::Private &, VfsListDrivesJob *job, VfsClientRequest *req)
{
    req->code = FSO_LIST_DRIVES;
    req->flags = 0x10;
    req->index = 0;
    req->reserved = 0;
    job->status = 1;
    job->drives.clear();
}

void prepare(VfsClientNusk::Private &d, VfsOpenFileJob *job, VfsClientRequest *req)
{
    req->attributes.clear();
    if (d.version <= 1)
        return;
    std::uint32_t value = 0;
    const bool mayCarry = job->flags & (FSO_OPEN_WRITE | FSO_OPEN_ATTRIBUTES);
    if (job->accessTime > 0 && mayCarry) {
        value = FSO_ATTR_ACCESS_TIME;
        if (job->modificationTime > 0)
            value |= FSO_ATTR_MODIFY_TIME;
    } else if (job->modificationTime > 0 && mayCarry) {
        value = FSO_ATTR_MODIFY_TIME;
    }
    // The size travels only from version 3 on, and only inside an attribute set; a set that
    // isn't flagged with 0x10 is never written, so a truncation size asked for without times
    // must raise the flag too or it would silently not reach the server.
    if (d.version >= 3 && (job->flags & FSO_OPEN_TRUNCATE))
        value |= FSO_ATTR_SIZE;
    if (value) {
        job->flags |= FSO_OPEN_ATTRIBUTES;
        req->attributes.set(value);
    }
}

void prepare(VfsClientNusk::Private &, VfsMakeDirectoryJob *, VfsClientRequest *req)
{
    req->attributes.clear();
}

template <typename Job> void prepare(VfsClientNusk::Private &, Job *, VfsClientRequest *) {}

// Queued records that the protocol starts as running.
void initialStatus(VfsCloseFileJob *job) { job->jobStatus = JobRunning; }
void initialStatus(VfsReadFileJob *job) { job->jobStatus = JobRunning; }
void initialStatus(VfsWriteFileJob *job) { job->jobStatus = JobRunning; }
template <typename Job> void initialStatus(Job *job) { job->jobStatus = JobIdle; }

template <typename Job>
Job *findAwaiting(std::vector<Job *> &q, quint16 trId)
{
    for (Job *job : q) {
        if (job->request && job->request->trId == trId && job->request->sendState == 1)
            return job;
    }
    return nullptr;
}

} // namespace

// --- Private -------------------------------------------------------------------------------

template <typename Job>
void VfsClientNusk::Private::withdraw(Job *job)
{
    if (!job)
        return;
    QMutexLocker lock(&mutex);
    RecordLock recordLock(recordMutex(job));
    if (!job->request)
        return;
    auto &q = queue<Job>();
    auto it = std::find(q.begin(), q.end(), job);
    if (it == q.end())
        return;
    q.erase(it);
    delete job->request;
    job->request = nullptr;
    logPrintf(LogVcli, "withdrew %s job", kindName(job));
}

template <typename Job>
void VfsClientNusk::Private::dropQueue(std::vector<Job *> &q)
{
    for (Job *job : q) {
        RecordLock recordLock(recordMutex(job));
        delete job->request;
        job->request = nullptr;
    }
    q.clear();
}

// Marks every request sent and not yet answered as timed out; the next pass announces each
// one. Those not sent yet wait for the link to come back, within their timeout.
template <typename Job>
void failQueue(std::vector<Job *> &q)
{
    for (Job *job : q) {
        RecordLock recordLock(recordMutex(job));
        if (!job->request || isComplete(job) || job->request->sendState != 1)
            continue;
        job->jobStatus = JobError;
        job->status = FSO_STATUS_TIMEOUT;
        job->request->sendState = 2;
    }
}

bool isRepeatable(const VfsListDirectoryJob *) { return true; }
bool isRepeatable(const VfsListDrivesJob *) { return true; }
bool isRepeatable(const VfsHashFileJob *) { return true; }
bool isRepeatable(const VfsGetFileJob *) { return true; }
bool isRepeatable(const VfsSyncJob *) { return true; }
template <typename Job> bool isRepeatable(const Job *) { return false; }

// A listing starts over: its pages are numbered within the other side's listing of the
// first transaction id, and nobody has seen the entries collected so far.
void forgetProgress(VfsListDirectoryJob *job) { job->entries.clear(); job->leftOut.clear(); }
template <typename Job> void forgetProgress(Job *) {}

template <typename Job>
void repeatQueue(VfsClientNusk::Private &d, std::vector<Job *> &q)
{
    for (Job *job : q) {
        RecordLock recordLock(recordMutex(job));
        VfsClientRequest *req = job->request;
        if (!isRepeatable(job) || !req || isComplete(job) || req->sendState != 1)
            continue;
        forgetProgress(job);
        prepare(d, job, req);
        req->trId = d.counter++;
        req->sendState = 0;
    }
}

// --- client --------------------------------------------------------------------------------

constexpr int kLinkWaitTickMs = 20;

VfsClientNusk::VfsClientNusk(QObject *parent)
    : VfsClient(parent), d(std::make_shared<Private>()), m_jobTimer(new QTimer(this))
{
    qRegisterMetaType<std::vector<unsigned char>>();
    qRegisterMetaType<VfsListDirectoryJob *>();
    qRegisterMetaType<VfsListDrivesJob *>();
    qRegisterMetaType<VfsMoveJob *>();
    qRegisterMetaType<VfsOpenFileJob *>();
    qRegisterMetaType<VfsCloseFileJob *>();
    qRegisterMetaType<VfsReadFileJob *>();
    qRegisterMetaType<VfsWriteFileJob *>();
    qRegisterMetaType<VfsDeleteFileJob *>();
    qRegisterMetaType<VfsHashFileJob *>();
    qRegisterMetaType<VfsMakeDirectoryJob *>();
    qRegisterMetaType<VfsSyncJob *>();
    qRegisterMetaType<VfsPutFileJob *>();
    qRegisterMetaType<VfsGetFileJob *>();
    m_jobTimer->setSingleShot(true);
    connect(m_jobTimer, &QTimer::timeout, this, &VfsClientNusk::jobTimerFired);
    d->counter = static_cast<quint16>((quint64(QRandomGenerator::global()->generate()) * 65535u) >> 32);
    d->rxClock.start();
}

VfsClientNusk::~VfsClientNusk()
{
    QMutexLocker lock(&d->mutex);
    d->dropAll();
}

void VfsClientNusk::setProtocolVersion(ushort version)
{
    QMutexLocker lock(&d->mutex);
    d->version = version;
}

ushort VfsClientNusk::protocolVersion() const
{
    QMutexLocker lock(&d->mutex);
    return d->version;
}

void VfsClientNusk::setRequestTimeout(int ms)
{
    QMutexLocker lock(&d->mutex);
    d->requestTimeoutMs = std::max(0, ms);
}

void VfsClientNusk::setTransferTimeout(int ms)
{
    QMutexLocker lock(&d->mutex);
    d->transferTimeoutMs = std::max(0, ms);
}

int VfsClientNusk::requestTimeout() const
{
    QMutexLocker lock(&d->mutex);
    return d->requestTimeoutMs;
}

int VfsClientNusk::transferTimeout() const
{
    QMutexLocker lock(&d->mutex);
    return d->transferTimeoutMs;
}

void VfsClientNusk::setMaxListingEntries(std::size_t count)
{
    QMutexLocker lock(&d->mutex);
    d->maxListingEntries = count;
}

bool VfsClientNusk::onOwnThread() const
{
    return QThread::currentThread() == thread();
}

void VfsClientNusk::postTimer()
{
    QMetaObject::invokeMethod(this, &VfsClientNusk::jobTimerFired, Qt::QueuedConnection);
}

// kick: run the passes as soon as possible (0 ms); otherwise keep them ticking every ms.
void VfsClientNusk::startOrKick(bool kick)
{
    if (!onOwnThread()) {
        postTimer();
        return;
    }
    if (kick) {
        if (!(m_jobTimer->isActive() && m_jobTimer->interval() == 0))
            m_jobTimer->start(0);
    } else if (!m_jobTimer->isActive()) {
        m_jobTimer->start(1);
    }
}

template <typename Job>
bool VfsClientNusk::enqueue(Job *job)
{
    if (!job)
        return false;
    QMutexLocker lock(&d->mutex);
    RecordLock recordLock(recordMutex(job));
    if (job->request) {
        // Queuing a record twice would let two requests write into it.
        logPrintf(LogVcli, "%s job is already queued", kindName(job));
        return false;
    }
    auto *req = new VfsClientRequest;
    req->trId = d->counter++;
    std::weak_ptr<Private> weak = d;
    job->release = [weak](Job *j) {
        if (auto p = weak.lock())
            p->withdraw(j);
    };
    prepare(*d, job, req);
    // Counts the wait for the link; restarted when the request leaves.
    req->clock.start();
    job->request = req;
    initialStatus(job);
    d->queue<Job>().push_back(job);
    return true;
}

// Block transfers and hashes leave at once so they don't wait for the next tick.
template <typename Job>
void VfsClientNusk::submit(Job *job)
{
    if (!enqueue(job))
        return;
    if (!sentAtOnce(job) || !onOwnThread()) {
        postTimer();
        return;
    }
    runPass<Job>();
    startOrKick(false);
}

void VfsClientNusk::listDirectory(VfsListDirectoryJob *job) { submit(job); }
void VfsClientNusk::listDrives(VfsListDrivesJob *job) { submit(job); }
void VfsClientNusk::move(VfsMoveJob *job) { submit(job); }
void VfsClientNusk::openFile(VfsOpenFileJob *job) { submit(job); }
void VfsClientNusk::closeFile(VfsCloseFileJob *job) { submit(job); }
void VfsClientNusk::readFile(VfsReadFileJob *job) { submit(job); }
void VfsClientNusk::writeFile(VfsWriteFileJob *job) { submit(job); }
void VfsClientNusk::deleteFile(VfsDeleteFileJob *job) { submit(job); }
void VfsClientNusk::hashFile(VfsHashFileJob *job) { submit(job); }
void VfsClientNusk::makeDirectory(VfsMakeDirectoryJob *job) { submit(job); }
void VfsClientNusk::syncFileSystem(VfsSyncJob *job) { submit(job); }
void VfsClientNusk::putFile(VfsPutFileJob *job) { submit(job); }
void VfsClientNusk::getFile(VfsGetFileJob *job) { submit(job); }

bool VfsClientNusk::canPutFile() const
{
    return protocolVersion() >= FSO_PROTOCOL_VERSION_PUT_FILE;
}

namespace {

// The answer of a client that cannot ask for it, at once.
template <typename Job, typename Signal>
void refuseAtOnce(VfsClient *client, Job *job, Signal update)
{
    job->status = FSO_STATUS_INVALID_PARAMETER;
    job->jobStatus = JobError;
    if (job->done) {
        const std::function<void(Job *)> done = job->done;
        done(job);
    } else {
        Q_EMIT (client->*update)(job);
    }
}

} // namespace

void VfsClient::putFile(VfsPutFileJob *job)
{
    refuseAtOnce(this, job, &VfsClient::putFileUpdate);
}

void VfsClient::getFile(VfsGetFileJob *job)
{
    refuseAtOnce(this, job, &VfsClient::getFileUpdate);
}

void VfsClient::syncFileSystem(VfsSyncJob *job)
{
    job->status = FSO_STATUS_TIMEOUT;
    job->jobStatus = JobError;
    if (job->done) {
        const std::function<void(VfsSyncJob *)> done = job->done;
        done(job);
    } else {
        Q_EMIT syncFileSystemUpdate(job);
    }
}

template <typename Job>
void VfsClientNusk::runPass()
{
    std::vector<std::vector<std::uint8_t>> outgoing;
    Job *done = nullptr;
    {
        QMutexLocker lock(&d->mutex);
        auto &q = d->queue<Job>();
        for (std::size_t i = 0; i < q.size(); ++i) {
            Job *job = q[i];
            RecordLock recordLock(recordMutex(job));
            VfsClientRequest *req = job->request;
            if (!req || isComplete(job)) {
                q.erase(q.begin() + static_cast<std::ptrdiff_t>(i));
                delete req;
                job->request = nullptr;
                finishOnCleanup(job);
                logPrintf(LogVcli, "cleanup %s job", kindName(job));
                done = job;
                break;
            }
            // Unsent while the link is not ready, or sent: waiting, within the same limit.
            const bool waiting = req->sendState == 1 || (req->sendState == 0 && !d->linkReady);
            if (waiting) {
                const int limit = waitsLong(job) ? d->transferTimeoutMs : d->requestTimeoutMs;
                if (req->clock.elapsed() > limit) {
                    logPrintf(LogVcli, "timeout on %s job (%s)", kindName(job),
                              req->sendState == 0 ? "link not ready" : "no reply");
                    job->jobStatus = JobError;
                    job->status = FSO_STATUS_TIMEOUT;
                    req->sendState = 2;
                }
            } else if (req->sendState == 0) {
                job->jobStatus = JobRunning;
                std::vector<std::uint8_t> msg;
                if (encode(*d, job, req, msg)) {
                    logPrintf(LogVcli, "send %s req TrId %u", kindName(job), req->trId);
                    outgoing.push_back(std::move(msg));
                    req->clock.start();
                    req->sendState = 1;
                } else {
                    logPrintf(LogVcli, "failed to encode %s req TrId %u", kindName(job), req->trId);
                    job->jobStatus = JobError;
                    req->sendState = 2;
                    encodeFailed(job);
                }
            }
        }
    }
    for (std::vector<std::uint8_t> &msg : outgoing) {
        if (d->transmitter)
            d->transmitter(std::move(msg));
        else
            Q_EMIT fsoTransmit(std::move(msg));
    }
    if (done)
        announce(done);
}

void VfsClientNusk::jobTimerFired()
{
    {
        QMutexLocker lock(&d->mutex);
        if (d->allEmpty()) {
            logPrintf(LogVcli, "all jobs done");
            return;
        }
    }
    // The passes take the lock themselves; the table only names the kinds here.
    RequestQueues kinds;
    kinds.forEach([this](const auto &q) {
        using Job = std::remove_pointer_t<typename std::decay_t<decltype(q)>::value_type>;
        runPass<Job>();
    });
    bool empty;
    bool ready;
    {
        QMutexLocker lock(&d->mutex);
        empty = d->allEmpty();
        ready = d->linkReady;
    }
    if (empty)
        return;
    // Waiting for the link only needs the timeouts looked at now and then.
    if (ready)
        startOrKick(false);
    else
        m_jobTimer->start(kLinkWaitTickMs);
}

void VfsClientNusk::onThreadFinished()
{
    m_jobTimer->stop();
    // No reply can be matched once the thread is gone: every kind is dropped, as on
    // destruction, so no record of any kind keeps a request the client can't finish.
    QMutexLocker lock(&d->mutex);
    d->dropAll();
}

void VfsClientNusk::failPendingRequests()
{
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(this, &VfsClientNusk::failPendingRequests, Qt::QueuedConnection);
        return;
    }
    {
        QMutexLocker lock(&d->mutex);
        d->queues.forEach([](auto &q) { failQueue(q); });
    }
    startOrKick(true);
}

void VfsClientNusk::repeatUnanswered()
{
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(this, &VfsClientNusk::repeatUnanswered, Qt::QueuedConnection);
        return;
    }
    {
        QMutexLocker lock(&d->mutex);
        d->queues.forEach([this](auto &q) { repeatQueue(*d, q); });
    }
    startOrKick(true);
}

void VfsClientNusk::setLinkReady(bool ready)
{
    {
        QMutexLocker lock(&d->mutex);
        if (d->linkReady == ready)
            return;
        d->linkReady = ready;
    }
    if (ready)
        startOrKick(true);
}

void VfsClientNusk::onRxOngoing()
{
    QMutexLocker lock(&d->mutex);
    d->rxClock.restart();
}

// --- replies -------------------------------------------------------------------------------

void VfsClientNusk::setTransmitter(FsoTransmitter transmitter)
{
    d->transmitter = std::move(transmitter);
}

void VfsClientNusk::processIncomingCommand(const VfsFenuCommand &cmd)
{
    dispatchIncoming(cmd, nullptr);
}

void VfsClientNusk::takeIncomingCommand(VfsFenuCommand &cmd)
{
    dispatchIncoming(cmd, &cmd.data);
}

void VfsClientNusk::dispatchIncoming(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    switch (cmd.code) {
    case FSO_LIST_DRIVES_REPLY: processListDrivesResponse(cmd); break;
    case FSO_LIST_DIRECTORY_REPLY: processListDirectoryResponse(cmd); break;
    case FSO_QUERY_LIST_DIRECTORY_REPLY: processQueryListDirectoryResponse(cmd); break;
    case FSO_DIRECTORY_CHANGED: processDirectoryChangedNotification(cmd); break;
    case FSO_MOVE_REPLY: processMoveResponse(cmd); break;
    case FSO_OPEN_FILE_REPLY: processOpenFileResponse(cmd); break;
    case FSO_CLOSE_FILE_REPLY: processCloseFileResponse(cmd); break;
    case FSO_READ_FILE_REPLY: processReadFileResponse(cmd, takeData); break;
    case FSO_WRITE_FILE_REPLY: processWriteFileResponse(cmd); break;
    case FSO_DELETE_FILE_REPLY: processDeleteFileResponse(cmd); break;
    case FSO_HASH_FILE_REPLY: processHashFileResponse(cmd); break;
    case FSO_MAKE_DIRECTORY_REPLY: processMakeDirectoryResponse(cmd); break;
    case FSO_SYNC_REPLY: processSyncResponse(cmd); break;
    case FSO_PUT_FILE_REPLY: processPutFileResponse(cmd); break;
    case FSO_GET_FILE_REPLY: processGetFileResponse(cmd, takeData); break;
    default:
        logPrintf(LogVcli, "drop unknown command 0x%02X", cmd.code);
        break;
    }
    Q_EMIT processedCommand(&cmd);
}

void VfsClientNusk::processListDirectoryResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsListDirectoryJob *job = findAwaiting(d->queue<VfsListDirectoryJob>(), cmd.trId);
        if (!job || job->request->step != FSO_LIST_DIRECTORY) {
            logPrintf(LogVcli, "no LIST_DIRECTORY job for TrId %u found", cmd.trId);
            return;
        }
        RecordLock recordLock(&job->mutex);
        VfsClientRequest *req = job->request;
        job->status = cmd.status;
        if (cmd.status != FSO_STATUS_SUCCESS) {
            job->jobStatus = JobError;
            req->sendState = 2;
        } else {
            req->granted = cmd.attributes;
            job->separator = (cmd.flags & FSO_LISTDIR_BACKSLASH) ? QLatin1Char('\\') : QLatin1Char('/');
            job->volumeSerial = (cmd.flags & FSO_LISTDIR_VOLUME_SERIAL) ? cmd.volumeSerial : 0;
            req->step = FSO_QUERY_LIST_DIRECTORY;
            req->pageIndex = 0;
            job->leftOut.clear();
            req->sendState = 0;
        }
    }
    startOrKick(true);
}

void VfsClientNusk::processQueryListDirectoryResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsListDirectoryJob *job = findAwaiting(d->queue<VfsListDirectoryJob>(), cmd.trId);
        if (!job || job->request->step != FSO_QUERY_LIST_DIRECTORY) {
            logPrintf(LogVcli, "no LIST_DIRECTORY job for TrId %u found", cmd.trId);
            return;
        }
        RecordLock recordLock(&job->mutex);
        VfsClientRequest *req = job->request;
        std::size_t consumed = 0;
        bool overflow = false;
        if ((cmd.status == FSO_STATUS_SUCCESS || cmd.status == FSO_STATUS_COMPLETE) && !cmd.entryBlock.empty()) {
            const std::uint32_t granted = req->granted.value0();
            com::TermStreamReader reader(cmd.entryBlock);
            for (unsigned i = 0; i < cmd.count && !reader.failed(); ++i) {
                VfsDirectoryEntry entry;
                if (!readDirectoryEntry(reader, granted, entry))
                    break;
                ++consumed;
                // Names become parts of local paths later (copies, opened files): a name
                // that could climb out of its directory is never handed on.
                if (!isSafeEntryName(entry.name)) {
                    logPrintf(LogVcli, "drop entry with unusable name, TrId %u", cmd.trId);
                    continue;
                }
                if (job->entries.size() + job->leftOut.size() >= d->maxListingEntries) {
                    overflow = true;
                    break;
                }
                if (entry.type == FSO_ENTRY_LEFT_OUT)
                    job->leftOut.push_back(entry.name);
                else
                    job->entries.push_back(std::move(entry));
            }
        }
        job->status = cmd.status;
        if (overflow) {
            logPrintf(LogVcli, "listing TrId %u exceeds %zu entries", cmd.trId, d->maxListingEntries);
            job->status = FSO_STATUS_IO_ERROR;
            job->jobStatus = JobError;
            req->sendState = 2;
        } else if (cmd.status == FSO_STATUS_SUCCESS) {
            if (consumed == 0) {
                // "More follows" without a single entry would ask for the same page forever.
                logPrintf(LogVcli, "listing TrId %u: empty page without end, listing ends", cmd.trId);
                job->jobStatus = JobFinished;
                req->sendState = 2;
            } else {
                req->pageIndex += static_cast<quint32>(consumed);
                req->sendState = 0;
            }
        } else if (cmd.status == FSO_STATUS_COMPLETE) {
            job->jobStatus = JobFinished;
            req->sendState = 2;
        } else {
            job->jobStatus = JobError;
            req->sendState = 2;
        }
    }
    startOrKick(true);
}

void VfsClientNusk::processListDrivesResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsListDrivesJob *job = findAwaiting(d->queue<VfsListDrivesJob>(), cmd.trId);
        if (!job)
            return;
        RecordLock recordLock(&job->mutex);
        for (const FsoDriveRecord &rec : cmd.drives) {
            VfsDrive drive;
            drive.trId = cmd.trId;
            drive.type = rec.type;
            drive.plugType = rec.plugType;
            drive.state = rec.state;
            drive.name = QString::fromUtf8(rec.name.data(), static_cast<int>(rec.name.size()));
            QString path = QString::fromUtf8(rec.path.data(), static_cast<int>(rec.path.size()));
            while (path.endsWith(QLatin1Char('\\')))
                path.chop(1);
            drive.path = path;
            drive.bytesAvailable = rec.bytesAvailable;
            drive.bytesTotal = rec.bytesTotal;
            job->drives.push_back(std::move(drive));
        }
        job->status = cmd.status;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processDirectoryChangedNotification(const VfsFenuCommand &cmd)
{
    Q_EMIT directoryChanged(QString::fromUtf8(cmd.path.data(), static_cast<int>(cmd.path.size())));
}

void VfsClientNusk::processMoveResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsMoveJob *job = findAwaiting(d->queue<VfsMoveJob>(), cmd.trId);
        if (!job)
            return;
        RecordLock recordLock(&job->mutex);
        job->status = cmd.status;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processOpenFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsOpenFileJob *job = findAwaiting(d->queue<VfsOpenFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->handle = cmd.handle;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processCloseFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsCloseFileJob *job = findAwaiting(d->queue<VfsCloseFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->handle = cmd.handle;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processReadFileResponse(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsReadFileJob *job = findAwaiting(d->queue<VfsReadFileJob>(), cmd.trId);
        if (!job)
            return;
        if (job->jobStatus != JobRunning) {
            logPrintf(LogVcli, "read file job TrId %u, rsp while not in state JobRunning", cmd.trId);
            return;
        }
        job->status = cmd.status;
        // More than one block, or more than was asked for, is not a read result.
        if (cmd.dataSize <= FSO_MAX_DATA && cmd.dataSize <= job->size && cmd.data.size() == cmd.dataSize) {
            job->receivedSize = cmd.dataSize;
            if (takeData)
                job->data.swap(*takeData);
            else
                job->data.assign(cmd.data.begin(), cmd.data.end());
        } else {
            job->receivedSize = 0;
            job->data.clear();
        }
        job->request->sendState = 2;
    }
    runPass<VfsReadFileJob>();
}

void VfsClientNusk::processWriteFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsWriteFileJob *job = findAwaiting(d->queue<VfsWriteFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        // A peer can't have written more than it was sent.
        job->written = cmd.dataSize <= job->size ? cmd.dataSize : 0;
        job->request->sendState = 2;
    }
    runPass<VfsWriteFileJob>();
}

void VfsClientNusk::processDeleteFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsDeleteFileJob *job = findAwaiting(d->queue<VfsDeleteFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->failedPath = (cmd.status != FSO_STATUS_SUCCESS && !cmd.path.empty())
                              ? QString::fromUtf8(cmd.path.data(), static_cast<int>(cmd.path.size()))
                              : QString();
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processHashFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsHashFileJob *job = findAwaiting(d->queue<VfsHashFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->replyFlags = static_cast<quint8>(cmd.flags);
        // Digests count only when the block holds exactly n of them.
        if (cmd.count <= FSO_MAX_DIGESTS && cmd.dataSize == cmd.count * FSO_DIGEST_SIZE
            && cmd.data.size() == cmd.dataSize && cmd.dataSize >= 1 && cmd.dataSize <= FSO_MAX_DIGEST_BLOCK) {
            job->digestCount = cmd.count;
            job->digestBytes = cmd.dataSize;
            job->digests.assign(cmd.data.begin(), cmd.data.end());
        } else {
            job->digestCount = 0;
            job->digestBytes = 0;
            job->digests.clear();
        }
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    // Block hashes are announced at once, like reads and writes.
    runPass<VfsHashFileJob>();
    startOrKick(true);
}

void VfsClientNusk::processMakeDirectoryResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsMakeDirectoryJob *job = findAwaiting(d->queue<VfsMakeDirectoryJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->detail = cmd.detail;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processSyncResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsSyncJob *job = findAwaiting(d->queue<VfsSyncJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    startOrKick(true);
}

void VfsClientNusk::processPutFileResponse(const VfsFenuCommand &cmd)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsPutFileJob *job = findAwaiting(d->queue<VfsPutFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    // Announced at once, like the writes it stands for.
    runPass<VfsPutFileJob>();
}

void VfsClientNusk::processGetFileResponse(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    {
        QMutexLocker lock(&d->mutex);
        VfsGetFileJob *job = findAwaiting(d->queue<VfsGetFileJob>(), cmd.trId);
        if (!job)
            return;
        job->status = cmd.status;
        // More than was asked for is not a read result.
        if (cmd.dataSize <= job->size && cmd.data.size() == cmd.dataSize) {
            if (takeData)
                job->data.swap(*takeData);
            else
                job->data.assign(cmd.data.begin(), cmd.data.end());
        } else {
            job->data.clear();
            job->status = FSO_STATUS_IO_ERROR;
        }
        job->jobStatus = JobFinished;
        job->request->sendState = 2;
    }
    runPass<VfsGetFileJob>();
}

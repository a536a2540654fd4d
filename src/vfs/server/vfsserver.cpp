#include "vfs/server/vfsserver.h"

#include "app/base/log.h"
#include "vfs/server/drives.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/vfsaccess.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/server/vfsflushes.h"
#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsjoblane.h"
#include "vfs/server/vfsjobqueue.h"
#include "vfs/server/vfsopenfiles.h"
#include "vfs/server/vfsserverjobs.h"
#include "vfs/server/vfswatcher.h"

#include <QFile>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <typeinfo>
#include <unordered_set>
#include <sys/stat.h>
#include <unistd.h>

using vfsaccess::LinkMode;
using vfsaccess::MappedPath;

namespace {

// Free job records kept for reuse per kind; more are released. As many as a copy keeps in
// flight: a new read record's buffer is zeroed once before its first read.
constexpr std::size_t kMaxFreeJobs = 32;
// Reads, writes and hashes one peer may have in flight; each holds up to 64 KB.
constexpr std::size_t kMaxDataJobs = 512;
// Opens, reads, writes, hashes and closes of written files of one peer running on the global pool at
// once: the rest wait in the server, so one peer never holds every pool thread and the
// other peers' and the owner's own requests still find one.
constexpr int kMaxRunningDataJobs = 4;
// Puts of one peer running at once (see startWaiting).
constexpr int kMaxRunningPuts = kMaxRunningDataJobs;
// Blocks a running strand takes on after it started, before the file's next blocks wait for
// it to end: other files of the peer get their turn.
constexpr std::size_t kMaxStrand = 256;
// LIST_DRIVES requests held until the first read of the drives, and for how long at most.
constexpr std::size_t kMaxWaitingDriveRequests = 8;
constexpr int kDriveWaitMs = 5000;
// Moves and renames one peer may have running or queued; each holds directory descriptors,
// and a move across file systems may take minutes.
constexpr std::size_t kMaxOperations = 16;
// Deletes of one peer running on the pool at once (VfsJobLane). A delete waits on the disk
// for much of its time: the last close of a removed file frees its blocks, and on a file
// system mounted to discard them waits for the disk as well. Between two computers a move's
// 10,000 deletes took 2.2-3.8 s one at a time on the server's thread, 0.8-1.5 s four at a
// time and 0.6-0.9 s eight at a time; four leave the rest of an eight-thread pool to the
// other peers and to this computer's own work. The deletes of all peers together keep one
// thread of the pool free of deletes and share the rest (VfsLaneGroup).
constexpr int kMaxRunningDeletes = 4;
// Deletes of one peer that may take minutes, beside those: a folder removed with all it
// holds, anything moved to the recycle bin (which may copy it to another file system). In a
// lane of their own they never hold back the quick deletes that end a move; a delete job
// sends one at a time, so two leave room for two of them side by side.
constexpr int kMaxRunningLongDeletes = 2;
// A file the peer holds open for writing and has not used for this long is taken for one its
// copy lost when the peer opens it for writing again (closeLostWriter). A copy's writes,
// hashes and reads keep its file in use; one that waits longer with its file open (its
// source gone quiet) loses it and, once it has paused, waits for the file as for another's.
constexpr qint64 kLostWriterMs = 60000;
// Deletes one peer may have running or waiting; more are answered at once with
// FSO_STATUS_IO_ERROR. A move keeps 128 out at once: room for several moves of one peer.
constexpr std::size_t kMaxDeletes = 1024;

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

// Closes a descriptor when it goes out of scope.
class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A whole-file request's folder, opened on the server's thread: FSO_STATUS_SUCCESS with the
// folder and the name inside it, or the status to answer.
std::uint8_t openFolderOf(const QString &local, UniqueFd *folder, QByteArray *name)
{
    folder->reset(vfsaccess::openParentDirectory(local, name));
    if (folder->get() >= 0)
        return FSO_STATUS_SUCCESS;
    return errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR;
}

// The job takes the request's opened folder and the rules it is checked against again.
void handOver(WholeFileJob *job, const VfsFenuCommand &cmd, UniqueFd *folder, const QByteArray &name,
              const vfsaccess::VfsAccessRules &rules)
{
    job->trId = cmd.trId;
    job->closeDescriptors();
    job->parentDir = folder->release();
    job->name = name;
    job->rules = rules;
}

} // namespace

// Blocks of one file run back to back on one pool thread (see startStrand). The queue, `open`
// and `taken` are shared between the server's thread, which appends, and that pool thread.
struct VfsJobStrand
{
    std::mutex mutex;
    VfsJobQueue queue;
    bool open = true;          // still takes more
    std::size_t taken = 0;     // appended after the start
    const std::type_info *kind = nullptr;

    void drain(const VfsJobRunner::EndReport &ended)
    {
        std::unique_lock<std::mutex> lock(mutex);
        queue.drain(lock, ended, [] { return true; }, [this](VfsServerJob *job) {
            // The last one frees the peer's slot; once it is known to be the last, nothing
            // joins any more (appendToStrand sees `open` false and queues the usual way).
            if (queue.jobs.empty()) {
                open = false;
                job->holdsSlot = true;
            }
        });
    }
};

class VfsServerNuskPrivate
{
public:
    VfsServerNuskPrivate(VfsServerNusk *owner, bool local)
        : q(owner), isLocal(local), rules(local, {}), runner(owner),
          deleteLane(runner, kMaxRunningDeletes, VfsLaneGroup::deletes()),
          longDeleteLane(runner, kMaxRunningLongDeletes, VfsLaneGroup::deletes(), VfsJobLane::Long),
          flushes(owner, runner, [this](std::vector<unsigned char> &&reply) { send(std::move(reply)); },
                  [this] { startWaiting(); })
    {
    }

    VfsServerNusk *q;
    const bool isLocal;
    quint16 protocolVersion = FSO_PROTOCOL_VERSION;
    QTimer jobTimer;
    QTimer closeFileTimer;
    std::vector<PeerAclDto> acl;
    vfsaccess::VfsAccessRules rules;
    vfsaccess::PublishedShares published;

    std::vector<std::unique_ptr<QueryListDirectoryJob>> pendingListings, freeListings;
    std::vector<std::unique_ptr<ReadFileJob>> runningReads, freeReads;
    std::vector<std::unique_ptr<WriteFileJob>> runningWrites, freeWrites;
    std::vector<std::unique_ptr<HashFileJob>> runningHashes, freeHashes;
    std::vector<std::unique_ptr<FileOperationJob>> runningOperations;
    std::vector<std::unique_ptr<FileOperationJob>> freeOperations;
    std::vector<std::unique_ptr<CloseFileJob>> runningCloses, freeCloses;
    std::vector<std::unique_ptr<OpenFileJob>> runningOpens, freeOpens;
    std::vector<std::unique_ptr<PutFileJob>> runningPuts, freePuts;
    std::vector<std::unique_ptr<GetFileJob>> runningGets, freeGets;
    // Deletes asked and not answered yet.
    std::vector<std::unique_ptr<DeleteFileJob>> takenDeletes, freeDeletes;

    // Data jobs taken but not started, oldest first; `drop` gives the record back unrun.
    struct Waiting
    {
        VfsServerJob *job;
        VfsOpenFilePtr file;
        std::function<void()> drop;
    };
    std::vector<Waiting> waitingData;
    int runningData = 0;
    int runningOpenJobs = 0; // opens and puts of runningData: one open, or kMaxRunningPuts puts

    // LIST_DRIVES asked before the watcher's first read of the drives.
    std::vector<VfsFenuCommand> waitingDriveRequests;
    QTimer driveWaitTimer;

    VfsOpenFileTable files;
    quint16 notifyTrId = 0;
    // Cancels what runs for the current link; replaced when the link drops.
    std::shared_ptr<std::atomic<bool>> cancelToken = std::make_shared<std::atomic<bool>>(false);

    int listingWaitTicks = 1500;
    qint64 idleLimitMs = 300000;
    int maxPendingListings = 64;

    FsoTransmitter transmitter;
    VfsJobRunner runner;
    VfsJobLane deleteLane;
    VfsJobLane longDeleteLane; // trees and trash (kMaxRunningLongDeletes)
    // What the peer wrote or opened, for its SYNCs.
    VfsFlushes flushes;

    void send(std::vector<unsigned char> &&message)
    {
        if (message.empty())
            return;
        if (transmitter)
            transmitter(std::move(message));
        else
            Q_EMIT q->fsoTransmit(std::move(message));
    }

    // A reply that carries nothing but its status.
    void sendStatus(std::uint8_t replyCode, std::uint16_t trId, std::uint8_t status)
    {
        std::vector<unsigned char> reply;
        if (!fsoreply::status(reply, replyCode, trId, status))
            logPrintf(LogVsrv, "failed to encode the status reply 0x%02X, TrId %u", unsigned(replyCode), unsigned(trId));
        send(std::move(reply));
    }

    template <typename Job>
    Job *acquire(std::vector<std::unique_ptr<Job>> &freeList, std::vector<std::unique_ptr<Job>> &running,
                 void (VfsServerNuskPrivate::*finished)(Job *))
    {
        std::unique_ptr<Job> job;
        if (!freeList.empty()) {
            job = std::move(freeList.back());
            freeList.pop_back();
        } else {
            job.reset(new Job);
            Job *raw = job.get();
            job->ended = [this, raw, finished]() { (this->*finished)(raw); };
        }
        Job *raw = job.get();
        running.push_back(std::move(job));
        return raw;
    }

    template <typename Job>
    std::unique_ptr<Job> release(std::vector<std::unique_ptr<Job>> &running, Job *job)
    {
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (it->get() == job) {
                std::unique_ptr<Job> owned = std::move(*it);
                running.erase(it);
                return owned;
            }
        }
        return nullptr;
    }

    template <typename Job>
    void recycle(std::vector<std::unique_ptr<Job>> &freeList, std::unique_ptr<Job> job)
    {
        if (job && freeList.size() < kMaxFreeJobs) {
            job->state = VfsServerJobIdle;
            freeList.push_back(std::move(job));
        }
    }

    // The end of a read, write or hash job: the file is free for the next job, the reply goes
    // out (after `beforeReply`, which may close the file), the record returns to its pool.
    template <typename Job, typename BeforeReply>
    void finishDataJob(std::vector<std::unique_ptr<Job>> &running, std::vector<std::unique_ptr<Job>> &freeList,
                       Job *job, BeforeReply beforeReply)
    {
        std::unique_ptr<Job> owned = release(running, job);
        if (!owned)
            return;
        dataJobFinished(job->file, job->holdsSlot);
        if (job->state == VfsServerJobReplyReady) {
            beforeReply(job);
            send(std::move(job->reply));
        } else {
            logPrintf(LogVsrv, "unexpected data job state %d", int(job->state.load()));
        }
        job->file.reset();
        recycle(freeList, std::move(owned));
    }

    // Ties a job about to run to the current link's cancel flag.
    void arm(VfsServerJob *job)
    {
        job->cancelToken = cancelToken;
        job->cancelled = job->cancelToken.get();
        job->state = VfsServerJobRunning;
    }

    void start(VfsServerJob *job)
    {
        arm(job);
        runner.run(job);
    }

    // Runs blocks of one file one after another on one pool thread, and goes on with the
    // file's blocks that arrive meanwhile (appendToStrand) until none is left: each job still
    // ends (and answers) on its own, in order, but the next waits neither for a hand-over to
    // this thread and back to a worker nor for this thread to take the last one's answer.
    // The job run last holds the peer's slot.
    void startStrand(const VfsOpenFilePtr &file, VfsServerJob *job)
    {
        auto strand = std::make_shared<VfsJobStrand>();
        strand->kind = &typeid(*job);
        beginStrandJob(job);
        strand->queue.jobs.push_back(job);
        file->strand = strand;
        runner.runWork([strand](const VfsJobRunner::EndReport &ended) { strand->drain(ended); });
    }

    void beginStrandJob(VfsServerJob *job)
    {
        arm(job);
        job->holdsSlot = false;
    }

    // Hands `job` to the strand running its file's blocks of the same kind, if that strand
    // still takes more.
    bool appendToStrand(VfsServerJob *job, const VfsOpenFilePtr &file)
    {
        const std::shared_ptr<VfsJobStrand> strand = file->strand;
        if (!strand || !chainable(job) || *strand->kind != typeid(*job))
            return false;
        std::lock_guard<std::mutex> lock(strand->mutex);
        if (!strand->open || strand->taken >= kMaxStrand)
            return false;
        ++file->runningJobs;
        ++strand->taken;
        beginStrandJob(job);
        strand->queue.jobs.push_back(job);
        return true;
    }

    // A read or write that leaves its file open may run right after the one before it on the
    // same pool thread; one that closes the file must end before anything else runs on it.
    static bool chainable(const VfsServerJob *job)
    {
        if (const auto *read = dynamic_cast<const ReadFileJob *>(job))
            return !(read->flags & (FSO_READ_CLOSE | FSO_READ_CLOSE_AT_EOF));
        if (const auto *write = dynamic_cast<const WriteFileJob *>(job))
            return !(write->flags & FSO_WRITE_CLOSE);
        return false;
    }

    std::size_t dataJobCount() const
    {
        return runningReads.size() + runningWrites.size() + runningHashes.size() + runningCloses.size()
               + runningOpens.size() + runningPuts.size() + runningGets.size();
    }

    // Queues a data job on `file`; it starts once fewer than kMaxRunningDataJobs of the
    // peer run and nothing else runs on that file.
    template <typename Job>
    void schedule(Job *job, std::vector<std::unique_ptr<Job>> &running, std::vector<std::unique_ptr<Job>> &freeList)
    {
        auto drop = [this, job, &running, &freeList]() {
            std::unique_ptr<Job> owned = release(running, job);
            job->file.reset();
            recycle(freeList, std::move(owned));
        };
        waitingData.push_back({job, job->file, drop});
        startWaiting();
    }

    void startWaiting()
    {
        // Files with a request left waiting in this pass: their later requests wait too.
        std::unordered_set<const VfsOpenFile *> passed;
        for (auto it = waitingData.begin(); it != waitingData.end();) {
            const bool put = dynamic_cast<PutFileJob *>(it->job) != nullptr;
            const bool open = put || dynamic_cast<OpenFileJob *>(it->job);
            if (it->file && it->file->runningJobs > 0) {
                // Behind blocks of its file that run now: it may join them (no slot needed),
                // unless an earlier request of the file still waits.
                if (!passed.count(it->file.get()) && appendToStrand(it->job, it->file)) {
                    it = waitingData.erase(it);
                } else {
                    passed.insert(it->file.get());
                    ++it;
                }
                continue;
            }
            // Files made in one folder wait for each other in the kernel anyway (the folder's
            // lock): one open at a time leaves the other threads to reads and writes, which
            // copied many small files a fifth faster than four opens at once. A put makes its
            // file without a name, outside that lock, and holds it only for the link: making
            // inodes is what takes long where many files were just deleted, and four puts at
            // once made 2,000 files there twice as fast as two.
            // A new file waits while the peer's files wait for their flush in numbers.
            if (runningData >= kMaxRunningDataJobs || (open && runningOpenJobs >= (put ? kMaxRunningPuts : 1))
                || (open && flushes.full())) {
                if (it->file)
                    passed.insert(it->file.get());
                ++it;
                continue;
            }
            if (open)
                ++runningOpenJobs;
            if (it->file)
                ++it->file->runningJobs;
            ++runningData;
            VfsServerJob *job = it->job;
            job->holdsSlot = true;
            const VfsOpenFilePtr file = it->file;
            it = waitingData.erase(it);
            if (!file || !chainable(job)) {
                if (file)
                    file->strand.reset();
                start(job);
                continue;
            }
            // The file's blocks of the same kind queued behind it join it further on.
            startStrand(file, job);
        }
    }

    void dataJobFinished(const VfsOpenFilePtr &file, bool holdsSlot = true)
    {
        if (file)
            --file->runningJobs;
        if (!holdsSlot)
            return; // the chain's last job starts what waits
        --runningData;
        startWaiting();
    }

    int activeListings() const
    {
        int count = 0;
        for (const auto &job : pendingListings) {
            if (job->state != VfsServerJobDone)
                ++count;
        }
        return count;
    }

    // False when the close reported an error: what was written may not have been kept.
    bool closeFile(const VfsOpenFilePtr &file, bool applyTimes)
    {
        const int result = vfsfiles::closeOpenFile(*file, applyTimes);
        if (result == vfsfiles::kCloseFailed)
            logPrintf(LogVsrv, "close of %s failed", QFile::encodeName(file->path).constData());
        else if (result != 0)
            logPrintf(LogVsrv, "failed to set file time status: %d", result);
        return result != vfsfiles::kCloseFailed;
    }

    // The end of a get or a put (`makes`): its slot is free, what it read or made is kept for
    // the SYNC that follows, the reply goes out, the record returns to its pool.
    template <typename Job>
    void finishWholeFileJob(std::vector<std::unique_ptr<Job>> &running, std::vector<std::unique_ptr<Job>> &freeList,
                            Job *job, bool makes)
    {
        std::unique_ptr<Job> owned = release(running, job);
        if (!owned)
            return;
        if (makes)
            --runningOpenJobs;
        dataJobFinished(nullptr);
        flushes.keepFile(job->flushFd, job->flushIdentity);
        job->dropForFlush();
        job->closeDescriptors();
        send(std::move(job->reply));
        job->rules = vfsaccess::VfsAccessRules();
        recycle(freeList, std::move(owned));
    }

    // finished slots
    void listingFinished(QueryListDirectoryJob *job);
    void readFinished(ReadFileJob *job);
    void writeFinished(WriteFileJob *job);
    void hashFinished(HashFileJob *job);
    void closeFinished(CloseFileJob *job);
    void openFinished(OpenFileJob *job);
    void putFinished(PutFileJob *job);
    void getFinished(GetFileJob *job);
    void operationFinished(FileOperationJob *job);
    void deleteFinished(DeleteFileJob *job);
    // Gives the records of the deletes that have not started back unrun.
    void dropWaitingDeletes();
    // Deletes not yet started take the access as it is now.
    void recheckWaitingDeletes();

    // Sends the LIST_DRIVES reply with the watcher's drive list as it is now.
    void replyDrives(const VfsFenuCommand &cmd);

    // Closes the open files a peer may no longer reach with the access they were opened
    // for (after its access entries changed); their kept times are not applied.
    void closeRevokedFiles();
    // A file the peer holds open for writing under `path` and has not used for a while is one
    // its copy lost (an open whose answer went missing while the link stayed up): closed as
    // the idle check would, so that the copy, opening it again, is not kept out by itself.
    void closeLostWriter(const QString &path);

    // Makes a move job (not yet started) that owns sourceDir; null, with the descriptor
    // closed, when the peer already has kMaxOperations of them running.
    FileOperationJob *startOperation(const VfsFenuCommand &cmd, const QString &source, int sourceDir,
                                     const QByteArray &sourceName);
    bool operationsFull() const { return runningOperations.size() >= kMaxOperations; }

};

// --- construction ---------------------------------------------------------------------------

VfsServerNusk::VfsServerNusk(bool isLocal, QObject *parent)
    : QObject(parent), d(new VfsServerNuskPrivate(this, isLocal))
{
    if (VfsWatcher *watcher = VfsWatcher::instance())
        connect(watcher, &VfsWatcher::directoryChanged, this, &VfsServerNusk::directoryChanged,
                Qt::QueuedConnection);
    connect(this, &VfsServerNusk::notifyDirectoryChanged, this, &VfsServerNusk::directoryChanged,
            Qt::QueuedConnection);

    d->jobTimer.setParent(this);
    d->jobTimer.setInterval(10);
    connect(&d->jobTimer, &QTimer::timeout, this, &VfsServerNusk::jobTimerFired);
    d->driveWaitTimer.setParent(this);
    d->driveWaitTimer.setSingleShot(true);
    d->driveWaitTimer.setInterval(kDriveWaitMs);
    connect(&d->driveWaitTimer, &QTimer::timeout, this, &VfsServerNusk::answerWaitingDriveRequests);
    d->closeFileTimer.setParent(this);
    d->closeFileTimer.setSingleShot(true);
    d->closeFileTimer.setInterval(300000);
    connect(&d->closeFileTimer, &QTimer::timeout, this, &VfsServerNusk::closeFileTimerFired);
    closeFileTimerFired();
}

VfsServerNusk::~VfsServerNusk()
{
    // Workers only touch their own records and the open files they were handed, so once
    // every one of them has finished nothing on the pool refers to this server.
    d->cancelToken->store(true);
    d->jobTimer.stop();
    d->closeFileTimer.stop();
    d->driveWaitTimer.stop();
    d->dropWaitingDeletes();
    d->runner.waitForAll();
    for (const VfsOpenFilePtr &file : d->files.takeAll())
        d->closeFile(file, false);
    // The timers are members; unparent them before QObject deletes its children.
    d->jobTimer.setParent(nullptr);
    d->closeFileTimer.setParent(nullptr);
    d->driveWaitTimer.setParent(nullptr);
}

bool VfsServerNusk::isLocal() const
{
    return d->isLocal;
}

void VfsServerNusk::setProtocolVersion(quint16 version)
{
    // Only versions this server knows: the decoder and the handlers branch on it.
    d->protocolVersion = std::clamp<quint16>(version, FSO_PROTOCOL_VERSION_MIN, FSO_PROTOCOL_VERSION);
}

quint16 VfsServerNusk::protocolVersion() const
{
    return d->protocolVersion;
}

void VfsServerNusk::setAcl(std::vector<PeerAclDto> entries)
{
    if (entries == d->acl)
        return;
    d->acl = std::move(entries);
    d->rules = vfsaccess::VfsAccessRules(d->isLocal, d->acl);
    d->published.publish(d->acl);
    d->closeRevokedFiles();
    d->recheckWaitingDeletes();
    Q_EMIT notifyDirectoryChanged(vfsaccess::sharesRoot());
    Q_EMIT notifyDirectoryChanged(vfsaccess::drivesRoot());
}

void VfsServerNuskPrivate::closeRevokedFiles()
{
    if (isLocal)
        return;
    std::vector<VfsOpenFilePtr> revoked;
    for (const VfsOpenFilePtr &file : files.files()) {
        std::uint32_t required = 0;
        if (file->readable)
            required |= vfsaccess::AclRead;
        if (file->writable)
            required |= vfsaccess::AclWrite;
        // The descriptor is only closed on this thread, so reading it here is safe.
        if (rules.check(file->path, required, LinkMode::FollowLast) != FSO_STATUS_SUCCESS
            || !rules.descriptorInside(file->path, file->fd))
            revoked.push_back(file);
    }
    for (const VfsOpenFilePtr &file : revoked) {
        logPrintf(LogVsrv, "access to %s revoked: handle %u closed", qUtf8Printable(file->path), unsigned(file->handle));
        files.remove(file);
        closeFile(file, false);
    }
}

void VfsServerNuskPrivate::closeLostWriter(const QString &path)
{
    const qint64 unused = std::min<qint64>(kLostWriterMs, idleLimitMs);
    std::vector<VfsOpenFilePtr> lost;
    for (const VfsOpenFilePtr &file : files.files()) {
        std::unique_lock<std::mutex> lock(file->mutex, std::try_to_lock);
        if (lock.owns_lock() && file->writable && file->path == path && file->fd >= 0 && file->idle.elapsed() >= unused)
            lost.push_back(file);
    }
    for (const VfsOpenFilePtr &file : lost) {
        files.remove(file);
        closeFile(file, false);
    }
}

void VfsServerNusk::linkDropped()
{
    // Whatever runs was asked on the link that is gone: its answers have nowhere to go.
    d->cancelToken->store(true);
    d->cancelToken = std::make_shared<std::atomic<bool>>(false);
    std::vector<VfsServerNuskPrivate::Waiting> waiting;
    waiting.swap(d->waitingData);
    for (VfsServerNuskPrivate::Waiting &entry : waiting)
        entry.drop();
    // Not run: the peer asks again once the link is back, and a delete it never heard of
    // being done would be answered "not found" then.
    d->dropWaitingDeletes();
    for (auto &job : d->pendingListings) {
        if (job->state == VfsServerJobWaiting)
            job->state = VfsServerJobDone;
    }
    // The peer's copies reopen their files on resume; held here they would block writers
    // and count against the open-file limit for minutes.
    for (const VfsOpenFilePtr &file : d->files.takeAll())
        d->closeFile(file, false);
}

std::vector<PeerAclDto> VfsServerNusk::acl() const
{
    return d->acl;
}

void VfsServerNusk::setListingWait(int ticks, int tickMs)
{
    d->listingWaitTicks = std::max(1, ticks);
    d->jobTimer.setInterval(std::max(1, tickMs));
}

void VfsServerNusk::setIdleClose(qint64 idleMs, int checkIntervalMs)
{
    d->idleLimitMs = idleMs;
    d->closeFileTimer.setInterval(std::max(1, checkIntervalMs));
    d->closeFileTimer.start();
}

void VfsServerNusk::setFlushIdle(int ms)
{
    d->flushes.setIdleTime(ms);
}

void VfsServerNusk::setMaxPendingListings(int count)
{
    d->maxPendingListings = std::max(1, count);
}

int VfsServerNusk::openFileCount() const
{
    return d->files.size();
}

int VfsServerNusk::pendingListingCount() const
{
    return int(d->pendingListings.size());
}

int VfsServerNusk::runningJobCount() const
{
    int running = int(d->dataJobCount() + d->runningOperations.size() + d->takenDeletes.size());
    for (const auto &job : d->pendingListings) {
        if (job->state == VfsServerJobRunning)
            ++running;
    }
    return running;
}

void VfsServerNusk::setLastHandle(quint16 handle)
{
    d->files.setLastHandle(handle);
}

// --- dispatch ------------------------------------------------------------------------------

void VfsServerNusk::setTransmitter(FsoTransmitter transmitter)
{
    d->transmitter = std::move(transmitter);
}

void VfsServerNusk::processIncomingCommand(const VfsFenuCommand &cmd)
{
    dispatchIncoming(cmd, nullptr);
}

void VfsServerNusk::takeIncomingCommand(VfsFenuCommand &cmd)
{
    dispatchIncoming(cmd, &cmd.data);
}

void VfsServerNusk::dispatchIncoming(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    if (cmd.msgClass == FSO_CLASS_REPLY) {
        Q_EMIT processedCommand(&cmd);
        return;
    }
    switch (cmd.code) {
    case FSO_LIST_DIRECTORY: processListDirectoryCommand(cmd); break;
    case FSO_QUERY_LIST_DIRECTORY: processQueryListDirectoryCommand(cmd); break;
    case FSO_LIST_DRIVES: processListDrivesCommand(cmd); break;
    case FSO_MOVE: processMoveCommand(cmd); break;
    case FSO_OPEN_FILE: processOpenFileCommand(cmd); break;
    case FSO_READ_FILE: processReadFileCommand(cmd); break;
    case FSO_WRITE_FILE: acceptWrite(cmd, takeData); break;
    case FSO_DELETE_FILE: processDeleteFileCommand(cmd); break;
    case FSO_MAKE_DIRECTORY: processMakeDirectoryCommand(cmd); break;
    case FSO_CLOSE_FILE: processCloseFileCommand(cmd); break;
    case FSO_HASH_FILE: processHashFileCommand(cmd); break;
    case FSO_SYNC: processSyncCommand(cmd); break;
    case FSO_PUT_FILE: acceptPut(cmd, takeData); break;
    case FSO_GET_FILE: processGetFileCommand(cmd); break;
    default:
        logPrintf(LogVsrv, "drop unknown command 0x%02X", unsigned(cmd.code));
        break;
    }
    Q_EMIT processedCommand(&cmd);
}

// --- LIST_DIRECTORY / QUERY_LIST_DIRECTORY -------------------------------------------------

void VfsServerNusk::processListDirectoryCommand(const VfsFenuCommand &cmd)
{
    // Names are joined with "/" here; echoing the backslash flag would make the client
    // join them with "\".
    const std::uint32_t echoed = cmd.flags & FSO_LISTDIR_ECHO_MASK & ~FSO_LISTDIR_BACKSLASH;
    const std::uint16_t grantedMask = cmd.attributes.mask & 1;
    const std::uint32_t granted = grantedMask ? (cmd.attributes.values[0] & FSO_ATTR_GRANTABLE) : 0;

    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    std::uint8_t status = mapped.status;
    std::uint64_t serial = 0;
    if (status == FSO_STATUS_SUCCESS && !mapped.sharesRoot) {
        status = d->rules.check(mapped.local, 0, LinkMode::FollowLast);
        struct stat st;
        if (status == FSO_STATUS_SUCCESS) {
            if (::stat(nativePath(mapped.local).constData(), &st) != 0)
                status = FSO_STATUS_NOT_FOUND;
            else if (!S_ISDIR(st.st_mode))
                status = FSO_STATUS_NOT_A_DIRECTORY;
            else
                serial = std::uint64_t(st.st_dev);
        }
    }
    if (status == FSO_STATUS_SUCCESS && d->activeListings() >= d->maxPendingListings)
        status = FSO_STATUS_IO_ERROR;

    FsoAttributes grantedSet;
    grantedSet.mask = grantedMask;
    grantedSet.values[0] = granted;
    std::vector<unsigned char> reply;
    if (!fsoreply::listDirectory(reply, cmd.trId, status, echoed, grantedSet, serial)) {
        logPrintf(LogVsrv, "failed to send LIST_DIRECTORY response");
        return;
    }
    d->send(std::move(reply));
    if (status != FSO_STATUS_SUCCESS)
        return;

    // A new listing under a TrId still waiting replaces the old one.
    for (auto &job : d->pendingListings) {
        if (job->trId == cmd.trId && job->state == VfsServerJobWaiting)
            job->state = VfsServerJobDone;
    }
    std::unique_ptr<QueryListDirectoryJob> job;
    if (!d->freeListings.empty()) {
        job = std::move(d->freeListings.back());
        d->freeListings.pop_back();
    } else {
        job.reset(new QueryListDirectoryJob);
        QueryListDirectoryJob *raw = job.get();
        job->ended = [this, raw]() { d->listingFinished(raw); };
    }
    job->reset();
    job->trId = cmd.trId;
    job->flags = cmd.flags;
    job->granted = granted;
    job->localPath = mapped.local;
    job->sharesRoot = mapped.sharesRoot;
    if (vfsaccess::isSharesPath(mapped.requested)) {
        std::vector<PeerAclDto> shared;
        for (const PeerAclDto &entry : d->acl) {
            if (!(entry.flags & vfsaccess::AclDrive))
                shared.push_back(entry);
        }
        job->rules = vfsaccess::VfsAccessRules(d->isLocal, std::move(shared));
    } else {
        job->rules = d->rules;
    }
    job->wait = d->listingWaitTicks;
    job->state = VfsServerJobWaiting;
    d->pendingListings.push_back(std::move(job));
    if (!d->jobTimer.isActive())
        d->jobTimer.start();

    if (cmd.flags & FSO_LISTDIR_WATCH) {
        // A share is watched by the folder behind it; directoryChanged tells its changes
        // under the share's name.
        const QString watched = vfsaccess::isSharesPath(mapped.requested)
                                    ? mapped.local
                                    : QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
        VfsWatcher *watcher = VfsWatcher::instance();
        if (watcher && !watched.isEmpty())
            watcher->watchDirectory(watched);
    }
}

void VfsServerNusk::processQueryListDirectoryCommand(const VfsFenuCommand &cmd)
{
    for (auto &job : d->pendingListings) {
        if (job->trId != cmd.trId || job->state != VfsServerJobWaiting)
            continue;
        job->index = cmd.index;
        d->start(job.get());
        return;
    }
    logPrintf(LogVsrv, "no listing waits for TrId %u", unsigned(cmd.trId));
}

void VfsServerNuskPrivate::listingFinished(QueryListDirectoryJob *job)
{
    if (job->state != VfsServerJobReplyReady) {
        logPrintf(LogVsrv, "unexpected job->state %d", int(job->state.load()));
        job->state = VfsServerJobDone;
        return;
    }
    send(std::move(job->reply));
    if (job->pageStatus == FSO_STATUS_SUCCESS) {
        // Every page gets the full wait: a slow client paging a large folder is not cut off.
        job->state = VfsServerJobWaiting;
        job->wait = listingWaitTicks;
    } else {
        job->state = VfsServerJobDone;
    }
}

void VfsServerNusk::jobTimerFired()
{
    auto &pending = d->pendingListings;
    for (auto &job : pending) {
        if (job->state == VfsServerJobWaiting && --job->wait < 1) {
            logPrintf(LogVsrv, "timeout query job request TrId %u", unsigned(job->trId));
            job->state = VfsServerJobDone;
        }
    }
    for (auto it = pending.begin(); it != pending.end();) {
        if ((*it)->state == VfsServerJobDone) {
            logPrintf(LogVsrv, "cleanup job request TrId %u", unsigned((*it)->trId));
            std::unique_ptr<QueryListDirectoryJob> job = std::move(*it);
            it = pending.erase(it);
            job->dropEntries();
            job->closeDirectory();
            d->recycle(d->freeListings, std::move(job));
        } else {
            ++it;
        }
    }
    if (pending.empty())
        d->jobTimer.stop();
}

// --- LIST_DRIVES ----------------------------------------------------------------------------

void VfsServerNusk::processListDrivesCommand(const VfsFenuCommand &cmd)
{
    // Right after start-up the drives have not been read yet: an empty answer would look
    // like a computer without drives. The request waits for the first read (a few
    // requests at most, and kDriveWaitMs at most).
    VfsWatcher *watcher = VfsWatcher::instance();
    if (watcher && !watcher->hasDriveList() && d->waitingDriveRequests.size() < kMaxWaitingDriveRequests) {
        d->waitingDriveRequests.push_back(cmd);
        if (!d->driveWaitTimer.isActive())
            d->driveWaitTimer.start();
        return;
    }
    d->replyDrives(cmd);
}

void VfsServerNuskPrivate::replyDrives(const VfsFenuCommand &cmd)
{
    std::vector<DriveCache> drives;
    if (VfsWatcher *watcher = VfsWatcher::instance())
        drives = watcher->copyDriveCache();

    // Header 12, status 2, index 3, reserved 3, count 3.
    std::size_t used = com::kTermHeaderBytes + 2 + 3 + 3 + 3;
    std::vector<FsoDriveRecord> records;
    for (std::size_t i = cmd.index; i < drives.size(); ++i) {
        const DriveCache &drive = drives[i];
        if (!isLocal) {
            QString root;
            const QString path = QString::fromUtf8(drive.path);
            if (!vfsaccess::cleanPath(path, &root))
                continue;
            const int entry = vfsaccess::findAclEntry(acl, root, true);
            if (entry < 0 || !(acl[std::size_t(entry)].flags & vfsaccess::AclDrive))
                continue;
        }
        const std::size_t size = driveRecordWireSize(drive);
        if (used + size > FSO_MAX_DRIVES_REPLY || records.size() >= FSO_MAX_DRIVES)
            break;
        used += size;
        FsoDriveRecord record;
        record.lead = drive.leadingByte;
        record.type = drive.type;
        record.plugType = drive.plugType;
        record.state = drive.state;
        record.bytesTotal = drive.bytesTotal;
        record.bytesAvailable = drive.bytesAvailable;
        record.path = drive.path.toStdString();
        record.name = drive.name.toStdString();
        records.push_back(std::move(record));
    }

    std::vector<unsigned char> reply;
    if (!fsoreply::drives(reply, cmd.trId, FSO_STATUS_SUCCESS, std::uint16_t(cmd.index), std::move(records))) {
        logPrintf(LogVsrv, "failed to send LIST_DRIVES response");
        return;
    }
    send(std::move(reply));
}

// --- MOVE -------------------------------------------------------------------------------------

void VfsServerNusk::processMoveCommand(const VfsFenuCommand &cmd)
{
    auto answer = [&](std::uint8_t status) { d->sendStatus(FSO_MOVE_REPLY, cmd.trId, status); };
    const MappedPath source = d->rules.mapRequestPath(cmd.path);
    const MappedPath destination = d->rules.mapRequestPath(cmd.destination);
    if (source.status != FSO_STATUS_SUCCESS)
        return answer(source.status);
    if (destination.status != FSO_STATUS_SUCCESS)
        return answer(destination.status);
    if (source.local.isEmpty() || destination.local.isEmpty())
        return answer(FSO_STATUS_INVALID_PARAMETER);
    if (!d->isLocal) {
        int sourceEntry = -1, destinationEntry = -1;
        if (d->rules.check(source.local, vfsaccess::AclWrite, LinkMode::NoFollowLast, false, &sourceEntry)
                != FSO_STATUS_SUCCESS
            || d->rules.check(destination.local, vfsaccess::AclWrite, LinkMode::NoFollowLast, false,
                              &destinationEntry) != FSO_STATUS_SUCCESS)
            return answer(FSO_STATUS_NOT_PERMITTED);
        // Moving a shared item's root away, or onto it, ends the share as surely as
        // deleting it.
        QString sourceSelector, destinationSelector;
        vfsaccess::cleanPath(d->acl[std::size_t(sourceEntry)].selector, &sourceSelector);
        vfsaccess::cleanPath(d->acl[std::size_t(destinationEntry)].selector, &destinationSelector);
        if (sourceSelector == source.local || destinationSelector == destination.local
            || d->rules.holdsShareRoot(source.local) || d->rules.holdsShareRoot(destination.local))
            return answer(FSO_STATUS_NOT_PERMITTED);
    }
    // Both folders are opened once and checked by what they really are; the rename and any
    // later work go by name inside them.
    QByteArray fromName, toName;
    UniqueFd fromDir(vfsaccess::openParentDirectory(source.local, &fromName));
    if (fromDir.get() < 0)
        return answer(FSO_STATUS_NOT_FOUND);
    UniqueFd toDir(vfsaccess::openParentDirectory(destination.local, &toName));
    if (!d->rules.entryInside(source.local, fromDir.get(), fromName)
        || (toDir.get() >= 0 && !d->rules.entryInside(destination.local, toDir.get(), toName)))
        return answer(FSO_STATUS_NOT_PERMITTED);
    d->flushes.beforeWrite(fromDir.get());
    d->flushes.beforeWrite(toDir.get());
    // A copy renames its hidden file while it holds it open: the name must still lead to it.
    vfsserverfs::MoveSource expected;
    expected.server = d.get();
    for (const VfsOpenFilePtr &file : d->files.files()) {
        if (file->writeClaim && file->path == source.local) {
            expected.open = true;
            expected.device = file->writeClaim->device();
            expected.inode = file->writeClaim->inode();
        }
    }
    // The rename itself (or the copy across file systems) runs on the pool: making names in
    // a big folder waits for the folder's lock, and many small files renamed one after the
    // other held up this thread's reads and writes. Only with the peer's work already at its
    // limit does a rename run here; a copy across file systems is then refused, as it could
    // hold this thread for minutes.
    const bool samePath = source.local == destination.local;
    if (!d->operationsFull()) {
        FileOperationJob *job = d->startOperation(cmd, source.local, fromDir.release(), fromName);
        job->moveFlags = cmd.flags;
        job->samePath = samePath;
        job->expected = expected;
        job->destinationDir = toDir.release();
        job->destinationName = toName;
        d->start(job);
        return;
    }
    std::uint8_t status = vfsserverfs::checkMoveSource(fromDir.get(), fromName, expected);
    if (status == FSO_STATUS_SUCCESS)
        status = vfsserverfs::moveAt(fromDir.get(), fromName, toDir.get(), toName, cmd.flags, samePath, false,
                                     nativePath(source.local), nullptr);
    if (status == FSO_STATUS_SUCCESS) {
        d->flushes.keepFolder(fromDir.get(), vfsflush::identify(fromDir.get()));
        d->flushes.keepFolder(toDir.get(), vfsflush::identify(toDir.get()));
    }
    answer(status);
}

// --- DELETE_FILE ------------------------------------------------------------------------------

void VfsServerNusk::processDeleteFileCommand(const VfsFenuCommand &cmd)
{
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    std::uint8_t status = mapped.status;
    // A share this peer no longer has: whatever the path named is still there, out of its reach.
    if (status == FSO_STATUS_NOT_FOUND)
        status = FSO_STATUS_NOT_PERMITTED;
    else if (status == FSO_STATUS_SUCCESS && mapped.local.isEmpty())
        status = FSO_STATUS_INVALID_PARAMETER;
    else if (status == FSO_STATUS_SUCCESS && d->takenDeletes.size() >= kMaxDeletes)
        status = FSO_STATUS_IO_ERROR;
    if (status != FSO_STATUS_SUCCESS) {
        std::vector<unsigned char> reply;
        fsoreply::deleted(reply, cmd.trId, status, cmd.path);
        d->send(std::move(reply));
        return;
    }
    DeleteFileJob *job = d->acquire(d->freeDeletes, d->takenDeletes, &VfsServerNuskPrivate::deleteFinished);
    job->trId = cmd.trId;
    job->flags = cmd.flags;
    job->localPath = mapped.local;
    job->requestPath = cmd.path;
    job->notifyPath = vfsaccess::parentPath(mapped.requested);
    job->version = {cmd.expectChangeNs, cmd.expectInode};
    job->rules = d->rules;
    job->inLongLane = cmd.flags & FSO_DELETE_TO_TRASH;
    job->needsLongLane = false;
    d->arm(job);
    (job->inLongLane ? d->longDeleteLane : d->deleteLane).add(job);
}

void VfsServerNuskPrivate::deleteFinished(DeleteFileJob *job)
{
    if (job->needsLongLane) {
        job->needsLongLane = false;
        // Asked on a link that has dropped since: it never runs, as if it had still waited.
        if (job->cancelToken != cancelToken) {
            job->rules = vfsaccess::VfsAccessRules();
            recycle(freeDeletes, release(takenDeletes, job));
            return;
        }
        // Checked again when it runs there, against the access as it is then.
        job->inLongLane = true;
        job->rules = rules;
        arm(job);
        longDeleteLane.add(job);
        return;
    }
    std::unique_ptr<DeleteFileJob> owned = release(takenDeletes, job);
    if (!owned)
        return;
    send(std::move(job->reply));
    if (job->status == FSO_STATUS_SUCCESS)
        Q_EMIT q->notifyDirectoryChanged(job->notifyPath);
    job->rules = vfsaccess::VfsAccessRules();
    recycle(freeDeletes, std::move(owned));
}

void VfsServerNuskPrivate::recheckWaitingDeletes()
{
    // A delete is checked when it runs, against the access it carries: one still waiting
    // carries the access as it is now, not as it was when it came.
    for (VfsJobLane *lane : {&deleteLane, &longDeleteLane}) {
        for (VfsServerJob *job : lane->takeWaiting()) {
            static_cast<DeleteFileJob *>(job)->rules = rules;
            lane->add(job);
        }
    }
}

void VfsServerNuskPrivate::dropWaitingDeletes()
{
    for (VfsJobLane *lane : {&deleteLane, &longDeleteLane}) {
        for (VfsServerJob *job : lane->takeWaiting()) {
            auto *waiting = static_cast<DeleteFileJob *>(job);
            waiting->rules = vfsaccess::VfsAccessRules();
            recycle(freeDeletes, release(takenDeletes, waiting));
        }
    }
}

FileOperationJob *VfsServerNuskPrivate::startOperation(const VfsFenuCommand &cmd, const QString &source, int sourceDir,
                                                      const QByteArray &sourceName)
{
    if (operationsFull()) {
        if (sourceDir >= 0)
            ::close(sourceDir);
        return nullptr;
    }
    // Records are reused: a rename per small file copied made a watcher each time.
    FileOperationJob *job = acquire(freeOperations, runningOperations, &VfsServerNuskPrivate::operationFinished);
    job->trId = cmd.trId;
    job->source = source;
    job->sourceDir = sourceDir;
    job->sourceName = sourceName;
    job->destinationDir = -1;
    job->destinationName.clear();
    job->moveFlags = 0;
    job->samePath = false;
    job->expected = vfsserverfs::MoveSource();
    job->status = 0;
    return job;
}

void VfsServerNuskPrivate::operationFinished(FileOperationJob *job)
{
    std::unique_ptr<FileOperationJob> owned = release(runningOperations, job);
    if (!owned)
        return;
    if (job->state == VfsServerJobReplyReady && job->status == FSO_STATUS_SUCCESS) {
        flushes.keepFolder(job->sourceDir, job->sourceFolder);
        flushes.keepFolder(job->destinationDir, job->destinationFolder);
    }
    job->closeDescriptors();
    if (job->state != VfsServerJobReplyReady) {
        logPrintf(LogVsrv, "unexpected job->state %d", int(job->state.load()));
        return;
    }
    send(std::move(job->reply));
    recycle(freeOperations, std::move(owned));
}

// --- MAKE_DIRECTORY ---------------------------------------------------------------------------

void VfsServerNusk::processMakeDirectoryCommand(const VfsFenuCommand &cmd)
{
    auto answer = [&](std::uint8_t status, std::uint32_t detail) {
        std::vector<unsigned char> reply;
        fsoreply::makeDirectory(reply, cmd.trId, status, detail);
        d->send(std::move(reply));
    };
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return answer(mapped.status, 0);
    if (mapped.local.isEmpty())
        return answer(FSO_STATUS_INVALID_PARAMETER, 0);
    if (d->rules.check(mapped.local, vfsaccess::AclWrite, LinkMode::FollowLast) != FSO_STATUS_SUCCESS)
        return answer(FSO_STATUS_NOT_PERMITTED, 0);
    struct stat st;
    const QByteArray path = nativePath(mapped.local);
    if (::lstat(path.constData(), &st) == 0) {
        const bool directory = ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
        const std::uint32_t detail = directory ? FSO_MKDIR_DETAIL_EXISTED : FSO_MKDIR_DETAIL_NOT_A_DIRECTORY;
        if ((cmd.flags & FSO_MKDIR_FAIL_IF_EXISTS) || !directory)
            return answer(FSO_STATUS_IO_ERROR, detail);
        return answer(FSO_STATUS_SUCCESS, detail);
    }
    // The deepest folder that exists is opened and checked for what it really is; the
    // missing parts are made below it one at a time, never through a link.
    QString base = mapped.local;
    QStringList missing;
    while (base != QLatin1String("/") && ::lstat(nativePath(base).constData(), &st) != 0) {
        if (errno != ENOENT)
            return answer(FSO_STATUS_IO_ERROR, 0);
        missing.prepend(base.mid(base.lastIndexOf(QLatin1Char('/')) + 1));
        base = vfsaccess::parentPath(base);
    }
    const UniqueFd baseDir(::open(nativePath(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (baseDir.get() < 0)
        return answer(FSO_STATUS_IO_ERROR, 0);
    if (!d->rules.isLocal()) {
        QString real;
        if (!vfsaccess::descriptorPath(baseDir.get(), &real)
            || !d->rules.insideEntry(mapped.local, real + (real.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"))
                                                       + missing.join(QLatin1Char('/'))))
            return answer(FSO_STATUS_NOT_PERMITTED, 0);
    }
    d->flushes.beforeWrite(baseDir.get());
    const bool made = vfsserverfs::makePathAt(baseDir.get(), missing, [this](int dirFd) {
        d->flushes.keepFolder(dirFd, vfsflush::identify(dirFd));
    });
    answer(made ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR, 0);
}

// --- SYNC ----------------------------------------------------------------------------------------

void VfsServerNusk::processSyncCommand(const VfsFenuCommand &cmd)
{
    auto answer = [&](std::uint8_t status) { d->sendStatus(FSO_SYNC_REPLY, cmd.trId, status); };
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return answer(mapped.status);
    if (mapped.local.isEmpty())
        return answer(FSO_STATUS_INVALID_PARAMETER);
    // Only a peer that may write there may make this computer write out its disk.
    if (d->rules.check(mapped.local, vfsaccess::AclWrite, LinkMode::FollowLast) != FSO_STATUS_SUCCESS)
        return answer(FSO_STATUS_NOT_PERMITTED);
    UniqueFd folder(::open(nativePath(mapped.local).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return answer(errno == ENOENT ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR);
    if (!d->rules.descriptorInside(mapped.local, folder.get()))
        return answer(FSO_STATUS_NOT_PERMITTED);
    // Writing out a file system, or each file the peer wrote there, may take long: on the pool.
    d->flushes.sync(cmd.trId, folder.release());
}

// --- OPEN_FILE / CLOSE_FILE --------------------------------------------------------------------

void VfsServerNusk::processOpenFileCommand(const VfsFenuCommand &cmd)
{
    auto answer = [&](std::uint8_t status, std::uint16_t handle) {
        std::vector<unsigned char> reply;
        if (!fsoreply::handle(reply, FSO_OPEN_FILE_REPLY, cmd.trId, status, handle))
            logPrintf(LogVsrv, "failed to send OPEN_FILE response TrId %u", unsigned(cmd.trId));
        d->send(std::move(reply));
    };
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return answer(mapped.status, 0);
    if (mapped.local.isEmpty())
        return answer(FSO_STATUS_INVALID_PARAMETER, 0);

    const bool read = cmd.flags & FSO_OPEN_READ;
    const bool write = cmd.flags & FSO_OPEN_WRITE;
    const bool timesOnly = !read && !write && (cmd.flags & FSO_OPEN_ATTRIBUTES);
    if (!read && !write && !timesOnly)
        return answer(FSO_STATUS_INVALID_PARAMETER, 0);
    std::uint32_t required = 0;
    if (read)
        required |= vfsaccess::AclRead;
    if (write || timesOnly)
        required |= vfsaccess::AclWrite;
    if (d->rules.check(mapped.local, required, LinkMode::FollowLast) != FSO_STATUS_SUCCESS)
        return answer(FSO_STATUS_NOT_PERMITTED, 0);

    const std::uint32_t attributes = cmd.attributes.value0();
    auto givenTime = [&](std::uint32_t bit, std::int64_t value) -> std::int64_t {
        return (attributes & bit) && value > 0 ? value : 0;
    };
    // From here on the work goes through descriptors: the directory is opened once, and
    // what the name leads to is checked again after it has been opened, so a part of the
    // path swapped for a link after the check above leads nowhere.
    QByteArray name;
    UniqueFd parent(vfsaccess::openParentDirectory(mapped.local, &name));
    if (parent.get() < 0)
        return answer(errno == ENOENT && !write && !timesOnly ? FSO_STATUS_NOT_FOUND : FSO_STATUS_IO_ERROR, 0);
    if (write || timesOnly)
        d->flushes.beforeWrite(parent.get());
    if (timesOnly) {
        struct stat st;
        if ((cmd.flags & FSO_OPEN_EXCLUSIVE) && ::fstatat(parent.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return answer(FSO_STATUS_EXISTS, 0);
        const UniqueFd target(::openat(parent.get(), name.constData(), O_PATH | O_CLOEXEC));
        if (target.get() < 0)
            return answer(FSO_STATUS_IO_ERROR, 0);
        if (!d->rules.descriptorInside(mapped.local, target.get()))
            return answer(FSO_STATUS_NOT_PERMITTED, 0);
        if (cmd.permissions >= 0 && d->rules.modeProtected(target.get()))
            return answer(FSO_STATUS_NOT_PERMITTED, 0);
        const QString targetPath = QStringLiteral("/proc/self/fd/%1").arg(target.get());
        int result = vfsfiles::applyFileTimes(targetPath, givenTime(FSO_ATTR_ACCESS_TIME, cmd.accessTime),
                                              givenTime(FSO_ATTR_MODIFY_TIME, cmd.modifyTime));
        // Like the mode `cp` gives: wanted, not a condition. A file system that keeps no
        // modes (FAT) refuses the change and the copy is complete all the same.
        if (result == 0 && cmd.permissions >= 0 && vfsfiles::applyPermissions(targetPath, cmd.permissions) != 0)
            logPrintf(LogVsrv, "mode of %s not set: %s", qUtf8Printable(mapped.local), strerror(errno));
        // The times are part of the copy: flushed with it where each file is flushed on its own.
        if (result == 0) {
            const UniqueFd times(::open(QFile::encodeName(targetPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            d->flushes.keepFile(times.get(), vfsflush::identify(times.get()));
        }
        return answer(result == 0 ? FSO_STATUS_COMPLETE : FSO_STATUS_IO_ERROR, 0);
    }
    if (write)
        d->closeLostWriter(mapped.local);
    if (d->files.isFull())
        return answer(FSO_STATUS_IO_ERROR, 0);

    // Opening, above all making a file, may wait on the disk (a busy file system spends
    // milliseconds finding a free inode): on the pool, so the peer's other requests go on.
    OpenFileJob *job = d->acquire(d->freeOpens, d->runningOpens, &VfsServerNuskPrivate::openFinished);
    job->trId = cmd.trId;
    job->closeDescriptors();
    job->parentDir = parent.release();
    job->name = name;
    job->localPath = mapped.local;
    job->rules = d->rules;
    job->isLocal = d->isLocal;
    job->read = read;
    job->write = write;
    job->exclusive = cmd.flags & FSO_OPEN_EXCLUSIVE;
    job->truncateTo = (cmd.flags & FSO_OPEN_TRUNCATE) && (attributes & FSO_ATTR_SIZE) ? cmd.size : ~std::uint64_t(0);
    job->openFlags = cmd.flags;
    const bool keepTimes = d->protocolVersion > 1 && write && (cmd.flags & FSO_OPEN_ATTRIBUTES) && cmd.attributes.mask;
    job->accessTime = keepTimes ? givenTime(FSO_ATTR_ACCESS_TIME, cmd.accessTime) : 0;
    job->birthTime = keepTimes ? givenTime(FSO_ATTR_BIRTH_TIME, cmd.birthTime) : 0;
    job->modifyTime = keepTimes ? givenTime(FSO_ATTR_MODIFY_TIME, cmd.modifyTime) : 0;
    job->permissions = write ? cmd.permissions : -1;
    job->server = d.get();
    d->schedule(job, d->runningOpens, d->freeOpens);
}

void VfsServerNuskPrivate::openFinished(OpenFileJob *job)
{
    std::unique_ptr<OpenFileJob> owned = release(runningOpens, job);
    if (!owned)
        return;
    --runningOpenJobs;
    dataJobFinished(nullptr);
    std::uint8_t status = job->status;
    std::uint16_t handle = 0;
    // Asked on a link that is gone: nobody would ever close it.
    if (status == FSO_STATUS_SUCCESS && (job->cancelled && job->cancelled->load()))
        status = FSO_STATUS_IO_ERROR;
    if (status == FSO_STATUS_SUCCESS && files.isFull())
        status = FSO_STATUS_IO_ERROR;
    if (status == FSO_STATUS_SUCCESS) {
        VfsOpenFilePtr file = std::make_shared<VfsOpenFile>();
        file->fd = job->fd;
        job->fd = -1;
        file->readable = job->read;
        file->writable = job->write;
        file->path = job->localPath;
        file->idle.start();
        file->accessTime = job->accessTime;
        file->birthTime = job->birthTime;
        file->modifyTime = job->modifyTime;
        file->permissions = job->permissions;
        file->writeClaim = std::move(job->claim);
        handle = files.add(file);
        // Read or written, it is covered by the next SYNC; written, it may be written again
        // until it is closed.
        flushes.keepFile(file->fd, job->identity, job->write ? std::weak_ptr<VfsOpenFile>(file)
                                                              : std::weak_ptr<VfsOpenFile>());
        if (job->created)
            flushes.keepFolder(job->parentDir, job->folder);
    }
    job->closeDescriptors();
    std::vector<unsigned char> reply;
    if (!fsoreply::handle(reply, FSO_OPEN_FILE_REPLY, job->trId, status, handle))
        logPrintf(LogVsrv, "failed to send OPEN_FILE response TrId %u", unsigned(job->trId));
    send(std::move(reply));
    job->rules = vfsaccess::VfsAccessRules();
    recycle(freeOpens, std::move(owned));
}

// --- PUT_FILE ----------------------------------------------------------------------------------

void VfsServerNusk::processPutFileCommand(const VfsFenuCommand &cmd)
{
    acceptPut(cmd, nullptr);
}

void VfsServerNusk::acceptPut(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    auto answer = [&](std::uint8_t status) { d->sendStatus(FSO_PUT_FILE_REPLY, cmd.trId, status); };
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    const MappedPath hidden = d->rules.mapRequestPath(cmd.destination);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return answer(mapped.status);
    if (hidden.status != FSO_STATUS_SUCCESS)
        return answer(hidden.status);
    // Both names in one folder, so the rename between them stays inside what was checked.
    if (cmd.flags != 0 || mapped.local.isEmpty() || hidden.local.isEmpty() || mapped.local == hidden.local
        || vfsaccess::parentPath(mapped.local) != vfsaccess::parentPath(hidden.local) || cmd.dataSize < 1
        || cmd.dataSize > FSO_MAX_DATA || cmd.data.size() != cmd.dataSize)
        return answer(FSO_STATUS_INVALID_PARAMETER);
    if (d->rules.check(mapped.local, vfsaccess::AclWrite, LinkMode::FollowLast) != FSO_STATUS_SUCCESS
        || d->rules.check(hidden.local, vfsaccess::AclWrite, LinkMode::FollowLast) != FSO_STATUS_SUCCESS)
        return answer(FSO_STATUS_NOT_PERMITTED);
    if (d->dataJobCount() >= kMaxDataJobs)
        return answer(FSO_STATUS_IO_ERROR);
    UniqueFd folder;
    QByteArray name;
    if (const std::uint8_t status = openFolderOf(mapped.local, &folder, &name))
        return answer(status);
    d->flushes.beforeWrite(folder.get());
    // Made like a file opened for writing: on the pool, one at a time with the opens.
    PutFileJob *job = d->acquire(d->freePuts, d->runningPuts, &VfsServerNuskPrivate::putFinished);
    handOver(job, cmd, &folder, name, d->rules);
    job->localPath = mapped.local;
    job->hiddenName = nativePath(hidden.local.mid(hidden.local.lastIndexOf(QLatin1Char('/')) + 1));
    job->hiddenPath = hidden.local;
    if (takeData)
        job->data.swap(*takeData);
    else
        job->data.assign(cmd.data.begin(), cmd.data.end());
    job->accessTime = cmd.accessTime > 0 ? cmd.accessTime : 0;
    job->modifyTime = cmd.modifyTime > 0 ? cmd.modifyTime : 0;
    job->permissions = cmd.permissions;
    d->schedule(job, d->runningPuts, d->freePuts);
}

// --- GET_FILE ----------------------------------------------------------------------------------

void VfsServerNusk::processGetFileCommand(const VfsFenuCommand &cmd)
{
    auto answer = [&](std::uint8_t status) {
        std::vector<unsigned char> reply;
        if (!fsoreply::getFile(reply, cmd.trId, status, nullptr, 0))
            logPrintf(LogVsrv, "failed to send GET_FILE response TrId %u", unsigned(cmd.trId));
        d->send(std::move(reply));
    };
    const MappedPath mapped = d->rules.mapRequestPath(cmd.path);
    if (mapped.status != FSO_STATUS_SUCCESS)
        return answer(mapped.status);
    if (cmd.flags != 0 || mapped.local.isEmpty() || cmd.dataSize < 1 || cmd.dataSize > FSO_MAX_DATA)
        return answer(FSO_STATUS_INVALID_PARAMETER);
    if (d->rules.check(mapped.local, vfsaccess::AclRead, LinkMode::FollowLast) != FSO_STATUS_SUCCESS)
        return answer(FSO_STATUS_NOT_PERMITTED);
    if (d->dataJobCount() >= kMaxDataJobs)
        return answer(FSO_STATUS_IO_ERROR);
    UniqueFd folder;
    QByteArray name;
    if (const std::uint8_t status = openFolderOf(mapped.local, &folder, &name))
        return answer(status);
    GetFileJob *job = d->acquire(d->freeGets, d->runningGets, &VfsServerNuskPrivate::getFinished);
    handOver(job, cmd, &folder, name, d->rules);
    job->localPath = mapped.local;
    job->isLocal = d->isLocal;
    job->size = cmd.dataSize;
    d->schedule(job, d->runningGets, d->freeGets);
}

void VfsServerNuskPrivate::getFinished(GetFileJob *job)
{
    finishWholeFileJob(runningGets, freeGets, job, false);
}

void VfsServerNuskPrivate::putFinished(PutFileJob *job)
{
    // Its name is new in its folder.
    if (job->status == FSO_STATUS_SUCCESS && job->state == VfsServerJobReplyReady)
        flushes.keepFolder(job->parentDir, job->folder);
    finishWholeFileJob(runningPuts, freePuts, job, true);
}

void VfsServerNusk::processCloseFileCommand(const VfsFenuCommand &cmd)
{
    std::uint8_t status = FSO_STATUS_SUCCESS;
    if (cmd.flags != 0) {
        status = FSO_STATUS_INVALID_PARAMETER;
    } else if (VfsOpenFilePtr file = d->files.take(cmd.handle)) {
        if (file->writable) {
            // Setting the kept times and closing may wait on the disk: not on this thread.
            CloseFileJob *job = d->acquire(d->freeCloses, d->runningCloses, &VfsServerNuskPrivate::closeFinished);
            job->trId = cmd.trId;
            job->handle = cmd.handle;
            job->file = std::move(file);
            d->schedule(job, d->runningCloses, d->freeCloses);
            return;
        }
        d->closeFile(file, true);
    } else {
        status = FSO_STATUS_NOT_FOUND;
    }
    std::vector<unsigned char> reply;
    if (!fsoreply::handle(reply, FSO_CLOSE_FILE_REPLY, cmd.trId, status, cmd.handle))
        logPrintf(LogVsrv, "failed to send CLOSE_FILE response TrId %u handle %u", unsigned(cmd.trId),
                  unsigned(cmd.handle));
    d->send(std::move(reply));
}

void VfsServerNuskPrivate::closeFinished(CloseFileJob *job)
{
    std::unique_ptr<CloseFileJob> owned = release(runningCloses, job);
    if (!owned)
        return;
    dataJobFinished(job->file);
    std::vector<unsigned char> reply;
    if (!fsoreply::handle(reply, FSO_CLOSE_FILE_REPLY, job->trId, job->status, job->handle))
        logPrintf(LogVsrv, "failed to send CLOSE_FILE response TrId %u handle %u", unsigned(job->trId),
                  unsigned(job->handle));
    send(std::move(reply));
    job->file.reset();
    recycle(freeCloses, std::move(owned));
}

void VfsServerNusk::closeFileTimerFired()
{
    std::vector<VfsOpenFilePtr> idle;
    for (const VfsOpenFilePtr &file : d->files.files()) {
        // A file a worker holds right now is not idle.
        std::unique_lock<std::mutex> lock(file->mutex, std::try_to_lock);
        if (lock.owns_lock() && file->fd >= 0 && file->idle.elapsed() > d->idleLimitMs - 1)
            idle.push_back(file);
    }
    // A file left idle is an abandoned transfer: stamping it with the times of the
    // original would make a half-written file look like a finished copy.
    for (const VfsOpenFilePtr &file : idle) {
        d->files.remove(file);
        d->closeFile(file, false);
    }
    d->closeFileTimer.start();
}

// --- READ / WRITE / HASH ----------------------------------------------------------------------

void VfsServerNusk::processReadFileCommand(const VfsFenuCommand &cmd)
{
    VfsOpenFilePtr file = d->files.find(cmd.handle);
    if (!file || d->dataJobCount() >= kMaxDataJobs) {
        std::vector<unsigned char> reply;
        fsoreply::read(reply, cmd.trId, file ? FSO_STATUS_IO_ERROR : FSO_STATUS_INVALID_HANDLE,
                            std::uint8_t(cmd.flags), cmd.offset, nullptr, 0);
        d->send(std::move(reply));
        return;
    }
    ReadFileJob *job = d->acquire(d->freeReads, d->runningReads, &VfsServerNuskPrivate::readFinished);
    job->trId = cmd.trId;
    job->flags = std::uint8_t(cmd.flags);
    job->handle = cmd.handle;
    job->offset = cmd.offset;
    job->size = cmd.dataSize;
    job->file = std::move(file);
    d->schedule(job, d->runningReads, d->freeReads);
}

void VfsServerNuskPrivate::readFinished(ReadFileJob *job)
{
    finishDataJob(runningReads, freeReads, job, [this](ReadFileJob *done) {
        const bool closeNow = (done->flags & FSO_READ_CLOSE)
                              || ((done->flags & FSO_READ_CLOSE_AT_EOF) && done->status == FSO_STATUS_END_OF_FILE);
        if (closeNow && files.remove(done->file))
            closeFile(done->file, true);
    });
}

void VfsServerNusk::processWriteFileCommand(const VfsFenuCommand &cmd)
{
    acceptWrite(cmd, nullptr);
}

void VfsServerNusk::acceptWrite(const VfsFenuCommand &cmd, std::vector<std::uint8_t> *takeData)
{
    VfsOpenFilePtr file = d->files.find(cmd.handle);
    if (!file || d->dataJobCount() >= kMaxDataJobs) {
        std::vector<unsigned char> reply;
        fsoreply::write(reply, cmd.trId, file ? FSO_STATUS_IO_ERROR : FSO_STATUS_INVALID_HANDLE,
                             std::uint8_t(cmd.flags & 0x2), cmd.offset, 0);
        d->send(std::move(reply));
        return;
    }
    WriteFileJob *job = d->acquire(d->freeWrites, d->runningWrites, &VfsServerNuskPrivate::writeFinished);
    job->trId = cmd.trId;
    job->flags = std::uint8_t(cmd.flags);
    job->handle = cmd.handle;
    job->offset = cmd.offset;
    job->data.clear();
    job->dataAt = 0;
    job->dataSize = 0;
    // The block alone, or (dataAt > 0) the whole message it arrived in.
    const std::size_t at = cmd.dataAt;
    if (cmd.dataSize >= 1 && cmd.dataSize <= FSO_MAX_DATA
        && (at == 0 ? cmd.data.size() == cmd.dataSize : cmd.data.size() >= at + cmd.dataSize)) {
        if (takeData) {
            job->data.swap(*takeData);
            job->dataAt = at;
        } else {
            job->data.assign(cmd.data.begin() + std::ptrdiff_t(at), cmd.data.begin() + std::ptrdiff_t(at + cmd.dataSize));
        }
        job->dataSize = cmd.dataSize;
    }
    job->file = std::move(file);
    d->schedule(job, d->runningWrites, d->freeWrites);
}

void VfsServerNuskPrivate::writeFinished(WriteFileJob *job)
{
    finishDataJob(runningWrites, freeWrites, job, [this](WriteFileJob *done) {
        // A write that closes its file is whole only once the close kept it.
        if ((done->flags & FSO_WRITE_CLOSE) && files.remove(done->file) && !closeFile(done->file, true)
            && done->status == FSO_STATUS_SUCCESS)
            fsoreply::write(done->reply, done->trId, FSO_STATUS_IO_ERROR, done->flags & 0x2, done->offset, done->written);
    });
}

void VfsServerNusk::processHashFileCommand(const VfsFenuCommand &cmd)
{
    VfsOpenFilePtr file = d->files.find(cmd.handle);
    std::uint8_t status = FSO_STATUS_SUCCESS;
    if (!file)
        status = FSO_STATUS_INVALID_HANDLE;
    else if (!(cmd.flags & FSO_HASH_SHA1))
        status = FSO_STATUS_NETWORK_PATH;
    else if (cmd.dataSize == 0 || cmd.dataSize > kVfsMaxHashBlockSize
             || std::uint64_t(cmd.dataSize) * cmd.blockCount > kVfsMaxHashBytes)
        status = FSO_STATUS_INVALID_PARAMETER;
    else if (cmd.offset > std::uint64_t(LLONG_MAX))
        status = FSO_STATUS_INVALID_OFFSET;
    else if (d->dataJobCount() >= kMaxDataJobs)
        status = FSO_STATUS_IO_ERROR;
    if (status != FSO_STATUS_SUCCESS) {
        std::vector<unsigned char> reply;
        fsoreply::hash(reply, cmd.trId, status, 0, 0, nullptr, 0);
        d->send(std::move(reply));
        return;
    }
    HashFileJob *job = d->acquire(d->freeHashes, d->runningHashes, &VfsServerNuskPrivate::hashFinished);
    job->trId = cmd.trId;
    job->flags = std::uint8_t(cmd.flags);
    job->handle = cmd.handle;
    job->blockCount = cmd.blockCount;
    job->blockSize = cmd.dataSize;
    job->offset = cmd.offset;
    job->file = std::move(file);
    d->schedule(job, d->runningHashes, d->freeHashes);
}

void VfsServerNuskPrivate::hashFinished(HashFileJob *job)
{
    finishDataJob(runningHashes, freeHashes, job, [](HashFileJob *) {});
}

// --- change notifications ---------------------------------------------------------------------

void VfsServerNusk::answerWaitingDriveRequests()
{
    d->driveWaitTimer.stop();
    std::vector<VfsFenuCommand> waiting;
    waiting.swap(d->waitingDriveRequests);
    for (const VfsFenuCommand &cmd : waiting)
        d->replyDrives(cmd);
}

void VfsServerNusk::directoryChanged(QString path)
{
    if (path == vfsaccess::drivesRoot() && !d->waitingDriveRequests.empty())
        answerWaitingDriveRequests();
    QStringList told;
    if (d->rules.mayNotify(path))
        told.append(path);
    // "%shares" is how a peer reaches what is shared with it: a change of a folder is told
    // under every share name it has for that peer too.
    if (!vfsaccess::isSharesPath(path))
        told += d->rules.sharePathsOf(path);
    for (const QString &name : qAsConst(told)) {
        const QByteArray utf8 = name.toUtf8();
        if (std::size_t(utf8.size()) > FSO_MAX_PATH)
            continue;
        const std::uint16_t trId = d->notifyTrId++;
        std::vector<unsigned char> message;
        if (fsoreply::directoryChanged(message, trId, utf8.toStdString()))
            d->send(std::move(message));
    }
}

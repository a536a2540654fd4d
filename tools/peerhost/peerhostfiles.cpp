// The peer host's file commands: listings, drives, raw FSO requests, access entries, file
// download, and copy / move / delete jobs with their questions.
//
// Every FSO client call happens on the peer's own thread ("ioThread"); results travel back
// to the host's thread by value. Copy jobs run on "ioThread" too and report snapshots; move
// and delete jobs run on the host's thread like the job manager that starts them.

#include "peerhost.h"

#include "com/connectionmanager.h"
#include "com/termstream.h"
#include "db/idatabase.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "peers/peernusk.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/fso/vfsclientnusk.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsdeletejob.h"
#include "vfs/fso/vfsfenucommandparser.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/jobs/vfsmoveexjob.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>

namespace {

std::atomic<quint64> g_snapshotSequence{0};

template <typename Job>
using ClientCall = void (VfsClient::*)(Job *);

// Issues one request; the caller is on the client's thread. `done` runs there, once, when
// the client announces the record finished or failed. The record lives until then, and the
// listening context is the client's child, so a client torn down mid-request takes it along.
template <typename Job>
void issue(VfsClient *client, ClientCall<Job> request, ClientCall<Job> update, std::shared_ptr<Job> job,
           std::function<void(Job &)> done)
{
    auto *context = new QObject(client);
    auto fired = std::make_shared<bool>(false);
    QObject::connect(
        client, update, context,
        [context, job, done, fired](Job *announced) {
            if (announced != job.get() || *fired)
                return;
            if (job->jobStatus != JobFinished && job->jobStatus != JobError)
                return;
            *fired = true;
            context->deleteLater();
            done(*job);
        },
        Qt::DirectConnection);
    (client->*request)(job.get());
}

QString typeWord(quint8 type)
{
    switch (type) {
    case FSO_ENTRY_FILE: return QStringLiteral("file");
    case FSO_ENTRY_DIRECTORY: return QStringLiteral("dir");
    case FSO_ENTRY_LINK: return QStringLiteral("link");
    case FSO_ENTRY_SHARE: return QStringLiteral("share");
    default: return QStringLiteral("other");
    }
}

QString stateWord(int state)
{
    switch (state) {
    case VfsJob::VfsJobStateInit: return QStringLiteral("init");
    case VfsJob::VfsJobStateIdle: return QStringLiteral("idle");
    case VfsJob::VfsJobStateRunning: return QStringLiteral("running");
    case VfsJob::VfsJobStatePaused: return QStringLiteral("paused");
    case VfsJob::VfsJobStateQuestion: return QStringLiteral("question");
    case VfsJob::VfsJobStateFinished: return QStringLiteral("finished");
    case VfsJob::VfsJobStateAborted: return QStringLiteral("aborted");
    default: return QStringLiteral("unknown");
    }
}

// The status a failed or finished request reports: 0 for success, never 0 for a failure.
quint8 outcome(quint32 jobStatus, quint8 status)
{
    if (jobStatus == JobFinished)
        return status == FSO_STATUS_COMPLETE ? FSO_STATUS_SUCCESS : status;
    return status == FSO_STATUS_SUCCESS ? FSO_STATUS_IO_ERROR : status;
}

int itemTypeOf(const VfsDirectoryEntry &entry)
{
    switch (entry.type) {
    case FSO_ENTRY_FILE: return VfsCopyItem::FileType;
    case FSO_ENTRY_DIRECTORY: return VfsCopyItem::DirectoryType;
    case FSO_ENTRY_LINK: return VfsCopyItem::SymlinkType;
    case FSO_ENTRY_SHARE: return VfsCopyItem::ShareType;
    default: return VfsCopyItem::NoType;
    }
}

// Splits "/a/b" into "/a" and "b" ("/b" into "/" and "b"); false for "/" or a bare name.
bool splitPath(const QString &path, QString *parent, QString *name)
{
    const int sep = path.lastIndexOf(QLatin1Char('/'));
    if (sep < 0 || sep == path.size() - 1)
        return false;
    *parent = sep == 0 ? QStringLiteral("/") : path.left(sep);
    *name = path.mid(sep + 1);
    return true;
}

// Reports a copy job's figures to the host from the job's own thread; with an interval,
// also every `intervalMs` while it runs.
void watchCopyJob(PeerHost *host, VfsCopyJob *job, int intervalMs)
{
    const QString uuid = job->request().uuid;
    auto send = [host, job, uuid](bool final) {
        PeerHost::CopySnapshot s;
        s.uuid = uuid;
        s.sequence = ++g_snapshotSequence;
        s.state = job->state();
        s.percent = job->percentDone();
        s.bytesCopied = job->bytesCopiedCount();
        s.bytesTotal = job->bytesTotalCount();
        s.bytesWritten = job->bytesWrittenCount();
        s.errors = job->errorCount();
        s.prompt = job->userActionPrompt();
        s.currentFile = job->currentFile();
        s.sourcesToDelete = job->sourcesToDelete();
        s.sourcesDeleted = job->sourcesDeleted();
        s.final = final;
        QMetaObject::invokeMethod(host, [host, s] { host->onCopySnapshot(s); }, Qt::QueuedConnection);
    };
    auto progress = [send] { send(false); };
    QObject::connect(job, &VfsJob::stateChanged, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsJob::jobUpdated, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsCopyJob::percentDoneChanged, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsCopyJob::bytesCopiedChanged, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsCopyJob::userActionPromptChanged, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsCopyJob::sourcesDeletedChanged, job, progress, Qt::DirectConnection);
    QObject::connect(job, &VfsJob::jobFinished, job, [send] { send(true); }, Qt::DirectConnection);
    QObject::connect(job, &VfsJob::jobAborted, job, [send] { send(true); }, Qt::DirectConnection);
    if (intervalMs > 0) {
        // The timer must belong to the job's thread; it goes with the job.
        QMetaObject::invokeMethod(job, [job, intervalMs, progress] {
            auto *timer = new QTimer(job);
            QObject::connect(timer, &QTimer::timeout, job, progress);
            timer->start(intervalMs);
        });
    }
}

} // namespace

void PeerHost::onPeerThread(IPeer *peer, std::function<void(VfsClient *)> work)
{
    QPointer<IPeer> guard(peer);
    QMetaObject::invokeMethod(
        peer, [guard, work] { work(guard ? guard->vfsClient() : nullptr); }, Qt::QueuedConnection);
}

void PeerHost::toHost(std::function<void()> work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void PeerHost::waitForAcl(const QString &peerUuid, const QString &aclUuid, bool present,
                          const std::shared_ptr<Reply> &reply)
{
    auto *timer = new QTimer(this);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto check = [this, peerUuid, aclUuid, present, reply, timer, clock] {
        bool held = false;
        if (auto *peer = qobject_cast<PeerNusk *>(m_model->getPeerForUuid(peerUuid))) {
            for (const PeerAclDto &entry : peer->acls())
                held = held || entry.uuid == aclUuid;
        } else {
            held = !present;   // a peer not built yet takes its entries from the database
        }
        if (held == present || clock->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
            if (held == present)
                reply->ok();
            else
                reply->error(QStringLiteral("the peer did not take the change of its access entries"));
        }
    };
    connect(timer, &QTimer::timeout, this, check);
    timer->start(20);
    check();
}

void PeerHost::lookUpItem(IPeer *peer, const QString &path,
                          std::function<void(int status, const VfsCopyItem &)> done)
{
    QString parent;
    QString name;
    if (!splitPath(path, &parent, &name)) {
        VfsCopyItem item;
        item.path = path;
        item.type = VfsCopyItem::DriveType;
        toHost([done, item] { done(0, item); });
        return;
    }
    onPeerThread(peer, [this, parent, name, path, done](VfsClient *client) {
        if (!client)
            return toHost([done] { done(FSO_STATUS_IO_ERROR, VfsCopyItem()); });
        auto job = std::make_shared<VfsListDirectoryJob>();
        job->path = parent;
        issue<VfsListDirectoryJob>(
            client, &VfsClient::listDirectory, &VfsClient::listDirectoryUpdate, job,
            [this, name, path, done](VfsListDirectoryJob &list) {
                VfsCopyItem item;
                int status;
                {
                    QMutexLocker lock(&list.mutex);
                    status = outcome(list.jobStatus, list.status);
                    for (const VfsDirectoryEntry &e : list.entries) {
                        if (e.name != name)
                            continue;
                        item.path = path;
                        item.type = itemTypeOf(e);
                        vfsTakeListingEntry(item, e, list.volumeSerial);
                    }
                }
                if (status == 0 && item.path.isEmpty())
                    status = FSO_STATUS_NOT_FOUND;
                toHost([done, status, item] { done(status, item); });
            });
    });
}

bool PeerHost::ensureJobTracker()
{
    if (!m_vfsManager) {
        m_vfsManager = new VfsManager(this);
        if (m_jobRetryMs >= 0)
            m_vfsManager->setRetryDelay(m_jobRetryMs);
        if (m_jobFlushMs >= 0)
            m_vfsManager->setFlushInterval(m_jobFlushMs);
    }
    if (m_trackerInstalled)
        return true;
    VfsJobModel *model = VfsJobModel::instance();
    if (!model)
        return false;
    // Runs on the model's thread, where copy jobs live, before their first step.
    connect(
        model, &VfsJobModel::jobAdded, model,
        [this, intervalMs = m_progressMs](VfsJob *job) {
            if (auto *copy = qobject_cast<VfsCopyJob *>(job))
                watchCopyJob(this, copy, intervalMs);
        },
        Qt::DirectConnection);
    m_trackerInstalled = true;
    return true;
}

void PeerHost::applyFsoTimeout(IPeer *peer)
{
    if (m_fsoTimeoutMs < 0 || !peer)
        return;
    const int ms = m_fsoTimeoutMs;
    onPeerThread(peer, [ms](VfsClient *client) {
        if (auto *nusk = qobject_cast<VfsClientNusk *>(client)) {
            nusk->setRequestTimeout(ms);
            nusk->setTransferTimeout(ms);
        }
    });
}

void PeerHost::printProgress(const QString &state, double percent, quint64 bytes)
{
    const QString text = QStringLiteral("progress %1 %2 %3").arg(state, QString::number(percent, 'f', 1)).arg(bytes);
    if (text == m_follow.lastLine)
        return;
    m_follow.lastLine = text;
    if (m_follow.reply)
        m_follow.reply->line(text);
}

void PeerHost::finishFollow(const QString &finalState, const QString &prompt)
{
    if (m_follow.finished)
        return;
    m_follow.finished = true;
    m_follow.question = false;
    m_follow.finalState = finalState;
    m_follow.finalPrompt = prompt;
    if (m_follow.reply) {
        if (!m_follow.counters.isEmpty())
            m_follow.reply->line(m_follow.counters);
        m_follow.reply->line(QStringLiteral("state ") + finalState);
        if (!prompt.isEmpty())
            m_follow.reply->line(QStringLiteral("prompt ") + prompt);
        m_follow.reply->ok();
        m_follow.reply.reset();
    }
}

void PeerHost::onCopySnapshot(const CopySnapshot &s)
{
    if (m_follow.kind.isEmpty() || m_follow.finished || s.uuid != m_follow.copyUuid)
        return;
    if (s.final) {
        printProgress(stateWord(s.state), s.percent, s.bytesCopied);
        m_follow.counters = QStringLiteral("counters written=%1 copied=%2 total=%3 errors=%4")
                                .arg(s.bytesWritten).arg(s.bytesCopied).arg(s.bytesTotal).arg(s.errors);
        m_follow.copyUuid.clear();
        return finishFollow(stateWord(s.state), s.prompt);
    }
    if (s.state == VfsJob::VfsJobStateQuestion) {
        if (m_follow.awaitingAck || m_follow.question)
            return;
        m_follow.question = true;
        if (m_follow.reply) {
            if (!s.currentFile.isEmpty())
                m_follow.reply->line(QStringLiteral("file ") + s.currentFile);
            m_follow.reply->line(QStringLiteral("question ") + s.prompt);
            m_follow.reply->ok();
            m_follow.reply.reset();
        }
        return;
    }
    printProgress(stateWord(s.state), s.percent, s.bytesCopied);
    if (s.sourcesToDelete > 0) {
        const QString deleting = QStringLiteral("deleting %1 %2").arg(s.sourcesDeleted).arg(s.sourcesToDelete);
        if (deleting != m_follow.lastDeleting && m_follow.reply)
            m_follow.reply->line(deleting);
        m_follow.lastDeleting = deleting;
    }
    if (!s.prompt.isEmpty() && s.prompt != m_follow.lastNotice && m_follow.reply)
        m_follow.reply->line(QStringLiteral("notice ") + s.prompt);
    m_follow.lastNotice = s.prompt;
}

void PeerHost::startCopy(const VfsCopyDto &dto, const std::shared_ptr<Reply> &reply)
{
    VfsCopyJob *job = m_vfsManager->copy(dto);
    if (!job)
        return reply->error(QStringLiteral("copy refused, reason %1").arg(int(m_vfsManager->lastRefusal())));
    m_follow = Follow();
    m_follow.kind = QStringLiteral("copy");
    m_follow.copyUuid = dto.uuid;
    m_follow.reply = reply;
}

void PeerHost::startMove(const VfsCopyDto &dto, const std::shared_ptr<Reply> &reply)
{
    VfsMoveExJob *job = m_vfsManager->move(dto);
    if (!job)
        return reply->error(QStringLiteral("move refused, reason %1").arg(int(m_vfsManager->lastRefusal())));
    m_follow = Follow();
    m_follow.kind = QStringLiteral("move");
    m_follow.moveJob = job;
    m_follow.reply = reply;
    printProgress(stateWord(VfsJob::VfsJobStateRunning), 0, 0);
    // After the manager's own handler, which has just started the copy of what could not be
    // moved in place.
    connect(job, &VfsJob::jobFinished, this, [this, job] {
        if (m_follow.moveJob != job || m_follow.finished)
            return;
        const VfsCopyDto rest = job->rest();
        if (rest.items.empty())
            return finishFollow(stateWord(VfsJob::VfsJobStateFinished), QString());
        m_follow.copyUuid = rest.uuid;
    });
    connect(job, &VfsJob::jobAborted, this, [this, job] {
        if (m_follow.moveJob == job)
            finishFollow(stateWord(VfsJob::VfsJobStateAborted), QString());
    });
}

void PeerHost::followDelete(VfsDeleteJob *job, const std::shared_ptr<Reply> &reply)
{
    m_follow.deleteJob = job;
    m_follow.reply = reply;
    auto ended = [this, job](int state) {
        if (m_follow.deleteJob != job || m_follow.finished)
            return;
        printProgress(stateWord(state), state == VfsJob::VfsJobStateFinished ? 100 : 0,
                      quint64(job->deletedPaths().size()));
        finishFollow(stateWord(state), m_follow.finalPrompt);
    };
    connect(job, &VfsJob::jobFinished, this, [ended] { ended(VfsJob::VfsJobStateFinished); });
    connect(job, &VfsJob::jobAborted, this, [ended] { ended(VfsJob::VfsJobStateAborted); });
    connect(job, &VfsDeleteJob::trashFailedAskDelete, this, [this, job] {
        if (m_follow.deleteJob != job || m_follow.finished)
            return;
        m_follow.question = true;
        if (m_follow.reply) {
            m_follow.reply->line(QStringLiteral("question the item could not be moved to the trash; delete it permanently?"));
            m_follow.reply->ok();
            m_follow.reply.reset();
        }
    });
}

void PeerHost::registerFileCommands()
{
    // ls <peerUuid> <path> [watch]: "status N", then "name<TAB>type<TAB>size<TAB>mtime[<TAB>link
    // target]". With "watch" the peer is asked to watch the folder, as a window showing it does.
    addCommand(QStringLiteral("ls"), 2, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        IPeer *peer = m_model->getPeerForUuid(args.at(0));
        if (!peer)
            return reply->error(QStringLiteral("no such peer"));
        if (args.size() == 3 && args.at(2) != QLatin1String("watch"))
            return reply->error(QStringLiteral("expected watch"));
        const QString path = args.at(1);
        const bool watch = args.size() == 3;
        onPeerThread(peer, [this, path, watch, reply](VfsClient *client) {
            if (!client)
                return toHost([reply] { reply->error(QStringLiteral("the peer has no file client")); });
            auto job = std::make_shared<VfsListDirectoryJob>();
            job->path = path;
            job->watch = watch;
            issue<VfsListDirectoryJob>(
                client, &VfsClient::listDirectory, &VfsClient::listDirectoryUpdate, job,
                [this, reply](VfsListDirectoryJob &done) {
                    QStringList lines;
                    {
                        QMutexLocker lock(&done.mutex);
                        lines << QStringLiteral("status %1").arg(outcome(done.jobStatus, done.status));
                        if (done.jobStatus == JobFinished) {
                            for (const VfsDirectoryEntry &e : done.entries) {
                                QString line = e.name + QLatin1Char('\t') + typeWord(e.type) + QLatin1Char('\t')
                                               + QString::number(e.size) + QLatin1Char('\t')
                                               + QString::number(e.modifyTime);
                                if (!e.linkTarget.isEmpty())
                                    line += QLatin1Char('\t') + e.linkTarget;
                                lines << line;
                            }
                        }
                    }
                    toHost([reply, lines] {
                        for (const QString &line : lines)
                            reply->line(line);
                        reply->ok();
                    });
                });
        });
    });

    // drives <peerUuid>: "status N", then "path<TAB>name<TAB>type<TAB>total<TAB>available".
    addCommand(QStringLiteral("drives"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        IPeer *peer = m_model->getPeerForUuid(args.at(0));
        if (!peer)
            return reply->error(QStringLiteral("no such peer"));
        onPeerThread(peer, [this, reply](VfsClient *client) {
            if (!client)
                return toHost([reply] { reply->error(QStringLiteral("the peer has no file client")); });
            auto job = std::make_shared<VfsListDrivesJob>();
            issue<VfsListDrivesJob>(
                client, &VfsClient::listDrives, &VfsClient::listDrivesUpdate, job,
                [this, reply](VfsListDrivesJob &done) {
                    QStringList lines;
                    {
                        QMutexLocker lock(&done.mutex);
                        lines << QStringLiteral("status %1").arg(outcome(done.jobStatus, done.status));
                        for (const VfsDrive &d : done.drives)
                            lines << d.path + QLatin1Char('\t') + d.name + QLatin1Char('\t') + QString::number(d.type)
                                         + QLatin1Char('\t') + QString::number(d.bytesTotal) + QLatin1Char('\t')
                                         + QString::number(d.bytesAvailable);
                    }
                    toHost([reply, lines] {
                        for (const QString &line : lines)
                            reply->line(line);
                        reply->ok();
                    });
                });
        });
    });

    // send <peerUuid> <hex>: one raw request on the client channel; every reply the client
    // receives within one second is printed in hex as it arrived, one a line.
    addCommand(QStringLiteral("send"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        IPeer *peer = m_model->getPeerForUuid(args.at(0));
        if (!peer)
            return reply->error(QStringLiteral("no such peer"));
        const QString hex = args.at(1);
        if (hex.size() % 2 != 0 || !QRegularExpression(QStringLiteral("^[0-9a-fA-F]+$")).match(hex).hasMatch())
            return reply->error(QStringLiteral("expected an even number of hexadecimal digits"));
        const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
        QPointer<IPeer> guard(peer);
        onPeerThread(peer, [this, guard, bytes, reply](VfsClient *client) {
            auto *nusk = qobject_cast<VfsClientNusk *>(client);
            auto *peerNusk = qobject_cast<PeerNusk *>(guard.data());
            if (!nusk || !peerNusk)
                return toHost([reply] { reply->error(QStringLiteral("the peer has no file client")); });
            auto lines = std::make_shared<QStringList>();
            auto *context = new QObject(nusk);
            connect(
                peerNusk, &PeerNusk::clientMessageReceived, context,
                [lines](const std::vector<unsigned char> &message) {
                    lines->append(QString::fromLatin1(
                        QByteArray(reinterpret_cast<const char *>(message.data()), int(message.size())).toHex()));
                },
                Qt::DirectConnection);
            QTimer::singleShot(1000, context, [this, context, lines, reply] {
                const QStringList copy = *lines;
                context->deleteLater();
                toHost([reply, copy] {
                    for (const QString &line : copy)
                        reply->line(line);
                    reply->ok();
                });
            });
            peerNusk->fsoTransmitCLi(std::vector<unsigned char>(bytes.begin(), bytes.end()));
        });
    });

    // share <peerUuid> <localPath> <flags>: stores an access entry and prints its uuid.
    addCommand(QStringLiteral("share"), 3, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const QString peerUuid = args.at(0);
        const QString path = args.at(1);
        bool ok = false;
        const uint flags = args.at(2).toUInt(&ok, 0);
        if (!ok || flags > 0xF)
            return reply->error(QStringLiteral("flags must be a number from 0 to 15"));
        if (!path.startsWith(QLatin1Char('/')))
            return reply->error(QStringLiteral("the path must be absolute"));
        if (!m_model->getPeerForUuid(peerUuid))
            return reply->error(QStringLiteral("no such peer"));
        PeerAclDto entry;
        entry.uuid = newUuidString();
        entry.name = QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
        entry.selector = path;
        entry.flags = flags;
        entry.timestamp = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
        if (!m_database->putPeerAcl(peerUuid, entry))
            return reply->error(QStringLiteral("cannot store the access entry"));
        reply->line(entry.uuid);
        waitForAcl(peerUuid, entry.uuid, true, reply);
    });

    // reshare <peerUuid> <aclUuid> <flags>: the same share with other rights
    addCommand(QStringLiteral("reshare"), 3, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        bool ok = false;
        const uint flags = args.at(2).toUInt(&ok, 0);
        if (!ok || flags > 0xF)
            return reply->error(QStringLiteral("flags must be a number from 0 to 15"));
        for (PeerAclDto entry : m_database->loadPeerAcls(args.at(0))) {
            if (entry.uuid != args.at(1))
                continue;
            entry.flags = flags;
            if (!m_database->putPeerAcl(args.at(0), entry))
                return reply->error(QStringLiteral("cannot store the access entry"));
            return reply->ok();
        }
        reply->error(QStringLiteral("no such access entry"));
    });

    // unshare <peerUuid> <aclUuid>
    addCommand(QStringLiteral("unshare"), 2, 2, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const QString peerUuid = args.at(0);
        for (const PeerAclDto &entry : m_database->loadPeerAcls(peerUuid)) {
            if (entry.uuid != args.at(1))
                continue;
            if (!m_database->deletePeerAcl(peerUuid, entry))
                return reply->error(QStringLiteral("cannot delete the access entry"));
            return waitForAcl(peerUuid, entry.uuid, false, reply);
        }
        reply->error(QStringLiteral("no such access entry"));
    });

    // get <peerUuid> <remotePath> <localFile>: OPEN, READ to the end, CLOSE; prints
    // "status N" (0, or the first failure) and "bytes N".
    addCommand(QStringLiteral("get"), 3, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        IPeer *peer = m_model->getPeerForUuid(args.at(0));
        if (!peer)
            return reply->error(QStringLiteral("no such peer"));
        const QString remote = args.at(1);
        auto file = std::make_shared<QFile>(args.at(2));
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return reply->error(QStringLiteral("cannot write ") + args.at(2));
        auto finish = [this, file, reply](int status, quint64 bytes) {
            toHost([file, reply, status, bytes] {
                const bool written = file->flush();
                file->close();
                if (!written)
                    return reply->error(QStringLiteral("cannot write ") + file->fileName());
                reply->line(QStringLiteral("status %1").arg(status));
                reply->line(QStringLiteral("bytes %1").arg(bytes));
                reply->ok();
            });
        };
        onPeerThread(peer, [this, remote, file, finish](VfsClient *client) {
            if (!client)
                return finish(FSO_STATUS_IO_ERROR, 0);
            QPointer<VfsClient> clientGuard(client);
            auto open = std::make_shared<VfsOpenFileJob>();
            open->flags = FSO_OPEN_READ;
            open->path = remote;
            issue<VfsOpenFileJob>(client, &VfsClient::openFile, &VfsClient::openFileUpdate, open,
                                  [this, clientGuard, file, finish](VfsOpenFileJob &opened) {
                const quint8 openStatus = outcome(opened.jobStatus, opened.status);
                if (openStatus != FSO_STATUS_SUCCESS || !clientGuard)
                    return finish(openStatus ? openStatus : FSO_STATUS_IO_ERROR, 0);
                const quint16 handle = opened.handle;
                auto close = [clientGuard, handle, finish](int status, quint64 bytes) {
                    if (!clientGuard)
                        return finish(status ? status : FSO_STATUS_IO_ERROR, bytes);
                    auto job = std::make_shared<VfsCloseFileJob>();
                    job->handle = handle;
                    issue<VfsCloseFileJob>(clientGuard, &VfsClient::closeFile, &VfsClient::closeFileUpdate, job,
                                           [finish, status, bytes](VfsCloseFileJob &closed) {
                        const int closeStatus = outcome(closed.jobStatus, closed.status);
                        finish(status ? status : closeStatus, bytes);
                    });
                };
                // One read after the other; the chain ends at the end of the file or a failure.
                auto step = std::make_shared<std::function<void(quint64)>>();
                *step = [this, clientGuard, handle, file, close, step](quint64 offset) {
                    if (!clientGuard) {
                        *step = nullptr;
                        return close(FSO_STATUS_IO_ERROR, offset);
                    }
                    auto read = std::make_shared<VfsReadFileJob>();
                    read->handle = handle;
                    read->offset = offset;
                    read->size = quint32(FSO_MAX_DATA);
                    issue<VfsReadFileJob>(clientGuard, &VfsClient::readFile, &VfsClient::readFileUpdate, read,
                                          [this, file, close, step, offset](VfsReadFileJob &r) {
                        const bool finished = r.jobStatus == JobFinished;
                        const bool atEnd = finished && r.status == FSO_STATUS_END_OF_FILE;
                        const bool good = finished && (r.status == FSO_STATUS_SUCCESS || atEnd)
                                          && r.receivedSize <= r.data.size();
                        if (good && r.receivedSize > 0) {
                            const QByteArray chunk(reinterpret_cast<const char *>(r.data.data()), int(r.receivedSize));
                            toHost([file, chunk] { file->write(chunk); });
                        }
                        const quint64 next = offset + (good ? r.receivedSize : 0);
                        if (good && !atEnd && r.receivedSize > 0)
                            return (*step)(next);
                        auto keep = step;   // the chain ends here: break its cycle
                        *keep = nullptr;
                        if (good)
                            return close(atEnd ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR, next);
                        close(outcome(r.jobStatus, r.status), next);
                    });
                };
                (*step)(0);
            });
        });
    });

    // copy / move <srcPeer> <srcPath> <dstPeer> <dstDir>: progress lines
    // "progress <state> <percent> <bytes copied>", then the copy's last figures
    // "counters written=N copied=N total=N errors=N" (bytes written count every retry), then
    // "state <final>" (and "prompt <text>" when the job says why). While it runs, what the job
    // says in between (why it waits) comes as "notice <text>", once per new text; a move counts the
    // deletes of its sources as "deleting <done> <total>". A question ends the
    // command with "file <current file>" (when known) and "question <prompt>"; the job then
    // waits for "answer".
    auto transfer = [this](bool move) {
        return [this, move](const QStringList &args, const std::shared_ptr<Reply> &reply) {
            IPeer *src = m_model->getPeerForUuid(args.at(0));
            IPeer *dst = m_model->getPeerForUuid(args.at(2));
            if (!src || !dst)
                return reply->error(QStringLiteral("no such peer"));
            if (!m_follow.kind.isEmpty() && !m_follow.finished)
                return reply->error(QStringLiteral("a job is still running"));
            if (!ensureJobTracker())
                return reply->error(QStringLiteral("no job model"));
            applyFsoTimeout(src);
            applyFsoTimeout(dst);
            VfsCopyDto dto;
            dto.uuid = newUuidString();
            dto.srcPeerUuid = src->uuid();
            dto.dstPeerUuid = dst->uuid();
            dto.dstPath = args.at(3);
            lookUpItem(src, args.at(1), [this, dto, move, reply](int status, const VfsCopyItem &item) mutable {
                if (status != 0 || item.path.isEmpty())
                    return reply->error(QStringLiteral("cannot find the source, status %1").arg(status));
                dto.items.push_back(item);
                if (move)
                    startMove(dto, reply);
                else
                    startCopy(dto, reply);
            });
        };
    };
    addCommand(QStringLiteral("copy"), 4, 4, transfer(false));
    addCommand(QStringLiteral("move"), 4, 4, transfer(true));

    // delete <peer> <path> trash|permanent
    addCommand(QStringLiteral("delete"), 3, 3, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        IPeer *peer = m_model->getPeerForUuid(args.at(0));
        if (!peer)
            return reply->error(QStringLiteral("no such peer"));
        const QString mode = args.at(2);
        if (mode != QLatin1String("trash") && mode != QLatin1String("permanent"))
            return reply->error(QStringLiteral("expected trash or permanent"));
        if (!m_follow.kind.isEmpty() && !m_follow.finished)
            return reply->error(QStringLiteral("a job is still running"));
        if (!ensureJobTracker())
            return reply->error(QStringLiteral("no job model"));
        applyFsoTimeout(peer);
        QString parent;
        QString name;
        splitPath(args.at(1), &parent, &name);
        auto *job = new VfsDeleteJob;
        job->setPeer(peer);
        job->setDeleteFlags(mode == QLatin1String("trash") ? FSO_DELETE_TO_TRASH : 0);
        job->setItems({VfsDeleteItem{name, args.at(1), 0, VfsCopyItem::NoType}});
        connect(job, &VfsJob::jobFinished, job, &QObject::deleteLater);
        connect(job, &VfsJob::jobAborted, job, &QObject::deleteLater);
        m_follow = Follow();
        m_follow.kind = QStringLiteral("delete");
        followDelete(job, reply);
        printProgress(stateWord(VfsJob::VfsJobStateRunning), 0, 0);
        m_vfsManager->addJob(job);
        job->start();
    });

    // answer skip|replace|replace-all|abort: answers the open question of the followed job
    // and follows it on (abort also ends a job that asks nothing).
    addCommand(QStringLiteral("answer"), 1, 1, [this](const QStringList &args, const std::shared_ptr<Reply> &reply) {
        const QString word = args.at(0);
        static const QStringList words = {QStringLiteral("skip"), QStringLiteral("replace"),
                                          QStringLiteral("replace-all"), QStringLiteral("abort")};
        if (!words.contains(word))
            return reply->error(QStringLiteral("expected skip, replace, replace-all or abort"));
        if (m_follow.kind.isEmpty())
            return reply->error(QStringLiteral("no job"));
        if (m_follow.finished) {
            if (!m_follow.counters.isEmpty())
                reply->line(m_follow.counters);
            reply->line(QStringLiteral("state ") + m_follow.finalState);
            if (!m_follow.finalPrompt.isEmpty())
                reply->line(QStringLiteral("prompt ") + m_follow.finalPrompt);
            return reply->ok();
        }
        if (!m_follow.question && word != QLatin1String("abort"))
            return reply->error(QStringLiteral("no question is open"));

        if (m_follow.deleteJob && m_follow.copyUuid.isEmpty()) {
            VfsDeleteJob *job = m_follow.deleteJob;
            if (word == QLatin1String("skip"))
                return reply->error(QStringLiteral("a delete cannot skip an item"));
            m_follow.question = false;
            m_follow.reply = reply;
            if (word == QLatin1String("abort"))
                job->abort();
            else
                job->setDeleteFlags(job->deleteFlags() & ~FSO_DELETE_TO_TRASH);
            job->process(VfsJob::JobActionStep);
            return;
        }
        if (m_follow.copyUuid.isEmpty())
            return reply->error(QStringLiteral("the job cannot take an answer now"));

        m_follow.question = false;
        m_follow.awaitingAck = true;
        m_follow.reply = reply;
        const QString uuid = m_follow.copyUuid;
        withCopyJob(uuid, [this, word](VfsCopyJob *job) {
            if (job) {
                if (word == QLatin1String("skip"))
                    job->skipCurrentItem();
                else if (word == QLatin1String("replace"))
                    job->replaceCurrentItem();
                else if (word == QLatin1String("replace-all"))
                    job->replaceAllItems();
                else
                    job->abort();
            }
            const bool found = job != nullptr;
            // Posted after every report the job made before the answer.
            toHost([this, found] {
                m_follow.awaitingAck = false;
                if (!found && !m_follow.finished)
                    finishFollow(stateWord(VfsJob::VfsJobStateAborted), QStringLiteral("the job is gone"));
            });
        });
    });
}

void PeerHost::withCopyJob(const QString &uuid, std::function<void(VfsCopyJob *)> work)
{
    QPointer<ConnectionManager> manager(m_manager);
    QMetaObject::invokeMethod(m_manager, [manager, uuid, work] {
        VfsCopyJob *job = nullptr;
        if (manager) {
            for (VfsCopyJob *candidate : manager->findChildren<VfsCopyJob *>())
                if (candidate->request().uuid == uuid)
                    job = candidate;
        }
        work(job);
    }, Qt::QueuedConnection);
}

void PeerHost::abortFollowedJob()
{
    if (m_follow.kind.isEmpty() || m_follow.finished)
        return;
    if (m_follow.deleteJob && m_follow.copyUuid.isEmpty()) {
        m_follow.deleteJob->abort();
        m_follow.deleteJob->process(VfsJob::JobActionStep);
        return;
    }
    if (!m_follow.copyUuid.isEmpty())
        withCopyJob(m_follow.copyUuid, [](VfsCopyJob *job) {
            if (job)
                job->abort();
        });
}

// Copies and moves whose link drops, between in-process peers over the real FSO client, parser
// and server: a retry passes over only what the destination confirmed on its disk, and checks
// everything else it had finished, whatever the destination lost during the cut (files deleted,
// emptied, zeroed at their size and time, the whole tree, a server that started anew). The end of
// a job whose end cannot be reached as planned: a folder renamed under the flush, every folder
// gone, sources that can no longer be listed, a flush that goes unanswered. And a FAT disk, which
// keeps times to two seconds.

#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <sys/mount.h>
#include <unistd.h>

using namespace testjobs;

namespace {

const QString kUuidA = QStringLiteral("{00000000-0000-0000-0000-00000000000a}");
const QString kUuidB = QStringLiteral("{00000000-0000-0000-0000-00000000000b}");
// An odd second and milliseconds: a FAT disk keeps neither.
constexpr qint64 kMtime = 1300000001234LL;

VfsCopyItem folderItem(const QString &path)
{
    VfsCopyItem i;
    i.path = path;
    i.type = VfsCopyItem::DirectoryType;
    return i;
}

QString nameOf(const VfsFenuCommand &cmd)
{
    const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Requests that would look at a file again.
bool looksAtFile(const VfsFenuCommand &cmd)
{
    return cmd.code == FSO_OPEN_FILE || cmd.code == FSO_GET_FILE || cmd.code == FSO_MOVE || cmd.code == FSO_PUT_FILE;
}

// A disk of a USB stick's kind in an image file, mounted for the length of a test: FAT by the
// kernel where it has FAT, else exFAT through FUSE. Both keep coarser times than the copy's.
// (FUSE's FAT, fusefat, holds no copy: it stamps a file with the time of its rename and counts
// no free space.)
class StickDisk
{
public:
    ~StickDisk()
    {
        if (m_fuse)
            QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), QStringLiteral("-z"), m_mount});
        else if (m_kernel)
            ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
    }

    // Empty when mounted, else why not.
    QString mount(const QString &image, const QString &at)
    {
        m_mount = at;
        const QStringList sbin = {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")};
        QFile proc(QStringLiteral("/proc/filesystems"));
        const bool kernelFat = proc.open(QIODevice::ReadOnly) && proc.readAll().contains("\tvfat\n");
        const QString mkfs = QStandardPaths::findExecutable(kernelFat ? QStringLiteral("mkfs.vfat") : QStringLiteral("mkfs.exfat"), sbin);
        const QString fuse = QStandardPaths::findExecutable(QStringLiteral("mount.exfat-fuse"), sbin);
        if (::geteuid() != 0)
            return QStringLiteral("a disk image is mounted by root only");
        if (mkfs.isEmpty() || (!kernelFat && fuse.isEmpty()))
            return QStringLiteral("neither FAT in the kernel nor exFAT through FUSE (dosfstools, exfatprogs, exfat-fuse)");
        QFile file(image);
        if (!QDir().mkpath(at) || !file.open(QIODevice::WriteOnly) || !file.resize(64ll * 1024 * 1024))
            return QStringLiteral("cannot make the image");
        file.close();
        QProcess losetup;
        losetup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image});
        losetup.waitForFinished();
        const QString device = QString::fromLocal8Bit(losetup.readAllStandardOutput().trimmed());
        if (device.isEmpty())
            return QStringLiteral("no loop device");
        if (QProcess::execute(mkfs, {device}) == 0) {
            if (kernelFat)
                m_kernel = ::mount(QFile::encodeName(device).constData(), QFile::encodeName(at).constData(), "vfat", 0, "") == 0;
            else
                m_fuse = QProcess::execute(fuse, {device, at}) == 0;
        }
        // Let go once the file system does.
        QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
        return m_kernel || m_fuse ? QString() : QStringLiteral("the image could not be mounted");
    }

private:
    QString m_mount;
    bool m_kernel = false;
    bool m_fuse = false;
};

} // namespace

class tst_CopyJobConfirm : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    std::unique_ptr<TestPeer> m_a;
    std::unique_ptr<TestPeer> m_b;
    QString m_src;
    QString m_dst;
    QPointer<VfsCopyJob> m_job;
    bool m_finished = false;
    bool m_aborted = false;
    QString m_prompt;
    std::unique_ptr<StickDisk> m_disk; // let go after the servers, which hold it open

    // Starts a copy (or a move) of `tree` into `dstPath`, flushing while it copies every
    // `flushMs`.
    void start(const QString &tree, const QString &dstPath, bool move, int flushMs)
    {
        VfsCopyDto dto;
        dto.srcPeerUuid = m_a->uuid();
        dto.dstPeerUuid = m_b->uuid();
        dto.items = {folderItem(tree)};
        dto.dstPath = dstPath;
        dto.deleteSource = move;
        m_job = new VfsCopyJob;
        m_job->setPeers(m_a.get(), m_b.get());
        m_job->setRequest(dto);
        VfsJobTimings timings;
        timings.retryDelayMs = 50;
        timings.finishedDeleteMs = timings.abortedDeleteMs = 0;
        timings.flushIntervalMs = flushMs;
        m_job->setTimings(timings);
        VfsCopyJob *job = m_job;
        connect(job, &VfsJob::jobFinished, this, [this, job] {
            m_finished = true;
            m_prompt = job->userActionPrompt();
        });
        connect(job, &VfsJob::jobAborted, this, [this, job] {
            m_aborted = true;
            m_prompt = job->userActionPrompt();
        });
        // A file the job may have made itself (its request went unanswered) but that a power cut
        // left otherwise than the source is asked about, as any file it did not know.
        connect(job, &VfsJob::jobUpdated, this, [job] {
            if (job->state() == VfsJob::VfsJobStateQuestion)
                job->replaceCurrentItem();
        });
        m_job->start();
    }

    // Whether the job ended, finished or aborted; an aborted one is let go.
    bool ended()
    {
        const bool done = waitFor([this] { return m_finished || m_aborted; }, 30000);
        if (m_aborted && m_job)
            m_job->abort();
        waitFor([this] { return m_job.isNull(); }, 5000);
        return done;
    }

    // Sources below `tree`, in each folder `perFolder` files of `size` bytes and one large one:
    // name -> content, all with the same modification time.
    QMap<QString, QByteArray> writeTree(const QString &tree, const QStringList &folders, int perFolder, int size = 4096)
    {
        QMap<QString, QByteArray> files;
        int seed = 0;
        for (const QString &folder : folders) {
            for (int i = 0; i < perFolder; ++i)
                files.insert(folder + QStringLiteral("/s%1").arg(i, 2, 10, QLatin1Char('0')), pattern(size, ++seed));
            files.insert(folder + QStringLiteral("/big"), pattern(200000, ++seed));
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QDir().mkpath(QFileInfo(tree + it.key()).path());
            if (!writeFile(tree + it.key(), it.value()) || !setMtimeMs(tree + it.key(), kMtime))
                return {};
        }
        return files;
    }

    // Real names of the files in `folder`.
    static QStringList arrived(const QString &folder)
    {
        return QDir(folder).entryList(QDir::Files);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(makeTestFolders(m_tmp, &m_src, &m_dst));
        m_a.reset(new TestPeer(kUuidA));
        m_b.reset(new TestPeer(kUuidB));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(100);
            p->client()->setTransferTimeout(3000);
        }
        m_finished = m_aborted = false;
        m_prompt.clear();
    }

    void cleanup()
    {
        if (m_job)
            delete m_job.data();
        m_a.reset();
        m_b.reset();
        m_disk.reset();
    }

    // The link drops at 40 % of the files, or on the flush after the last one; meanwhile the
    // destination loses what it had not confirmed on its disk (the first flush was answered, the
    // later ones had not come back yet): deleted, emptied, zeroed at its size and time (a power
    // cut), with its server started anew as well, or the whole copied tree is removed. The job
    // ends; nothing is lost (a moved source is deleted only with its whole copy at the
    // destination), and a copy that finished holds every file whole.
    void cutLosesNothingUnconfirmed_data()
    {
        QTest::addColumn<bool>("move");
        QTest::addColumn<bool>("atEnd");
        QTest::addColumn<QString>("loss");
        for (const bool move : {false, true}) {
            for (const bool atEnd : {false, true}) {
                for (const char *loss : {"deleted", "emptied", "zeroed", "restarted", "tree removed"})
                    QTest::newRow(qPrintable(QStringLiteral("%1, cut %2, %3")
                                                 .arg(move ? "move" : "copy", atEnd ? "after the last file" : "at 40 %", loss)))
                        << move << atEnd << QString::fromLatin1(loss);
            }
        }
    }

    void cutLosesNothingUnconfirmed()
    {
        QFETCH(bool, move);
        QFETCH(bool, atEnd);
        QFETCH(QString, loss);
        const QString tree = m_src + QStringLiteral("/t");
        const QString copy = m_dst + QStringLiteral("/t");
        const QMap<QString, QByteArray> sources = writeTree(tree, {QString()}, 40);
        QVERIFY(!sources.isEmpty());
        QStringList flushing;      // what had arrived when the flush out came to the destination
        QStringList confirmed;     // what the answered flush covered: on its disk
        bool answered = false;
        bool cut = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cut)
                return;
            if (cmd.code == FSO_SYNC)
                flushing = arrived(copy);
            const int there = arrived(copy).size();
            if (atEnd ? cmd.code == FSO_SYNC && there == sources.size() : there >= sources.size() * 2 / 5) {
                // The destination's link goes; what waited for it ends at once, as in the program.
                cut = true;
                m_b->setDropping(true);
                m_b->setLinkState(IPeer::LinkDown);
                QMetaObject::invokeMethod(m_b->client(), &VfsClientNusk::failPendingRequests, Qt::QueuedConnection);
            }
        };
        m_b->onReply = [&](VfsFenuCommand &cmd) {
            if (cmd.code != FSO_SYNC_REPLY || cut)
                return;
            // Later flushes have not come back when the link drops: a disk slow to write out.
            if (answered) {
                cmd.code = 0x7F;
                return;
            }
            answered = cmd.status == FSO_STATUS_SUCCESS;
            confirmed = flushing;
        };
        start(tree, m_dst, move, 0);
        bool lost = false;
        bool lostAll = true;
        const auto comeBack = [&] {
            m_b->setDropping(false);
            m_b->setLinkState(IPeer::LinkUp);
        };
        // Writes the server had begun before the cut may still make files in the tree: it is
        // removed again on later turns of the event loop until nothing is left of it. (Calls
        // still queued go with `turns` if the job never ends.)
        QObject turns;
        std::function<void()> removeTree = [&] {
            if (QDir(copy).removeRecursively())
                comeBack();
            else
                QMetaObject::invokeMethod(&turns, removeTree, Qt::QueuedConnection);
        };
        // Once the job has seen the cut, the destination loses what it loses, and comes back.
        connect(m_job.data(), &VfsJob::stateChanged, this, [&] {
            if (!cut || lost || !m_job || m_job->errorCount() == 0)
                return;
            lost = true;
            if (loss == QLatin1String("tree removed")) {
                removeTree();
                return;
            }
            if (loss == QLatin1String("restarted"))
                m_b->restartServer();
            for (const QString &name : arrived(copy)) {
                if (confirmed.contains(name))
                    continue;
                const QString path = copy + QLatin1Char('/') + name;
                const qint64 size = QFileInfo(path).size();
                if (loss == QLatin1String("deleted"))
                    lostAll = QFile::remove(path) && lostAll;
                else if (loss == QLatin1String("emptied"))
                    lostAll = QFile::resize(path, 0) && lostAll;
                else
                    lostAll = rewriteKeepingTime(path, QByteArray(int(size), '\0')) && lostAll;
            }
            comeBack();
        });
        const bool done = ended();
        m_b->onRequest = nullptr;
        m_b->onReply = nullptr;
        QVERIFY(cut && lost && lostAll);
        QVERIFY2(done, "the job never ended");
        QVERIFY2(m_finished, qPrintable(m_prompt));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
            QVERIFY2(readFile(copy + it.key()) == it.value(), qPrintable(it.key()));
            QCOMPARE(QFileInfo::exists(tree + it.key()), !move);
        }
    }

    // The end cannot be reached as planned. The folder the flush goes through is renamed: the
    // flush goes through another folder of that disk, and the job finishes. Every folder the job
    // knows there is renamed away: it ends saying so, and a move keeps its sources. The sources
    // can no longer be listed (an access taken back): it ends saying so after one retry.
    void endThatCannotBeReached_data()
    {
        QTest::addColumn<bool>("move");
        QTest::addColumn<QString>("what");
        for (const bool move : {false, true}) {
            for (const char *what : {"folder renamed", "every folder gone", "sources unreadable"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(move ? "move" : "copy", what)))
                    << move << QString::fromLatin1(what);
        }
    }

    void endThatCannotBeReached()
    {
        QFETCH(bool, move);
        QFETCH(QString, what);
        const QString tree = m_src + QStringLiteral("/t");
        const QString copy = m_dst + QStringLiteral("/t");
        const QMap<QString, QByteArray> sources = writeTree(tree, {QStringLiteral("/a"), QStringLiteral("/b")}, 5);
        QVERIFY(!sources.isEmpty());
        int notFound = 0;
        int flushed = 0;
        QString renamed;    // the folder renamed at the destination, and its new name
        bool refusing = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const int there = arrived(copy + QStringLiteral("/a")).size() + arrived(copy + QStringLiteral("/b")).size();
            if (cmd.code != FSO_SYNC || !renamed.isEmpty() || there < sources.size() || what == QLatin1String("sources unreadable"))
                return;
            const QString folder = what == QLatin1String("every folder gone")
                                       ? m_dst
                                       : QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            renamed = folder + QStringLiteral("-renamed");
            QVERIFY(QDir().rename(folder, renamed));
        };
        m_b->onReply = [&](VfsFenuCommand &cmd) {
            if (cmd.code != FSO_SYNC_REPLY)
                return;
            notFound += cmd.status == FSO_STATUS_NOT_FOUND ? 1 : 0;
            flushed += cmd.status == FSO_STATUS_SUCCESS ? 1 : 0;
            refusing = refusing || (what == QLatin1String("sources unreadable") && cmd.status == FSO_STATUS_SUCCESS);
        };
        // Once the copy is on the destination's disk, every listing of the sources is refused.
        m_a->onReply = [&](VfsFenuCommand &cmd) {
            if (refusing && cmd.code == FSO_LIST_DIRECTORY_REPLY)
                cmd.status = FSO_STATUS_NOT_PERMITTED;
        };
        start(tree, m_dst, move, 60000);
        QVERIFY2(ended(), "the job never ended");
        m_a->onReply = nullptr;
        m_b->onRequest = nullptr;
        m_b->onReply = nullptr;
        if (what == QLatin1String("folder renamed")) {
            QVERIFY2(m_finished, qPrintable(m_prompt));
            QCOMPARE(notFound, 1);
            QVERIFY(flushed >= 1);
            // What was renamed stays whole under its new name; a move deleted its sources.
            for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
                QString at = copy + it.key();
                if (!QFileInfo::exists(at))
                    at = renamed + it.key().mid(it.key().lastIndexOf(QLatin1Char('/')));
                QVERIFY2(readFile(at) == it.value(), qPrintable(at));
                QCOMPARE(QFileInfo::exists(tree + it.key()), !move);
            }
            return;
        }
        QVERIFY2(m_aborted, qPrintable(m_prompt));
        const QString expected = what == QLatin1String("every folder gone")
                                     ? QStringLiteral("renamed, moved or deleted before the destination confirmed")
                                     : QStringLiteral("could not be listed again");
        QVERIFY2(m_prompt.contains(expected), qPrintable(m_prompt));
        QCOMPARE(m_prompt.contains(QStringLiteral("kept")), move);
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            QVERIFY2(readFile(tree + it.key()) == it.value(), qPrintable(it.key()));
    }

    // A copy whose flush at the end goes unanswered while the link stays up finishes saying that
    // the destination did not confirm that the copy is on its disk, as a move does.
    void copyNotConfirmedSaysSo()
    {
        const QString tree = m_src + QStringLiteral("/t");
        QVERIFY(!writeTree(tree, {QString()}, 3).isEmpty());
        m_b->client()->setTransferTimeout(200);
        m_b->onReply = [](VfsFenuCommand &cmd) {
            if (cmd.code == FSO_SYNC_REPLY)
                cmd.code = 0x7F;
        };
        start(tree, m_dst, false, 60000);
        QVERIFY(ended());
        m_b->onReply = nullptr;
        QVERIFY(m_finished);
        QVERIFY2(m_prompt.contains(QStringLiteral("did not confirm in time that the copy is on its disk")),
                 qPrintable(m_prompt));
        QVERIFY2(!m_prompt.contains(QStringLiteral("kept")), qPrintable(m_prompt));
    }

    // A move whose destination confirmed flushes while it copied, and whose flush at the end then
    // goes unanswered while the link stays up (a link that drops for a moment may stay up), takes
    // that for a cut: it checks what was not confirmed, flushes again, and deletes its sources.
    void endFlushUnansweredAfterAnsweredOnesIsACut()
    {
        const QString tree = m_src + QStringLiteral("/t");
        const QString copy = m_dst + QStringLiteral("/t");
        const QMap<QString, QByteArray> sources = writeTree(tree, {QString()}, 200);
        QVERIFY(!sources.isEmpty());
        m_b->client()->setTransferTimeout(300);
        // Replies one at a time: the flushes come back while the files are copied.
        m_b->setReplyPacing(1);
        int answeredEarly = 0; // flushes answered before every file had arrived
        int swallowed = 0;
        m_b->onReply = [&](VfsFenuCommand &cmd) {
            if (cmd.code != FSO_SYNC_REPLY)
                return;
            const bool all = arrived(copy).size() == sources.size();
            answeredEarly += !all && cmd.status == FSO_STATUS_SUCCESS ? 1 : 0;
            // Once every file is there, none comes back until the job has taken it for a cut.
            if (all && m_job && m_job->errorCount() == 0) {
                cmd.code = 0x7F;
                ++swallowed;
            }
        };
        start(tree, m_dst, true, 0);
        QVERIFY(ended());
        m_b->onReply = nullptr;
        QVERIFY(answeredEarly > 0);
        QVERIFY(swallowed > 0);
        QVERIFY2(m_finished && m_prompt.isEmpty(), qPrintable(m_prompt));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
            QVERIFY2(readFile(copy + it.key()) == it.value(), qPrintable(it.key()));
            QVERIFY2(!QFileInfo::exists(tree + it.key()), qPrintable(it.key()));
        }
    }

    // Onto a USB stick's disk, which keeps times to two seconds (FAT) or coarser than the copy's
    // (exFAT), a copy is cut once the destination has confirmed half of the files: the retry
    // passes over those it confirmed (but for those in flight when the flush left, which it
    // covered before the job heard they were finished), and looks again only at the others.
    void stickTimesPassOver()
    {
        m_disk.reset(new StickDisk);
        const QString mounted = m_tmp.filePath(QStringLiteral("stick"));
        const QString why = m_disk->mount(m_tmp.filePath(QStringLiteral("stick.img")), mounted);
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        const QString tree = m_src + QStringLiteral("/t");
        const QString copy = mounted + QStringLiteral("/t");
        const QMap<QString, QByteArray> sources = writeTree(tree, {QString()}, 200);
        QVERIFY(!sources.isEmpty());
        // Replies one at a time: a flush comes back after the few files in flight with it, never
        // after all of them.
        m_b->setReplyPacing(1);
        QStringList flushing;
        QStringList confirmed;
        bool cut = false;
        int lookedAgain = 0;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cut) {
                lookedAgain += looksAtFile(cmd) && confirmed.contains(nameOf(cmd)) ? 1 : 0;
                return;
            }
            if (cmd.code == FSO_SYNC)
                flushing = arrived(copy);
            if (confirmed.size() >= sources.size() / 2) {
                cut = true;
                m_a->setDropping(true);
                m_b->setDropping(true);
            }
        };
        m_b->onReply = [&](VfsFenuCommand &cmd) {
            if (cmd.code == FSO_SYNC_REPLY && cmd.status == FSO_STATUS_SUCCESS && !cut)
                confirmed = flushing;
        };
        start(tree, mounted, false, 0);
        connect(m_job.data(), &VfsJob::stateChanged, this, [&] {
            if (cut && m_job && m_job->errorCount() > 0 && m_b->dropping()) {
                m_a->setDropping(false);
                m_b->setDropping(false);
            }
        });
        QVERIFY(ended());
        m_b->onRequest = nullptr;
        m_b->onReply = nullptr;
        QVERIFY2(m_finished, qPrintable(m_prompt));
        QVERIFY(cut);
        qInfo("%d of %d files confirmed at the cut; %d requests looked at them again", int(confirmed.size()),
              int(sources.size()), lookedAgain);
        QVERIFY2(lookedAgain <= 2 * VfsSmallFileLane::kFilesInFlight, qPrintable(QString::number(lookedAgain)));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            QVERIFY2(readFile(copy + it.key()) == it.value(), qPrintable(it.key()));
    }
};

QTEST_GUILESS_MAIN(tst_CopyJobConfirm)
#include "tst_copyjobconfirm.moc"

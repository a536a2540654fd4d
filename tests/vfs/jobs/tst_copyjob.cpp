// Copy jobs between in-process peers over the real FSO client, parser and server, on
// real files in a temporary directory.

#include "testutil_closefails.h"
#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/server/vfsserverjobs.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>

#include <unistd.h>

using namespace testjobs;

namespace {

const QString kUuidA = QStringLiteral("{00000000-0000-0000-0000-00000000000a}");
const QString kUuidB = QStringLiteral("{00000000-0000-0000-0000-00000000000b}");

struct Outcome
{
    bool finished = false;
    bool aborted = false;
    VfsCopyResult result;
    QString prompt;
    int errors = 0;
    quint64 bytesCopied = 0;
    quint64 bytesTotal = 0;
    quint64 bytesWritten = 0;
};

VfsCopyItem item(const QString &path, int type = VfsCopyItem::FileType)
{
    VfsCopyItem i;
    i.path = path;
    i.type = type;
    return i;
}

} // namespace

class tst_CopyJob : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    std::unique_ptr<TestPeer> m_a;
    std::unique_ptr<TestPeer> m_b;
    QString m_src;
    QString m_dst;

    QPointer<VfsCopyJob> make(TestPeer *src, TestPeer *dst, std::vector<VfsCopyItem> items, const QString &dstPath,
                              bool replaceAll = false, bool deleteSource = false)
    {
        VfsCopyDto dto;
        dto.srcPeerUuid = src->uuid();
        dto.dstPeerUuid = dst->uuid();
        dto.items = std::move(items);
        dto.dstPath = dstPath;
        dto.replaceAll = replaceAll;
        dto.deleteSource = deleteSource;
        auto *job = new VfsCopyJob;
        job->setPeers(src, dst);
        job->setRequest(dto);
        job->setRetryDelay(50);
        job->setDeleteDelays(0, 0);
        return job;
    }

    Outcome run(VfsCopyJob *job, const std::function<void(VfsCopyJob *)> &onQuestion = {}, int ms = 60000)
    {
        Outcome out;
        QPointer<VfsCopyJob> guard(job);
        connect(job, &VfsCopyJob::copyCompleted, this, [&out](VfsCopyDto, VfsCopyResult r) { out.result = r; });
        connect(job, &VfsJob::jobFinished, this, [&out, job]() {
            out.finished = true;
            out.bytesCopied = job->bytesCopiedCount();
            out.bytesTotal = job->bytesTotalCount();
            out.bytesWritten = job->bytesWrittenCount();
        });
        connect(job, &VfsJob::jobAborted, this, [&out, job]() {
            out.aborted = true;
            out.prompt = job->userActionPrompt();
            out.errors = job->errorCount();
        });
        if (onQuestion) {
            connect(job, &VfsJob::jobUpdated, this, [job, onQuestion]() {
                if (job->state() == VfsJob::VfsJobStateQuestion)
                    onQuestion(job);
            });
        }
        job->start();
        waitFor([&]() { return out.finished || out.aborted; }, ms);
        if (guard && !out.finished && !out.aborted)
            qWarning("job stuck: state %d errors %d copied %llu", guard->copyState(), guard->errorCount(),
                     (unsigned long long)guard->bytesCopiedCount());
        if (out.aborted && guard)
            guard->abort(); // a job that ended on a fatal error waits for the user
        waitFor([&]() { return guard.isNull(); }, 5000);
        return out;
    }

    void settle()
    {
        // Every handle the jobs opened must be closed again.
        QVERIFY(waitFor([&]() { return m_a->server()->openFileCount() == 0 && m_b->server()->openFileCount() == 0; },
                        5000));
    }

private:
    // Starts `job` and aborts it (or deletes it outright) when the servers see its k-th
    // request; `hit` says whether the job got that far. A job deleted outright can't close
    // what the server opened a moment later (the server's idle close does), so only an
    // aborted one must leave nothing open.
    void stopAtRequest(QPointer<VfsCopyJob> job, int k, bool deleteJob, bool *hit = nullptr)
    {
        bool ended = false;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { ended = true; });
        int seen = 0;
        auto hook = [&](const VfsFenuCommand &) {
            if (++seen == k && job && !ended) {
                if (hit)
                    *hit = true;
                if (deleteJob)
                    delete job.data();
                else
                    job->abort();
            }
        };
        m_a->onRequest = hook;
        m_b->onRequest = hook;
        job->start();
        const bool gone = waitFor([&]() { return job.isNull(); }, 10000);
        m_a->onRequest = nullptr;
        m_b->onRequest = nullptr;
        QVERIFY2(gone, qPrintable(QString::number(k)));
        if (!deleteJob)
            QVERIFY2(waitFor([&]() { return m_a->server()->openFileCount() == 0 && m_b->server()->openFileCount() == 0; },
                             5000),
                     qPrintable(QString::number(k)));
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(makeTestFolders(m_tmp, &m_src, &m_dst));
        m_a.reset(new TestPeer(kUuidA));
        m_b.reset(new TestPeer(kUuidB));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(3000);
            p->client()->setTransferTimeout(3000);
        }
    }

    void cleanup()
    {
        m_a.reset();
        m_b.reset();
    }

    // A tree with every edge size of the block method, nested and empty folders, a symbolic
    // link and a FIFO arrives byte-identical with file and folder times; the link and the
    // FIFO are not copied. Copying it again writes nothing.
    void treeByteIdenticalWithTimes()
    {
        const QList<qint64> sizes = {0, 1, 64399, 64400, 64401, 4121600, 4121601, 10000000};
        const QString tree = m_src + QStringLiteral("/tree");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/nested/deeper")));
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/empty")));
        qint64 total = 0;
        int seed = 0;
        for (qint64 size : sizes) {
            const QString folder = size > 64401 ? tree : tree + QStringLiteral("/nested/deeper");
            const QString path = folder + QStringLiteral("/f") + QString::number(size);
            QVERIFY(writeFile(path, pattern(size, ++seed)));
            QVERIFY(setMtimeMs(path, 1500000000000LL + size));
            total += size;
        }
        QVERIFY(::symlink("f1", QFile::encodeName(tree + QStringLiteral("/nested/deeper/link")).constData()) == 0);
        QVERIFY(makeFifo(tree + QStringLiteral("/fifo")));
        QVERIFY(setMtimeMs(tree + QStringLiteral("/nested/deeper"), 1400000000000LL));
        QVERIFY(setMtimeMs(tree + QStringLiteral("/nested"), 1400000001000LL));
        QVERIFY(setMtimeMs(tree + QStringLiteral("/empty"), 1400000002000LL));
        QVERIFY(setMtimeMs(tree, 1400000003000LL));

        Outcome out = run(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst));
        QVERIFY(out.finished);
        QCOMPARE(out.bytesTotal, quint64(total));
        QCOMPARE(out.bytesCopied, quint64(total));
        QCOMPARE(out.bytesWritten, quint64(total));
        const QString copy = m_dst + QStringLiteral("/tree");
        seed = 0;
        for (qint64 size : sizes) {
            const QString rel = (size > 64401 ? QString() : QStringLiteral("/nested/deeper")) + QStringLiteral("/f")
                                + QString::number(size);
            QCOMPARE(readFile(copy + rel), pattern(size, ++seed));
            QCOMPARE(mtimeMs(copy + rel), 1500000000000LL + size);
        }
        QCOMPARE(mtimeMs(copy + QStringLiteral("/nested/deeper")), 1400000000000LL);
        QCOMPARE(mtimeMs(copy + QStringLiteral("/nested")), 1400000001000LL);
        QCOMPARE(mtimeMs(copy + QStringLiteral("/empty")), 1400000002000LL);
        QCOMPARE(mtimeMs(copy), 1400000003000LL);
        QVERIFY(!QFileInfo::exists(copy + QStringLiteral("/fifo")));
        QVERIFY(!QFileInfo(copy + QStringLiteral("/nested/deeper/link")).isSymLink());
        QCOMPARE(out.result.files.size(), sizes.size());
        settle();

        // Identical again: every block matches, nothing is written.
        m_b->resetCounters();
        out = run(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(out.bytesWritten, quint64(0));
        QCOMPARE(m_b->writtenBytes(), quint64(0));
        QCOMPARE(out.bytesCopied, quint64(total));
        settle();
    }

    // One corrupt block and a missing end: only those blocks travel again. A longer
    // destination ends cut to the source's length.
    void resumeRewritesOnlyDifferingBlocks()
    {
        const qint64 size = 4121601 + 64400 * 3;
        const QByteArray data = pattern(size, 7);
        const QString src = m_src + QStringLiteral("/big");
        QVERIFY(writeFile(src, data));
        QByteArray damaged = data.left(int(size - 100000));
        damaged[64400 * 5 + 17] = char(damaged[64400 * 5 + 17] ^ 0x5A);
        QVERIFY(writeFile(m_dst + QStringLiteral("/big"), damaged));
        m_b->resetCounters();
        Outcome out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/big")), data);
        // block 5, plus the blocks from the one the shortened file cuts through to the end
        const qint64 firstMissing = (size - 100000) / 64400;
        const qint64 expected = 64400 + (size - firstMissing * 64400);
        QCOMPARE(qint64(m_b->writtenBytes()), expected);

        QByteArray longer = data + pattern(200000, 9);
        QVERIFY(writeFile(m_dst + QStringLiteral("/big"), longer));
        m_b->resetCounters();
        out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/big")), data);
        QCOMPARE(m_b->writtenBytes(), quint64(0));
        settle();
    }

    // Hashing pays only where the destination holds something: a new or empty destination
    // is written without one hash request on either side, an existing one is compared.
    void hashesOnlyWhatCanBeKept()
    {
        const QByteArray data = pattern(64400 * 4 + 99, 21);
        QVERIFY(writeFile(m_src + QStringLiteral("/new"), data));
        QVERIFY(writeFile(m_src + QStringLiteral("/empty"), data));
        QVERIFY(writeFile(m_dst + QStringLiteral("/empty"), QByteArray()));
        int hashes = 0;
        auto count = [&hashes](const VfsFenuCommand &cmd) { hashes += cmd.code == FSO_HASH_FILE; };
        m_a->onRequest = count;
        m_b->onRequest = count;
        Outcome out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/new")), item(m_src + QStringLiteral("/empty"))},
                               m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(hashes, 0);
        QCOMPARE(readFile(m_dst + QStringLiteral("/new")), data);
        QCOMPARE(readFile(m_dst + QStringLiteral("/empty")), data);

        m_b->resetCounters();
        out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/new"))}, m_dst, true));
        QVERIFY(out.finished);
        QVERIFY(hashes > 0);
        QCOMPARE(m_b->writtenBytes(), quint64(0));
        settle();
    }

    // The request's sizes may be stale: the job reads them again at its start.
    void staleRequestSizeIsReadAgain()
    {
        const QByteArray data = pattern(200000, 3);
        QVERIFY(writeFile(m_src + QStringLiteral("/s"), data));
        VfsCopyItem i = item(m_src + QStringLiteral("/s"));
        i.size = 5;
        i.mtime = 1;
        Outcome out = run(make(m_a.get(), m_b.get(), {i}, m_dst));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/s")), data);
        QCOMPARE(out.bytesTotal, quint64(data.size()));
        QCOMPARE(mtimeMs(m_dst + QStringLiteral("/s")), mtimeMs(m_src + QStringLiteral("/s")));
    }

    // A source that grows or shrinks while it is copied: a short read never counts as
    // data; the copy starts over with the new size and ends identical to the source.
    void changedSourceRestarts_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("grows") << 1000;
        QTest::newRow("shrinks") << -100000;
    }

    void changedSourceRestarts()
    {
        QFETCH(int, change);
        const QString path = m_src + QStringLiteral("/changes");
        QVERIFY(writeFile(path, pattern(300000, 12)));
        bool changed = false;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (!changed && cmd.code == FSO_READ_FILE) {
                changed = true;
                QFile f(path);
                if (change > 0) {
                    QVERIFY(f.open(QIODevice::Append));
                    f.write(pattern(change, 13));
                } else {
                    QVERIFY(f.resize(300000 + change));
                }
            }
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(path)}, m_dst);
        int errors = 0;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job)
                errors = qMax(errors, job->errorCount());
        });
        Outcome out = run(job);
        QVERIFY(changed);
        QVERIFY(out.finished);
        QVERIFY(errors >= 1);
        QCOMPARE(readFile(path).size(), 300000 + change);
        QCOMPARE(readFile(m_dst + QStringLiteral("/changes")), readFile(path));
        settle();
    }

    // A file that fails the same way after a retry (here: its path is longer than a request
    // can carry) is left out as an error and named; the rest of the job goes on.
    void failingItemLeftOutRestGoesOn()
    {
        QString deep = m_src;
        while (deep.toUtf8().size() < 1100)
            deep += QStringLiteral("/") + QString(200, QLatin1Char('d'));
        QVERIFY(QDir().mkpath(deep));
        QVERIFY(writeFile(deep + QStringLiteral("/far"), "far"));
        QVERIFY(writeFile(m_src + QStringLiteral("/near"), "near"));
        QPointer<VfsCopyJob> job =
            make(m_a.get(), m_b.get(), {item(deep + QStringLiteral("/far")), item(m_src + QStringLiteral("/near"))}, m_dst);
        QString prompt;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { prompt = job->userActionPrompt(); });
        int errors = 0;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job)
                errors = qMax(errors, job->errorCount());
        });
        Outcome out = run(job, {}, 15000);
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/near")), QByteArray("near"));
        QVERIFY(!QFileInfo::exists(m_dst + QStringLiteral("/far")));
        QVERIFY2(prompt.contains(QStringLiteral("/far")), qPrintable(prompt));
        QVERIFY(errors >= 1);

        // The same inside a tree: the folders too deep for a request are left out, named,
        // and everything else of the tree arrives.
        job = make(m_a.get(), m_b.get(), {item(m_src, VfsCopyItem::DirectoryType)}, m_dst);
        prompt.clear();
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { prompt = job->userActionPrompt(); });
        out = run(job, {}, 15000);
        QVERIFY(out.finished);
        const QString copied = m_dst + QStringLiteral("/") + QFileInfo(m_src).fileName();
        QCOMPARE(readFile(copied + QStringLiteral("/near")), QByteArray("near"));
        QVERIFY2(prompt.contains(QString(200, QLatin1Char('d'))), qPrintable(prompt));
        settle();
    }

    // A source rewritten in place with the same size while it is copied: the copy is made
    // again, and ends with the new content and the new date, never a mix of both. One that
    // never stops changing ends the job with a message naming it.
    void rewrittenSourceIsCopiedAgain()
    {
        const QString path = m_src + QStringLiteral("/rewritten");
        const QByteArray before = pattern(1000000, 20), after = pattern(1000000, 21);
        QVERIFY(writeFile(path, before));
        QVERIFY(setMtimeMs(path, 1600000000000));
        int reads = 0;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_READ_FILE && ++reads == 3) {
                QVERIFY(writeFile(path, after));
                QVERIFY(setMtimeMs(path, 1700000000000));
            }
        };
        Outcome out = run(make(m_a.get(), m_b.get(), {item(path)}, m_dst));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/rewritten")), after);
        QCOMPARE(mtimeMs(m_dst + QStringLiteral("/rewritten")), qint64(1700000000000));

        qint64 stamp = 1600000000000;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_READ_FILE || cmd.code == FSO_HASH_FILE)
                QVERIFY(setMtimeMs(path, stamp += 1000));
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(path)}, m_dst, true);
        QString prompt;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { prompt = job->userActionPrompt(); });
        out = run(job);
        m_a->onRequest = nullptr;
        QVERIFY(out.finished);
        QVERIFY2(prompt.contains(QStringLiteral("rewritten")), qPrintable(prompt));
        settle();
    }

    // A source rewritten in place at the same size with its modification time put back, at
    // the k-th request its server gets while a copy or a cut reads it: only its change time
    // tells. The copy is made again, the destination holds the new version whole, and a cut
    // counts the file copied (so deletes it) only from a read it held still for. One that is
    // rewritten at every read is named, never counted copied, so a cut keeps it.
    void sameSizeRewriteWithTimePutBack_data()
    {
        QTest::addColumn<bool>("cut");
        QTest::addColumn<int>("k");
        for (bool cut : {false, true}) {
            for (int k : {3, 5, 8, 14})
                QTest::newRow(qPrintable(QStringLiteral("%1 at request %2").arg(cut ? "cut" : "copy").arg(k))) << cut << k;
        }
    }

    void sameSizeRewriteWithTimePutBack()
    {
        QFETCH(bool, cut);
        QFETCH(int, k);
        const QString path = m_src + QStringLiteral("/edited");
        const QString copied = m_dst + QStringLiteral("/edited");
        const QByteArray before = pattern(1000000, 30), after = pattern(1000000, 31);
        QVERIFY(writeFile(path, before));
        QVERIFY(setMtimeMs(path, 1600000000000));
        int requests = 0;
        m_a->onRequest = [&](const VfsFenuCommand &) {
            if (++requests == k)
                QVERIFY(rewriteKeepingTime(path, after));
        };
        Outcome out = run(make(m_a.get(), m_b.get(), {item(path)}, m_dst, false, cut));
        m_a->onRequest = nullptr;
        QVERIFY2(requests >= k, qPrintable(QString::number(requests)));
        QVERIFY(out.finished);
        // A cut deletes the source once its last version arrived; a copy leaves it as it was.
        if (cut) {
            QVERIFY(!QFileInfo::exists(path));
            QVERIFY(writeFile(path, before));
            QVERIFY(setMtimeMs(path, 1600000000000));
        }
        QCOMPARE(mtimeMs(path), qint64(1600000000000));
        QCOMPARE(readFile(copied), after);
        QCOMPARE(out.result.files, QStringList{path});
        settle();

        int version = 0;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_READ_FILE || cmd.code == FSO_HASH_FILE)
                QVERIFY(rewriteKeepingTime(path, ++version % 2 ? before : after));
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(path)}, m_dst, true, cut);
        QString prompt;
        int errors = 0;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() {
            prompt = job->userActionPrompt();
            errors = job->errorCount();
        });
        out = run(job);
        m_a->onRequest = nullptr;
        QVERIFY(out.finished);
        QVERIFY(out.result.files.isEmpty());
        QVERIFY(errors >= 1);
        QVERIFY2(prompt.contains(QStringLiteral("edited")), qPrintable(prompt));
        QVERIFY(QFileInfo::exists(path));
        settle();
    }

    // Copies get the source's permission bits less the user's umask, as `cp` makes them: an
    // executable stays executable, a private file private, a read-only folder gets its mode
    // once its files are in it; large files and the small ones that go several at a time.
    void permissionsKeptLessUmask()
    {
        const QString tree = m_src + QStringLiteral("/perm");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/ro")));
        const struct { const char *name; QByteArray data; int mode; } files[] = {
            {"/tool", pattern(300000, 1), 0755}, {"/notes", "n", 0604}, {"/ro/doc", "d", 0444}};
        for (const auto &f : files) {
            QVERIFY(writeFile(tree + QLatin1String(f.name), f.data));
            QVERIFY(::chmod(QFile::encodeName(tree + QLatin1String(f.name)).constData(), mode_t(f.mode)) == 0);
        }
        QVERIFY(::chmod(QFile::encodeName(tree + QStringLiteral("/ro")).constData(), 0555) == 0);
        QVERIFY(::chmod(QFile::encodeName(tree).constData(), 0775) == 0);
        const mode_t userMask = ::umask(027);
        Outcome out = run(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst));
        ::umask(userMask);
        const QString copy = m_dst + QStringLiteral("/perm");
        QVERIFY(out.finished);
        QCOMPARE(permissionsOf(copy), 0750);
        QCOMPARE(permissionsOf(copy + QStringLiteral("/ro")), 0550);
        QCOMPARE(permissionsOf(copy + QStringLiteral("/tool")), 0750);
        QCOMPARE(permissionsOf(copy + QStringLiteral("/notes")), 0600);
        QCOMPARE(permissionsOf(copy + QStringLiteral("/ro/doc")), 0440);
        QCOMPARE(readFile(copy + QStringLiteral("/tool")), pattern(300000, 1));
        for (const QString &folder : {tree + QStringLiteral("/ro"), copy + QStringLiteral("/ro")})
            ::chmod(QFile::encodeName(folder).constData(), 0755);
        settle();
    }

    // From a share another computer only lets this one read, copies keep who may read,
    // write and run them: a private file stays private, a program stays runnable.
    void permissionsKeptFromReadOnlyShare()
    {
        const QString share = m_src + QStringLiteral("/ro");
        QVERIFY(QDir().mkpath(share));
        const struct { const char *name; int mode; } files[] = {{"/private", 0600}, {"/tool", 0750}, {"/notes", 0644}};
        for (const auto &f : files) {
            QVERIFY(writeFile(share + QLatin1String(f.name), "x"));
            QVERIFY(::chmod(QFile::encodeName(share + QLatin1String(f.name)).constData(), mode_t(f.mode)) == 0);
        }
        PeerAclDto readOnly;
        readOnly.uuid = QStringLiteral("{33333333-3333-3333-3333-333333333333}");
        readOnly.name = QStringLiteral("Read-only");
        readOnly.selector = share;
        readOnly.flags = 0x1 | 0x4;
        m_a.reset(new TestPeer(kUuidA, {readOnly}));
        const QString shared = QStringLiteral("%shares/") + readOnly.uuid;
        const mode_t userMask = ::umask(022);
        const Outcome out = run(make(m_a.get(), m_b.get(),
                                     {item(shared + QStringLiteral("/private")), item(shared + QStringLiteral("/tool")),
                                      item(shared + QStringLiteral("/notes"))},
                                     m_dst));
        ::umask(userMask);
        QVERIFY(out.finished);
        for (const auto &f : files)
            QCOMPARE(permissionsOf(m_dst + QLatin1String(f.name)), f.mode);
        settle();
    }

    // Progress and speed as the window hears them follow the bytes on the destination's
    // disk: a copy whose destination stalls half-way has published what it wrote and how
    // fast, while it waits; released, it finishes whole.
    void progressFollowsBytesWritten()
    {
        const qint64 size = 16000000;
        const QByteArray data = pattern(size, 21);
        QVERIFY(writeFile(m_src + QStringLiteral("/big"), data));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(60000);
            p->client()->setTransferTimeout(60000);
        }
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/big"))}, m_dst);
        quint64 publishedBytes = 0;
        double publishedPercent = 0;
        qint64 publishedSpeed = 0;
        connect(job.data(), &VfsCopyJob::bytesCopiedChanged, this, [&]() { publishedBytes = job->bytesCopiedCount(); });
        connect(job.data(), &VfsCopyJob::percentDoneChanged, this, [&]() { publishedPercent = job->percentDone(); });
        connect(job.data(), &VfsCopyJob::writeSpeedChanged, this, [&]() { publishedSpeed = job->bytesPerSecond(); });
        bool held = false;
        m_b->onRequest = [&](const VfsFenuCommand &command) {
            if (!held && command.code == FSO_WRITE_FILE && m_b->writtenBytes() >= quint64(size / 2)) {
                held = true;
                m_b->setHoldingRequests(true);
            }
        };
        Outcome out;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { out.finished = true; });
        job->start();
        QVERIFY(waitFor([&]() { return held; }));
        const quint64 onDisk = m_b->writtenBytes();
        QVERIFY(onDisk < quint64(size));
        QVERIFY(waitFor([&]() { return publishedBytes == onDisk; }, 10000));
        QCOMPARE(publishedPercent, VfsCopyJob::percentOf(onDisk, quint64(size)));
        QVERIFY(waitFor([&]() { return publishedSpeed > 0; }, 10000));
        QCOMPARE(m_b->writtenBytes(), onDisk);

        m_b->onRequest = nullptr;
        m_b->setHoldingRequests(false);
        QVERIFY(waitFor([&]() { return out.finished; }));
        QCOMPARE(readFile(m_dst + QStringLiteral("/big")), data);
        waitFor([&]() { return job.isNull(); }, 5000);
        settle();
    }

    // The link goes down in the middle of a file and comes back: the job retries, resumes
    // from the blocks that arrived and ends identical, sending about the missing part again.
    void linkCutResumes()
    {
        const qint64 size = 10000000;
        const QByteArray data = pattern(size, 11);
        QVERIFY(writeFile(m_src + QStringLiteral("/cut"), data));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(300);
            p->client()->setTransferTimeout(300);
        }
        bool cut = false;
        m_b->onRequest = [&](const VfsFenuCommand &) {
            if (!cut && m_b->writtenBytes() >= quint64(size / 2)) {
                cut = true;
                m_a->setDropping(true);
                m_b->setDropping(true);
                m_a->setName(QStringLiteral("Laptop"));
                m_a->setLinkState(IPeer::LinkDown);
                QTimer::singleShot(1200, this, [&]() {
                    m_a->setDropping(false);
                    m_b->setDropping(false);
                    m_a->setLinkState(IPeer::LinkUp);
                });
            }
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/cut"))}, m_dst);
        int errors = 0;
        QStringList prompts;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job)
                errors = qMax(errors, job->errorCount());
        });
        connect(job.data(), &VfsCopyJob::userActionPromptChanged, this, [&]() {
            if (job)
                prompts.append(job->userActionPrompt());
        });
        Outcome out = run(job);
        QVERIFY(cut);
        QVERIFY(out.finished);
        QVERIFY(errors >= 1);
        // While the computer was away the job said so, and took it back once it returned.
        QVERIFY2(prompts.contains(QStringLiteral("Laptop cannot be reached. The copy goes on when it can be reached again.")),
                 qPrintable(prompts.join(QLatin1Char('|'))));
        QCOMPARE(prompts.value(prompts.size() - 1), QString());
        QCOMPARE(readFile(m_dst + QStringLiteral("/cut")), data);
        // Blocks in flight at the cut are sent twice, nothing more.
        QVERIFY2(m_b->writtenBytes() < quint64(size) + 30 * 64400, qPrintable(QString::number(m_b->writtenBytes())));
    }

    // Skip, Replace and Replace all answer the question for existing files.
    void replaceQuestions()
    {
        for (int i = 0; i < 4; ++i) {
            QVERIFY(writeFile(m_src + QStringLiteral("/q%1").arg(i), pattern(1000 + i, i)));
            QVERIFY(writeFile(m_dst + QStringLiteral("/q%1").arg(i), "old"));
        }
        std::vector<VfsCopyItem> items;
        for (int i = 3; i >= 0; --i) // taken from the back: q0 first
            items.push_back(item(m_src + QStringLiteral("/q%1").arg(i)));
        QStringList asked;
        int answer = 0;
        Outcome out = run(make(m_a.get(), m_b.get(), items, m_dst), [&](VfsCopyJob *job) {
            asked << job->currentFile();
            QVERIFY(!job->userActionPrompt().isEmpty());
            QVERIFY(job->userActionEnabled(VfsJob::UserActionSkip));
            switch (answer++) {
            case 0: job->skipCurrentItem(); break;
            case 1: job->replaceCurrentItem(); break;
            default: job->replaceAllItems(); break;
            }
        });
        QVERIFY(out.finished);
        QCOMPARE(asked, QStringList({"q0", "q1", "q2"}));
        QCOMPARE(readFile(m_dst + QStringLiteral("/q0")), QByteArray("old"));
        for (int i = 1; i < 4; ++i)
            QCOMPARE(readFile(m_dst + QStringLiteral("/q%1").arg(i)), pattern(1000 + i, i));
        QVERIFY(!out.result.files.contains(m_src + QStringLiteral("/q0")));
        QCOMPARE(out.result.files.size(), 3);
        settle(); // the skipped file's source handle is closed too
    }

    // A Replace answer belongs to one file: when its open is lost with the link and the job
    // starts over, a file the user skipped is not replaced by it.
    void replaceAnswerDoesNotOutliveRetry()
    {
        for (int i = 0; i < 2; ++i) {
            QVERIFY(writeFile(m_src + QStringLiteral("/r%1").arg(i), pattern(1000, i)));
            QVERIFY(writeFile(m_dst + QStringLiteral("/r%1").arg(i), "old"));
        }
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(100);
            p->client()->setTransferTimeout(100);
        }
        bool cut = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            if (!cut && cmd.code == FSO_OPEN_FILE && path.endsWith(QStringLiteral("/r1")) && !(cmd.flags & 0x20)) {
                cut = true;
                m_a->setDropping(true);
                m_b->setDropping(true);
                QTimer::singleShot(300, this, [&]() {
                    m_a->setDropping(false);
                    m_b->setDropping(false);
                });
            }
        };
        std::vector<VfsCopyItem> items = {item(m_src + QStringLiteral("/r1")), item(m_src + QStringLiteral("/r0"))};
        Outcome out = run(make(m_a.get(), m_b.get(), items, m_dst), [&](VfsCopyJob *job) {
            if (job->currentFile() == QStringLiteral("r0"))
                job->skipCurrentItem();
            else
                job->replaceCurrentItem();
        });
        QVERIFY(cut);
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/r0")), QByteArray("old"));
        QCOMPARE(readFile(m_dst + QStringLiteral("/r1")), pattern(1000, 1));
        QVERIFY(!out.result.files.contains(m_src + QStringLiteral("/r0")));
    }

    // The job runs on its own thread while the job window answers from the GUI thread:
    // Replace and Abort called from there take effect.
    void answersFromAnotherThread()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/t0"), pattern(3000, 1)));
        QVERIFY(writeFile(m_dst + QStringLiteral("/t0"), "old"));
        QThread worker;
        worker.start();
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/t0"))}, m_dst);
        bool finished = false;
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { finished = true; });
        connect(job.data(), &VfsJob::jobUpdated, this, [&]() {
            if (job && job->state() == VfsJob::VfsJobStateQuestion)
                job->replaceCurrentItem(); // a direct call, as QML makes it
        });
        job->moveToThread(&worker);
        QMetaObject::invokeMethod(job.data(), "start", Qt::QueuedConnection);
        QVERIFY(waitFor([&]() { return finished; }, 10000));
        QCOMPARE(readFile(m_dst + QStringLiteral("/t0")), pattern(3000, 1));

        QVERIFY(writeFile(m_src + QStringLiteral("/t1"), pattern(3000, 2)));
        QVERIFY(writeFile(m_dst + QStringLiteral("/t1"), "old"));
        job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/t1"))}, m_dst);
        bool aborted = false;
        bool destroyed = false;
        connect(job.data(), &VfsJob::jobAborted, this, [&]() { aborted = true; });
        connect(job.data(), &QObject::destroyed, this, [&]() { destroyed = true; }, Qt::DirectConnection);
        connect(job.data(), &VfsJob::jobUpdated, this, [&]() {
            if (job && job->state() == VfsJob::VfsJobStateQuestion)
                job->abort();
        });
        job->moveToThread(&worker);
        QMetaObject::invokeMethod(job.data(), "start", Qt::QueuedConnection);
        QVERIFY(waitFor([&]() { return aborted && destroyed; }, 10000));
        QCOMPARE(readFile(m_dst + QStringLiteral("/t1")), QByteArray("old"));
        worker.quit();
        worker.wait();
        settle();
    }

    // An abort while blocks are in flight withdraws every request, closes both files and
    // never gives the half-written file the source's times.
    void abortInFlight()
    {
        const QByteArray data = pattern(10000000, 5);
        QVERIFY(writeFile(m_src + QStringLiteral("/abort"), data));
        QVERIFY(setMtimeMs(m_src + QStringLiteral("/abort"), 1300000000000LL));
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/abort"))}, m_dst);
        bool aborted = false;
        connect(job.data(), &VfsJob::jobAborted, this, [&]() { aborted = true; });
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_WRITE_FILE && m_b->writeRequests() == 20 && job)
                job->abort();
        };
        job->start();
        QVERIFY(waitFor([&]() { return job.isNull(); }, 30000));
        QVERIFY(aborted);
        settle();
        QVERIFY(mtimeMs(m_dst + QStringLiteral("/abort")) != 1300000000000LL);
        QVERIFY(readFile(m_dst + QStringLiteral("/abort")) != data);
        // the next copy resumes and finishes it
        Outcome out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/abort"))}, m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/abort")), data);
        QCOMPARE(mtimeMs(m_dst + QStringLiteral("/abort")), 1300000000000LL);
    }

    // An abort, or the job deleted outright, at every point of a small copy: the job is
    // gone soon, every handle is closed, and no destination file carries its source's
    // time unless its bytes are the source's.
    void abortOrDeleteAtEveryRequest_data()
    {
        QTest::addColumn<bool>("deleteJob");
        QTest::newRow("abort") << false;
        QTest::newRow("delete") << true;
    }

    void abortOrDeleteAtEveryRequest()
    {
        QFETCH(bool, deleteJob);
        const QString tree = m_src + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));
        const QList<QPair<QString, qint64>> files = {{QStringLiteral("/a"), 150000},
                                                     {QStringLiteral("/sub/b"), 70000},
                                                     {QStringLiteral("/sub/c"), 0}};
        int seed = 20;
        for (const auto &f : files) {
            QVERIFY(writeFile(tree + f.first, pattern(f.second, ++seed)));
            QVERIFY(setMtimeMs(tree + f.first, 1300000000000LL + seed));
        }
        for (int k = 1; k < 60; ++k) {
            const QString dst = m_dst + QStringLiteral("/%1").arg(k);
            QVERIFY(QDir().mkpath(dst));
            bool hit = false;
            stopAtRequest(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, dst), k, deleteJob, &hit);
            if (QTest::currentTestFailed())
                return;
            seed = 20;
            for (const auto &f : files) {
                ++seed;
                const QString copy = dst + QStringLiteral("/t") + f.first;
                if (QFileInfo::exists(copy) && mtimeMs(copy) == 1300000000000LL + seed)
                    QVERIFY2(readFile(copy) == pattern(f.second, seed), qPrintable(copy));
            }
            if (!hit)
                break; // the copy ran to its end before the k-th request
        }
    }

    // The link is cut for a moment at every point of a small copy: the job retries and
    // ends with every file identical, its times set, and nothing left open.
    void linkCutAtEveryRequest()
    {
        const QString tree = m_src + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));
        const QList<QPair<QString, qint64>> files = {{QStringLiteral("/a"), 150000},
                                                     {QStringLiteral("/sub/b"), 70000},
                                                     {QStringLiteral("/sub/c"), 0}};
        int seed = 30;
        for (const auto &f : files) {
            QVERIFY(writeFile(tree + f.first, pattern(f.second, ++seed)));
            QVERIFY(setMtimeMs(tree + f.first, 1300000000000LL + seed));
        }
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(100);
            p->client()->setTransferTimeout(100);
            // An open whose reply was lost leaves a handle only the server's idle close ends.
            p->server()->setIdleClose(500, 100);
        }
        for (int k = 1; k < 80; k += 2) {
            const QString dst = m_dst + QStringLiteral("/%1").arg(k);
            QVERIFY(QDir().mkpath(dst));
            int seen = 0;
            bool hit = false;
            auto hook = [&](const VfsFenuCommand &) {
                if (++seen == k) {
                    hit = true;
                    m_a->setDropping(true);
                    m_b->setDropping(true);
                    QTimer::singleShot(250, this, [&]() {
                        m_a->setDropping(false);
                        m_b->setDropping(false);
                    });
                }
            };
            m_a->onRequest = hook;
            m_b->onRequest = hook;
            Outcome out = run(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, dst), {}, 20000);
            m_a->onRequest = nullptr;
            m_b->onRequest = nullptr;
            QVERIFY2(out.finished, qPrintable(QString::number(k)));
            seed = 30;
            for (const auto &f : files) {
                ++seed;
                const QString copy = dst + QStringLiteral("/t") + f.first;
                QVERIFY2(readFile(copy) == pattern(f.second, seed), qPrintable(copy));
                QCOMPARE(mtimeMs(copy), 1300000000000LL + seed);
            }
            QVERIFY2(waitFor([&]() { return m_a->server()->openFileCount() == 0 && m_b->server()->openFileCount() == 0; },
                             5000),
                     qPrintable(QString::number(k)));
            if (!hit)
                break;
        }
    }

    // A retry after a failure reopens the files the job created itself without asking.
    void retryReopensOwnFilesWithoutAsking()
    {
        const QByteArray data = pattern(3000000, 8);
        QVERIFY(writeFile(m_src + QStringLiteral("/own"), data));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(300);
            p->client()->setTransferTimeout(300);
        }
        bool cut = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (!cut && cmd.code == FSO_WRITE_FILE && m_b->writeRequests() == 5) {
                cut = true;
                m_b->setDropping(true);
                QTimer::singleShot(500, this, [&]() { m_b->setDropping(false); });
            }
        };
        bool asked = false;
        Outcome out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/own"))}, m_dst),
                          [&](VfsCopyJob *job) {
                              asked = true;
                              job->abort();
                          });
        QVERIFY(cut);
        QVERIFY(!asked);
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/own")), data);
    }

    // A file that arrived is saved anew at the destination while the link is cut: the retry
    // asks before it replaces it, whatever the job did with that name before (wrote it, wrote it
    // through the lane, replaced it after a Replace, renamed its copy there with the answer lost
    // or before it gave it its times), also when the save kept the size and put the time back
    // once a listing had shown the file, and before any did (the copy and the save are then
    // told apart by their content). Answered with Skip, the user's version stays, and a move
    // keeps that source.
    void retryAsksBeforeReplacingASave_data()
    {
        QTest::addColumn<QString>("saved");   // the file saved anew during a cut
        QTest::addColumn<int>("size");       // its size
        QTest::addColumn<bool>("keepsTime"); // same size, time put back
        QTest::addColumn<int>("cuts");       // the save comes with this cut (a listing after each)
        QTest::addColumn<bool>("existed");   // there before the job: replaced after the question
        QTest::addColumn<int>("cutAt");      // 0 the next file's open, 1 the file's final rename
                                             // (its answer lost), 2 the answer to that rename
        QTest::addColumn<bool>("move");
        QTest::addColumn<bool>("asked");
        QTest::newRow("saved") << "a.bin" << 150000 << false << 1 << false << 0 << false << true;
        QTest::newRow("saved, move") << "a.bin" << 150000 << false << 1 << false << 0 << true << true;
        QTest::newRow("small file saved") << "a.txt" << 3000 << false << 1 << false << 0 << false << true;
        QTest::newRow("time put back after a listing") << "a.bin" << 150000 << true << 2 << false << 0 << false << true;
        QTest::newRow("saved after a Replace") << "a.bin" << 150000 << false << 1 << true << 0 << false << true;
        QTest::newRow("saved as its rename was answered") << "a.bin" << 150000 << true << 1 << false << 1 << false << true;
        QTest::newRow("saved before its times") << "a.bin" << 150000 << true << 1 << false << 2 << false << true;
        QTest::newRow("time put back before any listing") << "a.bin" << 150000 << true << 1 << false << 0 << false << true;
    }

    void retryAsksBeforeReplacingASave()
    {
        QFETCH(QString, saved);
        QFETCH(int, size);
        QFETCH(bool, keepsTime);
        QFETCH(int, cuts);
        QFETCH(bool, existed);
        QFETCH(int, cutAt);
        QFETCH(bool, move);
        QFETCH(bool, asked);
        const QString later = QStringLiteral("b.bin");
        const QByteArray data = pattern(size, 1);
        QVERIFY(writeFile(m_src + QLatin1Char('/') + saved, data) && setMtimeMs(m_src + QLatin1Char('/') + saved, 1300000000000LL));
        QVERIFY(writeFile(m_src + QLatin1Char('/') + later, pattern(300000, 2)));
        const QString savedAt = m_dst + QLatin1Char('/') + saved;
        if (existed)
            QVERIFY(writeFile(savedAt, "there before"));
        // Short, for the cuts to be noticed soon, but stretched where the code runs slower
        // (sanitizers): a request that times out without a cut is a retry more, asking again.
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(testutil::timeoutMs(100));
            p->client()->setTransferTimeout(testutil::timeoutMs(100));
            p->server()->setIdleClose(500, 100);
        }
        // The user's version: another content (of the same size when the time is put back).
        const QByteArray users = keepsTime ? pattern(size, 99) : pattern(size + 7, 99);
        int cut = 0;
        bool savedOk = false;
        auto cutNow = [&] {
            ++cut;
            m_a->setDropping(true);
            m_b->setDropping(true);
            QTimer::singleShot(300, this, [&, last = cut == cuts] {
                // Once the request that met the cut is done (a rename runs on the server's pool).
                if (last)
                    savedOk = waitFor([&] { return QFileInfo::exists(savedAt); }, 5000)
                              && (keepsTime ? rewriteKeepingTime(savedAt, users) : writeFile(savedAt, users));
                m_a->setDropping(false);
                m_b->setDropping(false);
            });
        };
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = QString::fromStdString(cmd.path);
            if (cut >= cuts)
                return;
            if (cutAt == 1 && cmd.code == FSO_MOVE && QString::fromStdString(cmd.destination) == savedAt)
                cutNow(); // the rename is done, its answer is lost
            else if (cutAt == 0 && cmd.code == FSO_OPEN_FILE && path.endsWith(VfsCopyJob::partialName(later)))
                cutNow(); // while the next file is copied
        };
        // The answer to the rename arrives, the request for the times that follows it is lost.
        m_b->onReply = [&](VfsFenuCommand &reply) {
            if (cutAt == 2 && cut < cuts && reply.code == FSO_MOVE_REPLY && QFileInfo::exists(savedAt))
                cutNow();
        };
        QStringList questions;
        const Outcome out = run(make(m_a.get(), m_b.get(),
                                     {item(m_src + QLatin1Char('/') + later), item(m_src + QLatin1Char('/') + saved)},
                                     m_dst, false, move),
                                [&](VfsCopyJob *job) {
                                    questions << job->currentFile();
                                    if (existed && questions.size() == 1)
                                        job->replaceCurrentItem();
                                    else
                                        job->skipCurrentItem();
                                });
        m_b->onRequest = nullptr;
        m_b->onReply = nullptr;
        QCOMPARE(cut, cuts);
        QVERIFY(savedOk);
        QVERIFY(out.finished);
        QStringList expected;
        if (existed)
            expected << saved;
        if (asked)
            expected << saved;
        QCOMPARE(questions, expected);
        QCOMPARE(readFile(savedAt), users);
        QCOMPARE(readFile(m_dst + QLatin1Char('/') + later), pattern(300000, 2));
        QCOMPARE(out.result.files.contains(m_src + QLatin1Char('/') + saved), !asked);
        if (move)
            QCOMPARE(readFile(m_src + QLatin1Char('/') + saved), data);
        settle();
    }

    // While nothing comes back for the silence it waits for, the job says which computer it
    // waits for: the one whose requests are out (the source's reads, the destination's
    // writes), still running, not paused; the next answer ends the wait. A slow link far
    // away, one reply a third of that silence after the other, never reads as waiting.
    void waitingNamesTheSilentComputer()
    {
        m_a->setName(QStringLiteral("Laptop"));
        m_b->setName(QStringLiteral("Studio"));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(60000);
            p->client()->setTransferTimeout(60000);
        }
        VfsJobTimings timings;
        timings.retryDelayMs = 50;
        timings.finishedDeleteMs = timings.abortedDeleteMs = 0;
        timings.stallMs = 600;
        auto watch = [this](VfsCopyJob *job, QStringList *texts) {
            connect(job, &VfsCopyJob::waitingTextChanged, this, [job, texts] { texts->append(job->waitingText()); });
        };

        const QByteArray slow = pattern(12 * 64400 + 7, 31);
        QVERIFY(writeFile(m_src + QStringLiteral("/slow"), slow));
        m_a->setReplyPacing(timings.stallMs / 3);
        m_b->setReplyPacing(timings.stallMs / 3);
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/slow"))}, m_dst);
        job->setTimings(timings);
        QStringList texts;
        watch(job, &texts);
        QVERIFY(run(job).finished);
        QVERIFY2(texts.isEmpty(), qPrintable(texts.join(QLatin1Char('|'))));
        QCOMPARE(readFile(m_dst + QStringLiteral("/slow")), slow);
        m_a->setReplyPacing(0);
        m_b->setReplyPacing(0);

        const qint64 size = 6000000;
        const QByteArray data = pattern(size, 32);
        QVERIFY(writeFile(m_src + QStringLiteral("/big"), data));
        for (TestPeer *silent : {m_b.get(), m_a.get()}) {
            QFile::remove(m_dst + QStringLiteral("/big"));
            bool held = false;
            silent->onRequest = [&](const VfsFenuCommand &cmd) {
                if (!held && cmd.code == (silent == m_b.get() ? FSO_WRITE_FILE : FSO_READ_FILE)
                    && cmd.offset >= quint64(size / 3)) {
                    held = true;
                    silent->setHoldingRequests(true);
                }
            };
            job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/big"))}, m_dst);
            job->setTimings(timings);
            texts.clear();
            watch(job, &texts);
            bool finished = false;
            connect(job.data(), &VfsJob::jobFinished, this, [&finished] { finished = true; });
            job->start();
            const QString waiting = QStringLiteral("waiting for ") + silent->displayName();
            QVERIFY(waitFor([&] { return job && job->waitingText() == waiting; }, 10000));
            QCOMPARE(job->state(), VfsJob::VfsJobStateRunning);
            QCOMPARE(job->remainingTime(), QString());
            silent->onRequest = nullptr;
            silent->setHoldingRequests(false);
            QVERIFY(waitFor([&] { return finished; }));
            QCOMPARE(texts, QStringList({waiting, QString()}));
            QCOMPARE(readFile(m_dst + QStringLiteral("/big")), data);
            waitFor([&] { return job.isNull(); }, 5000);
        }
        settle();
    }

    // A computer that is silent before the copy has even begun: the job, still preparing,
    // names it while it waits for its listings, and keeps naming it through a listing that
    // timed out (no answer from that computer) until the job pauses.
    void waitingNamedBeforeTheStart()
    {
        PeerAclDto inbox;
        inbox.uuid = QStringLiteral("{44444444-4444-4444-4444-444444444444}");
        inbox.name = QStringLiteral("Inbox");
        inbox.selector = m_dst;
        inbox.flags = 0x1 | 0x2 | 0x4;
        m_b.reset(new TestPeer(kUuidB, {inbox}));
        m_b->setName(QStringLiteral("Studio"));
        m_b->client()->setRequestTimeout(1500);
        QVERIFY(writeFile(m_src + QStringLiteral("/nine"), "123456789"));
        VfsJobTimings timings;
        timings.retryDelayMs = 60000;
        timings.finishedDeleteMs = timings.abortedDeleteMs = 0;
        timings.stallMs = 300;
        m_b->setHoldingRequests(true);
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/nine"))},
                                        QStringLiteral("%shares/") + inbox.uuid);
        job->setTimings(timings);
        QStringList texts;
        QList<int> states;
        connect(job.data(), &VfsCopyJob::waitingTextChanged, this, [&] {
            texts.append(job->waitingText());
            states.append(job->state());
        });
        job->start();
        QVERIFY(waitFor([&] { return job && job->state() == VfsJob::VfsJobStatePaused && job->waitingText().isEmpty(); },
                        20000));
        m_b->setHoldingRequests(false);
        job->abort();
        QCOMPARE(texts, QStringList({QStringLiteral("waiting for Studio"), QString()}));
        QCOMPARE(states.first(), int(VfsJob::VfsJobStateInit));
        QVERIFY(waitFor([&] { return job.isNull(); }, 5000));
        settle();
    }

    // A copy of a few seconds has less than ten seconds left from its first figure on: it
    // says "nearly done" only once most of it is behind it, never at its start.
    void nearlyDoneOnlyNearTheEnd()
    {
        const QByteArray data = pattern(60 * 64400, 33);
        QVERIFY(writeFile(m_src + QStringLiteral("/short"), data));
        m_b->setReplyPacing(40);
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/short"))}, m_dst);
        QList<QPair<double, QString>> shown;
        connect(job.data(), &VfsCopyJob::remainingTimeChanged, this, [&] {
            if (!job->remainingTime().isEmpty())
                shown.append({job->percentDone(), job->remainingTime()});
        });
        QVERIFY(run(job).finished);
        m_b->setReplyPacing(0);
        QCOMPARE(readFile(m_dst + QStringLiteral("/short")), data);
        QVERIFY(!shown.isEmpty());
        QStringList all;
        for (const auto &figure : qAsConst(shown))
            all << QStringLiteral("%1 %: %2").arg(figure.first, 0, 'f', 1).arg(figure.second);
        for (const auto &figure : qAsConst(shown))
            QVERIFY2(figure.second != QLatin1String("nearly done") || figure.first >= 80, qPrintable(all.join(", ")));
        settle();
    }

    // Sources that go away after they were copied (here: when the destination is flushed,
    // right before the copied sources are listed again), one file and a whole folder, deleted
    // or renamed: the copies arrived whole and the job ends without a retry. The file is named
    // where it arrived; a copy's result keeps it, a cut has nothing left to delete of it. The
    // folder's files were not found where they were, which is what the job says of them: they
    // never count as copied and checked (a copy names them in its last words, a move lists
    // them as not moved), and a renamed folder keeps them.
    void sourcesGoneBeforeTheEndCheck_data()
    {
        QTest::addColumn<bool>("cut");
        QTest::addColumn<bool>("renamed");
        QTest::newRow("copy, folder deleted") << false << false;
        QTest::newRow("cut, folder deleted") << true << false;
        QTest::newRow("copy, folder renamed") << false << true;
        QTest::newRow("cut, folder renamed") << true << true;
    }

    void sourcesGoneBeforeTheEndCheck()
    {
        QFETCH(bool, cut);
        QFETCH(bool, renamed);
        const QString tree = m_src + QStringLiteral("/tree");
        const QString elsewhere = m_src + QStringLiteral("/tree 2");
        QVERIFY(QDir().mkpath(tree));
        const QStringList names = {QStringLiteral("gone.bin"), QStringLiteral("stays.bin")};
        for (int i = 0; i < names.size(); ++i)
            QVERIFY(writeFile(m_src + QLatin1Char('/') + names.at(i), pattern(200000 + i, 40 + i)));
        const QStringList inTree = {QStringLiteral("/a.bin"), QStringLiteral("/b.bin"), QStringLiteral("/small.txt")};
        QVERIFY(writeFile(tree + inTree.at(0), pattern(150000, 42)));
        QVERIFY(writeFile(tree + inTree.at(1), pattern(70000, 43)));
        QVERIFY(writeFile(tree + inTree.at(2), pattern(100, 44)));   // through the lane
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_SYNC) {
                QFile::remove(m_src + QStringLiteral("/gone.bin"));
                if (renamed)
                    QDir().rename(tree, elsewhere);
                else
                    QDir(tree).removeRecursively();
            }
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(),
                                        {item(m_src + QStringLiteral("/gone.bin")), item(m_src + QStringLiteral("/stays.bin")),
                                         item(tree, VfsCopyItem::DirectoryType)},
                                        m_dst, false, cut);
        int pauses = 0;
        connect(job.data(), &VfsJob::stateChanged, this, [&] {
            pauses += job && job->state() == VfsJob::VfsJobStatePaused;
        });
        QStringList gone;
        QString prompt;
        QStringList notMoved;
        connect(job.data(), &VfsJob::jobFinished, this, [&] {
            gone = job->sourcesGone();
            prompt = job->userActionPrompt();
            for (const VfsLeftOutItem &i : job->leftOutItems()) {
                QVERIFY2(i.reason.contains(QStringLiteral("not found where it was")), qPrintable(i.reason));
                notMoved << i.path;
            }
        });
        Outcome out = run(job);
        m_b->onRequest = nullptr;
        QVERIFY(out.finished);
        QCOMPARE(pauses, 0);
        QCOMPARE(gone, QStringList({m_dst + QStringLiteral("/gone.bin")}));
        QStringList treeFiles;
        for (const QString &name : inTree)
            treeFiles << tree + name;
        QStringList notFound = out.result.notFound;
        notFound.sort();
        QCOMPARE(notFound, treeFiles);
        notMoved.sort();
        QCOMPARE(notMoved, cut ? treeFiles : QStringList());
        if (!cut) {
            QVERIFY2(prompt.contains(QStringLiteral("not found where they were")), qPrintable(prompt));
            for (const QString &file : treeFiles)
                QVERIFY2(prompt.contains(file), qPrintable(prompt));
        }
        QCOMPARE(readFile(m_dst + QStringLiteral("/gone.bin")), pattern(200000, 40));
        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/a.bin")), pattern(150000, 42));
        QCOMPARE(readFile(m_dst + QStringLiteral("/stays.bin")), pattern(200001, 41));
        QCOMPARE(QFileInfo::exists(m_src + QStringLiteral("/stays.bin")), !cut);
        if (renamed) {
            for (const QString &name : inTree)
                QVERIFY2(QFileInfo::exists(elsewhere + name), qPrintable(name));
        }
        QStringList files = out.result.files;
        files.sort();
        QCOMPARE(files, cut ? QStringList({m_src + QStringLiteral("/stays.bin")})
                            : QStringList({m_src + QStringLiteral("/gone.bin"), m_src + QStringLiteral("/stays.bin")}));
        settle();
    }

    // A destination that takes fewer bytes than it was given (its disk is full) never counts
    // as copied: the job says why while it waits, keeps trying, and clears the prompt once
    // the copy goes on.
    void shortWriteExplainedWhileRetrying()
    {
        const QByteArray data = pattern(300000, 12);
        QVERIFY(writeFile(m_src + QStringLiteral("/full"), data));
        int shortened = 0;
        m_b->onReply = [&](VfsFenuCommand &reply) {
            if (reply.code == FSO_WRITE_FILE_REPLY && reply.status == FSO_STATUS_SUCCESS && reply.dataSize > 0
                && shortened < 2) {
                ++shortened;
                reply.dataSize -= 1;
            }
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/full"))}, m_dst);
        QStringList pausedPrompts;
        QString finalPrompt = QStringLiteral("unset");
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job && job->state() == VfsJob::VfsJobStatePaused && !job->userActionPrompt().isEmpty())
                pausedPrompts << job->userActionPrompt();
        });
        connect(job.data(), &VfsJob::jobFinished, this, [&]() { finalPrompt = job->userActionPrompt(); });
        Outcome out = run(job);
        m_b->onReply = nullptr;
        QVERIFY(out.finished);
        QCOMPARE(shortened, 2);
        QVERIFY(pausedPrompts.contains(
            QStringLiteral("Not all data could be written to the destination. Is its disk full?")));
        QCOMPARE(finalPrompt, QString());
        QCOMPARE(readFile(m_dst + QStringLiteral("/full")), data);
        settle();
    }

    // A destination whose file system reports a write error when a written file is closed (NFS
    // and FUSE report a failed write-back there), for a large file and a small one: neither
    // ever counts as copied. The job tries once more; then, without a window, it leaves them
    // out, names them and removes their hidden files; with one it asks (answered here with
    // Skip). The other files arrive.
    void closeThatFailsIsNeverCopied_data()
    {
        QTest::addColumn<bool>("asks");
        QTest::newRow("left out") << false;
        QTest::newRow("asked") << true;
    }

    void closeThatFailsIsNeverCopied()
    {
        QFETCH(bool, asks);
        if (!testutil::CloseFailsMount::possible())
            QSKIP("no /dev/fuse here: a close that fails is not checked");
        testutil::CloseFailsMount fs;
        QString error;
        QVERIFY2(fs.mount(&error), qPrintable(error));
        const QMap<QString, QByteArray> files = {{QStringLiteral("big-close-fails.bin"), pattern(300000, 1)},
                                                 {QStringLiteral("small-close-fails.txt"), pattern(100, 2)},
                                                 {QStringLiteral("big.bin"), pattern(200000, 3)},
                                                 {QStringLiteral("small.txt"), pattern(50, 4)}};
        std::vector<VfsCopyItem> items;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QVERIFY(writeFile(m_src + QLatin1Char('/') + it.key(), it.value()));
            items.push_back(item(m_src + QLatin1Char('/') + it.key()));
        }
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), items, fs.mountPoint());
        job->setAsksOnFailure(asks);
        QStringList asked;
        QVector<VfsLeftOutItem> leftOut;
        connect(job.data(), &VfsJob::jobFinished, this, [&] { leftOut = job->leftOutItems(); });
        const Outcome out = run(job, [&](VfsCopyJob *j) {
            asked << j->userActionPrompt();
            j->skipCurrentItem();
        });
        QVERIFY(out.finished);
        QStringList copied = out.result.files;
        copied.sort();
        QCOMPARE(copied, QStringList({m_src + QStringLiteral("/big.bin"), m_src + QStringLiteral("/small.txt")}));
        QStringList named;
        for (const VfsLeftOutItem &i : qAsConst(leftOut))
            named << i.path;
        named.sort();
        QCOMPARE(named, QStringList({m_src + QStringLiteral("/big-close-fails.bin"),
                                     m_src + QStringLiteral("/small-close-fails.txt")}));
        QCOMPARE(asked.size(), asks ? 2 : 0);
        for (const QString &prompt : qAsConst(asked))
            QVERIFY2(prompt.contains(QStringLiteral("cannot be written")), qPrintable(prompt));
        // Nothing under a name that says it is whole, and no hidden file left behind.
        QCOMPARE(QDir(fs.backing()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({QStringLiteral("big.bin"), QStringLiteral("small.txt")}));
        QCOMPARE(readFile(fs.backing() + QStringLiteral("/big.bin")), files.value(QStringLiteral("big.bin")));
        settle();
    }

    // A destination volume that is full: the server says so, the job shows why it waits,
    // and goes on by itself once there is room again.
    void fullDiskWaitsAndResumes()
    {
        QTemporaryDir small;
        QVERIFY(small.isValid());
        if (::mount("nusk-full", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=512k") != 0)
            QSKIP("cannot mount a small tmpfs here: the full disk is not checked");
        const QString filler = small.path() + QStringLiteral("/filler");
        QVERIFY(writeFile(filler, QByteArray(400 * 1024, 'f')));
        const QByteArray data = pattern(300000, 13);
        QVERIFY(writeFile(m_src + QStringLiteral("/big"), data));
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/big"))}, small.path());
        QString prompt;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job && job->state() == VfsJob::VfsJobStatePaused && !job->userActionPrompt().isEmpty()
                && prompt.isEmpty()) {
                prompt = job->userActionPrompt();
                QFile::remove(filler);
            }
        });
        Outcome out = run(job, {}, 20000);
        QVERIFY(out.finished);
        QVERIFY2(prompt.contains(QStringLiteral("disk full")), qPrintable(prompt));
        QCOMPARE(readFile(small.path() + QStringLiteral("/big")), data);
        settle();
        ::umount2(QFile::encodeName(small.path()).constData(), MNT_DETACH);
    }

    // A file that can never fit (larger than the free space) pauses a few times, then is
    // asked about, or left out and named without a window; what was written of it goes.
    void fileThatNeverFitsIsAskedAboutOrLeftOut()
    {
        QTemporaryDir small;
        QVERIFY(small.isValid());
        if (::mount("nusk-full", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP("cannot mount a small tmpfs here: the full disk is not checked");
        QVERIFY(writeFile(m_src + QStringLiteral("/huge"), pattern(600000, 14)));
        QVERIFY(writeFile(m_src + QStringLiteral("/fits"), pattern(1000, 15)));
        for (bool asks : {false, true}) {
            QPointer<VfsCopyJob> job = make(
                m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/fits")), item(m_src + QStringLiteral("/huge"))},
                small.path(), true);
            job->setAsksOnFailure(asks);
            int questions = 0;
            QString prompt;
            connect(job.data(), &VfsJob::jobFinished, this, [&]() { prompt = job->userActionPrompt(); });
            Outcome out = run(job, [&](VfsCopyJob *j) {
                ++questions;
                QVERIFY(j->userActionPrompt().contains(QStringLiteral("huge")));
                j->skipCurrentItem();
            }, 20000);
            QVERIFY(out.finished);
            QCOMPARE(questions, asks ? 1 : 0);
            QVERIFY2(prompt.contains(QStringLiteral("huge")), qPrintable(prompt));
            QCOMPARE(out.result.files, QStringList{m_src + QStringLiteral("/fits")});
            QCOMPARE(QDir(small.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("fits")});
            settle();
        }
        ::umount2(QFile::encodeName(small.path()).constData(), MNT_DETACH);
    }

    // The hidden file of a copy that will not go on is never a silent leftover: a skip on a
    // name that appeared meanwhile deletes it; a cancel deletes the one it made, and keeps
    // one an earlier copy made (for a later copy to resume) and names it, as it does with one
    // on a destination that went away.
    void unfinishedFileRemovedOnSkipAndOnCancel()
    {
        const QByteArray data = pattern(2000000, 16);
        QVERIFY(writeFile(m_src + QStringLiteral("/late"), data));
        bool appeared = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (!appeared && cmd.code == FSO_WRITE_FILE) {
                appeared = true;
                QVERIFY(writeFile(m_dst + QStringLiteral("/late"), "theirs"));
            }
        };
        int questions = 0;
        Outcome out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/late"))}, m_dst), [&](VfsCopyJob *j) {
            ++questions;
            j->skipCurrentItem();
        });
        m_b->onRequest = nullptr;
        QVERIFY(out.finished);
        QCOMPARE(questions, 1);
        QCOMPARE(readFile(m_dst + QStringLiteral("/late")), QByteArray("theirs"));
        QVERIFY(!QFileInfo::exists(m_dst + QLatin1Char('/') + VfsCopyJob::partialName(QStringLiteral("late"))));
        settle();

        QVERIFY(writeFile(m_src + QStringLiteral("/cut"), data));
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/cut"))}, m_dst);
        int writes = 0;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_WRITE_FILE && ++writes == 5 && job)
                job->abort();
        };
        out = run(job);
        QVERIFY(out.aborted);
        QVERIFY2(out.prompt.isEmpty(), qPrintable(out.prompt));
        QVERIFY(!QFileInfo::exists(m_dst + QLatin1Char('/') + VfsCopyJob::partialName(QStringLiteral("cut"))));
        QVERIFY(!QFileInfo::exists(m_dst + QStringLiteral("/cut")));
        settle();

        const QString earlier = m_dst + QLatin1Char('/') + VfsCopyJob::partialName(QStringLiteral("cut"));
        QVERIFY(writeFile(earlier, data.left(200000)));
        writes = 0;
        job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/cut"))}, m_dst);
        out = run(job);
        m_b->onRequest = nullptr;
        QVERIFY(out.aborted);
        QVERIFY2(out.prompt.contains(earlier), qPrintable(out.prompt));
        QVERIFY(QFileInfo(earlier).size() >= 200000);
        settle();

        const QString away = m_dst + QLatin1Char('/') + VfsCopyJob::partialName(QStringLiteral("away"));
        QVERIFY(writeFile(m_src + QStringLiteral("/away"), data));
        writes = 0;
        job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/away"))}, m_dst);
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_WRITE_FILE && ++writes == 5 && job) {
                m_b->setLinkState(IPeer::LinkDown);
                job->abort();
            }
        };
        out = run(job);
        m_b->onRequest = nullptr;
        // The link that dropped took the server's open files with it.
        m_b->server()->linkDropped();
        m_b->setLinkState(IPeer::LinkUp);
        QVERIFY(out.aborted);
        QVERIFY2(out.prompt.contains(away), qPrintable(out.prompt));
        QVERIFY(QFileInfo::exists(away));
        settle();
    }

    // Failures that would only repeat end the job as aborted with a prompt that says why and
    // names the item, without the pause of a retry.
    void deterministicFailuresEndAborted()
    {
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/missing"))}, m_dst);
        job->setRetryDelay(600000);
        Outcome out = run(job, {}, 10000);
        QVERIFY(out.aborted);
        QCOMPARE(out.errors, VfsCopyJob::kFatalErrorCount);
        QCOMPARE(out.prompt, QStringLiteral("The source no longer exists.\n") + m_src + QStringLiteral("/missing"));

        // a folder onto a file
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/folder")));
        QVERIFY(writeFile(m_src + QStringLiteral("/folder/x"), "x"));
        QVERIFY(writeFile(m_dst + QStringLiteral("/folder"), "a file"));
        job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/folder"), VfsCopyItem::DirectoryType)}, m_dst);
        job->setRetryDelay(600000);
        out = run(job, {}, 10000);
        QVERIFY(out.aborted);
        QVERIFY2(out.prompt.endsWith(QLatin1Char('\n') + m_dst + QStringLiteral("/folder")), qPrintable(out.prompt));
        QCOMPARE(readFile(m_dst + QStringLiteral("/folder")), QByteArray("a file"));

        // a file onto a folder
        QVERIFY(writeFile(m_src + QStringLiteral("/plain"), "p"));
        QVERIFY(QDir().mkpath(m_dst + QStringLiteral("/plain")));
        job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/plain"))}, m_dst, true);
        job->setRetryDelay(600000);
        out = run(job, {}, 10000);
        QVERIFY(out.aborted);
        QVERIFY2(out.prompt.endsWith(QLatin1Char('\n') + m_dst + QStringLiteral("/plain")), qPrintable(out.prompt));
        settle();
    }

    // The same file under two names is refused, even with Replace all: a symbolic link to
    // the source folder, and a hard link.
    void sameFileUnderTwoNamesRefused()
    {
        const QByteArray data = pattern(100000, 4);
        QVERIFY(writeFile(m_src + QStringLiteral("/same"), data));
        const QString alias = m_dst + QStringLiteral("/alias");
        QVERIFY(::symlink(QFile::encodeName(m_src).constData(), QFile::encodeName(alias).constData()) == 0);
        Outcome out = run(make(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/same"))}, alias, true), {}, 10000);
        QVERIFY(out.aborted);
        QCOMPARE(readFile(m_src + QStringLiteral("/same")), data);

        // A hard link of the source is the same data under another name: nothing is
        // written, nothing is lost, and the data outlives the delete of either name.
        QVERIFY(::link(QFile::encodeName(m_src + QStringLiteral("/same")).constData(),
                       QFile::encodeName(m_dst + QStringLiteral("/same")).constData())
                == 0);
        m_a->resetCounters();
        out = run(make(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/same"))}, m_dst, true), {}, 10000);
        QVERIFY(out.finished || out.aborted);
        QCOMPARE(m_a->writtenBytes(), quint64(0));
        QCOMPARE(readFile(m_src + QStringLiteral("/same")), data);

        // A folder into itself, named through a link.
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/loop")));
        out = run(make(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/loop"), VfsCopyItem::DirectoryType)},
                       m_src + QStringLiteral("/loop")),
                  {}, 10000);
        QVERIFY(out.aborted);
        settle();
    }

    // A folder copied below itself through a symbolic link in the destination path would
    // copy its own copies again and again: refused before anything is created.
    void folderBelowItselfThroughLinkRefused()
    {
        const QString folder = m_src + QStringLiteral("/F");
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        QVERIFY(writeFile(folder + QStringLiteral("/x"), "x"));
        const QString link = m_dst + QStringLiteral("/link");
        QVERIFY(::symlink(QFile::encodeName(folder).constData(), QFile::encodeName(link).constData()) == 0);
        Outcome out = run(make(m_a.get(), m_a.get(), {item(folder, VfsCopyItem::DirectoryType)},
                               link + QStringLiteral("/sub")),
                          {}, 20000);
        QVERIFY(out.aborted);
        QVERIFY(!out.prompt.isEmpty());
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/sub/F")));
        settle();
    }

    // Copies into their own folder get free names, decided once per job.
    void duplicateNamesInOwnFolder()
    {
        QVERIFY(writeFile(m_src + QStringLiteral("/report.pdf"), "r"));
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/a.b")));
        QVERIFY(writeFile(m_src + QStringLiteral("/a.b/in"), "in"));
        std::vector<VfsCopyItem> items = {item(m_src + QStringLiteral("/report.pdf")),
                                          item(m_src + QStringLiteral("/a.b"), VfsCopyItem::DirectoryType)};
        Outcome out = run(make(m_a.get(), m_a.get(), items, m_src));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_src + QStringLiteral("/report (Copy).pdf")), QByteArray("r"));
        QCOMPARE(readFile(m_src + QStringLiteral("/a.b (Copy)/in")), QByteArray("in"));
        out = run(make(m_a.get(), m_a.get(), {item(m_src + QStringLiteral("/report (Copy).pdf"))}, m_src));
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_src + QStringLiteral("/report (2. Copy).pdf")), QByteArray("r"));
        QCOMPARE(VfsCopyJob::duplicateName(QStringLiteral(".profile"), false, 1), QStringLiteral(".profile (Copy)"));
        QCOMPARE(VfsCopyJob::duplicateName(QStringLiteral("archive."), false, 1), QStringLiteral("archive. (Copy)"));
    }

    // What a copy stopped in the middle of a file (a program ended, a computer switched off)
    // wrote stays under the hidden name only, never the real one; the next copy resumes from
    // it, and the real name appears complete, with nothing hidden left. The file counts as
    // copied (what a cut deletes) only once it has its real name.
    void unfinishedFileKeepsHiddenName()
    {
        const qint64 size = 3000000;
        const QByteArray data = pattern(size, 13);
        const QString src = m_src + QStringLiteral("/part");
        const QString real = m_dst + QStringLiteral("/part");
        const QString hidden = m_dst + QStringLiteral("/") + VfsCopyJob::partialName(QStringLiteral("part"));
        QVERIFY(writeFile(src, data));
        QVERIFY(writeFile(hidden, data.left(size / 3)));

        m_b->resetCounters();
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(src)}, m_dst, false, true);
        bool countedBeforeRename = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_MOVE && job)
                countedBeforeRename = countedBeforeRename || !job->result().files.isEmpty();
        };
        const Outcome out = run(job);
        QVERIFY(out.finished);
        QVERIFY(!countedBeforeRename);
        QCOMPARE(out.result.files, QStringList{src});
        QCOMPARE(readFile(real), data);
        QVERIFY(!QFileInfo::exists(hidden));
        QVERIFY(m_b->writtenBytes() < quint64(size));
        settle();
    }

    // Another copy's unfinished file in a folder is not the folder's content: a copy of the
    // folder leaves it where it is, and a cut does not count it as done: the folder stays
    // with that file alone in it.
    void unfinishedFileNotCarriedAlong()
    {
        const QString tree = m_src + QStringLiteral("/tree");
        const QString partial = VfsCopyJob::partialName(QStringLiteral("b.bin"));
        QVERIFY(QDir().mkpath(tree));
        QVERIFY(writeFile(tree + QStringLiteral("/a.txt"), "a"));
        QVERIFY(writeFile(tree + QLatin1Char('/') + partial, pattern(1000, 3)));
        const Outcome out = run(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst, false, true));
        QVERIFY(out.finished);
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(m_dst + QStringLiteral("/tree")).entryList(all), QStringList{QStringLiteral("a.txt")});
        QCOMPARE(out.result.files, QStringList{tree + QStringLiteral("/a.txt")});
        QCOMPARE(QDir(tree).entryList(all, QDir::Name), QStringList{partial});
        settle();
    }

    // The question is about the real name and nothing is touched before the answer; a name
    // that appears while its file is copied is not replaced without asking; after Replace
    // the real name holds either nothing or the finished copy, and matching blocks of the
    // old file are kept.
    void replaceOnlyAfterAnswerAndAtTheEnd()
    {
        const QByteArray data = pattern(64400 * 5, 14);
        QByteArray old = data;
        old[64400 * 2 + 5] = char(old[64400 * 2 + 5] ^ 0x33);
        QVERIFY(writeFile(m_src + QStringLiteral("/r"), data));
        QVERIFY(writeFile(m_src + QStringLiteral("/n"), data));
        QVERIFY(writeFile(m_dst + QStringLiteral("/r"), old));
        const QString hiddenR = m_dst + QStringLiteral("/") + VfsCopyJob::partialName(QStringLiteral("r"));
        QStringList asked;
        Outcome out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/r"))}, m_dst), [&](VfsCopyJob *job) {
            asked << job->currentFile();
            job->abort();
        });
        QCOMPARE(asked, QStringList{QStringLiteral("r")});
        QCOMPARE(readFile(m_dst + QStringLiteral("/r")), old);
        QVERIFY(!QFileInfo::exists(hiddenR));

        bool rFinished = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            if (cmd.code == FSO_MOVE && path.endsWith(VfsCopyJob::partialName(QStringLiteral("n"))))
                QVERIFY(writeFile(m_dst + QStringLiteral("/n"), "appeared"));
            rFinished = rFinished || (cmd.code == FSO_MOVE && path == hiddenR);
            if (cmd.code == FSO_WRITE_FILE && !rFinished && QFileInfo::exists(m_dst + QStringLiteral("/r")))
                QFAIL("the real name holds a file being rewritten");
        };
        asked.clear();
        m_b->resetCounters();
        out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/n")), item(m_src + QStringLiteral("/r"))},
                       m_dst),
                  [&](VfsCopyJob *job) {
                      asked << job->currentFile();
                      if (job->currentFile() == QStringLiteral("n"))
                          job->skipCurrentItem();
                      else
                          job->replaceCurrentItem();
                  });
        QVERIFY(out.finished);
        QCOMPARE(asked, QStringList({QStringLiteral("r"), QStringLiteral("n")}));
        QCOMPARE(readFile(m_dst + QStringLiteral("/r")), data);
        QVERIFY(!QFileInfo::exists(hiddenR));
        QCOMPARE(readFile(m_dst + QStringLiteral("/n")), QByteArray("appeared"));
        QCOMPARE(out.result.files, QStringList{m_src + QStringLiteral("/r")});
        QCOMPARE(m_b->writtenBytes(), quint64(data.size() + 64400));
        settle();
    }

    // A file the user allowed to be replaced that has the source's size is read first. One
    // that holds the content already is left as it is: nothing is written or renamed, it keeps
    // its inode and change stamp, and only a time that differs is set. One that differs in
    // its last block only gets that block, replaced the usual way, through the hidden name.
    void sameSizeDestinationReadBeforeItIsReplaced()
    {
        const qint64 size = 4121600 * 2 + 999;   // three hash requests
        const QByteArray data = pattern(size, 31);
        const QString src = m_src + QStringLiteral("/f");
        const QString dst = m_dst + QStringLiteral("/f");
        QVERIFY(writeFile(src, data) && setMtimeMs(src, 1500000000000LL));
        QVERIFY(writeFile(dst, data) && setMtimeMs(dst, 1500000000000LL));
        int moves = 0;
        int hashes = 0;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            moves += cmd.code == FSO_MOVE;
            hashes += cmd.code == FSO_HASH_FILE;
        };
        auto stamp = [&dst] {
            struct stat st {};
            ::stat(QFile::encodeName(dst).constData(), &st);
            return qMakePair(quint64(st.st_ino), qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec);
        };
        const auto before = stamp();
        for (const qint64 existingTime : {1500000000000LL, 1600000000000LL}) {
            if (existingTime != 1500000000000LL)
                QVERIFY(setMtimeMs(dst, existingTime));
            const auto listed = stamp();
            m_b->resetCounters();
            moves = 0;
            const Outcome out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true));
            QVERIFY(out.finished);
            QCOMPARE(out.bytesCopied, quint64(size));
            QCOMPARE(m_b->writtenBytes(), quint64(0));
            QCOMPARE(moves, 0);
            QCOMPARE(mtimeMs(dst), 1500000000000LL);
            QCOMPARE(stamp().first, before.first);
            if (existingTime == 1500000000000LL)
                QCOMPARE(stamp().second, listed.second);
            settle();
        }

        const qint64 last = (size - 1) / 64400 * 64400;
        QByteArray changed = data;
        changed[int(size - 10)] = char(changed[int(size - 10)] ^ 0x77);
        QVERIFY(writeFile(dst, changed));
        m_b->resetCounters();
        moves = 0;
        hashes = 0;
        Outcome out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true));
        QVERIFY(out.finished);
        QCOMPARE(readFile(dst), data);
        QCOMPARE(out.bytesCopied, quint64(size));
        QCOMPARE(qint64(m_b->writtenBytes()), size - last);
        QCOMPARE(moves, 2);    // aside to the hidden name and back
        QCOMPARE(hashes, 3 + 3 + 1);   // the check, the replacement's own compare, the end's proof
        QVERIFY(!QFileInfo::exists(m_dst + QStringLiteral("/") + VfsCopyJob::partialName(QStringLiteral("f"))));
        settle();

        // Another program puts a file of the same size under the name between the check and
        // the replacement, one that differs in its first block: what the check found equal
        // was another file's, and the copy still ends with the source's content throughout.
        QVERIFY(writeFile(dst, changed));
        QByteArray swapped = data;
        swapped[0] = char(swapped[0] ^ 0x55);
        bool swappedIn = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            if (cmd.code == FSO_MOVE && !swappedIn)
                swappedIn = writeFile(dst + QStringLiteral(".new"), swapped)
                            && ::rename(QFile::encodeName(dst + QStringLiteral(".new")).constData(),
                                        QFile::encodeName(dst).constData()) == 0;
        };
        out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true));
        QVERIFY(swappedIn);
        QVERIFY(out.finished);
        QVERIFY(readFile(dst) == data);
        m_b->onRequest = nullptr;
        settle();

        // A cut does not trust a file found equal: through two mounts that number it
        // differently, it may be its own source. It is replaced the usual way, so that the
        // source it deletes is surely another file.
        moves = 0;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) { moves += cmd.code == FSO_MOVE; };
        out = run(make(m_a.get(), m_b.get(), {item(src)}, m_dst, true, true));
        m_b->onRequest = nullptr;
        QVERIFY(out.finished);
        QCOMPARE(out.result.files, QStringList{src});
        QCOMPARE(moves, 2);
        QVERIFY(!QFileInfo::exists(src));
        QCOMPARE(readFile(dst), data);
        settle();
    }

    // Many small files and a few big ones: the small new ones go several at a time; a name
    // already there and one that turns up just before its file takes it are asked about;
    // a cut in the middle resumes. Every file arrives with its content and times, nothing
    // hidden is left, and every copied source is counted once.
    // With a peer that makes each file in one request, and with one that predates it.
    void smallFilesAtOnceWithQuestionsAndCut_data()
    {
        QTest::addColumn<int>("version");
        QTest::newRow("one request per file") << int(FSO_PROTOCOL_VERSION);
        QTest::newRow("earlier peer") << int(FSO_PROTOCOL_VERSION_PUT_FILE - 1);
    }

    void smallFilesAtOnceWithQuestionsAndCut()
    {
        QFETCH(int, version);
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setProtocolVersion(ushort(version));
            p->server()->setProtocolVersion(quint16(version));
        }
        const QString tree = m_src + QStringLiteral("/many");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));
        QMap<QString, QByteArray> files;
        for (int i = 0; i < 240; ++i) {
            const qint64 size = i == 0 ? 0 : i < 200 ? (i * 331) % 64400 + 1 : 64400 + i * 997;
            files.insert((i % 3 ? QStringLiteral("/s%1") : QStringLiteral("/sub/s%1")).arg(i, 4, 10, QLatin1Char('0')),
                         pattern(size, i));
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QVERIFY(writeFile(tree + it.key(), it.value()));
            QVERIFY(setMtimeMs(tree + it.key(), 1400000000000LL + it.value().size()));
        }
        const QString copy = m_dst + QStringLiteral("/many");
        QVERIFY(QDir().mkpath(copy));
        QVERIFY(writeFile(copy + QStringLiteral("/s0010"), "there before"));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(200);
            p->client()->setTransferTimeout(200);
            p->server()->setIdleClose(500, 100);
        }
        int exclusiveOpens = 0;
        int puts = 0;
        int inSub = 0;
        bool cut = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            const bool put = cmd.code == FSO_PUT_FILE;
            // The lane's opens make a file for writing only; the one-at-a-time way reads it too.
            const bool laneOpen = cmd.code == FSO_OPEN_FILE && (cmd.flags & FSO_OPEN_EXCLUSIVE) && !(cmd.flags & FSO_OPEN_READ);
            if (laneOpen || put) {
                ++(put ? puts : exclusiveOpens);
                inSub += path.contains(QStringLiteral("/sub/")) ? 1 : 0;
            }
            // The name turns up just before the file would take it.
            const bool takesName = (cmd.code == FSO_MOVE && path.endsWith(VfsCopyJob::partialName(QStringLiteral("s0020"))))
                                   || (put && path.endsWith(QStringLiteral("/s0020")));
            if (takesName && !QFileInfo::exists(copy + QStringLiteral("/s0020")))
                QVERIFY(writeFile(copy + QStringLiteral("/s0020"), "appeared"));
            // In the middle of the second folder's small files, after the questions.
            if (!cut && inSub == 10) {
                cut = true;
                m_a->setDropping(true);
                m_b->setDropping(true);
                QTimer::singleShot(800, this, [&]() {
                    m_a->setDropping(false);
                    m_b->setDropping(false);
                });
            }
        };
        QStringList asked;
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst);
        int errors = 0;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job)
                errors = qMax(errors, job->errorCount());
        });
        const Outcome out = run(job, [&](VfsCopyJob *job) {
                                    asked << job->currentFile();
                                    if (job->currentFile() == QStringLiteral("s0020"))
                                        job->skipCurrentItem();
                                    else
                                        job->replaceCurrentItem();
                                });
        QVERIFY(cut);
        QVERIFY(out.finished);
        QVERIFY(errors >= 1);
        // Files of one block go the lane's way: in one request where the peer knows it.
        QVERIFY((version >= FSO_PROTOCOL_VERSION_PUT_FILE ? puts : exclusiveOpens) > 100);
        QCOMPARE(version >= FSO_PROTOCOL_VERSION_PUT_FILE ? exclusiveOpens : puts, 0);
        asked.removeDuplicates();
        asked.sort();
        QCOMPARE(asked, QStringList({QStringLiteral("s0010"), QStringLiteral("s0020")}));
        QCOMPARE(readFile(copy + QStringLiteral("/s0020")), QByteArray("appeared"));
        files.remove(QStringLiteral("/s0020"));
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QCOMPARE(readFile(copy + it.key()), it.value());
            QCOMPARE(mtimeMs(copy + it.key()), 1400000000000LL + it.value().size());
        }
        const QStringList hidden = QDir(copy).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)
                                   + QDir(copy + QStringLiteral("/sub")).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
        QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(QLatin1Char(' '))));
        QCOMPARE(out.result.files.size(), files.size());
        QCOMPARE(QSet<QString>(out.result.files.begin(), out.result.files.end()).size(), files.size());
        settle();
    }

    // Small files in flight when the job is aborted or deleted, at every point: the job goes,
    // an aborted one leaves nothing open, and a real name only ever holds its finished copy.
    void smallFilesAbortedAtEveryRequest_data()
    {
        smallFilesAtOnceWithQuestionsAndCut_data();
    }

    void smallFilesAbortedAtEveryRequest()
    {
        QFETCH(int, version);
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setProtocolVersion(ushort(version));
            p->server()->setProtocolVersion(quint16(version));
        }
        const QString tree = m_src + QStringLiteral("/s");
        QVERIFY(QDir().mkpath(tree));
        for (int i = 0; i < 40; ++i) {
            QVERIFY(writeFile(tree + QStringLiteral("/f%1").arg(i), pattern(100 + i * 1500, i)));
            QVERIFY(setMtimeMs(tree + QStringLiteral("/f%1").arg(i), 1300000000000LL + i));
        }
        // Aborted first; then deleted outright, which can't close what the server opened a
        // moment later (the server's idle close does).
        for (const bool deleteJob : {false, true}) {
            for (int k = 1; k < 400; k += 11) {
                const QString dst = m_dst + QStringLiteral("/%1-%2").arg(deleteJob).arg(k);
                QVERIFY(QDir().mkpath(dst));
                bool hit = false;
                stopAtRequest(make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, dst), k, deleteJob, &hit);
                if (QTest::currentTestFailed())
                    return;
                for (int i = 0; i < 40; ++i) {
                    const QString copy = dst + QStringLiteral("/s/f%1").arg(i);
                    if (QFileInfo::exists(copy)) {
                        QVERIFY2(readFile(copy) == pattern(100 + i * 1500, i), qPrintable(copy));
                        // Handles left by deleted jobs fill the server's table, and files whose
                        // open fails go the other way, which sets times after the rename.
                        if (!deleteJob)
                            QCOMPARE(mtimeMs(copy), 1300000000000LL + i);
                    }
                }
                if (!hit)
                    break; // the copy ran to its end before the k-th request
            }
        }
    }

    // A small file that grew after it was listed is not cut to its old size: it leaves the
    // lane and arrives whole.
    void grownSmallFileArrivesWhole()
    {
        for (int i = 0; i < 10; ++i)
            QVERIFY(writeFile(m_src + QStringLiteral("/g%1").arg(i), pattern(1000, i)));
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/g3"))}, m_dst);
        std::vector<VfsCopyItem> items;
        for (int i = 0; i < 10; ++i)
            items.push_back(item(m_src + QStringLiteral("/g%1").arg(i)));
        job = make(m_a.get(), m_b.get(), items, m_dst);
        bool grown = false;
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            if (!grown && (cmd.code == FSO_READ_FILE || cmd.code == FSO_GET_FILE)) {
                grown = true;
                QVERIFY(writeFile(m_src + QStringLiteral("/g3"), pattern(90000, 3)));
            }
        };
        const Outcome out = run(job);
        QVERIFY(grown);
        QVERIFY(out.finished);
        QCOMPARE(readFile(m_dst + QStringLiteral("/g3")), pattern(90000, 3));
        for (int i = 0; i < 10; ++i) {
            if (i != 3)
                QCOMPARE(readFile(m_dst + QStringLiteral("/g%1").arg(i)), pattern(1000, i));
        }
        settle();
    }

    // Two cuts late in a folder of many small files, after two large ones had arrived: each
    // retry passes over the files finished before it without a request for any of them, and
    // takes what a cut left unfinished (a file whose answer was lost, a hidden one) many at a
    // time. What changed since it was finished is looked at again all the same: at either end,
    // before the first listing after its finish, or after one (then only its identity tells).
    // A file changed at the destination is no longer the job's: it is asked about before it is
    // replaced (answered here with Replace); one whose source changed is replaced without a
    // word. Every file ends as its source; a move deletes every source, a copy keeps them.
    void retryPassesOverFinishedFiles_data()
    {
        QTest::addColumn<bool>("move");
        QTest::addColumn<int>("version");
        QTest::newRow("copy") << false << int(FSO_PROTOCOL_VERSION);
        QTest::newRow("move") << true << int(FSO_PROTOCOL_VERSION);
        QTest::newRow("copy, earlier peer") << false << int(FSO_PROTOCOL_VERSION_PUT_FILE - 1);
        QTest::newRow("move, earlier peer") << true << int(FSO_PROTOCOL_VERSION_PUT_FILE - 1);
    }

    void retryPassesOverFinishedFiles()
    {
        QFETCH(bool, move);
        QFETCH(int, version);
        const int kSmall = 600;
        const QString tree = m_src + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));
        QMap<QString, QByteArray> sources; // below `tree`
        for (int i = 0; i < 2; ++i)
            sources.insert(QStringLiteral("/big%1").arg(i), pattern(150000 + i, 900 + i));
        for (int i = 0; i < kSmall; ++i)
            sources.insert(QStringLiteral("/sub/s%1").arg(i, 4, 10, QLatin1Char('0')), pattern(4096, i));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            QVERIFY(writeFile(tree + it.key(), it.value()) && setMtimeMs(tree + it.key(), 1300000000000LL));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setProtocolVersion(ushort(version));
            p->server()->setProtocolVersion(quint16(version));
            p->client()->setRequestTimeout(100);
            p->client()->setTransferTimeout(100);
            p->server()->setIdleClose(500, 100);
        }
        const QString copy = m_dst + QStringLiteral("/t");
        auto nameOf = [](const VfsFenuCommand &cmd) {
            const QString path = QString::fromUtf8(cmd.path.data(), int(cmd.path.size()));
            return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        };
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst, false, move);
        // Flushed as often as it can be: most of what has arrived is confirmed when the link drops.
        VfsJobTimings timings;
        timings.retryDelayMs = 50;
        timings.finishedDeleteMs = timings.abortedDeleteMs = 0;
        timings.flushIntervalMs = 0;
        job->setTimings(timings);
        QStringList arrived;     // real names at the destination at the first cut
        QStringList settled;     // those long finished by then (answered before it)
        QSet<QString> changed;   // changed by the test, looked at again
        QString tampered;        // made by a request the job lost the answer to, then changed
        // What the flushes answered before the first cut covered (what had arrived when each came).
        QStringList flushing;
        QSet<QString> confirmed;
        int made = 0;
        int cuts = 0;
        std::function<bool()> restore; // ends a cut once the job failed; true when it did
        bool tamperWritten = true;
        int secondLooks = 0;     // requests naming a file confirmed before the first cut
        m_b->onReply = [&](VfsFenuCommand &cmd) {
            if (cuts == 0 && cmd.code == FSO_SYNC_REPLY && cmd.status == FSO_STATUS_SUCCESS)
                confirmed.unite(QSet<QString>(flushing.cbegin(), flushing.cend()));
        };
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            const QString name = nameOf(cmd);
            if (cmd.code == FSO_SYNC)
                flushing = QDir(copy + QStringLiteral("/sub")).entryList(QDir::Files);
            if (cuts > 0 && (cmd.code == FSO_OPEN_FILE || cmd.code == FSO_MOVE || cmd.code == FSO_GET_FILE)
                && confirmed.contains(name) && !changed.contains(name))
                ++secondLooks;
            // A small file made at the destination.
            const bool makes = cmd.code == FSO_PUT_FILE || (cmd.code == FSO_OPEN_FILE && (cmd.flags & FSO_OPEN_EXCLUSIVE));
            if (!makes || !(name.startsWith(QLatin1Char('s')) || name.startsWith(QStringLiteral(".s"))))
                return;
            if (++made == 300)
                settled = QDir(copy + QStringLiteral("/sub")).entryList(QDir::Files);
            // The first cut in the middle of the small files; the second once the retry after it
            // has listed what the first left and goes on.
            if (!(cuts == 0 && made == 450) && !(cuts == 1 && job && job->errorCount() >= 1))
                return;
            QString tamper;
            if (cuts == 0) {
                // This request and those in flight are answered into the cut: their files are
                // made without the job knowing. The file of this one is then made another of the
                // same size and time: one the job may have finished that is not its copy.
                if (cmd.code == FSO_PUT_FILE) {
                    tamper = copy + QStringLiteral("/sub/") + name;
                    tampered = name;
                    changed << name;
                }
                arrived = QDir(copy + QStringLiteral("/sub")).entryList(QDir::Files);
                // How many have their names by now depends on the machine's load (an earlier
                // peer's files wait for their renames); the changes below need five long settled.
                QVERIFY2(settled.size() >= 5 && arrived.size() >= settled.size(),
                         qPrintable(QStringLiteral("%1 arrived, %2 settled").arg(arrived.size()).arg(settled.size())));
                // Before any listing after their finish: one cut short, one stamped anew, one
                // deleted, and one source rewritten keeping its size and time.
                const QString sub = copy + QStringLiteral("/sub/");
                QVERIFY(QFile::resize(sub + settled.at(0), 100));
                QVERIFY(setMtimeMs(sub + settled.at(1), 1400000000000LL));
                QVERIFY(QFile::remove(sub + settled.at(2)));
                sources[QStringLiteral("/sub/") + settled.at(3)] = pattern(4096, 7777);
                QVERIFY(rewriteKeepingTime(tree + QStringLiteral("/sub/") + settled.at(3), pattern(4096, 7777)));
                changed << settled.at(0) << settled.at(1) << settled.at(2) << settled.at(3);
            } else {
                // After the retry listed them: one replaced by another file of the same size and
                // time, and a large one rewritten in place, its time put back.
                const QString other = copy + QStringLiteral("/sub/") + settled.at(4);
                QVERIFY(writeFile(other + QStringLiteral(".x"), pattern(4096, 4242))
                        && setMtimeMs(other + QStringLiteral(".x"), 1300000000000LL)
                        && ::rename(QFile::encodeName(other + QStringLiteral(".x")).constData(),
                                    QFile::encodeName(other).constData()) == 0);
                QVERIFY(rewriteKeepingTime(copy + QStringLiteral("/big0"), pattern(150000, 4343)));
                changed << settled.at(4) << QStringLiteral("big0");
            }
            ++cuts;
            // Until every small file has timed out and the listing after them as well: the job
            // starts over.
            m_a->setDropping(true);
            m_b->setDropping(true);
            restore = [this, &job, &tamperWritten, tamper, last = cuts == 2, failed = job->errorCount() + 1] {
                // The file is changed once the server has ended the writes it had begun:
                // one still running would make it the job's copy after all.
                if (job->errorCount() < failed || m_b->server()->runningJobCount() > 0)
                    return false;
                if (!tamper.isEmpty())
                    tamperWritten = writeFile(tamper, pattern(4096, 5151)) && setMtimeMs(tamper, 1300000000000LL);
                m_a->setDropping(false);
                m_b->setDropping(false);
                // After the last cut the flush has the usual time: a loaded disk must not
                // turn it into a missing answer, which keeps a move's sources.
                if (last)
                    m_b->client()->setTransferTimeout(3000);
                return true;
            };
        };
        int errors = 0;
        connect(job.data(), &VfsJob::stateChanged, this, [&]() {
            if (job)
                errors = qMax(errors, job->errorCount());
            if (job && restore && restore())
                restore = nullptr;
        });
        QStringList asked;
        const Outcome out = run(job, [&](VfsCopyJob *j) {
            asked << j->currentFile();
            j->replaceCurrentItem();
        });
        m_b->onRequest = nullptr;
        m_b->onReply = nullptr;
        QVERIFY(tamperWritten);
        QCOMPARE(cuts, 2);
        // Each file changed at the destination, once: cut short, stamped anew, replaced by
        // another of the same size and time, rewritten in place with its time put back, and the
        // one an unanswered request may have finished; neither the deleted one nor the one whose
        // source changed.
        QStringList changedThere = {settled.at(0), settled.at(1), settled.at(4), QStringLiteral("big0")};
        if (!tampered.isEmpty())
            changedThere << tampered;
        changedThere.sort();
        asked.sort();
        QCOMPARE(asked, changedThere);
        QVERIFY(out.finished);
        QVERIFY(errors >= 2);
        // What the destination confirmed is not looked at again, but for what was in flight: a
        // file that had arrived and was confirmed is not opened again after each cut.
        qInfo("%d of %d files that had arrived were confirmed at the first cut; %d requests named them after it",
              int(confirmed.size()), int(arrived.size()), secondLooks);
        QVERIFY2(secondLooks <= 3 * VfsSmallFileLane::kFilesInFlight, qPrintable(QString::number(secondLooks)));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
            QVERIFY2(readFile(copy + it.key()) == it.value(), qPrintable(it.key()));
            QCOMPARE(mtimeMs(copy + it.key()), 1300000000000LL);
            QVERIFY2(QFileInfo::exists(tree + it.key()) == !move, qPrintable(it.key()));
        }
        const QStringList hidden = QDir(copy + QStringLiteral("/sub")).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
        QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(QLatin1Char(' '))));
        QCOMPARE(out.result.files.size(), sources.size());
        settle();
    }

    // A copy or a move whose every file had arrived and was confirmed on the destination's disk
    // is cut while it lists its sources (before a move deletes them): the retry lists the folder
    // the files are in at the destination once (a tree removed during the cut is found), the
    // sources again, and goes on, without going through the destination's files again (a link
    // that drops every few seconds gives no more time than that), and ends without a word of the
    // pause.
    void cutAtTheEndRetriesOnlyTheEnd_data()
    {
        QTest::addColumn<bool>("move");
        QTest::newRow("copy") << false;
        QTest::newRow("move") << true;
    }

    void cutAtTheEndRetriesOnlyTheEnd()
    {
        QFETCH(bool, move);
        const QString tree = m_src + QStringLiteral("/end");
        QVERIFY(QDir().mkpath(tree));
        for (int i = 0; i < 200; ++i)
            QVERIFY(writeFile(tree + QStringLiteral("/f%1").arg(i), pattern(2048, i)));
        for (TestPeer *p : {m_a.get(), m_b.get()}) {
            p->client()->setRequestTimeout(100);
            p->client()->setTransferTimeout(100);
        }
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), {item(tree, VfsCopyItem::DirectoryType)}, m_dst, false, move);
        bool flushed = false;
        int cuts = 0;
        int destinationListings = 0; // after the cut
        int sourceListings = 0;      // likewise, until the sources are deleted
        bool deleting = false;
        m_b->onRequest = [&](const VfsFenuCommand &cmd) {
            flushed = flushed || cmd.code == FSO_SYNC;
            destinationListings += cuts > 0 && cmd.code == FSO_LIST_DIRECTORY ? 1 : 0;
        };
        m_a->onRequest = [&](const VfsFenuCommand &cmd) {
            deleting = deleting || cmd.code == FSO_DELETE_FILE;
            if (cmd.code != FSO_LIST_DIRECTORY || deleting)
                return;
            sourceListings += cuts > 0 ? 1 : 0;
            if (!flushed || cuts > 0)
                return;
            ++cuts;
            // The source computer is away for the cut, as a link that drops is.
            m_a->setDropping(true);
            m_b->setDropping(true);
            m_a->setLinkState(IPeer::LinkDown);
            QTimer::singleShot(500, this, [this] {
                m_a->setDropping(false);
                m_b->setDropping(false);
                m_a->setLinkState(IPeer::LinkUp);
            });
        };
        const Outcome out = run(job);
        m_a->onRequest = nullptr;
        m_b->onRequest = nullptr;
        QCOMPARE(cuts, 1);
        QVERIFY(out.finished);
        QCOMPARE(destinationListings, 1);
        QCOMPARE(sourceListings, 1);
        // Nothing is left of the pause's words.
        QCOMPARE(out.prompt, QString());
        for (int i = 0; i < 200; ++i)
            QCOMPARE(readFile(m_dst + QStringLiteral("/end/f%1").arg(i)), pattern(2048, i));
        QCOMPARE(QFileInfo::exists(tree), !move);
        settle();
    }

    // Before a cut may delete its sources the destination is written out to disk, once;
    // a destination that does not answer that keeps the sources and says so.
    void destinationFlushedBeforeTheEnd()
    {
        // Each job is a cut: what it copied for good is deleted, the sources come again.
        auto writeSources = [this] {
            for (int i = 0; i < 20; ++i)
                QVERIFY(writeFile(m_src + QStringLiteral("/m%1").arg(i), pattern(100 + i * 5000, i)));
        };
        writeSources();
        std::vector<VfsCopyItem> items;
        for (int i = 0; i < 20; ++i)
            items.push_back(item(m_src + QStringLiteral("/m%1").arg(i)));
        const quint64 before = vfsserverfs::syncCount();
        quint64 atEnd = 0;
        QPointer<VfsCopyJob> job = make(m_a.get(), m_b.get(), items, m_dst, false, true);
        connect(job.data(), &VfsCopyJob::copyCompleted, this, [&]() { atEnd = vfsserverfs::syncCount(); });
        Outcome out = run(job);
        QVERIFY(out.finished);
        QCOMPARE(out.result.files.size(), 20);
        QCOMPARE(atEnd, before + 1);
        QVERIFY(!QFileInfo::exists(m_src + QStringLiteral("/m3")));
        writeSources();

        // A peer that predates the request drops it unanswered.
        const QString dst2 = m_dst + QStringLiteral("/old");
        QVERIFY(QDir().mkpath(dst2));
        m_b->client()->setTransferTimeout(200);
        m_b->onReply = [](VfsFenuCommand &cmd) {
            if (cmd.code == FSO_SYNC_REPLY)
                cmd.code = 0x7F;
        };
        job = make(m_a.get(), m_b.get(), items, dst2, false, true);
        bool finished = false;
        int errors = 0;
        QString prompt;
        connect(job.data(), &VfsCopyJob::copyCompleted, this, [&](VfsCopyDto, VfsCopyResult r) {
            finished = true;
            out.result = r;
            errors = job->errorCount();
            prompt = job->userActionPrompt();
        });
        run(job);
        QVERIFY(finished);
        QVERIFY(out.result.files.isEmpty());
        QCOMPARE(errors, 1);
        // The same wait as a slow disk's: what is known is said, nothing is guessed.
        QVERIFY2(prompt.contains(QStringLiteral("did not confirm in time")) && prompt.contains(QStringLiteral("sources were kept")),
                 qPrintable(prompt));
        QCOMPARE(readFile(dst2 + QStringLiteral("/m3")), pattern(100 + 3 * 5000, 3));
        QCOMPARE(readFile(m_src + QStringLiteral("/m3")), pattern(100 + 3 * 5000, 3));

        // A disk that fails the flush fails the job, after one retry: nothing counts as copied.
        // (Its answer has the usual time again: a loaded machine must not turn it into a wait.)
        m_b->client()->setTransferTimeout(3000);
        m_b->onReply = [](VfsFenuCommand &cmd) {
            if (cmd.code == FSO_SYNC_REPLY)
                cmd.status = FSO_STATUS_IO_ERROR;
        };
        const QString dst3 = m_dst + QStringLiteral("/failing");
        QVERIFY(QDir().mkpath(dst3));
        const Outcome failed = run(make(m_a.get(), m_b.get(), items, dst3, false, true));
        QVERIFY(!failed.finished);
        QVERIFY(failed.aborted);
        QVERIFY(failed.result.files.isEmpty());
        QVERIFY(!failed.prompt.isEmpty());
    }

    // An empty request, or one of links only, finishes without copying.
    void emptyRequestFinishes()
    {
        QVERIFY(::symlink("x", QFile::encodeName(m_src + QStringLiteral("/l")).constData()) == 0);
        Outcome out = run(make(m_a.get(), m_b.get(), {}, m_dst));
        QVERIFY(out.finished);
        out = run(make(m_a.get(), m_b.get(), {item(m_src + QStringLiteral("/l"), VfsCopyItem::SymlinkType)}, m_dst));
        QVERIFY(out.finished);
        QVERIFY(!QFileInfo(m_dst + QStringLiteral("/l")).isSymLink());
    }
};

QTEST_GUILESS_MAIN(tst_CopyJob)
#include "tst_copyjob.moc"

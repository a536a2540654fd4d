// The question a copy job asks, when someone can answer, about an item the destination
// refuses: Skip, Skip all, Retry and Abort, on a read-only mount made by the test.

#include "testutil_jobs.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QDir>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>

using namespace testjobs;

class tst_CopyJobQuestion : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    std::unique_ptr<TestPeer> m_a;
    std::unique_ptr<TestPeer> m_b;
    QString m_src;    // a tree: a.txt, and locked/ with b.txt and c.txt
    QString m_dst;
    QString m_locked; // the tree's locked/ at the destination, a read-only mount
    QPointer<VfsCopyJob> m_job;
    QStringList m_asked;
    bool m_finished = false;
    bool m_aborted = false;

    QByteArray mountPoint() const { return QFile::encodeName(m_locked); }

    bool setReadOnly(bool readOnly)
    {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        return ::mount("nusk-locked", mountPoint().constData(), "tmpfs", flags, "size=1m") == 0;
    }

    // Starts a copy of the tree; `answer` is called for every question.
    void start(const std::function<void(VfsCopyJob *)> &answer, bool deleteSource = false)
    {
        VfsCopyDto dto;
        dto.srcPeerUuid = m_a->uuid();
        dto.dstPeerUuid = m_b->uuid();
        VfsCopyItem tree;
        tree.path = m_src;
        tree.type = VfsCopyItem::DirectoryType;
        dto.items.push_back(tree);
        dto.dstPath = m_dst;
        dto.deleteSource = deleteSource;
        m_job = new VfsCopyJob;
        m_job->setPeers(m_a.get(), m_b.get());
        m_job->setRequest(dto);
        m_job->setRetryDelay(50);
        m_job->setDeleteDelays(60000, 0);
        m_job->setAsksOnFailure(true);
        VfsCopyJob *job = m_job;
        connect(job, &VfsJob::jobFinished, this, [this] { m_finished = true; });
        connect(job, &VfsJob::jobAborted, this, [this] { m_aborted = true; });
        connect(job, &VfsJob::jobUpdated, this, [this, job, answer] {
            if (job->state() != VfsJob::VfsJobStateQuestion)
                return;
            m_asked.append(job->userActionPrompt());
            QVERIFY(job->userActionEnabled(VfsJob::UserActionSkipAll));
            QVERIFY(job->userActionEnabled(VfsJob::UserActionRetry));
            QVERIFY(!job->userActionEnabled(VfsJob::UserActionOverwrite));
            answer(job);
        });
        m_job->start();
        QVERIFY(waitFor([this] { return m_finished || m_aborted; }, 20000));
    }

    QStringList leftOutPaths() const
    {
        QStringList paths;
        for (const VfsLeftOutItem &item : m_job->leftOutItems())
            paths.append(item.path);
        paths.sort();
        return paths;
    }

    void settle()
    {
        if (m_job && m_finished)
            delete m_job.data();
        QVERIFY(waitFor([this] { return m_job.isNull(); }, 5000));
        QVERIFY(waitFor([&] { return m_a->server()->openFileCount() == 0 && m_b->server()->openFileCount() == 0; },
                        5000));
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        static int n = 0;
        const QString base = m_tmp.filePath(QString::number(++n));
        m_src = base + QStringLiteral("/src/tree");
        m_dst = base + QStringLiteral("/dst");
        m_locked = m_dst + QStringLiteral("/tree/locked");
        QVERIFY(QDir().mkpath(m_src + QStringLiteral("/locked")));
        QVERIFY(QDir().mkpath(m_locked));
        QVERIFY(writeFile(m_src + QStringLiteral("/a.txt"), "a"));
        QVERIFY(writeFile(m_src + QStringLiteral("/locked/b.txt"), "b"));
        QVERIFY(writeFile(m_src + QStringLiteral("/locked/c.txt"), "c"));
        if (::mount("nusk-locked", mountPoint().constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("cannot mount a tmpfs here: the read-only destination is not checked");
        QVERIFY(setReadOnly(true));
        m_a.reset(new TestPeer(QStringLiteral("{00000000-0000-0000-0000-00000000000a}")));
        m_b.reset(new TestPeer(QStringLiteral("{00000000-0000-0000-0000-00000000000b}")));
        m_asked.clear();
        m_finished = m_aborted = false;
    }

    void cleanup()
    {
        delete m_job.data();
        m_a.reset();
        m_b.reset();
        ::umount2(mountPoint().constData(), MNT_DETACH);
    }

    // Skip leaves out the item in question and asks again about the next one that fails.
    void skip()
    {
        start([](VfsCopyJob *job) { job->skipCurrentItem(); });
        QVERIFY(m_finished);
        // b.txt and c.txt; the folder's times are not asked about, its content is incomplete.
        QCOMPARE(m_asked.size(), 2);
        QVERIFY(m_asked.first().contains(m_locked));
        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/a.txt")), QByteArray("a"));
        QCOMPARE(m_job->errorCount(), m_job->leftOutCount());
        QVERIFY(leftOutPaths().contains(m_src + QStringLiteral("/locked/b.txt")));
        QVERIFY(leftOutPaths().contains(m_src + QStringLiteral("/locked/c.txt")));
        QVERIFY(!m_job->result().files.contains(m_src + QStringLiteral("/locked/b.txt")));
        QVERIFY(!m_job->leftOutItems().first().reason.isEmpty());
        settle();
    }

    // Skip all asks once; every later refusal is left out without a question.
    void skipAll()
    {
        start([](VfsCopyJob *job) { job->skipAllItems(); });
        QVERIFY(m_finished);
        QCOMPARE(m_asked.size(), 1);
        QCOMPARE(readFile(m_dst + QStringLiteral("/tree/a.txt")), QByteArray("a"));
        QVERIFY(leftOutPaths().contains(m_src + QStringLiteral("/locked/b.txt")));
        QVERIFY(leftOutPaths().contains(m_src + QStringLiteral("/locked/c.txt")));
        settle();
    }

    // Retry sends the item again: once the destination is writable it is copied, and
    // nothing is left out.
    void retryAfterTheCauseIsGone()
    {
        start([this](VfsCopyJob *job) {
            QVERIFY(setReadOnly(false));
            job->retryCurrentItem();
        });
        QVERIFY(m_finished);
        QCOMPARE(m_asked.size(), 1);
        QCOMPARE(readFile(m_locked + QStringLiteral("/b.txt")), QByteArray("b"));
        QCOMPARE(readFile(m_locked + QStringLiteral("/c.txt")), QByteArray("c"));
        QCOMPARE(m_job->errorCount(), 0);
        QCOMPARE(m_job->leftOutCount(), 0);
        settle();
    }

    // Abort ends the job as aborted at once; a cut's sources are all still there.
    void abort()
    {
        start([](VfsCopyJob *job) { job->abort(); }, true);
        QVERIFY(m_aborted);
        QVERIFY(!m_finished);
        QCOMPARE(m_asked.size(), 1);
        settle();
        for (const char *name : {"/a.txt", "/locked/b.txt", "/locked/c.txt"})
            QVERIFY(QFile::exists(m_src + QLatin1String(name)));
    }
};

QTEST_GUILESS_MAIN(tst_CopyJobQuestion)
#include "tst_copyjobquestion.moc"

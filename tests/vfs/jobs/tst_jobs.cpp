// The job base's step timer, the copy job's figures (percent, remaining time, states) and
// the names its messages give.

#include "vfs/fso/vfsshownpath.h"
#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsjob.h"
#include "vfs/jobs/vfsleftoutlist.h"
#include "vfs/jobs/vfsowndestinations.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

class CountingJob : public VfsJob
{
public:
    QList<int> actions;
    void process(int action) override { actions << action; }
    void schedule(int ms, int action) { startTimer(ms, action, __LINE__); }
};

} // namespace

class tst_Jobs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Two zero-delay requests make one step with the second action; a zero-delay request
    // never shortens a longer wait but replaces the action it delivers.
    void stepTimer()
    {
        CountingJob job;
        job.start();
        job.schedule(0, VfsJob::JobActionReply);
        QTRY_COMPARE(job.actions, QList<int>({VfsJob::JobActionReply}));
        job.actions.clear();
        job.schedule(300, VfsJob::JobActionStep);
        job.schedule(0, VfsJob::JobActionDelete);
        QTest::qWait(50);
        QVERIFY(job.actions.isEmpty());
        QTRY_COMPARE(job.actions, QList<int>({VfsJob::JobActionDelete}));
    }

    void baseJobDoesNothing()
    {
        VfsJob job;
        QCOMPARE(job.state(), VfsJob::VfsJobStateUnknown);
        job.start();
        job.abort();
        QTest::qWait(10);
        QVERIFY(job.type().isEmpty());
    }

    void percentIsClamped()
    {
        QCOMPARE(VfsCopyJob::percentOf(0, 0), 0.0);
        QCOMPARE(VfsCopyJob::percentOf(5, 0), 0.0);
        QCOMPARE(VfsCopyJob::percentOf(10, 10), 100.0);
        QCOMPARE(VfsCopyJob::percentOf(11, 10), 100.0); // an overshooting total never goes back to 0
        QCOMPARE(VfsCopyJob::percentOf(1, 4), 25.0);
    }

    void remainingTimeTexts()
    {
        QVERIFY(VfsCopyJob::remainingTimeText(-1).isEmpty());
        QCOMPARE(VfsCopyJob::remainingTimeText(9), QStringLiteral("nearly done"));
        QCOMPARE(VfsCopyJob::remainingTimeText(60), QStringLiteral("less than a minute"));
        QCOMPARE(VfsCopyJob::remainingTimeText(61), QStringLiteral("about 1 minutes"));
        QCOMPARE(VfsCopyJob::remainingTimeText(3599), QStringLiteral("about 59 minutes"));
        QCOMPARE(VfsCopyJob::remainingTimeText(3600), QStringLiteral("about 1 hours"));
    }

    // A job whose peers are gone ends aborted with a prompt at once; the abort that follows
    // does not wait for any pause and the job deletes itself.
    void abortDoesNotWaitForRetryPause()
    {
        QPointer<VfsCopyJob> job = new VfsCopyJob;
        job->setRetryDelay(600000);
        job->setDeleteDelays(0, 0);
        QSignalSpy aborted(job.data(), &VfsJob::jobAborted);
        QCOMPARE(job->state(), VfsJob::VfsJobStateInit);
        QCOMPARE(job->percentDone(), 0.0);
        job->start();
        QTRY_COMPARE(aborted.count(), 1);
        QCOMPARE(job->state(), VfsJob::VfsJobStateAborted);
        QVERIFY(!job->userActionPrompt().isEmpty());
        QVERIFY(job->userActionEnabled(VfsJob::UserActionAbort));
        QVERIFY(!job->userActionEnabled(VfsJob::UserActionSkip));
        job->abort();
        QTRY_VERIFY(job.isNull());
        QCOMPARE(aborted.count(), 1);
    }

    // Every item left out counts once; only the first ones keep their names.
    void leftOutListIsBounded()
    {
        VfsLeftOutList list;
        for (int i = 0; i < VfsLeftOutList::kMaxShown + 5; ++i)
            QVERIFY(list.add(QStringLiteral("/f%1").arg(i), QStringLiteral("f%1").arg(i), QStringLiteral("why")));
        QVERIFY(!list.add(QStringLiteral("/f0"), QStringLiteral("f0"), QStringLiteral("again")));
        QCOMPARE(list.count(), VfsLeftOutList::kMaxShown + 5);
        QCOMPARE(list.shown().size(), VfsLeftOutList::kMaxShown);
        QCOMPARE(list.notShown(), 5);
        QCOMPARE(list.shown().first().reason, QStringLiteral("why"));
        // A line of text names a few of them and counts the rest, also those never kept.
        const QStringList names{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QCOMPARE(vfsFewNamed(names, 3), QStringLiteral("a, b, c"));
        QCOMPARE(vfsFewNamed(names, 2), QStringLiteral("a, b and 1 more"));
        QCOMPARE(vfsFewNamed(names, 5, 1005), QStringLiteral("a, b, c and 1002 more"));
    }

    // A destination that keeps times with a coarser clock (FAT: two seconds, cut down) still
    // lists the file the job left as its own; a later time, another size or, once a listing
    // has shown the file, another change stamp or inode make it someone else's for good. While
    // the source is the version copied, the file is the job's only if it holds the copy (no
    // listing after a cut tells a save that kept size and time from the copy); once the source
    // changed, the job's record alone lets it replace its older copy. A file named before its
    // times were set is the job's only if it holds the copy.
    void ownDestinationsAsTheJobLeftThem()
    {
        const qint64 t = 1300000001999LL;
        auto entry = [](quint64 size, qint64 mtime, qint64 changeNs = 0, quint64 inode = 0) {
            VfsCopyDestinationEntry e;
            e.type = VfsCopyItem::FileType;
            e.size = size;
            e.mtime = mtime;
            e.changeNs = changeNs;
            e.inode = inode;
            return e;
        };
        VfsCopyItem copied;
        copied.type = VfsCopyItem::FileType;
        copied.size = 10;
        copied.mtime = t;
        copied.changeNs = 100;
        copied.inode = 3;
        VfsCopyItem rewritten = copied; // saved anew at the source, size and time put back
        rewritten.changeNs = 200;
        const QString folder = QStringLiteral("/d");
        VfsOwnDestinations own;
        for (const char *name : {"fat", "later", "shorter", "stamped", "gone", "unchanged"})
            own.left(folder, QString::fromLatin1(name), copied);
        own.named(folder, QStringLiteral("named"), copied);
        QCOMPARE(own.ownership(folder, QStringLiteral("fat"), entry(10, t - 1999), rewritten), VfsOwnDestinations::Own);
        QCOMPARE(own.ownership(folder, QStringLiteral("later"), entry(10, t + 1), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("later"), entry(10, t), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("shorter"), entry(9, t), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("unchanged"), entry(10, t, 8, 8), copied),
                 VfsOwnDestinations::OwnIfTheCopy);
        own.observe(folder, {{QStringLiteral("fat"), entry(10, t - 1999, 1, 1)},
                             {QStringLiteral("stamped"), entry(10, t, 5, 7)},
                             {QStringLiteral("unchanged"), entry(10, t, 8, 8)},
                             {QStringLiteral("named"), entry(10, t + 60000, 9, 9)}});
        QCOMPARE(own.ownership(folder, QStringLiteral("unchanged"), entry(10, t, 8, 8), copied),
                 VfsOwnDestinations::OwnIfTheCopy);
        QCOMPARE(own.ownership(folder, QStringLiteral("stamped"), entry(10, t, 5, 7), rewritten), VfsOwnDestinations::Own);
        QCOMPARE(own.ownership(folder, QStringLiteral("stamped"), entry(10, t, 6, 7), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("stamped"), entry(10, t, 5, 7), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("fat"), entry(10, t - 1999, 1, 2), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(folder, QStringLiteral("named"), entry(10, t + 60000, 9, 9), rewritten),
                 VfsOwnDestinations::OwnIfTheCopy);
        QCOMPARE(own.ownership(folder, QStringLiteral("gone"), entry(10, t), rewritten), VfsOwnDestinations::NotOwn);
        QCOMPARE(own.ownership(QStringLiteral("/e"), QStringLiteral("named"), entry(10, t), rewritten),
                 VfsOwnDestinations::NotOwn);
    }

    // A path in a job's message names a share by the share's name; one whose name is not
    // known shows as "…", never by the uuid that stands for it on the wire.
    void sharesShownByName()
    {
        const QString uuid = QStringLiteral("%shares/{e91f0000-0000-0000-0000-000000000000}");
        const VfsShareName known = [&](const QString &share) { return share == uuid ? QStringLiteral("Photos") : QString(); };
        QCOMPARE(vfsShownPath(uuid + QStringLiteral("/2024/a.jpg"), QLatin1Char('/'), known, VfsUnknownShare::Hide),
                 QStringLiteral("Shares/Photos/2024/a.jpg"));
        const QString other = QStringLiteral("%shares/{0e000000-0000-0000-0000-000000000000}/a.jpg");
        QCOMPARE(vfsShownPath(other, QLatin1Char('/'), known, VfsUnknownShare::Hide), QStringLiteral("Shares/\u2026/a.jpg"));
        QCOMPARE(vfsShownPath(other, QLatin1Char('/'), nullptr, VfsUnknownShare::Hide), QStringLiteral("Shares/\u2026/a.jpg"));
        // Typed into a path bar and read back, a path keeps what it cannot show.
        QCOMPARE(vfsShownPath(other, QLatin1Char('/'), known), other);
        QCOMPARE(vfsShownPath(QStringLiteral("%sharesX/a"), QLatin1Char('/'), known, VfsUnknownShare::Hide),
                 QStringLiteral("%sharesX/a"));
    }
};

QTEST_GUILESS_MAIN(tst_Jobs)
#include "tst_jobs.moc"

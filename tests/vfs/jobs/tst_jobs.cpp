// The job base's step timer and the copy job's figures: percent, remaining time, states.

#include "vfs/jobs/vfscopyjob.h"
#include "vfs/jobs/vfsjob.h"

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
    }
};

QTEST_GUILESS_MAIN(tst_Jobs)
#include "tst_jobs.moc"

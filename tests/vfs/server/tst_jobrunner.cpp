// The server's hand-over of jobs to the pool: bursts are spread over several threads, every
// job comes back exactly once on the server's thread, and nothing comes back (or still runs)
// once the server waited for its jobs.

#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsserverjobs.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <map>
#include <memory>

namespace {

struct CountedJob : VfsServerJob
{
    std::atomic<int> *running = nullptr;
    std::atomic<int> *most = nullptr;
    std::atomic<bool> *hold = nullptr;

    void run() override
    {
        const int now = ++*running;
        int seen = most->load();
        while (now > seen && !most->compare_exchange_weak(seen, now)) {
        }
        while (hold && hold->load())
            QThread::usleep(100);
        if (!hold)
            QThread::usleep(200);   // long enough that a burst overlaps
        --*running;
        state = VfsServerJobReplyReady;
    }
};

} // namespace

class TestJobRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void burstsRunSpreadAndComeBackOnce()
    {
        QObject owner;
        VfsJobRunner runner(&owner);
        std::atomic<int> running{0}, most{0};
        std::vector<std::unique_ptr<CountedJob>> jobs(300);
        std::map<VfsServerJob *, int> ends;
        bool offThread = false;
        for (auto &job : jobs) {
            job.reset(new CountedJob);
            job->running = &running;
            job->most = &most;
            VfsServerJob *raw = job.get();
            job->ended = [&, raw] {
                ++ends[raw];
                offThread = offThread || QThread::currentThread() != owner.thread();
            };
        }
        // Bursts with pauses between them: the runner's threads run dry and must be woken.
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 100; ++i)
                runner.run(jobs[std::size_t(round * 100 + i)].get());
            QTRY_COMPARE_WITH_TIMEOUT(int(ends.size()), (round + 1) * 100, 20000);
            QTest::qWait(5);
        }
        for (const auto &end : ends)
            QCOMPARE(end.second, 1);
        QVERIFY(!offThread);
        QVERIFY2(most.load() > 1, "a burst ran on one thread only");
    }

    void waitsForWhatRunsAndHandsNothingBackAfter()
    {
        auto owner = std::make_unique<QObject>();
        auto runner = std::make_unique<VfsJobRunner>(owner.get());
        std::atomic<int> running{0}, most{0};
        std::atomic<bool> hold{true};
        CountedJob job;
        job.running = &running;
        job.most = &most;
        job.hold = &hold;
        int ends = 0;
        job.ended = [&] { ++ends; };
        runner->run(&job);
        QTRY_COMPARE(running.load(), 1);
        QThread *releaser = QThread::create([&] {
            QThread::msleep(50);
            hold = false;
        });
        releaser->start();
        runner->waitForAll();
        QCOMPARE(running.load(), 0);   // it returned before the wait did
        releaser->wait();
        delete releaser;
        QCoreApplication::processEvents();
        QCOMPARE(ends, 0);
        runner.reset();
        owner.reset();
    }
};

QTEST_GUILESS_MAIN(TestJobRunner)
#include "tst_jobrunner.moc"

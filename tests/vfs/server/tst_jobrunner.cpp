// The server's hand-over of jobs to the pool: bursts are spread over several threads, every
// job comes back exactly once on the server's thread, nothing comes back (or still runs)
// once the server waited for its jobs, and the lanes of several peers share the pool.

#include "vfs/server/vfsjoblane.h"
#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsserverjobs.h"

#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

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

// Peers, each with a runner and a lane of width 4 in one group, whose jobs wait in run()
// until let go; it notes which lane each job that starts is of.
class HeldLanes
{
public:
    explicit HeldLanes(int lanes)
    {
        for (int i = 0; i < lanes; ++i) {
            m_owners.emplace_back(new QObject);
            m_runners.emplace_back(new VfsJobRunner(m_owners.back().get()));
            m_lanes.emplace_back(new VfsJobLane(*m_runners.back(), 4, m_group));
        }
    }
    ~HeldLanes()
    {
        {
            // Once every job has run, no lane has work for which a thread could still start.
            std::unique_lock<std::mutex> lock(m_mutex);
            m_all = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_done == m_jobs.size(); });
        }
        for (auto &runner : m_runners)
            runner->waitForAll();
    }

    void add(int lane)
    {
        m_jobs.emplace_back(new Job);
        Job *job = m_jobs.back().get();
        job->owner = this;
        job->lane = lane;
        job->ended = [] {};
        job->state = VfsServerJobRunning;
        m_lanes[std::size_t(lane)]->add(job);
    }
    int running(int lane)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(std::count_if(m_running.begin(), m_running.end(), [&](const Job *job) { return job->lane == lane; }));
    }
    int running()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(m_running.size());
    }
    // Lets the job of `lane` go that started first (any lane: -1).
    void letGo(int lane = -1)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Job *job : m_running) {
            if (lane < 0 || job->lane == lane) {
                job->letGo = true;
                m_changed.notify_all();
                return;
            }
        }
    }
    std::vector<int> started()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_started;
    }

private:
    struct Job : VfsServerJob
    {
        HeldLanes *owner = nullptr;
        int lane = 0;
        bool letGo = false;
        void run() override { owner->hold(this); }
    };

    void hold(Job *job)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_started.push_back(job->lane);
        m_running.push_back(job);
        m_changed.wait(lock, [&] { return job->letGo || m_all; });
        m_running.erase(std::find(m_running.begin(), m_running.end(), job));
        ++m_done;
        m_changed.notify_all();
        job->state = VfsServerJobReplyReady;
    }

    VfsLaneGroup m_group;
    std::vector<std::unique_ptr<QObject>> m_owners;
    std::vector<std::unique_ptr<VfsJobRunner>> m_runners;
    std::vector<std::unique_ptr<VfsJobLane>> m_lanes;
    std::vector<std::unique_ptr<Job>> m_jobs;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Job *> m_running;
    std::vector<int> m_started;
    std::size_t m_done = 0;
    bool m_all = false;
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

    // The lanes of a group take one pool thread fewer than the pool has and share them: a
    // lane above its part gives its thread, once its job ends, to a lane that waits; one
    // thread to share passes from lane to lane job by job.
    void lanesShareThePool()
    {
        const int usual = QThreadPool::globalInstance()->maxThreadCount();
        const auto restore = qScopeGuard([&] { QThreadPool::globalInstance()->setMaxThreadCount(usual); });
        QThreadPool::globalInstance()->setMaxThreadCount(8);
        {
            HeldLanes held(3);
            for (int i = 0; i < 6; ++i)
                held.add(0);
            QTRY_COMPARE(held.running(0), 4);
            for (int i = 0; i < 6; ++i)
                held.add(1);
            QTRY_COMPARE(held.running(1), 3);
            held.add(2);
            held.add(2);
            // Three lanes with work, seven threads: two each.
            held.letGo(0);
            QTRY_COMPARE(held.running(2), 1);
            held.letGo(0);
            QTRY_COMPARE(held.running(2), 2);
            QCOMPARE(held.running(0), 2);
            QCOMPARE(held.running(), 7);
        }
        QThreadPool::globalInstance()->setMaxThreadCount(2);
        {
            HeldLanes held(2);
            for (int i = 0; i < 3; ++i)
                held.add(0);
            for (int i = 0; i < 3; ++i)
                held.add(1);
            for (int i = 1; i <= 6; ++i) {
                QTRY_COMPARE(int(held.started().size()), i);
                QCOMPARE(held.running(), 1);
                held.letGo();
            }
            QCOMPARE(held.started(), (std::vector<int>{0, 1, 0, 1, 0, 1}));
        }
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

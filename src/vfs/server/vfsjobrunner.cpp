#include "vfs/server/vfsjobrunner.h"

#include "vfs/server/vfsserverjobs.h"

#include <QPointer>
#include <QThreadPool>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

// How long the last pool thread of a runner waits for new work before it goes back to the
// pool. Requests of a busy peer come closer together than this; an idle server costs one
// such wait after its last job.
constexpr auto kLookForWork = std::chrono::microseconds(200);

} // namespace

struct VfsJobRunner::Shared
{
    QObject *owner = nullptr;   // written on the owner's thread under the lock; null once it is going

    std::mutex mutex;
    std::condition_variable allReturned;
    std::condition_variable workArrived;   // for the one lingering thread
    std::deque<std::function<void(const EndReport &)>> work;
    const EndReport reporter = [this](VfsServerJob *job) { report(job); };
    int threads = 0;              // pool threads working for this runner
    int looking = 0;              // of them, those between two pieces of work
    bool lingering = false;       // one of them waits on after the queue ran dry
    int unreturned = 0;           // pieces handed over that have not returned

    std::vector<VfsServerJob *> ended;
    bool handBackPosted = false;

    // Called with the lock held: whether the caller is to start one more pool thread (it was
    // counted in already).
    bool takeWake()
    {
        if (looking > 0 || threads >= QThreadPool::globalInstance()->maxThreadCount())
            return false;
        ++threads;
        ++looking;
        return true;
    }

    static void startThread(const std::shared_ptr<Shared> &shared)
    {
        QThreadPool::globalInstance()->start([shared] { shared->serve(); });
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (work.empty() && !lingering) {
                // Asleep rather than spinning: a spin takes a core from the very threads
                // whose work it waits for.
                lingering = true;
                workArrived.wait_for(lock, kLookForWork, [this] { return !work.empty(); });
                lingering = false;
            }
            if (work.empty()) {
                --looking;
                --threads;
                return;
            }
            std::function<void(const EndReport &)> next = std::move(work.front());
            work.pop_front();
            --looking;
            const bool wake = !work.empty() && takeWake();
            lock.unlock();
            if (wake)
                startThread(self.lock());
            next(reporter);
            next = nullptr;
            lock.lock();
            ++looking;
            if (--unreturned == 0)
                allReturned.notify_all();
        }
    }

    void report(VfsServerJob *job)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended.push_back(job);
        if (handBackPosted || !owner)
            return;
        handBackPosted = true;
        std::weak_ptr<Shared> weak = self;
        QMetaObject::invokeMethod(owner, [weak] {
            if (const auto shared = weak.lock())
                shared->handBack();
        }, Qt::QueuedConnection);
    }

    // On the owner's thread.
    void handBack()
    {
        std::vector<VfsServerJob *> jobs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.swap(ended);
            handBackPosted = false;
        }
        // An end may lead to the server's deletion; the rest are then its records no more.
        const QPointer<QObject> alive(owner);
        for (VfsServerJob *job : jobs) {
            if (!alive)
                return;
            job->ended();
        }
    }

    std::weak_ptr<Shared> self;
};

VfsJobRunner::VfsJobRunner(QObject *owner)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->owner = owner;
    m_shared->self = m_shared;
}

VfsJobRunner::~VfsJobRunner()
{
    waitForAll();
}

void VfsJobRunner::run(VfsServerJob *job)
{
    runWork([job](const EndReport &ended) {
        // Pairs with the server's store of the job's state: its request fields are seen complete.
        (void)job->state.load();
        job->run();
        ended(job);
    });
}

void VfsJobRunner::runWork(std::function<void(const EndReport &ended)> work)
{
    Shared *shared = m_shared.get();
    bool wake = false;
    bool lingering = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->work.push_back(std::move(work));
        ++shared->unreturned;
        wake = shared->takeWake();
        lingering = shared->lingering;
    }
    if (lingering)
        shared->workArrived.notify_one();
    if (wake)
        Shared::startThread(m_shared);
}

void VfsJobRunner::waitForAll()
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->allReturned.wait(lock, [this] { return m_shared->unreturned == 0; });
    m_shared->owner = nullptr;
    m_shared->ended.clear();
}

#include "vfs/server/vfsjoblane.h"

#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsserverjobs.h"

#include <deque>
#include <mutex>

struct VfsJobLane::Shared
{
    std::mutex mutex;
    std::deque<VfsServerJob *> waiting;
    int workers = 0; // pool threads taking the lane's jobs

    void work(const VfsJobRunner::EndReport &ended)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!waiting.empty()) {
            VfsServerJob *job = waiting.front();
            waiting.pop_front();
            lock.unlock();
            job->run();
            ended(job);
            lock.lock();
        }
        --workers;
    }
};

VfsJobLane::VfsJobLane(VfsJobRunner &runner, int width)
    : m_shared(std::make_shared<Shared>()), m_runner(runner), m_width(width)
{
}

void VfsJobLane::add(VfsServerJob *job)
{
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->waiting.push_back(job);
        if (m_shared->workers >= m_width)
            return;
        ++m_shared->workers;
    }
    const std::shared_ptr<Shared> shared = m_shared;
    m_runner.runWork([shared](const VfsJobRunner::EndReport &ended) { shared->work(ended); });
}

std::vector<VfsServerJob *> VfsJobLane::takeWaiting()
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    std::vector<VfsServerJob *> jobs(m_shared->waiting.begin(), m_shared->waiting.end());
    m_shared->waiting.clear();
    return jobs;
}

#include "vfs/server/vfsjoblane.h"

#include "vfs/server/vfsjobqueue.h"
#include "vfs/server/vfsjobrunner.h"

#include <QThreadPool>

#include <algorithm>

struct VfsLaneGroup::Lane
{
    Lane(VfsJobRunner &runner, int width, VfsJobLane::Kind kind) : runner(runner), width(std::max(1, width)), kind(kind)
    {
    }

    VfsJobRunner &runner;
    const int width;
    const VfsJobLane::Kind kind;
    // Under the group's lock.
    VfsJobQueue queue;
    int threads = 0;    // pool threads working for the lane, those on their way included
    int starting = 0;   // of them, those that have not looked at the queue yet

    bool busy() const { return threads > 0 || !queue.jobs.empty(); }
    // Whether a job waits that no thread of the lane is on its way to take.
    bool unclaimed() const { return int(queue.jobs.size()) > starting; }
};

VfsLaneGroup &VfsLaneGroup::deletes()
{
    static VfsLaneGroup group;
    return group;
}

int VfsLaneGroup::capacity()
{
    return std::max(1, QThreadPool::globalInstance()->maxThreadCount() - 1);
}

int VfsLaneGroup::longCapacity()
{
    return std::max(1, capacity() - 1);
}

bool VfsLaneGroup::hasRoomFor(const Lane &lane) const
{
    if (lane.kind == VfsJobLane::Long)
        return m_running < capacity() && m_runningLong < longCapacity();
    return m_running < capacity() || m_running == m_runningLong;
}

int VfsLaneGroup::part(const Lane &lane) const
{
    const auto busy = std::count_if(m_lanes.begin(), m_lanes.end(), [](const auto &l) { return l->busy(); });
    return std::min(lane.width, std::max(1, capacity() / std::max(1, int(busy))));
}

bool VfsLaneGroup::givesWay(const Lane &lane) const
{
    // Above the group's share: the quick lanes' own thread on a small pool.
    if (lane.threads > part(lane) || m_running > capacity())
        return true;
    if (m_running < capacity())
        return false;
    // No thread to spare: one passes to a lane that waits with fewer.
    return std::any_of(m_lanes.begin(), m_lanes.end(), [&](const auto &other) {
        return other.get() != &lane && other->unclaimed() && other->threads < lane.threads && other->threads < part(*other);
    });
}

void VfsLaneGroup::fill(const Lane *after)
{
    const std::size_t count = m_lanes.size();
    const auto at = std::find_if(m_lanes.begin(), m_lanes.end(), [after](const auto &l) { return l.get() == after; });
    std::size_t next = at == m_lanes.end() ? 0 : std::size_t(at - m_lanes.begin()) + 1;
    bool gave = true;
    while (gave) {
        gave = false;
        for (std::size_t i = 0; i < count && !gave; ++i) {
            const std::shared_ptr<Lane> &lane = m_lanes[(next + i) % count];
            if (!lane->unclaimed() || lane->threads >= part(*lane) || !hasRoomFor(*lane))
                continue;
            ++lane->threads;
            ++lane->starting;
            ++m_running;
            if (lane->kind == VfsJobLane::Long)
                ++m_runningLong;
            // Handed over with the lock held: a lane still in the group has a live runner.
            lane->runner.runWork([this, lane](const VfsJobRunner::EndReport &ended) { work(lane, ended); });
            next = (next + i + 1) % count;
            gave = true;
        }
    }
}

void VfsLaneGroup::work(const std::shared_ptr<Lane> &lane, const std::function<void(VfsServerJob *)> &ended)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    --lane->starting;
    lane->queue.drain(lock, ended, [&] { return !givesWay(*lane); }, [](VfsServerJob *) {});
    --lane->threads;
    --m_running;
    if (lane->kind == VfsJobLane::Long)
        --m_runningLong;
    fill(lane.get());
}

VfsJobLane::VfsJobLane(VfsJobRunner &runner, int width, VfsLaneGroup &group, Kind kind)
    : m_group(group), m_lane(std::make_shared<VfsLaneGroup::Lane>(runner, width, kind))
{
    std::lock_guard<std::mutex> lock(m_group.m_mutex);
    m_group.m_lanes.push_back(m_lane);
}

VfsJobLane::~VfsJobLane()
{
    std::lock_guard<std::mutex> lock(m_group.m_mutex);
    m_group.m_lanes.erase(std::remove(m_group.m_lanes.begin(), m_group.m_lanes.end(), m_lane), m_group.m_lanes.end());
    m_lane->queue.jobs.clear();
}

void VfsJobLane::add(VfsServerJob *job)
{
    std::lock_guard<std::mutex> lock(m_group.m_mutex);
    m_lane->queue.jobs.push_back(job);
    m_group.fill(m_lane.get());
}

std::vector<VfsServerJob *> VfsJobLane::takeWaiting()
{
    std::lock_guard<std::mutex> lock(m_group.m_mutex);
    std::deque<VfsServerJob *> &waiting = m_lane->queue.jobs;
    std::vector<VfsServerJob *> jobs(waiting.begin(), waiting.end());
    waiting.clear();
    return jobs;
}

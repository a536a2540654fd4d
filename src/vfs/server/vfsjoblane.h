#pragma once

// Jobs of one kind of one peer run on the pool through the peer's server's runner, in the
// order they came, at most `width` at once (VfsJobQueue: a thread that ends one takes the
// next itself).
//
// Every lane belongs to a group, the lanes of all peers that do the same kind of work (their
// deletes), and the group shares the pool between them: together they take at most one
// thread fewer than the pool has, so every peer's listings and reads still find one; a lane
// takes no more than an equal part of that while other lanes have work as well, and a thread
// of a lane above its part goes back once its job ends. Where more lanes have work than there
// are threads to share, a thread passes from lane to lane job by job.
//
// Lanes of long jobs (a folder removed with all it holds) keep a thread of the group for the
// quick ones (the deletes that end a move): together they take one thread fewer than the
// group, at least one; and the quick lanes may always have one thread among them, beyond the
// group's share on a pool too small to keep one otherwise. Such a thread goes back after each
// job, so that listings and reads that wait for the pool meanwhile come first.
//
// A lane lives on its server's thread; its queue is shared with the pool threads working for
// it, under the group's lock. A group outlives its lanes.

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class VfsJobRunner;
struct VfsServerJob;

class VfsLaneGroup
{
public:
    VfsLaneGroup() = default;
    VfsLaneGroup(const VfsLaneGroup &) = delete;
    VfsLaneGroup &operator=(const VfsLaneGroup &) = delete;

    // The deletes of every peer.
    static VfsLaneGroup &deletes();
    // Threads the group's lanes take at most, together: one fewer than the pool has, at least one.
    static int capacity();
    // Threads the group's long lanes take at most, together: one fewer again, at least one.
    static int longCapacity();

private:
    friend class VfsJobLane;
    struct Lane;

    // With the lock held: threads for lanes with waiting jobs, turn about from the lane
    // after `after` (a lane whose thread just went), while the group has threads to give.
    void fill(const Lane *after);
    // With the lock held: how many threads `lane` may have now.
    int part(const Lane &lane) const;
    // With the lock held: whether the group has a thread for `lane` now (its part aside).
    bool hasRoomFor(const Lane &lane) const;
    // With the lock held: whether a thread of `lane` that ended a job gives way.
    bool givesWay(const Lane &lane) const;
    // On a pool thread: the work of one thread of `lane`.
    void work(const std::shared_ptr<Lane> &lane, const std::function<void(VfsServerJob *)> &ended);

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Lane>> m_lanes;   // in the order they joined
    int m_running = 0;             // threads working for the group's lanes
    int m_runningLong = 0;         // of them, those of long lanes
};

class VfsJobLane
{
public:
    enum Kind { Quick, Long };

    VfsJobLane(VfsJobRunner &runner, int width, VfsLaneGroup &group, Kind kind = Quick);
    // The runner's work must have returned (VfsJobRunner::waitForAll).
    ~VfsJobLane();
    VfsJobLane(const VfsJobLane &) = delete;
    VfsJobLane &operator=(const VfsJobLane &) = delete;

    // Runs `job` (armed already) once a thread of the lane is free for it.
    void add(VfsServerJob *job);
    // Takes back the jobs that have not started, oldest first; they never run.
    std::vector<VfsServerJob *> takeWaiting();

private:
    VfsLaneGroup &m_group;
    std::shared_ptr<VfsLaneGroup::Lane> m_lane;
};

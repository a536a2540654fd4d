#pragma once

// Jobs of one kind run on the pool through a server's runner, at most `width` at once, in the
// order they came. A pool thread that ends one takes the next waiting one itself: a place
// that comes free is filled at once, not after a trip through the server's thread, which is
// busy with the peer's traffic. Each job still ends on the server's thread (VfsJobRunner).
//
// Lives on the server's thread; its queue is shared with the pool threads working for it.

#include <memory>
#include <vector>

class VfsJobRunner;
struct VfsServerJob;

class VfsJobLane
{
public:
    VfsJobLane(VfsJobRunner &runner, int width);
    VfsJobLane(const VfsJobLane &) = delete;
    VfsJobLane &operator=(const VfsJobLane &) = delete;

    // Runs `job` (armed already) once fewer than `width` of the lane's jobs run.
    void add(VfsServerJob *job);
    // Takes back the jobs that have not started, oldest first; they never run.
    std::vector<VfsServerJob *> takeWaiting();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    VfsJobRunner &m_runner;
    const int m_width;
};

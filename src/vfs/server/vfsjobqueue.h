#pragma once

// Jobs that pool threads take one after another: a thread that ends one takes the next
// itself, so a place that comes free is filled at once, not after a trip through the
// server's thread, which is busy with the peer's traffic. Each job still ends on the
// server's thread (VfsJobRunner). The blocks of one file (a strand) and a peer's deletes (a
// lane) are drained this way.
//
// The queue is guarded by a mutex its owner chooses and holds whenever it touches `jobs`.

#include "vfs/server/vfsjobrunner.h"
#include "vfs/server/vfsserverjobs.h"

#include <deque>
#include <mutex>

struct VfsJobQueue
{
    std::deque<VfsServerJob *> jobs;

    // Runs the jobs in order on the calling pool thread, each handed to `ended` once run,
    // until none is left or `goOn()` says to stop after one; `ran(job)` comes between a run
    // and its end. `lock` holds the queue's mutex on entry and on return, and while `goOn`
    // and `ran` are called; the jobs themselves run without it.
    template <typename GoOn, typename Ran>
    void drain(std::unique_lock<std::mutex> &lock, const VfsJobRunner::EndReport &ended, GoOn goOn, Ran ran)
    {
        while (!jobs.empty()) {
            VfsServerJob *job = jobs.front();
            jobs.pop_front();
            lock.unlock();
            // Pairs with the server's store of the job's state: its request fields are seen complete.
            (void)job->state.load();
            job->run();
            lock.lock();
            ran(job);
            lock.unlock();
            ended(job);
            lock.lock();
            if (!goOn())
                return;
        }
    }
};

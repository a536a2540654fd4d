#pragma once

// Runs a file server's work on the global thread pool and hands each job back to the
// server's thread once it has run. The runner lives on the server's thread; its queue is
// shared with the pool threads that work for it.
//
// Handing a job to a pool thread means waking that thread, and a wake-up is slow enough that
// it took a third of the server thread's time while a peer copied many small files. So the
// server wakes a pool thread only when none of its own is looking for work: a pool thread
// that takes a job while more wait wakes the next one itself, and the last one to run dry
// waits a moment for more before it goes back to the pool, as the next request usually comes
// within it. Jobs that ended meanwhile come back in one call on the server's thread.

#include <QObject>

#include <functional>
#include <memory>

struct VfsServerJob;

class VfsJobRunner
{
public:
    // `owner` is the server: ended jobs come back on its thread, through their `ended`.
    explicit VfsJobRunner(QObject *owner);
    // Waits until everything handed over has run (see waitForAll()).
    ~VfsJobRunner();
    VfsJobRunner(const VfsJobRunner &) = delete;
    VfsJobRunner &operator=(const VfsJobRunner &) = delete;

    // Runs job->run() on the pool, then job->ended() on the owner's thread.
    void run(VfsServerJob *job);
    // Runs `work` on the pool; it hands back each job it ran through `ended`, in order.
    using EndReport = std::function<void(VfsServerJob *)>;
    void runWork(std::function<void(const EndReport &ended)> work);
    // Blocks until all work handed over has returned; no end comes back after it. For the
    // owner's destructor, before it frees the job records.
    void waitForAll();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

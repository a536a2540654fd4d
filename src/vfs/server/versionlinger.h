#pragma once

// Files a versioned delete unlinked (versionguard.h), held a moment longer. A program that has
// had the file open since before the check (where it could only be watched: another account's
// file), or that looked its name up before the unlink and reaches it only once the lease is
// gone, is unseen until it acts, and what it writes once the delete has ended goes into a file
// without a name. So the delete answers at once, but the file it held and the watch on it
// stay here for a short grace: what is written meanwhile gets a name again, as the delete does
// for what it sees itself (the old name, or numbered beside it when a newer file took it, never
// in place of that file), once the writer let go of the file or has had a few seconds.
//
// Bounded: at most `capacity` files linger, the oldest let go early (its bytes named first when
// written) to make room; one inotify instance for all of them, one descriptor per file and one
// per folder they were in. One thread serves them, and only while files linger: waiting on the
// kernel for seconds has no place on the pool, whose threads answer the peers, nor on
// "ioThread", where the last close of a file can wait for its blocks to be freed.
//
// Made and destroyed on one thread, by the owner of the program's file servers (the first one
// made is the program's table); the rest from any thread. Destroying it lets go of every file,
// naming what was written.

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace versionguard {

class VersionWatch;

class LingeringFiles
{
public:
    struct Limits
    {
        // How long an unlinked file lingers. A program that had the file open writes it within
        // milliseconds of the delete (as a save does), or much later, when no bound would do.
        std::chrono::milliseconds grace{2000};
        // Once written: how long the writer has to let go of the file before what it wrote by
        // then is named (as the delete waits for a writer it saw).
        std::chrono::milliseconds writerWait{5000};
        // When full, the oldest quarter makes room at once (one wake-up of the thread for
        // their watches' removal, not one per file).
        int capacity = 64;
    };

    LingeringFiles();
    explicit LingeringFiles(const Limits &limits);
    ~LingeringFiles();
    LingeringFiles(const LingeringFiles &) = delete;
    LingeringFiles &operator=(const LingeringFiles &) = delete;

    // Takes over `fd` (the file just unlinked from `dirFd`, where it was `name`) to linger in
    // the program's table, watched from now on; a lease the caller held on it is let go of
    // only then. `watched`, if any, is the delete's own watch on it, whose last word is heard
    // here. False, `fd` (and its lease) still the caller's, where no table is made, the file
    // still has another name, or no watch could be had.
    static bool keep(int fd, int dirFd, const QByteArray &name, VersionWatch *watched);

    // Lets go of every file now, as at the end of its grace (naming what was written), and of
    // those the thread is letting go of: none is held once it returns.
    void letGoOfAll();
    int count() const;

private:
    struct Folder;
    struct Lingering;
    using Clock = std::chrono::steady_clock;

    // Each with m_mutex held.
    bool adopt(int fd, int dirFd, const QByteArray &name, VersionWatch *watched, std::vector<Lingering> *letGo);
    // Takes in what the kernel queued; whether a file is due now (written and let go of).
    bool hear(Clock::time_point now);
    void markWritten(Lingering *file, Clock::time_point now);
    Lingering takeOut(std::size_t at);
    // Without m_mutex: names what was written and closes.
    void finish(std::vector<Lingering> files);
    void serve();

    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::vector<Lingering> m_files; // oldest first
    int m_finishing = 0;            // taken out, not yet let go of
    int m_inotify = -1;
    int m_wake = -1;                // eventfd: wakes the thread
    Clock::time_point m_wakeAt = Clock::time_point::max(); // when the waiting thread wakes
    bool m_serving = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace versionguard

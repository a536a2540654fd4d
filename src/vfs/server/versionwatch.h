#pragma once

// What other programs do to one file while a delete holds it, as the kernel tells it (an
// inotify watch on the file itself, whatever its name by then): opens, writes, closes and
// changes of its attributes. Where a delete cannot lease the file, this is how it learns of a
// program that writes it after the look at its size and times, or that keeps both as they
// were; and, once the file is unlinked, of a program that reached it by the name it had
// before, whose bytes would otherwise end up in a file without a name.
//
// The kernel says only that a file was opened, not for what, and merges an event with one
// just like it before it: counts of opens and closes are a lower bound.
//
// The thread that made it, only. Each thread keeps one inotify instance for its watches
// while it lives: closing an instance that watched a file waits for the kernel to retire the
// watch (milliseconds), while removing the watch alone does not.

#include <chrono>
#include <functional>

struct inotify_event;

namespace versionguard {

// Every event the inotify instance `inotify` (non-blocking) has queued, in order.
void forEachEvent(int inotify, const std::function<void(const inotify_event &)> &hear);

class VersionWatch
{
public:
    // What programs did to the file since the last look.
    struct Use
    {
        int opens = 0;           // opened, for reading or writing
        int closes = 0;          // closed again, all descriptors for writing included
        bool writerClosed = false; // a descriptor open for writing was closed
        bool written = false;    // its bytes or its size changed
        bool attributes = false; // its times, mode, owner or number of names changed
        bool overflowed = false; // events were lost: anything may have happened
        bool reached() const { return opens || writerClosed || written || overflowed; }
    };

    VersionWatch() = default;
    ~VersionWatch();
    VersionWatch(const VersionWatch &) = delete;
    VersionWatch &operator=(const VersionWatch &) = delete;

    // Watches the file open as `fd` (a path-only descriptor will do) from now on; false when
    // the kernel will not (a file this user may not read, no watches left).
    bool start(int fd);
    bool watching() const { return m_watch >= 0; }
    // A write seen, and no close of a writer after it.
    bool writing() const { return m_writing; }

    // What happened since the last look or since start(), without waiting.
    Use look();
    // What happens from now on, until the programs seen with the file have let go of it:
    // every opener closed it again, the last writer its descriptor for writing, and, with
    // `opener`, one has opened it first (a program known to be on its way). Waits at most
    // until `deadline`; `waiting` runs before each wait.
    Use settle(bool opener, std::chrono::steady_clock::time_point deadline, void (*waiting)());

private:
    void read(Use *use);

    int m_inotify = -1;
    int m_watch = -1;       // the watch descriptor in m_inotify
    bool m_shared = false;  // m_inotify is the thread's own instance
    bool m_writing = false; // a write seen and no close of a writer after it
};

} // namespace versionguard

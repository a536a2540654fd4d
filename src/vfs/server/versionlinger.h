#pragma once

// Files a versioned delete took (versionguard.h), held a moment longer before they go. A
// program that has had the file open since before the check (where it could only be watched:
// another account's file), or that looked its name up before the delete and reaches it only
// once the lease is gone, is unseen until it acts, and what it writes once the delete has
// ended would go into a file without a name. So the delete answers at once, but the file stays
// under the private name it was set aside under (setaside.h), watched, for a short grace: what
// is written to it meanwhile gets its name back at once (or one numbered beside it, when a
// newer file took it, never in place of that file); what is not goes at the end.
//
// Named rather than held open, a lingering file costs no descriptor: only an inotify watch
// (one instance for all of them), and one descriptor per folder they are in. Bounded: at most
// `capacity` files and `folders` folders linger, the oldest let go early (unlinked, or named
// when written) to make room. A folder about to be removed lets go of its files first
// (endIn()). One thread serves them, and only while files linger: waiting on the kernel for
// seconds has no place on the pool, whose threads answer the peers, nor on "ioThread", where
// the last unlink of a file can wait for its blocks to be freed. Listings never show them
// (they are in hand); after a crash they are leftovers, which the next listing gives back.
//
// Made and destroyed on one thread, by the owner of the program's file servers (the first one
// made is the program's table); the rest from any thread. Destroying it lets go of every file,
// naming what was written.

#include "vfs/server/setaside.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace versionguard {

class VersionWatch;

class LingeringFiles
{
public:
    struct Limits
    {
        // How long a file lingers. A program that had the file open writes it within
        // milliseconds of the delete (as a save does), or much later, when no bound would do.
        std::chrono::milliseconds grace{2000};
        // Files lingering at once: each an inotify watch, of a budget of at least 8,192 per
        // user that other programs draw on too. A move's deletes come some thousand a second.
        int capacity = 2048;
        // Folders they are in, each held open.
        int folders = 64;
    };

    enum class Kept {
        Lingering, // the table has it now
        Reached,   // a program is at it already: it keeps its name (the caller gives it back)
        No,        // no table, another name holds it too, or no watch could be had
    };

    LingeringFiles();
    explicit LingeringFiles(const Limits &limits);
    ~LingeringFiles();
    LingeringFiles(const LingeringFiles &) = delete;
    LingeringFiles &operator=(const LingeringFiles &) = delete;

    // Takes over the entry `aside` holds (the checked version, open as `fd`, leased when
    // `leased`, else watched by `watched`) to linger in the program's table, watched from now
    // on. The caller lets go of the lease and of `fd` only afterwards: a program that waits
    // for the lease then opens the file seen. With anything but Lingering, `aside` is still
    // the caller's.
    static Kept keep(int fd, bool leased, VersionWatch *watched, setaside::SetAside &aside);

    // Before the folder `name` of `dirFd` is removed: its lingering files end now (what was
    // written keeps a name there). Whether any lingered in it.
    static bool endIn(int dirFd, const QByteArray &name);

    // Lets go of every file now, as at the end of its grace (naming what was written), and of
    // those the thread is letting go of: none is held once it returns.
    void letGoOfAll();
    int count() const;

private:
    struct Folder;
    struct Lingering;
    using Clock = std::chrono::steady_clock;
    using Files = std::list<Lingering>;

    // Each with m_mutex held.
    Kept adopt(int fd, bool leased, VersionWatch *watched, setaside::SetAside &aside, std::vector<Lingering> *letGo);
    std::shared_ptr<Folder> folderOf(int dirFd, std::vector<Lingering> *letGo);
    // Takes in what the kernel queued; whether a file is due now (written).
    bool hear();
    Lingering takeOut(Files::iterator at);
    // Without m_mutex: names what was written, unlinks the rest.
    void finish(std::vector<Lingering> files);
    void serve();

    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    Files m_files;                                   // oldest first
    std::unordered_map<int, Files::iterator> m_byWatch;
    std::vector<std::shared_ptr<Folder>> m_folders;  // those lingering files are in
    int m_finishing = 0;                             // taken out, not yet let go of
    int m_inotify = -1;
    int m_wake = -1;                                 // eventfd: wakes the thread
    Clock::time_point m_wakeAt = Clock::time_point::max(); // when the waiting thread wakes
    bool m_serving = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace versionguard

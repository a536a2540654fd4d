#pragma once

// Small files copied several at a time. Each new file takes four round trips, all of them
// shared with the other files in flight: both opens at once (the destination under its
// hidden name, new only, with the source's times, which the server sets when the write closes
// it), one read that closes the source at its end, one write that closes the destination,
// and the rename to the real name that never replaces. A destination that makes a file in
// one request (VfsClient::canPutFile) takes the open, write and rename as one, and such a
// source reads it whole in one: two round trips, the get and the put. Nothing is hashed: the
// destination held nothing, the read proves the source still ends where it was planned to,
// and the write proves the length.
//
// After a retry the lane also takes the files the job left unfinished when it failed, so
// that they too go many at a time: the hidden file of one the job was writing is removed
// first, and one the job may have finished (its last request went unanswered, or a cut came
// before the destination confirmed it) is read whole on both sides and kept when both are equal,
// or handed back.
//
// A file that meets anything else (a name that turned up meanwhile, a refusal, a timeout,
// a full disk, a source that grew, a copy that differs) is handed back once the handles it
// opened are closed and the hidden file it made is removed; the copy job then takes it
// through its one-file-at-a-time path, with every check and question that path has.
//
// Owned by its copy job and used on the job's thread only; each record's completion comes
// back through the job's `post`, like those of the block transfer.

#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfscopydto.h"

#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class VfsSmallFileLane
{
public:
    // Files in flight at once. 16 copies 4 KiB files on loopback about as fast as 32 and
    // twice as fast as 4; more only fills the server's queues.
    static constexpr int kFilesInFlight = 32;
    // Files of one block at most: their read and their write close the files.
    static constexpr quint64 kMaxSize = 64400;

    // What the destination held of a file when the job handed it over.
    enum Found {
        Nothing,        // neither name: the file is new
        OwnHidden,      // only the hidden file this job made, never finished: removed first
        MaybeFinished,  // under the real name, of the source's size and time, a file this job
                        // may have finished, or finished unconfirmed: compared with the source
                        // (needs getFile on both)
    };

    struct File
    {
        VfsCopyItem item;
        QString dstPath;  // the real name
        QString partPath; // the hidden name it is written under
        Found found = Nothing;
    };

    // What the lane tells its job; every call on the job's thread.
    struct Events
    {
        std::function<void(std::function<void()>)> post;
        std::function<void()> answered;                        // step again
        std::function<void(const File &)> started;             // a file is under way
        std::function<void(quint64)> writing;                  // bytes handed to the destination
        std::function<void(quint64)> written;                  // bytes the destination took
        std::function<void(const File &)> renaming;            // the rename to the real name leaves
        std::function<void(const File &, bool answered)> renamed; // the rename came back, or not
        std::function<void(const File &)> finished;            // complete under its real name
        // For the one-at-a-time path; `unanswered`: a request for it went without an answer.
        std::function<void(const File &, bool unanswered)> handedBack;
    };

    // Whether a file of `size` bytes may take this lane at all.
    static bool fits(quint64 size) { return size > 0 && size <= kMaxSize; }
    // Whether the lane can compare files the job may have finished between these two.
    static bool canCompare(const VfsClient *source, const VfsClient *destination);

    explicit VfsSmallFileLane(Events events);
    ~VfsSmallFileLane();
    VfsSmallFileLane(const VfsSmallFileLane &) = delete;
    VfsSmallFileLane &operator=(const VfsSmallFileLane &) = delete;

    // Starts the files; every record must be back.
    void begin(VfsClient *source, VfsClient *destination, std::vector<File> files);
    // Sends what can be sent and takes in what was answered; false once every file is
    // finished or handed back. Without `startNew`, files not under way yet wait.
    bool step(bool startNew = true);
    bool anyBusy() const;
    // Withdraws every record still out except opens and closes, which must be waited for
    // so that no handle stays open or is closed twice. With `all` those too (the job goes).
    void withdraw(bool all = false);
    // Closes what the lane holds open once no open is out; true when nothing is open.
    bool closeHandles();
    // Drops the files not finished (the job starts over); call once nothing is busy.
    void clear();

private:
    struct Slot;

    void startFile(Slot &slot);
    // The opens (or the get) of a file to be written.
    void sendOpens(Slot &slot);
    void stepSlot(Slot &slot);
    // Both sides of a file the job may have finished, read whole: equal, it is finished.
    void compare(Slot &slot);
    void handBack(Slot &slot);
    // Hands the file's bytes (in the slot's read buffer) to the destination.
    void sendData(Slot &slot, quint32 size);

    Events m_events;
    VfsClient *m_src = nullptr;
    VfsClient *m_dst = nullptr;
    bool m_put = false; // the destination takes each file in one request
    bool m_get = false; // the source gives each file in one request
    std::deque<File> m_queue;
    std::vector<std::unique_ptr<Slot>> m_slots;
};

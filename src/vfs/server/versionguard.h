#pragma once

// A delete that names one version of a file (the change time and inode the caller saw)
// acts on that version only. Another program may save a newer version under the same name
// at any moment: written under a temporary name and renamed over it, or written into the
// file itself (emptied and written again, as the shell's `>` does). A check of the name
// followed by an unlink or a move of the name would take the newer version. So the version
// is held from its check on, the name is moved away first (setaside.h), and only what was
// moved is looked at: the checked version, unchanged, goes; anything else gets its name back.
// What a program that had the file already writes after it went gets a name again, also for
// a short while after the delete answered, as the file lingers under its private name first
// (versionlinger.h).
//
// Any thread; a HeldVersion belongs to the thread that made it.

#include "vfs/server/versionlinger.h"
#include "vfs/server/versionwatch.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
#include <sys/types.h>

namespace versionguard {

// What the caller saw of the version it may delete; changeNs 0 names no version.
struct Version
{
    std::int64_t changeNs = 0; // ns since the epoch
    std::uint64_t inode = 0;
    bool given() const { return changeNs != 0; }
};

// The version the entry `name` of `dirFd` (the entry itself, never a link's target) is now,
// when it is `version`, held until destroyed: its inode number then names no other file.
//
// A regular file on a local file system is also held by a read lease where this user may
// take one (a file of its own): a program that opens it for writing meanwhile breaks the
// lease, and its open waits until the lease is let go. A file another program has open for
// writing cannot be leased and counts as changed. A local file this user may not lease (one
// of another account) is watched instead (versionwatch.h): a program that opens or writes it
// after the check is seen. Only a leased file is opened; anything else is held without an
// open, so that holding it starts no other program's lease break. A file of a network or
// FUSE file system (where a refusal of a lease says nothing of writers, and an open is a
// request to another machine or program) and one this user may not read are judged by
// their size and times alone, which misses only a writer that has not written yet.
class HeldVersion
{
public:
    HeldVersion(int dirFd, const QByteArray &name, const Version &version);
    ~HeldVersion();
    HeldVersion(const HeldVersion &) = delete;
    HeldVersion &operator=(const HeldVersion &) = delete;

    // 0 when held, else FSO_STATUS_CHANGED, FSO_STATUS_NOT_FOUND or FSO_STATUS_IO_ERROR.
    std::uint8_t status() const { return m_status; }
    // Whether the entry `name` of `dirFd` is the held version as it was checked: the same
    // inode, its size and modification time untouched (its change time moves with any
    // rename), and no program has opened it for writing since (where watched: opened at all,
    // written, or given other times or another mode).
    bool isIntact(int dirFd, const QByteArray &name) const;

    // The held version, intact and set aside as `aside`, handed to the program's table of
    // lingering files (versionlinger.h) instead of unlinked; a program already at it (waiting
    // on the lease, or seen by the watch) makes it Reached. Only a leased or watched file.
    LingeringFiles::Kept linger(setaside::SetAside &aside);

    // Once the held version was unlinked from `dirFd`, where it was `name`: a program that had
    // reached the file by that name before (waiting on the lease, or seen by the watch) may
    // have written it since, and the file now has no name. When one wrote, it is waited for
    // (at most a few seconds) and the file's bytes get a name again: `name`, or numbered
    // beside it when that is taken by now. 0 when none did, FSO_STATUS_CHANGED when the file
    // is back, FSO_STATUS_IO_ERROR when it could not be brought back (logged).
    std::uint8_t keepWhatReachedIt(int dirFd, const QByteArray &name);

private:
    int m_fd = -1;
    bool m_leased = false;
    mutable VersionWatch m_watch;
    std::uint8_t m_status = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_size = 0;
    std::int64_t m_modifyNs = 0;
};

// Unlinks `name` of `dirFd` (not a directory) when it is `version`: moved aside to a private
// name in the same folder first, unlinked only when what was moved is the version checked
// (where a table of lingering files takes it, once its grace has passed), else put back. FSO
// status: 0, FSO_STATUS_CHANGED, FSO_STATUS_NOT_FOUND, FSO_STATUS_IO_ERROR.
std::uint8_t unlinkVersion(int dirFd, const QByteArray &name, const Version &version);

// The bytes of the unlinked file held as `heldFd` (its mode and times too), named again in
// `dirFd`: `name`, or numbered beside it when a newer file took that name meanwhile. The name
// it got, empty when none (errno set).
QByteArray nameAgain(int dirFd, const QByteArray &name, int heldFd);

// Tests have no network or FUSE mount: the file system type of every held file reads as
// `type` (a statfs magic number); 0 reads the real one.
void setFileSystemTypeForTests(long type);

// Tests write into a file at these moments of unlinkVersion(): right before it is handed to
// the lingering files, right after the unlink, and each time the delete waits for a program
// that reached the file to let go of it. The hook runs on the deleting thread.
enum class Step { HandingOver, Unlinked, WaitingForWriters };
void setStepHookForTests(std::function<void(Step)> hook);
// How long a delete waits for such a program; a negative value restores the default.
void setWriterWaitForTests(std::chrono::milliseconds wait);

} // namespace versionguard

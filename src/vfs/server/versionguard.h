#pragma once

// A delete that names one version of a file (the change time and inode the caller saw)
// acts on that version only. Another program may save a newer version under the same name
// at any moment (written under a temporary name, renamed over): a check of the name followed
// by an unlink or a move of the name would take the newer version. So the inode that was
// checked is held open, the name is moved away first, and only what was moved is looked at:
// the checked inode goes; anything else gets its name back.

#include <QByteArray>

#include <cstdint>

namespace versionguard {

// What the caller saw of the version it may delete; changeNs 0 names no version.
struct Version
{
    std::int64_t changeNs = 0; // ns since the epoch
    std::uint64_t inode = 0;
    bool given() const { return changeNs != 0; }
};

// Holds the inode `name` of `dirFd` leads to now (the entry itself, never a link's target)
// when it is `version`: a descriptor (the caller closes it), or -1 with *status set
// (FSO_STATUS_CHANGED, FSO_STATUS_NOT_FOUND, FSO_STATUS_IO_ERROR). While it is held, its
// inode number names no other file, so isHeld tells whether a name still leads to it.
int holdVersion(int dirFd, const QByteArray &name, const Version &version, std::uint8_t *status);

// Whether the entry `name` of `dirFd` is the inode held open as `heldFd`.
bool isHeld(int heldFd, int dirFd, const QByteArray &name);

// Moves without ever replacing what is at the target: another program may have put an
// item there since we looked. 1 done, 0 target exists, -1 failed (errno set).
int renameNoReplace(int fromDir, const QByteArray &from, int toDir, const QByteArray &to);

// `name` cut to at most `limit` bytes (never inside a UTF-8 sequence) for attempt 1, and
// numbered before its extension for later attempts ("report.2.txt").
QByteArray numberedName(const QByteArray &name, int attempt, int limit);

// Gives the entry `from` of `fromDir` the name `name` in `toDir` again, never in place of an
// entry that took that name meanwhile: then it keeps a numbered name beside it. The name it
// has now in `toDir`, or empty when it stayed where it was (logged).
QByteArray putBack(int fromDir, const QByteArray &from, int toDir, const QByteArray &name);

// Unlinks `name` of `dirFd` (not a directory) when it is `version`: moved aside to a private
// name in the same folder first, unlinked only when what was moved is the version checked,
// else put back. FSO status: 0, FSO_STATUS_CHANGED, FSO_STATUS_NOT_FOUND, FSO_STATUS_IO_ERROR.
std::uint8_t unlinkVersion(int dirFd, const QByteArray &name, const Version &version);

} // namespace versionguard

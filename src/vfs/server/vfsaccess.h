#pragma once

// Access rules of the file server: how a request path becomes a local path, which access
// entry covers it, and whether a remote peer may reach it.
//
// A remote peer's paths are untrusted. Paths and selectors are cleaned the same way before
// anything compares them: no "." or ".." parts, no empty parts, no NUL, absolute. A selector
// covers its own path and, with the sub-paths flag, whatever lies below it at a "/" boundary,
// so "/srv/data" never grants "/srv/database". Symbolic links are resolved before the final
// decision: the real path must lie inside the real path of the selector that granted it.

#include "db/dto.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

namespace vfsaccess {

enum AclFlag : std::uint32_t {
    AclRead = 0x1,
    AclWrite = 0x2,
    AclSubPaths = 0x4,
    AclDrive = 0x8,
};

// The virtual root that lists what this computer shares with a peer.
QString sharesRoot();   // "%shares"
QString drivesRoot();   // "%drives"

// Cleans a local absolute path: a single trailing "/" is dropped ("/" stays "/"); false for
// a relative or empty path, an empty part ("a//b"), a "." or ".." part, or a NUL.
bool cleanPath(const QString &path, QString *cleaned);

// The same for raw UTF-8 bytes from the wire (a NUL inside the bytes fails).
bool cleanWirePath(const std::string &bytes, QString *cleaned);

// Whether the path is "%shares" or below it (the first part is exactly "%shares").
bool isSharesPath(const QString &path);

// Whether `path` is `base` itself or lies below it at a "/" boundary. Both are clean.
bool isSameOrBelow(const QString &base, const QString &path);

// The parent of a clean path ("/a/b" -> "/a", "/a" -> "/", "%shares/x" -> "%shares").
QString parentPath(const QString &path);

// Index of the entry that covers a clean path, or -1: the first entry whose cleaned
// selector equals the path; unless exactOnly, else the sub-paths entry with the longest
// selector the path lies below (the first of equally long ones). Selectors that don't
// clean never match.
int findAclEntry(const std::vector<PeerAclDto> &entries, const QString &path, bool exactOnly);

// The real path of a clean absolute path. With followLast the last component is resolved
// too; without it only its parent is, and the name is appended as it stands (an operation
// on a symbolic link itself). When the path does not exist yet, the deepest existing
// ancestor is resolved and the missing parts appended. False when a link on the way is
// dangling or cannot be resolved.
bool resolveRealPath(const QString &path, bool followLast, QString *real);

// The real path of an open descriptor (from /proc/self/fd); false when it cannot be told.
bool descriptorPath(int fd, QString *real);

// A path that reaches `name` inside the directory open as `dirFd`, whatever has become of
// the path that directory was opened by: "/proc/self/fd/<dirFd>/<name>".
QByteArray anchoredPath(int dirFd, const QByteArray &name);

// Opens the parent directory of a clean absolute path (following links) for work on its
// last part; the last part goes to *name. -1 on failure (errno set).
int openParentDirectory(const QString &path, QByteArray *name);

enum class LinkMode {
    FollowLast,   // the request works on what the path points to (open, list, make)
    NoFollowLast, // the request works on the directory entry itself (delete, move)
};

// Result of mapping a request path.
struct MappedPath
{
    std::uint8_t status = 0; // 0, or an FSO status (2 malformed, 3 unknown share)
    QString requested;       // the cleaned request path, as the peer sees it
    QString local;           // the local path it names; empty for "%shares" itself
    bool sharesRoot = false; // the request named "%shares" itself
};

class VfsAccessRules
{
public:
    VfsAccessRules() = default;
    VfsAccessRules(bool isLocal, std::vector<PeerAclDto> entries);

    bool isLocal() const { return m_local; }
    const std::vector<PeerAclDto> &entries() const { return m_entries; }

    // Cleans a request path and maps "%shares/{uuid}/..." onto the entry's selector.
    MappedPath mapRequestPath(const std::string &bytes) const;
    MappedPath mapRequestPath(const QString &path) const;

    // 0 when the peer may do what `required` (AclRead / AclWrite bits, 0 for "covered
    // at all") asks on a clean local path, else 4. Local mode allows everything. For a
    // remote peer the covering entry must hold the flags and the real path must lie
    // inside the entry's real selector. entryIndex receives the covering entry (or -1).
    std::uint8_t check(const QString &localPath, std::uint32_t required, LinkMode mode,
                       bool exactOnly = false, int *entryIndex = nullptr) const;

    // The second half of check(), for what has been opened meanwhile: whether `real`, the
    // real path of what was opened for `localPath`, lies inside the real selector of the
    // entry that covers localPath. Names can be swapped for links between a check and the
    // open that follows it; a descriptor cannot. Always true in local mode.
    bool insideEntry(const QString &localPath, const QString &real) const;
    // insideEntry for an open descriptor, and for an entry `name` of an open directory.
    bool descriptorInside(const QString &localPath, int fd) const;
    bool entryInside(const QString &localPath, int dirFd, const QByteArray &name) const;

    // Whether a remote peer's delete or move of `localPath` would take a shared item's root
    // with it: the path is a selector itself or lies above one (by name or by real path).
    bool holdsShareRoot(const QString &localPath) const;

    // Whether a remote peer may not set the mode of the file open as `fd` (O_PATH will do):
    // the root of an item shared with any peer (PublishedShares), or a folder holding one; a
    // mode of 0000 would end that share as surely as a delete. Roots and the folders they lie
    // in are known by the files themselves (device and inode), whichever name, hard link or
    // mount the peer reaches them by.
    bool modeProtected(int fd) const;

    // Whether a change of this path (as the peer knows it) may be told to the peer: the
    // virtual roots, and paths an entry covers (a "%shares" path by the folder it names).
    bool mayNotify(const QString &path) const;

    // The "%shares" paths by which the peer reaches a local folder, one per shared item
    // (not whole drives) that holds it; none unless the peer's entries cover the folder, as
    // for a change told by its own path. A peer that lists a share watches the folder
    // behind it, and its changes are told by these names.
    QStringList sharePathsOf(const QString &localPath) const;

private:
    bool m_local = true;
    std::vector<PeerAclDto> m_entries;
};

// The items shared with every peer, for the checks that keep all their roots, not only those
// of the peer asking: each peer's server publishes its access entries while it lives.
// Any thread.
class PublishedShares
{
public:
    PublishedShares() = default;
    ~PublishedShares();
    PublishedShares(const PublishedShares &) = delete;
    PublishedShares &operator=(const PublishedShares &) = delete;

    // Replaces what this object published.
    void publish(const std::vector<PeerAclDto> &entries);
    // The cleaned selectors of every entry published now, each once.
    static QStringList roots();
};

} // namespace vfsaccess

#pragma once

// The local drive list: on this platform a "drive" is a mounted file system from the
// mount table (/proc/self/mountinfo), with its size from statvfs, its label from
// /dev/disk/by-label and its kind from sysfs. The parsing works on text, and the system
// look-ups go through DriveSystem, so both can be fed from fixtures.

#include <QByteArray>
#include <QHash>
#include <QMetaType>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum DriveType : std::uint8_t {
    DriveTypeFixed = 0,     // internal disk or anything else
    DriveTypeRemovable = 1, // USB stick, card, optical disc
    DriveTypeNetwork = 2,   // NFS, SMB, sshfs and the like
};

// One local drive as served by LIST_DRIVES; the wire order of the fields is leading byte,
// type, plugType, state, bytesTotal, bytesAvailable, path, name.
struct DriveCache
{
    std::uint8_t leadingByte = 1;
    std::uint8_t type = DriveTypeFixed;
    std::uint8_t plugType = 0;
    std::uint8_t state = 0;
    std::uint64_t bytesTotal = 0;     // 0 when unknown
    std::uint64_t bytesAvailable = 0; // free for the calling user, 0 when unknown
    QByteArray name;                  // UTF-8: the label, or the mount source of a network drive
    QByteArray path;                  // UTF-8: the mount point, e.g. "/" or "/media/usb"

    bool operator==(const DriveCache &o) const
    {
        return leadingByte == o.leadingByte && type == o.type && plugType == o.plugType
               && state == o.state && bytesTotal == o.bytesTotal
               && bytesAvailable == o.bytesAvailable && name == o.name && path == o.path;
    }
    bool operator!=(const DriveCache &o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(DriveCache)

// Bytes one drive record takes in a LIST_DRIVES reply (four u8, two u64, two strings), so
// that the server can tell how many records fit in its 2048-byte reply.
std::size_t driveRecordWireSize(const DriveCache &drive);

namespace drives {

// One line of /proc/<pid>/mountinfo, with the octal escapes (\040 and the like) undone.
struct MountEntry
{
    int mountId = -1;
    int parentId = -1;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    QByteArray root;       // path inside the file system that this mount shows
    QByteArray mountPoint; // where it is mounted
    QByteArray fsType;     // "ext4", "nfs4", "fuse.sshfs", ...
    QByteArray source;     // "/dev/sda1", "server:/export", "//host/share", ...
};

// Undoes the kernel's octal escapes of space, tab, newline and backslash ("\040" -> " ").
QByteArray unescapeMountField(const QByteArray &field);

// Parses mountinfo text; malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(const QByteArray &text);

bool isPseudoFileSystem(const QByteArray &fsType);
bool isNetworkFileSystem(const QByteArray &fsType);
bool isOpticalFileSystem(const QByteArray &fsType);

// The system look-ups behind a drive record. The default implementation asks the running
// system; tests substitute their own.
class DriveSystem
{
public:
    virtual ~DriveSystem();
    // Total and available bytes of the mounted file system; false when it cannot be read.
    virtual bool space(const QByteArray &mountPoint, std::uint64_t *total,
                       std::uint64_t *available) const;
    // False for mounts that are no directory (files bind-mounted into a container).
    virtual bool isDirectory(const QByteArray &mountPoint) const;
    // Whether the device behind the mount is hot-pluggable (sysfs "removable", or on USB).
    virtual bool isRemovable(const MountEntry &mount) const;
    // The file system label from /dev/disk/by-label, raw bytes; empty when there is none.
    virtual QByteArray label(const MountEntry &mount) const;
    // The user's home directory (raw bytes); its mount is listed right after "/".
    virtual QByteArray homeDirectory() const;

private:
    struct MountProbe
    {
        bool answered = false; // false: the mount did not answer in time
        bool statOk = false;
        bool isDirectory = false;
        bool spaceOk = false;
        std::uint64_t total = 0;
        std::uint64_t available = 0;
    };
    const MountProbe &probe(const QByteArray &mountPoint) const;

    mutable bool m_labelsRead = false;
    mutable QHash<quint64, QByteArray> m_labels; // device number -> label
    mutable QHash<QByteArray, MountProbe> m_probes; // mount point -> what it answered
};

enum class BoundedResult {
    Done,     // the work finished in time
    TimedOut, // still running; it finishes (or hangs) on its own thread
    Busy,     // an earlier run under the same key has not finished yet; nothing was started
};

// Runs work that may hang for good (stat or statvfs of a dead network mount) on a thread of
// its own and waits at most timeoutMs for it. The work must own everything it touches, as
// it can outlive the caller. One run per key at a time, so a mount that never answers holds
// one thread, not one per drive read.
BoundedResult runBounded(const QByteArray &key, std::function<void()> work, int timeoutMs);

// The drives of a mount table: pseudo file systems, hidden system mounts, mounts that are
// hidden under a later mount at the same place and duplicate bind mounts are left out;
// "/" comes first, the home directory's mount second, then the others in table order.
std::vector<DriveCache> drivesFromMountInfo(const QByteArray &mountInfo, const DriveSystem &system);

// The drives of this computer, read from /proc/self/mountinfo. Blocks as long as a
// network mount does not answer, so never call it on the GUI thread.
std::vector<DriveCache> readLocalDrives();

// The entry of the mount that holds an absolute path (the longest mount point that is a
// prefix of it); mountId -1 when none matches.
MountEntry mountOfPath(const std::vector<MountEntry> &mounts, const QByteArray &path);

} // namespace drives

#pragma once

// The decoded form of one FSO message (request, reply or notification) and of one entry of
// a directory listing.
//
// VfsFenuCommandParser::processCommand resets every field before it decodes a message, so
// a field the message does not carry is always 0 / empty, never a value of an earlier
// message. Strings are the raw UTF-8 bytes from the wire, already checked against the
// protocol's limits.

#include "vfs/fso/fsoprotocol.h"

#include <QMetaType>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// An attribute set: a u16 mask, then one u32 value per set bit from bit 0 upwards. Values
// of clear bits are 0. In this protocol the mask is 0 or 1, and value 0 is itself a set of
// FSO_ATTR_* bits.
struct FsoAttributes
{
    std::uint16_t mask = 0;
    std::array<std::uint32_t, 16> values{};

    std::uint32_t value0() const { return (mask & 1) ? values[0] : 0; }
    bool has(std::uint32_t attributeBit) const { return (value0() & attributeBit) != 0; }
    void set(std::uint32_t attributeBits) { mask = attributeBits ? 1 : 0; values = {}; values[0] = attributeBits; }
    void clear() { mask = 0; values = {}; }
};

// One drive record of a LIST_DRIVES reply, as on the wire.
struct FsoDriveRecord
{
    std::uint8_t lead = 0;      // always 1 from our server; ignored
    std::uint8_t type = 0;
    std::uint8_t plugType = 0;
    std::uint8_t state = 0;
    std::uint64_t bytesTotal = 0;
    std::uint64_t bytesAvailable = 0;
    std::string path;           // e.g. "C:\" or "/"
    std::string name;
};

struct VfsFenuCommand
{
    // header
    std::uint32_t length = 0;   // as written by the sender; not checked
    std::uint8_t msgClass = 0;  // FSO_CLASS_REQUEST / FSO_CLASS_REPLY; not checked by the parser
    std::uint8_t code = 0;
    std::uint16_t trId = 0;

    // body; which fields a code uses:
    //   0x0A LIST_DIRECTORY          flags, attributes, path
    //   0x8A  reply                  status, flags, attributes, volumeSerial (0 when absent)
    //   0x0B QUERY_LIST_DIRECTORY    index
    //   0x8B  reply                  status, index, count, entryBlock (count 0 and empty
    //                                block when the block was empty or over 65534 bytes)
    //   0x0C LIST_DRIVES             flags, index, reserved
    //   0x8C  reply                  status, index, reserved, count (= drives.size()), drives
    //   0x0F MOVE                    flags, path (source), destination
    //   0x8F  reply                  status
    //   0x10 OPEN_FILE               flags, attributes, accessTime, birthTime, modifyTime,
    //                                size, path, permissions (optional, see below)
    //   0x90 / 0x95 replies          status, handle
    //   0x15 CLOSE_FILE              flags, handle
    //   0x11 READ_FILE               flags (u8), handle, offset, dataSize (wanted)
    //   0x91  reply                  status, flags (u8), offset, dataSize, data
    //   0x12 WRITE_FILE              flags (u8), handle, offset, dataSize, data
    //   0x92  reply                  status, flags (u8), offset, dataSize (bytes written)
    //   0x13 DELETE_FILE             flags, path, expected change stamp (optional)
    //   0x93  reply                  status, path
    //   0x18 DIRECTORY_CHANGED       flags, path
    //   0x19 SYNC                    flags, path
    //   0x99  reply                  status
    //   0x1A PUT_FILE                flags (0), accessTime, modifyTime (0: none), path (the
    //                                real name), destination (the hidden name it is built
    //                                under), dataSize, data, permissions (optional)
    //   0x9A  reply                  status
    //   0x1B GET_FILE                flags (0), path, dataSize (at most this much)
    //   0x9B  reply                  status, dataSize, data
    //   0x14 MAKE_DIRECTORY          flags, attributes, path
    //   0x94  reply                  status, detail
    //   0x16 HASH_FILE               flags (u8), handle, blockCount, dataSize (block size), offset
    //   0x96  reply                  status, flags (u8), count (n), dataSize (digest bytes), data
    // READ/WRITE data and HASH digests: dataSize is stored as received; data holds the bytes
    // only when 1 <= dataSize <= 64400, else it is empty.
    std::uint8_t status = 0;
    std::uint32_t flags = 0;
    FsoAttributes attributes;
    std::uint64_t volumeSerial = 0;
    std::uint32_t index = 0;
    std::uint16_t count = 0;
    std::uint16_t reserved = 0;
    std::uint16_t handle = 0;
    std::uint16_t blockCount = 0;
    std::uint32_t detail = 0;
    std::uint32_t dataSize = 0;
    std::uint64_t offset = 0;
    std::int64_t accessTime = 0;
    std::int64_t birthTime = 0;
    std::int64_t modifyTime = 0;
    std::uint64_t size = 0;
    std::string path;           // at most FSO_MAX_PATH bytes
    // OPEN_FILE: permission bits (07777) for the file or folder, applied with its times or,
    // for a write, when it closes; -1 when the request carries none. A u16 after the path:
    // a server that predates it ignores it as trailing bytes.
    std::int32_t permissions = -1;
    // DELETE_FILE: the change stamp (change time ns, inode) of the only version of a file
    // that may be deleted; 0 when any may. Trailing, so a server that predates it deletes
    // as it always did.
    std::int64_t expectChangeNs = 0;
    std::uint64_t expectInode = 0;
    std::string destination;    // MOVE only
    std::vector<std::uint8_t> entryBlock; // still encoded entries of one page
    std::vector<std::uint8_t> data;
    // Where the block starts in `data`: 0, or past the fields when the record took the whole
    // message instead of a copy of its block (decodeFsoCommandTaking).
    std::size_t dataAt = 0;
    std::vector<FsoDriveRecord> drives;  // at most FSO_MAX_DRIVES

    // Clears every field; buffers keep their capacity so a reused record doesn't reallocate.
    void reset()
    {
        length = 0; msgClass = 0; code = 0; trId = 0;
        status = 0; flags = 0; attributes.clear(); volumeSerial = 0; index = 0; count = 0;
        reserved = 0; handle = 0; blockCount = 0; detail = 0; dataSize = 0; offset = 0;
        accessTime = 0; birthTime = 0; modifyTime = 0; size = 0; permissions = -1;
        expectChangeNs = 0; expectInode = 0; dataAt = 0;
        path.clear(); destination.clear(); entryBlock.clear(); data.clear(); drives.clear();
    }
};

// Where an FSO client or server hands its encoded messages when it is given one instead of
// emitting fsoTransmit: the message is moved along, so a 64 KB block is not copied on its
// way to the link or to this computer's own server (a signal's argument is copied once for
// each receiver, and twice when queued).
using FsoTransmitter = std::function<void(std::vector<unsigned char> &&message)>;

// One decoded entry of a listing page. Attributes the listing was not granted stay 0/empty.
struct VfsDirectoryEntry
{
    std::uint8_t hidden = 0;         // bit 0x80 of the wire type byte
    std::uint8_t type = 0;           // FSO_ENTRY_*: 1 file, 2 directory, 3 link, 8 share, 0 other
    QString name;
    QString linkTarget;
    std::uint8_t linkTargetType = 0; // same codes as type, 0..7
    std::uint64_t size = 0;
    std::int64_t accessTime = 0;     // ms since 1970-01-01 UTC
    std::int64_t birthTime = 0;
    std::int64_t modifyTime = 0;
    std::uint16_t mode = 0;
    std::uint64_t fileIndex = 0;
    std::uint32_t linkCount = 0;
    std::int32_t permissions = -1;   // 07777 bits; -1 when not granted
    std::int64_t changeTimeNs = 0;   // with the inode: 0 when not granted
    std::uint64_t inode = 0;
};

Q_DECLARE_METATYPE(VfsDirectoryEntry)
Q_DECLARE_METATYPE(const VfsFenuCommand *)

#pragma once

// What the parts of the copy job share: its texts and how it reads a listing entry. Only
// the copy job's own files include this.

#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsfenucommand.h"
#include "vfs/fso/vfsmessage.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfscopyjob.h"

#include <QString>

#include <cstdint>

namespace vfscopy {
using vfstext::message;

inline int itemTypeOf(const VfsDirectoryEntry &entry)
{
    std::uint8_t type = entry.type;
    if (type == FSO_ENTRY_SHARE)
        type = entry.linkTargetType == FSO_WIRE_TYPE_DIRECTORY ? FSO_ENTRY_DIRECTORY
               : entry.linkTargetType == FSO_WIRE_TYPE_FILE    ? FSO_ENTRY_FILE
                                                               : entry.linkTargetType;
    switch (type) {
    case FSO_ENTRY_FILE: return VfsCopyItem::FileType;
    case FSO_ENTRY_DIRECTORY: return VfsCopyItem::DirectoryType;
    case FSO_ENTRY_LINK: return VfsCopyItem::SymlinkType;
    default: return VfsCopyItem::NoType;
    }
}

// What a listing says about an item: its type, size, times and identity.
inline void takeListingEntry(VfsCopyItem &item, const VfsDirectoryEntry &e, quint64 volume)
{
    item.type = itemTypeOf(e);
    vfsTakeListingEntry(item, e, volume);
}

inline VfsCopyDestinationEntry destinationEntryOf(const VfsDirectoryEntry &entry)
{
    VfsCopyDestinationEntry d;
    d.type = itemTypeOf(entry);
    d.size = entry.size;
    d.mtime = entry.modifyTime;
    d.fileId = entry.fileIndex;
    d.links = entry.linkCount;
    d.changeNs = entry.changeTimeNs;
    d.inode = entry.inode;
    d.permissions = entry.permissions;
    return d;
}

// Planned listings of the start: refresh the items from their folders, read the destination
// folder, learn the identity of both folders, and the names of the shares the texts may name.
enum StartListingKind {
    ListSourceParent = 0,
    ListDestination = 1,
    ListIdentity = 2,
    ListSourceShares = 3,
    ListDestinationShares = 4,
};

} // namespace vfscopy

#pragma once

// One fuzz input: decoded as an FSO message in every protocol version; what decodes must
// encode again and decode to the same code, and a listing page's entries are read the way
// the client reads them. Anything else than a clean refusal aborts.

#include "vfs/fso/vfsfenucommandparser.h"

#include <cstdlib>

inline void fuzzFsoMessage(const std::uint8_t *data, std::size_t size)
{
    VfsFenuCommand cmd;
    for (unsigned version = 1; version <= 3; ++version) {
        if (!decodeFsoCommand(data, size, cmd, version))
            continue;
        if (cmd.path.size() > FSO_MAX_PATH || cmd.destination.size() > FSO_MAX_PATH
            || cmd.drives.size() > FSO_MAX_DRIVES || cmd.entryBlock.size() > FSO_MAX_ENTRY_BLOCK
            || cmd.data.size() > FSO_MAX_DATA)
            std::abort();
        std::vector<std::uint8_t> again;
        if (encodeFsoMessage(cmd, version, again)) {
            VfsFenuCommand back;
            if (!decodeFsoCommand(again.data(), again.size(), back, version) || back.code != cmd.code)
                std::abort();
        }
        if (cmd.code == FSO_QUERY_LIST_DIRECTORY_REPLY) {
            for (std::uint32_t granted : {FSO_ATTR_ALL, FSO_ATTR_TYPE, 0u}) {
                com::TermStreamReader reader(cmd.entryBlock);
                for (unsigned i = 0; i < cmd.count && !reader.failed(); ++i) {
                    VfsDirectoryEntry entry;
                    if (!readDirectoryEntry(reader, granted, entry))
                        break;
                    isSafeEntryName(entry.name);
                }
            }
        }
    }
}

#pragma once

// One drive of a peer as the FSO client delivers it from a LIST_DRIVES reply.

#include "app/base/datasize.h"

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <vector>

struct VfsDrive
{
    std::uint16_t trId = 0;   // TrId of the reply that delivered it; not compared
    std::uint8_t type = 0;    // 0 fixed, 1 removable or optical (hot-plug), 2 network share
    std::uint8_t plugType = 0;
    std::uint8_t state = 0;
    QString name;             // volume label, or the UNC name of a network drive
    QString path;             // root without trailing backslashes: "C:\" arrives as "C:"
    std::uint64_t bytesAvailable = 0;
    std::uint64_t bytesTotal = 0;

    bool operator==(const VfsDrive &other) const
    {
        return name == other.name && path == other.path && type == other.type
               && plugType == other.plugType && state == other.state
               && bytesAvailable == other.bytesAvailable && bytesTotal == other.bytesTotal;
    }
    bool operator!=(const VfsDrive &other) const { return !(*this == other); }

    // Total bytes in SI units (powers of 1000), no decimals, in the default locale.
    QString totalSizeString() const
    {
        return formatDataSize(bytesTotal, 0);
    }
};

Q_DECLARE_METATYPE(VfsDrive)

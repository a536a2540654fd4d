#include "vfs/fso/vfsfenucommandparser.h"

#include "app/base/log.h"

#include <QDataStream>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>

using com::TermStreamReader;
using com::TermStreamWriter;

namespace {

std::atomic<int> g_parserSerial{0};

// Paths in requests and replies: a longer one makes the message undecodable.
bool readPath(TermStreamReader &reader, std::string &path)
{
    return reader.readString(path, FSO_MAX_PATH) == com::TermOk;
}

// A data or digest block: the size is kept as received; the bytes only within the limit.
void readDataBlock(TermStreamReader &reader, VfsFenuCommand &cmd)
{
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (reader.readBlobRef(bytes, length) != com::TermOk)
        return;
    cmd.dataSize = static_cast<std::uint32_t>(length);
    if (length >= 1 && length <= FSO_MAX_DATA)
        cmd.data.assign(bytes, bytes + length);
}

// The wire numbers directories 1 and files 2, the decoded records the other way round; the
// same swap goes either way.
std::uint8_t swapEntryType(std::uint8_t type)
{
    if (type == FSO_WIRE_TYPE_DIRECTORY)
        return FSO_WIRE_TYPE_FILE;
    if (type == FSO_WIRE_TYPE_FILE)
        return FSO_WIRE_TYPE_DIRECTORY;
    return type > 8 ? 0 : type;
}

bool carriesLinkTarget(std::uint8_t type, std::uint32_t granted)
{
    return (type == FSO_ENTRY_LINK || type == FSO_ENTRY_SHARE)
           && (granted & FSO_ATTR_LINK_TARGET) && (granted & FSO_ATTR_RESOLVE_LINK);
}

std::size_t messageCapacity(const VfsFenuCommand &cmd)
{
    std::size_t n = 64 + 16 * 5 + cmd.path.size() + cmd.destination.size() + cmd.data.size()
                    + cmd.entryBlock.size() + 2 * com::kTermMaxLebBytes;
    for (const FsoDriveRecord &d : cmd.drives)
        n += 40 + d.path.size() + d.name.size();
    return n;
}

} // namespace

// --- attribute sets ------------------------------------------------------------------------

bool writeAttributeMask(TermStreamWriter &writer, std::uint16_t mask, const std::uint32_t *values)
{
    writer.writeU16(mask);
    for (int bit = 0; bit < 16; ++bit) {
        if (mask & (1u << bit))
            writer.writeU32(values ? values[bit] : 0);
    }
    return !writer.failed();
}

bool writeAttributeMask(TermStreamWriter &writer, const FsoAttributes &attributes)
{
    return writeAttributeMask(writer, attributes.mask, attributes.values.data());
}

bool readAttributeMask(TermStreamReader &reader, std::uint16_t &mask, std::uint32_t *values)
{
    std::uint16_t m = 0;
    if (reader.readU16(m) != com::TermOk)
        return false;
    mask = m;
    for (int bit = 0; bit < 16; ++bit) {
        std::uint32_t v = 0;
        if (m & (1u << bit))
            reader.readU32(v);
        values[bit] = v;
    }
    return !reader.failed();
}

bool readAttributeMask(TermStreamReader &reader, FsoAttributes &attributes)
{
    return readAttributeMask(reader, attributes.mask, attributes.values.data());
}

// --- directory entries and drive records ---------------------------------------------------

namespace {

class FieldReader
{
public:
    static constexpr bool kReads = true;
    explicit FieldReader(TermStreamReader &reader, const std::uint8_t *data = nullptr, std::size_t size = 0)
        : r(reader), m_data(data), m_size(size) {}
    // The data block stays in the message: only its place (dataAt) and size are noted.
    void leaveBlock() { m_leaveBlock = true; }

    template <typename T> void u8(T &v) { std::uint8_t x = 0; r.readU8(x); v = x; }
    template <typename T> void u16(T &v) { std::uint16_t x = 0; r.readU16(x); v = x; }
    void u32(std::uint32_t &v) { r.readU32(v); }
    void u64(std::uint64_t &v) { r.readU64(v); }
    void i64(std::int64_t &v) { r.readI64(v); }
    void path(std::string &p) { readPath(r, p); }
    // A trailing item that earlier senders leave out.
    void optionalPermissions(std::int32_t &bits)
    {
        std::uint16_t x = 0;
        if (!r.failed() && r.remaining() > 0 && r.readU16(x) == com::TermOk)
            bits = x & 07777;
    }
    void optionalStamp(std::int64_t &changeNs, std::uint64_t &inode)
    {
        if (!r.failed() && r.remaining() > 0) {
            r.readI64(changeNs);
            r.readU64(inode);
        }
    }
    bool string(std::string &t, std::size_t limit) { return r.readString(t, limit) == com::TermOk; }
    bool text(QString &t, std::size_t limit)
    {
        std::string bytes;
        if (r.readString(bytes, limit) != com::TermOk)
            return false;
        t = QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
        return true;
    }
    bool attributes(FsoAttributes &a) { return readAttributeMask(r, a); }
    void block(VfsFenuCommand &cmd)
    {
        const std::uint8_t *bytes = nullptr;
        std::size_t length = 0;
        if (!m_leaveBlock)
            readDataBlock(r, cmd);
        else if (r.readBlobRef(bytes, length) == com::TermOk) {
            cmd.dataSize = static_cast<std::uint32_t>(length);
            if (length >= 1 && length <= FSO_MAX_DATA)
                cmd.dataAt = std::size_t(bytes - m_data);
        }
    }
    // A page's entries: the rest of the message, kept as it is (read entry by entry later).
    bool entries(VfsFenuCommand &cmd)
    {
        if (r.failed())
            return true;
        const std::size_t rest = r.remaining();
        if (rest >= 1 && rest <= FSO_MAX_ENTRY_BLOCK)
            cmd.entryBlock.assign(m_data + r.pos(), m_data + m_size);
        else
            cmd.count = 0;
        return true;
    }
    bool drives(VfsFenuCommand &cmd);
    bool failed() const { return r.failed(); }
    void unknown(std::uint8_t code)
    {
        logPrintf(LogVfs1, "drop unknown command 0x%02X, length %d", code, static_cast<int>(m_size));
    }

private:
    TermStreamReader &r;
    const std::uint8_t *m_data;
    std::size_t m_size;
    bool m_leaveBlock = false;
};

class FieldWriter
{
public:
    static constexpr bool kReads = false;
    explicit FieldWriter(TermStreamWriter &writer) : w(writer) {}
    // A data or digest block taken from elsewhere instead of the record's own `data`, so a
    // block goes from the caller's buffer straight into the message.
    void setBlock(const std::uint8_t *bytes, std::size_t size) { m_block = bytes; m_blockSize = size; m_external = true; }
    // The external block's bytes are left to the caller: only its head is written, and where
    // the message stood right after it (to tell whether the block came last).
    void deferBlock() { m_deferred = true; }
    std::size_t deferredEnd() const { return m_deferredEnd; }

    template <typename T> void u8(const T &v) { w.writeU8(static_cast<std::uint8_t>(v)); }
    template <typename T> void u16(const T &v) { w.writeU16(static_cast<std::uint16_t>(v)); }
    void u32(std::uint32_t v) { w.writeU32(v); }
    void u64(std::uint64_t v) { w.writeU64(v); }
    void i64(std::int64_t v) { w.writeI64(v); }
    void path(const std::string &p) { w.writeString(p); }
    void optionalPermissions(std::int32_t bits)
    {
        if (bits >= 0)
            w.writeU16(std::uint16_t(bits & 07777));
    }
    void optionalStamp(std::int64_t changeNs, std::uint64_t inode)
    {
        if (changeNs != 0) {
            w.writeI64(changeNs);
            w.writeU64(inode);
        }
    }
    bool string(const std::string &t, std::size_t) { return w.writeString(t) == com::TermOk; }
    bool text(const QString &t, std::size_t limit)
    {
        const QByteArray bytes = t.toUtf8();
        if (static_cast<std::size_t>(bytes.size()) > limit)
            return false;
        w.writeString(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return true;
    }
    bool attributes(const FsoAttributes &a) { return writeAttributeMask(w, a); }
    void block(const VfsFenuCommand &cmd)
    {
        if (m_external && m_deferred) {
            w.writeBlobHead(m_blockSize);
            m_deferredEnd = w.size();
        } else if (m_external)
            w.writeBlob(m_block, m_blockSize);
        else
            w.writeBlob(cmd.data.data(), cmd.data.size());
    }
    std::size_t blockSize(const VfsFenuCommand &cmd) const { return m_external ? m_blockSize : cmd.data.size(); }
    bool entries(const VfsFenuCommand &cmd)
    {
        if (cmd.entryBlock.size() > FSO_MAX_ENTRY_BLOCK)
            return false;
        w.writeRaw(cmd.entryBlock.data(), cmd.entryBlock.size());
        return true;
    }
    bool drives(const VfsFenuCommand &cmd)
    {
        if (cmd.drives.size() > 0xFFFF)
            return false;
        w.writeU16(static_cast<std::uint16_t>(cmd.drives.size()));
        for (const FsoDriveRecord &d : cmd.drives) {
            if (!writeDriveRecord(w, d))
                return false;
        }
        return true;
    }
    bool failed() const { return w.failed(); }
    void unknown(std::uint8_t) {}

private:
    TermStreamWriter &w;
    const std::uint8_t *m_block = nullptr;
    std::size_t m_blockSize = 0;
    bool m_external = false;
    bool m_deferred = false;
    std::size_t m_deferredEnd = 0;
};


// The time items a set of bits names, in their wire order (entries and OPEN_FILE alike).
template <typename IO, typename T>
void timeFields(IO &io, std::uint32_t bits, T &accessTime, T &birthTime, T &modifyTime)
{
    if (bits & FSO_ATTR_ACCESS_TIME)
        io.i64(accessTime);
    if (bits & FSO_ATTR_BIRTH_TIME)
        io.i64(birthTime);
    if (bits & FSO_ATTR_MODIFY_TIME)
        io.i64(modifyTime);
}

// One directory entry, either way: the name, then the items the granted set names.
template <typename IO, typename Entry>
bool entryFields(IO &io, std::uint32_t granted, Entry &entry)
{
    if (!io.text(entry.name, FSO_MAX_NAME))
        return false;
    if (granted & FSO_ATTR_TYPE) {
        std::uint8_t wire = static_cast<std::uint8_t>(swapEntryType(entry.type) | (entry.hidden ? FSO_WIRE_HIDDEN : 0));
        io.u8(wire);
        if constexpr (IO::kReads) {
            entry.hidden = wire & FSO_WIRE_HIDDEN;
            entry.type = swapEntryType(wire & 0x7F);
        }
    }
    if (granted & FSO_ATTR_SIZE)
        io.u64(entry.size);
    timeFields(io, granted, entry.accessTime, entry.birthTime, entry.modifyTime);
    const std::uint8_t type = (granted & FSO_ATTR_TYPE) ? entry.type : 0;
    if (!io.failed() && carriesLinkTarget(type, granted)) {
        // A target the reader can't take leaves the reader failed, which ends the page.
        if (!io.text(entry.linkTarget, FSO_MAX_PATH) && !IO::kReads)
            return false;
        std::uint8_t wire = entry.linkTargetType > 7 ? 0 : swapEntryType(entry.linkTargetType);
        io.u8(wire);
        if constexpr (IO::kReads) {
            const std::uint8_t t = swapEntryType(wire & 0x7F);
            entry.linkTargetType = t > 7 ? 0 : t;
        }
    }
    if (granted & FSO_ATTR_MODE)
        io.u16(entry.mode);
    if (granted & FSO_ATTR_FILE_INDEX)
        io.u64(entry.fileIndex);
    if (granted & FSO_ATTR_LINK_COUNT)
        io.u32(entry.linkCount);
    if (granted & FSO_ATTR_PERMISSIONS) {
        std::uint16_t bits = entry.permissions < 0 ? 0 : std::uint16_t(entry.permissions & 07777);
        io.u16(bits);
        if constexpr (IO::kReads)
            entry.permissions = bits & 07777;
    }
    if (granted & FSO_ATTR_CHANGE_STAMP) {
        io.i64(entry.changeTimeNs);
        io.u64(entry.inode);
    }
    return !io.failed();
}

// One drive record, either way. Path and name of all records of a reply share one area of
// FSO_DRIVE_STRING_AREA bytes; `stringBytes` counts what the reply used of it so far.
template <typename IO, typename Drive>
bool driveFields(IO &io, Drive &drive, std::size_t &stringBytes)
{
    io.u8(drive.lead);
    io.u8(drive.type);
    io.u8(drive.plugType);
    io.u8(drive.state);
    io.u64(drive.bytesTotal);
    io.u64(drive.bytesAvailable);
    if (!io.string(drive.path, FSO_DRIVE_STRING_AREA - std::min(stringBytes, FSO_DRIVE_STRING_AREA)))
        return false;
    stringBytes += drive.path.size();
    if (!io.string(drive.name, FSO_DRIVE_STRING_AREA - std::min(stringBytes, FSO_DRIVE_STRING_AREA)))
        return false;
    stringBytes += drive.name.size();
    return !io.failed();
}

bool FieldReader::drives(VfsFenuCommand &cmd)
{
    r.readU16(cmd.count);
    std::size_t stringBytes = 0;
    while (cmd.drives.size() < cmd.count && cmd.drives.size() < FSO_MAX_DRIVES && !r.failed()) {
        FsoDriveRecord d;
        if (!driveFields(*this, d, stringBytes))
            return false;
        cmd.drives.push_back(std::move(d));
    }
    cmd.count = static_cast<std::uint16_t>(cmd.drives.size());
    return !r.failed();
}

} // namespace


bool writeDriveRecord(TermStreamWriter &writer, const FsoDriveRecord &drive)
{
    FieldWriter io(writer);
    std::size_t stringBytes = 0;
    return driveFields(io, drive, stringBytes);
}

bool writeDirectoryEntry(TermStreamWriter &writer, std::uint32_t granted, const VfsDirectoryEntry &entry)
{
    FieldWriter io(writer);
    return entryFields(io, granted, entry);
}

bool readDirectoryEntry(TermStreamReader &reader, std::uint32_t granted, VfsDirectoryEntry &entry)
{
    entry = VfsDirectoryEntry();
    FieldReader io(reader);
    return entryFields(io, granted, entry);
}

bool isSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0)
            return false;
    }
    return true;
}


// --- header --------------------------------------------------------------------------------

int writeFsoHeader(TermStreamWriter &writer, std::uint8_t code, std::uint16_t trId, std::uint8_t msgClass)
{
    return com::writeMessageHeader(writer, msgClass, code, trId);
}

bool finishFsoMessage(TermStreamWriter &writer, std::vector<std::uint8_t> &buffer)
{
    if (writer.failed() || com::finishMessage(writer) != com::TermOk)
        return false;
    buffer.resize(writer.size());
    return true;
}

// --- message layouts ---------------------------------------------------------------------------
// Every body layout is written once, in bodyFields(), and walked by a FieldReader to decode and
// by a FieldWriter to encode; the server's replies go through the same walk.

namespace {

// The size of the record's data block: as received, or as it will be written.
std::size_t blockSizeOf(FieldReader &, const VfsFenuCommand &cmd) { return cmd.dataSize; }
std::size_t blockSizeOf(FieldWriter &io, const VfsFenuCommand &cmd) { return io.blockSize(cmd); }

// The items a body is made of, in wire order.
enum class Field : std::uint8_t {
    End,
    Status,       // u8 status
    Flags8,       // u8 flags
    Flags32,      // u32 flags
    Handle,       // u16 handle
    Offset,       // u64 offset
    Size32,       // u32 size (asked for, written, or the hash block size)
    Path,         // str path
    Destination,  // str destination
    Attributes,   // attribute set
    Index32,      // u32 index
    Index16,      // u16 index
    Reserved,     // u16 reserved
    Count,        // u16 count
    Detail,       // u32 detail
    BlockCount,   // u16 blocks
    Serial,       // u64 volume serial, only when flags carry 0x10
    Data,         // bytes data, at most one block
    Digests,      // bytes n * 20 digest bytes, n = count
    Entries,      // a page's entries to the end
    Drives,       // u16 count; drive records
    OpenTimes,    // OPEN_FILE's optional set, times and size
    Permissions,  // u16 permission bits, only when given (written) or present (read)
    Expected,     // i64 change time, u64 inode, only when given (written) or present (read)
    Times,        // i64 access time, i64 modification time
};

struct Layout
{
    std::uint8_t code;
    std::array<Field, 6> fields;
};

// Adding a message: one line here (and its fields in VfsFenuCommand).
const Layout kLayouts[] = {
    {FSO_LIST_DIRECTORY, {Field::Flags32, Field::Attributes, Field::Path}},
    {FSO_LIST_DIRECTORY_REPLY, {Field::Status, Field::Flags32, Field::Attributes, Field::Serial}},
    {FSO_QUERY_LIST_DIRECTORY, {Field::Index32}},
    {FSO_QUERY_LIST_DIRECTORY_REPLY, {Field::Status, Field::Index32, Field::Count, Field::Entries}},
    {FSO_LIST_DRIVES, {Field::Flags32, Field::Index16, Field::Reserved}},
    {FSO_LIST_DRIVES_REPLY, {Field::Status, Field::Index16, Field::Reserved, Field::Drives}},
    {FSO_MOVE, {Field::Flags32, Field::Path, Field::Destination}},
    {FSO_MOVE_REPLY, {Field::Status}},
    {FSO_OPEN_FILE, {Field::Flags32, Field::OpenTimes, Field::Path, Field::Permissions}},
    {FSO_OPEN_FILE_REPLY, {Field::Status, Field::Handle}},
    {FSO_READ_FILE, {Field::Flags8, Field::Handle, Field::Offset, Field::Size32}},
    {FSO_READ_FILE_REPLY, {Field::Status, Field::Flags8, Field::Offset, Field::Data}},
    {FSO_WRITE_FILE, {Field::Flags8, Field::Handle, Field::Offset, Field::Data}},
    {FSO_WRITE_FILE_REPLY, {Field::Status, Field::Flags8, Field::Offset, Field::Size32}},
    {FSO_DELETE_FILE, {Field::Flags32, Field::Path, Field::Expected}},
    {FSO_DELETE_FILE_REPLY, {Field::Status, Field::Path}},
    {FSO_MAKE_DIRECTORY, {Field::Flags32, Field::Attributes, Field::Path}},
    {FSO_MAKE_DIRECTORY_REPLY, {Field::Status, Field::Detail}},
    {FSO_CLOSE_FILE, {Field::Flags32, Field::Handle}},
    {FSO_CLOSE_FILE_REPLY, {Field::Status, Field::Handle}},
    {FSO_HASH_FILE, {Field::Flags8, Field::Handle, Field::BlockCount, Field::Size32, Field::Offset}},
    {FSO_HASH_FILE_REPLY, {Field::Status, Field::Flags8, Field::Count, Field::Digests}},
    {FSO_DIRECTORY_CHANGED, {Field::Flags32, Field::Path}},
    {FSO_SYNC, {Field::Flags32, Field::Path}},
    {FSO_SYNC_REPLY, {Field::Status}},
    {FSO_PUT_FILE, {Field::Flags32, Field::Times, Field::Path, Field::Destination, Field::Data, Field::Permissions}},
    {FSO_PUT_FILE_REPLY, {Field::Status}},
    {FSO_GET_FILE, {Field::Flags32, Field::Path, Field::Size32}},
    {FSO_GET_FILE_REPLY, {Field::Status, Field::Data}},
};

const Layout *layoutOf(std::uint8_t code)
{
    for (const Layout &layout : kLayouts) {
        if (layout.code == code)
            return &layout;
    }
    return nullptr;
}

// OPEN_FILE by version: the set in version 1 always, later only with flag 0x10; from
// version 2 the times its value names, from version 3 the size.
template <typename IO, typename Cmd>
bool openFileTimes(IO &io, Cmd &cmd, unsigned version)
{
    if (version <= 1 || (cmd.flags & FSO_OPEN_ATTRIBUTES)) {
        if (!io.attributes(cmd.attributes))
            return false;
    }
    // A decoded set must be mask 1 within 0x3A; an encoded one is written as given, so tests
    // can make what a hostile peer would send.
    if (IO::kReads && version >= 2 && cmd.attributes.mask != 0
        && (cmd.attributes.mask != 1 || (cmd.attributes.values[0] & ~FSO_ATTR_OPEN_FILE_BITS)))
        return false;
    if (version < 2 || !(cmd.flags & FSO_OPEN_ATTRIBUTES) || !(cmd.attributes.mask & 1))
        return true;
    const std::uint32_t v = cmd.attributes.values[0];
    timeFields(io, v, cmd.accessTime, cmd.birthTime, cmd.modifyTime);
    if (version >= 3 && (v & FSO_ATTR_SIZE))
        io.u64(cmd.size);
    return true;
}

// One item of a body, either way. False when it breaks the protocol's limits.
template <typename IO, typename Cmd>
bool walkField(IO &io, Cmd &cmd, Field field, unsigned version)
{
    switch (field) {
    case Field::End: return true;
    case Field::Status: io.u8(cmd.status); return true;
    case Field::Flags8: io.u8(cmd.flags); return true;
    case Field::Flags32: io.u32(cmd.flags); return true;
    case Field::Handle: io.u16(cmd.handle); return true;
    case Field::Offset: io.u64(cmd.offset); return true;
    case Field::Size32: io.u32(cmd.dataSize); return true;
    case Field::Path: io.path(cmd.path); return true;
    case Field::Destination: io.path(cmd.destination); return true;
    case Field::Attributes: return io.attributes(cmd.attributes);
    case Field::Index32: io.u32(cmd.index); return true;
    case Field::Index16: io.u16(cmd.index); return true;
    case Field::Reserved: io.u16(cmd.reserved); return true;
    case Field::Count: io.u16(cmd.count); return true;
    case Field::Detail: io.u32(cmd.detail); return true;
    case Field::BlockCount: io.u16(cmd.blockCount); return true;
    case Field::Serial:
        if (cmd.flags & FSO_LISTDIR_VOLUME_SERIAL)
            io.u64(cmd.volumeSerial);
        return true;
    case Field::Data:
        if (!IO::kReads && blockSizeOf(io, cmd) > FSO_MAX_DATA)
            return false;
        io.block(cmd);
        return true;
    case Field::Digests:
        io.block(cmd);
        // Exactly n digests of 20 bytes, and no more than one block can hold; anything else
        // would let a peer announce digests it never sent.
        return io.failed()
               || (cmd.count <= FSO_MAX_DIGESTS && blockSizeOf(io, cmd) == std::size_t(cmd.count) * FSO_DIGEST_SIZE);
    case Field::Entries: return io.entries(cmd);
    case Field::Drives: return io.drives(cmd);
    case Field::OpenTimes: return openFileTimes(io, cmd, version);
    case Field::Permissions: io.optionalPermissions(cmd.permissions); return true;
    case Field::Expected: io.optionalStamp(cmd.expectChangeNs, cmd.expectInode); return true;
    case Field::Times: io.i64(cmd.accessTime); io.i64(cmd.modifyTime); return true;
    }
    return false;
}

// The body of cmd.code, for both directions. False for an unknown code or a field that
// breaks the protocol's limits; the caller also checks the stream for errors.
template <typename IO, typename Cmd>
bool bodyFields(IO &io, Cmd &cmd, unsigned version)
{
    const Layout *layout = layoutOf(cmd.code);
    if (!layout) {
        io.unknown(cmd.code);
        return false;
    }
    for (Field field : layout->fields) {
        if (!walkField(io, cmd, field, version))
            return false;
    }
    return true;
}

// A message whose outside data block is its last item: the fields go into a small head and
// the block is copied once, behind it, into a buffer that is never zeroed first. False, with
// nothing written, when the block is not last (the caller then writes it the usual way).
bool writeWithBlockLast(const VfsFenuCommand &cmd, std::uint8_t msgClass, unsigned version, std::size_t headCapacity,
                        std::vector<std::uint8_t> &out, const std::uint8_t *block, std::size_t blockSize)
{
    std::uint8_t head[256];
    if (headCapacity > sizeof head)
        return false;
    TermStreamWriter w(head, headCapacity);
    writeFsoHeader(w, cmd.code, cmd.trId, msgClass);
    FieldWriter io(w);
    io.setBlock(block, blockSize);
    io.deferBlock();
    if (!bodyFields(io, cmd, version) || w.failed() || io.deferredEnd() != w.size())
        return false;
    const std::size_t total = w.size() + blockSize;
    if (total > 0xFFFFFFFFu || w.setPos(0) != com::TermOk || w.writeU32(std::uint32_t(total)) != com::TermOk)
        return false;
    out.reserve(total);
    out.assign(head, head + io.deferredEnd());
    out.insert(out.end(), block, block + blockSize);
    return true;
}

// Header and body into `out`; `io` may carry an outside data block.
bool writeMessage(const VfsFenuCommand &cmd, std::uint8_t msgClass, unsigned version, std::size_t capacity,
                  std::vector<std::uint8_t> &out, const std::uint8_t *block = nullptr, std::size_t blockSize = 0)
{
    out.clear();
    if (cmd.path.size() > FSO_MAX_PATH || cmd.destination.size() > FSO_MAX_PATH)
        return false;
    if (block && blockSize > 0 && writeWithBlockLast(cmd, msgClass, version, capacity - blockSize, out, block, blockSize))
        return true;
    std::vector<std::uint8_t> buf(capacity);
    TermStreamWriter w(buf);
    writeFsoHeader(w, cmd.code, cmd.trId, msgClass);
    FieldWriter io(w);
    if (block || blockSize)
        io.setBlock(block, blockSize);
    if (!bodyFields(io, cmd, version) || !finishFsoMessage(w, buf))
        return false;
    out.swap(buf);
    return true;
}

constexpr std::size_t kSmallReply = 64;

// A reply of `code` with the fields `fill` sets; `block` (when given) is its data block.
template <typename Fill>
bool reply(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status,
           std::size_t capacity, Fill &&fill, const std::uint8_t *block = nullptr, std::size_t blockSize = 0)
{
    VfsFenuCommand c;
    c.msgClass = FSO_CLASS_REPLY;
    c.code = code;
    c.trId = trId;
    c.status = status;
    fill(c);
    return writeMessage(c, FSO_CLASS_REPLY, FSO_PROTOCOL_VERSION, capacity, out, block, blockSize);
}

void noFields(VfsFenuCommand &) {}

} // namespace

namespace fsoreply {

bool read(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint64_t offset, const std::uint8_t *data, std::size_t size)
{
    const auto fill = [&](VfsFenuCommand &c) { c.flags = flags, c.offset = offset; };
    return reply(out, FSO_READ_FILE_REPLY, trId, status, kSmallReply + size, fill, data, size);
}

bool write(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
           std::uint64_t offset, std::uint32_t written)
{
    const auto fill = [&](VfsFenuCommand &c) { c.flags = flags, c.offset = offset, c.dataSize = written; };
    return reply(out, FSO_WRITE_FILE_REPLY, trId, status, kSmallReply, fill);
}

bool hash(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint16_t count, const std::uint8_t *digests, std::size_t size)
{
    const auto fill = [&](VfsFenuCommand &c) { c.flags = flags, c.count = count; };
    return reply(out, FSO_HASH_FILE_REPLY, trId, status, kSmallReply + size, fill, digests, size);
}

bool deleted(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, const std::string &path)
{
    const auto fill = [&](VfsFenuCommand &c) { c.path = path; };
    return reply(out, FSO_DELETE_FILE_REPLY, trId, status, kSmallReply + path.size(), fill);
}

bool status(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status)
{
    return reply(out, code, trId, status, kSmallReply, noFields);
}

bool handle(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status,
            std::uint16_t handle)
{
    return reply(out, code, trId, status, kSmallReply, [&](VfsFenuCommand &c) { c.handle = handle; });
}

bool getFile(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, const std::uint8_t *data,
             std::size_t size)
{
    return reply(out, FSO_GET_FILE_REPLY, trId, status, kSmallReply + size, noFields, data, size);
}

bool makeDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t detail)
{
    return reply(out, FSO_MAKE_DIRECTORY_REPLY, trId, status, kSmallReply, [&](VfsFenuCommand &c) { c.detail = detail; });
}

bool listDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t flags,
                   const FsoAttributes &attributes, std::uint64_t volumeSerial)
{
    const auto fill = [&](VfsFenuCommand &c) { c.flags = flags, c.attributes = attributes, c.volumeSerial = volumeSerial; };
    return reply(out, FSO_LIST_DIRECTORY_REPLY, trId, status, 2 * kSmallReply + 16 * 5, fill);
}

bool drives(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint16_t index,
            std::vector<FsoDriveRecord> records)
{
    const auto fill = [&](VfsFenuCommand &c) { c.index = index, c.drives = std::move(records); };
    return reply(out, FSO_LIST_DRIVES_REPLY, trId, status, FSO_MAX_DRIVES_REPLY, fill);
}

bool directoryChanged(std::vector<std::uint8_t> &out, std::uint16_t trId, const std::string &path)
{
    const auto fill = [&](VfsFenuCommand &c) { c.path = path; };
    return reply(out, FSO_DIRECTORY_CHANGED, trId, 0, kSmallReply + path.size(), fill);
}

bool writePageHead(com::TermStreamWriter &writer, std::uint16_t trId, std::uint8_t status, std::uint32_t index,
                   std::uint16_t count)
{
    VfsFenuCommand c;
    c.code = FSO_QUERY_LIST_DIRECTORY_REPLY;
    c.status = status;
    c.index = index;
    c.count = count;
    writeFsoHeader(writer, c.code, trId, FSO_CLASS_REPLY);
    FieldWriter io(writer);
    return bodyFields(io, c, FSO_PROTOCOL_VERSION) && !writer.failed();
}

} // namespace fsoreply

// --- decoder -------------------------------------------------------------------------------

namespace {

bool decode(const std::uint8_t *data, std::size_t size, VfsFenuCommand &cmd, unsigned version, bool leaveBlock)
{
    cmd.reset();
    if (!data || size < 4)
        return false;
    TermStreamReader r(data, size);
    r.readU32(cmd.length);
    r.readU8(cmd.msgClass);
    r.readU8(cmd.code);
    r.readU16(cmd.trId);
    if (r.failed())
        return false;
    FieldReader io(r, data, size);
    if (leaveBlock)
        io.leaveBlock();
    return bodyFields(io, cmd, version) && !r.failed();
}

} // namespace

bool decodeFsoCommand(const std::uint8_t *data, std::size_t size, VfsFenuCommand &cmd, unsigned version)
{
    return decode(data, size, cmd, version, false);
}

bool decodeFsoCommandTaking(std::vector<std::uint8_t> &message, VfsFenuCommand &cmd, unsigned version)
{
    com::MessageHeader header;
    const bool write = com::peekMessageHeader(message.data(), message.size(), header)
                       && header.msgClass == FSO_CLASS_REQUEST && header.code == FSO_WRITE_FILE;
    if (!decode(message.data(), message.size(), cmd, version, write))
        return false;
    if (cmd.dataAt > 0)
        cmd.data.swap(message);
    return true;
}

VfsFenuCommandParser::VfsFenuCommandParser(QObject *parent)
    : QObject(parent), m_serial(g_parserSerial.fetch_add(1))
{
    qRegisterMetaType<const VfsFenuCommand *>();
    logPrintf(LogVfs1, "New VFS parser %d", m_serial);
}

bool VfsFenuCommandParser::processCommand(const std::vector<unsigned char> &data, VfsFenuCommand *cmd,
                                          ushort version)
{
    if (!cmd || data.size() < 4) {
        logPrintf(LogVfs1, "failed to allocate command buffer");
        return false;
    }
    const bool ok = decodeFsoCommand(data.data(), data.size(), *cmd, version);
    logPrintf(LogVfs1, "[%d] process command 0x%02X thread %p", m_serial, cmd->code,
              static_cast<void *>(QThread::currentThread()));
    if (!ok)
        return false;
    Q_EMIT commandReceived(cmd);
    return true;
}

// --- encoder -------------------------------------------------------------------------------

bool encodeFsoMessage(const VfsFenuCommand &cmd, unsigned version, std::vector<std::uint8_t> &out)
{
    return writeMessage(cmd, cmd.msgClass, version, messageCapacity(cmd), out);
}

bool encodeFsoMessage(const VfsFenuCommand &cmd, unsigned version, std::vector<std::uint8_t> &out,
                      const std::uint8_t *block, std::size_t blockSize)
{
    return writeMessage(cmd, cmd.msgClass, version, messageCapacity(cmd) + blockSize, out, block, blockSize);
}

// --- QDataStream form ----------------------------------------------------------------------

void writeAttributeMaskToDataStream(QDataStream &stream, std::uint16_t mask, const std::uint32_t *values)
{
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << static_cast<quint16>(mask);
    for (int bit = 0; bit < 16; ++bit) {
        if (mask & (1u << bit))
            stream << static_cast<quint32>(values ? values[bit] : 0);
    }
}

bool readAttributeMaskFromDataStream(QDataStream &stream, std::uint16_t &mask, std::uint32_t *values)
{
    stream.setByteOrder(QDataStream::LittleEndian);
    quint16 m = 0;
    stream >> m;
    mask = m;
    for (int bit = 0; bit < 16; ++bit) {
        quint32 v = 0;
        if (m & (1u << bit))
            stream >> v;
        values[bit] = v;
    }
    return stream.status() == QDataStream::Ok;
}

int writeDataStreamCString(QDataStream &stream, const QString &text)
{
    QByteArray bytes = text.toLocal8Bit();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    stream.writeRawData(bytes.constData(), bytes.size());
    const char zero = 0;
    stream.writeRawData(&zero, 1);
    return bytes.size();
}

int readDataStreamCString(QDataStream &stream, char *buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    for (int i = 0; i < size; ++i) {
        char c = 0;
        if (stream.readRawData(&c, 1) != 1 || stream.status() != QDataStream::Ok)
            return -1;
        buffer[i] = c;
        if (c == '\0')
            return i;
    }
    return -1;
}

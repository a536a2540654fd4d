#include "vfs/fso/vfsfenucommandparser.h"

#include "app/base/log.h"

#include <QDataStream>
#include <QThread>

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

bool decodeDrives(TermStreamReader &reader, VfsFenuCommand &cmd)
{
    std::size_t stringBytes = 0;
    while (cmd.drives.size() < cmd.count && cmd.drives.size() < FSO_MAX_DRIVES && !reader.failed()) {
        FsoDriveRecord d;
        reader.readU8(d.lead);
        reader.readU8(d.type);
        reader.readU8(d.plugType);
        reader.readU8(d.state);
        reader.readU64(d.bytesTotal);
        reader.readU64(d.bytesAvailable);
        reader.readString(d.path, FSO_DRIVE_STRING_AREA - stringBytes);
        if (reader.failed())
            return false;
        stringBytes += d.path.size();
        reader.readString(d.name, FSO_DRIVE_STRING_AREA - stringBytes);
        if (reader.failed())
            return false;
        stringBytes += d.name.size();
        cmd.drives.push_back(std::move(d));
    }
    cmd.count = static_cast<std::uint16_t>(cmd.drives.size());
    return !reader.failed();
}

std::uint8_t wireToEntryType(std::uint8_t wire)
{
    if (wire == FSO_WIRE_TYPE_DIRECTORY)
        return FSO_ENTRY_DIRECTORY;
    if (wire == FSO_WIRE_TYPE_FILE)
        return FSO_ENTRY_FILE;
    return wire > 8 ? 0 : wire;
}

std::uint8_t entryTypeToWire(std::uint8_t type)
{
    if (type == FSO_ENTRY_DIRECTORY)
        return FSO_WIRE_TYPE_DIRECTORY;
    if (type == FSO_ENTRY_FILE)
        return FSO_WIRE_TYPE_FILE;
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

bool writeDirectoryEntry(TermStreamWriter &writer, std::uint32_t granted, const VfsDirectoryEntry &entry)
{
    const QByteArray name = entry.name.toUtf8();
    if (static_cast<std::size_t>(name.size()) > FSO_MAX_NAME)
        return false;
    writer.writeString(name.constData(), static_cast<std::size_t>(name.size()));
    if (granted & FSO_ATTR_TYPE)
        writer.writeU8(static_cast<std::uint8_t>(entryTypeToWire(entry.type) | (entry.hidden ? FSO_WIRE_HIDDEN : 0)));
    if (granted & FSO_ATTR_SIZE)
        writer.writeU64(entry.size);
    if (granted & FSO_ATTR_ACCESS_TIME)
        writer.writeI64(entry.accessTime);
    if (granted & FSO_ATTR_BIRTH_TIME)
        writer.writeI64(entry.birthTime);
    if (granted & FSO_ATTR_MODIFY_TIME)
        writer.writeI64(entry.modifyTime);
    const std::uint8_t type = (granted & FSO_ATTR_TYPE) ? entry.type : 0;
    if (carriesLinkTarget(type, granted)) {
        const QByteArray target = entry.linkTarget.toUtf8();
        if (static_cast<std::size_t>(target.size()) > FSO_MAX_PATH)
            return false;
        writer.writeString(target.constData(), static_cast<std::size_t>(target.size()));
        writer.writeU8(entry.linkTargetType > 7 ? 0 : entryTypeToWire(entry.linkTargetType));
    }
    if (granted & FSO_ATTR_MODE)
        writer.writeU16(entry.mode);
    if (granted & FSO_ATTR_FILE_INDEX)
        writer.writeU64(entry.fileIndex);
    if (granted & FSO_ATTR_LINK_COUNT)
        writer.writeU32(entry.linkCount);
    return !writer.failed();
}

bool readDirectoryEntry(TermStreamReader &reader, std::uint32_t granted, VfsDirectoryEntry &entry)
{
    entry = VfsDirectoryEntry();
    std::string name;
    if (reader.readString(name, FSO_MAX_NAME) != com::TermOk)
        return false;
    entry.name = QString::fromUtf8(name.data(), static_cast<int>(name.size()));
    if (granted & FSO_ATTR_TYPE) {
        std::uint8_t t = 0;
        reader.readU8(t);
        entry.hidden = t & FSO_WIRE_HIDDEN;
        entry.type = wireToEntryType(t & 0x7F);
    }
    if (granted & FSO_ATTR_SIZE)
        reader.readU64(entry.size);
    if (granted & FSO_ATTR_ACCESS_TIME)
        reader.readI64(entry.accessTime);
    if (granted & FSO_ATTR_BIRTH_TIME)
        reader.readI64(entry.birthTime);
    if (granted & FSO_ATTR_MODIFY_TIME)
        reader.readI64(entry.modifyTime);
    if (!reader.failed() && carriesLinkTarget(entry.type, granted)) {
        std::string target;
        reader.readString(target, FSO_MAX_PATH);
        entry.linkTarget = QString::fromUtf8(target.data(), static_cast<int>(target.size()));
        std::uint8_t tt = 0;
        reader.readU8(tt);
        tt &= 0x7F;
        tt = wireToEntryType(tt);
        entry.linkTargetType = tt > 7 ? 0 : tt;
    }
    if (granted & FSO_ATTR_MODE)
        reader.readU16(entry.mode);
    if (granted & FSO_ATTR_FILE_INDEX)
        reader.readU64(entry.fileIndex);
    if (granted & FSO_ATTR_LINK_COUNT)
        reader.readU32(entry.linkCount);
    return !reader.failed();
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

bool writeDriveRecord(TermStreamWriter &writer, const FsoDriveRecord &drive)
{
    writer.writeU8(drive.lead);
    writer.writeU8(drive.type);
    writer.writeU8(drive.plugType);
    writer.writeU8(drive.state);
    writer.writeU64(drive.bytesTotal);
    writer.writeU64(drive.bytesAvailable);
    writer.writeString(drive.path);
    writer.writeString(drive.name);
    return !writer.failed();
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

// --- decoder -------------------------------------------------------------------------------

bool decodeFsoCommand(const std::uint8_t *data, std::size_t size, VfsFenuCommand &cmd, unsigned version)
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

    std::uint8_t u8 = 0;
    switch (cmd.code) {
    case FSO_LIST_DIRECTORY:
        r.readU32(cmd.flags);
        if (!readAttributeMask(r, cmd.attributes))
            return false;
        readPath(r, cmd.path);
        break;
    case FSO_LIST_DIRECTORY_REPLY:
        r.readU8(cmd.status);
        r.readU32(cmd.flags);
        readAttributeMask(r, cmd.attributes);
        if (cmd.flags & FSO_LISTDIR_VOLUME_SERIAL)
            r.readU64(cmd.volumeSerial);
        break;
    case FSO_QUERY_LIST_DIRECTORY:
        r.readU32(cmd.index);
        break;
    case FSO_QUERY_LIST_DIRECTORY_REPLY: {
        r.readU8(cmd.status);
        r.readU32(cmd.index);
        r.readU16(cmd.count);
        if (r.failed())
            break;
        const std::size_t rest = r.remaining();
        if (rest >= 1 && rest <= FSO_MAX_ENTRY_BLOCK)
            cmd.entryBlock.assign(data + r.pos(), data + size);
        else
            cmd.count = 0;
        break;
    }
    case FSO_LIST_DRIVES: {
        r.readU32(cmd.flags);
        std::uint16_t index = 0;
        r.readU16(index);
        cmd.index = index;
        r.readU16(cmd.reserved);
        break;
    }
    case FSO_LIST_DRIVES_REPLY: {
        r.readU8(cmd.status);
        std::uint16_t index = 0;
        r.readU16(index);
        cmd.index = index;
        r.readU16(cmd.reserved);
        r.readU16(cmd.count);
        if (r.failed() || !decodeDrives(r, cmd))
            return false;
        break;
    }
    case FSO_MOVE:
        r.readU32(cmd.flags);
        readPath(r, cmd.path);
        readPath(r, cmd.destination);
        break;
    case FSO_MOVE_REPLY:
        r.readU8(cmd.status);
        break;
    case FSO_OPEN_FILE:
        r.readU32(cmd.flags);
        if (r.failed())
            return false;
        if (version <= 1 || (cmd.flags & FSO_OPEN_ATTRIBUTES)) {
            if (!readAttributeMask(r, cmd.attributes))
                return false;
        }
        if (version >= 2 && cmd.attributes.mask != 0) {
            if (cmd.attributes.mask != 1 || (cmd.attributes.values[0] & ~FSO_ATTR_OPEN_FILE_BITS))
                return false;
            const std::uint32_t v = cmd.attributes.values[0];
            if (v & FSO_ATTR_ACCESS_TIME)
                r.readI64(cmd.accessTime);
            if (v & FSO_ATTR_BIRTH_TIME)
                r.readI64(cmd.birthTime);
            if (v & FSO_ATTR_MODIFY_TIME)
                r.readI64(cmd.modifyTime);
            if (version >= 3 && (v & FSO_ATTR_SIZE))
                r.readU64(cmd.size);
        }
        readPath(r, cmd.path);
        break;
    case FSO_OPEN_FILE_REPLY:
    case FSO_CLOSE_FILE_REPLY:
        r.readU8(cmd.status);
        r.readU16(cmd.handle);
        break;
    case FSO_CLOSE_FILE:
        r.readU32(cmd.flags);
        r.readU16(cmd.handle);
        break;
    case FSO_READ_FILE:
        r.readU8(u8);
        cmd.flags = u8;
        r.readU16(cmd.handle);
        r.readU64(cmd.offset);
        r.readU32(cmd.dataSize);
        break;
    case FSO_READ_FILE_REPLY:
        r.readU8(cmd.status);
        r.readU8(u8);
        cmd.flags = u8;
        r.readU64(cmd.offset);
        readDataBlock(r, cmd);
        break;
    case FSO_WRITE_FILE:
        r.readU8(u8);
        cmd.flags = u8;
        r.readU16(cmd.handle);
        r.readU64(cmd.offset);
        readDataBlock(r, cmd);
        break;
    case FSO_WRITE_FILE_REPLY:
        r.readU8(cmd.status);
        r.readU8(u8);
        cmd.flags = u8;
        r.readU64(cmd.offset);
        r.readU32(cmd.dataSize);
        break;
    case FSO_DELETE_FILE:
    case FSO_DIRECTORY_CHANGED:
        r.readU32(cmd.flags);
        readPath(r, cmd.path);
        break;
    case FSO_DELETE_FILE_REPLY:
        r.readU8(cmd.status);
        readPath(r, cmd.path);
        break;
    case FSO_MAKE_DIRECTORY:
        r.readU32(cmd.flags);
        readAttributeMask(r, cmd.attributes);
        readPath(r, cmd.path);
        break;
    case FSO_MAKE_DIRECTORY_REPLY:
        r.readU8(cmd.status);
        r.readU32(cmd.detail);
        break;
    case FSO_HASH_FILE:
        r.readU8(u8);
        cmd.flags = u8;
        r.readU16(cmd.handle);
        r.readU16(cmd.blockCount);
        r.readU32(cmd.dataSize);
        r.readU64(cmd.offset);
        break;
    case FSO_HASH_FILE_REPLY:
        r.readU8(cmd.status);
        r.readU8(u8);
        cmd.flags = u8;
        r.readU16(cmd.count);
        readDataBlock(r, cmd);
        if (r.failed())
            return false;
        // Exactly n digests of 20 bytes, and no more than one block can hold; anything else
        // would let a peer announce digests it never sent.
        if (cmd.count > FSO_MAX_DIGESTS || cmd.dataSize != cmd.count * FSO_DIGEST_SIZE)
            return false;
        break;
    default:
        logPrintf(LogVfs1, "drop unknown command 0x%02X, length %d", cmd.code, static_cast<int>(size));
        return false;
    }
    return !r.failed();
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

// --- reply bodies ----------------------------------------------------------------------------
// Each reply layout is written here once: encodeFsoMessage and the fsoreply functions the
// server calls share these.

namespace {

void writeReadReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint8_t flags, std::uint64_t offset,
                        const std::uint8_t *data, std::size_t size)
{
    w.writeU8(status);
    w.writeU8(flags);
    w.writeU64(offset);
    w.writeBlob(data, size);
}

void writeWriteReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint8_t flags, std::uint64_t offset,
                         std::uint32_t written)
{
    w.writeU8(status);
    w.writeU8(flags);
    w.writeU64(offset);
    w.writeU32(written);
}

bool writeHashReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint8_t flags, std::uint16_t count,
                        const std::uint8_t *digests, std::size_t size)
{
    // Exactly n digests, never more than one request may ask for.
    if (count > FSO_MAX_DIGESTS || size != std::size_t(count) * FSO_DIGEST_SIZE)
        return false;
    w.writeU8(status);
    w.writeU8(flags);
    w.writeU16(count);
    w.writeBlob(digests, size);
    return true;
}

void writeHandleReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint16_t handle)
{
    w.writeU8(status);
    w.writeU16(handle);
}

void writeStatusDetailBody(TermStreamWriter &w, std::uint8_t status, std::uint32_t detail)
{
    w.writeU8(status);
    w.writeU32(detail);
}

void writeListDirectoryReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint32_t flags,
                                 const FsoAttributes &attributes, std::uint64_t volumeSerial)
{
    w.writeU8(status);
    w.writeU32(flags);
    writeAttributeMask(w, attributes);
    if (flags & FSO_LISTDIR_VOLUME_SERIAL)
        w.writeU64(volumeSerial);
}

bool writeDrivesReplyBody(TermStreamWriter &w, std::uint8_t status, std::uint16_t index, std::uint16_t reserved,
                          const std::vector<FsoDriveRecord> &drives)
{
    if (drives.size() > 0xFFFF)
        return false;
    w.writeU8(status);
    w.writeU16(index);
    w.writeU16(reserved);
    w.writeU16(static_cast<std::uint16_t>(drives.size()));
    for (const FsoDriveRecord &d : drives)
        writeDriveRecord(w, d);
    return true;
}

void writePageHeadBody(TermStreamWriter &w, std::uint8_t status, std::uint32_t index, std::uint16_t count)
{
    w.writeU8(status);
    w.writeU32(index);
    w.writeU16(count);
}

void writeFlagsPathBody(TermStreamWriter &w, std::uint32_t flags, const std::string &path)
{
    w.writeU32(flags);
    w.writeString(path);
}

// One reply message of `capacity` bytes at most; `body` returns false for a field beyond
// the limits. `out` is left empty when anything failed.
template<typename Body>
bool replyMessage(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::size_t capacity,
                  Body &&body)
{
    out.resize(capacity);
    TermStreamWriter w(out);
    writeFsoHeader(w, code, trId, FSO_CLASS_REPLY);
    if (body(w) && finishFsoMessage(w, out))
        return true;
    out.clear();
    return false;
}

constexpr std::size_t kSmallReply = 64;

} // namespace

namespace fsoreply {

bool read(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint64_t offset, const std::uint8_t *data, std::size_t size)
{
    return size <= FSO_MAX_DATA
           && replyMessage(out, FSO_READ_FILE_REPLY, trId, kSmallReply + size, [&](TermStreamWriter &w) {
                  writeReadReplyBody(w, status, flags, offset, data, size);
                  return true;
              });
}

bool write(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
           std::uint64_t offset, std::uint32_t written)
{
    return replyMessage(out, FSO_WRITE_FILE_REPLY, trId, kSmallReply, [&](TermStreamWriter &w) {
        writeWriteReplyBody(w, status, flags, offset, written);
        return true;
    });
}

bool hash(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint16_t count, const std::uint8_t *digests, std::size_t size)
{
    return replyMessage(out, FSO_HASH_FILE_REPLY, trId, kSmallReply + size, [&](TermStreamWriter &w) {
        return writeHashReplyBody(w, status, flags, count, digests, size);
    });
}

bool deleted(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, const std::string &path)
{
    return path.size() <= FSO_MAX_PATH
           && replyMessage(out, FSO_DELETE_FILE_REPLY, trId, kSmallReply + path.size(), [&](TermStreamWriter &w) {
                  w.writeU8(status);
                  w.writeString(path);
                  return true;
              });
}

bool status(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status)
{
    return replyMessage(out, code, trId, kSmallReply, [&](TermStreamWriter &w) {
        w.writeU8(status);
        return true;
    });
}

bool handle(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status,
            std::uint16_t handle)
{
    return replyMessage(out, code, trId, kSmallReply, [&](TermStreamWriter &w) {
        writeHandleReplyBody(w, status, handle);
        return true;
    });
}

bool makeDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t detail)
{
    return replyMessage(out, FSO_MAKE_DIRECTORY_REPLY, trId, kSmallReply, [&](TermStreamWriter &w) {
        writeStatusDetailBody(w, status, detail);
        return true;
    });
}

bool listDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t flags,
                   const FsoAttributes &attributes, std::uint64_t volumeSerial)
{
    return replyMessage(out, FSO_LIST_DIRECTORY_REPLY, trId, 2 * kSmallReply + 16 * 5, [&](TermStreamWriter &w) {
        writeListDirectoryReplyBody(w, status, flags, attributes, volumeSerial);
        return true;
    });
}

bool drives(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint16_t index,
            const std::vector<FsoDriveRecord> &records)
{
    return replyMessage(out, FSO_LIST_DRIVES_REPLY, trId, FSO_MAX_DRIVES_REPLY, [&](TermStreamWriter &w) {
        return writeDrivesReplyBody(w, status, index, 0, records);
    });
}

bool directoryChanged(std::vector<std::uint8_t> &out, std::uint16_t trId, const std::string &path)
{
    return path.size() <= FSO_MAX_PATH
           && replyMessage(out, FSO_DIRECTORY_CHANGED, trId, kSmallReply + path.size(), [&](TermStreamWriter &w) {
                  writeFlagsPathBody(w, 0, path);
                  return true;
              });
}

bool writePageHead(com::TermStreamWriter &writer, std::uint16_t trId, std::uint8_t status, std::uint32_t index,
                   std::uint16_t count)
{
    writeFsoHeader(writer, FSO_QUERY_LIST_DIRECTORY_REPLY, trId, FSO_CLASS_REPLY);
    writePageHeadBody(writer, status, index, count);
    return !writer.failed();
}

} // namespace fsoreply

// --- encoder -------------------------------------------------------------------------------

bool encodeFsoMessage(const VfsFenuCommand &cmd, unsigned version, std::vector<std::uint8_t> &out)
{
    out.clear();
    if (cmd.path.size() > FSO_MAX_PATH || cmd.destination.size() > FSO_MAX_PATH)
        return false;
    std::vector<std::uint8_t> buf(messageCapacity(cmd));
    TermStreamWriter w(buf);
    writeFsoHeader(w, cmd.code, cmd.trId, cmd.msgClass);
    const auto u8flags = static_cast<std::uint8_t>(cmd.flags);
    switch (cmd.code) {
    case FSO_LIST_DIRECTORY:
        w.writeU32(cmd.flags);
        writeAttributeMask(w, cmd.attributes);
        w.writeString(cmd.path);
        break;
    case FSO_LIST_DIRECTORY_REPLY:
        writeListDirectoryReplyBody(w, cmd.status, cmd.flags, cmd.attributes, cmd.volumeSerial);
        break;
    case FSO_QUERY_LIST_DIRECTORY:
        w.writeU32(cmd.index);
        break;
    case FSO_QUERY_LIST_DIRECTORY_REPLY:
        if (cmd.entryBlock.size() > FSO_MAX_ENTRY_BLOCK)
            return false;
        writePageHeadBody(w, cmd.status, cmd.index, cmd.count);
        w.writeRaw(cmd.entryBlock.data(), cmd.entryBlock.size());
        break;
    case FSO_LIST_DRIVES:
        w.writeU32(cmd.flags);
        w.writeU16(static_cast<std::uint16_t>(cmd.index));
        w.writeU16(cmd.reserved);
        break;
    case FSO_LIST_DRIVES_REPLY:
        if (!writeDrivesReplyBody(w, cmd.status, static_cast<std::uint16_t>(cmd.index), cmd.reserved, cmd.drives))
            return false;
        break;
    case FSO_MOVE:
        w.writeU32(cmd.flags);
        w.writeString(cmd.path);
        w.writeString(cmd.destination);
        break;
    case FSO_MOVE_REPLY:
        w.writeU8(cmd.status);
        break;
    case FSO_OPEN_FILE:
        w.writeU32(cmd.flags);
        if (version <= 1 || (cmd.flags & FSO_OPEN_ATTRIBUTES)) {
            writeAttributeMask(w, cmd.attributes);
            if (version >= 2 && (cmd.attributes.mask & 1)) {
                const std::uint32_t v = cmd.attributes.values[0];
                if (v & FSO_ATTR_ACCESS_TIME)
                    w.writeI64(cmd.accessTime);
                if (v & FSO_ATTR_BIRTH_TIME)
                    w.writeI64(cmd.birthTime);
                if (v & FSO_ATTR_MODIFY_TIME)
                    w.writeI64(cmd.modifyTime);
                if (version >= 3 && (v & FSO_ATTR_SIZE))
                    w.writeU64(cmd.size);
            }
        }
        w.writeString(cmd.path);
        break;
    case FSO_OPEN_FILE_REPLY:
    case FSO_CLOSE_FILE_REPLY:
        writeHandleReplyBody(w, cmd.status, cmd.handle);
        break;
    case FSO_CLOSE_FILE:
        w.writeU32(cmd.flags);
        w.writeU16(cmd.handle);
        break;
    case FSO_READ_FILE:
        w.writeU8(u8flags);
        w.writeU16(cmd.handle);
        w.writeU64(cmd.offset);
        w.writeU32(cmd.dataSize);
        break;
    case FSO_READ_FILE_REPLY:
        if (cmd.data.size() > FSO_MAX_DATA)
            return false;
        writeReadReplyBody(w, cmd.status, u8flags, cmd.offset, cmd.data.data(), cmd.data.size());
        break;
    case FSO_WRITE_FILE:
        if (cmd.data.size() > FSO_MAX_DATA)
            return false;
        w.writeU8(u8flags);
        w.writeU16(cmd.handle);
        w.writeU64(cmd.offset);
        w.writeBlob(cmd.data.data(), cmd.data.size());
        break;
    case FSO_WRITE_FILE_REPLY:
        writeWriteReplyBody(w, cmd.status, u8flags, cmd.offset, cmd.dataSize);
        break;
    case FSO_DELETE_FILE:
    case FSO_DIRECTORY_CHANGED:
        writeFlagsPathBody(w, cmd.flags, cmd.path);
        break;
    case FSO_DELETE_FILE_REPLY:
        w.writeU8(cmd.status);
        w.writeString(cmd.path);
        break;
    case FSO_MAKE_DIRECTORY:
        w.writeU32(cmd.flags);
        writeAttributeMask(w, cmd.attributes);
        w.writeString(cmd.path);
        break;
    case FSO_MAKE_DIRECTORY_REPLY:
        writeStatusDetailBody(w, cmd.status, cmd.detail);
        break;
    case FSO_HASH_FILE:
        w.writeU8(u8flags);
        w.writeU16(cmd.handle);
        w.writeU16(cmd.blockCount);
        w.writeU32(cmd.dataSize);
        w.writeU64(cmd.offset);
        break;
    case FSO_HASH_FILE_REPLY:
        if (!writeHashReplyBody(w, cmd.status, u8flags, cmd.count, cmd.data.data(), cmd.data.size()))
            return false;
        break;
    default:
        return false;
    }
    if (!finishFsoMessage(w, buf))
        return false;
    out.swap(buf);
    return true;
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

#pragma once

// Decoder and writing helpers of the FSO protocol.
//
// Message = header (u32 total length, u8 class, u8 code, u16 TrId) + body; every field is a
// term-stream item (com/termstream.h). Bodies by code:
//
//   0x0A LIST_DIRECTORY        u32 flags; attribute set; str path
//   0x8A  reply                u8 status; u32 flags; attribute set; u64 volume serial only
//                              when flags & 0x10
//   0x0B QUERY_LIST_DIRECTORY  u32 index
//   0x8B  reply                u8 status; u32 index; u16 count; entries to the end
//   0x0C LIST_DRIVES           u32 flags; u16 index; u16 reserved
//   0x8C  reply                u8 status; u16 index; u16 reserved; u16 count; drive records
//   0x0F MOVE                  u32 flags; str source; str destination
//   0x8F  reply                u8 status
//   0x10 OPEN_FILE             u32 flags; [attribute set] [i64 times] [u64 size]; str path
//   0x90  reply                u8 status; u16 handle
//   0x11 READ_FILE             u8 flags; u16 handle; u64 offset; u32 size
//   0x91  reply                u8 status; u8 flags; u64 offset; bytes data
//   0x12 WRITE_FILE            u8 flags; u16 handle; u64 offset; bytes data
//   0x92  reply                u8 status; u8 flags; u64 offset; u32 written
//   0x13 DELETE_FILE           u32 flags; str path
//   0x93  reply                u8 status; str path
//   0x14 MAKE_DIRECTORY        u32 flags; attribute set; str path
//   0x94  reply                u8 status; u32 detail
//   0x15 CLOSE_FILE            u32 flags; u16 handle
//   0x95  reply                u8 status; u16 handle
//   0x16 HASH_FILE             u8 flags; u16 handle; u16 blocks; u32 block size; u64 offset
//   0x96  reply                u8 status; u8 flags; u16 n; bytes n * 20 digest bytes
//   0x18 DIRECTORY_CHANGED     u32 flags (0); str path
//   0x19 SYNC                  u32 flags (0); str path of a folder on the file system to flush
//   0x99  reply                u8 status
//   0x1A PUT_FILE              u32 flags (0); i64 access time; i64 modification time (ms, 0 for
//                              none); str path; str hidden path in the same folder; bytes
//                              data; u16 permission bits (optional)
//   0x9A  reply                u8 status
//   0x1B GET_FILE              u32 flags (0); str path; u32 size wanted (at most 64400)
//   0x9B  reply                u8 status (7 when the data ends the file); bytes data
//
// OPEN_FILE by protocol version: version 1 always carries the attribute set and nothing
// else; versions 2 and 3 carry it only when flags & 0x10, with mask 0 or 1 and value 0 within
// 0x3A, then one i64 per time bit 0x08, 0x10, 0x20 in that order; version 3 adds the u64
// size when value 0 has 0x02.
//
// The decoder never trusts a length: strings, blocks and counts are checked against the
// limits of fsoprotocol.h before anything is copied, and a message that breaks any of them
// is refused as a whole. Trailing bytes after a body are ignored.

#include "com/termstream.h"
#include "vfs/fso/vfsfenucommand.h"

#include <QObject>

#include <cstdint>
#include <vector>

class QDataStream;

class VfsFenuCommandParser : public QObject
{
    Q_OBJECT
public:
    explicit VfsFenuCommandParser(QObject *parent = nullptr);
    int serial() const { return m_serial; }

public Q_SLOTS:
    // Decodes one whole message into cmd. True (and commandReceived) when it decoded
    // without error; false leaves cmd reset or partly filled and must not be used.
    bool processCommand(const std::vector<unsigned char> &data, VfsFenuCommand *cmd, ushort version);

Q_SIGNALS:
    void commandReceived(const VfsFenuCommand *cmd);

private:
    int m_serial;
};

// The decoder itself, without the QObject (fuzzing, tests, any thread).
bool decodeFsoCommand(const std::uint8_t *data, std::size_t size, VfsFenuCommand &cmd,
                      unsigned version);

// The same for a message the caller gives away: a WRITE_FILE request's data block is not
// copied out, the record takes the whole message as its `data` (the block at `dataAt`).
// Other messages decode as above and stay with the caller.
bool decodeFsoCommandTaking(std::vector<std::uint8_t> &message, VfsFenuCommand &cmd, unsigned version);

// Encodes cmd (header from cmd.msgClass, cmd.code, cmd.trId) with the body of its code.
// For 0x8B the entries are cmd.entryBlock as they stand; for 0x8C the records are
// cmd.drives. False (out left empty) for an unknown code, a field beyond the limits or a
// writer error: such a message is never sent.
bool encodeFsoMessage(const VfsFenuCommand &cmd, unsigned version, std::vector<std::uint8_t> &out);
// The same with the data block taken from the caller's buffer instead of cmd.data, so that
// it is copied once, into the message.
bool encodeFsoMessage(const VfsFenuCommand &cmd, unsigned version, std::vector<std::uint8_t> &out,
                      const std::uint8_t *block, std::size_t blockSize);

// Replies written straight from their fields, class 0x42, the same layouts encodeFsoMessage
// writes; payloads go by pointer from the caller's buffer into the message. Each fills `out`
// with one complete message, or leaves it empty and returns false when a field is beyond the
// limits (such a reply is never sent).
namespace fsoreply {
bool read(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint64_t offset, const std::uint8_t *data, std::size_t size);
bool write(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
           std::uint64_t offset, std::uint32_t written);
bool hash(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint8_t flags,
          std::uint16_t count, const std::uint8_t *digests, std::size_t size);
bool deleted(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, const std::string &path);
// A reply of a status alone (MOVE).
bool status(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status);
// OPEN_FILE and CLOSE_FILE replies.
bool handle(std::vector<std::uint8_t> &out, std::uint8_t code, std::uint16_t trId, std::uint8_t status,
            std::uint16_t handle);
bool makeDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t detail);
bool getFile(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, const std::uint8_t *data,
             std::size_t size);
bool listDirectory(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint32_t flags,
                   const FsoAttributes &attributes, std::uint64_t volumeSerial);
bool drives(std::vector<std::uint8_t> &out, std::uint16_t trId, std::uint8_t status, std::uint16_t index,
            std::vector<FsoDriveRecord> records);
bool directoryChanged(std::vector<std::uint8_t> &out, std::uint16_t trId, const std::string &path);
// The fixed head of a QUERY_LIST_DIRECTORY page (header, status, index, count); the entries
// follow as written by writeDirectoryEntry and the length is patched by the caller.
bool writePageHead(com::TermStreamWriter &writer, std::uint16_t trId, std::uint8_t status, std::uint32_t index,
                   std::uint16_t count);
} // namespace fsoreply

// Writes the four header items with length 0 (request class unless told otherwise).
int writeFsoHeader(com::TermStreamWriter &writer, std::uint8_t code, std::uint16_t trId,
                   std::uint8_t msgClass = FSO_CLASS_REQUEST);
// Shrinks buffer to the bytes written and patches the length; false on a writer error.
bool finishFsoMessage(com::TermStreamWriter &writer, std::vector<std::uint8_t> &buffer);

bool writeAttributeMask(com::TermStreamWriter &writer, std::uint16_t mask, const std::uint32_t *values);
bool writeAttributeMask(com::TermStreamWriter &writer, const FsoAttributes &attributes);
bool readAttributeMask(com::TermStreamReader &reader, std::uint16_t &mask, std::uint32_t *values);
bool readAttributeMask(com::TermStreamReader &reader, FsoAttributes &attributes);

// One directory entry with the items the granted set (value 0) names. entry.type uses the
// decoded codes (1 file, 2 directory); the wire's are swapped back here.
bool writeDirectoryEntry(com::TermStreamWriter &writer, std::uint32_t granted,
                         const VfsDirectoryEntry &entry);
// Reads one entry. False when the reader fails or the name is longer than 1022 bytes (the
// reader is then in error, so the page ends).
bool readDirectoryEntry(com::TermStreamReader &reader, std::uint32_t granted, VfsDirectoryEntry &entry);
// Whether a name from a peer may become a part of a local path: not "", ".", "..", and
// without "/", "\" or NUL.
bool isSafeEntryName(const QString &name);

bool writeDriveRecord(com::TermStreamWriter &writer, const FsoDriveRecord &drive);

// Little-endian QDataStream form of an attribute set (no tags); no message uses it.
void writeAttributeMaskToDataStream(QDataStream &stream, std::uint16_t mask, const std::uint32_t *values);
bool readAttributeMaskFromDataStream(QDataStream &stream, std::uint16_t &mask, std::uint32_t *values);
int writeDataStreamCString(QDataStream &stream, const QString &text);
int readDataStreamCString(QDataStream &stream, char *buffer, int size);

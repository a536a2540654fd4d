#pragma once

// The term stream: the encoding of every message between peers.
//
// Each item is a one-byte tag followed by its value, little-endian:
//
//   tag  5  u8      1 byte
//   tag  6  u16     2 bytes
//   tag  7  u32     4 bytes
//   tag  8  u64     8 bytes, unsigned
//   tag 12  i64     8 bytes, signed
//   tag 13  string  unsigned LEB128 length (7 bits a byte, low group first, high bit = more
//                   bytes follow, at most 5 bytes), then the bytes; no terminating NUL
//   tag 15  blob    u32 length (4 bytes, no tag of its own), then the bytes
//
// Both cursors keep a sticky error: once set, every later call does nothing and returns it.
// Nothing here allocates from a length read off the wire before that length has been
// checked against the bytes actually present.
//
// Every message starts with the header u32 total length (patched once the message is
// complete), u8 class, u8 code, u16 id — 12 bytes on the wire.

#include <QMetaType>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace com {

enum TermTag : std::uint8_t {
    TermTagU8 = 5,
    TermTagU16 = 6,
    TermTagU32 = 7,
    TermTagU64 = 8,
    TermTagI64 = 12,
    TermTagString = 13,
    TermTagBlob = 15,
};

enum TermError : int {
    TermOk = 0,
    TermWrongTag = 1,
    TermInputTooShort = 2,
    TermOutputFull = 3,
    TermDestinationTooSmall = 4,
};

// Longest size prefix of a string: 5 groups of 7 bits cover every u32 length.
constexpr std::size_t kTermMaxLebBytes = 5;
// Bytes of the message header on the wire: u32 (5) + u8 (2) + u8 (2) + u16 (3).
constexpr std::size_t kTermHeaderBytes = 12;

class TermStreamWriter
{
public:
    TermStreamWriter(std::uint8_t *buffer, std::size_t capacity);
    // Convenience: writes into a vector sized by the caller (its size is the capacity).
    explicit TermStreamWriter(std::vector<std::uint8_t> &buffer);

    // Each returns the error code after the call, 0 on success.
    int writeU8(std::uint8_t value);
    int writeU16(std::uint16_t value);
    int writeU32(std::uint32_t value);
    int writeU64(std::uint64_t value);
    int writeI64(std::int64_t value);
    int writeString(const void *bytes, std::size_t length);
    int writeString(const std::string &text) { return writeString(text.data(), text.size()); }
    int writeBlob(const void *bytes, std::size_t length);
    // A blob's tag and length alone: its bytes are put after the writer's buffer by the
    // caller, so a large block is copied once, where the message is finally assembled.
    int writeBlobHead(std::size_t length);
    // Bytes already encoded as items elsewhere (no tag of their own).
    int writeRaw(const void *bytes, std::size_t length);

    // Bytes written: the furthest point the cursor has reached.
    std::size_t size() const { return m_size; }
    std::size_t pos() const { return m_pos; }
    std::size_t capacity() const { return m_capacity; }
    // Moves the cursor, e.g. back to patch a length; beyond the written bytes it is error 3.
    int setPos(std::size_t position);

    int error() const { return m_error; }
    bool failed() const { return m_error != TermOk; }

    // Bytes the prefix of a string of this length takes.
    static std::size_t lebSize(std::uint32_t value);

private:
    int writeTagged(std::uint8_t tag, std::uint64_t value, int bytes);
    bool reserve(std::size_t bytes);
    void put(const void *bytes, std::size_t length);
    void putLe(std::uint64_t value, int bytes);

    std::uint8_t *m_buffer;
    std::size_t m_capacity;
    std::size_t m_pos = 0;
    std::size_t m_size = 0;
    int m_error = TermOk;
};

class TermStreamReader
{
public:
    TermStreamReader(const std::uint8_t *data, std::size_t size);
    explicit TermStreamReader(const std::vector<std::uint8_t> &data);

    // Each returns the error code after the call, 0 on success; the out value is left
    // untouched on failure.
    int readU8(std::uint8_t &value);
    int readU16(std::uint16_t &value);
    int readU32(std::uint32_t &value);
    int readU64(std::uint64_t &value);
    int readI64(std::int64_t &value);
    // Copies the string and a NUL; outLength = length + 1. Error 4 when length + 1 > capacity.
    int readCString(char *buffer, std::size_t capacity, std::size_t &outLength);
    int readString(std::string &value);
    // Like readString, but error 4 when the string is longer than maxLength bytes.
    int readString(std::string &value, std::size_t maxLength);
    int readBlob(std::vector<std::uint8_t> &value);
    // Zero-copy views into the input; valid as long as the input is.
    int readStringRef(const std::uint8_t *&bytes, std::size_t &length);
    int readBlobRef(const std::uint8_t *&bytes, std::size_t &length);

    std::size_t pos() const { return m_pos; }
    std::size_t size() const { return m_size; }
    std::size_t remaining() const { return m_size - m_pos; }
    const std::uint8_t *data() const { return m_data; }
    int error() const { return m_error; }
    bool failed() const { return m_error != TermOk; }

private:
    bool tag(std::uint8_t expected);
    bool need(std::size_t bytes);
    std::uint64_t getLe(int bytes);
    int fail(int code);

    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    int m_error = TermOk;
};

// The message header shared by every peer message.
struct MessageHeader
{
    std::uint32_t length = 0;
    std::uint8_t msgClass = 0;
    std::uint8_t code = 0;
    std::uint16_t id = 0;
};

// Writes the header with length 0; finishMessage patches it.
int writeMessageHeader(TermStreamWriter &writer, std::uint8_t msgClass, std::uint8_t code,
                       std::uint16_t id);
// Patches the leading u32 with writer.size() and leaves the cursor at the end.
int finishMessage(TermStreamWriter &writer);
// Reads the four header items; does not compare the length with the input.
int readMessageHeader(TermStreamReader &reader, MessageHeader &header);
bool peekMessageHeader(const std::uint8_t *data, std::size_t size, MessageHeader &header);

} // namespace com

// Raw messages travel between threads as byte vectors (queued signals); declared once here,
// where every user of messages already looks.
Q_DECLARE_METATYPE(std::vector<unsigned char>)

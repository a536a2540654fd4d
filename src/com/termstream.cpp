#include "com/termstream.h"

#include <cstring>

namespace com {

// --- writer --------------------------------------------------------------------------------

TermStreamWriter::TermStreamWriter(std::uint8_t *buffer, std::size_t capacity)
    : m_buffer(buffer), m_capacity(buffer ? capacity : 0)
{
}

TermStreamWriter::TermStreamWriter(std::vector<std::uint8_t> &buffer)
    : TermStreamWriter(buffer.data(), buffer.size())
{
}

std::size_t TermStreamWriter::lebSize(std::uint32_t value)
{
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

bool TermStreamWriter::reserve(std::size_t bytes)
{
    if (m_error != TermOk)
        return false;
    if (bytes > m_capacity - m_pos) {
        m_error = TermOutputFull;
        return false;
    }
    return true;
}

void TermStreamWriter::put(const void *bytes, std::size_t length)
{
    if (length)
        std::memcpy(m_buffer + m_pos, bytes, length);
    m_pos += length;
    if (m_pos > m_size)
        m_size = m_pos;
}

void TermStreamWriter::putLe(std::uint64_t value, int bytes)
{
    std::uint8_t tmp[8];
    for (int i = 0; i < bytes; ++i)
        tmp[i] = static_cast<std::uint8_t>(value >> (8 * i));
    put(tmp, static_cast<std::size_t>(bytes));
}

// One tag byte and `bytes` little-endian value bytes, or nothing (error 3) when they don't fit.
int TermStreamWriter::writeTagged(std::uint8_t tag, std::uint64_t value, int bytes)
{
    if (reserve(1 + static_cast<std::size_t>(bytes))) {
        put(&tag, 1);
        putLe(value, bytes);
    }
    return m_error;
}

int TermStreamWriter::writeU8(std::uint8_t value)
{
    return writeTagged(TermTagU8, static_cast<std::uint64_t>(value), 1);
}

int TermStreamWriter::writeU16(std::uint16_t value)
{
    return writeTagged(TermTagU16, static_cast<std::uint64_t>(value), 2);
}

int TermStreamWriter::writeU32(std::uint32_t value)
{
    return writeTagged(TermTagU32, static_cast<std::uint64_t>(value), 4);
}

int TermStreamWriter::writeU64(std::uint64_t value)
{
    return writeTagged(TermTagU64, static_cast<std::uint64_t>(value), 8);
}

int TermStreamWriter::writeI64(std::int64_t value)
{
    return writeTagged(TermTagI64, static_cast<std::uint64_t>(value), 8);
}

int TermStreamWriter::writeString(const void *bytes, std::size_t length)
{
    if (m_error != TermOk)
        return m_error;
    if (length > 0xFFFFFFFFu || (length && !bytes)) {
        m_error = TermOutputFull;
        return m_error;
    }
    const auto len32 = static_cast<std::uint32_t>(length);
    const std::size_t prefix = lebSize(len32);
    if (length > m_capacity || !reserve(1 + prefix + length)) {
        m_error = TermOutputFull;
        return m_error;
    }
    std::uint8_t head[1 + kTermMaxLebBytes];
    std::size_t n = 0;
    head[n++] = TermTagString;
    std::uint32_t v = len32;
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        if (v)
            b |= 0x80;
        head[n++] = b;
    } while (v);
    put(head, n);
    put(bytes, length);
    return m_error;
}

int TermStreamWriter::writeBlob(const void *bytes, std::size_t length)
{
    if (m_error != TermOk)
        return m_error;
    if (length > 0xFFFFFFFFu || length > m_capacity || (length && !bytes) || !reserve(5 + length)) {
        m_error = TermOutputFull;
        return m_error;
    }
    if (writeBlobHead(length) == TermOk)
        put(bytes, length);
    return m_error;
}

int TermStreamWriter::writeBlobHead(std::size_t length)
{
    if (m_error != TermOk)
        return m_error;
    if (length > 0xFFFFFFFFu || !reserve(5)) {
        m_error = TermOutputFull;
        return m_error;
    }
    std::uint8_t tag = TermTagBlob;
    put(&tag, 1);
    putLe(length, 4);
    return m_error;
}

int TermStreamWriter::writeRaw(const void *bytes, std::size_t length)
{
    if (m_error != TermOk)
        return m_error;
    if ((length && !bytes) || !reserve(length))
        return m_error = TermOutputFull;
    put(bytes, length);
    return m_error;
}

int TermStreamWriter::setPos(std::size_t position)
{
    if (m_error != TermOk)
        return m_error;
    if (position > m_size) {
        m_error = TermOutputFull;
        return m_error;
    }
    m_pos = position;
    return m_error;
}

// --- reader --------------------------------------------------------------------------------

TermStreamReader::TermStreamReader(const std::uint8_t *data, std::size_t size)
    : m_data(data), m_size(data ? size : 0)
{
}

TermStreamReader::TermStreamReader(const std::vector<std::uint8_t> &data)
    : TermStreamReader(data.data(), data.size())
{
}

int TermStreamReader::fail(int code)
{
    if (m_error == TermOk)
        m_error = code;
    return m_error;
}

bool TermStreamReader::need(std::size_t bytes)
{
    if (m_error != TermOk)
        return false;
    if (bytes > m_size - m_pos) {
        fail(TermInputTooShort);
        return false;
    }
    return true;
}

bool TermStreamReader::tag(std::uint8_t expected)
{
    if (!need(1))
        return false;
    if (m_data[m_pos] != expected) {
        fail(TermWrongTag);
        return false;
    }
    return true;
}

std::uint64_t TermStreamReader::getLe(int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<std::uint64_t>(m_data[m_pos + i]) << (8 * i);
    m_pos += static_cast<std::size_t>(bytes);
    return v;
}

// A value is read only when the tag matches and all of it is present; otherwise the cursor
// stays where it was, so pos() tells where decoding stopped.
#define TERM_READ_FIXED(TAG, BYTES, TYPE)                  \
    if (!tag(TAG))                                         \
        return m_error;                                    \
    if (!need(1 + (BYTES)))                                \
        return m_error;                                    \
    ++m_pos;                                               \
    value = static_cast<TYPE>(getLe(BYTES));               \
    return m_error;

int TermStreamReader::readU8(std::uint8_t &value) { TERM_READ_FIXED(TermTagU8, 1, std::uint8_t) }
int TermStreamReader::readU16(std::uint16_t &value) { TERM_READ_FIXED(TermTagU16, 2, std::uint16_t) }
int TermStreamReader::readU32(std::uint32_t &value) { TERM_READ_FIXED(TermTagU32, 4, std::uint32_t) }
int TermStreamReader::readU64(std::uint64_t &value) { TERM_READ_FIXED(TermTagU64, 8, std::uint64_t) }
int TermStreamReader::readI64(std::int64_t &value) { TERM_READ_FIXED(TermTagI64, 8, std::int64_t) }

#undef TERM_READ_FIXED

int TermStreamReader::readStringRef(const std::uint8_t *&bytes, std::size_t &length)
{
    if (!tag(TermTagString))
        return m_error;
    // LEB128 prefix: at most 5 bytes, and the value must fit 32 bits.
    std::size_t p = m_pos + 1;
    std::uint64_t len = 0;
    std::size_t i = 0;
    for (;; ++i) {
        if (i >= kTermMaxLebBytes || p >= m_size)
            return fail(TermInputTooShort);
        const std::uint8_t b = m_data[p++];
        len |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80))
            break;
    }
    if (len > 0xFFFFFFFFu || len > m_size - p)
        return fail(TermInputTooShort);
    bytes = m_data + p;
    length = static_cast<std::size_t>(len);
    m_pos = p + length;
    return m_error;
}

int TermStreamReader::readCString(char *buffer, std::size_t capacity, std::size_t &outLength)
{
    if (m_error != TermOk)
        return m_error;
    const std::size_t start = m_pos;
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (readStringRef(bytes, length) != TermOk)
        return m_error;
    if (!buffer || length + 1 > capacity) {
        m_pos = start;
        return fail(TermDestinationTooSmall);
    }
    if (length)
        std::memcpy(buffer, bytes, length);
    buffer[length] = '\0';
    outLength = length + 1;
    return m_error;
}

int TermStreamReader::readString(std::string &value)
{
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (readStringRef(bytes, length) == TermOk)
        value.assign(reinterpret_cast<const char *>(bytes), length);
    return m_error;
}

int TermStreamReader::readString(std::string &value, std::size_t maxLength)
{
    if (m_error != TermOk)
        return m_error;
    const std::size_t start = m_pos;
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (readStringRef(bytes, length) != TermOk)
        return m_error;
    if (length > maxLength) {
        m_pos = start;
        return fail(TermDestinationTooSmall);
    }
    value.assign(reinterpret_cast<const char *>(bytes), length);
    return m_error;
}

int TermStreamReader::readBlobRef(const std::uint8_t *&bytes, std::size_t &length)
{
    if (!tag(TermTagBlob) || !need(5))
        return m_error;
    std::size_t p = m_pos + 1;
    std::uint32_t len = 0;
    for (int i = 0; i < 4; ++i)
        len |= static_cast<std::uint32_t>(m_data[p + i]) << (8 * i);
    p += 4;
    if (len > m_size - p)
        return fail(TermInputTooShort);
    bytes = m_data + p;
    length = len;
    m_pos = p + len;
    return m_error;
}

int TermStreamReader::readBlob(std::vector<std::uint8_t> &value)
{
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (readBlobRef(bytes, length) == TermOk)
        value.assign(bytes, bytes + length);
    return m_error;
}

// --- header --------------------------------------------------------------------------------

int writeMessageHeader(TermStreamWriter &writer, std::uint8_t msgClass, std::uint8_t code,
                       std::uint16_t id)
{
    writer.writeU32(0);
    writer.writeU8(msgClass);
    writer.writeU8(code);
    return writer.writeU16(id);
}

int finishMessage(TermStreamWriter &writer)
{
    if (writer.failed())
        return writer.error();
    const std::size_t total = writer.size();
    if (total > 0xFFFFFFFFu || writer.setPos(0) != TermOk)
        return writer.error();
    writer.writeU32(static_cast<std::uint32_t>(total));
    return writer.setPos(total);
}

int readMessageHeader(TermStreamReader &reader, MessageHeader &header)
{
    reader.readU32(header.length);
    reader.readU8(header.msgClass);
    reader.readU8(header.code);
    return reader.readU16(header.id);
}

bool peekMessageHeader(const std::uint8_t *data, std::size_t size, MessageHeader &header)
{
    TermStreamReader reader(data, size);
    return readMessageHeader(reader, header) == TermOk;
}

} // namespace com

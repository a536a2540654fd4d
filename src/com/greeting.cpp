#include "com/greeting.h"

#include "com/link.h"
#include "com/termstream.h"

namespace com {

namespace {

int writeText(TermStreamWriter &w, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return w.writeString(utf8.constData(), std::size_t(utf8.size()));
}

bool readText(TermStreamReader &r, QString *text)
{
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (r.readStringRef(bytes, length) != TermOk || length > Greeting::kMaxTextBytes)
        return false;
    *text = QString::fromUtf8(reinterpret_cast<const char *>(bytes), int(length));
    return true;
}

} // namespace

QByteArray encodeGreeting(const Greeting &greeting)
{
    if (greeting.attributes.size() > Greeting::kMaxAttributes
        || greeting.fsoVersions.size() > std::size_t(Greeting::kMaxVersions)
        || greeting.transports.size() > std::size_t(Greeting::kMaxTransports))
        return QByteArray();

    std::vector<std::uint8_t> buffer(std::size_t(kMaxHandshakeFrameBytes
                                                 - crypto::kSessionHeaderBytes
                                                 - crypto::kSessionTagBytes));
    TermStreamWriter w(buffer);
    writeMessageHeader(w, LinkClassControl, LinkGreeting, 0);
    w.writeU32(std::uint32_t(greeting.attributes.size()));
    for (auto it = greeting.attributes.cbegin(); it != greeting.attributes.cend(); ++it) {
        writeText(w, it.key());
        writeText(w, it.value());
    }
    w.writeU32(std::uint32_t(greeting.fsoVersions.size()));
    for (std::uint16_t v : greeting.fsoVersions)
        w.writeU16(v);
    w.writeU32(std::uint32_t(greeting.transports.size()));
    for (const TransportDto &t : greeting.transports) {
        writeText(w, t.uuid);
        writeText(w, t.type);
        writeText(w, t.host);
        w.writeU16(t.port);
        w.writeI64(t.timestamp);
    }
    finishMessage(w);
    if (w.failed())
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(buffer.data()), int(w.size()));
}

bool decodeGreeting(const QByteArray &message, Greeting *greeting)
{
    const auto *data = reinterpret_cast<const std::uint8_t *>(message.constData());
    TermStreamReader r(data, std::size_t(message.size()));
    MessageHeader header;
    if (readMessageHeader(r, header) != TermOk || header.length != std::uint32_t(message.size())
        || header.msgClass != LinkClassControl || header.code != LinkGreeting)
        return false;

    Greeting g;
    std::uint32_t count = 0;
    if (r.readU32(count) != TermOk || count > std::uint32_t(Greeting::kMaxAttributes))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        QString key, value;
        if (!readText(r, &key) || !readText(r, &value))
            return false;
        g.attributes.insert(key, value);
    }
    if (r.readU32(count) != TermOk || count > std::uint32_t(Greeting::kMaxVersions))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t v = 0;
        if (r.readU16(v) != TermOk)
            return false;
        g.fsoVersions.push_back(v);
    }
    if (r.readU32(count) != TermOk || count > std::uint32_t(Greeting::kMaxTransports))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        TransportDto t;
        std::int64_t stamp = 0;
        if (!readText(r, &t.uuid) || !readText(r, &t.type) || !readText(r, &t.host)
            || r.readU16(t.port) != TermOk || r.readI64(stamp) != TermOk)
            return false;
        t.timestamp = stamp;
        t.stream = TransportDto::isStreamType(t.type);
        g.transports.push_back(t);
    }
    if (r.remaining() != 0)
        return false;
    *greeting = std::move(g);
    return true;
}

} // namespace com

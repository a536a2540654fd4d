#include "com/udpwire.h"

#include <QtEndian>

#include <cstring>

namespace com::udpwire {

namespace {

constexpr int kPublicKeyBytes = 32;

} // namespace

Family familyOf(const char *data, int size)
{
    if (size < 1)
        return Family::Unknown;
    const auto first = std::uint8_t(data[0]);
    // STUN: the top two bits zero and the magic cookie at offset 4.
    if (first <= 0x03 && size >= 20 && qFromBigEndian<quint32>(data + 4) == 0x2112A442u)
        return Family::Stun;
    if (first >= 0x40 && first <= 0x7F && size >= 4)
        return Family::ChannelData;
    if (first >= KindOpen && first <= KindClose && size >= 5)
        return Family::Session;
    return Family::Unknown;
}

QByteArray makeHandshake(Kind kind, std::uint32_t conv, const QByteArray &publicKey)
{
    QByteArray out(kOpenBytes, '\0');
    out[0] = char(kind);
    qToLittleEndian<quint32>(conv, out.data() + 1);
    std::memcpy(out.data() + 5, publicKey.constData(), size_t(qMin(publicKey.size(), kPublicKeyBytes)));
    return out;
}

bool parseHandshake(const char *data, int size, Kind kind, std::uint32_t *conv, QByteArray *publicKey)
{
    if (size != kOpenBytes || std::uint8_t(data[0]) != kind)
        return false;
    *conv = qFromLittleEndian<quint32>(data + 1);
    *publicKey = QByteArray(data + 5, kPublicKeyBytes);
    return true;
}

bool peekSession(const char *data, int size, Kind *kind, std::uint32_t *conv)
{
    if (size < 5)
        return false;
    *kind = Kind(std::uint8_t(data[0]));
    *conv = qFromLittleEndian<quint32>(data + 1);
    return true;
}

QByteArray Sealer::seal(Kind kind, std::uint32_t conv, const char *payload, int size)
{
    QByteArray out(kOverheadBytes + size, Qt::Uninitialized);
    if (size > 0)
        std::memcpy(out.data() + kHeaderBytes, payload, size_t(size));
    if (!sealInPlace(kind, conv, out.data() + kHeaderBytes, size, out.data() + kHeaderBytes + size))
        return QByteArray();
    return out;
}

bool Sealer::sealInPlace(Kind kind, std::uint32_t conv, char *payload, int size, char *tag)
{
    return stamp(kind, conv, payload) && tagStamped(payload - kHeaderBytes, kHeaderBytes + size, tag, 0);
}

bool Sealer::stamp(Kind kind, std::uint32_t conv, char *payload)
{
    if (!isValid() || m_counter == ~std::uint64_t(0))
        return false;
    char *p = payload - kHeaderBytes;
    p[0] = char(kind);
    qToLittleEndian<quint32>(conv, p + 1);
    qToLittleEndian<quint64>(m_counter++, p + 5);
    return true;
}

bool Sealer::tagStamped(const char *datagram, int size, char *tag, int lane) const
{
    return size >= kHeaderBytes
        && m_tagger.tag(qFromLittleEndian<quint64>(datagram + 5), datagram, size,
                        reinterpret_cast<unsigned char *>(tag), lane);
}

bool Opener::fresh(std::uint64_t counter) const
{
    if (!m_any || counter > m_highest)
        return true;
    if (m_highest - counter >= std::uint64_t(kReplayWindow))
        return false;
    return m_seen[counter % kReplayWindow] != counter + 1;
}

bool Opener::tagIsAuthentic(const char *data, int size, int lane) const
{
    return isValid() && size >= kOverheadBytes
        && m_tagger.verify(qFromLittleEndian<quint64>(data + 5), data, size - kTagBytes,
                           reinterpret_cast<const unsigned char *>(data + size - kTagBytes), lane);
}

bool Opener::open(const char *data, int size, const char **payload, int *payloadSize, bool tagChecked)
{
    if (!isValid() || size < kOverheadBytes)
        return false;
    const std::uint64_t counter = qFromLittleEndian<quint64>(data + 5);
    if (!fresh(counter) || !(tagChecked || tagIsAuthentic(data, size, 0)))
        return false;
    m_seen[counter % kReplayWindow] = counter + 1;
    if (!m_any || counter > m_highest)
        m_highest = counter;
    m_any = true;
    *payload = data + kHeaderBytes;
    *payloadSize = size - kOverheadBytes;
    return true;
}

} // namespace com::udpwire

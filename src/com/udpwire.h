#pragma once

// Datagrams of the UDP transport. One UDP socket per program carries them next to STUN and
// TURN messages; the first byte tells them apart (STUN 0x00..0x03, TURN channel data
// 0x40..0x7F, ours 0xC1..0xC4).
//
//   OPEN    0xC1 | u32 conv | X25519 public key (32) | zero padding to 96 bytes
//   ACCEPT  0xC2 | u32 conv | X25519 public key (32) | zero padding to 96 bytes
//   DATA    0xC3 | u32 conv | u64 counter | KCP segments | tag (16)
//   CLOSE   0xC4 | u32 conv | u64 counter | tag (16)
// (integers little-endian)
//
// OPEN starts a session (the dialling side picks a random conv), ACCEPT answers it; each
// side then derives one key per direction from the two public keys (crypto_kx, the dialling
// side as client). DATA and CLOSE carry a Poly1305 tag over the whole datagram under the
// sender's key with the counter as nonce, and a receiver takes each counter once (a window
// of the last kReplayWindow counters): a forged, altered or replayed datagram is dropped
// without a trace and cannot disturb the session. The KCP payload needs no encryption of
// its own: it is the link's stream, whose frames are sealed end to end already. OPEN is
// padded so that an answer is never larger than the datagram that asked for it.

#include "crypto/crypto.h"

#include <QByteArray>

#include <array>
#include <cstdint>

namespace com::udpwire {

enum Kind : std::uint8_t {
    KindOpen = 0xC1,
    KindAccept = 0xC2,
    KindData = 0xC3,
    KindClose = 0xC4,
};

enum class Family { Stun, ChannelData, Session, Unknown };

constexpr int kOpenBytes = 96;
constexpr int kHeaderBytes = 13;   // kind, conv, counter
constexpr int kTagBytes = 16;
constexpr int kOverheadBytes = kHeaderBytes + kTagBytes;
constexpr int kReplayWindow = 1024;

Family familyOf(const char *data, int size);

QByteArray makeHandshake(Kind kind, std::uint32_t conv, const QByteArray &publicKey);
// OPEN or ACCEPT: false unless the datagram is exactly one of `kind`.
bool parseHandshake(const char *data, int size, Kind kind, std::uint32_t *conv, QByteArray *publicKey);
// Kind and conv of any of our datagrams; false when too short.
bool peekSession(const char *data, int size, Kind *kind, std::uint32_t *conv);

// One direction of a session: tags what it sends.
class Sealer
{
public:
    Sealer() = default;
    explicit Sealer(const QByteArray &key) : m_tagger(key) {}
    bool isValid() const { return m_tagger.isValid(); }
    // DATA (payload non-empty) or CLOSE (payload empty). Empty once the counter ran out.
    QByteArray seal(Kind kind, std::uint32_t conv, const char *payload, int size);
    // The same where the payload lies: the header goes to the kHeaderBytes before
    // `payload` (the caller's to write), the tag (kTagBytes) to `tag`.
    bool sealInPlace(Kind kind, std::uint32_t conv, char *payload, int size, char *tag);
    // sealInPlace in two steps, for many datagrams at once: the header with the next counter,
    // in sending order; then the tag of the datagram that starts with that header, in any
    // order and in any lane of crypto/parallel.h.
    bool stamp(Kind kind, std::uint32_t conv, char *payload);
    bool tagStamped(const char *datagram, int size, char *tag, int lane) const;

private:
    crypto::CounterTagger m_tagger;
    std::uint64_t m_counter = 0;
};

// The other direction: checks the tag and the counter.
class Opener
{
public:
    Opener() = default;
    explicit Opener(const QByteArray &key) : m_tagger(key) {}
    bool isValid() const { return m_tagger.isValid(); }
    // True for an authentic datagram not seen before; *payload/*size then point into `data`.
    // `tagChecked`: tagIsAuthentic() said so already.
    bool open(const char *data, int size, const char **payload, int *payloadSize, bool tagChecked = false);
    // Whether the tag is right, whatever the counter: leaves the opener as it is, so that the
    // datagrams of a batch can be checked at once, in the lanes of crypto/parallel.h.
    bool tagIsAuthentic(const char *data, int size, int lane) const;

private:
    bool fresh(std::uint64_t counter) const;

    crypto::CounterTagger m_tagger;
    std::uint64_t m_highest = 0;
    bool m_any = false;
    std::array<std::uint64_t, kReplayWindow> m_seen{};   // counter + 1 in its slot
};

} // namespace com::udpwire

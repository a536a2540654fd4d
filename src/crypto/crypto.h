#pragma once

// The cryptography primitives of nusk, on libsodium; SHA-1 and the session cipher through
// OpenSSL's libcrypto, which is faster at both here and gives the same bytes.
//
// Two secure packet formats travel between peers. Both start with one key-id byte
// (crypto::KeyId); every other field follows without padding:
//
//   key id 0 — a packet sealed to a public key (anonymous sender):
//     [u8 0][sealed box: 32-byte ephemeral X25519 public key | ciphertext | 16-byte MAC]
//     The recipient's Ed25519 public key is converted to X25519 for the box.
//
//   key id 10..127 — a packet under a session key:
//     [u8 keyId][u64 little-endian counter][ciphertext | 16-byte Poly1305 tag]
//     ChaCha20-Poly1305 (IETF), 12-byte nonce = 4 zero bytes followed by the counter
//     (little-endian), additional data = the 9 header bytes. The counter starts at 0 for
//     each key and is advanced with sodium_increment after every packet, so no two
//     packets under one key share a nonce; after the packet with counter 2^64-1 the
//     sender seals nothing more under that key. A receiver refuses any counter that is
//     not greater than the last one it accepted (no replay, no reordering); only an
//     authentic packet moves that mark.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace crypto {

enum KeyId : std::uint8_t {
    KeyIdPublic = 0,
    KeyIdSessionFirst = 10,
    KeyIdSessionLast = 127,
};

constexpr int kSignPublicKeyBytes = 32;
constexpr int kSignSecretKeyBytes = 64;
constexpr int kSignatureBytes = 64;
constexpr int kSessionKeyBytes = 32;
constexpr int kKxPublicKeyBytes = 32;
constexpr int kKxSecretKeyBytes = 32;
constexpr int kPasswordSaltBytes = 16;
constexpr int kSessionHeaderBytes = 9;
constexpr int kSessionTagBytes = 16;
constexpr int kSealOverheadBytes = 1 + 32 + 16;

// Must run once before any other call; safe to call again from any thread.
bool initialize();

QByteArray randomBytes(int count);

struct SigningKeyPair {
    QByteArray publicKey;   // 32 bytes
    QByteArray secretKey;   // 64 bytes
    bool isValid() const;
};

SigningKeyPair generateSigningKeyPair();
QByteArray sign(const QByteArray &message, const QByteArray &secretKey);   // 64-byte detached signature
bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

// Ephemeral X25519 key exchange (crypto_kx). The client side is the one that opened the
// connection. Each side gets one key to send with and one to receive with.
// Zeroes a secret held in a QByteArray and empties it. A buffer still shared with another
// holder is only let go: zeroing it would pull the key from under that holder, which
// wipes it when it lets go itself.
void wipeSecret(QByteArray &secret);

struct KxKeyPair {
    QByteArray publicKey;   // 32 bytes
    QByteArray secretKey;   // 32 bytes
};
struct SessionKeys {
    QByteArray rx;          // 32 bytes
    QByteArray tx;          // 32 bytes
    bool isValid() const { return rx.size() == kSessionKeyBytes && tx.size() == kSessionKeyBytes; }
};
KxKeyPair generateKxKeyPair();
SessionKeys clientSessionKeys(const KxKeyPair &own, const QByteArray &serverPublicKey);
SessionKeys serverSessionKeys(const KxKeyPair &own, const QByteArray &clientPublicKey);

// Key id 0 packets. The public key is an Ed25519 signing key.
QByteArray sealToPublicKey(const QByteArray &plain, const QByteArray &recipientSignPublicKey);
bool openSealed(const QByteArray &packet, const SigningKeyPair &recipient, QByteArray *plain);

// Argon2id cost: the library's interactive limits (64 MiB, about 0.1 s), or its moderate
// ones (256 MiB, about 0.5 s) for what an attacker could take away and guess at offline.
enum class PasswordCost { Interactive, Moderate };

// Argon2id with the given limits.
QByteArray deriveKeyFromPassword(const QByteArray &password, const QByteArray &salt, int keyBytes = kSessionKeyBytes,
                                 PasswordCost cost = PasswordCost::Interactive);
QString hashPassword(const QByteArray &password);                          // storable text
bool verifyPassword(const QString &hash, const QByteArray &password);

// Generic keyed hash (BLAKE2b) for deriving sub-keys and proofs.
QByteArray keyedHash(const QByteArray &message, const QByteArray &key, int outBytes = 32);

// Plain authenticated encryption with a caller-chosen nonce source; used for data at rest
// and for the invitation link. The nonce (24 bytes, random) is prepended to the result.
QByteArray secretBoxSeal(const QByteArray &plain, const QByteArray &key);
bool secretBoxOpen(const QByteArray &boxed, const QByteArray &key, QByteArray *plain);

// Key id 10..127 packets under one session key, one direction. Not thread-safe: one
// sender and one receiver per direction, each on the thread of its connection.
struct AeadContext;   // OpenSSL's cipher state of one session key

// One whole packet (header, ciphertext or plaintext, tag) in a caller's buffer. A sealer
// reads the plaintext from `plain` when set (size - kSessionHeaderBytes - kSessionTagBytes
// bytes, not overlapping the span), so it need not be copied into the span first.
struct PacketSpan {
    char *data = nullptr;
    int size = 0;
    const char *plain = nullptr;
};

class SessionSealer
{
public:
    SessionSealer() = default;
    SessionSealer(std::uint8_t keyId, const QByteArray &key);
    SessionSealer(const SessionSealer &) = default;
    SessionSealer &operator=(const SessionSealer &) = default;
    ~SessionSealer() { wipe(); }
    bool isValid() const;
    // Forgets the key (zeroed); nothing can be sealed afterwards.
    void wipe()
    {
        wipeSecret(m_key);
        m_aead.reset();   // the cipher contexts hold the key, too
    }
    // Returns an empty array once the counter would wrap (the session must then end).
    QByteArray seal(const QByteArray &plain);
    // The same packet written to `out` (size + kSessionHeaderBytes + kSessionTagBytes
    // bytes, not overlapping `plain`), so a caller can seal straight into its own buffer.
    bool sealInto(const char *plain, int size, char *out);
    // Seals many packets at once where they lie, spread over a few threads (crypto/parallel.h).
    // Each span holds [kSessionHeaderBytes of room][plaintext, or room for it when the span
    // names its plaintext][kSessionTagBytes of room];
    // the packets take their counters in the order given. False when any fails; the
    // session must then end, as the spans hold garbage.
    bool sealBatch(const std::vector<PacketSpan> &packets);
    std::uint64_t nextCounter() const { return m_counter; }

private:
    friend struct SessionSealerTestAccess;   // lets tests start near the end of the counter

    // Writes the next packet's header and moves the counter on; false once it would wrap.
    bool takeCounter(char *packet);
    bool sealTaken(int lane, const unsigned char *header, const unsigned char *plain, int size,
                   unsigned char *cipher);

    std::uint8_t m_keyId = 0;
    QByteArray m_key;
    std::uint64_t m_counter = 0;
    bool m_exhausted = false;
    std::shared_ptr<AeadContext> m_aead;
};

class SessionOpener
{
public:
    SessionOpener() = default;
    SessionOpener(std::uint8_t keyId, const QByteArray &key);
    SessionOpener(const SessionOpener &) = default;
    SessionOpener &operator=(const SessionOpener &) = default;
    ~SessionOpener() { wipe(); }
    bool isValid() const;
    // Forgets the key (zeroed); nothing opens afterwards.
    void wipe()
    {
        wipeSecret(m_key);
        m_aead.reset();   // the cipher contexts hold the key, too
    }
    // False for a wrong key id, a tampered packet, or a counter not above the last accepted.
    bool open(const QByteArray &packet, QByteArray *plain);
    bool open(const char *data, int size, QByteArray *plain);
    // The same, decrypting where the packet lies: on success the plaintext is the
    // size - kSessionHeaderBytes - kSessionTagBytes bytes at data + kSessionHeaderBytes; on
    // failure those bytes are garbage.
    bool openInPlace(char *data, int size);
    // The same, decrypting into `out` (size - kSessionHeaderBytes - kSessionTagBytes bytes,
    // which may be the packet's ciphertext itself).
    bool openInto(const char *data, int size, unsigned char *out);
    // Opens many packets of the stream at once, spread over a few threads: the plaintext of
    // packets[i] goes to outs[i]. Returns how many opened, counted from the first; from the
    // first one that fails on, none counts as accepted.
    int openBatch(const std::vector<PacketSpan> &packets, unsigned char *const *outs);

private:
    bool acceptable(const PacketSpan &packet, bool any, std::uint64_t last) const;
    bool haveCipher();
    bool openAccepted(int lane, const PacketSpan &packet, unsigned char *out);

    std::uint8_t m_keyId = 0;
    QByteArray m_key;
    std::uint64_t m_lastCounter = 0;
    bool m_any = false;
    std::shared_ptr<AeadContext> m_aead;
};

// The ChaCha20-Poly1305 (RFC 8439) tag of an empty message with `size` bytes as additional
// data, nonce 4 zero bytes and the counter little-endian: a MAC under a one-time key per
// counter. Through OpenSSL, whose Poly1305 is about twice libsodium's. Copies share one
// context per lane of crypto/parallel.h: calls in different lanes may run at the same time,
// calls in one lane may not.
class CounterTagger
{
public:
    CounterTagger() = default;
    explicit CounterTagger(const QByteArray &key);   // kSessionKeyBytes
    bool isValid() const { return bool(m_context); }
    bool tag(std::uint64_t counter, const char *data, int size, unsigned char *tag, int lane = 0) const;
    // Constant-time comparison with `expected` (kSessionTagBytes).
    bool verify(std::uint64_t counter, const char *data, int size, const unsigned char *expected,
                int lane = 0) const;

private:
    std::shared_ptr<AeadContext> m_context;
};

// SHA-1, fed in pieces; reset() starts over. One object per thread.
class Sha1
{
public:
    static constexpr int kDigestBytes = 20;
    Sha1();
    ~Sha1();
    Sha1(const Sha1 &) = delete;
    Sha1 &operator=(const Sha1 &) = delete;
    void reset();
    void add(const void *data, std::size_t size);
    // Writes the 20-byte digest of everything added since the last reset.
    void finish(unsigned char *digest);

private:
    struct Context;
    Context *m_context;
};

} // namespace crypto

#include "crypto/crypto.h"

#include "crypto/parallel.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

namespace crypto {

static_assert(kSignPublicKeyBytes == crypto_sign_PUBLICKEYBYTES, "signing public key size");
static_assert(kSignSecretKeyBytes == crypto_sign_SECRETKEYBYTES, "signing secret key size");
static_assert(kSignatureBytes == crypto_sign_BYTES, "signature size");
static_assert(kSessionKeyBytes == crypto_aead_chacha20poly1305_ietf_KEYBYTES, "session key size");
static_assert(kSessionKeyBytes == crypto_kx_SESSIONKEYBYTES, "kx session key size");
static_assert(kKxPublicKeyBytes == crypto_kx_PUBLICKEYBYTES, "kx public key size");
static_assert(kKxSecretKeyBytes == crypto_kx_SECRETKEYBYTES, "kx secret key size");
static_assert(kPasswordSaltBytes == crypto_pwhash_SALTBYTES, "password salt size");
static_assert(kSessionTagBytes == crypto_aead_chacha20poly1305_ietf_ABYTES, "session tag size");
static_assert(kSessionHeaderBytes == 1 + 8, "session header = key id + u64 counter");
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12, "IETF nonce size");
static_assert(kSealOverheadBytes == 1 + crypto_box_SEALBYTES, "sealed packet overhead");
static_assert(crypto_secretbox_KEYBYTES == 32, "secret box key size");

namespace {

const unsigned char *kU8(const QByteArray &a) { return reinterpret_cast<const unsigned char *>(a.constData()); }

unsigned char *u8(QByteArray &a) { return reinterpret_cast<unsigned char *>(a.data()); }

bool isSessionKeyId(int keyId) { return keyId >= KeyIdSessionFirst && keyId <= KeyIdSessionLast; }

void writeLe64(unsigned char *out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t readLe64(const unsigned char *in)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | in[i];
    return v;
}

// Whether OpenSSL's cipher and libsodium's agree is checked in the tests; the nonce layout
// below is the one both are given.
void sessionNonce(unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES], std::uint64_t counter)
{
    std::memset(nonce, 0, 4);
    writeLe64(nonce + 4, counter);
}

// Wipes a secret that lives in a QByteArray we own alone (never one shared with a caller).
void wipe(QByteArray &a)
{
    if (!a.isEmpty())
        sodium_memzero(a.data(), static_cast<size_t>(a.size()));
    a.clear();
}

} // namespace

void wipeSecret(QByteArray &secret)
{
    if (!secret.isEmpty() && secret.isDetached())
        sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    secret.clear();
}

bool initialize()
{
    // sodium_init is itself idempotent and thread-safe; the static just spares the call.
    static const int rc = sodium_init();
    return rc >= 0;
}

QByteArray randomBytes(int count)
{
    if (count <= 0 || !initialize())
        return QByteArray();
    QByteArray out(count, Qt::Uninitialized);
    randombytes_buf(out.data(), static_cast<size_t>(count));
    return out;
}

// ---------------------------------------------------------------------------------------------
// Signing

bool SigningKeyPair::isValid() const
{
    if (publicKey.size() != kSignPublicKeyBytes || secretKey.size() != kSignSecretKeyBytes)
        return false;
    // An Ed25519 secret key carries its public half in its last 32 bytes; a pair whose halves
    // disagree would sign messages nobody can verify against the stored public key.
    return sodium_memcmp(secretKey.constData() + 32, publicKey.constData(), kSignPublicKeyBytes) == 0;
}

SigningKeyPair generateSigningKeyPair()
{
    SigningKeyPair pair;
    if (!initialize())
        return pair;
    pair.publicKey = QByteArray(kSignPublicKeyBytes, Qt::Uninitialized);
    pair.secretKey = QByteArray(kSignSecretKeyBytes, Qt::Uninitialized);
    if (crypto_sign_keypair(u8(pair.publicKey), u8(pair.secretKey)) != 0) {
        wipe(pair.secretKey);
        pair.publicKey.clear();
    }
    return pair;
}

QByteArray sign(const QByteArray &message, const QByteArray &secretKey)
{
    if (secretKey.size() != kSignSecretKeyBytes || !initialize())
        return QByteArray();
    QByteArray signature(kSignatureBytes, Qt::Uninitialized);
    if (crypto_sign_detached(u8(signature), nullptr, kU8(message), static_cast<unsigned long long>(message.size()),
                             kU8(secretKey)) != 0)
        return QByteArray();
    return signature;
}

bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != kSignatureBytes || publicKey.size() != kSignPublicKeyBytes || !initialize())
        return false;
    return crypto_sign_verify_detached(kU8(signature), kU8(message), static_cast<unsigned long long>(message.size()),
                                       kU8(publicKey)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Key exchange

KxKeyPair generateKxKeyPair()
{
    KxKeyPair pair;
    if (!initialize())
        return pair;
    pair.publicKey = QByteArray(kKxPublicKeyBytes, Qt::Uninitialized);
    pair.secretKey = QByteArray(kKxSecretKeyBytes, Qt::Uninitialized);
    if (crypto_kx_keypair(u8(pair.publicKey), u8(pair.secretKey)) != 0) {
        wipe(pair.secretKey);
        pair.publicKey.clear();
    }
    return pair;
}

static SessionKeys sessionKeys(bool client, const KxKeyPair &own, const QByteArray &peerPublicKey)
{
    SessionKeys keys;
    if (own.publicKey.size() != kKxPublicKeyBytes || own.secretKey.size() != kKxSecretKeyBytes
        || peerPublicKey.size() != kKxPublicKeyBytes || !initialize())
        return keys;
    QByteArray rx(kSessionKeyBytes, Qt::Uninitialized);
    QByteArray tx(kSessionKeyBytes, Qt::Uninitialized);
    // Both calls fail for a low-order peer key, which would give a shared secret an
    // attacker knows; such a handshake gets no keys at all.
    const int rc = client ? crypto_kx_client_session_keys(u8(rx), u8(tx), kU8(own.publicKey), kU8(own.secretKey),
                                                          kU8(peerPublicKey))
                          : crypto_kx_server_session_keys(u8(rx), u8(tx), kU8(own.publicKey), kU8(own.secretKey),
                                                          kU8(peerPublicKey));
    if (rc != 0) {
        wipe(rx);
        wipe(tx);
        return keys;
    }
    keys.rx = rx;
    keys.tx = tx;
    return keys;
}

SessionKeys clientSessionKeys(const KxKeyPair &own, const QByteArray &serverPublicKey)
{
    return sessionKeys(true, own, serverPublicKey);
}

SessionKeys serverSessionKeys(const KxKeyPair &own, const QByteArray &clientPublicKey)
{
    return sessionKeys(false, own, clientPublicKey);
}

// ---------------------------------------------------------------------------------------------
// Key id 0: sealed to a public key

QByteArray sealToPublicKey(const QByteArray &plain, const QByteArray &recipientSignPublicKey)
{
    if (recipientSignPublicKey.size() != kSignPublicKeyBytes || plain.size() > INT_MAX - kSealOverheadBytes
        || !initialize())
        return QByteArray();
    unsigned char curvePk[crypto_scalarmult_curve25519_BYTES];
    if (crypto_sign_ed25519_pk_to_curve25519(curvePk, kU8(recipientSignPublicKey)) != 0)
        return QByteArray();
    QByteArray packet(kSealOverheadBytes + plain.size(), Qt::Uninitialized);
    packet[0] = char(KeyIdPublic);
    if (crypto_box_seal(u8(packet) + 1, kU8(plain), static_cast<unsigned long long>(plain.size()), curvePk) != 0)
        return QByteArray();
    return packet;
}

bool openSealed(const QByteArray &packet, const SigningKeyPair &recipient, QByteArray *plain)
{
    if (packet.size() < kSealOverheadBytes || std::uint8_t(packet.at(0)) != KeyIdPublic || !recipient.isValid()
        || !initialize())
        return false;
    unsigned char curvePk[crypto_scalarmult_curve25519_BYTES];
    unsigned char curveSk[crypto_scalarmult_curve25519_BYTES];
    if (crypto_sign_ed25519_pk_to_curve25519(curvePk, kU8(recipient.publicKey)) != 0)
        return false;
    if (crypto_sign_ed25519_sk_to_curve25519(curveSk, kU8(recipient.secretKey)) != 0) {
        sodium_memzero(curveSk, sizeof curveSk);
        return false;
    }
    QByteArray out(packet.size() - kSealOverheadBytes, Qt::Uninitialized);
    const int rc = crypto_box_seal_open(u8(out), kU8(packet) + 1, static_cast<unsigned long long>(packet.size() - 1),
                                        curvePk, curveSk);
    sodium_memzero(curveSk, sizeof curveSk);
    if (rc != 0)
        return false;
    if (plain)
        *plain = out;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Passwords

QByteArray deriveKeyFromPassword(const QByteArray &password, const QByteArray &salt, int keyBytes, PasswordCost cost)
{
    const bool moderate = cost == PasswordCost::Moderate;
    // The upper bound only keeps a mistaken caller from asking for gigabytes.
    if (salt.size() != kPasswordSaltBytes || keyBytes < int(crypto_pwhash_BYTES_MIN) || keyBytes > 1024
        || !initialize())
        return QByteArray();
    QByteArray key(keyBytes, Qt::Uninitialized);
    if (crypto_pwhash(u8(key), static_cast<unsigned long long>(keyBytes), password.constData(),
                      static_cast<unsigned long long>(password.size()), kU8(salt),
                      moderate ? crypto_pwhash_OPSLIMIT_MODERATE : crypto_pwhash_OPSLIMIT_INTERACTIVE,
                      moderate ? crypto_pwhash_MEMLIMIT_MODERATE : crypto_pwhash_MEMLIMIT_INTERACTIVE,
                      crypto_pwhash_ALG_ARGON2ID13) != 0) {
        wipe(key);   // out of memory
        return QByteArray();
    }
    return key;
}

QString hashPassword(const QByteArray &password)
{
    if (!initialize())
        return QString();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.constData(), static_cast<unsigned long long>(password.size()),
                              crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return QString();
    return QString::fromLatin1(out);
}

bool verifyPassword(const QString &hash, const QByteArray &password)
{
    // A stored hash is printable ASCII shorter than the buffer libsodium writes it into;
    // anything else is not one of ours and must not reach the parser.
    if (hash.isEmpty() || hash.size() >= int(crypto_pwhash_STRBYTES) || !initialize())
        return false;
    const QByteArray text = hash.toLatin1();   // NUL-terminated by QByteArray
    return crypto_pwhash_str_verify(text.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

// ---------------------------------------------------------------------------------------------
// Keyed hash

QByteArray keyedHash(const QByteArray &message, const QByteArray &key, int outBytes)
{
    // No unkeyed fallback: an empty key by mistake must not quietly yield a plain digest
    // anyone can compute.
    if (outBytes < int(crypto_generichash_BYTES_MIN) || outBytes > int(crypto_generichash_BYTES_MAX)
        || key.size() < int(crypto_generichash_KEYBYTES_MIN) || key.size() > int(crypto_generichash_KEYBYTES_MAX)
        || !initialize())
        return QByteArray();
    QByteArray out(outBytes, Qt::Uninitialized);
    if (crypto_generichash(u8(out), static_cast<size_t>(outBytes), kU8(message),
                           static_cast<unsigned long long>(message.size()), kU8(key), static_cast<size_t>(key.size()))
        != 0)
        return QByteArray();
    return out;
}

// ---------------------------------------------------------------------------------------------
// Secret box: [24-byte random nonce][16-byte MAC | ciphertext]

QByteArray secretBoxSeal(const QByteArray &plain, const QByteArray &key)
{
    constexpr int overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (key.size() != int(crypto_secretbox_KEYBYTES) || plain.size() > INT_MAX - overhead || !initialize())
        return QByteArray();
    QByteArray boxed(overhead + plain.size(), Qt::Uninitialized);
    unsigned char *nonce = u8(boxed);
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    if (crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, kU8(plain),
                              static_cast<unsigned long long>(plain.size()), nonce, kU8(key))
        != 0)
        return QByteArray();
    return boxed;
}

bool secretBoxOpen(const QByteArray &boxed, const QByteArray &key, QByteArray *plain)
{
    constexpr int overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (key.size() != int(crypto_secretbox_KEYBYTES) || boxed.size() < overhead || !initialize())
        return false;
    QByteArray out(boxed.size() - overhead, Qt::Uninitialized);
    const unsigned char *nonce = kU8(boxed);
    if (crypto_secretbox_open_easy(u8(out), nonce + crypto_secretbox_NONCEBYTES,
                                   static_cast<unsigned long long>(boxed.size() - crypto_secretbox_NONCEBYTES), nonce,
                                   kU8(key))
        != 0)
        return false;
    if (plain)
        *plain = out;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Key id 10..127: session packets

// --- session cipher through OpenSSL --------------------------------------------------------

// One cipher context per lane of crypto/parallel.h, all under the same key; lane 0 is the
// one a packet sealed or opened alone goes through.
struct AeadContext
{
    std::vector<EVP_CIPHER_CTX *> lanes;
    bool encrypting = false;
    ~AeadContext()
    {
        for (EVP_CIPHER_CTX *ctx : lanes)
            EVP_CIPHER_CTX_free(ctx);
    }
};

namespace {

// The contexts holding the key, made once per sealer or opener.
std::shared_ptr<AeadContext> makeAead(const QByteArray &key, bool encrypting)
{
    auto aead = std::make_shared<AeadContext>();
    aead->encrypting = encrypting;
    for (int i = 0; i < parallelLanes(); ++i) {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        if (!ctx)
            return nullptr;
        aead->lanes.push_back(ctx);
        if (EVP_CipherInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, kU8(key), nullptr, encrypting ? 1 : 0) != 1)
            return nullptr;
    }
    return aead;
}

// ChaCha20-Poly1305 (RFC 8439) of `size` bytes from `in` to `out` (they may be the same),
// with the session header as additional data; sealing writes the tag to `tag`, opening
// checks it. False on any failure, a tag that doesn't match included.
bool aeadCrypt(AeadContext &aead, int lane, const unsigned char *nonce, const unsigned char *header,
               const unsigned char *in, std::size_t size, unsigned char *out, unsigned char *tag)
{
    EVP_CIPHER_CTX *ctx = aead.lanes[std::size_t(lane)];
    int len = 0;
    if (size > std::size_t(INT_MAX) || EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, -1) != 1
        || EVP_CipherUpdate(ctx, nullptr, &len, header, kSessionHeaderBytes) != 1)
        return false;
    if (size > 0 && (EVP_CipherUpdate(ctx, out, &len, in, int(size)) != 1 || std::size_t(len) != size))
        return false;
    if (!aead.encrypting && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kSessionTagBytes, tag) != 1)
        return false;
    if (EVP_CipherFinal_ex(ctx, out + size, &len) != 1)
        return false;
    return !aead.encrypting || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kSessionTagBytes, tag) == 1;
}

bool packetsWorthSpreading(const std::vector<PacketSpan> &packets, int count)
{
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i)
        bytes += packets[std::size_t(i)].size;
    return worthSpreading(count, bytes);
}

} // namespace

// --- datagram tags ---------------------------------------------------------------------------

CounterTagger::CounterTagger(const QByteArray &key)
{
    if (key.size() == kSessionKeyBytes)
        m_context = makeAead(key, true);
}

bool CounterTagger::tag(std::uint64_t counter, const char *data, int size, unsigned char *tag, int lane) const
{
    if (!m_context || size < 0 || lane < 0 || std::size_t(lane) >= m_context->lanes.size())
        return false;
    EVP_CIPHER_CTX *ctx = m_context->lanes[std::size_t(lane)];
    unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    sessionNonce(nonce, counter);
    int len = 0;
    unsigned char none[1];
    return EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, -1) == 1
        && (size == 0 || EVP_CipherUpdate(ctx, nullptr, &len, reinterpret_cast<const unsigned char *>(data), size) == 1)
        && EVP_CipherFinal_ex(ctx, none, &len) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kSessionTagBytes, tag) == 1;
}

bool CounterTagger::verify(std::uint64_t counter, const char *data, int size, const unsigned char *expected,
                           int lane) const
{
    unsigned char computed[kSessionTagBytes];
    return tag(counter, data, size, computed, lane) && sodium_memcmp(computed, expected, kSessionTagBytes) == 0;
}

// --- SHA-1 -----------------------------------------------------------------------------------

struct Sha1::Context
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
};

Sha1::Sha1()
    : m_context(new Context)
{
    reset();
}

Sha1::~Sha1()
{
    EVP_MD_CTX_free(m_context->ctx);
    delete m_context;
}

void Sha1::reset()
{
    EVP_DigestInit_ex(m_context->ctx, EVP_sha1(), nullptr);
}

void Sha1::add(const void *data, std::size_t size)
{
    if (size)
        EVP_DigestUpdate(m_context->ctx, data, size);
}

void Sha1::finish(unsigned char *digest)
{
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->ctx, digest, &length);
    reset();
}

SessionSealer::SessionSealer(std::uint8_t keyId, const QByteArray &key)
{
    if (isSessionKeyId(keyId) && key.size() == kSessionKeyBytes && initialize()) {
        m_keyId = keyId;
        m_key = key;
    }
}

bool SessionSealer::isValid() const
{
    return isSessionKeyId(m_keyId) && m_key.size() == kSessionKeyBytes;
}

QByteArray SessionSealer::seal(const QByteArray &plain)
{
    constexpr int overhead = kSessionHeaderBytes + kSessionTagBytes;
    if (plain.size() > INT_MAX - overhead)
        return QByteArray();
    QByteArray packet(overhead + plain.size(), Qt::Uninitialized);
    if (!sealInto(plain.constData(), plain.size(), packet.data()))
        return QByteArray();
    return packet;
}

bool SessionSealer::sealInto(const char *plain, int size, char *out)
{
    constexpr int overhead = kSessionHeaderBytes + kSessionTagBytes;
    if (size < 0 || size > INT_MAX - overhead || !out || (size > 0 && !plain) || !takeCounter(out))
        return false;
    auto *header = reinterpret_cast<unsigned char *>(out);
    unsigned char *cipher = header + kSessionHeaderBytes;
    return sealTaken(0, header, reinterpret_cast<const unsigned char *>(plain), size, cipher);
}

bool SessionSealer::sealBatch(const std::vector<PacketSpan> &packets)
{
    constexpr int overhead = kSessionHeaderBytes + kSessionTagBytes;
    for (const PacketSpan &p : packets) {
        if (!p.data || p.size < overhead || !takeCounter(p.data))
            return false;
    }
    std::atomic<bool> ok{true};
    runParallel(int(packets.size()), packetsWorthSpreading(packets, int(packets.size())), [&](int lane, int i) {
        const PacketSpan &p = packets[std::size_t(i)];
        auto *header = reinterpret_cast<unsigned char *>(p.data);
        unsigned char *text = header + kSessionHeaderBytes;
        const auto *plain = p.plain ? reinterpret_cast<const unsigned char *>(p.plain) : text;
        if (!sealTaken(lane, header, plain, p.size - overhead, text))
            ok = false;
    });
    return ok;
}

bool SessionSealer::takeCounter(char *packet)
{
    if (!isValid() || m_exhausted)
        return false;
    if (!m_aead)
        m_aead = makeAead(m_key, true);
    if (!m_aead)
        return false;
    auto *header = reinterpret_cast<unsigned char *>(packet);
    header[0] = m_keyId;
    writeLe64(header + 1, m_counter);
    // Advance before the packet is sealed, so a counter value is never used twice. When the
    // counter wraps, this key has no fresh nonce left: refuse every further packet.
    unsigned char next[8];
    writeLe64(next, m_counter);
    sodium_increment(next, sizeof next);
    if (sodium_is_zero(next, sizeof next))
        m_exhausted = true;
    else
        m_counter = readLe64(next);
    return true;
}

bool SessionSealer::sealTaken(int lane, const unsigned char *header, const unsigned char *plain, int size,
                              unsigned char *cipher)
{
    unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    sessionNonce(nonce, readLe64(header + 1));
    return aeadCrypt(*m_aead, lane, nonce, header, plain, std::size_t(size), cipher, cipher + size);
}

SessionOpener::SessionOpener(std::uint8_t keyId, const QByteArray &key)
{
    if (isSessionKeyId(keyId) && key.size() == kSessionKeyBytes && initialize()) {
        m_keyId = keyId;
        m_key = key;
    }
}

bool SessionOpener::isValid() const
{
    return isSessionKeyId(m_keyId) && m_key.size() == kSessionKeyBytes;
}

bool SessionOpener::open(const QByteArray &packet, QByteArray *plain)
{
    return open(packet.constData(), packet.size(), plain);
}

bool SessionOpener::open(const char *data, int size, QByteArray *plain)
{
    if (!data || size < kSessionHeaderBytes + kSessionTagBytes)
        return false;
    QByteArray out(size - kSessionHeaderBytes - kSessionTagBytes, Qt::Uninitialized);
    if (!openInto(data, size, u8(out)))
        return false;
    if (plain)
        *plain = out;
    return true;
}

bool SessionOpener::openInPlace(char *data, int size)
{
    if (!data || size < kSessionHeaderBytes + kSessionTagBytes)
        return false;
    return openInto(data, size, reinterpret_cast<unsigned char *>(data) + kSessionHeaderBytes);
}

bool SessionOpener::openInto(const char *data, int size, unsigned char *out)
{
    const PacketSpan packet{const_cast<char *>(data), size};
    if (!out || !acceptable(packet, m_any, m_lastCounter) || !haveCipher() || !openAccepted(0, packet, out))
        return false;
    // Only an authentic packet moves the window; a forged one with a huge counter must not
    // lock the genuine sender out.
    m_lastCounter = readLe64(reinterpret_cast<const unsigned char *>(data) + 1);
    m_any = true;
    return true;
}

int SessionOpener::openBatch(const std::vector<PacketSpan> &packets, unsigned char *const *outs)
{
    if (!haveCipher())
        return 0;
    // Only the leading packets whose counters rise are tried at all.
    int count = 0;
    bool any = m_any;
    std::uint64_t last = m_lastCounter;
    for (const PacketSpan &p : packets) {
        if (!outs[count] || !acceptable(p, any, last))
            break;
        any = true;
        last = readLe64(reinterpret_cast<const unsigned char *>(p.data) + 1);
        ++count;
    }
    std::vector<char> opened(std::size_t(count), 0);
    runParallel(count, packetsWorthSpreading(packets, count), [&](int lane, int i) {
        opened[std::size_t(i)] = openAccepted(lane, packets[std::size_t(i)], outs[i]) ? 1 : 0;
    });
    int good = 0;
    while (good < count && opened[std::size_t(good)])
        ++good;
    // Only authentic packets move the window.
    if (good > 0) {
        m_lastCounter = readLe64(reinterpret_cast<const unsigned char *>(packets[std::size_t(good - 1)].data) + 1);
        m_any = true;
    }
    return good;
}

bool SessionOpener::acceptable(const PacketSpan &packet, bool any, std::uint64_t last) const
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(packet.data);
    if (!bytes || packet.size < kSessionHeaderBytes + kSessionTagBytes || !isValid() || bytes[0] != m_keyId)
        return false;
    return !any || readLe64(bytes + 1) > last;   // otherwise replayed or reordered
}

bool SessionOpener::haveCipher()
{
    if (!m_aead && isValid())
        m_aead = makeAead(m_key, false);
    return bool(m_aead);
}

bool SessionOpener::openAccepted(int lane, const PacketSpan &packet, unsigned char *out)
{
    const auto *header = reinterpret_cast<const unsigned char *>(packet.data);
    unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    sessionNonce(nonce, readLe64(header + 1));
    const int plainSize = packet.size - kSessionHeaderBytes - kSessionTagBytes;
    const unsigned char *cipher = header + kSessionHeaderBytes;
    unsigned char tag[kSessionTagBytes];
    std::memcpy(tag, cipher + plainSize, kSessionTagBytes);
    return aeadCrypt(*m_aead, lane, nonce, header, cipher, std::size_t(plainSize), out, tag);
}

} // namespace crypto

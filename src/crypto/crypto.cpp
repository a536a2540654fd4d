#include "crypto/crypto.h"

#include <sodium.h>

#include <climits>
#include <cstring>

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
    if (!isValid() || m_exhausted || plain.size() > INT_MAX - overhead)
        return QByteArray();

    QByteArray packet(overhead + plain.size(), Qt::Uninitialized);
    unsigned char *header = u8(packet);
    header[0] = m_keyId;
    writeLe64(header + 1, m_counter);
    unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    sessionNonce(nonce, m_counter);

    unsigned long long cipherLen = 0;
    if (crypto_aead_chacha20poly1305_ietf_encrypt(header + kSessionHeaderBytes, &cipherLen, kU8(plain),
                                                  static_cast<unsigned long long>(plain.size()), header,
                                                  kSessionHeaderBytes, nullptr, nonce, kU8(m_key))
            != 0
        || cipherLen != static_cast<unsigned long long>(plain.size() + kSessionTagBytes))
        return QByteArray();

    // Advance before handing the packet out, so a counter value is never used twice. When the
    // counter wraps, this key has no fresh nonce left: refuse every further packet.
    unsigned char next[8];
    writeLe64(next, m_counter);
    sodium_increment(next, sizeof next);
    if (sodium_is_zero(next, sizeof next))
        m_exhausted = true;
    else
        m_counter = readLe64(next);
    return packet;
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
    if (!isValid() || !data || size < kSessionHeaderBytes + kSessionTagBytes)
        return false;
    const auto *header = reinterpret_cast<const unsigned char *>(data);
    if (header[0] != m_keyId)
        return false;
    const std::uint64_t counter = readLe64(header + 1);
    if (m_any && counter <= m_lastCounter)
        return false;   // replayed or reordered

    unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    sessionNonce(nonce, counter);
    QByteArray out(size - kSessionHeaderBytes - kSessionTagBytes, Qt::Uninitialized);
    unsigned long long plainLen = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(u8(out), &plainLen, nullptr, header + kSessionHeaderBytes,
                                                  static_cast<unsigned long long>(size - kSessionHeaderBytes), header,
                                                  kSessionHeaderBytes, nonce, kU8(m_key))
        != 0)
        return false;

    // Only an authentic packet moves the window; a forged one with a huge counter must not
    // lock the genuine sender out.
    m_lastCounter = counter;
    m_any = true;
    if (plain)
        *plain = out;
    return true;
}

} // namespace crypto

#include "crypto/crypto.h"

#include <sodium.h>

#include <QCryptographicHash>
#include <QSet>
#include <QtTest>

#include <cstring>
#include <limits>
#include <memory>

namespace crypto {
// Reaches the sealer's counter so the wrap can be tested without sealing 2^64 packets.
struct SessionSealerTestAccess
{
    static void setCounter(SessionSealer &s, std::uint64_t counter) { s.m_counter = counter; }
};
} // namespace crypto

using namespace crypto;

namespace {

QByteArray flipped(QByteArray data, int index, char mask = 0x01)
{
    data[index] = char(data.at(index) ^ mask);
    return data;
}

std::uint64_t headerCounter(const QByteArray &packet)
{
    std::uint64_t v = 0;
    for (int i = 8; i >= 1; --i)
        v = (v << 8) | std::uint8_t(packet.at(i));
    return v;
}

// Opens a copy in a buffer of exactly `size` bytes, so a read past the end is a real
// out-of-bounds read that the sanitizer build reports.
bool openExact(SessionOpener &opener, const QByteArray &packet, int size, QByteArray *plain)
{
    std::unique_ptr<char[]> buf(new char[size > 0 ? size : 1]);
    if (size > 0)
        memcpy(buf.get(), packet.constData(), size_t(size));
    return opener.open(size > 0 ? buf.get() : nullptr, size, plain);
}

} // namespace

class TestCrypto : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(initialize()); QVERIFY(initialize()); }

    void signatures();
    void sealedPackets();
    void sessionRoundTripAndNonces();
    void sessionReplayAndReorder();
    void sessionTamper();
    void batchesMatchSinglePackets();
    void sessionKeyIds();
    void sessionTruncated();
    void sessionCounterWrap();
    void keyExchange();
    void passwords();
    void secretBox();
    void keyedHashAndRandom();
    void sessionBytesMatchLibsodium();
    void sha1MatchesReference();
    void wipedKeysAreGone();
};

void TestCrypto::signatures()
{
    const SigningKeyPair own = generateSigningKeyPair();
    const SigningKeyPair other = generateSigningKeyPair();
    QVERIFY(own.isValid());
    QVERIFY(own.publicKey != other.publicKey);

    const QByteArray message = "invitation content";
    const QByteArray sig = sign(message, own.secretKey);
    QCOMPARE(sig.size(), kSignatureBytes);
    QVERIFY(verify(message, sig, own.publicKey));
    QVERIFY(verify(QByteArray(), sign(QByteArray(), own.secretKey), own.publicKey));

    for (int i = 0; i < sig.size(); ++i)
        QVERIFY2(!verify(message, flipped(sig, i), own.publicKey), qPrintable(QString::number(i)));
    for (int i = 0; i < message.size(); ++i)
        QVERIFY(!verify(flipped(message, i), sig, own.publicKey));
    QVERIFY(!verify(message + 'x', sig, own.publicKey));
    QVERIFY(!verify(message, sig, other.publicKey));
    QVERIFY(!verify(message, sign(message, other.secretKey), own.publicKey));

    // Wrong sizes are refused, not read past.
    QVERIFY(!verify(message, sig.left(63), own.publicKey));
    QVERIFY(!verify(message, sig, own.publicKey.left(31)));
    QVERIFY(sign(message, own.secretKey.left(32)).isEmpty());

    // A pair whose halves disagree is not a usable identity.
    SigningKeyPair mixed{own.publicKey, other.secretKey};
    QVERIFY(!mixed.isValid());
    QVERIFY(!SigningKeyPair{}.isValid());
}

void TestCrypto::sealedPackets()
{
    const SigningKeyPair recipient = generateSigningKeyPair();
    const SigningKeyPair stranger = generateSigningKeyPair();
    const QByteArray plain = "hello from an unknown computer";

    const QByteArray packet = sealToPublicKey(plain, recipient.publicKey);
    QCOMPARE(packet.size(), plain.size() + kSealOverheadBytes);
    QCOMPARE(std::uint8_t(packet.at(0)), std::uint8_t(KeyIdPublic));
    QVERIFY(packet.indexOf(plain) < 0);
    QVERIFY(sealToPublicKey(plain, recipient.publicKey) != packet);   // fresh ephemeral key each time

    QByteArray out;
    QVERIFY(openSealed(packet, recipient, &out));
    QCOMPARE(out, plain);
    QVERIFY(openSealed(sealToPublicKey(QByteArray(), recipient.publicKey), recipient, &out));
    QVERIFY(out.isEmpty());

    QVERIFY(!openSealed(packet, stranger, &out));
    for (int i = 0; i < packet.size(); ++i) {
        out = "untouched";
        QVERIFY2(!openSealed(flipped(packet, i), recipient, &out), qPrintable(QString::number(i)));
        QCOMPARE(out, QByteArray("untouched"));
    }
    for (int len = 0; len < packet.size(); ++len)
        QVERIFY(!openSealed(packet.left(len), recipient, &out));
    QVERIFY(!openSealed(packet + 'x', recipient, &out));

    // A session key id on a public-key packet, a broken recipient, a low-order public key.
    QByteArray relabelled = packet;
    relabelled[0] = char(KeyIdSessionFirst);
    QVERIFY(!openSealed(relabelled, recipient, &out));
    QVERIFY(!openSealed(packet, SigningKeyPair{recipient.publicKey, stranger.secretKey}, &out));
    QVERIFY(sealToPublicKey(plain, QByteArray(kSignPublicKeyBytes, 0)).isEmpty());
    QVERIFY(sealToPublicKey(plain, recipient.publicKey.left(31)).isEmpty());
}

void TestCrypto::sessionRoundTripAndNonces()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    SessionSealer sealer(42, key);
    SessionOpener opener(42, key);
    QVERIFY(sealer.isValid());
    QVERIFY(opener.isValid());

    QSet<std::uint64_t> counters;
    QSet<QByteArray> ciphertexts;
    const QByteArray repeated(100, 'a');
    for (int i = 0; i < 2000; ++i) {
        const QByteArray plain = (i % 2) ? repeated : randomBytes(i % 300).append(QByteArray::number(i));
        const QByteArray packet = sealer.seal(plain);
        QCOMPARE(packet.size(), plain.size() + kSessionHeaderBytes + kSessionTagBytes);
        QCOMPARE(std::uint8_t(packet.at(0)), std::uint8_t(42));
        const std::uint64_t counter = headerCounter(packet);
        QCOMPARE(counter, std::uint64_t(i));
        QVERIFY(!counters.contains(counter));
        counters.insert(counter);
        if (i % 2)
            ciphertexts.insert(packet.mid(kSessionHeaderBytes));
        QByteArray out;
        QVERIFY(opener.open(packet, &out));
        QCOMPARE(out, plain);
    }
    QCOMPARE(sealer.nextCounter(), std::uint64_t(2000));
    // The same plaintext never encrypts to the same bytes, as it would under a reused nonce.
    QCOMPARE(ciphertexts.size(), 1000);

    QByteArray out = "x";
    QVERIFY(opener.open(sealer.seal(QByteArray()), &out));
    QVERIFY(out.isEmpty());
}

void TestCrypto::sessionReplayAndReorder()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    SessionSealer sealer(10, key);
    QVector<QByteArray> p;
    for (int i = 0; i < 8; ++i)
        p.append(sealer.seal("packet " + QByteArray::number(i)));

    SessionOpener opener(10, key);
    QByteArray out;
    QVERIFY(opener.open(p[0], &out));
    QVERIFY(!opener.open(p[0], &out));   // replay of the first (counter 0) packet
    QVERIFY(opener.open(p[2], &out));    // a lost packet leaves a gap, which is fine
    QVERIFY(!opener.open(p[1], &out));   // late arrival
    QVERIFY(!opener.open(p[2], &out));   // replay
    QVERIFY(opener.open(p[3], &out));
    QCOMPARE(out, QByteArray("packet 3"));
    QVERIFY(opener.open(p[7], &out));
    for (int i = 0; i < 8; ++i)
        QVERIFY(!opener.open(p[i], &out));

    // A fresh opener may start at any counter, but then holds its line.
    SessionOpener late(10, key);
    QVERIFY(late.open(p[5], &out));
    QVERIFY(!late.open(p[4], &out));
}

void TestCrypto::batchesMatchSinglePackets()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    // Enough bytes that helper threads take part, and sizes that differ.
    QVector<QByteArray> plains;
    for (int i = 0; i < 24; ++i)
        plains.append(randomBytes(i % 3 == 0 ? 1 : 40000 + 997 * i));
    QVector<QByteArray> batch;
    std::vector<PacketSpan> spans;
    for (int i = 0; i < plains.size(); ++i) {
        // Every other packet is sealed from its plaintext where that lies: its room holds junk.
        const bool apart = i % 2 == 1;
        const QByteArray room = apart ? QByteArray(plains[i].size(), '\x5a') : plains[i];
        batch.append(QByteArray(kSessionHeaderBytes, '\0') + room + QByteArray(kSessionTagBytes, '\0'));
        spans.push_back({batch.last().data(), int(batch.last().size()), apart ? plains[i].constData() : nullptr});
    }
    SessionSealer batchSealer(12, key);
    QVERIFY(batchSealer.sealBatch(spans));

    // The same bytes as sealed one by one: same counters, same nonces, same tags.
    SessionSealer single(12, key);
    for (int i = 0; i < plains.size(); ++i)
        QCOMPARE(batch[i], single.seal(plains[i]));
    QCOMPARE(batchSealer.nextCounter(), single.nextCounter());

    // A forged packet in the middle: the ones before it open, nothing from it on counts.
    const int forged = 13;
    char *flip = spans[std::size_t(forged)].data + kSessionHeaderBytes + 5;
    *flip = char(*flip ^ 0x20);
    std::vector<std::vector<unsigned char>> plainsOut(std::size_t(plains.size()));
    std::vector<unsigned char *> outs;
    for (int i = 0; i < plains.size(); ++i) {
        plainsOut[std::size_t(i)].resize(std::size_t(plains[i].size()));
        outs.push_back(plainsOut[std::size_t(i)].data());
    }
    SessionOpener opener(12, key);
    QCOMPARE(opener.openBatch(spans, outs.data()), forged);
    for (int i = 0; i < forged; ++i)
        QVERIFY(std::memcmp(plainsOut[std::size_t(i)].data(), plains[i].constData(), std::size_t(plains[i].size())) == 0);

    // The genuine rest still opens, in a batch of its own; a replayed batch opens nothing.
    *flip = char(*flip ^ 0x20);
    const std::vector<PacketSpan> rest(spans.begin() + forged, spans.end());
    QCOMPARE(opener.openBatch(rest, outs.data() + forged), int(rest.size()));
    QVERIFY(std::memcmp(plainsOut.back().data(), plains.last().constData(), std::size_t(plains.last().size())) == 0);
    QCOMPARE(opener.openBatch(rest, outs.data() + forged), 0);

    // Counters that do not rise within a batch stop it there.
    SessionOpener fresh(12, key);
    const std::vector<PacketSpan> swapped = {spans[1], spans[0], spans[2]};
    unsigned char *swappedOuts[] = {outs[1], outs[0], outs[2]};
    QCOMPARE(fresh.openBatch(swapped, swappedOuts), 1);
}

void TestCrypto::sessionTamper()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    SessionSealer sealer(77, key);
    SessionOpener opener(77, key);
    QByteArray out;
    QVERIFY(opener.open(sealer.seal("first"), &out));

    const QByteArray plain = "some file segment";
    const QByteArray packet = sealer.seal(plain);
    // Every byte: key id, counter (including a counter pushed far ahead), ciphertext and tag.
    for (int i = 0; i < packet.size(); ++i) {
        for (char mask : {char(0x01), char(0x80)}) {
            out = "untouched";
            QVERIFY2(!opener.open(flipped(packet, i, mask), &out), qPrintable(QString::number(i)));
            QCOMPARE(out, QByteArray("untouched"));
        }
    }
    QVERIFY(!opener.open(packet + 'x', &out));
    QVERIFY(!opener.open(packet.left(kSessionHeaderBytes) + packet.mid(kSessionHeaderBytes + 1), &out));

    // A header copied onto another packet's body does not authenticate either.
    const QByteArray next = sealer.seal(plain);
    QVERIFY(!opener.open(next.left(kSessionHeaderBytes) + packet.mid(kSessionHeaderBytes), &out));

    // None of the forgeries moved the replay mark: the genuine packets still open.
    QVERIFY(opener.open(packet, &out));
    QCOMPARE(out, plain);
    QVERIFY(opener.open(next, &out));
}

void TestCrypto::sessionKeyIds()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    for (int id : {0, 1, 9, 128, 200, 255}) {
        SessionSealer s(std::uint8_t(id), key);
        SessionOpener o(std::uint8_t(id), key);
        QVERIFY2(!s.isValid() && !o.isValid(), qPrintable(QString::number(id)));
        QVERIFY(s.seal("x").isEmpty());
    }
    QVERIFY(SessionSealer(10, key).isValid());
    QVERIFY(SessionSealer(127, key).isValid());
    QVERIFY(!SessionSealer(10, key.left(31)).isValid());
    QVERIFY(!SessionOpener(10, key + 'x').isValid());
    QVERIFY(!SessionSealer().isValid());
    QVERIFY(SessionSealer().seal("x").isEmpty());

    SessionSealer s11(11, key);
    SessionSealer s127(127, key);
    const QByteArray p11 = s11.seal("eleven");
    const QByteArray p127 = s127.seal("last");
    QByteArray out;
    SessionOpener o10(10, key);
    QVERIFY(!o10.open(p11, &out));
    QVERIFY(!o10.open(p127, &out));
    QVERIFY(!SessionOpener(11, randomBytes(kSessionKeyBytes)).open(p11, &out));   // wrong key
    QVERIFY(SessionOpener(127, key).open(p127, &out));
    QVERIFY(!SessionOpener().open(p11, &out));

    // Relabelling a packet with the receiver's key id is caught by the tag.
    QByteArray relabelled = p11;
    relabelled[0] = char(10);
    QVERIFY(!o10.open(relabelled, &out));
}

void TestCrypto::sessionTruncated()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    SessionSealer sealer(10, key);
    SessionOpener opener(10, key);
    const QByteArray packet = sealer.seal("abcdefgh");
    QByteArray out;
    for (int len = 0; len < packet.size(); ++len) {
        QVERIFY2(!openExact(opener, packet, len, &out), qPrintable(QString::number(len)));
        QVERIFY(!opener.open(packet.left(len), &out));
    }
    QVERIFY(!opener.open(packet.constData(), -1, &out));
    QVERIFY(!opener.open(nullptr, packet.size(), &out));
    QVERIFY(openExact(opener, packet, packet.size(), &out));
    QCOMPARE(out, QByteArray("abcdefgh"));
}

void TestCrypto::sessionCounterWrap()
{
    const QByteArray key = randomBytes(kSessionKeyBytes);
    SessionSealer sealer(20, key);
    SessionOpener opener(20, key);
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    SessionSealerTestAccess::setCounter(sealer, max - 1);

    const QByteArray a = sealer.seal("a");
    QCOMPARE(headerCounter(a), max - 1);
    const QByteArray b = sealer.seal("b");
    QCOMPARE(headerCounter(b), max);
    // The next counter would wrap to 0 and reuse the first nonce.
    QVERIFY(sealer.seal("c").isEmpty());
    QVERIFY(sealer.seal("d").isEmpty());

    QByteArray out;
    QVERIFY(opener.open(a, &out));
    QVERIFY(opener.open(b, &out));
    QCOMPARE(out, QByteArray("b"));
    QVERIFY(!opener.open(b, &out));
}

void TestCrypto::keyExchange()
{
    const KxKeyPair client = generateKxKeyPair();
    const KxKeyPair server = generateKxKeyPair();
    QCOMPARE(client.publicKey.size(), kKxPublicKeyBytes);
    QCOMPARE(client.secretKey.size(), kKxSecretKeyBytes);

    const SessionKeys c = clientSessionKeys(client, server.publicKey);
    const SessionKeys s = serverSessionKeys(server, client.publicKey);
    QVERIFY(c.isValid());
    QVERIFY(s.isValid());
    QCOMPARE(c.tx, s.rx);
    QCOMPARE(c.rx, s.tx);
    QVERIFY(c.tx != c.rx);

    // A third party with its own key pair ends up with different keys.
    const KxKeyPair mallory = generateKxKeyPair();
    const SessionKeys m = serverSessionKeys(mallory, client.publicKey);
    QVERIFY(m.rx != c.tx);

    // Both directions carry traffic end to end.
    SessionSealer up(10, c.tx);
    SessionOpener upRx(10, s.rx);
    SessionSealer down(10, s.tx);
    SessionOpener downRx(10, c.rx);
    QByteArray out;
    QVERIFY(upRx.open(up.seal("request"), &out));
    QCOMPARE(out, QByteArray("request"));
    QVERIFY(downRx.open(down.seal("reply"), &out));
    QCOMPARE(out, QByteArray("reply"));
    QVERIFY(!upRx.open(down.seal("crossed"), &out));

    // A low-order peer key would give a secret anyone knows; short keys are refused too.
    QVERIFY(!clientSessionKeys(client, QByteArray(kKxPublicKeyBytes, 0)).isValid());
    QVERIFY(!serverSessionKeys(server, QByteArray(kKxPublicKeyBytes, 0)).isValid());
    QVERIFY(!clientSessionKeys(client, server.publicKey.left(31)).isValid());
    QVERIFY(!clientSessionKeys(KxKeyPair{}, server.publicKey).isValid());
}

void TestCrypto::passwords()
{
    // Argon2id is slow by design: six calls in all.
    const QByteArray salt = randomBytes(kPasswordSaltBytes);
    const QByteArray k1 = deriveKeyFromPassword("correct horse", salt);
    QCOMPARE(k1.size(), kSessionKeyBytes);
    QCOMPARE(deriveKeyFromPassword("correct horse", salt), k1);
    QVERIFY(deriveKeyFromPassword("correct horse", randomBytes(kPasswordSaltBytes)) != k1);
    QVERIFY(deriveKeyFromPassword("correct horsf", salt) != k1);

    for (int n : {0, 8, 15, 17, 32})
        QVERIFY(deriveKeyFromPassword("correct horse", randomBytes(n)).isEmpty());
    QVERIFY(deriveKeyFromPassword("correct horse", salt, 0).isEmpty());
    QVERIFY(deriveKeyFromPassword("correct horse", salt, -1).isEmpty());

    const QString hash = hashPassword("s3cret");
    QVERIFY(hash.startsWith(QLatin1String("$argon2id$")));
    QVERIFY(verifyPassword(hash, "s3cret"));
    QVERIFY(!verifyPassword(hash, "s3creT"));
    QVERIFY(!verifyPassword(QString(), "s3cret"));
    QVERIFY(!verifyPassword(QStringLiteral("not a hash"), "s3cret"));
    QVERIFY(!verifyPassword(QString(500, QLatin1Char('$')), "s3cret"));
}

void TestCrypto::secretBox()
{
    const QByteArray key = randomBytes(32);
    const QByteArray plain = "nusk:invitation body";
    const QByteArray boxed = secretBoxSeal(plain, key);
    QCOMPARE(boxed.size(), plain.size() + 24 + 16);
    QVERIFY(secretBoxSeal(plain, key) != boxed);   // random nonce

    QByteArray out;
    QVERIFY(secretBoxOpen(boxed, key, &out));
    QCOMPARE(out, plain);
    for (int i = 0; i < boxed.size(); ++i) {
        out = "untouched";
        QVERIFY2(!secretBoxOpen(flipped(boxed, i), key, &out), qPrintable(QString::number(i)));
        QCOMPARE(out, QByteArray("untouched"));
    }
    for (int len = 0; len < boxed.size(); ++len)
        QVERIFY(!secretBoxOpen(boxed.left(len), key, &out));
    QVERIFY(!secretBoxOpen(boxed, randomBytes(32), &out));
    QVERIFY(!secretBoxOpen(boxed, key.left(31), &out));
    QVERIFY(secretBoxSeal(plain, key.left(16)).isEmpty());
    QVERIFY(secretBoxOpen(secretBoxSeal(QByteArray(), key), key, &out));
    QVERIFY(out.isEmpty());
}

void TestCrypto::keyedHashAndRandom()
{
    const QByteArray key = randomBytes(32);
    const QByteArray h = keyedHash("proof", key);
    QCOMPARE(h.size(), 32);
    QCOMPARE(keyedHash("proof", key), h);
    QVERIFY(keyedHash("proof", randomBytes(32)) != h);
    QVERIFY(keyedHash("prooF", key) != h);
    QCOMPARE(keyedHash("proof", key, 64).size(), 64);
    QVERIFY(keyedHash("proof", key, 15).isEmpty());
    QVERIFY(keyedHash("proof", key, 65).isEmpty());
    QVERIFY(keyedHash("proof", QByteArray()).isEmpty());

    QVERIFY(randomBytes(0).isEmpty());
    QVERIFY(randomBytes(-5).isEmpty());
    QCOMPARE(randomBytes(100).size(), 100);
    QVERIFY(randomBytes(32) != randomBytes(32));
}

// The session cipher runs on OpenSSL; peers with either library must read each other's
// packets, so the bytes must be exactly libsodium's IETF ChaCha20-Poly1305.
void TestCrypto::sessionBytesMatchLibsodium()
{
    const QByteArray key(kSessionKeyBytes, 'k');
    SessionSealer sealer(10, key);
    SessionOpener opener(10, key);
    for (int size : {0, 1, 63, 64, 65, 64400}) {
        QByteArray plain(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            plain[i] = char(i * 7 + size);
        const QByteArray packet = sealer.seal(plain);
        QCOMPARE(packet.size(), kSessionHeaderBytes + size + kSessionTagBytes);
        const auto *header = reinterpret_cast<const unsigned char *>(packet.constData());
        unsigned char nonce[12] = {};
        std::memcpy(nonce + 4, header + 1, 8);
        QByteArray reference(size + kSessionTagBytes, Qt::Uninitialized);
        unsigned long long length = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char *>(reference.data()), &length,
                                                  reinterpret_cast<const unsigned char *>(plain.constData()),
                                                  std::size_t(size), header, kSessionHeaderBytes, nullptr, nonce,
                                                  reinterpret_cast<const unsigned char *>(key.constData()));
        QCOMPARE(packet.mid(kSessionHeaderBytes), reference);
        QByteArray opened;
        QVERIFY(opener.open(packet, &opened));
        QCOMPARE(opened, plain);
        // a tag off by one bit is refused by the opener, as by libsodium
        QVERIFY(!SessionOpener(10, key).open(flipped(packet, packet.size() - 1), &opened));
        // in place: the plaintext where the ciphertext was, once, and only when authentic
        SessionOpener inPlace(10, key);
        QByteArray bad = flipped(packet, kSessionHeaderBytes);
        QVERIFY(!inPlace.openInPlace(bad.data(), bad.size()));
        QByteArray buffer = packet;
        QVERIFY(inPlace.openInPlace(buffer.data(), buffer.size()));
        QCOMPARE(buffer.mid(kSessionHeaderBytes, size), plain);
        buffer = packet;
        QVERIFY(!inPlace.openInPlace(buffer.data(), buffer.size()));
    }
}

void TestCrypto::sha1MatchesReference()
{
    const QByteArray data = QByteArray(100000, 'x') + "tail";
    Sha1 sha1;
    unsigned char digest[Sha1::kDigestBytes];
    for (int round = 0; round < 2; ++round) {   // finish() starts the next digest afresh
        sha1.add(data.constData(), 70000);
        sha1.add(data.constData() + 70000, std::size_t(data.size() - 70000));
        sha1.finish(digest);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(digest), Sha1::kDigestBytes),
                 QCryptographicHash::hash(data, QCryptographicHash::Sha1));
    }
    sha1.finish(digest);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(digest), Sha1::kDigestBytes).toHex(),
             QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

// A wiped session forgets its key; a secret another holder still uses is only let go.
void TestCrypto::wipedKeysAreGone()
{
    const QByteArray key = crypto::randomBytes(crypto::kSessionKeyBytes);
    crypto::SessionSealer sealer(10, key);
    crypto::SessionOpener opener(10, key);
    QVERIFY(sealer.isValid() && opener.isValid());
    const QByteArray packet = sealer.seal("before");
    sealer.wipe();
    opener.wipe();
    QVERIFY(!sealer.isValid() && !opener.isValid());
    QVERIFY(sealer.seal("after").isEmpty());
    QByteArray plain;
    QVERIFY(!opener.open(packet, &plain));

    QByteArray shared = key;
    crypto::wipeSecret(shared);
    QVERIFY(shared.isEmpty());
    QCOMPARE(key.size(), crypto::kSessionKeyBytes);
    QVERIFY(key != QByteArray(crypto::kSessionKeyBytes, '\0'));
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"

#include "peers/invitation.h"

#include "peers/peertransports.h"

#include "app/base/log.h"
#include "com/termstream.h"
#include "crypto/crypto.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "peers/ipeer.h"
#include "peers/peerloader.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThreadPool>
#include <QUuid>

namespace {

constexpr std::uint8_t kLinkFormat = 1;
constexpr std::uint8_t kContentFormat = 1;
constexpr int kMaxLinkChars = 16 * 1024;
constexpr std::size_t kMaxNameBytes = 256;
constexpr std::size_t kMaxHostBytes = 255;
constexpr std::uint32_t kMaxTransports = 64;

const QString kScheme = QStringLiteral("nusk:");

// Serialises acceptInvitation so two quick accepts of one link cannot both find the key
// missing and store the inviter twice.
QMutex g_acceptMutex;

QByteArray toBytes(const std::vector<std::uint8_t> &bytes, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(size));
}

bool isKnownTransportType(const QString &type)
{
    return type == QLatin1String("tcp") || type == QLatin1String("udp") || type == QLatin1String("turn")
        || type == QLatin1String("onion");
}

QByteArray encodeContent(int deviceType, qint64 created, const QByteArray &publicKey, const QString &uuid,
                         const QString &name, const std::vector<TransportDto> &transports)
{
    const QByteArray uuidUtf8 = uuid.toUtf8();
    const QByteArray nameUtf8 = name.toUtf8().left(int(kMaxNameBytes));
    std::vector<std::uint8_t> buffer(8192);
    com::TermStreamWriter w(buffer);
    w.writeU8(kContentFormat);
    w.writeU8(std::uint8_t(deviceType & 0xff));
    w.writeI64(created);
    w.writeBlob(publicKey.constData(), std::size_t(publicKey.size()));
    w.writeString(uuidUtf8.constData(), std::size_t(uuidUtf8.size()));
    w.writeString(nameUtf8.constData(), std::size_t(nameUtf8.size()));
    std::uint32_t count = 0;
    for (const TransportDto &t : transports) {
        if (isKnownTransportType(t.type) && !t.host.isEmpty() && t.port != 0 && count < kMaxTransports)
            ++count;
    }
    w.writeU32(count);
    std::uint32_t written = 0;
    for (const TransportDto &t : transports) {
        if (!(isKnownTransportType(t.type) && !t.host.isEmpty() && t.port != 0) || written >= count)
            continue;
        const QByteArray type = t.type.toUtf8();
        const QByteArray host = t.host.toUtf8();
        if (host.size() > int(kMaxHostBytes))
            return QByteArray();
        w.writeString(type.constData(), std::size_t(type.size()));
        w.writeString(host.constData(), std::size_t(host.size()));
        w.writeU16(t.port);
        w.writeI64(t.timestamp);
        ++written;
    }
    if (w.failed())
        return QByteArray();
    return toBytes(buffer, w.size());
}

bool decodeContent(const QByteArray &content, InvitationRecord *out)
{
    com::TermStreamReader r(reinterpret_cast<const std::uint8_t *>(content.constData()),
                            std::size_t(content.size()));
    std::uint8_t format = 0;
    std::uint8_t deviceType = 0;
    std::int64_t created = 0;
    std::vector<std::uint8_t> key;
    std::string uuid;
    std::string name;
    std::uint32_t count = 0;
    r.readU8(format);
    r.readU8(deviceType);
    r.readI64(created);
    r.readBlob(key);
    r.readString(uuid, 64);
    r.readString(name, kMaxNameBytes);
    r.readU32(count);
    if (r.failed() || format != kContentFormat || key.size() != std::size_t(crypto::kSignPublicKeyBytes)
        || count > kMaxTransports)
        return false;

    InvitationRecord record;
    record.deviceType = deviceType;
    record.created = created;
    record.publicKey = toBytes(key, key.size());
    record.uuid = QString::fromUtf8(uuid.data(), int(uuid.size()));
    record.name = QString::fromUtf8(name.data(), int(name.size()));
    const QUuid parsed(record.uuid);
    if (parsed.isNull() || parsed.toString(QUuid::WithBraces) != record.uuid.toLower())
        return false;

    for (std::uint32_t i = 0; i < count; ++i) {
        std::string type;
        std::string host;
        std::uint16_t port = 0;
        std::int64_t timestamp = 0;
        r.readString(type, 16);
        r.readString(host, kMaxHostBytes);
        r.readU16(port);
        r.readI64(timestamp);
        if (r.failed())
            return false;
        TransportDto t;
        t.type = QString::fromUtf8(type.data(), int(type.size()));
        t.host = QString::fromUtf8(host.data(), int(host.size()));
        t.port = port;
        t.timestamp = timestamp;
        t.stream = TransportDto::isStreamType(t.type);
        if (!isKnownTransportType(t.type) || t.host.isEmpty() || port == 0)
            return false;
        record.transports.push_back(t);
    }
    if (r.remaining() != 0)
        return false;
    *out = record;
    return true;
}

QByteArray proofSalt(const QString &invitationUuid)
{
    const QUuid uuid(invitationUuid);
    if (uuid.isNull())
        return QByteArray();
    return crypto::keyedHash(uuid.toRfc4122(), QByteArrayLiteral("nusk invitation proof salt 1"),
                             crypto::kPasswordSaltBytes);
}

void storeInvitationAttributes(IDatabase *database, const QString &peerUuid, const InvitationRecord &record,
                               const QString &password)
{
    const QByteArray proofKey = invitationProofKey(record.uuid, password);
    database->putPeerAttribute({peerUuid, peerAttrInvitation(), record.uuid});
    if (!proofKey.isEmpty())
        database->putPeerAttribute({peerUuid, peerAttrInvitationProofKey(), QString::fromLatin1(proofKey.toHex())});
}

} // namespace

QString iconForDeviceType(int deviceType)
{
    return deviceType == IPeer::DeviceLaptop ? QStringLiteral("computer-laptop") : QStringLiteral("computer");
}

QUrl encodeInvitationLink(IDatabase *database, int deviceType, const QString &uuid, const QString &name,
                          const QString &password, qint64 created, const std::vector<TransportDto> &transports)
{
    if (!database || QUuid(uuid).isNull())
        return QUrl();
    const crypto::SigningKeyPair own = loadOrCreateOwnKeyPair(database);
    if (!own.isValid())
        return QUrl();
    const QString braced = QUuid(uuid).toString(QUuid::WithBraces);
    const QByteArray content = encodeContent(deviceType, created, own.publicKey, braced, name, transports);
    if (content.isEmpty())
        return QUrl();
    const QByteArray signature = crypto::sign(content, own.secretKey);
    if (signature.size() != crypto::kSignatureBytes)
        return QUrl();

    std::vector<std::uint8_t> buffer(std::size_t(content.size()) + 128);
    com::TermStreamWriter w(buffer);
    w.writeBlob(content.constData(), std::size_t(content.size()));
    w.writeBlob(signature.constData(), std::size_t(signature.size()));
    if (w.failed())
        return QUrl();
    const QByteArray inner = toBytes(buffer, w.size());

    const QByteArray salt = crypto::randomBytes(crypto::kPasswordSaltBytes);
    // A link may be copied from a mail or a chat: its 32-bit code must cost an offline
    // guesser more than the link lives.
    const QByteArray key = crypto::deriveKeyFromPassword(password.toUtf8(), salt, crypto::kSessionKeyBytes,
                                                         crypto::PasswordCost::Moderate);
    if (key.isEmpty() || salt.size() != crypto::kPasswordSaltBytes)
        return QUrl();
    const QByteArray boxed = crypto::secretBoxSeal(inner, key);
    if (boxed.isEmpty())
        return QUrl();

    QByteArray outer;
    outer.append(char(kLinkFormat));
    outer.append(salt);
    outer.append(boxed);
    const QByteArray text = outer.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return QUrl(kScheme + QString::fromLatin1(text));
}

namespace {

// The link's outer form, before any key is derived: empty when it is not an invitation link.
QByteArray outerOfLink(const QString &text)
{
    if (text.size() > kMaxLinkChars)
        return QByteArray();
    // Mail programs and messengers like to break long lines; whitespace is never part of a link.
    QString compact;
    compact.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace())
            compact.append(c);
    }
    if (!compact.startsWith(kScheme, Qt::CaseInsensitive))
        return QByteArray();
    const QByteArray encoded = compact.mid(kScheme.size()).toLatin1();
    for (const char c : encoded) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                     || c == '_';
        if (!ok)
            return QByteArray();
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        encoded, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return QByteArray();
    const QByteArray outer = *decoded;
    if (outer.size() < 1 + crypto::kPasswordSaltBytes + 40 || std::uint8_t(outer.at(0)) != kLinkFormat)
        return QByteArray();
    return outer;
}

} // namespace

bool isInvitationLinkForm(const QString &text)
{
    return !outerOfLink(text).isEmpty();
}

bool decodeInvitationLink(const QString &text, const QString &password, InvitationRecord *record)
{
    const QByteArray outer = outerOfLink(text);
    if (outer.isEmpty())
        return false;

    const QByteArray salt = outer.mid(1, crypto::kPasswordSaltBytes);
    const QByteArray boxed = outer.mid(1 + crypto::kPasswordSaltBytes);
    QByteArray key = crypto::deriveKeyFromPassword(password.toUtf8(), salt, crypto::kSessionKeyBytes,
                                                   crypto::PasswordCost::Moderate);
    QByteArray inner;
    if (key.isEmpty())
        return false;
    if (!crypto::secretBoxOpen(boxed, key, &inner)) {
        // Links made by earlier versions, within their lifetime, used the lighter limits.
        key = crypto::deriveKeyFromPassword(password.toUtf8(), salt);
        if (key.isEmpty() || !crypto::secretBoxOpen(boxed, key, &inner))
            return false;
    }

    com::TermStreamReader r(reinterpret_cast<const std::uint8_t *>(inner.constData()), std::size_t(inner.size()));
    std::vector<std::uint8_t> content;
    std::vector<std::uint8_t> signature;
    r.readBlob(content);
    r.readBlob(signature);
    if (r.failed() || r.remaining() != 0 || signature.size() != std::size_t(crypto::kSignatureBytes))
        return false;

    InvitationRecord decodedRecord;
    const QByteArray contentBytes = toBytes(content, content.size());
    if (!decodeContent(contentBytes, &decodedRecord))
        return false;
    if (!crypto::verify(contentBytes, toBytes(signature, signature.size()), decodedRecord.publicKey))
        return false;
    if (record)
        *record = decodedRecord;
    return true;
}

bool acceptInvitation(IDatabase *database, const QString &text, const QString &password)
{
    if (!database)
        return false;
    InvitationRecord record;
    if (!decodeInvitationLink(text, password, &record))
        return false;
    return acceptDecodedInvitation(database, record, password);
}

void decodeInvitationLinkAsync(const QString &text, const QString &password, QObject *receiver,
                               std::function<void(bool, const InvitationRecord &)> done)
{
    QPointer<QObject> guard(receiver);
    QThreadPool::globalInstance()->start([text, password, guard, done] {
        InvitationRecord record;
        const bool ok = decodeInvitationLink(text, password, &record);
        if (!guard)
            return;
        QMetaObject::invokeMethod(guard.data(), [guard, done, ok, record] {
            if (guard)
                done(ok, record);
        }, Qt::QueuedConnection);
    });
}

bool acceptDecodedInvitation(IDatabase *database, const InvitationRecord &record, const QString &password)
{
    if (!database)
        return false;

    // The inviter refuses it past its end: storing the inviter then would only leave a peer
    // that never comes up.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (record.created + kInvitationLifetimeSecs <= now)
        return false;

    QMutexLocker lock(&g_acceptMutex);
    const crypto::SigningKeyPair own = loadOrCreateOwnKeyPair(database);
    if (!own.isValid() || record.publicKey == own.publicKey)
        return false;

    const QString known = database->findPeerByKey(record.publicKey);
    if (isNullUuidString(known))
        return false;
    if (!known.isEmpty()) {
        // Invited again by a computer we already know (it may have forgotten us): refresh what
        // the new invitation brings, never a second row.
        storePeerTransports(database, known, record.transports);
        storeInvitationAttributes(database, known, record, password);
        logPrintf(LogHsk1, "invitation accepted again for peer %s", qUtf8Printable(known));
        return true;
    }

    if (PeerLoader *loader = PeerLoader::instance()) {
        // With the network running the inviter is stored only once it has admitted us: an
        // invitation it has deleted meanwhile leaves nothing behind here either.
        const QByteArray proofKey = invitationProofKey(record.uuid, password);
        if (proofKey.isEmpty())
            return false;
        QMetaObject::invokeMethod(loader, [loader, record, proofKey] { loader->addPendingInviter(record, proofKey); },
                                  Qt::AutoConnection);
        logPrintf(LogHsk1, "invitation accepted, contacting the inviter");
        return true;
    }

    const QString peerUuid = newUuidString();
    if (!database->putPeer({peerUuid, QStringLiteral("nusk"), now}))
        return false;
    CryptoKeyDto key;
    key.uuid = newUuidString();
    key.peerUuid = peerUuid;
    key.type = QString::fromLatin1(ownSigningKeyType());
    key.publicKey = record.publicKey;
    key.timestamp = now;
    if (!database->putKey(key)) {
        database->deletePeer(peerUuid);
        return false;
    }
    storePeerTransports(database, peerUuid, record.transports);
    database->putPeerAttribute({peerUuid, peerAttrName(), record.name});
    database->putPeerAttribute({peerUuid, peerAttrIcon(), iconForDeviceType(record.deviceType)});
    database->putPeerAttribute({peerUuid, peerAttrDeviceType(), QString::number(record.deviceType)});
    storeInvitationAttributes(database, peerUuid, record, password);
    logPrintf(LogHsk1, "invitation accepted, new peer %s", qUtf8Printable(peerUuid));
    return true;
}

bool storeInvitationPassword(IDatabase *database, const QString &password)
{
    if (!database || password.isEmpty())
        return false;
    for (const PeerAttributeDto &a : database->loadPeerAttributes(nullUuidString())) {
        if (a.name == peerAttrInvitationPassword() && a.value == password)
            return true;
    }
    return database->putPeerAttribute({nullUuidString(), peerAttrInvitationPassword(), password}, false);
}

QByteArray invitationProofKey(const QString &invitationUuid, const QString &password)
{
    const QByteArray salt = proofSalt(invitationUuid);
    if (salt.isEmpty())
        return QByteArray();
    return crypto::deriveKeyFromPassword(password.toUtf8(), salt);
}

QByteArray invitationProof(const QByteArray &proofKey, const QString &invitationUuid, const QByteArray &channelBinding)
{
    if (proofKey.isEmpty() || channelBinding.isEmpty())
        return QByteArray();
    QByteArray message = QByteArrayLiteral("nusk-invitation-proof-1");
    message.append(QUuid(invitationUuid).toRfc4122());
    message.append(channelBinding);
    return crypto::keyedHash(message, proofKey);
}

bool proofsEqual(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size() || a.isEmpty())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

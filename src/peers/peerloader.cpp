#include "peers/peerloader.h"
#include "peers/peertransports.h"

#include "app/base/log.h"
#include "com/hub.h"
#include "com/link.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "peers/invitation.h"
#include "peers/peermodel.h"
#include "peers/peertimings.h"

#include <QDateTime>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <limits>

namespace {
std::atomic<PeerLoader *> g_instance{nullptr};
}

PeerLoader::PeerLoader(IDatabase *database, com::Hub *hub, PeerModel *model, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_hub(hub)
    , m_model(model)
{
    g_instance.store(this);
    if (m_hub) {
        m_networkEnabled = m_hub->isNetworkEnabled();
        // Not only through listeningChanged: with the port taken, or no listener at all,
        // listening does not change when the switch does.
        connect(m_hub, &com::Hub::networkEnabledChanged, this, &PeerLoader::onNetworkChanged);
    }
    if (m_database) {
        connect(m_database, &IDatabase::addedPeer, this, [this](const QString &uuid) { ensurePeer(uuid); });
        // A new peer's key is stored right after its row; that is when it can be dialled.
        connect(m_database, &IDatabase::addedKey, this,
                [this](const QString &peerUuid, const QString &) { ensurePeer(peerUuid); });
        connect(m_database, &IDatabase::removedPeer, this, &PeerLoader::onPeerRemoved);
    }
}

PeerLoader::~PeerLoader()
{
    PeerLoader *self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

PeerLoader *PeerLoader::instance()
{
    return g_instance.load();
}

PeerNusk *PeerLoader::createPeer(const PeerDto &dto)
{
    if (dto.type != QLatin1String("nusk"))
        return nullptr;
    return withEndpoint(new PeerNusk(dto, m_database, m_hub, this));
}

PeerNusk *PeerLoader::withEndpoint(PeerNusk *peer) const
{
    if (m_makeEndpoint)
        peer->attachEndpoint(m_makeEndpoint(peer));
    return peer;
}

void PeerLoader::loadPeers()
{
    if (!m_database)
        return;
    for (const PeerDto &dto : m_database->loadPeers(QStringLiteral("nusk"))) {
        if (!isNullUuidString(dto.uuid))
            ensurePeer(dto.uuid);
    }
}

PeerNusk *PeerLoader::createLocalPeer()
{
    if (PeerNusk *existing = m_peers.value(nullUuidString()))
        return existing;
    PeerNusk *local = createPeer({nullUuidString(), QStringLiteral("nusk"), 0});
    m_peers.insert(nullUuidString(), local);
    addToModel(local);
    local->start();
    return local;
}

IPeer *PeerLoader::peerForUuid(const QString &uuid) const
{
    return peer(uuid);
}

PeerNusk *PeerLoader::peer(const QString &uuid) const
{
    return m_peers.value(uuid);
}

QList<PeerNusk *> PeerLoader::peers() const
{
    return m_peers.values();
}

PeerNusk *PeerLoader::ensurePeer(const QString &uuid)
{
    if (PeerNusk *existing = m_peers.value(uuid))
        return existing;
    // The local peer is made only by createLocalPeer: no stored row can claim its uuid, in
    // whatever spelling, and a row that is no uuid at all makes no peer either.
    if (uuid.isEmpty() || isNullUuidString(uuid) || QUuid(uuid.trimmed()).isNull() || !m_database)
        return nullptr;
    PeerDto found;
    for (const PeerDto &dto : m_database->loadPeers(QStringLiteral("nusk"))) {
        if (dto.uuid == uuid) {
            found = dto;
            break;
        }
    }
    if (found.uuid.isEmpty())
        return nullptr;
    bool hasKey = false;
    bool ownKey = false;
    const QByteArray own = m_hub ? m_hub->ownPublicKey() : QByteArray();
    for (const CryptoKeyDto &key : m_database->loadKeys(uuid)) {
        if (key.type != QLatin1String(ownSigningKeyType()) || key.publicKey.size() != crypto::kSignPublicKeyBytes)
            continue;
        hasKey = true;
        ownKey = ownKey || (!own.isEmpty() && key.publicKey == own);
    }
    if (!hasKey)
        return nullptr;   // made once its key arrives (addedKey)
    if (ownKey) {
        // A row carrying this computer's own key would dial our own listener and take the
        // place of the local peer's link there: only the local peer is this computer.
        logPrintf(LogErr1, "stored peer %s carries the own key, ignored", qUtf8Printable(uuid));
        return nullptr;
    }

    PeerNusk *made = createPeer(found);
    if (!made)
        return nullptr;
    m_peers.insert(uuid, made);
    made->setNetworkEnabled(m_networkEnabled);
    addToModel(made);
    made->start();
    return made;
}

void PeerLoader::addToModel(PeerNusk *peer)
{
    if (m_model)
        m_model->addPeer(peer);
}

void PeerLoader::onPeerRemoved(const QString &uuid)
{
    PeerNusk *gone = m_peers.take(uuid);
    if (!gone)
        return;
    // Other layers may still hold the object; it stays, but never links again.
    gone->retire();
}

com::KeyVerdict PeerLoader::resolveKey(const QByteArray &publicKey) const
{
    if (publicKey.size() != crypto::kSignPublicKeyBytes || !m_database)
        return com::KeyVerdict::refuse();
    if (m_hub && publicKey == m_hub->ownPublicKey())
        return com::KeyVerdict::refuse();   // only the hub's loopback rule admits the own key
    const QString uuid = m_database->findPeerByKey(publicKey);
    if (uuid.isEmpty())
        return com::KeyVerdict::unknown();
    if (isNullUuidString(uuid))
        return com::KeyVerdict::refuse();
    if (!m_peers.contains(uuid) && !const_cast<PeerLoader *>(this)->ensurePeer(uuid))
        return com::KeyVerdict::refuse();   // a row of another type, or a removed peer
    return com::KeyVerdict::accept(uuid);
}

void PeerLoader::onIncomingLink(com::Link *link)
{
    if (!link)
        return;
    PeerNusk *target = nullptr;
    if (link->isOwnKey())
        target = m_peers.value(nullUuidString());
    else if (!isNullUuidString(link->peerUuid()))
        target = ensurePeer(link->peerUuid());
    if (!target) {
        link->close(QStringLiteral("no such peer"));
        return;
    }
    target->attachIncoming(link);
}

void PeerLoader::onNetworkChanged()
{
    const bool enabled = m_hub ? m_hub->isNetworkEnabled() : true;
    if (enabled == m_networkEnabled)
        return;
    m_networkEnabled = enabled;
    for (PeerNusk *peer : qAsConst(m_peers))
        peer->setNetworkEnabled(enabled);
    for (PeerNusk *peer : qAsConst(m_pending))
        peer->setNetworkEnabled(enabled);
}

void PeerLoader::onNetworkReturned()
{
    for (PeerNusk *peer : qAsConst(m_peers))
        peer->onNetworkReturned();
    for (PeerNusk *peer : qAsConst(m_pending))
        peer->onNetworkReturned();
}

void PeerLoader::addPendingInviter(const InvitationRecord &record, const QByteArray &proofKey)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 until = record.created + kInvitationLifetimeSecs;
    if (until <= now || !m_database)
        return;
    if (PeerNusk *old = m_pending.take(record.publicKey)) {
        old->retire();
        old->deleteLater();
    }

    PeerNusk::Contact contact;
    contact.publicKey = record.publicKey;
    contact.transports = record.transports;
    contact.invitationUuid = record.uuid;
    contact.invitationProofKey = proofKey;
    PeerNusk *pending = withEndpoint(
        new PeerNusk({newUuidString(), QStringLiteral("nusk"), now}, contact, m_database, m_hub, this));
    pending->setName(record.name);
    pending->setDeviceType(record.deviceType);
    pending->setIcon(iconForDeviceType(record.deviceType));
    m_pending.insert(record.publicKey, pending);

    connect(pending, &PeerNusk::firstContact, this, [this, pending, record] { storeInviter(pending, record); });
    connect(pending, &PeerNusk::firstContactRefused, this, [this, pending] { dropPendingInviter(pending, InviterRefused); });
    // The person who accepted waits for an answer: silence is one too, after a while.
    const qint64 leftMs = qMin<qint64>((until - now) * 1000, peerTimings().inviterAnswerMs);
    QTimer::singleShot(int(qMax<qint64>(1, leftMs)), pending, [this, pending] { dropPendingInviter(pending, InviterSilent); });
    pending->setNetworkEnabled(m_networkEnabled);
    pending->start();
}

void PeerLoader::dropPendingInviter(PeerNusk *pending, InviterAnswer answer)
{
    if (m_pending.value(pending->publicKey()) != pending)
        return;
    m_pending.remove(pending->publicKey());
    logPrintf(LogHsk1, "inviter %s", answer == InviterRefused ? "refused the invitation" : "did not answer");
    Q_EMIT inviterAnswered(pending->name(), answer, QString());
    pending->retire();
    pending->deleteLater();
}

void PeerLoader::storeInviter(PeerNusk *pending, const InvitationRecord &record)
{
    if (m_pending.value(record.publicKey) != pending)
        return;
    m_pending.remove(record.publicKey);

    const QString known = m_database->findPeerByKey(record.publicKey);
    if (!known.isEmpty()) {
        // Stored meanwhile (accepted twice, or it reached us first): that peer takes over.
        Q_EMIT inviterAnswered(pending->name(), InviterPaired, known);
        pending->retire();
        pending->deleteLater();
        return;
    }

    const PeerDto dto = pending->peerDto();
    // Listed before the row is written, so the database's signals find it instead of making
    // a second object.
    m_peers.insert(dto.uuid, pending);
    bool ok = m_database->putPeer(dto);
    CryptoKeyDto key;
    key.uuid = newUuidString();
    key.peerUuid = dto.uuid;
    key.type = QString::fromLatin1(ownSigningKeyType());
    key.publicKey = record.publicKey;
    key.timestamp = dto.timestamp;
    ok = ok && m_database->putKey(key);
    if (!ok) {
        m_peers.remove(dto.uuid);
        m_database->deletePeer(dto.uuid);
        logPrintf(LogErr1, "could not store the inviter");
        Q_EMIT inviterAnswered(pending->name(), InviterSilent, QString());
        pending->retire();
        pending->deleteLater();
        return;
    }
    storePeerTransports(m_database, dto.uuid, record.transports);
    const int deviceType = pending->deviceType();
    m_database->putPeerAttribute({dto.uuid, peerAttrName(), pending->name()});
    m_database->putPeerAttribute({dto.uuid, peerAttrIcon(), pending->icon().isEmpty() ? iconForDeviceType(deviceType) : pending->icon()});
    m_database->putPeerAttribute({dto.uuid, peerAttrDeviceType(), QString::number(deviceType)});
    m_database->putPeerAttribute({dto.uuid, peerAttrInvitation(), record.uuid});
    pending->makeStored();
    addToModel(pending);
    logPrintf(LogHsk1, "inviter stored as peer %s", qUtf8Printable(dto.uuid));
    Q_EMIT inviterAnswered(pending->name(), InviterPaired, dto.uuid);
}

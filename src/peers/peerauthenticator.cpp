#include "peers/peerauthenticator.h"

#include "app/base/log.h"
#include "com/hub.h"
#include "com/link.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"
#include "peers/peerloader.h"
#include "peers/peertransports.h"

#include <QDateTime>
#include <QSet>
#include <QUuid>

namespace {
constexpr int kMaxAttributeChars = 256;
}

PeerAuthenticator::PeerAuthenticator(IDatabase *database, PeerLoader *loader, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_loader(loader)
{
}

QString PeerAuthenticator::admit(const com::Link &link)
{
    if (!m_database)
        return QString();
    const QByteArray key = link.remotePublicKey();
    if (key.size() != crypto::kSignPublicKeyBytes || key == loadOrCreateOwnKeyPair(m_database).publicKey)
        return QString();

    const com::Greeting &greeting = link.remoteGreeting();
    const QUuid invitationId(greeting.attributes.value(peerAttrInvitation()));
    const QByteArray proof = QByteArray::fromHex(greeting.attributes.value(greetingAttrInvitationProof()).toLatin1());
    if (invitationId.isNull() || proof.isEmpty()) {
        logPrintf(LogHsk1, "unknown key from %s without invitation, refused", qPrintable(link.peerAddress().toString()));
        return QString();
    }
    const QString invitationUuid = invitationId.toString(QUuid::WithBraces);

    InvitationDto invitation;
    QSet<QString> stored;
    for (const InvitationDto &row : m_database->loadInvitations()) {
        const QString rowUuid = QUuid(row.uuid).toString(QUuid::WithBraces);
        stored.insert(rowUuid);
        if (rowUuid == invitationUuid)
            invitation = row;
    }
    // Forget the keys of invitations that are gone.
    for (auto it = m_proofKeys.begin(); it != m_proofKeys.end();) {
        if (stored.contains(it.key()))
            ++it;
        else
            it = m_proofKeys.erase(it);
    }
    for (auto it = m_wrongProofs.begin(); it != m_wrongProofs.end();) {
        if (stored.contains(it.key()))
            ++it;
        else
            it = m_wrongProofs.erase(it);
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // Whatever the row says, an invitation never lives longer than its 72 hours.
    const qint64 expires = qMin(invitation.expires, invitation.timestamp + kInvitationLifetimeSecs);
    if (invitation.uuid.isEmpty() || invitation.password.isEmpty() || now >= expires) {
        logPrintf(LogHsk1, "first contact names an unknown or expired invitation, refused");
        return QString();
    }

    const QByteArray proofKey = proofKeyFor(invitationUuid, invitation.password);
    const QByteArray expected = invitationProof(proofKey, invitationUuid, link.channelBinding());
    if (!proofsEqual(expected, proof)) {
        logPrintf(LogHsk1, "first contact with a wrong invitation proof, refused");
        // A code is short enough to be guessed one handshake at a time; an invitation that
        // keeps being answered wrongly is withdrawn before that can succeed.
        if (++m_wrongProofs[invitationUuid] >= kMaxWrongProofs) {
            logPrintf(LogHsk1, "invitation withdrawn after %d wrong proofs", kMaxWrongProofs);
            m_wrongProofs.remove(invitationUuid);
            m_proofKeys.remove(invitationUuid);
            m_database->deleteInvitation(invitation.uuid);
        }
        return QString();
    }

    // Known meanwhile (the hub asked before we stored it on another link): no second row.
    const QString known = m_database->findPeerByKey(key);
    if (!known.isEmpty())
        return isNullUuidString(known) ? QString() : known;

    const QString peerUuid = newUuidString();
    if (!m_database->putPeer({peerUuid, QStringLiteral("nusk"), now}))
        return QString();
    CryptoKeyDto keyRow;
    keyRow.uuid = newUuidString();
    keyRow.peerUuid = peerUuid;
    keyRow.type = QString::fromLatin1(ownSigningKeyType());
    keyRow.publicKey = key;
    keyRow.timestamp = now;
    if (!m_database->putKey(keyRow)) {
        m_database->deletePeer(peerUuid);
        return QString();
    }
    storePeerTransports(m_database, peerUuid, greeting.transports);
    bool typeOk = false;
    const int deviceType = greeting.attributes.value(peerAttrDeviceType()).toInt(&typeOk) & 0xff;
    QString icon = greeting.attributes.value(peerAttrIcon()).left(kMaxAttributeChars);
    if (icon.isEmpty())
        icon = iconForDeviceType(deviceType);
    m_database->putPeerAttribute({peerUuid, peerAttrName(), greeting.attributes.value(peerAttrName()).left(kMaxAttributeChars)});
    m_database->putPeerAttribute({peerUuid, peerAttrIcon(), icon});
    m_database->putPeerAttribute({peerUuid, peerAttrDeviceType(), QString::number(typeOk ? deviceType : 0)});
    m_database->putPeerAttribute({peerUuid, peerAttrInvitation(), invitationUuid});
    // Used up: one invitation pairs one computer.
    m_database->deleteInvitation(invitation.uuid);
    m_proofKeys.remove(invitationUuid);
    logPrintf(LogHsk1, "first contact admitted by invitation as peer %s", qUtf8Printable(peerUuid));

    // The hub hands over the link right after this returns; the peer must exist by then.
    if (m_loader)
        m_loader->ensurePeer(peerUuid);
    return peerUuid;
}

QByteArray PeerAuthenticator::proofKeyFor(const QString &invitationUuid, const QString &password)
{
    const auto it = m_proofKeys.constFind(invitationUuid);
    if (it != m_proofKeys.cend() && it->password == password)
        return it->key;
    const QByteArray key = invitationProofKey(invitationUuid, password);
    ++m_derivations;
    if (!key.isEmpty())
        m_proofKeys.insert(invitationUuid, {password, key});
    return key;
}

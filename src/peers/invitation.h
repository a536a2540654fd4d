#pragma once

// Invitation links and the password proof a first contact brings along.
//
// Link:  "nusk:" + base64url (no padding) of
//          u8 format (1) | 16-byte salt | secret box (crypto::secretBoxSeal) under
//          Argon2id(password, salt) at the moderate limits of the term-stream items
//              blob content | blob Ed25519 signature of content by the inviting key
//        content (term stream):
//              u8 format (1) | u8 device type | i64 creation time (s) | blob public key (32) |
//              str invitation uuid | str name | u32 n | n x (str type, str host, u16 port,
//              i64 timestamp)
//
// First contact: the accepting computer keeps a key derived from the password (never the
// password) with the stored inviter and, when it dials the inviter, puts into its greeting
// the invitation uuid and a keyed hash of the link's channel binding under that key. The
// inviter derives the same key from its stored invitation and compares. The proof is bound
// to one connection, so a recorded one is worthless elsewhere.
//
// Passwords, proofs and links never reach a log line.

#include "db/dto.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <vector>

class IDatabase;
class QObject;

// Invitations are honoured for 72 hours after they were made.
constexpr qint64 kInvitationLifetimeSecs = 259200;

struct InvitationRecord
{
    int deviceType = 0;       // low 8 bits of the inviter's device type
    qint64 created = 0;       // seconds since the epoch
    QByteArray publicKey;     // the inviter's Ed25519 signing key
    QString uuid;             // the invitation's uuid in braces
    QString name;
    std::vector<TransportDto> transports;   // uuid and peerUuid left empty
};

// Attribute names stored with peers and sent in greetings.
inline QString peerAttrName() { return QStringLiteral("name"); }
inline QString peerAttrIcon() { return QStringLiteral("icon"); }
inline QString peerAttrDeviceType() { return QStringLiteral("devicetype"); }
inline QString peerAttrInvitation() { return QStringLiteral("invitation"); }
inline QString peerAttrInvitationPassword() { return QStringLiteral("invpw"); }
// Kept with an inviter until the first link to it is up: the derived proof key (hex).
inline QString peerAttrInvitationProofKey() { return QStringLiteral("invproofkey"); }
// Greeting attribute carrying the proof (hex).
inline QString greetingAttrInvitationProof() { return QStringLiteral("invproof"); }

// Icon name shown for a device type.
QString iconForDeviceType(int deviceType);

// Empty URL when the own key is unavailable or the content does not fit.
QUrl encodeInvitationLink(IDatabase *database, int deviceType, const QString &uuid,
                          const QString &name, const QString &password, qint64 created,
                          const std::vector<TransportDto> &transports);

// Whether the text has the form of a link (without the code nothing more can be told).
bool isInvitationLinkForm(const QString &text);
// True only for a well-formed link that opens with the password and carries a valid
// signature; `record` (optional) is filled only then.
bool decodeInvitationLink(const QString &text, const QString &password, InvitationRecord *record);

// Stores the inviter as a peer of type "nusk" with its key, transports and attributes (name,
// icon, device type, invitation), plus the proof key for the first contact. An inviter
// already stored by its key is not stored again; only its invitation and transports are
// refreshed. The own link and links that do not decode change nothing (false).
bool acceptInvitation(IDatabase *database, const QString &text, const QString &password);

// The link's key derivation takes about half a second and 256 MiB: a window decodes a
// link once, on the global pool, shows what it found and accepts that record. `done` runs
// on the receiver's thread, and not at all once the receiver is gone.
void decodeInvitationLinkAsync(const QString &text, const QString &password, QObject *receiver,
                               std::function<void(bool ok, const InvitationRecord &record)> done);
// acceptInvitation for a record decodeInvitationLink(Async) filled with this password.
bool acceptDecodedInvitation(IDatabase *database, const InvitationRecord &record, const QString &password);

// Adds the password as an "invpw" attribute of the own peer unless an equal one exists.
bool storeInvitationPassword(IDatabase *database, const QString &password);

// The key both sides derive from an invitation's uuid and password (Argon2id; slow on
// purpose). Empty for an invalid uuid.
QByteArray invitationProofKey(const QString &invitationUuid, const QString &password);
QByteArray invitationProof(const QByteArray &proofKey, const QString &invitationUuid,
                           const QByteArray &channelBinding);
// Constant-time comparison of two proofs.
bool proofsEqual(const QByteArray &a, const QByteArray &b);

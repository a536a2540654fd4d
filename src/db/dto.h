#pragma once

// Row records of the database. Plain values of implicitly shared types, cheap to copy through
// queued signals; registerDtoMetaTypes() makes them known to the meta-type system (the database
// calls it when it opens).

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <vector>

// A uuid in its text form with braces, e.g. "{0f1e...}". The key of every peer, transport,
// access entry, key, invitation, view and node.
using Uuid = QString;

// The local computer's own peer uuid: "{00000000-0000-0000-0000-000000000000}".
inline QString nullUuidString()
{
    return QStringLiteral("{00000000-0000-0000-0000-000000000000}");
}

inline bool isNullUuidString(const QString &uuid)
{
    return uuid == nullUuidString();
}

// A fresh random uuid in braces.
inline QString newUuidString()
{
    return QUuid::createUuid().toString(QUuid::WithBraces);
}

struct PeerDto
{
    QString uuid;
    QString type;           // "nusk" for the computers of this network
    qint64 timestamp = 0;   // seconds since the epoch
};

// One named value of a peer ("name", "icon", "invpw", ...). A name may carry several values
// (e.g. several invitation passwords of the own peer), see IDatabase::putPeerAttribute.
struct PeerAttributeDto
{
    QString peerUuid;
    QString name;
    QString value;
};

// One access entry: what a peer may do with one local folder, file or drive.
struct PeerAclDto
{
    enum Flag : quint32 {
        FlagRead = 0x1,
        FlagWrite = 0x2,
        FlagSubPaths = 0x4,
        FlagWholeDrive = 0x8,
    };

    QString uuid;
    QString name;           // display name of the shared item
    QString selector;       // local path of the shared folder, file or drive root
    quint32 flags = 0;
    QDateTime timestamp;    // stored as whole seconds since the epoch

    bool operator==(const PeerAclDto &o) const
    {
        return uuid == o.uuid && name == o.name && selector == o.selector && flags == o.flags
            && timestamp == o.timestamp;
    }
    bool operator!=(const PeerAclDto &o) const { return !(*this == o); }
};

// One address of a peer.
struct TransportDto
{
    QString uuid;
    QString peerUuid;
    QString type;           // "tcp", "udp", "turn" or "onion"
    QString host;
    quint16 port = 0;
    qint64 timestamp = 0;   // seconds since the epoch
    bool stream = false;    // true for "tcp" and "onion"
    // When this computer last had an authenticated link with the peer on this address, in
    // seconds since the epoch; 0 for never. This computer's own finding: never sent.
    qint64 worked = 0;

    static bool isStreamType(const QString &type)
    {
        return type == QLatin1String("tcp") || type == QLatin1String("onion");
    }
};

// A key of a peer. Others' keys have an empty secretKey; the own peer's keys are stored under
// nullUuidString().
struct CryptoKeyDto
{
    QString uuid;
    QString peerUuid;
    QString type;           // purpose, e.g. "ed25519" (signing key pair), "onion"
    QByteArray publicKey;
    QByteArray secretKey;
    qint64 timestamp = 0;   // seconds since the epoch
};

struct InvitationDto
{
    QString uuid;
    QString name;
    QString password;
    qint64 timestamp = 0;   // seconds since the epoch
    qint64 expires = 0;     // seconds since the epoch
};

// One stored view of the node view: its content origin and size.
struct VsectorDto
{
    QString uuid;
    QString name;
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};

// One node placed on a view.
struct VnodeDto
{
    QString uuid;
    QString peerUuid;
    QString sectorUuid;
    QString name;
    QString style;
    QString path;
    QString type;
    QString icon;
    quint64 fileId = 0;
    double x = 0;
    double y = 0;
};

// One cached picture (PNG) of a file of some peer.
struct ImageCacheDto
{
    QString img_uuid;
    QString peer_uuid;
    QString uri;
    qint32 width = 0;
    qint32 height = 0;
    qint64 mtime = 0;       // ms since the epoch
    qint64 atime = 0;       // ms since the epoch
    QByteArray img;
};

Q_DECLARE_METATYPE(PeerDto)
Q_DECLARE_METATYPE(PeerAttributeDto)
Q_DECLARE_METATYPE(PeerAclDto)
Q_DECLARE_METATYPE(TransportDto)
Q_DECLARE_METATYPE(CryptoKeyDto)
Q_DECLARE_METATYPE(InvitationDto)
Q_DECLARE_METATYPE(VsectorDto)
Q_DECLARE_METATYPE(VnodeDto)
Q_DECLARE_METATYPE(ImageCacheDto)
Q_DECLARE_METATYPE(std::vector<PeerDto>)
Q_DECLARE_METATYPE(std::vector<PeerAttributeDto>)
Q_DECLARE_METATYPE(std::vector<PeerAclDto>)
Q_DECLARE_METATYPE(std::vector<TransportDto>)
Q_DECLARE_METATYPE(std::vector<CryptoKeyDto>)
Q_DECLARE_METATYPE(std::vector<InvitationDto>)
Q_DECLARE_METATYPE(std::vector<VsectorDto>)
Q_DECLARE_METATYPE(std::vector<VnodeDto>)
Q_DECLARE_METATYPE(std::vector<ImageCacheDto>)

// Registers every record above (and its std::vector) by name; idempotent, thread-safe.
void registerDtoMetaTypes();

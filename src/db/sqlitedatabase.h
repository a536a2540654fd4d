#pragma once

#include "db/idatabase.h"

#include <memory>

class QSqlDatabase;

// IDatabase on the SQLite file "nusk.db" in a given directory.
//
// The constructing thread uses the framework's default connection (opened, configured and
// migrated in the constructor). Any other thread gets a connection of its own on its first
// call, closed when that thread finishes. Every connection runs with foreign keys on (the
// cascades rely on it) and a busy timeout; the file is in WAL mode so readers and the writer
// don't block each other.
//
// Destroy it on the constructing thread, after every other thread has stopped using it.
class SqliteDatabase : public IDatabase
{
    Q_OBJECT

public:
    static constexpr int kSchemaVersion = 3;
    static constexpr qint64 kImageCacheMaxAgeMs = 172800000;   // two days
    static constexpr int kBusyTimeoutMs = 5000;

    explicit SqliteDatabase(const QString &directory, QObject *parent = nullptr);
    ~SqliteDatabase() override;

    // False when the file could not be opened or its schema not brought up to date.
    bool isOpen() const;
    QString filePath() const;

    // SQLite's quick integrity check of the open file; false with SQLite's first finding
    // in *detail when the file is damaged (or not open).
    bool quickCheck(QString *detail);

    std::vector<PeerDto> loadPeers(const QString &type) override;
    bool putPeer(const PeerDto &peer) override;
    bool deletePeer(const QString &peerUuid) override;

    std::vector<PeerAttributeDto> loadPeerAttributes(const QString &peerUuid) override;
    bool putPeerAttribute(const PeerAttributeDto &attribute, bool unique = true) override;
    bool deletePeerAttribute(const PeerAttributeDto &attribute) override;

    std::vector<TransportDto> loadTransports(const QString &peerUuid) override;
    bool putTransport(const TransportDto &transport) override;
    bool deleteTransport(const QString &transportUuid) override;

    std::vector<PeerAclDto> loadPeerAcls(const QString &peerUuid) override;
    bool putPeerAcl(const QString &peerUuid, const PeerAclDto &entry) override;
    bool deletePeerAcl(const QString &peerUuid, const PeerAclDto &entry) override;

    std::vector<CryptoKeyDto> loadKeys(const QString &peerUuid) override;
    bool putKey(const CryptoKeyDto &key) override;
    bool deleteKey(const QString &keyUuid) override;
    QString findPeerByKey(const QByteArray &publicKey) override;

    std::vector<InvitationDto> loadInvitations() override;
    bool putInvitation(const InvitationDto &invitation) override;
    bool deleteInvitation(const QString &uuid) override;

    std::vector<VsectorDto> loadVsectors() override;
    bool putVsector(const VsectorDto &sector) override;
    bool deleteVsector(const QString &uuid) override;
    std::vector<VnodeDto> loadVnodes(const QString &sectorUuid) override;
    bool putVnode(const VnodeDto &node) override;
    bool deleteVnode(const QString &uuid) override;

    std::vector<ImageCacheDto> loadImage(const QString &peerUuid, const QString &uri,
                                         qint64 mtime, int maxWidth) override;
    bool putImage(const ImageCacheDto &row) override;
    bool putImages(const std::vector<ImageCacheDto> &rows) override;
    bool touchImages(const std::vector<QString> &imgUuids, qint64 atime) override;

private:
    QSqlDatabase connection();
    bool open();

    struct Private;
    std::unique_ptr<Private> d;
};

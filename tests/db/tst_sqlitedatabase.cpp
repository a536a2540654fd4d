#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "testutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <sys/stat.h>
#include <memory>

namespace {

const QString kPeerA = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
const QString kPeerB = QStringLiteral("{22222222-2222-2222-2222-222222222222}");

PeerDto peer(const QString &uuid, const QString &type = QStringLiteral("nusk"), qint64 ts = 1700000000)
{
    return PeerDto{uuid, type, ts};
}

ImageCacheDto image(const QString &id, const QString &peerUuid, const QString &uri, int width,
                    const QByteArray &png, qint64 atime)
{
    ImageCacheDto r;
    r.img_uuid = id;
    r.peer_uuid = peerUuid;
    r.uri = uri;
    r.width = width;
    r.height = width / 2;
    r.mtime = 1000;
    r.atime = atime;
    r.img = png;
    return r;
}

VnodeDto node(const QString &uuid, const QString &peerUuid, const QString &sector, quint64 fileId)
{
    VnodeDto n;
    n.uuid = uuid;
    n.peerUuid = peerUuid;
    n.sectorUuid = sector;
    n.name = QStringLiteral("Photos");
    n.style = QStringLiteral("folder");
    n.path = QStringLiteral("/home/me/Photos");
    n.type = QStringLiteral("dir");
    n.icon = QStringLiteral("folder.svg");
    n.fileId = fileId;
    n.x = 12.5;
    n.y = -3.25;
    return n;
}

} // namespace

class TestSqliteDatabase : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SqliteDatabase> m_db;

    QString file() const { return m_dir->filePath(QStringLiteral("nusk.db")); }
    void reopen()
    {
        m_db.reset();
        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
    }

private Q_SLOTS:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
    }

    void cleanup()
    {
        m_db.reset();
        m_dir.reset();
    }

    void ownPeerAlwaysExists()
    {
        const auto peers = m_db->loadPeers(QStringLiteral("nusk"));
        QCOMPARE(int(peers.size()), 1);
        QCOMPARE(peers[0].uuid, nullUuidString());
        QVERIFY(!m_db->deletePeer(nullUuidString()));
        reopen();
        QCOMPARE(int(m_db->loadPeers(QString()).size()), 1);
        // Local nodes and pictures can refer to it.
        QVERIFY(m_db->putImage(image(QStringLiteral("i"), nullUuidString(), QStringLiteral("/a.png"), 10,
                                     "png", QDateTime::currentMSecsSinceEpoch())));
    }

    void peersAttributesTransportsKeys()
    {
        QSignalSpy added(m_db.get(), &IDatabase::addedPeer);
        QSignalSpy changed(m_db.get(), &IDatabase::changedPeer);
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        QVERIFY(m_db->putPeer(peer(kPeerB, QStringLiteral("other"))));
        QVERIFY(m_db->putPeer(peer(kPeerA, QStringLiteral("nusk"), 1800000000)));
        QCOMPARE(added.count(), 2);
        QCOMPARE(changed.count(), 1);
        auto nusk = m_db->loadPeers(QStringLiteral("nusk"));
        QCOMPARE(int(nusk.size()), 2);
        QCOMPARE(nusk[1].uuid, kPeerA);
        QCOMPARE(nusk[1].timestamp, qint64(1800000000));
        QCOMPARE(int(m_db->loadPeers(QString()).size()), 3);

        // Attributes: unique replaces, non-unique collects distinct values.
        QVERIFY(m_db->putPeerAttribute({kPeerA, QStringLiteral("name"), QStringLiteral("laptop")}));
        QVERIFY(m_db->putPeerAttribute({kPeerA, QStringLiteral("name"), QStringLiteral("desk")}));
        QVERIFY(m_db->putPeerAttribute({nullUuidString(), QStringLiteral("invpw"), QStringLiteral("p1")}, false));
        QVERIFY(m_db->putPeerAttribute({nullUuidString(), QStringLiteral("invpw"), QStringLiteral("p2")}, false));
        QVERIFY(m_db->putPeerAttribute({nullUuidString(), QStringLiteral("invpw"), QStringLiteral("p1")}, false));
        auto attrs = m_db->loadPeerAttributes(kPeerA);
        QCOMPARE(int(attrs.size()), 1);
        QCOMPARE(attrs[0].value, QStringLiteral("desk"));
        QCOMPARE(int(m_db->loadPeerAttributes(nullUuidString()).size()), 2);
        QVERIFY(m_db->deletePeerAttribute({nullUuidString(), QStringLiteral("invpw"), QStringLiteral("p1")}));
        attrs = m_db->loadPeerAttributes(nullUuidString());
        QCOMPARE(int(attrs.size()), 1);
        QCOMPARE(attrs[0].value, QStringLiteral("p2"));
        QVERIFY(m_db->deletePeerAttribute({nullUuidString(), QStringLiteral("invpw"), QString()}));
        QVERIFY(m_db->loadPeerAttributes(nullUuidString()).empty());
        // An attribute of an unknown peer is refused by the foreign key.
        QVERIFY(!m_db->putPeerAttribute({QStringLiteral("{33333333-3333-3333-3333-333333333333}"),
                                         QStringLiteral("name"), QStringLiteral("x")}));

        // Transports: round trip, update by uuid, same address under a new uuid refreshes.
        QSignalSpy tAdded(m_db.get(), &IDatabase::addedTransport);
        QSignalSpy tChanged(m_db.get(), &IDatabase::changedTransport);
        const QString t1 = newUuidString();
        QVERIFY(m_db->putTransport({t1, kPeerA, QStringLiteral("tcp"), QStringLiteral("10.0.0.2"), 60391, 100, true}));
        QVERIFY(m_db->putTransport({newUuidString(), kPeerA, QStringLiteral("udp"), QStringLiteral("10.0.0.2"), 65535, 100, false}));
        QVERIFY(m_db->putTransport({newUuidString(), kPeerA, QStringLiteral("tcp"), QStringLiteral("10.0.0.2"), 60391, 200, true}));
        QCOMPARE(tAdded.count(), 2);
        QCOMPARE(tChanged.count(), 1);
        QCOMPARE(tChanged.at(0).at(1).toString(), t1);
        auto transports = m_db->loadTransports(kPeerA);
        QCOMPARE(int(transports.size()), 2);
        QCOMPARE(transports[0].uuid, t1);
        QCOMPARE(transports[0].timestamp, qint64(200));
        QVERIFY(transports[0].stream);
        QCOMPARE(transports[1].port, quint16(65535));
        QVERIFY(!transports[1].stream);
        QSignalSpy tRemoved(m_db.get(), &IDatabase::removedTransport);
        QVERIFY(m_db->deleteTransport(t1));
        QCOMPARE(tRemoved.count(), 1);
        QCOMPARE(tRemoved.at(0).at(0).toString(), kPeerA);
        QCOMPARE(int(m_db->loadTransports(kPeerA).size()), 1);

        // Keys: others' keys have no secret part; the owner is found by public key.
        const QByteArray pub(32, '\x07');
        const QString k1 = newUuidString();
        QVERIFY(m_db->putKey({k1, kPeerA, QStringLiteral("ed25519"), pub, QByteArray(), 5}));
        auto keys = m_db->loadKeys(kPeerA);
        QCOMPARE(int(keys.size()), 1);
        QCOMPARE(keys[0].publicKey, pub);
        QVERIFY(keys[0].secretKey.isEmpty());
        QCOMPARE(m_db->findPeerByKey(pub), kPeerA);
        QVERIFY(m_db->findPeerByKey(QByteArray(32, '\x08')).isEmpty());
        QVERIFY(m_db->findPeerByKey(QByteArray()).isEmpty());
        QSignalSpy kRemoved(m_db.get(), &IDatabase::removedKey);
        QVERIFY(m_db->deleteKey(k1));
        QVERIFY(m_db->deleteKey(k1));   // gone already: succeeds, announces nothing
        QCOMPARE(kRemoved.count(), 1);
        QVERIFY(m_db->findPeerByKey(pub).isEmpty());
    }

    void aclsAndInvitationsSignalAddedOnlyOnce()
    {
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        QSignalSpy added(m_db.get(), &IDatabase::addedPeerAcl);
        QSignalSpy changed(m_db.get(), &IDatabase::changedPeerAcl);
        QSignalSpy removed(m_db.get(), &IDatabase::removedPeerAcl);

        PeerAclDto e;
        e.uuid = newUuidString();
        e.name = QStringLiteral("Music");
        e.selector = QStringLiteral("/home/me/Music");
        e.flags = PeerAclDto::FlagRead | PeerAclDto::FlagSubPaths;
        e.timestamp = QDateTime::fromSecsSinceEpoch(1700000123, Qt::UTC);
        QVERIFY(m_db->putPeerAcl(kPeerA, e));
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(0).toString(), kPeerA);
        QCOMPARE(added.at(0).at(1).toString(), e.uuid);
        auto acls = m_db->loadPeerAcls(kPeerA);
        QCOMPARE(int(acls.size()), 1);
        QCOMPARE(acls[0], e);

        e.flags |= PeerAclDto::FlagWrite;
        QVERIFY(m_db->putPeerAcl(kPeerA, e));
        QCOMPARE(added.count(), 1);
        QCOMPARE(changed.count(), 1);
        acls = m_db->loadPeerAcls(kPeerA);
        QCOMPARE(int(acls.size()), 1);
        QCOMPARE(acls[0], e);

        // A refused put (unknown peer) announces nothing.
        PeerAclDto orphan = e;
        orphan.uuid = newUuidString();
        QVERIFY(!m_db->putPeerAcl(QStringLiteral("{44444444-4444-4444-4444-444444444444}"), orphan));
        QCOMPARE(added.count(), 1);

        QVERIFY(m_db->deletePeerAcl(kPeerA, e));
        QVERIFY(m_db->deletePeerAcl(kPeerA, e));
        QCOMPARE(removed.count(), 1);
        QVERIFY(m_db->loadPeerAcls(kPeerA).empty());

        QSignalSpy invAdded(m_db.get(), &IDatabase::addedInvitation);
        QSignalSpy invChanged(m_db.get(), &IDatabase::changedInvitation);
        QSignalSpy invRemoved(m_db.get(), &IDatabase::removedInvitation);
        InvitationDto inv{newUuidString(), QStringLiteral("for the laptop"), QStringLiteral("secret"),
                          1700000000, 1700086400};
        QVERIFY(m_db->putInvitation(inv));
        inv.expires += 3600;
        QVERIFY(m_db->putInvitation(inv));
        QCOMPARE(invAdded.count(), 1);
        QCOMPARE(invChanged.count(), 1);
        auto invs = m_db->loadInvitations();
        QCOMPARE(int(invs.size()), 1);
        QCOMPARE(invs[0].name, inv.name);
        QCOMPARE(invs[0].password, inv.password);
        QCOMPARE(invs[0].timestamp, inv.timestamp);
        QCOMPARE(invs[0].expires, inv.expires);
        QVERIFY(m_db->deleteInvitation(inv.uuid));
        QVERIFY(m_db->deleteInvitation(inv.uuid));
        QCOMPARE(invRemoved.count(), 1);
        QVERIFY(m_db->loadInvitations().empty());
    }

    void viewsAndNodes()
    {
        VsectorDto s{newUuidString(), QStringLiteral("Home"), 1.5, 2.5, 800, 600};
        QVERIFY(m_db->putVsector(s));
        s.name = QStringLiteral("Home 2");
        s.w = 1024;
        QVERIFY(m_db->putVsector(s));
        auto sectors = m_db->loadVsectors();
        QCOMPARE(int(sectors.size()), 1);
        QCOMPARE(sectors[0].name, s.name);
        QCOMPARE(sectors[0].x, 1.5);
        QCOMPARE(sectors[0].w, 1024.0);

        // The file id is kept from the first put on, all 64 bits of it.
        const quint64 bigId = Q_UINT64_C(0xF00DFACE12345678);
        VnodeDto n = node(newUuidString(), nullUuidString(), s.uuid, bigId);
        QVERIFY(m_db->putVnode(n));
        auto nodes = m_db->loadVnodes(s.uuid);
        QCOMPARE(int(nodes.size()), 1);
        QCOMPARE(nodes[0].fileId, bigId);
        QCOMPARE(nodes[0].sectorUuid, s.uuid);
        QCOMPARE(nodes[0].peerUuid, nullUuidString());
        QCOMPARE(nodes[0].path, n.path);
        QCOMPARE(nodes[0].icon, n.icon);
        QCOMPARE(nodes[0].x, 12.5);
        QCOMPARE(nodes[0].y, -3.25);

        n.fileId = 77;
        n.x = 40;
        n.name = QStringLiteral("Pictures");
        QVERIFY(m_db->putVnode(n));
        nodes = m_db->loadVnodes(s.uuid);
        QCOMPARE(int(nodes.size()), 1);
        QCOMPARE(nodes[0].fileId, quint64(77));
        QCOMPARE(nodes[0].name, n.name);
        QCOMPARE(nodes[0].x, 40.0);

        // A node on a view that does not exist is refused.
        QVERIFY(!m_db->putVnode(node(newUuidString(), nullUuidString(), newUuidString(), 1)));

        QVERIFY(m_db->deleteVnode(n.uuid));
        QVERIFY(m_db->loadVnodes(s.uuid).empty());
        QVERIFY(m_db->deleteVsector(s.uuid));
        QVERIFY(m_db->loadVsectors().empty());
    }

    void imageCache()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QString uri = QStringLiteral("/home/me/a.jpg");
        QVERIFY(m_db->putImage(image(QStringLiteral("small"), nullUuidString(), uri, 48, "PNG48", now)));
        QVERIFY(m_db->putImage(image(QStringLiteral("large"), nullUuidString(), uri, 256, "PNG256", now)));
        QVERIFY(m_db->putImage(image(QStringLiteral("empty"), nullUuidString(), uri, 32, QByteArray(), now)));

        auto rows = m_db->loadImage(nullUuidString(), uri, 1000, 64);
        QCOMPARE(int(rows.size()), 1);
        QCOMPARE(rows[0].img_uuid, QStringLiteral("small"));
        QCOMPARE(rows[0].img, QByteArray("PNG48"));
        QCOMPARE(rows[0].height, 24);
        QCOMPARE(rows[0].peer_uuid, nullUuidString());
        QCOMPARE(int(m_db->loadImage(nullUuidString(), uri, 1000, 256).size()), 2);
        QVERIFY(m_db->loadImage(nullUuidString(), uri, 999, 256).empty());
        QVERIFY(m_db->loadImage(kPeerA, uri, 1000, 256).empty());

        // Existing id: only atime moves, the picture stays.
        ImageCacheDto again = image(QStringLiteral("small"), nullUuidString(), uri, 200, "OTHER", now + 5000);
        QVERIFY(m_db->putImage(again));
        rows = m_db->loadImage(nullUuidString(), uri, 1000, 64);
        QCOMPARE(int(rows.size()), 1);
        QCOMPARE(rows[0].img, QByteArray("PNG48"));
        QCOMPARE(rows[0].width, 48);
        QCOMPARE(rows[0].atime, now + 5000);

        // Pictures not used for two days are dropped when the database opens.
        QVERIFY(m_db->putImage(image(QStringLiteral("stale"), nullUuidString(), uri, 20, "OLD",
                                     now - SqliteDatabase::kImageCacheMaxAgeMs - 60000)));
        QCOMPARE(int(m_db->loadImage(nullUuidString(), uri, 1000, 256).size()), 3);
        reopen();
        rows = m_db->loadImage(nullUuidString(), uri, 1000, 256);
        QCOMPARE(int(rows.size()), 2);
        for (const auto &r : rows)
            QVERIFY(r.img_uuid != QStringLiteral("stale"));
    }

    void reopenKeepsEverything()
    {
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        QVERIFY(m_db->putPeerAttribute({kPeerA, QStringLiteral("name"), QStringLiteral("laptop")}));
        QVERIFY(m_db->putTransport({newUuidString(), kPeerA, QStringLiteral("onion"), QStringLiteral("abc.onion"), 80, 1, true}));
        QVERIFY(m_db->putKey({newUuidString(), kPeerA, QStringLiteral("ed25519"), QByteArray(32, 'k'), QByteArray(), 1}));
        PeerAclDto e{newUuidString(), QStringLiteral("Docs"), QStringLiteral("/docs"), 1,
                     QDateTime::fromSecsSinceEpoch(1600000000)};
        QVERIFY(m_db->putPeerAcl(kPeerA, e));
        QVERIFY(m_db->putInvitation({newUuidString(), QStringLiteral("n"), QStringLiteral("p"), 1, 2}));
        VsectorDto s{newUuidString(), QStringLiteral("v"), 0, 0, 10, 10};
        QVERIFY(m_db->putVsector(s));
        QVERIFY(m_db->putVnode(node(newUuidString(), kPeerA, s.uuid, 9)));

        reopen();
        QCOMPARE(int(m_db->loadPeers(QStringLiteral("nusk")).size()), 2);
        QCOMPARE(m_db->loadPeerAttributes(kPeerA).at(0).value, QStringLiteral("laptop"));
        QCOMPARE(m_db->loadTransports(kPeerA).at(0).host, QStringLiteral("abc.onion"));
        QCOMPARE(m_db->findPeerByKey(QByteArray(32, 'k')), kPeerA);
        QCOMPARE(m_db->loadPeerAcls(kPeerA).at(0), e);
        QCOMPARE(int(m_db->loadInvitations().size()), 1);
        QCOMPARE(m_db->loadVnodes(s.uuid).at(0).fileId, quint64(9));
    }

    void cascades()
    {
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        QVERIFY(m_db->putPeer(peer(kPeerB)));
        VsectorDto s1{newUuidString(), QStringLiteral("one"), 0, 0, 1, 1};
        VsectorDto s2{newUuidString(), QStringLiteral("two"), 0, 0, 1, 1};
        QVERIFY(m_db->putVsector(s1));
        QVERIFY(m_db->putVsector(s2));
        QVERIFY(m_db->putVnode(node(newUuidString(), kPeerA, s1.uuid, 1)));
        QVERIFY(m_db->putVnode(node(newUuidString(), kPeerB, s1.uuid, 2)));
        QVERIFY(m_db->putVnode(node(newUuidString(), kPeerA, s2.uuid, 3)));
        QVERIFY(m_db->putVnode(node(newUuidString(), nullUuidString(), s2.uuid, 4)));
        QVERIFY(m_db->putPeerAcl(kPeerA, {newUuidString(), QStringLiteral("a"), QStringLiteral("/a"), 1, QDateTime()}));
        QVERIFY(m_db->putPeerAcl(kPeerB, {newUuidString(), QStringLiteral("b"), QStringLiteral("/b"), 1, QDateTime()}));
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(m_db->putImage(image(QStringLiteral("ia"), kPeerA, QStringLiteral("/x"), 10, "A", now)));
        QVERIFY(m_db->putImage(image(QStringLiteral("ib"), kPeerB, QStringLiteral("/x"), 10, "B", now)));
        QVERIFY(m_db->putPeerAttribute({kPeerA, QStringLiteral("name"), QStringLiteral("a")}));
        QVERIFY(m_db->putTransport({newUuidString(), kPeerA, QStringLiteral("tcp"), QStringLiteral("h"), 1, 1, true}));
        QVERIFY(m_db->putKey({newUuidString(), kPeerA, QStringLiteral("ed25519"), QByteArray(32, 'a'), QByteArray(), 1}));

        // Deleting a view takes its nodes with it, and only its nodes.
        QVERIFY(m_db->deleteVsector(s1.uuid));
        QVERIFY(m_db->loadVnodes(s1.uuid).empty());
        QCOMPARE(int(m_db->loadVnodes(s2.uuid).size()), 2);

        // Deleting a peer takes its nodes, access entries, pictures, attributes, addresses and keys.
        QSignalSpy removed(m_db.get(), &IDatabase::removedPeer);
        QVERIFY(m_db->deletePeer(kPeerA));
        QCOMPARE(removed.count(), 1);
        const auto nodes = m_db->loadVnodes(s2.uuid);
        QCOMPARE(int(nodes.size()), 1);
        QCOMPARE(nodes[0].peerUuid, nullUuidString());
        QVERIFY(m_db->loadPeerAcls(kPeerA).empty());
        QCOMPARE(int(m_db->loadPeerAcls(kPeerB).size()), 1);
        QVERIFY(m_db->loadImage(kPeerA, QStringLiteral("/x"), 1000, 100).empty());
        QCOMPARE(int(m_db->loadImage(kPeerB, QStringLiteral("/x"), 1000, 100).size()), 1);
        QVERIFY(m_db->loadPeerAttributes(kPeerA).empty());
        QVERIFY(m_db->loadTransports(kPeerA).empty());
        QVERIFY(m_db->findPeerByKey(QByteArray(32, 'a')).isEmpty());
    }

    void migrationFromEmptyFile()
    {
        m_db.reset();
        QVERIFY(QFile::remove(file()));
        QFile::remove(file() + QStringLiteral("-wal"));
        QFile::remove(file() + QStringLiteral("-shm"));
        {
            QFile f(file());
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(QFileInfo(file()).size(), qint64(0));
        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
        RawConnection raw(file());
        QCOMPARE(raw.scalar(QStringLiteral("PRAGMA user_version")).toInt(), SqliteDatabase::kSchemaVersion);
        QCOMPARE(raw.scalar(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        for (const char *table : {"peers", "peer_attributes", "transports", "keys", "peer_acl", "invitation",
                                  "vsectors2", "vnodes2", "imgcache", "apps", "filetypes", "app_filetypes"})
            QVERIFY2(raw.count(QString::fromLatin1(table)) >= 0, table);
        QCOMPARE(raw.count(QStringLiteral("peers")), 1);
    }

    void migrationFromFirstVersion()
    {
        // Turn the file back into the first layout, which had no file id on nodes.
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        VsectorDto s{newUuidString(), QStringLiteral("old"), 0, 0, 5, 5};
        QVERIFY(m_db->putVsector(s));
        const VnodeDto old = node(newUuidString(), kPeerA, s.uuid, 5);
        QVERIFY(m_db->putVnode(old));
        m_db.reset();
        {
            RawConnection raw(file());
            QVERIFY(raw.exec(QStringLiteral("ALTER TABLE vnodes2 DROP COLUMN fileid")));
            QVERIFY(raw.exec(QStringLiteral("PRAGMA user_version = 1")));
        }

        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
        auto nodes = m_db->loadVnodes(s.uuid);
        QCOMPARE(int(nodes.size()), 1);
        QCOMPARE(nodes[0].uuid, old.uuid);
        QCOMPARE(nodes[0].path, old.path);
        QCOMPARE(nodes[0].fileId, quint64(0));
        VnodeDto n = nodes[0];
        n.fileId = 42;
        QVERIFY(m_db->putVnode(n));
        QCOMPARE(m_db->loadVnodes(s.uuid).at(0).fileId, quint64(42));
        // Foreign keys still hold after the change of layout.
        QVERIFY(m_db->deletePeer(kPeerA));
        QVERIFY(m_db->loadVnodes(s.uuid).empty());
        RawConnection raw(file());
        QCOMPARE(raw.scalar(QStringLiteral("PRAGMA user_version")).toInt(), SqliteDatabase::kSchemaVersion);
    }

    void migrationFromSecondVersion()
    {
        // The second layout did not note when an address last worked; its addresses stay.
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        for (int i = 0; i < 20; ++i) {
            QVERIFY(m_db->putTransport({newUuidString(), kPeerA, QStringLiteral("tcp"),
                                        QStringLiteral("10.0.0.%1").arg(i + 1), 60391, 100 + i, true}));
        }
        const std::vector<TransportDto> before = m_db->loadTransports(kPeerA);
        m_db.reset();
        {
            RawConnection raw(file());
            QVERIFY(raw.exec(QStringLiteral("ALTER TABLE transports DROP COLUMN worked")));
            QVERIFY(raw.exec(QStringLiteral("PRAGMA user_version = 2")));
        }

        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
        const std::vector<TransportDto> after = m_db->loadTransports(kPeerA);
        QCOMPARE(after.size(), before.size());
        for (std::size_t i = 0; i < after.size(); ++i) {
            QCOMPARE(after[i].uuid, before[i].uuid);
            QCOMPARE(after[i].host, before[i].host);
            QCOMPARE(after[i].timestamp, before[i].timestamp);
            QCOMPARE(after[i].worked, qint64(0));
        }
        TransportDto worked = after.back();
        worked.worked = 1700000000;
        QVERIFY(m_db->putTransport(worked));
        QCOMPARE(m_db->loadTransports(kPeerA).back().worked, qint64(1700000000));
        RawConnection raw(file());
        QCOMPARE(raw.scalar(QStringLiteral("PRAGMA user_version")).toInt(), SqliteDatabase::kSchemaVersion);
    }

    void unreadableFileFailsCleanly()
    {
        m_db.reset();
        QVERIFY(QFile::remove(file()));
        QFile::remove(file() + QStringLiteral("-wal"));
        QFile::remove(file() + QStringLiteral("-shm"));
        {
            QFile f(file());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(8192, 'x'));
        }
        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(!m_db->isOpen());
        QVERIFY(m_db->loadPeers(QString()).empty());
        QVERIFY(!m_db->putPeer(peer(kPeerA)));
        QVERIFY(!m_db->putImage(image(QStringLiteral("x"), nullUuidString(), QStringLiteral("/x"), 1, "x", 1)));
        QVERIFY(m_db->loadImage(nullUuidString(), QStringLiteral("/x"), 1, 10).empty());
    }

    void ownKeyPairSurvivesRestart()
    {
        const crypto::SigningKeyPair first = loadOrCreateOwnKeyPair(m_db.get());
        QVERIFY(first.isValid());
        QCOMPARE(loadOrCreateOwnKeyPair(m_db.get()).secretKey, first.secretKey);
        reopen();
        const crypto::SigningKeyPair again = loadOrCreateOwnKeyPair(m_db.get());
        QCOMPARE(again.publicKey, first.publicKey);
        QCOMPARE(again.secretKey, first.secretKey);
        QCOMPARE(int(m_db->loadKeys(nullUuidString()).size()), 1);
        QCOMPARE(m_db->findPeerByKey(first.publicKey), nullUuidString());
        const QByteArray sig = crypto::sign("hello", again.secretKey);
        QVERIFY(crypto::verify("hello", sig, first.publicKey));
    }

    // The file holds the secret key: private whatever umask the caller runs with, and made
    // private again when an older version left it readable.
    void databaseFilesArePrivate()
    {
        const mode_t old = ::umask(022);
        m_db.reset();
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(file() + QLatin1String(suffix));
        m_db.reset(new SqliteDatabase(m_dir->path()));
        QVERIFY(m_db->isOpen());
        QVERIFY(m_db->putPeer(peer(kPeerA)));
        auto modeOf = [this](const char *suffix) {
            struct stat st;
            return ::stat(QFile::encodeName(file() + QLatin1String(suffix)).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
        };
        for (const char *suffix : {"", "-wal", "-shm"})
            QCOMPARE(modeOf(suffix), 0600);

        m_db.reset();
        QCOMPARE(::chmod(QFile::encodeName(file()).constData(), 0644), 0);
        reopen();
        QCOMPARE(modeOf(""), 0600);
        ::umask(old);
    }
};

QTEST_GUILESS_MAIN(TestSqliteDatabase)
#include "tst_sqlitedatabase.moc"

// Invitation links, accepting them without a running network side, and the first-contact proof.

#include "db/idatabase.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

class TstInvitation : public QObject
{
    Q_OBJECT

private:
    std::vector<TransportDto> someTransports() const
    {
        TransportDto tcp;
        tcp.type = QStringLiteral("tcp");
        tcp.host = QStringLiteral("192.0.2.7");
        tcp.port = 60391;
        tcp.timestamp = 1700000000;
        TransportDto onion;
        onion.type = QStringLiteral("onion");
        onion.host = QStringLiteral("abcdefghij.onion");
        onion.port = 80;
        return {tcp, onion};
    }

    QString makeLink(IDatabase *db, const QString &code, qint64 created, QString *uuid = nullptr)
    {
        const QString id = newUuidString();
        if (uuid)
            *uuid = id;
        return encodeInvitationLink(db, IPeer::DeviceLaptop, id, QStringLiteral("Inviter PC"), code, created,
                                    someTransports())
            .toString();
    }

    int peerCount(IDatabase *db) { return int(db->loadPeers(QStringLiteral("nusk")).size()); }

private Q_SLOTS:
    void roundTripAndRefusals()
    {
        QTemporaryDir dir;
        SqliteDatabase db(dir.path());
        QVERIFY(db.isOpen());
        const qint64 created = QDateTime::currentSecsSinceEpoch();
        QString uuid;
        const QString link = makeLink(&db, QStringLiteral("0badc0de"), created, &uuid);
        QVERIFY(link.startsWith(QLatin1String("nusk:")));
        QVERIFY(!link.contains(QLatin1String("0badc0de")));

        InvitationRecord record;
        QVERIFY(decodeInvitationLink(link, QStringLiteral("0badc0de"), &record));
        QCOMPARE(record.deviceType, int(IPeer::DeviceLaptop));
        QCOMPARE(record.created, created);
        QCOMPARE(record.publicKey, loadOrCreateOwnKeyPair(&db).publicKey);
        QCOMPARE(record.uuid, uuid);
        QCOMPARE(record.name, QStringLiteral("Inviter PC"));
        QCOMPARE(int(record.transports.size()), 2);
        QCOMPARE(record.transports[0].host, QStringLiteral("192.0.2.7"));
        QCOMPARE(record.transports[0].port, quint16(60391));
        QVERIFY(record.transports[0].stream);
        QCOMPARE(record.transports[1].type, QStringLiteral("onion"));

        // Line breaks from a mail program do not spoil it.
        QString wrapped = link;
        wrapped.insert(40, QStringLiteral("\r\n  "));
        QVERIFY(decodeInvitationLink(wrapped, QStringLiteral("0badc0de"), nullptr));

        InvitationRecord untouched;
        QVERIFY(!decodeInvitationLink(link, QStringLiteral("0badc0df"), &untouched));
        QVERIFY(untouched.uuid.isEmpty());
        QVERIFY(!decodeInvitationLink(link, QString(), nullptr));

        // Every single flipped character of the payload is caught.
        const int payload = 5;
        for (int i = payload; i < link.size(); i += 7) {
            QString bad = link;
            bad[i] = bad[i] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
            QVERIFY2(!decodeInvitationLink(bad, QStringLiteral("0badc0de"), nullptr), qPrintable(QString::number(i)));
        }
        for (int cut : {link.size() - 1, link.size() - 20, link.size() / 2, 30, 6, 5, 0})
            QVERIFY(!decodeInvitationLink(link.left(cut), QStringLiteral("0badc0de"), nullptr));
        for (const QString &junk : {QStringLiteral("nusk:"), QStringLiteral("nusk:%%%%"), QStringLiteral("http://x/"),
                                    QStringLiteral("nusk:AAAA"), QString(link).replace(0, 4, QStringLiteral("nisk")),
                                    link + QStringLiteral("AAAA"), QString(20000, QLatin1Char('A'))})
            QVERIFY(!decodeInvitationLink(junk, QStringLiteral("0badc0de"), nullptr));
    }

    void acceptStoresInviterOnce()
    {
        QTemporaryDir inviterDir;
        QTemporaryDir accepterDir;
        SqliteDatabase inviter(inviterDir.path());
        SqliteDatabase accepter(accepterDir.path());
        const QString link = makeLink(&inviter, QStringLiteral("12345678"), QDateTime::currentSecsSinceEpoch());
        const int before = peerCount(&accepter);

        QVERIFY(!acceptInvitation(&accepter, link, QStringLiteral("87654321")));
        QCOMPARE(peerCount(&accepter), before);

        QVERIFY(acceptInvitation(&accepter, link, QStringLiteral("12345678")));
        QCOMPARE(peerCount(&accepter), before + 1);
        const QString peerUuid = accepter.findPeerByKey(loadOrCreateOwnKeyPair(&inviter).publicKey);
        QVERIFY(!peerUuid.isEmpty());
        QVERIFY(!isNullUuidString(peerUuid));
        QMap<QString, QString> attrs;
        for (const PeerAttributeDto &a : accepter.loadPeerAttributes(peerUuid))
            attrs.insert(a.name, a.value);
        QCOMPARE(attrs.value(peerAttrName()), QStringLiteral("Inviter PC"));
        QCOMPARE(attrs.value(peerAttrDeviceType()), QString::number(IPeer::DeviceLaptop));
        QVERIFY(!attrs.value(peerAttrIcon()).isEmpty());
        QVERIFY(!attrs.value(peerAttrInvitation()).isEmpty());
        // The proof key is kept, the code itself never.
        QVERIFY(!attrs.value(peerAttrInvitationProofKey()).isEmpty());
        for (const QString &value : attrs)
            QVERIFY(!value.contains(QLatin1String("12345678")));
        QCOMPARE(int(accepter.loadTransports(peerUuid).size()), 2);

        // The same link again: no second peer, no second set of addresses.
        QVERIFY(acceptInvitation(&accepter, link, QStringLiteral("12345678")));
        QCOMPARE(peerCount(&accepter), before + 1);
        QCOMPARE(int(accepter.loadTransports(peerUuid).size()), 2);

        // The own link changes nothing.
        QVERIFY(!acceptInvitation(&inviter, link, QStringLiteral("12345678")));
        QCOMPARE(peerCount(&inviter), 1);

        // A link past its 72 hours is not taken.
        QTemporaryDir otherDir;
        SqliteDatabase other(otherDir.path());
        const QString old = makeLink(&inviter, QStringLiteral("12345678"),
                                     QDateTime::currentSecsSinceEpoch() - kInvitationLifetimeSecs - 1);
        QVERIFY(!acceptInvitation(&other, old, QStringLiteral("12345678")));
        QCOMPARE(peerCount(&other), 1);
    }

    void invitationPasswords()
    {
        QTemporaryDir dir;
        SqliteDatabase db(dir.path());
        QVERIFY(storeInvitationPassword(&db, QStringLiteral("aaaa1111")));
        QVERIFY(storeInvitationPassword(&db, QStringLiteral("aaaa1111")));
        QVERIFY(storeInvitationPassword(&db, QStringLiteral("bbbb2222")));
        QVERIFY(!storeInvitationPassword(&db, QString()));
        QStringList stored;
        for (const PeerAttributeDto &a : db.loadPeerAttributes(nullUuidString())) {
            if (a.name == peerAttrInvitationPassword())
                stored << a.value;
        }
        stored.sort();
        QCOMPARE(stored, QStringList({QStringLiteral("aaaa1111"), QStringLiteral("bbbb2222")}));
    }

    void proofIsBoundToPasswordInvitationAndChannel()
    {
        const QString inv = newUuidString();
        const QByteArray binding(32, 'b');
        const QByteArray key = invitationProofKey(inv, QStringLiteral("0badc0de"));
        QCOMPARE(key.size(), 32);
        const QByteArray proof = invitationProof(key, inv, binding);
        QVERIFY(proofsEqual(proof, invitationProof(invitationProofKey(inv, QStringLiteral("0badc0de")), inv, binding)));
        QVERIFY(!proofsEqual(proof, invitationProof(invitationProofKey(inv, QStringLiteral("0badc0df")), inv, binding)));
        QVERIFY(!proofsEqual(proof, invitationProof(key, inv, QByteArray(32, 'c'))));
        QVERIFY(!proofsEqual(proof, invitationProof(invitationProofKey(newUuidString(), QStringLiteral("0badc0de")), inv, binding)));
        QVERIFY(invitationProofKey(QStringLiteral("not a uuid"), QStringLiteral("x")).isEmpty());
        QVERIFY(!proofsEqual(QByteArray(), QByteArray()));
    }
};

QTEST_GUILESS_MAIN(TstInvitation)
#include "tst_invitation.moc"

// Invitation links, accepting them without a running network side, the first-contact proof,
// and the first-contact authenticator on real links over loopback.

#include "com/hub.h"
#include "com/link.h"
#include "crypto/crypto.h"
#include "db/idatabase.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"
#include "peers/peerauthenticator.h"
#include "peers/peerloader.h"
#include "peers/peernusk.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// One installation's network side in this process: database, hub listening on a port the
// system picks, the loader with the local peer, and the authenticator for first contacts.
struct Side
{
    QTemporaryDir dir;
    std::unique_ptr<SqliteDatabase> db;
    std::unique_ptr<com::Hub> hub;
    PeerLoader *loader = nullptr;
    PeerAuthenticator *authenticator = nullptr;

    Side()
    {
        db = std::make_unique<SqliteDatabase>(dir.path());
        hub = std::make_unique<com::Hub>();
        hub->setIdentity(loadOrCreateOwnKeyPair(db.get()));
        hub->listen(0);
        loader = new PeerLoader(db.get(), hub.get(), nullptr, hub.get());
        hub->setKnownKeyResolver([this](const QByteArray &key) { return loader->resolveKey(key); });
        QObject::connect(hub.get(), &com::Hub::incomingLink, loader, &PeerLoader::onIncomingLink,
                         Qt::DirectConnection);
        loader->loadPeers();
        loader->createLocalPeer();
        authenticator = new PeerAuthenticator(db.get(), loader, hub.get());
        hub->setFirstContactHook([this](const com::Link &link) { return authenticator->admit(link); });
    }
    ~Side()
    {
        hub.reset();
        db.reset();
    }

    QByteArray key() const { return hub->ownPublicKey(); }
    int storedPeers() const { return int(db->loadPeers(QString()).size()); }

    QString invite(const QString &code, qint64 created = QDateTime::currentSecsSinceEpoch())
    {
        const QString uuid = newUuidString();
        db->putInvitation({uuid, QStringLiteral("for the laptop"), code, created, created + kInvitationLifetimeSecs});
        return uuid;
    }
};

// Dials `to` from `from`, proving `code` for `invitation` on the binding `proofBinding` gives
// (the link's own by default). True when the link came up.
bool dialWithProof(com::Hub &from, Side &to, const QString &invitation, const QString &code,
                   const std::function<QByteArray(const QByteArray &)> &proofBinding = nullptr)
{
    const QByteArray proofKey = invitationProofKey(invitation, code);
    QPointer<com::Link> link = from.connectTo(
        QStringLiteral("127.0.0.1"), to.hub->listenPort(), to.key(),
        [=](com::Greeting &greeting, const QByteArray &binding) {
            const QByteArray bound = proofBinding ? proofBinding(binding) : binding;
            greeting.attributes.insert(peerAttrInvitation(), invitation);
            greeting.attributes.insert(greetingAttrInvitationProof(),
                                       QString::fromLatin1(invitationProof(proofKey, invitation, bound).toHex()));
        });
    QSignalSpy up(link.data(), &com::Link::established);
    QSignalSpy closed(link.data(), &com::Link::closed);
    QElapsedTimer clock;
    clock.start();
    while (up.isEmpty() && closed.isEmpty() && clock.elapsed() < 10000)
        QTest::qWait(10);
    const bool ok = !up.isEmpty();
    if (link)
        link->close();
    return ok;
}

} // namespace

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
    void initTestCase()
    {
        DialPolicy::setLoopbackPeersAllowed(true);   // every peer here lives on 127.0.0.1
    }

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

    // A stolen link costs an offline guesser Argon2id at the moderate limits per code; a
    // window decodes it once on the pool, never on its own thread, and accepts that record.
    void linkKeyIsExpensiveAndDecodedOffTheCallersThread()
    {
        QTemporaryDir dir;
        SqliteDatabase db(dir.path());
        const QString link = makeLink(&db, QStringLiteral("0badc0de"), QDateTime::currentSecsSinceEpoch());
        const QByteArray outer = QByteArray::fromBase64(link.mid(5).toLatin1(), QByteArray::Base64UrlEncoding);
        const QByteArray salt = outer.mid(1, crypto::kPasswordSaltBytes);
        const QByteArray box = outer.mid(1 + crypto::kPasswordSaltBytes);
        QByteArray inner;
        QVERIFY(!crypto::secretBoxOpen(box, crypto::deriveKeyFromPassword("0badc0de", salt), &inner));
        QElapsedTimer timer;
        timer.start();
        const QByteArray key = crypto::deriveKeyFromPassword("0badc0de", salt, crypto::kSessionKeyBytes,
                                                             crypto::PasswordCost::Moderate);
        const qint64 derivationMs = timer.elapsed();
        qInfo("link key derivation: %lld ms", derivationMs);
        QVERIFY(crypto::secretBoxOpen(box, key, &inner));

        QObject receiver;
        bool called = false;
        InvitationRecord decoded;
        timer.restart();
        decodeInvitationLinkAsync(link, QStringLiteral("0badc0de"), &receiver,
                                  [&](bool ok, const InvitationRecord &record) {
                                      called = ok && QThread::currentThread() == receiver.thread();
                                      decoded = record;
                                  });
        // Back long before one derivation could have run here, on this machine as loaded as it is.
        QVERIFY2(timer.elapsed() < derivationMs / 2,
                 qPrintable(QStringLiteral("%1 of %2 ms").arg(timer.elapsed()).arg(derivationMs)));
        QTRY_VERIFY_WITH_TIMEOUT(called, testutil::timeoutMs(20000));
        QTemporaryDir accepterDir;
        SqliteDatabase accepter(accepterDir.path());
        QVERIFY(acceptDecodedInvitation(&accepter, decoded, QStringLiteral("0badc0de")));
        QCOMPARE(peerCount(&accepter), 2);
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

    void authenticatorAdmitsOneComputerPerInvitation()
    {
        Side a;
        QVERIFY(a.hub->listenPort() != 0);
        const QString invitation = a.invite(QStringLiteral("0badc0de"));
        const int before = a.storedPeers();

        com::Hub b;
        b.setIdentity(crypto::generateSigningKeyPair());
        com::Hub c;
        c.setIdentity(crypto::generateSigningKeyPair());

        // Wrong code, or a proof made for another connection: refused, nothing stored.
        QVERIFY(!dialWithProof(b, a, invitation, QStringLiteral("0badc0df")));
        QVERIFY(!dialWithProof(b, a, invitation, QStringLiteral("0badc0de"),
                               [](const QByteArray &) { return QByteArray(32, 'x'); }));
        QVERIFY(!dialWithProof(b, a, newUuidString(), QStringLiteral("0badc0de")));
        QCOMPARE(a.storedPeers(), before);
        QVERIFY(a.db->findPeerByKey(b.ownPublicKey()).isEmpty());
        // However many bad proofs arrive, the slow key behind them is derived once.
        for (int i = 0; i < 4; ++i)
            QVERIFY(!dialWithProof(c, a, invitation, QStringLiteral("ffffffff")));
        QCOMPARE(a.authenticator->proofKeyDerivations(), 1);

        // The right code on this connection: stored once, with what its greeting said.
        QVERIFY(dialWithProof(b, a, invitation, QStringLiteral("0badc0de")));
        const QString bOnA = a.db->findPeerByKey(b.ownPublicKey());
        QVERIFY(!bOnA.isEmpty());
        QVERIFY(!isNullUuidString(bOnA));
        QCOMPARE(a.storedPeers(), before + 1);

        // The invitation is used up: another computer with the same link and code is refused.
        QVERIFY(a.db->loadInvitations().empty());
        QVERIFY(!dialWithProof(c, a, invitation, QStringLiteral("0badc0de")));
        QVERIFY(a.db->findPeerByKey(c.ownPublicKey()).isEmpty());
        QCOMPARE(a.storedPeers(), before + 1);

        // The paired computer itself comes back as a known key, without any proof.
        QVERIFY(dialWithProof(b, a, newUuidString(), QStringLiteral("00000000")));
        QCOMPARE(a.storedPeers(), before + 1);
    }

    void invitationWithdrawnAfterTooManyWrongProofs()
    {
        Side a;
        const QString invitation = a.invite(QStringLiteral("12345678"));
        com::Hub b;
        b.setIdentity(crypto::generateSigningKeyPair());
        for (int i = 0; i < PeerAuthenticator::kMaxWrongProofs - 1; ++i)
            QVERIFY(!dialWithProof(b, a, invitation, QStringLiteral("%1").arg(i, 8, 16, QLatin1Char('0'))));
        QCOMPARE(a.db->loadInvitations().size(), std::size_t(1));   // still there
        QVERIFY(!dialWithProof(b, a, invitation, QStringLiteral("ffffffff")));
        QVERIFY(a.db->loadInvitations().empty());
        // Even the right code is refused now: the guesser can't win by persisting.
        QVERIFY(!dialWithProof(b, a, invitation, QStringLiteral("12345678")));
        QVERIFY(a.db->findPeerByKey(b.ownPublicKey()).isEmpty());
    }

    void storedRowsCannotBecomeTheLocalComputer()
    {
        Side a;
        PeerNusk *local = a.loader->peer(nullUuidString());
        QVERIFY(local);
        QTRY_COMPARE_WITH_TIMEOUT(local->linkState(), int(IPeer::LinkUp), 5000);
        const qint64 now = QDateTime::currentSecsSinceEpoch();

        // A row carrying the own key and the own listener's address.
        const QString rogue = newUuidString();
        QVERIFY(a.db->putPeer({rogue, QStringLiteral("nusk"), now}));
        TransportDto t;
        t.uuid = newUuidString();
        t.peerUuid = rogue;
        t.type = QStringLiteral("tcp");
        t.host = QStringLiteral("127.0.0.1");
        t.port = a.hub->listenPort();
        t.stream = true;
        QVERIFY(a.db->putTransport(t));
        QVERIFY(a.db->putKey({newUuidString(), rogue, QString::fromLatin1(ownSigningKeyType()), a.key(), QByteArray(), now}));

        // A row whose uuid is the null uuid without braces, with another computer's key.
        const QString nullish = QStringLiteral("00000000-0000-0000-0000-000000000000");
        QVERIFY(a.db->putPeer({nullish, QStringLiteral("nusk"), now}));
        QVERIFY(a.db->putKey({newUuidString(), nullish, QString::fromLatin1(ownSigningKeyType()),
                              crypto::generateSigningKeyPair().publicKey, QByteArray(), now}));

        QTest::qWait(300);   // several dialling rounds over loopback
        PeerNusk *made = a.loader->peer(rogue);
        QVERIFY(!made || made->linkState() != IPeer::LinkUp);
        QVERIFY(!a.loader->peer(nullish));
        QCOMPARE(a.loader->peer(nullUuidString()), local);
        QCOMPARE(local->linkState(), int(IPeer::LinkUp));
        for (com::Link *link : a.hub->links()) {
            if (link->isOwnKey())
                QCOMPARE(link->peerUuid(), nullUuidString());
        }
    }
};

QTEST_GUILESS_MAIN(TstInvitation)
#include "tst_invitation.moc"

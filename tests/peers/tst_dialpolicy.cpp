#include "peers/dialpolicy.h"

#include <QtTest>

class TstDialPolicy : public QObject
{
    Q_OBJECT

    static DialPolicy onNetworks(const QStringList &subnets)
    {
        DialPolicy policy;
        policy.setOwnNetworks([subnets] {
            QList<QPair<QHostAddress, int>> networks;
            for (const QString &s : subnets)
                networks.append(QHostAddress::parseSubnet(s));
            return networks;
        });
        return policy;
    }

    static QList<DialTarget> targets(int first, int count)
    {
        QList<DialTarget> list;
        for (int i = first; i < first + count; ++i)
            list.append({QStringLiteral("tcp"), QStringLiteral("203.0.113.%1").arg(i), 60391});
        return list;
    }

private Q_SLOTS:
    void cleanup()
    {
        DialPolicy::setLoopbackPeersAllowed(false);
    }

    void addressesARemotePeerMayName_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("loopbackAllowed");
        QTest::addColumn<bool>("dialable");
        QTest::newRow("public v4") << "198.51.100.7" << false << true;
        QTest::newRow("public v6") << "2001:db8::7" << false << true;
        QTest::newRow("172.32 is public") << "172.32.0.1" << false << true;
        QTest::newRow("name") << "nas.example.org" << false << true;
        QTest::newRow("onion") << "abcdefghijklmnop.onion" << false << true;
        QTest::newRow("loopback v4") << "127.0.0.5" << false << false;
        QTest::newRow("loopback v6") << "::1" << false << false;
        QTest::newRow("localhost") << "LocalHost" << false << false;
        QTest::newRow("mapped loopback") << "::ffff:127.0.0.1" << false << false;
        QTest::newRow("unspecified v4") << "0.0.0.0" << false << false;
        QTest::newRow("unspecified v6") << "::" << false << false;
        QTest::newRow("link-local v4") << "169.254.10.1" << false << false;
        QTest::newRow("link-local v6") << "fe80::1%eth0" << false << false;
        QTest::newRow("multicast v4") << "224.0.0.251" << false << false;
        QTest::newRow("multicast v6") << "ff02::1" << false << false;
        QTest::newRow("broadcast") << "255.255.255.255" << false << false;
        QTest::newRow("private, own network") << "192.168.1.20" << false << true;
        QTest::newRow("mapped private, own network") << "::ffff:192.168.1.20" << false << true;
        QTest::newRow("private, other network") << "192.168.2.20" << false << false;
        QTest::newRow("private 10/8, other network") << "10.1.2.3" << false << false;
        QTest::newRow("private 172.16/12, other network") << "172.20.0.1" << false << false;
        QTest::newRow("unique-local, own network") << "fd00::5" << false << true;
        QTest::newRow("unique-local, other network") << "fd01::5" << false << false;
        QTest::newRow("loopback, allowed") << "127.0.0.1" << true << true;
        QTest::newRow("unspecified, loopback allowed") << "0.0.0.0" << true << false;
    }
    void addressesARemotePeerMayName()
    {
        QFETCH(QString, host);
        QFETCH(bool, loopbackAllowed);
        QFETCH(bool, dialable);
        DialPolicy::setLoopbackPeersAllowed(loopbackAllowed);
        const DialPolicy policy = onNetworks({QStringLiteral("192.168.1.0/24"), QStringLiteral("fd00::/64")});
        QCOMPARE(policy.isDialable(host), dialable);
    }

    // A peer announcing fresh addresses at every greeting gets a few dialled per minute;
    // what it had at start, and what was taken up before, is dialled every time.
    void newAddressesAreTakenUpAFewPerMinute()
    {
        DialPolicy policy = onNetworks({});
        std::vector<TransportDto> stored(1);
        stored[0].type = QStringLiteral("tcp");
        stored[0].host = QStringLiteral("203.0.113.1");
        stored[0].port = 60391;
        policy.trust(stored);

        QList<DialTarget> offered = targets(1, 10);
        offered.insert(1, {QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), 60391});
        bool deferred = false;
        QList<DialTarget> first = policy.admit(offered, 16, 1000, &deferred);
        QCOMPARE(first.size(), 1 + DialPolicy::kMaxNewPerWindow);
        QCOMPARE(first.first().host, QStringLiteral("203.0.113.1"));
        QVERIFY(deferred);
        for (const DialTarget &t : first)
            QVERIFY(t.host != QLatin1String("127.0.0.1"));

        // Within the minute: the same addresses again, none more; after it, the next few.
        QCOMPARE(policy.admit(offered, 16, 1000 + DialPolicy::kWindowMs - 1).size(), first.size());
        const QList<DialTarget> later = policy.admit(offered, 16, 1000 + DialPolicy::kWindowMs, &deferred);
        QCOMPARE(later.size(), 1 + 2 * DialPolicy::kMaxNewPerWindow);
        QVERIFY(deferred);

        // One round is capped; the rest of the known ones come in the next.
        QCOMPARE(policy.admit(offered, 3, 1000 + 3 * DialPolicy::kWindowMs).size(), 3);
        QCOMPARE(policy.admit(offered, 16, 1000 + 3 * DialPolicy::kWindowMs).size(), 10);
    }
};

QTEST_GUILESS_MAIN(TstDialPolicy)
#include "tst_dialpolicy.moc"

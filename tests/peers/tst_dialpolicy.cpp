#include "peers/dialpolicy.h"

#include <QNetworkInterface>
#include <QtTest>

class TstDialPolicy : public QObject
{
    Q_OBJECT

    // `interfaces` as "own address/prefix length".
    static DialPolicy onNetworks(const QStringList &interfaces)
    {
        DialPolicy policy;
        policy.setOwnNetworks([interfaces] {
            QList<QPair<QHostAddress, int>> networks;
            for (const QString &s : interfaces)
                networks.append({QHostAddress(s.section(QLatin1Char('/'), 0, 0)), s.section(QLatin1Char('/'), 1).toInt()});
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
        // This computer's own addresses reach its own services, like loopback.
        QTest::newRow("own private address") << "192.168.1.10" << false << false;
        QTest::newRow("own public address") << "198.51.100.9" << false << false;
        QTest::newRow("own address, mapped") << "::ffff:198.51.100.9" << false << false;
        QTest::newRow("own unique-local address") << "fd00::10" << false << false;
        QTest::newRow("own address, loopback allowed") << "198.51.100.9" << true << true;
        QTest::newRow("neighbour of own public address") << "198.51.100.10" << false << true;
    }
    // What a name resolves to meets the same rules when it is dialled.
    void addressesARemotePeerMayName()
    {
        QFETCH(QString, host);
        QFETCH(bool, loopbackAllowed);
        QFETCH(bool, dialable);
        DialPolicy::setLoopbackPeersAllowed(loopbackAllowed);
        const DialPolicy policy = onNetworks({QStringLiteral("192.168.1.10/24"), QStringLiteral("fd00::10/64"),
                                              QStringLiteral("198.51.100.9/24")});
        QCOMPARE(policy.isDialable(host), dialable);
        const QHostAddress address(host);
        if (!address.isNull())
            QCOMPARE(policy.addressCheck()(address), dialable);
    }

    // The addresses of the machine's own interfaces, read from the system.
    void ownInterfaceAddressesAreRefusedLikeLoopback()
    {
        const DialPolicy policy;
        int checked = 0;
        for (const QHostAddress &own : QNetworkInterface::allAddresses()) {
            if (own.isLoopback() || own.isLinkLocal())
                continue;
            DialPolicy::setLoopbackPeersAllowed(false);
            QVERIFY2(!policy.isDialable(own.toString()), qPrintable(own.toString()));
            QVERIFY2(!policy.addressCheck()(own), qPrintable(own.toString()));
            DialPolicy::setLoopbackPeersAllowed(true);
            QVERIFY2(policy.isDialable(own.toString()), qPrintable(own.toString()));
            ++checked;
        }
        if (checked == 0)
            QSKIP("this machine has no address but loopback and link-local ones");
    }

    // A peer announcing fresh addresses at every greeting gets a few dialled per minute;
    // what the user's invitation gave, and what was taken up before, is dialled every time.
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

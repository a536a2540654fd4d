// The watch on this computer's network, inside a network namespace of the test's own with
// one interface whose cable the test plugs and unplugs.

#include "com/networkwatch.h"
#include "testutil_netns.h"

#include <QSignalSpy>
#include <QtTest>

class TstNetworkWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The network comes back when an interface comes up and when one gains an address, a
    // new one or one that replaces another; going away is no news, nor is a link-local one.
    void tellsWhenTheNetworkComesBack()
    {
        const QString reason = testutil::Netns::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        testutil::Netns net;
        const QString ns = QStringLiteral("watch");
        const QString cable = net.name(QStringLiteral("c"));
        const QString otherEnd = net.name(QStringLiteral("o"));
        QVERIFY(net.add(ns));
        QVERIFY(net.ip({"link", "add", cable, "type", "veth", "peer", "name", otherEnd}, ns));
        QVERIFY(net.ip({"link", "set", otherEnd, "up"}, ns));
        QVERIFY(net.ip({"addr", "add", "198.18.7.2/24", "dev", cable}, ns));
        const testutil::NetnsScope inside(net.name(ns));
        QVERIFY(inside.isValid());

        com::NetworkWatch watch;
        QVERIFY(watch.isWatching());
        QSignalSpy returned(&watch, &com::NetworkWatch::networkReturned);
        const int limit = testutil::timeoutMs(5000);

        QVERIFY(net.ip({"link", "set", cable, "up"}, ns));
        QVERIFY(returned.wait(limit));
        QVERIFY(net.ip({"addr", "add", "198.18.7.3/24", "dev", cable}, ns));
        QVERIFY(returned.wait(limit));
        QVERIFY(net.ip({"addr", "replace", "198.18.7.4/24", "dev", cable}, ns));
        QVERIFY(returned.wait(limit));

        // Addresses taken away, and the cable pulled: several looks' time without a word.
        QVERIFY(net.ip({"addr", "del", "198.18.7.3/24", "dev", cable}, ns));
        QVERIFY(net.ip({"link", "set", cable, "down"}, ns));
        QVERIFY(!returned.wait(1500));
        QVERIFY(net.ip({"link", "set", cable, "up"}, ns));
        QVERIFY(returned.wait(limit));
        QCOMPARE(returned.count(), 4);

        // Link-local addresses reach no other computer: no news either.
        QVERIFY(net.ip({"addr", "add", "fe80::1234/64", "dev", cable}, ns));
        QVERIFY(net.ip({"addr", "add", "169.254.9.9/16", "dev", cable}, ns));
        QVERIFY(!returned.wait(1500));
    }
};

QTEST_GUILESS_MAIN(TstNetworkWatch)
#include "tst_networkwatch.moc"

// Whole programs (nusk-peerhost) behind NAT routers, with coturn as STUN and TURN server on the
// public network between them, all of it in network namespaces this test makes
// (testutil_netns.h). What is watched is where the links end up and what a copy does when
// the relay restarts under it.

#include "testutil_netns.h"
#include "testutil_peerhost.h"
#include "testutil_services.h"
#include "../testutil_timeouts.h"

#include "peers/invitation.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <functional>
#include <memory>

using namespace peerhosttest;
using namespace peerhosttest::files;
using testutil::Router;

namespace {

const QString kCode = QStringLiteral("5eed1e55");

struct Lab
{
    testutil::Netns net;
    QTemporaryDir dir;
    testutil::Coturn relay1;   // 198.18.0.1 (and .2 for STUN)
    testutil::Coturn relay2;   // 198.18.0.3 (and .4)
    std::unique_ptr<Host> a;
    std::unique_ptr<Host> b;
    QString aOnB;
    QString bOnA;
};

// The host of `side` inside its namespace, with STUN and TURN on the relay at `relayIp`.
std::unique_ptr<Host> makeHost(Lab &lab, const QString &side, const QString &relayIp, const QString &stunIp)
{
    const QString dir = lab.dir.filePath(QStringLiteral("host") + side);
    QDir().mkpath(dir);
    {
        QSettings config(QDir(dir).filePath(QStringLiteral("config.ini")), QSettings::IniFormat);
        config.beginGroup(QStringLiteral("com"));
        config.setValue(QStringLiteral("stunservers"),
                        QStringList{relayIp + QStringLiteral(":3478"), stunIp + QStringLiteral(":3478")});
        config.setValue(QStringLiteral("turnserver"), relayIp + QStringLiteral(":3478"));
        config.setValue(QStringLiteral("turnuser"), QStringLiteral("nusk"));
        config.setValue(QStringLiteral("turnpassword"), QStringLiteral("secret"));
    }
    auto host = std::make_unique<Host>(dir, freePort());
    host->setNetns(lab.net.name(QStringLiteral("host") + side));
    host->addArguments({QStringLiteral("--job-retry-ms=200"), QStringLiteral("--progress-ms=40"),
                        QStringLiteral("--fso-timeout-ms=3000")});
    return host;
}

bool hasTransport(const InvitationRecord &record, const QString &type)
{
    for (const TransportDto &t : record.transports)
        if (t.type == type)
            return true;
    return false;
}

QString transportOn(Host &host)
{
    return host.remotePeers().value(0).transport;
}

} // namespace

class TstPeerhostNat : public testutil::NatLabTest
{
    Q_OBJECT

private Q_SLOTS:
    void symmetricInviterEndsOnTcp();
    void restartedProgramGetsItsRelayAtOnce();
    void relayRestartWithNoOtherPathSaysUnreachable();
    void relayRestartResumesThroughTheOtherRelay();

private:
    // A behind a symmetric NAT, B behind `b`, both hosts made (not started) with relay 1 running.
    static bool buildOneRelayLab(Lab &lab, Router b);
    // Starts both hosts and waits for their own local peers.
    static bool startHosts(Lab &lab);
    // `inviter` invites (its relay in the link), `accepter` accepts; both links up.
    static bool pair(Host &inviter, Host &accepter, QString *inviterOnAccepter, QString *accepterOnInviter);
    static bool carriesRelay(const QStringList &invitation);
    // A file of `mib` MiB in a folder A shares with B, and an empty destination on B.
    static bool prepareCopy(Lab &lab, int mib, QString *file, QString *dst);
    // Copies `file` from A's share into `dst` on B and restarts relay 1 once the copy is past
    // 5 %: `restart` is started as the restart begins and again as it ends (invalid: no
    // restart came); `notice` sees each notice. Returns the lines, `status` the end.
    static QStringList copyOnBRestartingRelay1(Lab &lab, const QString &file, const QString &dst, QString *status,
                                               QElapsedTimer *restart,
                                               const std::function<void(const QString &)> &notice);
};

bool TstPeerhostNat::buildOneRelayLab(Lab &lab, Router b)
{
    if (!testutil::buildNatNetwork(lab.net, Router::Symmetric, b)
        || !lab.relay1.startIn(lab.net.name(QStringLiteral("pub")), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"))) {
        qWarning("%s", qPrintable(lab.relay1.log()));
        return false;
    }
    lab.a = makeHost(lab, QStringLiteral("A"), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"));
    lab.b = makeHost(lab, QStringLiteral("B"), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"));
    return true;
}

bool TstPeerhostNat::startHosts(Lab &lab)
{
    const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
    return lab.a->start() && lab.b->start() && lab.a->ok(localUp) && lab.b->ok(localUp);
}

bool TstPeerhostNat::pair(Host &inviter, Host &accepter, QString *inviterOnAccepter, QString *accepterOnInviter)
{
    const QStringList invitation = inviter.invite(kCode);
    return carriesRelay(invitation)
        && acceptAndWait(inviter, accepter, invitation[0], kCode, inviterOnAccepter, accepterOnInviter);
}

bool TstPeerhostNat::carriesRelay(const QStringList &invitation)
{
    InvitationRecord record;
    return invitation.size() == 2 && decodeInvitationLink(invitation[0], kCode, &record)
        && hasTransport(record, QStringLiteral("turn"));
}

bool TstPeerhostNat::prepareCopy(Lab &lab, int mib, QString *file, QString *dst)
{
    const QString src = lab.dir.filePath(QStringLiteral("src"));
    *dst = lab.dir.filePath(QStringLiteral("dst"));
    *file = src + QStringLiteral("/big.bin");
    return QDir().mkpath(src) && QDir().mkpath(*dst) && writeLargeFile(*file, qint64(mib) << 20, quint32(mib))
        && lab.a->ok(QStringLiteral("share %1 %2 5").arg(lab.bOnA, src));
}

QStringList TstPeerhostNat::copyOnBRestartingRelay1(Lab &lab, const QString &file, const QString &dst, QString *status,
                                                    QElapsedTimer *restart,
                                                    const std::function<void(const QString &)> &notice)
{
    static const QRegularExpression progress(QStringLiteral("^progress running ([0-9.]+) "));
    lab.b->send(QStringList{QStringLiteral("copy"), lab.aOnB, file, kLocal, dst}.join(QLatin1Char(' ')));
    QStringList out;
    status->clear();
    while (status->isEmpty()) {
        const QString line = lab.b->nextLine(60000);
        if (line.isNull()) {
            *status = QStringLiteral("no answer");
            break;
        }
        if (line == QLatin1String("ok") || line.startsWith(QLatin1String("error"))) {
            *status = line;
            break;
        }
        out << line;
        const QRegularExpressionMatch m = progress.match(line);
        if (m.hasMatch() && !restart->isValid() && m.captured(1).toDouble() >= 5) {
            restart->start();
            [&lab] { QVERIFY2(lab.relay1.restart(), qPrintable(lab.relay1.log())); }();   // fails the test, not the copy
            restart->start();
        }
        if (line.startsWith(QLatin1String("notice ")) && notice)
            notice(line.mid(7));
    }
    return out;
}

void TstPeerhostNat::symmetricInviterEndsOnTcp()
{
    // The computer behind the symmetric NAT invites: the public one can reach it only through
    // its relay, but once they know each other it reaches the public one over TCP itself.
    // The relay server comes up only after the invitation was asked for: the link waits for
    // the relay's answer instead of going out without the relayed address.
    Lab lab;
    QVERIFY(testutil::buildNatNetwork(lab.net, Router::Symmetric, Router::None));
    lab.a = makeHost(lab, QStringLiteral("A"), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"));
    lab.b = makeHost(lab, QStringLiteral("B"), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"));
    QVERIFY(startHosts(lab));
    lab.a->send(QStringLiteral("invite ") + kCode);
    QVERIFY2(lab.relay1.startIn(lab.net.name(QStringLiteral("pub")), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2")),
             qPrintable(lab.relay1.log()));
    QString status;
    const QStringList invitation = lab.a->finish(&status);
    QCOMPARE(status, QStringLiteral("ok"));
    QVERIFY(carriesRelay(invitation));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(acceptAndWait(*lab.a, *lab.b, invitation[0], kCode, &lab.aOnB, &lab.bOnA));
    QTRY_VERIFY_WITH_TIMEOUT(transportOn(*lab.a) == QLatin1String("tcp") && transportOn(*lab.b) == QLatin1String("tcp"),
                             testutil::timeoutMs(15000));
    qInfo("paired and on TCP %lld ms after the invitation", clock.elapsed());
}

void TstPeerhostNat::restartedProgramGetsItsRelayAtOnce()
{
    // Started again on the same port, after a clean end (the relay given back) and after a
    // crash (the server still holds the old allocation for that port): an invitation made
    // right away carries a relayed address, which the host waits for 10 s at most.
    Lab lab;
    QVERIFY(buildOneRelayLab(lab, Router::None));
    const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
    QVERIFY(lab.a->start() && lab.a->ok(localUp));
    QVERIFY(carriesRelay(lab.a->invite(kCode)));
    for (const bool crash : {false, true}) {
        if (crash)
            lab.a->kill();
        else
            lab.a->stop();
        QVERIFY(lab.a->start() && lab.a->ok(localUp));
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(carriesRelay(lab.a->invite(kCode)), crash ? "after a crash" : "after a clean end");
        QVERIFY(clock.elapsed() < 10000);
    }
}

void TstPeerhostNat::relayRestartWithNoOtherPathSaysUnreachable()
{
    // Both behind symmetric NATs with one relay between them: once it restarts, each side has
    // a new relayed address and no way left to tell the other. The copy says so.
    Lab lab;
    QVERIFY(buildOneRelayLab(lab, Router::Symmetric));
    QVERIFY(startHosts(lab));
    QVERIFY(pair(*lab.a, *lab.b, &lab.aOnB, &lab.bOnA));
    QCOMPARE(transportOn(*lab.b), QStringLiteral("turn"));

    QString file, dst;
    QVERIFY(prepareCopy(lab, 24, &file, &dst));

    QElapsedTimer restart;
    QString unreachable;
    QString status;
    const QStringList out = copyOnBRestartingRelay1(lab, file, dst, &status, &restart, [&](const QString &text) {
        if (unreachable.isEmpty() && restart.isValid()) {
            unreachable = text;
            lab.b->send(QStringLiteral("answer abort"));
        }
    });
    QVERIFY2(restart.isValid(), "the copy ended before the relay restarted; make the file larger");
    QVERIFY2(unreachable.contains(QStringLiteral("cannot be reached")), qPrintable(out.join(QLatin1Char('\n'))));
    QCOMPARE(status, QStringLiteral("ok"));
    QVERIFY2(out.contains(QStringLiteral("state aborted")), qPrintable(out.join(QLatin1Char('\n'))));
}

void TstPeerhostNat::relayRestartResumesThroughTheOtherRelay()
{
    // A behind a symmetric NAT on relay 1, B on relay 2 and out of A's direct reach: they talk
    // relay to relay. Relay 1 restarts mid-copy; A allocates again and reaches B's relay,
    // which still lets relay 1 in, and the copy resumes.
    Lab lab;
    QVERIFY(testutil::buildNatNetwork(lab.net, Router::Symmetric, Router::None));
    const QString pub = lab.net.name(QStringLiteral("pub"));
    QVERIFY2(lab.relay1.startIn(pub, QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2")), qPrintable(lab.relay1.log()));
    QVERIFY2(lab.relay2.startIn(pub, QStringLiteral("198.18.0.3"), QStringLiteral("198.18.0.4")), qPrintable(lab.relay2.log()));
    lab.a = makeHost(lab, QStringLiteral("A"), QStringLiteral("198.18.0.1"), QStringLiteral("198.18.0.2"));
    lab.b = makeHost(lab, QStringLiteral("B"), QStringLiteral("198.18.0.3"), QStringLiteral("198.18.0.4"));
    QVERIFY(startHosts(lab));
    // Paired while A still reaches B directly, then the direct way is cut at A's router.
    QVERIFY(pair(*lab.b, *lab.a, &lab.bOnA, &lab.aOnB));
    QVERIFY(lab.net.exec(QStringLiteral("natA"), QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")},
                         "table ip cut {\n chain block { type filter hook forward priority 0; ip daddr 198.18.0.20 drop; }\n}\n"));
    QTRY_VERIFY_WITH_TIMEOUT(transportOn(*lab.a) == QLatin1String("turn") && transportOn(*lab.b) == QLatin1String("turn"),
                             testutil::timeoutMs(20000));

    QString file, dst;
    QVERIFY(prepareCopy(lab, 32, &file, &dst));

    QElapsedTimer restart;
    QString status;
    const QStringList out = copyOnBRestartingRelay1(lab, file, dst, &status, &restart, {});
    QVERIFY2(restart.isValid(), "the copy ended before the relay restarted; make the file larger");
    QCOMPARE(status, QStringLiteral("ok"));
    QVERIFY2(out.contains(QStringLiteral("state finished")), qPrintable(out.join(QLatin1Char('\n'))));
    QVERIFY(sameContent(file, dst + QStringLiteral("/big.bin")));
    qInfo("copy ended %lld ms after the relay restarted", restart.elapsed());
    QCOMPARE(transportOn(*lab.a), QStringLiteral("turn"));
}

QTEST_GUILESS_MAIN(TstPeerhostNat)
#include "tst_peerhost_nat.moc"

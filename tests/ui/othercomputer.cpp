#include "othercomputer.h"

#include "testutil_window.h"

#include "peers/invitation.h"
#include "peers/peertimings.h"

#include <QFileInfo>
#include <QtTest>

using namespace peerhosttest;

bool OtherComputer::start()
{
    if (!QFileInfo(hostBinary()).isExecutable())
        return false;
    PeerTimings timings;
    timings.retryInitialMs = 150;
    timings.retryMaxMs = 600;
    setPeerTimings(timings);
    m_host.reset(new Host(m_dir.path(), freePort()));
    return m_host->start();
}

IPeer *OtherComputer::pair(Program &program)
{
    program.window()->setNetworkEnabled(true);
    if (m_uuid.isEmpty()) {
        const QStringList invitation = m_host->invite(QStringLiteral("0badc0de"));
        if (invitation.size() != 2 || !acceptInvitation(program.database(), invitation[0], QStringLiteral("0badc0de")))
            return nullptr;
    }
    IPeer *peer = nullptr;
    (void)QTest::qWaitFor([&] {
        for (IPeer *candidate : program.peerModel()->peers())
            if (!candidate->isLocal() && candidate->linkState() == IPeer::LinkUp
                && (m_uuid.isEmpty() || candidate->uuid() == m_uuid))
                peer = candidate;
        return peer != nullptr;
    }, testutil::timeoutMs(30000));
    if (peer && m_uuid.isEmpty()) {
        m_uuid = peer->uuid();
        (void)QTest::qWaitFor([&] { return !(m_ours = m_host->remotePeers().value(0).uuid).isEmpty(); },
                              testutil::timeoutMs(10000));
    }
    return peer;
}

QString OtherComputer::share(const QString &dir, int flags)
{
    QString status;
    const QStringList out = m_host->cmd(QStringLiteral("share %1 %2 %3").arg(m_ours, dir).arg(flags), &status);
    return status == QLatin1String("ok") && out.size() == 1 ? QStringLiteral("%shares/") + out[0] : QString();
}

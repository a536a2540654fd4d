#include "testutil_services.h"
#include "testutil_ports.h"

#include "com/stunmessage.h"
#include "crypto/crypto.h"
#include "testutil_netns.h"
#include "testutil_timeouts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QtTest>

namespace testutil {

QString natLabUnavailableReason()
{
    const QString reason = Netns::unavailableReason();
    if (!reason.isEmpty())
        return reason;
    return Coturn::isInstalled() ? QString() : QStringLiteral("turnserver (Debian package coturn) is not installed");
}

void NatLabTest::initTestCase()
{
    QVERIFY(crypto::initialize());
    const QString reason = natLabUnavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
}

Coturn::~Coturn()
{
    stop();
}

void Coturn::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(timeoutMs(3000)))
            m_process.kill();
        m_process.waitForFinished(timeoutMs(3000));
    }
}

bool Coturn::isInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("turnserver")).isEmpty();
}

QString Coturn::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("turn.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().right(4000)) : QString();
}

bool Coturn::start(const QString &user, const QString &password)
{
    // The ports are kept from the system's hand-outs (they stay turnserver's across restarts),
    // but a test picking its own may still take one before turnserver binds it; turnserver
    // then keeps retrying while the other owner answers in its place. Such a start is given
    // up and tried again on other ports.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = portKeptForLater();
        m_altPort = portKeptForLater();
        if (m_altPort == m_port)
            m_altPort = quint16(m_port + 1);
        if (m_withTls)
            m_tlsPort = portKeptForLater();
        if (launch(QString(), user, password) && !lostAPort())
            return true;
        stop();
    }
    return false;
}

bool Coturn::logSays(const char *text) const
{
    QFile f(m_dir.filePath(QStringLiteral("turn.log")));
    return f.open(QIODevice::ReadOnly) && f.readAll().contains(text);
}

bool Coturn::lostAPort() const
{
    return logSays("Address already in use");
}

QString Coturn::certificatePath() const
{
    return m_dir.filePath(QStringLiteral("cert.pem"));
}

bool Coturn::startWithTls()
{
    // A certificate for 127.0.0.1 that only the test trusts.
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                   QStringLiteral("-keyout"), m_dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
                   certificatePath()});
    if (!openssl.waitForFinished(timeoutMs(60000)) || openssl.exitCode() != 0)
        return false;
    m_withTls = true;
    return start();
}

bool Coturn::startIn(const QString &netns, const QString &ip, const QString &secondIp)
{
    m_ip = ip;
    m_secondIp = secondIp;
    m_port = 3478;
    m_altPort = 3479;
    return launch(netns, QStringLiteral("nusk"), QStringLiteral("secret"));
}

bool Coturn::restart()
{
    stop();
    QFile::remove(m_dir.filePath(QStringLiteral("turn.log")));
    return launch(m_netns, m_user, m_password);
}

bool Coturn::launch(const QString &netns, const QString &user, const QString &password)
{
    m_netns = netns;
    m_user = user;
    m_password = password;
    const quint16 relayLow = quint16(40000 + (m_port % 10000));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("turn.log")));
    const QStringList prefix = netns.isEmpty() ? QStringList()
                                               : QStringList{QStringLiteral("netns"), QStringLiteral("exec"), netns,
                                                             QStringLiteral("turnserver")};
    m_process.start(netns.isEmpty() ? QStringLiteral("turnserver") : QStringLiteral("ip"), prefix +
                    QStringList{QStringLiteral("-n"), QStringLiteral("--listening-ip=%1").arg(m_ip)}
                    + (m_secondIp.isEmpty() ? QStringList() : QStringList{QStringLiteral("--listening-ip=%1").arg(m_secondIp)})
                    + QStringList{
                     QStringLiteral("--relay-ip=%1").arg(m_ip), QStringLiteral("--listening-port=%1").arg(m_port),
                     QStringLiteral("--alt-listening-port=%1").arg(m_altPort),
                     QStringLiteral("--min-port=%1").arg(relayLow), QStringLiteral("--max-port=%1").arg(relayLow + 100),
                     QStringLiteral("--lt-cred-mech"), QStringLiteral("--user=%1:%2").arg(user, password),
                     QStringLiteral("--realm=%1").arg(realm()), QStringLiteral("--allow-loopback-peers"),
                     QStringLiteral("--no-dtls"), QStringLiteral("--no-cli"),
                     QStringLiteral("--no-tcp-relay"), QStringLiteral("--log-file=stdout"),
                     QStringLiteral("--userdb=%1").arg(m_dir.filePath(QStringLiteral("turndb"))),
                     QStringLiteral("--pidfile=%1").arg(m_dir.filePath(QStringLiteral("turn.pid")))}
                    + (m_tlsPort ? QStringList{QStringLiteral("--tls-listening-port=%1").arg(m_tlsPort),
                                               QStringLiteral("--cert=%1").arg(certificatePath()),
                                               QStringLiteral("--pkey=%1").arg(m_dir.filePath(QStringLiteral("key.pem")))}
                                 : QStringList{QStringLiteral("--no-tls")}));
    if (!m_process.waitForStarted(timeoutMs(30000)))
        return false;
    // Ready once it answers a binding request (any of those sent so far) and says that all its
    // listeners are up: an answer alone may come from whoever else holds the port.
    QUdpSocket probe;
    {
        const NetnsScope inside(netns);
        probe.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    }
    QList<QByteArray> asked;
    QElapsedTimer clock;
    clock.start();
    bool answered = false;
    while (clock.elapsed() < timeoutMs(60000) && m_process.state() == QProcess::Running && !lostAPort()) {
        if (answered && logSays("Total General servers"))
            return true;
        const com::stun::Message request = com::stun::Message::request(com::stun::MethodBinding);
        asked.append(request.transactionId);
        probe.writeDatagram(request.encode(), QHostAddress(m_ip), m_port);
        probe.waitForReadyRead(200);
        while (probe.hasPendingDatagrams()) {
            const QNetworkDatagram d = probe.receiveDatagram();
            com::stun::Message answer;
            if (com::stun::decode(d.data().constData(), d.data().size(), &answer)
                && asked.contains(answer.transactionId))
                answered = true;
        }
    }
    return false;
}

} // namespace testutil

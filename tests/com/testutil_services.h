#pragma once

// Network services the transport tests start for themselves on 127.0.0.1 and stop after:
// Debian's coturn (STUN and TURN). A test skips when the program is not installed.

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testutil {

// Why the NAT tests (namespaces with a relay server in them) cannot run here, or empty.
QString natLabUnavailableReason();

// The base of a test that builds NAT labs: its initTestCase readies the crypto library and
// skips the whole test, saying why, where no lab can be built here.
class NatLabTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
};

class Coturn
{
public:
    Coturn() = default;
    ~Coturn();

    static bool isInstalled();
    // Starts turnserver with long-term credentials user:password in realm "nusk.test",
    // relaying on 127.0.0.1; waits until it answers a binding request.
    bool start(const QString &user = QStringLiteral("nusk"), const QString &password = QStringLiteral("secret"));
    // The same on port 3478 of `ip` and `secondIp` inside the network namespace `netns` (full
    // name), relaying on `ip`: two STUN servers for telling NAT kinds apart.
    bool startIn(const QString &netns, const QString &ip, const QString &secondIp);
    // Also over TLS, on tlsPort(), with a fresh certificate (certificatePath()) for 127.0.0.1.
    bool startWithTls();
    quint16 tlsPort() const { return m_tlsPort; }
    QString certificatePath() const;
    QString address() const { return m_ip; }
    QString secondAddress() const { return m_secondIp; }
    quint16 port() const { return m_port; }
    quint16 altPort() const { return m_altPort; }
    QString realm() const { return QStringLiteral("nusk.test"); }
    QString log() const;
    // Ends turnserver and starts it again on the same addresses and ports: every allocation
    // is forgotten, as after a crash or an update of the server.
    bool restart();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool launch(const QString &netns, const QString &user, const QString &password);
    // Whether turnserver found one of its ports taken.
    bool lostAPort() const;
    bool logSays(const char *text) const;
    void stop();

    QString m_ip = QStringLiteral("127.0.0.1");
    QString m_secondIp;
    quint16 m_port = 0;
    quint16 m_altPort = 0;
    quint16 m_tlsPort = 0;
    bool m_withTls = false;
    QString m_netns;
    QString m_user;
    QString m_password;
};

} // namespace testutil

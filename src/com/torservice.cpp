#include "com/torservice.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/hub.h"
#include "com/socketowner.h"
#include "crypto/crypto.h"
#include "db/dto.h"
#include "db/idatabase.h"
#include "db/privatefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>

namespace com {

namespace {

constexpr int kPortFilePollMs = 100;
constexpr int kStartTimeoutMs = 30000;
const char kOnionKeyType[] = "onion";

} // namespace

void OnionSocket::connectToHost(const QString &hostName, quint16 port, OpenMode mode, NetworkLayerProtocol protocol)
{
    if (m_socksPort == 0) {
        setSocketState(UnconnectedState);
        QPointer<OnionSocket> self(this);
        QTimer::singleShot(0, this, [self] {
            if (!self)
                return;
            self->setSocketError(ProxyConnectionRefusedError);
            self->setErrorString(QStringLiteral("tor offers no SOCKS port (its network is off)"));
            Q_EMIT self->errorOccurred(ProxyConnectionRefusedError);
        });
        return;
    }
    // Tor resolves the name: an onion address never touches the system resolver.
    QNetworkProxy proxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), m_socksPort);
    proxy.setCapabilities(proxy.capabilities() | QNetworkProxy::HostNameLookupCapability);
    setProxy(proxy);
    QTcpSocket::connectToHost(hostName, port, mode, protocol);
}

TorSettings TorSettings::fromConfig()
{
    TorSettings s;
    ConfigSettings config;
    config->beginGroup(QStringLiteral("com"));
    s.enabled = config->value(QStringLiteral("tor"), false).toBool();
    s.controlPort = quint16(config->value(QStringLiteral("torcontrolport"), 0).toUInt());
    config->endGroup();
    s.dataDirectory = QDir(configDirectory()).filePath(QStringLiteral("tor"));
    return s;
}

TorService::TorService(Hub *hub, IDatabase *database, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
    , m_database(database)
    , m_holderLookup(socketowner::portHolder)
{
    m_restartTimer = new QTimer(this);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, &TorService::launch);
    m_portFileTimer = new QTimer(this);
    m_portFileTimer->setInterval(kPortFilePollMs);
}

TorService::~TorService()
{
    stop();
}

QString TorService::findTor()
{
    return QStandardPaths::findExecutable(QStringLiteral("tor"));
}

QString TorService::version() const
{
    QMutexLocker lock(&m_mutex);
    return m_version;
}

QString TorService::onionAddress() const
{
    QMutexLocker lock(&m_mutex);
    return m_onion;
}

void TorService::start(const TorSettings &settings)
{
    m_settings = settings;
    m_stopping = false;
    m_restartDelayMs = 0;
    m_refusal = NotRefused;
    launch();
}

void TorService::stop()
{
    m_stopping = true;
    m_restartTimer->stop();
    m_portFileTimer->stop();
    if (m_hub)
        m_hub->setStreamFactory(QStringLiteral("onion"), nullptr);
    if (m_control) {
        m_control->disconnect(this);
        m_control->abort();
        m_control->deleteLater();
        m_control = nullptr;
    }
    if (m_process) {
        m_process->disconnect(this);
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(3000))
                m_process->kill();
            m_process->waitForFinished(3000);
        }
        delete m_process;
        m_process = nullptr;
    }
    delete m_onionListener;
    m_onionListener = nullptr;
    setOnion(QString());
    m_state = StateOff;
    m_refusal = NotRefused;
}

void TorService::launch()
{
    m_state = StateStarting;
    m_socksPort = 0;
    m_waiting.clear();
    m_reader = torcontrol::ReplyReader();
    if (m_settings.controlPort) {
        m_controlPort = m_settings.controlPort;
        connectControl();
        return;
    }
    const QString program = m_settings.program.isEmpty() ? findTor() : m_settings.program;
    if (program.isEmpty()) {
        logPrintf(LogTor1, "tor is not installed (not on PATH): the onion transport stays off");
        m_state = StateFailed;
        Q_EMIT failed(QStringLiteral("tor not found"));
        return;
    }
    // Tor keeps keys and state here; nobody else may read them (tor insists as well).
    privatefiles::makeDirectory(m_settings.dataDirectory);
    QFile::setPermissions(m_settings.dataDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QDir dir(m_settings.dataDirectory);
    const QString portFile = dir.filePath(QStringLiteral("control.port"));
    QFile::remove(portFile);
    const QString emptyRc = dir.filePath(QStringLiteral("torrc"));
    { QFile rc(emptyRc); rc.open(QIODevice::WriteOnly | QIODevice::Truncate); }

    delete m_process;
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &TorService::onProcessFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_portFileTimer->stop();
            fail(QStringLiteral("cannot start tor: %1").arg(m_process->errorString()));
        }
    });
    // The system's torrc is not ours: an empty one, and every setting on the command line.
    QStringList args{QStringLiteral("-f"), emptyRc, QStringLiteral("--defaults-torrc"), emptyRc,
                     QStringLiteral("--DataDirectory"), m_settings.dataDirectory,
                     QStringLiteral("--ControlPort"), QStringLiteral("127.0.0.1:auto"),
                     QStringLiteral("--ControlPortWriteToFile"), portFile,
                     QStringLiteral("--CookieAuthentication"), QStringLiteral("1"),
                     QStringLiteral("--CookieAuthFile"), dir.filePath(QStringLiteral("control.cookie")),
                     QStringLiteral("--SocksPort"), QStringLiteral("127.0.0.1:auto"),
                     QStringLiteral("--__OwningControllerProcess"), QString::number(QCoreApplication::applicationPid()),
                     QStringLiteral("--Log"), QStringLiteral("notice file %1").arg(dir.filePath(QStringLiteral("tor.log"))),
                     QStringLiteral("--RunAsDaemon"), QStringLiteral("0")};
    m_process->start(program, args + m_settings.extraArguments);

    disconnect(m_portFileTimer, nullptr, this, nullptr);
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + kStartTimeoutMs;
    connect(m_portFileTimer, &QTimer::timeout, this, [this, portFile, deadline] {
        QFile f(portFile);
        if (f.open(QIODevice::ReadOnly)) {
            const QString line = QString::fromLatin1(f.readAll()).trimmed();   // PORT=127.0.0.1:N
            const int colon = line.lastIndexOf(QLatin1Char(':'));
            const quint16 port = quint16(line.mid(colon + 1).toUShort());
            if (line.startsWith(QLatin1String("PORT=127.0.0.1:")) && port) {
                m_portFileTimer->stop();
                m_controlPort = port;
                connectControl();
                return;
            }
        }
        if (QDateTime::currentMSecsSinceEpoch() > deadline) {
            m_portFileTimer->stop();
            fail(QStringLiteral("tor did not open its control port"));
        }
    });
    m_portFileTimer->start();
}

void TorService::onProcessFinished()
{
    m_portFileTimer->stop();
    if (m_stopping)
        return;
    logPrintf(LogTor1, "tor ended");
    if (m_hub)
        m_hub->setStreamFactory(QStringLiteral("onion"), nullptr);
    setOnion(QString());
    if (m_control) {
        m_control->disconnect(this);
        m_control->deleteLater();
        m_control = nullptr;
    }
    m_state = StateFailed;
    scheduleRestart();
}

void TorService::scheduleRestart()
{
    if (m_stopping || m_settings.controlPort)
        return;
    m_restartDelayMs = m_restartDelayMs ? qMin(m_restartDelayMs * 2, m_settings.restartMaxMs) : m_settings.restartFirstMs;
    ++m_restarts;
    m_restartTimer->start(m_restartDelayMs);
}

void TorService::connectControl()
{
    if (m_control) {
        m_control->disconnect(this);
        m_control->deleteLater();
    }
    m_controlHolder.reset();
    m_control = new QTcpSocket(this);
    m_control->setProxy(QNetworkProxy::NoProxy);
    connect(m_control, &QTcpSocket::readyRead, this, &TorService::onControlReadyRead);
    connect(m_control, &QTcpSocket::connected, this, &TorService::onControlConnected);
    connect(m_control, &QTcpSocket::errorOccurred, this, [this] {
        if (m_state != StateOff)
            fail(QStringLiteral("tor control port: %1").arg(m_control->errorString()));
    });
    // 127.0.0.1 only: a control port is never looked for anywhere else.
    m_control->connectToHost(QHostAddress(QHostAddress::LocalHost), m_controlPort);
}

void TorService::onControlConnected()
{
    // Any local account can listen on a port, even tor's own once tor is stopped: one that
    // cannot be tor's is told nothing, not even PROTOCOLINFO, lest it name a file of ours.
    uid_t holder = 0;
    if (!m_holderLookup(*m_control, &holder)) {
        fail(QStringLiteral("the socket tables do not say which account holds the control port, so nothing is sent to it"),
             RefusedUnprovenControlPort);
        return;
    }
    if (!torcontrol::mayHoldControlPort(holder)) {
        fail(QStringLiteral("the control port is held by uid %1, an account that does not run tor here, so nothing is "
                            "sent to it")
                 .arg(holder),
             RefusedUnprovenControlPort);
        return;
    }
    m_controlHolder = holder;
    command(QStringLiteral("PROTOCOLINFO 1"), [this](int code, const QStringList &lines) {
        if (code != 250)
            fail(QStringLiteral("PROTOCOLINFO refused: %1").arg(code));
        else
            authenticate(lines);
    });
}

void TorService::command(const QString &line, std::function<void(int, const QStringList &)> onReply)
{
    m_waiting.append(std::move(onReply));
    m_control->write(line.toUtf8() + "\r\n");
}

void TorService::onControlReadyRead()
{
    const QByteArray bytes = m_control->readAll();
    if (!m_reader.feed(bytes.constData(), bytes.size())) {
        fail(QStringLiteral("tor control reply too long"));
        return;
    }
    torcontrol::Reply reply;
    // A reply nobody waits for (the port speaking out of turn) is dropped.
    while (m_control && m_reader.next(&reply)) {
        if (!m_waiting.isEmpty())
            m_waiting.takeFirst()(reply.code, reply.lines);
    }
}

void TorService::authenticate(const QStringList &protocolInfo)
{
    const torcontrol::ProtocolInfo info = torcontrol::parseProtocolInfo(protocolInfo);
    // Whatever listens on the port may not be tor, and it gets the onion key once it lets us
    // in: only a port that proves it knows tor's cookie (SAFECOOKIE) is told anything. NULL
    // and a password prove nothing, and plain COOKIE would hand the bytes of whatever file
    // the port names to the port. The tor this program started keeps its cookie where it
    // was told to.
    if (!info.methods.contains(QLatin1String("SAFECOOKIE"))) {
        fail(QStringLiteral("the control port offers no cookie authentication (methods %1), so it cannot prove it is "
                            "tor and nothing is sent to it: set CookieAuthentication 1 in tor's configuration")
                 .arg(info.methods.join(QLatin1Char(','))),
             RefusedUnprovenControlPort);
        return;
    }
    const QString path = m_settings.controlPort
        ? info.cookieFile
        : QDir(m_settings.dataDirectory).filePath(QStringLiteral("control.cookie"));
    QString why = QStringLiteral("who holds the control port is not known");
    const QByteArray cookie = m_controlHolder ? torcontrol::readCookie(path, *m_controlHolder, &why) : QByteArray();
    if (cookie.isEmpty()) {
        fail(QStringLiteral("tor's cookie cannot be used (%1), so the control port cannot prove it is tor and nothing "
                            "is sent to it: tor must write its cookie where this user can read it "
                            "(CookieAuthentication 1, CookieAuthFileGroupReadable 1, this user in tor's group)")
                 .arg(why),
             RefusedUnprovenControlPort);
        return;
    }
    authenticateWithCookie(cookie);
}

void TorService::authenticateWithCookie(const QByteArray &cookie)
{
    const QByteArray clientNonce = crypto::randomBytes(torcontrol::kNonceBytes);
    command(QStringLiteral("AUTHCHALLENGE SAFECOOKIE ") + QString::fromLatin1(clientNonce.toHex()),
            [this, cookie, clientNonce](int code, const QStringList &lines) {
        torcontrol::Challenge challenge;
        if (code != 250 || !torcontrol::parseChallenge(lines, &challenge)) {
            fail(QStringLiteral("tor refused the cookie challenge: %1").arg(code));
            return;
        }
        if (!torcontrol::sameProof(challenge.serverHash,
                                   torcontrol::serverProof(cookie, clientNonce, challenge.serverNonce))) {
            fail(QStringLiteral("the control port does not know tor's cookie: not tor"), RefusedUnprovenControlPort);
            return;
        }
        const QByteArray proof = torcontrol::clientProof(cookie, clientNonce, challenge.serverNonce);
        command(QStringLiteral("AUTHENTICATE ") + QString::fromLatin1(proof.toHex()), [this](int code, const QStringList &) {
            if (code != 250)
                fail(QStringLiteral("tor refused authentication: %1").arg(code));
            else
                afterAuthentication();
        });
    });
}

void TorService::afterAuthentication()
{
    // A tor this program started ends with the control connection.
    if (!m_settings.controlPort)
        command(QStringLiteral("TAKEOWNERSHIP"), [](int, const QStringList &) {});
    command(QStringLiteral("GETINFO version"), [this](int code, const QStringList &lines) {
        for (const QString &line : lines)
            if (code == 250 && line.startsWith(QLatin1String("250-version="))) {
                QMutexLocker lock(&m_mutex);
                m_version = line.mid(12).section(QLatin1Char(' '), 0, 0);
            }
    });
    command(QStringLiteral("GETINFO net/listeners/socks"), [this](int code, const QStringList &lines) {
        for (const QString &line : lines) {
            const int at = line.indexOf(QLatin1String("127.0.0.1:"));
            if (code == 250 && at >= 0) {
                m_socksPort = quint16(line.mid(at + 10).section(QLatin1Char('"'), 0, 0).section(QLatin1Char(' '), 0, 0).toUShort());
                break;
            }
        }
        // Without the network tor opens no SOCKS port: the service is still published, and
        // dialling fails at once with that reason.
        if (!m_socksPort)
            logPrintf(LogTor1, "tor offers no SOCKS port: onion addresses cannot be dialled");
        publish();
    });
}

void TorService::publish()
{
    if (!m_onionListener) {
        m_onionListener = new QTcpServer(this);
        m_onionListener->setProxy(QNetworkProxy::NoProxy);
        connect(m_onionListener, &QTcpServer::newConnection, this, &TorService::onIncoming);
        if (!m_onionListener->listen(QHostAddress::LocalHost, 0)) {
            fail(QStringLiteral("cannot listen for onion connections"));
            return;
        }
    }
    const QByteArray key = onionKey();
    const QString expected = torcontrol::serviceIdOf(key);
    if (expected.isEmpty()) {
        fail(QStringLiteral("the stored onion service key is damaged"));
        return;
    }
    // The key stays the program's own: tor gets it, never the other way round.
    const QString line = QStringLiteral("ADD_ONION %1 Flags=DiscardPK Port=%2,127.0.0.1:%3")
                             .arg(QString::fromLatin1(key))
                             .arg(m_settings.virtualPort)
                             .arg(m_onionListener->serverPort());
    command(line, [this, expected](int code, const QStringList &lines) {
        if (code != 250) {
            fail(QStringLiteral("ADD_ONION refused: %1").arg(code));
            return;
        }
        const QString serviceId = torcontrol::serviceIdIn(lines);
        if (serviceId != expected) {
            fail(QStringLiteral("the control port published another onion service than ours: not tor"));
            return;
        }
        setOnion(serviceId + QStringLiteral(".onion"));
        m_state = StateReady;
        m_refusal = NotRefused;
        m_restartDelayMs = 0;
        const quint16 socks = m_socksPort;
        if (m_hub)
            m_hub->setStreamFactory(QStringLiteral("onion"), [socks]() -> QTcpSocket * { return new OnionSocket(socks); });
        logPrintf(LogTor1, "onion service %s ready (tor %s)", qPrintable(onionAddress()), qPrintable(version()));
        Q_EMIT ready();
    });
}

QByteArray TorService::onionKey()
{
    if (m_database) {
        for (const CryptoKeyDto &k : m_database->loadKeys(nullUuidString()))
            if (k.type == QLatin1String(kOnionKeyType) && !k.secretKey.isEmpty())
                return k.secretKey;
    }
    if (m_unstoredKey.isEmpty())
        m_unstoredKey = torcontrol::newOnionKey();
    if (m_database) {
        CryptoKeyDto k;
        k.uuid = newUuidString();
        k.peerUuid = nullUuidString();
        k.type = QString::fromLatin1(kOnionKeyType);
        k.publicKey = torcontrol::serviceIdOf(m_unstoredKey).toLatin1();
        k.secretKey = m_unstoredKey;
        k.timestamp = QDateTime::currentSecsSinceEpoch();
        m_database->putKey(k);
    }
    return m_unstoredKey;
}

void TorService::onIncoming()
{
    while (QTcpSocket *socket = m_onionListener->nextPendingConnection()) {
        if (!m_hub || !m_hub->acceptStream(socket, QStringLiteral("onion"))) {
            socket->abort();
            socket->deleteLater();
        }
    }
}

void TorService::setOnion(const QString &onion)
{
    QMutexLocker lock(&m_mutex);
    m_onion = onion;
}

void TorService::fail(const QString &reason, Refusal refusal)
{
    if (m_state == StateFailed || m_state == StateOff)
        return;
    logPrintf(LogTor1, "tor: %s", qPrintable(reason));
    m_state = StateFailed;
    m_refusal = refusal;
    if (m_hub)
        m_hub->setStreamFactory(QStringLiteral("onion"), nullptr);
    setOnion(QString());
    Q_EMIT failed(reason);
    // Our own tor is restarted (the next start connects afresh); a tor of the settings is
    // tried again the same way.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    if (m_control) {
        m_control->disconnect(this);
        m_control->deleteLater();
        m_control = nullptr;
    }
    if (m_settings.controlPort) {
        m_restartDelayMs = m_restartDelayMs ? qMin(m_restartDelayMs * 2, m_settings.restartMaxMs) : m_settings.restartFirstMs;
        m_restartTimer->start(m_restartDelayMs);
    } else {
        scheduleRestart();
    }
}

} // namespace com

#pragma once

// The Tor onion service through the system's `tor` (found on PATH). The program starts
// its own tor with a data directory of its own (0700) whose control port listens on
// 127.0.0.1 only and takes cookie authentication (the cookie file lies in that directory,
// and only that one is used, whatever the port names), or uses an existing control port
// from the settings, which must prove it is tor first (SAFECOOKIE with the cookie file the
// port names; a port that cannot is told nothing). Either port is told nothing at all unless
// an account that may run tor holds it (com/torcontrol.h), as the socket tables say; which
// is why a control port is looked for on 127.0.0.1 only: who holds a port elsewhere cannot
// be told from here.
// Over the control connection it reads the version, the SOCKS port, and publishes the
// onion service with ADD_ONION under the program's own key, made here once and kept in the
// database, so the address stays the same across starts; a port that answers with another
// service is not tor (com/torcontrol.h). Incoming onion connections reach a listener of
// their own on 127.0.0.1, so links know they came over Tor. A tor that dies is started
// again with growing back-off. Without `tor` the onion transport stays off (one log line).
// Lives on the thread of the connection manager ("ioThread"); version(), onionAddress()
// and refusal() may be called from any thread.

#include "com/torcontrol.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

#include <atomic>
#include <functional>
#include <optional>

class IDatabase;
class QTcpServer;
class QTimer;

namespace com {

class Hub;

struct TorSettings
{
    QString program;             // empty: `tor` from PATH
    QString dataDirectory;       // for the tor this program starts
    quint16 controlPort = 0;     // non-zero: use this running tor instead
    quint16 virtualPort = 0;     // the onion service's port, as announced
    QStringList extraArguments;  // for tests ("--DisableNetwork", "1", ...)
    int restartFirstMs = 1000;
    int restartMaxMs = 60000;

    // From the settings group "com": "torcontrolport"; the data directory "tor" under the
    // configuration directory.
    bool enabled = false;        // "tor" in the settings group "com"

    static TorSettings fromConfig();
};

// A TCP socket that reaches its host through tor's SOCKS port; the link dials it like any
// TCP socket (its own proxy choice is overridden at connect time).
class OnionSocket : public QTcpSocket
{
public:
    explicit OnionSocket(quint16 socksPort) : m_socksPort(socksPort) {}
    using QTcpSocket::connectToHost;
    void connectToHost(const QString &hostName, quint16 port, OpenMode mode = ReadWrite,
                       NetworkLayerProtocol protocol = AnyIPProtocol) override;

private:
    quint16 m_socksPort;
};

class TorService : public QObject
{
    Q_OBJECT

public:
    enum State { StateOff, StateStarting, StateReady, StateFailed };
    Q_ENUM(State)
    // Why the service is off, where the user has something to change.
    enum Refusal {
        NotRefused,
        // The control port could not prove it is tor (no SAFECOOKIE, a cookie this user
        // cannot read, a server hash that does not match): tor needs cookie authentication.
        RefusedUnprovenControlPort,
    };
    Q_ENUM(Refusal)

    TorService(Hub *hub, IDatabase *database, QObject *parent = nullptr);
    ~TorService() override;

    static QString findTor();

    void start(const TorSettings &settings);
    void stop();

    State state() const { return m_state; }
    QString version() const;
    // "<56 characters>.onion", empty until published.
    QString onionAddress() const;
    // The cause of the last failure, kept through the retries until the service is ready.
    Refusal refusal() const { return m_refusal.load(); }
    quint16 virtualPort() const { return m_settings.virtualPort; }
    quint16 socksPort() const { return m_socksPort; }
    quint16 controlPort() const { return m_controlPort; }
    qint64 torProcessId() const { return m_process ? m_process->processId() : 0; }
    int restarts() const { return m_restarts; }

    // Which account holds the control port the connection reached; false when that cannot be
    // told. The socket tables (com/socketowner.h) unless replaced, as a fuzz driver does to
    // get its own port past the check quickly.
    using HolderLookup = std::function<bool(const QTcpSocket &control, uid_t *holder)>;
    void setHolderLookup(HolderLookup lookup) { m_holderLookup = std::move(lookup); }

Q_SIGNALS:
    void ready();
    void failed(const QString &reason);

private:
    void launch();
    void onProcessFinished();
    void connectControl();
    void onControlConnected();
    void onControlReadyRead();
    void command(const QString &line, std::function<void(int code, const QStringList &lines)> onReply);
    void authenticate(const QStringList &protocolInfo);
    void authenticateWithCookie(const QByteArray &cookie);
    void afterAuthentication();
    void publish();
    // The stored onion key; a new one, stored, when there is none.
    QByteArray onionKey();
    void onIncoming();
    void setOnion(const QString &serviceId);
    void fail(const QString &reason, Refusal refusal = NotRefused);
    void scheduleRestart();

    QPointer<Hub> m_hub;
    IDatabase *m_database = nullptr;
    TorSettings m_settings;
    QProcess *m_process = nullptr;
    QTcpSocket *m_control = nullptr;
    QTcpServer *m_onionListener = nullptr;
    QTimer *m_restartTimer = nullptr;
    QTimer *m_portFileTimer = nullptr;
    State m_state = StateOff;
    torcontrol::ReplyReader m_reader;
    QByteArray m_unstoredKey;   // without a database: the key for this run
    QList<std::function<void(int, const QStringList &)>> m_waiting;
    HolderLookup m_holderLookup;
    // Who holds the control port of the current connection; unknown until the tables said.
    std::optional<uid_t> m_controlHolder;
    quint16 m_controlPort = 0;
    quint16 m_socksPort = 0;
    int m_restartDelayMs = 0;
    int m_restarts = 0;
    bool m_stopping = false;

    mutable QMutex m_mutex;
    QString m_version;
    QString m_onion;
    std::atomic<Refusal> m_refusal{NotRefused};
};

} // namespace com

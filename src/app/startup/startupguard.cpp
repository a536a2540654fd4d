#include "app/startup/startupguard.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "db/ownkey.h"
#include "db/sqlitedatabase.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSettings>

namespace {

const char kActivate[] = "activate\n";

} // namespace

StartupGuard::StartupGuard(const QString &configDirectory, QObject *parent)
    : QObject(parent), m_directory(configDirectory)
{
}

StartupGuard::~StartupGuard() = default;

QString StartupGuard::serverName() const
{
    // Per user and directory; the name of a local socket must stay short.
    const QByteArray dir = QFile::encodeName(QDir(m_directory).canonicalPath());
    return QStringLiteral("nusk-%1").arg(QString::fromLatin1(
        QCryptographicHash::hash(dir, QCryptographicHash::Sha256).toHex().left(24)));
}

bool StartupGuard::acquire()
{
    QDir().mkpath(m_directory);
    m_lock.reset(new QLockFile(QDir(m_directory).filePath(lockFileName())));
    // Held for the whole run; only a lock whose process is gone is taken over.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        listenForActivation();
        return true;
    }
    qint64 pid = 0;
    QString host, application;
    m_lock->getLockInfo(&pid, &host, &application);
    m_error = QStringLiteral("nusk is already running on %1 (process %2 on %3)")
                  .arg(m_directory, QString::number(pid), host);
    m_lock.reset();

    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (socket.waitForConnected(1000)) {
        socket.write(kActivate);
        socket.waitForBytesWritten(1000);
        socket.disconnectFromServer();
    }
    return false;
}

void StartupGuard::listenForActivation()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a killed program would keep the name taken.
    QLocalServer::removeServer(serverName());
    if (!m_server->listen(serverName())) {
        logPrintf(LogErr1, "no activation socket: %s", qUtf8Printable(m_server->errorString()));
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->canReadLine() && socket->readLine(64) == kActivate)
                    Q_EMIT activationRequested();
                socket->disconnectFromServer();
            });
        }
    });
}

QString StartupGuard::keepAside(const QString &file)
{
    const QString aside = file + QStringLiteral(".damaged-")
                          + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFileInfo::exists(file) || QFileInfo::exists(aside) || !QFile::copy(file, aside))
        return QString();
    return aside;
}

bool StartupGuard::checkDatabase(SqliteDatabase *database)
{
    const QString file = database->filePath();
    auto fail = [&](const QString &why, bool damaged) {
        const QString aside = damaged ? keepAside(file) : QString();
        m_error = why;
        if (!aside.isEmpty())
            m_error += QStringLiteral(" A copy of the file was kept as %1.").arg(aside);
        return false;
    };
    if (!database->isOpen())
        return fail(QStringLiteral("The database %1 could not be opened.").arg(file), true);
    QString detail;
    if (!database->quickCheck(&detail))
        return fail(QStringLiteral("The database %1 is damaged (%2).").arg(file, detail), true);

    ConfigSettings settings;
    const QByteArray recorded = QByteArray::fromHex(settings->value(identityKey()).toByteArray());
    OwnKeyState state;
    crypto::SigningKeyPair own = loadOwnKeyPair(database, &state);
    const QString paired = QStringLiteral(" Every pairing depends on it, so no new one is made; "
                                          "restore the database from a backup.");
    if (state == OwnKeyState::Damaged)
        return fail(QStringLiteral("The identity key in %1 is damaged.").arg(file) + paired, true);
    if (state == OwnKeyState::Missing) {
        if (!recorded.isEmpty())
            return fail(QStringLiteral("The identity key of this computer is missing from %1.").arg(file) + paired,
                        true);
        own = loadOrCreateOwnKeyPair(database);
        if (!own.isValid())
            return fail(QStringLiteral("No identity key could be stored in %1.").arg(file), false);
    } else if (!recorded.isEmpty() && recorded != own.publicKey) {
        return fail(QStringLiteral("The identity key in %1 is not the one this computer had.").arg(file) + paired,
                    true);
    }
    if (recorded.isEmpty())
        settings->setValue(identityKey(), QString::fromLatin1(own.publicKey.toHex()));
    return true;
}

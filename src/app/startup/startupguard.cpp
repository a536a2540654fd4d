#include "app/startup/startupguard.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "app/startup/processlock.h"
#include "db/ownkey.h"
#include "db/privatefiles.h"
#include "db/sqlitedatabase.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaMethod>
#include <QSettings>
#include <QTemporaryFile>
#include <QtConcurrent>
#include <QThread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kActivate[] = "activate\n";
const char kActivated[] = "activated\n";
// Room for either line and then some: a connection holding this much without one is dropped.
constexpr qint64 kMaxActivationLine = 64;
// How long the lock of a holder that did not answer is looked at again. A killed program lets
// go of it within milliseconds of its activation socket.
constexpr int kSilentHolderGraceMs = 500;

// A folder in which only this user can make names: its own, and closed to everyone else.
bool isPrivateFolder(const QString &folder)
{
    struct stat st;
    return ::stat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)
           && st.st_uid == ::geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

} // namespace

StartupGuard::StartupGuard(const QString &configDirectory, QObject *parent)
    : QObject(parent), m_directory(configDirectory), m_activationUser(::geteuid())
{
    connect(&m_identity, &QFutureWatcherBase::finished, this, [this] {
        if (!waitForIdentity())
            Q_EMIT identityFailed();
    });
}

StartupGuard::~StartupGuard() = default;

QString StartupGuard::activationSocketPath() const
{
    // The runtime folder is shared by every configuration folder of the user.
    const QByteArray dir = QFile::encodeName(QDir(m_directory).canonicalPath());
    const QString name = QStringLiteral("nusk-%1.socket")
                             .arg(QString::fromLatin1(QCryptographicHash::hash(dir, QCryptographicHash::Sha256).toHex().left(24)));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    for (const QString &folder : {QDir::isAbsolutePath(runtime) ? runtime : QString(), m_directory}) {
        if (folder.isEmpty())
            continue;
        const QString path = QDir(folder).absoluteFilePath(name);
        if (QFile::encodeName(path).size() < int(sizeof(sockaddr_un::sun_path)) && isPrivateFolder(folder))
            return path;
    }
    return QString();
}

bool StartupGuard::isActivationUser(const QLocalSocket &socket) const
{
    // The kernel's word on who is at the other end (who connected, or who listens).
    struct ucred peer {};
    socklen_t length = sizeof peer;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0
           && length == sizeof peer && peer.uid == m_activationUser;
}

bool StartupGuard::prepareDirectory()
{
    if (!privatefiles::makeDirectory(m_directory)) {
        m_error = QStringLiteral("The configuration folder %1 cannot be made.").arg(m_directory);
        return false;
    }
    // Without this, the lock, the settings and the database would each fail in their own
    // way, the lock looking like a program that already runs.
    QTemporaryFile probe(QDir(m_directory).filePath(QStringLiteral(".nusk-write-XXXXXX")));
    const QString settingsFile = QDir(m_directory).filePath(QStringLiteral("config.ini"));
    if (!probe.open() || !privatefiles::createFile(settingsFile)) {
        m_error = QStringLiteral("The configuration folder %1 cannot be written.").arg(m_directory);
        return false;
    }
    probe.remove();
    // What an older version left readable is mended; a file that cannot be is only logged.
    privatefiles::repairDirectory(m_directory);
    return true;
}

bool StartupGuard::acquire(qint64 handingOverPid, int handOverWaitMs)
{
    privatefiles::makeDirectory(m_directory);
    const QString lockPath = QDir(m_directory).filePath(lockFileName());
    m_lock.reset(new ProcessLock(lockPath));
    qint64 pid = 0;
    QString host;
    // The program handing over is on its way out; its lock goes with it. Unreadable
    // information is a lock being removed or written just now.
    ProcessLock::Result result = lockWithin(handOverWaitMs, [&] {
        m_lock->holder(&pid, &host);
        return handingOverPid > 0 && (pid == handingOverPid || pid == 0);
    });
    bool answered = false;
    if (result == ProcessLock::HeldElsewhere) {
        m_lock->holder(&pid, &host);
        answered = askHolderToActivate();
        // A holder that does not answer may be dying (killed just now): the lock goes with
        // the last of it a moment later.
        if (!answered)
            result = lockWithin(kSilentHolderGraceMs, [] { return true; });
    }
    if (result == ProcessLock::Locked) {
        listenForActivation();
        return true;
    }
    m_lock.reset();
    if (result == ProcessLock::Failed) {
        m_error = QStringLiteral("The configuration folder %1 cannot be written.").arg(m_directory);
        return false;
    }
    m_error = pid > 0 ? QStringLiteral("nusk is already running on %1 (process %2 on %3)")
                            .arg(m_directory, QString::number(pid), host)
                      : QStringLiteral("nusk is already running on %1").arg(m_directory);
    m_error += answered ? QStringLiteral("; its window was brought to the front.")
                        : QStringLiteral("; it did not answer.");
    return false;
}

ProcessLock::Result StartupGuard::lockWithin(int limitMs, const std::function<bool()> &worthWaiting)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const ProcessLock::Result result = m_lock->tryLock();
        if (result != ProcessLock::HeldElsewhere || waited.elapsed() >= limitMs || !worthWaiting())
            return result;
        QThread::msleep(20);
    }
}

bool StartupGuard::askHolderToActivate()
{
    const QString path = activationSocketPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(1000))
        return false;
    // Whatever another user's program would answer means nothing for ours.
    if (!isActivationUser(socket))
        return false;
    socket.setReadBufferSize(kMaxActivationLine);
    socket.write(kActivate);
    if (!socket.waitForBytesWritten(1000))
        return false;
    // A holder that hangs is not waited for long: this start has nothing else to do.
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() >= kMaxActivationLine || !socket.waitForReadyRead(3000))
            return false;
    }
    return socket.readLine(kMaxActivationLine) == kActivated;
}

void StartupGuard::listenForActivation()
{
    const QString path = activationSocketPath();
    if (path.isEmpty()) {
        logPrintf(LogErr1, "no activation socket: neither the runtime folder nor %s is private, or the name is too long",
                  qUtf8Printable(m_directory));
        return;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a killed program would keep the name taken.
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        logPrintf(LogErr1, "no activation socket: %s", qUtf8Printable(m_server->errorString()));
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection())
            answerActivation(socket);
    });
}

void StartupGuard::answerActivation(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Another user's program gets no answer, and nothing it sends reaches the window.
    if (!isActivationUser(*socket)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setReadBufferSize(kMaxActivationLine);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            // A line that never ends takes no more than a line's room.
            if (socket->bytesAvailable() >= kMaxActivationLine) {
                socket->abort();
                socket->deleteLater();
            }
            return;
        }
        // Only a program with a window to show says it did.
        if (socket->readLine(kMaxActivationLine) == kActivate
            && isSignalConnected(QMetaMethod::fromSignal(&StartupGuard::activationRequested))) {
            Q_EMIT activationRequested();
            socket->write(kActivated);
        }
        socket->disconnectFromServer();
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
        // A key takes a disk sync to store, and its record another: neither needs to hold up
        // the window.
        m_identity.setFuture(QtConcurrent::run([database, file] {
            const crypto::SigningKeyPair made = loadOrCreateOwnKeyPair(database);
            if (!made.isValid())
                return QStringLiteral("No identity key could be stored in %1.").arg(file);
            ConfigSettings record;
            record->setValue(identityKey(), QString::fromLatin1(made.publicKey.toHex()));
            return QString();
        }));
        return true;
    } else if (!recorded.isEmpty() && recorded != own.publicKey) {
        return fail(QStringLiteral("The identity key in %1 is not the one this computer had.").arg(file) + paired,
                    true);
    }
    if (recorded.isEmpty())
        settings->setValue(identityKey(), QString::fromLatin1(own.publicKey.toHex()));
    return true;
}

bool StartupGuard::waitForIdentity()
{
    if (m_identity.isCanceled())   // no first start: the watcher was never given work
        return true;
    m_identity.waitForFinished();
    const QString error = m_identity.result();
    if (error.isEmpty())
        return true;
    m_error = error;
    return false;
}

#include "testutil_peerhost.h"
#include "../testutil_ports.h"
#include "../testutil_timeouts.h"

#include "peers/dialpolicy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace peerhosttest {

const QString kLocal = QStringLiteral("{00000000-0000-0000-0000-000000000000}");

QString hostBinary()
{
    QString dir = qEnvironmentVariable("NUSK_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    return QDir(dir).filePath(QStringLiteral("nusk-peerhost"));
}

quint16 freePort()
{
    return testutil::portKeptForLater();
}

bool Host::start()
{
    // The hosts keep off the real network: no LAN announcements of their invitations.
    QSettings(QDir(m_dir).filePath(QStringLiteral("config.ini")), QSettings::IniFormat)
        .setValue(QStringLiteral("com/lanbeacon"), false);
    m_process.setProgram(m_wrapper.isEmpty() ? hostBinary() : m_wrapper.first());
    const QStringList shortTimings{QStringLiteral("--retry-ms=150"), QStringLiteral("--retry-max-ms=600"),
                                   QStringLiteral("--ping-ms=250"), QStringLiteral("--silence-ms=1500"),
                                   QStringLiteral("--handshake-ms=3000")};
    m_process.setArguments(m_wrapper.mid(1) + (m_wrapper.isEmpty() ? QStringList() : QStringList{hostBinary()})
                           + QStringList{QStringLiteral("--config-dir=") + m_dir,
                                         QStringLiteral("--com-listen-port=") + QString::number(m_port),
                                         QStringLiteral("--loopback-transports=1")}
                           + (m_programTimings ? QStringList() : shortTimings) + m_extraArgs);
    // Every copy, this test process included, lives on this computer and reaches the
    // others over loopback.
    DialPolicy::setLoopbackPeersAllowed(true);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    return m_process.waitForStarted(testutil::timeoutMs(30000));
}

void Host::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write("quit\n");
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void Host::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(testutil::timeoutMs(10000));
}

bool Host::waitForExit(int limitMs)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(testutil::timeoutMs(limitMs));
}

bool Host::signal(int signalNumber)
{
    return m_process.state() != QProcess::NotRunning && ::kill(pid_t(m_process.processId()), signalNumber) == 0;
}

bool Host::setUnprivileged()
{
    if (::geteuid() != 0)
        return true;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        return false;
    m_wrapper = QStringList{setpriv, QStringLiteral("--bounding-set=-dac_override,-dac_read_search"),
                            QStringLiteral("--")};
    return true;
}

void Host::setNetns(const QString &fullName)
{
    m_wrapper = QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), fullName};
}

namespace files {

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    QRandomGenerator gen(seed);
    const qint64 words = size / 8;
    gen.fillRange(reinterpret_cast<quint64 *>(bytes.data()), words);
    for (qint64 i = words * 8; i < size; ++i)
        bytes[int(i)] = char(gen.generate());
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool writeLargeFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 piece = 8 * 1024 * 1024;
    for (qint64 done = 0; done < size; done += piece) {
        const QByteArray bytes = randomBytes(qMin(piece, size - done), seed + quint32(done / piece));
        if (file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(4 * 1024 * 1024) != fb.read(4 * 1024 * 1024))
            return false;
    }
    return true;
}

QMap<QString, qint64> countersOf(const QStringList &lines)
{
    QMap<QString, qint64> map;
    for (const QString &line : lines) {
        if (!line.startsWith(QLatin1String("counters ")))
            continue;
        for (const QString &pair : line.mid(9).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            map.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1).toLongLong());
    }
    return map;
}

} // namespace files

// A "wait-up <uuid> <seconds>" limit is a test's guess for a quiet machine; a loaded one gets
// it stretched, like every other wait of the tests.
static QString stretchedWaitUp(const QString &line)
{
    QStringList words = line.split(QLatin1Char(' '));
    bool isNumber = false;
    const double seconds = words.size() == 3 ? words[2].toDouble(&isNumber) : 0;
    if (words.value(0) != QLatin1String("wait-up") || !isNumber)
        return line;
    words[2] = QString::number(testutil::timeoutMs(int(seconds * 3000)) / 1000.0);
    return words.join(QLatin1Char(' '));
}

QStringList Host::cmd(const QString &line, QString *status)
{
    m_process.write(stretchedWaitUp(line).toUtf8() + '\n');
    QStringList out;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < testutil::timeoutMs(120000)) {
        while (m_process.canReadLine()) {
            const QString text = QString::fromUtf8(m_process.readLine()).trimmed();
            if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error"))) {
                if (status)
                    *status = text;
                return out;
            }
            out << text;
        }
        if (!m_process.waitForReadyRead(1000) && m_process.state() == QProcess::NotRunning)
            break;
    }
    if (status)
        *status = QStringLiteral("error host gone");
    return out;
}

void Host::send(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    // Out now: the test may next block on another host, and the line would wait with it.
    m_process.waitForBytesWritten(testutil::timeoutMs(5000));
}

QString Host::nextLine(int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_process.canReadLine()) {
        if (m_process.state() == QProcess::NotRunning || clock.elapsed() >= limitMs)
            return QString();
        m_process.waitForReadyRead(qMax<qint64>(1, qMin<qint64>(1000, limitMs - clock.elapsed())));
    }
    return QString::fromUtf8(m_process.readLine()).trimmed();
}

QStringList Host::finish(QString *status, int limitMs)
{
    QStringList out;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < limitMs) {
        const QString text = nextLine(int(limitMs - clock.elapsed()));
        if (text.isNull())
            break;
        if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error"))) {
            if (status)
                *status = text;
            return out;
        }
        out << text;
    }
    if (status)
        *status = QStringLiteral("error host gone");
    return out;
}

bool Host::ok(const QString &line)
{
    QString status;
    cmd(line, &status);
    // The host's own words, so that a failed start or pairing says which step failed and why.
    if (status != QLatin1String("ok"))
        qWarning("host %u: \"%s\" answered \"%s\"", unsigned(m_port), qPrintable(line), qPrintable(status));
    return status == QLatin1String("ok");
}

QList<PeerLine> Host::peers()
{
    QList<PeerLine> list;
    for (const QString &line : cmd(QStringLiteral("peers"))) {
        const QStringList parts = line.split(QLatin1Char('\t'));
        if (parts.size() == 5)
            list.append({parts[0], parts[1], parts[2].toInt(), parts[3], parts[4] == QLatin1String("-") ? -1 : parts[4].toInt()});
    }
    return list;
}

QList<PeerLine> Host::remotePeers()
{
    QList<PeerLine> list;
    for (const PeerLine &p : peers())
        if (p.uuid != kLocal)
            list.append(p);
    return list;
}

int Host::stateOf(const QString &uuid)
{
    for (const PeerLine &p : peers())
        if (p.uuid == uuid)
            return p.state;
    return -1;
}

bool Host::waitForState(const QString &uuid, int state, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < testutil::timeoutMs(limitMs)) {
        if (stateOf(uuid) == state)
            return true;
        QTest::qWait(50);
    }
    return false;
}

QStringList Host::invite(const QString &code)
{
    QString status;
    const QStringList out = cmd(QStringLiteral("invite ") + code, &status);
    return status == QLatin1String("ok") && out.size() == 2 ? out : QStringList();
}

bool pairHosts(Host &a, Host &b, QString *aOnB, QString *bOnA, const QString &code)
{
    const QStringList invitation = a.invite(code);
    return invitation.size() == 2 && acceptAndWait(a, b, invitation[0], code, aOnB, bOnA);
}

bool acceptAndWait(Host &a, Host &b, const QString &link, const QString &code, QString *aOnB, QString *bOnA)
{
    if (!b.ok(QStringLiteral("accept ") + link + QLatin1Char(' ') + code))
        return false;
    aOnB->clear();
    bOnA->clear();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < testutil::timeoutMs(30000) && (aOnB->isEmpty() || bOnA->isEmpty())) {
        const QList<PeerLine> onB = b.remotePeers();
        const QList<PeerLine> onA = a.remotePeers();
        if (onB.size() == 1 && onB[0].state == 3)
            *aOnB = onB[0].uuid;
        if (onA.size() == 1 && onA[0].state == 3)
            *bOnA = onA[0].uuid;
        if (aOnB->isEmpty() || bOnA->isEmpty())
            QTest::qWait(20);
    }
    return !aOnB->isEmpty() && !bOnA->isEmpty();
}

bool startAndPair(Host &a, Host &b, QString *aOnB, QString *bOnA)
{
    const QString localUp = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 5");
    return a.start() && b.start() && a.ok(localUp) && b.ok(localUp) && pairHosts(a, b, aOnB, bOnA);
}

bool HostPair::startPair(const std::function<void(Host &)> &prepare)
{
    if (!m_root.isValid())
        return false;
    m_a = std::make_unique<Host>(path(QStringLiteral("hostA")), freePort());
    m_b = std::make_unique<Host>(path(QStringLiteral("hostB")), freePort());
    for (Host *host : {m_a.get(), m_b.get()}) {
        // First: what `prepare` gives wins over the defaults below (the first option counts).
        if (prepare)
            prepare(*host);
        // A cut is noticed by the request timeout and followed by the retry pause: neither
        // may take the usual 60 s and 15 s here.
        host->addArguments({QStringLiteral("--job-retry-ms=200"), QStringLiteral("--progress-ms=40"),
                            QStringLiteral("--fso-timeout-ms=3000")});
    }
    return startAndPair(*m_a, *m_b, &m_aOnB, &m_bOnA);
}

bool HostPair::share(const QString &dir, int flags)
{
    QString status;
    m_a->cmd(QStringLiteral("share %1 %2 %3").arg(m_bOnA, dir).arg(flags), &status);
    return status == QLatin1String("ok");
}

QString HostPair::fromA(const QString &verb, const QString &src, const QString &dstDir) const
{
    return QStringList{verb, m_aOnB, src, kLocal, dstDir}.join(QLatin1Char(' '));
}

} // namespace peerhosttest

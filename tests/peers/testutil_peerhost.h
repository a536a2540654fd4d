#pragma once

// Driving separate nusk-peerhost processes from a test: start, one command a line, the
// result lines and the final "ok" / "error ..." of each command.

#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace peerhosttest {

extern const QString kLocal;   // the local peer's uuid

// nusk-peerhost in NUSK_BIN_DIR, else next to the test.
QString hostBinary();
// A port for a host to listen on: free now, and given to no test running alongside
// meanwhile (testutil_ports.h).
quint16 freePort();

struct PeerLine
{
    QString uuid;
    QString name;
    int state = -1;
    QString transport;   // "-" without a link
    int rttMs = -1;
};

class Host
{
public:
    Host(const QString &dir, quint16 port) : m_dir(dir), m_port(port) {}
    ~Host() { stop(); }

    // Further command-line options for the next start().
    void addArguments(const QStringList &args) { m_extraArgs += args; }
    // Started from now on with the program's own retry, ping, silence and handshake limits
    // instead of the tests' short ones.
    void setProgramTimings(bool program) { m_programTimings = program; }
    bool start();
    void stop();
    // SIGKILL, as a crash or a power cut would end it; waits until it is gone.
    void kill();
    // Waits until the process ended by itself (e.g. through its crash hook).
    bool waitForExit(int limitMs);
    // Sends a signal to the running host; false when none runs.
    bool signal(int signalNumber);
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    int exitCode() const { return m_process.exitCode(); }
    // Started from now on without root's right to read and enter every folder, so folder
    // modes hold for it as for any user. False where that cannot be arranged.
    bool setUnprivileged();
    // What runs the host binary, its arguments first (empty: the binary runs itself).
    QStringList wrapper() const { return m_wrapper; }
    // Started from now on inside the network namespace `fullName` (testutil_netns.h).
    void setNetns(const QString &fullName);

    // A command that runs on while the test reads its lines one by one: send(), then
    // nextLine() until it gives "ok" or "error ..." (a null string when nothing came within
    // `limitMs` or the host is gone), or finish() for the rest.
    void send(const QString &line);
    QString nextLine(int limitMs = 60000);
    QStringList finish(QString *status, int limitMs = 60000);

    // Result lines; `status` gets "ok" or "error ...".
    QStringList cmd(const QString &line, QString *status = nullptr);
    bool ok(const QString &line);

    QList<PeerLine> peers();
    QList<PeerLine> remotePeers();
    int stateOf(const QString &uuid);
    // Waits (polling, not timing anything) for the peer's link state to become `state`.
    bool waitForState(const QString &uuid, int state, int limitMs = 30000);
    // Link and invitation uuid.
    QStringList invite(const QString &code);

    QString dir() const { return m_dir; }
    quint16 port() const { return m_port; }

private:
    QString m_dir;
    quint16 m_port;
    QStringList m_extraArgs;
    bool m_programTimings = false;
    QStringList m_wrapper;   // runs the host binary (its arguments follow)
    QProcess m_process;
};

// Files for the copies between hosts (a namespace of their own: several tests keep helpers
// of these names).
namespace files {
QByteArray randomBytes(qint64 size, quint32 seed);
bool writeFile(const QString &path, const QByteArray &bytes);
// `size` pseudo-random bytes, written in pieces.
bool writeLargeFile(const QString &path, qint64 size, quint32 seed);
QByteArray readFile(const QString &path);
bool sameContent(const QString &a, const QString &b);
// The figures of a "counters written=N copied=N total=N errors=N" line.
QMap<QString, qint64> countersOf(const QStringList &lines);
} // namespace files

// Pairs two running hosts through an invitation of `a` accepted by `b` and waits until both
// links are up; the uuids each side gives the other, or false.
bool pairHosts(Host &a, Host &b, QString *aOnB, QString *bOnA, const QString &code = QStringLiteral("0badc0de"));
// The same with an invitation link `a` made already.
bool acceptAndWait(Host &a, Host &b, const QString &link, const QString &code, QString *aOnB, QString *bOnA);
// Starts both hosts, waits for their own local peers and pairs them as pairHosts does.
bool startAndPair(Host &a, Host &b, QString *aOnB, QString *bOnA);

// Two paired hosts for copies between them: A shares, B runs the jobs onto its own disk.
// Quick retries and timeouts, and frequent progress reports that let a test act mid-file.
class HostPair
{
protected:
    QTemporaryDir m_root;
    std::unique_ptr<Host> m_a;
    std::unique_ptr<Host> m_b;
    QString m_aOnB;
    QString m_bOnA;

    QString path(const QString &name) const { return m_root.filePath(name); }
    // Makes both hosts (`prepare` may add to them before they start; its options win over
    // the defaults) and pairs them.
    bool startPair(const std::function<void(Host &)> &prepare = {});
    // Shares `dir` of A with B with access `flags`.
    bool share(const QString &dir, int flags);
    // "<verb> <A> <src> <B's own disk> <dstDir>": a copy or move from A's share onto B.
    QString fromA(const QString &verb, const QString &src, const QString &dstDir) const;
};

} // namespace peerhosttest

// A copy and a move of many small files whose link is cut once, next to the same jobs uncut,
// side by side in one run: two nusk-peerhost processes in network namespaces A and B joined
// through a third one that can lose every packet between them (benchutil_netlab.h), at 0 ms
// round trip. Host B pulls from A's share onto its own disk; the cut starts the moment the
// given share of the files has arrived there (watched with inotify) and lasts `cut ms`.
//
//   bench_cutresume [files] [KiB] [runs] [cut ms]   default 10000 files of 4 KiB, 3 runs of
//                                                   each, a cut of 2500 ms
//
// The hosts wait 3 s for a reply and 0.5 s before a retry. What a cut may cost: the uncut job
// and a half, the cut, and the time to notice it (the wait for a reply and the pause before
// the retry); the table gives that limit next to the medians. Needs root, `ip` and
// /dev/net/tun. nusk-peerhost is taken from NUSK_BIN_DIR, else from this program's directory:
// pointed at an older build, it measures that build. Prints a line per run, the table, and
// last "cut/limit <copy 40 %> <copy 99.9 %> <move 40 %> <move 99.9 %>".

#include "../tests/peers/testutil_peerhost.h"
#include "benchutil_netlab.h"
#include "testutil_netns.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QVector>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace benchutil;
using namespace peerhosttest;

namespace {

constexpr int kLongMs = 3600 * 1000;
constexpr int kReplyTimeoutMs = 3000;
constexpr int kRetryMs = 500;

[[noreturn]] void fail(const QString &what, const QStringList &lines = {})
{
    std::fprintf(stderr, "bench_cutresume: %s\n%s\n", qPrintable(what), qPrintable(lines.join(QLatin1Char('\n'))));
    std::exit(1);
}

// Counts the files that take their real name in a folder (made under it or renamed to it;
// hidden names left aside) and cuts the lab's link the moment `threshold` of them have, on a
// thread of its own.
class Arrivals
{
public:
    ~Arrivals() { stop(); }

    bool start(const QString &folder, int threshold, NetLab *lab)
    {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_MOVED_TO | IN_CREATE) < 0)
            return false;
        m_running = true;
        m_thread = std::thread([this, threshold, lab] { run(threshold, lab); });
        return true;
    }

    void stop()
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // When the cut began, in ns of `clock`; -1 before.
    qint64 cutAtNs() const { return m_cutAtNs; }
    void setClock(const QElapsedTimer *clock) { m_clock = clock; }

private:
    void run(int threshold, NetLab *lab)
    {
        alignas(inotify_event) char buffer[64 * 1024];
        int arrived = 0;
        while (m_running && m_cutAtNs < 0) {
            pollfd p {m_fd, POLLIN, 0};
            ::poll(&p, 1, 20);
            for (;;) {
                const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                for (ssize_t at = 0; at < n;) {
                    const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                    if (event->len > 0 && event->name[0] != '.')
                        ++arrived;
                    at += ssize_t(sizeof(inotify_event) + event->len);
                }
            }
            if (arrived >= threshold) {
                lab->cut(true);
                m_cutAtNs = m_clock->nsecsElapsed();
            }
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_running{false};
    std::atomic<qint64> m_cutAtNs{-1};
    const QElapsedTimer *m_clock = nullptr;
    std::thread m_thread;
};

struct Run
{
    double seconds = 0;
    double cutAt = -1; // seconds after the start
    qint64 written = 0;
};

// One job on B (`line`), into `dst`, which already exists; with `cutShare` > 0 the link is cut
// for `cutMs` once that share of `files` has arrived.
Run runOnB(NetLab &lab, Host &b, const QString &line, const QString &dst, int files, double cutShare, int cutMs)
{
    ::sync();
    Arrivals arrivals;
    QElapsedTimer clock;
    arrivals.setClock(&clock);
    if (cutShare > 0 && !arrivals.start(dst, qMax(1, int(files * cutShare)), &lab))
        fail(QStringLiteral("cannot watch ") + dst);
    clock.start();
    b.send(line);
    QStringList out;
    QString status;
    bool restored = false;
    while (status.isEmpty()) {
        if (clock.elapsed() > kLongMs)
            fail(line + QStringLiteral(" never ended"), out);
        const QString text = b.nextLine(5);
        if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error")))
            status = text;
        else if (!text.isNull())
            out << text;
        const qint64 cutAt = arrivals.cutAtNs();
        if (!restored && cutAt >= 0 && clock.nsecsElapsed() - cutAt >= qint64(cutMs) * 1000000) {
            lab.cut(false);
            restored = true;
        }
    }
    Run run;
    run.seconds = clock.nsecsElapsed() / 1e9;
    lab.cut(false);
    if (status != QLatin1String("ok") || out.isEmpty() || out.last() != QLatin1String("state finished"))
        fail(QStringLiteral("%1 did not finish: %2").arg(line, status), out);
    if (cutShare > 0 && arrivals.cutAtNs() < 0)
        fail(QStringLiteral("%1 ended before the cut").arg(line), out);
    run.cutAt = arrivals.cutAtNs() / 1e9;
    run.written = files::countersOf(out).value(QStringLiteral("written"), -1);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int kib = argc > 2 ? std::atoi(argv[2]) : 4;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    const int cutMs = argc > 4 ? std::atoi(argv[4]) : 2500;
    if (files <= 0 || kib <= 0 || runs <= 0 || cutMs <= 0)
        fail(QStringLiteral("usage: bench_cutresume [files] [KiB] [runs] [cut ms]"));
    const QString reason = testutil::Netns::unavailableReason();
    if (!reason.isEmpty())
        fail(reason);
    if (!QFileInfo(hostBinary()).isExecutable())
        fail(QStringLiteral("no ") + hostBinary());

    QTemporaryDir root;
    if (!root.isValid())
        fail(QStringLiteral("no temporary directory"));
    // Static: a failure ends the program through exit(), which still takes the namespaces down.
    static NetLab lab;
    if (!lab.build() || !lab.makeCuttable())
        fail(QStringLiteral("cannot build the network of the benchmark"));
    Host a(root.filePath(QStringLiteral("hostA")), freePort());
    Host b(root.filePath(QStringLiteral("hostB")), freePort());
    a.setNetns(lab.ns(QStringLiteral("A")));
    b.setNetns(lab.ns(QStringLiteral("B")));
    for (Host *host : {&a, &b})
        host->addArguments({QStringLiteral("--fso-timeout-ms=%1").arg(kReplyTimeoutMs),
                            QStringLiteral("--job-retry-ms=%1").arg(kRetryMs)});
    QString aOnB;
    QString bOnA;
    if (!startAndPair(a, b, &aOnB, &bOnA))
        fail(QStringLiteral("cannot pair the hosts"));
    const QString src = root.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    if (!a.ok(QStringLiteral("share %1 %2 7").arg(bOnA, src)))
        fail(QStringLiteral("cannot share the source"));

    const QList<double> cuts = {0, 0.4, 0.999};
    const QStringList verbs = {QStringLiteral("copy"), QStringLiteral("move")};
    // seconds[verb][cut]
    QVector<QVector<QList<double>>> seconds(verbs.size(), QVector<QList<double>>(cuts.size()));
    for (int run = 0; run < runs; ++run) {
        for (int v = 0; v < verbs.size(); ++v) {
            for (int c = 0; c < cuts.size(); ++c) {
                const QString name = QStringLiteral("%1-%2-%3").arg(verbs[v]).arg(c).arg(run);
                const QString from = src + QLatin1Char('/') + name;
                const QString dst = root.filePath(QStringLiteral("dst/") + name);
                if (!writeFiles(from, files, kib) || !QDir().mkpath(dst + QLatin1Char('/') + name))
                    fail(QStringLiteral("cannot write the files"));
                const QString line = QStringList{verbs[v], aOnB, from, kLocal, dst}.join(QLatin1Char(' '));
                const Run r = runOnB(lab, b, line, dst + QLatin1Char('/') + name, files, cuts[c], cutMs);
                const int arrived = QDir(dst + QLatin1Char('/') + name).entryList(QDir::Files).size();
                if (arrived != files || (v == 1 && QFileInfo::exists(from)))
                    fail(QStringLiteral("%1: %2 of %3 files arrived, sources %4").arg(name).arg(arrived).arg(files)
                             .arg(QFileInfo::exists(from) ? QStringLiteral("left") : QStringLiteral("gone")));
                std::printf("run %d: %s, %s: %.2f s%s, %lld bytes written\n", run + 1, qPrintable(verbs[v]),
                            c == 0 ? "uncut" : qPrintable(QStringLiteral("cut at %1 %").arg(cuts[c] * 100)), r.seconds,
                            c == 0 ? "" : qPrintable(QStringLiteral(" (cut %1 s after the start)").arg(r.cutAt, 0, 'f', 2)),
                            (long long)r.written);
                std::fflush(stdout);
                seconds[v][c] << r.seconds;
            }
        }
    }

    std::printf("\n%d files of %d KiB, 0 ms round trip, one cut of %d ms; reply timeout %d ms, retry %d ms; "
                "median of %d runs\n",
                files, kib, cutMs, kReplyTimeoutMs, kRetryMs, runs);
    std::printf("| job | uncut s | cut at 40 %% s | cut at 99.9 %% s | limit s |\n|---|---|---|---|---|\n");
    QStringList ratios;
    for (int v = 0; v < verbs.size(); ++v) {
        const double uncut = median(seconds[v][0]);
        const double limit = uncut * 1.5 + (cutMs + kReplyTimeoutMs + kRetryMs) / 1000.0;
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f |\n", qPrintable(verbs[v]), uncut, median(seconds[v][1]),
                    median(seconds[v][2]), limit);
        for (int c = 1; c < cuts.size(); ++c)
            ratios << QString::number(median(seconds[v][c]) / limit, 'f', 2);
    }
    std::printf("cut/limit %s\n", qPrintable(ratios.join(QLatin1Char(' '))));
    std::fflush(stdout);
    return 0;
}

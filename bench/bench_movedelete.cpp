// A move of many small files next to the copy of the same files, between two nusk-peerhost
// processes in network namespaces A and B that reach each other through a third one, M,
// which routes every packet through a delay line (benchutil_netlab.h): at 0 and 5 ms
// round trip, side by side in one run. Host B pulls from A's share, a copy and a move of an
// identical folder in turn; the move has deleted every source at A when it reports its end.
//
//   bench_movedelete [files] [KiB] [runs]   default 10000 files of 4 KiB, 3 runs of each
//
// Needs root, `ip` and /dev/net/tun. nusk-peerhost is taken from NUSK_BIN_DIR, else from this
// program's directory: pointed at an older build, it measures that build's move. Prints a
// line per run, a table of the medians with the ratio move/copy (the median of the ratios
// of the runs, each move next to the copy before it), and last "move/copy <0 ms> <5 ms>".

#include "../tests/peers/testutil_peerhost.h"
#include "benchutil_netlab.h"
#include "testutil_netns.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

using namespace benchutil;
using namespace peerhosttest;

namespace {

constexpr int kLongMs = 3600 * 1000;

[[noreturn]] void fail(const QString &what, const QStringList &lines = {})
{
    std::fprintf(stderr, "bench_movedelete: %s\n%s\n", qPrintable(what), qPrintable(lines.join(QLatin1Char('\n'))));
    std::exit(1);
}

// Runs one copy or move on B to its end; its time in seconds, and in *deleting (when given)
// the time from the move's first count of deleted sources to its end.
double timeOnB(Host &b, const QString &line, double *deleting = nullptr)
{
    // Like any tool it is compared with, each run starts with nothing left to write back.
    ::sync();
    QElapsedTimer clock;
    clock.start();
    b.send(line);
    QStringList out;
    QString status;
    qint64 deletesFromNs = -1;
    for (QString text = b.nextLine(kLongMs); !text.isNull(); text = b.nextLine(kLongMs)) {
        if (text == QLatin1String("ok") || text.startsWith(QLatin1String("error"))) {
            status = text;
            break;
        }
        if (deletesFromNs < 0 && text.startsWith(QLatin1String("deleting ")))
            deletesFromNs = clock.nsecsElapsed();
        out << text;
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (status != QLatin1String("ok") || out.isEmpty() || out.last() != QLatin1String("state finished"))
        fail(QStringLiteral("%1 did not finish: %2").arg(line, status), out);
    if (deleting)
        *deleting = deletesFromNs < 0 ? 0 : seconds - deletesFromNs / 1e9;
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int kib = argc > 2 ? std::atoi(argv[2]) : 4;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    if (files <= 0 || kib <= 0 || runs <= 0)
        fail(QStringLiteral("usage: bench_movedelete [files] [KiB] [runs]"));
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
    if (!lab.build())
        fail(QStringLiteral("cannot build the network of the benchmark"));
    Host a(root.filePath(QStringLiteral("hostA")), freePort());
    Host b(root.filePath(QStringLiteral("hostB")), freePort());
    a.setNetns(lab.ns(QStringLiteral("A")));
    b.setNetns(lab.ns(QStringLiteral("B")));
    QString aOnB;
    QString bOnA;
    if (!startAndPair(a, b, &aOnB, &bOnA))
        fail(QStringLiteral("cannot pair the hosts"));
    const QString src = root.filePath(QStringLiteral("src"));
    QDir().mkpath(src);
    if (!a.ok(QStringLiteral("share %1 %2 7").arg(bOnA, src)))
        fail(QStringLiteral("cannot share the source"));

    struct Row { int rttMs; double measuredMs; double copy; double move; double ratio; };
    QList<Row> rows;
    for (const int rtt : {0, 5}) {
        if (!lab.setRoundTrip(rtt))
            fail(QStringLiteral("cannot set the round trip"));
        const double measured = lab.roundTripMs(a.port());
        QList<double> copies, moves, ratios;
        for (int run = 0; run < runs; ++run) {
            const QString name = QStringLiteral("rtt%1-run%2").arg(rtt).arg(run);
            const QString copySrc = src + QLatin1Char('/') + name + QStringLiteral("-c");
            const QString moveSrc = src + QLatin1Char('/') + name + QStringLiteral("-m");
            const QString dst = root.filePath(QStringLiteral("dst/") + name);
            if (!writeFiles(copySrc, files, kib) || !writeFiles(moveSrc, files, kib) || !QDir().mkpath(dst))
                fail(QStringLiteral("cannot write the files"));
            const double copy = timeOnB(b, QStringList{"copy", aOnB, copySrc, kLocal, dst}.join(QLatin1Char(' ')));
            double deleting = 0;
            const double move = timeOnB(b, QStringList{"move", aOnB, moveSrc, kLocal, dst}.join(QLatin1Char(' ')), &deleting);
            if (QFileInfo::exists(moveSrc) || QDir(dst + QStringLiteral("/") + QFileInfo(moveSrc).fileName()).entryList(QDir::Files).size() != files)
                fail(QStringLiteral("the move left its sources, or not every file arrived"));
            std::printf("%d ms round trip, run %d: copy %.2f s, move %.2f s (deleting %.2f s)\n", rtt, run + 1, copy, move,
                        deleting);
            std::fflush(stdout);
            copies << copy;
            moves << move;
            ratios << move / copy;
        }
        rows << Row{rtt, measured, median(copies), median(moves), median(ratios)};
    }

    std::printf("\n%d files of %d KiB, median of %d runs\n", files, kib, runs);
    std::printf("| round trip (measured) | copy s | move s | move/copy |\n|---|---|---|---|\n");
    for (const Row &r : rows)
        std::printf("| %d ms (%.2f ms) | %.2f | %.2f | %.2f |\n", r.rttMs, r.measuredMs, r.copy, r.move, r.ratio);
    std::printf("move/copy %.2f %.2f\n", rows.at(0).ratio, rows.at(1).ratio);
    std::fflush(stdout);
    return 0;
}

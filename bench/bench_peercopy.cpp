// Copy jobs between two nusk-peerhost processes on loopback, over the real encrypted channel.
// Host B runs the jobs and pulls from host A's share onto its own disk.
//
//   bench_peercopy [MiB] [files] [KiB]   large file, default 1024 (1 GiB); small files,
//                                        default 10000 of 4 KiB; MiB 0 copies only the
//                                        small files
//
// nusk-peerhost is taken from NUSK_BIN_DIR, else from this program's directory. With
// BENCH_TRACE set, every line host B reports goes to stderr with its time in ms: where a copy
// spends its time (start, files, the flush at the end). Prints copy MB/s next to cp MB/s of
// the same file, the identical re-copy's time and bytes written, the bytes sent again after a
// cut at 50 %, and, last, small files per second. With BENCH_KEEP_FILES set, what it made
// stays under $TMPDIR. BENCH_BEFORE_SMALL is a shell command run just before the small files
// are copied (after they were written), as the caller runs it before other programs' copies.

#include "../tests/peers/testutil_peerhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace peerhosttest;

namespace {

constexpr int kLongMs = 3600 * 1000;

bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QRandomGenerator gen(seed);
    QByteArray piece(8 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += piece.size()) {
        gen.fillRange(reinterpret_cast<quint64 *>(piece.data()), piece.size() / 8);
        const qint64 n = qMin<qint64>(piece.size(), size - done);
        if (file.write(piece.constData(), n) != n)
            return false;
    }
    return true;
}

bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd())
        if (fa.read(8 * 1024 * 1024) != fb.read(8 * 1024 * 1024))
            return false;
    return true;
}

QMap<QString, qint64> countersOf(const QStringList &lines)
{
    QMap<QString, qint64> map;
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("counters ")))
            for (const QString &pair : line.mid(9).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                map.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1).toLongLong());
    return map;
}

[[noreturn]] void fail(const QString &what, const QStringList &lines = {})
{
    std::fprintf(stderr, "bench_peercopy: %s\n%s\n", qPrintable(what), qPrintable(lines.join(QLatin1Char('\n'))));
    std::exit(1);
}

struct Run
{
    QStringList lines;
    qint64 ms = 0;
    qint64 written = 0;
    double cutAt = -1;   // percent copied when the cut took effect
    qint64 afterCutMs = 0;   // from the link's return to the end
};

// One copy on B; "replace-all" answers a question; with `cutPercent` >= 0 A's network goes
// off once that much is copied and on again once the job has noticed.
Run copyOnB(Host &a, Host &b, const QString &line, double cutPercent = -1)
{
    static const QRegularExpression progress(QStringLiteral("^progress (\\w+) ([0-9.]+) ([0-9]+)$"));
    static const bool trace = qEnvironmentVariableIsSet("BENCH_TRACE");
    Run run;
    // Like the tools it is compared with, each copy starts with nothing left to write back.
    ::sync();
    QElapsedTimer clock;
    clock.start();
    b.send(line);
    bool cut = false;
    double lastRunning = 0;
    qint64 restoredAt = -1;
    for (;;) {
        const QString text = b.nextLine(kLongMs);
        if (text.isNull())
            fail(QStringLiteral("host B is gone"), run.lines);
        if (text.startsWith(QLatin1String("error")))
            fail(text, run.lines);
        if (text == QLatin1String("ok")) {
            if (!run.lines.isEmpty() && run.lines.last().startsWith(QLatin1String("question "))) {
                b.send(QStringLiteral("answer replace-all"));
                continue;
            }
            break;
        }
        run.lines << text;
        if (trace)
            std::fprintf(stderr, "%lld %s\n", (long long)clock.elapsed(), qPrintable(text));
        const QRegularExpressionMatch m = progress.match(text);
        if (!m.hasMatch())
            continue;
        const double percent = m.captured(2).toDouble();
        if (m.captured(1) == QLatin1String("running"))
            lastRunning = percent;
        if (cutPercent >= 0 && !cut && m.captured(1) == QLatin1String("running") && percent >= cutPercent) {
            if (!a.ok(QStringLiteral("net off")))
                fail(QStringLiteral("net off refused"));
            cut = true;
        } else if (cut && run.cutAt < 0 && m.captured(1) == QLatin1String("paused")) {
            run.cutAt = lastRunning;
            if (!a.ok(QStringLiteral("net on")))
                fail(QStringLiteral("net on refused"));
            restoredAt = clock.elapsed();
        }
    }
    run.ms = qMax<qint64>(1, clock.elapsed());
    if (restoredAt >= 0)
        run.afterCutMs = run.ms - restoredAt;
    if (run.lines.isEmpty() || run.lines.last() != QLatin1String("state finished"))
        fail(QStringLiteral("the copy did not finish"), run.lines);
    run.written = countersOf(run.lines).value(QStringLiteral("written"), -1);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int files = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int kib = argc > 3 ? std::atoi(argv[3]) : 4;
    if (mib < 0 || files < 0 || kib < 0)
        fail(QStringLiteral("usage: bench_peercopy [MiB] [files] [KiB]"));
    const qint64 size = mib * 1024 * 1024;
    if (!QFileInfo(hostBinary()).isExecutable())
        fail(QStringLiteral("no ") + hostBinary());

    QTemporaryDir root;
    if (!root.isValid())
        fail(QStringLiteral("no temporary directory"));
    // Deleting thousands of files slows the next program that makes files on the same file
    // system (ext4 passes over recently freed inodes): a caller that compares programs one
    // after the other removes them all at its end instead.
    root.setAutoRemove(!qEnvironmentVariableIsSet("BENCH_KEEP_FILES"));
    Host a(root.filePath(QStringLiteral("hostA")), freePort());
    Host b(root.filePath(QStringLiteral("hostB")), freePort());
    // The cut is noticed through the request timeout; a short one and a short retry pause
    // keep the resume from waiting a minute. Frequent reports let the cut land at 50 %.
    for (Host *host : {&a, &b})
        host->addArguments({QStringLiteral("--job-retry-ms=200"), QStringLiteral("--progress-ms=20"),
                            QStringLiteral("--fso-timeout-ms=3000")});
    if (!a.start() || !b.start())
        fail(QStringLiteral("cannot start the hosts"));
    const QString upLocal = QStringLiteral("wait-up ") + kLocal + QStringLiteral(" 10");
    if (!a.ok(upLocal) || !b.ok(upLocal))
        fail(QStringLiteral("the local peers do not come up"));
    QString aOnB;
    QString bOnA;
    if (!pairHosts(a, b, &aOnB, &bOnA))
        fail(QStringLiteral("cannot pair the hosts"));

    const QString src = root.filePath(QStringLiteral("src"));
    const QString big = src + QStringLiteral("/big.bin");
    QDir().mkpath(src);
    if (mib > 0 && !writeRandomFile(big, size, 1))
        fail(QStringLiteral("cannot write ") + big);
    if (!a.ok(QStringLiteral("share %1 %2 5").arg(bOnA, src)))
        fail(QStringLiteral("cannot share the source"));
    auto copyLine = [&](const QString &path, const QString &dstDir) {
        QDir().mkpath(dstDir);
        return QStringLiteral("copy %1 %2 %3 %4").arg(aOnB, path, kLocal, dstDir);
    };

    // The large file, then cp of the same file.
    if (mib > 0) {
        const double mb = double(size) / 1e6;
        const QString dst1 = root.filePath(QStringLiteral("dst1"));
        const Run first = copyOnB(a, b, copyLine(big, dst1));
        if (!sameContent(big, dst1 + QStringLiteral("/big.bin")))
            fail(QStringLiteral("the copy differs from the source"));
        const QString cpDst = root.filePath(QStringLiteral("cp.bin"));
        QElapsedTimer cpClock;
        cpClock.start();
        if (QProcess::execute(QStringLiteral("cp"), {big, cpDst}) != 0)
            fail(QStringLiteral("cp failed"));
        const qint64 cpMs = qMax<qint64>(1, cpClock.elapsed());
        QFile::remove(cpDst);

        // Again onto the identical copy.
        const Run again = copyOnB(a, b, copyLine(big, dst1));

        // A fresh copy whose link is cut at 50 % and restored.
        const QString dst2 = root.filePath(QStringLiteral("dst2"));
        const Run resumed = copyOnB(a, b, copyLine(big, dst2), 50);
        if (resumed.cutAt < 0)
            fail(QStringLiteral("the copy ended before the cut took effect"), resumed.lines);
        if (!sameContent(big, dst2 + QStringLiteral("/big.bin")))
            fail(QStringLiteral("the resumed copy differs from the source"));
        QFile::remove(dst1 + QStringLiteral("/big.bin"));
        QFile::remove(dst2 + QStringLiteral("/big.bin"));
        std::printf("copy %.1f MB in %.2f s\n", mb, first.ms / 1000.0);
        std::printf("cp %.1f MB in %.2f s\n", mb, cpMs / 1000.0);
        std::printf("identical re-copy: %.2f s, %lld bytes written\n", again.ms / 1000.0, (long long)again.written);
        std::printf("resume: cut at %.1f %%, %lld bytes written for %lld, %lld sent again, done %.2f s after the "
                    "link came back\n", resumed.cutAt, (long long)resumed.written, (long long)size,
                    (long long)(resumed.written - size), resumed.afterCutMs / 1000.0);
        std::printf("peercopy %lld MiB: copy %.1f MB/s, cp %.1f MB/s; re-copy %.2f s, %lld bytes written; "
                    "resume after cut at %.0f %%: %lld bytes sent again\n",
                    (long long)mib, mb * 1000.0 / first.ms, mb * 1000.0 / cpMs, again.ms / 1000.0,
                    (long long)again.written, resumed.cutAt, (long long)(resumed.written - size));
    }

    // Many small files in one folder.
    const QString many = src + QStringLiteral("/many");
    QDir().mkpath(many);
    const QByteArray small(kib * 1024, 'x');
    for (int i = 0; i < files; ++i) {
        QFile f(many + QStringLiteral("/f%1").arg(i, 6, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write(small) != small.size())
            fail(QStringLiteral("cannot write the small files"));
    }
    const QString dst3 = root.filePath(QStringLiteral("dst3"));
    const QString beforeSmall = qEnvironmentVariable("BENCH_BEFORE_SMALL");
    if (!beforeSmall.isEmpty() && QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), beforeSmall}) != 0)
        fail(QStringLiteral("BENCH_BEFORE_SMALL failed"));
    const Run smallRun = copyOnB(a, b, copyLine(many, dst3));
    const int arrived = QDir(dst3 + QStringLiteral("/many")).entryList(QDir::Files).size();
    if (arrived != files)
        fail(QStringLiteral("%1 of %2 small files arrived").arg(arrived).arg(files));

    std::printf("%d files of %d KiB in %.2f s\n", files, kib, smallRun.ms / 1000.0);
    std::printf("%d x %d KiB: %.0f files/s\n", files, kib, files * 1000.0 / smallRun.ms);
    std::fflush(stdout);
    return 0;
}

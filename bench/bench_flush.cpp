// What the flush at the end of a copy costs, on the local disk and on a FUSE mount (bindfs
// over a folder of the same disk), two ways side by side in one run: every file system taken
// for one whose syncfs writes out the data (one syncfs per SYNC, what the file server did
// before), and by its type (what it does now: still one syncfs on the local disk, each file
// fsynced on FUSE). Copy jobs between two in-process peers, as bench_copy.
//
//   bench_flush [MiB] [files] [rounds]   default 1024 (1 GiB), 10000 files of 4 KiB, 2 rounds
//
// Each figure is the best of its rounds, the two ways taking turns; the disk is written out
// before each copy so that none pays for the one before. The small files are also copied
// from the mount to the local disk: files opened there to be read are flushed too, as a copy
// that checks what it wrote reads them. Prints, last line: seconds of each way and their
// ratio (now / before), for each destination and kind of copy.

#include "../tests/testutil_fuse.h"
#include "benchutil_copyjob.h"
#include "vfs/server/vfsflushes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

struct Figure
{
    qint64 before = -1; // best ms, every file system trusted
    qint64 now = -1;    // best ms, by type
    void take(bool trustAll, qint64 ms)
    {
        qint64 &best = trustAll ? before : now;
        if (ms >= 0 && (best < 0 || ms < best))
            best = ms;
    }
    QString text() const
    {
        return QStringLiteral("%1 s / %2 s (x%3)")
            .arg(double(before) / 1000.0, 0, 'f', 2)
            .arg(double(now) / 1000.0, 0, 'f', 2)
            .arg(before > 0 ? double(now) / double(before) : 0.0, 0, 'f', 2);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int files = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2;
    if (!testutil::FuseMount::available()) {
        std::printf("no /dev/fuse\n");
        return 1;
    }

    QTemporaryDir tmp;
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString local = tmp.filePath(QStringLiteral("local"));
    const QString backing = tmp.filePath(QStringLiteral("backing"));
    const QString mount = tmp.filePath(QStringLiteral("bindfs"));
    for (const QString &dir : {src, local, backing, mount})
        QDir().mkpath(dir);
    const QString big = src + QStringLiteral("/big");
    {
        QFile f(big);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        const QByteArray chunk = testjobs::pattern(4 * 1024 * 1024, 1);
        for (qint64 left = mib * 1024 * 1024; left > 0; left -= chunk.size())
            f.write(chunk.constData(), qMin<qint64>(left, chunk.size()));
    }
    const QString many = src + QStringLiteral("/many");
    QDir().mkpath(many);
    const QByteArray small = testjobs::pattern(4096, 2);
    for (int i = 0; i < files; ++i)
        testjobs::writeFile(many + QStringLiteral("/f%1").arg(i), small);
    QDir().mkpath(backing + QStringLiteral("/many"));
    for (int i = 0; i < files; ++i)
        testjobs::writeFile(backing + QStringLiteral("/many/f%1").arg(i), small);

    testutil::FuseMount bindfs;
    if (!bindfs.mount(QStringLiteral("bindfs"), {QStringLiteral("-f"), backing, mount}, mount)) {
        std::printf("bindfs did not mount\n");
        return 1;
    }

    TestPeer a(QStringLiteral("{00000000-0000-0000-0000-00000000000a}"));
    TestPeer b(QStringLiteral("{00000000-0000-0000-0000-00000000000b}"));
    for (TestPeer *p : {&a, &b}) {
        p->client()->setRequestTimeout(60000);
        p->client()->setTransferTimeout(120000);
    }

    Figure localBig, localMany, fuseBig, fuseMany, fromFuse;
    int run = 0;
    auto measure = [&](Figure &figure, const QString &destination, const QString &what, int type, bool trustAll) {
        vfsflush::setTrustForTests(trustAll ? vfsflush::Trust::Everywhere : vfsflush::Trust::ByType);
        const QString into = destination + QStringLiteral("/run%1").arg(++run);
        QDir().mkpath(into);
        ::sync();
        const benchutil::CopyRun copy = benchutil::runCopyJob(&a, &b, what, type, into);
        const qint64 ms = copy.finished ? copy.ms : -1;
        std::printf("%-7s %-6s %-6s %8lld ms\n",
                    destination == mount ? "bindfs" : what.startsWith(mount) ? "<bindfs" : "local",
                    type == VfsCopyItem::FileType ? "1 file" : "files", trustAll ? "before" : "now", (long long)ms);
        std::fflush(stdout);
        figure.take(trustAll, ms);
        QDir(into).removeRecursively();
    };
    for (int round = 0; round < rounds; ++round) {
        // The two ways take turns, each starting every other round.
        for (bool trustAll : {round % 2 == 0, round % 2 != 0}) {
            measure(localBig, local, big, VfsCopyItem::FileType, trustAll);
            measure(fuseBig, mount, big, VfsCopyItem::FileType, trustAll);
            measure(localMany, local, many, VfsCopyItem::DirectoryType, trustAll);
            measure(fuseMany, mount, many, VfsCopyItem::DirectoryType, trustAll);
            measure(fromFuse, local, mount + QStringLiteral("/many"), VfsCopyItem::DirectoryType, trustAll);
        }
    }
    vfsflush::setTrustForTests(vfsflush::Trust::ByType);
    bindfs.unmount();

    std::printf("before / now: local %lld MiB %s, local %d files %s, bindfs %lld MiB %s, bindfs %d files %s, "
                "%d files from bindfs %s\n",
                (long long)mib, qPrintable(localBig.text()), files, qPrintable(localMany.text()), (long long)mib,
                qPrintable(fuseBig.text()), files, qPrintable(fuseMany.text()), files, qPrintable(fromFuse.text()));
    return 0;
}

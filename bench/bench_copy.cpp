// Copy job figures between two in-process peers (FSO client, parser and server of each,
// messages handed over on later turns of the event loop), on real files:
//
//   bench_copy [MiB] [files]   file size, default 1024 (1 GiB); small files, default 10000
//
// Prints, last line: copy MB/s, cp MB/s, identical re-copy time and bytes written, bytes
// sent again after a cut at 50 %, files per second for 4 KiB files.

#include "benchutil_copyjob.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

double mbps(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / 1e6 / (double(ms) / 1000.0) : 0.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int files = argc > 2 ? std::atoi(argv[2]) : 10000;
    const qint64 size = mib * 1024 * 1024;

    QTemporaryDir tmp;
    const QString src = tmp.filePath(QStringLiteral("src"));
    const QString dst = tmp.filePath(QStringLiteral("dst"));
    const QString cpDst = tmp.filePath(QStringLiteral("cp"));
    QDir().mkpath(src);
    QDir().mkpath(dst);
    QDir().mkpath(cpDst);
    const QString big = src + QStringLiteral("/big");
    {
        QFile f(big);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        const QByteArray chunk = testjobs::pattern(4 * 1024 * 1024, 1);
        for (qint64 left = size; left > 0; left -= chunk.size())
            f.write(chunk.constData(), qMin<qint64>(left, chunk.size()));
    }

    TestPeer a(QStringLiteral("{00000000-0000-0000-0000-00000000000a}"));
    TestPeer b(QStringLiteral("{00000000-0000-0000-0000-00000000000b}"));

    const benchutil::CopyRun first = benchutil::runCopyJob(&a, &b, big, VfsCopyItem::FileType, dst, false);
    std::printf("copy of %lld MiB: %.1f MB/s (%s)\n", (long long)mib, mbps(size, first.ms),
                first.finished ? "finished" : "FAILED");

    QElapsedTimer cpTimer;
    cpTimer.start();
    QProcess::execute(QStringLiteral("cp"), {big, cpDst + QStringLiteral("/big")});
    const qint64 cpMs = cpTimer.elapsed();
    std::printf("cp: %.1f MB/s\n", mbps(size, cpMs));

    const benchutil::CopyRun again = benchutil::runCopyJob(&a, &b, big, VfsCopyItem::FileType, dst, true);
    std::printf("identical re-copy: %lld ms, %llu bytes written\n", (long long)again.ms,
                (unsigned long long)again.written);

    // A cut at half the file: the link drops every message for 1 s.
    QFile::remove(dst + QStringLiteral("/big"));
    for (TestPeer *p : {&a, &b}) {
        p->client()->setRequestTimeout(500);
        p->client()->setTransferTimeout(500);
    }
    b.resetCounters();
    bool cut = false;
    b.onRequest = [&](const VfsFenuCommand &) {
        if (!cut && b.writtenBytes() >= quint64(size / 2)) {
            cut = true;
            a.setDropping(true);
            b.setDropping(true);
            QTimer::singleShot(1000, [&]() {
                a.setDropping(false);
                b.setDropping(false);
            });
        }
    };
    const benchutil::CopyRun resumed = benchutil::runCopyJob(&a, &b, big, VfsCopyItem::FileType, dst, true);
    b.onRequest = nullptr;
    const qint64 again50 = qint64(b.sentWriteBytes()) - size;
    std::printf("resume after a cut at 50%%: %lld bytes sent again (%s)\n", (long long)again50,
                resumed.finished ? "finished" : "FAILED");

    const QString many = src + QStringLiteral("/many");
    QDir().mkpath(many);
    const QByteArray small = testjobs::pattern(4096, 2);
    for (int i = 0; i < files; ++i)
        testjobs::writeFile(many + QStringLiteral("/f%1").arg(i), small);
    for (TestPeer *p : {&a, &b}) {
        p->client()->setRequestTimeout(15000);
        p->client()->setTransferTimeout(60000);
    }
    const benchutil::CopyRun smallFiles = benchutil::runCopyJob(&a, &b, many, VfsCopyItem::DirectoryType, dst, false);
    const double fps = smallFiles.ms > 0 ? files * 1000.0 / double(smallFiles.ms) : 0.0;
    std::printf("%d files of 4 KiB: %.0f files/s (%s)\n", files, fps, smallFiles.finished ? "finished" : "FAILED");

    std::printf("copy %.1f MB/s, cp %.1f MB/s, re-copy %lld ms %llu bytes written, resume %lld bytes sent again, "
                "%.0f files/s\n",
                mbps(size, first.ms), mbps(size, cpMs), (long long)again.ms, (unsigned long long)again.written,
                (long long)again50, fps);
    return 0;
}

// SYNC on file systems whose syncfs reaches no data (FUSE), and the write-back errors a SYNC
// must report however many SYNCs came before: on a FUSE file system of the tests' own
// (failfs.c), which tells every flush it gets and fails the one of a marked file.

#include "tst_serverharness.h"
#include "../../testutil_fuse.h"

#include "vfs/server/vfsflushes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString failfs()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/nusk_failfs");
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size();
}

} // namespace

class tst_ServerFlush : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_backing;
    QString m_mount;
    std::unique_ptr<testutil::FuseMount> m_fuse;

    // Mounts failfs over a fresh folder; `mark`: what fails (see failfs.c).
    void mountFailfs(const QString &mark)
    {
        static int round = 0;
        ++round;
        m_backing = m_tmp.path() + QStringLiteral("/backing%1").arg(round);
        m_mount = m_tmp.path() + QStringLiteral("/mount%1").arg(round);
        QVERIFY(QDir().mkpath(m_backing) && QDir().mkpath(m_mount));
        m_fuse.reset(new testutil::FuseMount);
        QVERIFY(m_fuse->mount(failfs(), {m_backing, mark, m_mount, QStringLiteral("-f")}, m_mount));
    }

    enum Close { Closed, LeftOpen, ClosedAsItMay };

    // A file written the way a copy writes one: opened for writing, written, closed (where the
    // write-back fails at the close, the close may say so or not).
    static void writeThrough(ServerHarness &h, const QString &path, const QByteArray &data, Close close = Closed)
    {
        const ServerHarness::Opened opened = h.open(path, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(opened.status, FSO_STATUS_SUCCESS);
        for (int at = 0; at < data.size(); at += int(FSO_MAX_DATA))
            QCOMPARE(h.write(opened.handle, std::uint64_t(at), data.mid(at, int(FSO_MAX_DATA)), FSO_WRITE_EXTEND).status,
                     FSO_STATUS_SUCCESS);
        if (close == Closed)
            QCOMPARE(h.close(opened.handle), FSO_STATUS_SUCCESS);
        else if (close == ClosedAsItMay)
            QVERIFY(h.close(opened.handle) != 0xFF);
    }

    static std::uint8_t sync(ServerHarness &h, const QString &folder)
    {
        return h.request(ServerHarness::make(FSO_SYNC, folder)).status;
    }

    // The flushes failfs told of before this moment.
    QByteArray flushesSoFar()
    {
        static int marker = 0;
        const QString name = QStringLiteral("/marker%1").arg(++marker);
        const int fd = ::open(QFile::encodeName(m_mount + name).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::fsync(fd) != 0)
            return QByteArray();
        ::close(fd);
        const QByteArray line = "fsync " + name.toUtf8() + '\n';
        if (!m_fuse->waitForOutput(line))
            return QByteArray();
        const QByteArray all = m_fuse->output();
        return all.left(all.indexOf(line));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!testutil::FuseMount::available())
            QSKIP("no /dev/fuse: FUSE file systems cannot be mounted here");
        QVERIFY(m_tmp.isValid());
    }

    void cleanup()
    {
        vfsflush::setTrustForTests(vfsflush::Trust::ByType);
        m_fuse.reset();
    }

    // Where syncfs reaches no data, the SYNC flushes each file the peer wrote, made, renamed
    // or gave times, each folder it made names in, each file still open for writing, and each
    // file it opened to read (a copy checking what an earlier run wrote), before it answers.
    void syncFlushesEachFileOnFuse()
    {
        mountFailfs(QString());
        QVERIFY(QDir().mkpath(m_backing + QStringLiteral("/out")));
        for (const QString &name : {QStringLiteral("old.bin"), QStringLiteral("got.bin")}) {
            QFile old(m_backing + QStringLiteral("/out/") + name);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(5000, 'o')) == 5000);
        }
        const QString out = m_mount + QStringLiteral("/out");
        {
            ServerHarness h(true);
            QCOMPARE(h.makeDirectory(out + QStringLiteral("/made")).status, FSO_STATUS_SUCCESS);
            writeThrough(h, out + QStringLiteral("/.w1.part"), QByteArray(200000, 'a'));
            QCOMPARE(h.move(out + QStringLiteral("/.w1.part"), out + QStringLiteral("/w1.bin"), FSO_MOVE_SAME_VOLUME),
                     FSO_STATUS_SUCCESS);
            writeThrough(h, out + QStringLiteral("/made/w2.bin"), QByteArray(1000, 'b'), LeftOpen);
            QCOMPARE(h.put(out + QStringLiteral("/p1.txt"), out + QStringLiteral("/.p1.txt.part"), "small", 1700000000000,
                           1700000000000),
                     FSO_STATUS_SUCCESS);
            const ServerHarness::Opened read = h.open(out + QStringLiteral("/old.bin"), FSO_OPEN_READ);
            QCOMPARE(read.status, FSO_STATUS_SUCCESS);
            QCOMPARE(h.close(read.handle), FSO_STATUS_SUCCESS);
            QCOMPARE(h.get(out + QStringLiteral("/got.bin"), 64000).status, FSO_STATUS_END_OF_FILE);
            QCOMPARE(sync(h, out), FSO_STATUS_SUCCESS);
            const QByteArray told = flushesSoFar();
            for (const char *line : {"fsync /out/w1.bin\n", "fsync /out/made/w2.bin\n", "fsync /out/p1.txt\n",
                                     "fsync /out/old.bin\n", "fsync /out/got.bin\n", "fsyncdir /out\n",
                                     "fsyncdir /out/made\n"})
                QVERIFY2(told.contains(line), qPrintable(QStringLiteral("%1 missing in:\n%2").arg(line, QString(told))));

            // Flushed once: the next SYNC flushes only what came since, and the file still
            // open, which may have been written since.
            QCOMPARE(sync(h, out), FSO_STATUS_SUCCESS);
            const QByteArray again = flushesSoFar().mid(told.size());
            QVERIFY2(!again.contains("w1.bin") && !again.contains("old.bin") && again.contains("fsync /out/made/w2.bin\n"),
                     again.constData());
        }
    }

    // A file whose write-back failed fails every SYNC of the peer that covers it, not only the
    // first: two jobs of one computer each ask for a flush, and the one whose file was lost
    // must hear of it whichever asks first. The file gone, its loss no longer counts.
    void writeBackErrorReportedToEverySync()
    {
        mountFailfs(QStringLiteral("fails"));
        ServerHarness h(true);
        writeThrough(h, m_mount + QStringLiteral("/first.txt"), "first");
        QCOMPARE(sync(h, m_mount), FSO_STATUS_SUCCESS);

        writeThrough(h, m_mount + QStringLiteral("/job-a.txt"), "a");
        writeThrough(h, m_mount + QStringLiteral("/job-b.fails"), "b");
        const std::uint16_t syncA = h.post(ServerHarness::make(FSO_SYNC, m_mount));
        const std::uint16_t syncB = h.post(ServerHarness::make(FSO_SYNC, m_mount));
        QCOMPARE(h.take(FSO_SYNC, syncA).status, FSO_STATUS_IO_ERROR);
        QCOMPARE(h.take(FSO_SYNC, syncB).status, FSO_STATUS_IO_ERROR);
        QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);

        // Another computer's files on the same disk arrived whole.
        ServerHarness other(true);
        writeThrough(other, m_mount + QStringLiteral("/other.txt"), "o");
        QCOMPARE(sync(other, m_mount), FSO_STATUS_SUCCESS);

        QCOMPARE(h.remove(m_mount + QStringLiteral("/job-b.fails")), FSO_STATUS_SUCCESS);
        QCOMPARE(sync(h, m_mount), FSO_STATUS_SUCCESS);

        // Found by a flush the peer's many files made early, before any SYNC asked.
        QVERIFY(QDir().mkpath(m_backing + QStringLiteral("/many")));
        for (int i = 0; i < int(VfsFlushes::kFlushEarlyAt) + 20; ++i) {
            const QString name = i == 3 ? QStringLiteral("/many/early.fails") : QStringLiteral("/many/f%1").arg(i);
            const QString hidden = QStringLiteral("/many/.h%1").arg(i);
            QCOMPARE(h.put(m_mount + name, m_mount + hidden, "x"), FSO_STATUS_SUCCESS);
        }
        QCOMPARE(sync(h, m_mount + QStringLiteral("/many")), FSO_STATUS_IO_ERROR);
        QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
    }

    // The kernel's own write-back error (a FUSE file system with its writeback cache), which
    // syncfs reports once to each descriptor opened before it: where syncfs is trusted it is
    // the server's to keep, for as long as it lives; where each file is flushed, the file's.
    void syncfsErrorKeptForEverySync()
    {
        mountFailfs(QStringLiteral("write:fails"));
        vfsflush::setTrustForTests(vfsflush::Trust::Everywhere);
        {
            ServerHarness h(true);
            writeThrough(h, m_mount + QStringLiteral("/lost.fails"), QByteArray(10000, 'l'), ClosedAsItMay);
            QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
            QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
            // Which file it was, syncfs does not say.
            QCOMPARE(h.remove(m_mount + QStringLiteral("/lost.fails")), FSO_STATUS_SUCCESS);
            QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
        }
        {
            // A server that starts knows nothing of earlier writes.
            ServerHarness restarted(true);
            QCOMPARE(sync(restarted, m_mount), FSO_STATUS_SUCCESS);
        }
        vfsflush::setTrustForTests(vfsflush::Trust::ByType);
        ServerHarness h(true);
        writeThrough(h, m_mount + QStringLiteral("/also.fails"), QByteArray(10000, 'a'), ClosedAsItMay);
        QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
        QCOMPARE(sync(h, m_mount), FSO_STATUS_IO_ERROR);
    }

    // What no SYNC asks for (a copy cancelled) is flushed after a while and let go: the disk
    // can then be unmounted, where a kept descriptor would hold it busy.
    void unaskedFlushLetsTheDiskGo()
    {
        mountFailfs(QString());
        ServerHarness h(true);
        h.server->setFlushIdle(200);
        writeThrough(h, m_mount + QStringLiteral("/cancelled.bin"), QByteArray(70000, 'c'));
        QVERIFY(h.put(m_mount + QStringLiteral("/small.txt"), m_mount + QStringLiteral("/.small.part"), "s")
                == FSO_STATUS_SUCCESS);
        QVERIFY(m_fuse->waitForOutput("fsync /cancelled.bin\n"));
        QVERIFY(m_fuse->waitForOutput("fsync /small.txt\n"));
        QVERIFY(ServerHarness::waitUntil([&] { return ::umount2(QFile::encodeName(m_mount).constData(), 0) == 0; }));
    }

    // Descriptors kept for the flushes are bounded: many files written between two SYNCs are
    // flushed early, and the SYNC still covers them all.
    void keptDescriptorsBounded()
    {
        vfsflush::setTrustForTests(vfsflush::Trust::Nowhere);
        const QString dir = m_tmp.path() + QStringLiteral("/bounded");
        QVERIFY(QDir().mkpath(dir));
        ServerHarness h(true);
        const int before = openDescriptors();
        int most = before;
        for (int i = 0; i < 2 * int(VfsFlushes::kMaxKept); ++i) {
            QCOMPARE(h.put(dir + QStringLiteral("/f%1").arg(i), dir + QStringLiteral("/.f%1").arg(i), "data"),
                     FSO_STATUS_SUCCESS);
            most = std::max(most, openDescriptors());
        }
        QVERIFY2(most - before <= int(VfsFlushes::kMaxKept) + 16, qPrintable(QString::number(most - before)));
        QCOMPARE(sync(h, dir), FSO_STATUS_SUCCESS);
        QVERIFY(ServerHarness::waitUntil([&] { return openDescriptors() <= before + 4; }));
    }
};

QTEST_GUILESS_MAIN(tst_ServerFlush)
#include "tst_serverflush.moc"

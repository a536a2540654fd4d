#include "vfs/server/vfswatcher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// A mount table that changes only when a test writes it. The machine's changes whenever any
// program mounts or unmounts something, and each change reads the drives and announces them.
QString ownMountTable()
{
    static const QTemporaryDir dir;
    const QString table = dir.filePath(QStringLiteral("mountinfo"));
    if (!QFileInfo::exists(table))
        writeFile(table, "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    return table;
}

// Timings short enough for tests, and a mount table of the test's own; the drive reads after
// start-up and after a burst are pushed far out unless a test wants them.
VfsWatcherTimings quietTimings()
{
    VfsWatcherTimings t;
    t.checkMs = 3600000;
    t.notifyMs = 20;
    t.startDriveMs = 3600000;
    t.deviceDriveMs = 20;
    t.burstDriveMs = 3600000;
    t.mountPollMs = 3600000;
    t.mountTable = ownMountTable();
    return t;
}

QStringList pathsOf(const std::vector<WatchItem> &items)
{
    QStringList paths;
    for (const WatchItem &w : items)
        paths << w.path;
    return paths;
}

int countOf(const QSignalSpy &spy, const QString &path)
{
    int n = 0;
    for (const QList<QVariant> &args : spy)
        n += args.at(0).toString() == path ? 1 : 0;
    return n;
}

} // namespace

class TstWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkHashFollowsSizeTimeAndName();
    void checkOfMissingDirectory();
    void singleInstance();
    void missingOrDuplicateDirectoryIsIgnored();
    void thirtyFourthEvictsOldest();
    void watchFromAnotherThread();
    void changesAreCoalesced();
    void burstOfFileChangesGivesOneAnnouncementThenDrives();
    void periodicCheckIsSilentFirstAndDropsVanishedDirectory();
    void deviceChangeRereadsDrives();
    void driveCacheFilledAfterStart();
    void mountTablePollingFallback();
    void mountChurnDoesNotPutOffTheDriveRead();
    void busyDirectoryDoesNotHoldBackOthers();
    void watchedDirectoryReplacedByFileOrLink();
    void destroyedWhileWorkIsPending();
    void mountTableNotifierIsQuietAndLeaksNothing();
};

void TstWatcher::checkHashFollowsSizeTimeAndName()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("a.txt"));
    QVERIFY(writeFile(file, "hello"));

    WatchItem item;
    item.path = dir.path();
    const WatchItem first = VfsWatcher::checkDirectory(item);
    QVERIFY(first.exists);
    QVERIFY(first.hash != 0);
    QCOMPARE(first.previousHash, first.hash); // a first check reports nothing
    QVERIFY(first.lastCheck.isValid());

    const WatchItem same = VfsWatcher::checkDirectory(first);
    QCOMPARE(same.previousHash, first.hash);
    QCOMPARE(same.hash, first.hash);

    // Size (the modification time is pinned so only the size differs).
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadWrite));
    const QDateTime mtime = QFileInfo(file).lastModified();
    QVERIFY(f.seek(5) && f.write("!") == 1);
    QVERIFY(f.setFileTime(mtime, QFileDevice::FileModificationTime));
    f.close();
    const WatchItem sized = VfsWatcher::checkDirectory(same);
    QCOMPARE(sized.previousHash, same.hash);
    QVERIFY(sized.hash != same.hash);

    // Modification time alone.
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(mtime.addSecs(-1000), QFileDevice::FileModificationTime));
    f.close();
    const WatchItem timed = VfsWatcher::checkDirectory(sized);
    QVERIFY(timed.hash != sized.hash);

    // Name alone: the directory's own time is pinned too.
    struct stat before;
    QVERIFY(::stat(QFile::encodeName(dir.path()).constData(), &before) == 0);
    QVERIFY(QFile::rename(file, dir.filePath(QStringLiteral("b.txt"))));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(dir.path()).constData(), times, 0) == 0);
    const WatchItem renamed = VfsWatcher::checkDirectory(timed);
    QVERIFY(renamed.hash != timed.hash);

    // A hidden entry counts; a new neighbour changes the parent, not the folder.
    const QString sub = dir.filePath(QStringLiteral("sub"));
    QVERIFY(QDir().mkdir(sub));
    WatchItem inner;
    inner.path = sub;
    inner = VfsWatcher::checkDirectory(inner);
    QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("neighbour"))));
    QCOMPARE(VfsWatcher::checkDirectory(inner).hash, inner.hash);
    QVERIFY(writeFile(sub + QStringLiteral("/.hidden"), "x"));
    QVERIFY(VfsWatcher::checkDirectory(inner).hash != inner.hash);
}

void TstWatcher::checkOfMissingDirectory()
{
    QTemporaryDir dir;
    WatchItem item;
    item.path = dir.filePath(QStringLiteral("gone"));
    item.hash = 1234;
    const WatchItem result = VfsWatcher::checkDirectory(item);
    QVERIFY(!result.exists);
    QCOMPARE(result.hash, quint64(1234));
    QCOMPARE(result.previousHash, quint64(1234));
}

void TstWatcher::singleInstance()
{
    QCOMPARE(VfsWatcher::instance(), nullptr);
    {
        VfsWatcher w(quietTimings());
        QCOMPARE(VfsWatcher::instance(), &w);
    }
    QCOMPARE(VfsWatcher::instance(), nullptr);
}

void TstWatcher::missingOrDuplicateDirectoryIsIgnored()
{
    QTemporaryDir dir;
    VfsWatcher w(quietTimings());
    w.watchDirectory(dir.filePath(QStringLiteral("missing")));
    w.watchDirectory(QString());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), "x"));
    w.watchDirectory(dir.filePath(QStringLiteral("plain"))); // a file is no directory
    QVERIFY(w.watchItems().empty());

    w.watchDirectory(dir.path());
    w.watchDirectory(dir.path());
    QCOMPARE(pathsOf(w.watchItems()), QStringList{dir.path()});
}

void TstWatcher::thirtyFourthEvictsOldest()
{
    QTemporaryDir root;
    QStringList dirs;
    for (int i = 0; i < 34; ++i) {
        const QString p = root.filePath(QString::number(i));
        QVERIFY(QDir().mkdir(p));
        dirs << p;
    }
    VfsWatcher w(quietTimings());
    for (int i = 0; i < 33; ++i)
        w.watchDirectory(dirs[i]);
    QCOMPARE(int(w.watchItems().size()), VfsWatcher::MaxWatchedDirectories);
    QCOMPARE(pathsOf(w.watchItems()), dirs.mid(0, 33));
    w.watchDirectory(dirs[33]);
    QCOMPARE(pathsOf(w.watchItems()), dirs.mid(1, 33));

    // The evicted directory no longer reports; a kept one still does.
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    QVERIFY(writeFile(dirs[0] + QStringLiteral("/f"), "x"));
    QVERIFY(writeFile(dirs[1] + QStringLiteral("/f"), "x"));
    QTRY_COMPARE(countOf(spy, dirs[1]), 1);
    QCOMPARE(countOf(spy, dirs[0]), 0);
}

void TstWatcher::watchFromAnotherThread()
{
    QTemporaryDir dir;
    VfsWatcher w(quietTimings());
    QThread io;
    io.setObjectName(QStringLiteral("ioThread"));
    QObject worker;
    worker.moveToThread(&io);
    io.start();
    const QString path = dir.path();
    QMetaObject::invokeMethod(&worker, [&w, path] {
        w.watchDirectory(path);
        (void)w.copyDriveCache();
    }, Qt::BlockingQueuedConnection);
    io.quit();
    io.wait();
    QTRY_COMPARE(pathsOf(w.watchItems()), QStringList{path});
}

void TstWatcher::changesAreCoalesced()
{
    VfsWatcher w(quietTimings());
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    for (int i = 0; i < 10; ++i)
        w.onDirectoryChanged(QStringLiteral("/a"));
    w.onDirectoryChanged(QStringLiteral("/b"));
    w.onDirectoryChanged(QStringLiteral("/a"));
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("/a"));
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("/b"));
    // Nothing else is pending: a further notify tick emits nothing.
    w.onNotifyTimerFired();
    QCOMPARE(spy.count(), 2);
}

void TstWatcher::burstOfFileChangesGivesOneAnnouncementThenDrives()
{
    QTemporaryDir dir;
    VfsWatcherTimings t = quietTimings();
    t.startDriveMs = 1;
    t.burstDriveMs = 30;
    VfsWatcher w(t);
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    // The first drive read (which would hide the burst's own) is done first.
    QTRY_COMPARE(countOf(spy, QStringLiteral("%drives")), 1);
    spy.clear();
    w.watchDirectory(dir.path());
    // All ten land before the event loop runs again, so they are one burst.
    for (int i = 0; i < 10; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("f%1").arg(i)), "data"));
    QTRY_COMPARE(countOf(spy, QStringLiteral("%drives")), 1);
    QCOMPARE(countOf(spy, dir.path()), 1);
    QCOMPARE(spy.first().at(0).toString(), dir.path());
    QVERIFY(!w.copyDriveCache().empty());
    // "%drives" itself does not schedule another drive read: a loop would announce one every
    // 30 ms.
    QTest::qWait(200);
    QCOMPARE(countOf(spy, dir.path()), 1);
    QCOMPARE(countOf(spy, QStringLiteral("%drives")), 1);
}

void TstWatcher::periodicCheckIsSilentFirstAndDropsVanishedDirectory()
{
    QTemporaryDir root;
    const QString a = root.filePath(QStringLiteral("a"));
    const QString b = root.filePath(QStringLiteral("b"));
    QVERIFY(QDir().mkdir(a) && QDir().mkdir(b));
    QVERIFY(writeFile(a + QStringLiteral("/x"), "x"));

    VfsWatcherTimings t = quietTimings();
    t.checkMs = 5;
    VfsWatcher w(t);
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    w.watchDirectory(a);
    w.watchDirectory(b);
    // Both get their first hash without any announcement.
    QTRY_VERIFY(w.watchItems().size() == 2 && w.watchItems()[0].lastCheck.isValid()
                && w.watchItems()[1].lastCheck.isValid());
    QCOMPARE(spy.count(), 0);

    QVERIFY(QDir(a).removeRecursively());
    QTRY_COMPARE(pathsOf(w.watchItems()), QStringList{b});
    // Making it again and asking for it watches it anew.
    QVERIFY(QDir().mkdir(a));
    w.watchDirectory(a);
    QCOMPARE(pathsOf(w.watchItems()), (QStringList{b, a}));
}

void TstWatcher::deviceChangeRereadsDrives()
{
    VfsWatcher w(quietTimings());
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    Q_EMIT w.drivesChangedInternal();
    Q_EMIT w.drivesChangedInternal();
    QTRY_COMPARE(countOf(spy, QStringLiteral("%drives")), 1);
    QVERIFY(!w.copyDriveCache().empty());
    QCOMPARE(w.copyDriveCache().front().path, QByteArray("/"));
}

void TstWatcher::driveCacheFilledAfterStart()
{
    VfsWatcherTimings t = quietTimings();
    t.startDriveMs = 1;
    VfsWatcher w(t);
    QVERIFY(w.copyDriveCache().empty()); // read on the pool, not in the constructor
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    QTRY_COMPARE(countOf(spy, QStringLiteral("%drives")), 1);
    QCOMPARE(w.copyDriveCache().front().path, QByteArray("/"));
}

void TstWatcher::mountTablePollingFallback()
{
    QTemporaryDir dir;
    const QString table = dir.filePath(QStringLiteral("mounts"));
    QVERIFY(writeFile(table, "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"));
    VfsWatcherTimings t = quietTimings();
    t.mountTable = table; // a plain file gives no change events
    t.mountPollMs = 5;
    VfsWatcher w(t);
    QSignalSpy changes(&w, &VfsWatcher::drivesChangedInternal);
    QTest::qWait(30);
    QCOMPARE(changes.count(), 0);
    QVERIFY(writeFile(table, "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n27 26 8:17 / /mnt rw - vfat /dev/sdb1 rw\n"));
    QTRY_COMPARE(changes.count(), 1);
}

// A mount table that changes again and again (containers starting, namespaces made and
// removed) reads the drives at most the mount delay after its first change, however long the
// changes go on: a delay begun anew at each change would never end.
void TstWatcher::mountChurnDoesNotPutOffTheDriveRead()
{
    QTemporaryDir dir;
    const QString table = dir.filePath(QStringLiteral("mounts"));
    QVERIFY(writeFile(table, "0"));
    VfsWatcherTimings t = quietTimings();
    t.mountTable = table;
    t.mountPollMs = 5;
    t.deviceDriveMs = 100;
    VfsWatcher w(t);
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    QElapsedTimer churning;
    churning.start();
    // The changes go on until the read comes: a delay begun anew at each would keep it off
    // for as long as they last.
    for (int n = 1; churning.elapsed() < testutil::timeoutMs(5000) && countOf(spy, QStringLiteral("%drives")) == 0; ++n) {
        QVERIFY(writeFile(table, QByteArray::number(n)));
        QTest::qWait(10);
    }
    QVERIFY2(countOf(spy, QStringLiteral("%drives")) == 1,
             qPrintable(QStringLiteral("no drive read in %1 ms of changes").arg(churning.elapsed())));
}

void TstWatcher::busyDirectoryDoesNotHoldBackOthers()
{
    VfsWatcherTimings t = quietTimings();
    t.maxNotifyDelayMs = 100;
    VfsWatcher w(t);
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    // A directory notifying more often than the announcement spacing, for good.
    QTimer busy;
    connect(&busy, &QTimer::timeout, &w, [&w] { w.onDirectoryChanged(QStringLiteral("/busy")); });
    busy.start(2);
    w.onDirectoryChanged(QStringLiteral("/quiet"));
    QTRY_COMPARE(countOf(spy, QStringLiteral("/quiet")), 1);
    QTRY_VERIFY(countOf(spy, QStringLiteral("/busy")) >= 1);
    busy.stop();
}

void TstWatcher::watchedDirectoryReplacedByFileOrLink()
{
    QTemporaryDir root;
    const QString a = root.filePath(QStringLiteral("a"));
    const QString b = root.filePath(QStringLiteral("b"));
    const QString elsewhere = root.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkdir(a) && QDir().mkdir(b) && QDir().mkdir(elsewhere));
    VfsWatcherTimings t = quietTimings();
    t.checkMs = 5;
    VfsWatcher w(t);
    QSignalSpy spy(&w, &VfsWatcher::directoryChanged);
    w.watchDirectory(a);
    w.watchDirectory(b);
    QTRY_VERIFY(w.watchItems()[0].lastCheck.isValid() && w.watchItems()[1].lastCheck.isValid());

    // a becomes a file: dropped. b becomes a link to a directory: still a directory there.
    QVERIFY(QDir(a).removeRecursively() && writeFile(a, "now a file"));
    QVERIFY(QDir(b).removeRecursively() && QFile::link(elsewhere, b));
    QTRY_COMPARE(pathsOf(w.watchItems()), QStringList{b});
    QTRY_COMPARE(countOf(spy, b), 1);
    w.watchDirectory(a); // a file now: ignored
    w.watchDirectory(b); // listed again: watched again, once
    QCOMPARE(pathsOf(w.watchItems()), QStringList{b});
}

void TstWatcher::destroyedWhileWorkIsPending()
{
    QTemporaryDir root;
    for (int i = 0; i < 500; ++i)
        QVERIFY(writeFile(root.filePath(QStringLiteral("f%1").arg(i)), "x"));
    VfsWatcherTimings t = quietTimings();
    t.checkMs = 1;
    t.startDriveMs = 0;
    t.notifyMs = 0;
    QThread io;
    io.start();
    QObject worker;
    worker.moveToThread(&io);
    for (int round = 0; round < 20; ++round) {
        auto *w = new VfsWatcher(t);
        w->watchDirectory(root.path());
        QTest::qWait(round % 4); // the check and the drive read are caught at varying points
        w->onDirectoryChanged(QStringLiteral("/x"));
        // A server's request still queued when the watcher goes.
        QMetaObject::invokeMethod(&worker, [w, root = root.path()] { w->watchDirectory(root); },
                                  Qt::BlockingQueuedConnection);
        delete w;
        QCOMPARE(VfsWatcher::instance(), nullptr);
        QCoreApplication::processEvents();
    }
    io.quit();
    io.wait();
    QThreadPool::globalInstance()->waitForDone();
}

void TstWatcher::mountTableNotifierIsQuietAndLeaksNothing()
{
    VfsWatcherTimings t = quietTimings();
    t.mountTable = QStringLiteral("/proc/self/mountinfo");
    const int fdsBefore = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    for (int i = 0; i < 50; ++i)
        VfsWatcher transient(t);
    QCOMPARE(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), fdsBefore);

    // Without a mount change, the open mount table reports nothing (no busy event loop, which
    // would report on every turn). Without mounts of its own, other tests' mounts count here too.
    VfsWatcher w(t);
    QSignalSpy changes(&w, &VfsWatcher::drivesChangedInternal);
    QTest::qWait(100);
    QVERIFY2(changes.count() <= 4, qPrintable(QString::number(changes.count())));
}

int main(int argc, char **argv)
{
    // Tests running alongside make and remove namespaces and mounts, each a change of the mount
    // table: seen from a mount namespace of this process's own, made before any thread, the
    // table changes only when a test here changes it.
    if (::unshare(CLONE_NEWNS) == 0)
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    QCoreApplication app(argc, argv);
    TstWatcher test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_watcher.moc"

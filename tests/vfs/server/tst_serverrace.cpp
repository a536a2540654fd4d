// Folders swapped for links that point out of the share while the server copies, moves or
// trashes below them: nothing outside the share is read, written or trashed. And the owner
// saving a file while a peer deletes the version it copied: the newer version stays, also
// when the server dies in the middle of the delete.

#include "tst_serverharness.h"

#include "vfs/server/setaside.h"
#include "vfs/server/trash.h"
#include "vfs/server/versionguard.h"
#include "vfs/server/versionlinger.h"
#include "vfs/server/vfsserverjobs.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <fcntl.h>
#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QString kShareUuid = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
const QString kOtherUuid = QStringLiteral("{22222222-2222-2222-2222-222222222222}");

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Every regular file below `dir` (links not followed) whose content holds `needle`.
QStringList filesHolding(const QString &dir, const QByteArray &needle)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle))
            found << file.fileName();
    }
    return found;
}

// The version the file at `path` is now; none when it is not there.
versionguard::Version versionOf(const QString &path)
{
    struct stat seen;
    if (::lstat(native(path).constData(), &seen) != 0)
        return {};
    return {std::int64_t(seen.st_ctim.tv_sec) * 1000000000LL + seen.st_ctim.tv_nsec, seen.st_ino};
}

// Every rename from now on whose two names are in one folder fails with ENAMETOOLONG, as on
// a file system with a short name limit; renames between folders go on. This thread only.
bool refuseRenamesWithinOneFolder()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENAMETOOLONG),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

PeerAclDto writableShare(const QString &uuid, const QString &selector)
{
    PeerAclDto acl;
    acl.uuid = uuid;
    acl.name = uuid;
    acl.selector = selector;
    acl.flags = vfsaccess::AclRead | vfsaccess::AclWrite | vfsaccess::AclSubPaths;
    return acl;
}

int entryCount(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size();
}

// Swaps `path` (a folder) for a link to `target` and back, over and over, until stopped.
class Swapper
{
public:
    void start(std::function<QStringList()> paths, const QString &target)
    {
        m_stop = false;
        m_thread = std::thread([this, paths, target] {
            const QByteArray to = native(target);
            while (!m_stop.load()) {
                for (const QString &path : paths()) {
                    const QByteArray p = native(path);
                    const QByteArray aside = p + ".aside";
                    if (::rename(p.constData(), aside.constData()) != 0)
                        continue;
                    if (::symlink(to.constData(), p.constData()) == 0) {
                        std::this_thread::yield();
                        ::unlink(p.constData());
                    }
                    ::rename(aside.constData(), p.constData());
                }
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    ~Swapper() { stop(); }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A file system of its own for the destination: a tmpfs the test mounts, else /dev/shm
// when it is one; empty when neither is at hand.
QString otherFileSystem(const QString &near, QTemporaryDir &mountDir, bool *mounted)
{
    *mounted = false;
    struct stat a, b;
    if (::mount("nusk-race", native(mountDir.path()).constData(), "tmpfs", 0, "size=64m") == 0) {
        *mounted = true;
        return mountDir.path();
    }
    if (::stat(native(near).constData(), &a) == 0 && ::stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev
        && ::access("/dev/shm", W_OK) == 0)
        return QStringLiteral("/dev/shm");
    return QString();
}

// Saves a new version of `path` once per round(), on its own thread, so it races whatever
// the caller does meanwhile: the way many editors do (a temporary name renamed over it), or
// in place, as the shell's `>` does (the file itself emptied and written again).
class Saver
{
public:
    enum Way { ByRename, InPlace };
    Saver(const QString &path, Way way) : m_path(native(path)), m_temp(native(path + ".saving"))
    {
        m_thread = std::thread([this, way] {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (int done = 0;; m_changed.notify_all()) {
                m_changed.wait(lock, [&] { return m_stop || m_asked > done; });
                if (m_stop)
                    return;
                lock.unlock();
                const QByteArray content = "new " + QByteArray::number(++done);
                const QByteArray &target = way == InPlace ? m_path : m_temp;
                const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) {
                    (void)!::write(fd, content.constData(), std::size_t(content.size()));
                    ::close(fd);
                    if (way == ByRename)
                        ::rename(m_temp.constData(), m_path.constData());
                }
                lock.lock();
                m_saved = done;
            }
        });
    }
    ~Saver()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    // Starts the next save; wait() returns once it is on disk.
    void round()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_asked;
        }
        m_changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_saved == m_asked; });
    }

private:
    QByteArray m_path, m_temp;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_asked = 0, m_saved = 0;
    bool m_stop = false;
    std::thread m_thread;
};

// A temporary folder, the home of the trash (XDG_DATA_HOME is its "data") while it lives.
class TrashHome
{
public:
    TrashHome() : m_old(qgetenv("XDG_DATA_HOME"))
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
    }
    ~TrashHome() { qputenv("XDG_DATA_HOME", m_old); }
    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};

VfsFenuCommand versionedDelete(const QString &path, const struct stat &seen, std::uint32_t flags)
{
    VfsFenuCommand cmd = ServerHarness::make(FSO_DELETE_FILE, path, flags);
    cmd.expectChangeNs = std::int64_t(seen.st_ctim.tv_sec) * 1000000000LL + seen.st_ctim.tv_nsec;
    cmd.expectInode = seen.st_ino;
    return cmd;
}

} // namespace

class TestServerRace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The copy that a move across file systems makes, driven directly so it runs on any
    // machine: 1,000 moves of a small tree while its folders and those of the copy being
    // made are swapped for links out of the tree.
    void moveAcrossWalksByDescriptor()
    {
        // On a tmpfs where there is one: the copy flushes every file, which a disk makes slow.
        QTemporaryDir dir(::access("/dev/shm", W_OK) == 0 ? QStringLiteral("/dev/shm/tst_serverrace-XXXXXX")
                                                           : QDir::tempPath() + "/tst_serverrace-XXXXXX");
        QVERIFY(dir.isValid());
        const QString src = dir.path() + "/src", dst = dir.path() + "/dst";
        const QString secret = dir.path() + "/outside", plant = dir.path() + "/plant";
        QVERIFY(writeFile(secret + "/s/s/secret.txt", "SECRET"));
        QVERIFY(QDir().mkpath(plant + "/s") && QDir().mkpath(dst));
        QString current;
        std::mutex currentMutex;
        Swapper swapper;
        swapper.start([&] {
            std::lock_guard<std::mutex> lock(currentMutex);
            QStringList paths{current + "/a", current + "/a/b"};
            for (const QString &temp : QDir(dst).entryList({".nusk-move-*"}, QDir::Dirs | QDir::Hidden))
                paths << dst + "/" + temp + "/a";
            return paths;
        }, secret + "/s");

        int moved = 0;
        for (int i = 0; i < 1000; ++i) {
            const QString name = QStringLiteral("t%1").arg(i);
            QVERIFY(writeFile(src + "/" + name + "/a/b/f.txt", "data"));
            QVERIFY(writeFile(src + "/" + name + "/a/g.txt", "more"));
            {
                std::lock_guard<std::mutex> lock(currentMutex);
                current = src + "/" + name;
            }
            const int from = ::open(native(src).constData(), O_RDONLY | O_DIRECTORY);
            const int to = ::open(native(dst).constData(), O_RDONLY | O_DIRECTORY);
            if (vfsserverfs::moveAcross(from, native(name), to, native(name), native(src + "/" + name), nullptr) == 0)
                ++moved;
            ::close(from);
            ::close(to);
        }
        swapper.stop();
        QVERIFY(moved > 0);
        QCOMPARE(filesHolding(dst, "SECRET"), QStringList());
        QCOMPARE(filesHolding(src, "SECRET"), QStringList());
        QCOMPARE(entryCount(plant + "/s"), 0);
        QCOMPARE(entryCount(secret + "/s"), 1);
        QCOMPARE(entryCount(secret + "/s/s"), 1);
    }

    // The same through the server between two real file systems, and moves to the trash
    // while the folder above the item is swapped.
    void serverMoveAcrossFileSystems()
    {
        QTemporaryDir dir, mountDir;
        QVERIFY(dir.isValid() && mountDir.isValid());
        bool mounted = false;
        const QString otherRoot = otherFileSystem(dir.path(), mountDir, &mounted);
        qInfo("second file system: %s", mounted ? "a tmpfs mounted by the test" : qPrintable(otherRoot));
        if (otherRoot.isEmpty())
            QSKIP("no second file system: neither a tmpfs could be mounted nor /dev/shm is one");
        QTemporaryDir other(otherRoot + "/tst_serverrace-XXXXXX");
        QVERIFY(other.isValid());
        const QString src = dir.path() + "/share", dst = other.path() + "/share";
        const QString secret = dir.path() + "/outside";
        QVERIFY(writeFile(secret + "/s/secret.txt", "SECRET"));
        QVERIFY(QDir().mkpath(src) && QDir().mkpath(dst));

        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, src), writableShare(kOtherUuid, dst)});

        QString current;
        std::mutex currentMutex;
        Swapper swapper;
        swapper.start([&] {
            std::lock_guard<std::mutex> lock(currentMutex);
            return QStringList{current + "/a", current + "/a/b"};
        }, secret);
        for (int i = 0; i < 300; ++i) {
            const QString name = QStringLiteral("t%1").arg(i);
            QVERIFY(writeFile(src + "/" + name + "/a/b/f.txt", "data"));
            {
                std::lock_guard<std::mutex> lock(currentMutex);
                current = src + "/" + name;
            }
            const std::uint8_t status = h.move(src + "/" + name, dst + "/" + name);
            QVERIFY(status == 0 || status == 1);
        }
        swapper.stop();
        QCOMPARE(filesHolding(dst, "SECRET"), QStringList());
        QCOMPARE(entryCount(secret + "/s"), 1);
        if (mounted)
            ::umount2(QFile::encodeName(mountDir.path()).constData(), MNT_DETACH);
    }

    // A folder moved across file systems by a peer that does not ask to stay on one (an older
    // or a hand-made one) leaves behind what a delete holds aside in it, as a copy does; what
    // one left aside goes along under its own name, and an entry a peer named in that shape
    // goes along as it is. The folder stays at the source with the entry held aside, which its
    // delete may yet give back (a newer version saved meanwhile), and the answer says that not
    // everything was moved.
    void serverMoveAcrossLeavesAsideEntriesOut()
    {
        QTemporaryDir dir, mountDir;
        QVERIFY(dir.isValid() && mountDir.isValid());
        bool mounted = false;
        const QString otherRoot = otherFileSystem(dir.path(), mountDir, &mounted);
        if (otherRoot.isEmpty())
            QSKIP("no second file system: neither a tmpfs could be mounted nor /dev/shm is one");
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(QFile::encodeName(mountDir.path()).constData(), MNT_DETACH);
        });
        QTemporaryDir other(otherRoot + "/tst_serverrace-XXXXXX");
        QVERIFY(other.isValid());
        const QString src = dir.path() + "/share", dst = other.path() + "/share", folder = src + "/folder";
        const QString planted = ".nusk-deleting-0123456789abcdef-p.txt";
        QVERIFY(writeFile(folder + "/keep.txt", "keep"));
        QVERIFY(writeFile(folder + "/doc.txt", "being deleted"));
        QVERIFY(writeFile(folder + "/old.txt", "left aside"));
        QVERIFY(writeFile(folder + "/" + planted, "a peer's"));
        QVERIFY(QDir().mkpath(dst));
        const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const auto closeFolder = qScopeGuard([fd] { ::close(fd); });
        {
            setaside::SetAside left;
            QVERIFY(left.take(fd, "old.txt"));
        }
        setaside::SetAside held;
        QVERIFY(held.take(fd, "doc.txt"));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, src), writableShare(kOtherUuid, dst)});

        QCOMPARE(h.move(folder, dst + "/folder"), std::uint8_t(FSO_STATUS_IO_ERROR));
        QCOMPARE(QDir(dst + "/folder").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 (QStringList{planted, "keep.txt", "old.txt"}));
        QFile moved(dst + "/folder/old.txt");
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), QByteArray("left aside"));
        QCOMPARE(entryCount(folder), 1);
        QCOMPARE(held.putBack(), QByteArray("doc.txt"));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"doc.txt"});
    }

    // A move across file systems by a peer that does not ask to stay on one races a program
    // writing into the tree it copies: a file grown after its copy, one rewritten in place
    // with its size and time put back, a file added to a folder already read; a file moved on
    // its own that grows after its copy. What was copied, as it was copied, goes from the
    // source; the rest stays there, and the answer says that not everything was moved (a
    // status an older peer knows as a failed move). Driven directly on one file system, and
    // through the server between two.
    void moveAcrossLeavesWhatChangedAfterItsCopy_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("direct") << false;
        QTest::newRow("server") << true;
    }

    void moveAcrossLeavesWhatChangedAfterItsCopy()
    {
        QFETCH(bool, server);
        QTemporaryDir dir, mountDir;
        QVERIFY(dir.isValid() && mountDir.isValid());
        bool mounted = false;
        const QString otherRoot = server ? otherFileSystem(dir.path(), mountDir, &mounted) : dir.path();
        if (otherRoot.isEmpty())
            QSKIP("no second file system: neither a tmpfs could be mounted nor /dev/shm is one");
        const auto unmount = qScopeGuard([&] {
            vfsserverfs::setCopyAcrossHookForTests(nullptr);
            if (mounted)
                ::umount2(QFile::encodeName(mountDir.path()).constData(), MNT_DETACH);
        });
        QTemporaryDir other(otherRoot + "/tst_serverrace-XXXXXX");
        QVERIFY(other.isValid());
        const QString src = dir.path() + "/share", dst = other.path() + "/share", tree = src + "/tree";
        QVERIFY(writeFile(tree + "/grown.txt", "copied"));
        QVERIFY(writeFile(tree + "/rewritten.txt", "copied"));
        QVERIFY(writeFile(tree + "/same.txt", "copied"));
        QVERIFY(writeFile(tree + "/sub/same.txt", "copied"));
        QVERIFY(writeFile(src + "/single.txt", "copied"));
        QVERIFY(QDir().mkpath(dst));
        struct stat before;
        QCOMPARE(::stat(native(tree + "/rewritten.txt").constData(), &before), 0);
        vfsserverfs::setCopyAcrossHookForTests([&](const QByteArray &name) {
            const QString folder = name == "single.txt" ? src : tree;
            if (name == "grown.txt" || name == "single.txt") {
                QFile file(folder + "/" + QString::fromUtf8(name));
                if (file.open(QIODevice::Append))
                    file.write(" and grown");
            } else if (name == "rewritten.txt") {
                // Until the change time moves: a rewrite within the clock's tick would not show.
                struct stat now = before;
                while (now.st_ctim.tv_sec == before.st_ctim.tv_sec && now.st_ctim.tv_nsec == before.st_ctim.tv_nsec) {
                    const int fd = ::open(native(tree + "/rewritten.txt").constData(), O_WRONLY);
                    (void)!::pwrite(fd, "edited", 6, 0);
                    const timespec times[2] = {before.st_atim, before.st_mtim};
                    ::futimens(fd, times);
                    ::fstat(fd, &now);
                    ::close(fd);
                }
                writeFile(tree + "/added.txt", "new");
            }
        });
        auto move = [&](const QString &from, const QString &to) -> std::uint8_t {
            if (server) {
                ServerHarness h(false);
                h.server->setAcl({writableShare(kShareUuid, src), writableShare(kOtherUuid, dst)});
                return h.move(from, to);
            }
            QByteArray fromName, toName;
            const int fromDir = vfsaccess::openParentDirectory(from, &fromName);
            const int toDir = vfsaccess::openParentDirectory(to, &toName);
            const std::uint8_t status = vfsserverfs::moveAcross(fromDir, fromName, toDir, toName, native(from), nullptr);
            ::close(fromDir);
            ::close(toDir);
            return status;
        };
        QCOMPARE(move(tree, dst + "/tree"), std::uint8_t(FSO_STATUS_IO_ERROR));
        QCOMPARE(move(src + "/single.txt", dst + "/single.txt"), std::uint8_t(FSO_STATUS_IO_ERROR));
        auto read = [](const QString &path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
        };
        // The copies are whole, as they were read.
        for (const QString &name : QStringList{"grown.txt", "rewritten.txt", "same.txt", "sub/same.txt"})
            QCOMPARE(read(dst + "/tree/" + name), QByteArray("copied"));
        QCOMPARE(read(dst + "/single.txt"), QByteArray("copied"));
        // At the source: what changed after its copy, and what came later.
        QCOMPARE(QDir(tree).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 (QStringList{"added.txt", "grown.txt", "rewritten.txt"}));
        QCOMPARE(read(tree + "/grown.txt"), QByteArray("copied and grown"));
        QCOMPARE(read(tree + "/rewritten.txt"), QByteArray("edited"));
        QCOMPARE(read(tree + "/added.txt"), QByteArray("new"));
        QCOMPARE(read(src + "/single.txt"), QByteArray("copied and grown"));
    }

    // Many deletes out at once, of files and folders, for good and to the trash, while the
    // folder above them is swapped for a link out of the share over and over: each is checked
    // as it runs on the pool, by the folder it opened, and nothing outside is taken.
    void deletesCheckedAsTheyRun()
    {
        TrashHome dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", outside = dir.path() + "/outside";
        constexpr int kItems = 150;
        for (int i = 0; i < kItems; ++i) {
            QVERIFY(writeFile(share + QStringLiteral("/a/f%1").arg(i), "mine"));
            QVERIFY(writeFile(share + QStringLiteral("/a/d%1/x").arg(i), "mine"));
            QVERIFY(writeFile(outside + QStringLiteral("/f%1").arg(i), "SECRET"));
            QVERIFY(writeFile(outside + QStringLiteral("/d%1/x").arg(i), "SECRET"));
        }
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        std::vector<std::uint16_t> trIds;
        int deleted = 0, kept = 0;
        {
            Swapper swapper;
            swapper.start([&] { return QStringList{share + "/a"}; }, outside);
            for (int i = 0; i < kItems; ++i) {
                const std::uint32_t flags = i % 2 ? FSO_DELETE_TO_TRASH : FSO_DELETE_PERMANENT;
                trIds.push_back(h.post(ServerHarness::make(FSO_DELETE_FILE, share + QStringLiteral("/a/f%1").arg(i), flags)));
                trIds.push_back(h.post(ServerHarness::make(FSO_DELETE_FILE, share + QStringLiteral("/a/d%1").arg(i), flags)));
            }
            for (const std::uint16_t trId : trIds) {
                const std::uint8_t status = h.take(FSO_DELETE_FILE, trId).status;
                QVERIFY(status != 0xFF);
                (status == 0 ? deleted : kept)++;
            }
        }
        qInfo("%d deleted, %d kept", deleted, kept);
        QCOMPARE(filesHolding(outside, "SECRET").size(), 2 * kItems);
        QCOMPARE(filesHolding(dir.path() + "/data", "SECRET"), QStringList());
        QCOMPARE(h.undecodable, 0);
    }

    // A sparse file stays sparse when a move copies it: 1 GiB with two small islands of
    // data takes a few blocks at the destination, not a gigabyte of zeros.
    void moveAcrossKeepsHoles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir().mkpath(dir.path() + "/to"));
        const QByteArray file = native(dir.path() + "/sparse");
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::pwrite(fd, "head", 4, 0), ssize_t(4));
        QCOMPARE(::pwrite(fd, "tail", 4, (1LL << 30) - 4), ssize_t(4));
        ::close(fd);
        const int from = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY);
        const int to = ::open(native(dir.path() + "/to").constData(), O_RDONLY | O_DIRECTORY);
        QCOMPARE(vfsserverfs::moveAcross(from, "sparse", to, "sparse", file, nullptr), std::uint8_t(0));
        ::close(from);
        ::close(to);
        struct stat st;
        QCOMPARE(::stat(native(dir.path() + "/to/sparse").constData(), &st), 0);
        QCOMPARE(qint64(st.st_size), qint64(1) << 30);
        QVERIFY2(qint64(st.st_blocks) * 512 < 1024 * 1024, qPrintable(QString::number(st.st_blocks)));
        QFile copy(dir.path() + "/to/sparse");
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.read(4), QByteArray("head"));
        QVERIFY(copy.seek((1LL << 30) - 4));
        QCOMPARE(copy.read(4), QByteArray("tail"));
    }

    void trashGoesByDescriptor()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + "/data"));
        const QString share = dir.path() + "/share", outside = dir.path() + "/outside";
        QVERIFY(writeFile(share + "/folder/item.txt", "mine"));
        QVERIFY(writeFile(outside + "/item.txt", "not yours"));
        QByteArray name;
        const int parent = vfsaccess::openParentDirectory(share + "/folder/item.txt", &name);
        QVERIFY(parent >= 0);
        // The checked folder's path now leads outside.
        QVERIFY(QDir().rename(share + "/folder", share + "/moved"));
        QVERIFY(QFile::link(outside, share + "/folder"));
        QString trashedAs;
        QVERIFY(trash::moveToTrashAt(parent, name, &trashedAs));
        ::close(parent);
        QVERIFY(QFileInfo::exists(outside + "/item.txt"));
        QVERIFY(!QFileInfo::exists(share + "/moved/item.txt"));
        QFile trashed(trashedAs);
        QVERIFY(trashed.open(QIODevice::ReadOnly));
        QCOMPARE(trashed.readAll(), QByteArray("mine"));
    }

    // A peer deletes the version of a file it copied (by unlink, and to the trash) while the
    // owner saves a newer one, over it or into it: 1,500 rounds each, and never is the newer
    // one taken.
    void versionedDeleteKeepsNewerVersion_data()
    {
        QTest::addColumn<std::uint32_t>("flags");
        QTest::addColumn<int>("way");
        QTest::newRow("unlink, saved by rename") << std::uint32_t(0) << int(Saver::ByRename);
        QTest::newRow("trash, saved by rename") << FSO_DELETE_TO_TRASH << int(Saver::ByRename);
        QTest::newRow("unlink, saved in place") << std::uint32_t(0) << int(Saver::InPlace);
        QTest::newRow("trash, saved in place") << FSO_DELETE_TO_TRASH << int(Saver::InPlace);
    }
    void versionedDeleteKeepsNewerVersion()
    {
        QFETCH(std::uint32_t, flags);
        QFETCH(int, way);
        TrashHome dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt";
        QVERIFY(QDir().mkpath(share));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        // As the program has it: a save that reached the file by its name before the unlink
        // and writes it after is seen by the file's lingering watch, and named again once the
        // saver let go of it.
        versionguard::LingeringFiles lingering;

        int lost = 0, deleted = 0, changed = 0;
        {
            Saver saver(file, Saver::Way(way));
            for (int round = 0; round < 1500; ++round) {
                QVERIFY(writeFile(file, "old"));
                struct stat seen;
                QCOMPARE(::lstat(native(file).constData(), &seen), 0);
                saver.round();
                const std::uint8_t status = h.request(versionedDelete(file, seen, flags)).status;
                saver.wait();
                lingering.letGoOfAll();
                QVERIFY2(status == 0 || status == FSO_STATUS_CHANGED, qPrintable(QString::number(status)));
                (status == 0 ? deleted : changed)++;
                QFile kept(file);
                if (!kept.open(QIODevice::ReadOnly) || !kept.readAll().startsWith("new"))
                    ++lost;
            }
        }
        const int trashed = int(filesHolding(dir.path() + "/data", "new").size());
        qInfo("%d deleted, %d found changed, %d newer versions lost, %d in the trash", deleted, changed, lost, trashed);
        QCOMPARE(lost, 0);
        QCOMPARE(trashed, 0);
        // Nothing is left under a name of its own beside the file.
        QCOMPARE(QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"doc.txt"});
    }

    // A move deletes a folder's files, each in the version it copied, then the folder alone:
    // the files that linger in it meanwhile do not keep it, and what one was written since is
    // there again and keeps it, as the delete of a folder that is not empty. A listing shows
    // neither aside.
    void folderOfLingeringFilesGoes()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share";
        for (const char *folder : {"/moved", "/saved"}) {
            for (int i = 0; i < 3; ++i)
                QVERIFY(writeFile(share + folder + QStringLiteral("/f%1").arg(i), "old"));
        }
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        versionguard::LingeringFiles lingering({std::chrono::milliseconds(testutil::timeoutMs(60000)), 64});
        const QByteArray saved = native(share + "/saved/f1");
        const int reached = ::open(saved.constData(), O_PATH | O_CLOEXEC);
        QVERIFY(reached >= 0);
        for (const char *folder : {"/moved", "/saved"}) {
            for (int i = 0; i < 3; ++i) {
                const QString file = share + folder + QStringLiteral("/f%1").arg(i);
                struct stat seen;
                QCOMPARE(::lstat(native(file).constData(), &seen), 0);
                QCOMPARE(h.request(versionedDelete(file, seen, FSO_DELETE_PERMANENT)).status, std::uint8_t(0));
            }
        }
        QCOMPARE(lingering.count(), 6);
        QVERIFY(h.list(share + "/moved", FSO_LISTDIR_HIDDEN).entries.empty());
        // Saved again, by a program that found it by its name before.
        const int writer = ::open(("/proc/self/fd/" + QByteArray::number(reached)).constData(), O_WRONLY | O_CLOEXEC);
        QVERIFY(writer >= 0 && ::pwrite(writer, "new", 3, 0) == 3 && ::close(writer) == 0);
        ::close(reached);
        QTRY_VERIFY(QFileInfo::exists(share + "/saved/f1"));

        const std::uint32_t onlyEmpty = FSO_DELETE_PERMANENT | FSO_DELETE_ONLY_EMPTY;
        QCOMPARE(h.remove(share + "/moved", onlyEmpty), std::uint8_t(0));
        QCOMPARE(h.remove(share + "/saved", onlyEmpty), std::uint8_t(FSO_STATUS_IO_ERROR));
        QVERIFY(!QFileInfo::exists(share + "/moved"));
        QCOMPARE(QDir(share + "/saved").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"f1"});
        QFile back(share + "/saved/f1");
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), QByteArray("new"));
        QCOMPARE(lingering.count(), 0);
    }

    // A version put back finds its name taken by a still newer one: it is kept beside it under
    // a numbered name, never dropped and never in place of the newer one.
    void putBackKeepsBothVersions()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(writeFile(dir.path() + "/.aside", "middle"));
        QVERIFY(writeFile(dir.path() + "/report.txt", "newest"));
        QVERIFY(writeFile(dir.path() + "/report.2.txt", "someone else's"));
        const int fd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        QCOMPARE(setaside::putBack(fd, ".aside", fd, "report.txt"), QByteArray("report.3.txt"));
        ::close(fd);
        QFile newest(dir.path() + "/report.txt"), middle(dir.path() + "/report.3.txt");
        QVERIFY(newest.open(QIODevice::ReadOnly) && middle.open(QIODevice::ReadOnly));
        QCOMPARE(newest.readAll(), QByteArray("newest"));
        QCOMPARE(middle.readAll(), QByteArray("middle"));
        QVERIFY(!QFileInfo::exists(dir.path() + "/.aside"));
    }

    // A program that has the file open for writing when a peer deletes the version it copied,
    // or opens it while the delete runs, keeps the file, and the delete answers that it
    // changed: the writer may not have written a byte yet.
    void versionedDeleteLeavesFileToItsWriter_data()
    {
        QTest::addColumn<std::uint32_t>("flags");
        QTest::newRow("unlink") << std::uint32_t(0);
        QTest::newRow("trash") << FSO_DELETE_TO_TRASH;
    }
    void versionedDeleteLeavesFileToItsWriter()
    {
        QFETCH(std::uint32_t, flags);
        TrashHome dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt";
        QVERIFY(writeFile(file, "old"));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        auto readBack = [&] {
            QFile kept(file);
            return kept.open(QIODevice::ReadOnly) ? kept.readAll() : QByteArray();
        };

        struct stat seen;
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        const int writer = ::open(native(file).constData(), O_WRONLY);
        QVERIFY(writer >= 0);
        QCOMPARE(h.request(versionedDelete(file, seen, flags)).status, std::uint8_t(FSO_STATUS_CHANGED));
        QCOMPARE(::pwrite(writer, "new", 3, 0), ssize_t(3));
        ::close(writer);
        QCOMPARE(readBack(), QByteArray("new"));

        // Opened once the name is out of the way, by a program that looked it up before.
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        int late = -1, lateError = 0;
        setaside::setStepHookForTests([&](setaside::Step at) {
            if (at != setaside::Step::MovedAside)
                return;
            for (const QString &aside : QDir(share).entryList({".nusk-deleting-*"}, QDir::Files | QDir::Hidden)) {
                // Without O_NONBLOCK this thread would wait for its own lease to be let go.
                late = ::open(native(share + "/" + aside).constData(), O_WRONLY | O_NONBLOCK);
                lateError = errno;
            }
        });
        const std::uint8_t status = h.request(versionedDelete(file, seen, flags)).status;
        setaside::setStepHookForTests(nullptr);
        if (flags == 0) {
            QCOMPARE(late, -1);
            QCOMPARE(lateError, EWOULDBLOCK);
            QCOMPARE(status, std::uint8_t(FSO_STATUS_CHANGED));
            QCOMPARE(readBack(), QByteArray("new"));
        } else {
            QCOMPARE(status, std::uint8_t(FSO_STATUS_SUCCESS)); // the trash sets nothing aside
        }
        QCOMPARE(QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 flags == 0 ? QStringList{"doc.txt"} : QStringList());
    }

    // On a network share or a FUSE mount the kernel refuses every lease with the answer a local
    // writer gives: a file open for writing stands in for such a refusal here. The delete goes
    // by the file's size and times there, and takes the unchanged version it was asked for.
    void versionedDeleteWithoutLeasesOnNetworkFileSystems_data()
    {
        QTest::addColumn<long>("type");
        QTest::addColumn<std::uint32_t>("flags");
        QTest::newRow("NFS, unlink") << 0x6969L << std::uint32_t(0);
        QTest::newRow("SMB2, unlink") << 0xFE534D42L << std::uint32_t(0);
        QTest::newRow("CIFS, trash") << 0xFF534D42L << FSO_DELETE_TO_TRASH;
        QTest::newRow("FUSE, unlink") << 0x65735546L << std::uint32_t(0);
        QTest::newRow("FUSE, trash") << 0x65735546L << FSO_DELETE_TO_TRASH;
    }
    void versionedDeleteWithoutLeasesOnNetworkFileSystems()
    {
        QFETCH(long, type);
        QFETCH(std::uint32_t, flags);
        TrashHome dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt";
        QVERIFY(writeFile(file, "old"));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        versionguard::setFileSystemTypeForTests(type);
        const auto realType = qScopeGuard([] { versionguard::setFileSystemTypeForTests(0); });

        struct stat seen;
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        const int writer = ::open(native(file).constData(), O_WRONLY);
        QVERIFY(writer >= 0);
        QCOMPARE(h.request(versionedDelete(file, seen, flags)).status, std::uint8_t(FSO_STATUS_SUCCESS));
        ::close(writer);
        QCOMPARE(entryCount(share), 0);

        // A version saved since is still told apart by its times.
        QVERIFY(writeFile(file, "old"));
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        QVERIFY(writeFile(file, "newer"));
        QCOMPARE(h.request(versionedDelete(file, seen, flags)).status, std::uint8_t(FSO_STATUS_CHANGED));
        QFile kept(file);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("newer"));
    }

    // The name of a copied file holds something else by the time the peer deletes the version
    // it copied: a folder (full or empty), a link or a pipe, put there before the request or
    // once the delete has checked the version and is about to set the name aside. It stays,
    // whichever way the peer deletes, and the answer says the file changed. A folder stays
    // even under a stamp of its own: a stamp names a version of a file, and a folder's says
    // nothing of what it holds.
    void versionedDeleteLeavesWhatTookTheName_data()
    {
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<bool>("late");
        QTest::addColumn<bool>("ownStamp");
        QTest::addColumn<std::uint32_t>("flags");
        const std::vector<std::pair<const char *, std::uint32_t>> ways{
            {"permanent", FSO_DELETE_PERMANENT},
            {"only empty", FSO_DELETE_PERMANENT | FSO_DELETE_ONLY_EMPTY},
            {"trash", FSO_DELETE_TO_TRASH},
            {"trash, only empty", FSO_DELETE_TO_TRASH | FSO_DELETE_ONLY_EMPTY}};
        for (const char *replacement : {"folder", "empty folder", "link", "pipe"}) {
            for (const auto &way : ways)
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(replacement, way.first)))
                    << QString(replacement) << false << false << way.second;
            // The trash takes the name without setting it aside first: no moment to step in.
            for (std::size_t i = 0; i < 2; ++i)
                QTest::newRow(qPrintable(QStringLiteral("%1 after the check, %2").arg(replacement, ways[i].first)))
                    << QString(replacement) << true << false << ways[i].second;
        }
        for (const auto &way : ways)
            QTest::newRow(qPrintable(QStringLiteral("empty folder under its own stamp, %1").arg(way.first)))
                << QStringLiteral("empty folder") << false << true << way.second;
    }
    void versionedDeleteLeavesWhatTookTheName()
    {
        QFETCH(QString, replacement);
        QFETCH(bool, late);
        QFETCH(bool, ownStamp);
        QFETCH(std::uint32_t, flags);
        TrashHome dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt", made = share + "/doc.new";
        QVERIFY(writeFile(file, "copied"));
        QVERIFY(writeFile(share + "/other.txt", "other"));
        struct stat seen, now;
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        auto replace = [&] {
            // Made while the file still holds its inode, so that it cannot be given the same one.
            bool ready = false;
            if (replacement == "folder")
                ready = writeFile(made + "/inner.txt", "inner");
            else if (replacement == "empty folder")
                ready = QDir().mkpath(made);
            else if (replacement == "link")
                ready = QFile::link("other.txt", made);
            else
                ready = ::mkfifo(native(made).constData(), 0644) == 0;
            return ready && QFile::remove(file) && ::rename(native(made).constData(), native(file).constData()) == 0
                   && ::lstat(native(file).constData(), &now) == 0;
        };
        bool replaced = false;
        if (late) {
            setaside::setStepHookForTests([&](setaside::Step at) {
                if (at == setaside::Step::MovingAside && !replaced)
                    replaced = replace();
            });
        } else {
            replaced = replace();
        }
        const auto noHook = qScopeGuard([] { setaside::setStepHookForTests(nullptr); });
        if (ownStamp)
            seen = now;
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});

        QCOMPARE(h.request(versionedDelete(file, seen, flags)).status, std::uint8_t(FSO_STATUS_CHANGED));
        QVERIFY(replaced);
        struct stat after;
        QCOMPARE(::lstat(native(file).constData(), &after), 0);
        QCOMPARE(after.st_ino, now.st_ino);
        QCOMPARE(after.st_mode, now.st_mode);
        if (replacement == "folder")
            QCOMPARE(filesHolding(file, "inner").size(), 1);
        if (replacement == "link")
            QCOMPARE(QFile::symLinkTarget(file), share + "/other.txt");
        QFile other(share + "/other.txt");
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), QByteArray("other"));
        QCOMPARE(entryCount(dir.path() + "/data/Trash/files"), 0);
        QCOMPARE(QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 (QStringList{"doc.txt", "other.txt"}));
    }

    // The server dies (SIGKILL) between moving a name aside and removing what it moved, or
    // while it puts a newer version back: the next listing of the folder gives the entry its
    // name back (beside it when that is taken), and lists nothing under the private name. So
    // too for a folder that took the name between the check and the move aside.
    void setAsideLeftoverGoesBack_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("killAt");
        QTest::addColumn<QByteArray>("savedBeforeMove");
        QTest::addColumn<bool>("folderBeforeMove");
        QTest::addColumn<QByteArray>("takenSince");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArrayList>("contents");
        const int moved = int(setaside::Step::MovedAside), puttingBack = int(setaside::Step::PuttingBack);
        const QString longName = QString(251, 'x') + ".txt";
        QTest::newRow("after the move aside") << "doc.txt" << moved << QByteArray() << false << QByteArray()
                                              << QStringList{"doc.txt"} << QByteArrayList{"old"};
        QTest::newRow("while a newer version goes back") << "doc.txt" << puttingBack << QByteArray("newer") << false
                                                         << QByteArray() << QStringList{"doc.txt"}
                                                         << QByteArrayList{"newer"};
        QTest::newRow("name taken since") << "doc.txt" << moved << QByteArray() << false << QByteArray("newest")
                                          << QStringList{"doc.2.txt", "doc.txt"} << QByteArrayList{"old", "newest"};
        QTest::newRow("a name of 255 bytes") << longName << moved << QByteArray() << false << QByteArray()
                                             << QStringList{longName} << QByteArrayList{"old"};
        QTest::newRow("a folder in the name's place") << "doc.txt" << moved << QByteArray() << true << QByteArray()
                                                      << QStringList{"doc.txt"} << QByteArrayList{"inner"};
        QTest::newRow("a folder in the name's place, a long name")
            << longName << moved << QByteArray() << true << QByteArray() << QStringList{longName}
            << QByteArrayList{"inner"};
    }
    void setAsideLeftoverGoesBack()
    {
        QFETCH(QString, name);
        QFETCH(int, killAt);
        QFETCH(QByteArray, savedBeforeMove);
        QFETCH(bool, folderBeforeMove);
        QFETCH(QByteArray, takenSince);
        QFETCH(QStringList, expected);
        QFETCH(QByteArrayList, contents);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/" + name;
        QVERIFY(writeFile(share + "/keep.txt", "keep"));
        QVERIFY(writeFile(file, "old"));
        const versionguard::Version version = versionOf(file);
        QVERIFY(version.given());

        const pid_t child = ::fork();
        if (child == 0) {
            setaside::setStepHookForTests([&](setaside::Step at) {
                if (at == setaside::Step::MovingAside && !savedBeforeMove.isEmpty()) {
                    // A newer version saved over the name right after the check.
                    const QByteArray temp = native(share + "/.saving");
                    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    (void)!::write(fd, savedBeforeMove.constData(), std::size_t(savedBeforeMove.size()));
                    ::close(fd);
                    ::rename(temp.constData(), native(file).constData());
                }
                if (at == setaside::Step::MovingAside && folderBeforeMove)
                    (void)(QFile::remove(file) && writeFile(file + "/inner.txt", "inner"));
                if (int(at) == killAt)
                    ::kill(::getpid(), SIGKILL);
            });
            const int fd = ::open(native(share).constData(), O_RDONLY | O_DIRECTORY);
            versionguard::unlinkVersion(fd, native(name), version);
            ::_exit(0);
        }
        int waited = 0;
        QCOMPARE(::waitpid(child, &waited, 0), child);
        QVERIFY2(WIFSIGNALED(waited) && WTERMSIG(waited) == SIGKILL, "the delete ran past the moment of its death");
        QCOMPARE(QDir(share).entryList({".nusk-deleting-*"}, QDir::AllEntries | QDir::Hidden).size(), 1);
        if (!takenSince.isEmpty())
            QVERIFY(writeFile(file, takenSince));

        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        const ServerHarness::Listing listing = h.list(share, FSO_LISTDIR_HIDDEN);
        QCOMPARE(listing.lastStatus, std::uint8_t(FSO_STATUS_COMPLETE));
        QStringList listed;
        for (const VfsDirectoryEntry &entry : listing.entries)
            listed << entry.name;
        listed.sort();
        QStringList all = expected + QStringList{"keep.txt"};
        all.sort();
        QCOMPARE(listed, all);
        QCOMPARE(QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), all);
        for (int i = 0; i < expected.size(); ++i) {
            QFile restored(share + "/" + expected[i] + (folderBeforeMove ? "/inner.txt" : ""));
            QVERIFY(restored.open(QIODevice::ReadOnly));
            QCOMPARE(restored.readAll(), contents[i]);
        }
    }

    // A file system that takes shorter names than NAME_MAX (ecryptfs: about 143 bytes) refuses
    // the private name that tells the file's own: the delete sets the file aside in a private
    // folder instead. Stood in for by refusing every rename within one folder as too long, in
    // a child process, as no such file system can be mounted here.
    void setAsideWithinShortNameLimit_data()
    {
        QTest::addColumn<bool>("savedBeforeMove");
        QTest::addColumn<std::uint8_t>("status");
        QTest::newRow("unchanged") << false << std::uint8_t(FSO_STATUS_SUCCESS);
        QTest::newRow("saved over after the check") << true << std::uint8_t(FSO_STATUS_CHANGED);
    }
    void setAsideWithinShortNameLimit()
    {
        QFETCH(bool, savedBeforeMove);
        QFETCH(std::uint8_t, status);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt";
        QVERIFY(writeFile(share + "/keep.txt", "keep"));
        QVERIFY(writeFile(file, "old"));
        QVERIFY(writeFile(share + "/newer.txt", "newer"));
        const versionguard::Version version = versionOf(file);
        QVERIFY(version.given());

        const pid_t child = ::fork();
        if (child == 0) {
            setaside::setStepHookForTests([&](setaside::Step at) {
                if (at == setaside::Step::MovingAside && savedBeforeMove)
                    ::rename(native(share + "/newer.txt").constData(), native(file).constData());
            });
            const int fd = ::open(native(share).constData(), O_RDONLY | O_DIRECTORY);
            if (!refuseRenamesWithinOneFolder())
                ::_exit(255);
            ::_exit(versionguard::unlinkVersion(fd, "doc.txt", version));
        }
        int waited = 0;
        QCOMPARE(::waitpid(child, &waited, 0), child);
        QVERIFY(WIFEXITED(waited));
        QCOMPARE(WEXITSTATUS(waited), int(status));
        QStringList expected{"keep.txt"};
        if (savedBeforeMove)
            expected.prepend("doc.txt");
        else
            expected << "newer.txt";
        QCOMPARE(QDir(share).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), expected);
        QFile kept(file);
        QVERIFY(!savedBeforeMove || (kept.open(QIODevice::ReadOnly) && kept.readAll() == "newer"));
    }

    // A listing while a delete holds its entry aside neither shows the entry nor gives it back
    // from under the delete, which goes on to its end.
    void setAsideInHandStaysAside()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", file = share + "/doc.txt";
        QVERIFY(writeFile(file, "old"));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});
        struct stat seen;
        QCOMPARE(::lstat(native(file).constData(), &seen), 0);
        QStringList seenAside;
        bool hidden = false;
        QByteArrayList restored;
        setaside::setStepHookForTests([&](setaside::Step at) {
            if (at != setaside::Step::MovedAside)
                return;
            seenAside = QDir(share).entryList({".nusk-deleting-*"}, QDir::Files | QDir::Hidden);
            const int fd = ::open(native(share).constData(), O_RDONLY | O_DIRECTORY);
            for (const QString &aside : seenAside)
                hidden = setaside::restoreLeftover(fd, native(aside), &restored);
            ::close(fd);
        });
        const std::uint8_t status = h.request(versionedDelete(file, seen, 0)).status;
        setaside::setStepHookForTests(nullptr);
        QCOMPARE(seenAside.size(), 1);
        QVERIFY(seenAside.first().endsWith("-doc.txt"));
        QVERIFY(hidden);
        QCOMPARE(restored, QByteArrayList());
        QCOMPARE(status, std::uint8_t(FSO_STATUS_SUCCESS));
        QCOMPARE(entryCount(share), 0);
    }

    // A local program moves the folder that puts go to out of the share, again and again,
    // each time right after a put was accepted: no put names a file in it once it is out.
    // Two copies of files of one name into one folder meet at one hidden file. While one open
    // writes it, no other open for writing gets it, from the same computer or another, and
    // nothing of it is cut; reading it is no writing. A rename of a file the peer holds open
    // for writing goes only while the name still leads to that file, and a file another
    // computer holds open for writing is not renamed at all.
    void oneWriterPerFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString hidden = dir.path() + "/.IMG.part", real = dir.path() + "/IMG";
        QVERIFY(writeFile(hidden, QByteArray(100000, 'a')));
        ServerHarness one(true), other(true);
        const ServerHarness::Opened held = one.open(hidden, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(held.status, FSO_STATUS_SUCCESS);
        QCOMPARE(one.open(hidden, FSO_OPEN_WRITE).status, FSO_STATUS_EXISTS);
        QCOMPARE(other.open(hidden, FSO_OPEN_WRITE).status, FSO_STATUS_EXISTS);
        QCOMPARE(QFileInfo(hidden).size(), qint64(100000));
        const ServerHarness::Opened reader = other.open(hidden, FSO_OPEN_READ);
        QCOMPARE(reader.status, FSO_STATUS_SUCCESS);
        QCOMPARE(other.close(reader.handle), FSO_STATUS_SUCCESS);

        QCOMPARE(other.move(hidden, real, FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE), FSO_STATUS_CHANGED);
        // Another file put under the name meanwhile is not the one the peer wrote.
        const QString swapped = dir.path() + "/swapped";
        QVERIFY(::rename(native(hidden).constData(), native(swapped).constData()) == 0);
        QVERIFY(writeFile(hidden, "another"));
        QCOMPARE(one.move(hidden, real, FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE), FSO_STATUS_CHANGED);
        QVERIFY(!QFileInfo::exists(real));
        QVERIFY(::rename(native(swapped).constData(), native(hidden).constData()) == 0);
        QCOMPARE(one.move(hidden, real, FSO_MOVE_SAME_VOLUME | FSO_MOVE_NO_REPLACE), FSO_STATUS_SUCCESS);
        QCOMPARE(QFileInfo(real).size(), qint64(100000));

        // Let go by its close, or by the link's drop.
        QCOMPARE(one.close(held.handle), FSO_STATUS_SUCCESS);
        const ServerHarness::Opened next = other.open(real, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(next.status, FSO_STATUS_SUCCESS);
        other.server->linkDropped();
        const ServerHarness::Opened again = one.open(real, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(again.status, FSO_STATUS_SUCCESS);

        // A handle of its own the peer left unused (here: for no time at all) is one its copy
        // lost: opening the file again takes it back. Another computer's is never taken.
        one.server->setIdleClose(0, 3600000);
        QCOMPARE(other.open(real, FSO_OPEN_WRITE).status, FSO_STATUS_EXISTS);
        const ServerHarness::Opened retaken = one.open(real, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(retaken.status, FSO_STATUS_SUCCESS);
        QCOMPARE(one.write(again.handle, 0, "x").status, FSO_STATUS_INVALID_HANDLE);
        QCOMPARE(QFileInfo(real).size(), qint64(100000));
    }

    void putIntoFolderMovedOut_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::newRow("made unnamed, then linked") << true;
        QTest::newRow("made hidden, then renamed") << false;
    }
    void putIntoFolderMovedOut()
    {
        QFETCH(bool, unnamed);
        vfsserverfs::setUnnamedNewFilesForTests(unnamed);
        const auto restore = qScopeGuard([] { vfsserverfs::setUnnamedNewFilesForTests(true); });
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString share = dir.path() + "/share", target = share + "/target", outside = dir.path() + "/outside";
        QVERIFY(QDir().mkpath(share) && QDir().mkpath(outside));
        ServerHarness h(false);
        h.server->setAcl({writableShare(kShareUuid, share)});

        constexpr int kRounds = 1000;
        // What each folder moved out held right after the move; what it holds later and did
        // not hold then was named there while it was outside.
        std::vector<QStringList> heldWhenMoved(kRounds);
        std::mutex mutex;
        std::condition_variable changed;
        int accepted = -1, moved = -1;
        std::thread mover([&] {
            for (int round = 0; round < kRounds; ++round) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return accepted == round; });
                lock.unlock();
                const QString away = outside + QStringLiteral("/g%1").arg(round);
                ::rename(native(target).constData(), native(away).constData());
                heldWhenMoved[std::size_t(round)] = QDir(away).entryList(QDir::Files | QDir::Hidden);
                ::mkdir(native(target).constData(), 0755);
                lock.lock();
                moved = round;
                changed.notify_all();
            }
        });
        QVERIFY(QDir().mkpath(target));
        int done = 0;
        for (int round = 0; round < kRounds; ++round) {
            const QString name = QStringLiteral("f%1").arg(round);
            VfsFenuCommand cmd = ServerHarness::make(FSO_PUT_FILE, target + "/" + name);
            cmd.destination = (target + "/." + name + ".part").toStdString();
            cmd.data.assign(64, 'x');
            cmd.dataSize = 64;
            const std::uint16_t trId = h.post(cmd);
            {
                std::lock_guard<std::mutex> lock(mutex);
                accepted = round;
            }
            changed.notify_all();
            if (h.take(FSO_PUT_FILE, trId).status == 0)
                ++done;
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return moved == round; });
        }
        mover.join();
        QStringList escaped;
        for (int round = 0; round < kRounds; ++round) {
            const QString away = outside + QStringLiteral("/g%1").arg(round);
            for (const QString &file : QDir(away).entryList(QDir::Files | QDir::Hidden)) {
                if (!heldWhenMoved[std::size_t(round)].contains(file))
                    escaped << away + "/" + file;
            }
        }
        qInfo("%d of %d puts done, %d files named outside the share", done, kRounds, int(escaped.size()));
        QCOMPARE(escaped, QStringList());
    }
};

QTEST_GUILESS_MAIN(TestServerRace)
#include "tst_serverrace.moc"

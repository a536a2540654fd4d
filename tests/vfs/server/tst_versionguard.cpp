// A delete of the version of a file a peer copied, while another program writes the file in
// place at the worst moments: right after the check, after the name went aside, after the
// unlink, on a file this user may lease (its own) and on one it may not (another account's).
// What the program writes is never lost, also when it had the file open all along and writes
// once the delete has answered. And where no lease is taken (a network or FUSE mount, another
// account's file), holding the file opens nothing.

#include "testutil_capabilities.h"

#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/setaside.h"
#include "vfs/server/trash.h"
#include "vfs/server/versionguard.h"
#include "vfs/server/versionlinger.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t kAnotherAccount = 65534; // nobody

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// The folder's names with what each holds, sorted by name.
QStringList folderHolds(const QString &dir)
{
    QStringList held;
    for (const QString &name : QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name))
        held << name + '=' + QString::fromUtf8(contentOf(dir + '/' + name));
    return held;
}

// Of what folderHolds() gives, what a listing shows: not what lingers under a private name.
QStringList shown(const QStringList &held)
{
    QStringList names;
    for (const QString &name : held) {
        if (!name.startsWith(".nusk-deleting-"))
            names << name;
    }
    return names;
}

// The test's own thread loses CAP_LEASE (root keeps every other right): a file of another
// account is then one it may read and delete but not lease, as for a user in a shared folder.
class WithoutLeaseRight
{
public:
    WithoutLeaseRight() : m_dropped(testutil::setThreadCapability(CAP_LEASE, false)) {}
    ~WithoutLeaseRight()
    {
        if (m_dropped)
            testutil::setThreadCapability(CAP_LEASE, true);
    }
    bool dropped() const { return m_dropped; }

private:
    bool m_dropped;
};

// The version of `path` as it is now.
versionguard::Version versionOf(const QString &path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return {};
    return {std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec, st.st_ino};
}

// A file `path` holding "old", of this user or of another account.
bool makeOld(const QString &path, bool anotherAccount)
{
    QFile made(path);
    if (!made.open(QIODevice::WriteOnly) || made.write("old") != 3)
        return false;
    made.close();
    return !anotherAccount || ::chown(native(path).constData(), kAnotherAccount, kAnotherAccount) == 0;
}

int countEntries(const char *dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// A folder with doc.txt ("old"), of this user or of another account, and the version of it.
struct Scene
{
    QTemporaryDir dir;
    QString folder = dir.path() + "/share";
    QString file = folder + "/doc.txt";
    versionguard::Version version;
    int dirFd = -1;

    bool make(bool anotherAccount)
    {
        if (!dir.isValid() || !QDir().mkdir(folder) || !makeOld(file, anotherAccount))
            return false;
        version = versionOf(file);
        dirFd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return version.given() && dirFd >= 0;
    }
    ~Scene()
    {
        if (dirFd >= 0)
            ::close(dirFd);
    }
};

// Every unnamed file this thread makes from now on is refused, as by a file system that has
// none (vfat): this thread only, and for the rest of its life.
bool refuseUnnamedFiles()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, __O_TMPFILE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The path of a descriptor: opening it reaches the file the descriptor holds, whatever its
// name by now, as a program does that looked the name up before it moved.
QByteArray reach(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

} // namespace

class TestVersionGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        // The lease's break signal, ignored as in the program.
        std::signal(SIGURG, SIG_IGN);
    }
    void cleanup()
    {
        setaside::setStepHookForTests(nullptr);
        versionguard::setStepHookForTests(nullptr);
        versionguard::setWriterWaitForTests(std::chrono::milliseconds(-1));
        versionguard::setFileSystemTypeForTests(0);
    }

    // Another program writes doc.txt while a peer deletes the version it copied (or moves it
    // to the trash). Whatever it wrote stays under the name (or beside it, numbered, when a
    // newer file took the name), and the answer says the file changed; a reader leaves
    // nothing behind.
    void writesDuringTheDeleteAreKept_data()
    {
        QTest::addColumn<bool>("anotherAccount");
        QTest::addColumn<QString>("writer");
        QTest::addColumn<bool>("trash");
        QTest::addColumn<std::uint8_t>("status");
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<bool>("unnamedFiles");
        const std::uint8_t deleted = FSO_STATUS_SUCCESS, changed = FSO_STATUS_CHANGED;
        const QStringList none, kept{"doc.txt=new"};
        for (const bool trash : {false, true}) {
            const char *way = trash ? ", to the trash" : "";
            QTest::newRow(qPrintable(QStringLiteral("another's, untouched%1").arg(way)))
                << true << "nothing" << trash << deleted << none << true;
            QTest::newRow(qPrintable(QStringLiteral("another's, written after the check, times put back%1").arg(way)))
                << true << "times kept" << trash << changed << kept << true;
            QTest::newRow(qPrintable(QStringLiteral("another's, opened for writing after the check%1").arg(way)))
                << true << "opened" << trash << changed << kept << true;
        }
        QTest::newRow("another's, written after the unlink") << true << "after unlink" << false << changed << kept << true;
        QTest::newRow("another's, emptied and written after the unlink")
            << true << "truncated after unlink" << false << changed << kept << true;
        QTest::newRow("another's, written after the unlink, the name taken since")
            << true << "name taken" << false << changed << QStringList{"doc.2.txt=new", "doc.txt=newest"} << true;
        QTest::newRow("another's, written after the unlink, closed while the delete waits")
            << true << "closed later" << false << changed << kept << true;
        QTest::newRow("another's, written after the unlink, never let go")
            << true << "never closed" << false << changed << kept << true;
        QTest::newRow("another's, written after the unlink, where no unnamed file can be made")
            << true << "after unlink" << false << changed << kept << false;
        QTest::newRow("another's, read after the unlink") << true << "reader" << false << deleted << none << true;
        QTest::newRow("own, untouched") << false << "nothing" << false << deleted << none << true;
        QTest::newRow("own, a writer waits on the lease after the unlink")
            << false << "waits on lease" << false << changed << kept << true;
    }
    void writesDuringTheDeleteAreKept()
    {
        QFETCH(bool, anotherAccount);
        QFETCH(QString, writer);
        QFETCH(bool, trash);
        QFETCH(std::uint8_t, status);
        QFETCH(QStringList, left);
        QFETCH(bool, unnamedFiles);
        if (anotherAccount && ::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        Scene scene;
        QTemporaryDir home;
        QVERIFY(scene.make(anotherAccount) && home.isValid());
        const QByteArray file = native(scene.file);
        const QByteArray oldXdg = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", native(home.path()));
        const auto restoreXdg = qScopeGuard([&] { qputenv("XDG_DATA_HOME", oldXdg); });
        struct stat old;
        QCOMPARE(::lstat(file.constData(), &old), 0);
        // A program that has had the file open for writing since before the delete (none can
        // while a lease is held), and one that found it by its name before: neither is seen
        // until it acts.
        int early = anotherAccount ? ::open(file.constData(), O_WRONLY | O_CLOEXEC) : -1;
        const int found = ::open(file.constData(), O_PATH | O_CLOEXEC);
        QVERIFY((early >= 0) == anotherAccount && found >= 0);
        if (writer == "linked") {
            QCOMPARE(::link(file.constData(), native(scene.folder + "/doc.link").constData()), 0);
            scene.version = versionOf(scene.file);
        }
        auto closeEarly = [&] {
            const bool closed = ::close(early) == 0;
            early = -1;
            return closed;
        };
        int late = -1;
        bool acted = writer == "nothing";

        // Once the version is checked, before the name goes.
        auto afterCheck = [&] {
            if (writer == "times kept") {
                const timespec times[2] = {old.st_atim, old.st_mtim};
                acted = ::pwrite(early, "new", 3, 0) == 3 && ::futimens(early, times) == 0;
            } else if (writer == "opened") {
                late = ::open(file.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                acted = late >= 0;
            }
        };
        auto afterUnlink = [&] {
            if (writer == "after unlink" || writer == "never closed") {
                acted = ::pwrite(early, "new", 3, 0) == 3 && (writer == "never closed" || closeEarly());
            } else if (writer == "name taken") {
                QFile newest(scene.file);
                acted = newest.open(QIODevice::NewOnly) && newest.write("newest") == 6
                        && ::pwrite(early, "new", 3, 0) == 3 && closeEarly();
            } else if (writer == "truncated after unlink") {
                const int fd = ::open(reach(found).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
                acted = fd >= 0 && ::write(fd, "new", 3) == 3 && ::close(fd) == 0;
            } else if (writer == "closed later") {
                acted = ::pwrite(early, "ne", 2, 0) == 2;
            } else if (writer == "reader") {
                char bytes[3];
                const int fd = ::open(reach(found).constData(), O_RDONLY | O_CLOEXEC);
                acted = fd >= 0 && ::read(fd, bytes, 3) == 3 && ::close(fd) == 0;
            } else if (writer == "waits on lease") {
                // The delete holds a read lease: the open to write starts breaking it, and
                // would wait for the delete to let go.
                acted = ::open(reach(found).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC) < 0 && errno == EWOULDBLOCK;
            }
        };
        bool waited = false;
        auto whileTheDeleteWaits = [&] {
            if (waited)
                return;
            waited = true;
            if (writer == "closed later") {
                acted = acted && ::pwrite(early, "w", 1, 2) == 1 && closeEarly();
            } else if (writer == "waits on lease") {
                const int fd = ::open(reach(found).constData(), O_WRONLY | O_CLOEXEC);
                acted = acted && fd >= 0 && ::pwrite(fd, "new", 3, 0) == 3 && ::close(fd) == 0;
            }
        };
        setaside::setStepHookForTests([&](setaside::Step at) {
            if (at == setaside::Step::MovingAside)
                afterCheck();
        });
        versionguard::setStepHookForTests([&](versionguard::Step at) {
            if (at == versionguard::Step::Unlinked)
                afterUnlink();
            else if (at == versionguard::Step::WaitingForWriters)
                whileTheDeleteWaits();
        });
        if (writer == "never closed")
            versionguard::setWriterWaitForTests(std::chrono::milliseconds(50));

        std::uint8_t got = 0xFF;
        if (!unnamedFiles) {
            // On a thread of its own, which the refusal ends with.
            std::thread deleting([&] {
                WithoutLeaseRight without;
                if (without.dropped() && refuseUnnamedFiles())
                    got = versionguard::unlinkVersion(scene.dirFd, "doc.txt", scene.version);
            });
            deleting.join();
        } else {
            WithoutLeaseRight without;
            QVERIFY(!anotherAccount || without.dropped());
            if (!trash) {
                got = versionguard::unlinkVersion(scene.dirFd, "doc.txt", scene.version);
            } else {
                // The trash takes the name without setting it aside: the test steps in itself.
                const versionguard::HeldVersion held(scene.dirFd, "doc.txt", scene.version);
                QCOMPARE(held.status(), std::uint8_t(FSO_STATUS_SUCCESS));
                afterCheck();
                const trash::VersionTrashed trashed = trash::moveVersionToTrashAt(scene.dirFd, "doc.txt", held);
                got = trashed == trash::VersionTrashed::Trashed   ? FSO_STATUS_SUCCESS
                      : trashed == trash::VersionTrashed::Changed ? FSO_STATUS_CHANGED
                                                                  : FSO_STATUS_NETWORK_PATH;
            }
        }
        if (late >= 0) {
            QCOMPARE(::write(late, "new", 3), ssize_t(3));
            ::close(late);
        }
        if (early >= 0)
            closeEarly();
        ::close(found);
        QVERIFY(acted);
        QCOMPARE(got, status);
        QCOMPARE(folderHolds(scene.folder), left);
        const QStringList trashed = folderHolds(home.path() + "/Trash/files");
        QCOMPARE(trashed, trash && status == FSO_STATUS_SUCCESS ? QStringList{"doc.txt=old"} : QStringList());
    }

    // Holding a file where no lease is taken opens nothing: a write lease another program
    // holds on it (as Samba holds for its clients) is not broken, and the unchanged version
    // goes. Where a lease is taken, the open breaks it, and the file counts as changed.
    void noOpenWhereNoLeaseIsTaken_data()
    {
        QTest::addColumn<long>("fileSystem");
        QTest::addColumn<bool>("anotherAccount");
        QTest::addColumn<std::uint8_t>("status");
        QTest::newRow("FUSE") << 0x65735546L << false << std::uint8_t(FSO_STATUS_SUCCESS);
        QTest::newRow("NFS") << 0x6969L << false << std::uint8_t(FSO_STATUS_SUCCESS);
        QTest::newRow("another account's local file") << 0L << true << std::uint8_t(FSO_STATUS_SUCCESS);
        QTest::newRow("own local file") << 0L << false << std::uint8_t(FSO_STATUS_CHANGED);
    }
    void noOpenWhereNoLeaseIsTaken()
    {
        QFETCH(long, fileSystem);
        QFETCH(bool, anotherAccount);
        QFETCH(std::uint8_t, status);
        if (anotherAccount && ::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        Scene scene;
        QVERIFY(scene.make(anotherAccount));
        versionguard::setFileSystemTypeForTests(fileSystem);
        const int holder = ::open(native(scene.file).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QCOMPARE(::fcntl(holder, F_SETSIG, SIGURG), 0);
        QCOMPARE(::fcntl(holder, F_SETLEASE, F_WRLCK), 0);
        std::uint8_t got = 0xFF;
        {
            WithoutLeaseRight without;
            QVERIFY(!anotherAccount || without.dropped());
            got = versionguard::unlinkVersion(scene.dirFd, "doc.txt", scene.version);
        }
        // A lease being broken for a reader reads as the read lease it is going down to.
        const int lease = ::fcntl(holder, F_GETLEASE);
        ::fcntl(holder, F_SETLEASE, F_UNLCK);
        ::close(holder);
        QCOMPARE(lease, status == FSO_STATUS_SUCCESS ? F_WRLCK : F_RDLCK);
        QCOMPARE(got, status);
        QCOMPARE(QFileInfo::exists(scene.file), status != FSO_STATUS_SUCCESS);
    }

    // A program that has had another account's file open since before the delete (unseen
    // until it acts), or that looked the name of the user's own file up before the delete and
    // reaches it once the lease is gone, writes it after the delete answered that the file is
    // gone. What it writes within the grace gets a name again as it writes, beside a newer
    // file that took the name, in the folder wherever it went. A reader leaves nothing, nor a
    // write after the grace, nor one to a file that has another name still; a folder removed
    // meanwhile with all it holds takes no new name. Nothing is held once the files are let
    // go of.
    void lateWritesAreKept_data()
    {
        QTest::addColumn<bool>("anotherAccount");
        QTest::addColumn<QString>("writer");
        QTest::addColumn<QStringList>("left");
        const QStringList kept{"doc.txt=new"};
        QTest::newRow("written, closed") << true << "written" << kept;
        QTest::newRow("written in pieces, closed") << true << "pieces" << kept;
        QTest::newRow("reached by its old name, emptied and written") << true << "truncated" << kept;
        QTest::newRow("written, times put back, closed") << true << "times kept" << kept;
        QTest::newRow("written, never let go") << true << "never closed" << kept;
        QTest::newRow("written, the name taken since")
            << true << "name taken" << QStringList{"doc.2.txt=new", "doc.txt=newest"};
        QTest::newRow("written, the folder renamed since") << true << "folder renamed" << kept;
        QTest::newRow("read") << true << "reader" << QStringList();
        QTest::newRow("written after the grace") << true << "after grace" << QStringList();
        QTest::newRow("written after the folder was removed with all it held")
            << true << "folder removed" << QStringList();
        QTest::newRow("written, another name kept") << true << "linked" << QStringList{"doc.link=new"};
        QTest::newRow("own, reached by its old name, emptied and written") << false << "truncated" << kept;
    }
    void lateWritesAreKept()
    {
        QFETCH(bool, anotherAccount);
        QFETCH(QString, writer);
        QFETCH(QStringList, left);
        if (anotherAccount && ::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        // Long enough never to end on its own here: a file is back when written.
        const std::chrono::milliseconds longerThanTheTest(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        versionguard::LingeringFiles lingering({longerThanTheTest, 64});
        Scene scene;
        QVERIFY(scene.make(anotherAccount));
        // The deleting thread keeps an inotify instance from its first watch on.
        versionguard::VersionWatch().start(scene.dirFd);
        const int descriptors = countEntries("/proc/self/fd");
        const int threads = countEntries("/proc/self/task");
        const QByteArray file = native(scene.file);
        struct stat old;
        QCOMPARE(::lstat(file.constData(), &old), 0);
        // Open for writing, no lease could be taken on the user's own file.
        int early = anotherAccount ? ::open(file.constData(), (writer == "reader" ? O_RDONLY : O_WRONLY) | O_CLOEXEC) : -1;
        const int found = ::open(file.constData(), O_PATH | O_CLOEXEC);
        QVERIFY((early >= 0) == anotherAccount && found >= 0);
        if (writer == "linked") {
            QCOMPARE(::link(file.constData(), native(scene.folder + "/doc.link").constData()), 0);
            scene.version = versionOf(scene.file);
        }
        std::uint8_t got = 0xFF;
        {
            WithoutLeaseRight without;
            QVERIFY(!anotherAccount || without.dropped());
            got = versionguard::unlinkVersion(scene.dirFd, "doc.txt", scene.version);
        }
        QCOMPARE(got, std::uint8_t(FSO_STATUS_SUCCESS));
        QVERIFY(!QFileInfo::exists(scene.file));

        QString folder = scene.folder;
        bool acted = false;
        bool byItself = true; // let go of by the table, without being asked
        auto write = [&] { return ::pwrite(early, "new", 3, 0) == 3; };
        auto close = [&] {
            const bool closed = ::close(early) == 0;
            early = -1;
            return closed;
        };
        if (writer == "written" || writer == "never closed" || writer == "linked") {
            acted = write() && (writer == "never closed" || close());
        } else if (writer == "pieces") {
            acted = ::pwrite(early, "n", 1, 0) == 1 && ::pwrite(early, "e", 1, 1) == 1 && ::pwrite(early, "w", 1, 2) == 1
                    && close();
        } else if (writer == "truncated") {
            const int fd = ::open(reach(found).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            acted = fd >= 0 && ::write(fd, "new", 3) == 3 && ::close(fd) == 0;
        } else if (writer == "times kept") {
            const timespec times[2] = {old.st_atim, old.st_mtim};
            acted = write() && ::futimens(early, times) == 0 && close();
        } else if (writer == "name taken") {
            acted = makeOld(scene.file, false) && write() && close();
            QFile newest(scene.file);
            acted = acted && newest.open(QIODevice::WriteOnly) && newest.write("newest") == 6;
        } else if (writer == "folder renamed") {
            folder = scene.dir.path() + "/moved";
            acted = QDir().rename(scene.folder, folder) && write() && close();
        } else if (writer == "reader") {
            char bytes[3];
            acted = ::read(early, bytes, 3) == 3 && close();
            byItself = false;
        } else if (writer == "after grace") {
            lingering.letGoOfAll();
            acted = write() && close();
            byItself = false;
        } else if (writer == "folder removed") {
            acted = QDir(scene.folder).removeRecursively() && write() && close();
        }
        QVERIFY(acted);
        if (byItself) {
            QTRY_COMPARE(folderHolds(folder), left);
            QTRY_COMPARE(lingering.count(), 0);
        }
        lingering.letGoOfAll();
        QCOMPARE(folderHolds(folder), left);
        if (early >= 0)
            close();
        ::close(found);
        // The thread goes once none is left, and with it what it held for them.
        QTRY_COMPARE(countEntries("/proc/self/task"), threads);
        QCOMPARE(countEntries("/proc/self/fd"), descriptors);
    }

    // A program that reaches the file just as it is to linger, one that waits for the
    // delete's lease to write it (the user's own) or one that had it open and writes it
    // (another account's): the delete answers that it changed, and the file keeps its name.
    void writerAtTheHandOverKeepsTheFile_data()
    {
        QTest::addColumn<bool>("anotherAccount");
        QTest::newRow("own, waiting on the lease") << false;
        QTest::newRow("another's, written") << true;
    }
    void writerAtTheHandOverKeepsTheFile()
    {
        QFETCH(bool, anotherAccount);
        if (anotherAccount && ::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        const std::chrono::milliseconds longerThanTheTest(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        versionguard::LingeringFiles lingering({longerThanTheTest, 64});
        Scene scene;
        QVERIFY(scene.make(anotherAccount));
        const QByteArray file = native(scene.file);
        const int early = anotherAccount ? ::open(file.constData(), O_WRONLY | O_CLOEXEC) : -1;
        const int found = ::open(file.constData(), O_PATH | O_CLOEXEC);
        QVERIFY((early >= 0) == anotherAccount && found >= 0);
        bool acted = false;
        versionguard::setStepHookForTests([&](versionguard::Step at) {
            if (at != versionguard::Step::HandingOver || acted)
                return;
            acted = anotherAccount ? ::pwrite(early, "new", 3, 0) == 3
                                   : ::open(reach(found).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC) < 0
                                         && errno == EWOULDBLOCK;
        });
        std::uint8_t got = 0xFF;
        {
            WithoutLeaseRight without;
            QVERIFY(!anotherAccount || without.dropped());
            got = versionguard::unlinkVersion(scene.dirFd, "doc.txt", scene.version);
        }
        QVERIFY(acted);
        QCOMPARE(got, std::uint8_t(FSO_STATUS_CHANGED));
        QCOMPARE(lingering.count(), 0);
        if (!anotherAccount) {
            const int fd = ::open(reach(found).constData(), O_WRONLY | O_CLOEXEC);
            QVERIFY(fd >= 0 && ::pwrite(fd, "new", 3, 0) == 3 && ::close(fd) == 0);
        }
        QCOMPARE(folderHolds(scene.folder), QStringList{"doc.txt=new"});
        if (early >= 0)
            ::close(early);
        ::close(found);
    }

    // A name too long to tell in the private name lingers in a private folder under its own:
    // written, it is back; not written, it goes with that folder at the end.
    void longNamesLingerToo()
    {
        const std::chrono::milliseconds longerThanTheTest(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int dirFd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirFd >= 0);
        const QString written = QString(240, 'w'), untouched = QString(240, 'u');
        int found = -1;
        {
            versionguard::LingeringFiles lingering({longerThanTheTest, 64});
            for (const QString &name : {written, untouched}) {
                const QString path = dir.path() + '/' + name;
                QVERIFY(makeOld(path, false));
                if (name == written)
                    found = ::open(native(path).constData(), O_PATH | O_CLOEXEC);
                QCOMPARE(versionguard::unlinkVersion(dirFd, native(name), versionOf(path)),
                         std::uint8_t(FSO_STATUS_SUCCESS));
            }
            QCOMPARE(lingering.count(), 2);
            QCOMPARE(shown(folderHolds(dir.path())), QStringList());
            const int fd = ::open(reach(found).constData(), O_WRONLY | O_CLOEXEC);
            QVERIFY(fd >= 0 && ::pwrite(fd, "new", 3, 0) == 3 && ::close(fd) == 0);
            QTRY_COMPARE(shown(folderHolds(dir.path())), QStringList{written + "=new"});
        }
        QCOMPARE(folderHolds(dir.path()), QStringList{written + "=new"});
        ::close(found);
        ::close(dirFd);
    }

    // A move of more such files than may linger: the oldest are let go of early (what one was
    // written is named first), the descriptors held do not grow with the files, and one thread
    // serves them all. When the table goes, what its files were written is named.
    void lingeringIsBounded()
    {
        if (::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        const std::chrono::milliseconds longerThanTheTest(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        constexpr int kFiles = 8, kCapacity = 3;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int dirFd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirFd >= 0);
        versionguard::VersionWatch().start(dirFd);
        const int threads = countEntries("/proc/self/task");
        int writers[kFiles];
        versionguard::Version versions[kFiles];
        for (int i = 0; i < kFiles; ++i) {
            const QString path = dir.path() + QStringLiteral("/f%1").arg(i);
            QVERIFY(makeOld(path, true));
            versions[i] = versionOf(path);
            writers[i] = ::open(native(path).constData(), O_WRONLY | O_CLOEXEC);
            QVERIFY(writers[i] >= 0);
        }
        auto remove = [&](const QByteArray &name, const versionguard::Version &version) {
            WithoutLeaseRight without;
            return without.dropped() && versionguard::unlinkVersion(dirFd, name, version) == FSO_STATUS_SUCCESS;
        };
        const int descriptors = countEntries("/proc/self/fd");
        {
            versionguard::LingeringFiles lingering({longerThanTheTest, kCapacity});
            int heldWhenFull = 0;
            for (int i = 0; i < kFiles; ++i) {
                QVERIFY(remove("f" + QByteArray::number(i), versions[i]));
                // The first is written, and its writer keeps it open.
                if (i == 0)
                    QCOMPARE(::pwrite(writers[0], "new", 3, 0), ssize_t(3));
                if (i == kCapacity - 1)
                    heldWhenFull = countEntries("/proc/self/fd");
                QVERIFY(countEntries("/proc/self/task") <= threads + 1);
            }
            QTRY_COMPARE(lingering.count(), kCapacity);
            QCOMPARE(countEntries("/proc/self/fd"), heldWhenFull);
            QCOMPARE(shown(folderHolds(dir.path())), QStringList{"f0=new"});
            for (int i = 1; i < kFiles; ++i)
                QCOMPARE(::pwrite(writers[i], "new", 3, 0), ssize_t(3));
        }
        for (const int fd : writers)
            ::close(fd);
        QCOMPARE(folderHolds(dir.path()), (QStringList{"f0=new", "f5=new", "f6=new", "f7=new"}));
        QCOMPARE(countEntries("/proc/self/fd"), descriptors - kFiles);
        QCOMPARE(countEntries("/proc/self/task"), threads);
        ::close(dirFd);
    }

    // A move's deletes in one burst, far more files than used to linger at once, each held by a
    // program that writes it once every delete has answered: another account's open all
    // along, the user's own reached by its old name. Every save gets its name back, and what
    // lingers holds no descriptor of its own: one folder, one inotify instance, one thread.
    void burstOfDeletesKeepsEveryLateSave()
    {
        constexpr int kFiles = 1000;
        const bool root = ::geteuid() == 0;
        versionguard::LingeringFiles::Limits limits;
        limits.grace = std::chrono::milliseconds(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.path() + "/share";
        QVERIFY(QDir().mkdir(folder));
        const int dirFd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirFd >= 0);
        versionguard::VersionWatch().start(dirFd);
        std::vector<int> writers;
        std::vector<versionguard::Version> versions;
        for (int i = 0; i < kFiles; ++i) {
            const QString path = folder + QStringLiteral("/f%1").arg(i);
            const bool another = root && i % 2 == 0;
            QVERIFY(makeOld(path, another));
            versions.push_back(versionOf(path));
            writers.push_back(::open(native(path).constData(), (another ? O_WRONLY : O_PATH) | O_CLOEXEC));
            QVERIFY(writers.back() >= 0);
        }
        auto inotifyInstances = [] {
            int count = 0;
            for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::System | QDir::NoDotAndDotDot)) {
                if (QFile::symLinkTarget("/proc/self/fd/" + fd).contains("inotify"))
                    ++count;
            }
            return count;
        };
        const int descriptors = countEntries("/proc/self/fd");
        const int instances = inotifyInstances();
        const int threads = countEntries("/proc/self/task");
        {
            versionguard::LingeringFiles lingering(limits);
            {
                WithoutLeaseRight without;
                QVERIFY(!root || without.dropped());
                for (int i = 0; i < kFiles; ++i)
                    QCOMPARE(versionguard::unlinkVersion(dirFd, "f" + QByteArray::number(i), versions[std::size_t(i)]),
                             std::uint8_t(FSO_STATUS_SUCCESS));
            }
            QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
            qInfo("%d descriptors, %d inotify instances and %d threads more while %d files linger",
                  countEntries("/proc/self/fd") - descriptors, inotifyInstances() - instances,
                  countEntries("/proc/self/task") - threads, lingering.count());
            QVERIFY(countEntries("/proc/self/fd") <= descriptors + 3);
            QVERIFY(inotifyInstances() <= instances + 1);
            QVERIFY(countEntries("/proc/self/task") <= threads + 1);
            for (int &fd : writers) {
                if (::fcntl(fd, F_GETFL) & O_PATH) {
                    const int opened = ::open(reach(fd).constData(), O_WRONLY | O_CLOEXEC);
                    ::close(fd);
                    fd = opened;
                }
                QCOMPARE(::pwrite(fd, "new", 3, 0), ssize_t(3));
                QCOMPARE(::close(fd), 0);
            }
            QTRY_COMPARE_WITH_TIMEOUT(QDir(folder).entryList(QDir::Files).size(), kFiles,
                                      testutil::timeoutMs(testutil::kDefaultWaitMs));
        }
        const QStringList kept = folderHolds(folder);
        QCOMPARE(kept.size(), kFiles);
        for (const QString &file : kept)
            QVERIFY2(file.startsWith('f') && file.endsWith("=new"), qPrintable(file));
        QTRY_COMPARE(countEntries("/proc/self/task"), threads);
        QCOMPARE(countEntries("/proc/self/fd"), descriptors - kFiles);
        ::close(dirFd);
    }

    // Deletes on several threads at once, as the server's pool runs them: the table stays
    // within its bounds, and what is written to the files it still holds is named when it goes.
    void deletesOnManyThreadsAtOnce()
    {
        if (::geteuid() != 0)
            QSKIP("only root can make a file of another account");
        const std::chrono::milliseconds longerThanTheTest(testutil::timeoutMs(3 * testutil::kDefaultWaitMs));
        constexpr int kThreads = 4, kEach = 16, kCapacity = 8;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const int dirFd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(dirFd >= 0);
        std::vector<int> writers;
        std::vector<versionguard::Version> versions;
        for (int i = 0; i < kThreads * kEach; ++i) {
            const QString path = dir.path() + QStringLiteral("/f%1").arg(i);
            QVERIFY(makeOld(path, i % 2 == 0));
            versions.push_back(versionOf(path));
            // The user's own files (odd) are opened for writing only once deleted.
            writers.push_back(::open(native(path).constData(), (i % 2 == 0 ? O_WRONLY : O_PATH) | O_CLOEXEC));
            QVERIFY(writers.back() >= 0);
        }
        int lingered = 0;
        {
            versionguard::LingeringFiles lingering({longerThanTheTest, kCapacity});
            std::atomic<int> deleted{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    WithoutLeaseRight without;
                    for (int i = t; i < kThreads * kEach; i += kThreads) {
                        if (versionguard::unlinkVersion(dirFd, "f" + QByteArray::number(i), versions[std::size_t(i)])
                            == FSO_STATUS_SUCCESS)
                            ++deleted;
                    }
                });
            }
            for (std::thread &thread : threads)
                thread.join();
            QCOMPARE(deleted.load(), kThreads * kEach);
            QCOMPARE(shown(folderHolds(dir.path())), QStringList());
            lingered = lingering.count();
            QVERIFY(lingered > 0 && lingered <= kCapacity);
            for (int &fd : writers) {
                if (::fcntl(fd, F_GETFL) & O_PATH) {
                    const int opened = ::open(reach(fd).constData(), O_WRONLY | O_CLOEXEC);
                    ::close(fd);
                    fd = opened;
                }
                QCOMPARE(::pwrite(fd, "new", 3, 0), ssize_t(3));
            }
        }
        for (const int fd : writers)
            ::close(fd);
        const QStringList kept = folderHolds(dir.path());
        QCOMPARE(kept.size(), lingered);
        for (const QString &file : kept)
            QVERIFY2(file.endsWith("=new"), qPrintable(file));
        ::close(dirFd);
    }
};

QTEST_GUILESS_MAIN(TestVersionGuard)
#include "tst_versionguard.moc"

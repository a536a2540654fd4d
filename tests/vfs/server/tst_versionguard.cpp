// A delete of the version of a file a peer copied: where no lease is taken (a network or
// FUSE mount, another account's file), holding the file opens nothing.

#include "testutil_capabilities.h"

#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/versionguard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t kAnotherAccount = 65534; // nobody

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
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

// A folder with doc.txt ("old"), of this user or of another account, and the version of it.
struct Scene
{
    QTemporaryDir dir;
    QString file = dir.path() + "/doc.txt";
    versionguard::Version version;
    int dirFd = -1;

    bool make(bool anotherAccount)
    {
        QFile made(file);
        if (!dir.isValid() || !made.open(QIODevice::WriteOnly) || made.write("old") != 3)
            return false;
        made.close();
        if (anotherAccount && ::chown(native(file).constData(), kAnotherAccount, kAnotherAccount) != 0)
            return false;
        struct stat st;
        if (::lstat(native(file).constData(), &st) != 0)
            return false;
        version = {std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec, st.st_ino};
        dirFd = ::open(native(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return dirFd >= 0;
    }
    ~Scene()
    {
        if (dirFd >= 0)
            ::close(dirFd);
    }
};

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
        versionguard::setFileSystemTypeForTests(0);
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
};

QTEST_GUILESS_MAIN(TestVersionGuard)
#include "tst_versionguard.moc"

// What one peer can make this computer do: bounded work on the shared pool, nothing kept
// once its link or its access is gone, no file grown past the volume.

#include "tst_serverharness.h"

#include "vfs/server/setaside.h"
#include "vfs/server/vfsaccess.h"
#include "vfs/server/vfsserverjobs.h"
#include "vfs/server/vfswatcher.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kShareUuid = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
const QString kOtherUuid = QStringLiteral("{22222222-2222-2222-2222-222222222222}");

PeerAclDto share(const QString &uuid, const QString &selector, quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = uuid;
    acl.name = uuid;
    acl.selector = selector;
    acl.flags = flags | vfsaccess::AclSubPaths;
    return acl;
}

bool makeSparse(const QString &path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bool ok = fd >= 0 && ::ftruncate(fd, size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// A delete of the version of `path` as it is now.
VfsFenuCommand versionedDelete(const QString &path)
{
    VfsFenuCommand cmd = ServerHarness::make(FSO_DELETE_FILE, path, FSO_DELETE_PERMANENT);
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0) {
        cmd.expectChangeNs = std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
        cmd.expectInode = st.st_ino;
    }
    return cmd;
}

// Holds every delete that runs on another thread than the test's where it has set its name
// aside (or, for a folder removed with all it holds, before the removal starts), until let
// go; counts how many are held at once.
class DeleteGate
{
public:
    enum Where { SetAside, TreeRemoval };

    explicit DeleteGate(Where where = SetAside) : m_testThread(QThread::currentThread()), m_where(where)
    {
        if (where == TreeRemoval) {
            vfsserverfs::setTreeRemovalHookForTests([this] { hold(); });
            return;
        }
        setaside::setStepHookForTests([this](setaside::Step at) {
            if (at == setaside::Step::MovedAside)
                hold();
        });
    }
    ~DeleteGate()
    {
        letGo();
        // Every delete that met the gate has passed it once the pool is done.
        QThreadPool::globalInstance()->waitForDone();
        if (m_where == TreeRemoval)
            vfsserverfs::setTreeRemovalHookForTests(nullptr);
        else
            setaside::setStepHookForTests(nullptr);
    }
    void letGo()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_letGo = true;
        m_open.notify_all();
    }
    int held()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_held;
    }
    int most()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_most;
    }
    bool ranOnTestThread()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_onTestThread;
    }

private:
    void hold()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (QThread::currentThread() == m_testThread) {
            m_onTestThread = true;
            return;
        }
        m_most = std::max(m_most, ++m_held);
        m_open.wait(lock, [this] { return m_letGo; });
        --m_held;
    }

    QThread *const m_testThread;
    const Where m_where;
    std::mutex m_mutex;
    std::condition_variable m_open;
    int m_held = 0;
    int m_most = 0;
    bool m_letGo = false;
    bool m_onTestThread = false;
};

// The global pool with `threads` threads while it lives: how deletes share it depends on
// its size, not on this machine's.
class PoolThreads
{
public:
    explicit PoolThreads(int threads) : m_usual(QThreadPool::globalInstance()->maxThreadCount())
    {
        QThreadPool::globalInstance()->setMaxThreadCount(threads);
    }
    ~PoolThreads() { QThreadPool::globalInstance()->setMaxThreadCount(m_usual); }

private:
    const int m_usual;
};

qint64 sizeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.st_size) : -1;
}

} // namespace

class TestServerLimits : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const quint32 rw = vfsaccess::AclRead | vfsaccess::AclWrite;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QThreadPool::globalInstance()->setMaxThreadCount(qMax(4, QThreadPool::globalInstance()->maxThreadCount()));
    }

    // 64 large hash requests on one big sparse file keep at most a few pool threads of the
    // peer busy: another peer's listing is answered at once. Requests over the byte cap are
    // refused, and the link dropping ends the peer's work and closes its files.
    void hashFloodLeavesThePoolAndEndsWithTheLink()
    {
        const QString base = m_dir.path() + "/flood";
        QVERIFY(QDir().mkpath(base));
        QVERIFY(makeSparse(base + "/big", qint64(5) << 30));
        ServerHarness peer(false), other(false);
        peer.server->setAcl({share(kShareUuid, base, rw)});
        other.server->setAcl({share(kShareUuid, base, rw)});

        const ServerHarness::Opened opened = peer.open(base + "/big", FSO_OPEN_READ);
        QCOMPARE(opened.status, std::uint8_t(0));
        QCOMPARE(peer.hash(opened.handle, 65, 1 << 20, 0).status, std::uint8_t(FSO_STATUS_INVALID_PARAMETER));

        for (int i = 0; i < 64; ++i) {
            VfsFenuCommand cmd = ServerHarness::make(FSO_HASH_FILE, QString(), FSO_HASH_SHA1);
            cmd.handle = opened.handle;
            cmd.blockCount = 64;
            cmd.dataSize = 1 << 20;
            cmd.offset = std::uint64_t(i) * (64u << 20);
            QVERIFY(peer.post(cmd) != 0);
        }
        // Answered while the peer's hashes still run, not after them, however fast they go here.
        const ServerHarness::Listing listing = other.list(base);
        QCOMPARE(listing.lastStatus, std::uint8_t(FSO_STATUS_COMPLETE));
        QVERIFY(peer.server->runningJobCount() > 1);

        peer.server->linkDropped();
        QCOMPARE(peer.server->openFileCount(), 0);
        QVERIFY(ServerHarness::waitUntil([&] { return peer.server->runningJobCount() == 0; }, 3000));
        QCOMPARE(peer.read(opened.handle, 0, 16).status, std::uint8_t(FSO_STATUS_INVALID_HANDLE));
    }

    // A peer's deletes run on the pool, four side by side (one thread fewer than a smaller
    // pool has), while the server's own thread and the rest of the pool go on answering; each
    // is answered under its own TrId once done. Those still waiting when the link drops never
    // run, those running end, and later deletes run as before.
    void deletesRunSideBySideAndEndWithTheLink_data()
    {
        QTest::addColumn<int>("poolThreads");
        QTest::newRow("this computer's pool") << QThreadPool::globalInstance()->maxThreadCount();
        QTest::newRow("a pool of four threads") << 4;
        QTest::newRow("a pool of two threads") << 2;
    }
    void deletesRunSideBySideAndEndWithTheLink()
    {
        QFETCH(int, poolThreads);
        const PoolThreads pool(poolThreads);
        const int width = std::min(4, std::max(1, poolThreads - 1));
        const QString base = m_dir.path() + "/deletes" + QString::number(poolThreads);
        QVERIFY(QDir().mkpath(base));
        for (int i = 0; i < 9; ++i)
            QVERIFY(makeSparse(base + QStringLiteral("/f%1").arg(i), 4096));
        ServerHarness peer(false);
        peer.server->setAcl({share(kShareUuid, base, rw)});
        std::vector<std::uint16_t> trIds;
        QStringList left;
        {
            DeleteGate gate;
            for (int i = 0; i < 8; ++i)
                trIds.push_back(peer.post(versionedDelete(base + QStringLiteral("/f%1").arg(i))));
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() >= width; }, 10000));
            QCOMPARE(peer.makeDirectory(base + "/made").status, std::uint8_t(0));
            QCOMPARE(peer.list(base).lastStatus, std::uint8_t(FSO_STATUS_COMPLETE));
            QCOMPARE(gate.held(), width);
            QVERIFY(peer.replies.empty());

            peer.server->linkDropped();
            gate.letGo();
            for (int i = 0; i < 9; ++i) {
                const QString name = QStringLiteral("f%1").arg(i);
                if (i >= width) {
                    left << name;
                    continue;
                }
                const VfsFenuCommand reply = peer.take(FSO_DELETE_FILE, trIds[std::size_t(i)]);
                QCOMPARE(reply.status, std::uint8_t(0));
                QCOMPARE(QString::fromStdString(reply.path), base + "/" + name);
            }
            QVERIFY(ServerHarness::waitUntil([&] { return peer.server->runningJobCount() == 0; }));
            QCOMPARE(gate.most(), width);
            QVERIFY(!gate.ranOnTestThread());
        }
        QCoreApplication::processEvents();
        QVERIFY(peer.replies.empty());
        QCOMPARE(QDir(base).entryList(QDir::Files), left);
        QCOMPARE(peer.request(versionedDelete(base + "/f8")).status, std::uint8_t(0));
        QVERIFY(!QFileInfo::exists(base + "/f8"));
    }

    // Folders removed with all they hold run two at a time beside a peer's other deletes:
    // four large ones do not hold back the deletes that end a move.
    void longDeletesLeaveTheQuickOnesTheirLane()
    {
        const PoolThreads pool(8);
        const QString base = m_dir.path() + "/long";
        for (int i = 0; i < 4; ++i) {
            QVERIFY(QDir().mkpath(base + QStringLiteral("/tree%1/deep").arg(i)));
            QVERIFY(makeSparse(base + QStringLiteral("/tree%1/deep/f").arg(i), 4096));
        }
        for (int i = 0; i < 8; ++i)
            QVERIFY(makeSparse(base + QStringLiteral("/f%1").arg(i), 4096));
        ServerHarness peer(false);
        peer.server->setAcl({share(kShareUuid, base, rw)});
        std::vector<std::uint16_t> trees;
        {
            DeleteGate gate(DeleteGate::TreeRemoval);
            for (int i = 0; i < 4; ++i)
                trees.push_back(peer.post(ServerHarness::make(FSO_DELETE_FILE, base + QStringLiteral("/tree%1").arg(i),
                                                              FSO_DELETE_PERMANENT)));
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() >= 2; }, 10000));
            for (int i = 0; i < 8; ++i)
                QCOMPARE(peer.request(versionedDelete(base + QStringLiteral("/f%1").arg(i))).status, std::uint8_t(0));
            QCOMPARE(gate.held(), 2);
            gate.letGo();
            for (std::uint16_t trId : trees)
                QCOMPARE(peer.take(FSO_DELETE_FILE, trId).status, std::uint8_t(0));
            QCOMPARE(gate.most(), 2);
        }
        QCOMPARE(QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // Folders removed with all they hold, each held at its start, take every thread they may
    // have: on a pool of two (one of them kept from deletes), and when as many peers remove
    // folders as deletes may take threads. A delete that ends a move, of those peers and of
    // another one, is still answered meanwhile, and once the folders go all of them end.
    void quickDeletesKeepAWorker_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("removers");
        QTest::addColumn<int>("treesEach");
        QTest::newRow("a pool of two, one peer removing folders") << 2 << 1 << 2;
        QTest::newRow("a pool of eight, seven peers removing folders") << 8 << 7 << 1;
    }
    void quickDeletesKeepAWorker()
    {
        QFETCH(int, threads);
        QFETCH(int, removers);
        QFETCH(int, treesEach);
        const PoolThreads pool(threads);
        const QString base = m_dir.path() + QStringLiteral("/worker%1").arg(threads);
        std::vector<std::unique_ptr<ServerHarness>> peers;
        for (int p = 0; p <= removers; ++p) {
            const QString folder = base + QStringLiteral("/p%1").arg(p);
            QVERIFY(QDir().mkpath(folder));
            for (int i = 0; i < (p < removers ? treesEach : 0); ++i)
                QVERIFY(QDir().mkpath(folder + QStringLiteral("/tree%1/deep").arg(i)));
            for (int i = 0; i < 2; ++i)
                QVERIFY(makeSparse(folder + QStringLiteral("/f%1").arg(i), 4096));
            peers.emplace_back(new ServerHarness(false));
            peers.back()->server->setAcl({share(kShareUuid, folder, rw)});
        }
        std::vector<std::pair<ServerHarness *, std::uint16_t>> trees;
        {
            DeleteGate gate(DeleteGate::TreeRemoval);
            for (int p = 0; p < removers; ++p) {
                ServerHarness *peer = peers[std::size_t(p)].get();
                for (int i = 0; i < treesEach; ++i)
                    trees.emplace_back(peer, peer->post(ServerHarness::make(
                                                 FSO_DELETE_FILE, base + QStringLiteral("/p%1/tree%2").arg(p).arg(i),
                                                 FSO_DELETE_PERMANENT)));
            }
            // Deletes take one thread fewer than the pool has, folders one fewer again (one at least).
            const int folders = std::max(1, threads - 2);
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() >= folders; }, 10000));
            for (int p : {0, removers}) {
                const QString file = base + QStringLiteral("/p%1/f0").arg(p);
                QCOMPARE(peers[std::size_t(p)]->request(versionedDelete(file)).status, std::uint8_t(0));
                QVERIFY(!QFileInfo::exists(file));
            }
            QCOMPARE(gate.held(), folders);
            gate.letGo();
            for (const auto &sent : trees)
                QCOMPARE(sent.first->take(FSO_DELETE_FILE, sent.second).status, std::uint8_t(0));
            QCOMPARE(gate.most(), folders);
        }
        for (int p = 0; p <= removers; ++p)
            QCOMPARE(QDir(base + QStringLiteral("/p%1").arg(p)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     p == 0 || p == removers ? QStringList{"f1"} : (QStringList{"f0", "f1"}));
    }

    // Two peers deleting at once share what the pool gives to deletes, one thread fewer
    // than it has: a third peer's listings and reads are still answered.
    void peersDeletingLeaveAThirdItsListings()
    {
        const PoolThreads pool(8);
        const QString base = m_dir.path() + "/threepeers";
        for (const QString &folder : {QStringLiteral("/a"), QStringLiteral("/b")}) {
            QVERIFY(QDir().mkpath(base + folder));
            for (int i = 0; i < 8; ++i)
                QVERIFY(makeSparse(base + folder + QStringLiteral("/f%1").arg(i), 4096));
        }
        QVERIFY(QDir().mkpath(base + "/c") && makeSparse(base + "/c/read", 4096));
        ServerHarness a(false), b(false), c(false);
        a.server->setAcl({share(kShareUuid, base + "/a", rw)});
        b.server->setAcl({share(kShareUuid, base + "/b", rw)});
        c.server->setAcl({share(kShareUuid, base + "/c", rw)});
        std::vector<std::pair<ServerHarness *, std::uint16_t>> deletes;
        {
            DeleteGate gate;
            for (int i = 0; i < 8; ++i)
                deletes.emplace_back(&a, a.post(versionedDelete(base + QStringLiteral("/a/f%1").arg(i))));
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() == 4; }, 10000));
            for (int i = 0; i < 8; ++i)
                deletes.emplace_back(&b, b.post(versionedDelete(base + QStringLiteral("/b/f%1").arg(i))));
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() >= 7; }, 10000));

            QCOMPARE(c.list(base + "/c").lastStatus, std::uint8_t(FSO_STATUS_COMPLETE));
            const ServerHarness::Opened opened = c.open(base + "/c/read", FSO_OPEN_READ);
            QCOMPARE(opened.status, std::uint8_t(0));
            QCOMPARE(c.read(opened.handle, 0, 16).status, std::uint8_t(0));
            QCOMPARE(gate.held(), 7);
            gate.letGo();
            for (const auto &sent : deletes)
                QCOMPARE(sent.first->take(FSO_DELETE_FILE, sent.second).status, std::uint8_t(0));
            QCOMPARE(gate.most(), 7);
        }
        QCOMPARE(QDir(base + "/a").entryList(QDir::Files), QStringList());
        QCOMPARE(QDir(base + "/b").entryList(QDir::Files), QStringList());
    }

    // Taking a share back closes what the peer holds open in it at once; files it may
    // still reach stay open.
    void revokedAccessClosesOpenFiles()
    {
        const QString base = m_dir.path() + "/revoke";
        QVERIFY(QDir().mkpath(base + "/kept") && QDir().mkpath(base + "/gone"));
        ServerHarness peer(false);
        const PeerAclDto kept = share(kShareUuid, base + "/kept", rw);
        peer.server->setAcl({kept, share(kOtherUuid, base + "/gone", rw)});
        const auto stays = peer.open(base + "/kept/a", FSO_OPEN_READ | FSO_OPEN_WRITE);
        const auto goes = peer.open(base + "/gone/b", FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(stays.status, std::uint8_t(0));
        QCOMPARE(goes.status, std::uint8_t(0));

        peer.server->setAcl({kept});
        QCOMPARE(peer.write(goes.handle, 0, "late").status, std::uint8_t(FSO_STATUS_INVALID_HANDLE));
        QCOMPARE(peer.read(goes.handle, 0, 4).status, std::uint8_t(FSO_STATUS_INVALID_HANDLE));
        QCOMPARE(peer.write(stays.handle, 0, "fine").status, std::uint8_t(0));

        // Write access taken back from a file open for writing closes it too.
        peer.server->setAcl({share(kShareUuid, base + "/kept", vfsaccess::AclRead)});
        QCOMPARE(peer.write(stays.handle, 4, "more").status, std::uint8_t(FSO_STATUS_INVALID_HANDLE));
        QCOMPARE(peer.server->openFileCount(), 0);
    }

    // Deletes still waiting when the share is taken back are checked against what is shared
    // now: they delete nothing. Those already under way end as they began.
    void waitingDeletesTakeAccessAsItIsNow()
    {
        const QString base = m_dir.path() + "/revokedDeletes";
        QVERIFY(QDir().mkpath(base));
        for (int i = 0; i < 8; ++i)
            QVERIFY(makeSparse(base + QStringLiteral("/f%1").arg(i), 4096));
        ServerHarness peer(false);
        peer.server->setAcl({share(kShareUuid, base, rw)});
        std::vector<std::uint16_t> trIds;
        int running = 0;
        {
            DeleteGate gate;
            for (int i = 0; i < 8; ++i)
                trIds.push_back(peer.post(versionedDelete(base + QStringLiteral("/f%1").arg(i))));
            QVERIFY(ServerHarness::waitUntil([&] { return gate.held() > 0 && gate.held() == gate.most(); }, 10000));
            QTest::qWait(50);
            running = gate.held();
            QVERIFY(running < 8);
            peer.server->setAcl({});
            gate.letGo();
            int refused = 0;
            for (std::uint16_t trId : trIds)
                refused += peer.take(FSO_DELETE_FILE, trId).status != 0 ? 1 : 0;
            QCOMPARE(refused, 8 - running);
        }
        QCOMPARE(QDir(base).entryList(QDir::Files).size(), 8 - running);
    }

    // A version a peer's greeting names is used only within the range this server knows.
    void protocolVersionStaysKnown()
    {
        VfsServerNusk server(false);
        server.setProtocolVersion(65535);
        QCOMPARE(server.protocolVersion(), FSO_PROTOCOL_VERSION);
        server.setProtocolVersion(0);
        QCOMPARE(server.protocolVersion(), FSO_PROTOCOL_VERSION_MIN);
    }

    // A drive list asked for right after start-up waits for the first read of the drives
    // instead of answering that there are none.
    void firstDriveListIsNeverEmpty()
    {
        VfsWatcherTimings timings;
        timings.startDriveMs = 300;
        VfsWatcher watcher(timings);
        ServerHarness local(true);
        const VfsFenuCommand reply = local.request(ServerHarness::make(FSO_LIST_DRIVES));
        QCOMPARE(reply.status, std::uint8_t(0));
        QVERIFY(reply.count > 0);
    }

    // An extend far past the end is refused when the volume could never hold it; a write
    // the disk cannot take says "disk full" and how much it wrote.
    void fullVolume()
    {
        const QString base = m_dir.path() + "/full";
        QVERIFY(QDir().mkpath(base));
        ServerHarness peer(false);
        peer.server->setAcl({share(kShareUuid, base, rw)});
        const auto file = peer.open(base + "/f", FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(peer.write(file.handle, 0, "start").status, std::uint8_t(0));
        const VfsFenuCommand far = peer.write(file.handle, std::uint64_t(8) << 40, "x", FSO_WRITE_EXTEND);
        QCOMPARE(far.status, std::uint8_t(FSO_STATUS_DISK_FULL));
        QCOMPARE(sizeOf(base + "/f"), qint64(5));
        QCOMPARE(peer.write(file.handle, 1 << 20, "y", FSO_WRITE_EXTEND).status, std::uint8_t(0));
        QCOMPARE(peer.close(file.handle), std::uint8_t(0));

        QTemporaryDir small;
        if (::mount("nusk-full", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP("cannot mount a small tmpfs here: the short write on a full disk is not checked");
        peer.server->setAcl({share(kShareUuid, small.path(), rw)});
        const auto onSmall = peer.open(small.path() + "/f", FSO_OPEN_WRITE);
        QCOMPARE(onSmall.status, std::uint8_t(0));
        const QByteArray block(60000, 'z');
        VfsFenuCommand reply;
        std::uint64_t offset = 0;
        for (int i = 0; i < 10; ++i) {
            reply = peer.write(onSmall.handle, offset, block);
            if (reply.status != 0)
                break;
            offset += block.size();
        }
        QCOMPARE(reply.status, std::uint8_t(FSO_STATUS_DISK_FULL));
        QVERIFY(reply.dataSize < std::uint32_t(block.size()));
        QCOMPARE(sizeOf(small.path() + "/f"), qint64(offset + reply.dataSize));
        peer.close(onSmall.handle);
        ::umount2(QFile::encodeName(small.path()).constData(), MNT_DETACH);
    }
};

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_serverlimits.moc"

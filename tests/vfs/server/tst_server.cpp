// The file server over a real temporary tree, every request encoded, decoded by the parser
// and answered the way a peer would see it.

#include "tst_serverharness.h"
#include "testutil_closefails.h"

#include "vfs/server/vfsaccess.h"
#include "vfs/server/vfsserverjobs.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString kShareUuid = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
const QString kDataUuid = QStringLiteral("{22222222-2222-2222-2222-222222222222}");
const QString kDriveUuid = QStringLiteral("{33333333-3333-3333-3333-333333333333}");

PeerAclDto entry(const QString &uuid, const QString &name, const QString &selector, quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = uuid;
    acl.name = name;
    acl.selector = selector;
    acl.flags = flags;
    acl.timestamp = QDateTime::fromSecsSinceEpoch(1700000000);
    return acl;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool link(const QString &target, const QString &path)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

QStringList names(const std::vector<VfsDirectoryEntry> &entries)
{
    QStringList out;
    for (const VfsDirectoryEntry &e : entries)
        out << e.name;
    return out;
}

// Root opens every folder whatever its mode. This thread, and the pool threads started from
// it from now on, give that up while the object lives (nothing changes for other users).
class WithoutDacOverride
{
public:
    WithoutDacOverride()
    {
        QThreadPool::globalInstance()->waitForDone();   // pool threads are made anew, from here
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        m_header.pid = 0;
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_changed = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutDacOverride()
    {
        QThreadPool::globalInstance()->waitForDone();
        if (m_changed)
            ::syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_changed = false;
};

// Holds the global thread pool at one busy thread, so jobs the server starts wait in its
// queue until release(): what a peer gets by keeping the pool busy with its own hashes.
class PoolBlocker
{
public:
    PoolBlocker()
    {
        QThreadPool *pool = QThreadPool::globalInstance();
        pool->waitForDone();
        m_oldMax = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        QtConcurrent::run([this]() {
            m_started.release();
            m_release.acquire();
        });
        m_started.acquire();
    }
    ~PoolBlocker()
    {
        release();
        QThreadPool::globalInstance()->waitForDone();
        QThreadPool::globalInstance()->setMaxThreadCount(m_oldMax);
    }
    void release()
    {
        if (!m_released)
            m_release.release();
        m_released = true;
    }

private:
    QSemaphore m_started, m_release;
    int m_oldMax = 1;
    bool m_released = false;
};

// An open that sets a modification time and, unless `permissions` is -1, a mode.
VfsFenuCommand setTimesAndMode(ServerHarness &h, const QString &path, int permissions, std::uint32_t flags)
{
    VfsFenuCommand cmd = ServerHarness::make(FSO_OPEN_FILE, path, flags);
    cmd.attributes.set(FSO_ATTR_MODIFY_TIME);
    cmd.modifyTime = 1400000000000;
    cmd.permissions = permissions;
    return h.request(cmd);
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

public:
    explicit TestServer(bool privateMounts) : m_privateMounts(privateMounts) {}

private:
    const bool m_privateMounts;
    QTemporaryDir m_dir;
    QString root;

    // root/
    //   share/          rw + sub-paths, selector written with a trailing "/"
    //     a.txt, sub/b.txt, fifo
    //     link_out -> root/secret, dirlink_out -> root/secretdir, link_in -> share/sub
    //     dangling -> root/nowhere
    //   data/r.txt      read + sub-paths
    //   database/y.txt  not shared: "data" must not grant it
    //   nested/         rw + sub-paths; nested/inner read + sub-paths
    //   single.txt      read, exact only
    //   secret, secretdir/s.txt
    void buildTree()
    {
        root = m_dir.path();
        QVERIFY(writeFile(root + "/share/a.txt", "alpha"));
        QVERIFY(writeFile(root + "/share/sub/b.txt", "beta"));
        QVERIFY(::mkfifo(QFile::encodeName(root + "/share/fifo").constData(), 0644) == 0);
        QVERIFY(writeFile(root + "/secret", "secret"));
        QVERIFY(writeFile(root + "/secretdir/s.txt", "secret too"));
        QVERIFY(link(root + "/secret", root + "/share/link_out"));
        QVERIFY(link(root + "/secretdir", root + "/share/dirlink_out"));
        QVERIFY(link(root + "/share/sub", root + "/share/link_in"));
        QVERIFY(link(root + "/nowhere", root + "/share/dangling"));
        QVERIFY(writeFile(root + "/data/r.txt", "read me"));
        QVERIFY(writeFile(root + "/database/y.txt", "why"));
        QVERIFY(writeFile(root + "/nested/g.txt", "g"));
        QVERIFY(writeFile(root + "/nested/inner/f.txt", "f"));
        QVERIFY(writeFile(root + "/single.txt", "one"));
    }

    std::vector<PeerAclDto> entries() const
    {
        return {
            entry(kShareUuid, "Shared", root + "/share/", 0x1 | 0x2 | 0x4),
            entry(kDataUuid, "Data", root + "/data", 0x1 | 0x4),
            entry("{44444444-4444-4444-4444-444444444444}", "Nested", root + "/nested", 0x1 | 0x2 | 0x4),
            entry("{55555555-5555-5555-5555-555555555555}", "Inner", root + "/nested/inner", 0x1 | 0x4),
            entry("{66666666-6666-6666-6666-666666666666}", "Single", root + "/single.txt", 0x1),
            // Never matches: a selector with ".." is not a clean path.
            entry("{77777777-7777-7777-7777-777777777777}", "Sneaky", root + "/share/../secretdir", 0x1 | 0x2 | 0x4),
            entry(kDriveUuid, "Drive", root + "/drive", 0x1 | 0x8),
        };
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        buildTree();
    }

    // Every access rule a remote peer meets, over the real tree.
    void remoteAccessMatrix()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        const QString s = root + "/share";
        const std::uint32_t R = FSO_OPEN_READ, W = FSO_OPEN_WRITE;

        struct Case
        {
            const char *what;
            QString path;
            std::uint32_t flags;
            std::uint8_t status;
        };
        const QString nul = s + QStringLiteral("/a.txt") + QChar(0) + QStringLiteral("/../x");
        const Case opens[] = {
            {"read inside share", s + "/a.txt", R, 0},
            {"read below share", s + "/sub/b.txt", R, 0},
            {"read through inner link", s + "/link_in/b.txt", R, 0},
            {"read-only entry", root + "/data/r.txt", R, 0},
            {"write on read-only entry", root + "/data/r.txt", W, 4},
            {"prefix without boundary", root + "/database/y.txt", R, 4},
            {"unshared file", root + "/secret", R, 4},
            {"link out of the share", s + "/link_out", R, 4},
            {"through dir link out of the share", s + "/dirlink_out/s.txt", R, 4},
            {"create through dir link out", s + "/dirlink_out/new.txt", W, 4},
            {"create through dangling link", s + "/dangling", W, 4},
            {"dot-dot", s + "/../secret", R, 2},
            {"dot", s + "/./a.txt", R, 2},
            {"empty part", s + "//a.txt", R, 2},
            {"NUL", nul, R, 2},
            {"relative", "share/a.txt", R, 2},
            {"empty", QString(), R, 2},
            {"selector with dot-dot never matches", root + "/secretdir/s.txt", R, 4},
            {"longest selector wins: inner is read-only", root + "/nested/inner/f.txt", W, 4},
            {"outer entry still writes", root + "/nested/g.txt", W, 0},
            {"exact entry covers itself", root + "/single.txt", R, 0},
            {"exact entry is read-only", root + "/single.txt", W, 4},
            {"case-sensitive", root + "/SHARE/a.txt", R, 4},
            {"%shares path", "%shares/" + kShareUuid + "/a.txt", R, 0},
            {"%shares with dot-dot", "%shares/" + kShareUuid + "/../secret", R, 2},
            {"%shares link out", "%shares/" + kShareUuid + "/link_out", R, 4},
            {"%shares unknown uuid", "%shares/{99999999-9999-9999-9999-999999999999}/a.txt", R, 3},
            {"FIFO is never opened", s + "/fifo", R, 1},
            {"directory is never opened", s + "/sub", R, 1},
        };
        for (const Case &c : opens) {
            const ServerHarness::Opened opened = h.open(c.path, c.flags);
            QVERIFY2(opened.status == c.status,
                     qPrintable(QStringLiteral("%1: status %2").arg(c.what).arg(opened.status)));
            if (opened.status == 0)
                QCOMPARE(h.close(opened.handle), std::uint8_t(0));
            else
                QCOMPARE(opened.handle, std::uint16_t(0));
        }
        QVERIFY(!exists(root + "/secretdir/new.txt"));
        QVERIFY(!exists(root + "/nowhere"));
        QCOMPARE(h.open(s + "/sub/new.txt", W).status, std::uint8_t(0));
        QVERIFY(exists(s + "/sub/new.txt"));

        // Listings are checked like every other request; nothing is watched on refusal.
        QCOMPARE(h.list(root).status, std::uint8_t(4));
        QCOMPARE(h.list(root + "/database").status, std::uint8_t(4));
        QCOMPARE(h.list(s + "/dirlink_out").status, std::uint8_t(4));
        QCOMPARE(h.list(s + "/sub/..").status, std::uint8_t(2));
        QCOMPARE(h.list(s + "/a.txt").status, std::uint8_t(5));
        QCOMPARE(h.list(s + "/missing").status, std::uint8_t(3));
        ServerHarness::Listing sub = h.list("%shares/" + kShareUuid + "/sub");
        QCOMPARE(sub.status, std::uint8_t(0));
        QCOMPARE(sub.lastStatus, std::uint8_t(8));
        QVERIFY(names(sub.entries).contains("b.txt"));
        QCOMPARE(h.list("%shares/" + kShareUuid + "/sub/../..").status, std::uint8_t(2));

        // A link in a listing says nothing about a target outside the share.
        ServerHarness::Listing top = h.list(s);
        QCOMPARE(top.lastStatus, std::uint8_t(8));
        for (const VfsDirectoryEntry &e : top.entries) {
            if (e.name == "link_out" || e.name == "dirlink_out") {
                QCOMPARE(e.type, FSO_ENTRY_LINK);
                QVERIFY(e.linkTarget.isEmpty());
            }
            if (e.name == "link_in") {
                QCOMPARE(e.linkTarget, QFileInfo(s + "/sub").canonicalFilePath());
                QCOMPARE(e.linkTargetType, FSO_ENTRY_DIRECTORY);
            }
            QVERIFY(e.name != "fifo"); // system entries only when asked for
        }

        // Making directories.
        QCOMPARE(h.makeDirectory(s + "/dirlink_out/made").status, std::uint8_t(4));
        QVERIFY(!exists(root + "/secretdir/made"));
        QCOMPARE(h.makeDirectory(s + "/made/deeper").status, std::uint8_t(0));
        QVERIFY(QFileInfo(s + "/made/deeper").isDir());
        QCOMPARE(h.makeDirectory(root + "/data/made").status, std::uint8_t(4));

        // Deleting: never the share root, however it is spelled.
        QCOMPARE(h.remove(s), std::uint8_t(4));
        QCOMPARE(h.remove(s + "/"), std::uint8_t(4));
        QCOMPARE(h.remove(s + "/."), std::uint8_t(2));
        QCOMPARE(h.remove("%shares/" + kShareUuid), std::uint8_t(4));
        QCOMPARE(h.remove(root + "/data/r.txt"), std::uint8_t(4));
        QCOMPARE(h.remove(root + "/database/y.txt"), std::uint8_t(4));
        QCOMPARE(h.remove(s + "/missing.txt"), std::uint8_t(3));
        // Links go themselves, never what they point at.
        QCOMPARE(h.remove(s + "/link_out"), std::uint8_t(0));
        QCOMPARE(h.remove(s + "/dirlink_out"), std::uint8_t(0));
        QVERIFY(!exists(s + "/link_out"));
        QCOMPARE(readFile(root + "/secret"), QByteArray("secret"));
        QVERIFY(exists(root + "/secretdir/s.txt"));
        QCOMPARE(h.remove(s + "/made"), std::uint8_t(0));
        QVERIFY(!exists(s + "/made"));
        QVERIFY(QFileInfo(s).isDir());

        // Moving: write access on both sides, and never a share root.
        QCOMPARE(h.move(s + "/a.txt", root + "/data/a.txt"), std::uint8_t(4));
        QCOMPARE(h.move(s + "/a.txt", root + "/secretdir/a.txt"), std::uint8_t(4));
        QCOMPARE(h.move(s, root + "/nested/share"), std::uint8_t(4));
        QCOMPARE(h.move(s + "/sub/new.txt", root + "/nested/new.txt"), std::uint8_t(0));
        QVERIFY(exists(root + "/nested/new.txt"));
        QCOMPARE(h.move(s + "/sub/../a.txt", s + "/x.txt"), std::uint8_t(2));

        // Times only need write access.
        QCOMPARE(h.openWithTimes(root + "/data/r.txt", 0, FSO_ATTR_MODIFY_TIME, 0, 1600000000000).status,
                 std::uint8_t(4));
        QCOMPARE(h.undecodable, 0);
    }

    // The local computer's own peer is not checked, but links and drives are still safe.
    void localPeerLimits()
    {
        ServerHarness h(true);
        QCOMPARE(h.open(root + "/secret", FSO_OPEN_READ).status, std::uint8_t(0));
        QCOMPARE(h.open(root + "/share/fifo", FSO_OPEN_READ).status, std::uint8_t(1));
        QCOMPARE(h.open(root + "/share/fifo", FSO_OPEN_WRITE).status, std::uint8_t(1));
        QCOMPARE(h.open(root + "/share/../secret", FSO_OPEN_READ).status, std::uint8_t(2));

        QVERIFY(link(root + "/secretdir", root + "/locallink"));
        QCOMPARE(h.remove(root + "/locallink"), std::uint8_t(0));
        QVERIFY(exists(root + "/secretdir/s.txt"));

        // A drive root is never deleted.
        QVERIFY(vfsserverfs::isMountPoint("/"));
        QVERIFY(vfsserverfs::isMountPoint("/proc"));
        QVERIFY(!vfsserverfs::isMountPoint(root + "/secretdir"));
        QCOMPARE(h.remove("/proc"), std::uint8_t(4));
    }

    void sharesRootListing()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        ServerHarness::Listing shares = h.list("%shares");
        QCOMPARE(shares.status, std::uint8_t(0));
        QCOMPARE(shares.lastStatus, std::uint8_t(8));
        // Drive entries, unclean selectors and missing selectors are left out.
        QCOMPARE(names(shares.entries), QStringList({"Shared", "Data", "Nested", "Inner", "Single"}));
        const VfsDirectoryEntry &shared = shares.entries[0];
        QCOMPARE(shared.type, FSO_ENTRY_SHARE);
        QCOMPARE(shared.linkTarget, kShareUuid);
        QCOMPARE(shared.linkTargetType, FSO_ENTRY_DIRECTORY);
        QCOMPARE(shares.entries[4].linkTargetType, FSO_ENTRY_FILE);
        // Read-only shares do not look writable.
        QVERIFY(shared.mode & FSO_MODE_WRITABLE);
        QVERIFY(!(shares.entries[1].mode & FSO_MODE_WRITABLE));

        // The local peer sees plain entries.
        ServerHarness local(true);
        local.server->setAcl(entries());
        ServerHarness::Listing plain = local.list("%shares");
        QCOMPARE(plain.entries.size(), std::size_t(5));
        QCOMPARE(plain.entries[0].name, QString("share"));
        QCOMPARE(plain.entries[0].type, FSO_ENTRY_DIRECTORY);

        // Nothing shared: an empty root.
        ServerHarness none(false);
        ServerHarness::Listing empty = none.list("%shares");
        QCOMPARE(empty.status, std::uint8_t(0));
        QCOMPARE(empty.lastStatus, std::uint8_t(8));
        QVERIFY(empty.entries.empty());
    }

    void deleteNotifiesParentAndAclChanges()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        QVERIFY(ServerHarness::waitUntil([&]() { return h.notifications.size() >= 2; }));
        QCOMPARE(QString::fromStdString(h.notifications[0].path), QString("%shares"));
        QCOMPARE(QString::fromStdString(h.notifications[1].path), QString("%drives"));
        QCOMPARE(h.notifications[0].trId, std::uint16_t(0));
        QCOMPARE(h.notifications[1].trId, std::uint16_t(1));
        h.notifications.clear();
        h.server->setAcl(entries()); // unchanged: nothing
        QVERIFY(writeFile(root + "/share/del1.txt", "x"));
        QVERIFY(writeFile(root + "/share/deldir/x/y.txt", "y"));

        QCOMPARE(h.remove("%shares/" + kShareUuid + "/del1.txt"), std::uint8_t(0));
        QVERIFY(ServerHarness::waitUntil([&]() { return !h.notifications.empty(); }));
        QCOMPARE(QString::fromStdString(h.notifications.front().path), "%shares/" + kShareUuid);
        h.notifications.clear();

        QCOMPARE(h.remove(root + "/share/deldir"), std::uint8_t(0));
        QVERIFY(!exists(root + "/share/deldir"));
        QVERIFY(ServerHarness::waitUntil([&]() { return !h.notifications.empty(); }));
        QCOMPARE(QString::fromStdString(h.notifications.front().path), root + "/share");
        h.notifications.clear();

        // Changes the peer may not know of are not told; a shared folder's are told by its
        // path and by its share's name, through which the peer may be showing it.
        h.server->directoryChanged(root + "/secretdir");
        h.server->directoryChanged(root + "/database");
        h.server->directoryChanged(root + "/data/sub");
        QCOMPARE(h.notifications.size(), std::size_t(2));
        QCOMPARE(QString::fromStdString(h.notifications[0].path), root + "/data/sub");
        QCOMPARE(QString::fromStdString(h.notifications[1].path), "%shares/" + kDataUuid + "/sub");
        QCOMPARE(h.notifications[1].trId, std::uint16_t(h.notifications[0].trId + 1));
        h.notifications.clear();
        // Once the entry is gone, neither name is told.
        std::vector<PeerAclDto> fewer = entries();
        fewer.erase(std::remove_if(fewer.begin(), fewer.end(), [](const PeerAclDto &e) { return e.uuid == kDataUuid; }),
                    fewer.end());
        h.server->setAcl(fewer);
        QVERIFY(ServerHarness::waitUntil([&]() { return h.notifications.size() >= 2; }));
        h.notifications.clear();
        h.server->directoryChanged(root + "/data/sub");
        h.server->directoryChanged("%shares/" + kDataUuid + "/sub");
        QVERIFY(h.notifications.empty());
    }

    // With 0x4 a folder goes only when it is empty; whatever it holds keeps it (status 1),
    // files and links go as usual, the trash ignores the bit, and 0x2 alone still removes a
    // folder with everything in it.
    void deleteOnlyEmptyFolders()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        const QString base = root + "/share/only";
        const std::uint32_t onlyEmpty = FSO_DELETE_PERMANENT | FSO_DELETE_ONLY_EMPTY;
        QVERIFY(QDir().mkpath(base + "/empty"));
        QVERIFY(writeFile(base + "/full/deep/x.txt", "x"));
        QVERIFY(writeFile(base + "/f.txt", "f"));
        QVERIFY(QDir().mkpath(base + "/odd"));
        {
            // a name that is not valid text: no listing carries it, yet it fills the folder
            const QByteArray odd = QFile::encodeName(base) + "/odd/bad\xff";
            const int fd = ::open(odd.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        QVERIFY(link(base + "/full", base + "/dirlink"));

        QCOMPARE(h.remove(base + "/empty", onlyEmpty), std::uint8_t(0));
        QVERIFY(!exists(base + "/empty"));
        QCOMPARE(h.remove(base + "/full", onlyEmpty), std::uint8_t(1));
        QCOMPARE(h.remove(base + "/full/deep", onlyEmpty), std::uint8_t(1));
        QCOMPARE(h.remove(base + "/odd", onlyEmpty), std::uint8_t(1));
        QVERIFY(exists(base + "/full/deep/x.txt"));
        QCOMPARE(h.remove(base + "/dirlink", onlyEmpty), std::uint8_t(0));
        QVERIFY(exists(base + "/full/deep/x.txt"));
        QCOMPARE(h.remove(base + "/f.txt", onlyEmpty), std::uint8_t(0));
        QVERIFY(!exists(base + "/f.txt"));
        QCOMPARE(h.remove(base + "/gone", onlyEmpty), std::uint8_t(3));

        QCOMPARE(h.remove(base + "/full", FSO_DELETE_PERMANENT), std::uint8_t(0));
        QVERIFY(!exists(base + "/full"));

        QTemporaryDir xdg;
        const QByteArray old = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdg.path() + "/data"));
        ServerHarness local(true);
        QCOMPARE(local.remove(base + "/odd", FSO_DELETE_TO_TRASH | FSO_DELETE_ONLY_EMPTY), std::uint8_t(0));
        QVERIFY(!exists(base + "/odd"));
        QVERIFY(exists(xdg.path() + "/data/Trash/files/odd"));
        qputenv("XDG_DATA_HOME", old);
    }

    // "Not found" says that the name is gone from its folder, and nothing else: a folder on
    // the way that is gone or is a file, a name the file system cannot look at, a share the
    // peer no longer has: the item may still be there, and the delete says it failed.
    void deleteSaysNotFoundOnlyForTheNameItself()
    {
        const QString base = root + "/share/notfound";
        QVERIFY(writeFile(base + "/moved/a.txt", "a"));
        QVERIFY(writeFile(base + "/plain.txt", "p"));
        QVERIFY(QDir().rename(base + "/moved", base + "/renamed"));
        for (const bool local : {false, true}) {
            ServerHarness h(local);
            h.server->setAcl(entries());
            QCOMPARE(h.remove(base + "/none.txt", FSO_DELETE_PERMANENT), std::uint8_t(FSO_STATUS_NOT_FOUND));
            QCOMPARE(h.remove(base + "/none", FSO_DELETE_PERMANENT | FSO_DELETE_ONLY_EMPTY),
                     std::uint8_t(FSO_STATUS_NOT_FOUND));
            QCOMPARE(h.remove(base + "/moved/a.txt", FSO_DELETE_PERMANENT), std::uint8_t(FSO_STATUS_IO_ERROR));
            QCOMPARE(h.remove(base + "/plain.txt/a.txt", FSO_DELETE_PERMANENT), std::uint8_t(FSO_STATUS_IO_ERROR));
            QCOMPARE(h.remove("%shares/{99999999-9999-9999-9999-999999999999}/a.txt", FSO_DELETE_PERMANENT),
                     std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        }
        // Only this computer's own user reaches a name longer than the file system takes.
        ServerHarness local(true);
        QCOMPARE(local.remove(base + "/" + QString(300, QLatin1Char('n')), FSO_DELETE_PERMANENT),
                 std::uint8_t(FSO_STATUS_IO_ERROR));
        QVERIFY(exists(base + "/renamed/a.txt") && exists(base + "/plain.txt"));
    }

    void trashStatuses()
    {
        QTemporaryDir xdg;
        const QByteArray old = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdg.path() + "/data"));
        ServerHarness h(true);
        QVERIFY(writeFile(root + "/trash/t.txt", "t"));
        QCOMPARE(h.remove(root + "/trash/t.txt", FSO_DELETE_TO_TRASH), std::uint8_t(0));
        QVERIFY(!exists(root + "/trash/t.txt"));
        QVERIFY(exists(xdg.path() + "/data/Trash/files/t.txt"));

        // A trash that cannot be used answers 14, the one status the delete job asks about.
        QVERIFY(writeFile(xdg.path() + "/blocker", "file"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdg.path() + "/blocker/data"));
        QVERIFY(writeFile(root + "/trash/u.txt", "u"));
        QCOMPARE(h.remove(root + "/trash/u.txt", FSO_DELETE_TO_TRASH), std::uint8_t(14));
        QVERIFY(exists(root + "/trash/u.txt"));
        qputenv("XDG_DATA_HOME", old);
    }

    // Opens wait for the pool like reads: one asked before the link dropped leaves no handle
    // behind once it has run; the file it made is there for a later open.
    void openOnThePoolAfterLinkDrop()
    {
        ServerHarness h(true);
        const QString d = root + "/opens";
        QVERIFY(QDir().mkpath(d));
        {
            PoolBlocker pool;
            const std::uint16_t trId = h.post(ServerHarness::make(FSO_OPEN_FILE, d + "/new.txt", FSO_OPEN_WRITE));
            h.server->linkDropped();
            pool.release();
            QCOMPARE(h.take(FSO_OPEN_FILE, trId).status, FSO_STATUS_IO_ERROR);
        }
        QCOMPARE(h.server->openFileCount(), 0);
        const ServerHarness::Opened opened = h.open(d + "/new.txt", FSO_OPEN_READ);
        QCOMPARE(opened.status, FSO_STATUS_SUCCESS);
        QCOMPARE(h.server->openFileCount(), 1);
    }

    // SYNC writes out the file system of a folder the peer may write to, on the pool; a
    // folder it may only read, or not reach at all, is refused without a flush.
    void syncNeedsWriteAccess()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        auto sync = [&](const QString &path) { return h.request(ServerHarness::make(FSO_SYNC, path)).status; };
        const quint64 before = vfsserverfs::syncCount();
        QCOMPARE(sync(root + "/share/sub"), FSO_STATUS_SUCCESS);
        QCOMPARE(vfsserverfs::syncCount(), before + 1);
        QCOMPARE(sync(root + "/data"), FSO_STATUS_NOT_PERMITTED);
        QCOMPARE(sync(root + "/secretdir"), FSO_STATUS_NOT_PERMITTED);
        QVERIFY(link(root + "/secretdir", root + "/share/sync_out"));
        QCOMPARE(sync(root + "/share/sync_out"), FSO_STATUS_NOT_PERMITTED);
        QCOMPARE(sync(root + "/share/missing"), FSO_STATUS_NOT_FOUND);
        QCOMPARE(vfsserverfs::syncCount(), before + 1);
    }

    void moveStatuses()
    {
        ServerHarness h(true);
        const QString m = root + "/move";
        QVERIFY(writeFile(m + "/a.txt", "A"));
        QVERIFY(writeFile(m + "/b.txt", "B"));
        QVERIFY(writeFile(m + "/dir/c.txt", "C"));
        QVERIFY(writeFile(m + "/full/d.txt", "D"));
        QVERIFY(::link(QFile::encodeName(m + "/a.txt").constData(), QFile::encodeName(m + "/hard.txt").constData()) == 0);

        QCOMPARE(h.move(QString(), m + "/x"), std::uint8_t(2));
        QCOMPARE(h.move(m + "/a.txt", QString()), std::uint8_t(2));
        QCOMPARE(h.move(m + "/missing", m + "/x"), std::uint8_t(3));
        QCOMPARE(h.move(m + "/a.txt", m + "/a.txt"), std::uint8_t(9));
        QCOMPARE(h.move(m + "/a.txt", m + "/a.txt/"), std::uint8_t(9));
        // Two names of one file: rename(2) would keep both and say it worked.
        QCOMPARE(h.move(m + "/hard.txt", m + "/a.txt"), std::uint8_t(9));
        QVERIFY(exists(m + "/hard.txt"));
        QCOMPARE(h.move(m + "/a.txt", m + "/b.txt", FSO_MOVE_NO_REPLACE), std::uint8_t(15));
        QCOMPARE(readFile(m + "/b.txt"), QByteArray("B"));
        // Replacing is one atomic rename.
        QCOMPARE(h.move(m + "/a.txt", m + "/b.txt"), std::uint8_t(0));
        QCOMPARE(readFile(m + "/b.txt"), QByteArray("A"));
        QVERIFY(!exists(m + "/a.txt"));
        QCOMPARE(h.move(m + "/b.txt", m + "/dir/b.txt", FSO_MOVE_SAME_VOLUME), std::uint8_t(0));
        // A non-empty directory is never removed to make room.
        QCOMPARE(h.move(m + "/dir", m + "/full"), std::uint8_t(1));
        QCOMPARE(readFile(m + "/full/d.txt"), QByteArray("D"));
        QCOMPARE(h.move(m + "/dir", m + "/nowhere/dir"), std::uint8_t(1));

        // Across file systems when a second one is at hand.
        struct stat tmpSt, shmSt;
        if (::stat(QFile::encodeName(root).constData(), &tmpSt) == 0 && ::stat("/dev/shm", &shmSt) == 0
            && tmpSt.st_dev != shmSt.st_dev && QFileInfo("/dev/shm").isWritable()) {
            QTemporaryDir other("/dev/shm/tst_server-XXXXXX");
            QVERIFY(other.isValid());
            QCOMPARE(h.move(m + "/dir", other.path() + "/dir", FSO_MOVE_SAME_VOLUME), std::uint8_t(16));
            QVERIFY(link("c.txt", m + "/dir/clink"));
            QCOMPARE(h.move(m + "/dir", other.path() + "/dir"), std::uint8_t(0));
            QVERIFY(!exists(m + "/dir"));
            QCOMPARE(readFile(other.path() + "/dir/b.txt"), QByteArray("A"));
            QCOMPARE(QFileInfo(other.path() + "/dir/clink").symLinkTarget(), other.path() + "/dir/c.txt");
        }
    }

    void openAndCloseStatuses()
    {
        ServerHarness h(false);
        const QString o = root + "/open";
        QVERIFY(writeFile(o + "/exists.txt", "0123456789"));
        h.server->setAcl({entry(kShareUuid, "Open", o, 0x1 | 0x2 | 0x4)});

        QCOMPARE(h.open(o + "/missing.txt", FSO_OPEN_READ).status, std::uint8_t(3));
        QCOMPARE(h.open(o + "/exists.txt", 0).status, std::uint8_t(2));
        QCOMPARE(h.open(o + "/exists.txt", FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE).status, std::uint8_t(15));
        QCOMPARE(h.open(o + "/exists.txt", FSO_OPEN_READ | FSO_OPEN_EXCLUSIVE).status, std::uint8_t(15));
        QCOMPARE(readFile(o + "/exists.txt"), QByteArray("0123456789"));
        const ServerHarness::Opened created = h.open(o + "/new.txt", FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE);
        QCOMPARE(created.status, std::uint8_t(0));
        QVERIFY(created.handle != 0);
        // An exclusive create never goes through a link, even a dangling one.
        QVERIFY(link(o + "/target.txt", o + "/dangling"));
        QCOMPARE(h.open(o + "/dangling", FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE).status, std::uint8_t(4));
        ServerHarness local(true);
        QCOMPARE(local.open(o + "/dangling", FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE).status, std::uint8_t(15));
        QVERIFY(!exists(o + "/target.txt"));

        // Read-write keeps the content; write-only empties it; truncate cuts to the size.
        const ServerHarness::Opened rw = h.open(o + "/exists.txt", FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(rw.status, std::uint8_t(0));
        QCOMPARE(QByteArray((const char *)h.read(rw.handle, 0, 100).data.data(), 10), QByteArray("0123456789"));
        QCOMPARE(h.close(rw.handle), std::uint8_t(0));
        const ServerHarness::Opened cut = h.openWithTimes(o + "/exists.txt", FSO_OPEN_READ | FSO_OPEN_WRITE | FSO_OPEN_TRUNCATE,
                                                          FSO_ATTR_SIZE, 0, 0, 4);
        QCOMPARE(cut.status, std::uint8_t(0));
        QCOMPARE(h.close(cut.handle), std::uint8_t(0));
        QCOMPARE(readFile(o + "/exists.txt"), QByteArray("0123"));

        // CLOSE_FILE with flags is refused and the file stays open.
        const ServerHarness::Opened r = h.open(o + "/exists.txt", FSO_OPEN_READ);
        QCOMPARE(h.close(r.handle, 1), std::uint8_t(2));
        QCOMPARE(h.read(r.handle, 0, 4).status, std::uint8_t(7));
        QCOMPARE(h.close(r.handle), std::uint8_t(0));
        QCOMPARE(h.close(r.handle), std::uint8_t(3));
        QCOMPARE(h.read(r.handle, 0, 4).status, std::uint8_t(13));

        // 256 open files at most; the 257th gives 1; a handle is never given twice.
        QCOMPARE(h.close(created.handle), std::uint8_t(0));
        QSet<std::uint16_t> handles;
        std::vector<std::uint16_t> opened;
        for (int i = 0; i < 256; ++i) {
            const ServerHarness::Opened f = h.open(o + "/exists.txt", FSO_OPEN_READ);
            QCOMPARE(f.status, std::uint8_t(0));
            QVERIFY(!handles.contains(f.handle));
            handles.insert(f.handle);
            opened.push_back(f.handle);
        }
        QCOMPARE(h.open(o + "/exists.txt", FSO_OPEN_READ).status, std::uint8_t(1));
        QCOMPARE(h.open(o + "/other.txt", FSO_OPEN_WRITE).status, std::uint8_t(1));
        QVERIFY(!exists(o + "/other.txt"));
        for (std::uint16_t handle : opened)
            QCOMPARE(h.close(handle), std::uint8_t(0));

        // Handle numbers wrap from 65535 to 1 and skip numbers still open.
        h.server->setLastHandle(65534);
        const ServerHarness::Opened last = h.open(o + "/exists.txt", FSO_OPEN_READ);
        QCOMPARE(last.handle, std::uint16_t(65535));
        const ServerHarness::Opened first = h.open(o + "/exists.txt", FSO_OPEN_READ);
        QCOMPARE(first.handle, std::uint16_t(1));
        h.server->setLastHandle(65534);
        QCOMPARE(h.open(o + "/exists.txt", FSO_OPEN_READ).handle, std::uint16_t(2));
        QCOMPARE(h.server->openFileCount(), 3);
    }

    // A file system that reports a write error when a written file is closed, as NFS and FUSE
    // report a write-back: CLOSE_FILE answers it, and so does a WRITE_FILE that closes its
    // file; a file that closes well, or one only read, answers success.
    void closeThatFailsIsAnError()
    {
        if (!testutil::CloseFailsMount::possible())
            QSKIP("no /dev/fuse here: a close that fails is not checked");
        testutil::CloseFailsMount fs;
        QString error;
        QVERIFY2(fs.mount(&error), qPrintable(error));
        ServerHarness h(true);
        for (const QString &name : {QStringLiteral("fine.bin"), QStringLiteral("close-fails.bin")}) {
            const std::uint8_t expected = name == QLatin1String("fine.bin") ? FSO_STATUS_SUCCESS : FSO_STATUS_IO_ERROR;
            const QString path = fs.mountPoint() + "/" + name;
            const ServerHarness::Opened written = h.open(path, FSO_OPEN_READ | FSO_OPEN_WRITE);
            QCOMPARE(written.status, std::uint8_t(FSO_STATUS_SUCCESS));
            QCOMPARE(h.write(written.handle, 0, "data").status, std::uint8_t(FSO_STATUS_SUCCESS));
            QCOMPARE(h.close(written.handle), expected);
            const ServerHarness::Opened again = h.open(path, FSO_OPEN_WRITE);
            QCOMPARE(again.status, std::uint8_t(FSO_STATUS_SUCCESS));
            const VfsFenuCommand closing = h.write(again.handle, 0, "more", FSO_WRITE_CLOSE);
            QCOMPARE(closing.status, expected);
            QCOMPARE(closing.dataSize, std::uint32_t(4));
            const ServerHarness::Opened read = h.open(path, FSO_OPEN_READ);
            QCOMPARE(h.close(read.handle), std::uint8_t(FSO_STATUS_SUCCESS));
            QCOMPARE(readFile(fs.backing() + "/" + name), QByteArray("more"));
        }
        QCOMPARE(h.server->openFileCount(), 0);
    }

    // Blocks of one file queued faster than they are written run back to back on one worker:
    // each still answers, in the order asked, and the file holds every block where it was sent;
    // a closing write behind them ends only after all of them.
    void queuedBlocksOfOneFile()
    {
        ServerHarness h(true);
        const QString path = root + "/queued/data.bin";
        QVERIFY(QDir().mkpath(root + "/queued"));
        const ServerHarness::Opened f = h.open(path, FSO_OPEN_READ | FSO_OPEN_WRITE | FSO_OPEN_EXCLUSIVE);
        QCOMPARE(f.status, std::uint8_t(0));
        constexpr int kBlocks = 80;
        QByteArray content(kBlocks * 1000, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char((i * 131) >> 2);
        auto post = [&](std::uint8_t code, std::uint64_t offset, const QByteArray &data, std::uint8_t flags) {
            VfsFenuCommand cmd = ServerHarness::make(code, QString(), flags);
            cmd.handle = f.handle;
            cmd.offset = offset;
            cmd.data.assign(data.begin(), data.end());
            cmd.dataSize = code == FSO_READ_FILE ? 1000u : std::uint32_t(data.size());
            return h.post(cmd);
        };
        std::vector<std::uint16_t> writes, reads;
        for (int b = 0; b < kBlocks - 1; ++b)
            writes.push_back(post(FSO_WRITE_FILE, std::uint64_t(b) * 1000, content.mid(b * 1000, 1000), 0));
        for (int b = 0; b < kBlocks - 1; ++b)
            reads.push_back(post(FSO_READ_FILE, std::uint64_t(b) * 1000, QByteArray(), 0));
        const std::uint16_t last = post(FSO_WRITE_FILE, (kBlocks - 1) * 1000, content.right(1000), FSO_WRITE_CLOSE);
        std::vector<std::uint16_t> asked = writes;
        asked.insert(asked.end(), reads.begin(), reads.end());
        asked.push_back(last);
        QVERIFY(ServerHarness::waitUntil([&] { return h.replies.size() >= asked.size(); }));
        std::vector<std::uint16_t> answered;
        for (const VfsFenuCommand &r : h.replies)
            answered.push_back(r.trId);
        QCOMPARE(answered, asked);
        for (std::uint16_t trId : writes)
            QCOMPARE(h.take(FSO_WRITE_FILE, trId).status, std::uint8_t(0));
        for (int b = 0; b < kBlocks - 1; ++b) {
            const VfsFenuCommand r = h.take(FSO_READ_FILE, reads[std::size_t(b)]);
            QVERIFY(r.status == 0 || r.status == 7);
            QCOMPARE(QByteArray((const char *)r.data.data(), int(r.data.size())), content.mid(b * 1000, 1000));
        }
        QCOMPARE(h.take(FSO_WRITE_FILE, last).status, std::uint8_t(0));
        QTRY_COMPARE(h.server->openFileCount(), 0);
        QCOMPARE(readFile(path), content);
    }

    void readWriteHash()
    {
        ServerHarness h(true);
        const QString path = root + "/rw/data.bin";
        QByteArray content(100000, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char((i * 7919) >> 3);
        QVERIFY(writeFile(path, content));
        const ServerHarness::Opened f = h.open(path, FSO_OPEN_READ | FSO_OPEN_WRITE);
        QCOMPARE(f.status, std::uint8_t(0));

        // READ: at the end 11; the last bytes 7; a full block 0; offsets past INT64_MAX 11.
        QCOMPARE(h.read(f.handle, 100000, 10).status, std::uint8_t(11));
        VfsFenuCommand tail = h.read(f.handle, 99990, 100);
        QCOMPARE(tail.status, std::uint8_t(7));
        QCOMPARE(QByteArray((const char *)tail.data.data(), int(tail.data.size())), content.right(10));
        VfsFenuCommand block = h.read(f.handle, 0, 100000);
        QCOMPARE(block.status, std::uint8_t(0));
        QCOMPARE(block.dataSize, std::uint32_t(FSO_MAX_DATA));
        QCOMPARE(h.read(f.handle, ~0ull, 10).status, std::uint8_t(11));

        // HASH: 64 blocks of 64400 bytes give two digests, the second of the short tail.
        VfsFenuCommand hashes = h.hash(f.handle, 64, 64400, 0);
        QCOMPARE(hashes.status, std::uint8_t(7));
        QCOMPARE(hashes.flags, std::uint32_t(1));
        QCOMPARE(hashes.count, std::uint16_t(2));
        const QByteArray digests((const char *)hashes.data.data(), int(hashes.data.size()));
        QCOMPARE(digests.left(20), QCryptographicHash::hash(content.left(64400), QCryptographicHash::Sha1));
        QCOMPARE(digests.mid(20), QCryptographicHash::hash(content.mid(64400), QCryptographicHash::Sha1));
        // Blocks from an offset; at most 3220 digests in one reply.
        VfsFenuCommand small = h.hash(f.handle, 5000, 10, 1000);
        QCOMPARE(small.status, std::uint8_t(0));
        QCOMPARE(small.count, std::uint16_t(3220));
        QCOMPARE(QByteArray((const char *)small.data.data() + 20, 20),
                 QCryptographicHash::hash(content.mid(1010, 10), QCryptographicHash::Sha1));
        QCOMPARE(h.hash(f.handle, 1, 64400, 100000).status, std::uint8_t(7));
        QCOMPARE(h.hash(f.handle, 1, 64400, 100001).status, std::uint8_t(11));
        // Refused before anything is allocated or read.
        QCOMPARE(h.hash(f.handle, 1, 0, 0).status, std::uint8_t(2));
        QCOMPARE(h.hash(f.handle, 1, 0xFFFFFFFFu, 0).status, std::uint8_t(2));
        QCOMPARE(h.hash(f.handle, 1, 64400, 0x8000000000000001ull).status, std::uint8_t(11));
        VfsFenuCommand noSha = h.hash(f.handle, 1, 64400, 0, 0);
        QCOMPARE(noSha.status, std::uint8_t(14));
        QCOMPARE(noSha.count, std::uint16_t(0));
        QCOMPARE(h.hash(999, 1, 64400, 0).status, std::uint8_t(13));

        // WRITE: past the end only with the extend flag, which fills the gap.
        QCOMPARE(h.write(f.handle, 100010, "xyz").status, std::uint8_t(11));
        VfsFenuCommand written = h.write(f.handle, 100010, "xyz", FSO_WRITE_EXTEND);
        QCOMPARE(written.status, std::uint8_t(0));
        QCOMPARE(written.dataSize, std::uint32_t(3));
        QCOMPARE(h.write(f.handle, 0x7FFFFFFFFFFFFFFFull, "xyz", FSO_WRITE_EXTEND).status, std::uint8_t(11));
        QCOMPARE(h.write(f.handle, 100013, "!", FSO_WRITE_CLOSE).status, std::uint8_t(0));
        QCOMPARE(h.read(f.handle, 0, 1).status, std::uint8_t(13));
        const QByteArray after = readFile(path);
        QCOMPARE(after.size(), 100014);
        QCOMPARE(after.mid(100000, 10), QByteArray(10, '\0'));
        QCOMPARE(after.right(4), QByteArray("xyz!"));

        // Read with close-at-end closes only when the end was reached.
        const ServerHarness::Opened r = h.open(path, FSO_OPEN_READ);
        QCOMPARE(h.read(r.handle, 0, 10, FSO_READ_CLOSE_AT_EOF).status, std::uint8_t(0));
        QCOMPARE(h.read(r.handle, 100004, 10, FSO_READ_CLOSE_AT_EOF).status, std::uint8_t(7));
        QCOMPARE(h.read(r.handle, 0, 10).status, std::uint8_t(13));
        // A read-only handle cannot write.
        const ServerHarness::Opened ro = h.open(path, FSO_OPEN_READ);
        QCOMPARE(h.write(ro.handle, 0, "no").status, std::uint8_t(1));
        QCOMPARE(h.read(ro.handle, 0, 2, FSO_READ_CLOSE).status, std::uint8_t(0));
        QCOMPARE(h.server->openFileCount(), 0);
    }

    void timesAppliedAtClose()
    {
        ServerHarness h(true);
        const QString path = root + "/times/t.txt";
        QVERIFY(writeFile(path, "t"));
        const std::int64_t access = 1500000000123, modify = 1400000000456;
        const ServerHarness::Opened f = h.openWithTimes(path, FSO_OPEN_WRITE,
                                                        FSO_ATTR_ACCESS_TIME | FSO_ATTR_MODIFY_TIME, access, modify);
        QCOMPARE(f.status, std::uint8_t(0));
        QCOMPARE(h.write(f.handle, 0, "written").status, std::uint8_t(0));
        QCOMPARE(h.close(f.handle), std::uint8_t(0));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
        QCOMPARE(std::int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, modify);
        QCOMPARE(std::int64_t(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000, access);

        // Times only: applied at once, status 8; 0 leaves a time as it is.
        QCOMPARE(h.openWithTimes(path, 0, FSO_ATTR_MODIFY_TIME | FSO_ATTR_ACCESS_TIME, 0, 1300000000000).status,
                 std::uint8_t(8));
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
        QCOMPARE(std::int64_t(st.st_mtim.tv_sec), std::int64_t(1300000000));
        QCOMPARE(std::int64_t(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000, access);
        QCOMPARE(h.openWithTimes(root + "/times/missing", 0, FSO_ATTR_MODIFY_TIME, 0, 1300000000000).status,
                 std::uint8_t(1));

        // Protocol version 1 carries no times: nothing is kept.
        ServerHarness v1(true, 1);
        const ServerHarness::Opened g = v1.openWithTimes(path, FSO_OPEN_WRITE, FSO_ATTR_MODIFY_TIME, 0, 1000);
        QCOMPARE(g.status, std::uint8_t(0));
        QCOMPARE(v1.close(g.handle), std::uint8_t(0));
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
        QVERIFY(st.st_mtim.tv_sec > 1300000000);
    }

    void listDirectoryReply()
    {
        ServerHarness h(true);
        QVERIFY(writeFile(root + "/listing/.hidden", "h"));
        QVERIFY(writeFile(root + "/listing/b.txt", "bb"));
        QVERIFY(writeFile(root + "/listing/zdir/x", "x"));
        QVERIFY(writeFile(root + "/listing/adir/x", "x"));
        QVERIFY(::mkfifo(QFile::encodeName(root + "/listing/pipe").constData(), 0644) == 0);

        ServerHarness::Listing l = h.startListing(root + "/listing", 0x1F, FSO_ATTR_ALL | FSO_ATTR_UNUSED_004);
        QCOMPARE(l.status, std::uint8_t(0));
        // The backslash flag is never echoed: names are joined with "/".
        QCOMPARE(l.reply.flags, std::uint32_t(0x17));
        QCOMPARE(l.reply.attributes.value0(), FSO_ATTR_ALL);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(root + "/listing").constData(), &st) == 0);
        QCOMPARE(l.reply.volumeSerial, std::uint64_t(st.st_dev));
        QVERIFY(h.page(l, 0));
        QCOMPARE(l.lastStatus, std::uint8_t(8));
        // Directories first, then the rest.
        QCOMPARE(names(l.entries).mid(0, 2), QStringList({"adir", "zdir"}));
        QStringList rest = names(l.entries).mid(2);
        rest.sort();
        QCOMPARE(rest, QStringList({".hidden", "b.txt", "pipe"}));
        QCOMPARE(l.entries[0].type, FSO_ENTRY_DIRECTORY);
        QVERIFY(::stat(QFile::encodeName(root + "/listing/adir").constData(), &st) == 0);
        QCOMPARE(l.entries[0].fileIndex, std::uint64_t(st.st_ino));
        QCOMPARE(l.entries[0].linkCount, std::uint32_t(st.st_nlink));
        for (const VfsDirectoryEntry &e : l.entries) {
            QCOMPARE(bool(e.hidden), e.name.startsWith('.'));
            if (e.name == "b.txt") {
                QCOMPARE(e.type, FSO_ENTRY_FILE);
                QCOMPARE(e.size, std::uint64_t(2));
                QCOMPARE(e.fileIndex, std::uint64_t(0));
            }
        }

        ServerHarness::Listing plain = h.list(root + "/listing");
        QCOMPARE(names(plain.entries), QStringList({"adir", "zdir", "b.txt"}));
        QCOMPARE(plain.reply.flags, std::uint32_t(0));
    }

    // What a peer could never ask for again is listed as left out under a readable name;
    // a folder that cannot be read is an error, never an empty page.
    void leftOutEntries()
    {
        const QString dir = root + "/leftout";
        QVERIFY(writeFile(dir + "/good.txt", "g"));
        QVERIFY(writeFile(dir + "/locked/inside.txt", "i"));
        QVERIFY(writeFile(dir + "/noenter/hidden-from-stat.txt", "s"));
        const QByteArray bad = QFile::encodeName(dir) + "/bad-\xff\xfe.bin";
        if (QFile::encodeName(QFile::decodeName(QByteArray("bad-\xff\xfe.bin"))) == "bad-\xff\xfe.bin")
            QSKIP("file names are not decoded as UTF-8 here");
        const int fd = ::open(bad.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        ::close(fd);
        QVERIFY(::chmod(QFile::encodeName(dir + "/locked").constData(), 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir + "/noenter").constData(), 0600) == 0);
        WithoutDacOverride unprivileged;

        ServerHarness h(true);
        ServerHarness::Listing l = h.list(dir);
        QCOMPARE(l.lastStatus, std::uint8_t(8));
        QMap<QString, std::uint8_t> types;
        for (const VfsDirectoryEntry &e : l.entries)
            types.insert(e.name, e.type);
        QCOMPARE(types.value("good.txt"), FSO_ENTRY_FILE);
        QCOMPARE(types.value("locked"), FSO_ENTRY_DIRECTORY);
        QCOMPARE(types.value(QStringLiteral("bad-\uFFFD\uFFFD.bin")), FSO_ENTRY_LEFT_OUT);
        QCOMPARE(types.size(), 4);

        QCOMPARE(h.startListing(dir + "/locked").status, std::uint8_t(0));
        QCOMPARE(h.list(dir + "/locked").lastStatus, FSO_STATUS_NOT_PERMITTED);
        ServerHarness::Listing noEnter = h.list(dir + "/noenter");
        QCOMPARE(noEnter.lastStatus, std::uint8_t(8));
        QCOMPARE(noEnter.entries.size(), std::size_t(1));
        QCOMPARE(noEnter.entries[0].type, FSO_ENTRY_LEFT_OUT);
        QCOMPARE(noEnter.entries[0].name, QStringLiteral("hidden-from-stat.txt"));

        // Without the type attribute nothing could mark them: they are not sent at all.
        QCOMPARE(names(h.list(dir, 0, FSO_ATTR_SIZE).entries).size(), 3);
        ::chmod(QFile::encodeName(dir + "/locked").constData(), 0755);
        ::chmod(QFile::encodeName(dir + "/noenter").constData(), 0755);
        ::unlink(bad.constData());   // out of reach of the temporary folder's own clean-up
    }

    // Entries that vanish between pages are skipped without shifting the rest.
    void pagedListingWithDeletions()
    {
        ServerHarness h(true);
        const QString dir = root + "/many";
        QStringList all;
        const QString pad(180, QLatin1Char('n'));
        for (int i = 0; i < 1200; ++i) {
            const QString name = QStringLiteral("%1-%2").arg(i, 4, 10, QLatin1Char('0')).arg(pad);
            QVERIFY(writeFile(dir + "/" + name, QByteArray()));
            all << name;
        }
        ServerHarness::Listing l = h.startListing(dir);
        QCOMPARE(l.status, std::uint8_t(0));
        QVERIFY(h.page(l, 0));
        QCOMPARE(l.lastStatus, std::uint8_t(0));
        const int firstPage = int(l.entries.size());
        QVERIFY(firstPage > 10 && firstPage < 600);

        // Remove some already sent and some still to come, in the next page and beyond.
        QSet<QString> removed;
        for (int i : {0, firstPage - 1, firstPage, firstPage + 1, firstPage + 5, 1100, 1199}) {
            QVERIFY(QFile::remove(dir + "/" + all[i]));
            if (i >= firstPage)
                removed.insert(all[i]);
        }
        int pages = 1;
        while (l.lastStatus == FSO_STATUS_SUCCESS) {
            QVERIFY(h.page(l, std::uint32_t(l.entries.size())));
            ++pages;
        }
        QCOMPARE(l.lastStatus, std::uint8_t(8));
        QVERIFY(pages >= 3);
        QStringList expected;
        for (const QString &name : all) {
            if (!removed.contains(name))
                expected << name;
        }
        QCOMPARE(names(l.entries), expected);

        // The same page asked twice gives the same entries.
        ServerHarness::Listing again = h.startListing(dir);
        QVERIFY(h.page(again, 0));
        const QStringList once = names(again.entries);
        again.entries.clear();
        QVERIFY(h.page(again, 0));
        QCOMPARE(names(again.entries), once);
        // An index this listing never handed out is refused.
        QVERIFY(h.page(again, 7));
        QCOMPARE(again.lastStatus, std::uint8_t(2));
    }

    void listingLimits()
    {
        ServerHarness h(true);
        h.server->setMaxPendingListings(2);
        QCOMPARE(h.startListing(root).status, std::uint8_t(0));
        ServerHarness::Listing second = h.startListing(root);
        QCOMPARE(second.status, std::uint8_t(0));
        QCOMPARE(h.startListing(root).status, std::uint8_t(1));
        QVERIFY(h.page(second, 0));
        QCOMPARE(second.lastStatus, std::uint8_t(8));
        QCOMPARE(h.startListing(root).status, std::uint8_t(0));

        // A listing nobody pages through is dropped; a later page request gets no answer.
        h.server->setMaxPendingListings(8);
        h.server->setListingWait(3, 1);
        ServerHarness::Listing stale = h.startListing(root);
        QCOMPARE(stale.status, std::uint8_t(0));
        QVERIFY(ServerHarness::waitUntil([&]() { return h.server->pendingListingCount() == 0; }));
        VfsFenuCommand query = ServerHarness::make(FSO_QUERY_LIST_DIRECTORY);
        query.trId = stale.reply.trId;
        QCOMPARE(h.post(query), stale.reply.trId);
        QCoreApplication::processEvents();
        QCOMPARE(h.take(FSO_QUERY_LIST_DIRECTORY, stale.reply.trId, 50).status, std::uint8_t(0xFF));
    }

    void idleFilesAllClose()
    {
        ServerHarness h(true);
        QVERIFY(writeFile(root + "/idle/i.txt", "idle"));
        const ServerHarness::Opened a = h.open(root + "/idle/i.txt", FSO_OPEN_READ);
        const ServerHarness::Opened b = h.open(root + "/idle/i.txt", FSO_OPEN_READ);
        const ServerHarness::Opened c = h.open(root + "/idle/i.txt", FSO_OPEN_READ);
        QCOMPARE(h.server->openFileCount(), 3);
        h.server->setIdleClose(0, 5);
        QVERIFY(ServerHarness::waitUntil([&]() { return h.server->openFileCount() == 0; }));
        QCOMPARE(h.read(a.handle, 0, 1).status, std::uint8_t(13));
        QCOMPARE(h.read(b.handle, 0, 1).status, std::uint8_t(13));
        QCOMPARE(h.read(c.handle, 0, 1).status, std::uint8_t(13));
    }

    // A peer that can move things inside its share points a checked path at a folder
    // outside it before the work on that path happens.
    void pathsSwappedAfterTheCheck()
    {
        const QString w = root + "/swap";
        QVERIFY(writeFile(w + "/share/list/mine.txt", "mine"));
        QVERIFY(writeFile(w + "/share/del/victim/keep.txt", "share"));
        QVERIFY(writeFile(w + "/outside/s.txt", "outside"));
        QVERIFY(writeFile(w + "/outside/victim/keep.txt", "outside"));
        QVERIFY(link(w + "/outside", w + "/share/out1"));
        QVERIFY(link(w + "/outside", w + "/share/out2"));
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Swap", w + "/share", 0x1 | 0x2 | 0x4)});
        const QString s = w + "/share";

        // Between LIST_DIRECTORY and its first page the folder becomes a link outward.
        ServerHarness::Listing listing = h.startListing(s + "/list");
        QCOMPARE(listing.status, std::uint8_t(0));
        QCOMPARE(h.move(s + "/list", s + "/list_moved"), std::uint8_t(0));
        QCOMPARE(h.move(s + "/out1", s + "/list"), std::uint8_t(0));
        QVERIFY(h.page(listing, 0));
        QCOMPARE(listing.lastStatus, std::uint8_t(4));
        QVERIFY(listing.entries.empty());

        // A recursive delete waits for a pool thread while its parent becomes a link outward:
        // checked as it runs, it finds the path leads outside.
        {
            PoolBlocker pool;
            const std::uint16_t trId = h.post(ServerHarness::make(FSO_DELETE_FILE, s + "/del/victim"));
            // Renamed from outside: the server's own moves wait for the blocked pool too.
            QVERIFY(QFile::rename(s + "/del", s + "/del_moved"));
            QVERIFY(QFile::rename(s + "/out2", s + "/del"));
            pool.release();
            QCOMPARE(h.take(FSO_DELETE_FILE, trId).status, std::uint8_t(4));
        }
        QCOMPARE(readFile(w + "/outside/victim/keep.txt"), QByteArray("outside"));
        QCOMPARE(readFile(s + "/del_moved/victim/keep.txt"), QByteArray("share"));
        QCOMPARE(h.undecodable, 0);
    }

    // Deleting or moving a folder that holds another shared item's root ends that share.
    void shareRootsInsideAWritableShare()
    {
        const QString n = root + "/holding";
        QVERIFY(writeFile(n + "/mid/ro/file.txt", "ro"));
        QVERIFY(writeFile(n + "/other/x.txt", "x"));
        QVERIFY(link(n + "/other", root + "/holding_alias"));
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Outer", n, 0x1 | 0x2 | 0x4),
                          entry(kDataUuid, "Read-only", n + "/mid/ro", 0x1 | 0x4),
                          // A selector that reaches into the share through a link.
                          entry("{88888888-8888-8888-8888-888888888888}", "Alias", root + "/holding_alias", 0x1 | 0x4)});
        QCOMPARE(h.remove(n + "/mid"), std::uint8_t(4));
        QCOMPARE(h.remove(n + "/mid", FSO_DELETE_TO_TRASH), std::uint8_t(4));
        QCOMPARE(h.move(n + "/mid", n + "/mid2"), std::uint8_t(4));
        QCOMPARE(h.remove(n + "/other"), std::uint8_t(4));
        QCOMPARE(h.move(n + "/other", n + "/other2"), std::uint8_t(4));
        QCOMPARE(readFile(n + "/mid/ro/file.txt"), QByteArray("ro"));
        QCOMPARE(readFile(n + "/other/x.txt"), QByteArray("x"));
        // Beside them everything stays writable.
        QVERIFY(writeFile(n + "/mid/plain.txt", "p"));
        QCOMPARE(h.move(n + "/mid/plain.txt", n + "/plain.txt"), std::uint8_t(0));
        QCOMPARE(h.remove(n + "/plain.txt"), std::uint8_t(0));
    }

    // Nor can a peer with write access lock the owner out of a share by its mode: setting
    // the mode of a shared item's root, a folder holding one, or a shared file it writes is
    // refused; times alone, and modes below the roots, are set.
    void shareRootsKeepTheirModes()
    {
        const QString n = root + "/modes";
        QVERIFY(writeFile(n + "/mid/ro/file.txt", "ro"));
        QVERIFY(writeFile(n + "/plain/x.txt", "x"));
        QVERIFY(writeFile(root + "/modes_file.txt", "shared alone"));
        QVERIFY(link(n, n + "/plain/back"));
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Outer", n, 0x1 | 0x2 | 0x4),
                          entry(kDataUuid, "Read-only", n + "/mid/ro", 0x1 | 0x4),
                          entry("{88888888-8888-8888-8888-888888888888}", "File", root + "/modes_file.txt", 0x1 | 0x2)});
        auto setMode = [&](const QString &path, int permissions, std::uint32_t flags = FSO_OPEN_ATTRIBUTES) {
            return setTimesAndMode(h, path, permissions, flags);
        };
        const mode_t before = modeOf(n);
        QCOMPARE(setMode(n, 0).status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(setMode(n + "/mid", 0).status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        // Through a link inside the share that leads back to its root.
        QCOMPARE(setMode(n + "/plain/back", 0).status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        const VfsFenuCommand opened = setMode(root + "/modes_file.txt", 0, FSO_OPEN_WRITE | FSO_OPEN_ATTRIBUTES);
        QCOMPARE(opened.status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(modeOf(n), before);
        QCOMPARE(modeOf(n + "/mid"), before);
        QVERIFY(modeOf(root + "/modes_file.txt") & S_IRUSR);
        QCOMPARE(readFile(root + "/modes_file.txt"), QByteArray("shared alone"));

        // Times alone on the root, and a mode below it, are the peer's to set.
        QCOMPARE(setMode(n, -1).status, std::uint8_t(FSO_STATUS_COMPLETE));
        QCOMPARE(modeOf(n), before);
        QCOMPARE(setMode(n + "/plain", 0700).status, std::uint8_t(FSO_STATUS_COMPLETE));
        QCOMPARE(modeOf(n + "/plain"), mode_t(0700));
        // The owner's own server sets what it is told.
        ServerHarness local(true);
        VfsFenuCommand own = ServerHarness::make(FSO_OPEN_FILE, n, FSO_OPEN_ATTRIBUTES);
        own.attributes.set(FSO_ATTR_MODIFY_TIME);
        own.modifyTime = 1400000000000;
        own.permissions = 0750;
        QCOMPARE(local.request(own).status, std::uint8_t(FSO_STATUS_COMPLETE));
        QCOMPARE(modeOf(n), mode_t(0750 & ~vfsfiles::userUmask()));
    }

    // The roots are known by the files themselves: a file shared on its own keeps its mode when
    // reached through a hard link inside a writable share, and so does a folder of a writable
    // share mounted as another share's root; the peer's own files beside them do not.
    void shareRootsKeepTheirModesByIdentity_data()
    {
        QTest::addColumn<bool>("mounted");
        QTest::newRow("hard link to a file shared on its own") << false;
        QTest::newRow("folder mounted as another share's root") << true;
    }
    void shareRootsKeepTheirModesByIdentity()
    {
        QFETCH(bool, mounted);
        if (mounted && !m_privateMounts)
            QSKIP("no mount namespace of this test's own to bind a folder in (needs root)");
        const QString n = root + (mounted ? "/identity_mount" : "/identity_link");
        const QString writable = n + "/rw", protectedRoot = mounted ? n + "/rw/inner" : n + "/rw/alone-link.txt";
        const QString otherRoot = mounted ? n + "/mounted" : n + "/alone.txt";
        QVERIFY(writeFile(writable + "/own.txt", "own"));
        if (mounted) {
            QVERIFY(QDir().mkpath(protectedRoot) && QDir().mkpath(otherRoot));
            QCOMPARE(::mount(QFile::encodeName(protectedRoot).constData(), QFile::encodeName(otherRoot).constData(),
                             nullptr, MS_BIND, nullptr),
                     0);
        } else {
            QVERIFY(writeFile(otherRoot, "alone"));
            QCOMPARE(::link(QFile::encodeName(otherRoot).constData(), QFile::encodeName(protectedRoot).constData()), 0);
        }
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(QFile::encodeName(otherRoot).constData(), MNT_DETACH);
        });
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Writable", writable, 0x1 | 0x2 | 0x4),
                          entry(kDataUuid, "Other", otherRoot, 0x1 | 0x2 | (mounted ? 0x4 : 0))});
        auto setMode = [&](const QString &path, int permissions, std::uint32_t flags) {
            return setTimesAndMode(h, path, permissions, flags | FSO_OPEN_ATTRIBUTES).status;
        };
        const mode_t before = modeOf(otherRoot);
        QCOMPARE(setMode(protectedRoot, 0, 0), std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        if (!mounted)
            QCOMPARE(setMode(protectedRoot, 0, FSO_OPEN_WRITE), std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(modeOf(otherRoot), before);
        QCOMPARE(modeOf(protectedRoot), before);
        if (!mounted)
            QCOMPARE(readFile(otherRoot), QByteArray("alone"));
        QCOMPARE(setMode(writable + "/own.txt", 0600, 0), std::uint8_t(FSO_STATUS_COMPLETE));
        QCOMPARE(modeOf(writable + "/own.txt"), mode_t(0600));
    }

    // Nor the shares of other peers: a peer with a writable share sets no mode on another
    // peer's root or a folder holding one, whichever name, hard link or mount it reaches
    // them by, so it cannot lock the owner out of what other computers were given.
    void otherPeersShareRootsKeepTheirModes_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("folder holding another peer's root, through a bind mount") << "holder";
        QTest::newRow("folder holding both peers' roots, through a bind mount") << "both";
        QTest::newRow("hard link to a file a third peer shares") << "file";
    }
    void otherPeersShareRootsKeepTheirModes()
    {
        QFETCH(QString, layout);
        if (layout != "file" && !m_privateMounts)
            QSKIP("no mount namespace of this test's own to bind a folder in (needs root)");
        // top/rw: this peer's writable share; top/ro/root: another peer's read-only one;
        // top/alone.txt: a file shared with a third peer.
        const QString top = root + "/others_" + layout, writable = top + "/rw", otherRoot = top + "/ro/root";
        QVERIFY(writeFile(writable + "/own/x.txt", "own"));
        QVERIFY(writeFile(otherRoot + "/r.txt", "r"));
        QVERIFY(writeFile(top + "/alone.txt", "alone"));
        const QString boundFrom = layout == "holder" ? top + "/ro" : top, mountPoint = writable + "/bound";
        QString target = mountPoint, shared = boundFrom;
        if (layout == "file") {
            target = writable + "/alone-link.txt";
            shared = top + "/alone.txt";
            QCOMPARE(::link(QFile::encodeName(shared).constData(), QFile::encodeName(target).constData()), 0);
        } else {
            QVERIFY(QDir().mkpath(mountPoint));
            QCOMPARE(::mount(QFile::encodeName(boundFrom).constData(), QFile::encodeName(mountPoint).constData(),
                             nullptr, MS_BIND, nullptr),
                     0);
        }
        const auto unmount = qScopeGuard([&] {
            if (layout != "file")
                ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
        });
        ServerHarness writer(false), reader(false), third(false);
        writer.server->setAcl({entry(kShareUuid, "Writable", writable, 0x1 | 0x2 | 0x4)});
        reader.server->setAcl({entry(kDataUuid, "Read-only", otherRoot, 0x1 | 0x4)});
        third.server->setAcl({entry(kDriveUuid, "Alone", top + "/alone.txt", 0x1 | 0x2)});

        const mode_t before = modeOf(shared);
        QCOMPARE(setTimesAndMode(writer, target, 0, FSO_OPEN_ATTRIBUTES).status,
                 std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        if (layout == "file")
            QCOMPARE(setTimesAndMode(writer, target, 0, FSO_OPEN_WRITE | FSO_OPEN_ATTRIBUTES).status,
                     std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(modeOf(shared), before);
        QCOMPARE(readFile(top + "/alone.txt"), QByteArray("alone"));
        // Beside them modes are still the writer's to set.
        QCOMPARE(setTimesAndMode(writer, writable + "/own", 0700, FSO_OPEN_ATTRIBUTES).status,
                 std::uint8_t(FSO_STATUS_COMPLETE));
        QCOMPARE(modeOf(writable + "/own"), mode_t(0700));
        // Once the other peers are gone, so are their roots.
        reader.server.reset();
        third.server.reset();
        QCOMPARE(setTimesAndMode(writer, target, 0750, FSO_OPEN_ATTRIBUTES).status,
                 std::uint8_t(layout == "both" ? FSO_STATUS_NOT_PERMITTED : FSO_STATUS_COMPLETE));
    }

    // A peer that may only read gets no version stamps, and of the permission bits only who
    // may read, write and run each entry (no set-id, no sticky bit), so its copies stay as
    // private as their sources; one that may write gets both, for its copies and versioned
    // deletes.
    void readOnlyPeerSeesMaskedModes()
    {
        const QString n = root + "/stamps";
        QVERIFY(writeFile(n + "/ro/private.txt", "p"));
        QVERIFY(writeFile(n + "/ro/tool", "t"));
        QVERIFY(writeFile(n + "/rw/doc.txt", "d"));
        QVERIFY(::chmod(QFile::encodeName(n + "/ro").constData(), 01750) == 0);
        QVERIFY(::chmod(QFile::encodeName(n + "/ro/private.txt").constData(), 0600) == 0);
        QVERIFY(::chmod(QFile::encodeName(n + "/ro/tool").constData(), 04750) == 0);
        QVERIFY(::chmod(QFile::encodeName(n + "/rw/doc.txt").constData(), 0640) == 0);
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Writable", n + "/rw", 0x1 | 0x2 | 0x4),
                          entry(kDataUuid, "Read-only", n + "/ro", 0x1 | 0x4)});
        const std::uint32_t asked = FSO_ATTR_ALL | FSO_ATTR_PERMISSIONS | FSO_ATTR_CHANGE_STAMP;

        ServerHarness::Listing ro = h.list(n + "/ro", 0, asked);
        QCOMPARE(ro.reply.attributes.value0(), asked);
        QCOMPARE(names(ro.entries), QStringList({"private.txt", "tool"}));
        for (const VfsDirectoryEntry &e : ro.entries) {
            QCOMPARE(e.changeTimeNs, std::int64_t(0));
            QCOMPARE(e.inode, std::uint64_t(0));
            QVERIFY(!(e.mode & FSO_MODE_WRITABLE));
        }
        QCOMPARE(ro.entries[0].permissions, 0600);
        QCOMPARE(ro.entries[1].permissions, 0750);
        QVERIFY(ro.entries[1].mode & FSO_MODE_EXECUTABLE);
        // The share's root in "%shares" too.
        ServerHarness::Listing shares = h.list("%shares", 0, asked);
        QCOMPARE(names(shares.entries), QStringList({"Writable", "Read-only"}));
        QCOMPARE(shares.entries[1].changeTimeNs, std::int64_t(0));
        QCOMPARE(shares.entries[1].permissions, 0750);
        QVERIFY(shares.entries[0].changeTimeNs != 0);

        ServerHarness::Listing rw = h.list(n + "/rw", 0, asked);
        QCOMPARE(rw.entries.size(), std::size_t(1));
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(n + "/rw/doc.txt").constData(), &st) == 0);
        QCOMPARE(rw.entries[0].permissions, 0640);
        QCOMPARE(rw.entries[0].changeTimeNs, std::int64_t(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec);
        QCOMPARE(rw.entries[0].inode, std::uint64_t(st.st_ino));
    }

    // A peer that asks for deletes faster than they finish has at most 1,024 of them waiting
    // for the pool: the rest are refused at once (status 1), and every one taken is answered
    // once the pool is free. Moves have a cap of their own, past which a rename runs on the
    // server's own thread and goes through all the same.
    void operationsAreCapped()
    {
        const QString c = root + "/capped";
        for (int i = 0; i < 20; ++i) {
            QVERIFY(writeFile(c + QStringLiteral("/d%1/f").arg(i), "f"));
            QVERIFY(writeFile(c + QStringLiteral("/m%1.txt").arg(i), "m"));
        }
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Capped", c, 0x1 | 0x2 | 0x4)});
        std::vector<std::uint16_t> accepted, movesAccepted;
        int refused = 0, movedAtOnce = 0;
        {
            PoolBlocker pool;
            for (int i = 0; i < 1100; ++i) {
                // Folders with something in them, then names that are not there.
                const std::uint16_t trId = h.post(ServerHarness::make(FSO_DELETE_FILE, c + QStringLiteral("/d%1").arg(i)));
                const VfsFenuCommand atOnce = h.take(FSO_DELETE_FILE, trId, 0);
                if (atOnce.status == 1)
                    ++refused;
                else
                    accepted.push_back(trId);
                QCOMPARE(atOnce.status == 0xFF || atOnce.status == 1, true);
            }
            for (int i = 0; i < 20; ++i) {
                VfsFenuCommand move = ServerHarness::make(FSO_MOVE, c + QStringLiteral("/m%1.txt").arg(i), FSO_MOVE_NO_REPLACE);
                move.destination = (c + QStringLiteral("/n%1.txt").arg(i)).toStdString();
                const std::uint16_t trId = h.post(move);
                const VfsFenuCommand atOnce = h.take(FSO_MOVE, trId, 0);
                if (atOnce.status == 0xFF) {
                    movesAccepted.push_back(trId);
                } else {
                    QCOMPARE(atOnce.status, std::uint8_t(0));
                    ++movedAtOnce;
                }
            }
            pool.release();
            for (std::size_t i = 0; i < accepted.size(); ++i)
                QCOMPARE(h.take(FSO_DELETE_FILE, accepted[i]).status, std::uint8_t(i < 20 ? 0 : 3));
            for (std::uint16_t trId : movesAccepted)
                QCOMPARE(h.take(FSO_MOVE, trId).status, std::uint8_t(0));
        }
        QCOMPARE(int(accepted.size()), 1024);
        QCOMPARE(refused, 1100 - 1024);
        QCOMPARE(movedAtOnce, 20 - 16);
        QCOMPARE(QDir(c).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 20);
        QVERIFY(exists(c + "/n19.txt"));
    }

    // What a write leaves behind: never world-writable, times only from a proper close.
    void writtenFilesAndTimes()
    {
        const QString t = root + "/written";
        QVERIFY(QDir().mkpath(t));
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Written", t, 0x1 | 0x2 | 0x4)});
        const mode_t oldMask = ::umask(0);
        const ServerHarness::Opened created = h.open(t + "/new.txt", FSO_OPEN_WRITE);
        const VfsFenuCommand made = h.makeDirectory(t + "/a/b");
        ::umask(oldMask);
        QCOMPARE(created.status, std::uint8_t(0));
        QCOMPARE(made.status, std::uint8_t(0));
        QCOMPARE(modeOf(t + "/new.txt") & 0022, mode_t(0));
        QCOMPARE(modeOf(t + "/a") & 0022, mode_t(0));
        QCOMPARE(modeOf(t + "/a/b") & 0022, mode_t(0));
        QCOMPARE(h.close(created.handle), std::uint8_t(0));

        // A transfer left idle is closed without the original's times.
        const std::int64_t modify = 1400000000000;
        const ServerHarness::Opened f = h.openWithTimes(t + "/half.txt", FSO_OPEN_WRITE, FSO_ATTR_MODIFY_TIME, 0, modify);
        QCOMPARE(f.status, std::uint8_t(0));
        QCOMPARE(h.write(f.handle, 0, "half").status, std::uint8_t(0));
        h.server->setIdleClose(0, 5);
        QVERIFY(ServerHarness::waitUntil([&]() { return h.server->openFileCount() == 0; }));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(t + "/half.txt").constData(), &st) == 0);
        QVERIFY(std::int64_t(st.st_mtim.tv_sec) * 1000 != modify);

        // A write-only open of a file outside, reached by a link, neither empties nor creates.
        QVERIFY(writeFile(root + "/written_outside.txt", "keep"));
        QVERIFY(link(root + "/written_outside.txt", t + "/outlink"));
        QCOMPARE(h.open(t + "/outlink", FSO_OPEN_WRITE).status, std::uint8_t(4));
        QCOMPARE(readFile(root + "/written_outside.txt"), QByteArray("keep"));
    }

    // A file made in one request is there whole under its real name, with the given times and
    // mode, or not at all; it never takes a name that is there, nor goes outside the share.
    void putFileWholeOrNothing_data()
    {
        QTest::addColumn<bool>("unnamed");
        QTest::newRow("made unnamed, then linked") << true;
        QTest::newRow("made hidden, then renamed") << false;
    }

    void putFileWholeOrNothing()
    {
        QFETCH(bool, unnamed);
        vfsserverfs::setUnnamedNewFilesForTests(unnamed);
        const auto restore = qScopeGuard([] { vfsserverfs::setUnnamedNewFilesForTests(true); });
        const QString t = root + (unnamed ? "/put" : "/puthidden");
        QVERIFY(QDir().mkpath(t));
        ServerHarness h(false);
        h.server->setAcl({entry(kShareUuid, "Put", t, 0x1 | 0x2 | 0x4), entry(kDataUuid, "Data", root + "/data", 0x1 | 0x4)});
        const std::int64_t access = 1300000000000, modify = 1400000000000;
        QCOMPARE(h.put(t + "/new.txt", t + "/.new.txt.part", "hello", access, modify, 0750), std::uint8_t(0));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(t + "/new.txt").constData(), &st) == 0);
        QCOMPARE(std::int64_t(st.st_mtim.tv_sec) * 1000, modify);
        QCOMPARE(std::int64_t(st.st_atim.tv_sec) * 1000, access);
        QCOMPARE(readFile(t + "/new.txt"), QByteArray("hello"));
        QVERIFY(!QFileInfo::exists(t + "/.new.txt.part"));
        QCOMPARE(modeOf(t + "/new.txt"), mode_t(0750 & ~vfsfiles::userUmask()));

        // A name that is there stays as it is, and nothing hidden is left.
        QCOMPARE(h.put(t + "/new.txt", t + "/.new.txt.part", "other"), std::uint8_t(FSO_STATUS_EXISTS));
        QCOMPARE(readFile(t + "/new.txt"), QByteArray("hello"));
        QVERIFY(!QFileInfo::exists(t + "/.new.txt.part"));
        // Nor is a hidden name written through a link that took it.
        QVERIFY(writeFile(root + "/put_outside.txt", "keep"));
        QVERIFY(link(root + "/put_outside.txt", t + "/.linked.part"));
        QCOMPARE(h.put(t + "/linked.txt", t + "/.linked.part", "x"), std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(readFile(root + "/put_outside.txt"), QByteArray("keep"));
        QVERIFY(!QFileInfo::exists(t + "/linked.txt"));

        // Both names in one folder, some bytes, and write access.
        QCOMPARE(h.put(t + "/a.txt", root + "/put_hidden", "x"), std::uint8_t(FSO_STATUS_INVALID_PARAMETER));
        QCOMPARE(h.put(t + "/a.txt", t + "/a.txt", "x"), std::uint8_t(FSO_STATUS_INVALID_PARAMETER));
        QCOMPARE(h.put(t + "/a.txt", t + "/.a.part", QByteArray()), std::uint8_t(FSO_STATUS_INVALID_PARAMETER));
        QCOMPARE(h.put(root + "/data/w.txt", root + "/data/.w.part", "x"), std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(h.put(root + "/w.txt", root + "/.w.part", "x"), std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(h.put(t + "/none/a.txt", t + "/none/.a.part", "x"), std::uint8_t(FSO_STATUS_NOT_FOUND));
        QVERIFY(!QFileInfo::exists(root + "/data/w.txt") && !QFileInfo::exists(root + "/w.txt"));
        QCOMPARE(h.server->openFileCount(), 0);
    }

    // A file read whole in one request: all of it and status 7, or the first bytes of one
    // that is longer; only regular files inside what the peer may read.
    void getFileWholeOrRefused()
    {
        ServerHarness h(false);
        h.server->setAcl(entries());
        const QString s = root + "/share";
        VfsFenuCommand got = h.get(s + "/a.txt", 100);
        QCOMPARE(got.status, std::uint8_t(FSO_STATUS_END_OF_FILE));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(got.data.data()), int(got.data.size())), QByteArray("alpha"));
        got = h.get(s + "/a.txt", 3);
        QCOMPARE(got.status, std::uint8_t(0));
        QCOMPARE(got.dataSize, 3u);
        QCOMPARE(h.get(s + "/a.txt", 5).status, std::uint8_t(FSO_STATUS_END_OF_FILE));
        QCOMPARE(h.get(s + "/none.txt", 10).status, std::uint8_t(FSO_STATUS_NOT_FOUND));
        QVERIFY(writeFile(root + "/get_secret", "secret"));
        QVERIFY(link(root + "/get_secret", s + "/get_out"));
        QCOMPARE(h.get(s + "/get_out", 10).status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(h.get(root + "/database/y.txt", 10).status, std::uint8_t(FSO_STATUS_NOT_PERMITTED));
        QCOMPARE(h.get(s + "/fifo", 10).status, std::uint8_t(FSO_STATUS_IO_ERROR));
        QCOMPARE(h.get(s + "/sub", 10).status, std::uint8_t(FSO_STATUS_IO_ERROR));
        QCOMPARE(h.get(s + "/a.txt", 0).status, std::uint8_t(FSO_STATUS_INVALID_PARAMETER));
        QCOMPARE(h.get(s + "/a.txt", FSO_MAX_DATA + 1).status, std::uint8_t(FSO_STATUS_INVALID_PARAMETER));
        QCOMPARE(h.get(root + "/data/r.txt", 100).status, std::uint8_t(FSO_STATUS_END_OF_FILE));
        QCOMPARE(h.server->openFileCount(), 0);
    }

    void unknownAndMalformed()
    {
        ServerHarness h(false);
        VfsFenuCommand cmd;
        cmd.code = 0x17;
        int processed = 0;
        QObject::connect(h.server.get(), &VfsServerNusk::processedCommand, [&](const VfsFenuCommand *) { ++processed; });
        h.server->processIncomingCommand(cmd);
        QCOMPARE(processed, 1);
        QVERIFY(h.replies.empty());
        // A page request for a listing that never existed is ignored.
        VfsFenuCommand query = ServerHarness::make(FSO_QUERY_LIST_DIRECTORY);
        query.trId = 4242;
        h.post(query);
        QVERIFY(h.replies.empty());
        // LIST_DRIVES for a remote peer without drive entries lists nothing.
        VfsFenuCommand drives = h.request(ServerHarness::make(FSO_LIST_DRIVES, QString(), 0x10));
        QCOMPARE(drives.status, std::uint8_t(0));
        QCOMPARE(drives.count, std::uint16_t(0));
    }
};

int main(int argc, char **argv)
{
    // The folders a test binds elsewhere stay bound in a mount namespace of this process's
    // own, made before any thread, so that all of them see it.
    const bool privateMounts =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QCoreApplication app(argc, argv);
    TestServer test(privateMounts);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_server.moc"

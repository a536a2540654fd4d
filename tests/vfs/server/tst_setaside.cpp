// Names of the shape a delete sets an entry aside under: only those this program made are
// given back their names by a listing, within a few tries each, also after a restart; any
// other such name is an entry like the rest, which no listing renames.

#include "tst_serverharness.h"

#include "vfs/server/asidekey.h"
#include "vfs/server/setaside.h"
#include "vfs/server/vfsaccess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kWritable = QStringLiteral("{11111111-1111-1111-1111-111111111111}");
const QString kReadOnly = QStringLiteral("{22222222-2222-2222-2222-222222222222}");

PeerAclDto share(const QString &uuid, const QString &selector, quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = uuid;
    acl.name = uuid;
    acl.selector = selector;
    acl.flags = flags | vfsaccess::AclSubPaths;
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

QStringList onDisk(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList listed(ServerHarness &h, const QString &dir)
{
    const ServerHarness::Listing listing = h.list(dir, FSO_LISTDIR_HIDDEN);
    QStringList names;
    for (const VfsDirectoryEntry &entry : listing.entries)
        names << entry.name;
    names.sort();
    return listing.lastStatus == FSO_STATUS_COMPLETE ? names : QStringList{"(listing failed)"};
}

// Leaves the file `name` of `dir` aside, as a delete does that dies before it removes it.
bool leaveAside(const QString &dir, const QByteArray &name)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    setaside::SetAside aside;
    const bool taken = fd >= 0 && aside.take(fd, name);
    if (fd >= 0)
        ::close(fd);
    return taken;
}

timespec changeTime(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ctim : timespec{};
}

// Waits until a file made now gets a later change time than `path` has: file times come
// from a clock that moves in ticks.
bool clockPassed(const QString &path, const QString &probe)
{
    const timespec then = changeTime(path);
    return ServerHarness::waitUntil([&] {
        if (!writeFile(probe, "tick"))
            return false;
        const timespec now = changeTime(probe);
        return now.tv_sec > then.tv_sec || (now.tv_sec == then.tv_sec && now.tv_nsec > then.tv_nsec);
    });
}

} // namespace

class TestSetAside : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config; // the configuration folder that keeps the key

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        QVERIFY(asidekey::keepIn(m_config.path()));
    }

    // A peer that may write gives its entries names of our shapes by every request that names
    // an entry (put, create, make a folder, move): the shape of this version and that of an
    // older one, a file's and a folder's. Listings by it and by a peer that may only read
    // show them as they are, and rename nothing, whatever names are free beside them.
    void plantedNamesStayAsTheyAre()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString s = dir.path() + "/share";
        for (const char *name : {"x", "x.2", "y"})
            QVERIFY(writeFile(s + "/" + name, name));
        ServerHarness writer(false), reader(false);
        writer.server->setAcl({share(kWritable, s, vfsaccess::AclRead | vfsaccess::AclWrite)});
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});

        const QString hex16 = "0123456789abcdef", hex32 = hex16 + "fedcba9876543210";
        QCOMPARE(writer.put(s + "/.nusk-deleting-" + hex16 + "-x", s + "/.put.part", "put"), std::uint8_t(0));
        QCOMPARE(writer.put(s + "/.nusk-deleting-" + hex32 + "-x", s + "/.put.part", "put"), std::uint8_t(0));
        const ServerHarness::Opened created = writer.open(s + "/.nusk-deleting-00000000000000ff-x", FSO_OPEN_WRITE);
        QCOMPARE(created.status, std::uint8_t(0));
        QCOMPARE(writer.close(created.handle), std::uint8_t(0));
        QCOMPARE(writer.makeDirectory(s + "/.nusk-deleting-" + hex16).status, std::uint8_t(0));
        QCOMPARE(writer.put(s + "/.nusk-deleting-" + hex16 + "/z", s + "/.nusk-deleting-" + hex16 + "/.put.part",
                            "in a folder"),
                 std::uint8_t(0));
        QCOMPARE(writer.makeDirectory(s + "/.nusk-deleting-" + hex32).status, std::uint8_t(0));
        QCOMPARE(writer.move(s + "/y", s + "/.nusk-deleting-" + hex32 + "-y"), std::uint8_t(0));

        const QStringList made = onDisk(s);
        QCOMPARE(made.size(), 8);
        QCOMPARE(listed(reader, s), made);
        QCOMPARE(listed(writer, s), made);
        QCOMPARE(listed(reader, s), made);
        QCOMPARE(onDisk(s), made);
        QCOMPARE(readFile(s + "/.nusk-deleting-" + hex16 + "/z"), QByteArray("in a folder"));
    }

    // One this program left aside whose name and the numbers after it are taken (by a peer
    // or by chance) is back within a few tries: beside them, under a number further on.
    void leftoverGoesBackWithinAFewTries()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString s = dir.path() + "/share";
        QVERIFY(writeFile(s + "/x", "aside"));
        QVERIFY(leaveAside(s, "x"));
        QVERIFY(writeFile(s + "/x", "x"));
        for (int number = 2; number <= 999; ++number)
            QVERIFY(writeFile(s + QStringLiteral("/x.%1").arg(number), "taken"));
        ServerHarness reader(false);
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});

        const QStringList names = listed(reader, s);
        QCOMPARE(names.size(), 1000);
        const QStringList back = onDisk(s).filter(QRegularExpression("^x\\.(\\d{4,})$"));
        QCOMPARE(back.size(), 1);
        QVERIFY(names.contains(back.first()));
        QCOMPARE(readFile(s + "/" + back.first()), QByteArray("aside"));
        QCOMPARE(onDisk(s).filter(".nusk-deleting-"), QStringList());
    }

    // Names of the shapes an older version left carry no tag: those that were there before
    // this version first ran get their names back (a file's, and a folder's holding the entry),
    // those made since are a peer's entries like any other.
    void olderVersionsLeftovers()
    {
        QTemporaryDir dir, config;
        QVERIFY(dir.isValid() && config.isValid());
        const QString s = dir.path() + "/share";
        const QString oldFile = s + "/.nusk-deleting-00000000000000a1-doc.txt";
        const QString oldFolder = s + "/.nusk-deleting-00000000000000a2";
        QVERIFY(writeFile(oldFile, "old file"));
        QVERIFY(writeFile(oldFolder + "/long.txt", "old folder"));
        QVERIFY(clockPassed(oldFolder, dir.path() + "/probe"));
        // This version's first start.
        QVERIFY(asidekey::keepIn(config.path()));
        const auto keepKey = qScopeGuard([&] { asidekey::keepIn(m_config.path()); });
        const QString planted = s + "/.nusk-deleting-00000000000000a3-doc.txt";
        QVERIFY(writeFile(planted, "planted"));
        ServerHarness reader(false);
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});

        const QStringList expected{".nusk-deleting-00000000000000a3-doc.txt", "doc.txt", "long.txt"};
        QCOMPARE(listed(reader, s), expected);
        QCOMPARE(onDisk(s), expected);
        QCOMPARE(readFile(s + "/doc.txt"), QByteArray("old file"));
        QCOMPARE(readFile(s + "/long.txt"), QByteArray("old folder"));
        QCOMPARE(readFile(planted), QByteArray("planted"));

        // A key from a clock that was ahead then: every name made now would seem older.
        const timespec ahead[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 86400, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(config.path() + "/aside.key").constData(), ahead, 0), 0);
        QVERIFY(asidekey::keepIn(config.path()));
        QCOMPARE(listed(reader, s), expected);
    }

    // The key stays in the configuration folder, private: a later run knows what an earlier
    // one left aside, and a run under another key (another computer's, older than what was
    // left aside) takes it for an ordinary entry. A key file left damaged is made anew.
    void keyKeptForLaterRuns()
    {
        QTemporaryDir dir, other;
        QVERIFY(dir.isValid() && other.isValid());
        const QString s = dir.path() + "/share";
        const auto keepKey = qScopeGuard([&] { asidekey::keepIn(m_config.path()); });
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(m_config.path() + "/aside.key").constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(qint64(st.st_size), qint64(32));
        QVERIFY(asidekey::keepIn(other.path() + "/config"));
        QVERIFY(asidekey::keepIn(m_config.path()));
        QVERIFY(clockPassed(other.path() + "/config/aside.key", dir.path() + "/probe"));
        QVERIFY(writeFile(s + "/doc.txt", "aside"));
        QVERIFY(leaveAside(s, "doc.txt"));
        const QStringList aside = onDisk(s);
        QCOMPARE(aside.size(), 1);
        ServerHarness reader(false);
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});

        QVERIFY(asidekey::keepIn(other.path() + "/config"));
        QCOMPARE(listed(reader, s), aside);
        QCOMPARE(onDisk(s), aside);
        QVERIFY(asidekey::keepIn(m_config.path()));
        QCOMPARE(listed(reader, s), QStringList{"doc.txt"});
        QCOMPARE(readFile(s + "/doc.txt"), QByteArray("aside"));

        QVERIFY(writeFile(other.path() + "/config/aside.key", QByteArray()));
        QVERIFY(asidekey::keepIn(other.path() + "/config"));
        QCOMPARE(QFileInfo(other.path() + "/config/aside.key").size(), qint64(32));
    }

    // The key of a run that a delete died in is lost before the next run: deleted, emptied,
    // replaced by another account's file or by a folder. The next run makes a new one, keeps
    // what stood in its place beside it, and what that delete left aside gets its name back
    // all the same: it was there before the new key. A name of the shape planted since stays.
    void lostKeyLeavesNothingAside_data()
    {
        QTest::addColumn<QString>("loss");
        QTest::newRow("deleted") << "deleted";
        QTest::newRow("emptied") << "emptied";
        QTest::newRow("another account's file") << "another account's";
        QTest::newRow("a folder") << "folder";
    }
    void lostKeyLeavesNothingAside()
    {
        QFETCH(QString, loss);
        QTemporaryDir dir, config;
        QVERIFY(dir.isValid() && config.isValid());
        const QString s = dir.path() + "/share", key = config.path() + "/aside.key";
        const auto keepKey = qScopeGuard([&] { asidekey::keepIn(m_config.path()); });
        QVERIFY(asidekey::keepIn(config.path()));
        const QByteArray old = readFile(key);
        QVERIFY(writeFile(s + "/doc.txt", "left aside"));
        QVERIFY(leaveAside(s, "doc.txt"));
        QVERIFY(clockPassed(s, dir.path() + "/probe"));
        QByteArray spoiled;
        if (loss == "deleted") {
            QVERIFY(QFile::remove(key));
        } else if (loss == "emptied") {
            QVERIFY(writeFile(key, QByteArray()));
        } else if (loss == "another account's") {
            if (::geteuid() != 0)
                QSKIP("only root can give a file to another account");
            spoiled = "another account's key, 32 bytes";
            QVERIFY(QFile::remove(key) && writeFile(key, spoiled));
            QCOMPARE(::chown(QFile::encodeName(key).constData(), 4321, 4321), 0);
        } else {
            QVERIFY(QFile::remove(key) && QDir().mkdir(key));
        }

        QVERIFY(asidekey::keepIn(config.path()));
        const QString planted = s + "/.nusk-deleting-0123456789abcdeffedcba9876543210-x";
        QVERIFY(writeFile(planted, "planted"));
        QCOMPARE(QFileInfo(key).size(), qint64(32));
        QVERIFY(readFile(key) != old);
        if (loss == "deleted")
            QVERIFY(!QFileInfo::exists(key + ".damaged"));
        else if (loss == "folder")
            QVERIFY(QFileInfo(key + ".damaged").isDir());
        else
            QVERIFY(QFileInfo(key + ".damaged").isFile() && readFile(key + ".damaged") == spoiled);
        ServerHarness reader(false);
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});
        const QStringList expected{".nusk-deleting-0123456789abcdeffedcba9876543210-x", "doc.txt"};
        QCOMPARE(listed(reader, s), expected);
        QCOMPARE(onDisk(s), expected);
        QCOMPARE(readFile(s + "/doc.txt"), QByteArray("left aside"));
    }

    // The key is a secret: a 0600 file in a 0700 folder, also where an older run or the user
    // left either open to others. Such a key is still the key: what it tagged is known.
    void keyKeptPrivate()
    {
        QTemporaryDir dir, base;
        QVERIFY(dir.isValid() && base.isValid());
        const QString config = base.path() + "/config", key = config + "/aside.key";
        const auto keepKey = qScopeGuard([&] { asidekey::keepIn(m_config.path()); });
        QVERIFY(QDir().mkpath(config));
        QCOMPARE(::chmod(QFile::encodeName(config).constData(), 0755), 0);
        QVERIFY(asidekey::keepIn(config));
        const QString s = dir.path() + "/share";
        QVERIFY(writeFile(s + "/doc.txt", "left aside"));
        QVERIFY(leaveAside(s, "doc.txt"));
        auto modeOf = [](const QString &path) {
            struct stat st;
            return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
        };
        QCOMPARE(modeOf(config), 0700);
        QCOMPARE(modeOf(key), 0600);
        const QByteArray secret = readFile(key);
        QCOMPARE(::chmod(QFile::encodeName(config).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(key).constData(), 0644), 0);
        QVERIFY(asidekey::keepIn(config));
        QCOMPARE(modeOf(config), 0700);
        QCOMPARE(modeOf(key), 0600);
        QCOMPARE(readFile(key), secret);
        QVERIFY(!QFileInfo::exists(key + ".damaged"));
        ServerHarness reader(false);
        reader.server->setAcl({share(kReadOnly, s, vfsaccess::AclRead)});
        QCOMPARE(listed(reader, s), QStringList{"doc.txt"});
    }
};

QTEST_GUILESS_MAIN(TestSetAside)
#include "tst_setaside.moc"

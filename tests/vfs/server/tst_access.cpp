// Cleaning, matching and resolving of paths against access entries.

#include "vfs/fso/fsoprotocol.h"
#include "vfs/server/vfsaccess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace vfsaccess;

namespace {

PeerAclDto entry(const QString &uuid, const QString &selector, quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = uuid;
    acl.name = uuid;
    acl.selector = selector;
    acl.flags = flags;
    return acl;
}

} // namespace

class TestAccess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleaning_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("cleaned");
        QTest::newRow("plain") << "/srv/data" << true << "/srv/data";
        QTest::newRow("trailing slash") << "/srv/data/" << true << "/srv/data";
        QTest::newRow("root") << "/" << true << "/";
        QTest::newRow("double root") << "//" << false << "";
        QTest::newRow("dot-dot") << "/srv/../etc" << false << "";
        QTest::newRow("dot") << "/srv/./data" << false << "";
        QTest::newRow("trailing dot") << "/srv/share/." << false << "";
        QTest::newRow("empty part") << "/srv//data" << false << "";
        QTest::newRow("two trailing slashes") << "/srv/data//" << false << "";
        QTest::newRow("relative") << "srv/data" << false << "";
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("NUL") << QString("/srv/a") + QChar(0) + "b" << false << "";
        QTest::newRow("dots in names") << "/srv/..data/a..b/.x" << true << "/srv/..data/a..b/.x";
    }

    void cleaning()
    {
        QFETCH(QString, path);
        QFETCH(bool, ok);
        QFETCH(QString, cleaned);
        QString out;
        QCOMPARE(cleanPath(path, &out), ok);
        if (ok)
            QCOMPARE(out, cleaned);
        // The bytes from the wire are cleaned the same way, and a NUL inside them fails.
        QCOMPARE(cleanWirePath(path.toStdString(), &out), ok);
    }

    void matching()
    {
        const std::vector<PeerAclDto> entries = {
            entry("a", "/srv/a", 0x1 | 0x4),
            entry("ab", "/srv/a/b/", 0x1 | 0x4),     // cleaned before it is compared
            entry("exact", "/srv/exact", 0x1),        // no sub-paths
            entry("data", "/srv/data", 0x1 | 0x4),
            entry("bad", "/srv/x/../data2", 0x7),    // never matches
            entry("root", "/", 0x8),
            entry("a2", "/srv/a", 0x2 | 0x4),         // same selector: the first one wins
        };
        QCOMPARE(findAclEntry(entries, "/srv/a", false), 0);
        QCOMPARE(findAclEntry(entries, "/srv/a/x", false), 0);
        QCOMPARE(findAclEntry(entries, "/srv/a/b", false), 1);
        QCOMPARE(findAclEntry(entries, "/srv/a/b/c", false), 1);
        QCOMPARE(findAclEntry(entries, "/srv/a/bc", false), 0);
        QCOMPARE(findAclEntry(entries, "/srv/exact", false), 2);
        QCOMPARE(findAclEntry(entries, "/srv/exact/x", false), -1);
        QCOMPARE(findAclEntry(entries, "/srv/data/x", false), 3);
        QCOMPARE(findAclEntry(entries, "/srv/database", false), -1);
        QCOMPARE(findAclEntry(entries, "/srv/database/x", false), -1);
        QCOMPARE(findAclEntry(entries, "/SRV/data/x", false), -1);
        QCOMPARE(findAclEntry(entries, "/srv/data2", false), -1);
        QCOMPARE(findAclEntry(entries, "/", true), 5);
        QCOMPARE(findAclEntry(entries, "/srv/a/x", true), -1);
        // A root selector with sub-paths covers everything below it.
        QCOMPARE(findAclEntry({entry("r", "/", 0x4)}, "/etc", false), 0);

        QVERIFY(isSameOrBelow("/srv/data", "/srv/data"));
        QVERIFY(isSameOrBelow("/srv/data", "/srv/data/x"));
        QVERIFY(!isSameOrBelow("/srv/data", "/srv/database"));
        QVERIFY(isSameOrBelow("/", "/srv"));
        QCOMPARE(parentPath("/a/b"), QString("/a"));
        QCOMPARE(parentPath("/a"), QString("/"));
        QCOMPARE(parentPath("%shares/{x}"), QString("%shares"));
    }

    void sharesMapping()
    {
        const VfsAccessRules rules(false, {entry("{u}", "/srv/share/", 0x7), entry("{bad}", "srv/rel", 0x7)});
        MappedPath m = rules.mapRequestPath(QString("%shares"));
        QCOMPARE(m.status, std::uint8_t(0));
        QVERIFY(m.sharesRoot);
        QVERIFY(m.local.isEmpty());
        m = rules.mapRequestPath(QString("%shares/"));
        QVERIFY(m.sharesRoot);
        m = rules.mapRequestPath(QString("%shares/{u}/photos/a.jpg"));
        QCOMPARE(m.status, std::uint8_t(0));
        QCOMPARE(m.local, QString("/srv/share/photos/a.jpg"));
        QCOMPARE(m.requested, QString("%shares/{u}/photos/a.jpg"));
        QCOMPARE(rules.mapRequestPath(QString("%shares/{u}")).local, QString("/srv/share"));
        QCOMPARE(rules.mapRequestPath(QString("%shares/{u}/../x")).status, FSO_STATUS_INVALID_PARAMETER);
        QCOMPARE(rules.mapRequestPath(QString("%shares/{u}//x")).status, FSO_STATUS_INVALID_PARAMETER);
        QCOMPARE(rules.mapRequestPath(QString("%shares/..")).status, FSO_STATUS_INVALID_PARAMETER);
        QCOMPARE(rules.mapRequestPath(QString("%shares/{other}/x")).status, FSO_STATUS_NOT_FOUND);
        QCOMPARE(rules.mapRequestPath(QString("%shares/{bad}/x")).status, FSO_STATUS_NOT_FOUND);
        // Only "%shares" as a whole first part is the virtual root.
        QCOMPARE(rules.mapRequestPath(QString("%sharesX/{u}")).status, FSO_STATUS_INVALID_PARAMETER);
        QCOMPARE(rules.mapRequestPath(std::string("/srv/share/a\0b", 14)).status, FSO_STATUS_INVALID_PARAMETER);

        // Notifications: the virtual roots and known shares pass, the rest by coverage.
        QVERIFY(rules.mayNotify("%shares"));
        QVERIFY(rules.mayNotify("%drives"));
        QVERIFY(rules.mayNotify("%shares/{u}/photos"));
        QVERIFY(!rules.mayNotify("%shares/{other}"));
        QVERIFY(rules.mayNotify("/srv/share/x"));
        QVERIFY(!rules.mayNotify("/srv/shared"));
        QVERIFY(VfsAccessRules(true, {}).mayNotify("/anything"));
    }

    // A change of a local folder is told by the "%shares" names of the peer's shares that
    // hold it, as strictly as by the folder's own path.
    void shareNamesOfChanges()
    {
        const VfsAccessRules rules(false, {entry("{u}", "/srv/share/", 0x7), entry("{in}", "/srv/share/inner", 0x5),
                                           entry("{one}", "/srv/one", 0x1), entry("{usb}", "/mnt/usb", 0xD),
                                           entry("odd/{x}", "/srv/odd", 0x5), entry("{bad}", "srv/rel", 0x7)});
        QCOMPARE(rules.sharePathsOf("/srv/share"), QStringList{"%shares/{u}"});
        QCOMPARE(rules.sharePathsOf("/srv/share/"), QStringList{"%shares/{u}"});
        QCOMPARE(rules.sharePathsOf("/srv/share/photos/2024"), QStringList{"%shares/{u}/photos/2024"});
        QCOMPARE(rules.sharePathsOf("/srv/share/inner/x"), (QStringList{"%shares/{u}/inner/x", "%shares/{in}/x"}));
        // An entry without sub-paths covers its own folder only, and so does the notification
        // filter by the share's name.
        QCOMPARE(rules.sharePathsOf("/srv/one"), QStringList{"%shares/{one}"});
        QVERIFY(rules.sharePathsOf("/srv/one/deeper").isEmpty());
        QVERIFY(rules.mayNotify("%shares/{one}"));
        QVERIFY(!rules.mayNotify("%shares/{one}/deeper"));
        // Not below a share at a separator, whole drives (reached by their own paths), names
        // that would lead elsewhere, and what is no local folder.
        QVERIFY(rules.sharePathsOf("/srv/shared").isEmpty());
        QVERIFY(rules.sharePathsOf("/srv").isEmpty());
        QVERIFY(rules.sharePathsOf("/mnt/usb/x").isEmpty());
        QVERIFY(rules.mayNotify("/mnt/usb/x"));
        QVERIFY(rules.sharePathsOf("/srv/odd/x").isEmpty());
        QVERIFY(rules.sharePathsOf("%shares/{u}").isEmpty());
        QVERIFY(rules.sharePathsOf("%drives").isEmpty());
        QVERIFY(rules.sharePathsOf("srv/rel").isEmpty());
        QVERIFY(rules.sharePathsOf("/srv/share/../etc").isEmpty());
        // The computer's own peer lists its folders by their own paths.
        QVERIFY(VfsAccessRules(true, {entry("{u}", "/srv/share", 0x7)}).sharePathsOf("/srv/share/x").isEmpty());

        const VfsAccessRules everything(false, {entry("{root}", "/", 0x5)});
        QCOMPARE(everything.sharePathsOf("/"), QStringList{"%shares/{root}"});
        QCOMPARE(everything.sharePathsOf("/a/b"), QStringList{"%shares/{root}/a/b"});
    }

    void symlinkContainment()
    {
        QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        QVERIFY(QDir().mkpath(root + "/share/sub"));
        QVERIFY(QDir().mkpath(root + "/outside"));
        auto symlink = [](const QString &target, const QString &path) {
            return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
        };
        QVERIFY(symlink(root + "/outside", root + "/share/out"));
        QVERIFY(symlink("sub", root + "/share/in"));
        QVERIFY(symlink(root + "/share", root + "/alias"));   // a selector that is a link
        QVERIFY(symlink(root + "/missing", root + "/share/dangling"));

        QString real;
        QVERIFY(resolveRealPath(root + "/share/in/new/deeper", true, &real));
        QCOMPARE(real, root + "/share/sub/new/deeper");
        QVERIFY(resolveRealPath(root + "/share/out", false, &real));
        QCOMPARE(real, root + "/share/out");
        QVERIFY(!resolveRealPath(root + "/share/dangling", true, &real));
        QVERIFY(resolveRealPath(root + "/share/dangling", false, &real));

        const VfsAccessRules rules(false, {entry("{s}", root + "/share", 0x3 | 0x4),
                                           entry("{alias}", root + "/alias", 0x1 | 0x4)});
        QCOMPARE(rules.check(root + "/share/sub", AclRead, LinkMode::FollowLast), FSO_STATUS_SUCCESS);
        QCOMPARE(rules.check(root + "/share/in/x", AclWrite, LinkMode::FollowLast), FSO_STATUS_SUCCESS);
        QCOMPARE(rules.check(root + "/share/out", AclRead, LinkMode::FollowLast), FSO_STATUS_NOT_PERMITTED);
        QCOMPARE(rules.check(root + "/share/out/x", AclWrite, LinkMode::FollowLast), FSO_STATUS_NOT_PERMITTED);
        // The link itself lies inside: deleting or moving it is allowed.
        QCOMPARE(rules.check(root + "/share/out", AclWrite, LinkMode::NoFollowLast), FSO_STATUS_SUCCESS);
        QCOMPARE(rules.check(root + "/share/dangling", AclWrite, LinkMode::FollowLast), FSO_STATUS_NOT_PERMITTED);
        QCOMPARE(rules.check(root + "/share/sub", AclWrite | AclRead, LinkMode::FollowLast), FSO_STATUS_SUCCESS);
        // Through a selector that is itself a link, within the entry that granted it.
        QCOMPARE(rules.check(root + "/alias/sub", AclRead, LinkMode::FollowLast), FSO_STATUS_SUCCESS);
        QCOMPARE(rules.check(root + "/alias/sub", AclWrite, LinkMode::FollowLast), FSO_STATUS_NOT_PERMITTED);
        QCOMPARE(rules.check(root + "/outside", AclRead, LinkMode::FollowLast), FSO_STATUS_NOT_PERMITTED);
        // Local mode checks nothing.
        QCOMPARE(VfsAccessRules(true, {}).check(root + "/outside", AclWrite, LinkMode::FollowLast), FSO_STATUS_SUCCESS);
    }
};

QTEST_GUILESS_MAIN(TestAccess)
#include "tst_access.moc"

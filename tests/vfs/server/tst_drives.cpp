#include "vfs/server/drives.h"
#include "vfs/fso/fsoprotocol.h"
#include "com/termstream.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QtTest>

#include <future>

using drives::DriveSystem;
using drives::MountEntry;

namespace {

QByteArray fixture(const char *name)
{
    QFile f(QStringLiteral(NUSK_VFS_FIXTURES "/") + QLatin1String(name));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return f.readAll();
}

// A system with sizes, labels and removable devices as a test sets them up.
class FakeSystem : public DriveSystem
{
public:
    QHash<QByteArray, QPair<quint64, quint64>> spaces; // mount point -> total, available
    QHash<QByteArray, QByteArray> labels;              // source -> label
    QSet<QByteArray> removable;                        // sources
    QSet<QByteArray> files;                            // mount points that are no directory
    QByteArray home = "/home/me";

    bool space(const QByteArray &mountPoint, std::uint64_t *total, std::uint64_t *available) const override
    {
        if (!spaces.contains(mountPoint))
            return false;
        *total = spaces.value(mountPoint).first;
        *available = spaces.value(mountPoint).second;
        return true;
    }
    bool isDirectory(const QByteArray &mountPoint) const override { return !files.contains(mountPoint); }
    bool isRemovable(const MountEntry &m) const override { return removable.contains(m.source); }
    QByteArray label(const MountEntry &m) const override { return labels.value(m.source); }
    QByteArray homeDirectory() const override { return home; }
};

QList<QByteArray> pathsOf(const std::vector<DriveCache> &list)
{
    QList<QByteArray> paths;
    for (const DriveCache &d : list)
        paths << d.path;
    return paths;
}

const DriveCache *find(const std::vector<DriveCache> &list, const QByteArray &path)
{
    for (const DriveCache &d : list) {
        if (d.path == path)
            return &d;
    }
    return nullptr;
}

} // namespace

class TstDrives : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void unescapesMountFields_data();
    void unescapesMountFields();
    void parsesLinesAndSkipsMalformedOnes();
    void networkMountsAreNamedBySource();
    void removableAndOpticalDrives();
    void bindAndCoveredMountsAreListedOnce();
    void containerKeepsOverlayRootAndDropsFileMounts();
    void manyMountsPutMainDrivesFirst();
    void mountOfPathPicksLongestMountPoint();
    void readsThisMachine();
    void hostileMountTableLines();
    void overmountHidesWhatWasBeneath();
    void unansweringMountIsWaitedForOnce();
};

void TstDrives::unescapesMountFields_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("space") << QByteArray("/media/USB\\040STICK") << QByteArray("/media/USB STICK");
    QTest::newRow("backslash, tab, newline") << QByteArray("a\\134b\\011c\\012d") << QByteArray("a\\b\tc\nd");
    QTest::newRow("utf-8 stays") << QByteArray("/mnt/Müll") << QByteArray("/mnt/Müll");
    QTest::newRow("too short at the end") << QByteArray("/x\\04") << QByteArray("/x\\04");
    QTest::newRow("not octal") << QByteArray("/x\\089") << QByteArray("/x\\089");
    QTest::newRow("out of byte range") << QByteArray("/x\\777") << QByteArray("/x\\777");
    QTest::newRow("NUL is not produced") << QByteArray("/x\\000y") << QByteArray("/x\\000y");
}

void TstDrives::unescapesMountFields()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, expected);
    QCOMPARE(drives::unescapeMountField(field), expected);
}

void TstDrives::parsesLinesAndSkipsMalformedOnes()
{
    const QByteArray text =
        "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 shared:2 - ext3 /dev/root rw,errors=continue\n"
        "garbage\n"
        "\n"
        "37 35 98:0 / /short rw -\n"
        "38 35 98:0 / relative rw - ext4 /dev/x rw\n"
        "39 35 8:3 / /mnt/a\\040b rw - vfat /dev/sda3 rw\n";
    const std::vector<MountEntry> mounts = drives::parseMountInfo(text);
    QCOMPARE(mounts.size(), std::size_t(2));
    QCOMPARE(mounts[0].mountId, 36);
    QCOMPARE(mounts[0].parentId, 35);
    QCOMPARE(mounts[0].major, 98u);
    QCOMPARE(mounts[0].minor, 0u);
    QCOMPARE(mounts[0].root, QByteArray("/mnt1"));
    QCOMPARE(mounts[0].mountPoint, QByteArray("/mnt/parent"));
    QCOMPARE(mounts[0].fsType, QByteArray("ext3"));
    QCOMPARE(mounts[0].source, QByteArray("/dev/root"));
    QCOMPARE(mounts[1].mountPoint, QByteArray("/mnt/a b"));
}

void TstDrives::networkMountsAreNamedBySource()
{
    FakeSystem sys;
    sys.spaces.insert("/", {100000, 40000});
    sys.spaces.insert("/mnt/nfs", {5000000, 1000});
    sys.labels.insert("/dev/sda2", "Home");
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(fixture("network.mountinfo"), sys);

    // proc, sysfs, devtmpfs, tmpfs and the gvfs helper are no drives.
    QCOMPARE(pathsOf(list), (QList<QByteArray>{"/", "/home", "/mnt/nfs", "/mnt/smb", "/home/me/remote"}));

    const DriveCache *nfs = find(list, "/mnt/nfs");
    QCOMPARE(nfs->type, std::uint8_t(DriveTypeNetwork));
    QCOMPARE(nfs->name, QByteArray("fileserver:/export/media"));
    QCOMPARE(nfs->bytesTotal, quint64(5000000));
    QCOMPARE(nfs->bytesAvailable, quint64(1000));
    QCOMPARE(find(list, "/mnt/smb")->name, QByteArray("//nas/public"));
    QCOMPARE(find(list, "/mnt/smb")->type, std::uint8_t(DriveTypeNetwork));
    QCOMPARE(find(list, "/home/me/remote")->name, QByteArray("me@build:/srv"));
    QCOMPARE(find(list, "/home/me/remote")->type, std::uint8_t(DriveTypeNetwork));

    const DriveCache *home = find(list, "/home");
    QCOMPARE(home->type, std::uint8_t(DriveTypeFixed));
    QCOMPARE(home->name, QByteArray("Home"));
    QCOMPARE(home->bytesTotal, quint64(0)); // unreadable size degrades the record, not the list
    for (const DriveCache &d : list) {
        QCOMPARE(d.leadingByte, std::uint8_t(1));
        QCOMPARE(d.plugType, std::uint8_t(0));
        QCOMPARE(d.state, std::uint8_t(0));
    }
}

void TstDrives::removableAndOpticalDrives()
{
    FakeSystem sys;
    sys.removable << "/dev/sdb1" << "/dev/sdc1";
    sys.labels.insert("/dev/sdb1", "MY STICK");
    sys.spaces.insert("/media/me/USB STICK", {8000000000ull, 7000000000ull});
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(fixture("removable.mountinfo"), sys);

    QCOMPARE(pathsOf(list), (QList<QByteArray>{"/", "/boot/efi", "/media/me/USB STICK", "/media/me/cdrom",
                                               "/run/media/me/Back\\up\tDisk", "/mnt/dvd"}));
    const DriveCache *stick = find(list, "/media/me/USB STICK");
    QCOMPARE(stick->type, std::uint8_t(DriveTypeRemovable));
    QCOMPARE(stick->name, QByteArray("MY STICK"));
    QCOMPARE(stick->bytesAvailable, quint64(7000000000ull));

    // An optical drive whose disc cannot be read: hot-plug type, no name, no sizes.
    const DriveCache *cdrom = find(list, "/media/me/cdrom");
    QCOMPARE(cdrom->type, std::uint8_t(DriveTypeRemovable));
    QVERIFY(cdrom->name.isEmpty());
    QCOMPARE(cdrom->bytesTotal, quint64(0));
    QCOMPARE(cdrom->bytesAvailable, quint64(0));

    QCOMPARE(find(list, "/mnt/dvd")->type, std::uint8_t(DriveTypeRemovable));
    QCOMPARE(find(list, "/run/media/me/Back\\up\tDisk")->type, std::uint8_t(DriveTypeRemovable));
    QCOMPARE(find(list, "/")->type, std::uint8_t(DriveTypeFixed));
    QCOMPARE(find(list, "/boot/efi")->type, std::uint8_t(DriveTypeFixed));
}

void TstDrives::bindAndCoveredMountsAreListedOnce()
{
    FakeSystem sys;
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(fixture("bind.mountinfo"), sys);
    // Bind mounts of parts of "/" and "/home" and a second mount of "/" are reachable
    // through those already; the first /mnt/backup is covered by the second; btrfs
    // subvolumes of one file system are distinct drives, a part of one is not.
    QCOMPARE(pathsOf(list), (QList<QByteArray>{"/", "/home", "/mnt/backup", "/mnt/pool", "/mnt/pool-data"}));
}

void TstDrives::containerKeepsOverlayRootAndDropsFileMounts()
{
    FakeSystem sys;
    sys.files << "/etc/hostname" << "/etc/hosts";
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(fixture("container.mountinfo"), sys);
    QCOMPARE(pathsOf(list), (QList<QByteArray>{"/", "/work"}));
}

void TstDrives::manyMountsPutMainDrivesFirst()
{
    FakeSystem sys;
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(fixture("many.mountinfo"), sys);
    QCOMPARE(list.size(), std::size_t(62));
    QCOMPARE(list[0].path, QByteArray("/"));
    QCOMPARE(list[1].path, QByteArray("/home"));
    QCOMPARE(list[2].path, QByteArray("/mnt/images/disk-image-number-00"));

    // The reply (header, status, index, reserved, count, records) holds at most 2048 bytes:
    // not all drives fit, but the main ones do.
    std::size_t used = com::kTermHeaderBytes + 2 + 3 + 3 + 3;
    std::size_t fitting = 0;
    while (fitting < list.size() && used + driveRecordWireSize(list[fitting]) <= FSO_MAX_DRIVES_REPLY)
        used += driveRecordWireSize(list[fitting++]);
    QVERIFY(fitting >= 2);
    QVERIFY(fitting < list.size());

    // The size agrees with what the term stream writes.
    std::vector<std::uint8_t> buffer(256);
    com::TermStreamWriter w(buffer);
    const DriveCache &d = list[2];
    w.writeU8(d.leadingByte);
    w.writeU8(d.type);
    w.writeU8(d.plugType);
    w.writeU8(d.state);
    w.writeU64(d.bytesTotal);
    w.writeU64(d.bytesAvailable);
    w.writeString(d.path.constData(), std::size_t(d.path.size()));
    w.writeString(d.name.constData(), std::size_t(d.name.size()));
    QVERIFY(!w.failed());
    QCOMPARE(w.size(), driveRecordWireSize(d));
}

void TstDrives::mountOfPathPicksLongestMountPoint()
{
    const std::vector<MountEntry> mounts = drives::parseMountInfo(fixture("network.mountinfo"));
    QCOMPARE(drives::mountOfPath(mounts, "/home/me/remote/x").mountPoint, QByteArray("/home/me/remote"));
    QCOMPARE(drives::mountOfPath(mounts, "/home/me").mountPoint, QByteArray("/home"));
    QCOMPARE(drives::mountOfPath(mounts, "/homework").mountPoint, QByteArray("/"));
    QCOMPARE(drives::mountOfPath({}, "/x").mountId, -1);
}

void TstDrives::readsThisMachine()
{
    const std::vector<DriveCache> list = drives::readLocalDrives();
    QVERIFY(!list.empty());
    QCOMPARE(list.front().path, QByteArray("/"));
    QVERIFY(list.front().bytesTotal > 0);
    QVERIFY(list.front().bytesAvailable <= list.front().bytesTotal);
}

void TstDrives::hostileMountTableLines()
{
    QByteArray text =
        // An empty source: the fields after it stay in place.
        "40 26 0:50 / /mnt/n rw - nfs4  rw,vers=4.2\n"
        // No separator, a separator without what follows, non-numeric ids.
        "41 26 0:51 / /mnt/nosep rw shared:3 ext4 /dev/sdz rw\n"
        "42 26 0:52 / /mnt/cut rw shared:3 -\n"
        "x 26 0:53 / /mnt/badid rw - ext4 /dev/sdy rw\n"
        "44 26 0:53: / /mnt/baddev rw - ext4 /dev/sdy rw\n"
        // Escaped backslash, tab and newline, and many optional fields.
        "45 26 8:7 / /mnt/a\\134b\\011c\\012d rw shared:1 master:2 propagate_from:3 unbindable - ext4 /dev/sda7 rw\n";
    text += "46 26 8:8 / /mnt/" + QByteArray(1 << 20, 'x') + " rw - ext4 /dev/sda8 rw\n";
    text += QByteArray("47 26 8:9 / /\0\xff\x80 rw - ext4 /dev/sda9 rw\n", 40);
    const std::vector<MountEntry> mounts = drives::parseMountInfo(text);
    QCOMPARE(mounts.size(), std::size_t(4));
    QCOMPARE(mounts[0].fsType, QByteArray("nfs4"));
    QCOMPARE(mounts[0].source, QByteArray());
    QCOMPARE(mounts[1].mountPoint, QByteArray("/mnt/a\\b\tc\nd"));
    QCOMPARE(mounts[2].mountPoint.size(), 5 + (1 << 20));
    QCOMPARE(mounts[3].mountPoint, QByteArray("/\0\xff\x80", 4));

    // A network drive without a source gets no made-up name.
    FakeSystem sys;
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(text, sys);
    const DriveCache *nfs = find(list, "/mnt/n");
    QVERIFY(nfs);
    QCOMPARE(nfs->type, std::uint8_t(DriveTypeNetwork));
    QCOMPARE(nfs->name, QByteArray());

    // Random bytes neither crash nor invent mounts without a mount point.
    QByteArray noise(1 << 16, '\0');
    quint32 seed = 12345;
    for (char &c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    for (const MountEntry &m : drives::parseMountInfo(noise))
        QVERIFY(m.mountPoint.startsWith('/'));
    (void)drives::drivesFromMountInfo(noise, sys);
}

void TstDrives::overmountHidesWhatWasBeneath()
{
    FakeSystem sys;
    // /mnt/a is mounted over after /mnt/a/b went onto the first /mnt/a: /mnt/a/b is gone
    // from view. /srv/t got a mount tucked beneath the existing one (whose parent it is).
    const QByteArray text =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "30 20 8:17 / /mnt/a rw - ext4 /dev/sdb1 rw\n"
        "31 30 8:33 / /mnt/a/b rw - ext4 /dev/sdc1 rw\n"
        "32 20 8:49 / /mnt/a rw - ext4 /dev/sdd1 rw\n"
        "40 50 8:65 / /srv/t rw - ext4 /dev/sde1 rw\n"
        "50 20 8:81 / /srv/t rw - ext4 /dev/sdf1 rw\n";
    sys.labels["/dev/sdd1"] = "top";
    sys.labels["/dev/sde1"] = "on-top";
    const std::vector<DriveCache> list = drives::drivesFromMountInfo(text, sys);
    QCOMPARE(pathsOf(list), (QList<QByteArray>{"/", "/mnt/a", "/srv/t"}));
    QCOMPARE(list[1].name, QByteArray("top"));
    QCOMPARE(list[2].name, QByteArray("on-top"));

    // Parent cycles and duplicate ids in a broken table end too.
    const QByteArray cyclic =
        "20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "60 61 8:2 / /x rw - ext4 /dev/sdb2 rw\n"
        "61 60 8:3 / /x/y rw - ext4 /dev/sdb3 rw\n"
        "61 60 8:4 / /x/y rw - ext4 /dev/sdb4 rw\n";
    (void)drives::drivesFromMountInfo(cyclic, sys);
}

void TstDrives::unansweringMountIsWaitedForOnce()
{
    // Stands for stat on a network mount whose server is gone.
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    auto runs = std::make_shared<std::atomic<int>>(0);
    auto hang = [released, runs] {
        ++*runs;
        released.wait();
    };
    QCOMPARE(drives::runBounded("/mnt/dead", hang, 20), drives::BoundedResult::TimedOut);
    // The next drive read does not wait again, nor start a second stuck thread.
    QCOMPARE(drives::runBounded("/mnt/dead", hang, 5000), drives::BoundedResult::Busy);
    QCOMPARE(runs->load(), 1);
    // Other mounts are not held up.
    bool ran = false;
    QCOMPARE(drives::runBounded("/mnt/alive", [&ran] { ran = true; }, 5000), drives::BoundedResult::Done);
    QVERIFY(ran);
    // Once it answers, it is asked again.
    release->set_value();
    QTRY_COMPARE(drives::runBounded("/mnt/dead", [] {}, 5000), drives::BoundedResult::Done);
    QCOMPARE(runs->load(), 1);
}

QTEST_GUILESS_MAIN(TstDrives)
#include "tst_drives.moc"

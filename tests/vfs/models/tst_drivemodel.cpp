// The drive model: merge sequences by path and listing id, row order, names, icons and the
// prefix look-ups.

#include "tst_vfsmodel_support.h"
#include "vfs/models/vfsmodelicons.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

VfsDrive drive(const QString &path, quint16 trId, quint64 total = 1000000000ULL,
               const QString &name = QString(), quint8 type = 0, quint8 plugType = 0)
{
    VfsDrive d = driveRecord(path, name, total, type);
    d.trId = trId;
    d.plugType = plugType;
    return d;
}

QStringList pathsOf(const VfsDriveModel &model)
{
    QStringList paths;
    for (int row = 0; row < model.rowCount(); ++row)
        paths << model.getPathForRow(row);
    return paths;
}

} // namespace

class TestDriveModel : public QObject
{
    Q_OBJECT

private slots:
    void mergeSequences();
    void newestListingDecides();
    void identicalListingIsSilent();
    void rolesAndNames();
    void iconPrecedence();
    void prefixLookups();
};

void TestDriveModel::mergeSequences()
{
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

    model.updateDrives({drive("C:", 1), drive("E:", 1)});
    QCOMPARE(model.rowCount(), 0); // merged on the model's thread, later
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"C:", "E:"}));

    model.updateDrives({drive("C:", 2), drive("D:", 2), drive("E:", 2)});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"C:", "D:", "E:"}));

    // The root goes first, even without a size; other new drives without a size are not added,
    // but a listed drive whose size dropped to 0 is updated, not removed.
    model.updateDrives({drive("C:", 3), drive("D:", 3, 0), drive("E:", 3), drive("/", 3, 0),
                        drive("F:", 3, 0), drive("S:", 3, 5, QString(), 3)});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"/", "C:", "D:", "E:"}));
    QCOMPARE(model.index(2, 0).data(VfsDriveModel::BytesTotalRole).toULongLong(), 0ULL);

    model.updateDrives({drive("C:", 4)});
    pumpEvents();
    QCOMPARE(pathsOf(model), QStringList{"C:"});

    // An empty listing changes nothing.
    model.updateDrives({});
    pumpEvents();
    QCOMPARE(pathsOf(model), QStringList{"C:"});

    // Other paths keep their order of arrival.
    model.updateDrives({drive("C:", 5), drive("/mnt/b", 5), drive("/mnt/a", 5)});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"C:", "/mnt/b", "/mnt/a"}));
}

void TestDriveModel::newestListingDecides()
{
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.updateDrives({drive("/", 1), drive("/media/old", 1)});
    pumpEvents();

    // Two listings queue up before the merge runs: the drives of the newer one stay.
    model.updateDrives({drive("/", 2), drive("/media/old", 2)});
    model.updateDrives({drive("/", 3), drive("/media/new", 3)});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"/", "/media/new"}));
}

void TestDriveModel::identicalListingIsSilent()
{
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.updateDrives({drive("/", 1), drive("/data", 1)});
    pumpEvents();

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.updateDrives({drive("/", 9), drive("/data", 9)});
    pumpEvents();
    QCOMPARE(changed.count() + inserted.count() + removed.count(), 0);
    // Their listing id was refreshed: a later listing with id 9 keeps them.
    model.updateDrives({drive("/", 9)});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"/", "/data"}));

    model.updateDrives({drive("/", 10, 2000000000ULL), drive("/data", 10)});
    pumpEvents();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), model.index(0, 0));
    QCOMPARE(changed.at(0).at(1).toModelIndex(), model.index(0, 5));
}

void TestDriveModel::rolesAndNames()
{
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.updateDrives({drive("/", 1, 256000000000ULL), drive("C:", 1), drive("D:", 1, 5, "Data"),
                        drive("Z:", 1, 5, "\\\\server\\share", 2), drive("Y:", 1, 5, "\\\\", 2),
                        drive("/media/usb", 1, 5, "Stick", 1, 3),
                        drive("/media/x", 1, 64000000000ULL, "/dev/sdb1")});
    pumpEvents();
    QCOMPARE(pathsOf(model), (QStringList{"/", "C:", "D:", "Y:", "Z:", "/media/usb", "/media/x"}));

    auto text = [&model](int row, int role) { return model.index(row, 0).data(role).toString(); };
    QCOMPARE(text(0, VfsDriveModel::DisplayNameRole), QStringLiteral("Main HD"));
    QCOMPARE(text(0, VfsDriveModel::ShortNameRole), QStringLiteral("HD"));
    QCOMPARE(text(1, VfsDriveModel::DisplayNameRole), QStringLiteral("Local Disk (C:)"));
    QCOMPARE(text(1, VfsDriveModel::ShortNameRole), QStringLiteral("C"));
    QCOMPARE(text(2, VfsDriveModel::DisplayNameRole), QStringLiteral("Data (D:)"));
    QCOMPARE(text(3, VfsDriveModel::DisplayNameRole), QStringLiteral("Y:"));
    QCOMPARE(text(4, VfsDriveModel::DisplayNameRole), QStringLiteral("share (\\\\server) (Z:)"));
    QCOMPARE(text(5, VfsDriveModel::DisplayNameRole), QStringLiteral("Stick"));
    QCOMPARE(text(5, VfsDriveModel::TypeRole), QStringLiteral("hotplug"));
    QCOMPARE(text(5, VfsDriveModel::PlugTypeRole), QStringLiteral("usb"));
    QCOMPARE(text(6, VfsDriveModel::DisplayNameRole), QStringLiteral("64 GB Volume"));
    QCOMPARE(text(6, VfsDriveModel::ShortNameRole), QStringLiteral("HD6"));

    QCOMPARE(model.index(1, 1).data().toString(), QStringLiteral("Local Disk (C:)"));
    QCOMPARE(model.index(1, 2).data().toString(), QStringLiteral("C"));
    QCOMPARE(model.index(4, 3).data().toString(), QStringLiteral("smb"));
    QCOMPARE(model.index(4, 4).data().toString(), QStringLiteral("Z:"));
    QVERIFY(!model.index(1, 5).data().isValid());
    QVERIFY(!model.index(1, 0).data(VfsDriveModel::StateRole).isValid());
    QVERIFY(!model.index(1, 0).data(Qt::DecorationRole).isValid());
    QCOMPARE(model.index(0, 0).data(VfsDriveModel::BytesTotalRole).toULongLong(), 256000000000ULL);
    QCOMPARE(model.columnCount(), 6);
    QCOMPARE(model.roleNames().size(), 11);
    QCOMPARE(model.roleNames().value(VfsDriveModel::IconNameRole), QByteArray("vfsDriveIconName"));
    QCOMPARE(model.getPathForRow(-1), QString());
    QCOMPARE(model.getPathForRow(model.rowCount()), QString());
}

void TestDriveModel::iconPrecedence()
{
    QCOMPARE(VfsDriveModel::iconName(drive("/", 1, 1, QString(), 1, 6)), QStringLiteral("icon/drive-smb.svg"));
    QCOMPARE(VfsDriveModel::plugTypeText(6), QStringLiteral("unknown"));
    QCOMPARE(VfsDriveModel::iconName(drive("/", 1, 1, QString(), 2, 0)), QStringLiteral("icon/drive-smb.svg"));
    QCOMPARE(VfsDriveModel::iconName(drive("/", 1, 1, QString(), 1, 3)), QStringLiteral("icon/drive-hotplug.svg"));
    QCOMPARE(VfsDriveModel::iconName(drive("/", 1, 1, QString(), 0, 1)), QStringLiteral("icon/drive-disk.svg"));
    QCOMPARE(VfsDriveModel::typeText(7), QStringLiteral("unknown"));

    // The theme images come first; the desktop theme is the fallback.
    QStringList asked;
    setVfsThemePixmapLoader([&asked](const QString &id, const QSize &size) {
        asked << QStringLiteral("%1@%2").arg(id).arg(size.width());
        QPixmap pixmap(size);
        pixmap.fill(Qt::red);
        return pixmap;
    });
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.updateDrives({drive("/", 1, 1, QString(), 1)});
    pumpEvents();
    const QIcon icon = model.index(0, 0).data(VfsDriveModel::IconRole).value<QIcon>();
    setVfsThemePixmapLoader(nullptr);
    QCOMPARE(asked, (QStringList{"icon/drive-hotplug.svg@16", "icon/drive-hotplug.svg@24",
                                 "icon/drive-hotplug.svg@32", "icon/drive-hotplug.svg@48"}));
    QCOMPARE(icon.availableSizes().size(), 4);
    QVERIFY(model.index(0, 2).data(Qt::DecorationRole).canConvert<QIcon>());
}

void TestDriveModel::prefixLookups()
{
    VfsDriveModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.updateDrives({drive("/", 1), drive("/media/usb", 1, 5, "Stick"), drive("C:", 1, 7)});
    pumpEvents();

    QCOMPARE(model.driveForPath("/media/usb/photos").path, QStringLiteral("/media/usb"));
    QCOMPARE(model.driveForPath("/media/usb").path, QStringLiteral("/media/usb"));
    // Not inside the stick just because the name starts the same way.
    QCOMPARE(model.driveForPath("/media/usb2/photos").path, QStringLiteral("/"));
    QCOMPARE(model.driveForPath("C:\\Users").path, QStringLiteral("C:"));
    QCOMPARE(model.driveForPath("C:\\Users").bytesTotal, 7ULL);
    const VfsDrive none = model.driveForPath("Q:\\x");
    QVERIFY(none.path.isEmpty());
    QCOMPARE(none.bytesTotal, 0ULL);

    QCOMPARE(model.indexForPath("/media/usb"), model.index(1, 0));
    QVERIFY(!model.indexForPath("/media").isValid());
    QVERIFY(!model.indexForPath("/media/usb/").isValid());
}

QTEST_MAIN(TestDriveModel)
#include "tst_drivemodel.moc"

// The sort and filter model over a real file model: folders first in both orders, size and
// time columns by value, hidden entries below the shown folder, dimming of old entries.

#include "tst_vfsmodel_support.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QGuiApplication>
#include <QPalette>
#include <QtTest>

namespace {

class CountingProxy : public VfsSortFilterProxyModel
{
public:
    mutable int filterCalls = 0;

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override
    {
        ++filterCalls;
        return VfsSortFilterProxyModel::filterAcceptsRow(row, parent);
    }
};

QStringList namesUnder(const QSortFilterProxyModel &proxy, const QModelIndex &parent, int column = 0)
{
    QStringList names;
    for (int row = 0; row < proxy.rowCount(parent); ++row)
        names << proxy.index(row, column, parent).siblingAtColumn(0).data().toString();
    return names;
}

qint64 ms(int y, int m, int d)
{
    return QDateTime(QDate(y, m, d), QTime(12, 0)).toMSecsSinceEpoch();
}

} // namespace

class TestSortFilter : public QObject
{
    Q_OBJECT

private slots:
    void sortTable();
    void hiddenFilter();
    void dimming();
};

void TestSortFilter::sortTable()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {fileRecord("a", 10, ms(2020, 1, 1)), dirRecord("b"),
                           fileRecord("c", 9, ms(2019, 12, 31)), dirRecord("a-dir")}));
    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(rig.model);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QModelIndex root = proxy.mapFromSource(rig.model->indexForPath("/"));

    proxy.sort(VfsModel::NameColumn, Qt::AscendingOrder);
    QCOMPARE(namesUnder(proxy, root), (QStringList{"a-dir", "b", "a", "c"}));
    proxy.sort(VfsModel::NameColumn, Qt::DescendingOrder);
    QCOMPARE(namesUnder(proxy, root), (QStringList{"b", "a-dir", "c", "a"}));

    // 9 bytes before 10 bytes, though "10" comes first as text.
    proxy.sort(VfsModel::SizeColumn, Qt::AscendingOrder);
    QCOMPARE(namesUnder(proxy, root).mid(2), (QStringList{"c", "a"}));

    // By time, not by the shown date text.
    proxy.sort(VfsModel::MTimeStringColumn, Qt::AscendingOrder);
    QCOMPARE(namesUnder(proxy, root).mid(2), (QStringList{"c", "a"}));
    proxy.sort(VfsModel::MTimeStringColumn, Qt::DescendingOrder);
    QCOMPARE(namesUnder(proxy, root), (QStringList{"b", "a-dir", "a", "c"}));

    // Names in the order of the locale's collation, letter case and accents included.
    QStringList mixed{"b", "B", "a10", "a9", "Äpfel", "apfel", "_x", "Zebra", "ähre"};
    std::vector<VfsDirectoryEntry> files;
    for (const QString &name : mixed)
        files.push_back(fileRecord(name));
    QVERIFY(rig.list("/", files));
    // Equal sizes keep the listing's order in both directions.
    proxy.sort(VfsModel::SizeColumn, Qt::DescendingOrder);
    QCOMPARE(namesUnder(proxy, root), mixed);
    std::stable_sort(mixed.begin(), mixed.end(),
                     [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; });
    proxy.sort(VfsModel::NameColumn, Qt::AscendingOrder);
    QCOMPARE(namesUnder(proxy, root), mixed);
}

void TestSortFilter::hiddenFilter()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    VfsDirectoryEntry cfg = dirRecord(".cfg");
    cfg.hidden = 1;
    VfsDirectoryEntry secret = fileRecord(".secret");
    secret.hidden = 1;
    QVERIFY(rig.list("/", {cfg, fileRecord("plain")}));
    QVERIFY(rig.list("/.cfg", {secret, fileRecord("visible")}));

    CountingProxy proxy;
    proxy.setSourceModel(rig.model);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    proxy.sort(0);
    auto names = [&](const QString &path) {
        return namesUnder(proxy, proxy.mapFromSource(rig.model->indexForPath(path)));
    };

    // No shown folder yet: nothing is hidden.
    QCOMPARE(names("/.cfg"), (QStringList{".secret", "visible"}));

    proxy.setRootIndex(rig.model->indexForPath("/.cfg"));
    QCOMPARE(proxy.rootPath(), QStringLiteral("/.cfg"));
    QCOMPARE(names("/.cfg"), QStringList{"visible"});
    // The hidden ancestor shown in a tree stays.
    QCOMPARE(names("/"), (QStringList{".cfg", "plain"}));

    proxy.setShowHidden(true);
    QCOMPARE(names("/.cfg"), (QStringList{".secret", "visible"}));
    const int calls = proxy.filterCalls;
    proxy.setShowHidden(true);
    proxy.setRootIndex(rig.model->indexForPath("/.cfg"));
    QCOMPARE(proxy.filterCalls, calls);
    proxy.setShowHidden(false);
    QVERIFY(proxy.filterCalls > calls);
    QCOMPARE(names("/.cfg"), QStringList{"visible"});
}

void TestSortFilter::dimming()
{
    ModelRig rig;
    QVERIFY(rig.listDrives({driveRecord("/")}));
    QVERIFY(rig.list("/", {fileRecord("old", 1, rig.nowMs - 2 * 3600 * 1000),
                           fileRecord("fresh", 1, rig.nowMs - 10 * 60 * 1000)}));
    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(rig.model);
    proxy.setClock([&rig] { return rig.nowMs; });
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QPersistentModelIndex old = proxy.mapFromSource(rig.model->indexForPath("/old"));
    const QPersistentModelIndex fresh = proxy.mapFromSource(rig.model->indexForPath("/fresh"));
    const QColor dim = QGuiApplication::palette().color(QPalette::Inactive, QPalette::Mid);
    const QColor freshColour = QColor("#269004");

    QCOMPARE(fresh.data(Qt::ForegroundRole).value<QColor>(), freshColour);
    QVERIFY(old.data(Qt::ForegroundRole).value<QColor>() != dim); // -1: off
    proxy.setRecentSeconds(3600);
    QCOMPARE(old.data(Qt::ForegroundRole).value<QColor>(), dim);
    QCOMPARE(fresh.data(Qt::ForegroundRole).value<QColor>(), freshColour);
    QCOMPARE(old.sibling(old.row(), VfsModel::SizeColumn).data(Qt::ForegroundRole),
             rig.model->indexForPath("/old").siblingAtColumn(VfsModel::SizeColumn).data(Qt::ForegroundRole));
    proxy.setRecentSeconds(0);
    QVERIFY(old.data(Qt::ForegroundRole).value<QColor>() != dim);
}

QTEST_MAIN(TestSortFilter)
#include "tst_sortfilter.moc"

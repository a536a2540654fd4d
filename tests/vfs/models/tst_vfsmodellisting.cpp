// A big folder merged into the file model batch by batch and seen through the sort model, as
// a file browser sees it: the rows end sorted with their own attributes, and listing the
// folder again keeps the selected row.

#include "tst_vfsmodel_support.h"

#include "vfs/models/vfssortfilterproxymodel.h"

#include <QItemSelectionModel>
#include <QLocale>
#include <QtTest>

namespace {

QString padded(const char *prefix, int n, const char *suffix = "")
{
    return QStringLiteral("%1%2%3").arg(QLatin1String(prefix)).arg(n, 4, 10, QLatin1Char('0')).arg(QLatin1String(suffix));
}

QStringList rowNames(const QAbstractItemModel &model, const QModelIndex &parent)
{
    QStringList names;
    for (int row = 0; row < model.rowCount(parent); ++row)
        names << model.index(row, 0, parent).data().toString();
    return names;
}

} // namespace

class TestVfsModelListing : public QObject
{
    Q_OBJECT

private slots:
    void bigListingEndsSortedAndKeepsSelection()
    {
        ModelRig rig;
        QVERIFY(rig.listDrives({driveRecord("/")}));
        const QModelIndex root = rig.model->indexForPath("/");
        VfsSortFilterProxyModel sorted;
        sorted.setSourceModel(rig.model);
        sorted.sort(0, Qt::AscendingOrder);
        QItemSelectionModel selection(&sorted);

        // Listing order is not name order. Names that differ in their link target are two
        // rows; the same name twice is one.
        const int count = 2500;
        std::vector<VfsDirectoryEntry> records;
        QStringList folders, files;
        for (int i = 0; i < count; ++i) {
            const int n = i * 7919 % count;
            if (n % 10 == 0) {
                records.push_back(dirRecord(padded("d", n)));
            } else {
                records.push_back(fileRecord(padded("f", n, ".dat"), quint64(n)));
                files << padded("f", n, ".dat");
            }
        }
        for (int n = 0; n < count; n += 10)
            folders << padded("d", n);
        files.sort();
        VfsDirectoryEntry link = fileRecord(QStringLiteral("link"));
        link.type = 3;
        link.linkTarget = QStringLiteral("/a");
        records.push_back(link);
        link.linkTarget = QStringLiteral("/b");
        records.push_back(link);
        records.push_back(fileRecord(padded("f", 1, ".dat"), 99));
        rig.model->fetchMore(root);
        QVERIFY(rig.client.answer("/", records));
        QVERIFY(rig.mergeAll() >= 4); // batches of 300, 300, 600, 1200 and the rest

        const QModelIndex sortedRoot = sorted.mapFromSource(root);
        const QStringList links{"link", "link"};
        QCOMPARE(rowNames(sorted, sortedRoot), folders + files + links);
        const QModelIndex some = rig.model->indexForPath("/f0003.dat");
        QCOMPARE(some.data(VfsModel::SizeRole).toULongLong(), 3ULL);
        const auto sizeText = [](qint64 size) {
            return QLocale().formattedDataSize(size, 1, QLocale::DataSizeSIFormat);
        };
        // Below a kilobyte a count of bytes, in any locale worded by the catalogue (none here).
        QCOMPARE(some.data(VfsModel::SizeStringRole).toString(), QStringLiteral("3 bytes"));

        // Listed again with rows gone, a row new and the selected row grown.
        const QModelIndex picked = sorted.mapFromSource(rig.model->indexForPath("/f1234.dat"));
        selection.select(picked, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        std::vector<VfsDirectoryEntry> again;
        for (VfsDirectoryEntry record : records) {
            if (record.name == QLatin1String("f0002.dat") || record.name == QLatin1String("d0010"))
                continue;
            if (record.name == QLatin1String("f1234.dat"))
                record.size = 5000000;
            again.push_back(record);
        }
        again.push_back(fileRecord(QStringLiteral("e-new.dat")));
        rig.nowMs += 5000;
        QVERIFY(rig.model->canFetchMore(root));
        rig.model->fetchMore(root);
        QVERIFY(rig.client.answer("/", again));
        rig.mergeAll();

        folders.removeOne(QStringLiteral("d0010"));
        files.removeOne(QStringLiteral("f0002.dat"));
        files.prepend(QStringLiteral("e-new.dat"));
        QCOMPARE(rowNames(sorted, sortedRoot), folders + files + links);
        const QModelIndexList selected = selection.selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.first().data().toString(), QStringLiteral("f1234.dat"));
        QCOMPARE(selected.first().data(VfsModel::SizeStringRole).toString(), sizeText(5000000));

        // Preview candidates: an extension after any dot, in any letter case, whole.
        QVERIFY(rig.list("/d0000", {fileRecord("Raw.NEF"), fileRecord("shot.JpEg.old"), fileRecord("a.p"),
                                    fileRecord("notes.txt"), fileRecord(".ps")}));
        QStringList previewable;
        const QModelIndex sub = rig.model->indexForPath("/d0000");
        for (int row = 0; row < rig.model->rowCount(sub); ++row) {
            const QModelIndex index = rig.model->index(row, 0, sub);
            if (static_cast<VfsEntry *>(index.internalPointer())->previewState == 1)
                previewable << index.data().toString();
        }
        QCOMPARE(previewable, (QStringList{"Raw.NEF", "shot.JpEg.old", ".ps"}));
    }
};

QTEST_MAIN(TestVfsModelListing)
#include "tst_vfsmodellisting.moc"

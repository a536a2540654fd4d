// Thumbnails and type icons of the file model through the hooks the window installs: one
// load at a time for shown folders, the largest picture cached and the small ones squared
// into the icon, failed files not reloaded again and again, changed files dropping their old
// thumbnail, rows that go while loading left alone.

#include "tst_vfsmodel_support.h"
#include "vfs/models/vfsmodelicons.h"

#include <QFutureInterface>
#include <QPainter>
#include <QtTest>

namespace {

// Loads the test answers by hand.
struct ManualLoader
{
    std::vector<VfsThumbnailRequest> requests;
    std::vector<QFutureInterface<VfsThumbnailResult>> pending;

    void install()
    {
        setVfsThumbnailLoader([this](const VfsThumbnailRequest &request) {
            requests.push_back(request);
            pending.emplace_back();
            pending.back().reportStarted();
            return pending.back().future();
        });
    }
    void finish(size_t n, const VfsThumbnailResult &result)
    {
        pending[n].reportResult(result);
        pending[n].reportFinished();
    }
};

VfsThumbnailResult picturesOf(const QString &path, QSize source)
{
    VfsThumbnailResult result;
    result.path = path;
    result.width = source.width();
    result.height = source.height();
    for (const QSize &bound : VfsModelPreviews::thumbnailBounds())
        result.images.push_back(QImage(source.scaled(bound, Qt::KeepAspectRatio), QImage::Format_RGB32));
    return result;
}

VfsEntry *entryOf(const QModelIndex &index)
{
    return static_cast<VfsEntry *>(index.internalPointer());
}

} // namespace

class TestVfsModelIcons : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { setVfsThumbnailLoader(nullptr); }

    void thumbnailsLoadOneAtATimeForShownFolders()
    {
        ManualLoader loader;
        loader.install();
        ModelRig rig;
        QVERIFY(rig.listDrives({driveRecord("/")}));
        rig.model->retainPath(QStringLiteral("/"));
        QVERIFY(rig.list("/", {fileRecord("a.jpg", 10, 1000), fileRecord("b.png", 10, 1000)}));
        const QModelIndex a = rig.model->indexForPath("/a.jpg");
        const QModelIndex b = rig.model->indexForPath("/b.png");
        a.data(Qt::DecorationRole);
        b.data(VfsModel::PreviewRole);
        QTRY_COMPARE(loader.requests.size(), size_t(1));
        QCOMPARE(loader.requests[0].path, QStringLiteral("/a.jpg"));
        QCOMPARE(loader.requests[0].peerUuid, rig.peer->uuid());
        QCOMPARE(loader.requests[0].mtime, qint64(1000));
        QCOMPARE(loader.requests[0].bounds.size(), size_t(5));
        QTest::qWait(30);
        QCOMPARE(loader.requests.size(), size_t(1)); // the second waits for the first

        loader.finish(0, picturesOf("/a.jpg", QSize(1024, 768)));
        QTRY_COMPARE(loader.requests.size(), size_t(2));
        QCOMPARE(a.data(VfsModel::PreviewRole).value<QImage>().size(), QSize(256, 192));
        const QIcon thumbnail = a.data(Qt::DecorationRole).value<QIcon>();
        QCOMPARE(thumbnail.availableSizes().size(), 4);
        QVERIFY(thumbnail.availableSizes().contains(QSize(48, 48)));
        QCOMPARE(entryOf(a)->previewWidth, 256);
        QCOMPARE(entryOf(a)->previewState, 1);
    }

    void failedFilesWaitForAChange()
    {
        ManualLoader loader;
        loader.install();
        ModelRig rig;
        QVERIFY(rig.listDrives({driveRecord("/")}));
        rig.model->retainPath(QStringLiteral("/"));
        QVERIFY(rig.list("/", {fileRecord("broken.png", 10, 1000), fileRecord("pic.jpg", 10, 1000)}));
        const QModelIndex broken = rig.model->indexForPath("/broken.png");
        const QModelIndex pic = rig.model->indexForPath("/pic.jpg");
        broken.data(Qt::DecorationRole);
        QTRY_COMPARE(loader.requests.size(), size_t(1));
        loader.finish(0, VfsThumbnailResult{QStringLiteral("/broken.png"), -1, -1, {}});
        QTRY_VERIFY(!rig.model->findChild<VfsModelPreviews *>()->isLoading());
        for (int i = 0; i < 5; ++i)
            broken.data(Qt::DecorationRole);
        QTest::qWait(30);
        QCOMPARE(loader.requests.size(), size_t(1));

        pic.data(Qt::DecorationRole);
        QTRY_COMPARE(loader.requests.size(), size_t(2));
        loader.finish(1, picturesOf("/pic.jpg", QSize(400, 300)));
        QTRY_VERIFY(!entryOf(pic)->thumbnail.isNull());

        // Both files change: the old thumbnail goes at once, both load again.
        QVERIFY(rig.list("/", {fileRecord("broken.png", 20, 2000), fileRecord("pic.jpg", 20, 2000)}));
        QVERIFY(entryOf(pic)->thumbnail.isNull());
        QTRY_COMPARE(loader.requests.size(), size_t(3));
        loader.finish(2, picturesOf("/broken.png", QSize(64, 64)));
        QTRY_COMPARE(loader.requests.size(), size_t(4));
        QCOMPARE(loader.requests[3].path, QStringLiteral("/pic.jpg"));
        QCOMPARE(loader.requests[3].mtime, qint64(2000));
    }

    void leftFoldersAndRemovedRowsAreSkipped()
    {
        ManualLoader loader;
        loader.install();
        ModelRig rig;
        QVERIFY(rig.listDrives({driveRecord("/")}));
        VfsEntry *root = rig.model->retainPath(QStringLiteral("/"));
        QVERIFY(rig.list("/", {fileRecord("one.png", 1, 5), fileRecord("two.png", 1, 5)}));
        rig.model->indexForPath("/one.png").data(Qt::DecorationRole);
        QTRY_COMPARE(loader.requests.size(), size_t(1));
        rig.model->indexForPath("/two.png").data(Qt::DecorationRole);
        rig.model->releasePath(QStringLiteral("/"));
        // one.png goes while its load runs; the folder is no longer shown.
        QVERIFY(rig.list("/", {fileRecord("two.png", 1, 5)}));
        loader.finish(0, picturesOf("/one.png", QSize(64, 64)));
        QTest::qWait(40);
        QCOMPARE(loader.requests.size(), size_t(1));
        const QModelIndex two = rig.model->indexForPath("/two.png");
        QCOMPARE(entryOf(two)->previewState, 1);
        QVERIFY(root);
        rig.model->retainPath(QStringLiteral("/"));
        two.data(Qt::DecorationRole);
        QTRY_COMPARE(loader.requests.size(), size_t(2));
    }

    void typeIconsOncePerSuffix()
    {
        int asked = 0;
        setVfsThemePixmapLoader([&asked](const QString &id, const QSize &size) {
            if (!id.startsWith(QLatin1String("mime/")))
                return QPixmap();
            ++asked;
            QPixmap pixmap(size);
            pixmap.fill(Qt::darkGreen);
            return pixmap;
        });
        ModelRig rig;
        QVERIFY(rig.listDrives({driveRecord("/")}));
        QVERIFY(rig.list("/", {fileRecord("a.odt"), fileRecord("b.odt"), fileRecord("plain")}));
        const QIcon a = rig.model->indexForPath("/a.odt").data(Qt::DecorationRole).value<QIcon>();
        const QIcon b = rig.model->indexForPath("/b.odt").data(Qt::DecorationRole).value<QIcon>();
        setVfsThemePixmapLoader(nullptr);
        if (QIcon::fromTheme(QStringLiteral("x-office-document")).isNull())
            QCOMPARE(asked, 1);
        QVERIFY(!a.isNull());
        QCOMPARE(a.cacheKey(), b.cacheKey());
        QVERIFY(VfsModel::iconCache().contains(QStringLiteral("odt")));
    }
};

QTEST_MAIN(TestVfsModelIcons)
#include "tst_vfsmodelicons.moc"

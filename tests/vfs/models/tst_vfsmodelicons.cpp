// Thumbnails and type icons of the file model through the hooks the window installs: one
// load at a time for shown folders, the largest picture cached and the small ones squared
// into the icon, failed files not reloaded again and again, changed files dropping their old
// thumbnail, rows that go while loading left alone.

#include "tst_vfsmodel_support.h"
#include "vfs/models/vfsmodelicons.h"

#include <QDir>
#include <QFutureInterface>
#include <QTemporaryDir>
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
        // The queue was gone through once two.png is previewable again rather than queued.
        const QModelIndex two = rig.model->indexForPath("/two.png");
        QTRY_COMPARE(entryOf(two)->previewState, 1);
        QCOMPARE(loader.requests.size(), size_t(1));
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

    // This computer's files show their own icons: a .desktop file the one its entry names, a
    // folder the one its .directory names, a program the theme's icon of its name; files of
    // a suffix share the first one's icon. Another computer's files queue nothing.
    void ownIconsOfThisComputersFiles()
    {
        QTemporaryDir dir;
        auto picture = [&](const QString &path, QColor colour) {
            QImage image(16, 16, QImage::Format_ARGB32);
            image.fill(colour);
            return QDir().mkpath(QFileInfo(path).absolutePath()) && image.save(path);
        };
        auto text = [&](const QString &path, const QByteArray &content) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
        QVERIFY(picture(dir.filePath("red.png"), Qt::red) && picture(dir.filePath("blue.png"), Qt::blue));
        QVERIFY(picture(dir.filePath("theme/t39/16x16/apps/tool.png"), Qt::green));
        QVERIFY(picture(dir.filePath("theme/t39/16x16/apps/text-plain.png"), Qt::yellow));
        QVERIFY(text(dir.filePath("theme/t39/index.theme"),
                     "[Icon Theme]\nName=t39\nDirectories=16x16/apps\n\n[16x16/apps]\nSize=16\nType=Fixed\n"));
        QVERIFY(QDir().mkpath(dir.filePath("files/music")) && QDir().mkpath(dir.filePath("files/plain")));
        QVERIFY(text(dir.filePath("files/app.desktop"), "[Desktop Action x]\nIcon=" + dir.filePath("blue.png").toUtf8()
                     + "\n[Desktop Entry]\nName=App\nIcon[de]=nothing\nIcon = " + dir.filePath("red.png").toUtf8() + "\n"));
        QVERIFY(picture(dir.filePath("theme/t39/16x16/apps/folder-music.png"), Qt::blue));
        QVERIFY(text(dir.filePath("files/music/.directory"), "[Desktop Entry]\nIcon=folder-music\n"));
        QVERIFY(text(dir.filePath("files/tool"), "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(dir.filePath("files/tool"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(text(dir.filePath("files/a.txt"), "a") && text(dir.filePath("files/b.txt"), "b"));

        const QStringList oldPaths = QIcon::themeSearchPaths();
        const QString oldTheme = QIcon::themeName();
        QIcon::setThemeSearchPaths({dir.filePath("theme")});
        QIcon::setThemeName(QStringLiteral("t39"));
        const std::vector<VfsDirectoryEntry> records{fileRecord("app.desktop"), dirRecord("music"), dirRecord("plain"),
                                                     fileRecord("tool"), fileRecord("a.txt"), fileRecord("b.txt")};
        const QString files = dir.filePath("files");
        auto colour = [](const QModelIndex &index) {
            return index.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage().pixelColor(8, 8);
        };
        {
            ModelRig rig(nullUuidString());
            QVERIFY(rig.listDrives({driveRecord(files)}));
            QVERIFY(rig.list(files, records));
            QVERIFY(rig.model->queuedIconCount() > 0);
            QVERIFY(rig.model->iconTimer()->isActive());
            const qint64 plainBefore = rig.model->indexForPath(files + "/plain").data(Qt::DecorationRole).value<QIcon>().cacheKey();
            static_cast<ManualTimer *>(rig.model->iconTimer())->fire();
            QTRY_COMPARE(rig.model->queuedIconCount(), 0);
            QCOMPARE(colour(rig.model->indexForPath(files + "/app.desktop")), QColor(Qt::red));
            QCOMPARE(colour(rig.model->indexForPath(files + "/music")), QColor(Qt::blue));
            QCOMPARE(colour(rig.model->indexForPath(files + "/tool")), QColor(Qt::green));
            QCOMPARE(rig.model->indexForPath(files + "/plain").data(Qt::DecorationRole).value<QIcon>().cacheKey(),
                     plainBefore);
            const QIcon a = rig.model->indexForPath(files + "/a.txt").data(Qt::DecorationRole).value<QIcon>();
            QCOMPARE(colour(rig.model->indexForPath(files + "/a.txt")), QColor(Qt::yellow));
            QCOMPARE(rig.model->indexForPath(files + "/b.txt").data(Qt::DecorationRole).value<QIcon>().cacheKey(),
                     a.cacheKey());
            QVERIFY(!VfsModel::iconCache().contains(QString()) && !VfsModel::iconCache().contains("desktop"));
        }
        {
            ModelRig remote;
            QVERIFY(remote.listDrives({driveRecord(files)}));
            QVERIFY(remote.list(files, records));
            QCOMPARE(remote.model->queuedIconCount(), 0);
            QVERIFY(colour(remote.model->indexForPath(files + "/app.desktop")) != QColor(Qt::red));
        }
        QIcon::setThemeSearchPaths(oldPaths);
        QIcon::setThemeName(oldTheme);
    }

    // The first file of a suffix that shows no icon speaks for the others: they keep the
    // shared file icon without being read one by one.
    void iconlessSuffixReadOnce()
    {
        QTemporaryDir dir;
        ModelRig rig(nullUuidString());
        QVERIFY(rig.listDrives({driveRecord(dir.path())}));
        std::vector<VfsDirectoryEntry> records;
        for (int i = 0; i < 200; ++i)
            records.push_back(fileRecord(QStringLiteral("f%1.zq9").arg(i)));
        QVERIFY(rig.list(dir.path(), records));
        QCOMPARE(rig.model->queuedIconCount(), 200);
        static_cast<ManualTimer *>(rig.model->iconTimer())->fire();
        QTRY_VERIFY(rig.model->queuedIconCount() < 200);
        QCOMPARE(rig.model->queuedIconCount(), 0);
    }
};

QTEST_MAIN(TestVfsModelIcons)
#include "tst_vfsmodelicons.moc"

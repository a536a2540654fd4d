// The image pipeline over a folder of real files the test makes: every EXIF orientation turned
// upright exactly once, broken files and bombs refused, bounds that cannot divide by zero, a
// cache with one row per picture and one write per hit, desktop thumbnails only while current,
// and other peers' files fetched with a cap.

#include "db/sqlitedatabase.h"
#include "testutil_images.h"
#include "ui/preview/imagelimits.h"
#include "ui/preview/imagepipeline.h"
#include "ui/preview/rawdecoder.h"
#include "ui/preview/remotefile.h"
#include "vfs/fso/fsoprotocol.h"
#include "vfs/fso/vfsclient.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

class CountingDatabase : public SqliteDatabase
{
public:
    using SqliteDatabase::SqliteDatabase;
    bool putImages(const std::vector<ImageCacheDto> &rows) override
    {
        ++puts;
        return SqliteDatabase::putImages(rows);
    }
    bool touchImages(const std::vector<QString> &ids, qint64 atime) override
    {
        ++touches;
        touched += int(ids.size());
        return SqliteDatabase::touchImages(ids, atime);
    }
    std::atomic<int> puts{0}, touches{0}, touched{0};
};

const std::vector<QSize> kModelBounds = {{20, 20}, {24, 24}, {32, 32}, {48, 48}, {256, 256}};

PreviewImageResult load(const QString &path, std::vector<QSize> bounds = kModelBounds,
                        IDatabase *db = nullptr, qint64 mtime = 0)
{
    PreviewImageRequest request;
    request.peerUuid = db ? nullUuidString() : QString();
    request.path = path;
    request.bounds = std::move(bounds);
    request.mtime = mtime;
    return getPreviewImage(request, db);
}

// Runs a statement on a connection of its own; the number of rows it changed, -1 on failure.
int rawExec(const QString &dbFile, const QString &sql)
{
    int changed = -1;
    {
        QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("rawexec"));
        raw.setDatabaseName(dbFile);
        if (raw.open()) {
            QSqlQuery q(raw);
            if (q.exec(sql))
                changed = q.numRowsAffected();
            raw.close();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("rawexec"));
    return changed;
}

int rowCount(const QString &dbFile)
{
    QSqlDatabase raw = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
    raw.setDatabaseName(dbFile);
    int count = -1;
    if (raw.open()) {
        QSqlQuery q(raw);
        if (q.exec(QStringLiteral("SELECT COUNT(*) FROM imgcache")) && q.next())
            count = q.value(0).toInt();
        raw.close();
    }
    raw = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return count;
}

// A client that serves one byte array and can be told to stay silent.
class ServingClient : public VfsClient
{
public:
    QByteArray content;
    bool silent = false;
    int released = 0;
    void openFile(VfsOpenFileJob *job) override
    {
        job->release = [this](VfsOpenFileJob *) { ++released; };
        if (silent)
            return;
        job->status = FSO_STATUS_SUCCESS;
        job->handle = 7;
        job->jobStatus = JobFinished;
        Q_EMIT openFileUpdate(job);
    }
    void readFile(VfsReadFileJob *job) override
    {
        const QByteArray block = content.mid(int(job->offset), int(job->size));
        job->data.assign(block.begin(), block.end());
        job->receivedSize = quint32(block.size());
        job->status = FSO_STATUS_SUCCESS;
        job->jobStatus = JobFinished;
        Q_EMIT readFileUpdate(job);
    }
    void closeFile(VfsCloseFileJob *job) override
    {
        job->jobStatus = JobFinished;
        Q_EMIT closeFileUpdate(job);
    }
    void listDirectory(VfsListDirectoryJob *) override {}
    void listDrives(VfsListDrivesJob *) override {}
    void move(VfsMoveJob *) override {}
    void writeFile(VfsWriteFileJob *) override {}
    void deleteFile(VfsDeleteFileJob *) override {}
    void hashFile(VfsHashFileJob *) override {}
    void makeDirectory(VfsMakeDirectoryJob *) override {}
};

} // namespace

class TestImagePipeline : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CACHE_HOME", m_dir.filePath(QStringLiteral("xdg")).toUtf8());
        setPreviewImageCacheEnabled(true);
    }

    void everyOrientationTurnedUprightOnce()
    {
        const QImage upright = uprightMarker();
        for (int orientation = 1; orientation <= 8; ++orientation) {
            ExifFields fields;
            fields.orientation = orientation;
            fields.bigEndian = orientation % 2 == 0;
            const QString path = file(QStringLiteral("turn%1.jpg").arg(orientation));
            QVERIFY(writeFile(path, jpegWithExif(storedForOrientation(upright, orientation), fields)));

            const PreviewImageResult result = load(path, {{48, 48}, {256, 256}});
            QCOMPARE(int(result.images.size()), 2);
            for (const QImage &image : result.images) {
                QVERIFY2(image.width() > image.height(), qPrintable(QString::number(orientation)));
                const int w = image.width(), h = image.height();
                QVERIFY2(isReddish(image.pixel(w / 4, h / 4)), qPrintable(QString::number(orientation)));
                QVERIFY2(isBluish(image.pixel(3 * w / 4, 3 * h / 4)), qPrintable(QString::number(orientation)));
            }
            QCOMPARE(result.images[1].size(), QSize(64, 48));
            QCOMPARE(result.exif.value(QStringLiteral("Make")), QStringLiteral("Camera"));
        }
        // Facts by the name: ".JPG" has them, the same picture named ".jpeg" none.
        const QString upper = file(QStringLiteral("FACTS.JPG"));
        QVERIFY(writeFile(upper, jpegWithExif(uprightMarker(), ExifFields())));
        QCOMPARE(load(upper).exif.value(QStringLiteral("Model")), QStringLiteral("Model X"));
        const QString jpeg = file(QStringLiteral("facts.jpeg"));
        QVERIFY(writeFile(jpeg, jpegWithExif(uprightMarker(), ExifFields())));
        const PreviewImageResult plain = load(jpeg);
        QVERIFY(!plain.images.empty());
        QVERIFY(plain.exif.isEmpty());
    }

    void formatsBrokenFilesAndBombs()
    {
        const QImage picture = uprightMarker();
        QVERIFY(writeFile(file(QStringLiteral("a.png")), encodeImage(picture, "png")));
        QVERIFY(writeFile(file(QStringLiteral("a.bmp")), encodeImage(picture, "bmp")));
        QVERIFY(writeFile(file(QStringLiteral("a.gif")), tinyGif()));
        for (const char *name : {"a.png", "a.bmp"}) {
            const PreviewImageResult result = load(file(QLatin1String(name)));
            QCOMPARE(int(result.images.size()), 5);
            QCOMPARE(result.images[3].size(), QSize(48, 36));
            QCOMPARE(QSize(result.width, result.height), QSize(64, 48));
        }
        QCOMPARE(load(file(QStringLiteral("a.gif"))).images.front().size(), QSize(1, 1));
        if (QImageWriter::supportedImageFormats().contains("webp")) {
            QVERIFY(writeFile(file(QStringLiteral("a.webp")), encodeImage(picture, "webp")));
            QCOMPARE(load(file(QStringLiteral("a.webp"))).images.back().size(), QSize(64, 48));
        }

        const QByteArray jpeg = encodeImage(QImage(800, 600, QImage::Format_RGB32), "jpeg");
        QVERIFY(writeFile(file(QStringLiteral("cut.jpg")), jpeg.left(jpeg.size() / 2)));
        QVERIFY(writeFile(file(QStringLiteral("bomb.png")), pngBomb(100000, 100000)));
        QVERIFY(writeFile(file(QStringLiteral("noise.png")), QByteArray(5000, '\x5a')));
        QVERIFY(writeFile(file(QStringLiteral("empty.jpg")), QByteArray()));
        QVERIFY(writeFile(file(QStringLiteral("nodot")), encodeImage(picture, "png")));
        QElapsedTimer timer;
        timer.start();
        for (const char *name : {"cut.jpg", "bomb.png", "noise.png", "empty.jpg", "nodot", "missing.png"}) {
            const PreviewImageResult result = load(file(QLatin1String(name)));
            QVERIFY2(result.images.empty(), name);
        }
        QVERIFY(timer.elapsed() < 5000);
    }

    // Bytes per pixel come from the header's format: 16-bit channels cost twice what 8-bit ones
    // do, whichever decoder meets the picture (a file of its own, a drawing's embedded picture,
    // a RAW sensor), and a refused picture costs no memory.
    void memoryBudgetCountsBytesPerPixel()
    {
        const struct { quint32 w, h; int depth, type; bool fits; } headers[] = {
            {8192, 8192, 8, 6, true}, {8192, 8192, 16, 6, false}, {8192, 4096, 16, 6, true},
            {8192, 8192, 16, 2, false}, {8192, 8192, 16, 0, true}, {9000, 9000, 8, 6, false},
        };
        for (const auto &h : headers) {
            QByteArray png = pngBomb(h.w, h.h, h.depth, h.type);
            QBuffer buffer(&png);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            QVERIFY2(PreviewLimits::fitsBudget(reader) == h.fits, qPrintable(QStringLiteral("%1x%2 %3-bit type %4")
                                                                          .arg(h.w).arg(h.h).arg(h.depth).arg(h.type)));
        }

        const QByteArray deep = pngBomb(8192, 8192, 16, 6, true);
        QVERIFY(deep.size() < 4 * 1024 * 1024);
        const QString png = file(QStringLiteral("deep.png"));
        const QString svg = file(QStringLiteral("deep.svg"));
        QVERIFY(writeFile(png, deep));
        QVERIFY(writeFile(svg, "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'"
                               " width='64' height='64'><image width='64' height='64' xlink:href='data:image/png;base64,"
                               + deep.toBase64() + "'/></svg>"));
        const QString named = file(QStringLiteral("named.svg"));
        QVERIFY(writeFile(named, "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'"
                                 " width='64' height='64'><image width='64' height='64' xlink:href='deep.png'/></svg>"));
        for (const QString &path : {png, svg, named}) {
            resetPeakResident();
            const qint64 before = peakResidentMiB();
            const PreviewImageResult result = load(path, {{256, 256}});
            const qint64 grown = peakResidentMiB() - before;
            QVERIFY2(result.images.empty(), qPrintable(path));
            QVERIFY2(grown < 64, qPrintable(QStringLiteral("%1: %2 MiB").arg(path).arg(grown)));
        }

        // A sound 16-bit picture still shows.
        QImage small(64, 48, QImage::Format_RGBA64);
        small.fill(Qt::red);
        QVERIFY(writeFile(file(QStringLiteral("small16.png")), encodeImage(small, "png")));
        QCOMPARE(load(file(QStringLiteral("small16.png")), {{32, 32}}).images.front().size(), QSize(32, 24));

        QVERIFY(loadLibRaw(FAKERAW_DIR "/libfakeraw_huge.so"));
        QVERIFY(writeFile(file(QStringLiteral("huge.NEF")), QByteArray(4096, '\x42')));
        ExifMap exif;
        QVERIFY(loadRawImage(file(QStringLiteral("huge.NEF")), &exif).isNull());
        unloadLibRaw();
    }

    // Pictures whose header fits the budget but which scaling would first copy whole (16-bit
    // with straight alpha, grey): the peak stays within the budget, not only the result.
    void scalingPeakStaysWithinBudget()
    {
        const struct { quint32 w, h; int depth, type; } headers[] = {
            {5792, 5792, 16, 6}, {8192, 8192, 16, 0}, {8192, 8192, 8, 0},
        };
        const qint64 budgetMiB = PreviewLimits::kMaxPictureBytes >> 20;
        for (const auto &h : headers) {
            const QString label = QStringLiteral("%1x%2 %3-bit type %4").arg(h.w).arg(h.h).arg(h.depth).arg(h.type);
            const QString png = file(QStringLiteral("whole.png"));
            QVERIFY(writeFile(png, pngBomb(h.w, h.h, h.depth, h.type, true)));
            resetPeakResident();
            const qint64 before = peakResidentMiB();
            const PreviewImageResult result = load(png, {{256, 256}});
            const qint64 grown = peakResidentMiB() - before;
            QVERIFY2(result.images.size() == 1 && result.images.front().size() == QSize(256, 256), qPrintable(label));
            QVERIFY2(grown < budgetMiB + 48, qPrintable(QStringLiteral("%1: %2 MiB").arg(label).arg(grown)));
        }

        // Shrinking band by band looks like shrinking whole (a band's edge weighs its rows a
        // little differently: a few levels at most): a diagonal gradient in each format that is
        // converted on the way, at a ratio that puts band edges between source rows.
        QImage gradient(997, 1499, QImage::Format_RGBA64);
        for (int y = 0; y < gradient.height(); ++y)
            for (int x = 0; x < gradient.width(); ++x)
                gradient.setPixelColor(x, y, QColor::fromRgba64(quint16(x * 65535 / 997), quint16(y * 65535 / 1499),
                                                                quint16((x + y) * 65535 / 2496), 0xC000));
        for (QImage::Format format : {QImage::Format_RGBA64, QImage::Format_Grayscale16, QImage::Format_Grayscale8,
                                      QImage::Format_Indexed8, QImage::Format_ARGB32}) {
            const QImage picture = gradient.convertToFormat(format, Qt::ThresholdDither);
            const QImage whole = picture.scaled(QSize(211, 317), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const QImage banded = shrinkPicture(picture, QSize(211, 317));
            QCOMPARE(banded.size(), whole.size());
            int worst = 0;
            for (int y = 0; y < whole.height(); ++y) {
                for (int x = 0; x < whole.width(); ++x) {
                    const QRgb a = whole.pixel(x, y), b = banded.pixel(x, y);
                    worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                      std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
                }
            }
            QVERIFY2(worst <= 6, qPrintable(QStringLiteral("format %1: %2").arg(int(format)).arg(worst)));
        }
    }

    // A picture a drawing names is read, embedded into the drawing and decoded from there:
    // what its text holds on the way counts against the budget with its pixels. A 30 MiB
    // PNG (39 MiB of pixels) is too much and the drawing is not drawn; a 10 MiB one is.
    void namedPicturePeakStaysWithinBudget()
    {
        const qint64 budgetMiB = PreviewLimits::kMaxPictureBytes >> 20;
        const struct { int side; bool drawn; } pictures[] = {{3200, false}, {1850, true}};
        for (const auto &p : pictures) {
            QImage noise(p.side, p.side, QImage::Format_RGB888);
            QRandomGenerator random(7);
            for (int y = 0; y < noise.height(); ++y)
                random.fillRange(reinterpret_cast<quint32 *>(noise.scanLine(y)), noise.bytesPerLine() / 4);
            const QByteArray png = encodeImage(noise, "png");
            QVERIFY(writeFile(file(QStringLiteral("noise.png")), png));
            const QString named = file(QStringLiteral("noise.svg"));
            QVERIFY(writeFile(named, "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'"
                                     " width='64' height='64'><image width='64' height='64' xlink:href='noise.png'/></svg>"));
            resetPeakResident();
            const qint64 before = peakResidentMiB();
            const PreviewImageResult result = load(named, {{256, 256}});
            const qint64 grown = peakResidentMiB() - before;
            const QString label = QStringLiteral("%1 MiB PNG: %2 MiB").arg(png.size() >> 20).arg(grown);
            QVERIFY2(result.images.size() == (p.drawn ? 1u : 0u), qPrintable(label));
            QVERIFY2(grown < budgetMiB + 48, qPrintable(label));
        }
    }

    void boundsNeverDivideByZero()
    {
        const QString path = file(QStringLiteral("bounds.png"));
        QVERIFY(writeFile(path, encodeImage(uprightMarker(), "png")));
        const PreviewImageResult result = load(path, {{0, 0}, {0, 24}, {32, 0}, {-1, -1}});
        QCOMPARE(int(result.images.size()), 4);
        QCOMPARE(result.images[0].size(), QSize(64, 48));
        QCOMPARE(result.images[1].size(), QSize(32, 24));
        QCOMPARE(result.images[2].size(), QSize(32, 24));
        QCOMPARE(result.images[3].size(), QSize(64, 48));
        QVERIFY(load(path, {}).images.empty());
        QCOMPARE(fitToBound(QSize(0, 10), QSize(5, 5)), QSize());
    }

    void cacheKeepsOneRowPerPictureAndTouchesOncePerHit()
    {
        QTemporaryDir dbDir;
        CountingDatabase db(dbDir.path());
        QVERIFY(db.isOpen());
        const QString path = file(QStringLiteral("cached.jpg"));
        QVERIFY(writeFile(path, encodeImage(QImage(1600, 1200, QImage::Format_RGB32), "jpeg")));
        const qint64 mtime = QFileInfo(path).lastModified().toMSecsSinceEpoch();
        const QString dbFile = db.filePath();

        QCOMPARE(int(load(path, kModelBounds, &db, 0).images.size()), 5);
        QCOMPARE(rowCount(dbFile), 5);
        // The same file stored again (no time to look up with) replaces, never duplicates.
        load(path, kModelBounds, &db, 0);
        QCOMPARE(rowCount(dbFile), 5);

        db.puts = 0;
        QVERIFY(rawExec(dbFile, QStringLiteral("UPDATE imgcache SET atime = 1")) == 5);
        const PreviewImageResult hit = load(path, kModelBounds, &db, mtime);
        QCOMPARE(int(hit.images.size()), 5);
        QCOMPARE(QSize(hit.width, hit.height), QSize(256, 192));
        load(path, kModelBounds, &db, mtime);
        QCOMPARE(db.touches.load(), 0); // batched
        flushPreviewCacheTouches();
        QCOMPARE(rawExec(dbFile, QStringLiteral("UPDATE imgcache SET atime = atime WHERE atime > 1")), 5);
        QCOMPARE(db.touches.load(), 1);
        QCOMPARE(db.touched.load(), 10);
        QCOMPARE(db.puts.load(), 0);

        // Hits from several workers at once share the batch.
        std::vector<QFuture<PreviewImageResult>> hits;
        for (int i = 0; i < 8; ++i) {
            PreviewImageRequest request{nullUuidString(), path, kModelBounds, mtime};
            hits.push_back(getPreviewImageAsync(request, &db));
        }
        for (auto &future : hits)
            QCOMPARE(int(future.result().images.size()), 5);
        flushPreviewCacheTouches();
        QCOMPARE(db.touched.load(), 50);

        // Switched off: neither read nor written.
        setPreviewImageCacheEnabled(false);
        db.touches = 0;
        const QString other = file(QStringLiteral("uncached.png"));
        QVERIFY(writeFile(other, encodeImage(uprightMarker(), "png")));
        load(other, kModelBounds, &db, 0);
        load(path, kModelBounds, &db, mtime);
        setPreviewImageCacheEnabled(true);
        QCOMPARE(rowCount(dbFile), 5);
        QCOMPARE(db.touches.load(), 0);
        QCOMPARE(previewCacheRowId(nullUuidString(), path, 1, 2, QSize(3, 4)),
                 previewCacheRowId(nullUuidString(), path, 1, 2, QSize(3, 4)));
    }

    void desktopThumbnailOnlyWhileCurrent()
    {
        const QString path = file(QStringLiteral("thumbed.png"));
        QVERIFY(writeFile(path, encodeImage(uprightMarker(), "png")));
        const QString thumbPath = QStringLiteral("%1/thumbnails/normal/%2.png")
            .arg(m_dir.filePath(QStringLiteral("xdg")),
                 QString::fromLatin1(QCryptographicHash::hash(QUrl::fromLocalFile(path).toEncoded(),
                                                             QCryptographicHash::Md5).toHex()));
        QVERIFY(QDir().mkpath(QFileInfo(thumbPath).path()));
        auto writeThumb = [&](qint64 mtime) {
            QImage thumb(128, 96, QImage::Format_RGB32);
            thumb.fill(Qt::green);
            thumb.setText(QStringLiteral("Thumb::URI"), QString::fromUtf8(QUrl::fromLocalFile(path).toEncoded()));
            thumb.setText(QStringLiteral("Thumb::MTime"), QString::number(mtime));
            QVERIFY(thumb.save(thumbPath, "png"));
        };
        const qint64 mtime = QFileInfo(path).lastModified().toSecsSinceEpoch();
        writeThumb(mtime);
        QImage image = load(path, {{128, 128}}).images.front();
        QCOMPARE(image.pixel(5, 5), qRgb(0, 255, 0));
        writeThumb(mtime - 10);
        image = load(path, {{128, 128}}).images.front();
        QVERIFY(isReddish(image.pixel(2, 2)));
    }

    void embeddedJpegsOfRawAndPsd()
    {
        unloadLibRaw();
        QImage small(160, 120, QImage::Format_RGB32), large(640, 480, QImage::Format_RGB32);
        small.fill(Qt::red);
        large.fill(Qt::blue);
        const QByteArray body = QByteArray(300, '\x11') + encodeImage(small, "jpeg") + QByteArray(77, '\x22')
                                + encodeImage(large, "jpeg") + QByteArray(64, '\x33');
        QVERIFY(writeFile(file(QStringLiteral("shot.NEF")), body));
        QVERIFY(writeFile(file(QStringLiteral("layers.psd")), body));
        const PreviewImageResult raw = load(file(QStringLiteral("shot.NEF")), {{1024, 1024}});
        QCOMPARE(QSize(raw.width, raw.height), QSize(640, 480));
        QCOMPARE(raw.images.front().size(), QSize(640, 480));
        const PreviewImageResult psd = load(file(QStringLiteral("layers.psd")), {{1024, 1024}});
        QCOMPARE(QSize(psd.width, psd.height), QSize(160, 120));
        QCOMPARE(int(scanEmbeddedJpegs(QByteArray(9, '\xff'), false).size()), 0);
    }

    void otherPeersFilesFetchedWithACap()
    {
        const QByteArray png = encodeImage(uprightMarker(), "png");
        QString askedPath;
        qint64 askedCap = 0;
        setPreviewRemoteFetch([&](const QString &, const QString &path, qint64 cap) {
            askedPath = path;
            askedCap = cap;
            return png;
        });
        PreviewImageRequest request;
        request.peerUuid = QStringLiteral("{0000abcd-0000-0000-0000-000000000001}");
        request.path = QStringLiteral("D:/photos/far away.png");
        request.bounds = {{48, 48}};
        const PreviewImageResult result = getPreviewImage(request, nullptr);
        QCOMPARE(askedPath, request.path);
        QVERIFY(askedCap > 0 && askedCap <= 64ll * 1024 * 1024);
        QCOMPARE(result.path, request.path);
        QCOMPARE(result.images.front().size(), QSize(48, 36));
        setPreviewRemoteFetch(nullptr);

        ServingClient client;
        client.content = QByteArray(200000, 'x');
        QCOMPARE(readRemoteFile(&client, QStringLiteral("/f"), 1 << 20).size(), 200000);
        QVERIFY(readRemoteFile(&client, QStringLiteral("/f"), 100000).isEmpty());
        client.silent = true;
        QVERIFY(readRemoteFile(&client, QStringLiteral("/f"), 1 << 20, 100).isEmpty());
        QCOMPARE(client.released, 1);
    }
};

QTEST_GUILESS_MAIN(TestImagePipeline)
#include "tst_imagepipeline.moc"

// Thumbnails of a folder of photos (default 500 of 4000 x 3000) on 2 threads: the file
// model's five sizes through the image pipeline with a cold cache, again with the cache
// filled, and ImageMagick's `convert -thumbnail 256x256` on the same files as the reference.
// Optional arguments: number of photos, width, height.

#include "db/sqlitedatabase.h"
#include "ui/preview/imagepipeline.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

namespace {

const std::vector<QSize> kBounds = {{20, 20}, {24, 24}, {32, 32}, {48, 48}, {256, 256}};

// A photo-like picture: gradients, shapes and grain, so the JPEG is as heavy as a real one.
QImage photo(int w, int h, int seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, w, h);
    sky.setColorAt(0, QColor::fromHsv((seed * 37) % 360, 120, 230));
    sky.setColorAt(1, QColor::fromHsv((seed * 37 + 120) % 360, 200, 90));
    painter.fillRect(image.rect(), sky);
    QRandomGenerator random{quint32(seed)};
    for (int i = 0; i < 60; ++i) {
        painter.setBrush(QColor::fromHsv(random.bounded(360), random.bounded(256), random.bounded(256), 160));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(random.bounded(w), random.bounded(h)), random.bounded(w / 6), random.bounded(h / 6));
    }
    painter.end();
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(random.bounded(24)) - 12;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + n, 255), qBound(0, qGreen(p) + n, 255), qBound(0, qBlue(p) + n, 255));
        }
    }
    return image;
}

double runPipeline(const QStringList &files, IDatabase *database, QThreadPool *pool)
{
    QElapsedTimer timer;
    timer.start();
    std::vector<QFuture<PreviewImageResult>> futures;
    for (const QString &path : files) {
        PreviewImageRequest request;
        request.peerUuid = nullUuidString();
        request.path = path;
        request.bounds = kBounds;
        request.mtime = QFileInfo(path).lastModified().toMSecsSinceEpoch();
        futures.push_back(QtConcurrent::run(pool, getPreviewImage, request, database));
    }
    int failed = 0;
    for (auto &future : futures)
        failed += future.result().images.size() == kBounds.size() ? 0 : 1;
    flushPreviewCacheTouches(); // the pending use times belong to this run
    const double seconds = timer.elapsed() / 1000.0;
    if (failed)
        std::fprintf(stderr, "%d pictures failed\n", failed);
    return files.size() / seconds;
}

double runConvert(const QString &convert, const QStringList &files, const QString &outDir, QThreadPool *pool)
{
    QElapsedTimer timer;
    timer.start();
    std::vector<QFuture<int>> futures;
    for (int i = 0; i < files.size(); ++i) {
        const QString in = files.at(i);
        const QString out = QStringLiteral("%1/%2.png").arg(outDir).arg(i);
        futures.push_back(QtConcurrent::run(pool, [convert, in, out] {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("MAGICK_THREAD_LIMIT"), QStringLiteral("1")); // one core each
            process.setProcessEnvironment(env);
            process.start(convert, {in, QStringLiteral("-thumbnail"), QStringLiteral("256x256"), out});
            process.waitForFinished(-1);
            return process.exitCode();
        }));
    }
    int failed = 0;
    for (auto &future : futures)
        failed += future.result() == 0 ? 0 : 1;
    if (failed)
        std::fprintf(stderr, "convert failed %d times\n", failed);
    return files.size() / (timer.elapsed() / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 500;
    const int width = argc > 2 ? atoi(argv[2]) : 4000;
    const int height = argc > 3 ? atoi(argv[3]) : 3000;

    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", dir.filePath(QStringLiteral("xdg")).toUtf8()); // no desktop thumbnails
    const QString photos = dir.filePath(QStringLiteral("photos"));
    QDir().mkpath(photos);
    // A dozen distinct photos, copied to the rest of the names.
    const int distinct = std::min(count, 12);
    std::vector<QFuture<void>> made;
    for (int i = 0; i < distinct; ++i) {
        made.push_back(QtConcurrent::run([=] {
            photo(width, height, i).save(QStringLiteral("%1/IMG_%2.jpg").arg(photos).arg(i, 4, 10, QLatin1Char('0')), "jpeg", 90);
        }));
    }
    for (auto &f : made)
        f.waitForFinished();
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/IMG_%2.jpg").arg(photos).arg(i, 4, 10, QLatin1Char('0'));
        if (i >= distinct)
            QFile::copy(QStringLiteral("%1/IMG_%2.jpg").arg(photos).arg(i % distinct, 4, 10, QLatin1Char('0')), path);
        files << path;
    }

    SqliteDatabase database(dir.filePath(QStringLiteral("config")));
    if (!database.isOpen()) {
        std::fprintf(stderr, "database did not open\n");
        return 1;
    }
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    const double cold = runPipeline(files, &database, &pool);
    const double warm = runPipeline(files, &database, &pool);

    QString convert = QStandardPaths::findExecutable(QStringLiteral("convert-im6.q16"));
    if (convert.isEmpty())
        convert = QStandardPaths::findExecutable(QStringLiteral("convert"), {QStringLiteral("/usr/bin")});
    double reference = 0;
    if (!convert.isEmpty()) {
        const QString out = dir.filePath(QStringLiteral("convert"));
        QDir().mkpath(out);
        reference = runConvert(convert, files, out, &pool);
    }
    std::printf("%d photos %dx%d on 2 threads: cold %.1f images/s, warm %.1f images/s, convert -thumbnail 256x256 %.1f images/s, cold/convert %.2f\n",
                count, width, height, cold, warm, reference, reference > 0 ? cold / reference : 0.0);
    return 0;
}

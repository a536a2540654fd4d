#include "ui/preview/imagepipeline.h"

#include "app/base/log.h"
#include "db/idatabase.h"
#include "ui/preview/exifreader.h"
#include "ui/preview/ghostscript.h"
#include "ui/preview/imagelimits.h"
#include "ui/preview/rawdecoder.h"
#include "ui/preview/remotefile.h"
#include "ui/preview/svgrenderer.h"
#include "ui/preview/xdgthumbnails.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMutex>
#include <QPainter>
#include <QPointer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

namespace {

std::atomic<bool> g_cacheEnabled{true};

const char *const kThumbnailExtensions[] = {
    ".png", ".jpg", ".jpeg", ".bmp", ".ico", ".gif", ".tga", ".tif", ".tiff",
    ".ARW", ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG",
};
const char *const kReaderExtensions[] = {
    ".png", ".jpg", ".jpeg", ".bmp", ".ico", ".gif", ".pbm", ".psd", ".psb", ".webp",
    ".cur", ".icns", ".tga", ".tif", ".tiff", ".xpm", ".xbm", ".xcf", ".kra", ".ora",
};

// Name space of the cache row ids (a fixed, arbitrary uuid).
const QUuid kCacheNamespace(0x6b1f4d2e, 0x93a0, 0x4c51, 0x8e, 0x27, 0x5d, 0x0b, 0x7a, 0x61, 0x3c, 0x98);

bool contains(const QString &path, const char *ext)
{
    return path.contains(QLatin1String(ext), Qt::CaseInsensitive);
}

bool endsWith(const QString &path, const char *ext)
{
    return path.endsWith(QLatin1String(ext), Qt::CaseInsensitive);
}

QMutex g_fetchMutex;
PreviewRemoteFetch &fetchSlot()
{
    static PreviewRemoteFetch fetch = fetchRemoteFileBytes;
    return fetch;
}

// The bound with the greatest width (the first of equal widths).
QSize largestBound(const std::vector<QSize> &bounds)
{
    QSize largest(0, 0);
    bool first = true;
    for (const QSize &bound : bounds) {
        if (first || bound.width() > largest.width())
            largest = bound;
        first = false;
    }
    return largest;
}

QImage decodeBytes(const QByteArray &bytes, const char *format = nullptr)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    return readPictureSafely(reader, QSize());
}

// Rotation by the EXIF map: positive turns clockwise on screen.
QImage turned(const QImage &image, int degrees)
{
    QTransform transform;
    transform.rotate(degrees);
    return image.transformed(transform, Qt::FastTransformation);
}

// The picture of the working list that serves a bound best.
const QImage &pickFor(const std::vector<QImage> &pictures, const QSize &bound)
{
    size_t pick = 0;
    for (size_t n = 1; n < pictures.size(); ++n) {
        const QImage &p = pictures[pick];
        const QImage &c = pictures[n];
        const bool wider = c.width() > p.width();
        if ((wider && p.width() < bound.width() && !(c.height() > p.height() && p.height() >= bound.height()))
            || (!wider && c.height() > p.height() && p.height() < bound.height()))
            pick = n;
    }
    return pictures[pick];
}

struct Sources
{
    std::vector<QImage> working;
    bool cacheOn = true;
    bool upright = false; // the reader already applied the orientation
};

// libjpeg fills a cut-off file with grey and calls it a success; a JPEG without its end
// marker near the end is treated as broken instead of shown half grey.
bool jpegLooksComplete(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 tail = std::min<qint64>(file.size(), 64 * 1024);
    file.seek(file.size() - tail);
    return file.read(tail).contains("\xFF\xD9");
}

void readWithReaders(const QString &path, const QSize &largest, PreviewImageResult *result, Sources *sources)
{
    for (const char *ext : kReaderExtensions) {
        if (!contains(path, ext))
            continue;
        QImageReader reader(path);
        const bool jpeg = reader.format() == "jpeg" || reader.format() == "jpg";
        if (jpeg && !jpegLooksComplete(path))
            return;
        bool upright = false;
        const QImage picture = readPictureSafely(reader, largest, &upright);
        if (picture.isNull())
            continue;
        result->width = picture.width();
        result->height = picture.height();
        // Photo facts by name: a ".jpg" in any letter case, a ".jpeg" gets none.
        if (qstrcmp(ext, ".jpg") == 0)
            readExifFromFile(QFile::encodeName(path).constData(), &result->exif);
        sources->working = {picture};
        sources->upright = upright;
        return;
    }
}

void readRawOrPsd(const QString &path, PreviewImageResult *result, Sources *sources)
{
    const bool psd = endsWith(path, ".psd");
    if (!psd && !isRawPath(path))
        return;
    if (!psd) {
        const QImage picture = loadRawImage(path, &result->exif);
        if (!picture.isNull())
            sources->working = {picture};
    }
    if (sources->working.empty()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.size() <= PreviewLimits::kMaxFileBytes)
            sources->working = scanEmbeddedJpegs(file.readAll(), psd);
    }
    if (!sources->working.empty()) {
        result->width = sources->working.back().width();
        result->height = sources->working.back().height();
    }
}

// Steps from the file on the local disk to the working list (or, for SVG, straight to the
// result's images).
void loadFromFile(const PreviewImageRequest &request, const QString &path, PreviewImageResult *result,
                  Sources *sources)
{
    const QSize largest = largestBound(request.bounds);
    // A bound with a free side asks for the picture at full size that way: no scaled read.
    bool anyFree = false;
    for (const QSize &bound : request.bounds)
        anyFree = anyFree || bound.width() <= 0 || bound.height() <= 0;
    const QSize readBound = anyFree ? QSize() : largest;
    if (largest.width() >= 1 && largest.width() <= 256) {
        for (const char *ext : kThumbnailExtensions) {
            if (!contains(path, ext))
                continue;
            const QImage thumbnail = loadDesktopThumbnail(path, std::max(largest.width(), largest.height()));
            if (!thumbnail.isNull()) {
                sources->working = {thumbnail};
                sources->upright = true;
                result->width = thumbnail.width();
                result->height = thumbnail.height();
                // The desktop keeps its thumbnails itself.
                sources->cacheOn = false;
            }
            break;
        }
    }
    if (sources->working.empty())
        readWithReaders(path, readBound, result, sources);
    if (endsWith(path, ".svg") || endsWith(path, ".svgz")) {
        PreviewImageRequest svg = request;
        svg.path = path;
        renderSvgImage(svg, result);
    }
    if (isDocumentPath(path)) {
        sources->working = renderDocument(path, request.bounds);
        sources->upright = true;
        if (!sources->working.empty()) {
            result->width = sources->working.front().width();
            result->height = sources->working.front().height();
        }
    }
    if (sources->working.empty())
        readRawOrPsd(path, result, sources);
}

// Use times of cache hits, written together: a folder seen again touches hundreds of rows,
// and one statement for them all costs what one hit's statement would.
class TouchBatch
{
public:
    void add(IDatabase *database, std::vector<QString> hits)
    {
        std::vector<QString> due;
        QPointer<IDatabase> target;
        {
            QMutexLocker lock(&m_mutex);
            if (m_database != database) {
                // Another store (a test's, or after a restart of the window): what was pending
                // for the old one is only use times, and the old one may be gone.
                m_ids.clear();
                m_database = database;
            }
            if (m_ids.empty())
                m_age.start();
            m_ids.insert(m_ids.end(), hits.begin(), hits.end());
            if (m_ids.size() >= kBatchRows || m_age.elapsed() >= kBatchMs) {
                due.swap(m_ids);
                target = m_database;
            }
        }
        if (target && !due.empty())
            target->touchImages(due, QDateTime::currentMSecsSinceEpoch());
    }

    void flush()
    {
        std::vector<QString> due;
        QPointer<IDatabase> target;
        {
            QMutexLocker lock(&m_mutex);
            due.swap(m_ids);
            target = m_database;
        }
        if (target && !due.empty())
            target->touchImages(due, QDateTime::currentMSecsSinceEpoch());
    }

private:
    static constexpr size_t kBatchRows = 500;
    static constexpr qint64 kBatchMs = 2000;
    QMutex m_mutex;
    QPointer<IDatabase> m_database;
    std::vector<QString> m_ids;
    QElapsedTimer m_age;
};

TouchBatch &touchBatch()
{
    static TouchBatch batch;
    return batch;
}

bool readCache(const PreviewImageRequest &request, IDatabase *database, PreviewImageResult *result)
{
    const QSize largest = largestBound(request.bounds);
    const std::vector<ImageCacheDto> rows =
        database->loadImage(request.peerUuid, request.path, request.mtime, largest.width());
    std::vector<QString> hits;
    for (const ImageCacheDto &row : rows) {
        const QImage picture = decodeBytes(row.img);
        if (picture.isNull())
            continue;
        if (picture.width() > result->width) {
            result->width = picture.width();
            result->height = picture.height();
        }
        result->images.push_back(picture);
        hits.push_back(row.img_uuid);
    }
    if (hits.empty())
        return false;
    touchBatch().add(database, std::move(hits));
    return true;
}

void writeCache(const PreviewImageRequest &request, IDatabase *database, qint64 mtime, qint64 fileSize,
                const PreviewImageResult &result)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::vector<ImageCacheDto> rows;
    for (const QImage &image : result.images) {
        if (image.isNull() || image.width() > 1024)
            continue;
        ImageCacheDto row;
        row.img_uuid = previewCacheRowId(request.peerUuid, request.path, mtime, fileSize, image.size());
        row.peer_uuid = request.peerUuid;
        row.uri = request.path;
        row.width = image.width();
        row.height = image.height();
        row.mtime = mtime;
        row.atime = now;
        QBuffer buffer(&row.img);
        buffer.open(QIODevice::WriteOnly);
        // Light compression: thumbnails are small, and a cold folder waits for every one.
        if (image.save(&buffer, "png", 80))
            rows.push_back(std::move(row));
    }
    database->putImages(rows);
}

} // namespace

void flushPreviewCacheTouches()
{
    touchBatch().flush();
}

void setPreviewImageCacheEnabled(bool enabled)
{
    g_cacheEnabled.store(enabled);
}

bool previewImageCacheEnabled()
{
    return g_cacheEnabled.load();
}

void setPreviewRemoteFetch(PreviewRemoteFetch fetch)
{
    QMutexLocker lock(&g_fetchMutex);
    fetchSlot() = fetch ? std::move(fetch) : PreviewRemoteFetch(fetchRemoteFileBytes);
}

QString previewCacheRowId(const QString &peerUuid, const QString &path, qint64 mtime, qint64 fileSize,
                          const QSize &imageSize)
{
    const QString key = QStringLiteral("%1\n%2\n%3\n%4\n%5x%6")
                            .arg(peerUuid, path)
                            .arg(mtime)
                            .arg(fileSize)
                            .arg(imageSize.width())
                            .arg(imageSize.height());
    return QUuid::createUuidV5(kCacheNamespace, key).toString(QUuid::WithBraces);
}

QSize fitToBound(const QSize &picture, const QSize &bound)
{
    if (picture.width() <= 0 || picture.height() <= 0)
        return QSize();
    const bool freeWidth = bound.width() <= 0;
    const bool freeHeight = bound.height() <= 0;
    if (freeWidth && freeHeight)
        return picture;
    QSize fitted;
    if (freeWidth)
        fitted = QSize(int(qint64(picture.width()) * bound.height() / picture.height()), bound.height());
    else if (freeHeight)
        fitted = QSize(bound.width(), int(qint64(picture.height()) * bound.width() / picture.width()));
    else
        fitted = picture.scaled(bound, Qt::KeepAspectRatio);
    return fitted.expandedTo(QSize(1, 1));
}

QImage readPictureSafely(QImageReader &reader, const QSize &bound, bool *turned)
{
    reader.setAutoTransform(true);
    reader.setQuality(100);
    // The header's size and format decide before anything is decoded: no size, no picture.
    if (!PreviewLimits::fitsBudget(reader))
        return QImage();
    const QSize stored = reader.size();
    const bool quarterTurn = reader.transformation() & QImageIOHandler::TransformationRotate90;
    QSize scaled;
    if ((bound.width() > 0 || bound.height() > 0) && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        const QSize shown = quarterTurn ? stored.transposed() : stored;
        const QSize fitted = fitToBound(shown, bound);
        if (fitted.isValid() && (fitted.width() < shown.width() || fitted.height() < shown.height()))
            scaled = quarterTurn ? fitted.transposed() : fitted;
    }
    // A reader that cannot scale a format while decoding decodes it whole and scales that in
    // one piece, copy included: for 16-bit and grey pictures up to twice the budget. Those
    // are read whole and shrunk here instead.
    const bool readerScales =
        scaled.isValid() && PreviewLimits::wholeScalingBytes(stored, reader.imageFormat()) <= PreviewLimits::kMaxPictureBytes;
    if (readerScales)
        reader.setScaledSize(scaled);
    QImage picture = reader.read();
    // Smooth scaling works on premultiplied pixels and would otherwise first make a second
    // full-size copy; converted in place, the picture stays the one allocation it was counted as.
    if (picture.format() == QImage::Format_ARGB32)
        picture.convertTo(QImage::Format_ARGB32_Premultiplied);
    else if (picture.format() == QImage::Format_RGBA64)
        picture.convertTo(QImage::Format_RGBA64_Premultiplied);
    if (scaled.isValid() && !readerScales && !picture.isNull())
        picture = shrinkPicture(picture, quarterTurn ? scaled.transposed() : scaled);
    if (turned)
        *turned = !picture.isNull();
    return picture;
}

QImage shrinkPicture(const QImage &picture, const QSize &size)
{
    if (picture.isNull() || size.isEmpty())
        return QImage();
    if (PreviewLimits::scalingCopyBytesPerPixel(picture.format()) == 0)
        return picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // The formats smooth scaling would convert to, a band of rows at a time into one buffer.
    const QImage::Format format = picture.format() == QImage::Format_RGBA64 ? QImage::Format_RGBA64_Premultiplied
                                  : picture.hasAlphaChannel()              ? QImage::Format_ARGB32_Premultiplied
                                                                           : QImage::Format_RGB32;
    QImage shrunk(size, format);
    const int rowsPerOutputRow = std::max(1, (picture.height() + size.height() - 1) / size.height());
    const qint64 bandBytes = qint64(picture.width()) * rowsPerOutputRow * 8;
    const int outputRowsPerBand = int(std::clamp<qint64>((4 << 20) / std::max<qint64>(1, bandBytes), 1, size.height()));
    QImage band(picture.width(), (outputRowsPerBand + 1) * rowsPerOutputRow, format);
    if (shrunk.isNull() || band.isNull())
        return QImage();
    for (int y = 0; y < size.height(); y += outputRowsPerBand) {
        const int end = std::min(size.height(), y + outputRowsPerBand);
        const int top = int(qint64(y) * picture.height() / size.height());
        const int bottom = std::max(top + 1, int(qint64(end) * picture.height() / size.height()));
        // A view of the picture's rows, only read; writable only so that a colour table can
        // be set without copying them.
        QImage source(const_cast<uchar *>(picture.constScanLine(top)), picture.width(), bottom - top,
                      picture.bytesPerLine(), picture.format());
        source.setColorTable(picture.colorTable());
        QImage converted(band.bits(), band.width(), bottom - top, band.bytesPerLine(), format);
        {
            QPainter painter(&converted);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.drawImage(0, 0, source);
        }
        const QImage rows = converted.scaled(size.width(), end - y, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        for (int row = 0; row < rows.height(); ++row)
            std::memcpy(shrunk.scanLine(y + row), rows.constScanLine(row), size_t(rows.bytesPerLine()));
    }
    return shrunk;
}

std::vector<QImage> scanEmbeddedJpegs(const QByteArray &data, bool firstOnly)
{
    std::vector<QImage> found;
    const auto *bytes = reinterpret_cast<const quint8 *>(data.constData());
    const qint64 limit = qint64(data.size()) - 10;
    qint64 start = -1;
    for (qint64 pos = 0; pos < limit;) {
        if (start < 0) {
            if (bytes[pos] == 0xFF && bytes[pos + 1] == 0xD8 && bytes[pos + 2] == 0xFF) {
                start = pos;
                pos += 4;
            } else {
                ++pos;
            }
            continue;
        }
        if (bytes[pos] == 0xFF && bytes[pos + 1] == 0xD9) {
            const QImage picture = decodeBytes(data.mid(int(start), int(pos + 2 - start)), "jpeg");
            start = -1;
            pos += 2;
            if (!picture.isNull()) {
                found.push_back(picture);
                if (firstOnly)
                    break;
            }
            continue;
        }
        ++pos;
    }
    return found;
}

PreviewImageResult getPreviewImage(const PreviewImageRequest &request, IDatabase *database)
{
    PreviewImageResult result;
    result.path = request.path;
    Sources sources;
    sources.cacheOn = g_cacheEnabled.load();
    const bool useCache = database && !request.peerUuid.isEmpty();

    if (useCache && sources.cacheOn && request.mtime > 0 && readCache(request, database, &result))
        return result;

    // Another peer's file is fetched into a private folder under its own name, so every
    // source sees the suffix it expects.
    QString localPath = request.path;
    std::optional<QTemporaryDir> fetched;
    const bool remote = !request.peerUuid.isEmpty() && !isNullUuidString(request.peerUuid);
    if (remote) {
        fetched.emplace(QDir::tempPath() + QStringLiteral("/nusk-preview-XXXXXX"));
        PreviewRemoteFetch fetch;
        {
            QMutexLocker lock(&g_fetchMutex);
            fetch = fetchSlot();
        }
        const QString name = request.path.section(QRegExp(QStringLiteral("[/\\\\]")), -1);
        const QByteArray bytes = fetched->isValid() && !name.isEmpty()
                                     ? fetch(request.peerUuid, request.path, PreviewLimits::kMaxRemoteBytes)
                                     : QByteArray();
        if (bytes.isEmpty())
            return result;
        localPath = fetched->filePath(name);
        QFile copy(localPath);
        if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size())
            return result;
    }

    const QFileInfo info(localPath);
    if (!info.isFile()) {
        logPrintf(LogNfo1, "abort peview file: %s, doesn't exist", qUtf8Printable(request.path));
        return result;
    }
    if (!localPath.contains(QLatin1Char('.')))
        return result;

    loadFromFile(request, localPath, &result, &sources);

    bool ok = false;
    const int rotation = result.exif.value(QStringLiteral("Rotation")).toInt(&ok);
    if (ok && rotation != 0 && !sources.upright) {
        for (QImage &picture : sources.working)
            picture = turned(picture, rotation);
    }

    if (!request.bounds.empty() && result.images.size() != request.bounds.size() && !sources.working.empty()) {
        for (const QSize &bound : request.bounds) {
            if (result.images.size() == request.bounds.size())
                break;
            const QImage &picture = pickFor(sources.working, bound);
            const QSize fitted = fitToBound(picture.size(), bound);
            if (!fitted.isValid() || (picture.width() <= fitted.width() && picture.height() <= fitted.height()))
                result.images.push_back(picture);
            else
                result.images.push_back(shrinkPicture(picture, fitted));
        }
    }

    if (useCache && sources.cacheOn && !result.images.empty()) {
        // A fetched copy has no time of the peer's own; the caller's stands for it.
        const qint64 mtime = remote && request.mtime > 0 ? request.mtime
                                                         : info.lastModified().toMSecsSinceEpoch();
        writeCache(request, database, mtime, info.size(), result);
    }
    return result;
}

QThreadPool *previewPoolFor(const QString &path)
{
    return isDocumentPath(path) ? documentPool() : QThreadPool::globalInstance();
}

QFuture<PreviewImageResult> getPreviewImageAsync(const PreviewImageRequest &request, IDatabase *database)
{
    return QtConcurrent::run(previewPoolFor(request.path), getPreviewImage, request, database);
}

#include "ui/preview/svgrenderer.h"

#include "ui/preview/imagelimits.h"

#include <QBuffer>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <QXmlStreamReader>

#include <cmath>
#include <zlib.h>

namespace {

bool isGzip(const QByteArray &data)
{
    return data.size() >= 2 && quint8(data[0]) == 0x1f && quint8(data[1]) == 0x8b;
}

QByteArray inflateGzip(const QByteArray &input, qint64 maxBytes)
{
    z_stream stream = {};
    // 16 + MAX_WBITS: a gzip header and trailer around the deflate stream.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
    stream.avail_in = static_cast<uInt>(input.size());
    QByteArray output;
    char chunk[64 * 1024];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof(chunk);
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            break;
        const qint64 produced = qint64(sizeof(chunk)) - stream.avail_out;
        if (output.size() + produced > maxBytes) {
            status = Z_MEM_ERROR;
            break;
        }
        output.append(chunk, static_cast<int>(produced));
        if (status == Z_OK && produced == 0 && stream.avail_in == 0) {
            status = Z_DATA_ERROR; // truncated stream
            break;
        }
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? output : QByteArray();
}

// Bytes one <image> of a drawing decodes into: QtSvg decodes it at its full size, whether it
// is embedded as base64 data or named as a file. -1 when its header states no usable size; 0
// when there is nothing QtSvg could decode.
qint64 linkedPictureBytes(const QString &href)
{
    QImageReader reader;
    QByteArray data;
    QBuffer buffer(&data);
    if (href.startsWith(QLatin1String("data"))) {
        const int start = href.lastIndexOf(QLatin1String("base64,"));
        if (start < 0)
            return 0;
        data = QByteArray::fromBase64(href.mid(start + 7).toLatin1());
        buffer.open(QIODevice::ReadOnly);
        reader.setDevice(&buffer);
    } else {
        reader.setFileName(href);
    }
    if (!reader.canRead())
        return 0;
    const QSize size = reader.size();
    if (!PreviewLimits::fitsBudget(size, reader.imageFormat()))
        return -1;
    return qint64(size.width()) * size.height() * PreviewLimits::workingBytesPerPixel(reader.imageFormat());
}

// The pictures a drawing links, together, against the budget, before QtSvg decodes any.
bool linkedPicturesFitBudget(const QByteArray &text)
{
    QXmlStreamReader xml(text);
    xml.setNamespaceProcessing(false); // names as QtSvg sees them ("xlink:href")
    qint64 bytes = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement
            || !xml.qualifiedName().endsWith(QLatin1String("image")))
            continue;
        for (const QXmlStreamAttribute &attribute : xml.attributes()) {
            const QStringRef name = attribute.qualifiedName();
            if (name != QLatin1String("href") && !name.endsWith(QLatin1String(":href")))
                continue;
            const qint64 picture = linkedPictureBytes(attribute.value().trimmed().toString());
            if (picture < 0 || (bytes += picture) > PreviewLimits::kMaxPictureBytes)
                return false;
        }
    }
    return true;
}

bool loadRenderer(QSvgRenderer &renderer, const QString &path)
{
    const QByteArray text = readSvgText(path, PreviewLimits::kMaxSvgBytes);
    return !text.isEmpty() && linkedPicturesFitBudget(text) && renderer.load(text) && renderer.isValid();
}

} // namespace

QByteArray readSvgText(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxBytes)
        return QByteArray();
    const QByteArray data = file.read(maxBytes + 1);
    if (data.size() > maxBytes)
        return QByteArray();
    return isGzip(data) ? inflateGzip(data, maxBytes) : data;
}

QImage paintSvg(QSvgRenderer &renderer, QSize size)
{
    if (size.width() <= 0 || size.height() <= 0)
        return QImage();
    if (!PreviewLimits::fitsBudget(size, QImage::Format_ARGB32_Premultiplied) || size.width() > PreviewLimits::kMaxSide
        || size.height() > PreviewLimits::kMaxSide) {
        const double area = double(size.width()) * size.height();
        const double shrink = std::min({1.0, std::sqrt(double(PreviewLimits::kMaxPixels) / area),
                                        double(PreviewLimits::kMaxSide) / size.width(),
                                        double(PreviewLimits::kMaxSide) / size.height()});
        size = QSize(std::max(1, int(size.width() * shrink)), std::max(1, int(size.height() * shrink)));
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    renderer.render(&painter);
    return image;
}

bool renderSvgImage(const PreviewImageRequest &request, PreviewImageResult *result)
{
    QSvgRenderer renderer;
    if (!loadRenderer(renderer, request.path))
        return false;
    const QSize drawing = renderer.defaultSize();
    result->width = drawing.width();
    result->height = drawing.height();
    const int w = drawing.width();
    const int h = drawing.height();
    for (const QSize &bound : request.bounds) {
        QSize size = bound;
        // A drawing without a size of its own fills the bound; one with a size keeps its shape.
        if (w > 0 && h > 0) {
            if (w > h)
                size.setHeight(int(qint64(bound.height()) * h / w));
            else if (w < h)
                size.setWidth(int(qint64(bound.width()) * w / h));
        }
        result->images.push_back(paintSvg(renderer, size.expandedTo(QSize(1, 1))));
    }
    return true;
}

QImage renderSvgAtScale(const QString &path, double scalePercent)
{
    QSvgRenderer renderer;
    if (!loadRenderer(renderer, path))
        return QImage();
    QSize size = renderer.defaultSize();
    if (std::isfinite(scalePercent) && scalePercent > 100) {
        // The view zooms in steps; anything past the budget is drawn at the budget.
        const double factor = std::min(scalePercent / 100.0, 64.0);
        size = QSize(int(std::lround(size.width() * factor)), int(std::lround(size.height() * factor)));
    }
    return paintSvg(renderer, size);
}

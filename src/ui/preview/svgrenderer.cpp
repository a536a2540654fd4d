#include "ui/preview/svgrenderer.h"

#include "ui/preview/imagelimits.h"
#include "ui/preview/svgtext.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

// What QtSvg holds of a picture while it reads the drawing, besides its pixels, per byte of
// the picture: its base64 text in the drawing, in UTF-8 and in UTF-16, the copies of it that
// reading the attribute makes, and the decoded bytes. Measured: 11.5 for a picture the
// drawing names, 15 for one it embeds (checking the drawing holds its text once more).
constexpr qint64 kHeldPerPictureByte = 16;

// Bytes decoding a picture in memory from the drawing holds: QtSvg decodes it at its full
// size, from its text. -1 when its header states no usable size; 0 when there is nothing
// QtSvg could decode.
qint64 pictureBytes(QByteArray data)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return 0;
    if (PreviewLimits::isDrawing(reader))
        return -1;
    const QSize size = reader.size();
    if (!PreviewLimits::fitsBudget(size, reader.imageFormat()))
        return -1;
    return qint64(size.width()) * size.height() * PreviewLimits::workingBytesPerPixel(reader.imageFormat())
        + kHeldPerPictureByte * data.size();
}

// The picture a drawing names, inside the drawing's own folder tree: a relative name whose
// folders are folders of that tree, opened one by one from the drawing's folder and none of
// them a link, and never ".." or an absolute name. Another computer's drawing names that
// computer's pictures: resolved here, such a name would draw this computer's own. The
// picture is opened without waiting, so a fifo or a terminal cannot hold the worker. -1
// when there is no such picture.
int openNamedPicture(const QString &href, const QString &drawingDir)
{
    QStringList parts = href.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    if (href.isEmpty() || !QDir::isRelativePath(href) || parts.isEmpty() || parts.contains(QStringLiteral("..")))
        return -1;
    int fd = ::open(QFile::encodeName(drawingDir).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && i < parts.size(); ++i) {
        const int flags = i + 1 < parts.size() ? O_PATH | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
        const int next = ::openat(fd, QFile::encodeName(parts.at(i)).constData(), flags | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

// Such a picture's bytes when it is a regular file of at most `maxBytes`; empty otherwise.
QByteArray readNamedPicture(const QString &href, const QString &drawingDir, qint64 maxBytes)
{
    const int fd = openNamedPicture(href, drawingDir);
    if (fd < 0)
        return QByteArray();
    QByteArray data;
    struct stat st;
    QFile file;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes
        && file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        data = file.read(maxBytes + 1);
        if (data.size() > maxBytes)
            data.clear();
    }
    ::close(fd);
    return data;
}

// The drawing as QtSvg is to read it, always as written here: QtSvg would open a picture the
// drawing names by file itself, by path and blocking, so such pictures are read here (see
// readNamedPicture) and embedded; one that cannot be read loses its name and is left out.
// The pictures of the drawing, embedded or named, must fit the memory budget together before
// QtSvg decodes any, and none may be a drawing itself. Empty when they do not, or when the
// text is not well-formed (QtSvg would have started on the pictures before it noticed).
QByteArray rewrittenForQtSvg(const QString &text, const QString &drawingDir)
{
    QXmlStreamReader xml(text);
    xml.setNamespaceProcessing(false); // names as QtSvg sees them ("xlink:href")
    QByteArray rewritten;
    QXmlStreamWriter writer(&rewritten);
    qint64 bytes = 0;
    qint64 namedBytes = 0;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::Invalid)
            return QByteArray();
        // Left out: processing instructions, wherever they stand: QtSvg reads the file a
        // style sheet one names. (The text has no document type: see svgTextForReaders.)
        if (token == QXmlStreamReader::ProcessingInstruction)
            continue;
        if (token != QXmlStreamReader::StartElement) {
            writer.writeCurrentToken(xml);
            continue;
        }
        // Elements by their names as written: the writer's own copy of the token keeps only
        // the part after a prefix.
        writer.writeStartElement(xml.qualifiedName().toString());
        const bool image = xml.name() == QLatin1String("image");
        for (const QXmlStreamAttribute &attribute : xml.attributes()) {
            if (!image || attribute.name() != QLatin1String("href")) {
                writer.writeAttribute(attribute);
                continue;
            }
            const QString value = attribute.value().trimmed().toString();
            const bool embedded = value.startsWith(QLatin1String("data"));
            QByteArray picture;
            if (embedded) {
                const int start = value.lastIndexOf(QLatin1String("base64,"));
                if (start >= 0)
                    picture = QByteArray::fromBase64(value.midRef(start + 7).toLatin1());
            } else {
                picture = readNamedPicture(value, drawingDir, PreviewLimits::kMaxSvgBytes - namedBytes);
                namedBytes += picture.size();
            }
            // Counted before a named picture becomes text: that text alone is several times
            // the picture.
            const qint64 decoded = picture.isEmpty() ? 0 : pictureBytes(picture);
            if (decoded < 0 || (bytes += decoded) > PreviewLimits::kMaxPictureBytes)
                return QByteArray();
            if (embedded)
                writer.writeAttribute(attribute.qualifiedName().toString(), value);
            else if (!picture.isEmpty())
                writer.writeAttribute(attribute.qualifiedName().toString(),
                                      QLatin1String("data:;base64,") + QLatin1String(picture.toBase64()));
        }
    }
    return rewritten;
}

bool loadRenderer(QSvgRenderer &renderer, const QString &path)
{
    const QString text = svgTextForReaders(decodeXmlText(readSvgText(path, PreviewLimits::kMaxSvgBytes)),
                                           PreviewLimits::kMaxSvgBytes);
    const QByteArray drawing = text.isEmpty() ? QByteArray() : rewrittenForQtSvg(text, QFileInfo(path).absolutePath());
    return !drawing.isEmpty() && renderer.load(drawing) && renderer.isValid();
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

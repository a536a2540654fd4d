#include "testutil_images.h"

#include <QBuffer>
#include <QFile>
#include <QTransform>

#include <zlib.h>

namespace {

class TiffWriter
{
public:
    explicit TiffWriter(bool big) : m_big(big) {}
    void u16(QByteArray &out, quint32 v) const
    {
        if (m_big) { out.append(char(v >> 8)); out.append(char(v)); }
        else { out.append(char(v)); out.append(char(v >> 8)); }
    }
    void u32(QByteArray &out, quint32 v) const
    {
        if (m_big) { for (int s = 24; s >= 0; s -= 8) out.append(char(v >> s)); }
        else { for (int s = 0; s <= 24; s += 8) out.append(char(v >> s)); }
    }

    struct Entry { quint16 tag; quint16 type; quint32 count; QByteArray value; };

    // One IFD at `offset` (from the TIFF start), values that don't fit in 4 bytes after it.
    QByteArray ifd(const std::vector<Entry> &entries, quint32 offset, quint32 next = 0) const
    {
        QByteArray head, data;
        u16(head, quint32(entries.size()));
        const quint32 dataStart = offset + 2 + 12 * quint32(entries.size()) + 4;
        for (const Entry &e : entries) {
            u16(head, e.tag);
            u16(head, e.type);
            u32(head, e.count);
            if (e.value.size() <= 4) {
                QByteArray inl = e.value;
                inl.append(QByteArray(4 - inl.size(), '\0'));
                head.append(inl);
            } else {
                u32(head, dataStart + quint32(data.size()));
                data.append(e.value);
                if (data.size() % 2)
                    data.append('\0');
            }
        }
        u32(head, next);
        return head + data;
    }
    QByteArray shortValue(quint32 v) const { QByteArray b; u16(b, v); return b; }
    QByteArray longValue(quint32 v) const { QByteArray b; u32(b, v); return b; }
    QByteArray rational(quint32 n, quint32 d) const { QByteArray b; u32(b, n); u32(b, d); return b; }

private:
    bool m_big;
};

quint32 crcOf(const QByteArray &typeAndData)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(typeAndData.constData()), uInt(typeAndData.size())));
}

void pngChunk(QByteArray &out, const char *type, const QByteArray &data)
{
    auto be32 = [&out](quint32 v) { for (int s = 24; s >= 0; s -= 8) out.append(char(v >> s)); };
    be32(quint32(data.size()));
    const QByteArray body = QByteArray(type) + data;
    out.append(body);
    be32(crcOf(body));
}

} // namespace

QByteArray exifPayload(const ExifFields &fields)
{
    TiffWriter w(fields.bigEndian);
    QByteArray tiff = fields.bigEndian ? QByteArray("MM\0*", 4) : QByteArray("II*\0", 4);
    w.u32(tiff, 8);

    auto ascii = [](QByteArray text) { text.append('\0'); return text; };
    std::vector<TiffWriter::Entry> ifd0 = {
        {0x010F, 2, quint32(fields.make.size() + 1), ascii(fields.make)},
        {0x0110, 2, quint32(fields.model.size() + 1), ascii(fields.model)},
    };
    if (fields.orientation > 0) {
        if (fields.orientationAsAscii)
            ifd0.push_back({0x0112, 2, 1, QByteArray(1, char('0' + fields.orientation))});
        else
            ifd0.push_back({0x0112, 3, 1, w.shortValue(quint32(fields.orientation))});
    }
    ifd0.push_back({0x8769, 4, 1, w.longValue(0)}); // patched below
    const std::vector<TiffWriter::Entry> exifIfd = {
        {0x829A, 5, 1, w.rational(fields.exposure[0], fields.exposure[1])},
        {0x829D, 5, 1, w.rational(fields.fNumber[0], fields.fNumber[1])},
        {0x8827, 3, 1, w.shortValue(quint32(fields.iso))},
        {0x9003, 2, quint32(fields.dateTime.size() + 1), ascii(fields.dateTime)},
        {0x920A, 5, 1, w.rational(fields.focalLength[0], fields.focalLength[1])},
    };
    QByteArray first = w.ifd(ifd0, 8);
    const quint32 exifOffset = 8 + quint32(first.size());
    ifd0.back().value = w.longValue(exifOffset);
    first = w.ifd(ifd0, 8);
    tiff.append(first);
    tiff.append(w.ifd(exifIfd, exifOffset));
    return QByteArray("Exif\0\0", 6) + tiff;
}

QByteArray encodeImage(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

QByteArray jpegWithExif(const QImage &image, const ExifFields &fields)
{
    const QByteArray jpeg = encodeImage(image, "jpeg", 95);
    const QByteArray payload = exifPayload(fields);
    QByteArray app1("\xFF\xE1", 2);
    const int length = payload.size() + 2;
    app1.append(char(length >> 8));
    app1.append(char(length));
    app1.append(payload);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

QImage uprightMarker()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(0, 0, 255));
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x)
            image.setPixel(x, y, qRgb(255, 0, 0));
    return image;
}

QImage storedForOrientation(const QImage &upright, int orientation)
{
    auto rotate = [](const QImage &img, int degrees) { return img.transformed(QTransform().rotate(degrees)); };
    switch (orientation) {
    case 2: return upright.mirrored(true, false);
    case 3: return rotate(upright, 180);
    case 4: return upright.mirrored(false, true);
    case 5: return rotate(upright, 90).mirrored(true, false);
    case 6: return rotate(upright, 270); // shown turned 90 clockwise
    case 7: return rotate(upright, 90).mirrored(false, true);
    case 8: return rotate(upright, 90);
    default: return upright;
    }
}

bool isReddish(QRgb p)
{
    return qRed(p) > 160 && qBlue(p) < 100;
}

bool isBluish(QRgb p)
{
    return qBlue(p) > 160 && qRed(p) < 100;
}

QByteArray pngBomb(quint32 width, quint32 height, int bitDepth, int colorType, bool allRows)
{
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray ihdr;
    for (quint32 v : {width, height})
        for (int s = 24; s >= 0; s -= 8)
            ihdr.append(char(v >> s));
    ihdr.append(char(bitDepth)).append(char(colorType)).append(char(0)).append(char(0)).append(char(0));
    pngChunk(png, "IHDR", ihdr);
    // Zero rows compress about a thousandfold: one megabyte of them, or every row.
    const int channels = colorType == 6 ? 4 : colorType == 2 ? 3 : colorType == 4 ? 2 : 1;
    const QByteArray row(allRows ? int(1 + qint64(width) * channels * bitDepth / 8) : 1024 * 1024, '\0');
    const quint32 rows = allRows ? height : 1;
    z_stream stream = {};
    deflateInit(&stream, 1);
    QByteArray packed;
    char chunk[64 * 1024];
    for (quint32 y = 0; y <= rows; ++y) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(row.constData()));
        stream.avail_in = y < rows ? uInt(row.size()) : 0;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof(chunk);
            deflate(&stream, y < rows ? Z_NO_FLUSH : Z_FINISH);
            packed.append(chunk, int(sizeof(chunk) - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    pngChunk(png, "IDAT", packed);
    pngChunk(png, "IEND", QByteArray());
    return png;
}

namespace {

// The number after `key` in a "key: value" file of /proc; -1 when it is not there.
qint64 procValue(const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

qint64 peakResidentMiB()
{
    const qint64 kib = procValue(QStringLiteral("/proc/self/status"), "VmHWM:");
    return kib < 0 ? -1 : kib / 1024;
}

qint64 bytesReadByThisThread()
{
    return procValue(QStringLiteral("/proc/thread-self/io"), "rchar:");
}

void resetPeakResident()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

QByteArray tinyGif()
{
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==");
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

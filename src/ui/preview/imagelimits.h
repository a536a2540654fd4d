#pragma once

// The limits every decoder of the preview pipeline keeps, whatever a file claims. A picture is
// only decoded when its header states a size, and that size, at the bytes per pixel of what it
// decodes into, fits the memory budget; files larger than the byte cap are not read at all.

#include <QImage>
#include <QImageReader>
#include <QSize>
#include <QtGlobal>

#include <algorithm>

namespace PreviewLimits {

// Memory of one decoded picture: 256 MiB. A 100,000 x 100,000 PNG states 10^10 pixels and is
// refused before a byte of it is decoded; so is an 8192 x 8192 one with 16-bit channels.
constexpr qint64 kMaxPictureBytes = 256ll * 1024 * 1024;
// Pixels of one 32-bit picture within that budget (64 megapixels).
constexpr qint64 kMaxPixels = kMaxPictureBytes / 4;
// Longest side of any picture made here (rendered SVG, document pages, scaled outputs).
constexpr int kMaxSide = 16384;
// Bytes read into memory for one picture (embedded JPEG scan, remote files, SVG text).
constexpr qint64 kMaxFileBytes = 256ll * 1024 * 1024;
// Bytes of another peer's file fetched for one picture.
constexpr qint64 kMaxRemoteBytes = 64ll * 1024 * 1024;
// Inflated size of a gzip-compressed SVG drawing.
constexpr qint64 kMaxSvgBytes = 32ll * 1024 * 1024;

// What a pixel of `format` costs while the pipeline works on the picture: never less than 4
// bytes (scaling and turning make 32-bit copies of smaller formats), 8 for 16-bit channels, and
// 8 as well when a reader does not say what it decodes into (the widest format there is).
inline qint64 workingBytesPerPixel(QImage::Format format)
{
    if (format == QImage::Format_Invalid)
        return 8;
    return std::max(4, QImage::toPixelFormat(format).bitsPerPixel() / 8);
}

// What smooth scaling adds before it shrinks a picture of `format`: a full-size copy in the
// format it works on (0 for the formats it takes as they are, 8 for 16-bit channels with
// straight alpha, 4 for everything else, which becomes 32-bit).
inline qint64 scalingCopyBytesPerPixel(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
        return 0;
    case QImage::Format_RGBA64:
        return 8;
    default:
        return 4;
    }
}

// Memory of a picture of `format` while it is read whole and then shrunk by smooth scaling
// in one piece: the decoded picture and the copy scaling makes of it (the result, at most a
// bound's size, comes on top).
inline qint64 wholeScalingBytes(const QSize &size, QImage::Format format)
{
    const qint64 decoded = format == QImage::Format_Invalid ? 8 : (QImage::toPixelFormat(format).bitsPerPixel() + 7) / 8;
    return qint64(size.width()) * size.height() * (decoded + scalingCopyBytesPerPixel(format));
}

inline bool fitsBudget(const QSize &size, QImage::Format format)
{
    return size.width() > 0 && size.height() > 0 && size.width() <= kMaxSide * 4
           && size.height() <= kMaxSide * 4
           && qint64(size.width()) * size.height() * workingBytesPerPixel(format) <= kMaxPictureBytes;
}

// Whether the reader would hand the bytes to QtSvg, which opens and reads whatever files a
// drawing names, by path and blocking. A drawing is drawn only by the drawing renderer, which
// confines what it names; as a picture (one named ".png", one inside a drawing) it is none.
inline bool isDrawing(QImageReader &reader)
{
    const QByteArray format = reader.format();
    return format == "svg" || format == "svgz";
}

// Whether the picture the reader's header announces (size and format) fits; reads the header
// only, and never a drawing's.
inline bool fitsBudget(QImageReader &reader)
{
    return !isDrawing(reader) && fitsBudget(reader.size(), reader.imageFormat());
}

// `size` fitted into `bound` with the aspect ratio kept, never below 1 x 1; an empty size or
// bound gives an invalid size (callers skip it rather than divide by zero).
inline QSize fitInto(const QSize &size, const QSize &bound)
{
    if (size.width() <= 0 || size.height() <= 0 || bound.width() <= 0 || bound.height() <= 0)
        return QSize();
    QSize fitted = size.scaled(bound, Qt::KeepAspectRatio);
    return fitted.expandedTo(QSize(1, 1));
}

} // namespace PreviewLimits

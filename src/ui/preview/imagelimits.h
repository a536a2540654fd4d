#pragma once

// The limits every decoder of the preview pipeline keeps, whatever a file claims. A picture is
// only decoded when its header states a size, and that size fits the pixel budget; files
// larger than the byte cap are not read at all.

#include <QSize>
#include <QtGlobal>

namespace PreviewLimits {

// Decoded pixels of one picture: 64 megapixels (256 MiB as 32-bit pixels); a 100,000 x 100,000
// PNG states 10^10 and is refused before a byte of it is decoded.
constexpr qint64 kMaxPixels = 64ll * 1024 * 1024;
// Longest side of any picture made here (rendered SVG, document pages, scaled outputs).
constexpr int kMaxSide = 16384;
// Bytes read into memory for one picture (embedded JPEG scan, remote files, SVG text).
constexpr qint64 kMaxFileBytes = 256ll * 1024 * 1024;
// Bytes of another peer's file fetched for one picture.
constexpr qint64 kMaxRemoteBytes = 64ll * 1024 * 1024;
// Inflated size of a gzip-compressed SVG drawing.
constexpr qint64 kMaxSvgBytes = 32ll * 1024 * 1024;

inline bool fitsBudget(const QSize &size)
{
    return size.width() > 0 && size.height() > 0 && size.width() <= kMaxSide * 4
           && size.height() <= kMaxSide * 4
           && qint64(size.width()) * size.height() <= kMaxPixels;
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

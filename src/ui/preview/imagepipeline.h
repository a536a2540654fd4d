#pragma once

// The image pipeline: one file in, one picture per requested bound out. Sources in order: the
// picture cache in the database, the desktop's thumbnail, the image readers, SVG rendering,
// Ghostscript for documents, LibRaw for camera RAW and the JPEG pictures embedded in RAW and
// PSD files. The picture is turned upright once, scaled per bound and small results go into
// the cache. Files of other peers are fetched through the peer's file client first (capped).
//
// Blocking; runs on worker threads only (several at once). Nothing writable is shared between
// calls but the database, which keeps one connection per thread.

#include "ui/preview/imagetypes.h"

#include <QByteArray>
#include <QFuture>
#include <QImage>
#include <QSize>

#include <functional>
#include <vector>

class IDatabase;
class QImageReader;
class QThreadPool;

// The cache switch ("--imgcache"): set once on the GUI thread before the first request.
void setPreviewImageCacheEnabled(bool enabled);
bool previewImageCacheEnabled();

PreviewImageResult getPreviewImage(const PreviewImageRequest &request, IDatabase *database);

// Cache hits mark their rows as used in batches (every 500 rows or 2 s, whichever comes
// first); this writes what is pending now. The window calls it when it goes.
void flushPreviewCacheTouches();

// Starts getPreviewImage on the pool that suits the file: documents on their own small pool,
// everything else on the global one.
QFuture<PreviewImageResult> getPreviewImageAsync(const PreviewImageRequest &request,
                                                 IDatabase *database);
QThreadPool *previewPoolFor(const QString &path);

// The id of one cached picture: the same file state and size always give the same row.
QString previewCacheRowId(const QString &peerUuid, const QString &path, qint64 mtime,
                          qint64 fileSize, const QSize &imageSize);

// Reads a picture through an image reader whose device is set: refused when the header states
// no size or one beyond the pixel budget; read scaled to `bound` where the format allows.
// *turned tells whether the reader already applied the EXIF orientation.
QImage readPictureSafely(QImageReader &reader, const QSize &bound, bool *turned = nullptr);

// `picture` smoothly scaled down to `size`. A format smooth scaling does not take as it is
// (grey, paletted, 16-bit with straight alpha) is converted and scaled a band of rows at a
// time rather than whole, so shrinking costs little beyond the picture and the result.
QImage shrinkPicture(const QImage &picture, const QSize &size);

// Every JPEG stream inside the data that decodes, in file order; only the first when
// firstOnly.
std::vector<QImage> scanEmbeddedJpegs(const QByteArray &data, bool firstOnly);

// `picture` fitted to the bound: a side of 0 or less leaves that direction free (both: as it
// is); never divides by an empty size.
QSize fitToBound(const QSize &picture, const QSize &bound);

// How the bytes of another peer's file are fetched (at most maxBytes; empty on failure). The
// default asks the peer's file client; tests install their own.
using PreviewRemoteFetch = std::function<QByteArray(const QString &peerUuid, const QString &path,
                                                    qint64 maxBytes)>;
void setPreviewRemoteFetch(PreviewRemoteFetch fetch);

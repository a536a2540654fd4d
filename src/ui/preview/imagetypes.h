#pragma once

// Request and result of the image pipeline, plain values copied into worker tasks and through
// queued signals. Kept apart from the preview window so that the decoders and the tests need
// no QtQuick.

#include <QImage>
#include <QMap>
#include <QMetaType>
#include <QSize>
#include <QString>

#include <vector>

struct PreviewImageRequest
{
    QString peerUuid;            // the file's peer; empty: the cache is neither read nor written
    QString path;                // the file's path on that peer
    std::vector<QSize> bounds;   // one output image per bound, in this order
    qint64 mtime = 0;            // ms since the epoch as the caller knows it; 0: no cache look-up
};

struct PreviewImageResult
{
    QString path;
    qint32 width = -1;           // the source picture as loaded; -1 while nothing was loaded
    qint32 height = -1;
    std::vector<QImage> images;
    QMap<QString, QString> exif; // photo facts by key ("Make", "ISO", "Rotation", ...)
};

Q_DECLARE_METATYPE(PreviewImageResult)

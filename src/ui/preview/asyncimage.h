#pragma once

// Answers of the "preview" image provider. The engine asks on its image-loading thread and
// gets a response at once; the picture is loaded on a pool by a runnable. The runnable and the
// response share the load's state, so a response the engine cancels or deletes early never
// leaves the runnable writing into freed memory; a cancelled load that has not started yet is
// skipped.

#include "ui/preview/imagetypes.h"

#include <QImage>
#include <QObject>
#include <QQuickImageResponse>
#include <QRunnable>
#include <QSize>

#include <atomic>
#include <memory>

class QThreadPool;

struct AsyncImageState
{
    PreviewImageResult result;
    std::atomic<bool> cancelled{false};
};

// The image URL of a file of a peer for the "preview" provider: the path is percent-encoded,
// so '#', '%', '?' and blanks in names survive the trip through the engine.
QString previewImageUrl(const QString &peerUuid, const QString &path);

// What the provider reads from an id: the peer, the path and the optional "scale" percentage
// (0 when none).
struct PreviewImageId
{
    QString peer;
    QString path;
    double scale = 0;
};
PreviewImageId parsePreviewImageId(const QString &id);

class AsyncImageResponseRunnable : public QObject, public QRunnable
{
    Q_OBJECT
public:
    AsyncImageResponseRunnable(const QString &id, const QSize &requestedSize,
                               std::shared_ptr<AsyncImageState> state);
    void run() override;

Q_SIGNALS:
    void done();

private:
    QString m_id;
    QSize m_requestedSize;
    std::shared_ptr<AsyncImageState> m_state;
};

class AsyncImageResponse : public QQuickImageResponse
{
    Q_OBJECT
public:
    AsyncImageResponse(const QString &id, const QSize &requestedSize, QThreadPool *pool = nullptr);
    ~AsyncImageResponse() override;

    QQuickTextureFactory *textureFactory() const override;
    QString errorString() const override;
    void cancel() override;

    QImage image() const { return m_image; }

Q_SIGNALS:
    void imageSize(QSize size);
    void imageResult(PreviewImageResult result);

private Q_SLOTS:
    void onDone();

private:
    std::shared_ptr<AsyncImageState> m_state;
    QImage m_image;
};

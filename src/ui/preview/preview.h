#pragma once

// The quick-look window: one local file (photo, camera RAW, drawing, document page) shown
// large with its photo facts, zoom and keys to step through the active pane. Built once by the
// main window on the shared QML engine; it also answers the engine's "preview" images, holds
// the database the pipeline caches into and the run-time LibRaw binding, and decides which
// files can be previewed. GUI thread, except the image loads, which run on pools.

#include "ui/preview/imagetypes.h"

#include <QFuture>
#include <QPointer>
#include <QQuickAsyncImageProvider>
#include <QQuickView>

#include <memory>

class IDatabase;
class QQmlEngine;

class Preview : public QQuickView
{
    Q_OBJECT
public:
    using GetImageRequest = PreviewImageRequest;
    using GetImageResult = PreviewImageResult;

    Preview(QQmlEngine *engine, IDatabase *database, QWindow *parent = nullptr);
    ~Preview() override;

    static Preview *instance();

    // The local computer's files with one of the previewable extensions anywhere in the path.
    static bool canPreview(const QString &peerUuid, const QString &path);

    // Points the window at a file; false (photo strip hidden) when it does not exist or has
    // no extension. The window shows itself when the first picture size arrives.
    bool showFile(const QString &peerUuid, const QString &path);

    // The window whose screen the preview opens on (the main window).
    void setHostWindow(QWindow *host);

    static GetImageResult getImage(const GetImageRequest &request, IDatabase *database);
    QFuture<GetImageResult> getImageAsync(const GetImageRequest &request);

    // Called by the engine on its image-loading thread; touches no window state.
    QQuickImageResponse *requestImageResponse(const QString &id, const QSize &requestedSize);

    // The window's new geometry for a picture of `picture` size: grown to fit it (never
    // shrunk) and kept inside `available`, the available area of the screen it opens on.
    static QRect fittedGeometry(const QSize &picture, const QRect &current, const QRect &available);

    // Gives the file models their thumbnails through the pipeline, cached in `database`.
    static void installThumbnailLoader(IDatabase *database);

    QImage currentImage() const { return m_image; }
    QString currentPath() const { return m_path; }

public Q_SLOTS:
    void copyImageToClipboard();
    void onImageSize(const QSize &size);
    void onImageResult(const PreviewImageResult &result);

private Q_SLOTS:
    // As wide as the tools with the file's whole name beside them (German tools leave a small
    // picture's window too little), as far as the screen allows.
    void widenForTools();

Q_SIGNALS:
    void requestClose();
    void showPrevious();
    void showNext();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QQuickItem *exifStrip() const;
    QScreen *targetScreen() const;

    QString m_peerUuid;
    QString m_path;
    QImage m_image;
    IDatabase *m_database = nullptr;
    QPointer<QWindow> m_host;
};

// Makes the window's QML resources known; call once before the first Preview is built.
void initPreviewResources();

// Readies the image pipeline on the GUI thread before any image is asked for: the screen's
// resolution, the LibRaw binding, the cache switch ("--imgcache"), and the file models'
// thumbnails cached in `database`. The window's constructor calls it too; start-up calls it
// so that thumbnails work before the window exists.
void initPreviewPipeline(IDatabase *database);

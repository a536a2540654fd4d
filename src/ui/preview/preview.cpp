#include "ui/preview/preview.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "db/dto.h"
#include "ui/preview/asyncimage.h"
#include "ui/preview/ghostscript.h"
#include "ui/preview/imagepipeline.h"
#include "ui/preview/rawdecoder.h"
#include "vfs/models/vfsmodelicons.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <QtMath>
#include <QtConcurrent/QtConcurrentRun>

namespace {

Preview *g_instance = nullptr;

const char *const kPreviewExtensions[] = {
    ".jpg", ".jpeg", ".png", ".svg", ".svgz", ".bmp", ".ico", ".gif", ".pbm", ".pdf", ".eps",
    ".ai", ".psd", ".ARW", ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG", ".psb", ".webp",
    ".cur", ".icns", ".tga", ".tif", ".tiff", ".xpm", ".xbm", ".xcf", ".kra", ".ora",
};

// The engine owns its providers and deletes them with itself; the window must outlive that,
// so the engine gets this forwarder instead of the window.
class PreviewImageProvider : public QQuickAsyncImageProvider
{
public:
    QQuickImageResponse *requestImageResponse(const QString &id, const QSize &requestedSize) override
    {
        if (Preview *preview = Preview::instance())
            return preview->requestImageResponse(id, requestedSize);
        return new AsyncImageResponse(id, requestedSize);
    }
};

} // namespace

void initPreviewResources()
{
    Q_INIT_RESOURCE(preview);
}

Preview::Preview(QQmlEngine *engine, IDatabase *database, QWindow *parent)
    : QQuickView(engine, parent), m_database(database)
{
    g_instance = this;
    initPreviewResources();
    qRegisterMetaType<PreviewImageResult>("Preview::GetImageResult");
    qRegisterMetaType<PreviewImageResult>("PreviewImageResult");
    if (!engine->imageProvider(QStringLiteral("preview")))
        engine->addImageProvider(QStringLiteral("preview"), new PreviewImageProvider);

    resize(600, 500);
    setFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint
             | Qt::WindowMaximizeButtonHint | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint);
    setModality(Qt::NonModal);
    setResizeMode(QQuickView::SizeRootObjectToView);
    setSource(QUrl(QStringLiteral("qrc:/qml/Preview.qml")));

    if (QQuickItem *root = rootObject()) {
        connect(root, SIGNAL(copy()), this, SLOT(copyImageToClipboard()));
        connect(root, SIGNAL(previous()), this, SIGNAL(showPrevious()));
        connect(root, SIGNAL(next()), this, SIGNAL(showNext()));
        connect(root, SIGNAL(toolsWidthChanged()), this, SLOT(widenForTools()));
    }
    initPreviewPipeline(database);
}

void initPreviewPipeline(IDatabase *database)
{
    static bool once = false;
    if (!once) {
        once = true;
        // Workers never ask the screen: its resolution is read here, once.
        if (QScreen *screen = QGuiApplication::primaryScreen())
            setDocumentScreenDpi(screen->physicalDotsPerInch());
        loadLibRaw();
        setPreviewImageCacheEnabled(appArgumentInt(QStringLiteral("--imgcache"), 1) > 0);
    }
    Preview::installThumbnailLoader(database);
}

void Preview::installThumbnailLoader(IDatabase *database)
{
    setVfsThumbnailLoader([database](const VfsThumbnailRequest &request) {
        PreviewImageRequest wanted;
        wanted.peerUuid = request.peerUuid;
        wanted.path = request.path;
        wanted.bounds = request.bounds;
        wanted.mtime = request.mtime;
        return QtConcurrent::run(previewPoolFor(request.path), [wanted, database] {
            const PreviewImageResult loaded = getPreviewImage(wanted, database);
            VfsThumbnailResult result;
            result.path = loaded.path;
            result.width = loaded.width;
            result.height = loaded.height;
            result.images = loaded.images;
            return result;
        });
    });
}

Preview::~Preview()
{
    if (g_instance == this)
        g_instance = nullptr;
    setVfsThumbnailLoader(nullptr);
    flushPreviewCacheTouches();
    disableLibRaw();
}

Preview *Preview::instance()
{
    return g_instance;
}

bool Preview::canPreview(const QString &peerUuid, const QString &path)
{
    if (!isNullUuidString(peerUuid) || path.isEmpty())
        return false;
    for (const char *ext : kPreviewExtensions) {
        if (path.contains(QLatin1String(ext), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QQuickItem *Preview::exifStrip() const
{
    QQuickItem *root = rootObject();
    return root ? root->findChild<QQuickItem *>(QStringLiteral("previewExif")) : nullptr;
}

bool Preview::showFile(const QString &peerUuid, const QString &path)
{
    QQuickItem *strip = exifStrip();
    const QFileInfo info(path);
    if (!info.exists() || !info.fileName().contains(QLatin1Char('.'))) {
        if (!info.exists())
            logPrintf(LogNfo1, "abort peview file: %s, doesn't exist", qUtf8Printable(path));
        if (strip)
            strip->setVisible(false);
        return false;
    }
    QString url = previewImageUrl(peerUuid, path);
    if (path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
        url += QStringLiteral("?page=0");
    if (QQuickItem *root = rootObject()) {
        root->setProperty("fileName", info.fileName());
        root->setProperty("path", url);
        root->setProperty("img", url);
    }
    setTitle(info.fileName());
    m_peerUuid = peerUuid;
    m_path = path;
    return true;
}

void Preview::setHostWindow(QWindow *host)
{
    m_host = host;
}

QScreen *Preview::targetScreen() const
{
    if (m_host && m_host->screen())
        return m_host->screen();
    return screen() ? screen() : QGuiApplication::primaryScreen();
}

Preview::GetImageResult Preview::getImage(const GetImageRequest &request, IDatabase *database)
{
    return getPreviewImage(request, database);
}

QFuture<Preview::GetImageResult> Preview::getImageAsync(const GetImageRequest &request)
{
    return getPreviewImageAsync(request, m_database);
}

QQuickImageResponse *Preview::requestImageResponse(const QString &id, const QSize &requestedSize)
{
    auto *response = new AsyncImageResponse(id, requestedSize);
    connect(response, &AsyncImageResponse::imageSize, this, &Preview::onImageSize);
    connect(response, &AsyncImageResponse::imageResult, this, &Preview::onImageResult);
    return response;
}

QRect Preview::fittedGeometry(const QSize &picture, const QRect &current, const QRect &available)
{
    int wantedWidth = std::max(picture.width(), 500);
    int wantedHeight = std::max(picture.height(), 400);
    double factor = 1.0;
    if (wantedWidth + 47 >= available.width()) {
        factor = 0.75;
        wantedWidth = available.width();
    }
    if (wantedHeight + 95 >= available.height()) {
        factor = 0.75;
        wantedHeight = available.height();
    }
    QRect geometry = current;
    if (wantedWidth >= current.width())
        geometry.setWidth(int(wantedWidth * factor + 48));
    if (wantedHeight >= current.height())
        geometry.setHeight(int(wantedHeight * factor + 144));
    // Kept on the screen it opens on, whatever that screen's place in the desktop.
    if (geometry.right() > available.right())
        geometry.moveLeft(available.left() + (available.width() - geometry.width()) / 2);
    if (geometry.bottom() > available.bottom())
        geometry.moveTop(available.top() + (available.height() - geometry.height()) / 2);
    if (geometry.left() < available.left())
        geometry.moveLeft(available.left());
    if (geometry.top() < available.top())
        geometry.moveTop(available.top());
    return geometry;
}

void Preview::onImageSize(const QSize &size)
{
    QScreen *screen = targetScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    const bool opening = !isVisible();
    if (opening) {
        // Opens on the main window's screen, not on whichever screen it was last on.
        if (screen && this->screen() != screen)
            setScreen(screen);
        show();
        raise();
        requestActivate();
    }
    QQuickItem *root = rootObject();
    QRect fitted = geometry();
    if (!root || root->property("adjustWindowSize").toBool())
        fitted = fittedGeometry(size, fitted, available);
    if (opening) {
        // Centred over the main window, its frame inside the screen's free area.
        const QMargins frame = frameMargins();
        const QRect inner = available.marginsRemoved(frame);
        fitted.moveCenter(m_host && m_host->isVisible() ? m_host->geometry().center() : inner.center());
        fitted.moveLeft(std::max(inner.left(), std::min(fitted.left(), inner.right() - fitted.width() + 1)));
        fitted.moveTop(std::max(inner.top(), std::min(fitted.top(), inner.bottom() - fitted.height() + 1)));
    }
    setGeometry(fitted);
    if (root) {
        root->setWidth(fitted.width());
        root->setHeight(fitted.height());
    }
    widenForTools();
}

void Preview::widenForTools()
{
    QQuickItem *root = rootObject();
    if (!root || !isVisible() || !root->property("adjustWindowSize").toBool())
        return;
    const int wanted = qCeil(root->property("toolsWidth").toReal());
    if (width() >= wanted)
        return;
    QScreen *screen = this->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    QRect wider = geometry();
    wider.setWidth(qMin(wanted, available.width()));
    if (wider.right() > available.right())
        wider.moveRight(available.right());
    setGeometry(wider);
    root->setWidth(wider.width());
}

void Preview::onImageResult(const PreviewImageResult &result)
{
    logPrintf(LogNfo1, "get image result: %u", unsigned(result.images.size()));
    if (result.path != m_path)
        return;
    m_image = result.images.empty() ? QImage() : result.images.front();
    const QMap<QString, QString> &exif = result.exif;
    for (auto it = exif.cbegin(); it != exif.cend(); ++it)
        logPrintf(LogNfo1, "\t%s: %s", qUtf8Printable(it.key()), qUtf8Printable(it.value()));
    if (QQuickItem *strip = exifStrip()) {
        strip->setProperty("iso", exif.value(QStringLiteral("ISO")).toInt());
        strip->setProperty("fNumber", exif.value(QStringLiteral("FNumber")));
        strip->setProperty("focalLength", exif.value(QStringLiteral("FocalLength")));
        strip->setProperty("exposureTime", exif.value(QStringLiteral("ExposureTime")));
        strip->setProperty("make", exif.value(QStringLiteral("Make")));
        strip->setProperty("model", exif.value(QStringLiteral("Model")));
        strip->setProperty("date", exif.value(QStringLiteral("Date")));
        strip->setProperty("time", exif.value(QStringLiteral("Time")));
        strip->setVisible(true);
    }
    if (QQuickItem *root = rootObject()) {
        root->setProperty("page", exif.value(QStringLiteral("Page")).toInt());
        root->setProperty("pageCount", exif.value(QStringLiteral("PageCount")).toInt());
    }
}

void Preview::keyPressEvent(QKeyEvent *event)
{
    QQuickView::keyPressEvent(event);
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Escape) {
        m_image = QImage();
        hide();
        Q_EMIT requestClose();
    }
}

void Preview::hideEvent(QHideEvent *event)
{
    QQuickView::hideEvent(event);
    resize(600, 500);
    m_image = QImage();
    if (QQuickItem *root = rootObject())
        root->setProperty("img", QString());
}

void Preview::copyImageToClipboard()
{
    if (m_image.isNull())
        return;
    logPrintf(LogNfo1, "copy image to clipboard");
    QGuiApplication::clipboard()->setImage(m_image, QClipboard::Clipboard);
}

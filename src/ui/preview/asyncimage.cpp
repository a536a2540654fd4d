#include "ui/preview/asyncimage.h"

#include "ui/preview/imagepipeline.h"
#include "ui/preview/svgrenderer.h"

#include <QThreadPool>
#include <QTimer>
#include <QUrl>

QString previewImageUrl(const QString &peerUuid, const QString &path)
{
    return QStringLiteral("image://preview/%1/%2")
        .arg(peerUuid, QString::fromLatin1(QUrl::toPercentEncoding(path, "/:")));
}

PreviewImageId parsePreviewImageId(const QString &id)
{
    // Names carry their '?' percent-encoded, so the first literal one opens the query.
    const int mark = id.indexOf(QLatin1Char('?'));
    const QString encoded = mark < 0 ? id : id.left(mark);
    const QString query = mark < 0 ? QString() : id.mid(mark + 1);
    const QString decoded = QUrl::fromPercentEncoding(encoded.toUtf8());

    PreviewImageId parsed;
    const int slash = decoded.indexOf(QLatin1Char('/'));
    parsed.peer = slash < 0 ? decoded : decoded.left(slash);
    parsed.path = slash < 0 ? QString() : decoded.mid(slash + 1);
    const QStringList parts = query.split(QLatin1Char('='));
    if (parts.size() >= 2 && parts.at(0) == QLatin1String("scale")) {
        bool ok = false;
        const double value = parts.at(1).toDouble(&ok);
        if (ok)
            parsed.scale = value;
    }
    return parsed;
}

AsyncImageResponseRunnable::AsyncImageResponseRunnable(const QString &id, const QSize &requestedSize,
                                                       std::shared_ptr<AsyncImageState> state)
    : m_id(id), m_requestedSize(requestedSize), m_state(std::move(state))
{
}

void AsyncImageResponseRunnable::run()
{
    if (!m_state->cancelled.load()) {
        const PreviewImageId id = parsePreviewImageId(m_id);
        PreviewImageResult &result = m_state->result;
        if (id.path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
            const QImage drawing = renderSvgAtScale(id.path, id.scale);
            // The window matches results to the file it shows by path.
            result.path = id.path;
            if (!drawing.isNull()) {
                result.width = drawing.width();
                result.height = drawing.height();
                result.images.push_back(drawing);
            }
        } else if (!id.path.isEmpty()) {
            PreviewImageRequest request;
            request.path = id.path;
            if (m_requestedSize.width() >= 0 && m_requestedSize.height() >= 0)
                request.bounds.push_back(m_requestedSize);
            // Previews always load from the file, never from the cache.
            result = getPreviewImage(request, nullptr);
        }
    }
    Q_EMIT done();
}

AsyncImageResponse::AsyncImageResponse(const QString &id, const QSize &requestedSize, QThreadPool *pool)
    : m_state(std::make_shared<AsyncImageState>())
{
    auto *runnable = new AsyncImageResponseRunnable(id, requestedSize, m_state);
    runnable->setAutoDelete(true);
    connect(runnable, &AsyncImageResponseRunnable::done, this, &AsyncImageResponse::onDone);
    const QString path = parsePreviewImageId(id).path;
    (pool ? pool : previewPoolFor(path))->start(runnable);
}

AsyncImageResponse::~AsyncImageResponse()
{
    m_state->cancelled.store(true);
}

QQuickTextureFactory *AsyncImageResponse::textureFactory() const
{
    return QQuickTextureFactory::textureFactoryForImage(m_image);
}

QString AsyncImageResponse::errorString() const
{
    return m_image.isNull() ? QStringLiteral("failed to load content") : QString();
}

void AsyncImageResponse::cancel()
{
    m_state->cancelled.store(true);
    QQuickImageResponse::cancel();
}

void AsyncImageResponse::onDone()
{
    const PreviewImageResult &result = m_state->result;
    if (!result.images.empty() && !m_state->cancelled.load()) {
        m_image = result.images.front();
        Q_EMIT imageSize(m_image.size());
        Q_EMIT imageResult(result);
    }
    QTimer::singleShot(5, Qt::PreciseTimer, this, &QQuickImageResponse::finished);
}

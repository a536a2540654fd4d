#include "ui/themeimageprovider.h"

#include "app/base/log.h"
#include "ui/desktopicons.h"
#include "vfs/models/vfsmodel.h"

#include <QFile>
#include <QImage>
#include <QMetaProperty>
#include <QPainter>
#include <QSvgRenderer>
#include <QThread>
#include <QCoreApplication>

namespace {
ThemeImageProvider *s_instance = nullptr;

QRectF viewBoxForSide(int side)
{
    if (side == 16)
        return QRectF(-40, 0, 16, 16);
    if (side == 24)
        return QRectF(-24, 0, 24, 24);
    return QRectF(0, 0, 32, 32);
}
} // namespace

ThemeImageProvider::ThemeImageProvider(QObject *theme)
    : QQuickImageProvider(QQuickImageProvider::Pixmap)
    , m_theme(theme)
    , m_renderer(new QSvgRenderer)
{
    s_instance = this;
}

ThemeImageProvider::~ThemeImageProvider()
{
    if (s_instance == this)
        s_instance = nullptr;
    delete m_renderer;
}

ThemeImageProvider *ThemeImageProvider::instance()
{
    return s_instance;
}

int ThemeImageProvider::tierSide(int w)
{
    if (w <= 0)
        return 32;
    if (w < 16)
        return 0;
    if (w < 24)
        return 16;
    if (w < 32)
        return 24;
    if (w < 40)
        return 32;
    if (w < 48)
        return 40;
    return 48;
}

QPixmap ThemeImageProvider::requestPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    logPrintf(LogNfo2, "try load icon %s %dx%d", qUtf8Printable(id), requestedSize.width(), requestedSize.height());
    if (id.startsWith(QLatin1String("app/")))
        return loadApplicationPixmap(id, size, requestedSize);

    const int side = tierSide(requestedSize.width());
    if (side == 0) {
        logPrintf(LogErr1, "failed load icon %s unsupported size %dx%d", qUtf8Printable(id), requestedSize.width(),
                  requestedSize.height());
        return QPixmap();
    }
    if (size)
        *size = QSize(side, side);

    const QStringList parts = id.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() >= 2 && parts.at(0).startsWith(QLatin1String("icon")))
        return renderResource(parts.at(0), parts.at(1), side);

    if (!parts.isEmpty() && parts.at(0) == QLatin1String("file")) {
        const QString name = parts.value(1);
        const int dot = name.lastIndexOf(QLatin1Char('.'));
        const QString suffix = (dot > 0 && dot < name.size() - 1) ? name.mid(dot + 1) : QString();
        // The file model's own table first: it holds the icons it already loaded per type.
        if (!suffix.isEmpty() && QThread::currentThread() == qApp->thread()) {
            const QIcon cached = VfsModel::iconCache().value(suffix.toLower());
            if (!cached.isNull())
                return cached.pixmap(side, side);
        }
        const QString mime = suffix.isEmpty() ? QStringLiteral("application/octet-stream")
                                              : desktopicons::mimeTypeForFileName(name);
        return iconPixmap(desktopicons::themeIconForMimeType(mime), desktopicons::fallbackIconResource(mime), side);
    }

    if (id.startsWith(QLatin1String("mime"))) {
        const QString mime = id.mid(5);
        return iconPixmap(desktopicons::themeIconForMimeType(mime), desktopicons::fallbackIconResource(mime), side);
    }
    return renderResource(parts.value(0), QString(), side);
}

QPixmap ThemeImageProvider::iconPixmap(const QIcon &icon, const QString &fallbackResource, int side)
{
    if (!icon.isNull()) {
        const QPixmap pixmap = icon.pixmap(side, side);
        if (!pixmap.isNull()) {
            if (pixmap.width() == side && pixmap.height() == side)
                return pixmap;
            // Themes without this size give a smaller one: centre it on the requested square.
            QPixmap square(side, side);
            square.fill(Qt::transparent);
            QPainter p(&square);
            p.drawPixmap((side - pixmap.width()) / 2, (side - pixmap.height()) / 2, pixmap);
            return square;
        }
    }
    return renderResource(QStringLiteral("icon"), fallbackResource, side);
}

QPixmap ThemeImageProvider::renderResource(const QString &themeProperty, const QString &name, int side)
{
    // A drawing asked for again (another pane's bar, a drag image, a size the tiers map to the
    // same side) is not parsed and drawn again.
    const QString key = themeProperty + QLatin1Char('/') + name + QLatin1Char('@') + QString::number(side);
    const auto drawn = m_drawn.constFind(key);
    if (drawn != m_drawn.constEnd())
        return drawn.value();

    QByteArray svg;
    if (!name.isEmpty()) {
        QFile file(QStringLiteral(":/icons/") + name);
        if (file.open(QIODevice::ReadOnly))
            svg = file.readAll();
    }
    if (svg.isEmpty()) {
        logPrintf(LogErr1, "failed to load icon %s", qUtf8Printable(themeProperty + QLatin1Char('/') + name));
    } else if (m_theme) {
        const QVariant value = m_theme->property(themeProperty.toLatin1().constData());
        if (QObject *pairs = value.value<QObject *>()) {
            const QMetaObject *meta = pairs->metaObject();
            for (int i = 0; i < meta->propertyCount(); ++i) {
                const QMetaProperty prop = meta->property(i);
                if (prop.userType() == QMetaType::QString)
                    continue;
                const QStringList pair = prop.read(pairs).toStringList();
                if (pair.size() == 2)
                    svg.replace(pair.at(0).toLocal8Bit(), pair.at(1).toLocal8Bit());
            }
        }
    }

    QImage image(side, side, QImage::Format_ARGB32);
    QPainter painter(&image);
    if (svg.isEmpty() || !m_renderer->load(svg)) {
        image.fill(0xAAA08080);
    } else {
        image.fill(0x00FFFFFF);
        m_renderer->setViewBox(viewBoxForSide(side));
        m_renderer->render(&painter, QRectF(0, 0, side, side));
    }
    painter.end();
    const QPixmap pixmap = QPixmap::fromImage(image);
    m_drawn.insert(key, pixmap);
    return pixmap;
}

QIcon ThemeImageProvider::loadApplicationIcon(const QString &id)
{
    return desktopicons::applicationIcon(id.mid(4));
}

QPixmap ThemeImageProvider::loadApplicationPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    if (size)
        *size = requestedSize;
    const QSize want = requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize : QSize(32, 32);
    return loadApplicationIcon(id).pixmap(want, QIcon::Normal, QIcon::Off);
}


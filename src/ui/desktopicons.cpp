#include "ui/desktopicons.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QStandardPaths>
#include <QUrl>

namespace desktopicons {

void setupIconTheme()
{
    // The desktop's theme stays first; without one Qt answers "hicolor", which holds almost
    // no type icons.
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor")) {
        for (const QString &dir : QIcon::themeSearchPaths()) {
            if (QFileInfo::exists(dir + QStringLiteral("/Adwaita/index.theme"))) {
                QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
                break;
            }
        }
    }
    if (QIcon::themeName().isEmpty())
        QIcon::setThemeName(QIcon::fallbackThemeName());
}

QString mimeTypeForFileName(const QString &fileName)
{
    static const QMimeDatabase db;
    return db.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension).name();
}

QIcon themeIconForMimeType(const QString &mimeType)
{
    static const QMimeDatabase db;
    if (mimeType == QLatin1String("application/x-directory") || mimeType == QLatin1String("inode/directory"))
        return QIcon::fromTheme(QStringLiteral("folder"));
    const QMimeType type = db.mimeTypeForName(mimeType);
    if (!type.isValid())
        return QIcon();
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    return icon;
}

QString fallbackIconResource(const QString &mimeType)
{
    if (mimeType == QLatin1String("application/x-directory") || mimeType == QLatin1String("inode/directory"))
        return QStringLiteral("folder.svg");
    if (mimeType.startsWith(QLatin1String("image/")))
        return QStringLiteral("file-image.svg");
    if (mimeType.startsWith(QLatin1String("audio/")))
        return QStringLiteral("file-audio.svg");
    if (mimeType.startsWith(QLatin1String("video/")))
        return QStringLiteral("file-video.svg");
    if (mimeType == QLatin1String("application/pdf") || mimeType == QLatin1String("application/postscript"))
        return QStringLiteral("file-pdf.svg");
    static const char *const archives[] = {"zip", "x-7z", "x-tar", "gzip", "x-bzip", "x-xz", "x-rar", "zstd",
                                           "x-compressed-tar", "vnd.rar", "x-iso9660", "x-cd-image"};
    for (const char *a : archives) {
        if (mimeType.contains(QLatin1String(a)))
            return QStringLiteral("file-archive.svg");
    }
    if (mimeType.startsWith(QLatin1String("text/")) || mimeType.contains(QLatin1String("opendocument"))
        || mimeType.contains(QLatin1String("officedocument")) || mimeType.contains(QLatin1String("msword")))
        return QStringLiteral("file-text.svg");
    return QStringLiteral("file.svg");
}

QIcon applicationIcon(const QString &location)
{
    const QString decoded = QUrl::fromPercentEncoding(location.toUtf8()).trimmed();
    QIcon icon;
    if (QDir::isAbsolutePath(decoded)) {
        if (QFileInfo(decoded).isFile())
            icon = QIcon(decoded);
    } else if (!decoded.isEmpty() && !decoded.contains(QLatin1Char('/'))) {
        icon = QIcon::fromTheme(decoded);
        // Some .desktop files name the icon with its file suffix.
        if (icon.isNull())
            icon = QIcon::fromTheme(QFileInfo(decoded).completeBaseName());
    }
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    return icon;
}

namespace {

// A cached thumbnail of the freedesktop cache that matches the file's modification time.
QImage cachedThumbnail(const QString &path, const QSize &size)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QImage();
    const QByteArray uri = QUrl::fromLocalFile(info.absoluteFilePath()).toEncoded();
    const QString name = QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex())
        + QStringLiteral(".png");
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/thumbnails/");
    const int want = qMax(size.width(), size.height());
    const QStringList folders = want > 256 ? QStringList{QStringLiteral("x-large"), QStringLiteral("large")}
        : want > 128 ? QStringList{QStringLiteral("large"), QStringLiteral("x-large"), QStringLiteral("normal")}
                     : QStringList{QStringLiteral("normal"), QStringLiteral("large")};
    for (const QString &folder : folders) {
        QImageReader reader(cache + folder + QLatin1Char('/') + name, "png");
        const QString mtime = reader.text(QStringLiteral("Thumb::MTime"));
        if (mtime.isEmpty() || mtime.toLongLong() != info.lastModified().toSecsSinceEpoch())
            continue;
        QImage image = reader.read();
        if (image.isNull())
            continue;
        if (image.width() > size.width() || image.height() > size.height())
            image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return image;
    }
    return QImage();
}

} // namespace

QImage shellItemImage(const QString &path, const QSize &size, int flags)
{
    if (size.isEmpty())
        return QImage();
    if (!(flags & IconOnly)) {
        const QImage thumb = cachedThumbnail(path, size);
        if (!thumb.isNull() || (flags & ThumbnailOnly))
            return thumb;
    }
    const QFileInfo info(path);
    const QString mime = info.isDir() ? QStringLiteral("inode/directory") : mimeTypeForFileName(info.fileName());
    const QIcon icon = themeIconForMimeType(mime);
    if (icon.isNull())
        return QImage();
    return icon.pixmap(size).toImage();
}

} // namespace desktopicons

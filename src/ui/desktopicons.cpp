#include "ui/desktopicons.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
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
    // An empty name set again still makes every icon be looked up anew.
    if (QIcon::themeName().isEmpty() && !QIcon::fallbackThemeName().isEmpty())
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

} // namespace desktopicons

#include "ui/preview/xdgthumbnails.h"

#include "ui/preview/imagelimits.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QFileInfo>
#include <QImageReader>
#include <QStandardPaths>
#include <QUrl>

namespace {

struct SizeFolder
{
    const char *name;
    int edge;
};

const SizeFolder kFolders[] = {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}};

QByteArray fileUri(const QString &path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
}

// The tEXt entries before the picture data. Read by hand: the image reader's text keys stop at
// the first ':', and every key here is "Thumb::...".
QMap<QByteArray, QByteArray> pngTexts(QFile &file)
{
    QMap<QByteArray, QByteArray> texts;
    if (file.read(8) != QByteArray("\x89PNG\r\n\x1a\n", 8))
        return texts;
    for (int chunks = 0; chunks < 64; ++chunks) {
        const QByteArray head = file.read(8);
        if (head.size() != 8)
            break;
        const quint32 length = (quint32(quint8(head[0])) << 24) | (quint32(quint8(head[1])) << 16)
                               | (quint32(quint8(head[2])) << 8) | quint32(quint8(head[3]));
        const QByteArray type = head.mid(4, 4);
        if (type == "IDAT" || type == "IEND" || length > 64 * 1024)
            break;
        const QByteArray data = file.read(length);
        file.read(4); // CRC
        if (type == "tEXt") {
            const int nul = data.indexOf('\0');
            if (nul > 0)
                texts.insert(data.left(nul), data.mid(nul + 1));
        }
    }
    return texts;
}

QImage readCurrent(const QString &thumbnail, const QByteArray &uri, qint64 mtimeSeconds)
{
    QFile file(thumbnail);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    const QMap<QByteArray, QByteArray> texts = pngTexts(file);
    bool ok = false;
    if (texts.value("Thumb::MTime").toLongLong(&ok) != mtimeSeconds || !ok)
        return QImage();
    const QByteArray thumbUri = texts.value("Thumb::URI");
    if (!thumbUri.isEmpty() && thumbUri != uri)
        return QImage();
    file.seek(0);
    QImageReader reader(&file, "png");
    // Thumbnails are at most 1024 wide; anything bigger is not one.
    if (!PreviewLimits::fitsBudget(reader))
        return QImage();
    const QSize size = reader.size();
    if (size.width() > 2048 || size.height() > 2048)
        return QImage();
    return reader.read();
}

} // namespace

QString desktopThumbnailPath(const QString &path, const QString &sizeFolder)
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.cache");
    const QByteArray md5 = QCryptographicHash::hash(fileUri(path), QCryptographicHash::Md5).toHex();
    return QStringLiteral("%1/thumbnails/%2/%3.png").arg(base, sizeFolder, QString::fromLatin1(md5));
}

QImage loadDesktopThumbnail(const QString &path, int edge)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QImage();
    const qint64 mtime = info.lastModified().toSecsSinceEpoch();
    const QByteArray uri = fileUri(path);
    // The smallest folder that reaches the edge first, then the bigger ones: a smaller
    // thumbnail blown up would look worse than decoding the file.
    for (const SizeFolder &folder : kFolders) {
        if (folder.edge < edge)
            continue;
        const QImage image = readCurrent(desktopThumbnailPath(path, QLatin1String(folder.name)), uri, mtime);
        if (!image.isNull())
            return image;
    }
    return QImage();
}

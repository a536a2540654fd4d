#include "vfs/models/vfsfileicon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QRegularExpression>

namespace {

// Description files are a few lines; more is no description.
constexpr qint64 kEntryReadLimit = 64 * 1024;

QString suffixOf(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 && dot < name.size() - 1 ? name.mid(dot + 1).toLower() : QString();
}

// The "Icon" key of the "[Desktop Entry]" group of a .desktop or .directory file.
QString entryIcon(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    bool inEntry = false;
    for (const QByteArray &raw : file.read(kEntryReadLimit).split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(QLatin1String("Icon")) && line.mid(4).trimmed().startsWith(QLatin1Char('=')))
            return line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
    }
    return QString();
}

// An entry's icon value: an absolute file, or a theme name (some name it with its suffix).
VfsFileIconSource fromEntryValue(const QString &value)
{
    VfsFileIconSource source;
    if (value.isEmpty())
        return source;
    source.ownIcon = true;
    if (QDir::isAbsolutePath(value))
        source.file = value;
    else if (!value.contains(QLatin1Char('/')))
        source.themeNames << value << QFileInfo(value).completeBaseName();
    return source;
}

} // namespace

bool hasOwnIcon(const QString &name, bool directory)
{
    const QString suffix = suffixOf(name);
    return directory || suffix.isEmpty() || suffix == QLatin1String("desktop") || suffix == QLatin1String("appimage");
}

VfsFileIconSource loadFileIcon(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return fromEntryValue(entryIcon(path + QStringLiteral("/.directory")));
    const QString suffix = suffixOf(info.fileName());
    if (suffix == QLatin1String("desktop")) {
        VfsFileIconSource source = fromEntryValue(entryIcon(path));
        if (source.ownIcon)
            return source;
    }
    VfsFileIconSource source;
    if (info.isFile() && (info.isExecutable() || suffix == QLatin1String("appimage"))) {
        // "Krita-5.2.2-x86_64.AppImage" is krita's; "/usr/bin/firefox" is firefox's.
        static const QRegularExpression separators(QStringLiteral("[-_. ]"));
        const QString program = info.fileName().section(separators, 0, 0).toLower();
        if (!program.isEmpty()) {
            source.themeNames << program;
            source.ownIcon = true;
        }
    }
    static const QMimeDatabase mimes;
    const QMimeType mime = mimes.mimeTypeForFile(info);
    source.themeNames << mime.iconName() << mime.genericIconName();
    return source;
}

QIcon fileIconFrom(const VfsFileIconSource &source)
{
    if (!source.file.isEmpty() && QFileInfo(source.file).isFile() && QImageReader(source.file).canRead())
        return QIcon(source.file);
    for (const QString &name : source.themeNames) {
        if (name.isEmpty())
            continue;
        const QIcon icon = QIcon::fromTheme(name);
        if (!icon.isNull())
            return icon;
    }
    return QIcon();
}

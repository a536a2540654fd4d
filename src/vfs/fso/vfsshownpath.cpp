#include "vfs/fso/vfsshownpath.h"

#include "vfs/fso/vfsmessage.h"

QString vfsShownPath(const QString &path, QChar separator, const VfsShareName &shareName, VfsUnknownShare unknown)
{
    static const QString kShares = QStringLiteral("%shares");
    if (!path.startsWith(kShares))
        return path;
    QString rest = path.mid(kShares.size());
    if (!rest.isEmpty() && rest.at(0) != separator)
        return path;   // "%sharesX": not below the shares
    rest = rest.mid(1);
    QString shown = vfstext::message("place-shares", "Shares");
    if (rest.isEmpty())
        return shown;
    const int end = rest.indexOf(separator);
    QString name = shareName ? shareName(kShares + separator + rest.left(end)) : QString();
    if (name.isEmpty() && unknown == VfsUnknownShare::KeepPath)
        return path;
    if (name.isEmpty())
        name = QStringLiteral("\u2026");
    shown += separator + name;
    if (end >= 0)
        shown += rest.mid(end);
    return shown;
}

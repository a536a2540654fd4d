#include "app/base/devicekind.h"

#include <QDir>
#include <QFile>

namespace {

QString readTrimmed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.read(64)).trimmed();
}

} // namespace

DeviceKind probeDeviceKind(const QString &powerSupplyDir)
{
    const QDir dir(powerSupplyDir);
    const QStringList supplies = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString &name : supplies) {
        const QString base = dir.filePath(name);
        if (readTrimmed(base + QStringLiteral("/type")) != QLatin1String("Battery"))
            continue;
        const QString scope = readTrimmed(base + QStringLiteral("/scope"));
        if (scope.isEmpty() || scope.compare(QLatin1String("System"), Qt::CaseInsensitive) == 0)
            return DeviceKind::Laptop;
    }
    return DeviceKind::Desktop;
}

DeviceKind deviceKind()
{
    static const DeviceKind kind = probeDeviceKind(QStringLiteral("/sys/class/power_supply"));
    return kind;
}

#include "app/base/log.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSettings>

namespace {

const char* const kCategoryNames[LogCategoryCount] = {
    "NFO1", "NFO2", "ERR1", "DBG1", "DHT1", "DHT2", "VMDL", "HSK1", "TOR1", "UDP1", "VFS1",
    "VCLI", "VSRV", "VMG1", "VMG2", "VCPA", "DB1", "COM1", "KCP1", "TCP1", "TURN1",
};

QMutex& logMutex()
{
    static QMutex mutex;
    return mutex;
}

quint32 g_mask = 0;

bool validCategory(int category)
{
    return category >= 0 && category < LogCategoryCount;
}

} // namespace

void logPrintf(int, const char*, ...)
{
}

bool isLogEnabled(int)
{
    return false;
}

void enableLogCategory(int category)
{
    if (!validCategory(category))
        return;
    QMutexLocker lock(&logMutex());
    g_mask |= (1u << category);
}

void disableLogCategory(int category)
{
    if (!validCategory(category))
        return;
    QMutexLocker lock(&logMutex());
    g_mask &= ~(1u << category);
}

namespace Logger {

QString categoryName(int category)
{
    return validCategory(category) ? QString::fromLatin1(kCategoryNames[category]) : QString();
}

bool isCategoryOn(int category)
{
    if (!validCategory(category))
        return false;
    QMutexLocker lock(&logMutex());
    return (g_mask & (1u << category)) != 0;
}

void save(QSettings& settings)
{
    quint32 mask;
    {
        QMutexLocker lock(&logMutex());
        mask = g_mask;
    }
    // Only what differs: an unchanged file is not written again (and synced) at every start.
    settings.beginGroup(QStringLiteral("Logger"));
    for (int i = 0; i < LogCategoryCount; ++i) {
        const QString key = QString::fromLatin1(kCategoryNames[i]);
        const bool on = (mask & (1u << i)) != 0;
        if (!settings.contains(key) || settings.value(key).toBool() != on)
            settings.setValue(key, on);
    }
    settings.endGroup();
}

void load(QSettings& settings)
{
    settings.beginGroup(QStringLiteral("Logger"));
    for (int i = 0; i < LogCategoryCount; ++i) {
        const QString key = QString::fromLatin1(kCategoryNames[i]);
        if (!settings.contains(key))
            continue;
        if (settings.value(key).toBool())
            enableLogCategory(i);
        else
            disableLogCategory(i);
    }
    settings.endGroup();
}

} // namespace Logger

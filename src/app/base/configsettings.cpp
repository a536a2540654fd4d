#include "app/base/configsettings.h"

#include "app/base/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

QString appArgument(const QStringList& arguments, const QString& name, bool* found)
{
    if (found)
        *found = false;
    if (name.isEmpty())
        return QString();
    // arguments[0] is the program itself
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (!arg.startsWith(name))
            continue;
        const QStringList parts = arg.split(QLatin1Char('='));
        if (parts.size() != 2 || parts.at(0) != name)
            continue;
        if (found)
            *found = true;
        return parts.at(1);
    }
    return QString();
}

QString appArgument(const QString& name, bool* found)
{
    return appArgument(QCoreApplication::arguments(), name, found);
}

int appArgumentInt(const QStringList& arguments, const QString& name, int defaultValue)
{
    bool found = false;
    const QString value = appArgument(arguments, name, &found);
    if (!found)
        return defaultValue;
    bool ok = false;
    const int n = value.toInt(&ok, 10);
    if (!ok) {
        logPrintf(LogErr1, "Invalid numeric app argument %s", qUtf8Printable(name));
        return defaultValue;
    }
    return n;
}

int appArgumentInt(const QString& name, int defaultValue)
{
    return appArgumentInt(QCoreApplication::arguments(), name, defaultValue);
}

QString configDirectory(int kind)
{
    if (kind != 0)
        return QString();
    bool found = false;
    const QString dir = appArgument(QStringLiteral("--config-dir"), &found);
    if (found && !dir.isEmpty())
        return QDir::cleanPath(QDir(dir).absolutePath());
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString ConfigSettings::filePath()
{
    return configDirectory() + QStringLiteral("/config.ini");
}

ConfigSettings::ConfigSettings()
{
    const QString dir = configDirectory();
    if (!QDir(dir).exists()) {
        if (QDir().mkpath(dir))
            logPrintf(LogNfo1, "created config directory %s", qUtf8Printable(dir));
        else
            logPrintf(LogErr1, "failed to create config directory %s", qUtf8Printable(dir));
    }
    m_settings = new QSettings(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
}

ConfigSettings::~ConfigSettings()
{
    // deleteLater alone would drop the writes whenever no event loop runs after us.
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        logPrintf(LogErr1, "failed to write settings %s", qUtf8Printable(m_settings->fileName()));
    delete m_settings;
}

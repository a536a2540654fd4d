#pragma once

// The settings holder and the command-line helpers. Options are written as name, "=" and
// value ("--config-dir=/path", "--imgcache=2"); names include their leading dashes.

#include <QString>
#include <QStringList>

class QSettings;

// The configuration directory for kind 0: the value of "--config-dir" when given, else the
// writable application-local data location. Any other kind gives an empty string.
QString configDirectory(int kind = 0);

// The text value of the first argument that splits at "=" into exactly `name` and one value;
// `found` (optional) tells whether there was one. Uses QCoreApplication::arguments().
QString appArgument(const QString& name, bool* found = nullptr);
QString appArgument(const QStringList& arguments, const QString& name, bool* found = nullptr);

// The integer value of "name=<decimal>"; no such argument, or a value that is no number
// (logged), gives defaultValue.
int appArgumentInt(const QString& name, int defaultValue);
int appArgumentInt(const QStringList& arguments, const QString& name, int defaultValue);

// A short-lived holder made on the stack where settings are read or written. It makes sure
// the configuration directory exists and opens "config.ini" in it (INI format). The
// destructor writes pending changes to the file before releasing the settings object, so
// nothing is lost when no event loop runs afterwards (shut-down, threads without a loop).
class ConfigSettings
{
public:
    ConfigSettings();
    ~ConfigSettings();

    ConfigSettings(const ConfigSettings&) = delete;
    ConfigSettings& operator=(const ConfigSettings&) = delete;

    QSettings* settings() const { return m_settings; }
    QSettings* operator->() const { return m_settings; }

    // The settings file of the configuration directory.
    static QString filePath();

private:
    QSettings* m_settings = nullptr;
};

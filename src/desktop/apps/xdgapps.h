#pragma once

// Where the desktop describes its applications on this platform: desktop entries (".desktop"
// files below "applications" of $XDG_DATA_HOME and every $XDG_DATA_DIRS folder) and the
// "mimeapps.list" files with the user's and the system's defaults and associations. Plain
// readers without state beyond what they return; the environment is read on every call, so
// a test can point it at a folder of its own.

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

namespace Xdg {

// $XDG_DATA_HOME (default ~/.local/share), then each of $XDG_DATA_DIRS (default
// /usr/local/share:/usr/share), highest precedence first.
QStringList dataDirs();
// $XDG_CONFIG_HOME (default ~/.config), then each of $XDG_CONFIG_DIRS (default /etc/xdg).
QStringList configDirs();
// The names in $XDG_CURRENT_DESKTOP, lower-cased.
QStringList currentDesktops();
// The message locale: $LC_ALL, $LC_MESSAGES, $LANG, else the framework's default.
QString messageLocale();

} // namespace Xdg

struct DesktopEntry
{
    QString id;           // "org.example.Editor.desktop"
    QString file;         // absolute path of the entry
    QString name;         // localized where the entry has the message locale
    QString exec;         // the command, string escapes resolved
    QString icon;         // theme icon name or absolute path
    QString tryExec;
    QStringList mimeTypes;
    QStringList onlyShowIn;
    QStringList notShowIn;
    bool application = false;
    bool hidden = false;
    bool noDisplay = false;
    bool terminal = false;

    // Reads the [Desktop Entry] group. False when the file cannot be read or has no such group.
    static bool read(const QString& file, const QString& locale, DesktopEntry* entry);

    // May be started here: an application with a name and a command, not hidden, its TryExec
    // program present, shown in the current desktop, not needing a terminal.
    bool isLaunchable(const QStringList& desktops) const;
    // Listed by itself in the catalogue: launchable and not NoDisplay (a NoDisplay entry
    // still serves when mimeapps.list names it).
    bool isListed(const QStringList& desktops) const { return isLaunchable(desktops) && !noDisplay; }
    // The command as the catalogue stores it ("%k" written out).
    QString command() const;
};

// Desktop-file ids of the application folders: the path below "applications" with '/'
// turned into '-'; a folder of higher precedence hides the same id further down.
class DesktopEntryIndex
{
public:
    void build(const QStringList& applicationDirs);
    QString fileFor(const QString& id) const { return m_files.value(id); }
    const QStringList& ids() const { return m_ids; }

private:
    QStringList m_ids;
    QMap<QString, QString> m_files;
};

class MimeAppsList
{
public:
    // The files in precedence order, highest first (desktop-specific ones before the general).
    static QStringList defaultFiles();
    void load(const QStringList& files);

    // Desktop ids for the type: the defaults, then the added associations, without those a
    // file of higher or equal precedence removed.
    QStringList applicationsFor(const QString& mimeType) const;
    // Every type that has defaults or added associations.
    QStringList mimeTypes() const;
    // The user removed this application for the type: the entry's own MimeType list doesn't count.
    bool isRemoved(const QString& mimeType, const QString& id) const { return m_removed.value(mimeType).contains(id); }

private:
    QMap<QString, QStringList> m_associations;
    QMap<QString, QSet<QString>> m_removed;
};

#include "desktop/apps/xdgapps.h"

#include "desktop/apps/execline.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>

namespace {

QStringList envList(const char* name, const QStringList& fallback)
{
    const QString value = qEnvironmentVariable(name);
    QStringList out;
    for (const QString& part : value.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(part))
            out << QDir::cleanPath(part);
    }
    return out.isEmpty() ? fallback : out;
}

QString envDir(const char* name, const QString& fallback)
{
    const QString value = qEnvironmentVariable(name);
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : fallback;
}

// The keys to look for a localized value under, best first: lang_COUNTRY@MODIFIER,
// lang_COUNTRY, lang@MODIFIER, lang.
QStringList localeKeys(const QString& locale)
{
    static const QRegularExpression re(QStringLiteral("^([a-zA-Z]+)(_[a-zA-Z]+)?(\\.[^@]*)?(@.+)?$"));
    const QRegularExpressionMatch m = re.match(locale);
    if (!m.hasMatch() || locale == QLatin1String("C") || locale == QLatin1String("POSIX"))
        return {};
    const QString lang = m.captured(1);
    const QString country = m.captured(2);
    const QString modifier = m.captured(4);
    QStringList keys;
    if (!country.isEmpty() && !modifier.isEmpty())
        keys << lang + country + modifier;
    if (!country.isEmpty())
        keys << lang + country;
    if (!modifier.isEmpty())
        keys << lang + modifier;
    keys << lang;
    return keys;
}

QStringList listValue(const QString& value)
{
    return value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

bool programPresent(const QString& program)
{
    return !ExecLine::resolveProgram(program).isEmpty();
}

} // namespace

namespace Xdg {

QStringList dataDirs()
{
    QStringList dirs;
    dirs << envDir("XDG_DATA_HOME", QDir::homePath() + QStringLiteral("/.local/share"));
    dirs << envList("XDG_DATA_DIRS", {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")});
    dirs.removeDuplicates();
    return dirs;
}

QStringList configDirs()
{
    QStringList dirs;
    dirs << envDir("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    dirs << envList("XDG_CONFIG_DIRS", {QStringLiteral("/etc/xdg")});
    dirs.removeDuplicates();
    return dirs;
}

QStringList currentDesktops()
{
    QStringList out;
    for (const QString& d : qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        out << d.toLower();
    return out;
}

QString messageLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString v = qEnvironmentVariable(name);
        if (!v.isEmpty())
            return v;
    }
    return QLocale().name();
}

} // namespace Xdg

bool DesktopEntry::read(const QString& file, const QString& locale, DesktopEntry* entry)
{
    QFile f(file);
    // Desktop entries are small; a huge file is not one.
    if (!f.open(QIODevice::ReadOnly) || f.size() > 1024 * 1024)
        return false;
    const QStringList keys = localeKeys(locale);
    QMap<QString, QString> values;
    bool inGroup = false;
    bool sawGroup = false;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        // The value is everything after the first '=': values may hold '=' themselves.
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        // A later line replaces an earlier one of the same key.
        values.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    if (!sawGroup)
        return false;

    DesktopEntry e;
    e.file = QFileInfo(file).absoluteFilePath();
    e.name = ExecLine::unescapeValue(values.value(QStringLiteral("Name")));
    for (const QString& k : keys) {
        const QString localized = values.value(QStringLiteral("Name[%1]").arg(k));
        if (!localized.isEmpty()) {
            e.name = ExecLine::unescapeValue(localized);
            break;
        }
    }
    e.exec = ExecLine::unescapeValue(values.value(QStringLiteral("Exec")));
    e.icon = ExecLine::unescapeValue(values.value(QStringLiteral("Icon")));
    e.tryExec = ExecLine::unescapeValue(values.value(QStringLiteral("TryExec")));
    e.mimeTypes = listValue(values.value(QStringLiteral("MimeType")));
    e.onlyShowIn = listValue(values.value(QStringLiteral("OnlyShowIn")));
    e.notShowIn = listValue(values.value(QStringLiteral("NotShowIn")));
    e.application = values.value(QStringLiteral("Type")) == QLatin1String("Application");
    e.hidden = values.value(QStringLiteral("Hidden")) == QLatin1String("true");
    e.noDisplay = values.value(QStringLiteral("NoDisplay")) == QLatin1String("true");
    e.terminal = values.value(QStringLiteral("Terminal")) == QLatin1String("true");
    *entry = e;
    return true;
}

bool DesktopEntry::isLaunchable(const QStringList& desktops) const
{
    if (!application || hidden || terminal || name.isEmpty() || exec.isEmpty())
        return false;
    if (!tryExec.isEmpty() && !programPresent(tryExec))
        return false;
    auto shownIn = [&](const QStringList& list) {
        for (const QString& d : list) {
            if (desktops.contains(d.toLower()))
                return true;
        }
        return false;
    };
    if (!onlyShowIn.isEmpty() && !shownIn(onlyShowIn))
        return false;
    if (shownIn(notShowIn))
        return false;
    return true;
}

QString DesktopEntry::command() const
{
    return ExecLine::bindEntryFile(exec, file);
}

void DesktopEntryIndex::build(const QStringList& applicationDirs)
{
    m_ids.clear();
    m_files.clear();
    for (const QString& dir : applicationDirs) {
        if (!QFileInfo(dir).isDir())
            continue;
        QStringList found;
        QDirIterator it(dir, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        std::sort(found.begin(), found.end(), [](const QString& a, const QString& b) {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        });
        for (const QString& file : found) {
            QString id = QDir(dir).relativeFilePath(file);
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            if (m_files.contains(id))
                continue;   // hidden by the same id in a folder of higher precedence
            m_files.insert(id, file);
            m_ids << id;
        }
    }
}

QStringList MimeAppsList::defaultFiles()
{
    QStringList names;
    for (const QString& desktop : Xdg::currentDesktops())
        names << desktop + QStringLiteral("-mimeapps.list");
    names << QStringLiteral("mimeapps.list");

    QStringList files;
    for (const QString& dir : Xdg::configDirs()) {
        for (const QString& n : names)
            files << dir + QLatin1Char('/') + n;
    }
    for (const QString& dir : Xdg::dataDirs()) {
        for (const QString& n : names)
            files << dir + QStringLiteral("/applications/") + n;
    }
    return files;
}

void MimeAppsList::load(const QStringList& files)
{
    m_associations.clear();
    m_removed.clear();
    for (const QString& file : files) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly) || f.size() > 4 * 1024 * 1024)
            continue;
        QString group;
        QMap<QString, QStringList> removedHere;
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray& raw : lines) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            if (line.startsWith(QLatin1Char('['))) {
                group = line;
                continue;
            }
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq <= 0)
                continue;
            const QString type = line.left(eq).trimmed();
            const QStringList ids = listValue(line.mid(eq + 1).trimmed());
            if (group == QLatin1String("[Default Applications]") || group == QLatin1String("[Added Associations]")) {
                QStringList& list = m_associations[type];
                for (const QString& id : ids) {
                    if (!list.contains(id) && !m_removed.value(type).contains(id))
                        list << id;
                }
            } else if (group == QLatin1String("[Removed Associations]")) {
                removedHere[type] << ids;
            }
        }
        // A removal hides what files of lower precedence add, not what this file adds.
        for (auto it = removedHere.cbegin(); it != removedHere.cend(); ++it) {
            for (const QString& id : it.value())
                m_removed[it.key()].insert(id);
        }
    }
}

QStringList MimeAppsList::applicationsFor(const QString& mimeType) const
{
    return m_associations.value(mimeType);
}

QStringList MimeAppsList::mimeTypes() const
{
    return m_associations.keys();
}

#include "desktop/apps/applauncher.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "desktop/common/desktopresources.h"
#include "desktop/apps/execline.h"
#include "desktop/apps/xdgapps.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>
#include <QMimeDatabase>
#include <QPointer>
#include <QProcess>
#include <QQueue>
#include <QSet>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimer>

namespace {

AppLauncher* g_instance = nullptr;
constexpr int kMaxCachedPaths = 50000;
// Long enough for the window to come up first, short enough that the catalogue is usually
// there before anyone selects a file.
constexpr int kCatalogueScanDelayMs = 2000;

const char kRelatedApps[] =
    "SELECT DISTINCT a.id, a.name, a.icon, a.path, a.flags FROM apps AS a, filetypes AS f, app_filetypes AS af"
    " WHERE a.id = af.app_id AND f.id = af.type_id AND f.type IN (%1) ORDER BY af.last_used_timestamp DESC";

// "(:t0,:t1,...)" for n values: the type names are bound, never written into the statement.
QString placeholders(int count, const QString& prefix)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QStringLiteral(":%1%2").arg(prefix).arg(i);
    return names.join(QLatin1Char(','));
}

void bindList(QSqlQuery& q, const QStringList& values, const QString& prefix)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(QStringLiteral(":%1%2").arg(prefix).arg(i), values.at(i));
}

void appendUnique(QStringList& list, const QString& value)
{
    if (!list.contains(value))
        list << value;
}

} // namespace

struct AppLauncherPrivate
{
    AppLauncher* owner = nullptr;
    QMap<QString, QStringList> inheritedTypes;
    QHash<int, QByteArray> roles;
    Uuid peerUuid;
    std::vector<QString> paths;
    QQueue<QString> pendingPaths;
    QTimer* timer = nullptr;

    QHash<QString, QStringList> pathTypes;   // per file: its type, the aliases, the name matches
    QStringList types;             // the type set of the rows' statement
    // Within one queue cycle: the suffixes already looked up, and the associations read once.
    QSet<QString> lookedUp;
    std::unique_ptr<MimeAppsList> mimeApps;
    QMimeDatabase mimeDb;
    DesktopEntryIndex entries;     // every application folder, for the associations
    bool scanned = false;          // the catalogue was filled from this desktop

    void addTypeSet(const QString& path, QStringList& set);
};

void AppLauncherPrivate::addTypeSet(const QString& path, QStringList& set)
{
    // The MIME database costs tens of microseconds per question; a selection that grows by
    // shift-click, and the new selection at the end of each lookup cycle, ask again about
    // the same files.
    auto known = pathTypes.constFind(path);
    if (known == pathTypes.constEnd()) {
        if (pathTypes.size() > kMaxCachedPaths)
            pathTypes.clear();
        const QMimeType type = mimeDb.mimeTypeForFile(path);
        QStringList names{type.name()};
        for (const QString& alias : type.aliases())
            appendUnique(names, alias);
        for (const QMimeType& match : mimeDb.mimeTypesForFileName(path))
            appendUnique(names, match.name());
        known = pathTypes.insert(path, names);
    }
    for (const QString& name : known.value())
        appendUnique(set, name);
    const QMimeType type = mimeDb.mimeTypeForName(known.value().first());

    const auto cached = inheritedTypes.constFind(type.name());
    if (cached != inheritedTypes.constEnd()) {
        for (const QString& name : cached.value())
            appendUnique(set, name);
        return;
    }
    QStringList inherited;
    for (const QMimeType& other : mimeDb.allMimeTypes()) {
        if (other.name() == QLatin1String("application/octet-stream"))
            continue;
        if (type.inherits(other.name())) {
            appendUnique(inherited, other.name());
            appendUnique(set, other.name());
        }
    }
    if (!inherited.isEmpty())
        inheritedTypes.insert(type.name(), inherited);
}

AppLauncher* AppLauncher::instance()
{
    if (!g_instance)
        g_instance = new AppLauncher(QCoreApplication::instance());
    return g_instance;
}

AppLauncher::AppLauncher(QObject* parent)
    : QSqlQueryModel(parent), d(new AppLauncherPrivate)
{
    qRegisterMetaType<std::vector<QString>>();
    qRegisterMetaType<Uuid>("Uuid");
    d->owner = this;
    d->roles = {{AppIdRole, "appid"}, {NameRole, "name"}, {AppIconRole, "appicon"},
                {PathRole, "path"}, {FlagsRole, "flags"}};
    g_instance = this;
    // Reading every desktop entry and storing the catalogue is no part of bringing up the window:
    // it happens on the first selection or launch, or once the program has had a moment.
    QTimer::singleShot(kCatalogueScanDelayMs, this, &AppLauncher::ensureCatalogue);
    d->timer = new QTimer(this);
    d->timer->setSingleShot(true);
    d->timer->setInterval(0);
    connect(d->timer, &QTimer::timeout, this, &AppLauncher::timerFired);
}

// The list model keeps its query for as long as it shows rows, and a query must never outlive
// the connection it runs on. The database object removes its own connections when it goes
// (the launcher outlives it, and tests open one database per window), so the launcher reads
// the same file through a connection of its own that is never removed: when the program's
// database file changes, that connection is closed and reopened on the new file, which ends
// the old rows' query without leaving it on a deleted driver.
QSqlDatabase AppLauncher::catalogue()
{
    static const QString kConnection = QStringLiteral("nusk-applauncher");
    const QString file = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).databaseName();
    QSqlDatabase own = QSqlDatabase::contains(kConnection)
        ? QSqlDatabase::database(kConnection, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kConnection);
    if (own.databaseName() != file || !own.isOpen()) {
        own.close();
        own.setDatabaseName(file);
        if (!file.isEmpty() && !own.open())
            logPrintf(LogDb1, "failed to open the application catalogue %s", qUtf8Printable(own.lastError().text()));
    }
    return own;
}

void AppLauncher::clear()
{
    setQuery(QSqlQuery(catalogue()));
}

AppLauncher::~AppLauncher()
{
    if (g_instance == this)
        g_instance = nullptr;
}

QVariant AppLauncher::data(const QModelIndex& index, int role) const
{
    if (role >= AppIdRole)
        return QSqlQueryModel::data(this->index(index.row(), role - AppIdRole), Qt::DisplayRole);
    return QSqlQueryModel::data(index, role);
}

QHash<int, QByteArray> AppLauncher::roleNames() const
{
    return d->roles;
}

QString AppLauncher::selectedPeer() const
{
    return d->peerUuid;
}

std::vector<QString> AppLauncher::selectedPaths() const
{
    return d->paths;
}

QIcon AppLauncher::iconForLocation(const QString& location)
{
    initDesktopResources();
    const QIcon fallback(QStringLiteral(":/icons/desktop/application.svg"));
    if (location.isEmpty())
        return fallback;
    if (QDir::isAbsolutePath(location))
        return QImageReader(location).canRead() ? QIcon(location) : fallback;   // a program file draws nothing
    return QIcon::fromTheme(location, fallback);
}

// ---- catalogue ------------------------------------------------------------------------

void AppLauncher::ensureCatalogue()
{
    if (!d->scanned)
        scanApplications();
}

void AppLauncher::scanApplications()
{
    d->scanned = true;
    QStringList dirs;
    for (const QString& dir : Xdg::dataDirs())
        dirs << dir + QStringLiteral("/applications");
    // Descriptions that come with the installation or that the user keeps beside the settings.
    dirs << QCoreApplication::applicationDirPath() + QStringLiteral("/applications");
    dirs << configDirectory() + QStringLiteral("/applications");
    d->entries.build(dirs);

    const QString locale = Xdg::messageLocale();
    const QStringList desktops = Xdg::currentDesktops();
    MimeAppsList mimeApps;
    mimeApps.load(MimeAppsList::defaultFiles());

    // One transaction: hundreds of entries otherwise cost a disk sync each.
    QSqlDatabase db = catalogue();
    const bool inTransaction = db.isOpen() && db.transaction();

    QMap<QString, DesktopEntry> read;
    for (const QString& id : d->entries.ids()) {
        DesktopEntry entry;
        if (!DesktopEntry::read(d->entries.fileFor(id), locale, &entry))
            continue;
        entry.id = id;
        read.insert(id, entry);
        if (!entry.isListed(desktops))
            continue;
        QStringList types;
        for (const QString& type : entry.mimeTypes) {
            if (!mimeApps.isRemoved(type, id))
                types << type;
        }
        addApp(entry.name, types.join(QLatin1Char(';')), entry.command(), entry.icon);
    }
    for (const QString& type : mimeApps.mimeTypes()) {
        for (const QString& id : mimeApps.applicationsFor(type)) {
            const auto it = read.constFind(id);
            if (it != read.constEnd() && it->isLaunchable(desktops))
                addApp(it->name, type, it->command(), it->icon);
        }
    }
    if (inTransaction && !db.commit())
        logPrintf(LogDb1, "failed to store the application catalogue %s", qUtf8Printable(db.lastError().text()));

    scanRunningProcesses();
}

void AppLauncher::scanRunningProcesses()
{
    QDir proc(QStringLiteral("/proc"));
    if (!proc.exists()) {
        logPrintf(LogErr1, "no process list (/proc)");
        return;
    }
    QStringList platforms;
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        // Processes of other users, or ones that just ended, give nothing.
        QString exe = QFile::symLinkTarget(proc.filePath(pid + QStringLiteral("/exe")));
        if (exe.isEmpty())
            continue;
        exe.remove(QLatin1String(" (deleted)"));
        if (exe.contains(QLatin1String("PortableAppsPlatform")) && !platforms.contains(exe)) {
            logPrintf(LogNfo1, "%s %s", qUtf8Printable(QFileInfo(exe).fileName()), qUtf8Printable(exe));
            platforms << exe;
        }
    }
    for (const QString& exe : platforms)
        scanPortableApps(exe);
}

void AppLauncher::scanPortableApps(const QString& platformExe)
{
    QDir root = QFileInfo(platformExe).absoluteDir();
    if (!root.cdUp())
        return;
    logPrintf(LogNfo1, "portable apps: %s", qUtf8Printable(root.absolutePath()));
    const QStringList folders = root.entryList({QStringLiteral("*Portable")}, QDir::Dirs | QDir::NoDotAndDotDot,
                                               QDir::Name | QDir::IgnoreCase);
    for (const QString& folderName : folders) {
        const QString folder = root.absoluteFilePath(folderName);
        const QString info = folder + QStringLiteral("/App/AppInfo/appinfo.ini");
        if (!QFileInfo::exists(info))
            continue;
        QSettings ini(info, QSettings::IniFormat);
        const QString name = ini.value(QStringLiteral("Details/Name")).toString();
        const QString start = ini.value(QStringLiteral("Control/Start")).toString();
        const QStringList fileTypes = ini.value(QStringLiteral("Associations/FileTypes")).toStringList();
        if (name.isEmpty() || start.isEmpty() || fileTypes.isEmpty())
            continue;
        const QString program = QDir::cleanPath(folder + QLatin1Char('/') + start);
        // The start entry names a file of the folder itself.
        if (!program.startsWith(folder + QLatin1Char('/')) || !QFileInfo(program).isFile())
            continue;
        logPrintf(LogNfo1, "\t%s, %s, %s", qUtf8Printable(folder), qUtf8Printable(name), qUtf8Printable(start));
        QStringList types;
        for (const QString& ext : fileTypes) {
            for (const QMimeType& t : d->mimeDb.mimeTypesForFileName(QStringLiteral("foo.") + ext.trimmed()))
                appendUnique(types, t.name());
        }
        // The platform keeps each application's icon beside its description.
        QString icon = program;
        for (const char* candidate : {"appicon_32.png", "appicon.png", "appicon.ico"}) {
            const QString file = folder + QStringLiteral("/App/AppInfo/") + QLatin1String(candidate);
            if (QFileInfo(file).isFile()) {
                icon = file;
                break;
            }
        }
        addApp(name, types.join(QLatin1Char(';')), ExecLine::quote(program) + QStringLiteral(" %F"), icon);
    }
}

void AppLauncher::addApp(const QString& name, const QString& mimeTypes, const QString& path, const QString& icon)
{
    const QSqlDatabase db = catalogue();
    qlonglong appId = 0;
    {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT id FROM apps WHERE path = :path COLLATE NOCASE"));
        q.bindValue(QStringLiteral(":path"), path);
        if (!q.exec()) {
            logPrintf(LogDb1, "failed select id from apps %s", qUtf8Printable(q.lastError().text()));
            return;
        }
        if (q.next())
            appId = q.value(0).toLongLong();
    }
    if (appId == 0) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO apps (name,icon,path,flags) VALUES (:name,:icon,:path,0)"));
        q.bindValue(QStringLiteral(":name"), name);
        q.bindValue(QStringLiteral(":icon"), icon);
        q.bindValue(QStringLiteral(":path"), path);
        if (!q.exec()) {
            logPrintf(LogDb1, "failed to insert entry to apps %s", qUtf8Printable(q.lastError().text()));
            return;
        }
        QSqlQuery idq(db);
        if (!idq.exec(QStringLiteral("select last_insert_rowid()")) || !idq.next()) {
            logPrintf(LogDb1, "failed select created id from apps %s", qUtf8Printable(idq.lastError().text()));
            return;
        }
        appId = idq.value(0).toLongLong();
    }

    for (const QString& type : mimeTypes.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        qlonglong typeId = 0;
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT id FROM filetypes WHERE type = :type"));
        q.bindValue(QStringLiteral(":type"), type);
        if (!q.exec()) {
            logPrintf(LogDb1, "failed select id from filetypes %s", qUtf8Printable(q.lastError().text()));
            continue;
        }
        if (q.next())
            typeId = q.value(0).toLongLong();
        if (typeId == 0) {
            QSqlQuery ins(db);
            ins.prepare(QStringLiteral("INSERT INTO filetypes (type,flags) VALUES (:type,0)"));
            ins.bindValue(QStringLiteral(":type"), type);
            if (!ins.exec()) {
                logPrintf(LogDb1, "failed to insert entry to filetypes %s", qUtf8Printable(ins.lastError().text()));
                continue;
            }
            QSqlQuery idq(db);
            if (!idq.exec(QStringLiteral("select last_insert_rowid()")) || !idq.next()) {
                logPrintf(LogDb1, "failed select created id from filetypes %s", qUtf8Printable(idq.lastError().text()));
                continue;
            }
            typeId = idq.value(0).toLongLong();
        }
        QSqlQuery link(db);
        link.prepare(QStringLiteral("INSERT INTO app_filetypes (app_id,type_id) VALUES (:a,:t)"));
        link.bindValue(QStringLiteral(":a"), appId);
        link.bindValue(QStringLiteral(":t"), typeId);
        if (!link.exec())
            logPrintf(LogDb1, "failed to insert entry to app_filetypes %s", qUtf8Printable(link.lastError().text()));
    }
}

void AppLauncher::pruneMissingApps()
{
    if (d->types.isEmpty())
        return;
    const QSqlDatabase db = catalogue();
    QSqlQuery rows(db);
    rows.prepare(QString::fromLatin1(kRelatedApps).arg(placeholders(d->types.size(), QStringLiteral("t"))));
    bindList(rows, d->types, QStringLiteral("t"));
    if (!rows.exec())
        return;
    QStringList missing;
    while (rows.next()) {
        const QString program = ExecLine::program(rows.value(3).toString());
        if (program.isEmpty() || missing.contains(program))
            continue;
        if (!ExecLine::resolveProgram(program).isEmpty()) {
            logPrintf(LogNfo1, "found app: %s", qUtf8Printable(program));
            continue;
        }
        missing << program;
    }
    if (missing.isEmpty())
        return;

    // Every entry that starts exactly this program goes; "vi" does not take "vim" along.
    int removed = 0;
    QSqlQuery all(db);
    if (!all.exec(QStringLiteral("SELECT id, path FROM apps")))
        return;
    QList<qlonglong> doomed;
    while (all.next()) {
        if (missing.contains(ExecLine::program(all.value(1).toString())))
            doomed << all.value(0).toLongLong();
    }
    for (qlonglong id : doomed) {
        QSqlQuery del(db);
        del.prepare(QStringLiteral("DELETE FROM apps WHERE id = :id"));
        del.bindValue(QStringLiteral(":id"), id);
        if (!del.exec()) {
            logPrintf(LogDb1, "failed to remove app: %lld", id);
            continue;
        }
        logPrintf(LogDb1, "remove app: %lld", id);
        ++removed;
    }
    if (removed > 0)
        runStatement();
}

void AppLauncher::addRegistryHandlers(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    if (!name.contains(QLatin1Char('.')))
        return;
    // The lookup goes by name only: a thousand selected photos need it once.
    const QString suffix = name.mid(name.lastIndexOf(QLatin1Char('.'))).toLower();
    if (d->lookedUp.contains(suffix))
        return;
    d->lookedUp.insert(suffix);
    ensureCatalogue();   // the application folders' index
    QStringList types;
    for (const QMimeType& t : d->mimeDb.mimeTypesForFileName(path))
        types << t.name();
    if (types.isEmpty())
        return;
    if (!d->mimeApps) {
        d->mimeApps.reset(new MimeAppsList);
        d->mimeApps->load(MimeAppsList::defaultFiles());
    }
    const MimeAppsList& mimeApps = *d->mimeApps;
    const QString locale = Xdg::messageLocale();
    const QStringList desktops = Xdg::currentDesktops();
    QStringList seen;
    for (const QString& type : types) {
        for (const QString& id : mimeApps.applicationsFor(type)) {
            if (seen.contains(id))
                continue;
            seen << id;
            DesktopEntry entry;
            const QString file = d->entries.fileFor(id);
            if (file.isEmpty() || !DesktopEntry::read(file, locale, &entry) || !entry.isLaunchable(desktops))
                continue;
            logPrintf(LogNfo1, "\t: %s, %s, %s", qUtf8Printable(id), qUtf8Printable(entry.name), qUtf8Printable(entry.icon));
            addApp(entry.name, types.join(QLatin1Char(';')), entry.command(), entry.icon);
        }
    }
}

// ---- selection and launching ---------------------------------------------------------

void AppLauncher::selectRelatedApps(const QString& peerUuid, const std::vector<QString>& paths)
{
    ensureCatalogue();
    if (!(peerUuid == d->peerUuid && paths == d->paths))
        d->timer->start(0);
    QStringList types;
    for (const QString& path : paths) {
        d->pendingPaths.enqueue(path);
        d->addTypeSet(path, types);
        logPrintf(LogNfo2, "%s\t%s", qUtf8Printable(path), qUtf8Printable(types.value(0)));
    }
    if (types.isEmpty()) {
        clear();
        return;
    }
    d->types = types;
    d->peerUuid = peerUuid;
    d->paths = paths;
    runStatement();
}

void AppLauncher::runStatement()
{
    if (d->types.isEmpty())
        return;
    QSqlQuery q(catalogue());
    q.prepare(QString::fromLatin1(kRelatedApps).arg(placeholders(d->types.size(), QStringLiteral("t"))));
    bindList(q, d->types, QStringLiteral("t"));
    if (!q.exec()) {
        logPrintf(LogDb1, "failed to filter apps %s", qUtf8Printable(q.lastError().text()));
        clear();
        return;
    }
    setQuery(q);
    while (canFetchMore())
        fetchMore();
    logPrintf(LogNfo2, "Related apps count: %d", rowCount());
}

bool AppLauncher::statementHasUsedApp()
{
    if (d->types.isEmpty())
        return false;
    QSqlQuery q(catalogue());
    q.prepare(QStringLiteral("SELECT MAX(af.last_used_timestamp) FROM filetypes AS f, app_filetypes AS af"
                             " WHERE f.id = af.type_id AND f.type IN (%1)")
                  .arg(placeholders(d->types.size(), QStringLiteral("t"))));
    bindList(q, d->types, QStringLiteral("t"));
    return q.exec() && q.next() && q.value(0).toLongLong() > 0;
}

void AppLauncher::timerFired()
{
    if (!d->pendingPaths.isEmpty()) {
        addRegistryHandlers(d->pendingPaths.dequeue());
        d->timer->start(0);
        return;
    }
    // End of the cycle: the next one sees changes to the desktop's associations.
    d->lookedUp.clear();
    d->mimeApps.reset();
    pruneMissingApps();
    if (!d->peerUuid.isEmpty() && !d->paths.empty())
        selectRelatedApps(d->peerUuid, d->paths);
}

void AppLauncher::launch(int appId)
{
    ensureCatalogue();
    if (d->peerUuid != nullUuidString() && !d->paths.empty()) {
        Q_EMIT deferAppLaunch(appId, d->peerUuid, d->paths);
        return;
    }
    const QSqlDatabase db = catalogue();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT name, path, icon FROM apps WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), appId);
    if (!q.exec()) {
        logPrintf(LogDb1, "failed select id from apps %s", qUtf8Printable(q.lastError().text()));
        return;
    }
    if (!q.next()) {
        logPrintf(LogDb1, "failed get app with id %d", appId);
        return;
    }
    const QString name = q.value(0).toString();
    const QString command = q.value(1).toString();
    const QString icon = q.value(2).toString();

    // The use moves the application up for these types, even when the start fails below.
    QStringList types;
    for (const QString& path : d->paths) {
        const QMimeType t = d->mimeDb.mimeTypeForFile(path);
        types << t.name();
        for (const QString& alias : t.aliases())
            appendUnique(types, alias);
    }
    if (!types.isEmpty()) {
        QSqlQuery upd(db);
        upd.prepare(QStringLiteral("UPDATE app_filetypes SET last_used_timestamp = :now WHERE app_id = :app"
                                   " AND type_id IN (SELECT id FROM filetypes WHERE type IN (%1))")
                        .arg(placeholders(types.size(), QStringLiteral("t"))));
        upd.bindValue(QStringLiteral(":now"), QDateTime::currentSecsSinceEpoch());
        upd.bindValue(QStringLiteral(":app"), appId);
        bindList(upd, types, QStringLiteral("t"));
        if (!upd.exec())
            logPrintf(LogDb1, "failed update app_filetypes %s", qUtf8Printable(upd.lastError().text()));
    }
    runStatement();

    QStringList files;
    for (const QString& path : d->paths)
        files << QDir::toNativeSeparators(path);
    std::vector<ExecLine::Launch> launches;
    QString error;
    if (!ExecLine::expand(command, files, name, icon, QString(), &launches, &error)) {
        logPrintf(LogNfo1, "failed to launch app with id %d: %s", appId, qUtf8Printable(error));
        //% "%1 cannot be started for this selection."
        Q_EMIT launchFailed(qtTrId("launch-error-selection").arg(name));
        return;
    }
    for (const ExecLine::Launch& l : launches) {
        logPrintf(LogNfo1, "launch %d %s, %s %s", appId, qUtf8Printable(name), qUtf8Printable(l.program),
                  qUtf8Printable(l.arguments.join(QLatin1Char(' '))));
        startDetached(l.program, l.arguments);
    }
}

void AppLauncher::startDetached(const QString& program, const QStringList& arguments)
{
    const QString resolved = ExecLine::resolveProgram(program);
    // Detached: the application outlives this program and is never killed with it.
    if (resolved.isEmpty() || !QProcess::startDetached(resolved, arguments)) {
        logPrintf(LogNfo1, "failed to start %s", qUtf8Printable(program));
        //% "The program %1 could not be started."
        Q_EMIT launchFailed(qtTrId("launch-error-start").arg(program));
    }
}

void AppLauncher::launch(int appId, Uuid peerUuid, std::vector<QString> paths)
{
    d->peerUuid = peerUuid;
    d->paths.clear();
    for (const QString& p : paths)
        d->paths.push_back(QDir::toNativeSeparators(p));
    launch(appId);
}

void AppLauncher::launchDefault(QString path)
{
    ensureCatalogue();
    const bool local = d->peerUuid == nullUuidString();
    static const char* const programSuffixes[] = {".exe", ".bat", ".msi"};
    if (local) {
        for (const char* suffix : programSuffixes) {
            if (path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive)) {
                startDetached(QStringLiteral("xdg-open"), {path});
                return;
            }
        }
    }
    // Until the user has picked an application for these types, the desktop's own default
    // (mimeapps.list through xdg-open) decides, not whichever catalogue row comes first.
    if (local && (rowCount() == 0 || !statementHasUsedApp())) {
        if (!path.isEmpty())
            startDetached(QStringLiteral("xdg-open"), {path});
        return;
    }
    if (rowCount() > 0)
        launch(data(index(0, 0), AppIdRole).toInt());
}

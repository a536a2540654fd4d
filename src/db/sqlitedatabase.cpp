#include "db/sqlitedatabase.h"

#include "app/base/log.h"
#include "db/privatefiles.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

// SQLite binds a null QString or QByteArray as NULL; NOT NULL columns want an empty value.
QString text(const QString &s)
{
    return s.isNull() ? QString::fromLatin1("") : s;
}

QByteArray blob(const QByteArray &b)
{
    return b.isNull() ? QByteArray("") : b;
}

// A named value for a prepared statement (the name with its colon, as in the SQL).
struct Binding
{
    const char *name;
    QVariant value;
};
using Bindings = std::vector<Binding>;

Bindings operator+(Bindings first, const Bindings &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

QSqlQuery prepared(const QSqlDatabase &db, const QString &sql, const Bindings &bindings = {})
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        logPrintf(LogDb1, "prepare failed: %s: %s", qUtf8Printable(sql), qUtf8Printable(q.lastError().text()));
    for (const Binding &b : bindings)
        q.bindValue(QString::fromLatin1(b.name), b.value);
    return q;
}

bool run(QSqlQuery &q)
{
    if (q.exec())
        return true;
    logPrintf(LogDb1, "query failed: %s: %s", qUtf8Printable(q.lastQuery()), qUtf8Printable(q.lastError().text()));
    return false;
}

bool runPlain(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    logPrintf(LogDb1, "query failed: %s: %s", qUtf8Printable(sql), qUtf8Printable(q.lastError().text()));
    return false;
}

// Runs one statement and answers how many rows it changed, or -1 when the connection is not
// open or the statement failed. A failed statement also logs failLine (one %s: subject).
int execute(const QSqlDatabase &db, const QString &sql, const Bindings &bindings,
            const char *failLine = nullptr, const QString &subject = QString())
{
    if (!db.isOpen())
        return -1;
    QSqlQuery q = prepared(db, sql, bindings);
    if (!run(q)) {
        if (failLine)
            logPrintf(LogDb1, failLine, qUtf8Printable(subject));
        return -1;
    }
    return q.numRowsAffected();
}

// Runs a query for one text column. False when it could not run; otherwise *value holds the
// first row's text, or stays empty when there is no row.
bool selectText(const QSqlDatabase &db, const QString &sql, const Bindings &bindings,
                std::optional<QString> *value)
{
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, sql, bindings);
    if (!run(q))
        return false;
    if (q.next())
        *value = q.value(0).toString();
    return true;
}

template <typename T>
void keep(std::vector<T> &rows, T row)
{
    rows.push_back(std::move(row));
}

template <typename T>
void keep(std::vector<T> &rows, std::optional<T> row)
{
    if (row)
        rows.push_back(std::move(*row));
}

// Every row of a query, each made into a record by read; a reader answering an optional
// leaves out the rows it answers empty. Nothing when the connection or the query fails.
template <typename T, typename Reader>
std::vector<T> loadRows(const QSqlDatabase &db, const QString &sql, const Bindings &bindings,
                        Reader read)
{
    std::vector<T> rows;
    if (!db.isOpen())
        return rows;
    QSqlQuery q = prepared(db, sql, bindings);
    if (!run(q))
        return rows;
    while (q.next())
        keep(rows, read(q));
    return rows;
}

// BEGIN IMMEDIATE takes the write lock up front, so the busy timeout applies to the whole
// read-then-write sequence; a deferred transaction could be refused at the upgrade instead.
class WriteTransaction
{
public:
    explicit WriteTransaction(const QSqlDatabase &db) : m_db(db)
    {
        m_active = runPlain(m_db, QStringLiteral("BEGIN IMMEDIATE"));
    }
    ~WriteTransaction()
    {
        if (m_active)
            runPlain(m_db, QStringLiteral("ROLLBACK"));
    }
    bool isActive() const { return m_active; }
    bool commit()
    {
        if (!m_active)
            return false;
        if (!runPlain(m_db, QStringLiteral("COMMIT")))
            return false;   // the destructor rolls back
        m_active = false;
        return true;
    }

private:
    QSqlDatabase m_db;
    bool m_active = false;
};

enum class PutResult { Failed, Inserted, Updated };

// Runs the update; when it touched no row, the insert (bound with the shared values and its
// own). Both under one write transaction so that "inserted" and "updated" are told apart
// truthfully when threads race. A failure on an open connection logs failLine with subject.
PutResult upsert(const QSqlDatabase &db, const QString &updateSql, const QString &insertSql,
                 const Bindings &shared, const Bindings &insertOnly, const char *failLine,
                 const QString &subject)
{
    if (!db.isOpen())
        return PutResult::Failed;
    QSqlQuery update = prepared(db, updateSql, shared);
    QSqlQuery insert = prepared(db, insertSql, shared + insertOnly);
    const PutResult result = [&] {
        WriteTransaction txn(db);
        if (!txn.isActive() || !run(update))
            return PutResult::Failed;
        const bool updated = update.numRowsAffected() > 0;
        update.finish();
        if (!updated) {
            if (!run(insert))
                return PutResult::Failed;
            insert.finish();
        }
        if (!txn.commit())
            return PutResult::Failed;
        return updated ? PutResult::Updated : PutResult::Inserted;
    }();
    if (result == PutResult::Failed)
        logPrintf(LogDb1, failLine, qUtf8Printable(subject));
    return result;
}

// Deletes the row whose key is uuid and tells in *owner the peer it belonged to, both under
// one write transaction so the owner named is the removed row's. Rows removed, or -1.
int removeOwned(const QSqlDatabase &db, const QString &ownerSql, const QString &deleteSql,
                const QString &uuid, QString *owner)
{
    if (!db.isOpen())
        return -1;
    WriteTransaction txn(db);
    std::optional<QString> found;
    if (!txn.isActive() || !selectText(db, ownerSql, {{":u", uuid}}, &found))
        return -1;
    *owner = found.value_or(QString());
    const int removed = execute(db, deleteSql, {{":u", uuid}});
    if (removed < 0 || !txn.commit())
        return -1;
    return removed;
}

int userVersion(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return -1;
    return q.value(0).toInt();
}

bool hasColumn(const QSqlDatabase &db, const QString &table, const QString &column)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table)))
        return false;
    while (q.next()) {
        if (q.value(1).toString() == column)
            return true;
    }
    return false;
}

// The first layout. Later versions change it only through the steps in migrate().
const char *const kSchemaV1[] = {
    "CREATE TABLE IF NOT EXISTS peers ("
    " peer_uuid TEXT PRIMARY KEY,"
    " type TEXT NOT NULL,"
    " timestamp INTEGER NOT NULL)",

    "CREATE TABLE IF NOT EXISTS peer_attributes ("
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " name TEXT NOT NULL,"
    " value TEXT NOT NULL,"
    " PRIMARY KEY (peer_uuid, name, value))",

    "CREATE TABLE IF NOT EXISTS transports ("
    " transport_uuid TEXT PRIMARY KEY,"
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " type TEXT NOT NULL,"
    " host TEXT NOT NULL,"
    " port INTEGER NOT NULL,"
    " timestamp INTEGER NOT NULL,"
    " stream INTEGER NOT NULL,"
    " UNIQUE (peer_uuid, type, host, port))",

    "CREATE TABLE IF NOT EXISTS keys ("
    " key_uuid TEXT PRIMARY KEY,"
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " type TEXT NOT NULL,"
    " public_key BLOB NOT NULL,"
    " secret_key BLOB,"
    " timestamp INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS keys_peer ON keys(peer_uuid)",
    "CREATE INDEX IF NOT EXISTS keys_public ON keys(public_key)",

    "CREATE TABLE IF NOT EXISTS peer_acl ("
    " acl_uuid TEXT PRIMARY KEY,"
    " name TEXT NOT NULL,"
    " selector TEXT NOT NULL,"
    " flags INTEGER NOT NULL,"
    " timestamp INTEGER NOT NULL,"
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE)",
    "CREATE INDEX IF NOT EXISTS peer_acl_peer ON peer_acl(peer_uuid)",

    "CREATE TABLE IF NOT EXISTS invitation ("
    " uuid TEXT PRIMARY KEY,"
    " name TEXT NOT NULL,"
    " password TEXT NOT NULL,"
    " timestamp INTEGER NOT NULL,"
    " expires INTEGER NOT NULL)",

    "CREATE TABLE IF NOT EXISTS vsectors2 ("
    " vsector_uuid TEXT PRIMARY KEY,"
    " name TEXT NOT NULL,"
    " x REAL NOT NULL, y REAL NOT NULL, w REAL NOT NULL, h REAL NOT NULL)",

    "CREATE TABLE IF NOT EXISTS vnodes2 ("
    " vnode_uuid TEXT PRIMARY KEY,"
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " vsector_uuid TEXT NOT NULL REFERENCES vsectors2(vsector_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " name TEXT NOT NULL, style TEXT NOT NULL, path TEXT NOT NULL,"
    " x REAL NOT NULL, y REAL NOT NULL,"
    " type TEXT, icon TEXT)",
    "CREATE INDEX IF NOT EXISTS vnodes2_sector ON vnodes2(vsector_uuid)",
    "CREATE INDEX IF NOT EXISTS vnodes2_peer ON vnodes2(peer_uuid)",

    "CREATE TABLE IF NOT EXISTS imgcache ("
    " img_uuid TEXT PRIMARY KEY,"
    " peer_uuid TEXT NOT NULL REFERENCES peers(peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE,"
    " uri TEXT NOT NULL,"
    " mtime INTEGER NOT NULL,"
    " atime INTEGER NOT NULL,"
    " width INTEGER NOT NULL,"
    " height INTEGER NOT NULL,"
    " img BLOB NOT NULL)",
    "CREATE INDEX IF NOT EXISTS imgcache_lookup ON imgcache(peer_uuid, uri, mtime)",
    "CREATE INDEX IF NOT EXISTS imgcache_atime ON imgcache(atime)",

    "CREATE TABLE IF NOT EXISTS apps ("
    " id INTEGER PRIMARY KEY,"
    " name TEXT NOT NULL,"
    " icon TEXT,"
    " path TEXT UNIQUE ON CONFLICT IGNORE,"
    " flags INTEGER NOT NULL)",

    "CREATE TABLE IF NOT EXISTS filetypes ("
    " id INTEGER PRIMARY KEY,"
    " type TEXT UNIQUE ON CONFLICT IGNORE,"
    " flags INTEGER NOT NULL)",

    "CREATE TABLE IF NOT EXISTS app_filetypes ("
    " app_id INTEGER REFERENCES apps(id) ON DELETE CASCADE ON UPDATE CASCADE,"
    " type_id INTEGER REFERENCES filetypes(id) ON DELETE CASCADE ON UPDATE CASCADE,"
    " last_used_timestamp INTEGER DEFAULT 0,"
    " PRIMARY KEY (app_id, type_id) ON CONFLICT IGNORE)",
};

// One step of the layout: a column (`definition`: its name first) added where it is missing,
// then the version that has it; every row stays.
bool addColumn(const QSqlDatabase &db, const QString &table, const QString &definition, int version)
{
    WriteTransaction txn(db);
    if (!txn.isActive())
        return false;
    if (!hasColumn(db, table, definition.section(QLatin1Char(' '), 0, 0))
        && !runPlain(db, QStringLiteral("ALTER TABLE %1 ADD COLUMN %2").arg(table, definition)))
        return false;
    return runPlain(db, QStringLiteral("PRAGMA user_version = %1").arg(version)) && txn.commit();
}

bool migrate(const QSqlDatabase &db)
{
    const int version = userVersion(db);
    if (version < 0)
        return false;
    if (version > SqliteDatabase::kSchemaVersion) {
        // Written by a newer build; its additions are left alone.
        logPrintf(LogDb1, "database schema %d is newer than %d", version, SqliteDatabase::kSchemaVersion);
        return true;
    }

    if (version < 1) {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        for (const char *sql : kSchemaV1) {
            if (!runPlain(db, QString::fromLatin1(sql)))
                return false;
        }
        if (!runPlain(db, QStringLiteral("PRAGMA user_version = 1")) || !txn.commit())
            return false;
    }

    // Nodes remember the file id of what they point at, to find it again after a move.
    if (version < 2 && !addColumn(db, QStringLiteral("vnodes2"), QStringLiteral("fileid INTEGER DEFAULT 0"), 2))
        return false;
    // Addresses remember when this computer last reached the peer on them: after a restart
    // those are dialled first, and at once.
    if (version < 3
        && !addColumn(db, QStringLiteral("transports"), QStringLiteral("worked INTEGER NOT NULL DEFAULT 0"), 3))
        return false;
    return true;
}

QAtomicInt g_instanceCounter;

// Per-thread connection names, shared with the thread-finished hooks so a hook that fires
// after the database object is gone finds nothing to do.
struct ConnectionRegistry
{
    QMutex mutex;
    QHash<QThread *, QString> names;
    bool closed = false;

    void release(QThread *thread)
    {
        QString name;
        {
            QMutexLocker locker(&mutex);
            if (closed)
                return;
            name = names.take(thread);
        }
        if (!name.isEmpty())
            QSqlDatabase::removeDatabase(name);
    }
};

bool configureConnection(QSqlDatabase &db, const QString &path)
{
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SqliteDatabase::kBusyTimeoutMs));
    if (!db.open()) {
        logPrintf(LogDb1, "failed to open database %s: %s", qUtf8Printable(path), qUtf8Printable(db.lastError().text()));
        return false;
    }
    if (!runPlain(db, QStringLiteral("PRAGMA foreign_keys = ON"))
        || !runPlain(db, QStringLiteral("PRAGMA busy_timeout = %1").arg(SqliteDatabase::kBusyTimeoutMs)))
        return false;
    // The cascades silently do nothing without foreign keys; refuse a connection without them.
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys")) || !q.next() || q.value(0).toInt() != 1) {
        logPrintf(LogDb1, "foreign keys unavailable on %s", qUtf8Printable(path));
        return false;
    }
    return true;
}

} // namespace

struct SqliteDatabase::Private
{
    QString path;
    QString defaultName;
    QThread *ownerThread = nullptr;
    int instanceId = 0;
    bool open = false;
    std::shared_ptr<ConnectionRegistry> registry = std::make_shared<ConnectionRegistry>();
};

SqliteDatabase::SqliteDatabase(const QString &directory, QObject *parent)
    : IDatabase(parent), d(new Private)
{
    registerDtoMetaTypes();
    d->ownerThread = QThread::currentThread();
    d->instanceId = g_instanceCounter.fetchAndAddRelaxed(1);
    d->path = QDir(directory).filePath(QStringLiteral("nusk.db"));
    const QString defaultConnection = QString::fromLatin1(QSqlDatabase::defaultConnection);
    d->defaultName = QSqlDatabase::contains(defaultConnection)
        ? QStringLiteral("nusk-db-%1-owner").arg(d->instanceId)
        : defaultConnection;
    d->open = open();
}

SqliteDatabase::~SqliteDatabase()
{
    QHash<QThread *, QString> names;
    {
        QMutexLocker locker(&d->registry->mutex);
        d->registry->closed = true;
        names.swap(d->registry->names);
    }
    for (const QString &name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
    {
        QSqlDatabase db = QSqlDatabase::database(d->defaultName, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(d->defaultName);
}

bool SqliteDatabase::isOpen() const
{
    return d->open;
}

QString SqliteDatabase::filePath() const
{
    return d->path;
}

bool SqliteDatabase::quickCheck(QString *detail)
{
    QSqlDatabase db = connection();
    if (!d->open || !db.isOpen()) {
        *detail = QStringLiteral("not open");
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) {
        *detail = q.lastError().text();
        return false;
    }
    *detail = q.value(0).toString();
    return *detail == QLatin1String("ok");
}

bool SqliteDatabase::open()
{
    const QFileInfo info(d->path);
    if (!QDir().mkpath(info.absolutePath())) {
        logPrintf(LogDb1, "failed to create database directory %s", qUtf8Printable(info.absolutePath()));
        return false;
    }
    // The file holds the secret key: made private before SQLite creates it with the
    // umask's mode, and mended when an older version left it readable. SQLite gives the
    // journal files the mode of the database itself.
    privatefiles::createFile(d->path);
    for (const char *suffix : {"-wal", "-shm", "-journal"})
        privatefiles::repairFile(d->path + QLatin1String(suffix));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), d->defaultName);
    if (!configureConnection(db, d->path))
        return false;

    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !q.next()
            || q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            logPrintf(LogDb1, "WAL journal unavailable on %s", qUtf8Printable(d->path));
    }

    if (!migrate(db)) {
        logPrintf(LogDb1, "failed to bring database schema up to date");
        return false;
    }

    // The local computer's peer row anchors the foreign keys of its own nodes and images.
    if (execute(db, QStringLiteral("INSERT OR IGNORE INTO peers(peer_uuid, type, timestamp) VALUES (:u, 'nusk', :t)"),
                {{":u", nullUuidString()}, {":t", QDateTime::currentSecsSinceEpoch()}}) < 0)
        return false;

    const qint64 cutoff = QDateTime::currentMSecsSinceEpoch() - kImageCacheMaxAgeMs;
    runPlain(db, QStringLiteral("DELETE FROM imgcache WHERE atime < %1").arg(cutoff));
    return true;
}

QSqlDatabase SqliteDatabase::connection()
{
    QThread *thread = QThread::currentThread();
    if (thread == d->ownerThread)
        return QSqlDatabase::database(d->defaultName, false);

    const std::shared_ptr<ConnectionRegistry> registry = d->registry;
    {
        QMutexLocker locker(&registry->mutex);
        const auto it = registry->names.constFind(thread);
        if (it != registry->names.constEnd())
            return QSqlDatabase::database(it.value(), false);
    }

    const QString name = QStringLiteral("nusk-db-%1-%2")
                             .arg(d->instanceId)
                             .arg(reinterpret_cast<quintptr>(thread), 0, 16);
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        ok = configureConnection(db, d->path);
    }
    if (!ok) {
        QSqlDatabase::removeDatabase(name);
        return QSqlDatabase();
    }
    {
        QMutexLocker locker(&registry->mutex);
        registry->names.insert(thread, name);
    }
    // finished is emitted on the ending thread itself, where its connection may be closed.
    QObject::connect(thread, &QThread::finished, thread,
                     [registry, thread] { registry->release(thread); }, Qt::DirectConnection);
    return QSqlDatabase::database(name, false);
}

// ---------------------------------------------------------------------------------------------
// Peers

std::vector<PeerDto> SqliteDatabase::loadPeers(const QString &type)
{
    return loadRows<PeerDto>(connection(), type.isEmpty()
        ? QStringLiteral("SELECT peer_uuid, type, timestamp FROM peers ORDER BY rowid")
        : QStringLiteral("SELECT peer_uuid, type, timestamp FROM peers WHERE type = :t ORDER BY rowid"),
        type.isEmpty() ? Bindings{} : Bindings{{":t", type}}, [](const QSqlQuery &q) {
            return PeerDto{q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()};
        });
}

bool SqliteDatabase::putPeer(const PeerDto &peer)
{
    if (peer.uuid.isEmpty() || peer.type.isEmpty())
        return false;
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE peers SET type = :t, timestamp = :ts WHERE peer_uuid = :u"),
        QStringLiteral("INSERT INTO peers(peer_uuid, type, timestamp) VALUES (:u, :t, :ts)"),
        {{":u", peer.uuid}, {":t", peer.type}, {":ts", peer.timestamp}}, {},
        "failed to put peer %s", peer.uuid);
    if (r == PutResult::Inserted)
        Q_EMIT addedPeer(peer.uuid);
    else if (r == PutResult::Updated)
        Q_EMIT changedPeer(peer.uuid);
    return r != PutResult::Failed;
}

bool SqliteDatabase::deletePeer(const QString &peerUuid)
{
    if (peerUuid.isEmpty() || isNullUuidString(peerUuid))
        return false;
    const int removed = execute(connection(), QStringLiteral("DELETE FROM peers WHERE peer_uuid = :u"),
                                {{":u", peerUuid}}, "failed to delete peer %s", peerUuid);
    if (removed > 0)
        Q_EMIT removedPeer(peerUuid);
    return removed >= 0;
}

// ---------------------------------------------------------------------------------------------
// Attributes

std::vector<PeerAttributeDto> SqliteDatabase::loadPeerAttributes(const QString &peerUuid)
{
    return loadRows<PeerAttributeDto>(connection(), QStringLiteral(
        "SELECT name, value FROM peer_attributes WHERE peer_uuid = :p ORDER BY rowid"),
        {{":p", peerUuid}}, [&](const QSqlQuery &q) {
            return PeerAttributeDto{peerUuid, q.value(0).toString(), q.value(1).toString()};
        });
}

bool SqliteDatabase::putPeerAttribute(const PeerAttributeDto &attribute, bool unique)
{
    if (attribute.peerUuid.isEmpty() || attribute.name.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;

    const Bindings row{{":p", attribute.peerUuid}, {":n", attribute.name}, {":v", text(attribute.value)}};
    int changes = 0;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        if (unique) {
            const int dropped = execute(db, QStringLiteral(
                "DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n AND value <> :v"), row);
            if (dropped < 0)
                return false;
            changes += dropped;
        }
        const int inserted = execute(db, QStringLiteral(
            "INSERT OR IGNORE INTO peer_attributes(peer_uuid, name, value) VALUES (:p, :n, :v)"), row);
        if (inserted < 0) {
            logPrintf(LogDb1, "failed to put attribute %s of peer %s", qUtf8Printable(attribute.name), qUtf8Printable(attribute.peerUuid));
            return false;
        }
        changes += inserted;
        if (!txn.commit())
            return false;
    }
    if (changes > 0)
        Q_EMIT changedPeerAttribute(attribute.peerUuid, attribute.name);
    return true;
}

bool SqliteDatabase::deletePeerAttribute(const PeerAttributeDto &attribute)
{
    const bool allValues = attribute.value.isNull();
    Bindings row{{":p", attribute.peerUuid}, {":n", attribute.name}};
    if (!allValues)
        row.push_back({":v", attribute.value});
    const int removed = execute(connection(), allValues
        ? QStringLiteral("DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n")
        : QStringLiteral("DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n AND value = :v"), row);
    if (removed > 0)
        Q_EMIT removedPeerAttribute(attribute.peerUuid, attribute.name);
    return removed >= 0;
}

// ---------------------------------------------------------------------------------------------
// Transports

std::vector<TransportDto> SqliteDatabase::loadTransports(const QString &peerUuid)
{
    return loadRows<TransportDto>(connection(), QStringLiteral(
        "SELECT transport_uuid, type, host, port, timestamp, stream, worked FROM transports"
        " WHERE peer_uuid = :p ORDER BY rowid"), {{":p", peerUuid}}, [&](const QSqlQuery &q) {
            TransportDto t;
            t.uuid = q.value(0).toString();
            t.peerUuid = peerUuid;
            t.type = q.value(1).toString();
            t.host = q.value(2).toString();
            t.port = static_cast<quint16>(q.value(3).toUInt());
            t.timestamp = q.value(4).toLongLong();
            t.stream = q.value(5).toInt() != 0;
            t.worked = q.value(6).toLongLong();
            return t;
        });
}

bool SqliteDatabase::putTransport(const TransportDto &transport)
{
    if (transport.uuid.isEmpty() || transport.peerUuid.isEmpty() || transport.type.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;

    const Bindings address{{":p", transport.peerUuid}, {":t", transport.type},
                           {":h", text(transport.host)}, {":o", int(transport.port)}};
    const Bindings state{{":ts", transport.timestamp}, {":s", transport.stream ? 1 : 0}, {":w", transport.worked}};
    const Bindings row = Bindings{{":u", transport.uuid}} + address + state;
    QString storedUuid = transport.uuid;
    bool added = false;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        const int updated = execute(db, QStringLiteral(
            "UPDATE transports SET peer_uuid = :p, type = :t, host = :h, port = :o, timestamp = :ts,"
            " stream = :s, worked = MAX(worked, :w) WHERE transport_uuid = :u"), row);
        if (updated < 0)
            return false;
        if (updated == 0) {
            // The same address reported again under a fresh uuid refreshes the stored row.
            std::optional<QString> existing;
            if (!selectText(db, QStringLiteral(
                    "SELECT transport_uuid FROM transports"
                    " WHERE peer_uuid = :p AND type = :t AND host = :h AND port = :o"), address, &existing))
                return false;
            if (existing) {
                storedUuid = *existing;
                if (execute(db, QStringLiteral(
                        "UPDATE transports SET timestamp = :ts, stream = :s, worked = MAX(worked, :w)"
                        " WHERE transport_uuid = :u"),
                        Bindings{{":u", storedUuid}} + state) < 0)
                    return false;
            } else {
                if (execute(db, QStringLiteral(
                        "INSERT INTO transports(transport_uuid, peer_uuid, type, host, port, timestamp, stream, worked)"
                        " VALUES (:u, :p, :t, :h, :o, :ts, :s, :w)"), row,
                        "failed to put transport %s", transport.uuid) < 0)
                    return false;
                added = true;
            }
        }
        if (!txn.commit())
            return false;
    }
    if (added)
        Q_EMIT addedTransport(transport.peerUuid, storedUuid);
    else
        Q_EMIT changedTransport(transport.peerUuid, storedUuid);
    return true;
}

bool SqliteDatabase::deleteTransport(const QString &transportUuid)
{
    QString peerUuid;
    const int removed = removeOwned(connection(),
        QStringLiteral("SELECT peer_uuid FROM transports WHERE transport_uuid = :u"),
        QStringLiteral("DELETE FROM transports WHERE transport_uuid = :u"), transportUuid, &peerUuid);
    if (removed > 0)
        Q_EMIT removedTransport(peerUuid, transportUuid);
    return removed >= 0;
}

// ---------------------------------------------------------------------------------------------
// Access entries

std::vector<PeerAclDto> SqliteDatabase::loadPeerAcls(const QString &peerUuid)
{
    return loadRows<PeerAclDto>(connection(), QStringLiteral(
        "SELECT acl_uuid, name, selector, flags, timestamp FROM peer_acl WHERE peer_uuid = :pu"
        " ORDER BY rowid"), {{":pu", peerUuid}}, [](const QSqlQuery &q) {
            PeerAclDto e;
            e.uuid = q.value(0).toString();
            e.name = q.value(1).toString();
            e.selector = q.value(2).toString();
            e.flags = static_cast<quint32>(q.value(3).toLongLong());
            e.timestamp = QDateTime::fromSecsSinceEpoch(q.value(4).toLongLong());
            return e;
        });
}

bool SqliteDatabase::putPeerAcl(const QString &peerUuid, const PeerAclDto &entry)
{
    if (peerUuid.isEmpty() || entry.uuid.isEmpty())
        return false;
    const qint64 seconds = entry.timestamp.isValid() ? entry.timestamp.toSecsSinceEpoch() : 0;
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE peer_acl SET name = :n, selector = :s, flags = :f, timestamp = :ts"
                       " WHERE acl_uuid = :u AND peer_uuid = :pu"),
        QStringLiteral("INSERT INTO peer_acl(acl_uuid, name, selector, flags, timestamp, peer_uuid)"
                       " VALUES (:u, :n, :s, :f, :ts, :pu)"),
        {{":u", entry.uuid}, {":n", text(entry.name)}, {":s", text(entry.selector)},
         {":f", qint64(entry.flags)}, {":ts", seconds}, {":pu", peerUuid}}, {},
        "failed to put acl %s", entry.uuid);
    if (r == PutResult::Inserted)
        Q_EMIT addedPeerAcl(peerUuid, entry.uuid);
    else if (r == PutResult::Updated)
        Q_EMIT changedPeerAcl(peerUuid, entry.uuid);
    return r != PutResult::Failed;
}

bool SqliteDatabase::deletePeerAcl(const QString &peerUuid, const PeerAclDto &entry)
{
    const int removed = execute(connection(),
        QStringLiteral("DELETE FROM peer_acl WHERE acl_uuid = :u AND peer_uuid = :pu"),
        {{":u", entry.uuid}, {":pu", peerUuid}}, "failed to delete acl for peer %s", peerUuid);
    if (removed > 0)
        Q_EMIT removedPeerAcl(peerUuid, entry.uuid);
    return removed >= 0;
}

// ---------------------------------------------------------------------------------------------
// Keys

std::vector<CryptoKeyDto> SqliteDatabase::loadKeys(const QString &peerUuid)
{
    return loadRows<CryptoKeyDto>(connection(), QStringLiteral(
        "SELECT key_uuid, type, public_key, secret_key, timestamp FROM keys WHERE peer_uuid = :p"
        " ORDER BY rowid"), {{":p", peerUuid}}, [&](const QSqlQuery &q) {
            CryptoKeyDto k;
            k.uuid = q.value(0).toString();
            k.peerUuid = peerUuid;
            k.type = q.value(1).toString();
            k.publicKey = q.value(2).toByteArray();
            k.secretKey = q.value(3).toByteArray();
            k.timestamp = q.value(4).toLongLong();
            return k;
        });
}

bool SqliteDatabase::putKey(const CryptoKeyDto &key)
{
    if (key.uuid.isEmpty() || key.peerUuid.isEmpty() || key.type.isEmpty())
        return false;
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE keys SET peer_uuid = :p, type = :t, public_key = :pk, secret_key = :sk,"
                       " timestamp = :ts WHERE key_uuid = :u"),
        QStringLiteral("INSERT INTO keys(key_uuid, peer_uuid, type, public_key, secret_key, timestamp)"
                       " VALUES (:u, :p, :t, :pk, :sk, :ts)"),
        {{":u", key.uuid}, {":p", key.peerUuid}, {":t", key.type}, {":pk", blob(key.publicKey)},
         // Others' keys carry no secret part: stored as NULL, loaded as an empty array.
         {":sk", key.secretKey.isEmpty() ? QVariant(QVariant::ByteArray) : QVariant(key.secretKey)},
         {":ts", key.timestamp}}, {},
        "failed to put key %s", key.uuid);
    if (r == PutResult::Inserted)
        Q_EMIT addedKey(key.peerUuid, key.uuid);
    else if (r == PutResult::Updated)
        Q_EMIT changedKey(key.peerUuid, key.uuid);
    return r != PutResult::Failed;
}

bool SqliteDatabase::deleteKey(const QString &keyUuid)
{
    QString peerUuid;
    const int removed = removeOwned(connection(),
        QStringLiteral("SELECT peer_uuid FROM keys WHERE key_uuid = :u"),
        QStringLiteral("DELETE FROM keys WHERE key_uuid = :u"), keyUuid, &peerUuid);
    if (removed > 0)
        Q_EMIT removedKey(peerUuid, keyUuid);
    return removed >= 0;
}

QString SqliteDatabase::findPeerByKey(const QByteArray &publicKey)
{
    if (publicKey.isEmpty())
        return QString();
    std::optional<QString> peerUuid;
    if (!selectText(connection(), QStringLiteral(
            "SELECT peer_uuid FROM keys WHERE public_key = :k ORDER BY rowid LIMIT 1"),
            {{":k", publicKey}}, &peerUuid))
        return QString();
    return peerUuid.value_or(QString());
}

// ---------------------------------------------------------------------------------------------
// Invitations

std::vector<InvitationDto> SqliteDatabase::loadInvitations()
{
    return loadRows<InvitationDto>(connection(), QStringLiteral(
        "SELECT uuid, name, password, timestamp, expires FROM invitation ORDER BY rowid"), {},
        [](const QSqlQuery &q) {
            return InvitationDto{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                                 q.value(3).toLongLong(), q.value(4).toLongLong()};
        });
}

bool SqliteDatabase::putInvitation(const InvitationDto &invitation)
{
    if (invitation.uuid.isEmpty())
        return false;
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE invitation SET name = :n, password = :pw, timestamp = :ts, expires = :ex"
                       " WHERE uuid = :u"),
        QStringLiteral("INSERT INTO invitation(uuid, name, password, timestamp, expires)"
                       " VALUES (:u, :n, :pw, :ts, :ex)"),
        {{":u", invitation.uuid}, {":n", text(invitation.name)}, {":pw", text(invitation.password)},
         {":ts", invitation.timestamp}, {":ex", invitation.expires}}, {},
        "failed to put invitation %s", invitation.uuid);
    if (r == PutResult::Inserted)
        Q_EMIT addedInvitation(invitation.uuid);
    else if (r == PutResult::Updated)
        Q_EMIT changedInvitation(invitation.uuid);
    return r != PutResult::Failed;
}

bool SqliteDatabase::deleteInvitation(const QString &uuid)
{
    const int removed = execute(connection(), QStringLiteral("DELETE FROM invitation WHERE uuid = :u"),
                                {{":u", uuid}}, "failed to delete invitation %s", uuid);
    if (removed > 0)
        Q_EMIT removedInvitation(uuid);
    return removed >= 0;
}

// ---------------------------------------------------------------------------------------------
// Views and nodes

std::vector<VsectorDto> SqliteDatabase::loadVsectors()
{
    return loadRows<VsectorDto>(connection(),
        QStringLiteral("SELECT vsector_uuid, name, x, y, w, h FROM vsectors2"), {}, [](const QSqlQuery &q) {
            return VsectorDto{q.value(0).toString(), q.value(1).toString(), q.value(2).toDouble(),
                              q.value(3).toDouble(), q.value(4).toDouble(), q.value(5).toDouble()};
        });
}

bool SqliteDatabase::putVsector(const VsectorDto &sector)
{
    if (sector.uuid.isEmpty())
        return false;
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE vsectors2 SET name = :n, x = :x, y = :y, w = :w, h = :h WHERE vsector_uuid = :u"),
        QStringLiteral("INSERT INTO vsectors2(vsector_uuid, name, x, y, w, h) VALUES (:u, :n, :x, :y, :w, :h)"),
        {{":u", sector.uuid}, {":n", text(sector.name)}, {":x", sector.x}, {":y", sector.y},
         {":w", sector.w}, {":h", sector.h}}, {},
        "failed to put vsector %s", sector.uuid);
    if (r == PutResult::Updated)
        logPrintf(LogDb1, "update vsector uuid: %s", qUtf8Printable(sector.uuid));
    return r != PutResult::Failed;
}

bool SqliteDatabase::deleteVsector(const QString &uuid)
{
    return execute(connection(), QStringLiteral("DELETE FROM vsectors2 WHERE vsector_uuid = :u"),
                   {{":u", uuid}}, "[0] failed to delete vsector %s", uuid) >= 0;
}

std::vector<VnodeDto> SqliteDatabase::loadVnodes(const QString &sectorUuid)
{
    return loadRows<VnodeDto>(connection(), QStringLiteral(
        "SELECT vnode_uuid, peer_uuid, name, style, path, type, icon, fileid, x, y FROM vnodes2"
        " WHERE vsector_uuid = :s ORDER BY rowid"), {{":s", sectorUuid}}, [&](const QSqlQuery &q) {
            VnodeDto n;
            n.uuid = q.value(0).toString();
            n.peerUuid = q.value(1).toString();
            n.sectorUuid = sectorUuid;
            n.name = q.value(2).toString();
            n.style = q.value(3).toString();
            n.path = q.value(4).toString();
            n.type = q.value(5).toString();
            n.icon = q.value(6).toString();
            n.fileId = static_cast<quint64>(q.value(7).toLongLong());
            n.x = q.value(8).toDouble();
            n.y = q.value(9).toDouble();
            return n;
        });
}

bool SqliteDatabase::putVnode(const VnodeDto &node)
{
    if (node.uuid.isEmpty())
        return false;
    // The file id goes in on insert too; a node made with a known file id must not lose it.
    const PutResult r = upsert(connection(),
        QStringLiteral("UPDATE vnodes2 SET name = :n, style = :st, path = :pa, type = :t, icon = :i,"
                       " fileid = :f, x = :x, y = :y WHERE vnode_uuid = :u"),
        QStringLiteral("INSERT INTO vnodes2(vnode_uuid, peer_uuid, vsector_uuid, name, style, path, type,"
                       " icon, fileid, x, y) VALUES (:u, :p, :s, :n, :st, :pa, :t, :i, :f, :x, :y)"),
        {{":u", node.uuid}, {":n", text(node.name)}, {":st", text(node.style)}, {":pa", text(node.path)},
         {":t", node.type}, {":i", node.icon}, {":f", static_cast<qint64>(node.fileId)},
         {":x", node.x}, {":y", node.y}},
        {{":p", node.peerUuid}, {":s", node.sectorUuid}},
        "failed to put vnode %s", node.uuid);
    if (r == PutResult::Updated)
        logPrintf(LogDb1, "update vnode uuid: %s", qUtf8Printable(node.uuid));
    return r != PutResult::Failed;
}

bool SqliteDatabase::deleteVnode(const QString &uuid)
{
    return execute(connection(), QStringLiteral("DELETE FROM vnodes2 WHERE vnode_uuid = :u"),
                   {{":u", uuid}}, "failed to delete vnode %s", uuid) >= 0;
}

// ---------------------------------------------------------------------------------------------
// Cached pictures

std::vector<ImageCacheDto> SqliteDatabase::loadImage(const QString &peerUuid, const QString &uri,
                                                     qint64 mtime, int maxWidth)
{
    return loadRows<ImageCacheDto>(connection(), QStringLiteral(
        "SELECT img_uuid, uri, mtime, atime, width, height, img FROM imgcache"
        " WHERE peer_uuid = :pu AND uri = :u AND mtime = :mt"),
        {{":pu", peerUuid}, {":u", uri}, {":mt", mtime}},
        [&](const QSqlQuery &q) -> std::optional<ImageCacheDto> {
            const int width = q.value(4).toInt();
            if (width > maxWidth)
                return std::nullopt;
            ImageCacheDto row;
            row.img = q.value(6).toByteArray();
            if (row.img.isEmpty())
                return std::nullopt;
            row.img_uuid = q.value(0).toString();
            row.peer_uuid = peerUuid;
            row.uri = q.value(1).toString();
            row.mtime = q.value(2).toLongLong();
            row.atime = q.value(3).toLongLong();
            row.width = width;
            row.height = q.value(5).toInt();
            return row;
        });
}

namespace {

bool insertImage(const QSqlDatabase &db, const ImageCacheDto &row)
{
    if (row.img_uuid.isEmpty())
        return false;
    return execute(db, QStringLiteral(
        "INSERT INTO imgcache(img_uuid, peer_uuid, uri, mtime, atime, width, height, img)"
        " VALUES (:iu, :pu, :u, :mt, :at, :w, :h, :b)"
        " ON CONFLICT(img_uuid) DO UPDATE SET atime=excluded.atime"),
        {{":iu", row.img_uuid}, {":pu", row.peer_uuid}, {":u", text(row.uri)}, {":mt", row.mtime},
         {":at", row.atime}, {":w", row.width}, {":h", row.height}, {":b", blob(row.img)}},
        "failed to put image %s", row.img_uuid) >= 0;
}

} // namespace

bool SqliteDatabase::putImage(const ImageCacheDto &row)
{
    return insertImage(connection(), row);
}

bool SqliteDatabase::putImages(const std::vector<ImageCacheDto> &rows)
{
    if (rows.empty())
        return true;
    const QSqlDatabase db = connection();
    WriteTransaction txn(db);
    if (!txn.isActive())
        return false;
    for (const ImageCacheDto &row : rows) {
        if (!insertImage(db, row))
            return false;
    }
    return txn.commit();
}

bool SqliteDatabase::touchImages(const std::vector<QString> &imgUuids, qint64 atime)
{
    if (imgUuids.empty())
        return true;
    const QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    // SQLite allows 999 parameters per statement; a file has a handful of rows.
    constexpr size_t kChunk = 500;
    for (size_t first = 0; first < imgUuids.size(); first += kChunk) {
        const size_t count = std::min(kChunk, imgUuids.size() - first);
        QStringList marks;
        for (size_t i = 0; i < count; ++i)
            marks << QStringLiteral("?");
        QSqlQuery q(db);
        q.prepare(QStringLiteral("UPDATE imgcache SET atime = ? WHERE img_uuid IN (%1)")
                      .arg(marks.join(QLatin1Char(','))));
        q.addBindValue(atime);
        for (size_t i = 0; i < count; ++i)
            q.addBindValue(imgUuids[first + i]);
        if (!run(q))
            return false;
    }
    return true;
}

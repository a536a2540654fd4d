#include "db/sqlitedatabase.h"

#include "app/log.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <memory>

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

QSqlQuery prepared(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        logPrintf(LogDb1, "prepare failed: %s: %s", qUtf8Printable(sql), qUtf8Printable(q.lastError().text()));
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

// Runs the update; when it touched no row, the insert. Both under one write transaction so
// that "inserted" and "updated" are told apart truthfully when threads race.
PutResult upsert(const QSqlDatabase &db, QSqlQuery &update, QSqlQuery &insert)
{
    WriteTransaction txn(db);
    if (!txn.isActive())
        return PutResult::Failed;
    if (!run(update))
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

    if (version < 2) {
        // Nodes remember the file id of what they point at, to find it again after a move.
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        if (!hasColumn(db, QStringLiteral("vnodes2"), QStringLiteral("fileid"))
            && !runPlain(db, QStringLiteral("ALTER TABLE vnodes2 ADD COLUMN fileid INTEGER DEFAULT 0")))
            return false;
        if (!runPlain(db, QStringLiteral("PRAGMA user_version = 2")) || !txn.commit())
            return false;
    }
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

bool SqliteDatabase::open()
{
    const QFileInfo info(d->path);
    if (!QDir().mkpath(info.absolutePath())) {
        logPrintf(LogDb1, "failed to create database directory %s", qUtf8Printable(info.absolutePath()));
        return false;
    }
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
    QSqlQuery own = prepared(db, QStringLiteral(
        "INSERT OR IGNORE INTO peers(peer_uuid, type, timestamp) VALUES (:u, 'nusk', :t)"));
    own.bindValue(QStringLiteral(":u"), nullUuidString());
    own.bindValue(QStringLiteral(":t"), QDateTime::currentSecsSinceEpoch());
    if (!run(own))
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
    std::vector<PeerDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, type.isEmpty()
        ? QStringLiteral("SELECT peer_uuid, type, timestamp FROM peers ORDER BY rowid")
        : QStringLiteral("SELECT peer_uuid, type, timestamp FROM peers WHERE type = :t ORDER BY rowid"));
    if (!type.isEmpty())
        q.bindValue(QStringLiteral(":t"), type);
    if (!run(q))
        return result;
    while (q.next())
        result.push_back(PeerDto{q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()});
    return result;
}

bool SqliteDatabase::putPeer(const PeerDto &peer)
{
    if (peer.uuid.isEmpty() || peer.type.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE peers SET type = :t, timestamp = :ts WHERE peer_uuid = :u"));
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO peers(peer_uuid, type, timestamp) VALUES (:u, :t, :ts)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), peer.uuid);
        q->bindValue(QStringLiteral(":t"), peer.type);
        q->bindValue(QStringLiteral(":ts"), peer.timestamp);
    }
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put peer %s", qUtf8Printable(peer.uuid));
        return false;
    }
    if (r == PutResult::Inserted)
        Q_EMIT addedPeer(peer.uuid);
    else
        Q_EMIT changedPeer(peer.uuid);
    return true;
}

bool SqliteDatabase::deletePeer(const QString &peerUuid)
{
    if (peerUuid.isEmpty() || isNullUuidString(peerUuid))
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM peers WHERE peer_uuid = :u"));
    q.bindValue(QStringLiteral(":u"), peerUuid);
    if (!run(q)) {
        logPrintf(LogDb1, "failed to delete peer %s", qUtf8Printable(peerUuid));
        return false;
    }
    if (q.numRowsAffected() > 0)
        Q_EMIT removedPeer(peerUuid);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Attributes

std::vector<PeerAttributeDto> SqliteDatabase::loadPeerAttributes(const QString &peerUuid)
{
    std::vector<PeerAttributeDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT name, value FROM peer_attributes WHERE peer_uuid = :p ORDER BY rowid"));
    q.bindValue(QStringLiteral(":p"), peerUuid);
    if (!run(q))
        return result;
    while (q.next())
        result.push_back(PeerAttributeDto{peerUuid, q.value(0).toString(), q.value(1).toString()});
    return result;
}

bool SqliteDatabase::putPeerAttribute(const PeerAttributeDto &attribute, bool unique)
{
    if (attribute.peerUuid.isEmpty() || attribute.name.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;

    int changes = 0;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        if (unique) {
            QSqlQuery drop = prepared(db, QStringLiteral(
                "DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n AND value <> :v"));
            drop.bindValue(QStringLiteral(":p"), attribute.peerUuid);
            drop.bindValue(QStringLiteral(":n"), attribute.name);
            drop.bindValue(QStringLiteral(":v"), text(attribute.value));
            if (!run(drop))
                return false;
            changes += drop.numRowsAffected();
        }
        QSqlQuery insert = prepared(db, QStringLiteral(
            "INSERT OR IGNORE INTO peer_attributes(peer_uuid, name, value) VALUES (:p, :n, :v)"));
        insert.bindValue(QStringLiteral(":p"), attribute.peerUuid);
        insert.bindValue(QStringLiteral(":n"), attribute.name);
        insert.bindValue(QStringLiteral(":v"), text(attribute.value));
        if (!run(insert)) {
            logPrintf(LogDb1, "failed to put attribute %s of peer %s", qUtf8Printable(attribute.name), qUtf8Printable(attribute.peerUuid));
            return false;
        }
        changes += insert.numRowsAffected();
        if (!txn.commit())
            return false;
    }
    if (changes > 0)
        Q_EMIT changedPeerAttribute(attribute.peerUuid, attribute.name);
    return true;
}

bool SqliteDatabase::deletePeerAttribute(const PeerAttributeDto &attribute)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    const bool allValues = attribute.value.isNull();
    QSqlQuery q = prepared(db, allValues
        ? QStringLiteral("DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n")
        : QStringLiteral("DELETE FROM peer_attributes WHERE peer_uuid = :p AND name = :n AND value = :v"));
    q.bindValue(QStringLiteral(":p"), attribute.peerUuid);
    q.bindValue(QStringLiteral(":n"), attribute.name);
    if (!allValues)
        q.bindValue(QStringLiteral(":v"), attribute.value);
    if (!run(q))
        return false;
    if (q.numRowsAffected() > 0)
        Q_EMIT removedPeerAttribute(attribute.peerUuid, attribute.name);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Transports

std::vector<TransportDto> SqliteDatabase::loadTransports(const QString &peerUuid)
{
    std::vector<TransportDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT transport_uuid, type, host, port, timestamp, stream FROM transports"
        " WHERE peer_uuid = :p ORDER BY rowid"));
    q.bindValue(QStringLiteral(":p"), peerUuid);
    if (!run(q))
        return result;
    while (q.next()) {
        TransportDto t;
        t.uuid = q.value(0).toString();
        t.peerUuid = peerUuid;
        t.type = q.value(1).toString();
        t.host = q.value(2).toString();
        t.port = static_cast<quint16>(q.value(3).toUInt());
        t.timestamp = q.value(4).toLongLong();
        t.stream = q.value(5).toInt() != 0;
        result.push_back(t);
    }
    return result;
}

bool SqliteDatabase::putTransport(const TransportDto &transport)
{
    if (transport.uuid.isEmpty() || transport.peerUuid.isEmpty() || transport.type.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;

    QString storedUuid = transport.uuid;
    bool added = false;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        QSqlQuery byUuid = prepared(db, QStringLiteral(
            "UPDATE transports SET peer_uuid = :p, type = :t, host = :h, port = :o, timestamp = :ts,"
            " stream = :s WHERE transport_uuid = :u"));
        byUuid.bindValue(QStringLiteral(":u"), transport.uuid);
        byUuid.bindValue(QStringLiteral(":p"), transport.peerUuid);
        byUuid.bindValue(QStringLiteral(":t"), transport.type);
        byUuid.bindValue(QStringLiteral(":h"), text(transport.host));
        byUuid.bindValue(QStringLiteral(":o"), int(transport.port));
        byUuid.bindValue(QStringLiteral(":ts"), transport.timestamp);
        byUuid.bindValue(QStringLiteral(":s"), transport.stream ? 1 : 0);
        if (!run(byUuid))
            return false;
        if (byUuid.numRowsAffected() == 0) {
            // The same address reported again under a fresh uuid refreshes the stored row.
            QSqlQuery find = prepared(db, QStringLiteral(
                "SELECT transport_uuid FROM transports"
                " WHERE peer_uuid = :p AND type = :t AND host = :h AND port = :o"));
            find.bindValue(QStringLiteral(":p"), transport.peerUuid);
            find.bindValue(QStringLiteral(":t"), transport.type);
            find.bindValue(QStringLiteral(":h"), text(transport.host));
            find.bindValue(QStringLiteral(":o"), int(transport.port));
            if (!run(find))
                return false;
            if (find.next()) {
                storedUuid = find.value(0).toString();
                find.finish();
                QSqlQuery refresh = prepared(db, QStringLiteral(
                    "UPDATE transports SET timestamp = :ts, stream = :s WHERE transport_uuid = :u"));
                refresh.bindValue(QStringLiteral(":u"), storedUuid);
                refresh.bindValue(QStringLiteral(":ts"), transport.timestamp);
                refresh.bindValue(QStringLiteral(":s"), transport.stream ? 1 : 0);
                if (!run(refresh))
                    return false;
            } else {
                find.finish();
                QSqlQuery insert = prepared(db, QStringLiteral(
                    "INSERT INTO transports(transport_uuid, peer_uuid, type, host, port, timestamp, stream)"
                    " VALUES (:u, :p, :t, :h, :o, :ts, :s)"));
                insert.bindValue(QStringLiteral(":u"), transport.uuid);
                insert.bindValue(QStringLiteral(":p"), transport.peerUuid);
                insert.bindValue(QStringLiteral(":t"), transport.type);
                insert.bindValue(QStringLiteral(":h"), text(transport.host));
                insert.bindValue(QStringLiteral(":o"), int(transport.port));
                insert.bindValue(QStringLiteral(":ts"), transport.timestamp);
                insert.bindValue(QStringLiteral(":s"), transport.stream ? 1 : 0);
                if (!run(insert)) {
                    logPrintf(LogDb1, "failed to put transport %s", qUtf8Printable(transport.uuid));
                    return false;
                }
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
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QString peerUuid;
    int removed = 0;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        QSqlQuery find = prepared(db, QStringLiteral(
            "SELECT peer_uuid FROM transports WHERE transport_uuid = :u"));
        find.bindValue(QStringLiteral(":u"), transportUuid);
        if (!run(find))
            return false;
        if (find.next())
            peerUuid = find.value(0).toString();
        find.finish();
        QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM transports WHERE transport_uuid = :u"));
        q.bindValue(QStringLiteral(":u"), transportUuid);
        if (!run(q))
            return false;
        removed = q.numRowsAffected();
        if (!txn.commit())
            return false;
    }
    if (removed > 0)
        Q_EMIT removedTransport(peerUuid, transportUuid);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Access entries

std::vector<PeerAclDto> SqliteDatabase::loadPeerAcls(const QString &peerUuid)
{
    std::vector<PeerAclDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT acl_uuid, name, selector, flags, timestamp FROM peer_acl WHERE peer_uuid = :pu"
        " ORDER BY rowid"));
    q.bindValue(QStringLiteral(":pu"), peerUuid);
    if (!run(q))
        return result;
    while (q.next()) {
        PeerAclDto e;
        e.uuid = q.value(0).toString();
        e.name = q.value(1).toString();
        e.selector = q.value(2).toString();
        e.flags = static_cast<quint32>(q.value(3).toLongLong());
        e.timestamp = QDateTime::fromSecsSinceEpoch(q.value(4).toLongLong());
        result.push_back(e);
    }
    return result;
}

bool SqliteDatabase::putPeerAcl(const QString &peerUuid, const PeerAclDto &entry)
{
    if (peerUuid.isEmpty() || entry.uuid.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    const qint64 seconds = entry.timestamp.isValid() ? entry.timestamp.toSecsSinceEpoch() : 0;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE peer_acl SET name = :n, selector = :s, flags = :f, timestamp = :ts"
        " WHERE acl_uuid = :u AND peer_uuid = :pu"));
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO peer_acl(acl_uuid, name, selector, flags, timestamp, peer_uuid)"
        " VALUES (:u, :n, :s, :f, :ts, :pu)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), entry.uuid);
        q->bindValue(QStringLiteral(":n"), text(entry.name));
        q->bindValue(QStringLiteral(":s"), text(entry.selector));
        q->bindValue(QStringLiteral(":f"), qint64(entry.flags));
        q->bindValue(QStringLiteral(":ts"), seconds);
        q->bindValue(QStringLiteral(":pu"), peerUuid);
    }
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put acl %s", qUtf8Printable(entry.uuid));
        return false;
    }
    if (r == PutResult::Inserted)
        Q_EMIT addedPeerAcl(peerUuid, entry.uuid);
    else
        Q_EMIT changedPeerAcl(peerUuid, entry.uuid);
    return true;
}

bool SqliteDatabase::deletePeerAcl(const QString &peerUuid, const PeerAclDto &entry)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral(
        "DELETE FROM peer_acl WHERE acl_uuid = :u AND peer_uuid = :pu"));
    q.bindValue(QStringLiteral(":u"), entry.uuid);
    q.bindValue(QStringLiteral(":pu"), peerUuid);
    if (!run(q)) {
        logPrintf(LogDb1, "failed to delete acl for peer %s", qUtf8Printable(peerUuid));
        return false;
    }
    if (q.numRowsAffected() > 0)
        Q_EMIT removedPeerAcl(peerUuid, entry.uuid);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Keys

std::vector<CryptoKeyDto> SqliteDatabase::loadKeys(const QString &peerUuid)
{
    std::vector<CryptoKeyDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT key_uuid, type, public_key, secret_key, timestamp FROM keys WHERE peer_uuid = :p"
        " ORDER BY rowid"));
    q.bindValue(QStringLiteral(":p"), peerUuid);
    if (!run(q))
        return result;
    while (q.next()) {
        CryptoKeyDto k;
        k.uuid = q.value(0).toString();
        k.peerUuid = peerUuid;
        k.type = q.value(1).toString();
        k.publicKey = q.value(2).toByteArray();
        k.secretKey = q.value(3).toByteArray();
        k.timestamp = q.value(4).toLongLong();
        result.push_back(k);
    }
    return result;
}

bool SqliteDatabase::putKey(const CryptoKeyDto &key)
{
    if (key.uuid.isEmpty() || key.peerUuid.isEmpty() || key.type.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE keys SET peer_uuid = :p, type = :t, public_key = :pk, secret_key = :sk, timestamp = :ts"
        " WHERE key_uuid = :u"));
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO keys(key_uuid, peer_uuid, type, public_key, secret_key, timestamp)"
        " VALUES (:u, :p, :t, :pk, :sk, :ts)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), key.uuid);
        q->bindValue(QStringLiteral(":p"), key.peerUuid);
        q->bindValue(QStringLiteral(":t"), key.type);
        q->bindValue(QStringLiteral(":pk"), blob(key.publicKey));
        // Others' keys carry no secret part: stored as NULL, loaded as an empty array.
        q->bindValue(QStringLiteral(":sk"), key.secretKey.isEmpty() ? QVariant(QVariant::ByteArray)
                                                                    : QVariant(key.secretKey));
        q->bindValue(QStringLiteral(":ts"), key.timestamp);
    }
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put key %s", qUtf8Printable(key.uuid));
        return false;
    }
    if (r == PutResult::Inserted)
        Q_EMIT addedKey(key.peerUuid, key.uuid);
    else
        Q_EMIT changedKey(key.peerUuid, key.uuid);
    return true;
}

bool SqliteDatabase::deleteKey(const QString &keyUuid)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QString peerUuid;
    int removed = 0;
    {
        WriteTransaction txn(db);
        if (!txn.isActive())
            return false;
        QSqlQuery find = prepared(db, QStringLiteral("SELECT peer_uuid FROM keys WHERE key_uuid = :u"));
        find.bindValue(QStringLiteral(":u"), keyUuid);
        if (!run(find))
            return false;
        if (find.next())
            peerUuid = find.value(0).toString();
        find.finish();
        QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM keys WHERE key_uuid = :u"));
        q.bindValue(QStringLiteral(":u"), keyUuid);
        if (!run(q))
            return false;
        removed = q.numRowsAffected();
        if (!txn.commit())
            return false;
    }
    if (removed > 0)
        Q_EMIT removedKey(peerUuid, keyUuid);
    return true;
}

QString SqliteDatabase::findPeerByKey(const QByteArray &publicKey)
{
    if (publicKey.isEmpty())
        return QString();
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return QString();
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT peer_uuid FROM keys WHERE public_key = :k ORDER BY rowid LIMIT 1"));
    q.bindValue(QStringLiteral(":k"), publicKey);
    if (!run(q) || !q.next())
        return QString();
    return q.value(0).toString();
}

// ---------------------------------------------------------------------------------------------
// Invitations

std::vector<InvitationDto> SqliteDatabase::loadInvitations()
{
    std::vector<InvitationDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT uuid, name, password, timestamp, expires FROM invitation ORDER BY rowid"));
    if (!run(q))
        return result;
    while (q.next()) {
        result.push_back(InvitationDto{q.value(0).toString(), q.value(1).toString(),
                                       q.value(2).toString(), q.value(3).toLongLong(),
                                       q.value(4).toLongLong()});
    }
    return result;
}

bool SqliteDatabase::putInvitation(const InvitationDto &invitation)
{
    if (invitation.uuid.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE invitation SET name = :n, password = :pw, timestamp = :ts, expires = :ex WHERE uuid = :u"));
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO invitation(uuid, name, password, timestamp, expires) VALUES (:u, :n, :pw, :ts, :ex)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), invitation.uuid);
        q->bindValue(QStringLiteral(":n"), text(invitation.name));
        q->bindValue(QStringLiteral(":pw"), text(invitation.password));
        q->bindValue(QStringLiteral(":ts"), invitation.timestamp);
        q->bindValue(QStringLiteral(":ex"), invitation.expires);
    }
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put invitation %s", qUtf8Printable(invitation.uuid));
        return false;
    }
    if (r == PutResult::Inserted)
        Q_EMIT addedInvitation(invitation.uuid);
    else
        Q_EMIT changedInvitation(invitation.uuid);
    return true;
}

bool SqliteDatabase::deleteInvitation(const QString &uuid)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM invitation WHERE uuid = :u"));
    q.bindValue(QStringLiteral(":u"), uuid);
    if (!run(q)) {
        logPrintf(LogDb1, "failed to delete invitation %s", qUtf8Printable(uuid));
        return false;
    }
    if (q.numRowsAffected() > 0)
        Q_EMIT removedInvitation(uuid);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Views and nodes

std::vector<VsectorDto> SqliteDatabase::loadVsectors()
{
    std::vector<VsectorDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral("SELECT vsector_uuid, name, x, y, w, h FROM vsectors2"));
    if (!run(q))
        return result;
    while (q.next()) {
        result.push_back(VsectorDto{q.value(0).toString(), q.value(1).toString(), q.value(2).toDouble(),
                                    q.value(3).toDouble(), q.value(4).toDouble(), q.value(5).toDouble()});
    }
    return result;
}

bool SqliteDatabase::putVsector(const VsectorDto &sector)
{
    if (sector.uuid.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE vsectors2 SET name = :n, x = :x, y = :y, w = :w, h = :h WHERE vsector_uuid = :u"));
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO vsectors2(vsector_uuid, name, x, y, w, h) VALUES (:u, :n, :x, :y, :w, :h)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), sector.uuid);
        q->bindValue(QStringLiteral(":n"), text(sector.name));
        q->bindValue(QStringLiteral(":x"), sector.x);
        q->bindValue(QStringLiteral(":y"), sector.y);
        q->bindValue(QStringLiteral(":w"), sector.w);
        q->bindValue(QStringLiteral(":h"), sector.h);
    }
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put vsector %s", qUtf8Printable(sector.uuid));
        return false;
    }
    if (r == PutResult::Updated)
        logPrintf(LogDb1, "update vsector uuid: %s", qUtf8Printable(sector.uuid));
    return true;
}

bool SqliteDatabase::deleteVsector(const QString &uuid)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM vsectors2 WHERE vsector_uuid = :u"));
    q.bindValue(QStringLiteral(":u"), uuid);
    if (!run(q)) {
        logPrintf(LogDb1, "[0] failed to delete vsector %s", qUtf8Printable(uuid));
        return false;
    }
    return true;
}

std::vector<VnodeDto> SqliteDatabase::loadVnodes(const QString &sectorUuid)
{
    std::vector<VnodeDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT vnode_uuid, peer_uuid, name, style, path, type, icon, fileid, x, y FROM vnodes2"
        " WHERE vsector_uuid = :s ORDER BY rowid"));
    q.bindValue(QStringLiteral(":s"), sectorUuid);
    if (!run(q))
        return result;
    while (q.next()) {
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
        result.push_back(n);
    }
    return result;
}

bool SqliteDatabase::putVnode(const VnodeDto &node)
{
    if (node.uuid.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery update = prepared(db, QStringLiteral(
        "UPDATE vnodes2 SET name = :n, style = :st, path = :pa, type = :t, icon = :i, fileid = :f,"
        " x = :x, y = :y WHERE vnode_uuid = :u"));
    // The file id goes in on insert too; a node made with a known file id must not lose it.
    QSqlQuery insert = prepared(db, QStringLiteral(
        "INSERT INTO vnodes2(vnode_uuid, peer_uuid, vsector_uuid, name, style, path, type, icon, fileid, x, y)"
        " VALUES (:u, :p, :s, :n, :st, :pa, :t, :i, :f, :x, :y)"));
    for (QSqlQuery *q : {&update, &insert}) {
        q->bindValue(QStringLiteral(":u"), node.uuid);
        q->bindValue(QStringLiteral(":n"), text(node.name));
        q->bindValue(QStringLiteral(":st"), text(node.style));
        q->bindValue(QStringLiteral(":pa"), text(node.path));
        q->bindValue(QStringLiteral(":t"), node.type);
        q->bindValue(QStringLiteral(":i"), node.icon);
        q->bindValue(QStringLiteral(":f"), static_cast<qint64>(node.fileId));
        q->bindValue(QStringLiteral(":x"), node.x);
        q->bindValue(QStringLiteral(":y"), node.y);
    }
    insert.bindValue(QStringLiteral(":p"), node.peerUuid);
    insert.bindValue(QStringLiteral(":s"), node.sectorUuid);
    const PutResult r = upsert(db, update, insert);
    if (r == PutResult::Failed) {
        logPrintf(LogDb1, "failed to put vnode %s", qUtf8Printable(node.uuid));
        return false;
    }
    if (r == PutResult::Updated)
        logPrintf(LogDb1, "update vnode uuid: %s", qUtf8Printable(node.uuid));
    return true;
}

bool SqliteDatabase::deleteVnode(const QString &uuid)
{
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral("DELETE FROM vnodes2 WHERE vnode_uuid = :u"));
    q.bindValue(QStringLiteral(":u"), uuid);
    if (!run(q)) {
        logPrintf(LogDb1, "failed to delete vnode %s", qUtf8Printable(uuid));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Cached pictures

std::vector<ImageCacheDto> SqliteDatabase::loadImage(const QString &peerUuid, const QString &uri,
                                                     qint64 mtime, int maxWidth)
{
    std::vector<ImageCacheDto> result;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return result;
    QSqlQuery q = prepared(db, QStringLiteral(
        "SELECT img_uuid, uri, mtime, atime, width, height, img FROM imgcache"
        " WHERE peer_uuid = :pu AND uri = :u AND mtime = :mt"));
    q.bindValue(QStringLiteral(":pu"), peerUuid);
    q.bindValue(QStringLiteral(":u"), uri);
    q.bindValue(QStringLiteral(":mt"), mtime);
    if (!run(q))
        return result;
    while (q.next()) {
        const int width = q.value(4).toInt();
        if (width > maxWidth)
            continue;
        ImageCacheDto row;
        row.img = q.value(6).toByteArray();
        if (row.img.isEmpty())
            continue;
        row.img_uuid = q.value(0).toString();
        row.peer_uuid = peerUuid;
        row.uri = q.value(1).toString();
        row.mtime = q.value(2).toLongLong();
        row.atime = q.value(3).toLongLong();
        row.width = width;
        row.height = q.value(5).toInt();
        result.push_back(row);
    }
    return result;
}

bool SqliteDatabase::putImage(const ImageCacheDto &row)
{
    if (row.img_uuid.isEmpty())
        return false;
    QSqlDatabase db = connection();
    if (!db.isOpen())
        return false;
    QSqlQuery q = prepared(db, QStringLiteral(
        "INSERT INTO imgcache(img_uuid, peer_uuid, uri, mtime, atime, width, height, img)"
        " VALUES (:iu, :pu, :u, :mt, :at, :w, :h, :b)"
        " ON CONFLICT(img_uuid) DO UPDATE SET atime=excluded.atime"));
    q.bindValue(QStringLiteral(":iu"), row.img_uuid);
    q.bindValue(QStringLiteral(":pu"), row.peer_uuid);
    q.bindValue(QStringLiteral(":u"), text(row.uri));
    q.bindValue(QStringLiteral(":mt"), row.mtime);
    q.bindValue(QStringLiteral(":at"), row.atime);
    q.bindValue(QStringLiteral(":w"), row.width);
    q.bindValue(QStringLiteral(":h"), row.height);
    q.bindValue(QStringLiteral(":b"), blob(row.img));
    if (!run(q)) {
        logPrintf(LogDb1, "failed to put image %s", qUtf8Printable(row.img_uuid));
        return false;
    }
    return true;
}

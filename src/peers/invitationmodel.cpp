#include "peers/invitationmodel.h"

#include "db/idatabase.h"

#include <QDateTime>

#include <atomic>

namespace {
std::atomic<InvitationModel *> g_instance{nullptr};
}

InvitationModel::InvitationModel(QObject *parent)
    : QAbstractListModel(parent)
{
    // The first model made is the process's one; one a QML file makes later (the type is
    // creatable) must not take its place.
    InvitationModel *none = nullptr;
    g_instance.compare_exchange_strong(none, this);
}

InvitationModel::InvitationModel(IDatabase *database, QObject *parent)
    : InvitationModel(parent)
{
    setDatabase(database);
}

InvitationModel::~InvitationModel()
{
    InvitationModel *self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

InvitationModel *InvitationModel::instance()
{
    return g_instance.load();
}

void InvitationModel::setDatabase(IDatabase *database)
{
    if (m_database == database)
        return;
    if (m_database)
        disconnect(m_database, nullptr, this, nullptr);
    beginResetModel();
    m_database = database;
    m_rows.clear();
    if (database)
        m_rows = database->loadInvitations();
    endResetModel();
    if (!database)
        return;
    // The database signals on whichever thread stored the row; these queue onto ours.
    connect(database, &IDatabase::addedInvitation, this, &InvitationModel::onAdded);
    connect(database, &IDatabase::changedInvitation, this, &InvitationModel::onChanged);
    connect(database, &IDatabase::removedInvitation, this, &InvitationModel::onRemoved);
}

int InvitationModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant InvitationModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(m_rows.size()))
        return QVariant();
    const InvitationDto &row = m_rows[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case InvNameRole:
        return row.name;
    case InvUuidRole:
        return row.uuid;
    case InvPasswordRole:
        return row.password;
    case InvTimestampRole:
        return QDateTime::fromSecsSinceEpoch(row.timestamp);
    case InvExpiresRole:
        return QDateTime::fromSecsSinceEpoch(row.expires);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> InvitationModel::roleNames() const
{
    return {
        {InvUuidRole, "invUuid"},
        {InvNameRole, "invName"},
        {InvPasswordRole, "invPassword"},
        {InvTimestampRole, "invTimestamp"},
        {InvExpiresRole, "invExpires"},
    };
}

int InvitationModel::rowOf(const QString &uuid) const
{
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].uuid == uuid)
            return int(i);
    }
    return -1;
}

bool InvitationModel::lookup(const QString &uuid, InvitationDto *invitation) const
{
    if (!m_database)
        return false;
    for (const InvitationDto &row : m_database->loadInvitations()) {
        if (row.uuid == uuid) {
            *invitation = row;
            return true;
        }
    }
    return false;
}

void InvitationModel::onAdded(const QString &uuid)
{
    InvitationDto row;
    if (!lookup(uuid, &row))
        return;   // deleted again before this signal arrived
    const int existing = rowOf(uuid);
    if (existing >= 0) {
        // Already listed (the initial load saw it): refresh instead of duplicating.
        m_rows[size_t(existing)] = row;
        Q_EMIT dataChanged(index(existing), index(existing));
        return;
    }
    const int at = int(m_rows.size());
    beginInsertRows(QModelIndex(), at, at);
    m_rows.push_back(row);
    endInsertRows();
}

void InvitationModel::onChanged(const QString &uuid)
{
    if (rowOf(uuid) < 0) {
        onAdded(uuid);
        return;
    }
    InvitationDto row;
    if (!lookup(uuid, &row))
        return;
    const int at = rowOf(uuid);
    m_rows[size_t(at)] = row;
    Q_EMIT dataChanged(index(at), index(at));
}

void InvitationModel::onRemoved(const QString &uuid)
{
    const int at = rowOf(uuid);
    if (at < 0)
        return;
    beginRemoveRows(QModelIndex(), at, at);
    m_rows.erase(m_rows.begin() + at);
    endRemoveRows();
}

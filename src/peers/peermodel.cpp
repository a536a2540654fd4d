#include "peers/peermodel.h"

#include "peers/ipeer.h"

#include <QHash>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <limits>
#include <tuple>
#include <vector>

namespace {
std::atomic<PeerModel *> g_instance{nullptr};
}

PeerModel::PeerModel(QObject *parent)
    : QAbstractListModel(parent)
{
    // The first model made is the process's one; one a QML file makes later (the type is
    // creatable) must not take its place.
    PeerModel *none = nullptr;
    g_instance.compare_exchange_strong(none, this);
}

PeerModel::~PeerModel()
{
    PeerModel *self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

PeerModel *PeerModel::instance()
{
    return g_instance.load();
}

int PeerModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    QMutexLocker lock(&m_mutex);
    return m_peers.size();
}

QVariant PeerModel::data(const QModelIndex &index, int role) const
{
    IPeer *peer = index.isValid() ? getPeerForRow(index.row()) : nullptr;
    if (!peer)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case PeerDisplayNameRole:
        return peer->displayName();
    case PeerNameRole:
        return peer->name();
    case PeerIconRole:
        return peer->icon();
    case PeerTypeRole:
        return peer->type();
    case PeerDeviceTypeRole:
        return peer->deviceType();
    case PeerObjectRole:
        return QVariant::fromValue(peer);
    case PeerLinkStateRole:
        return peer->linkState();
    case PeerUuidRole:
        return peer->uuid();
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> PeerModel::roleNames() const
{
    return {
        {PeerNameRole, "peerName"},
        {PeerDisplayNameRole, "peerDisplayName"},
        {PeerIconRole, "peerIcon"},
        {PeerTypeRole, "peerType"},
        {PeerDeviceTypeRole, "peerDeviceType"},
        {PeerObjectRole, "peerObject"},
        {PeerLinkStateRole, "peerLinkState"},
        {PeerUuidRole, "peerUuid"},
    };
}

IPeer *PeerModel::getPeerForUuid(const QString &uuid) const
{
    if (uuid.isEmpty())
        return nullptr;
    QMutexLocker lock(&m_mutex);
    for (const QPointer<IPeer> &peer : m_peers) {
        if (peer && peer->uuid() == uuid)
            return peer.data();
    }
    return nullptr;
}

IPeer *PeerModel::getPeerForRow(int row) const
{
    QMutexLocker lock(&m_mutex);
    if (row < 0 || row >= m_peers.size())
        return nullptr;
    return m_peers.at(row).data();
}

QList<IPeer *> PeerModel::peers() const
{
    QMutexLocker lock(&m_mutex);
    QList<IPeer *> list;
    for (const QPointer<IPeer> &peer : m_peers) {
        if (peer)
            list.append(peer.data());
    }
    return list;
}

void PeerModel::addPeer(IPeer *peer)
{
    if (!peer)
        return;
    if (QThread::currentThread() != thread()) {
        QPointer<IPeer> guarded(peer);
        QMetaObject::invokeMethod(this, [this, guarded]() {
            if (guarded)
                insertPeer(guarded.data());
        }, Qt::QueuedConnection);
        return;
    }
    insertPeer(peer);
}

void PeerModel::insertPeer(IPeer *peer)
{
    {
        QMutexLocker lock(&m_mutex);
        for (const QPointer<IPeer> &known : m_peers) {
            if (known == peer)
                return;
        }
    }
    // This computer heads the list whenever it comes: at start-up it is loaded after the
    // stored ones, on the first start before any.
    const int row = peer->isLocal() ? 0 : rowCount();
    beginInsertRows(QModelIndex(), row, row);
    {
        QMutexLocker lock(&m_mutex);
        m_peers.insert(row, QPointer<IPeer>(peer));
    }
    endInsertRows();

    // The peer emits on its own thread; these connections queue onto the model's thread.
    connect(peer, &IPeer::nameChanged, this, [this, peer]() {
        peerChanged(peer, {PeerNameRole, PeerDisplayNameRole, Qt::DisplayRole});
        separateSameNames();
    });
    connect(peer, &IPeer::displayNameChanged, this,
            [this, peer]() { peerChanged(peer, {PeerDisplayNameRole, Qt::DisplayRole}); });
    connect(peer, &IPeer::iconChanged, this, [this, peer]() { peerChanged(peer, {PeerIconRole}); });
    connect(peer, &IPeer::deviceTypeChanged, this,
            [this, peer]() { peerChanged(peer, {PeerDeviceTypeRole}); });
    connect(peer, &IPeer::linkStateChanged, this,
            [this, peer]() { peerChanged(peer, {PeerLinkStateRole}); });
    connect(peer, &QObject::destroyed, this, &PeerModel::removePeer);

    separateSameNames();
    Q_EMIT peerAdded(peer);
}

void PeerModel::separateSameNames()
{
    QVector<QPointer<IPeer>> peers;
    {
        QMutexLocker lock(&m_mutex);
        peers = m_peers;
    }
    // The numbers follow what is stored, never the order the peers were loaded in (the own
    // peer comes last at start-up): this computer first, then the others by the time they
    // were paired, the uuid deciding within one second. Peers never stored (no time) follow
    // in the order they came.
    struct Ranked { QPointer<IPeer> peer; bool local; qint64 paired; QString uuid; };
    std::vector<Ranked> ranked;
    for (const QPointer<IPeer> &peer : peers) {
        if (!peer)
            continue;
        const PeerDto dto = peer->peerDto();
        ranked.push_back({peer, peer->isLocal(), dto.timestamp > 0 ? dto.timestamp : std::numeric_limits<qint64>::max(),
                          dto.timestamp > 0 ? dto.uuid : QString()});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked &a, const Ranked &b) {
        return std::make_tuple(!a.local, a.paired, a.uuid) < std::make_tuple(!b.local, b.paired, b.uuid);
    });
    QHash<QString, int> seen;   // by name, case folded
    for (const Ranked &entry : ranked) {
        IPeer *peer = entry.peer;
        if (!peer)
            continue;
        const QString name = peer->name();
        const int n = name.isEmpty() ? 1 : ++seen[name.toCaseFolded()];
        const QString shown = n > 1 ? QStringLiteral("%1 (%2)").arg(name).arg(n) : QString();
        if (peer->displayName() != (shown.isEmpty() ? name : shown))
            peer->setDisplayName(shown);
    }
}

void PeerModel::removePeer(QObject *peer)
{
    int row = -1;
    {
        QMutexLocker lock(&m_mutex);
        for (int i = 0; i < m_peers.size(); ++i) {
            // The QPointer is already null for a destroyed peer; compare the raw address
            // through the null entries as well.
            if (m_peers.at(i).isNull() || static_cast<QObject *>(m_peers.at(i).data()) == peer) {
                row = i;
                break;
            }
        }
    }
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    {
        QMutexLocker lock(&m_mutex);
        m_peers.removeAt(row);
    }
    endRemoveRows();
    separateSameNames();
}

void PeerModel::peerChanged(IPeer *peer, const QVector<int> &roles)
{
    int row = -1;
    {
        QMutexLocker lock(&m_mutex);
        for (int i = 0; i < m_peers.size(); ++i) {
            if (m_peers.at(i).data() == peer) {
                row = i;
                break;
            }
        }
    }
    if (row >= 0)
        Q_EMIT dataChanged(index(row), index(row), roles);
}

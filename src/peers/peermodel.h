#pragma once

// The one list of all peers (context property "peerModel"), and the way the other layers
// find a peer by uuid. Lives on the application thread; addPeer, getPeerForUuid and
// getPeerForRow may be called from any thread.

#include <QAbstractListModel>
#include <QMutex>
#include <QPointer>
#include <QVector>

class IPeer;

class PeerModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Roles {
        PeerNameRole = Qt::UserRole + 1,   // 257
        PeerDisplayNameRole,               // 258
        PeerIconRole,                      // 259
        PeerTypeRole,                      // 260
        PeerDeviceTypeRole,                // 261
        PeerObjectRole,                    // 262
        PeerLinkStateRole,                 // 263
        PeerUuidRole,                      // 264
    };

    Q_INVOKABLE explicit PeerModel(QObject *parent = nullptr);
    ~PeerModel() override;

    // The process-wide model: the first one made, while it is alive.
    static PeerModel *instance();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE IPeer *getPeerForUuid(const QString &uuid) const;
    Q_INVOKABLE IPeer *getPeerForRow(int row) const;
    QList<IPeer *> peers() const;

public Q_SLOTS:
    // Lists the peer (once) and announces it with peerAdded. From another thread the row
    // appears once the model's thread has run the request.
    void addPeer(IPeer *peer);

Q_SIGNALS:
    // On the model's thread, once per peer, after its row appeared; the file layer binds
    // the peer's models to it here.
    void peerAdded(IPeer *peer);

private:
    void insertPeer(IPeer *peer);
    void removePeer(QObject *peer);
    void peerChanged(IPeer *peer, const QVector<int> &roles);
    // Computers that call themselves the same (two "vm"s) are told apart: this computer keeps
    // the name, each other one shows it with " (2)", " (3)", ... as its display name, in the
    // order they were paired, so that the numbers stay across restarts. A name of its own
    // again drops the number.
    void separateSameNames();

    mutable QMutex m_mutex;
    QVector<QPointer<IPeer>> m_peers;
};

Q_DECLARE_METATYPE(PeerModel *)

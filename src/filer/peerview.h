#pragma once

// A peer as the QML pages read it. Peers live on "ioThread" and QML may not bind to an object
// of another thread, so every page binds to this mirror on the GUI thread instead: it copies
// the peer's texts and state (each read under the peer's own mutex) whenever the peer
// announces a change, and hands out the peer's models, which live on the GUI thread.
// Registered as the QML type "PeerInfo"; a page sets `peer` and binds to the rest.

#include <QObject>
#include <QPointer>
#include <QString>

class IPeer;

class PeerInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *peer READ peer WRITE setPeer NOTIFY peerChanged)
    Q_PROPERTY(QString uuid READ uuid NOTIFY changed)
    Q_PROPERTY(QString name READ name NOTIFY changed)
    Q_PROPERTY(QString displayName READ displayName NOTIFY changed)
    // The display name, else the name: what a page shows.
    Q_PROPERTY(QString shownName READ shownName NOTIFY changed)
    Q_PROPERTY(QString icon READ icon NOTIFY changed)
    Q_PROPERTY(QString type READ type NOTIFY changed)
    Q_PROPERTY(int deviceType READ deviceType NOTIFY changed)
    Q_PROPERTY(int linkState READ linkState NOTIFY changed)
    // The local computer is the peer with the null uuid, not every uuid that starts alike.
    Q_PROPERTY(bool isLocal READ isLocal NOTIFY changed)
    Q_PROPERTY(QObject *vfsDriveModel READ vfsDriveModel NOTIFY changed)
    Q_PROPERTY(QObject *vfsFileSystemModel READ vfsFileSystemModel NOTIFY changed)
    Q_PROPERTY(QObject *aclModel READ aclModel NOTIFY changed)

public:
    explicit PeerInfo(QObject *parent = nullptr);

    QObject *peer() const;
    void setPeer(QObject *peer);

    QString uuid() const { return m_uuid; }
    QString name() const { return m_name; }
    QString displayName() const { return m_displayName; }
    QString shownName() const { return m_displayName.isEmpty() ? m_name : m_displayName; }
    QString icon() const { return m_icon; }
    QString type() const { return m_type; }
    int deviceType() const { return m_deviceType; }
    int linkState() const { return m_linkState; }
    bool isLocal() const { return m_isLocal; }
    QObject *vfsDriveModel() const { return m_driveModel; }
    QObject *vfsFileSystemModel() const { return m_fileModel; }
    QObject *aclModel() const;

public Q_SLOTS:
    // Reads the peer again; runs on this object's thread after each change of the peer.
    void refresh();

Q_SIGNALS:
    void peerChanged();
    void changed();

private:
    QPointer<IPeer> m_peer;
    QString m_uuid, m_name, m_displayName, m_icon, m_type;
    int m_deviceType = 0;
    int m_linkState = 0;
    bool m_isLocal = false;
    QPointer<QObject> m_driveModel;
    QPointer<QObject> m_fileModel;
    QPointer<QObject> m_aclModel;
};

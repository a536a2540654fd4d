#pragma once

// A peer as the QML pages see it. Peers live on "ioThread", and QML may bind only to objects
// of its own thread: a binding to a peer's property from the GUI thread aborts the program.
// A mirror lives on the GUI thread, carries the peer's properties under the same names and
// follows their changes through queued connections. The peer's models already live on the
// GUI thread and are handed on as they are. One mirror per peer, gone with the peer.

#include <QObject>
#include <QPointer>
#include <QString>

class IPeer;
class PeerAclModel;

class PeerMirror : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString uuid READ uuid NOTIFY changed)
    Q_PROPERTY(QString name READ name NOTIFY changed)
    Q_PROPERTY(QString displayName READ displayName NOTIFY changed)
    Q_PROPERTY(QString icon READ icon NOTIFY changed)
    Q_PROPERTY(QString type READ type NOTIFY changed)
    Q_PROPERTY(int deviceType READ deviceType NOTIFY changed)
    Q_PROPERTY(int linkState READ linkState NOTIFY changed)
    Q_PROPERTY(QObject *vfsDriveModel READ vfsDriveModel NOTIFY changed)
    Q_PROPERTY(QObject *vfsFileSystemModel READ vfsFileSystemModel NOTIFY changed)
    Q_PROPERTY(QObject *aclModel READ aclModel NOTIFY changed)

public:
    // The mirror of `peer` on the calling (GUI) thread; null for a null peer.
    static PeerMirror *of(IPeer *peer);

    IPeer *peer() const;
    QString uuid() const { return m_uuid; }
    QString name() const { return m_name; }
    QString displayName() const { return m_displayName; }
    QString icon() const { return m_icon; }
    QString type() const { return m_type; }
    int deviceType() const { return m_deviceType; }
    int linkState() const { return m_linkState; }
    QObject *vfsDriveModel() const { return m_driveModel; }
    QObject *vfsFileSystemModel() const { return m_fileModel; }
    QObject *aclModel() const;

Q_SIGNALS:
    void changed();

private:
    explicit PeerMirror(IPeer *peer);
    void refresh();

    QPointer<IPeer> m_peer;
    QString m_uuid, m_name, m_displayName, m_icon, m_type;
    int m_deviceType = 0;
    int m_linkState = 0;
    QPointer<QObject> m_driveModel;
    QPointer<QObject> m_fileModel;
};

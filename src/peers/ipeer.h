#pragma once

// The abstract peer: one computer of the network, the local one included. A concrete base
// with default answers (QML type "Peer"); PeerNusk is the network implementation.
//
// A peer lives on the thread that built it ("ioThread" in the program) while the window reads
// its properties from the GUI thread, so every property is kept under the peer's own mutex
// and change signals are emitted after the mutex is released.

#include "db/dto.h"

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>

class PeerAclModel;
class QThread;
class VfsClient;

class IPeer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString uuid READ uuid NOTIFY uuidChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QString displayName READ displayName NOTIFY displayNameChanged)
    Q_PROPERTY(QString icon READ icon NOTIFY iconChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(int deviceType READ deviceType NOTIFY deviceTypeChanged)
    Q_PROPERTY(int linkState READ linkState NOTIFY linkStateChanged)
    Q_PROPERTY(bool activeDisplay READ activeDisplay WRITE setActiveDisplay NOTIFY activeDisplayChanged)
    Q_PROPERTY(QObject *vfsDriveModel READ vfsDriveModel NOTIFY vfsDriveModelChanged)
    Q_PROPERTY(QObject *vfsFileSystemModel READ vfsFileSystemModel NOTIFY vfsFileSystemModelChanged)
    Q_PROPERTY(PeerAclModel *aclModel READ aclModel CONSTANT)

public:
    enum LinkState {
        LinkDown = 0,
        LinkReachable = 1,
        LinkConnecting = 2,
        LinkUp = 3,
    };
    Q_ENUM(LinkState)

    enum DeviceType {
        DeviceUnknown = 0,
        DeviceDesktop = 1,
        DeviceLaptop = 2,
    };
    Q_ENUM(DeviceType)

    Q_INVOKABLE explicit IPeer(QObject *parent = nullptr);
    explicit IPeer(const PeerDto &dto, QObject *parent = nullptr);
    ~IPeer() override;

    QString uuid() const;
    QString name() const;
    // The name to show; the plain name unless a display name of its own was set.
    QString displayName() const;
    QString icon() const;
    QString type() const;
    int deviceType() const;
    int linkState() const;
    bool activeDisplay() const;
    bool isLocal() const { return isNullUuidString(uuid()); }

    void setName(const QString &name);
    void setDisplayName(const QString &displayName);
    void setIcon(const QString &icon);
    void setDeviceType(int deviceType);
    void setLinkState(int state);

    PeerDto peerDto() const;
    // The peer's FSO client; null for peers without one.
    virtual VfsClient *vfsClient() const;

    // The drive model and the file model the file layer made for this peer; null until it
    // gave them (and always for peers it never saw).
    QObject *vfsDriveModel() const;
    QObject *vfsFileSystemModel() const;
    // Takes the two models (no parent) and moves them to the application thread; the peer
    // deletes them with itself. Called once, on the peer's thread, right after it is built.
    void setFileModels(QObject *driveModel, QObject *fileModel);
    PeerAclModel *aclModel() const;

public Q_SLOTS:
    virtual void connectVfs();
    void setActiveDisplay(bool active);

Q_SIGNALS:
    void uuidChanged();
    void nameChanged();
    void displayNameChanged();
    void iconChanged();
    void typeChanged();
    void deviceTypeChanged();
    void linkStateChanged();
    void activeDisplayChanged();
    void vfsDriveModelChanged();
    void vfsFileSystemModelChanged();

protected:
    // Guards every property below; subclasses keep their own shared state under it too.
    mutable QMutex m_mutex;

private:
    void createModels();
    QThread *modelThread() const;

    PeerDto m_dto;
    QString m_name;
    QString m_displayName;
    QString m_icon;
    int m_deviceType = DeviceUnknown;
    int m_linkState = LinkDown;
    bool m_activeDisplay = false;
    QPointer<QObject> m_driveModel;
    QPointer<QObject> m_fileModel;
    QPointer<PeerAclModel> m_aclModel;
};

Q_DECLARE_METATYPE(IPeer *)

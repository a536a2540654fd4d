#include "peers/peersetup.h"

#include "app/base/devicekind.h"
#include "com/connectionmanager.h"
#include "com/hub.h"
#include "com/networkwatch.h"
#include "db/idatabase.h"
#include "peers/invitation.h"
#include "peers/ipeer.h"
#include "peers/peerauthenticator.h"
#include "peers/peerloader.h"
#include "peers/peermodel.h"
#include "peers/peernusk.h"

#include <QPointer>
#include <QSysInfo>

com::Greeting ownGreeting(IDatabase *database)
{
    QString name;
    QString icon;
    int deviceType = IPeer::DeviceUnknown;
    if (database) {
        for (const PeerAttributeDto &a : database->loadPeerAttributes(nullUuidString())) {
            if (a.name == peerAttrName())
                name = a.value;
            else if (a.name == peerAttrIcon())
                icon = a.value;
            else if (a.name == peerAttrDeviceType())
                deviceType = a.value.toInt();
        }
    }
    if (name.isEmpty())
        name = QSysInfo::machineHostName();
    if (deviceType == IPeer::DeviceUnknown)
        deviceType = deviceKind() == DeviceKind::Laptop ? IPeer::DeviceLaptop : IPeer::DeviceDesktop;
    if (icon.isEmpty())
        icon = iconForDeviceType(deviceType);

    com::Greeting greeting;
    greeting.attributes.insert(peerAttrName(), name);
    greeting.attributes.insert(peerAttrIcon(), icon);
    greeting.attributes.insert(peerAttrDeviceType(), QString::number(deviceType));
    greeting.fsoVersions = PeerNusk::fsoProtocolVersions();
    return greeting;
}

void installPeers(ConnectionManager *manager, PeerModel *model, PeerEndpointMaker makeEndpoint)
{
    if (!manager)
        return;
    qRegisterMetaType<IPeer *>("IPeer*");
    qRegisterMetaType<PeerModel *>("PeerModel*");
    manager->setPeerModel(model);

    QPointer<PeerModel> guardedModel(model);
    auto loader = std::make_shared<QPointer<PeerLoader>>();

    // The peer factory with the loader.
    manager->addStartStep([manager, guardedModel, loader, makeEndpoint] {
        com::Hub *hub = manager->hub();
        IDatabase *database = manager->database();
        hub->setLocalGreeting(ownGreeting(database));
        auto *made = new PeerLoader(database, hub, guardedModel.data(), manager);
        *loader = made;
        made->setEndpointMaker(makeEndpoint);
        QPointer<PeerLoader> guarded(made);
        hub->setKnownKeyResolver([guarded](const QByteArray &key) {
            return guarded ? guarded->resolveKey(key) : com::KeyVerdict::refuse();
        });
        QObject::connect(hub, &com::Hub::incomingLink, made, &PeerLoader::onIncomingLink, Qt::DirectConnection);
        QObject::connect(hub, &com::Hub::listeningChanged, made, &PeerLoader::onNetworkChanged);
        QObject::connect(manager->networkWatch(), &com::NetworkWatch::networkReturned, made,
                         &PeerLoader::onNetworkReturned);
        made->loadPeers();
    });

    // The local computer's own peer.
    manager->addStartStep([loader] {
        if (*loader)
            (*loader)->createLocalPeer();
    });

    // The authenticator for first contacts.
    manager->addStartStep([manager, loader] {
        if (!*loader)
            return;
        auto *authenticator = new PeerAuthenticator(manager->database(), loader->data(), manager);
        QPointer<PeerAuthenticator> guarded(authenticator);
        manager->hub()->setFirstContactHook([guarded](const com::Link &link) {
            return guarded ? guarded->admit(link) : QString();
        });
    });
}

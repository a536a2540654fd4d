#include "ui/qmltypes.h"

#include "filer/filer.h"
#include "filer/iconlistmodel.h"
#include "peers/invitationmodel.h"
#include "peers/ipeer.h"
#include "peers/peeraclmodel.h"
#include "peers/peermodel.h"
#include "vfs/jobs/vfsjob.h"
#include "vfs/jobs/vfsjobmodel.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"

#include <QQmlEngine>

void registerQmlTypes()
{
    static bool done = false;
    if (done)
        return;
    done = true;

    const char *uri = "com.qentrix.fenu";
    // Module types in their order. "VfsGlobal" has no class in this program.
    qmlRegisterType<Filer>(uri, 1, 0, "Filer");
    qmlRegisterType<IPeer>(uri, 1, 0, "Peer");
    qmlRegisterType<PeerModel>(uri, 1, 0, "PeerModel");
    qmlRegisterType<InvitationModel>(uri, 1, 0, "InvitationModel");
    qmlRegisterType<IconListModel>(uri, 1, 0, "IconListModel");
    qmlRegisterType<VfsJob>(uri, 1, 0, "VfsJob");
    qmlRegisterType<VfsModel>(uri, 1, 0, "VfsModel");

    qRegisterMetaType<PeerModel *>("PeerModel*");
    qRegisterMetaType<InvitationModel *>("InvitationModel*");
    qRegisterMetaType<PeerAclModel *>("PeerAclModel*");
    qRegisterMetaType<VfsDriveModel *>("VfsDriveModel*");
    qRegisterMetaType<VfsModel *>("VfsFileSystemModel*");
    qRegisterMetaType<VfsJobModel *>("VfsJobModel*");
    qRegisterMetaType<VfsJob *>("VfsJob*");
}

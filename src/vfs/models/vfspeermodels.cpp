#include "vfs/models/vfspeermodels.h"

#include "peers/ipeer.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"
#include "vfs/models/vfsmodelicons.h"

#include <QMetaObject>
#include <QPointer>

void attachPeerModels(IPeer *peer)
{
    if (!peer)
        return;
    auto *drives = new VfsDriveModel;
    drives->setObjectName(peer->uuid());
    // Views find a peer's drive model by its name, so it follows the uuid.
    QPointer<IPeer> guard(peer);
    QObject::connect(peer, &IPeer::uuidChanged, drives, [drives, guard] {
        if (guard)
            drives->setObjectName(guard->uuid());
    });
    auto *files = new VfsModel;
    // Thumbnails and type icons; they load once the window installs its image pipeline.
    VfsModelPreviews::attach(files);
    peer->setFileModels(drives, files);
}

void bindPeerModels(IPeer *peer)
{
    if (!peer)
        return;
    auto *model = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
    if (!model)
        return;
    // The model's timers and connections belong to its own (GUI) thread.
    QPointer<IPeer> guard(peer);
    QMetaObject::invokeMethod(model, [model, guard] {
        if (guard)
            model->setPeer(guard.data());
    });
}

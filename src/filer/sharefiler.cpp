// The peer page's own shares are paths of this computer: a click opens them here.

#include "filer/filer_p.h"
#include "peers/peermodel.h"

void Filer::openLocalPath(const QString &path)
{
    PeerModel *model = PeerModel::instance();
    IPeer *local = model ? model->getPeerForUuid(nullUuidString()) : nullptr;
    if (!local || path.isEmpty())
        return;
    setPeer(local);
    gotoPath(path);
}

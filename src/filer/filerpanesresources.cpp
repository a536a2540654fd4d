#include "filer/filerpanesresources.h"

#include "peers/peeraclmodel.h"

#include <QMetaType>
#include <QtGlobal>

// Outside any namespace: Q_INIT_RESOURCE declares a global function.
void initFilerPanesResources()
{
    Q_INIT_RESOURCE(filerpanes);
    // The pages read a peer's access list through its property.
    qRegisterMetaType<PeerAclModel *>();
}

#include "filer/filerpanesresources.h"

#include "filer/peerview.h"
#include "peers/peeraclmodel.h"

#include <QtQml>

#include <QMetaType>
#include <QtGlobal>

// Outside any namespace: Q_INIT_RESOURCE declares a global function. Runs once.
void initFilerPanesResources()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    Q_INIT_RESOURCE(filerpanes);
    // The pages read a peer's access list through its property.
    qRegisterMetaType<PeerAclModel *>();
    // The pages' view of a peer; safe to bind to from QML whatever thread the peer is on.
    qmlRegisterType<PeerInfo>("com.qentrix.fenu", 1, 0, "PeerInfo");
}

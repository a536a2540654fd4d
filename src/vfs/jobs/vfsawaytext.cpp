#include "vfs/jobs/vfsawaytext.h"

#include "com/connectionmanager.h"
#include "peers/ipeer.h"
#include "vfs/fso/vfsmessage.h"

QString vfsAwayText(const IPeer *away)
{
    const ConnectionManager *manager = ConnectionManager::instance();
    if (manager && !manager->isNetworkEnabled() && away && !away->isLocal())
        return vfstext::message("copy-error-offline",
                                "This computer is offline. The copy goes on once it is switched online again.");
    return vfstext::message("copy-error-peer-unreachable",
                            "%1 cannot be reached. The copy goes on when it can be reached again.")
        .arg(away ? away->displayName() : QString());
}

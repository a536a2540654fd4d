// The browser's share openers: the share submenus of the context menu and the peer page's
// edit links open the share dialog for one access entry.

#include "filer/filer_p.h"
#include "filer/filerhub.h"
#include "filer/sharewithdialog.h"
#include "peers/peermodel.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>

namespace {

IPeer *peerForUuid(const QString &uuid)
{
    PeerModel *model = PeerModel::instance();
    return model ? model->getPeerForUuid(uuid) : nullptr;
}

QString senderPeerUuid(QObject *sender)
{
    auto *action = qobject_cast<QAction *>(sender);
    return action ? action->data().toString() : QString();
}

} // namespace

void Filer::onShareTriggered()
{
    if (!isActiveFiler() || !d->selectionModel || !d->currentView)
        return;
    ShareWithDialog::openForSelection(d->engine, d->database, peerForUuid(senderPeerUuid(sender())), d->peer,
                                      d->selectionModel->selectedIndexes(), d->currentView->rootIndex(), false, this);
}

void Filer::onShareDriveTriggered()
{
    if (!isActiveFiler() || !d->selectionModel || !d->currentView)
        return;
    ShareWithDialog::openForSelection(d->engine, d->database, peerForUuid(senderPeerUuid(sender())), d->peer,
                                      d->selectionModel->selectedIndexes(), d->currentView->rootIndex(), true, this);
}

void Filer::onEditPeerAcl(const QString &peerUuid, const QString &aclUuid)
{
    ShareWithDialog::openForEntry(d->engine, d->database, peerForUuid(peerUuid), aclUuid, this);
}

void Filer::openLocalPath(const QString &path)
{
    IPeer *local = peerForUuid(nullUuidString());
    if (!local || path.isEmpty())
        return;
    setPeer(local);
    gotoPath(path);
}

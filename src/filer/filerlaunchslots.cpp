// The browser's side of opening files with programs: remote files through private copies,
// the desktop's properties and reveal for local files, menu commands on local files.

#include "desktop/apps/applauncher.h"
#include "filer/filer_p.h"
#include "filer/filerhub.h"
#include "filer/filerlaunch.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/models/vfssortfilterproxymodel.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>

void Filer::connectShareAndLaunch()
{
    connect(d->vfsManager, &VfsManager::copyFinished, this, &Filer::onCopyJobFinished);
    connect(AppLauncher::instance(), &AppLauncher::deferAppLaunch, this, &Filer::onDeferAppLaunch);
    if (QObject *root = d->root(d->peerView)) {
        connect(root, SIGNAL(editPeerAclClicked(QString, QString)), this, SLOT(onEditPeerAcl(QString, QString)));
        connect(root, SIGNAL(localPathClicked(QString)), this, SLOT(openLocalPath(QString)));
    }
}

std::vector<QString> Filer::selectedLocalPaths() const
{
    std::vector<QString> paths;
    if (!d->peer || !d->peer->isLocal() || !d->currentView || !d->sortModel)
        return paths;
    for (const QModelIndex &index : d->currentView->selectionModel()->selectedIndexes()) {
        if (index.column() != 0)
            continue;
        const QString path = d->sortModel->mapToSource(index).data(VfsModel::PathRole).toString();
        if (!path.isEmpty())
            paths.push_back(path);
    }
    return paths;
}

void Filer::onDeferAppLaunch(int appId, Uuid peerUuid, std::vector<QString> paths)
{
    if (!d->hub || !d->peer || d->peer->uuid() != peerUuid || !isActiveFiler())
        return;
    VfsCopyDto request;
    if (d->hub->clipboard()->launches.add(appId, peerUuid, paths, d->model(), &request))
        d->vfsManager->copy(request);
}

void Filer::onCopyJobFinished(const VfsCopyDto &dto)
{
    // Only this browser's own copies arrive here, so the launch runs whichever browser is
    // active by now; the other launches keep waiting for their copies.
    DeferredLaunch launch;
    if (d->hub && d->hub->clipboard()->launches.take(dto.uuid, &launch))
        AppLauncher::instance()->launch(launch.appId, nullUuidString(), launch.localPaths);
}

void Filer::onShowPropertiesActionTriggered()
{
    if (!isActiveFiler())
        return;
    const std::vector<QString> paths = selectedLocalPaths();
    if (!paths.empty())
        filerlaunch::showProperties(paths.front());
}

void Filer::onShowInExplorerActionTriggered()
{
    if (!isActiveFiler() || !d->peer || !d->peer->isLocal())
        return;
    const QString path = currentItemPath();
    if (!path.isEmpty())
        filerlaunch::revealItem(path);
}

void Filer::onOpenInActionTriggered()
{
    auto *action = qobject_cast<QAction *>(sender());
    if (!action)
        return;
    const std::vector<QString> paths = selectedLocalPaths();
    QStringList files;
    for (const QString &path : paths)
        files << path;
    filerlaunch::runCommand(action->data().toString(), files);
}

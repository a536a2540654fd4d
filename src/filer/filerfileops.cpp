// The file operations of a browser: rename, new folder, trash and delete; the internal
// clipboard and paste; the context menu; drag and drop.

#include "filer/filer.h"
#include "filer/filer_p.h"
#include "filer/filerhub.h"

#include "app/base/log.h"
#include "app/base/plaintext.h"
#include "desktop/apps/applauncher.h"
#include "desktop/archive/extractdialog.h"
#include "desktop/archive/p7zip.h"
#include "filer/deferredlaunch.h"
#include "filer/fileractions.h"
#include "filer/filericonview.h"
#include "filer/filerlaunch.h"
#include "filer/heldclipboard.h"
#include "filer/sharewithdialog.h"
#include "filer/filertreeview.h"
#include "filer/filerviewdrag.h"
#include "peers/peermodel.h"
#include "vfs/fso/vfsclient.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/jobs/vfsdeletejob.h"
#include "vfs/jobs/vfsmanager.h"
#include "vfs/models/vfsmodelicons.h"
#include "vfs/models/vfssortfilterproxymodel.h"
#include "db/idatabase.h"

#include <QAction>
#include <QDropEvent>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPushButton>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace {

// Without a hub (a browser on its own, tests) the browsers of the process share this one.
struct FallbackRecord
{
    VfsCopyDto clipboard;
    std::vector<VfsMoveJob *> moves;
    std::vector<VfsMakeDirectoryJob *> makeDirs;
    DeferredLaunches launches;
};

FallbackRecord &fallback()
{
    static FallbackRecord record;
    return record;
}


template <typename Job>
bool takePending(std::vector<Job *> &list, Job *job)
{
    const auto it = std::find(list.begin(), list.end(), job);
    if (it == list.end())
        return false;
    list.erase(it);
    return true;
}

template <typename Job>
void releaseRecord(Job *job)
{
    if (job->release)
        job->release(job);
    delete job;
}


// A picture of the window's theme images ("icon/...", "app/<location>", with the theme's
// fallbacks) at the sizes a menu draws.
QIcon themeMenuIcon(const QString &id)
{
    QIcon icon;
    for (int side : {16, 24, 32}) {
        const QPixmap pixmap = vfsThemePixmap(id, QSize(side, side));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    return icon;
}

// What a browser's own drop menu answers; tests choose without a nested loop.
std::function<int(bool moveAllowed)> &dropChooser()
{
    static std::function<int(bool)> chooser;
    return chooser;
}

} // namespace

// Rename and make-directory requests of every browser live in the shared record. Each browser
// bound to the peer hears the client's answer; the one that finds the record there handles
// it, exactly once.
VfsCopyDto &filerClipboard(FilerHub *hub)
{
    if (hub)
        return hub->clipboard()->clipboard;
    return fallback().clipboard;
}

std::vector<VfsMoveJob *> &filerPendingMoves(FilerHub *hub)
{
    if (hub)
        return hub->clipboard()->pendingMoves;
    return fallback().moves;
}

DeferredLaunches &filerLaunches(FilerHub *hub)
{
    if (hub)
        return hub->clipboard()->launches;
    return fallback().launches;
}

std::vector<VfsMakeDirectoryJob *> &filerPendingMakeDirs(FilerHub *hub)
{
    if (hub)
        return hub->clipboard()->pendingMakeDirectories;
    return fallback().makeDirs;
}

// ---------------------------------------------------------------------------------------------
// Rename, new folder, trash and delete

bool Filer::isValidItemName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

void Filer::onRenameActionTriggered()
{
    if (!d->peer || !isActiveFiler() || !d->currentView)
        return;
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        if (viewIndex.column() == 0 && !sourceIndex(viewIndex).data(VfsModel::PathRole).toString().isEmpty()) {
            d->currentView->edit(viewIndex);
            return;
        }
    }
}

void Filer::onRenameEditDone(const QModelIndex &index, const QString &name)
{
    VfsModel *model = d->model();
    // The model announces an edit to every browser bound to it: only the active one sends.
    if (!d->peer || !model || !index.isValid() || name.isEmpty() || !isActiveFiler())
        return;
    if (!isValidItemName(name)) {
        showStatusMessage(qtTrId("filer-msg-bad-name").arg(name), 10000);
        return;
    }
    const QString oldPath = index.data(VfsModel::PathRole).toString();
    const QString parentPath = index.parent().data(VfsModel::PathRole).toString();
    const QString newPath = parentPath + model->pathSeparator() + name;
    if (oldPath == newPath || !d->peer->vfsClient())
        return;
    logPrintf(LogNfo1, "rename %s to %s", qUtf8Printable(oldPath), qUtf8Printable(newPath));
    auto *job = new VfsMoveJob;
    job->flags = 3;
    job->source = oldPath;
    job->destination = newPath;
    filerPendingMoves(d->hub).push_back(job);
    d->peer->vfsClient()->move(job);
}

void Filer::onVfsMoveJobUpdate(VfsMoveJob *job)
{
    if (!takePending(filerPendingMoves(d->hub), job))
        return;
    quint32 status;
    quint8 result;
    QString source, destination;
    {
        QMutexLocker lock(&job->mutex);
        status = job->jobStatus;
        result = job->status;
        source = job->source;
        destination = job->destination;
    }
    if (status == JobFinished && result == FSO_STATUS_SUCCESS) {
        if (VfsModel *model = d->model(); model && !destination.isEmpty())
            model->resolvePath(destination, true);
    } else if (status == JobFinished || status == JobError) {
        // The edited name goes back to the old one: without a word it looks like a slip.
        logPrintf(LogNfo1, "failed to rename %s: %u", qUtf8Printable(source), unsigned(result));
        showStatusMessage(renameRefusal(result, source, destination), 10000);
    } else {
        logPrintf(LogNfo1, "unhandled onVfsMoveJobUpdate jobStatus %u", status);
        filerPendingMoves(d->hub).push_back(job);
        return;
    }
    releaseRecord(job);
}

QString Filer::renameRefusal(quint8 result, const QString &source, const QString &destination) const
{
    VfsModel *model = d->model();
    const QChar separator = model ? model->pathSeparator() : QLatin1Char('/');
    const QString from = source.section(separator, -1);
    const QString to = destination.section(separator, -1);
    if (result == FSO_STATUS_EXISTS || result == FSO_STATUS_SAME_PATH) {
        //% "Cannot rename %1: %2 is already there."
        return qtTrId("rename-refused-exists").arg(from, to);
    }
    if (result == FSO_STATUS_NOT_PERMITTED) {
        //% "Cannot rename %1: it is read only here."
        return qtTrId("rename-refused-read-only").arg(from);
    }
    if (result == FSO_STATUS_TIMEOUT && d->peer) {
        //% "Cannot rename %1: %2 did not answer."
        return qtTrId("rename-refused-silent").arg(from, d->peer->name());
    }
    //% "%1 could not be renamed."
    return qtTrId("rename-failed").arg(from);
}

void Filer::onNewFolderActionTriggered()
{
    VfsModel *model = d->model();
    if (!d->peer || !model || !d->selectionModel || !isActiveFiler())
        return;
    QInputDialog dialog;
    dialog.setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog.setStyleSheet(QStringLiteral("QLabel {min-width: 280px;}"));
    dialog.setWindowTitle(qtTrId("title-create-new-folder"));
    dialog.setLabelText(qtTrId("label-new-folder-name"));
    dialog.setTextValue(qtTrId("default-new-folder-name"));
    dialog.setOkButtonText(qtTrId("btn-create"));
    dialog.setCancelButtonText(qtTrId("btn-cancel"));
    if (dialog.exec() != QDialog::Accepted || dialog.textValue().isEmpty()) {
        logPrintf(LogNfo1, "abort create new folder (1)");
        return;
    }
    createFolder(dialog.textValue());
}

bool Filer::createFolder(const QString &name)
{
    VfsModel *model = d->model();
    if (!model || !d->peer || !d->peer->vfsClient())
        return false;
    if (!isValidItemName(name)) {
        showStatusMessage(qtTrId("filer-msg-bad-name").arg(name), 10000);
        return false;
    }
    QModelIndex dir;
    const QModelIndexList selected = d->selectionModel->selectedRows();
    if (!selected.isEmpty()) {
        dir = sourceIndex(selected.first()).parent();
        if (!dir.isValid()) {
            logPrintf(LogNfo1, "abort create new folder (2)");
            return false;
        }
    } else {
        dir = currentRootSource();
        if (!dir.isValid()) {
            logPrintf(LogNfo1, "abort create new folder (3)");
            return false;
        }
    }
    const QString dirPath = dir.data(VfsModel::PathRole).toString();
    if (dirPath.isEmpty())
        return false;
    auto *job = new VfsMakeDirectoryJob;
    job->path = dirPath + model->pathSeparator() + name;
    filerPendingMakeDirs(d->hub).push_back(job);
    logPrintf(LogNfo1, "Create dir %s", qUtf8Printable(job->path));
    d->peer->vfsClient()->makeDirectory(job);
    return true;
}

void Filer::onVfsMakeDirectoryJobUpdate(VfsMakeDirectoryJob *job)
{
    if (!takePending(filerPendingMakeDirs(d->hub), job))
        return;
    const quint32 status = job->jobStatus;
    if (status == JobFinished) {
        if (VfsModel *model = d->model(); model && !job->path.isEmpty()) {
            // Once listed it is selected in its sorted place, ready for F2.
            d->newFolderPath = job->path;
            model->resolvePath(job->path, true);
            selectNewFolder();
        }
    } else if (status == JobError) {
        logPrintf(LogNfo1, "Failed to create directory %s", qUtf8Printable(job->path));
        showStatusMessage(qtTrId("filer-new-folder-failed").arg(job->path.section(QLatin1Char('/'), -1)), 10000);
    } else {
        logPrintf(LogNfo1, "Unhandled onVfsMakeDirectoryJobUpdate jobStatus %u", status);
        filerPendingMakeDirs(d->hub).push_back(job);
        return;
    }
    releaseRecord(job);
}

void Filer::selectNewFolder()
{
    VfsModel *model = d->model();
    if (d->newFolderPath.isEmpty() || !model || !d->sortModel->dynamicSortFilter())
        return;   // a listing still coming in is sorted first
    const QModelIndex index = d->sortModel->mapFromSource(model->indexForPath(d->newFolderPath));
    if (!index.isValid())
        return;
    d->newFolderPath.clear();
    setCurrentIndexToPath(index.data(VfsModel::PathRole).toString());
}

void Filer::onTrashActionTriggered()
{
    if (!d->selectionModel || !isActiveFiler())
        return;
    if (!d->currentView || !d->currentView->hasFocus()) {
        logPrintf(LogNfo1, "Dismiss trash action, no focus");
        return;
    }
    startDeleteJob(3);
}

void Filer::onDeleteActionTriggered()
{
    if (!d->selectionModel || !isActiveFiler())
        return;
    if (!d->currentView || !d->currentView->hasFocus()) {
        logPrintf(LogNfo1, "Dismiss delete action, no focus");
        return;
    }
    startDeleteJob(2);
}

bool Filer::isProtectedItem(const QModelIndex &index)
{
    // Drive roots, share roots and the top level are the file system itself, not items.
    if (!index.isValid() || !index.parent().isValid())
        return true;
    const int origType = index.data(VfsModel::OrigTypeRole).toInt();
    const int type = index.data(VfsModel::TypeRole).toInt();
    return type == VfsModel::DriveType || origType == VfsModel::ShareType;
}

void Filer::startDeleteJob(int flags)
{
    if (!d->peer)
        return;
    std::vector<VfsDeleteItem> items;
    int refused = 0;
    QString refusedName;
    logPrintf(LogNfo1, (flags & 1) ? "Trash from peer %s" : "Delete from peer %s", qUtf8Printable(d->peer->uuid()));
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        if (viewIndex.column() != 0)
            continue;
        const QModelIndex index = sourceIndex(viewIndex);
        if (isProtectedItem(index)) {
            if (!refused++)
                refusedName = index.data(VfsModel::NameRole).toString();
            continue;
        }
        VfsDeleteItem item;
        item.name = index.data(VfsModel::NameRole).toString();
        item.path = index.data(VfsModel::PathRole).toString();
        item.size = index.data(VfsModel::SizeRole).toULongLong();
        item.type = index.data(VfsModel::TypeRole).toInt();
        logPrintf(LogNfo1, "\t%s %llu %d", qUtf8Printable(item.path), static_cast<unsigned long long>(item.size),
                  item.type);
        if (!item.path.isEmpty())
            items.push_back(item);
    }
    if (refused)
        showStatusMessage(qtTrId("filer-msg-not-deletable").arg(refusedName), 10000);
    if (items.empty())
        return;
    auto *job = new VfsDeleteJob(d->vfsManager);
    connect(job, &VfsJob::jobFinished, this, &Filer::onDeleteJobFinished);
    connect(job, &VfsJob::jobAborted, this, &Filer::onDeleteJobAborted);
    connect(job, &VfsJob::jobUpdated, this, &Filer::onDeleteJobUpdated);
    if (flags & 1)
        connect(job, &VfsDeleteJob::trashFailedAskDelete, this, &Filer::onDeleteJobUpdatedTrashFailedAskDelete);
    job->setPeer(d->peer);
    job->setDeleteFlags(quint32(flags));
    job->setItems(items);
    if ((flags & 1) || confirmDelete(job)) {
        d->vfsManager->addJob(job);
        job->start();
    } else {
        job->deleteLater();
    }
}

std::function<int(const QString &text, const QString &title)> &Filer::confirmHook()
{
    static std::function<int(const QString &, const QString &)> hook;
    return hook;
}

QString Filer::failedItemName(const VfsDeleteJob *job)
{
    // The job works from the last item to the first: the failed one is the last it did not
    // remove.
    for (auto it = job->items().rbegin(); it != job->items().rend(); ++it) {
        if (!job->deletedPaths().contains(it->path))
            return it->name.isEmpty() ? it->path : it->name;
    }
    return job->items().empty() ? QString() : job->items().front().name;
}

bool Filer::confirmDelete(VfsDeleteJob *job)
{
    const std::vector<VfsDeleteItem> &items = job->items();
    if (items.empty())
        return false;
    QString text = items.front().type == VfsModel::DirectoryType
                       ? qtTrId("dlg-confirm-delete-q-folder").arg(items.front().name)
                       : qtTrId("dlg-confirm-delete-q-item").arg(items.front().name);
    if (items.size() > 1)
        text = qtTrId("dlg-confirm-delete-q-items", int(items.size()));
    const QString title = qtTrId("dlg-confirm-delete-title");
    if (confirmHook())
        return confirmHook()(text, title) == QMessageBox::YesRole;
    QMessageBox box;
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setIcon(QMessageBox::Warning);
    box.setStyleSheet(QStringLiteral("QLabel{width: 400px; padding: 16px 0;}"));
    QPushButton *cancel = box.addButton(qtTrId("btn-cancel"), QMessageBox::NoRole);
    QPushButton *del = box.addButton(qtTrId("btn-delete"), QMessageBox::YesRole);
    box.setDefaultButton(del);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == del;
}

void Filer::onDeleteJobFinished()
{
    auto *job = qobject_cast<VfsDeleteJob *>(sender());
    if (!job)
        return;
    VfsModel *model = d->model();
    if (model && !job->items().empty()) {
        const QModelIndex index = model->indexForPath(job->items().front().path);
        model->fetchMore(index.parent());
    }
    // The item leaves the list as it does after a delete: only the status line tells that
    // it can be got back, and from which computer's trash.
    if ((job->deleteFlags() & 1) && !job->items().empty())
        showStatusMessage(trashedText(job), 10000);
    job->deleteLater();
}

QString Filer::trashedText(const VfsDeleteJob *job)
{
    const IPeer *peer = job->peer();
    const int count = int(job->items().size());
    const QString name = job->items().front().name.isEmpty() ? job->items().front().path : job->items().front().name;
    if (!peer || peer->isLocal())
        return count == 1 ? qtTrId("filer-msg-trashed").arg(name) : qtTrId("filer-msg-trashed-items", count);
    return count == 1 ? qtTrId("filer-msg-trashed-on").arg(name, peer->displayName())
                      : qtTrId("filer-msg-trashed-items-on", count).arg(peer->displayName());
}

void Filer::onDeleteJobAborted()
{
    auto *job = qobject_cast<VfsDeleteJob *>(sender());
    if (!job)
        return;
    if (!job->items().empty()) {
        const QString name = failedItemName(job);
        showStatusMessage((job->deleteFlags() & 1) ? qtTrId("msg-trash-failed1").arg(name)
                                                   : qtTrId("msg-delete-failed1").arg(name), 10000);
    }
    job->deleteLater();
}

void Filer::onDeleteJobUpdated() {}

void Filer::onDeleteJobUpdatedTrashFailedAskDelete()
{
    auto *job = qobject_cast<VfsDeleteJob *>(sender());
    if (!job)
        return;
    // Name the item the trash refused and make keeping it the easy answer.
    const QString text = qtTrId("dlg-trash-failed-q-delete").arg(failedItemName(job));
    const QString title = qtTrId("dlg-confirm-delete-title");
    bool confirmed = false;
    if (confirmHook()) {
        confirmed = confirmHook()(text, title) == QMessageBox::YesRole;
    } else {
        QMessageBox box;
        box.setWindowTitle(title);
        box.setTextFormat(Qt::PlainText);
        box.setText(text);
        box.setIcon(QMessageBox::Warning);
        QPushButton *cancel = box.addButton(qtTrId("btn-cancel"), QMessageBox::NoRole);
        QPushButton *del = box.addButton(qtTrId("btn-delete"), QMessageBox::YesRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        confirmed = box.clickedButton() == del;
    }
    if (confirmed)
        job->setDeleteFlags(job->deleteFlags() & ~1u);
    else
        job->abort();
    job->process(VfsJob::JobActionStep);
}

// ---------------------------------------------------------------------------------------------
// Clipboard and paste

namespace {

VfsCopyItem copyItemOf(const QModelIndex &index)
{
    VfsCopyItem item;
    item.path = index.data(VfsModel::PathRole).toString();
    item.size = index.data(VfsModel::SizeRole).toULongLong();
    item.type = index.data(VfsModel::TypeRole).toInt();
    item.atime = index.data(VfsModel::ATimeRole).toDateTime().toMSecsSinceEpoch();
    item.ctime = index.data(VfsModel::CTimeRole).toDateTime().toMSecsSinceEpoch();
    item.mtime = index.data(VfsModel::MTimeRole).toDateTime().toMSecsSinceEpoch();
    item.fileId = index.data(VfsModel::IdRole).toULongLong();
    return item;
}

} // namespace

void Filer::onCopyActionTriggered()
{
    VfsModel *model = d->model();
    if (!d->peer || !model || !d->sortModel || !d->selectionModel || !isActiveFiler())
        return;
    clearMarkedFiles();
    VfsCopyDto &record = filerClipboard(d->hub);
    record = VfsCopyDto();
    record.uuid = QUuid::createUuid().toString();
    record.srcPeerUuid = d->peer->uuid();
    if (sender() == sharedAction("filer.copy"))
        record.deleteSource = false;
    else if (sender() == sharedAction("filer.cut"))
        record.deleteSource = true;
    else
        return;
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        if (viewIndex.column() != 0)
            continue;
        const QModelIndex index = sourceIndex(viewIndex);
        setCopyMark(model, index, true);
        record.items.push_back(copyItemOf(index));
    }
    sharedAction("filer.paste")->setEnabled(!record.items.empty());
}

namespace {

// The texts of one transfer's refusals: each names what was asked for, a cut refused as a
// "copy" reads as if the other key had been pressed.
struct RefusalTexts
{
    const char *offline;
    const char *nothing;
    const char *unreadable;
    const char *unchangeable;   // only for the transfers that delete their sources
};

RefusalTexts refusalTexts(Filer::Transfer kind)
{
    switch (kind) {
    case Filer::CutTransfer:
        return {"cut-refused-offline", "cut-refused-nothing", "cut-refused-read", "cut-refused-write"};
    case Filer::MoveToTransfer:
        return {"move-refused-offline", "move-refused-nothing", "move-refused-read", "move-refused-write"};
    case Filer::CopyTransfer:
    case Filer::CopyToTransfer:
        break;
    }
    return {"copy-refused-offline", "copy-refused-nothing", "copy-refused-read", nullptr};
}

} // namespace

QString Filer::transferRefusal(Transfer kind) const
{
    const RefusalTexts texts = refusalTexts(kind);
    if (!d->peer || currentPage() != FilesPage)
        return nothingToTransfer(kind);
    if (d->peer->linkState() != IPeer::LinkUp)
        return qtTrId(texts.offline).arg(d->peer->name());
    const QModelIndexList selected = d->selectionModel ? d->selectionModel->selectedIndexes() : QModelIndexList();
    bool any = false;
    for (const QModelIndex &viewIndex : selected) {
        if (viewIndex.column() != 0)
            continue;
        any = true;
        const quint32 info = sourceIndex(viewIndex).data(VfsModel::InfoRole).toUInt();
        if (!(info & VfsModel::ReadUser))
            return qtTrId(texts.unreadable);
        if (texts.unchangeable && !(info & VfsModel::WriteUser))
            return qtTrId(texts.unchangeable);
    }
    return any ? QString() : nothingToTransfer(kind);
}

QString Filer::nothingToTransfer(Transfer kind)
{
    return qtTrId(refusalTexts(kind).nothing);
}

void Filer::refuseTransfer(Transfer kind)
{
    QString why = transferRefusal(kind);
    if (why.isEmpty())
        why = nothingToTransfer(kind);
    // Copy to and move to record nothing unless the person goes on: the clipboard keeps what
    // they put there.
    if (kind == CopyTransfer || kind == CutTransfer) {
        clearMarkedFiles();
        filerClipboard(d->hub) = VfsCopyDto();
    }
    showStatusMessage(why, 10000);
}

void Filer::onPasteActionTriggered()
{
    if (!d->peer || !d->currentView || !d->sortModel || !d->selectionModel || !isActiveFiler())
        return;
    VfsCopyDto &record = filerClipboard(d->hub);
    record.dstPeerUuid.clear();
    // A destination written beforehand ("copy to", "move to") wins; otherwise the folder shown
    // now, never the one of an earlier paste.
    if (record.dstPath.isEmpty())
        record.dstPath = currentRootSource().data(VfsModel::PathRole).toString();
    if (record.dstPath.isEmpty() || record.items.empty()) {
        logPrintf(LogNfo1, "have no dst path for paste action, abort");
        record.dstPath.clear();
        return;
    }
    record.dstPeerUuid = d->peer->uuid();
    const VfsCopyDto request = record;
    record.dstPath.clear();
    const bool started = request.deleteSource ? d->vfsManager->move(request) != nullptr
                                              : d->vfsManager->copy(request) != nullptr;
    if (!started) {
        showStatusMessage(d->vfsManager->lastRefusal() == VfsManager::IntoItself ? qtTrId("copy-error-into-itself")
                                                                                 : qtTrId("copy-error-peer-missing"),
                          10000);
        return;
    }
    // What was cut moves once: the record is spent, a second paste has nothing to move.
    if (request.deleteSource) {
        clearMarkedFiles();
        record.items.clear();
    }
}

void Filer::clearMarkedFiles()
{
    VfsModel *model = d->model();
    for (const VfsCopyItem &item : filerClipboard(d->hub).items) {
        if (model)
            setCopyMark(model, model->indexForPath(item.path), false);
    }
    sharedAction("filer.paste")->setEnabled(false);
}

void Filer::onCopyRequest(const VfsCopyDto &dto)
{
    d->vfsManager->copy(dto);
}

void Filer::onMoveRequest(const VfsCopyDto &dto)
{
    d->vfsManager->move(dto);
}

// ---------------------------------------------------------------------------------------------
// Context menu

std::function<QAction *(QMenu *)> &Filer::contextMenuHook()
{
    static std::function<QAction *(QMenu *)> hook;
    return hook;
}

void Filer::openWithMenu(QMenu *menu, QAction *extraAction)
{
    AppLauncher *launcher = AppLauncher::instance();
    const int rows = launcher->rowCount();
    QMenu *more = rows >= 2 ? new QMenu(qtTrId("menu-open-with"), menu) : nullptr;
    for (int i = 0; i < rows; ++i) {
        const QModelIndex row = launcher->index(i, 0);
        QMenu *target = i == 0 ? menu : more;
        QAction *entry = target->addAction(plainMenuText(launcher->data(row, AppLauncher::NameRole).toString()));
        const QString location = launcher->data(row, AppLauncher::AppIconRole).toString();
        entry->setIcon(themeMenuIcon(QStringLiteral("app/") + QString::fromLatin1(QUrl::toPercentEncoding(location))));
        entry->setProperty("app", launcher->data(row, AppLauncher::AppIdRole));
    }
    if (extraAction && extraAction->isEnabled())
        menu->addAction(extraAction);
    if (more)
        menu->addMenu(more);
}

void Filer::onCustomContextMenuRequested(const QPoint &pos)
{
    if (qAbs(pos.x() - d->pressX) + qAbs(pos.y() - d->pressY) > 16) {
        logPrintf(LogNfo1, "gesture detected, discard context menu");
        return;
    }
    openContextMenu(QCursor::pos());
}

void Filer::openContextMenu(const QPoint &globalPos)
{
    if (!d->peer || !d->currentView || !d->sortModel)
        return;
    QMenu menu;
    const QModelIndexList selected = d->currentView == d->iconView ? d->selectionModel->selectedIndexes()
                                                                   : d->selectionModel->selectedRows(0);
    const bool local = d->peer->uuid() == nullUuidString();
    openWithMenu(&menu, sharedAction("filer.preview"));
    if (!menu.actions().isEmpty())
        menu.addSeparator();
    QAction *extract = nullptr;
    if (local && selected.size() == 1
        && P7Zip::isSupportedArchive(sourceIndex(selected.first()).data(VfsModel::PathRole).toString())) {
        extract = menu.addAction(selected.first().data(Qt::DecorationRole).value<QIcon>(), qtTrId("menu-extract-item"));
    }
    if (!selected.isEmpty()) {
        if (sharedAction("filer.copy")->isEnabled()) {
            menu.addAction(sharedAction("filer.cut"));
            menu.addAction(sharedAction("filer.copy"));
        }
        menu.addAction(sharedAction("filer.paste"));
        if (selected.size() == 1 && sharedAction("filer.rename")->isEnabled())
            menu.addAction(sharedAction("filer.rename"));
        menu.addAction(sharedAction("filer.new-folder"));
    } else {
        menu.addAction(sharedAction("filer.paste"));
        menu.addAction(sharedAction("filer.new-folder"));
    }
    menu.addSeparator();
    if (local)
        addShareMenus(&menu);
    if (!selected.isEmpty() && sharedAction("filer.trash")->isEnabled())
        menu.addAction(sharedAction("filer.trash"));
    if (local && !selected.isEmpty())
        menu.addAction(sharedAction("filer.show-props"));
    QAction *chosen = contextMenuHook() ? contextMenuHook()(&menu) : menu.exec(globalPos);
    if (!chosen)
        return;
    if (chosen->property("app").isValid()) {
        AppLauncher::instance()->launch(chosen->property("app").toInt());
    } else if (chosen == extract) {
        const QModelIndex archive = sourceIndex(selected.first());
        auto *zip = new P7Zip(archive.data(VfsModel::PathRole).toString(), this);
        new ExtractDialog(zip, nullptr);
        connect(zip, &P7Zip::extracted, this, &Filer::refreshAndSelect);
        if (!zip->start(archive.parent().data(VfsModel::PathRole).toString()))
            zip->deleteLater();
    }
}

void Filer::addShareMenus(QMenu *menu)
{
    if (!d->database)
        return;
    PeerModel *peers = PeerModel::instance();
    const std::vector<PeerDto> stored = d->database->loadPeers(QStringLiteral("nusk"));
    auto label = [](IPeer *peer) {
        return plainMenuText(peer->displayName().isEmpty() ? peer->name() : peer->displayName()) + QStringLiteral("...");
    };
    // The computers' own icon: the entries below are the computers to share with.
    const QIcon computers(QStringLiteral(":/icons/machine-list.svg"));
    auto *share = new QMenu(qtTrId("menu-share-with"), menu);
    share->setIcon(computers);
    for (const PeerDto &dto : stored) {
        IPeer *peer = peers ? peers->getPeerForUuid(dto.uuid) : nullptr;
        if (!peer || dto.uuid == nullUuidString())
            continue;
        QAction *entry = share->addAction(themeMenuIcon(QStringLiteral("icon/%1.svg").arg(peer->icon())), label(peer));
        entry->setData(dto.uuid);
        connect(entry, &QAction::triggered, this, &Filer::onShareTriggered);
    }
    if (share->actions().isEmpty())
        delete share;
    else
        menu->addMenu(share);
    if (!FilerActions::action(QStringLiteral("filer.share-drive"))->isChecked())
        return;
    auto *drive = new QMenu(qtTrId("menu-share-drive-with"), menu);
    drive->setIcon(computers);
    for (const PeerDto &dto : stored) {
        IPeer *peer = peers ? peers->getPeerForUuid(dto.uuid) : nullptr;
        if (!peer)
            continue;
        QAction *entry = drive->addAction(label(peer));
        entry->setData(dto.uuid);
        connect(entry, &QAction::triggered, this, &Filer::onShareDriveTriggered);
    }
    if (drive->actions().isEmpty())
        delete drive;
    else
        menu->addMenu(drive);
}

// ---------------------------------------------------------------------------------------------
// Opening, properties, sharing

void Filer::openFile(const QString &path)
{
    if (!d->peer || path.isEmpty())
        return;
    AppLauncher *launcher = AppLauncher::instance();
    if (d->peer->isLocal()) {
        if (launcher->rowCount() > 0)
            launcher->launchDefault(path);
        else
            openWithDesktop(path);
        return;
    }
    // A file of another computer opens from a local copy, never by its path here: the first
    // related application, else the desktop's default once the copy is there.
    const int appId = launcher->rowCount() > 0 ? launcher->data(launcher->index(0, 0), AppLauncher::AppIdRole).toInt() : -1;
    deferLaunch(appId, {path});
}

void Filer::deferLaunch(int appId, const std::vector<QString> &paths)
{
    VfsCopyDto request;
    if (!filerLaunches(d->hub).add(appId, d->peer->uuid(), paths, d->model(), &request))
        return;
    for (const VfsCopyItem &item : request.items)
        logPrintf(LogNfo1, "defer copy: %s %llu %d", qUtf8Printable(item.path), item.size, item.type);
    d->vfsManager->copy(request);
}

void Filer::onDeferAppLaunch(int appId, const QString &peerUuid, const std::vector<QString> &paths)
{
    if (!d->peer || d->peer->uuid() != peerUuid || !isActiveFiler())
        return;
    deferLaunch(appId, paths);
}

void Filer::onCopyJobFinished(const VfsCopyDto &dto)
{
    // The browser whose job made the copies starts the program, active or not, so that no
    // launch is lost to a switch of panes meanwhile.
    DeferredLaunch launch;
    if (!filerLaunches(d->hub).take(dto.uuid, &launch))
        return;
    if (launch.appId >= 0) {
        AppLauncher::instance()->launch(launch.appId, nullUuidString(), launch.localPaths);
        return;
    }
    for (const QString &local : launch.localPaths)
        openWithDesktop(local);
}

void Filer::openWithDesktop(const QString &localPath)
{
    // Without an application for the type the desktop's opener fails where nobody sees it.
    filerlaunch::askDefaultOpener(localPath, this, [this, localPath](bool found) {
        if (found && filerlaunch::startDetached(QStringLiteral("xdg-open"), {localPath}))
            return;
        showStatusMessage(qtTrId("open-no-application").arg(QFileInfo(localPath).fileName()), 10000);
    });
}

QStringList Filer::selectedPaths() const
{
    QStringList paths;
    if (!d->selectionModel)
        return paths;
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        const QString path = viewIndex.column() == 0 ? sourceIndex(viewIndex).data(VfsModel::PathRole).toString() : QString();
        if (!path.isEmpty())
            paths.append(path);
    }
    return paths;
}

void Filer::onShowPropertiesActionTriggered()
{
    if (!d->peer || !d->sortModel || !d->selectionModel || !isActiveFiler() || !d->peer->isLocal())
        return;
    const QStringList paths = selectedPaths();
    if (paths.isEmpty())
        return;
    const QString name = QFileInfo(paths.first()).fileName();
    filerlaunch::showProperties(paths.first(), this, [this, name] {
        //% "No file manager shows the properties of %1."
        showStatusMessage(qtTrId("filer-msg-no-properties").arg(name), 10000);
    });
}

bool Filer::refuseDisabledKey(QKeyEvent *event)
{
    const QKeySequence pressed(int(event->modifiers() & ~Qt::KeypadModifier) | event->key());
    for (const char *id : {"filer.trash", "filer.delete", "filer.show-props", "filer.preview"}) {
        QAction *action = sharedAction(id);
        if (!action || action->isEnabled() || !action->shortcuts().contains(pressed))
            continue;
        const bool preview = qstrcmp(id, "filer.preview") == 0;
        const QString why = preview ? previewRefusal()
                          : qstrcmp(id, "filer.show-props") == 0 ? propertiesRefusal() : deleteRefusal();
        // Space is the views' own key too: it stays theirs where no preview was refused.
        if (preview && why.isEmpty())
            return false;
        if (!why.isEmpty())
            showStatusMessage(why, 10000);
        return true;
    }
    return false;
}

QString Filer::deleteRefusal() const
{
    if (!d->peer || currentPage() != FilesPage || !d->selectionModel)
        return QString();
    if (d->peer->linkState() != IPeer::LinkUp) {
        //% "Cannot delete: %1 is not connected."
        return qtTrId("delete-refused-offline").arg(d->peer->name());
    }
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        if (viewIndex.column() != 0)
            continue;
        const QModelIndex index = sourceIndex(viewIndex);
        const QString name = index.data(VfsModel::NameRole).toString();
        if (isProtectedItem(index))
            return qtTrId("filer-msg-not-deletable").arg(name);
        if (!(index.data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser)) {
            //% "Cannot delete %1: it is read only here."
            return qtTrId("delete-refused-read-only").arg(name);
        }
    }
    return QString();
}

QString Filer::propertiesRefusal() const
{
    if (!d->peer || currentPage() != FilesPage || d->peer->isLocal())
        return QString();
    //% "Properties: only for items on this computer."
    return qtTrId("filer-msg-properties-local-only");
}

QString Filer::previewRefusal() const
{
    if (!d->peer || currentPage() != FilesPage || d->peer->isLocal() || !d->selectionModel
        || !d->selectionModel->hasSelection())
        return QString();
    //% "Preview: only for files on this computer."
    return qtTrId("filer-msg-preview-local-only");
}

void Filer::onShowInExplorerActionTriggered()
{
    if (!d->peer || !d->peer->isLocal() || !isActiveFiler())
        return;
    const QString path = currentItemPath();
    if (!path.isEmpty())
        filerlaunch::revealItem(path);
}

void Filer::onOpenInActionTriggered()
{
    auto *action = qobject_cast<QAction *>(sender());
    if (!action || !d->peer || !d->currentView || !d->sortModel || !d->peer->isLocal())
        return;
    const QString command = action->data().toString();
    logPrintf(LogNfo1, "exec %s", qUtf8Printable(command));
    if (!filerlaunch::runCommand(command, selectedPaths()))
        logPrintf(LogNfo1, "unsupported exec command: %s", qUtf8Printable(command));
}

void Filer::openShareDialog(bool wholeDrive)
{
    auto *action = qobject_cast<QAction *>(sender());
    if (!action || !d->peer || !isActiveFiler() || !PeerModel::instance())
        return;
    IPeer *sharePeer = PeerModel::instance()->getPeerForUuid(action->data().toString());
    QModelIndexList selected;
    for (const QModelIndex &viewIndex : d->selectionModel->selectedIndexes()) {
        if (viewIndex.column() == 0)
            selected.append(sourceIndex(viewIndex));
    }
    if (ShareWithDialog *dialog = ShareWithDialog::openForSelection(d->engine, d->database, sharePeer, d->peer, selected,
                                                                    currentRootSource(), wholeDrive, this))
        dialog->show();
}

void Filer::onShareTriggered()
{
    openShareDialog(false);
}

void Filer::onShareDriveTriggered()
{
    openShareDialog(true);
}

void Filer::onEditPeerAcl(const QString &peerUuid, const QString &aclUuid)
{
    IPeer *sharePeer = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(peerUuid) : nullptr;
    if (ShareWithDialog *dialog = ShareWithDialog::openForEntry(d->engine, d->database, sharePeer, aclUuid, this))
        dialog->show();
}

// ---------------------------------------------------------------------------------------------
// Drag and drop

void Filer::createDragMimeData(QDrag *drag)
{
    if (!d->peer || !d->currentView || !d->sortModel || d->peer->uuid().isEmpty())
        return;
    attachFileDragData(drag, d->currentView);
}

void Filer::clearDropTargetPath(const QString &path)
{
    clearDropMark(d->model(), path);
}

void Filer::setDropMenuChooser(std::function<int(bool moveAllowed)> chooser)
{
    dropChooser() = std::move(chooser);
}

bool Filer::handleDrop(QDropEvent *event, const QString &targetPath)
{
    VfsModel *model = d->model();
    if (!model || !d->peer)
        return false;
    const QModelIndex target = model->indexForPath(targetPath);
    if (!target.isValid())
        return false;
    const QMimeData *data = event->mimeData();
    QString srcUuid = nullUuidString();
    QStringList paths;
    if (data->hasFormat(QStringLiteral("application/nusk-peer-uuid")))
        readFileDragData(data, &srcUuid, &paths);
    IPeer *source = PeerModel::instance() ? PeerModel::instance()->getPeerForUuid(srcUuid) : nullptr;
    // Tells the view whether anything was done: only then may the drop be accepted, so that
    // another program never deletes its originals for a drop that went nowhere.
    auto finish = [&](bool unsupported, bool done = false) {
        clearDropMark(model, targetPath);
        if (unsupported)
            showStatusMessage(qtTrId("filer-status-unsupop"), 5000);
        return done;
    };
    if (!source) {
        logPrintf(LogNfo1, "reject drag, unknown source peer uuid %s", qUtf8Printable(srcUuid));
        return finish(false);
    }
    const int type = target.data(VfsModel::TypeRole).toInt();
    if (type != VfsModel::DriveType && type != VfsModel::DirectoryType) {
        logPrintf(LogNfo1, "skip drop action invalid drop target type %d", type);
        return finish(false);
    }
    VfsCopyDto request;
    request.uuid = QUuid::createUuid().toString();
    request.srcPeerUuid = srcUuid;
    request.dstPeerUuid = d->peer->uuid();
    request.dstPath = target.data(VfsModel::PathRole).toString();
    if (request.dstPath.isEmpty())
        return finish(false);
    auto *srcModel = qobject_cast<VfsModel *>(source->vfsFileSystemModel());
    for (const QUrl &url : data->urls()) {
        if (!url.isLocalFile())
            continue;
        QString path = url.toLocalFile();
        if (path.size() > 2 && path.at(2) == QLatin1Char(':') && path.at(0) == QLatin1Char('/'))
            path.remove(0, 1);
        if (path.isEmpty() || !srcModel)
            continue;
        const QModelIndex item = srcModel->indexForPath(path);
        if (!item.isValid()) {
            logPrintf(LogNfo1, "not fetched: %s", qUtf8Printable(path));
            continue;
        }
        if (source == d->peer && item.parent().data(VfsModel::PathRole).toString() == request.dstPath) {
            logPrintf(LogNfo1, "\tsame directory, ignore");
            continue;
        }
        VfsCopyItem copyItem;
        copyItem.path = item.data(VfsModel::PathRole).toString();
        if (copyItem.path.isEmpty())
            continue;
        copyItem.size = item.data(VfsModel::SizeRole).toULongLong();
        copyItem.type = item.data(VfsModel::TypeRole).toInt();
        copyItem.atime = item.data(VfsModel::ATimeRole).toDateTime().toMSecsSinceEpoch();
        copyItem.ctime = item.data(VfsModel::CTimeRole).toDateTime().toMSecsSinceEpoch();
        copyItem.mtime = item.data(VfsModel::MTimeRole).toDateTime().toMSecsSinceEpoch();
        copyItem.fileId = item.data(VfsModel::IdRole).toULongLong();
        request.items.push_back(copyItem);
    }
    if (!request.items.empty()) {
        const bool moveAllowed = request.srcPeerUuid == request.dstPeerUuid;
        int code = 0;
        if (dropChooser()) {
            code = dropChooser()(moveAllowed);
        } else {
            QMenu menu;
            menu.setTitle(tr("Select action"));
            // A drag moves within one computer only; where it cannot, the entry says what
            // moves between computers.
            const QAction *moveTo = FilerActions::action(QStringLiteral("filer.move-to"));
            QAction *move = menu.addAction(
                moveAllowed ? qtTrId("action-move-here")
                            : qtTrId("action-move-here-between")
                                  .arg(qtTrId("action-move-to"), moveTo->shortcut().toString(QKeySequence::NativeText)));
            move->setEnabled(moveAllowed);
            QAction *copy = menu.addAction(qtTrId("action-copy-here"));
            QAction *chosen = menu.exec(QCursor::pos());
            code = chosen == copy ? 0x0D : chosen == move ? 0x0F : 0;
        }
        logPrintf(LogNfo1, "FSO action 0x%02X on %d items", code, int(request.items.size()));
        bool started = false;
        if (code == 0x0D)
            started = d->vfsManager->copy(request) != nullptr;
        else if (code == 0x0F && moveAllowed)
            started = d->vfsManager->move(request) != nullptr;
        if (code != 0 && !started)
            showStatusMessage(d->vfsManager->lastRefusal() == VfsManager::IntoItself ? qtTrId("copy-error-into-itself")
                                                                                     : qtTrId("filer-status-unsupop"), 5000);
        return finish(code == 0, started);
    }
    if (!d->peer->isLocal())
        return finish(true);

    // From another program onto this computer: an image carried as bytes becomes a file.
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty())
        return finish(true);
    if (urls.first().scheme().startsWith(QLatin1String("http"))) {
        logPrintf(LogNfo1, "downloading not supported yet for: %s", qUtf8Printable(urls.first().toString()));
        return finish(true);
    }
    QString fileName = urls.first().fileName(QUrl::FullyDecoded);
    if (fileName.isEmpty() || !isValidItemName(fileName))
        return finish(true);
    bool handled = false;
    if (!data->hasImage() && data->hasFormat(QStringLiteral("application/octet-stream"))) {
        const QByteArray bytes = data->data(QStringLiteral("application/octet-stream"));
        const QMimeType mime = QMimeDatabase().mimeTypeForData(bytes);
        logPrintf(LogNfo1, "data mime: %s", qUtf8Printable(mime.name()));
        if (mime.name().startsWith(QLatin1String("image/"))) {
            const QString suffix = mime.preferredSuffix();
            QImage image;
            image.loadFromData(bytes);
            if (!fileName.endsWith(QLatin1Char('.') + suffix, Qt::CaseInsensitive))
                fileName += QLatin1Char('.') + suffix;
            if (!image.isNull()) {
                // Never over an existing file: the next free name instead.
                const QString dir = request.dstPath;
                QString name = fileName;
                const QString base = QFileInfo(fileName).completeBaseName();
                for (int n = 2; QFileInfo::exists(dir + QLatin1Char('/') + name); ++n)
                    name = QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(suffix);
                QImageWriter writer(dir + QLatin1Char('/') + name);
                writer.setFormat(suffix.toLatin1());
                handled = writer.write(image);
            }
        }
    }
    return finish(!handled, handled);
}

#include "filer/filerviewdrag.h"

#include "app/base/log.h"
#include "filer/filer.h"
#include "filer/filerdelegates.h"
#include "peers/ipeer.h"
#include "vfs/jobs/vfscopydto.h"
#include "vfs/models/vfsmodel.h"

#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QDrag>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QUrl>

namespace {

const QString kPeerUuidFormat = QStringLiteral("application/nusk-peer-uuid");

FilerViewDrag::Executor &executor()
{
    static FilerViewDrag::Executor exec;
    return exec;
}


QString peerUuidOf(const QAbstractItemModel *model)
{
    const VfsModel *vfs = vfsModelOf(model);
    return vfs && vfs->peer() ? vfs->peer()->uuid() : QString();
}

// A URL's path on its peer: local-file URLs of drive paths ("/C:/x") lose the leading slash.
QString peerPathOfUrl(const QUrl &url)
{
    if (!url.isLocalFile())
        return QString();
    QString path = url.toLocalFile();
    if (path.size() > 2 && path.at(2) == QLatin1Char(':') && path.at(0) == QLatin1Char('/'))
        path.remove(0, 1);
    return path;
}

} // namespace

VfsModel *vfsModelOf(const QAbstractItemModel *model)
{
    QAbstractItemModel *m = const_cast<QAbstractItemModel *>(model);
    while (auto *proxy = qobject_cast<QAbstractProxyModel *>(m))
        m = proxy->sourceModel();
    return qobject_cast<VfsModel *>(m);
}

void clearDropMark(VfsModel *model, const QString &path)
{
    if (!model || path.isEmpty())
        return;
    const QModelIndex index = model->indexForPath(path);
    if (!index.isValid())
        return;
    const int flags = index.data(VfsModel::FlagsRole).toInt();
    if (flags & VfsModel::DropTargetFlag)
        model->setData(index, flags & ~int(VfsModel::DropTargetFlag), VfsModel::FlagsRole);
}

QMimeData *makeFileDragData(const QString &peerUuid, const QStringList &paths)
{
    auto *data = new QMimeData;
    data->setData(kPeerUuidFormat, peerUuid.toLatin1());
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    data->setUrls(urls);
    return data;
}

bool readFileDragData(const QMimeData *data, QString *peerUuid, QStringList *paths)
{
    if (!data || !data->hasFormat(kPeerUuidFormat))
        return false;
    const QByteArray raw = data->data(kPeerUuidFormat);
    *peerUuid = QString::fromUtf8(raw.left(raw.indexOf('\0') < 0 ? raw.size() : raw.indexOf('\0')));
    paths->clear();
    for (const QUrl &url : data->urls()) {
        const QString path = peerPathOfUrl(url);
        if (!path.isEmpty())
            paths->append(path);
    }
    return true;
}

bool attachFileDragData(QDrag *drag, QAbstractItemView *view)
{
    if (!view || !view->model() || !view->selectionModel())
        return false;
    const QString uuid = peerUuidOf(view->model());
    if (uuid.isEmpty())
        return false;
    QStringList paths;
    for (const QModelIndex &index : view->selectionModel()->selectedIndexes()) {
        if (index.column() != 0)
            continue;
        const QString path = index.data(VfsModel::PathRole).toString();
        if (!path.isEmpty())
            paths.append(path);
    }
    if (paths.isEmpty())
        return false;
    drag->setMimeData(makeFileDragData(uuid, paths));
    drag->mimeData()->setProperty("_drag", QVariant::fromValue<QObject *>(drag));
    return true;
}

void FilerViewDrag::setExecutor(Executor exec)
{
    executor() = std::move(exec);
}

FilerViewDrag::FilerViewDrag(QAbstractItemView *view, std::function<void(const QString &)> clearTarget)
    : m_view(view)
    , m_clearTarget(std::move(clearTarget))
{
}

bool FilerViewDrag::start(Filer *filer)
{
    if (!m_view->selectionModel())
        return false;
    auto *drag = new QDrag(m_view);
    logPrintf(LogDbg1, "drag starts mime: %p", static_cast<void *>(drag));
    const QModelIndexList selected = m_view->selectionModel()->selectedIndexes();
    drag->setPixmap(createDragPixmap(m_view, selected));
    if (filer)
        filer->createDragMimeData(drag);
    else
        attachFileDragData(drag, m_view);
    // Nothing to carry (no selection, or nothing with a path): no drag at all, so nothing
    // empty ever reaches a drop target or another program.
    if (!drag->mimeData() || drag->mimeData()->urls().isEmpty()) {
        delete drag;
        return false;
    }
    QObject::connect(drag, &QObject::destroyed, m_view, [this] {
        if (!m_path.isEmpty())
            m_clearTarget(m_path);
        clear();
    });
    if (executor())
        executor()(drag);
    else
        drag->exec(Qt::CopyAction);
    drag->deleteLater();
    return true;
}

void FilerViewDrag::track(const QModelIndex &under, bool folderAllowed, const QMimeData *data)
{
    const bool same = under.row() == m_index.row() && under.column() == m_index.column()
                      && under.internalId() == m_index.internalId() && under.model() == m_index.model();
    if (!same && !m_path.isEmpty())
        m_clearTarget(m_path);

    QModelIndex target;
    if (under.isValid()) {
        const bool folder = under.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType;
        QString srcPeer;
        QStringList dragged;
        bool intoItself = false;
        if (folder && readFileDragData(data, &srcPeer, &dragged) && srcPeer == peerUuidOf(under.model())) {
            const QString path = under.data(VfsModel::PathRole).toString();
            for (const QString &p : qAsConst(dragged))
                intoItself = intoItself || vfsPathIsSameOrBelow(path, p);
        }
        if (intoItself) {
            target = QModelIndex();
        } else if (folder && folderAllowed) {
            const int flags = under.data(VfsModel::FlagsRole).toInt();
            m_view->model()->setData(under, flags | VfsModel::DropTargetFlag, VfsModel::FlagsRole);
            target = under;
        } else {
            target = under.parent();
            logPrintf(LogDbg1, "drag move, drop target: %s", qUtf8Printable(target.data(VfsModel::PathRole).toString()));
        }
    } else {
        target = m_view->rootIndex();
    }
    m_index = target;
    m_path = target.model() ? target.data(VfsModel::PathRole).toString() : QString();
}

void FilerViewDrag::drop(Filer *filer, QDropEvent *event)
{
    bool done = false;
    if (!m_path.isEmpty()) {
        if (filer)
            done = filer->handleDrop(event, m_path);
        else
            m_clearTarget(m_path);
    }
    clear();
    // Only a drop that started something is accepted, and always as a copy: the source
    // program must never delete its originals on our account.
    if (done) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void FilerViewDrag::clear()
{
    m_index = QPersistentModelIndex();
    m_path.clear();
}

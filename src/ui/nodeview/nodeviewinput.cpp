// Direct input of the node view: drops that become nodes, right-button swipes that open the
// selected node in a file pane, and Backspace, which deletes the selected nodes.

#include "ui/nodeview/nodeview.h"

#include "app/base/log.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/nodeview/noderelations.h"
#include "ui/nodeview/nodeview_p.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QQmlEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUrl>

#include <cmath>

namespace {

const QString kPeerUuidFormat = QStringLiteral("application/nusk-peer-uuid");
const QString kBreadcrumbFormat = QStringLiteral("application/nusk-breadcrumb");

QString textUpToZero(const QByteArray &raw)
{
    const int end = raw.indexOf('\0');
    return QString::fromUtf8(end < 0 ? raw : raw.left(end));
}

IPeer *peerFor(const QString &uuid)
{
    PeerModel *model = PeerModel::instance();
    return model && !uuid.isEmpty() ? model->getPeerForUuid(uuid) : nullptr;
}

// Swipe thresholds in pixels: far enough along one axis, close enough on the other.
constexpr int kSwipeMin = 50;
constexpr int kSwipeSlack = 29;

} // namespace

void NodeView::dragEnterEvent(QDragEnterEvent *event)
{
    QQuickWidget::dragEnterEvent(event);
    event->ignore();
    d->dragPeerUuid.clear();
    d->dragPath.clear();
    const QMimeData *data = event->mimeData();
    if (!data)
        return;
    logPrintf(LogDbg1, "action: %d, proposed: %d", int(event->possibleActions()), int(event->proposedAction()));
    for (const QString &format : data->formats())
        logPrintf(LogDbg1, "fmt: %s, data.size: %d", qUtf8Printable(format), data->data(format).size());

    d->dragPeerUuid = data->hasFormat(kPeerUuidFormat) ? textUpToZero(data->data(kPeerUuidFormat)) : nullUuidString();
    logPrintf(LogDbg1, "peer uuid %s", qUtf8Printable(d->dragPeerUuid));
    if (data->hasFormat(kBreadcrumbFormat))
        d->dragPath = textUpToZero(data->data(kBreadcrumbFormat));
    IPeer *peer = peerFor(d->dragPeerUuid);
    if (!peer) {
        logPrintf(LogDbg1, "reject drag, unknown peer uuid %s", qUtf8Printable(d->dragPeerUuid));
        return;
    }
    if (data->hasUrls()) {
        for (const QUrl &url : data->urls()) {
            logPrintf(LogDbg1, "url %s", qUtf8Printable(url.toString()));
            if (d->dragPath.isEmpty() && url.isLocalFile()) {
                QString path = url.toLocalFile();
                if (path.size() > 2 && path.startsWith(QLatin1Char('/')) && path.at(2) == QLatin1Char(':'))
                    path = path.mid(1);
                d->dragPath = path;
            }
        }
    }
    d->dragPath = normalizeNodePath(d->dragPath);
    if (!d->dragPath.isEmpty()) {
        if (auto *files = qobject_cast<VfsModel *>(peer->vfsFileSystemModel())) {
            const QModelIndex index = files->indexForPath(d->dragPath);
            if (!index.isValid()) {
                files->resolvePath(d->dragPath, true);
            } else {
                const QString own = index.data(VfsModel::PathRole).toString();
                if (!own.isEmpty())
                    d->dragPath = own;
            }
        }
    }
    if (!d->dragPeerUuid.isEmpty())
        event->acceptProposedAction();
}

void NodeView::dropEvent(QDropEvent *event)
{
    QObject *styleSource = themeNodeStyles();
    VSector *view = currentSector();
    IPeer *peer = peerFor(d->dragPeerUuid);
    if (!view || !view->page || !peer) {
        QQuickWidget::dropEvent(event);
        return;
    }
    const double x = std::round(view->page->property("contentX").toDouble() + event->posF().x());
    const double y = std::round(view->page->property("contentY").toDouble() + event->posF().y());
    QQuickItem *made = nullptr;
    if (d->dragPath.isEmpty()) {
        const bool present = std::any_of(view->nodes.begin(), view->nodes.end(),
                                         [&](const VNode &n) { return isPeerNode(n, d->dragPeerUuid); });
        if (!present) {
            made = createNode(*view, {newUuidString(), d->dragPeerUuid, view->uuid, peer->name(), QStringLiteral("style0"),
                               QStringLiteral("%"), QStringLiteral("peer"),
                               QStringLiteral("image://theme/icon/") + peer->icon() + QStringLiteral(".svg"), 0, x, y},
                       styleSource);
            logPrintf(LogNfo2, "drop peer %s", qUtf8Printable(d->dragPeerUuid));
        }
    } else if (std::any_of(view->nodes.begin(), view->nodes.end(), [&](const VNode &n) {
                   return n.peerUuid == d->dragPeerUuid && n.path == d->dragPath;
               })) {
        logPrintf(LogNfo2, "dropped peer.uuid %s, %s already exist in view", qUtf8Printable(d->dragPeerUuid),
                  qUtf8Printable(d->dragPath));
    } else {
        auto *files = qobject_cast<VfsModel *>(peer->vfsFileSystemModel());
        const QModelIndex index = files ? files->indexForPath(d->dragPath) : QModelIndex();
        if (!index.isValid()) {
            logPrintf(LogNfo2, "ignore drop with invalid vfs index for %s", qUtf8Printable(d->dragPath));
        } else {
            const int type = index.data(VfsModel::TypeRole).toInt();
            if (type == 1) {
                auto *drives = qobject_cast<VfsDriveModel *>(peer->vfsDriveModel());
                const QModelIndex drive = drives ? drives->indexForPath(d->dragPath) : QModelIndex();
                // A drive the drive list does not show yet keeps its path as its name.
                const QString name = drive.isValid() ? driveNodeName(drives, d->dragPath) : d->dragPath;
                const QString icon = drive.isValid()
                                         ? QStringLiteral("image://theme/") + drive.data(VfsDriveModel::IconNameRole).toString()
                                         : QStringLiteral("image://theme/icon/drive-disk.svg");
                made = createNode(*view, {newUuidString(), d->dragPeerUuid, view->uuid, name, QStringLiteral("drive0"),
                                          d->dragPath, QStringLiteral("drive"), icon, 0, x, y},
                                  styleSource);
            } else if (type == 2) {
                made = createNode(*view, {newUuidString(), d->dragPeerUuid, view->uuid,
                                          index.data(VfsModel::NameRole).toString(), QStringLiteral("style0"),
                                          d->dragPath, QStringLiteral("directory"), QString(), 0, x, y},
                                  styleSource);
            } else if (type != 3) {
                logPrintf(LogNfo2, "unsupported drop type: %d", type);
            }
            if (made)
                logPrintf(LogNfo2, "drop item %s, %s", qUtf8Printable(d->dragPeerUuid), qUtf8Printable(d->dragPath));
        }
    }
    if (made) {
        moveClearOfLinks(*view, made);
        updateNodeRelations(*view);
        scheduleSave();
    }
    QQuickWidget::dropEvent(event);
    if (made)
        event->acceptProposedAction();
}

void NodeView::mousePressEvent(QMouseEvent *event)
{
    if (event->buttons() & Qt::RightButton) {
        d->pressX = int(std::lround(event->localPos().x()));
        d->pressY = int(std::lround(event->localPos().y()));
    }
    QQuickWidget::mousePressEvent(event);
}

void NodeView::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() & Qt::RightButton)
        return;
    QQuickWidget::mouseMoveEvent(event);
}

void NodeView::mouseReleaseEvent(QMouseEvent *event)
{
    QQuickWidget::mouseReleaseEvent(event);
    setFocus();
    if (event->button() != Qt::RightButton || (d->pressX == 0 && d->pressY == 0))
        return;
    const int dx = int(std::lround(event->localPos().x())) - d->pressX;
    const int dy = int(std::lround(event->localPos().y())) - d->pressY;
    logPrintf(LogDbg1, "manhatten length: %d, %d %d", std::abs(dx) + std::abs(dy), dx, dy);
    d->pressX = d->pressY = 0;
    const bool down = std::abs(dx) <= kSwipeSlack && dy > kSwipeMin;
    const bool left = dx < -kSwipeMin && std::abs(dy) <= kSwipeSlack;
    if (!down && !left)
        return;
    const VNode *selected = nullptr;
    if (VSector *view = currentSector()) {
        for (const VNode &node : view->nodes) {
            if (node.item && node.item->property("selected").toBool()) {
                selected = &node;
                break;
            }
        }
    }
    if (down)
        emit activateAlternateFilerpane();
    if (selected) {
        const VNode node = *selected;
        openNode(node);
    }
}

bool NodeView::editorHasFocus() const
{
    QQuickItem *focus = quickWindow() ? quickWindow()->activeFocusItem() : nullptr;
    return focus && focus->isVisible() && (focus->inherits("QQuickTextInput") || focus->inherits("QQuickTextEdit"));
}

// A node dropped onto the views' links in the top corner goes below them, where it can be
// seen and grabbed; the room above a node holds its computer's name.
void NodeView::moveClearOfLinks(VSector &view, QQuickItem *item)
{
    constexpr qreal kLabelRoom = 24;
    const QPointF origin(view.page->property("contentX").toDouble(), view.page->property("contentY").toDouble());
    const QRectF node(item->position() - origin - QPointF(0, kLabelRoom),
                      QSizeF(item->width(), item->height() + kLabelRoom));
    qreal below = -1;
    for (const VNode &link : d->linkLayer.nodes) {
        if (link.item && QRectF(link.item->position(), link.item->size()).intersects(node))
            below = std::max(below, link.item->y() + link.item->height());
    }
    if (below >= 0)
        item->setY(std::round(origin.y() + below + kLabelRoom + 8));
}

void NodeView::keyReleaseEvent(QKeyEvent *event)
{
    // Backspace and Delete edit text while a name is being edited; they delete nodes only
    // otherwise.
    const bool deleteKey = event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete;
    if (deleteKey && !editorHasFocus()) {
        logPrintf(LogNfo2, "delete selected nodes");
        if (VSector *view = currentSector()) {
            deleteSelectedNodes(*view);
            updateNodeRelations(*view);
        }
        return;
    }
    logPrintf(LogDbg1, "NodeView key released %d", event->key());
    QQuickWidget::keyReleaseEvent(event);
}

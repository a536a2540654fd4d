// Nodes: making them from rows, the default nodes of a first view, relations between a
// computer and its drives and folders, the slow visitor, drive and watcher updates, styles,
// growing pages and deleting nodes.

#include "ui/nodeview/nodeview.h"

#include "app/base/log.h"
#include "db/idatabase.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/nodeview/noderelations.h"
#include "ui/nodeview/nodeview_p.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsmodel.h"

#include <QDir>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QStandardPaths>
#include <QTimer>

#include <cmath>

namespace {

IPeer *peerFor(const QString &uuid)
{
    PeerModel *model = PeerModel::instance();
    return model ? model->getPeerForUuid(uuid) : nullptr;
}

VfsModel *fileModelOf(IPeer *peer)
{
    return peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr;
}

VfsDriveModel *driveModelOf(IPeer *peer)
{
    return peer ? qobject_cast<VfsDriveModel *>(peer->vfsDriveModel()) : nullptr;
}

QString qmlFileOf(const QString &type)
{
    if (type == QLatin1String("drive"))
        return QStringLiteral("qrc:/qml/DriveNode.qml");
    if (type == QLatin1String("directory") || type == QLatin1String("network"))
        return QStringLiteral("qrc:/qml/DirectoryNode.qml");
    if (type == QLatin1String("peer"))
        return QStringLiteral("qrc:/qml/PeerNode.qml");
    if (type == QLatin1String("sector"))
        return QStringLiteral("qrc:/qml/SectorNode.qml");
    return QString();
}

QObject *styleFor(const QString &style, QObject *source)
{
    if (!source || style.startsWith(QLatin1Char('#')))
        return nullptr;
    if (!style.startsWith(QLatin1String("style")) && !style.startsWith(QLatin1String("special")))
        return nullptr;
    QObject *object = source->property(style.toLatin1().constData()).value<QObject *>();
    return object ? object : source->property("style0").value<QObject *>();
}

} // namespace

QString driveNodeName(const VfsDriveModel *drives, const QString &path)
{
    const QModelIndex index = drives->indexForPath(path);
    const QString name = index.data(VfsDriveModel::NameRole).toString();
    return name.isEmpty() ? index.data(VfsDriveModel::DisplayNameRole).toString() : name;
}

QQuickItem *NodeView::createNode(VSector &view, const VnodeDto &row, QObject *styleSource)
{
    const QString file = qmlFileOf(row.type);
    if (file.isEmpty()) {
        logPrintf(LogErr1, "node view: no item for node type %s", qUtf8Printable(row.type));
        return nullptr;
    }
    VNode node;
    node.peerUuid = row.peerUuid;
    node.uuid = row.uuid;
    node.path = row.path;
    node.fileId = row.fileId;
    node.type = row.type;
    node.icon = row.icon;
    node.sectorUuid = view.uuid;

    QObject *style = styleFor(row.style, styleSource);
    IPeer *peer = peerFor(row.peerUuid);

    QQmlComponent *&component = d->nodeComponents[file];
    if (!component)
        component = new QQmlComponent(engine(), QUrl(file), this);
    auto *item = qobject_cast<QQuickItem *>(component->create());
    if (!item) {
        logPrintf(LogErr1, "node item %s: %s", qUtf8Printable(file), qUtf8Printable(component->errorString()));
        return nullptr;
    }
    QQmlEngine::setObjectOwnership(item, QQmlEngine::CppOwnership);
    item->setParent(this);
    // On a page the nodes live in the flickable's content, so they pan with it.
    QQuickItem *visualParent = view.page;
    if (view.page && view.page->property("contentItem").value<QQuickItem *>())
        visualParent = view.page->property("contentItem").value<QQuickItem *>();
    item->setParentItem(visualParent);

    if (row.type == QLatin1String("drive")) {
        if (VfsDriveModel *drives = driveModelOf(peer)) {
            const VfsDrive drive = drives->driveForPath(row.path);
            if (!drive.path.isEmpty())
                item->setProperty("totalSize", drive.totalSizeString());
        }
    }
    item->setProperty("x", row.x);
    item->setProperty("y", row.y);
    item->setProperty("uuid", row.uuid);
    item->setProperty("name", row.name);
    item->setProperty("icon", row.icon);
    item->setProperty("path", row.path);

    const QVariant peerValue = QVariant::fromValue<QObject *>(peer);
    if (row.type == QLatin1String("drive") || row.type == QLatin1String("directory")
        || row.type == QLatin1String("network")) {
        item->setProperty("peerUuid", row.peerUuid);
        item->setProperty("peer", peerValue);
        item->setProperty("type", row.type);
        connect(item, SIGNAL(nodeDoubleClicked(QString, QString)), this, SIGNAL(nodeDoubleClicked(QString, QString)));
        connect(item, SIGNAL(nodeClicked()), this, SLOT(nodeClicked()));
        connect(item, SIGNAL(nodeAlternateClicked()), this, SIGNAL(activateAlternateFilerpane()));
        connect(item, SIGNAL(contextMenuRequest()), this, SLOT(nodeContextMenuRequest()));
    } else if (row.type == QLatin1String("peer")) {
        // The computer node shows its computer's state: it needs to know which computer.
        item->setProperty("peerUuid", row.peerUuid);
        item->setProperty("peer", peerValue);
        item->setProperty("type", row.type);
        connect(item, SIGNAL(nodeAlternateClicked()), this, SIGNAL(activateAlternateFilerpane()));
        connect(item, SIGNAL(nodeClicked()), this, SLOT(nodeClicked()));
        connect(item, SIGNAL(nodeDoubleClicked(QString)), this, SIGNAL(peerClicked(QString)));
        connect(item, SIGNAL(contextMenuRequest()), this, SLOT(nodeContextMenuRequest()));
    } else {
        item->setProperty("sectorUuid", row.sectorUuid);
        connect(item, SIGNAL(nodeClicked()), this, SLOT(sectorNodeClicked()));
        connect(item, SIGNAL(contextMenuRequest()), this, SLOT(sectorContextMenuRequest()));
        connect(item, SIGNAL(editStateChanged()), this, SLOT(onSectorNameEdited()));
    }
    if (style && row.type != QLatin1String("peer"))
        item->setProperty("style", QVariant::fromValue(style));

    connect(item, &QQuickItem::xChanged, this, &NodeView::onNodeMoved);
    connect(item, &QQuickItem::yChanged, this, &NodeView::onNodeMoved);
    if (row.type != QLatin1String("sector")) {
        connect(item, SIGNAL(styleChanged()), this, SLOT(scheduleSave()));
        connect(item, SIGNAL(iconChanged()), this, SLOT(scheduleSave()));
        connect(item, SIGNAL(nameChanged()), this, SLOT(scheduleSave()));
    }
    node.item = item;
    view.nodes.push_back(node);
    connectPeerModels(row.peerUuid);
    if (peer && row.type != QLatin1String("sector")) {
        item->setProperty("linkState", peer->linkState());
        item->setProperty("peerDisplayName", peer->displayName());
    }
    return item;
}

void NodeView::showPeerState(const QString &peerUuid)
{
    IPeer *peer = peerFor(peerUuid);
    if (!peer)
        return;
    const int state = peer->linkState();
    const QString name = peer->displayName();
    for (VSector &view : d->views) {
        for (VNode &node : view.nodes) {
            if (node.item && node.peerUuid == peerUuid) {
                node.item->setProperty("linkState", state);
                node.item->setProperty("peerDisplayName", name);
            }
        }
    }
}

void NodeView::connectPeerModels(const QString &peerUuid)
{
    if (d->connectedPeers.contains(peerUuid))
        return;
    IPeer *peer = peerFor(peerUuid);
    if (!peer)
        return;   // a computer not (yet) known is connected when one of its nodes is made later
    d->connectedPeers.append(peerUuid);
    // The computer lives on the network thread; its changes arrive queued and are copied into
    // the items, which must not bind to it.
    connect(peer, &IPeer::linkStateChanged, this, [this, peerUuid] { showPeerState(peerUuid); });
    connect(peer, &IPeer::displayNameChanged, this, [this, peerUuid] { showPeerState(peerUuid); });
    if (VfsDriveModel *drives = driveModelOf(peer))
        connect(drives, &QAbstractItemModel::rowsInserted, this, &NodeView::driveRowsInserted);
    if (VfsModel *files = fileModelOf(peer))
        connect(files, &VfsModel::foundWatchItem, this, &NodeView::onFoundWatchItem);
}

void NodeView::initDefaultNodes()
{
    IPeer *local = peerFor(nullUuidString());
    VfsDriveModel *drives = driveModelOf(local);
    if (!local || local->linkState() != IPeer::LinkUp || local->name().isEmpty() || !drives || drives->rowCount() < 1) {
        logPrintf(LogNfo2, "nodeview: delay init default nodes");
        QTimer::singleShot(500, this, &NodeView::initDefaultNodes);
        return;
    }
    if (d->views.empty() || !d->views.front().page)
        return;
    VSector &view = d->views.front();
    const double ox = view.page->property("contentX").toDouble();
    const double oy = view.page->property("contentY").toDouble();
    QObject *styleSource = themeNodeStyles();
    struct Standard {
        QStandardPaths::StandardLocation location;
        const char *icon;
        int dx, dy;
    };
    const Standard standards[] = {
        {QStandardPaths::HomeLocation, "image://theme/icon/dev-local.svg", 280, 400},
        {QStandardPaths::DesktopLocation, "", 340, 332},
        {QStandardPaths::DownloadLocation, "", 350, 280},
        {QStandardPaths::PicturesLocation, "", 420, 330},
        {QStandardPaths::DocumentsLocation, "", 420, 400},
        {QStandardPaths::MusicLocation, "", 420, 496},
        {QStandardPaths::MoviesLocation, "", 300, 520},
    };
    for (const Standard &s : standards) {
        const QString path = QStandardPaths::writableLocation(s.location);
        if (path.isEmpty() || !QFileInfo(path).isDir())
            continue;
        const QString name = s.location == QStandardPaths::HomeLocation ? QDir(path).dirName()
                                                                        : QStandardPaths::displayName(s.location);
        if (QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size() < 5)
            continue;
        createNode(view, {newUuidString(), nullUuidString(), view.uuid, name, QStringLiteral("node0"), path,
                          QStringLiteral("directory"), QString::fromLatin1(s.icon), 0, ox + s.dx, oy + s.dy},
                   styleSource);
        logPrintf(LogNfo2, "standard path: %s, display name: %s", qUtf8Printable(path), qUtf8Printable(name));
    }
    createNode(view, {newUuidString(), nullUuidString(), view.uuid, qtTrId("label-this-pc"), QStringLiteral("style0"),
                      QStringLiteral("%"), QStringLiteral("peer"),
                      QStringLiteral("image://theme/icon/") + local->icon() + QStringLiteral(".svg"), 0, ox + 100,
                      oy + 300},
               styleSource);
    updateNodeRelations(view);
    scheduleSave();
}

void NodeView::addNetworkNode()
{
    for (const VNode &node : d->linkLayer.nodes)
        if (node.path == QLatin1String("%machinelist"))
            return;
    createNode(d->linkLayer, {newUuidString(), nullUuidString(), d->linkLayer.uuid, qtTrId("place-network"),
                              QStringLiteral("special0"), QStringLiteral("%machinelist"), QStringLiteral("network"),
                              QStringLiteral("image://theme/icon/machine-list.svg"), 0, 32, 96},
               themeNodeStyles());
}

void NodeView::updateNodeRelations(VSector &view)
{
    std::vector<NodeRelationInput> input;
    input.reserve(view.nodes.size());
    for (VNode &node : view.nodes) {
        IPeer *peer = peerFor(node.peerUuid);
        if (node.item && peer && !qobject_cast<IPeer *>(node.item->property("peer").value<QObject *>()))
            node.item->setProperty("peer", QVariant::fromValue<QObject *>(peer));
        input.push_back({node.peerUuid, node.type, node.path, peer != nullptr});
    }
    const std::vector<NodeRelation> relations = computeNodeRelations(input);
    for (size_t a = 0; a < view.nodes.size(); ++a) {
        const NodeRelation &r = relations[a];
        VNode &node = view.nodes[a];
        if (!r.related || !node.item)
            continue;
        QQuickItem *parentItem = r.parent >= 0 ? view.nodes[size_t(r.parent)].item : nullptr;
        node.item->setProperty("hasChildren", r.hasChildren);
        if (!r.parentPath.isEmpty())
            logPrintf(LogNfo2, "%s is parent of %s", qUtf8Printable(r.parentPath), qUtf8Printable(node.path));
        if (r.indirect)
            logPrintf(LogNfo2, "no direct dir: %s", qUtf8Printable(node.path));
        node.item->setProperty("indirect", r.indirect);
        node.item->setProperty("parentDir", QVariant::fromValue(parentItem));
        IPeer *peer = peerFor(node.peerUuid);
        if (!parentItem && peer)
            node.item->setProperty("peerName", peer->displayName().isEmpty() ? peer->name() : peer->displayName());
    }
    cullNodes(view, true);
}

void NodeView::visitorTimerFired()
{
    if (d->views.empty())
        return;
    VSector &view = d->views[d->visitViewIndex % d->views.size()];
    if (view.nodes.empty() || d->visitNodeIndex >= view.nodes.size()) {
        d->visitNodeIndex = 0;
        d->visitViewIndex = unsigned((d->visitViewIndex + 1) % d->views.size());
        return;
    }
    VNode &node = view.nodes[d->visitNodeIndex % view.nodes.size()];
    logPrintf(LogNfo2, "visit (view[%u] node[%u]) %s : %s, peer: %s", d->visitViewIndex, d->visitNodeIndex,
              qUtf8Printable(view.name), qUtf8Printable(node.path), qUtf8Printable(node.peerUuid));
    IPeer *peer = peerFor(node.peerUuid);
    VfsModel *files = fileModelOf(peer);
    if (!peer || !files || peer->linkState() != IPeer::LinkUp || node.type != QLatin1String("directory")) {
        ++d->visitNodeIndex;
        return;
    }
    if (node.fileId != 0)
        files->watchEntry(node.path, node.fileId);
    const QModelIndex index = files->indexForPath(node.path);
    ++node.visitCount;
    node.lastVisit.restart();
    if (index.isValid()) {
        if (node.item && !node.item->property("reachable").toBool())
            node.item->setProperty("reachable", true);
        const quint64 id = index.data(VfsModel::IdRole).toULongLong();
        if (id != node.fileId)
            node.fileId = id;
    } else {
        logPrintf(LogNfo2, "\tresolve path %s", qUtf8Printable(node.path));
        files->cachedResolvePath(node.path);
        // A folder is only called unreachable once a look-up had time to answer.
        if (node.visitCount > 1 && node.item)
            node.item->setProperty("reachable", false);
    }
    ++d->visitNodeIndex;
}

void NodeView::driveRowsInserted(QModelIndex, int first, int)
{
    auto *model = qobject_cast<VfsDriveModel *>(sender());
    if (!model || model->objectName().isEmpty())
        return;
    IPeer *peer = peerFor(model->objectName());
    if (!peer)
        return;
    const QModelIndex row = model->index(first, 0);
    const QString drivePath = row.data(VfsDriveModel::PathRole).toString();
    const QString icon = QStringLiteral("image://theme/") + row.data(VfsDriveModel::IconNameRole).toString();
    VfsModel *files = fileModelOf(peer);
    for (VSector &view : d->views) {
        for (VNode &node : view.nodes) {
            if (!node.item || node.peerUuid != peer->uuid())
                continue;
            const VfsDrive drive = model->driveForPath(node.path);
            if (drive.path.isEmpty())
                continue;
            if (node.type == QLatin1String("drive") && node.path == drivePath) {
                node.item->setProperty("name", driveNodeName(model, drivePath));
                node.item->setProperty("totalSize", drive.totalSizeString());
                node.item->setProperty("icon", icon);
            } else if (node.type == QLatin1String("directory") && !node.watched && node.fileId != 0 && files) {
                node.watched = true;
                files->watchEntry(node.path, node.fileId);
            }
            logPrintf(LogNfo2, "drive data changed %s %s ", qUtf8Printable(node.path),
                      qUtf8Printable(model->objectName()));
        }
    }
}

void NodeView::onFoundWatchItem(QString path, qulonglong fileId, QString watchPath)
{
    auto *files = qobject_cast<VfsModel *>(sender());
    IPeer *peer = files ? files->peer() : nullptr;
    if (!peer)
        return;
    for (VSector &view : d->views) {
        bool changed = false;
        for (VNode &node : view.nodes) {
            if (node.peerUuid != peer->uuid() || node.fileId != fileId || node.path != watchPath
                || node.type != QLatin1String("directory"))
                continue;
            if (files->indexForPath(watchPath).isValid() || path == watchPath)
                continue;
            logPrintf(LogNfo2, "node path changed: %s -> %s", qUtf8Printable(watchPath), qUtf8Printable(path));
            const QModelIndex index = files->indexForPath(path);
            if (!index.isValid())
                continue;
            node.path = path;
            if (node.item) {
                node.item->setProperty("name", index.data(VfsModel::NameRole).toString());
                node.item->setProperty("path", path);
            }
            changed = true;
            files->unwatchEntry(watchPath, fileId);
            files->watchEntry(path, fileId);
        }
        if (changed) {
            updateNodeRelations(view);
            scheduleSave();
        }
    }
}

void NodeView::onPeerModelChanged()
{
    for (VSector &view : d->views)
        updateNodeRelations(view);
    PeerModel *model = PeerModel::instance();
    if (!model)
        return;
    for (int row = 0; row < model->rowCount(); ++row) {
        if (IPeer *peer = model->getPeerForRow(row)) {
            disconnect(peer, &IPeer::nameChanged, this, &NodeView::onPeerNameChanged);
            connect(peer, &IPeer::nameChanged, this, &NodeView::onPeerNameChanged);
            connectPeerModels(peer->uuid());
        }
    }
}

void NodeView::onPeerNameChanged()
{
    for (VSector &view : d->views)
        updateNodeRelations(view);
}

void NodeView::onNodeStyleSelected(QVariant var)
{
    QObject *style = var.value<QObject *>();
    VSector *view = currentSector();
    if (!style || !view)
        return;
    for (VNode &node : view->nodes)
        if (node.item && node.item->property("selected").toBool())
            node.item->setProperty("style", QVariant::fromValue(style));
    scheduleSave();
}

void NodeView::onNodeMoved()
{
    if (auto *item = qobject_cast<QQuickItem *>(sender())) {
        item->setProperty("inView", true);
        item->setProperty("lineInView", true);
    }
    d->rescaleCountdown = 2;
    if (d->rescaleTimer && !d->rescaleTimer->isActive())
        d->rescaleTimer->start();
    scheduleSave();
}

void NodeView::rescaleViewTimerFired()
{
    if (d->rescaleCountdown <= 0)
        return;
    if (--d->rescaleCountdown > 0) {
        d->rescaleTimer->start();
        return;
    }
    logPrintf(LogNfo2, "rescale view");
    for (VSector &view : d->views)
        cullNodes(view, true);
    for (VSector &view : d->views) {
        if (!view.page || view.nodes.empty())
            continue;   // a page without nodes never changes
        double minX = 999999, minY = 999999, maxX = 0, maxY = 0;
        for (const VNode &node : view.nodes) {
            if (!node.item)
                continue;
            minX = std::min(minX, node.item->x());
            minY = std::min(minY, node.item->y());
            maxX = std::max(maxX, node.item->x());
            maxY = std::max(maxY, node.item->y());
        }
        const double w = maxX - minX, h = maxY - minY;
        const double cx = view.page->property("contentX").toDouble();
        const double cy = view.page->property("contentY").toDouble();
        const double cw = view.page->property("contentWidth").toDouble();
        const double ch = view.page->property("contentHeight").toDouble();
        if (w + 2048 <= cw && h + 2048 <= ch)
            continue;
        const double dx = 2048 - minX, dy = 2048 - minY;
        logPrintf(LogNfo2, "update view size (%f, %f)", w + 4096, h + 4096);
        view.page->setProperty("contentWidth", w + 4096);
        view.page->setProperty("contentHeight", h + 4096);
        view.page->setProperty("contentX", cx + dx);
        view.page->setProperty("contentY", cy + dy);
        for (VNode &node : view.nodes)
            if (node.item)
                node.item->setPosition(node.item->position() + QPointF(dx, dy));
        logPrintf(LogNfo2, "update dx,dy (%f, %f)", dx, dy);
    }
}

void NodeView::deleteSelectedNodes(VSector &view)
{
    for (size_t i = 0; i < view.nodes.size();) {
        VNode &node = view.nodes[i];
        if (!node.item || !node.item->property("selected").toBool()) {
            ++i;
            continue;
        }
        deleteStoredNode(node, d->database);
        node.item->deleteLater();
        node = view.nodes.back();
        view.nodes.pop_back();
    }
}

namespace {
// Nodes this far outside the shown part are not drawn; panning redraws the marks only after
// moving half of it.
constexpr double kCullMargin = 600;
} // namespace

void NodeView::onPageMoved()
{
    if (VSector *view = findSector(qobject_cast<QQuickItem *>(sender())))
        cullNodes(*view, false);
}

void NodeView::cullNodes(VSector &view, bool force)
{
    if (!view.page || view.page == d->linkLayer.page)
        return;
    const QPointF origin(view.page->property("contentX").toDouble(), view.page->property("contentY").toDouble());
    auto last = d->culledAt.find(view.page);
    if (!force && last != d->culledAt.end() && std::abs(last->x() - origin.x()) < kCullMargin / 2
        && std::abs(last->y() - origin.y()) < kCullMargin / 2)
        return;
    d->culledAt.insert(view.page, origin);
    const QRectF area = QRectF(origin, QSizeF(view.page->width(), view.page->height()))
                            .adjusted(-kCullMargin, -kCullMargin, kCullMargin, kCullMargin);
    for (VNode &node : view.nodes) {
        if (!node.item)
            continue;
        const QRectF own(node.item->position(), node.item->size());
        const bool inView = area.intersects(own);
        QQuickItem *parent = node.item->property("parentDir").value<QQuickItem *>();
        const bool lineInView = parent && area.intersects(own.united(QRectF(parent->position(), parent->size())));
        if (node.item->property("inView").toBool() != inView)
            node.item->setProperty("inView", inView);
        if (parent && node.item->property("lineInView").toBool() != lineInView)
            node.item->setProperty("lineInView", lineInView);
    }
}

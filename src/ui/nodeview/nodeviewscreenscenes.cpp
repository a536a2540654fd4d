#include "ui/nodeview/nodeviewscreenscenes.h"

#include "app/base/screenscenes.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/nodeview/nodeview.h"
#include "ui/nodeview/nodeview_p.h"
#include "vfs/models/vfsdrivemodel.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QQmlContext>
#include <QQuickItem>
#include <QTimer>
#include <QWidget>

namespace {

QString g_sceneView;   // uuid of the view the scene made

NodeView *nodeViewOf(QWidget *window)
{
    return window ? window->findChild<NodeView *>() : nullptr;
}

void showNodeView(QWidget *window)
{
    QMetaObject::invokeMethod(window, "showNodeView");
}

VnodeDto row(const VSector &view, const QString &peer, const QString &type, const QString &name,
             const QString &path, const QString &icon, double x, double y, const QString &style = "style0")
{
    return {newUuidString(), peer, view.uuid, name, style, path, type, icon, 0, x, y};
}

void prepareComputerScene(QWidget *window, const ScreenScenes::Ready &ready)
{
    NodeView *nodeView = nodeViewOf(window);
    if (!nodeView || !nodeView->isInitialized())
        return ready();
    showNodeView(window);
    VSector *view = nodeView->createSector(qtTrId("label-new-nodeview").arg(nodeView->views().size()), 150, 32);
    if (!view)
        return ready();
    g_sceneView = view->uuid;
    nodeView->selectSector(view->uuid);
    view = nodeView->currentSector();
    const double ox = view->page->property("contentX").toDouble();
    const double oy = view->page->property("contentY").toDouble();
    IPeer *local = PeerModel::instance()->getPeerForUuid(nullUuidString());
    const QString pc = nullUuidString();
    nodeView->createNode(*view, row(*view, pc, "peer", qtTrId("label-this-pc"), "%",
                                    "image://theme/icon/" + (local ? local->icon() : QString("dev-desktop")) + ".svg",
                                    ox + 20, oy + 260),
                         nullptr);
    // The computer's drives as its drive list shows them, the root first.
    QStringList drives;
    if (auto *model = local ? qobject_cast<VfsDriveModel *>(local->vfsDriveModel()) : nullptr) {
        for (int r = 0; r < model->rowCount() && drives.size() < 2; ++r) {
            const QModelIndex i = model->index(r, 0);
            const QString path = i.data(VfsDriveModel::PathRole).toString();
            nodeView->createNode(*view, row(*view, pc, "drive", driveNodeName(model, path), path,
                                            "image://theme/" + i.data(VfsDriveModel::IconNameRole).toString(),
                                            ox + 200, oy + 200 + 220 * drives.size(), "drive0"),
                                 nullptr);
            drives << path;
        }
    }
    QObject *styles = nullptr;
    const QString home = QDir::homePath();
    nodeView->createNode(*view, row(*view, pc, "directory", QDir(home).dirName(), home,
                                    "image://theme/icon/dev-local.svg", ox + 440, oy + 150),
                         styles);
    const char *folders[][2] = {{"Documents", "style1"}, {"Pictures", "style2"}, {"Music", "style4"},
                                {"Projects", "style6"}};
    int i = 0;
    for (const auto &f : folders) {
        VnodeDto r = row(*view, pc, "directory", QLatin1String(f[0]), home + "/" + f[0], QString(), ox + 640,
                         oy + 60 + 80 * i++);
        r.style = QLatin1String(f[1]);
        QObject *source = nullptr;
        if (QObject *theme = nodeView->rootContext()->contextProperty("Theme").value<QObject *>())
            source = theme->property("node").value<QObject *>();
        nodeView->createNode(*view, r, source);
    }
    // A second computer, when one is paired.
    PeerModel *peers = PeerModel::instance();
    for (int r = 0; peers && r < peers->rowCount(); ++r) {
        IPeer *peer = peers->getPeerForRow(r);
        if (!peer || peer->uuid() == pc)
            continue;
        nodeView->createNode(*view, row(*view, peer->uuid(), "peer", peer->name(), "%",
                                        "image://theme/icon/" + peer->icon() + ".svg", ox + 20, oy + 440),
                             nullptr);
        // Folders it shares with this computer.
        QObject *source = nullptr;
        if (QObject *theme = nodeView->rootContext()->contextProperty("Theme").value<QObject *>())
            source = theme->property("node").value<QObject *>();
        nodeView->createNode(*view, row(*view, peer->uuid(), "directory", "Pictures", "%shares/shared/Pictures",
                                        QString(), ox + 240, oy + 400, "style10"),
                             source);
        nodeView->createNode(*view, row(*view, peer->uuid(), "directory", "Documents", "%shares/shared/Documents",
                                        QString(), ox + 240, oy + 490, "style12"),
                             source);
        break;
    }
    nodeView->updateNodeRelations(*view);
    QTimer::singleShot(900, ready);
}

void cleanupComputerScene(QWidget *window)
{
    if (NodeView *nodeView = nodeViewOf(window)) {
        nodeView->deleteSector(g_sceneView);
        nodeView->openSector(0);
    }
    g_sceneView.clear();
}

QQuickItem *sceneNode(QWidget *window, const QString &type, const QString &name = QString())
{
    NodeView *nodeView = nodeViewOf(window);
    VSector *view = nodeView ? nodeView->currentSector() : nullptr;
    for (const VNode &node : view ? view->nodes : std::vector<VNode>()) {
        if (node.item && node.type == type && (name.isEmpty() || node.item->property("name").toString() == name))
            return node.item;
    }
    return nullptr;
}

// A left click on a node as the mouse gives it, and a key as the keyboard does.
void clickNode(NodeView *nodeView, QQuickItem *item)
{
    const QPointF at = item->mapToScene(QPointF(item->width() - 16, item->height() / 2));
    QMouseEvent press(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(nodeView, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(nodeView, &release);
}

void pressKey(QWidget *widget, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void cleanupCustomizer(QWidget *window)
{
    if (NodeView *nodeView = nodeViewOf(window))
        QMetaObject::invokeMethod(nodeView->customizer(), "close");
    cleanupComputerScene(window);
}

} // namespace

void addNodeViewScreenScenes(ScreenScenes &scenes)
{
    scenes.add(QStringLiteral("nodeview-computer"), prepareComputerScene, cleanupComputerScene);
    // Shift and a drag on the computer: its drives and folders come along, its marker shows.
    scenes.add(QStringLiteral("nodeview-drag-tree"), [](QWidget *w, ScreenScenes::Ready ready) {
        prepareComputerScene(w, [w, ready] {
            if (QQuickItem *pc = sceneNode(w, QStringLiteral("peer"), qtTrId("label-this-pc"))) {
                pc->setProperty("dragTree", true);
                pc->setPosition(pc->position() + QPointF(70, 50));
            }
            QTimer::singleShot(400, ready);
        });
    }, [](QWidget *w) {
        if (QQuickItem *pc = sceneNode(w, QStringLiteral("peer"), qtTrId("label-this-pc")))
            pc->setProperty("dragTree", false);
        cleanupComputerScene(w);
    });
    // A click selects "Projects" and Delete deletes it; then "Music" is clicked and selected.
    scenes.add(QStringLiteral("nodeview-node-keys"), [](QWidget *w, ScreenScenes::Ready ready) {
        prepareComputerScene(w, [w, ready] {
            NodeView *nodeView = nodeViewOf(w);
            if (QQuickItem *projects = sceneNode(w, QStringLiteral("directory"), QStringLiteral("Projects"))) {
                clickNode(nodeView, projects);
                pressKey(QApplication::focusWidget() ? QApplication::focusWidget() : nodeView, Qt::Key_Delete);
            }
            if (QQuickItem *music = sceneNode(w, QStringLiteral("directory"), QStringLiteral("Music")))
                clickNode(nodeView, music);
            QTimer::singleShot(400, ready);
        });
    }, cleanupComputerScene);
    // The icon choice for the selected node.
    scenes.add(QStringLiteral("nodeview-customizer"), [](QWidget *w, ScreenScenes::Ready ready) {
        prepareComputerScene(w, [w, ready] {
            NodeView *nodeView = nodeViewOf(w);
            if (QQuickItem *music = sceneNode(w, QStringLiteral("directory"), QStringLiteral("Music"))) {
                clickNode(nodeView, music);
                QObject *customizer = nodeView->customizer();
                customizer->setProperty("x", w->x() + w->width() - 640);
                customizer->setProperty("y", w->y() + 120);
                QMetaObject::invokeMethod(customizer, "show");
            }
            QTimer::singleShot(700, ready);
        });
    }, cleanupCustomizer);
}

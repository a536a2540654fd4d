// The node view's construction, its start once the network side runs, the view pages, which
// view is shown, selection, renaming and deleting views, and the context menus.

#include "ui/nodeview/nodeview.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "com/connectionmanager.h"
#include "db/idatabase.h"
#include "filer/iconlistmodel.h"
#include "peers/peermodel.h"
#include "ui/nodeview/nodeview_p.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSettings>
#include <QTimer>

#include <algorithm>

void initNodeViewResources()
{
    Q_INIT_RESOURCE(nodeview);
}

namespace {

const char kLastSectorKey[] = "nodeview/lastsector";
// User changes (drops, moves, renames, styles) reach the database this long after the last one.
constexpr int kSaveDelayMs = 400;

QIcon themeIcon(const char *name)
{
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
}

} // namespace

NodeView::NodeView(QQmlEngine *engine, IDatabase *db, QWidget *parent)
    : QQuickWidget(engine, parent)
    , d(new NodeViewPrivate)
{
    initNodeViewResources();
    d->engine = engine;
    d->database = db;
    d->q = this;
    setObjectName(QStringLiteral("nodeView"));
    setContentsMargins(0, 0, 0, 0);
    setClearColor(QColor(252, 252, 252));
    setFocusPolicy(Qt::ClickFocus);
    QSurfaceFormat format = this->format();
    format.setSamples(8);
    format.setAlphaBufferSize(8);
    setFormat(format);

    d->saveTimer = new QTimer(this);
    d->saveTimer->setSingleShot(true);
    d->saveTimer->setInterval(kSaveDelayMs);
    connect(d->saveTimer, &QTimer::timeout, this, &NodeView::saveState);
    // The destructor may run after the event loop and the database have gone; the state is
    // written while both still exist.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &NodeView::saveState);

    if (ConnectionManager *manager = ConnectionManager::instance()) {
        connect(manager, &ConnectionManager::started, this, &NodeView::initialize, Qt::QueuedConnection);
        if (manager->isStarted())
            QMetaObject::invokeMethod(this, &NodeView::initialize, Qt::QueuedConnection);
    }
}

NodeView::~NodeView()
{
    saveState();
    if (d->customizer)
        d->customizer->deleteLater();
    delete d;
}

void NodeView::hideEvent(QHideEvent *event)
{
    // Closing the window hides the view first: the layout is written while everything lives.
    saveState();
    QQuickWidget::hideEvent(event);
}

bool NodeView::isInitialized() const { return d->initialized; }
const std::vector<VSector> &NodeView::views() const { return d->views; }
const VSector &NodeView::linkLayer() const { return d->linkLayer; }
QObject *NodeView::customizer() const { return d->customizer; }

QObject *NodeView::themeNodeStyles() const
{
    const QVariant theme = engine()->rootContext()->contextProperty(QStringLiteral("Theme"));
    QObject *object = theme.value<QObject *>();
    return object ? object->property("node").value<QObject *>() : nullptr;
}

void NodeView::scheduleSave()
{
    if (d->initialized)
        d->saveTimer->start();
}

void NodeView::initialize()
{
    if (d->initialized || !d->database)
        return;
    d->initialized = true;

    d->createSectorAction = new QAction(themeIcon("nodeview"), qtTrId("action-create-vsector"), this);
    d->createSectorAction->setObjectName(QStringLiteral("createSectorAction"));
    connect(d->createSectorAction, &QAction::triggered, this, &NodeView::createNewVSector);

    d->rescaleCountdown = 0;
    d->rescaleTimer = new QTimer(this);
    d->rescaleTimer->setSingleShot(true);
    d->rescaleTimer->setInterval(1000);
    connect(d->rescaleTimer, &QTimer::timeout, this, &NodeView::rescaleViewTimerFired);
    d->visitorTimer = new QTimer(this);
    connect(d->visitorTimer, &QTimer::timeout, this, &NodeView::visitorTimerFired);
    d->visitorTimer->start(5000);

    setResizeMode(QQuickWidget::SizeRootObjectToView);
    setSource(QUrl(QStringLiteral("qrc:/qml/NodeView.qml")));
    if (!rootObject())
        logPrintf(LogErr1, "node view: %s", qUtf8Printable(errors().isEmpty() ? QString() : errors().first().toString()));
    setAcceptDrops(true);

    d->linkLayer.uuid = nullUuidString();
    d->linkLayer.page = rootObject() ? rootObject()->findChild<QQuickItem *>(QStringLiteral("sectorView")) : nullptr;
    if (QObject *selector = rootObject() ? rootObject()->findChild<QObject *>(QStringLiteral("nodeStyleSelector")) : nullptr)
        connect(selector, SIGNAL(styleClicked(QVariant)), this, SLOT(onNodeStyleSelected(QVariant)));
    engine()->rootContext()->setContextProperty(QStringLiteral("activeSectorUuid"), QString());

    loadSectors();

    bool hasStatic = false;
    for (const VsectorDto &row : d->database->loadVsectors())
        hasStatic = hasStatic || row.uuid == nullUuidString();
    if (!hasStatic)
        d->database->putVsector({nullUuidString(), QStringLiteral("static"), 1024, 1024, 4096, 4096});

    if (d->views.empty()) {
        createSector(qtTrId("sector-main"), 32, 32);
        QTimer::singleShot(1250, this, &NodeView::initDefaultNodes);
    }

    loadSectorNodes();
    for (VSector &view : d->views)
        updateNodeRelations(view);

    QQmlComponent component(engine(), QUrl(QStringLiteral("qrc:/qml/NodeCustomizer.qml")), this);
    d->customizer = component.create(engine()->rootContext());
    if (d->customizer) {
        d->customizer->setParent(this);
        d->customizer->setProperty("iconModel", QVariant::fromValue<QObject *>(new IconListModel(d->customizer)));
    } else {
        logPrintf(LogErr1, "node customizer: %s", qUtf8Printable(component.errorString()));
    }

    if (PeerModel *peers = PeerModel::instance())
        connect(peers, &QAbstractItemModel::rowsInserted, this, &NodeView::onPeerModelChanged);

    ConfigSettings settings;
    if (!selectSector(settings.settings()->value(QLatin1String(kLastSectorKey)).toString()))
        openSector(0);
    onPeerModelChanged();
}

void NodeView::addSectorToView(QString vsectorUuid, QString name, double cx, double cy, double cw, double ch, int x,
                               int y)
{
    QQuickItem *stack = rootObject() ? rootObject()->findChild<QQuickItem *>(QStringLiteral("sectorStack")) : nullptr;
    if (!stack)
        return;
    auto it = std::find_if(d->views.begin(), d->views.end(), [&](const VSector &v) { return v.uuid == vsectorUuid; });
    if (it == d->views.end()) {
        VSector view;
        view.uuid = vsectorUuid;
        d->views.push_back(view);
        it = d->views.end() - 1;
    }
    VSector &view = *it;
    view.name = name;
    if (!view.page) {
        QQmlComponent component(engine(), QUrl(QStringLiteral("qrc:/qml/NodeViewSektor.qml")), stack);
        view.page = qobject_cast<QQuickItem *>(component.create());
        if (!view.page) {
            logPrintf(LogErr1, "view page: %s", qUtf8Printable(component.errorString()));
            return;
        }
        QQmlEngine::setObjectOwnership(view.page, QQmlEngine::CppOwnership);
        view.page->setParent(stack);
        view.page->setParentItem(stack);
        connect(view.page, SIGNAL(clickedEmptySpace()), this, SLOT(clickedEmptySpace()));
        connect(view.page, SIGNAL(contextMenuRequest()), this, SLOT(nodeViewContextMenuRequest()));
        QQuickItem *page = view.page;
        auto cull = [this, page] {
            if (VSector *shown = findSector(page))
                cullNodes(*shown, true);
        };
        connect(page, &QQuickItem::widthChanged, this, cull);
        connect(page, &QQuickItem::heightChanged, this, cull);
        connect(page, SIGNAL(contentXChanged()), this, SLOT(onPageMoved()));
        connect(page, SIGNAL(contentYChanged()), this, SLOT(onPageMoved()));
    }
    view.page->setProperty("contentX", cx);
    view.page->setProperty("contentY", cy);
    view.page->setProperty("contentWidth", cw);
    view.page->setProperty("contentHeight", ch);
    view.page->setProperty("name", name);

    QObject *styleSource = engine()->rootContext()->contextProperty(QStringLiteral("Theme")).value<QObject *>();
    VnodeDto link;
    bool found = false;
    // Only the first stored link counts; the view's other rows are its own nodes.
    for (const VnodeDto &row : d->database->loadVnodes(vsectorUuid)) {
        if (isSectorNode(row, vsectorUuid)) {
            link = row;
            found = true;
            break;
        }
    }
    if (!found && (x < 0 || y < 0)) {
        // A view without a stored link gets one in the row of links, after the last.
        x = 32;
        y = 32;
        for (const VNode &node : d->linkLayer.nodes)
            if (node.type == QLatin1String("sector") && node.item)
                x = std::max(x, int(node.item->x() + node.item->width()) + 8);
    }
    if (!found)
        link = {newUuidString(), nullUuidString(), vsectorUuid, name, QStringLiteral("sector0"), QStringLiteral("%"),
                QStringLiteral("sector"), QString(), 0, double(x), double(y)};
    // A link node stores under the view it opens; the already-made link of this view is reused.
    const bool hasLink = std::any_of(d->linkLayer.nodes.begin(), d->linkLayer.nodes.end(), [&](const VNode &n) {
        return n.type == QLatin1String("sector") && n.sectorUuid == vsectorUuid;
    });
    if (!hasLink) {
        d->linkLayer.uuid = vsectorUuid;
        createNode(d->linkLayer, link, styleSource);
        d->linkLayer.uuid = nullUuidString();
    }
    storeSector(view, d->database);
}

VSector *NodeView::createSector(const QString &name, int x, int y)
{
    const QString uuid = newUuidString();
    addSectorToView(uuid, name, 1024, 1024, 4096, 4096, x, y);
    auto it = std::find_if(d->views.begin(), d->views.end(), [&](const VSector &v) { return v.uuid == uuid; });
    if (it == d->views.end())
        return nullptr;
    // The link is written with its view, so a view made now has its link at the next start.
    for (VNode &node : d->linkLayer.nodes)
        if (node.type == QLatin1String("sector") && node.sectorUuid == uuid)
            storeNode(node, d->database);
    return &*it;
}

void NodeView::createNewVSector()
{
    const QPoint p = mapFromGlobal(QCursor::pos());
    const QString name = qtTrId("label-new-nodeview").arg(d->views.size());
    if (!createSector(name, p.x() - 40, p.y() - 24))
        return;
    const VNode &link = d->linkLayer.nodes.back();
    if (link.item) {
        link.item->forceActiveFocus();
        QMetaObject::invokeMethod(link.item, "rename");
    }
}

VSector *NodeView::currentSector()
{
    QQuickItem *stack = rootObject() ? rootObject()->findChild<QQuickItem *>(QStringLiteral("sectorStack")) : nullptr;
    if (!stack)
        return nullptr;
    const int index = stack->property("currentIndex").toInt();
    if (index < 0 || size_t(index) >= d->views.size())
        return nullptr;
    return &d->views[size_t(index)];
}

void NodeView::openSector(int index)
{
    QQuickItem *stack = rootObject() ? rootObject()->findChild<QQuickItem *>(QStringLiteral("sectorStack")) : nullptr;
    if (!stack || index < 0 || size_t(index) >= d->views.size())
        return;
    engine()->rootContext()->setContextProperty(QStringLiteral("activeSectorUuid"), d->views[size_t(index)].uuid);
    logPrintf(LogNfo2, "open view %d", index);
    stack->setProperty("currentIndex", index);
    setFocus(Qt::OtherFocusReason);
}

bool NodeView::selectSector(const QString &uuid)
{
    for (VNode &node : d->linkLayer.nodes)
        if (node.type == QLatin1String("sector") && node.item)
            node.item->setProperty("selected", node.sectorUuid == uuid);
    for (size_t i = 0; i < d->views.size(); ++i) {
        if (d->views[i].uuid == uuid) {
            openSector(int(i));
            return true;
        }
    }
    return false;
}

void NodeView::sectorNodeClicked()
{
    auto *item = qobject_cast<QQuickItem *>(sender());
    for (const VNode &node : d->linkLayer.nodes) {
        if (node.type == QLatin1String("sector") && node.item == item) {
            selectSector(node.sectorUuid);
            scheduleSave();
            return;
        }
    }
}

void NodeView::clearSelection(VSector &view)
{
    for (VNode &node : view.nodes)
        if (node.item && node.item->property("selected").toBool())
            node.item->setProperty("selected", false);
}

bool NodeView::isNodeSelected(QQuickItem *item) const
{
    return item && item->property("selected").toBool();
}

VSector *NodeView::recordOfNodeItem(QQuickItem *item)
{
    QQuickItem *page = item && item->parentItem() ? item->parentItem()->parentItem() : nullptr;
    for (VSector &view : d->views)
        if (page && view.page == page)
            return &view;
    if (item && item->parentItem() == d->linkLayer.page)
        return &d->linkLayer;
    for (const VNode &node : d->linkLayer.nodes)
        if (node.item == item)
            return &d->linkLayer;
    return currentSector();
}

void NodeView::nodeClicked()
{
    auto *item = qobject_cast<QQuickItem *>(sender());
    if (!item)
        return;
    if (VSector *view = recordOfNodeItem(item)) {
        for (VNode &node : view->nodes)
            if (node.item != item && node.item && node.item->property("selected").toBool())
                node.item->setProperty("selected", false);
    }
    clearSelection(d->linkLayer);
    item->setProperty("selected", true);
    if (d->customizer)
        d->customizer->setProperty("node", QVariant::fromValue(item));
}

void NodeView::clickedEmptySpace()
{
    if (VSector *view = findSector(qobject_cast<QQuickItem *>(sender())))
        clearSelection(*view);
    clearSelection(d->linkLayer);
    if (d->customizer)
        d->customizer->setProperty("node", QVariant::fromValue<QQuickItem *>(nullptr));
}

void NodeView::onSectorNameEdited()
{
    auto *item = qobject_cast<QQuickItem *>(sender());
    if (!item)
        return;
    const QString name = item->property("name").toString();
    QString uuid;
    for (VNode &node : d->linkLayer.nodes) {
        if (node.item == item) {
            uuid = node.sectorUuid;
            storeNode(node, d->database);
            break;
        }
    }
    for (VSector &view : d->views) {
        if (!uuid.isEmpty() && view.uuid == uuid) {
            view.name = name;
            if (view.page)
                view.page->setProperty("name", name);
            storeSector(view, d->database);
            break;
        }
    }
}

void NodeView::openNode(const VNode &node)
{
    if (node.type == QLatin1String("directory") || node.type == QLatin1String("drive")
        || node.type == QLatin1String("network"))
        emit nodeDoubleClicked(node.peerUuid, node.path);
    else if (node.type == QLatin1String("peer"))
        emit peerClicked(node.peerUuid);
}

void NodeView::nodeContextMenuRequest()
{
    auto *item = qobject_cast<QQuickItem *>(sender());
    VSector *view = item ? recordOfNodeItem(item) : nullptr;
    if (!view)
        return;
    auto it = std::find_if(view->nodes.begin(), view->nodes.end(), [&](const VNode &n) { return n.item == item; });
    if (it == view->nodes.end())
        return;
    const VNode node = *it;

    QMenu menu;
    menu.setObjectName(QStringLiteral("nodeMenu"));
    QAction *customize = menu.addAction(themeIcon("properties"), qtTrId("action-customize-node"));
    QAction *openRight = menu.addAction(themeIcon("alt-filerpane"), qtTrId("action-open-node-rhs"));
    QAction *openWindow = menu.addAction(themeIcon("extra-window"), qtTrId("action-open-node-new-win"));
    QAction *openTab = menu.addAction(themeIcon("new-tab"), qtTrId("action-openin-tab"));
    menu.addSeparator();
    QAction *remove = menu.addAction(themeIcon("delete"), qtTrId("action-delete-node"));
    remove->setShortcut(QKeySequence(Qt::Key_Backspace));
    // It takes the view's selected nodes, not the one the menu opened on: off without any.
    remove->setEnabled(std::any_of(view->nodes.begin(), view->nodes.end(), [](const VNode &n) {
        return n.item && n.item->property("selected").toBool();
    }));
    const bool opens = node.type != QLatin1String("sector");
    openRight->setEnabled(opens);
    openWindow->setEnabled(opens);
    openTab->setEnabled(opens);
    QAction *chosen = menu.exec(QCursor::pos());
    // The menu ran its own event loop: the node may be gone and the list moved.
    view = nullptr;
    for (VSector &v : d->views)
        for (const VNode &n : v.nodes)
            if (n.item == item)
                view = &v;
    if (!chosen)
        return;
    if (chosen == customize && d->customizer) {
        d->customizer->setProperty("node", QVariant::fromValue(item));
        if (!d->customizer->property("visible").toBool()) {
            const QPoint c = QCursor::pos();
            d->customizer->setProperty("x", c.x() - d->customizer->property("width").toInt() - 96);
            d->customizer->setProperty("y", c.y() - d->customizer->property("height").toInt() / 2);
            QMetaObject::invokeMethod(d->customizer, "show");
        }
    } else if (chosen == openRight) {
        if (node.type != QLatin1String("sector"))
            emit activateAlternateFilerpane();
        openNode(node);
    } else if (chosen == openWindow) {
        emit createNewWindow();
        openNode(node);
    } else if (chosen == openTab) {
        emit createNewTab();
        openNode(node);
    } else if (chosen == remove && view) {
        // As Delete and Backspace do: the view's selected nodes go, whichever node the
        // menu was opened on.
        deleteSelectedNodes(*view);
        updateNodeRelations(*view);
    }
}

void NodeView::nodeViewContextMenuRequest()
{
    if (!d->createSectorAction)
        return;
    QMenu menu;
    menu.setObjectName(QStringLiteral("canvasMenu"));
    menu.addAction(d->createSectorAction);
    menu.exec(QCursor::pos());
}

void NodeView::sectorContextMenuRequest()
{
    QPointer<QQuickItem> item = qobject_cast<QQuickItem *>(sender());
    if (!item)
        return;
    const QString uuid = item->property("uuid").toString();
    const QString name = item->property("name").toString();
    logPrintf(LogNfo2, "context menu sector node: %s", qUtf8Printable(uuid));
    QMenu menu;
    menu.setObjectName(QStringLiteral("sectorMenu"));
    QAction *rename = menu.addAction(themeIcon("rename"), qtTrId("action-rename-sector"));
    QAction *remove = menu.addAction(themeIcon("delete"), qtTrId("action-delete-sector"));
    remove->setEnabled(d->views.size() > 1);
    QAction *chosen = menu.exec(QCursor::pos());
    if (!chosen || !item)
        return;
    if (chosen == rename) {
        QMetaObject::invokeMethod(item, "rename");
        return;
    }
    QMessageBox box;
    box.setObjectName(QStringLiteral("deleteSectorBox"));
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(qtTrId("dlg-delete-sector-title"));
    box.setTextFormat(Qt::PlainText);
    box.setText(qtTrId("dlg-delete-sector-description").arg(name));
    box.addButton(qtTrId("btn-cancel"), QMessageBox::RejectRole);
    QPushButton *del = box.addButton(qtTrId("btn-delete"), QMessageBox::DestructiveRole);
    box.setDefaultButton(del);
    box.exec();
    if (box.clickedButton() != del || !item)
        return;
    for (const VNode &node : d->linkLayer.nodes) {
        if (node.item == item) {
            deleteSector(node.sectorUuid);
            break;
        }
    }
}

bool NodeView::deleteSector(const QString &uuid)
{
    auto it = std::find_if(d->views.begin(), d->views.end(), [&](const VSector &v) { return v.uuid == uuid; });
    if (it == d->views.end())
        return false;
    for (size_t i = 0; i < d->linkLayer.nodes.size(); ++i) {
        VNode &node = d->linkLayer.nodes[i];
        if (node.type == QLatin1String("sector") && node.sectorUuid == uuid) {
            deleteStoredNode(node, d->database);
            if (node.item)
                node.item->deleteLater();
            node = d->linkLayer.nodes.back();
            d->linkLayer.nodes.pop_back();
            break;
        }
    }
    deleteVSector(*it, d->database);
    // Its nodes go with it: their rows went with the view's row, their items go here, so no
    // later save writes them back under a view that no longer exists.
    for (VNode &node : it->nodes)
        if (node.item)
            node.item->deleteLater();
    it->nodes.clear();
    if (it->page)
        it->page->deleteLater();
    d->views.erase(it);
    openSector(0);
    return true;
}

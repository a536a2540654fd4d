// The node view's records and their rows: storing, loading and deleting views and nodes.

#include "ui/nodeview/nodeview.h"

#include "app/base/configsettings.h"
#include "app/base/log.h"
#include "db/idatabase.h"
#include "ui/nodeview/nodeview_p.h"

#include <QMetaProperty>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTimer>
#include <QQuickItem>
#include <QSettings>

namespace {

// The name under which a style object is kept in the style source. Themes may give their
// styles display names ("blue"); the row needs the key the style is found by again.
QString styleKeyOf(QObject *style, QObject *styleSource)
{
    if (!style)
        return QString();
    if (styleSource) {
        const QMetaObject *meta = styleSource->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QMetaProperty property = meta->property(i);
            if (property.read(styleSource).value<QObject *>() == style)
                return QString::fromLatin1(property.name());
        }
    }
    return style->property("name").toString();
}

} // namespace

VnodeDto NodeView::rowOfNode(VNode &node) const
{
    VnodeDto row;
    row.uuid = node.uuid;
    row.peerUuid = node.peerUuid;
    row.sectorUuid = node.sectorUuid;
    row.type = node.type;
    row.fileId = node.fileId;
    if (!node.item)
        return row;
    row.name = node.item->property("name").toString();
    row.path = node.item->property("path").toString();
    node.icon = node.item->property("icon").toString();
    row.icon = node.icon;
    QObject *style = node.item->property("style").value<QObject *>();
    QObject *source = node.type == QLatin1String("sector")
                          ? engine()->rootContext()->contextProperty(QStringLiteral("Theme")).value<QObject *>()
                          : themeNodeStyles();
    row.style = styleKeyOf(style, source);
    if (row.style.isEmpty())
        row.style = QStringLiteral("style0");
    row.x = node.item->x();
    row.y = node.item->y();
    return row;
}

QString NodeView::rowSignature(const VnodeDto &row)
{
    return QStringList{row.uuid, row.sectorUuid, row.name, row.style, row.path, row.icon,
                       QString::number(row.fileId), QString::number(row.x), QString::number(row.y)}
        .join(QChar(0x1f));
}

bool NodeView::storeSector(VSector &view, IDatabase *db)
{
    VsectorDto row;
    if (view.page) {
        row.x = view.page->property("contentX").toDouble();
        row.y = view.page->property("contentY").toDouble();
        row.w = view.page->property("contentWidth").toDouble();
        row.h = view.page->property("contentHeight").toDouble();
    }
    logPrintf(LogNfo2, "vsector %s \"%s\" store to database", qUtf8Printable(view.uuid), qUtf8Printable(view.name));
    if (view.uuid.isEmpty())
        view.uuid = newUuidString();
    row.uuid = view.uuid;
    row.name = view.name;
    db->putVsector(row);
    return true;
}

bool NodeView::storeNode(VNode &node, IDatabase *db)
{
    if (node.peerUuid.isEmpty())
        return false;
    if (node.uuid.isEmpty())
        node.uuid = newUuidString();
    const VnodeDto row = rowOfNode(node);
    if (!db->putVnode(row))
        return false;
    if (node.item)
        d->storedRows.insert(node.item, rowSignature(row));
    return true;
}

void NodeView::deleteVNode(VNode &node, IDatabase *db)
{
    db->deleteVnode(node.uuid);
}

bool NodeView::deleteStoredNode(VNode &node, IDatabase *db)
{
    if (!node.uuid.isEmpty())
        deleteVNode(node, db);
    if (node.item)
        d->storedRows.remove(node.item);
    return true;
}

void NodeView::deleteVSector(VSector &view, IDatabase *db)
{
    db->deleteVsector(view.uuid);
}

void NodeView::loadSectors()
{
    for (const VsectorDto &row : d->database->loadVsectors()) {
        if (row.uuid != nullUuidString())
            addSectorToView(row.uuid, row.name, row.x, row.y, row.w, row.h, -1, -1);
    }
}

void NodeView::loadSectorNodes()
{
    QObject *styleSource = themeNodeStyles();
    auto remember = [this](VSector &record) {
        VNode &node = record.nodes.back();
        if (node.item)
            d->storedRows.insert(node.item, rowSignature(rowOfNode(node)));
    };
    for (VSector &view : d->views) {
        for (const VnodeDto &row : d->database->loadVnodes(view.uuid)) {
            // A view's link row is stored with the view's nodes; its node lives in the link
            // layer (made with the page), never a second time inside the page.
            if (row.type == QLatin1String("sector"))
                continue;
            if (createNode(view, row, styleSource))
                remember(view);
        }
    }
    for (const VnodeDto &row : d->database->loadVnodes(nullUuidString())) {
        if (row.type == QLatin1String("sector"))
            continue;
        if (createNode(d->linkLayer, row, styleSource))
            remember(d->linkLayer);
    }
}

void NodeView::saveState()
{
    if (!d->initialized || !d->database)
        return;
    d->saveTimer->stop();
    auto storeChanged = [this](VNode &node) {
        if (!node.item || node.peerUuid.isEmpty())
            return;
        const VnodeDto row = rowOfNode(node);
        if (!node.uuid.isEmpty() && d->storedRows.value(node.item) == rowSignature(row))
            return;
        storeNode(node, d->database);
    };
    for (VSector &view : d->views)
        storeSector(view, d->database);
    for (VSector &view : d->views)
        for (VNode &node : view.nodes)
            storeChanged(node);
    for (VNode &node : d->linkLayer.nodes) {
        storeChanged(node);
        if (node.type == QLatin1String("sector") && node.item && node.item->property("selected").toBool()) {
            ConfigSettings settings;
            settings->setValue(QStringLiteral("nodeview/lastsector"), node.sectorUuid);
        }
    }
    emit stateSaved();
}

VSector *NodeView::findSector(QQuickItem *page)
{
    if (!page)
        return nullptr;
    for (VSector &view : d->views)
        if (view.page == page)
            return &view;
    return d->linkLayer.page == page ? &d->linkLayer : nullptr;
}

bool NodeView::isSectorNode(const VnodeDto &row, const QString &uuid)
{
    return row.sectorUuid == uuid && row.type == QLatin1String("sector");
}

bool NodeView::isPeerNode(const VNode &node, const QString &uuid)
{
    return node.peerUuid == uuid && node.type == QLatin1String("peer");
}

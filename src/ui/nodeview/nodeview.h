#pragma once

// The node view: named, pannable views on which the user lays out computers, drives, folders
// and the network place as nodes, with a link layer over the pages holding one link per view.
// Views and nodes are stored in the database ("vsectors2", "vnodes2") as the user changes
// them and when the window closes.
//
// GUI thread only. The widget owns the node items, the pages (through the QML scene) and the
// customize window; the database and the peers are not owned. The scene is built once the
// connection manager signals started().

#include "db/dto.h"
#include "ui/nodeview/nodeviewtypes.h"

#include <QModelIndex>
#include <QQuickWidget>
#include <QVariant>

class IDatabase;
class QQmlEngine;
class QQuickItem;
struct NodeViewPrivate;

// Compiles the node view's QML files into the program; called by the widget's constructor.
void initNodeViewResources();

class NodeView : public QQuickWidget
{
    Q_OBJECT
public:
    NodeView(QQmlEngine *engine, IDatabase *db, QWidget *parent = nullptr);
    ~NodeView() override;

    // Builds the scene; runs once (later calls do nothing).
    void initialize();
    bool isInitialized() const;

    VSector *currentSector();
    void openSector(int index);
    bool selectSector(const QString &uuid);
    void clearSelection(VSector &view);
    bool isNodeSelected(QQuickItem *item) const;
    VSector *createSector(const QString &name, int x, int y);

    QQuickItem *createNode(VSector &view, const VnodeDto &row, QObject *styleSource);
    void initDefaultNodes();
    void addNetworkNode();
    void updateNodeRelations(VSector &view);
    void deleteSelectedNodes(VSector &view);

    bool storeSector(VSector &view, IDatabase *db);
    bool storeNode(VNode &node, IDatabase *db);
    void deleteVNode(VNode &node, IDatabase *db);
    bool deleteStoredNode(VNode &node, IDatabase *db);
    void deleteVSector(VSector &view, IDatabase *db);
    void loadSectors();
    void loadSectorNodes();
    // Writes every node and view and the last selected view.
    void saveState();
    VSector *findSector(QQuickItem *page);
    static bool isSectorNode(const VnodeDto &row, const QString &uuid);
    static bool isPeerNode(const VNode &node, const QString &uuid);

    // The records, for the screenshot scenes and the tests.
    const std::vector<VSector> &views() const;
    const VSector &linkLayer() const;
    QObject *customizer() const;
    // Deletes a view with its link, its nodes and their rows; false for an unknown uuid.
    bool deleteSector(const QString &uuid);

Q_SIGNALS:
    void activateAlternateFilerpane();
    void createNewWindow();
    void createNewTab();
    void nodeDoubleClicked(QString peerUuid, QString path);
    void peerClicked(QString peerUuid);
    // After the scene's rows were written (tests wait for it instead of sleeping).
    void stateSaved();

public Q_SLOTS:
    void addSectorToView(QString vsectorUuid, QString name, double cx, double cy, double cw, double ch, int x = -1,
                         int y = -1);
    void nodeClicked();
    void nodeContextMenuRequest();
    void sectorContextMenuRequest();
    void sectorNodeClicked();
    void clickedEmptySpace();
    void nodeViewContextMenuRequest();
    void onPeerModelChanged();
    void onNodeMoved();
    void rescaleViewTimerFired();
    void visitorTimerFired();
    void onFoundWatchItem(QString path, qulonglong fileId, QString watchPath);
    void onNodeStyleSelected(QVariant var);
    void onSectorNameEdited();
    void onPeerNameChanged();
    void driveRowsInserted(QModelIndex parent, int first, int last);
    void createNewVSector();
    // Saves a little later; many changes in a row make one save.
    void scheduleSave();
    void onPageMoved();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QObject *themeNodeStyles() const;
    VSector *recordOfNodeItem(QQuickItem *item);
    void connectPeerModels(const QString &peerUuid);
    void showPeerState(const QString &peerUuid);
    // Marks which nodes and lines of a page lie near its shown part; `force` also when the
    // page moved only a little since the last pass.
    void cullNodes(VSector &view, bool force);
    void openNode(const VNode &node);
    bool editorHasFocus() const;
    void moveClearOfLinks(VSector &view, QQuickItem *item);
    VnodeDto rowOfNode(VNode &node) const;
    static QString rowSignature(const VnodeDto &row);

    NodeViewPrivate *d;
};

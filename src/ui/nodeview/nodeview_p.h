#pragma once

// The node view's private record. GUI thread only.

#include "ui/nodeview/nodeviewtypes.h"

#include <QHash>
#include <QPointF>
#include <QPointer>
#include <QStringList>

class IDatabase;
class NodeView;
class VfsDriveModel;
class QAction;
class QQmlEngine;
class QQuickItem;
class QTimer;

struct NodeViewPrivate
{
    QQmlEngine *engine = nullptr;
    // Input: the pending right-button press (0, 0 = none) and what the current drag carries.
    int pressX = 0;
    int pressY = 0;
    QString dragPeerUuid;
    QString dragPath;
    int rescaleCountdown = 0;
    QTimer *rescaleTimer = nullptr;
    QTimer *visitorTimer = nullptr;
    unsigned visitViewIndex = 0;
    unsigned visitNodeIndex = 0;
    IDatabase *database = nullptr;     // not owned
    QObject *customizer = nullptr;     // the customize window, lives as long as the widget
    QStringList connectedPeers;        // computers whose drive and file models are connected
    VSector linkLayer;
    std::vector<VSector> views;        // in the order of their pages in "sectorStack"
    NodeView *q = nullptr;

    QAction *createSectorAction = nullptr;
    QTimer *saveTimer = nullptr;       // coalesces the saves that follow user changes
    bool initialized = false;
    // What each node's row held when it was last written or read, so that a save writes only
    // the nodes the user changed.
    QHash<const QQuickItem *, QString> storedRows;
    QHash<QString, class QQmlComponent *> nodeComponents;
    QHash<const QQuickItem *, QPointF> culledAt;            // page origin at each page's last culling pass   // one per node file, children of the widget
};

// A drive's name on its node: the drive list's name, or for a drive without one (a mount
// point such as "/") the name the drive list shows for it.
QString driveNodeName(const VfsDriveModel *drives, const QString &path);

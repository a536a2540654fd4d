#pragma once

// The node view's records in memory: one view page with its nodes, and one node bound to its
// QML item. GUI thread only; the items belong to the node view widget.

#include <QElapsedTimer>
#include <QString>

#include <vector>

class QQuickItem;

struct VNode
{
    QString peerUuid;     // the local computer, link nodes and the network place: the null uuid
    QString uuid;         // the stored row's key; empty until the node is first stored
    QString sectorUuid;   // the view it is stored under; a link stores under the view it opens
    QString path;         // "%" for computers and links, "%machinelist" for the network place
    quint64 fileId = 0;
    QString type;         // "peer", "drive", "directory", "network" or "sector"
    QString icon;
    int visitCount = 0;
    QElapsedTimer lastVisit;
    QQuickItem *item = nullptr;
    bool watched = false;
};

struct VSector
{
    QQuickItem *page = nullptr;
    QString uuid;
    QString name;
    std::vector<VNode> nodes;
};

#pragma once

// Which node a drive or folder node hangs from: the computer node, or the deepest drive or
// folder node of the same computer above it. Kept apart from the widget so the path rules can
// be checked without a scene. Any thread.

#include <QString>

#include <vector>

struct NodeRelationInput
{
    QString peerUuid;
    QString type;           // "peer", "drive", "directory", ...
    QString path;
    bool peerKnown = false; // the computer is in the peer model
};

struct NodeRelation
{
    bool related = false;   // a drive or folder node whose path could be split
    int parent = -1;        // index of the parent node, -1 when none
    QString parentPath;
    bool indirect = false;  // the parent is more than one folder level up
    bool hasChildren = false;
};

std::vector<NodeRelation> computeNodeRelations(const std::vector<NodeRelationInput> &nodes);

// A path as a node keeps it: "." and ".." resolved, doubled and trailing separators dropped
// ("/" stays the root). Drops of "/home/a/" and "/home/a" must make the same node.
QString normalizeNodePath(const QString &path);

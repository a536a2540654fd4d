// The line from a drive or folder node to the node it hangs from, drawn in the child's
// coordinates from the facing sides of both nodes; dashed when folders lie in between. It
// also lets the child follow its parent while the parent is dragged with its children.
import QtQuick 2.15
import QtQuick.Shapes 1.15

Shape {
    id: shape
    property Item node
    property var target: null
    property bool indirect: false
    property color lineColor: "#9fb3c8"
    property bool shown: true
    visible: shown && target !== null && target !== undefined
    z: -1
    containsMode: Shape.BoundingRectContains

    // Writes the curve's end and control points (cx1 ... cy4) and its start (connectorX,
    // connectorY) into the node. Computer and drive cards leave room on their left for the
    // drag marker.
    function place() {
        // The node's own parent, not this line's copy of it: that one follows a change later.
        var target = node.parentDir
        var x1 = node.width
        var y1 = node.height / 2
        var x2 = x1
        var y2 = y1
        if (target) {
            var nodeInset = node.surfaceLeft ? node.surfaceLeft : 0
            var targetInset = target.surfaceLeft ? target.surfaceLeft : 0
            var targetLeft = (target.x + target.width / 2) < (node.x + node.width / 2)
            x1 = targetLeft ? nodeInset : node.width
            x2 = targetLeft ? target.x + target.width - node.x : target.x + targetInset - node.x
            y2 = target.y + target.height / 2 - node.y
        }
        node.cx1 = x1
        node.cy1 = y1
        node.cx2 = (x1 + x2) / 2
        node.cy2 = y1
        node.cx3 = (x1 + x2) / 2
        node.cy3 = y2
        node.cx4 = x2
        node.cy4 = y2
        node.connectorX = x1
        node.connectorY = y1
    }

    // The parent starts or ends a drag with its children: the node keeps its distance to
    // it, and passes the drag on to its own children.
    function takeParentDragTree() {
        var target = node.parentDir
        if (target && target.dragTree) {
            node.dragTreeX = node.x - target.x
            node.dragTreeY = node.y - target.y
            node.dragTree = true
        } else {
            node.dragTree = false
        }
    }

    function followParent() {
        var target = node.parentDir
        if (node.dragTree && target && target.dragTree) {
            node.x = target.x + node.dragTreeX
            node.y = target.y + node.dragTreeY
        }
        place()
    }

    Connections {
        target: shape.target
        ignoreUnknownSignals: true
        function onDragTreeChanged() { shape.node.parentDragTree() }
        function onXChanged() { shape.node.parentMoved() }
        function onYChanged() { shape.node.parentMoved() }
        function onWidthChanged() { shape.node.setCurvePos() }
        function onHeightChanged() { shape.node.setCurvePos() }
    }

    ShapePath {
        id: myPath
        strokeWidth: 1.5
        strokeColor: shape.lineColor
        fillColor: "transparent"
        strokeStyle: shape.indirect ? ShapePath.DashLine : ShapePath.SolidLine
        dashPattern: [4, 3]
        startX: shape.node.cx1
        startY: shape.node.cy1
        PathCubic {
            control1X: shape.node.cx2
            control1Y: shape.node.cy2
            control2X: shape.node.cx3
            control2Y: shape.node.cy3
            x: shape.node.cx4
            y: shape.node.cy4
        }
    }
}

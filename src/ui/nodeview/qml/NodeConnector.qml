// The line from a drive or folder node to the node it hangs from, drawn in the child's
// coordinates from the facing sides of both nodes; dashed when folders lie in between.
import QtQuick 2.15
import QtQuick.Shapes 1.15

Shape {
    id: shape
    property Item node
    property var target: null
    property bool indirect: false
    property color lineColor: "#9fb3c8"

    // Computer and drive cards leave room on their left for the drag marker.
    readonly property real nodeInset: node && node.surfaceLeft ? node.surfaceLeft : 0
    readonly property real targetInset: target && target.surfaceLeft ? target.surfaceLeft : 0
    readonly property bool targetLeft: target ? (target.x + target.width / 2) < (node.x + node.width / 2) : false
    readonly property real x1: targetLeft ? nodeInset : node.width
    readonly property real y1: node.height / 2
    readonly property real x2: target ? (targetLeft ? target.x + target.width - node.x
                                                    : target.x + targetInset - node.x) : x1
    readonly property real y2: target ? target.y + target.height / 2 - node.y : y1

    property bool shown: true
    visible: shown && target !== null && target !== undefined
    z: -1
    containsMode: Shape.BoundingRectContains

    ShapePath {
        id: myPath
        strokeWidth: 1.5
        strokeColor: shape.lineColor
        fillColor: "transparent"
        strokeStyle: shape.indirect ? ShapePath.DashLine : ShapePath.SolidLine
        dashPattern: [4, 3]
        startX: shape.x1
        startY: shape.y1
        PathCubic {
            x: shape.x2
            y: shape.y2
            control1X: (shape.x1 + shape.x2) / 2
            control1Y: shape.y1
            control2X: (shape.x1 + shape.x2) / 2
            control2Y: shape.y2
        }
    }
}

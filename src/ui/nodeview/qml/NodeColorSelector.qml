// The row of node styles; picking one restyles the selected nodes.
import QtQuick 2.15

Rectangle {
    id: frame
    signal styleClicked(var style)
    width: colorGrid.width + 16
    height: colorGrid.height + 12
    radius: 8
    color: "#ffffff"
    border.color: Theme.border
    opacity: 0.96

    Grid {
        id: colorGrid
        objectName: "nodeStyleSelector"
        signal styleClicked(var style)
        anchors.centerIn: parent
        columns: 17
        spacing: 2

        Repeater {
            model: 17
            NodeColorRect {
                style: Theme.node["style" + index]
                onStyleClicked: colorGrid.styleClicked(style)
            }
        }
    }
}

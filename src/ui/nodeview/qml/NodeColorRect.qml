// One style swatch.
import QtQuick 2.15

Rectangle {
    id: root
    property var style: null
    signal styleClicked(var style)
    width: 20
    height: 20
    radius: 4
    color: style ? style.color : "transparent"
    border.width: mouse.containsMouse ? 2 : 1
    border.color: style ? style.border : Theme.border

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: root.styleClicked(root.style)
    }
}

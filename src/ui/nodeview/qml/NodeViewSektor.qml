// One view page: a large pannable canvas that holds the view's nodes.
import QtQuick 2.15

Flickable {
    id: root
    property string name: ""
    signal clickedEmptySpace()
    signal contextMenuRequest()

    contentX: 1024
    contentY: 1024
    contentWidth: 2048
    contentHeight: 2048
    maximumFlickVelocity: 800
    boundsBehavior: Flickable.StopAtBounds
    clip: true

    DropArea {
        anchors.fill: parent
        // The widget turns the drop into a node; the page only has to take it.
        onDropped: drop.accept()
    }

    MouseArea {
        id: canvasMouse
        property real pressX: 0
        property real pressY: 0
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        onPressed: {
            pressX = mouse.x
            pressY = mouse.y
        }
        onReleased: {
            // A click, not the end of a pan or a swipe.
            if (Math.abs(mouse.x - pressX) + Math.abs(mouse.y - pressY) > 6)
                return
            if (mouse.button === Qt.RightButton)
                root.contextMenuRequest()
            else if (mouse.button === Qt.LeftButton)
                root.clickedEmptySpace()
        }
    }
}

// Mouse handling of a node: drag to move, left click selects, double click opens, middle
// click or Alt+click opens in the other pane, a right click asks for the node menu.
import QtQuick 2.15

MouseArea {
    id: area
    property Item node
    property real pressX: 0
    property real pressY: 0
    signal clicked2()
    signal alternateClicked()
    signal doubleClicked2()
    signal menuRequested()

    anchors.fill: parent
    acceptedButtons: Qt.LeftButton | Qt.RightButton | Qt.MiddleButton
    drag.target: node
    drag.threshold: 4
    cursorShape: drag.active ? Qt.ClosedHandCursor : Qt.ArrowCursor
    onPressed: {
        pressX = mouse.x
        pressY = mouse.y
        if (mouse.button === Qt.MiddleButton || (mouse.button === Qt.LeftButton && (mouse.modifiers & Qt.AltModifier)))
            alternateClicked()
        else if (mouse.button === Qt.LeftButton)
            clicked2()
    }
    onReleased: {
        // The end of a right-button swipe is no menu request.
        if (mouse.button === Qt.RightButton && Math.abs(mouse.x - pressX) + Math.abs(mouse.y - pressY) <= 6)
            menuRequested()
    }
    onDoubleClicked: if (mouse.button === Qt.LeftButton) doubleClicked2()
}

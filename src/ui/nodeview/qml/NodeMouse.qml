// Mouse handling of a node: drag to move (with Shift, the node's children come along), left
// click selects, double click opens, middle click or Alt+click opens in the other pane, a
// right click asks for the node menu.
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
        // The keys go to the node now, not to a view's link clicked before.
        node.forceActiveFocus()
        if (mouse.button === Qt.LeftButton && (mouse.modifiers & Qt.ShiftModifier))
            node.dragTree = true
        if (mouse.button === Qt.MiddleButton || (mouse.button === Qt.LeftButton && (mouse.modifiers & Qt.AltModifier)))
            alternateClicked()
        else if (mouse.button === Qt.LeftButton)
            clicked2()
    }
    onReleased: {
        if (node.dragTree && mouse.button === Qt.LeftButton)
            node.dragTree = false
        // The end of a right-button swipe is no menu request.
        if (mouse.button === Qt.RightButton && Math.abs(mouse.x - pressX) + Math.abs(mouse.y - pressY) <= 6)
            menuRequested()
    }
    onCanceled: node.dragTree = false
    onDoubleClicked: if (mouse.button === Qt.LeftButton) doubleClicked2()
}

// The card every node is drawn on: the style's colours, a soft shadow, and the accent border
// while the node is selected.
import QtQuick 2.15

Item {
    id: card
    property var style: null
    property bool selected: false
    property bool editing: false
    property alias color: surface.color
    property int radius: 8
    property int colorDuration: 50

    Rectangle {
        x: 0
        y: 2
        width: parent.width
        height: parent.height
        radius: card.radius
        color: "#1f2933"
        opacity: 0.07
    }

    Rectangle {
        id: surface
        objectName: "surface"
        anchors.fill: parent
        radius: card.radius
        z: 1
        color: card.style ? card.style.color : "#ffffff"
        border.width: card.selected || card.editing ? 2 : 1
        border.color: card.selected || card.editing ? Theme.accent : (card.style ? card.style.border : Theme.controlShadow)
        Behavior on color { ColorAnimation { duration: card.colorDuration } }
    }
}

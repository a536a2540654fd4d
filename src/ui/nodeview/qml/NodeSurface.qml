// The card every node is drawn on: the style's colours, a soft drop shadow, and the accent
// border while the node is selected or edited.
import QtQuick 2.15

Item {
    id: card
    property var style: null
    property bool selected: false
    property bool editing: false
    property alias color: surface.color
    property int radius: 8
    property int colorDuration: 50

    // The drop shadow: a soft picture stretched around the card, deeper below it.
    BorderImage {
        objectName: "dropShadow"
        x: -1
        y: -1
        width: parent.width + 4
        height: parent.height + 6
        source: "qrc:/img/shd-border-img.png"
        border { left: 6; top: 6; right: 6; bottom: 6 }
        opacity: 0.65
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

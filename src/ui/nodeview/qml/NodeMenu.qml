// The small marker a computer-side node shows while it can be dragged with its children.
import QtQuick 2.15

Item {
    id: root
    property bool active: false
    property alias dragIndicatorColor: dragIndicator.color
    width: 20
    height: 20
    opacity: 0

    Rectangle {
        id: dragIndicator
        anchors.centerIn: parent
        width: 8
        height: 8
        radius: 4
        color: Theme.accent
    }

    states: State {
        name: "active"
        when: root.active
        PropertyChanges { target: root; opacity: 1 }
    }
    transitions: Transition {
        NumberAnimation { property: "opacity"; duration: 100 }
    }
}

import QtQuick 2.15
import QtQuick.Controls 2.15

// An icon-only button for one application action: it triggers the action and follows its
// enabled state.
Item {
    id: root
    property QtObject qaction: null
    property int iconSize: 32
    property string iconSource: ""
    property alias text: tip.text
    property FilerStyle style: FilerStyle {}

    implicitWidth: iconSize + 8
    implicitHeight: iconSize + 8
    enabled: qaction ? qaction.enabled : true
    opacity: enabled ? 1.0 : 0.4

    Rectangle {
        id: bg
        anchors.fill: parent
        radius: 4
        color: root.style.pressed
        opacity: 0
    }
    Image {
        anchors.centerIn: parent
        width: root.iconSize
        height: root.iconSize
        sourceSize: Qt.size(root.iconSize, root.iconSize)
        source: root.iconSource
        fillMode: Image.PreserveAspectFit
    }
    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        onClicked: if (root.qaction) root.qaction.trigger()
    }
    PlainToolTip {
        id: tip
        visible: mouse.containsMouse && text.length > 0
        delay: 700
        timeout: 5000
    }
    states: [
        State { name: "down"; when: mouse.pressed; PropertyChanges { target: bg; opacity: 1.0 } },
        State { name: "hovered"; when: mouse.containsMouse; PropertyChanges { target: bg; opacity: 0.6 } }
    ]
    transitions: Transition { NumberAnimation { property: "opacity"; duration: 25 } }
}

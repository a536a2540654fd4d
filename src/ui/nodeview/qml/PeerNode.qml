// A computer node: the computer's icon and name with a dot for its connection; greyed while
// the computer is not connected (or not known at all).
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

Item {
    id: root
    property real pad: 14
    property var style: null
    property bool selected: false
    property bool indirect: false
    property bool hasChildren: false
    property string uuid
    property string path
    property string icon
    property var peer: null
    property string peerUuid
    property string type
    property string name
    property real cx1: 0
    property real cy1: 0
    property real cx2: 0
    property real cy2: 0
    property real cx3: 0
    property real cy3: 0
    property real cx4: 0
    property real cy4: 0
    property real connectorX: 0
    property real connectorY: 0
    property bool dragTree: false
    property bool editing: false
    // Whether the node and its line are near the shown part of the page (set by the view, so
    // that panning a page of thousands of nodes draws only what can be seen).
    property bool inView: true
    property bool lineInView: true
    property alias color: card.color
    property alias textColor: nameLabel.color
    // The computer's link state and name, written by the node view (the computer itself lives
    // on the network thread).
    property int linkState: 0
    property string peerDisplayName
    readonly property bool online: linkState === 3
    readonly property string shownName: peerDisplayName.length > 0 ? peerDisplayName : name

    signal nodeAlternateClicked()
    signal nodeClicked()
    signal nodeDoubleClicked(string peerUuid)
    signal contextMenuRequest()

    readonly property real surfaceLeft: 40
    z: 1001
    width: cont.implicitWidth + 40
    height: 48

    FontMetrics { id: fontMetrics }

    // F2 renames a view's link; a selected node keeps it from reaching one.
    Keys.onPressed: if (event.key === Qt.Key_F2) event.accepted = true


    NodeSurface {
        id: card
        visible: root.inView
        x: 40
        width: parent.width - 40
        height: parent.height
        style: root.style ? root.style : Theme.node.style0
        selected: root.selected
        editing: root.editing
    }

    GridLayout {
        id: cont
        // Hidden by opacity, not visibility, so the layout keeps its size.
        opacity: root.inView ? 1 : 0
        x: 40
        height: parent.height
        columns: 3
        columnSpacing: 0
        z: 3
        Item {
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.leftMargin: 12
            Layout.topMargin: 4
            Layout.bottomMargin: 4
            Image {
                id: img
                anchors.fill: parent
                source: root.icon.length > 0 ? root.icon : "image://theme/icon/computer.svg"
                sourceSize: Qt.size(32, 32)
                opacity: root.online ? 1 : 0.45
            }
            Rectangle {
                objectName: "linkIndicator"
                width: 10
                height: 10
                radius: 5
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.margins: -2
                color: root.online ? Theme.highlight.success : Theme.foregroundDisabled
                border.color: "#ffffff"
                border.width: 2
            }
        }
        Label {
            id: nameLabel
            Layout.preferredHeight: 32
            Layout.leftMargin: 8
            Layout.rightMargin: 14
            Layout.maximumWidth: 240
            verticalAlignment: Text.AlignVCenter
            text: root.shownName
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.bold: true
            color: Theme.foreground
        }
    }

    NodeMenu {
        id: nodeMenu
        objectName: "nodeMenu"
        z: 2
        x: 40 - width / 2
        anchors.verticalCenter: parent.verticalCenter
        active: root.dragTree
    }

    NodeMouse {
        node: root
        x: 40
        width: parent.width - 40
        height: parent.height
        anchors.fill: undefined
        z: 5
        onClicked2: root.nodeClicked()
        onAlternateClicked: root.nodeAlternateClicked()
        onDoubleClicked2: root.nodeDoubleClicked(root.peerUuid)
        onMenuRequested: root.contextMenuRequest()
    }

    states: [
        State { name: "editing"; when: root.editing },
        State { name: "selected"; when: root.selected },
        State { name: "dragTree"; when: root.dragTree }
    ]
}

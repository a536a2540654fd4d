// A drive node: the drive's icon, name and size; greyed while its computer is not connected.
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
    property var parentDir: null
    property var peer: null
    property string peerUuid
    property string peerName
    property string type
    property string totalSize
    property string driveLetter
    property string name
    property bool reachable: true
    property real dragTreeX: 0
    property real dragTreeY: 0
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

    signal nodeAlternateClicked()
    signal nodeClicked()
    signal nodeDoubleClicked(string peerUuid, string path)
    signal contextMenuRequest()

    readonly property real surfaceLeft: 40
    z: 1001
    width: cont.implicitWidth + 40
    height: 44

    FontMetrics { id: fontMetrics }

    // The connector's points, and following the parent dragged with its children.
    function setCurvePos() { connector.place() }
    function parentMoved() { connector.followParent() }
    function parentDragTree() { connector.takeParentDragTree() }
    onParentDirChanged: setCurvePos()
    onXChanged: setCurvePos()
    onYChanged: setCurvePos()
    onWidthChanged: setCurvePos()
    onHeightChanged: setCurvePos()

    // F2 renames a view's link; a selected node keeps it from reaching one.
    Keys.onPressed: if (event.key === Qt.Key_F2) event.accepted = true


    NodeConnector {
        id: connector
        node: root
        target: root.parentDir
        indirect: root.indirect
        shown: root.lineInView
    }

    NodeSurface {
        id: card
        visible: root.inView
        x: 40
        width: parent.width - 40
        height: parent.height
        style: root.style ? root.style : Theme.node.drive0
        selected: root.selected
        editing: root.editing
        colorDuration: 125
    }

    RowLayout {
        id: cont
        // Hidden by opacity, not visibility, so the layout keeps its size.
        opacity: root.inView ? 1 : 0
        x: 40
        height: parent.height
        z: 3
        spacing: 0
        Image {
            id: img
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.leftMargin: 16 - 10
            source: root.icon.length > 0 ? root.icon : "image://theme/icon/drive-disk.svg"
            sourceSize: Qt.size(32, 32)
            opacity: root.online ? 1 : 0.45
        }
        Label {
            id: nameLabel
            Layout.leftMargin: 8
            Layout.rightMargin: 4
            Layout.maximumWidth: 220
            text: root.name
            textFormat: Text.PlainText
            elide: Text.ElideRight
            color: Theme.foreground
        }
        Label {
            id: sizeLabel
            objectName: "sizeLabel"
            Layout.leftMargin: 4
            Layout.rightMargin: 12
            opacity: 0.75
            text: root.totalSize
            textFormat: Text.PlainText
            visible: text.length > 0
            font.pointSize: Theme.pointSizeSmall
            color: Theme.foregroundMuted
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
        onDoubleClicked2: root.nodeDoubleClicked(root.peerUuid, root.path)
        onMenuRequested: root.contextMenuRequest()
    }

    states: [
        State { name: "editing"; when: root.editing },
        State { name: "selected"; when: root.selected },
        State { name: "dragTree"; when: root.dragTree }
    ]
}

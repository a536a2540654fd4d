// A folder node (and the network place): the folder's icon and name, its computer's name
// while it hangs from no other node, and a warning while the folder cannot be reached.
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
    property string type
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
    property alias peerName: infoLabel.text
    property alias name: nameLabel.text
    // The computer's link state and name, written by the node view (the computer itself lives
    // on the network thread).
    property int linkState: 0
    property string peerDisplayName
    readonly property bool online: linkState === 3

    signal nodeAlternateClicked()
    signal nodeClicked()
    signal nodeDoubleClicked(string peerUuid, string path)
    signal contextMenuRequest()

    // The width from the texts' own measures (icon 10 + 32, spacing 4, label margins 8 and
    // 14): a layout's implicit width, asked while it settles, changes under the question and
    // loops back into this binding.
    width: Math.max(68 + Math.min(Math.ceil(nameMetrics.advanceWidth) + 1, 240), infoBox.visible ? infoBox.width + 8 : 0)
    height: 48

    FontMetrics { id: fontMetrics }
    TextMetrics {
        id: nameMetrics
        font: nameLabel.font
        text: nameLabel.text
    }

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

    Rectangle {
        id: infoBox
        x: 4
        y: -height - 2
        visible: infoLabel.text.length > 0
        width: infoLabel.width + 12
        height: infoLabel.implicitHeight + 4
        radius: 4
        color: Theme.controlHighlight
        // The label's width from the text's own measure: an elided label's implicit width
        // follows its width, which would loop back into the node's width.
        TextMetrics {
            id: infoMetrics
            font: infoLabel.font
            text: infoLabel.text
        }
        Label {
            id: infoLabel
            anchors.centerIn: parent
            textFormat: Text.PlainText
            font.pointSize: Theme.pointSizeSmall
            color: Theme.foregroundMuted
            elide: Text.ElideRight
            width: Math.min(Math.ceil(infoMetrics.advanceWidth) + 1, 200)
        }
    }

    NodeSurface {
        id: card
        visible: root.inView
        anchors.fill: parent
        style: root.style
        selected: root.selected
        editing: root.editing
        opacity: root.reachable ? 1 : 0.6
    }

    GridLayout {
        id: cont
        // Hidden by opacity, not visibility, so the layout keeps its size.
        opacity: root.inView ? 1 : 0
        columns: 2
        columnSpacing: 4
        height: 48
        z: 3
        Image {
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.topMargin: 2
            Layout.bottomMargin: 2
            Layout.leftMargin: 10
            source: root.icon.length > 0 ? root.icon : "image://theme/icon/folder.svg"
            sourceSize: Qt.size(32, 32)
            opacity: root.online || root.type === "network" ? 1 : 0.55
        }
        Label {
            id: nameLabel
            Layout.topMargin: 4
            Layout.bottomMargin: 4
            Layout.leftMargin: 8
            Layout.rightMargin: 14
            Layout.maximumWidth: 240
            textFormat: Text.PlainText
            elide: Text.ElideRight
            color: root.style && root.style.name === "dark" ? "#ffffff" : Theme.foreground
        }
    }

    RoundButton {
        id: reachableIndicator
        objectName: "reachableIndicator"
        visible: !root.reachable
        width: 18
        height: 18
        radius: 9
        x: root.width - 10
        y: -8
        z: 4
        padding: 0
        text: "!"
        font.bold: true
        palette.button: Theme.danger
        palette.buttonText: "#ffffff"
        hoverEnabled: true
        ToolTip.visible: hovered
        ToolTip.text: qsTrId("node-directory-not-reachable")
    }

    NodeMenu {
        id: nodeMenu
        objectName: "nodeMenu"
        z: 2
        // On the card's right edge, clear of the name.
        x: root.width - width / 2
        anchors.verticalCenter: parent.verticalCenter
        active: root.dragTree
    }

    NodeMouse {
        node: root
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

// The link to one view: a tab in the link layer. Click shows the view; F2 or rename() edits
// its name in place (Return keeps it, Escape restores it).
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
    property string path: ""
    property string icon
    property real selectTimeRef: 0
    property string sectorUuid
    property alias color: card.color
    property alias textColor: nameLabel.color
    property alias name: nameLabel.text
    readonly property bool active: sectorUuid === activeSectorUuid
    property bool editing: false

    signal nodeClicked()
    signal contextMenuRequest()
    signal editStateChanged()

    z: 1001
    width: cont.implicitWidth
    height: 32

    FontMetrics { id: fontMetrics }

    function rename() {
        nameLabelInput.text = nameLabel.text
        editing = true
        nameLabelInput.forceActiveFocus()
        nameLabelInput.selectAll()
        editStateChanged()
    }
    function finishEditing(accept) {
        if (!editing)
            return
        if (accept && nameLabelInput.text.trim().length > 0)
            nameLabel.text = nameLabelInput.text.trim()
        editing = false
        editStateChanged()
    }

    NodeSurface {
        id: card
        anchors.fill: parent
        radius: 4
        style: root.style ? root.style : Theme.node.sector0
        selected: root.active
        editing: root.editing
    }

    RowLayout {
        id: cont
        height: parent.height
        spacing: 0
        z: 3
        Rectangle {
            id: indicator
            Layout.preferredWidth: 8
            Layout.preferredHeight: 8
            Layout.leftMargin: 10
            Layout.rightMargin: 0
            radius: 4
            color: root.active ? Theme.accent : Theme.controlShadow
        }
        Label {
            id: nameLabel
            visible: !root.editing
            Layout.leftMargin: 8
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            Layout.rightMargin: 12
            Layout.maximumWidth: 200
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.bold: root.active
            color: Theme.foreground
        }
        TextInput {
            id: nameLabelInput
            objectName: "nameLabelInput"
            visible: root.editing
            Layout.leftMargin: 8
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            Layout.rightMargin: 12
            Layout.minimumWidth: 80
            selectByMouse: true
            color: Theme.foreground
            selectionColor: Theme.accentLight
            selectedTextColor: Theme.foreground
            font: nameLabel.font
            onAccepted: root.finishEditing(true)
            Keys.onEscapePressed: root.finishEditing(false)
            onActiveFocusChanged: if (!activeFocus) root.finishEditing(true)
        }
    }

    Keys.onPressed: {
        if (event.key === Qt.Key_F2) {
            root.rename()
            event.accepted = true
        }
    }

    MouseArea {
        anchors.fill: parent
        enabled: !root.editing
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        drag.target: root
        drag.threshold: 6
        onPressed: root.forceActiveFocus()
        onClicked: {
            if (mouse.button === Qt.RightButton)
                root.contextMenuRequest()
            else
                root.nodeClicked()
        }
        onDoubleClicked: if (mouse.button === Qt.LeftButton) root.rename()
    }

    states: [
        // A chosen link takes the keys, so F2 renames it.
        State {
            name: "selected"
            when: root.selected && !root.editing
            StateChangeScript { script: root.forceActiveFocus() }
        },
        State { name: "editing"; when: root.editing }
    ]
}

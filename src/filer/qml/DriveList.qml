import QtQuick 2.15
import "elements"

// A peer's drives with their free space; a row opens the drive, and drags as the drive.
ListView {
    id: list
    property var vfsDriveModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 64
    readonly property FilerStyle style: FilerStyle {}
    readonly property SizeText sizes: SizeText {}
    signal pathClicked(string path)

    model: vfsDriveModel
    spacing: 8
    interactive: false
    implicitHeight: count > 0 ? count * itemHeight + (count - 1) * spacing : 0

    delegate: Item {
        id: row
        width: list.width
        height: list.itemHeight
        readonly property real total: Number(vfsDriveBytesTotal)
        readonly property real free: Number(vfsDriveBytesAvailable)

        Rectangle {
            anchors.fill: parent
            radius: 6
            color: mouse.pressed ? list.style.pressed : mouse.containsMouse ? list.style.hover : list.style.card
            border.color: list.style.border
            border.width: 1
        }
        Image {
            id: icon
            x: 14
            anchors.verticalCenter: parent.verticalCenter
            width: 40; height: 40
            sourceSize: Qt.size(40, 40)
            source: "image://theme/" + vfsDriveIconName
        }
        Column {
            anchors.left: icon.right
            anchors.leftMargin: 14
            anchors.right: parent.right
            anchors.rightMargin: 16
            anchors.verticalCenter: parent.verticalCenter
            spacing: 5
            Item {
                width: parent.width
                height: nameText.implicitHeight
                Text {
                    id: nameText
                    anchors.left: parent.left
                    anchors.right: spaceText.left
                    anchors.rightMargin: 12
                    text: vfsDriveDisplayName
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    color: list.style.text
                    font.pointSize: list.style.mediumPointSize
                }
                Text {
                    id: spaceText
                    objectName: "driveSpaceText"
                    anchors.right: parent.right
                    anchors.baseline: nameText.baseline
                    visible: row.total > 0
                    text: qsTrId("drive-space-info").arg(list.sizes.format(row.total)).arg(list.sizes.format(row.free))
                    textFormat: Text.PlainText
                    color: list.style.mutedText
                    font.pointSize: list.style.smallPointSize
                }
            }
            Rectangle {
                width: parent.width
                height: 6
                radius: 3
                color: list.style.barFree
                visible: row.total > 0
                Rectangle {
                    height: parent.height
                    radius: 3
                    width: row.total > 0 ? parent.width * Math.max(0, Math.min(1, (row.total - row.free) / row.total)) : 0
                    color: (row.total > 0 && row.free / row.total < 0.1) ? list.style.danger : list.style.barUsed
                }
            }
        }
        Item { id: proxy; width: 10; height: 10 }
        MouseArea {
            id: mouse
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            drag.target: proxy
            drag.axis: Drag.XAxis
            onClicked: list.pathClicked(vfsDrivePath)
        }
        Drag.active: mouse.drag.active
        Drag.dragType: Drag.Automatic
        Drag.supportedActions: Qt.CopyAction
        Drag.mimeData: { "application/nusk-breadcrumb": vfsDrivePath, "application/nusk-peer-uuid": list.peerUuid }
    }
}

import QtQuick 2.15
import "elements"

// The items this computer shares with a peer (its access entries), each with an edit link.
Item {
    id: root
    property var aclModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 48
    property alias count: list.count
    readonly property FilerStyle style: FilerStyle {}
    signal pathClicked(string peerUuid, string selector)
    signal editClicked(string peerUuid, string aclUuid)

    implicitHeight: list.implicitHeight

    ListView {
        id: list
        width: parent.width
        height: implicitHeight
        implicitHeight: count > 0 ? count * root.itemHeight + (count - 1) * spacing : 0
        spacing: 8
        interactive: false
        model: root.aclModel
        delegate: Item {
            width: list.width
            height: root.itemHeight
            Rectangle {
                anchors.fill: parent
                radius: 6
                color: mouse.pressed ? root.style.pressed : mouse.containsMouse ? root.style.hover : root.style.card
                border.color: root.style.border
            }
            Image {
                id: icon
                x: 12
                anchors.verticalCenter: parent.verticalCenter
                width: 28; height: 28
                sourceSize: Qt.size(28, 28)
                source: (Number(model.flags) & 0x8) ? "image://theme/icon/drive-disk.svg"
                      : (Number(model.flags) & 0x4) ? "image://theme/mime/application/x-directory"
                      : "image://theme/file/" + model.name
            }
            Column {
                anchors.left: icon.right
                anchors.leftMargin: 12
                anchors.right: rights.left
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                Text {
                    width: parent.width
                    text: model.name
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    color: root.style.text
                    font.pointSize: root.style.mediumPointSize
                }
                Text {
                    width: parent.width
                    text: model.selector
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    color: root.style.mutedText
                    font.pointSize: root.style.smallPointSize
                }
            }
            MouseArea {
                id: mouse
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: root.pathClicked(root.peerUuid, model.selector)
            }
            Row {
                id: rights
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                spacing: 12
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: (Number(model.flags) & 0x2) ? qsTrId("acl-read-write") : qsTrId("acl-read-only")
                    textFormat: Text.PlainText
                    color: root.style.mutedText
                    font.pointSize: root.style.smallPointSize
                }
                LinkButton {
                    objectName: "aclEditLink"
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTrId("inline-btn-edit")
                    onClicked: root.editClicked(root.peerUuid, model.uuid)
                }
            }
        }
    }
}

import QtQuick 2.15
import QtQml.Models 2.15
import "elements"

// The items a peer shares with this computer: the rows below the peer's "%shares" folder.
Item {
    id: root
    property var vfsModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 48
    property alias count: list.count
    readonly property FilerStyle style: FilerStyle {}
    signal pathClicked(string peerUuid, string path)

    implicitHeight: list.implicitHeight

    function updateRoot() {
        if (!vfsModel) {
            shares.rootIndex = undefined
            return
        }
        var index = vfsModel.indexForPath("%shares")
        shares.rootIndex = index
        if (index.valid && vfsModel.canFetchMore(index))
            vfsModel.fetchMore(index)
    }
    onVfsModelChanged: updateRoot()
    Component.onCompleted: updateRoot()
    Connections {
        target: root.vfsModel
        ignoreUnknownSignals: true
        function onRowsInserted(parent, first, last) { if (!shares.rootIndex || !shares.rootIndex.valid) root.updateRoot() }
        function onModelReset() { root.updateRoot() }
    }

    DelegateModel {
        id: shares
        model: root.vfsModel
        delegate: Item {
            id: row
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
                source: model.type === 3 ? "image://theme/file/" + model.name
                      : model.type === 1 ? "image://theme/icon/drive-disk.svg"
                      : "image://theme/mime/application/x-directory"
            }
            Text {
                anchors.left: icon.right
                anchors.leftMargin: 12
                anchors.right: rights.left
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                text: model.name
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                color: root.style.text
                font.pointSize: root.style.mediumPointSize
            }
            Text {
                id: rights
                anchors.right: parent.right
                anchors.rightMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                text: (Number(model.info) & 0x2000) ? qsTrId("acl-read-write") : qsTrId("acl-read-only")
                textFormat: Text.PlainText
                color: root.style.mutedText
                font.pointSize: root.style.smallPointSize
            }
            Item { id: proxy; width: 10; height: 10 }
            MouseArea {
                id: mouse
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                drag.target: proxy
                drag.axis: Drag.XAxis
                onClicked: root.pathClicked(root.peerUuid, model.path)
            }
            Drag.active: mouse.drag.active
            Drag.dragType: Drag.Automatic
            Drag.supportedActions: Qt.CopyAction
            Drag.mimeData: { "application/nusk-breadcrumb": model.path, "application/nusk-peer-uuid": root.peerUuid }
        }
    }

    ListView {
        id: list
        width: parent.width
        height: implicitHeight
        implicitHeight: count > 0 ? count * root.itemHeight + (count - 1) * spacing : 0
        spacing: 8
        interactive: false
        model: shares
    }
}

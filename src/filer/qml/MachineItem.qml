import QtQuick 2.15
import com.qentrix.fenu 1.0
import "elements"

// One computer of the list with its link state; a click selects it, a drag carries it.
Item {
    id: item
    property var peer: null
    signal peerSelected(Peer peerObject)
    signal peerPathSelected(Peer peerObject, string path)

    readonly property FilerStyle style: FilerStyle {}
    // The peer lives on the network thread; the row binds to its mirror.
    PeerInfo { id: info; peer: item.peer }
    readonly property int linkState: info.linkState
    readonly property string shownName: info.shownName
    readonly property bool isSelf: info.isLocal

    implicitHeight: 56
    state: linkState === 3 || isSelf ? "connected" : (linkState === 1 || linkState === 2) ? "reachable" : "offline"
    states: [
        State { name: "connected"; PropertyChanges { target: dot; color: item.style.good } },
        State { name: "reachable"; PropertyChanges { target: dot; color: item.style.warn } },
        State { name: "offline"; PropertyChanges { target: dot; color: item.style.off }
                                 PropertyChanges { target: icon; opacity: 0.4 } }
    ]

    Rectangle {
        anchors.fill: parent
        radius: 4
        color: mouse.pressed ? item.style.pressed : item.style.hover
        opacity: mouse.containsMouse || mouse.pressed ? 1 : 0
    }
    Image {
        id: icon
        x: 12
        anchors.verticalCenter: parent.verticalCenter
        width: 32; height: 32
        sourceSize: Qt.size(32, 32)
        source: info.icon.length > 0 ? "image://theme/icon/" + info.icon + ".svg" : ""
    }
    Rectangle {
        id: dot
        width: 10; height: 10; radius: 5
        x: icon.x + icon.width - 7
        y: icon.y + icon.height - 7
        border.color: item.style.page
        border.width: 2
    }
    Column {
        anchors.left: icon.right
        anchors.leftMargin: 12
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 2
        Text {
            objectName: "machineName"
            width: parent.width
            text: item.shownName
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            color: item.state === "offline" ? item.style.mutedText : item.style.text
            font.pointSize: item.style.mediumPointSize
        }
        Text {
            objectName: "machineState"
            width: parent.width
            text: item.isSelf ? qsTrId("label-this-pc")
                : item.state === "connected" ? qsTrId("machine-state-online")
                : item.state === "reachable" ? qsTrId("machine-state-reachable")
                : qsTrId("machine-state-offline")
            textFormat: Text.PlainText
            elide: Text.ElideRight
            color: item.style.mutedText
            font.pointSize: item.style.smallPointSize
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
        onClicked: if (item.peer) item.peerSelected(item.peer)
    }
    Drag.active: mouse.drag.active
    Drag.dragType: Drag.Automatic
    Drag.supportedActions: Qt.CopyAction
    Drag.mimeData: { "application/nusk-peer-uuid": info.uuid }
}

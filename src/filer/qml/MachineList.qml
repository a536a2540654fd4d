import QtQuick 2.15
import QtQuick.Controls 2.15
import com.qentrix.fenu 1.0
import "elements"

// Every known computer with its link state.
Item {
    id: machineList
    property var peer: null
    signal peerSelected(Peer peerObject)
    signal peerPathSelected(Peer peerObject, string path)
    signal openPeerMenuClicked()

    readonly property FilerStyle style: FilerStyle {}
    width: Math.min(parent ? parent.width : 300, 300)

    Rectangle {
        anchors.fill: parent
        color: machineList.style.page
    }
    MachineListSettings {
        id: settings
        anchors.left: parent.left
        anchors.leftMargin: 24
        width: Math.min(parent.width - 48, 480)
    }
    ListView {
        id: list
        objectName: "machineListView"
        anchors.top: settings.bottom
        anchors.left: parent.left
        anchors.bottom: parent.bottom
        anchors.leftMargin: 12
        width: Math.min(parent.width - 24, 504)
        spacing: 4
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        // The keyboard walks the list with the arrows and opens a computer with Enter.
        focus: true
        activeFocusOnTab: true
        keyNavigationEnabled: true
        highlightMoveDuration: 0
        highlight: Rectangle {
            radius: 4
            color: "transparent"
            border.width: list.activeFocus ? 2 : 0
            border.color: machineList.style.accent
        }
        Keys.onReturnPressed: if (currentItem && currentItem.peer) machineList.peerSelected(currentItem.peer)
        Keys.onEnterPressed: if (currentItem && currentItem.peer) machineList.peerSelected(currentItem.peer)
        model: typeof peerModel !== "undefined" ? peerModel : null
        ScrollBar.vertical: ScrollBar {}
        delegate: MachineItem {
            width: list.width
            peer: peerObject
            onPeerSelected: machineList.peerSelected(peerObject)
            onPeerPathSelected: machineList.peerPathSelected(peerObject, path)
        }
    }
}

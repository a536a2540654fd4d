import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.qentrix.fenu 1.0
import "elements"

// One peer at a glance: its card, its drives, what it shares with this computer and what this
// computer shares with it. The browser sets `peer` and connects the signals.
Flickable {
    id: root
    property var peer: null
    // The peer lives on the network thread; the page binds to its mirror.
    readonly property PeerInfo info: PeerInfo { peer: root.peer }
    readonly property string peerName: info.shownName
    readonly property string peerUuid: info.uuid
    readonly property bool isSelfPeer: info.isLocal
    readonly property var linkState: info.linkState

    // Go to this path of the peer.
    signal pathClicked(string path)
    // Go to this path of the local computer: the own shares are local paths, whichever peer
    // the page shows.
    signal localPathClicked(string path)
    signal editPeerAclClicked(string peerUuid, string aclUuid)
    signal showMyShares()
    signal showPeerShares()

    readonly property FilerStyle style: FilerStyle {}
    // "drives", "shares" or "myshares": the page asked for; shown while the peer is online.
    property string requestedPage: "drives"
    property bool online: false
    readonly property string page: !online ? "offline" : (isSelfPeer ? "drives" : requestedPage)

    onShowMyShares: requestedPage = "myshares"
    onShowPeerShares: requestedPage = "shares"
    onPeerChanged: {
        requestedPage = "drives"
        online = false
        checkTimer.restart()
    }
    onLinkStateChanged: {
        if (linkState === 3)
            online = true
        else if (linkState === 0)
            online = false
    }
    // The link state of a peer that was just set settles first; then it decides.
    Timer {
        id: checkTimer
        interval: 5
        running: true
        onTriggered: root.online = root.linkState === 3
    }

    implicitWidth: 650
    implicitHeight: 400
    contentWidth: width
    contentHeight: content.implicitHeight + 64 + 48
    boundsBehavior: Flickable.StopAtBounds
    clip: true
    ScrollBar.vertical: ScrollBar { width: 20; policy: ScrollBar.AsNeeded }

    Rectangle {
        parent: root
        anchors.fill: parent
        z: -1
        color: root.style.page
    }

    Column {
        id: content
        // Never wider than the page (a pane of a window at its first-start size is about
        // 500 wide): centred with wide margins in a wide page, with narrow ones in a narrow
        // page, clear of the scroll bar on the right.
        readonly property bool narrow: root.width < 650
        width: narrow ? root.width - 16 - 24 : Math.min(root.width, 900) - 52 - 40
        x: narrow ? 16 : Math.max(46, (root.width - width) / 2)
        spacing: 0

        // The header ends where the pages end: the links' column lines up with the cards below.
        readonly property int pagesRightMargin: narrow ? 0 : 40

        GridLayout {
            id: header
            width: parent.width - content.pagesRightMargin
            // The links go below the card when the two do not fit side by side.
            columns: computer.implicitWidth + columnSpacing + links.implicitWidth <= width ? 2 : 1
            columnSpacing: 64
            rowSpacing: 16
            PeerViewComputer {
                id: computer
                objectName: "peerCard"
                Layout.topMargin: 32
                Layout.fillWidth: true
                Layout.preferredHeight: 104
                peer: root.info
                peerName: root.peerName
                peerType: root.info.type
                linkState: root.linkState
                Item { id: cardProxy; width: 10; height: 10 }
                MouseArea {
                    id: cardMouse
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    drag.target: cardProxy
                    onClicked: root.requestedPage = "drives"
                }
                Drag.active: cardMouse.drag.active
                Drag.dragType: Drag.Automatic
                Drag.supportedActions: Qt.CopyAction
                Drag.mimeData: { "application/nusk-peer-uuid": root.peerUuid }
                Drag.imageSource: root.info.icon.length > 0 ? "image://theme/icon/" + root.info.icon + ".svg" : ""
            }
            // Level with the card's lines of text, which sit in the middle of the card; below
            // it, in line with its text.
            Column {
                id: links
                Layout.topMargin: header.columns === 2 ? 32 : 0
                Layout.leftMargin: header.columns === 2 ? 0 : computer.textX
                Layout.alignment: Qt.AlignVCenter
                spacing: 4
                visible: !root.isSelfPeer
                // The keyboard starts here; the arrows go between the two, Enter follows one.
                LinkButton {
                    id: peerSharesLink
                    objectName: "peerSharesLink"
                    focus: true
                    KeyNavigation.down: mySharesLink
                    text: qsTrId("btn-shared-items")
                    font.bold: root.page === "shares"
                    onClicked: root.showPeerShares()
                }
                LinkButton {
                    id: mySharesLink
                    objectName: "mySharesLink"
                    KeyNavigation.up: peerSharesLink
                    text: qsTrId("label-your-shares")
                    font.bold: root.page === "myshares"
                    onClicked: root.showMyShares()
                }
            }
        }

        Item {
            width: parent.width
            height: pages.implicitHeight + 64 + 48
            Item {
                id: pages
                anchors.fill: parent
                anchors.topMargin: 64
                anchors.rightMargin: content.pagesRightMargin
                anchors.bottomMargin: 48
                implicitHeight: root.page === "offline" ? offlinePage.implicitHeight
                              : root.page === "drives" ? drivesPage.implicitHeight
                              : root.page === "shares" ? sharesPage.implicitHeight
                              : mySharesPage.implicitHeight

                Text {
                    id: offlinePage
                    objectName: "offlinePage"
                    width: parent.width
                    visible: root.page === "offline"
                    opacity: visible ? 1 : 0
                    Behavior on opacity { NumberAnimation { duration: 100 } }
                    text: qsTrId("description-remote-not-reachable")
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    color: root.style.mutedText
                    font.pointSize: root.style.mediumPointSize
                }

                DriveList {
                    id: drivesPage
                    objectName: "drivesPage"
                    width: parent.width
                    height: implicitHeight
                    visible: root.page === "drives"
                    vfsDriveModel: root.info.vfsDriveModel
                    peerUuid: root.peerUuid
                    onPathClicked: root.pathClicked(path)
                }

                Column {
                    id: sharesPage
                    objectName: "sharesPage"
                    width: parent.width
                    spacing: 16
                    visible: root.page === "shares"
                    Text {
                        text: qsTrId("btn-shared-items")
                        textFormat: Text.PlainText
                        color: root.style.text
                        font.pointSize: root.style.mediumPointSize
                        font.weight: Font.DemiBold
                    }
                    Text {
                        objectName: "noPeerSharesText"
                        width: parent.width
                        visible: sharesList.count === 0 && sharedDrives.count === 0
                        opacity: visible ? 1 : 0
                        Behavior on opacity { NumberAnimation { duration: 50 } }
                        text: qsTrId("no-shared-items-on-remote").arg(root.peerName)
                        textFormat: Text.PlainText
                        wrapMode: Text.WordWrap
                        color: root.style.mutedText
                        font.pointSize: root.style.pointSize
                    }
                    SharesList {
                        id: sharesList
                        width: parent.width
                        vfsModel: root.page === "shares" ? root.info.vfsFileSystemModel : null
                        peerUuid: root.peerUuid
                        onPathClicked: root.pathClicked(path)
                    }
                    // A computer answers the drive list with the drives it shares with this one.
                    DriveList {
                        id: sharedDrives
                        objectName: "sharedDrivesList"
                        width: parent.width
                        height: implicitHeight
                        vfsDriveModel: root.page === "shares" ? root.info.vfsDriveModel : null
                        peerUuid: root.peerUuid
                        onPathClicked: root.pathClicked(path)
                    }
                }

                Column {
                    id: mySharesPage
                    objectName: "mySharesPage"
                    width: parent.width
                    spacing: 16
                    visible: root.page === "myshares"
                    Text {
                        text: qsTrId("label-your-shares")
                        textFormat: Text.PlainText
                        color: root.style.text
                        font.pointSize: root.style.mediumPointSize
                        font.weight: Font.DemiBold
                    }
                    Text {
                        objectName: "noMySharesText"
                        width: parent.width
                        visible: aclList.count === 0
                        text: qsTrId("no-shared-items-for-remote").arg(root.peerName)
                        textFormat: Text.PlainText
                        wrapMode: Text.WordWrap
                        color: root.style.mutedText
                        font.pointSize: root.style.pointSize
                    }
                    AclList {
                        id: aclList
                        objectName: "aclList"
                        width: parent.width
                        aclModel: root.info.aclModel
                        peerUuid: root.peerUuid
                        onPathClicked: root.localPathClicked(selector)
                        onEditClicked: root.editPeerAclClicked(peerUuid, aclUuid)
                    }
                }
            }
        }
    }
}

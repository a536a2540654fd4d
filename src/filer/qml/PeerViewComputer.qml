import QtQuick 2.15
import "elements"

// The peer's card: its device picture, whether it is this computer, its name and link state.
Item {
    id: card
    property var peer: null
    property string peerName: ""
    property string peerType: ""
    property string deviceImg: "qrc:///img/computer-pc.svg"
    property var linkState
    readonly property FilerStyle style: FilerStyle {}
    // The local computer is the peer with the null uuid, whatever other uuids start with.
    readonly property bool isSelf: peer ? peer.isLocal === true : false

    // What the picture and the longest line ask for; a long name is elided below that.
    implicitWidth: texts.x + Math.max(caption.implicitWidth, Math.min(name.implicitWidth, 300), linkRow.implicitWidth)
    implicitHeight: 104
    // Where the lines of text start, for what lines up with them.
    readonly property real textX: texts.x

    function updateImage() {
        if (!peer || !peer.uuid)
            return
        if (peer.deviceType === 1)
            deviceImg = "qrc:///img/computer-pc.svg"
        else if (peer.deviceType === 2)
            deviceImg = "qrc:///img/computer-laptop.svg"
        else
            console.log("unkown device type, skip set image")
    }
    onPeerChanged: updateImage()
    Connections {
        target: card.peer ? card.peer : null
        ignoreUnknownSignals: true
        function onChanged() { card.updateImage() }
    }

    Row {
        anchors.fill: parent
        spacing: 20
        Image {
            id: picture
            source: card.deviceImg
            height: Math.min(80, card.height)
            width: height
            sourceSize: Qt.size(160, 160)
            fillMode: Image.PreserveAspectFit
            anchors.verticalCenter: parent.verticalCenter
        }
        Column {
            id: texts
            anchors.verticalCenter: parent.verticalCenter
            width: card.width - picture.width - 20
            spacing: 4
            Text {
                id: caption
                text: card.isSelf ? qsTrId("label-this-pc") : qsTrId("label-remote-pc")
                textFormat: Text.PlainText
                color: card.style.mutedText
                font.pointSize: card.style.pointSize
                font.capitalization: Font.AllUppercase
                font.letterSpacing: 0.8
            }
            Text {
                id: name
                objectName: "peerCardName"
                width: parent.width
                text: card.peerName
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: card.style.text
                font.pointSize: card.style.largePointSize
                font.weight: Font.DemiBold
            }
            Row {
                id: linkRow
                spacing: 6
                visible: !card.isSelf
                Rectangle {
                    width: 8; height: 8; radius: 4
                    anchors.verticalCenter: parent.verticalCenter
                    color: card.linkState === 3 ? card.style.good
                         : (card.linkState === 1 || card.linkState === 2) ? card.style.warn : card.style.off
                }
                Text {
                    text: card.linkState === 3 ? qsTrId("machine-state-online")
                        : (card.linkState === 1 || card.linkState === 2) ? qsTrId("machine-state-reachable")
                        : qsTrId("machine-state-offline")
                    textFormat: Text.PlainText
                    color: card.style.mutedText
                    font.pointSize: card.style.pointSize
                }
            }
        }
    }
}

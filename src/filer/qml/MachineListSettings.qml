import QtQuick 2.15
import "elements"

// The head of the computer list; says so while connecting to other computers is switched off.
Rectangle {
    id: settings
    readonly property FilerStyle style: FilerStyle {}
    readonly property bool networkEnabled: typeof mainWindow !== "undefined" && mainWindow ? mainWindow.networkEnabled : true
    implicitHeight: head.implicitHeight + 32
    color: "transparent"

    Column {
        id: head
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.topMargin: 20
        spacing: 8
        Text {
            text: qsTrId("place-network")
            textFormat: Text.PlainText
            color: settings.style.text
            font.pointSize: settings.style.mediumPointSize
            font.weight: Font.DemiBold
        }
        Text {
            objectName: "offlineHint"
            width: parent.width
            visible: !settings.networkEnabled
            text: qsTrId("network-hint-offlinemode")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            maximumLineCount: 3
            elide: Text.ElideRight
            color: settings.style.mutedText
            font.pointSize: settings.style.smallPointSize
        }
    }
}

import QtQuick 2.15
import QtQuick.Controls 2.15

// One place of the breadcrumb's top row: a 32 x 32 icon, an optional label, hover highlight.
// Its user attaches the drag; `dragProxy` is what moves.
Item {
    id: root
    property alias iconSource: icon.source
    property alias tooltip: tip.text
    property alias label: labelText.text
    // What a drag of the item offers (MIME type to text); no drag while it is empty.
    property var dragMimeData: null
    property bool dragBothAxes: true
    property FilerStyle style: FilerStyle {}
    signal clicked()

    implicitHeight: 40
    implicitWidth: row.implicitWidth + 12

    Rectangle {
        anchors.fill: parent
        radius: 4
        color: mouse.pressed ? root.style.pressed : root.style.hover
        opacity: mouse.containsMouse || mouse.pressed ? 1 : 0
        Behavior on opacity { NumberAnimation { duration: 60 } }
    }
    Row {
        id: row
        anchors.centerIn: parent
        spacing: 6
        Image {
            id: icon
            width: 32; height: 32
            sourceSize: Qt.size(32, 32)
            fillMode: Image.PreserveAspectFit
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            id: labelText
            visible: text.length > 0
            textFormat: Text.PlainText
            color: root.style.text
            font.pointSize: root.style.pointSize
            elide: Text.ElideRight
            width: Math.min(implicitWidth, 180)
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    Item {
        id: proxy
        width: 10; height: 10
        Drag.active: mouse.drag.active
        Drag.dragType: Drag.Automatic
        Drag.supportedActions: Qt.CopyAction
        Drag.mimeData: root.dragMimeData ? root.dragMimeData : {}
        Drag.imageSource: icon.source
    }
    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        drag.target: root.dragMimeData ? proxy : null
        drag.axis: root.dragBothAxes ? Drag.XAndYAxis : Drag.XAxis
        onClicked: root.clicked()
        onReleased: { proxy.x = 0; proxy.y = 0 }
    }
    PlainToolTip {
        id: tip
        visible: mouse.containsMouse && text.length > 0
        delay: 1000
    }
}

import QtQuick 2.15
import QtQuick.Controls 2.15

Button {
    id: control
    property FilerStyle style: FilerStyle {}
    flat: true
    hoverEnabled: true
    padding: 2
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    // As wide as in bold: a link that turns bold when chosen moves nothing beside it.
    implicitWidth: Math.ceil(boldText.advanceWidth) + leftPadding + rightPadding
    TextMetrics {
        id: boldText
        font.pointSize: control.style.mediumPointSize
        font.bold: true
        text: control.text
    }
    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        color: control.enabled ? control.style.link : control.style.off
        font.pointSize: control.style.mediumPointSize
        font.bold: control.font.bold
        font.underline: control.hovered || control.visualFocus
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
    }
    background: Item {}
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.NoButton
        cursorShape: Qt.PointingHandCursor
    }
}

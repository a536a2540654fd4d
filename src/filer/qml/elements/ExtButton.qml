import QtQuick 2.15
import QtQuick.Controls 2.15

Button {
    id: control
    property FilerStyle style: FilerStyle {}
    leftPadding: 12; rightPadding: 12; topPadding: 8; bottomPadding: 8
    hoverEnabled: true
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font.pointSize: control.style.pointSize
        color: control.enabled ? (control.highlighted ? "#ffffff" : control.style.text) : control.style.off
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        implicitWidth: 88
        implicitHeight: 32
        radius: 4
        color: control.highlighted
               ? (control.down ? Qt.darker(control.style.accent, 1.2) : control.hovered ? Qt.lighter(control.style.accent, 1.1) : control.style.accent)
               : (control.down ? control.style.pressed : control.hovered ? control.style.hover : control.style.card)
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? control.style.accent : control.style.border
    }
}

import QtQuick 2.15
import QtQuick.Controls 2.15

CheckBox {
    id: control
    property FilerStyle style: FilerStyle {}
    spacing: 8
    indicator: Rectangle {
        implicitWidth: 16
        implicitHeight: 16
        radius: 8
        x: control.leftPadding
        y: parent.height / 2 - height / 2
        color: control.style.card
        border.width: control.visualFocus ? 2 : 1
        border.color: control.checked || control.visualFocus ? control.style.accent : control.style.border
        Rectangle {
            width: 12; height: 12; radius: 6
            anchors.centerIn: parent
            color: control.style.accent
            visible: control.checked
            scale: 0.75
        }
    }
    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font.pointSize: control.style.pointSize
        color: control.style.text
        verticalAlignment: Text.AlignVCenter
        leftPadding: control.indicator.width + control.spacing
    }
}

// A push button of the dialogs; `primary` gives the accent colour of the default action.
import QtQuick 2.15
import QtQuick.Controls 2.15

Button {
    id: control
    property bool primary: false
    implicitHeight: 32
    leftPadding: 18
    rightPadding: 18
    font.pointSize: Theme.pointSizeNormal

    contentItem: Text {
        text: control.text
        font: control.font
        textFormat: Text.PlainText
        color: !control.enabled ? Theme.foregroundDisabled : (control.primary ? "#ffffff" : Theme.foreground)
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        implicitWidth: 96
        radius: 5
        color: !control.enabled ? Theme.background
             : control.primary ? (control.down ? Qt.darker(Theme.accent, 1.15) : control.hovered ? Qt.lighter(Theme.accent, 1.08) : Theme.accent)
             : (control.down ? Theme.controlHighlight : control.hovered ? Theme.background : Theme.background2)
        border.width: control.primary && control.enabled ? 0 : 1
        border.color: control.activeFocus ? Theme.accent : Theme.controlShadow
    }
}

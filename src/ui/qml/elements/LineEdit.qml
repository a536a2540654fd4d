// A labelled text field with a description line below; `showError` marks the field as wrong
// (its border): the description stays a quiet explanation, the error is said elsewhere.
import QtQuick 2.15
import QtQuick.Controls 2.15

FocusScope {
    id: root
    property alias label: labelText.text
    property alias description: descriptionText.text
    property alias text: input.text
    property alias echoMode: input.echoMode
    property alias inputMask: input.inputMask
    property alias readOnly: input.readOnly
    property alias validator: input.validator
    property alias acceptableInput: input.acceptableInput
    property alias maximumLength: input.maximumLength
    property alias placeholderText: input.placeholderText
    property alias input: input
    property bool disabled: false
    property bool showError: false
    property real preferredWidth: 200

    signal editingFinished()
    signal textEdited()
    signal accepted()

    implicitWidth: preferredWidth
    implicitHeight: column.implicitHeight
    enabled: !disabled

    Column {
        id: column
        width: parent.width
        spacing: 4

        Text {
            id: labelText
            textFormat: Text.PlainText
            color: Theme.foreground
            font.pointSize: Theme.pointSizeNormal
            visible: text.length > 0
        }
        Rectangle {
            width: parent.width
            height: input.implicitHeight + 12
            radius: 3
            color: root.disabled ? Theme.background : Theme.background2
            border.width: 1
            border.color: root.showError ? Theme.danger : (input.activeFocus ? Theme.accent : Theme.controlShadow)

            TextField {
                id: input
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 8
                focus: true
                verticalAlignment: Text.AlignVCenter
                font.pointSize: Theme.pointSizeNormal
                font.letterSpacing: 1
                color: Theme.foreground2
                selectByMouse: true
                background: Item {}
                onEditingFinished: root.editingFinished()
                onTextEdited: root.textEdited()
                onAccepted: root.accepted()
            }
        }
        Text {
            id: descriptionText
            objectName: "descriptionText"
            width: parent.width
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foregroundMuted
            font.pointSize: Theme.pointSizeSmall
            visible: text.length > 0
        }
    }
}

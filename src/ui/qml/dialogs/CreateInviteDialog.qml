// Shows a new invitation: its code and link. It is stored by "Create invitation", or as soon
// as the link leaves the dialog (copied), since the other computer may accept it from then on.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import "../elements"

Window {
    id: win
    property string url: ""
    property string uuid: ""
    property string password: ""
    property string name: ""
    property bool stored: false   // set by the window once the invitation is in the store

    signal copyToClipboard(string url)
    signal createInvitation(string uuid, string name, string url, string password)

    title: qsTrId("inv-create-title")
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    visible: false
    color: Theme.background
    width: measure.width + 4 * Theme.windowPadding
    minimumWidth: width
    maximumWidth: width
    height: content.implicitHeight + 2 * Theme.windowPadding
    minimumHeight: height
    x: Screen.virtualX + (Screen.desktopAvailableWidth - width) / 2
    y: Screen.virtualY + (Screen.desktopAvailableHeight - height) / 2

    onUuidChanged: {
        if (uuid.length > 0) {
            var parts = uuid.split("-")
            if (parts.length > 2)
                name = parts[2]
        }
    }
    onVisibleChanged: if (visible) createButton.forceActiveFocus()

    TextMetrics {
        id: measure
        font: infoText.font
        text: "The following invitation can be sent via email or messenger"
    }

    Shortcut {
        sequence: "Escape"
        onActivated: win.close()
    }
    // Enter presses the button that has the focus, else the default one.
    Shortcut {
        sequences: ["Return", "Enter"]
        onActivated: (cancelButton.activeFocus ? cancelButton : createButton).clicked()
    }

    Column {
        id: content
        x: Theme.windowPadding
        y: Theme.windowPadding
        width: win.width - 2 * Theme.windowPadding
        spacing: 14

        Text {
            id: infoText
            width: parent.width
            text: qsTrId("inv-info-text")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foreground
            font.pointSize: Theme.pointSizeNormal
        }
        Text {
            width: parent.width
            text: qsTrId("inv-code-description")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foregroundMuted
            font.pointSize: Theme.pointSizeNormal
        }
        Row {
            spacing: 16
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: qsTrId("inv-password-label")
                textFormat: Text.PlainText
                color: Theme.foreground
                font.pointSize: Theme.pointSizeNormal
            }
            TextInput {
                id: codeText
                objectName: "codeText"
                anchors.verticalCenter: parent.verticalCenter
                text: win.password
                readOnly: true
                selectByMouse: true
                font.pointSize: Theme.pointSizeLarge
                font.family: "monospace"
                font.letterSpacing: 2
                font.bold: true
                color: Theme.foreground
            }
        }
        Rectangle {
            width: parent.width
            height: Math.min(textArea.implicitHeight + 16, 160)
            radius: 4
            color: Theme.background2
            border.width: 1
            border.color: Theme.controlShadow
            ScrollView {
                anchors.fill: parent
                anchors.margins: 8
                clip: true
                TextArea {
                    id: textArea
                    objectName: "linkText"
                    text: win.url
                    readOnly: true
                    // The link leaves only through a copy, and a copy stores the invitation.
                    // Nothing selects it either: on X11 a selection is published at once (the
                    // primary selection, pasted by a middle click).
                    selectByMouse: false
                    selectByKeyboard: false
                    Keys.onShortcutOverride: event.accepted = event.matches(StandardKey.Copy)
                                                              || event.matches(StandardKey.SelectAll)
                    Keys.onPressed: {
                        if (event.matches(StandardKey.Copy)) {
                            win.copyToClipboard(win.url)
                            event.accepted = true
                        } else if (event.matches(StandardKey.SelectAll)) {
                            event.accepted = true
                        }
                    }
                    wrapMode: TextEdit.WrapAnywhere
                    textFormat: TextEdit.PlainText
                    font.family: "monospace"
                    font.pointSize: Theme.pointSizeSmall
                    color: Theme.foreground2
                    padding: 0
                    background: Item {}
                    KeyNavigation.tab: cancelButton
                }
            }
        }
        Text {
            id: copyButton
            objectName: "copyButton"
            anchors.right: parent.right
            text: qsTrId("inv-copy-to-clipboard")
            textFormat: Text.PlainText
            color: Theme.accent
            font.pointSize: Theme.pointSizeNormal
            font.underline: copyArea.containsMouse
            MouseArea {
                id: copyArea
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: win.copyToClipboard(win.url)
            }
        }
        Text {
            id: acceptHint
            objectName: "acceptHint"
            width: parent.width
            text: win.stored ? qsTrId("inv-copied-stored") : qsTrId("inv-accept-hint")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foregroundMuted
            font.pointSize: Theme.pointSizeNormal
        }
        Row {
            anchors.right: parent.right
            spacing: 8
            DialogButton {
                id: cancelButton
                objectName: "cancelButton"
                text: qsTrId("btn-cancel")
                KeyNavigation.tab: createButton
                onClicked: win.close()
            }
            DialogButton {
                id: createButton
                objectName: "createButton"
                primary: true
                focus: true
                text: qsTrId("inv-btn-create")
                onClicked: {
                    win.createInvitation(win.uuid, win.name, win.url, win.password)
                    win.close()
                }
            }
        }
    }
}

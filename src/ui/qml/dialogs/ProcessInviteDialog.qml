// Adds a computer by its invitation link and code. The window checks both while they are
// typed (`valid` is written back by the main window) and accepts only a valid pair; a code
// alone is kept for invitations announced on the local network. Computers on the same
// network with an open invitation (`nearby`, written by the main window while the dialog is
// open) are listed, so the user knows which one to fetch the link from.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import QtQml.StateMachine 1.15 as DSM
import "../elements"

Window {
    id: win
    property bool valid: false
    // The link opens with the code, but its invitation ran out (written before `valid`).
    property bool expired: false
    // The link is being checked (its key takes a moment to derive).
    property bool checking: false
    // What is wrong, once there is something to judge: "link", "code", "expired", "own" (made
    // on this computer) or "" (written by the main window before `valid`).
    property string problem: ""
    property alias url: input.text
    // [{ name, deviceType }]: names as their computers announce them, shown as plain text.
    property var nearby: []
    readonly property string checkState: stateValid.active ? "valid" : stateInvalid.active ? "invalid"
                                  : stateEmpty.active ? "empty" : "validate"

    signal textChanged(string url, string password)
    signal addRemote(string url, string password)

    title: qsTrId("inv-process-invitation-dlg-title")
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

    // The link box asks for the keyboard as the window shows, before the window manager has
    // made it the active window: that marks the window's content focused without giving it
    // the keys, and the activation that follows then gives them to nothing. Once active, the
    // box asks again, unless something in the window has the keys already.
    onActiveChanged: {
        if (!active)
            return
        if (!stateMachine.running)
            stateMachine.start()
        if (!win.activeFocusItem)
            input.forceActiveFocus()
    }
    onVisibleChanged: if (visible && !stateMachine.running) stateMachine.start()

    TextMetrics {
        id: measure
        font.pointSize: Theme.pointSizeNormal
        text: "The following invitation can be sent via email or messenger"
    }

    Shortcut {
        sequence: "Escape"
        onActivated: win.close()
    }

    // The window answers textChanged at once by writing `valid`; `checked` then has the
    // state machine look again, also when the answer did not change (another wrong code).
    signal checked()
    function emitChange() {
        win.textChanged(input.text, passwordEdit.text)
        win.checked()
    }

    DSM.StateMachine {
        id: stateMachine
        initialState: stateValidate
        running: false

        DSM.State {
            id: stateValidate
            DSM.SignalTransition { targetState: stateValid; signal: stateValidate.entered; guard: win.valid }
            DSM.SignalTransition { targetState: stateEmpty; signal: stateValidate.entered; guard: !win.valid && input.text.length === 0 }
            DSM.SignalTransition { targetState: stateInvalid; signal: stateValidate.entered; guard: !win.valid && input.text.length > 0 }
        }
        DSM.State {
            id: stateValid
            onEntered: {
                input.readOnly = true
            }
            DSM.SignalTransition { targetState: stateValidate; signal: win.validChanged }
            DSM.SignalTransition { targetState: stateValidate; signal: win.checked }
        }
        DSM.State {
            id: stateEmpty
            onEntered: {
                input.readOnly = false
                // Back to the link, unless the user is typing the code.
                if (!passwordEdit.activeFocus)
                    input.forceActiveFocus()
            }
            DSM.SignalTransition { targetState: stateValidate; signal: win.validChanged }
            DSM.SignalTransition { targetState: stateValidate; signal: win.checked }
        }
        DSM.State {
            id: stateInvalid
            onEntered: {
                input.readOnly = false
                // Back to the link, unless the user is typing the code.
                if (!passwordEdit.activeFocus)
                    input.forceActiveFocus()
            }
            DSM.SignalTransition { targetState: stateValidate; signal: win.validChanged }
            DSM.SignalTransition { targetState: stateValidate; signal: win.checked }
        }
    }

    Column {
        id: content
        x: Theme.windowPadding
        y: Theme.windowPadding
        width: win.width - 2 * Theme.windowPadding
        spacing: 14

        Text {
            width: parent.width
            text: qsTrId("inv-description-accept-invitation")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foreground
            font.pointSize: Theme.pointSizeNormal
        }
        // Its room is kept whether or not a computer is heard, so that nothing below moves
        // while the user reaches for it.
        Column {
            id: nearbySection
            objectName: "nearbySection"
            width: parent.width
            spacing: 6
            Text {
                width: parent.width
                text: win.nearby.length > 0 ? qsTrId("inv-nearby-open-invitations") : qsTrId("inv-nearby-none")
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: Theme.foregroundMuted
                font.pointSize: Theme.pointSizeNormal
            }
            ListView {
                id: nearbyList
                width: parent.width
                height: 2 * 24
                clip: true
                interactive: contentHeight > height
                model: win.nearby
                delegate: Row {
                    height: 24
                    spacing: 8
                    leftPadding: 4
                    Image {
                        width: 20
                        height: 20
                        sourceSize: Qt.size(20, 20)
                        anchors.verticalCenter: parent.verticalCenter
                        source: modelData.deviceType === 2 ? "qrc:/icons/dev-laptop.svg" : "qrc:/icons/dev-desktop.svg"
                    }
                    Text {
                        objectName: "nearbyName"
                        width: nearbySection.width - 32
                        anchors.verticalCenter: parent.verticalCenter
                        text: modelData.name
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: Theme.foreground
                        font.pointSize: Theme.pointSizeNormal
                    }
                }
            }
        }
        Rectangle {
            width: parent.width
            height: 200
            radius: 4
            color: Theme.background2
            border.width: 1
            border.color: input.activeFocus ? Theme.accent : Theme.controlShadow
            ScrollView {
                anchors.fill: parent
                anchors.margins: 8
                clip: true
                // A focus scope of its own: the link box has the keyboard from the start only
                // when the scope has it too.
                focus: true
                TextArea {
                    id: input
                    objectName: "linkInput"
                    focus: true
                    readOnly: true
                    inputMethodHints: Qt.ImhLatinOnly
                    wrapMode: TextEdit.WrapAnywhere
                    textFormat: TextEdit.PlainText
                    placeholderText: qsTrId("inv-paste-invitation-placeholder")
                    placeholderTextColor: Theme.foregroundDisabled
                    selectByMouse: true
                    font.family: "monospace"
                    font.pointSize: Theme.pointSizeSmall
                    color: Theme.foreground2
                    padding: 0
                    background: Item {}
                    // Tab moves on: a link never holds a tab.
                    KeyNavigation.priority: KeyNavigation.BeforeItem
                    KeyNavigation.tab: passwordEdit
                    onTextChanged: win.emitChange()
                    MouseArea {
                        anchors.fill: parent
                        acceptedButtons: Qt.RightButton
                        onClicked: contextMenu.popup()
                    }
                    Menu {
                        id: contextMenu
                        MenuItem {
                            text: qsTrId("btn-copy")
                            onTriggered: { input.selectAll(); input.copy() }
                        }
                        MenuItem {
                            text: qsTrId("btn-paste")
                            onTriggered: { input.readOnly = false; input.clear(); input.paste() }
                        }
                    }
                }
            }
        }
        Text {
            width: parent.width
            text: qsTrId("inv-accept-description")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foregroundMuted
            font.pointSize: Theme.pointSizeNormal
        }
        LineEdit {
            id: passwordEdit
            objectName: "passwordEdit"
            label: qsTrId("inv-password-input")
            description: qsTrId("inv-hint-codeinput")
            maximumLength: 8
            preferredWidth: 200
            width: 200
            showError: win.problem === "code"
            KeyNavigation.tab: cancelButton
            onTextEdited: win.emitChange()
            onAccepted: if (addButton.enabled) addButton.clicked()
        }
        Text {
            id: hintText
            objectName: "hintText"
            readonly property bool good: stateValid.active
            width: parent.width
            text: win.checking ? ""
                : stateValid.active ? qsTrId("inv-hint-valid-data")
                : win.problem === "link" ? qsTrId("inv-hint-bad-link")
                : win.problem === "code" ? qsTrId("inv-hint-bad-code")
                : win.problem === "expired" ? qsTrId("inv-hint-expired")
                //% "This invitation was made on this computer. Accept it on the other computer."
                : win.problem === "own" ? qsTrId("inv-hint-own")
                : ""
            // Two lines kept, so that the buttons below stay where they are.
            height: Math.max(implicitHeight, 2 * fontMetrics.height)
            FontMetrics { id: fontMetrics; font: hintText.font }
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: good ? Theme.highlight.success : Theme.danger
            font.pointSize: Theme.pointSizeNormal
        }
        Row {
            anchors.right: parent.right
            spacing: 8
            DialogButton {
                id: cancelButton
                objectName: "cancelButton"
                text: qsTrId("btn-cancel")
                onClicked: win.close()
            }
            DialogButton {
                id: addButton
                objectName: "addButton"
                primary: true
                enabled: stateValid.active
                text: qsTrId("btn-invaccept")
                onClicked: {
                    win.addRemote(input.text, passwordEdit.text)
                    win.close()
                }
            }
        }
    }
}

// The stored invitations with their code, times and whether they are still open; each can
// be deleted after a confirmation.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import "../elements"

Window {
    id: root
    property string deleteUuid: ""

    signal deleteInvitation(string uuid)

    title: qsTrId("inv-active-title")
    flags: Qt.Dialog
    visible: false
    color: Theme.background
    width: 700
    height: 250 + 40 * invList.count
    minimumWidth: 560
    minimumHeight: 200
    x: Screen.virtualX + (Screen.desktopAvailableWidth - width) / 2
    y: Screen.virtualY + (Screen.desktopAvailableHeight - height) / 2

    function formatTime(date) {
        return date.toLocaleDateString(Qt.locale(), Locale.ShortFormat) + ", "
             + date.toLocaleTimeString(Qt.locale(), Locale.ShortFormat)
    }

    // Expiry is judged against the current time, kept fresh while the window is open.
    Timer {
        interval: 30000
        repeat: true
        running: root.visible
        triggeredOnStart: true
        onTriggered: invList.now = Date.now()
    }

    Shortcut {
        sequence: "Escape"
        onActivated: root.close()
    }

    Column {
        id: content
        anchors.fill: parent
        anchors.margins: Theme.windowPadding
        spacing: 12

        Text {
            text: qsTrId("inv-active-invitations-list-hdr")
            textFormat: Text.PlainText
            color: Theme.foreground
            font.pointSize: Theme.pointSizeMedium
            font.bold: true
        }
        Rectangle {
            width: parent.width
            height: listColumn.implicitHeight + 2
            radius: 6
            color: Theme.background2
            border.width: 1
            border.color: Theme.border

            Column {
                id: listColumn
                x: 1
                y: 1
                width: parent.width - 2

                Rectangle {
                    width: parent.width
                    height: 28
                    radius: 6
                    color: Theme.background
                    Row {
                        id: headerRow
                        anchors.fill: parent
                        anchors.leftMargin: 14
                        Repeater {
                            model: [
                                { label: qsTrId("inv_active_invitations_status_label"), width: 100 },
                                { label: qsTrId("inv_active_invitations_code_label"), width: 100 },
                                { label: qsTrId("inv-active-invitations-created-label"), width: 170 },
                                { label: qsTrId("inv-active-invitations-expires-label"), width: 170 }
                            ]
                            Text {
                                width: modelData.width
                                height: headerRow.height
                                verticalAlignment: Text.AlignVCenter
                                text: modelData.label
                                textFormat: Text.PlainText
                                color: Theme.foregroundMuted
                                font.pointSize: Theme.pointSizeSmall
                            }
                        }
                    }
                }

                ListView {
                    id: invList
                    objectName: "invList"
                    property double now: Date.now()
                    width: parent.width
                    height: contentHeight
                    interactive: false
                    spacing: 0
                    model: invitationModel
                    delegate: Rectangle {
                        id: row
                        readonly property bool open: invExpires.getTime() > invList.now
                        width: invList.width
                        height: rowContent.implicitHeight + 16
                        color: index % 2 ? Theme.background : Theme.background2
                        Row {
                            id: rowContent
                            anchors.verticalCenter: parent.verticalCenter
                            anchors.left: parent.left
                            anchors.leftMargin: 14
                            Item {
                                width: 100
                                height: 24
                                Rectangle {
                                    objectName: "statusMarker"
                                    anchors.verticalCenter: parent.verticalCenter
                                    width: 16
                                    height: 16
                                    radius: 8
                                    color: row.open ? Theme.highlight.success : Theme.base.normal
                                }
                            }
                            Text {
                                width: 100
                                anchors.verticalCenter: parent.verticalCenter
                                text: invPassword
                                textFormat: Text.PlainText
                                font.family: "monospace"
                                font.letterSpacing: 1
                                color: Theme.foreground2
                                font.pointSize: Theme.pointSizeNormal
                            }
                            Text {
                                width: 170
                                anchors.verticalCenter: parent.verticalCenter
                                text: root.formatTime(invTimestamp)
                                textFormat: Text.PlainText
                                color: Theme.foreground2
                                font.pointSize: Theme.pointSizeNormal
                            }
                            Text {
                                width: 170
                                anchors.verticalCenter: parent.verticalCenter
                                text: root.formatTime(invExpires)
                                textFormat: Text.PlainText
                                color: row.open ? Theme.foreground2 : Theme.foregroundDisabled
                                font.pointSize: Theme.pointSizeNormal
                            }
                        }
                        DialogButton {
                            anchors.verticalCenter: parent.verticalCenter
                            anchors.right: parent.right
                            anchors.rightMargin: 10
                            implicitHeight: 28
                            text: qsTrId("btn-delete") + "..."
                            onClicked: {
                                root.deleteUuid = invUuid
                                deleteInvitationDialog.open()
                            }
                        }
                    }
                }
            }
        }
    }

    DialogButton {
        objectName: "closeButton"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: Theme.windowPadding
        text: qsTrId("btn-close")
        onClicked: root.close()
    }

    Dialog {
        id: deleteInvitationDialog
        objectName: "deleteInvitationDialog"
        width: 300
        height: 200
        anchors.centerIn: parent
        modal: true
        title: qsTrId("inv-delete-confirmation-title")
        standardButtons: Dialog.NoButton
        Text {
            anchors.fill: parent
            text: qsTrId("inv-delete-confirmation-txt")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.foreground
            font.pointSize: Theme.pointSizeNormal
        }
        footer: Row {
            layoutDirection: Qt.RightToLeft
            spacing: 8
            padding: 12
            DialogButton {
                objectName: "confirmDeleteButton"
                primary: true
                text: qsTrId("btn-delete")
                onClicked: {
                    deleteInvitationDialog.close()
                    root.deleteInvitation(root.deleteUuid)
                }
            }
            DialogButton {
                text: qsTrId("btn-cancel")
                onClicked: deleteInvitationDialog.close()
            }
        }
    }
}

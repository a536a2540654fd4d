import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import "../elements"

// Grant a computer access to one local item, or change or remove that access.
Window {
    id: win
    property string peerName: ""
    property string selector: ""
    property string icon: ""
    property bool isNewShare: true
    property bool canEdit: false
    property alias itemName: itemText.text
    // Set by the program for a share that opens a whole file system to the other computer.
    property bool broadShare: false

    signal accepted(bool canEdit)
    signal removeShare()
    signal canViewActivated()
    signal canEditActivated()

    readonly property FilerStyle style: FilerStyle {}

    visible: false
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    title: isNewShare ? qsTrId("share-with-title-new-share") : qsTrId("share-with-title-edit-share")
    color: style.page
    readonly property int fitWidth: Math.ceil(content.width + 2 * style.windowPadding)
    readonly property int fitHeight: Math.ceil(content.height + 2 * style.windowPadding)
    width: fitWidth
    height: fitHeight
    minimumWidth: fitWidth
    minimumHeight: fitHeight
    maximumWidth: fitWidth
    maximumHeight: fitHeight

    onVisibleChanged: if (visible) {
        x = Screen.desktopAvailableWidth / 2 - width / 2
        y = Screen.desktopAvailableHeight / 2 - height / 2
        viewBox.checked = !canEdit
        editBox.checked = canEdit
        confirmButton.forceActiveFocus()
    }
    onCanViewActivated: { canEdit = false; viewBox.checked = true; editBox.checked = false }
    onCanEditActivated: { canEdit = true; viewBox.checked = false; editBox.checked = true }

    function confirm() { win.accepted(win.canEdit); win.close() }

    Shortcut { sequence: "Escape"; onActivated: win.close() }

    Column {
        id: content
        x: win.style.windowPadding
        y: win.style.windowPadding
        width: 440
        spacing: 16

        Text {
            width: parent.width
            text: qsTrId("share-with-peer-info").arg(win.peerName)
            textFormat: Text.PlainText
            color: win.style.text
            font.pointSize: win.style.mediumPointSize
            font.weight: Font.DemiBold
            elide: Text.ElideRight
        }
        Rectangle {
            width: parent.width
            height: itemColumn.height + 24
            radius: 6
            color: win.style.card
            border.color: win.style.border
            Image {
                id: itemIcon
                x: 12; y: 12
                width: 40; height: 40
                source: win.icon
                sourceSize: Qt.size(40, 40)
            }
            Column {
                id: itemColumn
                x: itemIcon.x + itemIcon.width + 12
                y: 12
                width: parent.width - x - 12
                spacing: 2
                Text {
                    id: itemText
                    objectName: "itemNameText"
                    width: parent.width
                    // Names come from disk: never read as markup.
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAnywhere
                    color: win.style.text
                    font.pointSize: win.style.mediumPointSize
                }
                Text {
                    width: parent.width
                    text: win.selector
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAnywhere
                    color: win.style.mutedText
                    font.pointSize: win.style.smallPointSize
                }
            }
        }
        Text {
            objectName: "broadShareWarning"
            visible: win.broadShare
            width: parent.width
            text: qsTrId("share-with-warning-root")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: win.style.danger
            font.pointSize: win.style.pointSize
        }
        Column {
            spacing: 6
            ExtCheckBox {
                id: viewBox
                objectName: "canViewBox"
                text: qsTrId("share-with-option-can-view")
                onClicked: win.canViewActivated()
            }
            ExtCheckBox {
                id: editBox
                objectName: "canEditBox"
                text: qsTrId("share-with-option-can-edit")
                onClicked: win.canEditActivated()
            }
        }
        RowLayout {
            width: parent.width
            spacing: 8
            ExtButton {
                objectName: "removeShareButton"
                visible: !win.isNewShare
                text: qsTrId("share-with-btn-remove-share")
                onClicked: { win.removeShare(); win.close() }
            }
            Item { Layout.fillWidth: true; Layout.minimumWidth: 40 }
            ExtButton {
                objectName: "cancelButton"
                text: qsTrId("share-with-btn-cancel")
                onClicked: win.close()
            }
            ExtButton {
                id: confirmButton
                objectName: "confirmButton"
                highlighted: true
                text: win.isNewShare ? qsTrId("share-with-btn-share") : qsTrId("Save")
                onClicked: win.confirm()
            }
        }
    }
}

// The small window in which the user picks an icon for the selected node.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15

Window {
    id: root
    property QtObject node: null
    property var iconModel: null
    width: 600
    height: 400
    title: qsTrId("dlg-customize-node-title")
    color: Theme.background
    flags: Qt.Tool

    Shortcut {
        sequence: "Escape"
        onActivated: root.close()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ToolBar {
            Layout.fillWidth: true
            RowLayout {
                anchors.fill: parent
                ToolButton {
                    objectName: "noIconButton"
                    text: qsTrId("dlg-customize-node-no-icon")
                    icon.source: "image://theme/icon/delete.svg"
                    icon.width: 16
                    icon.height: 16
                    icon.color: "transparent"
                    display: AbstractButton.TextBesideIcon
                    enabled: root.node !== null
                    onClicked: if (root.node) root.node.icon = ""
                }
                Item { Layout.fillWidth: true }
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.leftMargin: 16
            Layout.topMargin: 16
            Layout.rightMargin: 8
            spacing: 8

            Label {
                text: qsTrId("dlg-customize-node-label-icons")
                color: Theme.foregroundMuted
            }

            GridView {
                id: iconGrid
                objectName: "iconGrid"
                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true
                cellWidth: 40
                cellHeight: 40
                model: root.iconModel
                ScrollBar.vertical: ScrollBar {}
                delegate: Item {
                    width: 40
                    height: 40
                    Rectangle {
                        anchors.fill: parent
                        anchors.margins: 1
                        radius: 4
                        color: root.node && root.node.icon === model.path ? Theme.accentLight : "transparent"
                    }
                    Image {
                        anchors.centerIn: parent
                        width: 32
                        height: 32
                        source: model.path
                        sourceSize: Qt.size(32, 32)
                        smooth: false
                    }
                }
                MouseArea {
                    anchors.fill: parent
                    enabled: root.node !== null
                    onClicked: {
                        var index = iconGrid.indexAt(mouse.x + iconGrid.contentX, mouse.y + iconGrid.contentY)
                        if (index >= 0 && root.iconModel)
                            root.node.icon = root.iconModel.data(root.iconModel.index(index, 0), 257)
                    }
                }
            }
        }
    }
}

// The node view's scene: the view pages, the link layer over them, the style swatches and
// the button that shows the second file pane.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

Item {
    id: root
    width: 100
    height: 100

    Rectangle {
        anchors.fill: parent
        color: "#fcfcfc"
    }

    StackLayout {
        objectName: "sectorStack"
        anchors.fill: parent
    }

    SectorView {
        objectName: "sectorView"
        anchors.fill: parent
    }

    ToolButton {
        objectName: "altFilerButton"
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 12
        onClicked: if (filerShowAlternateFilerAction) filerShowAlternateFilerAction.trigger()
        text: qsTrId("action-show-alt-filer")
        icon.source: "image://theme/icon/alt-filerpane.svg"
        icon.width: 32
        icon.height: 32
        icon.color: "transparent"
        display: AbstractButton.IconOnly
        hoverEnabled: true
        ToolTip.visible: hovered
        ToolTip.text: text
        ToolTip.delay: 600
    }

    NodeColorSelector {
        id: colorSelector
        anchors.bottom: parent.bottom
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottomMargin: 12
    }
}

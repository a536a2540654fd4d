import QtQuick 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import QtQuick.Controls 2.15

// The quick-look window's content. The window sets fileName, path and img, reads
// adjustWindowSize and fills the photo strip "previewExif"; the picture comes from the
// "preview" image provider.
Rectangle {
    id: root
    width: 700
    height: 700
    color: "#f6f7f9"

    property string fileName: ""
    property string path: ""
    property alias img: img.source
    property alias rotation: img.rotation
    property bool adjustWindowSize: true
    property bool needInit: false
    property real imgWidth: 0
    property real imgHeight: 0
    property int page: 0
    property int pageCount: 0
    property string altColor: "#ffffff"

    signal copy()
    signal previous()
    signal next()

    readonly property bool isSvg: /\.svgz?$/i.test(path)
    // The width that shows the tools with the file's whole name beside them.
    readonly property real toolsWidth: tools.implicitWidth + tools.anchors.leftMargin + tools.anchors.rightMargin

    // Fits the picture into the view, never enlarging it.
    function initImage() {
        if (imgWidth <= 0 || imgHeight <= 0 || flick.width <= 0 || flick.height <= 0)
            return
        var fit = Math.min(flick.width / imgWidth, flick.height / imgHeight, 1.0)
        scaleTo(Math.max(1, Math.floor(fit * 100)))
        flick.moveX = 0
        img.x = (flick.width - img.width) / 2
        img.y = (flick.height - img.height) / 2
        needInit = false
    }

    function scaleTo(percent) {
        percent = Math.max(5, Math.min(800, percent))
        var cx = img.x + img.width / 2
        var cy = img.y + img.height / 2
        flick.scaleFactor = percent
        img.width = imgWidth * percent / 100
        img.height = imgHeight * percent / 100
        img.x = cx - img.width / 2
        img.y = cy - img.height / 2
        // Drawings are rendered again at the zoom, so they stay sharp.
        if (isSvg && path.length > 0) {
            var wanted = percent > 100 ? path + "?scale=" + percent : path
            if (img.source.toString() !== wanted)
                svgTimer.restart()
        }
    }

    onWidthChanged: if (needInit) initImage()
    onFileNameChanged: { needInit = true; imgWidth = 0; imgHeight = 0; flick.scaleFactor = 100 }

    Shortcut { sequences: [StandardKey.ZoomIn]; onActivated: root.scaleTo(flick.scaleFactor * 1.25) }
    Shortcut { sequences: [StandardKey.ZoomOut]; onActivated: root.scaleTo(flick.scaleFactor / 1.25) }
    Shortcut { sequences: [StandardKey.Copy]; onActivated: root.copy() }
    Shortcut { sequence: "Ctrl+0"; onActivated: root.initImage() }
    Shortcut { sequence: "Left"; onActivated: root.previous() }
    Shortcut { sequence: "Right"; onActivated: root.next() }

    Timer {
        id: svgTimer
        interval: 250
        onTriggered: {
            var wanted = flick.scaleFactor > 100 ? root.path + "?scale=" + Math.round(flick.scaleFactor) : root.path
            if (img.source.toString() !== wanted)
                img.source = wanted
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 48
            color: "#ffffff"
            Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 1; color: "#dfe1e5" }

            RowLayout {
                id: tools
                anchors.fill: parent
                anchors.leftMargin: 24
                anchors.rightMargin: 24
                anchors.topMargin: 2
                anchors.bottomMargin: 2
                spacing: 16

                Rectangle {
                    Layout.preferredHeight: 32
                    Layout.preferredWidth: buttons.implicitWidth + 4
                    radius: 6
                    color: "#eef0f3"
                    Row {
                        id: buttons
                        anchors.centerIn: parent
                        spacing: 2
                        ToolButton {
                            id: btn100
                            height: 28
                            text: qsTrId("btn-preview-origsize")
                            font.pixelSize: 12
                            ToolTip.visible: hovered
                            ToolTip.delay: 1000
                            ToolTip.text: qsTrId("tooltip-preview-btn-origsize")
                            onClicked: root.scaleTo(100)
                        }
                        ToolButton {
                            id: btnInit
                            height: 28
                            text: qsTrId("btn-preview-fitview")
                            font.pixelSize: 12
                            ToolTip.visible: hovered
                            ToolTip.delay: 1000
                            ToolTip.text: qsTrId("tooltip-preview-btn-fitview")
                            onClicked: root.initImage()
                        }
                    }
                }
                Text {
                    text: Math.round(flick.scaleFactor) + " %"
                    color: "#5f6368"
                    font.pixelSize: 13
                    textFormat: Text.PlainText
                    Layout.preferredWidth: 48
                }
                Text {
                    objectName: "previewName"
                    Layout.fillWidth: true
                    text: root.pageCount > 1 ? root.fileName + "  (" + (root.page + 1) + "/" + root.pageCount + ")" : root.fileName
                    elide: Text.ElideRight
                    color: "#202124"
                    font.pixelSize: 14
                    font.bold: true
                    textFormat: Text.PlainText
                }
                Row {
                    spacing: 8
                    Repeater {
                        model: ["#ffffff", "#9aa0a6", "#202124"]
                        delegate: Rectangle {
                            width: 32
                            height: 32
                            radius: 6
                            color: modelData
                            border.width: root.altColor === modelData ? 2 : 1
                            border.color: root.altColor === modelData ? "#1a73e8" : "#c4c7cc"
                            MouseArea {
                                anchors.fill: parent
                                cursorShape: Qt.PointingHandCursor
                                onClicked: root.altColor = modelData
                            }
                        }
                    }
                }
            }
        }

        Item {
            id: flick
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            property real scaleFactor: 100
            property real moveX: 0

            Rectangle { anchors.fill: parent; color: root.altColor }

            // A hairline around the picture, so a white page shows its edges on white.
            Rectangle {
                x: img.x - 1
                y: img.y - 1
                width: img.width + 2
                height: img.height + 2
                color: "transparent"
                border.width: 1
                border.color: "#29000000"
                visible: img.status === Image.Ready
            }

            Image {
                id: img
                asynchronous: true
                cache: false
                fillMode: Image.PreserveAspectFit
                smooth: true
                sourceSize: Qt.size(4096, 4096)

                Timer {
                    id: imgTimer
                    interval: 50
                    running: false
                    onTriggered: root.initImage()
                }

                onStatusChanged: {
                    if (status === Image.Ready && (root.needInit || root.imgWidth <= 0)) {
                        // A drawing rendered for a zoom comes back bigger; its base size stays.
                        if (!(root.isSvg && root.imgWidth > 0)) {
                            root.imgWidth = implicitWidth
                            root.imgHeight = implicitHeight
                        }
                        imgTimer.restart()
                    }
                }
            }

            BusyIndicator {
                anchors.centerIn: parent
                running: img.status === Image.Loading
                visible: running
            }
            Text {
                anchors.centerIn: parent
                visible: img.status === Image.Error
                text: img.source.toString().length > 0 ? root.fileName : ""
                color: "#80868b"
                textFormat: Text.PlainText
            }

            MouseArea {
                id: flickMouseArea
                anchors.fill: parent
                drag.target: img
                drag.axis: Drag.XAndYAxis
                scrollGestureEnabled: false
                onWheel: root.scaleTo(flick.scaleFactor * (wheel.angleDelta.y > 0 ? 1.1 : 1 / 1.1))
                onDoubleClicked: root.initImage()
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 48
            color: "#ffffff"
            Rectangle { anchors.top: parent.top; width: parent.width; height: 1; color: "#dfe1e5" }
            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 24
                anchors.rightMargin: 24
                anchors.topMargin: 2
                anchors.bottomMargin: 2
                spacing: 16
                Item { Layout.fillWidth: true }
                Text {
                    text: root.imgWidth > 0 ? Math.round(root.imgWidth) + " × " + Math.round(root.imgHeight) : ""
                    color: "#5f6368"
                    font.pixelSize: 13
                    textFormat: Text.PlainText
                }
                PreviewExif {
                    objectName: "previewExif"
                    Layout.rightMargin: 24
                }
            }
        }
    }
}

import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.qentrix.fenu 1.0
import "elements"

// The navigation bar of a file browser: places, the peer's drives, back and up, the path as
// crumbs or as editable text, the online switch and the view modes. It keeps no navigation
// state of its own: it reports clicks, and the browser writes its state into the properties.
Item {
    id: root

    property bool activeFiler: false
    property int curIndex: -1
    property int nextIndex: -1
    property int crumbPadding: 8
    property bool crumbInteractive: false
    property bool showCreateNewWindowButton: false
    property bool showToggleNodeViewButton: false
    property real buttonBgOpacity: 0.3
    property string dirSep: "/"
    property string pathRoot
    property string fullPath
    // The current folder as a person reads and types it (the browser writes it); the pages
    // without a folder offer an empty line.
    property string editPath
    // The page shown when the edit began: Escape, Enter and leaving the edit go back to it.
    property string stateBeforeEdit: "files"
    property var pathList: []
    property var displayPathList: []
    property QtObject filer: null
    property QtObject peer: null
    property QtObject togglePeerViewAction: null
    // The user's home folder as a file URL, made by the program (never by joining strings).
    property string homeUrl: ""

    signal indexClicked(int index)
    signal driveClicked(string path)
    signal pathEdited(string path)
    signal homeClicked()
    signal peerClicked()
    signal backToFilesClicked()
    signal upClicked()
    signal backClicked()
    signal forwardClicked()
    signal columModeClicked()
    signal iconModeClicked()
    signal filesViewActivated()
    signal peerViewActivated()
    signal machineListActivated()
    signal pathEditActivated()
    signal machineListClicked()

    readonly property FilerStyle style: FilerStyle {}
    readonly property bool networkEnabled: typeof mainWindow !== "undefined" && mainWindow ? mainWindow.networkEnabled : true
    readonly property int viewMode: filer && filer.viewMode !== undefined ? filer.viewMode : -1
    // The peer lives on the network thread; the bar binds to its mirror.
    PeerInfo { id: peerInfo; peer: root.peer }
    readonly property string peerUuid: peerInfo.uuid

    // Narrow (a pane of a small window): the controls beside the path take less room, so that
    // the strip shows at least the folder it is in whole. Judged with the controls at their
    // full size, which do not change with it.
    readonly property int navMargin: compact ? 8 : 16
    readonly property int stepButtonWidth: compact ? 32 : 36   // back and up
    readonly property int viewButtonWidth: compact ? 32 : 40
    readonly property bool compact: {
        var backAndUp = 2 * 36 - 7
        var toggle = onlineSwitch.leftPadding + 34 + onlineSwitch.spacing + switchLabel.advanceWidth
                + onlineSwitch.rightPadding
        var controls = 2 * 16 + backAndUp + toggle + 2 * 40 + 4 * navRow.spacing
        var mark = markDots.advanceWidth + 2 * root.crumbPadding + markSlash.advanceWidth + 4
        var folder = lastName.advanceWidth + 2 * root.crumbPadding
        return root.width - controls < 8 + mark + folder
    }
    TextMetrics { id: switchLabel; font: onlineSwitch.font; text: onlineSwitch.text }
    TextMetrics { id: markDots; font.pointSize: root.style.pointSize; text: "\u2026" }
    TextMetrics { id: markSlash; font.pointSize: root.style.pointSize; text: "/" }
    TextMetrics {
        id: lastName
        font.pointSize: root.style.pointSize
        font.weight: Font.DemiBold
        text: root.displayPathList.length > 0 ? String(root.displayPathList[root.displayPathList.length - 1]) : ""
    }

    implicitHeight: topRow.implicitHeight + 16 + 48
    implicitWidth: 480

    function setPath(list) {
        root.displayPathList = list ? list : []
        // The new crumbs are made in the whole room, then measured and fitted.
        crumbList.firstShown = 0
        crumbList.shownWidth = 0
        crumbModel.clear()
        for (var i = 0; i < root.displayPathList.length; ++i)
            crumbModel.append({ "crumbName": String(root.displayPathList[i]), "crumbType": i === 0 ? "root" : "dir" })
        root.pathRoot = root.displayPathList.length > 0 ? String(root.displayPathList[0]) : ""
        crumbList.forceLayout()
        crumbList.fit()
    }

    function beginPathEdit() {
        root.pathEditActivated()
    }

    function endPathEdit() {
        if (state === "pathedit")
            state = stateBeforeEdit
    }

    onFilesViewActivated: state = "files"
    onPeerViewActivated: state = "peerview"
    onMachineListActivated: state = "machinelist"
    onBackToFilesClicked: state = "files"
    onPathEditActivated: {
        if (state !== "pathedit")
            stateBeforeEdit = state
        state = "pathedit"
        pathInput.text = stateBeforeEdit === "files" ? root.editPath : ""
        pathInput.selectAll()
        pathInput.forceActiveFocus()
    }

    state: "files"
    states: [
        State { name: "files" },
        State { name: "pathedit" },
        State { name: "peerview" },
        State { name: "machinelist" }
    ]

    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: "#ffffff" }
            GradientStop { position: 1.0; color: "#e6e6e6" }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: topRow.implicitHeight + 16
            gradient: Gradient {
                GradientStop { position: 0.0; color: "#f0f0f0" }
                GradientStop { position: 0.05; color: "#e8e8e8" }
                GradientStop { position: 1.0; color: "#e7e7e7" }
            }

            RowLayout {
                id: topRow
                anchors.fill: parent
                anchors.leftMargin: 20
                anchors.rightMargin: 4
                anchors.topMargin: 8
                anchors.bottomMargin: 8
                spacing: 8

                BreadCrumbShelfItem {
                    id: homeItem
                    objectName: "homeShelfItem"
                    iconSource: "image://theme/icon/dev-local.svg"
                    tooltip: qsTrId("place-home")
                    onClicked: root.homeClicked()
                    dragMimeData: { "text/uri-list": root.homeUrl }
                }
                BreadCrumbShelfItem {
                    objectName: "networkShelfItem"
                    iconSource: root.networkEnabled ? "image://theme/icon/machine-list.svg"
                                                    : "image://theme/icon/machine-list-offline.svg"
                    tooltip: qsTrId("place-network")
                    onClicked: root.machineListClicked()
                }
                BreadCrumbShelfItem {
                    id: peerItem
                    objectName: "peerShelfItem"
                    visible: peerInfo.uuid.length > 0
                    iconSource: peerInfo.icon.length > 0 ? "image://theme/icon/" + peerInfo.icon + ".svg" : ""
                    label: peerInfo.shownName
                    onClicked: root.peerClicked()
                    dragMimeData: { "application/nusk-peer-uuid": root.peerUuid }
                }
                Rectangle {
                    width: 1; height: 28
                    color: root.style.border
                    visible: driveRepeater.count > 0
                }
                Flow {
                    id: driveFlow
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignVCenter
                    spacing: 4
                    clip: true
                    Repeater {
                        id: driveRepeater
                        model: peerInfo.vfsDriveModel
                        delegate: BreadCrumbShelfItem {
                            iconSource: "image://theme/" + vfsDriveIconName
                            label: vfsDriveShortName
                            tooltip: vfsDriveDisplayName
                            onClicked: root.driveClicked(vfsDrivePath)
                            dragMimeData: { "application/nusk-breadcrumb": vfsDrivePath,
                                                       "application/nusk-peer-uuid": root.peerUuid }
                        }
                    }
                }
                FileActionItem {
                    objectName: "newWindowButton"
                    visible: root.showCreateNewWindowButton
                    qaction: typeof filerNewWindowAction !== "undefined" ? filerNewWindowAction : null
                    iconSize: 24
                    iconSource: "image://theme/icon/extra-window.svg"
                    text: qsTrId("action-new-window")
                }
                FileActionItem {
                    objectName: "nodeViewButton"
                    visible: root.showToggleNodeViewButton
                    qaction: typeof filerShowNodeViewAction !== "undefined" ? filerShowNodeViewAction : null
                    iconSize: 32
                    iconSource: "image://theme/icon/nodeview.svg"
                    text: qsTrId("action-show-nodeview")
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            implicitHeight: 48
            gradient: Gradient {
                GradientStop { position: 0.0; color: "#e7e7e7" }
                GradientStop { position: 1.0; color: "#e3e3e3" }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width; height: 1
                color: root.activeFiler ? root.style.accent : root.style.border
            }

            RowLayout {
                id: navRow
                anchors.fill: parent
                anchors.leftMargin: root.navMargin
                anchors.rightMargin: root.navMargin
                spacing: 6

                ExtButton2 {
                    id: backButton
                    objectName: "backButton"
                    text: "\u2190"
                    font.pointSize: root.style.mediumPointSize
                    radius: 4; topLeftCorner: true; bottomLeftCorner: true
                    implicitWidth: root.stepButtonWidth; implicitHeight: 32
                    onClicked: root.backClicked()
                    ToolTip.visible: hovered
                    ToolTip.delay: 1000
                    ToolTip.text: qsTranslate("QFileDialog", "Back")
                }
                ExtButton2 {
                    id: upButton
                    objectName: "upButton"
                    text: "\u2191"
                    font.pointSize: root.style.mediumPointSize
                    radius: 4; topRightCorner: true; bottomRightCorner: true
                    implicitWidth: root.stepButtonWidth; implicitHeight: 32
                    Layout.leftMargin: -7
                    enabled: root.state === "files" && root.pathList && root.pathList.length > 1
                    onClicked: root.upClicked()
                    ToolTip.visible: hovered
                    ToolTip.delay: 1000
                    ToolTip.text: qsTranslate("QFileDialog", "Parent Directory")
                }

                Rectangle {
                    id: crumbFrame
                    Layout.fillWidth: true
                    Layout.minimumWidth: 60
                    Layout.maximumHeight: 36
                    implicitHeight: 34
                    radius: 4
                    color: root.style.card
                    border.width: pathInput.activeFocus ? 2 : 1
                    border.color: pathInput.activeFocus ? root.style.accent : root.style.border

                    // A click on the free part of the strip edits the path as text.
                    MouseArea {
                        anchors.fill: parent
                        objectName: "crumbStripArea"
                        enabled: root.state === "files"
                        cursorShape: Qt.IBeamCursor
                        onClicked: root.beginPathEdit()
                    }

                    // A path longer than the strip gives up whole crumbs at its start; this
                    // mark stands in their place (a click on it edits the whole path).
                    Row {
                        id: crumbMark
                        objectName: "crumbMark"
                        anchors.left: parent.left
                        anchors.leftMargin: 4
                        anchors.verticalCenter: parent.verticalCenter
                        visible: crumbList.visible && crumbList.firstShown > 0
                        onImplicitWidthChanged: Qt.callLater(crumbList.fit)
                        Text {
                            text: "\u2026"
                            leftPadding: root.compact ? 2 : root.crumbPadding
                            rightPadding: root.compact ? 2 : root.crumbPadding
                            color: root.style.mutedText
                            font.pointSize: root.style.pointSize
                        }
                        Text {
                            text: "/"
                            leftPadding: 2
                            rightPadding: 2
                            color: root.style.mutedText
                            font.pointSize: root.style.pointSize
                        }
                    }

                    ListView {
                        id: crumbList
                        objectName: "crumbList"
                        // The crumbs may fill the strip; what is left after them takes the
                        // click that edits the path. Only a path that does not fit is cut,
                        // by whole crumbs from its start, behind the mark.
                        readonly property real room: Math.max(0, parent.width - 8)
                        property int firstShown: 0
                        property real shownWidth: 0
                        // Longest a crumb's name may be: the last one alone always fits.
                        readonly property real longestName: Math.max(1, room - crumbMark.implicitWidth
                                                                        - 2 * root.crumbPadding)
                        anchors.left: parent.left
                        anchors.top: parent.top
                        anchors.bottom: parent.bottom
                        anchors.leftMargin: 4 + (firstShown > 0 ? crumbMark.implicitWidth : 0)
                        // The whole room until the crumbs are measured: a list without width
                        // makes no crumbs to measure.
                        width: shownWidth > 0 ? shownWidth : room
                        // Every crumb exists at all times, so each one's width is measured, not
                        // estimated from the crumbs in view.
                        cacheBuffer: 100000
                        orientation: ListView.Horizontal
                        interactive: root.crumbInteractive
                        clip: true
                        // The last folder's crumbs are kept for the way back, but only its
                        // files page shows them: the strip names what the pane shows.
                        visible: root.state === "files"
                        model: ListModel {
                            id: crumbModel
                            ListElement { crumbName: "/"; crumbType: "root" }
                        }
                        // From the end: as many whole crumbs as the room takes, the mark
                        // before them when that is not all.
                        function fit() {
                            var total = 0
                            for (var i = 0; i < count; ++i) {
                                if (!itemAtIndex(i)) {
                                    // Measured once made (each crumb asks again then).
                                    firstShown = 0
                                    shownWidth = 0
                                    return
                                }
                                total += itemAtIndex(i).width
                            }
                            var first = 0
                            var shown = total
                            if (total > room) {
                                var left = room - crumbMark.implicitWidth
                                shown = 0
                                first = count
                                while (first > 0) {
                                    var item = itemAtIndex(first - 1)
                                    if (!item || (shown + item.width > left && first < count))
                                        break
                                    shown += item.width
                                    first -= 1
                                }
                                shown = Math.min(shown, left)
                            }
                            firstShown = first
                            shownWidth = shown
                            if (count > 0)
                                positionViewAtIndex(first, ListView.Beginning)
                        }
                        onCountChanged: Qt.callLater(fit)
                        onRoomChanged: Qt.callLater(fit)
                        delegate: Item {
                            id: crumb
                            height: crumbList.height
                            width: crumbRow.implicitWidth
                            onWidthChanged: Qt.callLater(crumbList.fit)
                            Component.onCompleted: Qt.callLater(crumbList.fit)
                            Row {
                                id: crumbRow
                                height: parent.height
                                Rectangle {
                                    height: parent.height - 8
                                    anchors.verticalCenter: parent.verticalCenter
                                    width: Math.max(20, crumbText.width + 2 * root.crumbPadding)
                                    radius: 3
                                    color: crumbMouse.pressed ? root.style.pressed : root.style.hover
                                    opacity: crumbMouse.containsMouse || crumbMouse.pressed ? 1 : 0
                                    Behavior on opacity { NumberAnimation { duration: 25; easing.type: Easing.InOutCubic } }
                                }
                                Text {
                                    id: crumbSep
                                    text: "/"
                                    color: root.style.mutedText
                                    font.pointSize: root.style.pointSize
                                    anchors.verticalCenter: parent.verticalCenter
                                    // The root "/" is its own separator.
                                    visible: index < crumbList.count - 1 && crumbName !== "/"
                                    leftPadding: 2; rightPadding: 2
                                }
                            }
                            Text {
                                id: crumbText
                                objectName: "crumbText"
                                x: root.crumbPadding
                                width: Math.min(implicitWidth, crumbList.longestName)
                                anchors.verticalCenter: parent.verticalCenter
                                text: crumbName
                                textFormat: Text.PlainText
                                elide: Text.ElideMiddle
                                color: index === crumbList.count - 1 ? root.style.text : root.style.mutedText
                                font.pointSize: root.style.pointSize
                                font.weight: index === crumbList.count - 1 ? Font.DemiBold : Font.Normal
                            }
                            MouseArea {
                                id: crumbMouse
                                width: Math.max(20, crumbText.width + 2 * root.crumbPadding)
                                height: parent.height
                                hoverEnabled: true
                                cursorShape: Qt.PointingHandCursor
                                onEntered: root.curIndex = index
                                onExited: if (root.curIndex === index) root.curIndex = -1
                                onClicked: root.indexClicked(index)
                            }
                        }
                    }

                    // Pages without a path name themselves in the strip.
                    Text {
                        objectName: "pagePlaceholder"
                        anchors.fill: parent
                        anchors.leftMargin: 12
                        verticalAlignment: Text.AlignVCenter
                        visible: root.state !== "pathedit" && !crumbList.visible || crumbList.visible && crumbList.count === 0
                        text: root.state === "machinelist" ? qsTrId("place-network") : peerInfo.shownName
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        color: root.style.mutedText
                        font.pointSize: root.style.pointSize
                    }

                    TextInput {
                        id: pathInput
                        objectName: "pathInput"
                        anchors.fill: parent
                        anchors.leftMargin: 10
                        anchors.rightMargin: 10
                        verticalAlignment: TextInput.AlignVCenter
                        visible: root.state === "pathedit"
                        selectByMouse: true
                        clip: true
                        color: root.style.text
                        selectionColor: root.style.accent
                        font.pointSize: root.style.pointSize
                        onAccepted: {
                            var edited = text
                            root.endPathEdit()
                            root.pathEdited(edited)
                        }
                        Keys.onEscapePressed: root.endPathEdit()
                        onActiveFocusChanged: if (!activeFocus) root.endPathEdit()
                    }
                }

                Switch {
                    id: onlineSwitch
                    objectName: "onlineSwitch"
                    text: qsTrId("breadcrumb-online-switch")
                    checked: root.networkEnabled
                    font.pointSize: root.style.smallPointSize
                    spacing: 6
                    // Narrow, the label stands under the switch instead of beside it.
                    indicator: Rectangle {
                        implicitWidth: 34
                        implicitHeight: 18
                        x: root.compact ? (onlineSwitch.width - width) / 2 : onlineSwitch.leftPadding
                        y: root.compact ? onlineSwitch.topPadding : parent.height / 2 - height / 2
                        radius: 9
                        color: onlineSwitch.checked ? root.style.good : root.style.off
                        Rectangle {
                            x: onlineSwitch.checked ? parent.width - width - 2 : 2
                            y: 2
                            width: 14; height: 14; radius: 7
                            color: "#ffffff"
                            Behavior on x { NumberAnimation { duration: 80 } }
                        }
                    }
                    contentItem: Text {
                        text: onlineSwitch.text
                        textFormat: Text.PlainText
                        font: onlineSwitch.font
                        color: root.style.mutedText
                        horizontalAlignment: root.compact ? Text.AlignHCenter : Text.AlignLeft
                        verticalAlignment: root.compact ? Text.AlignBottom : Text.AlignVCenter
                        leftPadding: root.compact ? 0 : onlineSwitch.indicator.width + onlineSwitch.spacing
                        topPadding: root.compact ? onlineSwitch.indicator.height + 1 : 0
                    }
                    onToggled: if (typeof mainWindow !== "undefined" && mainWindow) mainWindow.networkEnabled = checked
                    ToolTip.visible: hovered
                    ToolTip.delay: 1000
                    ToolTip.text: qsTrId("breadcrump-online-tooltip")
                }

                Row {
                    spacing: 0
                    ExtButton2 {
                        objectName: "columnModeButton"
                        checkable: true
                        checked: root.viewMode === 1
                        radius: 4; topLeftCorner: true; bottomLeftCorner: true
                        implicitWidth: root.viewButtonWidth; implicitHeight: 36
                        leftPadding: root.compact ? 4 : 10; rightPadding: root.compact ? 4 : 10
                        icon.source: "image://theme/icon/view-columns.svg"
                        icon.width: root.compact ? 24 : 32; icon.height: root.compact ? 24 : 32
                        icon.color: "transparent"
                        display: AbstractButton.IconOnly
                        onClicked: { checked = Qt.binding(function() { return root.viewMode === 1 }); root.columModeClicked() }
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTrId("action-column-view")
                    }
                    ExtButton2 {
                        objectName: "iconModeButton"
                        checkable: true
                        checked: root.viewMode === 2
                        radius: 4; topRightCorner: true; bottomRightCorner: true
                        implicitWidth: root.viewButtonWidth; implicitHeight: 36
                        leftPadding: root.compact ? 4 : 10; rightPadding: root.compact ? 4 : 10
                        icon.source: "image://theme/icon/view-icons.svg"
                        icon.width: root.compact ? 24 : 32; icon.height: root.compact ? 24 : 32
                        icon.color: "transparent"
                        display: AbstractButton.IconOnly
                        onClicked: { checked = Qt.binding(function() { return root.viewMode === 2 }); root.iconModeClicked() }
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTrId("action-icon-view")
                    }
                }
            }
        }
    }
}

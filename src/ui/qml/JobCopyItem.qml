// Progress of one copy job: figures, a bar, the current item and speed (or, while nothing
// comes back, which computer it waits for); a question panel when a destination item exists
// already or an item cannot be read or written; once the job has finished, the items left out
// and the files that arrived whole although their sources went away meanwhile. A move ends by
// deleting its sources: count and bar follow the deletes then.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import "elements"

Item {
    id: root
    property string bytesTotal: ""
    property string bytesCopied: ""
    property real percentDone: 0
    property string currentItem: ""
    property int totalFilesCount: 0
    property int jobState: 0
    property string userPrompt: ""
    property string writeSpeed: ""
    property string remainingTime: ""
    // Set while nothing comes back: which computer the copy waits for.
    property string waitingText: ""
    property bool finishedOnce: false
    // The answers the job takes now (bits: 1 abort, 2 skip, 4 replace, 8 skip all, 16 retry).
    property int userActions: 0
    property int leftOutCount: 0
    property string leftOut: ""
    property bool moving: false
    // The items the copy was asked for; named while nothing is counted yet.
    property int itemsAsked: 0
    property int sourcesToDelete: 0
    property int sourcesDeleted: 0
    // Where files arrived whole whose sources no longer exist (a list of texts).
    property var sourcesGone: []
    readonly property bool deleting: sourcesToDelete > 0 && !finishedOnce
    readonly property real shownPercent: deleting ? 100 * sourcesDeleted / sourcesToDelete : percentDone
    readonly property bool failureQuestion: (userActions & 16) !== 0
    readonly property bool canSkipAll: (userActions & 8) !== 0
    readonly property bool withLeftOut: finishedOnce && leftOutCount > 0
    // Ended with a word and no item listed: the move kept every source (its destination did
    // not confirm its disk), a source kept changing. That word is what there is to see.
    readonly property bool withNote: finishedOnce && leftOutCount === 0 && userPrompt.length > 0
    readonly property bool withErrors: withLeftOut || withNote
    readonly property bool withGoneSources: finishedOnce && sourcesGone.length > 0
    readonly property bool waiting: waitingText.length > 0 && (state === "RUNNING" || state === "INIT")
    // Ended by a failure, waiting for the user (a cancelled copy takes no more answers).
    readonly property bool failed: jobState === 7 && (userActions & 1) !== 0
    // What stays on screen until it is seen has a Close button, and Escape closes it too.
    readonly property bool closable: state === "ABORTED" || withErrors || withGoneSources
    // The width the question's buttons need (longer in some languages than in others).
    readonly property real neededWidth: cancelButton.implicitWidth + skipButton.implicitWidth
        + (canSkipAll ? skipAllButton.implicitWidth + questionButtons.spacing : 0)
        + (failureQuestion ? retryButton.implicitWidth
                           : overWriteAllButton.implicitWidth + overWriteButton.implicitWidth + questionButtons.spacing)
        + 2 * questionButtons.spacing + 2 * Theme.windowPadding

    signal abort()
    signal skipItem()
    signal replaceItem()
    signal replaceAllItems()
    signal skipAllItems()
    signal retryItem()

    // Lines of paths in a box that scrolls down when they are more; a long one wraps, so the
    // window's width shows all of it.
    component ListBox: Rectangle {
        property alias lines: listText.text
        property alias listName: listText.objectName
        width: parent.width
        height: Math.min(listText.implicitHeight, 132) + 12
        radius: 4
        color: Theme.background2
        border.width: 1
        border.color: Theme.border
        ScrollView {
            anchors.fill: parent
            anchors.margins: 1
            clip: true
            // More lines than the box shows: the bar says so without a hover. Never sideways:
            // long lines wrap.
            ScrollBar.vertical.policy: listText.implicitHeight > 132 ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
            TextArea {
                id: listText
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
                leftPadding: 8
                rightPadding: 8
                topPadding: 5
                bottomPadding: 5
                color: Theme.foreground2
                font.pointSize: Theme.pointSizeSmall
                background: null
            }
        }
    }

    implicitHeight: mainColumn.implicitHeight
    height: Math.max(implicitHeight, 140)

    onJobStateChanged: {
        switch (jobState) {
        case 5: state = "QUESTION"; break
        case 6: state = "FINISHED"; finishedOnce = true; break
        case 7: state = "ABORTED"; break
        case 4: state = "PAUSED"; break
        case 3: state = "RUNNING"; break
        case 1: state = "INIT"; break
        default: break
        }
    }

    readonly property color handleColor: withErrors ? Theme.highlight.pause
                                       : finishedOnce ? Theme.highlight.success
                                       : state === "INIT" ? Theme.base.normal
                                       : state === "PAUSED" ? Theme.highlight.pause
                                       : Theme.highlight.info
    readonly property string statusText: waiting ? waitingText
                                       : state === "INIT" ? qsTrId("copy-status-init")
                                       : state === "PAUSED" ? qsTrId("copy-status-paused")
                                       : withErrors ? qsTrId("copy-status-done-errors")
                                       : (state === "FINISHED" || finishedOnce) ? qsTrId("copy-status-done")
                                       : deleting ? ""
                                       : remainingTime

    Column {
        id: mainColumn
        width: parent.width

        GridLayout {
            id: grid
            x: Theme.windowPadding
            width: parent.width - 2 * Theme.windowPadding
            columns: 2
            columnSpacing: 16
            rowSpacing: 10
            Item { Layout.columnSpan: 2; implicitHeight: Theme.windowPadding - 10 }

            Text {
                id: copyProgress
                objectName: "copyProgress"
                Layout.fillWidth: true
                Layout.alignment: Qt.AlignBottom
                visible: root.state !== "ABORTED"
                text: root.deleting
                      ? qsTrId("move-progress-delete-files", root.sourcesToDelete).arg(root.sourcesDeleted)
                      : root.state === "INIT" && root.totalFilesCount === 0 && root.itemsAsked > 0
                      ? qsTrId("copy-progress-asked", root.itemsAsked)
                      : root.state === "INIT"
                      ? qsTrId("copy-progress-info1", root.totalFilesCount).arg(root.bytesTotal)
                      : qsTrId("copy-progress-info2").arg(Math.floor(root.percentDone)).arg(root.bytesTotal)
                textFormat: Text.PlainText
                elide: Text.ElideRight
                color: Theme.foreground
                font.pointSize: Theme.pointSizeMedium
            }
            Text {
                id: copyStatus
                objectName: "copyStatus"
                Layout.alignment: Qt.AlignBottom | Qt.AlignRight
                visible: root.state !== "ABORTED"
                text: root.statusText
                textFormat: Text.PlainText
                color: Theme.foregroundMuted
                font.pointSize: Theme.pointSizeNormal
            }
            Rectangle {
                id: progressBar
                objectName: "progressBar"
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: root.state !== "ABORTED"
                height: 8
                radius: 4
                clip: true
                color: root.finishedOnce ? root.handleColor : Theme.progressBarBackground
                Rectangle {
                    id: progressHandle
                    objectName: "progressHandle"
                    width: progressBar.width
                    height: progressBar.height
                    radius: 4
                    x: -(1 - Math.max(0, Math.min(100, root.shownPercent)) / 100) * progressBar.width
                    color: root.handleColor
                    Behavior on x { NumberAnimation { duration: 200 } }
                }
            }
            // Why the copy waits: the computer it waits for, a full disk.
            Text {
                objectName: "pauseReason"
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: root.state === "PAUSED" && root.userPrompt.length > 0
                text: root.userPrompt
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                color: Theme.foreground
                font.pointSize: Theme.pointSizeNormal
            }
            Text {
                id: errorMessage
                objectName: "errorMessage"
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: root.state === "ABORTED"
                text: root.userPrompt.length > 0 ? root.userPrompt : qsTrId("copy-status-aborted")
                textFormat: Text.PlainText
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                color: Theme.danger
                font.pointSize: Theme.pointSizeNormal
            }
            RowLayout {
                Layout.columnSpan: 2
                Layout.fillWidth: true
                spacing: 12
                Text {
                    objectName: "currentItem"
                    Layout.fillWidth: true
                    text: root.currentItem
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    color: Theme.foregroundMuted
                    font.pointSize: Theme.pointSizeSmall
                }
                Text {
                    id: writeSpeedLabel
                    objectName: "writeSpeedLabel"
                    text: root.writeSpeed
                    textFormat: Text.PlainText
                    opacity: (root.state === "RUNNING" || root.state === "QUESTION") && !root.deleting && !root.waiting ? 1 : 0
                    color: Theme.foregroundMuted
                    font.pointSize: Theme.pointSizeSmall
                }
            }
            // While it runs, the copy can be cancelled here as well as by closing the window.
            RowLayout {
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: root.state === "RUNNING" || root.state === "INIT" || root.state === "PAUSED" || root.state === ""
                Item { Layout.fillWidth: true }
                DialogButton {
                    objectName: "runningCancelButton"
                    text: qsTrId("btn-cancel")
                    onClicked: root.abort()
                }
            }
            RowLayout {
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: root.state === "ABORTED"
                Item { Layout.fillWidth: true }
                DialogButton {
                    objectName: "abortedCloseButton"
                    primary: true
                    text: qsTrId("btn-close")
                    onClicked: root.Window.window.close()
                }
            }
            Item { Layout.columnSpan: 2; implicitHeight: question.visible ? 0 : Theme.windowPadding - 10 }
        }

        Rectangle {
            id: question
            objectName: "question"
            width: parent.width
            visible: root.state === "QUESTION"
            opacity: visible ? 1 : 0
            height: visible ? questionColumn.implicitHeight + 2 * Theme.windowPadding : 0
            color: Theme.background
            Rectangle { width: parent.width; height: 1; color: Theme.border }

            Column {
                id: questionColumn
                x: Theme.windowPadding
                y: Theme.windowPadding
                width: parent.width - 2 * Theme.windowPadding
                spacing: 14
                Text {
                    objectName: "prompt"
                    width: parent.width
                    text: root.userPrompt
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                    color: Theme.foreground
                    font.pointSize: Theme.pointSizeNormal
                }
                Row {
                    id: questionButtons
                    anchors.right: parent.right
                    spacing: 8
                    DialogButton {
                        id: cancelButton
                        objectName: "cancelButton"
                        text: qsTrId("btn-cancel")
                        onClicked: root.abort()
                    }
                    DialogButton {
                        id: skipButton
                        objectName: "skipButton"
                        text: qsTrId("btn-skip")
                        onClicked: root.skipItem()
                    }
                    DialogButton {
                        id: skipAllButton
                        objectName: "skipAllButton"
                        // Beside "Replace all" too: many clashes never take as many clicks.
                        visible: root.canSkipAll
                        text: qsTrId("btn-skip-all")
                        onClicked: root.skipAllItems()
                    }
                    DialogButton {
                        id: retryButton
                        objectName: "retryButton"
                        visible: root.failureQuestion
                        primary: true
                        text: qsTrId("btn-retry")
                        onClicked: root.retryItem()
                    }
                    DialogButton {
                        id: overWriteAllButton
                        objectName: "overWriteAllButton"
                        visible: !root.failureQuestion
                        text: qsTrId("btn-replace-all")
                        onClicked: root.replaceAllItems()
                    }
                    DialogButton {
                        id: overWriteButton
                        objectName: "overWriteButton"
                        visible: !root.failureQuestion
                        primary: true
                        text: qsTrId("btn-replace")
                        onClicked: root.replaceItem()
                    }
                }
            }
        }

        // What the job left out, and where files arrived whose sources went away, once it has
        // finished: read-only, scrollable, plain text.
        Rectangle {
            id: leftOutPanel
            objectName: "leftOutPanel"
            width: parent.width
            visible: root.withErrors || root.withGoneSources
            height: visible ? leftOutColumn.implicitHeight + 2 * Theme.windowPadding : 0
            color: Theme.background
            Rectangle { width: parent.width; height: 1; color: Theme.border }

            Column {
                id: leftOutColumn
                x: Theme.windowPadding
                y: Theme.windowPadding
                width: parent.width - 2 * Theme.windowPadding
                spacing: 10
                Text {
                    objectName: "finishNote"
                    width: parent.width
                    visible: root.withNote
                    text: root.userPrompt
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                    color: Theme.foreground
                    font.pointSize: Theme.pointSizeNormal
                }
                Text {
                    objectName: "leftOutHeading"
                    width: parent.width
                    visible: root.withLeftOut
                    text: root.moving ? qsTrId("move-left-out-heading", root.leftOutCount)
                                      : qsTrId("copy-left-out-heading", root.leftOutCount)
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    color: Theme.foreground
                    font.pointSize: Theme.pointSizeNormal
                }
                ListBox {
                    visible: root.withLeftOut
                    listName: "leftOutList"
                    lines: root.leftOut
                }
                Text {
                    objectName: "sourcesGoneHeading"
                    width: parent.width
                    visible: root.withGoneSources
                    text: qsTrId("copy-sources-gone-heading", root.sourcesGone.length)
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    color: Theme.foreground
                    font.pointSize: Theme.pointSizeNormal
                }
                ListBox {
                    visible: root.withGoneSources
                    listName: "sourcesGoneList"
                    lines: root.sourcesGone.join("\n")
                }
                Row {
                    anchors.right: parent.right
                    DialogButton {
                        objectName: "closeButton"
                        primary: true
                        text: qsTrId("btn-close")
                        onClicked: root.Window.window.close()
                    }
                }
            }
        }
    }
}

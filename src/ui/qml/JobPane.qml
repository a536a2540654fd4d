// The window of one copy job. Closing it cancels the copy; one that stays to be seen (a
// failed copy, items left out, sources gone) closes with Escape as well, and Escape answers a
// question as its Cancel does.
import QtQuick 2.15
import QtQuick.Window 2.15

Window {
    id: root
    objectName: "jobPane"
    property alias bytesTotal: jobView.bytesTotal
    property alias bytesCopied: jobView.bytesCopied
    property alias percentDone: jobView.percentDone
    property alias currentItem: jobView.currentItem
    property alias totalFilesCount: jobView.totalFilesCount
    property alias jobState: jobView.jobState
    property alias userPrompt: jobView.userPrompt
    property alias writeSpeed: jobView.writeSpeed
    property alias remainingTime: jobView.remainingTime
    property alias waitingText: jobView.waitingText
    property alias userActions: jobView.userActions
    property alias leftOutCount: jobView.leftOutCount
    property alias leftOut: jobView.leftOut
    property alias moving: jobView.moving
    property alias itemsAsked: jobView.itemsAsked
    property alias sourcesToDelete: jobView.sourcesToDelete
    property alias sourcesDeleted: jobView.sourcesDeleted
    property alias sourcesGone: jobView.sourcesGone

    signal abort()
    signal skipItem()
    signal replaceItem()
    signal replaceAllItems()
    signal skipAllItems()
    signal retryItem()

    title: jobState === 3 && jobView.deleting ? qsTrId("move-dlg-title-delete").arg(Math.floor(jobView.shownPercent))
         : jobState === 3 ? qsTrId("copy-dlg-title").arg(Math.floor(percentDone))
         : jobState === 5 ? (jobView.failureQuestion ? qsTrId("copy-q-title-failure") : qsTrId("copy-q-title-replace"))
         : jobView.failed ? qsTrId("copy-status-failed")
         : jobState === 7 ? qsTrId("copy-title-aborted")
         : jobState === 4 ? qsTrId("copy-title-paused")
         : jobState === 1 ? qsTrId("copy-title-init")
         : jobState === 6 && jobView.withErrors ? qsTrId("copy-title-done-errors")
         : jobState === 6 ? qsTrId("copy-title-done")
         : Qt.application.name
    color: Theme.base.alternate2
    // 100 mm, but never narrower than the question's buttons need; as high as the content.
    readonly property int contentWidth: Math.max(Math.round(100 * Screen.pixelDensity), 480, Math.ceil(jobView.neededWidth))
    readonly property int contentHeight: Math.ceil(jobView.height)
    onContentWidthChanged: fitContent()
    onContentHeightChanged: fitContent()
    Component.onCompleted: fitContent()

    // The size is fixed to the content. A window manager holds a window to the limits it
    // declares, so they make room before the window asks for its new size, and close in after.
    function fitContent() {
        minimumWidth = Math.min(minimumWidth, contentWidth)
        maximumWidth = Math.max(maximumWidth, contentWidth)
        minimumHeight = Math.min(minimumHeight, contentHeight)
        maximumHeight = Math.max(maximumHeight, contentHeight)
        width = contentWidth
        height = contentHeight
        minimumWidth = maximumWidth = contentWidth
        minimumHeight = maximumHeight = contentHeight
    }
    // Windows of copies that run at once stand a step apart (the program gives each its
    // step), so that none hides another; each stays on the screen.
    property int cascadeStep: 0
    readonly property int cascadeOffset: 32
    x: Math.max(Screen.virtualX, Math.min(Screen.virtualX + (Screen.desktopAvailableWidth - width) / 2 + cascadeStep * cascadeOffset,
                                          Screen.virtualX + Screen.desktopAvailableWidth - width))
    y: Math.max(Screen.virtualY, Math.min(Screen.virtualY + (Screen.desktopAvailableHeight - height) / 2 + cascadeStep * cascadeOffset,
                                          Screen.virtualY + Screen.desktopAvailableHeight - height))

    onClosing: root.abort()

    // Escape does what Cancel does, as in every dialog: a question's Cancel ends the copy.
    Shortcut {
        sequence: StandardKey.Cancel
        enabled: jobView.closable || jobView.state === "QUESTION"
        onActivated: jobView.closable ? root.close() : root.abort()
    }

    JobCopyItem {
        id: jobView
        objectName: "jobView"
        width: root.width
        onAbort: root.abort()
        onSkipItem: root.skipItem()
        onReplaceItem: root.replaceItem()
        onReplaceAllItems: root.replaceAllItems()
        onSkipAllItems: root.skipAllItems()
        onRetryItem: root.retryItem()
    }
}

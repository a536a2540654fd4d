import QtQuick 2.15

// The colours and sizes of the file-manager pages in one place. The window's "Theme" object
// overrides any of them it defines; without one (tests, the bare engine) these stand.
QtObject {
    readonly property var theme: typeof Theme !== "undefined" ? Theme : null
    function pick(name, fallback) {
        return theme && theme[name] !== undefined && theme[name] !== null ? theme[name] : fallback
    }

    readonly property color text: pick("textColor", "#1f2328")
    readonly property color mutedText: pick("mutedTextColor", "#5f6670")
    readonly property color link: pick("linkColor", "#1f6feb")
    readonly property color accent: pick("accentColor", "#2f6fd0")
    readonly property color hover: pick("hoverColor", "#e4ebf5")
    readonly property color pressed: pick("pressedColor", "#d2ddef")
    readonly property color border: pick("borderColor", "#c9ced6")
    readonly property color card: pick("cardColor", "#ffffff")
    readonly property color page: pick("pageColor", "#f6f7f9")
    readonly property color barUsed: pick("barUsedColor", "#4a86d8")
    readonly property color barFree: pick("barFreeColor", "#dde3ea")
    readonly property color good: pick("onlineColor", "#2e9d4f")
    readonly property color warn: pick("reachableColor", "#d79b1f")
    readonly property color off: pick("offlineColor", "#9aa1aa")
    readonly property int smallPointSize: pick("smallPointSize", 9)
    readonly property int pointSize: pick("pointSize", 10)
    readonly property int mediumPointSize: pick("mediumPointSize", 11)
    readonly property int largePointSize: pick("largePointSize", 16)
    readonly property int windowPadding: pick("windowPadding", 20)
}

import QtQuick 2.15

// The colours and sizes of the file-manager pages in one place, read from the window's
// "Theme" object; without one (tests, a bare engine) the values after it stand.
QtObject {
    readonly property var theme: typeof Theme !== "undefined" ? Theme : null
    function pick(name, fallback) {
        return theme && theme[name] !== undefined && theme[name] !== null ? theme[name] : fallback
    }
    function pickIn(group, name, fallback) {
        return theme && theme[group] && theme[group][name] !== undefined ? theme[group][name] : fallback
    }

    readonly property color text: pick("foreground", "#1f2933")
    readonly property color mutedText: pick("foregroundMuted", "#616e7c")
    readonly property color link: pick("accent", "#2f6fd6")
    readonly property color accent: pick("accent", "#2f6fd6")
    readonly property color hover: pick("controlHighlight", "#e1e7ef")
    readonly property color pressed: pick("accentLight", "#cce8ff")
    readonly property color border: pick("border", "#d9dfe7")
    readonly property color card: pick("background2", "#ffffff")
    readonly property color page: pick("background", "#f5f7fa")
    readonly property color barUsed: pick("accent", "#2f6fd6")
    readonly property color barFree: pick("progressBarBackground", "#e4e9f0")
    readonly property color danger: pick("danger", "#c8372d")
    readonly property color good: pickIn("highlight", "success", "#2e9d57")
    readonly property color warn: pickIn("highlight", "pause", "#d69a2f")
    readonly property color off: pick("foregroundDisabled", "#9aa5b1")
    readonly property int smallPointSize: pick("pointSizeSmall", 9)
    readonly property int pointSize: pick("pointSizeNormal", 10)
    readonly property int mediumPointSize: pick("pointSizeMedium", 11)
    readonly property int largePointSize: pick("pointSizeLarge", 14)
    readonly property int windowPadding: pick("windowPadding", 20)
}

// The "Light" theme: colours and sizes every declarative view reads through "Theme", the
// widget palette's colours, and the icon colour pairs of the "theme" image provider.
import QtQuick 2.15

QtObject {
    // Palette colours (widgets and views).
    property color foreground: "#1f2933"          // window text, button text
    property color foreground2: "#1f2933"         // text in lists and fields
    property color foregroundDisabled: "#9aa5b1"
    property color foregroundMuted: "#616e7c"     // secondary lines, captions
    property color background: "#f5f7fa"          // window
    property color background2: "#ffffff"         // lists, fields
    property color control: "#eef1f5"             // buttons
    property color controlHighlight: "#e1e7ef"    // midlight: hover, inactive selection
    property color controlLightHighlight: "#ffffff"
    property color controlShadow: "#c3ccd7"       // borders
    property color controlDarkShadow: "#8492a6"
    property color accent: "#2f6fd6"
    property color accentLight: "#cce8ff"         // selection
    property color border: "#d9dfe7"
    property color danger: "#c8372d"
    property color progressBarBackground: "#e4e9f0"

    // The file pages' names for the same colours.
    property color textColor: foreground
    property color mutedTextColor: foregroundMuted
    property color linkColor: accent
    property color accentColor: accent
    property color hoverColor: "#e8eef6"
    property color pressedColor: "#d6e2f2"
    property color borderColor: border
    property color cardColor: background2
    property color pageColor: background
    property color barUsedColor: accent
    property color barFreeColor: progressBarBackground
    property color onlineColor: "#2e9d57"
    property color reachableColor: "#d69a2f"
    property color offlineColor: "#9aa5b1"

    // Colour groups of the job windows and invitation dialogs.
    property QtObject highlight: QtObject {
        property color success: "#2e9d57"
        property color info: "#2f6fd6"
        property color pause: "#d69a2f"
    }
    property QtObject base: QtObject {
        property color normal: "#9aa5b1"
        property color alternate: "#f5f7fa"
        property color alternate2: "#ffffff"
    }

    // Recolouring of the program's line icons: [colour in the SVG, colour shown].
    property QtObject icon: QtObject {
        property var line: ["#316666", "#3e4c59"]
        property var accentLine: ["#516666", "#2f6fd6"]
        property var shade: ["#a1aaaa", "#9fb3c8"]
        property var fill: ["#d2dddd", "#e6eef7"]
    }

    // Node styles of the node view: a name and the colours of a node.
    property QtObject node: QtObject {
        property QtObject style0: QtObject { property string name: "default"; property color color: "#ffffff"; property color border: "#c3ccd7" }
        property QtObject style1: QtObject { property string name: "blue"; property color color: "#e3efff"; property color border: "#7aa7e8" }
        property QtObject style2: QtObject { property string name: "green"; property color color: "#e3f5ea"; property color border: "#6fbf8c" }
        property QtObject style3: QtObject { property string name: "yellow"; property color color: "#fff6d6"; property color border: "#e2bf4f" }
        property QtObject style4: QtObject { property string name: "orange"; property color color: "#ffeadb"; property color border: "#eb9a5e" }
        property QtObject style5: QtObject { property string name: "red"; property color color: "#fde4e2"; property color border: "#e0766c" }
        property QtObject style6: QtObject { property string name: "purple"; property color color: "#efe6fb"; property color border: "#a786db" }
        property QtObject style7: QtObject { property string name: "teal"; property color color: "#dff4f4"; property color border: "#5fb8b8" }
        property QtObject style8: QtObject { property string name: "grey"; property color color: "#eef1f5"; property color border: "#9aa5b1" }
        property QtObject style9: QtObject { property string name: "slate"; property color color: "#e4e9f0"; property color border: "#7b8794" }
        property QtObject style10: QtObject { property string name: "sky"; property color color: "#e0f2fe"; property color border: "#61b3e8" }
        property QtObject style11: QtObject { property string name: "mint"; property color color: "#e6f7ef"; property color border: "#59c08f" }
        property QtObject style12: QtObject { property string name: "sand"; property color color: "#f7f1e6"; property color border: "#c8ab7a" }
        property QtObject style13: QtObject { property string name: "rose"; property color color: "#fbe7ef"; property color border: "#d97aa0" }
        property QtObject style14: QtObject { property string name: "lavender"; property color color: "#eceafb"; property color border: "#8f88d9" }
        property QtObject style15: QtObject { property string name: "olive"; property color color: "#f0f3df"; property color border: "#a6ad5e" }
        property QtObject style16: QtObject { property string name: "dark"; property color color: "#3e4c59"; property color border: "#1f2933" }
        property QtObject special0: QtObject { property string name: "network"; property color color: "#f5f7fa"; property color border: "#2f6fd6" }
        // The defaults of drive nodes and of the view links.
        property QtObject drive0: QtObject { property string name: "drive"; property color color: "#eef3f8"; property color border: "#8fa3b8" }
        property QtObject sector0: QtObject { property string name: "view"; property color color: "#f8fafc"; property color border: "#b4c0cd" }
    }

    // Sizes; the window writes the scale and font values at start-up.
    property real scaleFactor: 1.0
    property real pointSizeNormal: 10
    property int pixelSizeNormal: 16
    property int pointSizeSmall: 9
    property int pointSizeMedium: 11
    property int pointSizeLarge: 14
    property int windowPadding: 20
    property int spacing: 8
    property int radius: 6
    property int rowHeight: 28
    property int iconSize: 16
    property int iconSizeLarge: 48
}

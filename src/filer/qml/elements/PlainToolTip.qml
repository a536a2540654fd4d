import QtQuick 2.15
import QtQuick.Controls 2.15

// A tooltip that shows its text as it is: the style's own reads text that looks like markup as
// rich text (and fetches the pictures it names), and these tooltips show names of drives and
// computers.
ToolTip {
    id: control
    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font: control.font
        wrapMode: Text.Wrap
        color: control.palette.toolTipText
    }
}

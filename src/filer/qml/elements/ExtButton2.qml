import QtQuick 2.15
import QtQuick.Controls 2.15

// A button whose background rounds only the corners it is told to, so that buttons can be
// joined into segmented groups.
Button {
    id: control
    property FilerStyle style: FilerStyle {}
    property real radius: 4
    property color color: style.card
    property int borderWidth: 1
    property color borderColor: style.border
    property bool topLeftCorner: false
    property bool topRightCorner: false
    property bool bottomRightCorner: false
    property bool bottomLeftCorner: false
    leftPadding: 10; rightPadding: 10
    hoverEnabled: true

    readonly property color fill: down ? style.pressed
                                 : (checkable && checked) ? style.hover
                                 : hovered ? Qt.lighter(style.hover, 1.03) : color
    onFillChanged: canvas.requestPaint()
    onTopLeftCornerChanged: canvas.requestPaint()
    onTopRightCornerChanged: canvas.requestPaint()
    onBottomRightCornerChanged: canvas.requestPaint()
    onBottomLeftCornerChanged: canvas.requestPaint()

    background: Canvas {
        id: canvas
        implicitWidth: 36
        implicitHeight: 36
        onWidthChanged: requestPaint()
        onHeightChanged: requestPaint()
        onPaint: {
            var ctx = getContext("2d")
            ctx.reset()
            var b = control.borderWidth / 2, w = width - control.borderWidth, h = height - control.borderWidth
            var r = control.radius
            var tl = control.topLeftCorner ? r : 0, tr = control.topRightCorner ? r : 0
            var br = control.bottomRightCorner ? r : 0, bl = control.bottomLeftCorner ? r : 0
            ctx.beginPath()
            ctx.moveTo(b + tl, b)
            ctx.lineTo(b + w - tr, b)
            if (tr) ctx.arcTo(b + w, b, b + w, b + tr, tr)
            ctx.lineTo(b + w, b + h - br)
            if (br) ctx.arcTo(b + w, b + h, b + w - br, b + h, br)
            ctx.lineTo(b + bl, b + h)
            if (bl) ctx.arcTo(b, b + h, b, b + h - bl, bl)
            ctx.lineTo(b, b + tl)
            if (tl) ctx.arcTo(b, b, b + tl, b, tl)
            ctx.closePath()
            ctx.fillStyle = control.fill
            ctx.fill()
            if (control.borderWidth > 0) {
                ctx.lineWidth = control.borderWidth
                ctx.strokeStyle = control.borderColor
                ctx.stroke()
            }
        }
    }
}

import QtQuick 2.15
import QtQuick.Layouts 1.15

// The photo facts beside the picture: date, time, ISO, aperture, focal length, exposure,
// camera make and model. Texts come from the file and are shown as plain text.
Row {
    id: strip
    spacing: 0

    property int iso: 0
    property alias fNumber: fNumberLabel.text
    property alias focalLength: focalLengthLabel.text
    property alias make: makeLabel.text
    property alias model: modelLabel.text
    property alias exposureTime: exposureLabel.text
    property alias date: dateLabel.text
    property alias time: timeLabel.text

    property color textColor: "#3c4043"
    property int gap: 14

    component Fact: Text {
        color: strip.textColor
        font.pixelSize: 13
        textFormat: Text.PlainText
        verticalAlignment: Text.AlignVCenter
        height: 24
        rightPadding: text.length > 0 ? strip.gap : 0
        visible: text.length > 0
    }

    Fact { id: dateLabel }
    Fact { id: timeLabel }
    Rectangle {
        visible: strip.iso > 0
        width: isoBadge.implicitWidth + 8
        height: 16
        radius: 3
        border.width: 1
        border.color: strip.textColor
        color: "transparent"
        anchors.verticalCenter: parent.verticalCenter
        Text {
            id: isoBadge
            anchors.centerIn: parent
            text: "ISO"
            font.pixelSize: 10
            font.bold: true
            color: strip.textColor
            textFormat: Text.PlainText
        }
    }
    Fact { id: isoLabel; text: strip.iso > 0 ? strip.iso : ""; leftPadding: 5 }
    Fact { id: fNumberLabel }
    Fact { id: focalLengthLabel }
    Fact { id: exposureLabel }
    Fact { id: makeLabel; font.bold: true; rightPadding: 5 }
    Fact { id: modelLabel }
}

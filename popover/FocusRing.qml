import QtQuick

// The ring around the control the keyboard is on. Only for focus that came
// from the keyboard: a click focuses too, but needs no ring.
Rectangle {
    objectName: "focusRing"

    required property Item control
    property real radiusOverride: -1

    anchors.fill: control
    anchors.margins: -3
    radius: radiusOverride >= 0 ? radiusOverride : Math.min(width, height) / 2
    color: "transparent"
    border.width: 2
    border.color: Style.focusRing
    visible: control.visualFocus
}

pragma Singleton
import QtQuick

// The popover's colours: the light system palette, fixed so the popover looks
// the same on every desktop.
QtObject {
    readonly property color primary: "#1d1d1f"
    readonly property color secondary: Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.6)
    readonly property color tertiary: Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.3)
    readonly property color separator: Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.36)
    readonly property color material: Qt.rgba(0.965, 0.965, 0.972, 0.94)
    readonly property color accent: blue
    readonly property color blue: "#007aff"
    readonly property color red: "#ff3b30"
    readonly property color green: "#34c759"
    readonly property color yellow: "#ffcc00"
    readonly property color orange: "#ff9500"
    readonly property color white: "#ffffff"
}

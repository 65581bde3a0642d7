pragma Singleton
import QtQuick

// The popover's colours: the system palette, light or dark as the desktop
// prefers (ContentView sets `dark`), the same on every desktop otherwise.
QtObject {
    property bool dark: false

    readonly property color primary: dark ? "#f5f5f7" : "#1d1d1f"
    readonly property color secondary: dark ? Qt.rgba(235 / 255, 235 / 255, 245 / 255, 0.6)
                                            : Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.6)
    readonly property color tertiary: dark ? Qt.rgba(235 / 255, 235 / 255, 245 / 255, 0.3)
                                           : Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.3)
    // Separators are lighter than the material in the dark, darker in the light.
    readonly property color separator: dark ? Qt.rgba(84 / 255, 84 / 255, 88 / 255, 0.65)
                                            : Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.36)
    readonly property color material: dark ? Qt.rgba(0.17, 0.17, 0.18, 0.94) : Qt.rgba(0.965, 0.965, 0.972, 0.94)
    readonly property color accent: blue
    readonly property color blue: dark ? "#0a84ff" : "#007aff"
    readonly property color red: dark ? "#ff453a" : "#ff3b30"
    readonly property color green: dark ? "#30d158" : "#34c759"
    readonly property color yellow: dark ? "#ffd60a" : "#ffcc00"
    readonly property color orange: dark ? "#ff9f0a" : "#ff9500"
    readonly property color white: "#ffffff"
    readonly property color focusRing: Qt.rgba(accent.r, accent.g, accent.b, 0.6)

    // The sliders' groove and knob.
    readonly property color track: dark ? Qt.rgba(1, 1, 1, 0.16) : Qt.rgba(0, 0, 0, 0.12)
    readonly property color knob: dark ? "#d8d8da" : "#ffffff"
    readonly property color knobPressed: dark ? "#bfbfc2" : "#ececec"
    readonly property color knobBorder: dark ? Qt.rgba(0, 0, 0, 0.35) : Qt.rgba(0, 0, 0, 0.18)

    // Menus and tooltips: opaque, so that what lies behind them stays out.
    readonly property color menu: dark ? "#2c2c2e" : "#ffffff"
    readonly property color menuHighlight: dark ? "#3a3a3c" : "#ececee"
    readonly property color menuPressed: dark ? "#48484a" : "#dcdcde"
}

pragma Singleton
import QtQuick

// The popover's colours: the system palette, light or dark as the desktop
// prefers (ContentView sets `dark`), the same on every desktop otherwise.
QtObject {
    property bool dark: false

    // Text and symbols are opaque, each at least 4.5:1 against the material
    // and a row's tint, over a black or a white desktop alike; dimmed rows
    // (hidden, not running) take the dimmed ones, which keep to that too,
    // rather than fading the whole row past legibility.
    readonly property color primary: dark ? "#f5f5f7" : "#1d1d1f"
    readonly property color primaryDimmed: dark ? "#cdcdd2" : "#48484d"
    readonly property color secondary: dark ? "#c0c0c5" : "#505055"
    readonly property color secondaryDimmed: dark ? "#b4b4b9" : "#5c5c61"
    readonly property color tertiary: secondaryDimmed
    // Separators are lighter than the material in the dark, darker in the light.
    readonly property color separator: dark ? Qt.rgba(84 / 255, 84 / 255, 88 / 255, 0.65)
                                            : Qt.rgba(60 / 255, 60 / 255, 67 / 255, 0.36)
    readonly property color material: dark ? Qt.rgba(43 / 255, 43 / 255, 46 / 255, 0.94)
                                           : Qt.rgba(246 / 255, 246 / 255, 248 / 255, 0.94)
    // A row's tint over the material.
    readonly property color rowTint: Qt.rgba(primary.r, primary.g, primary.b, 0.06)
    readonly property color accent: blue
    // Symbols in colour, legible as text is.
    readonly property color blue: dark ? "#7abbff" : "#0058bf"
    readonly property color red: dark ? "#ff958d" : "#b8001c"
    // Behind white text (the update pill), in either mode.
    readonly property color accentFill: "#0058bf"
    // The level bar's colours: no text on them.
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
    // The highlighted entry stands out at 3:1 from the menu, its text at
    // 4.5:1 from the highlight: the accent, with white text in the light, a
    // pale one with dark text in the dark.
    readonly property color menu: dark ? "#2c2c2e" : "#ffffff"
    readonly property color menuHighlight: dark ? "#7abbff" : "#0058bf"
    readonly property color menuPressed: dark ? "#5ea9f5" : "#004a9f"
    readonly property color menuHighlightText: dark ? "#1d1d1f" : "#ffffff"
}

import QtQuick
import QtQuick.Controls.Basic

// A borderless button that is just a symbol, with an optional help tooltip.
AbstractButton {
    id: button

    required property string symbol
    property real symbolSize: 13
    property color symbolColor: Style.secondary
    property string help: ""
    // What a screen reader says; the tooltip when there is one.
    property string accessibleName: help

    padding: 0
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus

    Accessible.role: Accessible.Button
    Accessible.name: accessibleName

    contentItem: Symbol {
        name: button.symbol
        size: button.symbolSize
        color: button.symbolColor
        opacity: button.pressed ? 0.6 : 1.0
    }

    FocusRing {
        control: button
    }

    ToolTip.visible: help !== "" && hovered
    ToolTip.text: help
    ToolTip.delay: 600
}

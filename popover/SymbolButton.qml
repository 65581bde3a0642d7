import QtQuick
import QtQuick.Controls.Basic

// A borderless button that is just a symbol, with an optional help tooltip.
AbstractButton {
    id: button

    required property string symbol
    property real symbolSize: 13
    property color symbolColor: Style.secondary
    property string help: ""

    padding: 0
    hoverEnabled: true
    focusPolicy: Qt.NoFocus

    contentItem: Symbol {
        name: button.symbol
        size: button.symbolSize
        color: button.symbolColor
        opacity: button.pressed ? 0.6 : 1.0
    }

    ToolTip.visible: help !== "" && hovered
    ToolTip.text: help
    ToolTip.delay: 600
}

import QtQuick
import Ravlet.Popover

// One system symbol, size points square, in one colour.
Item {
    id: symbol

    required property string name
    property real size: 13
    property color color: Style.primary

    implicitWidth: size
    implicitHeight: size

    Image {
        anchors.centerIn: parent
        width: symbol.size
        height: symbol.size
        sourceSize: Qt.size(symbol.size, symbol.size)
        source: ViewLogic.symbolSource(symbol.name, symbol.color)
    }
}

import QtQuick
import QtQuick.Controls.Basic
import Ravlet.Popover

// An output device in a menu, with a checkmark on the one in use. Every entry
// keeps the checkmark's room, so the names line up.
MenuItem {
    id: entry

    // Whether this is the device in use.
    property bool current: false

    Accessible.checkable: true
    Accessible.checked: current

    // Device names come from drivers and other programs; the style's label
    // would take markup in one for rich text and an "&" for a shortcut.
    contentItem: Row {
        spacing: 6

        Image {
            anchors.verticalCenter: parent.verticalCenter
            width: 12
            height: 12
            opacity: entry.current ? 1 : 0
            source: ViewLogic.symbolSource("checkmark", entry.enabled ? Style.primary : Style.secondary)
            sourceSize: Qt.size(12, 12)
        }

        Text {
            objectName: "deviceName"
            anchors.verticalCenter: parent.verticalCenter
            text: entry.text
            textFormat: Text.PlainText
            font: entry.font
            color: entry.enabled ? entry.palette.windowText : Style.secondary
        }
    }
}

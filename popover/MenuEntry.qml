import QtQuick
import QtQuick.Controls.Basic
import Ravlet.Popover

// An entry of the popover's menus: its text, and the checkmark after it on
// the one in use (a device) or switched on (a setting), the same mark in
// every menu. Every entry keeps the mark's room, so the names line up, and a
// name too long for the menu elides.
MenuItem {
    id: entry

    // Whether the mark is shown: the device in use, or a setting that is on.
    property bool current: checkable && checked

    Accessible.checkable: true
    Accessible.checked: current

    // The style's own mark would be a second kind of checkmark.
    indicator: null
    // As in any desktop menu, whatever the platform's hint for hovering:
    // the pointer highlights, and opens a submenu it rests on.
    hoverEnabled: true

    readonly property color textColor: !entry.enabled ? Style.secondary
                                     : entry.highlighted || entry.down ? Style.menuHighlightText : Style.primary

    // Device names come from drivers and other programs; the style's label
    // would take markup in one for rich text and an "&" for a shortcut.
    contentItem: Item {
        implicitWidth: label.implicitWidth + 8 + mark.width + entry.arrowRoom
        implicitHeight: label.implicitHeight

        Text {
            id: label
            objectName: "entryText"
            anchors.verticalCenter: parent.verticalCenter
            width: Math.min(Math.ceil(implicitWidth), parent.width - 8 - mark.width - entry.arrowRoom)
            text: entry.text
            textFormat: Text.PlainText
            font: entry.font
            elide: Text.ElideRight
            color: entry.textColor
        }

        Image {
            id: mark
            objectName: "checkmark"
            anchors.verticalCenter: parent.verticalCenter
            x: parent.width - entry.arrowRoom - width
            width: 12
            height: 12
            visible: entry.current
            source: ViewLogic.symbolSource("checkmark", entry.textColor)
            sourceSize: Qt.size(12, 12)
        }
    }

    // A submenu's arrow sits where a checkmark would.
    readonly property real arrowRoom: subMenu && arrow ? arrow.width + spacing : 0
}

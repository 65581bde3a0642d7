import QtQuick
import QtQuick.Controls.Basic

// A continuous slider about as tall as a line of text, so a row fits its
// allotted height.
Slider {
    id: slider

    // What a screen reader calls it.
    property string accessibleName

    padding: 0
    implicitHeight: 18
    implicitWidth: 120

    Accessible.role: Accessible.Slider
    Accessible.name: accessibleName

    FocusRing {
        control: slider
        radiusOverride: 6
    }

    background: Rectangle {
        x: slider.leftPadding
        y: slider.topPadding + (slider.availableHeight - height) / 2
        width: slider.availableWidth
        height: 4
        radius: 2
        color: Style.track

        Rectangle {
            width: slider.handle.x - slider.leftPadding + slider.handle.width / 2
            height: parent.height
            radius: 2
            color: Style.accent
        }
    }

    handle: Rectangle {
        x: slider.leftPadding + slider.visualPosition * (slider.availableWidth - width)
        y: slider.topPadding + (slider.availableHeight - height) / 2
        width: 16
        height: 16
        radius: 8
        color: slider.pressed ? Style.knobPressed : Style.knob
        border.color: Style.knobBorder
        border.width: 1
    }
}

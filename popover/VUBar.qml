import QtQuick
import Ravlet.Popover

// A level meter: a faint track with a lit part that grows with the level,
// green to orange along the lit part itself.
Item {
    id: bar

    property real level: 0

    implicitWidth: 100
    implicitHeight: 5

    Rectangle {
        anchors.fill: parent
        radius: height / 2
        color: Style.primary
        opacity: 0.1
    }

    Rectangle {
        objectName: "lit"
        width: ViewLogic.litWidth(bar.width, bar.level)
        height: parent.height
        radius: height / 2
        gradient: Gradient {
            orientation: Gradient.Horizontal
            GradientStop { position: 0.0; color: Style.green }
            GradientStop { position: 0.5; color: Style.yellow }
            GradientStop { position: 1.0; color: Style.orange }
        }
    }
}

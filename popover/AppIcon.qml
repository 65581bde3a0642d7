import QtQuick
import Ravlet.Popover

// An application's icon, or a grey tile when there is none to show.
Item {
    id: icon

    required property string path

    readonly property url source: ViewLogic.appIconSource(path)

    implicitWidth: 40
    implicitHeight: 40

    Image {
        anchors.fill: parent
        visible: icon.source.toString() !== ""
        source: icon.source
        sourceSize: Qt.size(width, height)
        fillMode: Image.PreserveAspectFit
    }

    Rectangle {
        objectName: "placeholder"
        anchors.fill: parent
        visible: icon.source.toString() === ""
        radius: 9
        color: Style.secondary
        opacity: 0.2
    }
}

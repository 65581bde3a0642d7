import QtQuick
import Ravlet.Popover

// An application's icon, or a grey tile when there is none to show: no icon
// at all, one still loading, or one that would not load.
Item {
    id: icon

    required property string path

    readonly property url source: ViewLogic.appIconSource(path)

    implicitWidth: 40
    implicitHeight: 40

    Rectangle {
        objectName: "placeholder"
        anchors.fill: parent
        visible: image.status !== Image.Ready
        radius: 9
        color: Style.secondary
        opacity: 0.2
    }

    Image {
        id: image
        objectName: "iconImage"

        anchors.fill: parent
        visible: status === Image.Ready
        // Not before the layout has given the icon its size, which would
        // load it once at a size it is never drawn at.
        source: width > 0 && height > 0 ? icon.source : ""
        // Drawn from as many pixels as the screen shows there, so it is sharp
        // on dense screens too.
        sourceSize: Qt.size(Math.ceil(width * Screen.devicePixelRatio), Math.ceil(height * Screen.devicePixelRatio))
        fillMode: Image.PreserveAspectFit
        // Off the main thread: a slow disk must not hold up the meters.
        asynchronous: true
    }
}

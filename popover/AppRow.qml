import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Ravlet.Popover

// One application: icon, name, volume and level, with its slider, mute (or
// re-scan) button, drag handle and hide/show menu. Everything shown is a role
// of the row's model; every control calls the engine. The keys and the wheel
// act on the row whichever of its controls has the focus or the pointer.
FocusScope {
    id: row

    required property QtObject engine
    required property string appId
    required property string name
    required property string iconPath
    required property bool isActive
    required property bool hidden
    required property bool muted
    // The stored gain; undefined when there is none.
    required property var gain
    required property real level

    implicitWidth: 360
    implicitHeight: content.implicitHeight + 24
    opacity: ViewLogic.rowOpacity(hidden, isActive)

    Accessible.role: Accessible.ListItem
    Accessible.name: name

    // Up or Down: the popover moves the focus on from this row.
    signal moveRequested(int by)

    function step(steps) {
        row.engine.setGain(row.appId, ViewLogic.steppedGain(row.gain, steps))
    }

    // Left and Right step the volume (not the slider's own step: whole
    // percent), Home is 100 %, M mutes, the menu key opens the row's menu.
    // Up and Down are taken here before the slider would take them as steps.
    // Anything else goes on to the popover.
    function handleKey(event) {
        const plain = (event.modifiers & ~Qt.KeypadModifier) === Qt.NoModifier
        if ((event.key === Qt.Key_Up || event.key === Qt.Key_Down) && plain)
            moveRequested(event.key === Qt.Key_Up ? -1 : 1)
        else if (event.key === Qt.Key_Left && plain)
            step(-1)
        else if (event.key === Qt.Key_Right && plain)
            step(1)
        else if (event.key === Qt.Key_Home && plain)
            row.engine.setGain(row.appId, 1.0)
        else if (event.key === Qt.Key_M && plain && row.isActive)
            row.engine.setMuted(row.appId, !row.muted)
        else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && event.modifiers === Qt.ShiftModifier))
            contextMenu.popup(row, 12, 12)
        else
            return
        event.accepted = true
    }

    Keys.onPressed: event => handleKey(event)

    // Beneath the controls, which take no wheel, so it reaches this from
    // anywhere on the row; the list scrolls with the wheel between rows and
    // on its scroll bar.
    MouseArea {
        objectName: "wheelArea"

        anchors.fill: parent
        acceptedButtons: Qt.NoButton
        // Angle units towards the next notch, from smooth wheels and
        // touchpads.
        property int pending: 0

        onWheel: wheel => {
            const delta = wheel.inverted ? -wheel.angleDelta.y : wheel.angleDelta.y
            if (delta === 0) {
                wheel.accepted = false
                return
            }
            const notches = ViewLogic.wheelNotches(pending, delta)
            pending = notches.rest
            if (notches.steps !== 0)
                row.step(notches.steps)
        }
    }

    Rectangle {
        anchors.fill: parent
        radius: 14
        color: Style.primary
        opacity: 0.06
    }

    DropArea {
        anchors.fill: parent
        keys: ["text/plain"]
        onDropped: drop => {
            const moved = drop.formats.includes("text/plain") ? drop.getDataAsString("text/plain")
                                                              : drop.source?.mimeData?.["text/plain"]
            if (typeof moved !== "string")
                return
            drop.accept(Qt.MoveAction)
            row.engine.moveApp(moved, row.appId)
        }
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: contextMenu.popup()
    }

    PopoverMenu {
        id: contextMenu
        objectName: "contextMenu"

        MenuItem {
            id: visibilityItem

            text: ViewLogic.contextMenuTitle(row.hidden, row.name)
            onTriggered: row.engine.setHidden(row.appId, !row.hidden)

            // The style's label would take markup in the name for rich text
            // and an "&" for a shortcut marker.
            contentItem: Text {
                text: visibilityItem.text
                textFormat: Text.PlainText
                font: visibilityItem.font
                color: visibilityItem.palette.windowText
                elide: Text.ElideRight
                verticalAlignment: Text.AlignVCenter
            }
        }
    }

    RowLayout {
        id: content

        anchors.fill: parent
        anchors.margins: 12
        spacing: 10

        Item {
            id: handle
            objectName: "dragHandle"

            Layout.preferredWidth: 14
            Layout.fillHeight: true

            Accessible.role: Accessible.Grip
            Accessible.name: "Drag to reorder " + row.name

            Symbol {
                anchors.centerIn: parent
                name: "line.3.horizontal"
                size: 13
                color: Style.tertiary
            }

            // What moves while dragging: a copy of the handle carrying the
            // application's id.
            Item {
                id: dragged

                width: handle.width
                height: handle.height
                visible: dragArea.drag.active

                // Qt Quick hands mime data over only in platform drags; a
                // drop within the popover reads it from here.
                readonly property var mimeData: ({ "text/plain": row.appId })

                Drag.active: dragArea.drag.active
                Drag.keys: ["text/plain"]
                Drag.mimeData: mimeData
                Drag.supportedActions: Qt.MoveAction
                Drag.proposedAction: Qt.MoveAction
                Drag.hotSpot: Qt.point(width / 2, height / 2)

                Symbol {
                    anchors.centerIn: parent
                    name: "line.3.horizontal"
                    size: 13
                    color: Style.secondary
                }
            }

            MouseArea {
                id: dragArea

                anchors.fill: parent
                hoverEnabled: true
                preventStealing: true
                cursorShape: drag.active ? Qt.ClosedHandCursor : Qt.OpenHandCursor
                drag.target: dragged
                drag.threshold: 4

                onReleased: {
                    if (drag.active)
                        dragged.Drag.drop()
                    dragged.x = 0
                    dragged.y = 0
                }
            }

            ToolTip.visible: dragArea.containsMouse && !dragArea.drag.active
            ToolTip.text: "Drag to reorder"
            ToolTip.delay: 600
        }

        AppIcon {
            objectName: "icon"
            path: row.iconPath
            Layout.preferredWidth: 40
            Layout.preferredHeight: 40
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6

            RowLayout {
                Layout.fillWidth: true

                Text {
                    objectName: "name"
                    text: row.name
                    // Names come from the applications themselves; markup in
                    // one is shown, not obeyed.
                    textFormat: Text.PlainText
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    color: Style.primary
                    maximumLineCount: 1
                    elide: Text.ElideRight
                    Layout.minimumWidth: 0
                }

                Text {
                    objectName: "notRunning"
                    visible: !row.isActive
                    text: "· not running"
                    font.pixelSize: 11
                    color: Style.secondary
                }

                Item {
                    Layout.fillWidth: true
                }

                Text {
                    objectName: "percentage"
                    text: ViewLogic.gainPercentText(row.gain)
                    font.pixelSize: 12
                    color: Style.secondary
                    horizontalAlignment: Text.AlignRight
                    // Wide enough for "150%", so the digits do not shift the
                    // line as the volume changes.
                    Layout.minimumWidth: widest.advanceWidth

                    TextMetrics {
                        id: widest
                        font.pixelSize: 12
                        text: "150%"
                    }
                }
            }

            VUBar {
                Layout.fillWidth: true
                Layout.preferredHeight: 5
                level: ViewLogic.rowLevel(row.level, row.isActive)
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 10

                VolumeSlider {
                    objectName: "volume"
                    // What the keys reach first in a row.
                    focus: true
                    accessibleName: row.name + " volume"
                    Keys.onPressed: event => row.handleKey(event)
                    Layout.fillWidth: true
                    from: 0
                    to: 1.5
                    value: ViewLogic.gainSliderValue(row.gain)
                    // Only the user's moves: the value also follows the
                    // engine, which must not be written back.
                    onMoved: row.engine.setGain(row.appId, value)
                }

                SymbolButton {
                    objectName: "stateButton"
                    Layout.preferredWidth: 22
                    symbol: !row.isActive ? "arrow.clockwise"
                          : row.muted ? "speaker.slash.fill" : "speaker.wave.2.fill"
                    symbolSize: row.isActive ? 14 : 13
                    symbolColor: row.isActive && row.muted ? Style.red : Style.secondary
                    help: row.isActive ? "" : "App not running — start it, then click to pick it up"
                    accessibleName: !row.isActive ? "Look for " + row.name + " again"
                                  : row.muted ? "Unmute " + row.name : "Mute " + row.name
                    Keys.onPressed: event => row.handleKey(event)
                    onClicked: {
                        if (row.isActive)
                            row.engine.setMuted(row.appId, !row.muted)
                        else
                            row.engine.refresh()
                    }
                }
            }
        }
    }
}

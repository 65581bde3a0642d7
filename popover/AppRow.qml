import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Ravlet.Popover

// One application: icon, name, volume and level, with its slider, mute (or
// re-scan) button, drag handle and a menu to play it on another output device
// and to hide or show it. Everything shown is a role of the row's model, and
// the gain, mute, hidden flag and output are written back through it; what
// needs the whole list (reordering, a new look for applications) is asked of
// the popover. The keys act on the row whichever
// of its controls has the focus.
FocusScope {
    id: row

    required property string appId
    required property string name
    required property string iconPath
    required property bool isActive
    required property bool hidden
    required property bool muted
    // The stored gain; undefined when there is none.
    required property var gain
    required property real level
    // The chosen output device's UID, empty for the system's default; its
    // name, and whether it is there.
    required property string output
    required property string outputName
    required property bool outputPresent
    // Whether its gain, mute and device go unapplied: every slot is taken.
    required property bool beyondSlots
    required property int heard
    // The devices the application can be sent to, as {uid, name}.
    property var outputDevices: []
    // The row's roles, written through.
    required property var model
    // Where the drag image is drawn, above the list, so that it stays under
    // the pointer while the list scrolls beneath it.
    property Item dragLayer: null

    readonly property bool dimmed: ViewLogic.rowDimmed(hidden, isActive)
    readonly property bool dragging: dragArea.drag.active
    // The drag image's hot spot in the drag layer, while dragging.
    readonly property point dragPoint: Qt.point(dragImage.x + dragImage.Drag.hotSpot.x,
                                                dragImage.y + dragImage.Drag.hotSpot.y)
    // Whether this row's menu is putting the focus back as it closes: the
    // list must not scroll to where the focus lands then.
    readonly property bool restoringFocus: menu ? menu.restoring : false
    // Where Up and Down bring the keys into the row.
    readonly property Item keyStop: volume

    implicitWidth: 360
    implicitHeight: content.implicitHeight + 24

    Accessible.role: Accessible.ListItem
    Accessible.name: name
    // The drag handle takes no focus; the keys move the row instead.
    Accessible.description: "Ctrl+Up or Ctrl+Down moves it in the list"

    // Up or Down: the popover moves the focus on from this row.
    signal moveRequested(int by)
    // Ctrl+Up or Ctrl+Down: the popover moves the row itself.
    signal reorderRequested(int by)
    // The application `moved` was dropped on this row.
    signal dropRequested(string moved)
    signal rescanRequested()

    function setGain(gain) {
        row.model.gain = gain
    }

    function step(steps) {
        setGain(ViewLogic.steppedGain(row.gain, steps))
    }

    // Angle units of the wheel towards the next notch, from smooth wheels and
    // touchpads.
    property int pendingWheel: 0

    // A turn of the wheel the popover gave to this row's volume.
    function wheelVolume(delta) {
        const notches = ViewLogic.wheelNotches(pendingWheel, delta)
        pendingWheel = notches.rest
        if (notches.steps !== 0)
            step(notches.steps)
    }

    // Whether a point of the row (in its own coordinates) is on its slider.
    function onVolumeControl(x, y) {
        const p = row.mapToItem(volume, x, y)
        return volume.contains(p)
    }

    // The rows moved under the drag image (the list scrolled): a half-pixel
    // nudge has the drop target found again under it.
    property real nudge: 0.5
    function redragAtPoint() {
        dragImage.x += nudge
        nudge = -nudge
    }

    // Left and Right step the volume (not the slider's own step: whole
    // percent), Home is 100 %, M mutes, the menu key or Return opens the
    // row's menu,
    // Ctrl with Up or Down moves the row. Up and Down are taken here before
    // the slider would take them as steps. Anything else goes on to the
    // popover.
    function handleKey(event) {
        const mods = event.modifiers & ~Qt.KeypadModifier
        const plain = mods === Qt.NoModifier
        const vertical = event.key === Qt.Key_Up || event.key === Qt.Key_Down
        if (vertical && plain)
            moveRequested(event.key === Qt.Key_Up ? -1 : 1)
        else if (vertical && mods === Qt.ControlModifier)
            reorderRequested(event.key === Qt.Key_Up ? -1 : 1)
        else if (event.key === Qt.Key_Left && plain)
            step(-1)
        else if (event.key === Qt.Key_Right && plain)
            step(1)
        else if (event.key === Qt.Key_Home && plain)
            setGain(1.0)
        else if (event.key === Qt.Key_M && plain && row.isActive)
            row.model.muted = !row.muted
        else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && event.modifiers === Qt.ShiftModifier)
                 || ((event.key === Qt.Key_Return || event.key === Qt.Key_Enter) && plain))
            rowMenu().openByKeys(row, 12, 12)
        else
            return
        event.accepted = true
    }

    Keys.onPressed: event => handleKey(event)

    Rectangle {
        anchors.fill: parent
        radius: 14
        color: Style.primary
        opacity: 0.06
    }

    // Over the gap above the row too, where its marker is drawn: a drop
    // between two rows lands before the lower one.
    DropArea {
        id: dropArea

        anchors.fill: parent
        anchors.topMargin: -10
        keys: ["text/plain"]
        onDropped: drop => {
            const moved = drop.formats.includes("text/plain") ? drop.getDataAsString("text/plain")
                                                              : drop.source?.mimeData?.["text/plain"]
            if (typeof moved !== "string")
                return
            drop.accept(Qt.MoveAction)
            row.dropRequested(moved)
        }
    }

    // Where a drop would put the dragged row: before this one, in the gap
    // above it. Not for the row itself, where a drop moves nothing.
    Rectangle {
        objectName: "dropMarker"

        visible: dropArea.containsDrag && !row.dragging
        x: 8
        y: -6
        width: parent.width - 16
        height: 2
        radius: 1
        color: Style.accent
    }

    // Just off the pointer, as desktop menus open: under it, the first
    // entry (Play On) would count as hovered and open its submenu over the
    // row before the pointer moved.
    TapHandler {
        id: rightTap
        acceptedButtons: Qt.RightButton
        onTapped: rowMenu().popup(row, rightTap.point.position.x + 2, rightTap.point.position.y + 2)
    }

    // The row's menu, made at its first opening and kept: made with every
    // row, the rows' menus were half the memory the popover takes before
    // anyone opens one.
    property PopoverMenu menu: null

    function rowMenu() {
        if (!menu)
            menu = menuComponent.createObject(row)
        return menu
    }

    Component {
        id: menuComponent

        PopoverMenu {
            id: contextMenu
            objectName: "contextMenu"

            PopoverMenu {
                id: playOnMenu
                objectName: "playOnMenu"

                title: "Play On"
                submenu: true

                // Follows the system's output wherever it goes.
                MenuEntry {
                    objectName: "systemDefault"
                    text: "System Default"
                    current: row.output === ""
                    onTriggered: row.model.output = ""
                }

                MenuSeparator {}

                Instantiator {
                    model: row.outputDevices
                    delegate: MenuEntry {
                        required property var modelData

                        text: modelData.name
                        current: modelData.uid === row.output
                        onTriggered: row.model.output = modelData.uid
                    }
                    // After System Default and the separator.
                    onObjectAdded: (index, object) => playOnMenu.insertItem(index + 2, object)
                    onObjectRemoved: (index, object) => playOnMenu.removeItem(object)
                }

                // The chosen device while it is unplugged: the application plays
                // on the default meanwhile, and the choice, shown here, waits for
                // the device until another is picked. Always in the menu (added
                // and removed, it would be left behind by a quick change of the
                // choice), and of no height while not needed.
                MenuEntry {
                    objectName: "awayDevice"
                    // Not `visible`, which reads false while the menu is closed.
                    readonly property bool away: row.output !== "" && !row.outputPresent

                    visible: away
                    height: away ? implicitHeight : 0
                    text: row.outputName !== "" ? row.outputName + " (unavailable)" : "Unavailable device"
                    current: away
                    enabled: false
                }
            }

            MenuSeparator {
                implicitWidth: 0
            }

            MenuEntry {
                text: ViewLogic.contextMenuTitle(row.hidden, row.name)
                onTriggered: row.model.hidden = !row.hidden
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

            // What moves while dragging: the handle, icon and name on a card,
            // carrying the application's id. It lives in the drag layer, so
            // neither the list's clip nor its scrolling takes it away.
            Rectangle {
                id: dragImage
                objectName: "dragImage"

                parent: row.dragLayer ?? handle
                z: 10
                width: Math.min(240, row.width)
                height: 40
                radius: 10
                color: Style.menu
                border.color: Style.separator
                opacity: 0.92
                visible: dragArea.drag.active

                // Qt Quick hands mime data over only in platform drags; a
                // drop within the popover reads it from here.
                readonly property var mimeData: ({ "text/plain": row.appId })

                Drag.active: dragArea.drag.active
                Drag.keys: ["text/plain"]
                Drag.mimeData: mimeData
                Drag.supportedActions: Qt.MoveAction
                Drag.proposedAction: Qt.MoveAction
                // Where the handle is on the card: where the pointer took it.
                Drag.hotSpot: Qt.point(8 + handle.width / 2, height / 2)

                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    x: 8
                    spacing: 8

                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        width: handle.width
                        name: "line.3.horizontal"
                        size: 13
                        color: Style.secondary
                    }

                    AppIcon {
                        anchors.verticalCenter: parent.verticalCenter
                        path: row.iconPath
                        width: 28
                        height: 28
                    }

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        width: dragImage.width - 8 - handle.width - 8 - 28 - 8 - 10
                        text: row.name
                        textFormat: Text.PlainText
                        font.pixelSize: 13
                        font.weight: Font.DemiBold
                        color: Style.primary
                        elide: Text.ElideRight
                    }
                }
            }

            MouseArea {
                id: dragArea

                anchors.fill: parent
                hoverEnabled: true
                preventStealing: true
                cursorShape: drag.active ? Qt.ClosedHandCursor : Qt.OpenHandCursor
                drag.target: dragImage
                drag.threshold: 4
                // The card keeps its hot spot under the pointer: smoothed, it
                // would lag by the whole move that crossed the threshold, and
                // the list's edges, which scroll by the hot spot, would be
                // reached late or not at all.
                drag.smoothed: false

                // The card starts with its hot spot where the handle is.
                onPressed: {
                    const at = handle.mapToItem(dragImage.parent, handle.width / 2, handle.height / 2)
                    dragImage.x = at.x - dragImage.Drag.hotSpot.x
                    dragImage.y = at.y - dragImage.Drag.hotSpot.y
                }
                onReleased: {
                    if (drag.active)
                        dragImage.Drag.drop()
                }
            }

            ToolTip.visible: dragArea.containsMouse && !dragArea.drag.active
            ToolTip.text: "Drag to reorder"
            ToolTip.delay: 600
        }

        AppIcon {
            objectName: "icon"
            opacity: ViewLogic.rowOpacity(row.hidden, row.isActive)
            path: row.iconPath
            Layout.preferredWidth: 40
            Layout.preferredHeight: 40
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6

            RowLayout {
                id: titleLine
                Layout.fillWidth: true

                // Hovered with the name cut short, the whole of it.
                HoverHandler {
                    id: titleHover
                }
                ToolTip.visible: titleHover.hovered && nameText.truncated
                ToolTip.text: row.name
                ToolTip.delay: 600

                // The name takes what is left and elides, so the percentage,
                // slider and button keep their place however long it is.
                Text {
                    id: nameText
                    objectName: "name"
                    text: row.name
                    // Names come from the applications themselves; markup in
                    // one is shown, not obeyed.
                    textFormat: Text.PlainText
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    color: row.dimmed ? Style.primaryDimmed : Style.primary
                    maximumLineCount: 1
                    elide: Text.ElideRight
                    // Whole pixels: the layout rounds, and a name given a
                    // fraction less than its width would elide.
                    Layout.fillWidth: true
                    Layout.preferredWidth: Math.ceil(implicitWidth)
                    Layout.maximumWidth: Math.ceil(implicitWidth)
                    Layout.minimumWidth: 0
                }

                // Small and thin: the undimmed colour keeps it legible.
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
                    color: row.dimmed ? Style.secondaryDimmed : Style.secondary
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

            // The level, and beside it what else the row must say: that its
            // settings go unapplied, or the device it plays on when not the
            // default. The note is taller than the bar and reaches into the
            // spacing around it, so every row keeps one height.
            RowLayout {
                Layout.fillWidth: true
                Layout.preferredHeight: 5
                spacing: 8

                VUBar {
                    opacity: ViewLogic.rowOpacity(row.hidden, row.isActive)
                    Layout.fillWidth: true
                    // The note comes first; a stub of the bar stays in view
                    // beside a long one.
                    Layout.preferredWidth: 40
                    Layout.minimumWidth: 40
                    Layout.preferredHeight: 5
                    level: ViewLogic.rowLevel(row.level, row.isActive)
                }

                Text {
                    id: noteText
                    objectName: "rowNote"
                    text: ViewLogic.rowNote(row.beyondSlots, row.isActive, row.output, row.outputPresent,
                                            row.outputName, row.heard)
                    visible: text !== ""
                    textFormat: Text.PlainText
                    maximumLineCount: 1
                    elide: Text.ElideRight
                    font.pixelSize: 11
                    color: Style.secondary
                    verticalAlignment: Text.AlignVCenter
                    Layout.preferredHeight: 5
                    Layout.fillWidth: true
                    Layout.maximumWidth: Math.ceil(implicitWidth)
                    Layout.preferredWidth: Math.ceil(implicitWidth)
                    Layout.minimumWidth: 0

                    HoverHandler {
                        id: noteHover
                    }
                    ToolTip.visible: noteHover.hovered && truncated
                    ToolTip.text: text
                    ToolTip.delay: 600
                }
            }

            RowLayout {
                Layout.fillWidth: true
                spacing: 10

                VolumeSlider {
                    id: volume
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
                    onMoved: row.setGain(value)
                }

                SymbolButton {
                    objectName: "stateButton"
                    Layout.preferredWidth: 22
                    symbol: !row.isActive ? "arrow.clockwise"
                          : row.muted ? "speaker.slash.fill" : "speaker.wave.2.fill"
                    symbolSize: row.isActive ? 14 : 13
                    symbolColor: row.isActive && row.muted ? Style.red
                               : row.dimmed ? Style.secondaryDimmed : Style.secondary
                    help: row.isActive ? "" : "App not running — start it, then click to pick it up"
                    accessibleName: !row.isActive ? "Look for " + row.name + " again"
                                  : row.muted ? "Unmute " + row.name : "Mute " + row.name
                    Keys.onPressed: event => row.handleKey(event)
                    onClicked: {
                        if (row.isActive)
                            row.model.muted = !row.muted
                        else
                            row.rescanRequested()
                    }
                }
            }
        }
    }
}

import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Ravlet.Popover

// The popover: header, then the output device with the master volume and one
// row per application, or the message that this system cannot tap
// applications. It decides its own size and reports it to the host.
//
// Keys: Up and Down go from row to row (the master volume first), Left and
// Right change the volume of the row the focus is in, Home puts it back to
// 100 %, M mutes it (on the master row, the output device), the menu key (or
// Shift+F10) opens its menu or, outside the rows, the header's; Escape asks
// to close; Ctrl with Up or Down moves the focused row up or down the list.
// Tab reaches every control.
//
// The wheel sets the volume on a row's slider and anywhere on the master row;
// elsewhere over the list it scrolls the list, and while the list is
// scrolling it goes on scrolling over the sliders too.
FocusScope {
    id: root

    required property QtObject engine
    // updateAvailable, latestVersion and downloadURL of the update checker.
    required property QtObject updater
    // Height allowed for one application row in the size rule.
    required property real rowHeight
    // Visible height of the main screen; 0 when there is none.
    required property real screenAvailableHeight
    // Whether Ravlet starts at login: `enabled`, reload() and setEnabled(bool),
    // offered in the header's menu. Without it the header has no menu.
    property QtObject startAtLogin: null
    // The desktop prefers dark colours.
    property bool dark: false

    // The frame's laid-out size: once after the view is built, then on every
    // change.
    signal sizeReported(real width, real height)
    signal updateRequested(string downloadURL, string expectedVersion)
    signal quitRequested()
    signal closeRequested()

    focus: true

    implicitWidth: frame.width
    implicitHeight: frame.height

    // The meters change 30 times a second; while the popover is closed
    // nothing follows them, and they cost nothing.
    readonly property bool onScreen: Window.window?.visible ?? false

    DisplayListModel {
        id: apps
        engine: root.engine
        metering: root.onScreen
    }

    property real reportedWidth: 0
    property real reportedHeight: 0

    // Deferred, so that a width and a height changing together make one
    // report, and the first one reaches a host that connects after creating
    // the view.
    function reportSize() {
        if (frame.width === reportedWidth && frame.height === reportedHeight)
            return
        reportedWidth = frame.width
        reportedHeight = frame.height
        sizeReported(reportedWidth, reportedHeight)
    }

    Component.onCompleted: Qt.callLater(reportSize)

    Binding {
        target: Style
        property: "dark"
        value: root.dark
    }

    // One tooltip serves the whole window.
    Binding {
        target: root.ToolTip.toolTip
        property: "palette.toolTipBase"
        value: Style.menu
    }
    Binding {
        target: root.ToolTip.toolTip
        property: "palette.toolTipText"
        value: Style.primary
    }
    Binding {
        target: root.ToolTip.toolTip
        property: "palette.dark"
        value: Style.separator
    }

    // The master row, then each row, as Up and Down go through them. The
    // master row is reached at its slider, or at its mute button without one.
    function keyStops() {
        const stops = masterSlider.visible ? [masterSlider] : masterMute.visible ? [masterMute] : []
        for (let i = 0; i < rowRepeater.count; ++i)
            stops.push(rowRepeater.itemAt(i))
        return stops
    }

    function moveFocus(by) {
        const stops = keyStops()
        if (stops.length === 0)
            return
        // Either master control is the master row's place, as any control
        // of a row is the row's.
        const at = masterSlider.activeFocus || masterMute.activeFocus ? 0
                 : stops.findIndex(stop => stop.activeFocus)
        const next = at < 0 ? (by > 0 ? 0 : stops.length - 1) : Math.max(0, Math.min(stops.length - 1, at + by))
        // A row is entered at its slider, whichever control it had last:
        // Space there must not mute it.
        ;(stops[next].keyStop ?? stops[next]).forceActiveFocus(Qt.TabFocusReason)
    }

    function stepMaster(steps) {
        root.engine.setMasterVolume(ViewLogic.steppedMasterVolume(root.engine.masterVolume, steps))
    }

    // The keys on the master row, whichever of its controls has the focus:
    // Left and Right step the volume, M mutes the device. Up and Down are
    // taken here before the slider would take them as steps. Home stays out:
    // the device's full volume is too loud to be one key away.
    function handleMasterKey(event) {
        const plain = (event.modifiers & ~Qt.KeypadModifier) === Qt.NoModifier
        if (!plain)
            return
        if ((event.key === Qt.Key_Left || event.key === Qt.Key_Right) && root.engine.masterVolumeSupported)
            root.stepMaster(event.key === Qt.Key_Left ? -1 : 1)
        else if (event.key === Qt.Key_Up || event.key === Qt.Key_Down)
            root.moveFocus(event.key === Qt.Key_Up ? -1 : 1)
        else if (event.key === Qt.Key_M && root.engine.masterMuteSupported)
            root.engine.setMasterMuted(!root.engine.masterMuted)
        else
            return
        event.accepted = true
    }

    Keys.onPressed: event => {
        if (event.key === Qt.Key_Escape)
            root.closeRequested()
        else if (event.key === Qt.Key_Up)
            moveFocus(-1)
        else if (event.key === Qt.Key_Down)
            moveFocus(1)
        else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && event.modifiers === Qt.ShiftModifier))
            openHeaderMenu(false)
        else
            return
        event.accepted = true
    }

    // The row the keys were last in: when it leaves the list (hidden from
    // its own menu, say), the keys go on to the next row.
    property Item keyRow: null

    // A closing menu putting the focus back is no move of the user's.
    function restoringFocus() {
        if (headerMenu?.restoring || outputMenu?.restoring)
            return true
        for (let i = 0; i < rowRepeater.count; ++i) {
            if (rowRepeater.itemAt(i)?.restoringFocus)
                return true
        }
        return false
    }

    function rowFocused(row) {
        root.keyRow = row
        if (!restoringFocus())
            reveal(row)
    }

    // After the row the keys were in has left the list: the row now in its
    // place, or the one before it, or the master row. Not when the keys have
    // meanwhile gone to a control of their own choosing.
    function focusAfterRemoval(index) {
        let within = root.Window.activeFocusItem
        while (within && within !== root)
            within = within.parent
        if (within === root && root.Window.activeFocusItem !== root)
            return
        const stops = keyStops()
        if (stops.length === 0)
            return
        const firstRow = stops.length - rowRepeater.count
        stops[Math.min(firstRow + index, stops.length - 1)].forceActiveFocus(Qt.TabFocusReason)
    }

    // Ctrl+Up and Ctrl+Down: the row changes places with its neighbour, and
    // the order is stored just as a drop of one on the other stores it.
    function reorder(row, by) {
        let at = -1
        for (let i = 0; i < rowRepeater.count; ++i) {
            if (rowRepeater.itemAt(i) === row)
                at = i
        }
        if (at < 0)
            return
        if (by < 0 && at > 0)
            apps.moveApp(row.appId, rowRepeater.itemAt(at - 1).appId)
        else if (by > 0 && at < rowRepeater.count - 1)
            apps.moveApp(rowRepeater.itemAt(at + 1).appId, row.appId)
        Qt.callLater(() => { if (row) root.reveal(row) })
    }

    // The row under a point of `item`, or null.
    function rowAt(item, x, y) {
        for (let i = 0; i < rowRepeater.count; ++i) {
            const row = rowRepeater.itemAt(i)
            const p = item.mapToItem(row, x, y)
            if (row.contains(p))
                return row
        }
        return null
    }

    // The row being dragged, while one is.
    property Item draggedRow: null

    // While a row is dragged near the list's top or bottom edge the list
    // scrolls, so that it can be dropped on a row out of sight.
    Timer {
        id: edgeScroll

        interval: 16
        repeat: true
        running: root.draggedRow !== null
        // When the last tick ran; the list moves by the time since.
        property real lastTick: 0
        onRunningChanged: lastTick = Date.now()
        onTriggered: {
            const now = Date.now()
            const elapsed = now - lastTick
            lastTick = now
            const flickable = list.contentItem
            const at = dragOverlay.mapToItem(list, root.draggedRow.dragPoint.x, root.draggedRow.dragPoint.y)
            const step = ViewLogic.edgeScrollStep(at.y, list.height, elapsed)
            if (step === 0)
                return
            const bottom = Math.max(0, flickable.contentHeight - flickable.height)
            const y = Math.max(0, Math.min(flickable.contentY + step, bottom))
            if (y === flickable.contentY)
                return
            flickable.contentY = y
            // The rows moved under a still drag image: the drop target is
            // found again.
            root.draggedRow.redragAtPoint()
        }
    }

    // Scrolls the list so that a row the keyboard reached is in view.
    function reveal(item) {
        const flickable = list.contentItem
        const top = item.mapToItem(flickable.contentItem, 0, 0).y - 12
        const bottom = top + item.height + 24
        let y = flickable.contentY
        if (top < y)
            y = top
        else if (bottom > y + flickable.height)
            y = bottom - flickable.height
        flickable.contentY = Math.max(0, Math.min(y, flickable.contentHeight - flickable.height))
    }

    // At the pointer when the pointer asked for it, below the header from
    // the keys.
    function openHeaderMenu(atPointer) {
        if (!root.startAtLogin)
            return
        if (atPointer)
            madeHeaderMenu().popup(headerTap.point.position.x, headerTap.point.position.y)
        else
            madeHeaderMenu().openByKeys(header, 0, header.height)
    }

    // The header's and the output's menus are made at their first opening
    // and kept, as the rows' are: made at start, they cost memory for as
    // long as Ravlet runs, most often for nothing.
    property PopoverMenu headerMenu: null
    property PopoverMenu outputMenu: null

    function madeHeaderMenu() {
        if (!headerMenu)
            headerMenu = headerMenuComponent.createObject(header)
        return headerMenu
    }

    function madeOutputMenu() {
        if (!outputMenu)
            outputMenu = outputMenuComponent.createObject(outputButton)
        return outputMenu
    }

    Item {
        id: frame
        objectName: "frame"

        anchors.centerIn: parent
        width: ViewLogic.popoverWidth
        // The master row is as tall with a mute button alone as with a slider.
        height: ViewLogic.popoverHeight(root.engine.supported,
                                        root.engine.masterVolumeSupported || root.engine.masterMuteSupported,
                                        apps.count, root.rowHeight, root.screenAvailableHeight)
        clip: true

        onWidthChanged: Qt.callLater(root.reportSize)
        onHeightChanged: Qt.callLater(root.reportSize)

        Rectangle {
            anchors.fill: parent
            color: Style.material
        }

        ColumnLayout {
            // Without the list nothing stretches; the content then sits in
            // the middle of the frame.
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width
            height: root.engine.supported ? parent.height : implicitHeight
            spacing: 0

            RowLayout {
                id: header
                objectName: "header"

                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Layout.topMargin: 12
                Layout.bottomMargin: 12
                spacing: 10

                TapHandler {
                    id: headerTap
                    acceptedButtons: Qt.RightButton
                    onTapped: root.openHeaderMenu(true)
                }

                Component {
                    id: headerMenuComponent

                    PopoverMenu {
                        objectName: "headerMenu"

                        // The entry may have been added or removed elsewhere
                        // since the last look.
                        onAboutToShow: root.startAtLogin?.reload()

                        MenuEntry {
                            objectName: "startAtLogin"
                            // The system may wait for the user's approval, and says so.
                            text: root.startAtLogin?.text ?? "Start at Login"
                            checkable: true
                            checked: root.startAtLogin?.enabled ?? false
                            onTriggered: root.startAtLogin.setEnabled(checked)
                        }

                        MenuEntry {
                            objectName: "preventClipping"
                            text: "Prevent Clipping"
                            checkable: true
                            checked: root.engine.preventClipping
                            onTriggered: root.engine.preventClipping = checked
                        }
                    }
                }

                Image {
                    Layout.preferredWidth: 30
                    Layout.preferredHeight: 30
                    source: "images/badge.svg"
                    sourceSize: Qt.size(30, 30)

                    Symbol {
                        anchors.centerIn: parent
                        name: "slider.horizontal.3"
                        size: 17
                        color: Style.white
                    }
                }

                ColumnLayout {
                    spacing: 1

                    Text {
                        text: "Ravlet"
                        font.pixelSize: 16
                        font.bold: true
                        color: Style.primary
                    }

                    Text {
                        text: "Per-App Volume"
                        font.pixelSize: 11
                        color: Style.secondary
                    }
                }

                Item {
                    Layout.fillWidth: true
                }

                AbstractButton {
                    id: updatePill
                    objectName: "updatePill"

                    visible: root.updater?.updateAvailable === true
                    leftPadding: 8
                    rightPadding: 8
                    topPadding: 3
                    bottomPadding: 3
                    hoverEnabled: true
                    focusPolicy: Qt.StrongFocus

                    Accessible.role: Accessible.Button
                    Accessible.name: "Update to " + (root.updater?.latestVersion ?? "")

                    FocusRing {
                        control: updatePill
                    }

                    contentItem: Text {
                        objectName: "updatePillLabel"
                        text: ViewLogic.updatePillLabel(root.updater?.latestVersion ?? "")
                        textFormat: Text.PlainText
                        font.pixelSize: 11
                        font.weight: Font.DemiBold
                        color: Style.white
                    }

                    background: Rectangle {
                        radius: height / 2
                        color: updatePill.pressed ? Qt.darker(Style.accentFill, 1.2) : Style.accentFill
                    }

                    ToolTip.visible: hovered
                    ToolTip.text: root.updater?.pillToolTip ?? "Update available — install"
                    ToolTip.delay: 600

                    onClicked: root.updateRequested(String(root.updater?.downloadURL ?? ""),
                                                    root.updater?.latestVersion ?? "")
                }

                SymbolButton {
                    objectName: "showHidden"
                    symbol: root.engine.showHidden ? "eye.fill" : "eye.slash"
                    symbolColor: root.engine.showHidden ? Style.blue : Style.secondary
                    help: "Show hidden apps"
                    Accessible.checkable: true
                    Accessible.checked: root.engine.showHidden
                    onClicked: root.engine.showHidden = !root.engine.showHidden
                }

                SymbolButton {
                    objectName: "power"
                    symbol: "power"
                    accessibleName: "Quit Ravlet"
                    onClicked: root.quitRequested()
                }
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.preferredHeight: 1
                color: Style.separator
                opacity: 0.4
            }

            RowLayout {
                objectName: "masterRow"

                WheelHandler {
                    target: null
                    // Angle units towards the next notch.
                    property int pending: 0
                    onWheel: event => {
                        const delta = event.inverted ? -event.angleDelta.y : event.angleDelta.y
                        const notches = ViewLogic.wheelNotches(pending, delta)
                        pending = notches.rest
                        if (notches.steps !== 0)
                            root.stepMaster(notches.steps)
                    }
                }

                visible: root.engine.supported
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Layout.topMargin: 12
                Layout.bottomMargin: 12
                spacing: 12

                Symbol {
                    Layout.preferredWidth: 26
                    name: "speaker.wave.3.fill"
                    size: 16
                    color: Style.secondary
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 5

                    RowLayout {
                        Layout.fillWidth: true

                        AbstractButton {
                            id: outputButton
                            objectName: "outputMenuButton"

                            // The name takes what the percentage leaves and
                            // elides, so a long one pushes nothing out.
                            Layout.fillWidth: true
                            Layout.maximumWidth: implicitWidth
                            Layout.minimumWidth: 0
                            padding: 0
                            focusPolicy: Qt.StrongFocus
                            hoverEnabled: true
                            onClicked: root.madeOutputMenu().popup(outputButton, 0, outputButton.height)
                            Keys.onPressed: event => {
                                if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter || event.key === Qt.Key_Space
                                        || event.key === Qt.Key_Menu
                                        || (event.key === Qt.Key_F10 && event.modifiers === Qt.ShiftModifier)) {
                                    root.madeOutputMenu().openByKeys(outputButton, 0, outputButton.height)
                                    event.accepted = true
                                }
                            }

                            ToolTip.visible: hovered && outputLabel.truncated
                            ToolTip.text: root.engine.outputName
                            ToolTip.delay: 600

                            Accessible.role: Accessible.ButtonMenu
                            Accessible.name: "Output device: " + root.engine.outputName

                            FocusRing {
                                control: outputButton
                                radiusOverride: 4
                            }

                            contentItem: RowLayout {
                                spacing: 4

                                Text {
                                    id: outputLabel
                                    objectName: "outputName"
                                    text: root.engine.outputName
                                    textFormat: Text.PlainText
                                    maximumLineCount: 1
                                    elide: Text.ElideRight
                                    font.pixelSize: 13
                                    font.weight: Font.DemiBold
                                    color: Style.primary
                                    // Whole pixels, or a name given a fraction
                                    // less than its width would elide.
                                    Layout.fillWidth: true
                                    Layout.preferredWidth: Math.ceil(implicitWidth)
                                    Layout.maximumWidth: Math.ceil(implicitWidth)
                                    Layout.minimumWidth: 0
                                }

                                // Thin strokes this small look lighter than
                                // their colour: primary keeps them legible.
                                Symbol {
                                    objectName: "outputChevron"
                                    name: "chevron.up.chevron.down"
                                    size: 9
                                    color: Style.primary
                                }
                            }

                            Component {
                                id: outputMenuComponent

                                PopoverMenu {
                                    id: menu
                                    objectName: "outputMenu"

                                    // The engine republishes its devices on every
                                    // refresh; taken once per opening, the items
                                    // stay put under the pointer.
                                    property var devices: []

                                    onAboutToShow: devices = root.engine.outputList

                                    Instantiator {
                                        model: menu.devices
                                        delegate: MenuEntry {
                                            required property var modelData

                                            text: modelData.name
                                            current: modelData.id === root.engine.currentOutputID
                                            onTriggered: root.engine.selectOutputDevice(modelData.id)
                                        }
                                        onObjectAdded: (index, object) => menu.insertItem(index, object)
                                        onObjectRemoved: (index, object) => menu.removeItem(object)
                                    }
                                }
                            }
                        }

                        Item {
                            Layout.fillWidth: true
                            Layout.minimumWidth: 0
                        }

                        Text {
                            objectName: "masterPercentage"
                            visible: root.engine.masterVolumeSupported
                            text: ViewLogic.masterPercentText(root.engine.masterVolume)
                            font.pixelSize: 12
                            color: Style.secondary
                            horizontalAlignment: Text.AlignRight
                            Layout.minimumWidth: widest.advanceWidth

                            TextMetrics {
                                id: widest
                                font.pixelSize: 12
                                text: "100%"
                            }
                        }
                    }

                    VUBar {
                        Layout.fillWidth: true
                        Layout.preferredHeight: 5
                        level: apps.masterLevel
                    }

                    RowLayout {
                        visible: masterSlider.visible || masterMute.visible
                        Layout.fillWidth: true
                        spacing: 10

                        VolumeSlider {
                            id: masterSlider
                            objectName: "masterSlider"
                            accessibleName: "Master volume"
                            Keys.onPressed: event => root.handleMasterKey(event)
                            visible: root.engine.masterVolumeSupported
                            Layout.fillWidth: true
                            from: 0
                            to: 1
                            value: ViewLogic.masterSliderValue(root.engine.masterVolume)
                            onMoved: root.engine.setMasterVolume(value)
                        }

                        // Without the slider the button stays at the end.
                        Item {
                            visible: !masterSlider.visible
                            Layout.fillWidth: true
                        }

                        // As a row's mute button: muting changes the button
                        // alone, the percentage and slider stay.
                        SymbolButton {
                            id: masterMute
                            objectName: "masterMute"
                            visible: root.engine.masterMuteSupported
                            Layout.preferredWidth: 22
                            symbol: root.engine.masterMuted ? "speaker.slash.fill" : "speaker.wave.2.fill"
                            symbolSize: 14
                            symbolColor: root.engine.masterMuted ? Style.red : Style.secondary
                            accessibleName: (root.engine.masterMuted ? "Unmute " : "Mute ") + root.engine.outputName
                            Keys.onPressed: event => root.handleMasterKey(event)
                            onClicked: root.engine.setMasterMuted(!root.engine.masterMuted)
                        }
                    }
                }
            }

            Rectangle {
                visible: root.engine.supported
                Layout.fillWidth: true
                Layout.preferredHeight: 1
                color: Style.separator
                opacity: 0.25
            }

            // Without the leave to record system audio taps hear nothing and
            // a muting one silences what it taps: the mixer waits, and says why.
            ColumnLayout {
                objectName: "recordingNotice"
                visible: root.engine.supported && root.engine.recordingPermissionMissing
                Layout.fillWidth: true
                Layout.margins: 12
                spacing: 8

                Text {
                    objectName: "recordingNoticeText"
                    Layout.fillWidth: true
                    text: "Ravlet can't change volumes until it may record system audio."
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    font.pixelSize: 12
                    color: Style.secondary
                }

                Button {
                    objectName: "openPrivacySettings"
                    text: "Open Privacy Settings"
                    onClicked: Qt.openUrlExternally(root.engine.recordingSettingsUrl)
                }
            }

            Text {
                objectName: "emptyText"
                visible: root.engine.supported && apps.count === 0
                Layout.fillWidth: true
                Layout.fillHeight: true
                text: ViewLogic.emptyListText(apps.hiddenPlaying)
                wrapMode: Text.WordWrap
                leftPadding: 16
                rightPadding: 16
                font.pixelSize: 13
                color: Style.secondary
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }

            ScrollView {
                id: list
                objectName: "appList"

                visible: root.engine.supported && apps.count > 0
                Layout.fillWidth: true
                Layout.fillHeight: true
                contentWidth: availableWidth
                Accessible.role: Accessible.List
                Accessible.name: "Applications"
                ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
                // Over the whole list, above the rows: every turn of the wheel
                // there is decided here, to set the volume of the slider under
                // the pointer or to scroll. Buttons pass through.
                MouseArea {
                    objectName: "listWheel"

                    parent: list
                    anchors.fill: parent
                    z: 1
                    acceptedButtons: Qt.NoButton

                    WheelRouter {
                        id: wheelRouter
                        objectName: "wheelRouter"
                    }

                    onWheel: wheel => {
                        const delta = wheel.inverted ? -wheel.angleDelta.y : wheel.angleDelta.y
                        if (delta === 0 && wheel.pixelDelta.y === 0)
                            return
                        const row = root.rowAt(this, wheel.x, wheel.y)
                        const local = row ? mapToItem(row, wheel.x, wheel.y) : null
                        const onSlider = row !== null && row.onVolumeControl(local.x, local.y)
                        if (!wheelRouter.scrolls(onSlider)) {
                            row.wheelVolume(delta)
                            return
                        }
                        const flickable = list.contentItem
                        flickable.contentY = ViewLogic.scrolledContentY(flickable.contentY, flickable.contentHeight,
                                                                        flickable.height, wheel.pixelDelta.y,
                                                                        wheel.angleDelta.y)
                    }
                }

                // Under the rows: a drop in the list's padding, which the
                // edges scroll through, lands too: above the first row
                // before it, below the last one at the end.
                DropArea {
                    objectName: "listDrop"

                    parent: list
                    anchors.fill: parent
                    z: -1
                    keys: ["text/plain"]
                    onDropped: drop => {
                        const moved = drop.formats.includes("text/plain") ? drop.getDataAsString("text/plain")
                                                                          : drop.source?.mimeData?.["text/plain"]
                        if (typeof moved !== "string")
                            return
                        drop.accept(Qt.MoveAction)
                        let before = ""
                        for (let i = 0; i < rowRepeater.count && before === ""; ++i) {
                            const row = rowRepeater.itemAt(i)
                            if (mapToItem(row, drop.x, drop.y).y < 0)
                                before = row.appId
                        }
                        apps.moveApp(moved, before)
                    }
                }

                ScrollBar.vertical.contentItem: Rectangle {
                    implicitWidth: 6
                    radius: 3
                    color: Style.secondary
                    // Shown whenever there is more to see, not only while
                    // scrolling, so the list says that it scrolls.
                    opacity: list.ScrollBar.vertical.size < 1.0 ? 0.7 : 0.0
                }

                Column {
                    width: list.availableWidth
                    padding: 12
                    spacing: 10

                    Repeater {
                        id: rowRepeater
                        model: apps
                        delegate: AppRow {
                            width: list.availableWidth - 24
                            dragLayer: dragOverlay
                            outputDevices: apps.outputs
                            onActiveFocusChanged: if (activeFocus) root.rowFocused(this)
                            onMoveRequested: by => root.moveFocus(by)
                            onReorderRequested: by => root.reorder(this, by)
                            onDropRequested: moved => apps.moveApp(moved, appId)
                            onRescanRequested: apps.rescan()
                            onDraggingChanged: {
                                if (dragging)
                                    root.draggedRow = this
                                else if (root.draggedRow === this)
                                    root.draggedRow = null
                            }
                        }
                        onItemRemoved: (index, item) => {
                            if (item === root.keyRow) {
                                root.keyRow = null
                                Qt.callLater(root.focusAfterRemoval, index)
                            }
                        }
                    }
                }
            }

            Text {
                objectName: "unsupportedText"
                visible: !root.engine.supported
                Layout.fillWidth: true
                padding: 18
                text: root.engine.unsupportedText
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                font.pixelSize: 13
                color: Style.secondary
            }
        }

        // Above everything: a dragged row's image.
        Item {
            id: dragOverlay
            objectName: "dragLayer"

            anchors.fill: parent
            z: 2
        }
    }
}

import QtQuick
import QtQuick.Controls.Basic

// A menu in the popover's own colours rather than the desktop palette's,
// which may be light while the popover is dark or the other way round. As
// wide as its longest entry wants, within the popover, so names elide only
// when they cannot fit.
Menu {
    id: menu

    // Where the keys were before the menu took them: a closing menu leaves
    // them with the window, out of reach of the popover's keys.
    property Item focusBefore: null
    // And whether it showed its ring, which it shows again.
    property bool ringBefore: false
    // True while the focus goes back where it was, which is no move of the
    // user's: the list stays where it is.
    property bool restoring: false
    // A submenu leaves the focus to the menus: the one it opened from takes
    // it back, and puts it where it was when it closes itself.
    property bool submenu: false

    // Narrower than the style's 200: beside a row's menu, its Play On menu
    // then fits in the popover without covering it.
    readonly property real narrowest: 150
    readonly property real widest: (Window.window?.width ?? 400) - 16

    implicitWidth: {
        let wanted = 0
        for (let i = 0; i < count; ++i)
            wanted = Math.max(wanted, itemAt(i)?.implicitWidth ?? 0)
        return Math.min(widest, Math.max(narrowest, wanted + leftPadding + rightPadding))
    }

    delegate: MenuEntry {}

    palette.window: Style.menu
    palette.windowText: Style.primary
    palette.highlightedText: Style.menuHighlightText
    palette.light: Style.menuHighlight
    palette.midlight: Style.menuPressed
    palette.dark: Style.separator
    palette.mid: Style.separator

    // Opened from the keys: the first entry is highlighted, and Return
    // chooses it, as in desktop menus.
    function openByKeys(item, x, y) {
        popup(item, x, y)
        currentIndex = 0
    }

    onAboutToShow: {
        if (submenu)
            return
        focusBefore = parent?.Window.activeFocusItem ?? null
        ringBefore = focusBefore?.visualFocus ?? false
    }
    onClosed: {
        if (submenu)
            return
        restoring = true
        if (focusBefore)
            focusBefore.forceActiveFocus(ringBefore ? Qt.TabFocusReason : Qt.PopupFocusReason)
        restoring = false
        focusBefore = null
    }
}

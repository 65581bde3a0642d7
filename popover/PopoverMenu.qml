import QtQuick
import QtQuick.Controls.Basic

// A menu in the popover's own colours rather than the desktop palette's,
// which may be light while the popover is dark or the other way round.
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

    palette.window: Style.menu
    palette.windowText: Style.primary
    palette.light: Style.menuHighlight
    palette.midlight: Style.menuPressed
    palette.dark: Style.separator
    palette.mid: Style.separator

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

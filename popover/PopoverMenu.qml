import QtQuick
import QtQuick.Controls.Basic

// A menu in the popover's own colours rather than the desktop palette's,
// which may be light while the popover is dark or the other way round.
Menu {
    palette.window: Style.menu
    palette.windowText: Style.primary
    palette.light: Style.menuHighlight
    palette.midlight: Style.menuPressed
    palette.dark: Style.separator
    palette.mid: Style.separator
}

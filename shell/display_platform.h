#pragma once

// The windowing system the popover runs on. On a Wayland session a window
// cannot place itself, so the popover would open wherever the compositor
// puts it, not at the tray item; where XWayland runs, the mixer asks for X11
// through it. The user's own choice (QT_QPA_PLATFORM) always stands.

#include <QByteArray>
#include <QProcessEnvironment>

// "xcb" when the mixer should ask for X11, empty when Qt's own choice is right.
QByteArray preferredPlatform(const QProcessEnvironment& environment);

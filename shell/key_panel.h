#pragma once

// The popover as the system's popovers are: a panel that takes the keys
// without activating Ravlet. A status item's click does not activate an
// accessory application, and AppKit makes a window key only within the
// active one, so without this the keys would go elsewhere and the close on
// a click outside (which follows the window's activation) might never come.

class QWindow;

// Makes the window's native panel non-activating; on a window that is no
// panel, activates the application instead. Nothing off macOS.
void makeKeyPanel(QWindow& window);

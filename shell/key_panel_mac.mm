#include "key_panel.h"

#include <QWindow>

#import <AppKit/AppKit.h>

void makeKeyPanel(QWindow& window)
{
    // Qt makes a tool window an NSPanel: the style mask is the one AppKit
    // reads when the panel is ordered front, so setting it on the panel Qt
    // made is enough. Anything else is made key the only way AppKit allows,
    // with the application active.
    NSView* view = reinterpret_cast<NSView*>(window.winId());
    NSWindow* native = view.window;
    if ([native isKindOfClass:[NSPanel class]]) {
        native.styleMask = native.styleMask | NSWindowStyleMaskNonactivatingPanel;
        static_cast<NSPanel*>(native).becomesKeyOnlyIfNeeded = NO;
        [native makeKeyAndOrderFront:nil];
    } else {
        [NSApp activateIgnoringOtherApps:YES];
    }
}

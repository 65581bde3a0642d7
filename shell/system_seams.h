#pragma once

// The one place where the program chooses what it stands on, per system: the
// audio backend (audio_backend.h), the settings store, start at login, the
// status item, whether updates are offered, and the helper the program may
// have been started as. macOS and Linux differ here and nowhere else in the
// shell; the engine never knows which it runs on. Main thread only.

#include "start_at_login.h"
#include "status_item.h"
#include "user_defaults.h"

#include <QIcon>
#include <QString>

#include <memory>
#include <optional>

namespace system_seams {

// When the program was started as a helper of its own (Linux: the PipeWire
// guardian), runs it to its end and gives its exit status; otherwise nothing.
std::optional<int> runHelper(int argc, char** argv);

// The settings: the preferences domain io.morvik.ravlet on macOS, the JSON
// file in the user's config folder elsewhere.
std::unique_ptr<UserDefaults> userDefaults();

// The system's own way of starting the program at login: the login items of
// macOS, an XDG autostart entry elsewhere.
std::unique_ptr<StartAtLogin> startAtLogin();

// The menu-bar item on macOS (whose click opens the popover, its menu
// being the header's), the best tray surface the desktop offers elsewhere.
std::unique_ptr<StatusItem> statusItem(const QIcon& icon, const QString& accessibleName);

// Whether the running program offers in-app updates (update_offer.h): on
// macOS only a bundle signed with our Developer ID; elsewhere always, as the
// updater's own checks refuse what it cannot install.
bool offersUpdates(const QString& bundlePath);

// One "[ravlet] " line of the shell's: to the unified log on macOS, where
// a bundle opened from the Finder has no terminal; to standard error
// elsewhere.
void note(const QString& line);

} // namespace system_seams

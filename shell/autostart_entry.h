#pragma once

// Starting Ravlet when the user logs in: an XDG autostart entry in the
// user's config folder, $XDG_CONFIG_HOME/autostart (~/.config/autostart when
// the variable is unset, empty or not an absolute path). The desktop starts
// whatever entries it finds there; nothing else is registered anywhere.

#include "start_at_login.h"

#include <QString>

namespace autostart {

// The installed desktop entry's id; the autostart entry takes the same name,
// as the autostart rules expect.
inline constexpr char kDesktopId[] = "io.morvik.ravlet";

QString entryPath();

// Whether the entry on disk starts Ravlet: one of ours (an application entry
// whose program is ravlet) that is neither hidden nor switched off by GNOME's
// own key. A missing, unreadable, foreign or malformed file is off.
bool isEnabled();

// Writes the entry (atomically, so a crash leaves the old file or the new
// one, never half of it) or removes it. On failure says why in the system
// log and returns false; the disk is then as it was.
bool setEnabled(bool enabled);

} // namespace autostart

// The same for the menus. What the disk says after every reload or attempt.
class AutostartEntry final : public StartAtLogin {
public:
    explicit AutostartEntry(QObject* parent = nullptr);

    bool enabled() const override { return m_enabled; }
    void reload() override;
    void setEnabled(bool enabled) override;

private:
    bool m_enabled = false;
};

#pragma once

// What the name of the control group a process runs in says about the
// application that started it.

#include <QString>

// The desktop-entry id (with ".desktop") named by an application unit, as
// desktops that follow systemd's convention name them:
//   app[-<launcher>]-<ApplicationID>-<RANDOM>.scope
//   app[-<launcher>]-<ApplicationID>[@<RANDOM>].service
// with "-" inside the ApplicationID escaped as "\x2d". cgroupPath is the
// whole path; only its last component counts. Empty when it names none.
QString desktopIdFromAppUnit(const QString& cgroupPath);

// "NAME_APP.desktop" for a process snapd confined to one of a snap's
// applications ("snap.NAME.APP-<uuid>.scope", "snap.NAME.APP.service");
// empty otherwise, hooks included.
QString desktopIdFromSnapUnit(const QString& cgroupPath);

// Undoes systemd's unit-name escaping ("\x2d" → "-"); nothing when the
// escapes are malformed or decode to bytes that are not UTF-8 text.
std::optional<QString> unescapeUnitName(const QString& escaped);

#pragma once

// Every installed application's desktop entry, found the way desktops find
// them, and which of them names a running process.
//
// Main thread only. Queries build the index lazily, and a rebuild replaces
// the entries earlier answers pointed to: a returned pointer stays valid until
// refreshIfChanged() next returns true.

#include "desktop_entry.h"

#include <QString>
#include <QStringList>

#include <memory>

class DesktopEntryIndex {
public:
    // applicationDirs: the "applications" folders in precedence order, highest
    // first ($XDG_DATA_HOME/applications, then each
    // $XDG_DATA_DIRS/applications). Building is lazy: the first query or
    // refreshIfChanged() builds it.
    DesktopEntryIndex(QStringList applicationDirs, QString locale);
    ~DesktopEntryIndex();
    DesktopEntryIndex(const DesktopEntryIndex&) = delete;
    DesktopEntryIndex& operator=(const DesktopEntryIndex&) = delete;

    // From the environment: $XDG_DATA_HOME (default $HOME/.local/share) then
    // $XDG_DATA_DIRS (default /usr/local/share:/usr/share), each +
    // "/applications"; then, when not already listed, Flatpak's exports
    // ($XDG_DATA_HOME/flatpak/exports/share/applications,
    // /var/lib/flatpak/exports/share/applications) and snapd's
    // (/var/lib/snapd/desktop/applications), lowest precedence. Relative paths
    // in the variables are ignored.
    static QStringList applicationDirsFromEnvironment();
    // LC_ALL, else LC_MESSAGES, else LANG; "" when none.
    static QString localeFromEnvironment();

    // Rebuilds when the installed entries changed since the last build (an
    // entry added, removed or renamed, a folder holding entries added or
    // removed); true when it rebuilt. Change is seen in the folders'
    // modification times, so an entry edited in place without a rename is
    // not. Nothing changed costs one stat per folder and no file reads.
    bool refreshIfChanged();
    // Bumped on every build, so that callers can drop caches built on older
    // answers.
    quint64 generation() const;

    // By desktop-file id ("org.example.Player.desktop"); null when none (or
    // hidden).
    const DesktopEntry* entry(const QString& id) const;
    // The installed entry that best names a running process, given its
    // executable path (from /proc/PID/exe, absolute) and its argv (may be
    // empty). Null when none.
    const DesktopEntry* matchProcess(const QString& executable, const QStringList& argv) const;
    qsizetype size() const;

private:
    struct State;
    void ensureBuilt() const;

    const QStringList m_applicationDirs;
    const QString m_locale;
    mutable std::unique_ptr<State> m_state;   // null until the first build
};

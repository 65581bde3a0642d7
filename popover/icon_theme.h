#pragma once

// Icons by name from the desktop's icon themes, found the way freedesktop.org
// lays themes out: the current theme, the themes it inherits from, hicolor,
// then loose images in the base directories. Only files are read (no QIcon),
// so a lookup may run on any thread, as the popover's image loading does.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace popover {

// True when path is a regular file, or a link to one; never for a FIFO,
// device or directory.
bool isRegularFile(const QString& path);

// The contents of path when it is a regular file of at most maxBytes; empty
// otherwise. Never opens anything but a regular file, so it cannot block on
// a FIFO.
QByteArray readRegularFile(const QString& path, qint64 maxBytes);

} // namespace popover

class IconTheme {
public:
    // themeName empty means hicolor. baseDirs are searched in order; a theme
    // may be spread over several of them.
    IconTheme(const QString& themeName, QStringList baseDirs);
    ~IconTheme();
    IconTheme(IconTheme&&) noexcept;
    IconTheme& operator=(IconTheme&&) noexcept;

    // $HOME/.icons, $XDG_DATA_HOME/icons, each $XDG_DATA_DIRS/icons, then
    // /usr/share/pixmaps, with the usual defaults for unset variables.
    static QStringList baseDirsFromEnvironment();
    static IconTheme fromEnvironment(const QString& themeName);

    QString themeName() const { return m_themeName; }
    const QStringList& baseDirs() const { return m_baseDirs; }

    // The themes searched, in order: the current one, those it inherits from
    // (depth first, each once), and hicolor.
    QStringList searchOrder() const;

    // The file for the icon called name drawn at size × scale pixels: in a
    // directory made for that size where there is one, else in the one
    // closest to it. Empty when no theme and no base directory has the icon,
    // or when name could reach outside them.
    QString lookup(const QString& name, int size, int scale = 1) const;

private:
    struct State;
    struct Searched;

    std::shared_ptr<const QList<Searched>> chain() const;

    QString m_themeName;
    QStringList m_baseDirs;
    // Behind a pointer for its mutex, so that the theme can still be moved.
    std::unique_ptr<State> m_state;
};

#include "autostart_entry.h"

#include "desktop_entry.h"
#include "proc_files.h"
#include "system_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace autostart {

namespace {

// Exec names the program as installed (on the PATH), so that the entry keeps
// working after an update or a move between /usr and /usr/local.
constexpr char kContents[] = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Ravlet\n"
                             "Comment=Set the volume of each application from the system tray\n"
                             "Exec=ravlet\n"
                             "Icon=io.morvik.ravlet\n"
                             "Terminal=false\n"
                             "StartupNotify=false\n"
                             "X-GNOME-Autostart-enabled=true\n";

QString configHome()
{
    const QString fromEnvironment = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (QDir::isAbsolutePath(fromEnvironment))
        return fromEnvironment;
    return QDir::homePath() + QStringLiteral("/.config");
}

// GNOME's session keeps an entry but skips it when this key is false; the
// desktop entry parser has no use for it otherwise, so it is looked up here.
bool switchedOffByGnome(const QByteArray& bytes)
{
    bool inMainGroup = false;
    bool off = false;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            if (inMainGroup)
                break;
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0 && line.left(equals).trimmed() == "X-GNOME-Autostart-enabled")
            off = line.mid(equals + 1).trimmed() == "false";
    }
    return off;
}

} // namespace

QString entryPath()
{
    return configHome() + QStringLiteral("/autostart/") + QLatin1String(kDesktopId) + QStringLiteral(".desktop");
}

bool isEnabled()
{
    // Read at start on the main thread: whatever stands at the path (a FIFO,
    // a device) must not hold it up.
    const std::optional<QByteArray> read = readSmallFile(QFile::encodeName(entryPath()), maxDesktopEntryBytes + 1);
    if (!read || read->size() > maxDesktopEntryBytes)
        return false;
    const QByteArray& bytes = *read;
    const auto entry = parseDesktopEntry(bytes, QLatin1String(kDesktopId) + QStringLiteral(".desktop"), QString());
    return entry && !entry->hidden && QFileInfo(entry->program).fileName() == QLatin1String("ravlet")
           && !switchedOffByGnome(bytes);
}

bool setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile file(path);
        if (!file.exists() || file.remove())
            return true;
        systemLog(QStringLiteral("[ravlet] could not stop starting at login: removing %1 failed: %2")
                      .arg(path, file.errorString()));
        return false;
    }
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder)) {
        systemLog(QStringLiteral("[ravlet] could not start at login: the folder %1 cannot be created").arg(folder));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(kContents) != qint64(sizeof kContents - 1) || !file.commit()) {
        systemLog(QStringLiteral("[ravlet] could not start at login: writing %1 failed: %2")
                      .arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace autostart

AutostartEntry::AutostartEntry(QObject* parent)
    : StartAtLogin(parent)
    , m_enabled(autostart::isEnabled())
{
}

void AutostartEntry::reload()
{
    m_enabled = autostart::isEnabled();
    emit enabledChanged();
}

void AutostartEntry::setEnabled(bool enabled)
{
    autostart::setEnabled(enabled);
    reload();
}
